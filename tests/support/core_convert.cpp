// What the core alone makes of a photo: intake, crop-and-scale and export,
// without any dialog. The screen tests compare the program's file with it.
//   kadrova_core_convert PHOTO NEW-FILE
#include <stdio.h>
#include <stdlib.h>

#include <stb/stb_image.h>

#include "export/jpeg_export.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: kadrova_core_convert PHOTO NEW-FILE\n", stderr);
        return 2;
    }
    FILE *input = open_for_reading(argv[1]);
    source_image image;
    if (!input || !load_source_image(input, &image)) return 1;
    portrait_raster raster = crop_and_scale(&image);
    stbi_image_free(image.pixels);
    fclose(input);
    if (!raster.pixels) return 1;
    FILE *output = create_output_file(argv[2]);
    int saved = output && export_jpeg(output, &raster, argv[2]);
    free(raster.pixels);
    return saved ? 0 : 1;
}
