// Reading the streams of an AVI file: our stand-in for the Windows AVI file
// library. Only what the audio components need: open a file, take a stream
// by type and index, its stream header, its format record, and its data by
// sample number.
//
//   #include "avifile/avifile.h"       (target qoro_avifile)
//   avifile::File avi;
//   if (!avi.open(path)) ...                               // AVIFileOpenA
//   auto audio = avi.stream(avifile::kStreamTypeAudio, 0);  // AVIFileGetStream("auds", 0)
//   if (!audio) ...
//   audio->info().length;                                   // AVIStreamInfoA
//   audio->format();                                        // AVIStreamReadFormat
//   audio->read(0, 1024, buffer);                           // AVIStreamRead
//
// A stream's samples are its blocks of info().sampleSize bytes (for PCM and
// other constant-size audio: one block-aligned sample frame) or, when the
// sample size is 0, its data chunks. Data chunks are located through the
// "idx1" index, or by walking the "movi" list when there is none. Every size
// in the file is checked against the file; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "riff/riff.h"

namespace qoro::avifile {

inline constexpr riff::FourCC kStreamTypeAudio = riff::fourcc("auds");
inline constexpr riff::FourCC kStreamTypeVideo = riff::fourcc("vids");

// The stream header "strh" (AVISTREAMINFO).
struct StreamInfo {
    riff::FourCC type = 0;     // fccType
    riff::FourCC handler = 0;  // fccHandler
    uint32_t flags = 0;
    uint16_t priority = 0;
    uint16_t language = 0;
    uint32_t initialFrames = 0;
    uint32_t scale = 0;  // rate / scale = samples per second
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;  // in samples
    uint32_t suggestedBufferSize = 0;
    uint32_t quality = 0;
    uint32_t sampleSize = 0;  // bytes per sample, 0 = one sample per chunk
};

class File;

// One stream of an open file (PAVISTREAM). It keeps its own copy of what it
// needs, so it stays usable after the File is gone.
class Stream {
public:
    const StreamInfo& info() const { return info_; }
    // The "strf" record (WAVEFORMATEX and extra bytes for audio).
    const std::vector<uint8_t>& format() const { return format_; }
    // Number of data chunks found for this stream.
    size_t chunkCount() const { return chunks_.size(); }
    // Total data bytes of the stream.
    uint64_t dataBytes() const { return totalBytes_; }

    // Reads up to 'samples' samples starting at sample 'start' into out
    // (whole samples only, as many as fit). Returns the number of samples
    // read (0 at or past the end), or -1 when the file cannot be read.
    // bytesRead receives the bytes written to out.
    int64_t read(uint64_t start, uint64_t samples, std::span<uint8_t> out, size_t* bytesRead = nullptr);
    // The stream's data bytes from byte `offset` on, as many as fit in out
    // (what read() gives for constant-size samples, without whole-sample
    // rounding). Returns the bytes copied (fewer at the end of the data), or
    // -1 when the file cannot be read.
    int64_t readBytes(uint64_t offset, std::span<uint8_t> out);

private:
    friend class File;
    struct ChunkRef {
        uint64_t offset = 0;  // file offset of the data
        uint32_t size = 0;
        uint64_t firstByte = 0;  // stream byte offset of the chunk's first byte
    };
    std::string path_;
    StreamInfo info_;
    std::vector<uint8_t> format_;
    std::vector<ChunkRef> chunks_;
    uint64_t totalBytes_ = 0;
    std::shared_ptr<riff::File> file_;
};

// An AVI file (PAVIFILE), opened for reading.
class File {
public:
    // AVIFileOpenA (OF_READ | OF_SHARE_DENY_NONE): the file must be a RIFF
    // "AVI " form with a "hdrl" list holding at least one stream.
    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // Number of streams in the header list.
    size_t streamCount() const { return streams_.size(); }
    // AVIFileGetStream: the index-th stream of the given type (0 = any type).
    std::optional<Stream> stream(riff::FourCC type, size_t index = 0) const;
    // AVIFileRelease.
    void close();

private:
    struct StreamEntry {
        StreamInfo info;
        std::vector<uint8_t> format;
    };
    struct IndexEntry {
        riff::FourCC id = 0;
        uint32_t offset = 0;
        uint32_t size = 0;
    };
    void walkHeaderList(const riff::Chunk& hdrl);
    void walkMovi(const riff::Chunk& list, std::vector<IndexEntry>& out, uint64_t base, int depth) const;

    std::string path_;
    std::shared_ptr<riff::File> file_;
    std::vector<StreamEntry> streams_;
    std::vector<IndexEntry> index_;  // from "idx1", offsets as stored
    bool haveIndex_ = false;
    uint64_t moviOffset_ = 0;  // file offset of the "movi" list type
    riff::Chunk movi_{};
    bool haveMovi_ = false;
};

}  // namespace qoro::avifile
