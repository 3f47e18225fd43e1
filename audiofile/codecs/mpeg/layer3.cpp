// Layer III decoding (ISO/IEC 11172-3 2.4.3.4, 13818-3 for the low sampling
// frequencies and MPEG-2.5): side information, bit reservoir, scalefactors,
// Huffman decoding, requantisation, stereo processing, reordering, alias
// reduction, IMDCT with overlap-add, frequency inversion and synthesis.
#include "decoder_internal.h"
#include "l3_huffman_data.h"

#include <algorithm>
#include <cmath>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qoro::mpeg::detail {
namespace {

// ----- Scalefactor bands: boundaries in lines, 9 rates (44.1, 48, 32, 22.05,
// 24, 16, 11.025, 12, 8 kHz).
const uint16_t kSfbLong[9][23] = {
    {0, 4, 8, 12, 16, 20, 24, 30, 36, 44, 52, 62, 74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576},
    {0, 4, 8, 12, 16, 20, 24, 30, 36, 42, 50, 60, 72, 88, 106, 128, 156, 190, 230, 276, 330, 384, 576},
    {0, 4, 8, 12, 16, 20, 24, 30, 36, 44, 54, 66, 82, 102, 126, 156, 194, 240, 296, 364, 448, 550, 576},
    {0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 114, 136, 162, 194, 232, 278, 332, 394, 464, 540, 576},
    {0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
    {0, 12, 24, 36, 48, 60, 72, 88, 108, 132, 160, 192, 232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576},
};
const uint16_t kSfbShort[9][14] = {
    {0, 4, 8, 12, 16, 22, 30, 40, 52, 66, 84, 106, 136, 192},
    {0, 4, 8, 12, 16, 22, 28, 38, 50, 64, 80, 100, 126, 192},
    {0, 4, 8, 12, 16, 22, 30, 42, 58, 78, 104, 138, 180, 192},
    {0, 4, 8, 12, 18, 24, 32, 42, 56, 74, 100, 132, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 136, 180, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 4, 8, 12, 18, 26, 36, 48, 62, 80, 104, 134, 174, 192},
    {0, 8, 16, 24, 36, 52, 72, 96, 124, 160, 162, 164, 166, 192},
};

const uint8_t kSlen[2][16] = {{0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
                              {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3}};
const uint8_t kPretab[22] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};
// Scalefactor counts for the low sampling frequencies [table][long, short, mixed][part].
const uint8_t kLsfSfbCount[6][3][4] = {
    {{6, 5, 5, 5}, {9, 9, 9, 9}, {6, 9, 9, 9}},       {{6, 5, 7, 3}, {9, 9, 12, 6}, {6, 9, 12, 6}},
    {{11, 10, 0, 0}, {18, 18, 0, 0}, {15, 18, 0, 0}}, {{7, 7, 7, 0}, {12, 12, 12, 0}, {6, 15, 12, 0}},
    {{6, 6, 6, 3}, {12, 9, 9, 6}, {6, 12, 9, 6}},     {{8, 8, 5, 0}, {15, 12, 9, 0}, {6, 18, 9, 0}},
};

// ----- Huffman lookup: multi-level tables built once from the code lists.
struct HuffEntry {
    int16_t value;    // symbol, or offset of the subtable
    uint8_t length;   // bits consumed at this level
    uint8_t subBits;  // 0 for a leaf
};

struct HuffTable {
    int rootBits = 0;
    int offset = 0;  // into the shared entry vector
    int linbits = 0;
    bool present = false;
};

struct Code {
    uint32_t code;
    int length;
    int symbol;
};

void buildLevel(std::vector<HuffEntry>& out, int at, int bits, const std::vector<Code>& codes, int depth) {
    // Entries default to a 1-bit leaf of symbol 0 for holes in incomplete codes.
    for (int i = 0; i < (1 << bits); ++i) out[size_t(at + i)] = {0, 1, 0};
    std::vector<std::vector<Code>> groups(size_t(1) << bits);
    for (const Code& c : codes) {
        const int rest = c.length - depth;
        if (rest <= bits) {
            const uint32_t prefix = (c.code & ((1u << rest) - 1)) << (bits - rest);
            for (uint32_t k = 0; k < (1u << (bits - rest)); ++k)
                out[size_t(at) + prefix + k] = {int16_t(c.symbol), uint8_t(rest), 0};
        } else {
            const uint32_t prefix = (c.code >> (rest - bits)) & ((1u << bits) - 1);
            groups[prefix].push_back(c);
        }
    }
    for (size_t p = 0; p < groups.size(); ++p) {
        if (groups[p].empty()) continue;
        int maxRest = 0;
        for (const Code& c : groups[p]) maxRest = std::max(maxRest, c.length - depth - bits);
        const int subBits = std::min(maxRest, 6);
        const int subAt = int(out.size());
        out.resize(out.size() + (size_t(1) << subBits));
        out[size_t(at) + p] = {int16_t(subAt), uint8_t(bits), uint8_t(subBits)};
        buildLevel(out, subAt, subBits, groups[p], depth + bits);
    }
}

struct Tables {
    std::vector<HuffEntry> entries;
    HuffTable big[32];
    HuffTable count1A;
    float pow43[8207];
    // sign(q) |q|^(4/3) for q = -8206..8206, at q + 8206.
    std::vector<float> pow43Signed;
    // 2^(e / 4) for the quarter steps of the gains, e = kGainLow..kGainHigh.
    static constexpr int kGainLow = -640, kGainHigh = 64;
    float gain[kGainHigh - kGainLow + 1];
    float gainOf(int e) const { return gain[std::clamp(e, kGainLow, kGainHigh) - kGainLow]; }
    float isRatio[7][2];      // MPEG-1 intensity: left and right factor per position
    float lsfIs[2][32][2];    // LSF intensity [scale][position][left, right]
    float imdctLong[18][18];  // [input k][output r]; outputs 0..8 then 18..26
    // The fast long IMDCT (a DCT-IV of 18 points through two 9-point DCT-II):
    // input scales 1 / (2 cos((2n + 1) pi / 72)), odd-half scales
    // 1 / (2 cos((2n + 1) pi / 36)), and cos((2n + 1) k pi / 18) for the
    // even k = 2, 4, 6, 8 and the odd k = 1, 3, 5, 7 of the 9-point DCT.
    float dct4Pre[18];
    float dct18Odd[9];
    float dct9Even[4][4];
    float dct9Odd[4][4];
    float imdctShort[12][6];
    alignas(16) float imdctShortT[6][12];  // the same, [k][i]
    float window[4][36];
    float cs[8], ca[8];

    // Big-value symbols become (x << 4) | y; count1 symbols stay vwxy.
    HuffTable build(const HuffmanSource& src, int symbols, int rowSize) {
        HuffTable t;
        if (!src.codes) return t;
        std::vector<Code> codes;
        int maxLen = 0;
        for (int i = 0; i < symbols; ++i) {
            codes.push_back({src.codes[i], src.lengths[i], rowSize ? ((i / rowSize) << 4) | (i % rowSize) : i});
            maxLen = std::max(maxLen, int(src.lengths[i]));
        }
        t.rootBits = std::min(maxLen, 8);
        t.offset = int(entries.size());
        t.linbits = src.linbits;
        t.present = true;
        entries.resize(entries.size() + (size_t(1) << t.rootBits));
        buildLevel(entries, t.offset, t.rootBits, codes, 0);
        return t;
    }

    Tables() {
        for (int i = 0; i < 32; ++i)
            big[i] = build(kBigValueSources[i], kBigValueSources[i].size * kBigValueSources[i].size,
                           kBigValueSources[i].size);
        count1A = build(kCount1Sources[0], 16, 0);
        for (int i = 0; i < 8207; ++i) pow43[i] = float(std::pow(double(i), 4.0 / 3.0));
        for (int e = kGainLow; e <= kGainHigh; ++e) gain[e - kGainLow] = float(std::exp2(double(e) / 4.0));
        pow43Signed.resize(2 * 8206 + 1);
        for (int q = -8206; q <= 8206; ++q) pow43Signed[size_t(q + 8206)] = q < 0 ? -pow43[-q] : pow43[q];
        for (int p = 0; p < 7; ++p) {
            const double a = p * M_PI / 12.0;
            const double sn = std::sin(a), cn = std::cos(a);
            isRatio[p][0] = float(sn / (sn + cn));
            isRatio[p][1] = float(cn / (sn + cn));
        }
        for (int sc = 0; sc < 2; ++sc) {
            const double io = sc ? M_SQRT1_2 : std::pow(2.0, -0.25);
            for (int p = 0; p < 32; ++p) {
                double l = 1.0, r = 1.0;
                if (p & 1)
                    l = std::pow(io, (p + 1) / 2);
                else if (p)
                    r = std::pow(io, p / 2);
                lsfIs[sc][p][0] = float(l);
                lsfIs[sc][p][1] = float(r);
            }
        }
        for (int r = 0; r < 18; ++r) {
            const int i = r < 9 ? r : r + 9;
            for (int k = 0; k < 18; ++k) imdctLong[k][r] = float(std::cos(M_PI / 72.0 * (2 * i + 19) * (2 * k + 1)));
        }
        for (int n = 0; n < 18; ++n) dct4Pre[n] = float(0.5 / std::cos((2 * n + 1) * M_PI / 72.0));
        for (int n = 0; n < 9; ++n) dct18Odd[n] = float(0.5 / std::cos((2 * n + 1) * M_PI / 36.0));
        for (int j = 0; j < 4; ++j)
            for (int n = 0; n < 4; ++n) {
                dct9Even[j][n] = float(std::cos((2 * n + 1) * (2 * j + 2) * M_PI / 18.0));
                dct9Odd[j][n] = float(std::cos((2 * n + 1) * (2 * j + 1) * M_PI / 18.0));
            }
        for (int i = 0; i < 12; ++i)
            for (int k = 0; k < 6; ++k)
                imdctShortT[k][i] = imdctShort[i][k] =
                    float(std::cos(M_PI / 24.0 * (2 * i + 7) * (2 * k + 1)) * std::sin(M_PI / 12.0 * (i + 0.5)));
        for (int i = 0; i < 36; ++i) {
            window[0][i] = float(std::sin(M_PI / 36.0 * (i + 0.5)));
            window[1][i] = i < 18   ? window[0][i]
                           : i < 24 ? 1.0f
                           : i < 30 ? float(std::sin(M_PI / 12.0 * (i - 18 + 0.5)))
                                    : 0.0f;
            window[3][i] = i < 6    ? 0.0f
                           : i < 12 ? float(std::sin(M_PI / 12.0 * (i - 6 + 0.5)))
                           : i < 18 ? 1.0f
                                    : window[0][i];
            window[2][i] = 0.0f;
        }
        const double c[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};
        for (int i = 0; i < 8; ++i) {
            const double sq = std::sqrt(1.0 + c[i] * c[i]);
            cs[i] = float(1.0 / sq);
            ca[i] = float(c[i] / sq);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// The Huffman part's bit reader: up to 57 bits held in a 64-bit word, so a
// code word, its linbits and signs take one refill at most. Bits past the
// capacity read as zero, as with BitReader.
class CachedBits {
public:
    explicit CachedBits(const BitReader& br) : data_(br.data()), capacity_(br.capacity()), pos_(br.position()) {}

    // n <= 24 bits, not consumed.
    uint32_t peek(int n) {
        if (held_ < n) refill();
        return uint32_t(cache_ >> (64 - n));
    }
    void skip(int n) {
        cache_ <<= n;
        held_ -= n;
        pos_ += size_t(n);
    }
    uint32_t get(int n) {
        if (n <= 0) return 0;
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
    size_t position() const { return pos_; }
    // At least n <= 57 bits held, for take().
    void ensure(int n) {
        if (held_ < n) refill();
    }
    // n bits (1 <= n) of those ensure() made sure of.
    uint32_t take(int n) {
        const uint32_t v = uint32_t(cache_ >> (64 - n));
        skip(n);
        return v;
    }
    // v with its sign bit applied when v is not 0 (the bit is read only
    // then), without branching on the bit: signs are as good as random.
    int applySign(int v) {
        const int present = v != 0;
        const int negative = int(cache_ >> 63) & present;
        cache_ <<= present;
        held_ -= present;
        pos_ += size_t(present);
        return (v ^ -negative) + negative;
    }

private:
    void refill() {
        const size_t byte = pos_ >> 3;
        uint64_t w = 0;
        if (byte + 8 <= capacity_) [[likely]] {
            std::memcpy(&w, data_ + byte, 8);
            w = __builtin_bswap64(w);
        } else {
            for (size_t i = 0; i < 8; ++i) w = (w << 8) | (byte + i < capacity_ ? data_[byte + i] : 0u);
        }
        const int used = int(pos_ & 7);
        cache_ = w << used;
        held_ = 64 - used;
    }

    const uint8_t* data_;
    size_t capacity_;
    size_t pos_;
    uint64_t cache_ = 0;
    int held_ = 0;
};

// One Huffman code through the two-level lookup table; either bit reader.
template <class Bits>
inline int huffDecode(Bits& br, const Tables& t, const HuffTable& ht) {
    const HuffEntry* base = t.entries.data();
    HuffEntry e = base[ht.offset + int(br.peek(ht.rootBits))];
    while (e.subBits) {
        br.skip(e.length);
        e = base[e.value + int(br.peek(e.subBits))];
    }
    br.skip(e.length);
    return e.value;
}

struct Granule {
    int part23 = 0, bigValues = 0, globalGain = 0, sfCompress = 0;
    int windowSwitching = 0, blockType = 0, mixed = 0;
    int tableSelect[3] = {0, 0, 0};
    int subblockGain[3] = {0, 0, 0};
    int region0 = 0, region1 = 0;
    int preflag = 0, sfScale = 0, count1Table = 0;
};

struct SideInfo {
    int mainDataBegin = 0;
    int scfsi[2][4] = {};
    Granule gr[2][2];
};

struct ScaleFactors {
    int l[22] = {};
    int s[13][3] = {};
    // LSF intensity stereo: the illegal position per band (right channel).
    int maxL[22] = {};
    int maxS[13] = {};
};

}  // namespace

struct Layer3State {
    static constexpr int kReservoir = 4096;
    // Main data: reservoir bytes followed by the current frame's main data,
    // with zero padding for over-reads.
    uint8_t data[kReservoir + MpegFrameDecoder::kMaxFrameBytes + 8] = {};
    int dataLen = 0;
    alignas(16) float overlap[2][18][32] = {};  // [channel][sample][subband]
    ScaleFactors sf[2];
};

Layer3Ptr makeLayer3State() { return Layer3Ptr(new Layer3State()); }

void Layer3Deleter::operator()(Layer3State* s) const { delete s; }

void resetLayer3(Layer3State& s) {
    s.dataLen = 0;
    std::memset(s.overlap, 0, sizeof s.overlap);
    s.sf[0] = ScaleFactors{};
    s.sf[1] = ScaleFactors{};
}

namespace {

bool readSideInfo(BitReader& br, const MpegFrameHeader& h, SideInfo& si) {
    const int nch = mpegChannels(h);
    const bool lsf = h.version != 1;
    const int ngr = lsf ? 1 : 2;
    if (lsf) {
        si.mainDataBegin = int(br.get(8));
        br.skip(nch == 1 ? 1 : 2);
    } else {
        si.mainDataBegin = int(br.get(9));
        br.skip(nch == 1 ? 5 : 3);
        for (int ch = 0; ch < nch; ++ch)
            for (int b = 0; b < 4; ++b) si.scfsi[ch][b] = int(br.get(1));
    }
    for (int g = 0; g < ngr; ++g)
        for (int ch = 0; ch < nch; ++ch) {
            Granule& gi = si.gr[g][ch];
            gi.part23 = int(br.get(12));
            gi.bigValues = int(br.get(9));
            if (gi.bigValues > 288) return false;
            gi.globalGain = int(br.get(8));
            gi.sfCompress = int(br.get(lsf ? 9 : 4));
            gi.windowSwitching = int(br.get(1));
            if (gi.windowSwitching) {
                gi.blockType = int(br.get(2));
                gi.mixed = int(br.get(1));
                gi.tableSelect[0] = int(br.get(5));
                gi.tableSelect[1] = int(br.get(5));
                gi.tableSelect[2] = 0;
                for (int w = 0; w < 3; ++w) gi.subblockGain[w] = int(br.get(3));
                if (gi.blockType == 0) return false;  // forbidden with window switching
                gi.region0 = (gi.blockType == 2 && !gi.mixed) ? 8 : 7;
                gi.region1 = 20 - gi.region0;
            } else {
                gi.blockType = 0;
                gi.mixed = 0;
                for (int r = 0; r < 3; ++r) gi.tableSelect[r] = int(br.get(5));
                gi.region0 = int(br.get(4));
                gi.region1 = int(br.get(3));
            }
            gi.preflag = lsf ? 0 : int(br.get(1));
            gi.sfScale = int(br.get(1));
            gi.count1Table = int(br.get(1));
        }
    return true;
}

void readScaleFactorsMpeg1(BitReader& br, const Granule& gi, const int* scfsi, int g, ScaleFactors& sf) {
    const int slen1 = kSlen[0][gi.sfCompress];
    const int slen2 = kSlen[1][gi.sfCompress];
    if (gi.windowSwitching && gi.blockType == 2) {
        int sfb = 0;
        if (gi.mixed) {
            for (; sfb < 8; ++sfb) sf.l[sfb] = int(br.get(slen1));
            sfb = 3;
        }
        for (; sfb < 6; ++sfb)
            for (int w = 0; w < 3; ++w) sf.s[sfb][w] = int(br.get(slen1));
        for (; sfb < 12; ++sfb)
            for (int w = 0; w < 3; ++w) sf.s[sfb][w] = int(br.get(slen2));
        for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
        return;
    }
    static const int bounds[5] = {0, 6, 11, 16, 21};
    for (int b = 0; b < 4; ++b) {
        if (g == 1 && scfsi[b]) continue;
        const int slen = b < 2 ? slen1 : slen2;
        for (int sfb = bounds[b]; sfb < bounds[b + 1]; ++sfb) sf.l[sfb] = int(br.get(slen));
    }
    sf.l[21] = 0;
}

void readScaleFactorsLsf(BitReader& br, Granule& gi, bool intensityRight, ScaleFactors& sf) {
    int slen[4] = {0, 0, 0, 0};
    int tableIndex = 0;
    int sfc = gi.sfCompress;
    gi.preflag = 0;
    if (!intensityRight) {
        if (sfc < 400) {
            slen[0] = (sfc >> 4) / 5;
            slen[1] = (sfc >> 4) % 5;
            slen[2] = (sfc & 15) >> 2;
            slen[3] = sfc & 3;
            tableIndex = 0;
        } else if (sfc < 500) {
            sfc -= 400;
            slen[0] = (sfc >> 2) / 5;
            slen[1] = (sfc >> 2) % 5;
            slen[2] = sfc & 3;
            tableIndex = 1;
        } else {
            sfc -= 500;
            slen[0] = sfc / 3;
            slen[1] = sfc % 3;
            gi.preflag = 1;
            tableIndex = 2;
        }
    } else {
        sfc >>= 1;
        if (sfc < 180) {
            slen[0] = sfc / 36;
            slen[1] = (sfc % 36) / 6;
            slen[2] = (sfc % 36) % 6;
            tableIndex = 3;
        } else if (sfc < 244) {
            sfc -= 180;
            slen[0] = (sfc & 63) >> 4;
            slen[1] = (sfc & 15) >> 2;
            slen[2] = sfc & 3;
            tableIndex = 4;
        } else {
            sfc -= 244;
            slen[0] = sfc / 3;
            slen[1] = sfc % 3;
            tableIndex = 5;
        }
    }
    const int kind = (gi.windowSwitching && gi.blockType == 2) ? (gi.mixed ? 2 : 1) : 0;
    int values[40] = {};
    int maxv[40] = {};
    int n = 0;
    for (int p = 0; p < 4; ++p)
        for (int i = 0; i < kLsfSfbCount[tableIndex][kind][p] && n < 40; ++i, ++n) {
            values[n] = int(br.get(slen[p]));
            maxv[n] = (1 << slen[p]) - 1;
        }
    int k = 0;
    if (kind == 0) {
        for (int sfb = 0; sfb < 21; ++sfb, ++k) {
            sf.l[sfb] = values[k];
            sf.maxL[sfb] = maxv[k];
        }
        sf.l[21] = 0;
        sf.maxL[21] = sf.maxL[20];
        return;
    }
    int sfb = 0;
    if (kind == 2) {
        for (; sfb < 6; ++sfb, ++k) {
            sf.l[sfb] = values[k];
            sf.maxL[sfb] = maxv[k];
        }
        sfb = 3;
    }
    for (; sfb < 12; ++sfb) {
        for (int w = 0; w < 3; ++w, ++k) sf.s[sfb][w] = values[k];
        sf.maxS[sfb] = maxv[k - 1];
    }
    for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
    sf.maxS[12] = sf.maxS[11];
}

// Huffman decoding of one granule and channel; returns the count of lines
// that may be non-zero.
int readHuffman(BitReader& reader, const Tables& t, const Granule& gi, size_t endBit, const uint16_t* sfbL,
                const uint16_t* sfbS, int* is) {
    CachedBits br(reader);
    struct Done {
        BitReader& reader;
        CachedBits& bits;
        ~Done() { reader.setPosition(bits.position()); }
    } done{reader, br};
    int region1, region2;
    if (gi.windowSwitching) {
        region1 = (gi.blockType == 2 && !gi.mixed) ? sfbS[3] * 3 : sfbL[8];
        region2 = 576;
    } else {
        region1 = sfbL[std::min(gi.region0 + 1, 22)];
        region2 = sfbL[std::min(gi.region0 + gi.region1 + 2, 22)];
    }
    const int bigEnd = std::min(gi.bigValues * 2, 576);
    region1 = std::min(region1, bigEnd);
    region2 = std::min(std::max(region2, region1), bigEnd);
    int i = 0;
    const int ends[3] = {region1, region2, bigEnd};
    for (int r = 0; r < 3; ++r) {
        const HuffTable& ht = t.big[gi.tableSelect[r]];
        if (!ht.present) {
            for (; i < ends[r]; ++i) is[i] = 0;
            continue;
        }
        const int lin = ht.linbits;
        for (; i < ends[r]; i += 2) {
            const int sym = huffDecode(br, t, ht);
            int x = sym >> 4, y = sym & 15;
            // Both values' linbits (13 at most) and signs in hand at once.
            br.ensure(28);
            if (lin && x == 15) x += int(br.take(lin));
            x = br.applySign(x);
            if (lin && y == 15) y += int(br.take(lin));
            y = br.applySign(y);
            is[i] = x;
            is[i + 1] = y;
        }
        if (br.position() > endBit) break;
    }
    // Count1 region: quadruples until the part's bits are used up.
    while (i <= 572 && br.position() < endBit) {
        const int sym = gi.count1Table ? 15 - int(br.get(4)) : huffDecode(br, t, t.count1A);
        br.ensure(4);
        const int v = br.applySign((sym >> 3) & 1);
        const int w = br.applySign((sym >> 2) & 1);
        const int x = br.applySign((sym >> 1) & 1);
        const int y = br.applySign(sym & 1);
        if (br.position() > endBit) break;  // the last quadruple overran: discard it
        is[i] = v;
        is[i + 1] = w;
        is[i + 2] = x;
        is[i + 3] = y;
        i += 4;
    }
    const int nz = std::min(i, 576);
    for (int k = nz; k < 576; ++k) is[k] = 0;
    return nz;
}

void requantize(const Tables& t, const Granule& gi, const ScaleFactors& sf, const uint16_t* sfbL, const uint16_t* sfbS,
                const int* is, int nz, float* xr) {
    // Gains in quarter steps of the exponent: the global gain, less the
    // subblock gain (8 steps each) and the scalefactors (2 or 4 steps each).
    const int shift = gi.sfScale ? 4 : 2;
    const int global = gi.globalGain - 210;
    // |q| <= 15 + (2^13 - 1) = 8206, the size of the table.
    const float* signedPow = t.pow43Signed.data() + 8206;
    auto value = [signedPow](int q) -> float { return signedPow[q]; };
    std::fill(xr, xr + 576, 0.0f);
    const bool shortBlocks = gi.windowSwitching && gi.blockType == 2;
    int i = 0;
    if (!shortBlocks || gi.mixed) {
        const int longEnd = shortBlocks ? 36 : 576;
        for (int sfb = 0; sfb < 22 && i < nz && i < longEnd; ++sfb) {
            const int sfv = sf.l[sfb] + (gi.preflag ? kPretab[sfb] : 0);
            const float g = t.gainOf(global - shift * sfv);
            const int end = std::min<int>({sfbL[sfb + 1], nz, longEnd});
            for (; i < end; ++i) xr[i] = value(is[i]) * g;
        }
        if (!shortBlocks) return;
        i = 36;
    }
    for (int sfb = gi.mixed ? 3 : 0; sfb < 13 && i < nz; ++sfb) {
        const int width = sfbS[sfb + 1] - sfbS[sfb];
        for (int w = 0; w < 3; ++w) {
            const float g = t.gainOf(global - 8 * gi.subblockGain[w] - shift * sf.s[sfb][w]);
            const int end = std::min(i + width, 576);
            for (; i < end; ++i) xr[i] = (i < nz && is[i]) ? value(is[i]) * g : 0.0f;
        }
    }
}

void msStereo(float* l, float* r, int from, int to) {
    for (int i = from; i < to; ++i) {
        const float m = l[i], s = r[i];
        l[i] = (m + s) * float(M_SQRT1_2);
        r[i] = (m - s) * float(M_SQRT1_2);
    }
}

// Stereo processing of one granule. nz: per channel count of possibly
// non-zero lines; both become the joint limit.
void stereo(const Tables& t, const MpegFrameHeader& h, const Granule& gr, const ScaleFactors& sfR, const uint16_t* sfbL,
            const uint16_t* sfbS, float* l, float* r, int* nz) {
    const bool ms = (h.modeExtension & 2) != 0;
    const bool intensity = (h.modeExtension & 1) != 0;
    const bool lsf = h.version != 1;
    const int limit = std::max(nz[0], nz[1]);
    if (!intensity) {
        if (ms) msStereo(l, r, 0, limit);
        nz[0] = nz[1] = limit;
        return;
    }
    // Intensity positions apply above the right channel's last non-zero line.
    const int isScale = gr.sfCompress & 1;
    auto applyBand = [&](int from, int to, int pos, int maxPos) {
        const bool legal = lsf ? pos != maxPos : pos < 7;
        if (!legal) {
            if (ms) msStereo(l, r, from, to);
            return;
        }
        float kl, kr;
        if (lsf) {
            kl = t.lsfIs[isScale][pos & 31][0];
            kr = t.lsfIs[isScale][pos & 31][1];
        } else {
            kl = t.isRatio[pos][0];
            kr = t.isRatio[pos][1];
        }
        for (int i = from; i < to; ++i) {
            const float v = l[i];
            l[i] = v * kl;
            r[i] = v * kr;
        }
    };
    const bool shortBlocks = gr.windowSwitching && gr.blockType == 2;
    if (!shortBlocks) {
        int last = -1;
        for (int i = 575; i >= 0; --i)
            if (r[i] != 0.0f) {
                last = i;
                break;
            }
        int sfb = 0;
        while (sfb < 22 && sfbL[sfb + 1] <= last) ++sfb;
        if (last >= 0) ++sfb;
        if (ms) msStereo(l, r, 0, sfbL[std::min(sfb, 22)]);
        for (; sfb < 22; ++sfb) {
            const int src = sfb == 21 ? 20 : sfb;
            applyBand(sfbL[sfb], sfbL[sfb + 1], sfR.l[src], sfR.maxL[src]);
        }
        nz[0] = nz[1] = 576;
        return;
    }
    // Short blocks: each window has its own boundary.
    const int firstShort = gr.mixed ? 3 : 0;
    bool shortHasData = false;
    for (int w = 0; w < 3; ++w) {
        int lastSfb = -1;
        for (int sfb = firstShort; sfb < 13; ++sfb) {
            const int width = sfbS[sfb + 1] - sfbS[sfb];
            const int start = 3 * sfbS[sfb] + w * width;
            for (int i = 0; i < width; ++i)
                if (r[start + i] != 0.0f) lastSfb = sfb;
        }
        if (lastSfb >= 0) shortHasData = true;
        for (int sfb = firstShort; sfb < 13; ++sfb) {
            const int width = sfbS[sfb + 1] - sfbS[sfb];
            const int start = 3 * sfbS[sfb] + w * width;
            if (sfb <= lastSfb) {
                if (ms) msStereo(l, r, start, start + width);
            } else {
                const int src = sfb == 12 ? 11 : sfb;
                applyBand(start, start + width, sfR.s[src][w], sfR.maxS[src]);
            }
        }
    }
    if (gr.mixed) {
        // Long part of a mixed block (lines 0..35).
        int last = -1;
        for (int i = 35; i >= 0; --i)
            if (r[i] != 0.0f) {
                last = i;
                break;
            }
        int sfb = 0;
        while (sfbL[sfb + 1] <= 36 && sfb < 21) ++sfb;
        const int longBands = sfb;  // bands fully inside the long part
        if (shortHasData) {
            if (ms) msStereo(l, r, 0, 36);
        } else {
            int first = 0;
            while (first < longBands && sfbL[first + 1] <= last) ++first;
            if (last >= 0) ++first;
            if (ms) msStereo(l, r, 0, sfbL[std::min(first, longBands)]);
            for (int b = first; b < longBands; ++b) applyBand(sfbL[b], sfbL[b + 1], sfR.l[b], sfR.maxL[b]);
        }
    }
    nz[0] = nz[1] = 576;
}

void aliasReduce(const Tables& t, float* xr, int sbLimit) {
    for (int sb = 1; sb < sbLimit && sb < 32; ++sb) {
        float* a = xr + 18 * sb;
        for (int i = 0; i < 8; ++i) {
            const float bu = a[-1 - i], bd = a[i];
            a[-1 - i] = bu * t.cs[i] - bd * t.ca[i];
            a[i] = bd * t.cs[i] + bu * t.ca[i];
        }
    }
}

void imdctLong(const Tables& t, const float* in, const float* win, float (*prev)[32], float* out, int sb) {
    // Outputs 0..17 are antisymmetric and 18..35 symmetric about their
    // middles: 18 sums give all 36.
    float acc[18] = {};
    for (int k = 0; k < 18; ++k) {
        const float v = in[k];
        const float* c = t.imdctLong[k];
        for (int r = 0; r < 18; ++r) acc[r] += c[r] * v;
    }
    float x[36];
    for (int r = 0; r < 9; ++r) {
        x[r] = acc[r];
        x[17 - r] = -acc[r];
        x[18 + r] = acc[9 + r];
        x[35 - r] = acc[9 + r];
    }
    for (int i = 0; i < 18; ++i) {
        out[i * 32 + sb] = x[i] * win[i] + prev[i][sb];
        prev[i][sb] = x[18 + i] * win[18 + i];
    }
}

void imdctShort(const Tables& t, const float* in, float (*prev)[32], float* out, int sb) {
    alignas(16) float z[40] = {};
    for (int w = 0; w < 3; ++w) {
        const float* X = in + 6 * w;
#if defined(__SSE2__)
        // The twelve outputs of a window three at a time, each as the sum
        // over k the scalar version makes, in the same order.
        __m128 acc[3] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
        for (int k = 0; k < 6; ++k) {
            const __m128 xk = _mm_set1_ps(X[k]);
            for (int v = 0; v < 3; ++v)
                acc[v] = _mm_add_ps(acc[v], _mm_mul_ps(_mm_load_ps(t.imdctShortT[k] + 4 * v), xk));
        }
        for (int v = 0; v < 3; ++v) {
            float* zz = z + 6 + 6 * w + 4 * v;
            _mm_storeu_ps(zz, _mm_add_ps(_mm_loadu_ps(zz), acc[v]));
        }
#else
        for (int i = 0; i < 12; ++i) {
            const float* c = t.imdctShort[i];
            float acc = 0.0f;
            for (int k = 0; k < 6; ++k) acc += c[k] * X[k];
            z[6 + 6 * w + i] += acc;
        }
#endif
    }
    for (int i = 0; i < 18; ++i) {
        out[i * 32 + sb] = z[i] + prev[i][sb];
        prev[i][sb] = z[18 + i];
    }
}

#if defined(__SSE2__)

// The 9-point DCT-II, C[k] = sum a[n] cos((2n + 1) k pi / 18), of four lanes:
// the inputs in mirrored pairs, their sums for the even outputs and their
// differences for the odd ones.
inline void dct9(const Tables& t, const __m128* a, __m128* c) {
    __m128 p[4], q[4];
    for (int n = 0; n < 4; ++n) {
        p[n] = _mm_add_ps(a[n], a[8 - n]);
        q[n] = _mm_sub_ps(a[n], a[8 - n]);
    }
    const __m128 m = a[4];
    c[0] = _mm_add_ps(_mm_add_ps(_mm_add_ps(p[0], p[1]), _mm_add_ps(p[2], p[3])), m);
    for (int j = 0; j < 4; ++j) {
        const float* e = t.dct9Even[j];
        const float* o = t.dct9Odd[j];
        __m128 even = _mm_add_ps(_mm_add_ps(_mm_mul_ps(p[0], _mm_set1_ps(e[0])), _mm_mul_ps(p[1], _mm_set1_ps(e[1]))),
                                 _mm_add_ps(_mm_mul_ps(p[2], _mm_set1_ps(e[2])), _mm_mul_ps(p[3], _mm_set1_ps(e[3]))));
        // The middle input's cos(k pi / 2): -1, 1, -1, 1 for k = 2, 4, 6, 8.
        even = (j & 1) ? _mm_add_ps(even, m) : _mm_sub_ps(even, m);
        c[2 * j + 2] = even;
        c[2 * j + 1] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(q[0], _mm_set1_ps(o[0])), _mm_mul_ps(q[1], _mm_set1_ps(o[1]))),
                                  _mm_add_ps(_mm_mul_ps(q[2], _mm_set1_ps(o[2])), _mm_mul_ps(q[3], _mm_set1_ps(o[3]))));
    }
}

// The long-block IMDCT of four neighbouring subbands at once (one per lane),
// with the window, the overlap and the frequency inversion of odd subbands.
// The 18 sums of the direct form are a DCT-IV of 18 points: inputs scaled,
// a DCT-II of 18 points split into two of 9, and neighbours added.
void imdctLong4(const Tables& t, const float* in, const float* win, float (*prev)[32], float* out, int sb) {
    __m128 u[18];
    for (int k = 0; k < 18; ++k)
        u[k] = _mm_mul_ps(_mm_setr_ps(in[k], in[18 + k], in[36 + k], in[54 + k]), _mm_set1_ps(t.dct4Pre[k]));
    __m128 a[9], b[9], A[9], B[10];
    for (int n = 0; n < 9; ++n) {
        a[n] = _mm_add_ps(u[n], u[17 - n]);
        b[n] = _mm_mul_ps(_mm_sub_ps(u[n], u[17 - n]), _mm_set1_ps(t.dct18Odd[n]));
    }
    dct9(t, a, A);
    dct9(t, b, B);
    B[9] = _mm_setzero_ps();
    __m128 c[19];
    for (int k = 0; k < 9; ++k) {
        c[2 * k] = A[k];
        c[2 * k + 1] = _mm_add_ps(B[k], B[k + 1]);
    }
    c[18] = _mm_setzero_ps();
    // y[k] = c[k] + c[k + 1]; the direct form's sums are y[9..17] (outputs
    // 0..8) and -y[8..0] (outputs 18..26).
    __m128 x[36];
    const __m128 sign = _mm_set1_ps(-0.0f);
    for (int r = 0; r < 9; ++r) {
        const __m128 lo = _mm_add_ps(c[9 + r], c[10 + r]);
        const __m128 hi = _mm_xor_ps(_mm_add_ps(c[8 - r], c[9 - r]), sign);
        x[r] = lo;
        x[17 - r] = _mm_xor_ps(lo, sign);
        x[18 + r] = hi;
        x[35 - r] = hi;
    }
    const __m128 oddLanes = _mm_setr_ps(0.0f, -0.0f, 0.0f, -0.0f);
    for (int i = 0; i < 18; ++i) {
        __m128 o = _mm_add_ps(_mm_mul_ps(x[i], _mm_set1_ps(win[i])), _mm_load_ps(&prev[i][sb]));
        if (i & 1) o = _mm_xor_ps(o, oddLanes);
        _mm_store_ps(out + i * 32 + sb, o);
        _mm_store_ps(&prev[i][sb], _mm_mul_ps(x[18 + i], _mm_set1_ps(win[18 + i])));
    }
}

#endif

// Where the time samples of each granule go as soon as they are made
// ([channel][slot * 32 + subband], 18 slots): to the synthesis.
struct GranuleSink {
    void (*take)(void* context, const float (*time)[18 * 32], int granule);
    void* context;
};

// Everything of a frame up to the synthesis, a granule at a time. Returns
// the samples per channel or -1 on a fault. A frame that is silence (no
// side information, or main data before the reservoir) hands on nothing:
// the synthesis does not see it.
int transform(Layer3State& s, const MpegFrameHeader& h, const uint8_t* frame, size_t size, const GranuleSink& sink) {
    const Tables& t = tables();
    const int nch = mpegChannels(h);
    const bool lsf = h.version != 1;
    const int ngr = lsf ? 1 : 2;
    const int samples = ngr * 576;
    const size_t sideStart = 4 + (h.protection == 0 ? 2 : 0);
    const size_t sideLen = size_t(mpegSideInfoLength(h));
    if (size < sideStart + sideLen) return -1;

    SideInfo si;
    BitReader sideReader(frame, size, sideStart * 8);
    const bool sideOk = readSideInfo(sideReader, h, si);

    // Append this frame's main data to the reservoir, keeping at most
    // kReservoir bytes of history in front of it.
    const size_t mainLen = size - sideStart - sideLen;
    const int previous = s.dataLen;
    if (previous > Layer3State::kReservoir) {
        std::memmove(s.data, s.data + previous - Layer3State::kReservoir, Layer3State::kReservoir);
        s.dataLen = Layer3State::kReservoir;
    }
    const int held = s.dataLen;
    std::memcpy(s.data + held, frame + sideStart + sideLen, mainLen);
    s.dataLen = held + int(mainLen);
    std::memset(s.data + s.dataLen, 0, 8);

    if (!sideOk) return -1;
    if (si.mainDataBegin > held) return samples;  // main data lies before the reservoir: silence

    const int rateIndex = (h.version == 1 ? 0 : h.version == 0 ? 3 : 6) + h.samplingIndex;
    const uint16_t* sfbL = kSfbLong[rateIndex];
    const uint16_t* sfbS = kSfbShort[rateIndex];
    const size_t capacity = size_t(s.dataLen);
    BitReader br(s.data, capacity, size_t(held - si.mainDataBegin) * 8);
    bool fault = false;

    alignas(16) float xr[2][576];
    alignas(16) float timeSamples[2][18 * 32];
    int is[576];
    for (int g = 0; g < ngr; ++g) {
        int nz[2] = {0, 0};
        for (int ch = 0; ch < nch; ++ch) {
            Granule& gi = si.gr[g][ch];
            const size_t start = br.position();
            const size_t end = start + size_t(gi.part23);
            if (lsf)
                readScaleFactorsLsf(br, gi, ch == 1 && h.mode == 1 && (h.modeExtension & 1), s.sf[ch]);
            else
                readScaleFactorsMpeg1(br, gi, si.scfsi[ch], g, s.sf[ch]);
            if (end > capacity * 8 || br.position() > end) {
                fault = true;
                nz[ch] = 0;
                std::fill(xr[ch], xr[ch] + 576, 0.0f);
                br.setPosition(std::min(end, capacity * 8));
                continue;
            }
            nz[ch] = readHuffman(br, t, gi, end, sfbL, sfbS, is);
            requantize(t, gi, s.sf[ch], sfbL, sfbS, is, nz[ch], xr[ch]);
            br.setPosition(end);
        }
        if (nch == 2 && h.mode == 1 && h.modeExtension != 0)
            stereo(t, h, si.gr[g][1], s.sf[1], sfbL, sfbS, xr[0], xr[1], nz);

        for (int ch = 0; ch < nch; ++ch) {
            const Granule& gi = si.gr[g][ch];
            float* x = xr[ch];
            const bool shortBlocks = gi.windowSwitching && gi.blockType == 2;
            int sbLimit = (nz[ch] + 17) / 18;
            if (shortBlocks) {
                // Reorder the short windows into subband order: [sb][window][line].
                alignas(16) float ro[576];
                const int firstSfb = gi.mixed ? 3 : 0;
                const int firstLine = gi.mixed ? 36 : 0;
                std::copy(x, x + firstLine, ro);
                std::fill(ro + firstLine, ro + 576, 0.0f);
                for (int sfb = firstSfb; sfb < 13; ++sfb) {
                    const int width = sfbS[sfb + 1] - sfbS[sfb];
                    const int base = 3 * sfbS[sfb];
                    for (int w = 0; w < 3; ++w) {
                        // Line f of the window goes to subband f / 6, slot w * 6 + f % 6.
                        int q = sfbS[sfb] / 6, r = sfbS[sfb] % 6;
                        const float* from = x + base + w * width;
                        for (int i = 0; i < width; ++i) {
                            ro[q * 18 + w * 6 + r] = from[i];
                            if (++r == 6) {
                                r = 0;
                                ++q;
                            }
                        }
                    }
                }
                std::copy(ro, ro + 576, x);
                sbLimit = 32;
                if (gi.mixed) aliasReduce(t, x, 2);
            } else {
                aliasReduce(t, x, std::min(sbLimit + 1, 32));
                sbLimit = std::min(sbLimit + 1, 32);
            }
            float(*prev)[32] = s.overlap[ch];
            float* ts = timeSamples[ch];
            for (int sb = 0; sb < 32; ++sb) {
#if defined(__SSE2__)
                // Long blocks, four whole subbands at a time.
                if (!shortBlocks && !gi.mixed && (sb & 3) == 0 && sb + 4 <= sbLimit) {
                    imdctLong4(t, x + 18 * sb, t.window[gi.blockType], prev, ts, sb);
                    sb += 3;
                    continue;
                }
#endif
#if defined(__SSE2__)
                // Beyond the coded subbands only the overlap remains, four
                // subbands at a time.
                if ((sb & 3) == 0 && sb >= sbLimit) {
                    const __m128 oddLanes = _mm_setr_ps(0.0f, -0.0f, 0.0f, -0.0f);
                    for (int i = 0; i < 18; ++i) {
                        __m128 o = _mm_load_ps(&prev[i][sb]);
                        if (i & 1) o = _mm_xor_ps(o, oddLanes);
                        _mm_store_ps(ts + i * 32 + sb, o);
                        _mm_store_ps(&prev[i][sb], _mm_setzero_ps());
                    }
                    sb += 3;
                    continue;
                }
#endif
                if (sb >= sbLimit) {
                    for (int i = 0; i < 18; ++i) {
                        ts[i * 32 + sb] = prev[i][sb];
                        prev[i][sb] = 0.0f;
                    }
                } else if (shortBlocks && !(gi.mixed && sb < 2)) {
                    imdctShort(t, x + 18 * sb, prev, ts, sb);
                } else {
                    // The two long subbands of a mixed block use the normal window.
                    const int type = (shortBlocks || (gi.mixed && sb < 2)) ? 0 : gi.blockType;
                    imdctLong(t, x + 18 * sb, t.window[type], prev, ts, sb);
                }
                if (sb & 1)
                    for (int i = 1; i < 18; i += 2) ts[i * 32 + sb] = -ts[i * 32 + sb];
            }
        }
        sink.take(sink.context, timeSamples, g);
    }
    return fault ? -1 : samples;
}

}  // namespace

// The synthesis of each granule into the frame's 16-bit samples or floats.
template <class Sample>
struct SynthesisTarget {
    dsp::PolyphaseSynthesis* synth;
    int nch;
    Sample* out;
    int granules = 0;  // synthesised so far

    static void take(void* context, const float (*time)[18 * 32], int granule) {
        SynthesisTarget& to = *static_cast<SynthesisTarget*>(context);
        Sample* o = to.out + granule * 576 * to.nch;
        for (int i = 0; i < 18; ++i)
            synthesizeSlot(to.synth, to.nch, time[0] + i * 32, time[1] + i * 32, o + i * 32 * to.nch);
        to.granules = granule + 1;
    }
};

template <class Sample>
int decodeLayer3(Layer3State& s, dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame,
                 size_t size, Sample* out) {
    const int nch = mpegChannels(h);
    SynthesisTarget<Sample> target{synth, nch, out};
    const int n = transform(s, h, frame, size, GranuleSink{&SynthesisTarget<Sample>::take, &target});
    // What the synthesis did not reach is silence.
    const int granules = h.version != 1 ? 1 : 2;
    std::fill(out + target.granules * 576 * nch, out + granules * 576 * nch, Sample(0));
    return n;
}

template int decodeLayer3(Layer3State&, dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t,
                          int16_t*);
template int decodeLayer3(Layer3State&, dsp::PolyphaseSynthesis*, const MpegFrameHeader&, const uint8_t*, size_t,
                          float*);

}  // namespace qoro::mpeg::detail
