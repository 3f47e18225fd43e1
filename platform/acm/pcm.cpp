// The PCM driver: identity streams and conversions between 8/16-bit, mono/stereo
// PCM at one rate.
#include "codec.h"

#include <algorithm>

namespace acm::detail {
namespace {

bool validPcm(const WAVEFORMATEX& w) {
    const bool bitsOk =
        w.wBitsPerSample == 8 || w.wBitsPerSample == 16 || w.wBitsPerSample == 24 || w.wBitsPerSample == 32;
    return w.wFormatTag == WAVE_FORMAT_PCM && w.nChannels >= 1 && w.nChannels <= 8 && bitsOk &&
           plausibleRate(w.nSamplesPerSec) && w.nBlockAlign == w.nChannels * w.wBitsPerSample / 8;
}

// Frame by frame, one sample frame is the block on both sides.
class PcmConverter : public Converter {
public:
    PcmConverter(const WAVEFORMATEX& s, const WAVEFORMATEX& d) : s_(s), d_(d) {}
    size_t sourceToDestination(size_t n) const override { return n / s_.nBlockAlign * d_.nBlockAlign; }
    size_t destinationToSource(size_t n) const override {
        return (n + d_.nBlockAlign - 1) / d_.nBlockAlign * s_.nBlockAlign;
    }
    Conversion convert(std::span<const uint8_t> src, std::span<uint8_t> dst, bool) override {
        const size_t frames = std::min(src.size() / s_.nBlockAlign, dst.size() / d_.nBlockAlign);
        const uint8_t* in = src.data();
        uint8_t* out = dst.data();
        if (s_.nBlockAlign == d_.nBlockAlign && s_.wBitsPerSample == d_.wBitsPerSample) {
            std::copy_n(in, frames * s_.nBlockAlign, out);
        } else {
            const bool in8 = s_.wBitsPerSample == 8, out8 = d_.wBitsPerSample == 8;
            for (size_t f = 0; f < frames; ++f) {
                int v[2];
                for (int c = 0; c < s_.nChannels; ++c) v[c] = in8 ? (in[c] - 128) * 256 : readLe16(in + 2 * c);
                if (s_.nChannels == 2 && d_.nChannels == 1) v[0] = (v[0] + v[1]) / 2;
                if (s_.nChannels == 1 && d_.nChannels == 2) v[1] = v[0];
                for (int c = 0; c < d_.nChannels; ++c) {
                    if (out8)
                        out[c] = static_cast<uint8_t>(v[c] / 256 + 128);
                    else
                        writeLe16(out + 2 * c, v[c]);
                }
                in += s_.nBlockAlign;
                out += d_.nBlockAlign;
            }
        }
        return Conversion{Result::Ok, frames * s_.nBlockAlign, frames * d_.nBlockAlign};
    }

private:
    WAVEFORMATEX s_, d_;
};

class PcmDriver : public DriverImpl {
public:
    uint16_t tag() const override { return WAVE_FORMAT_PCM; }
    const char* tagName() const override { return "PCM"; }
    bool accepts(const Record& r) const override { return validPcm(r.wfx); }
    WAVEFORMATEX suggest(const Record& r) const override {
        WAVEFORMATEX w = r.wfx;
        w.cbSize = 0;
        return w;
    }
    std::unique_ptr<Converter> decoder(const Record& s, const Record& d) const override {
        return pcmConverter(s.wfx, d.wfx);
    }
    std::unique_ptr<Converter> encoder(const Record& s, const Record& d) const override {
        return pcmConverter(s.wfx, d.wfx);
    }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        for (uint32_t rate : {8000u, 11025u, 22050u, 44100u, 48000u})
            for (uint16_t bits : {8, 16})
                for (uint16_t ch : {1, 2}) out.push_back(Record{makePcmFormat(rate, ch, bits), {}});
        return out;
    }
};

}  // namespace

std::unique_ptr<Converter> pcmConverter(const WAVEFORMATEX& s, const WAVEFORMATEX& d) {
    if (!validPcm(s) || !validPcm(d) || s.nSamplesPerSec != d.nSamplesPerSec) return nullptr;
    const bool identity = s.nChannels == d.nChannels && s.wBitsPerSample == d.wBitsPerSample;
    const auto simple = [](const WAVEFORMATEX& w) {
        return (w.wBitsPerSample == 8 || w.wBitsPerSample == 16) && w.nChannels <= 2;
    };
    if (!identity && !(simple(s) && simple(d))) return nullptr;
    return std::make_unique<PcmConverter>(s, d);
}

const DriverImpl& pcmDriver() {
    static const PcmDriver d;
    return d;
}

}  // namespace acm::detail
