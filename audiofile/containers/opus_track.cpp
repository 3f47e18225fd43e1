#include "opus_track.h"

#include <opusenc.h>
#include <opusfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qoro::audiofile {

namespace {

constexpr uint32_t kOpusRate = 48000;
// The most PCM bytes one decode call produces.
constexpr uint64_t kMaxStep = uint64_t{1} << 24;

struct OpusFileDeleter {
    void operator()(OggOpusFile* f) const { op_free(f); }
};
struct EncoderDeleter {
    void operator()(OggOpusEnc* e) const { ope_encoder_destroy(e); }
};
struct CommentsDeleter {
    void operator()(OggOpusComments* c) const { ope_comments_destroy(c); }
};

// What libopusfile's failures mean for the caller.
int16_t statusOf(int error) {
    switch (error) {
    case OP_EREAD: return status::kFileAccess;
    case OP_EFAULT: return status::kMemory;
    case OP_EIMPL:
    case OP_EVERSION: return status::kFormatNotSupport;
    default: return status::kFormatFile;
    }
}

std::string causeOf(int error) {
    switch (error) {
    case OP_ENOTFORMAT: return "the file holds no Opus stream";
    case OP_EBADHEADER: return "the Opus stream's header is damaged";
    case OP_EVERSION: return "the Opus stream has a version this decoder does not know";
    case OP_EIMPL: return "the Opus stream uses a feature this decoder does not have";
    case OP_EBADLINK:
    case OP_ENOSEEK: return "the Opus file's pages cannot be found again: the file is damaged";
    case OP_EBADTIMESTAMP: return "the Opus stream's timing is damaged";
    case OP_HOLE: return "the Opus stream is damaged: pages are missing or broken";
    case OP_EBADPACKET: return "the Opus stream is damaged: a packet cannot be decoded";
    case OP_EFAULT: return "not enough memory to decode the Opus stream";
    default: return "the Opus stream cannot be decoded";
    }
}

// --- reading -----------------------------------------------------------------

// libopusfile reads the file through the callbacks below, over a file this
// track owns; "source" bytes are counted as the PCM bytes they decode into.
class OpusReadTrack final : public Track {
public:
    OpusReadTrack() { kind_ = ContainerKind::Opus; }

    ~OpusReadTrack() override {
        of_.reset();  // before the file it reads goes
    }

    int16_t open(const std::string& path) {
        fp_.reset(std::fopen(path.c_str(), "rb"));
        if (!fp_) return failWith(status::kFileAccess, systemCause(errno));
        const OpusFileCallbacks callbacks{readCallback, seekCallback, tellCallback, nullptr};
        int error = 0;
        of_.reset(op_open_callbacks(this, &callbacks, nullptr, 0, &error));
        if (!of_) {
            if (error == OP_EREAD && !readCause_.empty()) return failWith(status::kFileAccess, readCause_);
            return failWith(statusOf(error), causeOf(error));
        }
        // Every link's channels: mono and stereo are delivered as they are
        // when the whole file has one count, anything else as stereo.
        const int links = op_link_count(of_.get());
        channels_ = op_channel_count(of_.get(), 0);
        for (int li = 1; li < links; ++li)
            if (op_channel_count(of_.get(), li) != channels_) channels_ = 0;
        if (channels_ < 1 || channels_ > 2) {
            channels_ = 2;
            downmix_ = true;
        }
        if (const OpusHead* head = op_head(of_.get(), 0)) inputRate_ = head->input_sample_rate;
        // Rounding, not noise: the same file decodes to the same samples.
        op_set_dither_enabled(of_.get(), 0);
        const ogg_int64_t total = op_pcm_total(of_.get(), -1);
        if (total < 0) return failWith(status::kFormatFile, causeOf(static_cast<int>(total)));
        file_ = acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels_), 16);
        full_ = fullFormatOf(file_);
        length_ = static_cast<uint64_t>(total) * file_.nBlockAlign;
        struct stat st {};
        if (::fstat(::fileno(fp_.get()), &st) == 0 && total > 0)
            kbps_ = static_cast<int32_t>(
                std::min<uint64_t>(static_cast<uint64_t>(st.st_size) * 8 * kOpusRate / static_cast<uint64_t>(total) / 1000,
                                   std::numeric_limits<int32_t>::max()));
        return status::kOk;
    }

    uint64_t decodedLength() const override { return length_; }
    void reportFoundSettings(Mp3Settings& /*mp3*/, OutputSettings& output) const override {
        output.opus.channels = static_cast<int16_t>(channels_);
        if (kbps_ > 0) output.opus.bitrate = kbps_;
    }
    uint64_t sourceFor(uint64_t fileBytes) const override { return whole(fileBytes); }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return whole(sourceBytes); }
    uint64_t sourceUnit() const override { return file_.nBlockAlign; }
    uint64_t sourceLeft() const override {
        if (pendingError_ != 0 || shortPending()) return file_.nBlockAlign;
        if (ended_) return 0;
        return length_ > pos_ ? length_ - pos_ : 0;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        // Damage met after samples that were delivered first is reported by
        // the next call; reading goes on after it.
        if (pendingError_ != 0) return failWith(status::kFormatFile, causeOf(std::exchange(pendingError_, 0)));
        if (shortPending()) {
            shortReported_ = true;
            return failWith(status::kFormatFile,
                            "the Opus stream ends before its last sample: the file is cut short or damaged");
        }
        const uint64_t n = whole(std::min({sourceBytes, kMaxStep, length_ > pos_ ? length_ - pos_ : 0}));
        if (n == 0 || ended_) return 0;
        const size_t old = out.size();
        out.resize(old + n);
        auto* pcm = reinterpret_cast<opus_int16*>(out.data() + old);
        const size_t values = n / 2;
        size_t got = 0;  // values
        while (got < values) {
            const int room = static_cast<int>(std::min<size_t>(values - got, 1 << 20));
            const int frames = downmix_ ? op_read_stereo(of_.get(), pcm + got, room)
                                        : op_read(of_.get(), pcm + got, room, nullptr);
            if (frames == 0) {
                ended_ = true;
                break;
            }
            if (frames < 0) {
                if (frames == OP_EREAD || frames == OP_EFAULT) ended_ = true;  // nothing more will come
                if (got > 0) {
                    pendingError_ = frames;
                    break;
                }
                out.resize(old);
                if (frames == OP_EREAD && !readCause_.empty()) return failWith(status::kFileAccess, readCause_);
                if (frames == OP_EFAULT) return failWith(status::kMemory, causeOf(frames));
                return failWith(status::kFormatFile, causeOf(frames));
            }
            got += static_cast<size_t>(frames) * static_cast<size_t>(channels_);
        }
        out.resize(old + got * 2);
        pos_ += got * 2;
        return static_cast<int32_t>(got * 2);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (request.beforeStart) return status::kFileAccess;
        const uint64_t p = whole(std::min(request.fileBytes, length_));
        pendingError_ = 0;
        shortReported_ = false;
        if (p == length_) {
            pos_ = p;
            ended_ = true;
            result.fileBytes = p;
            return status::kOk;
        }
        const int st = op_pcm_seek(of_.get(), static_cast<ogg_int64_t>(p / file_.nBlockAlign));
        if (st < 0) {
            // Back to where reading was, so the position still holds.
            if (op_pcm_seek(of_.get(), static_cast<ogg_int64_t>(pos_ / file_.nBlockAlign)) < 0) ended_ = true;
            return failWith(status::kFileAccess, "the position cannot be reached in the Opus stream");
        }
        ended_ = false;
        pos_ = p;
        result.fileBytes = p;
        return status::kOk;
    }

    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }
    int16_t finish(uint64_t) override {
        of_.reset();
        fp_.reset();
        return status::kOk;
    }

    std::string describe() const override { return describeOpusFile(channels_, static_cast<long>(inputRate_)); }

private:
    uint64_t whole(uint64_t bytes) const { return file_.nBlockAlign ? bytes - bytes % file_.nBlockAlign : 0; }
    bool shortPending() const { return ended_ && pos_ < length_ && !shortReported_; }

    static OpusReadTrack& self(void* data) { return *static_cast<OpusReadTrack*>(data); }
    static int readCallback(void* data, unsigned char* ptr, int bytes) {
        OpusReadTrack& t = self(data);
        if (bytes <= 0) return 0;
        const size_t got = std::fread(ptr, 1, static_cast<size_t>(bytes), t.fp_.get());
        if (got == 0 && std::ferror(t.fp_.get())) {
            t.readCause_ = systemCause(errno);
            if (t.readCause_.empty()) t.readCause_ = "the file cannot be read";
            return -1;
        }
        return static_cast<int>(got);
    }
    static int seekCallback(void* data, opus_int64 offset, int whence) {
        return ::fseeko(self(data).fp_.get(), static_cast<off_t>(offset), whence);
    }
    static opus_int64 tellCallback(void* data) { return ::ftello(self(data).fp_.get()); }

    FilePtr fp_;
    std::unique_ptr<OggOpusFile, OpusFileDeleter> of_;
    int channels_ = 0;
    bool downmix_ = false;
    uint32_t inputRate_ = 0;
    int32_t kbps_ = 0;
    uint64_t length_ = 0;  // file-format bytes
    uint64_t pos_ = 0;
    bool ended_ = false;
    bool shortReported_ = false;
    int pendingError_ = 0;  // damage met after samples that were delivered first
    std::string readCause_;
};

// --- writing -----------------------------------------------------------------

class OpusWriteTrack final : public EncodedFileTrack {
public:
    explicit OpusWriteTrack(const OpusSettings& settings) : settings_(settings) { kind_ = ContainerKind::Opus; }

    ~OpusWriteTrack() override {
        encoder_.reset();  // before the file it writes goes
    }

    // The settings are checked and the encoder set up before the file is
    // touched: a refused format leaves no file behind.
    int16_t start(const std::string& path) {
        const int channels = settings_.channels;
        if ((channels != 1 && channels != 2) || settings_.bitrate < 6 || settings_.bitrate > 510 ||
            settings_.complexity < 0 || settings_.complexity > 10)
            return failWith(status::kFormatNotSupport, "the Opus settings are out of range");
        file_ = acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels), 16);
        full_ = fullFormatOf(file_);

        std::unique_ptr<OggOpusComments, CommentsDeleter> comments(ope_comments_create());
        if (!comments) return status::kMemory;
        const OpusEncCallbacks callbacks{writeCallback, closeCallback};
        int error = OPE_OK;
        encoder_.reset(ope_encoder_create_callbacks(&callbacks, this, comments.get(), kOpusRate, channels, 0, &error));
        if (!encoder_) {
            if (error == OPE_ALLOC_FAIL) return status::kMemory;
            return failWith(status::kFormatNotSupport, std::string("the Opus encoder refused the settings: ") +
                                                           ope_strerror(error));
        }
        if (ope_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(settings_.bitrate * 1000)) != OPE_OK ||
            ope_encoder_ctl(encoder_.get(), OPUS_SET_COMPLEXITY(settings_.complexity)) != OPE_OK)
            return failWith(status::kFormatNotSupport, "the Opus encoder refused the settings");

        fp_.reset(std::fopen(path.c_str(), "wb"));
        if (!fp_) {
            encoder_.reset();
            return failWith(status::kFileAccess, systemCause(errno));
        }
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (const int16_t st = refuseAfterFailure()) return st;
        const size_t channels = file_.nChannels;
        size_t frames = bytes / (2 * channels);
        const uint8_t* in = pcm;
        while (frames > 0) {
            const size_t n = std::min(frames, kChunkFrames);
            samples_.resize(n * channels);
            std::memcpy(samples_.data(), in, n * channels * 2);  // little-endian, as the engine hands it
            in += n * channels * 2;
            if (ope_encoder_write(encoder_.get(), samples_.data(), static_cast<int>(n)) != OPE_OK)
                return fail(encoderCause());
            wrote_ = true;
            frames -= n;
        }
        return status::kOk;
    }

    // The last packets (and the end-of-stream page, even without samples).
    int16_t finish(uint64_t) override {
        if (!beginFinish()) return status::kFileAccess;
        // libopusenc cannot end a stream it was never handed a call for.
        if (encoder_ && !wrote_) {
            const opus_int16 none[2] = {};
            ope_encoder_write(encoder_.get(), none, 0);
        }
        const bool drained = !encoder_ || ope_encoder_drain(encoder_.get()) == OPE_OK;
        encoder_.reset();
        return closeFile(drained, encoderCause());
    }

    std::string describe() const override { return opusDescription(settings_); }

private:
    static constexpr size_t kChunkFrames = 4800;

    std::string encoderCause() const { return writeCause_.empty() ? "the Opus encoder failed" : writeCause_; }

    static OpusWriteTrack& self(void* data) { return *static_cast<OpusWriteTrack*>(data); }
    static int writeCallback(void* data, const unsigned char* ptr, opus_int32 len) {
        return self(data).store(ptr, len > 0 ? static_cast<size_t>(len) : 0) ? 0 : 1;
    }
    // The file is closed by finish(), where a failure can be reported.
    static int closeCallback(void*) { return 0; }

    OpusSettings settings_;
    std::unique_ptr<OggOpusEnc, EncoderDeleter> encoder_;
    std::vector<opus_int16> samples_;
    bool wrote_ = false;
};

}  // namespace

int16_t openOpus(const OpenRequest& request, std::unique_ptr<Track>& track) {
    return openReadOnly<OpusReadTrack>(request, track);
}

int16_t createOpus(const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    return createStarted<OpusWriteTrack>(request, request.settings->output.opus, track);
}

}  // namespace qoro::audiofile
