#include "telephony_track.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "codecs/g72x/telephony_codec.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

using g72x::TelephonyCodec;

constexpr uint32_t kMinRate = 1;
constexpr uint32_t kMaxRate = 1000000;
// The most source bytes one decode call reads.
constexpr uint64_t kMaxStep = uint64_t{1} << 26;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct Choice {
    ContainerKind kind;
    TelephonyCodec::Format format;
    DescribedKind described;
    long rate;
    int bits;
};

// The coder of each kind, at the rate and code width of the settings.
using ChoiceOf = Choice (*)(const OutputSettings& s);
Choice vox(const OutputSettings& s) {
    return {ContainerKind::Vox, TelephonyCodec::Format::Vox, DescribedKind::Vox, s.voxFrequency, 4};
}
Choice g721(const OutputSettings& s) {
    return {ContainerKind::G721, TelephonyCodec::Format::G721, DescribedKind::G721, s.g721Frequency, 4};
}
Choice g723(const OutputSettings& s) {
    return {ContainerKind::G723, TelephonyCodec::Format::G723, DescribedKind::G723, s.g723Frequency, s.g723Bits};
}
Choice g726(const OutputSettings& s) {
    return {ContainerKind::G726, TelephonyCodec::Format::G726, DescribedKind::G726, s.g726Frequency, s.g726Bits};
}

class TelephonyTrack final : public Track {
public:
    explicit TelephonyTrack(const Choice& c) : codec_(c.format, c.bits), described_(c.described), bits_(c.bits) {
        kind_ = c.kind;
        file_ = acm::makePcmFormat(static_cast<uint32_t>(c.rate), 1, 16);
        full_ = fullFormatOf(file_);
    }

    bool usable() const {
        return codec_.valid() && file_.nSamplesPerSec >= kMinRate && file_.nSamplesPerSec <= kMaxRate;
    }

    // Reading (and, with readWrite, writing in place): the file is kept as it
    // is; its byte length is measured once.
    int16_t open(const std::string& path, bool readWrite) {
        file_ptr_.reset(std::fopen(path.c_str(), readWrite ? "r+b" : "rb"));
        if (!file_ptr_) return systemFailure();
        // Only a regular file has a length to go by (a directory opens too,
        // and a device has none).
        struct stat st {};
        if (::fstat(::fileno(file_ptr_.get()), &st) != 0) return systemFailure();
        if (!S_ISREG(st.st_mode))
            return failWith(status::kFileAccess, S_ISDIR(st.st_mode) ? systemCause(EISDIR) : "not a regular file");
        size_ = static_cast<uint64_t>(st.st_size);
        writable_ = readWrite;
        codec_.reset();
        return status::kOk;
    }

    int16_t create(const std::string& path) {
        file_ptr_.reset(std::fopen(path.c_str(), "wb"));
        if (!file_ptr_) return systemFailure();
        size_ = 0;
        writable_ = true;
        codec_.reset();
        return status::kOk;
    }

    uint64_t decodedLength() const override { return codec_.decodedFor(size_); }
    uint64_t sourceFor(uint64_t fileBytes) const override { return codec_.sourceFor(fileBytes); }
    uint64_t decodedFor(uint64_t sourceBytes) const override { return codec_.decodedFor(sourceBytes); }
    uint64_t sourceUnit() const override { return codec_.sourceUnit(); }
    uint64_t sourceLeft() const override { return size_ > pos_ ? size_ - pos_ : 0; }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (!file_ptr_) return 0;
        const uint64_t left = sourceLeft();
        uint64_t s = std::min({sourceBytes, left, kMaxStep});
        // Whole units, except the short tail of the file, which holds the
        // last whole codes of its group.
        if (s != left || s >= codec_.sourceUnit()) s -= s % codec_.sourceUnit();
        if (s == 0) return 0;
        if (!positionAt(pos_)) return systemFailure();
        buffer_.resize(s);
        const size_t got = std::fread(buffer_.data(), 1, s, file_ptr_.get());
        if (got < s && std::ferror(file_ptr_.get())) return systemFailure();  // not the end: a failed read
        const size_t whole = got == left ? got : got - got % codec_.sourceUnit();
        pos_ += whole;
        return static_cast<int32_t>(codec_.decode(std::span<const uint8_t>(buffer_.data(), whole), out));
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (request.beforeStart) return status::kFileAccess;
        pos_ = codec_.seekTo(std::min(request.fileBytes, decodedLength()));
        result.fileBytes = codec_.decodedFor(pos_);
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (!file_ptr_ || !writable_) return status::kFileAccess;
        codes_.clear();
        codec_.encode(pcm, bytes, codes_);
        if (codes_.empty()) return status::kOk;
        if (!positionAt(pos_) || std::fwrite(codes_.data(), 1, codes_.size(), file_ptr_.get()) != codes_.size())
            return systemFailure();
        pos_ += codes_.size();
        size_ = std::max(size_, pos_);
        return status::kOk;
    }

    // Codes of a partly filled byte (or group) still pending are dropped.
    int16_t finish(uint64_t /*framesWritten*/) override {
        if (!file_ptr_) return status::kOk;
        if (std::fclose(file_ptr_.release()) != 0) return systemFailure();
        return status::kOk;
    }

    std::string describe() const override {
        return describeOpenedFile(described_, recordBytes(full_), static_cast<long>(file_.nSamplesPerSec), bits_);
    }

private:
    // A failed open, read, write or close, with the system's reason.
    int16_t systemFailure() { return failWith(status::kFileAccess, systemCause(errno)); }

    // Every read and write positions the file first (a stream opened for
    // update needs a seek between reads and writes anyway).
    bool positionAt(uint64_t at) { return std::fseek(file_ptr_.get(), static_cast<long>(at), SEEK_SET) == 0; }

    TelephonyCodec codec_;
    DescribedKind described_;
    int bits_;
    FilePtr file_ptr_;
    bool writable_ = false;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;  // container position in bytes
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> codes_;
};

int16_t openKind(ChoiceOf choice, const OpenRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    auto t = std::make_unique<TelephonyTrack>(choice(request.settings->output));
    if (!t->usable()) return status::kFormatNotSupport;
    const int16_t st = t->open(request.path, request.readWrite);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

int16_t createKind(ChoiceOf choice, const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    auto t = std::make_unique<TelephonyTrack>(choice(request.settings->output));
    if (!t->usable()) return status::kFormatNotSupport;
    const int16_t st = t->create(request.path);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace

int16_t openVox(const OpenRequest& r, std::unique_ptr<Track>& t) { return openKind(vox, r, t); }
int16_t createVox(const CreateRequest& r, std::unique_ptr<Track>& t) { return createKind(vox, r, t); }
int16_t openG721(const OpenRequest& r, std::unique_ptr<Track>& t) { return openKind(g721, r, t); }
int16_t createG721(const CreateRequest& r, std::unique_ptr<Track>& t) { return createKind(g721, r, t); }
int16_t openG723(const OpenRequest& r, std::unique_ptr<Track>& t) { return openKind(g723, r, t); }
int16_t createG723(const CreateRequest& r, std::unique_ptr<Track>& t) { return createKind(g723, r, t); }
int16_t openG726(const OpenRequest& r, std::unique_ptr<Track>& t) { return openKind(g726, r, t); }
int16_t createG726(const CreateRequest& r, std::unique_ptr<Track>& t) { return createKind(g726, r, t); }

}  // namespace qoro::audiofile
