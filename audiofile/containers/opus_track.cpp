#include "opus_track.h"

#include <opusenc.h>
#include <opusfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "containers/vorbis_order.h"

namespace qoro::audiofile {

namespace {

constexpr uint32_t kOpusRate = 48000;
// The most PCM bytes one decode call produces.
constexpr uint64_t kMaxStep = uint64_t{1} << 24;
// The most channels handed on as they are (and written): the surround
// layouts of channel mapping family 1.
constexpr int kMaxChannels = kMaxVorbisOrderChannels;
// Channel mapping families: mono or stereo, and the surround layouts.
constexpr int kMonoStereoFamily = 0;
constexpr int kSurroundFamily = 1;
// Frames of float samples taken from libopusfile or handed to libopusenc in
// one call: 120 ms, the longest Opus packet (a smaller buffer makes
// libopusfile keep the rest of a packet aside).
constexpr size_t kFloatChunkFrames = 5760;

// 32-bit float samples at 48000 Hz: the decoder's own form, and what
// surround files are written from.
WAVEFORMATEX floatForm(int channels) {
    WAVEFORMATEX f = acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels), 32);
    f.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    return f;
}

// Decoded frames (surround streams carry Vorbis order) as the engine's
// little-endian WAV-order bytes.
void vorbisToWav(const float* in, size_t frames, int channels, uint8_t* out) {
    for (size_t i = 0; i < frames; ++i, in += channels)
        for (int w = 0; w < channels; ++w, out += sizeof(float))
            std::memcpy(out, &in[vorbisChannelOf(channels, w)], sizeof(float));
}

// The loudest float sample handed to the encoder: 24 dB over full scale.
// Far louder ones overflow libopus's arithmetic, which then loses the
// channels they share a stream with.
constexpr float kLoudestSample = 16.0f;

// The engine's WAV-order frames as the Vorbis-order floats the encoder
// takes. NaN and infinities become silence (the encoder's filters would
// spread them over the whole stream), samples beyond kLoudestSample are
// held there.
void wavToVorbis(const uint8_t* in, size_t frames, int channels, float* out) {
    for (size_t i = 0; i < frames; ++i, out += channels)
        for (int w = 0; w < channels; ++w, in += sizeof(float)) {
            float v;
            std::memcpy(&v, in, sizeof(float));
            out[vorbisChannelOf(channels, w)] =
                std::isfinite(v) ? std::clamp(v, -kLoudestSample, kLoudestSample) : 0.0f;
        }
}

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
    OpusReadTrack() {
        kind_ = ContainerKind::Opus;
        lossy_ = true;
    }

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
        chooseChannels();
        if (const OpusHead* head = op_head(of_.get(), 0)) inputRate_ = head->input_sample_rate;
        // Rounding, not noise: the same file decodes to the same samples.
        op_set_dither_enabled(of_.get(), 0);
        const ogg_int64_t total = op_pcm_total(of_.get(), -1);
        if (total < 0) return failWith(status::kFormatFile, causeOf(static_cast<int>(total)));
        totalFrames_ = static_cast<uint64_t>(total);
        chooseForm();
        full_ = fullFormatOf(file_);
        struct stat st {};
        if (::fstat(::fileno(fp_.get()), &st) == 0 && total > 0)
            kbps_ = static_cast<int32_t>(
                std::min<uint64_t>(static_cast<uint64_t>(st.st_size) * 8 * kOpusRate / static_cast<uint64_t>(total) / 1000,
                                   std::numeric_limits<int32_t>::max()));
        return status::kOk;
    }

    // libopusfile keeps its place whichever form it hands out: the frame
    // position stays, only its count in bytes changes.
    void useNative(bool on) override {
        if (on == native_) return;
        const uint64_t frame = pos_ / file_.nBlockAlign;
        native_ = on;
        chooseForm();
        pos_ = frame * file_.nBlockAlign;
    }

    uint64_t decodedLength() const override { return length_; }
    // The file's own channels (a 5.1 file is 6 channels, though the 16-bit
    // form folds it to stereo); stereo for a file whose links differ.
    void reportFoundSettings(Mp3Settings& /*mp3*/, OutputSettings& output) const override {
        output.opus.channels = static_cast<int16_t>(floatFold_ ? channels_ : ownForm_.nChannels);
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
        const size_t frameBytes = file_.nBlockAlign;
        const size_t frames = n / frameBytes;
        const size_t old = out.size();
        out.resize(old + n);
        size_t got = 0;
        while (got < frames) {
            const int read = readFrames(out.data() + old + got * frameBytes, frames - got);
            if (read == 0) {
                ended_ = true;
                break;
            }
            if (read < 0) {
                if (read == OP_EREAD || read == OP_EFAULT) ended_ = true;  // nothing more will come
                if (got > 0) {
                    pendingError_ = read;
                    break;
                }
                out.resize(old);
                if (read == OP_EREAD && !readCause_.empty()) return failWith(status::kFileAccess, readCause_);
                if (read == OP_EFAULT) return failWith(status::kMemory, causeOf(read));
                return failWith(status::kFormatFile, causeOf(read));
            }
            got += static_cast<size_t>(read);
        }
        out.resize(old + got * frameBytes);
        pos_ += got * frameBytes;
        return static_cast<int32_t>(got * frameBytes);
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

    std::string describe() const override {
        return describeOpusFile(floatFold_ ? channels_ : ownForm_.nChannels, static_cast<long>(inputRate_));
    }

private:
    uint64_t whole(uint64_t bytes) const { return file_.nBlockAlign ? bytes - bytes % file_.nBlockAlign : 0; }
    bool shortPending() const { return ended_ && pos_ < length_ && !shortReported_; }

    // The channels of both forms. 16-bit: mono and stereo as they are when
    // the whole file has one count, anything else folded to stereo. As they
    // are (useNative), in floats: every channel of a file whose links share
    // one count and a known layout (mono, stereo, or a surround layout of
    // up to 8 channels); a file whose links differ, or whose channels have
    // no known layout, is folded to stereo as in 16 bits - a stream of one
    // channel count cannot carry links of several without inventing where
    // their channels go.
    void chooseChannels() {
        const int links = op_link_count(of_.get());
        const int first = op_channel_count(of_.get(), 0);
        bool sameCount = true, surround = true;
        for (int li = 0; li < links; ++li) {
            if (op_channel_count(of_.get(), li) != first) sameCount = false;
            const OpusHead* head = op_head(of_.get(), li);
            if (!head || head->mapping_family != kSurroundFamily) surround = false;
        }
        channels_ = sameCount ? first : 0;
        if (channels_ < 1 || channels_ > 2) {
            channels_ = 2;
            downmix_ = true;
        }
        const bool ownLayout = sameCount && (first == 1 || first == 2 || (surround && first <= kMaxChannels));
        floatFold_ = !ownLayout;
        ownForm_ = floatForm(ownLayout ? first : 2);
    }

    void chooseForm() {
        file_ = native_ ? ownForm_ : acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels_), 16);
        length_ = totalFrames_ * file_.nBlockAlign;
    }

    // Decodes up to `frames` frames in the file format to `at`: the frames
    // decoded, 0 at the end, or libopusfile's failure.
    int readFrames(uint8_t* at, size_t frames) {
        if (native_) return readFloatFrames(at, frames);
        auto* pcm = reinterpret_cast<opus_int16*>(at);
        const int room = static_cast<int>(std::min<size_t>(frames * static_cast<size_t>(channels_), 1 << 20));
        return downmix_ ? op_read_stereo(of_.get(), pcm, room) : op_read(of_.get(), pcm, room, nullptr);
    }

    // The decoder's floats as they are (before any rounding to 16 bits), in
    // WAV order.
    int readFloatFrames(uint8_t* at, size_t frames) {
        const int channels = ownForm_.nChannels;
        const size_t n = std::min(frames, kFloatChunkFrames);
        floats_.resize(n * static_cast<size_t>(channels));
        const int room = static_cast<int>(floats_.size());
        int li = 0;
        const int got = floatFold_ ? op_read_float_stereo(of_.get(), floats_.data(), room)
                                   : op_read_float(of_.get(), floats_.data(), room, &li);
        if (got <= 0) return got;
        // Every link was found to have this count at open; a link that
        // says otherwise is damage, never samples read past the buffer.
        if (!floatFold_ && op_channel_count(of_.get(), li) != channels) return OP_EBADLINK;
        vorbisToWav(floats_.data(), static_cast<size_t>(got), channels, at);
        return got;
    }

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
    int channels_ = 0;         // of the 16-bit form
    bool downmix_ = false;     // the 16-bit form is a stereo fold
    bool native_ = false;      // the floats are handed on (useNative)
    bool floatFold_ = false;   // the float form is a stereo fold
    std::vector<float> floats_;  // decoded, in Vorbis order
    uint32_t inputRate_ = 0;
    int32_t kbps_ = 0;
    uint64_t totalFrames_ = 0;
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
    // touched: a refused format leaves no file behind. Mono and stereo are
    // encoded from 16-bit samples (from floats when the arrays are deeper,
    // writeFloats); more channels (mapping family 1, the surround layouts)
    // from floats in WAV order.
    int16_t start(const std::string& path) {
        const int channels = settings_.channels;
        if (channels < 1 || channels > kMaxChannels || settings_.bitrate < 6 || settings_.bitrate > 510 ||
            settings_.complexity < 0 || settings_.complexity > 10)
            return failWith(status::kFormatNotSupport, "the Opus settings are out of range");
        const bool surround = channels > 2;
        file_ = surround ? floatForm(channels) : acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels), 16);
        if (surround) ownForm_ = file_;
        full_ = fullFormatOf(file_);

        std::unique_ptr<OggOpusComments, CommentsDeleter> comments(ope_comments_create());
        if (!comments) return status::kMemory;
        const OpusEncCallbacks callbacks{writeCallback, closeCallback};
        const int family = surround ? kSurroundFamily : kMonoStereoFamily;
        int error = OPE_OK;
        encoder_.reset(
            ope_encoder_create_callbacks(&callbacks, this, comments.get(), kOpusRate, channels, family, &error));
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

    void writeFloats(bool on) override {
        const int channels = settings_.channels;
        if (wrote_ || channels > 2 || channels < 1) return;
        file_ = on ? floatForm(channels) : acm::makePcmFormat(kOpusRate, static_cast<uint16_t>(channels), 16);
        ownForm_ = on ? file_ : WAVEFORMATEX{};
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (const int16_t st = refuseAfterFailure()) return st;
        const size_t frames = bytes / file_.nBlockAlign;
        return file_.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT ? encodeFloats(pcm, frames) : encode16(pcm, frames);
    }

    // The last packets (and the end-of-stream page, even without samples).
    int16_t finish(uint64_t) override {
        if (!beginFinish()) return status::kFileAccess;
        // libopusenc cannot end a stream it was never handed a call for.
        if (encoder_ && !wrote_) {
            const opus_int16 none[kMaxChannels] = {};
            ope_encoder_write(encoder_.get(), none, 0);
        }
        const bool drained = !encoder_ || ope_encoder_drain(encoder_.get()) == OPE_OK;
        encoder_.reset();
        return closeFile(drained, encoderCause());
    }

    std::string describe() const override { return opusDescription(settings_); }

private:
    static constexpr size_t kChunkFrames = 4800;

    int16_t encode16(const uint8_t* in, size_t frames) {
        const size_t channels = file_.nChannels;
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

    int16_t encodeFloats(const uint8_t* in, size_t frames) {
        const int channels = file_.nChannels;
        while (frames > 0) {
            const size_t n = std::min(frames, kFloatChunkFrames);
            floats_.resize(n * static_cast<size_t>(channels));
            wavToVorbis(in, n, channels, floats_.data());
            in += n * file_.nBlockAlign;
            if (ope_encoder_write_float(encoder_.get(), floats_.data(), static_cast<int>(n)) != OPE_OK)
                return fail(encoderCause());
            wrote_ = true;
            frames -= n;
        }
        return status::kOk;
    }

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
    std::vector<float> floats_;  // in Vorbis order
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
