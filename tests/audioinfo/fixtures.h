// Fixture files for the information component's tests, made by the reference
// tools in a temporary folder, and the numbers ffprobe reports for them.
#pragma once

#include <cstdint>
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

// soxi's number for one of its options ("-b" bits, "-r" rate, "-c"
// channels, "-s" sample frames, "-D" seconds); -1 when it reads nothing.
double soxi(const std::string& option, const fs::path& file);

// A WAV header of 16-bit or 8-bit PCM whose sizes say what is asked, in a
// file made `length` bytes long without writing the samples (a sparse file:
// no disk space, no time). With `ds64Data` the form is "RF64" and its
// 64-bit "data" size is that one.
void writeSparseWav(const fs::path& path, uint32_t rate, uint16_t channels, uint16_t bits, uint32_t riffSize,
                    uint32_t dataSize, uint64_t length, uint64_t ds64Data = 0);

}  // namespace qoro::test::info
