// Fixture files for the information component's tests, made by the reference
// tools in a temporary folder, and the numbers ffprobe reports for them.
#pragma once

#include <map>
#include <string>

#include "test_support.h"

namespace qoro::test::info {

// Runs a command that must succeed (fails the test with its output otherwise).
bool make(const std::string& command);

// ffmpeg with a sine of 'seconds' at 'rate' and 'channels', any further
// arguments (codec, bitrate ...) before the output path.
bool ffmpegSine(const fs::path& out, double seconds, int rate, int channels, const std::string& args);

// ffprobe's stream and format entries of the first audio stream, e.g.
// "sample_rate", "channels", "duration", "bit_rate", "format.duration",
// "TAG:title" (tags of format and stream, keys in lower case).
std::map<std::string, std::string> probe(const fs::path& file);
double number(const std::map<std::string, std::string>& entries, const std::string& key);

}  // namespace qoro::test::info
