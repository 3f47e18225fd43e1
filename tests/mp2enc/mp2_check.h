// Helpers of the Layer II encoder tests: encoding whole signals, walking the
// frames of a stream, decoding with our own decoder and the reference tools.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "mp2_encoder.h"
#include "mpeg/mpeg_header.h"
#include "mpeg_frame_decoder.h"
#include "test_support.h"

namespace qoro::test {

struct Mp2Stream {
    std::vector<uint8_t> bytes;
    std::vector<int> frameLengths;
    int channels = 2;
};

// Encodes interleaved samples frame by frame (the last frame padded).
inline Mp2Stream encodeMp2(const mp2enc::Mp2Options& options, const std::vector<int16_t>& samples) {
    mp2enc::Mp2Encoder encoder;
    mp2enc::Mp2Instance inst;
    Mp2Stream s;
    EXPECT_EQ(encoder.createInstance(options, inst), 0);
    if (inst.number < 0) return s;
    s.channels = inst.samplesPerCall / 1152;
    std::vector<uint8_t> out(size_t(inst.outputBufferSize));
    for (size_t at = 0; at < samples.size(); at += size_t(inst.samplesPerCall)) {
        const int n = int(std::min(samples.size() - at, size_t(inst.samplesPerCall)));
        int produced = 0;
        EXPECT_EQ(encoder.encodeFrame(inst.number, n, samples.data() + at, out.data(), out.size(), produced), 0);
        s.bytes.insert(s.bytes.end(), out.begin(), out.begin() + produced);
        s.frameLengths.push_back(produced);
    }
    EXPECT_EQ(encoder.closeInstance(inst.number), 0);
    return s;
}

// Headers of every frame, walking the stream by frame lengths.
inline std::vector<mpeg::MpegFrameHeader> mp2Headers(const std::vector<uint8_t>& bytes) {
    std::vector<mpeg::MpegFrameHeader> headers;
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        const uint32_t w = mpeg::readMpegWord(bytes.data() + at);
        const auto h = mpeg::unpackMpegHeader(w);
        if (!mpeg::hasMpegSync(w) || !mpeg::isValidMpegHeader(h)) {
            ADD_FAILURE() << "no valid frame at byte " << at;
            break;
        }
        headers.push_back(h);
        at += size_t(mpeg::mpegFrameLength(h));
    }
    EXPECT_EQ(at, bytes.size());
    return headers;
}

// Our own decoder over the whole stream.
inline std::vector<int16_t> decodeOwn(const std::vector<uint8_t>& bytes) {
    mpeg::MpegFrameDecoder decoder;
    std::vector<int16_t> pcm;
    int16_t out[mpeg::MpegFrameDecoder::kMaxSamples];
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        const auto h = mpeg::unpackMpegHeader(mpeg::readMpegWord(bytes.data() + at));
        if (!mpeg::isValidMpegHeader(h)) break;
        const size_t len = size_t(mpeg::mpegFrameLength(h));
        if (at + len > bytes.size()) break;
        const int n = decoder.decodeFrame(h, bytes.data() + at, len, out);
        EXPECT_GT(n, 0);
        if (n > 0) pcm.insert(pcm.end(), out, out + n * mpeg::mpegChannels(h));
        at += len;
    }
    return pcm;
}

inline std::vector<int16_t> decodeWith(const std::string& tool, const fs::path& file, const fs::path& pcmOut) {
    std::string cmd;
    if (tool == "ffmpeg")
        cmd = "ffmpeg -v error -y -i " + shellQuote(file.string()) + " -f s16le " + shellQuote(pcmOut.string());
    else
        cmd = "mpg123 -q -s " + shellQuote(file.string()) + " > " + shellQuote(pcmOut.string());
    const auto r = run(cmd);
    EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    return readPcm16(pcmOut);
}

// The offset (in sample frames) at which `decoded` best matches `original`.
inline long bestDelay(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded, int channels,
                      long maxFrames = 1200) {
    long best = 0;
    double bestSnr = -1e9;
    for (long d = 0; d <= maxFrames; ++d) {
        const double snr = snrDb(original, decoded, d * channels);
        if (snr > bestSnr) {
            bestSnr = snr;
            best = d;
        }
    }
    return best;
}

// Mean over 1152-sample segments of the per-segment SNR (each clamped to
// [-10, 80] dB, silent segments left out).
inline double segmentalSnrDb(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long offset) {
    const size_t seg = 1152 * 2;
    double sum = 0.0;
    int count = 0;
    for (size_t at = 0; at + seg <= a.size() && long(at + seg) + offset <= long(b.size()); at += seg) {
        double sig = 0.0, err = 0.0;
        for (size_t i = at; i < at + seg; ++i) {
            const double x = a[i];
            const double e = x - b[size_t(long(i) + offset)];
            sig += x * x;
            err += e * e;
        }
        if (sig < 1e3) continue;
        const double snr = err > 0 ? 10.0 * std::log10(sig / err) : 80.0;
        sum += std::clamp(snr, -10.0, 80.0);
        ++count;
    }
    return count ? sum / count : 0.0;
}

}  // namespace qoro::test
