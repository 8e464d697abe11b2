// A PNG wider or taller than the crop is decoded only where the crop reads:
// every pixel there, and so the whole raster, must be what stb_image gives
// for the whole file, and intake must read exactly the files it reads.
// Photos come from libpng and from the PNG suite; damaged ones are written
// here from their rows with zlib, called directly.
#include <gtest/gtest.h>
#include <malloc.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "pipeline/png/rows.h"
#include "pipeline/source_image.h"
#include "tests/support/fixtures.h"
#include "tests/support/whole_way.h"

namespace {

struct random_bytes {
    uint32_t state;
    unsigned char next() {
        state = state * 1103515245u + 12345u;
        return (unsigned char)(state >> 23);
    }
};

struct colour_case {
    int color_type, bit_depth;
    const char *name;
};

// Rows of random samples, with some pixels repeating the first one, so that
// a tRNS colour taken from it matches now and then, and some with only its
// high bytes, which must not match at 16 bits.
bytes sample_rows(const colour_case &c, int width, int height, uint32_t seed) {
    const int channels = c.color_type == PNG_COLOR_TYPE_RGB ? 3 : c.color_type == PNG_COLOR_TYPE_RGBA ? 4
                         : c.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    const size_t row_bytes = ((size_t)width * channels * c.bit_depth + 7) / 8;
    bytes rows(row_bytes * height);
    random_bytes r = {seed};
    for (unsigned char &b : rows) b = r.next();
    if (c.color_type == PNG_COLOR_TYPE_PALETTE) {
        // Indices within a palette of 2^depth entries (at most 256).
        return rows;
    }
    const size_t pixel = (size_t)channels * c.bit_depth / 8;
    if (pixel >= 1)
        for (size_t at = pixel * 5; at + pixel <= rows.size(); at += pixel * 7) {
            memcpy(&rows[at], &rows[0], pixel);
            if (c.bit_depth == 16 && (at / pixel) % 3 == 0) rows[at + 1] ^= 1;  // same high byte, other low byte
        }
    return rows;
}

png_fixture colour_fixture(const colour_case &c, int width, int height, int filter, bool transparency, uint32_t seed) {
    png_fixture f;
    f.width = width;
    f.height = height;
    f.color_type = c.color_type;
    f.bit_depth = c.bit_depth;
    f.filter = filter;
    f.rows = sample_rows(c, width, height, seed);
    if (c.color_type == PNG_COLOR_TYPE_PALETTE) {
        random_bytes r = {seed ^ 0x5555};
        for (int i = 0; i < 3 << c.bit_depth; ++i) f.palette.push_back(r.next());
        if (transparency)
            for (int i = 0; i < (1 << c.bit_depth) / 2 + 1; ++i) f.transparency.push_back(r.next());
    } else if (transparency) {
        // The first pixel's colour, at full depth (grey below 8 bits as stored).
        const int samples = c.color_type == PNG_COLOR_TYPE_RGB ? 3 : 1;
        for (int k = 0; k < samples; ++k) {
            uint16_t v;
            if (c.bit_depth == 16) v = (uint16_t)(f.rows[2 * k] << 8 | f.rows[2 * k + 1]);
            else if (c.bit_depth == 8) v = f.rows[k];
            else v = (uint16_t)(f.rows[0] >> (8 - c.bit_depth));
            f.transparency.push_back((unsigned char)(v >> 8));
            f.transparency.push_back((unsigned char)v);
        }
    }
    return f;
}

// A PNG written here: IHDR, the given zlib stream in one IDAT, IEND, with
// right CRCs unless told otherwise.
void put_chunk(bytes *out, const char *type, const bytes &body, bool right_crc = true) {
    const uint32_t n = (uint32_t)body.size();
    const unsigned char length[4] = {(unsigned char)(n >> 24), (unsigned char)(n >> 16), (unsigned char)(n >> 8),
                                     (unsigned char)n};
    out->insert(out->end(), length, length + 4);
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), body.begin(), body.end());
    uint32_t crc = (uint32_t)crc32(0, out->data() + start, (uInt)(out->size() - start));
    if (!right_crc) crc ^= 1;
    const unsigned char c[4] = {(unsigned char)(crc >> 24), (unsigned char)(crc >> 16), (unsigned char)(crc >> 8),
                                (unsigned char)crc};
    out->insert(out->end(), c, c + 4);
}

bytes rgb_png(int width, int height, const bytes &stream, bool right_crc = true) {
    bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    const bytes header = {0, 0, (unsigned char)(width >> 8), (unsigned char)width, 0, 0, (unsigned char)(height >> 8),
                          (unsigned char)height, 8, 2, 0, 0, 0};
    put_chunk(&out, "IHDR", header);
    put_chunk(&out, "IDAT", stream, right_crc);
    put_chunk(&out, "IEND", bytes());
    return out;
}

// An RGB PNG whose stream is cut into IDAT chunks of the given sizes, in
// turn, the last one taking what is left.
bytes rgb_png_in_chunks(int width, int height, const bytes &stream, const std::vector<size_t> &sizes) {
    bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    const bytes header = {0, 0, (unsigned char)(width >> 8), (unsigned char)width, 0, 0, (unsigned char)(height >> 8),
                          (unsigned char)height, 8, 2, 0, 0, 0};
    put_chunk(&out, "IHDR", header);
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n = std::min(sizes[i % sizes.size()], stream.size() - at);
        put_chunk(&out, "IDAT", bytes(stream.begin() + (ptrdiff_t)at, stream.begin() + (ptrdiff_t)(at + n)));
        at += n;
    }
    put_chunk(&out, "IEND", bytes());
    return out;
}

bytes deflated(const bytes &raw, int level = 6) {
    uLongf size = compressBound((uLong)raw.size());
    bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), (uLong)raw.size(), level), Z_OK);
    out.resize(size);
    return out;
}

// A zlib stream flushed every `every` bytes: block headers everywhere.
bytes deflated_flushed(const bytes &raw, size_t every) {
    z_stream s = {};
    EXPECT_EQ(deflateInit(&s, 6), Z_OK);
    bytes out(deflateBound(&s, (uLong)raw.size()) + raw.size() / every * 16 + 64);
    s.next_out = out.data();
    s.avail_out = (uInt)out.size();
    for (size_t at = 0; at < raw.size();) {
        const size_t n = std::min(every, raw.size() - at);
        s.next_in = (Bytef *)raw.data() + at;
        s.avail_in = (uInt)n;
        at += n;
        EXPECT_NE(deflate(&s, at == raw.size() ? Z_FINISH : Z_FULL_FLUSH), Z_STREAM_ERROR);
    }
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// Filtered rows of an RGB picture: each row its filter type byte, then
// random samples.
bytes raw_rows(int width, int height, int filter) {
    bytes raw;
    random_bytes r = {7};
    for (int y = 0; y < height; ++y) {
        raw.push_back((unsigned char)filter);
        for (int x = 0; x < width * 3; ++x) raw.push_back(r.next());
    }
    return raw;
}

}  // namespace

TEST(PngWindow, EveryColourTypeDepthFilterAndTransparency) {
    const colour_case colours[] = {
        {PNG_COLOR_TYPE_GRAY, 1, "grey 1"},        {PNG_COLOR_TYPE_GRAY, 2, "grey 2"},
        {PNG_COLOR_TYPE_GRAY, 4, "grey 4"},        {PNG_COLOR_TYPE_GRAY, 8, "grey 8"},
        {PNG_COLOR_TYPE_GRAY, 16, "grey 16"},      {PNG_COLOR_TYPE_RGB, 8, "RGB 8"},
        {PNG_COLOR_TYPE_RGB, 16, "RGB 16"},        {PNG_COLOR_TYPE_PALETTE, 1, "palette 1"},
        {PNG_COLOR_TYPE_PALETTE, 2, "palette 2"},  {PNG_COLOR_TYPE_PALETTE, 4, "palette 4"},
        {PNG_COLOR_TYPE_PALETTE, 8, "palette 8"},  {PNG_COLOR_TYPE_GRAY_ALPHA, 8, "grey and alpha 8"},
        {PNG_COLOR_TYPE_GRAY_ALPHA, 16, "grey and alpha 16"}, {PNG_COLOR_TYPE_RGBA, 8, "RGBA 8"},
        {PNG_COLOR_TYPE_RGBA, 16, "RGBA 16"},
    };
    uint32_t seed = 1;
    for (const colour_case &c : colours)
        for (int filter = 0; filter <= 4; ++filter)
            for (bool transparency : {false, true}) {
                if (transparency && (c.color_type & PNG_COLOR_MASK_ALPHA)) continue;
                for (bool wide : {true, false}) {
                    const int width = wide ? 61 : 13, height = wide ? 13 : 61;
                    SCOPED_TRACE(std::string(c.name) + ", filter " + std::to_string(filter) +
                                 (transparency ? ", tRNS" : "") + (wide ? ", wide" : ", tall"));
                    png_fixture f = colour_fixture(c, width, height, filter, transparency, seed++);
                    const bytes file = encode_png(&f);
                    ASSERT_FALSE(file.empty());
                    EXPECT_TRUE(read_as_whole(file, false)) << "not read through the window";
                }
            }
}

// Real third-party PNGs in every layout, interlaced ones too (those may be
// read whole).
TEST(PngWindow, ThePngSuiteAndTheCorpusReadAsTheWholeFile) {
    int files = 0;
    for (const char *folder : {"pngsuite", "libjpeg-turbo"})
        for (const auto &entry : std::filesystem::directory_iterator(std::string(KADROVA_CORPUS_DIR) + "/" + folder)) {
            if (entry.path().extension() != ".png") continue;
            SCOPED_TRACE(entry.path().filename().string());
            read_as_whole(read_file(entry.path()), false);
            ++files;
        }
    EXPECT_GT(files, 100);
}

// Data no encoder writes: what is read and what is refused stays as the
// decoder has it, except a stream that goes on far past the frame, which is
// refused without being inflated to its end.
TEST(PngWindow, DamagedDataIsReadOrRefusedAsTheWholeFile) {
    const int width = 48, height = 12;
    const bytes rows = raw_rows(width, height, 1);
    const bytes stream = deflated(rows);
    bytes wrong_adler = stream;
    wrong_adler.back() ^= 0x55;
    const bytes no_adler(stream.begin(), stream.end() - 4);
    const bytes one_byte_after(stream.begin(), stream.end() - 3);
    bytes bad_filter_rows = rows;
    bad_filter_rows[(size_t)(1 + width * 3) * 7] = 5;
    bytes a_little_more = rows;
    a_little_more.insert(a_little_more.end(), 100, 0);
    bytes far_more = rows;
    far_more.insert(far_more.end(), rows.size() * 3, 0);
    const bytes too_few(rows.begin(), rows.end() - (ptrdiff_t)(1 + width * 3));
    const bytes cut_stream(stream.begin(), stream.begin() + (ptrdiff_t)stream.size() / 2);
    bytes bad_header = stream;
    bad_header[1] ^= 1;  // the check bits no longer make the header a multiple of 31
    bytes preset_dictionary = stream;
    preset_dictionary[1] = (unsigned char)((stream[1] & 0xC0) | 0x20);  // the level, the flag, check bits 0
    preset_dictionary[1] = (unsigned char)(preset_dictionary[1] | (31 - (stream[0] * 256 + preset_dictionary[1]) % 31) % 31);
    bytes reserved_block = stream;
    reserved_block[2] |= 0x06;  // the first block's type: 3, which deflate reserves
    struct changed {
        const char *name;
        bytes file;
        bool read;
    } cases[] = {
        {"sound", rgb_png(width, height, stream), true},
        {"a wrong CRC", rgb_png(width, height, stream, false), true},
        {"a wrong Adler-32", rgb_png(width, height, wrong_adler), true},
        {"no Adler-32, nothing after the stream", rgb_png(width, height, no_adler), true},
        {"one byte after the stream", rgb_png(width, height, one_byte_after), true},
        {"a little more data than the frame", rgb_png(width, height, deflated(a_little_more)), true},
        {"a row with filter type 5", rgb_png(width, height, deflated(bad_filter_rows)), false},
        {"a row too few", rgb_png(width, height, deflated(too_few)), false},
        {"a stream cut in half", rgb_png(width, height, cut_stream), false},
        {"a block of the reserved type", rgb_png(width, height, reserved_block), false},
        {"a zlib header whose check bits are wrong", rgb_png(width, height, bad_header), false},
        {"a zlib header asking for a preset dictionary", rgb_png(width, height, preset_dictionary), false},
    };
    for (const changed &c : cases) {
        SCOPED_TRACE(c.name);
        int w, h;
        unsigned char *whole = read_the_whole_way(c.file, &w, &h);
        EXPECT_EQ(whole != NULL, c.read) << "the fixture no longer shows what it is for";
        free(whole);
        read_as_whole(c.file);
    }
    const bytes bomb = rgb_png(width, height, deflated(far_more));
    int w, h;
    unsigned char *whole = read_the_whole_way(bomb, &w, &h);
    EXPECT_NE(whole, nullptr) << "the decoder reads it, inflating it all";
    free(whole);
    EXPECT_EQ(refusal_of(bomb), refusal_png_excess);
}

// Image data of hundreds of kilobytes, stored, fast and best compressed
// and flushed often, in IDAT chunks of sizes from 1 byte to more than the window's input
// buffer holds.
TEST(PngWindow, LargeDataInChunksOfEverySizeReadsAsTheWholeFile) {
    const int width = 1500, height = 48;
    bytes smooth = raw_rows(width, height, 2);
    for (size_t i = 0; i < smooth.size(); ++i)
        if (i % (1 + (size_t)width * 3)) smooth[i] = (unsigned char)(smooth[i] % 4 + i / 300 % 50);
    const std::vector<std::vector<size_t>> chunkings = {{1 << 20}, {1, 2, 7, 1000}, {65535, 3, 70001}, {8192}};
    const bytes noise = raw_rows(width, height, 1);
    for (bool is_smooth : {true, false})
        for (int level : {0, 1, 9})
            for (const auto &sizes : chunkings) {
                SCOPED_TRACE(std::string(is_smooth ? "smooth" : "noise") + ", level " + std::to_string(level) +
                             ", chunks of " + std::to_string(sizes[0]) + "...");
                const bytes &rows = is_smooth ? smooth : noise;
                EXPECT_TRUE(read_as_whole(rgb_png_in_chunks(width, height, deflated(rows, level), sizes), false));
                // Level 6, a block every 100 bytes: many a header where the
                // inflater's input buffer ends.
                if (level == 9) {
                    EXPECT_TRUE(read_as_whole(rgb_png_in_chunks(width, height, deflated_flushed(rows, 100), sizes), false));
                }
            }
}

namespace {

// Palette indices packed at `depth` bits, rows starting on a byte.
bytes packed_indices(const std::vector<int> &indices, int width, int depth) {
    const size_t row_bytes = ((size_t)width * depth + 7) / 8;
    bytes rows(indices.size() / width * row_bytes, 0);
    for (size_t i = 0; i < indices.size(); ++i) {
        const size_t bit = (i % width) * depth;
        rows[i / width * row_bytes + bit / 8] |= (unsigned char)(indices[i] << (8 - depth - bit % 8));
    }
    return rows;
}

// Runs `read` in a child process of its own: whether it gave `wanted`, and
// its peak memory grew by less than 16 MiB while it ran.
bool refused_in_little_memory(const bytes &file, intake_refusal wanted) {
    fflush(NULL);
    const pid_t child = fork();
    if (child == 0) {
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        const intake_refusal refusal = refusal_of(file);
        getrusage(RUSAGE_SELF, &after);
        _exit(refusal == wanted && after.ru_maxrss - before.ru_maxrss < 16 * 1024 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// An index past the palette would make the decoder read the entry from
// memory it never set. Such a PNG is refused wherever the index stands, on
// every path: the crop's window, a frame the crop takes whole, an
// interlaced PNG. A palette shorter than its depth allows is read when every
// index fits, with exactly the palette's colours.
TEST(PngWindow, AnIndexPastThePaletteIsRefusedOnEveryPath) {
    struct shape {
        const char *name;
        int width, height;
        bool interlaced;
    };
    const shape shapes[] = {{"window", 64, 16, false},
                            {"whole frame", 36, 64, false},
                            {"interlaced", 64, 64, true},
                            {"interlaced whole frame", 9, 16, true}};
    const std::vector<unsigned char> palette = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    for (const shape &s : shapes)
        for (int depth : {8, 2}) {
            SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(depth) + "-bit");
            std::vector<int> indices((size_t)s.width * s.height);
            for (size_t i = 0; i < indices.size(); ++i) indices[i] = (int)(i * 7 / 5 % 3);
            png_fixture f;
            f.width = s.width;
            f.height = s.height;
            f.color_type = PNG_COLOR_TYPE_PALETTE;
            f.bit_depth = depth;
            f.interlaced = s.interlaced;
            f.palette = palette;
            f.rows = packed_indices(indices, s.width, depth);
            const bytes sound = encode_png(&f);
            ASSERT_FALSE(sound.empty());
            FILE *stream = stream_of(sound);
            source_image image = {};
            ASSERT_EQ(load_source_image(stream, &image), 1);
            fclose(stream);
            for (int y = image.held.top; y < image.held.top + image.held.height; ++y)
                for (int x = image.held.left; x < image.held.left + image.held.width; ++x) {
                    const unsigned char *got = source_pixel(&image, x, y);
                    const unsigned char *entry = &palette[3 * indices[(size_t)y * s.width + x]];
                    ASSERT_TRUE(got[0] == entry[0] && got[1] == entry[1] && got[2] == entry[2] && got[3] == 255)
                        << x << ", " << y;
                }
            release_source_image(&image);
            // One index past the palette: where the crop reads, and in the
            // last pixel, which it never reads.
            for (size_t at : {indices.size() / 2 + (size_t)s.width / 2, indices.size() - 1}) {
                std::vector<int> beyond = indices;
                beyond[at] = 3;
                f.rows = packed_indices(beyond, s.width, depth);
                const bytes file = encode_png(&f);
                EXPECT_EQ(refusal_of(file), refusal_png_palette) << "index at " << at;
                // A second tRNS chunk, which the decoder takes and the walk
                // leaves to it before it has seen the indices: refused too.
                bytes twice = file;
                const size_t data = std::search(twice.begin(), twice.end(), "IDAT", "IDAT" + 4) - twice.begin() - 4;
                bytes transparency = {137, 80, 78, 71, 13, 10, 26, 10};
                put_chunk(&transparency, "tRNS", bytes(1, 0));
                put_chunk(&transparency, "tRNS", bytes(1, 0));
                twice.insert(twice.begin() + (ptrdiff_t)data, transparency.begin() + 8, transparency.end());
                EXPECT_EQ(refusal_of(twice), refusal_png_palette) << "index at " << at << ", tRNS twice";
            }
        }
}

// Image data that inflates far past its frame, 64 MiB of zeros in a file of
// a few kilobytes, is refused in little memory on every path: the crop's
// window, a frame the crop takes whole, an interlaced PNG, a palette PNG,
// and chunk layouts the window leaves to the decoder. The same files with
// twice the data their frame needs are read.
TEST(PngWindow, DataInflatingFarPastItsFrameIsRefusedInLittleMemory) {
    struct layout {
        const char *name;
        int width, height, color, interlace;
        bool palette_before, palette_after;  // PLTE chunks around the IDAT chunk
    };
    const layout layouts[] = {
        {"window", 256, 64, 2, 0, false, false},
        {"whole frame", 144, 256, 2, 0, false, false},
        {"interlaced", 256, 256, 2, 1, false, false},
        {"palette, whole frame", 144, 256, 3, 0, true, false},
        {"a second palette", 256, 64, 2, 0, true, true},
        {"a palette after the data", 256, 64, 2, 1, false, true},
    };
    // All-zero rows are sound in every layout: filter type 0, sample 0.
    const bytes bomb = deflated(bytes((size_t)64 << 20, 0), 9);
    for (const layout &l : layouts) {
        SCOPED_TRACE(l.name);
        // As much again as the frame needs is still read, as the decoder reads it.
        const size_t twice_the_frame = (size_t)(1 + l.width * (l.color == 2 ? 3 : 1)) * l.height * 2;
        for (bool far_past : {false, true}) {
            const bytes data = far_past ? bomb : deflated(bytes(twice_the_frame, 0), 9);
            bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
            const bytes header = {0, 0, (unsigned char)(l.width >> 8), (unsigned char)l.width,
                                  0, 0, (unsigned char)(l.height >> 8), (unsigned char)l.height,
                                  8, (unsigned char)l.color, 0, 0, (unsigned char)l.interlace};
            const bytes palette(3 * 256, 128);
            put_chunk(&file, "IHDR", header);
            if (l.palette_before) put_chunk(&file, "PLTE", palette);
            put_chunk(&file, "IDAT", data);
            if (l.palette_after) put_chunk(&file, "PLTE", palette);
            put_chunk(&file, "IEND", bytes());
            if (!far_past) {
                EXPECT_EQ(refusal_of(file), refusal_none);
            } else {
                EXPECT_LT(file.size(), 100000u);
                EXPECT_TRUE(refused_in_little_memory(file, refusal_png_excess));
            }
        }
    }
}

namespace {

// A DEFLATE stream written bit by bit with the fixed codes.
struct deflate_bits {
    bytes out;
    uint32_t bits = 0;
    int count = 0;
    void put(uint32_t value, int n) {  // lowest bit first
        for (int i = 0; i < n; ++i) {
            bits |= (value >> i & 1) << count;
            if (++count == 8) {
                out.push_back((unsigned char)bits);
                bits = 0;
                count = 0;
            }
        }
    }
    void code(uint32_t value, int n) {  // a Huffman code, highest bit first
        for (int i = n - 1; i >= 0; --i) put(value >> i & 1, 1);
    }
    void fixed(int symbol) {
        if (symbol < 144) code(0x30 + (uint32_t)symbol, 8);
        else if (symbol < 256) code(0x190 + (uint32_t)symbol - 144, 9);
        else if (symbol < 280) code((uint32_t)symbol - 256, 7);
        else code(0xC0 + (uint32_t)symbol - 280, 8);
    }
    bytes zlib() {
        if (count) out.push_back((unsigned char)bits);
        // The zlib header, the data, an Adler-32 value the decoder does not check.
        bytes stream(2 + out.size() + 4, 0);
        stream[0] = 0x78;
        stream[1] = 0x01;
        std::copy(out.begin(), out.end(), stream.begin() + 2);
        stream.back() = 1;
        return stream;
    }
};

bytes png_of(int width, int height, int color, int interlace, const std::vector<std::pair<const char *, bytes>> &chunks) {
    bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
    put_chunk(&file, "IHDR", {0, 0, (unsigned char)(width >> 8), (unsigned char)width, 0, 0, (unsigned char)(height >> 8),
                              (unsigned char)height, 8, (unsigned char)color, 0, 0, (unsigned char)interlace});
    for (const auto &c : chunks) put_chunk(&file, c.first, c.second);
    put_chunk(&file, "IEND", bytes());
    return file;
}

}  // namespace

// Streams the window leaves to the decoder, and what it makes of them. A
// match at distance code 30 or 31, which the decoder takes for a distance of
// 0, copies bytes it has not written yet: they are zero, whatever the heap
// held (painted here by malloc in a child process of its own), in a block
// as the decoder first makes it and in what it grows by. An empty
// first IDAT chunk, which the decoder copies into a block it has not made,
// is refused. Empty stored blocks beyond what the frame needs are read.
TEST(PngWindow, StreamsLeftToTheDecoderGiveNothingTheHeapHeld) {
    // 86 × 100 RGB: rows of 259 bytes, or interlaced, passes of rows that
    // come to more than the decoder's first guess, so that it grows its block.
    size_t interlaced_bytes = 0;
    for (int p = 0; p < 7; ++p) {
        const int left[7] = {0, 4, 0, 2, 0, 1, 0}, top[7] = {0, 0, 4, 0, 2, 0, 1};
        const int step_x[7] = {8, 8, 4, 4, 2, 2, 1}, step_y[7] = {8, 8, 8, 4, 4, 2, 2};
        const int w = (86 - left[p] + step_x[p] - 1) / step_x[p], h = (100 - top[p] + step_y[p] - 1) / step_y[p];
        if (w && h) interlaced_bytes += (size_t)(1 + 3 * w) * h;
    }
    ASSERT_GT(interlaced_bytes, 259u * 100);
    for (int interlace : {0, 1})
    for (int distance_code : {30, 31}) {
        SCOPED_TRACE(std::to_string(distance_code) + (interlace ? ", interlaced" : ""));
        deflate_bits d;
        d.put(1, 1);  // the final block, fixed codes
        d.put(1, 2);
        const size_t total = interlace ? interlaced_bytes : 259 * 100;
        for (size_t k = 0; k < total % 258; ++k) d.fixed(0);
        for (size_t k = 0; k < total / 258; ++k) {
            d.fixed(285);  // 258 bytes from 0 bytes back, up to the last one
            d.code((uint32_t)distance_code, 5);
        }
        d.fixed(256);
        const bytes file = png_of(86, 100, 2, interlace, {{"IDAT", d.zlib()}});
        fflush(NULL);
        const pid_t child = fork();
        if (child == 0) {
            mallopt(M_PERTURB, 0x5A);
            mallopt(M_TRIM_THRESHOLD, 64 << 20);
            free(malloc(120000));  // the heap's top, where the decoder's blocks grow, painted too and kept
            FILE *stream = stream_of(file);
            source_image image = {};
            int black = load_source_image(stream, &image);
            for (int y = 0; black && y < image.held.height; ++y)
                for (int x = 0; black && x < image.held.width; ++x) {
                    const unsigned char *p = source_pixel(&image, image.held.left + x, image.held.top + y);
                    black = p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255;
                }
            _exit(black ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    png_fixture f;
    f.width = 20;
    f.height = 30;
    f.interlaced = true;
    f.rows.assign(20 * 30 * 3, 90);
    bytes file = encode_png(&f);
    const size_t data = (size_t)(std::search(file.begin(), file.end(), "IDAT", "IDAT" + 4) - file.begin()) - 4;
    const bytes empty = {0, 0, 0, 0, 'I', 'D', 'A', 'T', 0x35, 0xAF, 0x06, 0x1E};
    file.insert(file.begin() + (ptrdiff_t)data, empty.begin(), empty.end());
    EXPECT_EQ(refusal_of(file), refusal_png_chunk);

    // One pixel after 40,000 empty stored blocks, 200 KB of them.
    const unsigned char header[2] = {0x78, 0x01}, empty_block[5] = {0x00, 0x00, 0x00, 0xFF, 0xFF};
    const unsigned char last_block[13] = {0x01, 4, 0, 0xFB, 0xFF, 0, 10, 20, 30, 0, 0, 0, 1};
    bytes stored(header, header + 2);
    for (int k = 0; k < 40000; ++k) stored.insert(stored.end(), empty_block, empty_block + 5);
    stored.insert(stored.end(), last_block, last_block + 13);
    EXPECT_EQ(refusal_of(png_of(1, 1, 2, 0, {{"IDAT", stored}})), refusal_none);
}

// The Paeth filter a pixel at a time gives exactly what the plain filter
// gives a byte at a time, on the rows of real PNGs: ImageMagick's and
// libpng's, 8 and 16 bits, 3, 4, 6 and 8 bytes a pixel.
TEST(PngWindow, PaethAPixelAtATimeIsThePlainFilter) {
    struct source {
        const char *name;
        bytes file;
    };
    std::vector<source> sources;
    const colour_case colours[] = {{PNG_COLOR_TYPE_RGB, 8, "RGB 8"},
                                   {PNG_COLOR_TYPE_RGBA, 8, "RGBA 8"},
                                   {PNG_COLOR_TYPE_RGB, 16, "RGB 16"},
                                   {PNG_COLOR_TYPE_RGBA, 16, "RGBA 16"}};
    for (const colour_case &c : colours) {
        png_fixture f = colour_fixture(c, 97, 23, 4, false, 99);
        sources.push_back({c.name, encode_png(&f)});
    }
    const std::filesystem::path dir = make_temp_dir();
    for (const char *depth : {"8", "16"}) {
        const std::string out = (dir / (std::string("magick-") + depth + ".png")).string();
        // Smooth, as photos are: ImageMagick's libpng picks Paeth for most rows.
        const std::string command = std::string("convert -size 211x37 -seed 3 plasma:fractal -blur 0x1 -depth ") +
                                    depth + " -define png:compression-level=6 " + out;
        ASSERT_EQ(system(command.c_str()), 0);
        sources.push_back({depth, read_file(out)});
    }
    remove_tree(dir);
    for (const char *name : {"f04n2c08.png", "basn6a16.png", "basn2c16.png", "f99n0g04.png"})
        sources.push_back({name, read_file(corpus_path(std::string("pngsuite/") + name))});

    for (const source &s : sources) {
        SCOPED_TRACE(s.name);
        // The header and the inflated rows, read here with zlib.
        png_format f = {};
        bytes compressed;
        for (size_t at = 8; at + 12 <= s.file.size();) {
            const uint32_t length = (uint32_t)s.file[at] << 24 | (uint32_t)s.file[at + 1] << 16 |
                                    (uint32_t)s.file[at + 2] << 8 | s.file[at + 3];
            const unsigned char *body = s.file.data() + at + 8;
            if (memcmp(s.file.data() + at + 4, "IHDR", 4) == 0) {
                f.width = (uint32_t)body[2] << 8 | body[3];
                f.height = (uint32_t)body[6] << 8 | body[7];
                f.depth = body[8];
                f.color = body[9];
                f.channels = f.color == 2 ? 3 : f.color == 6 ? 4 : f.color == 4 ? 2 : 1;
            }
            if (memcmp(s.file.data() + at + 4, "IDAT", 4) == 0) compressed.insert(compressed.end(), body, body + length);
            at += 12 + length;
        }
        f.row_bytes = ((size_t)f.width * f.channels * f.depth + 7) / 8;
        f.pixel_bytes = f.channels * f.depth / 8 > 0 ? f.channels * f.depth / 8 : 1;
        uLongf size = (uLongf)((1 + f.row_bytes) * f.height);
        bytes raw(size);
        ASSERT_EQ(uncompress(raw.data(), &size, compressed.data(), (uLong)compressed.size()), Z_OK);
        bytes prior;
        int paeth_rows = 0;
        for (uint32_t y = 0; y < f.height; ++y) {
            const unsigned char *filtered = raw.data() + (size_t)y * (1 + f.row_bytes);
            bytes fast(filtered + 1, filtered + 1 + f.row_bytes), plain = fast;
            png_unfilter(&f, filtered[0], fast.data(), y ? prior.data() : NULL, f.row_bytes);
            png_unfilter_plain(&f, filtered[0], plain.data(), y ? prior.data() : NULL, f.row_bytes);
            ASSERT_EQ(fast, plain) << "row " << y << ", filter " << (int)filtered[0];
            paeth_rows += filtered[0] == 4;
            prior = plain;
        }
        EXPECT_GT(paeth_rows, 0);
    }
}
