// The tag fields the properties hold, named once for every tag format: each
// field's TagRecord member and how its text is read and written. A tag
// format keeps only its own table of ids (ID3v2 frame ids, Vorbis comment
// names, RIFF "INFO" ids) mapping them to these fields.
//
//   for (const tags::FieldInfo& f : tags::kFields) ...        // in this order
//   tags::fieldText(record, tags::Field::Year);              // "2021", "" for none
//   tags::setFieldText(record, tags::Field::Genre, "rock");  // genre 17
//   if (auto t = tags::writtenText(record, f.field)) ...     // nullopt: the field writes nothing
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tags/tag_record.h"

namespace qoro::tags {

enum class Field { Title, Artist, Album, Comments, Copyright, Composer, Url, EncodedBy, Year, Genre, Track };
inline constexpr size_t kFieldCount = 11;

// How a field's value is held and given as text.
enum class FieldKind {
    Text,    // a member string, as it is
    Number,  // a member number: its decimal digits, 0 = none; read from the leading digits of a text
    Genre,   // an index into the genre table: its name, read ignoring case (12, "Other", when unknown)
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

// The field as text: a number as its digits ("" for 0), the genre by its
// name (an index outside the table reads as "Other").
std::string fieldText(const TagRecord& record, Field f);
// The text a tag format writes for the field; nullopt when it writes none:
// an empty text, a number of 0, a genre outside the table.
std::optional<std::string> writtenText(const TagRecord& record, Field f);
// Sets the field from a text as reading a tag takes it: the genre by its name
// ignoring case (12 when unknown or empty), a number from the leading digits
// (0 without any), a text as it is.
void setFieldText(TagRecord& record, Field f, std::string_view text);
// The field as a record without it holds it ("", 0, genre 12).
void clearField(TagRecord& record, Field f);

bool sameField(const TagRecord& a, const TagRecord& b, Field f);
void copyField(TagRecord& to, const TagRecord& from, Field f);

}  // namespace qoro::tags
