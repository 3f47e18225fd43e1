// Our decoder against mpg123 on files that lame and ffmpeg write: CBR, VBR
// with a Xing/Info frame, MPEG-2 22.05 kHz, MPEG-2.5 8 kHz, mono, Layer II.
// After aligning for the delay the other decoder trims, the same accuracy
// bar as the conformance streams: max |diff| <= 1, RMS <= 1/sqrt(12).
#include "conformance_streams.h"
#include "mpeg_file_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace qoro::mpeg;
namespace t = qoro::test;

namespace {

std::vector<int16_t> decodeOurs(const std::string& path, int* channels) {
    MpegFileDecoder dec;
    std::vector<int16_t> out;
    if (dec.open(path) != 0) return out;
    *channels = dec.facts().channels;
    std::vector<int16_t> block(dec.facts().sampleRate / 10 * 2 + 2304);
    while (const size_t n = dec.read(block.data(), block.size() * 2))
        out.insert(out.end(), block.begin(), block.begin() + long(n / 2));
    return out;
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

std::string fill(std::string cmd, const std::string& in, const std::string& out) {
    for (auto [key, val] : {std::pair<std::string, std::string>{"{in}", in}, {"{out}", out}}) {
        size_t p;
        while ((p = cmd.find(key)) != std::string::npos) cmd.replace(p, key.size(), t::shellQuote(val));
    }
    return cmd;
}

TEST_P(Interop, MatchesMpg123) {
    const Case c = GetParam();
    QORO_REQUIRE_TOOLS("mpg123", "lame", "ffmpeg");
    t::TempDir dir;
    const auto wav = dir / "in.wav";
    const auto mp = dir / "out.mp3";
    const auto raw = dir / "ref.raw";
    t::writeWav16(wav, c.rate, c.channels, t::testSignal(c.rate, c.channels, c.rate * 2, 0.7));
    const auto enc = t::run(fill(c.command, wav.string(), mp.string()));
    ASSERT_EQ(enc.exitCode, 0) << enc.output;
    const auto dec =
        t::run("mpg123 -q --no-gapless -s " + t::shellQuote(mp.string()) + " > " + t::shellQuote(raw.string()));
    ASSERT_EQ(dec.exitCode, 0) << dec.output;
    const auto ref = t::readPcm16(raw);

    int channels = 0;
    const auto ours = decodeOurs(mp.string(), &channels);
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
}

INSTANTIATE_TEST_SUITE_P(Files, Interop, ::testing::ValuesIn(qoro::mpeg::testing::kMadeStreams),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
