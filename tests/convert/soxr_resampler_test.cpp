// The libsoxr stream resampler for rates outside the block converter's table:
// exact stream lengths however the input is cut, aligned output (against
// sox's own very-high-quality rate effect), tones that keep their frequency,
// and the PCM converter's choice of it.
#include "convert/soxr_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "convert/pcm_converter.h"
#include "test_support.h"

namespace {

using qoro::audiofile::PcmConverter;
using qoro::audiofile::SoxrResampler;

struct Rates {
    uint32_t from, to;
    int channels;
};

std::string name(const Rates& k) { return std::to_string(k.from) + "->" + std::to_string(k.to); }

// The whole stream through the resampler in blocks of the given sizes (used
// in turn), then drained.
std::vector<int16_t> resample(const Rates& k, const std::vector<int16_t>& in, const std::vector<size_t>& blocks) {
    SoxrResampler r;
    EXPECT_TRUE(r.setup(k.from, k.to, k.channels));
    std::vector<int16_t> out;
    const size_t frames = in.size() / size_t(k.channels);
    size_t produced = 0;
    for (size_t at = 0, i = 0; at < frames; ++i) {
        const size_t n = std::min(blocks[i % blocks.size()], frames - at);
        produced += r.process(in.data() + at * size_t(k.channels), n, out);
        at += n;
        // never ahead of what the stream so far rounds to
        EXPECT_LE(r.framesOut(), PcmConverter::outFrames(at, k.from, k.to));
    }
    produced += r.drain(out);
    EXPECT_EQ(produced * size_t(k.channels), out.size());
    return out;
}

std::vector<int16_t> sine(double freq, uint32_t rate, size_t frames, int channels, double amplitude = 0.5) {
    std::vector<int16_t> s(frames * size_t(channels));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[i * size_t(channels) + size_t(c)] =
                int16_t(std::lround(amplitude * 32767 * std::sin(2 * std::numbers::pi * freq * double(i) / rate + c)));
    return s;
}

TEST(SoxrResampler, AStreamGivesRoundedLengthHoweverItIsCut) {
    const Rates cases[] = {{96000, 44100, 2}, {44100, 96000, 1},  {1000, 48000, 2},   {192000, 8000, 1},
                           {7999, 8000, 2},   {48000, 768000, 1}, {384000, 44100, 2}, {88200, 22050, 2}};
    const std::vector<std::vector<size_t>> cuts = {{1}, {7, 1, 160}, {4096}, {1u << 20}};
    for (const Rates& k : cases) {
        SCOPED_TRACE(name(k));
        for (const size_t frames : {size_t{0}, size_t{1}, size_t{5003}}) {
            const auto in = qoro::test::testSignal(int(k.from), k.channels, int(frames));
            std::vector<int16_t> whole;
            for (const auto& cut : cuts) {
                if (frames > 2000 && cut.front() == 1 && cut.size() == 1 && k.from > 100000) continue;  // slow
                const auto out = resample(k, in, cut);
                EXPECT_EQ(out.size() / size_t(k.channels), PcmConverter::outFrames(frames, k.from, k.to))
                    << frames << " frames in blocks of " << cut.front();
                // the same samples whatever the blocks
                if (whole.empty()) whole = out;
                EXPECT_EQ(out, whole) << "blocks of " << cut.front();
            }
        }
    }
}

TEST(SoxrResampler, ToneKeepsItsFrequencyAndLevel) {
    for (const Rates& k : {Rates{96000, 44100, 1}, {1000, 44100, 1}, {44100, 192000, 1}, {8000, 7999, 1}}) {
        SCOPED_TRACE(name(k));
        const double freq = std::min(k.from, k.to) / 7.3;
        const auto out = resample(k, sine(freq, k.from, k.from * 2, 1), {4096});
        // frequency from the zero crossings between the first and last one
        long first = -1, last = -1, crossings = 0;
        for (size_t i = 1; i < out.size(); ++i)
            if ((out[i - 1] < 0) != (out[i] < 0)) {
                if (first < 0) first = long(i);
                last = long(i);
                ++crossings;
            }
        const double measured = (crossings - 1) / 2.0 * k.to / double(last - first);
        EXPECT_NEAR(measured, freq, freq * 2e-3);
        double sum = 0;
        for (size_t i = out.size() / 4; i < out.size() * 3 / 4; ++i) sum += double(out[i]) * out[i];
        EXPECT_NEAR(std::sqrt(sum / double(out.size() / 2)), 0.5 * 32767 / std::sqrt(2.0), 60);
    }
}

TEST(SoxrResamplerInterop, AlignedWithSoxRate) {
    QORO_REQUIRE_TOOLS("sox");
    qoro::test::TempDir dir;
    for (const Rates& k :
         {Rates{96000, 44100, 2}, {44100, 96000, 2}, {1000, 8000, 1}, {192000, 48000, 2}, {22050, 88200, 1}}) {
        SCOPED_TRACE(name(k));
        // Tones well inside the pass band (the two differ in their band edges).
        const uint32_t low = std::min(k.from, k.to);
        auto in = sine(low / 5.3, k.from, k.from / 2, k.channels, 0.4);
        const auto upper = sine(low / 2.9, k.from, k.from / 2, k.channels, 0.3);
        for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(in[i] + upper[i]);
        qoro::test::writePcm16(dir / "in.raw", in);
        const auto r =
            qoro::test::run("sox -D -t s16 -r " + std::to_string(k.from) + " -c " + std::to_string(k.channels) + " " +
                            qoro::test::shellQuote((dir / "in.raw").string()) + " -t s16 " +
                            qoro::test::shellQuote((dir / "ref.raw").string()) + " rate -v " + std::to_string(k.to));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto ref = qoro::test::readPcm16(dir / "ref.raw");
        const auto ours = resample(k, in, {1000});
        EXPECT_EQ(ours.size(), ref.size());
        // A filter delay left in would shift the signal: the difference would
        // be of the signal's own size, not of rounding. The first and last
        // tenth of a second are left out: the two start a stream from silence
        // differently (some tens of input samples).
        const size_t edge = size_t(k.to / 10) * size_t(k.channels);
        ASSERT_GT(ref.size(), 2 * edge);
        const std::vector<int16_t> refMid(ref.begin() + long(edge), ref.end() - long(edge));
        const std::vector<int16_t> oursMid(ours.begin() + long(edge), ours.end() - long(edge));
        const auto same = qoro::test::compare(refMid, oursMid);
        const auto shifted = qoro::test::compare(refMid, oursMid, k.channels);
        EXPECT_LT(same.rms, 1.0);
        EXPECT_GT(shifted.rms, 20 * std::max(same.rms, 0.5));
        std::printf("%s: rms difference against sox %.3f LSB (one frame off: %.1f)\n", name(k).c_str(), same.rms,
                    shifted.rms);
    }
}

// Rates outside the block converter's table go through the resampler, with
// mixing and narrowing on the way, and the drain completes the stream; table
// rates keep the block converter.
TEST(PcmConverter, OffTableRatesLagAndDrainToTheirLength) {
    // table rates keep the block converter; rates more than 1024 times apart
    // (below 1000 Hz) would take the library minutes per second of sound
    const struct {
        uint32_t from, to;
        bool high;
    } choices[] = {{44100, 48000, false}, {96000, 96000, false}, {96000, 44100, true}, {1000, 768000, true},
                   {1000000, 1000, true}, {500, 768000, false},  {768000, 1, false}};
    for (const auto& k : choices)
        EXPECT_EQ(PcmConverter::needsHighQuality(k.from, k.to), k.high) << k.from << "->" << k.to;
    SoxrResampler refused;
    EXPECT_FALSE(refused.setup(1, 768000, 2));

    PcmConverter c;
    ASSERT_TRUE(c.setFormats(acm::makePcmFormat(44100, 2, 16), acm::makePcmFormat(48000, 1, 16)));
    EXPECT_FALSE(c.lags());
    const struct {
        uint32_t file, array;
        uint16_t fileChannels, arrayChannels, fileBits;
    } cases[] = {{96000, 44100, 2, 1, 16}, {1000, 48000, 1, 2, 8}, {44100, 192000, 2, 2, 16}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.file) + "->" + std::to_string(k.array));
        const auto file = acm::makePcmFormat(k.file, k.fileChannels, k.fileBits);
        const auto array = acm::makePcmFormat(k.array, k.arrayChannels, 16);
        const size_t frames = 3001;
        ASSERT_TRUE(c.setFormats(file, array));
        EXPECT_TRUE(c.lags());
        // reading: file bytes -> array bytes
        std::vector<uint8_t> in(frames * file.nBlockAlign, 0x40), out;
        for (size_t at = 0; at < in.size();) {
            const size_t n = std::min<size_t>(file.nBlockAlign * 500, in.size() - at);
            const size_t old = out.size();
            out.resize(old + c.arrayBytesFor(n));
            out.resize(old + c.toArray(in.data() + at, n, out.data() + old, out.size() - old));
            at += n;
        }
        c.drainToArray(out);
        EXPECT_EQ(out.size(), PcmConverter::outFrames(frames, k.file, k.array) * array.nBlockAlign);
        // writing: those array bytes back to the file format
        ASSERT_TRUE(c.setFormats(file, array));
        std::vector<uint8_t> back(c.fileBytesFor(out.size()));
        back.resize(c.toFile(out.data(), out.size(), back.data(), back.size()));
        c.drainToFile(back);
        EXPECT_EQ(back.size(),
                  PcmConverter::outFrames(out.size() / array.nBlockAlign, k.array, k.file) * file.nBlockAlign);
    }
}

}  // namespace
