// The open dialog's preview picture: a photo read in short pieces and made
// small (at most preview_side pixels on its longer side), as stored (no
// Exif rotation). A JPEG goes through libjpeg, a little at a time, decoded
// at an eighth of its size when that is enough (preview_jpeg.h); a PNG
// through libpng's progressive reader, which keeps only the rows the picture
// samples. Neither ever holds the whole photo's pixels. No GTK widget is
// involved.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <png.h>
#include <stdint.h>
#include <stdio.h>

enum { preview_side = 240 };

enum preview_kind { preview_not_started, preview_jpeg, preview_png };

struct preview_load {
    FILE *file;
    preview_kind kind;
    int32_t width, height;          // the photo's, once its header is read; 0 before
    int32_t picture_width, picture_height;
    const char *problem;            // why there is no picture; null while there is none to tell
    GdkPixbuf *picture;             // RGB or RGBA, picture_width × picture_height, once done
    int finished;                   // 1: picture or problem is final

    // JPEG
    struct jpeg_reader *jpeg;

    // PNG
    png_structp png;
    unsigned char png_input[16384];  // read from the file; libpng is given it a slice at a time
    size_t png_input_at, png_input_end;
    png_infop png_info;
    int png_ended;
    int32_t *picture_row_of;        // per source row: the first picture row it gives, or -1
    unsigned char *rows;            // picture_height rows of width × 4 bytes: the sampled source rows
    int32_t picture_rows_made;      // JPEG and PNG
};

// Opens the file and reads its header; the picture follows in pieces. The
// record must be zero or stopped before.
void preview_start(preview_load *load, const char *path);

// One piece of work, a few milliseconds long. 1 while there is more to do.
int preview_piece(preview_load *load);

// Drops the work and everything held; the record is zero afterwards.
void preview_stop(preview_load *load);
