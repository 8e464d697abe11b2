// A PNG wider or taller than the crop is decoded only where the crop reads:
// every pixel there, and so the whole raster, must be what stb_image gives
// for the whole file, and intake must read exactly the files it reads.
// Photos come from libpng and from the PNG suite; damaged ones are written
// here from their rows with zlib, called directly, and DEFLATE that no
// encoder writes bit by bit.
#include <gtest/gtest.h>
#include <malloc.h>
#include <png.h>
#include <stb/stb_image.h>
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

bytes png_of(int width, int height, int color_type, const bytes &stream, bool right_crc) {
    bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    const bytes header = {0, 0, (unsigned char)(width >> 8), (unsigned char)width, 0, 0, (unsigned char)(height >> 8),
                          (unsigned char)height, 8, (unsigned char)color_type, 0, 0, 0};
    put_chunk(&out, "IHDR", header);
    put_chunk(&out, "IDAT", stream, right_crc);
    put_chunk(&out, "IEND", bytes());
    return out;
}

bytes rgb_png(int width, int height, const bytes &stream, bool right_crc = true) {
    return png_of(width, height, PNG_COLOR_TYPE_RGB, stream, right_crc);
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

// A zlib stream as zlib's deflate writes it, at a level and in a strategy,
// flushed every `flush_every` bytes unless 0: block headers everywhere.
bytes deflated(const bytes &raw, int level = 6, int strategy = Z_DEFAULT_STRATEGY, size_t flush_every = 0) {
    z_stream s = {};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
    bytes out(deflateBound(&s, (uLong)raw.size()) + (flush_every ? raw.size() / flush_every * 16 : 0) + 64);
    s.next_out = out.data();
    s.avail_out = (uInt)out.size();
    size_t at = 0;
    do {
        const size_t n = flush_every ? std::min(flush_every, raw.size() - at) : raw.size() - at;
        s.next_in = (Bytef *)raw.data() + at;
        s.avail_in = (uInt)n;
        at += n;
        EXPECT_NE(deflate(&s, at == raw.size() ? Z_FINISH : Z_FULL_FLUSH), Z_STREAM_ERROR);
    } while (at < raw.size());
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

// Image data of hundreds of kilobytes, several of the window's steps of
// output, in every strategy zlib's deflate has, stored, fastest and best, and
// flushed often, in IDAT chunks of sizes from 1 byte to more than the
// window's input buffer holds.
TEST(PngWindow, LargeDataInEveryStrategyAndInChunksOfEverySizeReadsAsTheWholeFile) {
    const int width = 1500, height = 160;
    bytes smooth = raw_rows(width, height, 2);
    for (size_t i = 0; i < smooth.size(); ++i)
        if (i % (1 + (size_t)width * 3)) smooth[i] = (unsigned char)(smooth[i] % 4 + i / 300 % 50);
    const std::vector<std::vector<size_t>> chunkings = {{1 << 20}, {1, 2, 7, 1000}, {65535, 3, 70001}, {8192}};
    const bytes noise = raw_rows(width, height, 1);
    struct setting {
        const char *name;
        int level, strategy;
        size_t flush_every;
    } settings[] = {
        {"stored", 0, Z_DEFAULT_STRATEGY, 0},     {"fastest", 1, Z_DEFAULT_STRATEGY, 0},
        {"best", 9, Z_DEFAULT_STRATEGY, 0},       {"filtered", 6, Z_FILTERED, 0},
        {"codes only", 6, Z_HUFFMAN_ONLY, 0},     {"runs", 6, Z_RLE, 0},
        {"fixed codes", 6, Z_FIXED, 0},
        // Many a block header where the window's input buffer ends.
        {"a block every 100 bytes", 6, Z_DEFAULT_STRATEGY, 100},
    };
    for (bool is_smooth : {true, false})
        for (const setting &s : settings) {
            const bytes stream = deflated(is_smooth ? smooth : noise, s.level, s.strategy, s.flush_every);
            for (const auto &sizes : chunkings) {
                SCOPED_TRACE(std::string(is_smooth ? "smooth, " : "noise, ") + s.name + ", chunks of " +
                             std::to_string(sizes[0]) + "...");
                EXPECT_TRUE(read_as_whole(rgb_png_in_chunks(width, height, stream, sizes), false));
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

// Bits as DEFLATE packs them: values lowest bit first, Huffman codes
// highest bit first.
struct bit_writer {
    bytes out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t v, int bits) {
        for (int i = 0; i < bits; ++i) {
            acc |= ((v >> i) & 1) << n;
            if (++n == 8) {
                out.push_back((unsigned char)acc);
                acc = 0;
                n = 0;
            }
        }
    }
    void code(uint32_t c, int length) {
        for (int i = length - 1; i >= 0; --i) put((c >> i) & 1, 1);
    }
    void align() {
        if (n) put(0, 8 - n);
    }
    bytes done() {
        align();
        return out;
    }
};

// The fixed code's literal/length codes.
void fixed_symbol(bit_writer *w, int symbol) {
    if (symbol < 144) w->code(0x30 + symbol, 8);
    else if (symbol < 256) w->code(0x190 + symbol - 144, 9);
    else if (symbol < 280) w->code(symbol - 256, 7);
    else w->code(0xC0 + symbol - 280, 8);
}

// A zlib stream of the DEFLATE data, with an Adler-32 value the decoder does
// not check.
bytes zlib_of(const bytes &deflate) {
    bytes stream(2 + deflate.size() + 4, 0);
    stream[0] = 0x78;
    stream[1] = 0x01;
    std::copy(deflate.begin(), deflate.end(), stream.begin() + 2);
    stream.back() = 1;
    return stream;
}

bytes png_with_chunks(int width, int height, int color, int interlace, const std::vector<std::pair<const char *, bytes>> &chunks) {
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
        bit_writer d;
        d.put(1, 1);  // the final block, fixed codes
        d.put(1, 2);
        const size_t total = interlace ? interlaced_bytes : 259 * 100;
        for (size_t k = 0; k < total % 258; ++k) fixed_symbol(&d, 0);
        for (size_t k = 0; k < total / 258; ++k) {
            fixed_symbol(&d, 285);  // 258 bytes from 0 bytes back, up to the last one
            d.code((uint32_t)distance_code, 5);
        }
        fixed_symbol(&d, 256);
        const bytes file = png_with_chunks(86, 100, 2, interlace, {{"IDAT", zlib_of(d.done())}});
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
    EXPECT_EQ(refusal_of(png_with_chunks(1, 1, 2, 0, {{"IDAT", stored}})), refusal_none);
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

namespace {

void fixed_literals(bit_writer *w, const char *text) {
    for (const char *c = text; *c; ++c) fixed_symbol(w, (unsigned char)*c);
}

std::vector<uint32_t> canonical_codes(const std::vector<int> &lengths) {
    int count[16] = {0}, next[16] = {0};
    for (int l : lengths) ++count[l];
    count[0] = 0;
    for (int l = 1, code = 0; l < 16; ++l) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) codes[i] = (uint32_t)next[lengths[i]]++;
    return codes;
}

// A dynamic block's header: every code length sent as itself with a 4-bit
// code (symbols 0 to 15; none of the repeat codes).
struct dynamic_block {
    std::vector<int> litlen, distance;
    std::vector<uint32_t> litlen_codes, distance_codes;
};

dynamic_block put_dynamic_header(bit_writer *w, const std::vector<int> &litlen, const std::vector<int> &distance) {
    w->put(1, 1);
    w->put(2, 2);
    w->put((uint32_t)litlen.size() - 257, 5);
    w->put((uint32_t)distance.size() - 1, 5);
    w->put(19 - 4, 4);
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int s : order) w->put(s < 16 ? 4 : 0, 3);
    for (int l : litlen) w->code((uint32_t)l, 4);
    for (int l : distance) w->code((uint32_t)l, 4);
    return {litlen, distance, canonical_codes(litlen), canonical_codes(distance)};
}

void put_symbol(bit_writer *w, const dynamic_block &b, int symbol) {
    w->code(b.litlen_codes[(size_t)symbol], b.litlen[(size_t)symbol]);
}

void put_symbols(bit_writer *w, const dynamic_block &b, int symbol, int times) {
    for (int i = 0; i < times; ++i) put_symbol(w, b, symbol);
}

uint32_t next_random(uint32_t *state) {
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

struct odd_stream {
    std::string name;
    bytes deflate;        // blocks after the one that holds the row's filter type
    bool decoder_reads;   // stb_image reads the file
    bool window;          // and so does the window, with ISA-L
    size_t after = 4;     // bytes after the stream, where the Adler-32 goes
};

// DEFLATE written bit by bit. Every stream makes a PNG of one row of grey
// samples, as wide as stb_image's own inflater, called directly, says; its
// filter type comes first, in a stored block of its own.
std::vector<odd_stream> odd_streams() {
    std::vector<odd_stream> cases;
    {
        bit_writer w;
        w.put(1, 1);
        w.put(3, 2);
        cases.push_back({"a block of the reserved type", w.done(), false, false});
    }
    for (bool sound : {true, false}) {
        bit_writer w;
        w.put(1, 1);
        w.put(0, 2);
        w.align();
        w.put(5, 16);
        w.put(sound ? 0xFFFA : 0xFFFB, 16);
        for (unsigned char c : {'h', 'e', 'l', 'l', 'o'}) w.put(c, 8);
        cases.push_back({sound ? "a stored block" : "a stored block whose length and its complement disagree", w.done(),
                         sound, sound});
    }
    // Fixed codes: "a", a match of length 3 at `distance code`, "wxyz". The
    // decoder takes length codes 286 and 287 for matches of no bytes; ISA-L
    // refuses them, and so the file is left to the decoder.
    const struct {
        const char *name;
        int length_symbol, distance_code;
        bool decoder_reads, window;
    } matches[] = {
        {"a match of the byte before", 257, 0, true, true},
        {"a match of the row's filter type and the byte after it", 257, 1, true, true},
        {"a match reaching before the stream", 257, 2, false, false},
        {"length code 286", 286, 0, true, false},
        {"length code 287", 287, 0, true, false},
    };
    for (const auto &m : matches) {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        fixed_literals(&w, "a");
        fixed_symbol(&w, m.length_symbol);
        w.code((uint32_t)m.distance_code, 5);
        fixed_literals(&w, "wxyz");
        fixed_symbol(&w, 256);
        cases.push_back({m.name, w.done(), m.decoder_reads, m.window});
    }
    {
        bit_writer w;
        w.put(0, 1);
        w.put(1, 2);
        fixed_literals(&w, "abcd");
        fixed_symbol(&w, 256);
        cases.push_back({"no final block", w.done(), false, false});
    }
    // The end code's last bit the last of a byte, where the decoder, which
    // reads ahead 16 bits to decode a code, has read the bytes after the
    // stream as it comes: with 1 of them it refuses the file, with 2 it
    // reads it.
    for (size_t after : {0, 1, 2}) {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < 6; ++i) fixed_symbol(&w, 200);  // 9 bits each
        fixed_literals(&w, "ab");
        fixed_symbol(&w, 256);
        EXPECT_EQ(w.n, 0);
        odd_stream c = {std::to_string(after) + " bytes after a stream that ends a byte", w.done(), after == 2, after == 2};
        c.after = after;
        cases.push_back(c);
    }
    // A stored block between coded ones, at every bit position and length
    // of the literals before it.
    for (int literals = 1; literals <= 16; ++literals) {
        bit_writer w;
        w.put(0, 1);
        w.put(1, 2);
        for (int i = 0; i < literals; ++i) fixed_symbol(&w, i % 2 ? 200 : 'q');
        fixed_symbol(&w, 256);
        w.put(0, 1);
        w.put(0, 2);
        w.align();
        const int stored = 17 + literals;
        w.put((uint32_t)stored, 16);
        w.put(0xFFFF ^ (uint32_t)stored, 16);
        for (int i = 0; i < stored; ++i) w.put((uint32_t)(0x5A + i * 77) & 0xFF, 8);
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < 20; ++i) fixed_symbol(&w, 'k' + i % 5);
        fixed_symbol(&w, 256);
        cases.push_back({"a stored block between coded ones after " + std::to_string(literals) + " literals", w.done(),
                         true, true});
    }
    // Dynamic blocks. Codes from 1 to 15 bits, one symbol each.
    {
        std::vector<int> litlen(257, 0), distance(1, 1);
        for (int i = 0; i < 15; ++i) litlen[(size_t)('A' + i)] = i + 1;
        litlen[256] = 15;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, litlen, distance);
        for (int i = 14; i >= 0; --i) put_symbol(&w, b, 'A' + i);
        for (int i = 0; i < 15; ++i) put_symbol(&w, b, 'A' + i);
        put_symbol(&w, b, 256);
        cases.push_back({"codes of 1 to 15 bits", w.done(), true, true});
    }
    {
        // 11- and 12-bit codes for 200 symbols beside short ones.
        std::vector<int> litlen(257, 0), distance(2, 0);
        litlen['a'] = 1;
        litlen['b'] = 2;
        litlen['c'] = 3;
        litlen['d'] = 5;
        litlen['e'] = 5;
        for (int i = 0; i < 199; ++i) litlen[(size_t)(i < 'a' ? i : i + 5)] = i < 55 ? 11 : 12;
        litlen[256] = 11;
        distance[1] = 1;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, litlen, distance);
        for (int s = 0; s < 257; ++s)
            if (litlen[(size_t)s]) put_symbol(&w, b, s == 256 ? 'a' : s);
        put_symbol(&w, b, 256);
        cases.push_back({"codes of 11 and 12 bits", w.done(), true, true});
    }
    for (bool used : {false, true}) {
        // Two codes of 2 bits: half the code unused.
        std::vector<int> litlen(257, 0), distance(1, 0);
        litlen['a'] = 2;
        litlen[256] = 2;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, litlen, distance);
        put_symbols(&w, b, 'a', 3);
        if (used) w.code(3, 2);
        put_symbols(&w, b, 'a', 3);
        put_symbol(&w, b, 256);
        cases.push_back({used ? "an incomplete code, its missing codes used" : "an incomplete code", w.done(), !used,
                         !used});
    }
    {
        std::vector<int> litlen(257, 0), distance(1, 0);
        litlen['a'] = 1;
        litlen['b'] = 1;
        litlen[256] = 1;
        bit_writer w;
        put_dynamic_header(&w, litlen, distance);
        w.put(0, 8);
        cases.push_back({"an oversubscribed code", w.done(), false, false});
    }
    // More code lengths than there are codes: the decoder reads them, ISA-L
    // refuses them.
    for (bool too_many_lengths : {true, false}) {
        std::vector<int> litlen(too_many_lengths ? 287 : 257, 0), distance(too_many_lengths ? 1 : 31, 0);
        litlen['a'] = 1;
        litlen[256] = 1;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, litlen, distance);
        put_symbols(&w, b, 'a', 5);
        put_symbol(&w, b, 256);
        cases.push_back({too_many_lengths ? "287 literal/length codes" : "31 distance codes", w.done(), true, false});
    }
    {
        // The most bits a symbol can take, right after two literals of
        // 11 bits: a length of 15 + 5 bits, a distance of 15 + 13, after a
        // history of 31,000 random two-bit literals (a row of at most
        // 32,768 samples).
        std::vector<int> litlen(285, 0), distance(30, 0);
        litlen['x'] = litlen['y'] = litlen[256] = 2;
        litlen['A'] = litlen['B'] = 11;
        litlen[284] = 15;
        distance[0] = 1;
        distance[29] = 15;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, litlen, distance);
        uint32_t r = 3;
        for (int i = 0; i < 31000; ++i) put_symbol(&w, b, next_random(&r) % 2 ? 'x' : 'y');
        for (int i = 0; i < 5; ++i) {
            put_symbol(&w, b, 'A');
            put_symbol(&w, b, 'B');
            put_symbol(&w, b, 284);
            w.put(30 - (uint32_t)i, 5);
            w.code(b.distance_codes[29], 15);
            w.put(6000 + (uint32_t)i, 13);
        }
        for (int i = 0; i < 20; ++i) put_symbol(&w, b, next_random(&r) % 2 ? 'x' : 'y');
        put_symbol(&w, b, 256);
        cases.push_back({"the longest match after two long literals", w.done(), true, true});
    }
    // Code lengths with a repeat code where it has nothing to repeat, or
    // repeats past the last length; each otherwise a sound block holding
    // "a". The code-length code: 0 to 14 get 4 bits, 15 and the repeat 5.
    for (int repeat : {16, 17}) {
        bit_writer w;
        w.put(1, 1);
        w.put(2, 2);
        w.put(0, 5);
        w.put(0, 5);
        w.put(19 - 4, 4);
        static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        std::vector<int> lengths(19, 0);
        for (int s = 0; s < 15; ++s) lengths[(size_t)s] = 4;
        lengths[15] = lengths[(size_t)repeat] = 5;
        for (int s : order) w.put((uint32_t)lengths[(size_t)s], 3);
        const std::vector<uint32_t> codes = canonical_codes(lengths);
        int n = 0;
        if (repeat == 16) {
            w.code(codes[16], 5);
            w.put(0, 2);  // three times
            n = 3;
        }
        for (; n < 257; ++n) w.code(codes[(size_t)(n == 'a' || n == 256 ? 1 : 0)], 4);
        if (repeat == 17) {
            w.code(codes[17], 5);
            w.put(0, 3);  // three zeros, where one distance length is left
        } else {
            w.code(codes[0], 4);
        }
        for (int i = 0; i < 5; ++i) w.code(0, 1);  // 'a'
        w.code(1, 1);  // the end
        cases.push_back({repeat == 16 ? "a repeat with nothing before it" : "a repeat past the last length", w.done(),
                         false, false});
    }
    return cases;
}

}  // namespace

// DEFLATE no encoder writes: read through the window exactly where ISA-L
// and the decoder both read it, left to the decoder where only the decoder
// does, and refused where both refuse it.
TEST(PngWindow, OddDeflateStreamsAreReadOrLeftAsTheWholeFile) {
    // zlib's header, then a stored block that is not the last: the filter type 0.
    const bytes start = {0x78, 0x01, 0x00, 0x01, 0x00, 0xFE, 0xFF, 0x00};
    for (const odd_stream &c : odd_streams()) {
        SCOPED_TRACE(c.name);
        bytes stream = start;
        stream.insert(stream.end(), c.deflate.begin(), c.deflate.end());
        stream.insert(stream.end(), c.after, 0xFF);  // where the Adler-32 goes, which neither reads
        int length = 0;
        char *row = stbi_zlib_decode_malloc_guesssize_headerflag((const char *)stream.data(), (int)stream.size(), 256,
                                                                 &length, 1);
        const bool decoded = row != NULL;
        free(row);
        // Where the decoder refuses the stream, a row as wide as the window
        // would read from a few bytes of it.
        const int width = decoded ? length - 1 : 4;
        const bytes file = png_of(width, 1, PNG_COLOR_TYPE_GRAY, stream, true);
        int w, h;
        unsigned char *whole = read_the_whole_way(file, &w, &h);
        EXPECT_EQ(whole != NULL, c.decoder_reads) << "the fixture no longer shows what it is for";
        free(whole);
        EXPECT_EQ(read_as_whole(file, false), c.window);
    }
}
