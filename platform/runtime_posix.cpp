// Runtime services on POSIX: glibc's fopen honours "x" as O_EXCL, which also
// refuses a name that is a symbolic link, dangling or not.
#include "platform/runtime.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

FILE *open_for_reading(const path_char *path) { return fopen(path, "rb"); }

FILE *create_exclusive(const path_char *path) { return fopen(path, "wbx"); }

int delete_file(const path_char *path) { return remove(path) == 0; }

// Transparent huge pages come in 2 MiB pieces aligned to 2 MiB: only the
// aligned part inside the block can have them.
static void advise_huge_pages(void *block, size_t size) {
    const uintptr_t huge = (uintptr_t)2 << 20;
    if (!block || size < 2 * huge) return;
    uintptr_t start = ((uintptr_t)block + huge - 1) & ~(huge - 1);
    uintptr_t end = ((uintptr_t)block + size) & ~(huge - 1);
    if (end > start) madvise((void *)start, end - start, MADV_HUGEPAGE);
}

void *large_block_malloc(size_t size) {
    void *block = malloc(size);
    advise_huge_pages(block, size);
    return block;
}

void *large_block_zeroed(size_t size) {
    void *block = calloc(1, size);
    advise_huge_pages(block, size);
    return block;
}

void *large_block_realloc(void *block, size_t size) {
    void *moved = realloc(block, size);
    advise_huge_pages(moved, size);
    return moved;
}
