#include "mp2_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/mp2enc/mp2_encoder.h"

namespace qoro::audiofile {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// MP2 settings' mode (1 mono, 2 stereo, 3 joint stereo, 4 dual channel) as the
// encoder numbers it; anything else is stereo.
int32_t encoderMode(int16_t mode) {
    switch (mode) {
    case 1: return 3;
    case 3: return 1;
    case 4: return 2;
    default: return 0;
    }
}

// Layer II frames straight from the built-in encoder; nothing but frames goes
// into the file.
class Mp2WriteTrack final : public WriteOnlyTrack {
public:
    explicit Mp2WriteTrack(const Mp2Settings& settings) : settings_(settings) {}

    ~Mp2WriteTrack() override {
        if (instance_ >= 0) encoder_.closeInstance(instance_);
    }

    int16_t start(const CreateRequest& request) {
        mp2enc::Mp2Options options;
        options.sampleRate = settings_.frequency;
        options.mode = encoderMode(settings_.mode);
        options.bitrateKbps = settings_.bitrate;
        mp2enc::Mp2Instance created;
        // Refused settings never leave a file behind.
        switch (encoder_.createInstance(options, created)) {
        case mp2enc::Mp2Encoder::kOk: break;
        case mp2enc::Mp2Encoder::kNoMemory: return failWith(status::kMemory, encoder_.lastMessage());
        default: return failWith(status::kFormatNotSupport, encoder_.lastMessage());
        }
        instance_ = created.number;
        channels_ = options.mode == 3 ? 1 : 2;
        chunkBytes_ = size_t(created.samplesPerCall) * 2;
        out_.resize(size_t(created.outputBufferSize));

        full_ = request.settings->full;
        kind_ = ContainerKind::MpegLayer2;
        file_ = acm::makePcmFormat(uint32_t(settings_.frequency), uint16_t(channels_), 16);

        fp_.reset(std::fopen(request.path.c_str(), "wb"));
        if (!fp_) return failWith(status::kFileAccess, systemCause(errno));
        return status::kOk;
    }

    std::string describe() const override {
        return describeMp2File(settings_.frequency, settings_.mode, settings_.bitrate);
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (finished_ || !fp_) return status::kFileAccess;
        size_t used = 0;
        // Top up a frame held back from the last call first.
        if (!pending_.empty()) {
            const size_t take = std::min(bytes, chunkBytes_ - pending_.size());
            pending_.insert(pending_.end(), pcm, pcm + take);
            used = take;
            if (pending_.size() < chunkBytes_) return status::kOk;
            const bool ok = encodeChunk(pending_.data(), chunkBytes_);
            pending_.clear();
            if (!ok) return fail(cause_);
        }
        while (bytes - used >= chunkBytes_) {
            if (!encodeChunk(pcm + used, chunkBytes_)) return fail(cause_);
            used += chunkBytes_;
        }
        pending_.assign(pcm + used, pcm + bytes);
        if (std::fflush(fp_.get()) != 0) return fail(systemCause(errno));
        return status::kOk;
    }

    int16_t finish(uint64_t) override {
        if (finished_) return status::kFileAccess;
        finished_ = true;
        bool ok = !failed_ && fp_;
        // The last partial frame is coded too, padded with silence: every
        // sample written reaches the file.
        const size_t whole = pending_.size() - pending_.size() % (2 * size_t(channels_));
        if (ok && whole > 0 && !encodeChunk(pending_.data(), whole)) ok = false;
        pending_.clear();
        // The filter banks delay the signal by 481 samples: silent frames
        // follow until the last sample written has come out of them.
        while (ok && codedFrames_ * kFrame < fedFrames_ + kFilterBankDelay)
            if (!encodeChunk(nullptr, 0)) ok = false;
        encoder_.closeInstance(instance_);
        instance_ = -1;
        if (fp_ && std::fclose(fp_.release()) != 0 && ok) {
            cause_ = systemCause(errno);
            ok = false;
        }
        return ok ? status::kOk : status::kFileAccess;
    }

private:
    // A failed encode or write: what was pending is lost, and the file stays
    // failed (its close reports it again, with the first cause).
    int16_t fail(std::string cause) {
        failed_ = true;
        pending_.clear();
        return failWith(status::kFileAccess, std::move(cause));
    }

    bool encodeChunk(const uint8_t* pcm, size_t bytes) {
        const size_t count = bytes / 2;
        samples_.resize(count);
        if (count) std::memcpy(samples_.data(), pcm, count * 2);
        int produced = 0;
        if (encoder_.encodeFrame(instance_, int(count), samples_.data(), out_.data(), out_.size(), produced) != 0) {
            cause_ = encoder_.lastMessage();
            return false;
        }
        fedFrames_ += count / size_t(channels_);
        ++codedFrames_;
        if (produced <= 0 || std::fwrite(out_.data(), 1, size_t(produced), fp_.get()) == size_t(produced)) return true;
        cause_ = systemCause(errno);
        return false;
    }

    static constexpr uint64_t kFrame = 1152;
    static constexpr uint64_t kFilterBankDelay = 481;

    Mp2Settings settings_;
    mp2enc::Mp2Encoder encoder_;
    int instance_ = -1;
    int channels_ = 2;
    size_t chunkBytes_ = 0;
    FilePtr fp_;
    std::vector<uint8_t> pending_;  // PCM short of a whole frame
    std::vector<int16_t> samples_;
    std::vector<uint8_t> out_;
    uint64_t fedFrames_ = 0;    // sample frames handed to the encoder
    uint64_t codedFrames_ = 0;  // MPEG frames written
    bool failed_ = false;
    bool finished_ = false;
};

}  // namespace

int16_t createMp2(const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    auto t = std::make_unique<Mp2WriteTrack>(request.settings->output.mp2);
    if (const int16_t st = t->start(request); st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
