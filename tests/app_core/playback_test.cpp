// Playback walks: checked rows, direction, cycling, pause/resume, the timer.
#include <gtest/gtest.h>

#include "rig.h"

namespace quillet::test {
namespace {

using M = ConversionMode;

struct PlaybackTest : ::testing::Test {
    Rig rig;
    std::vector<std::string> paths;
    // Rows 1 and 3 checked, row 2 not.
    void SetUp() override {
        rig.start();
        for (const char* n : {"r1.mp3", "r2.mp3", "r3.mp3"})
            paths.push_back(rig.source(n, {}, {"", 2000, 192000, 48000}));
        rig.ui.chosenFiles = paths;
        rig.app->onAddFiles();
        rig.app->onCellClicked(1, 2);
    }
    Session& s() { return rig.app->session(); }
};

TEST_F(PlaybackTest, WalksCheckedRowsAndStopsAtTheEnd) {
    rig.app->onPlay();
    EXPECT_EQ(rig.ui.playerOpens(), std::vector<std::string>{paths[0]});
    EXPECT_TRUE(s().mp3Playing);
    EXPECT_EQ(rig.ui.name, "1. r1.mp3");
    EXPECT_EQ(rig.ui.duration, "00:02");
    EXPECT_EQ(rig.ui.bitrate, "192");
    EXPECT_EQ(rig.ui.frequency, "48");
    rig.app->onEndOfFile();
    EXPECT_EQ(rig.ui.playerOpens(), (std::vector<std::string>{paths[0], paths[2]}));
    EXPECT_EQ(s().currentRow, 3u);
    rig.app->onEndOfFile();
    EXPECT_FALSE(s().mp3Playing);
    EXPECT_EQ(rig.ui.playerOpens().size(), 2u);
    EXPECT_EQ(rig.ui.name, "Quillet 2.68");
    EXPECT_EQ(rig.ui.time, "00:00");
    EXPECT_EQ(s().currentRow, 4u);  // outside: the next Play only rewinds
    rig.app->onPlay();
    EXPECT_EQ(rig.ui.playerOpens().size(), 2u);
    EXPECT_EQ(s().currentRow, 1u);
    rig.app->onPlay();
    EXPECT_EQ(rig.ui.playerOpens().size(), 3u);
}

TEST_F(PlaybackTest, CycleWrapsToTheFirstCheckedRow) {
    rig.app->settings().PlayInACycle = 1;
    rig.app->onPlay();
    rig.app->onEndOfFile();
    rig.app->onEndOfFile();
    EXPECT_EQ(rig.ui.playerOpens(), (std::vector<std::string>{paths[0], paths[2], paths[0]}));
    EXPECT_TRUE(s().mp3Playing);
}

TEST_F(PlaybackTest, StepBackFromRowOne) {
    rig.app->onPlay();
    rig.app->onStepBack();
    EXPECT_EQ(s().currentRow, 0u);
    EXPECT_FALSE(s().mp3Playing);
    EXPECT_TRUE(s().forward);
    EXPECT_EQ(rig.ui.events.back(), "labels reset");

    rig.app->settings().PlayInACycle = 1;
    s().currentRow = 1;
    rig.app->onPlay();
    rig.app->onStepBack();  // cycling: row 1 again, not the last row
    EXPECT_EQ(rig.ui.playerOpens().back(), paths[0]);
    EXPECT_EQ(rig.ui.playerOpens().size(), 3u);
    EXPECT_EQ(s().currentRow, 1u);
}

TEST_F(PlaybackTest, StepBackSkipsUncheckedRowsAndTheDirectionSticks) {
    rig.app->onCellClicked(1, 2);  // all three checked again
    s().currentRow = 3;
    rig.app->onPlay();
    rig.app->onCellClicked(1, 2);  // row 2 unchecked while playing
    rig.app->onStepBack();
    EXPECT_EQ(rig.ui.playerOpens().back(), paths[0]);
    EXPECT_FALSE(s().forward);
    rig.app->onStepForward();
    EXPECT_EQ(rig.ui.playerOpens().back(), paths[2]);
    EXPECT_TRUE(s().forward);
}

TEST_F(PlaybackTest, PauseThenPlayResumes) {
    rig.app->onPlay();
    rig.app->onPause();
    EXPECT_EQ(rig.ui.state, MediaPlayer::Paused);
    s().forward = false;
    rig.app->onPlay();
    EXPECT_EQ(rig.ui.events.back(), "player play");
    EXPECT_EQ(rig.ui.playerOpens().size(), 1u);
    EXPECT_TRUE(s().forward);
    rig.app->onPause();
    rig.app->onPause();
    EXPECT_EQ(rig.ui.events.back(), "player play");
    rig.ui.state = MediaPlayer::Other;
    const size_t n = rig.ui.events.size();
    rig.app->onPause();
    EXPECT_EQ(rig.ui.events.size(), n);
}

TEST_F(PlaybackTest, StopResetsAndTimerShowsThePosition) {
    rig.app->onPlay();
    rig.ui.pos = 65.9;
    rig.app->onTimer();
    EXPECT_EQ(rig.ui.time, "01:05");
    rig.ui.state = MediaPlayer::Paused;
    rig.ui.pos = 80;
    rig.app->onTimer();
    EXPECT_EQ(rig.ui.time, "01:05");
    rig.ui.state = MediaPlayer::Playing;
    rig.ui.pos = -3;
    rig.app->onTimer();
    EXPECT_EQ(rig.ui.time, "00:00");
    s().currentRow = 3;
    rig.app->onStop();
    EXPECT_FALSE(s().mp3Playing);
    EXPECT_EQ(rig.ui.events.back(), "labels reset");
    EXPECT_EQ(rig.ui.state, MediaPlayer::Other);
    EXPECT_EQ(s().currentRow, 1u);
    rig.ui.pos = 10;
    rig.app->onTimer();  // not playing: the display stays
    EXPECT_EQ(rig.ui.time, "00:00");
}

TEST_F(PlaybackTest, ConvertingRefusesWithEachCommandsOwnText) {
    s().mp3Converting = true;
    rig.app->onPlay();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting, please wait for finishing.");
    rig.app->onPause();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting,  please wait for finishing.");
    rig.app->onStop();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting, please waiting for finishing.");
    rig.app->onStepForward();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting, please wait for finishing.");
    s().forward = true;
    rig.app->onStepBack();
    EXPECT_FALSE(s().forward);  // the direction changes in every case
    EXPECT_TRUE(rig.ui.playerOpens().empty());
    s().mp3Converting = false;
    rig.app->session().mode = M::WavToMp3;  // the wav side's own wording
    s().wavConverting = true;
    rig.app->onStepForward();
    EXPECT_EQ(rig.ui.messages.back(), "The wav files is Converting, you must stop first.");
}

TEST_F(PlaybackTest, NoCheckedRowAndAllUncheckedWhilePlaying) {
    rig.app->onPlay();
    rig.app->onUnselectAll();  // refused: playing
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is playing, please press stop first.");
    rig.app->onCellClicked(1, 1);
    rig.app->onCellClicked(1, 3);
    rig.app->onEndOfFile();
    EXPECT_EQ(rig.ui.messages.back(),
              "Please add at least one mp3 file to the grid and checked it then you can play it.");
    EXPECT_TRUE(s().mp3Playing);  // until Stop
    rig.app->onStop();
    EXPECT_FALSE(s().mp3Playing);
}

}  // namespace
}  // namespace quillet::test
