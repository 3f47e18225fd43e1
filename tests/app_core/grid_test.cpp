// The file grid: list files byte for byte, adding, checking and clearing,
// busy checks, mode switches and quitting.
#include <gtest/gtest.h>

#include "rig.h"

namespace quillet::test {
namespace {

using M = ConversionMode;

TEST(ListFile, LoadRebuildsNumberTitleAndDuration) {
    Rig rig;
    const std::string a = rig.source("a.mp3", {}, {"  Tagged Title", 247900, 128000, 44100});
    const std::string b = rig.source("b.mp3", {}, {"   ", 1000, 0, 0});
    rig.list(M::Mp3ToWav, "2\r\n." + a + "\r\n " + b + "\r\n");
    rig.start();
    const FileGrid& g = rig.app->grid();
    ASSERT_EQ(g.rowCount(), 2u);
    EXPECT_EQ(g.row(1).cells, (std::array<std::string, 5>{".", "1", "  Tagged Title", "04:07", a}));
    EXPECT_EQ(g.row(2).cells, (std::array<std::string, 5>{"", "2", "b.mp3", "00:01", b}));
    EXPECT_EQ(rig.ui.rowCount, 2u);
    EXPECT_EQ(rig.ui.rows[2][2], "b.mp3");
}

TEST(ListFile, WavModeTitlesAreFileNamesAndMissingFilesStillShow) {
    Rig rig;
    const std::string a = rig.source("x.wav", {}, {"Ignored", 65000, 0, 0});
    rig.list(M::WavToMp3, "2\n." + a + "\n./nowhere/gone.wav\n");  // bare LF lines read too
    rig.start();
    rig.app->onSwitchMode(M::WavToMp3);
    const FileGrid& g = rig.app->grid();
    ASSERT_EQ(g.rowCount(), 2u);
    EXPECT_EQ(g.row(1).cell(kColTitle), "x.wav");
    EXPECT_EQ(g.row(1).cell(kColDuration), "01:05");
    EXPECT_EQ(g.row(2).cell(kColTitle), "gone.wav");
    EXPECT_EQ(g.row(2).cell(kColDuration), "00:00");
}

TEST(ListFile, DeclaredCountBeyondTheLinesGivesEmptyRows) {
    Rig rig;
    const std::string a = rig.source("a.mp3");
    rig.list(M::Mp3ToWav, "3\r\n." + a + "\r\n");
    rig.start();
    const FileGrid& g = rig.app->grid();
    ASSERT_EQ(g.rowCount(), 3u);
    EXPECT_EQ(g.row(3).cells, (std::array<std::string, 5>{}));
    // A damaged count does not allocate without end.
    rig.list(M::WavToMp3, "2000000000\r\n");
    rig.app->onSwitchMode(M::WavToMp3);
    EXPECT_EQ(rig.app->grid().rowCount(), 200u);
    // More lines than declared: the count wins.
    rig.list(M::Mp3ToWav, "1\r\n." + a + "\r\n./b.mp3\r\n");
    rig.app->onSwitchMode(M::Mp3ToWav);
    EXPECT_EQ(rig.app->grid().rowCount(), 1u);
}

TEST(ListFile, SavedByteForByteOnModeSwitchAndQuit) {
    Rig rig;
    rig.start();
    const std::string a = rig.source("one.mp3"), b = rig.source("two.mp3");
    rig.ui.chosenFiles = std::vector<std::string>{a, "  " + b + " "};
    rig.app->onAddFiles();
    rig.app->onCellClicked(1, 2);  // uncheck row 2
    rig.app->onSwitchMode(M::WavToMp3);
    EXPECT_EQ(slurp(rig.data.listFile(M::Mp3ToWav)), "2\r\n." + a + "\r\n " + b + "\r\n");
    EXPECT_EQ(slurp(rig.data.listFile(M::WavToMp3)), "0\r\n");
    EXPECT_EQ(rig.app->grid().rowCount(), 0u);
    EXPECT_EQ(rig.ui.modeShown, M::WavToMp3);

    const std::string w = rig.source("w.wav");
    rig.ui.chosenFiles = std::vector<std::string>{w};
    rig.app->onAddFiles();
    EXPECT_EQ(rig.ui.events[rig.ui.events.size() - 1], "openFiles wav files(*.wav)|*.wav||");
    rig.ui.answers = {false};
    EXPECT_FALSE(rig.app->onQuit());
    EXPECT_EQ(rig.ui.questions.back(), "Do You want to quit Quillet 2.68 ?");
    EXPECT_FALSE(rig.ui.closed);
    EXPECT_TRUE(rig.app->onQuit());
    EXPECT_TRUE(rig.ui.closed);
    EXPECT_EQ(rig.ui.rowCount, 0u);
    EXPECT_EQ(slurp(rig.data.listFile(M::WavToMp3)), "1\r\n." + w + "\r\n");
}

TEST(ListFile, SwitchingToTheActiveModeChangesNothing) {
    Rig rig;
    rig.start();
    rig.list(M::Mp3ToWav, "garbage that would be rewritten");
    rig.app->onSwitchMode(M::Mp3ToWav);
    EXPECT_EQ(slurp(rig.data.listFile(M::Mp3ToWav)), "garbage that would be rewritten");
    EXPECT_EQ(rig.app->grid().rowCount(), 0u);
}

TEST(Grid, AddSkipsKnownPathsButNotOtherCase) {
    Rig rig;
    rig.start();
    const std::string a = rig.source("a.mp3", {}, {"A", 3000, 0, 0});
    rig.ui.chosenFiles = std::vector<std::string>{a};
    rig.app->onAddFiles();
    rig.ui.chosenFiles = std::vector<std::string>{a, rig.path("A.MP3"), a + " "};
    rig.app->onAddFiles();
    const FileGrid& g = rig.app->grid();
    ASSERT_EQ(g.rowCount(), 2u);
    EXPECT_EQ(g.row(2).cells, (std::array<std::string, 5>{".", "2", "A.MP3", "00:00", rig.path("A.MP3")}));
    EXPECT_EQ(g.row(1).cell(kColTitle), "A");
    // Cancel in the dialog changes nothing.
    rig.ui.chosenFiles.reset();
    rig.app->onAddFiles();
    EXPECT_EQ(g.rowCount(), 2u);
}

TEST(Grid, ClearCommandsRenumberAndMoveTheCursor) {
    Rig rig;
    rig.start();
    std::vector<std::string> paths;
    for (const char* n : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"}) paths.push_back(rig.source(n));
    rig.ui.chosenFiles = paths;
    rig.app->onAddFiles();
    rig.app->onCellClicked(1, 2);
    rig.app->onCellClicked(5, 4);
    rig.app->onCellClicked(1, 99);  // outside: ignored
    EXPECT_EQ(rig.ui.rows[2][0], "");
    rig.app->session().currentRow = 4;
    rig.app->onClearSelected();
    const FileGrid& g = rig.app->grid();
    ASSERT_EQ(g.rowCount(), 2u);
    EXPECT_EQ(g.row(1).cell(kColPath), paths[1]);
    EXPECT_EQ(g.row(2).cell(kColPath), paths[3]);
    EXPECT_EQ(g.row(2).cell(kColNumber), "2");
    EXPECT_EQ(rig.app->session().currentRow, 1u);
    EXPECT_EQ(rig.ui.rowCount, 2u);

    rig.app->onCheckAll();
    EXPECT_TRUE(g.row(1).checked() && g.row(2).checked());
    rig.app->onCellClicked(1, 1);
    rig.app->session().currentRow = 2;
    rig.app->onClearUnselected();
    ASSERT_EQ(g.rowCount(), 1u);
    EXPECT_EQ(g.row(1).cell(kColPath), paths[3]);
    EXPECT_EQ(g.row(1).cell(kColNumber), "1");
    EXPECT_EQ(rig.app->session().currentRow, 2u);
    rig.app->onUnselectAll();
    EXPECT_FALSE(g.row(1).checked());
    rig.app->onClearAll();
    EXPECT_EQ(g.rowCount(), 0u);
    EXPECT_EQ(rig.ui.rowCount, 0u);
}

TEST(Grid, BusyFlagsRefuseInTheirOrder) {
    Rig rig;
    rig.start();
    Session& s = rig.app->session();
    s.wavConverting = true;
    s.mp3Converting = true;
    rig.app->onCheckAll();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is Converting, please wait for finishing.");
    s.wavPlaying = true;
    s.mp3Converting = false;
    rig.app->onSwitchMode(M::WavToMp3);
    EXPECT_EQ(rig.ui.messages.back(), "The wav files is playing, please press stop first.");
    EXPECT_EQ(rig.app->mode(), M::Mp3ToWav);
    s.mp3Playing = true;
    rig.ui.chosenFiles = std::vector<std::string>{rig.source("x.mp3")};
    rig.app->onAddFiles();
    EXPECT_EQ(rig.ui.messages.back(), "The mp3 files is playing, please press stop first.");
    EXPECT_EQ(rig.app->grid().rowCount(), 0u);
    s.mp3Playing = s.wavPlaying = false;
    rig.app->onClearAll();
    EXPECT_EQ(rig.ui.messages.back(), "The wav files is Converting, please wait for finishing.");
    const size_t shown = rig.ui.messages.size();
    rig.app->onHelp();  // help, options, about, minimise and exit do not check
    EXPECT_EQ(rig.ui.messages.size(), shown);
    EXPECT_EQ(rig.ui.opened.back(), rig.data.root + "Quillet.html");
    EXPECT_EQ(rig.ui.events.back(), "shell max " + rig.data.root + "Quillet.html");
}

}  // namespace
}  // namespace quillet::test
