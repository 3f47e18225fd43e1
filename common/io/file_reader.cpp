#include "io/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qoro::io {

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

Reader::Reader(const std::filesystem::path& path, Accept accept) {
    const bool regularOnly = accept == Accept::RegularFiles;
    // Non-blocking when only regular files are taken, so that opening a pipe
    // without a writer does not wait (reads of a regular file never block).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NOCTTY | O_NONBLOCK : 0));
    if (fd < 0) {
        error_ = {errno, std::system_category()};
        return;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (regularOnly && (!stated || !S_ISREG(st.st_mode) || st.st_size < 0)) {
        error_ =
            stated ? std::make_error_code(std::errc::invalid_argument) : std::error_code(errno, std::system_category());
        ::close(fd);
        return;
    }
    fd_ = fd;
    size_ = stated ? static_cast<uint64_t>(st.st_size) : 0;
}

Reader::~Reader() {
    if (fd_ >= 0) ::close(fd_);
}

size_t Reader::readAt(uint64_t offset, void* data, size_t size) const {
    return fd_ < 0 ? 0 : preadAll(fd_, offset, data, size);
}

}  // namespace qoro::io
