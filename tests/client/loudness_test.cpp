// Loudness: the EBU Tech 3341 signals and BS.1770's channel weights through
// every kind of sample a meter takes; the tag values and their rounding and
// clamping; files read through the real AudioFile object and albums of
// them, against ffmpeg's ebur128 filter.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <regex>

#include "client/loudness.h"
#include "qoro/com.h"
#include "test_support.h"

namespace qoro::client::loudness {
namespace {

namespace fs = std::filesystem;
using qoro::test::shellQuote;

// A 1 kHz sine whose level changes from segment to segment: its peak
// amplitude in dBFS, as EBU Tech 3341 gives the levels of its signals.
struct Segment {
    double dbfs;
    double seconds;
};

enum class Kind { Float, Int16, Int24, Int32 };

// The sine in the channels 'on' (a bit per channel), silence in the others,
// fed to a meter as 'kind'.
Measured measureSine(const std::vector<Segment>& segments, int channels, unsigned on, Kind kind) {
    constexpr long kRate = 48000;
    Meter meter(kRate, channels);
    EXPECT_TRUE(meter.ok());
    std::vector<float> floats;
    long n = 0;
    for (const Segment& s : segments) {
        const double amplitude = std::pow(10.0, s.dbfs / 20.0);
        const long frames = std::lround(s.seconds * kRate);
        for (long i = 0; i < frames; ++i, ++n) {
            const double v = amplitude * std::sin(2 * std::numbers::pi * 1000.0 * n / kRate);
            for (int c = 0; c < channels; ++c) floats.push_back(on & (1u << c) ? static_cast<float>(v) : 0.0f);
        }
    }
    const size_t frames = floats.size() / channels;
    switch (kind) {
    case Kind::Float: meter.addFloats(floats.data(), frames); break;
    case Kind::Int16: {
        std::vector<int16_t> ints;
        for (float f : floats) ints.push_back(static_cast<int16_t>(std::lround(f * 32767.0)));
        meter.addInt16(ints.data(), frames);
        break;
    }
    case Kind::Int24:
    case Kind::Int32: {
        const double scale = kind == Kind::Int24 ? 8388607.0 : 2147483647.0;
        std::vector<int32_t> ints;
        for (float f : floats) ints.push_back(static_cast<int32_t>(std::llround(f * scale)));
        meter.addInt32(ints.data(), frames, kind == Kind::Int24 ? 24 : 32);
        break;
    }
    }
    EXPECT_TRUE(meter.ok());
    return measured(meter);
}

TEST(Loudness, Tech3341SignalsAndChannelWeightsMeasureTheirLevels) {
    constexpr unsigned kStereo = 0b11;
    const double surround = -23.0 + 10 * std::log10(1.41);  // BS.1770 weighs surrounds 1.41 times
    struct Case {
        const char* what;
        std::vector<Segment> segments;
        int channels;
        unsigned on;
        Kind kind;
        double lufs;  // -HUGE_VAL: silent
    } cases[] = {
        {"Tech 3341 case 1", {{-23, 20}}, 2, kStereo, Kind::Float, -23},
        {"Tech 3341 case 2", {{-33, 20}}, 2, kStereo, Kind::Int16, -33},
        {"Tech 3341 case 3", {{-36, 10}, {-23, 60}, {-36, 10}}, 2, kStereo, Kind::Int24, -23},
        {"Tech 3341 case 4", {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, 2, kStereo, Kind::Float, -23},
        {"Tech 3341 case 5", {{-26, 20}, {-20, 20.1}, {-26, 20}}, 2, kStereo, Kind::Int32, -23},
        // One channel is a centre speaker: half the power of the stereo pair.
        {"mono", {{-23, 10}}, 1, 0b1, Kind::Float, -23 - 10 * std::log10(2.0)},
        // 5.1 in WAVE order (L R C LFE Ls Rs): the LFE counts nothing.
        {"5.1 LFE alone", {{-10, 10}}, 6, 0b001000, Kind::Float, -HUGE_VAL},
        {"5.1 front pair and LFE", {{-23, 10}}, 6, 0b001011, Kind::Float, -23},
        {"5.1 surrounds", {{-23, 10}}, 6, 0b110000, Kind::Float, surround},
        {"5.0 surrounds", {{-23, 10}}, 5, 0b11000, Kind::Float, surround},
        {"quadraphonic back pair", {{-23, 10}}, 4, 0b1100, Kind::Float, surround},
        // 7.1 (L R C LFE BL BR SL SR): the sides stand at 90 degrees.
        {"7.1 sides", {{-23, 10}}, 8, 0b11000000, Kind::Float, surround},
        {"silence", {{-90, 10}}, 2, kStereo, Kind::Float, -HUGE_VAL},
    };
    for (const Case& c : cases) {
        const Measured m = measureSine(c.segments, c.channels, c.on, c.kind);
        if (c.lufs == -HUGE_VAL) {
            EXPECT_TRUE(m.silent()) << c.what << ": " << m.lufs;
            continue;
        }
        EXPECT_FALSE(m.silent()) << c.what;
        EXPECT_NEAR(m.lufs, c.lufs, 0.1) << c.what;
        // The sample peak is the loudest segment's amplitude.
        double loudest = -200;
        for (const Segment& s : c.segments) loudest = std::max(loudest, s.dbfs);
        EXPECT_NEAR(20 * std::log10(m.peak), loudest, 0.01) << c.what;
    }
}

TEST(Loudness, TagValuesAreFormattedRoundedAndClamped) {
    using V = std::vector<TagValue>;
    const Measured loud{-10.48, 0.98765432};
    const Measured quiet{-21.1, 0.25};
    const Measured level{-17.998, 1.2};  // a gain of -0.002 dB; a peak beyond full scale (floats)
    const Measured silent{-75, 0.0001};
    const V noReplayGain = {{"REPLAYGAIN_TRACK_GAIN", ""},
                            {"REPLAYGAIN_TRACK_PEAK", ""},
                            {"REPLAYGAIN_ALBUM_GAIN", ""},
                            {"REPLAYGAIN_ALBUM_PEAK", ""},
                            {"REPLAYGAIN_REFERENCE_LOUDNESS", ""}};
    auto with = [](V front, const V& back) {
        front.insert(front.end(), back.begin(), back.end());
        return front;
    };
    struct Case {
        const char* what;
        Measured track;
        std::optional<Measured> album;
        bool opus;
        V values;
    } cases[] = {
        {"track",
         loud,
         std::nullopt,
         false,
         {{"REPLAYGAIN_TRACK_GAIN", "-7.52 dB"},
          {"REPLAYGAIN_TRACK_PEAK", "0.987654"},
          {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}}},
        {"track and album",
         quiet,
         loud,
         false,
         {{"REPLAYGAIN_TRACK_GAIN", "+3.10 dB"},
          {"REPLAYGAIN_TRACK_PEAK", "0.250000"},
          {"REPLAYGAIN_ALBUM_GAIN", "-7.52 dB"},
          {"REPLAYGAIN_ALBUM_PEAK", "0.987654"},
          {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}}},
        {"no gain is no negative zero",
         level,
         std::nullopt,
         false,
         {{"REPLAYGAIN_TRACK_GAIN", "+0.00 dB"},
          {"REPLAYGAIN_TRACK_PEAK", "1.200000"},
          {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}}},
        {"silent track of a loud album",
         silent,
         loud,
         false,
         {{"REPLAYGAIN_TRACK_GAIN", ""},
          {"REPLAYGAIN_TRACK_PEAK", "0.000100"},
          {"REPLAYGAIN_ALBUM_GAIN", "-7.52 dB"},
          {"REPLAYGAIN_ALBUM_PEAK", "0.987654"},
          {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}}},
        {"nothing measured",
         Measured{},
         std::nullopt,
         false,
         {{"REPLAYGAIN_TRACK_GAIN", ""},
          {"REPLAYGAIN_TRACK_PEAK", "0.000000"},
          {"REPLAYGAIN_REFERENCE_LOUDNESS", "-18.00 LUFS"}}},
        // Q7.8 against -23 LUFS: -12.52 dB * 256 = -3205.12; -1.9 * 256 = -486.4.
        {"opus track", loud, std::nullopt, true, with({{"R128_TRACK_GAIN", "-3205"}}, noReplayGain)},
        {"opus album", quiet, loud, true,
         with({{"R128_TRACK_GAIN", "-486"}, {"R128_ALBUM_GAIN", "-3205"}}, noReplayGain)},
        // Louder than Q7.8 can take back: held at its edge.
        {"opus clamped", Measured{150, 1}, std::nullopt, true, with({{"R128_TRACK_GAIN", "-32768"}}, noReplayGain)},
        {"opus silent", silent, silent, true, with({{"R128_TRACK_GAIN", ""}, {"R128_ALBUM_GAIN", ""}}, noReplayGain)},
    };
    for (const Case& c : cases) {
        const V got = tagValues(c.track, c.album, c.opus);
        ASSERT_EQ(got.size(), c.values.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].name, c.values[i].name) << c.what;
            EXPECT_EQ(got[i].value, c.values[i].value) << c.what << " " << got[i].name;
        }
    }
    // The other edge, which only a measurement below the silence reaches.
    EXPECT_EQ(r128Gain(Measured{-200, 0}), 32767);
    EXPECT_EQ(r128Gain(Measured{-23, 0}), 0);
}

// What ffmpeg's ebur128 filter says of a file: integrated loudness, sample
// and true peak (dBFS), each to one decimal.
struct Ffmpeg {
    double lufs = NAN, samplePeak = NAN, truePeak = NAN;
};

Ffmpeg ffmpegEbur128(const fs::path& file) {
    const auto r = qoro::test::run("ffmpeg -nostdin -hide_banner -nostats -i " + shellQuote(file.string()) +
                                   " -af ebur128=peak=sample+true -f null -");
    Ffmpeg f;
    const std::string& out = r.output;
    const size_t summary = out.rfind("Summary:");
    if (r.exitCode != 0 || summary == std::string::npos) return f;
    const std::string tail = out.substr(summary);
    std::smatch m;
    if (std::regex_search(tail, m, std::regex(R"(I:\s+(-?[0-9.]+) LUFS)"))) f.lufs = std::stod(m[1]);
    if (std::regex_search(tail, m, std::regex(R"(Sample peak:\s+Peak:\s+(-?[0-9.]+) dBFS)")))
        f.samplePeak = std::stod(m[1]);
    if (std::regex_search(tail, m, std::regex(R"(True peak:\s+Peak:\s+(-?[0-9.]+) dBFS)")))
        f.truePeak = std::stod(m[1]);
    return f;
}

struct LoudnessFiles : ::testing::Test {
    qoro::test::TempDir dir;
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(LoudnessFiles, TracksAndAlbumsMeasureAsFfmpegDoes) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "lame");
    // Three pieces of a chord with noise, 3, 9 and 16 dB below full scale,
    // one of them mono at 48 kHz, and an MP3 lame made of the first.
    struct Track {
        const char* name;
        const char* sox;
    } tracks[] = {
        {"one.wav", "-r 44100 -c 2 -b 16 one.wav synth 8 sine 220 sine 331 pinknoise tremolo 3 40 gain -n -3"},
        {"two.wav", "-r 44100 -c 2 -b 24 two.wav synth 10 sine 440 pinknoise sine 660 tremolo 5 60 gain -n -9"},
        {"three.wav", "-r 48000 -c 1 -b 16 three.wav synth 12 pinknoise sine 550 gain -n -16"},
    };
    const std::string in = "cd " + shellQuote(dir.path().string()) + " && ";
    for (const Track& t : tracks) ASSERT_EQ(qoro::test::run(in + "sox -V1 -R -n " + t.sox).exitCode, 0) << t.name;
    ASSERT_EQ(qoro::test::run(in + "lame --quiet -b 192 one.wav one.mp3").exitCode, 0);

    std::vector<Meter> meters;
    for (const char* name : {"one.wav", "two.wav", "three.wav", "one.mp3"}) {
        const fs::path file = dir / name;
        std::string cause;
        std::optional<Meter> meter = measureFile(file.string(), Options{.truePeak = true}, cause);
        ASSERT_TRUE(meter) << name << ": " << cause;
        const Measured m = measured(*meter);
        const Ffmpeg ref = ffmpegEbur128(file);
        ASSERT_FALSE(std::isnan(ref.lufs)) << name;
        EXPECT_NEAR(m.lufs, ref.lufs, 0.15) << name;
        EXPECT_NEAR(20 * std::log10(m.peak), ref.truePeak, 0.2) << name << " (true peak)";
        meters.push_back(std::move(*meter));
    }
    // A meter of sample peaks reads the same loudness, and the samples' own peak.
    std::string cause;
    const auto plain = measureFile((dir / "one.wav").string(), {}, cause);
    ASSERT_TRUE(plain) << cause;
    EXPECT_DOUBLE_EQ(measured(*plain).lufs, measured(meters[0]).lufs);
    EXPECT_NEAR(20 * std::log10(measured(*plain).peak), ffmpegEbur128(dir / "one.wav").samplePeak, 0.06);

    // The album of the three WAV files: their blocks gated together, as
    // ffmpeg measures the three one after another in one file (at one
    // rate and channel count: sox makes it so).
    const Meter* album3[] = {&meters[0], &meters[1], &meters[2]};
    const Measured together = album(album3);
    ASSERT_EQ(qoro::test::run(in + "sox -V1 one.wav two.wav -r 44100 -c 2 first.wav && "
                                   "sox -V1 three.wav -r 44100 -c 2 -b 24 third.wav remix 1v0.7071 1v0.7071 && "
                                   "sox -V1 first.wav third.wav all.wav")
                  .exitCode,
              0);
    const Ffmpeg all = ffmpegEbur128(dir / "all.wav");
    EXPECT_NEAR(together.lufs, all.lufs, 0.15);
    // Not an average of the tracks, which are far apart.
    double sum = 0;
    for (const Meter* m : album3) sum += m->integrated();
    EXPECT_GT(std::abs(together.lufs - sum / 3), 0.5);
    EXPECT_DOUBLE_EQ(together.peak, std::max({meters[0].peak(), meters[1].peak(), meters[2].peak()}));

    // A file that is no audio is refused with its cause.
    qoro::test::writeBytes(dir / "junk.mp3", std::vector<uint8_t>(4000, 0x5A));
    EXPECT_FALSE(measureFile((dir / "junk.mp3").string(), {}, cause));
    EXPECT_FALSE(cause.empty());
    EXPECT_FALSE(measureFile((dir / "missing.flac").string(), {}, cause));
    EXPECT_NE(cause.find("No such file"), std::string::npos) << cause;
}

}  // namespace
}  // namespace qoro::client::loudness
