#include "mpc/mpc_stream.h"

#include <algorithm>
#include <cstring>

#include "io/file_rewrite.h"
#include "tags/id3v2.h"

namespace qoro::mpc {

namespace {

uint32_t wordAt(std::span<const uint8_t> b, size_t offset) {
    return uint32_t(b[offset]) | (uint32_t(b[offset + 1]) << 8) | (uint32_t(b[offset + 2]) << 16) |
           (uint32_t(b[offset + 3]) << 24);
}

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

std::optional<MpcHeader> parseMpcHeader(std::span<const uint8_t> s) {
    constexpr uint32_t kVersion7Bytes = 24, kOlderBytes = 12;
    MpcHeader h;
    if (s.size() >= 4 && s[0] == 'M' && s[1] == 'P' && s[2] == '+') {
        // Stream version 7: the version byte, then frame count and flags.
        if (s.size() < kVersion7Bytes || s[3] != 7) return std::nullopt;
        h.streamVersion = 7;
        h.frames = wordAt(s, 4);
        const uint32_t w2 = wordAt(s, 8);
        if ((w2 >> 31) & 1) return std::nullopt;  // the format has no intensity stereo
        h.msStereo = (w2 >> 30) & 1;
        h.maxBand = int((w2 >> 24) & 63);
        h.peak = uint16_t(w2 & 0xFFFF);
        h.profile = ((w2 >> 23) & 1) ? int((w2 >> 20) & 7) : kNoProfile;
        h.firstFrameByte = 24;
        h.firstFrameBit = 8;
        h.headerBytes = kVersion7Bytes;
        return h;
    }
    if (s.size() < kOlderBytes) return std::nullopt;
    const uint32_t w0 = wordAt(s, 0);
    const uint32_t w1 = wordAt(s, 4);
    h.headerBytes = kOlderBytes;
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
    io::Reader in(path);
    if (!in.ok()) return false;
    const uint64_t length = in.size();
    const uint64_t start =
        tags::id3v2LeadingSize([&in](uint64_t at, uint8_t* d, size_t n) { return in.readAt(at, d, n); }, length);
    uint8_t head[32] = {};
    const size_t got = in.readAt(start, head, sizeof head);
    auto header = parseMpcHeader(std::span<const uint8_t>(head, got));
    if (!header) return false;
    info.header = *header;
    info.fileSize = length;
    info.audioStart = start;
    // The tails are looked for behind the stream header, so that none can
    // take the header's bytes for its own. (Not behind the 32 bytes read:
    // a tag written behind a shorter stream would start within them.)
    const uint64_t from = std::min<uint64_t>(length, start + header->headerBytes);
    info.tails = tags::findTails([&in, from](uint64_t at, uint8_t* d, size_t n) { return in.readAt(from + at, d, n); },
                                 length - from);
    for (tags::ByteRange* r : {&info.tails.ape, &info.tails.lyrics3, &info.tails.id3v1})
        if (!r->empty()) r->offset += from;
    info.tails.contentEnd += from;
    info.audioBytes = info.tails.contentEnd - start;
    if (!info.tails.id3v1.empty()) {
        tags::Id3v1Block block{};
        if (in.readAt(info.tails.id3v1.offset, block.data(), block.size()) == block.size())
            info.id3v1 = tags::parseId3v1(block, tags::Id3v1Reading::MpegPlus);
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
