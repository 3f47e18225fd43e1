// qoro run as a process: conversions in every direction the components
// support (checked with ffprobe), tag carry-over, refusals, the
// temporary-then-rename rule, info --json, tag editing against mutagen's
// view of richly tagged files, tag writes that fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "cli_support.h"
#include "kind_files.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

t::CommandResult qoro(const std::string& args) { return t::cli::runQoro(args); }

// ffprobe's view of a file: codec, rate, channels, duration, tags.
struct Probe {
    std::string codec;
    int rate = 0;
    int channels = 0;
    double duration = 0;
    std::map<std::string, std::string> tags;
};

Probe probe(const fs::path& file) {
    Probe p;
    auto r = t::run(
        "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:format=duration:"
        "format_tags:stream_tags -of default=noprint_wrappers=1 " +
        q(file));
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name")
            p.codec = value;
        else if (key == "sample_rate")
            p.rate = std::atoi(value.c_str());
        else if (key == "channels")
            p.channels = std::atoi(value.c_str());
        else if (key == "duration")
            p.duration = std::atof(value.c_str());
        else if (key.rfind("TAG:", 0) == 0) {
            std::string name = key.substr(4);
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            p.tags[name] = value;
        }
    }
    return p;
}

// The samples of any file ffmpeg reads, as 16-bit PCM.
std::vector<int16_t> decode(const fs::path& file, const fs::path& scratch) {
    t::run("ffmpeg -v error -y -i " + q(file) + " -f s16le -acodec pcm_s16le " + q(scratch));
    return t::readPcm16(scratch);
}

bool unsupported(const t::CommandResult& r) { return r.output.find("FORMATNOTSUPPORT") != std::string::npos; }

class QoroCli : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(t::binPath("qoro"))) << "qoro is not built";
        QORO_REQUIRE_TOOLS("ffprobe");
    }
    // A 16-bit WAV test signal of the given length.
    fs::path wav(const std::string& name, int rate = 44100, int channels = 2, double seconds = 2.0) {
        fs::path file = dir / name;
        fs::create_directories(file.parent_path());
        t::writeWav16(file, rate, channels, t::testSignal(rate, channels, static_cast<int>(rate * seconds)));
        return file;
    }
    bool haveInformation() const { return fs::exists(t::binPath("libQoroAudioInformation.so")); }
    t::TempDir dir;
};

// FLAC both ways: what qoro writes passes the flac tool's test and decodes
// to exactly the source's samples at every level; what the flac tool writes
// converts back exactly; a 24-bit source is narrowed as sox narrows it.
TEST_F(QoroCli, FlacIsWrittenAndReadExactly) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    const fs::path src = wav("in.wav", 44100, 2, 1.5), mono = wav("mono.wav", 22050, 1, 1.0);
    const auto original = decode(src, dir / "a.pcm");
    for (const char* level : {"0", "5", "8"}) {
        const fs::path out = dir / (std::string("l") + level);
        auto r =
            qoro(std::string("convert --to flac --level ") + level + " -o " + q(out) + " " + q(src) + " " + q(mono));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(t::run("flac -t -s " + q(out / "in.flac") + " " + q(out / "mono.flac")).exitCode, 0) << level;
        EXPECT_EQ(decode(out / "in.flac", dir / "b.pcm"), original) << level;
        EXPECT_EQ(decode(out / "mono.flac", dir / "b.pcm"), decode(mono, dir / "m.pcm")) << level;
        EXPECT_EQ(probe(out / "mono.flac").rate, 22050);
    }
    EXPECT_LT(fs::file_size(dir / "l8/in.flac"), fs::file_size(dir / "l0/in.flac"));

    // The flac tool's file back to WAV, and a 24-bit one within a step of sox.
    ASSERT_EQ(t::run("flac -s -f -o " + q(dir / "tool.flac") + " " + q(src)).exitCode, 0);
    ASSERT_EQ(t::run("sox -n -r 48000 -c 2 -b 24 " + q(dir / "deep.wav") + " synth 1 sine 997 vol 0.9").exitCode, 0);
    ASSERT_EQ(t::run("flac -s -f -o " + q(dir / "deep.flac") + " " + q(dir / "deep.wav")).exitCode, 0);
    auto r = qoro("convert --to wav -o " + q(dir / "back") + " " + q(dir / "tool.flac") + " " + q(dir / "deep.flac"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(decode(dir / "back/tool.wav", dir / "c.pcm"), original);
    ASSERT_EQ(t::run("sox -D " + q(dir / "deep.wav") + " -b 16 -t raw " + q(dir / "sox.pcm")).exitCode, 0);
    const auto ours = decode(dir / "back/deep.wav", dir / "d.pcm"), theirs = t::readPcm16(dir / "sox.pcm");
    ASSERT_EQ(ours.size(), theirs.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, 1);

    // A walk takes FLAC files too.
    fs::create_directories(dir / "tree/album");
    fs::copy_file(dir / "tool.flac", dir / "tree/album/01.FLAC");
    r = qoro("convert -R " + q(dir / "tree") + " -o " + q(dir / "tree.out") + " --to wav");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(decode(dir / "tree.out/album/01.wav", dir / "e.pcm"), original);

    for (const char* bad : {"--level 9", "--level x", "--bits 32", "--rate 500"}) {
        r = qoro(std::string("convert --to flac ") + bad + " -o " + q(dir / "bad") + " " + q(src));
        EXPECT_EQ(r.exitCode, 2) << bad << "\n" << r.output;
        EXPECT_FALSE(fs::exists(dir / "bad/in.flac")) << bad;
    }
}

// Opus is written at 48000 Hz from any source rate (a 44100 Hz second is
// 48000 samples), opusinfo and opusdec take it, and it converts back at its
// length; options Opus cannot take are refused before anything is written.
TEST_F(QoroCli, OpusIsWrittenAt48kHzAtTheSourcesLength) {
    QORO_REQUIRE_TOOLS("opusinfo", "opusdec", "sox");
    const fs::path src = wav("in.wav", 44100, 2, 1.5), mono = wav("mono.wav", 22050, 1, 1.0);
    auto r = qoro("convert --to opus --bitrate 96 --complexity 5 -o " + q(dir / "o") + " " + q(src) + " " + q(mono));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    for (const auto& [name, frames, channels] : {std::tuple{"in", 72000, 2}, std::tuple{"mono", 48000, 1}}) {
        SCOPED_TRACE(name);
        const fs::path opus = dir / "o" / (std::string(name) + ".opus");
        const auto info = t::run("opusinfo " + q(opus));
        EXPECT_EQ(info.exitCode, 0) << info.output;
        EXPECT_NE(info.output.find("Channels: " + std::to_string(channels)), std::string::npos) << info.output;
        ASSERT_EQ(t::run("opusdec --quiet --rate 48000 " + q(opus) + " " + q(dir / "dec.raw")).exitCode, 0);
        EXPECT_EQ(static_cast<int>(t::readPcm16(dir / "dec.raw").size()), frames * channels);
    }
    r = qoro("convert --to wav -o " + q(dir / "back") + " " + q(dir / "o/in.opus"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const Probe p = probe(dir / "back/in.wav");
    EXPECT_EQ(p.rate, 48000);
    EXPECT_EQ(p.channels, 2);
    EXPECT_NEAR(p.duration, 1.5, 0.0001);

    for (const char* bad : {"--complexity 11", "--complexity x", "--bitrate 600", "--rate 44100", "--bits 16"}) {
        r = qoro(std::string("convert --to opus ") + bad + " -o " + q(dir / "bad") + " " + q(src));
        EXPECT_EQ(r.exitCode, 2) << bad << "\n" << r.output;
        EXPECT_FALSE(fs::exists(dir / "bad/in.opus")) << bad;
    }
}

TEST_F(QoroCli, WavToWavInAnotherFormatMatchesFfprobe) {
    fs::path src = wav("in.wav", 44100, 2, 2.0);
    auto r = qoro("convert --to wav --rate 22050 --channels 1 --bits 8 -o " + q(dir / "out/") + " " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Probe p = probe(dir / "out/in.wav");
    EXPECT_EQ(p.codec, "pcm_u8");
    EXPECT_EQ(p.rate, 22050);
    EXPECT_EQ(p.channels, 1);
    EXPECT_NEAR(p.duration, 2.0, 0.01);
    EXPECT_EQ(fs::file_size(src), 44u + 44100u * 4 * 2) << "the source is untouched";

    // Defaults keep the source's format; -o FILE names the output.
    r = qoro("convert " + q(src) + " -o " + q(dir / "same.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    p = probe(dir / "same.wav");
    EXPECT_EQ(p.codec, "pcm_s16le");
    EXPECT_EQ(p.rate, 44100);
    EXPECT_EQ(p.channels, 2);
    auto original = decode(src, dir / "a.pcm");
    ASSERT_EQ(original.size(), 44100u * 2 * 2);
    EXPECT_EQ(decode(dir / "same.wav", dir / "b.pcm"), original) << "a plain copy is bit-exact";

    // A rate the PCM writer does not take is refused before anything is
    // written.
    r = qoro("convert " + q(src) + " --rate 500 -o " + q(dir / "odd.wav"));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("--rate 500: WAV takes 1000-384000 Hz"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "odd.wav"));
}

TEST_F(QoroCli, RawOutputHoldsExactlyTheSamples) {
    fs::path src = wav("tone.wav", 16000, 1, 1.5);
    auto r = qoro("convert --to raw -o " + q(dir / "raw") + " " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    fs::path out = dir / "raw/tone.raw";
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 16000u * 3 / 2 * 2);  // 1.5 s, mono, 16 bits, no header
    auto a = t::testSignal(16000, 1, 24000);
    auto b = t::readPcm16(out);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(t::compare(a, b).maxAbs, 0);
}

// Every encoder direction: source WAV -> TYPE -> WAV, checked on both legs;
// sox reads the samples of the source from a lossless type.
struct Direction;
void PrintTo(const Direction& d, std::ostream* os);
struct Direction {
    const char* type;
    const char* codec;  // ffprobe's codec name; empty for headerless files
    int rate;
    int channels;
    double tolerance;  // seconds, for encoder delay and padding
    bool lossless = false;
};

void PrintTo(const Direction& d, std::ostream* os) { *os << d.type; }

class QoroCliDirections : public QoroCli, public testing::WithParamInterface<Direction> {};

TEST_P(QoroCliDirections, ConvertsThereAndBack) {
    const Direction& d = GetParam();
    fs::path src = wav("src.wav", 44100, 2, 3.0);
    fs::path out = dir / (std::string("src.") + d.type);
    auto r = qoro(std::string("convert --to ") + d.type + " -o " + q(dir.path()) + " " + q(src));
    ASSERT_FALSE(unsupported(r)) << d.type << " output: " << r.output;
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_TRUE(fs::exists(out));
    if (*d.codec) {
        Probe p = probe(out);
        EXPECT_EQ(p.codec, d.codec);
        EXPECT_EQ(p.rate, d.rate);
        EXPECT_EQ(p.channels, d.channels);
        EXPECT_NEAR(p.duration, 3.0, d.tolerance);
    }
    if (d.lossless) {
        QORO_REQUIRE_TOOLS("sox");
        ASSERT_EQ(t::run("sox " + q(out) + " -t raw -e signed -b 16 -L " + q(dir / "sox.pcm")).exitCode, 0);
        const auto theirs = t::readPcm16(dir / "sox.pcm");
        const auto source = t::testSignal(44100, 2, 3 * 44100);
        ASSERT_EQ(theirs.size(), source.size());
        EXPECT_EQ(t::compare(source, theirs).maxAbs, 0);
    }
    fs::path back = dir / "back" / "src.wav";
    r = qoro("convert --to wav --rate 44100 -o " + q(back.parent_path()) + "/ " + q(out));
    ASSERT_FALSE(unsupported(r)) << d.type << " input: " << r.output;
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Probe p = probe(back);
    EXPECT_EQ(p.codec, "pcm_s16le");
    EXPECT_EQ(p.rate, 44100);
    EXPECT_NEAR(p.duration, 3.0, d.tolerance);
}

INSTANTIATE_TEST_SUITE_P(Types, QoroCliDirections,
                         testing::Values(Direction{"aiff", "pcm_s16be", 44100, 2, 0.0001, true},
                                         Direction{"mp3", "mp3", 44100, 2, 0.08},
                                         Direction{"mp2", "mp2", 44100, 2, 0.08},
                                         Direction{"ogg", "vorbis", 44100, 2, 0.02},
                                         Direction{"vox", "", 8000, 1, 0.01}, Direction{"g721", "", 8000, 1, 0.01},
                                         Direction{"g723", "", 8000, 1, 0.01}, Direction{"g726", "", 8000, 1, 0.01}),
                         [](const testing::TestParamInfo<Direction>& info) { return std::string(info.param.type); });

// The bash completion offers the --to names the components' tables give,
// through the hidden "qoro formats": AIFF among them, and every name offered
// is one --to takes.
TEST_F(QoroCli, CompletionOffersTheTypesTheComponentsWrite) {
    QORO_REQUIRE_TOOLS("bash");
    const fs::path script = dir / "complete.sh";
    const std::string text = "source " + q(fs::path(QORO_SOURCE_DIR) / "packaging/qoro.bash-completion") +
                             "\nCOMP_WORDS=(" + q(t::binPath("qoro")) +
                             " convert --to '')\nCOMP_CWORD=3\n_qoro\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    t::writeBytes(script, std::vector<uint8_t>(text.begin(), text.end()));
    const auto offered = t::run("bash " + q(script));
    ASSERT_EQ(offered.exitCode, 0) << offered.output;
    EXPECT_EQ(offered.output, qoro("formats --targets").output);
    std::istringstream names(offered.output);
    std::vector<std::string> targets;
    for (std::string name; std::getline(names, name);) targets.push_back(name);
    EXPECT_NE(std::find(targets.begin(), targets.end(), "aiff"), targets.end()) << offered.output;
    const fs::path src = wav("in.wav", 8000, 1, 0.1);
    for (const auto& name : targets) {
        const auto r = qoro("convert --dry-run --to " + name + " -o " + q(dir / "out") + "/ " + q(src));
        EXPECT_EQ(r.exitCode, 0) << name << ": " << r.output;
    }
}

TEST_F(QoroCli, ReadsFilesOfTheReferenceEncoders) {
    fs::path src = wav("ref.wav", 44100, 2, 3.0);
    struct Case {
        std::string name, tool;
    };
    QORO_REQUIRE_TOOLS("lame", "oggenc");
    const std::vector<Case> cases{{"ref.mp3", "lame --quiet -b 128 " + q(src) + " " + q(dir / "ref.mp3")},
                                  {"ref.ogg", "oggenc -Q -q 4 -o " + q(dir / "ref.ogg") + " " + q(src)}};
    for (const auto& c : cases) {
        ASSERT_EQ(t::run(c.tool).exitCode, 0) << c.tool;
        const fs::path decoded = dir / ("dec-" + fs::path(c.name).extension().string().substr(1));
        auto r = qoro("convert --to wav -o " + q(decoded.string() + "/") + " " + q(dir / c.name));
        ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.output;
        fs::path out = decoded / (fs::path(c.name).stem().string() + ".wav");
        Probe p = probe(out);
        EXPECT_EQ(p.codec, "pcm_s16le") << c.name;
        EXPECT_EQ(p.rate, 44100) << c.name;
        EXPECT_EQ(p.channels, 2) << c.name;
        EXPECT_NEAR(p.duration, probe(dir / c.name).duration, 0.06) << c.name;
        // The decoded samples agree with ffmpeg's decoding of the same file,
        // at the alignment where they agree best: our decoder may keep the
        // encoder delay and padding that ffmpeg trims, and more.
        auto ours = decode(out, dir / "ours.pcm");
        auto theirs = decode(dir / c.name, dir / "theirs.pcm");
        ASSERT_GT(theirs.size(), 44100u * 2 * 2);
        const std::vector<int16_t> window(theirs.begin() + 44100 * 2, theirs.begin() + 44100 * 3);  // 0.5 s at 1 s
        double best = -100;
        long bestOffset = 0;
        for (long offset = -2 * 1152; offset <= 2 * 3 * 1152; offset += 2) {
            double snr = t::snrDb(window, ours, 44100 * 2 + offset);
            if (snr > best) best = snr, bestOffset = offset;
        }
        EXPECT_GT(t::snrDb(theirs, ours, bestOffset), 60.0) << c.name << " at offset " << bestOffset / 2 << " frames";
    }
}

// What "qoro info --json" says about one file, through python3's parser.
struct InfoFacts {
    std::string typeName, afError, afFormat;
    long frequency = 0, channels = 0, duration = 0, afFrequency = 0, afChannels = 0, afSamples = 0, afDuration = 0;
};

InfoFacts infoFacts(const fs::path& file) {
    auto r = t::run(t::shellQuote(t::binPath("qoro").string()) + " info --json " + q(file) +
                    " | python3 -c 'import json,sys; x=json.load(sys.stdin)[0]; a=x[\"audioFile\"]; "
                    "print(x[\"typeName\"] or \"-\"); print(a[\"error\"]); print(a.get(\"formatString\") or \"-\"); "
                    "print(x[\"frequency\"], x[\"channels\"], x[\"duration\"], a.get(\"frequency\", 0), "
                    "a.get(\"channels\", 0), a.get(\"nSamples\", 0), a.get(\"duration\", 0))'");
    InfoFacts f;
    std::istringstream in(r.output);
    std::getline(in, f.typeName);
    std::getline(in, f.afError);
    std::getline(in, f.afFormat);
    in >> f.frequency >> f.channels >> f.duration >> f.afFrequency >> f.afChannels >> f.afSamples >> f.afDuration;
    return f;
}

// MP3, Ogg Vorbis, VOX and AVI sources: info reports their facts, and
// convert turns them into WAV files of the right format and length.
TEST_F(QoroCli, InfoAndConvertHandleCompressedAndContainerInputs) {
    QORO_REQUIRE_TOOLS("python3");
    fs::path src = wav("src.wav", 44100, 2, 3.0);
    struct Case {
        std::string name;
        std::string make;  // shell command, empty when qoro makes it
        long rate, channels;
        double tolerance;  // seconds of encoder delay and padding allowed
    };
    std::vector<Case> cases;
    if (t::requireTool("lame"))
        cases.push_back({"in.mp3", "lame --quiet -b 160 " + q(src) + " " + q(dir / "in.mp3"), 44100, 2, 0.06});
    if (t::requireTool("oggenc"))
        cases.push_back({"in.ogg", "oggenc -Q -q 3 -o " + q(dir / "in.ogg") + " " + q(src), 44100, 2, 0.01});
    if (t::requireTool("ffmpeg"))
        cases.push_back(
            {"in.avi", "ffmpeg -v error -y -i " + q(src) + " -c:a pcm_s16le " + q(dir / "in.avi"), 44100, 2, 0.001});
    cases.push_back({"in.vox", "", 8000, 1, 0.001});
    ASSERT_EQ(qoro("convert --to vox -o " + q(dir / "in.vox") + " " + q(src)).exitCode, 0);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.make.empty()) {
            ASSERT_EQ(t::run(c.make).exitCode, 0) << c.make;
        }
        InfoFacts f = infoFacts(dir / c.name);
        EXPECT_EQ(f.afError, "NOERRORS");
        EXPECT_NE(f.afFormat, "-");
        EXPECT_EQ(f.afFrequency, c.rate);
        EXPECT_EQ(f.afChannels, c.channels);
        EXPECT_NEAR(f.afDuration, 3000, c.tolerance * 1000 + 1);
        EXPECT_NEAR(f.afSamples, 3.0 * c.rate, c.tolerance * c.rate + 1);
        if (haveInformation() && c.name != "in.vox") {  // VOX has no header to inform about
            EXPECT_EQ(f.frequency, c.rate);
            EXPECT_EQ(f.channels, c.channels);
            EXPECT_NEAR(f.duration, 3000, c.tolerance * 1000 + 1);
        }

        fs::path out =
            dir / "wav" /
            (fs::path(c.name).stem().string() + "-" + fs::path(c.name).extension().string().substr(1) + ".wav");
        auto r = qoro("convert " + q(dir / c.name) + " -o " + q(out));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        Probe p = probe(out);
        EXPECT_EQ(p.codec, "pcm_s16le");
        EXPECT_EQ(p.rate, c.rate);
        EXPECT_EQ(p.channels, c.channels);
        EXPECT_NEAR(p.duration, 3.0, c.tolerance);
        if (c.name == "in.avi") {  // PCM in AVI comes out sample for sample
            auto a = t::testSignal(44100, 2, 3 * 44100);
            auto b = decode(out, dir / "avi.pcm");
            ASSERT_EQ(a.size(), b.size());
            EXPECT_EQ(t::compare(a, b).maxAbs, 0);
        }
    }
}

// Ogg Vorbis is written at 44100 or 48000 Hz in mono or stereo: asked for,
// or the source's when it is one of them, else its family's (96 kHz gives
// 48 kHz); a rate it does not take is refused before anything is written.
TEST_F(QoroCli, OggKeepsTheRateAndChannelsItTakes) {
    const fs::path mono = wav("mono.wav", 48000, 1, 1.0), high = wav("high.wav", 96000, 2, 1.0);
    auto r = qoro("convert --to ogg -o " + q(dir / "ogg") + " " + q(mono) + " " + q(high));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    for (const auto& [name, rate, channels] : {std::tuple{"mono.ogg", 48000, 1}, {"high.ogg", 48000, 2}}) {
        const Probe p = probe(dir / "ogg" / name);
        EXPECT_EQ(p.codec, "vorbis");
        EXPECT_EQ(p.rate, rate) << name;
        EXPECT_EQ(p.channels, channels) << name;
        EXPECT_NEAR(p.duration, 1.0, 0.05) << name;
    }
    r = qoro("convert --to ogg --rate 44100 --channels 2 -o " + q(dir / "c.ogg") + " " + q(mono));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(dir / "c.ogg").rate, 44100);
    EXPECT_EQ(probe(dir / "c.ogg").channels, 2);
    r = qoro("convert --to ogg --rate 22050 -o " + q(dir / "d.ogg") + " " + q(mono));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("--rate 22050: Ogg Vorbis takes 44100 or 48000 Hz"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "d.ogg"));
}

TEST_F(QoroCli, CarriesTagsFromSourceToTarget) {
    ASSERT_TRUE(haveInformation()) << "libQoroAudioInformation.so is not built";
    fs::path src = wav("tagged.wav");
    auto r = qoro("tag " + q(src) + " --title 'Blue Hour' --artist 'The Testers' --album 'Dusk' --year 2004");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    int carried = 0;
    for (std::string type : {"wav", "mp3", "ogg"}) {
        // Ogg Vorbis takes 44100 or 48000 Hz, the source's rate here.
        r = qoro("convert --to " + type + (type == "ogg" ? "" : " --rate 22050") + " -o " + q(dir / "out/") + " " +
                 q(src));
        if (unsupported(r)) continue;
        ASSERT_EQ(r.exitCode, 0) << type << ": " << r.output;
        fs::path out = dir / "out" / ("tagged." + type);
        Probe p = probe(out);
        EXPECT_EQ(p.rate, type == "ogg" ? 44100 : 22050) << type;
        EXPECT_EQ(p.tags["artist"], "The Testers") << type;
        if (type == "wav") {  // RIFF INFO keeps the title in "DISP", which ffprobe does not read
            r = qoro("info " + q(out));
            EXPECT_NE(r.output.find("title:         Blue Hour"), std::string::npos) << r.output;
        } else {
            EXPECT_EQ(p.tags["title"], "Blue Hour") << type;
            EXPECT_EQ(p.tags["album"], "Dusk") << type;
        }
        ++carried;
    }
    EXPECT_GE(carried, 1);
    // --no-tags leaves them behind.
    r = qoro("convert --to wav --no-tags -o " + q(dir / "bare/") + " " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(dir / "bare/tagged.wav").tags.count("artist"), 0u);
}

TEST_F(QoroCli, RefusesCollisionsBeforeWritingAnything) {
    fs::path a = wav("a/song.wav"), b = wav("b/song.wav"), c = wav("c/other.wav");
    auto r = qoro("convert --to wav -o " + q(dir / "out") + " " + q(a) + " " + q(c) + " " + q(b));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("song.wav"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out")) << "nothing may be written, not even other.wav or the folder";

    // An output onto its own source.
    auto before = t::readBytes(a);
    r = qoro("convert --to wav " + q(a));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(t::readBytes(a), before);
    r = qoro("convert " + q(a) + " -o " + q(dir / "a" / "." / "song.wav") + " --overwrite");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(t::readBytes(a), before);
}

TEST_F(QoroCli, ExistingTargetsNeedOverwriteOrSkip) {
    fs::path src = wav("in.wav");
    fs::create_directories(dir / "out");
    t::writeBytes(dir / "out/in.wav", {'k', 'e', 'e', 'p'});
    auto r = qoro("convert --to wav -o " + q(dir / "out") + " " + q(src));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(fs::file_size(dir / "out/in.wav"), 4u);

    r = qoro("convert --to wav --skip-existing -o " + q(dir / "out") + " " + q(src));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("skipped"), std::string::npos);
    EXPECT_EQ(fs::file_size(dir / "out/in.wav"), 4u);

    r = qoro("convert --to wav --overwrite -o " + q(dir / "out") + " " + q(src));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NEAR(probe(dir / "out/in.wav").duration, 2.0, 0.001);

    EXPECT_EQ(qoro("convert --to wav --overwrite --skip-existing -o " + q(dir / "out") + " " + q(src)).exitCode, 2);
    EXPECT_EQ(qoro("convert --to wv -o " + q(dir / "out") + " " + q(src)).exitCode, 2);  // known, not written
}

TEST_F(QoroCli, BadFileIsReportedAndTheBatchGoesOn) {
    fs::path good1 = wav("one.wav"), good2 = wav("two.wav");
    fs::path bad = dir / "broken.wav";
    t::writeBytes(bad, std::vector<uint8_t>(3000, 0x5a));
    auto r =
        qoro("convert --to wav -j 1 --rate 8000 -o " + q(dir / "out") + " " + q(good1) + " " + q(bad) + " " + q(good2));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("FAILED  " + bad.string() + ": cannot open the source: "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("FORMATFILE"), std::string::npos) << "words, not codes: " << r.output;
    EXPECT_EQ(probe(dir / "out/one.wav").rate, 8000);
    EXPECT_EQ(probe(dir / "out/two.wav").rate, 8000);
    EXPECT_FALSE(fs::exists(dir / "out/broken.wav"));
    for (const auto& e : fs::directory_iterator(dir / "out"))
        EXPECT_NE(e.path().filename().string()[0], '.') << "leftover temporary " << e.path();
}

TEST_F(QoroCli, ParallelBatchConvertsEveryFile) {
    std::string inputs;
    for (int i = 0; i < 5; ++i) inputs += " " + q(wav("f" + std::to_string(i) + ".wav", 22050, 1, 1.0 + i * 0.25));
    auto r = qoro("convert --to wav --rate 11025 -j 3 -o " + q(dir / "out") + inputs);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("5 converted, 0 skipped, 0 failed"), std::string::npos) << r.output;
    for (int i = 0; i < 5; ++i) {
        Probe p = probe(dir / "out" / ("f" + std::to_string(i) + ".wav"));
        EXPECT_EQ(p.rate, 11025);
        EXPECT_NEAR(p.duration, 1.0 + i * 0.25, 0.002) << i;
    }
}

// Starts a long conversion, waits for its temporary file, then sends 'sig'.
// Returns the process's wait status.
int interruptHalfway(const fs::path& qoroBin, const std::vector<std::string>& args, const fs::path& outDir, int sig,
                     bool* caught) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(qoroBin.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(qoroBin.c_str(), argv.data());
        _exit(127);
    }
    *caught = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!*caught && std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(outDir, ec))
            if (e.path().filename().string().find(".qoro-") != std::string::npos && e.file_size(ec) > 100000)
                *caught = true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        if (!*caught) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(QoroCli, InterruptedConversionLeavesNoTarget) {
    // Long enough to be caught half-way: a minute resampled to 48 kHz.
    fs::path src = wav("long.wav", 44100, 2, 60.0);
    fs::create_directories(dir / "out");
    std::vector<std::string> args{"convert",   "--to", "wav", "--rate", "48000", "-o", (dir / "out").string(),
                                  src.string()};
    bool caught = false;
    int status = interruptHalfway(t::binPath("qoro"), args, dir / "out", SIGINT, &caught);
    if (!caught) GTEST_SKIP() << "the conversion finished before it could be interrupted";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_TRUE(fs::is_empty(dir / "out")) << "neither target nor temporary may remain";

    // Killed outright: the temporary stays behind, the target never appears;
    // the same command run again removes it and converts.
    status = interruptHalfway(t::binPath("qoro"), args, dir / "out", SIGKILL, &caught);
    if (!caught) GTEST_SKIP() << "the conversion finished before it could be killed";
    EXPECT_FALSE(fs::exists(dir / "out/long.wav"));
    EXPECT_FALSE(fs::is_empty(dir / "out")) << "the killed run's temporary";
    std::string again;
    for (const auto& a : args) again += " " + t::shellQuote(a);
    auto r = t::run(t::shellQuote(t::binPath("qoro").string()) + again);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(dir / "out")) left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"long.wav"});
}

// Files of every kind the signature probe knows, under their usual names
// and under names of kinds they are not: one the components read converts
// to a WAV of its length; any other is refused with its kind named, exit
// status 1 and no output, and qoro info fails on it. A text file is refused
// for its extension; headerless samples convert when --from describes them.
TEST_F(QoroCli, FilesOfOtherKindsAreRefusedWithTheirKindNamed) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    struct Case {
        fs::path file;
        std::string kind;  // words the refusal holds
    };
    std::vector<Case> cases;
    const auto made = t::makeKindFiles(dir / "kinds");
    // A .wma is refused for its name's type before its content is read; an
    // AIFF-C file of a compression not read, for its compression.
    for (const auto& k : made)
        cases.push_back({k.path, k.kind == qoro::probe::Kind::Asf    ? "WMA files"
                                 : k.kind == qoro::probe::Kind::Aiff ? "AIFF-C compression"
                                                                     : std::string(qoro::probe::info(k.kind)->name)});
    const auto jpeg =
        std::find_if(made.begin(), made.end(), [](const auto& k) { return k.kind == qoro::probe::Kind::Jpeg; });
    ASSERT_NE(jpeg, made.end());
    fs::create_directories(dir / "named");
    for (const char* name : {"picture.mp3", "picture.wav", "picture.raw"})
        cases.push_back({t::copyAs(jpeg->path, dir / "named", name), "a JPEG image"});
    t::writeBytes(dir / "named/notes.txt", {'h', 'e', 'l', 'l', 'o', '\n'});
    cases.push_back({dir / "named/notes.txt", ".txt"});

    for (size_t i = 0; i < cases.size(); ++i) {
        const fs::path& file = cases[i].file;
        const fs::path out = dir / "out" / std::to_string(i);
        auto r = qoro("convert --to wav -o " + q(out) + " " + q(file));
        if (r.exitCode == 0) {  // a kind the components read
            const double seconds = probe(file).duration;
            EXPECT_GT(seconds, 0) << file;
            EXPECT_NEAR(probe(out / (file.stem().string() + ".wav")).duration, seconds, 0.1) << file << r.output;
            continue;
        }
        EXPECT_EQ(r.exitCode, 1) << file << ": " << r.output;
        EXPECT_NE(r.output.find("FAILED  " + file.string() + ": "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(cases[i].kind), std::string::npos) << file << ": " << r.output;
        EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out)) << file;
        r = qoro("info " + q(file));
        EXPECT_EQ(r.exitCode, 1) << file << ": " << r.output;
    }

    // Headerless samples, described.
    const auto samples = t::testSignal(44100, 2, 22050);
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    t::writeBytes(dir / "capture.raw", bytes);
    t::writeBytes(dir / "capture.bin", bytes);
    for (const char* name : {"capture.raw", "capture.bin"}) {
        const fs::path out = dir / "described" / (std::string(name) + ".wav");
        auto r = qoro("convert --from raw:44100:2:16 -o " + q(out) + " " + q(dir / name));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(decode(out, dir / "back.pcm"), samples) << name;
    }
}

// Nothing but the target is touched: a user's "song.flac~" beside a file
// whose tags are rewritten, and a target whose name is 250 bytes long (as
// ffmpeg writes them), which a temporary named after it could not have.
TEST_F(QoroCli, OnlyTheTargetIsTouched) {
    const fs::path src = wav("in.wav", 22050, 1, 0.5);
    auto r = qoro("convert --to flac -o " + q(dir / "song.flac") + " " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::vector<uint8_t> backup = {'m', 'i', 'n', 'e', '\n'};
    t::writeBytes(dir / "song.flac~", backup);
    r = qoro("tag " + q(dir / "song.flac") + " --title Renamed");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(t::readBytes(dir / "song.flac~"), backup);
    EXPECT_EQ(probe(dir / "song.flac").tags["title"], "Renamed");

    const std::string longName = std::string(246, 'x') + ".wav";  // 250 bytes
    r = qoro("convert -o " + q(dir / "long" / longName) + " " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NEAR(probe(dir / "long" / longName).duration, 0.5, 0.001);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "long"), fs::directory_iterator()), 1);
}

TEST_F(QoroCli, InfoJsonParsesAndAgreesWithFfprobe) {
    QORO_REQUIRE_TOOLS("python3");
    fs::path a = wav("facts.wav", 22050, 1, 2.5);
    fs::path quote = wav("odd \"name\".wav", 8000, 2, 1.0);
    auto r =
        t::run(t::shellQuote(t::binPath("qoro").string()) + " info --json " + q(a) + " " + q(quote) +
               " | python3 -c 'import json,sys; d=json.load(sys.stdin); "
               "[print(x[\"file\"], x[\"frequency\"], x[\"channels\"], x[\"duration\"], "
               "x[\"audioFile\"][\"error\"], x[\"audioFile\"].get(\"nSamples\"), x[\"audioFile\"].get(\"duration\")) "
               "for x in d]'");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::istringstream lines(r.output);
    std::string line1, line2;
    std::getline(lines, line1);
    std::getline(lines, line2);
    if (haveInformation()) {
        EXPECT_EQ(line1, a.string() + " 22050 1 2500 NOERRORS 55125 2500");
        EXPECT_EQ(line2, quote.string() + " 8000 2 1000 NOERRORS 8000 1000");
    } else {
        EXPECT_NE(line1.find("NOERRORS 55125 2500"), std::string::npos) << line1;
    }
    EXPECT_NEAR(probe(a).duration, 2.5, 0.001);
}

TEST_F(QoroCli, TagCommandWritesWhatFfprobeReads) {
    ASSERT_TRUE(haveInformation()) << "libQoroAudioInformation.so is not built";
    fs::path w = wav("song.wav");
    auto r = qoro("tag " + q(w) + " --title 'Night Train' --artist Ann --year 1999 --genre jazz --track 4");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Probe p = probe(w);
    EXPECT_EQ(p.tags["artist"], "Ann");
    EXPECT_EQ(p.tags["genre"], "Jazz");
    EXPECT_EQ(p.tags["date"], "1999");
    EXPECT_NEAR(p.duration, 2.0, 0.001) << "the audio is untouched";
    r = qoro("info " + q(w));
    EXPECT_NE(r.output.find("Jazz (8)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Night Train"), std::string::npos) << r.output;
    // A genre outside the table is written as it is given; a number is the table's.
    r = qoro("tag " + q(w) + " --genre Klezmer");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(w).tags["genre"], "Klezmer");
    EXPECT_NE(qoro("info " + q(w)).output.find("  genre:         Klezmer\n"), std::string::npos);
    EXPECT_EQ(qoro("tag " + q(w) + " --genre 148").exitCode, 2);
    r = qoro("tag " + q(dir / "missing.wav") + " --title x");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "qoro tag: " + (dir / "missing.wav").string() + ": No such file or directory\n");

    struct Case {
        std::string name, make, options;
    };
    std::vector<Case> cases;
    if (t::requireTool("lame")) cases.push_back({"song.mp3", "lame --quiet", " --id3v2"});
    if (t::requireTool("oggenc")) cases.push_back({"song.ogg", "oggenc -Q -o OUT", ""});
    for (auto& c : cases) {
        fs::path f = dir / c.name;
        auto out = c.make.find("OUT");
        std::string make =
            out == std::string::npos ? c.make + " " + q(w) + " " + q(f) : c.make.replace(out, 3, q(f)) + " " + q(w);
        ASSERT_EQ(t::run(make).exitCode, 0) << make;
        r = qoro("tag " + q(f) + c.options + " --title 'Über Blue' --album Nights");
        ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.output;
        p = probe(f);
        EXPECT_EQ(p.tags["title"], "Über Blue") << c.name;
        EXPECT_EQ(p.tags["album"], "Nights") << c.name;
    }
}

// Runs tests/qoro_cli/rich_tags.py (mutagen) with Debian's python3.
t::CommandResult richTags(const std::string& args) {
    return t::run("/usr/bin/python3 " + q(fs::path(QORO_SOURCE_DIR) / "tests/qoro_cli/rich_tags.py") + " " + args);
}

// Lines of mutagen's view of a file's tags.
std::vector<std::string> tagLines(const fs::path& file) {
    const auto r = richTags("dump " + q(file));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines without those that begin with 'prefix'.
std::vector<std::string> without(std::vector<std::string> lines, const std::string& prefix) {
    std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    return lines;
}

// The lines only one side has ("-" before, "+" after), each cut to 160
// characters; empty when the sides agree.
std::string difference(const std::vector<std::string>& after, const std::vector<std::string>& before) {
    std::string out;
    auto cut = [](const std::string& l) { return l.size() > 160 ? l.substr(0, 160) + "..." : l; };
    for (const auto& l : before)
        if (std::find(after.begin(), after.end(), l) == after.end()) out += "- " + cut(l) + "\n";
    for (const auto& l : after)
        if (std::find(before.begin(), before.end(), l) == before.end()) out += "+ " + cut(l) + "\n";
    return out;
}

// Where the audio of an MP3 starts: after its ID3v2 tag, if any.
size_t audioStart(const std::vector<uint8_t>& b) {
    if (b.size() < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
    return 10 + ((size_t(b[6]) << 21) | (size_t(b[7]) << 14) | (size_t(b[8]) << 7) | b[9]) + ((b[5] & 0x10) ? 10 : 0);
}

// One title change through qoro tag on files tagged by other programs keeps
// everything else as mutagen reads it, and the audio as it was.
TEST_F(QoroCli, TitleChangeKeepsEveryOtherTag) {
    ASSERT_TRUE(haveInformation()) << "libQoroAudioInformation.so is not built";
    QORO_REQUIRE_TOOLS("lame", "oggenc", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    fs::path w = wav("src.wav", 44100, 2, 1.0);
    struct Case {
        const char* kind;
        const char* file;
        const char* titleKey;  // the dump lines of the title; a WAV's title goes to its INFO
                               // list, and its "id3 " chunk stays as it was
    } cases[] = {{"id3v23", "v23.mp3", "TIT2 "},
                 {"id3v24", "v24.mp3", "TIT2 "},
                 {"id3v22", "v22.mp3", "TIT2 "},
                 {"wav", "tagged.wav", ""},
                 {"ogg", "tagged.ogg", "TITLE="}};
    for (const auto& c : cases) {
        const fs::path file = dir / c.file;
        const std::string ext = file.extension().string();
        if (ext == ".mp3")
            ASSERT_EQ(t::run("lame --quiet -b 128 " + q(w) + " " + q(file)).exitCode, 0);
        else if (ext == ".ogg")
            ASSERT_EQ(t::run("oggenc -Q -o " + q(file) + " " + q(w)).exitCode, 0);
        else
            fs::copy_file(w, file);
        auto made = richTags(std::string("make ") + c.kind + " " + q(file));
        ASSERT_EQ(made.exitCode, 0) << made.output;
        const auto before = t::readBytes(file);
        const auto tagsBefore = tagLines(file);
        const auto pcmBefore = decode(file, dir / "before.pcm");

        const auto r = qoro("tag " + q(file) + " --title 'New Title'");
        ASSERT_EQ(r.exitCode, 0) << c.kind << ": " << r.output;
        const auto after = t::readBytes(file);
        const auto tagsAfter = tagLines(file);
        EXPECT_EQ(difference(without(tagsAfter, c.titleKey), without(tagsBefore, c.titleKey)), "") << c.kind;
        if (*c.titleKey) {
            const auto titles = tagsAfter.size() - without(tagsAfter, c.titleKey).size();
            EXPECT_EQ(titles, 1u) << c.kind;
            bool found = false;
            for (const auto& l : tagsAfter)
                found = found || (l.rfind(c.titleKey, 0) == 0 && l.find("New Title") != std::string::npos);
            EXPECT_TRUE(found) << c.kind;
        }
        const auto info = qoro("info " + q(file));
        EXPECT_NE(info.output.find("New Title"), std::string::npos) << c.kind << ": " << info.output;
        EXPECT_NE(info.output.find("First Artist"), std::string::npos) << c.kind << ": " << info.output;
        EXPECT_EQ(decode(file, dir / "after.pcm"), pcmBefore) << c.kind << ": the audio changed";
        if (ext == ".mp3") {
            // Exactly one ID3v2.3 tag at the start, the frames after it as they were.
            ASSERT_GT(after.size(), 10u);
            EXPECT_EQ(after[3], 3) << c.kind;
            const size_t a = audioStart(after), b = audioStart(before);
            EXPECT_TRUE(std::equal(after.begin() + a, after.end(), before.begin() + b, before.end())) << c.kind;
            EXPECT_NE(std::string(after.begin() + a, after.begin() + a + 3), "ID3") << c.kind << ": a second tag";
        }
        if (ext == ".wav") {
            ASSERT_GE(after.size(), 12u);
            const uint32_t riff = after[4] | (after[5] << 8) | (after[6] << 16) | (uint32_t(after[7]) << 24);
            EXPECT_EQ(riff, after.size() - 8) << "RIFF size";
        }
    }
}

// What qoro info shows of tags other taggers wrote: ffmpeg's ID3v2.4 and an
// ID3v2.2 tag.
TEST_F(QoroCli, InfoShowsId3v24AndId3v22Titles) {
    ASSERT_TRUE(haveInformation()) << "libQoroAudioInformation.so is not built";
    QORO_REQUIRE_TOOLS("lame", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    fs::path w = wav("src.wav", 44100, 2, 1.0);
    ASSERT_EQ(t::run("ffmpeg -v error -y -i " + q(w) +
                     " -c:a libmp3lame -b:a 128k -metadata title='Made By Ffmpeg' "
                     "-metadata artist='Ffmpeg Artist' " +
                     q(dir / "ff.mp3"))
                  .exitCode,
              0);
    auto r = qoro("info " + q(dir / "ff.mp3"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Made By Ffmpeg"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Ffmpeg Artist"), std::string::npos) << r.output;

    ASSERT_EQ(t::run("lame --quiet -b 128 " + q(w) + " " + q(dir / "v22.mp3")).exitCode, 0);
    auto made = richTags("make id3v22 " + q(dir / "v22.mp3"));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    r = qoro("info " + q(dir / "v22.mp3"));
    EXPECT_NE(r.output.find("Old Title"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("First Artist"), std::string::npos) << r.output;
}

// A tag write that cannot complete says why, fails, and leaves the file as it
// was: the disk filling up at the first byte or part-way, fsync failing, the
// final rename refused. Every tag kind: ID3v2 and Ogg (rebuilt), ID3v1 (in
// place, appended), WAV.
TEST_F(QoroCli, TagWriteFailuresLeaveTheFileAsItWas) {
    ASSERT_TRUE(haveInformation()) << "libQoroAudioInformation.so is not built";
    QORO_REQUIRE_TOOLS("lame", "oggenc");
    const fs::path shim = t::binPath("libqoro_fail_io.so");
    ASSERT_TRUE(fs::exists(shim));
    fs::path w = wav("song.wav", 44100, 2, 1.0);
    ASSERT_EQ(t::run("lame --quiet -b 128 --tt Before " + q(w) + " " + q(dir / "v2.mp3")).exitCode, 0);
    ASSERT_EQ(t::run("lame --quiet -b 128 " + q(w) + " " + q(dir / "v1.mp3")).exitCode, 0);
    ASSERT_EQ(t::run("oggenc -Q -t Before -o " + q(dir / "song.ogg") + " " + q(w)).exitCode, 0);
    struct Failure {
        const char* env;
        const char* message;
    } failures[] = {{"QORO_FAIL_WRITE_AFTER=0", "No space left on device"},
                    {"QORO_FAIL_WRITE_AFTER=1000", "No space left on device"},
                    {"QORO_FAIL_FSYNC=1", "Input/output error"},
                    {"QORO_FAIL_RENAME=1", "Invalid cross-device link"}};
    struct Target {
        const char* name;
        const char* options;
    } targets[] = {{"v2.mp3", " --id3v2"}, {"v1.mp3", " --id3v1"}, {"song.ogg", ""}, {"song.wav", ""}};
    const std::string preload = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" + q(shim) + " ";
    for (const auto& target : targets) {
        const fs::path file = dir / target.name;
        const auto before = t::readBytes(file);
        for (const auto& failure : failures) {
            const auto r = t::run(std::string(failure.env) + " " + preload + q(t::binPath("qoro")) + " tag " + q(file) +
                                  target.options + " --title 'A Much Longer Title Than Before'");
            const std::string what = std::string(target.name) + " with " + failure.env;
            // A write made in the file itself (the ID3v1 tag, a WAV whose tags
            // fit where they stood) may need fewer than 1000 bytes and no
            // rename; every other combination must fail.
            const bool mayPass = std::string(failure.env) == "QORO_FAIL_WRITE_AFTER=1000" ||
                                 std::string(failure.env) == "QORO_FAIL_RENAME=1";
            if (r.exitCode == 0 && mayPass) {
                EXPECT_NE(qoro("info " + q(file)).output.find("A Much Longer Title"), std::string::npos) << what;
                t::writeBytes(file, before);
                continue;
            }
            EXPECT_EQ(r.exitCode, 1) << what << ": " << r.output;
            EXPECT_NE(r.output.find(failure.message), std::string::npos) << what << ": " << r.output;
            EXPECT_NE(r.output.find(target.name), std::string::npos) << what << ": " << r.output;
            EXPECT_TRUE(t::readBytes(file) == before) << what << ": the file changed";
            EXPECT_FALSE(fs::exists(dir / (std::string(target.name) + "~"))) << what;
        }
    }
}

// Bytes of no audio format, the same on every run.
std::vector<uint8_t> noise(size_t size) {
    std::mt19937 random(19);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// qoro info reads a file only when AudioFile opens it and AudioInformation
// finds its facts; each file it cannot read gives exit status 1 and a line
// with the cause in words.
TEST_F(QoroCli, InfoFailsWithACauseInWordsForEmptyMissingAndRandomFiles) {
    QORO_REQUIRE_TOOLS("python3");
    const fs::path good = wav("good.wav", 8000, 1, 0.5);
    t::writeBytes(dir / "empty.wav", {});
    t::writeBytes(dir / "random.mp3", noise(20000));
    ASSERT_EQ(qoro("convert --to vox -o " + q(dir / "speech.vox") + " " + q(good)).exitCode, 0);
    struct Case {
        const char* name;
        const char* cause;  // nullptr: any words that are no code's name
    } cases[] = {
        {"missing.wav", "No such file or directory"}, {"empty.wav", "the file is empty"}, {"random.mp3", nullptr}};
    for (const auto& c : cases) {
        const fs::path file = dir / c.name;
        auto r = qoro("info " + q(file));
        EXPECT_EQ(r.exitCode, 1) << c.name << ": " << r.output;
        const std::string prefix = "qoro info: " + file.string() + ": ";
        const auto at = r.output.find(prefix);
        ASSERT_NE(at, std::string::npos) << r.output;
        const std::string cause = r.output.substr(at + prefix.size(), r.output.find('\n', at) - at - prefix.size());
        if (c.cause) {
            EXPECT_EQ(cause, c.cause);
        }
        EXPECT_FALSE(cause.empty()) << c.name;
        for (const char* code : {"FORMATFILE", "FILEACCESS", "FORMATNOTSUPPORT", "error -"})
            EXPECT_EQ(cause.find(code), std::string::npos) << c.name << ": " << cause;
        // Alongside a good file the status is still 1; the good file's facts are there.
        const std::string json = (dir / "info.json").string();
        r = qoro("info --json " + q(good) + " " + q(file) + " > " + q(json) +
                 "; status=$?; /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
                 "[print(x[\"readable\"], x[\"audioFile\"][\"error\"], x[\"cause\"] or \"-\") for x in d]' < " +
                 q(json) + "; exit $status");
        EXPECT_EQ(r.exitCode, 1) << c.name << ": " << r.output;
        EXPECT_NE(r.output.find("True NOERRORS -\nFalse "), std::string::npos) << c.name << ": " << r.output;
        EXPECT_NE(r.output.find(cause), std::string::npos) << r.output;
    }
    // A VOX file has no facts for AudioInformation to find, but AudioFile
    // reads it: that is a readable file.
    auto r = qoro("info " + q(good) + " " + q(dir / "speech.vox"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

// Option values the output type does not take are refused before anything
// is written: exit status 2, the value named with what is taken, and no
// output folder.
TEST_F(QoroCli, OptionValuesAreCheckedBeforeAnythingIsWritten) {
    const fs::path cd = wav("cd.wav", 44100, 2, 0.2), low = wav("low.wav", 22050, 1, 0.2);
    struct Case {
        std::string options;
        fs::path source;
        std::string message;
    } cases[] = {
        {"--to mp3 -b 999", cd,
         "--bitrate 999: MP3 at 44100 Hz takes 32-320 kbit/s (32, 40, 48, 56, 64, 80, 96, "
         "112, 128, 160, 192, 224, 256, 320)"},
        {"--to mp3 -b 7", cd, "--bitrate 7: MP3 at 44100 Hz takes 32-320 kbit/s"},
        {"--to mp3 --bitrate 100 -r 48000", low, "--bitrate 100: MP3 at 48000 Hz takes 32-320 kbit/s"},
        {"--to mp3 -b 320", low,
         "--bitrate 320: MP3 at 22050 Hz takes 8-160 kbit/s (8, 16, 24, 32, 40, 48, 56, 64, 80, "
         "96, 112, 128, 144, 160); low.wav is at 22050 Hz (see --rate)"},
        {"--to mp3 -r 12345", cd,
         "--rate 12345: MP3 takes 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 or "
         "48000 Hz"},
        {"--to wav -r 500", cd, "--rate 500: WAV takes 1000-384000 Hz"},
        {"--to raw --bits 24", cd, "--bits 24: raw pcm takes 8 or 16 bits"},
        {"--to wav --bits 20", cd, "--bits 20: WAV takes 8, 16, 24 or 32 bits or 32f (float)"},
        {"--to mp2 -r 8000", cd, "--rate 8000: MP2 takes 16000, 22050, 24000, 32000, 44100 or 48000 Hz"},
        {"--to mp2 -b 384", low, "--bitrate 384: MP2 at 22050 Hz takes 8-160 kbit/s"},
        {"--to mp2 -b 384 -c 1 -r 44100", cd, "--bitrate 384: MP2 at 44100 Hz, mono, takes 32-192 kbit/s"},
        {"--to ogg -b 999", cd, "--bitrate 999: Ogg Vorbis takes 45-500 kbit/s"},
        {"--to raw --compression gsm -r 48000", cd, "--rate 48000: raw gsm takes 8000, 11025, 22050 or 44100 Hz"},
        {"--to vox -r 96000", cd, "--rate 96000: VOX takes 6000, 8000,"},
        {"--to vox -c 2", cd, "--channels 2: VOX is written in mono"},
    };
    for (const auto& c : cases) {
        const fs::path out = dir / "new" / "folder";
        const auto r = qoro("convert " + c.options + " -o " + q(out) + "/ " + q(c.source));
        EXPECT_EQ(r.exitCode, 2) << c.options << ": " << r.output;
        EXPECT_NE(r.output.find("qoro convert: " + c.message), std::string::npos) << c.options << ": " << r.output;
        EXPECT_NE(r.output.find("nothing written"), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(dir / "new")) << c.options << ": a refused plan creates nothing";
    }
    // What is taken goes through: the highest MP3 bitrate at 44100 Hz, and at
    // 22050 Hz when asked for that rate.
    auto r = qoro("convert --to mp3 -b 320 -o " + q(dir / "mp3") + "/ " + q(cd));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    r = qoro("convert --to mp3 -b 160 -o " + q(dir / "mp3") + "/ " + q(low));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(dir / "mp3/low.mp3").rate, 22050);
    // The Layer II encoder's rates start at 16000 Hz: a source below them
    // keeps its family's rate.
    const fs::path phone = wav("phone.wav", 11025, 1, 0.2);
    r = qoro("convert --to mp2 -o " + q(dir / "mp2") + "/ " + q(phone));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(dir / "mp2/phone.mp2").rate, 44100);
}

// A full disk while the end of a WAV is written (the header patched when
// the file is closed): qoro says so and leaves neither the output nor its
// temporary. So do a failing flush and a refused rename when a file is
// replaced; the file replaced stays as it was.
TEST_F(QoroCli, DiskFailuresAtTheEndLeaveNoOutputAndKeepWhatWasThere) {
    const fs::path shim = t::binPath("libqoro_fail_io.so");
    ASSERT_TRUE(fs::exists(shim));
    const fs::path src = wav("song.wav", 44100, 2, 1.0);
    auto r = qoro("convert --to wav -o " + q(dir / "once") + "/ " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    // Everything the conversion writes is the output: its size lets all of it
    // through but the header, written last.
    const auto size = fs::file_size(dir / "once/song.wav");
    const std::string preload = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" + q(shim) + " ";
    fs::create_directories(dir / "out");
    r = t::run("QORO_FAIL_WRITE_AFTER=" + std::to_string(size) + " " + preload + q(t::binPath("qoro")) +
               " convert --to wav -o " + q(dir / "out") + "/ " + q(src));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(
        r.output.find("FAILED  " + src.string() + ": writing song.wav failed at its end: No space left on device"),
        std::string::npos)
        << r.output;
    EXPECT_TRUE(fs::is_empty(dir / "out")) << "neither output nor temporary";

    const auto before = t::readBytes(dir / "once/song.wav");
    const fs::path louder = wav("louder/song.wav", 22050, 1, 0.5);
    struct Failure {
        const char* env;
        const char* cause;
    } failures[] = {{"QORO_FAIL_FSYNC=1", "Input/output error"}, {"QORO_FAIL_RENAME=1", "Invalid cross-device link"}};
    for (const auto& f : failures) {
        r = t::run(std::string(f.env) + " " + preload + q(t::binPath("qoro")) + " convert --overwrite --to wav -o " +
                   q(dir / "once") + "/ " + q(louder));
        EXPECT_EQ(r.exitCode, 1) << f.env << ": " << r.output;
        EXPECT_NE(r.output.find(f.cause), std::string::npos) << f.env << ": " << r.output;
        EXPECT_TRUE(t::readBytes(dir / "once/song.wav") == before) << f.env << ": the old file changed";
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "once")) names.push_back(e.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"song.wav"}) << f.env;
    }
}

// A name that is not UTF-8 (Latin-1 here) is opened as it is; it is printed
// with \xNN escapes, and info --json stays valid UTF-8.
TEST_F(QoroCli, NamesThatAreNotUtf8AreConvertedAndPrintedWithEscapes) {
    const std::string latin1 = "caf\xE9 \xFF";
    const fs::path src = dir / (latin1 + ".wav");
    t::writeWav16(src, 22050, 2, t::testSignal(22050, 2, 22050));
    auto r = qoro("convert --to mp3 -o " + q(dir / "mp3") + "/ " + q(src));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(fs::exists(dir / "mp3" / (latin1 + ".mp3")));
    EXPECT_NE(r.output.find("caf\\xE9 \\xFF.wav -> "), std::string::npos) << r.output;
    EXPECT_NEAR(probe(dir / "mp3" / (latin1 + ".mp3")).duration, 1.0, 0.08);

    // info --json: strict UTF-8 for python, the name with its escapes.
    r = t::run(t::shellQuote(t::binPath("qoro").string()) + " info --json " + q(src) + " " +
               q(dir / "mp3" / (latin1 + ".mp3")) +
               " | /usr/bin/python3 -c 'import json,sys; d=json.loads(sys.stdin.buffer.read().decode(\"utf-8\")); "
               "[print(x[\"file\"].rsplit(\"/\",1)[1], x[\"readable\"], x[\"frequency\"]) for x in d]'");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "caf\\xE9 \\xFF.wav True 22050\ncaf\\xE9 \\xFF.mp3 True 22050\n");
    r = qoro("info " + q(src));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.rfind(dir.path().string() + "/caf\\xE9 \\xFF.wav\n", 0), 0u) << r.output;
}

// --json gives bitrates in bit/s for every type; ffprobe agrees.
TEST_F(QoroCli, InfoJsonBitratesAreInBitsPerSecond) {
    QORO_REQUIRE_TOOLS("lame", "oggenc", "python3");
    const fs::path src = wav("src.wav", 44100, 2, 2.0);
    ASSERT_EQ(t::run("lame --quiet -b 192 " + q(src) + " " + q(dir / "a.mp3")).exitCode, 0);
    ASSERT_EQ(t::run("oggenc -Q -b 160 -o " + q(dir / "a.ogg") + " " + q(src)).exitCode, 0);
    for (const char* name : {"src.wav", "a.mp3", "a.ogg"}) {
        const auto ours = t::run(t::shellQuote(t::binPath("qoro").string()) + " info --json " + q(dir / name) +
                                 " | python3 -c 'import json,sys; print(json.load(sys.stdin)[0][\"bitrate\"])'");
        const auto theirs = t::run(
            "ffprobe -v error -select_streams a:0 -show_entries stream=bit_rate -of "
            "default=nw=1:nk=1 " +
            q(dir / name));
        const double reference = std::atof(theirs.output.c_str());
        ASSERT_GT(reference, 1000) << name << ": " << theirs.output;
        EXPECT_NEAR(std::atof(ours.output.c_str()), reference, 1000) << name << ": " << ours.output;
    }
}

// A WAV of 3 GiB (a sparse file: the header, then nothing written) and a
// 64-bit float one: info shows the real size in text and JSON (not
// AudioInformation's size, which stops at 2147483647), the duration
// ffprobe gives, and the float file's own bits.
TEST_F(QoroCli, InfoShowsTheRealSizeOfLargeFilesAndTheBitsOfDeepOnes) {
    QORO_REQUIRE_TOOLS("python3", "sox", "soxi");
    if (!haveInformation()) GTEST_FAIL() << "libQoroAudioInformation.so is not built";
    constexpr uint64_t kData = 0xC0000000u;  // 3 GiB of 16-bit stereo at 44.1 kHz
    const fs::path big = dir / "big.wav";
    std::vector<uint8_t> header;
    auto u32 = [&header](uint32_t v) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto text = [&header](const char* four) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(four[i]));
    };
    text("RIFF");
    u32(static_cast<uint32_t>(kData + 36));
    text("WAVE");
    text("fmt ");
    u32(16);
    u32(1 | 2u << 16);  // PCM, 2 channels
    u32(44100);
    u32(44100 * 4);
    u32(4 | 16u << 16);  // block 4, 16 bits
    text("data");
    u32(static_cast<uint32_t>(kData));
    t::writeBytes(big, header);
    fs::resize_file(big, kData + 44);
    const std::string length = std::to_string(kData + 44);

    auto r = qoro("info " + q(big));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("  size:          " + length + " bytes\n"), std::string::npos) << r.output;
    const long ms = std::lround(probe(big).duration * 1000);
    EXPECT_EQ(ms, std::lround(kData * 1000.0 / 176400));  // bytes / (44100 * 4) s
    EXPECT_NE(r.output.find("(" + std::to_string(ms) + " ms)"), std::string::npos) << r.output;

    const fs::path f64 = dir / "f64.wav";
    ASSERT_EQ(t::run("sox -n -r 22050 -c 2 -b 64 -e float " + q(f64) + " synth 1.25 sine 440").exitCode, 0);
    r = t::run(
        t::shellQuote(t::binPath("qoro").string()) + " info --json " + q(big) + " " + q(f64) +
        " | python3 -c 'import json,sys; d=json.load(sys.stdin); "
        "[print(x[\"size\"], x[\"duration\"], x[\"samples\"], x[\"bitsPerSample\"], x[\"bitrate\"]) for x in d]'");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const long f64ms = std::lround(probe(f64).duration * 1000);
    const auto frames = t::run("soxi -s " + q(f64));
    ASSERT_EQ(frames.exitCode, 0) << frames.output;
    EXPECT_EQ(r.output, length + " " + std::to_string(ms) + " " + std::to_string(kData / 4) + " 16 1411200\n" +
                            std::to_string(fs::file_size(f64)) + " " + std::to_string(f64ms) + " " +
                            std::to_string(std::atol(frames.output.c_str())) + " 64 2822400\n");
}

}  // namespace
