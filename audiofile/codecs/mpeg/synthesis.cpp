// Polyphase synthesis filter bank (ISO/IEC 11172-3, 2.4.3.2 and Annex B
// table 3-B.3): 32-point matrixing into the V vector, then the 512-tap window.
#include "decoder_internal.h"

#include <cmath>

namespace qoro::mpeg::detail {
namespace {

// Synthesis window D[0..256] in units of 2^-16; D is symmetric about 256 and
// changes sign every 64 taps.
const int32_t kWindowHalf[257] = {
    0, -1, -1, -1, -1, -1, -1, -2, -2, -2, -2, -3, -3, -4, -4, -5,
    -5, -6, -7, -7, -8, -9, -10, -11, -13, -14, -16, -17, -19, -21, -24, -26,
    -29, -31, -35, -38, -41, -45, -49, -53, -58, -63, -68, -73, -79, -85, -91, -97,
    -104, -111, -117, -125, -132, -139, -147, -154, -161, -169, -176, -183, -190, -196, -202, -208,
    -213, -218, -222, -225, -227, -228, -228, -227, -224, -221, -215, -208, -200, -189, -177, -163,
    -146, -127, -106, -83, -57, -29, 2, 36, 72, 111, 153, 197, 244, 294, 347, 401,
    459, 519, 581, 645, 711, 779, 848, 919, 991, 1064, 1137, 1210, 1283, 1356, 1428, 1498,
    1567, 1634, 1698, 1759, 1817, 1870, 1919, 1962, 2001, 2032, 2057, 2075, 2085, 2087, 2080, 2063,
    2037, 2000, 1952, 1893, 1822, 1739, 1644, 1535, 1414, 1280, 1131, 970, 794, 605, 402, 185,
    -45, -288, -545, -814, -1095, -1388, -1692, -2006, -2330, -2663, -3004, -3351, -3705, -4063, -4425, -4788,
    -5153, -5517, -5879, -6237, -6589, -6935, -7271, -7597, -7910, -8209, -8491, -8755, -8998, -9219, -9416, -9585,
    -9727, -9838, -9916, -9959, -9966, -9935, -9863, -9750, -9592, -9389, -9139, -8840, -8492, -8092, -7640, -7134,
    -6574, -5959, -5288, -4561, -3776, -2935, -2037, -1082, -70, 998, 2122, 3300, 4533, 5818, 7154, 8540,
    9975, 11455, 12980, 14548, 16155, 17799, 19478, 21189, 22929, 24694, 26482, 28289, 30112, 31947, 33791, 35640,
    37489, 39336, 41176, 43006, 44821, 46617, 48390, 50137, 51853, 53534, 55178, 56778, 58333, 59838, 61289, 62684,
    64019, 65290, 66494, 67629, 68692, 69679, 70590, 71420, 72169, 72835, 73415, 73908, 74313, 74630, 74856, 74992,
    75038};

struct Tables {
    alignas(32) float window[512];   // D scaled to 16-bit output
    // Lee's fast DCT-II: 1 / (2 cos((2n + 1) pi / 2N)) for N = 32, 16, 8, 4, 2.
    float dctScale32[16], dctScale16[8], dctScale8[4], dctScale4[2], dctScale2[1];
    Tables()
    {
        auto scales = [](float* out, int n) {
            for (int i = 0; i < n / 2; ++i) out[i] = float(0.5 / std::cos((2 * i + 1) * M_PI / (2.0 * n)));
        };
        scales(dctScale32, 32);
        scales(dctScale16, 16);
        scales(dctScale8, 8);
        scales(dctScale4, 4);
        scales(dctScale2, 2);
        for (int i = 0; i < 512; ++i) {
            const int base = i <= 256 ? kWindowHalf[i] : kWindowHalf[512 - i];
            const float sign = ((i >> 6) & 1) ? -1.0f : 1.0f;
            window[i] = sign * float(base) / 65536.0f * 32768.0f;
        }
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

const float* dctScales(const Tables& t, int n)
{
    switch (n) {
    case 32: return t.dctScale32;
    case 16: return t.dctScale16;
    case 8: return t.dctScale8;
    case 4: return t.dctScale4;
    default: return t.dctScale2;
    }
}

// X[k] = sum_n x[n] cos((2n + 1) k pi / 2N), split into even and odd halves.
template <int N>
inline void dct2(const Tables& t, const float* x, float* out)
{
    if constexpr (N == 1) {
        out[0] = x[0];
    } else {
        constexpr int H = N / 2;
        const float* scale = dctScales(t, N);
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
