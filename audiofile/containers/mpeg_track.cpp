#include "mpeg_track.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "acm/acm.h"
#include "codecs/mpeg/mpeg_file_decoder.h"
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
    MpegTrackBase() { lossy_ = true; }
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
    // The PCM form of the stream. A WAV file's own record stays its full
    // format (its format tag and byte rate are the file's facts); a record
    // that states no byte rate gets the stream's.
    void setPcm(ContainerKind kind, const FullFormat* stored) {
        kind_ = kind;
        file_ =
            acm::makePcmFormat(static_cast<uint32_t>(facts_.sampleRate), static_cast<uint16_t>(facts_.channels), 16);
        full_ = fullFormatOf(file_);
        if (stored) {
            full_ = *stored;
            WAVEFORMATEX h = headerOf(full_);
            if (h.nAvgBytesPerSec == 0) {
                h.nAvgBytesPerSec = static_cast<uint32_t>(std::max(facts_.bitrateKbps, 0)) * 125u;
                std::memcpy(full_.data(), &h, sizeof h);
            }
        }
    }
    // Sample frames in `bytes` of the file format.
    uint64_t framesIn(uint64_t bytes) const { return bytes / std::max<uint16_t>(file_.nBlockAlign, 1); }
    // Where a seek request lands in array bytes: the target, at most the end.
    uint64_t arrayTarget(const SeekRequest& request) const {
        const uint64_t block = std::max<uint16_t>(request.array.nBlockAlign, 1);
        const uint64_t target = std::min(request.arrayBytes, arrayLength(request.array));
        return target - target % block;
    }
    mpeg::MpegFileFacts facts_;
};

// The built-in decoder. Source amounts are counted in decoded bytes: the
// decoder reads the file itself, whole frames at a time. The file format is
// 16-bit PCM, or (useNative) the synthesis filter bank's 32-bit floats, which
// the 16-bit samples are rounded and clipped from; every count is in the form
// in use, the music (and its trimming) the same samples in both.
class MpegTrack final : public MpegTrackBase {
public:
    MpegTrack(std::unique_ptr<mpeg::MpegFileDecoder> decoder, const FullFormat* stored) : decoder_(std::move(decoder)) {
        facts_ = decoder_->facts();
        setPcm(ContainerKind::Mpeg, stored);
        pcm_ = file_;
        ownForm_ =
            acm::makePcmFormat(static_cast<uint32_t>(facts_.sampleRate), static_cast<uint16_t>(facts_.channels), 32);
        ownForm_.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
        exact_ = decoder_->layout() != nullptr;
    }

    void useNative(bool on) override {
        if (on == native_) return;
        const uint64_t frames = framesIn(position_);
        native_ = on;
        file_ = on ? ownForm_ : pcm_;
        position_ = frames * file_.nBlockAlign;
    }

    uint64_t decodedLength() const override {
        if (exact_) return facts_.samples * file_.nBlockAlign;
        // An input read as it comes: the estimate, in whole sample frames.
        const uint64_t block = file_.nBlockAlign;
        const uint64_t bytes = decoder_->facts().expectedPcmBytes * (block / pcm_.nBlockAlign);
        return (bytes + block / 2) / block * block;
    }
    uint64_t sourceFor(uint64_t fileBytes) const override { return fileBytes; }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return sourceBytes; }
    uint64_t sourceUnit() const override { return uint64_t(file_.nBlockAlign) * 1152u; }
    uint64_t sourceLeft() const override {
        if (ended_) return 0;
        const uint64_t expected = decodedLength();
        const uint64_t left = expected > position_ ? expected - position_ : 0;
        if (exact_) return left;
        // The length is an estimate: never announce less than one unit
        // while frames may remain.
        return std::max(left, sourceUnit());
    }

    // Decodes frames until at least `sourceBytes` came (or the end).
    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (ended_ || sourceBytes == 0) return 0;
        const uint64_t want = std::min<uint64_t>(sourceBytes, uint64_t{1} << 28);
        uint64_t got = 0;
        const size_t minRoom =
            native_ ? mpeg::MpegFileDecoder::kMinFloatReadBytes : mpeg::MpegFileDecoder::kMinReadBytes;
        const size_t sampleBytes = native_ ? sizeof(float) : sizeof(int16_t);
        while (got < want) {
            // With room want - got + minRoom - 1 the decoder stops at the
            // first frame that reaches the wanted amount.
            size_t room = static_cast<size_t>(want - got) + minRoom - 1;
            room -= room % sampleBytes;
            const size_t at = out.size();  // whole sample frames so far
            out.resize(at + room);
            const size_t n = native_ ? decoder_->read(reinterpret_cast<float*>(out.data() + at), room)
                                     : decoder_->read(reinterpret_cast<int16_t*>(out.data() + at), room);
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
        // The target in array bytes, converted to file bytes: a sample of the
        // music, where decoding continues exactly.
        const uint64_t arrayBytes = arrayTarget(request);
        const uint64_t fileBytes = convertByteCount(arrayBytes, request.array, file_);
        const uint64_t sample = framesIn(fileBytes);
        if (decoder_->seekSample(sample) < 0) return status::kFileAccess;
        ended_ = false;
        position_ = std::min(sample * file_.nBlockAlign, decodedLength());
        result.fileBytes = position_;
        result.arrayKnown = true;
        result.arrayBytes = arrayBytes;
        return status::kOk;
    }

private:
    std::unique_ptr<mpeg::MpegFileDecoder> decoder_;
    WAVEFORMATEX pcm_{};  // the 16-bit form
    bool exact_ = false;
    bool native_ = false;    // the floats are handed on (useNative)
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
    const uint32_t block =
        f.sampleRate > 0 ? spf * static_cast<uint32_t>(f.bitrateKbps) * 125u / static_cast<uint32_t>(f.sampleRate) : 1;
    r.nBlockSize = static_cast<uint16_t>(std::clamp<uint32_t>(block, 1, 0xFFFF));
    r.nFramesPerBlock = 1;
    r.nCodecDelay = 1393;
    return r;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

// Layer III through the codec manager's Layer-3 driver. The driver is fed
// the stream's audio frames exactly as the analysis found them (not the
// information frame, tags or bytes between frames; a last frame that runs
// into the tags with zeros there), and its output is cut to the music, so
// the timeline is the built-in decoder's.
class AcmMpegTrack final : public MpegTrackBase {
public:
    static int16_t open(const std::string& path, const mpeg::MpegFileDecoder& analysed, const FullFormat* stored,
                        std::unique_ptr<Track>& out) {
        const mpeg::StreamLayout* layout = analysed.layout();
        if (!layout) return status::kFormatFile;
        auto t = std::unique_ptr<AcmMpegTrack>(new AcmMpegTrack());
        t->facts_ = analysed.facts();
        t->layout_ = *layout;
        t->setPcm(ContainerKind::MpegThroughAcm, stored);
        t->record_ = layer3Record(t->facts_);
        // The full format is the record the codec manager decodes (a WAV
        // file's own record when the stream came in one).
        if (!stored) t->full_ = toFullFormat(acm::asBytes(t->record_));
        t->file_handle_.reset(std::fopen(path.c_str(), "rb"));
        if (!t->file_handle_) return status::kFileAccess;
        if (t->openStream() != acm::Result::Ok) return status::kAcmDriver;
        t->musicEnd_ = t->layout_.skip + t->layout_.length;
        t->startFeeding(0, t->layout_.skip);
        out = std::move(t);
        return status::kOk;
    }

    uint64_t decodedLength() const override { return layout_.length * file_.nBlockAlign; }
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
        if (done()) return 0;
        // Once the frames are all fed, one more call drains what the codec holds.
        return feedFrame_ < layout_.frameCount ? std::max<uint64_t>(bytesLeft(), 1) : record_.nBlockSize;
    }

    // A call that yields nothing would look like the end to the engine: feed
    // on until the codec gives music or the music ends.
    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        int32_t total = 0;
        for (int guard = 0; guard < 4096 && total == 0 && !done(); ++guard) {
            const int32_t n = decodeOnce(guard == 0 ? sourceBytes : record_.nBlockSize, out);
            if (n < 0) return n;
            total += n;
            if (n == 0 && drained_) break;
        }
        return total;
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        const uint64_t arrayBytes = arrayTarget(request);
        const uint64_t sample = std::min(framesIn(convertByteCount(arrayBytes, request.array, file_)), layout_.length);
        const uint64_t wanted = layout_.skip + sample;
        // A fresh stream fed from the frames that bring the decoder to the
        // state it has at the wanted sample.
        if (openStream() != acm::Result::Ok) return status::kAcmDriver;
        if (sample >= layout_.length) {
            startFeeding(layout_.frameCount, musicEnd_);
        } else {
            uint64_t frameStart = 0;
            const uint64_t k = layout_.frameOfSample(wanted, frameStart);
            // The driver wants one frame more than the built-in decoder to
            // settle (its samples then match a decode from the start within
            // its rounding).
            const uint64_t warm = layout_.warmUpStart(k);
            startFeeding(warm > 0 ? warm - 1 : 0, wanted);
        }
        result.fileBytes = sample * file_.nBlockAlign;
        result.arrayKnown = true;
        result.arrayBytes = arrayBytes;
        return status::kOk;
    }

private:
    AcmMpegTrack() = default;
    acm::Result openStream() { return stream_.open(acm::asBytes(record_), acm::asBytes(file_)); }

    bool done() const { return nextOut_ >= musicEnd_ || drained_; }
    uint64_t bytesLeft() const {
        if (feedFrame_ >= layout_.frameCount) return 0;
        const auto last = layout_.frameAt(layout_.frameCount - 1);
        return last.offset + uint64_t(last.length) - layout_.frameAt(feedFrame_).offset;
    }

    void startFeeding(uint64_t frame, uint64_t firstWanted) {
        feedFrame_ = std::min(frame, layout_.frameCount);
        nextOut_ = feedFrame_ < layout_.frameCount ? layout_.firstSampleOf(feedFrame_) : musicEnd_;
        from_ = firstWanted;
        drained_ = false;
        pending_.clear();
    }

    // Appends whole frames of at least `bytes` (one frame at least) to `in`.
    bool gather(uint64_t bytes, std::vector<uint8_t>& in) {
        while (feedFrame_ < layout_.frameCount && (in.empty() || in.size() < bytes) && in.size() < (1u << 22)) {
            const auto f = layout_.frameAt(feedFrame_);
            const size_t at = in.size();
            in.resize(at + static_cast<size_t>(f.length));
            // Frames mostly follow each other: move only over bytes between them.
            if (filePos_ != f.offset && fseeko(file_handle_.get(), static_cast<off_t>(f.offset), SEEK_SET) != 0)
                return false;
            filePos_ = f.offset;
            if (std::fread(in.data() + at, 1, static_cast<size_t>(f.length), file_handle_.get()) !=
                static_cast<size_t>(f.length)) {
                filePos_ = UINT64_MAX;
                return false;
            }
            filePos_ += static_cast<uint64_t>(f.length);
            // A last frame that runs into the tags behind the stream: zeros
            // where the tag bytes stand.
            const uint64_t frameEnd = f.offset + static_cast<uint64_t>(f.length);
            if (frameEnd > layout_.region.end) {
                const uint64_t from = std::max(f.offset, layout_.region.end);
                std::fill(in.begin() + static_cast<std::ptrdiff_t>(at + (from - f.offset)), in.end(), uint8_t{0});
            }
            ++feedFrame_;
        }
        return true;
    }

    int32_t decodeOnce(uint64_t sourceBytes, std::vector<uint8_t>& out) {
        std::vector<uint8_t> in = std::move(pending_);
        pending_.clear();
        if (!gather(sourceBytes, in)) return status::kFileAccess;
        const bool end = feedFrame_ >= layout_.frameCount;
        // Room for what these bytes decode to plus what the codec held back.
        const size_t room = static_cast<size_t>(decodedFor(in.size() + record_.nBlockSize * 4u)) + 8u * 1152u * 4u;
        std::vector<uint8_t> pcm(room);
        acm::Conversion c = stream_.convert(in, std::span<uint8_t>(pcm.data(), room), end);
        if (c.status != acm::Result::Ok) return status::kAcmDriver;
        size_t produced = c.destinationUsed;
        // The codec may hold more than one call's room: collect it while it
        // fills the room.
        for (int guard = 0; guard < 4096 && c.destinationUsed + file_.nBlockAlign > room; ++guard) {
            pcm.resize(produced + room);
            c = stream_.convert({}, std::span<uint8_t>(pcm.data() + produced, room), end);
            if (c.status != acm::Result::Ok) break;
            produced += c.destinationUsed;
        }
        if (c.sourceUsed < in.size() && c.status == acm::Result::Ok)
            pending_.assign(in.begin() + static_cast<std::ptrdiff_t>(c.sourceUsed), in.end());
        if (end && pending_.empty() && c.destinationUsed + file_.nBlockAlign <= room) drained_ = true;
        return keepMusic(pcm.data(), produced / file_.nBlockAlign, out);
    }

    // Of `frames` decoded sample frames (the next ones of the timeline), the
    // music from the wanted sample on.
    int32_t keepMusic(const uint8_t* pcm, uint64_t frames, std::vector<uint8_t>& out) {
        const uint64_t first = nextOut_, last = nextOut_ + frames;
        nextOut_ = last;
        const uint64_t from = std::max(first, from_), to = std::min(last, musicEnd_);
        if (to <= from) return 0;
        const size_t block = file_.nBlockAlign;
        const size_t at = out.size();
        out.insert(out.end(), pcm + (from - first) * block, pcm + (to - first) * block);
        return static_cast<int32_t>(out.size() - at);
    }

    acm::MPEGLAYER3WAVEFORMAT record_{};
    acm::Stream stream_;
    std::unique_ptr<std::FILE, FileCloser> file_handle_;
    mpeg::StreamLayout layout_;
    uint64_t filePos_ = UINT64_MAX;  // where the file stands (unknown at first)
    uint64_t musicEnd_ = 0;          // decoded-sample index where the music ends
    uint64_t feedFrame_ = 0;         // the frame fed next
    uint64_t nextOut_ = 0;           // decoded-sample index of the codec's next output
    uint64_t from_ = 0;              // output before this sample is dropped
    bool drained_ = false;
    std::vector<uint8_t> pending_;  // fed bytes the codec did not take yet
};

int16_t openWith(const OpenRequest& request, bool acmChosen, std::optional<mpeg::StreamRegion> region,
                 const FullFormat* stored, std::unique_ptr<Track>& track) {
    auto decoder = std::make_unique<mpeg::MpegFileDecoder>();
    if (decoder->open(request.path, region) < 0) return status::kFormatFile;
    const mpeg::MpegFileFacts& f = decoder->facts();
    if (f.sampleRate <= 0 || f.channels <= 0 || f.layer < 1 || f.layer > 3) return status::kFormatFile;
    const bool forRead = !request.readWrite;
    const bool useAcm = forRead && f.layer == 3 && decoder->layout() &&
                        (acmChosen || mpeg::MpegFileDecoder::prefersSystemCodec(f.layer, f.bitrateKbps, forRead));
    if (useAcm) return AcmMpegTrack::open(request.path, *decoder, stored, track);
    track = std::make_unique<MpegTrack>(std::move(decoder), stored);
    return status::kOk;
}

}  // namespace

int16_t openMpeg(const OpenRequest& request, std::unique_ptr<Track>& track) {
    const bool acm = request.settings && request.settings->mp3Decoder == ACM_DRIVER_OUT;
    return openWith(request, acm, std::nullopt, nullptr, track);
}

int16_t openMpegInWave(const OpenRequest& request, uint64_t dataOffset, uint64_t dataSize, const FullFormat& stored,
                       std::unique_ptr<Track>& track) {
    // Format tag 80 (Layers I and II) is always the built-in decoder's; tag
    // 85 goes where the decoder choice says.
    const bool acm = tagOf(stored) == acm::WAVE_FORMAT_MPEGLAYER3 && request.settings &&
                     request.settings->mp3Decoder == ACM_DRIVER_OUT;
    const mpeg::StreamRegion region{dataOffset, dataOffset + dataSize};
    return openWith(request, acm, region, &stored, track);
}

int16_t openMpegInWave(const OpenRequest& request, std::unique_ptr<Track>& track) {
    std::unique_ptr<Track> opened;
    const int16_t st = openWav(request, opened);
    if (st < 0) return st;
    if (opened->kind() != ContainerKind::Mpeg && opened->kind() != ContainerKind::MpegThroughAcm)
        return status::kFormatFile;
    track = std::move(opened);
    return status::kOk;
}

}  // namespace qoro::audiofile
