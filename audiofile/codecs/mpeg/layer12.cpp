// Layer I and Layer II decoding (ISO/IEC 11172-3 2.4.3.2 and 2.4.3.3; the
// Layer II allocation tables 3-B.2a..d and 13818-3 table B.1 for LSF).
#include "decoder_internal.h"

#include <cmath>

#include "mpeg/frame_walk.h"
#include "mpeg/layer2_tables.h"

namespace qoro::mpeg::detail {
namespace {

struct ScaleTable {
    float v[64];
    ScaleTable() {
        for (int i = 0; i < 63; ++i) v[i] = float(std::exp2(1.0 - i / 3.0));
        v[63] = 0.0f;  // reserved index
    }
};

const float* scaleFactors() {
    static const ScaleTable t;
    return t.v;
}

int crcBytes(const MpegFrameHeader& h) { return h.protection == 0 ? 2 : 0; }

// Dequantised value of code v out of 'levels' levels (full scale 1.0).
inline float dequant(uint32_t v, int levels) { return float(2 * int(v) - (levels - 1)) / float(levels); }

using AllocTable = Layer2AllocTable;

const AllocTable& selectTable(const MpegFrameHeader& h, size_t size) {
    return layer2AllocTable(h.version, h.samplingIndex, frameKbps(h, int(size)), mpegChannels(h));
}

}  // namespace

template <class Sample>
int decodeLayer1(dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 Sample* out) {
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
        synthesizeSlot(synth, nch, samples[0], samples[1], out + s * 32 * nch);
    }
    if (br.position() > size * 8) fault = true;
    return fault ? -1 : 384;
}

template <class Sample>
int decodeLayer2(dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 Sample* out) {
    const int nch = mpegChannels(h);
    const AllocTable& table = selectTable(h, size);
    const int sblimit = table.sblimit;
    int bound = h.mode == 1 ? (h.modeExtension + 1) * 4 : sblimit;
    if (bound > sblimit) bound = sblimit;
    BitReader br(frame, size, size_t(32 + 8 * crcBytes(h)));
    const float* sfTable = scaleFactors();

    int levels[2][32] = {};
    for (int sb = 0; sb < sblimit; ++sb) {
        const int nb = table.nbal[sb];
        if (sb < bound) {
            for (int ch = 0; ch < nch; ++ch) levels[ch][sb] = table.levels[sb][br.get(nb)];
        } else {
            levels[0][sb] = levels[1][sb] = table.levels[sb][br.get(nb)];
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
            case 2: sc[0] = sc[1] = sc[2] = sfTable[br.get(6)]; break;
            default:
                sc[0] = sfTable[br.get(6)];
                sc[1] = sc[2] = sfTable[br.get(6)];
                break;
            }
        }

    float samples[2][3][32] = {};
    auto readTriple = [&](int lv, float* v) {
        const int bits = layer2CodeBits(lv);
        if (layer2Grouped(lv)) {
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
            synthesizeSlot(synth, nch, samples[0][i], samples[1][i], out + (gr * 3 + i) * 32 * nch);
    }
    return br.position() > size * 8 ? -1 : 1152;
}

template int decodeLayer1(dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t, int16_t*);
template int decodeLayer1(dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t, float*);
template int decodeLayer2(dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t, int16_t*);
template int decodeLayer2(dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t, float*);

}  // namespace qoro::mpeg::detail
