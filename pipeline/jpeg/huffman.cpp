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
