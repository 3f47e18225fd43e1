// Polyphase analysis filter bank (ISO/IEC 11172-3, Annex C.1.3): the 512-tap
// window, then the 32-point matrixing as a DCT-III.
#include "polyphase.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "fast_dct.h"
#include "mpeg/layer2_tables.h"

namespace qoro::dsp {
namespace {

struct Tables {
    alignas(32) float window[512];  // C[i] = D[i] / 32
    DctScales dctScale;             // Lee's fast DCT factors, by transform size
    Tables() {
        for (int i = 0; i < 512; ++i) window[i] = float(mpeg::polyphaseWindow(i)) / (65536.0f * 32.0f);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

PolyphaseAnalysis::PolyphaseAnalysis() { tables(); }

void PolyphaseAnalysis::run(const float* in, float* out) {
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
    dct3<32>(t.dctScale, a, out);
}

}  // namespace qoro::dsp
