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
//
// The MP4 keys of freeform items all have the mean "com.apple.iTunes".
#define ITUNES "----:com.apple.iTunes:"
constexpr MappedField kMap[] = {
    {"TITLE", "", "TIT2", "Title", "INAM", "\u00A9nam", F::Title},
    {"ARTIST", "", "TPE1", "Artist", "IART", "\u00A9ART", F::Artist},
    {"ALBUM", "", "TALB", "Album", "IPRD", "\u00A9alb", F::Album},
    {"COMMENT", "", "COMM", "Comment", "ICMT", "\u00A9cmt", F::Comments},
    {"COPYRIGHT", "", "TCOP", "Copyright", "ICOP", "cprt", F::Copyright},
    {"COMPOSER", "", "TCOM", "Composer", "ICMS", "\u00A9wrt", F::Composer},
    {"URL", "", "WXXX", "", "IURL", "", F::Url},
    {"ENCODEDBY", "", "TENC", "EncodedBy", "ISFT", "\u00A9too", F::EncodedBy},
    {"DATE", "", "TDRC", "Year", "ICRD", "\u00A9day", F::Year},
    {"GENRE", "", "TCON", "Genre", "IGNR", "\u00A9gen", F::Genre},
    {"TRACKNUMBER", "", "TRCK", "Track", "ITRK", "trkn", F::Track},
    {"TOTALTRACKS", "TRACKTOTAL", "TRCK", "Track", "", "trkn"},
    {"DISCNUMBER", "", "TPOS", "Disc", "", "disk"},
    {"TOTALDISCS", "DISCTOTAL", "TPOS", "Disc", "", "disk"},
    {"ARTISTS", "", "TXXX:ARTISTS", "Artists", "", ITUNES "ARTISTS"},
    {"ALBUMARTIST", "", "TPE2", "Album Artist", "", "aART"},
    {"ORIGINALDATE", "", "TDOR", "Original Date", "", ITUNES "ORIGINALDATE"},
    {"LYRICIST", "", "TEXT", "Lyricist", "", ITUNES "LYRICIST"},
    {"LYRICS", "", "USLT", "Lyrics", "", "\u00A9lyr"},
    {"COMPILATION", "", "TCMP", "Compilation", "", "cpil"},
    {"BPM", "", "TBPM", "BPM", "", "tmpo"},
    {"ISRC", "", "TSRC", "ISRC", "", ITUNES "ISRC"},
    {"LABEL", "", "TPUB", "Label", "", ITUNES "LABEL"},
    {"CATALOGNUMBER", "", "TXXX:CATALOGNUMBER", "CatalogNumber", "", ITUNES "CATALOGNUMBER"},
    {"BARCODE", "", "TXXX:BARCODE", "Barcode", "", ITUNES "BARCODE"},
    {"WEBSITE", "", "WOAR", "Weblink", "", ""},
    {"CONDUCTOR", "", "TPE3", "Conductor", "", ITUNES "CONDUCTOR"},
    {"REMIXER", "", "TPE4", "MixArtist", "", ITUNES "REMIXER"},
    {"GROUPING", "", "TIT1", "Grouping", "", "\u00A9grp"},
    {"SUBTITLE", "", "TIT3", "Subtitle", "", ITUNES "SUBTITLE"},
    {"DISCSUBTITLE", "", "TXXX:DISCSUBTITLE", "DiscSubtitle", "", ITUNES "DISCSUBTITLE"},  // "TSST" in version 2.4 only
    {"MOOD", "", "TXXX:MOOD", "Mood", "", ITUNES "MOOD"},                                  // "TMOO" in version 2.4 only
    {"MEDIA", "", "TMED", "Media", "", ITUNES "MEDIA"},
    {"LANGUAGE", "", "TLAN", "Language", "", ITUNES "LANGUAGE"},
    {"TITLESORT", "", "TSOT", "Title Sort", "", "sonm"},
    {"ARTISTSORT", "", "TSOP", "Artist Sort", "", "soar"},
    {"ALBUMSORT", "", "TSOA", "Album Sort", "", "soal"},
    {"ALBUMARTISTSORT", "", "TSO2", "Album Artist Sort", "", "soaa"},
    {"COMPOSERSORT", "", "TSOC", "Composer Sort", "", "soco"},
    {"MUSICBRAINZ_TRACKID", "", "UFID:http://musicbrainz.org", "MUSICBRAINZ_TRACKID", "",
     ITUNES "MusicBrainz Track Id"},
    {"MUSICBRAINZ_RELEASETRACKID", "", "TXXX:MusicBrainz Release Track Id", "MUSICBRAINZ_RELEASETRACKID", "",
     ITUNES "MusicBrainz Release Track Id"},
    {"MUSICBRAINZ_ALBUMID", "", "TXXX:MusicBrainz Album Id", "MUSICBRAINZ_ALBUMID", "", ITUNES "MusicBrainz Album Id"},
    {"MUSICBRAINZ_ARTISTID", "", "TXXX:MusicBrainz Artist Id", "MUSICBRAINZ_ARTISTID", "",
     ITUNES "MusicBrainz Artist Id"},
    {"MUSICBRAINZ_ALBUMARTISTID", "", "TXXX:MusicBrainz Album Artist Id", "MUSICBRAINZ_ALBUMARTISTID", "",
     ITUNES "MusicBrainz Album Artist Id"},
    {"MUSICBRAINZ_RELEASEGROUPID", "", "TXXX:MusicBrainz Release Group Id", "MUSICBRAINZ_RELEASEGROUPID", "",
     ITUNES "MusicBrainz Release Group Id"},
    {"MUSICBRAINZ_WORKID", "", "TXXX:MusicBrainz Work Id", "MUSICBRAINZ_WORKID", "", ITUNES "MusicBrainz Work Id"},
    {"MUSICBRAINZ_DISCID", "", "TXXX:MusicBrainz Disc Id", "MUSICBRAINZ_DISCID", "", ITUNES "MusicBrainz Disc Id"},
    {"RELEASESTATUS", "", "TXXX:MusicBrainz Album Status", "MUSICBRAINZ_ALBUMSTATUS", "",
     ITUNES "MusicBrainz Album Status"},
    {"RELEASETYPE", "", "TXXX:MusicBrainz Album Type", "MUSICBRAINZ_ALBUMTYPE", "", ITUNES "MusicBrainz Album Type"},
    {"RELEASECOUNTRY", "", "TXXX:MusicBrainz Album Release Country", "RELEASECOUNTRY", "",
     ITUNES "MusicBrainz Album Release Country"},
    {"ACOUSTID_ID", "", "TXXX:Acoustid Id", "ACOUSTID_ID", "", ITUNES "Acoustid Id"},
    {"ACOUSTID_FINGERPRINT", "", "TXXX:Acoustid Fingerprint", "ACOUSTID_FINGERPRINT", "",
     ITUNES "Acoustid Fingerprint"},
    {"REPLAYGAIN_TRACK_GAIN", "", "TXXX:REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_GAIN", "",
     ITUNES "replaygain_track_gain"},
    {"REPLAYGAIN_TRACK_PEAK", "", "TXXX:REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_TRACK_PEAK", "",
     ITUNES "replaygain_track_peak"},
    {"REPLAYGAIN_ALBUM_GAIN", "", "TXXX:REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_GAIN", "",
     ITUNES "replaygain_album_gain"},
    {"REPLAYGAIN_ALBUM_PEAK", "", "TXXX:REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_ALBUM_PEAK", "",
     ITUNES "replaygain_album_peak"},
    {"REPLAYGAIN_REFERENCE_LOUDNESS", "", "TXXX:REPLAYGAIN_REFERENCE_LOUDNESS", "REPLAYGAIN_REFERENCE_LOUDNESS", "",
     ITUNES "replaygain_reference_loudness"},
    {"R128_TRACK_GAIN", "", "TXXX:R128_TRACK_GAIN", "R128_TRACK_GAIN", "", ""},
    {"R128_ALBUM_GAIN", "", "TXXX:R128_ALBUM_GAIN", "R128_ALBUM_GAIN", "", ""},
    {"ENCODERSETTINGS", "", "TSSE", "", "", "", std::nullopt, true},
    {"ENCODER", "", "", "", "", "", std::nullopt, true},
    {"ENCODER_OPTIONS", "", "", "", "", "", std::nullopt, true},
    // Fields only MP4 files name among the formats here.
    {"DESCRIPTION", "", "", "", "", "desc"},
    {"WORK", "", "", "", "", "\u00A9wrk"},
    {"MOVEMENTNAME", "", "", "", "", "\u00A9mvn"},
    {"MOVEMENT", "", "", "", "", "\u00A9mvi"},
    {"MOVEMENTTOTAL", "", "", "", "", "\u00A9mvc"},
    {"SHOWMOVEMENT", "", "", "", "", "shwm"},
    {"KEY", "", "", "", "", ITUNES "initialkey"},
    {"ENGINEER", "", "", "", "", ITUNES "ENGINEER"},
    {"PRODUCER", "", "", "", "", ITUNES "PRODUCER"},
    {"DJMIXER", "", "", "", "", ITUNES "DJMIXER"},
    {"MIXER", "", "", "", "", ITUNES "MIXER"},
    {"LICENSE", "", "", "", "", ITUNES "LICENSE"},
    {"ASIN", "", "", "", "", ITUNES "ASIN"},
    {"SCRIPT", "", "", "", "", ITUNES "SCRIPT"},
    {"PODCAST", "", "", "", "", "pcst"},
    {"PODCASTURL", "", "", "", "", "purl"},
    {"SHOW", "", "", "", "", "tvsh"},
    {"SHOWSORT", "", "", "", "", "sosn"},
    {"GAPLESS", "", "", "", "", "pgap", std::nullopt, true},
};
#undef ITUNES

static_assert(std::size(kMap) >= kFieldCount);

}  // namespace

std::span<const MappedField> mappedFields() { return kMap; }

const MappedField& mappedFieldOf(Field f) { return kMap[fieldIndex(f)]; }

const MappedField* mappedField(std::string_view name) {
    for (const MappedField& m : kMap)
        if (text::sameIgnoringCase(m.name, name) ||
            (!m.vorbisAlso.empty() && text::sameIgnoringCase(m.vorbisAlso, name)))
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

const MappedField* mappedFieldOfMp4(std::string_view key) {
    constexpr std::string_view kFreeform = "----:";
    if (key.empty()) return nullptr;
    // The numbered genre is the genre too.
    if (key == "gnre") return &mappedFieldOf(Field::Genre);
    const bool freeform = key.starts_with(kFreeform);
    for (const MappedField& m : kMap) {
        if (m.mp4.empty()) continue;
        if (freeform ? text::sameIgnoringCase(m.mp4, key) : m.mp4 == key) return &m;
    }
    return nullptr;
}

const MappedField* mappedFieldOfRiff(std::string_view id) {
    if (id.empty()) return nullptr;
    for (const MappedField& m : kMap)
        if (m.riff == id) return &m;
    return nullptr;
}

bool NumberChanges::take(const MappedField* f, const FieldChange& c, TagRecord& now) {
    if (!f) return false;
    static const MappedField* const trackNumber = mappedField("TRACKNUMBER");
    static const MappedField* const totalTracks = mappedField("TOTALTRACKS");
    static const MappedField* const discNumber = mappedField("DISCNUMBER");
    static const MappedField* const totalDiscs = mappedField("TOTALDISCS");
    const std::string first = c.values.empty() ? std::string() : c.values.front();
    if (f == trackNumber || f == discNumber) {
        auto [number, total] = text::numberAndTotal(first);
        if (f == trackNumber) {
            setFieldText(now, Field::Track, number);
            if (!total.empty()) trackTotal = total;
        } else {
            disc = number;
            if (!total.empty()) discTotal = total;
        }
    } else if (f == totalTracks) {
        trackTotal = first;
    } else if (f == totalDiscs) {
        discTotal = first;
    } else if (f->property) {
        setFieldValues(now, *f->property, c.values);
    } else {
        return false;
    }
    return true;
}

}  // namespace qoro::tags
