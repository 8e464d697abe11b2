// The geometry of the crop: the largest centred 9:16 region of a photo of
// width × height pixels, and where each output pixel samples it. Shared by
// crop-and-scale, intake (which decodes only what the crop reads) and the
// open dialog's preview. Every value is formed in IEEE double, one rounded
// operation at a time, in the order written.
#pragma once

#include <stdint.h>

enum { crop_output_width = 1080, crop_output_height = 1920 };

// Source pixels per output pixel, and the crop's left and top edge in source
// edge coordinates; the crop is 1080 × scale wide and 1920 × scale high.
struct crop_geometry {
    double scale, offset_x, offset_y;
};
crop_geometry crop_geometry_of(int32_t width, int32_t height);

// The centre of output pixel `index` on one axis, mapped into the crop in
// source centre coordinates and clamped into 0 … size − 1 (upper limit
// first). Gives the nearer source index, the farther one, and returns the
// fraction towards the farther one.
double crop_sample(int32_t index, double scale, double offset, int32_t size, int32_t *near_index, int32_t *far_index);

// The first and the last source column (or row) that the crop reads; it may
// read any in between.
struct crop_span {
    int32_t first;
    int32_t last;
};
void crop_reach(int32_t width, int32_t height, crop_span *columns, crop_span *rows);
