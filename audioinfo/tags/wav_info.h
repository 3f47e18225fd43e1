// Tags and cue points of WAV files: "LIST"/"INFO", "DISP", "cue " and
// "LIST"/"adtl", read in one walk over the RIFF form (which also collects the
// "fmt ", "fact" and "data" facts), plus an ID3v2 tag in an "id3 " (or "ID3 ")
// chunk for the properties that have no field of their own.
//
//   tags::TagRecord rec; tags::CueList cues; tags::WavChunks chunks;
//   if (!tags::readWavInfo(path, rec, cues, &chunks)) ...   // not a readable WAV
//   rec.title = "New"; cues.insert({.position = 4410, .label = "Verse"});
//   if (auto ec = tags::writeWavInfo(path, rec, cues)) ...   // ec.message() says why
//
// Mapping: "IPRD" is the album. "INAM" is the title in a form without a
// "DISP" text, as other programs (ffmpeg, audio editors) write it; with one,
// "DISP" (type 1, text) is the title and "INAM" the album when there is no
// "IPRD", as this component has always written its files. Writing puts the
// title in "DISP" (also an empty one while "INAM" is written, so that the
// file says "no title") and the album in both "INAM" and "IPRD". "IART"
// artist, "ICMT" comments, "ICOP" copyright, "IGNR" genre (free text, only
// when the record has one), "ISFT" encoded-by, "ICMS" composer, "IURL" URL,
// "ITRK" track, "ICRD" date (as held: "2002-05-01"). Texts are written as
// UTF-8; stored texts that are not UTF-8 are read as ISO-8859-1. Of several
// entries of a property's id, in one list or in several, the last counts.
//
// Writing leaves a valid RIFF form (its size = file length - 8) holding
// exactly one "LIST" "INFO" (every value of every list, merged), at most one
// "DISP" and at most one "cue " with its "LIST" "adtl" (several of them are
// merged into one); every other chunk stays as it was, byte for byte and in
// its order. A property whose value is what reading the file gives keeps
// the stored bytes of the entry it was read from (an "ICRD" of 2002-05-01
// stays), INFO entries the object does not manage stay, and only changed
// entries are written anew, each in the place of the one it replaces. The
// new chunks take the place of the first tag chunks (with the "JUNK" chunks
// after them) they fit in, or of the last ones when those end the form; the
// rest of that place becomes a "JUNK" chunk of zeros, and the tag chunks
// elsewhere become "JUNK" chunks of their size, so that nothing moves. When
// no place takes them the file is rebuilt with them in the place of the
// first ones (the others dropped); a file that had none gets them right
// after "data", in the place of the zero-filled "JUNK" chunks that follow it,
// if any. A change that keeps every other chunk where it is happens in the
// file itself (and is undone when it fails); any other is built beside the
// file and renamed over it. Bytes after the RIFF form are dropped when they
// are the remainder of an earlier, longer tag (the form ends with tag
// chunks) or zeros, adopted when they are whole chunks of other kinds, and
// otherwise kept inside a "JUNK" chunk at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "io/file_reader.h"
#include "tags/cue_list.h"
#include "tags/fields.h"
#include "tags/tag_record.h"

namespace qoro::tags {

// What the walk saw of the audio chunks.
struct WavChunks {
    // "fmt ": the 18-byte wave format header followed by its extra bytes (at
    // most 162; the extra size field is set to the number kept). Formats 1, 6
    // and 7 carry no extra bytes whatever the field says (it reads 0). A
    // chunk shorter than 18 bytes is completed with zeros. Empty: no "fmt ".
    std::vector<uint8_t> format;
    bool hasData = false;
    uint32_t dataSize = 0;    // "data" chunk size as stored
    uint64_t dataOffset = 0;  // file offset of the samples
    bool hasFact = false;
    uint32_t factValue = 0;  // first 32-bit word of "fact"

    // INFO entries the object does not manage ("IENG", "IKEY", "ISRC", ...),
    // in file order, with their contents as stored.
    struct InfoEntry {
        std::string id;
        std::string content;
        bool operator==(const InfoEntry&) const = default;
    };
    std::vector<InfoEntry> otherInfo;
};

inline constexpr size_t kMaxFormatExtra = 162;

// Reads the file's tags into record (only the fields whose chunks are
// present are set; a present "IGNR" sets the genre as free text, its index
// 12 when the name is unknown) and appends its cues to cues (in file order, then sorted by
// position; the cursor stays on the cue last appended or selected). A
// property with no INFO or "DISP" field takes its value from the first "id3 "
// chunk when that tag has it. False when the file cannot be opened, has no
// RIFF "WAVE" form, or a handled chunk cannot be read in full (the outputs
// may then be partly filled).
bool readWavInfo(const std::string& path, TagRecord& record, CueList& cues, WavChunks* chunks = nullptr);
// The same through a file already open for reading.
bool readWavInfo(const io::Reader& file, TagRecord& record, CueList& cues, WavChunks* chunks = nullptr);
// The same over the bytes of a whole file in memory.
bool parseWavInfo(std::span<const uint8_t> file, TagRecord& record, CueList& cues, WavChunks* chunks = nullptr);

// Writes the record and the cue list into the file (see the top of this
// file). The error, or none: the system's error when the file cannot be
// read or written (nothing of the file is then changed), io::Error::Damaged
// for a file that is no RIFF "WAVE" form with a whole "data" chunk (RF64,
// a streamed WAV whose "data" runs to an unknown end, a chunk cut short),
// io::Error::TooLarge when the result would pass the 4 GiB limit of RIFF.
// 'changes' sets "INFO" items the properties do not use, by id or by the
// map name of a field with a RIFF id: each replaces every item of its id by
// one (several values joined with "; "), in the place of the first of them
// (at the end of the list when there was none), or removes them (no value).
// Names that are no such id, and pictures, are passed over: the caller
// refuses them (isInfoItemId).
std::error_code writeWavInfo(const std::string& path, const TagRecord& record, const CueList& cues,
                             const TagChanges& changes = {});
// The same over a whole file in memory: 'out' receives the new file.
std::error_code rewriteWavInfo(std::span<const uint8_t> file, const TagRecord& record, const CueList& cues,
                               std::vector<uint8_t>& out, const TagChanges& changes = {});

// True for a name that can be an "INFO" item id: four characters, each A-Z
// or 0-9 ("ITCH", "ISRF").
bool isInfoItemId(std::string_view name);
// True for the ids the properties use ("INAM", "IPRD", "IART", ... above).
bool isPropertyInfoId(std::string_view name);
// The property field of such an id as it is written ("INAM" and "IPRD":
// Field::Album), nullopt for another id.
std::optional<Field> infoIdField(std::string_view id);
// The text the property of such an id is written with ("" when it writes
// none, or for another id).
std::string infoPropertyValue(const TagRecord& record, std::string_view id);
// Sets the property of such an id from a text as reading takes the item (a
// genre by its name, 12 when unknown; year and track by their leading
// number). False for another id.
bool setInfoProperty(TagRecord& record, std::string_view id, std::string_view value);

}  // namespace qoro::tags
