// Layer I and Layer II decoding (ISO/IEC 11172-3 2.4.3.2 and 2.4.3.3; the
// Layer II allocation tables 3-B.2a..d and 13818-3 table B.1 for LSF).
#include "decoder_internal.h"

#include <cmath>

namespace qoro::mpeg::detail {
namespace {

struct ScaleTable {
    float v[64];
    ScaleTable()
    {
        for (int i = 0; i < 63; ++i) v[i] = float(std::exp2(1.0 - i / 3.0));
        v[63] = 0.0f;  // reserved index
    }
};

const float* scaleFactors()
{
    static const ScaleTable t;
    return t.v;
}

int crcBytes(const MpegFrameHeader& h) { return h.protection == 0 ? 2 : 0; }

// Dequantised value of code v out of 'levels' levels (full scale 1.0).
inline float dequant(uint32_t v, int levels)
{
    return float(2 * int(v) - (levels - 1)) / float(levels);
}

// ----- Layer II allocation tables: quantisation levels per allocation code.
const uint16_t kRowA[16] = {0, 3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
const uint16_t kRowB[16] = {0, 3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535};
const uint16_t kRowC[16] = {0, 3, 5, 7, 9, 15, 31, 65535};
const uint16_t kRowD[16] = {0, 3, 5, 65535};
const uint16_t kRowE[16] = {0, 3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
const uint16_t kRowF[16] = {0, 3, 5, 9, 15, 31, 63, 127};
const uint16_t kRowG[16] = {0, 3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383};
const uint16_t kRowH[16] = {0, 3, 5, 9};

struct AllocTable {
    int sblimit;
    uint8_t nbal[32];
    const uint16_t* rows[32];
};

AllocTable makeTable(int sblimit, std::initializer_list<std::pair<int, const uint16_t*>> bands)
{
    // bands: (last subband + 1, row); nbal follows from the row's length.
    AllocTable t{};
    t.sblimit = sblimit;
    int sb = 0;
    for (const auto& [end, row] : bands) {
        int nb = 2;
        if (row == kRowA || row == kRowB || row == kRowE || row == kRowG) nb = 4;
        else if (row == kRowC || row == kRowF) nb = 3;
        for (; sb < end; ++sb) {
            t.nbal[sb] = uint8_t(nb);
            t.rows[sb] = row;
        }
    }
    return t;
}

struct AllocTables {
    AllocTable a = makeTable(27, {{3, kRowA}, {11, kRowB}, {23, kRowC}, {27, kRowD}});
    AllocTable b = makeTable(30, {{3, kRowA}, {11, kRowB}, {23, kRowC}, {30, kRowD}});
    AllocTable c = makeTable(8, {{2, kRowE}, {8, kRowF}});
    AllocTable d = makeTable(12, {{2, kRowE}, {12, kRowF}});
    AllocTable lsf = makeTable(30, {{4, kRowG}, {11, kRowF}, {30, kRowH}});
};

const AllocTable& selectTable(const MpegFrameHeader& h)
{
    static const AllocTables t;
    if (h.version != 1) return t.lsf;
    const int perChannel = mpegBitrateKbps(h) / mpegChannels(h);
    if (perChannel <= 48) return h.samplingIndex == 2 ? t.d : t.c;
    if (perChannel <= 80) return t.a;
    return h.samplingIndex == 1 ? t.a : t.b;
}

int bitsFor(int levels)
{
    switch (levels) {
    case 3: return 5;
    case 5: return 7;
    case 9: return 10;
    default: {
        int n = 0;
        while ((1 << n) - 1 < levels) ++n;
        return n;
    }
    }
}

}  // namespace

int decodeLayer1(Synthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 int16_t* out)
{
    const int nch = mpegChannels(h);
    const int bound = h.mode == 1 ? (h.modeExtension + 1) * 4 : 32;
    BitReader br(frame, size, size_t(32 + 8 * crcBytes(h)));
    const float* sfTable = scaleFactors();

    int alloc[2][32] = {};
    float scale[2][32] = {};
    bool fault = false;
    for (int sb = 0; sb < 32; ++sb) {
        if (sb < bound) {
            for (int ch = 0; ch < nch; ++ch) alloc[ch][sb] = int(br.get(4));
        } else {
            alloc[0][sb] = alloc[1][sb] = int(br.get(4));
        }
        for (int ch = 0; ch < nch; ++ch)
            if (alloc[ch][sb] == 15) {
                fault = true;
                alloc[ch][sb] = 0;
            }
    }
    for (int sb = 0; sb < 32; ++sb)
        for (int ch = 0; ch < nch; ++ch)
            if (alloc[ch][sb]) scale[ch][sb] = sfTable[br.get(6)];

    float samples[2][32];
    for (int s = 0; s < 12; ++s) {
        for (int sb = 0; sb < 32; ++sb) {
            if (sb < bound) {
                for (int ch = 0; ch < nch; ++ch) {
                    const int a = alloc[ch][sb];
                    samples[ch][sb] = a ? dequant(br.get(a + 1), (1 << (a + 1)) - 1) * scale[ch][sb] : 0.0f;
                }
            } else {
                const int a = alloc[0][sb];
                const float v = a ? dequant(br.get(a + 1), (1 << (a + 1)) - 1) : 0.0f;
                for (int ch = 0; ch < nch; ++ch) samples[ch][sb] = v * scale[ch][sb];
            }
        }
        for (int ch = 0; ch < nch; ++ch) synth[ch].run(samples[ch], out + s * 32 * nch + ch, nch);
    }
    if (br.position() > size * 8) fault = true;
    return fault ? -1 : 384;
}

int decodeLayer2(Synthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 int16_t* out)
{
    const int nch = mpegChannels(h);
    const AllocTable& table = selectTable(h);
    const int sblimit = table.sblimit;
    int bound = h.mode == 1 ? (h.modeExtension + 1) * 4 : sblimit;
    if (bound > sblimit) bound = sblimit;
    BitReader br(frame, size, size_t(32 + 8 * crcBytes(h)));
    const float* sfTable = scaleFactors();

    int levels[2][32] = {};
    for (int sb = 0; sb < sblimit; ++sb) {
        const int nb = table.nbal[sb];
        if (sb < bound) {
            for (int ch = 0; ch < nch; ++ch) levels[ch][sb] = table.rows[sb][br.get(nb)];
        } else {
            levels[0][sb] = levels[1][sb] = table.rows[sb][br.get(nb)];
        }
    }
    int scfsi[2][32] = {};
    for (int sb = 0; sb < sblimit; ++sb)
        for (int ch = 0; ch < nch; ++ch)
            if (levels[ch][sb]) scfsi[ch][sb] = int(br.get(2));
    float scale[2][32][3] = {};
    for (int sb = 0; sb < sblimit; ++sb)
        for (int ch = 0; ch < nch; ++ch) {
            if (!levels[ch][sb]) continue;
            float* sc = scale[ch][sb];
            switch (scfsi[ch][sb]) {
            case 0:
                sc[0] = sfTable[br.get(6)];
                sc[1] = sfTable[br.get(6)];
                sc[2] = sfTable[br.get(6)];
                break;
            case 1:
                sc[0] = sc[1] = sfTable[br.get(6)];
                sc[2] = sfTable[br.get(6)];
                break;
            case 2:
                sc[0] = sc[1] = sc[2] = sfTable[br.get(6)];
                break;
            default:
                sc[0] = sfTable[br.get(6)];
                sc[1] = sc[2] = sfTable[br.get(6)];
                break;
            }
        }

    float samples[2][3][32] = {};
    auto readTriple = [&](int lv, float* v) {
        const int bits = bitsFor(lv);
        if (lv == 3 || lv == 5 || lv == 9) {
            uint32_t c = br.get(bits);
            for (int i = 0; i < 3; ++i) {
                v[i] = dequant(c % uint32_t(lv), lv);
                c /= uint32_t(lv);
            }
        } else {
            for (int i = 0; i < 3; ++i) v[i] = dequant(br.get(bits), lv);
        }
    };
    for (int gr = 0; gr < 12; ++gr) {
        const int part = gr >> 2;
        for (int sb = 0; sb < sblimit; ++sb) {
            if (sb < bound) {
                for (int ch = 0; ch < nch; ++ch) {
                    float v[3] = {0, 0, 0};
                    if (levels[ch][sb]) readTriple(levels[ch][sb], v);
                    for (int i = 0; i < 3; ++i) samples[ch][i][sb] = v[i] * scale[ch][sb][part];
                }
            } else {
                float v[3] = {0, 0, 0};
                if (levels[0][sb]) readTriple(levels[0][sb], v);
                for (int ch = 0; ch < nch; ++ch)
                    for (int i = 0; i < 3; ++i) samples[ch][i][sb] = v[i] * scale[ch][sb][part];
            }
        }
        for (int i = 0; i < 3; ++i)
            for (int ch = 0; ch < nch; ++ch)
                synth[ch].run(samples[ch][i], out + (gr * 3 + i) * 32 * nch + ch, nch);
    }
    return br.position() > size * 8 ? -1 : 1152;
}

}  // namespace qoro::mpeg::detail
