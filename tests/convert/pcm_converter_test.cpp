// Sample conversion between a file's PCM form and the 16-bit array format:
// exact widening, narrowing and mixing, the rate converter's block behaviour,
// its frequency response, and the byte-count rule.
#include "convert/pcm_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "test_support.h"

namespace {

using qoro::audiofile::Biquad;
using qoro::audiofile::convertByteCount;
using qoro::audiofile::PcmConverter;
using qoro::audiofile::WAVEFORMATEX;

WAVEFORMATEX pcm(uint32_t rate, uint16_t channels, uint16_t bits = 16) {
    return acm::makePcmFormat(rate, channels, bits);
}

std::vector<uint8_t> bytesOf(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    for (size_t i = 0; i < s.size(); ++i) {
        b[2 * i] = static_cast<uint8_t>(s[i] & 0xff);
        b[2 * i + 1] = static_cast<uint8_t>((s[i] >> 8) & 0xff);
    }
    return b;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& b) {
    std::vector<int16_t> s(b.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return s;
}

// file bytes -> array samples, through the converter as one block
std::vector<int16_t> toArray(PcmConverter& c, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(c.arrayBytesFor(in.size()));
    const size_t n = c.toArray(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(n, out.size());
    return samplesOf(out);
}

std::vector<uint8_t> toFile(PcmConverter& c, const std::vector<int16_t>& in) {
    auto bytes = bytesOf(in);
    std::vector<uint8_t> out(c.fileBytesFor(bytes.size()));
    const size_t n = c.toFile(bytes.data(), bytes.size(), out.data(), out.size());
    EXPECT_EQ(n, out.size());
    return out;
}

std::vector<int16_t> sine(double freq, int rate, int frames, double amplitude, int channels = 1) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(
                std::lround(amplitude * 32767.0 * std::sin(2.0 * std::numbers::pi * freq * i / rate)));
    return s;
}

double rms(const std::vector<int16_t>& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(to - from));
}

TEST(PcmConverter, WidensAndNarrowsExactly) {
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(8000, 1, 8), pcm(8000, 1)));
    EXPECT_EQ(toArray(c, {0, 1, 127, 128, 129, 255}), (std::vector<int16_t>{-32768, -32512, -256, 0, 256, 32512}));

    // (s / 256 truncated toward zero) + 128
    auto narrowed = toFile(c, {-32768, -257, -256, -255, -1, 0, 255, 256, 32767});
    EXPECT_EQ(narrowed, (std::vector<uint8_t>{0, 127, 127, 128, 128, 128, 128, 129, 255}));
}

TEST(PcmConverter, MixesChannels) {
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(22050, 1), pcm(22050, 2)));
    EXPECT_EQ(toArray(c, bytesOf({5, -7, 32767})), (std::vector<int16_t>{5, 5, -7, -7, 32767, 32767}));
    // (L + R) / 2 truncated toward zero, no overflow at full scale
    auto mono = samplesOf(toFile(c, {-3, 0, 3, 0, 32767, 32767, -32768, -32768, -5, 2}));
    EXPECT_EQ(mono, (std::vector<int16_t>{-1, 1, 32767, -32768, -1}));

    // Stereo 8-bit file to a mono array: widened first, then averaged.
    ASSERT_TRUE(c.setFormats(pcm(11025, 2, 8), pcm(11025, 1)));
    EXPECT_EQ(toArray(c, {0, 255, 129, 130}), (std::vector<int16_t>{-128, 384}));
}

TEST(PcmConverter, SameFormatPassesThroughAndBadFormatsAreRefused) {
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(44100, 2), pcm(44100, 2)));
    EXPECT_FALSE(c.converts());
    auto in = qoro::test::testSignal(44100, 2, 1000);
    EXPECT_EQ(toArray(c, bytesOf(in)), in);

    WAVEFORMATEX adpcm = pcm(44100, 2);
    adpcm.wFormatTag = 2;
    EXPECT_FALSE(c.setFormats(adpcm, pcm(44100, 2)));
    EXPECT_FALSE(c.setFormats(pcm(44100, 3), pcm(44100, 2)));
    EXPECT_FALSE(c.setFormats(pcm(44100, 2, 24), pcm(44100, 2)));
    EXPECT_FALSE(c.setFormats(pcm(0, 2), pcm(44100, 2)));
    EXPECT_FALSE(c.setFormats(pcm(44100, 2), pcm(44100, 2, 8)));  // arrays are 16-bit
    uint8_t in4[4] = {1, 2, 3, 4}, out[64];
    EXPECT_EQ(c.toArray(in4, 4, out, sizeof out), 0u);
}

TEST(PcmConverter, OutputCountsAreRounded) {
    PcmConverter c;
    struct Case {
        uint32_t from, to;
        size_t frames, expected;
    } cases[] = {
        {44100, 22050, 3, 2},                                // 1.5 rounds up
        {44100, 22050, 4410, 2205}, {11025, 8000, 100, 73},  // 72.56
        {8000, 11025, 100, 138},                             // 137.8
        {44100, 48000, 441, 480},   {48000, 6000, 7, 1},     // 0.875
        {44100, 6000, 3, 0},                                 // 0.41: nothing comes out
    };
    for (const auto& k : cases) {
        ASSERT_TRUE(c.setFormats(pcm(k.from, 2), pcm(k.to, 1)));
        auto in = qoro::test::testSignal(int(k.from), 2, int(k.frames));
        EXPECT_EQ(c.arrayBytesFor(in.size() * 2), k.expected * 2) << k.from << "->" << k.to;
        EXPECT_EQ(toArray(c, bytesOf(in)).size(), k.expected) << k.from << "->" << k.to;
        // writing goes the other way with the array's channel count
        ASSERT_TRUE(c.setFormats(pcm(k.to, 1, 8), pcm(k.from, 2)));
        EXPECT_EQ(toFile(c, in).size(), k.expected) << k.from << "->" << k.to;
    }
    // a partial trailing frame is ignored; a too small destination converts nothing
    ASSERT_TRUE(c.setFormats(pcm(22050, 2), pcm(44100, 2)));
    EXPECT_EQ(c.arrayBytesFor(7), 8u);
    std::vector<uint8_t> in(400), out(799);
    EXPECT_EQ(c.toArray(in.data(), in.size(), out.data(), out.size()), 0u);
    EXPECT_EQ(c.carried(0), 0);
}

// Each block ends exactly on its last (filtered) input sample when the rate
// goes down; the filter runs on across block boundaries.
TEST(PcmConverter, DownsampledBlocksEndOnTheirLastFilteredInput) {
    const auto signal = qoro::test::testSignal(44100, 2, 44100, 0.4);
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(44100, 2), pcm(32000, 2)));

    // The filtered input, computed with one filter per channel over the whole
    // stream (no peak exceeds full scale at this level, so no block scaling).
    Biquad f[2] = {Biquad::highShelf(44100, 16000, -40, 1), Biquad::highShelf(44100, 16000, -40, 1)};
    std::vector<int16_t> filtered(signal.size());
    for (size_t i = 0; i < signal.size(); ++i)
        filtered[i] = static_cast<int16_t>(static_cast<int32_t>(f[i % 2].step(signal[i])));

    const size_t sizes[] = {4410, 1000, 333, 1, 7000, 4410};
    size_t at = 0;
    for (size_t frames : sizes) {
        std::vector<int16_t> block(signal.begin() + long(at * 2), signal.begin() + long((at + frames) * 2));
        auto out = toArray(c, bytesOf(block));
        at += frames;
        if (out.empty()) continue;
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_EQ(out[out.size() - 2 + ch], filtered[(at - 1) * 2 + ch]) << "block end at " << at;
            EXPECT_EQ(c.carried(ch), filtered[(at - 1) * 2 + ch]);
        }
    }
}

// The 8-bit stereo 22050 Hz file read as a 44100 Hz mono array: widened,
// upsampled channel by channel, then averaged.
TEST(PcmConverter, StereoToMonoResamplesEachChannelBeforeMixing) {
    const int frames = 5000;
    std::vector<uint8_t> stereo(frames * 2), left(frames), right(frames);
    for (int i = 0; i < frames; ++i) {
        left[i] = static_cast<uint8_t>(128 + 100 * std::sin(i * 0.05));
        right[i] = static_cast<uint8_t>(128 + 90 * std::sin(i * 0.31 + 1));
        stereo[2 * i] = left[i];
        stereo[2 * i + 1] = right[i];
    }
    PcmConverter both, l, r;
    ASSERT_TRUE(both.setFormats(pcm(22050, 2, 8), pcm(44100, 1)));
    ASSERT_TRUE(l.setFormats(pcm(22050, 1, 8), pcm(44100, 1)));
    ASSERT_TRUE(r.setFormats(pcm(22050, 1, 8), pcm(44100, 1)));
    for (int block = 0; block < 2; ++block) {
        const size_t from = block * 2205, to = from + 2205;
        std::vector<uint8_t> sb(stereo.begin() + long(from * 2), stereo.begin() + long(to * 2));
        auto mixed = toArray(both, sb);
        auto ol = toArray(l, std::vector<uint8_t>(left.begin() + long(from), left.begin() + long(to)));
        auto orr = toArray(r, std::vector<uint8_t>(right.begin() + long(from), right.begin() + long(to)));
        ASSERT_EQ(mixed.size(), 4410u);
        for (size_t i = 0; i < mixed.size(); ++i)
            ASSERT_EQ(mixed[i], (ol[i] + orr[i]) / 2) << "block " << block << " sample " << i;
    }
}

// A smooth sine converted in many blocks has no steps at the block joins:
// the filter state and the carried sample continue from block to block.
TEST(PcmConverter, BlocksJoinWithoutSteps) {
    for (auto [from, to] : {std::pair{44100u, 22050u}, {22050u, 44100u}, {44100u, 48000u}, {8000u, 11025u}}) {
        const auto signal = sine(440, int(from), int(from), 0.7);
        PcmConverter c;
        ASSERT_TRUE(c.setFormats(pcm(from, 1), pcm(to, 1)));
        std::vector<int16_t> out;
        const size_t block = from / 10;
        for (size_t at = 0; at < signal.size(); at += block) {
            std::vector<int16_t> b(signal.begin() + long(at),
                                   signal.begin() + long(std::min(signal.size(), at + block)));
            auto o = toArray(c, bytesOf(b));
            out.insert(out.end(), o.begin(), o.end());
        }
        // Largest step of a 440 Hz sine at 0.7 full scale at the output rate.
        // Each block is pinned to end on its last input sample, which costs up
        // to one input period at the join; the filter smooths that, while a
        // filter restarted from rest would step by most of the signal.
        const double slope = 0.7 * 32767 * 2 * std::numbers::pi * 440 / to;
        int worst = 0;
        for (size_t i = 200; i + 1 < out.size(); ++i) worst = std::max(worst, std::abs(out[i + 1] - out[i]));
        EXPECT_LT(worst, slope * 1.35 + 4) << from << "->" << to;
        // and the level survives
        EXPECT_NEAR(rms(out, 200, out.size()), 0.7 * 32767 / std::sqrt(2.0), 0.7 * 32767 * 0.03) << from << "->" << to;
    }
}

double gainDb(uint32_t from, uint32_t to, double freq) {
    const double amplitude = 0.5;
    const auto in = sine(freq, int(from), int(from), amplitude);
    PcmConverter c;
    EXPECT_TRUE(c.setFormats(pcm(from, 1), pcm(to, 1)));
    std::vector<int16_t> out;
    for (size_t at = 0; at < in.size(); at += from / 10) {
        std::vector<int16_t> b(in.begin() + long(at), in.begin() + long(std::min(in.size(), at + from / 10)));
        auto o = toArray(c, bytesOf(b));
        out.insert(out.end(), o.begin(), o.end());
    }
    const size_t skip = to / 20;  // let the filter settle
    return 20 * std::log10(rms(out, skip, out.size()) / (amplitude * 32767 / std::sqrt(2.0)));
}

TEST(PcmConverter, RateFilterKeepsTheBandAndCutsAboveIt) {
    // 44.1 -> 22.05 kHz: the shelf sits at 11025 Hz, -20 dB there, -30 dB at 15 kHz.
    EXPECT_GT(gainDb(44100, 22050, 1000), -0.2);
    EXPECT_LT(gainDb(44100, 22050, 1000), 0.1);
    EXPECT_LT(gainDb(44100, 22050, 15000), -25.0);
    EXPECT_LT(gainDb(44100, 22050, 19000), -33.0);
    // Upsampling filters the output: images above the old band are cut.
    EXPECT_GT(gainDb(22050, 44100, 1000), -0.3);
    EXPECT_GT(gainDb(8000, 44100, 300), -0.3);
}

TEST(PcmConverter, UpsampledImagesAreAttenuated) {
    // A 1 kHz tone at 8 kHz upsampled to 44.1 kHz: linear interpolation alone
    // leaves an image at 7 kHz about 17 dB down; the shelf at 4 kHz pushes it
    // far lower.
    const auto in = sine(1000, 8000, 8000, 0.5);
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(8000, 1), pcm(44100, 1)));
    auto out = toArray(c, bytesOf(in));
    // energy near 5 kHz against energy at 3 kHz, by single-bin DFT
    auto bin = [&](double f) {
        double re = 0, im = 0;
        for (size_t i = 4410; i < out.size() - 4410; ++i) {
            re += out[i] * std::cos(2 * std::numbers::pi * f * double(i) / 44100);
            im += out[i] * std::sin(2 * std::numbers::pi * f * double(i) / 44100);
        }
        return std::hypot(re, im);
    };
    EXPECT_LT(20 * std::log10(bin(7000) / bin(1000)), -40.0);
    EXPECT_LT(20 * std::log10(bin(9000) / bin(1000)), -40.0);
}

TEST(PcmConverter, FullScaleSquareWaveIsScaledNotWrapped) {
    // A full-scale square wave overshoots in the filter; the block is scaled
    // back under full scale instead of wrapping around.
    std::vector<int16_t> square(4410);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 50) % 2 ? -32768 : 32767;
    PcmConverter c;
    ASSERT_TRUE(c.setFormats(pcm(44100, 1), pcm(22050, 1)));
    auto out = toArray(c, bytesOf(square));
    int pos = 0, neg = 0;
    for (size_t i = 100; i < out.size(); ++i) {
        if (out[i] > 20000) ++pos;
        if (out[i] < -20000) ++neg;
        // a wrapped sample would flip sign in the middle of a half period
        const bool high = ((2 * i) / 50) % 2 == 0;
        if ((2 * i) % 50 > 6 && (2 * i) % 50 < 44) {
            ASSERT_EQ(out[i] > 0, high) << i;
        }
    }
    EXPECT_GT(pos, 500);
    EXPECT_GT(neg, 500);
}

TEST(ByteCount, CountsWholeFramesRoundedLikeTheConverter) {
    const auto cd = pcm(44100, 2), mono8 = pcm(22050, 1, 8), mono16 = pcm(22050, 1);
    // same rate: the frames, in the other frame size (a partial frame dropped)
    EXPECT_EQ(convertByteCount(1001, pcm(22050, 2, 8), mono16), 1000u);
    EXPECT_EQ(convertByteCount(1001, pcm(16000, 1, 8), pcm(8000, 1)), 1002u);  // same bytes per second: 500.5 frames
    EXPECT_EQ(convertByteCount(1000, cd, mono8), 125u);
    EXPECT_EQ(convertByteCount(1003, cd, mono8), 125u);   // 250 frames
    EXPECT_EQ(convertByteCount(1004, cd, mono8), 126u);   // 125.5 frames round up
    EXPECT_EQ(convertByteCount(1002, cd, mono16), 250u);  // 250 frames -> 125
    EXPECT_EQ(convertByteCount(125, mono8, cd), 1000u);
    EXPECT_EQ(convertByteCount(3, pcm(8000, 1), pcm(44100, 2)), 24u);  // 1 frame -> 5.5125 -> 6
    // no overflow for large counts
    EXPECT_EQ(convertByteCount(4'000'000'000ull, mono8, cd), 32'000'000'000ull);
    WAVEFORMATEX none{};
    EXPECT_EQ(convertByteCount(1000, none, cd), 0u);
    EXPECT_EQ(convertByteCount(1000, cd, none), 0u);
}

// However a stream is cut into blocks, the converter gives the frames the
// byte count announces for the whole stream, both ways, and the same
// samples whether read in one block or in odd ones.
TEST(PcmConverter, AStreamGivesItsAnnouncedLengthInAnyBlocks) {
    struct Case {
        uint32_t from, to;
        uint16_t fromChannels, toChannels;
    } cases[] = {{8000, 11025, 1, 2},  {44100, 22050, 2, 2}, {48000, 44100, 2, 1},
                 {11025, 48000, 1, 1}, {44100, 6000, 2, 1},  {22050, 44100, 2, 2}};
    const size_t cuts[] = {1, 7, 3, 160, 1, 441, 2, 1000, 5};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.from) + "->" + std::to_string(k.to));
        const auto file = pcm(k.from, k.fromChannels), array = pcm(k.to, k.toChannels);
        const auto in = qoro::test::testSignal(int(k.from), k.fromChannels, 5003);
        const auto bytes = bytesOf(in);
        const uint64_t announced = convertByteCount(bytes.size(), file, array);

        PcmConverter whole;
        ASSERT_TRUE(whole.setFormats(file, array));
        std::vector<uint8_t> one(whole.arrayBytesFor(bytes.size()));
        ASSERT_EQ(whole.toArray(bytes.data(), bytes.size(), one.data(), one.size()), announced);

        PcmConverter cut;
        ASSERT_TRUE(cut.setFormats(file, array));
        std::vector<uint8_t> pieces;
        const size_t frameBytes = file.nBlockAlign;
        for (size_t at = 0, i = 0; at < bytes.size(); ++i) {
            const size_t n = std::min(bytes.size() - at, cuts[i % std::size(cuts)] * frameBytes);
            std::vector<uint8_t> out(cut.arrayBytesFor(n));
            ASSERT_EQ(cut.toArray(bytes.data() + at, n, out.data(), out.size()), out.size());
            pieces.insert(pieces.end(), out.begin(), out.end());
            at += n;
        }
        EXPECT_EQ(pieces.size(), announced);

        // Writing: the array stream back into the file format.
        PcmConverter writer;
        ASSERT_TRUE(writer.setFormats(file, array));
        const uint64_t back = convertByteCount(one.size(), array, file);
        uint64_t written = 0;
        for (size_t at = 0, i = 0; at < one.size(); ++i) {
            const size_t n = std::min(one.size() - at, cuts[i % std::size(cuts)] * array.nBlockAlign);
            std::vector<uint8_t> out(writer.fileBytesFor(n));
            written += writer.toFile(one.data() + at, n, out.data(), out.size());
            at += n;
        }
        EXPECT_EQ(written, back);
    }
}

}  // namespace

namespace {

// Our converter against sox's very-high-quality rate converter on tones
// inside the common band: the same output length and the same tone levels.
// (Waveforms are not compared: our shelf filter is minimum phase, sox's is
// linear phase, so the tones come out shifted by some tens of degrees.)
double toneLevel(const std::vector<int16_t>& s, int channel, double freq, uint32_t rate, size_t skip) {
    double re = 0, im = 0;
    size_t n = 0;
    for (size_t i = skip; i + 1 < s.size() / 2; ++i, ++n) {
        const double w = 2 * std::numbers::pi * freq * double(i) / rate;
        re += s[2 * i + size_t(channel)] * std::cos(w);
        im += s[2 * i + size_t(channel)] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / double(n);
}

TEST(PcmConverterInterop, AgreesWithSoxInsideTheBand) {
    QORO_REQUIRE_TOOLS("sox");
    qoro::test::TempDir dir;
    struct Case {
        uint32_t from, to;
        size_t block;  // whole output frames per block: no drift from rounding
    } cases[] = {
        {44100, 22050, 4410}, {22050, 44100, 2205}, {44100, 48000, 4410}, {48000, 32000, 4800}, {11025, 8000, 11025}};
    // Straight-line interpolation and the shelf cost up to half a dB at the
    // upper tone; more would mean a wrong filter or time base.
    const double maxDb = 0.6;
    for (const auto& k : cases) {
        // tones at the same places relative to the lower rate (700, 2100 and
        // 450 Hz at 22050 Hz)
        const double scale = std::min(k.from, k.to) / 22050.0;
        const double f1 = 700 * scale, f2 = 2100 * scale, f3 = 450 * scale;
        const int frames = int(k.from) * 2;
        std::vector<int16_t> in(size_t(frames) * 2);
        for (int i = 0; i < frames; ++i) {
            const double t = double(i) / k.from;
            in[2 * size_t(i)] = int16_t(std::lround(9000 * std::sin(2 * std::numbers::pi * f1 * t) +
                                                    5000 * std::sin(2 * std::numbers::pi * f2 * t)));
            in[2 * size_t(i) + 1] = int16_t(std::lround(12000 * std::sin(2 * std::numbers::pi * f3 * t)));
        }
        qoro::test::writePcm16(dir / "in.raw", in);
        const auto r = qoro::test::run(
            "sox -t s16 -r " + std::to_string(k.from) + " -c 2 " + qoro::test::shellQuote((dir / "in.raw").string()) +
            " -t s16 " + qoro::test::shellQuote((dir / "ref.raw").string()) + " rate -v " + std::to_string(k.to));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto ref = qoro::test::readPcm16(dir / "ref.raw");

        PcmConverter c;
        ASSERT_TRUE(c.setFormats(pcm(k.from, 2), pcm(k.to, 2)));
        std::vector<int16_t> ours;
        for (size_t at = 0; at < size_t(frames); at += k.block) {
            const size_t end = std::min(size_t(frames), at + k.block);
            std::vector<int16_t> b(in.begin() + long(at * 2), in.begin() + long(end * 2));
            auto o = toArray(c, bytesOf(b));
            ours.insert(ours.end(), o.begin(), o.end());
        }
        EXPECT_EQ(ours.size(), ref.size()) << k.from << "->" << k.to;
        const size_t skip = k.to / 20;  // 50 ms for the filters to settle
        for (auto [ch, f] : {std::pair{0, f1}, {0, f2}, {1, f3}}) {
            const double a = toneLevel(ours, ch, f, k.to, skip), b = toneLevel(ref, ch, f, k.to, skip);
            const double db = 20 * std::log10(a / b);
            EXPECT_LT(std::fabs(db), maxDb) << k.from << "->" << k.to << " at " << f << " Hz";
            std::printf("%u -> %u Hz, %.0f Hz tone: %+.3f dB against sox\n", k.from, k.to, f, db);
        }
    }
}

}  // namespace
