#include "ogg_track.h"

#include <algorithm>

#include "codecs/ogg/ogg_file_state.h"
#include "containers/vorbis_order.h"

namespace qoro::audiofile {

namespace {

// The most PCM bytes one decode call produces.
constexpr uint64_t kMaxStep = uint64_t{1} << 26;

// The decoder's own samples: 32-bit floats in WAV channel order.
WAVEFORMATEX floatForm(long rate, int channels) {
    WAVEFORMATEX w = acm::makePcmFormat(static_cast<uint32_t>(rate), static_cast<uint16_t>(channels), 32);
    w.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    return w;
}

// For a decoder that reads the file itself, "source" bytes are counted as the
// PCM bytes they decode into. Mono and stereo streams are read as 16-bit
// samples, or as the decoder's floats when the engine asks for them as they
// are; streams of 3 to 8 channels always as floats (the engine folds them
// down for a 16-bit stereo array). Written, the encoder takes floats, which
// 16-bit samples widen into exactly.
class OggTrack final : public Track {
public:
    OggTrack() {
        kind_ = ContainerKind::OggVorbis;
        lossy_ = true;
    }

    int16_t open(const std::string& path) {
        const int st = ogg_.openRead(path);
        if (st < 0) return static_cast<int16_t>(st);
        if (ogg_.channels() < 1 || ogg_.channels() > kMaxVorbisOrderChannels || ogg_.rate() < 1000 ||
            ogg_.rate() > 384000) {
            ogg_.close();
            return status::kFormatNotSupport;
        }
        ownForm_ = floatForm(ogg_.rate(), ogg_.channels());
        chooseForm();
        full_ = fullFormatOf(file_);
        return status::kOk;
    }

    void useNative(bool on) override {
        if (on == native_) return;
        const uint64_t frame = file_.nBlockAlign ? pos_ / file_.nBlockAlign : 0;
        native_ = on;
        chooseForm();
        pos_ = frame * file_.nBlockAlign;
    }

    int16_t create(const std::string& path, const OggSettings& s) {
        ogg::OggEncoderParams p;
        p.rate = s.frequency;
        p.channels = s.channels;
        p.nominalKbps = s.nominalBitrate;
        p.minKbps = s.minBitrate;
        p.maxKbps = s.maxBitrate;
        p.quality = s.quality;
        if (p.channels < 1 || p.channels > kMaxVorbisOrderChannels) return status::kFormatNotSupport;
        const int st = ogg_.create(path, p);
        if (st < 0)
            return failWith(static_cast<int16_t>(st == ogg::status::kPageWrite ? status::kFileAccess : st),
                            systemCause(ogg_.error()));
        file_ = ownForm_ = floatForm(ogg_.rate(), ogg_.channels());
        full_ = fullFormatOf(acm::makePcmFormat(static_cast<uint32_t>(ogg_.rate()),
                                                static_cast<uint16_t>(ogg_.channels()), 16));
        return status::kOk;
    }

    uint64_t decodedLength() const override { return length_; }
    void reportFoundSettings(Mp3Settings& /*mp3*/, OutputSettings& output) const override {
        output.ogg.nominalBitrate = static_cast<int32_t>(ogg_.nominalKbps());
        output.ogg.frequency = static_cast<int32_t>(ogg_.rate());
        output.ogg.channels = static_cast<int16_t>(ogg_.channels());
    }
    uint64_t sourceFor(uint64_t fileBytes) const override { return whole(fileBytes); }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return whole(sourceBytes); }
    uint64_t sourceUnit() const override { return file_.nBlockAlign; }
    uint64_t sourceLeft() const override {
        if (!ogg_.reading() || ended_) return 0;
        return length_ > pos_ ? length_ - pos_ : 0;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (!ogg_.reading()) return 0;
        const uint64_t n = whole(std::min(sourceBytes, kMaxStep));
        if (n == 0) return 0;
        const size_t old = out.size();
        out.resize(old + n);
        const size_t got = floats() ? ogg_.readFloat(out.data() + old, static_cast<size_t>(n), vorbisChannelOf)
                                    : ogg_.read(out.data() + old, static_cast<size_t>(n));
        out.resize(old + got);
        pos_ += got;
        if (got < n) ended_ = true;  // end of stream (or a read error)
        return static_cast<int32_t>(got);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (!ogg_.reading()) return status::kFileAccess;
        if (request.beforeStart) return status::kFileAccess;
        const uint64_t p = whole(std::min(request.fileBytes, length_));
        if (ogg_.seekFrame(p / file_.nBlockAlign) < 0) return status::kFileAccess;
        pos_ = p;
        ended_ = false;
        result.fileBytes = p;
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (!ogg_.writing()) return status::kInvalidOperation;
        if (ogg_.writeFloat(pcm, static_cast<size_t>(whole(bytes)), vorbisChannelOf) < 0)
            return failWith(status::kFileAccess, systemCause(ogg_.error()));
        return status::kOk;
    }

    // A created file gets its end-of-stream page, even without samples.
    int16_t finish(uint64_t /*framesWritten*/) override {
        const bool wrote = ogg_.writing();
        const int st = ogg_.close();
        if (wrote && st < 0) return failWith(status::kFileAccess, systemCause(ogg_.error()));
        return status::kOk;
    }

    std::string describe() const override { return describeOggFile(ogg_.rate(), ogg_.channels(), ogg_.nominalKbps()); }

private:
    bool floats() const { return file_.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT; }
    void chooseForm() {
        file_ = native_ || ogg_.channels() > 2
                    ? ownForm_
                    : acm::makePcmFormat(static_cast<uint32_t>(ogg_.rate()),
                                         static_cast<uint16_t>(ogg_.channels()), 16);
        length_ = ogg_.totalFrames() * file_.nBlockAlign;
    }
    uint64_t whole(uint64_t bytes) const { return file_.nBlockAlign ? bytes - bytes % file_.nBlockAlign : 0; }

    ogg::OggFileState ogg_;
    uint64_t length_ = 0;
    uint64_t pos_ = 0;
    bool ended_ = false;
    bool native_ = false;
};

}  // namespace

int16_t openOgg(const OpenRequest& request, std::unique_ptr<Track>& track) {
    if (request.readWrite) return status::kInvalidOperation;
    auto t = std::make_unique<OggTrack>();
    const int16_t st = t->open(request.path);
    if (st < 0) return st;
    track = std::move(t);
    return status::kOk;
}

int16_t createOgg(const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    auto t = std::make_unique<OggTrack>();
    const int16_t st = t->create(request.path, request.settings->output.ogg);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
