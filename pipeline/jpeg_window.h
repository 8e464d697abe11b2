// A JPEG of only the part of a photo that the crop reads, written while the
// intake walk decodes the photo's scans. It keeps the frame's sampling, its
// quantisation tables and the coefficients of every block in the part, cut
// at whole MCUs with one MCU to spare on each side, so that the decoder gives
// exactly the pixels there that it gives for the whole photo while it decodes,
// converts and stores a fraction of them. The blocks are Huffman-coded again.
// A sequential photo's as they are decoded: AC codes with the photo's own
// tables, DC differences, which change where blocks are left out, with one
// table that gives every bit count a 5-bit code. A progressive photo's once
// its scans are over, as one sequential scan per component with tables made
// for it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "pipeline/pixel_rect.h"

struct jpeg_window {
    unsigned char *data;  // one malloc block; null when the whole photo is to be decoded
    size_t size;
    size_t capacity;
    pixel_rect part;      // the part of the photo it holds
    uint64_t bits;                     // not yet written, in the low `count` bits
    int count;
};

// Frees the data; the window holds nothing afterwards.
void window_drop(jpeg_window *w);

// Room for `more` bytes; 0, and the window dropped, when there is none.
int window_grow(jpeg_window *w, size_t more);
static inline int window_reserve(jpeg_window *w, size_t more) {
    return w->capacity - w->size >= more || window_grow(w, more);
}

// Marker segments: the marker, the length field, the body.
int window_put_segment(jpeg_window *w, int marker, const unsigned char *body, uint32_t length);
int window_put_marker(jpeg_window *w, int marker);

// Entropy-coded data, a block at a time: the writer's state is copied into
// a record of the caller's own while the block is written, so that the bytes
// it stores cannot be taken for changes to that state. The caller reserves
// room first: 64 codes of up to 32 bits, stuffed, fit in 512 bytes, which is
// what one block can take.
enum { window_block_room = 512 };

struct window_bits {
    unsigned char *out;
    uint64_t bits;  // not yet written, in the low `count` bits
    int count;
};

static inline window_bits window_begin_block(const jpeg_window *w) {
    window_bits sink = {w->data + w->size, w->bits, w->count};
    return sink;
}

static inline void window_end_block(jpeg_window *w, const window_bits *sink) {
    w->size = (size_t)(sink->out - w->data);
    w->bits = sink->bits;
    w->count = sink->count;
}

// n from 0 to 32 bits, highest first, with a zero byte after every 0xFF.
static inline void window_put_bits(window_bits *sink, uint32_t value, int n) {
    sink->bits = sink->bits << n | value;
    sink->count += n;
    while (sink->count >= 8) {
        sink->count -= 8;
        unsigned char byte = (unsigned char)(sink->bits >> sink->count);
        *sink->out++ = byte;
        if (byte == 0xFF) *sink->out++ = 0;
    }
    sink->bits &= ((uint64_t)1 << sink->count) - 1;
}

// The bit count of a DC difference or AC value: the bits of its magnitude.
static inline int value_bits(int32_t value) {
    const uint32_t magnitude = (uint32_t)(value < 0 ? -value : value);
    return magnitude ? 32 - __builtin_clz(magnitude) : 0;
}

// The value as it stands in that many bits: a negative one as value + 2^bits − 1.
static inline uint32_t value_field(int32_t value, int bits) {
    return (uint32_t)(value < 0 ? value + (1 << bits) - 1 : value);
}

static inline void window_put_value(window_bits *sink, int32_t value, int bits) {
    if (bits) window_put_bits(sink, value_field(value, bits), bits);
}

// The end of a scan's data: the last byte filled up with 1 bits.
int window_end_scan(jpeg_window *w);
