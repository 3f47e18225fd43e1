#include "client/ogg_serial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qoro::client {

namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

// The fixed part of a page header (RFC 3533): "OggS", version, flags,
// granule position (8), serial (4), page number (4), checksum (4), segment count.
constexpr size_t kHeaderSize = 27;
constexpr size_t kSerialAt = 14, kNumberAt = 18, kCrcAt = 22;
constexpr size_t kMaxPage = kHeaderSize + 255 + 255 * 255;
constexpr size_t kWindow = 1 << 20;
constexpr uint8_t kBeginsStream = 0x02, kEndsStream = 0x04;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Reads up to 'size' bytes at 'offset' (fewer only at the end of the file).
bool readAt(int fd, uint8_t* to, size_t size, off_t offset, size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, to + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool writeAt(int fd, const uint8_t* from, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, from + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The 12 bytes from a page's serial to its checksum, as they are to be.
struct Patch {
    off_t offset;
    std::array<uint8_t, 12> bytes;
};

}  // namespace

uint32_t oggPageCrc(std::span<const uint8_t> page) {
    uint32_t crc = 0;
    for (size_t i = 0; i < page.size(); ++i) {
        const uint8_t byte = (i >= kCrcAt && i < kCrcAt + 4) ? 0 : page[i];
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ byte) & 0xFF];
    }
    return crc;
}

uint32_t oggSerialOf(std::string_view relativePath) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, 64 bits
    for (char c : relativePath) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

SerialStamp stampOggSerial(const std::string& path, uint32_t serial, std::string& cause) {
    File file(path);
    if (file.fd() < 0) {
        cause = std::strerror(errno);
        return SerialStamp::Failed;
    }
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0) {
        cause = std::strerror(errno);
        return SerialStamp::Failed;
    }
    const off_t size = st.st_size;
    const auto notOne = [&cause](const char* why, off_t at) {
        cause = std::string(why) + " (at byte " + std::to_string(at) + ")";
        return SerialStamp::NotOneStream;
    };
    if (size < static_cast<off_t>(kHeaderSize)) return notOne("too short for an Ogg page", 0);

    // The pages are read through a window of 1 MiB that moves on when the
    // next page does not lie wholly in it.
    std::vector<uint8_t> window(std::max<size_t>(kWindow, kMaxPage));
    off_t windowAt = 0;
    size_t windowSize = 0;
    std::vector<Patch> patches;
    uint32_t streamSerial = 0, expectedNumber = 0;
    for (off_t at = 0; at < size;) {
        if (at + static_cast<off_t>(kMaxPage) > windowAt + static_cast<off_t>(windowSize) &&
            windowAt + static_cast<off_t>(windowSize) < size) {
            if (!readAt(file.fd(), window.data(), window.size(), at, windowSize)) {
                cause = std::strerror(errno);
                return SerialStamp::Failed;
            }
            windowAt = at;
        }
        uint8_t* const page = window.data() + (at - windowAt);
        const size_t got = windowSize - static_cast<size_t>(at - windowAt);
        if (got < kHeaderSize || std::memcmp(page, "OggS", 4) != 0 || page[4] != 0)
            return notOne("no Ogg page", at);
        const size_t segments = page[26];
        if (got < kHeaderSize + segments) return notOne("a page is cut short", at);
        size_t length = kHeaderSize + segments;
        for (size_t i = 0; i < segments; ++i) length += page[kHeaderSize + i];
        if (got < length) return notOne("a page is cut short", at);
        const std::span<const uint8_t> bytes(page, length);
        if (oggPageCrc(bytes) != le32(page + kCrcAt)) return notOne("a page checksum is wrong", at);

        const uint8_t flags = page[5];
        const uint32_t pageSerial = le32(page + kSerialAt);
        const uint32_t number = le32(page + kNumberAt);
        const bool first = patches.empty();
        const bool last = at + static_cast<off_t>(length) == size;
        if (first) {
            streamSerial = pageSerial;
            expectedNumber = number;
        }
        if (pageSerial != streamSerial) return notOne("more than one logical stream", at);
        if (((flags & kBeginsStream) != 0) != first) return notOne("the stream's first page is not marked so", at);
        if (((flags & kEndsStream) != 0) != last) return notOne("the stream's last page is not marked so", at);
        if (number != expectedNumber) return notOne("a page is missing", at);
        ++expectedNumber;

        Patch patch{at, {}};
        putLe32(page + kSerialAt, serial);
        putLe32(page + kCrcAt, 0);
        putLe32(page + kCrcAt, oggPageCrc(bytes));
        std::memcpy(patch.bytes.data(), page + kSerialAt, patch.bytes.size());
        patches.push_back(patch);
        at += static_cast<off_t>(length);
    }
    if (patches.empty() || streamSerial == serial) return SerialStamp::Stamped;
    for (const auto& patch : patches) {
        if (!writeAt(file.fd(), patch.bytes.data(), patch.bytes.size(), patch.offset + kSerialAt)) {
            cause = std::strerror(errno);
            return SerialStamp::Failed;
        }
    }
    return SerialStamp::Stamped;
}

}  // namespace qoro::client
