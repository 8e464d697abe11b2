// The stages one at a time: crop-and-scale against the plain loop it must
// equal, on a 6000 x 4000 photo, opaque (every JPEG) and translucent.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <random>
#include <vector>

#include "pipeline/portrait_raster.h"
#include "tests/support/plain_crop_and_scale.h"

namespace {

struct bench_source {
    std::vector<unsigned char> block;
    source_image image;
};

bench_source *photo(bool translucent) {
    static bench_source sources[2];
    bench_source *s = &sources[translucent];
    if (s->block.empty()) {
        s->block.resize((size_t)6000 * 4000 * 4);
        std::mt19937 random(11);
        for (size_t i = 0; i < s->block.size(); i += 4) {
            uint32_t bits = random();
            s->block[i] = (unsigned char)bits;
            s->block[i + 1] = (unsigned char)(bits >> 8);
            s->block[i + 2] = (unsigned char)(bits >> 16);
            s->block[i + 3] = translucent ? (unsigned char)(bits >> 24) : 255;
        }
        s->image.pixels = s->block.data();
        s->image.width = 6000;
        s->image.height = 4000;
    }
    return s;
}

void crop_and_scale_6000x4000(benchmark::State &state) {
    bench_source *s = photo(state.range(0) != 0);
    for (auto _ : state) {
        portrait_raster raster = crop_and_scale(&s->image);
        benchmark::DoNotOptimize(raster.pixels);
        free(raster.pixels);
    }
}

void plain_loop_6000x4000(benchmark::State &state) {
    bench_source *s = photo(state.range(0) != 0);
    std::vector<unsigned char> out((size_t)portrait_bytes);
    for (auto _ : state) {
        plain_crop_and_scale(&s->image, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

}  // namespace

BENCHMARK(crop_and_scale_6000x4000)->ArgName("translucent")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(plain_loop_6000x4000)->ArgName("translucent")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
