// CCITT G.711 A-law and u-law drivers: one byte per sample, 13-bit (A-law) and
// 14-bit (u-law) segmented companding.
#include "codec.h"

#include <algorithm>
#include <array>

namespace acm::detail {
namespace {

int alawToLinear(uint8_t code) {
    code ^= 0x55;
    const int mantissa = code & 0x0F;
    const int segment = (code >> 4) & 0x07;
    int magnitude = segment == 0 ? (2 * mantissa + 1) << 3 : (2 * mantissa + 33) << (segment + 2);
    return (code & 0x80) ? magnitude : -magnitude;
}

int ulawToLinear(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    const int segment = (code >> 4) & 0x07;
    const int magnitude = ((((code & 0x0F) << 3) + 0x84) << segment) - 0x84;
    return (code & 0x80) ? -magnitude : magnitude;
}

// Segment of a magnitude: the first end point it does not exceed (8 = beyond).
int segmentOf(int value, const std::array<int, 8>& ends) {
    for (int s = 0; s < 8; ++s)
        if (value <= ends[s]) return s;
    return 8;
}

uint8_t linearToAlaw(int sample) {
    static constexpr std::array<int, 8> ends = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int v = sample >> 3;  // 13 significant bits
    int mask = 0xD5;
    if (v < 0) {
        mask = 0x55;
        v = -v - 1;
    }
    const int seg = segmentOf(v, ends);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    int code = seg << 4;
    code |= (seg < 2 ? (v >> 1) : (v >> seg)) & 0x0F;
    return static_cast<uint8_t>(code ^ mask);
}

uint8_t linearToUlaw(int sample) {
    static constexpr std::array<int, 8> ends = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
    int v = sample >> 2;  // 14 significant bits
    int mask = 0xFF;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    }
    if (v > 8159) v = 8159;
    v += 0x21;
    const int seg = segmentOf(v, ends);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    const int code = (seg << 4) | ((v >> (seg + 1)) & 0x0F);
    return static_cast<uint8_t>(code ^ mask);
}

struct Tables {
    std::array<int16_t, 256> decode{};
    std::array<uint8_t, 65536> encode{};
};

template <int (*Decode)(uint8_t), uint8_t (*Encode)(int)>
const Tables& tables() {
    static const Tables t = [] {
        Tables x;
        for (int i = 0; i < 256; ++i) x.decode[i] = static_cast<int16_t>(Decode(static_cast<uint8_t>(i)));
        for (int i = 0; i < 65536; ++i) x.encode[i] = Encode(i - 32768);
        return x;
    }();
    return t;
}

// Whole buffers at once: the block is one sample frame.
class G711Converter : public Converter {
public:
    G711Converter(const Tables& t, int channels, bool decode) : t_(t), channels_(channels), decode_(decode) {}
    size_t sourceToDestination(size_t n) const override {
        return decode_ ? n / channels_ * channels_ * 2 : n / (2 * channels_) * channels_;
    }
    size_t destinationToSource(size_t n) const override {
        return decode_ ? (n + 2 * channels_ - 1) / (2 * channels_) * channels_
                       : (n + channels_ - 1) / channels_ * channels_ * 2;
    }
    Conversion convert(std::span<const uint8_t> src, std::span<uint8_t> dst, bool) override {
        size_t samples;
        if (decode_) {
            samples = std::min(src.size(), dst.size() / 2) / channels_ * channels_;
            for (size_t i = 0; i < samples; ++i) writeLe16(dst.data() + 2 * i, t_.decode[src[i]]);
            return Conversion{Result::Ok, samples, samples * 2};
        }
        samples = std::min(src.size() / 2, dst.size()) / channels_ * channels_;
        for (size_t i = 0; i < samples; ++i)
            dst[i] = t_.encode[static_cast<uint16_t>(readLe16(src.data() + 2 * i)) ^ 0x8000];
        return Conversion{Result::Ok, samples * 2, samples};
    }

private:
    const Tables& t_;
    size_t channels_;
    bool decode_;
};

class G711Driver : public DriverImpl {
public:
    G711Driver(uint16_t tag, const char* name, const Tables& t) : tag_(tag), name_(name), t_(t) {}
    uint16_t tag() const override { return tag_; }
    const char* tagName() const override { return name_; }
    bool accepts(const Record& r) const override {
        const WAVEFORMATEX& w = r.wfx;
        return w.wFormatTag == tag_ && (w.nChannels == 1 || w.nChannels == 2) && w.wBitsPerSample == 8 &&
               w.nBlockAlign == w.nChannels && plausibleRate(w.nSamplesPerSec);
    }
    std::unique_ptr<Converter> decoder(const Record& s, const Record&) const override {
        return std::make_unique<G711Converter>(t_, s.wfx.nChannels, true);
    }
    std::unique_ptr<Converter> encoder(const Record&, const Record& d) const override {
        return std::make_unique<G711Converter>(t_, d.wfx.nChannels, false);
    }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        for (uint32_t rate : {8000u, 11025u, 22050u, 44100u})
            for (uint16_t ch : {1, 2}) {
                WAVEFORMATEX w{tag_, ch, rate, rate * ch, ch, 8, 0};
                out.push_back(Record{w, {}});
            }
        return out;
    }

private:
    uint16_t tag_;
    const char* name_;
    const Tables& t_;
};

}  // namespace

const DriverImpl& alawDriver() {
    static const G711Driver d(WAVE_FORMAT_ALAW, "CCITT A-Law", tables<alawToLinear, linearToAlaw>());
    return d;
}

const DriverImpl& mulawDriver() {
    static const G711Driver d(WAVE_FORMAT_MULAW, "CCITT u-Law", tables<ulawToLinear, linearToUlaw>());
    return d;
}

}  // namespace acm::detail
