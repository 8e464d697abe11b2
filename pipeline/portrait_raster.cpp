// The exact resampling. This file must be compiled without fused multiply-add
// and without fast-math: every sum and product below is rounded on its own.
//
// What depends on the output column alone (source columns, fractions) is
// formed once per column, what depends on the row once per row, and the four
// weights once per pixel instead of once per channel. An opaque neighbour
// composites to its own value exactly ((v * 255) / 255.0 + 255.0 - 255.0 == v),
// so pixels whose four neighbours are opaque (every JPEG) skip the divisions
// and go two at a time through SSE2, one pixel per lane. Adding the first
// product to 0.0 is left out: it is exact for the non-negative products here.
// The result is byte-identical to forming everything inside the innermost loop.
#include "pipeline/portrait_raster.h"

#include <stddef.h>
#include <stdlib.h>

#include "platform/runtime.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The per-column values of one output row, in arrays of their own so that two
// neighbouring columns load as one vector.
struct column_table {
    alignas(16) double fraction[portrait_width];
    alignas(16) double rest[portrait_width];
    size_t near_offset[portrait_width];  // byte offset of the nearer source pixel in its row
    size_t far_offset[portrait_width];
};

struct row_sample {
    const unsigned char *top;     // source row y0
    const unsigned char *bottom;  // source row y1
    double fraction;
    double rest;
};

static inline double composite_on_white(int v, int a) {
    return (double)(v * a) / 255.0 + 255.0 - (double)a;
}

static inline unsigned char to_byte(double acc) {
    acc = acc + 0.5;
    if (!(acc < 255.0)) acc = 255.0;
    return (unsigned char)acc;
}

// One output pixel, any alpha.
static void scale_pixel(const row_sample *row, const column_table *columns, int32_t j, unsigned char *out) {
    const double w0 = row->rest * columns->rest[j];
    const double w1 = row->rest * columns->fraction[j];
    const double w2 = row->fraction * columns->rest[j];
    const double w3 = row->fraction * columns->fraction[j];
    const unsigned char *n0 = row->top + columns->near_offset[j];
    const unsigned char *n1 = row->top + columns->far_offset[j];
    const unsigned char *n2 = row->bottom + columns->near_offset[j];
    const unsigned char *n3 = row->bottom + columns->far_offset[j];
    if ((n0[3] & n1[3] & n2[3] & n3[3]) == 255) {
        for (int c = 0; c < 3; ++c) {
            double acc = (double)n0[c] * w0;
            acc = acc + (double)n1[c] * w1;
            acc = acc + (double)n2[c] * w2;
            acc = acc + (double)n3[c] * w3;
            out[c] = to_byte(acc);
        }
        return;
    }
    for (int c = 0; c < 3; ++c) {
        double acc = composite_on_white(n0[c], n0[3]) * w0;
        acc = acc + composite_on_white(n1[c], n1[3]) * w1;
        acc = acc + composite_on_white(n2[c], n2[3]) * w2;
        acc = acc + composite_on_white(n3[c], n3[3]) * w3;
        out[c] = to_byte(acc);
    }
}

#ifdef __SSE2__
// Every byte as a double: a load instead of a conversion.
struct byte_values {
    double of[256];
    constexpr byte_values() : of() {
        for (int v = 0; v < 256; ++v) of[v] = (double)v;
    }
};
static constexpr byte_values byte_value_table;
static const double *const byte_value = byte_value_table.of;

// Output pixels j and j + 1, both with four opaque neighbours; 0 if not.
static int scale_opaque_pair(const row_sample *row, const column_table *columns, int32_t j, unsigned char *out) {
    const unsigned char *a[4] = {row->top + columns->near_offset[j], row->top + columns->far_offset[j],
                                 row->bottom + columns->near_offset[j], row->bottom + columns->far_offset[j]};
    const unsigned char *b[4] = {row->top + columns->near_offset[j + 1], row->top + columns->far_offset[j + 1],
                                 row->bottom + columns->near_offset[j + 1], row->bottom + columns->far_offset[j + 1]};
    if ((a[0][3] & a[1][3] & a[2][3] & a[3][3] & b[0][3] & b[1][3] & b[2][3] & b[3][3]) != 255) return 0;

    const __m128d column_rest = _mm_load_pd(&columns->rest[j]);
    const __m128d column_fraction = _mm_load_pd(&columns->fraction[j]);
    const __m128d row_rest = _mm_set1_pd(row->rest);
    const __m128d row_fraction = _mm_set1_pd(row->fraction);
    const __m128d w[4] = {_mm_mul_pd(row_rest, column_rest), _mm_mul_pd(row_rest, column_fraction),
                          _mm_mul_pd(row_fraction, column_rest), _mm_mul_pd(row_fraction, column_fraction)};
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d top = _mm_set1_pd(255.0);
    for (int c = 0; c < 3; ++c) {
        __m128d acc = _mm_mul_pd(_mm_setr_pd(byte_value[a[0][c]], byte_value[b[0][c]]), w[0]);
        for (int k = 1; k < 4; ++k)
            acc = _mm_add_pd(acc, _mm_mul_pd(_mm_setr_pd(byte_value[a[k][c]], byte_value[b[k][c]]), w[k]));
        acc = _mm_min_pd(_mm_add_pd(acc, half), top);
        __m128i bytes = _mm_cvttpd_epi32(acc);
        out[c] = (unsigned char)_mm_cvtsi128_si32(bytes);
        out[3 + c] = (unsigned char)_mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
    }
    return 1;
}
#endif

portrait_raster crop_and_scale(const source_image *image) {
    portrait_raster raster;
    raster.pixels = (unsigned char *)large_block_malloc(portrait_bytes);
    if (!raster.pixels) return raster;

    const int32_t width = image->width;
    const int32_t height = image->height;
    const crop_geometry g = crop_geometry_of(width, height);

    column_table columns;
    for (int32_t j = 0; j < portrait_width; ++j) {
        int32_t near_index, far_index;
        double fraction = crop_sample(j, g.scale, g.offset_x, width, &near_index, &far_index);
        columns.fraction[j] = fraction;
        columns.rest[j] = 1.0 - fraction;
        columns.near_offset[j] = (size_t)(near_index - image->held.left) * 4;
        columns.far_offset[j] = (size_t)(far_index - image->held.left) * 4;
    }

    for (int32_t i = 0; i < portrait_height; ++i) {
        int32_t near_index, far_index;
        row_sample row;
        row.fraction = crop_sample(i, g.scale, g.offset_y, height, &near_index, &far_index);
        row.rest = 1.0 - row.fraction;
        row.top = source_pixel(image, image->held.left, near_index);
        row.bottom = source_pixel(image, image->held.left, far_index);
        unsigned char *out = raster.pixels + (size_t)i * portrait_stride;
        for (int32_t j = 0; j < portrait_width; j += 2, out += 6) {
#ifdef __SSE2__
            if (scale_opaque_pair(&row, &columns, j, out)) continue;
#endif
            scale_pixel(&row, &columns, j, out);
            scale_pixel(&row, &columns, j + 1, out + 3);
        }
    }
    return raster;
}
