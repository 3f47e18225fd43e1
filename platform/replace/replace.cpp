#include "replace/replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qoro::replace {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = ".qoro-";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kHostDigits = 8, kRandomDigits = 16, kMaxPidDigits = 10, kMaxExtension = 16;
// A temporary this old is stale whoever made it: no replace takes a day
// without writing a byte.
constexpr time_t kStaleAge = 24 * 60 * 60;
// A process's start time is known to about a second (the boot time is in
// whole seconds); a pid is taken for a new process only beyond this.
constexpr time_t kStartSlack = 2;

std::error_code lastError() { return {errno, std::system_category()}; }
std::error_code systemError(int value) { return {value, std::system_category()}; }

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// FNV-1a (32 bits) of the host name: which machine made a temporary, for
// folders that several machines share.
uint32_t hostHash() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    uint32_t hash = 2166136261u;
    for (const char* p = name; *p; ++p) hash = (hash ^ static_cast<uint8_t>(*p)) * 16777619u;
    return hash;
}

uint64_t randomBits() {
    uint64_t value = 0;
    for (;;) {
        const ssize_t n = ::getrandom(&value, sizeof value, 0);
        if (n == static_cast<ssize_t>(sizeof value)) return value;
        if (n < 0 && errno != EINTR) break;
    }
    // No kernel randomness: the clock and a counter, mixed (splitmix64). A
    // clash is harmless anyway: O_EXCL refuses it and another name is tried.
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t z = static_cast<uint64_t>(now.tv_sec) * 1000000007u + static_cast<uint64_t>(now.tv_nsec) +
                 (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15u + static_cast<uint64_t>(::getpid());
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::string temporaryName(uint32_t host, pid_t pid, uint64_t random, std::string_view extension) {
    char name[64];
    std::snprintf(name, sizeof name, ".qoro-%08x-%d-%016llx.tmp", host, static_cast<int>(pid),
                  static_cast<unsigned long long>(random));
    return std::string(name).append(extension);
}

bool isLowerHex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// ".flac", ".mp+": a dot and up to 16 ASCII letters, digits or '+'.
bool isExtension(std::string_view s) {
    return s.size() >= 2 && s.size() <= 1 + kMaxExtension && s.front() == '.' &&
           std::all_of(s.begin() + 1, s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+';
           });
}

struct NameParts {
    uint32_t host = 0;
    pid_t pid = 0;
};

// ".qoro-" 8 hex "-" pid "-" 16 hex ".tmp" and perhaps an extension, the
// pid a positive decimal without leading zeros.
std::optional<NameParts> parseName(std::string_view name) {
    if (!name.starts_with(kPrefix)) return std::nullopt;
    name.remove_prefix(kPrefix.size());
    NameParts parts;
    if (name.size() <= kHostDigits || name[kHostDigits] != '-' || !isLowerHex(name.substr(0, kHostDigits)))
        return std::nullopt;
    std::from_chars(name.data(), name.data() + kHostDigits, parts.host, 16);
    name.remove_prefix(kHostDigits + 1);
    const size_t digits = std::min(name.find_first_not_of("0123456789"), name.size());
    int pid = 0;
    if (digits == 0 || digits > kMaxPidDigits || digits == name.size() || name[digits] != '-' || name.front() == '0' ||
        std::from_chars(name.data(), name.data() + digits, pid).ec != std::errc{})
        return std::nullopt;
    parts.pid = pid;
    name.remove_prefix(digits + 1);
    if (name.size() < kRandomDigits || !isLowerHex(name.substr(0, kRandomDigits))) return std::nullopt;
    name.remove_prefix(kRandomDigits);
    if (!name.starts_with(kSuffix)) return std::nullopt;
    name.remove_prefix(kSuffix.size());
    if (!name.empty() && !isExtension(name)) return std::nullopt;
    return parts;
}

// A small text file of /proc, whole.
std::string readProc(const char* path) {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    std::string text;
    if (fd.get() < 0) return text;
    char block[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(block, static_cast<size_t>(n));
    }
    return text;
}

// The number after 'key' in a /proc text ("Umask:\t0022", "btime 1700000000").
std::optional<unsigned long long> procField(const std::string& text, std::string_view key, int base) {
    size_t at = 0;
    while ((at = text.find(key, at)) != std::string::npos && at != 0 && text[at - 1] != '\n') at += key.size();
    if (at == std::string::npos) return std::nullopt;
    const char* p = text.data() + at + key.size();
    const char* end = text.data() + text.size();
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    unsigned long long value = 0;
    if (std::from_chars(p, end, value, base).ec != std::errc{}) return std::nullopt;
    return value;
}

// The process's umask, read without changing it (umask() would, for a
// moment, for every thread).
mode_t processUmask() {
    const auto mask = procField(readProc("/proc/self/status"), "Umask:", 8);
    return mask ? static_cast<mode_t>(*mask & 0777) : 022;
}

// When a live process started, in seconds since the epoch; nothing when it
// cannot be told. A zombie counts as gone.
enum class Liveness { Gone, Alive, Unknown };
Liveness processState(pid_t pid, time_t& started) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return Liveness::Gone;
    const std::string stat = readProc(("/proc/" + std::to_string(pid) + "/stat").c_str());
    // "pid (comm) state ppid ...": the name may hold anything, so fields are
    // counted from its closing parenthesis; the start time is field 22.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return Liveness::Unknown;
    std::vector<std::string_view> fields;
    std::string_view rest(stat.data() + close + 1, stat.size() - close - 1);
    while (!rest.empty()) {
        const size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        const size_t end = std::min(rest.find(' '), rest.size());
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    if (!fields.empty() && (fields[0] == "Z" || fields[0] == "X")) return Liveness::Gone;
    constexpr size_t kStartField = 22 - 3;  // fields counted from the state, field 3
    const auto boot = procField(readProc("/proc/stat"), "btime", 10);
    const long ticks = ::sysconf(_SC_CLK_TCK);
    unsigned long long since = 0;
    if (fields.size() <= kStartField || !boot || ticks <= 0 ||
        std::from_chars(fields[kStartField].data(), fields[kStartField].data() + fields[kStartField].size(), since)
                .ec != std::errc{})
        return Liveness::Unknown;
    started = static_cast<time_t>(*boot + since / static_cast<unsigned long long>(ticks));
    return Liveness::Alive;
}

// Writes all of it, resuming after signals and short writes.
std::error_code writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (n == 0) return systemError(ENOSPC);
        p += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

fs::path folderOf(const fs::path& file) { return file.has_parent_path() ? file.parent_path() : fs::path("."); }

}  // namespace

fs::path finalTarget(const fs::path& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    fs::path p = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
        const fs::path link = fs::read_symlink(p, ec);
        if (ec) return path;
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
    return path;
}

// --- Temporary ------------------------------------------------------------------

Temporary::Temporary(const fs::path& target) : Temporary(target, {}) {}

Temporary::Temporary(const fs::path& target, std::string_view extension) : target_(finalTarget(target)) {
    if (!isExtension(extension)) extension = {};
    const fs::path folder = target_.parent_path();
    const uint32_t host = hostHash();
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        path_ = folder / temporaryName(host, ::getpid(), randomBits(), extension);
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            created_ = true;
            return;
        }
        if (errno != EEXIST) break;
    }
    record(lastError());
}

Temporary::~Temporary() {
    if (fd_ >= 0) ::close(fd_);
    if (created_ && !committed_) ::unlink(path_.c_str());
}

std::error_code Temporary::record(std::error_code ec) {
    if (!error_) error_ = ec;
    return error_;
}

void Temporary::fail(std::error_code ec) {
    if (ec) record(ec);
}

bool Temporary::write(const void* data, size_t size) {
    if (error_) return false;
    if (fd_ < 0) return !record(systemError(EBADF));
    if (auto ec = writeAll(fd_, data, size)) return !record(ec);
    written_ += size;
    return true;
}

bool Temporary::copyFrom(int fd, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> block(1 << 18);
    while (!error_ && length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, block.size()));
        const ssize_t n = ::pread(fd, block.data(), want, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            record(lastError());
            break;
        }
        if (n == 0) {
            if (length != UINT64_MAX) record(systemError(ENODATA));  // shorter than it said
            break;
        }
        if (!write(block.data(), static_cast<size_t>(n))) break;
        offset += static_cast<uint64_t>(n);
        if (length != UINT64_MAX) length -= static_cast<uint64_t>(n);
    }
    return !error_;
}

std::error_code Temporary::commit(Existing existing) {
    if (error_ || committed_) return error_;
    if (fd_ < 0) return record(systemError(EBADF));
    // The file the name holds now: someone may have put a new one under it.
    struct stat mine {
    }, named{};
    if (::fstat(fd_, &mine) != 0 || ::lstat(path_.c_str(), &named) != 0) return record(lastError());
    if (!S_ISREG(named.st_mode)) return record(systemError(EINVAL));
    Fd reopened;
    int fd = fd_;
    if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
        reopened.reset(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (reopened.get() < 0) return record(lastError());
        fd = reopened.get();
    }

    // The new file takes the old one's permissions and owner. Changing the
    // owner needs privileges a user may lack; the owner is then the user,
    // which is what writing the file would have given anyway. The owner
    // goes first: changing it clears the set-id bits the mode then restores.
    struct stat old {};
    if (::lstat(target_.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode)) return record(systemError(EISDIR));
        if (!S_ISREG(old.st_mode)) return record(systemError(EINVAL));
        if (existing == Existing::Keep) return record(systemError(EEXIST));
        if ((old.st_uid != named.st_uid || old.st_gid != named.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0 &&
            errno != EPERM)
            return record(lastError());
        if (::fchmod(fd, old.st_mode & 07777) != 0) return record(lastError());
    } else if (errno != ENOENT) {
        return record(lastError());
    } else if (::fchmod(fd, 0666 & ~processUmask()) != 0) {
        return record(lastError());
    }

    // On the disk before it takes the target's name: a crash must leave the
    // old file or the new one, never an empty one.
    if (::fsync(fd) != 0) return record(lastError());
    if (::close(std::exchange(fd_, -1)) != 0) return record(lastError());

    if (existing == Existing::Replace) {
        if (::rename(path_.c_str(), target_.c_str()) != 0) return record(lastError());
    } else if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return record(lastError());
        // The file system cannot refuse to replace: a second name, which
        // fails where the target exists, then the temporary's name dropped.
        if (::link(path_.c_str(), target_.c_str()) != 0) return record(lastError());
        ::unlink(path_.c_str());
    }
    committed_ = true;

    // The rename reaches the disk with the folder's own entry list. A file
    // system that cannot flush folders says EINVAL: nothing to wait for.
    if (Fd folder(::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder.get() >= 0) {
        if (::fsync(folder.get()) != 0 && errno != EINVAL) return record(lastError());
    }
    return error_;
}

// --- Stale temporaries ----------------------------------------------------------

bool isTemporaryName(std::string_view name) { return parseName(name).has_value(); }

size_t removeStale(const fs::path& folder) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return 0;
    const uint32_t host = hostHash();
    const time_t now = ::time(nullptr);
    size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<NameParts> parts = parseName(entry->d_name);
        if (!parts) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        bool stale = now - st.st_mtime > kStaleAge;
        if (!stale && parts->host == host) {
            time_t started = 0;
            switch (processState(parts->pid, started)) {
            case Liveness::Gone: stale = true; break;
            case Liveness::Alive: stale = started > st.st_mtime + kStartSlack; break;  // the pid was reused
            case Liveness::Unknown: break;
            }
        }
        if (stale && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

}  // namespace qoro::replace
