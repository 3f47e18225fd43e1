// ID3v2.3 tags at the start of MPEG audio files.
//
//   auto tag = tags::readId3v2(path);        // nullopt: no ID3v2.3 tag
//   if (tag) tag->applyTo(record);           // as GetAudioInformation takes it
//   tags::writeId3v2(path, record);          // rebuilds the file through "path~"
//
// Only version 2.3 tags are read and replaced; other versions count as no tag
// (a new tag is put in front of them). Text frames are read in every ID3v2
// encoding (ISO-8859-1, UTF-16 with byte-order mark, UTF-16BE, UTF-8) and
// written as ISO-8859-1, or as UTF-16 with byte-order mark when the text does
// not fit ISO-8859-1. Unsynchronised tags and extended headers are read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tags/tag_record.h"

namespace qoro::tags {

// The frames the component knows, in the order they are written.
enum class Id3v2Frame { TIT2, TPE1, TALB, TRCK, TYER, TCON, COMM, TCOM, WXXX, TENC, TCOP };
inline constexpr size_t kId3v2FrameCount = 11;
// The four-letter identifier of a frame ("TIT2").
std::string_view id3v2FrameId(Id3v2Frame frame);

struct Id3v2Tag {
    uint32_t totalSize = 0;  // header included: where the audio starts
    std::array<std::string, kId3v2FrameCount> frames;  // UTF-8 texts, empty when absent

    const std::string& text(Id3v2Frame f) const { return frames[static_cast<size_t>(f)]; }
    std::string& text(Id3v2Frame f) { return frames[static_cast<size_t>(f)]; }

    // Fills every text, year, track and genre of record the way
    // GetAudioInformation takes an MPEG file's ID3v2 tag (year and track from
    // the leading number of "TYER"/"TRCK", genre from "TCON" with anything
    // outside the table giving "Other").
    void applyTo(TagRecord& record) const;
};

// Total size (header included) of the ID3v2.3 tag the file begins with, or
// nullopt: no "ID3" header, another major version, or a size beyond the file.
std::optional<uint32_t> id3v2TotalSize(const std::string& path);

// Reads the file's ID3v2.3 tag; nullopt when there is none or the file cannot
// be read. Frames beyond the stated tag size are not read.
std::optional<Id3v2Tag> readId3v2(const std::string& path);

// Genre index of a "TCON" text: "(n)..." gives n (0 when no digits follow
// the parenthesis, at most 148), else the index of the genre name equal to
// the text, else 12. The caller maps values outside the table to 12.
int genreFromTcon(std::string_view tcon);

// The complete tag (header and frames) for a record; empty when the frames
// would not fit the 28-bit size field.
std::vector<uint8_t> buildId3v2(const TagRecord& record);

// Writes a new tag in front of the audio: the tag and the file's bytes after
// its current ID3v2.3 tag (or all of them) go to "path~", which then replaces
// the file. On any failure the file is left as it was and "path~" removed.
bool writeId3v2(const std::string& path, const TagRecord& record);

}  // namespace qoro::tags
