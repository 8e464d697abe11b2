// The PNG window's inflater on any DEFLATE data, against zlib and against
// the image decoder's own inflater:
// - fed in pieces, as IDAT chunks and a small input buffer cut the data,
//   it reads or fails on a stream as it does fed all at once;
// - every stream zlib reads to its end, it reads to the same end with the
//   same bytes;
// - every stream it reads, the decoder reads too, with the same bytes,
//   given the two bytes after the end that the PNG window asks for.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <stb/stb_image.h>
#include <zlib.h>

#include "pipeline/png/inflate.h"

namespace {

const size_t output_cap = 1 << 22;  // past this a stream is not followed further

struct outcome {
    int ended;  // 0 failed or past the cap
    std::vector<unsigned char> out;
    size_t end;  // bytes of input up to the stream's end
};

outcome inflate_in_pieces(const uint8_t *data, size_t size, uint32_t seed, size_t capacity) {
    outcome r = {0, {}, 0};
    inflater z;
    if (!inflater_open(&z)) abort();
    std::vector<unsigned char> buffer(capacity);
    size_t length = 0, fed = 0;
    uint32_t rng = seed * 2654435761u + 1;
    for (;;) {
        rng = rng * 1103515245u + 12345u;
        size_t piece = 1 + (rng >> 16) % capacity;
        if (piece > size - fed) piece = size - fed;
        if (piece > capacity - length) piece = capacity - length;
        memcpy(buffer.data() + length, data + fed, piece);
        length += piece;
        fed += piece;
        const int ends = fed == size;
        z.in = buffer.data();
        z.in_end = buffer.data() + length;
        z.input_ends = ends;
        inflate_status status;
        do {
            status = inflater_run(&z);
            if (status == inflate_failed) break;
            r.out.insert(r.out.end(), z.out + z.out_from, z.out + z.out_at);
        } while (status == inflate_has_output && r.out.size() <= output_cap);
        if (status == inflate_ended) {
            r.ended = 1;
            r.end = fed - (size_t)(z.in_end - z.in) - z.held_back;
            break;
        }
        if (status != inflate_needs_input) break;
        // It asks for more only while more can come, and leaves less than
        // a full buffer, so that more fits.
        if (ends) abort();
        length = (size_t)(z.in_end - z.in);
        if (length >= capacity) abort();
        memmove(buffer.data(), z.in, length);
    }
    inflater_close(&z);
    return r;
}

outcome inflate_with_zlib(const uint8_t *data, size_t size) {
    outcome r = {0, {}, 0};
    z_stream s;
    memset(&s, 0, sizeof s);
    if (inflateInit2(&s, -15) != Z_OK) abort();
    s.next_in = (Bytef *)data;
    s.avail_in = (uInt)size;
    unsigned char out[1 << 14];
    int status;
    do {
        s.next_out = out;
        s.avail_out = sizeof out;
        status = inflate(&s, Z_NO_FLUSH);
        r.out.insert(r.out.end(), out, out + (sizeof out - s.avail_out));
    } while (status == Z_OK && r.out.size() <= output_cap);
    if (status == Z_STREAM_END) {
        r.ended = 1;
        r.end = size - s.avail_in;
    }
    inflateEnd(&s);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint32_t seed = data[0];
    data += 1;
    size -= 1;
    const outcome whole = inflate_in_pieces(data, size, 0, size + 600);
    const outcome pieces = inflate_in_pieces(data, size, seed, 512 + seed * 8);
    // Where it fails, what it handed out before depends on the pieces.
    if (whole.ended != pieces.ended || (whole.ended && (whole.out != pieces.out || whole.end != pieces.end))) abort();
    if (!whole.ended && whole.out.size() > output_cap) return 0;

    const outcome zlib = inflate_with_zlib(data, size);
    if (zlib.ended && zlib.out.size() <= output_cap &&
        (!whole.ended || whole.out != zlib.out || whole.end != zlib.end))
        abort();

    if (whole.ended && size - whole.end >= 2) {
        int length = 0;
        char *decoded = stbi_zlib_decode_malloc_guesssize_headerflag((const char *)data, (int)whole.end + 2, 1 << 12,
                                                                     &length, 0);
        if (!decoded || (size_t)length != whole.out.size() ||
            (length > 0 && memcmp(decoded, whole.out.data(), (size_t)length) != 0))
            abort();
        free(decoded);
    }
    return 0;
}
