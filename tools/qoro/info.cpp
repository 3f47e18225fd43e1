// qoro info: what AudioInformation and AudioFile report about files, as
// text or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "components.h"
#include "tags.h"

namespace qoro::cli {

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
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
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

struct Report {
    std::string file;
    // AudioInformation
    SHORT type = 0;
    LONG frequency = 0, bitrate = 0, duration = 0, size = 0, samples = 0, channels = 0, bits = 0, formatTag = 0;
    std::string formatString;
    Tags tags;
    std::string genreName;
    SHORT id3Kind = 0;
    // AudioFile
    LONG error = NOERRORS;
    std::string afFormatString;
    LONG afDuration = 0, afSamples = 0, afFrequency = 0, afChannels = 0, afBits = 0, afFormatTag = 0;
    bool readable() const { return type != 0 || error == NOERRORS; }
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
        Bstr genre;
        info->GenreToString(static_cast<SHORT>(r.tags.genre), genre.put());
        r.genreName = genre.utf8();
    }
    if (file) {
        Bstr name(path);
        file->OpenFile(name.get(), DEFAULT, READ);
        r.error = lastError(file);
        if (r.error == NOERRORS) {
            r.afFormatString = getText(file, &IAudioFile::get_FormatString);
            file->get_Duration(&r.afDuration);
            file->get_nSamples(&r.afSamples);
            file->get_Frequency(&r.afFrequency);
            file->get_nChannels(&r.afChannels);
            file->get_BitsPerSample(&r.afBits);
            file->get_FormatTag(&r.afFormatTag);
        }
        file->CloseFile();
    } else {
        r.error = FORMATNOTSUPPORT;
    }
    return r;
}

std::string durationText(LONG ms) {
    char text[48];
    long s = ms / 1000;
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%03ld", s / 3600, s % 3600 / 60, s % 60, long(ms % 1000));
    else std::snprintf(text, sizeof text, "%02ld:%02ld.%03ld", s / 60, s % 60, long(ms % 1000));
    return text;
}

void printText(const Report& r) {
    std::printf("%s\n", r.file.c_str());
    std::printf("  type:          %s (%d)\n", infoTypeName(r.type), r.type);
    if (r.type != 0) {
        std::printf("  format:        %s\n", r.formatString.c_str());
        std::printf("  frequency:     %d Hz\n", r.frequency);
        std::printf("  channels:      %d\n", r.channels);
        std::printf("  bits:          %d\n", r.bits);
        std::printf("  bitrate:       %d%s\n", r.bitrate,
                    r.type == INFO_OGG || r.type == INFO_MPC ? " kbit/s" : " bit/s");
        std::printf("  duration:      %s (%d ms)\n", durationText(r.duration).c_str(), r.duration);
        std::printf("  samples:       %d\n", r.samples);
        std::printf("  format tag:    %d\n", r.formatTag);
    }
    std::printf("  size:          %d bytes\n", r.size);
    auto line = [](const char* label, const std::string& value) {
        if (!value.empty()) std::printf("  %-14s %s\n", label, value.c_str());
    };
    line("title:", r.tags.title);
    line("artist:", r.tags.artist);
    line("album:", r.tags.album);
    if (r.tags.year) std::printf("  year:          %ld\n", r.tags.year);
    if (r.tags.track) std::printf("  track:         %d\n", r.tags.track);
    if (r.tags.genre != 12 || r.tags.any()) std::printf("  genre:         %s (%d)\n", r.genreName.c_str(), r.tags.genre);
    line("comments:", r.tags.comments);
    line("copyright:", r.tags.copyright);
    line("composer:", r.tags.composer);
    line("url:", r.tags.url);
    line("encoded by:", r.tags.encodedBy);
    if (r.error == NOERRORS) {
        std::printf("  decoder:       %s\n", r.afFormatString.c_str());
        std::printf("  decoded:       %d Hz, %d channel(s), %d bits, %d frames, %s\n", r.afFrequency, r.afChannels,
                    r.afBits, r.afSamples, durationText(r.afDuration).c_str());
    } else {
        std::printf("  decoder:       %s (%s)\n", errorName(r.error).c_str(), errorText(r.error).c_str());
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
    field("bitrate", num(r.bitrate));
    field("duration", num(r.duration));
    field("size", num(r.size));
    field("samples", num(r.samples));
    field("formatTag", num(r.formatTag));
    std::string tags = "{";
    tags += "\"title\": " + jsonString(r.tags.title) + ", \"artist\": " + jsonString(r.tags.artist) +
            ", \"album\": " + jsonString(r.tags.album) + ", \"year\": " + num(r.tags.year) +
            ", \"track\": " + num(r.tags.track) + ", \"genre\": " + num(r.tags.genre) +
            ", \"genreName\": " + jsonString(r.genreName) + ", \"comments\": " + jsonString(r.tags.comments) +
            ", \"copyright\": " + jsonString(r.tags.copyright) + ", \"composer\": " + jsonString(r.tags.composer) +
            ", \"url\": " + jsonString(r.tags.url) + ", \"encodedBy\": " + jsonString(r.tags.encodedBy) + "}";
    field("tags", tags);
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
        if (!optionsEnded && a == "--json") json = true;
        else if (!optionsEnded && a == "--") optionsEnded = true;
        else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "qoro info: unknown option: %s\n", a.c_str());
            return kExitUsage;
        } else files.push_back(a);
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
            std::fprintf(stderr, "qoro info: %s: %s (%s)\n", r.file.c_str(), errorName(r.error).c_str(),
                         errorText(r.error).c_str());
        }
        if (json) std::printf("%s%s\n", jsonReport(r).c_str(), i + 1 < files.size() ? "," : "");
        else {
            if (i) std::fputs("\n", stdout);
            printText(r);
        }
    }
    if (json) std::fputs("]\n", stdout);
    return allReadable ? kExitOk : kExitFailed;
}

}  // namespace qoro::cli
