#include "tags.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "client/errors.h"
#include "formats.h"

namespace qoro::cli {

namespace {

// Tag schemes as AudioInformation's Formats object names them: the one
// where mp3TagInfoVersion chooses between ID3v1 and ID3v2, the one of ID3v1
// only, RIFF INFO, and those that hold named text fields and pictures.
constexpr std::string_view kChosenId3 = "ID3v1 or ID3v2";
constexpr std::string_view kId3v1Only = "ID3v1";
constexpr std::string_view kRiffInfo = "RIFF INFO";
constexpr std::string_view kFieldSchemes[] = {kChosenId3,   "ID3v2",     "Vorbis comments", "APEv2",
                                             "MP4 items",  "container metadata"};

bool hasAbility(SHORT type, LONG ability) {
    const InfoFormat* f = formats().info(type);
    return f && (f->abilities & ability);
}

std::string_view schemeOf(SHORT type) {
    const InfoFormat* f = formats().info(type);
    return f ? std::string_view(f->tagScheme) : std::string_view();
}

ComPtr<IAudioInformation2> secondInterface(IAudioInformation* info) {
    ComPtr<IAudioInformation2> info2;
    if (FAILED(info->QueryInterface(IID_IAudioInformation2, info2.putVoid()))) info2.reset();
    return info2;
}

ComPtr<IAudioInformation3> thirdInterface(IAudioInformation* info) {
    ComPtr<IAudioInformation3> info3;
    if (FAILED(info->QueryInterface(IID_IAudioInformation3, info3.putVoid()))) info3.reset();
    return info3;
}

// The texts of a SAFEARRAY of VT_BSTR in a VARIANT (none for anything else).
std::vector<std::string> textsOf(const VARIANT& v) {
    std::vector<std::string> texts;
    if (v.vt != (VT_ARRAY | VT_BSTR) || !v.parray) return texts;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(v.parray, 1, &low);
    SafeArrayGetUBound(v.parray, 1, &high);
    void* data = nullptr;
    if (high < low || FAILED(SafeArrayAccessData(v.parray, &data))) return texts;
    for (LONG i = 0; i <= high - low; ++i) texts.push_back(qoro::com::utf8FromBstr(static_cast<BSTR*>(data)[i]));
    SafeArrayUnaccessData(v.parray);
    return texts;
}

std::vector<std::string> fieldNames(IAudioInformation2* info2) {
    VARIANT names;
    VariantInit(&names);
    std::vector<std::string> list;
    if (SUCCEEDED(info2->GetFieldNames(&names))) list = textsOf(names);
    VariantClear(&names);
    return list;
}

// Types whose tags hold named text fields and pictures: ID3v2, Vorbis
// comments, APEv2, MP4 items and the metadata of the containers the media
// plug-in reads (RIFF INFO names its items by four letters, and ID3v1 has
// no room for either).
bool holdsNamedFields(SHORT type) {
    const std::string_view scheme = schemeOf(type);
    return std::find(std::begin(kFieldSchemes), std::end(kFieldSchemes), scheme) != std::end(kFieldSchemes);
}

// Fields that describe how the source was encoded, not the music: the
// encoder and its settings (ID3v2 "TSSE"), and what a RIFF file names its
// software ("ISFT", the encodedBy of a WAV file: other programs put their
// encoder there).
bool carried(std::string_view name, bool riffSource) {
    constexpr std::string_view kEncoding[] = {"ENCODER", "ENCODER_OPTIONS", "ENCODERSETTINGS", "TSSE"};
    for (std::string_view e : kEncoding)
        if (sameIgnoringCase(name, e)) return false;
    return !(riffSource && (sameIgnoringCase(name, "ENCODEDBY") || name == "ISFT"));
}

}  // namespace

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

const TextProperty kTextProperties[8] = {
    {"TITLE", "title", "title", &Tags::title, &IAudioInformation::get_infoTitle, &IAudioInformation::put_infoTitle},
    {"ARTIST", "artist", "artist", &Tags::artist, &IAudioInformation::get_infoArtist,
     &IAudioInformation::put_infoArtist},
    {"ALBUM", "album", "album", &Tags::album, &IAudioInformation::get_infoAlbum, &IAudioInformation::put_infoAlbum},
    {"COMMENT", "comments", "comments", &Tags::comments, &IAudioInformation::get_infoComments,
     &IAudioInformation::put_infoComments},
    {"COPYRIGHT", "copyright", "copyright", &Tags::copyright, &IAudioInformation::get_infoCopyright,
     &IAudioInformation::put_infoCopyright},
    {"COMPOSER", "composer", "composer", &Tags::composer, &IAudioInformation::get_infoComposer,
     &IAudioInformation::put_infoComposer},
    {"URL", "url", "url", &Tags::url, &IAudioInformation::get_infoURL, &IAudioInformation::put_infoURL},
    {"ENCODEDBY", "encoded by", "encodedBy", &Tags::encodedBy, &IAudioInformation::get_infoEncodedBy,
     &IAudioInformation::put_infoEncodedBy},
};

const std::vector<std::string_view>& propertyNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> n;
        for (const TextProperty& p : kTextProperties) n.push_back(p.name);
        n.insert(n.end(), {"DATE", "GENRE", "TRACKNUMBER"});
        return n;
    }();
    return names;
}

bool isPropertyName(std::string_view name) {
    return std::any_of(propertyNames().begin(), propertyNames().end(),
                       [name](std::string_view p) { return sameIgnoringCase(p, name); });
}

std::string infoTypeName(SHORT type) {
    const InfoFormat* f = formats().info(type);
    return f ? f->name : "unknown";
}

bool tagsReadable(SHORT type) { return hasAbility(type, INFO_TAGS_READ); }
bool tagsWritable(SHORT type) { return hasAbility(type, INFO_TAGS_WRITE); }
bool choosesId3(SHORT type) { return schemeOf(type) == kChosenId3; }

std::string writableTypesText(bool schemes) {
    std::vector<std::string> kinds;
    for (const InfoFormat& f : formats().infos)
        if (f.abilities & INFO_TAGS_WRITE) kinds.push_back(schemes ? f.title + " (" + f.tagScheme + ")" : f.title);
    std::string text;
    for (size_t i = 0; i < kinds.size(); ++i) text += (i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ") + kinds[i];
    return text;
}

bool Tags::any() const {
    return std::any_of(std::begin(kTextProperties), std::end(kTextProperties),
                       [this](const TextProperty& p) { return !(this->*p.member).empty(); }) ||
           year != 0 || track != 0 || !genreText.empty();
}

std::vector<std::string> propertyValues(const Tags& tags, const TextProperty& p) {
    if (auto it = tags.values.find(p.name); it != tags.values.end()) return it->second;
    const std::string& text = tags.*p.member;
    return text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text};
}

std::vector<std::string> fieldValues(IAudioInformation* info, const std::string& name) {
    Bstr key(name);
    if (ComPtr<IAudioInformation3> info3 = thirdInterface(info)) {
        VARIANT values;
        VariantInit(&values);
        std::vector<std::string> texts;
        if (SUCCEEDED(info3->GetFieldValues(key.get(), &values))) texts = textsOf(values);
        VariantClear(&values);
        return texts;
    }
    if (ComPtr<IAudioInformation2> info2 = secondInterface(info)) {
        Bstr value;
        if (SUCCEEDED(info2->GetField(key.get(), value.put())) && !value.utf8().empty()) return {value.utf8()};
    }
    return {};
}

HRESULT setFieldValues(IAudioInformation* info, const std::string& name, const std::vector<std::string>& values) {
    Bstr key(name);
    if (ComPtr<IAudioInformation3> info3 = thirdInterface(info)) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(values.size()));
        if (!array) return E_OUTOFMEMORY;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) {
            SafeArrayDestroy(array);
            return E_FAIL;
        }
        for (size_t i = 0; i < values.size(); ++i) static_cast<BSTR*>(data)[i] = qoro::com::bstrFromUtf8(values[i]);
        SafeArrayUnaccessData(array);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_BSTR;
        v.parray = array;
        const HRESULT hr = info3->SetFieldValues(key.get(), v);
        SafeArrayDestroy(array);
        return hr;
    }
    if (ComPtr<IAudioInformation2> info2 = secondInterface(info)) {
        std::string joined;
        for (size_t i = 0; i < values.size(); ++i) joined += (i ? "; " : "") + values[i];
        Bstr text(joined);
        return info2->SetField(key.get(), text.get());
    }
    return E_NOINTERFACE;
}

Tags currentTags(IAudioInformation* info) {
    Tags tags;
    const ComPtr<IAudioInformation3> info3 = thirdInterface(info);
    for (const TextProperty& p : kTextProperties) {
        tags.*p.member = getText(info, p.get);
        if (!info3 || (tags.*p.member).empty()) continue;
        std::vector<std::string> values = fieldValues(info, std::string(p.name));
        if (values.size() > 1) tags.values.emplace(p.name, std::move(values));
    }
    LONG year = 0;
    SHORT genre = 12, track = 0;
    info->get_infoYear(&year);
    info->get_infoGenre(&genre);
    info->get_infoTrack(&track);
    tags.year = year;
    tags.genre = genre;
    tags.track = track;
    // The date and genre as the file holds them; a component that gives
    // neither has the year and the table's name of a genre other than 12.
    const std::vector<std::string> date = fieldValues(info, "DATE");
    if (!date.empty() && std::atol(date.front().c_str()) == year && year > 0)
        tags.date = date.front();
    else if (year > 0)
        tags.date = std::to_string(year);
    const std::vector<std::string> genreText = fieldValues(info, "GENRE");
    if (!genreText.empty()) {
        tags.genreText = genreText.front();
    } else if (genre != 12 && genre >= 0) {
        Bstr name;
        info->GenreToString(genre, name.put());
        tags.genreText = name.utf8();
    }
    return tags;
}

SHORT readInformation(IAudioInformation* info, const fs::path& file, SHORT* id3Kind) {
    Bstr name(file.string());
    info->put_mp3TagInfoVersion(2);
    info->GetAudioInformation(name.get());
    SHORT type = 0;
    info->get_infoType(&type);
    SHORT kind = 2;
    if (choosesId3(type) && !currentTags(info).any()) {
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

bool storeTags(IAudioInformation* info, const fs::path& file, SHORT id3Kind, std::string& error) {
    Bstr name(file.string());
    info->put_mp3TagInfoVersion(id3Kind == 1 ? 1 : 2);
    const Tags wanted = currentTags(info);
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
    const Tags got = currentTags(info);
    // An ID3v1 tag holds the start of the longer texts only.
    const bool shortFields = schemeOf(type) == kId3v1Only || (choosesId3(type) && id3Kind == 1);
    if (!sameWritten(wanted, got, shortFields)) {
        error = client::unreadableFileCause(file.string());
        if (error.empty()) error = "the file does not hold the new tags after writing";
        return false;
    }
    return true;
}

Extras currentExtras(IAudioInformation* info) {
    Extras extras;
    ComPtr<IAudioInformation2> info2 = secondInterface(info);
    if (!info2) return extras;
    for (const std::string& name : fieldNames(info2.get()))
        if (std::vector<std::string> values = fieldValues(info, name); !values.empty())
            extras.fields.push_back({name, std::move(values)});
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

// The properties of 'tags' the source holds, put on the writer object: no
// genre, year or track the source lacks.
void putProperties(IAudioInformation* info, const Tags& tags) {
    for (const TextProperty& p : kTextProperties) {
        if ((tags.*p.member).empty()) continue;
        Bstr value(tags.*p.member);
        (info->*p.put)(value.get());
    }
    if (tags.year > 0) info->put_infoYear(static_cast<LONG>(tags.year));
    if (tags.track > 0) info->put_infoTrack(static_cast<SHORT>(tags.track));
    if (!tags.genreText.empty()) info->put_infoGenre(static_cast<SHORT>(tags.genre));
}

void setCover(IAudioInformation* info, const Extras& extras) {
    ComPtr<IAudioInformation2> info2 = secondInterface(info);
    if (!info2 || extras.cover.empty()) return;
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
    const SHORT type = readInformation(info.get(), source);
    if (!tagsReadable(type)) return true;
    const bool riffSource = schemeOf(type) == kRiffInfo;
    Tags tags = currentTags(info.get());
    if (riffSource) tags.encodedBy.clear();
    // Every field by the component's names: the properties (with their
    // several values, the whole date and the genre as held, through
    // IAudioInformation3), then the others where names travel.
    std::vector<FieldEntry> fields;
    if (thirdInterface(info.get()))
        for (std::string_view name : propertyNames())
            if (carried(name, riffSource))
                if (auto values = fieldValues(info.get(), std::string(name)); !values.empty())
                    fields.push_back({std::string(name), std::move(values)});
    Extras extras = holdsNamedFields(type) ? currentExtras(info.get()) : Extras{};
    for (FieldEntry& f : extras.fields)
        if (carried(f.name, riffSource) && !isPropertyName(f.name)) fields.push_back(std::move(f));
    if (!tags.any() && fields.empty() && extras.cover.empty()) return true;
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
    // The properties first (what a component without IAudioInformation3
    // takes), then the fields, whose values are the more exact ones.
    putProperties(writer.get(), tags);
    const bool named = holdsNamedFields(targetType);
    for (const FieldEntry& f : fields)
        if (named || isPropertyName(f.name)) setFieldValues(writer.get(), f.name, f.values);  // a refusal: not held
    if (named) setCover(writer.get(), extras);
    return storeTags(writer.get(), target, 2, error);
}

}  // namespace qoro::cli
