// The batch conversion against fake components.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "rig.h"

namespace quillet::test {
namespace {

using M = ConversionMode;

struct BatchTest : ::testing::Test {
    Rig rig;
    std::vector<std::string> add(std::initializer_list<const char*> names, FakeSource s = {}) {
        std::vector<std::string> paths;
        for (const char* n : names) paths.push_back(rig.source(n, s, {"", 1000, 128000, 44100}));
        rig.ui.chosenFiles = paths;
        rig.app->onAddFiles();
        return paths;
    }
    std::string wave(const std::string& name) const { return rig.app->settings().WaveDir + name; }
    // Names of hidden files (temporaries) left in a folder.
    static std::vector<std::string> leftovers(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec))
            if (e.path().filename().string()[0] == '.') names.push_back(e.path().filename().string());
        return names;
    }
    // The name a CreateFile call gave: the target's temporary in its folder.
    static bool isTemporaryOf(const std::string& created, const std::string& target) {
        const auto slash = target.find_last_of('/');
        const std::string folder = target.substr(0, slash + 1), name = target.substr(slash + 1);
        const std::string stem = name.substr(0, name.find_last_of('.')), ext = name.substr(name.find_last_of('.'));
        return created.rfind(folder + "." + stem + ".qoro-", 0) == 0 && created.size() > ext.size() &&
               created.compare(created.size() - ext.size(), ext.size(), ext) == 0;
    }
};

TEST_F(BatchTest, NoCheckedRowOrCancelConvertsNothing) {
    rig.start();
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.messages.back(),
              "Please add at least one mp3 file to the grid and checked it then you can convert it.");
    EXPECT_TRUE(rig.ui.questions.empty());
    add({"a.mp3"});
    rig.app->onUnselectAll();
    rig.app->onConvert();
    EXPECT_TRUE(rig.ui.questions.empty());
    rig.app->onCheckAll();
    rig.ui.answers = {false};
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.questions.back(), "Now the checked mp3 files in the grid will be converted to Wave files.");
    EXPECT_TRUE(rig.world.calls.empty());
    EXPECT_FALSE(rig.app->session().mp3Converting);
    rig.app->onSwitchMode(M::WavToMp3);
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.messages.back(),
              "Please add at least one wav file to the grid and checked it then you can convert it.");
}

TEST_F(BatchTest, ConvertsCheckedRowsOnlyWithTheComponentCallsInOrder) {
    rig.start();
    const auto paths = add({"One.Mp3", "two.mp3", "a.mp3.mp3"}, FakeSource{22050, 1, 22050 * 3 / 2, -1});
    rig.app->onCellClicked(1, 2);
    rig.app->settings().Frequency2 = 44000;  // not offered: 44100
    rig.app->settings().Channels2 = 3;       // stereo
    rig.app->settings().BitRate2 = 24;       // 16 bits
    rig.app->onConvert();
    ASSERT_GE(rig.world.calls.size(), 6u);
    std::vector<std::string> first(rig.world.calls.begin(), rig.world.calls.begin() + 6);
    // The target is created under a temporary name in its folder, then
    // renamed into place once closed.
    const std::string created = first[2].substr(std::string("dst.CreateFile ").size());
    ASSERT_GT(created.size(), 2u);
    EXPECT_TRUE(isTemporaryOf(created.substr(0, created.size() - 2), wave("One.wav"))) << created;
    EXPECT_EQ(created.substr(created.size() - 2), " 1");
    first[2] = "dst.CreateFile";
    EXPECT_EQ(first, (std::vector<std::string>{"src.OpenFile " + paths[0] + " 0 1", "dst.SetFormatPCM 44100 2 16",
                                               "dst.CreateFile", "dst.SetFormatArray 22050 1", "src.CloseFile",
                                               "dst.CloseFile"}));
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 2u);
    EXPECT_EQ(std::count(rig.world.calls.begin(), rig.world.calls.end(), "src.OpenFile " + paths[1] + " 0 1"), 0);
    EXPECT_EQ(fakeFrames(wave("One.wav")), 33075);
    EXPECT_EQ(fakeFrames(wave("a.wav.wav")), 33075);
    EXPECT_FALSE(std::filesystem::exists(wave("two.wav")));
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    // A tenth of a second per block: 15 blocks, one repaint each, time in
    // audio seconds truncated.
    EXPECT_EQ(rig.ui.repaints, 30);
    EXPECT_NE(std::find(rig.ui.times.begin(), rig.ui.times.end(), "00:01"), rig.ui.times.end());
    // End of the run.
    EXPECT_FALSE(rig.app->session().mp3Converting);
    EXPECT_EQ(rig.app->session().currentRow, 1u);
    EXPECT_EQ(rig.ui.name, "Quillet 2.68");
    EXPECT_EQ(rig.ui.time, "00:00");
    EXPECT_EQ(rig.ui.bitrate, "");
    EXPECT_TRUE(rig.ui.messages.empty());
    EXPECT_EQ(rig.app->grid().rowCount(), 3u);
}

TEST_F(BatchTest, StereoSourceOfFourAndAHalfSecondsShowsFourSeconds) {
    rig.start();
    add({"s.mp3"}, FakeSource{44100, 2, 44100 * 9 / 2, -1});
    rig.app->onConvert();
    ASSERT_GE(rig.ui.times.size(), 2u);
    EXPECT_EQ(rig.ui.times[rig.ui.times.size() - 2], "00:04");  // last block, before the reset
    EXPECT_EQ(fakeFrames(wave("s.wav")), 44100 * 9 / 2);
}

TEST_F(BatchTest, WavToMp3PassesTheMp3Format) {
    rig.start();
    rig.app->onSwitchMode(M::WavToMp3);
    const auto paths = add({"Song.WaV"});
    rig.app->settings().BitRate1 = 100;
    rig.app->settings().Channels1 = 1;
    rig.app->settings().Frequency1 = 32000;
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.questions.back(), "Now the checked wav files in the grid will be converted to mp3 files.");
    const std::string target = rig.app->settings().Mp3Dir + "Song.mp3";
    EXPECT_EQ(rig.world.calls[1], "dst.SetFormatMP3 32000 128 1");
    const std::string created = rig.world.calls[2].substr(std::string("dst.CreateFile ").size());
    EXPECT_TRUE(isTemporaryOf(created.substr(0, created.size() - 2), target)) << created;
    EXPECT_EQ(created.substr(created.size() - 2), " 2");
    EXPECT_EQ(fakeFrames(target), 44100);
}

TEST_F(BatchTest, OverwritePromptSkipsOrReplaces) {
    rig.start();
    add({"a.mp3", "b.mp3", "c.mp3"});
    spit(wave("a.wav"), "old a");
    spit(wave("b.wav"), "old b");
    rig.app->settings().PromptBeforeOverwrite = 1;
    rig.ui.answers = {true, false, true};  // run, a: Cancel, b: OK
    rig.app->onConvert();
    ASSERT_EQ(rig.ui.questions.size(), 3u);
    EXPECT_EQ(rig.ui.questions[1], "The Wave file named " + wave("a.wav") +
                                       " exists,overwrite it?\r\nPress OK will overwrite the exist file.\r\n"
                                       "Press CANCEL will Skip this file.");
    EXPECT_EQ(slurp(wave("a.wav")), "old a");
    EXPECT_EQ(slurp(wave("b.wav")), "fake 44100");
    EXPECT_EQ(fakeFrames(wave("c.wav")), 44100);
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 2u);
    EXPECT_TRUE(rig.ui.messages.empty());  // a skipped file is no failure

    // Prompt off: replaced without asking.
    rig.app->settings().PromptBeforeOverwrite = 0;
    spit(wave("a.wav"), "old a");
    rig.ui.questions.clear();
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.questions.size(), 1u);
    EXPECT_EQ(slurp(wave("a.wav")), "fake 44100");
}

TEST_F(BatchTest, EndOfRunOpensTheFolderThenPlays) {
    rig.start();
    const auto paths = add({"a.mp3"});
    rig.app->settings().OpenDirAfterConvert = 1;
    rig.app->settings().PlayAfterConvert = 1;
    rig.app->session().forward = false;
    rig.app->onConvert();
    const auto& ev = rig.ui.events;
    const auto shell = std::find(ev.begin(), ev.end(), "shell " + rig.app->settings().WaveDir);
    const auto play = std::find(ev.begin(), ev.end(), "player open " + paths[0]);
    ASSERT_NE(shell, ev.end());
    ASSERT_NE(play, ev.end());
    EXPECT_LT(shell, play);
    EXPECT_EQ(*std::prev(shell), "labels reset");
    EXPECT_TRUE(rig.app->session().forward);
    EXPECT_TRUE(rig.app->session().mp3Playing);  // plays the source, not the new WAV
    EXPECT_EQ(rig.ui.name, "1. a.mp3");
    EXPECT_EQ(rig.ui.bitrate, "128");
    EXPECT_EQ(rig.ui.frequency, "44");
}

TEST_F(BatchTest, FailedAndPartialFilesAreListedOnceAndTheRunGoesOn) {
    rig.start();
    const std::string broken = rig.source("broken.mp3", FakeSource{44100, 2, 44100, 8820});
    const std::string missing = rig.path("missing.mp3");
    const std::string good = rig.source("good.mp3");
    rig.ui.chosenFiles = std::vector<std::string>{missing, broken, good};
    rig.app->onAddFiles();
    rig.app->onConvert();
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 2u);  // nothing created for the missing source
    EXPECT_EQ(fakeFrames(wave("broken.wav")), 8820);         // kept as far as it was read
    EXPECT_EQ(fakeFrames(wave("good.wav")), 44100);
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_EQ(rig.ui.messages[0],
              "These files could not be converted, or were converted only in part:\r\n" + missing + "\r\n" + broken);
    EXPECT_FALSE(rig.app->session().mp3Converting);
    EXPECT_EQ(rig.app->session().currentRow, 1u);
    const auto& results = rig.app->converter().results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[1].outcome, FileResult::Partial);
    EXPECT_EQ(results[2].outcome, FileResult::Converted);
    // The reasons in words: the system's for the missing file, the meaning
    // of the reader's code for the damaged one.
    EXPECT_EQ(results[0].reason, "cannot open the source: No such file or directory");
    EXPECT_EQ(results[1].reason, "reading the source stopped part-way: not an audio file of this type");
    EXPECT_EQ(results[1].frames, 8820);
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
}

TEST_F(BatchTest, WriteErrorDropsTheFileAndEmptyPathRowsAreSkipped) {
    rig.list(M::Mp3ToWav, "3\r\n.\r\n." + rig.path("w.mp3") + "\r\n");
    rig.source("w.mp3", FakeSource{8000, 1, 8000, -1});
    rig.world.writeErrorAt = 2400;
    rig.world.writeCause = "No space left on device";
    rig.start();
    rig.app->onConvert();
    // A target that could not be written completely is not published.
    EXPECT_FALSE(std::filesystem::exists(wave("w.wav")));
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    EXPECT_EQ(rig.callsStartingWith("dst.CloseFile"), 1u);
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 1u);
    const auto& results = rig.app->converter().results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].outcome, FileResult::Failed);
    EXPECT_EQ(results[1].reason, "writing w.wav failed: No space left on device");
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_NE(rig.ui.messages[0].find("row 1 names no file"), std::string::npos);
    EXPECT_NE(rig.ui.messages[0].find(rig.path("w.mp3")), std::string::npos);
    EXPECT_FALSE(rig.app->session().mp3Converting);
}

// Every step's result is checked: a refused format creates nothing, a target
// that cannot be created or whose end cannot be written fails the file with
// its cause, and an existing target stays as it was.
TEST_F(BatchTest, RefusedFormatFailedCreateAndFailedCloseKeepTheOldTarget) {
    rig.start();
    add({"a.mp3"});
    spit(wave("a.wav"), "old a");
    const auto& results = rig.app->converter().results();

    rig.world.refuseFormat = true;
    rig.app->onConvert();
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 0u);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason,
              "output format refused (WAV, 44100 Hz, 2 channel(s), 16 bits): the component does not write it");
    EXPECT_EQ(slurp(wave("a.wav")), "old a");

    rig.world.refuseFormat = false;
    rig.world.createError = FILEACCESS;
    rig.world.createCause = "Permission denied";
    rig.app->onConvert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason, "cannot create a.wav: Permission denied");
    EXPECT_EQ(rig.callsStartingWith("dst.WriteFile"), 0u);

    // The component reports that the end of the file could not be written.
    rig.world.createError = NOERRORS;
    rig.world.closeError = FILEACCESS;
    rig.world.closeCause = "No space left on device";
    rig.ui.messages.clear();
    rig.app->onConvert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason, "writing a.wav failed at its end: No space left on device");
    EXPECT_EQ(slurp(wave("a.wav")), "old a");
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_NE(rig.ui.messages[0].find(rig.path("a.mp3")), std::string::npos);

    // Without error information, a failing HRESULT alone fails it too.
    rig.world.closeError = NOERRORS;
    rig.world.closeResult = E_FAIL;
    rig.world.closeCause.clear();
    rig.app->onConvert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(slurp(wave("a.wav")), "old a");

    rig.world.closeResult = S_OK;
    rig.app->onConvert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Converted);
    EXPECT_EQ(slurp(wave("a.wav")), "fake 44100");
}

TEST_F(BatchTest, NeverWritesOverItsOwnSource) {
    rig.start();
    rig.app->settings().WaveDir = rig.data.root;  // output beside the sources
    const auto paths = add({"song"});             // no extension: same name
    rig.app->onConvert();
    EXPECT_EQ(slurp(paths[0]), "source");
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 0u);
    EXPECT_EQ(rig.ui.messages.size(), 1u);
}

TEST_F(BatchTest, RefusedWhilePlayingAndUnblockedCursorStartsAtRowOne) {
    rig.start();
    add({"a.mp3", "b.mp3"});
    rig.app->session().mp3Playing = true;
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is playing, please press stop first.");
    EXPECT_TRUE(rig.world.calls.empty());
    rig.app->session().mp3Playing = false;
    rig.app->session().currentRow = 0;
    rig.app->onConvert();
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 2u);
}

TEST_F(BatchTest, MissingComponentsFailEveryFileWithoutCrashing) {
    rig.app = std::make_unique<MainController>(rig.ui.ports(), Components{}, rig.data);
    rig.app->start();
    const std::string a = rig.source("a.mp3");
    rig.ui.chosenFiles = std::vector<std::string>{a};
    rig.app->onAddFiles();
    EXPECT_EQ(rig.app->grid().row(1).cell(kColTitle), "a.mp3");
    rig.app->onConvert();
    ASSERT_EQ(rig.ui.messages.size(), 1u);
    EXPECT_NE(rig.ui.messages[0].find(a), std::string::npos);
    EXPECT_FALSE(rig.app->session().mp3Converting);
}

}  // namespace
}  // namespace quillet::test
