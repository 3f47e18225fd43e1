#include "tags/fields.h"

#include <algorithm>

#include "genre/genre.h"
#include "tags/text.h"

namespace qoro::tags {

namespace {

// The index a genre text stands for: its table name ignoring case, else 12.
int genreIndexOf(std::string_view text) {
    const int g = text.empty() ? -1 : genre::findIgnoringCase(text);
    return g >= 0 ? g : genre::kDefault;
}

}  // namespace

std::string joinValues(const std::vector<std::string>& values) {
    std::string joined;
    for (size_t i = 0; i < values.size(); ++i) joined += (i ? "; " : "") + values[i];
    return joined;
}

std::string FieldChange::joined() const { return joinValues(values); }

bool hasGenre(const TagRecord& r) {
    return !r.genreText.empty() || (genre::isValid(r.genre) && r.genre != genre::kDefault);
}

std::string fieldText(const TagRecord& r, Field f) {
    const FieldInfo& info = fieldInfo(f);
    switch (info.kind) {
    case FieldKind::Text: return r.*info.text;
    case FieldKind::Number:
        if (f == Field::Year && !r.date.empty() && text::leadingNumber(r.date) == r.year) return r.date;
        return r.*info.number > 0 ? std::to_string(r.*info.number) : std::string();
    case FieldKind::Genre:
        if (!r.genreText.empty() && genreIndexOf(r.genreText) == r.genre) return r.genreText;
        return hasGenre(r) ? std::string(genre::toString(r.genre)) : std::string();
    }
    return {};
}

std::optional<std::string> writtenText(const TagRecord& r, Field f) {
    std::string t = fieldText(r, f);
    if (t.empty()) return std::nullopt;
    return t;
}

std::vector<std::string> fieldValues(const TagRecord& r, Field f) {
    const std::vector<std::string>& apart = r.values[fieldIndex(f)];
    std::string t = fieldText(r, f);
    // Held apart while the property is their join (a text) or their first (a
    // genre or a number).
    if (apart.size() > 1 && (fieldInfo(f).kind == FieldKind::Text ? joinValues(apart) == t : apart.front() == t))
        return apart;
    if (t.empty()) return {};
    return {std::move(t)};
}

void setFieldText(TagRecord& r, Field f, std::string_view value) {
    const FieldInfo& info = fieldInfo(f);
    r.values[fieldIndex(f)].clear();
    switch (info.kind) {
    case FieldKind::Text: r.*info.text = std::string(value); break;
    case FieldKind::Number:
        r.*info.number = text::leadingNumber(value);
        if (f == Field::Year) r.date = std::string(value);
        break;
    case FieldKind::Genre:
        r.genreText = std::string(value);
        r.genre = genreIndexOf(value);
        break;
    }
}

void setFieldValues(TagRecord& r, Field f, const std::vector<std::string>& values) {
    if (fieldInfo(f).kind != FieldKind::Text)
        setFieldText(r, f, values.empty() ? std::string_view() : std::string_view(values.front()));
    else
        setFieldText(r, f, joinValues(values));
    if (values.size() > 1) r.values[fieldIndex(f)] = values;
}

void setGenreIndex(TagRecord& r, int index) {
    r.genre = index;
    r.genreText = genre::isValid(index) ? std::string(genre::toString(index)) : std::string();
}

void setYear(TagRecord& r, int year) {
    r.year = year;
    r.date = year > 0 ? std::to_string(year) : std::string();
}

bool TagRecord::operator==(const TagRecord& o) const {
    if (year != o.year || track != o.track || genre != o.genre) return false;
    for (const FieldInfo& f : kFields)
        if (fieldValues(*this, f.field) != fieldValues(o, f.field)) return false;
    return true;
}

void clearField(TagRecord& r, Field f) { copyField(r, TagRecord{}, f); }

bool sameField(const TagRecord& a, const TagRecord& b, Field f) {
    return fieldValues(a, f) == fieldValues(b, f) &&
           (fieldInfo(f).kind == FieldKind::Text || a.*fieldInfo(f).number == b.*fieldInfo(f).number);
}

void copyField(TagRecord& to, const TagRecord& from, Field f) {
    const FieldInfo& info = fieldInfo(f);
    if (info.kind == FieldKind::Text)
        to.*info.text = from.*info.text;
    else
        to.*info.number = from.*info.number;
    if (f == Field::Year) to.date = from.date;
    if (f == Field::Genre) to.genreText = from.genreText;
    to.values[fieldIndex(f)] = from.values[fieldIndex(f)];
}

// --- The field map ------------------------------------------------------------------

namespace {

using F = Field;

// After MusicBrainz Picard's tag mapping. The property fields come first,
// in the order of Field.
constexpr MappedField kMap[] = {
    {"TITLE", "", "TIT2", "Title", "INAM", F::Title},
    {"ARTIST", "", "TPE1", "Artist", "IART", F::Artist},
    {"ALBUM", "", "TALB", "Album", "IPRD", F::Album},
    {"COMMENT", "", "COMM", "Comment", "ICMT", F::Comments},
    {"COPYRIGHT", "", "TCOP", "Copyright", "ICOP", F::Copyright},
    {"COMPOSER", "", "TCOM", "Composer", "ICMS", F::Composer},
    {"URL", "", "WXXX", "", "IURL", F::Url},
    {"ENCODEDBY", "", "TENC", "EncodedBy", "ISFT", F::EncodedBy},
    {"DATE", "", "TDRC", "Year", "ICRD", F::Year},
    {"GENRE", "", "TCON", "Genre", "IGNR", F::Genre},
    {"TRACKNUMBER", "", "TRCK", "Track", "ITRK", F::Track},
    {"TOTALTRACKS", "TRACKTOTAL", "TRCK", "Track", ""},
    {"DISCNUMBER", "", "TPOS", "Disc", ""},
    {"TOTALDISCS", "DISCTOTAL", "TPOS", "Disc", ""},
    {"ARTISTS", "", "TXXX:ARTISTS", "Artists", ""},
    {"ALBUMARTIST", "", "TPE2", "Album Artist", ""},
    {"ORIGINALDATE", "", "TDOR", "Original Date", ""},
    {"LYRICIST", "", "TEXT", "Lyricist", ""},
    {"LYRICS", "", "USLT", "Lyrics", ""},
    {"COMPILATION", "", "TCMP", "Compilation", ""},
    {"BPM", "", "TBPM", "BPM", ""},
    {"ISRC", "", "TSRC", "ISRC", ""},
    {"LABEL", "", "TPUB", "Label", ""},
    {"CATALOGNUMBER", "", "TXXX:CATALOGNUMBER", "CatalogNumber", ""},
    {"BARCODE", "", "TXXX:BARCODE", "Barcode", ""},
    {"WEBSITE", "", "WOAR", "Weblink", ""},
    {"CONDUCTOR", "", "TPE3", "Conductor", ""},
    {"REMIXER", "", "TPE4", "MixArtist", ""},
    {"GROUPING", "", "TIT1", "Grouping", ""},
    {"SUBTITLE", "", "TIT3", "Subtitle", ""},
    {"DISCSUBTITLE", "", "TXXX:DISCSUBTITLE", "DiscSubtitle", ""},  // "TSST" in version 2.4 only
    {"MOOD", "", "TXXX:MOOD", "Mood", ""},                          // "TMOO" in version 2.4 only
    {"MEDIA", "", "TMED", "Media", ""},
    {"LANGUAGE", "", "TLAN", "Language", ""},
    {"TITLESORT", "", "TSOT", "Title Sort", ""},
    {"ARTISTSORT", "", "TSOP", "Artist Sort", ""},
    {"ALBUMSORT", "", "TSOA", "Album Sort", ""},
    {"ALBUMARTISTSORT", "", "TSO2", "Album Artist Sort", ""},
    {"COMPOSERSORT", "", "TSOC", "Composer Sort", ""},
    {"MUSICBRAINZ_TRACKID", "", "UFID:http://musicbrainz.org", "MUSICBRAINZ_TRACKID", ""},
    {"MUSICBRAINZ_RELEASETRACKID", "", "TXXX:MusicBrainz Release Track Id", "MUSICBRAINZ_RELEASETRACKID", ""},
    {"MUSICBRAINZ_ALBUMID", "", "TXXX:MusicBrainz Album Id", "MUSICBRAINZ_ALBUMID", ""},
    {"MUSICBRAINZ_ARTISTID", "", "TXXX:MusicBrainz Artist Id", "MUSICBRAINZ_ARTISTID", ""},
    {"MUSICBRAINZ_ALBUMARTISTID", "", "TXXX:MusicBrainz Album Artist Id", "MUSICBRAINZ_ALBUMARTISTID", ""},
    {"MUSICBRAINZ_RELEASEGROUPID", "", "TXXX:MusicBrainz Release Group Id", "MUSICBRAINZ_RELEASEGROUPID", ""},
    {"MUSICBRAINZ_WORKID", "", "TXXX:MusicBrainz Work Id", "MUSICBRAINZ_WORKID", ""},
    {"MUSICBRAINZ_DISCID", "", "TXXX:MusicBrainz Disc Id", "MUSICBRAINZ_DISCID", ""},
    {"RELEASESTATUS", "", "TXXX:MusicBrainz Album Status", "MUSICBRAINZ_ALBUMSTATUS", ""},
    {"RELEASETYPE", "", "TXXX:MusicBrainz Album Type", "MUSICBRAINZ_ALBUMTYPE", ""},
    {"RELEASECOUNTRY", "", "TXXX:MusicBrainz Album Release Country", "RELEASECOUNTRY", ""},
    {"ACOUSTID_ID", "", "TXXX:Acoustid Id", "ACOUSTID_ID", ""},
    {"ACOUSTID_FINGERPRINT", "", "TXXX:Acoustid Fingerprint", "ACOUSTID_FINGERPRINT", ""},
    {"REPLAYGAIN_TRACK_GAIN", "", "TXXX:REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_GAIN", ""},
    {"REPLAYGAIN_TRACK_PEAK", "", "TXXX:REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_TRACK_PEAK", ""},
    {"REPLAYGAIN_ALBUM_GAIN", "", "TXXX:REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_GAIN", ""},
    {"REPLAYGAIN_ALBUM_PEAK", "", "TXXX:REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_ALBUM_PEAK", ""},
    {"REPLAYGAIN_REFERENCE_LOUDNESS", "", "TXXX:REPLAYGAIN_REFERENCE_LOUDNESS", "REPLAYGAIN_REFERENCE_LOUDNESS", ""},
    {"R128_TRACK_GAIN", "", "TXXX:R128_TRACK_GAIN", "R128_TRACK_GAIN", ""},
    {"R128_ALBUM_GAIN", "", "TXXX:R128_ALBUM_GAIN", "R128_ALBUM_GAIN", ""},
    {"ENCODERSETTINGS", "", "TSSE", "", "", std::nullopt, true},
    {"ENCODER", "", "", "", "", std::nullopt, true},
    {"ENCODER_OPTIONS", "", "", "", "", std::nullopt, true},
};

static_assert(std::size(kMap) >= kFieldCount);

}  // namespace

std::span<const MappedField> mappedFields() { return kMap; }

const MappedField& mappedFieldOf(Field f) { return kMap[fieldIndex(f)]; }

const MappedField* mappedField(std::string_view name) {
    for (const MappedField& m : kMap)
        if (text::sameIgnoringCase(m.name, name) || (!m.vorbisAlso.empty() && text::sameIgnoringCase(m.vorbisAlso, name)))
            return &m;
    return nullptr;
}

const MappedField* mappedFieldOfId3v2(std::string_view key) {
    constexpr std::string_view kTxxx = "TXXX:";
    const bool user = key.starts_with(kTxxx);
    for (const MappedField& m : kMap) {
        if (m.id3v2.empty()) continue;
        if (user ? m.id3v2.starts_with(kTxxx) && text::sameIgnoringCase(m.id3v2, key) : m.id3v2 == key) return &m;
    }
    // A user text frame named by a map name: the field itself.
    if (user) {
        const MappedField* m = mappedField(key.substr(kTxxx.size()));
        if (m && !m->id3v2.empty()) return m;
    }
    return nullptr;
}

const MappedField* mappedFieldOfApe(std::string_view key) {
    if (key.empty()) return nullptr;
    for (const MappedField& m : kMap)
        if (!m.ape.empty() && text::sameIgnoringCase(m.ape, key)) return &m;
    const MappedField* m = mappedField(key);
    return m && !m->ape.empty() ? m : nullptr;
}

const MappedField* mappedFieldOfRiff(std::string_view id) {
    if (id.empty()) return nullptr;
    for (const MappedField& m : kMap)
        if (m.riff == id) return &m;
    return nullptr;
}

}  // namespace qoro::tags
