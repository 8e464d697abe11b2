// The runtime services the rest of Kadrova takes from the platform: the path
// character type, opening a photo for reading, creating a new file exclusively
// and deleting a file. Streams are plain stdio streams with their default
// buffering; fwrite and fclose are used as they are.
#pragma once

#include <stddef.h>
#include <stdio.h>

#ifdef _WIN32
typedef wchar_t path_char;
#define PATH_TEXT(s) L##s
enum { path_capacity = 260 };  // MAX_PATH, in UTF-16 units
#else
typedef char path_char;
#define PATH_TEXT(s) s
enum { path_capacity = 4096 };  // PATH_MAX, in bytes of UTF-8
#endif

// A stream that reads the file's bytes unchanged from the first one, or null.
FILE *open_for_reading(const path_char *path);

// A new, empty file opened for writing bytes unchanged, or null when anything
// by that name exists already or the file cannot be made. The existence test
// and the creation are one step of the file system.
FILE *create_exclusive(const path_char *path);

// Removes a closed file. Returns 1 on success, 0 otherwise.
int delete_file(const path_char *path);

// Heap blocks for the decoded photo and the raster: plain malloc and realloc
// (so free and stbi_image_free release them), with blocks of megabytes
// advised for large pages where the platform has them. Page faults and TLB
// misses are most of what decoding a large photo costs.
void *large_block_malloc(size_t size);
void *large_block_realloc(void *block, size_t size);
// The same from calloc: every byte zero.
void *large_block_zeroed(size_t size);
