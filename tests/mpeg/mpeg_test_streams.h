// Hand-built MPEG streams for the stream-analysis and framework tests.
#pragma once

#include "mpeg/mpeg_header.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qoro::mpeg::testing {

// MPEG-1 Layer III, 64 kbit/s, 44.1 kHz, stereo: 208-byte frames.
constexpr uint32_t kL3Stereo64 = 0xFFFB5000u;
// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417/418-byte frames.
constexpr uint32_t kL3Joint128 = 0xFFFB9040u;
// MPEG-2 Layer III, 32 kbit/s, 22.05 kHz, mono.
constexpr uint32_t kLsfMono32 = 0xFFF340C0u;

inline void putWord(std::vector<uint8_t>& v, size_t at, uint32_t w) {
    v[at] = uint8_t(w >> 24);
    v[at + 1] = uint8_t(w >> 16);
    v[at + 2] = uint8_t(w >> 8);
    v[at + 3] = uint8_t(w);
}

// One frame: header, then zeros (empty side information: silence).
inline std::vector<uint8_t> frame(uint32_t header) {
    std::vector<uint8_t> f(size_t(mpegFrameLength(unpackMpegHeader(header))), 0);
    putWord(f, 0, header);
    return f;
}

inline std::vector<uint8_t> frames(uint32_t header, int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto f = frame(header);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// An ID3v2 header announcing 'bodySize' bytes (and the body itself, zeros).
inline std::vector<uint8_t> id3v2(uint32_t bodySize, bool writeBody = true) {
    std::vector<uint8_t> t = {'I',
                              'D',
                              '3',
                              3,
                              0,
                              0,
                              uint8_t((bodySize >> 21) & 0x7F),
                              uint8_t((bodySize >> 14) & 0x7F),
                              uint8_t((bodySize >> 7) & 0x7F),
                              uint8_t(bodySize & 0x7F)};
    if (writeBody) t.resize(10 + bodySize, 0);
    return t;
}

// A first frame carrying a "Xing"-style header (tag = "Xing" or "Lame").
inline std::vector<uint8_t> xingFrame(uint32_t header, const char* tag, uint32_t flags, uint32_t frameCount,
                                      const uint8_t* toc = nullptr) {
    auto f = frame(header);
    const MpegFrameHeader h = unpackMpegHeader(header);
    size_t at = size_t(4 + mpegSideInfoLength(h));
    std::memcpy(&f[at], tag, 4);
    putWord(f, at + 4, flags);
    at += 8;
    if (flags & 1) {
        putWord(f, at, frameCount);
        at += 4;
    }
    if (flags & 2) {
        putWord(f, at, uint32_t(f.size() * frameCount));
        at += 4;
    }
    if ((flags & 4) && toc) std::memcpy(&f[at], toc, 100);
    return f;
}

inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// CRC-16, polynomial 0x8005 bit-reversed, bit by bit: the LAME tag's check.
inline uint16_t lameTagCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// The LAME tag fields a decoder uses.
struct LameFields {
    int delay = 576;
    int padding = 1152;
    bool goodCrc = true;  // false: the stored CRC does not match the bytes
};

// An information frame as LAME writes it: "Xing" (or "Info"), all four
// fields (frame count, byte count, a seek table, quality), then the
// 36-byte LAME tag with its CRC over every byte of the frame before it.
inline std::vector<uint8_t> lameInfoFrame(uint32_t header, const char* id, uint32_t frames, uint32_t bytes,
                                          const LameFields& lame) {
    auto f = frame(header);
    const MpegFrameHeader h = unpackMpegHeader(header);
    size_t at = size_t(4 + mpegSideInfoLength(h));
    std::memcpy(&f[at], id, 4);
    putWord(f, at + 4, 0xF);
    putWord(f, at + 8, frames);
    putWord(f, at + 12, bytes);
    for (int i = 0; i < 100; ++i) f[at + 16 + size_t(i)] = uint8_t(i * 255 / 100);
    putWord(f, at + 116, 57);
    at += 120;
    std::memcpy(&f[at], "LAME3.100", 9);
    f[at + 9] = 0x03;
    f[at + 10] = 160;
    f[at + 21] = uint8_t(lame.delay >> 4);
    f[at + 22] = uint8_t(((lame.delay & 15) << 4) | (lame.padding >> 8));
    f[at + 23] = uint8_t(lame.padding & 0xFF);
    putWord(f, at + 28, bytes);
    uint16_t crc = lameTagCrc(f.data(), at + 34);
    if (!lame.goodCrc) crc ^= 0x0101;
    f[at + 34] = uint8_t(crc >> 8);
    f[at + 35] = uint8_t(crc & 0xFF);
    return f;
}

// A Fraunhofer "VBRI" frame: the header 36 bytes in, whatever the version
// and mode, with its byte and frame counts.
inline std::vector<uint8_t> vbriFrame(uint32_t header, uint32_t frames, uint32_t bytes) {
    auto f = frame(header);
    std::memcpy(&f[36], "VBRI", 4);
    f[41] = 1;     // version 1
    f[43] = 0x45;  // delay
    f[45] = 75;    // quality
    putWord(f, 46, bytes);
    putWord(f, 50, frames);
    return f;
}

}  // namespace qoro::mpeg::testing
