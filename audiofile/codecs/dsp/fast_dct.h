// The fast 2^k-point DCTs behind the polyphase filter banks (Lee's
// factorisation: each transform splits into two of half the size). The
// synthesis matrixing is a DCT-II, the analysis matrixing a DCT-III.
#pragma once

#include <initializer_list>

#include "mpeg/layer2_tables.h"

namespace qoro::dsp {

// Lee's factors 1 / (2 cos((2k + 1) pi / 2N)) by transform size N = 2 .. 32.
struct DctScales {
    const float* bySize[33] = {};
    DctScales() {
        for (int n : {2, 4, 8, 16, 32}) bySize[n] = mpeg::polyphaseDctScales(n);
    }
    const float* operator[](int n) const { return bySize[n]; }
};

// DCT-II: X[k] = sum_n x[n] cos((2n + 1) k pi / 2N), split into even and odd
// halves.
template <int N>
inline void dct2(const DctScales& scales, const float* x, float* out) {
    if constexpr (N == 1) {
        out[0] = x[0];
    } else {
        constexpr int H = N / 2;
        const float* scale = scales[N];
        float a[H], b[H], ea[H], eb[H];
        for (int n = 0; n < H; ++n) {
            a[n] = x[n] + x[N - 1 - n];
            b[n] = (x[n] - x[N - 1 - n]) * scale[n];
        }
        dct2<H>(scales, a, ea);
        dct2<H>(scales, b, eb);
        for (int k = 0; k < H - 1; ++k) {
            out[2 * k] = ea[k];
            out[2 * k + 1] = eb[k] + eb[k + 1];
        }
        out[N - 2] = ea[H - 1];
        out[N - 1] = eb[H - 1];
    }
}

// DCT-III: y[k] = sum_n x[n] cos(pi n (2k + 1) / 2N): the even inputs form a
// half-size transform, the odd ones (summed in neighbouring pairs) another,
// whose outputs are weighted by Lee's factors and folded.
template <int N>
inline void dct3(const DctScales& scales, const float* x, float* y) {
    if constexpr (N == 1) {
        y[0] = x[0];
    } else {
        constexpr int H = N / 2;
        float e[H], u[H], ev[H], od[H];
        e[0] = x[0];
        u[0] = x[1];
        for (int m = 1; m < H; ++m) {
            e[m] = x[2 * m];
            u[m] = x[2 * m + 1] + x[2 * m - 1];
        }
        dct3<H>(scales, e, ev);
        dct3<H>(scales, u, od);
        const float* s = scales[N];
        for (int k = 0; k < H; ++k) {
            const float o = od[k] * s[k];
            y[k] = ev[k] + o;
            y[N - 1 - k] = ev[k] - o;
        }
    }
}

}  // namespace qoro::dsp
