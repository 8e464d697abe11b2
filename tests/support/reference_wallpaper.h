// The wallpaper a photo must give, made without the code under test:
// stb_image's decode of the whole file, the tests' plain crop loop and
// stb_image_write's JPEG writer at quality 92, called directly.
#pragma once

#include "tests/support/files.h"

// The bytes of the JPEG file; empty when stb_image cannot read the photo.
bytes reference_wallpaper(const bytes &photo);
