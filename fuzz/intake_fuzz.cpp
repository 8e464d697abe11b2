// libFuzzer: any bytes, as a file stream, through intake and, for what is
// accepted, crop-and-scale. Nothing may crash, hang, leak or trip a sanitizer.
// Built twice: kadrova_intake_fuzz does both stages; kadrova_decode_fuzz
// (KADROVA_FUZZ_DECODE_ONLY) stops after intake and so runs many times more
// inputs a second through the decoder, where hostile files do their harm.
// Both are differential: the whole file is decoded again, and what is read
// must be the same, and every pixel where intake decoded it whole, every
// pixel the crop reads where intake decoded only the crop's window.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stb/stb_image.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/decoder_growth.h"
#include "pipeline/portrait_raster.h"

// Memory nobody set that reaches a pixel shows as two decodes that differ:
// the stack below the caller is painted with a different byte before each.
__attribute__((noinline)) static void paint_stack(unsigned char value) {
    volatile unsigned char area[1 << 16];
    for (size_t k = 0; k < sizeof area; ++k) area[k] = value;
}

// stb_image's decode of the whole file, as a reference: its blocks may grow
// as far as intake's may for the largest frame.
static unsigned char *decode_whole(const uint8_t *data, size_t size, int *width, int *height) {
    paint_stack(0xA5);
    limit_decoder_growth((size_t)600 << 20);
    unsigned char *whole = stbi_load_from_memory(data, (int)size, width, height, NULL, 4);
    limit_decoder_growth(SIZE_MAX);
    return whole;
}

// Intake's pixels against the decode of the whole file: every pixel the
// crop reads where intake decoded only the crop's window, and every pixel
// where it decoded the whole file too.
static void check_pixels(const uint8_t *data, size_t size, const source_image *image) {
    int width, height;
    unsigned char *whole = decode_whole(data, size, &width, &height);
    if (!whole || width != image->width || height != image->height) abort();
    crop_span columns = {0, width - 1}, rows = {0, height - 1};
    if (image->held.width != image->width || image->held.height != image->height) crop_reach(width, height, &columns, &rows);
    if (columns.first < image->held.left || columns.last >= image->held.left + image->held.width ||
        rows.first < image->held.top || rows.last >= image->held.top + image->held.height)
        abort();
    for (int32_t y = rows.first; y <= rows.last; ++y) {
        const unsigned char *held = source_pixel(image, columns.first, y);
        const unsigned char *full = whole + ((size_t)y * width + columns.first) * 4;
        if (memcmp(held, full, (size_t)(columns.last - columns.first + 1) * 4) != 0) abort();
    }
    stbi_image_free(whole);
}

// A file that passed every check ahead of the decoder was refused by it, or
// by the PNG window for a reason the decoder has too: the decoder must refuse
// the whole file, or a window lost a photo that reading it whole would have
// read. (A PNG whose data goes on far past its frame, or whose palette
// indices are not known to fit, is refused on purpose.)
static void check_refusal(const uint8_t *data, size_t size) {
    int width, height;
    unsigned char *whole = decode_whole(data, size, &width, &height);
    if (whole) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer; an empty file is refused by the probe anyway
    FILE *file = fmemopen((void *)data, size, "rb");
    if (!file) return 0;
    source_image image;
    intake_refusal refusal;
    paint_stack(0x5A);
    if (load_source_image_explained(file, &image, &refusal)) {
        if (image.width < 1 || image.height < 1 || (int64_t)image.width * image.height > source_pixel_limit) abort();
        check_pixels(data, size, &image);
#ifndef KADROVA_FUZZ_DECODE_ONLY
        portrait_raster raster = crop_and_scale(&image);
        free(raster.pixels);
#endif
        release_source_image(&image);
    } else if (refusal == refusal_decode || refusal == refusal_png_data) {
        check_refusal(data, size);
    }
    fclose(file);
    return 0;
}
