// A part of a photo, in pixels: the part a decoded block holds, and the part
// the crop's window of a JPEG holds.
#pragma once

#include <stdint.h>

struct pixel_rect {
    int32_t left, top, width, height;
};
