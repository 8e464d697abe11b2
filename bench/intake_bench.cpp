// Intake alone, on photos named on the command line (bench/compare.sh makes
// its photos in build/bench-photos): the structural walk, the window and the
// decoder's part of it, then the release. The file comes from the page
// cache; each round gets its large blocks from the kernel anew, as a run of
// the program does.
//   kadrova_bench_intake PHOTO... [benchmark options]
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>

#include "pipeline/source_image.h"
#include "platform/runtime.h"

namespace {

void intake(benchmark::State &state, const char *path) {
    for (auto _ : state) {
        FILE *file = open_for_reading(path);
        source_image image;
        if (!file || !load_source_image(file, &image)) {
            if (file) fclose(file);
            state.SkipWithError("not read");
            break;
        }
        benchmark::DoNotOptimize(image.pixels);
        release_source_image(&image);
        fclose(file);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    for (int k = 1; k < argc; ++k) {
        const std::string name = std::string("intake/") + argv[k];
        benchmark::RegisterBenchmark(name.c_str(), intake, argv[k])->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
