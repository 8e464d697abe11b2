// A sequential JPEG wider or taller than the crop is decoded only around what
// the crop reads. Every pixel the crop reads, and so the whole raster, must be
// what stb_image gives for the whole file. Photos come from libjpeg-turbo
// (its library and cjpeg) and ImageMagick, in the layouts encoders write.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include <stb/stb_image.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/file_structure.h"
#include "pipeline/jpeg/huffman.h"
#include "pipeline/portrait_raster.h"
#include "tests/support/fixtures.h"
#include "tests/support/plain_crop_and_scale.h"
#include "tests/support/whole_way.h"

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

bytes by_library(int width, int height, int components, bool subsample, int restart_interval, int quality,
                 bool progressive = false) {
    jpeg_fixture f;
    f.width = width;
    f.height = height;
    f.components = components;
    f.subsample = subsample;
    f.restart_interval = restart_interval;
    f.quality = quality;
    f.progressive = progressive;
    bytes rgb = photo_rgb(width, height);
    for (size_t i = 0; i < (size_t)width * height; ++i)
        for (int c = 0; c < components; ++c) f.pixels.push_back(rgb[i * 3 + (size_t)c % 3]);
    return encode_jpeg(&f);
}

// cjpeg with a scan script: the script's lines, then the options.
std::string scripted(const std::string &script, const std::string &options) {
    return "d=$(dirname OUT); printf '" + script + "' > $d/s; cjpeg " + options + " -scans $d/s IN > OUT";
}

struct window_case {
    const char *name;
    bytes file;
    bool windowed;  // the crop leaves out whole MCUs
};

void check_cases(const std::vector<window_case> &cases) {
    for (const window_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.empty());
        EXPECT_EQ(read_as_whole(c.file), c.windowed);
    }
}

// A JPEG's marker segments, and each scan's entropy-coded data with the
// scan header before it: where each begins and ends.
struct segment {
    int marker;
    size_t begin, end;
};

std::vector<segment> segments_of(const bytes &file) {
    std::vector<segment> out;
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF) {
        int marker = file[at + 1];
        if (marker == 0xD9) {
            out.push_back({marker, at, at + 2});
            break;
        }
        size_t end = at + 2 + ((size_t)file[at + 2] << 8 | file[at + 3]);
        if (marker == 0xDA)
            while (end + 1 < file.size() && !(file[end] == 0xFF && file[end + 1] != 0 && (file[end + 1] & 0xF8) != 0xD0))
                ++end;
        out.push_back({marker, at, end});
        at = end;
    }
    return out;
}

std::vector<segment> scans_of(const bytes &file) {
    std::vector<segment> scans;
    for (const segment &s : segments_of(file))
        if (s.marker == 0xDA) scans.push_back(s);
    return scans;
}

bytes spliced(const bytes &file, size_t at, const bytes &piece) {
    bytes out(file.begin(), file.begin() + (ptrdiff_t)at);
    out.insert(out.end(), piece.begin(), piece.end());
    out.insert(out.end(), file.begin() + (ptrdiff_t)at, file.end());
    return out;
}

bytes piece_of(const bytes &file, const segment &s) {
    return bytes(file.begin() + (ptrdiff_t)s.begin, file.begin() + (ptrdiff_t)s.end);
}

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
    };
    check_cases(cases);
}

// A progressive JPEG is decoded the same way: its scans build the window's
// coefficients, which go to the decoder as a sequential JPEG.
TEST(JpegWindow, ProgressiveJpegsGiveTheWholeFileDecodesPixels) {
    const std::string deep =  // DC scans apart, DC and AC refined over several bits
        "0: 0 0 0 2;\\n1: 0 0 0 1;\\n2: 0 0 0 0;\\n0: 0 0 2 1;\\n0: 0 0 1 0;\\n1: 0 0 1 0;\\n0: 1 2 0 3;\\n"
        "0: 3 63 0 3;\\n0: 1 63 3 2;\\n0: 1 63 2 1;\\n0: 1 63 1 0;\\n1: 1 63 0 2;\\n1: 1 63 2 1;\\n1: 1 63 1 0;\\n"
        "2: 1 63 0 0;\\n";
    const std::string bands = "0,1,2: 0 0 0 0;\\n0: 1 1 0 0;\\n0: 2 2 0 0;\\n0: 3 9 0 0;\\n0: 10 63 0 0;\\n"
                              "2: 1 63 0 0;\\n1: 1 63 0 0;\\n";
    std::vector<window_case> cases = {
        {"cjpeg 4:2:0, wide, odd size", by_command("cjpeg -progressive -sample 2x2 IN > OUT", 701, 203), true},
        {"cjpeg 4:4:4, tall", by_command("cjpeg -progressive -sample 1x1 IN > OUT", 203, 701), true},
        {"cjpeg 4:2:2", by_command("cjpeg -progressive -sample 2x1 IN > OUT", 520, 130), true},
        {"cjpeg 4:4:0", by_command("cjpeg -progressive -sample 1x2 IN > OUT", 520, 130), true},
        {"cjpeg 4:1:1", by_command("cjpeg -progressive -sample 4x1 IN > OUT", 520, 130), true},
        {"cjpeg 4x2 luma", by_command("cjpeg -progressive -sample 4x2 IN > OUT", 530, 77), true},
        {"cjpeg grey", by_command("cjpeg -progressive -grayscale IN > OUT", 500, 100), true},
        {"cjpeg RGB", by_command("cjpeg -progressive -rgb IN > OUT", 300, 100), true},
        {"cjpeg restart every 3 blocks", by_command("cjpeg -progressive -restart 3B IN > OUT", 333, 90), true},
        {"cjpeg restart every row, tall", by_command("cjpeg -progressive -restart 1 -sample 2x2 IN > OUT", 100, 333),
         true},
        {"cjpeg quality 100", by_command("cjpeg -progressive -quality 100 -sample 1x1 IN > OUT", 480, 96), true},
        {"scan script: DC scans apart, deep refinement", by_command(scripted(deep, "-sample 2x2"), 611, 150), true},
        {"scan script: narrow bands, tall", by_command(scripted(bands, "-sample 1x1"), 150, 611), true},
        {"jpegtran of a baseline 4:2:0",
         by_command("cjpeg -sample 2x2 IN > OUT.b && jpegtran -progressive OUT.b > OUT", 640, 180), true},
        {"jpegtran of an ImageMagick CMYK",
         by_command("convert IN -colorspace CMYK -quality 90 OUT.b.jpg && jpegtran -progressive OUT.b.jpg > OUT", 360,
                    100),
         true},
        {"ImageMagick 4:2:0", by_command("convert IN -interlace JPEG -sampling-factor 2x2 -quality 85 OUT", 720, 160),
         true},
        {"ImageMagick CMYK", by_command("convert IN -colorspace CMYK -interlace JPEG OUT", 360, 100), true},
        {"library 4:4:4", by_library(700, 200, 3, false, 0, 90, true), true},
        {"library CMYK, restart every 2 MCUs", by_library(400, 90, 4, false, 2, 90, true), true},
        {"no window: crop reaches every MCU", by_library(200, 300, 3, true, 0, 90, true), false},
    };
    check_cases(cases);
}

// Scans that no encoder writes: the window must not read what the whole
// decode refuses, nor differ where a scan undoes or repeats another.
TEST(JpegWindow, ChangedProgressiveJpegsAreReadExactlyAsTheWholeFile) {
    const bytes base = by_command(
        scripted("0,1,2: 0 0 0 0;\\n0: 1 63 0 1;\\n0: 1 63 1 0;\\n1: 1 63 0 0;\\n2: 1 63 0 0;\\n", "-sample 1x1"),
        300, 100);
    const std::vector<segment> scans = scans_of(base);
    ASSERT_EQ(scans.size(), 5u);
    const size_t end_marker = segments_of(base).back().begin;

    bytes claims_ac = base;  // the DC scan's spectral end set to 1
    claims_ac[scans[0].begin + 4 + 1 + 2 * 3 + 1] = 1;
    struct changed {
        const char *name;
        bytes file;
    } cases[] = {
        {"a DC scan that claims AC coefficients", claims_ac},
        {"the DC scan again between an AC scan and its refinement", spliced(base, scans[2].begin, piece_of(base, scans[0]))},
        {"the DC scan again at the end", spliced(base, end_marker, piece_of(base, scans[0]))},
        {"a refinement scan twice", spliced(base, scans[3].begin, piece_of(base, scans[2]))},
        {"a first AC scan twice", spliced(base, scans[2].begin, piece_of(base, scans[1]))},
        {"the refinement before its first scan", spliced(base, scans[1].begin, piece_of(base, scans[2]))},
    };
    for (const changed &c : cases) {
        SCOPED_TRACE(c.name);
        read_as_whole(c.file);
    }
}

// The window's tables: each symbol that occurs has a code of at most 16
// bits, no code is all 1 bits (a decoder takes those for padding), and
// more frequent symbols have codes no longer than rarer ones.
TEST(JpegWindow, HuffmanTablesCodeEverySymbolThatOccurs) {
    struct table_case {
        const char *name;
        std::vector<uint64_t> occurrences;
        std::vector<int> expected_counts;  // per code length, from 1 bit; empty: not worked out by hand
    };
    std::vector<uint64_t> fibonacci(40);
    fibonacci[0] = fibonacci[1] = 1;
    for (size_t i = 2; i < fibonacci.size(); ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
    const table_case cases[] = {
        // With the reserved symbol (once): 1 + 1 → 2, + 2 → 4, + 4 → 8, + 8:
        // lengths 1, 2, 3, 4 and the reserved symbol's 4.
        {"8 4 2 1", {8, 4, 2, 1}, {1, 1, 1, 1}},
        {"a single symbol", {0, 0, 5}, {1}},
        {"every AC symbol once", std::vector<uint64_t>(256, 1), {}},
        {"Fibonacci counts, codes beyond 16 bits shortened", fibonacci, {}},
        {"one frequent symbol among rare ones", {1000000000, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {}},
    };
    for (const table_case &c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char counts[16], values[256];
        int n = optimal_huffman_table(c.occurrences.data(), (int)c.occurrences.size(), counts, values);
        int occurring = 0;
        for (uint64_t o : c.occurrences) occurring += o != 0;
        ASSERT_EQ(n, occurring);
        int coded = 0;
        uint64_t kraft = 0;  // in units of 2^-16
        for (int l = 1; l <= 16; ++l) {
            coded += counts[l - 1];
            kraft += (uint64_t)counts[l - 1] << (16 - l);
        }
        EXPECT_EQ(coded, n);
        EXPECT_LT(kraft, 1u << 16) << "a code of all 1 bits";
        if (!c.expected_counts.empty()) {
            for (int l = 1; l <= 16; ++l)
                EXPECT_EQ(counts[l - 1], l <= (int)c.expected_counts.size() ? c.expected_counts[l - 1] : 0) << l;
        }
        std::vector<int> length(c.occurrences.size(), 0);
        for (int l = 1, i = 0; l <= 16; ++l)
            for (int k = 0; k < counts[l - 1] && i < n; ++k) length[values[i++]] = l;
        // Where codes were shortened, equal lengths before may differ after,
        // in symbol order, as the procedure has it.
        const bool shortened = c.occurrences.size() == fibonacci.size();
        for (size_t a = 0; a < length.size() && !shortened; ++a)
            for (size_t b = 0; b < length.size(); ++b)
                if (c.occurrences[a] > c.occurrences[b] && c.occurrences[b]) {
                    EXPECT_LE(length[a], length[b]) << a << ", " << b;
                }
        huffman_table table;
        EXPECT_EQ(build_huffman_table(&table, counts, values, (uint32_t)n, 0), 1);
    }
}

// What the decoder is handed for a progressive JPEG is a sequential JPEG
// that an independent decoder reads without complaint and decodes, where
// the crop reads, exactly as it decodes the whole progressive file: the
// same coefficients. Baseline (SOF0) unless a quantisation table has
// 16-bit values.
TEST(JpegWindow, TheWindowIsASequentialJpegLibjpegReadsAsTheWholeFile) {
    const std::string tables = "d=$(dirname OUT); for t in 0 1; do for i in $(seq 64); do "
                               "if [ $i -le 6 ]; then echo 20; else echo 700; fi; done; done > $d/q; ";
    struct sof_case {
        const char *name;
        bytes file;
        int frame_marker;
    } cases[] = {
        {"cjpeg 4:2:0", by_command("cjpeg -progressive -sample 2x2 IN > OUT", 640, 200), 0xC0},
        {"cjpeg 4:4:4 with 16-bit tables", by_command(tables + "cjpeg -progressive -qtables $d/q IN > OUT", 640, 200),
         0xC1},
    };
    for (const sof_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.empty());
        FILE *stream = stream_of(c.file);
        jpeg_window window = {};
        intake_refusal refusal;
        ASSERT_EQ(file_structure_is_sound(stream, &window, NULL, &refusal), 1);
        fclose(stream);
        ASSERT_NE(window.data, nullptr);
        const bytes written(window.data, window.data + window.size);
        window_drop(&window);

        int frames = 0, scans = 0;
        for (const segment &s : segments_of(written)) {
            EXPECT_NE(s.marker, 0xC2);
            if (s.marker == c.frame_marker) ++frames;
            if (s.marker == 0xDA) {
                ++scans;
                EXPECT_EQ(written[s.begin + 4], 1) << "one component a scan";
            }
        }
        EXPECT_EQ(frames, 1);
        EXPECT_EQ(scans, 3);

        decoded_jpeg part = decode_jpeg(written);
        decoded_jpeg whole = decode_jpeg(c.file);
        EXPECT_EQ(part.warnings, 0);
        ASSERT_EQ(part.width, window.part.width);
        ASSERT_EQ(part.height, window.part.height);
        crop_span columns, rows;
        crop_reach(whole.width, whole.height, &columns, &rows);
        int differing = 0;
        for (int32_t y = rows.first; y <= rows.last; ++y)
            differing += memcmp(&part.rgb[((size_t)(y - window.part.top) * part.width + (columns.first - window.part.left)) * 3],
                                &whole.rgb[((size_t)y * whole.width + columns.first) * 3],
                                (size_t)(columns.last - columns.first + 1) * 3) != 0;
        EXPECT_EQ(differing, 0);
    }
}

// Bytes after a scan's last block, before the next marker: the decoder goes
// past them to the marker, but takes a stuffed 0xFF among them, or a fill
// byte before the marker, for a marker and refuses the file. The window must
// do as the whole file does.
TEST(JpegWindow, ExtraBytesAfterAScanAreReadAsTheWholeFile) {
    const bytes sources[] = {by_command("cjpeg IN > OUT", 320, 64),
                             by_command("cjpeg -progressive IN > OUT", 320, 64)};
    const bytes extras[] = {{0x12}, {0x12, 0x34, 0x56, 0x78}, {0xFF, 0x00}, {0x12, 0xFF, 0x00},
                            {0x12, 0x34, 0xFF, 0x00}, {0xFF}, {0xFF, 0xFF}, {0x12, 0x34, 0x56, 0xFF},
                            {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0x12, 0x34, 0x56, 0xFF}};
    for (const bytes &source : sources) {
        ASSERT_FALSE(source.empty());
        const segment last_scan = scans_of(source).back();
        for (const bytes &extra : extras) {
            SCOPED_TRACE(std::string(&source == &sources[0] ? "sequential, " : "progressive, ") +
                         std::to_string(extra.size()) + " extra bytes, the last " + std::to_string(extra.back()));
            read_as_whole(spliced(source, last_scan.end, extra));
        }
    }
}

// Bytes between a restart interval's last block and its marker: the decoder
// finds the marker past a few of them, and past more ends the scan and then
// refuses the file. The window must do as the whole file does.
TEST(JpegWindow, ExtraBytesBeforeARestartMarkerAreReadAsTheWholeFile) {
    const bytes sources[] = {by_command("cjpeg -restart 2B IN > OUT", 320, 64),
                             by_command("cjpeg -progressive -restart 2B IN > OUT", 320, 64)};
    for (const bytes &source : sources) {
        ASSERT_FALSE(source.empty());
        const segment first_scan = scans_of(source).front();
        size_t marker = first_scan.begin + 2;
        while (!(source[marker] == 0xFF && source[marker + 1] >= 0xD0 && source[marker + 1] <= 0xD7)) ++marker;
        for (size_t extra : {1, 3}) {
            SCOPED_TRACE(std::string(&source == &sources[0] ? "sequential, " : "progressive, ") +
                         std::to_string(extra) + " extra bytes");
            const bytes file = spliced(source, marker, bytes(extra, 0x5A));
            int width, height;
            unsigned char *whole = read_the_whole_way(file, &width, &height);
            EXPECT_EQ(whole != NULL, extra == 1) << "the fixture no longer shows what it is for";
            stbi_image_free(whole);
            read_as_whole(file);
        }
    }
}
