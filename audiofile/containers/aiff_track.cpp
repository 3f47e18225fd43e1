// AIFF and AIFF-C files: a big-endian "FORM" whose "COMM" chunk says what
// the samples are and whose "SSND" chunk holds them in one stretch. Read:
// integers of 1 to 32 bits in either byte order ("NONE", "twos", "sowt"),
// 8-bit offset binary ("raw "), 32- and 64-bit floats ("fl32", "fl64"), in 1
// to 8 channels. The file format is 8-bit PCM for samples of one byte, else
// 16-bit PCM, deeper samples narrowed as the WAV reader narrows them and more
// than two channels folded down to stereo; or, as they are (useNative), the
// samples little-endian at their own depth (64-bit floats as 32-bit ones).
// Written: plain AIFF of 8-, 16-, 24- or 32-bit integers, or AIFF-C of
// 32-bit floats ("fl32"), mono or stereo.
#include "containers/aiff_track.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "aiff/aiff.h"
#include "convert/deep_samples.h"
#include "convert/downmix.h"
#include "riff/riff.h"

namespace qoro::audiofile {

namespace {

// The most a single read takes in (keeps counts within 32 bits).
constexpr uint64_t kMaxStep = 1u << 28;

// AIFF-C's version stamp (the "FVER" chunk every AIFF-C file begins with).
constexpr uint32_t kAifcVersion1 = 0xA2805140;
constexpr const char* kFl32Name = "32-bit floating point";

bool isFloat(aiff::Encoding e) { return e == aiff::Encoding::Float32 || e == aiff::Encoding::Float64; }

// The WAVE record of the same samples: PCM of the stored width, or IEEE float.
FullFormat recordOf(const aiff::Comm& comm, aiff::Encoding enc, uint32_t rate) {
    WAVEFORMATEX w;
    if (isFloat(enc)) {
        w = acm::makePcmFormat(rate, comm.channels, enc == aiff::Encoding::Float32 ? 32 : 64);
        w.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    } else {
        w = acm::makePcmFormat(rate, comm.channels, static_cast<uint16_t>(aiff::bytesPerSample(comm) * 8));
    }
    return fullFormatOf(w);
}

// `samples` samples of W bytes from `in` to `out` with their bytes reversed:
// big-endian to little-endian and back.
template <size_t W>
void reverseEach(const uint8_t* in, size_t samples, uint8_t* out) {
    for (size_t i = 0; i < samples; ++i, in += W, out += W)
        for (size_t b = 0; b < W; ++b) out[b] = in[W - 1 - b];
}

void reverseSamples(const uint8_t* in, size_t samples, uint32_t width, uint8_t* out) {
    switch (width) {
    case 2: reverseEach<2>(in, samples, out); break;
    case 3: reverseEach<3>(in, samples, out); break;
    case 4: reverseEach<4>(in, samples, out); break;
    case 8: reverseEach<8>(in, samples, out); break;
    default: std::memcpy(out, in, samples * width); break;
    }
}

class AiffTrack final : public Track {
public:
    // Counted with the files whose samples lie in one stretch, as WAV.
    AiffTrack() { kind_ = ContainerKind::Aiff; }

    ~AiffTrack() override {
        if (io_.isOpen()) io_.close();
    }

    // --- reading -------------------------------------------------------------

    // Walks every chunk of the form (in any order) for the first "COMM" and
    // "SSND"; the samples are COMM's frames, as far as the file holds them.
    int16_t open(const std::string& path) {
        if (io_.open(path, riff::Mode::Read) != riff::Status::Ok) return systemFailure();
        riff::Chunk form;
        if (io_.descend(form) != riff::Status::Ok || form.id != riff::kForm ||
            (form.formType != aiff::kAiff && form.formType != aiff::kAifc))
            return status::kFormatFile;
        aifc_ = form.formType == aiff::kAifc;
        bool haveComm = false, haveSsnd = false;
        std::optional<uint32_t> mask;
        riff::Chunk ssnd;
        aiff::SoundHeader sound;
        riff::Chunk ck;
        while (io_.descend(ck, &form) == riff::Status::Ok) {
            if (ck.id == aiff::kComm && !haveComm) {
                // The chunk's first bytes are all there is to know; a longer
                // compression name is cut.
                uint8_t bytes[aiff::kAifcCommMinSize + 256];
                const size_t n = std::min<size_t>(ck.size, sizeof bytes);
                if (!io_.readExact(bytes, n) || !aiff::parseComm({bytes, n}, aifc_, comm_))
                    return status::kFormatFile;
                haveComm = true;
            } else if (ck.id == aiff::kChan && !mask) {
                uint8_t bytes[12];
                if (ck.size >= sizeof bytes && io_.readExact(bytes, sizeof bytes)) mask = aiff::parseChanBitmap(bytes);
            } else if (ck.id == aiff::kSsnd && !haveSsnd) {
                uint8_t bytes[aiff::kSoundHeaderSize];
                if (ck.size < sizeof bytes || !io_.readExact(bytes, sizeof bytes)) return status::kFormatFile;
                aiff::parseSoundHeader(bytes, sound);
                ssnd = ck;
                haveSsnd = true;
            }
            // A chunk reaching beyond the form or the file ends the walk (a
            // cut-short "SSND" still holds what the file holds).
            if (!ck.endsWithin(form) || ck.dataEnd() > io_.size() || io_.ascend(ck) != riff::Status::Ok) break;
        }
        if (!haveComm) return status::kFormatFile;
        const auto enc = aiff::encodingOf(comm_);
        if (!enc) return failWith(status::kFormatNotSupport, compressionRefusal());
        if (comm_.channels > StereoDownmix::kMaxChannels)
            return failWith(status::kFormatNotSupport, "AIFF files with " + std::to_string(comm_.channels) +
                                                           " channels are not supported: 1 to 8 are");
        const double rate = std::round(comm_.rate);
        if (rate < kMinPcmRate || rate > kMaxPcmRate) return status::kFormatNotSupport;
        encoding_ = *enc;
        sampleBytes_ = aiff::bytesPerSample(comm_);
        storedBlock_ = sampleBytes_ * comm_.channels;
        rate_ = static_cast<uint32_t>(rate);
        full_ = recordOf(comm_, encoding_, rate_);
        if (sampleBytes_ == 3 || sampleBytes_ == 4 || isFloat(encoding_))
            deep_ = encoding_ == aiff::Encoding::Float32   ? DeepEncoding::Float32
                    : encoding_ == aiff::Encoding::Float64 ? DeepEncoding::Float64
                    : sampleBytes_ == 3                    ? DeepEncoding::Int24
                                                           : DeepEncoding::Int32;
        // The speakers a "CHAN" bitmap names, when it names one per channel.
        if (mask && std::popcount(*mask) == comm_.channels) channelMask_ = *mask;
        if (comm_.channels > 2) downmix_.emplace(comm_.channels, channelMask_);
        chooseOwnForm();
        chooseForm();

        // No "SSND" (a file of no frames may leave it out): nothing to read.
        if (!haveSsnd) return status::kOk;
        const uint64_t start = ssnd.dataOffset + aiff::kSoundHeaderSize + sound.offset;
        if (sound.offset > ssnd.size - aiff::kSoundHeaderSize) return status::kFormatFile;
        const uint64_t end = std::min<uint64_t>(ssnd.dataEnd(), io_.size());
        const uint64_t held = end > start ? (end - start) / storedBlock_ : 0;
        dataOffset_ = start;
        dataSize_ = std::min<uint64_t>(comm_.frames, held) * storedBlock_;
        return status::kOk;
    }

    // Narrowed to 16-bit stereo, or as the file holds them. Positions are
    // kept in stored bytes, so the frame stays where it was.
    void useNative(bool on) override {
        if (on == native_ || ownForm_.nChannels == 0) return;
        native_ = on;
        chooseForm();
    }

    uint64_t decodedLength() const override { return decodedFor(dataSize_); }
    uint64_t sourceFor(uint64_t fileBytes) const override {
        return writing_ ? fileBytes : fileBytes / file_.nBlockAlign * storedBlock_;
    }
    uint64_t decodedFor(uint64_t sourceBytes) const override {
        return writing_ ? sourceBytes : sourceBytes / storedBlock_ * file_.nBlockAlign;
    }
    uint64_t sourceLeft() const override { return writing_ || dataSize_ < pos_ ? 0 : dataSize_ - pos_; }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (writing_) return 0;
        uint64_t s = std::min({sourceBytes, sourceLeft(), kMaxStep});
        s -= s % storedBlock_;
        if (s == 0) return 0;
        if (io_.seek(static_cast<int64_t>(dataOffset_ + pos_)) < 0) return status::kFileAccess;
        source_.resize(s);
        const int64_t got = io_.read(source_.data(), s);
        if (got < 0) return systemFailure();
        const uint64_t frames = static_cast<uint64_t>(got) / storedBlock_;
        const size_t old = out.size();
        out.resize(old + frames * file_.nBlockAlign);
        toFileForm(source_.data(), frames, out.data() + old);
        pos_ += frames * storedBlock_;
        return static_cast<int32_t>(frames * file_.nBlockAlign);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (writing_) return status::kInvalidOperation;
        if (request.beforeStart) return status::kFileAccess;
        const uint64_t target = std::min(sourceFor(std::min(request.fileBytes, decodedLength())), dataSize_);
        pos_ = target - target % storedBlock_;
        result.fileBytes = decodedFor(pos_);
        return status::kOk;
    }

    std::string describe() const override {
        const std::string names = codecDescription(recordBytes(full_));
        if (names.empty()) return {};
        if (!aifc_) return "AIFF: " + names;
        std::string type = riff::fourCCToString(comm_.compression);  // "sowt", "fl32", "raw "
        type.erase(type.find_last_not_of(' ') + 1);
        return "AIFF-C " + type + ": " + names;
    }

    // --- writing -------------------------------------------------------------

    // The PCM form the settings chose: 8-, 16-, 24- or 32-bit integers (plain
    // AIFF) or 32-bit floats (AIFF-C "fl32"), in 1 to 8 channels (in WAV's
    // order, as the reader takes them); samples reach encode()
    // little-endian, as a WAV file holds them.
    int16_t prepareWriting(const FullFormat& full) {
        const WAVEFORMATEX h = headerOf(full);
        const bool floats = h.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT && h.wBitsPerSample == 32;
        const bool integers =
            h.wFormatTag == acm::WAVE_FORMAT_PCM &&
            (h.wBitsPerSample == 8 || h.wBitsPerSample == 16 || h.wBitsPerSample == 24 || h.wBitsPerSample == 32);
        if ((!floats && !integers) || h.nChannels < 1 || h.nChannels > StereoDownmix::kMaxChannels ||
            h.nSamplesPerSec < kMinPcmRate || h.nSamplesPerSec > kMaxPcmRate)
            return failWith(status::kFormatNotSupport,
                            "AIFF is written with 8-, 16-, 24- or 32-bit integers or 32-bit floats, in 1 to 8 "
                            "channels");
        WAVEFORMATEX pcm = acm::makePcmFormat(h.nSamplesPerSec, h.nChannels, h.wBitsPerSample);
        if (floats) pcm.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
        full_ = fullFormatOf(pcm);
        file_ = pcm;
        if (floats || pcm.wBitsPerSample > 16 || pcm.nChannels > 2) ownForm_ = pcm;
        storedBlock_ = pcm.nBlockAlign;
        sampleBytes_ = pcm.wBitsPerSample / 8;
        comm_ = {};
        comm_.channels = pcm.nChannels;
        comm_.bits = pcm.wBitsPerSample;
        comm_.rate = pcm.nSamplesPerSec;
        if (floats) {
            aifc_ = comm_.aifc = true;
            comm_.compression = aiff::kFl32;
            comm_.compressionName = kFl32Name;
        }
        writing_ = true;
        return status::kOk;
    }

    // "FORM" "AIFF" with "COMM" (its frame count patched at the end) and an
    // "SSND" whose samples follow its 8-byte header; "FORM" "AIFC" begins
    // with its version stamp ("FVER") before them.
    int16_t start(const std::string& path) {
        path_ = path;
        if (io_.open(path, riff::Mode::Create) != riff::Status::Ok) return systemFailure();
        form_.formType = aifc_ ? aiff::kAifc : aiff::kAiff;
        const std::vector<uint8_t> bytes = aiff::makeComm(comm_);
        riff::Chunk ck;
        ck.id = aiff::kComm;
        ck.bigEndian = true;
        const uint8_t header[aiff::kSoundHeaderSize] = {};
        ssnd_.id = aiff::kSsnd;
        ssnd_.bigEndian = true;
        if (io_.createChunk(form_, riff::Create::Form) != riff::Status::Ok || (aifc_ && !writeVersion()) ||
            io_.createChunk(ck) != riff::Status::Ok)
            return failCreate();
        commOffset_ = ck.dataOffset;
        if (!io_.writeExact(bytes.data(), bytes.size()) || io_.ascend(ck) != riff::Status::Ok || !writeLayout() ||
            io_.createChunk(ssnd_) != riff::Status::Ok || !io_.writeExact(header, sizeof header) ||
            io_.flush() != riff::Status::Ok)
            return failCreate();
        dataOffset_ = io_.position();
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (!writing_ || finished_) return status::kFileAccess;
        bytes -= bytes % storedBlock_;
        if (bytes == 0) return status::kOk;
        // 8-bit AIFF is signed, everything else big-endian.
        stored_.resize(bytes);
        if (sampleBytes_ == 1) {
            for (size_t i = 0; i < bytes; ++i) stored_[i] = pcm[i] ^ 0x80;
        } else {
            reverseSamples(pcm, bytes / sampleBytes_, sampleBytes_, stored_.data());
        }
        if (io_.seek(static_cast<int64_t>(dataOffset_ + dataSize_)) < 0 || !io_.writeExact(stored_.data(), bytes))
            return systemFailure();
        dataSize_ += bytes;
        return status::kOk;
    }

    // The frame count, the "SSND" size (with its pad byte) and the form
    // size become what was written; the first failure is the one reported.
    // "SSND" stays the last chunk, so chunks added later (text, "ID3 ")
    // follow the samples whatever their depth.
    int16_t finish(uint64_t /*framesWritten*/) override {
        if (!writing_) {
            io_.close();
            return status::kOk;
        }
        if (finished_) return failWith(status::kFileAccess, "the file is closed");
        finished_ = true;
        int16_t st = status::kOk;
        uint8_t frames[4];
        aiff::writeBE32(frames, static_cast<uint32_t>(std::min<uint64_t>(dataSize_ / storedBlock_, 0xFFFFFFFFu)));
        ssnd_.dirty = form_.dirty = true;
        riff::Status r = io_.seek(static_cast<int64_t>(dataOffset_ + dataSize_)) < 0 ? riff::Status::CannotSeek
                                                                                       : io_.ascend(ssnd_);
        if (r == riff::Status::Ok) r = io_.ascend(form_);
        if (r == riff::Status::CannotExpand)
            st = failWith(status::kFileAccess, "the file has grown beyond what an AIFF file can describe (4 GiB)");
        else if (r != riff::Status::Ok || io_.seek(static_cast<int64_t>(commOffset_ + aiff::kCommFramesOffset)) < 0 ||
                 !io_.writeExact(frames, sizeof frames))
            st = systemFailure();
        if (io_.close() != riff::Status::Ok && st == status::kOk) st = systemFailure();
        return st;
    }

private:
    // The samples as they are, when they are not the narrowed form: deeper
    // than 16 bits, or in more than two channels. The channels keep the
    // file's order, taken for WAV's order of the usual layout of the count:
    // sox and ffmpeg write and read multichannel AIFF so (ffmpeg names 5.1
    // in WAV order in a "CHAN" chunk). Apple's AIFF-C documentation of 1991
    // has orders of its own; its quad (front left, front right, rear left,
    // rear right) is WAV's, copies of its three-channel order disagree (left
    // right centre, or left centre right), and its six channels (left, left
    // centre, centre, right, right centre, surround) are not what such
    // files hold. Moving channels after it would scramble them.
    void chooseOwnForm() {
        if (!deep_ && comm_.channels <= 2) return;
        const bool floats = isFloat(encoding_);
        ownForm_ = acm::makePcmFormat(rate_, comm_.channels, static_cast<uint16_t>(floats ? 32 : sampleBytes_ * 8));
        if (floats) ownForm_.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    }

    // The file format of the current form: as they are, or 8-bit PCM for
    // samples of one byte (mono or stereo), else 16-bit PCM in at most two
    // channels.
    void chooseForm() {
        if (native_)
            file_ = ownForm_;
        else
            file_ = acm::makePcmFormat(rate_, downmix_ ? 2 : comm_.channels, sampleBytes_ == 1 && !downmix_ ? 8 : 16);
    }

    ByteOrder storedOrder() const {
        return encoding_ == aiff::Encoding::LittleEndianInt ? ByteOrder::Little : ByteOrder::Big;
    }

    // `frames` stored frames at `in` to the file format at `out`.
    void toFileForm(const uint8_t* in, size_t frames, uint8_t* out) {
        const size_t samples = frames * comm_.channels;
        if (native_ && deep_)
            toOwnDeep(in, samples, out);
        else if (!native_ && downmix_)
            foldDown(in, frames, reinterpret_cast<int16_t*>(out));
        else
            toFilePcm(in, samples, out);
    }

    // Stored samples to the file format: 8-bit unsigned or 16-bit little-endian PCM.
    void toFilePcm(const uint8_t* in, size_t samples, uint8_t* out) {
        if (deep_) {
            narrowTo16(*deep_, in, samples, reinterpret_cast<int16_t*>(out), storedOrder(), dither());
        } else if (sampleBytes_ == 1) {
            // Signed bytes (either byte order) become offset binary, as WAV stores them.
            const uint8_t flip = encoding_ == aiff::Encoding::OffsetBinary8 ? 0x00 : 0x80;
            for (size_t i = 0; i < samples; ++i) out[i] = in[i] ^ flip;
        } else if (encoding_ == aiff::Encoding::LittleEndianInt) {
            std::memcpy(out, in, samples * 2);
        } else {
            reverseSamples(in, samples, 2, out);
        }
    }

    // Deep samples as they are, little-endian: integers left-justified in
    // their bytes as stored (as a WAV file of that depth fills its
    // container) and 32-bit floats byte for byte, 64-bit floats rounded to
    // 32-bit ones.
    void toOwnDeep(const uint8_t* in, size_t samples, uint8_t* out) const {
        if (encoding_ == aiff::Encoding::LittleEndianInt) {
            std::memcpy(out, in, samples * sampleBytes_);
        } else if (encoding_ != aiff::Encoding::Float64) {
            reverseSamples(in, samples, sampleBytes_, out);
        } else {
            for (size_t i = 0; i < samples; ++i, in += 8, out += 4) {
                uint64_t bits = 0;
                for (int b = 0; b < 8; ++b) bits = bits << 8 | in[b];
                double d;
                std::memcpy(&d, &bits, 8);
                const auto f = static_cast<float>(d);
                uint32_t fb;
                std::memcpy(&fb, &f, 4);
                for (int b = 0; b < 4; ++b) out[b] = static_cast<uint8_t>(fb >> (8 * b));
            }
        }
    }

    // More than two channels folded down to 16-bit stereo, as the WAV reader
    // folds them: widened to floats in 16-bit steps first.
    void foldDown(const uint8_t* in, size_t frames, int16_t* out) {
        const size_t samples = frames * comm_.channels;
        if (mixIn_.size() < samples) mixIn_.resize(samples);
        float* wide = mixIn_.data();
        if (deep_) {
            widenToFloat(*deep_, in, samples, wide, storedOrder());
        } else if (sampleBytes_ == 1) {
            const uint8_t toSigned = encoding_ == aiff::Encoding::OffsetBinary8 ? 0x80 : 0x00;
            for (size_t i = 0; i < samples; ++i) wide[i] = static_cast<int8_t>(in[i] ^ toSigned) * 256.0f;
        } else {
            const bool little = encoding_ == aiff::Encoding::LittleEndianInt;
            for (size_t i = 0; i < samples; ++i, in += 2)
                wide[i] = static_cast<int16_t>(little ? in[0] | in[1] << 8 : in[0] << 8 | in[1]);
        }
        downmix_->mix(wide, frames, out, dither());
    }

    // More than two channels: their speakers in a "CHAN" chunk (WAV's usual
    // layout of the count, the order the samples are in), as ffmpeg reads it.
    bool writeLayout() {
        if (comm_.channels <= 2) return true;
        riff::Chunk chan;
        chan.id = aiff::kChan;
        chan.bigEndian = true;
        const std::vector<uint8_t> bytes = aiff::makeChan(StereoDownmix::usualMask(comm_.channels));
        return io_.createChunk(chan) == riff::Status::Ok && io_.writeExact(bytes.data(), bytes.size()) &&
               io_.ascend(chan) == riff::Status::Ok;
    }

    bool writeVersion() {
        riff::Chunk fver;
        fver.id = aiff::kFver;
        fver.bigEndian = true;
        uint8_t stamp[4];
        aiff::writeBE32(stamp, kAifcVersion1);
        return io_.createChunk(fver) == riff::Status::Ok && io_.writeExact(stamp, sizeof stamp) &&
               io_.ascend(fver) == riff::Status::Ok;
    }

    std::string compressionRefusal() const {
        if (!comm_.aifc || comm_.compression == aiff::kNone)
            return "AIFF samples of " + std::to_string(comm_.bits) + " bits are not supported";
        std::string text = "AIFF-C compression \"" + riff::fourCCToString(comm_.compression) + "\"";
        if (!comm_.compressionName.empty()) text += " (" + comm_.compressionName + ")";
        return text + " is not supported";
    }

    // A failure of the file itself, with the system's reason when it gave one.
    int16_t systemFailure() {
        std::string why = riff::errorText(io_.error());
        return failWith(status::kFileAccess, why);
    }

    // A header that could not be written leaves no file behind.
    int16_t failCreate() {
        const int16_t st = systemFailure();
        io_.close();
        ::unlink(path_.c_str());
        return st;
    }

    riff::File io_;
    std::string path_;
    aiff::Comm comm_;
    bool aifc_ = false;
    aiff::Encoding encoding_ = aiff::Encoding::BigEndianInt;
    uint32_t rate_ = 0;
    std::optional<DeepEncoding> deep_;      // stored samples deeper than 16 bits
    std::optional<StereoDownmix> downmix_;  // more than two channels, folded down here
    bool native_ = false;                   // handed on as they are (useNative)
    std::vector<float> mixIn_;              // stored samples widened for the fold-down
    uint32_t sampleBytes_ = 2;              // bytes of one stored sample
    uint32_t storedBlock_ = 2;              // bytes of one stored frame
    uint64_t dataOffset_ = 0;               // file offset of the first sample frame
    uint64_t dataSize_ = 0;                 // bytes of whole frames to read, or written
    uint64_t pos_ = 0;                      // from the start of the samples
    bool writing_ = false;
    bool finished_ = false;
    riff::Chunk form_{};
    riff::Chunk ssnd_{};
    uint64_t commOffset_ = 0;
    std::vector<uint8_t> source_;
    std::vector<uint8_t> stored_;
};

}  // namespace

int16_t openAiff(const OpenRequest& request, std::unique_ptr<Track>& track) {
    return openReadOnly<AiffTrack>(request, track);
}

int16_t createAiff(const CreateRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<AiffTrack>();
    // The PCM form is settled before the file is touched, so a format that
    // cannot be written leaves no file behind.
    int16_t st = t->prepareWriting(request.settings->full);
    if (st < 0) return refuse(request, st, t->cause());
    if ((st = t->start(request.path)) < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
