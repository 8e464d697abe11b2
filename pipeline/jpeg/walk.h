// The JPEG part of intake's structural checks.
#pragma once

#include "pipeline/byte_reader.h"
#include "pipeline/intake_refusal.h"
#include "pipeline/jpeg_window.h"

// Called just past SOI. 1 when every marker segment is sound and every scan's
// entropy-coded data decodes, code by code, into exactly the blocks the frame
// needs; 0 otherwise. With a window (its data null), a sound JPEG whose crop
// leaves out whole MCUs also gets a sequential JPEG of the part the crop
// reads in window->data, for the caller to free; every other outcome leaves
// window->data null. `refusal` says why a file is refused.
int jpeg_structure_is_sound(byte_reader *r, jpeg_window *window, intake_refusal *refusal);
