#include "pipeline/jpeg/huffman.h"

#include <string.h>

int build_huffman_table(huffman_table *h, const unsigned char *counts, const unsigned char *values,
                               uint32_t symbols, int is_dc) {
    memset(h, 0, sizeof *h);
    memcpy(h->values, values, symbols);
    int32_t code = 0;
    int32_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        int32_t n = counts[length - 1];
        h->first[length] = k;
        h->mincode[length] = code;
        code += n;
        if (n && code - 1 >= (1 << length)) return 0;  // over-subscribed, as the decoder refuses too
        h->maxcode[length] = n ? code - 1 : -1;
        for (int32_t c = h->mincode[length]; c < code; ++c) {
            int symbol = values[k + c - h->mincode[length]];
            h->code[symbol] = (uint16_t)c;
            h->code_length[symbol] = (uint8_t)length;
        }
        if (length <= 9) {
            for (int32_t c = h->mincode[length]; c < code; ++c)
                for (int32_t f = c << (9 - length); f < (c + 1) << (9 - length); ++f)
                    h->fast[f] = (uint16_t)(length << 8 | values[k + c - h->mincode[length]]);
        }
        if (!is_dc && length <= whole_ac_bits) {
            for (int32_t c = h->mincode[length]; c < code; ++c) {
                const int rs = values[k + c - h->mincode[length]], run = rs >> 4, size = rs & 15;
                const int taken = length + size;
                if (taken > whole_ac_bits) continue;
                uint16_t entry = (uint16_t)(taken | run << whole_ac_run_shift);
                if (size) entry |= whole_ac_coefficient;
                else if (run != 15) entry |= whole_ac_end;
                for (int32_t f = c << (whole_ac_bits - length); f < (c + 1) << (whole_ac_bits - length); ++f)
                    h->whole_ac[f] = entry;
            }
        }
        k += n;
        code <<= 1;
    }
    // A DC value is a bit count; stb_image 2.27 indexes 17-entry tables with it.
    if (is_dc)
        for (uint32_t i = 0; i < symbols; ++i)
            if (values[i] > 15) return 0;
    h->defined = 1;
    return 1;
}

// As JPEG's Annex K.2 makes the table: a reserved symbol of the lowest
// frequency keeps any code from being all 1 bits, and codes longer than 16
// bits are shortened in pairs.
int optimal_huffman_table(const uint64_t *occurrences, int symbols, unsigned char counts[16], unsigned char values[256]) {
    uint64_t frequency[257];
    int length[257], next[257];
    for (int i = 0; i < symbols; ++i) frequency[i] = occurrences[i];
    for (int i = symbols; i < 257; ++i) frequency[i] = 0;
    frequency[256] = 1;
    for (int i = 0; i < 257; ++i) {
        length[i] = 0;
        next[i] = -1;
    }
    for (;;) {
        // The two least frequent; among equals the higher symbol.
        int c1 = -1, c2 = -1;
        for (int i = 0; i < 257; ++i)
            if (frequency[i] && (c1 < 0 || frequency[i] <= frequency[c1])) c1 = i;
        for (int i = 0; i < 257; ++i)
            if (frequency[i] && i != c1 && (c2 < 0 || frequency[i] <= frequency[c2])) c2 = i;
        if (c2 < 0) break;
        frequency[c1] += frequency[c2];
        frequency[c2] = 0;
        for (++length[c1]; next[c1] >= 0; ++length[c1]) c1 = next[c1];
        next[c1] = c2;
        for (++length[c2]; next[c2] >= 0; ++length[c2]) c2 = next[c2];
    }
    int per_length[258] = {0};
    for (int i = 0; i < 257; ++i)
        if (length[i]) ++per_length[length[i]];
    // Codes longer than 16 bits: a pair of them becomes one a bit shorter
    // and one that takes the place of a shorter code, which grows by a bit.
    for (int i = 257; i > 16; --i)
        while (per_length[i] > 0) {
            int shorter = i - 2;
            while (per_length[shorter] == 0) --shorter;
            per_length[i] -= 2;
            per_length[i - 1] += 1;
            per_length[shorter + 1] += 2;
            per_length[shorter] -= 1;
        }
    int longest = 16;
    while (per_length[longest] == 0) --longest;
    --per_length[longest];  // the reserved symbol's code
    for (int i = 1; i <= 16; ++i) counts[i - 1] = (unsigned char)per_length[i];
    int n = 0;
    for (int l = 1; l <= 256; ++l)
        for (int i = 0; i < symbols; ++i)
            if (length[i] == l) values[n++] = (unsigned char)i;
    return n;
}

