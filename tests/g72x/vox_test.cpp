#include <gtest/gtest.h>

#include <vector>

#include "telephony_codec.h"
#include "test_support.h"
#include "vox_coder.h"

using namespace qoro::audiofile::g72x;

TEST(Vox, ZeroByteFromResetStateDecodesToTwoSmallSteps) {
    VoxCoderState s;
    const uint8_t zero[1] = {0x00};
    int16_t out[2] = {};
    EXPECT_EQ(voxDecode(s, zero, out), 4u);
    EXPECT_EQ(out[0], 32);
    EXPECT_EQ(out[1], 64);
    EXPECT_EQ(s.x, 4);
    EXPECT_EQ(s.i, 0);
}

TEST(Vox, CodeSevenAddsAllMagnitudeBitsAndRaisesTheIndexByEight) {
    VoxCoderState s;
    EXPECT_EQ(voxDecodeCode(s, 7), 480);
    EXPECT_EQ(s.x, 30);
    EXPECT_EQ(s.i, 8);
    VoxCoderState n;
    EXPECT_EQ(voxDecodeCode(n, 15), -480);  // the sign bit mirrors it
}

TEST(Vox, RunOfZeroCodesSettlesWhereTheLeakEqualsTheStep) {
    VoxCoderState s;
    int16_t last = 0;
    for (int k = 0; k < 2000; ++k) last = voxDecodeCode(s, 0);
    EXPECT_EQ(s.x, 64);
    EXPECT_EQ(last, 1024);
    EXPECT_EQ(s.i, 0);
}

TEST(Vox, LeakTruncatesTowardZeroForNegativeValues) {
    // x = -30 after code 15; code 8 (d = -2) then gives -30 - 2 - (-30 / 32 = 0) = -32,
    // and once below -32 the leak pulls back up by one.
    VoxCoderState s;
    voxDecodeCode(s, 15);
    s.i = 0;
    EXPECT_EQ(voxDecodeCode(s, 8), -32 * 16);
    EXPECT_EQ(voxDecodeCode(s, 8), (-32 - 2 + 1) * 16);
}

TEST(Vox, FirstSampleIsTheHighNibble) {
    VoxCoderState a, b;
    const uint8_t byte[1] = {0x70};
    int16_t out[2];
    voxDecode(a, byte, out);
    EXPECT_EQ(out[0], voxDecodeCode(b, 7));
    EXPECT_EQ(out[1], voxDecodeCode(b, 0));
}

TEST(Vox, EncodingFollowsTheDecoderAndDropsAnOddSample) {
    const std::vector<int16_t> in = {1000, -2000, 3000, 12000, -7};
    VoxCoderState enc;
    uint8_t bytes[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(voxEncode(enc, in, bytes), 2u);
    EXPECT_EQ(bytes[2], 0xAA);  // the fifth sample wrote nothing
    // The encoder state is the decoder's state after the same four codes.
    VoxCoderState dec;
    int16_t out[4];
    voxDecode(dec, std::span<const uint8_t>(bytes, 2), out);
    EXPECT_EQ(dec.x, enc.x);
    EXPECT_EQ(dec.i, enc.i);
    // A step up from silence gives a positive first code with the top bit set.
    EXPECT_EQ(bytes[0] >> 4, 0x7);
}

TEST(Vox, RoundTripOfSpeechBandSignalAndFullScaleStaysInRange) {
    const auto signal = qoro::test::testSignal(8000, 1, 8000, 0.5);
    VoxCoderState enc, dec;
    std::vector<uint8_t> codes(signal.size() / 2);
    voxEncode(enc, signal, codes.data());
    std::vector<int16_t> back(codes.size() * 2);
    voxDecode(dec, codes, back.data());
    EXPECT_GT(qoro::test::snrDb(signal, back), 12.0);

    // Full-scale square wave: x and i stay inside their ranges.
    VoxCoderState s;
    for (int k = 0; k < 4000; ++k) {
        voxEncodeSample(s, (k / 20) % 2 ? int16_t{32767} : int16_t{-32768});
        ASSERT_GE(s.x, -2048);
        ASSERT_LE(s.x, 2047);
        ASSERT_GE(s.i, 0);
        ASSERT_LE(s.i, 48);
    }
}

TEST(TelephonyCodec, VoxArithmeticAndSeekResetsTheState) {
    TelephonyCodec vox(TelephonyCodec::Format::Vox, 0);
    ASSERT_TRUE(vox.valid());
    EXPECT_EQ(vox.bits(), 4);
    EXPECT_EQ(vox.decodedFor(1000), 4000u);
    EXPECT_EQ(vox.sourceFor(4003), 1000u);
    EXPECT_EQ(vox.sourceUnit(), 1u);

    std::vector<uint8_t> pcm;
    const uint8_t codes[2] = {0x77, 0x77};
    vox.decode(codes, pcm);
    const std::vector<uint8_t> first = pcm;
    EXPECT_EQ(vox.seekTo(4000), 1000u);
    pcm.clear();
    vox.decode(codes, pcm);
    EXPECT_EQ(pcm, first);  // decoded again from the reset state
}

TEST(TelephonyCodec, VoxWritesPairsAcrossCalls) {
    const auto signal = qoro::test::testSignal(8000, 1, 101, 0.5);
    TelephonyCodec whole(TelephonyCodec::Format::Vox, 0), split(TelephonyCodec::Format::Vox, 0);
    std::vector<uint8_t> a, b;
    whole.encode(reinterpret_cast<const uint8_t*>(signal.data()), signal.size() * 2, a);
    const auto* bytes = reinterpret_cast<const uint8_t*>(signal.data());
    split.encode(bytes, 5 * 2, b);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(split.pendingSamples(), 1u);
    split.encode(bytes + 10, (signal.size() - 5) * 2, b);
    EXPECT_EQ(a.size(), 50u);
    EXPECT_EQ(a, b);
}
