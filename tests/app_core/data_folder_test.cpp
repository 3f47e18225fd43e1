// Where the program keeps its files: QUILLET_HOME, the program's own folder
// for a portable or build tree, the user's folder for an installed program;
// and where an installed program's default output folders go: the user's
// music folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/data_folder.h"
#include "core/settings.h"
#include "profile/profile.h"
#include "test_support.h"

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using qoro::test::TempDir;

// Sets (or, for nullopt, removes) an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(InstalledProgramFolder, MatchesAnyListedFolderWithLinksResolved) {
    TempDir tmp;
    fs::create_directories(tmp / "usr/bin");
    fs::create_directories(tmp / "opt/bin");
    fs::create_symlink(tmp / "usr/bin", tmp / "bin");  // a merged /usr's /bin -> /usr/bin
    const std::string usrBin = (tmp / "usr/bin").string();
    const std::string optBin = (tmp / "opt/bin").string();
    const std::string list = optBin + ":" + usrBin;

    EXPECT_TRUE(isInstalledProgramFolder(usrBin, list));
    EXPECT_TRUE(isInstalledProgramFolder(usrBin + "/", list));                  // as programFileFolder() gives it
    EXPECT_TRUE(isInstalledProgramFolder((tmp / "bin").string() + "/", list));  // through the link
    EXPECT_TRUE(isInstalledProgramFolder((tmp / "usr/bin/../bin").string(), list));
    EXPECT_TRUE(isInstalledProgramFolder(optBin, list));
    EXPECT_TRUE(isInstalledProgramFolder(usrBin, (tmp / "bin").string()));  // the list names the link

    EXPECT_FALSE(isInstalledProgramFolder((tmp / "usr").string(), list));
    EXPECT_FALSE(isInstalledProgramFolder((tmp / "usr/bin/sub").string(), list));
    EXPECT_FALSE(isInstalledProgramFolder(usrBin, ""));
    EXPECT_FALSE(isInstalledProgramFolder(usrBin, ":"));
    EXPECT_FALSE(isInstalledProgramFolder("", list));
    // Relative entries in the list say nothing about where a program runs.
    EXPECT_FALSE(isInstalledProgramFolder(fs::current_path().string(), "."));
}

TEST(DataFolder, InstalledProgramUsesTheUsersFolderEvenWhenItsFolderIsWritable) {
    TempDir tmp;
    fs::create_directories(tmp / "prefix/bin");
    fs::create_directories(tmp / "config");
    const std::string bin = (tmp / "prefix/bin").string() + "/";
    EnvVar home("QUILLET_HOME", std::nullopt);
    EnvVar config("XDG_CONFIG_HOME", (tmp / "config").string());

    const std::string data = resolveDataFolder(bin, "/usr/bin:" + (tmp / "prefix/bin").string());
    EXPECT_EQ(data, (tmp / "config/quillet").string() + "/");
    EXPECT_TRUE(fs::is_directory(tmp / "config/quillet"));
    EXPECT_FALSE(fs::exists(tmp / "prefix/bin/OPTION.INI"));
}

TEST(DataFolder, PortableTreeKeepsItsFilesBesideTheProgram) {
    TempDir tmp;
    fs::create_directories(tmp / "unpacked/usr/bin");
    fs::create_directories(tmp / "config");
    const std::string bin = (tmp / "unpacked/usr/bin").string() + "/";
    EnvVar home("QUILLET_HOME", std::nullopt);
    EnvVar config("XDG_CONFIG_HOME", (tmp / "config").string());

    // The same relative layout as an installed tree, elsewhere: still portable.
    EXPECT_EQ(resolveDataFolder(bin, "/usr/bin:/usr/local/bin"), bin);
    EXPECT_EQ(resolveDataFolder((tmp / "unpacked/usr/bin").string(), "/usr/bin"), bin);
    EXPECT_FALSE(fs::exists(tmp / "config/quillet"));
}

TEST(DataFolder, QuilletHomeOverridesEverything) {
    TempDir tmp;
    fs::create_directories(tmp / "bin");
    EnvVar home("QUILLET_HOME", (tmp / "home/data").string());
    EXPECT_EQ(resolveDataFolder((tmp / "bin").string(), ""), (tmp / "home/data").string() + "/");
    EXPECT_EQ(resolveDataFolder((tmp / "bin").string(), (tmp / "bin").string()), (tmp / "home/data").string() + "/");
    EXPECT_TRUE(fs::is_directory(tmp / "home/data"));
}

TEST(DataFolder, ConfigFolderFallsBackToHomeWhenXdgIsUnsetOrRelative) {
    TempDir tmp;
    fs::create_directories(tmp / "bin");
    fs::create_directories(tmp / "user");
    EnvVar home("QUILLET_HOME", std::nullopt);
    EnvVar user("HOME", (tmp / "user").string());
    const std::string installed = (tmp / "bin").string();
    {
        EnvVar config("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(resolveDataFolder(installed, installed), (tmp / "user/.config/quillet").string() + "/");
    }
    {
        EnvVar config("XDG_CONFIG_HOME", "relative/config");
        EXPECT_EQ(resolveDataFolder(installed, installed), (tmp / "user/.config/quillet").string() + "/");
    }
}

// This build's programs run from the build's bin folder, which is not where
// they install to: the build tree stays portable.
TEST(DataFolder, BuildTreeProgramUsesItsOwnFolder) {
    EnvVar home("QUILLET_HOME", std::nullopt);
    const std::string own = programFileFolder();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(resolveDataFolder(), own);
}

// The environment of one user under a temporary folder: HOME, its config
// folder, no music folder named, no QUILLET_HOME.
struct UserEnvironment {
    TempDir tmp;
    std::string home = (tmp / "home").string();
    std::string bin = (tmp / "prefix/bin").string();  // an installed program's folder
    EnvVar quilletHome{"QUILLET_HOME", std::nullopt};
    EnvVar user{"HOME", home};
    EnvVar config{"XDG_CONFIG_HOME", std::nullopt};
    EnvVar music{"XDG_MUSIC_DIR", std::nullopt};
    UserEnvironment() {
        fs::create_directories(home + "/.config");
        fs::create_directories(bin);
    }
    std::string installedDataFolder() const { return resolveDataFolder(bin, bin); }
    void userDirs(const std::string& text) const {
        std::ofstream(home + "/.config/user-dirs.dirs", std::ios::binary) << text;
    }
};

TEST(DefaultOutputFolders, InstalledCopyPutsThemIntoTheMusicFolderAndCreatesThem) {
    UserEnvironment env;
    const DataFolder data{env.installedDataFolder()};
    ASSERT_EQ(data.root, env.home + "/.config/quillet/");
    // No user-dirs.dirs: ~/Music, which does not exist yet.
    EXPECT_EQ(data.defaultWaveDir(), env.home + "/Music/Quillet/Wave Files/");
    EXPECT_EQ(data.defaultMp3Dir(), env.home + "/Music/Quillet/Mp3 Files/");
    ensureDefaultFolders(data);
    EXPECT_TRUE(fs::is_directory(env.home + "/Music/Quillet/Wave Files"));
    EXPECT_TRUE(fs::is_directory(env.home + "/Music/Quillet/Mp3 Files"));
    EXPECT_FALSE(fs::exists(data.root + "Wave Files"));
    EXPECT_FALSE(fs::exists(data.root + "Mp3 Files"));
    // A first start stores them.
    const AppSettings s = loadSettings(data);
    EXPECT_EQ(s.WaveDir, env.home + "/Music/Quillet/Wave Files/");
    EXPECT_EQ(qoro::profile::find("Settings", "Mp3Dir", data.optionFile()), env.home + "/Music/Quillet/Mp3 Files/");
}

TEST(DefaultOutputFolders, MusicFolderFromEnvironmentOrUserDirs) {
    UserEnvironment env;
    const DataFolder data{env.installedDataFolder()};
    struct Case {
        const char* what;
        const char* userDirs;  // nullptr: no file
        std::optional<std::string> variable;
        std::string music;  // expected, below HOME when relative
    };
    const Case cases[] = {
        {"home-relative line", "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n",
         std::nullopt, "Musik/"},
        {"absolute line, CR LF, indented", "  XDG_MUSIC_DIR=\"/srv/tunes\"\r\n", std::nullopt, "/srv/tunes/"},
        {"escaped quote and a space", "XDG_MUSIC_DIR=\"$HOME/My \\\"Music\\\"\"\n", std::nullopt, "My \"Music\"/"},
        {"the last line counts", "XDG_MUSIC_DIR=\"$HOME/A\"\nXDG_MUSIC_DIR=\"$HOME/B\"\n", std::nullopt, "B/"},
        {"set to HOME itself", "XDG_MUSIC_DIR=\"$HOME\"\n", std::nullopt, ""},
        {"relative value ignored", "XDG_MUSIC_DIR=\"Music2\"\n", std::nullopt, "Music/"},
        {"$HOMEx is no HOME", "XDG_MUSIC_DIR=\"$HOMEx/M\"\n", std::nullopt, "Music/"},
        {"unquoted value ignored", "XDG_MUSIC_DIR=$HOME/M\n", std::nullopt, "Music/"},
        {"commented out", "#XDG_MUSIC_DIR=\"$HOME/M\"\n", std::nullopt, "Music/"},
        {"environment wins", "XDG_MUSIC_DIR=\"$HOME/Musik\"\n", std::string("/data/music"), "/data/music/"},
        {"relative environment ignored", nullptr, std::string("music"), "Music/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(env.home + "/.config/user-dirs.dirs");
        if (c.userDirs) env.userDirs(c.userDirs);
        EnvVar music("XDG_MUSIC_DIR", c.variable);
        const std::string expected = c.music.starts_with("/") ? c.music : env.home + "/" + c.music;
        EXPECT_EQ(userMusicFolder(), expected);
        EXPECT_EQ(data.defaultWaveDir(), expected + "Quillet/Wave Files/");
    }
    // user-dirs.dirs is read from XDG_CONFIG_HOME when that is set.
    fs::create_directories(env.tmp / "xdg");
    std::ofstream(env.tmp / "xdg/user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Elsewhere\"\n";
    EnvVar config("XDG_CONFIG_HOME", (env.tmp / "xdg").string());
    EXPECT_EQ(userMusicFolder(), env.home + "/Elsewhere/");
    const DataFolder moved{resolveDataFolder(env.bin, env.bin)};
    EXPECT_EQ(moved.root, (env.tmp / "xdg/quillet").string() + "/");
    EXPECT_EQ(moved.defaultMp3Dir(), env.home + "/Elsewhere/Quillet/Mp3 Files/");
}

TEST(DefaultOutputFolders, PortableCopiesAndStoredFoldersStayWhereTheyAre) {
    UserEnvironment env;
    // A portable copy: beside the program, as before.
    fs::create_directories(env.tmp / "unpacked");
    const DataFolder portable{resolveDataFolder((env.tmp / "unpacked").string(), env.bin)};
    EXPECT_EQ(portable.defaultWaveDir(), (env.tmp / "unpacked").string() + "/Wave Files/");
    ensureDefaultFolders(portable);
    EXPECT_TRUE(fs::is_directory(env.tmp / "unpacked/Mp3 Files"));
    EXPECT_FALSE(fs::exists(env.home + "/Music"));
    // QUILLET_HOME elsewhere: beside it.
    {
        EnvVar home("QUILLET_HOME", (env.tmp / "qhome").string());
        const DataFolder chosen{resolveDataFolder(env.bin, env.bin)};
        EXPECT_EQ(chosen.defaultMp3Dir(), (env.tmp / "qhome").string() + "/Mp3 Files/");
    }
    // An installed copy that stored its folders under the config folder
    // keeps them; only a folder that is gone falls back to the music folder.
    const DataFolder data{env.installedDataFolder()};
    const std::string oldWave = data.root + "Wave Files/";
    fs::create_directories(oldWave);
    std::ofstream(data.optionFile()) << "[Settings]\nWaveDir=" << oldWave << "\nMp3Dir=" << data.root << "Mp3 Files/\n";
    ensureDefaultFolders(data);
    const AppSettings s = loadSettings(data);
    EXPECT_EQ(s.WaveDir, oldWave);
    EXPECT_EQ(s.Mp3Dir, env.home + "/Music/Quillet/Mp3 Files/");
    EXPECT_EQ(qoro::profile::find("Settings", "WaveDir", data.optionFile()), oldWave);
    // The config folder reached through a link is still the config folder.
    fs::create_symlink(env.home + "/.config", env.tmp / "linked");
    EXPECT_EQ(defaultOutputBase((env.tmp / "linked/quillet").string() + "/"), env.home + "/Music/Quillet/");
    // Without HOME nothing says where music goes: beside the data.
    EnvVar noHome("HOME", std::nullopt);
    EXPECT_EQ(userMusicFolder(), "");
    EXPECT_EQ(defaultOutputBase("/somewhere/quillet/"), "/somewhere/quillet/");
}

}  // namespace
}  // namespace quillet::test
