// The container table: which reader opens and which writer creates a file of
// each format type. A container kind plugs in by adding its opener and
// creator here; the engine and the other kinds stay as they are.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "containers/settings.h"
#include "containers/track.h"

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

struct ContainerEntry {
    long formatType;
    Opener open;         // reading; nullptr: no reader yet
    Creator create;      // writing; nullptr: no writer yet
    bool readWritePair;  // the type can be opened for reading and writing
};

// The entry of a FormatTypeConstants value, or nullptr for unknown types.
const ContainerEntry* findContainer(long formatType);

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
