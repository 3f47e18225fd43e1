// The container table: which reader opens and which writer creates a file of
// each format type. A container kind plugs in by adding its opener and
// creator here; the engine and the other kinds stay as they are.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "containers/settings.h"
#include "containers/track.h"
#include "probe/signature.h"

namespace qoro::audiofile {

// An opener or creator that fails for a reason it can put in words (the
// system's reason a file could not be created, an encoder's refusal) writes
// it to *cause when cause is set; the engine words the other failures.
struct OpenRequest {
    std::string path;
    long formatType = 0;
    bool readWrite = false;
    const EngineSettings* settings = nullptr;
    std::string* cause = nullptr;
};

struct CreateRequest {
    std::string path;
    long formatType = 0;
    const EngineSettings* settings = nullptr;
    std::string* cause = nullptr;
};

// Hands a failure's cause to the request (when it takes one) and returns
// the status: "return refuse(request, status::kFileAccess, reason);".
template <class Request>
int16_t refuse(const Request& request, int16_t st, std::string cause) {
    if (request.cause && !cause.empty()) *request.cause = std::move(cause);
    return st;
}

// A stdio file a track owns: closed when the track goes.
struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A writer whose encoder library hands it the encoded bytes (FLAC, Opus):
// the file they go to, the first failure and its cause, and the close.
//
//   write callback:  return t.store(bytes, n) ? OK : FATAL;
//   encode():        if (int16_t st = refuseAfterFailure()) return st; ... return fail(cause);
//   finish():        if (!beginFinish()) return status::kFileAccess;
//                    ... the library's last step ...; return closeFile(drained, cause);
class EncodedFileTrack : public WriteOnlyTrack {
protected:
    // Writes bytes the library made; false, with the system's reason kept,
    // when they could not all be written.
    bool store(const void* bytes, size_t n) {
        if (n == 0 || (fp_ && std::fwrite(bytes, 1, n, fp_.get()) == n)) return true;
        writeCause_ = systemCause(errno);
        if (writeCause_.empty()) writeCause_ = "the file cannot be written";
        return false;
    }
    // Encoding stopped for good: every later call reports this cause.
    int16_t fail(std::string cause) {
        failed_ = true;
        return failWith(status::kFileAccess, std::move(cause));
    }
    // kFileAccess (with the cause) once the file failed or was closed, else 0.
    int16_t refuseAfterFailure() {
        if (!failed_ && !finished_) return status::kOk;
        return failWith(status::kFileAccess, failed_ ? cause_ : "the file is closed");
    }
    // False when finish() already ran.
    bool beginFinish() { return !std::exchange(finished_, true); }
    // Closes the file after the library's last step ('drained', else
    // 'libraryCause'); the first failure of the whole file is reported.
    int16_t closeFile(bool drained, const std::string& libraryCause) {
        bool ok = !failed_;
        if (!drained && ok) {
            cause_ = libraryCause;
            ok = false;
        }
        if (fp_ && std::fclose(fp_.release()) != 0 && ok) {
            cause_ = systemCause(errno);
            ok = false;
        }
        return ok ? status::kOk : status::kFileAccess;
    }

    FilePtr fp_;
    std::string writeCause_;  // the system's reason a write failed
    bool failed_ = false;
    bool finished_ = false;
};

// The opener of a read-only track kind T whose open(path) reads the header:
// READWRITE is refused, and a failure hands the track's cause to the request.
template <class T>
int16_t openReadOnly(const OpenRequest& request, std::unique_ptr<Track>& track) {
    if (request.readWrite) return status::kInvalidOperation;
    auto t = std::make_unique<T>();
    const int16_t st = t->open(request.path);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

// The creator of a track kind T made from its settings, whose start(path)
// creates the file.
template <class T, class Settings>
int16_t createStarted(const CreateRequest& request, const Settings& settings, std::unique_ptr<Track>& track) {
    auto t = std::make_unique<T>(settings);
    const int16_t st = t->start(request.path);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

using Opener = int16_t (*)(const OpenRequest&, std::unique_ptr<Track>&);
using Creator = int16_t (*)(const CreateRequest&, std::unique_ptr<Track>&);

// What a writer of the type takes: the rates (a list, or any rate between
// the bounds when the list is empty), the channels, the sample depths of
// PCM writers and the bitrates of coded ones (kbit/s; a list, or bounds).
struct WriterLimits {
    std::span<const long> rates;
    long minRate = 0, maxRate = 0;
    long maxChannels = 0;
    std::span<const long> depths;  // integer bits per sample
    bool floats = false;           // 32-bit float samples too
    std::span<const long> bitrates;
    long minBitrate = 0, maxBitrate = 0;
};

// One type of file: its FormatTypeConstants value, how people and messages
// name it, the extensions that choose it (OpenFile and CreateFile with
// DEFAULT; the first one for writing is the usual one), the kinds of file it
// reads by their signature, its reader and writer, and what the writer
// takes. A row without reader or writer stands for a type the component
// names but cannot read or write here.
struct ContainerEntry {
    long formatType;
    std::string_view name;                               // short and lower case, as on a command line: "wav"
    std::string_view title;                              // "WAV", "MPEG audio"
    std::string_view inWords;                            // what its reader takes a file for: "a WAV file"
    std::span<const std::string_view> openExtensions;    // lower case, no dot
    std::span<const std::string_view> createExtensions;  // lower case, no dot
    std::span<const probe::Kind> kinds;                  // signatures its reader reads
    Opener open;                                         // reading; nullptr: no reader
    Creator create;                                      // writing; nullptr: no writer
    bool readWritePair;                                  // the type can be opened for reading and writing
    bool walked;  // a library walk takes its files (raw and telephony data, AVI films are not music)
    WriterLimits writer;
    // The FormatTag property of an open file of the type; nullptr: 65535.
    long (*formatTag)(const FullFormat& full) = nullptr;
    // The Bitrate property (bit/s) where the settings decide it (opening, or
    // creating); nullptr: the byte rate of the file's record x 8.
    long (*bitrate)(const OutputSettings& output, bool creating) = nullptr;
};

// Every row, in FormatTypeConstants order.
std::span<const ContainerEntry> containers();
// The entry of a FormatTypeConstants value, or nullptr for unknown types.
const ContainerEntry* findContainer(long formatType);
// The type a file name's extension chooses (any letter case) for opening or
// for creating; RAW when no row claims it, as the component always did.
long typeForName(const std::string& name, bool forCreate);
// Whether a reader of the type reads files of this signature kind, and
// whether any type's reader does.
bool readsKind(const ContainerEntry& entry, probe::Kind kind);
// SetFormatLikeSample's sample: a WAV or an MP3 file by its usual extension
// (any letter case). No extension: error FILEACCESS; any other: FORMATFILE.
struct LikeSampleType {
    long type = 0;
    long error = 0;
};
LikeSampleType likeSampleKind(const std::string& fileName);
bool anyReadsKind(probe::Kind kind);

// The containers of this folder.
int16_t openWav(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createWav(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t openRaw(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createRaw(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t openSpeech(const OpenRequest& request, std::unique_ptr<Track>& track);

// MPEG audio carried in a RIFF WAVE file (format tag 80, or 85 when the codec
// manager is not chosen for decoding) goes to the MPEG reader.
extern const Opener kMpegInWaveOpener;

}  // namespace qoro::audiofile
