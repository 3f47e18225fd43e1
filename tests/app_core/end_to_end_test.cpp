// The converter with the real components: in process through MainController,
// and as the headless program quillet-batch. Sample counts are checked
// against ffmpeg's reading of the same files.
#include <gtest/gtest.h>

#include <filesystem>

#include "rig.h"

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using qoro::test::binPath;
using qoro::test::haveTool;
using qoro::test::run;
using qoro::test::shellQuote;

bool haveAudioFileComponent() { return fs::exists(binPath("libQoroAudioFile.so")); }

// Frames and rate of a file as ffprobe reads them ("frames rate channels").
struct Probe {
    long frames = -1;
    int rate = 0, channels = 0;
};
Probe probe(const std::string& file) {
    Probe p;
    const auto r = run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of "
                       "default=nw=1:nk=1 " + shellQuote(file));
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
    if (!haveAudioFileComponent()) GTEST_SKIP() << "libQoroAudioFile.so is not built in this tree";
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
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
    rig.app->onConvert();
    EXPECT_TRUE(rig.ui.messages.empty()) << rig.ui.messages.front();
    const auto& results = rig.app->converter().results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Converted);
    const Probe out = probe(rig.app->settings().WaveDir + "tone.wav");
    EXPECT_EQ(out.rate, 22050);
    EXPECT_EQ(out.channels, 1);
    EXPECT_NEAR(out.frames, 33075, 2);
    EXPECT_EQ(rig.ui.times[rig.ui.times.size() - 2], "00:01");
}

struct BatchProgram : ::testing::Test {
    qoro::test::TempDir dir;
    std::string home = (dir / "home").string() + "/";
    void SetUp() override {
        if (!haveAudioFileComponent()) GTEST_SKIP() << "libQoroAudioFile.so is not built in this tree";
        if (!fs::exists(binPath("quillet-batch"))) GTEST_SKIP() << "quillet-batch not built";
        if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
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
    EXPECT_EQ(fs::last_write_time(home + "Wave Files/a.wav"), before);
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
    EXPECT_EQ(slurp(home + "wavtomp3.log"), "3\r\n." + samples + "Arpeggio.wav\r\n." + samples +
                                                "Chimes.wav\r\n." + samples + "Walking Bass.wav\r\n");
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
