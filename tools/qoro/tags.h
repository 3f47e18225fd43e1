// Descriptive tags through AudioInformation: reading them (ID3v2 first, then
// ID3v1 for MPEG files), writing them, and carrying them from one file to
// another (ID3 <-> RIFF INFO <-> Vorbis comments), with the fields beyond the
// properties and the front cover where both sides can hold them.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "components.h"

namespace qoro::cli {

namespace fs = std::filesystem;

// AudioInformation's file types (infoType), as its Formats object lists
// them: the type's name ("unknown" for 0), and whether the component reads
// and writes the tags of files of the type.
std::string infoTypeName(SHORT type);
bool tagsReadable(SHORT type);
bool tagsWritable(SHORT type);
// The titles of the types whose tags are written, "WAV, MPEG audio, ... or
// AIFF", each followed by its tag scheme with 'schemes' ("WAV (RIFF INFO)").
std::string writableTypesText(bool schemes = false);

struct Tags {
    std::string title, artist, album, comments, copyright, url, encodedBy, composer;
    long year = 0;
    int genre = 12;  // "Other"
    int track = 0;
    bool any() const;
};

// Puts the state of 'info' (after GetAudioInformation) into 'tags'.
Tags currentTags(IAudioInformation* info);
// Sets the tag properties of 'info'.
void setTags(IAudioInformation* info, const Tags& tags);

// GetAudioInformation on 'file'. For MPEG files the ID3v2 tag is read, and
// the ID3v1 tag when there is no ID3v2 tag; 'id3Kind' tells which (1 or 2).
// Returns the file type (0 when the file cannot be read).
SHORT readInformation(IAudioInformation* info, const fs::path& file, SHORT* id3Kind = nullptr);

// Writes 'tags' into 'file' (id3Kind 1 or 2 for MPEG files) and reads them
// back; false when the file does not hold them afterwards.
bool writeTags(IAudioInformation* info, const fs::path& file, const Tags& tags, SHORT id3Kind, std::string& error);

// What a file holds beyond the properties (through IAudioInformation2): its
// other text fields and its front cover.
struct Extras {
    std::vector<std::pair<std::string, std::string>> fields;  // name, value, in file order
    std::string coverMimeType;
    std::vector<uint8_t> cover;
    bool any() const { return !fields.empty() || !cover.empty(); }
};
// The extras of the state of 'info' (after GetAudioInformation); none when
// the component has no second interface.
Extras currentExtras(IAudioInformation* info);

// Copies the tags of 'source' into 'target' when both sides hold tags and the
// source has any: the properties, the other text fields (Vorbis comments,
// ID3v2 "TXXX" frames) between files that hold such fields, and the front
// cover between files that hold pictures (ID3v2, FLAC, Ogg Vorbis, Opus).
// Returns false with a message only when writing failed.
bool carryTags(const fs::path& source, const fs::path& target, std::string& error);

}  // namespace qoro::cli
