// The tag fields the properties hold, named once for every tag format: each
// field's TagRecord member and how its text is read and written. A tag
// format keeps only its own table of ids (ID3v2 frame ids, Vorbis comment
// names, RIFF "INFO" ids) mapping them to these fields.
//
//   for (const tags::FieldInfo& f : tags::kFields) ...        // in this order
//   tags::fieldText(record, tags::Field::Year);              // "2021", "" for none
//   tags::setFieldText(record, tags::Field::Genre, "rock");  // genre 17
//   if (auto t = tags::writtenText(record, f.field)) ...     // nullopt: the field writes nothing
//   tags::fieldValues(record, tags::Field::Artist);          // {"A", "B"} of an artist read as "A; B"
//
// Beyond the properties, the map of the fields every tag format names, each
// under one name (the Vorbis comment names MusicBrainz Picard writes), with
// the key each format stores it under:
//
//   const tags::MappedField* f = tags::mappedField("albumartist");   // f->id3v2 == "TPE2"
//   tags::mappedFieldOfId3v2("TXXX:MusicBrainz Album Id")->name;    // "MUSICBRAINZ_ALBUMID"
//   tags::mappedFieldOfMp4("\u00A9day")->name;                       // "DATE"
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tags/tag_record.h"

namespace qoro::tags {

// How a field's value is held and given as text.
enum class FieldKind {
    Text,    // a member string, as it is
    Number,  // a member number: its decimal digits, 0 = none; read from the leading digits of a text
    Genre,   // free text with its index into the genre table (12, "Other", when unknown)
};

struct FieldInfo {
    Field field;
    std::string_view name;  // the field's name across formats ("title", "tracknumber")
    FieldKind kind;
    std::string TagRecord::*text = nullptr;  // Text fields
    int TagRecord::*number = nullptr;        // Number and Genre fields
};

inline constexpr std::array<FieldInfo, kFieldCount> kFields = {{
    {Field::Title, "title", FieldKind::Text, &TagRecord::title},
    {Field::Artist, "artist", FieldKind::Text, &TagRecord::artist},
    {Field::Album, "album", FieldKind::Text, &TagRecord::album},
    {Field::Comments, "comment", FieldKind::Text, &TagRecord::comments},
    {Field::Copyright, "copyright", FieldKind::Text, &TagRecord::copyright},
    {Field::Composer, "composer", FieldKind::Text, &TagRecord::composer},
    {Field::Url, "website", FieldKind::Text, &TagRecord::url},
    {Field::EncodedBy, "encodedby", FieldKind::Text, &TagRecord::encodedBy},
    {Field::Year, "date", FieldKind::Number, nullptr, &TagRecord::year},
    {Field::Genre, "genre", FieldKind::Genre, nullptr, &TagRecord::genre},
    {Field::Track, "tracknumber", FieldKind::Number, nullptr, &TagRecord::track},
}};

constexpr size_t fieldIndex(Field f) { return static_cast<size_t>(f); }
constexpr const FieldInfo& fieldInfo(Field f) { return kFields[fieldIndex(f)]; }

// The field as text: a number as its digits ("" for 0), the date as the
// tag held it while the year is its leading number, the genre as the tag
// held it while the index is that text's (else the index's name; "" for a
// record that holds no genre).
std::string fieldText(const TagRecord& record, Field f);
// The text a tag format writes for the field; nullopt when it writes none:
// an empty text, a number of 0, no genre.
std::optional<std::string> writtenText(const TagRecord& record, Field f);
// The values of the field: those the tag held apart while the property is
// their join, else its text alone; none for an empty field.
std::vector<std::string> fieldValues(const TagRecord& record, Field f);
// Sets the field from a text as reading a tag takes it: the genre as free
// text (its index by its name ignoring case, 12 when unknown; "" for none), a
// number from the leading digits (0 without any), the date as it is with the
// year its leading number, a text as it is.
void setFieldText(TagRecord& record, Field f, std::string_view text);
// The same for several values: a text property becomes their join ("; "),
// a number or genre takes the first (the others stay beside it).
void setFieldValues(TagRecord& record, Field f, const std::vector<std::string>& values);
// Puts the genre of a table index, as infoGenre does: its name; an index
// outside the table leaves none.
void setGenreIndex(TagRecord& record, int index);
// Puts the year, as infoYear does: the date becomes its digits ("" for 0).
void setYear(TagRecord& record, int year);
// True when the record holds a genre.
bool hasGenre(const TagRecord& record);
// The field as a record without it holds it ("", 0, genre 12, no values).
void clearField(TagRecord& record, Field f);

bool sameField(const TagRecord& a, const TagRecord& b, Field f);
void copyField(TagRecord& to, const TagRecord& from, Field f);

// Several values as one text: "A; B".
std::string joinValues(const std::vector<std::string>& values);

// --- The field map ------------------------------------------------------------------

struct MappedField {
    std::string_view name;        // "ALBUMARTIST": the Vorbis comment name
    std::string_view vorbisAlso;  // a second Vorbis name read and written as well ("TRACKTOTAL"), or ""
    // The ID3v2 key: a frame id ("TPE2"), "TXXX:" and a description
    // ("TXXX:MusicBrainz Album Id"), "UFID:" and an owner; "" for none.
    // TRCK and TPOS hold a number and its total ("3/12"); COMM and USLT are
    // those with an empty description; TDRC and TDOR are written by version
    // 2.3 as TYER+TDAT and TORY.
    std::string_view id3v2;
    std::string_view ape;   // the APEv2 item key ("Album Artist"), compared ignoring case; "" for none
    std::string_view riff;  // the RIFF INFO id ("IPRD"), "" for none
    // The MP4 item key ("aART"), "" for none: the four bytes of the item's
    // atom name read as ISO-8859-1 and held as UTF-8, so the byte 0xA9 of
    // "\xA9nam" is "\u00A9nam" ("\xC2\xA9nam"); a freeform item ("----") is
    // "----:" its mean, ":" and its name ("----:com.apple.iTunes:MOOD").
    // "trkn" and "disk" hold a number and its total; the numbered genre
    // "gnre" (the ID3v1 index + 1) is GENRE too.
    std::string_view mp4;
    std::optional<Field> property = std::nullopt;  // the property that holds it, if any
    // True for a field that describes how a file was encoded, not the music
    // (a conversion leaves it behind).
    bool encoding = false;
};

// Every mapped field.
std::span<const MappedField> mappedFields();
// The mapped field of a name: its map name or second Vorbis name, ignoring
// case; nullptr for any other name.
const MappedField* mappedField(std::string_view name);
// The mapped field of an ID3v2 key as MappedField::id3v2 spells it; "TXXX:"
// descriptions compare ignoring case, and a "TXXX:" frame named by a map
// name ("TXXX:ALBUMARTIST", as earlier versions wrote) is that field.
const MappedField* mappedFieldOfId3v2(std::string_view key);
// The mapped field of an APEv2 item key (ignoring case; map names too).
const MappedField* mappedFieldOfApe(std::string_view key);
// The mapped field of an MP4 item key as MappedField::mp4 spells it; the
// names of freeform items compare ignoring case ("----:com.apple.iTunes:Label"
// is LABEL), the others exactly.
const MappedField* mappedFieldOfMp4(std::string_view key);
// The mapped field of a RIFF INFO id.
const MappedField* mappedFieldOfRiff(std::string_view id);
// The mapped field a property field is.
const MappedField& mappedFieldOf(Field f);

// What a list of field changes does to the numbers a tag keeps in pairs: a
// TRACKNUMBER ("3" or "3/12") sets the record's track, the totals and disc
// are gathered (later changes win) for the writer to put in its own form.
struct NumberChanges {
    std::optional<std::string> trackTotal, disc, discTotal;
    // Takes a change of the track or disc number or total, or of a field
    // that is a property (set in `now`); false for any other.
    bool take(const MappedField* field, const FieldChange& change, TagRecord& now);
};

}  // namespace qoro::tags
