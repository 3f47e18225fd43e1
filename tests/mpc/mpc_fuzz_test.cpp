// Damaged input through open, decode and seek: random mutations and
// truncations of a sample file and of generated streams. Nothing may crash or
// read outside its buffers (run under the sanitizers too), and the decoder's
// answers stay within what the interface promises.
#include <gtest/gtest.h>

#include <random>

#include "mpc_decoder.h"
#include "mpc_stream_writer.h"
#include "test_support.h"

namespace qoro::mpc::testing {
namespace {

using namespace qoro::test;

void exercise(const std::string& path, std::mt19937& rng) {
    MpcDecoder dec;
    if (dec.open(path) != 0) return;
    const uint32_t frames = dec.info().header.frames;
    std::vector<uint8_t> buf(MpcDecoder::kFrameBytes);
    dec.setSkipDamagedFrames(int(rng() % 2));
    uint32_t count = 0;
    while (int n = dec.decodeFrame(buf.data())) {
        ASSERT_TRUE(n == MpcDecoder::kFrameBytes || n == MpcDecoder::kFirstFrameBytes) << n;
        ASSERT_LT(count++, frames);
    }
    const int64_t duration = dec.info().durationMs();
    const int64_t reached = dec.seekMs(int64_t(rng() % uint32_t(duration + 2)));
    EXPECT_GE(reached, 0);
    EXPECT_LE(reached, duration + 1);
    for (int i = 0; i < 3; ++i) {
        const int n = dec.decodeFrame(buf.data());
        ASSERT_TRUE(n == 0 || n == MpcDecoder::kFrameBytes || n == MpcDecoder::kFirstFrameBytes) << n;
    }
}

std::vector<uint8_t> mutate(std::vector<uint8_t> b, std::mt19937& rng) {
    const int kind = int(rng() % 4);
    if (kind == 0 && b.size() > 1) {
        b.resize(rng() % b.size());  // truncation
    } else {
        const int edits = 1 + int(rng() % 8);
        for (int i = 0; i < edits && !b.empty(); ++i) {
            // Mostly in the frames, sometimes in the header.
            const size_t at = rng() % 5 == 0 ? rng() % std::min<size_t>(b.size(), 32) : rng() % b.size();
            if (kind == 1)
                b[at] ^= uint8_t(1u << (rng() % 8));
            else
                b[at] = uint8_t(rng());
        }
    }
    return b;
}

TEST(MpcFuzz, MutatedAndTruncatedStreams) {
    std::vector<std::vector<uint8_t>> seeds;
    seeds.push_back(readBytes(testdata("mpc/click.mpc")));
    std::mt19937 gen(77);
    for (int version : {7, 5}) {
        StreamShape shape;
        shape.version = version;
        StreamWriter w(shape);
        for (int i = 0; i < 40; ++i) w.addFrame(randomFrame(gen, shape, version == 7));
        seeds.push_back(w.bytes());
    }
    TempDir dir;
    const std::string path = (dir / "fuzz.mpc").string();
    std::mt19937 rng(1234);
    for (int i = 0; i < 300; ++i) {
        writeBytes(path, mutate(seeds[size_t(i) % seeds.size()], rng));
        exercise(path, rng);
        if (HasFatalFailure()) return;
    }
}

// Length fields that claim the largest frame, or nothing at all.
TEST(MpcFuzz, LyingLengthFields) {
    StreamShape shape;
    std::mt19937 gen(5);
    StreamWriter w(shape);
    for (int i = 0; i < 4; ++i) w.addFrame(randomFrame(gen, shape));
    auto bytes = w.bytes();
    TempDir dir;
    for (uint32_t length : {0u, 1u, 0xFFFFFu}) {
        auto b = bytes;
        // The first frame's 20-bit length starts at bit 8 of word 6.
        uint32_t word = uint32_t(b[24]) | uint32_t(b[25]) << 8 | uint32_t(b[26]) << 16 | uint32_t(b[27]) << 24;
        word = (word & ~(0xFFFFFu << 4)) | (length << 4);
        for (int k = 0; k < 4; ++k) b[24 + size_t(k)] = uint8_t(word >> (8 * k));
        const std::string path = (dir / ("len" + std::to_string(length) + ".mpc")).string();
        writeBytes(path, b);
        MpcDecoder dec;
        ASSERT_EQ(dec.open(path), 0);
        std::vector<uint8_t> buf(MpcDecoder::kFrameBytes);
        EXPECT_EQ(dec.decodeFrame(buf.data()), MpcDecoder::kFirstFrameBytes);
        EXPECT_EQ(dec.stats().damagedFrames, 1u);
        int more = 0;
        while (dec.decodeFrame(buf.data())) ++more;
        EXPECT_LE(more, 3);
        dec.setSkipDamagedFrames(0);
        EXPECT_EQ(dec.seekMs(0), 0);
        EXPECT_EQ(dec.decodeFrame(buf.data()), 0);
    }
}

}  // namespace
}  // namespace qoro::mpc::testing
