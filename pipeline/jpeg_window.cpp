// The window writer: the data block and the marker segments. The bits of the
// blocks go through the inline writer in jpeg_window.h.
#include "pipeline/jpeg_window.h"

#include <stdlib.h>
#include <string.h>

void window_drop(jpeg_window *w) {
    free(w->data);
    w->data = NULL;
    w->size = w->capacity = 0;
}

int window_grow(jpeg_window *w, size_t more) {
    size_t capacity = w->capacity ? w->capacity : (size_t)1 << 16;
    while (capacity - w->size < more) capacity *= 2;
    unsigned char *data = (unsigned char *)realloc(w->data, capacity);
    if (!data) {
        window_drop(w);
        return 0;
    }
    w->data = data;
    w->capacity = capacity;
    return 1;
}

int window_put_segment(jpeg_window *w, int marker, const unsigned char *body, uint32_t length) {
    if (!window_reserve(w, 4 + (size_t)length)) return 0;
    unsigned char *out = w->data + w->size;
    out[0] = 0xFF;
    out[1] = (unsigned char)marker;
    out[2] = (unsigned char)((length + 2) >> 8);
    out[3] = (unsigned char)(length + 2);
    memcpy(out + 4, body, length);
    w->size += 4 + (size_t)length;
    return 1;
}

int window_put_marker(jpeg_window *w, int marker) {
    if (!window_reserve(w, 2)) return 0;
    w->data[w->size++] = 0xFF;
    w->data[w->size++] = (unsigned char)marker;
    return 1;
}

int window_end_scan(jpeg_window *w) {
    if (!window_reserve(w, 2)) return 0;
    window_bits sink = window_begin_block(w);
    if (sink.count) window_put_bits(&sink, (1u << (8 - sink.count)) - 1, 8 - sink.count);
    window_end_block(w, &sink);
    w->bits = 0;
    w->count = 0;
    return 1;
}
