// Polyphase synthesis filter bank (ISO/IEC 11172-3, 2.4.3.2 and Annex B
// table 3-B.3): 32-point matrixing into the V vector, then the 512-tap window.
#include "decoder_internal.h"

#include <cmath>
#include <initializer_list>

#include "mpeg/layer2_tables.h"

namespace qoro::mpeg::detail {
namespace {

struct Tables {
    alignas(32) float window[512];   // D scaled to 16-bit output
    const float* dctScale[33] = {};  // Lee's fast DCT-II factors, by transform size
    Tables()
    {
        for (int n : {2, 4, 8, 16, 32}) dctScale[n] = polyphaseDctScales(n);
        for (int i = 0; i < 512; ++i) {
            window[i] = float(polyphaseWindow(i)) / 65536.0f * 32768.0f;
        }
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

// X[k] = sum_n x[n] cos((2n + 1) k pi / 2N), split into even and odd halves.
template <int N>
inline void dct2(const Tables& t, const float* x, float* out)
{
    if constexpr (N == 1) {
        out[0] = x[0];
    } else {
        constexpr int H = N / 2;
        const float* scale = t.dctScale[N];
        float a[H], b[H], ea[H], eb[H];
        for (int n = 0; n < H; ++n) {
            a[n] = x[n] + x[N - 1 - n];
            b[n] = (x[n] - x[N - 1 - n]) * scale[n];
        }
        dct2<H>(t, a, ea);
        dct2<H>(t, b, eb);
        for (int k = 0; k < H - 1; ++k) {
            out[2 * k] = ea[k];
            out[2 * k + 1] = eb[k] + eb[k + 1];
        }
        out[N - 2] = ea[H - 1];
        out[N - 1] = eb[H - 1];
    }
}

inline int16_t toPcm(float x)
{
    if (x >= 32767.0f) return 32767;
    if (!(x > -32768.0f)) return x != x ? 0 : -32768;  // NaN never reaches the conversion
    return int16_t(std::lrintf(x));
}

}  // namespace

void Synthesis::reset()
{
    std::memset(v_, 0, sizeof v_);
    pos_ = 0;
}

void Synthesis::run(const float* s, int16_t* out, int stride)
{
    const Tables& t = tables();
    float x[32];
    dct2<32>(t, s, x);
    pos_ = (pos_ - 1) & 15;
    float* v = v_[pos_];
    for (int i = 0; i < 16; ++i) v[i] = x[16 + i];
    v[16] = 0.0f;
    for (int i = 17; i <= 48; ++i) v[i] = -x[48 - i];
    for (int i = 49; i < 64; ++i) v[i] = -x[i - 48];

    float acc[32] = {};
    for (int i = 0; i < 8; ++i) {
        const float* a = v_[(pos_ + 2 * i) & 15];
        const float* b = v_[(pos_ + 2 * i + 1) & 15] + 32;
        const float* wa = t.window + 64 * i;
        const float* wb = wa + 32;
        for (int j = 0; j < 32; ++j) acc[j] += a[j] * wa[j] + b[j] * wb[j];
    }
    for (int j = 0; j < 32; ++j) out[j * stride] = toPcm(acc[j]);
}

}  // namespace qoro::mpeg::detail
