// Frame header rules: validity, frame length, samples per frame, side
// information; and the Layer III Huffman tables' integrity.
#include "mpeg/mpeg_header.h"
#include "l3_huffman_data.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qoro::mpeg;

namespace {

// Builds a header word from its fields (sync always set).
uint32_t word(int versionBits, int layer, int bitrate, int sampling, int padding, int mode, int protection = 1) {
    return 0xFFE00000u | uint32_t(versionBits) << 19 | uint32_t(layer) << 17 | uint32_t(protection) << 16 |
           uint32_t(bitrate) << 12 | uint32_t(sampling) << 10 | uint32_t(padding) << 9 | uint32_t(mode) << 6;
}
constexpr int kMpeg1 = 3, kMpeg2 = 2, kMpeg25 = 0, kReservedVersion = 1;
constexpr int kL1 = 3, kL2 = 2, kL3 = 1;

bool valid(uint32_t w) { return isValidMpegHeader(unpackMpegHeader(w)); }

TEST(MpegHeader, UnpacksEveryField) {
    const MpegFrameHeader h = unpackMpegHeader(0xFFFB9264u);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.layer, 1);
    EXPECT_EQ(h.protection, 1);
    EXPECT_EQ(h.bitrateIndex, 9);
    EXPECT_EQ(h.samplingIndex, 0);
    EXPECT_EQ(h.padding, 1);
    EXPECT_EQ(h.mode, 1);
    EXPECT_EQ(h.modeExtension, 2);
    EXPECT_EQ(h.original, 1);
    EXPECT_EQ(mpegLevel(h), 1);
    EXPECT_EQ(mpegLayerNumber(h), 3);
    EXPECT_EQ(unpackMpegHeader(word(kMpeg2, kL3, 1, 0, 0, 0)).version, 0);
    EXPECT_EQ(unpackMpegHeader(word(kMpeg25, kL3, 1, 0, 0, 0)).version, 2);
    EXPECT_EQ(mpegLevel(unpackMpegHeader(word(kMpeg25, kL3, 1, 2, 0, 3))), 0);
}

// Packing is the inverse of unpacking for every header word with a valid
// version: a sample of words sweeping each field through its values.
TEST(MpegHeader, PacksWhatItUnpacks) {
    uint32_t seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        uint32_t w = 0xFFE00000u | (seed >> 11);
        if (((w >> 19) & 3) == uint32_t(kReservedVersion)) w ^= 1u << 19;  // 3 has no word form
        ASSERT_EQ(packMpegHeader(unpackMpegHeader(w)), w) << std::hex << w;
    }
    EXPECT_EQ(packMpegHeader(unpackMpegHeader(0xFFFB9264u)), 0xFFFB9264u);
}

TEST(MpegHeader, ValidityRule) {
    EXPECT_TRUE(valid(word(kMpeg1, kL3, 9, 0, 0, 1)));
    // Free format and the forbidden bitrate index.
    EXPECT_FALSE(valid(word(kMpeg1, kL3, 0, 0, 0, 1)));
    EXPECT_FALSE(valid(word(kMpeg1, kL3, 15, 0, 0, 1)));
    // Reserved layer and sampling index, reserved version.
    EXPECT_FALSE(valid(word(kMpeg1, 0, 9, 0, 0, 1)));
    EXPECT_FALSE(valid(word(kMpeg1, kL3, 9, 3, 0, 1)));
    EXPECT_FALSE(valid(word(kReservedVersion, kL3, 9, 0, 0, 1)));
    // Padding only at sampling index 0.
    EXPECT_TRUE(valid(word(kMpeg1, kL3, 9, 0, 1, 1)));
    EXPECT_TRUE(valid(word(kMpeg2, kL3, 9, 0, 1, 1)));
    EXPECT_FALSE(valid(word(kMpeg1, kL3, 9, 1, 1, 1)));
    EXPECT_FALSE(valid(word(kMpeg1, kL3, 9, 2, 1, 1)));
    EXPECT_FALSE(valid(word(kMpeg25, kL3, 5, 2, 1, 3)));
    // MPEG-2.5 only with Layer III.
    EXPECT_TRUE(valid(word(kMpeg25, kL3, 5, 2, 0, 3)));
    EXPECT_FALSE(valid(word(kMpeg25, kL2, 5, 2, 0, 3)));
    EXPECT_FALSE(valid(word(kMpeg25, kL1, 5, 2, 0, 3)));
    // MPEG-1 Layer II bitrate and mode pairs.
    for (int b : {1, 2, 3, 5}) {
        EXPECT_FALSE(valid(word(kMpeg1, kL2, b, 1, 0, 0))) << b;
        EXPECT_TRUE(valid(word(kMpeg1, kL2, b, 1, 0, 3))) << b;
    }
    for (int b = 11; b <= 14; ++b) {
        EXPECT_TRUE(valid(word(kMpeg1, kL2, b, 1, 0, 0))) << b;
        EXPECT_FALSE(valid(word(kMpeg1, kL2, b, 1, 0, 3))) << b;
    }
    EXPECT_TRUE(valid(word(kMpeg2, kL2, 1, 1, 0, 0)));  // the rule is MPEG-1 only
}

TEST(MpegHeader, FrameLengthAndSamples) {
    auto h = [](uint32_t w) { return unpackMpegHeader(w); };
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL3, 9, 0, 0, 1))), 417);  // 128 kbit/s 44.1 kHz
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL3, 9, 0, 1, 1))), 418);
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL3, 9, 1, 0, 1))), 384);    // 48 kHz
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg2, kL3, 8, 0, 0, 1))), 208);    // 64 kbit/s 22.05 kHz
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg25, kL3, 1, 2, 0, 3))), 72);    // 8 kbit/s 8 kHz
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL2, 14, 2, 0, 0))), 1728);  // 384 kbit/s 32 kHz
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg2, kL2, 8, 0, 1, 0))), 418);    // not halved for Layer II
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL1, 12, 0, 0, 0))), 416);   // (12000*384/44100)*4
    EXPECT_EQ(mpegFrameLength(h(word(kMpeg1, kL1, 12, 0, 1, 0))), 420);
    EXPECT_EQ(mpegSamplesPerFrame(h(word(kMpeg1, kL1, 1, 0, 0, 0))), 384);
    EXPECT_EQ(mpegSamplesPerFrame(h(word(kMpeg2, kL2, 1, 0, 0, 0))), 1152);
    EXPECT_EQ(mpegSamplesPerFrame(h(word(kMpeg1, kL3, 1, 0, 0, 0))), 1152);
    EXPECT_EQ(mpegSamplesPerFrame(h(word(kMpeg2, kL3, 1, 0, 0, 0))), 576);
    EXPECT_EQ(mpegSamplesPerFrame(h(word(kMpeg25, kL3, 1, 0, 0, 0))), 576);
    EXPECT_EQ(mpegSideInfoLength(h(word(kMpeg1, kL3, 1, 0, 0, 3))), 17);
    EXPECT_EQ(mpegSideInfoLength(h(word(kMpeg1, kL3, 1, 0, 0, 1))), 32);
    EXPECT_EQ(mpegSideInfoLength(h(word(kMpeg2, kL3, 1, 0, 0, 3))), 9);
    EXPECT_EQ(mpegSideInfoLength(h(word(kMpeg25, kL3, 1, 0, 0, 0))), 17);
    EXPECT_EQ(mpegSampleRate(h(word(kMpeg25, kL3, 1, 1, 0, 0))), 12000);
    EXPECT_EQ(mpegBitrateKbps(h(word(kMpeg2, kL1, 14, 0, 0, 0))), 256);
}

// Every Layer III code table must be a complete prefix code: a typo in one
// code word shows up here rather than as a wrong sample somewhere.
TEST(MpegHuffmanTables, CompletePrefixCodes) {
    using qoro::mpeg::detail::HuffmanSource;
    auto check = [](const HuffmanSource& s, int symbols, int id) {
        double kraft = 0;
        for (int i = 0; i < symbols; ++i) {
            ASSERT_LT(uint32_t(s.codes[i]), 1u << s.lengths[i]) << "table " << id << " symbol " << i;
            kraft += std::ldexp(1.0, -s.lengths[i]);
        }
        EXPECT_DOUBLE_EQ(kraft, 1.0) << "table " << id;
        for (int i = 0; i < symbols; ++i)
            for (int j = 0; j < symbols; ++j) {
                if (i == j || s.lengths[i] > s.lengths[j]) continue;
                EXPECT_NE(uint32_t(s.codes[j]) >> (s.lengths[j] - s.lengths[i]), uint32_t(s.codes[i]))
                    << "table " << id << ": " << i << " is a prefix of " << j;
            }
    };
    for (int id : {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24}) {
        const HuffmanSource& s = qoro::mpeg::detail::kBigValueSources[id];
        check(s, s.size * s.size, id);
    }
    check(qoro::mpeg::detail::kCount1Sources[0], 16, 32);
    check(qoro::mpeg::detail::kCount1Sources[1], 16, 33);
    for (int id = 17; id < 32; ++id) EXPECT_GT(qoro::mpeg::detail::kBigValueSources[id].linbits, 0);
}

}  // namespace
