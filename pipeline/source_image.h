// Image intake: a JPEG or PNG photo, given as an open stream, becomes 8-bit
// RGBA pixels in memory, or is refused.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "pipeline/intake_refusal.h"
#include "pipeline/pixel_rect.h"

// The decoded photo, width × height pixels. The block holds the part of it
// `held` names, held.width × held.height pixels of R, G, B, A (straight
// alpha), rows top to bottom without gaps: the whole photo, or, for a
// photo wider or taller than the crop, only a JPEG's whole MCUs around what
// the crop reads, or a PNG's rows and columns the crop reads. The block
// belongs to the caller, who releases it with release_source_image.
struct source_image {
    unsigned char *pixels;
    int32_t width;
    int32_t height;
    pixel_rect held;
};

// Pixel (x, y) of the photo, which the block must hold.
static inline const unsigned char *source_pixel(const source_image *image, int32_t x, int32_t y) {
    return image->pixels +
           ((size_t)(y - image->held.top) * (size_t)image->held.width + (size_t)(x - image->held.left)) * 4;
}

enum { source_pixel_limit = 36000000, source_side_limit = 32768 };

// 1 and a filled image, or 0 with nothing allocated. The stream stays open;
// its position afterwards is unspecified.
int load_source_image(FILE *file, source_image *image);

// The same, and why a file was refused (refusal_none when it was read). The
// program never asks; the tests do.
int load_source_image_explained(FILE *file, source_image *image, intake_refusal *refusal);

// Gives the decoded pixels back (stbi_image_free).
void release_source_image(source_image *image);
