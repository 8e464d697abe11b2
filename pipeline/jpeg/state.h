// What the JPEG walk knows of a file while it goes through it, shared by its
// units: the marker segments (segments.cpp), the scans' entropy-coded data
// (scans.cpp) and the walk over both (walk.cpp).
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include "pipeline/intake_refusal.h"
#include "pipeline/jpeg/huffman.h"
#include "pipeline/jpeg_window.h"

struct frame_component {
    int id, h, v, quant;
    int grid_width, grid_height;  // in blocks, padded to whole MCUs
    int scanned;                  // a scan has given its blocks (their DC values, when progressive)
    uint64_t *nonzero;            // progressive: bit k set when coefficient k (zigzag) is nonzero; made by the first AC scan
    int32_t dc_value;             // the DC value of the last block read, as the decoder predicts it
    int32_t dc_written;           // the same for the last block written into the window
    int keep_x, keep_y, keep_width, keep_height;  // the window's blocks in a scan of this component alone
    // Progressive, with a window: the coefficients of the window's blocks as
    // the decoder holds them at the end (16 bits each, before dequantising),
    // 64 a block in zigzag order, keep_width × keep_height blocks.
    int16_t *kept;
};

struct jpeg_state {
    huffman_table huffman[2][4];  // [DC, AC][id]
    int quant_defined[4];
    int quant_16_bit;  // some table has 16-bit values: a window with them is no baseline JPEG
    uint32_t restart_interval;
    int components;  // in the frame header; 0 before it
    int progressive;
    int width, height, hmax, vmax, mcux, mcuy;
    frame_component component[4];
    uint64_t blocks_left;  // what all scans together may still decode
    jpeg_window *window;   // null when no window is being written
    int mcu_left, mcu_top, mcu_right, mcu_bottom;  // the window's MCUs, the last two not included
    unsigned char frame[6 + 3 * 4];  // progressive, with a window: the window's frame header, written at the end
    uint32_t frame_length;
    intake_refusal refusal;                        // the first reason found to refuse the file
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

struct scan {
    int count;
    frame_component *component[4];
    const huffman_table *dc[4];
    const huffman_table *ac[4];
    int start, end, high, low;  // spectral selection and successive approximation
};

// Records why the file is refused (the first reason found stands); 0.
static inline int refuse(jpeg_state *j, intake_refusal why) {
    if (!j->refusal) j->refusal = why;
    return 0;
}

// The one way the window is given up: the file is decoded whole instead.
static inline void abandon_window(jpeg_state *j) {
    if (!j->window) return;
    window_drop(j->window);
    j->window = NULL;
    for (int k = 0; k < 4; ++k) {
        free(j->component[k].kept);
        j->component[k].kept = NULL;
    }
}

// Marker segments, given their body (the length field left out). Each gives
// 1, or refuses the file.
int read_huffman_tables(const unsigned char *p, uint32_t length, jpeg_state *j);
int read_quant_tables(const unsigned char *p, uint32_t length, jpeg_state *j);
int read_restart_interval(const unsigned char *p, uint32_t length, jpeg_state *j);
int read_frame_header(const unsigned char *p, uint32_t length, int marker, jpeg_state *j);
int read_scan_header(const unsigned char *p, uint32_t length, jpeg_state *j, scan *s);

// The scan's data, every block the frame needs. Gives the marker that follows
// (-1 at the end of the file), or -2 when the data is not sound.
int scan_data(byte_reader *r, const scan *s, jpeg_state *j);

// Progressive, with a window, at the end marker: the frame header, and a
// sequential scan of each component's kept blocks with Huffman tables made
// for it. 0 when a coefficient cannot be coded that way (or no memory).
int write_sequential_window(jpeg_state *j);
