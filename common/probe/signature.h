// What a file is by its first bytes: the one table of file kinds that both
// components recognise by signature, and the probe that finds a file's kind.
// A kind found in a file its reader does not read is refused in words that
// name it, instead of the file being taken for something it is not (a
// compressed stream read as raw samples).
//
//   #include "probe/signature.h"                 (target qoro_common_probe)
//   const probe::Kind kind = probe::identify(path);     // Kind::None: no known signature
//   if (kind != probe::Kind::None) why = probe::refusal(kind);
//       // "an MP4/AAC file: this format is not supported", "a JPEG image, not an audio file"
//   probe::refusal(probe::Kind::Flac, "a WAV file")     // "a FLAC file, not a WAV file"
//   for (const probe::KindInfo& row : probe::kinds()) ...   // name, sound or not, usual extensions
//
// Leading ID3v2 tags (several in a row too) are passed over and the bytes
// after them probed. Two-byte frame syncs (AC-3, ADTS AAC) count only when
// the frame length their header gives lands on the next sync, or on the end
// of the file, so samples that merely begin with those bytes are no match.
// Every read is a few hundred bytes at most; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "io/file_reader.h"

namespace qoro::probe {

// The kinds, in the order of the table (the first row that matches wins).
enum class Kind : uint8_t {
    None = 0,  // no known signature
    Mp4,
    Aiff,
    MonkeysAudio,
    WavPack,
    Flac,
    OggVorbis,
    OggOpus,
    OggFlac,
    OggSpeex,
    Ogg,  // an Ogg stream of any other codec
    Musepack8,
    Tta,
    Dsf,
    Dsdiff,
    SunAu,
    Asf,
    Avi,
    RiffOther,  // a "RIFF" form other than "WAVE" and "AVI "
    Ac3,
    Adts,
    Matroska,  // Matroska and WebM
    Jpeg,
    Png,
    Gif,
    Pdf,
    Zip,
};

// Bytes of a file or of memory, read by position.
class ByteSource {
public:
    virtual uint64_t size() const = 0;
    // Up to 'n' bytes at 'offset' into 'out'; the count read (short at the end).
    virtual size_t readAt(uint64_t offset, uint8_t* out, size_t n) const = 0;

protected:
    ~ByteSource() = default;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    size_t readAt(uint64_t offset, uint8_t* out, size_t n) const override;

private:
    std::span<const uint8_t> bytes_;
};

// A regular file opened read-only; anything else (missing, a folder, a pipe
// or a device, which a read could wait on for ever) reads as empty.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string& path);

    bool ok() const { return file_.ok(); }
    uint64_t size() const override { return file_.size(); }
    size_t readAt(uint64_t offset, uint8_t* out, size_t n) const override;

private:
    io::Reader file_;
};

// The most one step of the probe reads.
inline constexpr size_t kMaxRead = 320;

// What the probe reads from the start of its window (after the ID3v2 tags):
// 'bytes' (up to kMaxRead of them) at 'offset' of 'source'. A signature test
// that needs more (the next frame of a stream) reads it from the source.
struct Window {
    std::span<const uint8_t> bytes;
    const ByteSource& source;
    uint64_t offset = 0;
};

struct KindInfo {
    Kind kind;
    std::string_view name;  // in words, for messages: "an MP4/AAC file", "a JPEG image"
    bool audio;             // it holds sound, whether or not this system reads it
    // The extensions files of the kind usually carry, lower case, without
    // the dot, the most usual first; an extension belongs to one row at most.
    std::span<const std::string_view> extensions;
    bool (*matches)(const Window& window);  // the signature test
};

// Every row, in the order of Kind (None has no row).
std::span<const KindInfo> kinds();
// The row of a kind; nullptr for Kind::None.
const KindInfo* info(Kind kind);

// The kind of the bytes; Kind::None when no signature is known.
Kind identify(const ByteSource& source);
Kind identify(std::span<const uint8_t> bytes);
// The kind of a file by name; Kind::None also when it cannot be read.
Kind identify(const std::string& path);

// Why a file of this kind is not read, in words: "a JPEG image, not an audio
// file" for kinds without sound, "an MP4/AAC file: this format is not
// supported" for the others. With 'readAs' (what the caller was to read, "a
// WAV file"), a kind with sound is "a FLAC file, not a WAV file". Empty for
// Kind::None.
std::string refusal(Kind kind, std::string_view readAs = {});

}  // namespace qoro::probe
