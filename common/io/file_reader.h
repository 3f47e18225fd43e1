// Reading a file by position: the one ranged reader of the project (the
// readers of both components, the signature probe and the rewrites copy
// through it).
//
//   io::Reader in(path);                    // read-only, by descriptor
//   in.readAt(offset, buffer, n);           // short only at the end
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace qoro::io {

// Reads up to 'size' bytes at 'offset' of an open descriptor, resuming after
// signals and short reads; the count read (short at the end or on a failure).
size_t preadAll(int fd, uint64_t offset, void* data, size_t size);

// A read-only view of a file by descriptor.
class Reader {
public:
    // What opens: whatever the system opens, or regular files only (a
    // folder, a pipe or a device, which a read could wait on for ever, then
    // reads as not open, and a pipe without a writer does not hold the open).
    enum class Accept { Anything, RegularFiles };

    explicit Reader(const std::filesystem::path& path, Accept accept = Accept::Anything);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::error_code& error() const { return error_; }
    int fd() const { return fd_; }
    uint64_t size() const { return size_; }
    // Reads up to 'size' bytes at 'offset'; the count read (short at the end).
    size_t readAt(uint64_t offset, void* data, size_t size) const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    std::error_code error_;
};

}  // namespace qoro::io
