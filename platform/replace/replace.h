// Safe file replace: our stand-in for the Windows ReplaceFile/MoveFileEx(MOVEFILE_WRITE_THROUGH) pair.
//
//   #include "replace/replace.h"          (target qoro_replace)
//
//   replace::Temporary out("music/song.flac");   // music/.qoro-1a2b3c4d-4711-0123456789abcdef.tmp
//   out.write(header);                            // the first failure is kept
//   out.copyFrom(old.fd(), audioStart);           // the rest of the old file
//   if (auto ec = out.commit()) ...               // ec.message(): "No space left on device"
//
// The target's name holds the old file or the complete new one, never a part
// of either, also after a crash: the new version is on the disk before it is
// renamed into place, and the rename is made durable. The temporary's name
// depends neither on the target's name (so a target of 250 bytes is no
// harder to replace than one of 5) nor on anything a user names files by,
// and nothing is ever removed that this replace did not create. Temporaries
// of a process that died before it could clean up are found by their names:
// removeStale() takes them away.
//
// Every failure is a std::error_code of the system's errno. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

namespace qoro::replace {

// A new version of the file 'target' names, built beside it under a name no user owns,
// ".qoro-<host hash>-<pid>-<random>.tmp" (fixed length whatever the target's name:
// 8 hex digits of an FNV-1a hash of the host name, the pid, 16 hex random digits from
// getrandom), created with O_EXCL (mode 0600; a clash tries another random name).
// A symbolic link 'target' is followed to its final file (the link stays a link).
//
// The temporary may also be written by name by someone else (a component's
// CreateFile, a tag rewrite of the finished file that puts a new file under
// the temporary's name): commit() takes whatever file the name holds then.
class Temporary {
public:
    explicit Temporary(const std::filesystem::path& target);
    // The same name followed by an extension (".qoro-...-<random>.tmp.flac"), for a
    // temporary that programs which choose a file's type by its extension write or
    // read by name. Only a dot and 1-16 ASCII letters, digits or '+' are taken;
    // another extension is left out.
    Temporary(const std::filesystem::path& target, std::string_view extension);
    ~Temporary();  // removes the temporary unless committed
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // False once anything has failed; error() says what.
    bool ok() const { return !error_; }
    const std::error_code& error() const { return error_; }
    // Records the caller's failure (the first one is kept).
    void fail(std::error_code ec);
    const std::filesystem::path& path() const { return path_; }      // the temporary's name
    const std::filesystem::path& target() const { return target_; }  // the file that is replaced
    int fd() const { return fd_; }                                   // open for writing

    bool write(const void* data, size_t size);
    bool write(std::span<const uint8_t> bytes) { return write(bytes.data(), bytes.size()); }
    // Copies 'length' bytes (everything to the end when UINT64_MAX) from
    // 'offset' of an open file. A source shorter than asked fails with ENODATA.
    bool copyFrom(int fd, uint64_t offset, uint64_t length = UINT64_MAX);
    // Bytes written through write and copyFrom.
    uint64_t size() const { return written_; }

    enum class Existing { Replace, Keep };
    // The old file's mode and owner (a new target: 0666 less the process umask), fsync of
    // the file, close, rename into place (Keep: an existing target fails with EEXIST and is
    // never touched), fsync of the folder. The first error of the whole replace, or none.
    // Only a regular file is replaced: a folder fails with EISDIR, any other kind with EINVAL.
    std::error_code commit(Existing existing = Existing::Replace);

private:
    std::error_code record(std::error_code ec);

    std::filesystem::path target_, path_;
    int fd_ = -1;
    uint64_t written_ = 0;
    bool created_ = false;
    bool committed_ = false;
    std::error_code error_;
};

// The final file a chain of symbolic links leads to (the first name that is
// no link, whether it exists or not); 'path' itself when it is no link or
// the chain cannot be followed.
std::filesystem::path finalTarget(const std::filesystem::path& path);

// Removes stale temporaries in 'folder': names of the forms above whose host is this
// one and whose process is gone (or whose pid now belongs to a process started after
// the file was last written), and any older than 24 hours. Never anything else.
// The number removed.
size_t removeStale(const std::filesystem::path& folder);

// Whether a file name (no folder) has the temporaries' form (with or without an extension).
bool isTemporaryName(std::string_view name);

}  // namespace qoro::replace
