// The table of the file types QoroAudioInformation reads: one row per
// infoType with the extensions that choose it, the signatures its reader
// reads, its content probe, its reader and tag writer, and the tag scheme
// that says which field names and pictures its tags can hold. The object,
// its Formats object and every caller that needs to know a type ask here.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "probe/signature.h"
#include "readers/facts.h"
#include "readers/file_type.h"
#include "tags/cue_list.h"
#include "tags/tag_record.h"

namespace qoro::audioinfo {

// How a type's tags name their fields, and what they can hold.
enum class TagScheme {
    None,      // no tags (AVI)
    RiffInfo,  // RIFF "INFO" items named by four-character ids; no pictures
    Id3,       // ID3v1 or ID3v2 as mp3TagInfoVersion chooses
    Id3v1,     // an ID3v1 tag only: the properties, no fields, no pictures
    Vorbis,    // Vorbis comments: names of printable ASCII without "="
    Id3v2,     // an ID3v2 tag whatever mp3TagInfoVersion says: any field, pictures
    Ape,       // an APEv2 tag: items named by printable ASCII, pictures
    Mp4,       // MP4 "ilst" items: field map keys, freeform "----:mean:name" items, front covers
    Container, // a container's own metadata (ASF, Matroska, Ogg FLAC), read through the media plug-in
};

// What a reader fills, and how it reads.
struct ReadRequest {
    const std::string& path;
    bool fastAnalysis;
    int tagVersion;  // 1 ID3v1, 2 ID3v2 (MPEG audio)
    Facts& facts;
    tags::TagRecord& tags;
    tags::TagExtras& extras;
    tags::CueList& cues;
    std::string* cause = nullptr;  // why the file was not read, when the reader can tell
};

// What a tag writer writes.
struct WriteRequest {
    const std::string& path;
    int tagVersion;
    const tags::TagRecord& tags;
    const tags::CueList& cues;
    const tags::TagChanges& changes;
};

struct InfoTypeEntry {
    FileType type;
    std::string_view name;                         // short and lower case: "wav"
    std::string_view title;                        // "WAV", "MPEG audio"
    std::string_view inWords;                      // what its reader takes a file for: "a WAV file"
    std::span<const std::string_view> extensions;  // lower case, without the dot
    std::span<const probe::Kind> kinds;            // signatures its reader reads
    // 1 (or, for MPEG audio, the layer) when the file holds this type, 0 when
    // not, below 0 when it cannot tell (which ends a chain of probes).
    int (*probe)(const std::string& path);
    bool (*read)(const ReadRequest& request);
    // A failed read keeps the type and what it found (the size of an MPEG
    // file without frames, the facts of an AVI found before its failing step).
    bool keepsFailedRead;
    // The cause of a failed read of a file the probe takes for the type;
    // empty: the usual "not an audio file of this type".
    std::string_view unreadable;
    std::error_code (*write)(const WriteRequest& request);  // nullptr: tags not written
    TagScheme scheme;
    bool walked;  // a library walk takes its files
};

// Every row, in the order the probes run when a file is not what its name
// says (AVI last: its probe answers "cannot tell" for anything else).
std::span<const InfoTypeEntry> infoTypes();
// The row of a type; nullptr for Unknown.
const InfoTypeEntry* infoTypeEntry(FileType type);
// The type a path's extension chooses (any letter case); Unknown when none.
FileType typeOfName(std::string_view path);
bool readsKind(const InfoTypeEntry& entry, probe::Kind kind);
bool anyReadsKind(probe::Kind kind);
// A scheme's name for people: "RIFF INFO", "Vorbis comments".
std::string_view schemeName(TagScheme scheme);

}  // namespace qoro::audioinfo
