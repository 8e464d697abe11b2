// Huffman tables as the walk uses them, and the bit reader of entropy-coded
// data. The reader's functions are inline: they run for every code of every
// block of the photo.
#pragma once

#include <stdint.h>

#include "pipeline/byte_reader.h"

struct huffman_table {
    int defined;
    uint16_t fast[512];   // length << 8 | symbol for the codes of up to 9 bits; 0: none
    int32_t maxcode[17];  // the largest code of each length; -1: no code of that length
    int32_t mincode[17];
    int32_t first[17];    // index into values of each length's first code
    uint8_t values[256];
    uint16_t code[256];  // each symbol's code and its length, to write AC codes again
    uint8_t code_length[256];
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

static inline void fill_bits(bit_reader *b) {
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

// n from 0 to 16 bits; 0 when the data ends first.
static inline int take_bits(bit_reader *b, int n, uint32_t *value) {
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

// The next symbol, or -1 for a code that is not in the table or data that ends.
static inline int decode_symbol(bit_reader *b, const huffman_table *h) {
    if (b->count < 16) fill_bits(b);
    int entry = h->fast[b->bits >> (64 - 9)];
    if (entry) {
        int length = entry >> 8;
        if (length > b->count) return -1;
        b->bits <<= length;
        b->count -= length;
        return entry & 255;
    }
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
