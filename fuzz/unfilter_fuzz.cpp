// libFuzzer: the PNG filters undone a pixel at a time against the plain
// byte-at-a-time loop, on any rows: the first byte chooses the filter type
// and the pixel size (1 to 8 bytes), the rest is the row above and the row.
// Every byte must come out the same.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "pipeline/png/rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    png_format f = {};
    const int type = data[0] % 5;
    f.pixel_bytes = 1 + (data[0] / 5) % 8;
    const bool first_row = data[0] >= 240;
    ++data;
    --size;
    const size_t length = size / 2 / (size_t)f.pixel_bytes * (size_t)f.pixel_bytes;
    if (length == 0) return 0;
    f.row_bytes = length;
    const uint8_t *prior = first_row ? NULL : data;
    std::vector<unsigned char> fast(data + length, data + 2 * length), plain = fast;
    png_unfilter(&f, type, fast.data(), prior, length);
    png_unfilter_plain(&f, type, plain.data(), prior, length);
    if (fast != plain) abort();
    return 0;
}
