// The G.726 blocks, in the order the algorithm runs them for one sample:
// adaptive prediction (FMULT, ACCUM), scale factor mixing (MIX), the
// quantiser in the log domain (LOG, QUAN) or its inverse (RECONST, ADDA,
// ANTILOG), reconstruction (ADDB, ADDC), then the updates: transition and
// tone detection, scale factor adaptation, predictor coefficients, speed
// control. Values keep the bit widths of the fixed-point description; where
// it wraps a 16-bit sum, so does this code.
#include "g72x_coder.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace qoro::audiofile::g72x {

namespace {

// Tables of one code width, indexed by the code magnitude |I|. Decision
// levels are normalised log2 differences × 128; reconstruction levels the
// same; scale factor multipliers W and transition values F are pre-scaled to
// the units of y (× 512) and of the short-term average (× 512).
struct WidthTables {
    int bits;
    std::span<const int16_t> decision;
    const int16_t* dqln;
    const int32_t* w;
    const int16_t* f;
};

constexpr int16_t kDecision2[] = {261};
constexpr int16_t kDqln2[] = {116, 365};
constexpr int32_t kW2[] = {-704, 14048};
constexpr int16_t kF2[] = {0, 3584};

constexpr int16_t kDecision3[] = {8, 218, 331};
constexpr int16_t kDqln3[] = {-2048, 135, 273, 373};
constexpr int32_t kW3[] = {-128, 960, 4384, 18624};
constexpr int16_t kF3[] = {0, 512, 1024, 3584};

constexpr int16_t kDecision4[] = {-124, 80, 178, 246, 300, 349, 400};
constexpr int16_t kDqln4[] = {-2048, 4, 135, 213, 273, 323, 373, 425};
constexpr int32_t kW4[] = {-384, 576, 1312, 2048, 3584, 6336, 11360, 35904};
constexpr int16_t kF4[] = {0, 0, 0, 512, 512, 512, 1536, 3584};

constexpr int16_t kDecision5[] = {-122, -16, 68, 139, 198, 250, 298, 339, 378, 413, 445, 475, 502, 528, 553};
constexpr int16_t kDqln5[] = {-2048, -66, 28, 104, 169, 224, 274, 318, 358, 395, 429, 459, 488, 514, 539, 566};
constexpr int32_t kW5[] = {448,  448,  768,  1248, 1280,  1312,  1856,  3200,
                           4512, 5728, 7008, 8960, 11456, 14080, 16928, 22272};
constexpr int16_t kF5[] = {0, 0, 0, 0, 0, 512, 512, 512, 512, 512, 1024, 1536, 2048, 2560, 3072, 3072};

constexpr WidthTables kTables[4] = {
    {2, kDecision2, kDqln2, kW2, kF2},
    {3, kDecision3, kDqln3, kW3, kF3},
    {4, kDecision4, kDqln4, kW4, kF4},
    {5, kDecision5, kDqln5, kW5, kF5},
};

const WidthTables& tablesFor(int bits) { return kTables[std::clamp(bits, 2, 5) - 2]; }

// Number of significant bits of a non-negative value (0 for 0).
int bitLength(int v) {
    int n = 0;
    while (v > 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

int16_t wrap16(int v) { return static_cast<int16_t>(v); }

// FLOATA / FLOATB: sign and magnitude to the 11-bit floating format.
int16_t toFloat(int sign, int mag) {
    const int exp = bitLength(mag);
    const int mant = mag == 0 ? 32 : (mag << 6) >> exp;
    return static_cast<int16_t>(sign << 10 | exp << 6 | mant);
}

// FMULT: a predictor coefficient times a signal in floating format.
int fmult(int16_t an, int16_t srn) {
    const int anS = an < 0 ? 1 : 0;
    const int anMag = anS ? (-(an >> 2)) & 8191 : an >> 2;
    const int anExp = bitLength(anMag);
    const int anMant = anMag == 0 ? 32 : (anMag << 6) >> anExp;
    const int srnS = (srn >> 10) & 1;
    const int srnExp = (srn >> 6) & 15;
    const int srnMant = srn & 63;
    const int wanExp = srnExp + anExp;
    const int wanMant = (srnMant * anMant + 48) >> 4;
    const int wanMag = wanExp <= 26 ? (wanMant << 7) >> (26 - wanExp) : ((wanMant << 7) << (wanExp - 26)) & 32767;
    return (srnS ^ anS) ? -wanMag : wanMag;
}

struct Estimate {
    int se;   // signal estimate (15 bits)
    int sez;  // its zero-predictor part
    int y;    // quantiser scale factor
};

Estimate predict(const G72xState& s) {
    int sezi = 0;
    for (int k = 0; k < 6; ++k) sezi = wrap16(sezi + fmult(s.b[k], s.dq[k]));
    const int sei = wrap16(sezi + fmult(s.a[1], s.sr[1]) + fmult(s.a[0], s.sr[0]));
    // MIX: unlocked and locked scale factors weighted by the speed control.
    int y = s.yu;
    if (s.ap < 256) {
        const int al = s.ap >> 2;
        const int yl6 = s.yl >> 6;
        const int dif = s.yu - yl6;
        const int prod = (std::abs(dif) * al) >> 6;
        y = yl6 + (dif < 0 ? -prod : prod);
    }
    return {sei >> 1, sezi >> 1, y};
}

// RECONST, ADDA, ANTILOG, ADDB, ADDC and every state update, for the code
// `code` of magnitude index `mag`. Returns the reconstructed signal (16 bits).
int reconstructAndUpdate(G72xState& s, const WidthTables& t, unsigned code, const Estimate& e) {
    const int bits = t.bits;
    const int dqs = static_cast<int>(code >> (bits - 1)) & 1;
    const unsigned ones = (1u << bits) - 1;
    const int mag = static_cast<int>(dqs ? ones - code : code);

    const int dql = t.dqln[mag] + (e.y >> 2);
    int dqMag = 0;
    if (dql >= 0) {
        const int dex = (dql >> 7) & 15;
        const int dqt = 128 + (dql & 127);
        dqMag = (dqt << 7) >> (14 - dex);
    }
    const int dq = dqs ? -dqMag : dqMag;
    const int sr = wrap16(e.se + dq);
    const int dqsez = wrap16(dq + e.sez);
    const int pk0 = dqsez < 0 ? 1 : 0;
    const bool sigpk = dqsez == 0;

    // TRANS: a large difference while a tone was detected marks a transition.
    const int ylint = s.yl >> 15;
    const int ylfrac = (s.yl >> 10) & 31;
    const int thr1 = (32 + ylfrac) << ylint;
    const int thr2 = ylint > 9 ? 31 << 10 : thr1;
    const int dqthr = (thr2 + (thr2 >> 1)) >> 1;
    const bool tr = s.td != 0 && dqMag > dqthr;

    // Scale factor adaptation: FUNCTW, FILTD, LIMB, FILTE.
    const int yut = e.y + ((t.w[mag] - e.y) >> 5);
    const int yu = std::clamp(yut, 544, 5120);
    s.yl = s.yl + yu + ((-s.yl) >> 6);
    s.yu = static_cast<int16_t>(yu);

    // Pole predictor: UPA2, LIMC, UPA1, LIMD.
    const int a1 = s.a[0];
    const int a2 = s.a[1];
    int a2p = a2 - (a2 >> 7);
    int a1p = a1 - (a1 >> 8);
    if (!sigpk) {
        const int fa1 = 4 * std::clamp(a1, -8191, 8191);
        const int fa = (pk0 ^ s.pk[0]) ? fa1 : -fa1;
        a2p += (((pk0 ^ s.pk[1]) ? -16384 : 16384) + fa) >> 7;
        a1p += (pk0 ^ s.pk[0]) ? -192 : 192;
    }
    a2p = std::clamp(a2p, -12288, 12288);
    const int a1lim = 15360 - a2p;
    a1p = std::clamp(a1p, -a1lim, a1lim);

    // Zero predictor: UPB, against the past differences' signs.
    const int leak = bits == 5 ? 9 : 8;
    int16_t bp[6];
    for (int k = 0; k < 6; ++k) {
        int v = s.b[k] - (s.b[k] >> leak);
        if (dqMag != 0) v += (dqs ^ ((s.dq[k] >> 10) & 1)) ? -128 : 128;
        bp[k] = wrap16(v);
    }

    // TRIGB and TONE.
    const bool tdp = a2p < -11776;
    if (tr) {
        s.a[0] = s.a[1] = 0;
        std::fill(std::begin(s.b), std::end(s.b), int16_t{0});
    } else {
        s.a[0] = static_cast<int16_t>(a1p);
        s.a[1] = static_cast<int16_t>(a2p);
        std::copy(std::begin(bp), std::end(bp), std::begin(s.b));
    }
    s.td = static_cast<int8_t>(!tr && tdp);

    // Delay lines.
    for (int k = 5; k > 0; --k) s.dq[k] = s.dq[k - 1];
    s.dq[0] = toFloat(dqs, dqMag);
    s.sr[1] = s.sr[0];
    s.sr[0] = sr < 0 ? toFloat(1, (-sr) & 32767) : toFloat(0, sr);
    s.pk[1] = s.pk[0];
    s.pk[0] = static_cast<int16_t>(pk0);

    // Speed control: FUNCTF, FILTA, FILTB, SUBTC, FILTC, TRIGA.
    const int fi = t.f[mag];
    s.dms = static_cast<int16_t>(s.dms + ((fi - s.dms) >> 5));
    s.dml = static_cast<int16_t>(s.dml + (((fi << 2) - s.dml) >> 7));
    const bool fast = e.y < 1536 || s.td != 0 || std::abs((s.dms << 2) - s.dml) >= (s.dml >> 3);
    s.ap = static_cast<int16_t>(s.ap + ((((fast ? 1 : 0) << 9) - s.ap) >> 4));
    if (tr) s.ap = 256;
    return sr;
}

}  // namespace

unsigned g72xEncodeCode(G72xState& s, int bits, int16_t sample) {
    const WidthTables& t = tablesFor(bits);
    const Estimate e = predict(s);
    const int sl = sample >> 2;
    const int d = sl - e.se;

    // LOG: log2 of the difference's magnitude (4-bit exponent, 7-bit mantissa).
    const int dqm = std::abs(d);
    const int exp = dqm == 0 ? 0 : bitLength(dqm) - 1;
    const int dl = (exp << 7) + (((dqm << 7) >> exp) & 127);
    // QUAN: the normalised log difference against the decision levels.
    const int dln = dl - (e.y >> 2);
    int mag = 0;
    while (mag < static_cast<int>(t.decision.size()) && dln >= t.decision[static_cast<size_t>(mag)]) ++mag;

    const unsigned ones = (1u << t.bits) - 1;
    unsigned code;
    if (d < 0)
        code = ones - static_cast<unsigned>(mag);
    else if (mag == 0)
        code = t.bits == 2 ? 0 : ones;  // the all-zero code is not sent, except at 2 bits
    else
        code = static_cast<unsigned>(mag);
    reconstructAndUpdate(s, t, code, e);
    return code;
}

int16_t g72xDecodeCode(G72xState& s, int bits, unsigned code) {
    const WidthTables& t = tablesFor(bits);
    const Estimate e = predict(s);
    const int sr = reconstructAndUpdate(s, t, code & ((1u << t.bits) - 1), e);
    return static_cast<int16_t>(std::clamp(sr * 4, -32768, 32767));
}

size_t g72xDecode(G72xState& s, int bits, std::span<const uint8_t> packed, int16_t* out) {
    bits = std::clamp(bits, 2, 5);
    const unsigned mask = (1u << bits) - 1;
    uint32_t acc = 0;
    int count = 0;
    size_t n = 0;
    for (const uint8_t byte : packed) {
        acc |= static_cast<uint32_t>(byte) << count;
        count += 8;
        while (count >= bits) {
            out[n++] = g72xDecodeCode(s, bits, acc & mask);
            acc >>= bits;
            count -= bits;
        }
    }
    return n * 2;
}

size_t g72xEncode(G72xState& s, int bits, std::span<const int16_t> samples, BitCarry& carry, uint8_t* out) {
    bits = std::clamp(bits, 2, 5);
    size_t n = 0;
    for (const int16_t v : samples) {
        carry.bits |= g72xEncodeCode(s, bits, v) << carry.count;
        carry.count += bits;
        while (carry.count >= 8) {
            out[n++] = static_cast<uint8_t>(carry.bits);
            carry.bits >>= 8;
            carry.count -= 8;
        }
    }
    return n;
}

}  // namespace qoro::audiofile::g72x
