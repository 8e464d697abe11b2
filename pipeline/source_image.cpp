// Intake: our structural checks, the header probe, the size rule, rewind,
// decode. The reason for a refusal is never read.
#include "pipeline/source_image.h"

#include <limits.h>

#include <stb/stb_image.h>

#include "pipeline/file_structure.h"

int load_source_image(FILE *file, source_image *image) {
    // Before the probe: the probe already reads the tables ahead of the frame header.
    jpeg_window window = {};
    if (!file_structure_is_sound(file, &window)) return 0;
    rewind(file);

    int width = 0;
    int height = 0;
    int probed = stbi_info_from_file(file, &width, &height, NULL);
    if (!probed || width < 1 || height < 1 || (int64_t)width * (int64_t)height > source_pixel_limit) {
        window_drop(&window);
        return 0;
    }
    // The decoder takes a size in an int; a window beyond that is decoded whole.
    if (window.size > INT_MAX) window_drop(&window);
    unsigned char *pixels;
    if (window.data) {
        // Only the part the crop reads; the decoder gives the same pixels there.
        pixels = stbi_load_from_memory(window.data, (int)window.size, &image->held_width, &image->held_height, NULL, 4);
        window_drop(&window);
        if (pixels && (image->held_width != window.width || image->held_height != window.height)) {
            stbi_image_free(pixels);
            pixels = NULL;
        }
        image->width = width;
        image->height = height;
        image->held_left = window.left;
        image->held_top = window.top;
    } else {
        rewind(file);
        pixels = stbi_load_from_file(file, &width, &height, NULL, 4);
        image->width = image->held_width = width;
        image->height = image->held_height = height;
        image->held_left = image->held_top = 0;
    }
    if (!pixels) return 0;
    image->pixels = pixels;
    return 1;
}
