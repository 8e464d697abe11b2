// The open dialog's preview on one photo, piece by piece, as the dialog's
// idle time runs it: the number of pieces, the longest one, the whole time,
// the peak memory, and what the preview shows. With a second argument the
// picture is written there as PNG, to be looked at.
//   kadrova_preview_pieces PHOTO [PICTURE.png]
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>

#include "app/preview_load.h"

static double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    if (argc != 2 && argc != 3) {
        fputs("usage: kadrova_preview_pieces PHOTO [PICTURE.png]\n", stderr);
        return 2;
    }
    preview_load load;
    double start = now_ms();
    preview_start(&load, argv[1]);
    double longest = now_ms() - start;
    int pieces = 1;
    for (int more = 1; more; ++pieces) {
        double piece_start = now_ms();
        more = preview_piece(&load);
        double took = now_ms() - piece_start;
        if (took > longest) longest = took;
    }
    double total = now_ms() - start;
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("photo %d x %d, picture %d x %d, %s\n", load.width, load.height, load.picture_width, load.picture_height,
           load.picture ? "shown" : load.problem ? load.problem : "none");
    printf("pieces %d, longest %.1f ms, total %.1f ms, peak RSS %.1f MiB\n", pieces, longest, total,
           (double)usage.ru_maxrss / 1024.0);
    if (argc == 3 && load.picture && !gdk_pixbuf_save(load.picture, argv[2], "png", NULL, NULL)) return 1;
    preview_stop(&load);
    return 0;
}
