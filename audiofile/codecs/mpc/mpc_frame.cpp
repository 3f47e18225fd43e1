#include "mpc_frame.h"

#include <cstring>

#include "mpc_tables.h"

namespace qoro::mpc {
namespace {

using tables::CodeTable;

int decode(BitBuffer& bits, const CodeTable& table) {
    const tables::Lookup& lu = tables::lookup(table);
    const uint32_t v = bits.peek(lu.maxLength);
    const int length = lu.length[v];
    // Bits that start no code word: consume them; the frame's length check
    // then finds the frame damaged.
    bits.skip(length != 0 ? length : lu.maxLength);
    return lu.symbol[v];
}

bool carriesSamples(int res) { return res != 0 && res >= -1 && res <= 17; }

// Scale factors of one band and channel by its transmission index: 0 sends
// all three, 1 the first two (the third repeats the second), 2 the first and
// the third (the second repeats the first), 3 only the first.
template <typename Next>
void readScaleFactors(int scfi, int* s, Next next) {
    switch (scfi & 3) {
    case 0:
        s[0] = next(s[2]);
        s[1] = next(s[0]);
        s[2] = next(s[1]);
        break;
    case 1:
        s[0] = next(s[2]);
        s[1] = next(s[0]);
        s[2] = s[1];
        break;
    case 2:
        s[0] = next(s[2]);
        s[1] = s[0];
        s[2] = next(s[1]);
        break;
    default:
        s[0] = next(s[2]);
        s[1] = s[2] = s[0];
        break;
    }
}

// Noise of resolution -1: values -510..510 in steps of 4, from the
// decoder's own generator.
void fillNoise(FrameState& st, int32_t* q) {
    for (int k = 0; k < kSlots; ++k) {
        uint32_t x = st.noiseSeed;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        st.noiseSeed = x;
        q[k] = int32_t(x & 0x3FC) - 510;
    }
}

void readRawSamples(BitBuffer& bits, int res, int32_t* q) {
    const int width = res - 1;
    const int offset = tables::sampleOffset(res);
    for (int k = 0; k < kSlots; ++k) q[k] = int32_t(bits.read(width)) - offset;
}

void readSamples7(BitBuffer& bits, FrameState& st, int res, int32_t* q) {
    if (res == -1) {
        fillNoise(st, q);
    } else if (res == 1) {
        const CodeTable& t = tables::sv7Samples(1, int(bits.read(1)));
        for (int k = 0; k < kSlots; k += 3) {
            const int v = decode(bits, t);  // 0..26: three digits of base 3
            q[k] = v % 3 - 1;
            q[k + 1] = v / 3 % 3 - 1;
            q[k + 2] = v / 9 - 1;
        }
    } else if (res == 2) {
        const CodeTable& t = tables::sv7Samples(2, int(bits.read(1)));
        for (int k = 0; k < kSlots; k += 2) {
            const int v = decode(bits, t);  // 0..24: two digits of base 5
            q[k] = v % 5 - 2;
            q[k + 1] = v / 5 - 2;
        }
    } else if (res >= 3 && res <= 7) {
        const CodeTable& t = tables::sv7Samples(res, int(bits.read(1)));
        for (int k = 0; k < kSlots; ++k) q[k] = decode(bits, t);
    } else if (res >= 8 && res <= 17) {
        readRawSamples(bits, res, q);
    } else {
        std::memset(q, 0, sizeof(int32_t) * kSlots);
    }
}

int parse7(BitBuffer& bits, FrameState& st) {
    const CodeTable& resTable = tables::sv7Resolution();
    int used = 0;
    for (int n = 0; n <= st.maxBand; ++n) {
        for (int ch = 0; ch < 2; ++ch) {
            if (n == 0) {
                st.res[ch][0] = int(bits.read(4));
            } else {
                const int d = decode(bits, resTable);
                st.res[ch][n] = d == 4 ? int(bits.read(4)) : st.res[ch][n - 1] + d;
            }
        }
        st.ms[n] = false;
        if (st.res[0][n] != 0 || st.res[1][n] != 0) {
            used = n + 1;
            if (st.msStereo) st.ms[n] = bits.read(1) != 0;
        }
    }
    for (int n = st.maxBand + 1; n < kBands; ++n) st.res[0][n] = st.res[1][n] = 0, st.ms[n] = false;

    const CodeTable& scfiTable = tables::sv7Scfi();
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch)
            if (st.res[ch][n] != 0) st.scfi[ch][n] = decode(bits, scfiTable);

    const CodeTable& diffTable = tables::sv7ScaleDiff();
    auto next = [&](int previous) {
        const int d = decode(bits, diffTable);
        return d == 8 ? int(bits.read(6)) : previous + d;
    };
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch)
            if (st.res[ch][n] != 0) readScaleFactors(st.scfi[ch][n], st.scf[ch][n], next);

    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) readSamples7(bits, st, st.res[ch][n], st.q[ch][n]);
    return used;
}

int parse46(BitBuffer& bits, FrameState& st) {
    int used = 0;
    for (int n = 0; n <= st.maxBand; ++n) {
        const CodeTable& t = tables::sv46ResolutionIndex(n);
        st.res[0][n] = tables::sv46Resolution(n, decode(bits, t));
        st.ms[n] = st.msStereo && bits.read(1) != 0;
        st.res[1][n] = tables::sv46Resolution(n, decode(bits, t));
        if (st.res[0][n] != 0 || st.res[1][n] != 0) used = n + 1;
    }
    for (int n = st.maxBand + 1; n < kBands; ++n) st.res[0][n] = st.res[1][n] = 0, st.ms[n] = false;

    bool differential[2][kBands] = {};
    const CodeTable& bundle = tables::sv46ScfiBundle();
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch)
            if (st.res[ch][n] != 0) {
                const int v = decode(bits, bundle);
                st.scfi[ch][n] = v >> 1;
                differential[ch][n] = (v & 1) != 0;
            }

    const CodeTable& diffTable = tables::sv46ScaleDiff();
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) {
            if (st.res[ch][n] == 0) continue;
            const bool diff = differential[ch][n];
            readScaleFactors(st.scfi[ch][n], st.scf[ch][n], [&](int previous) {
                return diff ? previous + decode(bits, diffTable) : int(bits.read(6));
            });
        }

    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) {
            const int res = st.res[ch][n];
            int32_t* q = st.q[ch][n];
            if (res >= 1 && res <= 7) {
                const CodeTable& t = tables::sv46Samples(res);
                for (int k = 0; k < kSlots; ++k) q[k] = decode(bits, t);
            } else if (res >= 8 && res <= 17) {
                readRawSamples(bits, res, q);
            }
        }
    return used;
}

}  // namespace

void FrameState::reset() {
    std::memset(res, 0, sizeof res);
    std::memset(ms, 0, sizeof ms);
    std::memset(scfi, 0, sizeof scfi);
    std::memset(scf, 0, sizeof scf);
    std::memset(q, 0, sizeof q);
    noiseSeed = 0x12345678u;
}

int parseFrame(BitBuffer& bits, FrameState& st) {
    st.maxBand = st.maxBand < 0 ? 0 : st.maxBand >= kBands ? kBands - 1 : st.maxBand;
    return st.streamVersion >= 7 ? parse7(bits, st) : parse46(bits, st);
}

void requantise(const FrameState& st, float gain, float (*out)[kSlots][kBands]) {
    std::memset(out, 0, sizeof(float) * 2 * kSlots * kBands);
    // Samples times step times scale factor are in 16-bit units.
    const float unit = gain / 32768.0f;
    for (int n = 0; n <= st.maxBand && n < kBands; ++n) {
        for (int ch = 0; ch < 2; ++ch) {
            const int res = st.res[ch][n];
            if (!carriesSamples(res)) continue;
            const float step = tables::stepSize(res) * unit;
            for (int part = 0; part < 3; ++part) {
                const float f = step * tables::scaleFactor(st.scf[ch][n][part]);
                for (int k = part * 12; k < part * 12 + 12; ++k) out[ch][k][n] = float(st.q[ch][n][k]) * f;
            }
        }
        if (st.ms[n]) {
            for (int k = 0; k < kSlots; ++k) {
                const float mid = out[0][k][n];
                const float side = out[1][k][n];
                out[0][k][n] = mid + side;
                out[1][k][n] = mid - side;
            }
        }
    }
}

}  // namespace qoro::mpc
