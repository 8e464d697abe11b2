#include "tests/support/plain_crop_and_scale.h"

#include <stddef.h>

void plain_crop_and_scale(const source_image *image, unsigned char *out) {
    const int32_t W = image->width;
    const int32_t H = image->height;
    const double s = (double)W / 1080.0 < (double)H / 1920.0 ? (double)W / 1080.0 : (double)H / 1920.0;
    const double ox = ((double)W - 1080.0 * s) * 0.5;
    const double oy = ((double)H - 1920.0 * s) * 0.5;

    for (int32_t i = 0; i < 1920; ++i) {
        for (int32_t j = 0; j < 1080; ++j) {
            for (int c = 0; c < 3; ++c) {
                double sy = ((double)i + 0.5) * s + oy - 0.5;
                if (!(sy < (double)(H - 1))) sy = (double)(H - 1);
                if (!(sy > 0.0)) sy = 0.0;
                int32_t y0 = (int32_t)sy;
                double fy = sy - (double)y0;
                int32_t y1 = y0 + 1 < H ? y0 + 1 : y0;

                double sx = ((double)j + 0.5) * s + ox - 0.5;
                if (!(sx < (double)(W - 1))) sx = (double)(W - 1);
                if (!(sx > 0.0)) sx = 0.0;
                int32_t x0 = (int32_t)sx;
                double fx = sx - (double)x0;
                int32_t x1 = x0 + 1 < W ? x0 + 1 : x0;

                const int32_t xs[4] = {x0, x1, x0, x1};
                const int32_t ys[4] = {y0, y0, y1, y1};
                const double w[4] = {(1.0 - fy) * (1.0 - fx), (1.0 - fy) * fx, fy * (1.0 - fx), fy * fx};

                double acc = 0.0;
                for (int k = 0; k < 4; ++k) {
                    const unsigned char *p = source_pixel(image, xs[k], ys[k]);
                    int v = p[c];
                    int a = p[3];
                    double composite = (double)(v * a) / 255.0 + 255.0 - (double)a;
                    acc = acc + composite * w[k];
                }
                acc = acc + 0.5;
                if (!(acc < 255.0)) acc = 255.0;
                out[(size_t)i * 3240 + (size_t)j * 3 + c] = (unsigned char)acc;
            }
        }
    }
}
