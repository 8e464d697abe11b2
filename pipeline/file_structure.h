// Intake's own structural checks, made before the decoder sees a byte: they
// refuse the files that stb_image 2.27 would take although they are not whole,
// or that would make it read or write out of bounds.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "pipeline/intake_refusal.h"
#include "pipeline/jpeg_window.h"

// The eight bytes every PNG starts with.
extern const unsigned char png_signature[8];

// 1 when the file is a JPEG or PNG whose structure the decoder can be trusted
// with; 0 otherwise, and `refusal` says why. Reads from the stream's current
// position on; where the stream is left is unspecified. A JPEG may also give
// its crop's window, as jpeg_structure_is_sound says; window may be null. A
// PNG gives the bytes of its IDAT chunks together in `png_data_bytes`, which
// may be null too.
int file_structure_is_sound(FILE *file, jpeg_window *window, uint64_t *png_data_bytes, intake_refusal *refusal);
