// Image intake: a JPEG or PNG photo, given as an open stream, becomes 8-bit
// RGBA pixels in memory, or is refused.
#pragma once

#include <stdint.h>
#include <stdio.h>

// The decoded photo, width × height pixels. The block holds the part of it
// from column held_left and row held_top, held_width × held_height pixels of
// R, G, B, A (straight alpha), rows top to bottom without gaps: the whole
// photo, or, for a sequential JPEG wider or taller than the crop, only the
// whole MCUs around what the crop reads. The block belongs to the caller,
// who releases it with stbi_image_free.
struct source_image {
    unsigned char *pixels;
    int32_t width;
    int32_t height;
    int32_t held_left;
    int32_t held_top;
    int32_t held_width;
    int32_t held_height;
};

enum { source_pixel_limit = 36000000, source_side_limit = 32768 };

// 1 and a filled image, or 0 with nothing allocated. The stream stays open;
// its position afterwards is unspecified.
int load_source_image(FILE *file, source_image *image);
