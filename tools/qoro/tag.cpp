// qoro tag: changes the descriptive tags of a file through AudioInformation.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "client/errors.h"
#include "client/text.h"
#include "commands.h"
#include "components.h"
#include "replace/replace.h"
#include "tags.h"

namespace qoro::cli {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A genre by number (0 to 147) or by name, any letter case.
std::optional<int> genreIndex(IAudioInformation* info, const std::string& text) {
    if (auto n = parseLong(text)) {
        if (*n >= 0 && *n <= 147) return static_cast<int>(*n);
        return std::nullopt;
    }
    std::string wanted = lower(text);
    for (SHORT i = 0; i <= 147; ++i) {
        Bstr name;
        info->GenreToString(i, name.put());
        if (lower(name.utf8()) == wanted) return i;
    }
    return std::nullopt;
}

}  // namespace

int runTag(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(helpText(kTagHelp).c_str(), stdout);
            return kExitOk;
        }
    std::vector<std::string> files;
    std::optional<std::string> title, artist, album, comment, genre;
    std::optional<long> year, track;
    std::optional<SHORT> kind;
    ArgWalker w(args);
    std::string value;
    while (!w.done()) {
        if (w.endOfOptions()) continue;
        if (w.optionsEnded() || w.current().empty() || w.current()[0] != '-') {
            files.push_back(w.take());
            continue;
        }
        if (w.option("--title", value))
            title = value;
        else if (w.option("--artist", value))
            artist = value;
        else if (w.option("--album", value))
            album = value;
        else if (w.option("--comment", value))
            comment = value;
        else if (w.option("--genre", value))
            genre = value;
        else if (w.option("--year", value)) {
            year = parseLong(value);
            if (!year || *year < 0 || *year > 9999) {
                std::fprintf(stderr, "qoro tag: invalid year: %s\n", value.c_str());
                return kExitUsage;
            }
        } else if (w.option("--track", value)) {
            track = parseLong(value);
            if (!track || *track < 0 || *track > 255) {
                std::fprintf(stderr, "qoro tag: invalid track (0 to 255): %s\n", value.c_str());
                return kExitUsage;
            }
        } else if (w.flag("--id3v1"))
            kind = 1;
        else if (w.flag("--id3v2"))
            kind = 2;
        else {
            std::fprintf(stderr, "qoro tag: unknown option: %s\n", client::printable(w.current()).c_str());
            return kExitUsage;
        }
        if (!w.error().empty()) {
            std::fprintf(stderr, "qoro tag: %s\n", w.error().c_str());
            return kExitUsage;
        }
    }
    if (files.size() != 1) {
        std::fprintf(stderr, "qoro tag: name exactly one file\n(see qoro tag --help)\n");
        return kExitUsage;
    }
    const std::string& file = files.front();
    const std::string shown = client::printable(file);
    if (const std::string cause = client::unreadableFileCause(file); !cause.empty()) {
        std::fprintf(stderr, "qoro tag: %s: %s\n", shown.c_str(), cause.c_str());
        return kExitFailed;
    }

    Apartment apartment;
    ComPtr<IAudioInformation> info = createAudioInformation();
    if (!info) {
        std::fprintf(stderr, "qoro tag: the audio information component cannot be created\n");
        return kExitFailed;
    }
    SHORT found = 2;
    SHORT type = readInformation(info.get(), file, &found);
    // A file whose facts cannot be read is no audio file of its type, even
    // when its name says so: its bytes are left alone.
    LONG frequency = 0;
    info->get_infoFrequency(&frequency);
    if (tagsWritable(type) && frequency <= 0) {
        std::fprintf(stderr, "qoro tag: %s: not an audio file of this type\n", shown.c_str());
        return kExitFailed;
    }
    if (!tagsWritable(type)) {
        std::fprintf(stderr, "qoro tag: %s: %s\n", shown.c_str(),
                     type == 0 ? ("not a readable " + writableTypesText() + " file").c_str()
                               : "tags of this type of file cannot be written");
        return kExitFailed;
    }
    if (kind && *kind != found) {
        // Start from the tag of the chosen kind.
        info->put_mp3TagInfoVersion(*kind);
        Bstr name(file);
        info->GetAudioInformation(name.get());
    }
    Tags tags = currentTags(info.get());
    bool change = title || artist || album || comment || genre || year || track || kind;
    if (title) tags.title = *title;
    if (artist) tags.artist = *artist;
    if (album) tags.album = *album;
    if (comment) tags.comments = *comment;
    if (year) tags.year = *year;
    if (track) tags.track = static_cast<int>(*track);
    if (genre) {
        auto index = genreIndex(info.get(), *genre);
        if (!index) {
            std::fprintf(stderr, "qoro tag: unknown genre: %s\n", client::printable(*genre).c_str());
            return kExitUsage;
        }
        tags.genre = *index;
    }
    if (!change) {  // nothing to change: show the tags
        std::vector<std::string> infoArgs{file};
        return runInfo(infoArgs);
    }
    // What a tag rewrite killed before it could clean up left beside the file.
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(file, ec);
    const std::filesystem::path folder = (ec ? std::filesystem::path(file) : resolved).parent_path();
    replace::removeStale(folder.empty() ? std::filesystem::path(".") : folder);
    std::string error;
    if (!writeTags(info.get(), file, tags, kind.value_or(found), error)) {
        std::fprintf(stderr, "qoro tag: %s: %s\n", shown.c_str(), client::printable(error).c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace qoro::cli
