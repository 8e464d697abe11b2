// A PNG's rows as the decoder makes them: the filter undone, then the
// samples turned into 8-bit RGBA exactly as stb_image 2.27 turns them.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct png_format {
    uint32_t width, height;
    int depth;     // 1, 2, 4, 8 or 16
    int color;     // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    int channels;  // samples a pixel: 1, 3, 1, 2, 4
    int interlaced;  // Adam7
    size_t row_bytes;  // filtered data of one row, the filter type byte left out
    int pixel_bytes;   // what filters reach back over: at least 1
    unsigned char palette[256 * 4];  // R, G, B, A; A 255 unless tRNS says otherwise
    int palette_length;
    int transparent;          // grey or RGB with a tRNS colour
    uint8_t key8[3];          // that colour as the decoder compares 8-bit and smaller samples
    uint16_t key16[3];        // and 16-bit ones
};

// What grey samples of `depth` bits are multiplied by to reach 0 to 255.
static inline uint8_t png_grey_scale(int depth) {
    return depth == 1 ? 0xFF : depth == 2 ? 0x55 : depth == 4 ? 0x11 : 1;
}

// Undoes filter `type` (at most 4) on the first `length` bytes of `row`,
// given the row before it after the same (null for the first row). A byte
// depends only on bytes to its left and above, so a row's bytes past those
// the crop reads can stay filtered.
void png_unfilter(const png_format *f, int type, unsigned char *row, const unsigned char *prior, size_t length);

// The same a byte at a time, which png_unfilter gives exactly where it takes
// a pixel at a time (the Paeth filter of pixels of 3 bytes or more).
void png_unfilter_plain(const png_format *f, int type, unsigned char *row, const unsigned char *prior, size_t length);

// Pixels `first` to `first + count` − 1 of an unfiltered row as RGBA into
// `out`; 0 when a palette index lies beyond the palette, whose entries the
// decoder then reads from memory it never set.
// 1 when each of the `count` palette indices of an unfiltered row lies in
// the palette.
int png_indices_fit(const png_format *f, const unsigned char *row, uint32_t count);

int png_row_to_rgba(const png_format *f, const unsigned char *row, uint32_t first, uint32_t count, unsigned char *out);
