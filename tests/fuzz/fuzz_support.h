// What the libFuzzer harnesses share: the check that stops a run when a
// property fails, the input as a file that needs no disk (a memfd reached
// through /proc/self/fd), and a per-process folder in RAM for the code that
// writes files by name (temporary file beside the target, then a rename).
//
// The same harness sources build twice: linked with libFuzzer in a QORO_FUZZ
// tree, and with replay/replay_main.cpp into a plain program that feeds them
// the stored inputs (ctest), so nothing here depends on libFuzzer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace qoro::fuzz {

// A property every input must keep: stops the run, naming the broken
// property's line (libFuzzer records the input).
inline void require(bool condition, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (condition) return;
    std::fprintf(stderr, "property broken at %s:%d\n", file, line);
    std::abort();
}

// One in-memory file, reused for every input, reachable by a path.
class MemoryFile {
public:
    explicit MemoryFile(const char* name = "qoro-fuzz") : fd_(memfd_create(name, MFD_CLOEXEC)) {
        require(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& path() const { return path_; }

    // Replaces the contents with the bytes.
    void set(const uint8_t* data, size_t size) {
        require(ftruncate(fd_, 0) == 0);
        for (size_t done = 0; done < size;) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            require(n > 0);
            done += static_cast<size_t>(n);
        }
    }

    std::vector<uint8_t> bytes() const {
        const off_t end = lseek(fd_, 0, SEEK_END);
        require(end >= 0);
        std::vector<uint8_t> b(static_cast<size_t>(end));
        for (size_t done = 0; done < b.size();) {
            const ssize_t n = pread(fd_, b.data() + done, b.size() - done, static_cast<off_t>(done));
            require(n > 0);
            done += static_cast<size_t>(n);
        }
        return b;
    }

private:
    int fd_;
    std::string path_;
};

// A folder of this process in RAM (/dev/shm, else the temporary folder),
// removed when the process ends normally.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name) {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec) || ::access(base.c_str(), W_OK) != 0)
            base = std::filesystem::temp_directory_path();
        dir_ = base / ("qoro-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_, ec);
        require(!ec);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    static void write(const std::string& path, const uint8_t* data, size_t size) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        require(out.good());
    }
    static std::vector<uint8_t> read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path dir_;
};

// Reads of a byte span by position, as the tag readers take them
// (tags::ReadAtFn): short at the end, nothing past it.
inline auto memoryReader(std::span<const uint8_t> b) {
    return [b](uint64_t at, uint8_t* out, size_t n) -> size_t {
        if (at >= b.size()) return 0;
        const size_t k = std::min<size_t>(n, b.size() - static_cast<size_t>(at));
        std::memcpy(out, b.data() + at, k);
        return k;
    };
}

}  // namespace qoro::fuzz
