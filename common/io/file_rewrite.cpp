#include "io/file_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
        case Error::Changed: return "the file was changed by someone else meanwhile";
        }
        return "unknown file error";
    }
};

std::error_code lastError() { return {errno, std::system_category()}; }

// Writes all of it at 'offset', resuming after signals and short writes.
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

std::filesystem::path writeTarget(const std::filesystem::path& path) { return replace::finalTarget(path); }

// --- Rewrite --------------------------------------------------------------------

Rewrite::Rewrite(const std::filesystem::path& path) : target_(writeTarget(path)) {
    // A file its owner made read-only is not replaced behind their back
    // (renaming over it needs only the folder's permission).
    if (::access(target_.c_str(), W_OK) != 0) {
        error_ = lastError();
        return;
    }
    temporary_.emplace(target_);
}

void Rewrite::fail(std::error_code ec) {
    if (temporary_)
        temporary_->fail(ec);
    else if (!error_)
        error_ = ec;
}

bool Rewrite::write(const void* data, size_t size) { return temporary_ && !error_ && temporary_->write(data, size); }

bool Rewrite::copyFrom(int fd, uint64_t offset, uint64_t length) {
    if (!temporary_ || error_) return false;
    if (temporary_->copyFrom(fd, offset, length)) return true;
    // The file ends before its own structure said it would.
    if (temporary_->error() == std::errc::no_message_available) error_ = make_error_code(Error::Damaged);
    return false;
}

std::error_code Rewrite::commit() {
    if (error_) return error_;
    return temporary_->commit();
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

// --- overwrite ------------------------------------------------------------------

namespace {

// True when the file holds 'bytes' at 'offset'.
bool holds(int fd, uint64_t offset, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> block(std::min<size_t>(bytes.size(), size_t{1} << 16));
    for (size_t done = 0; done < bytes.size();) {
        const size_t n = std::min(block.size(), bytes.size() - done);
        if (preadAll(fd, offset + done, block.data(), n) != n ||
            !std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n), bytes.begin() + done))
            return false;
        done += n;
    }
    return true;
}

}  // namespace

std::error_code overwrite(const std::filesystem::path& path, const Reader& in, uint64_t offset,
                          std::span<const uint8_t> old, std::span<const uint8_t> bytes) {
    if (old.size() != bytes.size()) return std::make_error_code(std::errc::invalid_argument);
    const auto first = std::mismatch(bytes.begin(), bytes.end(), old.begin()).first;
    if (first == bytes.end()) return {};
    const size_t from = static_cast<size_t>(first - bytes.begin());
    size_t to = bytes.size();
    while (bytes[to - 1] == old[to - 1]) --to;

    const std::filesystem::path target = writeTarget(path);
    if (::access(target.c_str(), W_OK) != 0) return lastError();
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return lastError();
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat now {};
    struct stat was {};
    if (::fstat(fd, &now) != 0 || ::fstat(in.fd(), &was) != 0) return lastError();
    if (S_ISDIR(now.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    if (!S_ISREG(now.st_mode)) return make_error_code(Error::Damaged);
    // Nobody put another file in its place, changed its length or the bytes
    // the new ones were made from since the caller read them.
    if (now.st_dev != was.st_dev || now.st_ino != was.st_ino || static_cast<uint64_t>(now.st_size) != in.size() ||
        offset > in.size() || in.size() - offset < old.size() || !holds(fd, offset, old))
        return make_error_code(Error::Changed);

    if (auto ec = pwriteAll(fd, offset + from, bytes.data() + from, to - from)) {
        [[maybe_unused]] auto ignored = pwriteAll(fd, offset + from, old.data() + from, to - from);
        return ec;
    }
    if (::fsync(fd) != 0) return lastError();
    return {};
}

}  // namespace qoro::io
