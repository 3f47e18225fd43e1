// Microsoft ADPCM driver, WAV block layout: per channel a predictor number, then
// per channel the step (delta), the second and the first sample; then nibbles,
// high nibble first, channels interleaved. Coefficient pairs come from the
// format record.
#include "codec.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace acm::detail {
namespace {

constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kMaxDelta = INT_MAX / 768;  // keeps the delta update in range on damaged data
constexpr size_t kMaxCoefficients = 256;

struct Layout {
    size_t channels = 0, blockAlign = 0, samplesPerBlock = 0;
    std::vector<ADPCMCOEFSET> coefficients;
};

size_t maxSamplesPerBlock(size_t blockAlign, size_t channels) {
    return (blockAlign - 7 * channels) * 8 / (4 * channels) + 2;
}

std::optional<Layout> layoutOf(const Record& r) {
    const WAVEFORMATEX& w = r.wfx;
    if (w.wFormatTag != WAVE_FORMAT_ADPCM || (w.nChannels != 1 && w.nChannels != 2) || w.wBitsPerSample != 4 ||
        !plausibleRate(w.nSamplesPerSec) || r.extra.size() < 4)
        return std::nullopt;
    Layout l;
    l.channels = w.nChannels;
    l.blockAlign = w.nBlockAlign;
    if (l.blockAlign < 7 * l.channels + 1) return std::nullopt;
    l.samplesPerBlock = static_cast<uint16_t>(readLe16(r.extra.data()));
    const size_t count = static_cast<uint16_t>(readLe16(r.extra.data() + 2));
    if (count == 0 || count > kMaxCoefficients || r.extra.size() < 4 + 4 * count) return std::nullopt;
    if (l.samplesPerBlock < 2 || l.samplesPerBlock > maxSamplesPerBlock(l.blockAlign, l.channels)) return std::nullopt;
    for (size_t i = 0; i < count; ++i)
        l.coefficients.push_back({readLe16(r.extra.data() + 4 + 4 * i), readLe16(r.extra.data() + 6 + 4 * i)});
    return l;
}

struct ChannelState {
    int coef1 = 0, coef2 = 0;
    int delta = 16;
    int sample1 = 0, sample2 = 0;

    // The coefficients and samples are 16-bit values taken as stored, so the
    // sum needs more than 32 bits: (-32768 x -32768) x 2 is 2^31.
    int predict() const { return static_cast<int>((int64_t{sample1} * coef1 + int64_t{sample2} * coef2) / 256); }

    // Rebuilds the sample a nibble stands for and moves the state on.
    int apply(int nibble) {
        const int signedNibble = (nibble & 8) ? nibble - 16 : nibble;
        const int64_t value = int64_t{predict()} + int64_t{signedNibble} * delta;
        sample2 = sample1;
        sample1 = static_cast<int>(std::clamp<int64_t>(value, -32768, 32767));
        delta = std::clamp(static_cast<int>((int64_t{kAdaptation[nibble]} * delta) >> 8), 16, kMaxDelta);
        return sample1;
    }

    int choose(int sample) const {
        const int error = sample - predict();
        const int bias = error >= 0 ? delta / 2 : -(delta / 2);
        return std::clamp((error + bias) / delta, -8, 7) & 0x0F;
    }
};

class MsAdpcmConverter : public BlockConverter {
public:
    MsAdpcmConverter(Layout l, bool decode)
        : BlockConverter(decode ? l.blockAlign : l.samplesPerBlock * 2 * l.channels,
                         decode ? l.samplesPerBlock * 2 * l.channels : l.blockAlign, !decode),
          l_(std::move(l)),
          decode_(decode) {}

protected:
    void convertBlock(const uint8_t* src, uint8_t* dst) override {
        if (decode_)
            decodeBlock(src, dst);
        else
            encodeBlock(src, dst);
    }

private:
    void setPredictor(ChannelState& s, size_t number) const {
        const ADPCMCOEFSET c = number < l_.coefficients.size() ? l_.coefficients[number] : ADPCMCOEFSET{0, 0};
        s.coef1 = c.iCoef1;
        s.coef2 = c.iCoef2;
    }

    void decodeBlock(const uint8_t* in, uint8_t* out) {
        const size_t ch = l_.channels;
        ChannelState st[2];
        for (size_t c = 0; c < ch; ++c) {
            setPredictor(st[c], in[c]);
            st[c].delta = readLe16(in + ch + 2 * c);  // taken as stored; the update bounds it
            st[c].sample1 = readLe16(in + 3 * ch + 2 * c);
            st[c].sample2 = readLe16(in + 5 * ch + 2 * c);
            writeLe16(out + 2 * c, st[c].sample2);
            writeLe16(out + 2 * (ch + c), st[c].sample1);
        }
        const uint8_t* data = in + 7 * ch;
        const size_t nibbles = (l_.samplesPerBlock - 2) * ch;
        for (size_t i = 0; i < nibbles; ++i) {
            const int nibble = (i & 1) ? data[i / 2] & 0x0F : data[i / 2] >> 4;
            writeLe16(out + 2 * (2 * ch + i), st[i % ch].apply(nibble));
        }
    }

    // Encodes one channel of a block with one predictor; returns the squared error.
    int64_t trial(const uint8_t* in, size_t c, ChannelState st, std::vector<uint8_t>* nibbles) const {
        const size_t ch = l_.channels;
        int64_t error = 0;
        for (size_t i = 2; i < l_.samplesPerBlock; ++i) {
            const int sample = readLe16(in + 2 * (i * ch + c));
            const int nibble = st.choose(sample);
            const int64_t d = sample - st.apply(nibble);
            error += d * d;
            if (nibbles) nibbles->push_back(static_cast<uint8_t>(nibble));
        }
        return error;
    }

    void encodeBlock(const uint8_t* in, uint8_t* out) {
        const size_t ch = l_.channels;
        std::fill_n(out, l_.blockAlign, uint8_t{0});
        std::vector<uint8_t> nibbles[2];
        for (size_t c = 0; c < ch; ++c) {
            ChannelState base;
            base.delta = delta_[c];
            base.sample2 = readLe16(in + 2 * c);
            base.sample1 = readLe16(in + 2 * (ch + c));
            // Try every predictor the record offers and keep the best.
            size_t best = 0;
            int64_t bestError = INT64_MAX;
            for (size_t p = 0; p < l_.coefficients.size(); ++p) {
                ChannelState st = base;
                setPredictor(st, p);
                const int64_t e = trial(in, c, st, nullptr);
                if (e < bestError) {
                    bestError = e;
                    best = p;
                }
            }
            ChannelState st = base;
            setPredictor(st, best);
            trial(in, c, st, &nibbles[c]);
            out[c] = static_cast<uint8_t>(best);
            writeLe16(out + ch + 2 * c, base.delta);
            writeLe16(out + 3 * ch + 2 * c, base.sample1);
            writeLe16(out + 5 * ch + 2 * c, base.sample2);
            // The next block starts from the step this one ended with.
            ChannelState end = st;
            for (uint8_t n : nibbles[c]) end.apply(n);
            delta_[c] = std::min(end.delta, 32767);
        }
        uint8_t* data = out + 7 * ch;
        const size_t count = (l_.samplesPerBlock - 2) * ch;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t n = nibbles[i % ch][i / ch];
            data[i / 2] |= static_cast<uint8_t>((i & 1) ? n : n << 4);
        }
    }

    Layout l_;
    bool decode_;
    int delta_[2] = {16, 16};
};

class MsAdpcmDriver : public DriverImpl {
public:
    uint16_t tag() const override { return WAVE_FORMAT_ADPCM; }
    const char* tagName() const override { return "Microsoft ADPCM"; }
    size_t maxFormatSize() const override { return sizeof(WAVEFORMATEX) + 4 + 7 * sizeof(ADPCMCOEFSET); }
    bool accepts(const Record& r) const override { return layoutOf(r).has_value(); }
    std::unique_ptr<Converter> decoder(const Record& s, const Record&) const override {
        auto l = layoutOf(s);
        return l ? std::make_unique<MsAdpcmConverter>(std::move(*l), true) : nullptr;
    }
    std::unique_ptr<Converter> encoder(const Record&, const Record& d) const override {
        auto l = layoutOf(d);
        return l ? std::make_unique<MsAdpcmConverter>(std::move(*l), false) : nullptr;
    }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        struct Row {
            uint32_t rate;
            uint16_t align;
            uint32_t mono, stereo;
        };
        for (Row row : {Row{8000, 256, 4096, 8152}, Row{11025, 256, 5644, 11289}, Row{22050, 512, 11155, 22311},
                        Row{44100, 1024, 22179, 44359}})
            for (uint16_t ch : {1, 2}) {
                const uint16_t align = static_cast<uint16_t>(row.align * ch);
                WAVEFORMATEX w{WAVE_FORMAT_ADPCM, ch, row.rate, ch == 1 ? row.mono : row.stereo, align, 4, 32};
                std::vector<uint8_t> extra(32);
                writeLe16(extra.data(), static_cast<int>(maxSamplesPerBlock(align, ch)));
                writeLe16(extra.data() + 2, 7);
                for (int i = 0; i < 7; ++i) {
                    writeLe16(extra.data() + 4 + 4 * i, kMsAdpcmStandardCoefficients[i].iCoef1);
                    writeLe16(extra.data() + 6 + 4 * i, kMsAdpcmStandardCoefficients[i].iCoef2);
                }
                out.push_back(Record{w, std::move(extra)});
            }
        return out;
    }
};

}  // namespace

const DriverImpl& msAdpcmDriver() {
    static const MsAdpcmDriver d;
    return d;
}

}  // namespace acm::detail
