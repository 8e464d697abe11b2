// The resampling written as one plain loop, every value formed where it is
// used: the reference the optimised crop_and_scale is held to, byte for byte.
#pragma once

#include "pipeline/source_image.h"

// Fills `out` (1080 × 1920 × 3 bytes).
void plain_crop_and_scale(const source_image *image, unsigned char *out);
