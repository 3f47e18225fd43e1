#include "client/errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qoro::client {

std::string errorName(LONG code) {
    switch (code) {
    case NOERRORS: return "NOERRORS";
    case BUSY: return "BUSY";
    case MEMORY: return "MEMORY";
    case FORMATFILE: return "FORMATFILE";
    case FORMATNOTSUPPORT: return "FORMATNOTSUPPORT";
    case OUTDRIVER: return "OUTDRIVER";
    case INPDRIVER: return "INPDRIVER";
    case MIXERDRIVER: return "MIXERDRIVER";
    case ACMDRIVER: return "ACMDRIVER";
    case FILEACCESS: return "FILEACCESS";
    case INVALIDOPERATION: return "INVALIDOPERATION";
    case INVALIDPARAM: return "INVALIDPARAM";
    case ASPIDRIVER: return "ASPIDRIVER";
    default: return "error " + std::to_string(code);
    }
}

std::string errorWords(LONG code) {
    switch (code) {
    case NOERRORS: return {};
    case BUSY: return "the object is busy with another file";
    case MEMORY: return "out of memory";
    case FORMATFILE: return "not an audio file of this type";
    case FORMATNOTSUPPORT: return "this format is not supported";
    case OUTDRIVER: return "no audio output device";
    case INPDRIVER: return "no audio input device";
    case MIXERDRIVER: return "no audio mixer";
    case ACMDRIVER: return "no codec converts this format";
    case FILEACCESS: return "the file cannot be read or written";
    case INVALIDOPERATION: return "not possible at this point";
    case INVALIDPARAM: return "a value is out of range";
    case ASPIDRIVER: return "no CD drive driver";
    default: return "failed with error " + std::to_string(code);
    }
}

std::string hresultWords(HRESULT hr) {
    switch (hr) {
    case HRESULT_DISK_FULL: return std::strerror(ENOSPC);
    case E_ACCESSDENIED: return std::strerror(EACCES);
    case HRESULT_FILE_NOT_FOUND: return std::strerror(ENOENT);
    case HRESULT_PATH_NOT_FOUND: return std::strerror(ENOTDIR);
    case HRESULT_WRITE_FAULT:
    case HRESULT_READ_FAULT: return std::strerror(EIO);
    case E_OUTOFMEMORY: return std::strerror(ENOMEM);
    default: return {};
    }
}

void clearErrorInfo() { SetErrorInfo(0, nullptr); }

std::string unreadableFileCause(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    if (S_ISREG(st.st_mode) && st.st_size == 0) return "the file is empty";
    return {};
}

std::string uncreatableFileCause(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

}  // namespace qoro::client
