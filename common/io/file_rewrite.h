// Safe changes to users' files.
//
//   io::Rewrite out(path);                 // a temporary beside the file (replace::Temporary)
//   out.write(header);                     // the first failure is kept
//   out.copyFrom(in.fd(), audioStart);     // the rest of the old file
//   if (auto ec = out.commit()) ...        // ec.message(): "No space left on device"
//
//   io::InPlace file(path);                // read and write, without truncating
//   file.append(tag);                      // grows the file
//   if (auto ec = file.commit()) ...       // on failure the file is cut back
//
//   io::overwrite(path, in, offset, old, head);   // a head of the same size, in place
//
// Every failure is a std::error_code: the system's errno where the system
// failed, io::Error where the file itself is at fault. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "io/file_reader.h"
#include "replace/replace.h"

namespace qoro::io {

// Failures that are the file's own, beside the system's errno values.
enum class Error {
    Damaged = 1,  // "the file is damaged or is not of its type"
    TooLarge,     // "the tag does not fit the file's format"
    Changed,      // "the file was changed by someone else meanwhile"
};
const std::error_category& category();
std::error_code make_error_code(Error e);

// The file a change to 'path' really changes: a symbolic link is followed to
// its final target (so the link stays a link and its target is rewritten).
// 'path' itself when it is no link or the link cannot be followed.
std::filesystem::path writeTarget(const std::filesystem::path& path);

// A new version of a file that exists and may be written (a file its owner
// made read-only is refused with EACCES), built in a replace::Temporary
// beside it and put in the target's place by commit() with one rename, after
// it is on the disk and has the old file's mode and owner. Until then the
// original is untouched, and no other file is ever touched ("song.flac~"
// beside "song.flac" is the user's); a Rewrite that is not committed removes
// its temporary file.
class Rewrite {
public:
    explicit Rewrite(const std::filesystem::path& path);
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;

    // False once anything has failed; error() says what.
    bool ok() const { return !error(); }
    const std::error_code& error() const { return error_ ? error_ : temporary_->error(); }
    // Records a failure found by the caller (the first one is kept).
    void fail(std::error_code ec);
    const std::filesystem::path& target() const { return target_; }

    bool write(const void* data, size_t size);
    bool write(std::span<const uint8_t> bytes) { return write(bytes.data(), bytes.size()); }
    // Copies 'length' bytes (everything to the end when UINT64_MAX) from
    // 'offset' of an open file. A source shorter than asked is Damaged.
    bool copyFrom(int fd, uint64_t offset, uint64_t length = UINT64_MAX);
    // Bytes written so far.
    uint64_t size() const { return temporary_ ? temporary_->size() : 0; }

    // Flushes, copies the old file's mode and owner, and renames the new
    // file over the target. The first error of the whole rewrite, or none.
    std::error_code commit();

private:
    std::filesystem::path target_;
    std::optional<replace::Temporary> temporary_;  // none when refused
    std::error_code error_;                        // a failure before or beside the temporary's own
};

// A change made in the file itself (a tag overwritten or appended at the
// end). The original length is remembered: when the change fails or is not
// committed, the file is cut back to it, so a failed append leaves the file
// as it was.
class InPlace {
public:
    explicit InPlace(const std::filesystem::path& path);
    ~InPlace();
    InPlace(const InPlace&) = delete;
    InPlace& operator=(const InPlace&) = delete;

    bool ok() const { return !error_; }
    const std::error_code& error() const { return error_; }
    void fail(std::error_code ec);
    int fd() const { return fd_; }
    uint64_t originalSize() const { return originalSize_; }

    size_t readAt(uint64_t offset, void* data, size_t size);
    bool writeAt(uint64_t offset, const void* data, size_t size);
    bool writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
        return writeAt(offset, bytes.data(), bytes.size());
    }
    // Sets the length (shortening drops the bytes after it).
    bool truncate(uint64_t length);

    // Flushes the change to the disk. The first error, or none; on an error
    // the file is cut back to its original length.
    std::error_code commit();

private:
    void rollBack();
    int fd_ = -1;
    uint64_t originalSize_ = 0;
    bool committed_ = false;
    std::error_code error_;
};

// Puts 'bytes' in the place of 'old' at 'offset' of the file 'in' reads
// (opened from 'path'), in the file itself: it keeps its inode and hard links
// (a symbolic link's target is written, as by Rewrite) and every byte outside
// that range. 'old' is what the caller read there and based 'bytes' on; both
// are as long. Only the bytes from the first to the last that differ are
// written, with one write, and the file is then flushed to the disk; when
// none differ nothing is written. Refused with nothing written: a file its
// owner made read-only (EACCES, as Rewrite), one that is no regular file, and
// io::Error::Changed when the file is no longer the one 'in' opened, has
// another length or no longer holds 'old' there. When the write itself fails
// the old bytes are put back as far as the system lets.
std::error_code overwrite(const std::filesystem::path& path, const Reader& in, uint64_t offset,
                          std::span<const uint8_t> old, std::span<const uint8_t> bytes);

}  // namespace qoro::io

template <>
struct std::is_error_code_enum<qoro::io::Error> : std::true_type {};
