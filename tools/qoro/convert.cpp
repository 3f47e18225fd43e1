#include "convert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <span>

#include "acm/wave_format.h"
#include "client/ogg_serial.h"
#include "args.h"
#include "components.h"
#include "tags.h"

namespace qoro::cli {

namespace {

const std::array<TargetType, 11> kTargetTypes = {{
    {"wav", WAV, "wav"},
    {"flac", FLAC, "flac"},
    {"opus", OPUS, "opus"},
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

bool isOneOf(long value, std::span<const long> accepted) {
    return std::find(accepted.begin(), accepted.end(), value) != accepted.end();
}

// Sample rates of the PCM, VOX and sample-array formats, and of the A-law,
// u-law, ADPCM and GSM coders (the codec manager's lists); the MPEG rates the
// MP3 encoders take (MPEG-1, MPEG-2 and MPEG-2.5), and those of the Layer II
// encoder (MPEG-1 and MPEG-2).
using acm::kCoderRates;
using acm::kPcmRates;
constexpr long kMpegRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr long kMp2Rates[] = {16000, 22050, 24000, 32000, 44100, 48000};
// Rates of raw PCM, A-law and u-law files, and of the telephony coders.
constexpr long kRawMinRate = 1000, kRawMaxRate = 384000;
constexpr long kFlacMinRate = 1000, kFlacMaxRate = 384000;  // what SetFormatFLAC takes
// Opus: always 48000 Hz; bitrates and complexities SetFormatOpus takes.
constexpr long kOpusRate = 48000;
constexpr long kOpusMinBitrate = 6, kOpusMaxBitrate = 510;
constexpr long kTelephonyMaxRate = 1000000;

// Bitrates in kbit/s: Layer III at the MPEG-1 rates and at the lower ones
// (Layer II at those too); Layer II at the MPEG-1 rates, by channel mode.
constexpr long kMpeg1Layer3Bitrates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr long kMpeg2Bitrates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr long kMpeg1Layer2MonoBitrates[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192};
constexpr long kMpeg1Layer2StereoBitrates[] = {64, 96, 112, 128, 160, 192, 224, 256, 320, 384};
// G.726 bitrates.
constexpr long kG726Rates[] = {16, 24, 32, 40};
// Ogg Vorbis bitrates at 44100 Hz stereo (nominal, least and most).
constexpr long kOggMinBitrate = 45, kOggMaxBitrate = 500;

// The source's rate when the target accepts it, else the nearest family
// member the target does accept.
long keepRate(long sourceRate, std::span<const long> accepted) {
    if (isOneOf(sourceRate, accepted)) return sourceRate;
    return sourceRate % 11025 == 0 ? 44100 : 48000;
}

struct CompressionName {
    const char* name;
    LONG value;
};
constexpr CompressionName kCompressions[] = {{"pcm", PCM}, {"alaw", ALAW},           {"ulaw", ULAW},
                                             {"gsm", GSM}, {"ima-adpcm", IMA_ADPCM}, {"ms-adpcm", MS_ADPCM}};

struct PresetName {
    const char* name;
    int number;
};
constexpr PresetName kPresets[] = {
    {"phone", 1},      {"sw", 2},
    {"am", 3},         {"fm", 4},
    {"voice", 5},      {"radio", 6},
    {"tape", 7},       {"hifi", 8},
    {"cd", 9},         {"studio", 10},
    {"r3mix", 11},     {"fast-standard", 101},
    {"standard", 102}, {"fast-extreme", 103},
    {"extreme", 104},  {"insane", 105},
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

bool parseRawSource(const std::string& text, RawSource& raw, std::string& error) {
    error = "--from " + text + ": ";
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() != 4 || lower(parts[0]) != "raw") {
        error += "describe the sources as raw:RATE:CHANNELS:BITS, e.g. raw:44100:2:16";
        return false;
    }
    const auto rate = parseLong(parts[1]), channels = parseLong(parts[2]), bits = parseLong(parts[3]);
    if (!rate || *rate < kRawMinRate || *rate > kRawMaxRate) {
        error +=
            "the rate must lie between " + std::to_string(kRawMinRate) + " and " + std::to_string(kRawMaxRate) + " Hz";
        return false;
    }
    if (!channels || (*channels != 1 && *channels != 2)) {
        error += "raw sources have 1 or 2 channels";
        return false;
    }
    if (!bits || (*bits != 8 && *bits != 16)) {
        error += "raw sources have 8 or 16 bits";
        return false;
    }
    raw = RawSource{*rate, *channels, *bits};
    error.clear();
    return true;
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
                error =
                    "unknown output type: " + value + " (wav, flac, opus, mp3, mp2, ogg, vox, g721, g723, g726, raw)";
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
        } else if (w.option("--level", value)) {
            if (!number("FLAC level", o.level)) return false;
            if (*o.level < 0 || *o.level > 8) {
                error = "FLAC level must lie between 0 and 8: " + value;
                return false;
            }
        } else if (w.option("--complexity", value)) {
            if (!number("Opus complexity", o.complexity)) return false;
            if (*o.complexity < 0 || *o.complexity > 10) {
                error = "Opus complexity must lie between 0 and 10: " + value;
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
            if (!isOneOf(*o.g726Rate, kG726Rates)) {
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
        } else if (w.option("--from", value)) {
            RawSource raw;
            if (!parseRawSource(value, raw, error)) return false;
            o.from = raw;
        } else if (w.flag("--verbose") || w.flag("-v")) {
            o.verbose = true;
        } else if (w.flag("--overwrite") || w.flag("-f")) {
            o.overwrite = true;
        } else if (w.flag("--skip-existing") || w.flag("-n")) {
            o.skipExisting = true;
        } else if (w.flag("--no-tags")) {
            o.tags = false;
        } else if (w.flag("--recursive") || w.flag("-R")) {
            o.recursive = true;
        } else if (w.flag("--update")) {
            o.update = true;
        } else if (w.option("--files-from", value)) {
            if (value.empty()) {
                error = "--files-from needs a file name (- for standard input)";
                return false;
            }
            o.filesFrom = value;
        } else if (w.flag("--dry-run")) {
            o.dryRun = true;
        } else if (w.option("--report", value)) {
            if (value.empty()) {
                error = "--report needs a file name";
                return false;
            }
            o.report = value;
        } else if (w.option("--shard", value)) {
            o.shard = parseShard(value);
            if (!o.shard) {
                error = "invalid --shard " + value + ": K/N with 0 <= K < N, e.g. --shard 0/4";
                return false;
            }
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
    if (o.from && o.recursive) {
        error = "--from describes the files named, not what -R finds in folders";
        return false;
    }
    if (o.update && (o.overwrite || o.skipExisting)) {
        error = std::string("--update excludes ") + (o.overwrite ? "--overwrite" : "--skip-existing") +
                " (it replaces exactly the targets older than their sources)";
        return false;
    }
    if (o.dryRun && o.report) {
        error = "--dry-run converts nothing, so --report has nothing to record";
        return false;
    }
    if (o.inputs.empty() && !o.filesFrom) {
        error = "no input files";
        return false;
    }
    return true;
}

bool outputNamesFolder(const ConvertOptions& o) {
    if (o.output.empty()) return false;
    std::error_code ec;
    if (o.output.back() == '/' || fs::is_directory(o.output, ec)) return true;
    if (o.recursive || o.filesFrom) return true;
    if (fs::exists(o.output, ec)) return false;
    // A name yet to be made: a file for one input when it has an extension.
    return o.inputs.size() > 1 || fs::path(o.output).extension().empty();
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

// "6000, 8000 or 11025"
std::string listText(std::span<const long> values, const char* last = " or ") {
    std::string text;
    size_t i = 0;
    for (long v : values) {
        if (i++) text += i == values.size() ? last : ", ";
        text += std::to_string(v);
    }
    return text;
}

// "32-320 kbit/s (32, 40, ..., 320)"
std::string bitrateText(std::span<const long> values) {
    return std::to_string(values.front()) + "-" + std::to_string(values.back()) + " kbit/s (" + listText(values, ", ") +
           ")";
}

const char* typeTitle(LONG type) {
    switch (type) {
    case WAV: return "WAV";
    case FLAC: return "FLAC";
    case OPUS: return "Opus";
    case MP3: return "MP3";
    case MP2: return "MP2";
    case OGG: return "Ogg Vorbis";
    case VOX: return "VOX";
    case G721: return "G.721";
    case G723: return "G.723";
    case G726: return "G.726";
    default: return "raw";
    }
}

const char* compressionTitle(LONG compression) {
    for (const auto& c : kCompressions)
        if (c.value == compression) return c.name;
    return "pcm";
}

// The bitrates (kbit/s) an MPEG encoder takes at a rate and channel count.
std::span<const long> mpegBitrates(LONG type, long rate, long channels) {
    const bool mpeg1 = rate >= 32000;
    if (!mpeg1) return kMpeg2Bitrates;
    if (type == MP3) return kMpeg1Layer3Bitrates;
    return channels == 1 ? kMpeg1Layer2MonoBitrates : kMpeg1Layer2StereoBitrates;
}

// The rate a job writes when --rate leaves it to the source.
long defaultRate(LONG type, long sourceRate, LONG compression = PCM) {
    switch (type) {
    case MP3: return keepRate(sourceRate, kMpegRates);
    case MP2: return keepRate(sourceRate, kMp2Rates);
    case RAW:
        if (compression != PCM && compression != ALAW && compression != ULAW)
            return isOneOf(sourceRate, kCoderRates) ? sourceRate : sourceRate < 16000 ? 8000 : 44100;
        return keepRate(sourceRate, kPcmRates);
    case WAV: return keepRate(sourceRate, kPcmRates);
    case FLAC: return std::clamp(sourceRate > 0 ? sourceRate : 44100L, kFlacMinRate, kFlacMaxRate);
    case OGG: return kOggRate;
    case OPUS: return kOpusRate;
    default: return 8000;
    }
}

// What --rate takes for a job, or an empty text when the rate is taken.
std::string rateRefusal(const Job& job, const ConvertOptions& o, long rate) {
    const std::string what = "--rate " + std::to_string(rate) + ": ";
    switch (job.type.type) {
    case WAV:
    case VOX:
        if (isOneOf(rate, kPcmRates)) return {};
        return what + typeTitle(job.type.type) + " takes " + listText(kPcmRates) + " Hz";
    case MP3:
        if (isOneOf(rate, kMpegRates)) return {};
        return what + "MP3 takes " + listText(kMpegRates) + " Hz";
    case FLAC:
        if (rate >= kFlacMinRate && rate <= kFlacMaxRate) return {};
        return what + "FLAC takes " + std::to_string(kFlacMinRate) + "-" + std::to_string(kFlacMaxRate) + " Hz";
    case OPUS:
        if (rate == kOpusRate) return {};
        return what + "Opus is written at " + std::to_string(kOpusRate) + " Hz";
    case MP2:
        if (isOneOf(rate, kMp2Rates)) return {};
        return what + "MP2 takes " + listText(kMp2Rates) + " Hz";
    case RAW: {
        const LONG compression = o.compression.value_or(PCM);
        if (compression == PCM || compression == ALAW || compression == ULAW) {
            if (rate >= kRawMinRate && rate <= kRawMaxRate) return {};
            return what + "raw " + compressionTitle(compression) + " takes " + std::to_string(kRawMinRate) + "-" +
                   std::to_string(kRawMaxRate) + " Hz";
        }
        if (isOneOf(rate, kCoderRates)) return {};
        return what + "raw " + compressionTitle(compression) + " takes " + listText(kCoderRates) + " Hz";
    }
    case G721:
    case G723:
    case G726:
        if (rate >= 1 && rate <= kTelephonyMaxRate) return {};
        return what + typeTitle(job.type.type) + " takes 1-" + std::to_string(kTelephonyMaxRate) + " Hz";
    default: return {};  // Ogg Vorbis: always 44100 Hz (the warning says so)
    }
}

std::string bitsRefusal(const Job& job, const ConvertOptions& o, long bits) {
    if (job.type.type == FLAC && bits != 16) return "--bits " + std::to_string(bits) + ": FLAC is written at 16 bits";
    if (job.type.type == OPUS) return "--bits " + std::to_string(bits) + ": Opus has no sample size to choose";
    const bool pcm = job.type.type == WAV || (job.type.type == RAW && o.compression.value_or(PCM) == PCM);
    if (!pcm || bits == 8 || bits == 16) return {};
    return "--bits " + std::to_string(bits) + ": " + (job.type.type == WAV ? "WAV" : "raw pcm") + " takes 8 or 16 bits";
}

std::string oggBitrateRefusal(const char* option, const std::optional<long>& value) {
    if (!value || (*value >= kOggMinBitrate && *value <= kOggMaxBitrate)) return {};
    return std::string(option) + " " + std::to_string(*value) + ": Ogg Vorbis at 44100 Hz, stereo, takes " +
           std::to_string(kOggMinBitrate) + "-" + std::to_string(kOggMaxBitrate) + " kbit/s";
}

// The bitrate of an MP3 or MP2 job: checked at the rate and channels the
// job writes, or against every rate when the source cannot tell.
// 'key' receives what the refusal depends on, so one line covers every job
// it applies to.
std::string mpegBitrateRefusal(const Job& job, const ConvertOptions& o, long bitrate,
                               const std::optional<SourceShape>& shape, std::string& key) {
    const LONG type = job.type.type;
    const std::string what = "--bitrate " + std::to_string(bitrate) + ": " + typeTitle(type);
    std::optional<long> rate = o.rate;
    if (!rate && shape && shape->rate > 0) rate = defaultRate(type, shape->rate);
    std::optional<long> channels = o.channels;
    if (!channels && shape && shape->channels > 0) channels = shape->channels == 1 ? 1 : 2;
    key = what;
    if (!rate || (type == MP2 && *rate >= 32000 && !channels)) {
        // Unknown: refuse only what no rate and no channel mode takes.
        const long most = type == MP3 ? 320 : 384;
        std::set<long> any(std::begin(kMpeg2Bitrates), std::end(kMpeg2Bitrates));
        if (type == MP3)
            any.insert(std::begin(kMpeg1Layer3Bitrates), std::end(kMpeg1Layer3Bitrates));
        else {
            any.insert(std::begin(kMpeg1Layer2MonoBitrates), std::end(kMpeg1Layer2MonoBitrates));
            any.insert(std::begin(kMpeg1Layer2StereoBitrates), std::end(kMpeg1Layer2StereoBitrates));
        }
        if (any.count(bitrate)) return {};
        return what + " takes 8-" + std::to_string(most) + " kbit/s, as the rate allows";
    }
    const auto accepted = mpegBitrates(type, *rate, channels.value_or(2));
    if (isOneOf(bitrate, accepted)) return {};
    std::string at = " at " + std::to_string(*rate) + " Hz";
    if (type == MP2 && *rate >= 32000) at += *channels == 1 ? ", mono," : ", stereo,";
    key = what + at;
    std::string text = what + at + " takes " + bitrateText(accepted);
    // A rate kept from the source: say whose, and how to choose another.
    if (!o.rate)
        text += "; " + job.source.filename().string() + " is at " + std::to_string(shape->rate) + " Hz (see --rate)";
    return text;
}

}  // namespace

bool checkOptionValues(const ConvertOptions& o, const std::vector<Job>& jobs, const SourceProbe& probe,
                       std::vector<std::string>& problems) {
    std::set<std::string> seen;
    auto refuse = [&](std::string text, std::string key = {}) {
        if (key.empty()) key = text;
        if (!text.empty() && seen.insert(key).second) problems.push_back(std::move(text));
    };
    std::map<fs::path, std::optional<SourceShape>> shapes;
    for (const auto& job : jobs) {
        if (job.skip) continue;
        const LONG type = job.type.type;
        std::string rateProblem = o.rate ? rateRefusal(job, o, *o.rate) : std::string();
        refuse(rateProblem);
        if (o.bits) refuse(bitsRefusal(job, o, *o.bits));
        if (type == OGG) {
            refuse(oggBitrateRefusal("--bitrate", o.bitrate));
            refuse(oggBitrateRefusal("--min-bitrate", o.minBitrate));
            refuse(oggBitrateRefusal("--max-bitrate", o.maxBitrate));
        }
        if (type == OPUS && o.bitrate && (*o.bitrate < kOpusMinBitrate || *o.bitrate > kOpusMaxBitrate))
            refuse("--bitrate " + std::to_string(*o.bitrate) + ": Opus takes " + std::to_string(kOpusMinBitrate) + "-" +
                   std::to_string(kOpusMaxBitrate) + " kbit/s");
        if ((type == MP3 || type == MP2) && o.bitrate && rateProblem.empty()) {
            std::optional<SourceShape> shape;
            if ((!o.rate || (type == MP2 && !o.channels)) && probe) {
                auto [it, fresh] = shapes.try_emplace(job.source);
                if (fresh) it->second = probe(job.source);
                shape = it->second;
            }
            std::string key;
            std::string text = mpegBitrateRefusal(job, o, *o.bitrate, shape, key);
            refuse(std::move(text), key);
        }
    }
    return problems.empty();
}

namespace {

std::string channelsText(long channels) { return channels == 1 ? "mono" : "stereo"; }

// Sets the output format on 'target' from the options and the opened source:
// one SetFormat* call, and for MP3 the LAME settings after it.
client::FormatChoice chooseFormat(IAudioFile* target, const Job& job, const ConvertOptions& o,
                                  const client::SourceFormat& source) {
    client::FormatChoice choice;
    LONG& blockAlign = choice.blockAlign;
    const long channels = o.channels.value_or(source.arrayChannels == 1 ? 1 : 2);
    const long rate = o.rate.value_or(defaultRate(job.type.type, source.frequency, o.compression.value_or(PCM)));
    std::string what = std::string(typeTitle(job.type.type)) + ", ";
    switch (job.type.type) {
    case WAV: {
        const long bits = o.bits.value_or(source.bitsPerSample == 8 ? 8 : 16);
        choice.hr = target->SetFormatPCM(rate, channels, bits, &blockAlign);
        what += std::to_string(rate) + " Hz, " + channelsText(channels) + ", " + std::to_string(bits) + " bits";
        break;
    }
    case RAW: {
        const long bits = o.bits.value_or(16);
        choice.hr = target->SetFormatRAW(o.compression.value_or(PCM), rate, channels, bits, &blockAlign);
        what += std::string(compressionTitle(o.compression.value_or(PCM))) + ", " + std::to_string(rate) + " Hz, " +
                channelsText(channels) + ", " + std::to_string(bits) + " bits";
        break;
    }
    case MP3: {
        const long bitrate = o.bitrate.value_or(128);
        choice.hr = target->SetFormatMP3(rate, bitrate, channels, &blockAlign);
        what += std::to_string(rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(channels);
        if (FAILED(choice.hr) || blockAlign == 0 || (!o.lame && !o.preset)) break;
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
            if (n > 100)
                encoder->SetParamsFromAltPreset(static_cast<SHORT>(n - 100));
            else
                encoder->SetParamsFromPreset(static_cast<SHORT>(n));
            presetAll = true;
        }
        if (o.rate || (!lineRate && !presetAll)) encoder->put_Frequency(rate);
        if (o.channels || (!lineChannels && !presetAll)) encoder->put_Channels(channels);
        if (o.bitrate || (!lineBitrate && !presetAll)) encoder->put_Bitrate(bitrate);
        break;
    }
    case FLAC: {
        const long level = o.level.value_or(5);
        ComPtr<IAudioFile2> flac;
        choice.hr = target->QueryInterface(IID_IAudioFile2, flac.putVoid());
        if (SUCCEEDED(choice.hr) && flac) choice.hr = flac->SetFormatFLAC(rate, channels, level, &blockAlign);
        what += std::to_string(rate) + " Hz, " + channelsText(channels) + ", level " + std::to_string(level);
        break;
    }
    case OPUS: {
        const long bitrate = o.bitrate.value_or(128);
        const long complexity = o.complexity.value_or(10);
        ComPtr<IAudioFile2> opus;
        choice.hr = target->QueryInterface(IID_IAudioFile2, opus.putVoid());
        if (SUCCEEDED(choice.hr) && opus) choice.hr = opus->SetFormatOpus(channels, bitrate, complexity, &blockAlign);
        what += std::to_string(kOpusRate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(channels) +
                ", complexity " + std::to_string(complexity);
        break;
    }
    case MP2: {
        const long bitrate = o.bitrate.value_or(128);
        choice.hr = target->SetFormatMP2(rate, bitrate, static_cast<SHORT>(channels), &blockAlign);
        what += std::to_string(rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(channels);
        break;
    }
    case OGG: {
        SHORT quality = o.quality ? static_cast<SHORT>(std::lround(*o.quality * 100)) : SHORT(-1);
        long nominal = o.bitrate.value_or(o.quality || o.minBitrate || o.maxBitrate ? -1 : 128);
        choice.hr = target->SetFormatOggVorbis(kOggRate, kOggChannels, nominal, o.minBitrate.value_or(-1),
                                               o.maxBitrate.value_or(-1), quality, &blockAlign);
        what += std::to_string(kOggRate) + " Hz, stereo";
        break;
    }
    case VOX:
        choice.hr = target->SetFormatVOX(rate, &blockAlign);
        what += std::to_string(rate) + " Hz";
        break;
    case G721:
        choice.hr = target->SetFormatG721(rate, &blockAlign);
        what += std::to_string(rate) + " Hz";
        break;
    case G723:
        choice.hr =
            target->SetFormatG723(rate, o.g723Rate.value_or(24) == 40 ? G723_40_KBPS : G723_24_KBPS, &blockAlign);
        what += std::to_string(rate) + " Hz, " + std::to_string(o.g723Rate.value_or(24)) + " kbit/s";
        break;
    case G726: {
        long kbps = o.g726Rate.value_or(32);
        choice.hr = target->SetFormatG726(rate, kbps / 8 - 1, &blockAlign);
        what += std::to_string(rate) + " Hz, " + std::to_string(kbps) + " kbit/s";
        break;
    }
    default: break;
    }
    choice.what = what;
    return choice;
}

}  // namespace

client::ConversionResult convertJob(const Job& job, const ConvertOptions& o,
                                    const std::function<void(const client::Progress&)>& progress,
                                    const std::atomic<bool>& cancel) {
    ComPtr<IAudioFile> source = createAudioFile();
    ComPtr<IAudioFile> target = createAudioFile();
    client::Conversion conversion;
    conversion.source = source.get();
    conversion.target = target.get();
    conversion.sourcePath = job.source.string();
    conversion.targetPath = job.target.string();
    conversion.targetType = job.type.type;
    if (o.from) {
        conversion.sourceType = RAW;
        conversion.prepareSource = [raw = *o.from](IAudioFile* s) {
            LONG blockAlign = 0;
            const HRESULT hr = s->SetFormatRAW(PCM, raw.rate, raw.channels, raw.bits, &blockAlign);
            return SUCCEEDED(hr) && blockAlign == 0 ? E_INVALIDARG : hr;
        };
    }
    conversion.chooseFormat = [&](IAudioFile* t, const client::SourceFormat& s) { return chooseFormat(t, job, o, s); };
    conversion.progress = progress;
    conversion.cancel = &cancel;
    if (o.tags)
        conversion.finish = [&job](const std::string& temporary, std::string& cause) {
            std::string error;
            if (carryTags(job.source, temporary, error)) return true;
            cause = "tags: " + error;
            return false;
        };
    // The same conversion gives the same bytes: Ogg serials follow the output's name.
    conversion.oggSerial = client::oggSerialOf(job.outputKey);
    conversion.replace = o.overwrite || job.replace;
    return client::convert(conversion);
}

}  // namespace qoro::cli
