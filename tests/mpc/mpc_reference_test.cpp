// The decoder on the sample files against ffmpeg's decoding, and the header
// rules on the sample headers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "mpc_decoder.h"
#include "mpc_frame.h"
#include "mpc_stream_writer.h"
#include "test_support.h"

namespace qoro::mpc {
namespace {

using namespace qoro::test;

std::vector<int16_t> decodeAll(MpcDecoder& dec, int* frames = nullptr) {
    std::vector<int16_t> pcm;
    std::vector<uint8_t> buf(MpcDecoder::kFrameBytes);
    int count = 0;
    while (int n = dec.decodeFrame(buf.data())) {
        for (int i = 0; i < n; i += 2) pcm.push_back(int16_t(buf[i] | (buf[i + 1] << 8)));
        ++count;
    }
    if (frames) *frames = count;
    return pcm;
}

std::vector<int16_t> ffmpegDecode(const fs::path& file, const TempDir& dir) {
    const fs::path raw = dir / "ffmpeg.raw";
    const auto r = run("ffmpeg -v error -y -i " + shellQuote(file.string()) + " -f s16le -ac 2 -ar 44100 " +
                       shellQuote(raw.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readPcm16(raw);
}

class MpcSampleFiles : public ::testing::TestWithParam<const char*> {};

// ffmpeg keeps the synthesis delay at the start; we drop it (481 sample
// frames, 962 samples).
TEST_P(MpcSampleFiles, MatchFfmpegWithinOneLsb) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const fs::path file = testdata(std::string("mpc/") + GetParam());
    TempDir dir;
    MpcDecoder dec;
    ASSERT_EQ(dec.open(file.string()), 0);
    const uint32_t frames = dec.info().header.frames;
    int decoded = 0;
    const auto ours = decodeAll(dec, &decoded);
    EXPECT_EQ(uint32_t(decoded), frames);
    EXPECT_EQ(ours.size(), size_t(frames) * 1152 * 2 - 481 * 2);

    EXPECT_EQ(dec.stats().damagedFrames, 0u);
    double energy = 0;
    size_t nonZero = 0;
    for (int16_t v : ours) energy += double(v) * v, nonZero += v != 0;
    const double rms = std::sqrt(energy / double(ours.size()));
    EXPECT_GT(nonZero, 500u);  // audio, not silence (full-tagged.mpc is very quiet)

    const auto ref = ffmpegDecode(file, dir);
    ASSERT_GE(ref.size(), 962u);
    const Difference d = compare(ours, ref, 962);
    std::printf(
        "%s: %u frames, ours %zu samples, ffmpeg %zu, compared %zu, max |diff| %d, "
        "RMS diff %.4f, signal RMS %.1f, noise-substituted bands %u of %u\n",
        GetParam(), frames, ours.size() / 2, ref.size() / 2, d.compared / 2, d.maxAbs, d.rms, rms,
        dec.stats().noiseBands, dec.stats().codedBands);
    EXPECT_EQ(ref.size() - 962, ours.size());
    EXPECT_EQ(d.compared, ours.size());
    EXPECT_LE(d.maxAbs, 1);
}

INSTANTIATE_TEST_SUITE_P(Sv7, MpcSampleFiles, ::testing::Values("click.mpc", "full-tagged.mpc"));

TEST(MpcHeaders, SampleHeadersOpenOrAreRefused) {
    MpcDecoder dec;
    ASSERT_EQ(dec.open(testdata("mpc/sv4_header.mpc").string()), 0);
    EXPECT_EQ(dec.info().header.streamVersion, 4);
    const uint32_t sv4Frames = dec.info().header.frames;
    ASSERT_EQ(dec.open(testdata("mpc/sv5_header.mpc").string()), 0);
    EXPECT_EQ(dec.info().header.streamVersion, 5);
    const uint32_t sv5Frames = dec.info().header.frames;
    std::printf("sv4_header.mpc: %u frames; sv5_header.mpc: %u frames\n", sv4Frames, sv5Frames);
    // Version 4 keeps a 16-bit count, version 5 a 32-bit one; both one less than stored.
    const auto b4 = readBytes(testdata("mpc/sv4_header.mpc"));
    EXPECT_EQ(sv4Frames, uint32_t(b4[6] | (b4[7] << 8)) - 1);
    const auto b5 = readBytes(testdata("mpc/sv5_header.mpc"));
    EXPECT_EQ(sv5Frames, uint32_t(b5[4] | (b5[5] << 8) | (b5[6] << 16) | (uint32_t(b5[7]) << 24)) - 1);

    // Stream version 8 and a file that is an ID3v2 tag with a few bytes.
    EXPECT_EQ(dec.open(testdata("mpc/sv8_header.mpc").string()), -1);
    EXPECT_EQ(dec.open(testdata("mpc/almostempty.mpc").string()), -1);
    EXPECT_EQ(dec.open("/nonexistent/file.mpc"), -1);
    uint8_t buf[MpcDecoder::kFrameBytes];
    EXPECT_EQ(dec.decodeFrame(buf), 0);  // a refused file decodes nothing
    EXPECT_EQ(dec.seekMs(1000), 0);
}

// The two version 4 and 5 header files hold the first 120 bytes of a real
// frame: resolutions, mid/side flags, scale-factor transmission and the scale
// factors of that frame fit in them. Parsed with the decoder's frame code they
// must look like music: resolutions that fall off towards the high bands,
// nothing above band 13, scale factors within 6 bits and close between
// neighbouring bands.
// Taggers put ID3v2 tags in front of MPEG Plus streams too (of any size, at
// any byte alignment): the stream decodes as without them.
TEST(MpcHeaders, StreamsBehindId3v2TagsDecodeAsWithout) {
    const auto plain = testdata("mpc/full-tagged.mpc");
    MpcDecoder dec;
    ASSERT_EQ(dec.open(plain.string()), 0);
    const auto expected = decodeAll(dec);
    ASSERT_FALSE(expected.empty());
    TempDir dir;
    for (size_t body : {1u, 3u, 30001u}) {
        std::vector<uint8_t> bytes{'I',
                                   'D',
                                   '3',
                                   3,
                                   0,
                                   0,
                                   uint8_t(body >> 21 & 0x7F),
                                   uint8_t(body >> 14 & 0x7F),
                                   uint8_t(body >> 7 & 0x7F),
                                   uint8_t(body & 0x7F)};
        bytes.resize(10 + body, 0);
        const auto stream = readBytes(plain);
        bytes.insert(bytes.end(), stream.begin(), stream.end());
        const auto tagged = dir / ("tagged" + std::to_string(body) + ".mpc");
        writeBytes(tagged, bytes);
        MpcDecoder again;
        ASSERT_EQ(again.open(tagged.string()), 0) << body;
        EXPECT_EQ(decodeAll(again), expected) << body;
    }
}

TEST(MpcHeaders, RealVersion4And5FramesParse) {
    for (const char* name : {"mpc/sv4_header.mpc", "mpc/sv5_header.mpc"}) {
        const auto file = testdata(name);
        MpcDecoder dec;
        ASSERT_EQ(dec.open(file.string()), 0);
        const auto& h = dec.info().header;
        BitBuffer bits;
        ASSERT_TRUE(bits.open(file.string(), 0, fs::file_size(file)));
        bits.seek(uint64_t(h.firstFrameByte) * 8 + uint64_t(h.firstFrameBit));
        const uint32_t length = bits.read(20);
        EXPECT_GT(length, 2000u);  // the frame goes on beyond the file
        FrameState st;
        st.streamVersion = h.streamVersion;
        st.maxBand = h.maxBand;
        st.msStereo = h.msStereo;
        const int used = parseFrame(bits, st);
        EXPECT_GE(used, 10) << name;
        EXPECT_LE(used, 13) << name;
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_GE(st.res[ch][0], 6) << name;
            for (int n = 0; n < used; ++n) {
                EXPECT_LE(st.res[ch][n], st.res[ch][0]) << name;
                if (st.res[ch][n] == 0) continue;
                for (int p = 0; p < 3; ++p) {
                    EXPECT_GE(st.scf[ch][n][p], 20) << name;
                    EXPECT_LE(st.scf[ch][n][p], 63) << name;
                }
                if (n > 0 && st.res[ch][n - 1] != 0) {
                    EXPECT_LE(std::abs(st.scf[ch][n][0] - st.scf[ch][n - 1][0]), 12) << name;
                }
            }
        }
    }
}

// Streams from the test writer with every feature of version 7 (all
// resolutions, both code tables, every scale-factor pattern, escapes, mid/side
// bands) decode in ffmpeg as in our decoder: the writer and the decoder agree
// with an independent reading of the format.
TEST(MpcGenerated, Sv7StreamsMatchFfmpeg) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    for (bool ms : {false, true}) {
        testing::StreamShape shape;
        shape.msStereo = ms;
        std::mt19937 rng(ms ? 41 : 42);
        testing::StreamWriter w(shape);
        for (int i = 0; i < 30; ++i) w.addFrame(testing::randomFrame(rng, shape));
        TempDir dir;
        const fs::path file = dir / "gen.mpc";
        writeBytes(file, w.bytes());
        MpcDecoder dec;
        ASSERT_EQ(dec.open(file.string()), 0);
        const auto ours = decodeAll(dec);
        EXPECT_EQ(dec.stats().damagedFrames, 0u);
        const auto ref = ffmpegDecode(file, dir);
        ASSERT_EQ(ref.size(), ours.size() + 962);
        const Difference d = compare(ours, ref, 962);
        std::printf("generated, mid/side %d: %zu samples, max |diff| %d, RMS %.4f\n", int(ms), ours.size() / 2,
                    d.maxAbs, d.rms);
        EXPECT_LE(d.maxAbs, 1);
    }
}

}  // namespace
}  // namespace qoro::mpc
