// Runtime services on POSIX: glibc's fopen honours "x" as O_EXCL, which also
// refuses a name that is a symbolic link, dangling or not.
#include "platform/runtime.h"

FILE *open_for_reading(const path_char *path) { return fopen(path, "rb"); }

FILE *create_exclusive(const path_char *path) { return fopen(path, "wbx"); }

int delete_file(const path_char *path) { return remove(path) == 0; }
