// The PNG window's inflater: it reads what zlib's deflate writes, in every
// strategy and cut into pieces anywhere, to the byte where the stream ends;
// and it fails on streams no decoder may read as it would, while it reads
// what the image decoder reads of the unusual but sound ones. Odd streams
// are written here bit by bit; stb_image's own inflater, called directly,
// says what the decoder makes of them.
#include <gtest/gtest.h>
#include <stb/stb_image.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "pipeline/png/inflate.h"
#include "tests/support/fixtures.h"

namespace {

struct inflated {
    bool ended;
    bytes out;
    size_t end;  // input bytes up to the stream's end
};

// Feeds `stream` through an input buffer of `capacity` bytes in pieces of
// 1 to `piece` bytes, as IDAT chunks come, keeping what the inflater leaves.
inflated inflate_in_pieces(const bytes &stream, size_t capacity, size_t piece) {
    inflated r = {false, {}, 0};
    inflater z;
    EXPECT_EQ(inflater_open(&z), 1);
    bytes buffer(capacity);
    size_t length = 0, fed = 0;
    uint32_t rng = 99;
    for (;;) {
        rng = rng * 1103515245u + 12345u;
        size_t n = 1 + (rng >> 16) % piece;
        n = std::min(n, std::min(stream.size() - fed, capacity - length));
        std::copy(stream.begin() + (ptrdiff_t)fed, stream.begin() + (ptrdiff_t)(fed + n), buffer.begin() + (ptrdiff_t)length);
        length += n;
        fed += n;
        z.in = buffer.data();
        z.in_end = buffer.data() + length;
        z.input_ends = fed == stream.size();
        inflate_status status;
        do {
            status = inflater_run(&z);
            if (status != inflate_failed) r.out.insert(r.out.end(), z.out + z.out_from, z.out + z.out_at);
        } while (status == inflate_has_output);
        if (status == inflate_ended) {
            r.ended = true;
            r.end = fed - (size_t)(z.in_end - z.in) - z.held_back;
            break;
        }
        if (status == inflate_failed) break;
        EXPECT_FALSE(z.input_ends) << "asks for more after the input's end";
        length = (size_t)(z.in_end - z.in);
        EXPECT_LT(length, capacity) << "leaves no room for more";
        if (z.input_ends || length >= capacity) break;
        std::copy(z.in, z.in_end, buffer.begin());
    }
    inflater_close(&z);
    return r;
}

inflated inflate_at_once(const bytes &stream) { return inflate_in_pieces(stream, stream.size() + 1024, stream.size() + 1); }

bytes deflate_raw(const bytes &data, int level, int strategy, size_t flush_every = 0) {
    z_stream s = {};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    bytes out(deflateBound(&s, (uLong)data.size()) + 64 + (flush_every ? data.size() / flush_every * 8 : 0));
    s.next_out = out.data();
    s.avail_out = (uInt)out.size();
    size_t at = 0;
    do {
        const size_t n = flush_every ? std::min(flush_every, data.size() - at) : data.size() - at;
        s.next_in = (Bytef *)data.data() + at;
        s.avail_in = (uInt)n;
        at += n;
        EXPECT_NE(deflate(&s, at == data.size() ? Z_FINISH : Z_FULL_FLUSH), Z_STREAM_ERROR);
    } while (at < data.size());
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// What the decoder's own inflater gives for `stream` with the two bytes
// after its end that the PNG window asks for; false where it fails.
bool decoder_inflates(const bytes &stream, bytes *out) {
    bytes padded = stream;
    padded.push_back(0);
    padded.push_back(0);
    int length = 0;
    char *d = stbi_zlib_decode_malloc_guesssize_headerflag((const char *)padded.data(), (int)padded.size(), 256,
                                                           &length, 0);
    if (!d) return false;
    out->assign(d, d + length);
    free(d);
    return true;
}

uint32_t next_random(uint32_t *state) {
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

// Data of every kind a PNG's rows give a compressor, and some they rarely
// give: noise, runs, repeats at every short distance, at the farthest
// distance, and bytes so unevenly spread that their codes are 12 to 15
// bits long.
std::vector<std::pair<std::string, bytes>> sample_data() {
    std::vector<std::pair<std::string, bytes>> sets;
    uint32_t r = 5;
    bytes noise(300000);
    for (unsigned char &b : noise) b = (unsigned char)next_random(&r);
    sets.push_back({"noise", noise});
    bytes runs;
    for (int i = 0; i < 4000; ++i) runs.insert(runs.end(), 1 + next_random(&r) % 300, (unsigned char)next_random(&r));
    sets.push_back({"runs", runs});
    bytes periodic;
    for (int period = 1; period <= 12; ++period)
        for (int i = 0; i < 5000; ++i) periodic.push_back((unsigned char)(i % period * 37 + (next_random(&r) % 50 == 0)));
    sets.push_back({"short distances", periodic});
    bytes far(32768);
    for (unsigned char &b : far) b = (unsigned char)next_random(&r);
    bytes farthest = far;
    for (int i = 0; i < 4; ++i) {
        farthest.insert(farthest.end(), far.begin(), far.end());
        farthest[farthest.size() - 1 - i * 999] ^= 1;
    }
    sets.push_back({"the farthest distance", farthest});
    bytes skewed;
    for (int i = 0; i < 200000; ++i) {
        int v = 0;
        while (v < 255 && next_random(&r) % 2 == 0) ++v;
        skewed.push_back((unsigned char)v);
    }
    sets.push_back({"skewed", skewed});
    bytes photo_rows;  // smooth 16-bit samples: noisy low bytes, slow high bytes
    for (int i = 0; i < 100000; ++i) {
        photo_rows.push_back((unsigned char)(i / 700));
        photo_rows.push_back((unsigned char)next_random(&r));
    }
    sets.push_back({"16-bit samples", photo_rows});
    bytes mixed;  // coded and stored blocks in turn
    for (int part = 0; part < 8; ++part)
        for (int i = 0; i < 20000; ++i) mixed.push_back((unsigned char)(part % 2 ? next_random(&r) : i % 61));
    sets.push_back({"coded and stored blocks", mixed});
    sets.push_back({"one byte", bytes(1, 42)});
    sets.push_back({"nothing", bytes()});
    return sets;
}

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

// The fixed code's literal/length and distance codes.
void fixed_symbol(bit_writer *w, int symbol) {
    if (symbol < 144) w->code(0x30 + symbol, 8);
    else if (symbol < 256) w->code(0x190 + symbol - 144, 9);
    else if (symbol < 280) w->code(symbol - 256, 7);
    else w->code(0xC0 + symbol - 280, 8);
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

dynamic_block put_dynamic_header(bit_writer *w, bool final, const std::vector<int> &litlen,
                                 const std::vector<int> &distance) {
    w->put(final, 1);
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

}  // namespace

TEST(Inflate, ReadsWhatZlibWritesInAnyPiecesToTheStreamsEnd) {
    struct setting {
        const char *name;
        int level, strategy;
        size_t flush_every;
    } settings[] = {
        {"stored", 0, Z_DEFAULT_STRATEGY, 0},     {"fastest", 1, Z_DEFAULT_STRATEGY, 0},
        {"default", 6, Z_DEFAULT_STRATEGY, 0},    {"best", 9, Z_DEFAULT_STRATEGY, 0},
        {"fixed codes", 6, Z_FIXED, 0},           {"codes only", 6, Z_HUFFMAN_ONLY, 0},
        {"runs", 6, Z_RLE, 0},                    {"filtered", 6, Z_FILTERED, 0},
        {"flushed often", 6, Z_DEFAULT_STRATEGY, 777},
        {"stored, flushed often", 0, Z_DEFAULT_STRATEGY, 1000},
    };
    const bytes after = {0xA1, 0xB2, 0xC3, 0xD4};  // as the Adler-32 follows in a PNG
    for (const auto &data : sample_data())
        for (const setting &s : settings) {
            SCOPED_TRACE(data.first + ", " + s.name);
            bytes stream = deflate_raw(data.second, s.level, s.strategy, s.flush_every);
            const size_t end = stream.size();
            stream.insert(stream.end(), after.begin(), after.end());
            struct feed {
                size_t capacity, piece;
            } feeds[] = {{stream.size() + 1024, stream.size() + 1}, {65536, 65536}, {600, 1}, {513, 97}, {4096, 3000}};
            for (const feed &f : feeds) {
                SCOPED_TRACE("a buffer of " + std::to_string(f.capacity) + ", pieces up to " + std::to_string(f.piece));
                const inflated r = inflate_in_pieces(stream, f.capacity, f.piece);
                ASSERT_TRUE(r.ended);
                EXPECT_TRUE(r.out == data.second);
                EXPECT_EQ(r.end, end);
            }
        }
}

// Streams written here: what the inflater must fail on, whatever the
// decoder does with them, and what it must read as the decoder reads it.
TEST(Inflate, FailsOnUnsoundStreamsAndReadsSoundOddOnesAsTheDecoder) {
    struct odd {
        const char *name;
        bytes stream;
        bool read;
    };
    std::vector<odd> cases;
    {
        bit_writer w;
        w.put(1, 1);
        w.put(3, 2);
        cases.push_back({"a block of the reserved type", w.done(), false});
    }
    for (bool sound : {true, false}) {
        bit_writer w;
        w.put(1, 1);
        w.put(0, 2);
        w.align();
        w.put(5, 16);
        w.put(sound ? 0xFFFA : 0xFFFB, 16);
        for (unsigned char c : {'h', 'e', 'l', 'l', 'o'}) w.put(c, 8);
        cases.push_back({sound ? "a stored block" : "a stored block whose length and its complement disagree", w.done(), sound});
    }
    {
        bit_writer w;
        w.put(1, 1);
        w.put(0, 2);
        w.align();
        w.put(10, 16);
        w.put(0xFFF5, 16);
        w.put('x', 8);
        cases.push_back({"a stored block cut short", w.done(), false});
    }
    // Fixed codes: 'a', then a match of length 3 at `distance code`.
    const struct {
        const char *name;
        int length_symbol, distance_code;
        bool read;
    } matches[] = {
        {"a match of the byte before", 257, 0, true},
        {"a match reaching before the stream", 257, 1, false},
        {"length code 286", 286, 0, false},
        {"length code 287", 287, 0, false},
        {"distance code 30", 257, 30, false},
        {"distance code 31", 257, 31, false},
    };
    for (const auto &m : matches) {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        fixed_symbol(&w, 'a');
        fixed_symbol(&w, m.length_symbol);
        w.code((uint32_t)m.distance_code, 5);
        fixed_symbol(&w, 256);
        cases.push_back({m.name, w.done(), m.read});
    }
    {
        bit_writer w;
        w.put(0, 1);
        w.put(1, 2);
        fixed_symbol(&w, 'a');
        fixed_symbol(&w, 256);
        cases.push_back({"no final block", w.done(), false});
    }
    // A stored block between coded ones, at every bit position and length
    // of the literals before it: its first bytes come out of what the
    // inflater read ahead, the rest straight from the input.
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
        cases.push_back({"a stored block between coded ones", w.done(), true});
    }
    {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < 10; ++i) fixed_symbol(&w, 'a' + i);
        bytes cut = w.done();
        cut.resize(cut.size() - 2);
        cases.push_back({"a coded block cut short", cut, false});
    }
    // Dynamic blocks. Codes from 1 to 15 bits, one symbol each, so that
    // some are read through the second-level tables.
    {
        std::vector<int> litlen(257, 0), distance(1, 1);
        for (int i = 0; i < 15; ++i) litlen[(size_t)('A' + i)] = i + 1;
        litlen[256] = 15;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, true, litlen, distance);
        for (int i = 14; i >= 0; --i) put_symbol(&w, b, 'A' + i);
        for (int i = 0; i < 15; ++i) put_symbol(&w, b, 'A' + i);
        put_symbol(&w, b, 256);
        cases.push_back({"codes of 1 to 15 bits", w.done(), true});
    }
    {
        // 11- and 12-bit codes for 200 symbols beside short ones: several second
        // levels of different sizes.
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
        const dynamic_block b = put_dynamic_header(&w, true, litlen, distance);
        for (int s = 0; s < 257; ++s)
            if (litlen[(size_t)s]) put_symbol(&w, b, s == 256 ? 'a' : s);
        put_symbol(&w, b, 256);
        cases.push_back({"codes of 11 and 12 bits", w.done(), true});
    }
    for (bool used : {false, true}) {
        // Two codes of 2 bits: half the code unused.
        std::vector<int> litlen(257, 0), distance(1, 0);
        litlen['a'] = 2;
        litlen[256] = 2;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, true, litlen, distance);
        put_symbol(&w, b, 'a');
        if (used) w.code(3, 2);
        put_symbol(&w, b, 'a');
        put_symbol(&w, b, 256);
        cases.push_back({used ? "an incomplete code, its missing codes used" : "an incomplete code", w.done(), !used});
    }
    {
        std::vector<int> litlen(257, 0), distance(1, 0);
        litlen['a'] = 1;
        litlen['b'] = 1;
        litlen[256] = 1;
        bit_writer w;
        put_dynamic_header(&w, true, litlen, distance);
        w.put(0, 8);
        cases.push_back({"an oversubscribed code", w.done(), false});
    }
    for (bool too_many_lengths : {true, false}) {
        std::vector<int> litlen(too_many_lengths ? 287 : 257, 0), distance(too_many_lengths ? 1 : 31, 0);
        litlen['a'] = 1;
        litlen[256] = 1;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, true, litlen, distance);
        put_symbol(&w, b, 'a');
        put_symbol(&w, b, 256);
        cases.push_back({too_many_lengths ? "287 literal/length codes" : "31 distance codes", w.done(), false});
    }
    {
        // The most bits a symbol can take, right after two literals of
        // 11 bits (the longest read in one lookup): a length of 15 + 5
        // bits, a distance of 15 + 13, after a history of 32,768 random
        // two-bit literals.
        std::vector<int> litlen(285, 0), distance(30, 0);
        litlen['x'] = litlen['y'] = litlen[256] = 2;
        litlen['A'] = litlen['B'] = 11;
        litlen[284] = 15;
        distance[0] = 1;
        distance[29] = 15;
        bit_writer w;
        const dynamic_block b = put_dynamic_header(&w, true, litlen, distance);
        uint32_t r = 3;
        for (int i = 0; i < 32768; ++i) put_symbol(&w, b, next_random(&r) % 2 ? 'x' : 'y');
        for (int i = 0; i < 5; ++i) {
            put_symbol(&w, b, 'A');
            put_symbol(&w, b, 'B');
            put_symbol(&w, b, 284);
            w.put(30 - (uint32_t)i, 5);
            w.code(b.distance_codes[29], 15);
            w.put(8191, 13);
        }
        for (int i = 0; i < 20; ++i) put_symbol(&w, b, next_random(&r) % 2 ? 'x' : 'y');
        put_symbol(&w, b, 256);
        cases.push_back({"the longest match after two long literals", w.done(), true});
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
        w.code(0, 1);  // 'a'
        w.code(1, 1);  // the end
        cases.push_back({repeat == 16 ? "a repeat with nothing before it" : "a repeat past the last length", w.done(),
                         false});
    }

    for (const odd &c : cases) {
        SCOPED_TRACE(c.name);
        const inflated r = inflate_at_once(c.stream);
        EXPECT_EQ(r.ended, c.read);
        if (!c.read) continue;
        bytes decoder;
        ASSERT_TRUE(decoder_inflates(c.stream, &decoder));
        EXPECT_TRUE(r.out == decoder);
        EXPECT_EQ(r.end, c.stream.size());
        // Cut into single bytes, the same.
        const inflated pieces = inflate_in_pieces(c.stream, 600, 1);
        EXPECT_TRUE(pieces.ended);
        EXPECT_TRUE(pieces.out == r.out);
    }
}
