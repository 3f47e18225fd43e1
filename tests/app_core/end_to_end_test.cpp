// The converter with the real components: in process through MainController,
// and as the headless program quillet-batch. Sample counts are checked
// against ffmpeg's reading of the same files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "rig.h"

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using qoro::test::binPath;
using qoro::test::requireTool;
using qoro::test::run;
using qoro::test::shellQuote;

// Frames and rate of a file as ffprobe reads them ("frames rate channels").
struct Probe {
    long frames = -1;
    int rate = 0, channels = 0;
};
Probe probe(const std::string& file) {
    Probe p;
    const auto r =
        run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of "
            "default=nw=1:nk=1 " +
            shellQuote(file));
    if (r.exitCode != 0) return p;
    std::sscanf(r.output.c_str(), "%d %d", &p.rate, &p.channels);
    qoro::test::TempDir tmp;
    const auto pcm = tmp / "out.raw";
    if (run("ffmpeg -v error -y -i " + shellQuote(file) + " -f s16le -acodec pcm_s16le " + shellQuote(pcm.string()))
            .exitCode != 0)
        return p;
    if (p.channels > 0) p.frames = static_cast<long>(qoro::test::readPcm16(pcm).size()) / p.channels;
    return p;
}

TEST(EndToEnd, WavThroughTheRealAudioFileInProcess) {
    ASSERT_TRUE(fs::exists(binPath("libQoroAudioFile.so"))) << "libQoroAudioFile.so is not built in this tree";
    QORO_REQUIRE_TOOLS("ffmpeg");
    Rig rig;
    const std::string source = rig.path("tone.wav");
    qoro::test::writeWav16(source, 44100, 2, qoro::test::testSignal(44100, 2, 66150));
    ComApartment apartment;
    Components real = createComponents();
    ASSERT_TRUE(real.source && real.target);
    rig.app = std::make_unique<MainController>(rig.ui.ports(), std::move(real), rig.data);
    rig.app->start();
    rig.app->settings().Frequency2 = 22050;
    rig.app->settings().Channels2 = 1;
    rig.ui.chosenFiles = std::vector<std::string>{source};
    rig.app->onAddFiles();
    rig.convert();
    EXPECT_TRUE(rig.ui.messages.empty()) << rig.ui.messages.front();
    const auto& results = rig.app->converter().results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Converted);
    const Probe out = probe(rig.app->settings().WaveDir + "tone.wav");
    EXPECT_EQ(out.rate, 22050);
    EXPECT_EQ(out.channels, 1);
    EXPECT_NEAR(out.frames, 33075, 2);
    ASSERT_FALSE(rig.ui.progress.empty());
    EXPECT_EQ(rig.ui.progress.back(), std::make_tuple(size_t{1}, size_t{1}, 0.0));
}

// The grid's title column reads an MP3's ID3v2 tag, and its ID3v1 tag when
// it has no ID3v2 tag, through the real information component.
TEST(EndToEnd, GridTitlesComeFromEitherId3Tag) {
    QORO_REQUIRE_TOOLS("lame");
    Rig rig;
    const std::string wav = rig.path("tone.wav");
    qoro::test::writeWav16(wav, 44100, 2, qoro::test::testSignal(44100, 2, 22050));
    struct {
        const char* name;
        const char* options;
        const char* title;
    } files[] = {{"v2.mp3", "--id3v2-only --tt 'Only In Version Two'", "Only In Version Two"},
                 {"v1.mp3", "--id3v1-only --tt 'Only In Version One'", "Only In Version One"},
                 {"none.mp3", "", ""}};
    ComApartment apartment;
    Components real = createComponents();
    ASSERT_TRUE(real.info);
    for (const auto& f : files) {
        const std::string mp3 = rig.path(f.name);
        ASSERT_EQ(run(std::string("lame --quiet -b 96 ") + f.options + " " + shellQuote(wav) + " " + shellQuote(mp3))
                      .exitCode,
                  0);
        const FileFacts facts = readFacts(real.info.get(), mp3);
        EXPECT_EQ(facts.title, f.title) << f.name;
        EXPECT_GE(facts.durationMs, 500) << f.name;  // the music at least
    }
}

struct BatchProgram : ::testing::Test {
    qoro::test::TempDir dir;
    std::string home = (dir / "home").string() + "/";
    void SetUp() override {
        ASSERT_TRUE(fs::exists(binPath("libQoroAudioFile.so"))) << "libQoroAudioFile.so is not built in this tree";
        ASSERT_TRUE(fs::exists(binPath("quillet-batch"))) << "quillet-batch is not built";
        QORO_REQUIRE_TOOLS("ffmpeg");
        fs::create_directories(home);
    }
    qoro::test::CommandResult batch(const std::string& mode) {
        return run("QUILLET_HOME=" + shellQuote(home) + " " + shellQuote(binPath("quillet-batch").string()) +
                   " --batch " + mode);
    }
};

TEST_F(BatchProgram, ConvertsTheListAndReportsFailures) {
    const std::string a = (dir / "a.wav").string(), b = (dir / "b.wav").string();
    qoro::test::writeWav16(a, 22050, 1, qoro::test::testSignal(22050, 1, 22050));
    qoro::test::writeWav16(b, 48000, 2, qoro::test::testSignal(48000, 2, 12000));
    spit(home + "mp3towav.log", "3\r\n." + a + "\r\n " + (dir / "unchecked.wav").string() + "\r\n." + b + "\r\n");
    spit(home + "OPTION.INI", "[Settings]\nBitRate2=8\nFrequency2=44100\n");
    auto r = batch("mp3towav");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("2 converted, 0 failed, 0 skipped"), std::string::npos) << r.output;
    const Probe pa = probe(home + "Wave Files/a.wav");
    const Probe pb = probe(home + "Wave Files/b.wav");
    EXPECT_EQ(pa.rate, 44100);
    EXPECT_EQ(pa.channels, 2);
    EXPECT_NEAR(pa.frames, 44100, 2);
    EXPECT_NEAR(pb.frames, 11025, 2);
    const auto format = run("ffprobe -v error -show_entries stream=sample_fmt -of default=nw=1:nk=1 " +
                            shellQuote(home + "Wave Files/a.wav"));
    EXPECT_EQ(format.output, "u8\n");  // 8-bit
    // The list file is left as it was.
    EXPECT_EQ(slurp(home + "mp3towav.log"),
              "3\r\n." + a + "\r\n " + (dir / "unchecked.wav").string() + "\r\n." + b + "\r\n");

    // Existing targets are skipped when the settings ask before overwriting;
    // a missing source fails the run.
    spit(home + "OPTION.INI", "[Settings]\nPromptBeforeOverwrite=1\n");
    spit(home + "mp3towav.log", "2\r\n." + a + "\r\n." + (dir / "missing.wav").string() + "\r\n");
    const auto before = fs::last_write_time(home + "Wave Files/a.wav");
    r = batch("mp3towav");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("0 converted, 1 failed, 1 skipped"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("FAILED " + (dir / "missing.wav").string() +
                            ": cannot open the source: No such file or directory\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(fs::last_write_time(home + "Wave Files/a.wav"), before);
}

// Several workers, and sources of one name from two folders: every file
// arrives, the second under a numbered name, each with its own length.
TEST_F(BatchProgram, WorkersConvertSameNamedSourcesToNumberedNames) {
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "two");
    const std::string a = (dir / "one/x.wav").string(), b = (dir / "two/x.wav").string();
    const std::string c = (dir / "two/y.wav").string();
    qoro::test::writeWav16(a, 44100, 2, qoro::test::testSignal(44100, 2, 44100));
    qoro::test::writeWav16(b, 44100, 2, qoro::test::testSignal(44100, 2, 22050));
    qoro::test::writeWav16(c, 44100, 2, qoro::test::testSignal(44100, 2, 11025));
    spit(home + "mp3towav.log", "3\r\n." + a + "\r\n." + b + "\r\n." + c + "\r\n");
    auto r = batch("-j 3 mp3towav");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("3 converted, 0 failed, 0 skipped"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(b + " -> " + home + "Wave Files/x.wav: another file in the list has the same target"),
              std::string::npos)
        << r.output;
    EXPECT_NEAR(probe(home + "Wave Files/x.wav").frames, 44100, 2);
    EXPECT_NEAR(probe(home + "Wave Files/x (2).wav").frames, 22050, 2);
    EXPECT_NEAR(probe(home + "Wave Files/y.wav").frames, 11025, 2);

    for (const char* bad : {"-j 0 mp3towav", "-j x mp3towav", "-j"}) {
        r = batch(bad);
        EXPECT_EQ(r.exitCode, 2) << bad << "\n" << r.output;
    }
}

// A full disk while the end of the WAV is written (its header is patched
// when the file is closed): the file fails with the cause in words, exit
// status 1, and the folder holds what it held before, without temporaries.
TEST_F(BatchProgram, ADiskFullAtTheEndOfAWavFailsTheFileWithItsCause) {
    const auto shim = binPath("libqoro_fail_io.so");
    ASSERT_TRUE(fs::exists(shim));
    const std::string a = (dir / "a.wav").string();
    qoro::test::writeWav16(a, 44100, 2, qoro::test::testSignal(44100, 2, 44100));
    spit(home + "mp3towav.log", "1\r\n." + a + "\r\n");
    spit(home + "OPTION.INI", "[Settings]\nFrequency2=44100\nChannels2=2\nBitRate2=16\nPromptBeforeOverwrite=0\n");
    auto r = batch("mp3towav");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string out = home + "Wave Files/a.wav";
    const auto before = qoro::test::readBytes(out);
    // A second run writes nothing but the new file: its size lets all of it
    // through but the header, written last.
    r = run("QORO_FAIL_WRITE_AFTER=" + std::to_string(before.size()) +
            " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" + shellQuote(shim.string()) +
            " QUILLET_HOME=" + shellQuote(home) + " " + shellQuote(binPath("quillet-batch").string()) +
            " --batch mp3towav");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("FAILED " + a + ": writing a.wav failed at its end: No space left on device\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("0 converted, 1 failed, 0 skipped"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("error -"), std::string::npos) << r.output;
    EXPECT_TRUE(qoro::test::readBytes(out) == before) << "the file there before is kept";
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(home + "Wave Files")) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"a.wav"}) << "no temporary is left";
}

TEST_F(BatchProgram, RejectsUnknownModes) {
    const auto r = batch("oggtowav");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace quillet::test

namespace quillet::test {
namespace {

TEST_F(BatchProgram, SeedsAFreshDataFolderOnce) {
    const auto r = run("QUILLET_HOME=" + shellQuote(home) + " " + shellQuote(binPath("quillet-batch").string()) +
                       " --seed --batch mp3towav");
    ASSERT_NE(r.output.find("sample file(s) written"), std::string::npos) << r.output;
    const std::string samples = home + "Samples/";
    EXPECT_EQ(slurp(home + "wavtomp3.log"), "3\r\n." + samples + "Arpeggio.wav\r\n." + samples + "Chimes.wav\r\n." +
                                                samples + "Walking Bass.wav\r\n");
    const Probe arpeggio = probe(samples + "Arpeggio.wav");
    EXPECT_EQ(arpeggio.rate, 44100);
    EXPECT_EQ(arpeggio.channels, 2);
    EXPECT_EQ(arpeggio.frames, 8 * 17640);
    // MP3 samples exist as far as the component can encode them; every one
    // listed is there.
    const std::string mp3List = slurp(home + "mp3towav.log");
    for (const char* name : {"Arpeggio", "Chimes", "Walking Bass"})
        if (mp3List.find(name) != std::string::npos) {
            EXPECT_TRUE(fs::exists(samples + name + ".mp3"));
        }
    spit(home + "wavtomp3.log", "0\r\n");
    run("QUILLET_HOME=" + shellQuote(home) + " " + shellQuote(binPath("quillet-batch").string()) +
        " --seed --batch mp3towav");
    EXPECT_EQ(slurp(home + "wavtomp3.log"), "0\r\n");
}

}  // namespace
}  // namespace quillet::test

// Real MP3 files both ways through the headless program, judged by ffmpeg.
namespace quillet::test {
namespace {

// How far our WAV may be longer than ffmpeg's decoding of the same MP3.
// Our decoder plays every frame of the stream, including LAME's silent info
// frame, and keeps the encoder delay, the decoder delay and the padding of
// the last frame; ffmpeg reads LAME's gapless header and drops all four. So
// on a file with that header ours is longer by one frame (info) + 576 + 529
// (delays) + padding (less than one frame): at most 2 * 1152 + 1105 - 1
// frames for MPEG-1, less for MPEG-2's 576-sample frames. Never shorter. On a
// file without the header (lame -t) both decode every frame: equal counts.
constexpr long kMaxGaplessExtra = 2 * 1152 + 576 + 529 - 1;
// Our MP3s carry the gapless header, so ffmpeg decodes exactly the source's
// length at the source's rate; when the encoder resamples, its edges may move
// by a few frames.
constexpr long kResampleSlack = 8;

TEST_F(BatchProgram, LameMp3sBecomeWavsOfTheDecodedLength) {
    QORO_REQUIRE_TOOLS("lame");
    struct Source {
        const char* name;
        int rate, channels, frames;
        const char* lameOptions;
        bool gaplessHeader;
    };
    const Source sources[] = {
        {"stereo 44k", 44100, 2, 3 * 44100 + 123, "-b 128", true},
        {"mono 22k", 22050, 1, 2 * 22050 + 77, "-m m -b 64", true},
        {"joint 48k vbr", 48000, 2, 48000 + 999, "-V 4", true},
        {"no tag 32k", 32000, 2, 32000 + 5, "-b 96 -t", false},
    };
    std::string list = std::to_string(std::size(sources)) + "\r\n";
    for (const Source& s : sources) {
        const std::string wav = (dir / (std::string(s.name) + ".src.wav")).string();
        const std::string mp3 = (dir / (std::string(s.name) + ".mp3")).string();
        qoro::test::writeWav16(wav, s.rate, s.channels, qoro::test::testSignal(s.rate, s.channels, s.frames));
        const auto made =
            run("lame --quiet " + std::string(s.lameOptions) + " " + shellQuote(wav) + " " + shellQuote(mp3));
        ASSERT_EQ(made.exitCode, 0) << made.output;
        list += "." + mp3 + "\r\n";
    }
    // Every source keeps its own rate: each run converts to that rate and layout.
    for (const Source& s : sources) {
        spit(home + "mp3towav.log", "1\r\n." + (dir / (std::string(s.name) + ".mp3")).string() + "\r\n");
        spit(home + "OPTION.INI", "[Settings]\nBitRate2=16\nFrequency2=" + std::to_string(s.rate) +
                                      "\nChannels2=" + std::to_string(s.channels) + "\n");
        const auto r = batch("mp3towav");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("1 converted, 0 failed, 0 skipped"), std::string::npos) << r.output;
        // "a.mp3" becomes "a.wav" in the WAV folder.
        const std::string out = home + "Wave Files/" + s.name + ".wav";
        const Probe ours = probe(out);
        const Probe reference = probe((dir / (std::string(s.name) + ".mp3")).string());
        ASSERT_GT(reference.frames, 0) << s.name;
        EXPECT_EQ(ours.rate, s.rate) << s.name;
        EXPECT_EQ(ours.channels, s.channels) << s.name;
        if (s.gaplessHeader) {
            EXPECT_GE(ours.frames, reference.frames) << s.name;
            EXPECT_LE(ours.frames, reference.frames + kMaxGaplessExtra) << s.name;
            EXPECT_EQ(reference.frames, s.frames) << s.name;  // ffmpeg honoured the header
        } else {
            EXPECT_EQ(ours.frames, reference.frames) << s.name;
        }
        // Not silence: the decoded music has energy comparable to the source.
        const auto pcm = qoro::test::readPcm16(out);
        ASSERT_FALSE(pcm.empty());
        double energy = 0;
        for (int16_t v : pcm) energy += double(v) * v;
        EXPECT_GT(std::sqrt(energy / double(pcm.size())), 1000.0) << s.name;
    }
    // All four in one run, as the list file names them.
    spit(home + "mp3towav.log", list);
    spit(home + "OPTION.INI", "[Settings]\nFrequency2=44100\nChannels2=2\n");
    const auto r = batch("mp3towav");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("4 converted, 0 failed, 0 skipped"), std::string::npos) << r.output;
    const Probe resampled = probe(home + "Wave Files/mono 22k.wav");
    EXPECT_EQ(resampled.rate, 44100);
    EXPECT_EQ(resampled.channels, 2);
    EXPECT_GE(resampled.frames, 2 * (2 * 22050 + 77) - kResampleSlack);
    EXPECT_LE(resampled.frames, 2 * (2 * 22050 + 77 + kMaxGaplessExtra) + kResampleSlack);
}

TEST_F(BatchProgram, WavsBecomeMp3sOfTheRightLengthAndRate) {
    struct Case {
        const char* name;
        int sourceRate, sourceChannels, frames;
        int rate, channels, kbps;
    };
    const Case cases[] = {
        {"cd", 44100, 2, 2 * 44100 + 31, 44100, 2, 128},
        {"speech", 44100, 2, 44100 + 500, 22050, 1, 32},
        {"hi", 48000, 1, 48000 + 3, 48000, 2, 192},
    };
    for (const Case& c : cases) {
        const std::string wav = (dir / (std::string(c.name) + ".wav")).string();
        qoro::test::writeWav16(wav, c.sourceRate, c.sourceChannels,
                               qoro::test::testSignal(c.sourceRate, c.sourceChannels, c.frames));
        spit(home + "wavtomp3.log", "1\r\n." + wav + "\r\n");
        spit(home + "OPTION.INI", "[Settings]\nBitRate1=" + std::to_string(c.kbps) + "\nFrequency1=" +
                                      std::to_string(c.rate) + "\nChannels1=" + std::to_string(c.channels) + "\n");
        const auto r = batch("wavtomp3");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("1 converted, 0 failed, 0 skipped"), std::string::npos) << r.output;
        const std::string mp3 = home + "Mp3 Files/" + c.name + ".mp3";
        const Probe p = probe(mp3);
        const long expected = static_cast<long>(std::llround(double(c.frames) * c.rate / c.sourceRate));
        EXPECT_EQ(p.rate, c.rate) << c.name;
        EXPECT_EQ(p.channels, c.channels) << c.name;
        // With the gapless header ffmpeg gives back exactly the source's
        // length. At 11025, 12000 and 22050 Hz the component writes no such
        // header, so the delays and padding stay in: judge those lengths by
        // the lame program's file of the same settings (no header either).
        if (c.rate == c.sourceRate) {
            EXPECT_EQ(p.frames, expected) << c.name;
        } else {
            EXPECT_GE(p.frames, expected - kResampleSlack) << c.name;
            EXPECT_LE(p.frames, expected + kMaxGaplessExtra) << c.name;
        }
        if (requireTool("lame")) {
            const std::string reference = (dir / (std::string(c.name) + ".lame.mp3")).string();
            char khz[16];
            std::snprintf(khz, sizeof khz, "%g", c.rate / 1000.0);
            const auto made = run("lame --quiet -b " + std::to_string(c.kbps) + " --resample " + khz + " -m " +
                                  (c.channels == 1 ? "m " : "j ") + shellQuote(wav) + " " + shellQuote(reference));
            ASSERT_EQ(made.exitCode, 0) << made.output;
            EXPECT_NEAR(p.frames, probe(reference).frames, kResampleSlack) << c.name;
        }
        const auto bitrate =
            run("ffprobe -v error -show_entries format=bit_rate -of default=nw=1:nk=1 " + shellQuote(mp3));
        EXPECT_NEAR(std::atof(bitrate.output.c_str()) / 1000.0, c.kbps, c.kbps * 0.1) << c.name;
    }
}

TEST_F(BatchProgram, SeededMp3SamplesDecodeToTheirWavs) {
    const auto r = run("QUILLET_HOME=" + shellQuote(home) + " " + shellQuote(binPath("quillet-batch").string()) +
                       " --seed --batch");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("6 sample file(s) written"), std::string::npos) << r.output;
    const std::string samples = home + "Samples/";
    EXPECT_EQ(slurp(home + "mp3towav.log"), "3\r\n." + samples + "Arpeggio.mp3\r\n." + samples + "Chimes.mp3\r\n." +
                                                samples + "Walking Bass.mp3\r\n");
    for (const char* name : {"Arpeggio", "Chimes", "Walking Bass"}) {
        const Probe wav = probe(samples + name + ".wav");
        const Probe mp3 = probe(samples + name + ".mp3");
        EXPECT_EQ(mp3.rate, 44100) << name;
        EXPECT_EQ(mp3.channels, 2) << name;
        EXPECT_EQ(mp3.frames, wav.frames) << name;
        // Both modes ran over the seeded lists.
        EXPECT_TRUE(fs::exists(home + "Wave Files/" + name + ".wav")) << name;
        EXPECT_TRUE(fs::exists(home + "Mp3 Files/" + name + ".mp3")) << name;
    }
}

TEST_F(BatchProgram, PlacesTheHelpPageInTheDataFolderOnce) {
    spit(home + "mp3towav.log", "0\r\n");
    auto r = batch("mp3towav");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string page = slurp(home + "Quillet.html");
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    for (const char* topic : {"MP3 to WAV", "WAV to MP3", "mp3towav.log", "wavtomp3.log", "OPTION.INI", "QUILLET_HOME",
                              "--batch", "</html>"})
        EXPECT_NE(page.find(topic), std::string::npos) << topic;
    EXPECT_FALSE(fs::exists(home + "Quillet.html.part"));
    // A page the user changed is kept.
    spit(home + "Quillet.html", "<p>mine</p>");
    r = batch("mp3towav");
    EXPECT_EQ(slurp(home + "Quillet.html"), "<p>mine</p>");
}

}  // namespace
}  // namespace quillet::test
