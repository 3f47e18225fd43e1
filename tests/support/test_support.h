// Helpers shared by every test suite: temporary folders, running the reference
// tools, reading and writing whole files, comparing sample streams.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace qoro::test {

namespace fs = std::filesystem;

// A fresh folder under the system temp folder, removed with everything in it
// when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs a shell command and collects what it printed.
CommandResult run(const std::string& command);

// True when the program is on PATH (a reference tool such as ffmpeg or sox).
bool haveTool(const std::string& program);

// haveTool, and a test failure naming the program when it is missing: for a
// check that is only a part of a test.
bool requireTool(const std::string& program);

// The first of the programs that is not on PATH, or "" when all are.
std::string missingTool(std::initializer_list<const char*> programs);

// Runs a Python script with Debian's python3 (/usr/bin/python3, which has
// python3-mutagen, the tag oracle; a python3 earlier on PATH may lack it).
// The arguments reach the script as sys.argv[1:].
CommandResult python(const std::string& script, const std::vector<std::string>& args = {});

// Fails the current test (and returns) when Debian's python3 cannot import mutagen.
#define QORO_REQUIRE_MUTAGEN()                                                                      \
    do {                                                                                            \
        if (::qoro::test::python("import mutagen").exitCode != 0)                                   \
            GTEST_FAIL() << "python3-mutagen is not installed (bash scripts/setup.sh installs it)"; \
    } while (0)

// Quotes a path or word for the shell.
std::string shellQuote(const std::string& text);
// A command line with every IN and OUT replaced by the quoted paths.
std::string withPaths(std::string command, const fs::path& in, const fs::path& out);

// 32-bit samples as sox and ffmpeg decode to them ("-t s32", "-f s32le": 24-bit
// values left-justified) shifted right by 8, as a 24-bit array holds them;
// `left` shifts the other way.
std::vector<uint8_t> justified24(std::vector<uint8_t> bytes, bool left = false);

std::vector<uint8_t> readBytes(const fs::path& file);
void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes);

// 16-bit little-endian samples, as headerless files from ffmpeg/sox ("-f s16le").
std::vector<int16_t> readPcm16(const fs::path& file);
void writePcm16(const fs::path& file, const std::vector<int16_t>& samples);

// Path of a third-party sample file under tests/data.
fs::path testdata(const std::string& relative);

// Path of a program or library in the build's bin folder.
fs::path binPath(const std::string& name);

// A test signal: a sum of two sines with a little noise, interleaved channels.
std::vector<int16_t> testSignal(int rate, int channels, int frames, double amplitude = 0.5);

// A minimal canonical PCM WAV file (44-byte header) around interleaved samples.
void writeWav16(const fs::path& file, int rate, int channels, const std::vector<int16_t>& samples);

struct Difference {
    size_t compared = 0;
    int maxAbs = 0;
    double rms = 0.0;
};
// Compares the common length of two sample streams, b shifted by 'offset'
// samples (b[i + offset] against a[i]).
Difference compare(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long offset = 0);

// Signal-to-noise ratio in dB of 'degraded' against 'original' (common length).
double snrDb(const std::vector<int16_t>& original, const std::vector<int16_t>& degraded, long offset = 0);

// The vtable slot a pointer to a virtual member function designates (Itanium
// C++ ABI: the pointer holds 1 + the byte offset of the slot); -1 for a
// member that is not virtual. Pins the slots of the public interfaces.
template <class F>
long vtableSlot(F member) {
    static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
    if ((words[0] & 1) == 0) return -1;
    return static_cast<long>((words[0] - 1) / sizeof(void*));
}

}  // namespace qoro::test

// Fails the current test (and returns from it) when a reference tool it calls
// is not installed. scripts/setup.sh installs every tool the tests call, so a
// missing one is a broken set-up, never a reason to pass quietly.
//   QORO_REQUIRE_TOOLS("ffmpeg", "sox");
#define QORO_REQUIRE_TOOLS(...)                                                                             \
    do {                                                                                                    \
        if (const std::string qoroMissing = ::qoro::test::missingTool({__VA_ARGS__}); !qoroMissing.empty()) \
            GTEST_FAIL() << "reference tool '" << qoroMissing                                               \
                         << "' is not installed (bash scripts/setup.sh installs it)";                       \
    } while (0)
