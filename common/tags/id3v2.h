// ID3v2 tags at the start of MPEG audio files (and inside WAV "id3 " chunks).
//
//   auto tag = tags::readId3v2(path);          // nullopt: no ID3v2 tag
//   if (tag) tag->applyTo(record);             // as GetAudioInformation takes it
//   auto tag = tags::parseId3v2(bytes);        // the same over bytes in memory
//   if (auto ec = tags::writeId3v2(path, record)) ...   // in place, or rebuilt through the safe replace
//
// Reading takes versions 2.2, 2.3 and 2.4: unsynchronisation (of the whole
// tag, or of single 2.4 frames), extended headers, 2.4 syncsafe frame sizes
// (and plain sizes where a writer got them wrong), the text encodings 0-3 and
// the three-letter frames of 2.2. Compressed or encrypted frames are kept but
// not interpreted.
//
// Writing produces one version 2.3 tag in place of every tag the file begins
// with (written over a single tag that it fits, padded with zeros to that
// tag's size; otherwise through the safe replace, without padding): the frames the object manages first, in their fixed
// order, then every other frame of the old tag in its order, unchanged (frames
// of a 2.2 or 2.4 tag turned into their 2.3 form). A managed field whose
// value is what reading the file gives keeps its stored frames exactly; a
// changed one is written anew as one value (ISO-8859-1 when it fits, else
// UTF-16 with byte-order mark). Changes of user text fields ("TXXX", named
// by their description, compared exactly) and pictures ("APIC", by picture
// type) come last: each replaces the frames it names by one new frame in the
// place of the first of them (at the end when there was none), or removes
// them; every other frame stays.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tags/fields.h"
#include "tags/tag_record.h"

namespace qoro::tags {

// The frames the component manages, in the order they are written.
enum class Id3v2Frame { TIT2, TPE1, TALB, TRCK, TYER, TCON, COMM, TCOM, WXXX, TENC, TCOP };
inline constexpr size_t kId3v2FrameCount = 11;
// The four-letter identifier of a frame ("TIT2").
std::string_view id3v2FrameId(Id3v2Frame frame);
// The frame that holds a property field (Field::Title: TIT2).
Id3v2Frame id3v2FrameOf(Field field);

inline constexpr size_t kId3v2HeaderSize = 10;

// The 10-byte header that opens a tag.
struct Id3v2Header {
    int version = 0;  // major version: 2, 3 or 4
    int revision = 0;
    uint8_t flags =
        0;  // 0x80 unsynchronisation, 0x40 extended header (2.3, 2.4) or compression (2.2), 0x10 footer (2.4)
    uint32_t bodySize = 0;  // bytes between the header and the footer (or the end of the tag)

    bool hasFooter() const { return version == 4 && (flags & 0x10) != 0; }
    // Header, body and footer: where the bytes after the tag begin.
    uint64_t totalSize() const { return kId3v2HeaderSize + bodySize + (hasFooter() ? kId3v2HeaderSize : 0); }
};

// The header at the start of 'bytes' (at least 10 of them): nullopt unless
// they begin with "ID3", a major version of 2 to 4, a revision other than
// 0xFF and four size bytes below 0x80.
std::optional<Id3v2Header> parseId3v2Header(std::span<const uint8_t> bytes);

// Total size of the tag whose header begins 'bytes' (only the header is
// looked at), or nullopt when there is no valid header.
std::optional<uint64_t> id3v2TotalSize(std::span<const uint8_t> bytes);
// Total size of the tag the file begins with, or nullopt: no valid header,
// the file cannot be read, or the tag reaches beyond the end of the file.
std::optional<uint64_t> id3v2TotalSize(const std::string& path);

// Reads up to 'size' bytes at 'offset' of some file; the count read.
using ReadAtFn = std::function<size_t(uint64_t offset, uint8_t* data, size_t size)>;
// Bytes taken by the ID3v2 tags the file begins with: tags may stand one
// after another (each one a valid header within the file); 0 when the file
// does not begin with a tag. A tag reaching beyond 'fileSize' ends the count
// before it, unless 'clampToFile' is set: then everything to the end of the
// file counts as tag.
uint64_t id3v2LeadingSize(const ReadAtFn& readAt, uint64_t fileSize, bool clampToFile = false);
// The same for a file by name; 0 when it cannot be read.
uint64_t id3v2LeadingSize(const std::string& path);

// One frame of a tag as stored.
struct Id3v2RawFrame {
    std::string id;             // "TIT2"; three letters in a version 2.2 tag
    uint16_t flags = 0;         // the two flag bytes (0 in version 2.2)
    std::vector<uint8_t> body;  // the content, unsynchronisation undone

    bool operator==(const Id3v2RawFrame&) const = default;
};

struct Id3v2Tag {
    int version = 0;                    // 2, 3 or 4
    uint64_t totalSize = 0;             // header (and footer) included: where the bytes after the tag begin
    std::vector<Id3v2RawFrame> frames;  // in their stored order
    // The managed fields as read (UTF-8): repeated frames and multiple
    // values joined with "; ", the comment with an empty description, the
    // first value of "TCON", the date of "TYER" and "TDAT" ("2021-06-01"; a
    // version 2.4 tag's "TDRC" as it stands). Empty when absent.
    std::array<std::string, kId3v2FrameCount> texts;
    // The same values apart, in order ("TCON": every genre).
    std::array<std::vector<std::string>, kId3v2FrameCount> values;

    const std::string& text(Id3v2Frame f) const { return texts[static_cast<size_t>(f)]; }
    std::string& text(Id3v2Frame f) { return texts[static_cast<size_t>(f)]; }

    // Fills every text, date, track and genre of record the way
    // GetAudioInformation takes an MPEG file's ID3v2 tag: several values
    // apart, the track from the leading number of "TRCK" ("3/12": 3), the
    // genres as free text ("(17)" and "17" by the table: "Rock"; "(17)Rock"
    // and "Klezmer" as they stand).
    void applyTo(TagRecord& record) const;

    // The frames in their version 2.3 form, in order: 2.2 identifiers turned
    // into four letters, 2.4 frames into their 2.3 counterparts (sizes,
    // flags, UTF-8 and UTF-16BE text as UTF-16 with byte-order mark, "TDRC"
    // as "TYER"/"TDAT"/"TIME", "TDOR" as "TORY", "TIPL"/"TMCL" as "IPLS").
    // 2.2 frames without a 2.3 counterpart are left out.
    std::vector<Id3v2RawFrame> framesAsV23() const;

    // The fields beyond the properties, one per value, in their stored order:
    // the frames of the field map under their map names ("TPE2" as
    // ALBUMARTIST, "TPOS" "1/2" as DISCNUMBER 1 and TOTALDISCS 2, the total
    // of "TRCK" as TOTALTRACKS, "UFID" of http://musicbrainz.org as
    // MUSICBRAINZ_TRACKID, "TXXX" "MusicBrainz Album Id" and the "TXXX"
    // frames earlier versions named by map names as the mapped field), every
    // other "TXXX" by its description; and the "APIC" pictures (2.2 "PIC"
    // included: "JPG" and "PNG" as image/jpeg and image/png). Compressed or
    // encrypted frames are left out.
    TagExtras extras() const;
};

// The tag at the start of 'bytes'; nullopt when there is no valid header or
// the tag reaches beyond the bytes. Frames that do not fit the tag end the
// walk; damaged frames never make it fail.
std::optional<Id3v2Tag> parseId3v2(std::span<const uint8_t> bytes);

// The tag the file begins with; nullopt when there is none or the file
// cannot be read.
std::optional<Id3v2Tag> readId3v2(const std::string& path);

// Genre index of a "TCON" value: "(n)..." gives n (0 when no digits follow
// the parenthesis, at most 148), a plain number gives that number, else the
// index of the genre name equal to the text, else 12. The caller maps values
// outside the table to 12.
int genreFromTcon(std::string_view tcon);

// A new tag holding only the managed frames of a record; empty when the
// frames would not fit the 28-bit size field.
std::vector<uint8_t> buildId3v2(const TagRecord& record, const TagChanges& changes = {});
// The tag that replaces 'old' (and the tags stacked behind it, whose frames
// of other kinds than those kept are carried over): managed fields whose
// value equals what 'old' gives keep their stored frames, the others are
// written anew; then every other frame in order. Empty when too large.
std::vector<uint8_t> buildId3v2(const TagRecord& record, const Id3v2Tag& old, std::span<const Id3v2Tag> stacked = {},
                                const TagChanges& changes = {});

// The frames after applying 'changes' (see the top of this file) to version
// 2.3 frames: a change named by the field map writes its frame ("TPE2",
// "TXXX" "MusicBrainz Album Id", "UFID", "USLT", the disc in "TPOS"),
// several values NUL-separated, and removes the "TXXX" frames earlier
// versions named by that map name; any other name is a "TXXX" description.
// TOTALTRACKS is written with the track ("TRCK") by buildId3v2.
void applyId3v2Changes(std::vector<Id3v2RawFrame>& frames, const TagChanges& changes);

// Writes the record as the file's ID3v2 tag: over the one tag the file
// begins with when the new one fits its place (padded with zeros to its
// size; inode and links kept), else the new tag and the file's bytes after
// the tags it begins with go to a temporary file that then replaces the
// file (a symbolic link's target is rewritten; mode and owner kept). On any
// failure the file is left as it was and the error returned.
std::error_code writeId3v2(const std::string& path, const TagRecord& record, const TagChanges& changes = {});

}  // namespace qoro::tags
