// JPEG export: the target is always a new file, and a failed save leaves
// no file behind.
#pragma once

#include <stdio.h>

#include "pipeline/portrait_raster.h"
#include "platform/runtime.h"

// The exclusive creation of the target: an open stream on a new, empty file,
// or null on every failure alike (the name exists, the folder is missing or
// not writable, the name is not valid).
FILE *create_output_file(const path_char *save_path);

// Encodes the raster into the stream as a quality-92 baseline JPEG without
// chroma subsampling, closes the stream exactly once and, after any write or
// close failure, deletes the file at save_path. 1 when saved, 0 when not.
int export_jpeg(FILE *stream, const portrait_raster *raster, const path_char *save_path);
