// Buffered reading for intake's structural walks, which look at entropy-coded
// data byte by byte.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct byte_reader {
    FILE *file;
    size_t at;
    size_t end;
    unsigned char buffer[1 << 16];
};

// A 32-bit big-endian number, as PNG stores lengths and sizes.
static inline uint32_t big_endian_32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// The bytes buffered from `at`, reading more when there are none; 0 at the
// end of the file.
static inline size_t buffered_bytes(byte_reader *r) {
    if (r->at == r->end) {
        r->at = 0;
        r->end = fread(r->buffer, 1, sizeof r->buffer, r->file);
    }
    return r->end - r->at;
}

// The next byte, or -1 at the end of the file.
static inline int next_byte(byte_reader *r) {
    if (r->at == r->end && buffered_bytes(r) == 0) return -1;
    return r->buffer[r->at++];
}

// Skips `count` bytes; 0 when the file ends first.
static inline int skip_bytes(byte_reader *r, uint32_t count) {
    size_t buffered = r->end - r->at;
    if (count <= buffered) {
        r->at += count;
        return 1;
    }
    count -= (uint32_t)buffered;
    r->at = r->end = 0;
    if (fseek(r->file, (long)count - 1, SEEK_CUR) != 0) return 0;
    return next_byte(r) >= 0;
}

static inline int read_bytes(byte_reader *r, unsigned char *out, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        int c = next_byte(r);
        if (c < 0) return 0;
        out[k] = (unsigned char)c;
    }
    return 1;
}
