#include "convert.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "args.h"
#include "components.h"
#include "tags.h"

namespace qoro::cli {

namespace {

const std::array<TargetType, 9> kTargetTypes = {{
    {"wav", WAV, "wav"},
    {"mp3", MP3, "mp3"},
    {"mp2", MP2, "mp2"},
    {"ogg", OGG, "ogg"},
    {"vox", VOX, "vox"},
    {"g721", G721, "g721"},
    {"g723", G723, "g723"},
    {"g726", G726, "g726"},
    {"raw", RAW, "raw"},
}};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool isOneOf(long value, std::initializer_list<long> accepted) {
    return std::find(accepted.begin(), accepted.end(), value) != accepted.end();
}

// Sample rates of the PCM, VOX and sample-array formats; MPEG rates.
constexpr std::initializer_list<long> kPcmRates = {6000, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr std::initializer_list<long> kMpegRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// The source's rate when the target accepts it, else the nearest family
// member the target does accept.
long keepRate(long sourceRate, std::initializer_list<long> accepted) {
    if (isOneOf(sourceRate, accepted)) return sourceRate;
    return sourceRate % 11025 == 0 ? 44100 : 48000;
}

struct CompressionName {
    const char* name;
    LONG value;
};
constexpr CompressionName kCompressions[] = {{"pcm", PCM},   {"alaw", ALAW},           {"ulaw", ULAW},
                                             {"gsm", GSM},   {"ima-adpcm", IMA_ADPCM}, {"ms-adpcm", MS_ADPCM}};

struct PresetName {
    const char* name;
    int number;
};
constexpr PresetName kPresets[] = {
    {"phone", 1},   {"sw", 2},     {"am", 3},      {"fm", 4},         {"voice", 5},           {"radio", 6},
    {"tape", 7},    {"hifi", 8},   {"cd", 9},      {"studio", 10},    {"r3mix", 11},          {"fast-standard", 101},
    {"standard", 102}, {"fast-extreme", 103}, {"extreme", 104}, {"insane", 105},
};

}  // namespace

std::optional<TargetType> targetTypeByName(const std::string& name) {
    std::string key = lower(name);
    for (const auto& t : kTargetTypes)
        if (t.name == key) return t;
    return std::nullopt;
}

std::optional<TargetType> targetTypeByExtension(const fs::path& path) {
    std::string ext = lower(path.extension().string());
    if (ext.empty()) return std::nullopt;
    ext.erase(0, 1);
    if (ext == "pcm" || ext == "dat") return TargetType{"raw", RAW, ext};
    for (const auto& t : kTargetTypes)
        if (t.extension == ext) return t;
    return std::nullopt;
}

std::optional<int> presetNumber(const std::string& name) {
    std::string key = lower(name);
    std::replace(key.begin(), key.end(), ' ', '-');
    for (const auto& p : kPresets)
        if (key == p.name) return p.number;
    return std::nullopt;
}

bool parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& o, std::string& error) {
    ArgWalker w(args);
    std::string value;
    auto number = [&](const char* what, std::optional<long>& slot) {
        auto n = parseLong(value);
        if (!n) {
            error = std::string("invalid ") + what + ": " + value;
            return false;
        }
        slot = *n;
        return true;
    };
    while (!w.done()) {
        if (w.endOfOptions()) continue;
        if (w.optionsEnded() || w.current().empty() || w.current()[0] != '-' || w.current() == "-") {
            o.inputs.push_back(w.take());
            continue;
        }
        if (w.option("-o", value) || w.option("--output", value)) {
            o.output = value;
        } else if (w.option("--to", value)) {
            o.to = targetTypeByName(value);
            if (!o.to) {
                error = "unknown output type: " + value + " (wav, mp3, mp2, ogg, vox, g721, g723, g726, raw)";
                return false;
            }
        } else if (w.option("-j", value) || w.option("--jobs", value)) {
            auto n = parseLong(value);
            if (!n || *n < 1 || *n > 256) {
                error = "invalid number of jobs: " + value;
                return false;
            }
            o.jobs = static_cast<int>(*n);
        } else if (w.option("--rate", value) || w.option("-r", value)) {
            if (!number("rate", o.rate)) return false;
        } else if (w.option("--channels", value) || w.option("-c", value)) {
            if (!number("channel count", o.channels)) return false;
            if (*o.channels != 1 && *o.channels != 2) {
                error = "channels must be 1 or 2";
                return false;
            }
        } else if (w.option("--bits", value)) {
            if (!number("bits", o.bits)) return false;
        } else if (w.option("--bitrate", value) || w.option("-b", value)) {
            if (!number("bitrate", o.bitrate)) return false;
        } else if (w.option("--min-bitrate", value)) {
            if (!number("bitrate", o.minBitrate)) return false;
        } else if (w.option("--max-bitrate", value)) {
            if (!number("bitrate", o.maxBitrate)) return false;
        } else if (w.option("--quality", value) || w.option("-q", value)) {
            o.quality = parseDouble(value);
            if (!o.quality || *o.quality < -1 || *o.quality > 10) {
                error = "Ogg Vorbis quality must lie between -1 and 10: " + value;
                return false;
            }
        } else if (w.option("--compression", value)) {
            std::string key = lower(value);
            for (const auto& c : kCompressions)
                if (key == c.name) o.compression = c.value;
            if (!o.compression) {
                error = "unknown raw compression: " + value + " (pcm, alaw, ulaw, gsm, ima-adpcm, ms-adpcm)";
                return false;
            }
        } else if (w.option("--g723-rate", value)) {
            if (!number("G.723 rate", o.g723Rate)) return false;
            if (*o.g723Rate != 24 && *o.g723Rate != 40) {
                error = "G.723 rate must be 24 or 40 (kbit/s)";
                return false;
            }
        } else if (w.option("--g726-rate", value)) {
            if (!number("G.726 rate", o.g726Rate)) return false;
            if (!isOneOf(*o.g726Rate, {16, 24, 32, 40})) {
                error = "G.726 rate must be 16, 24, 32 or 40 (kbit/s)";
                return false;
            }
        } else if (w.option("--lame", value)) {
            o.lame = value;
        } else if (w.option("--preset", value)) {
            if (!presetNumber(value)) {
                error = "unknown preset: " + value;
                return false;
            }
            o.preset = value;
        } else if (w.flag("--overwrite") || w.flag("-f")) {
            o.overwrite = true;
        } else if (w.flag("--skip-existing") || w.flag("-n")) {
            o.skipExisting = true;
        } else if (w.flag("--no-tags")) {
            o.tags = false;
        } else {
            error = "unknown option: " + w.current();
            return false;
        }
        if (!w.error().empty()) {
            error = w.error();
            return false;
        }
    }
    if (o.overwrite && o.skipExisting) {
        error = "--overwrite and --skip-existing exclude each other";
        return false;
    }
    if (o.inputs.empty()) {
        error = "no input files";
        return false;
    }
    return true;
}

fs::path temporaryPath(const fs::path& target, unsigned serial) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "." + string.
    std::string name(1, '.');
    name += target.stem().string();
    name += ".qoro-" + std::to_string(::getpid()) + "-" + std::to_string(serial);
    name += target.extension().string();
    return target.parent_path() / name;
}

bool outputNamesFolder(const ConvertOptions& o) {
    if (o.output.empty()) return false;
    std::error_code ec;
    if (o.output.back() == '/' || fs::is_directory(o.output, ec)) return true;
    if (fs::exists(o.output, ec)) return false;
    // A name yet to be made: a file for one input when it has an extension.
    return o.inputs.size() > 1 || fs::path(o.output).extension().empty();
}

bool planJobs(const ConvertOptions& o, std::vector<Job>& jobs, std::vector<std::string>& problems) {
    jobs.clear();
    std::error_code ec;
    bool outputIsFile = !o.output.empty() && !outputNamesFolder(o);
    if (outputIsFile && o.inputs.size() > 1) {
        problems.push_back(o.output + ": not a folder, but there are several input files");
        return false;
    }
    for (const auto& input : o.inputs) {
        Job job;
        job.source = input;
        std::optional<TargetType> type = o.to;
        if (outputIsFile) {
            job.target = o.output;
            if (!type) type = targetTypeByExtension(job.target);
            if (!type) {
                problems.push_back(o.output + ": cannot tell the output type from the name; use --to");
                continue;
            }
        } else {
            if (!type) {
                problems.push_back("no output type: use --to, or -o with a file name");
                return false;
            }
            fs::path folder = o.output.empty() ? job.source.parent_path() : fs::path(o.output);
            job.target = folder / (job.source.stem().string() + "." + type->extension);
        }
        job.type = *type;
        jobs.push_back(std::move(job));
    }
    if (!problems.empty()) return false;

    // Compare outputs and sources by their absolute, normalised names (and
    // by identity when the file exists already, which catches links).
    auto key = [](const fs::path& p) {
        std::error_code e;
        fs::path k = fs::weakly_canonical(fs::absolute(p, e), e);
        return e ? fs::absolute(p).lexically_normal() : k;
    };
    std::map<fs::path, const Job*> outputs;
    std::set<fs::path> sources;
    for (const auto& job : jobs) sources.insert(key(job.source));
    for (const auto& job : jobs) {
        fs::path target = key(job.target);
        auto [it, fresh] = outputs.emplace(target, &job);
        if (!fresh)
            problems.push_back(job.target.string() + ": output of both " + it->second->source.string() + " and " +
                               job.source.string());
        if (sources.count(target) ||
            (fs::exists(job.target, ec) && fs::equivalent(job.source, job.target, ec)))
            problems.push_back(job.target.string() + ": output would overwrite a source file");
    }
    if (!problems.empty()) return false;

    for (auto& job : jobs) {
        if (!fs::exists(job.target, ec)) continue;
        if (o.skipExisting) job.skip = true;
        else if (!o.overwrite) problems.push_back(job.target.string() + ": exists (use --overwrite or --skip-existing)");
        else if (fs::is_directory(job.target, ec)) problems.push_back(job.target.string() + ": is a folder");
    }
    return problems.empty();
}

std::string ignoredOptionsWarning(const ConvertOptions& o, const std::vector<Job>& jobs) {
    bool ogg = std::any_of(jobs.begin(), jobs.end(), [](const Job& j) { return !j.skip && j.type.type == OGG; });
    if (!ogg) return {};
    std::string ignored;
    if (o.rate && *o.rate != kOggRate) ignored += " --rate " + std::to_string(*o.rate);
    if (o.channels && *o.channels != kOggChannels) ignored += " --channels " + std::to_string(*o.channels);
    if (ignored.empty()) return {};
    return "warning: Ogg Vorbis files are always written at " + std::to_string(kOggRate) + " Hz, stereo;" + ignored +
           " ignored for them";
}

namespace {

// Chooses the output format on 'target' from the options and the opened
// source; false with a message when the component refuses it.
bool chooseFormat(IAudioFile* target, const Job& job, const ConvertOptions& o, long sourceRate, long sourceChannels,
                  long sourceBits, std::string& error) {
    LONG blockAlign = 0;
    long channels = o.channels.value_or(sourceChannels == 1 ? 1 : 2);
    switch (job.type.type) {
    case WAV:
        target->SetFormatPCM(o.rate.value_or(keepRate(sourceRate, kPcmRates)), channels,
                             o.bits.value_or(sourceBits == 8 ? 8 : 16), &blockAlign);
        break;
    case RAW:
        target->SetFormatRAW(o.compression.value_or(PCM), o.rate.value_or(keepRate(sourceRate, kPcmRates)), channels,
                             o.bits.value_or(16), &blockAlign);
        break;
    case MP3: {
        long rate = o.rate.value_or(keepRate(sourceRate, kMpegRates));
        target->SetFormatMP3(rate, o.bitrate.value_or(128), channels, &blockAlign);
        if (blockAlign == 0 || (!o.lame && !o.preset)) break;
        ComPtr<IAudioFileLameMp3Encoder> encoder;
        target->get_Mp3LameEncoder(encoder.put());
        if (!encoder) break;
        // A LAME command line starts from LAME's own defaults; a preset then
        // sets what it sets. What the line and the preset leave alone keeps
        // the source's rate and channels; explicit options always win.
        bool lineRate = false, lineChannels = false, lineBitrate = false, presetAll = false;
        if (o.lame) {
            Bstr line(*o.lame);
            encoder->SetParamsFromCommandLine(line.get());
            std::string text = " " + *o.lame + " ";
            lineRate = text.find(" --resample ") != std::string::npos;
            lineChannels = text.find(" -m ") != std::string::npos;
            lineBitrate = text.find(" -b ") != std::string::npos;
            presetAll = text.find(" --preset ") != std::string::npos ||
                        text.find(" --alt-preset ") != std::string::npos || text.find(" --r3mix ") != std::string::npos;
        }
        if (o.preset) {
            int n = *presetNumber(*o.preset);
            if (n > 100) encoder->SetParamsFromAltPreset(static_cast<SHORT>(n - 100));
            else encoder->SetParamsFromPreset(static_cast<SHORT>(n));
            presetAll = true;
        }
        if (o.rate || (!lineRate && !presetAll)) encoder->put_Frequency(rate);
        if (o.channels || (!lineChannels && !presetAll)) encoder->put_Channels(channels);
        if (o.bitrate || (!lineBitrate && !presetAll)) encoder->put_Bitrate(o.bitrate.value_or(128));
        break;
    }
    case MP2:
        target->SetFormatMP2(o.rate.value_or(keepRate(sourceRate, kMpegRates)), o.bitrate.value_or(128),
                             static_cast<SHORT>(channels), &blockAlign);
        break;
    case OGG: {
        SHORT quality = o.quality ? static_cast<SHORT>(std::lround(*o.quality * 100)) : SHORT(-1);
        long nominal = o.bitrate.value_or(o.quality || o.minBitrate || o.maxBitrate ? -1 : 128);
        target->SetFormatOggVorbis(o.rate.value_or(kOggRate), o.channels.value_or(kOggChannels), nominal, o.minBitrate.value_or(-1),
                                   o.maxBitrate.value_or(-1), quality, &blockAlign);
        break;
    }
    case VOX:
        target->SetFormatVOX(o.rate.value_or(8000), &blockAlign);
        break;
    case G721:
        target->SetFormatG721(o.rate.value_or(8000), &blockAlign);
        break;
    case G723:
        target->SetFormatG723(o.rate.value_or(8000), o.g723Rate.value_or(24) == 40 ? G723_40_KBPS : G723_24_KBPS,
                              &blockAlign);
        break;
    case G726: {
        long kbps = o.g726Rate.value_or(32);
        target->SetFormatG726(o.rate.value_or(8000), kbps / 8 - 1, &blockAlign);
        break;
    }
    default:
        break;
    }
    if (blockAlign != 0) return true;
    LONG code = lastError(target);
    error = "output format refused by the component" + (code != NOERRORS ? " (" + errorName(code) + ")" : std::string()) +
            ": " + job.type.name;
    if (o.rate) error += ", " + std::to_string(*o.rate) + " Hz";
    if (o.channels) error += ", " + std::to_string(*o.channels) + " channel(s)";
    if (o.bits) error += ", " + std::to_string(*o.bits) + " bits";
    return false;
}

// Flushes a finished file to disk, so the rename never publishes a file
// whose data is still only in memory.
bool syncFile(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Renames 'from' to 'to'; without 'replace' an existing 'to' is never
// touched, even when it appeared during the conversion.
bool publish(const fs::path& from, const fs::path& to, bool replace, std::string& error) {
    if (!replace) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno == EEXIST) {
            error = to.string() + ": appeared during the conversion; left as it was";
            return false;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            error = to.string() + ": " + std::strerror(errno);
            return false;
        }
        // The file system cannot refuse to replace: link, then unlink.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
        error = to.string() + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = to.string() + ": " + std::strerror(errno);
    return false;
}

// Removes the temporary file unless it was published.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) {
            std::error_code ec;
            fs::remove(path_, ec);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const fs::path& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    fs::path path_;
    bool kept_ = false;
};

// Closes an AudioFile when the conversion leaves, whatever the way.
struct Closer {
    IAudioFile* file;
    ~Closer() {
        if (file) file->CloseFile();
    }
};

}  // namespace

JobResult convertJob(const Job& job, const ConvertOptions& o, unsigned serial,
                     const std::function<void(const Progress&)>& progress, const std::atomic<bool>& cancel) {
    JobResult result;
    ComPtr<IAudioFile> source = createAudioFile();
    ComPtr<IAudioFile> target = createAudioFile();
    if (!source || !target) {
        result.message = "the audio file component cannot be created";
        return result;
    }

    Bstr sourceName(job.source.string());
    source->OpenFile(sourceName.get(), DEFAULT, READ);
    if (LONG code = lastError(source.get()); code < 0) {
        result.message = errorName(code) + " (" + errorText(code) + ")";
        return result;
    }
    Closer closeSource{source.get()};

    LONG rate = 0, channels = 0, bits = 0, arrayRate = 0, arrayChannels = 0, frames = 0;
    source->get_Frequency(&rate);
    source->get_nChannels(&channels);
    source->get_BitsPerSample(&bits);
    source->get_ArrayFrequency(&arrayRate);
    source->get_ArrayChannels(&arrayChannels);
    source->get_nSamples(&frames);
    if (arrayRate <= 0 || arrayChannels <= 0) {
        result.message = "FORMATFILE (the source reports no sample format)";
        return result;
    }

    if (!chooseFormat(target.get(), job, o, rate, arrayChannels, bits, result.message)) return result;

    TemporaryFile temporary(temporaryPath(job.target, serial));
    Bstr targetName(temporary.path().string());
    target->CreateFile(targetName.get(), job.type.type);
    if (LONG code = lastError(target.get()); code < 0) {
        result.message = "cannot create " + job.target.string() + ": " + errorName(code) + " (" + errorText(code) + ")";
        return result;
    }
    Closer closeTarget{target.get()};
    target->SetFormatArray(arrayRate, arrayChannels);

    Progress state;
    state.framesTotal = frames > 0 ? frames : 0;
    state.frequency = arrayRate;
    const LONG block = std::max<LONG>(arrayRate / 10, 1);
    for (;;) {
        if (cancel.load(std::memory_order_relaxed)) {
            result.message = "interrupted";
            return result;
        }
        SAFEARRAY* raw = nullptr;
        source->ReadFile(block, &raw);
        SampleArray array(raw);
        if (LONG code = lastError(source.get()); code < 0) {
            result.message = "reading: " + errorName(code) + " (" + errorText(code) + ")";
            return result;
        }
        long n = elementCount(array.get());
        if (n < 1) break;
        SAFEARRAY* handed = array.get();
        target->WriteFile(&handed);
        if (LONG code = lastError(target.get()); code < 0) {
            result.message = "writing: " + errorName(code) + " (" + errorText(code) + ")";
            return result;
        }
        state.framesDone += n / arrayChannels;
        if (progress) progress(state);
    }
    closeTarget.file = nullptr;
    target->CloseFile();
    closeSource.file = nullptr;
    source->CloseFile();

    if (o.tags) {
        std::string tagError;
        if (!carryTags(job.source, temporary.path(), tagError)) {
            result.message = "tags: " + tagError;
            return result;
        }
    }
    // Before replacing a file, make sure the new one is on disk: a crash
    // must leave the old or the new file, never an empty one.
    std::error_code ec;
    if (o.overwrite && fs::exists(job.target, ec) && !syncFile(temporary.path())) {
        result.message = "cannot flush " + temporary.path().string() + ": " + std::strerror(errno);
        return result;
    }
    if (cancel.load()) {
        result.message = "interrupted";
        return result;
    }
    if (!publish(temporary.path(), job.target, o.overwrite, result.message)) return result;
    temporary.keep();
    result.ok = true;
    result.seconds = static_cast<double>(state.framesDone) / arrayRate;
    return result;
}

}  // namespace qoro::cli
