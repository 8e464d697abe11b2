// The preview's JPEG reader: libjpeg, fed the file a little at a time, so
// that no call into it does more than a short step, and decoding the photo
// at the smallest of 1/8, 1/4, 1/2 and 1 that is not smaller than the
// picture. A progressive JPEG is taken in whole before its one output pass:
// however many scans it has, none is shown on its own.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct jpeg_reader;

// The file from its start, whose frame header was found to be `width` ×
// `height`, within the limits; null when out of memory. libjpeg must find the
// same frame.
jpeg_reader *jpeg_reader_open(FILE *file, int32_t width, int32_t height, int32_t picture_width, int32_t picture_height);

enum jpeg_step { jpeg_step_more, jpeg_step_row, jpeg_step_done, jpeg_step_damaged };

// One short step: reads a little more of the file, or gives the next
// decoded row (jpeg_step_row, its RGB in `row`, `width` pixels), or says the
// file is read to its end marker, or that it is damaged or ends before its
// end marker.
jpeg_step jpeg_reader_step(jpeg_reader *j, const unsigned char **row, int32_t *width,
                                         int32_t *height, int32_t *row_number);

void jpeg_reader_close(jpeg_reader *j);
