// Crop-and-scale: the worked examples, each held to the exact byte, and the
// optimised loop against the plain one on many shapes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <random>
#include <vector>

#include "pipeline/portrait_raster.h"
#include "tests/support/plain_crop_and_scale.h"

namespace {

// An owned RGBA source, filled pixel by pixel.
struct test_source {
    std::vector<unsigned char> block;
    source_image image;
};

typedef std::function<void(int32_t x, int32_t y, unsigned char *rgba)> pixel_fill;

void make_source(test_source *s, int32_t width, int32_t height, const pixel_fill &fill) {
    s->block.assign((size_t)width * (size_t)height * 4, 0);
    s->image.pixels = s->block.data();
    s->image.width = width;
    s->image.height = height;
    s->image.held.left = 0;
    s->image.held.top = 0;
    s->image.held.width = width;
    s->image.held.height = height;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) fill(x, y, &s->block[((size_t)y * width + x) * 4]);
}

void opaque(unsigned char *p, int r, int g, int b) {
    p[0] = (unsigned char)r;
    p[1] = (unsigned char)g;
    p[2] = (unsigned char)b;
    p[3] = 255;
}

struct probe {
    int32_t row, column;
    int r, g, b;
};

const unsigned char *at(const portrait_raster *raster, int32_t row, int32_t column) {
    return raster->pixels + (size_t)row * 3240 + (size_t)column * 3;
}

}  // namespace

TEST(CropAndScale, WorkedExamples) {
    struct example {
        const char *name;
        int32_t width, height;
        pixel_fill fill;
        std::vector<probe> probes;
    };
    const example examples[] = {
        {"2160 x 3840: 2 x 2 means, halves rounded up", 2160, 3840,
         [](int32_t x, int32_t y, unsigned char *p) {
             bool last = x == 1 && y == 1;
             if (x < 2 && y < 2) opaque(p, last ? 12 : 10, last ? 1 : 0, last ? 2 : 0);
             else opaque(p, 9, 9, 9);
         },
         {{0, 0, 11, 0, 1}, {0, 1, 9, 9, 9}, {1919, 1079, 9, 9, 9}}},
        {"1081 x 1920: mean of columns j and j + 1", 1081, 1920,
         [](int32_t x, int32_t, unsigned char *p) { opaque(p, 10 + x % 2, 20 + x % 2, 30 + x % 2); },
         {{0, 0, 11, 21, 31}, {700, 501, 11, 21, 31}, {1919, 1079, 11, 21, 31}}},
        {"4000 x 3000: weights 0.3369140625 ... give 102.65 -> 103", 4000, 3000,
         [](int32_t x, int32_t y, unsigned char *p) {
             int v = 0;
             if (y == 0 && x == 1157) v = 100;
             if (y == 1 && x == 1156) v = 200;
             if (y == 1 && x == 1157) v = 255;
             if (y == 2999 && x == 2843) v = 255;  // only (x1, y1) of the last pixel
             opaque(p, v, v, v);
         },
         {{0, 0, 103, 103, 103}, {1919, 1079, 86, 86, 86}}},
        {"3000 x 4000: row 0 samples at 0.5416666666664394, not 13/24", 3000, 4000,
         [](int32_t, int32_t y, unsigned char *p) {
             int v = y == 0 ? 100 : y == 1 ? 112 : 0;
             opaque(p, v, v, v);
         },
         {{0, 0, 106, 106, 106}, {0, 1079, 106, 106, 106}}},
        // Rows whose sample falls a few ulps beside a half: only the given
        // order of operations lands on the right side. Row 493 samples at
        // 1027.6249999999998 (not 1027.625, which i * s + 0.5 * s gives), row
        // 984 at 2050.541666666667 (a fused multiply-add gives 2050.5416666666665).
        {"3000 x 4000: rows 493 and 984, each value formed in the given order", 3000, 4000,
         [](int32_t, int32_t y, unsigned char *p) {
             int v = y == 1028 ? 4 : y == 2051 ? 12 : 0;
             opaque(p, v, v, v);
         },
         {{493, 0, 2, 2, 2}, {493, 1079, 2, 2, 2}, {984, 540, 7, 7, 7}}},
        // Row 265 samples at 1023.5875000000001; forming oy - 0.5 first gives
        // 1023.5874999999999.
        {"999 x 3333: row 265, the offset added before the half is taken off", 999, 3333,
         [](int32_t, int32_t y, unsigned char *p) {
             int v = y == 1024 ? 40 : 0;
             opaque(p, v, v, v);
         },
         {{265, 0, 24, 24, 24}, {265, 1079, 24, 24, 24}}},
        {"1920 x 1080: enlargement, rows clamped at both ends", 1920, 1080,
         [](int32_t x, int32_t y, unsigned char *p) {
             int r = y == 0 ? 10 : y == 1 ? 200 : y == 1078 ? 240 : y == 1079 ? 50 : 0;
             int g = x == 657 ? 255 : 0;
             opaque(p, r, g, 0);
         },
         {{0, 0, 10, 8, 0}, {1919, 0, 50, 8, 0}}},
        {"540 x 960: columns clamped, column 1 at 0.25", 540, 960,
         [](int32_t x, int32_t, unsigned char *p) {
             int g = x == 1 ? 200 : x == 538 ? 255 : x == 539 ? 77 : 0;
             opaque(p, 0, g, 0);
         },
         {{0, 0, 0, 0, 0}, {0, 1, 0, 50, 0}, {5, 1079, 0, 77, 0}}},
        {"1 x 1: every pixel the composite of the one pixel", 1, 1,
         [](int32_t, int32_t, unsigned char *p) {
             p[0] = 100;
             p[1] = 0;
             p[2] = 255;
             p[3] = 128;
         },
         {{0, 0, 177, 127, 255}, {1919, 1079, 177, 127, 255}, {960, 3, 177, 127, 255}}},
        {"alpha 0 is white whatever the colour", 3, 7,
         [](int32_t x, int32_t, unsigned char *p) {
             p[0] = (unsigned char)(x * 40);
             p[1] = 3;
             p[2] = 90;
             p[3] = 0;
         },
         {{0, 0, 255, 255, 255}, {1000, 600, 255, 255, 255}}},
        {"alpha 255 is the stored colour", 1080, 1920,
         [](int32_t x, int32_t y, unsigned char *p) { opaque(p, x % 256, y % 256, (x * y) % 256); },
         {{0, 0, 0, 0, 0}, {1919, 1079, 1079 % 256, 1919 % 256, (1079 * 1919) % 256}, {300, 77, 77, 300 % 256, (77 * 300) % 256}}},
        {"compositing before weighting: the stored blue never shows", 2160, 3840,
         [](int32_t x, int32_t y, unsigned char *p) {
             if (x == 0 && y == 0) {
                 opaque(p, 255, 0, 0);
             } else {
                 p[0] = p[1] = 0;
                 p[2] = 255;
                 p[3] = 0;
             }
         },
         {{0, 0, 255, 191, 191}, {0, 1, 255, 255, 255}}},
    };
    for (const example &e : examples) {
        SCOPED_TRACE(e.name);
        test_source s;
        make_source(&s, e.width, e.height, e.fill);
        portrait_raster raster = crop_and_scale(&s.image);
        ASSERT_NE(raster.pixels, nullptr);
        for (const probe &p : e.probes) {
            const unsigned char *px = at(&raster, p.row, p.column);
            EXPECT_EQ(px[0], p.r) << "row " << p.row << " column " << p.column;
            EXPECT_EQ(px[1], p.g) << "row " << p.row << " column " << p.column;
            EXPECT_EQ(px[2], p.b) << "row " << p.row << " column " << p.column;
        }
        free(raster.pixels);
    }
}

// A 1080 x 1920 opaque source is copied exactly; a uniform one stays uniform.
TEST(CropAndScale, CopiesAndKeepsUniformColour) {
    std::mt19937 random(7);
    test_source copy;
    make_source(&copy, 1080, 1920, [&](int32_t, int32_t, unsigned char *p) { opaque(p, random() & 255, random() & 255, random() & 255); });
    portrait_raster raster = crop_and_scale(&copy.image);
    ASSERT_NE(raster.pixels, nullptr);
    for (size_t i = 0; i < (size_t)1080 * 1920; ++i)
        ASSERT_EQ(memcmp(raster.pixels + i * 3, copy.block.data() + i * 4, 3), 0) << "pixel " << i;
    free(raster.pixels);

    for (auto shape : {std::make_pair(4000, 3000), std::make_pair(3000, 4000), std::make_pair(17, 5)}) {
        test_source uniform;
        make_source(&uniform, shape.first, shape.second, [](int32_t, int32_t, unsigned char *p) { opaque(p, 37, 180, 251); });
        raster = crop_and_scale(&uniform.image);
        ASSERT_NE(raster.pixels, nullptr);
        for (size_t i = 0; i < (size_t)1080 * 1920; ++i) {
            const unsigned char *px = raster.pixels + i * 3;
            ASSERT_TRUE(px[0] == 37 && px[1] == 180 && px[2] == 251) << shape.first << " x " << shape.second << " pixel " << i;
        }
        free(raster.pixels);
    }
}

// The optimised loop gives the plain loop's bytes, for opaque and translucent
// photos of every shape, the extreme ones within the pixel limit included.
TEST(CropAndScale, MatchesThePlainLoopByteForByte) {
    struct shape {
        int32_t width, height;
    };
    const shape shapes[] = {{1, 1},       {2, 3},       {7, 5},       {1080, 1920}, {1081, 1920}, {1080, 1921},
                            {2160, 3840}, {4000, 3000}, {3000, 4000}, {1920, 1080}, {540, 960},   {33, 1000},
                            {1000, 33},   {6000, 4000}, {4001, 2999}, {36000000, 1}, {1, 36000000}};
    std::vector<unsigned char> expected((size_t)1080 * 1920 * 3);
    std::mt19937 random(2024);
    for (const shape &sh : shapes) {
        for (int translucent = 0; translucent < 2; ++translucent) {
            if (translucent && (size_t)sh.width * sh.height > 30000000) continue;
            SCOPED_TRACE(testing::Message() << sh.width << " x " << sh.height << (translucent ? " translucent" : " opaque"));
            test_source s;
            make_source(&s, sh.width, sh.height, [&](int32_t, int32_t, unsigned char *p) {
                uint32_t bits = random();
                p[0] = (unsigned char)bits;
                p[1] = (unsigned char)(bits >> 8);
                p[2] = (unsigned char)(bits >> 16);
                uint32_t a = bits >> 24;
                p[3] = !translucent ? 255 : a < 64 ? 0 : a < 128 ? 255 : (unsigned char)a;
            });
            portrait_raster raster = crop_and_scale(&s.image);
            ASSERT_NE(raster.pixels, nullptr);
            plain_crop_and_scale(&s.image, expected.data());
            EXPECT_EQ(memcmp(raster.pixels, expected.data(), expected.size()), 0);
            free(raster.pixels);
        }
    }
}
