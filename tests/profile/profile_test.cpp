// Initialisation files: reads with defaults and truncation, single-key writes
// that keep the rest of the file, case-insensitive names, atomic replacement.
#include "profile/profile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace profile = qoro::profile;
using namespace qoro::test;

namespace {

std::string readText(const fs::path& file) {
    auto b = readBytes(file);
    return std::string(b.begin(), b.end());
}

void writeText(const fs::path& file, const std::string& text) {
    writeBytes(file, std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace

TEST(Profile, ReadsValuesDefaultsAndTruncates) {
    TempDir dir;
    std::string ini = (dir / "OPTION.INI").string();
    writeText(ini,
              "; options\r\n"
              "[Other]\r\n"
              "WaveDir=/wrong/\r\n"
              "[settings]\r\n"
              "  wavedir = /music/Wave Files/  \r\n"
              "Quoted=\"  padded  \"\r\n"
              "Empty=\r\n"
              "BitRate1=192kbps\r\n"
              "Neg= -1\r\n"
              "Huge=99999999999\r\n"
              "Junk=abc\r\n"
              "[Settings]\r\n"
              "Late=never seen\r\n");
    char buf[260];
    EXPECT_EQ(profile::getString("Settings", "WaveDir", "Wrong directory", buf, sizeof buf, ini), 18u);
    EXPECT_STREQ(buf, "/music/Wave Files/");
    EXPECT_EQ(profile::getString("SETTINGS", "quoted", "", 100, ini), "  padded  ");
    EXPECT_EQ(profile::getString("Settings", "Empty", "dflt", 100, ini), "");
    // Missing key: default, trailing blanks dropped; missing file too.
    EXPECT_EQ(profile::getString("Settings", "Mp3Dir", "Wrong directory  ", 260, ini), "Wrong directory");
    EXPECT_EQ(profile::getString("Settings", "Late", "x", 260, ini), "x");  // only the first section counts
    EXPECT_EQ(profile::getString("Settings", "WaveDir", "none", 260, (dir / "nope.ini").string()), "none");
    // At most size - 1 characters, always terminated.
    char small[6];
    EXPECT_EQ(profile::getString("Settings", "WaveDir", "", small, sizeof small, ini), 5u);
    EXPECT_STREQ(small, "/musi");
    EXPECT_EQ(profile::getString("Settings", "Nope", "Wrong directory", 8, ini), "Wrong d");
    EXPECT_EQ(profile::getString("Settings", "WaveDir", "", nullptr, 0, ini), 0u);
    // Integers.
    EXPECT_EQ(profile::getInt("Settings", "BitRate1", 128, ini), 192);
    EXPECT_EQ(profile::getInt("Settings", "Neg", 5, ini), -1);
    EXPECT_EQ(profile::getInt("Settings", "Junk", 5, ini), 0);
    EXPECT_EQ(profile::getInt("Settings", "Huge", 5, ini), INT32_MAX);
    EXPECT_EQ(profile::getInt("Settings", "Missing", 44100, ini), 44100);
    EXPECT_FALSE(profile::find("Other", "Mp3Dir", ini).has_value());
    EXPECT_EQ(profile::find("other", "WAVEDIR", ini).value_or(""), "/wrong/");
}

TEST(Profile, WritesKeepEveryOtherLine) {
    TempDir dir;
    std::string ini = (dir / "OPTION.INI").string();
    const std::string original =
        "; Quillet options\n"
        "\n"
        "[Settings]\n"
        "# keep me\n"
        "PlayInACycle=0\n"
        "WaveDir=/old/\n"
        "\n"
        "[Later]\n"
        "X=1\n";
    writeText(ini, original);
    ASSERT_TRUE(profile::writeString("settings", "WAVEDIR", "/new/", ini));
    EXPECT_EQ(readText(ini),
              "; Quillet options\n\n[Settings]\n# keep me\nPlayInACycle=0\nWAVEDIR=/new/\n\n[Later]\nX=1\n");
    // A new key goes at the end of its section, before the blank line.
    ASSERT_TRUE(profile::writeString("Settings", "Mp3Dir", "/mp3/", ini));
    EXPECT_EQ(
        readText(ini),
        "; Quillet options\n\n[Settings]\n# keep me\nPlayInACycle=0\nWAVEDIR=/new/\nMp3Dir=/mp3/\n\n[Later]\nX=1\n");
    // A new section goes at the end.
    ASSERT_TRUE(profile::writeString("Extra", "A", "b c", ini));
    EXPECT_TRUE(readText(ini).ends_with("[Later]\nX=1\n\n[Extra]\nA=b c\n")) << readText(ini);
    EXPECT_EQ(profile::getString("Extra", "a", "", 10, ini), "b c");
    // Removing a key drops just its line.
    ASSERT_TRUE(profile::removeKey("SETTINGS", "playinacycle", ini));
    EXPECT_EQ(readText(ini).find("PlayInACycle"), std::string::npos);
    EXPECT_NE(readText(ini).find("# keep me\nWAVEDIR=/new/\n"), std::string::npos);
    EXPECT_TRUE(profile::removeKey("Settings", "NotThere", ini));
}

TEST(Profile, CreatesFileKeepsLineBreaksAndRefusesBadNames) {
    TempDir dir;
    std::string ini = (dir / "OPTION.INI").string();
    ASSERT_TRUE(profile::writeString("Settings", "WaveDir", "/w/", ini));
    ASSERT_TRUE(profile::writeString("Settings", "Mp3Dir", "/m/", ini));
    EXPECT_EQ(readText(ini), "[Settings]\nWaveDir=/w/\nMp3Dir=/m/\n");

    // CRLF files stay CRLF; a last line without a line break gets one.
    std::string crlf = (dir / "crlf.ini").string();
    writeText(crlf, "[Settings]\r\nA=1");
    ASSERT_TRUE(profile::writeString("Settings", "B", "2", crlf));
    EXPECT_EQ(readText(crlf), "[Settings]\r\nA=1\r\nB=2\r\n");

    // Names or values that would break the file are refused; file untouched.
    std::string before = readText(ini);
    EXPECT_FALSE(profile::writeString("Settings", "Key", "two\nlines", ini));
    EXPECT_FALSE(profile::writeString("Settings", "a=b", "x", ini));
    EXPECT_FALSE(profile::writeString("Set]tings", "a", "x", ini));
    EXPECT_FALSE(profile::writeString("Settings", "", "x", ini));
    EXPECT_FALSE(profile::writeString("Settings", "[x", "x", ini));
    EXPECT_EQ(readText(ini), before);

    // A folder that cannot take the temporary file: the write fails cleanly,
    // the old file stays as it was.
    fs::path ro = dir / "ro";
    fs::create_directory(ro);
    std::string roIni = (ro / "OPTION.INI").string();
    writeText(roIni, "[Settings]\nA=1\n");
    ::chmod(ro.c_str(), 0555);
    if (::access(ro.c_str(), W_OK) != 0) {  // root ignores the mode
        EXPECT_FALSE(profile::writeString("Settings", "A", "2", roIni));
        EXPECT_EQ(readText(roIni), "[Settings]\nA=1\n");
    }
    ::chmod(ro.c_str(), 0755);
    // No temporary files are left behind.
    int entries = 0;
    for (auto& e : fs::directory_iterator(dir.path())) entries += e.is_regular_file();
    EXPECT_EQ(entries, 2);
}

TEST(Profile, KeepsPermissionsAndFollowsSymlinks) {
    TempDir dir;
    fs::path real = dir / "real.ini";
    writeText(real, "[S]\nK=1\n");
    ::chmod(real.c_str(), 0600);
    fs::create_symlink(real, dir / "link.ini");
    ASSERT_TRUE(profile::writeString("S", "K", "2", (dir / "link.ini").string()));
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
    EXPECT_EQ(readText(real), "[S]\nK=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Profile, NamesAreComparedWithoutTheBlanksAroundThem) {
    TempDir dir;
    std::string ini = (dir / "OPTION.INI").string();
    writeText(ini, "[ Settings ]\n  WaveDir = /music/\n");
    // Blanks around the names given count as little as those in the file.
    EXPECT_EQ(profile::find(" settings\t", "wavedir ", ini).value_or("missing"), "/music/");
    EXPECT_EQ(profile::getString("Settings", "  WaveDir", "none", 64, ini), "/music/");
    // A write through such names changes the line that is there, and the
    // value it wrote reads back; the same write again changes nothing
    // (found by libFuzzer: the key was added once more on every write).
    ASSERT_TRUE(profile::writeString(" Settings", "\tWaveDir ", "/new/", ini));
    EXPECT_EQ(readText(ini), "[ Settings ]\nWaveDir=/new/\n");
    EXPECT_EQ(profile::find(" Settings", "\tWaveDir ", ini).value_or("missing"), "/new/");
    ASSERT_TRUE(profile::writeString(" Settings", "\tWaveDir ", "/new/", ini));
    EXPECT_EQ(readText(ini), "[ Settings ]\nWaveDir=/new/\n");
    // A new section is written without the blanks, and found again.
    ASSERT_TRUE(profile::writeString("  Extra ", " Key", "v", ini));
    EXPECT_TRUE(readText(ini).ends_with("\n[Extra]\nKey=v\n")) << readText(ini);
    ASSERT_TRUE(profile::writeString("  Extra ", " Key", "w", ini));
    EXPECT_EQ(profile::find("Extra", "Key", ini).value_or("missing"), "w");
    ASSERT_TRUE(profile::removeKey(" Extra", "Key ", ini));
    EXPECT_FALSE(profile::find("Extra", "Key", ini).has_value());
}
