// The JPEG walk. stb_image 2.27 trusts a file in ways that make it write past
// a table, read tables or planes nothing filled, or shift by more than the
// width of an int when a scan's data ends before its last block. So every marker
// segment is checked, and every scan's entropy-coded data is decoded code by
// code into exactly the blocks the frame needs (no dequantising, no IDCT;
// only the DC values and which coefficients are nonzero are kept). For a
// sequential JPEG the same pass writes the crop's window (jpeg_window.h).
#include "pipeline/jpeg_structure.h"

#include <stdlib.h>
#include <string.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/source_image.h"

struct huffman_table {
    int defined;
    uint16_t fast[512];   // length << 8 | symbol for the codes of up to 9 bits; 0: none
    int32_t maxcode[17];  // the largest code of each length; -1: no code of that length
    int32_t mincode[17];
    int32_t first[17];    // index into values of each length's first code
    uint8_t values[256];
    uint16_t code[256];  // each symbol's code and its length, to write AC codes again
    uint8_t code_length[256];
};

struct frame_component {
    int id, h, v, quant;
    int grid_width, grid_height;  // in blocks, padded to whole MCUs
    int scanned;                  // a scan has given its blocks (their DC values, when progressive)
    uint64_t *nonzero;            // progressive: bit k set when coefficient k (zigzag) is nonzero
    int32_t dc_value;             // the DC value of the last block read, as the decoder predicts it
    int32_t dc_written;           // the same for the last block written into the window
    int keep_x, keep_y, keep_width, keep_height;  // the window's blocks in a scan of this component alone
};

struct jpeg_state {
    huffman_table huffman[2][4];  // [DC, AC][id]
    int quant_defined[4];
    uint32_t restart_interval;
    int components;  // in the frame header; 0 before it
    int progressive;
    int width, height, hmax, vmax, mcux, mcuy;
    frame_component component[4];
    uint64_t blocks_left;  // what all scans together may still decode
    jpeg_window *window;   // null when no window is being written
    int mcu_left, mcu_top, mcu_right, mcu_bottom;  // the window's MCUs, the last two not included
    unsigned char segment[65535];                  // the body of the marker segment being read
};

// stb_image 2.27 adds DC differences up in an int and multiplies the sum by a
// quantisation value of up to 65535, with no check: sums beyond this would
// overflow. Real DC values stay within ±2048.
enum { dc_value_limit = 32768 };

// A progressive JPEG may go over its blocks in as many scans as it likes, and
// the decoder follows; a few kilobytes of scans over a large frame would keep
// it busy for minutes. Real files pass over each block some ten times.
enum { block_passes_allowed = 100 };

struct bit_reader {
    byte_reader *bytes;
    uint64_t bits;  // left-aligned
    int count;
    int marker;  // the marker that ended the data, -1 at the end of the file, 0 before either
};

// ---- marker segments ----

static int build_huffman_table(huffman_table *h, const unsigned char *counts, const unsigned char *values,
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

static void give_up_window(jpeg_state *j) {
    if (!j->window) return;
    window_drop(j->window);
    j->window = NULL;
}

// stb_image 2.27 writes past its 257-entry size list when the sixteen counts
// of one table add up to more than 256. In the window every DC table becomes
// the one that codes bit count t as the 5-bit code t.
static int read_huffman_tables(const unsigned char *p, uint32_t length, jpeg_state *j) {
    unsigned char out[4 * (17 + 256)];  // room for four tables; more are written as further segments
    uint32_t written = 0;
    while (length > 0) {
        if (length < 17) return 0;
        int table_class = p[0] >> 4;
        int id = p[0] & 15;
        if (table_class > 1 || id > 3) return 0;
        uint32_t symbols = 0;
        for (int k = 1; k <= 16; ++k) symbols += p[k];
        if (symbols > 256 || length - 17 < symbols) return 0;
        if (!build_huffman_table(&j->huffman[table_class][id], p + 1, p + 17, symbols, table_class == 0)) return 0;
        if (j->window) {
            if (written + 17 + 256 > sizeof out) {
                if (!window_put_segment(j->window, 0xC4, out, written)) j->window = NULL;
                written = 0;
            }
            if (table_class == 0) {
                out[written] = p[0];
                memset(out + written + 1, 0, 16);
                out[written + 5] = 16;
                for (int t = 0; t < 16; ++t) out[written + 17 + t] = (unsigned char)t;
                written += 17 + 16;
            } else {
                memcpy(out + written, p, 17 + symbols);
                written += 17 + symbols;
            }
        }
        p += 17 + symbols;
        length -= 17 + symbols;
    }
    if (j->window && written && !window_put_segment(j->window, 0xC4, out, written)) j->window = NULL;
    return 1;
}

static int read_quant_tables(const unsigned char *p, uint32_t length, jpeg_state *j) {
    if (j->window && !window_put_segment(j->window, 0xDB, p, length)) j->window = NULL;
    while (length > 0) {
        uint32_t size = (p[0] >> 4) ? 128 : 64;
        if ((p[0] & 15) > 3 || length < 1 + size) return 0;
        j->quant_defined[p[0] & 15] = 1;
        p += 1 + size;
        length -= 1 + size;
    }
    return 1;
}

// The window has no restart markers: it is not written.
static int read_restart_interval(const unsigned char *p, uint32_t length, jpeg_state *j) {
    if (length != 2) return 0;
    j->restart_interval = (uint32_t)(p[0] << 8 | p[1]);
    return 1;
}

// Whole MCUs around what the crop reads, with one to spare on each side: the
// decoder's chroma upsampling blends each sample with the next one on either
// side, and treats the edge of the picture apart. No window when it would be the frame.
static void choose_window(jpeg_state *j, int marker) {
    jpeg_window *w = j->window;
    if (!w) return;
    if (marker == 0xC2) {
        give_up_window(j);
        return;
    }
    crop_span columns, rows;
    crop_reach(j->width, j->height, &columns, &rows);
    const int mcu_width = 8 * j->hmax, mcu_height = 8 * j->vmax;
    j->mcu_left = columns.first / mcu_width - 1 > 0 ? columns.first / mcu_width - 1 : 0;
    j->mcu_top = rows.first / mcu_height - 1 > 0 ? rows.first / mcu_height - 1 : 0;
    j->mcu_right = columns.last / mcu_width + 2 < j->mcux ? columns.last / mcu_width + 2 : j->mcux;
    j->mcu_bottom = rows.last / mcu_height + 2 < j->mcuy ? rows.last / mcu_height + 2 : j->mcuy;
    if (j->mcu_left == 0 && j->mcu_top == 0 && j->mcu_right == j->mcux && j->mcu_bottom == j->mcuy) {
        give_up_window(j);
        return;
    }
    w->left = j->mcu_left * mcu_width;
    w->top = j->mcu_top * mcu_height;
    w->width = (j->mcu_right * mcu_width < j->width ? j->mcu_right * mcu_width : j->width) - w->left;
    w->height = (j->mcu_bottom * mcu_height < j->height ? j->mcu_bottom * mcu_height : j->height) - w->top;
    for (int k = 0; k < j->components; ++k) {
        frame_component *fc = &j->component[k];
        fc->keep_x = j->mcu_left * fc->h;
        fc->keep_y = j->mcu_top * fc->v;
        fc->keep_width = ((w->width * fc->h + j->hmax - 1) / j->hmax + 7) / 8;
        fc->keep_height = ((w->height * fc->v + j->vmax - 1) / j->vmax + 7) / 8;
    }
}

static int read_frame_header(const unsigned char *p, uint32_t length, int marker, jpeg_state *j) {
    if (j->components || length < 6) return 0;
    int count = p[5];
    if (count < 1 || count > 4 || length != 6 + 3 * (uint32_t)count) return 0;
    j->height = p[1] << 8 | p[2];
    j->width = p[3] << 8 | p[4];
    // The size limits, already here: the walk goes over every block.
    if (j->width < 1 || j->height < 1 || j->width > source_side_limit || j->height > source_side_limit) return 0;
    if ((int64_t)j->width * j->height > source_pixel_limit) return 0;
    j->hmax = j->vmax = 1;
    for (int k = 0; k < count; ++k) {
        const unsigned char *c = p + 6 + 3 * k;
        frame_component *fc = &j->component[k];
        fc->id = c[0];
        fc->h = c[1] >> 4;
        fc->v = c[1] & 15;
        fc->quant = c[2];
        if (fc->h < 1 || fc->h > 4 || fc->v < 1 || fc->v > 4 || fc->quant > 3) return 0;
        if (fc->h > j->hmax) j->hmax = fc->h;
        if (fc->v > j->vmax) j->vmax = fc->v;
    }
    j->mcux = (j->width + 8 * j->hmax - 1) / (8 * j->hmax);
    j->mcuy = (j->height + 8 * j->vmax - 1) / (8 * j->vmax);
    uint64_t blocks = 0;
    for (int k = 0; k < count; ++k) {
        frame_component *fc = &j->component[k];
        fc->grid_width = j->mcux * fc->h;
        fc->grid_height = j->mcuy * fc->v;
        blocks += (uint64_t)fc->grid_width * (uint64_t)fc->grid_height;
    }
    j->components = count;
    j->progressive = marker == 0xC2;
    j->blocks_left = blocks * block_passes_allowed;

    choose_window(j, marker);
    if (j->window) {
        unsigned char header[6 + 3 * 4];
        memcpy(header, p, length);
        header[1] = (unsigned char)(j->window->height >> 8);
        header[2] = (unsigned char)j->window->height;
        header[3] = (unsigned char)(j->window->width >> 8);
        header[4] = (unsigned char)j->window->width;
        if (!window_put_segment(j->window, marker, header, length)) j->window = NULL;
    }
    return 1;
}

// ---- entropy-coded data ----

static void fill_bits(bit_reader *b) {
    while (b->count <= 56 && !b->marker) {
        int c = next_byte(b->bytes);
        if (c < 0) {
            b->marker = -1;
            return;
        }
        if (c == 0xFF) {
            int d = next_byte(b->bytes);
            while (d == 0xFF) d = next_byte(b->bytes);
            if (d != 0) {
                b->marker = d < 0 ? -1 : d;
                return;
            }
        }
        b->bits |= (uint64_t)c << (56 - b->count);
        b->count += 8;
    }
}

// n from 0 to 16 bits; 0 when the data ends first.
static int take_bits(bit_reader *b, int n, uint32_t *value) {
    if (n == 0) {
        *value = 0;
        return 1;
    }
    if (b->count < n) {
        fill_bits(b);
        if (b->count < n) return 0;
    }
    *value = (uint32_t)(b->bits >> (64 - n));
    b->bits <<= n;
    b->count -= n;
    return 1;
}

// The next symbol, or -1 for a code that is not in the table or data that ends.
static int decode_symbol(bit_reader *b, const huffman_table *h) {
    if (b->count < 16) fill_bits(b);
    int entry = h->fast[b->bits >> (64 - 9)];
    if (entry) {
        int length = entry >> 8;
        if (length > b->count) return -1;
        b->bits <<= length;
        b->count -= length;
        return entry & 255;
    }
    uint32_t window = (uint32_t)(b->bits >> 48);
    for (int length = 1; length <= 16; ++length) {
        int32_t code = (int32_t)(window >> (16 - length));
        if (code <= h->maxcode[length]) {
            if (length > b->count || code < h->mincode[length]) return -1;
            b->bits <<= length;
            b->count -= length;
            return h->values[h->first[length] + code - h->mincode[length]];
        }
    }
    return -1;
}

struct scan {
    int count;
    frame_component *component[4];
    const huffman_table *dc[4];
    const huffman_table *ac[4];
    int start, end, high;  // spectral selection and successive approximation (high bit)
};

// A DC difference: its bit count, then that many bits. It moves the
// component's DC value, which must stay within the limit.
static int dc_difference(bit_reader *b, const huffman_table *dc, frame_component *c) {
    uint32_t bits;
    int t = decode_symbol(b, dc);
    if (t < 0 || !take_bits(b, t, &bits)) return 0;
    int32_t difference = t && bits < (1u << (t - 1)) ? (int32_t)bits - (1 << t) + 1 : (int32_t)bits;
    c->dc_value += difference;
    return c->dc_value >= -dc_value_limit && c->dc_value <= dc_value_limit;
}

// The block's DC value again, as the difference to the last block written;
// 0 when that takes more than 15 bits, which the table has no code for.
static int write_dc(window_bits *sink, frame_component *c) {
    int32_t difference = c->dc_value - c->dc_written;
    c->dc_written = c->dc_value;
    uint32_t magnitude = (uint32_t)(difference < 0 ? -difference : difference);
    int t = 0;
    while (magnitude >> t) ++t;
    if (t > 15) return 0;
    window_put_bits(sink, (uint32_t)t, 5);
    if (t) window_put_bits(sink, (uint32_t)(difference < 0 ? difference + (1 << t) - 1 : difference), t);
    return 1;
}

// With a window, the block also goes into it. Inlined where the window is
// known to be null or not, so that the loop for blocks left out of the window
// writes nothing and keeps the bit reader in registers.
static inline __attribute__((always_inline)) int sequential_block(bit_reader *b, const scan *s, int i, jpeg_state *j,
                                                                   jpeg_window *w) {
    frame_component *c = s->component[i];
    const huffman_table *ac = s->ac[i];
    if (!dc_difference(b, s->dc[i], c)) return 0;
    window_bits sink = {NULL, 0, 0};
    if (w) {
        if (!window_reserve(w, window_block_room)) {
            j->window = w = NULL;
        } else {
            sink = window_begin_block(w);
            if (!write_dc(&sink, c)) {
                give_up_window(j);
                w = NULL;
            }
        }
    }
    uint32_t bits;
    for (int k = 1; k < 64;) {
        int rs = decode_symbol(b, ac);
        if (rs < 0) return 0;
        if (w) window_put_bits(&sink, ac->code[rs], ac->code_length[rs]);
        int run = rs >> 4, size = rs & 15;
        if (size == 0) {
            if (run != 15) break;
            k += 16;
            continue;
        }
        k += run;
        if (k > 63 || !take_bits(b, size, &bits)) return 0;
        if (w) window_put_bits(&sink, bits, size);
        ++k;
    }
    if (w) window_end_block(w, &sink);
    return 1;
}

static int progressive_ac_first(bit_reader *b, const scan *s, uint64_t *nonzero, uint32_t *eob_run) {
    if (*eob_run > 0) {
        --*eob_run;
        return 1;
    }
    uint32_t bits;
    for (int k = s->start; k <= s->end;) {
        int rs = decode_symbol(b, s->ac[0]);
        if (rs < 0) return 0;
        int run = rs >> 4, size = rs & 15;
        if (size == 0) {
            if (run < 15) {
                if (!take_bits(b, run, &bits)) return 0;
                *eob_run = (1u << run) + bits - 1;
                return 1;
            }
            k += 16;
            continue;
        }
        k += run;
        if (k > s->end || !take_bits(b, size, &bits)) return 0;
        *nonzero |= (uint64_t)1 << k;
        ++k;
    }
    return 1;
}

// Correction bits for every coefficient that is nonzero already, as the
// refinement scans of a progressive JPEG carry them.
static int progressive_ac_refine(bit_reader *b, const scan *s, uint64_t *nonzero, uint32_t *eob_run) {
    uint32_t bits;
    int k = s->start;
    if (*eob_run == 0) {
        for (; k <= s->end; ++k) {
            int rs = decode_symbol(b, s->ac[0]);
            if (rs < 0) return 0;
            int run = rs >> 4, size = rs & 15;
            if (size) {
                if (size != 1 || !take_bits(b, 1, &bits)) return 0;
            } else if (run != 15) {
                if (!take_bits(b, run, &bits)) return 0;
                *eob_run = (1u << run) + bits;
                break;
            }
            do {
                if (*nonzero >> k & 1) {
                    if (!take_bits(b, 1, &bits)) return 0;
                } else if (--run < 0) {
                    break;
                }
                ++k;
            } while (k <= s->end);
            if (size) {
                if (k > s->end) return 0;
                *nonzero |= (uint64_t)1 << k;
            }
        }
    }
    if (*eob_run > 0) {
        for (; k <= s->end; ++k)
            if ((*nonzero >> k & 1) && !take_bits(b, 1, &bits)) return 0;
        --*eob_run;
    }
    return 1;
}

// One block of scan component i, at block column x and row y; it counts
// against the frame's budget. With `keep`, it belongs in the window.
static int decode_block(bit_reader *b, const scan *s, jpeg_state *j, int i, int x, int y, uint32_t *eob_run,
                        int keep) {
    if (j->blocks_left == 0) return 0;
    --j->blocks_left;
    frame_component *c = s->component[i];
    uint32_t bits;
    if (!j->progressive) {
        if (keep && j->window) return sequential_block(b, s, i, j, j->window);
        return sequential_block(b, s, i, j, NULL);
    }
    if (s->start == 0) return s->high ? take_bits(b, 1, &bits) : dc_difference(b, s->dc[i], c);
    uint64_t *nonzero = &c->nonzero[(size_t)y * (size_t)c->grid_width + (size_t)x];
    return s->high ? progressive_ac_refine(b, s, nonzero, eob_run) : progressive_ac_first(b, s, nonzero, eob_run);
}

// Between restart intervals: the bits left are padding, and the next marker
// must be the restart marker.
static int restart(bit_reader *b) {
    do {
        b->bits = 0;
        b->count = 0;
        fill_bits(b);
    } while (!b->marker);
    b->bits = 0;
    b->count = 0;
    if (b->marker < 0xD0 || b->marker > 0xD7) return 0;
    b->marker = 0;
    return 1;
}

// Before MCU number `done`: at the end of each restart interval, the restart
// marker, and the end-of-band run and the DC values start anew. The window
// has no restarts: what it writes goes on.
static int begin_mcu(bit_reader *b, const scan *s, uint32_t done, uint32_t *eob_run, const jpeg_state *j) {
    if (!j->restart_interval || done == 0 || done % j->restart_interval != 0) return 1;
    *eob_run = 0;
    for (int i = 0; i < s->count; ++i) s->component[i]->dc_value = 0;
    return restart(b);
}

// The scan's data, every block the frame needs. Gives the marker that follows
// (-1 at the end of the file), or -2 when the data is not sound.
static int scan_data(byte_reader *r, const scan *s, jpeg_state *j) {
    bit_reader b = {r, 0, 0, 0};
    uint32_t eob_run = 0;
    uint32_t done = 0;
    for (int i = 0; i < s->count; ++i) s->component[i]->dc_value = s->component[i]->dc_written = 0;
    if (s->count == 1) {
        // One component: its own blocks, row by row, each an MCU of its own.
        frame_component *c = s->component[0];
        int width = ((j->width * c->h + j->hmax - 1) / j->hmax + 7) / 8;
        int height = ((j->height * c->v + j->vmax - 1) / j->vmax + 7) / 8;
        for (int y = 0; y < height; ++y) {
            int keep_row = (unsigned)(y - c->keep_y) < (unsigned)c->keep_height;
            for (int x = 0; x < width; ++x, ++done) {
                int keep = keep_row && (unsigned)(x - c->keep_x) < (unsigned)c->keep_width;
                if (!begin_mcu(&b, s, done, &eob_run, j) || !decode_block(&b, s, j, 0, x, y, &eob_run, keep))
                    return -2;
            }
        }
    } else {
        for (int my = 0; my < j->mcuy; ++my) {
            int keep_row = my >= j->mcu_top && my < j->mcu_bottom;
            for (int mx = 0; mx < j->mcux; ++mx, ++done) {
                int keep = keep_row && mx >= j->mcu_left && mx < j->mcu_right;
                if (!begin_mcu(&b, s, done, &eob_run, j)) return -2;
                for (int i = 0; i < s->count; ++i) {
                    const frame_component *c = s->component[i];
                    for (int v = 0; v < c->v; ++v)
                        for (int h = 0; h < c->h; ++h)
                            if (!decode_block(&b, s, j, i, mx * c->h + h, my * c->v + v, &eob_run, keep))
                                return -2;
                }
            }
        }
    }
    if (j->window && !window_end_scan(j->window)) j->window = NULL;
    if (b.marker) {
        // A restart marker after the last block is one the decoder refuses.
        if (b.marker >= 0xD0 && b.marker <= 0xD7) give_up_window(j);
        return b.marker;
    }
    // Padding, or bytes an encoder left behind, up to the next marker. The
    // window is only written for files without either.
    for (;;) {
        int c = next_byte(r);
        if (c < 0) return -1;
        if (c != 0xFF) {
            give_up_window(j);
            continue;
        }
        while (c == 0xFF) c = next_byte(r);
        if (c < 0) return -1;
        if (c != 0x00 && (c < 0xD0 || c > 0xD7)) return c;
        give_up_window(j);
    }
}

// stb_image 2.27 leaves its tables uninitialised until a segment defines them
// and indexes with what it finds there: a scan may use defined tables only.
static int read_scan_header(const unsigned char *p, uint32_t length, jpeg_state *j, scan *s) {
    if (length < 1) return 0;
    int count = p[0];
    if (!j->components || count < 1 || count > 4 || length != 4 + 2 * (uint32_t)count) return 0;
    const unsigned char *head = p + 1;
    s->count = count;
    s->start = head[2 * count];
    s->end = head[2 * count + 1];
    s->high = head[2 * count + 2] >> 4;
    int low = head[2 * count + 2] & 15;
    if (j->progressive) {
        if (s->start > 63 || s->end > 63 || s->start > s->end || s->high > 13 || low > 13) return 0;
        if (s->start > 0 && count != 1) return 0;
    } else {
        if (s->start != 0 || s->high != 0 || low != 0) return 0;
        s->end = 63;
    }
    int needs_dc = !j->progressive || (s->start == 0 && s->high == 0);
    int needs_ac = !j->progressive || s->start > 0;
    for (int k = 0; k < count; ++k) {
        frame_component *c = NULL;
        for (int f = 0; f < j->components; ++f)
            if (j->component[f].id == head[2 * k]) c = &j->component[f];
        if (!c || !j->quant_defined[c->quant]) return 0;
        int dc = head[2 * k + 1] >> 4, ac = head[2 * k + 1] & 15;
        if (dc > 3 || ac > 3) return 0;
        if (needs_dc && !j->huffman[0][dc].defined) return 0;
        if (needs_ac && !j->huffman[1][ac].defined) return 0;
        s->component[k] = c;
        if (needs_dc) c->scanned = 1;
        s->dc[k] = &j->huffman[0][dc];
        s->ac[k] = &j->huffman[1][ac];
        if (j->progressive && s->start > 0 && !c->nonzero) {
            c->nonzero = (uint64_t *)calloc((size_t)c->grid_width * (size_t)c->grid_height, sizeof *c->nonzero);
            if (!c->nonzero) return 0;
        }
    }
    if (j->window && !window_put_segment(j->window, 0xDA, p, length)) j->window = NULL;
    return 1;
}

// stb_image 2.27 makes the picture from planes it does not clear: a component
// that no scan gave its blocks would show uninitialised memory. This also
// refuses a JPEG that reaches its end marker without any scan.
static int every_component_scanned(const jpeg_state *j) {
    for (int k = 0; k < j->components; ++k)
        if (!j->component[k].scanned) return 0;
    return j->components > 0;
}

// The segments in order, to the end marker. The window copies what the
// decoder reads of them, and is only written for files whose segments follow
// each other directly and are all ones the decoder knows.
static int walk(byte_reader *r, jpeg_state *j) {
    int pending = 0;  // a marker already read, as the end of a scan's data
    for (;;) {
        int c = pending;
        pending = 0;
        if (!c) {
            c = next_byte(r);
            if (c != 0xFF) give_up_window(j);
            while (c >= 0 && c != 0xFF) c = next_byte(r);
            while (c == 0xFF) c = next_byte(r);
        }
        if (c < 0) return 0;
        if (c == 0xD9) {
            if (j->window && !window_put_marker(j->window, 0xD9)) j->window = NULL;
            return every_component_scanned(j);
        }
        if (c == 0x01 || c == 0x00 || (c >= 0xD0 && c <= 0xD7)) {
            give_up_window(j);
            continue;
        }
        int high = next_byte(r);
        int low = next_byte(r);
        if (high < 0 || low < 0) return 0;
        uint32_t length = (uint32_t)(high << 8 | low);
        if (length < 2) return 0;
        length -= 2;
        int parsed = c == 0xC4 || c == 0xDB || c == 0xDD || c == 0xC0 || c == 0xC1 || c == 0xC2 || c == 0xDA;
        int copied = j->window && (c == 0xE0 || c == 0xEE);  // JFIF and Adobe say how colours are stored
        if (!parsed && !copied) {
            if ((c < 0xE0 || c > 0xEF) && c != 0xFE) give_up_window(j);
            if (!skip_bytes(r, length)) return 0;
            continue;
        }
        if (!read_bytes(r, j->segment, length)) return 0;
        int sound = 1;
        if (c == 0xC4) {
            sound = read_huffman_tables(j->segment, length, j);
        } else if (c == 0xDB) {
            sound = read_quant_tables(j->segment, length, j);
        } else if (c == 0xDD) {
            sound = read_restart_interval(j->segment, length, j);
        } else if (c == 0xC0 || c == 0xC1 || c == 0xC2) {
            sound = read_frame_header(j->segment, length, c, j);
        } else if (c == 0xDA) {
            scan s;
            if (!read_scan_header(j->segment, length, j, &s)) return 0;
            int next = scan_data(r, &s, j);
            if (next < 0) return 0;
            pending = next;
        } else if (!window_put_segment(j->window, c, j->segment, length)) {
            j->window = NULL;
        }
        if (!sound) return 0;
    }
}

int jpeg_structure_is_sound(byte_reader *r, jpeg_window *window) {
    jpeg_state *j = (jpeg_state *)calloc(1, sizeof *j);
    if (!j) return 0;
    if (window) {
        window->data = NULL;
        window->size = window->capacity = 0;
        window->left = window->top = window->width = window->height = 0;
        window->bits = 0;
        window->count = 0;
        j->window = window_put_marker(window, 0xD8) ? window : NULL;
    }
    int sound = walk(r, j);
    if (!sound) give_up_window(j);
    for (int k = 0; k < 4; ++k) free(j->component[k].nonzero);
    free(j);
    return sound;
}
