// Tags and cue points of WAV files: "LIST"/"INFO", "DISP", "cue " and
// "LIST"/"adtl", read in one walk over the RIFF form (which also collects the
// "fmt ", "fact" and "data" facts) and written in place after "data".
//
//   tags::TagRecord rec; tags::CueList cues; tags::WavChunks chunks;
//   if (!tags::readWavInfo(path, rec, cues, &chunks)) ...   // not a readable WAV
//   rec.title = "New"; cues.insert({.position = 4410, .label = "Verse"});
//   tags::writeWavInfo(path, rec, cues);
//
// Mapping: "INAM" carries the album, "DISP" (type 1) the title; "IART" artist,
// "ICMT" comments, "ICOP" copyright, "IGNR" genre name, "ISFT" encoded-by,
// "ICMS" composer, "IURL" URL, "ITRK" track, "ICRD" year. Texts are written
// as UTF-8; stored texts that are not UTF-8 are read as ISO-8859-1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tags/cue_list.h"
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
    uint32_t dataSize = 0;     // "data" chunk size as stored
    uint64_t dataOffset = 0;   // file offset of the samples
    bool hasFact = false;
    uint32_t factValue = 0;    // first 32-bit word of "fact"
};

inline constexpr size_t kMaxFormatExtra = 162;

// Reads the file's tags into record (only the fields whose chunks are
// present are set; a present "IGNR" sets the genre, 12 when the name is
// unknown) and appends its cues to cues (in file order, then sorted by
// position; the cursor stays on the cue last appended or selected). False
// when the file cannot be opened, has no RIFF "WAVE" form, or a handled chunk
// cannot be read in full (the outputs may then be partly filled).
bool readWavInfo(const std::string& path, TagRecord& record, CueList& cues, WavChunks* chunks = nullptr);

// Writes, right after the "data" chunk, a "LIST" "INFO" (always), a "DISP"
// when there is a title, and "cue " plus "LIST" "adtl" when there are cues;
// then sets the RIFF size to end there. The file is not shortened and chunks
// before "data" stay. False (nothing written) when the file cannot be opened
// read-write, has no RIFF "WAVE" form or "data" chunk, or its "data" chunk
// reaches beyond the end of the file; false as well when a write fails.
bool writeWavInfo(const std::string& path, const TagRecord& record, const CueList& cues);

}  // namespace qoro::tags
