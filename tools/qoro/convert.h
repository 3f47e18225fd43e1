// qoro convert: output formats, planning the outputs of a batch, and the
// conversion of one file through two AudioFile objects.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/conversion.h"
#include "qoro/AudioFile.h"
#include "shard.h"

namespace qoro::cli {

struct TrackLoudness;  // replaygain.h

namespace fs = std::filesystem;

// A file type qoro writes: its name on the command line, the component's
// type and the extension of its output names. The types are those the
// audio file component lists as written (formats.h) that qoro can set up.
struct TargetType {
    std::string name;
    LONG type = 0;
    std::string extension;
};

// Every target type, in the component's order, and their names ("wav, mp3, ...").
std::vector<TargetType> targetTypes();
std::string targetNames();
// The target type named by --to ("wav", "mp3", ...), if any.
std::optional<TargetType> targetTypeByName(const std::string& name);
// The target type an output name's extension implies (as CreateFile chooses
// it: ".pcm" and ".dat" are raw samples), if any.
std::optional<TargetType> targetTypeByExtension(const fs::path& path);
// Why --to does not take 'name', in words.
std::string unknownTargetWords(const std::string& name);

// What --from raw:RATE:CHANNELS:BITS says of sources without a header.
struct RawSource {
    long rate = 44100;
    long channels = 2;
    long bits = 16;
};

// Parses "raw:RATE:CHANNELS:BITS"; false with a message when it is not one
// the components read (1000-384000 Hz, 1 or 2 channels, 8 or 16 bits).
bool parseRawSource(const std::string& text, RawSource& raw, std::string& error);

struct ConvertOptions {
    std::vector<std::string> inputs;
    std::string output;  // -o: a folder or, for one input, a file; empty = beside each source
    std::optional<TargetType> to;
    std::optional<long> rate, channels, bits, bitrate, minBitrate, maxBitrate, g723Rate, g726Rate;
    bool floats = false;  // --bits 32f: 32-bit float samples
    bool dither = true;   // TPDF where deeper samples are rounded to 16 bits (--dither)
    std::optional<double> quality;      // Ogg Vorbis quality, -1 to 10
    std::optional<long> level;          // FLAC compression level, 0 to 8
    std::optional<long> complexity;     // Opus encoder complexity, 0 to 10
    std::optional<LONG> compression;    // raw: RawTypeCompressConstants
    std::optional<std::string> lame;    // a LAME command line
    std::optional<std::string> preset;  // a LAME preset name
    std::optional<RawSource> from;      // the sources are headerless samples of this form
    bool verbose = false;               // a line for every file not converted because of its kind
    bool overwrite = false;
    bool skipExisting = false;
    bool tags = true;
    int jobs = 0;  // 0 = number of cores
    // Whole libraries: -R walks folders; --update converts only sources whose
    // target is missing or older; --files-from names a list of sources ("-":
    // standard input); --shard K/N takes one share of the files.
    bool recursive = false;
    bool update = false;
    std::optional<std::string> filesFrom;
    std::optional<Shard> shard;
    // --dry-run prints the plan and converts nothing; --report FILE writes a
    // JSON line for every planned file of the share.
    bool dryRun = false;
    std::optional<std::string> report;
    // --replaygain track|album: the loudness measured in the conversion and
    // written as ReplayGain (R128 for Opus) tags; albums by folder, or by
    // their album and album artist tags (--album-by tag); --true-peak.
    enum class Gain { None, Track, Album } replayGain = Gain::None;
    bool albumByTag = false;
    bool truePeak = false;
};

// Parses the arguments after "convert"; false with a message on bad usage.
bool parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& options, std::string& error);

// The LAME preset numbers: phone..studio, r3mix (SetParamsFromPreset) and
// 101..105 (SetParamsFromAltPreset with the number - 100).
std::optional<int> presetNumber(const std::string& name);

struct Job {
    fs::path source;
    fs::path target;
    std::string outputKey;  // the target's path relative to where the run writes (its Ogg serial)
    TargetType type;
    bool skip = false;      // target exists and --skip-existing
    bool upToDate = false;  // --update: the target is as new as the source or newer
    bool replace = false;   // --update: an older target is replaced
    bool library = false;   // its folder's cover images travel beside its output (-R)
    bool runs() const { return !upToDate; }
};

// Whether -o names a folder: an existing folder, a name ending in "/", a new
// name without extension, or any new name when there are several inputs, a
// list of inputs or folders to walk.
bool outputNamesFolder(const ConvertOptions& options);

// What the option values are checked against: the rate and array channels
// of a source, when it can be opened.
struct SourceShape {
    long rate = 0;
    long channels = 0;
};
using SourceProbe = std::function<std::optional<SourceShape>(const fs::path& source)>;

// Checks every option value against what the writer of each job takes, as
// the audio file component's table says (--rate, --channels, --bits,
// --bitrate, --min-bitrate, --max-bitrate), before anything is written: one
// message per refused value, naming it and what is taken ("--bitrate 999:
// MPEG audio at 44100 Hz takes 32-320 kbit/s (...)"). An MPEG bitrate depends
// on the rate (and, for Layer II, the channels) the job writes; when the
// options leave those to the source, 'probe' tells them.
bool checkOptionValues(const ConvertOptions& options, const std::vector<Job>& jobs, const SourceProbe& probe,
                       std::vector<std::string>& problems);

// Converts one file through the conversion routine of the client library:
// the target appears only when complete; on failure or cancellation the
// temporary file is removed and nothing else is touched.
// With --replaygain, 'loudness' receives the track's meter and what it
// measured (the peak of the decoded output for lossy targets), and the
// track's tags are written into the target before it is published.
client::ConversionResult convertJob(const Job& job, const ConvertOptions& options,
                                    const std::function<void(const client::Progress&)>& progress,
                                    const std::atomic<bool>& cancel, TrackLoudness* loudness = nullptr);

}  // namespace qoro::cli
