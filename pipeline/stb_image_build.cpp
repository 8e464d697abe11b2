// The one place where stb_image's decoder is compiled, with the settings the
// whole program relies on: JPEG and PNG only, no side longer than 32768. Its
// blocks come from calloc and realloc with the large-page advice, so that
// stbi_image_free (free) releases them as before; a block grows only as far
// as intake allows. Every byte of a block is set, what a block grows by
// too: the decoder copies from bytes it has not written where a stream says
// so (a DEFLATE distance code 30 or 31 is a distance of 0 to it), and those
// must never be what the heap held before.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pipeline/decoder_growth.h"
#include "platform/runtime.h"

static size_t growth_limit = SIZE_MAX;
static int growth_refused;

void limit_decoder_growth(size_t bytes) {
    growth_limit = bytes;
    growth_refused = 0;
}

int decoder_growth_refused(void) { return growth_refused; }

void *decoder_grow(void *block, size_t old_size, size_t size) {
    if (size > growth_limit) {
        growth_refused = 1;
        return NULL;  // the decoder gives up, and frees the block
    }
    unsigned char *grown = (unsigned char *)large_block_realloc(block, size);
    if (grown && size > old_size) memset(grown + old_size, 0, size - old_size);
    return grown;
}

#define STBI_MALLOC(size) large_block_zeroed(size)
#define STBI_REALLOC_SIZED(block, old_size, size) decoder_grow(block, old_size, size)
#define STBI_FREE(block) free(block)
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_MAX_DIMENSIONS 32768
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include "pipeline/source_image.h"
static_assert(STBI_MAX_DIMENSIONS == source_side_limit, "one side limit for the decoder and intake");
