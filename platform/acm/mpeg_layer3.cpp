// MPEG Layer-3 driver: decoding over libmpg123 (feed mode), CBR encoding over
// libmp3lame at the record's bitrate. Output the codec holds back (decoder
// look-ahead, encoder delay) comes out with later calls, or with the final one.
#include "codec.h"
#include "mpeg_bitrates.h"

#include <lame/lame.h>
#include <mpg123.h>

#include <algorithm>
#include <array>
#include <cstdarg>

namespace acm::detail {
namespace {

constexpr std::array<uint32_t, 9> kRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

bool isMpeg1(uint32_t rate) { return rate >= 32000; }
size_t frameSamples(uint32_t rate) { return isMpeg1(rate) ? 1152 : 576; }

// The CBR bitrate of a record in kbit/s, 0 when it is not a Layer-3 bitrate for the rate.
uint32_t cbrKbps(const WAVEFORMATEX& w) {
    if (w.nAvgBytesPerSec % 125 != 0) return 0;
    const uint32_t kbps = w.nAvgBytesPerSec / 125;
    return mpegBitrateIndex(isMpeg1(w.nSamplesPerSec) ? kMpeg1Row : kMpeg2Row, kLayer3Code, kbps) > 0 ? kbps : 0;
}

// Nominal bytes of one frame without padding (at least 1; a VBR record gives its average).
// The frame length a record's byte rate implies, within what Layer III frames
// can be: no frame is shorter than 24 bytes (8 kbit/s at 24000 Hz), so a
// record stating a byte rate of next to nothing cannot make a few bytes of
// file stand for hours of sound.
size_t frameBytes(const WAVEFORMATEX& w) {
    constexpr uint64_t kShortestFrame = 24;
    const uint64_t bytes = uint64_t{w.nAvgBytesPerSec} * frameSamples(w.nSamplesPerSec) / w.nSamplesPerSec;
    return static_cast<size_t>(std::clamp<uint64_t>(bytes, kShortestFrame, 1u << 16));
}

void silent(const char*, va_list) {}

const bool kMpg123Ready = [] { return mpg123_init() == MPG123_OK; }();

struct Mpg123Deleter {
    void operator()(mpg123_handle* h) const {
        mpg123_close(h);
        mpg123_delete(h);
    }
};

class Mp3Decoder : public Converter {
public:
    static std::unique_ptr<Converter> make(const WAVEFORMATEX& w) {
        if (!kMpg123Ready) return nullptr;
        int err = 0;
        std::unique_ptr<mpg123_handle, Mpg123Deleter> h(mpg123_new(nullptr, &err));
        if (!h) return nullptr;
        // No gapless trimming: every frame decodes to its full sample count.
        const long flags = MPG123_QUIET | (w.nChannels == 1 ? MPG123_FORCE_MONO : MPG123_FORCE_STEREO);
        if (mpg123_param(h.get(), MPG123_FLAGS, flags, 0) != MPG123_OK || mpg123_format_none(h.get()) != MPG123_OK)
            return nullptr;
        // Every MPEG rate is let through and a stream at another rate than the
        // record's is refused here, in convert(): libmpg123 prints to stderr
        // when a stream has no allowed format, quiet flag or not.
        for (const long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
            if (mpg123_format(h.get(), rate, w.nChannels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16) !=
                MPG123_OK)
                return nullptr;
        if (mpg123_open_feed(h.get()) != MPG123_OK) return nullptr;
        return std::unique_ptr<Converter>(new Mp3Decoder(std::move(h), w));
    }

    size_t sourceToDestination(size_t n) const override {
        if (n == 0) return held_ ? 2 * pcmFrame_ : 0;
        return (n / frameBytes_ + 2) * pcmFrame_;
    }
    size_t destinationToSource(size_t n) const override { return ((n + pcmFrame_ - 1) / pcmFrame_ + 1) * frameBytes_; }

    Conversion convert(std::span<const uint8_t> src, std::span<uint8_t> dst, bool) override {
        Conversion c;
        if (refused_) {
            c.sourceUsed = src.size();
            return c;
        }
        if (!src.empty()) {
            if (mpg123_feed(h_.get(), src.data(), src.size()) != MPG123_OK) {
                c.status = Result::ConvertFailed;
                return c;
            }
            held_ = true;
        }
        c.sourceUsed = src.size();
        // Whole sample frames only, so channels never slip.
        const size_t room = dst.size() / align_ * align_;
        for (int guard = 0; c.destinationUsed < room && guard < 100000; ++guard) {
            size_t done = 0;
            const int ret = mpg123_read(h_.get(), dst.data() + c.destinationUsed, room - c.destinationUsed, &done);
            c.destinationUsed += done;
            if (ret == MPG123_NEED_MORE || ret == MPG123_DONE) {
                if (c.destinationUsed < room) held_ = false;
                break;
            }
            if (ret == MPG123_NEW_FORMAT) {
                long rate = 0;
                int channels = 0, encoding = 0;
                if (mpg123_getformat(h_.get(), &rate, &channels, &encoding) != MPG123_OK || rate != rate_) {
                    // Not the stream the record describes: what was decoded
                    // stands, nothing more of it is output.
                    refused_ = true;
                    held_ = false;
                    break;
                }
                continue;
            }
            if (ret == MPG123_OK) continue;
            break;  // damaged data: what was decoded stands, the rest is dropped
        }
        return c;
    }

private:
    Mp3Decoder(std::unique_ptr<mpg123_handle, Mpg123Deleter> h, const WAVEFORMATEX& w)
        : h_(std::move(h)),
          rate_(static_cast<long>(w.nSamplesPerSec)),
          frameBytes_(frameBytes(w)),
          align_(2u * w.nChannels),
          pcmFrame_(frameSamples(w.nSamplesPerSec) * 2 * w.nChannels) {}

    std::unique_ptr<mpg123_handle, Mpg123Deleter> h_;
    long rate_;  // the record's, the only one output
    size_t frameBytes_, align_, pcmFrame_;
    bool held_ = false;
    bool refused_ = false;  // the stream's rate is not the record's
};

struct LameDeleter {
    void operator()(lame_global_flags* g) const { lame_close(g); }
};

class Mp3Encoder : public Converter {
public:
    static std::unique_ptr<Converter> make(const WAVEFORMATEX& w) {
        const uint32_t kbps = cbrKbps(w);
        if (kbps == 0) return nullptr;
        std::unique_ptr<lame_global_flags, LameDeleter> g(lame_init());
        if (!g) return nullptr;
        lame_set_errorf(g.get(), silent);
        lame_set_debugf(g.get(), silent);
        lame_set_msgf(g.get(), silent);
        lame_set_in_samplerate(g.get(), static_cast<int>(w.nSamplesPerSec));
        lame_set_out_samplerate(g.get(), static_cast<int>(w.nSamplesPerSec));
        lame_set_num_channels(g.get(), w.nChannels);
        lame_set_mode(g.get(), w.nChannels == 1 ? MONO : JOINT_STEREO);
        lame_set_VBR(g.get(), vbr_off);
        lame_set_brate(g.get(), static_cast<int>(kbps));
        lame_set_bWriteVbrTag(g.get(), 0);
        if (lame_init_params(g.get()) < 0) return nullptr;
        return std::unique_ptr<Converter>(new Mp3Encoder(std::move(g), w, kbps));
    }

    size_t sourceToDestination(size_t n) const override {
        const size_t blocks = n / pcmFrame_;
        return held() + (blocks == 0 ? 0 : (blocks + 2) * (frameBytes_ + 1));
    }
    size_t destinationToSource(size_t n) const override { return (n + frameBytes_ - 1) / frameBytes_ * pcmFrame_; }

    Conversion convert(std::span<const uint8_t> src, std::span<uint8_t> dst, bool end) override {
        Conversion c;
        emit(dst, c);
        if (finished_) return c;
        // Take no more frames than the destination can hold once encoded.
        const size_t fit = (dst.size() - c.destinationUsed) / (frameBytes_ + 1);
        size_t take = std::min(src.size() / pcmFrame_, fit) * pcmFrame_;
        const bool last = end && take == src.size() / pcmFrame_ * pcmFrame_;
        if (last) take = src.size() / align_ * align_;
        if (take > 0 && !encode(src.first(take))) {
            c.status = Result::ConvertFailed;
            return c;
        }
        c.sourceUsed = last ? src.size() : take;
        if (last) {
            std::vector<uint8_t> tail(7200);
            const int n = lame_encode_flush(g_.get(), tail.data(), static_cast<int>(tail.size()));
            if (n > 0) out_.insert(out_.end(), tail.begin(), tail.begin() + n);
            finished_ = true;
        }
        emit(dst, c);
        return c;
    }

private:
    Mp3Encoder(std::unique_ptr<lame_global_flags, LameDeleter> g, const WAVEFORMATEX& w, uint32_t kbps)
        : g_(std::move(g)),
          channels_(w.nChannels),
          align_(2u * w.nChannels),
          pcmFrame_(frameSamples(w.nSamplesPerSec) * 2 * w.nChannels),
          frameBytes_(kbps * 1000 / 8 * frameSamples(w.nSamplesPerSec) / w.nSamplesPerSec) {}

    size_t held() const { return out_.size() - outPos_; }

    void emit(std::span<uint8_t> dst, Conversion& c) {
        const size_t n = std::min(held(), dst.size() - c.destinationUsed);
        std::copy_n(out_.begin() + static_cast<std::ptrdiff_t>(outPos_), n,
                    dst.begin() + static_cast<std::ptrdiff_t>(c.destinationUsed));
        outPos_ += n;
        c.destinationUsed += n;
        if (outPos_ == out_.size()) {
            out_.clear();
            outPos_ = 0;
        }
    }

    bool encode(std::span<const uint8_t> pcm) {
        const size_t frames = pcm.size() / align_;
        std::vector<short> samples(frames * channels_);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = readLe16(pcm.data() + 2 * i);
        std::vector<uint8_t> buf(frames * 5 / 4 + 7200);
        const int n = channels_ == 1
                          ? lame_encode_buffer(g_.get(), samples.data(), samples.data(), static_cast<int>(frames),
                                               buf.data(), static_cast<int>(buf.size()))
                          : lame_encode_buffer_interleaved(g_.get(), samples.data(), static_cast<int>(frames),
                                                           buf.data(), static_cast<int>(buf.size()));
        if (n < 0) return false;
        out_.insert(out_.end(), buf.begin(), buf.begin() + n);
        return true;
    }

    std::unique_ptr<lame_global_flags, LameDeleter> g_;
    size_t channels_, align_, pcmFrame_, frameBytes_;
    std::vector<uint8_t> out_;
    size_t outPos_ = 0;
    bool finished_ = false;
};

MPEGLAYER3WAVEFORMAT layer3Record(uint32_t rate, uint16_t channels, uint32_t kbps) {
    MPEGLAYER3WAVEFORMAT m{};
    m.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3, channels, rate, kbps * 125, 1, 0, MPEGLAYER3_WFX_EXTRA_BYTES};
    m.wID = MPEGLAYER3_ID_MPEG;
    m.fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
    const uint32_t block = kbps * 144000 / rate;
    m.nBlockSize = static_cast<uint16_t>(isMpeg1(rate) ? block : block / 2);
    m.nFramesPerBlock = 1;
    m.nCodecDelay = 1393;
    return m;
}

class Layer3Driver : public DriverImpl {
public:
    uint16_t tag() const override { return WAVE_FORMAT_MPEGLAYER3; }
    const char* tagName() const override { return "MPEG Layer-3"; }
    size_t maxFormatSize() const override { return sizeof(MPEGLAYER3WAVEFORMAT); }
    bool accepts(const Record& r) const override {
        const WAVEFORMATEX& w = r.wfx;
        return w.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && (w.nChannels == 1 || w.nChannels == 2) &&
               std::find(kRates.begin(), kRates.end(), w.nSamplesPerSec) != kRates.end() &&
               r.extra.size() >= MPEGLAYER3_WFX_EXTRA_BYTES;
    }
    std::string formatName(const Record& r) const override {
        const uint32_t kbps = (r.wfx.nAvgBytesPerSec * 8u + 500u) / 1000u;
        return std::to_string(kbps) + " kBit/s, " + rateText(r.wfx.nSamplesPerSec) + " Hz, " +
               channelText(r.wfx.nChannels);
    }
    std::unique_ptr<Converter> decoder(const Record& s, const Record&) const override {
        return Mp3Decoder::make(s.wfx);
    }
    std::unique_ptr<Converter> encoder(const Record&, const Record& d) const override {
        return Mp3Encoder::make(d.wfx);
    }
    std::vector<Record> standardFormats() const override {
        std::vector<Record> out;
        for (uint32_t rate : kRates)
            for (uint16_t ch : {1, 2})
                for (uint32_t kbps : isMpeg1(rate) ? std::array<uint32_t, 4>{64, 96, 128, 160}
                                                   : std::array<uint32_t, 4>{8, 16, 24, 32}) {
                    const MPEGLAYER3WAVEFORMAT m = layer3Record(rate, ch, kbps);
                    auto rec = Record::parse(asBytes(m));
                    if (rec) out.push_back(*rec);
                }
        return out;
    }
};

}  // namespace

const DriverImpl& mpegLayer3Driver() {
    static const Layer3Driver d;
    return d;
}

}  // namespace acm::detail
