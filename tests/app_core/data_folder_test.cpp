// Where the program keeps its files: QUILLET_HOME, the program's own folder
// for a portable or build tree, the user's folder for an installed program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "core/data_folder.h"
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

}  // namespace
}  // namespace quillet::test
