// A PNG photo decoded into only the part the crop reads: its IDAT stream is
// inflated as it is read, row after row has its filter undone, and only the
// crop's rows and columns are kept, as 8-bit RGBA with exactly the values
// stb_image 2.27 gives for the whole file.
#pragma once

#include <stdio.h>

#include "pipeline/intake_refusal.h"
#include "pipeline/source_image.h"

enum png_window_result {
    png_window_refused = 0,  // the decoder refuses the file too; `refusal` says why
    png_window_read = 1,     // `image` holds the crop's part
    png_window_whole = -1,   // not a file for the window, or one it cannot be sure of: decode it whole
};

// The file from its start; its size already within the limits. Where the
// crop reads the whole frame, and for interlaced PNGs and every layout of
// chunks the decoder might take otherwise than the window, png_window_whole;
// a palette PNG only once every index is known to lie in its palette.
// `decoder_growth` is then how far the decoder may grow a block as it
// gathers and inflates the file's image data (0 for a PNG it refuses on
// its header, SIZE_MAX for a file that is no PNG).
png_window_result png_window_decode(FILE *file, source_image *image, size_t *decoder_growth, intake_refusal *refusal);
