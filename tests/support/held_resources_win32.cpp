// What the process holds on Windows: the UCRT's open file descriptors, and
// the heap bytes in use as counted by wrappers around the allocator.
//
// Wine's HeapWalk leaves out the blocks of megabytes (the raster, the
// decoded photo), so the bytes are counted where they are allocated: test
// programs that link this file are linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free, which sends
// every call of those (ours, stb's, the C++ library's) through the wrappers
// below. _msize gives the size of a block the UCRT heap handed out.
#include <io.h>
#include <malloc.h>
#include <stdlib.h>

#include "tests/support/held_resources.h"

static long heap_in_use;

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);

void *__wrap_malloc(size_t size) {
    void *block = __real_malloc(size);
    if (block) heap_in_use += (long)_msize(block);
    return block;
}

void *__wrap_calloc(size_t count, size_t size) {
    void *block = __real_calloc(count, size);
    if (block) heap_in_use += (long)_msize(block);
    return block;
}

void *__wrap_realloc(void *block, size_t size) {
    const long before = block ? (long)_msize(block) : 0;
    void *moved = __real_realloc(block, size);
    if (moved) {
        heap_in_use += (long)_msize(moved) - before;
    } else if (size == 0) {
        heap_in_use -= before;  // realloc to zero freed the block
    }
    return moved;
}

void __wrap_free(void *block) {
    if (block) heap_in_use -= (long)_msize(block);
    __real_free(block);
}
}

// _get_osfhandle reports an unused descriptor through the invalid-parameter
// handler, which would end the process; a handler that returns lets it give -1.
static void ignore_invalid_parameter(const wchar_t *, const wchar_t *, const wchar_t *, unsigned, uintptr_t) {}

static long open_descriptors() {
    _invalid_parameter_handler previous = _set_invalid_parameter_handler(ignore_invalid_parameter);
    long count = 0;
    for (int fd = 0; fd < 8192; ++fd)
        if (_get_osfhandle(fd) != -1) ++count;
    _set_invalid_parameter_handler(previous);
    return count;
}

held_resources current_resources() { return held_resources{open_descriptors(), heap_in_use}; }
