#include "mpeg_track.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "acm/acm.h"
#include "mpeg_file_decoder.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

// Version number of a description: MPEG-1 1, MPEG-2 2, MPEG-2.5 3.
long descriptionVersion(int level) { return level == 0 ? 3 : level; }

// Channel code of a description from the header's mode.
long descriptionMode(int mode) {
    switch (mode) {
        case 3: return 1;  // single channel: "Mono"
        case 1: return 3;  // joint stereo
        case 2: return 4;  // dual channel
        default: return 2;
    }
}

int samplesPerFrame(int level, int layer) {
    if (layer == 1) return 384;
    return layer == 3 && level != 1 ? 576 : 1152;
}

// Facts both MPEG paths hand to the object and show in the description.
class MpegTrackBase : public Track {
public:
    void reportFoundSettings(Mp3Settings& mp3, OutputSettings& /*output*/) const override {
        mp3.bitrate = static_cast<int16_t>(facts_.bitrateKbps);
        mp3.frequency = facts_.sampleRate;
        mp3.channels = static_cast<int16_t>(facts_.channels);
    }
    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }
    int16_t finish(uint64_t) override { return status::kOk; }
    std::string describe() const override {
        return describeMpegFile(descriptionVersion(facts_.level), facts_.layer, facts_.sampleRate,
                                descriptionMode(facts_.mode), facts_.bitrateKbps);
    }

protected:
    void setPcm(ContainerKind kind) {
        kind_ = kind;
        file_ = acm::makePcmFormat(static_cast<uint32_t>(facts_.sampleRate),
                                   static_cast<uint16_t>(facts_.channels), 16);
        full_ = fullFormatOf(file_);
    }
    mpeg::MpegFileFacts facts_;
};

// The built-in decoder. Source amounts are counted in decoded bytes: the
// decoder reads the file itself, whole frames at a time.
class MpegTrack final : public MpegTrackBase {
public:
    explicit MpegTrack(std::unique_ptr<mpeg::MpegFileDecoder> decoder) : decoder_(std::move(decoder)) {
        facts_ = decoder_->facts();
        setPcm(ContainerKind::Mpeg);
    }

    // The expected length (from the duration, so not always whole sample
    // frames) rounded to whole sample frames.
    uint64_t decodedLength() const override {
        const uint64_t block = file_.nBlockAlign;
        return (decoder_->facts().expectedPcmBytes + block / 2) / block * block;
    }
    uint64_t sourceFor(uint64_t fileBytes) const override { return fileBytes; }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return sourceBytes; }
    uint64_t sourceUnit() const override { return uint64_t(file_.nBlockAlign) * 1152u; }
    uint64_t sourceLeft() const override {
        if (ended_) return 0;
        // The length is an estimate for files without a VBR header: never
        // announce less than one unit while frames may remain.
        const uint64_t expected = decoder_->facts().expectedPcmBytes;
        const uint64_t left = expected > position_ ? expected - position_ : 0;
        return std::max(left, sourceUnit());
    }

    // Decodes whole frames until at least `sourceBytes` came (or the end).
    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (ended_ || sourceBytes == 0) return 0;
        const uint64_t want = std::min<uint64_t>(sourceBytes, uint64_t{1} << 28);
        uint64_t got = 0;
        while (got < want) {
            // With room want - got + kMinReadBytes - 1 the decoder stops at
            // the first frame that reaches the wanted amount.
            size_t room = static_cast<size_t>(want - got) + mpeg::MpegFileDecoder::kMinReadBytes - 1;
            room -= room & 1;
            const size_t at = out.size();  // even: whole sample frames so far
            out.resize(at + room);
            const size_t n = decoder_->read(reinterpret_cast<int16_t*>(out.data() + at), room);
            out.resize(at + n);
            if (n == 0) {
                ended_ = true;
                break;
            }
            got += n;
        }
        position_ += got;
        return static_cast<int32_t>(got);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        // The target in array bytes, converted to file bytes and milliseconds.
        const uint64_t fileBytes = convertByteCount(request.targetArrayBytes, request.array, file_);
        const uint64_t bytesPerSecond = uint64_t(file_.nSamplesPerSec) * file_.nBlockAlign;
        if (bytesPerSecond == 0) return status::kFileAccess;
        // Whole seconds and the rest apart: no overflow for any 64-bit offset.
        const uint64_t ms = fileBytes / bytesPerSecond * 1000u + fileBytes % bytesPerSecond * 1000u / bytesPerSecond;
        const int64_t clamped = static_cast<int64_t>(std::min<uint64_t>(ms, std::numeric_limits<int32_t>::max()));
        if (decoder_->seekMs(clamped) < 0) return status::kFileAccess;
        ended_ = false;
        position_ = fileBytes - fileBytes % file_.nBlockAlign;
        result.fileBytes = position_;
        result.arrayKnown = true;
        result.arrayBytes = request.targetArrayBytes - request.targetArrayBytes % std::max<uint16_t>(request.array.nBlockAlign, 1);
        return status::kOk;
    }

private:
    std::unique_ptr<mpeg::MpegFileDecoder> decoder_;
    uint64_t position_ = 0;  // decoded file bytes so far
    bool ended_ = false;
};

// MPEGLAYER3WAVEFORMAT for the codec manager, from the stream's facts.
acm::MPEGLAYER3WAVEFORMAT layer3Record(const mpeg::MpegFileFacts& f) {
    acm::MPEGLAYER3WAVEFORMAT r{};
    r.wfx.wFormatTag = acm::WAVE_FORMAT_MPEGLAYER3;
    r.wfx.nChannels = static_cast<uint16_t>(f.channels);
    r.wfx.nSamplesPerSec = static_cast<uint32_t>(f.sampleRate);
    r.wfx.nAvgBytesPerSec = static_cast<uint32_t>(f.bitrateKbps) * 125u;
    r.wfx.nBlockAlign = 1;
    r.wfx.wBitsPerSample = 0;
    r.wfx.cbSize = acm::MPEGLAYER3_WFX_EXTRA_BYTES;
    r.wID = acm::MPEGLAYER3_ID_MPEG;
    r.fdwFlags = acm::MPEGLAYER3_FLAG_PADDING_ISO;
    const uint32_t spf = static_cast<uint32_t>(samplesPerFrame(f.level, 3));
    const uint32_t block = f.sampleRate > 0 ? spf * static_cast<uint32_t>(f.bitrateKbps) * 125u /
                                                  static_cast<uint32_t>(f.sampleRate)
                                            : 1;
    r.nBlockSize = static_cast<uint16_t>(std::clamp<uint32_t>(block, 1, 0xFFFF));
    r.nFramesPerBlock = 1;
    r.nCodecDelay = 1393;
    return r;
}

struct FileCloser {
    void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};

// Layer III through the codec manager's Layer-3 driver: the file's bytes from
// the first are fed to the read stream.
class AcmMpegTrack final : public MpegTrackBase {
public:
    static int16_t open(const std::string& path, const mpeg::MpegFileFacts& facts, std::unique_ptr<Track>& out) {
        auto t = std::unique_ptr<AcmMpegTrack>(new AcmMpegTrack());
        t->facts_ = facts;
        t->setPcm(ContainerKind::MpegThroughAcm);
        t->record_ = layer3Record(facts);
        // The full format is the record the codec manager decodes.
        t->full_ = toFullFormat(acm::asBytes(t->record_));
        t->file_handle_.reset(std::fopen(path.c_str(), "rb"));
        if (!t->file_handle_) return status::kFileAccess;
        if (std::fseek(t->file_handle_.get(), 0, SEEK_END) != 0) return status::kFileAccess;
        const long size = std::ftell(t->file_handle_.get());
        if (size < 0 || std::fseek(t->file_handle_.get(), 0, SEEK_SET) != 0) return status::kFileAccess;
        t->dataSize_ = static_cast<uint64_t>(size);
        if (t->openStream() != acm::Result::Ok) return status::kAcmDriver;
        // The length the stream analysis found (the codec manager's size
        // query knows only the first frame's bitrate).
        const uint64_t block = t->file_.nBlockAlign;
        t->decodedLength_ = (facts.expectedPcmBytes + block / 2) / block * block;
        out = std::move(t);
        return status::kOk;
    }

    uint64_t decodedLength() const override { return decodedLength_; }
    uint64_t sourceFor(uint64_t fileBytes) const override {
        size_t s = 0;
        stream_.size(static_cast<size_t>(fileBytes), acm::Direction::DestinationToSource, s);
        return s;
    }
    uint64_t decodedFor(uint64_t sourceBytes) const override {
        size_t d = 0;
        stream_.size(static_cast<size_t>(sourceBytes), acm::Direction::SourceToDestination, d);
        return d;
    }
    uint64_t sourceUnit() const override { return record_.nBlockSize; }
    uint64_t sourceLeft() const override {
        if (drained_) return 0;
        // Once the bytes are all read, one more call drains what the codec holds.
        return position_ < dataSize_ ? dataSize_ - position_ : record_.nBlockSize;
    }

    // A call that yields nothing would look like the end to the engine: feed
    // on (one block at a time) until the codec gives samples or is drained.
    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        int32_t total = 0;
        for (int guard = 0; guard < 64 && total == 0 && !drained_; ++guard) {
            const int32_t n = decodeOnce(guard == 0 ? sourceBytes : record_.nBlockSize, out);
            if (n < 0) return n;
            total += n;
        }
        return total;
    }

    int32_t decodeOnce(uint64_t sourceBytes, std::vector<uint8_t>& out) {
        if (drained_) return 0;
        const uint64_t n = std::min<uint64_t>(std::min(sourceBytes, dataSize_ - position_), uint64_t{1} << 26);
        std::vector<uint8_t> in(static_cast<size_t>(n));
        const size_t got = n ? std::fread(in.data(), 1, in.size(), file_handle_.get()) : 0;
        in.resize(got);
        position_ += got;
        const bool end = position_ >= dataSize_;
        // Room for what these bytes decode to plus what the codec held back.
        const size_t room = static_cast<size_t>(decodedFor(got + record_.nBlockSize * 4u)) + 8u * 1152u * 4u;
        const size_t at = out.size();
        out.resize(at + room);
        acm::Conversion c = stream_.convert(in, std::span<uint8_t>(out.data() + at, room), end);
        if (c.status != acm::Result::Ok) {
            out.resize(at);
            return status::kAcmDriver;
        }
        size_t produced = c.destinationUsed;
        // The codec may hold more than one call's room (a falling bitrate
        // packs more frames into the bytes): collect it while it fills the room.
        for (int guard = 0; guard < 4096 && c.destinationUsed + file_.nBlockAlign > room; ++guard) {
            out.resize(at + produced + room);
            c = stream_.convert({}, std::span<uint8_t>(out.data() + at + produced, room), end);
            if (c.status != acm::Result::Ok) break;
            produced += c.destinationUsed;
        }
        produced -= produced % file_.nBlockAlign;
        out.resize(at + produced);
        if (c.sourceUsed < got) {
            // Bytes the stream did not take are read again next time.
            const uint64_t back = got - c.sourceUsed;
            position_ -= back;
            std::fseek(file_handle_.get(), static_cast<long>(position_), SEEK_SET);
        }
        if (end && c.sourceUsed >= got && c.destinationUsed + file_.nBlockAlign <= room) drained_ = true;
        return static_cast<int32_t>(produced);
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        uint64_t container = sourceFor(request.offsetFileBytes);
        switch (request.origin) {
            case SeekOrigin::Current: container += position_; break;
            case SeekOrigin::End: container = dataSize_ > container ? dataSize_ - container : 0; break;
            case SeekOrigin::Begin: break;
        }
        container = std::min(container, dataSize_);
        if (std::fseek(file_handle_.get(), static_cast<long>(container), SEEK_SET) != 0) return status::kFileAccess;
        // A fresh stream finds the next frame by itself.
        if (openStream() != acm::Result::Ok) return status::kAcmDriver;
        position_ = container;
        drained_ = false;
        const uint64_t d = decodedFor(container);
        result.fileBytes = d - d % file_.nBlockAlign;
        return status::kOk;
    }

private:
    AcmMpegTrack() = default;
    acm::Result openStream() { return stream_.open(acm::asBytes(record_), acm::asBytes(file_)); }

    acm::MPEGLAYER3WAVEFORMAT record_{};
    acm::Stream stream_;
    std::unique_ptr<std::FILE, FileCloser> file_handle_;
    uint64_t dataSize_ = 0;
    uint64_t decodedLength_ = 0;
    uint64_t position_ = 0;
    bool drained_ = false;
};

int16_t openWith(const OpenRequest& request, bool acmChosen, std::unique_ptr<Track>& track) {
    auto decoder = std::make_unique<mpeg::MpegFileDecoder>();
    if (decoder->open(request.path) < 0) return status::kFormatFile;
    const mpeg::MpegFileFacts& f = decoder->facts();
    if (f.sampleRate <= 0 || f.channels <= 0 || f.layer < 1 || f.layer > 3) return status::kFormatFile;
    const bool forRead = !request.readWrite;
    const bool useAcm =
        forRead && f.layer == 3 &&
        (acmChosen || mpeg::MpegFileDecoder::prefersSystemCodec(f.layer, f.bitrateKbps, forRead));
    if (useAcm) {
        const mpeg::MpegFileFacts facts = f;
        decoder.reset();
        return AcmMpegTrack::open(request.path, facts, track);
    }
    track = std::make_unique<MpegTrack>(std::move(decoder));
    return status::kOk;
}

}  // namespace

int16_t openMpeg(const OpenRequest& request, std::unique_ptr<Track>& track) {
    const bool acm = request.settings && request.settings->mp3Decoder == ACM_DRIVER_OUT;
    return openWith(request, acm, track);
}

int16_t openMpegInWave(const OpenRequest& request, std::unique_ptr<Track>& track) {
    return openMpeg(request, track);
}

}  // namespace qoro::audiofile
