#include "pipeline/png/inflate.h"

#include <stdlib.h>
#include <string.h>

// A lookup entry: bits 0-7 how many bits it takes in all (its code and the
// extra bits after it; a link to a second-level table: the first level's
// bits), 8-12 its code's own length (a link: the second level's bits),
// 13-15 its kind, 16-30 its value: a literal, a length's or distance's
// base, a second level's start; bit 31 set for a literal alone.
enum { kind_literal = 0, kind_base = 1, kind_end = 2, kind_link = 3, kind_bad = 4 };
static const uint32_t literal_flag = 0x80000000u;
// Before a code length is known, bits 8-12 hold the extra bits.
static inline uint32_t make_entry(int kind, uint32_t value, int extra) {
    return (kind == kind_literal ? literal_flag : 0) | value << 16 | (uint32_t)kind << 13 | (uint32_t)extra << 8;
}
static inline uint32_t with_length(uint32_t e, int length) {
    const uint32_t extra = e >> 8 & 0x1F;
    return (e & ~0x1FFFu) | (uint32_t)length << 8 | ((uint32_t)length + extra);
}
static inline uint32_t make_link(uint32_t start, int root, int bits) {
    return start << 16 | (uint32_t)kind_link << 13 | (uint32_t)bits << 8 | (uint32_t)root;
}
static inline int entry_bits(uint32_t e) { return (int)(e & 0xFF); }
static inline int entry_length(uint32_t e) { return (int)(e >> 8 & 0x1F); }
static inline int entry_kind(uint32_t e) { return (int)(e >> 13 & 7); }
static inline uint32_t entry_value(uint32_t e) { return e >> 16 & 0x7FFF; }

enum {
    litlen_root = 11,
    distance_root = 8,
    lengths_root = 7,
    // The first level, and at most one second level of 2^(15 − root)
    // entries for each symbol.
    litlen_capacity = (1 << litlen_root) + 288 * (1 << (15 - litlen_root)),
    distance_capacity = (1 << distance_root) + 32 * (1 << (15 - distance_root)),
    out_capacity = inflate_reach + inflate_step + 258 + 64,  // room for a whole match, copied 8 bytes at a time
};

enum { state_header, state_stored, state_coded, state_ended };

static const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

static uint32_t litlen_entry(int symbol) {
    if (symbol < 256) return make_entry(kind_literal, (uint32_t)symbol, 0);
    if (symbol == 256) return make_entry(kind_end, 0, 0);
    if (symbol < 286) return make_entry(kind_base, length_base[symbol - 257], length_extra[symbol - 257]);
    return make_entry(kind_bad, 0, 0);
}

static uint32_t distance_entry(int symbol) {
    if (symbol < 30) return make_entry(kind_base, distance_base[symbol], distance_extra[symbol]);
    return make_entry(kind_bad, 0, 0);
}

static uint32_t lengths_entry(int symbol) { return make_entry(kind_literal, (uint32_t)symbol, 0); }

static inline uint32_t reversed(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// The canonical code of `lengths` (at most 15 bits each) as a lookup table:
// a first level indexed by `root` bits, the bits read lowest first, and a
// second level for each first-level slot that longer codes share. Slots no
// code reaches hold kind_bad, so that an incomplete code fails where it is
// used, not before. 0 for an oversubscribed code.
static int build_table(uint32_t *table, int root, const uint8_t *lengths, int n, uint32_t (*entry)(int)) {
    int count[16] = {0};
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    int left = 1;
    for (int len = 1; len < 16; ++len) {
        left = left * 2 - count[len];
        if (left < 0) return 0;
    }
    int offset[16];
    offset[1] = 0;
    for (int len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
    uint16_t sorted[288];
    for (int i = 0; i < n; ++i)
        if (lengths[i]) sorted[offset[lengths[i]]++] = (uint16_t)i;

    // Codes in canonical order: by length, then by symbol; codes of one
    // length are consecutive numbers, read highest bit first.
    int codes = 0;
    for (int len = 1; len < 16; ++len) codes += count[len];
    uint32_t code_of[288];
    uint8_t length_of[288];
    for (int len = 1, k = 0, code = 0; len < 16; ++len, code <<= 1)
        for (int c = 0; c < count[len]; ++c, ++code, ++k) {
            code_of[k] = (uint32_t)code;
            length_of[k] = (uint8_t)len;
        }

    const uint32_t bad = make_entry(kind_bad, 0, 0);
    for (int i = 0; i < 1 << root; ++i) table[i] = bad;
    uint32_t next_free = 1u << root, link_prefix = 0xFFFFFFFF, link_start = 0;
    int link_bits = 0;
    for (int k = 0; k < codes; ++k) {
        const int len = length_of[k];
        const uint32_t e = entry(sorted[k]), r = reversed(code_of[k], len);
        if (len <= root) {
            for (uint32_t j = r; j < 1u << root; j += 1u << len) table[j] = with_length(e, len);
            continue;
        }
        // Longer codes with the same first `root` bits are consecutive in
        // this order, and the last of them is the longest.
        const uint32_t prefix = code_of[k] >> (len - root);
        if (prefix != link_prefix) {
            int last = k;
            while (last + 1 < codes && code_of[last + 1] >> (length_of[last + 1] - root) == prefix) ++last;
            link_prefix = prefix;
            link_bits = length_of[last] - root;
            link_start = next_free;
            next_free += 1u << link_bits;
            for (uint32_t j = 0; j < 1u << link_bits; ++j) table[link_start + j] = bad;
            table[r & ((1u << root) - 1)] = make_link(link_start, root, link_bits);
        }
        for (uint32_t j = r >> root; j < 1u << link_bits; j += 1u << (len - root))
            table[link_start + j] = with_length(e, len - root);
    }
    return 1;
}

int inflater_open(inflater *z) {
    memset(z, 0, sizeof *z);
    z->out = (unsigned char *)malloc(out_capacity);
    z->litlen = (uint32_t *)malloc(litlen_capacity * sizeof(uint32_t));
    z->distance = (uint32_t *)malloc(distance_capacity * sizeof(uint32_t));
    z->state = state_header;
    return z->out && z->litlen && z->distance;
}

void inflater_close(inflater *z) {
    free(z->out);
    free(z->litlen);
    free(z->distance);
    memset(z, 0, sizeof *z);
}

// At least `n` (at most 57) bits, a byte at a time; past the input's end
// zero bytes, counted, which a sound stream never uses. 0 where the input
// runs out before its end.
static int need_bits(inflater *z, int n) {
    while (z->bit_count < n) {
        if (z->in < z->in_end) {
            z->bits |= (uint64_t)*z->in++ << z->bit_count;
        } else if (z->input_ends) {
            ++z->padding;
        } else {
            return 0;
        }
        z->bit_count += 8;
    }
    return 1;
}

static inline uint32_t take_bits(inflater *z, int n) {
    const uint32_t v = (uint32_t)(z->bits & ((1ull << n) - 1));
    z->bits >>= n;
    z->bit_count -= n;
    return v;
}

// At a stored block's data and after the stream's end, the bit buffer
// holds only whole bytes. 0 where the stream has used padding.
static int padding_unused(const inflater *z) { return z->padding <= z->bit_count / 8; }

// A dynamic block's code lengths, and its two tables.
static int read_code_lengths(inflater *z) {
    static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    need_bits(z, 14);
    const int litlens = (int)take_bits(z, 5) + 257, distances = (int)take_bits(z, 5) + 1;
    const int codes = (int)take_bits(z, 4) + 4;
    if (litlens > 286 || distances > 30) return 0;
    uint8_t lengths[19] = {0};
    for (int i = 0; i < codes; ++i) {
        need_bits(z, 3);
        lengths[order[i]] = (uint8_t)take_bits(z, 3);
    }
    uint32_t code_table[1 << lengths_root];
    if (!build_table(code_table, lengths_root, lengths, 19, lengths_entry)) return 0;
    uint8_t all[286 + 30];
    const int total = litlens + distances;
    for (int n = 0; n < total;) {
        need_bits(z, 14);
        const uint32_t e = code_table[z->bits & ((1u << lengths_root) - 1)];
        if (entry_kind(e) == kind_bad) return 0;
        take_bits(z, entry_bits(e));
        const uint32_t symbol = entry_value(e);
        if (symbol < 16) {
            all[n++] = (uint8_t)symbol;
            continue;
        }
        int repeat;
        uint8_t value = 0;
        if (symbol == 16) {
            if (n == 0) return 0;
            value = all[n - 1];
            repeat = 3 + (int)take_bits(z, 2);
        } else if (symbol == 17) {
            repeat = 3 + (int)take_bits(z, 3);
        } else {
            repeat = 11 + (int)take_bits(z, 7);
        }
        if (repeat > total - n) return 0;
        memset(all + n, value, (size_t)repeat);
        n += repeat;
    }
    return build_table(z->litlen, litlen_root, all, litlens, litlen_entry) &&
           build_table(z->distance, distance_root, all + litlens, distances, distance_entry);
}

static int use_fixed_tables(inflater *z) {
    uint8_t lengths[288 + 32];
    memset(lengths, 8, 144);
    memset(lengths + 144, 9, 112);
    memset(lengths + 256, 7, 24);
    memset(lengths + 280, 8, 8);
    memset(lengths + 288, 5, 32);
    return build_table(z->litlen, litlen_root, lengths, 288, litlen_entry) &&
           build_table(z->distance, distance_root, lengths + 288, 32, distance_entry);
}

// Enough input for any block header: a dynamic one takes at most 2,300 bits.
static_assert(inflate_header_input * 8 > 2300 + 64, "a whole header in the input and the bit buffer");

static int read_block_header(inflater *z) {
    need_bits(z, 3);
    z->final_block = (int)take_bits(z, 1);
    const uint32_t type = take_bits(z, 2);
    if (type == 0) {
        take_bits(z, z->bit_count & 7);
        need_bits(z, 32);
        const uint32_t length = take_bits(z, 16), complement = take_bits(z, 16);
        if ((length ^ 0xFFFF) != complement || !padding_unused(z)) return 0;
        z->stored_left = length;
        z->state = state_stored;
        return 1;
    }
    if (type == 3) return 0;
    if (!(type == 1 ? use_fixed_tables(z) : read_code_lengths(z))) return 0;
    z->state = state_coded;
    return 1;
}

// The second-level entry where `e` links to one; `bits` go past the first.
static inline uint32_t follow_link(const uint32_t *table, uint32_t e, uint64_t *bits, int *count) {
    *bits >>= entry_bits(e);
    *count -= entry_bits(e);
    return table[entry_value(e) + (uint32_t)(*bits & ((1u << entry_length(e)) - 1))];
}

// The value of a length or distance entry, its extra bits added; the bits
// taken.
static inline uint32_t take_base(uint32_t e, uint64_t *bits, int *count) {
    const uint32_t v = entry_value(e) + (uint32_t)((*bits & ((1ull << entry_bits(e)) - 1)) >> entry_length(e));
    *bits >>= entry_bits(e);
    *count -= entry_bits(e);
    return v;
}

// The rest of a symbol whose first-level entry is `e`, with at least 48
// bits in the buffer (the longest length and distance with their extra
// bits): 1 to go on, 2 at the block's end, 0 for a code no sound stream
// has.
static inline __attribute__((always_inline)) int finish_symbol(inflater *z, uint32_t e, uint64_t *bits, int *count,
                                                              size_t *at) {
    if (entry_kind(e) == kind_link) e = follow_link(z->litlen, e, bits, count);
    switch (entry_kind(e)) {
    case kind_literal:
        *bits >>= entry_bits(e);
        *count -= entry_bits(e);
        z->out[(*at)++] = (unsigned char)entry_value(e);
        return 1;
    case kind_base: {
        const uint32_t length = take_base(e, bits, count);
        e = z->distance[*bits & ((1u << distance_root) - 1)];
        if (entry_kind(e) == kind_link) e = follow_link(z->distance, e, bits, count);
        if (entry_kind(e) != kind_base) return 0;
        const uint32_t distance = take_base(e, bits, count);
        // Before the output has first slid, it holds the whole stream.
        if (distance > *at) return 0;
        unsigned char *to = z->out + *at;
        const unsigned char *from = to - distance;
        if (distance == 1) {
            memset(to, *from, length);
        } else {
            // Whole words, past the match's end into the slack, each read
            // before it is written, and moved on by at most the distance:
            // what a word reads is then written already, and the match
            // repeats every `distance` bytes.
            const uint32_t step = distance < 8 ? distance : 8;
            for (uint32_t i = 0; i < length; i += step) {
                uint64_t word;
                memcpy(&word, from + i, 8);
                memcpy(to + i, &word, 8);
            }
        }
        *at += length;
        return 1;
    }
    case kind_end:
        *bits >>= entry_bits(e);
        *count -= entry_bits(e);
        return 2;
    default:
        return 0;
    }
}

// Whole words: the bytes past those taken are the ones that follow, so
// that or-ing them in again changes nothing.
static inline void refill_word(inflater *z, uint64_t *bits, int *count) {
    uint64_t word;
    memcpy(&word, z->in, 8);
    *bits |= word << *count;
    z->in += (63 - *count) >> 3;
    *count |= 56;
}

static inflate_status run_coded(inflater *z) {
    uint64_t bits = z->bits;
    int count = z->bit_count;
    size_t at = z->out_at;
    const size_t full = inflate_reach + inflate_step;
    const uint64_t root_mask = (1u << litlen_root) - 1;
    const uint32_t *litlen = z->litlen;
    unsigned char *out = z->out;
    int result = 1;
    while (at < full) {
        uint32_t e;
        if (z->in_end - z->in >= 16) {
            // Up to three literals a refill (15 bits at most each, of 56),
            // then a refill before anything longer.
            refill_word(z, &bits, &count);
            e = litlen[bits & root_mask];
            if (e & literal_flag) {
                bits >>= entry_bits(e);
                count -= entry_bits(e);
                out[at++] = (unsigned char)entry_value(e);
                e = litlen[bits & root_mask];
                if (e & literal_flag) {
                    bits >>= entry_bits(e);
                    count -= entry_bits(e);
                    out[at++] = (unsigned char)entry_value(e);
                    e = litlen[bits & root_mask];
                    if (e & literal_flag) {
                        bits >>= entry_bits(e);
                        count -= entry_bits(e);
                        out[at++] = (unsigned char)entry_value(e);
                        continue;
                    }
                }
                refill_word(z, &bits, &count);
            }
        } else {
            z->bits = bits;
            z->bit_count = count;
            const int enough = need_bits(z, 48);
            bits = z->bits;
            count = z->bit_count;
            if (!enough) break;
            if (z->padding > 8) {
                result = 0;
                break;
            }
            e = litlen[bits & root_mask];
        }
        result = finish_symbol(z, e, &bits, &count, &at);
        if (result != 1) break;
    }
    z->bits = bits;
    z->bit_count = count;
    z->out_at = at;
    if (result == 0) return inflate_failed;
    if (result == 2) {
        z->state = z->final_block ? state_ended : state_header;
        return inflate_has_output;  // not the caller's: the run goes on
    }
    return at >= full ? inflate_has_output : inflate_needs_input;
}

static inflate_status run_stored(inflater *z) {
    const size_t full = inflate_reach + inflate_step;
    // First the bytes the bit buffer took ahead, then straight from the input.
    while (z->stored_left > 0 && z->bit_count > 0) {
        if (z->out_at >= full) return inflate_has_output;
        if (z->bit_count / 8 <= z->padding) return inflate_failed;
        z->out[z->out_at++] = (unsigned char)take_bits(z, 8);
        --z->stored_left;
    }
    if (z->bit_count == 0) z->bits = 0;  // the bytes ahead are taken here, not through the buffer
    while (z->stored_left > 0) {
        if (z->out_at >= full) return inflate_has_output;
        size_t n = (size_t)(z->in_end - z->in);
        if (n == 0) return z->input_ends ? inflate_failed : inflate_needs_input;
        if (n > z->stored_left) n = z->stored_left;
        if (n > full - z->out_at) n = full - z->out_at;
        memcpy(z->out + z->out_at, z->in, n);
        z->in += n;
        z->out_at += n;
        z->stored_left -= (uint32_t)n;
    }
    z->state = z->final_block ? state_ended : state_header;
    return inflate_has_output;
}

// At the end: the input bytes the bit buffer took past the stream.
static inflate_status end_stream(inflater *z) {
    take_bits(z, z->bit_count & 7);
    if (!padding_unused(z)) return inflate_failed;
    z->held_back = (size_t)(z->bit_count / 8 - z->padding);
    return inflate_ended;
}

inflate_status inflater_run(inflater *z) {
    // What was handed out last time is taken; keep the reach behind it.
    if (z->out_at >= inflate_reach + inflate_step) {
        memmove(z->out, z->out + z->out_at - inflate_reach, inflate_reach);
        z->out_at = inflate_reach;
    }
    z->out_from = z->out_at;
    for (;;) {
        switch (z->state) {
        case state_header:
            if (!z->input_ends && z->in_end - z->in < inflate_header_input) return inflate_needs_input;
            if (!read_block_header(z)) return inflate_failed;
            break;
        case state_stored: {
            const inflate_status s = run_stored(z);
            if (s != inflate_has_output || z->state == state_stored) return s;
            break;
        }
        case state_coded: {
            const inflate_status s = run_coded(z);
            if (s != inflate_has_output || z->state == state_coded) return s;
            break;
        }
        default:
            return end_stream(z);
        }
        if (z->state == state_ended) return end_stream(z);
        if (z->out_at >= inflate_reach + inflate_step) return inflate_has_output;
    }
}
