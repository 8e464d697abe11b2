#include <dirent.h>
#include <stddef.h>
#include <malloc.h>

#include "tests/support/held_resources.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps its own heap; its runtime tells what is in use.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
static long heap_in_use() { return (long)__sanitizer_get_current_allocated_bytes(); }
#else
static long heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return (long)(info.uordblks + info.hblkhd);
}
#endif

held_resources current_resources() {
    held_resources held = {-1, heap_in_use()};
    DIR *fds = opendir("/proc/self/fd");
    if (!fds) return held;
    long count = 0;
    while (readdir(fds)) ++count;
    closedir(fds);
    held.open_files = count;
    return held;
}
