// Polyphase synthesis filter bank (ISO/IEC 11172-3, 2.4.3.2 and Annex B
// table 3-B.3): 32-point matrixing into the V vector, then the 512-tap window.
#include "polyphase.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fast_dct.h"
#include "mpeg/layer2_tables.h"

namespace qoro::dsp {
namespace {

struct Tables {
    alignas(32) float window[512];  // D scaled to 16-bit output
    DctScales dctScale;             // Lee's fast DCT factors, by transform size
    // The window rearranged for output pairs 16 - m and 16 + m (see
    // PolyphaseSynthesis::filter): for each of the 8 row pairs and each group of four
    // m (4g + 1 .. 4g + 4), the weights of the even row for the lower
    // output, of the odd row for it, of the even row for the upper output and
    // of the odd row for it, with the signs of the V vector's symmetries
    // folded in; and the odd row's weight for output 16.
    alignas(16) float pairs[8][4][16];
    float middle[8];
    Tables() {
        for (int i = 0; i < 512; ++i) {
            window[i] = float(mpeg::polyphaseWindow(i)) / 65536.0f * 32768.0f;
        }
        for (int i = 0; i < 8; ++i) {
            const float* wa = window + 64 * i;
            const float* wb = wa + 32;
            for (int g = 0; g < 4; ++g)
                for (int l = 0; l < 4; ++l) {
                    const int m = 4 * g + 1 + l;
                    pairs[i][g][l] = wa[16 - m];
                    pairs[i][g][4 + l] = -wb[16 - m];
                    pairs[i][g][8 + l] = m < 16 ? -wa[16 + m] : 0.0f;
                    pairs[i][g][12 + l] = m < 16 ? -wb[16 + m] : 0.0f;
                }
            middle[i] = -wb[16];
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

#if defined(__SSE2__)

// The same transform with four lanes: the first two halvings on vectors of
// the input, the four 8-point transforms they leave side by side (one per
// lane), and the odd outputs as sums of neighbours on the way back up -
// every sum and product as the scalar version makes it.
inline __m128 reversed(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// Sums and scaled differences of the mirrored halves of n values (n / 2 of each).
inline void halve(const float* x, int n, const float* scale, float* a, float* b) {
    for (int k = 0; k < n / 2; k += 4) {
        const __m128 lo = _mm_loadu_ps(x + k);
        const __m128 hi = reversed(_mm_loadu_ps(x + n - 4 - k));
        _mm_store_ps(a + k, _mm_add_ps(lo, hi));
        _mm_store_ps(b + k, _mm_mul_ps(_mm_sub_ps(lo, hi), _mm_loadu_ps(scale + k)));
    }
}

// out[2k] = even[k], out[2k + 1] = odd[k] + odd[k + 1] (odd[h] = 0), h values each.
inline void interleaveHalves(const float* even, float* odd, int h, float* out) {
    odd[h] = 0.0f;
    for (int k = 0; k < h; k += 4) {
        const __m128 e = _mm_load_ps(even + k);
        const __m128 o = _mm_add_ps(_mm_load_ps(odd + k), _mm_loadu_ps(odd + k + 1));
        _mm_storeu_ps(out + 2 * k, _mm_unpacklo_ps(e, o));
        _mm_storeu_ps(out + 2 * k + 4, _mm_unpackhi_ps(e, o));
    }
}

// Four 8-point transforms, one per lane.
inline void dct8x4(const Tables& t, const __m128* x, __m128* out) {
    auto mul = [](__m128 v, float c) { return _mm_mul_ps(v, _mm_set1_ps(c)); };
    const float* s8 = t.dctScale[8];
    const float* s4 = t.dctScale[4];
    const float s2 = t.dctScale[2][0];
    __m128 a[4], b[4];
    for (int n = 0; n < 4; ++n) {
        a[n] = _mm_add_ps(x[n], x[7 - n]);
        b[n] = mul(_mm_sub_ps(x[n], x[7 - n]), s8[n]);
    }
    auto dct4 = [&](const __m128* v, __m128* e) {
        const __m128 aa0 = _mm_add_ps(v[0], v[3]), aa1 = _mm_add_ps(v[1], v[2]);
        const __m128 ab0 = mul(_mm_sub_ps(v[0], v[3]), s4[0]), ab1 = mul(_mm_sub_ps(v[1], v[2]), s4[1]);
        const __m128 d1 = mul(_mm_sub_ps(ab0, ab1), s2);
        e[0] = _mm_add_ps(aa0, aa1);
        e[1] = _mm_add_ps(_mm_add_ps(ab0, ab1), d1);
        e[2] = mul(_mm_sub_ps(aa0, aa1), s2);
        e[3] = d1;
    };
    __m128 ea[4], eb[4];
    dct4(a, ea);
    dct4(b, eb);
    for (int k = 0; k < 3; ++k) {
        out[2 * k] = ea[k];
        out[2 * k + 1] = _mm_add_ps(eb[k], eb[k + 1]);
    }
    out[6] = ea[3];
    out[7] = eb[3];
}

inline void dct32(const Tables& t, const float* x, float* out) {
    alignas(16) float a16[16], b16[16];
    halve(x, 32, t.dctScale[32], a16, b16);
    alignas(16) float r[4][8];  // the four 8-point inputs
    halve(a16, 16, t.dctScale[16], r[0], r[1]);
    halve(b16, 16, t.dctScale[16], r[2], r[3]);
    __m128 in[8], e[8];
    for (int half = 0; half < 2; ++half) {
        __m128 c0 = _mm_load_ps(r[0] + 4 * half), c1 = _mm_load_ps(r[1] + 4 * half);
        __m128 c2 = _mm_load_ps(r[2] + 4 * half), c3 = _mm_load_ps(r[3] + 4 * half);
        _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
        in[4 * half] = c0;
        in[4 * half + 1] = c1;
        in[4 * half + 2] = c2;
        in[4 * half + 3] = c3;
    }
    dct8x4(t, in, e);
    alignas(16) float d[4][12];  // the four 8-point outputs (room for a zero behind)
    for (int half = 0; half < 2; ++half) {
        __m128 c0 = e[4 * half], c1 = e[4 * half + 1], c2 = e[4 * half + 2], c3 = e[4 * half + 3];
        _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
        _mm_store_ps(d[0] + 4 * half, c0);
        _mm_store_ps(d[1] + 4 * half, c1);
        _mm_store_ps(d[2] + 4 * half, c2);
        _mm_store_ps(d[3] + 4 * half, c3);
    }
    alignas(16) float ea[16], eb[20];
    interleaveHalves(d[0], d[1], 8, ea);
    interleaveHalves(d[2], d[3], 8, eb);
    interleaveHalves(ea, eb, 16, out);
}

#endif

}  // namespace

void PolyphaseSynthesis::reset() {
    std::memset(v_, 0, sizeof v_);
    pos_ = 0;
}

#if defined(__SSE2__)

void PolyphaseSynthesis::window(const float* s, float* f) {
    // The V vector of a slot is made of its 32 transform outputs y: V[0..15]
    // = y[16..31], V[16] = 0, V[17..48] = -y[31..0], V[49..63] = -y[1..15].
    // The window takes the first half of the even rows (A) and the second
    // half of the odd rows (B), and A[16 + m] = -A[16 - m] = -y[32 - m],
    // B[16 + m] = B[16 - m] = -y[m]: outputs 16 - m and 16 + m weigh the
    // same two values. A row keeps y and y reversed; the signs are in the
    // weights. The sums are those of the plain form, term for term.
    const Tables& t = tables();
    pos_ = (pos_ - 1) & 15;
    float* row = v_[pos_];
    dct32(t, s, row);
    for (int k = 0; k < 32; k += 4) _mm_store_ps(row + 32 + k, reversed(_mm_load_ps(row + 28 - k)));

    __m128 lo[4], hi[4];
    for (int g = 0; g < 4; ++g) lo[g] = hi[g] = _mm_setzero_ps();
    float middle = 0.0f;
    for (int i = 0; i < 8; ++i) {
        const float* even = v_[(pos_ + 2 * i) & 15];
        const float* odd = v_[(pos_ + 2 * i + 1) & 15];
        for (int g = 0; g < 4; ++g) {
            const float* w = t.pairs[i][g];
            const __m128 p = _mm_load_ps(even + 32 + 4 * g);  // y[32 - m]
            const __m128 q = _mm_loadu_ps(odd + 4 * g + 1);   // y[m]
            lo[g] = _mm_add_ps(lo[g], _mm_add_ps(_mm_mul_ps(p, _mm_load_ps(w)), _mm_mul_ps(q, _mm_load_ps(w + 4))));
            hi[g] =
                _mm_add_ps(hi[g], _mm_add_ps(_mm_mul_ps(p, _mm_load_ps(w + 8)), _mm_mul_ps(q, _mm_load_ps(w + 12))));
        }
        middle += odd[0] * t.middle[i];
    }
    for (int g = 0; g < 4; ++g) {
        _mm_storeu_ps(f + 12 - 4 * g, reversed(lo[g]));  // outputs 12 - 4g .. 15 - 4g
        _mm_storeu_ps(f + 17 + 4 * g, hi[g]);            // outputs 17 + 4g .. 20 + 4g
    }
    f[16] = middle;
}

void PolyphaseSynthesis::filter(const float* s, int16_t* pcm) {
    alignas(16) float f[36];
    window(s, f);
    // Rounded to nearest (the processor's mode, as lrintf), clipped, NaN as 0.
    const __m128 top = _mm_set1_ps(32767.0f), bottom = _mm_set1_ps(-32768.0f);
    for (int j = 0; j < 32; j += 8) {
        __m128 p = _mm_load_ps(f + j), q = _mm_load_ps(f + j + 4);
        p = _mm_and_ps(_mm_min_ps(_mm_max_ps(p, bottom), top), _mm_cmpord_ps(p, p));
        q = _mm_and_ps(_mm_min_ps(_mm_max_ps(q, bottom), top), _mm_cmpord_ps(q, q));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pcm + j), _mm_packs_epi32(_mm_cvtps_epi32(p), _mm_cvtps_epi32(q)));
    }
}

void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r,
                      int16_t* out) {
    alignas(16) int16_t a[32], b[32];
    left.filter(l, a);
    right.filter(r, b);
    for (int k = 0; k < 32; k += 8) {
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(a + k));
        const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(b + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi16(x, y));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 8), _mm_unpackhi_epi16(x, y));
    }
}

#else

void PolyphaseSynthesis::window(const float* s, float* acc) {
    const Tables& t = tables();
    float x[32];
    dct2<32>(t.dctScale, s, x);
    pos_ = (pos_ - 1) & 15;
    float* v = v_[pos_];
    for (int i = 0; i < 16; ++i) v[i] = x[16 + i];
    v[16] = 0.0f;
    for (int i = 17; i <= 48; ++i) v[i] = -x[48 - i];
    for (int i = 49; i < 64; ++i) v[i] = -x[i - 48];

    std::fill(acc, acc + 32, 0.0f);
    for (int i = 0; i < 8; ++i) {
        const float* a = v_[(pos_ + 2 * i) & 15];
        const float* b = v_[(pos_ + 2 * i + 1) & 15] + 32;
        const float* wa = t.window + 64 * i;
        const float* wb = wa + 32;
        for (int j = 0; j < 32; ++j) acc[j] += a[j] * wa[j] + b[j] * wb[j];
    }
}

void PolyphaseSynthesis::filter(const float* s, int16_t* pcm) {
    float acc[36];
    window(s, acc);
    for (int j = 0; j < 32; ++j) pcm[j] = roundToPcm16(acc[j]);
}

void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r,
                      int16_t* out) {
    int16_t a[32], b[32];
    left.filter(l, a);
    right.filter(r, b);
    for (int k = 0; k < 32; ++k) {
        out[2 * k] = a[k];
        out[2 * k + 1] = b[k];
    }
}

#endif

void PolyphaseSynthesis::run(const float* s, float* out, int stride) {
    alignas(16) float f[36];
    window(s, f);
    for (int j = 0; j < 32; ++j) out[j * stride] = f[j] * (1.0f / 32768.0f);
}

void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r, float* out) {
    left.run(l, out, 2);
    right.run(r, out + 1, 2);
}

void PolyphaseSynthesis::run(const float* s, int16_t* out, int stride) {
    if (stride == 1) {
        filter(s, out);
        return;
    }
    int16_t pcm[32];
    filter(s, pcm);
    for (int j = 0; j < 32; ++j) out[j * stride] = pcm[j];
}

}  // namespace qoro::dsp
