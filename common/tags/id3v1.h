// ID3v1 tags: the 128 bytes at the end of MPEG audio and MPEG Plus files.
//
//   auto tag = tags::readId3v1(path);            // nullopt: no tag
//   if (tag) tag->applyTo(record);               // as GetAudioInformation takes it
//   tags::writeId3v1(path, record);              // overwrite or append, in place
//
// Text is stored as ISO-8859-1 and held as UTF-8; characters a tag cannot
// hold are written as '?'.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "tags/tag_record.h"

namespace qoro::tags {

inline constexpr size_t kId3v1Size = 128;
using Id3v1Block = std::array<uint8_t, kId3v1Size>;

struct Id3v1Tag {
    std::string title;     // up to 30 characters
    std::string artist;
    std::string album;
    std::string comment;   // up to 30, or 28 in the ID3v1.1 form
    int year = 0;
    std::string yearText;  // the 4-byte field as stored, up to its first zero
    int track = 0;         // 0 = none
    int8_t genre = 0;      // the genre byte, signed

    // Fills title, artist, album, comments, year, track and genre of record
    // the way GetAudioInformation takes an MPEG file's ID3v1 tag: a track
    // below 1 gives 0, a genre outside the table gives "Other"; composer,
    // URL, encoded-by and copyright are emptied.
    void applyTo(TagRecord& record) const;
};

// Parses a 128-byte block (nullopt unless it begins with "TAG"): fields with
// trailing blanks and zeros removed; the ID3v1.1 track when byte 125 is 0
// and byte 126 is not.
std::optional<Id3v1Tag> parseId3v1(const Id3v1Block& block);

// Reads the last 128 bytes of the file; nullopt when the file cannot be read,
// is shorter than 128 bytes, or has no tag.
std::optional<Id3v1Tag> readId3v1(const std::string& path);

// The tag as written to MPEG audio files: always the ID3v1.1 form (comment at
// most 28 characters, byte 125 zero, byte 126 the track's low byte), fields
// cut to 30 characters with trailing blanks removed, year as at most four
// decimal characters, genre byte = low byte of (genre % 255).
Id3v1Block buildId3v1(const TagRecord& record);
// The tag as the MPEG Plus writer forms it: fields cut to 30 characters,
// blanks kept; the ID3v1.1 form only when the track is not 0; genre byte =
// low byte of genre.
Id3v1Block buildId3v1Mpc(const TagRecord& record);

// Writes the block in place: over an existing tag at the end of the file, or
// appended when there is none. The audio bytes are never touched. False when
// the file cannot be opened or written.
bool writeId3v1Block(const std::string& path, const Id3v1Block& block);
inline bool writeId3v1(const std::string& path, const TagRecord& record) {
    return writeId3v1Block(path, buildId3v1(record));
}
inline bool writeId3v1Mpc(const std::string& path, const TagRecord& record) {
    return writeId3v1Block(path, buildId3v1Mpc(record));
}

}  // namespace qoro::tags
