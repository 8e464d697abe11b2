// The open dialog's preview picture, on the corpus and on fixtures made by
// libpng: what shows a picture, what shows which reason instead, and that a
// piece never does all the work at once.
#include <gtest/gtest.h>
#include <png.h>

#include "app/preview_jpeg.h"
#include "app/preview_load.h"
#include "app/texts.h"
#include "tests/support/fixtures.h"

namespace fs = std::filesystem;

namespace {

struct outcome {
    const char *problem;  // null: a picture
    int pieces;
    preview_load load;
};

outcome run_preview(const fs::path &path) {
    outcome o = {};
    preview_start(&o.load, path.c_str());
    for (o.pieces = 1; preview_piece(&o.load); ++o.pieces) {}
    o.problem = o.load.problem;
    return o;
}

bytes cut(const bytes &file, size_t size) { return bytes(file.begin(), file.begin() + (long)size); }

// What a shell pipeline writes to OUT, given testorig.jpg as IN (and SCANS,
// a scan script for cjpeg).
bytes testorig_by(const std::string &pipeline) {
    const fs::path dir = make_temp_dir();
    std::string script = "0 1 2: 0 0 0 0;\n1: 1 63 0 0;\n2: 1 63 0 0;\n";
    for (int k = 1; k < 64; ++k) script += "0: " + std::to_string(k) + " " + std::to_string(k) + " 0 0;\n";
    write_file(dir / "scans", bytes(script.begin(), script.end()));
    const std::string command = "cd '" + dir.string() + "' && IN='" + corpus_path("libjpeg-turbo/testorig.jpg").string() +
                                "' SCANS=scans OUT=photo.jpg && " + pipeline;
    EXPECT_EQ(system(command.c_str()), 0) << pipeline;
    bytes file = read_file(dir / "photo.jpg");
    remove_tree(dir);
    return file;
}

// testorig.jpg as cjpeg writes it with the most scans it takes: the DC
// coefficients, then each AC coefficient of the first component in a scan
// of its own.
bytes many_scans() { return testorig_by("djpeg -pnm \"$IN\" | cjpeg -scans \"$SCANS\" > \"$OUT\""); }

// And as ImageMagick writes it in CMYK, which Adobe's files store inverted.
bytes cmyk() { return testorig_by("convert \"$IN\" -colorspace CMYK \"$OUT\""); }

png_fixture grey_png(int width, int height) {
    png_fixture f;
    f.width = width;
    f.height = height;
    f.color_type = PNG_COLOR_TYPE_GRAY;
    f.rows.assign((size_t)width * height, 90);
    return f;
}

}  // namespace

TEST(Preview, ShowsAPictureOrSaysWhyNot) {
    const fs::path dir = make_temp_dir();
    const bytes jpeg = read_file(corpus_path("libjpeg-turbo/testorig.jpg"));
    const bytes png = read_file(corpus_path("libjpeg-turbo/monkey16.png"));
    // An Exif block whose thumbnail, a JPEG of its own, ends in 0xFF 0xD9.
    jpeg_fixture with_thumbnail;
    with_thumbnail.width = 64;
    with_thumbnail.height = 48;
    for (int i = 0; i < 64 * 48 * 3; ++i) with_thumbnail.pixels.push_back((unsigned char)(i * 7));
    const unsigned char exif[] = {'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xD8, 0xFF, 0xD9};
    with_thumbnail.exif.assign(exif, exif + sizeof exif);
    const bytes thumbnailed = encode_jpeg(&with_thumbnail);
    png_fixture too_large = grey_png(6001, 6000);
    png_fixture too_wide = grey_png(32769, 8);
    png_fixture largest = grey_png(6000, 6000);
    struct {
        const char *name;
        bytes file;
        const char *problem;
        int picture_width, picture_height;
    } cases[] = {
        {"baseline JPEG", jpeg, NULL, 240, 158},
        {"JPEG cut in its scan", cut(jpeg, jpeg.size() / 2), text_preview_damaged, 0, 0},
        {"JPEG without its end marker", cut(jpeg, jpeg.size() - 2), text_preview_damaged, 0, 0},
        {"JPEG with a thumbnail", thumbnailed, NULL, 240, 180},
        {"progressive JPEG of 100 scans", many_scans(), NULL, 240, 158},
        {"CMYK JPEG", cmyk(), NULL, 240, 158},
        {"JPEG with a thumbnail, cut in its scan", cut(thumbnailed, thumbnailed.size() - 40), text_preview_damaged, 0, 0},
        {"arithmetic-coded JPEG", read_file(corpus_path("libjpeg-turbo/testimgari.jpg")), text_preview_unsupported, 0, 0},
        {"12-bit JPEG", read_file(corpus_path("libjpeg-turbo/monkey12.jpg")), text_preview_unsupported, 0, 0},
        {"BMP named .jpg", read_file(corpus_path("libjpeg-turbo/shira_bird8.bmp")), text_preview_not_photo, 0, 0},
        {"16-bit PNG, portrait", png, NULL, 158, 240},
        {"interlaced 1-bit PNG", read_file(corpus_path("pngsuite/basi0g01.png")), NULL, 240, 240},
        {"PNG with a wrong IDAT checksum", read_file(corpus_path("pngsuite/xcsn0g01.png")), NULL, 240, 240},
        {"PNG with a bad bit depth", read_file(corpus_path("pngsuite/xd0n2c08.png")), text_preview_damaged, 0, 0},
        {"PNG cut in its data", cut(png, png.size() / 2), text_preview_damaged, 0, 0},
        {"PNG cut before its end chunk", cut(png, png.size() - 12), text_preview_damaged, 0, 0},
        {"6000 x 6000 PNG", encode_png(&largest), NULL, 240, 240},
        {"6001 x 6000 PNG", encode_png(&too_large), text_preview_too_large, 0, 0},
        {"32769 x 8 PNG", encode_png(&too_wide), text_preview_too_wide, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir / "photo";
        write_file(path, c.file);
        outcome o = run_preview(path);
        EXPECT_TRUE(o.load.finished);
        if (c.problem) {
            EXPECT_STREQ(o.problem, c.problem);
            EXPECT_EQ(o.load.picture, nullptr);
        } else {
            EXPECT_EQ(o.problem, nullptr);
            ASSERT_NE(o.load.picture, nullptr);
            EXPECT_EQ(gdk_pixbuf_get_width(o.load.picture), c.picture_width);
            EXPECT_EQ(gdk_pixbuf_get_height(o.load.picture), c.picture_height);
        }
        preview_stop(&o.load);
    }
    remove_tree(dir);
}

// The picture is laid onto white, as the wallpaper is, and a 16-bit sample
// keeps its high byte; a 6000 x 6000 photo takes many pieces, not one.
// The same photo gives much the same picture whether stored in CMYK or in
// YCbCr with 100 scans.
TEST(Preview, CmykAndProgressiveJpegsShowTheSamePicture) {
    const fs::path dir = make_temp_dir();
    write_file(dir / "baseline.jpg", read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    write_file(dir / "cmyk.jpg", cmyk());
    write_file(dir / "scans.jpg", many_scans());
    outcome baseline = run_preview(dir / "baseline.jpg");
    ASSERT_NE(baseline.load.picture, nullptr);
    const guchar *expected = gdk_pixbuf_get_pixels(baseline.load.picture);
    const size_t size = (size_t)gdk_pixbuf_get_rowstride(baseline.load.picture) * 158;
    for (const char *name : {"cmyk.jpg", "scans.jpg"}) {
        SCOPED_TRACE(name);
        outcome o = run_preview(dir / name);
        ASSERT_NE(o.load.picture, nullptr);
        ASSERT_EQ(gdk_pixbuf_get_rowstride(o.load.picture), gdk_pixbuf_get_rowstride(baseline.load.picture));
        const guchar *got = gdk_pixbuf_get_pixels(o.load.picture);
        long difference = 0;
        for (size_t k = 0; k < size; ++k) difference += labs((long)got[k] - (long)expected[k]);
        EXPECT_LT(difference / (long)size, 8);
        preview_stop(&o.load);
    }
    preview_stop(&baseline.load);
    remove_tree(dir);
}

// libjpeg reads no more than intake would: a JPEG whose scans pass over its
// blocks more than a hundred times, or whose scan data ends before its
// blocks do, is damaged, and so is one whose frame is not the one the
// preview's own walk found and applied the size rule to (hidden from that
// walk behind 0xFF 0x00, which libjpeg passes over).
TEST(Preview, ReadsNoMoreThanIntakeWould) {
    const fs::path dir = make_temp_dir();
    const progressive_scan dc = {0, 0, 0, 0, {0, 0}}, ac = {1, 63, 0, 0, {0, 0}}, no_data = {0, 0, 0, 0, {}};
    std::vector<progressive_scan> few(50, ac), many(150, ac);
    few.insert(few.begin(), dc);
    many.insert(many.begin(), dc);
    // A 100 x 100 frame in an APP1 segment that the walk would take 0xFF 0x00
    // to run over, and the 20000 x 20000 frame before it that libjpeg reads.
    const unsigned char large[] = {0xFF, 0xC2, 0, 11, 8, 0x4E, 0x20, 0x4E, 0x20, 1, 1, 0x11, 0};
    const unsigned char small[] = {0xFF, 0xC2, 0, 11, 8, 0, 100, 0, 100, 1, 1, 0x11, 0};
    const unsigned char start[] = {0xFF, 0xD8, 0xFF, 0x00, 0, 2 + sizeof large + 4};
    const unsigned char app1[] = {0xFF, 0xE1, 0, 2 + sizeof small};
    bytes hidden(start, start + sizeof start);
    hidden.insert(hidden.end(), large, large + sizeof large);
    hidden.insert(hidden.end(), app1, app1 + sizeof app1);
    hidden.insert(hidden.end(), small, small + sizeof small);
    const bytes rest = progressive_grey({dc});
    hidden.insert(hidden.end(), rest.begin() + 2, rest.begin() + 2 + 69);  // the quantisation table
    hidden.insert(hidden.end(), rest.begin() + 2 + 69 + 13, rest.end());   // the Huffman tables and the scan
    struct {
        const char *name;
        bytes file;
        const char *problem;
    } cases[] = {
        {"51 scans", progressive_grey(few), NULL},
        {"151 scans", progressive_grey(many), text_preview_damaged},
        {"a scan without data", progressive_grey({no_data}), text_preview_damaged},
        {"a frame the walk does not see", hidden, text_preview_damaged},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "photo.jpg", c.file);
        outcome o = run_preview(dir / "photo.jpg");
        EXPECT_TRUE(o.load.finished);
        if (c.problem) EXPECT_STREQ(o.problem, c.problem);
        else EXPECT_NE(o.load.picture, nullptr);
        preview_stop(&o.load);
    }
    // The reader itself: the frame it is told of, or none.
    for (int told : {227, 228}) {
        FILE *file = fopen(corpus_path("libjpeg-turbo/testorig.jpg").c_str(), "rb");
        jpeg_reader *reader = jpeg_reader_open(file, told, 149, 240, 158);
        ASSERT_NE(reader, nullptr);
        jpeg_step step;
        const unsigned char *row;
        int32_t width, height, y;
        do step = jpeg_reader_step(reader, &row, &width, &height, &y);
        while (step == jpeg_step_more || step == jpeg_step_row);
        EXPECT_EQ(step, told == 227 ? jpeg_step_done : jpeg_step_damaged) << told;
        jpeg_reader_close(reader);
        fclose(file);
    }
    remove_tree(dir);
}

TEST(Preview, PictureIsTheStoredColoursOnWhite) {
    const fs::path dir = make_temp_dir();
    png_fixture f;
    f.width = 600;
    f.height = 400;
    f.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
    f.bit_depth = 16;
    // Left half: opaque 0x12FF, 0x80FF, 0xFE00; right half: fully transparent blue.
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const unsigned char left[8] = {0x12, 0xFF, 0x80, 0xFF, 0xFE, 0x00, 0xFF, 0xFF};
            const unsigned char right[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0, 0};
            const unsigned char *p = x < f.width / 2 ? left : right;
            f.rows.insert(f.rows.end(), p, p + 8);
        }
    write_file(dir / "photo.png", encode_png(&f));
    outcome o = run_preview(dir / "photo.png");
    ASSERT_NE(o.load.picture, nullptr);
    ASSERT_EQ(gdk_pixbuf_get_width(o.load.picture), 240);
    const guchar *row = gdk_pixbuf_get_pixels(o.load.picture) + 80 * gdk_pixbuf_get_rowstride(o.load.picture);
    const int channels = gdk_pixbuf_get_n_channels(o.load.picture);
    EXPECT_EQ(row[10 * channels], 0x12);
    EXPECT_EQ(row[10 * channels + 1], 0x80);
    EXPECT_EQ(row[10 * channels + 2], 0xFE);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(row[200 * channels + c], 255);
    preview_stop(&o.load);

    png_fixture large = grey_png(6000, 6000);
    write_file(dir / "large.png", encode_png(&large));
    o = run_preview(dir / "large.png");
    EXPECT_NE(o.load.picture, nullptr);
    EXPECT_GT(o.pieces, 2);
    preview_stop(&o.load);
    remove_tree(dir);
}
