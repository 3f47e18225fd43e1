// The file grid: list files byte for byte, damaged counts and names that
// cannot be rows, atomic saves, adding, checking and clearing, busy checks,
// mode switches and quitting.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

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

// The rows are the path lines present; line 1 never adds or drops any.
TEST(ListFile, DamagedCountsNeitherAddBlankRowsNorDropListedOnes) {
    Rig rig;
    const std::string a = rig.source("a.mp3"), b = rig.source("b.mp3");
    struct Case {
        const char* what;
        std::string text;
        size_t rows;
    };
    const Case cases[] = {
        {"count beyond the lines", "3\r\n." + a + "\r\n", 1},
        {"huge count, no lines", "2000000000\r\n", 0},
        {"count past 32 bits", "99999999999999999999\r\n." + a + "\r\n", 1},
        {"negative count", "-5\r\n." + a + "\r\n " + b + "\r\n", 2},
        {"no digits", "rows\r\n " + a + "\r\n", 1},
        {"count below the lines", "1\r\n." + a + "\r\n " + b + "\r\n", 2},
        {"blank path lines", "4\r\n.\r\n\r\n." + a + "\r\n   \r\n", 1},
        {"no final line break", "2\r\n." + a + "\r\n " + b, 2},
        {"empty file", "", 0},
    };
    rig.start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.list(M::WavToMp3, c.text);
        rig.app->onSwitchMode(M::WavToMp3);
        const FileGrid& g = rig.app->grid();
        ASSERT_EQ(g.rowCount(), c.rows);
        for (size_t i = 1; i <= g.rowCount(); ++i) {
            EXPECT_FALSE(g.row(i).cell(kColPath).empty());
            EXPECT_EQ(g.row(i).cell(kColNumber), std::to_string(i));
        }
        EXPECT_EQ(rig.ui.rowCount, c.rows);
        // Saving writes the rows as they are, under their true count.
        rig.app->onSwitchMode(M::Mp3ToWav);
        const std::string saved = slurp(rig.data.listFile(M::WavToMp3));
        EXPECT_EQ(saved.substr(0, saved.find('\r')), std::to_string(c.rows));
        EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), static_cast<long>(c.rows + 1));
    }
    rig.list(M::WavToMp3, "1\r\n " + a + "\r\n." + b + "\r\n");
    rig.app->onSwitchMode(M::WavToMp3);
    ASSERT_EQ(rig.app->grid().rowCount(), 2u);
    EXPECT_FALSE(rig.app->grid().row(1).checked());
    EXPECT_EQ(rig.app->grid().row(2).cell(kColPath), b);
    EXPECT_TRUE(rig.app->grid().row(2).checked());
}

// A name holding a line break would split its row in two on the next start;
// every control character is kept out of the list in both directions.
TEST(ListFile, NamesWithControlCharactersAreRefusedAndNeverWritten) {
    Rig rig;
    rig.start();
    const std::string good = rig.source("good.mp3");
    const std::vector<std::string> bad = {rig.path("two\nlines.mp3"), rig.path("cr\r.mp3"),    rig.path("tab\t.mp3"),
                                          rig.path("del\x7f.mp3"),    rig.path("esc\x1b.mp3"), rig.path("end.mp3\n")};
    std::vector<std::string> chosen = bad;
    chosen.insert(chosen.begin() + 2, good);
    FileGrid grid;
    const FileGrid::AddResult result = grid.addFiles(chosen, M::Mp3ToWav, &rig.info);
    EXPECT_EQ(result.added, 1u);
    EXPECT_EQ(result.refused, bad);  // as given, in order
    ASSERT_EQ(grid.rowCount(), 1u);
    EXPECT_EQ(grid.row(1).cell(kColPath), good);
    EXPECT_EQ(grid.listText(), "1\r\n." + good + "\r\n");
    // UTF-8 names and spaces are ordinary.
    const std::string utf8 = rig.source("Bj\xc3\xb6rk \xe2\x80\x94 J\xc3\xb3ga.mp3");
    EXPECT_EQ(grid.addFiles({utf8}, M::Mp3ToWav, &rig.info).added, 1u);

    // Through the controller: only the good name reaches the list file.
    rig.ui.chosenFiles = chosen;
    rig.app->onAddFiles();
    ASSERT_EQ(rig.app->grid().rowCount(), 1u);
    rig.app->onSwitchMode(M::WavToMp3);
    EXPECT_EQ(slurp(rig.data.listFile(M::Mp3ToWav)), "1\r\n." + good + "\r\n");

    // A list written by an older program: a tab inside a line does not
    // split it but cannot stay; a name cut by a line break cannot be mended
    // and its halves are what the file says.
    rig.list(M::Mp3ToWav, "3\r\n./m/a\tb.mp3\r\n." + good + "\r\n");
    rig.app->onSwitchMode(M::Mp3ToWav);
    ASSERT_EQ(rig.app->grid().rowCount(), 1u);
    EXPECT_EQ(rig.app->grid().row(1).cell(kColPath), good);
}

// Every change is saved at once, so saving must never leave a half-written
// list behind, and saving an unchanged grid again should cost nothing.
TEST(ListFile, SaveReplacesTheFileWholeAndSkipsUnchangedRewrites) {
    Rig rig;
    const std::string a = rig.source("a.mp3"), b = rig.source("b.mp3");
    FileGrid grid;
    grid.addFiles({a, b}, M::Mp3ToWav, &rig.info);
    const std::string list = rig.path("list.log");
    ASSERT_TRUE(grid.save(list));
    EXPECT_EQ(slurp(list), "2\r\n." + a + "\r\n." + b + "\r\n");
    const auto inode = [](const std::string& f) {
        struct stat st {};
        ::stat(f.c_str(), &st);
        return st.st_ino;
    };
    const auto first = inode(list);

    // Unchanged: the file is not touched.
    ASSERT_TRUE(grid.save(list));
    EXPECT_EQ(inode(list), first);
    // Changed on disk behind the grid's back: written again.
    spit(list, "garbage");
    ASSERT_TRUE(grid.save(list));
    EXPECT_EQ(slurp(list), "2\r\n." + a + "\r\n." + b + "\r\n");
    // A change: a new file renamed into place, with the old one's mode.
    std::filesystem::permissions(list, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto before = inode(list);
    grid.toggle(1);
    ASSERT_TRUE(grid.save(list));
    EXPECT_NE(inode(list), before);
    EXPECT_EQ(slurp(list), "2\r\n " + a + "\r\n." + b + "\r\n");
    EXPECT_EQ(std::filesystem::status(list).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // Nothing but the list (and the sources) is left in the folder.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(rig.dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.mp3", "b.mp3", "list.log"}));

    // A linked list file stays a link; its target takes the rows.
    const std::string target = rig.path("real.log"), link = rig.path("link.log");
    spit(target, "0\r\n");
    std::filesystem::create_symlink(target, link);
    ASSERT_TRUE(grid.save(link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(slurp(target), "2\r\n " + a + "\r\n." + b + "\r\n");

    // A folder that does not exist: failure, and nothing created.
    EXPECT_FALSE(grid.save(rig.path("no/such/list.log")));
    EXPECT_FALSE(std::filesystem::exists(rig.path("no")));
    // A list file that is a folder is not replaced.
    std::filesystem::create_directory(rig.path("dir.log"));
    EXPECT_FALSE(grid.save(rig.path("dir.log")));
    EXPECT_TRUE(std::filesystem::is_directory(rig.path("dir.log")));
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
