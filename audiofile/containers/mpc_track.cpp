#include "mpc_track.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "codecs/mpc/mpc_decoder.h"
#include "containers/media_track.h"

namespace qoro::audiofile {

namespace {

constexpr uint64_t kFrameBytes = mpc::MpcDecoder::kFrameBytes;
// What the first frame yields less than the others (481 sample frames).
constexpr uint64_t kFirstFrameShortfall = kFrameBytes - mpc::MpcDecoder::kFirstFrameBytes;
constexpr uint32_t kRate = 44100;
constexpr uint64_t kBytesPerSecond = uint64_t{kRate} * 4;
// The most PCM bytes one decode call produces.
constexpr uint64_t kMaxStep = uint64_t{1} << 26;

// PCM byte at which frame k starts.
constexpr uint64_t frameStart(uint64_t k) { return k == 0 ? 0 : k * kFrameBytes - kFirstFrameShortfall; }

// The frame holding PCM byte p (the frame count for the end of the stream).
constexpr uint64_t frameHolding(uint64_t p) {
    return p < mpc::MpcDecoder::kFirstFrameBytes ? 0 : 1 + (p - mpc::MpcDecoder::kFirstFrameBytes) / kFrameBytes;
}

// The frame a decoder position in ms stands for: positions are
// truncate(k x 1152 / 44.1 + 0.5), 26.1 ms apart, so rounding back is exact.
constexpr uint64_t frameAtMs(uint64_t ms) { return (ms * 441 + 5760) / 11520; }

// The decoder's position in ms at the start of frame k.
constexpr uint64_t msOfFrame(uint64_t k) { return (k * 11520 + 220) / 441; }

static_assert(frameAtMs(0) == 0 && frameAtMs(26) == 1 && frameAtMs(261224) == 10000);
static_assert(frameHolding(2683) == 0 && frameHolding(2684) == 1 && frameHolding(frameStart(7)) == 7);
static_assert(msOfFrame(1) == 26 && msOfFrame(10000) == 261224 && frameAtMs(msOfFrame(12345)) == 12345);

bool readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

// The decoder reads the file itself, whole frames at a time: "source" bytes
// are counted as the PCM bytes they decode into. A frame only partly taken by
// one call keeps the rest of its bytes for the next. The file format is
// 16-bit stereo, or (useNative) the filter bank's 32-bit floats; positions
// are counted in the form in use, the frame layout scaled by its width.
class MpcTrack final : public Track {
public:
    MpcTrack() {
        kind_ = ContainerKind::MpegPlus;
        lossy_ = true;
        file_ = acm::makePcmFormat(kRate, 2, 16);
        full_ = fullFormatOf(file_);
        ownForm_ = acm::makePcmFormat(kRate, 2, 32);
        ownForm_.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    }

    void useNative(bool on) override {
        if (on == native_) return;
        const uint64_t frame = pos_ / file_.nBlockAlign;
        const bool held = heldEnd_ > heldBegin_;
        native_ = on;
        file_ = on ? ownForm_ : acm::makePcmFormat(kRate, 2, 16);
        length_ = frameStart(info_.header.frames) * width();
        pos_ = frame * file_.nBlockAlign;
        // A frame held in the other form is decoded again in this one.
        if (held) seekTo(pos_);
    }

    int16_t open(const std::string& path) {
        if (!readable(path)) return status::kFileAccess;
        // The decoder refuses anything but a stream of versions 4 to 7.
        if (decoder_.open(path) != 0) return status::kFormatFile;
        info_ = decoder_.info();
        length_ = frameStart(info_.header.frames) * width();
        return status::kOk;
    }

    uint64_t decodedLength() const override { return length_; }
    uint64_t sourceFor(uint64_t fileBytes) const override { return fileBytes; }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return sourceBytes; }
    uint64_t sourceUnit() const override { return kFrameBytes * width(); }
    uint64_t sourceLeft() const override {
        if (ended_) return 0;
        return length_ > pos_ ? length_ - pos_ : 0;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        const uint64_t want = std::min(sourceBytes, kMaxStep);
        const uint64_t left = length_ > pos_ ? length_ - pos_ : 0;
        out.reserve(out.size() + static_cast<size_t>(std::min(want, left + kFrameBytes * width())));
        uint64_t got = 0;
        while (got < want) {
            if (heldBegin_ == heldEnd_ && (ended_ || !nextFrame())) {
                ended_ = true;
                break;
            }
            const size_t n = static_cast<size_t>(std::min<uint64_t>(heldEnd_ - heldBegin_, want - got));
            out.insert(out.end(), frame_.begin() + heldBegin_, frame_.begin() + heldBegin_ + n);
            heldBegin_ += n;
            got += n;
        }
        pos_ += got;
        return static_cast<int32_t>(got);
    }

    // Seeks to the target sample itself: the decoder lands on the frame
    // holding it (ready to decode as from the start), and the part of that
    // frame before the target is dropped.
    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        const int16_t st = seekTo(std::min(convertByteCount(request.arrayBytes, request.array, file_), length_));
        result.fileBytes = pos_;
        return st;
    }

    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }
    int16_t finish(uint64_t) override {
        decoder_.close();
        return status::kOk;
    }

    // Version 7 headers carry no bitrate: the average over the file is shown,
    // marked VBR.
    std::string describe() const override {
        MpcDescription d;
        d.streamVersion = info_.header.streamVersion;
        d.profile = info_.header.profile;
        d.frequency = kRate;
        d.bitrate = d.maxBitrate = info_.bitrateKbps;
        d.variableBitrate = info_.bitrateComputed;
        return describeMpcFile(d);
    }

private:
    // Bytes of the file format per byte of 16-bit stereo: 1, or 2 for floats.
    uint64_t width() const { return file_.nBlockAlign / 4; }

    // Positions at a byte of the file format (a whole frame).
    int16_t seekTo(uint64_t target) {
        const uint64_t frames = info_.header.frames;
        const uint64_t frame = std::min(frameHolding(target / width()), frames);
        heldBegin_ = heldEnd_ = 0;
        ended_ = false;
        const int64_t reached = decoder_.seekMs(static_cast<int64_t>(msOfFrame(frame)));
        if (reached < 0) return status::kFileAccess;
        // Fewer frames when the seek met a damaged one: stand at the frame reached.
        const uint64_t at = std::min<uint64_t>(frameAtMs(static_cast<uint64_t>(reached)), frames);
        pos_ = frameStart(at) * width();
        if (at == frame && target > pos_) {
            if (nextFrame()) {
                heldBegin_ = std::min<size_t>(static_cast<size_t>(target - pos_), heldEnd_);
                pos_ += heldBegin_;
            } else {
                ended_ = true;
            }
        }
        return status::kOk;
    }

    // Decodes the next frame into frame_; false at the end of the stream.
    bool nextFrame() {
        // A frame that would start beyond the end of the stream (where the
        // tags the file ends with begin) is not there (a truncated file, or a
        // header promising more frames than the file holds): the stream ends
        // rather than yielding invented silence.
        if (decoder_.filePosition() >= info_.audioStart + info_.audioBytes) return false;
        const int n = native_ ? decoder_.decodeFrame(reinterpret_cast<float*>(frame_.data()))
                              : decoder_.decodeFrame(frame_.data());
        if (n <= 0) return false;
        heldBegin_ = 0;
        heldEnd_ = std::min<size_t>(static_cast<size_t>(n), frame_.size());
        heldEnd_ -= heldEnd_ % file_.nBlockAlign;
        return heldEnd_ > 0;
    }

    mpc::MpcDecoder decoder_;
    mpc::MpcStreamInfo info_;
    uint64_t length_ = 0;  // expected PCM bytes
    uint64_t pos_ = 0;     // PCM position of the next byte delivered
    alignas(4) std::array<uint8_t, kFrameBytes * 2> frame_{};  // room for a frame of floats
    size_t heldBegin_ = 0, heldEnd_ = 0;  // bytes of frame_ not yet delivered
    bool ended_ = false;
    bool native_ = false;  // the floats are handed on (useNative)
};

}  // namespace

int16_t openMpc(const OpenRequest& request, std::unique_ptr<Track>& track) {
    if (request.readWrite) return status::kInvalidOperation;
    auto t = std::make_unique<MpcTrack>();
    const int16_t st = t->open(request.path);
    if (st < 0) {
        // Stream version 8 (what Musepack writes since 2009) is read through
        // the media plug-in.
        if (probe::identify(request.path) == probe::Kind::Musepack8)
            return openMediaAs(request, {"Musepack SV8 files", "a Musepack SV8 file"}, track);
        return st;
    }
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
