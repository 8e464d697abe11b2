// The stages one at a time: crop-and-scale against the plain loop it must
// equal, on a 6000 x 4000 photo, opaque (every JPEG) and translucent; the
// export of one raster into a new file against the encoder writing into
// memory, which shows what the sink and the file cost.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <random>
#include <vector>

#include <stb/stb_image_write.h>
#include <unistd.h>

#include "export/jpeg_export.h"
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
        s->image.held.left = 0;
        s->image.held.top = 0;
        s->image.held.width = 6000;
        s->image.held.height = 4000;
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

const portrait_raster *scaled_photo() {
    static portrait_raster raster = crop_and_scale(&photo(false)->image);
    return &raster;
}

void export_to_new_file(benchmark::State &state) {
    const portrait_raster *raster = scaled_photo();
    char path[] = "/tmp/kadrova-bench-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    for (auto _ : state) {
        remove(path);
        FILE *stream = create_output_file(path);
        if (!stream || !export_jpeg(stream, raster, path)) state.SkipWithError("export failed");
    }
    remove(path);
}

void append_bytes(void *context, void *data, int size) {
    std::vector<unsigned char> *out = (std::vector<unsigned char> *)context;
    out->insert(out->end(), (unsigned char *)data, (unsigned char *)data + size);
}

void encode_into_memory(benchmark::State &state) {
    const portrait_raster *raster = scaled_photo();
    std::vector<unsigned char> out;
    out.reserve(8 << 20);
    for (auto _ : state) {
        out.clear();
        stbi_write_jpg_to_func(append_bytes, &out, portrait_width, portrait_height, 3, raster->pixels, 92);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = (double)out.size();
}

}  // namespace

BENCHMARK(crop_and_scale_6000x4000)->ArgName("translucent")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(plain_loop_6000x4000)->ArgName("translucent")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(export_to_new_file)->Unit(benchmark::kMillisecond);
BENCHMARK(encode_into_memory)->Unit(benchmark::kMillisecond);
