// qoro convert: output formats, planning the outputs of a batch, and the
// conversion of one file through two AudioFile objects.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qoro/AudioFile.h"

namespace qoro::cli {

namespace fs = std::filesystem;

// A file type qoro writes: its name on the command line, the component's
// type and the extension of its output names.
struct TargetType {
    std::string name;
    LONG type = WAV;
    std::string extension;
};

// The target type named by --to ("wav", "mp3", ...), if any.
std::optional<TargetType> targetTypeByName(const std::string& name);
// The target type an output name's extension implies, if any.
std::optional<TargetType> targetTypeByExtension(const fs::path& path);

struct ConvertOptions {
    std::vector<std::string> inputs;
    std::string output;  // -o: a folder or, for one input, a file; empty = beside each source
    std::optional<TargetType> to;
    std::optional<long> rate, channels, bits, bitrate, minBitrate, maxBitrate, g723Rate, g726Rate;
    std::optional<double> quality;      // Ogg Vorbis quality, -1 to 10
    std::optional<LONG> compression;    // raw: RawTypeCompressConstants
    std::optional<std::string> lame;    // a LAME command line
    std::optional<std::string> preset;  // a LAME preset name
    bool overwrite = false;
    bool skipExisting = false;
    bool tags = true;
    int jobs = 0;  // 0 = number of cores
};

// Parses the arguments after "convert"; false with a message on bad usage.
bool parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& options, std::string& error);

// The LAME preset numbers: phone..studio, r3mix (SetParamsFromPreset) and
// 101..105 (SetParamsFromAltPreset with the number - 100).
std::optional<int> presetNumber(const std::string& name);

struct Job {
    fs::path source;
    fs::path target;
    TargetType type;
    bool skip = false;  // target exists and --skip-existing
};

// Whether -o names a folder: an existing folder, a name ending in "/", a new
// name without extension, or any new name when there are several inputs.
bool outputNamesFolder(const ConvertOptions& options);

// Works out every output before anything is written. Refuses (false, with
// one message per problem) outputs that collide with each other or with a
// source, and existing targets unless --overwrite or --skip-existing.
bool planJobs(const ConvertOptions& options, std::vector<Job>& jobs, std::vector<std::string>& problems);

// Ogg Vorbis output is always 44100 Hz stereo, whatever is asked. When a
// job writes Ogg Vorbis and --rate or --channels asks for something else,
// the line that says what is ignored; empty otherwise.
constexpr long kOggRate = 44100;
constexpr long kOggChannels = 2;
std::string ignoredOptionsWarning(const ConvertOptions& options, const std::vector<Job>& jobs);

// Name of the temporary file a job is written to before it is renamed into
// place: hidden, in the target folder, with the target's extension.
fs::path temporaryPath(const fs::path& target, unsigned serial);

struct Progress {
    long long framesDone = 0;
    long long framesTotal = 0;  // 0 when the length is unknown
    int frequency = 0;          // frames per second of the source's array format
};

struct JobResult {
    bool ok = false;
    std::string message;  // failure reason, or a note
    double seconds = 0;   // converted audio, in seconds
};

// Converts one file. 'progress' is called after every block; 'cancel' is
// checked between blocks. The target appears only when complete; on failure
// or cancellation the temporary file is removed and nothing else is touched.
JobResult convertJob(const Job& job, const ConvertOptions& options, unsigned serial,
                     const std::function<void(const Progress&)>& progress, const std::atomic<bool>& cancel);

}  // namespace qoro::cli
