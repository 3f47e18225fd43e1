// The deep sample converter: exact paths carry every bit, narrowing rounds
// half away from zero and counts its clips, dither is one step of TPDF,
// channels fold as the mapping says, streams keep their rounded length
// however they are cut, and the float resampler stays clean to -120 dB.
#include "convert/sample_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "convert/downmix.h"
#include "convert/pcm_converter.h"
#include "fourier.h"

namespace {

using acm::WAVEFORMATEX;
using qoro::audiofile::ArrayFormat;
using qoro::audiofile::ConversionOptions;
using qoro::audiofile::PcmConverter;
using qoro::audiofile::SampleConverter;
using qoro::audiofile::SampleKind;
using qoro::audiofile::StereoDownmix;

// ---------------------------------------------------------------------------
// Sample layouts and whole conversions

// One side's sample layout: format tag (1 PCM, 3 float), bits of the value,
// bytes a sample takes.
struct Side {
    uint16_t tag;
    int bits;
    size_t bytes;
    bool isFloat() const { return tag == 3; }
    // Integer range of the value.
    double lowest() const { return -std::ldexp(1.0, bits - 1); }
    double highest() const { return std::ldexp(1.0, bits - 1) - 1; }
};

constexpr Side kU8{1, 8, 1}, kS16{1, 16, 2}, kS24{1, 24, 3}, kS32{1, 32, 4}, kF32{3, 32, 4};

Side sideOf(SampleKind k) {
    switch (k) {
    case SampleKind::Int16: return kS16;
    case SampleKind::Int24: return {1, 24, 4};
    case SampleKind::Int32: return kS32;
    case SampleKind::Float32: return kF32;
    }
    return {};
}

const char* kindName(SampleKind k) {
    static const char* const names[] = {"Int16", "Int24", "Int32", "Float32"};
    return names[static_cast<int>(k)];
}

// Values as bytes: integers little-endian two's complement (8-bit ones 128
// up), floats as float.
std::vector<uint8_t> pack(const Side& s, const std::vector<double>& values) {
    std::vector<uint8_t> out(values.size() * s.bytes);
    for (size_t i = 0; i < values.size(); ++i) {
        uint8_t* p = out.data() + i * s.bytes;
        if (s.isFloat()) {
            const auto f = static_cast<float>(values[i]);
            std::memcpy(p, &f, 4);
            continue;
        }
        const auto v = static_cast<uint64_t>(static_cast<int64_t>(values[i]) + (s.bits == 8 ? 128 : 0));
        for (size_t b = 0; b < s.bytes; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
    }
    return out;
}

std::vector<double> unpack(const Side& s, const std::vector<uint8_t>& bytes) {
    std::vector<double> out(bytes.size() / s.bytes);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t* p = bytes.data() + i * s.bytes;
        if (s.isFloat()) {
            float f;
            std::memcpy(&f, p, 4);
            out[i] = f;
            continue;
        }
        uint64_t v = 0;
        for (size_t b = 0; b < s.bytes; ++b) v |= uint64_t{p[b]} << (8 * b);
        if (s.bits == 8) {
            out[i] = static_cast<double>(v) - 128;
            continue;
        }
        const int width = static_cast<int>(8 * s.bytes);
        out[i] = static_cast<double>(static_cast<int64_t>(v << (64 - width)) >> (64 - width));
    }
    return out;
}

WAVEFORMATEX fileFormat(const Side& s, uint16_t channels, uint32_t rate) {
    WAVEFORMATEX w = acm::makePcmFormat(rate, channels, static_cast<uint16_t>(s.bytes * 8));
    w.wFormatTag = s.tag;
    return w;
}

enum class Way { Read, Write };  // file -> array, array -> file

// A conversion: the file's side, the array's, and which way.
struct Conversion {
    Side file = kS16;
    SampleKind array = SampleKind::Int16;
    Way way = Way::Read;
    uint16_t fileChannels = 1, arrayChannels = 1;
    uint32_t fileRate = 48000, arrayRate = 48000;
    uint32_t mask = 0;
    bool dither = false;

    bool reads() const { return way == Way::Read; }
    Side source() const { return reads() ? file : sideOf(array); }
    Side target() const { return reads() ? sideOf(array) : file; }
    uint16_t sourceChannels() const { return reads() ? fileChannels : arrayChannels; }
    uint16_t targetChannels() const { return reads() ? arrayChannels : fileChannels; }
    uint32_t sourceRate() const { return reads() ? fileRate : arrayRate; }
    uint32_t targetRate() const { return reads() ? arrayRate : fileRate; }
    WAVEFORMATEX fileRecord() const { return fileFormat(file, fileChannels, fileRate); }
    ArrayFormat arrayFormat() const { return {arrayRate, arrayChannels, array}; }
    bool apply(SampleConverter& c) const { return c.setFormats(fileRecord(), arrayFormat(), {dither, mask}); }

    std::string name() const {
        return std::string(reads() ? "read " : "write ") + (file.isFloat() ? "float" : std::to_string(file.bits)) +
               "-bit x" + std::to_string(fileChannels) + " @" + std::to_string(fileRate) + " <-> " + kindName(array) +
               " x" + std::to_string(arrayChannels) + " @" + std::to_string(arrayRate) + (dither ? " dithered" : "");
    }
};

// Converts a whole stream in blocks of the given frame counts (used in
// turn) and drains it. Every block must fit the room announced for it.
std::vector<uint8_t> convertStream(SampleConverter& c, const Conversion& s, const std::vector<uint8_t>& in,
                                   const std::vector<size_t>& cuts = {4096}) {
    const size_t frameBytes = s.source().bytes * s.sourceChannels();
    std::vector<uint8_t> out;
    for (size_t at = 0, i = 0; at < in.size(); ++i) {
        const size_t n = std::min(cuts[i % cuts.size()] * frameBytes, in.size() - at);
        const size_t room = s.reads() ? c.arrayBytesFor(n) : c.fileBytesFor(n);
        const size_t old = out.size();
        out.resize(old + room);
        const size_t got = s.reads() ? c.toArray(in.data() + at, n, out.data() + old, room)
                                     : c.toFile(in.data() + at, n, out.data() + old, room);
        EXPECT_LE(got, room);
        if (s.sourceRate() == s.targetRate()) {
            EXPECT_EQ(got, room) << "equal rates give what they announce";
        }
        out.resize(old + got);
        at += n;
    }
    s.reads() ? c.drainToArray(out) : c.drainToFile(out);
    return out;
}

// The values of a stream through a fresh converter.
std::vector<double> convertValues(const Conversion& s, const std::vector<double>& in, uint64_t* clips = nullptr) {
    SampleConverter c;
    EXPECT_TRUE(s.apply(c)) << s.name();
    const auto out = unpack(s.target(), convertStream(c, s, pack(s.source(), in)));
    if (clips) *clips = c.clipped();
    return out;
}

// Random values over a side's whole range, its extremes among them.
std::vector<double> fullRange(const Side& s, size_t n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<double> v;
    if (s.isFloat()) {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        v = {0.0, -1.0, 1.0 - 1.0 / 16777216};
        while (v.size() < n) v.push_back(d(rng));
    } else {
        std::uniform_int_distribution<int64_t> d(static_cast<int64_t>(s.lowest()), static_cast<int64_t>(s.highest()));
        v = {0.0, -1.0, 1.0, s.lowest(), s.highest()};
        while (v.size() < n) v.push_back(static_cast<double>(d(rng)));
    }
    return v;
}

// A sample of a side as a fraction of full scale.
double fraction(const Side& s, double v) { return s.isFloat() ? v : std::ldexp(v, 1 - s.bits); }

// ---------------------------------------------------------------------------
// Spectra

using qoro::test::dB;
using qoro::test::powerSpectrum;
using qoro::test::strongestSpurDb;

// ---------------------------------------------------------------------------

// Same rate and channels, the target at least as deep: every value is
// carried by shifts (or divided by 2^(bits-1) into floats), dither or not;
// read and written back, the file's bytes come back unchanged.
TEST(SampleConverter, ExactPathsCarryEveryBit) {
    using K = SampleKind;
    const Conversion cases[] = {
        {kU8, K::Int16},
        {kU8, K::Int24},
        {kU8, K::Int32},
        {kU8, K::Float32},
        {kS16, K::Int16},
        {kS16, K::Int24},
        {kS16, K::Int32},
        {kS16, K::Float32},
        {kS24, K::Int24},
        {kS24, K::Int32},
        {kS24, K::Float32},
        {kS32, K::Int32},
        {kS32, K::Float32},
        {kF32, K::Float32},
        {kS16, K::Int16, Way::Write},
        {kS24, K::Int16, Way::Write},
        {kS32, K::Int16, Way::Write},
        {kF32, K::Int16, Way::Write},
        {kS24, K::Int24, Way::Write},
        {kS32, K::Int24, Way::Write},
        {kF32, K::Int24, Way::Write},
        {kS32, K::Int32, Way::Write},
        {kF32, K::Float32, Way::Write},
        {.file = kS24, .array = K::Int32, .fileChannels = 6, .arrayChannels = 6, .fileRate = 96000, .arrayRate = 96000},
    };
    for (Conversion s : cases) {
        const Side from = s.source(), to = s.target();
        auto in = fullRange(from, 3001 * s.sourceChannels());
        if (from.isFloat()) {
            // beyond full scale, infinities, a denormal, minus zero
            const double more[] = {3.5, -1e30, std::numeric_limits<double>::infinity(), -1e-40, -0.0};
            std::copy(std::begin(more), std::end(more), in.begin() + 5);
        }
        std::vector<uint8_t> expected = pack(from, in);  // float to float: the same bytes
        if (!from.isFloat()) {
            std::vector<double> want(in.size());
            for (size_t i = 0; i < in.size(); ++i)
                want[i] = to.isFloat() ? double(static_cast<float>(fraction(from, in[i])))
                                       : std::ldexp(in[i], to.bits - from.bits);
            expected = pack(to, want);
        }
        for (bool dither : {false, true}) {
            s.dither = dither;
            SCOPED_TRACE(s.name());
            SampleConverter c;
            ASSERT_TRUE(s.apply(c));
            EXPECT_FALSE(c.lags());
            const auto out = convertStream(c, s, pack(from, in), {1, 700, 4096});
            EXPECT_TRUE(out == expected) << "not bit-identical";
            EXPECT_EQ(c.clipped(), 0u);
            // back the other way, where that loses nothing (32-bit integers
            // do not fit a float)
            if (!s.reads() || dither || (!from.isFloat() && to.isFloat() && from.bits > 24)) continue;
            Conversion back = s;
            back.way = Way::Write;
            EXPECT_TRUE(convertStream(c, back, out) == pack(from, in)) << "not the same bytes written back";
        }
    }
}

// A value that loses precision is rounded half away from zero and clipped,
// each clip counted: hand-picked edges, and a sweep against the rule.
TEST(SampleConverter, NarrowingRoundsHalfAwayFromZeroAndCountsClips) {
    using K = SampleKind;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double i32max = 2147483647.0, i32min = -2147483648.0;
    const struct {
        Conversion setup;
        std::vector<double> in, out;
        uint64_t clips;
    } edges[] = {
        // 24 bits: 256 steps to one 16-bit step, 128 half of one
        {{kS24, K::Int16},
         {0, 127, 128, -127, -128, 383, 384, -384, 8388607, -8388608, 8388480, 8388479},
         {0, 0, 1, 0, -1, 1, 2, -2, 32767, -32768, 32767, 32767},
         2},
        {{kS32, K::Int16}, {0, 32767, 32768, -32768, -32769, i32max, i32min}, {0, 0, 1, -1, -1, 32767, -32768}, 1},
        {{kS32, K::Int24}, {127, 128, -128, -129, i32max, i32min}, {0, 1, -1, -1, 8388607, -8388608}, 1},
        {{kF32, K::Int16},
         {0, 0.5 / 32768, -0.5 / 32768, 1.0, -1.0, 2.0, -3.0, nan, 0.25, 1.4 / 32768, inf, -inf},
         {0, 1, -1, 32767, -32768, 32767, -32768, 0, 8192, 1, 32767, -32768},
         5},
        {{kF32, K::Int24}, {1.0, -1.0, 0.5 / 8388608, 1.5 / 8388608}, {8388607, -8388608, 1, 2}, 1},
        {{kF32, K::Int32}, {1.0, -1.0, 0.5, 0.5 / 2147483648.0}, {i32max, i32min, 1073741824, 1}, 1},
        {{kU8, K::Int16, Way::Write},
         {0, 127, 128, -128, -129, 32767, -32768, 32640, 32639},
         {0, 0, 1, -1, -1, 127, -128, 127, 127},
         2},
        {{kU8, K::Float32, Way::Write}, {1.0, -1.0, 0.0, 0.5 / 128, -1.5 / 128}, {127, -128, 0, 1, -2}, 1},
        {{kS16, K::Int32, Way::Write}, {32768, -32768, i32max}, {1, -1, 32767}, 1},
        // Int24 words beyond 24 bits are clipped as they are read
        {{kS24, K::Int24, Way::Write}, {8388608, -8388609, 5, i32min}, {8388607, -8388608, 5, -8388608}, 3},
        {{kS32, K::Int24, Way::Write}, {8388608, -8388609}, {2147483392, -2147483648.0}, 2},
        // floats that are mixed lose NaN and infinities, which the filter would spread
        {{.file = kF32, .array = K::Float32, .fileChannels = 2},
         {nan, 0.5, inf, 0.25, -inf, -inf},
         {0.25, 0.125, 0},
         0},
    };
    for (const auto& k : edges) {
        SCOPED_TRACE(k.setup.name());
        uint64_t clips = 0;
        EXPECT_EQ(convertValues(k.setup, k.in, &clips), k.out);
        EXPECT_EQ(clips, k.clips);
    }

    const Conversion sweeps[] = {{kS24, K::Int16},
                                 {kF32, K::Int16},
                                 {kS32, K::Int24},
                                 {kS16, K::Int24, Way::Write},
                                 {kU8, K::Int32, Way::Write},
                                 {kU8, K::Float32, Way::Write}};
    for (const Conversion& s : sweeps) {
        SCOPED_TRACE(s.name());
        const Side from = s.source(), to = s.target();
        const auto in = fullRange(from, 100000, 7);
        const auto out = convertValues(s, in);
        ASSERT_EQ(out.size(), in.size());
        size_t wrong = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            const double want =
                std::clamp(std::round(std::ldexp(fraction(from, in[i]), to.bits - 1)), to.lowest(), to.highest());
            wrong += out[i] != want;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

// TPDF dither of one step either way, then rounding: the error against the
// exact value has the dither's variance (two uniform steps: 1/12 + 1/12)
// plus the rounding's (1/12), so an RMS of sqrt(1/4) = 0.5 step, and no mean.
// Values placed whole (mono into both sides, deeper) get no dither at all.
TEST(SampleConverter, DitherIsOneStepOfTpdfWherePrecisionIsLost) {
    using K = SampleKind;
    const struct {
        Conversion setup;
        double rms;
    } cases[] = {
        {{.file = kS24, .array = K::Int16, .dither = true}, 0.5},
        {{.file = kF32, .array = K::Int16, .dither = true}, 0.5},
        {{.file = kS24, .array = K::Int32, .way = Way::Write, .dither = true}, 0.5},
        {{.file = kU8, .array = K::Int16, .way = Way::Write, .dither = true}, 0.5},
        // stereo to mono: halves of a step where the mean falls between two
        {{.file = kS16, .array = K::Int16, .fileChannels = 2, .dither = true}, 0.5},
        {{.file = kS16, .array = K::Int24, .arrayChannels = 2, .dither = true}, 0.0},
        {{.file = kS24, .array = K::Int24, .arrayChannels = 2, .dither = true}, 0.0},
    };
    for (const auto& k : cases) {
        const Conversion& s = k.setup;
        SCOPED_TRACE(s.name());
        const Side from = s.source(), to = s.target();
        const size_t inCh = s.sourceChannels(), outCh = s.targetChannels();
        std::mt19937 rng(3);
        std::uniform_real_distribution<double> d(-0.9, 0.9);  // clear of clipping
        std::vector<double> in(200000 * inCh);
        for (double& v : in) v = from.isFloat() ? double(float(d(rng))) : std::round(std::ldexp(d(rng), from.bits - 1));
        const auto out = convertValues(s, in);
        ASSERT_EQ(out.size() * inCh, in.size() * outCh);
        double sum = 0, squares = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            // every output is the mean of its input frame (two to one, or one to two)
            const size_t frame = i / outCh;
            double exact = 0;
            for (size_t c = 0; c < inCh; ++c) exact += fraction(from, in[frame * inCh + c]);
            const double e = out[i] - std::ldexp(exact / double(inCh), to.bits - 1);
            sum += e;
            squares += e * e;
        }
        const auto n = double(out.size());
        EXPECT_NEAR(std::sqrt(squares / n), k.rms, k.rms / 10);
        EXPECT_NEAR(sum / n, 0.0, 0.01);
    }
}

// Each input channel alone, steady at half scale, lands in the outputs with
// the mapping's gains: as they are, the fold-down's (StereoDownmix), through
// it to mono, the stereo mean, mono into left and right, growth and other
// reductions in place; with a resampler mixing before or after it.
TEST(SampleConverter, ChannelsFoldAsTheMappingSays) {
    using K = SampleKind;
    const uint32_t sideSurround = 0x1 | 0x2 | 0x4 | 0x8 | 0x200 | 0x400;  // 5.1 with side speakers
    auto gainOf = [](int in, int out, uint32_t mask, int o, int c) -> double {
        if (in == out) return o == c;
        if (in >= 3 && out <= 2) {
            const StereoDownmix fold(in, mask);
            return out == 2 ? fold.gain(o, c) : (fold.gain(0, c) + fold.gain(1, c)) / 2;
        }
        if (in == 2 && out == 1) return 0.5;
        if (in == 1) return o < 2;
        return o == c;
    };
    const struct {
        uint16_t in, out;
        uint32_t mask;
        Way way;
        uint32_t fileRate, arrayRate;
    } cases[] = {
        {6, 2, 0, Way::Read, 48000, 48000},  {6, 2, sideSurround, Way::Read, 48000, 48000},
        {8, 2, 0, Way::Read, 48000, 48000},  {3, 2, 0, Way::Read, 48000, 48000},
        {7, 1, 0, Way::Read, 48000, 48000},  {2, 1, 0, Way::Read, 48000, 48000},
        {1, 2, 0, Way::Read, 48000, 48000},  {1, 6, 0, Way::Read, 48000, 48000},
        {2, 6, 0, Way::Read, 48000, 48000},  {8, 6, 0, Way::Read, 48000, 48000},
        {2, 2, 0, Way::Read, 48000, 48000},  {6, 2, 0, Way::Write, 48000, 48000},
        {6, 2, 0, Way::Read, 48000, 44100},  {1, 2, 0, Way::Read, 44100, 48000},
        {2, 6, 0, Way::Write, 96000, 44100},
    };
    for (const auto& k : cases) {
        Conversion s{.file = kF32, .array = K::Float32, .way = k.way, .mask = k.mask};
        (s.reads() ? s.fileChannels : s.arrayChannels) = k.in;
        (s.reads() ? s.arrayChannels : s.fileChannels) = k.out;
        s.fileRate = k.fileRate;
        s.arrayRate = k.arrayRate;
        SCOPED_TRACE(s.name() + " mask " + std::to_string(k.mask));
        const size_t frames = s.sourceRate() / 10;
        for (int c = 0; c < k.in; ++c) {
            std::vector<double> in(frames * k.in, 0.0);
            for (size_t f = 0; f < frames; ++f) in[f * k.in + size_t(c)] = 0.5;
            const auto out = convertValues(s, in);
            ASSERT_EQ(out.size(), PcmConverter::outFrames(frames, s.sourceRate(), s.targetRate()) * k.out);
            const size_t middle = out.size() / k.out / 2;  // clear of the filter's start and end
            for (int o = 0; o < k.out; ++o)
                EXPECT_NEAR(out[middle * k.out + size_t(o)], 0.5 * gainOf(k.in, k.out, s.mask, o, c), 1e-6)
                    << "input " << c << " in output " << o;
        }
    }
}

// N input frames give round(N x to / from) output frames, the same samples
// however the stream is cut, each block within what was announced; after
// continueAt the counts round as for the whole stream.
TEST(SampleConverter, StreamsKeepTheirRoundedLengthHoweverCut) {
    using K = SampleKind;
    const Conversion cases[] = {
        {.file = kF32,
         .array = K::Float32,
         .fileChannels = 2,
         .arrayChannels = 2,
         .fileRate = 44100,
         .arrayRate = 48000},
        {.file = kS24,
         .array = K::Float32,
         .fileChannels = 2,
         .arrayChannels = 2,
         .fileRate = 96000,
         .arrayRate = 44100},
        {.file = kS16, .array = K::Int24, .fileChannels = 1, .arrayChannels = 2, .fileRate = 1000, .arrayRate = 48000},
        {.file = kF32,
         .array = K::Int16,
         .fileChannels = 6,
         .arrayChannels = 2,
         .fileRate = 192000,
         .arrayRate = 44100},
        {.file = kS24,
         .array = K::Int16,
         .way = Way::Write,
         .fileChannels = 2,
         .arrayChannels = 2,
         .fileRate = 48000,
         .arrayRate = 44100},
        {.file = kS16, .array = K::Int16, .fileChannels = 2, .arrayChannels = 1, .fileRate = 48000, .arrayRate = 48000},
    };
    const std::vector<std::vector<size_t>> cuts = {{7, 1, 160}, {4096}, {1u << 20}};
    for (const Conversion& s : cases) {
        SCOPED_TRACE(s.name());
        const size_t targetFrame = s.target().bytes * s.targetChannels();
        SampleConverter c;
        ASSERT_TRUE(s.apply(c));
        EXPECT_EQ(c.lags(), s.fileRate != s.arrayRate);
        for (const size_t frames : {size_t{0}, size_t{1}, size_t{4801}}) {
            std::vector<double> values(frames * s.sourceChannels());
            std::mt19937 rng(11);
            std::uniform_real_distribution<double> d(-0.4, 0.4);
            for (double& v : values)
                v = s.source().isFloat() ? d(rng) : std::round(std::ldexp(d(rng), s.source().bits - 1));
            const auto in = pack(s.source(), values);
            // a fresh stream announces what the byte-count rule gives
            ASSERT_TRUE(s.apply(c));
            const auto announced = s.reads() ? c.arrayBytesFor(in.size()) : c.fileBytesFor(in.size());
            const auto rule =
                s.reads() ? qoro::audiofile::convertByteCount(in.size(), s.fileRecord(), s.arrayFormat().record())
                          : qoro::audiofile::convertByteCount(in.size(), s.arrayFormat().record(), s.fileRecord());
            EXPECT_EQ(announced, rule);
            std::vector<uint8_t> whole;
            for (const auto& cut : cuts) {
                ASSERT_TRUE(s.apply(c));
                const auto out = convertStream(c, s, in, cut);
                EXPECT_EQ(out.size(), PcmConverter::outFrames(frames, s.sourceRate(), s.targetRate()) * targetFrame)
                    << frames << " frames in blocks of " << cut.front();
                if (whole.empty()) whole = out;
                EXPECT_TRUE(out == whole) << "other samples in blocks of " << cut.front();
            }
            // the same stream from a position (after a seek)
            const uint64_t start = 123457;
            c.continueAt(start);
            const auto from = convertStream(c, s, in, {1000});
            EXPECT_EQ(from.size(), (PcmConverter::outFrames(start + frames, s.sourceRate(), s.targetRate()) -
                                    PcmConverter::outFrames(start, s.sourceRate(), s.targetRate())) *
                                       targetFrame);
        }
    }
}

// A float tone through the resampler: its strongest spur anywhere in the
// band at least 120 dB below it (Kaiser window, beta 24: side lobes far
// below that; the filter's start and end left out).
TEST(SampleConverter, ResampledTonesHaveNoSpurAboveMinus120dBc) {
    const uint32_t rates[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}};
    constexpr size_t kBins = 1 << 16;
    for (const auto& r : rates)
        for (const double freq : {1000.0, 10000.0, 15000.0, 20000.0}) {
            const Conversion s{.file = kF32, .array = SampleKind::Float32, .fileRate = r[0], .arrayRate = r[1]};
            SCOPED_TRACE(s.name() + " " + std::to_string(int(freq)) + " Hz");
            const size_t skip = r[1] / 5;
            const size_t frames = size_t(double(kBins + 2 * skip) * r[0] / r[1]) + 1;
            std::vector<double> tone(frames);
            for (size_t i = 0; i < frames; ++i)
                tone[i] = 0.5 * std::sin(2 * std::numbers::pi * freq * double(i) / r[0]);
            const auto out = convertValues(s, tone);
            ASSERT_GE(out.size(), kBins + 2 * skip);
            const auto p = powerSpectrum(out, skip, kBins, 24.0);
            const size_t peak = size_t(std::max_element(p.begin(), p.end()) - p.begin());
            EXPECT_NEAR(double(peak) * r[1] / kBins, freq, 2.0 * r[1] / kBins);
            EXPECT_LE(strongestSpurDb(p), -120.0);
        }
}

// White noise from 44.1 to 48 kHz: what lies between the old Nyquist
// frequency and the new one is the filter's stop band, 120 dB below the
// whole (averaged Kaiser-windowed spectra).
TEST(SampleConverter, UpsampledNoiseLeavesTheNewBandEmpty) {
    const Conversion s{.file = kF32, .array = SampleKind::Float32, .fileRate = 44100, .arrayRate = 48000};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> d(-0.5, 0.5);
    std::vector<double> noise(44100 * 3);
    for (double& v : noise) v = d(rng);
    const auto out = convertValues(s, noise);
    constexpr size_t kBins = 8192;
    std::vector<double> sum(kBins / 2 + 1, 0.0);
    for (size_t at = 48000 / 5; at + kBins + 48000 / 5 <= out.size(); at += kBins / 2) {
        const auto p = powerSpectrum(out, at, kBins, 20.0);
        for (size_t k = 0; k < p.size(); ++k) sum[k] += p[k];
    }
    double total = 0, band = 0;
    for (size_t k = 0; k < sum.size(); ++k) {
        total += sum[k];
        if (double(k) * 48000 / kBins >= 22050) band += sum[k];
    }
    std::printf("22.05 ... 24 kHz: %.1f dB of the whole\n", dB(band / total));
    EXPECT_LE(dB(band / total), -120.0);
}

// Formats outside the range are refused and then nothing converts; a short
// buffer gets nothing and leaves the stream where it was; a trailing
// partial frame is left for later; null buffers and absurd positions are
// survived.
TEST(SampleConverter, BadInputConvertsNothing) {
    auto pcm = [](uint16_t tag, uint16_t bits, uint16_t channels, uint32_t rate) {
        WAVEFORMATEX w = acm::makePcmFormat(rate, channels, bits);
        w.wFormatTag = tag;
        return w;
    };
    const ArrayFormat good{48000, 2, SampleKind::Int24};
    const struct {
        WAVEFORMATEX file;
        ArrayFormat array;
    } refused[] = {
        {pcm(2, 16, 2, 48000), good},
        {pcm(1, 12, 2, 48000), good},
        {pcm(1, 16, 0, 48000), good},
        {pcm(1, 16, 9, 48000), good},
        {pcm(1, 16, 2, 999), good},
        {pcm(1, 16, 2, 768001), good},
        {pcm(3, 64, 2, 48000), good},
        {pcm(3, 16, 2, 48000), good},
        {pcm(0xFFFE, 16, 2, 48000), good},
        {pcm(1, 16, 2, 48000), {48000, 2, static_cast<SampleKind>(7)}},
        {pcm(1, 16, 2, 48000), {48000, 0, SampleKind::Int16}},
        {pcm(1, 16, 2, 48000), {48000, 9, SampleKind::Int16}},
        {pcm(1, 16, 2, 48000), {500, 2, SampleKind::Int16}},
        {pcm(1, 16, 2, 48000), {800000, 2, SampleKind::Int16}},
    };
    std::vector<uint8_t> in(4000, 0x11), out(64000, 0xAB);
    const std::vector<uint8_t> untouched = out;
    for (const auto& k : refused) {
        SampleConverter c;
        ASSERT_TRUE(c.setFormats(pcm(1, 16, 2, 44100), good, {}));  // a good converter, then the bad formats
        EXPECT_FALSE(c.setFormats(k.file, k.array, {}));
        EXPECT_FALSE(c.converts());
        EXPECT_FALSE(c.lags());
        EXPECT_EQ(c.arrayBytesFor(in.size()), 0u);
        EXPECT_EQ(c.fileBytesFor(in.size()), 0u);
        EXPECT_EQ(c.toArray(in.data(), in.size(), out.data(), out.size()), 0u);
        EXPECT_EQ(c.toFile(in.data(), in.size(), out.data(), out.size()), 0u);
        std::vector<uint8_t> drained;
        EXPECT_EQ(c.drainToArray(drained) + c.drainToFile(drained), 0u);
        c.continueAt(5);
    }
    EXPECT_TRUE(out == untouched);

    for (const uint32_t fileRate : {48000u, 44100u}) {
        SCOPED_TRACE(fileRate);
        const Conversion s{.file = kS16,
                           .array = SampleKind::Int24,
                           .fileChannels = 2,
                           .arrayChannels = 2,
                           .fileRate = fileRate,
                           .arrayRate = 48000};
        out = untouched;
        SampleConverter c;
        ASSERT_TRUE(s.apply(c));
        EXPECT_TRUE(c.converts());
        const size_t need = c.arrayBytesFor(in.size());
        ASSERT_GT(need, 0u);
        EXPECT_EQ(c.toArray(in.data(), in.size(), out.data(), need - 1), 0u);
        EXPECT_TRUE(out == untouched);
        EXPECT_EQ(c.arrayBytesFor(in.size()), need) << "a refused block moves the stream on";
        EXPECT_EQ(c.toArray(nullptr, in.size(), out.data(), out.size()), 0u);
        EXPECT_EQ(c.toArray(in.data(), in.size(), nullptr, out.size()), 0u);
        EXPECT_EQ(c.toArray(in.data(), 3, out.data(), out.size()), 0u);  // less than a frame
        // 3 frames and 2 bytes: the partial frame is not converted
        EXPECT_EQ(c.arrayBytesFor(14), c.arrayBytesFor(12));
        EXPECT_LE(c.toArray(in.data(), 14, out.data(), out.size()), PcmConverter::outFrames(3, fileRate, 48000) * 8);
        // a position beyond any stream still gives bounded, announced blocks
        c.continueAt(UINT64_MAX);
        const size_t room = c.arrayBytesFor(in.size());
        EXPECT_EQ(room, PcmConverter::outFrames(1000, fileRate, 48000) * 8);
        const size_t got = c.toArray(in.data(), in.size(), out.data(), room);
        std::vector<uint8_t> drained;
        c.drainToArray(drained);
        EXPECT_EQ(got + drained.size(), room);
    }
}

}  // namespace
