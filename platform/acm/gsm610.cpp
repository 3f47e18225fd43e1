// GSM 6.10 driver over libgsm, WAV49 framing: a 65-byte block holds two
// 160-sample frames (the first in 32.5 bytes, the second in the rest).
#include "codec.h"

#include <gsm.h>

namespace acm::detail {
namespace {

constexpr size_t kBlockBytes = 65;
constexpr size_t kBlockSamples = 320;

struct GsmDeleter {
    void operator()(gsm_state* s) const { gsm_destroy(s); }
};
using GsmHandle = std::unique_ptr<gsm_state, GsmDeleter>;

class GsmConverter : public BlockConverter {
public:
    GsmConverter(GsmHandle h, bool decode)
        : BlockConverter(decode ? kBlockBytes : kBlockSamples * 2, decode ? kBlockSamples * 2 : kBlockBytes, !decode),
          h_(std::move(h)),
          decode_(decode) {}

protected:
    void convertBlock(const uint8_t* src, uint8_t* dst) override {
        gsm_signal pcm[kBlockSamples];
        if (decode_) {
            gsm_byte frame[kBlockBytes];
            std::copy_n(src, kBlockBytes, frame);
            if (gsm_decode(h_.get(), frame, pcm) < 0 || gsm_decode(h_.get(), frame + 33, pcm + 160) < 0)
                std::fill_n(pcm, kBlockSamples, gsm_signal{0});
            for (size_t i = 0; i < kBlockSamples; ++i) writeLe16(dst + 2 * i, pcm[i]);
        } else {
            for (size_t i = 0; i < kBlockSamples; ++i) pcm[i] = readLe16(src + 2 * i);
            gsm_byte frame[kBlockBytes] = {};
            gsm_encode(h_.get(), pcm, frame);
            gsm_encode(h_.get(), pcm + 160, frame + 32);
            std::copy_n(frame, kBlockBytes, dst);
        }
    }

private:
    GsmHandle h_;
    bool decode_;
};

GsmHandle wav49Handle() {
    GsmHandle h(gsm_create());
    if (!h) return h;
    int one = 1;
    gsm_option(h.get(), GSM_OPT_WAV49, &one);
    return h;
}

class GsmDriver : public DriverImpl {
public:
    uint16_t tag() const override { return WAVE_FORMAT_GSM610; }
    const char* tagName() const override { return "GSM 6.10"; }
    size_t maxFormatSize() const override { return sizeof(WAVEFORMATEX) + 2; }
    bool accepts(const Record& r) const override {
        const WAVEFORMATEX& w = r.wfx;
        if (w.wFormatTag != WAVE_FORMAT_GSM610 || w.nChannels != 1 || w.nBlockAlign != kBlockBytes ||
            !plausibleRate(w.nSamplesPerSec))
            return false;
        return r.extra.size() < 2 || static_cast<uint16_t>(readLe16(r.extra.data())) == kBlockSamples;
    }
    std::string formatName(const Record& r) const override {
        return rateText(r.wfx.nSamplesPerSec) + " kHz, " + channelText(r.wfx.nChannels);
    }
    std::unique_ptr<Converter> decoder(const Record&, const Record&) const override { return make(true); }
    std::unique_ptr<Converter> encoder(const Record&, const Record&) const override { return make(false); }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        struct Row {
            uint32_t rate, bytes;
        };
        for (Row row : {Row{8000, 1625}, Row{11025, 2239}, Row{22050, 4478}, Row{44100, 8957}}) {
            WAVEFORMATEX w{WAVE_FORMAT_GSM610, 1, row.rate, row.bytes, kBlockBytes, 0, 2};
            out.push_back(Record{w, {kBlockSamples & 0xFF, kBlockSamples >> 8}});
        }
        return out;
    }

private:
    static std::unique_ptr<Converter> make(bool decode) {
        GsmHandle h = wav49Handle();
        if (!h) return nullptr;
        return std::make_unique<GsmConverter>(std::move(h), decode);
    }
};

}  // namespace

const DriverImpl& gsmDriver() {
    static const GsmDriver d;
    return d;
}

}  // namespace acm::detail
