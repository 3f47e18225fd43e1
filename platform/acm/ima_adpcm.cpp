// IMA ADPCM driver, WAV block layout: per channel a 4-byte header (first sample,
// step index, reserved byte), then groups of 4 bytes per channel carrying 8
// samples each, low nibble first.
#include "codec.h"

#include <algorithm>
#include <cstdlib>

namespace acm::detail {
namespace {

constexpr int16_t kStep[89] = {7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
                               25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
                               88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
                               307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
                               1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
                               3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
                               12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexShift[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

struct ChannelState {
    int predictor = 0;
    int index = 0;

    // The rebuilt difference is (2 * magnitude + 1) * step / 8, the rounding
    // form most decoders in use apply.
    int decode(int nibble) {
        const int step = kStep[index];
        const int diff = ((2 * (nibble & 7) + 1) * step) >> 3;
        predictor = std::clamp((nibble & 8) ? predictor - diff : predictor + diff, -32768, 32767);
        index = std::clamp(index + kIndexShift[nibble], 0, 88);
        return predictor;
    }

    int encode(int sample) {
        const int diff = sample - predictor;
        const int magnitude = std::min(7, std::abs(diff) * 4 / kStep[index]);
        const int nibble = magnitude | (diff < 0 ? 8 : 0);
        decode(nibble);  // track exactly what a decoder will rebuild
        return nibble;
    }
};

size_t samplesPerBlock(size_t blockAlign, size_t channels) {
    return (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
}

class ImaConverter : public BlockConverter {
public:
    ImaConverter(int channels, size_t blockAlign, bool decode)
        : BlockConverter(decode ? blockAlign : samplesPerBlock(blockAlign, channels) * 2 * channels,
                         decode ? samplesPerBlock(blockAlign, channels) * 2 * channels : blockAlign, !decode),
          channels_(channels),
          blockAlign_(blockAlign),
          spb_(samplesPerBlock(blockAlign, channels)),
          decode_(decode) {}

protected:
    void convertBlock(const uint8_t* src, uint8_t* dst) override {
        if (decode_)
            decodeBlock(src, dst);
        else
            encodeBlock(src, dst);
    }

private:
    void decodeBlock(const uint8_t* in, uint8_t* out) {
        const size_t ch = channels_;
        for (size_t c = 0; c < ch; ++c) {
            state_[c].predictor = readLe16(in + 4 * c);
            state_[c].index = std::min<int>(in[4 * c + 2], 88);
            writeLe16(out + 2 * c, state_[c].predictor);
        }
        const uint8_t* data = in + 4 * ch;
        const size_t groups = (spb_ - 1) / 8;
        for (size_t g = 0; g < groups; ++g)
            for (size_t c = 0; c < ch; ++c)
                for (size_t k = 0; k < 8; ++k) {
                    const uint8_t byte = data[(g * ch + c) * 4 + k / 2];
                    const int nibble = (k & 1) ? byte >> 4 : byte & 0x0F;
                    writeLe16(out + 2 * ((1 + g * 8 + k) * ch + c), state_[c].decode(nibble));
                }
    }

    void encodeBlock(const uint8_t* in, uint8_t* out) {
        const size_t ch = channels_;
        std::fill_n(out, blockAlign_, uint8_t{0});
        for (size_t c = 0; c < ch; ++c) {
            state_[c].predictor = readLe16(in + 2 * c);
            writeLe16(out + 4 * c, state_[c].predictor);
            out[4 * c + 2] = static_cast<uint8_t>(state_[c].index);
        }
        uint8_t* data = out + 4 * ch;
        const size_t groups = (spb_ - 1) / 8;
        for (size_t g = 0; g < groups; ++g)
            for (size_t c = 0; c < ch; ++c)
                for (size_t k = 0; k < 8; ++k) {
                    const int sample = readLe16(in + 2 * ((1 + g * 8 + k) * ch + c));
                    const int nibble = state_[c].encode(sample);
                    data[(g * ch + c) * 4 + k / 2] |= static_cast<uint8_t>((k & 1) ? nibble << 4 : nibble);
                }
    }

    int channels_;
    size_t blockAlign_, spb_;
    bool decode_;
    ChannelState state_[2];
};

class ImaDriver : public DriverImpl {
public:
    uint16_t tag() const override { return WAVE_FORMAT_IMA_ADPCM; }
    const char* tagName() const override { return "IMA ADPCM"; }
    size_t maxFormatSize() const override { return sizeof(WAVEFORMATEX) + 2; }
    bool accepts(const Record& r) const override {
        const WAVEFORMATEX& w = r.wfx;
        if (w.wFormatTag != WAVE_FORMAT_IMA_ADPCM || (w.nChannels != 1 && w.nChannels != 2) || w.wBitsPerSample != 4 ||
            !plausibleRate(w.nSamplesPerSec))
            return false;
        const size_t ch = w.nChannels;
        if (w.nBlockAlign <= 4 * ch || w.nBlockAlign % (4 * ch) != 0) return false;
        // The samples-per-block word, when present, must match the layout.
        if (r.extra.size() >= 2 &&
            static_cast<uint16_t>(readLe16(r.extra.data())) != samplesPerBlock(w.nBlockAlign, ch))
            return false;
        return true;
    }
    std::unique_ptr<Converter> decoder(const Record& s, const Record&) const override {
        return std::make_unique<ImaConverter>(s.wfx.nChannels, s.wfx.nBlockAlign, true);
    }
    std::unique_ptr<Converter> encoder(const Record&, const Record& d) const override {
        return std::make_unique<ImaConverter>(d.wfx.nChannels, d.wfx.nBlockAlign, false);
    }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        struct Row {
            uint32_t rate;
            uint16_t align;
            uint32_t bytes;
        };
        for (Row row : {Row{8000, 256, 4055}, Row{11025, 256, 5588}, Row{22050, 512, 11100}, Row{44100, 1024, 22125}})
            for (uint16_t ch : {1, 2}) {
                const uint16_t align = static_cast<uint16_t>(row.align * ch);
                WAVEFORMATEX w{WAVE_FORMAT_IMA_ADPCM, ch, row.rate, row.bytes * ch, align, 4, 2};
                const auto spb = samplesPerBlock(align, ch);
                out.push_back(Record{w, {static_cast<uint8_t>(spb & 0xFF), static_cast<uint8_t>(spb >> 8)}});
            }
        return out;
    }
};

}  // namespace

const DriverImpl& imaAdpcmDriver() {
    static const ImaDriver d;
    return d;
}

}  // namespace acm::detail
