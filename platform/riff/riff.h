// Buffered file I/O with RIFF chunk navigation: our stand-in for the Windows
// multimedia file functions (mmio*). The same walk reads and writes the
// big-endian "FORM" files of AIFF and AIFF-C: a chunk found at the top level
// with the id "FORM" has big-endian sizes, and so has every chunk in it.
//
//   #include "riff/riff.h"          (target qoro_riff)
//
//   riff::File f;
//   if (f.open(path, riff::Mode::Read) != riff::Status::Ok) ...
//   riff::Chunk form;  form.formType = riff::fourcc("WAVE");
//   if (f.descend(form, nullptr, riff::Find::Riff) != riff::Status::Ok) ...  // not a WAV
//   riff::Chunk ck;
//   while (f.descend(ck, &form, riff::Find::Next) == riff::Status::Ok) {
//       if (!ck.endsWithin(form)) break;             // reaches beyond the form
//       ... f.read(...) ...
//       f.ascend(ck);                                // to the end incl. pad byte
//   }
//
// The parts of a WAVE file, whatever its sizes say (see locateWave):
//   riff::WaveLayout w;
//   if (riff::locateWave(f, w) == riff::Status::Ok && w.hasData) ... w.data.dataOffset, w.dataSize
//
// Writing:
//   f.open(path, riff::Mode::Create);
//   riff::Chunk form; form.formType = riff::fourcc("WAVE");
//   f.createChunk(form, riff::Create::Riff);
//   riff::Chunk fmt; fmt.id = riff::fourcc("fmt ");
//   f.createChunk(fmt); f.write(&wfx, 18); f.ascend(fmt);      // size patched
//   ... f.ascend(form); f.close();
//
// Offsets are 64-bit; chunk sizes are the 32-bit values of the file format.
// Nothing here throws; every call reports a Status (or -1 for byte counts).
// A chunk header that lies (size beyond its parent or the file) is reported
// as it stands: callers decide with Chunk::endsWithin(); reads past the end
// of the file simply come back short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qoro::riff {

// A four-character code, first character in the lowest byte (as stored in the file).
using FourCC = uint32_t;

constexpr FourCC makeFourCC(char a, char b, char c, char d) {
    return static_cast<FourCC>(static_cast<uint8_t>(a)) | (static_cast<FourCC>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<FourCC>(static_cast<uint8_t>(c)) << 16) | (static_cast<FourCC>(static_cast<uint8_t>(d)) << 24);
}

// Compile-time code from a 4-character literal: fourcc("WAVE").
consteval FourCC fourcc(const char (&s)[5]) { return makeFourCC(s[0], s[1], s[2], s[3]); }

// mmioStringToFOURCCA: the first four characters of text, padded with blanks;
// toUpper folds a-z to A-Z (MMIO_TOUPPER).
FourCC stringToFourCC(std::string_view text, bool toUpper = false);
// The four characters of a code ("fmt ").
std::string fourCCToString(FourCC code);

inline constexpr FourCC kRiff = makeFourCC('R', 'I', 'F', 'F');
inline constexpr FourCC kList = makeFourCC('L', 'I', 'S', 'T');
// The big-endian form of AIFF and AIFF-C files (form types "AIFF", "AIFC").
inline constexpr FourCC kForm = makeFourCC('F', 'O', 'R', 'M');
// The 64-bit form of a WAVE file (EBU Tech 3306): "RF64", its sizes in "ds64".
inline constexpr FourCC kRf64 = makeFourCC('R', 'F', '6', '4');
// A 32-bit size its writer could not fill in (written to a pipe) or that
// stands for a 64-bit one in "ds64".
inline constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;

// Results (the MMIOERR_* values of the Windows functions).
enum class Status : int {
    Ok = 0,         // MMSYSERR_NOERROR
    CannotOpen,     // MMIOERR_CANNOTOPEN: the file cannot be opened or created
    CannotRead,     // MMIOERR_CANNOTREAD
    CannotWrite,    // MMIOERR_CANNOTWRITE: write or flush failed, or file opened read-only
    CannotSeek,     // MMIOERR_CANNOTSEEK
    CannotExpand,   // MMIOERR_CANNOTEXPAND: a chunk would grow beyond 4 GiB
    ChunkNotFound,  // MMIOERR_CHUNKNOTFOUND: no such chunk before the end of the parent / file
    CannotClose,    // MMIOERR_CANNOTCLOSE
    NotOpen,        // MMSYSERR_INVALHANDLE: no file is open
};
const char* statusText(Status status);

enum class Mode {
    Read,       // existing file, reading only (MMIO_READ)
    ReadWrite,  // existing file, reading and writing in place (MMIO_READWRITE)
    Create,     // new or truncated file, reading and writing (MMIO_CREATE | MMIO_READWRITE)
};

// Origin of File::seek (SEEK_SET / SEEK_CUR / SEEK_END).
enum class Origin { Begin, Current, End };

// How File::descend searches (the MMIO_FIND* flags; none = the next chunk).
enum class Find {
    Next,   // the next chunk, whatever it is
    Chunk,  // the next chunk whose id is Chunk::id (MMIO_FINDCHUNK)
    Riff,   // the next "RIFF" chunk whose form type is Chunk::formType (MMIO_FINDRIFF)
    List,   // the next "LIST" chunk whose list type is Chunk::formType (MMIO_FINDLIST)
    Form,   // the next "FORM" chunk whose form type is Chunk::formType
};

// What File::createChunk writes (MMIO_CREATERIFF / MMIO_CREATELIST / plain;
// Form: a big-endian "FORM" chunk).
enum class Create { Chunk, Riff, List, Form };

// A chunk record (MMCKINFO).
struct Chunk {
    FourCC id = 0;            // ckid
    uint32_t size = 0;        // cksize: bytes of data, form type included for RIFF/LIST
    FourCC formType = 0;      // fccType: form or list type of "RIFF"/"LIST", else 0
    uint64_t dataOffset = 0;  // dwDataOffset: file offset of the data (of the form type for RIFF/LIST)
    bool dirty = false;       // MMIO_DIRTY: ascend() rewrites the size (set by createChunk)
    bool bigEndian = false;   // the size is stored big-endian (a "FORM" file's chunks);
                              // set by descend, and by the caller of createChunk for a
                              // plain chunk inside a "FORM"

    // File offset just past the data, before any pad byte.
    uint64_t dataEnd() const { return dataOffset + size; }
    // File offset of the next chunk (pad byte of an odd size included).
    uint64_t nextOffset() const { return dataOffset + size + (size & 1u); }
    // True when the chunk's data ends within the parent's data
    // (dataOffset + size <= parent.dataOffset + parent.size).
    bool endsWithin(const Chunk& parent) const { return dataEnd() <= parent.dataEnd(); }
    bool isForm() const { return id == kRiff || id == kList || id == kForm; }
};

// File::error() for a path that names something other than a regular file
// or a directory (a device, a pipe, a socket).
inline constexpr int kNotRegularFile = -1;

// A buffered file (HMMIO). Movable, not copyable; the destructor closes the
// file (flushing, errors ignored: call close() to see them).
class File {
public:
    // Size of the internal buffer unless open() is told otherwise.
    static constexpr size_t kDefaultBuffer = 64 * 1024;

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // mmioOpenA. Read and ReadWrite need an existing regular file; Create makes
    // or truncates one. A bufferSize of 0 takes the default.
    Status open(const std::string& path, Mode mode, size_t bufferSize = 0);
    // mmioClose: flushes and closes. Closing a file that is not open is Ok.
    Status close();
    bool isOpen() const { return fd_ >= 0; }
    Mode mode() const { return mode_; }

    // mmioRead: up to n bytes at the current position; the number read
    // (0 at the end of the file), or -1 on a failure.
    int64_t read(void* data, size_t n);
    // Reads exactly n bytes; false (position unspecified) when fewer are there.
    bool readExact(void* data, size_t n) { return n == 0 || read(data, n) == static_cast<int64_t>(n); }
    // mmioWrite: n bytes at the current position (extending the file as needed);
    // n, or -1 on a failure (read-only file, disk full, ...).
    int64_t write(const void* data, size_t n);
    bool writeExact(const void* data, size_t n) { return n == 0 || write(data, n) == static_cast<int64_t>(n); }
    // mmioSeek: the new position, or -1 (negative result, no file). Seeking
    // beyond the end is allowed; a later write fills the gap with zeros.
    int64_t seek(int64_t offset, Origin origin = Origin::Begin);
    // mmioFlush: writes the buffered bytes to the file.
    Status flush();

    uint64_t position() const { return pos_; }
    // Length of the file including bytes still in the buffer.
    uint64_t size() const { return fileSize_; }
    // The system error number (errno) of the most recent call that failed
    // for a reason the system gave: ENOENT or EACCES from open, EISDIR for a
    // directory, ENOSPC from a write, EIO from a read or close... 0 when no
    // failure had one; kNotRegularFile when open() met a device or a pipe.
    // Kept across close(), so a failed close can be told.
    int error() const { return error_; }

    // mmioDescend: searches from the current position for the chunk that `how`
    // asks for (its id or form type taken from ck), within parent's data when
    // a parent is given, else up to the end of the file. On success ck holds
    // the chunk, dirty is false, and the position is at the start of its data
    // (after the form type of a RIFF/LIST chunk). ChunkNotFound when no such
    // chunk starts before the end, or a header is truncated.
    Status descend(Chunk& ck, const Chunk* parent = nullptr, Find how = Find::Next);
    // mmioAscend: when ck is dirty, its size becomes position - dataOffset,
    // an odd size gets a zero pad byte at the position, and the size field is
    // rewritten; then the position moves to ck.nextOffset(). ck.size and
    // dirty are updated.
    Status ascend(Chunk& ck);
    // mmioCreateChunk: writes a chunk header (id, ck.size, and for RIFF/LIST
    // the form type) at the current position; ck.id is set for Riff/List,
    // dataOffset is filled in, and the chunk is marked dirty so that
    // ascend() patches its size. The position ends after the header.
    Status createChunk(Chunk& ck, Create how = Create::Chunk);

private:
    Status flushBuffer();
    Status fillBuffer(uint64_t at);
    void reset();

    int fd_ = -1;
    Mode mode_ = Mode::Read;
    std::string path_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t capacity_ = 0;
    uint64_t bufStart_ = 0;  // file offset of buf_[0]
    size_t bufValid_ = 0;    // bytes of buf_ holding file contents
    size_t dirtyBegin_ = 0;  // buf_[dirtyBegin_, dirtyEnd_) not yet written
    size_t dirtyEnd_ = 0;
    uint64_t pos_ = 0;
    uint64_t fileSize_ = 0;
    bool writeFailed_ = false;
    int error_ = 0;
};

// The system's words for an error number ("No space left on device"),
// "not a regular file" for kNotRegularFile; empty for 0.
std::string errorText(int error);

// Why the file at `path` cannot be read as a file, in words: the system's
// reason when it cannot be opened for reading ("No such file or directory",
// "Permission denied", "Is a directory"), "not a regular file" for devices
// and pipes, "the file is empty" for a file of no bytes. Empty when it can
// be opened and holds bytes (its content is then what is wrong).
std::string unreadableReason(const std::string& path);

// Where the parts of a WAVE file lie, as far as the file really holds them.
// Files written to a pipe leave their sizes at 0xFFFFFFFF (ffmpeg) or at a
// value that wrapped around 4 GiB (sox); downloads cut short keep sizes that
// promise more than is there. Their samples are the bytes from the "data"
// chunk's start to the end of the file.
struct WaveLayout {
    Chunk form;  // the "RIFF" or "RF64" form ("WAVE"); size as stored
    bool rf64 = false;
    bool hasFormat = false;
    Chunk format;  // the first "fmt " chunk, whole within the file
    bool hasFact = false;
    Chunk fact;  // the first "fact" chunk, whole within the file
    bool hasData = false;
    Chunk data;               // the first "data" chunk, size as stored
    uint64_t dataSize = 0;    // bytes of samples the file holds
    bool dataToEnd = false;   // the stored size was unknown or beyond the file: the samples run to its end
    bool dataIsLast = false;  // nothing but a pad byte follows the samples
    bool sizesStale = false;  // the stored RIFF or "data" size is not what the file holds
};

// Walks the first "RIFF"/"RF64" form of type "WAVE" in the file: its
// chunks in order up to the end of the form, the first "fmt ", "fact" and
// "data" chunks. Rules:
//  - a chunk other than "data" ends the walk when it reaches beyond the form
//    or the file;
//  - a "data" chunk whose size is 0xFFFFFFFF (in "RF64": the "ds64" size,
//    unless that was never filled in) or more than the file holds runs to
//    the end of the file, and the walk ends there;
//  - a "data" chunk may reach beyond the form's end (a RIFF size that
//    wrapped); when the form ends before any "data" chunk, the walk goes on
//    over the chunks that follow it up to the end of the file;
//  - a RIFF size of 0xFFFFFFFF is taken as "up to the end of the file".
// ChunkNotFound when the file holds no such form, or an "RF64" form has no
// readable "ds64" chunk first. Absent "fmt "/"data" chunks are reported in
// the layout, not as a failure. The position afterwards is unspecified.
// (No Windows call of its own: the walk a WAVE reader makes with
// mmioDescend, with the rules above for sizes that lie.)
Status locateWave(File& file, WaveLayout& layout);

// Exactly n bytes at an absolute offset; false when the file holds fewer.
using ReadExactAt = std::function<bool(uint64_t at, void* data, size_t n)>;
// The same walk over a file of `fileSize` bytes read some other way (a
// descriptor shared with other readers of the file).
Status locateWave(uint64_t fileSize, const ReadExactAt& readAt, WaveLayout& layout);

}  // namespace qoro::riff
