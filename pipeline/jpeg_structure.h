// The JPEG part of intake's structural checks.
#pragma once

#include "pipeline/byte_reader.h"

// Called just past SOI. 1 when every marker segment is sound and every scan's
// entropy-coded data decodes, code by code, into exactly the blocks the frame
// needs; 0 otherwise.
int jpeg_structure_is_sound(byte_reader *r);
