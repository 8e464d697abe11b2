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

// What the segments so far have defined, as the decoder will use it.
struct jpeg_tables {
    int huffman_defined[2][4];  // [DC, AC][table id]
    int quant_defined[4];
    int progressive;
    int components;              // in the frame header; 0 before it
    int component_id[4];
    int component_quant[4];
};

// A DHT segment's tables. stb_image 2.27 writes past its 257-entry size list
// when the sixteen counts of one table add up to more than 256.
static int read_huffman_tables(byte_reader *r, uint32_t length, jpeg_tables *t) {
    while (length > 0) {
        unsigned char head[17];
        if (length < 17 || !read_bytes(r, head, 17)) return 0;
        int table_class = head[0] >> 4;
        int id = head[0] & 15;
        if (table_class > 1 || id > 3) return 0;
        uint32_t symbols = 0;
        for (int k = 1; k <= 16; ++k) symbols += head[k];
        if (symbols > 256 || length - 17 < symbols) return 0;
        if (!skip_bytes(r, symbols)) return 0;
        length -= 17 + symbols;
        t->huffman_defined[table_class][id] = 1;
    }
    return 1;
}

static int read_quant_tables(byte_reader *r, uint32_t length, jpeg_tables *t) {
    while (length > 0) {
        int head = next_byte(r);
        if (head < 0) return 0;
        uint32_t size = (head >> 4) ? 128 : 64;
        if ((head & 15) > 3 || length < 1 + size || !skip_bytes(r, size)) return 0;
        t->quant_defined[head & 15] = 1;
        length -= 1 + size;
    }
    return 1;
}

static int read_frame_header(byte_reader *r, uint32_t length, int marker, jpeg_tables *t) {
    unsigned char head[6];
    if (t->components || length < 6 || !read_bytes(r, head, 6)) return 0;
    int count = head[5];
    if (count < 1 || count > 4 || length != 6 + 3 * (uint32_t)count) return 0;
    for (int k = 0; k < count; ++k) {
        unsigned char component[3];
        if (!read_bytes(r, component, 3)) return 0;
        if (component[2] > 3) return 0;  // the decoder refuses such a table id too
        t->component_id[k] = component[0];
        t->component_quant[k] = component[2];
    }
    t->components = count;
    t->progressive = marker == 0xC2;
    return 1;
}

// stb_image 2.27 leaves its Huffman and quantisation tables uninitialised
// until a segment defines them, and indexes with what it finds there: a scan
// may only use tables that are defined by then.
static int read_scan_header(byte_reader *r, uint32_t length, const jpeg_tables *t) {
    unsigned char head[1 + 4 * 2 + 3];
    int count = next_byte(r);
    if (!t->components || count < 1 || count > 4 || length != 4 + 2 * (uint32_t)count) return 0;
    if (!read_bytes(r, head, 2 * (size_t)count + 3)) return 0;
    int spectral_start = head[2 * count];
    int approximation_high = head[2 * count + 2] >> 4;
    int needs_dc = !t->progressive || (spectral_start == 0 && approximation_high == 0);
    int needs_ac = !t->progressive || spectral_start > 0;
    for (int k = 0; k < count; ++k) {
        int frame_index = -1;
        for (int f = 0; f < t->components; ++f)
            if (t->component_id[f] == head[2 * k]) frame_index = f;
        if (frame_index < 0 || !t->quant_defined[t->component_quant[frame_index]]) return 0;
        int dc = head[2 * k + 1] >> 4, ac = head[2 * k + 1] & 15;
        if (dc > 3 || ac > 3) return 0;
        if (needs_dc && !t->huffman_defined[0][dc]) return 0;
        if (needs_ac && !t->huffman_defined[1][ac]) return 0;
    }
    return 1;
}

// After SOI. stb_image 2.27 returns a picture of uninitialised memory for a
// JPEG that reaches its end marker without any scan, so one is required.
static int jpeg_is_sound(byte_reader *r) {
    jpeg_tables tables;
    memset(&tables, 0, sizeof tables);
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
        int sound;
        if (c == 0xC4) {
            sound = read_huffman_tables(r, length, &tables);
        } else if (c == 0xDB) {
            sound = read_quant_tables(r, length, &tables);
        } else if (c == 0xC0 || c == 0xC1 || c == 0xC2) {
            sound = read_frame_header(r, length, c, &tables);
        } else if (c == 0xDA) {
            sound = read_scan_header(r, length, &tables);
            had_scan = in_scan = 1;
        } else {
            sound = skip_bytes(r, length);
        }
        if (!sound) return 0;
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
