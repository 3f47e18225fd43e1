#include "polyphase_analysis.h"

#include <cmath>
#include <initializer_list>
#include <cstring>

#include "mpeg/layer2_tables.h"

namespace qoro::mp2enc {
namespace {

struct Tables {
    alignas(32) float window[512];  // C[i] = D[i] / 32
    const float* dctScale[33] = {};  // by transform size
    Tables()
    {
        for (int i = 0; i < 512; ++i) window[i] = float(mpeg::polyphaseWindow(i)) / (65536.0f * 32.0f);
        for (int n : {2, 4, 8, 16, 32}) dctScale[n] = mpeg::polyphaseDctScales(n);
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

// y[k] = sum_n x[n] cos(pi n (2k + 1) / 2N): the even inputs form a half-size
// transform, the odd ones (summed in neighbouring pairs) another, whose
// outputs are weighted by 1 / (2 cos((2k + 1) pi / 2N)) and folded.
template <int N>
inline void dct3(const Tables& t, const float* x, float* y)
{
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
        dct3<H>(t, e, ev);
        dct3<H>(t, u, od);
        const float* s = t.dctScale[N];
        for (int k = 0; k < H; ++k) {
            const float o = od[k] * s[k];
            y[k] = ev[k] + o;
            y[N - 1 - k] = ev[k] - o;
        }
    }
}

}  // namespace

PolyphaseAnalysis::PolyphaseAnalysis() { tables(); }

void PolyphaseAnalysis::run(const float* in, float* out)
{
    const Tables& t = tables();
    if (pos_ < 32) {
        // Keep the 480 newest samples at the top of the buffer.
        std::memmove(buf_ + 2048 - 480, buf_ + pos_, 480 * sizeof(float));
        pos_ = 2048 - 480;
    }
    pos_ -= 32;
    float* x = buf_ + pos_;
    for (int i = 0; i < 32; ++i) x[31 - i] = in[i];

    // Windowing and partial sums: Y[i] = sum_j C[i + 64j] X[i + 64j].
    float y[64];
    for (int i = 0; i < 64; ++i) y[i] = t.window[i] * x[i];
    for (int j = 1; j < 8; ++j) {
        const float* w = t.window + 64 * j;
        const float* xs = x + 64 * j;
        for (int i = 0; i < 64; ++i) y[i] += w[i] * xs[i];
    }

    // Matrixing S[k] = sum_i Y[i] cos((2k + 1)(i - 16) pi / 64), folded by the
    // symmetries of the cosine into a 32-point DCT-III.
    float a[32];
    a[0] = y[16];
    for (int n = 1; n <= 16; ++n) a[n] = y[16 + n] + y[16 - n];
    for (int n = 17; n < 32; ++n) a[n] = y[16 + n] - y[80 - n];
    dct3<32>(t, a, out);
}

}  // namespace qoro::mp2enc
