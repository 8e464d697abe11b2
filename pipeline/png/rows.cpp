#include "pipeline/png/rows.h"

#include <stdlib.h>

static int paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

void png_unfilter(const png_format *f, int type, unsigned char *row, const unsigned char *prior) {
    const size_t n = f->row_bytes, bpp = (size_t)f->pixel_bytes;
    switch (type) {
    case 1:
        for (size_t i = bpp; i < n; ++i) row[i] = (unsigned char)(row[i] + row[i - bpp]);
        break;
    case 2:
        if (prior)
            for (size_t i = 0; i < n; ++i) row[i] = (unsigned char)(row[i] + prior[i]);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i) {
            int left = i >= bpp ? row[i - bpp] : 0, up = prior ? prior[i] : 0;
            row[i] = (unsigned char)(row[i] + ((left + up) >> 1));
        }
        break;
    case 4:
        for (size_t i = 0; i < n; ++i) {
            int left = i >= bpp ? row[i - bpp] : 0, up = prior ? prior[i] : 0;
            int corner = prior && i >= bpp ? prior[i - bpp] : 0;
            row[i] = (unsigned char)(row[i] + paeth(left, up, corner));
        }
        break;
    default:
        break;
    }
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

int png_row_to_rgba(const png_format *f, const unsigned char *row, uint32_t first, uint32_t count, unsigned char *out) {
    static const uint8_t grey_scale[17] = {0, 0xFF, 0x55, 0, 0x11, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    const int wide = f->depth == 16;
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
            uint32_t grey = wide ? v[0] >> 8 : (uint8_t)(v[0] * grey_scale[f->depth]);
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
