#include "avi_track.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "acm/acm.h"
#include "avifile/avifile.h"

namespace qoro::audiofile {

namespace {

// The most stream bytes one decode call reads.
constexpr uint64_t kMaxStep = uint64_t{1} << 24;
// The largest data chunk a stream of one-chunk samples may have.
constexpr size_t kMaxChunk = size_t{1} << 24;
// The largest constant-size sample believed: a block of sound is at most
// 65535 bytes (the format record's block alignment is 16 bits).
constexpr uint32_t kMaxSampleBytes = 65535;

class AviTrack final : public Track {
public:
    AviTrack() { kind_ = ContainerKind::Avi; }

    int16_t open(const std::string& path) {
        avifile::File avi;  // AVIFileOpenA
        if (!avi.open(path)) {
            std::FILE* probe = std::fopen(path.c_str(), "rb");
            if (!probe) return status::kFileAccess;
            std::fclose(probe);
            return status::kFormatFile;  // readable, but not an AVI file
        }
        auto stream = avi.stream(avifile::kStreamTypeAudio, 0);  // AVIFileGetStream("auds", 0)
        if (!stream) return status::kFormatFile;
        stream_.emplace(std::move(*stream));
        avi.close();  // the stream keeps what it needs

        const std::vector<uint8_t>& record = stream_->format();  // AVIStreamReadFormat
        if (record.size() < 16) return status::kFormatFile;
        WAVEFORMATEX w{};
        std::memcpy(&w, record.data(), std::min(record.size(), sizeof w));
        if (record.size() < sizeof w || w.wFormatTag == acm::WAVE_FORMAT_PCM) w.cbSize = 0;
        if (w.cbSize > record.size() - std::min(record.size(), sizeof w) || w.cbSize > kFullFormatSize - sizeof w)
            return status::kFormatFile;
        if (w.nBlockAlign == 0 || w.nChannels == 0 || w.nSamplesPerSec == 0) return status::kFormatFile;
        full_.fill(0);
        std::memcpy(full_.data(), &w, sizeof w);
        if (w.cbSize) std::memcpy(full_.data() + sizeof w, record.data() + sizeof w, w.cbSize);

        // The data: stream length x block alignment, as far as the file holds it.
        const avifile::StreamInfo& info = stream_->info();  // AVIStreamInfoA
        const uint64_t held = stream_->dataBytes();
        unit_ = info.sampleSize;
        // A sample larger than all the stream's data (or than any block of
        // sound) is a damaged header, not a sample: the stream is read in the
        // format's blocks, as far as its chunks hold them.
        if (unit_ != 0 && (unit_ > kMaxSampleBytes || unit_ > held)) unit_ = w.nBlockAlign;
        const uint64_t stated = uint64_t{info.length} * (unit_ ? unit_ : w.nBlockAlign);
        // Whole samples only: a part of one at the end cannot be read.
        dataSize_ = unit_ ? std::min(stated, held - held % unit_) : held;
        return prepareCodec(w);
    }

    uint64_t decodedLength() const override { return decodedFor(dataSize_); }
    uint64_t sourceFor(uint64_t fileBytes) const override {
        if (pcm_) return fileBytes;
        size_t s = 0;
        if (read_.size(clampSize(fileBytes), acm::Direction::DestinationToSource, s) != acm::Result::Ok) return 0;
        return s;
    }
    uint64_t decodedFor(uint64_t sourceBytes) const override {
        if (pcm_) return sourceBytes - sourceBytes % file_.nBlockAlign;
        size_t d = 0;
        if (read_.size(clampSize(sourceBytes), acm::Direction::SourceToDestination, d) != acm::Result::Ok) return 0;
        return d;
    }
    uint64_t sourceLeft() const override { return dataSize_ > pos_ ? dataSize_ - pos_ : 0; }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        uint64_t s = std::min({sourceBytes, sourceLeft(), kMaxStep});
        if (pcm_) s -= s % file_.nBlockAlign;
        if (s == 0) return 0;
        source_.resize(s);
        const size_t got = readBytes(pos_, source_.data(), static_cast<size_t>(s));  // AVIStreamRead
        if (got == 0) return 0;                                                      // a failed read ends reading early
        if (pcm_) {
            const size_t whole = got - got % file_.nBlockAlign;
            out.insert(out.end(), source_.begin(), source_.begin() + static_cast<std::ptrdiff_t>(whole));
            pos_ += whole;
            return static_cast<int32_t>(whole);
        }
        size_t used = 0;
        const int32_t produced =
            decodeThroughStream(read_, std::span<const uint8_t>(source_.data(), got), file_.nBlockAlign, out, used);
        if (produced < 0) return produced;
        pos_ += used;
        if (used == 0) pos_ = dataSize_;  // nothing decodable left
        return produced;
    }

    // Only the container position moves.
    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (request.beforeStart) return status::kFileAccess;
        const uint16_t block = headerOf(full_).nBlockAlign;
        uint64_t target = std::min(blockFor(std::min(request.fileBytes, decodedLength()), block, request.backFromEnd), dataSize_);
        if (block > 1) target -= target % block;
        pos_ = target;
        result.fileBytes = decodedFor(pos_);
        return status::kOk;
    }

    int16_t encode(const uint8_t*, size_t) override { return status::kInvalidOperation; }

    int16_t finish(uint64_t) override {
        read_.close();
        stream_.reset();  // AVIStreamRelease
        return status::kOk;
    }

    std::string describe() const override {
        const WAVEFORMATEX h = headerOf(full_);
        return describeOpenedFile(DescribedKind::Avi, recordBytes(full_), static_cast<long>(h.nSamplesPerSec),
                                  h.wBitsPerSample);
    }

private:
    static size_t clampSize(uint64_t n) { return static_cast<size_t>(std::min<uint64_t>(n, 0xFFFFFFFFu)); }

    int16_t prepareCodec(const WAVEFORMATEX& w) {
        if (w.wFormatTag == acm::WAVE_FORMAT_PCM) {
            const WAVEFORMATEX h = acm::makePcmFormat(w.nSamplesPerSec, w.nChannels, w.wBitsPerSample);
            if (!usablePcm(h)) return status::kFormatNotSupport;
            std::memcpy(full_.data(), &h, sizeof h);
            file_ = h;
            pcm_ = true;
            return status::kOk;
        }
        WAVEFORMATEX pcm{};
        if (const int16_t st = suggestedPcmForm(full_, pcm); st != status::kOk) return st;
        file_ = pcm;
        pcm_ = false;
        if (read_.open(recordBytes(full_), acm::asBytes(file_).first(16)) != acm::Result::Ok) return status::kAcmDriver;
        return status::kOk;
    }

    // Stream bytes [at, at + n) into dst; returns the bytes copied (fewer at
    // the end of the data or when the file cannot be read).
    size_t readBytes(uint64_t at, uint8_t* dst, size_t n) {
        return unit_ ? readBlocks(at, dst, n) : readChunks(at, dst, n);
    }

    // Constant-size samples: the stream's bytes themselves (whole samples
    // only, as dataSize_ counts them). Nothing is allocated here: the sizes
    // in the file decide how much can be read, never how much is set aside.
    size_t readBlocks(uint64_t at, uint8_t* dst, size_t n) {
        const int64_t got = stream_->readBytes(at, std::span<uint8_t>(dst, n));
        return got > 0 ? static_cast<size_t>(got) : 0;
    }

    // One sample per data chunk: the chunks are located by their stream byte
    // offsets, learnt as they are read.
    size_t readChunks(uint64_t at, uint8_t* dst, size_t n) {
        size_t copied = 0;
        while (copied < n) {
            const uint64_t p = at + copied;
            // Find (or learn) the chunk that holds byte p.
            size_t k = chunkFor(p);
            if (k == kNoChunk || !loadChunk(k)) break;
            const uint64_t within = p - starts_[k];
            const size_t take = std::min<size_t>(n - copied, chunk_.size() - static_cast<size_t>(within));
            if (take == 0) break;
            std::memcpy(dst + copied, chunk_.data() + within, take);
            copied += take;
        }
        return copied;
    }

    static constexpr size_t kNoChunk = static_cast<size_t>(-1);

    size_t chunkFor(uint64_t p) {
        // starts_[k] is known for k < starts_.size(); ends_ likewise.
        while (ends_.empty() || ends_.back() <= p) {
            const size_t k = ends_.size();
            if (k >= stream_->chunkCount() || !loadChunk(k)) return kNoChunk;
        }
        const auto it = std::upper_bound(ends_.begin(), ends_.end(), p);
        return static_cast<size_t>(it - ends_.begin());
    }

    bool loadChunk(size_t k) {
        if (k == loaded_) return true;
        if (chunk_.capacity() < 4096) chunk_.reserve(4096);
        chunk_.resize(std::max<size_t>(chunk_.capacity(),
                                       std::min<size_t>(stream_->info().suggestedBufferSize, size_t{1} << 20)));
        for (;;) {
            size_t got = 0;
            const int64_t r = stream_->read(k, 1, chunk_, &got);
            if (r < 0) return false;
            if (r == 1) {
                chunk_.resize(got);
                break;
            }
            if (chunk_.size() >= kMaxChunk) return false;  // larger than any sound chunk
            chunk_.resize(std::max<size_t>(chunk_.size() * 2, 4096));
        }
        if (k == ends_.size()) {
            starts_.push_back(ends_.empty() ? 0 : ends_.back());
            ends_.push_back(starts_.back() + chunk_.size());
        }
        loaded_ = k;
        return k < ends_.size();
    }

    std::optional<avifile::Stream> stream_;
    uint32_t unit_ = 0;  // bytes per stream sample, 0: one sample per chunk
    bool pcm_ = true;
    uint64_t dataSize_ = 0;
    uint64_t pos_ = 0;  // container position: bytes from the stream start
    acm::Stream read_;
    std::vector<uint8_t> source_;
    std::vector<uint8_t> chunk_;
    size_t loaded_ = kNoChunk;
    std::vector<uint64_t> starts_, ends_;
};

}  // namespace

int16_t openAvi(const OpenRequest& request, std::unique_ptr<Track>& track) {
    if (request.readWrite) return status::kInvalidOperation;
    auto t = std::make_unique<AviTrack>();
    const int16_t st = t->open(request.path);
    if (st < 0) return st;
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
