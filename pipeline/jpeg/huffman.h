// Huffman tables as the walk uses them, and the bit reader of entropy-coded
// data. The reader's common paths are inline, as they run for every code of
// every block of the photo; the rare ones (a stuffed byte or a marker near,
// a code longer than 9 bits) are out of line.
#pragma once

#include <stdint.h>
#include <string.h>

#include "pipeline/byte_reader.h"

// How an entry of a table's whole_ac look-up reads.
enum {
    whole_ac_bits = 11,
    whole_ac_length = 31,          // the bits taken, code and extra bits
    whole_ac_run_shift = 8,        // then the zeros a coefficient's code skips
    whole_ac_coefficient = 1 << 14,  // a nonzero coefficient
    whole_ac_end = 1 << 15,          // the end of the block; else 16 zeros
};

struct huffman_table {
    int defined;
    uint16_t fast[512];   // length << 8 | symbol for the codes of up to 9 bits; 0: none
    int32_t maxcode[17];  // the largest code of each length; -1: no code of that length
    int32_t mincode[17];
    int32_t first[17];    // index into values of each length's first code
    uint8_t values[256];
    uint16_t code[256];  // each symbol's code and its length, to write AC codes again
    uint8_t code_length[256];
    // For the sequential walk: an AC table's codes with their extra bits,
    // where both fit in the first whole_ac_bits bits: the bits they take, and
    // what they do to the coefficient index. 0: look the code up on its own.
    uint16_t whole_ac[1 << whole_ac_bits];
};

// 1 and the table built from the segment's sixteen counts and its symbols;
// 0 for a table the decoder would refuse or mishandle.
int build_huffman_table(huffman_table *h, const unsigned char *counts, const unsigned char *values, uint32_t symbols,
                        int is_dc);

// The table an optimising encoder makes for symbols 0 to `symbols` − 1
// (at most 256) occurring as often as `occurrences` says: codes of at most
// 16 bits, none of them all 1 bits, for exactly the symbols that occur.
// Fills the sixteen counts of codes of each length and the symbols in code
// order, as a DHT segment holds them; gives the number of symbols.
int optimal_huffman_table(const uint64_t *occurrences, int symbols, unsigned char counts[16],
                          unsigned char values[256]);

struct bit_reader {
    byte_reader *bytes;
    uint64_t bits;  // left-aligned
    int count;
    int marker;  // the marker that ended the data, -1 at the end of the file, 0 before either
    int filled;  // the marker came after fill bytes (0xFF)
};

// A byte at a time, for stuffed bytes, markers and the buffer's end.
static inline __attribute__((noinline)) void fill_bits_bytewise(bit_reader *b) {
    while (b->count <= 56 && !b->marker) {
        int c = next_byte(b->bytes);
        if (c < 0) {
            b->marker = -1;
            return;
        }
        if (c == 0xFF) {
            int d = next_byte(b->bytes);
            while (d == 0xFF) {
                b->filled = 1;
                d = next_byte(b->bytes);
            }
            if (d != 0) {
                b->marker = d < 0 ? -1 : d;
                return;
            }
        }
        b->bits |= (uint64_t)c << (56 - b->count);
        b->count += 8;
    }
}

static inline __attribute__((always_inline)) void fill_bits(bit_reader *b) {
    byte_reader *r = b->bytes;
    const int n = (64 - b->count) >> 3;  // the bytes that fit
    if (n > 0 && !b->marker && r->end - r->at >= 8) {
        // Most of the data has no 0xFF: those bytes all at once where none
        // of them is one.
        uint64_t word;
        memcpy(&word, r->buffer + r->at, 8);
        word = __builtin_bswap64(word);
        const uint64_t first = ~(uint64_t)0 << (64 - 8 * n);
        const uint64_t ones = ~word | ~first;  // a zero byte where a byte taken is 0xFF
        if (!((ones - 0x0101010101010101u) & ~ones & 0x8080808080808080u)) {
            b->bits |= (word & first) >> b->count;
            b->count += 8 * n;
            r->at += (size_t)n;
            return;
        }
    }
    fill_bits_bytewise(b);
}

// n from 0 to 16 bits; 0 when the data ends first.
static inline __attribute__((always_inline)) int take_bits(bit_reader *b, int n, uint32_t *value) {
    if (n == 0) {
        *value = 0;
        return 1;
    }
    if (b->count < n) {
        fill_bits(b);
        if (b->count < n) return 0;
    }
    *value = (uint32_t)(b->bits >> (64 - n));
    b->bits <<= n;
    b->count -= n;
    return 1;
}

// A code longer than the lookup's 9 bits, length by length.
static inline __attribute__((noinline)) int decode_long_symbol(bit_reader *b, const huffman_table *h) {
    uint32_t window = (uint32_t)(b->bits >> 48);
    for (int length = 1; length <= 16; ++length) {
        int32_t code = (int32_t)(window >> (16 - length));
        if (code <= h->maxcode[length]) {
            if (length > b->count || code < h->mincode[length]) return -1;
            b->bits <<= length;
            b->count -= length;
            return h->values[h->first[length] + code - h->mincode[length]];
        }
    }
    return -1;
}

// The next symbol, or -1 for a code that is not in the table or data that ends.
static inline __attribute__((always_inline)) int decode_symbol(bit_reader *b, const huffman_table *h) {
    if (b->count < 16) fill_bits(b);
    int entry = h->fast[b->bits >> (64 - 9)];
    if (entry) {
        int length = entry >> 8;
        if (length > b->count) return -1;
        b->bits <<= length;
        b->count -= length;
        return entry & 255;
    }
    return decode_long_symbol(b, h);
}
