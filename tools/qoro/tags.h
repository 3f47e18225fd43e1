// Descriptive tags through AudioInformation: reading them (ID3v2 first, then
// ID3v1 for MPEG files), writing them, and carrying them from one file to
// another (ID3 <-> RIFF INFO <-> Vorbis comments <-> APEv2), every field the
// source holds under the names the component gives (the map names of the
// fields every tag format knows, such as ALBUMARTIST, and the format's own
// names for the rest), several values apart, and the front cover.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
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
    std::string date;       // the date as the file holds it ("2021-06-01"); "" for none
    int genre = 12;         // the genre table's index: 12 ("Other") also when there is none
    std::string genreText;  // the genre as the file holds it ("Klezmer"); "" for none
    int track = 0;
    // The values of a text property that holds several, by map name
    // ("ARTIST": {"A", "B"} of an artist given as "A; B").
    std::map<std::string, std::vector<std::string>, std::less<>> values;
    bool any() const;
};

// The text properties, in the order qoro info shows them, with the map name
// AudioInformation gives each field.
struct TextProperty {
    std::string_view name;   // "TITLE"
    std::string_view label;  // "title" (qoro info)
    std::string_view json;   // "title" (qoro info --json)
    std::string Tags::*member;
    HRESULT (IAudioInformation::*get)(BSTR*);
    HRESULT (IAudioInformation::*put)(BSTR);
};
extern const TextProperty kTextProperties[8];
// The map names of the properties: the text ones, DATE, GENRE, TRACKNUMBER.
const std::vector<std::string_view>& propertyNames();
// True for a property's map name, ignoring letter case.
bool isPropertyName(std::string_view name);

// ASCII letters compared ignoring case, as field names and genre names are.
bool sameIgnoringCase(std::string_view a, std::string_view b);

// The values of a text property of 'tags': those it holds apart, else its
// text alone; none when it is empty.
std::vector<std::string> propertyValues(const Tags& tags, const TextProperty& p);

// Puts the state of 'info' (after GetAudioInformation) into 'tags'.
Tags currentTags(IAudioInformation* info);

// GetAudioInformation on 'file'. For MPEG files the ID3v2 tag is read, and
// the ID3v1 tag when there is no ID3v2 tag; 'id3Kind' tells which (1 or 2).
// Returns the file type (0 when the file cannot be read).
SHORT readInformation(IAudioInformation* info, const fs::path& file, SHORT* id3Kind = nullptr);

// True when the type's tags choose between ID3v1 and ID3v2 (MPEG audio).
bool choosesId3(SHORT type);

// The values of one field of the state of 'info', by map name or the
// format's own name (through IAudioInformation3; IAudioInformation2 gives
// one value); none when the file has no such field.
std::vector<std::string> fieldValues(IAudioInformation* info, const std::string& name);
// Sets a field of the state of 'info' (no values: removes it); a component
// without IAudioInformation3 takes the values joined with "; ". The
// component's refusal (a name the type cannot hold) is returned as it is,
// E_NOINTERFACE when the component sets no fields.
HRESULT setFieldValues(IAudioInformation* info, const std::string& name, const std::vector<std::string>& values);

// Writes the state of 'info' into 'file' (id3Kind 1 or 2 for MPEG files) and
// reads it back; false with a message when the file does not hold the
// state's title, artist and album afterwards.
bool storeTags(IAudioInformation* info, const fs::path& file, SHORT id3Kind, std::string& error);

// One field beyond the properties with its values.
struct FieldEntry {
    std::string name;
    std::vector<std::string> values;
};

// What a file holds beyond the properties (through IAudioInformation2): its
// other text fields and its front cover.
struct Extras {
    std::vector<FieldEntry> fields;  // in file order, each name once
    std::string coverMimeType;
    std::vector<uint8_t> cover;
    bool any() const { return !fields.empty() || !cover.empty(); }
};
// The extras of the state of 'info' (after GetAudioInformation); none when
// the component has no second interface.
Extras currentExtras(IAudioInformation* info);

// Copies the tags of 'source' into 'target' when both sides hold tags and the
// source has any: the properties (never one the source lacks: no genre, year
// or track of its own), every field the source holds by the component's
// names with its several values, and the front cover where both sides hold
// pictures. Fields that describe the source's encoding stay behind. Fields
// under a format's own names travel between types whose tags hold named
// fields (ID3v2, Vorbis comments, APEv2), not into or out of RIFF INFO.
// Returns false with a message only when writing failed.
bool carryTags(const fs::path& source, const fs::path& target, std::string& error);

}  // namespace qoro::cli
