// The quillet program's --help and --version: answered without a display
// (no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM), with exit status 0,
// and without touching the data folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/messages.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using qoro::test::run;
using qoro::test::shellQuote;

// Runs quillet with the arguments and no display at all; the data folder
// named by QUILLET_HOME is 'home'.
qoro::test::CommandResult quillet(const std::string& args, const fs::path& home) {
    return run("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM QUILLET_HOME=" + shellQuote(home.string()) + " " +
               shellQuote(QUILLET_PROGRAM) + " " + args + " </dev/null");
}

TEST(CommandLine, HelpPrintsTheUsageWithoutADisplay) {
    qoro::test::TempDir tmp;
    const fs::path home = tmp / "data";
    for (const char* args : {"--help", "-h", "--batch --help", "--screenshot shots --help"}) {
        SCOPED_TRACE(args);
        const auto r = quillet(args, home);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output.rfind("usage: quillet\n", 0), 0u) << r.output;
        for (const char* part :
             {"--batch [-j N] [mp3towav|wavtomp3]", "-j N, --jobs N", "--seed", "--screenshot FOLDER", "--version"})
            EXPECT_NE(r.output.find(part), std::string::npos) << part;
    }
    // Nothing was created: no data folder, no screenshots.
    EXPECT_FALSE(fs::exists(home));
    EXPECT_FALSE(fs::exists("shots"));
}

TEST(CommandLine, VersionPrintsTheProgramsVersionWithoutADisplay) {
    qoro::test::TempDir tmp;
    const auto r = quillet("--version", tmp / "data");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, std::string(quillet::text::kAboutVersion) + "\n");
    EXPECT_FALSE(fs::exists(tmp / "data"));
}

TEST(CommandLine, WindowWithoutADisplayIsRefusedWithAMessage) {
    qoro::test::TempDir tmp;
    const auto r = quillet("", tmp / "data");
    EXPECT_EQ(r.exitCode, 1) << r.output;  // not a crash
    EXPECT_NE(r.output.find("quillet: no display"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("--batch"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(tmp / "data"));
}

}  // namespace
