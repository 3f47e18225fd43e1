// The descriptive tags of one file as the AudioInformation object holds them.
// Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "genre/genre.h"

namespace qoro::tags {

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

    bool operator==(const TagRecord&) const = default;
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

// What a caller set beyond the properties, applied on write; everything else
// the file holds stays as it is. A field with a value replaces every field of
// its name (names compared as the format compares them) by one; an empty
// value removes them. A picture with data replaces every picture of its kind;
// one without data removes them. Later entries win over earlier ones of the
// same name or kind.
struct TagChanges {
    std::vector<TagField> fields;
    std::vector<TagPicture> pictures;

    bool empty() const { return fields.empty() && pictures.empty(); }
};

}  // namespace qoro::tags
