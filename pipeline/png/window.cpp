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
    unsigned char *rows;   // two full rows, the filter type byte first: the one being filled and the one before
    size_t row_filled;
    // The rows in the order the data holds them: top to bottom, or for an
    // interlaced PNG the seven passes one after another, each a small
    // picture of its own whose first row has none above it.
    uint32_t rows_done;    // rows complete, over all passes
    int pass;              // 0 to 6 when interlaced; 7 once every row is done
    uint32_t pass_width;   // pixels in a row of this pass
    uint32_t pass_rows_left;
    size_t row_size;       // a row of this pass, with its filter type byte
    int first_of_pass;     // the row being filled has none above it
    uint64_t frame_bytes;  // what the stream should give: every row with its filter type byte
    uint64_t excess;       // bytes inflated past the last row
    uint64_t after_end;    // bytes of IDAT data after the stream's end
    pixel_rect keep;
    size_t unfiltered_bytes;  // of each row: up to the last pixel the crop reads
    unsigned char *pixels;    // the crop's part; null when the rows are only checked
    // Palette indices can lie past the palette: every row is unfiltered
    // whole and each index checked, for the decoder would read such an
    // entry from memory it never set.
    int check_indices;
    int palette_beyond;
    int bad_filter;
    int apple;              // a CgBI chunk
    size_t decoder_growth;  // how far the decoder may grow a block, reading the file whole
};

// Adam7: where each pass starts, and how far apart its pixels lie.
static const uint8_t pass_left[7] = {0, 4, 0, 2, 0, 1, 0}, pass_top[7] = {0, 0, 4, 0, 2, 0, 1};
static const uint8_t pass_step_x[7] = {8, 8, 4, 4, 2, 2, 1}, pass_step_y[7] = {8, 8, 8, 4, 4, 2, 2};

// The size of pass p (or of the whole picture, p = -1), as the decoder
// works it out; a pass may be empty.
static void pass_size(const png_format *f, int p, uint32_t *width, uint32_t *height) {
    if (p < 0) {
        *width = f->width;
        *height = f->height;
        return;
    }
    *width = (f->width - pass_left[p] + pass_step_x[p] - 1) / pass_step_x[p];
    *height = (f->height - pass_top[p] + pass_step_y[p] - 1) / pass_step_y[p];
    if (!*width || !*height) *width = *height = 0;
}

static size_t row_data_bytes(const png_format *f, uint32_t width) {
    return ((size_t)width * (size_t)f->channels * (size_t)f->depth + 7) / 8;
}

// On to the next pass that has pixels: pass 7 once there is none.
static void next_pass(png_walk *w) {
    const png_format *f = &w->format;
    do {
        ++w->pass;
        if (w->pass > 6 || (!f->interlaced && w->pass > 0)) {
            w->pass = 7;
            return;
        }
        pass_size(f, f->interlaced ? w->pass : -1, &w->pass_width, &w->pass_rows_left);
    } while (w->pass_rows_left == 0);
    w->row_size = 1 + row_data_bytes(f, w->pass_width);
    w->first_of_pass = 1;
}

// What the decoder inflates for the whole file is every row of every pass
// with its filter type byte. A sound stream gives that; it takes no more
// than twice as much, and its data comes to little more, so no block of the
// decoder's need grow past twice that. (Its first guess is that of a PNG
// that is not interlaced; it doubles that block as the stream goes on.)
static uint64_t whole_frame_bytes(const png_format *f) {
    uint64_t sum = 0;
    for (int p = f->interlaced ? 0 : -1; p < (f->interlaced ? 7 : 0); ++p) {
        uint32_t width, height;
        pass_size(f, p, &width, &height);
        if (width) sum += (uint64_t)(1 + row_data_bytes(f, width)) * height;
    }
    return sum;
}

static size_t decoder_growth_for(const png_format *f) {
    const uint64_t need = whole_frame_bytes(f);
    const uint64_t most = 2 * (need + need / 8192 + 65536);
    return most < (uint64_t)SIZE_MAX ? (size_t)most : SIZE_MAX;
}

// The header as the decoder checks it; 0 for anything it refuses (or, for
// colour and depth that PNG does not combine, may read otherwise).
static int read_header(const unsigned char *p, png_format *f) {
    f->width = big_endian_32(p);
    f->height = big_endian_32(p + 4);
    f->depth = p[8];
    f->color = p[9];
    f->interlaced = p[12];
    if (p[10] || p[11] || p[12] > 1) return 0;
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
    f->row_bytes = row_data_bytes(f, f->width);
    f->pixel_bytes = f->channels * d / 8 > 0 ? f->channels * d / 8 : 1;
    return 1;
}

// A complete row: its filter undone up to what is needed, its palette
// indices checked where they must be, and the crop's columns kept. Rows
// after the last the crop reads only have their filter type checked,
// unless their indices are.
static void finish_row(png_walk *w) {
    const png_format *f = &w->format;
    const size_t stride = 1 + f->row_bytes;
    unsigned char *row = w->rows + (w->rows_done & 1) * stride;
    const unsigned char *prior = w->first_of_pass ? NULL : w->rows + ((w->rows_done - 1) & 1) * stride;
    const uint32_t y = w->rows_done++;
    const uint32_t width = w->pass_width;
    const size_t data_bytes = w->row_size - 1;
    w->row_filled = 0;
    w->first_of_pass = 0;
    if (--w->pass_rows_left == 0) next_pass(w);
    if (row[0] > 4) w->bad_filter = 1;
    const uint32_t bottom = (uint32_t)(w->keep.top + w->keep.height);
    if (w->bad_filter || (!w->check_indices && (!w->pixels || y >= bottom))) return;
    png_unfilter(f, row[0], row + 1, prior ? prior + 1 : NULL, w->check_indices ? data_bytes : w->unfiltered_bytes);
    if (w->check_indices && !png_indices_fit(f, row + 1, width)) w->palette_beyond = 1;
    if (!w->pixels || y < (uint32_t)w->keep.top || y >= bottom) return;
    unsigned char *out = w->pixels + (size_t)(y - (uint32_t)w->keep.top) * (size_t)w->keep.width * 4;
    if (!png_row_to_rgba(f, row + 1, (uint32_t)w->keep.left, (uint32_t)w->keep.width, out)) w->palette_beyond = 1;
}

// What a step of ISA-L made: into the rows, and past them counted. 0 once
// it goes on far past the frame.
static int take_output(png_walk *w) {
    const size_t stride = 1 + w->format.row_bytes;
    const unsigned char *p = w->out;
    size_t n = (size_t)(w->z->next_out - w->out);
    while (n > 0 && w->pass < 7) {
        unsigned char *row = w->rows + (w->rows_done & 1) * stride;
        const size_t k = n < w->row_size - w->row_filled ? n : w->row_size - w->row_filled;
        memcpy(row + w->row_filled, p, k);
        w->row_filled += k;
        p += k;
        n -= k;
        if (w->row_filled == w->row_size) finish_row(w);
    }
    w->excess += n;
    // The decoder would inflate it all; the window stops here.
    return w->excess <= w->frame_bytes;
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

// Once the header is known: the crop's part, where the window can hold it
// (a PNG that is not interlaced, the crop leaving something out of its
// frame). Otherwise the decoder reads the file, png_window_whole, and for a
// palette the rows are only walked, through ISA-L, to check their indices
// ahead of it.
static png_window_result start_window(png_walk *w, intake_refusal *refusal) {
    const png_format *f = &w->format;
    crop_span columns, rows;
    crop_reach((int32_t)f->width, (int32_t)f->height, &columns, &rows);
    w->keep.left = columns.first;
    w->keep.top = rows.first;
    w->keep.width = columns.last - columns.first + 1;
    w->keep.height = rows.last - rows.first + 1;
    const int whole_frame = (uint32_t)w->keep.width == f->width && (uint32_t)w->keep.height == f->height;
    if ((f->interlaced || whole_frame) && f->color != 3) return png_window_whole;
    if (!f->interlaced && !whole_frame) {
        const uint64_t last_bit =
            ((uint64_t)w->keep.left + (uint64_t)w->keep.width) * (uint64_t)f->channels * (uint64_t)f->depth;
        w->unfiltered_bytes = (size_t)((last_bit + 7) / 8);
        w->pixels = (unsigned char *)large_block_malloc((size_t)w->keep.width * (size_t)w->keep.height * 4);
        if (!w->pixels) {
            *refusal = refusal_out_of_memory;
            return png_window_refused;
        }
    }
    w->frame_bytes = whole_frame_bytes(f);
    w->pass = -1;
    next_pass(w);
    w->rows = (unsigned char *)malloc(2 * (1 + f->row_bytes));
    w->input = (unsigned char *)malloc(input_capacity);
    w->out = (unsigned char *)malloc(output_step);
    w->z = (inflate_state *)calloc(1, sizeof *w->z);
    if (!w->rows || !w->input || !w->out || !w->z) {
        *refusal = refusal_out_of_memory;
        return png_window_refused;
    }
    isal_inflate_init(w->z);  // raw DEFLATE: the zlib header is read here
    return png_window_read;
}

// The IHDR chunk's body: the format, and how far the decoder may grow its
// blocks should it read the file whole (it refuses on its own a header that
// gives none).
static png_window_result read_ihdr(png_walk *w, const unsigned char *body, intake_refusal *refusal) {
    png_format *f = &w->format;
    const int readable = read_header(body, f);
    w->decoder_growth = 0;
    if (f->width <= source_side_limit && f->height <= source_side_limit && body[12] <= 1) {
        png_format as_decoder = *f;  // the samples a pixel as the decoder counts them, whatever the depth
        as_decoder.channels = f->color == 3 ? 1 : (f->color & 2 ? 3 : 1) + (f->color & 4 ? 1 : 0);
        w->decoder_growth = decoder_growth_for(&as_decoder);
    }
    if (!readable || w->apple) return png_window_whole;
    return start_window(w, refusal);
}

// At the first IDAT chunk, the palette known: whether indices can lie past
// it. Where nothing is kept and nothing needs checking, the decoder reads
// the file.
static int start_data(png_walk *w) {
    const png_format *f = &w->format;
    w->check_indices = f->color == 3 && f->palette_length < 1 << f->depth;
    if (w->check_indices) w->unfiltered_bytes = f->row_bytes;
    return w->pixels || w->check_indices;
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
        if (memcmp(type, "CgBI", 4) == 0) {
            // Apple's variant, which the decoder reads otherwise: never a window.
            w->apple = 1;
            if (!first) return png_window_whole;
            if (!skip_bytes(&w->reader, length)) return png_window_whole;
        } else if (first) {
            if (memcmp(type, "IHDR", 4) != 0 || length != 13 || !read_bytes(&w->reader, body, 13))
                return png_window_whole;
            first = 0;
            const png_window_result start = read_ihdr(w, body, refusal);
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
            if (!data_seen && !start_data(w)) return png_window_whole;
            // The decoder gives up on more than 2 GiB of data in all, even past the stream's end.
            data_bytes += length;
            if (data_bytes > 0x7FFFFFFF) return png_window_whole;
            data_seen = 1;
            if (!feed(w, length, &sound)) return png_window_whole;
        } else if (memcmp(type, "IEND", 4) == 0) {
            break;
        } else if (!(type[0] & 0x20)) {
            return png_window_whole;  // a critical chunk the window does not know
        } else if (!skip_bytes(&w->reader, length)) {
            return png_window_whole;
        }
        if (!skip_bytes(&w->reader, 4)) return png_window_whole;  // the CRC, which the decoder ignores too
    }
    if (sound && !w->stream_end && w->header_bytes == 2 && !inflate_input(w, 1)) sound = 0;
    if (!data_seen) return png_window_whole;
    // Far more data than the frame needs is refused without inflating it to
    // its end; so is an index past the palette. Data that is not sound
    // otherwise, or ends before the stream does, is left to the decoder.
    if (w->excess > w->frame_bytes) {
        *refusal = refusal_png_excess;
        return png_window_refused;
    }
    if (w->palette_beyond) {
        *refusal = refusal_png_palette;
        return png_window_refused;
    }
    if (!sound || !w->stream_end) return png_window_whole;
    if (w->pass < 7 || w->bad_filter) {
        *refusal = refusal_png_data;
        return png_window_refused;
    }
    // The decoder refuses a stream that leaves it fewer than 16 bits to read
    // ahead where it decodes a code, as at the last one of a stream with
    // nothing after it. The 4 bytes of the Adler-32 value are always enough.
    if (w->after_end < 2 || !w->pixels) return png_window_whole;
    return png_window_read;
}

// Whether every palette index the decoder will look up lies in the palette:
// the palette has an entry for every index the depth can hold, or every row
// was checked.
static int indices_known(const png_walk *w) {
    const png_format *f = &w->format;
    if (f->color != 3) return 1;
    if (w->apple) return 0;  // the decoder inflates its data otherwise
    if (f->depth <= 8 && f->palette_length >= 1 << f->depth) return 1;
    return w->check_indices && w->pass == 7 && !w->palette_beyond && !w->bad_filter;
}

png_window_result png_window_decode(FILE *file, source_image *image, size_t *decoder_growth, intake_refusal *refusal) {
    *decoder_growth = SIZE_MAX;
    png_walk *w = (png_walk *)calloc(1, sizeof *w);
    if (!w) {
        *refusal = refusal_out_of_memory;
        return png_window_refused;
    }
    w->reader.file = file;
    w->decoder_growth = SIZE_MAX;
    png_window_result result = walk_chunks(w, refusal);
    // Left to the decoder, a palette whose indices were not all seen to fit
    // is refused: a sound file has one palette ahead of its data, in a
    // stream any inflater reads.
    if (result == png_window_whole && !indices_known(w)) {
        *refusal = refusal_png_palette;
        result = png_window_refused;
    }
    *decoder_growth = w->decoder_growth;
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
