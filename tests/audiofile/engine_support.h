// What the engine's tests share: PCM settings for a created file, and a file
// read whole through the engine.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/engine.h"

namespace qoro::test {

inline audiofile::EngineSettings pcmSettings(uint32_t rate, uint16_t channels, uint16_t bits) {
    audiofile::EngineSettings s;
    s.full = audiofile::fullFormatOf(acm::makePcmFormat(rate, channels, bits));
    return s;
}

// Reads the whole file through the engine in blocks of `frames` array frames.
inline std::vector<int16_t> readAll(audiofile::Engine& e, uint64_t frames = 4410) {
    std::vector<uint8_t> bytes;
    const uint64_t block = e.arrayFormat().nBlockAlign;
    for (;;) {
        const uint64_t b = e.arrayBytesFor(frames * block);
        if (b == 0) break;
        const int64_t got = e.read(b, bytes);
        EXPECT_GE(got, 0);
        if (got <= 0) break;
    }
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

}  // namespace qoro::test
