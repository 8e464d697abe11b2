// Portrait crop-and-scale: the largest centred 9:16 region of the photo,
// resampled bilinearly to 1080 × 1920 and laid onto white.
#pragma once

#include "pipeline/crop_geometry.h"
#include "pipeline/source_image.h"

enum {
    portrait_width = crop_output_width,
    portrait_height = crop_output_height,
    portrait_stride = portrait_width * 3,
    portrait_bytes = portrait_stride * portrait_height,
};

// 1080 × 1920 pixels of R, G, B, rows top to bottom, stride 3240: one malloc
// block of 6,220,800 bytes that the caller releases with free. Null when the
// block could not be had.
struct portrait_raster {
    unsigned char *pixels;
};

// Byte-exact: every value is formed in IEEE double, one rounded operation at
// a time, in a fixed order. The source is only read.
portrait_raster crop_and_scale(const source_image *image);
