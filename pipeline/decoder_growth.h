// A bound on how far stb_image may grow a block. The decoder grows blocks
// only where a PNG's size is not known ahead: the image data it gathers and
// the stream it inflates, which it doubles without end while the stream goes
// on. Intake sets the bound from the frame before a PNG is decoded whole, so
// that a small file cannot make it inflate gigabytes. One thread: a plain
// setting, as stb_image's own are.
#pragma once

#include <stddef.h>

// From now on, no block grows past `bytes`; SIZE_MAX lifts the bound.
void limit_decoder_growth(size_t bytes);

// 1 when the decoder was refused a block since the bound was last set.
int decoder_growth_refused(void);

// stb_image's STBI_REALLOC_SIZED: what the block grows by is zeroed.
void *decoder_grow(void *block, size_t old_size, size_t size);
