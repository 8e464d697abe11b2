#include "tests/support/reference_wallpaper.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "tests/support/plain_crop_and_scale.h"

static void append(void *context, void *data, int size) {
    bytes *out = (bytes *)context;
    out->insert(out->end(), (unsigned char *)data, (unsigned char *)data + size);
}

bytes reference_wallpaper(const bytes &photo) {
    source_image image = {};
    image.pixels = stbi_load_from_memory(photo.data(), (int)photo.size(), &image.width, &image.height, NULL, 4);
    if (!image.pixels) return bytes();
    image.held.width = image.width;
    image.held.height = image.height;
    bytes raster((size_t)1080 * 1920 * 3);
    plain_crop_and_scale(&image, raster.data());
    stbi_image_free(image.pixels);
    bytes file;
    stbi_write_jpg_to_func(append, &file, 1080, 1920, 3, raster.data(), 92);
    return file;
}
