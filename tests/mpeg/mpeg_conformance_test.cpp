// Decoding accuracy against the public conformance streams and their
// reference decodings: max |difference| <= 1 and RMS <= 1/sqrt(12).
#include "conformance_streams.h"
#include "mpeg_file_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace qoro::mpeg;
namespace t = qoro::test;

namespace {

// Decodes a whole file through the file decoder in 0.1 s blocks.
std::vector<int16_t> decodeAll(const std::string& path, MpegFileFacts* facts = nullptr) {
    MpegFileDecoder dec;
    std::vector<int16_t> out;
    if (dec.open(path) != 0) return out;
    if (facts) *facts = dec.facts();
    const size_t room = std::max<size_t>(dec.facts().sampleRate / 10 * 4, MpegFileDecoder::kMinReadBytes);
    std::vector<int16_t> block(room / 2);
    for (;;) {
        const size_t bytes = dec.read(block.data(), room);
        if (bytes == 0) break;
        out.insert(out.end(), block.begin(), block.begin() + long(bytes / 2));
    }
    return out;
}

using qoro::mpeg::testing::ConformanceStream;

class Conformance : public ::testing::TestWithParam<ConformanceStream> {};

TEST_P(Conformance, MatchesReferenceDecoding) {
    const ConformanceStream s = GetParam();
    const auto bit = t::testdata(std::string("mpeg/") + s.name + ".bit");
    const auto ref = t::readPcm16(t::testdata(std::string("mpeg/") + s.name + ".pcm"));
    const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(bit));
    const int64_t frames = shape.frames;
    const int spf = shape.samplesPerFrame, channels = shape.channels;
    ASSERT_GT(frames, 0);

    const auto ours = decodeAll(bit.string());
    EXPECT_EQ(int64_t(ours.size()), frames * spf * channels);

    // Frames whose main data is missing come out as silence; a reference
    // that omits them is aligned by whole frames.
    const long skip = long(s.leadingFramesMissingInReference) * spf * channels;
    ASSERT_GT(long(ours.size()), skip);
    for (long i = 0; i < skip; ++i) ASSERT_EQ(ours[size_t(i)], 0) << "sample " << i;
    const std::vector<int16_t> aligned(ours.begin() + skip, ours.end());
    const size_t n = std::min(aligned.size(), ref.size());
    ASSERT_GT(n, aligned.size() * 9 / 10);  // compare (nearly) all of our output
    const t::Difference d = t::compare(aligned, ref);
    EXPECT_LE(d.maxAbs, 1) << s.name;
    EXPECT_LE(d.rms, 0.289) << s.name;
}

INSTANTIATE_TEST_SUITE_P(Streams, Conformance, ::testing::ValuesIn(qoro::mpeg::testing::kConformanceStreams),
                         qoro::mpeg::testing::ConformanceStreamName());

TEST(ConformanceIllegal, IllegalStreamsDecodeWithoutHarm) {
    for (const char* name : {"ILL2_center2", "ILL2_dual", "ILL2_dynx22", "ILL2_layer3", "ILL2_mono", "ILL2_overalloc1",
                             "ILL2_overalloc2", "ILL2_scf63", "ILL2_wrongcrc", "ILL4_ext_id1", "ILL4_sync",
                             "ILL4_wrong_length1", "ILL4_wrong_length2", "ILL4_wrongcrc"}) {
        const auto path = t::testdata(std::string("mpeg/") + name + ".bit");
        const auto bytes = t::readBytes(path);
        const auto ours = decodeAll(path.string());
        // Never more output than the file could hold frames for.
        EXPECT_LE(ours.size(), bytes.size() * 2304 / 48 + 2304) << name;
    }
}

}  // namespace

namespace {

// Hostile input: damaged conformance streams and frames of random bytes
// behind valid headers must decode without a fault the sanitizers can see,
// with output bounded by the frames present.
TEST(MpegRobustness, DamagedStreamsDecodeSafely) {
    t::TempDir dir;
    std::mt19937 rng(1234);
    for (const char* name : {"l1-fl6", "l2-fl13", "l3-compl", "l3-si_block", "M2L3_compl24"}) {
        const auto original = t::readBytes(t::testdata(std::string("mpeg/") + name + ".bit"));
        for (int round = 0; round < 4; ++round) {
            auto bytes = original;
            for (size_t k = 0; k < bytes.size() / 100; ++k) bytes[rng() % bytes.size()] = uint8_t(rng());
            const auto path = dir / (std::string(name) + ".mp3");
            t::writeBytes(path, bytes);
            const auto pcm = decodeAll(path.string());
            // Smallest frame: 8 kbit/s MPEG-2.5 at 8 kHz, 72 bytes for 576 samples.
            EXPECT_LE(pcm.size(), (bytes.size() / 72 + 1) * 1152 * 2) << name;
        }
    }
}

TEST(MpegRobustness, RandomFrameBodies) {
    std::mt19937 rng(99);
    MpegFrameDecoder dec;
    std::vector<int16_t> out(MpegFrameDecoder::kMaxSamples);
    std::vector<uint8_t> frame(MpegFrameDecoder::kMaxFrameBytes);
    const uint32_t headers[] = {0xFFFE9040u /* L1 */, 0xFFFDA440u /* L2 */, 0xFFFB9064u /* L3 joint, IS+MS */,
                                0xFFF39074u /* LSF L3 joint */, 0xFFE360C0u /* 2.5 mono */};
    for (int i = 0; i < 3000; ++i) {
        const uint32_t w = headers[i % 5];
        const MpegFrameHeader h = unpackMpegHeader(w);
        ASSERT_TRUE(isValidMpegHeader(h));
        const int len = mpegFrameLength(h);
        for (int k = 4; k < len; ++k) frame[size_t(k)] = uint8_t(rng());
        if (i % 7 == 0) frame[4] = frame[5] = 0;  // main data at the reservoir's start
        frame[0] = uint8_t(w >> 24);
        frame[1] = uint8_t(w >> 16);
        frame[2] = uint8_t(w >> 8);
        frame[3] = uint8_t(w);
        const int n = dec.decodeFrame(h, frame.data(), size_t(len), out.data());
        EXPECT_TRUE(n == -1 || n == mpegSamplesPerFrame(h));
    }
}

}  // namespace
