// The MP3 settings record: defaults, presets, normalisation, the command-line
// parser and the format description.
#include <gtest/gtest.h>

#include <string>

#include "codecs/mp3enc/mp3_settings.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {
namespace {

TEST(Mp3Settings, ConstructionAndResetDefaultsDifferOnlyInMaxVbrBitrate) {
    Mp3Settings s;
    EXPECT_EQ(s.channels, 2);
    EXPECT_EQ(s.bitrate, 128);
    EXPECT_EQ(s.frequency, 44100);
    EXPECT_EQ(s.stereoType, 1);
    EXPECT_EQ(s.maxVbrBitrate, 192);
    EXPECT_EQ(s.encoderQuality, 5);
    EXPECT_EQ(s.vbrQuality, 7);
    EXPECT_EQ(s.vbrMethod, -1);
    EXPECT_EQ(s.abrBitrate, 128);
    EXPECT_EQ(s.writeVbrHeader, 1);
    EXPECT_EQ(s.lowPassFrequency, -1);
    EXPECT_EQ(s.highPassFrequency, -1);
    EXPECT_EQ(s.lowPassWidth, 0);
    EXPECT_EQ(s.presetMode, 0);

    Mp3Settings r = Mp3Settings::afterReset();
    EXPECT_EQ(r.maxVbrBitrate, 128);
    r.maxVbrBitrate = 192;
    EXPECT_EQ(r, s);
}

struct PresetRow {
    int number;
    int32_t frequency;
    int16_t channels, stereoType, bitrate, encoderQuality, vbrMethod, maxVbr, vbrQuality;
    int32_t lowPass, lowPassWidth;
    int16_t mode;
};

// The preset table as documented for the encoder settings object.
const PresetRow kTable[] = {
    {1, 8000, 1, 1, 8, 5, 0, 56, 6, 3200, 1000, 0},     {2, 11025, 1, 1, 8, 5, 0, 64, 5, 4800, 500, 0},
    {3, 16000, 1, 1, 24, 5, 0, 160, 5, 7200, 500, 0},   {4, 22050, 2, 2, 16, 5, 0, 128, 5, 9950, 880, 0},
    {5, 32000, 1, 2, 32, 5, 0, 128, 5, 12300, 2000, 0}, {6, 44100, 2, 2, 64, 5, 0, 256, 4, 15000, 0, 0},
    {7, 44100, 2, 2, 96, 5, 0, 320, 4, 18500, 2000, 0}, {8, 44100, 2, 2, 112, 2, 0, 320, 3, 20240, 2200, 0},
    {9, 44100, 2, 1, 128, 2, 0, 320, 2, -1, 0, 0},      {10, 44100, 2, 1, 160, 2, 0, 320, 0, -1, 0, 0},
    {11, 44100, 2, 2, 96, 2, 3, 320, 1, 19500, 0, 1},   {101, 44100, 2, 2, 128, 2, 2, 320, 1, 19000, 0, 2},
    {102, 44100, 2, 2, 128, 2, 1, 320, 1, 19000, 0, 2}, {103, 44100, 2, 2, 128, 2, 2, 320, 1, 19500, 0, 3},
    {104, 44100, 2, 2, 128, 2, 1, 320, 1, 19500, 0, 3}, {105, 44100, 2, 2, 320, 2, 1, 320, 1, 20500, 0, 4},
};

// Settings far from every preset, so that each field a preset writes shows.
Mp3Settings unusual() {
    Mp3Settings s;
    s.frequency = 12345;
    s.channels = 7;
    s.stereoType = 9;
    s.bitrate = 40;
    s.encoderQuality = 8;
    s.vbrMethod = 4;
    s.maxVbrBitrate = 40;
    s.vbrQuality = 8;
    s.abrBitrate = 300;
    s.lowPassFrequency = 11;
    s.lowPassWidth = 12;
    s.highPassFrequency = 13;
    s.highPassWidth = 14;
    s.presetMode = 3;
    s.emphasis = 1;
    s.errorProtection = 1;
    s.athMode = 2;
    s.writeVbrHeader = 0;
    return s;
}

TEST(Mp3Settings, EveryPresetWritesItsRowAndKeepsOtherFields) {
    for (const PresetRow& row : kTable) {
        SCOPED_TRACE(row.number);
        Mp3Settings s = unusual();
        s.applyPreset(row.number);
        EXPECT_EQ(s.frequency, row.frequency);
        EXPECT_EQ(s.channels, row.channels);
        EXPECT_EQ(s.stereoType, row.stereoType);
        EXPECT_EQ(s.bitrate, row.bitrate);
        EXPECT_EQ(s.encoderQuality, row.encoderQuality);
        EXPECT_EQ(s.vbrMethod, row.vbrMethod);
        EXPECT_EQ(s.maxVbrBitrate, row.maxVbr);
        EXPECT_EQ(s.vbrQuality, row.vbrQuality);
        EXPECT_EQ(s.lowPassFrequency, row.lowPass);
        EXPECT_EQ(s.lowPassWidth, row.lowPassWidth);
        EXPECT_EQ(s.highPassFrequency, -1);
        EXPECT_EQ(s.highPassWidth, 0);
        EXPECT_EQ(s.presetMode, row.mode);
        EXPECT_EQ(s.noShortBlocks, row.number == 5 ? 1 : 0);
        // Untouched by presets.
        EXPECT_EQ(s.emphasis, 1);
        EXPECT_EQ(s.errorProtection, 1);
        EXPECT_EQ(s.athMode, 2);
        EXPECT_EQ(s.writeVbrHeader, 0);
        // ABR bitrate is only normalised: within 4..310 and not below the bitrate.
        EXPECT_EQ(s.abrBitrate, std::max<int16_t>(300, row.bitrate));
    }
}

TEST(Mp3Settings, UnknownPresetNumbersResetTheWholeRecord) {
    Mp3Settings expected = Mp3Settings::afterReset();
    expected.normalise();
    for (int number : {0, -1, 12, 100, 106, 32767}) {
        SCOPED_TRACE(number);
        Mp3Settings s = unusual();
        s.applyPreset(number);
        EXPECT_EQ(s, expected);
    }
}

TEST(Mp3Settings, PresetNames) {
    EXPECT_EQ(presetByName("phone"), 1);
    EXPECT_EQ(presetByName("studio"), 10);
    EXPECT_EQ(presetByName("r3mix"), 11);
    EXPECT_EQ(presetByName("Phone"), 0);
    EXPECT_EQ(presetByName("standard"), 0);
    EXPECT_EQ(altPresetByName("standard"), 102);
    EXPECT_EQ(altPresetByName("fast standard"), 101);
    EXPECT_EQ(altPresetByName("insane"), 105);
    EXPECT_EQ(altPresetByName("cd"), 0);
}

TEST(Mp3Settings, NormaliseClampsAndRaises) {
    Mp3Settings s;
    s.bitrate = 192;
    s.maxVbrBitrate = 128;
    s.abrBitrate = 2;
    s.vbrQuality = 12;
    s.encoderQuality = -3;
    s.normalise();
    EXPECT_EQ(s.maxVbrBitrate, 192);
    EXPECT_EQ(s.abrBitrate, 192);  // clamped to 4 first, then raised to the bitrate
    EXPECT_EQ(s.vbrQuality, 9);
    EXPECT_EQ(s.encoderQuality, 0);

    s.bitrate = 320;
    s.abrBitrate = 1000;
    s.normalise();
    EXPECT_EQ(s.abrBitrate, 320);  // 310 at most, but never below the bitrate

    s.bitrate = 32;
    s.abrBitrate = 1000;
    s.maxVbrBitrate = 256;
    s.normalise();
    EXPECT_EQ(s.abrBitrate, 310);
    EXPECT_EQ(s.maxVbrBitrate, 256);  // only raised, never lowered
}

// --- Command line ----------------------------------------------------------

Mp3Settings parsed(const std::string& line) {
    Mp3Settings s = unusual();
    EXPECT_TRUE(s.applyCommandLine(line));
    return s;
}

TEST(Mp3CommandLine, EmptyLineChangesNothing) {
    Mp3Settings s = unusual();
    EXPECT_FALSE(s.applyCommandLine(""));
    EXPECT_EQ(s, unusual());
}

TEST(Mp3CommandLine, StartsFromTheResetRecord) {
    Mp3Settings expected = Mp3Settings::afterReset();
    EXPECT_EQ(parsed(" "), expected);
    EXPECT_EQ(parsed("--unknown-option 17"), expected);
}

TEST(Mp3CommandLine, BitrateStereoAndAbrAreNormalisedTogether) {
    const Mp3Settings s = parsed("-b 192 -m j --abr 160");
    EXPECT_EQ(s.bitrate, 192);
    EXPECT_EQ(s.channels, 2);
    EXPECT_EQ(s.stereoType, JOINTSTEREO);
    EXPECT_EQ(s.vbrMethod, VBR_ABR);
    EXPECT_EQ(s.abrBitrate, 192);
    EXPECT_EQ(s.maxVbrBitrate, 192);
}

TEST(Mp3CommandLine, ChannelModes) {
    EXPECT_EQ(parsed("-m m").channels, 1);
    EXPECT_EQ(parsed("-m m").stereoType, 1);
    const std::pair<const char*, LONG> modes[] = {
        {"s", SIMPLY}, {"j", JOINTSTEREO}, {"f", FORCEDJOINTSTEREO}, {"d", DUALCHANNEL}};
    for (auto [mode, type] : modes) {
        const Mp3Settings s = parsed(std::string("-m m -m ") + mode);
        EXPECT_EQ(s.channels, 2) << mode;
        EXPECT_EQ(s.stereoType, type) << mode;
    }
    // An unknown mode is consumed and does nothing.
    const Mp3Settings s = parsed("-m x -b 64");
    EXPECT_EQ(s.channels, 2);
    EXPECT_EQ(s.stereoType, 1);
    EXPECT_EQ(s.bitrate, 64);
}

TEST(Mp3CommandLine, AltPresetNameWithBlankNeverMatches) {
    Mp3Settings expected = Mp3Settings::afterReset();
    expected.vbrMethod = VBR_DEFAULT;
    EXPECT_EQ(parsed("--alt-preset fast standard"), expected);

    const Mp3Settings s = parsed("--alt-preset extreme");
    EXPECT_EQ(s.presetMode, 3);
    EXPECT_EQ(s.vbrMethod, 1);
    EXPECT_EQ(s.lowPassFrequency, 19500);
}

TEST(Mp3CommandLine, PresetsByName) {
    const Mp3Settings s = parsed("--preset fm");
    EXPECT_EQ(s.frequency, 22050);
    EXPECT_EQ(s.bitrate, 16);
    EXPECT_EQ(s.lowPassWidth, 880);
    EXPECT_EQ(s.vbrMethod, 0);

    EXPECT_EQ(parsed("--r3mix").presetMode, 1);
    EXPECT_EQ(parsed("--r3mix").vbrMethod, 3);
    // Unknown name: only the VBR method changes.
    const Mp3Settings u = parsed("--preset FM");
    EXPECT_EQ(u.vbrMethod, 0);
    EXPECT_EQ(u.frequency, 44100);
    // Later options override the preset.
    EXPECT_EQ(parsed("--preset cd -b 256").bitrate, 256);
}

TEST(Mp3CommandLine, FilterOptionsTakeKilohertzOnlyWhenPositive) {
    const Mp3Settings a = parsed("--lowpass -3");
    EXPECT_EQ(a.lowPassFrequency, 0);
    EXPECT_EQ(a, [] {
        auto r = Mp3Settings::afterReset();
        r.lowPassFrequency = 0;
        return r;
    }());

    const Mp3Settings b = parsed("--lowpass 16 --highpass 0.08 --lowpass-width 1.5 --highpass-width abc");
    EXPECT_EQ(b.lowPassFrequency, 16000);
    EXPECT_EQ(b.highPassFrequency, 80);
    EXPECT_EQ(b.lowPassWidth, 1500);
    EXPECT_EQ(b.highPassWidth, 0);

    // Last token: the field is still cleared.
    EXPECT_EQ(parsed("--highpass").highPassFrequency, 0);
    // "-k" clears both filters again.
    const Mp3Settings k = parsed("--lowpass 16 --highpass 1 -k");
    EXPECT_EQ(k.lowPassFrequency, -1);
    EXPECT_EQ(k.highPassFrequency, -1);
}

TEST(Mp3CommandLine, FlagsAndValues) {
    const Mp3Settings s = parsed(
        "-t -p -F -d --nores -noshort --strictly-enforce-ISO --athshort "
        "-e 2 -q 4 -v 6 -B 256 --resample 22.05");
    EXPECT_EQ(s.writeVbrHeader, 0);
    EXPECT_EQ(s.errorProtection, 1);
    EXPECT_EQ(s.enforceMinBitrate, 1);
    EXPECT_EQ(s.blockTypeControl, 1);
    EXPECT_EQ(s.noBitReservoir, 1);
    EXPECT_EQ(s.noShortBlocks, 1);
    EXPECT_EQ(s.strictIsoCompliance, 1);
    EXPECT_EQ(s.athMode, 3);
    EXPECT_EQ(s.emphasis, 2);
    EXPECT_EQ(s.encoderQuality, 4);
    EXPECT_EQ(s.vbrQuality, 6);
    EXPECT_EQ(s.maxVbrBitrate, 256);
    EXPECT_EQ(s.frequency, 22050);

    EXPECT_EQ(parsed("--resample 44.1").frequency, 44100);
    EXPECT_EQ(parsed("--resample 11.025").frequency, 11025);
    EXPECT_EQ(parsed("--ath").athMode, 1);
    EXPECT_EQ(parsed("--noath").athMode, 2);
    EXPECT_EQ(parsed("-f").vbrQuality, 9);
    EXPECT_EQ(parsed("-f").encoderQuality, 1);
    EXPECT_EQ(parsed("-h").vbrQuality, 0);
    EXPECT_EQ(parsed("-h").encoderQuality, 3);
    EXPECT_EQ(parsed("-vbr").vbrMethod, 0);
    EXPECT_EQ(parsed("--vbr-old").vbrMethod, 1);
    EXPECT_EQ(parsed("--vbr-new").vbrMethod, 2);
    EXPECT_EQ(parsed("--vbr-mtrh").vbrMethod, 3);
}

TEST(Mp3CommandLine, IgnoredOptionsConsumeNoValue) {
    // "-s 44.1": "-s" is ignored and "44.1" is an unmatched token; "-b 96" still acts.
    EXPECT_EQ(parsed("-s 44.1 -b 96").bitrate, 96);
    EXPECT_EQ(parsed("--athlower -a -cwlimit -x -c -o -freeformat --comp -b 80").bitrate, 80);
}

TEST(Mp3CommandLine, TokensSplitAtEverySingleBlankAndCompareExactly) {
    // Two blanks give an empty token, which "-b" consumes as 0.
    EXPECT_EQ(parsed("-b  192").bitrate, 0);
    EXPECT_EQ(parsed("-B 320").bitrate, 128);
    EXPECT_EQ(parsed("-B 320").maxVbrBitrate, 320);
    EXPECT_EQ(parsed("-T").writeVbrHeader, 1);
}

TEST(Mp3CommandLine, IntegersFromLeadingDigits) {
    EXPECT_EQ(parsed("-b 192kbps").bitrate, 192);
    EXPECT_EQ(parsed("-b kbps").bitrate, 0);
    EXPECT_EQ(parsed("-q 99999999999999999999").encoderQuality, 9);  // saturates, then clamped
    EXPECT_EQ(parsed("-b 99999999999").bitrate, 32767);
}

TEST(Mp3CommandLine, OptionWithoutValueAtTheEndStops) {
    const Mp3Settings s = parsed("-b 64 -b");
    EXPECT_EQ(s.bitrate, 64);
    EXPECT_EQ(parsed("-p --abr").vbrMethod, -1);
}

TEST(Mp3CommandLine, HostileNumbersStayInRange) {
    EXPECT_EQ(parsed("--resample 1e300").frequency, 1000);
    EXPECT_EQ(parsed("--resample 99999999999999999999").frequency, 2147483647);
    EXPECT_EQ(parsed("--resample -99999999999999").frequency, -2147483647 - 1);
    EXPECT_EQ(parsed("--lowpass 9999999999999999").lowPassFrequency, 2147483647);
    EXPECT_EQ(parsed("--resample nan").frequency, 0);
}

TEST(Mp3CommandLine, OnlyTheFirst128TokensAreRead) {
    std::string line;
    for (int i = 0; i < 127; ++i) line += "-x ";
    EXPECT_EQ(parsed(line + "-p").errorProtection, 1);     // token 128
    EXPECT_EQ(parsed(line + "-x -p").errorProtection, 0);  // token 129
    EXPECT_EQ(parsed(line + "-b 64").bitrate, 128);        // value would be token 129
}

// --- Description -----------------------------------------------------------

TEST(Mp3Description, Wording) {
    Mp3Settings s;
    s.stereoType = JOINTSTEREO;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 44,100 kHz; Joint Stereo;  128 Kbps; ");
    EXPECT_EQ(mp3Description(s, ACM_DRIVER_IN), "MP3 44,100 kHz; Joint Stereo;  128 Kbps; ");

    s.channels = 1;
    s.frequency = 8000;
    s.bitrate = 32;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz; Mono; 32 Kbps; ");

    s.channels = 2;
    s.stereoType = SIMPLY;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz; Stereo;  32 Kbps; ");
    s.stereoType = FORCEDJOINTSTEREO;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz; Forced Joint Stereo;  32 Kbps; ");
    s.stereoType = DUALCHANNEL;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz; Dual Stereo;  32 Kbps; ");
    s.stereoType = 7;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz;  32 Kbps; ");
    s.channels = 3;
    s.stereoType = SIMPLY;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 8,000 kHz;  32 Kbps; ");
}

TEST(Mp3Description, BitratePartFollowsTheVbrMethodOnlyForLame) {
    Mp3Settings s;  // 128 kbit/s, maximum 192
    s.vbrMethod = VBR_NEW;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 44,100 kHz; Stereo;  128-192 Kbps; ");
    EXPECT_EQ(mp3Description(s, ACM_DRIVER_IN), "MP3 44,100 kHz; Stereo;  128 Kbps; ");
    s.maxVbrBitrate = 128;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 44,100 kHz; Stereo;  128 Kbps; ");
    s.vbrMethod = VBR_ABR;
    s.abrBitrate = 160;
    s.maxVbrBitrate = 320;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 44,100 kHz; Stereo;  ABR 160 Kbps; ");
    s.vbrMethod = 5;
    EXPECT_EQ(mp3Description(s, LAME), "MP3 44,100 kHz; Stereo;  128 Kbps; ");
    // An encoder choice that is neither path adds no bitrate.
    EXPECT_EQ(mp3Description(s, 0), "MP3 44,100 kHz; Stereo; ");
}

TEST(Mp3Description, DescribeNormalisesFirst) {
    Mp3Settings s;
    s.vbrMethod = VBR_ABR;
    s.abrBitrate = 400;
    EXPECT_EQ(describeMp3(s, LAME), "MP3 44,100 kHz; Stereo;  ABR 310 Kbps; ");
    EXPECT_EQ(s.abrBitrate, 310);
}

TEST(Mp3Description, FrequencyWithComma) {
    EXPECT_EQ(frequencyWithComma(8000), "8,000");
    EXPECT_EQ(frequencyWithComma(11025), "11,025");
    EXPECT_EQ(frequencyWithComma(44100), "44,100");
    EXPECT_EQ(frequencyWithComma(96000), "96,000");
    EXPECT_EQ(frequencyWithComma(999), "999");
    EXPECT_EQ(frequencyWithComma(0), "0");
    EXPECT_EQ(frequencyWithComma(-8000), "-8,000");
}

TEST(Mp3SetFormat, StoresWithoutValidationAndClearsThePresetMode) {
    Mp3Settings s;
    s.applyPreset(105);
    setFormatMp3(s, 44100, 0, 2);
    EXPECT_EQ(s.bitrate, 128);
    EXPECT_EQ(s.presetMode, 0);
    setFormatMp3(s, 12345, 99, 5);
    EXPECT_EQ(s.frequency, 12345);
    EXPECT_EQ(s.bitrate, 99);
    EXPECT_EQ(s.channels, 5);
}

}  // namespace
}  // namespace qoro::audiofile
