// The descriptive tags of one file as the AudioInformation object holds them.
// Texts are UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "genre/genre.h"

namespace qoro::tags {

// The fields the properties hold (tags/fields.h names them and says how each
// is given as text).
enum class Field { Title, Artist, Album, Comments, Copyright, Composer, Url, EncodedBy, Year, Genre, Track };
inline constexpr size_t kFieldCount = 11;

struct TagRecord {
    std::string title;            // infoTitle
    std::string artist;           // infoArtist
    std::string album;            // infoAlbum
    std::string comments;         // infoComments
    std::string copyright;        // infoCopyright
    std::string composer;         // infoComposer
    std::string url;              // infoURL
    std::string encodedBy;        // infoEncodedBy
    int year = 0;                 // infoYear, 0 = none
    int genre = genre::kDefault;  // infoGenre, index into the genre table
    int track = 0;                // infoTrack, 0 = none
    // The date as the tag held it ("2021-06-01"); infoYear is its leading
    // number, and a year put since replaces it.
    std::string date;
    // The genre as the tag held it, free text ("Klezmer"); "" for none.
    // infoGenre is its index in the table (12 when it has none); a genre put
    // since replaces it. A record without either holds no genre.
    std::string genreText;
    // The values of a text property whose tag held several ("A" and "B" of
    // an artist read as "A; B"), for as long as the property is their join.
    std::array<std::vector<std::string>, kFieldCount> values{};

    // Records are equal when they hold the same fields: the same values of
    // every field (tags/fields.h), however they were put.
    bool operator==(const TagRecord& other) const;
};

// One text field beyond the properties: a Vorbis comment's name, an ID3v2
// "TXXX" frame's description, a RIFF "INFO" chunk id.
struct TagField {
    std::string name;
    std::string value;

    bool operator==(const TagField&) const = default;
};

// One picture: kind as in ID3v2 "APIC" and FLAC "PICTURE" (3 = front cover).
struct TagPicture {
    int kind = 3;
    std::string mimeType;  // "image/jpeg", "image/png", ...
    std::string description;
    std::vector<uint8_t> data;

    bool operator==(const TagPicture&) const = default;
};

// What a file holds beyond the properties, as read: the fields the
// properties do not own, in file order (a name may repeat), and every
// picture.
struct TagExtras {
    std::vector<TagField> fields;
    std::vector<TagPicture> pictures;

    bool operator==(const TagExtras&) const = default;
};

// A field a caller set: its new values, one field each; none removes the
// field.
struct FieldChange {
    std::string name;
    std::vector<std::string> values;

    FieldChange(std::string name, std::vector<std::string> values) : name(std::move(name)), values(std::move(values)) {}
    // One value; an empty one removes the field.
    FieldChange(std::string name, std::string value) : name(std::move(name)) {
        if (!value.empty()) values.push_back(std::move(value));
    }
    FieldChange(std::string name, const char* value)
        : FieldChange(std::move(name), value ? std::string(value) : std::string()) {}

    // The values as one text, joined with "; ".
    std::string joined() const;
    bool operator==(const FieldChange&) const = default;
};

// What a caller set beyond the properties, applied on write; everything else
// the file holds stays as it is. A field change replaces every field of its
// name (names compared as the format compares them) by one per value, in the
// place of the first; without values it removes them. A picture with data
// replaces every picture of its kind; one without data removes them. Later
// entries win over earlier ones of the same name or kind.
struct TagChanges {
    std::vector<FieldChange> fields;
    std::vector<TagPicture> pictures;

    bool empty() const { return fields.empty() && pictures.empty(); }
};

}  // namespace qoro::tags
