#include "pipeline/png/window.h"

#include <stdlib.h>
#include <string.h>

#include <isa-l/igzip_lib.h>

#include "pipeline/byte_reader.h"
#include "pipeline/crop_geometry.h"
#include "pipeline/file_structure.h"
#include "pipeline/png/rows.h"
#include "platform/runtime.h"

struct png_walk {
    byte_reader reader;
    png_format format;
    inflate_state *z;      // ISA-L's, which keeps the 32 KiB later matches reach back into
    unsigned char *out;    // a step of inflated data
    unsigned char zlib_header[2];  // the stream's first two bytes, before the DEFLATE data
    unsigned char *input;  // IDAT data gathered for ISA-L
    size_t input_length;
    int header_bytes;
    int stream_end;
    unsigned char *rows;   // two rows, the filter type byte first: the one being filled and the one before
    size_t row_filled;
    uint32_t rows_done;    // rows complete
    uint64_t excess;       // bytes inflated past the last row
    uint64_t after_end;    // bytes of IDAT data after the stream's end
    pixel_rect keep;
    size_t unfiltered_bytes;  // of each row: up to the last pixel the crop reads
    unsigned char *pixels;
    int palette_beyond;    // an index past the palette
    int bad_filter;
};

// The header as the decoder checks it; 0 for anything the window leaves to
// the decoder: interlacing, and the combinations of colour type and depth
// that PNG does not have.
static int read_header(const unsigned char *p, png_format *f) {
    f->width = big_endian_32(p);
    f->height = big_endian_32(p + 4);
    f->depth = p[8];
    f->color = p[9];
    if (p[10] || p[11] || p[12]) return 0;
    if (f->width < 1 || f->height < 1 || f->width > source_side_limit || f->height > source_side_limit) return 0;
    const int d = f->depth;
    switch (f->color) {
    case 0: f->channels = 1; if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) return 0; break;
    case 2: f->channels = 3; if (d != 8 && d != 16) return 0; break;
    case 3: f->channels = 1; if (d != 1 && d != 2 && d != 4 && d != 8) return 0; break;
    case 4: f->channels = 2; if (d != 8 && d != 16) return 0; break;
    case 6: f->channels = 4; if (d != 8 && d != 16) return 0; break;
    default: return 0;
    }
    // The decoder's own limit on the size of its image.
    if ((1u << 30) / f->width / (uint32_t)(f->color == 3 ? 4 : f->channels) < f->height) return 0;
    f->row_bytes = ((size_t)f->width * (size_t)f->channels * (size_t)d + 7) / 8;
    f->pixel_bytes = f->channels * d / 8 > 0 ? f->channels * d / 8 : 1;
    return 1;
}

// A complete row: its filter undone (the rows after the last the crop reads
// only have their filter type checked), and the crop's columns kept.
static void finish_row(png_walk *w) {
    const png_format *f = &w->format;
    const size_t size = 1 + f->row_bytes;
    unsigned char *row = w->rows + (w->rows_done & 1) * size;
    const unsigned char *prior = w->rows_done ? w->rows + ((w->rows_done - 1) & 1) * size : NULL;
    const uint32_t y = w->rows_done++;
    w->row_filled = 0;
    if (row[0] > 4) w->bad_filter = 1;
    if (w->bad_filter || y >= (uint32_t)(w->keep.top + w->keep.height)) return;
    png_unfilter(f, row[0], row + 1, prior ? prior + 1 : NULL, w->unfiltered_bytes);
    if (y < (uint32_t)w->keep.top) return;
    unsigned char *out = w->pixels + (size_t)(y - (uint32_t)w->keep.top) * (size_t)w->keep.width * 4;
    if (!png_row_to_rgba(f, row + 1, (uint32_t)w->keep.left, (uint32_t)w->keep.width, out)) w->palette_beyond = 1;
}

// What a step of ISA-L made: into the rows, and past them counted. 0 once
// it goes on far past the frame.
static int take_output(png_walk *w) {
    const png_format *f = &w->format;
    const size_t size = 1 + f->row_bytes;
    const unsigned char *p = w->out;
    size_t n = (size_t)(w->z->next_out - w->out);
    while (n > 0 && w->rows_done < f->height) {
        unsigned char *row = w->rows + (w->rows_done & 1) * size;
        const size_t k = n < size - w->row_filled ? n : size - w->row_filled;
        memcpy(row + w->row_filled, p, k);
        w->row_filled += k;
        p += k;
        n -= k;
        if (w->row_filled == size) finish_row(w);
    }
    w->excess += n;
    // The decoder would inflate it all; the window stops here.
    return w->excess <= (uint64_t)size * f->height;
}

static const size_t input_capacity = 1 << 16;
static const uint32_t output_step = 1 << 18;

// Inflates the gathered input, a step of output at a time, up to what ISA-L
// cannot use yet (it keeps a block header's first bytes itself until the
// rest comes). 0 when the stream is not sound, or goes on far past the frame.
static int inflate_input(png_walk *w, int input_ends) {
    inflate_state *z = w->z;
    z->next_in = w->input;
    z->avail_in = (uint32_t)w->input_length;
    do {
        z->next_out = w->out;
        z->avail_out = output_step;
        if (isal_inflate(z) != ISAL_DECOMP_OK || !take_output(w)) return 0;
        if (z->block_state == ISAL_BLOCK_FINISH) {
            w->stream_end = 1;
            // The bytes it read ahead past the stream's last one, and those
            // it did not get to.
            w->after_end += z->avail_in + (uint32_t)z->read_in_length / 8;
            w->input_length = 0;
            return 1;
        }
    } while (z->avail_out == 0);
    if (input_ends) return 0;
    w->input_length = z->avail_in;
    memmove(w->input, z->next_in, w->input_length);
    // A full buffer it took nothing of would never make room for more.
    return w->input_length < input_capacity;
}

// The bytes of an IDAT chunk, as they come. The stream's two header bytes
// are checked as the decoder checks them; ISA-L takes the rest as raw
// DEFLATE and so never looks at the Adler-32 check value, which the decoder
// ignores too.
static int feed(png_walk *w, uint32_t length, int *sound) {
    byte_reader *r = &w->reader;
    while (length > 0) {
        const size_t buffered = buffered_bytes(r);
        if (buffered == 0) return 0;
        size_t n = buffered < length ? buffered : length;
        const unsigned char *in = r->buffer + r->at;
        r->at += n;
        length -= (uint32_t)n;
        while (n > 0 && w->header_bytes < 2) {
            w->zlib_header[w->header_bytes++] = *in++;
            --n;
            if (w->header_bytes == 2) {
                const int cmf = w->zlib_header[0], flg = w->zlib_header[1];
                if ((cmf * 256 + flg) % 31 != 0 || (flg & 32) || (cmf & 15) != 8) *sound = 0;
            }
        }
        if (!*sound || n == 0) continue;
        while (*sound && n > 0) {
            if (w->stream_end) {
                w->after_end += n;
                break;
            }
            const size_t k = n < input_capacity - w->input_length ? n : input_capacity - w->input_length;
            memcpy(w->input + w->input_length, in, k);
            w->input_length += k;
            in += k;
            n -= k;
            if (w->input_length == input_capacity && !inflate_input(w, 0)) *sound = 0;
        }
    }
    return 1;
}

// Once the header is known: the crop's part, or png_window_whole where it is
// the whole frame; the pixels, the rows and ISA-L's state.
static png_window_result start_window(png_walk *w, intake_refusal *refusal) {
    const png_format *f = &w->format;
    crop_span columns, rows;
    crop_reach((int32_t)f->width, (int32_t)f->height, &columns, &rows);
    w->keep.left = columns.first;
    w->keep.top = rows.first;
    w->keep.width = columns.last - columns.first + 1;
    w->keep.height = rows.last - rows.first + 1;
    if ((uint32_t)w->keep.width == f->width && (uint32_t)w->keep.height == f->height) return png_window_whole;
    const uint64_t last_bit = ((uint64_t)w->keep.left + (uint64_t)w->keep.width) * (uint64_t)f->channels * (uint64_t)f->depth;
    w->unfiltered_bytes = (size_t)((last_bit + 7) / 8);
    w->pixels = (unsigned char *)large_block_malloc((size_t)w->keep.width * (size_t)w->keep.height * 4);
    w->rows = (unsigned char *)malloc(2 * (1 + f->row_bytes));
    w->input = (unsigned char *)malloc(input_capacity);
    w->out = (unsigned char *)malloc(output_step);
    w->z = (inflate_state *)calloc(1, sizeof *w->z);
    if (!w->pixels || !w->rows || !w->input || !w->out || !w->z) {
        *refusal = refusal_out_of_memory;
        return png_window_refused;
    }
    isal_inflate_init(w->z);  // raw DEFLATE: the zlib header is read here
    return png_window_read;
}

static png_window_result walk_chunks(png_walk *w, intake_refusal *refusal) {
    png_format *f = &w->format;
    unsigned char head[8], body[3 * 256];
    int first = 1, palette_seen = 0, transparency_seen = 0, data_seen = 0, sound = 1;
    uint64_t data_bytes = 0;
    if (!read_bytes(&w->reader, head, 8) || memcmp(head, png_signature, 8) != 0) return png_window_whole;
    for (;;) {
        if (!read_bytes(&w->reader, head, 8)) return png_window_whole;
        const uint32_t length = big_endian_32(head);
        const unsigned char *type = head + 4;
        if (first) {
            if (memcmp(type, "IHDR", 4) != 0 || length != 13 || !read_bytes(&w->reader, body, 13) ||
                !read_header(body, f))
                return png_window_whole;
            first = 0;
            const png_window_result start = start_window(w, refusal);
            if (start != png_window_read) return start;
        } else if (memcmp(type, "PLTE", 4) == 0) {
            if (palette_seen || data_seen || transparency_seen || length > 768 || length % 3 != 0 ||
                !read_bytes(&w->reader, body, length))
                return png_window_whole;
            palette_seen = 1;
            f->palette_length = (int)(length / 3);
            for (int i = 0; i < f->palette_length; ++i) {
                memcpy(f->palette + 4 * i, body + 3 * i, 3);
                f->palette[4 * i + 3] = 255;
            }
        } else if (memcmp(type, "tRNS", 4) == 0) {
            if (transparency_seen || data_seen || length > 768 || !read_bytes(&w->reader, body, length))
                return png_window_whole;
            transparency_seen = 1;
            if (f->color == 3) {
                if (!palette_seen || (int)length > f->palette_length) return png_window_whole;
                for (uint32_t i = 0; i < length; ++i) f->palette[4 * i + 3] = body[i];
            } else {
                if (f->color & 4 || length != (uint32_t)f->channels * 2) return png_window_whole;
                f->transparent = 1;
                for (int k = 0; k < f->channels; ++k) {
                    f->key16[k] = (uint16_t)(body[2 * k] << 8 | body[2 * k + 1]);
                    if (f->depth < 16) f->key8[k] = (uint8_t)(body[2 * k + 1] * png_grey_scale(f->depth));
                }
            }
        } else if (memcmp(type, "IDAT", 4) == 0) {
            if (f->color == 3 && f->palette_length == 0) return png_window_whole;
            // The decoder gives up on more than 2 GiB of data in all, even past the stream's end.
            data_bytes += length;
            if (data_bytes > 0x7FFFFFFF) return png_window_whole;
            data_seen = 1;
            if (!feed(w, length, &sound)) return png_window_whole;
        } else if (memcmp(type, "IEND", 4) == 0) {
            break;
        } else if (!(type[0] & 0x20) || memcmp(type, "CgBI", 4) == 0) {
            return png_window_whole;  // a critical chunk the window does not know
        } else if (!skip_bytes(&w->reader, length)) {
            return png_window_whole;
        }
        if (!skip_bytes(&w->reader, 4)) return png_window_whole;  // the CRC, which the decoder ignores too
    }
    if (sound && !w->stream_end && w->header_bytes == 2 && !inflate_input(w, 1)) sound = 0;
    if (!data_seen || w->palette_beyond) return png_window_whole;
    // Far more data than the frame needs is refused without inflating it to
    // its end; data that is not sound otherwise, or ends before the stream
    // does, is left to the decoder.
    if (w->excess > (uint64_t)(1 + f->row_bytes) * f->height) {
        *refusal = refusal_png_excess;
        return png_window_refused;
    }
    if (!sound || !w->stream_end) return png_window_whole;
    if (w->rows_done < f->height || w->bad_filter) {
        *refusal = refusal_png_data;
        return png_window_refused;
    }
    // The decoder refuses a stream that leaves it fewer than 16 bits to read
    // ahead where it decodes a code, as at the last one of a stream with
    // nothing after it. The 4 bytes of the Adler-32 value are always enough.
    if (w->after_end < 2) return png_window_whole;
    return png_window_read;
}

png_window_result png_window_decode(FILE *file, source_image *image, intake_refusal *refusal) {
    png_walk *w = (png_walk *)calloc(1, sizeof *w);
    if (!w) {
        *refusal = refusal_out_of_memory;
        return png_window_refused;
    }
    w->reader.file = file;
    const png_window_result result = walk_chunks(w, refusal);
    if (result == png_window_read) {
        image->pixels = w->pixels;
        image->width = (int32_t)w->format.width;
        image->height = (int32_t)w->format.height;
        image->held = w->keep;
        *refusal = refusal_none;
    } else {
        free(w->pixels);
    }
    free(w->z);
    free(w->out);
    free(w->input);
    free(w->rows);
    free(w);
    return result;
}
