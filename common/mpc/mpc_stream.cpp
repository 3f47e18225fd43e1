#include "mpc/mpc_stream.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace qoro::mpc {

namespace {

uint32_t wordAt(std::span<const uint8_t> b, size_t offset) {
    return uint32_t(b[offset]) | (uint32_t(b[offset + 1]) << 8) | (uint32_t(b[offset + 2]) << 16) |
           (uint32_t(b[offset + 3]) << 24);
}

// A zero-terminated field of at most n bytes.
std::string field(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0) ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

const char* profileName(int profile) {
    switch (profile) {
    case 0: return "thumb";
    case 1: return "radio";
    case 2: return "standard";
    case 3: return "xtreme";
    case 4: return "insane";
    default: return "n.a.";
    }
}

std::optional<MpcId3v1> parseMpcId3v1(std::span<const uint8_t, 128> b) {
    if (std::memcmp(b.data(), "TAG", 3) != 0) return std::nullopt;
    MpcId3v1 tag;
    tag.title = field(&b[3], 30);
    tag.artist = field(&b[33], 30);
    tag.album = field(&b[63], 30);
    tag.year = field(&b[93], 4);
    if (b[125] == 0) {
        tag.comment = field(&b[97], 28);
        tag.track = b[126];
    } else {
        tag.comment = field(&b[97], 30);
    }
    tag.genre = b[127];
    return tag;
}

std::optional<MpcHeader> parseMpcHeader(std::span<const uint8_t> s) {
    MpcHeader h;
    if (s.size() >= 4 && s[0] == 'M' && s[1] == 'P' && s[2] == '+') {
        // Stream version 7: the version byte, then frame count and flags.
        if (s.size() < 24 || s[3] != 7) return std::nullopt;
        h.streamVersion = 7;
        h.frames = wordAt(s, 4);
        const uint32_t w2 = wordAt(s, 8);
        if ((w2 >> 31) & 1) return std::nullopt;  // intensity stereo is not part of the format
        h.msStereo = (w2 >> 30) & 1;
        h.maxBand = int((w2 >> 24) & 63);
        h.peak = uint16_t(w2 & 0xFFFF);
        h.profile = ((w2 >> 23) & 1) ? int((w2 >> 20) & 7) : kNoProfile;
        h.firstFrameByte = 24;
        h.firstFrameBit = 8;
        return h;
    }
    if (s.size() < 12) return std::nullopt;
    const uint32_t w0 = wordAt(s, 0);
    const uint32_t w1 = wordAt(s, 4);
    h.headerBitrate = int(w0 >> 23);
    const uint32_t reserved = (w0 >> 22) & 1;
    h.msStereo = (w0 >> 21) & 1;
    h.streamVersion = int((w0 >> 11) & 0x3FF);
    h.maxBand = int((w0 >> 6) & 31);
    const uint32_t blockSize = w0 & 63;
    if (h.headerBitrate != 0 || reserved != 0 || blockSize != 1) return std::nullopt;
    if (h.streamVersion < 4 || h.streamVersion > 6) return std::nullopt;
    if (h.streamVersion == 4) {
        h.frames = w1 >> 16;
        h.firstFrameByte = 4;
        h.firstFrameBit = 16;
    } else {
        h.frames = w1;
        h.firstFrameByte = 8;
        h.firstFrameBit = 0;
    }
    if (h.streamVersion < 6 && h.frames > 0) h.frames -= 1;
    return h;
}

int64_t MpcStreamInfo::durationMs() const {
    return static_cast<int64_t>(static_cast<double>(header.frames) * 1152.0 / 44.1);
}

bool readStreamInfo(const std::string& path, MpcStreamInfo& info) {
    info = MpcStreamInfo{};
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return false;
    uint8_t start[32] = {};
    const size_t got = std::fread(start, 1, sizeof start, f.get());
    auto header = parseMpcHeader(std::span<const uint8_t>(start, got));
    if (!header) return false;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
    const long length = std::ftell(f.get());
    if (length < 0) return false;
    info.header = *header;
    info.fileSize = static_cast<uint64_t>(length);
    info.audioBytes = info.fileSize;
    if (length >= 128 && std::fseek(f.get(), -128, SEEK_END) == 0) {
        std::array<uint8_t, 128> block{};
        if (std::fread(block.data(), 1, block.size(), f.get()) == block.size()) {
            info.id3v1 = parseMpcId3v1(block);
            if (info.id3v1) info.audioBytes -= 128;
        }
    }
    info.bitrateKbps = header->headerBitrate;
    if (info.bitrateKbps <= 0) {
        info.bitrateComputed = true;
        const double ms = static_cast<double>(header->frames) * 1152.0 / 44.1;
        info.bitrateKbps = ms > 0.0 ? static_cast<int>(static_cast<double>(info.audioBytes) * 8.0 / ms) : 0;
    }
    return true;
}

}  // namespace qoro::mpc
