// Intake against the decode of the whole file, for photos it reads only a
// part of (a JPEG's MCUs around the crop, a PNG's rows and columns the crop
// reads).
#pragma once

#include "pipeline/intake_refusal.h"
#include "tests/support/files.h"

// What intake gave for a file before it had windows: the walk's checks, then
// stb_image's decode of the whole file (null when refused), for
// stbi_image_free.
unsigned char *read_the_whole_way(const bytes &file, int *width, int *height);

// Intake reads the file exactly when it read it the whole way, and every
// pixel the crop reads is the same, and so, with `raster`, the whole raster
// (gtest failures otherwise). Gives whether intake held only a part of the
// photo.
bool read_as_whole(const bytes &file, bool raster = true);

// Why intake refuses the bytes; refusal_none when it reads them.
intake_refusal refusal_of(const bytes &contents);
