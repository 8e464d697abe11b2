// Test photos made by independent encoders (libjpeg-turbo, libpng) and
// libjpeg-turbo's reading of a saved file. Nothing here uses stb.
#pragma once

#include <stdint.h>

#include "tests/support/files.h"

struct png_fixture {
    int width = 1;
    int height = 1;
    int color_type = 2;  // PNG_COLOR_TYPE_*
    int bit_depth = 8;
    bool interlaced = false;
    bytes rows;                          // packed rows in the file's own layout
    std::vector<unsigned char> palette;  // r, g, b triples for colour type 3
    bytes transparency;                  // tRNS contents as stored
    int compression = 6;
    int filter = -1;  // one PNG filter type (0 to 4) for every row; -1: libpng's choice
};
bytes encode_png(const png_fixture *fixture);

struct jpeg_fixture {
    int width = 1;
    int height = 1;
    int components = 3;   // 1 grey, 3 RGB, 4 CMYK
    bytes pixels;         // width × height × components
    int quality = 90;
    bool progressive = false;
    bool arithmetic = false;
    bool subsample = false;  // 4:2:0 when true, else 4:4:4
    int restart_interval = 0;  // in MCUs; 0: no restart markers
    bytes exif;              // APP1 payload, written after the JFIF header
};
bytes encode_jpeg(const jpeg_fixture *fixture);

// libjpeg-turbo's reading of a JPEG as RGB; empty on failure.
struct decoded_jpeg {
    int width = 0;
    int height = 0;
    bytes rgb;
    long warnings = 0;  // what libjpeg-turbo found wrong in the data and went past
};
decoded_jpeg decode_jpeg(const bytes &file);


// JPEGs written by hand, byte by byte, for what no encoder writes.

// Bits as a scan's entropy-coded data, appended to `file`: padded with 1
// bits to the byte, a 0 byte stuffed after each 0xFF.
void put_entropy_coded(bytes *file, std::vector<int> bits);

// A progressive scan of the one block of an 8 × 8 grey JPEG: its spectral
// band, successive approximation and entropy-coded bits.
struct progressive_scan {
    int start, end, high, low;
    std::vector<int> bits;
};

// That JPEG with the scans given. Its tables: every quantisation value 1;
// one DC code, "00" for a difference of 0; AC codes "00" end of band, "01"
// a 4-bit value, "10" a 1-bit value.
bytes progressive_grey(const std::vector<progressive_scan> &scans);
