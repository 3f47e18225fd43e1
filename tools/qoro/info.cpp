// qoro info: what AudioInformation and AudioFile report about files, as
// text or as JSON.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "client/conversion.h"
#include "client/text.h"
#include "commands.h"
#include "formats.h"
#include "components.h"
#include "json.h"
#include "library.h"
#include "tags.h"

namespace qoro::cli {

std::string jsonString(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const size_t n = client::utf8SequenceLength(text, at);
        const auto c = static_cast<unsigned char>(text[at]);
        if (n == 0) {
            out += "\\\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++at;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out.append(text, at, n);
            }
        }
        at += n;
    }
    return out + "\"";
}

namespace {


// Whether AudioInformation reads files of this name's kind: an extension its
// Formats object lists. (VOX, raw and G.72x files carry no facts to read.)
bool informationCovers(const std::string& path) { return formats().informed.count(extensionOfText(path)) > 0; }

// The types whose infoBitrate AudioInformation gives in kbit/s, as it always
// has: 3 Ogg Vorbis and 4 MPEG Plus. Every other type gives bit/s.
constexpr SHORT kKilobitTypes[] = {3, 4};

struct Report {
    std::string file;
    // AudioInformation
    SHORT type = 0;
    LONG frequency = 0, bitrate = 0, duration = 0, size = 0, samples = 0, channels = 0, bits = 0, formatTag = 0;
    // The file's length as the file system gives it: infoSize stops at
    // 2147483647. AudioInformation's size when the file system gives none.
    long long bytes = 0;
    std::string formatString;
    Tags tags;
    Extras extras;  // other text fields and the front cover
    std::string genreName;
    SHORT id3Kind = 0;
    // AudioFile
    LONG error = NOERRORS;
    std::string afFormatString;
    LONG afDuration = 0, afFrequency = 0, afChannels = 0, afBits = 0, afFormatTag = 0;
    long long afSamples = 0;  // 64-bit: a LONG count ends after 3.1 hours at 192 kHz
    // Why the file could not be read, in words; empty when it could: AudioFile
    // opened it, and AudioInformation found its facts where it reads them.
    std::string cause;
    bool readable() const { return cause.empty(); }
    // Bits per second for every type (AudioInformation gives kbit/s for Ogg
    // Vorbis and MPEG Plus).
    long long bitsPerSecond() const {
        const bool kilobits =
            std::find(std::begin(kKilobitTypes), std::end(kKilobitTypes), type) != std::end(kKilobitTypes);
        return kilobits ? bitrate * 1000LL : bitrate;
    }
};

Report examine(IAudioInformation* info, IAudioFile* file, const std::string& path) {
    Report r;
    r.file = path;
    if (info) {
        r.type = readInformation(info, path, &r.id3Kind);
        info->get_infoFrequency(&r.frequency);
        info->get_infoBitrate(&r.bitrate);
        info->get_infoDuration(&r.duration);
        info->get_infoSize(&r.size);
        info->get_infoSamples(&r.samples);
        info->get_infoChannels(&r.channels);
        info->get_infoBitsPerSample(&r.bits);
        info->get_infoFormatTag(&r.formatTag);
        r.formatString = getText(info, &IAudioInformation::get_infoFormatString);
        r.tags = currentTags(info);
        r.extras = currentExtras(info);
        Bstr genre;
        info->GenreToString(static_cast<SHORT>(r.tags.genre), genre.put());
        r.genreName = genre.utf8();
    }
    std::error_code ec;
    const auto length = std::filesystem::file_size(path, ec);
    r.bytes = ec ? r.size : static_cast<long long>(length);
    std::string described;
    if (file) {
        Bstr name(path);
        client::clearErrorInfo();
        file->OpenFile(name.get(), DEFAULT, READ);
        described = qoro::com::takeErrorDescription();
        r.error = lastError(file);
        if (r.error == NOERRORS) {
            r.afFormatString = getText(file, &IAudioFile::get_FormatString);
            file->get_Duration(&r.afDuration);
            file->get_Frequency(&r.afFrequency);
            file->get_nChannels(&r.afChannels);
            const auto third = client::thirdInterface(file);
            LONGLONG frames = 0;
            LONG own = 0;
            if (third && SUCCEEDED(third->get_nFrames(&frames))) {
                r.afSamples = frames;
                if (SUCCEEDED(third->get_FileChannels(&own)) && own > 0) r.afChannels = own;
            } else {
                LONG samples = 0;
                file->get_nSamples(&samples);
                r.afSamples = samples;
            }
            file->get_BitsPerSample(&r.afBits);
            file->get_FormatTag(&r.afFormatTag);
        }
        file->CloseFile();
        qoro::com::takeErrorDescription();
    } else {
        r.error = FORMATNOTSUPPORT;
        described = "the audio file component cannot be created";
    }
    const bool noFacts = info && (r.type == 0 ? informationCovers(path) : r.frequency <= 0);
    // AudioFile reads a file of a name it does not know as raw samples:
    // that says nothing of what the file holds.
    const bool unknownKind = r.error == NOERRORS && !componentsOpen(path);
    if (r.error != NOERRORS || noFacts || unknownKind) {
        // What the file system says comes first: it names the cause exactly.
        r.cause = client::unreadableFileCause(path);
        if (r.cause.empty() && r.error != NOERRORS) r.cause = described;
        if (r.cause.empty() && r.error == FILEACCESS) r.cause = "the file cannot be read";
        if (r.cause.empty() && r.error != NOERRORS) r.cause = errorWords(r.error);
        if (r.cause.empty() && unknownKind) r.cause = unopenedKindCause(path);
        if (r.cause.empty()) r.cause = "no audio facts could be read from it";
    }
    return r;
}

std::string durationText(LONG ms) {
    char text[48];
    long s = ms / 1000;
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%03ld", s / 3600, s % 3600 / 60, s % 60, long(ms % 1000));
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld.%03ld", s / 60, s % 60, long(ms % 1000));
    return text;
}

void printText(const Report& r) {
    std::printf("%s\n", client::printable(r.file).c_str());
    std::printf("  type:          %s (%d)\n", infoTypeName(r.type).c_str(), r.type);
    if (r.type != 0) {
        std::printf("  format:        %s\n", client::printable(r.formatString).c_str());
        std::printf("  frequency:     %d Hz\n", r.frequency);
        std::printf("  channels:      %d\n", r.channels);
        std::printf("  bits:          %d\n", r.bits);
        std::printf("  bitrate:       %lld bit/s\n", r.bitsPerSecond());
        std::printf("  duration:      %s (%d ms)\n", durationText(r.duration).c_str(), r.duration);
        std::printf("  samples:       %d\n", r.samples);
        std::printf("  format tag:    %d\n", r.formatTag);
    }
    std::printf("  size:          %lld bytes\n", r.bytes);
    // One line a value: several values of a field stand one below the other.
    auto lines = [](const std::string& label, const std::vector<std::string>& values) {
        for (size_t i = 0; i < values.size(); ++i)
            std::printf("  %-14s %s\n", i == 0 ? (label + ":").c_str() : "", client::printable(values[i]).c_str());
    };
    const TextProperty* text = std::begin(kTextProperties);
    for (; text != std::begin(kTextProperties) + 3; ++text)  // title, artist, album
        lines(std::string(text->label), propertyValues(r.tags, *text));
    if (r.tags.year) std::printf("  year:          %ld\n", r.tags.year);
    if (r.tags.date.size() > 4) std::printf("  date:          %s\n", client::printable(r.tags.date).c_str());
    if (r.tags.track) std::printf("  track:         %d\n", r.tags.track);
    if (!r.tags.genreText.empty()) {
        // A genre of the table with its number, any other as it is.
        const bool tabled = sameIgnoringCase(r.tags.genreText, r.genreName);
        std::printf("  genre:         %s", client::printable(r.tags.genreText).c_str());
        if (tabled) std::printf(" (%d)", r.tags.genre);
        std::printf("\n");
    }
    for (; text != std::end(kTextProperties); ++text) lines(std::string(text->label), propertyValues(r.tags, *text));
    for (const auto& f : r.extras.fields) lines(client::printable(f.name), f.values);
    if (!r.extras.cover.empty())
        std::printf("  front cover:   %s, %zu bytes\n", client::printable(r.extras.coverMimeType).c_str(),
                    r.extras.cover.size());
    if (r.error == NOERRORS) {
        std::printf("  decoder:       %s\n", client::printable(r.afFormatString).c_str());
        std::printf("  decoded:       %d Hz, %d channel(s), %d bits, %lld frames, %s\n", r.afFrequency, r.afChannels,
                    r.afBits, r.afSamples, durationText(r.afDuration).c_str());
    } else {
        std::printf("  decoder:       cannot open it: %s\n", client::printable(r.cause).c_str());
    }
}

std::string jsonReport(const Report& r) {
    std::string j = "  {\n";
    auto field = [&j](const char* name, const std::string& value, bool last = false) {
        j += "    " + jsonString(name) + ": " + value + (last ? "\n" : ",\n");
    };
    auto num = [](long v) { return std::to_string(v); };
    field("file", jsonString(r.file));
    field("type", num(r.type));
    field("typeName", jsonString(infoTypeName(r.type)));
    field("formatString", jsonString(r.formatString));
    field("frequency", num(r.frequency));
    field("channels", num(r.channels));
    field("bitsPerSample", num(r.bits));
    field("bitrate", std::to_string(r.bitsPerSecond()));
    field("duration", num(r.duration));
    field("size", std::to_string(r.bytes));
    field("samples", num(r.samples));
    field("formatTag", num(r.formatTag));
    field("readable", r.readable() ? "true" : "false");
    field("cause", jsonString(r.cause));
    // A text of one value as a JSON string, several as an array of them.
    auto values = [](const std::vector<std::string>& v) {
        if (v.size() == 1) return jsonString(v.front());
        if (v.empty()) return jsonString("");
        std::string a = "[";
        for (size_t i = 0; i < v.size(); ++i) a += (i ? ", " : "") + jsonString(v[i]);
        return a + "]";
    };
    std::string tags = "{";
    auto tag = [&tags](std::string_view name, const std::string& value) {
        tags += (tags.size() > 1 ? ", " : "") + jsonString(std::string(name)) + ": " + value;
    };
    const TextProperty* text = std::begin(kTextProperties);
    for (; text != std::begin(kTextProperties) + 3; ++text) tag(text->json, values(propertyValues(r.tags, *text)));
    tag("year", num(r.tags.year));
    tag("date", jsonString(r.tags.date));
    tag("track", num(r.tags.track));
    tag("genre", num(r.tags.genre));
    tag("genreName", jsonString(r.genreName));
    tag("genreText", jsonString(r.tags.genreText));
    for (; text != std::end(kTextProperties); ++text) tag(text->json, values(propertyValues(r.tags, *text)));
    field("tags", tags + "}");
    std::string fields = "[";
    for (const auto& f : r.extras.fields)
        fields += std::string(fields.size() > 1 ? ", " : "") + "{\"name\": " + jsonString(f.name) +
                  ", \"value\": " + values(f.values) + "}";
    field("fields", fields + "]");
    field("frontCover", r.extras.cover.empty() ? std::string("null")
                                               : "{\"mimeType\": " + jsonString(r.extras.coverMimeType) +
                                                     ", \"bytes\": " + std::to_string(r.extras.cover.size()) + "}");
    std::string af = "{\"error\": " + jsonString(errorName(r.error));
    if (r.error == NOERRORS)
        af += ", \"formatString\": " + jsonString(r.afFormatString) + ", \"duration\": " + num(r.afDuration) +
              ", \"nSamples\": " + num(r.afSamples) + ", \"frequency\": " + num(r.afFrequency) +
              ", \"channels\": " + num(r.afChannels) + ", \"bitsPerSample\": " + num(r.afBits) +
              ", \"formatTag\": " + num(r.afFormatTag);
    af += "}";
    field("audioFile", af, true);
    return j + "  }";
}

}  // namespace

int runInfo(const std::vector<std::string>& args) {
    bool json = false;
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (const auto& a : args) {
        if (!optionsEnded && (a == "--help" || a == "-h")) {
            std::fputs(kInfoHelp, stdout);
            return kExitOk;
        }
        if (!optionsEnded && a == "--json")
            json = true;
        else if (!optionsEnded && a == "--")
            optionsEnded = true;
        else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "qoro info: unknown option: %s\n", client::printable(a).c_str());
            return kExitUsage;
        } else
            files.push_back(a);
    }
    if (files.empty()) {
        std::fprintf(stderr, "qoro info: no files\n(see qoro info --help)\n");
        return kExitUsage;
    }
    Apartment apartment;
    ComPtr<IAudioInformation> info = createAudioInformation();
    ComPtr<IAudioFile> file = createAudioFile();
    if (!info && !file) {
        std::fprintf(stderr, "qoro info: the audio components cannot be created\n");
        return kExitFailed;
    }
    bool allReadable = true;
    if (json) std::fputs("[\n", stdout);
    for (size_t i = 0; i < files.size(); ++i) {
        Report r = examine(info.get(), file.get(), files[i]);
        if (!r.readable()) {
            allReadable = false;
            std::fprintf(stderr, "qoro info: %s: %s\n", client::printable(r.file).c_str(),
                         client::printable(r.cause).c_str());
        }
        if (json)
            std::printf("%s%s\n", jsonReport(r).c_str(), i + 1 < files.size() ? "," : "");
        else {
            if (i) std::fputs("\n", stdout);
            printText(r);
        }
    }
    if (json) std::fputs("]\n", stdout);
    return allReadable ? kExitOk : kExitFailed;
}

}  // namespace qoro::cli
