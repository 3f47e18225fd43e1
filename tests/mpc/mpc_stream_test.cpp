// Streams of every stream version built from known frame contents: the
// decoder must reconstruct them, handle damaged and truncated frames, seek,
// and apply the peak-based scale.
#include <gtest/gtest.h>

#include <cmath>

#include "mpc_decoder.h"
#include "mpc_stream_writer.h"
#include "mpc_test_util.h"
#include "test_support.h"

namespace qoro::mpc::testing {
namespace {

using namespace qoro::test;

struct Built {
    std::vector<FrameContent> frames;
    std::vector<uint8_t> file;
};

Built build(const StreamShape& shape, int count, unsigned seed, bool noise = false) {
    std::mt19937 rng(seed);
    StreamWriter w(shape);
    Built b;
    for (int i = 0; i < count; ++i) {
        b.frames.push_back(randomFrame(rng, shape, noise));
        w.addFrame(b.frames.back());
    }
    b.file = w.bytes();
    return b;
}

std::string store(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& name = "s.mpc") {
    const fs::path p = dir / name;
    writeBytes(p, bytes);
    return p.string();
}

class MpcAllVersions : public ::testing::TestWithParam<int> {};

TEST_P(MpcAllVersions, ReconstructsKnownFrames) {
    for (bool ms : {false, true}) {
        StreamShape shape;
        shape.version = GetParam();
        shape.msStereo = ms;
        shape.maxBand = 31;
        const Built b = build(shape, 12, 100u + unsigned(GetParam()) + (ms ? 7u : 0u));
        TempDir dir;
        MpcDecoder dec;
        ASSERT_EQ(dec.open(store(dir, b.file)), 0);
        EXPECT_EQ(dec.info().header.streamVersion, GetParam());
        EXPECT_EQ(dec.info().header.frames, 12u);
        std::vector<int> sizes;
        const auto pcm = decodeAll(dec, &sizes);
        EXPECT_EQ(dec.stats().damagedFrames, 0u);
        ASSERT_EQ(sizes.size(), 12u);
        EXPECT_EQ(sizes[0], MpcDecoder::kFirstFrameBytes);
        EXPECT_EQ(sizes[11], MpcDecoder::kFrameBytes);
        const auto expected = expectedPcm(shape, b.frames);
        ASSERT_EQ(pcm.size(), expected.size());
        const Difference d = compare(expected, pcm);
        EXPECT_LE(d.maxAbs, 1) << "version " << GetParam() << " ms " << ms;
        double energy = 0;
        for (int16_t v : expected) energy += double(v) * v;
        EXPECT_GT(std::sqrt(energy / double(expected.size())), 50.0);  // the frames carry a real signal
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, MpcAllVersions, ::testing::Values(4, 5, 6, 7));

// Band 31 used, resolutions 16 and 17 (16-bit raw samples at the extremes),
// escapes in both directions, a narrower highest band in the header.
TEST(MpcStream, EdgeResolutionsAndBands) {
    StreamShape shape;
    shape.maxBand = 31;
    // Band 3 and 4 need escapes (down 15, up 8), band 31 climbs from 15.
    constexpr int kRes[32] = {15, 17, 16, 1, 9, 0, 9, 9, 9, 9, 0, 9, 9, 9, 9,  0,
                              9,  9,  9,  9, 0, 9, 9, 9, 9, 0, 9, 9, 9, 9, 15, 17};
    FrameContent f;
    for (int ch = 0; ch < 2; ++ch)
        for (int n = 0; n < 32; ++n) {
            f.res[ch][n] = kRes[n];
            for (int p = 0; p < 3; ++p) f.scf[ch][n][p] = 40 + (n % 7);
            f.scfi[ch][n] = 3;
            const int top = f.res[ch][n] >= 8 ? (1 << (f.res[ch][n] - 2)) - 1 : 1;
            for (int k = 0; k < 36; ++k) f.q[ch][n][k] = k % 2 ? top : -top;
        }
    f.res[1][31] = 0;
    StreamWriter w(shape);
    for (int i = 0; i < 3; ++i) w.addFrame(f);
    TempDir dir;
    MpcDecoder dec;
    ASSERT_EQ(dec.open(store(dir, w.bytes())), 0);
    const auto pcm = decodeAll(dec);
    EXPECT_EQ(dec.stats().damagedFrames, 0u);
    const auto expected = expectedPcm(shape, {f, f, f});
    EXPECT_LE(compare(expected, pcm).maxAbs, 1);
    EXPECT_EQ(pcm.size(), expected.size());

    // Highest band 5: bands above it are not in the stream.
    StreamShape narrow;
    narrow.maxBand = 5;
    std::mt19937 rng(3);
    StreamWriter w2(narrow);
    std::vector<FrameContent> frames;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(randomFrame(rng, narrow));
        w2.addFrame(frames.back());
    }
    ASSERT_EQ(dec.open(store(dir, w2.bytes(), "narrow.mpc")), 0);
    EXPECT_LE(compare(expectedPcm(narrow, frames), decodeAll(dec)).maxAbs, 1);
}

// A frame whose length field does not match what it holds is damaged: silence
// when skipping (the default), the end of the stream when not; the frames
// around it are untouched.
TEST(MpcStream, DamagedFrameLength) {
    StreamShape shape;
    std::mt19937 rng(11);
    StreamWriter w(shape);
    std::vector<FrameContent> frames;
    for (int i = 0; i < 6; ++i) {
        frames.push_back(randomFrame(rng, shape));
        w.addFrame(frames.back(), i == 3 ? 9 : 0);
    }
    TempDir dir;
    const std::string path = store(dir, w.bytes());
    const auto expected = expectedPcm(shape, frames);

    MpcDecoder dec;
    ASSERT_EQ(dec.open(path), 0);
    std::vector<int> sizes;
    const auto pcm = decodeAll(dec, &sizes);
    ASSERT_EQ(sizes.size(), 6u);
    EXPECT_EQ(dec.stats().damagedFrames, 1u);
    ASSERT_EQ(pcm.size(), expected.size());
    const size_t f3 = (671 + 2 * 1152) * 2, f4 = f3 + 2304;
    for (size_t i = f3; i < f4; ++i) ASSERT_EQ(pcm[i], 0) << i;
    // Before: identical. After: the synthesis still holds frame 3's signal
    // for its first 512 samples, then identical again.
    EXPECT_LE(compare(std::vector<int16_t>(expected.begin(), expected.begin() + long(f3)),
                      std::vector<int16_t>(pcm.begin(), pcm.begin() + long(f3)))
                  .maxAbs,
              1);
    EXPECT_LE(compare(std::vector<int16_t>(expected.begin() + long(f4) + 1024, expected.end()),
                      std::vector<int16_t>(pcm.begin() + long(f4) + 1024, pcm.end()))
                  .maxAbs,
              1);

    ASSERT_EQ(dec.open(path), 0);
    dec.setSkipDamagedFrames(0);
    sizes.clear();
    decodeAll(dec, &sizes);
    EXPECT_EQ(sizes.size(), 3u);  // ends at the damaged frame
    uint8_t buf[MpcDecoder::kFrameBytes];
    EXPECT_EQ(dec.decodeFrame(buf), 0);  // and stays there
}

// A file cut inside its last frame: that frame is damaged (silence), never
// read beyond the data; a file cut after its third frame ends there.
TEST(MpcStream, TruncatedFile) {
    StreamShape shape;
    const Built b = build(shape, 5, 21);
    StreamWriter w(shape);
    for (const auto& f : b.frames) w.addFrame(f);
    const uint64_t lastStart = w.frameStart(4);
    const size_t cut = size_t(25 + (lastStart + 200) / 8);
    TempDir dir;
    MpcDecoder dec;
    ASSERT_EQ(dec.open(store(dir, std::vector<uint8_t>(b.file.begin(), b.file.begin() + long(cut)))), 0);
    std::vector<int> sizes;
    const auto pcm = decodeAll(dec, &sizes);
    EXPECT_EQ(sizes.size(), 5u);
    EXPECT_EQ(dec.stats().damagedFrames, 1u);
    const auto expected = expectedPcm(shape, b.frames);
    const size_t f4 = (671 + 3 * 1152) * 2;
    EXPECT_LE(compare(std::vector<int16_t>(expected.begin(), expected.begin() + long(f4)), pcm).maxAbs, 1);
    for (size_t i = f4; i < pcm.size(); ++i) ASSERT_EQ(pcm[i], 0);

    const size_t cut3 = size_t((200 + w.frameStart(3)) / 8) - 4;
    ASSERT_EQ(dec.open(store(dir, std::vector<uint8_t>(b.file.begin(), b.file.begin() + long(cut3)), "t3.mpc")), 0);
    sizes.clear();
    decodeAll(dec, &sizes);
    EXPECT_LE(sizes.size(), 4u);
    EXPECT_GE(sizes.size(), 3u);
}

// Seeking to 0 starts over exactly; seeking into the stream (near and far,
// through the 32-frame rebuild of the scale factors) gives the samples of a
// decode from the start once the cleared synthesis filter has filled again.
TEST(MpcStream, SeekMatchesDecodingFromTheStart) {
    StreamShape shape;
    const Built b = build(shape, 80, 5);
    ASSERT_GT(b.file.size(), 2u * 32768);  // the bit buffer refills several times, and reloads on seeks
    TempDir dir;
    const std::string path = store(dir, b.file);
    MpcDecoder dec;
    ASSERT_EQ(dec.open(path), 0);
    const auto all = decodeAll(dec);
    ASSERT_EQ(all.size(), size_t(80 * 1152 - 481) * 2);
    EXPECT_EQ(dec.positionMs(), int64_t(80 * 1152 / 44.1 + 0.5));

    EXPECT_EQ(dec.seekMs(0), 0);
    EXPECT_EQ(dec.positionMs(), 0);
    EXPECT_EQ(decodeAll(dec), all);

    for (int target : {10, 33, 50, 79}) {
        const int64_t ms = int64_t(target * 1152 / 44.1);
        const int64_t reached = dec.seekMs(ms);
        EXPECT_EQ(reached, int64_t(target * 1152 / 44.1 + 0.5)) << target;
        const auto rest = decodeAll(dec);
        const size_t from = size_t(target * 1152 - 481) * 2;
        ASSERT_EQ(rest.size(), all.size() - from) << target;
        // Sample for sample what decoding from the start gives, from the
        // first sample after the seek (the synthesis filters are refilled).
        const std::vector<int16_t> a(all.begin() + long(from), all.end());
        EXPECT_EQ(a, rest) << "seek to frame " << target;
    }
    // Beyond the end: the last frame boundary.
    EXPECT_EQ(dec.seekMs(10'000'000), int64_t(80 * 1152 / 44.1 + 0.5));
    uint8_t buf[MpcDecoder::kFrameBytes];
    EXPECT_EQ(dec.decodeFrame(buf), 0);
    EXPECT_GT(dec.filePosition(), b.file.size() - 8);
}

TEST(MpcStream, DurationAndPeakScale) {
    // 10000 frames: 10000 x 1152 / 44.1 = 261224.49 ms.
    StreamShape shape;
    shape.peak = 60000;
    const Built b = build(shape, 6, 8);
    StreamWriter w(shape);
    for (const auto& f : b.frames) w.addFrame(f);
    TempDir dir;
    MpcDecoder dec;
    ASSERT_EQ(dec.open(store(dir, w.bytes(10000), "long.mpc")), 0);
    EXPECT_EQ(dec.info().durationMs(), 261224);
    EXPECT_EQ(dec.info().header.frames, 10000u);

    // Clipping prevention scales by 32767 / (peak x 1.18) when that is below 1.
    ASSERT_EQ(dec.open(store(dir, b.file)), 0);
    const auto plain = decodeAll(dec);
    ASSERT_EQ(dec.open(store(dir, b.file)), 0);
    dec.setClippingPrevention(true);
    const auto scaled = decodeAll(dec);
    ASSERT_EQ(plain.size(), scaled.size());
    double num = 0, den = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        num += double(plain[i]) * scaled[i];
        den += double(plain[i]) * plain[i];
    }
    EXPECT_NEAR(num / den, 32767.0 / (60000.0 * 1.18), 0.002);

    // Versions 4 to 6 have no peak: nothing changes.
    StreamShape v6;
    v6.version = 6;
    const Built b6 = build(v6, 3, 9);
    ASSERT_EQ(dec.open(store(dir, b6.file, "v6.mpc")), 0);
    const auto p6 = decodeAll(dec);
    ASSERT_EQ(dec.open(store(dir, b6.file, "v6.mpc")), 0);
    dec.setClippingPrevention(true);
    EXPECT_EQ(decodeAll(dec), p6);
}

// The decoder's open keeps the header rules: a version byte 0x17, a bitrate
// in a version 5 header, a highest band beyond 31 are all refused.
TEST(MpcStream, OpenRefusesBrokenHeaders) {
    TempDir dir;
    MpcDecoder dec;
    StreamShape v7;
    auto b = build(v7, 2, 1).file;
    ASSERT_EQ(dec.open(store(dir, b, "ok.mpc")), 0);
    b[3] = 0x17;
    EXPECT_EQ(dec.open(store(dir, b, "v17.mpc")), -1);
    b[3] = 7;
    b[11] = uint8_t((b[11] & 0xC0) | 40);  // highest band 40
    EXPECT_EQ(dec.open(store(dir, b, "band40.mpc")), -1);

    StreamShape v5;
    v5.version = 5;
    auto c = build(v5, 2, 2).file;
    ASSERT_EQ(dec.open(store(dir, c, "v5.mpc")), 0);
    EXPECT_EQ(dec.info().header.frames, 2u);
    c[3] |= 0x80;  // top bit of the 9-bit bitrate field
    EXPECT_EQ(dec.open(store(dir, c, "v5rate.mpc")), -1);
    EXPECT_EQ(dec.decodeFrame(std::vector<uint8_t>(MpcDecoder::kFrameBytes).data()), 0);
}

// Noise bands (resolution -1) cannot match another decoder sample for sample,
// but their level follows the scale factor.
TEST(MpcStream, NoiseBandsFollowTheirScaleFactor) {
    StreamShape shape;
    shape.msStereo = false;
    FrameContent f;
    for (int ch = 0; ch < 2; ++ch) {
        f.res[ch][4] = -1;
        for (int p = 0; p < 3; ++p) f.scf[ch][4][p] = 13;  // 10^(-60/63 * ...) about -19 dB
        f.scfi[ch][4] = 3;
    }
    StreamWriter w(shape);
    for (int i = 0; i < 8; ++i) w.addFrame(f);
    TempDir dir;
    MpcDecoder dec;
    ASSERT_EQ(dec.open(store(dir, w.bytes())), 0);
    const auto pcm = decodeAll(dec);
    EXPECT_EQ(dec.stats().noiseBands, 16u);
    double energy = 0;
    for (size_t i = 4608; i < pcm.size(); ++i) energy += double(pcm[i]) * pcm[i];
    const double rms = std::sqrt(energy / double(pcm.size() - 4608));
    // The noise has the RMS of the scale factor (16-bit units).
    const double level = 32768.0 * std::pow(10.0, -(100.0 / 63.0) * 12 / 20.0);
    std::printf("noise band RMS %.1f, scale-factor level %.1f\n", rms, level);
    EXPECT_GT(rms, level * 0.8);
    EXPECT_LT(rms, level * 1.25);
}

}  // namespace
}  // namespace qoro::mpc::testing
