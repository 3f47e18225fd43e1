// Settings and data folder, time texts, target formats and names, and the
// Options dialog's rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <span>
#include <utility>
#include <vector>

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
    EXPECT_EQ(offeredMp3Target(s).bitrate, 128);
    EXPECT_EQ(offeredMp3Target(s).frequency, 22050);
    EXPECT_EQ(offeredMp3Target(s).channels, 1);
    EXPECT_EQ(offeredPcmTarget(s).bitsPerSample, 16);
    EXPECT_EQ(offeredPcmTarget(s).frequency, 44100);
    EXPECT_EQ(offeredPcmTarget(s).channels, 2);
    s.Frequency2 = 44000, s.BitRate2 = 8, s.BitRate1 = 80;
    EXPECT_EQ(offeredPcmTarget(s).frequency, 44100);
    EXPECT_EQ(offeredPcmTarget(s).bitsPerSample, 8);
    EXPECT_EQ(offeredMp3Target(s).bitrate, 80);
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

std::vector<int32_t> valuesOf(std::span<const ListEntry> entries) {
    std::vector<int32_t> values;
    for (const ListEntry& e : entries) values.push_back(e.value);
    return values;
}

TEST(Options, EachOutputListsOnlyWhatItsWriterTakes) {
    using V = std::vector<int32_t>;
    // MPEG-1, 2 and 2.5 rates for MP3; the PCM writer's for WAV.
    EXPECT_EQ(valuesOf(mp3FrequencyEntries()), (V{48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000}));
    EXPECT_EQ(valuesOf(wavFrequencyEntries()), (V{48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 6000}));
    const V mpeg1 = {320, 256, 224, 192, 160, 128, 112, 96, 80, 64, 56, 48, 40, 32};
    const V mpeg2 = {160, 128, 112, 96, 80, 64, 56, 48, 40, 32, 24, 16, 8};
    const V mpeg25 = {64, 56, 48, 40, 32, 24, 16, 8};
    for (const ListEntry& rate : mp3FrequencyEntries()) {
        SCOPED_TRACE(rate.text);
        EXPECT_EQ(valuesOf(mp3BitrateEntries(rate.value)), rate.value >= 32000   ? mpeg1
                                                           : rate.value >= 16000 ? mpeg2
                                                                                 : mpeg25);
    }
    // The texts stay those of the earlier lists.
    EXPECT_STREQ(mp3FrequencyEntries()[4].text, "22.05 KHz");
    EXPECT_STREQ(wavFrequencyEntries().back().text, "6 KHz");
    EXPECT_STREQ(mp3BitrateEntries(8000).back().text, "8 Kbps");
    EXPECT_STREQ(mp3BitrateEntries(48000).front().text, "320 Kbps");
}

TEST(Options, StoredValuesNoLongerOfferedShowAsTheNearestAndOkStoresThem) {
    struct Case {
        const char* ini;
        const char *bitRate1, *frequency1, *frequency2;
    };
    const Case cases[] = {
        {"Frequency1=96000\nBitRate1=320\nFrequency2=96000\n", "320 Kbps", "48 KHz", "48 KHz"},
        {"Frequency1=88200\nBitRate1=8\nFrequency2=88200\n", "32 Kbps", "48 KHz", "48 KHz"},
        {"Frequency1=6000\nBitRate1=8\nFrequency2=6000\n", "8 Kbps", "8 KHz", "6 KHz"},
        {"Frequency1=22050\nBitRate1=320\n", "160 Kbps", "22.05 KHz", "44.1 KHz"},
        {"Frequency1=16000\nBitRate1=192\n", "160 Kbps", "16 KHz", "44.1 KHz"},
        {"Frequency1=44100\nBitRate1=24\n", "32 Kbps", "44.1 KHz", "44.1 KHz"},
        {"Frequency1=11025\nBitRate1=112\nFrequency2=11025\n", "64 Kbps", "11.025 KHz", "11.025 KHz"},
        {"Frequency1=24000\nBitRate1=112\n", "112 Kbps", "24 KHz", "44.1 KHz"},
        // Values no list ever offered take the fallbacks, as before.
        {"Frequency1=44000\nBitRate1=100\nFrequency2=1\n", "128 Kbps", "44.1 KHz", "44.1 KHz"},
        {"Frequency1=32000\nBitRate1=144\n", "128 Kbps", "32 KHz", "44.1 KHz"},
        {"Frequency1=8000\nBitRate1=144\n", "64 Kbps", "8 KHz", "44.1 KHz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        Rig rig;
        rig.ini(std::string("[Settings]\n") + c.ini);
        rig.start();
        const OptionsForm form = optionsFormFor(rig.app->settings());
        EXPECT_EQ(form.bitRate1, c.bitRate1);
        EXPECT_EQ(form.frequency1, c.frequency1);
        EXPECT_EQ(form.frequency2, c.frequency2);
        // The conversion itself takes the same values.
        const Mp3Target mp3 = offeredMp3Target(rig.app->settings());
        EXPECT_EQ(std::to_string(mp3.bitrate) + " Kbps", c.bitRate1);
        applyOptions(form, rig.app->settings(), rig.data, rig.ui);
        EXPECT_EQ(key(rig, "BitRate1"), std::to_string(mp3.bitrate));
        EXPECT_EQ(key(rig, "Frequency1"), std::to_string(mp3.frequency));
        EXPECT_EQ(key(rig, "Frequency2"), std::to_string(offeredPcmTarget(rig.app->settings()).frequency));
    }
    // A form put together elsewhere cannot store a pair the encoder refuses.
    Rig rig;
    rig.start();
    OptionsForm form = optionsFormFor(rig.app->settings());
    form.bitRate1 = "320 Kbps";
    form.frequency1 = "22.05 KHz";
    form.frequency2 = "96 KHz";
    applyOptions(form, rig.app->settings(), rig.data, rig.ui);
    EXPECT_EQ(rig.app->settings().BitRate1, 160);
    EXPECT_EQ(rig.app->settings().Frequency1, 22050);
    EXPECT_EQ(rig.app->settings().Frequency2, 48000);
    // The bitrate kept when the rate changes: the nearest, the higher of two.
    EXPECT_EQ(nearestMp3Bitrate(22050, 320), 160);
    EXPECT_EQ(nearestMp3Bitrate(44100, 8), 32);
    EXPECT_EQ(nearestMp3Bitrate(44100, 144), 160);
    EXPECT_EQ(nearestMp3Bitrate(16000, 150), 160);
    EXPECT_EQ(nearestMp3Bitrate(16000, 120), 128);
    EXPECT_EQ(nearestMp3Bitrate(12000, 160), 64);
}

// Writes a short file through the real component as a conversion does; the
// error number of the first step that failed (-1 for a format refused with a
// block alignment of 0), or 0.
LONG writeThrough(IAudioFile* file, const std::string& path, LONG type, LONG rate, LONG bitrate, LONG channels,
                  LONG bits) {
    LONG blockAlign = 0, error = NOERRORS;
    if (type == MP3)
        file->SetFormatMP3(rate, bitrate, channels, &blockAlign);
    else
        file->SetFormatPCM(rate, channels, bits, &blockAlign);
    if (blockAlign == 0) return -1;
    const qoro::com::Bstr name(path);
    file->CreateFile(name.get(), type);
    file->get_LastErrorNum(&error);
    if (error < 0) return error;
    file->SetFormatArray(rate, channels);
    const std::vector<int16_t> samples = qoro::test::testSignal(rate, channels, rate / 20);
    SAFEARRAY* array = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(samples.size()));
    void* data = nullptr;
    if (array && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::copy(samples.begin(), samples.end(), static_cast<int16_t*>(data));
        SafeArrayUnaccessData(array);
        file->WriteFile(&array);
        file->get_LastErrorNum(&error);
    }
    if (array) SafeArrayDestroy(array);
    file->CloseFile();
    if (error >= 0) file->get_LastErrorNum(&error);
    return error < 0 ? error : 0;
}

// The lists against the writers themselves: every offered rate and bitrate
// makes a file of that rate and bitrate, and what was taken out of the lists
// is refused.
TEST(Options, OfferedFormatsAreWhatTheRealWritersTake) {
    ComApartment apartment;
    Components real = createComponents();
    ASSERT_TRUE(real.target && real.info) << "the QoroAudioFile and QoroAudioInformation components cannot be created";
    qoro::test::TempDir dir;
    int n = 0;
    for (const ListEntry& rate : mp3FrequencyEntries()) {
        for (const ListEntry& bitrate : mp3BitrateEntries(rate.value)) {
            SCOPED_TRACE(std::string(rate.text) + ", " + bitrate.text);
            const std::string path = (dir / ("m" + std::to_string(++n) + ".mp3")).string();
            ASSERT_EQ(writeThrough(real.target.get(), path, MP3, rate.value, bitrate.value, 2, 16), 0);
            const FileFacts facts = readFacts(real.info.get(), path);
            EXPECT_EQ(facts.frequency, rate.value);
            EXPECT_EQ(facts.bitrate, bitrate.value * 1000);
        }
    }
    for (const ListEntry& rate : wavFrequencyEntries())
        for (LONG bits : {8, 16})
            for (LONG channels : {1, 2}) {
                SCOPED_TRACE(std::string(rate.text) + ", " + std::to_string(bits) + " bits");
                const std::string path = (dir / ("w" + std::to_string(++n) + ".wav")).string();
                ASSERT_EQ(writeThrough(real.target.get(), path, WAV, rate.value, 0, channels, bits), 0);
                EXPECT_EQ(readFacts(real.info.get(), path).frequency, rate.value);
            }
    const std::pair<LONG, LONG> refusedMp3[] = {{96000, 128}, {88200, 128}, {6000, 32},  {22050, 320},
                                                {16000, 192}, {44100, 8},   {48000, 24}, {8000, 192}};
    for (const auto& [rate, bitrate] : refusedMp3) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(bitrate) + " kbit/s");
        EXPECT_NE(writeThrough(real.target.get(), (dir / "refused.mp3").string(), MP3, rate, bitrate, 2, 16), 0);
    }
    for (LONG rate : {999, 384001}) {
        SCOPED_TRACE(rate);
        EXPECT_NE(writeThrough(real.target.get(), (dir / "refused.wav").string(), WAV, rate, 0, 2, 16), 0);
    }
    // At the MPEG-2.5 rates the encoder takes bitrates above 64 kbit/s but
    // writes 64 (as the reference lame does): not offered.
    for (LONG rate : {8000, 11025, 12000}) {
        SCOPED_TRACE(rate);
        const std::string path = (dir / "bent.mp3").string();
        ASSERT_EQ(writeThrough(real.target.get(), path, MP3, rate, 80, 2, 16), 0);
        EXPECT_EQ(readFacts(real.info.get(), path).bitrate, 64000);
    }
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
