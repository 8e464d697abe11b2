// The wallpaper a photo must give, as a file, for the screen tests to
// compare the program's file with.
//   kadrova_reference_convert PHOTO NEW-FILE
#include <stdio.h>

#include "tests/support/reference_wallpaper.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: kadrova_reference_convert PHOTO NEW-FILE\n", stderr);
        return 2;
    }
    bytes file = reference_wallpaper(read_file(argv[1]));
    if (file.empty()) return 1;
    write_file(argv[2], file);
    return 0;
}
