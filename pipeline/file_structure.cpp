// The PNG walk follows the chunks to IEND; the JPEG walk has a file of its
// own.
#include "pipeline/file_structure.h"

#include <stdint.h>
#include <string.h>

#include "pipeline/byte_reader.h"
#include "pipeline/jpeg/walk.h"

const unsigned char png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// After the signature. stb_image 2.27 stops reading at the type of IEND, so a
// PNG cut off inside that chunk would be read. It copies an empty first IDAT
// chunk into a block it has not made yet.
static int png_is_sound(byte_reader *r, uint64_t *data_bytes, intake_refusal *refusal) {
    for (;;) {
        unsigned char head[8];
        if (!read_bytes(r, head, 8)) break;
        uint32_t length = big_endian_32(head);
        const int data = memcmp(head + 4, "IDAT", 4) == 0;
        if (length > 0x7FFFFFF0u || (data && length == 0 && *data_bytes == 0)) {  // the decoder refuses the first too
            *refusal = refusal_png_chunk;
            return 0;
        }
        if (data) *data_bytes += length;
        if (!skip_bytes(r, length + 4)) break;
        if (memcmp(head + 4, "IEND", 4) == 0) return 1;
    }
    *refusal = refusal_cut_off;
    return 0;
}

int file_structure_is_sound(FILE *file, jpeg_window *window, uint64_t *png_data_bytes, intake_refusal *refusal) {
    uint64_t data_bytes = 0;
    if (!png_data_bytes) png_data_bytes = &data_bytes;
    *png_data_bytes = 0;
    byte_reader reader;
    reader.file = file;
    reader.at = reader.end = 0;
    unsigned char start[8];
    *refusal = refusal_none;
    if (read_bytes(&reader, start, 2) && start[0] == 0xFF && start[1] == 0xD8)
        return jpeg_structure_is_sound(&reader, window, refusal);
    if (read_bytes(&reader, start + 2, 6) && memcmp(start, png_signature, 8) == 0) return png_is_sound(&reader, png_data_bytes, refusal);
    *refusal = refusal_unknown_format;
    return 0;
}
