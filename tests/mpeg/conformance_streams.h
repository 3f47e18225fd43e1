// The public conformance streams under shared/testdata/mpeg and the shape of
// a stream found by walking its frame headers, shared by the decoder's and
// the AudioFile engine's accuracy tests.
#pragma once

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mpeg/mpeg_header.h"

namespace qoro::mpeg::testing {

struct ConformanceStream {
    const char* name;
    // Leading frames whose main data is missing: we output them as silence,
    // the reference decoding leaves them out.
    int leadingFramesMissingInReference;
};

// Every Layer I, II and III stream (the illegal ones are tested apart).
inline constexpr std::array<ConformanceStream, 24> kConformanceStreams{{
    {"l1-fl1", 0}, {"l1-fl2", 0}, {"l1-fl3", 0}, {"l1-fl4", 0}, {"l1-fl5", 0}, {"l1-fl6", 0},
    {"l1-fl7", 0}, {"l1-fl8", 0}, {"l2-fl10", 0}, {"l2-fl11", 0}, {"l2-fl12", 0}, {"l2-fl13", 0},
    {"l2-fl14", 0}, {"l2-fl15", 0}, {"l2-fl16", 0}, {"l3-compl", 0}, {"l3-si", 0}, {"l3-si_block", 0},
    {"l3-si_huff", 0}, {"l3-sin1k0db", 2}, {"M2L3_bitrate_16_all", 0}, {"M2L3_bitrate_22_all", 0},
    {"M2L3_bitrate_24_all", 0}, {"M2L3_compl24", 0},
}};

// A test name made of the stream's name ("l1-fl1" -> "l1_fl1").
struct ConformanceStreamName {
    template <class Info>
    std::string operator()(const Info& info) const {
        std::string n = info.param.name;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    }
};

struct StreamShape {
    int64_t frames = 0;  // whole frames from the first valid header on
    int samplesPerFrame = 0;
    int channels = 0;
    int rate = 0;
};

// Walks the frame headers from the first valid one; a truncated last frame is
// not counted.
inline StreamShape measureStream(const std::vector<uint8_t>& bytes) {
    StreamShape shape;
    size_t p = 0;
    while (p + 4 <= bytes.size()) {
        const uint32_t w = readMpegWord(&bytes[p]);
        const MpegFrameHeader h = unpackMpegHeader(w);
        if (!hasMpegSync(w) || !isValidMpegHeader(h)) {
            if (shape.frames) break;
            ++p;
            continue;
        }
        const size_t len = size_t(mpegFrameLength(h));
        if (p + len > bytes.size()) break;
        shape.samplesPerFrame = mpegSamplesPerFrame(h);
        shape.channels = mpegChannels(h);
        shape.rate = mpegSampleRate(h);
        ++shape.frames;
        p += len;
    }
    return shape;
}

}  // namespace qoro::mpeg::testing
