// The PNG walk follows the chunks to IEND; the JPEG walk has a file of its
// own.
#include "pipeline/file_structure.h"

#include <stdint.h>
#include <string.h>

#include "pipeline/byte_reader.h"
#include "pipeline/jpeg/walk.h"

const unsigned char png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// After the signature. stb_image 2.27 stops reading at the type of IEND, so a
// PNG cut off inside that chunk would be read.
static int png_is_sound(byte_reader *r, intake_refusal *refusal) {
    for (;;) {
        unsigned char head[8];
        if (!read_bytes(r, head, 8)) break;
        uint32_t length = big_endian_32(head);
        if (length > 0x7FFFFFF0u) {  // the decoder refuses such a chunk too
            *refusal = refusal_png_chunk;
            return 0;
        }
        if (!skip_bytes(r, length + 4)) break;
        if (memcmp(head + 4, "IEND", 4) == 0) return 1;
    }
    *refusal = refusal_cut_off;
    return 0;
}

int file_structure_is_sound(FILE *file, jpeg_window *window, intake_refusal *refusal) {
    byte_reader reader;
    reader.file = file;
    reader.at = reader.end = 0;
    unsigned char start[8];
    *refusal = refusal_none;
    if (read_bytes(&reader, start, 2) && start[0] == 0xFF && start[1] == 0xD8)
        return jpeg_structure_is_sound(&reader, window, refusal);
    if (read_bytes(&reader, start + 2, 6) && memcmp(start, png_signature, 8) == 0) return png_is_sound(&reader, refusal);
    *refusal = refusal_unknown_format;
    return 0;
}
