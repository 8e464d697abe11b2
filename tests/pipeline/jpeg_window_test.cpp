// A sequential JPEG wider or taller than the crop is decoded only around what
// the crop reads. Every pixel the crop reads, and so the whole raster, must be
// what stb_image gives for the whole file. Photos come from libjpeg-turbo
// (its library and cjpeg) and ImageMagick, in the layouts encoders write.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include <stb/stb_image.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/portrait_raster.h"
#include "tests/support/fixtures.h"
#include "tests/support/plain_crop_and_scale.h"

namespace {

// Photo-like: smooth light and dark areas with fine texture, so that DC
// values wander far and AC codes of every size occur.
bytes photo_rgb(int width, int height) {
    bytes rgb((size_t)width * height * 3);
    unsigned seed = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            int noise = (int)(seed >> 27) - 16;
            int base[3] = {(x * 255) / width, (y * 255) / height, ((x / 9 + y / 7) % 2) * 200 + 20};
            for (int c = 0; c < 3; ++c) {
                int v = base[c] + noise;
                rgb[((size_t)y * width + x) * 3 + c] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    return rgb;
}

bytes ppm(int width, int height) {
    std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    bytes file(head.begin(), head.end());
    bytes rgb = photo_rgb(width, height);
    file.insert(file.end(), rgb.begin(), rgb.end());
    return file;
}

// Runs the shell command with IN and OUT replaced by a PPM photo and the file
// it writes; the command may keep other files in OUT's folder.
bytes by_command(const std::string &command, int width, int height) {
    std::filesystem::path dir = make_temp_dir();
    write_file(dir / "in.ppm", ppm(width, height));
    std::string line = command;
    for (size_t at; (at = line.find("OUT")) != std::string::npos;) line.replace(at, 3, (dir / "out.jpg").string());
    line.replace(line.find("IN"), 2, (dir / "in.ppm").string());
    int status = system(line.c_str());
    bytes out = status == 0 ? read_file(dir / "out.jpg") : bytes();
    remove_tree(dir);
    return out;
}

bytes by_library(int width, int height, int components, bool subsample, int restart_interval, int quality) {
    jpeg_fixture f;
    f.width = width;
    f.height = height;
    f.components = components;
    f.subsample = subsample;
    f.restart_interval = restart_interval;
    f.quality = quality;
    bytes rgb = photo_rgb(width, height);
    for (size_t i = 0; i < (size_t)width * height; ++i)
        for (int c = 0; c < components; ++c) f.pixels.push_back(rgb[i * 3 + (size_t)c % 3]);
    return encode_jpeg(&f);
}

struct window_case {
    const char *name;
    bytes file;
    bool windowed;  // the crop leaves out whole MCUs
};

}  // namespace

TEST(JpegWindow, GivesTheWholeFileDecodesPixelsWhereverTheCropReads) {
    std::vector<window_case> cases = {
        {"library 4:4:4, wide", by_library(700, 200, 3, false, 0, 90), true},
        {"library 4:2:0, wide, odd size", by_library(701, 203, 3, true, 0, 90), true},
        {"library 4:2:0, tall", by_library(203, 701, 3, true, 0, 90), true},
        {"library restart every MCU", by_library(640, 120, 3, true, 1, 90), true},
        {"library restart every 7 MCUs, tall", by_library(90, 500, 3, false, 7, 95), true},
        {"library grey", by_library(500, 100, 1, false, 0, 90), true},
        {"library CMYK", by_library(400, 90, 4, false, 0, 90), true},
        {"library quality 100", by_library(480, 96, 3, false, 0, 100), true},
        {"cjpeg 4:2:2", by_command("cjpeg -sample 2x1 IN > OUT", 520, 130), true},
        {"cjpeg 4:4:0", by_command("cjpeg -sample 1x2 IN > OUT", 520, 130), true},
        {"cjpeg 4:1:1", by_command("cjpeg -sample 4x1 IN > OUT", 520, 130), true},
        {"cjpeg 4x2 luma", by_command("cjpeg -sample 4x2 IN > OUT", 530, 77), true},
        {"cjpeg optimised tables", by_command("cjpeg -optimize -sample 2x2 IN > OUT", 600, 150), true},
        {"cjpeg RGB", by_command("cjpeg -rgb IN > OUT", 300, 100), true},
        {"cjpeg restart in blocks", by_command("cjpeg -restart 5B -sample 2x2 IN > OUT", 333, 90), true},
        {"cjpeg restart in rows, tall", by_command("cjpeg -restart 1 IN > OUT", 100, 333), true},
        {"cjpeg float DCT, quality 75", by_command("cjpeg -dct float -quality 75 IN > OUT", 410, 100), true},
        {"cjpeg one scan per component", by_command("d=$(dirname OUT); printf '0;\\n1;\\n2;\\n' > $d/s; "
                                                    "cjpeg -sample 2x2 -scans $d/s IN > OUT", 622, 141), true},
        {"cjpeg one scan per component, tall",
         by_command("d=$(dirname OUT); printf '0;\\n2;\\n1;\\n' > $d/s; cjpeg -scans $d/s IN > OUT", 141, 622), true},
        {"ImageMagick CMYK", by_command("convert IN -colorspace CMYK -quality 90 OUT", 360, 100), true},
        {"ImageMagick 4:2:0", by_command("convert IN -sampling-factor 2x2 -quality 85 OUT", 720, 160),
         true},
        {"no window: 9:16 already", by_library(90, 160, 3, true, 0, 90), false},
        {"no window: crop reaches every MCU", by_library(200, 300, 3, true, 0, 90), false},
        {"no window: progressive", by_command("cjpeg -progressive IN > OUT", 700, 200), false},
    };
    for (const window_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.empty());

        FILE *file = tmpfile();
        ASSERT_NE(file, nullptr);
        fwrite(c.file.data(), 1, c.file.size(), file);
        rewind(file);
        source_image image = {};
        ASSERT_EQ(load_source_image(file, &image), 1);
        fclose(file);

        source_image whole = {};
        whole.pixels = stbi_load_from_memory(c.file.data(), (int)c.file.size(), &whole.width, &whole.height, NULL, 4);
        ASSERT_NE(whole.pixels, nullptr);
        whole.held.width = whole.width;
        whole.held.height = whole.height;
        ASSERT_EQ(image.width, whole.width);
        ASSERT_EQ(image.height, whole.height);
        EXPECT_EQ(image.held.width < image.width || image.held.height < image.height, c.windowed);

        crop_span columns, rows;
        crop_reach(image.width, image.height, &columns, &rows);
        ASSERT_LE(image.held.left, columns.first);
        ASSERT_LE(image.held.top, rows.first);
        ASSERT_GE(image.held.left + image.held.width - 1, columns.last);
        ASSERT_GE(image.held.top + image.held.height - 1, rows.last);
        int differing = 0;
        for (int32_t y = rows.first; y <= rows.last; ++y)
            for (int32_t x = columns.first; x <= columns.last; ++x) {
                const unsigned char *held =
                    source_pixel(&image, x, y);
                const unsigned char *full = whole.pixels + ((size_t)y * whole.width + x) * 4;
                differing += memcmp(held, full, 4) != 0;
            }
        EXPECT_EQ(differing, 0);

        portrait_raster raster = crop_and_scale(&image);
        ASSERT_NE(raster.pixels, nullptr);
        bytes expected(portrait_bytes);
        plain_crop_and_scale(&whole, expected.data());
        EXPECT_EQ(memcmp(raster.pixels, expected.data(), portrait_bytes), 0);
        free(raster.pixels);
        release_source_image(&whole);
        release_source_image(&image);
    }
}
