// qoro tag: changes the descriptive tags of a file through AudioInformation.
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

// A genre of the table by number (0 to 147) or by name, any letter case.
std::optional<int> genreIndex(IAudioInformation* info, const std::string& text) {
    if (auto n = parseLong(text)) {
        if (*n >= 0 && *n <= 147) return static_cast<int>(*n);
        return std::nullopt;
    }
    for (SHORT i = 0; i <= 147; ++i) {
        Bstr name;
        info->GenreToString(i, name.put());
        if (sameIgnoringCase(name.utf8(), text)) return i;
    }
    return std::nullopt;
}

// What the command line changes.
struct Edit {
    std::optional<std::string> title, artist, album, comment, genre;
    std::optional<long> year, track;
    // --set and --remove by name (letter case aside), in the order first
    // named: the values the field gets, none to remove it.
    std::vector<FieldEntry> fields;

    bool any() const { return title || artist || album || comment || genre || year || track || !fields.empty(); }
    FieldEntry& field(const std::string& name) {
        for (FieldEntry& f : fields)
            if (sameIgnoringCase(f.name, name)) return f;
        return fields.emplace_back(FieldEntry{name, {}});
    }
};

// The component's refusal of the last call, in words.
std::string refusal(HRESULT hr, const std::string& what) {
    std::string cause = qoro::com::takeErrorDescription();
    if (cause.empty() && hr == E_NOINTERFACE) cause = "the audio information component sets no fields";
    if (cause.empty()) cause = "the audio information component refuses it";
    return what + ": " + cause;
}

// Puts the edit on the state of 'info' (only the properties when
// 'propertiesOnly': an ID3v1 tag holds nothing else). Returns what the
// component refused, "" when it took everything.
std::string apply(IAudioInformation* info, const Edit& e, bool propertiesOnly) {
    auto put = [info](HRESULT (IAudioInformation::*setter)(BSTR), const std::optional<std::string>& text) {
        if (!text) return;
        Bstr value(*text);
        (info->*setter)(value.get());
    };
    put(&IAudioInformation::put_infoTitle, e.title);
    put(&IAudioInformation::put_infoArtist, e.artist);
    put(&IAudioInformation::put_infoAlbum, e.album);
    put(&IAudioInformation::put_infoComments, e.comment);
    if (e.year) info->put_infoYear(static_cast<LONG>(*e.year));
    if (e.track) info->put_infoTrack(static_cast<SHORT>(*e.track));
    if (e.genre) {
        // A name of the table is written as the table spells it; any other
        // text as it is given; "" removes the genre.
        client::clearErrorInfo();
        if (auto index = genreIndex(info, *e.genre)) {
            info->put_infoGenre(static_cast<SHORT>(*index));
        } else if (const HRESULT hr = setFieldValues(
                       info, "GENRE",
                       e.genre->empty() ? std::vector<std::string>{} : std::vector<std::string>{*e.genre});
                   FAILED(hr)) {
            return refusal(hr, "--genre " + client::printable(*e.genre));
        }
    }
    for (const FieldEntry& f : e.fields) {
        if (propertiesOnly && !isPropertyName(f.name)) continue;
        client::clearErrorInfo();
        if (const HRESULT hr = setFieldValues(info, f.name, f.values); FAILED(hr))
            return refusal(hr, client::printable(f.name));
    }
    return {};
}

// After a write: a field set that the file does not hold, or one removed
// that it still holds ("" when every field is as the edit says).
std::string fieldsNotHeld(IAudioInformation* info, const Edit& e) {
    for (const FieldEntry& f : e.fields) {
        const bool held = !fieldValues(info, f.name).empty();
        if (held != !f.values.empty())
            return (held ? "the file still holds " : "the file does not hold ") + client::printable(f.name) +
                   " after writing";
    }
    return {};
}

}  // namespace

int runTag(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(helpText(kTagHelp).c_str(), stdout);
            return kExitOk;
        }
    std::vector<std::string> files;
    Edit edit;
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
            edit.title = value;
        else if (w.option("--artist", value))
            edit.artist = value;
        else if (w.option("--album", value))
            edit.album = value;
        else if (w.option("--comment", value))
            edit.comment = value;
        else if (w.option("--genre", value)) {
            const auto n = parseLong(value);
            if (n && (*n < 0 || *n > 147)) {
                std::fprintf(stderr, "qoro tag: invalid genre number (0 to 147): %s\n", value.c_str());
                return kExitUsage;
            }
            edit.genre = value;
        } else if (w.option("--year", value)) {
            edit.year = parseLong(value);
            if (!edit.year || *edit.year < 0 || *edit.year > 9999) {
                std::fprintf(stderr, "qoro tag: invalid year: %s\n", value.c_str());
                return kExitUsage;
            }
        } else if (w.option("--track", value)) {
            edit.track = parseLong(value);
            if (!edit.track || *edit.track < 0 || *edit.track > 255) {
                std::fprintf(stderr, "qoro tag: invalid track (0 to 255): %s\n", value.c_str());
                return kExitUsage;
            }
        } else if (w.option("--set", value)) {
            const size_t eq = value.find('=');
            if (eq == 0 || eq == std::string::npos || eq + 1 == value.size()) {
                std::fprintf(stderr, "qoro tag: --set takes NAME=VALUE (--remove NAME removes a field): %s\n",
                             client::printable(value).c_str());
                return kExitUsage;
            }
            edit.field(value.substr(0, eq)).values.push_back(value.substr(eq + 1));
        } else if (w.option("--remove", value)) {
            if (value.empty()) {
                std::fprintf(stderr, "qoro tag: --remove takes a field's name\n");
                return kExitUsage;
            }
            edit.field(value).values.clear();
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
    Bstr name(file);
    if (kind && *kind != found) {
        // Start from the tag of the chosen kind.
        info->put_mp3TagInfoVersion(*kind);
        info->GetAudioInformation(name.get());
    }
    if (!edit.any() && !kind) {  // nothing to change: show the tags
        std::vector<std::string> infoArgs{file};
        return runInfo(infoArgs);
    }
    // Only what the command line names changes: every other property keeps
    // the value it was read with (a file without a genre gets none).
    if (const std::string refused = apply(info.get(), edit, false); !refused.empty()) {
        std::fprintf(stderr, "qoro tag: %s: %s\n", shown.c_str(), refused.c_str());
        return kExitUsage;
    }
    // What a tag rewrite killed before it could clean up left beside the file.
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(file, ec);
    const std::filesystem::path folder = (ec ? std::filesystem::path(file) : resolved).parent_path();
    replace::removeStale(folder.empty() ? std::filesystem::path(".") : folder);
    const SHORT written = kind.value_or(found);
    std::string error;
    if (!storeTags(info.get(), file, written, error) || !(error = fieldsNotHeld(info.get(), edit)).empty()) {
        std::fprintf(stderr, "qoro tag: %s: %s\n", shown.c_str(), client::printable(error).c_str());
        return kExitFailed;
    }
    // An MPEG file that has both tags gets the change in both, so that every
    // player shows the same; --id3v1 or --id3v2 writes only the one named.
    if (!kind && written == 2 && choosesId3(type)) {
        info->put_mp3TagInfoVersion(1);
        info->GetAudioInformation(name.get());
        if (currentTags(info.get()).any()) {
            const std::string refused = apply(info.get(), edit, true);
            if (!refused.empty() || !storeTags(info.get(), file, 1, error)) {
                std::fprintf(stderr, "qoro tag: %s: ID3v1 tag: %s\n", shown.c_str(),
                             client::printable(refused.empty() ? error : refused).c_str());
                return kExitFailed;
            }
        }
    }
    return kExitOk;
}

}  // namespace qoro::cli
