// The saved file's layout, read back by libjpeg-turbo, and the exclusive
// creation of the target.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "export/jpeg_export.h"
#include "tests/support/fixtures.h"

namespace {

// A raster with structure a misplaced row or block would show: a vertical
// gradient, a horizontal one and a little texture.
portrait_raster pattern_raster() {
    portrait_raster raster = {(unsigned char *)malloc(portrait_bytes)};
    for (int i = 0; i < portrait_height; ++i)
        for (int j = 0; j < portrait_width; ++j) {
            unsigned char *p = raster.pixels + (size_t)i * portrait_stride + (size_t)j * 3;
            p[0] = (unsigned char)(i * 255 / 1919);
            p[1] = (unsigned char)(j * 255 / 1079);
            p[2] = (unsigned char)(((i / 40) + (j / 40)) % 2 ? 200 : 40);
        }
    return raster;
}

bytes save(const portrait_raster *raster, const std::string &path) {
    FILE *stream = create_output_file(path.c_str());
    if (!stream) return bytes();
    if (export_jpeg(stream, raster, path.c_str()) != 1) return bytes();
    return read_file(path);
}

int be16(const bytes &b, size_t at) { return b[at] << 8 | b[at + 1]; }

const int zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                        41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                        30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
const int annex_k1[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                          14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                          18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                          49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
int annex_k2(int natural) {
    static const int top_left[4][4] = {{17, 18, 24, 47}, {18, 21, 26, 66}, {24, 26, 56, 99}, {47, 66, 99, 99}};
    int row = natural / 8, column = natural % 8;
    return row < 4 && column < 4 ? top_left[row][column] : 99;
}
int scaled(int entry) {
    int q = (entry * 16 + 50) / 100;
    return q < 1 ? 1 : q > 255 ? 255 : q;
}

}  // namespace

TEST(JpegExport, WritesTheBaselineLayoutAndNothingElse) {
    const std::string dir = make_temp_dir();
    portrait_raster raster = pattern_raster();
    bytes file = save(&raster, dir + "/out.jpg");
    ASSERT_GT(file.size(), 607u);

    const unsigned char soi_app0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    EXPECT_EQ(bytes(file.begin(), file.begin() + 20), bytes(soi_app0, soi_app0 + 20));

    ASSERT_EQ(be16(file, 20), 0xFFDB);
    EXPECT_EQ(be16(file, 22), 132);
    EXPECT_EQ(file[24], 0x00);
    EXPECT_EQ(file[24 + 65], 0x01);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(file[25 + k], scaled(annex_k1[zigzag[k]])) << "luminance entry " << k;
        EXPECT_EQ(file[25 + 65 + k], scaled(annex_k2(zigzag[k]))) << "chrominance entry " << k;
    }
    EXPECT_EQ(bytes(file.begin() + 25, file.begin() + 28), bytes({3, 2, 2}));
    EXPECT_EQ(file[25 + 65 + 63], 16);

    const unsigned char sof0[] = {0xFF, 0xC0, 0, 17, 8, 0x07, 0x80, 0x04, 0x38, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
    EXPECT_EQ(bytes(file.begin() + 154, file.begin() + 173), bytes(sof0, sof0 + 19));

    ASSERT_EQ(be16(file, 173), 0xFFC4);
    EXPECT_EQ(be16(file, 175), 418);
    struct {
        int at, id;
        std::vector<int> counts;
        std::vector<int> first_values;
    } tables[] = {
        {177, 0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {177 + 29, 0x10, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D}, {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12}},
        {177 + 29 + 179, 0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {177 + 29 + 179 + 29, 0x11, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}, {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21}},
    };
    for (const auto &t : tables) {
        SCOPED_TRACE(t.id);
        EXPECT_EQ(file[(size_t)t.at], t.id);
        for (int k = 0; k < 16; ++k) EXPECT_EQ(file[(size_t)t.at + 1 + k], t.counts[(size_t)k]);
        for (size_t k = 0; k < t.first_values.size(); ++k) EXPECT_EQ(file[(size_t)t.at + 17 + k], t.first_values[k]);
    }

    const unsigned char sos[] = {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    EXPECT_EQ(bytes(file.begin() + 593, file.begin() + 607), bytes(sos, sos + 14));

    // From 607 on only entropy-coded data: every 0xFF is a stuffed one; EOI last.
    EXPECT_EQ(be16(file, file.size() - 2), 0xFFD9);
    size_t unstuffed = 0;
    for (size_t at = 607; at + 2 < file.size(); ++at)
        if (file[at] == 0xFF && file[at + 1] != 0x00) ++unstuffed;
    EXPECT_EQ(unstuffed, 0u);

    decoded_jpeg decoded = decode_jpeg(file);
    ASSERT_EQ(decoded.width, 1080);
    ASSERT_EQ(decoded.height, 1920);
    long worst = 0, total = 0;
    for (size_t k = 0; k < decoded.rgb.size(); ++k) {
        long d = labs((long)decoded.rgb[k] - (long)raster.pixels[k]);
        worst = d > worst ? d : worst;
        total += d;
    }
    EXPECT_LT((double)total / (double)decoded.rgb.size(), 2.0);
    EXPECT_LT(worst, 48);
    // The first row of the raster is the top of the picture.
    EXPECT_LT(decoded.rgb[0], 8);
    EXPECT_GT(decoded.rgb[(size_t)1919 * 3240], 247);
    free(raster.pixels);
    remove_tree(dir);
}

// A symbolic link under the name, even one that points nowhere yet, is an
// existing name: nothing is created where it points.
TEST(CreateOutputFile, RefusesADanglingSymbolicLink) {
    const std::string dir = make_temp_dir();
    mkdir((dir + "/elsewhere").c_str(), 0755);
    ASSERT_EQ(symlink((dir + "/elsewhere/target.jpg").c_str(), (dir + "/dangling.jpg").c_str()), 0);
    FILE *stream = create_output_file((dir + "/dangling.jpg").c_str());
    EXPECT_EQ(stream, nullptr);
    if (stream) fclose(stream);
    EXPECT_NE(access((dir + "/elsewhere/target.jpg").c_str(), F_OK), 0) << "created where the link points";
    remove_tree(dir);
}

// A folder on a read-only file system refuses root too. The mount lives in a
// private mount namespace of a child process.
TEST(CreateOutputFile, RefusesAFolderOnAReadOnlyFileSystem) {
    const std::string dir = make_temp_dir();
    fflush(NULL);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            mount("tmpfs", dir.c_str(), "tmpfs", MS_RDONLY, NULL) != 0)
            _exit(77);
        FILE *stream = create_output_file((dir + "/out.jpg").c_str());
        _exit(stream == NULL && access((dir + "/out.jpg").c_str(), F_OK) != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for a read-only file system here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access((dir + "/out.jpg").c_str(), F_OK), 0);
    remove_tree(dir);
}
