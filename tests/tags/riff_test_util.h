// Test-side views of RIFF and Ogg files, written apart from the code under
// test: a chunk lister and chunk builder for WAV files, an Ogg page lister
// with its own checksum, and running a function with writes failing past a
// file size (the way they fail on a full disk).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "test_support.h"

// A tag write that must succeed, with the reason when it does not.
#define ASSERT_WRITES(expr)                         \
    do {                                            \
        const std::error_code wroteEc = (expr);     \
        ASSERT_FALSE(wroteEc) << wroteEc.message(); \
    } while (0)

namespace qoro::test::riffutil {

using Bytes = std::vector<uint8_t>;

uint32_t le32(const Bytes& b, size_t at);
std::string u32(uint32_t v);
std::string u16(uint16_t v);

// A chunk: header, content and pad byte as given (an odd one gets a zero pad).
std::string chunk(const std::string& id, const std::string& content);
std::string list(const std::string& type, const std::string& entries);

struct Chunk {
    std::string id;
    std::string type;     // of a "LIST"
    uint64_t offset = 0;  // of the header
    uint32_t size = 0;
    std::string bytes;  // header, content and the pad byte when the file has it
    std::string content() const { return bytes.substr(8, size); }
};

struct RiffView {
    bool riff = false;  // "RIFF" ... "WAVE"
    uint32_t riffSize = 0;
    std::vector<Chunk> chunks;
    uint64_t end = 0;  // where the last whole chunk ends
};

// The top-level chunks of a RIFF "WAVE" file (chunks walked up to the end of
// the file, whatever the RIFF size says).
RiffView listChunks(const Bytes& file);
// The sub-chunks of a "LIST" chunk's content.
std::vector<Chunk> subChunks(const Chunk& list);
// Chunks with the given id (and list type, when given).
std::vector<Chunk> chunksOf(const RiffView& v, const std::string& id, const std::string& type = "");
// The chunks of a file without those of the tags the object writes ("LIST"
// "INFO", "DISP" of type 1, "cue ", "LIST" "adtl") and without "JUNK" that
// holds only zeros.
std::vector<Chunk> otherChunks(const RiffView& v);

// A file from its chunks (the RIFF size is set).
Bytes wave(const std::vector<std::string>& chunks);
// The file with 'before' inserted in front of its "data" chunk and 'after'
// appended at its end (RIFF size set).
Bytes withChunks(const Bytes& file, const std::string& before, const std::string& after);

// Ogg pages as stored.
struct OggPage {
    uint8_t flags = 0;
    int64_t granule = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    bool checksumOk = false;
    std::string lacing;
    std::string body;
};
// Every page of the file, in order; false when bytes that are no page stand
// between them.
bool listPages(const Bytes& file, std::vector<OggPage>& pages);
// The number of pages the three Vorbis header packets take at the start.
size_t headerPageCount(const std::vector<OggPage>& pages);

// Runs fn while writes that would make a file larger than 'limit' bytes
// fail (the process's file size limit; the signal it raises is ignored).
void withFileSizeLimit(uint64_t limit, const std::function<void()>& fn);

// Runs a mutagen script (Debian's python3) and returns its output; a test
// failure when it fails.
std::string mutagen(const std::string& script, const std::vector<std::string>& args);

// ffmpeg's MD5 of the decoded audio ("MD5=..."), to see that the audio of a
// file stayed the same through a tag change.
std::string audioMd5(const std::filesystem::path& file);

}  // namespace qoro::test::riffutil
