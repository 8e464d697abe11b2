// Compiled, like everything here, without fused multiply-add: the 3000 × 4000
// photo's first row samples at 0.5416666666664394 only in this order.
#include "pipeline/crop_geometry.h"

crop_geometry crop_geometry_of(int32_t width, int32_t height) {
    const double scale_x = (double)width / 1080.0;
    const double scale_y = (double)height / 1920.0;
    crop_geometry g;
    g.scale = scale_y < scale_x ? scale_y : scale_x;
    g.offset_x = ((double)width - 1080.0 * g.scale) * 0.5;
    g.offset_y = ((double)height - 1920.0 * g.scale) * 0.5;
    return g;
}

double crop_sample(int32_t index, double scale, double offset, int32_t size, int32_t *near_index, int32_t *far_index) {
    double position = ((double)index + 0.5) * scale + offset - 0.5;
    double last = (double)(size - 1);
    if (!(position < last)) position = last;
    if (!(position > 0.0)) position = 0.0;
    *near_index = (int32_t)position;
    *far_index = *near_index + 1 < size ? *near_index + 1 : *near_index;
    return position - (double)*near_index;
}

// Sample positions only grow with the output index, so the first output
// pixel's nearer index and the last one's farther index bound them all.
void crop_reach(int32_t width, int32_t height, crop_span *columns, crop_span *rows) {
    const crop_geometry g = crop_geometry_of(width, height);
    int32_t unused;
    crop_sample(0, g.scale, g.offset_x, width, &columns->first, &unused);
    crop_sample(crop_output_width - 1, g.scale, g.offset_x, width, &unused, &columns->last);
    crop_sample(0, g.scale, g.offset_y, height, &rows->first, &unused);
    crop_sample(crop_output_height - 1, g.scale, g.offset_y, height, &unused, &rows->last);
}
