// Runtime services on Windows. The "x" of "wbx" is honoured only by the UCRT;
// the build links against it and not against msvcrt.dll.
#include "platform/runtime.h"

#include <stdlib.h>
#include <windows.h>

FILE *open_for_reading(const path_char *path) { return _wfopen(path, L"rb"); }

FILE *create_exclusive(const path_char *path) { return _wfopen(path, L"wbx"); }

int delete_file(const path_char *path) { return DeleteFileW(path) != 0; }

void *large_block_malloc(size_t size) { return malloc(size); }

void *large_block_realloc(void *block, size_t size) { return realloc(block, size); }

void *large_block_zeroed(size_t size) { return calloc(1, size); }
