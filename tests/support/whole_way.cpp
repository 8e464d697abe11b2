// Intake against the decode of the whole file, for photos it reads only a
// part of.
#include "tests/support/whole_way.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <stb/stb_image.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/file_structure.h"
#include "pipeline/portrait_raster.h"
#include "tests/support/plain_crop_and_scale.h"

unsigned char *read_the_whole_way(const bytes &file, int *width, int *height) {
    FILE *stream = stream_of(file);
    intake_refusal refusal;
    int sound = file_structure_is_sound(stream, NULL, NULL, &refusal);
    fclose(stream);
    if (!sound) return NULL;
    return stbi_load_from_memory(file.data(), (int)file.size(), width, height, NULL, 4);
}

bool read_as_whole(const bytes &bytes_of_file, bool raster_too) {
    FILE *file = stream_of(bytes_of_file);
    source_image image = {};
    int read = load_source_image(file, &image);
    fclose(file);

    source_image whole = {};
    whole.pixels = read_the_whole_way(bytes_of_file, &whole.width, &whole.height);
    EXPECT_EQ(read, whole.pixels != NULL);
    if (!read || !whole.pixels) {
        if (read) release_source_image(&image);
        release_source_image(&whole);
        return false;
    }
    whole.held.width = whole.width;
    whole.held.height = whole.height;
    EXPECT_EQ(image.width, whole.width);
    EXPECT_EQ(image.height, whole.height);
    bool windowed = image.held.width < image.width || image.held.height < image.height;

    crop_span columns, rows;
    crop_reach(image.width, image.height, &columns, &rows);
    bool holds = image.held.left <= columns.first && image.held.top <= rows.first &&
                 image.held.left + image.held.width - 1 >= columns.last &&
                 image.held.top + image.held.height - 1 >= rows.last;
    EXPECT_TRUE(holds);
    if (holds && image.width == whole.width && image.height == whole.height) {
        int differing = 0;
        for (int32_t y = rows.first; y <= rows.last; ++y)
            for (int32_t x = columns.first; x <= columns.last; ++x)
                differing += memcmp(source_pixel(&image, x, y), whole.pixels + ((size_t)y * whole.width + x) * 4, 4) != 0;
        EXPECT_EQ(differing, 0);

        portrait_raster raster = {};
        if (raster_too) {
            raster = crop_and_scale(&image);
            EXPECT_NE(raster.pixels, nullptr);
        }
        if (raster.pixels) {
            bytes expected(portrait_bytes);
            plain_crop_and_scale(&whole, expected.data());
            EXPECT_EQ(memcmp(raster.pixels, expected.data(), portrait_bytes), 0);
            free(raster.pixels);
        }
    }
    release_source_image(&whole);
    release_source_image(&image);
    return windowed;
}

intake_refusal refusal_of(const bytes &contents) {
    FILE *file = stream_of(contents);
    source_image image = {};
    intake_refusal refusal;
    if (load_source_image_explained(file, &image, &refusal)) release_source_image(&image);
    fclose(file);
    return refusal;
}
