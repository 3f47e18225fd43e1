#include "io/file_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qoro::io {

namespace {

class ErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "qoro.file"; }
    std::string message(int value) const override {
        switch (static_cast<Error>(value)) {
        case Error::Damaged: return "the file is damaged or is not of its type";
        case Error::TooLarge: return "the tag does not fit the file's format";
        }
        return "unknown file error";
    }
};

std::error_code lastError() { return {errno, std::system_category()}; }

// Writes all of it, resuming after signals and short writes.
std::error_code writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (n == 0) return {ENOSPC, std::system_category()};
        p += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

std::error_code pwriteAll(int fd, uint64_t offset, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (n == 0) return {ENOSPC, std::system_category()};
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return {};
}

size_t preadAll(int fd, uint64_t offset, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, p + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

uint64_t sizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

const std::error_category& category() {
    static const ErrorCategory instance;
    return instance;
}

std::error_code make_error_code(Error e) { return {static_cast<int>(e), category()}; }

std::filesystem::path writeTarget(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec))) return path;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target;
}

// --- Reader ---------------------------------------------------------------------

Reader::Reader(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0)
        error_ = lastError();
    else
        size_ = sizeOf(fd_);
}

Reader::~Reader() {
    if (fd_ >= 0) ::close(fd_);
}

size_t Reader::readAt(uint64_t offset, void* data, size_t size) {
    return fd_ < 0 ? 0 : preadAll(fd_, offset, data, size);
}

// --- Rewrite --------------------------------------------------------------------

Rewrite::Rewrite(const std::filesystem::path& path) : target_(writeTarget(path)) {
    // A file its owner made read-only is not replaced behind their back
    // (renaming over it needs only the folder's permission).
    if (::access(target_.c_str(), W_OK) != 0) {
        error_ = lastError();
        return;
    }
    temp_ = target_;
    temp_ += "~";
    ::unlink(temp_.c_str());
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) error_ = lastError();
}

Rewrite::~Rewrite() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void Rewrite::fail(std::error_code ec) {
    if (!error_) error_ = ec;
}

bool Rewrite::write(const void* data, size_t size) {
    if (error_) return false;
    if (auto ec = writeAll(fd_, data, size)) {
        error_ = ec;
        return false;
    }
    written_ += size;
    return true;
}

bool Rewrite::copyFrom(int fd, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> block(1 << 16);
    while (!error_ && length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, block.size()));
        const ssize_t n = ::pread(fd, block.data(), want, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = lastError();
            break;
        }
        if (n == 0) {
            if (length != UINT64_MAX) error_ = make_error_code(Error::Damaged);  // shorter than it said
            break;
        }
        if (!write(block.data(), static_cast<size_t>(n))) break;
        offset += static_cast<uint64_t>(n);
        if (length != UINT64_MAX) length -= static_cast<uint64_t>(n);
    }
    return !error_;
}

std::error_code Rewrite::commit() {
    if (error_) return error_;
    // The new file takes the old one's permissions and owner. Changing the
    // owner needs privileges a user may lack; the owner is then the user,
    // which is what writing the file would have given anyway.
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) {
        if (::fchmod(fd_, st.st_mode & 07777) != 0) return error_ = lastError();
        if (::fchown(fd_, st.st_uid, st.st_gid) != 0 && errno != EPERM) return error_ = lastError();
    } else if (errno != ENOENT) {
        return error_ = lastError();
    }
    if (::fsync(fd_) != 0) return error_ = lastError();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return error_ = lastError();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return error_ = lastError();
    committed_ = true;
    return {};
}

// --- InPlace --------------------------------------------------------------------

InPlace::InPlace(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    if (fd_ < 0)
        error_ = lastError();
    else
        originalSize_ = sizeOf(fd_);
}

InPlace::~InPlace() {
    if (fd_ < 0) return;
    if (!committed_) rollBack();
    ::close(fd_);
}

void InPlace::rollBack() {
    if (fd_ >= 0 && sizeOf(fd_) != originalSize_) {
        [[maybe_unused]] int ignored = ::ftruncate(fd_, static_cast<off_t>(originalSize_));
    }
}

void InPlace::fail(std::error_code ec) {
    if (!error_) error_ = ec;
}

size_t InPlace::readAt(uint64_t offset, void* data, size_t size) {
    return fd_ < 0 ? 0 : preadAll(fd_, offset, data, size);
}

bool InPlace::writeAt(uint64_t offset, const void* data, size_t size) {
    if (error_) return false;
    if (auto ec = pwriteAll(fd_, offset, data, size)) error_ = ec;
    return !error_;
}

bool InPlace::truncate(uint64_t length) {
    if (error_) return false;
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) error_ = lastError();
    return !error_;
}

std::error_code InPlace::commit() {
    if (!error_ && ::fsync(fd_) != 0) error_ = lastError();
    if (error_) {
        rollBack();
        return error_;
    }
    committed_ = true;
    return {};
}

}  // namespace qoro::io
