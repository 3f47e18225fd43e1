#include "containers/media_track.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert/deep_samples.h"
#include "convert/downmix.h"
#include "convert/soxr_resampler.h"
#include "media/media_plugin.h"

namespace qoro::audiofile {

namespace {

// The most frames one decode call produces.
constexpr uint64_t kStepFrames = uint64_t{1} << 16;

// DSD decodes to PCM at a rate of several hundred kHz (its bit rate / 8):
// files are read at 88200 Hz, or 96000 Hz for the 48 kHz family.
bool isDsd(const qoro_media_facts& f) { return std::string_view(f.codec).starts_with("dsd_"); }
uint32_t dsdTargetRate(uint32_t rate) { return rate % 44100 == 0 ? 88200 : 96000; }

WAVEFORMATEX floatForm(uint32_t rate, uint16_t channels) {
    WAVEFORMATEX f = acm::makePcmFormat(rate, channels, 32);
    f.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    return f;
}

class MediaTrack final : public Track {
public:
    MediaTrack() { kind_ = ContainerKind::Media; }

    int16_t open(const std::string& path, const MediaWords& words) {
        std::string why;
        media_ = media::File::open(path, why, words.files);
        if (!media_) {
            if (!media::plugin()) return failWith(status::kFormatNotSupport, std::move(why));
            // Named by its signature where it has one ("a DSDIFF file" of the DSD type).
            const probe::KindInfo* kind = probe::info(probe::identify(path));
            const std::string_view named = kind && kind->audio ? kind->name : words.inWords;
            return failWith(status::kFormatFile, std::string(named) + " that cannot be read: " + why);
        }
        const qoro_media_facts& f = media_.facts();
        if (f.channels < 1 || f.channels > StereoDownmix::kMaxChannels || f.rate <= 0)
            return failWith(status::kFormatNotSupport,
                            std::to_string(f.channels) + " channels at " + std::to_string(f.rate) +
                                " Hz are not supported: 1 to 8 channels are");
        sample_ = f.sample;
        channels_ = static_cast<uint16_t>(f.channels);
        channelMask_ = f.channel_mask;
        lossy_ = !f.lossless;
        uint32_t rate = static_cast<uint32_t>(f.rate);
        if (isDsd(f)) {
            sample_ = QORO_MEDIA_F32;
            const uint32_t to = dsdTargetRate(rate);
            if (!resampler_.emplace().setup(rate, to, channels_))
                return failWith(status::kFormatNotSupport, "the DSD rate of this file is not supported");
            sourceRate_ = rate;
            rate = to;
        } else if (rate < kMinPcmRate || rate > kMaxPcmRate) {
            return failWith(status::kFormatNotSupport, "files at " + std::to_string(rate) + " Hz are not supported");
        }
        rate_ = rate;
        if (f.frames >= 0) {
            const uint64_t n = static_cast<uint64_t>(f.frames);
            // A resampled stream of N frames gives round(N x to / from) frames.
            frames_ = resampler_ ? (n * rate_ * 2 + sourceRate_) / (2 * sourceRate_) : n;
        }
        switch (sample_) {
        case QORO_MEDIA_S16: own_ = acm::makePcmFormat(rate_, channels_, 16); break;
        case QORO_MEDIA_S32: own_ = acm::makePcmFormat(rate_, channels_, f.bits > 0 && f.bits <= 24 ? 24 : 32); break;
        default: sample_ = QORO_MEDIA_F32; own_ = floatForm(rate_, channels_); break;
        }
        if (channels_ > 2) downmix_.emplace(channels_, channelMask_);
        const WAVEFORMATEX narrow = acm::makePcmFormat(rate_, downmix_ ? 2 : channels_, 16);
        if (std::memcmp(&narrow, &own_, sizeof narrow) != 0) ownForm_ = own_;
        file_ = narrow;
        full_ = fullFormatOf(file_);
        description_ = media::describe(f, static_cast<long>(rate_));
        return status::kOk;
    }

    void useNative(bool on) override {
        if (ownForm_.nChannels == 0) return;
        file_ = on ? own_ : acm::makePcmFormat(rate_, downmix_ ? 2 : channels_, 16);
    }

    uint64_t decodedLength() const override { return frames_ ? *frames_ * file_.nBlockAlign : 0; }
    bool lengthKnown() const override { return frames_.has_value(); }
    uint64_t sourceFor(uint64_t fileBytes) const override { return whole(fileBytes); }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return whole(sourceBytes); }
    uint64_t sourceUnit() const override { return file_.nBlockAlign; }
    uint64_t sourceLeft() const override {
        if (ended_ && queued() == 0 && !failure_) return 0;
        if (!frames_) return kStepFrames * file_.nBlockAlign;
        return (*frames_ > pos_ ? *frames_ - pos_ : 0) * file_.nBlockAlign;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        uint64_t n = std::min<uint64_t>(sourceBytes / file_.nBlockAlign, kStepFrames);
        if (frames_) n = std::min(n, *frames_ > pos_ ? *frames_ - pos_ : 0);
        if (n == 0) return 0;
        fill(n);
        const uint64_t take = std::min<uint64_t>(n, queued());
        if (take == 0) {
            if (failure_) return failWith(status::kFormatFile, std::exchange(failure_, std::nullopt).value());
            if (frames_ && pos_ < *frames_ && !shortReported_) {
                shortReported_ = true;
                return failWith(status::kFormatFile, "the stream ends before its last sample: the file is cut short or damaged");
            }
            return 0;
        }
        const size_t old = out.size();
        out.resize(old + take * file_.nBlockAlign);
        convert(queue_.data() + head_ * nativeFrameBytes(), take, out.data() + old);
        head_ += take;
        pos_ += take;
        // What is left is less than one read: moved to the front.
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_ * nativeFrameBytes()));
        head_ = 0;
        return static_cast<int32_t>(take * file_.nBlockAlign);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (request.beforeStart) return status::kFileAccess;
        uint64_t frame = request.fileBytes / file_.nBlockAlign;
        if (frames_) frame = std::min(frame, *frames_);
        const uint64_t source = resampler_ ? (frame * sourceRate_ + rate_ / 2) / rate_ : frame;
        if (!media_.seek(static_cast<int64_t>(source))) return failWith(status::kFileAccess, media_.error());
        if (resampler_) resampler_->restartAt(source), resampled_.clear();
        queue_.clear();
        head_ = 0;
        ended_ = false;
        failure_.reset();
        shortReported_ = false;
        pos_ = frame;
        result.fileBytes = frame * file_.nBlockAlign;
        return status::kOk;
    }

    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }
    int16_t finish(uint64_t) override {
        media_ = media::File();
        return status::kOk;
    }
    std::string describe() const override { return description_; }

private:
    uint64_t whole(uint64_t bytes) const { return file_.nBlockAlign ? bytes - bytes % file_.nBlockAlign : 0; }
    size_t nativeFrameBytes() const { return size_t{channels_} * (sample_ == QORO_MEDIA_S16 ? 2 : 4); }
    uint64_t queuedEnd() const { return queue_.size() / nativeFrameBytes(); }
    uint64_t queued() const { return queuedEnd() - head_; }

    // Decodes until `n` frames are queued or the stream ends; a failure is
    // kept for the call after the frames before it.
    void fill(uint64_t n) {
        while (queued() < n && !ended_ && !failure_) {
            const long want = static_cast<long>(std::max<uint64_t>(n - queued(), 1024));
            if (resampler_) {
                pullResampled(want);
                continue;
            }
            const size_t old = queue_.size();
            queue_.resize(old + static_cast<size_t>(want) * nativeFrameBytes());
            const long got = media_.read(sample_, queue_.data() + old, want);
            queue_.resize(old + static_cast<size_t>(std::max(got, 0L)) * nativeFrameBytes());
            if (got < 0) failure_ = media_.error();
            if (got == 0) ended_ = true;
        }
    }

    // DSD: source frames through the resampler into the queue.
    void pullResampled(long want) {
        const long chunk = static_cast<long>(std::min<uint64_t>(
            uint64_t(want) * sourceRate_ / rate_ + 64, kStepFrames));
        source_.resize(static_cast<size_t>(chunk) * channels_);
        const long got = media_.read(QORO_MEDIA_F32, source_.data(), chunk);
        resampled_.clear();
        if (got > 0) resampler_->process(source_.data(), static_cast<size_t>(got), resampled_);
        if (got < 0) failure_ = media_.error();
        if (got == 0) {
            resampler_->drain(resampled_);
            ended_ = true;
        }
        const size_t bytes = resampled_.size() * sizeof(float);
        const size_t old = queue_.size();
        queue_.resize(old + bytes);
        if (bytes) std::memcpy(queue_.data() + old, resampled_.data(), bytes);
    }

    // `frames` native frames at `in` into the file format at `out`.
    void convert(const uint8_t* in, uint64_t frames, uint8_t* out) {
        const size_t count = static_cast<size_t>(frames) * channels_;
        const bool native = std::memcmp(&file_, &own_, sizeof file_) == 0;
        if (native) {
            if (own_.wBitsPerSample == 24) {
                // The top three bytes of each 32-bit sample.
                for (size_t i = 0; i < count; ++i) std::memcpy(out + 3 * i, in + 4 * i + 1, 3);
            } else {
                std::memcpy(out, in, count * (own_.wBitsPerSample / 8));
            }
            return;
        }
        const DeepEncoding deep = sample_ == QORO_MEDIA_F32 ? DeepEncoding::Float32 : DeepEncoding::Int32;
        int16_t* o = reinterpret_cast<int16_t*>(out);
        if (downmix_) {
            mix_.resize(count);
            if (sample_ == QORO_MEDIA_S16) {
                const int16_t* s = reinterpret_cast<const int16_t*>(in);
                for (size_t i = 0; i < count; ++i) mix_[i] = s[i];
            } else {
                widenToFloat(deep, in, count, mix_.data());
            }
            downmix_->mix(mix_.data(), static_cast<size_t>(frames), o, dither());
        } else if (sample_ == QORO_MEDIA_S16) {
            std::memcpy(out, in, count * 2);
        } else {
            narrowTo16(deep, in, count, o, ByteOrder::Little, dither());
        }
    }

    media::File media_;
    int sample_ = QORO_MEDIA_S16;
    uint16_t channels_ = 0;
    uint32_t rate_ = 0, sourceRate_ = 0;
    WAVEFORMATEX own_{};
    std::optional<uint64_t> frames_;
    uint64_t pos_ = 0;
    std::vector<uint8_t> queue_;  // decoded frames in the native kind, from head_ on
    uint64_t head_ = 0;
    bool ended_ = false;
    bool shortReported_ = false;
    std::optional<std::string> failure_;
    std::optional<StereoDownmix> downmix_;
    std::optional<SoxrFloatResampler> resampler_;
    std::vector<float> source_, resampled_, mix_;
    std::string description_;
};

}  // namespace

int16_t openMedia(const OpenRequest& request, std::unique_ptr<Track>& track) {
    const ContainerEntry* row = findContainer(request.formatType);
    const std::string files = row ? std::string(row->title) + " files" : "these files";
    return openMediaAs(request, {files, row ? row->inWords : "a file"}, track);
}

int16_t openMediaAs(const OpenRequest& request, const MediaWords& words, std::unique_ptr<Track>& track) {
    if (request.readWrite) return status::kInvalidOperation;
    auto t = std::make_unique<MediaTrack>();
    const int16_t st = t->open(request.path, words);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
