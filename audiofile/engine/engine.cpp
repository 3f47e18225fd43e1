#include "engine/engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "containers/containers.h"
#include "probe/signature.h"
#include "qoro/AudioFile.h"
#include "riff/riff.h"

namespace qoro::audiofile {

namespace {

// Byte count in format `to` for `count` bytes in format `from`.
uint64_t convertBytes(uint64_t count, const WAVEFORMATEX& from, const WAVEFORMATEX& to) {
    return convertByteCount(count, from, to);
}

// The most one read or write moves through the engine (keeps every count the
// object sees within 32 bits).
constexpr uint64_t kMaxStep = 1u << 28;

// A file whose signature names a kind the type does not read is not handed
// to the type's reader (which would take a compressed stream for raw samples,
// or an image for a stream with lost sync): FORMATFILE when another type
// reads the kind, FORMATNOTSUPPORT when none does or it holds no sound, with
// the cause naming the kind. 0 when the reader may go on.
int16_t refuseForeignKind(const std::string& path, const ContainerEntry& entry, std::string& cause) {
    const probe::Kind kind = probe::identify(path);
    if (kind == probe::Kind::None || readsKind(entry, kind)) return status::kOk;
    if (anyReadsKind(kind)) {
        cause = probe::refusal(kind, entry.inWords);
        return status::kFormatFile;
    }
    cause = probe::refusal(kind);
    return status::kFormatNotSupport;
}

}  // namespace

int16_t Engine::failure(int16_t st, Step step, std::string cause) {
    if (cause.empty() && track_) cause = track_->cause();
    if (cause.empty()) {
        const bool opening = step == Step::Open;
        switch (st) {
        case status::kMemory: cause = riff::errorText(ENOMEM); break;
        case status::kFormatFile:
            cause = opening ? "not an audio file of this type" : "the file's structure cannot be written";
            break;
        case status::kFormatNotSupport:
            cause =
                opening ? "no decoder for the sound format of this file" : "no encoder for the chosen output format";
            break;
        case status::kAcmDriver:
            cause = step == Step::Open || step == Step::Read ? "the codec cannot decode this sound format"
                                                             : "the codec cannot encode the chosen output format";
            break;
        case status::kInvalidOperation:
            cause = opening ? "files of this type cannot be opened for writing" : "not possible with this type of file";
            break;
        case status::kFileAccess:
        default:
            switch (step) {
            case Step::Open: cause = "the file cannot be opened"; break;
            case Step::Create: cause = "the file cannot be created"; break;
            case Step::Read: cause = "the file cannot be read"; break;
            case Step::Seek: cause = "the position cannot be reached"; break;
            case Step::Write: cause = "the file cannot be written"; break;
            case Step::Close: cause = "the file cannot be finished"; break;
            }
            break;
        }
    }
    cause_ = std::move(cause);
    return st;
}

Engine::Engine() {
    array_ = acm::makePcmFormat(44100, 2, 16);
    file_ = array_;
    full_ = fullFormatOf(file_);
}

Engine::~Engine() { close(); }

void Engine::resetCounters() { total_ = arrayPos_ = filePos_ = fileTotal_ = 0; }

void Engine::adoptTrack(std::unique_ptr<Track> track) {
    track_ = std::move(track);
    track_->setDither(settings_.dither == 1);
    full_ = track_->fullFormat();
    file_ = track_->fileFormat();
    array_ = widenedTo16(file_);
    if (array_.nChannels > 2) array_ = acm::makePcmFormat(array_.nSamplesPerSec, 2, 16);
    arrayKind_ = SampleKind::Int16;
    resetCounters();
    designConverters();
    description_ = track_->describe();
}

void Engine::designConverters() {
    const bool quality = settings_.resampleQuality == 1;
    const ArrayFormat array{array_.nSamplesPerSec, array_.nChannels, arrayKind_};
    const ConversionOptions options{settings_.dither == 1, track_ ? track_->channelMask() : 0};
    toArray_.design(file_, array, quality, options);
    toFile_.design(file_, array, quality, options);
}

void Engine::takeFileForm(bool native) {
    const uint64_t frames = file_.nBlockAlign ? filePos_ / file_.nBlockAlign : 0;
    track_->useNative(native);
    file_ = track_->fileFormat();
    filePos_ = frames * file_.nBlockAlign;
}

int16_t Engine::open(const std::string& path, long formatType, long flag) {
    close();
    cause_.clear();
    const ContainerEntry* entry = findContainer(formatType);
    if (!entry) return failure(status::kFormatNotSupport, Step::Open, "not a type of file this component reads");
    const bool readWrite = flag == 2;  // READWRITE
    if (readWrite && !entry->readWritePair) return failure(status::kInvalidOperation, Step::Open);
    if (!entry->open) return failure(status::kFormatNotSupport, Step::Open, "not a type of file this component reads");

    // Why the file cannot be opened, if it cannot: its reader fails with the
    // status its type gives such a file (file access, or a format failure
    // for the MPEG reader), and this is the cause. A directory, a device or
    // a pipe is no file to read: refused before any reader waits on it.
    uint64_t size = 0;
    std::string unopenable;
    {
        riff::File file;
        if (file.open(path, readWrite ? riff::Mode::ReadWrite : riff::Mode::Read, 1) != riff::Status::Ok) {
            unopenable = riff::errorText(file.error());
            if (file.error() == EISDIR || file.error() == riff::kNotRegularFile)
                return failure(status::kFileAccess, Step::Open, std::move(unopenable));
        }
        size = file.size();
    }

    // A file whose first bytes name a kind this type does not read goes no
    // further.
    std::string cause;
    if (unopenable.empty())
        if (const int16_t st = refuseForeignKind(path, *entry, cause); st < 0)
            return failure(st, Step::Open, std::move(cause));

    OpenRequest request{path, formatType, readWrite, &settings_, &cause};
    std::unique_ptr<Track> track;
    const int16_t st = entry->open(request, track);
    if (st < 0 || !track) {
        const int16_t refused = st < 0 ? st : status::kFormatNotSupport;
        if (!unopenable.empty())
            cause = std::move(unopenable);
        else if (cause.empty() && refused == status::kFormatFile && size == 0)
            cause = "the file is empty";
        return failure(refused, Step::Open, std::move(cause));
    }
    adoptTrack(std::move(track));
    formatType_ = formatType;
    state_ = readWrite ? FileState::ReadingWriting : FileState::Reading;
    total_ = track_->arrayLength(array_);
    return status::kOk;
}

int16_t Engine::create(const std::string& path, long formatType) {
    close();
    cause_.clear();
    const ContainerEntry* entry = findContainer(formatType);
    if (!entry || !entry->create)
        return failure(status::kFormatNotSupport, Step::Create, "not a type of file this component writes");
    std::string cause;
    CreateRequest request{path, formatType, &settings_, &cause};
    std::unique_ptr<Track> track;
    const int16_t st = entry->create(request, track);
    if (st < 0 || !track) return failure(st < 0 ? st : status::kFormatNotSupport, Step::Create, std::move(cause));
    adoptTrack(std::move(track));
    formatType_ = formatType;
    state_ = FileState::Writing;
    return status::kOk;
}

int16_t Engine::drainWriter() {
    if (!track_ || !toFile_.lags() || (state_ != FileState::Writing && state_ != FileState::ReadingWriting))
        return status::kOk;
    converted_.clear();
    const size_t bytes = toFile_.drainToFile(converted_);
    if (bytes == 0) return status::kOk;
    const int16_t st = track_->encode(converted_.data(), bytes);
    if (st < 0) return st;
    filePos_ += bytes;
    fileTotal_ = std::max(fileTotal_, filePos_);
    return status::kOk;
}

int16_t Engine::close() {
    int16_t st = status::kOk;
    cause_.clear();
    if (track_) {
        // The resampler's last frames go in before the encoder is finished.
        const int16_t drained = drainWriter();
        const uint64_t frames = array_.nBlockAlign ? total_ / array_.nBlockAlign : 0;
        st = track_->finish(frames);
        if (drained < 0) st = drained;
        if (st < 0) failure(st, Step::Close);
        track_.reset();
    }
    resetCounters();
    state_ = FileState::Closed;
    decoded_.clear();
    decoded_.shrink_to_fit();
    converted_.clear();
    converted_.shrink_to_fit();
    return st;
}

void Engine::reportFoundSettings(Mp3Settings& mp3, OutputSettings& output) const {
    if (track_) track_->reportFoundSettings(mp3, output);
}

void Engine::setArrayFormat(uint32_t rate, uint16_t channels, SampleKind kind) {
    // What the writer's resampler holds belongs to the old array format.
    if (const int16_t st = drainWriter(); st < 0) failure(st, Step::Write);
    arrayKind_ = kind;
    array_ = ArrayFormat{rate, channels, kind}.record();
    if (track_ && state_ != FileState::Writing) takeFileForm(kind != SampleKind::Int16 || channels > 2);
    if (track_ && state_ == FileState::Writing && fileTotal_ == 0 && filePos_ == 0) {
        track_->writeFloats(kind != SampleKind::Int16);
        file_ = track_->fileFormat();
    }
    if (track_) {
        if (state_ == FileState::Writing) {
            total_ = convertBytes(fileTotal_, file_, array_);
        } else {
            total_ = track_->arrayLength(array_);
        }
        arrayPos_ = convertBytes(filePos_, file_, array_);
        if (state_ != FileState::Writing && !track_->lengthKnown()) total_ = std::max(total_, arrayPos_);
    }
    designConverters();
    // A lagging reader counts on from the file position, so the stream still
    // ends on the length just derived.
    if (track_ && toArray_.lags() && file_.nBlockAlign != 0) toArray_.continueAt(filePos_ / file_.nBlockAlign);
}

uint64_t Engine::sourceForArray(uint64_t wanted) const {
    const uint64_t left = track_->sourceLeft();
    const uint64_t unit = std::max<uint64_t>(track_->sourceUnit(), 1);
    auto yield = [&](uint64_t s) { return convertBytes(track_->decodedFor(s), file_, array_); };

    uint64_t s = track_->sourceFor(convertBytes(wanted, array_, file_));
    s -= s % unit;
    if (s >= left) return left;
    if (yield(s) >= wanted) return s;
    // Grow by whole units to the smallest amount that yields enough: doubling
    // steps first, then halving back (the yield never shrinks as the source
    // grows).
    uint64_t step = unit;
    while (s + step < left && yield(s + step) < wanted && step < (uint64_t{1} << 40)) step *= 2;
    if (s + step >= left && yield(left) < wanted) return left;
    uint64_t lo = s;  // yields too little
    uint64_t hi = std::min(s + step, left);
    while (hi - lo > unit) {
        uint64_t mid = lo + (hi - lo) / 2;
        mid -= (mid - s) % unit;
        if (mid <= lo) break;
        if (yield(mid) >= wanted)
            hi = mid;
        else
            lo = mid;
    }
    return hi;
}

uint64_t Engine::arrayBytesFor(uint64_t wanted) const {
    if (!track_ || state_ == FileState::Writing || wanted == 0) return 0;
    const uint64_t s = sourceForArray(std::min(wanted, kMaxStep));
    return convertBytes(track_->decodedFor(s), file_, array_);
}

int64_t Engine::read(uint64_t n, std::vector<uint8_t>& out) {
    if (!track_ || state_ == FileState::Writing || n == 0) return 0;
    if (!toArray_.usable())
        return failure(status::kFormatNotSupport, Step::Read, "the samples cannot be converted to the array format");
    const uint64_t s = sourceForArray(std::min(n, kMaxStep));
    if (s == 0) return 0;
    if (toArray_.lags()) return readLagging(s, out);
    int32_t decoded = 0;
    uint64_t produced = 0;
    if (!toArray_.converts()) {
        decoded = track_->decode(s, out);
        if (decoded < 0) return failure(static_cast<int16_t>(decoded), Step::Read);
        produced = static_cast<uint64_t>(decoded);
    } else {
        decoded_.clear();
        decoded = track_->decode(s, decoded_);
        if (decoded < 0) return failure(static_cast<int16_t>(decoded), Step::Read);
        const size_t old = out.size();
        const size_t room = toArray_.arrayBytesFor(static_cast<size_t>(decoded));
        out.resize(old + room);
        produced = toArray_.toArray(decoded_.data(), static_cast<size_t>(decoded), out.data() + old, room);
        out.resize(old + produced);
    }
    filePos_ += static_cast<uint64_t>(decoded);
    arrayPos_ += produced;
    // A stream that does not state its length is as long as what was read.
    if (!track_->lengthKnown()) total_ = std::max(total_, arrayPos_);
    return static_cast<int64_t>(produced);
}

int64_t Engine::readLagging(uint64_t source, std::vector<uint8_t>& out) {
    // The resampler's output lags behind its input by its filter's delay: go
    // on decoding until something comes out, and drain it when the decoder
    // has given everything.
    const size_t old = out.size();
    for (;;) {
        decoded_.clear();
        const int32_t decoded = track_->decode(source, decoded_);
        if (decoded < 0) return failure(static_cast<int16_t>(decoded), Step::Read);
        const auto bytes = static_cast<size_t>(decoded);
        if (bytes > 0) {
            const size_t at = out.size();
            const size_t room = toArray_.arrayBytesFor(bytes);
            out.resize(at + room);
            out.resize(at + toArray_.toArray(decoded_.data(), bytes, out.data() + at, room));
            filePos_ += bytes;
        }
        // The end: nothing more came, or what is left decodes to nothing
        // (a partial frame or block), so arrayBytesFor() offers no more reads.
        const uint64_t left = track_->sourceLeft();
        if (decoded == 0 || left == 0 || track_->decodedFor(left) == 0) {
            toArray_.drainToArray(out);
            break;
        }
        if (out.size() > old) break;
        source = std::min(source * 2, kMaxStep);
    }
    const uint64_t produced = out.size() - old;
    arrayPos_ += produced;
    if (!track_->lengthKnown()) total_ = std::max(total_, arrayPos_);
    return static_cast<int64_t>(produced);
}

int64_t Engine::write(const uint8_t* data, uint64_t n) {
    if (!track_ || state_ == FileState::Reading || state_ == FileState::Closed)
        return failure(status::kFileAccess, Step::Write, "the file is not open for writing");
    if (!toFile_.usable())
        return failure(status::kFormatNotSupport, Step::Write, "the array's samples cannot be converted for the file");
    const uint16_t block = array_.nBlockAlign;
    n = std::min(n, kMaxStep);
    if (block == 0) return 0;
    n -= n % block;
    if (n == 0) return 0;
    uint64_t fileBytes = n;
    int16_t st;
    if (toFile_.converts()) {
        converted_.resize(toFile_.fileBytesFor(static_cast<size_t>(n)));
        fileBytes = toFile_.toFile(data, static_cast<size_t>(n), converted_.data(), converted_.size());
        // A lagging resampler may hold a whole block back.
        st = fileBytes ? track_->encode(converted_.data(), static_cast<size_t>(fileBytes)) : status::kOk;
    } else {
        st = track_->encode(data, static_cast<size_t>(n));
    }
    if (st < 0) return failure(st, Step::Write);
    filePos_ += fileBytes;
    fileTotal_ = std::max(fileTotal_, filePos_);
    arrayPos_ += n;
    total_ = std::max(total_, arrayPos_);
    return static_cast<int64_t>(n);
}

int16_t Engine::seek(uint64_t arrayOffset, SeekOrigin origin) {
    if (!track_) return failure(status::kFileAccess, Step::Seek, "no file is open");
    if (state_ == FileState::Writing) return status::kOk;
    // Reading back from the end needs the end: a stream that does not state
    // its length has none yet.
    if (origin == SeekOrigin::End && !track_->lengthKnown())
        return failure(status::kFileAccess, Step::Seek, "the stream does not state its length: no end to seek from");
    SeekRequest request;
    const auto fileTarget =
        seekTarget(origin, convertBytes(arrayOffset, array_, file_), filePos_, track_->decodedLength());
    request.beforeStart = !fileTarget;
    request.backFromEnd = origin == SeekOrigin::End;
    request.fileBytes = fileTarget.value_or(0);
    request.arrayBytes = seekTarget(origin, arrayOffset, arrayPos_, total_).value_or(0);
    request.file = file_;
    request.array = array_;
    SeekResult result;
    const int16_t st = track_->seek(request, result);
    if (st < 0) return failure(st, Step::Seek);
    filePos_ = result.fileBytes;
    arrayPos_ = result.arrayKnown ? result.arrayBytes : convertBytes(filePos_, file_, array_);
    if (!track_->lengthKnown()) total_ = std::max(total_, arrayPos_);
    if (file_.nBlockAlign != 0) toArray_.continueAt(filePos_ / file_.nBlockAlign);
    return status::kOk;
}

}  // namespace qoro::audiofile
