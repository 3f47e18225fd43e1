// Files and folders dropped on the grid: which audio files they give, in
// which order, and what is passed over (other files, pipes, link loops,
// unreadable folders).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/dropped_files.h"
#include "test_support.h"

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using M = ConversionMode;
using Paths = std::vector<std::string>;

// root/
//   .mp3  A.MP3  a-sub/x.mp3  b.mp3  c.wav  d.WAV  dangling.mp3 -> nowhere
//   fifo.mp3 (a pipe)  folder.mp3/w.mp3  link.mp3 -> sub/z.mp3  loop -> .
//   notes.txt  mp3  sub/{deeper/{y.Mp3, up -> ../..}, z.mp3, z.mp3.txt}
struct Tree {
    qoro::test::TempDir dir;
    std::string root = (dir / "root").string();

    Tree() {
        for (const char* folder : {"a-sub", "folder.mp3", "sub/deeper"}) fs::create_directories(dir / "root" / folder);
        for (const char* file : {".mp3", "A.MP3", "a-sub/x.mp3", "b.mp3", "c.wav", "d.WAV", "folder.mp3/w.mp3",
                                 "notes.txt", "mp3", "sub/deeper/y.Mp3", "sub/z.mp3", "sub/z.mp3.txt"})
            std::ofstream(dir / "root" / file) << "data";
        fs::create_symlink(dir / "root/nowhere", dir / "root/dangling.mp3");
        fs::create_symlink("sub/z.mp3", dir / "root/link.mp3");
        fs::create_symlink(".", dir / "root/loop");
        fs::create_symlink("../..", dir / "root/sub/deeper/up");
        ::mkfifo((root + "/fifo.mp3").c_str(), 0644);
    }
    std::string at(const std::string& name) const { return root + "/" + name; }
};

TEST(DroppedFiles, FolderGivesItsAudioFilesInNameOrderOnceEach) {
    Tree t;
    // Links are followed, but the loop back to root and the one from deeper
    // up to root are walked no second time; sub/z.mp3 came up before as
    // link.mp3; the pipe is passed over without being opened.
    EXPECT_EQ(audioFilesIn({t.root}, M::Mp3ToWav),
              (Paths{t.at("A.MP3"), t.at("a-sub/x.mp3"), t.at("b.mp3"), t.at("folder.mp3/w.mp3"), t.at("link.mp3"),
                     t.at("sub/deeper/y.Mp3")}));
    EXPECT_EQ(audioFilesIn({t.root + "/"}, M::WavToMp3), (Paths{t.at("c.wav"), t.at("d.WAV")}));
}

TEST(DroppedFiles, GivenPathsKeepTheirOrderAndOtherThingsAreLeftOut) {
    Tree t;
    fs::remove(t.at("sub/deeper/up"));  // walking sub first would reach root through it
    const Paths given = {t.at("b.mp3"),     t.at("notes.txt"),   t.at("missing.mp3"), t.at("sub"),   "",
                         t.at("b.mp3"),     t.root + "//b.mp3",  t.root + "/",        t.at("c.wav"), t.at("fifo.mp3"),
                         t.at("sub/z.mp3"), t.at("dangling.mp3")};
    // sub is walked where it stands; when root comes sub is not walked
    // again, and files already listed (under any name: "//", link.mp3) are
    // not repeated.
    EXPECT_EQ(audioFilesIn(given, M::Mp3ToWav), (Paths{t.at("b.mp3"), t.at("sub/deeper/y.Mp3"), t.at("sub/z.mp3"),
                                                       t.at("A.MP3"), t.at("a-sub/x.mp3"), t.at("folder.mp3/w.mp3")}));
    EXPECT_EQ(audioFilesIn(given, M::WavToMp3), (Paths{t.at("c.wav"), t.at("d.WAV")}));
    EXPECT_TRUE(audioFilesIn({}, M::Mp3ToWav).empty());
    EXPECT_TRUE(audioFilesIn({t.at("nowhere/at/all")}, M::Mp3ToWav).empty());
}

TEST(DroppedFiles, ExtensionIsMatchedInAnyCaseAndNeedsANameBeforeIt) {
    EXPECT_TRUE(isAudioFileOf("/m/a.mp3", M::Mp3ToWav));
    EXPECT_TRUE(isAudioFileOf("/m/a.mP3", M::Mp3ToWav));
    EXPECT_TRUE(isAudioFileOf("a.WAV", M::WavToMp3));
    EXPECT_TRUE(isAudioFileOf("/m/x.wav.mp3", M::Mp3ToWav));
    EXPECT_FALSE(isAudioFileOf("/m/a.mp3", M::WavToMp3));
    EXPECT_FALSE(isAudioFileOf("/m/.mp3", M::Mp3ToWav));
    EXPECT_FALSE(isAudioFileOf("/m.mp3/", M::Mp3ToWav));
    EXPECT_FALSE(isAudioFileOf("/m/amp3", M::Mp3ToWav));
    EXPECT_FALSE(isAudioFileOf("/m/a.mp3 ", M::Mp3ToWav));
    EXPECT_FALSE(isAudioFileOf("", M::Mp3ToWav));
}

TEST(DroppedFiles, UnreadableFolderIsPassedOver) {
    Tree t;
    fs::create_directories(t.at("locked/inner"));
    std::ofstream(t.at("locked/inner/q.mp3")) << "data";
    fs::permissions(t.at("locked"), fs::perms::none);
    const Paths found = audioFilesIn({t.at("locked"), t.at("b.mp3")}, M::Mp3ToWav);
    fs::permissions(t.at("locked"), fs::perms::owner_all);
    // Root reads every folder; anyone else gets only the readable file.
    if (::geteuid() == 0)
        EXPECT_EQ(found, (Paths{t.at("locked/inner/q.mp3"), t.at("b.mp3")}));
    else
        EXPECT_EQ(found, (Paths{t.at("b.mp3")}));
}

}  // namespace
}  // namespace quillet::test
