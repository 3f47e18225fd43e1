// ID3v1 tags: the 128 bytes at the end of MPEG audio and MPEG Plus files.
//
//   auto tag = tags::readId3v1(path);            // nullopt: no tag
//   if (tag) tag->applyTo(record);               // as GetAudioInformation takes it
//   if (auto ec = tags::writeId3v1(path, record)) ...   // overwrite or append, in place
//
// Three readers take the tag, each by its own rule (Id3v1Reading). Text is
// stored as ISO-8859-1 and held as UTF-8; characters a tag cannot hold are
// written as '?'. Writing keeps the stored bytes of every field whose value
// is what reading the tag gives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "tags/tag_record.h"

namespace qoro::tags {

inline constexpr size_t kId3v1Size = 128;
using Id3v1Block = std::array<uint8_t, kId3v1Size>;

// How a tag's fields are taken.
enum class Id3v1Reading {
    // AudioInformation on MPEG audio: each field with its trailing blanks and
    // zeros removed, up to its first zero; the ID3v1.1 form (28-byte comment,
    // track in byte 126) when byte 125 is 0 and byte 126 is not.
    Information,
    // The MPEG decoder's stream properties: each field up to its first zero,
    // trailing blanks removed; the comment always the 30-byte field, no track.
    Decoder,
    // The MPEG Plus reader: each field up to its first zero, blanks kept; the
    // ID3v1.1 form whenever byte 125 is 0 (the track may then be 0).
    MpegPlus,
};

struct Id3v1Tag {
    std::string title;  // up to 30 characters
    std::string artist;
    std::string album;
    std::string comment;   // up to 30, or 28 in the ID3v1.1 form
    int year = 0;          // the leading number of the year field
    std::string yearText;  // the 4-byte year field by the same rule as the texts
    int track = 0;         // 0 = none
    int8_t genre = 0;      // the genre byte, signed

    // Fills title, artist, album, comments, year, track and genre of record
    // the way GetAudioInformation takes an MPEG file's ID3v1 tag: a track
    // below 1 gives 0, a genre byte outside the table (255) gives no genre; composer,
    // URL, encoded-by and copyright are emptied.
    void applyTo(TagRecord& record) const;
    // The fields the MPEG Plus reader takes: title, artist, album, comments,
    // year and genre (outside the table: none); the track and the rest of
    // record stay as they are.
    void applyMpegPlusTo(TagRecord& record) const;
};

// Parses a 128-byte block by a reading rule; nullopt unless it begins with "TAG".
std::optional<Id3v1Tag> parseId3v1(std::span<const uint8_t, kId3v1Size> block,
                                   Id3v1Reading rule = Id3v1Reading::Information);

// Reads the last 128 bytes of the file; nullopt when the file cannot be read,
// is shorter than 128 bytes, or has no tag.
std::optional<Id3v1Tag> readId3v1(const std::string& path, Id3v1Reading rule = Id3v1Reading::Information);

// The tag as written to MPEG audio files: always the ID3v1.1 form (comment at
// most 28 characters, byte 125 zero, byte 126 the track's low byte), fields
// cut to 30 characters with trailing blanks removed, year as at most four
// decimal characters, genre byte = low byte of (genre % 255).
Id3v1Block buildId3v1(const TagRecord& record);
// The tag as the MPEG Plus writer forms it: fields cut to 30 characters,
// blanks kept; the ID3v1.1 form only when the track is not 0; genre byte =
// low byte of genre.
Id3v1Block buildId3v1Mpc(const TagRecord& record);

// Write the tag of a record in place: over an existing tag at the end of the
// file, or appended when there is none (a failed append is cut back). The
// audio bytes are never touched. Fields whose value equals what reading the
// old tag gives (by the MPEG audio or the MPEG Plus rule) keep their stored
// bytes. The first failure, or none.
std::error_code writeId3v1(const std::string& path, const TagRecord& record);
std::error_code writeId3v1Mpc(const std::string& path, const TagRecord& record);

}  // namespace qoro::tags
