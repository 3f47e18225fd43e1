// Hand-built MPEG streams for the stream-analysis and framework tests.
#pragma once

#include "mpeg/mpeg_header.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qoro::mpeg::testing {

// MPEG-1 Layer III, 64 kbit/s, 44.1 kHz, stereo: 208-byte frames.
constexpr uint32_t kL3Stereo64 = 0xFFFB5000u;
// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417/418-byte frames.
constexpr uint32_t kL3Joint128 = 0xFFFB9040u;
// MPEG-2 Layer III, 32 kbit/s, 22.05 kHz, mono.
constexpr uint32_t kLsfMono32 = 0xFFF340C0u;

inline void putWord(std::vector<uint8_t>& v, size_t at, uint32_t w)
{
    v[at] = uint8_t(w >> 24);
    v[at + 1] = uint8_t(w >> 16);
    v[at + 2] = uint8_t(w >> 8);
    v[at + 3] = uint8_t(w);
}

// One frame: header, then zeros (empty side information: silence).
inline std::vector<uint8_t> frame(uint32_t header)
{
    std::vector<uint8_t> f(size_t(mpegFrameLength(unpackMpegHeader(header))), 0);
    putWord(f, 0, header);
    return f;
}

inline std::vector<uint8_t> frames(uint32_t header, int count)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto f = frame(header);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// An ID3v2 header announcing 'bodySize' bytes (and the body itself, zeros).
inline std::vector<uint8_t> id3v2(uint32_t bodySize, bool writeBody = true)
{
    std::vector<uint8_t> t = {'I', 'D', '3', 3, 0, 0,
                              uint8_t((bodySize >> 21) & 0x7F), uint8_t((bodySize >> 14) & 0x7F),
                              uint8_t((bodySize >> 7) & 0x7F), uint8_t(bodySize & 0x7F)};
    if (writeBody) t.resize(10 + bodySize, 0);
    return t;
}

// A first frame carrying a "Xing"-style header (tag = "Xing" or "Lame").
inline std::vector<uint8_t> xingFrame(uint32_t header, const char* tag, uint32_t flags, uint32_t frameCount,
                                      const uint8_t* toc = nullptr)
{
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

inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace qoro::mpeg::testing
