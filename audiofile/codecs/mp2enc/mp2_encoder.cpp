#include "mp2_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "codecs/dsp/polyphase.h"
#include "mpeg/layer2_tables.h"
#include "mpeg/mpeg_header.h"
#include "psycho_model2.h"

namespace qoro::mp2enc {
namespace {

constexpr int kBlocks = 3;      // scale factor blocks per frame
constexpr int kBlockLen = 12;   // subband samples per block
constexpr int kSbSamples = 36;  // subband samples per frame
constexpr int kGranules = 12;   // groups of three subband samples

// Tables every instance shares, built when the first instance is created.
struct SharedTables {
    float scale[64];  // scale factors 2^(1 - i/3); 63 is unused
    SharedTables() {
        for (int i = 0; i < 63; ++i) scale[i] = float(std::exp2(1.0 - i / 3.0));
        scale[63] = 0.0f;
    }
};

// Signal-to-noise ratio of each quantiser (ISO/IEC 11172-3 table C.5).
float snrOf(int levels) {
    static constexpr struct {
        int levels;
        float db;
    } kSnr[] = {{3, 7.00f},     {5, 11.00f},    {7, 16.00f},     {9, 20.84f},     {15, 25.28f},   {31, 31.59f},
                {63, 37.75f},   {127, 43.84f},  {255, 49.89f},   {511, 55.93f},   {1023, 61.96f}, {2047, 67.98f},
                {4095, 74.01f}, {8191, 80.03f}, {16383, 86.05f}, {32767, 92.01f}, {65535, 98.01f}};
    for (const auto& e : kSnr)
        if (e.levels == levels) return e.db;
    return 0.0f;
}

const SharedTables& shared() {
    static const SharedTables t;
    return t;
}

// Big-endian bit writer into a frame buffer.
class BitWriter {
public:
    BitWriter(uint8_t* out, size_t size) : out_(out), size_(size) {}

    // Up to 32 bits at a time (the frame writer never asks for more; a
    // wider request writes nothing).
    void put(uint32_t value, int bits) {
        if (bits > 32) return;
        for (int i = bits - 1; i >= 0; --i) {
            const size_t byte = pos_ >> 3;
            if (byte < size_) {
                const uint8_t mask = uint8_t(0x80u >> (pos_ & 7));
                if ((value >> i) & 1u)
                    out_[byte] |= mask;
                else
                    out_[byte] &= uint8_t(~mask);
            }
            ++pos_;
        }
    }
    size_t position() const { return pos_; }

private:
    uint8_t* out_;
    size_t size_;
    size_t pos_ = 0;
};

// CRC-16 (polynomial 0x8005) over `bits` bits of `data` from bit `start`.
uint16_t crc16(const uint8_t* data, size_t start, size_t bits, uint16_t crc) {
    for (size_t i = start; i < start + bits; ++i) {
        const unsigned bit = (data[i >> 3] >> (7 - (i & 7))) & 1u;
        const bool top = ((crc >> 15) & 1u) != bit;
        crc = uint16_t(crc << 1);
        if (top) crc ^= 0x8005;
    }
    return crc;
}

// Smallest scale factor (largest index) still above `peak`.
int scaleIndexFor(const float* scale, float peak) {
    if (!(peak > 0.0f)) return 62;
    int idx = int(std::floor(3.0f * (1.0f - std::log2(peak))));
    idx = std::clamp(idx, 0, 62);
    while (idx > 0 && scale[idx] <= peak) --idx;
    while (idx < 62 && scale[idx + 1] > peak) ++idx;
    return idx;
}

// Scale factor selection: the class of the difference of two neighbouring
// indices, and for each pair of classes the pattern of the standard's table:
// which of the three indices each block uses (3 = the largest scale) and the
// selection information sent.
int diffClass(int d) {
    if (d <= -3) return 0;
    if (d < 0) return 1;
    if (d == 0) return 2;
    if (d < 3) return 3;
    return 4;
}

struct ScfPattern {
    uint8_t use[3];
    uint8_t scfsi;
};

constexpr ScfPattern kPatterns[5][5] = {
    {{{0, 1, 2}, 0}, {{0, 1, 1}, 3}, {{0, 1, 1}, 3}, {{0, 2, 2}, 3}, {{0, 1, 2}, 0}},
    {{{0, 0, 2}, 1}, {{0, 0, 0}, 2}, {{0, 0, 0}, 2}, {{3, 3, 3}, 2}, {{0, 0, 2}, 1}},
    {{{0, 0, 0}, 2}, {{0, 0, 0}, 2}, {{0, 0, 0}, 2}, {{2, 2, 2}, 2}, {{0, 0, 2}, 1}},
    {{{1, 1, 1}, 2}, {{1, 1, 1}, 2}, {{1, 1, 1}, 2}, {{2, 2, 2}, 2}, {{0, 1, 2}, 0}},
    {{{0, 1, 2}, 0}, {{0, 1, 1}, 3}, {{0, 1, 1}, 3}, {{0, 2, 2}, 3}, {{0, 1, 2}, 0}},
};

// Number of scale factors each selection code transmits.
constexpr int kScfCount[4] = {3, 2, 1, 2};

// First subband coded as one combined channel in joint stereo (Layers I and
// II: 4, 8, 12 or 16 by mode extension).
// A layer or mode extension out of range codes every subband apart.
int jointStereoBound(int layerCode, int modeExtension) {
    if (layerCode < 2 || layerCode > 3 || modeExtension < 0 || modeExtension > 3) return 32;
    return 4 * (modeExtension + 1);
}

// Fixed signal-to-mask ratios of model 0.
constexpr float kFixedSmrDb = 30.0f;

}  // namespace

namespace detail {

struct EncoderInstance {
    Mp2Options options;
    mpeg::MpegFrameHeader header;
    int channels = 2;
    const mpeg::Layer2AllocTable* table = nullptr;
    int sblimit = 0;
    // Per subband and allocation code: bits of one granule's three samples
    // and the quantiser's signal-to-noise ratio.
    uint16_t granuleBits[32][16] = {};
    float snrDb[32][16] = {};
    uint64_t frameCounter = 0;
    int64_t slotsNumerator = 0;  // slots per frame = slotsNumerator / sampleRate
    dsp::PolyphaseAnalysis analysis[2];
    std::unique_ptr<PsychoModel2> model[2];

    alignas(32) float input[2][Mp2Encoder::kSamplesPerFrame] = {};
    // Subband samples [channel][sample][subband]; channel 2 is the combined
    // channel of joint stereo.
    alignas(32) float sb[3][kSbSamples][32] = {};
    uint8_t scfIndex[3][32][kBlocks] = {};  // after the selection pattern
    uint8_t scfsi[3][32] = {};
    float smr[2][32] = {};
};

}  // namespace detail

using Instance = detail::EncoderInstance;

Mp2Encoder::Mp2Encoder() = default;
Mp2Encoder::~Mp2Encoder() = default;

const char* Mp2Encoder::modeName(int mode) {
    static const char* const kNames[4] = {"stereo", "j-stereo", "dual-ch", "single-ch"};
    return mode >= 0 && mode < 4 ? kNames[mode] : "";
}

const char* Mp2Encoder::versionName(int version) { return version == 1 ? "MPEG-1" : "MPEG-2 LSF"; }

int Mp2Encoder::liveInstances() const {
    return int(std::count_if(instances_.begin(), instances_.end(), [](const auto& p) { return p != nullptr; }));
}

namespace {

// A new instance for settings already checked (throws std::bad_alloc when
// memory runs out; what was built of it is freed on the way out).
std::unique_ptr<Instance> buildInstance(const Mp2Options& options, const mpeg::MpegFrameHeader& h) {
    auto inst = std::make_unique<Instance>();
    inst->options = options;
    inst->header = h;
    inst->channels = h.mode == 3 ? 1 : 2;
    inst->table = &mpeg::layer2AllocTable(h.version, h.samplingIndex, options.bitrateKbps, inst->channels);
    inst->sblimit = inst->table->sblimit;
    for (int sb = 0; sb < inst->sblimit; ++sb)
        for (int code = 1; code < (1 << inst->table->nbal[sb]); ++code) {
            const int levels = inst->table->levels[sb][code];
            inst->granuleBits[sb][code] = uint16_t(mpeg::layer2GroupBits(levels));
            inst->snrDb[sb][code] = snrOf(levels);
        }
    inst->slotsNumerator = int64_t(Mp2Encoder::kSamplesPerFrame) * options.bitrateKbps * 1000 / 8;
    if (options.psychoModel != 0)
        for (int ch = 0; ch < inst->channels; ++ch)
            inst->model[ch] = std::make_unique<PsychoModel2>(options.sampleRate);
    return inst;
}

}  // namespace

int Mp2Encoder::refuse(int code, std::string message) {
    message_ = std::move(message);
    return code;
}

int Mp2Encoder::createInstance(const Mp2Options& options, Mp2Instance& created) {
    created = Mp2Instance{};
    message_.clear();
    auto slot = std::find(instances_.begin(), instances_.end(), nullptr);
    if (slot == instances_.end()) return refuse(kTooManyInstances, "ten encoder instances are in use");
    shared();  // the tables every instance uses, built once (no allocation)

    mpeg::MpegFrameHeader h;
    switch (options.sampleRate) {
    case 44100:
        h.version = 1;
        h.samplingIndex = 0;
        break;
    case 48000:
        h.version = 1;
        h.samplingIndex = 1;
        break;
    case 32000:
        h.version = 1;
        h.samplingIndex = 2;
        break;
    case 22050:
        h.version = 0;
        h.samplingIndex = 0;
        break;
    case 24000:
        h.version = 0;
        h.samplingIndex = 1;
        break;
    case 16000:
        h.version = 0;
        h.samplingIndex = 2;
        break;
    default:
        return refuse(kBadSampleRate,
                      "SmpFrqIndex: " + std::to_string(options.sampleRate) + " is not a legal sample rate");
    }
    h.layer = 2;
    h.protection = options.errorProtection ? 0 : 1;
    h.mode = options.mode;
    if (h.mode < 0 || h.mode > 3)
        return refuse(kBadSettings, "Mode: " + std::to_string(h.mode) + " is not a channel mode");
    h.privateBit = options.privateBit & 1;
    h.copyright = options.copyright & 1;
    h.original = options.original & 1;
    h.emphasis = options.emphasis & 3;

    h.bitrateIndex = -1;
    for (int i = 0; i < 15; ++i)
        if (mpeg::kMpegBitrateKbps[h.version][2][i] == options.bitrateKbps) {
            h.bitrateIndex = i;
            break;
        }
    // Index 0 is the free format, which this encoder does not write. MPEG-1
    // Layer II forbids some bitrate and mode pairs; decoders refuse them.
    if (h.bitrateIndex <= 0 || !mpeg::isValidMpegHeader(h))
        return refuse(kBadSettings, "BitrateIndex: " + std::to_string(options.bitrateKbps) + " (HEADER " +
                                        std::to_string(h.version) + ") is not a legal bitrate");
    if (options.psychoModel < 0 || options.psychoModel > 2)
        return refuse(kBadSettings,
                      "Invalid Psycho Acoustic Model setting (" + std::to_string(options.psychoModel) + ")");

    // The instance is built whole before it takes its slot: running out of
    // memory on the way leaves nothing behind (its parts free themselves).
    try {
        *slot = buildInstance(options, h);
    } catch (const std::bad_alloc&) {
        return refuse(kNoMemory, "not enough memory for an encoder instance");
    }
    created.number = int32_t(slot - instances_.begin());
    created.samplesPerCall = kSamplesPerFrame * (options.mode == 3 ? 1 : 2);
    created.outputBufferSize = kOutputBufferSize;
    return kOk;
}

int Mp2Encoder::closeInstance(int instance) {
    message_.clear();
    if (instance < 0 || instance >= kMaxInstances || !instances_[size_t(instance)])
        return refuse(kBadInstance, "no encoder instance " + std::to_string(instance));
    instances_[size_t(instance)].reset();
    return kOk;
}

// ---------------------------------------------------------------------------
// One frame.

namespace {

struct Allocation {
    uint8_t code[2][32] = {};
    float minMnr = 0.0f;
    bool satisfied = false;  // every coded band reached its mask
};

void scaleFactorsOf(Instance& s, int ch, int sblimit) {
    const float* scale = shared().scale;
    for (int sb = 0; sb < sblimit; ++sb) {
        int idx[kBlocks];
        for (int b = 0; b < kBlocks; ++b) {
            float peak = 0.0f;
            for (int i = 0; i < kBlockLen; ++i) peak = std::max(peak, std::fabs(s.sb[ch][b * kBlockLen + i][sb]));
            idx[b] = scaleIndexFor(scale, peak);
        }
        const ScfPattern& p = kPatterns[diffClass(idx[0] - idx[1])][diffClass(idx[1] - idx[2])];
        const int largest = std::min({idx[0], idx[1], idx[2]});
        for (int b = 0; b < kBlocks; ++b) s.scfIndex[ch][sb][b] = uint8_t(p.use[b] == 3 ? largest : idx[p.use[b]]);
        s.scfsi[ch][sb] = p.scfsi;
    }
}

// Greedy allocation: the coding unit (a channel's subband, or both channels'
// subband above the intensity bound) with the lowest mask-to-noise ratio gets
// the next quantiser step, as long as the frame has room for it.
Allocation allocate(const Instance& s, int bound, int availableBits) {
    const mpeg::Layer2AllocTable& table = *s.table;
    const int sblimit = s.sblimit;
    const int nch = s.channels;

    struct Unit {
        int sb;
        int ch;       // -1: both channels (above the bound)
        int scfBits;  // selection info and scale factors, paid once coded
        float smr;
        float mnr;
        int code;
    };
    Unit units[64];
    int count = 0;
    int bits = availableBits;
    for (int sb = 0; sb < sblimit; ++sb) {
        if (sb < bound) {
            for (int ch = 0; ch < nch; ++ch)
                units[count++] = {sb, ch, 2 + 6 * kScfCount[s.scfsi[ch][sb]], s.smr[ch][sb], -s.smr[ch][sb], 0};
            bits -= table.nbal[sb] * nch;
        } else {
            const int scf = 4 + 6 * (kScfCount[s.scfsi[0][sb]] + kScfCount[s.scfsi[1][sb]]);
            const float smr = std::max(s.smr[0][sb], s.smr[1][sb]);
            units[count++] = {sb, -1, scf, smr, -smr, 0};
            bits -= table.nbal[sb];
        }
    }

    // Min-heap of the units that may still grow, lowest ratio on top (ties:
    // the lower subband first).
    int heap[64];
    int open = 0;
    for (int i = 0; i < count; ++i) heap[open++] = i;
    auto later = [&units](int x, int y) {
        return units[x].mnr > units[y].mnr || (units[x].mnr == units[y].mnr && x > y);
    };
    std::make_heap(heap, heap + open, later);
    while (open > 0) {
        std::pop_heap(heap, heap + open, later);
        Unit& u = units[heap[open - 1]];
        const int next = u.code + 1;
        if (next >= (1 << table.nbal[u.sb])) {
            --open;
            continue;
        }
        int cost = kGranules * (s.granuleBits[u.sb][next] - s.granuleBits[u.sb][u.code]);
        if (u.code == 0) cost += u.scfBits;
        if (cost > bits) {
            --open;  // no room for this unit's next step
            continue;
        }
        bits -= cost;
        u.code = next;
        u.mnr = s.snrDb[u.sb][next] - u.smr;
        std::push_heap(heap, heap + open, later);
    }

    Allocation a;
    a.minMnr = 1e9f;
    for (int i = 0; i < count; ++i) {
        const Unit& u = units[i];
        if (u.ch < 0) {
            a.code[0][u.sb] = a.code[1][u.sb] = uint8_t(u.code);
        } else {
            a.code[u.ch][u.sb] = uint8_t(u.code);
        }
        a.minMnr = std::min(a.minMnr, u.mnr);
    }
    a.satisfied = a.minMnr >= 0.0f;
    return a;
}

// Midtread quantiser of `levels` steps over [-1, 1): code v stands for
// (2v - (levels - 1)) / levels.
inline uint32_t quantise(float x, int levels) {
    const int v = int((x + 1.0f) * float(levels) * 0.5f);
    return uint32_t(std::clamp(v, 0, levels - 1));
}

}  // namespace

int Mp2Encoder::encodeFrame(int instance, int sampleCount, const int16_t* samples, uint8_t* out, size_t outSize,
                            int& bytesWritten) {
    bytesWritten = 0;
    message_.clear();
    if (instance < 0 || instance >= kMaxInstances || !instances_[size_t(instance)])
        return refuse(kBadInstance, "no encoder instance " + std::to_string(instance));
    Instance& s = *instances_[size_t(instance)];
    const SharedTables& t = shared();
    const int nch = s.channels;

    // Frame length: the padding slot keeps the average at the exact length.
    const int64_t rate = s.options.sampleRate;
    const int64_t whole = s.slotsNumerator / rate;
    int64_t length = whole;
    int padding = 0;
    if (s.options.padding && s.slotsNumerator % rate != 0) {
        const int64_t n = int64_t(s.frameCounter);
        if ((s.slotsNumerator * (n + 2)) / rate - (s.slotsNumerator * (n + 1)) / rate != whole) padding = 1;
    }
    length += padding;
    if (outSize < size_t(length) || !out || (sampleCount > 0 && !samples))
        return refuse(kBufferTooSmall, "the output buffer cannot hold a frame of " + std::to_string(length) + " bytes");

    // Input: cleared, then de-interleaved (a short call is padded with silence).
    std::memset(s.input, 0, sizeof s.input);
    const int frames = std::clamp(sampleCount, 0, kSamplesPerFrame * nch) / nch;
    for (int i = 0; i < frames; ++i)
        for (int ch = 0; ch < nch; ++ch) s.input[ch][i] = float(samples[i * nch + ch]);

    // Filter bank.
    for (int ch = 0; ch < nch; ++ch) {
        float in[32];
        for (int blk = 0; blk < kSbSamples; ++blk) {
            for (int i = 0; i < 32; ++i) in[i] = s.input[ch][blk * 32 + i] * (1.0f / 32768.0f);
            s.analysis[ch].run(in, s.sb[ch][blk]);
        }
    }

    // Signal-to-mask ratios.
    for (int ch = 0; ch < nch; ++ch) {
        if (s.model[ch]) {
            s.model[ch]->analyse(s.input[ch], s.smr[ch]);
            // The allocation only needs an ordering; keep it finite.
            for (float& v : s.smr[ch]) v = v == v ? std::clamp(v, -100.0f, 150.0f) : 0.0f;
        } else {
            std::fill(s.smr[ch], s.smr[ch] + 32, kFixedSmrDb);
        }
    }

    const int sblimit = s.sblimit;
    for (int ch = 0; ch < nch; ++ch) scaleFactorsOf(s, ch, sblimit);

    mpeg::MpegFrameHeader h = s.header;
    h.padding = padding;
    const int fixedBits = 32 + (h.protection == 0 ? 16 : 0);
    const int available = int(length) * 8 - fixedBits;

    Allocation alloc;
    int bound = sblimit;
    if (h.mode == 1) {
        // Joint stereo: the combined channel above the bound, and the widest
        // bound whose allocation still reaches the masks.
        for (int sb = 0; sb < sblimit; ++sb)
            for (int i = 0; i < kSbSamples; ++i) s.sb[2][i][sb] = 0.5f * (s.sb[0][i][sb] + s.sb[1][i][sb]);
        scaleFactorsOf(s, 2, sblimit);
        h.modeExtension = 0;
        for (int ext = 3; ext >= 0; --ext) {
            const int b = std::min(jointStereoBound(h.layer, ext), sblimit);
            alloc = allocate(s, b, available);
            h.modeExtension = ext;
            bound = b;
            if (alloc.satisfied) break;
        }
    } else {
        alloc = allocate(s, bound, available);
    }
    const mpeg::Layer2AllocTable& table = *s.table;

    std::memset(out, 0, size_t(length));
    BitWriter bw(out, size_t(length));
    bw.put(mpeg::packMpegHeader(h), 32);
    if (h.protection == 0) bw.put(0, 16);  // CRC, filled in below
    const size_t crcStart = bw.position();

    for (int sb = 0; sb < sblimit; ++sb) {
        if (sb < bound) {
            for (int ch = 0; ch < nch; ++ch) bw.put(alloc.code[ch][sb], table.nbal[sb]);
        } else {
            bw.put(alloc.code[0][sb], table.nbal[sb]);
        }
    }
    for (int sb = 0; sb < sblimit; ++sb)
        for (int ch = 0; ch < nch; ++ch)
            if (alloc.code[ch][sb]) bw.put(s.scfsi[ch][sb], 2);
    const size_t crcEnd = bw.position();

    for (int sb = 0; sb < sblimit; ++sb)
        for (int ch = 0; ch < nch; ++ch) {
            if (!alloc.code[ch][sb]) continue;
            const uint8_t* idx = s.scfIndex[ch][sb];
            switch (s.scfsi[ch][sb]) {
            case 0:
                bw.put(idx[0], 6);
                bw.put(idx[1], 6);
                bw.put(idx[2], 6);
                break;
            case 1:
                bw.put(idx[0], 6);
                bw.put(idx[2], 6);
                break;
            case 2: bw.put(idx[0], 6); break;
            default:
                bw.put(idx[0], 6);
                bw.put(idx[1], 6);
                break;
            }
        }

    // Quantised samples, granule by granule.
    for (int gr = 0; gr < kGranules; ++gr) {
        const int block = gr >> 2;
        for (int sb = 0; sb < sblimit; ++sb) {
            const int chans = sb < bound ? nch : 1;
            for (int c = 0; c < chans; ++c) {
                const int code = alloc.code[c][sb];
                if (!code) continue;
                // Above the bound the combined channel is sent, normalised by
                // its own scale factors.
                const int src = sb < bound ? c : 2;
                const int levels = table.levels[sb][code];
                const float inv = 1.0f / t.scale[s.scfIndex[src][sb][block]];
                uint32_t q[3];
                for (int i = 0; i < 3; ++i) q[i] = quantise(s.sb[src][gr * 3 + i][sb] * inv, levels);
                if (mpeg::layer2Grouped(levels)) {
                    bw.put(q[0] + uint32_t(levels) * (q[1] + uint32_t(levels) * q[2]), mpeg::layer2CodeBits(levels));
                } else {
                    const int n = mpeg::layer2CodeBits(levels);
                    for (int i = 0; i < 3; ++i) bw.put(q[i], n);
                }
            }
        }
    }
    // The rest of the frame stays zero.

    if (h.protection == 0) {
        uint16_t crc = crc16(out, 16, 16, 0xFFFF);
        crc = crc16(out, crcStart, crcEnd - crcStart, crc);
        out[4] = uint8_t(crc >> 8);
        out[5] = uint8_t(crc & 0xFF);
    }

    ++s.frameCounter;
    bytesWritten = int(length);
    return kOk;
}

}  // namespace qoro::mp2enc
