// Intake: our structural checks, the header probe, the size rule, rewind,
// decode. The reason for a refusal is never read.
#include "pipeline/source_image.h"

#include <stb/stb_image.h>

#include "pipeline/file_structure.h"

int load_source_image(FILE *file, source_image *image) {
    // Before the probe: the probe already reads the tables ahead of the frame header.
    if (!file_structure_is_sound(file)) return 0;
    rewind(file);

    int width = 0;
    int height = 0;
    if (!stbi_info_from_file(file, &width, &height, NULL)) return 0;
    if (width < 1 || height < 1) return 0;
    if ((int64_t)width * (int64_t)height > source_pixel_limit) return 0;

    rewind(file);

    unsigned char *pixels = stbi_load_from_file(file, &width, &height, NULL, 4);
    if (!pixels) return 0;
    image->pixels = pixels;
    image->width = width;
    image->height = height;
    return 1;
}
