#include "app/preview_jpeg.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg is handed the file's bytes a piece at a time and suspends when it
// has used them. Taking in a progressive JPEG's scans, it would go on as
// long as it has bytes: a few bytes of a scan can make it pass over every
// block of a large frame, and a file can have thousands of scans. So after
// some rows of blocks in a step it is given no more bytes, and suspends
// (a run of empty blocks goes on a little further). A marker segment must
// be whole before libjpeg reads it, so a step that makes no progress doubles
// the bytes it is given, up to all there is room for.
static const size_t read_bytes_at_once = 16384;
static const size_t input_capacity = 65536 + 2 * read_bytes_at_once;
enum { block_rows_a_step = 4 };

// What libjpeg may go through in all: a hundred passes over every block,
// as intake allows, so that scans with little or no data cannot keep it
// busy for minutes. And no more memory than the largest photo's
// coefficients take.
enum { block_passes_allowed = 100 };
static const long memory_allowed = 512L << 20;

struct jpeg_reader {
    jpeg_decompress_struct decoder;
    jpeg_error_mgr errors;
    jmp_buf failed;
    jpeg_source_mgr source;
    jpeg_progress_mgr progress;
    int block_rows;       // taken in during this step
    long block_rows_left; // in all: a scan counts its start and its rows but the last
    long rows_counted;    // of libjpeg's pass counter
    FILE *file;
    int32_t width, height;  // the frame header's, as the preview read it
    int32_t picture_width, picture_height;
    int stage;            // 0 header, 1 taking the scans in, 2 rows, 3 to the end marker, 4 done
    size_t held;          // bytes after those libjpeg was given
    size_t ration;
    long skip_left;       // bytes libjpeg skips that were not read yet
    unsigned char *row;   // one decoded row: RGB, or CMYK before it is turned into RGB
    unsigned char input[input_capacity];
};

static void failed(j_common_ptr decoder) {
    jpeg_reader *j = (jpeg_reader *)decoder->client_data;
    longjmp(j->failed, 1);
}

// libjpeg's warnings: a picture with small faults is still a picture, but
// scan data that ends before its blocks do (libjpeg makes up the rest) and
// scans in an order that leaves coefficients unset are damage.
static void warned(j_common_ptr decoder, int level) {
    const int code = decoder->err->msg_code;
    if (level < 0 && (code == JWRN_HIT_MARKER || code == JWRN_BOGUS_PROGRESSION)) failed(decoder);
}

// Before each row of blocks libjpeg takes in (and each marker it reads, and
// each time it goes on after suspending): once there were enough this step,
// the bytes it has not used are held back from it. Its pass counter counts
// a scan's start and each row but the scan's last.
static void took_a_row(j_common_ptr decoder) {
    jpeg_reader *j = (jpeg_reader *)decoder->client_data;
    j->block_rows_left -= decoder->progress->pass_counter - j->rows_counted;
    j->rows_counted = decoder->progress->pass_counter;
    if (j->block_rows_left < 0) failed(decoder);
    if (++j->block_rows < block_rows_a_step) return;
    j->held += j->source.bytes_in_buffer;
    j->source.bytes_in_buffer = 0;
}

static void source_start(j_decompress_ptr) {}
static boolean source_more(j_decompress_ptr) { return FALSE; }  // suspends: the next step gives more
static void source_end(j_decompress_ptr) {}

static void source_skip(j_decompress_ptr decoder, long count) {
    jpeg_reader *j = (jpeg_reader *)decoder->client_data;
    jpeg_source_mgr *s = &j->source;
    if (count <= 0) return;
    if ((size_t)count <= s->bytes_in_buffer) {
        s->next_input_byte += count;
        s->bytes_in_buffer -= (size_t)count;
        return;
    }
    count -= (long)s->bytes_in_buffer;
    s->next_input_byte += s->bytes_in_buffer;
    s->bytes_in_buffer = 0;
    // What was held back goes first.
    const size_t from_held = (size_t)count < j->held ? (size_t)count : j->held;
    s->next_input_byte += from_held;
    j->held -= from_held;
    j->skip_left = count - (long)from_held;
}

static int create(jpeg_reader *j) {
    if (setjmp(j->failed)) return 0;  // out of memory
    jpeg_create_decompress(&j->decoder);
    j->decoder.mem->max_memory_to_use = memory_allowed;  // past it, libjpeg fails: it has no backing store
    return 1;
}

jpeg_reader *jpeg_reader_open(FILE *file, int32_t width, int32_t height, int32_t picture_width, int32_t picture_height) {
    jpeg_reader *j = (jpeg_reader *)calloc(1, sizeof *j);
    if (!j) return NULL;
    j->file = file;
    j->width = width;
    j->height = height;
    j->picture_width = picture_width;
    j->picture_height = picture_height;
    j->ration = read_bytes_at_once;
    j->decoder.err = jpeg_std_error(&j->errors);
    j->errors.error_exit = failed;
    j->errors.emit_message = warned;
    j->decoder.client_data = j;
    if (!create(j)) {
        free(j);
        return NULL;
    }
    j->source.init_source = source_start;
    j->source.fill_input_buffer = source_more;
    j->source.skip_input_data = source_skip;
    j->source.resync_to_restart = jpeg_resync_to_restart;
    j->source.term_source = source_end;
    j->source.next_input_byte = j->input;
    j->decoder.src = &j->source;
    j->progress.progress_monitor = took_a_row;
    j->decoder.progress = &j->progress;
    return j;
}

// More bytes for libjpeg, which suspended wanting more than it was given, or
// was given no more: up to the ration, from what is held or else from the
// file. 0 when there
// is nothing more: the file ends before its end marker.
static int give_more(jpeg_reader *j, int progress) {
    jpeg_source_mgr *s = &j->source;
    j->ration = progress ? read_bytes_at_once : j->ration < input_capacity / 2 ? 2 * j->ration : input_capacity;
    if (s->bytes_in_buffer + j->held < j->ration) {
        // What libjpeg has not used to the front, more of the file behind it.
        const size_t unused = s->bytes_in_buffer + j->held;
        memmove(j->input, s->next_input_byte, unused);
        s->next_input_byte = j->input;
        if (j->skip_left > 0 && fseek(j->file, j->skip_left, SEEK_CUR) != 0) return 0;
        j->skip_left = 0;
        const size_t room = input_capacity - unused;
        j->held += fread(j->input + unused, 1, room < read_bytes_at_once ? room : read_bytes_at_once, j->file);
    }
    const size_t wanted = j->ration > s->bytes_in_buffer + 1 ? j->ration - s->bytes_in_buffer : 1;
    const size_t given = wanted < j->held ? wanted : j->held;
    if (given == 0) return 0;
    s->bytes_in_buffer += given;
    j->held -= given;
    return 1;
}

// Which of 1/8, 1/4, 1/2 and 1: the smallest that is not smaller than the
// picture. CMYK is decoded as it is and turned into RGB row by row.
static void choose_output(jpeg_reader *j) {
    jpeg_decompress_struct *d = &j->decoder;
    d->scale_num = 1;
    for (d->scale_denom = 8; d->scale_denom > 1; d->scale_denom /= 2)
        if ((d->image_width + d->scale_denom - 1) / d->scale_denom >= (JDIMENSION)j->picture_width &&
            (d->image_height + d->scale_denom - 1) / d->scale_denom >= (JDIMENSION)j->picture_height)
            break;
    d->out_color_space = d->jpeg_color_space == JCS_CMYK || d->jpeg_color_space == JCS_YCCK ? JCS_CMYK : JCS_RGB;
    d->dct_method = JDCT_ISLOW;
}

// CMYK to RGB in place; Adobe's files store it inverted.
static void cmyk_to_rgb(jpeg_reader *j) {
    const int inverted = j->decoder.saw_Adobe_marker;
    for (JDIMENSION x = 0; x < j->decoder.output_width; ++x) {
        const unsigned char *in = j->row + 4 * x;
        int k = in[3], rgb[3] = {in[0], in[1], in[2]};
        for (int c = 0; c < 3; ++c)
            j->row[3 * x + (JDIMENSION)c] =
                (unsigned char)(inverted ? k * rgb[c] / 255 : (255 - k) * (255 - rgb[c]) / 255);
    }
}

jpeg_step jpeg_reader_step(jpeg_reader *j, const unsigned char **row, int32_t *width,
                                         int32_t *height, int32_t *row_number) {
    jpeg_decompress_struct *d = &j->decoder;
    if (setjmp(j->failed)) return jpeg_step_damaged;
    const unsigned char *before = j->source.next_input_byte;
    j->block_rows = 0;
    int done = 0;
    switch (j->stage) {
    case 0:
        if (jpeg_read_header(d, TRUE) != JPEG_HEADER_OK) break;
        // The frame the size rule was applied to, and no other.
        if (d->image_width != (JDIMENSION)j->width || d->image_height != (JDIMENSION)j->height)
            return jpeg_step_damaged;
        j->block_rows_left = block_passes_allowed * (long)d->num_components * (long)d->total_iMCU_rows;
        choose_output(j);
        j->stage = 1;
        return jpeg_step_more;
    case 1:
        if (!jpeg_start_decompress(d)) break;
        j->row = (unsigned char *)malloc((size_t)d->output_width * (size_t)d->output_components);
        if (!j->row) return jpeg_step_damaged;
        j->stage = 2;
        return jpeg_step_more;
    case 2: {
        const int32_t number = (int32_t)d->output_scanline;
        JSAMPROW rows[1] = {j->row};
        if (jpeg_read_scanlines(d, rows, 1) != 1) break;
        if (d->out_color_space == JCS_CMYK) cmyk_to_rgb(j);
        if (d->output_scanline == d->output_height) j->stage = 3;
        *row = j->row;
        *width = (int32_t)d->output_width;
        *height = (int32_t)d->output_height;
        *row_number = number;
        return jpeg_step_row;
    }
    case 3:
        done = jpeg_finish_decompress(d);
        if (done) j->stage = 4;
        break;
    default:
        return jpeg_step_done;
    }
    if (done) return jpeg_step_done;
    // Suspended: it wants more than it was given.
    return give_more(j, j->source.next_input_byte != before) ? jpeg_step_more : jpeg_step_damaged;
}

void jpeg_reader_close(jpeg_reader *j) {
    if (!j) return;
    jpeg_destroy_decompress(&j->decoder);
    free(j->row);
    free(j);
}
