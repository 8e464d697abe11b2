#include "pipeline/png/rows.h"

#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The predictor: of the left, upper and upper-left neighbours, the one
// nearest to left + upper − upper left, in that order of preference.
static inline int paeth(int a, int b, int c) {
    const int pa = abs(b - c), pb = abs(a - c), pc = abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Each filter as its own loop, the first pixel's bytes (which have no left
// neighbour) apart, and the first row (no row above: all zero) apart.
void png_unfilter_plain(const png_format *f, int type, unsigned char *row, const unsigned char *prior, size_t length) {
    const size_t n = length, bpp = (size_t)f->pixel_bytes < n ? (size_t)f->pixel_bytes : n;
    switch (type) {
    case 1:
        for (size_t i = bpp; i < n; ++i) row[i] = (unsigned char)(row[i] + row[i - bpp]);
        break;
    case 2:
        if (prior)
            for (size_t i = 0; i < n; ++i) row[i] = (unsigned char)(row[i] + prior[i]);
        break;
    case 3:
        if (prior) {
            for (size_t i = 0; i < bpp; ++i) row[i] = (unsigned char)(row[i] + (prior[i] >> 1));
            for (size_t i = bpp; i < n; ++i) row[i] = (unsigned char)(row[i] + ((row[i - bpp] + prior[i]) >> 1));
        } else {
            for (size_t i = bpp; i < n; ++i) row[i] = (unsigned char)(row[i] + (row[i - bpp] >> 1));
        }
        break;
    case 4:
        if (prior) {
            for (size_t i = 0; i < bpp; ++i) row[i] = (unsigned char)(row[i] + prior[i]);
            for (size_t i = bpp; i < n; ++i)
                row[i] = (unsigned char)(row[i] + paeth(row[i - bpp], prior[i], prior[i - bpp]));
        } else {
            for (size_t i = bpp; i < n; ++i) row[i] = (unsigned char)(row[i] + row[i - bpp]);
        }
        break;
    default:
        break;
    }
}

#if defined(__SSE2__)
// Paeth a pixel at a time: its 3 to 8 bytes side by side in 16-bit lanes,
// the same comparisons in the same order of preference as above. A pixel is
// put together and taken apart in general registers: a byte copy through
// memory would make each pixel wait for the store of the one before.
static inline __attribute__((always_inline)) uint64_t load_bytes(const unsigned char *p, size_t bpp) {
    uint32_t low = 0, high = 0;
    if (bpp >= 4) {
        memcpy(&low, p, 4);
        if (bpp == 8) memcpy(&high, p + 4, 4);
        if (bpp == 6) { uint16_t h; memcpy(&h, p + 4, 2); high = h; }
    } else {
        uint16_t l;
        memcpy(&l, p, 2);
        low = (uint32_t)l | (uint32_t)p[2] << 16;
    }
    return (uint64_t)high << 32 | low;
}

static inline __attribute__((always_inline)) void store_bytes(unsigned char *p, uint64_t v, size_t bpp) {
    const uint32_t low = (uint32_t)v, high = (uint32_t)(v >> 32);
    if (bpp >= 4) {
        memcpy(p, &low, 4);
        if (bpp == 8) memcpy(p + 4, &high, 4);
        if (bpp == 6) { const uint16_t h = (uint16_t)high; memcpy(p + 4, &h, 2); }
    } else {
        const uint16_t l = (uint16_t)low;
        memcpy(p, &l, 2);
        p[2] = (unsigned char)(low >> 16);
    }
}

static inline __attribute__((always_inline)) __m128i load_pixel(const unsigned char *p, size_t bpp) {
    return _mm_unpacklo_epi8(_mm_cvtsi64_si128((long long)load_bytes(p, bpp)), _mm_setzero_si128());
}

static inline __attribute__((always_inline)) void store_pixel(unsigned char *p, __m128i v, size_t bpp) {
    store_bytes(p, (uint64_t)_mm_cvtsi128_si64(_mm_packus_epi16(v, v)), bpp);
}

static inline __m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

static inline __attribute__((always_inline)) void paeth_by_pixel(unsigned char *row, const unsigned char *prior,
                                                                  size_t n, size_t bpp) {
    // Each pixel waits for the one to its left, so what depends only on the
    // row above (b − c, and |b − c|) is worked out beside that chain, and
    // a + b − 2c is taken as (b − c) + (a − c).
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    for (size_t i = 0; i + bpp <= n; i += bpp) {
        const __m128i b = load_pixel(prior + i, bpp), x = load_pixel(row + i, bpp);
        const __m128i b_c = _mm_sub_epi16(b, c), pa = abs16(b_c);
        const __m128i a_c = _mm_sub_epi16(a, c);
        const __m128i pb = abs16(a_c), pc = abs16(_mm_add_epi16(b_c, a_c));
        const __m128i not_a = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));  // pa > pb or pa > pc
        const __m128i use_c = _mm_cmpgt_epi16(pb, pc);
        const __m128i b_or_c = _mm_or_si128(_mm_and_si128(use_c, c), _mm_andnot_si128(use_c, b));
        const __m128i nearest = _mm_or_si128(_mm_and_si128(not_a, b_or_c), _mm_andnot_si128(not_a, a));
        // Both high bytes are zero, so a byte-wise add is the sum modulo 256.
        a = _mm_add_epi8(x, nearest);
        store_pixel(row + i, a, bpp);
        c = b;
    }
}
#endif

void png_unfilter(const png_format *f, int type, unsigned char *row, const unsigned char *prior, size_t length) {
#if defined(__SSE2__)
    const size_t bpp = (size_t)f->pixel_bytes;
    if (type == 4 && prior && bpp >= 3 && length % bpp == 0) {
        // A constant pixel size for each, so that its loads and stores are
        // single moves.
        switch (bpp) {
        case 3: paeth_by_pixel(row, prior, length, 3); return;
        case 4: paeth_by_pixel(row, prior, length, 4); return;
        case 6: paeth_by_pixel(row, prior, length, 6); return;
        case 8: paeth_by_pixel(row, prior, length, 8); return;
        default: break;
        }
    }
#endif
    png_unfilter_plain(f, type, row, prior, length);
}

// Sample k of the row (0-based, pixel by pixel, channel by channel), at the
// file's depth: below 8 bits packed from the high bits down, 16 big-endian.
static inline uint32_t sample(const png_format *f, const unsigned char *row, size_t k) {
    switch (f->depth) {
    case 16:
        return (uint32_t)row[2 * k] << 8 | row[2 * k + 1];
    case 8:
        return row[k];
    default: {
        const size_t bit = k * (size_t)f->depth;
        return (uint32_t)(row[bit / 8] >> (8 - f->depth - (int)(bit % 8))) & ((1u << f->depth) - 1);
    }
    }
}

int png_indices_fit(const png_format *f, const unsigned char *row, uint32_t count) {
    if (f->depth == 8) {
        unsigned char most = 0;
        for (uint32_t x = 0; x < count; ++x) most = row[x] > most ? row[x] : most;
        return most < f->palette_length;
    }
    for (uint32_t x = 0; x < count; ++x)
        if ((int)sample(f, row, x) >= f->palette_length) return 0;
    return 1;
}

int png_row_to_rgba(const png_format *f, const unsigned char *row, uint32_t first, uint32_t count, unsigned char *out) {
    const int wide = f->depth == 16;
    // RGB and RGBA without a transparent colour, as photos come: the bytes
    // (the high ones at 16 bits) straight across.
    if ((f->color == 2 || f->color == 6) && !f->transparent) {
        const int step = f->channels * (wide ? 2 : 1), high = wide ? 2 : 1;
        const unsigned char *in = row + (size_t)first * (size_t)step;
        for (uint32_t x = 0; x < count; ++x, in += step, out += 4) {
            out[0] = in[0];
            out[1] = in[high];
            out[2] = in[2 * high];
            out[3] = f->color == 6 ? in[3 * high] : 255;
        }
        return 1;
    }
    for (uint32_t x = first; x < first + count; ++x, out += 4) {
        const size_t k = (size_t)x * (size_t)f->channels;
        if (f->color == 3) {
            uint32_t index = sample(f, row, k);
            if ((int)index >= f->palette_length) return 0;
            for (int c = 0; c < 4; ++c) out[c] = f->palette[index * 4 + (uint32_t)c];
            continue;
        }
        uint32_t v[4];
        for (int c = 0; c < f->channels; ++c) v[c] = sample(f, row, k + (size_t)c);
        // The transparent colour is compared at full depth, 8-bit and
        // smaller samples after grey is scaled to 8 bits.
        unsigned char alpha = 255;
        if (f->color == 0 || f->color == 4) {
            uint32_t grey = wide ? v[0] >> 8 : (uint8_t)(v[0] * png_grey_scale(f->depth));
            if (f->transparent && (wide ? v[0] == f->key16[0] : grey == f->key8[0])) alpha = 0;
            if (f->color == 4) alpha = (unsigned char)(wide ? v[1] >> 8 : v[1]);
            out[0] = out[1] = out[2] = (unsigned char)grey;
        } else {
            if (f->transparent) {
                int same = 1;
                for (int c = 0; c < 3; ++c) same &= wide ? v[c] == f->key16[c] : v[c] == f->key8[c];
                if (same) alpha = 0;
            }
            for (int c = 0; c < 3; ++c) out[c] = (unsigned char)(wide ? v[c] >> 8 : v[c]);
            if (f->color == 6) alpha = (unsigned char)(wide ? v[3] >> 8 : v[3]);
        }
        out[3] = alpha;
    }
    return 1;
}
