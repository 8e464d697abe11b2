// libFuzzer: any bytes, as a file stream, through intake and, for what is
// accepted, crop-and-scale. Nothing may crash, hang, leak or trip a sanitizer.
// Built twice: kadrova_intake_fuzz does both stages; kadrova_decode_fuzz
// (KADROVA_FUZZ_DECODE_ONLY) stops after intake and so runs many times more
// inputs a second through the decoder, where hostile files do their harm.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <stb/stb_image.h>

#include "pipeline/portrait_raster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer; an empty file is refused by the probe anyway
    FILE *file = fmemopen((void *)data, size, "rb");
    if (!file) return 0;
    source_image image;
    if (load_source_image(file, &image)) {
        if (image.width < 1 || image.height < 1 || (int64_t)image.width * image.height > source_pixel_limit) abort();
#ifndef KADROVA_FUZZ_DECODE_ONLY
        portrait_raster raster = crop_and_scale(&image);
        free(raster.pixels);
#endif
        stbi_image_free(image.pixels);
    }
    fclose(file);
    return 0;
}
