// MP3s as users have them: made by lame and ffmpeg with their defaults and
// options (LAME tags, ID3v2 tags, CRC words, free format, low sample rates,
// Layer II), tagged by mutagen, and a few only a test writer makes (VBRI,
// damaged and lying Xing/LAME headers, free-format Layer II, junk between
// frames). Each file has an oracle: the file whose `mpg123 -s` decode is
// what our reading must give, frame for frame at lag 0 - the file itself,
// or for a writer's file the clean stream it was made from (or the file
// with the bytes that are not audio zeroed).
//
// The corpus is made once per build tree (tests/ of the build folder) and
// kept; a process that finds it complete uses it as it is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qoro::test::corpus {

namespace fs = std::filesystem;

struct Entry {
    std::string name;    // file in the corpus folder
    std::string oracle;  // file whose mpg123 decode is the expected music
    bool layer3 = true;
    bool byWriter = false;  // made by the test writer, not by an encoder
};

// The corpus folder, made when it is not complete yet. Empty (and a test
// failure reported) when a reference tool is missing or a maker failed.
fs::path folder();
const std::vector<Entry>& entries();
const Entry& entry(const std::string& name);

// The expected decode of an entry: mpg123 -s of its oracle, interleaved,
// with the stream's rate and channels (from its first frame; lame may have
// chosen a lower rate than its input's).
struct Decoded {
    std::vector<int16_t> samples;
    int rate = 0;
    int channels = 0;
    size_t frames() const { return channels ? samples.size() / size_t(channels) : 0; }
};
Decoded expected(const Entry& e);

}  // namespace qoro::test::corpus
