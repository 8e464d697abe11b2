// Intake: what is read, what is refused, and what the pixels look like.
#include <gtest/gtest.h>
#include <dirent.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "pipeline/file_structure.h"
#include "pipeline/source_image.h"
#include "tests/support/fixtures.h"
#include "tests/support/whole_way.h"

namespace {

// Loads bytes through a real stream, as the program does.
int load_bytes(const bytes &contents, source_image *image) {
    FILE *file = stream_of(contents);
    int loaded = load_source_image(file, image);
    fclose(file);
    return loaded;
}

bool refused(const bytes &contents) {
    source_image image = {};
    if (!load_bytes(contents, &image)) return image.pixels == NULL;
    release_source_image(&image);
    return false;
}

bytes uniform_rows(size_t count, unsigned char value) { return bytes(count, value); }

jpeg_fixture colour_jpeg(int width, int height) {
    jpeg_fixture f;
    f.width = width;
    f.height = height;
    f.components = 3;
    f.pixels.resize((size_t)width * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char *p = &f.pixels[((size_t)y * width + x) * 3];
            p[0] = (unsigned char)(x * 7);
            p[1] = (unsigned char)(y * 5);
            p[2] = (unsigned char)((x + y) * 3);
        }
    return f;
}

png_fixture rgba_png(int width, int height) {
    png_fixture f;
    f.width = width;
    f.height = height;
    f.color_type = PNG_COLOR_TYPE_RGBA;
    f.rows.resize((size_t)width * height * 4);
    for (size_t i = 0; i < f.rows.size(); ++i) f.rows[i] = (unsigned char)(i * 13 + i / 7);
    return f;
}

png_fixture grey_png(int width, int height, int bit_depth, const bytes &rows) {
    png_fixture f;
    f.width = width;
    f.height = height;
    f.color_type = PNG_COLOR_TYPE_GRAY;
    f.bit_depth = bit_depth;
    f.rows = rows;
    return f;
}

// An Exif APP1 payload whose only entry is the orientation tag.
bytes exif_orientation(int orientation) {
    const unsigned char tiff[] = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                                  0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, (unsigned char)orientation, 0, 0, 0, 0, 0, 0};
    return bytes(tiff, tiff + sizeof tiff);
}

bytes png_bytes(png_fixture f) { return encode_png(&f); }
bytes jpeg_bytes(jpeg_fixture f) { return encode_jpeg(&f); }

// A pixel the block holds; a failure, and a pixel of nothing, for one it does not.
const unsigned char *pixel(const source_image *image, int x, int y) {
    static const unsigned char none[4] = {};
    int held = x >= image->held.left && x < image->held.left + image->held.width && y >= image->held.top &&
               y < image->held.top + image->held.height;
    EXPECT_TRUE(held) << "pixel " << x << ", " << y << " is not held";
    if (!held) return none;
    return source_pixel(image, x, y);
}

}  // namespace

// Every kind of photo a user may bring arrives as 8-bit RGBA of its stored size.
TEST(Intake, ReadsEveryFormatVariantAsRgba) {
    struct variant {
        const char *name;
        bytes file;
        int width, height;
        std::function<void(const source_image *)> check;
    };
    jpeg_fixture progressive = colour_jpeg(33, 17);
    progressive.progressive = true;
    jpeg_fixture subsampled = colour_jpeg(31, 29);
    subsampled.subsample = true;
    jpeg_fixture restarts = colour_jpeg(40, 24);
    restarts.restart_interval = 1;
    jpeg_fixture grey;
    grey.width = 9;
    grey.height = 5;
    grey.components = 1;
    for (int i = 0; i < 45; ++i) grey.pixels.push_back((unsigned char)(i * 5));
    jpeg_fixture cmyk;
    cmyk.width = 8;
    cmyk.height = 8;
    cmyk.components = 4;
    cmyk.pixels.assign(8 * 8 * 4, 0);
    png_fixture interlaced = rgba_png(13, 11);
    interlaced.interlaced = true;
    png_fixture palette;
    // Tall enough that the crop reads every column: rows 4 to 11 of 16 hold
    // what the checks below look at.
    palette.width = 4;
    palette.height = 16;
    palette.color_type = PNG_COLOR_TYPE_PALETTE;
    palette.palette = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    for (int y = 0; y < 16; ++y) palette.rows.insert(palette.rows.end(), {0, 1, 2, 1});
    png_fixture sixteen;
    sixteen.width = 2;
    sixteen.height = 1;
    sixteen.color_type = PNG_COLOR_TYPE_RGB;
    sixteen.bit_depth = 16;
    sixteen.rows = {0x12, 0xFF, 0x00, 0x01, 0xAB, 0xCD, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF};
    const bytes original_rgba = rgba_png(13, 11).rows;

    const variant variants[] = {
        {"progressive JPEG", encode_jpeg(&progressive), 33, 17,
         [](const source_image *im) { EXPECT_EQ(pixel(im, 16, 16)[3], 255); }},
        {"4:2:0 JPEG", encode_jpeg(&subsampled), 31, 29, [](const source_image *im) { EXPECT_EQ(pixel(im, 0, 0)[3], 255); }},
        {"JPEG with restart markers", encode_jpeg(&restarts), 40, 24,
         [](const source_image *im) { EXPECT_EQ(pixel(im, 39, 23)[3], 255); }},
        {"grey JPEG", encode_jpeg(&grey), 9, 5,
         [](const source_image *im) {
             for (int i = 0; i < 45; ++i) {
                 const unsigned char *p = im->pixels + i * 4;
                 EXPECT_TRUE(p[0] == p[1] && p[1] == p[2] && p[3] == 255) << "pixel " << i;
             }
         }},
        {"CMYK JPEG", encode_jpeg(&cmyk), 8, 8, [](const source_image *im) { EXPECT_EQ(pixel(im, 7, 7)[3], 255); }},
        {"interlaced RGBA PNG", encode_png(&interlaced), 13, 11,
         [&](const source_image *im) { EXPECT_EQ(bytes(im->pixels, im->pixels + 13 * 11 * 4), original_rgba); }},
        {"palette PNG", encode_png(&palette), 4, 16,
         [](const source_image *im) {
             EXPECT_EQ(bytes(pixel(im, 0, 8), pixel(im, 0, 8) + 16),
                       bytes({10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255, 40, 50, 60, 255}));
         }},
        {"1-bit grey PNG", png_bytes((grey_png(8, 16, 1, bytes(16, 0xA5)))), 8, 16,
         [](const source_image *im) {
             const unsigned char expected[8] = {255, 0, 255, 0, 0, 255, 0, 255};
             for (int x = 0; x < 8; ++x) EXPECT_EQ(pixel(im, x, 8)[0], expected[x]) << x;
         }},
        {"2-bit grey PNG", png_bytes((grey_png(4, 16, 2, bytes(16, 0x1B)))), 4, 16,
         [](const source_image *im) {
             for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(im, x, 8)[1], x * 85) << x;
         }},
        {"4-bit grey PNG", png_bytes((grey_png(2, 1, 4, {0x5F}))), 2, 1,
         [](const source_image *im) {
             EXPECT_EQ(pixel(im, 0, 0)[2], 5 * 17);
             EXPECT_EQ(pixel(im, 1, 0)[2], 255);
         }},
        {"16-bit RGB PNG keeps the high byte", encode_png(&sixteen), 2, 1,
         [](const source_image *im) {
             EXPECT_EQ(bytes(im->pixels, im->pixels + 8), bytes({0x12, 0x00, 0xAB, 255, 0xFF, 0x80, 0x7F, 255}));
         }},
    };
    for (const variant &v : variants) {
        SCOPED_TRACE(v.name);
        ASSERT_FALSE(v.file.empty());
        source_image image = {};
        ASSERT_EQ(load_bytes(v.file, &image), 1);
        EXPECT_EQ(image.width, v.width);
        EXPECT_EQ(image.height, v.height);
        v.check(&image);
        release_source_image(&image);
    }
}

// Transparency reaches A as stored; the colour under A = 0 is kept.
TEST(Intake, HandsTransparencyOnInAlpha) {
    png_fixture rgba;
    rgba.width = 2;
    rgba.height = 1;
    rgba.color_type = PNG_COLOR_TYPE_RGBA;
    rgba.rows = {1, 2, 3, 0, 200, 100, 50, 128};
    png_fixture keyed = grey_png(3, 1, 8, {7, 9, 7});
    keyed.transparency = {0, 7};
    png_fixture palette;
    palette.width = 2;
    palette.height = 1;
    palette.color_type = PNG_COLOR_TYPE_PALETTE;
    palette.palette = {255, 0, 0, 0, 0, 255};
    palette.transparency = {0, 77};
    palette.rows = {0, 1};
    struct {
        const char *name;
        bytes file;
        bytes expected;
    } cases[] = {
        {"alpha channel", encode_png(&rgba), {1, 2, 3, 0, 200, 100, 50, 128}},
        {"tRNS colour key", encode_png(&keyed), {7, 7, 7, 0, 9, 9, 9, 255, 7, 7, 7, 0}},
        {"tRNS palette alpha", encode_png(&palette), {255, 0, 0, 0, 0, 0, 255, 77}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        source_image image = {};
        ASSERT_EQ(load_bytes(c.file, &image), 1);
        EXPECT_EQ(bytes(image.pixels, image.pixels + c.expected.size()), c.expected);
        release_source_image(&image);
    }
}

// A quarter-turn Exif tag is not applied: the stored landscape stays landscape.
TEST(Intake, IgnoresExifOrientation) {
    jpeg_fixture f = colour_jpeg(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            unsigned char *p = &f.pixels[((size_t)y * 40 + x) * 3];
            p[0] = x < 20 ? 250 : 0;  // left half red, right half black
            p[1] = p[2] = 0;
        }
    f.exif = exif_orientation(6);
    f.quality = 100;
    bytes file = encode_jpeg(&f);
    ASSERT_NE(std::search(file.begin(), file.end(), f.exif.begin(), f.exif.begin() + 6), file.end());
    source_image image = {};
    ASSERT_EQ(load_bytes(file, &image), 1);
    EXPECT_EQ(image.width, 40);
    EXPECT_EQ(image.height, 30);
    EXPECT_GT(pixel(&image, 2, 2)[0], 200);
    EXPECT_LT(pixel(&image, 37, 2)[0], 50);
    release_source_image(&image);
}

// The content decides, not the name: files are opened by path with the wrong ending.
TEST(Intake, RecognisesContentNotName) {
    const std::string dir = make_temp_dir();
    struct {
        const char *name;
        bytes contents;
        bool read;
    } cases[] = {
        {"photo.png", jpeg_bytes(colour_jpeg(5, 4)), true},
        {"photo.jpg", png_bytes(rgba_png(5, 4)), true},
        {"bird.jpg", read_file(corpus_path("libjpeg-turbo/shira_bird8.bmp")), false},
        {"anim.jpg",
         {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 255, 255, 255, 0, 0, 0, '!', 0xF9, 4, 1, 0, 0, 0, 0,
          ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 'D', 1, 0, ';'},
         false},
        {"empty.jpg", {}, false},
        {"text.png", {'h', 'e', 'l', 'l', 'o', '\n'}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        write_file(path, c.contents);
        FILE *file = fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        source_image image = {};
        EXPECT_EQ(load_source_image(file, &image), c.read ? 1 : 0);
        fclose(file);
        if (c.read) {
            EXPECT_EQ(image.width, 5);
            EXPECT_EQ(image.height, 4);
            release_source_image(&image);
        } else {
            EXPECT_EQ(image.pixels, nullptr);
        }
        remove(path.c_str());
    }
    remove_tree(dir);
}

// The side limit acts on each side alone, the pixel limit on the product.
TEST(Intake, HoldsTheSizeLimits) {
    struct {
        const char *name;
        int width, height;
        bool png;
        bool read;
    } cases[] = {
        {"6000 x 6000 PNG, exactly 36 MP", 6000, 6000, true, true},
        {"32768 x 1000 PNG", 32768, 1000, true, true},
        {"32769 x 1000 PNG", 32769, 1000, true, false},
        {"1000 x 32769 PNG", 1000, 32769, true, false},
        {"32768 x 8 JPEG", 32768, 8, false, true},
        {"32769 x 8 JPEG", 32769, 8, false, false},
        {"8 x 32769 JPEG", 8, 32769, false, false},
        {"6001 x 6000 PNG", 6001, 6000, true, false},
        {"6000 x 6000 JPEG, exactly 36 MP", 6000, 6000, false, true},
        {"3617 x 9953 JPEG, 36,000,001 pixels", 3617, 9953, false, false},
        {"3617 x 9953 PNG, 36,000,001 pixels", 3617, 9953, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes file;
        if (c.png) {
            file = png_bytes(grey_png(c.width, c.height, 8, uniform_rows((size_t)c.width * c.height, 90)));
        } else {
            jpeg_fixture f;
            f.width = c.width;
            f.height = c.height;
            f.components = 1;
            f.pixels = uniform_rows((size_t)c.width * c.height, 90);
            file = encode_jpeg(&f);
        }
        ASSERT_FALSE(file.empty());
        source_image image = {};
        ASSERT_EQ(load_bytes(file, &image), c.read ? 1 : 0);
        if (c.read) {
            EXPECT_EQ(image.width, c.width);
            EXPECT_EQ(image.height, c.height);
            // The last pixel of the block: the photo's, or its window's for a wide JPEG.
            EXPECT_EQ(pixel(&image, image.held.left + image.held.width - 1, image.held.top + image.held.height - 1)[0],
                      90);
            release_source_image(&image);
        }
    }
}

// The JPEG walk goes over every block, so it applies the pixel rule to the
// frame header itself, before the first scan, and to the pixel.
TEST(Intake, JpegWalkAppliesThePixelLimitToTheFrameHeader) {
    struct {
        int width, height;
        int sound;
    } cases[] = {{6000, 6000, 1}, {3617, 9953, 0}, {9953, 3617, 0}};
    // (The refusal must be the walk's own, on the frame's size.)
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        jpeg_fixture f;
        f.width = c.width;
        f.height = c.height;
        f.components = 1;
        f.pixels = uniform_rows((size_t)c.width * c.height, 90);
        bytes file = encode_jpeg(&f);
        FILE *stream = fmemopen(file.data(), file.size(), "rb");
        ASSERT_NE(stream, nullptr);
        intake_refusal refusal;
        EXPECT_EQ(file_structure_is_sound(stream, NULL, NULL, &refusal), c.sound);
        EXPECT_EQ(refusal, c.sound ? refusal_none : refusal_frame_size);
        fclose(stream);
    }
}

// The pixel limit is applied to the header: a 6001 x 6000 photo is refused
// without its 144 MB being decoded. Measured in a child process of its own.
TEST(Intake, RefusesAnOversizedPhotoBeforeDecoding) {
    bytes file = png_bytes(grey_png(6001, 6000, 8, uniform_rows((size_t)6001 * 6000, 90)));
    ASSERT_LT(file.size(), 200000u);
    fflush(NULL);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        source_image image = {};
        int loaded = load_bytes(file, &image);
        getrusage(RUSAGE_SELF, &after);
        long grown_kb = after.ru_maxrss - before.ru_maxrss;
        _exit(loaded == 0 && grown_kb < 8 * 1024 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A file cut off anywhere after its signature is refused, never shown in part.
TEST(Intake, RefusesTruncatedFilesAtEveryCut) {
    jpeg_fixture baseline = colour_jpeg(64, 48);
    jpeg_fixture progressive = colour_jpeg(64, 48);
    progressive.progressive = true;
    png_fixture plain = rgba_png(40, 30);
    png_fixture interlaced = rgba_png(40, 30);
    interlaced.interlaced = true;
    struct {
        const char *name;
        bytes file;
    } cases[] = {
        {"baseline JPEG", encode_jpeg(&baseline)},
        {"progressive JPEG", encode_jpeg(&progressive)},
        {"PNG", encode_png(&plain)},
        {"interlaced PNG", encode_png(&interlaced)},
    };
    for (const auto &c : cases) {
        ASSERT_FALSE(refused(c.file)) << c.name;
        const size_t size = c.file.size();
        std::vector<size_t> cuts;
        for (size_t k = 0; k < 64; ++k) cuts.push_back(2 + (size - 3) * k / 63);
        for (size_t back = 1; back <= 16; ++back) cuts.push_back(size - back);
        for (size_t cut : cuts) {
            bytes shortened(c.file.begin(), c.file.begin() + (long)cut);
            EXPECT_TRUE(refused(shortened)) << c.name << " cut at " << cut << " of " << size;
        }
    }
}

// A DNL marker after the first scan may repeat the frame's height; one that
// gives another height makes the file corrupt. Narrow and wide photos, so
// that both the whole file and the crop's window meet it.
TEST(Intake, ReadsADnlMarkerThatRepeatsTheHeight) {
    for (int width : {64, 400}) {
        bytes file = jpeg_bytes(colour_jpeg(width, 48));
        ASSERT_EQ(file[file.size() - 2], 0xFF);
        ASSERT_EQ(file[file.size() - 1], 0xD9);
        for (int height : {48, 47, 49}) {
            SCOPED_TRACE(testing::Message() << width << " wide, DNL height " << height);
            bytes with_dnl(file.begin(), file.end() - 2);
            const unsigned char dnl[] = {0xFF, 0xDC, 0x00, 0x04, 0x00, (unsigned char)height, 0xFF, 0xD9};
            with_dnl.insert(with_dnl.end(), dnl, dnl + sizeof dnl);
            source_image image = {};
            ASSERT_EQ(load_bytes(with_dnl, &image), height == 48 ? 1 : 0);
            if (height != 48) continue;
            source_image plain = {};
            ASSERT_EQ(load_bytes(file, &plain), 1);
            EXPECT_EQ(image.width, width);
            EXPECT_EQ(image.height, 48);
            for (int y = plain.held.top; y < plain.held.top + plain.held.height; ++y)
                for (int x = plain.held.left; x < plain.held.left + plain.held.width; ++x)
                    ASSERT_EQ(memcmp(pixel(&image, x, y), pixel(&plain, x, y), 4), 0) << x << ", " << y;
            release_source_image(&image);
            release_source_image(&plain);
        }
    }
}

// A frame header followed directly by the end marker has no picture in it.
TEST(Intake, RefusesAJpegWithoutAnyScan) {
    for (bool progressive : {false, true}) {
        jpeg_fixture f = colour_jpeg(16, 16);
        f.progressive = progressive;
        bytes file = encode_jpeg(&f);
        const unsigned char sos[] = {0xFF, 0xDA};
        auto at = std::search(file.begin(), file.end(), sos, sos + 2);
        ASSERT_NE(at, file.end());
        bytes scanless(file.begin(), at);
        scanless.push_back(0xFF);
        scanless.push_back(0xD9);
        EXPECT_EQ(refusal_of(scanless), refusal_component_unscanned) << (progressive ? "progressive" : "baseline");
        // The same file with its scans back in is read.
        EXPECT_FALSE(refused(file));
    }
}

// The third-party corpus, with the outcomes its README gives.
TEST(Intake, ReadsTheCorpusAsDocumented) {
    std::vector<std::string> pngsuite;
    DIR *dir = opendir(corpus_path("pngsuite").c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) pngsuite.push_back(name);
    }
    closedir(dir);
    ASSERT_GT(pngsuite.size(), 150u);
    for (const std::string &file : pngsuite) {
        bool broken = file[0] == 'x' && file != "xcsn0g01.png" && file != "xhdn0g08.png";
        bytes contents = read_file(corpus_path("pngsuite/" + file));
        ASSERT_FALSE(contents.empty()) << file;
        EXPECT_EQ(refused(contents), broken) << file;
    }
    struct {
        const char *name;
        bool read;
    } turbo[] = {
        {"testorig.jpg", true},   {"testimgint.jpg", true},     {"testimgari.jpg", false}, {"monkey12.jpg", false},
        {"testorig.png", true},   {"monkey16.png", true},       {"vgl_5674_0098.png", true}, {"shira_bird8.bmp", false},
    };
    for (const auto &t : turbo) {
        bytes contents = read_file(corpus_path(std::string("libjpeg-turbo/") + t.name));
        ASSERT_FALSE(contents.empty()) << t.name;
        EXPECT_EQ(refused(contents), !t.read) << t.name;
    }
}

// libjpeg-turbo's own arithmetic coder, beside the corpus file.
TEST(Intake, RefusesArithmeticCodedJpeg) {
    jpeg_fixture f = colour_jpeg(16, 16);
    f.arithmetic = true;
    EXPECT_EQ(refusal_of(encode_jpeg(&f)), refusal_scan_header);
}

// A Huffman table whose sixteen counts add up to more than 256 symbols would
// make the decoder write past its table: refused before the decoder reads it,
// ahead of the frame header (the probe's part) and between progressive scans.
TEST(Intake, RefusesAJpegWhoseHuffmanTableOverflows) {
    for (bool progressive : {false, true}) {
        jpeg_fixture f = colour_jpeg(16, 16);
        f.progressive = progressive;
        const bytes file = encode_jpeg(&f);
        ASSERT_FALSE(refused(file));
        const unsigned char dht[] = {0xFF, 0xC4};
        std::vector<size_t> tables;
        for (auto at = std::search(file.begin(), file.end(), dht, dht + 2); at != file.end();
             at = std::search(at + 2, file.end(), dht, dht + 2))
            tables.push_back((size_t)(at - file.begin()));
        ASSERT_FALSE(tables.empty());
        // The first table of the file, and the last (after a scan in a progressive file).
        for (size_t at : {tables.front(), tables.back()}) {
            bytes bad = file;
            const size_t counts = at + 5;  // marker, length, class and id
            const int extra = 300;
            bad[counts + 12] = (unsigned char)(bad[counts + 12] + 150);
            bad[counts + 13] = (unsigned char)(bad[counts + 13] + 150);
            size_t symbols = 0;
            for (int k = 0; k < 16; ++k) symbols += bad[counts + k];
            ASSERT_GT(symbols, 256u);
            const size_t values_end = counts + 16 + symbols - extra;
            bad.insert(bad.begin() + (long)values_end, (size_t)extra, 0x01);
            const size_t length = (size_t)(bad[at + 2] << 8 | bad[at + 3]) + extra;
            bad[at + 2] = (unsigned char)(length >> 8);
            bad[at + 3] = (unsigned char)length;
            EXPECT_EQ(refusal_of(bad), refusal_huffman_table) << (progressive ? "progressive" : "baseline") << ", table at " << at;
        }
    }
}

namespace {
// The file without every segment of this marker.
bytes without_segments(const bytes &file, unsigned char marker) {
    bytes out(file.begin(), file.begin() + 2);
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA) {
        size_t length = (size_t)(file[at + 2] << 8 | file[at + 3]);
        if (file[at + 1] != marker) out.insert(out.end(), file.begin() + (long)at, file.begin() + (long)(at + 2 + length));
        at += 2 + length;
    }
    out.insert(out.end(), file.begin() + (long)at, file.end());
    return out;
}
// A three-component file whose frame header names a fourth component that
// no scan covers.
bytes without_component_scan(const bytes &file) {
    bytes out = file;
    const unsigned char sof[] = {0xFF, 0xC0};
    const size_t at = (size_t)(std::search(out.begin(), out.end(), sof, sof + 2) - out.begin());
    const size_t length = (size_t)(out[at + 2] << 8 | out[at + 3]);
    out[at + 9] = 4;                                        // components
    out[at + 3] = (unsigned char)(length + 3);              // length
    const unsigned char fourth[] = {4, 0x11, 0};            // id 4, 1 x 1, table 0
    out.insert(out.begin() + (long)(at + 2 + length), fourth, fourth + 3);
    return out;
}
}  // namespace

// The decoder leaves its tables and planes uninitialised until a segment or
// scan fills them, and uses what it finds there: a scan that uses an undefined
// Huffman or quantisation table, a second frame header, or a component that
// no scan covers is refused.
TEST(Intake, RefusesAJpegThatUsesUndefinedTables) {
    jpeg_fixture f = colour_jpeg(24, 16);
    const bytes file = encode_jpeg(&f);
    ASSERT_FALSE(refused(file));
    const unsigned char sof[] = {0xFF, 0xC0};
    auto frame = std::search(file.begin(), file.end(), sof, sof + 2);
    ASSERT_NE(frame, file.end());
    bytes two_frames(file.begin(), frame);
    size_t frame_length = (size_t)(frame[2] << 8 | frame[3]) + 2;
    two_frames.insert(two_frames.end(), frame, frame + (long)frame_length);
    two_frames.insert(two_frames.end(), frame, file.end());
    struct {
        const char *name;
        bytes file;
        intake_refusal refusal;
    } cases[] = {
        {"no Huffman table", without_segments(file, 0xC4), refusal_scan_header},
        {"no quantisation table", without_segments(file, 0xDB), refusal_scan_header},
        {"two frame headers", two_frames, refusal_frame_header},
        {"a component no scan covers", without_component_scan(file), refusal_component_unscanned},
    };
    for (const auto &c : cases) EXPECT_EQ(refusal_of(c.file), c.refusal) << c.name;
}

// Every case the fuzzer ever found is refused.
TEST(Intake, RefusesEveryFuzzRegressionCase) {
    const std::filesystem::path folder = std::filesystem::path(KADROVA_SOURCE_DIR) / "fuzz" / "regressions";
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_TRUE(refused(read_file(entry.path()))) << entry.path();
        ++count;
    }
    EXPECT_GT(count, 0u);
}

// A scan whose data stops before its last block, followed at once by the end
// marker, is cut off too; the decoder would fill the rest with zeros (and, in
// stb_image 2.27, shift by more than an int is wide).
TEST(Intake, RefusesAScanThatEndsBeforeItsLastBlock) {
    for (bool progressive : {false, true}) {
        jpeg_fixture f = colour_jpeg(64, 48);
        f.progressive = progressive;
        const bytes file = encode_jpeg(&f);
        const unsigned char sos[] = {0xFF, 0xDA};
        auto scan = std::search(file.begin(), file.end(), sos, sos + 2);
        ASSERT_NE(scan, file.end());
        const size_t data = (size_t)(scan - file.begin()) + 2 + (size_t)(scan[2] << 8 | scan[3]);
        const size_t next = (size_t)(std::search(file.begin() + (long)data, file.end(), sos, sos + 2) - file.begin());
        const size_t scan_end = progressive ? next : file.size() - 2;
        for (size_t cut = data + 1; cut < scan_end - 1; cut += (scan_end - data) / 16 + 1) {
            bytes shortened(file.begin(), file.begin() + (long)cut);
            if (shortened.back() == 0xFF) shortened.pop_back();
            shortened.push_back(0xFF);
            shortened.push_back(0xD9);
            // The walk's own refusal: the data ends inside a block, or the
            // file ends where the scan's data should go on.
            const intake_refusal refusal = refusal_of(shortened);
            EXPECT_TRUE(refusal == refusal_scan_data || refusal == refusal_cut_off)
                << (progressive ? "progressive" : "baseline") << " cut at " << cut << ": " << refusal;
        }
    }
}

// Scans without end: a progressive JPEG whose first (DC) scan comes again 150
// times is refused, where the decoder would go over every block each time.
TEST(Intake, RefusesAJpegThatGoesOverItsBlocksWithoutEnd) {
    jpeg_fixture f = colour_jpeg(64, 48);
    f.progressive = true;
    const bytes file = encode_jpeg(&f);
    const unsigned char sos[] = {0xFF, 0xDA};
    auto first = std::search(file.begin(), file.end(), sos, sos + 2);
    auto second = std::search(first + 2, file.end(), sos, sos + 2);
    ASSERT_NE(second, file.end());
    ASSERT_EQ(first[4], 3) << "the first scan is the interleaved DC scan";
    for (int copies : {10, 150}) {
        bytes repeated(file.begin(), second);
        for (int k = 0; k < copies; ++k) repeated.insert(repeated.end(), first, second);
        repeated.insert(repeated.end(), second, file.end());
        EXPECT_EQ(refusal_of(repeated), copies > 100 ? refusal_block_budget : refusal_none) << copies << " copies";
    }
}

namespace {
// A 16 × 8 grey JPEG of two blocks whose DC differences are each +32767, with
// every quantisation value 65535 (a 16-bit table): the second DC value times
// its quantisation value overflows the decoder's int.
bytes overflowing_dc() {
    bytes file = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x83, 0x10};
    file.insert(file.end(), 128, 0xFF);
    const unsigned char rest[] = {
        0xFF, 0xC0, 0x00, 0x0B, 8, 0x00, 0x08, 0x00, 0x10, 1, 1, 0x11, 0,       // frame: 16 x 8, one component
        0xFF, 0xC4, 0x00, 0x26, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 15,  // DC: "0" is 15 bits
        0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,           // AC: "0" ends the block
        0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0,                          // one scan
        // Two blocks of "0", fifteen 1 bits, "0", then 1 bits to the byte.
        0x7F, 0xFF, 0x00, 0x3F, 0xFF, 0x00, 0xBF, 0xFF, 0xD9};
    file.insert(file.end(), rest, rest + sizeof rest);
    return file;
}
}  // namespace

// The decoder adds DC differences up in an int and multiplies by the
// quantisation value without a check: DC values beyond what any 8-bit photo
// holds are refused. One block of the largest difference is still read.
TEST(Intake, RefusesDcValuesThatWouldOverflowTheDecoder) {
    bytes file = overflowing_dc();
    EXPECT_EQ(refusal_of(file), refusal_dc_overflow);
    // The same file with a single block (8 × 8): +32767 times 65535 still fits.
    bytes one_block = file;
    one_block[7 + 128 + 8] = 0x08;
    const unsigned char data_one_block[] = {0x7F, 0xFF, 0x00, 0x7F, 0xFF, 0xD9};
    const unsigned char sos_end[] = {0, 63, 0};
    auto data = std::search(one_block.begin(), one_block.end(), sos_end, sos_end + 3) + 3;
    one_block.erase(data, one_block.end());
    one_block.insert(one_block.end(), data_one_block, data_one_block + sizeof data_one_block);
    EXPECT_FALSE(refused(one_block));
}

namespace {
// An 8 × 8 grey JPEG whose one block has a DC difference of 0 and then
// `runs` codes of 15 zeros and a 1, and then the end of the block if there is
// room for it. The AC table has just those two codes, both `code_length`
// bits long: 2 bits, which the walk reads together with the extra bit, or 12,
// which it looks up on their own.
bytes zero_runs(int code_length, int runs) {
    bytes file = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    file.insert(file.end(), 64, 1);
    const unsigned char frame_and_dc[] = {
        0xFF, 0xC0, 0x00, 0x0B, 8, 0x00, 0x08, 0x00, 0x08, 1, 1, 0x11, 0,           // frame: 8 x 8, one component
        0xFF, 0xC4, 0x00, 0x14, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};  // DC: "0" is 0
    file.insert(file.end(), frame_and_dc, frame_and_dc + sizeof frame_and_dc);
    unsigned char ac[] = {0xFF, 0xC4, 0x00, 0x15, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF1, 0x00};
    ac[5 + code_length - 1] = 2;  // 0...0 is 15 zeros and a 1-bit value, 0...01 ends the block
    file.insert(file.end(), ac, ac + sizeof ac);
    const unsigned char sos[] = {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0};
    file.insert(file.end(), sos, sos + sizeof sos);
    std::vector<int> bits = {0};
    for (int k = 0; k < runs; ++k) {
        bits.insert(bits.end(), (size_t)code_length, 0);
        bits.push_back(1);
    }
    if (1 + 16 * runs <= 63) {
        bits.insert(bits.end(), (size_t)code_length - 1, 0);
        bits.push_back(1);
    }
    put_entropy_coded(&file, bits);
    file.push_back(0xFF);
    file.push_back(0xD9);
    return file;
}
}  // namespace

// Three runs of 15 zeros and a coefficient reach coefficient 48; a fourth
// would pass the block's last one, and the file is refused, whether the
// codes are read with their extra bits or on their own.
TEST(Intake, RefusesACoefficientRunPastTheBlocksEnd) {
    for (int code_length : {2, 12}) {
        EXPECT_EQ(refusal_of(zero_runs(code_length, 3)), refusal_none) << code_length << "-bit codes";
        EXPECT_EQ(refusal_of(zero_runs(code_length, 4)), refusal_scan_data) << code_length << "-bit codes";
    }
}

// The walk counts a refinement scan's correction bits from its record of
// which coefficients are nonzero, so that record must be the decoder's.
// Scans that would make them differ, or make the decoder work on
// coefficients nobody set, are refused: a scan before the component's first
// DC scan, a first DC scan after AC scans (the decoder clears the block
// there), and a first AC value that comes to 0 in 16 bits (8 shifted by 13).
// The sound order, the same scans and values, is read.
TEST(Intake, RefusesProgressiveScansTheDecoderReadsOtherwise) {
    const progressive_scan dc_first = {0, 0, 0, 1, {0, 0}};       // difference 0
    const progressive_scan dc_refine = {0, 0, 1, 0, {1}};         // one correction bit
    const progressive_scan ac_first = {1, 63, 0, 1, {1, 0, 1, 0, 0}};  // +1 at coefficient 1, end of band
    const progressive_scan ac_refine = {1, 63, 1, 0, {0, 0, 1}};  // end of band, coefficient 1's correction bit
    const progressive_scan ac_lost = {1, 1, 0, 13, {0, 1, 1, 0, 0, 0}};  // 8 at coefficient 1, shifted by 13
    struct order {
        const char *name;
        std::vector<progressive_scan> scans;
        intake_refusal refusal;
    };
    const order orders[] = {
        {"sound", {dc_first, dc_refine, ac_first, ac_refine}, refusal_none},
        {"AC first before DC", {ac_first, dc_first, dc_refine, ac_refine}, refusal_progression},
        {"DC refinement before DC", {dc_refine, dc_first, ac_first, ac_refine}, refusal_progression},
        {"DC first after AC", {dc_first, ac_first, dc_first, ac_refine}, refusal_progression},
        {"a value lost in 16 bits", {dc_first, ac_lost, ac_refine}, refusal_progression},
    };
    for (const order &o : orders) EXPECT_EQ(refusal_of(progressive_grey(o.scans)), o.refusal) << o.name;
    // libjpeg-turbo reads the sound one, so the tables and bits are right.
    decoded_jpeg sound = decode_jpeg(progressive_grey(orders[0].scans));
    EXPECT_EQ(sound.width, 8);
    EXPECT_EQ(sound.warnings, 0);
}
