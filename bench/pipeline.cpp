// The whole pipeline on one photo, stage by stage, as the program runs it:
// intake, crop-and-scale, export into a new file. Prints the time of each
// stage and the peak memory of the process.
//   kadrova_pipeline [--no-huge-pages] PHOTO NEW-FILE
// --no-huge-pages turns transparent huge pages off for this process, to
// measure what the large-page advice gains.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>


#include "export/jpeg_export.h"

static double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "--no-huge-pages") == 0) {
        prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
        ++arg;
    }
    if (argc - arg != 2) {
        fputs("usage: kadrova_pipeline [--no-huge-pages] PHOTO NEW-FILE\n", stderr);
        return 2;
    }
    const char *photo = argv[arg];
    const char *target = argv[arg + 1];

    double start = now_ms();
    FILE *input = open_for_reading(photo);
    source_image image;
    if (!input || !load_source_image(input, &image)) {
        fprintf(stderr, "%s: not read\n", photo);
        return 1;
    }
    double read = now_ms();
    portrait_raster raster = crop_and_scale(&image);
    release_source_image(&image);
    fclose(input);
    if (!raster.pixels) return 1;
    double scaled = now_ms();
    FILE *output = create_output_file(target);
    int saved = output && export_jpeg(output, &raster, target);
    free(raster.pixels);
    double done = now_ms();
    if (!saved) {
        fprintf(stderr, "%s: not saved\n", target);
        return 1;
    }
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("intake %.1f ms  crop-and-scale %.1f ms  export %.1f ms  total %.1f ms  peak %.1f MB  (%d x %d)\n",
           read - start, scaled - read, done - scaled, done - start, (double)usage.ru_maxrss / 1024.0, image.width,
           image.height);
    return 0;
}
