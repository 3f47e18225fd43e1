#include "convert.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <span>

#include "acm/mpeg_bitrates.h"
#include "acm/wave_format.h"
#include "client/ogg_serial.h"
#include "args.h"
#include "components.h"
#include "formats.h"
#include "library.h"
#include "replaygain.h"
#include "tags.h"

namespace qoro::cli {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool isOneOf(long value, std::span<const long> accepted) {
    return std::find(accepted.begin(), accepted.end(), value) != accepted.end();
}

// Rates of the A-law, u-law, ADPCM and GSM coders of raw files (the codec
// manager's list).
using acm::kCoderRates;

// Bitrates in kbit/s: Layer III at the MPEG-1 rates and at the lower ones
// (Layer II at those too); Layer II at the MPEG-1 rates, by channel mode.
constexpr auto kMpeg1Layer3Bitrates = acm::mpegRowBitrates<acm::kMpeg1Row, acm::kLayer3Code>();
constexpr auto kMpeg2Bitrates = acm::mpegRowBitrates<acm::kMpeg2Row, acm::kLayer3Code>();
constexpr auto kMpeg1Layer2MonoBitrates = acm::mpegRowBitrates<acm::kMpeg1Row, acm::kLayer2Code, 1>();
constexpr auto kMpeg1Layer2StereoBitrates = acm::mpegRowBitrates<acm::kMpeg1Row, acm::kLayer2Code, 2>();

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

struct WriterSetup;
// How qoro sets up a writer of the type; nullptr when it cannot.
const WriterSetup* setupOf(LONG type);

TargetType targetOf(const FileFormat& f) { return TargetType{f.name, f.type, f.createExtensions.front()}; }

}  // namespace

std::vector<TargetType> targetTypes() {
    std::vector<TargetType> out;
    for (const FileFormat* f : formats().writers())
        if (setupOf(f->type)) out.push_back(targetOf(*f));
    return out;
}

std::string targetNames() {
    std::string names;
    for (const auto& t : targetTypes()) names += (names.empty() ? "" : ", ") + t.name;
    return names;
}

std::optional<TargetType> targetTypeByName(const std::string& name) {
    const FileFormat* f = formats().writerNamed(name);
    if (!f || !setupOf(f->type)) return std::nullopt;
    return targetOf(*f);
}

std::optional<TargetType> targetTypeByExtension(const fs::path& path) {
    const std::string ext = extensionOf(path);
    if (ext.empty()) return std::nullopt;
    Apartment apartment;
    ComPtr<IAudioFileFormats> list = createAudioFileFormats();
    LONG type = 0;
    Bstr name(path.filename().native());
    if (!list || FAILED(list->TypeForName(name.get(), 1, &type))) return std::nullopt;
    // The component falls back on raw samples for names no type claims;
    // only a type's own extension names it here.
    const FileFormat* f = formats().file(type);
    if (!f || !f->writes() || !setupOf(type) ||
        std::find(f->createExtensions.begin(), f->createExtensions.end(), ext) == f->createExtensions.end())
        return std::nullopt;
    return TargetType{f->name, f->type, ext};
}

std::string unknownTargetWords(const std::string& name) {
    if (const FileFormat* f = formats().writerNamed(name))
        return f->title + " files are written by the audio file component, but qoro cannot set up their format";
    if (formats().files.empty()) return "the audio file component cannot be created";
    return "unknown output type: " + name + " (" + targetNames() + ")";
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
    // The sources are read as the component reads its raw sample files, and
    // take what its raw sample writer takes.
    const FileFormat* samples = formats().file(RAW);
    if (!samples) {
        error += "the audio file component reads no raw samples";
        return false;
    }
    if (parts.size() != 4 || lower(parts[0]) != samples->name) {
        error +=
            "describe the sources as " + samples->name + ":RATE:CHANNELS:BITS, e.g. " + samples->name + ":44100:2:16";
        return false;
    }
    const auto rate = parseLong(parts[1]), channels = parseLong(parts[2]), bits = parseLong(parts[3]);
    if (!rate || !samples->rates.holds(*rate)) {
        error += "the rate must lie between " + std::to_string(samples->rates.least()) + " and " +
                 std::to_string(samples->rates.most()) + " Hz";
        return false;
    }
    if (!channels || *channels < 1 || *channels > samples->maxChannels) {
        error += samples->name + " sources have 1 or " + std::to_string(samples->maxChannels) + " channels";
        return false;
    }
    if (!bits || !isOneOf(*bits, samples->depths)) {
        error += samples->name + " sources have " + ValueSet{samples->depths}.text() + " bits";
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

namespace {

// Whether the writer of 'type' takes the bitrate (kbit/s) --g723-rate or
// --g726-rate asks for; false with the message when not.
bool codedRateTaken(LONG type, long kbps, std::string& error) {
    const FileFormat* f = formats().file(type);
    if (f && f->bitrates.holds(kbps)) return true;
    error = f ? f->title + " rate must be " + f->bitrates.text() + " (kbit/s)"
              : "the audio file component writes no such type";
    return false;
}

}  // namespace

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
                error = unknownTargetWords(value);
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
            if (*o.channels < 1 || *o.channels > 8) {
                error = "channels must be 1 to 8";
                return false;
            }
        } else if (w.option("--bits", value)) {
            o.floats = value == "32f";
            if (o.floats) value = "32";
            if (!number("bits", o.bits)) return false;
        } else if (w.option("--dither", value)) {
            if (value != "none" && value != "tpdf") {
                error = "--dither takes none or tpdf";
                return false;
            }
            o.dither = value == "tpdf";
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
            if (!codedRateTaken(G723, *o.g723Rate, error)) return false;
        } else if (w.option("--g726-rate", value)) {
            if (!number("G.726 rate", o.g726Rate)) return false;
            if (!codedRateTaken(G726, *o.g726Rate, error)) return false;
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
        } else if (w.option("--replaygain", value)) {
            if (value != "track" && value != "album") {
                error = "--replaygain takes track or album: " + value;
                return false;
            }
            o.replayGain = value == "track" ? ConvertOptions::Gain::Track : ConvertOptions::Gain::Album;
        } else if (w.option("--album-by", value)) {
            if (value != "folder" && value != "tag") {
                error = "--album-by takes folder or tag: " + value;
                return false;
            }
            o.albumByTag = value == "tag";
        } else if (w.flag("--true-peak")) {
            o.truePeak = true;
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
    if ((o.albumByTag || o.truePeak) && o.replayGain == ConvertOptions::Gain::None) {
        error = std::string(o.albumByTag ? "--album-by" : "--true-peak") + " goes with --replaygain";
        return false;
    }
    if (o.albumByTag && o.replayGain != ConvertOptions::Gain::Album) {
        error = "--album-by goes with --replaygain album";
        return false;
    }
    // Shards keep an album together by hashing its folder; albums by tag
    // may span folders.
    if (o.albumByTag && o.shard) {
        error = "--album-by tag cannot keep an album in one --shard (albums by folder can)";
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

namespace {

const char* compressionTitle(LONG compression) {
    for (const auto& c : kCompressions)
        if (c.value == compression) return c.name;
    return kCompressions[0].name;
}

std::string channelsText(long channels) {
    return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

// What a writer's format is chosen from: the options, the opened source,
// and the rate and channels the job writes.
struct FormatRequest {
    IAudioFile* target;
    const ConvertOptions& o;
    const client::SourceFormat& source;
    long rate, channels;
    std::string& what;  // receives the format in words after the type's title
    long bits = 16;     // plain-sample writers: the depth and kind written
    bool floats = false;
};

// The bitrates (kbit/s) an MPEG encoder takes at a rate and channel count
// (0: not known); empty when they depend on the channels and these are not
// known. 'byMode': they differ by channel mode at this rate.
struct MpegBitrates {
    std::span<const long> taken;
    bool byMode = false;
};

// What the writer of a job takes: the component's table, narrowed by the
// options where the writer says so.
struct Takes {
    std::string name, title;
    ValueSet rates, bitrates;
    std::vector<long> depths;
    bool floats = false;
    long maxChannels = 0;
    const WriterSetup* setup = nullptr;
};

// What qoro does per writer beyond what the component's table says: the
// SetFormat call that chooses its format from the options, and the rules of
// the few writers whose options work differently.
struct WriterSetup {
    LONG type;
    HRESULT (*setUp)(const FormatRequest& request, LONG& blockAlign);
    // The rate written when --rate leaves it to the source; 0: the source's
    // rate where the writer takes it (see defaultRate).
    long (*defaultRate)(long sourceRate, const ConvertOptions& o) = nullptr;
    // The bitrates an MPEG encoder takes at a given rate.
    MpegBitrates (*bitratesAt)(long rate, long channels) = nullptr;
    // What the writer takes when the options narrow it further.
    void (*narrow)(Takes& takes, const ConvertOptions& o) = nullptr;
    // The encoder codes floats: a lossy source is read in its decoder's
    // floats rather than rounded to 16 bits first.
    bool codesFloats = false;
};

// 8- and 16-bit mono and stereo through the first interface; deeper
// samples, floats and more channels through the third.
HRESULT setUpPcm(const FormatRequest& r, LONG& blockAlign) {
    r.what += std::to_string(r.rate) + " Hz, " + channelsText(r.channels) + ", " + std::to_string(r.bits) +
              (r.floats ? "-bit float" : " bits");
    if (r.bits <= 16 && !r.floats && r.channels <= 2) return r.target->SetFormatPCM(r.rate, r.channels, r.bits, &blockAlign);
    const auto third = client::thirdInterface(r.target);
    if (!third) return E_NOINTERFACE;
    const LONG kind = r.floats ? SAMPLE_FLOAT32 : r.bits == 24 ? SAMPLE_INT24 : r.bits == 32 ? SAMPLE_INT32 : SAMPLE_INT16;
    return third->SetFormatPCMKind(r.rate, r.channels, kind, &blockAlign);
}

HRESULT setUpRaw(const FormatRequest& r, LONG& blockAlign) {
    const long bits = r.o.bits.value_or(16);
    const LONG compression = r.o.compression.value_or(PCM);
    r.what += std::string(compressionTitle(compression)) + ", " + std::to_string(r.rate) + " Hz, " +
              channelsText(r.channels) + ", " + std::to_string(bits) + " bits";
    return r.target->SetFormatRAW(compression, r.rate, r.channels, bits, &blockAlign);
}

HRESULT setUpMp3(const FormatRequest& r, LONG& blockAlign) {
    const ConvertOptions& o = r.o;
    const long bitrate = o.bitrate.value_or(128);
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(r.channels);
    const HRESULT hr = r.target->SetFormatMP3(r.rate, bitrate, r.channels, &blockAlign);
    if (FAILED(hr) || blockAlign == 0 || (!o.lame && !o.preset)) return hr;
    ComPtr<IAudioFileLameMp3Encoder> encoder;
    r.target->get_Mp3LameEncoder(encoder.put());
    if (!encoder) return hr;
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
        presetAll = text.find(" --preset ") != std::string::npos || text.find(" --alt-preset ") != std::string::npos ||
                    text.find(" --r3mix ") != std::string::npos;
    }
    if (o.preset) {
        int n = *presetNumber(*o.preset);
        if (n > 100)
            encoder->SetParamsFromAltPreset(static_cast<SHORT>(n - 100));
        else
            encoder->SetParamsFromPreset(static_cast<SHORT>(n));
        presetAll = true;
    }
    if (o.rate || (!lineRate && !presetAll)) encoder->put_Frequency(r.rate);
    if (o.channels || (!lineChannels && !presetAll)) encoder->put_Channels(r.channels);
    if (o.bitrate || (!lineBitrate && !presetAll)) encoder->put_Bitrate(bitrate);
    return hr;
}

HRESULT setUpMp2(const FormatRequest& r, LONG& blockAlign) {
    const long bitrate = r.o.bitrate.value_or(128);
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(r.channels);
    return r.target->SetFormatMP2(r.rate, bitrate, static_cast<SHORT>(r.channels), &blockAlign);
}

// FLAC and Opus are chosen through the object's second interface.
ComPtr<IAudioFile2> secondInterface(IAudioFile* target, HRESULT& hr) {
    ComPtr<IAudioFile2> file2;
    hr = target->QueryInterface(IID_IAudioFile2, file2.putVoid());
    if (SUCCEEDED(hr) && !file2) hr = E_NOINTERFACE;
    return file2;
}

HRESULT setUpFlac(const FormatRequest& r, LONG& blockAlign) {
    const long level = r.o.level.value_or(5);
    r.what += std::to_string(r.rate) + " Hz, " + channelsText(r.channels) + ", level " + std::to_string(level);
    if (r.bits > 16 || r.channels > 2) {
        r.what += ", " + std::to_string(r.bits) + " bits";
        const auto third = client::thirdInterface(r.target);
        if (!third) return E_NOINTERFACE;
        return third->SetFormatFLACBits(r.rate, r.channels, r.bits, level, &blockAlign);
    }
    HRESULT hr = S_OK;
    ComPtr<IAudioFile2> flac = secondInterface(r.target, hr);
    return flac ? flac->SetFormatFLAC(r.rate, r.channels, level, &blockAlign) : hr;
}

HRESULT setUpOpus(const FormatRequest& r, LONG& blockAlign) {
    const long bitrate = r.o.bitrate.value_or(128);
    const long complexity = r.o.complexity.value_or(10);
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(r.channels) +
              ", complexity " + std::to_string(complexity);
    HRESULT hr = S_OK;
    ComPtr<IAudioFile2> opus = secondInterface(r.target, hr);
    return opus ? opus->SetFormatOpus(r.channels, bitrate, complexity, &blockAlign) : hr;
}

// M4A is chosen through the object's fourth interface.
ComPtr<IAudioFile4> fourthInterface(IAudioFile* target, HRESULT& hr) {
    ComPtr<IAudioFile4> file4;
    hr = target->QueryInterface(IID_IAudioFile4, file4.putVoid());
    if (SUCCEEDED(hr) && !file4) hr = E_NOINTERFACE;
    return file4;
}

HRESULT setUpAac(const FormatRequest& r, LONG& blockAlign) {
    const long bitrate = r.o.bitrate.value_or(256);
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(bitrate) + " kbit/s, " + channelsText(r.channels);
    HRESULT hr = S_OK;
    ComPtr<IAudioFile4> m4a = fourthInterface(r.target, hr);
    return m4a ? m4a->SetFormatAAC(r.rate, r.channels, bitrate, &blockAlign) : hr;
}

HRESULT setUpAlac(const FormatRequest& r, LONG& blockAlign) {
    r.what += std::to_string(r.rate) + " Hz, " + channelsText(r.channels) + ", " + std::to_string(r.bits) + " bits";
    HRESULT hr = S_OK;
    ComPtr<IAudioFile4> m4a = fourthInterface(r.target, hr);
    return m4a ? m4a->SetFormatALAC(r.rate, r.channels, r.bits, &blockAlign) : hr;
}

HRESULT setUpOgg(const FormatRequest& r, LONG& blockAlign) {
    const ConvertOptions& o = r.o;
    const SHORT quality = o.quality ? static_cast<SHORT>(std::lround(*o.quality * 100)) : SHORT(-1);
    const long nominal = o.bitrate.value_or(o.quality || o.minBitrate || o.maxBitrate ? -1 : 128);
    r.what += std::to_string(r.rate) + " Hz, " + channelsText(r.channels);
    const auto vorbis = client::thirdInterface(r.target);
    if (!vorbis) return E_NOINTERFACE;  // the older call writes only 44100 Hz stereo
    return vorbis->SetFormatVorbis(r.rate, r.channels, nominal, o.minBitrate.value_or(-1), o.maxBitrate.value_or(-1),
                                   quality, &blockAlign);
}

HRESULT setUpVox(const FormatRequest& r, LONG& blockAlign) {
    r.what += std::to_string(r.rate) + " Hz";
    return r.target->SetFormatVOX(r.rate, &blockAlign);
}

HRESULT setUpG721(const FormatRequest& r, LONG& blockAlign) {
    r.what += std::to_string(r.rate) + " Hz";
    return r.target->SetFormatG721(r.rate, &blockAlign);
}

// The G.72x coders take their bitrate from their own option or --bitrate.
HRESULT setUpG723(const FormatRequest& r, LONG& blockAlign) {
    const long kbps = r.o.g723Rate.value_or(r.o.bitrate.value_or(24));
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(kbps) + " kbit/s";
    return r.target->SetFormatG723(r.rate, kbps == 40 ? G723_40_KBPS : G723_24_KBPS, &blockAlign);
}

HRESULT setUpG726(const FormatRequest& r, LONG& blockAlign) {
    const long kbps = r.o.g726Rate.value_or(r.o.bitrate.value_or(32));
    r.what += std::to_string(r.rate) + " Hz, " + std::to_string(kbps) + " kbit/s";
    return r.target->SetFormatG726(r.rate, kbps / 8 - 1, &blockAlign);
}

// Telephony streams are written at 8000 Hz unless --rate says otherwise.
long telephonyRate(long, const ConvertOptions&) { return 8000; }

// Raw A-law and u-law samples and PCM take any rate the writer takes; the
// ADPCM and GSM coders only the codec manager's coder rates, and only PCM
// has a sample size to choose.
bool rawCoded(const ConvertOptions& o) {
    const LONG c = o.compression.value_or(PCM);
    return c != PCM && c != ALAW && c != ULAW;
}
void narrowRaw(Takes& takes, const ConvertOptions& o) {
    const LONG compression = o.compression.value_or(PCM);
    takes.title = takes.name + " " + compressionTitle(compression);
    if (compression != PCM) takes.depths.clear();
    if (rawCoded(o)) takes.rates = ValueSet{{std::begin(kCoderRates), std::end(kCoderRates)}};
}
long rawDefaultRate(long sourceRate, const ConvertOptions& o) {
    if (!rawCoded(o)) return 0;
    return isOneOf(sourceRate, kCoderRates) ? sourceRate : sourceRate < 16000 ? 8000 : 44100;
}

MpegBitrates mp3BitratesAt(long rate, long) { return {rate >= 32000 ? kMpeg1Layer3Bitrates : kMpeg2Bitrates}; }
MpegBitrates mp2BitratesAt(long rate, long channels) {
    if (rate < 32000) return {kMpeg2Bitrates};
    if (channels == 0) return {{}, true};
    return {channels == 1 ? kMpeg1Layer2MonoBitrates : kMpeg1Layer2StereoBitrates, true};
}

// Every writer qoro sets up in a way of its own. The component's table says
// what each takes. A writer of plain samples (its table lists the sample
// depths it writes) without a row takes SetFormatPCM, as WAV and AIFF do; any
// other type it writes without a row is refused in words.
constexpr WriterSetup kSetups[] = {
    {RAW, setUpRaw, rawDefaultRate, nullptr, narrowRaw},
    {MP3, setUpMp3, nullptr, mp3BitratesAt},
    {MP2, setUpMp2, nullptr, mp2BitratesAt},
    {FLAC, setUpFlac},
    {OPUS, setUpOpus},
    {M4A, setUpAac, nullptr, nullptr, nullptr, true},
    {ALAC, setUpAlac},
    {OGG, setUpOgg},
    {VOX, setUpVox, telephonyRate},
    {G721, setUpG721, telephonyRate},
    {G723, setUpG723, telephonyRate},
    {G726, setUpG726, telephonyRate},
};

constexpr WriterSetup kPcmSetup{0, setUpPcm};

const WriterSetup* setupOf(LONG type) {
    for (const WriterSetup& setup : kSetups)
        if (setup.type == type) return &setup;
    const FileFormat* f = formats().file(type);
    return f && !f->depths.empty() ? &kPcmSetup : nullptr;
}

Takes takesOf(LONG type, const ConvertOptions& o) {
    Takes takes;
    takes.setup = setupOf(type);
    const FileFormat* f = formats().file(type);
    if (!f) return takes;
    takes.name = f->name;
    takes.title = f->title;
    takes.rates = f->rates;
    takes.bitrates = f->bitrates;
    takes.depths = f->depths;
    takes.floats = f->floats;
    takes.maxChannels = f->maxChannels;
    if (takes.setup && takes.setup->narrow) takes.setup->narrow(takes, o);
    return takes;
}

// The rate a job writes when --rate leaves it to the source: the writer's
// own rule, else the source's rate when the writer takes it; from a list,
// the family's member (44100 Hz for multiples of 11025 Hz, else 48000 Hz)
// when listed, else the least; a range clamps.
long defaultRate(const Takes& takes, long sourceRate, const ConvertOptions& o) {
    if (takes.setup && takes.setup->defaultRate)
        if (const long rate = takes.setup->defaultRate(sourceRate, o)) return rate;
    if (takes.rates.isRange())
        return std::clamp(sourceRate > 0 ? sourceRate : 44100L, takes.rates.low, takes.rates.high);
    if (takes.rates.empty() || takes.rates.holds(sourceRate)) return sourceRate;
    const long family = sourceRate % 11025 == 0 ? 44100 : 48000;
    return takes.rates.holds(family) ? family : takes.rates.least();
}

}  // namespace


namespace {

// "32-320 kbit/s (32, 40, ..., 320)"
std::string bitrateText(std::span<const long> values) {
    const ValueSet set{{values.begin(), values.end()}};
    return std::to_string(values.front()) + "-" + std::to_string(values.back()) + " kbit/s (" + set.text(", ") + ")";
}

// What --rate takes for a job, or an empty text when the rate is taken.
std::string rateRefusal(const Takes& takes, long rate) {
    if (takes.rates.empty() || takes.rates.holds(rate)) return {};
    const std::string what = "--rate " + std::to_string(rate) + ": " + takes.title;
    if (takes.rates.single()) return what + " is written at " + std::to_string(takes.rates.least()) + " Hz";
    return what + " takes " + takes.rates.text() + " Hz";
}

std::string channelsRefusal(const Takes& takes, long channels) {
    if (takes.maxChannels <= 0 || channels <= takes.maxChannels) return {};
    const std::string what = "--channels " + std::to_string(channels) + ": " + takes.title;
    if (takes.maxChannels == 1) return what + " is written in mono";
    return what + " takes 1 to " + std::to_string(takes.maxChannels) + " channels";
}

std::string bitsRefusal(const Takes& takes, long bits, bool floats) {
    const std::string what = "--bits " + std::to_string(bits) + (floats ? "f" : "") + ": " + takes.title;
    if (takes.depths.empty()) return what + " has no sample size to choose";
    if (floats ? takes.floats : isOneOf(bits, takes.depths)) return {};
    if (takes.depths.size() == 1) return what + " is written at " + std::to_string(takes.depths.front()) + " bits";
    return what + " takes " + ValueSet{takes.depths}.text() + " bits" + (takes.floats ? " or 32f (float)" : "");
}

// A bitrate option of a writer whose bitrates do not depend on the rate.
std::string bitrateRefusal(const Takes& takes, const char* option, const std::optional<long>& value) {
    if (!value || takes.bitrates.empty() || takes.bitrates.holds(*value)) return {};
    return std::string(option) + " " + std::to_string(*value) + ": " + takes.title + " takes " +
           takes.bitrates.text() + " kbit/s";
}

// The bitrate of an MPEG job: checked at the rate and channels the job
// writes, or against every rate when the source cannot tell.
// 'key' receives what the refusal depends on, so one line covers every job
// it applies to.
std::string mpegBitrateRefusal(const Job& job, const Takes& takes, const ConvertOptions& o, long bitrate,
                               const std::optional<SourceShape>& shape, std::string& key) {
    const std::string what = "--bitrate " + std::to_string(bitrate) + ": " + takes.title;
    std::optional<long> rate = o.rate;
    if (!rate && shape && shape->rate > 0) rate = defaultRate(takes, shape->rate, o);
    std::optional<long> channels = o.channels;
    if (!channels && shape && shape->channels > 0) channels = shape->channels == 1 ? 1 : 2;
    key = what;
    const MpegBitrates at = rate ? takes.setup->bitratesAt(*rate, channels.value_or(0)) : MpegBitrates{};
    if (at.taken.empty()) {
        // Unknown: refuse only what no rate and no channel mode takes.
        if (takes.bitrates.holds(bitrate)) return {};
        return what + " takes " + std::to_string(takes.bitrates.least()) + "-" + std::to_string(takes.bitrates.most()) +
               " kbit/s, as the rate allows";
    }
    if (isOneOf(bitrate, at.taken)) return {};
    std::string where = " at " + std::to_string(*rate) + " Hz";
    if (at.byMode) where += ", " + channelsText(*channels) + ",";
    key = what + where;
    std::string text = what + where + " takes " + bitrateText(at.taken);
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
    std::map<LONG, Takes> takesByType;
    for (const auto& job : jobs) {
        if (job.skip) continue;
        auto [found, fresh] = takesByType.try_emplace(job.type.type);
        if (fresh) found->second = takesOf(job.type.type, o);
        const Takes& takes = found->second;
        std::string rateProblem = o.rate ? rateRefusal(takes, *o.rate) : std::string();
        refuse(rateProblem);
        if (o.channels) refuse(channelsRefusal(takes, *o.channels));
        if (o.bits) refuse(bitsRefusal(takes, *o.bits, o.floats));
        refuse(bitrateRefusal(takes, "--min-bitrate", o.minBitrate));
        refuse(bitrateRefusal(takes, "--max-bitrate", o.maxBitrate));
        if (!o.bitrate) continue;
        if (!takes.setup || !takes.setup->bitratesAt) {
            refuse(bitrateRefusal(takes, "--bitrate", o.bitrate));
            continue;
        }
        if (!rateProblem.empty()) continue;
        // The source tells what the options leave open, where it matters.
        std::optional<SourceShape> shape;
        const bool needsShape = !o.rate || (!o.channels && takes.setup->bitratesAt(*o.rate, 0).taken.empty());
        if (needsShape && probe) {
            auto [it, first] = shapes.try_emplace(job.source);
            if (first) it->second = probe(job.source);
            shape = it->second;
        }
        std::string key;
        std::string text = mpegBitrateRefusal(job, takes, o, *o.bitrate, shape, key);
        refuse(std::move(text), key);
    }
    return problems.empty();
}

namespace {

// Sets the output format on 'target' from the options and the opened source:
// the writer's SetFormat call, with the rate and channels the job writes.
client::FormatChoice chooseFormat(IAudioFile* target, const Job& job, const ConvertOptions& o,
                                  const client::SourceFormat& source) {
    client::FormatChoice choice;
    const Takes takes = takesOf(job.type.type, o);
    // The source's channels where the writer holds them; a writer of fewer
    // gets stereo (folded down as ITU-R BS.775 does) or mono.
    const long own = source.fileChannels > 0 ? source.fileChannels : source.arrayChannels;
    long channels = o.channels.value_or(own == 1 ? 1 : own <= takes.maxChannels ? own : 2);
    if (takes.maxChannels > 0) channels = std::min(channels, takes.maxChannels);
    long rate = o.rate.value_or(defaultRate(takes, source.frequency, o));
    choice.what = takes.title + ", ";
    if (!takes.setup) {  // planning refuses such types; this is a last guard
        choice.hr = E_NOTIMPL;
        choice.what = takes.title;
        return choice;
    }
    FormatRequest request{target, o, source, rate, channels, choice.what};
    // Plain samples keep the source's depth where the writer takes it
    // (a lossy source counts as 16-bit), else 16 bits.
    const long sourceBits = source.sampleKind == SAMPLE_INT24   ? 24
                            : source.sampleKind == SAMPLE_INT32 ? 32
                            : source.sampleKind == SAMPLE_FLOAT32 ? 32
                            : source.bitsPerSample == 8         ? 8
                                                                : 16;
    // (a 32-bit or float source becomes the deepest integer the writer
    // takes: 24-bit FLAC, dithered).
    const bool sourceFloats = source.sampleKind == SAMPLE_FLOAT32;
    const bool kept = sourceFloats ? takes.floats : isOneOf(sourceBits, takes.depths);
    long deepest = 16;
    for (long d : takes.depths)
        if (d <= sourceBits) deepest = std::max(deepest, d);
    request.bits = o.bits.value_or(kept ? sourceBits : deepest);
    request.floats = o.bits ? o.floats : kept && sourceFloats;
    choice.hr = takes.setup->setUp(request, choice.blockAlign);
    choice.deep = (!takes.depths.empty() && (request.bits > 16 || request.floats)) || takes.setup->codesFloats;
    return choice;
}

}  // namespace

client::ConversionResult convertJob(const Job& job, const ConvertOptions& o,
                                    const std::function<void(const client::Progress&)>& progress,
                                    const std::atomic<bool>& cancel, TrackLoudness* loudness) {
    ComPtr<IAudioFile> source = createAudioFile();
    ComPtr<IAudioFile> target = createAudioFile();
    client::Conversion conversion;
    conversion.source = source.get();
    conversion.target = target.get();
    conversion.sourcePath = job.source.string();
    conversion.targetPath = job.target.string();
    conversion.targetType = job.type.type;
    conversion.dither = o.dither ? 1 : 0;
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
    const bool gains = loudness && o.replayGain != ConvertOptions::Gain::None;
    // An album's tracks get their values with the album's, once it is done.
    const bool trackGains = gains && o.replayGain == ConvertOptions::Gain::Track;
    const client::loudness::Options meterOptions{.truePeak = o.truePeak};
    if (gains)
        conversion.written = [loudness, meterOptions](const client::WrittenBlock& b) {
            meterBlock(*loudness, b, meterOptions);
        };
    if (o.tags || trackGains)
        conversion.finish = [&job, &o, trackGains, loudness, meterOptions](const std::string& temporary,
                                                                           std::string& cause) {
            std::string error;
            if (o.tags && !carryTags(job.source, temporary, error)) {
                cause = "tags: " + error;
                return false;
            }
            return !trackGains || tagTrack(*loudness, temporary, job, meterOptions, cause);
        };
    // The same conversion gives the same bytes: Ogg serials follow the output's name.
    conversion.oggSerial = client::oggSerialOf(job.outputKey);
    conversion.replace = o.overwrite || job.replace;
    return client::convert(conversion);
}

}  // namespace qoro::cli
