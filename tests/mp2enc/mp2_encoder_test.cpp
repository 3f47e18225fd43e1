// The Layer II encoder on its own: framing, header fields, refusals,
// instance bookkeeping, and the streams it writes as three decoders see them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "mp2_check.h"

namespace qoro::test {
namespace {

using mp2enc::Mp2Encoder;
using mp2enc::Mp2Instance;
using mp2enc::Mp2Options;

Mp2Options opts(int rate, int kbps, int mode) {
    Mp2Options o;
    o.sampleRate = rate;
    o.bitrateKbps = kbps;
    o.mode = mode;
    return o;
}

TEST(Mp2Framing, PaddingKeepsTheAverageExactAt44100) {
    const int frames = 100;
    const auto pcm = testSignal(44100, 2, frames * 1152);
    const auto s = encodeMp2(opts(44100, 128, 0), pcm);
    ASSERT_EQ(int(s.frameLengths.size()), frames);
    const auto headers = mp2Headers(s.bytes);
    ASSERT_EQ(int(headers.size()), frames);
    int padded = 0;
    for (int i = 0; i < frames; ++i) {
        EXPECT_TRUE(s.frameLengths[size_t(i)] == 417 || s.frameLengths[size_t(i)] == 418);
        EXPECT_EQ(s.frameLengths[size_t(i)], 417 + headers[size_t(i)].padding);
        padded += headers[size_t(i)].padding;
    }
    // 1152 / 44100 * 128000 / 8 = 417.959... bytes: the sum over n frames is
    // floor(s (n + 1)) - floor(s), so the average never drifts.
    const double average = double(s.bytes.size()) / frames;
    EXPECT_NEAR(average, 417.96, 0.01);
    EXPECT_EQ(int64_t(s.bytes.size()), (int64_t(1152) * 128000 / 8 * (frames + 1)) / 44100 - 417);
    EXPECT_GT(padded, 90);
}

TEST(Mp2Framing, HeaderFieldsAtEveryRate) {
    struct Case {
        int rate, kbps, version, samplingIndex, length;
    };
    // 48 kHz never pads; the low rates are MPEG-2 (version bit 0).
    const Case cases[] = {{48000, 192, 1, 1, 576},
                          {32000, 64, 1, 2, 288},
                          {22050, 64, 0, 0, -1},
                          {24000, 96, 0, 1, 576},
                          {16000, 32, 0, 2, 288}};
    for (const auto& c : cases) {
        const auto s = encodeMp2(opts(c.rate, c.kbps, 3), testSignal(c.rate, 1, 20 * 1152));
        const auto headers = mp2Headers(s.bytes);
        ASSERT_EQ(headers.size(), 20u) << c.rate;
        for (size_t i = 0; i < headers.size(); ++i) {
            EXPECT_EQ(headers[i].version, c.version);
            EXPECT_EQ(headers[i].layer, 2);
            EXPECT_EQ(headers[i].protection, 0);  // every frame carries a CRC word
            EXPECT_EQ(headers[i].samplingIndex, c.samplingIndex);
            EXPECT_EQ(headers[i].mode, 3);
            EXPECT_EQ(mpeg::mpegBitrateKbps(headers[i]), c.kbps);
            if (c.length > 0) {
                EXPECT_EQ(s.frameLengths[i], c.length);
                EXPECT_EQ(headers[i].padding, 0);
            }
        }
        EXPECT_EQ(s.bytes[1] & 0x08, c.version << 3);
    }
}

// Refusals are result codes with a message (what they are and that nothing
// reaches the standard streams: mp2_quiet_test.cpp); the usable neighbours
// of what is refused are made.
TEST(Mp2Create, RefusesRatesBitratesAndModels) {
    Mp2Encoder enc;
    Mp2Instance inst;
    EXPECT_EQ(enc.createInstance(opts(11025, 64, 3), inst), Mp2Encoder::kBadSampleRate);
    EXPECT_EQ(inst.number, -1);
    EXPECT_EQ(enc.createInstance(opts(44100, 100, 0), inst), Mp2Encoder::kBadSettings);
    EXPECT_EQ(enc.createInstance(opts(22050, 320, 0), inst), Mp2Encoder::kBadSettings);
    Mp2Options bad = opts(44100, 128, 0);
    bad.psychoModel = 5;
    EXPECT_EQ(enc.createInstance(bad, inst), Mp2Encoder::kBadSettings);
    EXPECT_EQ(enc.liveInstances(), 0);

    EXPECT_EQ(enc.createInstance(opts(22050, 8, 3), inst), 0);
    EXPECT_EQ(enc.lastMessage(), "");
    EXPECT_EQ(inst.samplesPerCall, 1152);
    EXPECT_EQ(inst.outputBufferSize, 16000);
    EXPECT_EQ(enc.createInstance(opts(44100, 384, 1), inst), 0);
    EXPECT_EQ(inst.samplesPerCall, 2304);
}

TEST(Mp2Create, TenInstancesAtMostNumberedInOrder) {
    Mp2Encoder enc;
    for (int i = 0; i < 10; ++i) {
        Mp2Instance inst;
        ASSERT_EQ(enc.createInstance(opts(44100, 128, 0), inst), 0);
        EXPECT_EQ(inst.number, i);
    }
    Mp2Instance extra;
    EXPECT_EQ(enc.createInstance(opts(44100, 128, 0), extra), Mp2Encoder::kTooManyInstances);
    EXPECT_EQ(enc.liveInstances(), 10);
    EXPECT_EQ(enc.closeInstance(4), 0);
    EXPECT_EQ(enc.closeInstance(4), Mp2Encoder::kBadInstance);
    EXPECT_EQ(enc.liveInstances(), 9);
    EXPECT_EQ(enc.createInstance(opts(48000, 64, 3), extra), 0);
    EXPECT_EQ(extra.number, 4);

    // Unknown instances and short buffers are refused, not written past.
    uint8_t small[100];
    int produced = -1;
    const int16_t silence[2304] = {};
    EXPECT_EQ(enc.encodeFrame(11, 2304, silence, small, sizeof small, produced), Mp2Encoder::kBadInstance);
    EXPECT_EQ(enc.encodeFrame(0, 2304, silence, small, sizeof small, produced), Mp2Encoder::kBufferTooSmall);
    EXPECT_EQ(produced, 0);
}

TEST(Mp2Create, ModeNames) {
    EXPECT_STREQ(Mp2Encoder::modeName(1), "j-stereo");
    EXPECT_STREQ(Mp2Encoder::modeName(3), "single-ch");
    EXPECT_STREQ(Mp2Encoder::versionName(0), "MPEG-2 LSF");
}

// Every rate and mode: ffmpeg checks each CRC, and our decoder, ffmpeg and
// mpg123 agree on the samples and the length.
TEST(Mp2Decoders, AllRatesAndModesDecodeAlike) {
    QORO_REQUIRE_TOOLS("ffmpeg", "mpg123");
    TempDir dir;
    struct Case {
        int rate, kbps, mode;
    };
    const Case cases[] = {{44100, 192, 0}, {44100, 128, 1}, {48000, 256, 2}, {32000, 96, 3}, {22050, 64, 0},
                          {24000, 96, 1},  {16000, 32, 2},  {24000, 64, 3},  {48000, 64, 1}, {32000, 56, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz " + std::to_string(c.kbps) + " kbit/s mode " +
                     std::to_string(c.mode));
        const int ch = c.mode == 3 ? 1 : 2;
        const int frames = 12;
        // 11.5 frames: the last frame is padded with silence.
        const auto pcm = testSignal(c.rate, ch, frames * 1152 - 576, 0.4);
        const auto s = encodeMp2(opts(c.rate, c.kbps, c.mode), pcm);
        ASSERT_EQ(int(s.frameLengths.size()), frames);
        const fs::path file = dir / "t.mp2";
        writeBytes(file, s.bytes);

        // ffmpeg checks every CRC word while it decodes.
        const auto crc = run("ffmpeg -v error -y -err_detect crccheck+explode -i " + shellQuote(file.string()) +
                             " -f s16le " + shellQuote((dir / "ff.raw").string()) + " 2>&1");
        EXPECT_EQ(crc.exitCode, 0);
        EXPECT_EQ(crc.output, "");

        const auto own = decodeOwn(s.bytes);
        const auto ff = readPcm16(dir / "ff.raw");
        const auto mp = decodeWith("mpg123", file, dir / "mp.raw");
        EXPECT_EQ(own.size(), size_t(frames) * 1152 * ch);
        EXPECT_EQ(ff.size(), own.size());
        EXPECT_EQ(mp.size(), own.size());
        EXPECT_LE(compare(own, ff).maxAbs, 1);
        EXPECT_LE(compare(own, mp).maxAbs, 1);

        // The coded signal comes back after the filter banks' delay of 481
        // samples, with a reasonable signal-to-noise ratio.
        const double snr = snrDb(pcm, own, 481 * ch);
        EXPECT_GT(snr, c.kbps / ch >= 64 ? 20.0 : 8.0);
        EXPECT_LT(snrDb(pcm, own, 470 * ch), snr);
    }
}

TEST(Mp2Decoders, CorruptedCrcWordsAreCaught) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    const auto s = encodeMp2(opts(48000, 192, 0), testSignal(48000, 2, 6 * 1152));
    ASSERT_EQ(s.bytes.size(), 6u * 576);
    auto check = [&](size_t byte, uint8_t mask) {
        auto bad = s.bytes;
        bad[byte] ^= mask;
        writeBytes(dir / "bad.mp2", bad);
        return run("ffmpeg -v error -err_detect crccheck+explode -i " + shellQuote((dir / "bad.mp2").string()) +
                   " -f null - 2>&1");
    };
    // The CRC word itself, then the first allocation field of a frame.
    for (const size_t byte : {size_t(576 * 2 + 4), size_t(576 * 3 + 5), size_t(576 * 4 + 6)}) {
        const auto r = check(byte, 0x10);
        EXPECT_TRUE(r.exitCode != 0 || !r.output.empty()) << "byte " << byte;
    }
}

TEST(Mp2Decoders, FilterBankDelayIs481Samples) {
    const auto pcm = testSignal(48000, 1, 20 * 1152, 0.5);
    const auto own = decodeOwn(encodeMp2(opts(48000, 192, 3), pcm).bytes);
    EXPECT_EQ(bestDelay(pcm, own, 1, 600), 481);
    // A near-transparent rate: the round trip is within a few LSB.
    EXPECT_GT(snrDb(pcm, own, 481), 30.0);
}

TEST(Mp2Decoders, ShortCallsArePaddedAndLoudInputClips) {
    // A full-scale square wave: scale factors and quantisers at their limits.
    std::vector<int16_t> pcm(1152 * 6 * 2);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = ((i / 2) / 50) % 2 ? 32767 : -32768;
    const auto s = encodeMp2(opts(44100, 384, 0), pcm);
    const auto own = decodeOwn(s.bytes);
    ASSERT_EQ(own.size(), pcm.size());
    EXPECT_GT(snrDb(pcm, own, 481 * 2), 10.0);

    // A call with a single sample frame is a whole frame of almost-silence.
    Mp2Encoder enc;
    Mp2Instance inst;
    ASSERT_EQ(enc.createInstance(opts(44100, 128, 0), inst), 0);
    std::vector<uint8_t> out(size_t(inst.outputBufferSize));
    const int16_t one[2] = {1000, -1000};
    int produced = 0;
    ASSERT_EQ(enc.encodeFrame(inst.number, 2, one, out.data(), out.size(), produced), 0);
    EXPECT_EQ(produced, 418);  // the first frame of 44.1 kHz is padded
    out.resize(size_t(produced));
    const auto dec = decodeOwn(out);
    ASSERT_EQ(dec.size(), 2304u);
    for (int16_t v : dec) EXPECT_LE(std::abs(int(v)), 1000);
}

TEST(Mp2Decoders, JointStereoKeepsEachChannelsLevelAboveTheBound) {
    // Left: a 12 kHz tone (subband 17, above any intensity bound); right: a
    // 440 Hz tone. Coded jointly, the right channel must not pick up the
    // left's tone, and the left keeps its level.
    const int frames = 20 * 1152;
    std::vector<int16_t> pcm(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        pcm[size_t(i) * 2] = int16_t(std::lrint(12000 * std::sin(2 * M_PI * 12000.0 * i / 44100)));
        pcm[size_t(i) * 2 + 1] = int16_t(std::lrint(12000 * std::sin(2 * M_PI * 440.0 * i / 44100)));
    }
    const auto s = encodeMp2(opts(44100, 128, 1), pcm);
    const auto headers = mp2Headers(s.bytes);
    ASSERT_FALSE(headers.empty());
    for (const auto& h : headers) EXPECT_EQ(h.mode, 1);
    const auto own = decodeOwn(s.bytes);
    ASSERT_EQ(own.size(), pcm.size());
    std::vector<int16_t> left, right, decLeft, decRight;
    for (size_t i = 0; i < pcm.size(); i += 2) {
        left.push_back(pcm[i]);
        right.push_back(pcm[i + 1]);
        decLeft.push_back(own[i]);
        decRight.push_back(own[i + 1]);
    }
    EXPECT_GT(snrDb(left, decLeft, 481), 10.0);
    EXPECT_GT(snrDb(right, decRight, 481), 20.0);
}

}  // namespace
}  // namespace qoro::test
