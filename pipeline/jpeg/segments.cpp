// The marker segments the walk reads: Huffman and quantisation tables, the
// restart interval, the frame header (where the crop's window is chosen) and
// the scan headers. What the decoder reads of them is copied into the window.
#include <stdlib.h>
#include <string.h>

#include "pipeline/crop_geometry.h"
#include "pipeline/jpeg/markers.h"
#include "pipeline/jpeg/state.h"
#include "pipeline/source_image.h"
#include "platform/runtime.h"

// stb_image 2.27 writes past its 257-entry size list when the sixteen counts
// of one table add up to more than 256. In the window every DC table becomes
// the one that codes bit count t as the 5-bit code t.
int read_huffman_tables(const unsigned char *p, uint32_t length, jpeg_state *j) {
    unsigned char out[4 * (17 + 256)];  // room for four tables; more are written as further segments
    uint32_t written = 0;
    while (length > 0) {
        if (length < 17) return refuse(j, refusal_huffman_table);
        int table_class = p[0] >> 4;
        int id = p[0] & 15;
        if (table_class > 1 || id > 3) return refuse(j, refusal_huffman_table);
        uint32_t symbols = 0;
        for (int k = 1; k <= 16; ++k) symbols += p[k];
        if (symbols > 256 || length - 17 < symbols) return refuse(j, refusal_huffman_table);
        if (!build_huffman_table(&j->huffman[table_class][id], p + 1, p + 17, symbols, table_class == 0))
            return refuse(j, refusal_huffman_table);
        // A progressive JPEG's window gets tables of its own at the end.
        if (j->window && !j->progressive) {
            if (written + 17 + 256 > sizeof out) {
                if (!window_put_segment(j->window, marker_dht, out, written)) abandon_window(j);
                written = 0;
            }
            if (table_class == 0) {
                out[written] = p[0];
                memset(out + written + 1, 0, 16);
                out[written + 5] = 16;
                for (int t = 0; t < 16; ++t) out[written + 17 + t] = (unsigned char)t;
                written += 17 + 16;
            } else {
                memcpy(out + written, p, 17 + symbols);
                written += 17 + symbols;
            }
        }
        p += 17 + symbols;
        length -= 17 + symbols;
    }
    if (j->window && !j->progressive && written && !window_put_segment(j->window, marker_dht, out, written))
        abandon_window(j);
    return 1;
}

int read_quant_tables(const unsigned char *p, uint32_t length, jpeg_state *j) {
    if (j->window && !window_put_segment(j->window, marker_dqt, p, length)) abandon_window(j);
    while (length > 0) {
        uint32_t size = (p[0] >> 4) ? 128 : 64;
        if ((p[0] & 15) > 3 || length < 1 + size) return refuse(j, refusal_quant_table);
        j->quant_defined[p[0] & 15] = 1;
        if (p[0] >> 4) j->quant_16_bit = 1;
        p += 1 + size;
        length -= 1 + size;
    }
    return 1;
}

// The window has no restart markers: it is not written.
int read_restart_interval(const unsigned char *p, uint32_t length, jpeg_state *j) {
    if (length != 2) return refuse(j, refusal_restart_interval);
    j->restart_interval = (uint32_t)(p[0] << 8 | p[1]);
    return 1;
}

// Whole MCUs around what the crop reads, with one to spare on each side: the
// decoder's chroma upsampling blends each sample with the next one on either
// side, and treats the edge of the picture apart. No window when it would be the frame.
static void choose_window(jpeg_state *j) {
    jpeg_window *w = j->window;
    if (!w) return;
    crop_span columns, rows;
    crop_reach(j->width, j->height, &columns, &rows);
    const int mcu_width = 8 * j->hmax, mcu_height = 8 * j->vmax;
    j->mcu_left = columns.first / mcu_width - 1 > 0 ? columns.first / mcu_width - 1 : 0;
    j->mcu_top = rows.first / mcu_height - 1 > 0 ? rows.first / mcu_height - 1 : 0;
    j->mcu_right = columns.last / mcu_width + 2 < j->mcux ? columns.last / mcu_width + 2 : j->mcux;
    j->mcu_bottom = rows.last / mcu_height + 2 < j->mcuy ? rows.last / mcu_height + 2 : j->mcuy;
    if (j->mcu_left == 0 && j->mcu_top == 0 && j->mcu_right == j->mcux && j->mcu_bottom == j->mcuy) {
        abandon_window(j);
        return;
    }
    w->part.left = j->mcu_left * mcu_width;
    w->part.top = j->mcu_top * mcu_height;
    w->part.width = (j->mcu_right * mcu_width < j->width ? j->mcu_right * mcu_width : j->width) - w->part.left;
    w->part.height = (j->mcu_bottom * mcu_height < j->height ? j->mcu_bottom * mcu_height : j->height) - w->part.top;
    for (int k = 0; k < j->components; ++k) {
        frame_component *fc = &j->component[k];
        fc->keep_x = j->mcu_left * fc->h;
        fc->keep_y = j->mcu_top * fc->v;
        fc->keep_width = ((w->part.width * fc->h + j->hmax - 1) / j->hmax + 7) / 8;
        fc->keep_height = ((w->part.height * fc->v + j->vmax - 1) / j->vmax + 7) / 8;
    }
}

static void set_window_size(unsigned char *header, const pixel_rect *part) {
    header[1] = (unsigned char)(part->height >> 8);
    header[2] = (unsigned char)part->height;
    header[3] = (unsigned char)(part->width >> 8);
    header[4] = (unsigned char)part->width;
}

// Room for the coefficients of the window's blocks, all zero at first: tens
// of megabytes for a large photo, so in large pages where there are any.
static int keep_window_blocks(jpeg_state *j) {
    for (int k = 0; k < j->components; ++k) {
        frame_component *fc = &j->component[k];
        const size_t size = (size_t)fc->keep_width * (size_t)fc->keep_height * 64 * sizeof *fc->kept;
        fc->kept = (int16_t *)large_block_malloc(size);
        if (!fc->kept) return 0;
        memset(fc->kept, 0, size);
    }
    return 1;
}

int read_frame_header(const unsigned char *p, uint32_t length, int marker, jpeg_state *j) {
    if (j->components || length < 6) return refuse(j, refusal_frame_header);
    int count = p[5];
    if (count < 1 || count > 4 || length != 6 + 3 * (uint32_t)count) return refuse(j, refusal_frame_header);
    j->height = p[1] << 8 | p[2];
    j->width = p[3] << 8 | p[4];
    // The size limits, already here: the walk goes over every block.
    if (j->width < 1 || j->height < 1 || j->width > source_side_limit || j->height > source_side_limit)
        return refuse(j, refusal_frame_size);
    if ((int64_t)j->width * j->height > source_pixel_limit) return refuse(j, refusal_frame_size);
    j->hmax = j->vmax = 1;
    for (int k = 0; k < count; ++k) {
        const unsigned char *c = p + 6 + 3 * k;
        frame_component *fc = &j->component[k];
        fc->id = c[0];
        fc->h = c[1] >> 4;
        fc->v = c[1] & 15;
        fc->quant = c[2];
        if (fc->h < 1 || fc->h > 4 || fc->v < 1 || fc->v > 4 || fc->quant > 3) return refuse(j, refusal_frame_header);
        if (fc->h > j->hmax) j->hmax = fc->h;
        if (fc->v > j->vmax) j->vmax = fc->v;
    }
    j->mcux = (j->width + 8 * j->hmax - 1) / (8 * j->hmax);
    j->mcuy = (j->height + 8 * j->vmax - 1) / (8 * j->vmax);
    uint64_t blocks = 0;
    for (int k = 0; k < count; ++k) {
        frame_component *fc = &j->component[k];
        fc->grid_width = j->mcux * fc->h;
        fc->grid_height = j->mcuy * fc->v;
        blocks += (uint64_t)fc->grid_width * (uint64_t)fc->grid_height;
    }
    j->components = count;
    j->progressive = marker == marker_sof2;
    j->blocks_left = blocks * block_passes_allowed;

    choose_window(j);
    if (j->window && j->progressive) {
        // The window's frame header is written at the end, when it is known
        // whether its coefficients fit a baseline JPEG.
        memcpy(j->frame, p, length);
        j->frame_length = length;
        set_window_size(j->frame, &j->window->part);
        if (!keep_window_blocks(j)) abandon_window(j);
    } else if (j->window) {
        unsigned char header[6 + 3 * 4];
        memcpy(header, p, length);
        set_window_size(header, &j->window->part);
        if (!window_put_segment(j->window, marker, header, length)) abandon_window(j);
    }
    return 1;
}

// stb_image 2.27 leaves its tables uninitialised until a segment defines them
// and indexes with what it finds there: a scan may use defined tables only.
int read_scan_header(const unsigned char *p, uint32_t length, jpeg_state *j, scan *s) {
    if (length < 1) return refuse(j, refusal_scan_header);
    int count = p[0];
    if (!j->components || count < 1 || count > 4 || length != 4 + 2 * (uint32_t)count) return refuse(j, refusal_scan_header);
    const unsigned char *head = p + 1;
    s->count = count;
    s->start = head[2 * count];
    s->end = head[2 * count + 1];
    s->high = head[2 * count + 2] >> 4;
    s->low = head[2 * count + 2] & 15;
    if (j->progressive) {
        if (s->start > 63 || s->end > 63 || s->start > s->end || s->high > 13 || s->low > 13)
            return refuse(j, refusal_scan_header);
        if (s->start > 0 && count != 1) return refuse(j, refusal_scan_header);
        // The decoder refuses a DC scan with AC coefficients, and a scan of
        // more components than the frame has, only when it decodes the scan,
        // which it then does not.
        if ((s->start == 0 && s->end != 0) || count > j->components) abandon_window(j);
    } else {
        if (s->start != 0 || s->high != 0 || s->low != 0) return refuse(j, refusal_scan_header);
        s->end = 63;
    }
    int needs_dc = !j->progressive || (s->start == 0 && s->high == 0);
    int needs_ac = !j->progressive || s->start > 0;
    for (int k = 0; k < count; ++k) {
        frame_component *c = NULL;
        for (int f = 0; f < j->components; ++f)
            if (j->component[f].id == head[2 * k]) c = &j->component[f];
        if (!c || !j->quant_defined[c->quant]) return refuse(j, refusal_scan_header);
        int dc = head[2 * k + 1] >> 4, ac = head[2 * k + 1] & 15;
        if (dc > 3 || ac > 3) return refuse(j, refusal_scan_header);
        if (needs_dc && !j->huffman[0][dc].defined) return refuse(j, refusal_scan_header);
        if (needs_ac && !j->huffman[1][ac].defined) return refuse(j, refusal_scan_header);
        for (int i = 0; i < k; ++i)
            if (s->component[i] == c) abandon_window(j);  // a component twice in one scan
        s->component[k] = c;
        // The decoder sets a progressive block up in its first DC scan: it
        // clears the whole block there. Any scan before would work on
        // memory nobody set, and one after AC scans would clear the
        // coefficients whose correction bits the walk counts, not knowing
        // which are nonzero.
        if (j->progressive && (needs_dc ? c->nonzero != NULL : !c->scanned)) return refuse(j, refusal_progression);
        if (needs_dc) c->scanned = 1;
        s->dc[k] = &j->huffman[0][dc];
        s->ac[k] = &j->huffman[1][ac];
        if (j->progressive && s->start > 0 && !c->nonzero) {
            c->nonzero = (uint64_t *)calloc((size_t)c->grid_width * (size_t)c->grid_height, sizeof *c->nonzero);
            if (!c->nonzero) return refuse(j, refusal_out_of_memory);
        }
    }
    if (j->window && !j->progressive && !window_put_segment(j->window, marker_sos, p, length)) abandon_window(j);
    return 1;
}
