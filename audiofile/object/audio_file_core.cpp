#include "object/audio_file_core.h"

#include <algorithm>
#include <cstring>

#include "containers/containers.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

// A successful read reports at most this much beyond what the file still holds
// (guards the allocation of absurd requests).
constexpr uint64_t kReadSlack = 1u << 20;

// The rates an array format can have.
constexpr long kMinArrayRate = 1000;
constexpr long kMaxArrayRate = 768000;

}  // namespace

int32_t AudioFileCore::bitrateOf(long type, bool creating, const FullFormat& full) const {
    const ContainerEntry* row = findContainer(type);
    const long decided = row && row->bitrate ? row->bitrate(output_, creating) : -1;
    return decided >= 0 ? static_cast<int32_t>(decided) : static_cast<int32_t>(headerOf(full).nAvgBytesPerSec * 8);
}

long AudioFileCore::typeForOpen(const std::string& name) { return typeForName(name, false); }
long AudioFileCore::typeForCreate(const std::string& name) { return typeForName(name, true); }

AudioFileCore::AudioFileCore(ErrorSink* sink) : sink_(sink), fmt_(FormatState::initial()) {
    arrayFormat_ = acm::makePcmFormat(44100, 2, 16);
}

EngineSettings AudioFileCore::engineSettings() const {
    EngineSettings s;
    s.output = output_;
    s.mp3 = mp3_;
    s.mp3Encoder = mp3Encoder_;
    s.mp3Decoder = mp3DecoderChoice_;
    s.full = fmt_.full;
    s.resampleQuality = resampleQuality_;
    s.dither = dither_;
    return s;
}

bool AudioFileCore::takeSwitch(long value, const char* refusal) {
    if (value != 0 && value != 1) {
        report(INVALIDPARAM, refusal);
        return false;
    }
    lastError_ = NOERRORS;
    return true;
}

void AudioFileCore::setDither(long dither) {
    if (takeSwitch(dither, "the dither must be 0 (none) or 1 (TPDF)")) dither_ = static_cast<int32_t>(dither);
}

void AudioFileCore::setResampleQuality(long quality) {
    if (!takeSwitch(quality, "the resample quality must be 0 or 1")) return;
    resampleQuality_ = static_cast<int32_t>(quality);
    engine_.setResampleQuality(resampleQuality_);
}

AudioFileCore::~AudioFileCore() { closeQuietly(); }

namespace {

// Words for an error code reported without a cause of its own.
std::string wordsFor(long code) {
    switch (code) {
    case BUSY: return "a file is open: the output format cannot change now";
    case MEMORY: return "not enough memory";
    case FORMATFILE: return "not an audio file of this type";
    case FORMATNOTSUPPORT: return "this format is not supported";
    case ACMDRIVER: return "the codec cannot convert this format";
    case FILEACCESS: return "the file cannot be accessed";
    case INVALIDOPERATION: return "not possible with this type of file";
    case INVALIDPARAM: return "an argument is out of range";
    default: return {};
    }
}

}  // namespace

void AudioFileCore::report(long code, const std::string& cause) {
    lastError_ = code;
    if (sink_) sink_->fireError(code, cause.empty() ? wordsFor(code) : cause);
}

void AudioFileCore::reportEngine(int st) { reportEngine(st, engine_.cause()); }

void AudioFileCore::reportEngine(int st, const std::string& cause) {
    if (st <= -10 && st >= -20)
        report(st, cause);
    else
        report(NOERRORS);
}

// --- files -------------------------------------------------------------------

void AudioFileCore::openFile(const std::string& name, long formatType, long flag) {
    reading_ = false;
    if (isOpen() || name.empty()) {
        report(FILEACCESS, name.empty() ? "no file name" : "a file is already open");
        return;
    }
    if (flag != READ && flag != READWRITE) {
        report(INVALIDPARAM, "the open flag is neither READ nor READWRITE");
        return;
    }
    lastError_ = NOERRORS;
    // Nothing of a file opened before carries over to this one.
    mp3Decoder_ = mp3DecoderChoice_;
    engine_.setSettings(engineSettings());
    // WMA files are read through the media plug-in, like the other formats
    // of a music library (the WMA codec component is never present).
    const long type = formatType == DEFAULT ? typeForOpen(name) : formatType;
    const int16_t st = engine_.open(name, type, flag);
    if (st < 0) {
        reportEngine(st);
        return;
    }
    leftover_.clear();
    arrayFormat_ = engine_.arrayFormat();
    engine_.reportFoundSettings(mp3_, output_);
    // A Layer III stream handed to the codec manager (by choice, or because
    // its bitrate is below what the built-in decoder takes) says so while it
    // is open; the next file gets the caller's choice again.
    if (engine_.kind() == ContainerKind::MpegThroughAcm) mp3Decoder_ = ACM_DRIVER_OUT;
    fmt_.type = static_cast<int32_t>(type);
    fmt_.full = engine_.fullFormat();
    fmt_.file = engine_.fileFormat();
    fmt_.description = engine_.description();
    fmt_.bitrate = bitrateOf(type, false, engine_.fullFormat());
}

void AudioFileCore::createFile(const std::string& name, long formatType) {
    if (isOpen()) {
        report(FILEACCESS, "a file is already open");
        return;
    }
    reading_ = false;
    lastError_ = NOERRORS;
    if (name.empty()) {
        report(FILEACCESS, "no file name");
        return;
    }
    engine_.setSettings(engineSettings());
    const long type = formatType == DEFAULT ? typeForCreate(name) : formatType;
    if (type == WMA) {  // written by the WMA codec component, which is never present
        report(FORMATNOTSUPPORT, "WMA files need a codec component that is not installed");
        return;
    }
    const int16_t st = engine_.create(name, type);
    if (st < 0) {
        reportEngine(st);
        return;
    }
    leftover_.clear();
    arrayFormat_ = engine_.arrayFormat();
    fmt_.type = static_cast<int32_t>(type);
    fmt_.file = engine_.fileFormat();
    fmt_.description = engine_.description();
    fmt_.bitrate = bitrateOf(type, true, engine_.fullFormat());
}

int16_t AudioFileCore::finishFile() {
    const bool written = isWriting();
    mp3Decoder_ = mp3DecoderChoice_;
    // The file is closed whatever happens; only a file written to can have
    // lost something (a file only read has nothing to lose at its close).
    const int16_t st = engine_.close();
    leftover_.clear();
    leftover_.shrink_to_fit();
    scratch_.clear();
    scratch_.shrink_to_fit();
    fmt_.bitrate = 0;
    lastError_ = NOERRORS;
    return written ? st : status::kOk;
}

void AudioFileCore::closeFile() {
    const int16_t st = finishFile();
    if (st < 0) reportEngine(st);
}

void AudioFileCore::closeQuietly() { finishFile(); }

void AudioFileCore::reportOutOfMemory() {
    reading_ = false;
    report(MEMORY, "not enough memory");
}

namespace {

// A SampleArray seen as bytes.
class SampleBytes final : public ByteArray {
public:
    explicit SampleBytes(SampleArray& a) : a_(a) {}
    uint8_t* allocate(size_t bytes) override { return reinterpret_cast<uint8_t*>(a_.allocate(bytes / 2)); }
    void shrink(size_t bytes) override { a_.shrink(bytes / 2); }

private:
    SampleArray& a_;
};

}  // namespace

void AudioFileCore::readFile(long nSamples, SampleArray& out) {
    SampleBytes bytes(out);
    if (engine_.arrayKind() != SampleKind::Int16 && !reading_) {
        out.allocate(0);
        report(INVALIDPARAM, "the array holds deeper samples: read them with ReadSamples");
        return;
    }
    readFrames(nSamples > 0 ? static_cast<uint64_t>(nSamples) : 0, bytes);
}

void AudioFileCore::readSamples(int64_t nFrames, ByteArray& out) {
    readFrames(nFrames > 0 ? static_cast<uint64_t>(nFrames) : 0, out);
}

void AudioFileCore::readFrames(uint64_t frames, ByteArray& out) {
    const uint64_t block = arrayFormat_.nBlockAlign;
    if (reading_) {  // re-entered from an event handler
        out.allocate(block);
        return;
    }
    if (!isReading()) {
        out.allocate(block);
        report(FILEACCESS, "no file is open for reading");
        return;
    }
    lastError_ = NOERRORS;
    uint64_t wanted = frames <= (uint64_t{1} << 40) ? frames * block : uint64_t{1} << 40;
    // Never allocate far beyond what the file can still deliver.
    const uint64_t left = engine_.totalLength() > engine_.position() ? engine_.totalLength() - engine_.position() : 0;
    const uint64_t bound = leftover_.size() + left + kReadSlack;
    if (wanted > bound) wanted = bound - bound % block;

    uint8_t* bytes = out.allocate(static_cast<size_t>(wanted));
    if (!bytes && wanted > 0) {
        report(MEMORY, "not enough memory for the samples asked for");
        return;
    }
    reading_ = true;
    uint64_t have = 0;
    if (leftover_.size() >= wanted) {
        if (wanted) std::memcpy(bytes, leftover_.data(), wanted);
        leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(wanted));
        have = wanted;
    } else {
        if (!leftover_.empty()) std::memcpy(bytes, leftover_.data(), leftover_.size());
        have = leftover_.size();
        leftover_.clear();
        while (have < wanted) {
            const uint64_t promised = engine_.arrayBytesFor(wanted - have);
            if (promised == 0) break;
            scratch_.clear();
            const int64_t got = engine_.read(promised, scratch_);
            if (got < 0) {
                reportEngine(static_cast<int>(got));
                break;
            }
            if (got == 0) break;
            const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(got), wanted - have);
            std::memcpy(bytes + have, scratch_.data(), take);
            have += take;
            if (take < static_cast<uint64_t>(got))
                leftover_.assign(scratch_.begin() + static_cast<std::ptrdiff_t>(take),
                                 scratch_.begin() + static_cast<std::ptrdiff_t>(got));
        }
    }
    if (have < wanted) out.shrink(static_cast<size_t>(have));
    reading_ = false;
}

void AudioFileCore::writeFile(const int16_t* samples, long count) {
    if (engine_.arrayKind() != SampleKind::Int16 && isWriting()) {
        report(INVALIDPARAM, "the array holds deeper samples: write them with WriteSamples");
        return;
    }
    writeBytes(reinterpret_cast<const uint8_t*>(samples), count > 0 ? static_cast<size_t>(count) * 2 : 0);
}

void AudioFileCore::writeSamples(const void* samples, size_t count) {
    writeBytes(static_cast<const uint8_t*>(samples), count * bytesPerArraySample(engine_.arrayKind()));
}

void AudioFileCore::writeBytes(const uint8_t* bytes, size_t n) {
    if (!isWriting()) {
        report(FILEACCESS, "no file is open for writing");
        return;
    }
    lastError_ = NOERRORS;
    if (n == 0 || !bytes) return;
    const uint8_t* data = bytes;
    size_t size = n;
    if (!leftover_.empty()) {
        leftover_.insert(leftover_.end(), bytes, bytes + n);
        data = leftover_.data();
        size = leftover_.size();
    }
    size_t consumed = 0;
    while (consumed < size) {
        const int64_t r = engine_.write(data + consumed, size - consumed);
        if (r < 0) {
            leftover_.clear();  // the bytes of the failed call are lost
            reportEngine(static_cast<int>(r));
            return;
        }
        if (r == 0) break;
        consumed += static_cast<size_t>(r);
    }
    // An incomplete sample frame waits for the next call.
    if (data == leftover_.data()) {
        leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(consumed));
    } else {
        leftover_.assign(bytes + consumed, bytes + n);
    }
}

long AudioFileCore::seekFile(long nSamples, long origin) {
    return static_cast<long>(std::min<int64_t>(seekFrames(nSamples, origin), 0x7FFFFFFF));
}

int64_t AudioFileCore::seekFrames(int64_t nFrames, long origin) {
    if (!isOpen()) {
        report(FILEACCESS, "no file is open");
        return 0;
    }
    if (state() == FileState::Writing) {
        lastError_ = NOERRORS;
        return 0;
    }
    if (nFrames < 0 || origin < CURRENT_POS || origin > BEGIN_POS) {
        report(INVALIDPARAM,
               nFrames < 0 ? "a negative number of samples" : "the origin is not one of the seek origins");
        return 0;
    }
    lastError_ = NOERRORS;
    const uint64_t block = arrayFormat_.nBlockAlign;
    // Samples read ahead belong to the old position.
    leftover_.clear();
    const uint64_t offset = std::min<uint64_t>(static_cast<uint64_t>(nFrames), uint64_t{1} << 48) * block;
    const int16_t st = engine_.seek(offset, static_cast<SeekOrigin>(origin));
    if (st < 0) reportEngine(st);
    return block ? static_cast<int64_t>(engine_.position() / block) : 0;
}

// --- properties ----------------------------------------------------------------

long AudioFileCore::nSamples() const { return static_cast<long>(std::min<int64_t>(nFrames(), 0x7FFFFFFF)); }

int64_t AudioFileCore::nFrames() const {
    if (!isOpen() || arrayFormat_.nBlockAlign == 0) return 0;
    return static_cast<int64_t>(engine_.totalLength() / arrayFormat_.nBlockAlign);
}

int64_t AudioFileCore::position() const {
    if (!isOpen() || arrayFormat_.nBlockAlign == 0) return 0;
    return static_cast<int64_t>(engine_.position() / arrayFormat_.nBlockAlign);
}

long AudioFileCore::fileSampleKind() const {
    if (!isOpen()) return SAMPLE_INT16;
    const WAVEFORMATEX& own = engine_.ownFormat();
    if (engine_.lossy()) return SAMPLE_INT16;
    if (own.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT) return SAMPLE_FLOAT32;
    if (own.wBitsPerSample > 24) return SAMPLE_INT32;
    if (own.wBitsPerSample > 16) return SAMPLE_INT24;
    return SAMPLE_INT16;
}

long AudioFileCore::duration() const {
    if (!isOpen() || arrayFormat_.nAvgBytesPerSec == 0) return 0;
    const uint64_t ms = engine_.totalLength() * 1000 / arrayFormat_.nAvgBytesPerSec;
    return static_cast<long>(std::min<uint64_t>(ms, 0x7FFFFFFF));
}

long AudioFileCore::formatTag() const {
    if (!isOpen()) return 0;
    const ContainerEntry* row = findContainer(fmt_.type);
    return row && row->formatTag ? row->formatTag(engine_.fullFormat()) : 65535;
}

long AudioFileCore::g723Bitrate() const { return output_.g723Bits == 5 ? G723_40_KBPS : G723_24_KBPS; }

long AudioFileCore::g726Bitrate() const {
    switch (output_.g726Bits) {
    case 2: return G726_16_KBPS;
    case 3: return G726_24_KBPS;
    case 5: return G726_40_KBPS;
    default: return G726_32_KBPS;
    }
}

void AudioFileCore::setFormatArray(long frequency, long channels) {
    if (channels != 1 && channels != 2) {
        report(INVALIDPARAM, "the array takes 1 or 2 channels");
        return;
    }
    setFormatArrayKind(frequency, channels, SAMPLE_INT16);
}

void AudioFileCore::setFormatArrayKind(long frequency, long channels, long kind) {
    // Rates outside 6000 ... 48000 Hz (any rate in quality mode) are
    // converted through the very high quality resampler; a rate or channel
    // count the array cannot take is refused, never taken for another.
    if (frequency < kMinArrayRate || frequency > kMaxArrayRate) {
        report(INVALIDPARAM, "the array rate must be 1000 to 768000 Hz");
        return;
    }
    if (channels < 1 || channels > 8) {
        report(INVALIDPARAM, "the array takes 1 to 8 channels");
        return;
    }
    if (kind < SAMPLE_INT16 || kind > SAMPLE_FLOAT32) {
        report(INVALIDPARAM, "the sample kind is not one of the SampleKindConstants");
        return;
    }
    lastError_ = NOERRORS;
    const auto sampleKind = static_cast<SampleKind>(kind);
    const WAVEFORMATEX next =
        ArrayFormat{static_cast<uint32_t>(frequency), static_cast<uint16_t>(channels), sampleKind}.record();
    if (std::memcmp(&next, &arrayFormat_, sizeof next) == 0 && sampleKind == engine_.arrayKind()) return;
    arrayFormat_ = next;
    // Bytes held back belong to the previous array format.
    leftover_.clear();
    engine_.setArrayFormat(next.nSamplesPerSec, next.nChannels, sampleKind);
}

void AudioFileCore::mp3SettingsChanged() {
    // The settings are normalised in any case; the description of an open
    // file keeps describing that file.
    const std::string text = describeMp3(mp3_, mp3Encoder_);
    if (!isOpen()) fmt_.description = text;
}

}  // namespace qoro::audiofile
