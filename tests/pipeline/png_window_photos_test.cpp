// PNG photos as ImageMagick writes them, stored, at its best and in each of
// zlib's strategies, read through the window exactly as stb_image reads the
// whole file: on Linux with Debian's ISA-L, on Windows (under Wine) with the
// static ISA-L built for kadrova.exe.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/files.h"
#include "tests/support/whole_way.h"

TEST(PngWindowPhotos, EveryCompressionReadsThroughTheWindowAsTheWholeFile) {
    int photos = 0;
    for (const auto &entry : std::filesystem::directory_iterator(KADROVA_PNG_PHOTOS_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_TRUE(read_as_whole(read_file(entry.path()), false)) << "not read through the window";
        ++photos;
    }
    EXPECT_EQ(photos, KADROVA_PNG_PHOTOS);
}
