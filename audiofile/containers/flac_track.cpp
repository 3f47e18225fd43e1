#include "flac_track.h"

#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert/deep_samples.h"
#include "convert/downmix.h"

namespace qoro::audiofile {

namespace {

// The most PCM bytes one decode call produces.
constexpr uint64_t kMaxStep = uint64_t{1} << 26;

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};
struct EncoderDeleter {
    void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};
struct MetadataDeleter {
    void operator()(FLAC__StreamMetadata* m) const { FLAC__metadata_object_delete(m); }
};

// --- reading -----------------------------------------------------------------

// libFLAC reads the file itself (through the callbacks below, over a file
// this track owns); "source" bytes are counted as the PCM bytes they decode
// into, as for the other decoders that read their files themselves.
class FlacReadTrack final : public Track {
public:
    FlacReadTrack() { kind_ = ContainerKind::Flac; }

    ~FlacReadTrack() override {
        decoder_.reset();  // before the file it reads goes
    }

    int16_t open(const std::string& path) {
        fp_.reset(std::fopen(path.c_str(), "rb"));
        if (!fp_) return failWith(status::kFileAccess, systemCause(errno));
        decoder_.reset(FLAC__stream_decoder_new());
        if (!decoder_) return status::kMemory;
        // Frames carry their own checksums; the whole-stream MD5 would only
        // tell at the very end, and not at all after a seek.
        FLAC__stream_decoder_set_md5_checking(decoder_.get(), false);
        const FLAC__StreamDecoderInitStatus init =
            FLAC__stream_decoder_init_stream(decoder_.get(), readCallback, seekCallback, tellCallback, lengthCallback,
                                             eofCallback, writeCallback, metadataCallback, errorCallback, this);
        if (init == FLAC__STREAM_DECODER_INIT_STATUS_MEMORY_ALLOCATION_ERROR) return status::kMemory;
        if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) return status::kFormatFile;
        if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_.get())) {
            if (!readCause_.empty()) return failWith(status::kFileAccess, readCause_);
            return status::kFormatFile;
        }
        // A file without a STREAMINFO block (not FLAC, or raw frames) is no
        // FLAC file to read.
        if (!haveInfo_) return status::kFormatFile;
        if (channels_ < 1 || channels_ > StereoDownmix::kMaxChannels)
            return failWith(status::kFormatNotSupport, "FLAC files with " + std::to_string(channels_) +
                                                           " channels are not supported: 1 to 8 are");
        if (rate_ < kMinPcmRate || rate_ > kMaxPcmRate)
            return failWith(status::kFormatNotSupport,
                            "FLAC files at " + std::to_string(rate_) + " Hz are not supported");
        if (bits_ < FLAC__MIN_BITS_PER_SAMPLE || bits_ > 32)
            return failWith(status::kFormatNotSupport,
                            "FLAC files with " + std::to_string(bits_) + "-bit samples are not supported");
        // 8 bits and fewer stay 8-bit PCM (widened to 16 as 8-bit WAV files
        // are); everything deeper is 16-bit PCM. More than two channels are
        // folded down to 16-bit stereo here. As they are (useNative), the
        // samples fill the container of a WAV file of their depth.
        if (channels_ > 2) downmix_.emplace(static_cast<int>(channels_));
        const uint16_t own = bits_ <= 8 ? 8 : bits_ <= 16 ? 16 : bits_ <= 24 ? 24 : 32;
        if (own > 16 || channels_ > 2) ownForm_ = acm::makePcmFormat(rate_, static_cast<uint16_t>(channels_), own);
        chooseForm();
        full_ = fullFormatOf(file_);
        return status::kOk;
    }

    // Switching forms drops what was decoded in the old one and decodes
    // again from the same frame.
    void useNative(bool on) override {
        if (on == native_ || ownForm_.nChannels == 0) return;
        const uint64_t frame = file_.nBlockAlign ? pos_ / file_.nBlockAlign : 0;
        const bool held = pending_.size() > taken_;
        native_ = on;
        chooseForm();
        pos_ = frame * file_.nBlockAlign;
        if (held) {
            pending_.clear();
            taken_ = 0;
            damageAt_ = kNone;
            if (!seekDecoder(frame)) ended_ = true;
        }
    }

    uint64_t decodedLength() const override { return length_; }
    bool lengthKnown() const override { return totalFrames_ != 0; }
    uint64_t sourceFor(uint64_t fileBytes) const override { return whole(fileBytes); }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return whole(sourceBytes); }
    uint64_t sourceUnit() const override { return file_.nBlockAlign; }
    uint64_t sourceLeft() const override {
        const uint64_t held = pending_.size() - taken_;
        if (ended_ && held == 0 && !failurePending()) return 0;
        if (!lengthKnown()) return kMaxStep;
        return length_ > pos_ ? length_ - pos_ : 0;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        uint64_t n = whole(std::min(sourceBytes, kMaxStep));
        if (lengthKnown()) n = std::min(n, length_ > pos_ ? length_ - pos_ : 0);
        if (n == 0) return 0;
        while (pending_.size() - taken_ < n && !ended_ && damageAt_ == kNone) step();
        // Samples decoded before a damaged stretch come first; the damage
        // is reported by the call that reaches it.
        uint64_t held = pending_.size() - taken_;
        if (damageAt_ != kNone) held = std::min<uint64_t>(held, damageAt_ > taken_ ? damageAt_ - taken_ : 0);
        const uint64_t take = std::min(n, held);
        if (take == 0) {
            if (damageAt_ != kNone) {
                damageAt_ = kNone;
                if (ended_) shortReported_ = true;  // one report for a stream cut short
                return failWith(status::kFormatFile, std::exchange(damageCause_, {}));
            }
            if (fatal_ != status::kOk) return failWith(std::exchange(fatal_, status::kOk), fatalCause_);
            if (ended_ && lengthKnown() && pos_ < length_ && !shortReported_) {
                shortReported_ = true;
                return failWith(status::kFormatFile,
                                "the FLAC stream ends before its last sample: the file is cut short or damaged");
            }
            return 0;
        }
        out.insert(out.end(), pending_.begin() + static_cast<std::ptrdiff_t>(taken_),
                   pending_.begin() + static_cast<std::ptrdiff_t>(taken_ + take));
        taken_ += take;
        pos_ += take;
        if (damageAt_ != kNone) damageAt_ -= std::min<size_t>(damageAt_, taken_);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken_));
        taken_ = 0;
        return static_cast<int32_t>(take);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (request.beforeStart) return status::kFileAccess;
        uint64_t p = request.fileBytes;
        if (lengthKnown()) p = std::min(p, length_);
        p = whole(p);
        pending_.clear();
        taken_ = 0;
        damageAt_ = kNone;
        damageCause_.clear();
        fatal_ = status::kOk;
        shortReported_ = false;
        if (lengthKnown() && p == length_) {
            // At the end: nothing left to decode until the next seek.
            pos_ = p;
            ended_ = true;
            result.fileBytes = p;
            return status::kOk;
        }
        ended_ = false;
        if (!seekDecoder(p / file_.nBlockAlign)) {
            // Back to where reading was, so the position still holds.
            const uint64_t old = pos_;
            pending_.clear();
            if (!seekDecoder(old / file_.nBlockAlign)) ended_ = true;
            pending_.clear();
            taken_ = 0;
            damageAt_ = kNone;
            return failWith(status::kFileAccess, "the position cannot be reached in the FLAC stream");
        }
        // Frames passed over while seeking are no damage of what is read next.
        damageAt_ = kNone;
        damageCause_.clear();
        pos_ = p;
        result.fileBytes = p;
        return status::kOk;
    }

    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }
    int16_t finish(uint64_t) override {
        decoder_.reset();
        fp_.reset();
        return status::kOk;
    }

    std::string describe() const override {
        return describeFlacFile(static_cast<long>(rate_), static_cast<long>(channels_), static_cast<long>(bits_));
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    uint64_t whole(uint64_t bytes) const { return file_.nBlockAlign ? bytes - bytes % file_.nBlockAlign : 0; }

    void chooseForm() {
        if (native_)
            file_ = ownForm_;
        else
            file_ = acm::makePcmFormat(rate_, static_cast<uint16_t>(downmix_ ? 2 : channels_),
                                       bits_ <= 8 && !downmix_ ? 8 : 16);
        length_ = totalFrames_ * file_.nBlockAlign;
    }

    // A frame's samples as they are: little-endian, filling the top of the
    // container (as a WAV file of that depth holds them); 8 bits unsigned.
    void packOwn(const FLAC__int32* const buffer[], size_t count, uint32_t channels, uint32_t bits) {
        const uint32_t width = file_.wBitsPerSample / 8u;
        const uint32_t shift = file_.wBitsPerSample - bits;
        const uint32_t offset = width == 1 ? 0x80u : 0u;
        const size_t old = pending_.size();
        pending_.resize(old + count * channels * width);
        uint8_t* p = pending_.data() + old;
        for (size_t i = 0; i < count; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t v = (static_cast<uint32_t>(buffer[c][i]) << shift) + offset;
                for (uint32_t b = 0; b < width; ++b) *p++ = static_cast<uint8_t>(v >> (8 * b));
            }
    }
    bool failurePending() const { return damageAt_ != kNone || fatal_ != status::kOk; }

    // Decodes one more frame into pending_ (or learns that the stream ended).
    void step() {
        const bool ok = FLAC__stream_decoder_process_single(decoder_.get());
        const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_.get());
        if (state == FLAC__STREAM_DECODER_END_OF_STREAM) {
            ended_ = true;
            return;
        }
        if (!ok || state == FLAC__STREAM_DECODER_ABORTED || state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR ||
            state == FLAC__STREAM_DECODER_SEEK_ERROR) {
            ended_ = true;
            if (fatal_ == status::kOk && fatalCause_.empty()) {
                if (state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR) {
                    fatal_ = status::kMemory;
                    fatalCause_ = "not enough memory to decode the FLAC stream";
                } else if (!readCause_.empty()) {
                    fatal_ = status::kFileAccess;
                    fatalCause_ = readCause_;
                } else {
                    fatal_ = status::kFormatFile;
                    fatalCause_ = frameCause_.empty() ? "the FLAC stream cannot be decoded" : frameCause_;
                }
            }
        }
    }

    bool seekDecoder(uint64_t frame) {
        if (FLAC__stream_decoder_seek_absolute(decoder_.get(), frame)) return true;
        if (FLAC__stream_decoder_get_state(decoder_.get()) == FLAC__STREAM_DECODER_SEEK_ERROR)
            FLAC__stream_decoder_flush(decoder_.get());
        return false;
    }

    // One decoded frame: planar samples of frame->header.bits_per_sample
    // bits, appended to pending_ in the file format.
    FLAC__StreamDecoderWriteStatus takeFrame(const FLAC__Frame* frame, const FLAC__int32* const buffer[]) {
        const uint32_t channels = frame->header.channels;
        const uint32_t bits = frame->header.bits_per_sample;
        const size_t count = frame->header.blocksize;
        if (channels != channels_ || bits != bits_) {
            frameCause_ = "a FLAC frame does not match the stream's channels or sample size";
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        if (native_) {
            packOwn(buffer, count, channels, bits);
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        const size_t old = pending_.size();
        if (downmix_) {
            // In 16-bit units, exactly: a float holds every sample of up
            // to 24 bits.
            const float unit = std::ldexp(1.0f, 16 - static_cast<int>(bits));
            mixIn_.resize(count * channels);
            float* in = mixIn_.data();
            for (size_t i = 0; i < count; ++i)
                for (uint32_t c = 0; c < channels; ++c) *in++ = static_cast<float>(buffer[c][i]) * unit;
            pending_.resize(old + count * 4);
            downmix_->mix(mixIn_.data(), count, reinterpret_cast<int16_t*>(pending_.data() + old), dither());
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        if (file_.wBitsPerSample == 8) {
            pending_.resize(old + count * channels);
            uint8_t* out = pending_.data() + old;
            for (size_t i = 0; i < count; ++i)
                for (uint32_t c = 0; c < channels; ++c)
                    *out++ = static_cast<uint8_t>((static_cast<uint32_t>(buffer[c][i]) << (8 - bits)) + 128);
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        pending_.resize(old + count * channels * 2);
        int16_t* out = reinterpret_cast<int16_t*>(pending_.data() + old);
        if (bits <= 16) {
            const uint32_t shift = 16 - bits;
            if (channels == 2) {
                for (size_t i = 0; i < count; ++i) {
                    out[2 * i] = static_cast<int16_t>(static_cast<uint32_t>(buffer[0][i]) << shift);
                    out[2 * i + 1] = static_cast<int16_t>(static_cast<uint32_t>(buffer[1][i]) << shift);
                }
            } else {
                for (size_t i = 0; i < count; ++i)
                    out[i] = static_cast<int16_t>(static_cast<uint32_t>(buffer[0][i]) << shift);
            }
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        // Deeper samples are packed the way a 24- or 32-bit WAV file holds
        // them (left-justified in the container) and narrowed by the same
        // rounding step as those files.
        const bool deep24 = bits <= 24;
        const uint32_t width = deep24 ? 3 : 4;
        const uint32_t shift = (deep24 ? 24 : 32) - bits;
        packed_.resize(count * channels * width);
        uint8_t* p = packed_.data();
        for (size_t i = 0; i < count; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t v = static_cast<uint32_t>(buffer[c][i]) << shift;
                for (uint32_t b = 0; b < width; ++b) *p++ = static_cast<uint8_t>(v >> (8 * b));
            }
        narrowTo16(deep24 ? DeepEncoding::Int24 : DeepEncoding::Int32, packed_.data(), count * channels, out,
                   ByteOrder::Little, dither());
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    // --- libFLAC callbacks -----------------------------------------------------
    static FlacReadTrack& self(void* data) { return *static_cast<FlacReadTrack*>(data); }

    static FLAC__StreamDecoderReadStatus readCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                                      void* data) {
        FlacReadTrack& t = self(data);
        if (*bytes == 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        const size_t got = std::fread(buffer, 1, *bytes, t.fp_.get());
        *bytes = got;
        if (got > 0) return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
        if (std::ferror(t.fp_.get())) {
            t.readCause_ = systemCause(errno);
            if (t.readCause_.empty()) t.readCause_ = "the file cannot be read";
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    static FLAC__StreamDecoderSeekStatus seekCallback(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* data) {
        if (offset > static_cast<FLAC__uint64>(INT64_MAX)) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
        return ::fseeko(self(data).fp_.get(), static_cast<off_t>(offset), SEEK_SET) == 0
                   ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
                   : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
    static FLAC__StreamDecoderTellStatus tellCallback(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data) {
        const off_t at = ::ftello(self(data).fp_.get());
        if (at < 0) return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
        *offset = static_cast<FLAC__uint64>(at);
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__StreamDecoderLengthStatus lengthCallback(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                          void* data) {
        struct stat st {};
        if (::fstat(::fileno(self(data).fp_.get()), &st) != 0 || st.st_size < 0)
            return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
        *length = static_cast<FLAC__uint64>(st.st_size);
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }
    static FLAC__bool eofCallback(const FLAC__StreamDecoder*, void* data) {
        return std::feof(self(data).fp_.get()) != 0;
    }
    static FLAC__StreamDecoderWriteStatus writeCallback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                        const FLAC__int32* const buffer[], void* data) {
        try {
            return self(data).takeFrame(frame, buffer);
        } catch (const std::bad_alloc&) {
            self(data).frameCause_ = "not enough memory to decode the FLAC stream";
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
    }
    static void metadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* data) {
        FlacReadTrack& t = self(data);
        if (block->type != FLAC__METADATA_TYPE_STREAMINFO || t.haveInfo_) return;
        const FLAC__StreamMetadata_StreamInfo& info = block->data.stream_info;
        t.haveInfo_ = true;
        t.rate_ = info.sample_rate;
        t.channels_ = info.channels;
        t.bits_ = info.bits_per_sample;
        t.totalFrames_ = info.total_samples;
    }
    // Damage inside the stream (lost sync, a bad frame header, a checksum
    // that does not match): libFLAC carries on from the next good frame; the
    // first damage after the samples already decoded is reported.
    static void errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
        FlacReadTrack& t = self(data);
        if (t.damageAt_ != kNone) return;
        t.damageAt_ = t.pending_.size();
        if (std::feof(t.fp_.get())) {
            t.damageCause_ = "the FLAC stream ends in the middle of a frame: the file is cut short";
            return;
        }
        switch (status) {
        case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
            t.damageCause_ = "the FLAC stream is damaged: a frame's checksum does not match";
            break;
        case FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM:
            t.damageCause_ = "the FLAC stream uses coding this decoder does not know";
            break;
        default: t.damageCause_ = "the FLAC stream is damaged: frames are missing or broken"; break;
        }
    }

    FilePtr fp_;
    std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder_;
    bool haveInfo_ = false;
    uint32_t rate_ = 0;
    uint32_t channels_ = 0;
    uint32_t bits_ = 0;
    uint64_t totalFrames_ = 0;  // 0: the stream does not say
    uint64_t length_ = 0;       // file-format bytes
    uint64_t pos_ = 0;          // file-format bytes delivered since the start (or the last seek)
    bool ended_ = false;
    bool shortReported_ = false;
    std::vector<uint8_t> pending_;  // decoded, not yet delivered
    size_t taken_ = 0;
    std::vector<uint8_t> packed_;  // deep samples as a WAV file holds them
    std::optional<StereoDownmix> downmix_;  // more than two channels
    std::vector<float> mixIn_;              // their samples, interleaved
    bool native_ = false;                   // handed on as they are (useNative)
    size_t damageAt_ = kNone;      // where in pending_ the first unreported damage lies
    std::string damageCause_;
    int16_t fatal_ = status::kOk;  // decoding stopped for good
    std::string fatalCause_;
    std::string readCause_;   // the system's reason a read failed
    std::string frameCause_;  // why a frame was refused
};

// --- writing -----------------------------------------------------------------

class FlacWriteTrack final : public EncodedFileTrack {
public:
    explicit FlacWriteTrack(const FlacSettings& settings) : settings_(settings) { kind_ = ContainerKind::Flac; }

    ~FlacWriteTrack() override {
        encoder_.reset();  // before the file it writes goes
    }

    // The settings are checked and the encoder configured before the file
    // is touched: a refused format leaves no file behind, nor does a header
    // that cannot be written.
    int16_t start(const std::string& path) {
        const uint32_t rate = static_cast<uint32_t>(std::max<int32_t>(settings_.frequency, 0));
        const uint32_t channels = static_cast<uint32_t>(std::max<int16_t>(settings_.channels, 0));
        const uint32_t bits = settings_.bits == 24 ? 24 : 16;
        if (rate < kMinPcmRate || rate > kMaxPcmRate || channels < 1 || channels > StereoDownmix::kMaxChannels ||
            settings_.level < 0 || settings_.level > 8)
            return failWith(status::kFormatNotSupport, "the FLAC settings are out of range");
        file_ = acm::makePcmFormat(rate, static_cast<uint16_t>(channels), static_cast<uint16_t>(bits));
        full_ = fullFormatOf(file_);
        if (bits > 16 || channels > 2) ownForm_ = file_;

        encoder_.reset(FLAC__stream_encoder_new());
        padding_.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING));
        if (!encoder_ || !padding_) return status::kMemory;
        FLAC__StreamEncoder* e = encoder_.get();
        bool ok = FLAC__stream_encoder_set_channels(e, channels) && FLAC__stream_encoder_set_bits_per_sample(e, bits) &&
                  FLAC__stream_encoder_set_sample_rate(e, rate) &&
                  FLAC__stream_encoder_set_compression_level(e, static_cast<uint32_t>(settings_.level)) &&
                  // Rates a frame header cannot state make a stream outside the subset.
                  FLAC__stream_encoder_set_streamable_subset(e, FLAC__format_sample_rate_is_subset(rate));
        // Room for tags, so that they can be written later without moving the samples.
        padding_->length = kPadding;
        FLAC__StreamMetadata* blocks[] = {padding_.get()};
        ok = ok && FLAC__stream_encoder_set_metadata(e, blocks, 1);
        if (!ok) return failWith(status::kFormatNotSupport, "the FLAC encoder refused the settings");

        fp_.reset(std::fopen(path.c_str(), "wb"));
        if (!fp_) return failWith(status::kFileAccess, systemCause(errno));
        const FLAC__StreamEncoderInitStatus init =
            FLAC__stream_encoder_init_stream(e, writeCallback, seekCallback, tellCallback, nullptr, this);
        if (init != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
            std::string cause = writeCause_;
            int16_t st = status::kFileAccess;
            if (cause.empty()) {
                st = init == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR ? status::kFileAccess
                                                                            : status::kFormatNotSupport;
                cause = std::string("the FLAC encoder cannot start: ") + FLAC__StreamEncoderInitStatusString[init];
            }
            // The half-made file goes (a device or a pipe named as the
            // output stays what it was).
            struct stat made {};
            const bool regular = ::fstat(::fileno(fp_.get()), &made) == 0 && S_ISREG(made.st_mode);
            encoder_.reset();
            fp_.reset();
            if (regular) ::unlink(path.c_str());
            return failWith(st, std::move(cause));
        }
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (const int16_t st = refuseAfterFailure()) return st;
        const size_t channels = file_.nChannels;
        const bool deep = file_.wBitsPerSample == 24;
        size_t frames = bytes / file_.nBlockAlign;
        const uint8_t* in = pcm;
        while (frames > 0) {
            const size_t n = std::min(frames, kChunkFrames);
            wide_.resize(n * channels);
            if (deep) {
                for (size_t i = 0; i < n * channels; ++i, in += 3)  // sign from the top byte
                    wide_[i] = static_cast<int32_t>(static_cast<uint32_t>(in[0] << 8 | in[1] << 16 | in[2] << 24)) >> 8;
            } else {
                for (size_t i = 0; i < n * channels; ++i, in += 2)
                    wide_[i] = static_cast<int16_t>(static_cast<uint16_t>(in[0] | in[1] << 8));
            }
            if (!FLAC__stream_encoder_process_interleaved(encoder_.get(), wide_.data(), static_cast<uint32_t>(n)))
                return fail(encoderCause());
            frames -= n;
        }
        if (std::fflush(fp_.get()) != 0) return fail(systemCause(errno));
        return status::kOk;
    }

    // The last frame, and STREAMINFO rewritten with the length and the MD5
    // signature (libFLAC's encoder always computes it; the seek callback lets
    // it go back to the start). A failure is reported with its first cause.
    int16_t finish(uint64_t) override {
        if (!beginFinish()) return status::kFileAccess;
        const bool drained = !encoder_ || FLAC__stream_encoder_finish(encoder_.get());
        const std::string why = drained ? std::string() : encoderCause();
        encoder_.reset();
        return closeFile(drained, why);
    }

    std::string describe() const override { return flacDescription(settings_); }

private:
    static constexpr size_t kChunkFrames = 4096;
    static constexpr uint32_t kPadding = 8192;

    // Why the encoder stopped: the system's reason a write failed, or the
    // encoder's own state.
    std::string encoderCause() const {
        if (!writeCause_.empty()) return writeCause_;
        const FLAC__StreamEncoderState state = FLAC__stream_encoder_get_state(encoder_.get());
        return std::string("the FLAC encoder failed: ") + FLAC__StreamEncoderStateString[state];
    }

    static FlacWriteTrack& self(void* data) { return *static_cast<FlacWriteTrack*>(data); }

    static FLAC__StreamEncoderWriteStatus writeCallback(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                                        size_t bytes, uint32_t, uint32_t, void* data) {
        return self(data).store(buffer, bytes) ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
                                               : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    static FLAC__StreamEncoderSeekStatus seekCallback(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
        if (offset > static_cast<FLAC__uint64>(INT64_MAX)) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        return ::fseeko(self(data).fp_.get(), static_cast<off_t>(offset), SEEK_SET) == 0
                   ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                   : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
    static FLAC__StreamEncoderTellStatus tellCallback(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* data) {
        const off_t at = ::ftello(self(data).fp_.get());
        if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
        *offset = static_cast<FLAC__uint64>(at);
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }

    FlacSettings settings_;
    std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter> padding_;
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder_;
    std::vector<FLAC__int32> wide_;
};

}  // namespace

int16_t openFlac(const OpenRequest& request, std::unique_ptr<Track>& track) {
    return openReadOnly<FlacReadTrack>(request, track);
}

int16_t createFlac(const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    return createStarted<FlacWriteTrack>(request, request.settings->output.flac, track);
}

}  // namespace qoro::audiofile
