#include "mpeg/info_frame.h"

#include <cstring>

#include "mpeg/mpeg_header.h"

namespace qoro::mpeg {
namespace {

// The LAME tag: 36 bytes behind the "Xing"/"Info" fields.
constexpr size_t kLameTagBytes = 36;
constexpr size_t kLameCrcAt = 34;  // within the tag

uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

// The reflected CRC-16 table, built once.
struct CrcTable {
    uint16_t v[256];
    CrcTable() {
        for (int i = 0; i < 256; ++i) {
            uint16_t c = uint16_t(i);
            for (int k = 0; k < 8; ++k) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
            v[i] = c;
        }
    }
};

bool isTagId(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

std::optional<LameTag> parseLameTag(std::span<const uint8_t> frame, size_t at) {
    if (at + kLameTagBytes > frame.size()) return std::nullopt;
    const uint8_t* t = frame.data() + at;
    LameTag tag;
    // The encoder string: printable text, or no tag at all (zeros, or the
    // start of something else).
    for (int i = 0; i < 9; ++i) {
        if (t[i] == 0) break;
        if (t[i] < 0x20 || t[i] > 0x7E) return std::nullopt;
        tag.encoder.push_back(char(t[i]));
    }
    if (tag.encoder.empty()) return std::nullopt;
    tag.revision = t[9] >> 4;
    tag.vbrMethod = t[9] & 15;
    tag.lowpassHz = t[10] * 100;
    const uint32_t delays = (uint32_t(t[21]) << 16) | (uint32_t(t[22]) << 8) | t[23];
    tag.encoderDelay = int(delays >> 12);
    tag.padding = int(delays & 0xFFF);
    tag.musicLength = readMpegWord(t + 28);
    tag.musicCrc = be16(t + 32);
    tag.tagCrc = be16(t + kLameCrcAt);
    tag.crcMatches = crc16Reflected(frame.first(at + kLameCrcAt)) == tag.tagCrc;
    return tag;
}

InfoFrame parseXing(std::span<const uint8_t> frame, size_t o) {
    const uint8_t* p = frame.data();
    InfoFrame info;
    info.kind = isTagId(p + o, "Info") ? InfoFrameKind::Info : InfoFrameKind::Xing;
    info.offset = int(o);
    info.complete = false;
    if (o + 8 > frame.size()) return info;
    const uint32_t flags = readMpegWord(p + o + 4);
    size_t at = o + 8;
    // Fields the flags name but the frame cannot hold are not there.
    if (flags & 1) {
        if (at + 4 > frame.size()) return info;
        info.frames = readMpegWord(p + at);
        at += 4;
    }
    if (flags & 2) {
        if (at + 4 > frame.size()) return info;
        info.bytes = readMpegWord(p + at);
        at += 4;
    }
    if (flags & 4) {
        if (at + 100 > frame.size()) return info;
        std::array<uint8_t, 100> toc;
        std::memcpy(toc.data(), p + at, 100);
        info.toc = toc;
        at += 100;
    }
    if (flags & 8) {
        if (at + 4 > frame.size()) return info;
        info.quality = readMpegWord(p + at);
        at += 4;
    }
    info.complete = true;
    info.lame = parseLameTag(frame, at);
    return info;
}

InfoFrame parseVbri(std::span<const uint8_t> frame) {
    constexpr size_t o = kVbriOffset;
    InfoFrame info;
    info.kind = InfoFrameKind::Vbri;
    info.offset = int(o);
    info.complete = o + 26 <= frame.size();
    if (!info.complete) return info;
    const uint8_t* p = frame.data() + o;
    info.vbriVersion = be16(p + 4);
    info.vbriDelay = be16(p + 6);
    info.vbriQuality = be16(p + 8);
    info.bytes = readMpegWord(p + 10);
    info.frames = readMpegWord(p + 14);
    info.vbriTocEntries = be16(p + 18);
    return info;
}

}  // namespace

uint16_t crc16Reflected(std::span<const uint8_t> bytes, uint16_t crc) {
    static const CrcTable table;
    for (uint8_t b : bytes) crc = uint16_t((crc >> 8) ^ table.v[(crc ^ b) & 0xFF]);
    return crc;
}

std::optional<InfoFrame> parseInfoFrame(std::span<const uint8_t> frame) {
    if (frame.size() < 4) return std::nullopt;
    const MpegFrameHeader h = unpackMpegHeader(readMpegWord(frame.data()));
    if (!hasMpegSync(readMpegWord(frame.data())) || !isValidMpegHeaderOrFree(h)) return std::nullopt;
    // Encoders place the header after the side information whether or not
    // the frame carries a CRC word; a few count the CRC word as well.
    const size_t side = 4 + size_t(mpegSideInfoLength(h));
    for (size_t o : {side, side + 2}) {
        if (o == side + 2 && h.protection != 0) break;
        if (o + 4 > frame.size()) break;
        const uint8_t* p = frame.data() + o;
        if (isTagId(p, "Xing") || isTagId(p, "Info") || isTagId(p, "Lame")) return parseXing(frame, o);
    }
    if (kVbriOffset + 4 <= frame.size() && isTagId(frame.data() + kVbriOffset, "VBRI")) return parseVbri(frame);
    return std::nullopt;
}

}  // namespace qoro::mpeg
