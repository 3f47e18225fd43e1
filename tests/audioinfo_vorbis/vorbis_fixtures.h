// Fixtures of the Vorbis comment tests: pictures and audio made by the
// reference tools, and mutagen's view of a file's comments and pictures.
#pragma once

#include <string>
#include <vector>

#include "fixtures.h"
#include "readers/facts.h"
#include "tags/tag_record.h"
#include "test_support.h"

namespace qoro::test::vfix {

// A WAV file of the test signal.
fs::path makeWav(const TempDir& dir, const std::string& name, int rate, int channels, double seconds);
// A picture made by ffmpeg ("png" or "jpg" by the name), width x height
// pixels; 'detailed' makes one that compresses badly (a large file).
fs::path makePicture(const TempDir& dir, const std::string& name, int width, int height, bool detailed = false);

// What mutagen reads from a FLAC, Ogg Vorbis or Ogg Opus file.
struct MutagenView {
    bool ok = false;
    std::string vendor;
    std::vector<std::string> comments;  // "NAME=value" in file order, picture comments left out
    std::vector<tags::TagPicture> pictures;
    std::vector<int> blocks;   // FLAC: the metadata block types in order
    std::string dimensions;    // "WxHxD" of each picture, blank separated
    std::string output;        // the script's output, for failure messages
};
MutagenView mutagenView(const TempDir& dir, const fs::path& file);

// Adds pictures to an Ogg Vorbis or Opus file with mutagen, as
// "METADATA_BLOCK_PICTURE" comments, and extra comments (NAME=value).
bool mutagenTagOgg(const fs::path& file, const std::vector<tags::TagPicture>& pictures,
                   const std::vector<std::string>& comments);

// What one of the FLAC and Opus readers makes of a file:
// readWith(audioinfo::readFlac, path).
struct Read {
    bool ok = false;
    audioinfo::Facts facts;
    tags::TagRecord tags;
    tags::TagExtras extras;
};
template <class Reader>
Read readWith(Reader reader, const fs::path& file) {
    Read r;
    r.ok = reader(file.string(), r.facts, r.tags, r.extras);
    return r;
}

// The lines of a text.
std::vector<std::string> lines(const std::string& text);

// The name a field of this comment name is listed by: its map name when the
// field map has it ("mood": "MOOD"), else as it stands.
std::string mapName(const std::string& name);

}  // namespace qoro::test::vfix
