// Intake: our structural checks, the header probe, the size rule, rewind,
// decode. The reason for a refusal is never read.
#include "pipeline/source_image.h"

#include <limits.h>

#include <stb/stb_image.h>

#include "pipeline/decoder_growth.h"
#include "pipeline/file_structure.h"
#include "pipeline/png/window.h"

int load_source_image_explained(FILE *file, source_image *image, intake_refusal *refusal) {
    // Before the probe: the probe already reads the tables ahead of the frame header.
    jpeg_window window = {};
    uint64_t png_data_bytes = 0;
    if (!file_structure_is_sound(file, &window, &png_data_bytes, refusal)) return 0;
    rewind(file);

    int width = 0;
    int height = 0;
    if (!stbi_info_from_file(file, &width, &height, NULL)) {
        window_drop(&window);
        *refusal = refusal_probe;
        return 0;
    }
    if (width < 1 || height < 1 || (int64_t)width * (int64_t)height > source_pixel_limit) {
        window_drop(&window);
        *refusal = refusal_pixel_limit;
        return 0;
    }
    // The decoder takes a size in an int; a window beyond that is decoded whole.
    if (window.size > INT_MAX) window_drop(&window);
    unsigned char *pixels;
    size_t decoder_growth = SIZE_MAX;  // a JPEG's blocks never grow
    if (!window.data) {
        // A PNG the crop leaves something out of: only that part.
        rewind(file);
        png_window_result png = png_window_decode(file, image, &decoder_growth, refusal);
        if (png != png_window_whole) return png == png_window_read;
        // The decoder gathers the image data in a block it doubles as it
        // goes, before inflating it: a sound file may have more of it than
        // its frame needs, in empty blocks.
        const uint64_t gathered = 2 * png_data_bytes + 4096;
        if (decoder_growth != SIZE_MAX && gathered > decoder_growth)
            decoder_growth = gathered < (uint64_t)SIZE_MAX ? (size_t)gathered : SIZE_MAX;
    }
    if (window.data) {
        // Only the part the crop reads; the decoder gives the same pixels there.
        pixels = stbi_load_from_memory(window.data, (int)window.size, &image->held.width, &image->held.height, NULL, 4);
        window_drop(&window);
        if (pixels && (image->held.width != window.part.width || image->held.height != window.part.height)) {
            stbi_image_free(pixels);
            pixels = NULL;
        }
        image->width = width;
        image->height = height;
        image->held.left = window.part.left;
        image->held.top = window.part.top;
    } else {
        rewind(file);
        limit_decoder_growth(decoder_growth);
        pixels = stbi_load_from_file(file, &width, &height, NULL, 4);
        const int inflated_too_far = decoder_growth_refused();
        limit_decoder_growth(SIZE_MAX);
        if (inflated_too_far) {
            stbi_image_free(pixels);
            *refusal = refusal_png_excess;
            return 0;
        }
        image->width = image->held.width = width;
        image->height = image->held.height = height;
        image->held.left = image->held.top = 0;
    }
    if (!pixels) {
        *refusal = refusal_decode;
        return 0;
    }
    image->pixels = pixels;
    *refusal = refusal_none;
    return 1;
}

int load_source_image(FILE *file, source_image *image) {
    intake_refusal unread;
    return load_source_image_explained(file, image, &unread);
}

void release_source_image(source_image *image) {
    stbi_image_free(image->pixels);
    image->pixels = NULL;
}
