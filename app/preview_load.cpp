#include "app/preview_load.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include "app/preview_jpeg.h"
#include "app/texts.h"
#include "pipeline/byte_reader.h"
#include "pipeline/file_structure.h"
#include "pipeline/source_image.h"
#include "platform/runtime.h"

// Work per piece: a piece stops taking more once this much time has gone.
// What one step can take beyond it is bounded by the step's size: a JPEG
// reader's step (preview_jpeg.h), a kilobyte of PNG data (which inflates to
// a megabyte of rows at the most), or one row of the picture.
enum { piece_microseconds = 8000, png_slice_bytes = 1024 };

// A picture begun is dropped: the reason shows instead.
static void fail(preview_load *load, const char *problem) {
    if (load->picture) g_object_unref(load->picture);
    load->picture = NULL;
    load->problem = problem;
    load->finished = 1;
}

// The size rule intake applies, on the header's width and height.
static int size_allowed(preview_load *load) {
    if (load->width < 1 || load->height < 1) {
        fail(load, text_preview_damaged);
        return 0;
    }
    if (load->width > source_side_limit || load->height > source_side_limit) {
        fail(load, text_preview_too_wide);
        return 0;
    }
    if ((int64_t)load->width * load->height > source_pixel_limit) {
        fail(load, text_preview_too_large);
        return 0;
    }
    // The picture: preview_side pixels on the photo's longer side.
    const int64_t longer = load->width > load->height ? load->width : load->height;
    load->picture_width = (int32_t)(((int64_t)load->width * preview_side + longer / 2) / longer);
    load->picture_height = (int32_t)(((int64_t)load->height * preview_side + longer / 2) / longer);
    if (load->picture_width < 1) load->picture_width = 1;
    if (load->picture_height < 1) load->picture_height = 1;
    return 1;
}

static int read_u16(FILE *file) {
    int high = getc(file);
    int low = getc(file);
    return high < 0 || low < 0 ? -1 : high << 8 | low;
}

// Walks a JPEG's marker segments up to its frame header. The kinds intake
// reads: 8-bit Huffman-coded baseline, extended sequential or progressive.
static int read_jpeg_header(preview_load *load) {
    for (int segments = 0; segments < 4096; ++segments) {
        int c = getc(load->file);
        if (c != 0xFF) break;
        int marker;
        do marker = getc(load->file);
        while (marker == 0xFF);
        if (marker < 0 || marker == 0xD9 || marker == 0xDA) break;  // an end, or a scan before any frame
        // No length: as libjpeg does, 0xFF 0x00 is passed over too.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        int length = read_u16(load->file);
        if (length < 2) break;
        const int frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (!frame) {
            if (fseek(load->file, length - 2, SEEK_CUR) != 0) break;
            continue;
        }
        int precision = getc(load->file);
        load->height = read_u16(load->file);
        load->width = read_u16(load->file);
        if (load->width < 0 || load->height < 0 || precision < 0) break;
        if (marker > 0xC2 || precision != 8) {
            fail(load, text_preview_unsupported);
            return 0;
        }
        return size_allowed(load);
    }
    fail(load, text_preview_damaged);
    return 0;
}

static void start_jpeg(preview_load *load) {
    load->jpeg = jpeg_reader_open(load->file, load->width, load->height, load->picture_width, load->picture_height);
    if (!load->jpeg) fail(load, text_preview_unreadable);
}

// The decoded row under the centre of picture row p, of `rows` in all.
static int32_t centre_row(int32_t p, int32_t rows, int32_t picture_rows) {
    return (int32_t)(((int64_t)p * 2 + 1) * rows / ((int64_t)picture_rows * 2));
}

// The columns of picture pixel x: [*first, *end) of `width`.
static void columns_under(const preview_load *load, int32_t x, int32_t width, int32_t *first, int32_t *end) {
    *first = (int32_t)((int64_t)x * width / load->picture_width);
    *end = (int32_t)((int64_t)(x + 1) * width / load->picture_width);
    if (*end <= *first) *end = *first + 1;
}

static int make_picture(preview_load *load) {
    load->picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, load->picture_width, load->picture_height);
    if (!load->picture) fail(load, text_preview_unreadable);
    return load->picture != NULL;
}

// A decoded row of RGB: each picture row it lies under the centre of, the
// mean of the pixels under each picture pixel.
static void take_jpeg_row(preview_load *load, const unsigned char *row, int32_t width, int32_t height, int32_t y) {
    for (; load->picture_rows_made < load->picture_height &&
           centre_row(load->picture_rows_made, height, load->picture_height) == y;
         ++load->picture_rows_made) {
        guchar *out = gdk_pixbuf_get_pixels(load->picture) +
                      (size_t)load->picture_rows_made * gdk_pixbuf_get_rowstride(load->picture);
        for (int32_t x = 0; x < load->picture_width; ++x) {
            int32_t first, end;
            columns_under(load, x, width, &first, &end);
            uint32_t sum[3] = {0, 0, 0};
            for (int32_t s = first; s < end; ++s)
                for (int c = 0; c < 3; ++c) sum[c] += row[(size_t)s * 3 + (size_t)c];
            const uint32_t count = (uint32_t)(end - first);
            for (int c = 0; c < 3; ++c) out[x * 3 + c] = (guchar)((sum[c] + count / 2) / count);
        }
    }
}

static int jpeg_piece(preview_load *load, gint64 deadline) {
    do {
        const unsigned char *row = NULL;
        int32_t width = 0, height = 0, y = 0;
        switch (jpeg_reader_step(load->jpeg, &row, &width, &height, &y)) {
        case jpeg_step_more:
            break;
        case jpeg_step_row:
            if (!load->picture && !make_picture(load)) return 0;
            take_jpeg_row(load, row, width, height, y);
            break;
        case jpeg_step_done:
            if (load->picture_rows_made < load->picture_height) fail(load, text_preview_damaged);
            load->finished = 1;
            return 0;
        case jpeg_step_damaged:
            fail(load, text_preview_damaged);
            return 0;
        }
    } while (g_get_monotonic_time() < deadline);
    return 1;
}

// PNG: the source rows the picture samples, one per picture row (the row
// under its centre), each kept whole as 8-bit RGBA; the columns are
// averaged when the picture is made.
// The source row under the centre of picture row p.
static int32_t sampled_row(const preview_load *load, int32_t p) {
    return centre_row(p, load->height, load->picture_height);
}

static void on_png_header(png_structp png, png_infop info) {
    preview_load *load = (preview_load *)png_get_progressive_ptr(png);
    png_set_expand(png);      // palette to RGB, grey below 8 bits to 8, tRNS to alpha
    png_set_strip_16(png);    // a 16-bit sample keeps its high byte, as intake does
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (size_t)load->width * 4) png_error(png, "unexpected row layout");
}

static void on_png_row(png_structp png, png_bytep row, png_uint_32 number, int) {
    preview_load *load = (preview_load *)png_get_progressive_ptr(png);
    if (!row || number >= (png_uint_32)load->height) return;
    const size_t row_bytes = (size_t)load->width * 4;
    // Consecutive picture rows may sample the same source row (a small photo).
    for (int32_t p = load->picture_row_of[number]; p >= 0 && p < load->picture_height; ++p) {
        if (sampled_row(load, p) != (int32_t)number) break;
        png_progressive_combine_row(png, load->rows + (size_t)p * row_bytes, row);
    }
}

static void on_png_end(png_structp png, png_infop) {
    preview_load *load = (preview_load *)png_get_progressive_ptr(png);
    load->png_ended = 1;
}

// A damaged file is said in the preview; nothing goes to the terminal.
static void png_failed(png_structp png, png_const_charp) { png_longjmp(png, 1); }
static void png_warned(png_structp, png_const_charp) {}

static void start_png(preview_load *load) {
    load->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, png_failed, png_warned);
    if (load->png) load->png_info = png_create_info_struct(load->png);
    load->picture_row_of = (int32_t *)malloc((size_t)load->height * sizeof(int32_t));
    load->rows = (unsigned char *)calloc((size_t)load->picture_height, (size_t)load->width * 4);
    if (!load->png || !load->png_info || !load->picture_row_of || !load->rows) {
        fail(load, text_preview_unreadable);
        return;
    }
    // Checksums are not what makes a photo readable to Kadrova.
    png_set_crc_action(load->png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(load->png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_progressive_read_fn(load->png, load, on_png_header, on_png_row, on_png_end);
    for (int32_t y = 0; y < load->height; ++y) load->picture_row_of[y] = -1;
    for (int32_t p = load->picture_height - 1; p >= 0; --p) {
        load->picture_row_of[sampled_row(load, p)] = p;
    }
}

// One picture row from its sampled source row: each picture pixel the mean
// of the source pixels under it, laid onto white as the wallpaper is.
static void make_png_picture_row(preview_load *load, int32_t p) {
    const unsigned char *source = load->rows + (size_t)p * load->width * 4;
    guchar *out = gdk_pixbuf_get_pixels(load->picture) + (size_t)p * gdk_pixbuf_get_rowstride(load->picture);
    for (int32_t x = 0; x < load->picture_width; ++x) {
        int32_t first, end;
        columns_under(load, x, load->width, &first, &end);
        uint64_t sum[3] = {0, 0, 0};
        for (int32_t s = first; s < end; ++s) {
            const unsigned char *px = source + (size_t)s * 4;
            for (int c = 0; c < 3; ++c) sum[c] += (uint64_t)(px[c] * px[3] + 255 * (255 - px[3]));
        }
        const uint64_t count = (uint64_t)(end - first) * 255;
        for (int c = 0; c < 3; ++c) out[x * 3 + c] = (guchar)((sum[c] + count / 2) / count);
    }
}

static int png_piece(preview_load *load, gint64 deadline) {
    if (setjmp(png_jmpbuf(load->png))) {
        fail(load, text_preview_damaged);
        return 0;
    }
    if (!load->png_ended) {
        do {
            if (load->png_input_at == load->png_input_end) {
                const size_t got = fread(load->png_input, 1, sizeof load->png_input, load->file);
                if (got == 0) {
                    fail(load, text_preview_damaged);  // cut off before its end
                    return 0;
                }
                load->png_input_at = 0;
                load->png_input_end = got;
            }
            const size_t left = load->png_input_end - load->png_input_at;
            const size_t n = left < (size_t)png_slice_bytes ? left : (size_t)png_slice_bytes;
            load->png_input_at += n;
            png_process_data(load->png, load->png_info, load->png_input + load->png_input_at - n, n);
        } while (!load->png_ended && g_get_monotonic_time() < deadline);
        return 1;
    }
    if (!load->picture && !make_picture(load)) return 0;
    do make_png_picture_row(load, load->picture_rows_made++);
    while (load->picture_rows_made < load->picture_height && g_get_monotonic_time() < deadline);
    if (load->picture_rows_made < load->picture_height) return 1;
    load->finished = 1;
    return 0;
}

void preview_start(preview_load *load, const char *path) {
    memset(load, 0, sizeof *load);
    load->file = open_for_reading(path);
    if (!load->file) {
        fail(load, text_preview_unreadable);
        return;
    }
    unsigned char head[24];
    size_t got = fread(head, 1, sizeof head, load->file);
    if (got >= 2 && head[0] == 0xFF && head[1] == 0xD8) {
        load->kind = preview_jpeg;
        if (fseek(load->file, 2, SEEK_SET) != 0 || !read_jpeg_header(load)) return;
        rewind(load->file);
        start_jpeg(load);
    } else if (got >= 8 && memcmp(head, png_signature, 8) == 0) {
        load->kind = preview_png;
        if (got < 24 || memcmp(head + 12, "IHDR", 4) != 0) {
            fail(load, text_preview_damaged);
            return;
        }
        load->width = (int32_t)big_endian_32(head + 16);
        load->height = (int32_t)big_endian_32(head + 20);
        if (!size_allowed(load)) return;
        rewind(load->file);
        start_png(load);
    } else {
        fail(load, text_preview_not_photo);
    }
}

int preview_piece(preview_load *load) {
    if (load->finished) return 0;
    const gint64 deadline = g_get_monotonic_time() + piece_microseconds;
    return load->kind == preview_jpeg ? jpeg_piece(load, deadline) : png_piece(load, deadline);
}

void preview_stop(preview_load *load) {
    if (load->file) fclose(load->file);
    jpeg_reader_close(load->jpeg);
    if (load->png) png_destroy_read_struct(&load->png, load->png_info ? &load->png_info : NULL, NULL);
    free(load->picture_row_of);
    free(load->rows);
    if (load->picture) g_object_unref(load->picture);
    memset(load, 0, sizeof *load);
}
