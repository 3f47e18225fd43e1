#include "mpeg_file_decoder.h"

#include <sys/stat.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/dsp/polyphase.h"
#include "genre/genre.h"
#include "tags/id3v1.h"

namespace qoro::mpeg {

// The codec's codes are the decoder's: decodeFrame passes them on.
static_assert(MpegCodec::kEndOfInput == kMpegErrEndOfInput);
static_assert(MpegCodec::kDecodeFault == kMpegErrFrameDecoding);

namespace {

// The decoder names only the first 80 genres, with its own spelling of two
// of them.
constexpr int kDecoderGenres = 80;

std::string decoderGenre(int index) {
    if (index == 40) return "AlternRock";
    if (index == 64) return "Native American";
    return std::string(genre::toString(index));
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

// The file (or standard input) the codec reads, with the position it stands
// at.
class MpegFileDecoder::FileInput final : public MpegCodecHost {
public:
    explicit FileInput(std::optional<StreamRegion> region) : region_(region) {}
    ~FileInput() override {
        if (file_ && !isStdin_) std::fclose(file_);
    }
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    // 0, or kMpegErrInvalidParameter, kMpegErrFileNotFound,
    // kMpegErrPermissionDenied or kMpegErrCannotOpenInput.
    int open(const std::string& name) {
        if (name.empty()) return kMpegErrInvalidParameter;
        if (name == "-") {
            file_ = stdin;
            isStdin_ = true;
            return 0;
        }
        file_ = std::fopen(name.c_str(), "rb");
        if (!file_) {
            const int e = errno;
            if (e == ENOENT) return kMpegErrFileNotFound;
            return e == EACCES ? kMpegErrPermissionDenied : kMpegErrCannotOpenInput;
        }
        buffer_.resize(64 * 1024);
        std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
        struct stat st {};
        size_ = fstat(fileno(file_), &st) == 0 ? int64_t(st.st_size) : 0;
        return 0;
    }

    // The tag in the file's last 128 bytes; the file is read from its start
    // again afterwards.
    std::optional<MpegId3v1> readId3v1() {
        std::optional<MpegId3v1> found;
        tags::Id3v1Block block{};
        if (size_ < int64_t(block.size()) || std::fseek(file_, -int(block.size()), SEEK_END) != 0) return found;
        if (std::fread(block.data(), 1, block.size(), file_) == block.size()) {
            if (const auto tag = tags::parseId3v1(block, tags::Id3v1Reading::Decoder)) {
                found.emplace();
                found->title = tag->title;
                found->artist = tag->artist;
                found->album = tag->album;
                found->year = tag->yearText;
                found->comment = tag->comment;
                const auto genreByte = uint8_t(tag->genre);
                if (genreByte < kDecoderGenres) found->genre = decoderGenre(genreByte);
            }
        }
        std::rewind(file_);
        return found;
    }

    bool canSeek() const { return !isStdin_; }
    // The bytes from this offset on (the tags behind the stream) read as
    // zeros: a last frame that runs into them decodes with zeros there, and
    // no tag byte is decoded as sound.
    void zeroFrom(int64_t offset) { zeroFrom_ = std::max<int64_t>(offset, 0); }

    long read(void* buffer, long bytes) override {
        if (bytes <= 0) return 0;
        const size_t n = std::fread(buffer, 1, size_t(bytes), file_);
        if (n == 0 && std::ferror(file_)) return kMpegErrCannotOpenInput;
        const int64_t end = position_ + int64_t(n);
        if (end > zeroFrom_) {
            const int64_t from = std::max(zeroFrom_, position_);
            std::memset(static_cast<char*>(buffer) + (from - position_), 0, size_t(end - from));
        }
        position_ = end;
        return long(n);
    }
    int seek(int64_t offset) override {
        if (isStdin_ || fseeko(file_, off_t(offset), SEEK_SET) != 0) return kMpegErrInternal;
        position_ = offset;
        return 0;
    }
    int64_t position() const override { return position_; }
    int64_t size() const override { return size_; }
    std::optional<StreamRegion> streamRegion() const override { return region_; }

private:
    std::optional<StreamRegion> region_;
    std::FILE* file_ = nullptr;
    bool isStdin_ = false;
    int64_t size_ = 0;  // 0 for standard input
    int64_t position_ = 0;
    int64_t zeroFrom_ = INT64_MAX;
    std::vector<char> buffer_;
};

MpegFileDecoder::MpegFileDecoder() = default;
MpegFileDecoder::~MpegFileDecoder() = default;

void MpegFileDecoder::close() {
    codec_.reset();
    input_.reset();
    status_ = MpegStreamStatus{};
    facts_ = MpegFileFacts{};
    id3v1_.reset();
    heldSamples_ = heldChannels_ = 0;
}

int MpegFileDecoder::takeHeld(int16_t* out, int& channels) {
    const int samples = heldSamples_;
    channels = heldChannels_;
    const size_t n = size_t(samples) * size_t(channels);
    for (size_t i = 0; i < n; ++i) out[i] = dsp::roundToPcm16(held_[i] * 32768.0f);
    heldSamples_ = heldChannels_ = 0;
    return samples;
}

int MpegFileDecoder::takeHeld(float* out, int& channels) {
    const int samples = heldSamples_;
    channels = heldChannels_;
    std::copy_n(held_.data(), size_t(samples) * size_t(channels), out);
    heldSamples_ = heldChannels_ = 0;
    return samples;
}

int MpegFileDecoder::open(const std::string& path, std::optional<StreamRegion> region) {
    close();
    auto input = std::make_unique<FileInput>(region);
    if (const int rc = input->open(path); rc < 0) return rc;
    std::optional<MpegId3v1> tag;
    if (endsWith(path, ".mp3")) tag = input->readId3v1();

    auto codec = std::make_unique<MpegCodec>();
    MpegStreamStatus status;
    if (input->canSeek()) {
        codec->analyse(*input, status);
        input->zeroFrom(codec->streamBegin() + codec->streamBytes());
    }
    // The first frame of music: a stream without one is not an MPEG stream.
    std::array<float, MpegCodec::kMaxOutputSamples> first;
    int samples = 0, channels = 0;
    if (const int rc = codec->decode(*input, status, first.data(), samples, channels); rc < 0) return rc;

    input_ = std::move(input);
    codec_ = std::move(codec);
    status_ = status;
    id3v1_ = std::move(tag);
    facts_.channels = channels;
    if (facts_.channels <= 0 || facts_.channels > 2) facts_.channels = 2;
    facts_.sampleRate = status_.sampleRate;
    facts_.level = status_.level;
    facts_.layer = status_.layer;
    facts_.mode = status_.mode;
    facts_.fileSize = input_->size();

    if (indexed()) {
        codec_->seekToSample(0);
        facts_.vbrHeader = codec_->info().vbrHeader;
        facts_.frameCount = int64_t(codec_->layout().frameCount);
        facts_.samples = codec_->musicLength();
        facts_.expectedPcmBytes = facts_.samples * 2u * uint64_t(facts_.channels);
        facts_.durationMs =
            int(std::min<uint64_t>(facts_.samples * 1000 / uint64_t(std::max(facts_.sampleRate, 1)), INT32_MAX));
        facts_.bitrateKbps = status_.bitrateKbps;
        return 0;
    }
    // Decoded as it comes: the running estimate is all there is, and the
    // first frame cannot be decoded again.
    held_ = first;
    heldSamples_ = samples;
    heldChannels_ = channels;
    refreshFacts();
    return 0;
}

void MpegFileDecoder::refreshFacts() {
    if (indexed()) return;  // exact since the open
    facts_.bitrateKbps = status_.bitrateKbps;
    facts_.durationMs = status_.durationMs;
    facts_.samples = uint64_t(std::llround(double(facts_.durationMs) * facts_.sampleRate / 1000.0));
    facts_.expectedPcmBytes = facts_.samples * 2u * uint64_t(facts_.channels);
    const int spf = facts_.layer == 1 ? 384 : (facts_.layer == 3 && facts_.level != 1) ? 576 : 1152;
    facts_.frameCount = int64_t(double(facts_.samples) / spf + 0.5);
}

template <class Sample>
int MpegFileDecoder::decodeFrameInto(Sample* out, int& samplesPerChannel, int& channels) {
    samplesPerChannel = channels = 0;
    if (!codec_ || !out) return kMpegErrInternal;
    if (heldSamples_ > 0) {
        samplesPerChannel = takeHeld(out, channels);
        return 0;
    }
    return codec_->decode(*input_, status_, out, samplesPerChannel, channels);
}

int MpegFileDecoder::decodeFrame(int16_t* out, int& samplesPerChannel, int& channels) {
    return decodeFrameInto(out, samplesPerChannel, channels);
}

int MpegFileDecoder::decodeFrame(float* out, int& samplesPerChannel, int& channels) {
    return decodeFrameInto(out, samplesPerChannel, channels);
}

template <class Sample>
size_t MpegFileDecoder::readInto(Sample* out, size_t roomBytes) {
    if (!codec_ || !out) return 0;
    constexpr size_t minRoom = MpegCodec::kMaxOutputSamples * sizeof(Sample);
    size_t filled = 0;  // samples
    if (heldSamples_ > 0 && roomBytes >= minRoom) {
        int channels = 0;
        const int samples = takeHeld(out, channels);
        filled += size_t(channels) * size_t(samples);
    }
    // A frame may need minRoom; never write past the caller's room.
    while (roomBytes - filled * sizeof(Sample) >= minRoom) {
        int samples = 0, channels = 0;
        const int rc = codec_->decode(*input_, status_, out + filled, samples, channels);
        if (rc < 0 && rc != kMpegErrFrameDecoding) break;
        filled += size_t(channels) * size_t(samples);
    }
    refreshFacts();
    return filled * sizeof(Sample);
}

size_t MpegFileDecoder::read(int16_t* out, size_t roomBytes) { return readInto(out, roomBytes); }

size_t MpegFileDecoder::read(float* out, size_t roomBytes) { return readInto(out, roomBytes); }

int MpegFileDecoder::seekSample(uint64_t sample) {
    if (!codec_) return kMpegErrInternal;
    if (indexed()) return codec_->seekToSample(sample) ? 0 : kMpegErrInternal;
    const uint64_t rate = uint64_t(std::max(facts_.sampleRate, 1));
    return seekMs(int64_t(std::min<uint64_t>(sample / rate * 1000 + sample % rate * 1000 / rate, INT64_MAX)));
}

int MpegFileDecoder::seekPcmBytes(uint64_t offset) {
    if (!codec_) return kMpegErrInternal;
    const uint64_t frameBytes = 2u * uint64_t(std::max(facts_.channels, 1));
    return seekSample(offset / frameBytes);
}

int MpegFileDecoder::seekMs(int64_t ms) {
    if (!codec_) return kMpegErrInternal;
    if (indexed()) {
        const uint64_t rate = uint64_t(std::max(facts_.sampleRate, 1));
        const uint64_t t = uint64_t(std::max<int64_t>(ms, 0));
        return codec_->seekToSample(t / 1000 * rate + t % 1000 * rate / 1000) ? 0 : kMpegErrInternal;
    }
    // Without an index the time becomes an input offset through the
    // estimated duration (and the information frame's seek table), and
    // decoding goes on from the first frame found there. The seconds pass
    // through a float, as they always have on this path: the offsets reached
    // stay the same.
    const float seconds = float(double(ms) / 1000.0);
    const int duration = status_.durationMs;
    const double fraction = std::clamp(duration > 0 ? double(seconds) * 1000.0 / double(duration) : 0.0, 0.0, 1.0);
    const int64_t size = input_->size();
    const int64_t offset =
        std::clamp<int64_t>(int64_t(double(size) * codec_->fractionToFileFraction(fraction)), 0, size);
    if (const int rc = input_->seek(offset); rc < 0) return rc;
    codec_->seekNotify(offset);
    heldSamples_ = heldChannels_ = 0;
    return 0;
}

const StreamLayout* MpegFileDecoder::layout() const { return indexed() ? &codec_->layout() : nullptr; }

}  // namespace qoro::mpeg
