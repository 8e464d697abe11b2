// The JPEG walk. stb_image 2.27 trusts a file in ways that make it write past
// a table, read tables or planes nothing filled, or shift by more than the
// width of an int when a scan's data ends before its last block. So every
// marker segment is checked, and every scan's entropy-coded data is decoded
// into exactly the blocks the frame needs. The same pass writes the crop's
// window (jpeg_window.h): a sequential JPEG's blocks as they come, a
// progressive JPEG's at the end.
#include "pipeline/jpeg/walk.h"

#include <stdlib.h>

#include "pipeline/jpeg/markers.h"
#include "pipeline/jpeg/state.h"

// stb_image 2.27 makes the picture from planes it does not clear: a component
// that no scan gave its blocks would show uninitialised memory. This also
// refuses a JPEG that reaches its end marker without any scan.
static int every_component_scanned(const jpeg_state *j) {
    for (int k = 0; k < j->components; ++k)
        if (!j->component[k].scanned) return 0;
    return j->components > 0;
}

// The segments in order, to the end marker. The window copies what the
// decoder reads of them, and is only written for files whose segments follow
// each other directly and are all ones the decoder knows.
static int walk(byte_reader *r, jpeg_state *j) {
    int pending = 0;  // a marker already read, as the end of a scan's data
    for (;;) {
        int c = pending;
        pending = 0;
        if (!c) {
            c = next_byte(r);
            if (c != 0xFF) abandon_window(j);
            while (c >= 0 && c != 0xFF) c = next_byte(r);
            while (c == 0xFF) c = next_byte(r);
        }
        if (c < 0) return refuse(j, refusal_cut_off);
        if (c == marker_eoi) {
            if (j->window && j->progressive && !write_sequential_window(j)) abandon_window(j);
            if (j->window && !window_put_marker(j->window, marker_eoi)) abandon_window(j);
            return every_component_scanned(j) || refuse(j, refusal_component_unscanned);
        }
        if (c == marker_tem || c == 0x00 || is_restart_marker(c)) {
            abandon_window(j);
            continue;
        }
        int high = next_byte(r);
        int low = next_byte(r);
        if (high < 0 || low < 0) return refuse(j, refusal_cut_off);
        uint32_t length = (uint32_t)(high << 8 | low);
        if (length < 2) return refuse(j, refusal_segment);
        length -= 2;
        int parsed = c == marker_dht || c == marker_dqt || c == marker_dri || c == marker_sof0 || c == marker_sof1 ||
                     c == marker_sof2 || c == marker_sos;
        // JFIF and Adobe say how colours are stored.
        int copied = j->window && (c == marker_app0 || c == marker_app14);
        if (!parsed && !copied) {
            if (!is_app_marker(c) && c != marker_com) abandon_window(j);
            if (!skip_bytes(r, length)) return refuse(j, refusal_cut_off);
            continue;
        }
        if (!read_bytes(r, j->segment, length)) return refuse(j, refusal_cut_off);
        int sound = 1;
        if (c == marker_dht) {
            sound = read_huffman_tables(j->segment, length, j);
        } else if (c == marker_dqt) {
            sound = read_quant_tables(j->segment, length, j);
        } else if (c == marker_dri) {
            sound = read_restart_interval(j->segment, length, j);
        } else if (c == marker_sof0 || c == marker_sof1 || c == marker_sof2) {
            sound = read_frame_header(j->segment, length, c, j);
        } else if (c == marker_sos) {
            scan s;
            if (!read_scan_header(j->segment, length, j, &s)) return 0;
            int next = scan_data(r, &s, j);
            if (next == -1) return refuse(j, refusal_cut_off);
            if (next < 0) return 0;
            pending = next;
        } else if (!window_put_segment(j->window, c, j->segment, length)) {
            abandon_window(j);
        }
        if (!sound) return 0;
    }
}

int jpeg_structure_is_sound(byte_reader *r, jpeg_window *window, intake_refusal *refusal) {
    jpeg_state *j = (jpeg_state *)calloc(1, sizeof *j);
    if (!j) {
        *refusal = refusal_out_of_memory;
        return 0;
    }
    if (window) {
        window->data = NULL;
        window->size = window->capacity = 0;
        window->part.left = window->part.top = window->part.width = window->part.height = 0;
        window->bits = 0;
        window->count = 0;
        j->window = window_put_marker(window, marker_soi) ? window : NULL;
    }
    int sound = walk(r, j);
    if (!sound) abandon_window(j);
    *refusal = j->refusal;
    for (int k = 0; k < 4; ++k) {
        free(j->component[k].nonzero);
        free(j->component[k].kept);
    }
    free(j);
    return sound;
}
