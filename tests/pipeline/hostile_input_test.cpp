// Every corpus file and fixture, cut short and with bytes changed: a cut
// file is refused; a changed one is refused or the whole pipeline gives a
// full raster. Under the
// sanitizer build this also proves no crash, no leak and nothing read or
// written out of bounds; the test's time limit catches a hang.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <random>


#include "pipeline/portrait_raster.h"
#include "tests/support/fixtures.h"

namespace {

// 1 refused, 2 read and scaled; 0 something half-made.
int outcome(const bytes &contents) {
    FILE *file = stream_of(contents);
    source_image image = {};
    int loaded = load_source_image(file, &image);
    fclose(file);
    if (!loaded) return image.pixels == NULL ? 1 : 0;
    int sound = image.pixels && image.width >= 1 && image.height >= 1 &&
                (int64_t)image.width * image.height <= source_pixel_limit;
    if (sound) {
        portrait_raster raster = crop_and_scale(&image);
        sound = raster.pixels != NULL;
        free(raster.pixels);
    }
    release_source_image(&image);
    return sound ? 2 : 0;
}

std::vector<std::pair<std::string, bytes>> every_photo() {
    std::vector<std::pair<std::string, bytes>> photos;
    for (const char *folder : {"pngsuite", "libjpeg-turbo"})
        for (const auto &entry : std::filesystem::directory_iterator(corpus_path(folder)))
            if (entry.path().extension() == ".png" || entry.path().extension() == ".jpg" ||
                entry.path().extension() == ".bmp")
                photos.push_back({entry.path().filename().string(), read_file(entry.path())});
    jpeg_fixture jpeg;
    jpeg.width = 37;
    jpeg.height = 23;
    for (int i = 0; i < 37 * 23 * 3; ++i) jpeg.pixels.push_back((unsigned char)(i * 7));
    photos.push_back({"baseline fixture", encode_jpeg(&jpeg)});
    jpeg.progressive = true;
    photos.push_back({"progressive fixture", encode_jpeg(&jpeg)});
    jpeg.progressive = false;
    jpeg.restart_interval = 1;
    jpeg.subsample = true;
    photos.push_back({"4:2:0 restart fixture", encode_jpeg(&jpeg)});
    png_fixture png;
    png.width = 19;
    png.height = 13;
    png.color_type = PNG_COLOR_TYPE_RGBA;
    png.interlaced = true;
    for (int i = 0; i < 19 * 13 * 4; ++i) png.rows.push_back((unsigned char)(i * 5));
    photos.push_back({"interlaced RGBA fixture", encode_png(&png)});
    return photos;
}

}  // namespace

// A file cut off anywhere is refused, never shown in part.
TEST(HostileInput, EveryCutIsRefused) {
    for (const auto &photo : every_photo()) {
        const bytes &file = photo.second;
        ASSERT_GT(file.size(), 8u) << photo.first;
        for (size_t k = 0; k < 64; ++k) {
            bytes cut(file.begin(), file.begin() + (long)(1 + (file.size() - 2) * k / 63));
            EXPECT_EQ(outcome(cut), 1) << photo.first << " cut to " << cut.size() << " of " << file.size() << " bytes";
        }
    }
}

// Changed bytes may still make a photo: then the whole pipeline runs on it.
TEST(HostileInput, ChangedFilesAreRefusedOrGiveAFullRaster) {
    std::mt19937 random(99);
    size_t refused = 0, scaled = 0;
    for (const auto &photo : every_photo()) {
        const bytes &file = photo.second;
        for (int k = 0; k < 16; ++k) {
            bytes changed = file;
            int changes = 1 + (int)(random() % 8);
            for (int c = 0; c < changes; ++c) changed[random() % changed.size()] = (unsigned char)random();
            int result = outcome(changed);
            ASSERT_NE(result, 0) << photo.first << " with bytes changed, round " << k;
            (result == 1 ? refused : scaled) += 1;
        }
    }
    // Both outcomes occur: the changed files are not all refused.
    EXPECT_GT(refused, 0u);
    EXPECT_GT(scaled, 0u);
}
