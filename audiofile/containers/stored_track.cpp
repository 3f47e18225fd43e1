// Containers whose samples lie in one stretch of the file: RIFF WAVE (the
// "data" chunk), raw sample files (the whole file) and the ".dss" speech files
// (measured only). PCM is read and written directly; every other wave format
// goes through a conversion stream of the codec manager.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "acm/acm.h"
#include "containers/containers.h"
#include "containers/mpeg_track.h"
#include "convert/deep_samples.h"
#include "convert/downmix.h"
#include "qoro/AudioFile.h"
#include "riff/riff.h"

namespace qoro::audiofile {

namespace {

constexpr riff::FourCC kWave = riff::fourcc("WAVE");
constexpr riff::FourCC kFmt = riff::fourcc("fmt ");
constexpr riff::FourCC kData = riff::fourcc("data");
constexpr riff::FourCC kFact = riff::fourcc("fact");

// The PCM record itself, with block alignment and byte rate recomputed from
// channels, bits and rate (headers are known to state them wrongly). Channel
// counts and sample widths no array format takes stay as stored (the record
// is refused as it is; recomputing from 65535 channels of 65535 bits would
// only overflow).
WAVEFORMATEX normalisedPcm(const WAVEFORMATEX& w) {
    if (w.nChannels == 0 || w.nChannels > 2 || (w.wBitsPerSample != 8 && w.wBitsPerSample != 16)) return w;
    return acm::makePcmFormat(w.nSamplesPerSec, w.nChannels, w.wBitsPerSample);
}

class StoredTrack final : public Track {
public:
    enum class Layout { RiffWave, Raw, Speech };

    StoredTrack(Layout layout, ContainerKind kind) : layout_(layout) { kind_ = kind; }

    ~StoredTrack() override {
        if (io_.isOpen()) io_.close();
    }

    // --- opening -----------------------------------------------------------

    int16_t openFile(const std::string& path, bool readWrite) {
        readWrite_ = readWrite;
        if (io_.open(path, readWrite ? riff::Mode::ReadWrite : riff::Mode::Read) != riff::Status::Ok)
            return systemFailure();
        return status::kOk;
    }

    // Walks the RIFF WAVE form: the "fmt " record and the "data" stretch.
    // The samples are what the file holds: a "data" size left unknown by a
    // writer to a pipe, or one that promises more than a cut-short file
    // holds, runs to the end of the file (see riff::locateWave).
    int16_t readWaveHeader() {
        riff::WaveLayout w;
        if (riff::locateWave(io_, w) != riff::Status::Ok || w.form.dataOffset != 8 || !w.hasFormat)
            return status::kFormatFile;
        if (io_.seek(static_cast<int64_t>(w.format.dataOffset)) < 0) return status::kFormatFile;
        if (const int16_t st = readFmt(w.format); st < 0) return st;
        if (tagOf(full_) == 0 || !w.hasData) return status::kFormatFile;
        form_ = w.form;
        data_ = w.data;
        dataOffset_ = w.data.dataOffset;
        dataSize_ = w.dataSize;
        dataIsLast_ = w.dataIsLast;
        sizesStale_ = w.sizesStale;
        rf64_ = w.rf64;
        return status::kOk;
    }

    int16_t readFmt(const riff::Chunk& ck) {
        if (ck.size < 16) return status::kFormatFile;
        uint8_t head[sizeof(WAVEFORMATEX)] = {};
        const size_t headSize = std::min<size_t>(ck.size, sizeof head);
        if (!io_.readExact(head, headSize)) return status::kFormatFile;
        WAVEFORMATEX w;
        std::memcpy(&w, head, sizeof w);
        if (headSize < sizeof head) w.cbSize = 0;
        full_.fill(0);
        if (w.wFormatTag == acm::WAVE_FORMAT_PCM || w.wFormatTag == acm::WAVE_FORMAT_ALAW ||
            w.wFormatTag == acm::WAVE_FORMAT_MULAW)
            w.cbSize = 0;
        if (w.cbSize != 0) {
            if (w.cbSize > (kFullFormatSize - sizeof(WAVEFORMATEX)) || sizeof(WAVEFORMATEX) + w.cbSize > ck.size)
                return status::kFormatFile;
            if (!io_.readExact(full_.data() + sizeof(WAVEFORMATEX), w.cbSize)) return status::kFormatFile;
            if (w.wFormatTag == acm::WAVE_FORMAT_EXTENSIBLE) w = plainFromExtensible(w);
        }
        std::memcpy(full_.data(), &w, sizeof w);
        return status::kOk;
    }

    // WAVE_FORMAT_EXTENSIBLE with integer or float samples in one to eight
    // channels is the plain record of its subformat (valid bits below the
    // container's fill its top, so the samples read the same); anything
    // else stays as it is (and finds no decoder).
    WAVEFORMATEX plainFromExtensible(const WAVEFORMATEX& w) {
        if (w.cbSize < 22) return w;
        const uint8_t* ext = full_.data() + sizeof(WAVEFORMATEX);
        const uint16_t validBits = static_cast<uint16_t>(ext[0] | ext[1] << 8);
        const uint16_t subTag = static_cast<uint16_t>(ext[6] | ext[7] << 8);
        static constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                  0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
        if ((subTag != acm::WAVE_FORMAT_PCM && subTag != acm::WAVE_FORMAT_IEEE_FLOAT) ||
            std::memcmp(ext + 8, kGuidTail, 14) != 0 || validBits == 0 || validBits > w.wBitsPerSample ||
            w.nChannels > StereoDownmix::kMaxChannels)
            return w;
        channelMask_ = static_cast<uint32_t>(ext[2] | ext[3] << 8 | ext[4] << 16) | uint32_t{ext[5]} << 24;
        std::fill(full_.begin() + sizeof(WAVEFORMATEX), full_.end(), 0);
        WAVEFORMATEX p = w;
        p.wFormatTag = subTag;
        p.cbSize = 0;
        return p;
    }

    // A headerless stretch: the whole file.
    void useWholeFile() {
        dataOffset_ = 0;
        dataSize_ = io_.size();
        dataIsLast_ = true;
    }

    void setFullFormat(const FullFormat& full) { full_ = full; }

    // Where the samples lie in the file (after readWaveHeader).
    uint64_t dataOffset() const { return dataOffset_; }
    uint64_t dataSize() const { return dataSize_; }

    // The PCM form of the full format and the conversion streams.
    int16_t prepareCodec(bool reading, bool writing) {
        WAVEFORMATEX h = headerOf(full_);
        const auto deep = deepEncodingOf(h.wFormatTag, h.wBitsPerSample);
        const bool many16 = h.wFormatTag == acm::WAVE_FORMAT_PCM && h.wBitsPerSample == 16 && h.nChannels > 2;
        if (deep || many16) {
            // Deeper than 16 bits, or more than two channels: narrowed to
            // 16-bit PCM and folded down to stereo here, or handed on as they
            // are (useNative). Written only as they are, and never rewritten
            // in place.
            if (h.nChannels == 0 || h.nChannels > StereoDownmix::kMaxChannels || h.nSamplesPerSec == 0 ||
                (writing && (reading || deep == DeepEncoding::Float64)))
                return status::kFormatNotSupport;
            deep_ = deep;
            deepBlock_ = static_cast<uint32_t>((deep ? bytesPerSample(*deep) : 2) * h.nChannels);
            if (h.nChannels > 2) downmix_.emplace(h.nChannels, channelMask_);
            const bool isFloat = deep == DeepEncoding::Float32 || deep == DeepEncoding::Float64;
            ownForm_ = acm::makePcmFormat(h.nSamplesPerSec, h.nChannels, isFloat ? 32 : h.wBitsPerSample);
            if (isFloat) ownForm_.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
            native_ = !writing;  // switched over below
            useNative(writing);
            return status::kOk;
        }
        if (h.wFormatTag == acm::WAVE_FORMAT_PCM) {
            h = normalisedPcm(h);
            std::memcpy(full_.data(), &h, sizeof h);
            if (!usablePcm(h)) return status::kFormatNotSupport;
            file_ = h;
            pcm_ = true;
            return status::kOk;
        }
        WAVEFORMATEX pcm{};
        if (const int16_t st = suggestedPcmForm(full_, pcm); st != status::kOk) return st;
        file_ = pcm;
        pcm_ = false;
        if (reading && readStream_.open(recordBytes(full_), acm::asBytes(file_).first(16)) != acm::Result::Ok)
            return status::kAcmDriver;
        if (writing && writeStream_.open(acm::asBytes(file_).first(16), recordBytes(full_)) != acm::Result::Ok)
            return status::kAcmDriver;
        return status::kOk;
    }

    // Narrowed to 16-bit stereo, or as the file holds them. 64-bit floats
    // reach the engine as 32-bit floats.
    void useNative(bool on) override {
        if (!deepBlock_ || on == native_) return;
        native_ = on;
        const WAVEFORMATEX h = headerOf(full_);
        if (!on) {
            file_ = acm::makePcmFormat(h.nSamplesPerSec, downmix_ ? 2 : h.nChannels, 16);
            pcm_ = false;
            return;
        }
        file_ = ownForm_;
        pcm_ = deep_ != DeepEncoding::Float64;  // the stored bytes are the samples
    }

    // --- creating ----------------------------------------------------------

    int16_t createFile(const std::string& path) {
        writing_ = true;
        path_ = path;
        if (io_.open(path, riff::Mode::Create) != riff::Status::Ok) return systemFailure();
        created_ = true;
        dataOffset_ = 0;
        dataSize_ = 0;
        dataIsLast_ = true;
        if (layout_ != Layout::RiffWave) return status::kOk;

        // "fmt " (18 bytes, or 18 + extra for compressed records), "fact", "data".
        form_ = {};
        form_.formType = kWave;
        if (io_.createChunk(form_, riff::Create::Riff) != riff::Status::Ok) return failCreate();
        riff::Chunk fmt;
        fmt.id = kFmt;
        WAVEFORMATEX h = headerOf(full_);
        size_t fmtSize =
            (h.cbSize != 0 && h.wFormatTag != acm::WAVE_FORMAT_PCM) ? sizeof(WAVEFORMATEX) + h.cbSize : sizeof h;
        if (h.wFormatTag == acm::WAVE_FORMAT_PCM) h.cbSize = 0;
        uint8_t record[kFullFormatSize];
        std::memcpy(record, full_.data(), kFullFormatSize);
        std::memcpy(record, &h, sizeof h);
        if (needsExtensible(h)) fmtSize = extensibleRecord(h, record);
        if (io_.createChunk(fmt) != riff::Status::Ok || !io_.writeExact(record, fmtSize) ||
            io_.ascend(fmt) != riff::Status::Ok)
            return failCreate();
        riff::Chunk fact;
        fact.id = kFact;
        const uint8_t zero[4] = {};
        if (io_.createChunk(fact) != riff::Status::Ok) return failCreate();
        factOffset_ = fact.dataOffset;
        if (!io_.writeExact(zero, 4) || io_.ascend(fact) != riff::Status::Ok) return failCreate();
        data_ = {};
        data_.id = kData;
        if (io_.createChunk(data_) != riff::Status::Ok || io_.flush() != riff::Status::Ok) return failCreate();
        dataOffset_ = data_.dataOffset;
        return status::kOk;
    }

    // Integer samples deeper than 16 bits, or more than two channels, are
    // described by WAVE_FORMAT_EXTENSIBLE, as Microsoft's WAVE guidelines ask
    // (readers of the plain record may take its depth or layout wrongly).
    static bool needsExtensible(const WAVEFORMATEX& h) {
        return (h.wFormatTag == acm::WAVE_FORMAT_PCM && (h.wBitsPerSample > 16 || h.nChannels > 2)) ||
               (h.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT && h.nChannels > 2);
    }

    // The 40-byte WAVE_FORMAT_EXTENSIBLE record of plain record `h` in
    // `record`: every bit valid, the usual speakers of the channel count,
    // the subformat GUID of its tag. Returns its size.
    static size_t extensibleRecord(const WAVEFORMATEX& h, uint8_t* record) {
        WAVEFORMATEX x = h;
        x.wFormatTag = acm::WAVE_FORMAT_EXTENSIBLE;
        x.cbSize = 22;
        std::memcpy(record, &x, sizeof x);
        uint8_t* ext = record + sizeof x;
        const uint32_t mask = StereoDownmix::usualMask(h.nChannels);
        static constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                  0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
        ext[0] = static_cast<uint8_t>(h.wBitsPerSample);
        ext[1] = static_cast<uint8_t>(h.wBitsPerSample >> 8);
        for (int i = 0; i < 4; ++i) ext[2 + i] = static_cast<uint8_t>(mask >> (8 * i));
        ext[6] = static_cast<uint8_t>(h.wFormatTag);
        ext[7] = static_cast<uint8_t>(h.wFormatTag >> 8);
        std::memcpy(ext + 8, kGuidTail, sizeof kGuidTail);
        return sizeof x + x.cbSize;
    }

    // A header that could not be written leaves no file behind.
    int16_t failCreate() {
        io_.close();
        ::unlink(path_.c_str());
        created_ = false;
        return failWith(status::kFileAccess, riff::errorText(io_.error()));
    }

    // --- Track ---------------------------------------------------------------

    uint64_t decodedLength() const override {
        if (layout_ == Layout::Speech) return 0;  // no decoder: nothing to read
        return decodedFor(dataSize_);
    }

    uint64_t sourceFor(uint64_t fileBytes) const override {
        // No samples take no source bytes (the codec manager answers a
        // size query for nothing with one block).
        if (pcm_ || layout_ == Layout::Speech || fileBytes == 0) return fileBytes;
        if (deepBlock_) return fileBytes / file_.nBlockAlign * deepBlock_;
        size_t s = 0;
        if (readStream_.size(clampSize(fileBytes), acm::Direction::DestinationToSource, s) != acm::Result::Ok) return 0;
        return s;
    }

    uint64_t decodedFor(uint64_t sourceBytes) const override {
        if (layout_ == Layout::Speech) return 0;
        if (pcm_) return sourceBytes - sourceBytes % file_.nBlockAlign;
        if (deepBlock_) return sourceBytes / deepBlock_ * file_.nBlockAlign;
        size_t d = 0;
        if (readStream_.size(clampSize(sourceBytes), acm::Direction::SourceToDestination, d) != acm::Result::Ok)
            return 0;
        return d;
    }

    uint64_t sourceLeft() const override {
        if (layout_ == Layout::Speech || writing_) return 0;
        return dataSize_ > pos_ ? dataSize_ - pos_ : 0;
    }

    int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) override {
        if (layout_ == Layout::Speech || writing_) return 0;
        uint64_t s = std::min<uint64_t>(sourceBytes, dataSize_ > pos_ ? dataSize_ - pos_ : 0);
        s = std::min<uint64_t>(s, kMaxStep);
        if (pcm_) s -= s % file_.nBlockAlign;
        if (deepBlock_) s -= s % deepBlock_;
        if (s == 0) return 0;
        if (io_.seek(static_cast<int64_t>(dataOffset_ + pos_)) < 0) return status::kFileAccess;
        const size_t old = out.size();
        if (pcm_) {
            out.resize(old + s);
            const int64_t got = io_.read(out.data() + old, s);
            if (got < 0) {
                out.resize(old);
                return systemFailure();
            }
            const uint64_t whole = static_cast<uint64_t>(got) - static_cast<uint64_t>(got) % file_.nBlockAlign;
            out.resize(old + whole);
            pos_ += whole;
            return static_cast<int32_t>(whole);
        }
        source_.resize(s);
        const int64_t got = io_.read(source_.data(), s);
        if (got < 0) return systemFailure();
        if (deepBlock_) {
            const uint64_t frames = static_cast<uint64_t>(got) / deepBlock_;
            out.resize(old + frames * file_.nBlockAlign);
            narrowSource(frames, reinterpret_cast<int16_t*>(out.data() + old));
            pos_ += frames * deepBlock_;
            return static_cast<int32_t>(frames * file_.nBlockAlign);
        }
        size_t used = 0;
        const int32_t produced =
            decodeThroughStream(readStream_, std::span<const uint8_t>(source_.data(), static_cast<size_t>(got)),
                                file_.nBlockAlign, out, used);
        pos_ += used;
        return produced;
    }

    int16_t seek(const SeekRequest& request, SeekResult& result) override {
        if (layout_ == Layout::Speech) {
            result.fileBytes = 0;
            return status::kOk;
        }
        if (request.beforeStart) return status::kFileAccess;
        const uint16_t block = seekBlock();
        uint64_t target = std::min(blockFor(std::min(request.fileBytes, decodedLength()), block, request.backFromEnd), dataSize_);
        if (block > 1) target -= target % block;  // codecs decode from whole blocks only
        if (io_.seek(static_cast<int64_t>(dataOffset_ + target)) < 0) return status::kFileAccess;
        pos_ = target;
        result.fileBytes = decodedFor(pos_);
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (!writing_ && !readWrite_) return status::kFileAccess;
        if (bytes == 0) return status::kOk;
        if (pcm_) return store(pcm, bytes);
        pending_.insert(pending_.end(), pcm, pcm + bytes);
        return encodePending(false);
    }

    // The first failure is the one reported, with its cause: the last
    // samples that could not be encoded or stored, a header that could not
    // be patched, buffered bytes that could not be written at the close.
    int16_t finish(uint64_t framesWritten) override {
        int16_t st = status::kOk;
        std::string firstCause;
        auto note = [&](int16_t e) {
            if (e >= 0 || st < 0) return;
            st = e;
            firstCause = cause_;
        };
        if ((writing_ || readWrite_) && !pending_.empty()) note(encodePending(true));
        if (layout_ == Layout::RiffWave && created_) {
            note(patchCreatedHeader(framesWritten));
        } else if (layout_ == Layout::RiffWave && readWrite_ && !rf64_ &&
                   (grown_ || (written_ && sizesStale_ && dataIsLast_))) {
            // Grown, or written to a file whose sizes never described it
            // (streamed, cut short): the sizes become what the file holds.
            note(patchGrownData());
        }
        readStream_.close();
        writeStream_.close();
        if (io_.isOpen() && io_.close() != riff::Status::Ok && (writing_ || readWrite_)) note(systemFailure());
        cause_ = std::move(firstCause);
        return st;
    }

    std::string describe() const override {
        if (layout_ == Layout::Speech) return {};  // no decoder, no description
        const WAVEFORMATEX h = headerOf(full_);
        return describeOpenedFile(layout_ == Layout::Raw ? DescribedKind::Raw : DescribedKind::Wav, recordBytes(full_),
                                  static_cast<long>(h.nSamplesPerSec), h.wBitsPerSample);
    }

private:
    // The most a single read takes in (keeps counts within 32 bits).
    static constexpr uint64_t kMaxStep = 1u << 28;

    // Amounts handed to the codec manager's size queries: full 64-bit (a
    // streamed or "RF64" file may hold more than 4 GiB), kept far from
    // where its block arithmetic would overflow.
    static size_t clampSize(uint64_t n) { return static_cast<size_t>(std::min<uint64_t>(n, uint64_t{1} << 56)); }

    // The unit positions are rounded to. MPEG audio frames find their own
    // start (each begins with a sync word) and vary in size, so the record's
    // block alignment says nothing about where one begins: rounding to it
    // would put appended frames over the last frames already stored.
    uint16_t seekBlock() const {
        const WAVEFORMATEX h = headerOf(full_);
        if (h.wFormatTag == acm::WAVE_FORMAT_MPEGLAYER3 || h.wFormatTag == acm::WAVE_FORMAT_MPEG) return 1;
        if (deepBlock_) return static_cast<uint16_t>(deepBlock_);
        return h.nBlockAlign;
    }

    // The first `frames` frames of source_ (deepBlock_ bytes each) as 16-bit
    // frames of the file format at `out`.
    void narrowSource(uint64_t frames, int16_t* out) {
        const size_t samples = frames * deepBlock_ / (deep_ ? bytesPerSample(*deep_) : 2);
        if (native_) {  // 64-bit floats handed on as 32-bit ones
            auto* bytes = reinterpret_cast<uint8_t*>(out);
            for (size_t i = 0; i < samples; ++i) {
                double d;
                std::memcpy(&d, source_.data() + 8 * i, 8);
                const auto f = static_cast<float>(d);
                std::memcpy(bytes + 4 * i, &f, 4);
            }
            return;
        }
        if (!downmix_) {
            narrowTo16(*deep_, source_.data(), samples, out, ByteOrder::Little, dither());
            return;
        }
        if (mixIn_.size() < samples) mixIn_.resize(samples);
        float* in = mixIn_.data();
        if (deep_)
            widenToFloat(*deep_, source_.data(), samples, in);
        else
            for (size_t i = 0; i < samples; ++i)
                in[i] = static_cast<int16_t>(source_[2 * i] | source_[2 * i + 1] << 8);
        downmix_->mix(in, frames, out, dither());
    }

    // A failure of the file itself, with the system's reason when it gave one.
    int16_t systemFailure() { return failWith(status::kFileAccess, riff::errorText(io_.error())); }

    // Writes container bytes at the current position of the data.
    int16_t store(const uint8_t* bytes, size_t n) {
        // Chunks that follow the "data" chunk of an existing file are never
        // overwritten. An "RF64" file keeps its 64-bit sizes: its samples are
        // overwritten in place, never extended.
        if (readWrite_ && (!dataIsLast_ || rf64_) && pos_ + n > dataSize_)
            return failWith(status::kFileAccess, "the samples cannot grow into the chunks that follow them");
        if (io_.seek(static_cast<int64_t>(dataOffset_ + pos_)) < 0 || !io_.writeExact(bytes, n) ||
            io_.flush() != riff::Status::Ok)
            return systemFailure();
        written_ = true;
        pos_ += n;
        if (pos_ > dataSize_) {
            dataSize_ = pos_;
            grown_ = true;
        }
        return status::kOk;
    }

    // Encodes the whole blocks of pending PCM (all of it, padded, at the end).
    int16_t encodePending(bool end) {
        size_t room = 0;
        if (writeStream_.size(pending_.size(), acm::Direction::SourceToDestination, room) != acm::Result::Ok)
            return status::kAcmDriver;
        if (room == 0 && !end) return status::kOk;
        encoded_.resize(room + 2048);
        const acm::Conversion c = writeStream_.convert(pending_, encoded_, end);
        if (c.status != acm::Result::Ok) {
            pending_.clear();
            return status::kAcmDriver;
        }
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<std::ptrdiff_t>(std::min(c.sourceUsed, pending_.size())));
        if (end) pending_.clear();
        return store(encoded_.data(), c.destinationUsed);
    }

    // Chunk sizes of a created WAV file, and the "fact" value: the sample
    // frames written, counted in the array format.
    int16_t patchCreatedHeader(uint64_t framesWritten) {
        if (const int16_t st = patchSizes(); st < 0) return st;
        const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(framesWritten, 0xFFFFFFFFu));
        const uint8_t le[4] = {static_cast<uint8_t>(frames), static_cast<uint8_t>(frames >> 8),
                               static_cast<uint8_t>(frames >> 16), static_cast<uint8_t>(frames >> 24)};
        if (io_.seek(static_cast<int64_t>(factOffset_)) < 0 || !io_.writeExact(le, 4)) return systemFailure();
        return status::kOk;
    }

    // An existing file whose "data" chunk (its last chunk) grew.
    int16_t patchGrownData() { return patchSizes(); }

    // The "data" and form sizes become what the file holds. A data chunk
    // beyond what 32-bit sizes describe cannot be patched.
    int16_t patchSizes() {
        if (io_.seek(static_cast<int64_t>(dataOffset_ + dataSize_)) < 0) return systemFailure();
        data_.dirty = true;
        form_.dirty = true;
        riff::Status r = io_.ascend(data_);
        if (r == riff::Status::Ok) r = io_.ascend(form_);
        if (r == riff::Status::CannotExpand)
            return failWith(status::kFileAccess, "the file has grown beyond what a WAV file can describe (4 GiB)");
        if (r != riff::Status::Ok) return systemFailure();
        return status::kOk;
    }

    Layout layout_;
    riff::File io_;
    std::string path_;
    bool readWrite_ = false;
    bool writing_ = false;
    bool created_ = false;
    bool grown_ = false;
    bool written_ = false;     // something was written into an existing file
    bool sizesStale_ = false;  // its stored sizes do not describe it
    bool rf64_ = false;
    bool pcm_ = true;
    std::optional<DeepEncoding> deep_;       // samples narrowed here from this depth
    uint32_t deepBlock_ = 0;                 // bytes per source frame narrowed or folded here
    bool native_ = false;                    // handed on as stored (useNative)
    std::optional<StereoDownmix> downmix_;  // more than two channels
    std::vector<float> mixIn_;               // source samples widened for the fold-down
    uint64_t dataOffset_ = 0;
    uint64_t dataSize_ = 0;
    uint64_t pos_ = 0;  // container position, from the start of the data
    bool dataIsLast_ = true;
    riff::Chunk form_{};
    riff::Chunk data_{};
    uint64_t factOffset_ = 0;
    acm::Stream readStream_;
    acm::Stream writeStream_;
    std::vector<uint8_t> source_;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> encoded_;
};

}  // namespace

int16_t openWav(const OpenRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<StoredTrack>(StoredTrack::Layout::RiffWave, ContainerKind::RiffWave);
    int16_t st = t->openFile(request.path, request.readWrite);
    if (st < 0) return refuse(request, st, t->cause());
    if ((st = t->readWaveHeader()) < 0) return st;
    // MPEG audio in the "data" chunk: the MPEG reader decodes the chunk's
    // frames, format tag 80 always with the built-in decoder, tag 85 with
    // the one the decoder choice names (the built-in one unless it is
    // ACM_DRIVER_OUT). Opened for reading and writing, a tag 85 file keeps
    // the codec manager's stream, which can also encode.
    const uint16_t tag = tagOf(t->fullFormat());
    const bool mpeg =
        tag == acm::WAVE_FORMAT_MPEG ||
        (tag == acm::WAVE_FORMAT_MPEGLAYER3 && (!request.readWrite || request.settings->mp3Decoder == ACM_DRIVER_OUT));
    if (mpeg) return openMpegInWave(request, t->dataOffset(), t->dataSize(), t->fullFormat(), track);
    if ((st = t->prepareCodec(true, request.readWrite)) < 0) return st;
    track = std::move(t);
    return status::kOk;
}

int16_t openRaw(const OpenRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<StoredTrack>(StoredTrack::Layout::Raw, ContainerKind::Raw);
    int16_t st = t->openFile(request.path, request.readWrite);
    if (st < 0) return refuse(request, st, t->cause());
    FullFormat full;
    const RawSettings& raw = request.settings->output.raw;
    if (!buildRawFormat(raw.compression, raw.frequency, raw.channels, raw.bits, full)) return status::kFormatNotSupport;
    t->setFullFormat(full);
    t->useWholeFile();
    if ((st = t->prepareCodec(true, request.readWrite)) < 0) return st;
    track = std::move(t);
    return status::kOk;
}

int16_t openSpeech(const OpenRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<StoredTrack>(StoredTrack::Layout::Speech, ContainerKind::Speech);
    int16_t st = t->openFile(request.path, false);
    if (st < 0) return refuse(request, st, t->cause());
    t->setFullFormat(fullFormatOf(acm::makePcmFormat(8000, 1, 16)));
    t->useWholeFile();
    if ((st = t->prepareCodec(false, false)) < 0) return st;
    track = std::move(t);
    return status::kOk;
}

int16_t createWav(const CreateRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<StoredTrack>(StoredTrack::Layout::RiffWave, ContainerKind::RiffWave);
    t->setFullFormat(request.settings->full);
    // The PCM form and the encoder are settled before the file is touched, so
    // a format that cannot be written leaves no file behind.
    int16_t st = t->prepareCodec(false, true);
    if (st < 0) return st;
    if ((st = t->createFile(request.path)) < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

int16_t createRaw(const CreateRequest& request, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<StoredTrack>(StoredTrack::Layout::Raw, ContainerKind::Raw);
    FullFormat full;
    const RawSettings& raw = request.settings->output.raw;
    if (!buildRawFormat(raw.compression, raw.frequency, raw.channels, raw.bits, full)) return status::kFormatNotSupport;
    t->setFullFormat(full);
    int16_t st = t->prepareCodec(false, true);
    if (st < 0) return st;
    if ((st = t->createFile(request.path)) < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace qoro::audiofile
