// The container table: which reader opens and which writer creates a file of
// each format type. A container kind plugs in by adding its opener and
// creator here; the engine and the other kinds stay as they are.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

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
