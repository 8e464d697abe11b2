// The JPEG walk follows the marker segments and the entropy-coded data to the
// end marker; the PNG walk follows the chunks to IEND. Reading is buffered
// here, since entropy-coded data is looked at byte by byte.
#include "pipeline/file_structure.h"

#include <stdint.h>
#include <string.h>

struct byte_reader {
    FILE *file;
    size_t at;
    size_t end;
    unsigned char buffer[1 << 16];
};

// The next byte, or -1 at the end of the file.
static int next_byte(byte_reader *r) {
    if (r->at == r->end) {
        r->at = 0;
        r->end = fread(r->buffer, 1, sizeof r->buffer, r->file);
        if (r->end == 0) return -1;
    }
    return r->buffer[r->at++];
}

// Skips `count` bytes; 0 when the file ends first.
static int skip_bytes(byte_reader *r, uint32_t count) {
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

static int read_bytes(byte_reader *r, unsigned char *out, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        int c = next_byte(r);
        if (c < 0) return 0;
        out[k] = (unsigned char)c;
    }
    return 1;
}

// A DHT segment's tables. stb_image 2.27 writes past its 257-entry size list
// when the sixteen counts of one table add up to more than 256.
static int huffman_tables_fit(byte_reader *r, uint32_t length) {
    while (length > 0) {
        unsigned char head[17];
        if (length < 17 || !read_bytes(r, head, 17)) return 0;
        uint32_t symbols = 0;
        for (int k = 1; k <= 16; ++k) symbols += head[k];
        if (symbols > 256 || length - 17 < symbols) return 0;
        if (!skip_bytes(r, symbols)) return 0;
        length -= 17 + symbols;
    }
    return 1;
}

// After SOI. stb_image 2.27 returns a picture of uninitialised memory for a
// JPEG that reaches its end marker without any scan, so one is required.
static int jpeg_is_sound(byte_reader *r) {
    int had_scan = 0;
    int in_scan = 0;
    for (;;) {
        int c = next_byte(r);
        if (in_scan) {
            // Entropy-coded data: 0xFF 0x00 is a data byte, RSTn belongs to the scan.
            while (c >= 0 && c != 0xFF) c = next_byte(r);
            while (c == 0xFF) c = next_byte(r);
            if (c == 0x00 || (c >= 0xD0 && c <= 0xD7)) continue;
        } else {
            while (c >= 0 && c != 0xFF) c = next_byte(r);
            while (c == 0xFF) c = next_byte(r);
        }
        if (c < 0) return 0;
        in_scan = 0;
        if (c == 0xD9) return had_scan;
        if (c == 0x01 || (c >= 0xD0 && c <= 0xD7) || c == 0x00) continue;
        int high = next_byte(r);
        int low = next_byte(r);
        if (high < 0 || low < 0) return 0;
        uint32_t length = (uint32_t)(high << 8 | low);
        if (length < 2) return 0;
        length -= 2;
        if (c == 0xC4) {
            if (!huffman_tables_fit(r, length)) return 0;
        } else if (!skip_bytes(r, length)) {
            return 0;
        }
        if (c == 0xDA) had_scan = in_scan = 1;
    }
}

// After the signature. stb_image 2.27 stops reading at the type of IEND, so a
// PNG cut off inside that chunk would be read.
static int png_is_sound(byte_reader *r) {
    for (;;) {
        unsigned char head[8];
        if (!read_bytes(r, head, 8)) return 0;
        uint32_t length = (uint32_t)head[0] << 24 | (uint32_t)head[1] << 16 | (uint32_t)head[2] << 8 | head[3];
        if (length > 0x7FFFFFF0u) return 0;  // the decoder refuses such a chunk too
        if (!skip_bytes(r, length + 4)) return 0;
        if (memcmp(head + 4, "IEND", 4) == 0) return 1;
    }
}

int file_structure_is_sound(FILE *file) {
    static const unsigned char png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    byte_reader reader;
    reader.file = file;
    reader.at = reader.end = 0;
    unsigned char start[8];
    if (!read_bytes(&reader, start, 2)) return 0;
    if (start[0] == 0xFF && start[1] == 0xD8) return jpeg_is_sound(&reader);
    if (!read_bytes(&reader, start + 2, 6) || memcmp(start, png_signature, 8) != 0) return 0;
    return png_is_sound(&reader);
}
