// The scans' entropy-coded data, decoded code by code into exactly the blocks
// the frame needs (no dequantising, no IDCT; only the DC values and, for a
// progressive JPEG, which coefficients are nonzero are kept). The blocks of a
// sequential JPEG that the crop's window holds are written into it as they
// are decoded; those of a progressive JPEG are kept whole, coefficient by
// coefficient as the decoder builds them, and written at the end
// (sequential_window.cpp).
#include <stdlib.h>

#include "pipeline/jpeg/markers.h"
#include "pipeline/jpeg/state.h"

// A coefficient's value from its size and bits, as the decoder extends it.
static inline int32_t extend(uint32_t bits, int size) {
    return bits < (1u << (size - 1)) ? (int32_t)bits - (1 << size) + 1 : (int32_t)bits;
}

// A DC difference: its bit count, then that many bits. It moves the
// component's DC value, which must stay within the limit.
static int dc_difference(bit_reader *b, const huffman_table *dc, frame_component *c) {
    uint32_t bits;
    int t = decode_symbol(b, dc);
    if (t < 0 || !take_bits(b, t, &bits)) return 0;
    int32_t difference = t ? extend(bits, t) : 0;
    c->dc_value += difference;
    return c->dc_value >= -dc_value_limit && c->dc_value <= dc_value_limit;
}

// The block's DC value again, as the difference to the last block written;
// 0 when that takes more than 15 bits, which the table has no code for.
static int write_dc(window_bits *sink, frame_component *c) {
    int32_t difference = c->dc_value - c->dc_written;
    c->dc_written = c->dc_value;
    int t = value_bits(difference);
    if (t > 15) return 0;
    window_put_bits(sink, (uint32_t)t, 5);
    window_put_value(sink, difference, t);
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
        if (window_reserve(w, window_block_room)) {
            sink = window_begin_block(w);
            if (!write_dc(&sink, c)) w = NULL;
        } else {
            w = NULL;
        }
        if (!w) abandon_window(j);
    }
    uint32_t bits;
    for (int k = 1; k < 64;) {
        // Most codes come with their extra bits in one look-up; the window
        // takes the same bits as they stand.
        if (b->count < 16) fill_bits(b);
        const uint32_t whole = ac->whole_ac[b->bits >> (64 - whole_ac_bits)];
        const int taken = (int)(whole & whole_ac_length);
        if (whole && taken <= b->count) {
            if (w) window_put_bits(&sink, (uint32_t)(b->bits >> (64 - taken)), taken);
            b->bits <<= taken;
            b->count -= taken;
            if (whole & whole_ac_end) break;
            if (!(whole & whole_ac_coefficient)) {
                k += 16;
                continue;
            }
            k += (int)(whole >> whole_ac_run_shift & 15);
            if (k > 63) return 0;
            ++k;
            continue;
        }
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

// The decoder keeps coefficients in 16 bits and takes one whose value
// shifted left comes to 0 there for a zero in later refinement scans, where
// the walk counts it nonzero: such a file is refused, none has such values.
static inline int ac_value(jpeg_state *j, int16_t *kept, int k, int32_t value, int shift) {
    const int16_t stored = (int16_t)(value * (1 << shift));
    if (stored == 0) return refuse(j, refusal_progression);
    if (kept) kept[k] = stored;
    return 1;
}

// A block that is not part of an end-of-band run (decode_block takes those).
static int progressive_ac_first(bit_reader *b, const scan *s, jpeg_state *j, uint64_t *nonzero, int16_t *kept,
                                uint32_t *eob_run) {
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
        if (!ac_value(j, kept, k, extend(bits, size), s->low)) return 0;
        ++k;
    }
    return 1;
}

// A correction bit for coefficient k, which is nonzero: where the bit is
// set and the coefficient lacks it, the decoder moves it away from zero.
static inline void refine(int16_t *kept, int k, uint32_t bit, int low) {
    const int step = 1 << low;
    if (!kept || !bit || (kept[k] & step)) return;
    kept[k] = (int16_t)(kept[k] > 0 ? kept[k] + step : kept[k] - step);
}

// The correction bits of the nonzero coefficients `which` names, one each in
// zigzag order; a block outside the window only skips them.
static inline int correct(bit_reader *b, uint64_t which, int16_t *kept, int low) {
    uint32_t bits;
    if (kept) {
        for (; which; which &= which - 1) {
            if (!take_bits(b, 1, &bits)) return 0;
            refine(kept, __builtin_ctzll(which), bits, low);
        }
        return 1;
    }
    for (int n = __builtin_popcountll(which); n > 0; n -= 16)
        if (!take_bits(b, n < 16 ? n : 16, &bits)) return 0;
    return 1;
}

// Correction bits for every coefficient that is nonzero already, as the
// refinement scans of a progressive JPEG carry them. A code's run counts the
// coefficients that are still zero; those passed on the way that are
// nonzero take a correction bit each, and so do all from there to the
// band's end in a block of an end-of-band run.
static int progressive_ac_refine(bit_reader *b, const scan *s, uint64_t *nonzero, int16_t *kept,
                                 uint32_t *eob_run) {
    const uint64_t band = (~(uint64_t)0 >> (63 - s->end)) & (~(uint64_t)0 << s->start);
    uint32_t bits;
    int k = s->start;
    if (*eob_run == 0) {
        for (; k <= s->end; ++k) {
            int rs = decode_symbol(b, s->ac[0]);
            if (rs < 0) return 0;
            int run = rs >> 4, size = rs & 15;
            uint32_t sign = 0;
            if (size) {
                if (size != 1 || !take_bits(b, 1, &sign)) return 0;
            } else if (run != 15) {
                if (!take_bits(b, run, &bits)) return 0;
                *eob_run = (1u << run) + bits;
                break;
            }
            do {
                if (*nonzero >> k & 1) {
                    if (!take_bits(b, 1, &bits)) return 0;
                    refine(kept, k, bits, s->low);
                } else if (--run < 0) {
                    break;
                }
                ++k;
            } while (k <= s->end);
            if (size) {
                if (k > s->end) return 0;
                *nonzero |= (uint64_t)1 << k;
                if (kept) kept[k] = (int16_t)(sign ? 1 << s->low : -(1 << s->low));
            }
        }
    }
    if (*eob_run > 0) {
        // One bit for each nonzero coefficient from k to the band's end.
        if (k <= s->end && !correct(b, *nonzero & band & (~(uint64_t)0 << k), kept, s->low)) return 0;
        --*eob_run;
    }
    return 1;
}

// The window's copy of a progressive block, or null for a block outside it.
static inline int16_t *kept_block(const frame_component *c, int x, int y) {
    if (!c->kept || (unsigned)(x - c->keep_x) >= (unsigned)c->keep_width ||
        (unsigned)(y - c->keep_y) >= (unsigned)c->keep_height)
        return NULL;
    return c->kept + ((size_t)(y - c->keep_y) * (size_t)c->keep_width + (size_t)(x - c->keep_x)) * 64;
}

// A progressive block's DC coefficient: the first scan sets it, refinement
// scans add a bit. (The decoder's first scan clears the whole block too,
// which comes before any other scan of it.)
static int progressive_dc(bit_reader *b, const scan *s, int i, int16_t *kept) {
    frame_component *c = s->component[i];
    uint32_t bits;
    if (s->high) {
        if (!take_bits(b, 1, &bits)) return 0;
        if (kept && bits) kept[0] = (int16_t)(kept[0] + (1 << s->low));
        return 1;
    }
    if (!dc_difference(b, s->dc[i], c)) return 0;
    if (kept) kept[0] = (int16_t)(c->dc_value * (1 << s->low));
    return 1;
}

// One block of scan component i, at block column x and row y; it counts
// against the frame's budget. With `keep`, it belongs in the window.
static inline __attribute__((always_inline)) int decode_block(bit_reader *b, const scan *s, jpeg_state *j, int i,
                                                              int x, int y, uint32_t *eob_run, int keep) {
    if (j->blocks_left == 0) return refuse(j, refusal_block_budget);
    --j->blocks_left;
    frame_component *c = s->component[i];
    if (!j->progressive) {
        if (keep && j->window) return sequential_block(b, s, i, j, j->window);
        return sequential_block(b, s, i, j, NULL);
    }
    if (s->start > 0 && !s->high && *eob_run > 0) {  // a block of an end-of-band run: nothing in it
        --*eob_run;
        return 1;
    }
    int16_t *kept = keep && j->window ? kept_block(c, x, y) : NULL;
    if (s->start == 0) return progressive_dc(b, s, i, kept);
    uint64_t *nonzero = &c->nonzero[(size_t)y * (size_t)c->grid_width + (size_t)x];
    return s->high ? progressive_ac_refine(b, s, nonzero, kept, eob_run)
                   : progressive_ac_first(b, s, j, nonzero, kept, eob_run);
}

// Between restart intervals: the bits left are padding, and the next marker
// must be the restart marker. The decoder looks for the marker only while it
// holds fewer than 24 bits it has not used; with more left it ends the scan
// there and refuses the file at the marker, a window or not. So the window
// is not written for such a file.
static int restart(bit_reader *b, jpeg_state *j) {
    uint64_t left = 0;
    for (;;) {
        left += (uint64_t)b->count;
        b->bits = 0;
        b->count = 0;
        if (b->marker) break;
        fill_bits(b);
    }
    if (left >= 24) abandon_window(j);
    if (!is_restart_marker(b->marker)) return 0;
    b->marker = 0;
    return 1;
}

// Before MCU number `done`: at the end of each restart interval, the restart
// marker, and the end-of-band run and the DC values start anew. The window
// has no restarts: what it writes goes on.
static int begin_mcu(bit_reader *b, const scan *s, uint32_t done, uint32_t *eob_run, jpeg_state *j) {
    if (!j->restart_interval || done == 0 || done % j->restart_interval != 0) return 1;
    *eob_run = 0;
    for (int i = 0; i < s->count; ++i) s->component[i]->dc_value = 0;
    return restart(b, j);
}

// Why a scan's data is not sound: a DC value beyond the limit, or anything
// else wrong in it (a budget already spent was said where it was found).
static int unsound(const scan *s, jpeg_state *j) {
    for (int i = 0; i < s->count; ++i) {
        const int32_t value = s->component[i]->dc_value;
        if (value < -dc_value_limit || value > dc_value_limit) refuse(j, refusal_dc_overflow);
    }
    refuse(j, refusal_scan_data);
    return -2;
}

// The scan's data, every block the frame needs. Gives the marker that follows
// (-1 at the end of the file), or -2 when the data is not sound.
int scan_data(byte_reader *r, const scan *s, jpeg_state *j) {
    bit_reader b = {r, 0, 0, 0, 0};
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
                    return unsound(s, j);
            }
        }
    } else {
        for (int my = 0; my < j->mcuy; ++my) {
            int keep_row = my >= j->mcu_top && my < j->mcu_bottom;
            for (int mx = 0; mx < j->mcux; ++mx, ++done) {
                int keep = keep_row && mx >= j->mcu_left && mx < j->mcu_right;
                if (!begin_mcu(&b, s, done, &eob_run, j)) return unsound(s, j);
                for (int i = 0; i < s->count; ++i) {
                    const frame_component *c = s->component[i];
                    for (int v = 0; v < c->v; ++v)
                        for (int h = 0; h < c->h; ++h)
                            if (!decode_block(&b, s, j, i, mx * c->h + h, my * c->v + v, &eob_run, keep))
                                return unsound(s, j);
                }
            }
        }
    }
    // Past a scan's last block the decoder looks for the next marker byte by
    // byte from where its reading ahead stopped, and takes the byte after
    // the first 0xFF for the marker: a stuffed 0xFF there, or a fill byte
    // before the marker, gives one it refuses. So no window for a scan whose
    // data goes on past its last block with such a byte, or whose marker
    // comes after fill bytes.
    for (int n = b.count % 8; n + 8 <= b.count; n += 8)
        if ((uint8_t)(b.bits << n >> 56) == 0xFF) abandon_window(j);
    if (b.filled) abandon_window(j);
    if (j->window && !j->progressive && !window_end_scan(j->window)) abandon_window(j);
    if (b.marker) {
        // A restart marker after the last block is one the decoder refuses.
        if (is_restart_marker(b.marker)) abandon_window(j);
        return b.marker;
    }
    // Padding, bytes an encoder left behind or fill bytes, up to the next
    // marker. The window is only written for files without any.
    for (;;) {
        int c = next_byte(r);
        if (c < 0) return -1;
        if (c != 0xFF) {
            abandon_window(j);
            continue;
        }
        c = next_byte(r);
        if (c == 0xFF) abandon_window(j);
        while (c == 0xFF) c = next_byte(r);
        if (c < 0) return -1;
        if (c != 0x00 && !is_restart_marker(c)) return c;
        abandon_window(j);
    }
}
