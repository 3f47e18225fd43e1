// The public conformance streams under tests/data/mpeg and the shape of
// a stream found by walking its frame headers, shared by the decoder's and
// the AudioFile engine's accuracy tests.
#pragma once

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mpeg/mpeg_header.h"
#include "test_support.h"

namespace qoro::mpeg::testing {

// Streams our tests make with the reference encoders: the shell command
// ({in} and {out} are replaced), and the rate and channels it gives; the
// test signal's amplitude (beyond 1 it is clipped, as a loud master is).
struct MadeStream {
    const char* name;
    const char* command;
    int rate;
    int channels;
    double amplitude = 0.7;
};

// MPEG-1/2/2.5 Layer III by lame and ffmpeg, and Layer II by ffmpeg.
// clang-format off
inline constexpr std::array<MadeStream, 9> kMadeStreams{{
    {"loud_master", "lame --quiet -b 320 {in} {out}", 44100, 2, 1.6},
    {"cbr128_joint", "lame --quiet -b 128 -m j {in} {out}", 44100, 2},
    {"vbr_xing", "lame --quiet -V 2 {in} {out}", 44100, 2},
    {"mpeg2_22k", "lame --quiet -b 64 {in} {out}", 22050, 2},
    {"mpeg25_8k", "lame --quiet -b 16 -m m {in} {out}", 8000, 1},
    {"mono_48k", "lame --quiet -b 96 -m m {in} {out}", 48000, 1},
    {"ffmpeg_cbr_stereo", "ffmpeg -loglevel error -y -i {in} -c:a libmp3lame -b:a 192k -f mp3 {out}", 44100, 2},
    {"layer2_48k", "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 192k -f mp2 {out}", 48000, 2},
    {"layer2_22k", "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 64k -f mp2 {out}", 22050, 2},
}};
// clang-format on

// The stream's command line for these paths, quoted for the shell.
inline std::string commandFor(const MadeStream& stream, const std::string& in, const std::string& out) {
    std::string cmd = stream.command;
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{in}", in}, {"{out}", out}}) {
        size_t p;
        while ((p = cmd.find(key)) != std::string::npos) cmd.replace(p, key.size(), qoro::test::shellQuote(value));
    }
    return cmd;
}

struct ConformanceStream {
    const char* name;
    // Leading frames whose main data is missing: we output them as silence,
    // the reference decoding leaves them out.
    int leadingFramesMissingInReference;
};

// Every Layer I, II and III stream (the illegal ones are tested apart).
// clang-format off
inline constexpr std::array<ConformanceStream, 24> kConformanceStreams{{
    {"l1-fl1", 0}, {"l1-fl2", 0}, {"l1-fl3", 0}, {"l1-fl4", 0}, {"l1-fl5", 0}, {"l1-fl6", 0},
    {"l1-fl7", 0}, {"l1-fl8", 0}, {"l2-fl10", 0}, {"l2-fl11", 0}, {"l2-fl12", 0}, {"l2-fl13", 0},
    {"l2-fl14", 0}, {"l2-fl15", 0}, {"l2-fl16", 0}, {"l3-compl", 0}, {"l3-si", 0}, {"l3-si_block", 0},
    {"l3-si_huff", 0}, {"l3-sin1k0db", 2}, {"M2L3_bitrate_16_all", 0}, {"M2L3_bitrate_22_all", 0},
    {"M2L3_bitrate_24_all", 0}, {"M2L3_compl24", 0},
}};
// clang-format on

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
