// qoro converts sources of any rate, 1000 to 384000 Hz, to every common target
// at the rate its defaults choose, without relabelling: each output lasts as
// long as its source (within one frame of the target's coding), at the rate
// the target type takes for that source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "fourier.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

bool isOneOf(long rate, std::initializer_list<long> rates) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

// The rates a type keeps; any other rate goes to 44100 Hz when it is a
// multiple of 11025 Hz, else to 48000 Hz.
long keptOrFamily(long rate, std::initializer_list<long> kept) {
    if (isOneOf(rate, kept)) return rate;
    return rate % 11025 == 0 ? 44100 : 48000;
}

// The rate each target type takes for a source rate.
long wavRate(long r) { return r; }
long mp3Rate(long r) { return keptOrFamily(r, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}); }
long opusRate(long) { return 48000; }
long oggRate(long r) { return keptOrFamily(r, {44100, 48000}); }

struct Target {
    const char* type;
    long (*rate)(long sourceRate);
    long frame;  // samples of one coded frame at the output rate (1 for PCM)
    long delay;  // encoder delay a file may leave to its decoder (MP3 without a LAME header)
};

const Target kTargets[] = {
    {"wav", wavRate, 1, 0},     {"flac", wavRate, 1, 0},  {"mp3", mp3Rate, 1152, 576 + 529},
    {"opus", opusRate, 960, 0}, {"ogg", oggRate, 2048, 0},
};

struct Shape {
    long rate = 0;
    double seconds = 0;  // duration without the coder's leading delay
};

// ffprobe's rate and duration of every file in a folder.
// The duration counts from the first sample the decoder presents (MP3: after
// the encoder delay its header states) and, for Opus, without the pre-skip.
std::map<std::string, Shape> probeFolder(const fs::path& folder) {
    // two at a time; each line is written at once
    const auto r = t::run("cd " + q(folder) +
                          " && ls | xargs -P 2 -I{} sh -c 'echo \"$0 $(ffprobe -v error "
                          "-select_streams a:0 -show_entries stream=sample_rate,start_time:format=duration "
                          "-of default=nw=1:nk=1 \"$0\" | tr \"\\n\" \" \")\"' {}");
    std::map<std::string, Shape> shapes;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, start;
        Shape s;
        double duration = 0;
        if (!(fields >> name >> s.rate >> start >> duration)) continue;
        s.seconds = duration - (start == "N/A" ? 0.0 : std::atof(start.c_str()));
        if (name.ends_with(".opus")) {
            // OpusHead: the pre-skip, 48 kHz samples, ten bytes after the magic
            const auto bytes = t::readBytes(folder / name);
            const std::string text(bytes.begin(), bytes.end());
            const size_t head = text.find("OpusHead");
            if (head != std::string::npos && head + 12 <= bytes.size())
                s.seconds -= (bytes[head + 10] | (bytes[head + 11] << 8)) / 48000.0;
        }
        shapes[fs::path(name).stem().string()] = s;
    }
    return shapes;
}

TEST(QoroRates, EveryRateConvertsWithoutRelabelling) {
    QORO_REQUIRE_TOOLS("sox", "ffprobe");
    t::TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src);
    std::string sources;
    const std::string make = "sox -n -c 2 -r ";
    for (long rate :
         {1000, 7999, 8000, 11025, 22050, 32000, 44100, 48000, 64000, 88200, 96000, 176400, 192000, 384000}) {
        const fs::path file = src / ("s" + std::to_string(rate) + ".wav");
        const auto r = t::run(make + std::to_string(rate) + " -b 16 " + q(file) + " synth 0.37 sine 100 vol 0.5");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        sources += " " + q(file);
    }
    // a 24-bit FLAC as hi-res libraries hold them
    const fs::path deep = src / "deep96k.flac";
    auto r = t::run(make + "96000 -b 24 " + q(deep) + " synth 0.37 sine 1000 vol 0.5");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    sources += " " + q(deep);
    const auto given = probeFolder(src);
    ASSERT_EQ(given.size(), 15u);

    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.type);
        const fs::path out = dir / target.type;
        r = t::cli::runQoro(std::string("convert -j 2 --to ") + target.type + " -o " + q(out) + sources);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto made = probeFolder(out);
        EXPECT_EQ(made.size(), given.size());
        for (const auto& [name, source] : given) {
            const auto it = made.find(name);
            ASSERT_NE(it, made.end()) << name;
            const Shape& output = it->second;
            EXPECT_EQ(output.rate, target.rate(source.rate)) << name;
            // one frame of the coding (and the delay a decoder may not know
            // of), and one sample either way for the rounding
            const double tolerance =
                double(target.frame + target.delay + 1) / double(output.rate) + 1.0 / double(source.rate);
            EXPECT_NEAR(output.seconds, source.seconds, tolerance) << name << " at " << output.rate << " Hz";
        }
    }
}

}  // namespace

namespace {

// Deep and many-channel sources to lossless targets: made by sox or ffmpeg,
// converted with qoro's defaults (or the options given), decoded by the
// reference to raw samples of the same kind as the source's decode.
struct LosslessCase {
    const char* name;
    const char* make;    // makes IN
    const char* decode;  // decodes IN to OUT
    const char* options;
    const char* codec;  // ffprobe's codec of the output
    int channels;
    const char* to = "wav";
};

const LosslessCase kLossless[] = {
    {"flac24_96k", "sox -D -R -n -r 96000 -c 2 -b 24 IN.wav synth 0.4 sine 1000 sine 1717 gain -3 && "
                   "flac -s -f -o IN IN.wav",
     "sox -D IN -t s32 OUT", "--to wav", "pcm_s24le", 2},
    {"wav_float", "sox -D -R -n -r 48000 -c 2 -b 16 IN.wav synth 0.4 sine 440 sine 660 && "
                  "ffmpeg -v error -y -i IN.wav -af volume=1.25 -c:a pcm_f32le IN",
     "ffmpeg -v error -y -i IN -f f32le OUT", "--to wav", "pcm_f32le", 2},
    {"wav32", "sox -D -R -n -r 44100 -c 1 -b 32 IN synth 0.4 sine 440 gain -1", "sox -D IN -t s32 OUT",
     "--to wav", "pcm_s32le", 1},
    {"flac_5_1", "sox -D -R -n -r 48000 -c 6 -b 16 IN.wav synth 0.4 sine 100 sine 200 sine 300 sine 400 "
                 "sine 500 sine 600 gain -3 && flac -s -f -o IN IN.wav",
     "sox -D IN -t s16 OUT", "--to wav", "pcm_s16le", 6},
    {"flac24_to_flac", "sox -D -R -n -r 96000 -c 2 -b 24 IN.wav synth 0.4 sine 1000 sine 1717 gain -3 && "
                       "flac -s -f -o IN IN.wav",
     "sox -D IN -t s32 OUT", "--to flac", "flac", 2, "flac"},
    {"flac_5_1_to_flac", "sox -D -R -n -r 48000 -c 6 -b 24 IN.wav synth 0.4 sine 100 sine 200 sine 300 sine 400 "
                         "sine 500 sine 600 gain -3 && flac -s -f -o IN IN.wav",
     "sox -D IN -t s32 OUT", "--to flac", "flac", 6, "flac"},
    {"wav24_to_flac", "sox -D -R -n -r 88200 -c 2 -b 24 IN synth 0.4 sine 1000 sine 1717 gain -3",
     "sox -D IN -t s32 OUT", "--to flac", "flac", 2, "flac"},
};


// ffprobe's codec and channels of the first audio stream.
std::string codecOf(const fs::path& file) {
    return t::run("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,channels -of csv=p=0 " +
                  q(file))
        .output;
}

// The 16-bit samples sox gives of any file it reads.
std::vector<int16_t> sox16(const fs::path& in, const fs::path& scratch, const std::string& effects = "") {
    const auto r = t::run("sox -D " + q(in) + " -t s16 " + q(scratch) + " " + effects);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return t::readPcm16(scratch);
}

}  // namespace

// Same rate and depth lossless to lossless is bit-exact, at the source's
// depth and channels. A 32-bit source to FLAC is 24-bit.
TEST(QoroDepth, LosslessTargetsKeepEveryBitAndChannel) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe", "flac");
    for (const LosslessCase& c : kLossless) {
        SCOPED_TRACE(c.name);
        t::TempDir dir;
        const fs::path in = dir / (std::string(c.name) + (std::string(c.make).find("flac -s") != std::string::npos ? ".flac" : ".wav"));
        ASSERT_EQ(t::run(t::withPaths(c.make, in, {})).exitCode, 0);
        const auto r = t::cli::runQoro(std::string("convert ") + c.options + " -o " + q(dir / "out") + " " + q(in));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const fs::path out = dir / "out" / (std::string(c.name) + "." + c.to);
        EXPECT_EQ(codecOf(out), std::string(c.codec) + "," + std::to_string(c.channels) + "\n");
        ASSERT_EQ(t::run(t::withPaths(c.decode, in, dir / "a.raw")).exitCode, 0);
        ASSERT_EQ(t::run(t::withPaths(c.decode, out, dir / "b.raw")).exitCode, 0);
        const auto a = t::readBytes(dir / "a.raw");
        EXPECT_GT(a.size(), 1000u);
        EXPECT_TRUE(a == t::readBytes(dir / "b.raw"));
    }
    t::TempDir dir;
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 1 -b 32 " + q(dir / "w32.wav") + " synth 0.2 sine 440").exitCode, 0);
    const auto r = t::cli::runQoro("convert --to flac -o " + q(dir / "o") + " " + q(dir / "w32.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(t::run("ffprobe -v error -show_entries stream=bits_per_raw_sample -of csv=p=0 " + q(dir / "o" / "w32.flac"))
                  .output,
              "24\n");
}

// 24 bits narrowed to 16: without dither as sox rounds (within one step);
// with TPDF dither an error as large as sox's own dither gives; 5.1 folded
// down to stereo with the ITU-R BS.775 gains.
TEST(QoroDepth, NarrowingAndFoldingDownMatchTheReference) {
    QORO_REQUIRE_TOOLS("sox", "ffprobe");
    t::TempDir dir;
    const fs::path deep = dir / "deep.wav";
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 2 -b 24 " + q(deep) + " synth 1 sine 997 sine 3001 gain -6").exitCode,
              0);
    // the exact values, in 16-bit steps
    ASSERT_EQ(t::run("sox -D " + q(deep) + " -t f64 " + q(dir / "exact.f64")).exitCode, 0);
    const auto exactBytes = t::readBytes(dir / "exact.f64");
    std::vector<double> exact(exactBytes.size() / 8);
    std::memcpy(exact.data(), exactBytes.data(), exact.size() * 8);
    auto errorRms = [&](const std::vector<int16_t>& s) {
        EXPECT_EQ(s.size(), exact.size());
        double sum = 0;
        for (size_t i = 0; i < std::min(s.size(), exact.size()); ++i) sum += std::pow(s[i] - exact[i] * 32768, 2);
        return std::sqrt(sum / double(exact.size()));
    };
    auto convert = [&](const std::string& options, const std::string& name) {
        const auto r = t::cli::runQoro("convert --to wav " + options + " -o " + q(dir / name) + " " + q(deep));
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return sox16(dir / name / "deep.wav", dir / "s.raw");
    };
    const auto plain = convert("--bits 16 --dither none", "plain");
    const auto soxPlain = sox16(deep, dir / "p.raw");
    ASSERT_EQ(plain.size(), soxPlain.size());
    int worst = 0;
    for (size_t i = 0; i < plain.size(); ++i) worst = std::max(worst, std::abs(plain[i] - soxPlain[i]));
    EXPECT_LE(worst, 1);
    const double ours = errorRms(convert("--bits 16", "tpdf"));
    ASSERT_EQ(t::run("sox -R " + q(deep) + " -b 16 " + q(dir / "soxdither.wav")).exitCode, 0);
    const double theirs = errorRms(sox16(dir / "soxdither.wav", dir / "d.raw"));
    EXPECT_NEAR(ours, theirs, 0.1 * theirs);
    EXPECT_GT(ours, 1.5 * errorRms(plain));

    // 5.1: L R C LFE BL BR
    const fs::path surround = dir / "surround.wav";
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 6 -b 16 " + q(surround) +
                     " synth 0.5 sine 100 sine 200 sine 300 sine 400 sine 500 sine 600 gain -9")
                  .exitCode,
              0);
    const auto six = sox16(surround, dir / "six.raw");
    auto r = t::cli::runQoro("convert --to wav --dither none --channels 2 -o " + q(dir / "stereo2") + " " +
                             q(surround));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("clipped"), std::string::npos) << r.output;  // the fold-down cannot clip
    const auto folded = sox16(dir / "stereo2" / "surround.wav", dir / "f.raw");
    EXPECT_EQ(codecOf(dir / "stereo2" / "surround.wav"), "pcm_s16le,2\n");
    ASSERT_EQ(folded.size(), six.size() / 3);
    const double g = std::sqrt(0.5), sum = 1 + 2 * g;
    int off = 0;
    for (size_t f = 0; f < folded.size() / 2; ++f) {
        const int16_t* s = &six[6 * f];
        const double left = (s[0] + g * s[2] + g * s[4]) / sum, right = (s[1] + g * s[2] + g * s[5]) / sum;
        off = std::max({off, int(std::lround(std::abs(folded[2 * f] - left))),
                        int(std::lround(std::abs(folded[2 * f + 1] - right)))});
    }
    EXPECT_LE(off, 1);

    // Floats beyond full scale into 16 bits: clipped, and counted.
    const fs::path loud = dir / "loud.wav";
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 1 -e floating-point -b 32 " + q(loud) + " synth 0.1 sine 440 gain 3")
                  .exitCode,
              0);
    r = t::cli::runQoro("convert --to wav --bits 16 -o " + q(dir / "loud") + " " + q(loud));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find(" samples clipped"), std::string::npos) << r.output;
}

// A float source resampled into float WAV goes through the very high
// quality resampler end to end: a 10 kHz tone from 44.1 to 48 kHz leaves no
// spur within 120 dB of it. 5.1 into MP3 arrives as its BS.775 stereo
// fold-down: the centre's tone equally in both sides, each surround's on
// its own side only, the LFE's nowhere.
TEST(QoroDepth, FloatResamplingAndMp3FoldDownEndToEnd) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "mpg123");
    t::TempDir dir;
    const fs::path tone = dir / "tone.wav";
    ASSERT_EQ(t::run("sox -D -R -n -r 44100 -c 1 -e floating-point -b 32 " + q(tone) + " synth 2 sine 10000 gain -6")
                  .exitCode,
              0);
    auto r = t::cli::runQoro("convert --to wav --bits 32f --rate 48000 -o " + q(dir / "f") + " " + q(tone));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(t::run("sox -D " + q(dir / "f" / "tone.wav") + " -t f64 " + q(dir / "t.f64")).exitCode, 0);
    const auto bytes = t::readBytes(dir / "t.f64");
    std::vector<double> out(bytes.size() / 8);
    std::memcpy(out.data(), bytes.data(), out.size() * 8);
    ASSERT_EQ(out.size(), 96000u);
    EXPECT_LE(t::strongestSpurDb(t::powerSpectrum(out, 9600, 1 << 16, 24.0)), -120.0);

    // L R C LFE BL BR at 300, 500, 700, 110, 1300, 1700 Hz
    const fs::path six = dir / "six.flac";
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 6 -b 16 " + q(six) +
                     " synth 2 sine 300 sine 500 sine 700 sine 110 sine 1300 sine 1700 gain -12")
                  .exitCode,
              0);
    r = t::cli::runQoro("convert --to mp3 --bitrate 320 -o " + q(dir / "m") + " " + q(six));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("6 channels folded down to 2"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("; 1 folded down to fewer channels"), std::string::npos) << r.output;
    ASSERT_EQ(t::run("ffmpeg -v error -i " + q(dir / "m" / "six.mp3") + " -f f64le " + q(dir / "m.f64")).exitCode, 0);
    const auto mp3 = t::readBytes(dir / "m.f64");
    std::vector<double> side[2];
    for (size_t i = 0; i + 16 <= mp3.size(); i += 16)
        for (int c = 0; c < 2; ++c) {
            double v;
            std::memcpy(&v, mp3.data() + i + 8 * size_t(c), 8);
            side[c].push_back(v);
        }
    ASSERT_GE(side[0].size(), 65536u + 4800);
    const auto spectrum = [](const std::vector<double>& x) { return t::powerSpectrum(x, 4800, 1 << 16, 20.0); };
    const auto left = spectrum(side[0]), right = spectrum(side[1]);
    const auto level = [](const std::vector<double>& p, double hz) {
        const size_t k = size_t(std::lround(hz * (1 << 16) / 48000.0));
        double peak = 0;
        for (size_t i = k - 3; i <= k + 3; ++i) peak = std::max(peak, p[i]);
        return t::dB(peak);
    };
    // the front pair at full gain against the centre and surrounds at -3 dB
    EXPECT_NEAR(level(left, 300) - level(left, 700), 3.0, 0.5);
    EXPECT_NEAR(level(right, 500) - level(right, 700), 3.0, 0.5);
    EXPECT_NEAR(level(left, 700), level(right, 700), 0.5);
    EXPECT_NEAR(level(left, 300) - level(left, 1300), 3.0, 0.5);
    EXPECT_NEAR(level(right, 500) - level(right, 1700), 3.0, 0.5);
    // nothing crosses to the other side, and the LFE is dropped
    EXPECT_LT(level(right, 300), level(left, 300) - 60);
    EXPECT_LT(level(left, 1700), level(right, 1700) - 60);
    EXPECT_LT(level(left, 110), level(left, 300) - 60);

    // Back to float WAV: the decoder's floats, before any rounding to 16 bits,
    // as mpg123 decodes to floats.
    r = t::cli::runQoro("convert --to wav --bits 32f -o " + q(dir / "d") + " " + q(dir / "m" / "six.mp3"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(t::run("sox -D " + q(dir / "d" / "six.wav") + " -t f32 " + q(dir / "ours.f32")).exitCode, 0);
    ASSERT_EQ(t::run("mpg123 -q -e f32 -s " + q(dir / "m" / "six.mp3") + " > " + q(dir / "ref.f32")).exitCode, 0);
    const auto ours = t::readBytes(dir / "ours.f32"), ref = t::readBytes(dir / "ref.f32");
    ASSERT_EQ(ours.size(), ref.size());
    float worst = 0;
    size_t between = 0;
    for (size_t i = 0; i + 4 <= ours.size(); i += 4) {
        float a, b;
        std::memcpy(&a, ours.data() + i, 4);
        std::memcpy(&b, ref.data() + i, 4);
        worst = std::max(worst, std::fabs(a - b));
        between += std::fabs(a * 32768 - std::round(a * 32768)) > 0.01f;
    }
    EXPECT_LE(worst, 1e-4f);
    EXPECT_GT(between, ours.size() / 4 / 2);
}

namespace {

// The strongest frequency of each channel of a file, as ffmpeg decodes it
// (in WAV channel order).
std::vector<double> toneOfEachChannel(const fs::path& file, const fs::path& scratch, int channels, double rate) {
    EXPECT_EQ(t::run("ffmpeg -v error -y -i " + q(file) + " -f f64le " + q(scratch)).exitCode, 0);
    const auto bytes = t::readBytes(scratch);
    const size_t frames = bytes.size() / 8 / size_t(channels);
    constexpr size_t kBins = 1 << 14;
    std::vector<double> tones;
    for (int c = 0; c < channels; ++c) {
        std::vector<double> x(frames);
        for (size_t i = 0; i < frames; ++i) std::memcpy(&x[i], bytes.data() + 8 * (i * size_t(channels) + size_t(c)), 8);
        if (frames < kBins + 4096) return {};
        const auto p = t::powerSpectrum(x, 4096, kBins, 20.0);
        tones.push_back(double(std::max_element(p.begin(), p.end()) - p.begin()) * rate / kBins);
    }
    return tones;
}

}  // namespace

// 5.1 to Ogg Vorbis and back keeps every channel in its place: the stream
// carries the Vorbis order, the WAVs on both sides the WAV order.
TEST(QoroDepth, SurroundVorbisKeepsEachChannelInItsPlace) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    t::TempDir dir;
    const fs::path six = dir / "six.wav";
    const std::vector<double> tones = {300, 500, 700, 110, 1300, 1700};
    ASSERT_EQ(t::run("sox -D -R -n -r 48000 -c 6 -b 16 " + q(six) +
                     " synth 1 sine 300 sine 500 sine 700 sine 110 sine 1300 sine 1700 gain -12")
                  .exitCode,
              0);
    auto r = t::cli::runQoro("convert --to ogg -o " + q(dir / "o") + " " + q(six));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto near = [&](const std::vector<double>& got) {
        ASSERT_EQ(got.size(), tones.size());
        for (size_t c = 0; c < tones.size(); ++c) EXPECT_NEAR(got[c], tones[c], 6.0) << "channel " << c;
    };
    near(toneOfEachChannel(dir / "o" / "six.ogg", dir / "a.f64", 6, 48000));
    // back from a file another encoder made
    ASSERT_EQ(t::run("ffmpeg -v error -y -i " + q(six) + " -c:a libvorbis " + q(dir / "ff.ogg")).exitCode, 0);
    r = t::cli::runQoro("convert --to wav -o " + q(dir / "w") + " " + q(dir / "ff.ogg"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    near(toneOfEachChannel(dir / "w" / "ff.wav", dir / "b.f64", 6, 48000));
}
