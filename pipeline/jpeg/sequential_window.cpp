// The window of a progressive JPEG, written once its scans are over as a
// sequential JPEG: the frame header, then one scan per component over the
// window's blocks, each with Huffman tables made from its own symbol counts
// as an optimising encoder makes them. The decoder dequantises and
// transforms a sequential block exactly as a progressive one, so the same
// coefficients give the same pixels.
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pipeline/jpeg/markers.h"
#include "pipeline/jpeg/state.h"

// How often each symbol occurs in one component's scan: DC bit counts, and
// AC run/size pairs.
struct symbol_counts {
    uint64_t dc[16];
    uint64_t ac[256];
};

// A coefficient or DC difference of up to 15 bits (the decoder takes no
// more); 0 for one beyond. `extended` notes what a baseline JPEG cannot hold.
static int codable(int32_t value, int baseline_bits, int *bits, int *extended) {
    *bits = value_bits(value);
    if (*bits > baseline_bits) *extended = 1;
    return *bits <= 15;
}

// Bit k set when coefficient k (zigzag) is nonzero; eight at a time where
// the processor compares them so.
static uint64_t nonzero_mask(const int16_t *block) {
    uint64_t mask = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int k = 0; k < 64; k += 16) {
        __m128i low = _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i *)(block + k)), zero);
        __m128i high = _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i *)(block + k + 8)), zero);
        uint32_t zeros = (uint32_t)_mm_movemask_epi8(_mm_packs_epi16(low, high));
        mask |= (uint64_t)(~zeros & 0xFFFFu) << k;
    }
#else
    for (int k = 0; k < 64; ++k) mask |= (uint64_t)(block[k] != 0) << k;
#endif
    return mask;
}

static int count_block(const int16_t *block, int16_t *previous_dc, symbol_counts *counts, int *extended) {
    int bits;
    if (!codable(block[0] - *previous_dc, 11, &bits, extended)) return 0;
    *previous_dc = block[0];
    ++counts->dc[bits];
    int last = 0;  // the last nonzero coefficient coded
    for (uint64_t ac = nonzero_mask(block) & ~(uint64_t)1; ac; ac &= ac - 1) {
        int k = __builtin_ctzll(ac);
        if (!codable(block[k], 10, &bits, extended)) return 0;
        int run = k - last - 1;
        for (; run >= 16; run -= 16) ++counts->ac[0xF0];
        ++counts->ac[run << 4 | bits];
        last = k;
    }
    if (last < 63) ++counts->ac[0x00];
    return 1;
}

// One class of table: the DHT body part, and the table to code with.
static int put_table(const uint64_t *occurrences, int symbols, int table_class, unsigned char *body, uint32_t *size,
                     huffman_table *table) {
    unsigned char *out = body + *size;
    out[0] = (unsigned char)(table_class << 4);
    int n = optimal_huffman_table(occurrences, symbols, out + 1, out + 17);
    *size += 17 + (uint32_t)n;
    return build_huffman_table(table, out + 1, out + 17, (uint32_t)n, table_class == 0);
}

static void put_block(window_bits *sink, const int16_t *block, int16_t *previous_dc, const huffman_table *dc,
                      const huffman_table *ac) {
    int32_t difference = block[0] - *previous_dc;
    *previous_dc = block[0];
    int bits = value_bits(difference);
    window_put_bits(sink, dc->code[bits], dc->code_length[bits]);
    window_put_value(sink, difference, bits);
    int last = 0;
    for (uint64_t left = nonzero_mask(block) & ~(uint64_t)1; left; left &= left - 1) {
        int k = __builtin_ctzll(left);
        int run = k - last - 1;
        for (; run >= 16; run -= 16) window_put_bits(sink, ac->code[0xF0], ac->code_length[0xF0]);
        // The code and the value's bits together: at most 16 + 15 bits.
        bits = value_bits(block[k]);
        const int symbol = run << 4 | bits;
        window_put_bits(sink, (uint32_t)ac->code[symbol] << bits | value_field(block[k], bits),
                        ac->code_length[symbol] + bits);
        last = k;
    }
    if (last < 63) window_put_bits(sink, ac->code[0x00], ac->code_length[0x00]);
}

// The component's tables, its scan header and its blocks.
static int put_scan(jpeg_window *w, const frame_component *c, const symbol_counts *counts) {
    unsigned char body[2 * (17 + 256)];
    uint32_t size = 0;
    huffman_table dc, ac;
    if (!put_table(counts->dc, 16, 0, body, &size, &dc) || !put_table(counts->ac, 256, 1, body, &size, &ac)) return 0;
    const unsigned char header[6] = {1, (unsigned char)c->id, 0x00, 0, 63, 0};
    if (!window_put_segment(w, marker_dht, body, size) || !window_put_segment(w, marker_sos, header, sizeof header))
        return 0;
    int16_t previous_dc = 0;
    const size_t blocks = (size_t)c->keep_width * (size_t)c->keep_height;
    for (size_t i = 0; i < blocks; ++i) {
        if (!window_reserve(w, window_block_room)) return 0;
        window_bits sink = window_begin_block(w);
        put_block(&sink, c->kept + i * 64, &previous_dc, &dc, &ac);
        window_end_block(w, &sink);
    }
    return window_end_scan(w);
}

int write_sequential_window(jpeg_state *j) {
    jpeg_window *w = j->window;
    symbol_counts counts[4];
    memset(counts, 0, sizeof counts);
    int extended = j->quant_16_bit;
    for (int k = 0; k < j->components; ++k) {
        const frame_component *c = &j->component[k];
        int16_t previous_dc = 0;
        const size_t blocks = (size_t)c->keep_width * (size_t)c->keep_height;
        for (size_t i = 0; i < blocks; ++i)
            if (!count_block(c->kept + i * 64, &previous_dc, &counts[k], &extended)) return 0;
    }
    if (!window_put_segment(w, extended ? marker_sof1 : marker_sof0, j->frame, j->frame_length)) return 0;
    for (int k = 0; k < j->components; ++k)
        if (!put_scan(w, &j->component[k], &counts[k])) return 0;
    return 1;
}
