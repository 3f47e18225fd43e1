#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "g72x_coder.h"
#include "telephony_codec.h"
#include "test_support.h"

using namespace qoro::audiofile::g72x;

namespace {

std::vector<uint8_t> asBytes(const std::vector<int16_t>& s) {
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(s.data()),
                                reinterpret_cast<const uint8_t*>(s.data()) + s.size() * 2);
}

std::vector<int16_t> asSamples(const std::vector<uint8_t>& b) {
    std::vector<int16_t> s(b.size() / 2);
    std::memcpy(s.data(), b.data(), s.size() * 2);
    return s;
}

void expectStateInRange(const G72xState& s) {
    EXPECT_GE(s.yu, 544);
    EXPECT_LE(s.yu, 5120);
    EXPECT_GE(s.yl, 544 << 6);
    EXPECT_LE(s.yl, 5120 << 6);
    EXPECT_GE(s.a[1], -12288);
    EXPECT_LE(s.a[1], 12288);
    EXPECT_LE(std::abs(s.a[0]), 15360 - s.a[1]);
    EXPECT_GE(s.ap, 0);
    EXPECT_LE(s.ap, 512);
}

}  // namespace

TEST(G72x, InitialStateAndSilenceGivesTheSmallestCodes) {
    const G72xState s;
    EXPECT_EQ(s.yl, 34816);
    EXPECT_EQ(s.yu, 544);
    EXPECT_EQ(s.dq[0], 32);
    EXPECT_EQ(s.sr[1], 32);
    // A zero difference has magnitude index 0: sent as all ones (the
    // all-zero code is avoided), except by the 2-bit coder, which sends 0.
    for (int bits = 2; bits <= 5; ++bits) {
        G72xState t;
        const unsigned expected = bits == 2 ? 0u : (1u << bits) - 1;
        EXPECT_EQ(g72xEncodeCode(t, bits, 0), expected) << bits << " bits";
    }
}

TEST(G72x, FirstCodesFromTheResetState) {
    // From the reset state (y = 544, estimate 0) the 4-bit magnitude 7 code
    // has the log value 425 + 544/4 = 561 (exponent 4, mantissa 49), which is
    // (128 + 49) << 4 >> 7 = 22 in the 14-bit domain.
    G72xState s;
    EXPECT_EQ(g721Decode(s, 7), 22 * 4);
    G72xState n;
    EXPECT_EQ(g721Decode(n, 8), -22 * 4);  // one's complement sign
    G72xState t;
    EXPECT_EQ(g723_24Decode(t, 3), 15 * 4);
    // A large step is coded with the top magnitude and the right sign.
    G72xState u;
    EXPECT_EQ(g726_32Encode(u, 20000), 7u);
    G72xState v;
    EXPECT_EQ(g726_32Encode(v, -20000), 8u);
    G72xState w;
    EXPECT_EQ(g726_16Encode(w, 20000), 1u);
    G72xState x;
    EXPECT_EQ(g726_16Encode(x, -20000), 2u);
}

TEST(G72x, NamedCodersAreTheWidthCoders) {
    const auto signal = qoro::test::testSignal(8000, 1, 400, 0.5);
    G72xState a, b, c, d, e, f;
    for (const int16_t v : signal) {
        ASSERT_EQ(g721Encode(a, v), g726_32Encode(b, v));
        ASSERT_EQ(g723_24Encode(c, v), g726_24Encode(d, v));
        ASSERT_EQ(g723_40Encode(e, v), g726_40Encode(f, v));
    }
}

TEST(G72x, PackingIsLeastSignificantBitFirst) {
    const auto signal = qoro::test::testSignal(8000, 1, 16, 0.6);
    for (int bits = 2; bits <= 5; ++bits) {
        G72xState codesState, packState;
        std::vector<unsigned> codes;
        for (const int16_t v : signal) codes.push_back(g72xEncodeCode(codesState, bits, v));
        // Place the codes bit by bit, lowest bit first.
        std::vector<uint8_t> expected(signal.size() * static_cast<size_t>(bits) / 8, 0);
        size_t bit = 0;
        for (const unsigned c : codes)
            for (int k = 0; k < bits; ++k, ++bit)
                if (c >> k & 1) expected[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        std::vector<uint8_t> packed(expected.size() + 1);
        BitCarry carry;
        const size_t n = g72xEncode(packState, bits, signal, carry, packed.data());
        packed.resize(n);
        EXPECT_EQ(packed, expected) << bits << " bits";
        EXPECT_EQ(carry.count, 0);
    }
    // In a 4-bit file the first sample is the low nibble.
    G72xState s, t;
    const uint8_t byte[1] = {0x07};
    int16_t out[2];
    g72xDecode(s, 4, byte, out);
    EXPECT_EQ(out[0], g721Decode(t, 7));
}

TEST(G72x, RoundTripQualityGrowsWithTheCodeWidth) {
    const auto signal = qoro::test::testSignal(8000, 1, 8000, 0.5);
    const double minimum[] = {0, 0, 12.0, 18.0, 24.0, 24.0};
    double previous = 0;
    for (int bits = 2; bits <= 5; ++bits) {
        TelephonyCodec coder(TelephonyCodec::Format::G726, bits);
        std::vector<uint8_t> codes, pcm;
        coder.encode(asBytes(signal).data(), signal.size() * 2, codes);
        coder.reset();
        coder.decode(codes, pcm);
        const double snr = qoro::test::snrDb(signal, asSamples(pcm));
        EXPECT_GT(snr, minimum[bits]) << bits << " bits";
        if (bits <= 4) {
            EXPECT_GT(snr, previous + 2.0) << bits << " bits";
        }
        previous = snr;
    }
}

TEST(G72x, AnyCodeStreamDecodesWithTheStateInRange) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(3000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    const std::vector<uint8_t> extreme(3000, 0x00), ones(3000, 0xFF), alt(3000, 0x55);
    for (int bits = 2; bits <= 5; ++bits) {
        for (const std::vector<uint8_t>* input :
             std::initializer_list<const std::vector<uint8_t>*>{&noise, &extreme, &ones, &alt}) {
            G72xState s;
            std::vector<int16_t> out(g72xCodesIn(input->size(), bits));
            EXPECT_EQ(g72xDecode(s, bits, *input, out.data()), out.size() * 2);
            expectStateInRange(s);
        }
        // Full-scale square waves through the encoder.
        G72xState e;
        for (int k = 0; k < 6000; ++k) g72xEncodeCode(e, bits, (k / 9) % 2 ? int16_t{32767} : int16_t{-32768});
        expectStateInRange(e);
    }
}

TEST(TelephonyCodec, WidthsByFormat) {
    EXPECT_EQ(TelephonyCodec(TelephonyCodec::Format::G721, 2).bits(), 4);
    EXPECT_EQ(TelephonyCodec(TelephonyCodec::Format::G723, 3).bits(), 3);
    EXPECT_EQ(TelephonyCodec(TelephonyCodec::Format::G723, 5).bits(), 5);
    EXPECT_FALSE(TelephonyCodec(TelephonyCodec::Format::G723, 4).valid());
    EXPECT_FALSE(TelephonyCodec(TelephonyCodec::Format::G726, 6).valid());
    EXPECT_FALSE(TelephonyCodec(TelephonyCodec::Format::G726, 1).valid());
    TelephonyCodec bad(TelephonyCodec::Format::G726, 9);
    std::vector<uint8_t> out;
    const uint8_t in[4] = {1, 2, 3, 4};
    EXPECT_EQ(bad.decode(in, out), 0u);
    EXPECT_EQ(bad.encode(in, 4, out), 0u);
}

TEST(TelephonyCodec, LengthsAndSeekPositions) {
    TelephonyCodec g16(TelephonyCodec::Format::G726, 2);
    EXPECT_EQ(g16.decodedFor(1000), 8000u);  // 4000 samples
    EXPECT_EQ(g16.sourceFor(8000), 1000u);
    TelephonyCodec g24(TelephonyCodec::Format::G723, 3);
    EXPECT_EQ(g24.sourceUnit(), 3u);
    EXPECT_EQ(g24.decodedFor(9), 48u);       // 24 samples
    EXPECT_EQ(g24.decodedFor(1000), 5332u);  // whole samples only
    EXPECT_EQ(g24.sourceFor(48), 9u);
    EXPECT_EQ(g24.sourceFor(47), 6u);  // rounded down to whole units
    TelephonyCodec g40(TelephonyCodec::Format::G726, 5);
    EXPECT_EQ(g40.sourceFor(1600), 500u);  // 800 samples × 5 bits
    EXPECT_EQ(g40.seekTo(1610), 500u);
    TelephonyCodec g721(TelephonyCodec::Format::G721, 0);
    EXPECT_EQ(g721.decodedFor(1000), 4000u);
    EXPECT_EQ(g721.seekTo(4002), 1000u);
}

TEST(TelephonyCodec, WritesWholeBytesAndCarriesCodesAcrossCalls) {
    const auto signal = qoro::test::testSignal(8000, 1, 240, 0.5);
    const auto bytes = asBytes(signal);
    for (int bits = 2; bits <= 5; ++bits) {
        TelephonyCodec whole(TelephonyCodec::Format::G726, bits);
        std::vector<uint8_t> a;
        whole.encode(bytes.data(), bytes.size(), a);
        EXPECT_EQ(a.size(), 240u * static_cast<size_t>(bits) / 8);

        TelephonyCodec split(TelephonyCodec::Format::G726, bits);
        std::vector<uint8_t> b;
        size_t at = 0;
        for (const size_t n : {23u, 1u, 7u, 100u, 109u}) {
            split.encode(bytes.data() + at * 2, n * 2, b);
            at += n;
        }
        EXPECT_EQ(a, b) << bits << " bits";  // same stream however it is cut
    }
    TelephonyCodec g24(TelephonyCodec::Format::G726, 3);
    std::vector<uint8_t> out;
    EXPECT_EQ(g24.encode(bytes.data(), 23 * 2, out), 8u);  // 69 bits: 8 bytes now, 5 bits pending
    EXPECT_EQ(g24.pendingSamples(), 2u);
    EXPECT_EQ(g24.encode(bytes.data() + 46, 2, out), 1u);
    EXPECT_EQ(out.size(), 9u);
    EXPECT_EQ(g24.pendingSamples(), 0u);
}

TEST(TelephonyCodec, SeekKeepsTheG72xStateAndResetRestoresIt) {
    const auto signal = qoro::test::testSignal(8000, 1, 80, 0.5);
    TelephonyCodec c(TelephonyCodec::Format::G721, 0);
    std::vector<uint8_t> codes, first, second, third;
    c.encode(asBytes(signal).data(), signal.size() * 2, codes);
    c.reset();
    c.decode(codes, first);
    c.seekTo(0);
    c.decode(codes, second);  // the adapted state carries on
    EXPECT_NE(first, second);
    c.reset();
    c.decode(codes, third);
    EXPECT_EQ(first, third);
}
