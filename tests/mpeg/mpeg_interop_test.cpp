// Our decoder against mpg123 on files that lame and ffmpeg write: CBR, VBR
// with a Xing/Info frame, MPEG-2 22.05 kHz, MPEG-2.5 8 kHz, mono, Layer II,
// a clipped loud master. After aligning for the delay the other decoder
// trims, the same accuracy bar as the conformance streams: max |diff| <= 1,
// RMS <= 1/sqrt(12). The floats of those files and of the conformance
// streams against mpg123's own floats.
#include "conformance_streams.h"
#include "mpeg_file_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace qoro::mpeg;
namespace t = qoro::test;

namespace {

// A whole file through the file decoder in 0.1 s blocks, as 16-bit samples
// or as floats.
template <class Sample>
std::vector<Sample> decodeOurs(const std::string& path, int* channels) {
    MpegFileDecoder dec;
    std::vector<Sample> out;
    if (dec.open(path) != 0) return out;
    *channels = dec.facts().channels;
    std::vector<Sample> block(dec.facts().sampleRate / 10 * 2 + 2304);
    while (const size_t n = dec.read(block.data(), block.size() * sizeof(Sample)))
        out.insert(out.end(), block.begin(), block.begin() + long(n / sizeof(Sample)));
    return out;
}

// Our floats of a file against mpg123's (-e f32: the same full scale and,
// after a LAME tag, the same trimming): within 1e-5 everywhere. The 16-bit
// decode is the floats rounded and clipped, sample for sample, the floats
// hold what lies between the steps, and frames decoded in turn in either
// form are those of the runs in one form. Returns how many floats lie beyond
// full scale.
size_t expectFloatsMatchMpg123(const t::fs::path& file, const t::TempDir& dir) {
    int channels = 0;
    const auto floats = decodeOurs<float>(file.string(), &channels);
    const auto pcm = decodeOurs<int16_t>(file.string(), &channels);
    const auto raw = dir / "ref.f32";
    const auto dec =
        t::run("mpg123 -q -e f32 -s " + t::shellQuote(file.string()) + " > " + t::shellQuote(raw.string()));
    EXPECT_EQ(dec.exitCode, 0) << dec.output;
    const auto bytes = t::readBytes(raw);
    std::vector<float> ref(bytes.size() / sizeof(float));
    std::memcpy(ref.data(), bytes.data(), ref.size() * sizeof(float));
    EXPECT_GT(floats.size(), 0u);
    EXPECT_EQ(floats.size(), pcm.size());
    EXPECT_EQ(floats.size(), ref.size());

    size_t notRounded = 0, between = 0, beyond = 0;
    double maxDiff = 0;
    for (size_t i = 0; i < floats.size(); ++i) {
        const float x = floats[i] * 32768.0f;
        if (i < pcm.size()) notRounded += std::clamp(std::lrint(x), -32768L, 32767L) != pcm[i];
        between += std::fabs(x - std::nearbyint(x)) > 0.01f;
        beyond += std::fabs(floats[i]) > 1.0f;
        if (i < ref.size()) maxDiff = std::max(maxDiff, double(std::fabs(floats[i] - ref[i])));
    }
    EXPECT_EQ(notRounded, 0u);
    EXPECT_GT(between, floats.size() / 2);
    EXPECT_LE(maxDiff, 1e-5);

    MpegFileDecoder turns;
    EXPECT_EQ(turns.open(file.string()), 0);
    std::vector<float> f(MpegCodec::kMaxOutputSamples);
    std::vector<int16_t> s(MpegCodec::kMaxOutputSamples);
    size_t at = 0, differing = 0;
    for (int k = 0; k < 1000000; ++k) {
        int samples = 0, ch = 0;
        const int rc = k & 1 ? turns.decodeFrame(s.data(), samples, ch) : turns.decodeFrame(f.data(), samples, ch);
        if (rc < 0 && rc != kMpegErrFrameDecoding) break;
        const size_t n = std::min(size_t(samples) * size_t(ch), pcm.size() - std::min(at, pcm.size()));
        differing += k & 1 ? !std::equal(s.begin(), s.begin() + long(n), pcm.begin() + long(at))
                           : !std::equal(f.begin(), f.begin() + long(n), floats.begin() + long(at));
        at += size_t(samples) * size_t(ch);
    }
    EXPECT_EQ(at, floats.size());
    EXPECT_EQ(differing, 0u);
    return beyond;
}

// Offset (in samples) of 'ref' against 'ours' that best lines them up.
long bestOffset(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref, int channels) {
    const long window = 4096, start = 8192, range = 6 * 1152 * channels;
    long best = 0;
    double bestErr = 1e300;
    for (long off = -range; off <= range; off += channels) {
        double err = 0;
        for (long i = start; i < start + window; ++i) {
            const long j = i + off;
            if (j < 0 || size_t(j) >= ref.size() || size_t(i) >= ours.size()) {
                err += 1e9;
                break;
            }
            err += std::abs(int(ours[size_t(i)]) - int(ref[size_t(j)]));
            if (err >= bestErr) break;
        }
        if (err < bestErr) {
            bestErr = err;
            best = off;
        }
    }
    return best;
}

using Case = qoro::mpeg::testing::MadeStream;

class Interop : public ::testing::TestWithParam<Case> {};

TEST_P(Interop, MatchesMpg123) {
    const Case c = GetParam();
    QORO_REQUIRE_TOOLS("mpg123", "lame", "ffmpeg");
    t::TempDir dir;
    const auto wav = dir / "in.wav";
    const auto mp = dir / "out.mp3";
    const auto raw = dir / "ref.raw";
    t::writeWav16(wav, c.rate, c.channels, t::testSignal(c.rate, c.channels, c.rate * 2, c.amplitude));
    const auto enc = t::run(qoro::mpeg::testing::commandFor(c, wav.string(), mp.string()));
    ASSERT_EQ(enc.exitCode, 0) << enc.output;
    const auto dec =
        t::run("mpg123 -q --no-gapless -s " + t::shellQuote(mp.string()) + " > " + t::shellQuote(raw.string()));
    ASSERT_EQ(dec.exitCode, 0) << dec.output;
    const auto ref = t::readPcm16(raw);

    int channels = 0;
    const auto ours = decodeOurs<int16_t>(mp.string(), &channels);
    ASSERT_EQ(channels, c.channels);
    ASSERT_GT(ours.size(), size_t(c.rate));
    const long off = bestOffset(ours, ref, channels);
    // Whole frames only: mpg123 leaves out the Xing/Info frame.
    std::vector<int16_t> a, b;
    for (size_t i = 0; i < ours.size(); ++i) {
        const long j = long(i) + off;
        if (j >= 0 && size_t(j) < ref.size()) {
            a.push_back(ours[i]);
            b.push_back(ref[size_t(j)]);
        }
    }
    ASSERT_GT(a.size(), ours.size() * 8 / 10);
    const t::Difference d = t::compare(a, b);
    EXPECT_LE(d.maxAbs, 1) << c.name << " offset " << off;
    EXPECT_LE(d.rms, 0.289) << c.name;

    // A clipped master decodes beyond full scale: the floats keep it, the
    // 16-bit samples clip.
    const size_t beyond = expectFloatsMatchMpg123(mp, dir);
    if (c.amplitude > 1.0) {
        EXPECT_GT(beyond, size_t(c.rate) / 100);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Interop, ::testing::ValuesIn(qoro::mpeg::testing::kMadeStreams),
                         [](const auto& info) { return std::string(info.param.name); });

using qoro::mpeg::testing::ConformanceStream;

class ConformanceFloats : public ::testing::TestWithParam<ConformanceStream> {};

TEST_P(ConformanceFloats, MatchMpg123) {
    QORO_REQUIRE_TOOLS("mpg123");
    t::TempDir dir;
    expectFloatsMatchMpg123(t::testdata(std::string("mpeg/") + GetParam().name + ".bit"), dir);
}

INSTANTIATE_TEST_SUITE_P(Streams, ConformanceFloats, ::testing::ValuesIn(qoro::mpeg::testing::kConformanceStreams),
                         qoro::mpeg::testing::ConformanceStreamName());

}  // namespace
