#include "tags.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "client/errors.h"
#include "formats.h"

namespace qoro::cli {

namespace {

// Tag schemes as AudioInformation's Formats object names them: the one
// where mp3TagInfoVersion chooses between ID3v1 and ID3v2, the one of ID3v1
// only, and those that hold named text fields and pictures.
constexpr std::string_view kChosenId3 = "ID3v1 or ID3v2";
constexpr std::string_view kId3v1Only = "ID3v1";
constexpr std::string_view kFieldSchemes[] = {kChosenId3, "ID3v2", "Vorbis comments"};

bool hasAbility(SHORT type, LONG ability) {
    const InfoFormat* f = formats().info(type);
    return f && (f->abilities & ability);
}

std::string_view schemeOf(SHORT type) {
    const InfoFormat* f = formats().info(type);
    return f ? std::string_view(f->tagScheme) : std::string_view();
}

}  // namespace

std::string infoTypeName(SHORT type) {
    const InfoFormat* f = formats().info(type);
    return f ? f->name : "unknown";
}

bool tagsReadable(SHORT type) { return hasAbility(type, INFO_TAGS_READ); }
bool tagsWritable(SHORT type) { return hasAbility(type, INFO_TAGS_WRITE); }

std::string writableTypesText(bool schemes) {
    std::vector<std::string> kinds;
    for (const InfoFormat& f : formats().infos)
        if (f.abilities & INFO_TAGS_WRITE) kinds.push_back(schemes ? f.title + " (" + f.tagScheme + ")" : f.title);
    std::string text;
    for (size_t i = 0; i < kinds.size(); ++i) text += (i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ") + kinds[i];
    return text;
}

bool Tags::any() const {
    return !title.empty() || !artist.empty() || !album.empty() || !comments.empty() || !copyright.empty() ||
           !url.empty() || !encodedBy.empty() || !composer.empty() || year != 0 || track != 0 || genre != 12;
}

Tags currentTags(IAudioInformation* info) {
    Tags tags;
    tags.title = getText(info, &IAudioInformation::get_infoTitle);
    tags.artist = getText(info, &IAudioInformation::get_infoArtist);
    tags.album = getText(info, &IAudioInformation::get_infoAlbum);
    tags.comments = getText(info, &IAudioInformation::get_infoComments);
    tags.copyright = getText(info, &IAudioInformation::get_infoCopyright);
    tags.url = getText(info, &IAudioInformation::get_infoURL);
    tags.encodedBy = getText(info, &IAudioInformation::get_infoEncodedBy);
    tags.composer = getText(info, &IAudioInformation::get_infoComposer);
    LONG year = 0;
    SHORT genre = 12, track = 0;
    info->get_infoYear(&year);
    info->get_infoGenre(&genre);
    info->get_infoTrack(&track);
    tags.year = year;
    tags.genre = genre;
    tags.track = track;
    return tags;
}

void setTags(IAudioInformation* info, const Tags& tags) {
    auto put = [info](HRESULT (IAudioInformation::*setter)(BSTR), const std::string& text) {
        Bstr value(text);
        (info->*setter)(value.get());
    };
    put(&IAudioInformation::put_infoTitle, tags.title);
    put(&IAudioInformation::put_infoArtist, tags.artist);
    put(&IAudioInformation::put_infoAlbum, tags.album);
    put(&IAudioInformation::put_infoComments, tags.comments);
    put(&IAudioInformation::put_infoCopyright, tags.copyright);
    put(&IAudioInformation::put_infoURL, tags.url);
    put(&IAudioInformation::put_infoEncodedBy, tags.encodedBy);
    put(&IAudioInformation::put_infoComposer, tags.composer);
    info->put_infoYear(static_cast<LONG>(tags.year));
    info->put_infoGenre(static_cast<SHORT>(tags.genre));
    info->put_infoTrack(static_cast<SHORT>(tags.track));
}

SHORT readInformation(IAudioInformation* info, const fs::path& file, SHORT* id3Kind) {
    Bstr name(file.string());
    info->put_mp3TagInfoVersion(2);
    info->GetAudioInformation(name.get());
    SHORT type = 0;
    info->get_infoType(&type);
    SHORT kind = 2;
    if (schemeOf(type) == kChosenId3 && !currentTags(info).any()) {
        info->put_mp3TagInfoVersion(1);
        info->GetAudioInformation(name.get());
        info->get_infoType(&type);
        if (currentTags(info).any())
            kind = 1;
        else
            info->put_mp3TagInfoVersion(2);  // neither tag: a new one will be ID3v2
    }
    if (id3Kind) *id3Kind = kind;
    return type;
}

namespace {

// What an ID3v1 tag can hold of 'tags' (its fields are short and it has no
// room for the longer texts), for comparing after a write.
bool sameWritten(const Tags& wanted, const Tags& got, bool shortFields) {
    auto same = [shortFields](const std::string& a, const std::string& b, size_t width) {
        if (!shortFields) return a == b;
        return a.substr(0, width) == b.substr(0, width);
    };
    return same(wanted.title, got.title, 30) && same(wanted.artist, got.artist, 30) &&
           same(wanted.album, got.album, 30);
}

}  // namespace

bool writeTags(IAudioInformation* info, const fs::path& file, const Tags& tags, SHORT id3Kind, std::string& error) {
    Bstr name(file.string());
    info->put_mp3TagInfoVersion(id3Kind == 1 ? 1 : 2);
    setTags(info, tags);
    client::clearErrorInfo();
    if (FAILED(info->SetAudioInformation(name.get()))) {
        error = qoro::com::takeErrorDescription();
        if (error.empty()) error = client::unreadableFileCause(file.string());
        if (error.empty()) error = "the tags could not be written";
        return false;
    }
    SHORT type = 0;
    info->get_infoType(&type);
    if (!tagsWritable(type)) {
        error = "tags cannot be written into this type of file";
        return false;
    }
    // Read back with the same tag kind and compare what every kind holds.
    info->GetAudioInformation(name.get());
    Tags got = currentTags(info);
    // An ID3v1 tag holds the start of the longer texts only.
    const bool shortFields = schemeOf(type) == kId3v1Only || (schemeOf(type) == kChosenId3 && id3Kind == 1);
    if (!sameWritten(tags, got, shortFields)) {
        error = client::unreadableFileCause(file.string());
        if (error.empty()) error = "the file does not hold the new tags after writing";
        return false;
    }
    return true;
}

namespace {

ComPtr<IAudioInformation2> secondInterface(IAudioInformation* info) {
    ComPtr<IAudioInformation2> info2;
    if (FAILED(info->QueryInterface(IID_IAudioInformation2, info2.putVoid()))) info2.reset();
    return info2;
}

// Types whose tags hold named text fields and pictures: ID3v2 and Vorbis
// comments (RIFF INFO names its items by four letters, and ID3v1 has no
// room for either).
bool holdsExtras(SHORT type) {
    const std::string_view scheme = schemeOf(type);
    return std::find(std::begin(kFieldSchemes), std::end(kFieldSchemes), scheme) != std::end(kFieldSchemes);
}

// Fields that describe how the source was encoded, not the music.
bool carried(const std::string& name) {
    std::string lower = name;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower != "encoder";
}

}  // namespace

Extras currentExtras(IAudioInformation* info) {
    Extras extras;
    ComPtr<IAudioInformation2> info2 = secondInterface(info);
    if (!info2) return extras;
    VARIANT names;
    VariantInit(&names);
    if (SUCCEEDED(info2->GetFieldNames(&names)) && names.vt == (VT_ARRAY | VT_BSTR) && names.parray) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(names.parray, 1, &low);
        SafeArrayGetUBound(names.parray, 1, &high);
        void* data = nullptr;
        if (high >= low && SUCCEEDED(SafeArrayAccessData(names.parray, &data))) {
            std::vector<std::string> list;
            for (LONG i = 0; i <= high - low; ++i) list.push_back(qoro::com::utf8FromBstr(static_cast<BSTR*>(data)[i]));
            SafeArrayUnaccessData(names.parray);
            for (const auto& name : list) {
                Bstr key(name), value;
                if (SUCCEEDED(info2->GetField(key.get(), value.put())) && !value.utf8().empty())
                    extras.fields.emplace_back(name, value.utf8());
            }
        }
    }
    VariantClear(&names);
    Bstr mime;
    VARIANT picture;
    VariantInit(&picture);
    if (SUCCEEDED(info2->GetPicture(3, mime.put(), &picture)) && picture.vt == (VT_ARRAY | VT_UI1) && picture.parray) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(picture.parray, 1, &low);
        SafeArrayGetUBound(picture.parray, 1, &high);
        void* data = nullptr;
        if (high >= low && SUCCEEDED(SafeArrayAccessData(picture.parray, &data))) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            extras.cover.assign(bytes, bytes + (high - low + 1));
            SafeArrayUnaccessData(picture.parray);
            extras.coverMimeType = mime.utf8();
        }
    }
    VariantClear(&picture);
    return extras;
}

namespace {

// Hands 'extras' to the writer object (written by its SetAudioInformation).
void setExtras(IAudioInformation* info, const Extras& extras) {
    ComPtr<IAudioInformation2> info2 = secondInterface(info);
    if (!info2) return;
    for (const auto& [name, value] : extras.fields) {
        if (!carried(name)) continue;
        Bstr key(name), text(value);
        info2->SetField(key.get(), text.get());
    }
    if (extras.cover.empty()) return;
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(extras.cover.size()));
    if (!bytes) return;
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(bytes, &data))) {
        std::memcpy(data, extras.cover.data(), extras.cover.size());
        SafeArrayUnaccessData(bytes);
        VARIANT picture;
        VariantInit(&picture);
        picture.vt = VT_ARRAY | VT_UI1;
        picture.parray = bytes;
        Bstr mime(extras.coverMimeType.empty() ? std::string("image/jpeg") : extras.coverMimeType);
        info2->SetPicture(3, mime.get(), picture);
    }
    SafeArrayDestroy(bytes);
}

}  // namespace

bool carryTags(const fs::path& source, const fs::path& target, std::string& error) {
    ComPtr<IAudioInformation> info = createAudioInformation();
    if (!info) return true;  // no information component: nothing to carry
    SHORT type = readInformation(info.get(), source);
    if (!tagsReadable(type)) return true;
    Tags tags = currentTags(info.get());
    const Extras extras = holdsExtras(type) ? currentExtras(info.get()) : Extras{};
    if (!tags.any() && !extras.any()) return true;
    // A fresh object, so no cue points of the source travel along (their
    // positions belong to the source's sample rate).
    ComPtr<IAudioInformation> writer = createAudioInformation();
    if (!writer) return true;
    Bstr name(target.string());
    BOOL supported = FALSE;
    writer->IsInfoSupport(name.get(), &supported);
    SHORT targetType = 0;
    writer->get_infoType(&targetType);
    if (!tagsWritable(targetType)) return true;
    if (holdsExtras(targetType)) setExtras(writer.get(), extras);
    return writeTags(writer.get(), target, tags, 2, error);
}

}  // namespace qoro::cli
