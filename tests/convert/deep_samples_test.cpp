// Narrowing deep samples to 16 bits: the rounding and clipping rule on its
// edges, sox (no dither) on the same material within one step, and TPDF
// dither as noisy as sox's.
#include "convert/deep_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using qoro::audiofile::DeepEncoding;
using qoro::audiofile::deepEncodingOf;
using qoro::audiofile::narrowTo16;
namespace t = qoro::test;

std::vector<uint8_t> int24(std::initializer_list<int32_t> values) {
    std::vector<uint8_t> b;
    for (int32_t v : values)
        for (int i = 0; i < 3; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    return b;
}

template <class T>
std::vector<uint8_t> raw(std::initializer_list<T> values) {
    std::vector<uint8_t> b(values.size() * sizeof(T));
    std::memcpy(b.data(), std::data(values), b.size());
    return b;
}

std::vector<int16_t> narrowed(DeepEncoding e, const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / qoro::audiofile::bytesPerSample(e));
    narrowTo16(e, bytes.data(), out.size(), out.data());
    return out;
}

TEST(DeepSamples, RoundHalfAwayFromZeroAndClip) {
    // 24 bits: 256 steps to one 16-bit step; 128 is half of one.
    EXPECT_EQ(narrowed(DeepEncoding::Int24,
                       int24({0, 127, 128, -127, -128, 383, 384, -384, 8388607, -8388608, 8388480, 8388479})),
              (std::vector<int16_t>{0, 0, 1, 0, -1, 1, 2, -2, 32767, -32768, 32767, 32767}));
    EXPECT_EQ(narrowed(DeepEncoding::Int32, raw<int32_t>({0, 32767, 32768, -32768, -32769, INT32_MAX, INT32_MIN})),
              (std::vector<int16_t>{0, 0, 1, -1, -1, 32767, -32768}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(narrowed(DeepEncoding::Float32,
                       raw<float>({0.0f, 0.5f / 32768, -0.5f / 32768, 1.0f, -1.0f, 2.0f, -3.0f, nan, 0.25f})),
              (std::vector<int16_t>{0, 1, -1, 32767, -32768, 32767, -32768, 0, 8192}));
    EXPECT_EQ(narrowed(DeepEncoding::Float64, raw<double>({1.5 / 32768, -1.5 / 32768, -1.0, 1e300})),
              (std::vector<int16_t>{2, -2, -32768, 32767}));
}

TEST(DeepSamples, EncodingsOfRecords) {
    EXPECT_EQ(deepEncodingOf(1, 24), DeepEncoding::Int24);
    EXPECT_EQ(deepEncodingOf(1, 32), DeepEncoding::Int32);
    EXPECT_EQ(deepEncodingOf(3, 32), DeepEncoding::Float32);
    EXPECT_EQ(deepEncodingOf(3, 64), DeepEncoding::Float64);
    EXPECT_EQ(deepEncodingOf(1, 16), std::nullopt);
    EXPECT_EQ(deepEncodingOf(3, 24), std::nullopt);
    EXPECT_EQ(deepEncodingOf(2, 24), std::nullopt);
}

// sox writes the same chord at each depth and narrows it itself with -D:
// ours agrees within one step everywhere, and exactly almost everywhere.
TEST(DeepSamples, WithinOneStepOfSoxWithoutDitherAndAsNoisyWithIt) {
    QORO_REQUIRE_TOOLS("sox");
    t::TempDir dir;
    struct Depth {
        DeepEncoding encoding;
        const char* sox;  // sox's -e and -b
    };
    for (const Depth d : {Depth{DeepEncoding::Int24, "-e signed -b 24"}, Depth{DeepEncoding::Int32, "-e signed -b 32"},
                          Depth{DeepEncoding::Float32, "-e floating-point -b 32"},
                          Depth{DeepEncoding::Float64, "-e floating-point -b 64"}}) {
        SCOPED_TRACE(d.sox);
        const auto deep = dir / "deep.raw", shallow = dir / "shallow.raw";
        const std::string format = std::string("-t raw -r 44100 -c 2 ") + d.sox;
        ASSERT_EQ(
            t::run("sox -D -n " + format + " " + t::shellQuote(deep.string()) + " synth 2 sine 440 sine 997 vol 0.7")
                .exitCode,
            0);
        ASSERT_EQ(t::run("sox -D " + format + " " + t::shellQuote(deep.string()) + " -t raw -e signed -b 16 " +
                         t::shellQuote(shallow.string()))
                      .exitCode,
                  0);
        const auto ours = narrowed(d.encoding, t::readBytes(deep));
        const auto theirs = t::readPcm16(shallow);
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_EQ(ours.size(), 2u * 2 * 44100);
        size_t differing = 0;
        int worst = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            const int diff = std::abs(ours[i] - theirs[i]);
            worst = std::max(worst, diff);
            differing += diff != 0;
        }
        EXPECT_LE(worst, 1);
        EXPECT_LT(differing, ours.size() / 100);

        // TPDF: the error's RMS within 10 % of sox's default dither, centred.
        const auto ditheredBySox = dir / "dithered.raw";
        ASSERT_EQ(t::run("sox " + format + " " + t::shellQuote(deep.string()) + " -t raw -e signed -b 16 " +
                         t::shellQuote(ditheredBySox.string()))
                      .exitCode,
                  0);
        const auto bytes = t::readBytes(deep);
        std::vector<float> exact(ours.size());
        qoro::audiofile::widenToFloat(d.encoding, bytes.data(), exact.size(), exact.data());
        std::vector<int16_t> dithered(ours.size());
        qoro::audiofile::TpdfDither dither;
        narrowTo16(d.encoding, bytes.data(), dithered.size(), dithered.data(), qoro::audiofile::ByteOrder::Little,
                   &dither);
        const auto error = [&](const std::vector<int16_t>& v, double& mean) {
            double sum = 0, squares = 0;
            for (size_t i = 0; i < v.size(); ++i) {
                const double e = v[i] - static_cast<double>(exact[i]);
                sum += e;
                squares += e * e;
            }
            mean = sum / static_cast<double>(v.size());
            return std::sqrt(squares / static_cast<double>(v.size()));
        };
        double mean = 0, soxMean = 0;
        const double rms = error(dithered, mean), soxRms = error(t::readPcm16(ditheredBySox), soxMean);
        EXPECT_NEAR(rms / soxRms, 1.0, 0.1) << rms << " vs " << soxRms;
        EXPECT_NEAR(mean, 0.0, 0.01);
    }
}

}  // namespace
