// Intake: header probe, size rule, a structural check of our own, rewind,
// decode. The reason for a refusal is never read.
#include "pipeline/source_image.h"

#include <string.h>

#include <stb/stb_image.h>

// stb_image 2.27 returns a picture (of uninitialised memory) for a JPEG whose
// frame header is followed directly by its end marker. Walk the marker
// segments as the decoder does and refuse a file that ends, or reaches its
// end marker, before its first scan. Called just past the SOI marker.
static int jpeg_reaches_a_scan(FILE *file) {
    for (;;) {
        int c = fgetc(file);
        while (c != EOF && c != 0xFF) c = fgetc(file);
        while (c == 0xFF) c = fgetc(file);
        if (c == EOF || c == 0xD9) return 0;
        if (c == 0xDA) return 1;
        if (c == 0x00 || c == 0x01 || (c >= 0xD0 && c <= 0xD7)) continue;
        int high = fgetc(file);
        int low = fgetc(file);
        if (high == EOF || low == EOF) return 0;
        long length = (long)high << 8 | low;
        if (length < 2 || fseek(file, length - 2, SEEK_CUR) != 0) return 0;
    }
}

// stb_image 2.27 stops reading a PNG at the type of its IEND chunk, so a file
// cut off inside that chunk is read. Walk the chunks and refuse a file that
// ends before its IEND chunk is complete. Called just past the signature.
static int png_reaches_its_end(FILE *file) {
    for (;;) {
        unsigned char head[8];
        if (fread(head, 1, 8, file) != 8) return 0;
        uint32_t length = (uint32_t)head[0] << 24 | (uint32_t)head[1] << 16 | (uint32_t)head[2] << 8 | head[3];
        if (length > 0x7FFFFFF0u) return 0;  // the decoder refuses such a chunk too
        int end = memcmp(head + 4, "IEND", 4) == 0;
        if (fseek(file, (long)length + (end ? 0 : 4), SEEK_CUR) != 0) return 0;
        if (end) {
            unsigned char checksum[4];
            return fread(checksum, 1, 4, file) == 4;
        }
    }
}

// Our own refusals of files the decoder would take although they are not
// whole. The probe has accepted the header, so the file is a JPEG or a PNG.
static int structure_is_whole(FILE *file) {
    static const unsigned char png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    unsigned char start[8];
    size_t got = fread(start, 1, 8, file);
    if (got >= 2 && start[0] == 0xFF && start[1] == 0xD8) {
        if (fseek(file, 2, SEEK_SET) != 0) return 0;
        return jpeg_reaches_a_scan(file);
    }
    if (got == 8 && memcmp(start, png_signature, 8) == 0) return png_reaches_its_end(file);
    return 0;
}

int load_source_image(FILE *file, source_image *image) {
    int width = 0;
    int height = 0;
    if (!stbi_info_from_file(file, &width, &height, NULL)) return 0;
    if (width < 1 || height < 1) return 0;
    if ((int64_t)width * (int64_t)height > source_pixel_limit) return 0;

    rewind(file);
    if (!structure_is_whole(file)) return 0;
    rewind(file);

    unsigned char *pixels = stbi_load_from_file(file, &width, &height, NULL, 4);
    if (!pixels) return 0;
    image->pixels = pixels;
    image->width = width;
    image->height = height;
    return 1;
}
