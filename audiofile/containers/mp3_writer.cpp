#include "mp3_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "acm/acm.h"
#include "acm/mpeg_bitrates.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

int32_t mpegVersionBits(long frequency) {
    if (frequency > 31000 && frequency < 49000) return 3;  // MPEG-1
    if (frequency > 15000 && frequency < 25000) return 2;  // MPEG-2
    if (frequency > 7000 && frequency < 13000) return 0;   // MPEG-2.5
    return -1;
}

int32_t frequencyIndex(long frequency) {
    switch (frequency) {
    case 44100:
    case 22050:
    case 11025: return 0;
    case 48000:
    case 24000:
    case 12000: return 1;
    case 32000:
    case 16000:
    case 8000: return 2;
    default: return -1;
    }
}

// Bitrate index of the Layer III tables for the bitrates the header accepts.
int32_t bitrateIndex(bool mpeg1, long kbps) {
    switch (kbps) {
    case 8:
    case 16:
    case 24:
    case 32:
    case 48:
    case 56:
    case 64:
    case 96:
    case 112:
    case 128: break;
    default: return -1;
    }
    return acm::mpegBitrateIndex(mpeg1 ? acm::kMpeg1Row : acm::kMpeg2Row, acm::kLayer3Code, kbps);
}

std::vector<uint8_t> recordOf(const acm::MPEGLAYER3WAVEFORMAT& f) {
    const auto b = acm::asBytes(f);
    return {b.begin(), b.end()};
}

// Writes the encoder's output to the end of the file and flushes it.
bool appendAll(std::FILE* f, const uint8_t* bytes, size_t n) {
    if (n && std::fwrite(bytes, 1, n, f) != n) return false;
    return std::fflush(f) == 0;
}

// Both paths write only.
class Mp3WriteTrack : public WriteOnlyTrack {
public:
    std::string describe() const override { return mp3Description(settings_, choice_); }

protected:
    Mp3WriteTrack(const Mp3Settings& settings, long choice) : settings_(settings), choice_(choice) {}

    int16_t createFile(const std::string& path) {
        fp_.reset(std::fopen(path.c_str(), "w+b"));
        if (!fp_) return writeFailure();
        path_ = path;
        return status::kOk;
    }

    // Closes the file; false when the buffered bytes could not be written.
    bool closeFile() {
        if (!fp_) return true;
        return std::fclose(fp_.release()) == 0;
    }

    // A failed create, write or close, with the system's reason (errno as
    // the failing call left it). The first one is kept until the close.
    int16_t writeFailure() { return failure(status::kFileAccess, systemCause(errno)); }
    int16_t failure(int16_t st, std::string cause) {
        if (cause_.empty()) cause_ = std::move(cause);
        return st;
    }

    Mp3Settings settings_;
    long choice_;
    FilePtr fp_;  // the MP3 file
    std::string path_;
    std::vector<uint8_t> pending_;  // PCM short of a whole encoder chunk
    std::vector<uint8_t> out_;
    bool failed_ = false;
    bool finished_ = false;
};

// --- the encoder library path ------------------------------------------------
class LameTrack final : public Mp3WriteTrack {
public:
    LameTrack(const Mp3Settings& settings, std::shared_ptr<const LameLibrary> library)
        : Mp3WriteTrack(settings, LAME), lib_(std::move(library)) {}

    ~LameTrack() override {
        if (stream_) lib_->closeStream(stream_);
    }

    int16_t start(const CreateRequest& request) {
        config_ = lameConfigFor(settings_);
        uint32_t samples = 0;
        uint32_t outSize = 0;
        HBE_STREAM stream = 0;
        if (lib_->initStream(&config_, &samples, &outSize, &stream) != BE_ERR_SUCCESSFUL || stream == 0)
            return status::kFormatNotSupport;
        stream_ = stream;
        const uint16_t channels = settings_.channels >= 2 ? 2 : 1;
        // A chunk must hold whole sample frames; the library never asks for less.
        if (samples == 0 || samples % channels != 0 || outSize == 0) return status::kFormatNotSupport;
        chunkSamples_ = samples;
        floats_ = lib_->encodeChunkFloat != nullptr;
        sampleBytes_ = floats_ ? 4 : 2;
        chunkBytes_ = size_t{samples} * sampleBytes_;
        outSize_ = outSize;

        full_ = request.settings->full;
        acm::WAVEFORMATEX h = headerOf(full_);
        h.wFormatTag = acm::WAVE_FORMAT_MPEGLAYER3;
        std::memcpy(full_.data(), &h, 2);
        kind_ = ContainerKind::Mpeg;
        // The encoder takes floats where the library can: deeper samples
        // reach it unrounded, and 16-bit ones encode as they always have.
        file_ = acm::makePcmFormat(static_cast<uint32_t>(settings_.frequency), channels, floats_ ? 32 : 16);
        if (floats_) file_.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
        return createFile(request.path);
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (finished_ || !fp_) return status::kFileAccess;
        if (bytes == 0) return status::kOk;
        pending_.insert(pending_.end(), pcm, pcm + bytes);
        size_t used = 0;
        out_.clear();
        int16_t st = status::kOk;
        while (pending_.size() - used >= chunkBytes_) {
            if (!encodeChunk(pending_.data() + used, chunkSamples_)) {
                st = failure(status::kFileAccess, "the MP3 encoder library refused the samples");  // the chunk is lost
                used += chunkBytes_;
                break;
            }
            used += chunkBytes_;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
        if (!appendAll(fp_.get(), out_.data(), out_.size())) st = writeFailure();
        if (st < 0) failed_ = true;
        return st;
    }

    int16_t finish(uint64_t) override {
        if (finished_) return status::kFileAccess;
        finished_ = true;
        bool ok = !failed_ && fp_;
        out_.clear();
        // The last partial chunk is encoded too: samples written are never dropped.
        const size_t frameBytes = size_t{fileFormat().nBlockAlign ? fileFormat().nBlockAlign : 2u};
        const size_t whole = pending_.size() - pending_.size() % frameBytes;
        if (ok && whole > 0 && !encodeChunk(pending_.data(), static_cast<uint32_t>(whole / sampleBytes_))) {
            failure(status::kFileAccess, "the MP3 encoder library refused the samples");
            ok = false;
        }
        pending_.clear();
        const size_t before = out_.size();
        out_.resize(before + outSize_);
        uint32_t produced = 0;
        const bool deinit = lib_->deinitStream(stream_, out_.data() + before, &produced) == BE_ERR_SUCCESSFUL;
        out_.resize(before + (deinit ? std::min<size_t>(produced, outSize_) : 0));
        if (!deinit) {
            failure(status::kFileAccess, "the MP3 encoder library could not finish the stream");
            ok = false;
        }
        lib_->closeStream(stream_);
        stream_ = 0;
        if (fp_ && !appendAll(fp_.get(), out_.data(), out_.size())) {
            writeFailure();
            ok = false;
        }
        if (!closeFile()) {
            writeFailure();
            ok = false;
        }
        if (ok && config_.bWriteVBRHeader && vbrHeaderAllowedAt(settings_.frequency) && lib_->writeVbrHeader)
            lib_->writeVbrHeader(path_.c_str());
        return ok ? status::kOk : status::kFileAccess;
    }

private:
    // Encodes one chunk and appends its output to out_.
    bool encodeChunk(const uint8_t* pcm, uint32_t samples) {
        const size_t before = out_.size();
        out_.resize(before + outSize_);
        // Samples are copied out so the library never sees unaligned data.
        uint32_t produced = 0;
        BE_ERR e;
        if (floats_) {
            floatChunk_.resize(samples);
            std::memcpy(floatChunk_.data(), pcm, size_t{samples} * 4);
            e = lib_->encodeChunkFloat(stream_, samples, floatChunk_.data(), out_.data() + before, &produced);
        } else {
            chunk_.resize(samples);
            std::memcpy(chunk_.data(), pcm, size_t{samples} * 2);
            e = lib_->encodeChunk(stream_, samples, chunk_.data(), out_.data() + before, &produced);
        }
        out_.resize(before + (e == BE_ERR_SUCCESSFUL ? std::min<size_t>(produced, outSize_) : 0));
        return e == BE_ERR_SUCCESSFUL;
    }

    std::shared_ptr<const LameLibrary> lib_;
    BE_CONFIG config_{};
    HBE_STREAM stream_ = 0;
    uint32_t chunkSamples_ = 0;
    size_t chunkBytes_ = 0;
    size_t outSize_ = 0;
    bool floats_ = false;     // the library's float entry takes the samples
    size_t sampleBytes_ = 2;  // of one sample of the file format
    std::vector<int16_t> chunk_;
    std::vector<float> floatChunk_;
};

// --- the codec manager path --------------------------------------------------
class AcmLayer3Track final : public Mp3WriteTrack {
public:
    explicit AcmLayer3Track(const Mp3Settings& settings) : Mp3WriteTrack(settings, ACM_DRIVER_IN) {}

    int16_t start(const CreateRequest& request) {
        const acm::MPEGLAYER3WAVEFORMAT record = layer3FormatFor(settings_);
        std::array<uint8_t, 4> header{};
        // Refusals come before the file is touched: a refused format leaves no file.
        if (const int16_t st = layer3FirstHeader(record, header); st < 0) return st;
        const std::vector<uint8_t> bytes = recordOf(record);
        full_ = toFullFormat(bytes);
        acm::WAVEFORMATEX pcm{};
        if (acm::suggestPcm(bytes, pcm) != acm::Result::Ok) return status::kFormatNotSupport;
        file_ = pcm;
        file_.cbSize = 0;
        if (stream_.open(acm::asBytes(file_), bytes) != acm::Result::Ok) return status::kAcmDriver;
        kind_ = ContainerKind::Mpeg;
        if (const int16_t st = createFile(request.path); st < 0) return st;
        if (!appendAll(fp_.get(), header.data(), header.size())) return writeFailure();
        return status::kOk;
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (finished_ || !fp_.get()) return status::kFileAccess;
        if (bytes == 0) return status::kOk;
        pending_.insert(pending_.end(), pcm, pcm + bytes);
        const int16_t st = convertPending(false);
        if (st < 0) failed_ = true;
        return st;
    }

    int16_t finish(uint64_t) override {
        if (finished_) return status::kFileAccess;
        finished_ = true;
        bool ok = !failed_;
        if (ok && convertPending(true) < 0) ok = false;
        pending_.clear();
        stream_.close();
        if (!closeFile()) {
            writeFailure();
            ok = false;
        }
        return ok ? status::kOk : status::kFileAccess;
    }

private:
    // Converts the whole blocks of pending PCM; at the end also the last
    // partial block, and every byte the encoder still holds back.
    int16_t convertPending(bool end) {
        size_t room = 0;
        if (stream_.size(pending_.size(), acm::Direction::SourceToDestination, room) != acm::Result::Ok)
            return status::kAcmDriver;
        if (room == 0 && !end) return status::kOk;
        out_.resize(room + 16384);
        for (;;) {
            const acm::Conversion c = stream_.convert(pending_, out_, end);
            if (c.status != acm::Result::Ok) {
                pending_.clear();
                return status::kAcmDriver;
            }
            const size_t used = std::min(c.sourceUsed, pending_.size());
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
            const size_t produced = std::min(c.destinationUsed, out_.size());
            if (!appendAll(fp_.get(), out_.data(), produced)) return writeFailure();
            if (used == 0 && produced == 0) return status::kOk;
        }
    }

    acm::Stream stream_;
};

}  // namespace

bool vbrHeaderAllowedAt(long frequency) { return frequency != 11025 && frequency != 12000 && frequency != 22050; }

BE_CONFIG lameConfigFor(const Mp3Settings& s) {
    BE_CONFIG c{};
    c.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = BE_LAME_STRUCT_VERSION;
    c.dwStructSize = BE_LAME_STRUCT_SIZE;
    c.dwSampleRate = static_cast<uint32_t>(s.frequency);
    c.dwReSampleRate = 0;
    if (s.channels < 2) {
        c.nMode = BE_MP3_MODE_MONO;
    } else {
        switch (s.stereoType) {
        case JOINTSTEREO: c.nMode = BE_MP3_MODE_JSTEREO; break;
        case FORCEDJOINTSTEREO: c.nMode = BE_MP3_MODE_FORCED_MS; break;
        case DUALCHANNEL: c.nMode = BE_MP3_MODE_DUALCHANNEL; break;
        default: c.nMode = BE_MP3_MODE_STEREO; break;
        }
    }
    const bool abr = s.vbrMethod == VBR_ABR;
    c.dwBitrate = static_cast<uint32_t>(s.bitrate);
    c.dwMaxBitrate = abr ? 0u : static_cast<uint32_t>(s.maxVbrBitrate);
    switch (s.presetMode) {
    case 1: c.nPreset = BE_PRESET_R3MIX; break;
    case 2: c.nPreset = BE_PRESET_STANDARD; break;
    case 3: c.nPreset = BE_PRESET_EXTREME; break;
    case 4: c.nPreset = BE_PRESET_INSANE; break;
    default: c.nPreset = BE_PRESET_NONE; break;
    }
    c.dwMpegVersion = s.frequency >= 32000 ? BE_MPEG1 : BE_MPEG2;
    c.dwEmphasis = static_cast<uint32_t>(s.emphasis);
    c.bCRC = static_cast<uint32_t>(s.errorProtection);
    c.bWriteVBRHeader = vbrHeaderAllowedAt(s.frequency) ? static_cast<uint32_t>(s.writeVbrHeader) : 0u;
    c.bEnableVBR = s.vbrMethod >= 0 ? 1u : 0u;
    c.nVBRQuality = s.vbrQuality;
    c.dwVbrAbr = abr ? static_cast<uint32_t>(s.abrBitrate) : 0u;
    c.nVbrMethod = s.vbrMethod;
    c.bNoRes = static_cast<uint32_t>(s.noBitReservoir);
    c.bBlockTypeControl = static_cast<uint32_t>(s.blockTypeControl);
    c.bNoShortBlocks = static_cast<uint32_t>(s.noShortBlocks);
    c.bStrictIso = static_cast<uint32_t>(s.strictIsoCompliance);
    c.bEnforceMinBitrate = static_cast<uint32_t>(s.enforceMinBitrate);
    c.nLowpassFreq = s.lowPassFrequency;
    c.nHighpassFreq = s.highPassFrequency;
    c.nLowpassWidth = s.lowPassWidth;
    c.nHighpassWidth = s.highPassWidth;
    c.nAthMode = s.athMode;
    c.nQuality = s.encoderQuality;
    return c;
}

acm::MPEGLAYER3WAVEFORMAT layer3FormatFor(const Mp3Settings& s) {
    acm::MPEGLAYER3WAVEFORMAT f{};
    const uint32_t frequency = s.frequency > 0 ? static_cast<uint32_t>(s.frequency) : 0u;
    const uint32_t kbps = s.bitrate > 0 ? static_cast<uint32_t>(s.bitrate) : 0u;
    f.wfx.wFormatTag = acm::WAVE_FORMAT_MPEGLAYER3;
    f.wfx.nChannels = static_cast<uint16_t>(s.channels > 2 ? 2 : s.channels < 1 ? 1 : s.channels);
    f.wfx.nSamplesPerSec = frequency;
    f.wfx.nAvgBytesPerSec = kbps * 125;
    f.wfx.nBlockAlign = 1;
    f.wfx.wBitsPerSample = 0;
    f.wfx.cbSize = acm::MPEGLAYER3_WFX_EXTRA_BYTES;
    f.wID = acm::MPEGLAYER3_ID_MPEG;
    f.fdwFlags = acm::MPEGLAYER3_FLAG_PADDING_OFF;
    uint32_t block = frequency ? kbps * 144000u / frequency : 0u;
    if (frequency < 32000) block /= 2;
    f.nBlockSize = static_cast<uint16_t>(block);
    f.nFramesPerBlock = 1;
    f.nCodecDelay = 1393;
    return f;
}

int16_t layer3FirstHeader(const acm::MPEGLAYER3WAVEFORMAT& format, std::array<uint8_t, 4>& header) {
    const long frequency = static_cast<long>(format.wfx.nSamplesPerSec);
    const int32_t version = mpegVersionBits(frequency);
    const int32_t rateIndex = frequencyIndex(frequency);
    if (version < 0 || rateIndex < 0 || format.wfx.nAvgBytesPerSec % 125 != 0) return status::kFormatFile;
    const int32_t index = bitrateIndex(version == 3, static_cast<long>(format.wfx.nAvgBytesPerSec / 125));
    if (index < 0) return status::kFormatFile;
    header[0] = 0xFF;
    header[1] = static_cast<uint8_t>(0xE0 | (version << 3) | (1 << 1) | 1);
    header[2] = static_cast<uint8_t>((index << 4) | (rateIndex << 2));
    header[3] = static_cast<uint8_t>((format.wfx.nChannels == 1 ? 0xC0 : 0x00) | 0x04);
    return status::kOk;
}

int16_t createMp3With(const CreateRequest& request, std::shared_ptr<const LameLibrary> library,
                      std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    const Mp3Settings& settings = request.settings->mp3;
    if (settings.channels < 1 || settings.frequency <= 0) return status::kFormatNotSupport;
    if (library && library->available() && request.settings->mp3Encoder == LAME) {
        auto t = std::make_unique<LameTrack>(settings, std::move(library));
        if (const int16_t st = t->start(request); st < 0) return refuse(request, st, t->cause());
        track = std::move(t);
        return status::kOk;
    }
    auto t = std::make_unique<AcmLayer3Track>(settings);
    if (const int16_t st = t->start(request); st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

int16_t createMp3(const CreateRequest& request, std::unique_ptr<Track>& track) {
    return createMp3With(request, LameLibrary::bind(LameLibrary::defaultCandidates()), track);
}

}  // namespace qoro::audiofile
