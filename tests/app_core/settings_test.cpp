// Settings and data folder, time texts, target formats and names, and the
// Options dialog's rules.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/batch_converter.h"
#include "core/help_file.h"
#include "core/options_model.h"
#include "core/time_text.h"
#include "profile/profile.h"
#include "rig.h"

namespace quillet::test {
namespace {

std::string key(const Rig& rig, const char* name) {
    return qoro::profile::find("Settings", name, rig.data.optionFile()).value_or("<missing>");
}

TEST(TimeText, MinutesSecondsAndHours) {
    EXPECT_EQ(timeText(0), "00:00");
    EXPECT_EQ(timeText(59), "00:59");
    EXPECT_EQ(timeText(247), "04:07");
    EXPECT_EQ(timeText(3599), "59:59");
    EXPECT_EQ(timeText(3600), "1:00:00");
    EXPECT_EQ(timeText(3725), "1:02:05");
    EXPECT_EQ(timeText(36000 * 10), "100:00:00");
    EXPECT_EQ(timeText(-5), "00:00");
}

TEST(Settings, FirstStartWritesOnlyTheTwoFolders) {
    Rig rig;
    rig.start();
    const AppSettings& s = rig.app->settings();
    EXPECT_EQ(s.WaveDir, rig.data.root + "Wave Files/");
    EXPECT_EQ(s.Mp3Dir, rig.data.root + "Mp3 Files/");
    EXPECT_TRUE(std::filesystem::is_directory(s.WaveDir));
    EXPECT_TRUE(std::filesystem::is_directory(s.Mp3Dir));
    EXPECT_EQ(slurp(rig.data.optionFile()), "[Settings]\nWaveDir=" + s.WaveDir + "\nMp3Dir=" + s.Mp3Dir + "\n");
    EXPECT_EQ(s.PlayInACycle | s.PlayAfterConvert | s.PromptBeforeOverwrite | s.OpenDirAfterConvert, 0);
    EXPECT_EQ(s.FontColor, 0u);
    EXPECT_EQ(s.BitRate1, 128);
    EXPECT_EQ(s.Frequency1, 44100);
    EXPECT_EQ(s.Channels1, 2);
    EXPECT_EQ(s.BitRate2, 16);
    EXPECT_EQ(s.Frequency2, 44100);
    EXPECT_EQ(s.Channels2, 2);
    // Start-up: grid colours, idle labels, list file created, timer running.
    EXPECT_EQ(rig.ui.background, kPanelColour);
    EXPECT_EQ(rig.ui.name, "Quillet 2.68");
    EXPECT_EQ(rig.ui.time, "00:00");
    EXPECT_EQ(slurp(rig.data.listFile(ConversionMode::Mp3ToWav)), "0\r\n");
    EXPECT_EQ(rig.ui.timerInterval, 1000);
}

TEST(Settings, NumbersZeroesAndFlags) {
    Rig rig;
    rig.ini(
        "[Settings]\nBitRate1=abc\nBitRate2=24\nFrequency1=0\nFrequency2=44000\nChannels2=3\n"
        "PlayInACycle=2\nPlayAfterConvert=-1\nPromptBeforeOverwrite=0\nFontColor=16711680\n"
        "Channels1= 1 mono\n");
    rig.start();
    const AppSettings& s = rig.app->settings();
    EXPECT_EQ(s.BitRate1, 128);  // no digits -> 0 -> default
    EXPECT_EQ(s.BitRate2, 24);   // kept as read
    EXPECT_EQ(s.Frequency1, 44100);
    EXPECT_EQ(s.Frequency2, 44000);
    EXPECT_EQ(s.Channels1, 1);
    EXPECT_EQ(s.Channels2, 3);
    EXPECT_NE(s.PlayInACycle, 0);
    EXPECT_NE(s.PlayAfterConvert, 0);
    EXPECT_EQ(s.PromptBeforeOverwrite, 0);
    EXPECT_EQ(s.FontColor, 0xFF0000u);
    EXPECT_EQ(rig.ui.textColour, 0xFF0000u);
    EXPECT_EQ(leadingNumber("100"), 100);
    EXPECT_EQ(leadingNumber("-7x"), -7);
    EXPECT_EQ(leadingNumber("99999999999"), INT32_MAX);
    EXPECT_EQ(leadingNumber("Wrong directory"), 0);
}

TEST(Settings, DeletedFolderIsResetAndWrittenBack) {
    Rig rig;
    const std::string mine = rig.path("mine/");
    std::filesystem::create_directory(mine);
    rig.ini("[Settings]\nWaveDir=" + mine + "\nMp3Dir=" + rig.path("gone/") + "\nBitRate1=100\n");
    rig.start();
    EXPECT_EQ(rig.app->settings().WaveDir, mine);
    EXPECT_EQ(rig.app->settings().Mp3Dir, rig.data.defaultMp3Dir());
    EXPECT_EQ(key(rig, "Mp3Dir"), rig.data.defaultMp3Dir());
    EXPECT_EQ(key(rig, "WaveDir"), mine);
    EXPECT_EQ(rig.app->settings().BitRate1, 100);
    EXPECT_TRUE(rig.ui.messages.empty());
}

TEST(Settings, ResolvedTargetFormatsFallBack) {
    AppSettings s;
    s.BitRate1 = 100, s.Frequency1 = 22050, s.Channels1 = 1;
    s.BitRate2 = 24, s.Frequency2 = 0, s.Channels2 = 3;
    EXPECT_EQ(resolveMp3Target(s).bitrate, 128);
    EXPECT_EQ(resolveMp3Target(s).frequency, 22050);
    EXPECT_EQ(resolveMp3Target(s).channels, 1);
    EXPECT_EQ(resolvePcmTarget(s).bitsPerSample, 16);
    EXPECT_EQ(resolvePcmTarget(s).frequency, 44100);
    EXPECT_EQ(resolvePcmTarget(s).channels, 2);
    s.Frequency2 = 44000, s.BitRate2 = 8, s.BitRate1 = 80;
    EXPECT_EQ(resolvePcmTarget(s).frequency, 44100);
    EXPECT_EQ(resolvePcmTarget(s).bitsPerSample, 8);
    EXPECT_EQ(resolveMp3Target(s).bitrate, 80);
}

TEST(TargetName, ReplacesEveryExtensionInAnyCase) {
    using M = ConversionMode;
    EXPECT_EQ(targetName("/music/Song.Mp3", M::Mp3ToWav), "Song.wav");
    EXPECT_EQ(targetName("/music/Song.WaV", M::WavToMp3), "Song.mp3");
    EXPECT_EQ(targetName("/m/a.mp3.mp3", M::Mp3ToWav), "a.wav.wav");
    EXPECT_EQ(targetName("/m/my.MP3s/x.mp3", M::Mp3ToWav), "x.wav");  // folders do not count
    EXPECT_EQ(targetName("/m/noext", M::Mp3ToWav), "noext");
    EXPECT_EQ(targetName("/m/song.wav", M::Mp3ToWav), "song.wav");
    EXPECT_EQ(targetName("plain.mp3", M::WavToMp3), "plain.mp3");
}

TEST(Options, FormShowsFallbacksAndOkStoresThem) {
    Rig rig;
    rig.ini("[Settings]\nBitRate1=100\nFrequency2=44000\nChannels1=1\nBitRate2=8\n");
    rig.start();
    OptionsForm form = optionsFormFor(rig.app->settings());
    EXPECT_EQ(form.bitRate1, "128 Kbps");
    EXPECT_EQ(form.frequency2, "44.1 KHz");
    EXPECT_EQ(form.channels1, "MONO");
    EXPECT_EQ(form.channels2, "STEREO");
    EXPECT_EQ(form.bitRate2, "8_BIT");
    form.frequency1 = "22.05 KHz";
    form.channels2 = "stereo";  // no exact match: the old value stays
    applyOptions(form, rig.app->settings(), rig.data, rig.ui);
    EXPECT_EQ(rig.app->settings().BitRate1, 128);
    EXPECT_EQ(key(rig, "BitRate1"), "128");
    EXPECT_EQ(key(rig, "Frequency1"), "22050");
    EXPECT_EQ(key(rig, "Channels2"), "2");
    EXPECT_TRUE(rig.ui.messages.empty());

    form = optionsFormFor(rig.app->settings());
    form.bitRate1 = "80 Kbps";
    applyOptions(form, rig.app->settings(), rig.data, rig.ui);
    EXPECT_EQ(optionsFormFor(rig.app->settings()).bitRate1, "80 Kbps");
    EXPECT_EQ(key(rig, "BitRate1"), "80");
}

TEST(Options, OkWithoutChangesWritesAllThirteenKeysInOrder) {
    Rig rig;
    rig.start();
    const std::string before = slurp(rig.data.optionFile());
    applyOptions(optionsFormFor(rig.app->settings()), rig.app->settings(), rig.data, rig.ui);
    const AppSettings& s = rig.app->settings();
    // The two folder keys keep their places; the eleven others follow in the
    // stored order.
    EXPECT_EQ(slurp(rig.data.optionFile()),
              before +
                  "PlayInACycle=0\nPlayAfterConvert=0\nPromptBeforeOverwrite=0\nOpenDirAfterConvert=0\n"
                  "FontColor=0\nBitRate1=128\nFrequency1=44100\nChannels1=2\nBitRate2=16\n"
                  "Frequency2=44100\nChannels2=2\n");
    EXPECT_EQ(s.WaveDir, rig.data.defaultWaveDir());
    const std::string once = slurp(rig.data.optionFile());
    applyOptions(optionsFormFor(s), rig.app->settings(), rig.data, rig.ui);
    EXPECT_EQ(slurp(rig.data.optionFile()), once);
}

TEST(Options, MissingFoldersGiveTwoMessagesAndDefaults) {
    Rig rig;
    rig.start();
    OptionsForm form = optionsFormFor(rig.app->settings());
    form.waveDir = rig.path("deleted1/");
    form.mp3Dir = rig.path("deleted2");
    form.playInACycle = true;
    form.fontColor = 0x123456;
    applyOptions(form, rig.app->settings(), rig.data, rig.ui);
    ASSERT_EQ(rig.ui.messages.size(), 2u);
    EXPECT_EQ(rig.ui.messages[0], "The directory you select do not exist,The system will set it to the default.");
    EXPECT_EQ(key(rig, "WaveDir"), rig.data.defaultWaveDir());
    EXPECT_EQ(key(rig, "Mp3Dir"), rig.data.defaultMp3Dir());
    EXPECT_EQ(key(rig, "PlayInACycle"), "1");
    EXPECT_EQ(key(rig, "FontColor"), std::to_string(0x123456));
    rig.app->onSettingsChanged();
    EXPECT_EQ(rig.ui.textColour, 0x123456u);
}

TEST(Options, TypedAndBrowsedFoldersGetTheirSlash) {
    Rig rig;
    rig.start();
    std::filesystem::create_directory(rig.path("typed"));
    OptionsForm form = optionsFormFor(rig.app->settings());
    form.mp3Dir = rig.path("typed");
    applyOptions(form, rig.app->settings(), rig.data, rig.ui);
    EXPECT_EQ(rig.app->settings().Mp3Dir, rig.path("typed/"));
    EXPECT_TRUE(rig.ui.messages.empty());

    rig.ui.chosenFolder = "/srv/music";
    EXPECT_TRUE(browseFolder(form, FolderKind::Wave, rig.ui));
    EXPECT_EQ(form.waveDir, "/srv/music/");
    EXPECT_EQ(rig.ui.events.back(), "pickFolder Wave Directory Select");
    rig.ui.chosenFolder = "/";
    EXPECT_TRUE(browseFolder(form, FolderKind::Mp3, rig.ui));
    EXPECT_EQ(form.mp3Dir, "/");
    EXPECT_EQ(rig.ui.events.back(), "pickFolder MP3 Directory Select");
    rig.ui.chosenFolder.reset();
    EXPECT_FALSE(browseFolder(form, FolderKind::Mp3, rig.ui));
    EXPECT_EQ(form.mp3Dir, "/");
    rig.ui.chosenColour = 0xABCDEF;
    EXPECT_TRUE(pickFontColour(form, rig.ui));
    EXPECT_EQ(form.fontColor, 0xABCDEFu);
}

}  // namespace
}  // namespace quillet::test

namespace quillet::test {
namespace {

TEST(HelpFile, StartingPlacesThePageTheHelpButtonOpens) {
    Rig rig;
    const std::string page = rig.data.helpFile();
    ASSERT_FALSE(std::filesystem::exists(page));
    rig.start();
    EXPECT_EQ(slurp(page), std::string(helpPage()));
    rig.app->onHelp();
    ASSERT_FALSE(rig.ui.opened.empty());
    EXPECT_EQ(rig.ui.opened.back(), page);
    EXPECT_TRUE(std::filesystem::exists(rig.ui.opened.back()));
}

TEST(HelpFile, AnExistingPageIsKeptAndAnUnwritableFolderIsNoFailure) {
    Rig rig;
    spit(rig.data.helpFile(), "edited");
    EXPECT_TRUE(ensureHelpFile(rig.data));
    EXPECT_EQ(slurp(rig.data.helpFile()), "edited");
    const DataFolder nowhere{rig.path("no/such/folder/")};
    EXPECT_FALSE(ensureHelpFile(nowhere));
    EXPECT_FALSE(std::filesystem::exists(nowhere.root));
}

}  // namespace
}  // namespace quillet::test
