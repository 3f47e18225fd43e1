// The batch conversion against fake components.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "replace/replace.h"
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
    // The name a CreateFile call gave: a temporary in the target's folder.
    static bool isTemporaryOf(const std::string& created, const std::string& target) {
        const auto slash = target.find_last_of('/');
        return created.rfind(target.substr(0, slash + 1), 0) == 0 &&
               qoro::replace::isTemporaryName(created.substr(slash + 1));
    }
};

TEST_F(BatchTest, NoCheckedRowOrCancelConvertsNothing) {
    rig.start();
    rig.convert();
    EXPECT_EQ(rig.ui.messages.back(),
              "Please add at least one mp3 file to the grid and checked it then you can convert it.");
    EXPECT_TRUE(rig.ui.questions.empty());
    add({"a.mp3"});
    rig.app->onUnselectAll();
    rig.convert();
    EXPECT_TRUE(rig.ui.questions.empty());
    rig.app->onCheckAll();
    rig.ui.answers = {false};
    rig.convert();
    EXPECT_EQ(rig.ui.questions.back(), "Now the checked mp3 files in the grid will be converted to Wave files.");
    EXPECT_TRUE(rig.world.calls.empty());
    EXPECT_FALSE(rig.app->session().mp3Converting);
    rig.app->onSwitchMode(M::WavToMp3);
    rig.convert();
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
    rig.convert();
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
    // End of the run: progress complete, idle labels, one summary, row states.
    ASSERT_FALSE(rig.ui.progress.empty());
    EXPECT_EQ(rig.ui.progress.back(), std::make_tuple(size_t{2}, size_t{2}, 0.0));
    EXPECT_FALSE(rig.app->session().mp3Converting);
    EXPECT_EQ(rig.ui.runsStarted, 1);
    EXPECT_EQ(rig.ui.runsEnded, 1);
    EXPECT_EQ(rig.ui.name, "Quillet 2.68");
    EXPECT_EQ(rig.ui.time, "00:00");
    EXPECT_EQ(rig.ui.bitrate, "");
    EXPECT_TRUE(rig.ui.messages.empty());
    ASSERT_EQ(rig.ui.summaries.size(), 1u);
    EXPECT_EQ(rig.ui.summaries[0].headline, "2 converted, 0 failed");
    EXPECT_TRUE(rig.ui.summaries[0].failures.empty());
    EXPECT_EQ(rig.ui.summaries[0].outputFolder, rig.app->settings().WaveDir);
    EXPECT_EQ(rig.ui.rowStates[1].first, RowState::Done);
    EXPECT_EQ(rig.ui.rowStates[2].first, RowState::Plain);
    EXPECT_EQ(rig.ui.rowStates[3].first, RowState::Done);
    EXPECT_EQ(rig.app->grid().rowCount(), 3u);
}

TEST_F(BatchTest, StereoSourceOfFourAndAHalfSecondsIsCopiedWhole) {
    rig.start();
    add({"s.mp3"}, FakeSource{44100, 2, 44100 * 9 / 2, -1});
    rig.convert();
    EXPECT_EQ(fakeFrames(wave("s.wav")), 44100 * 9 / 2);
}

// Before its first file a run removes what killed runs left in its output
// folder (this host's temporaries whose process is gone), nothing else.
TEST_F(BatchTest, ARunFirstRemovesStaleTemporariesOfItsOutputFolder) {
    rig.start();
    add({"a.mp3"});
    std::string ours;  // ".qoro-<this host>-<pid>-<random>.tmp"
    { ours = qoro::replace::Temporary(wave("a.wav")).path().filename().string(); }
    const pid_t child = ::fork();
    if (child == 0) _exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string host = ours.substr(6, 8), random = ours.substr(ours.rfind('-'));
    const auto named = [&](const std::string& h) { return ".qoro-" + h + "-" + std::to_string(child) + random; };
    const std::string stale = named(host), otherHost = named((host[0] == '0' ? "1" : "0") + host.substr(1));
    for (const std::string& name : {stale, otherHost, std::string(".a.qoro-1-2.wav")}) spit(wave(name), "part");
    std::optional<bool> staleAtFirstRead;
    rig.world.onRead = [&] {
        if (!staleAtFirstRead) staleAtFirstRead = std::filesystem::exists(wave(stale));
    };
    rig.convert();
    EXPECT_EQ(staleAtFirstRead, std::optional<bool>(false));
    EXPECT_EQ(fakeFrames(wave("a.wav")), 44100);
    auto left = leftovers(rig.app->settings().WaveDir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".a.qoro-1-2.wav", otherHost}));
}

TEST_F(BatchTest, WavToMp3PassesTheMp3Format) {
    rig.start();
    rig.app->onSwitchMode(M::WavToMp3);
    const auto paths = add({"Song.WaV"});
    rig.app->settings().BitRate1 = 100;
    rig.app->settings().Channels1 = 1;
    rig.app->settings().Frequency1 = 32000;
    rig.convert();
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
    rig.ui.overwriteAnswers = {OverwriteAnswer::No, OverwriteAnswer::Yes};
    rig.convert();
    // Both questions come before anything is written.
    ASSERT_EQ(rig.ui.questions.size(), 3u);
    EXPECT_EQ(rig.ui.questions[1], "The Wave file named " + wave("a.wav") +
                                       " exists,overwrite it?\r\nPress YES will overwrite the exist file.\r\n"
                                       "Press NO will Skip this file.");
    const auto& ev = rig.ui.events;
    EXPECT_LT(std::find(ev.begin(), ev.end(), "overwrite? " + rig.ui.questions[2]),
              std::find(ev.begin(), ev.end(), "run started"));
    EXPECT_EQ(slurp(wave("a.wav")), "old a");
    EXPECT_EQ(slurp(wave("b.wav")), "fake 44100");
    EXPECT_EQ(fakeFrames(wave("c.wav")), 44100);
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 2u);
    EXPECT_TRUE(rig.ui.messages.empty());  // a skipped file is no failure
    EXPECT_EQ(rig.ui.summaries.back().headline, "2 converted, 0 failed, 1 skipped");
    EXPECT_EQ(rig.ui.rowStates[1], std::make_pair(RowState::Skipped, std::string("target exists")));

    // "No to all" keeps every existing target without asking again; "Yes to
    // all" replaces them all.
    spit(wave("b.wav"), "old b");
    rig.ui.questions.clear();
    rig.ui.overwriteAnswers = {OverwriteAnswer::NoToAll};
    rig.convert();
    EXPECT_EQ(rig.ui.questions.size(), 2u);
    EXPECT_EQ(slurp(wave("a.wav")), "old a");
    EXPECT_EQ(slurp(wave("b.wav")), "old b");
    rig.ui.questions.clear();
    rig.ui.overwriteAnswers = {OverwriteAnswer::YesToAll};
    rig.convert();
    EXPECT_EQ(rig.ui.questions.size(), 2u);
    EXPECT_EQ(slurp(wave("a.wav")), "fake 44100");
    EXPECT_EQ(slurp(wave("b.wav")), "fake 44100");

    // Prompt off: replaced without asking.
    rig.app->settings().PromptBeforeOverwrite = 0;
    spit(wave("a.wav"), "old a");
    rig.ui.questions.clear();
    rig.convert();
    EXPECT_EQ(rig.ui.questions.size(), 1u);
    EXPECT_EQ(slurp(wave("a.wav")), "fake 44100");
}

TEST_F(BatchTest, EndOfRunOpensTheFolderThenPlays) {
    rig.start();
    const auto paths = add({"a.mp3"});
    rig.app->settings().OpenDirAfterConvert = 1;
    rig.app->settings().PlayAfterConvert = 1;
    rig.app->session().forward = false;
    rig.convert();
    const auto& ev = rig.ui.events;
    const auto shell = std::find(ev.begin(), ev.end(), "shell " + rig.app->settings().WaveDir);
    const auto play = std::find(ev.begin(), ev.end(), "player open " + paths[0]);
    ASSERT_NE(shell, ev.end());
    ASSERT_NE(play, ev.end());
    EXPECT_LT(shell, play);
    EXPECT_EQ(*std::prev(shell), "summary 1 converted, 0 failed");
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
    rig.convert();
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 2u);  // nothing created for the missing source
    EXPECT_EQ(fakeFrames(wave("broken.wav")), 8820);         // kept as far as it was read
    EXPECT_EQ(fakeFrames(wave("good.wav")), 44100);
    EXPECT_TRUE(rig.ui.messages.empty());
    ASSERT_EQ(rig.ui.summaries.size(), 1u);
    EXPECT_EQ(rig.ui.summaries[0].headline, "1 converted, 2 failed");
    ASSERT_EQ(rig.ui.summaries[0].failures.size(), 2u);
    EXPECT_EQ(rig.ui.summaries[0].failures[0], missing + ": cannot open the source: No such file or directory");
    EXPECT_EQ(rig.ui.summaries[0].failures[1].rfind(broken + ": reading the source stopped part-way", 0), 0u);
    EXPECT_EQ(rig.ui.rowStates[1].first, RowState::Failed);
    EXPECT_EQ(rig.ui.rowStates[1].second, "cannot open the source: No such file or directory");
    EXPECT_EQ(rig.ui.rowStates[2].first, RowState::Failed);
    EXPECT_EQ(rig.ui.rowStates[2].second.rfind("cut short: ", 0), 0u);
    EXPECT_FALSE(rig.app->session().mp3Converting);
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

TEST_F(BatchTest, WriteErrorDropsTheFile) {
    rig.list(M::Mp3ToWav, "3\r\n.\r\n." + rig.path("w.mp3") + "\r\n");
    rig.source("w.mp3", FakeSource{8000, 1, 8000, -1});
    rig.world.writeErrorAt = 2400;
    rig.world.writeCause = "No space left on device";
    rig.start();
    rig.convert();
    // A target that could not be written completely is not published.
    EXPECT_FALSE(std::filesystem::exists(wave("w.wav")));
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    EXPECT_EQ(rig.callsStartingWith("dst.CloseFile"), 1u);
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 1u);
    const auto& results = rig.app->converter().results();
    ASSERT_EQ(results.size(), 1u);  // the blank line of the list is no row
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason, "writing w.wav failed: No space left on device");
    ASSERT_EQ(rig.ui.summaries.size(), 1u);
    ASSERT_EQ(rig.ui.summaries[0].failures.size(), 1u);
    EXPECT_EQ(rig.ui.summaries[0].failures[0].rfind(rig.path("w.mp3") + ": ", 0), 0u);
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
    rig.convert();
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 0u);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason,
              "output format refused (WAV, 44100 Hz, 2 channel(s), 16 bits): the component does not write it");
    EXPECT_EQ(slurp(wave("a.wav")), "old a");

    rig.world.refuseFormat = false;
    rig.world.createError = FILEACCESS;
    rig.world.createCause = "Permission denied";
    rig.convert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason, "cannot create a.wav: Permission denied");
    EXPECT_EQ(rig.callsStartingWith("dst.WriteFile"), 0u);

    // The component reports that the end of the file could not be written.
    rig.world.createError = NOERRORS;
    rig.world.closeError = FILEACCESS;
    rig.world.closeCause = "No space left on device";
    rig.ui.messages.clear();
    rig.convert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(results[0].reason, "writing a.wav failed at its end: No space left on device");
    EXPECT_EQ(slurp(wave("a.wav")), "old a");
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    ASSERT_EQ(rig.ui.summaries.back().failures.size(), 1u);
    EXPECT_NE(rig.ui.summaries.back().failures[0].find(rig.path("a.mp3")), std::string::npos);

    // Without error information, a failing HRESULT alone fails it too.
    rig.world.closeError = NOERRORS;
    rig.world.closeResult = E_FAIL;
    rig.world.closeCause.clear();
    rig.convert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Failed);
    EXPECT_EQ(slurp(wave("a.wav")), "old a");

    rig.world.closeResult = S_OK;
    rig.convert();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, FileResult::Converted);
    EXPECT_EQ(slurp(wave("a.wav")), "fake 44100");
}

// A target that is a file of the list is settled before the run: numbered
// when the user says so, skipped otherwise; the source is never touched.
TEST_F(BatchTest, NeverWritesOverItsOwnSource) {
    rig.start();
    rig.app->settings().WaveDir = rig.data.root;  // output beside the sources
    const auto paths = add({"song"});             // no extension: same name
    rig.ui.collisionChoice = CollisionChoice::Skip;
    rig.convert();
    EXPECT_EQ(slurp(paths[0]), "source");
    EXPECT_EQ(rig.callsStartingWith("dst.CreateFile"), 0u);
    ASSERT_EQ(rig.ui.collisionsShown.size(), 1u);
    EXPECT_EQ(rig.ui.collisionsShown[0],
              std::vector<std::string>{paths[0] + " -> " + paths[0] + ": the target is a file in the list"});
    EXPECT_EQ(rig.ui.summaries.back().headline, "0 converted, 0 failed, 1 skipped");

    rig.ui.collisionChoice = CollisionChoice::Number;
    rig.convert();
    EXPECT_EQ(slurp(paths[0]), "source");
    EXPECT_EQ(fakeFrames(paths[0] + " (2)"), 44100);
}

// Two sources of one name in different folders: found before anything is
// written, then numbered, skipped, or the run is not started.
TEST_F(BatchTest, SameNamedSourcesNeverOverwriteEachOther) {
    rig.start();
    std::filesystem::create_directories(rig.path("a"));
    std::filesystem::create_directories(rig.path("b"));
    const std::string a = rig.source("a/x.mp3", FakeSource{8000, 1, 8000, -1});
    const std::string b = rig.source("b/x.mp3", FakeSource{8000, 1, 4000, -1});
    const std::string c = rig.source("b/x (2).mp3", FakeSource{8000, 1, 2000, -1});
    rig.ui.chosenFiles = std::vector<std::string>{a, b, c};
    rig.app->onAddFiles();

    rig.ui.collisionChoice = CollisionChoice::Cancel;
    rig.convert();
    EXPECT_TRUE(rig.world.calls.empty());
    EXPECT_EQ(rig.ui.runsStarted, 0);
    EXPECT_FALSE(rig.app->session().mp3Converting);

    rig.ui.collisionChoice = CollisionChoice::Skip;
    rig.convert();
    EXPECT_EQ(fakeFrames(wave("x.wav")), 8000);
    EXPECT_EQ(fakeFrames(wave("x (2).wav")), 2000);
    EXPECT_EQ(rig.ui.summaries.back().headline, "2 converted, 0 failed, 1 skipped");
    EXPECT_EQ(rig.ui.rowStates[2].first, RowState::Skipped);

    // Numbered: the later x.mp3 takes the next name no other file of the run
    // claims ("x (2).wav" is c's).
    rig.ui.collisionChoice = CollisionChoice::Number;
    rig.convert();
    ASSERT_EQ(rig.ui.collisionsShown.back().size(), 1u);
    EXPECT_EQ(rig.ui.collisionsShown.back()[0],
              b + " -> " + wave("x.wav") + ": another file in the list has the same target");
    EXPECT_EQ(fakeFrames(wave("x.wav")), 8000);
    EXPECT_EQ(fakeFrames(wave("x (3).wav")), 4000);
    EXPECT_EQ(fakeFrames(wave("x (2).wav")), 2000);
    EXPECT_EQ(rig.ui.summaries.back().headline, "3 converted, 0 failed");
}

TEST(RunPlanning, NumberedNamesKeepTheExtensionAndTheFolder) {
    EXPECT_EQ(numberedName("/out/x.wav", 2), "/out/x (2).wav");
    EXPECT_EQ(numberedName("/out/a.b.mp3", 3), "/out/a.b (3).mp3");
    EXPECT_EQ(numberedName("/out.d/song", 2), "/out.d/song (2)");
    EXPECT_EQ(numberedName("/out/.hidden", 2), "/out/.hidden (2)");
}

// Playback walks its own cursor; a run takes every checked row wherever
// that cursor stands.
TEST_F(BatchTest, EveryCheckedRowConvertsWhateverPlaybackDidBefore) {
    rig.start();
    add({"a.mp3", "b.mp3", "c.mp3"});
    rig.app->onPlay();
    for (int i = 0; i < 5 && rig.app->session().mp3Playing; ++i) rig.app->onEndOfFile();
    ASSERT_FALSE(rig.app->session().mp3Playing);  // played to its end
    rig.convert();
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 3u);
    EXPECT_EQ(rig.ui.summaries.back().headline, "3 converted, 0 failed");

    // A cursor left beyond the end of a shorter list, or at 0.
    for (size_t cursor : {size_t{0}, size_t{2}, size_t{7}}) {
        rig.app->session().currentRow = cursor;
        rig.convert();
        EXPECT_EQ(rig.ui.summaries.back().headline, "3 converted, 0 failed") << cursor;
        EXPECT_EQ(rig.app->session().currentRow, cursor);
    }
}

TEST_F(BatchTest, RefusedWhilePlayingOrConverting) {
    rig.start();
    add({"a.mp3", "b.mp3"}, FakeSource{8000, 1, 80000, -1});
    rig.app->session().mp3Playing = true;
    rig.convert();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is playing, please press stop first.");
    EXPECT_TRUE(rig.world.calls.empty());
    rig.app->session().mp3Playing = false;

    // A second Convert while the run lasts says so and starts nothing; grid
    // commands are refused as well.
    std::atomic<bool> release{false};
    rig.world.onRead = [&] {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    rig.app->onConvert();
    EXPECT_TRUE(rig.app->runActive());
    rig.app->onConvert();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting, please wait for finishing.");
    rig.app->onClearAll();
    EXPECT_EQ(rig.app->grid().rowCount(), 2u);
    release = true;
    rig.app->converter().waitForRun(std::chrono::milliseconds(5));
    EXPECT_EQ(rig.ui.runsStarted, 1);
    EXPECT_EQ(rig.ui.summaries.back().headline, "2 converted, 0 failed");
}

// Cancel stops the file under way after its current block, drops its
// temporary, and begins no other file.
TEST_F(BatchTest, CancelStopsAfterTheCurrentBlockAndLeavesNothing) {
    rig.start();
    add({"a.mp3", "b.mp3", "c.mp3"}, FakeSource{8000, 1, 8000 * 60, -1});
    // The fifth read holds the worker until Cancel has been given on the
    // controller's own thread, as the window gives it.
    std::atomic<int> reads{0};
    std::atomic<bool> cancelled{false};
    rig.world.onRead = [&] {
        if (++reads == 5)
            while (!cancelled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    rig.app->onConvert();
    while (reads.load() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    rig.app->onCancel();
    cancelled = true;
    rig.app->converter().waitForRun(std::chrono::milliseconds(5));
    EXPECT_LE(reads.load() - 5, 1);
    EXPECT_EQ(rig.callsStartingWith("src.OpenFile"), 1u);
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) EXPECT_FALSE(std::filesystem::exists(wave(name))) << name;
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    EXPECT_EQ(rig.ui.summaries.back().headline, "0 converted, 0 failed, 3 cancelled");
    EXPECT_EQ(rig.ui.rowStates[1].first, RowState::Cancelled);
    EXPECT_EQ(rig.ui.rowStates[3].first, RowState::Cancelled);
    EXPECT_FALSE(rig.app->session().mp3Converting);
    EXPECT_FALSE(rig.app->runActive());
}

// Quitting in the middle of a run ends it without a summary and without a
// half-written file.
TEST_F(BatchTest, QuitDuringARunLeavesNoPartialFile) {
    rig.start();
    add({"a.mp3"}, FakeSource{8000, 1, 8000 * 600, -1});
    std::atomic<int> reads{0};
    rig.world.onRead = [&] {  // slow enough that the run outlasts the quit
        if (++reads > 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    rig.app->onConvert();
    while (reads.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(rig.app->onQuit());
    EXPECT_FALSE(rig.app->runActive());
    EXPECT_FALSE(std::filesystem::exists(wave("a.wav")));
    EXPECT_TRUE(leftovers(rig.app->settings().WaveDir).empty());
    EXPECT_TRUE(rig.ui.summaries.empty());
    EXPECT_TRUE(rig.ui.closed);
}

TEST_F(BatchTest, MissingComponentsFailEveryFileWithoutCrashing) {
    rig.app = std::make_unique<MainController>(rig.ui.ports(), Components{}, rig.data);
    rig.app->session().workers = 1;
    rig.app->session().makeWorkerParts = [] { return Components{}; };
    rig.app->start();
    const std::string a = rig.source("a.mp3");
    rig.ui.chosenFiles = std::vector<std::string>{a};
    rig.app->onAddFiles();
    EXPECT_EQ(rig.app->grid().row(1).cell(kColTitle), "a.mp3");
    rig.convert();
    ASSERT_EQ(rig.ui.summaries.size(), 1u);
    ASSERT_EQ(rig.ui.summaries[0].failures.size(), 1u);
    EXPECT_EQ(rig.ui.summaries[0].failures[0], a + ": the audio file component could not be created");
    EXPECT_FALSE(rig.app->session().mp3Converting);
}

}  // namespace
}  // namespace quillet::test
