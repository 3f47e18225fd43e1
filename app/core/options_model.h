// The Options dialog's rules, without the dialog: the entries of its lists,
// what it shows for the current settings, Browse, and what OK stores. The
// front end keeps an OptionsForm while the dialog is open; Cancel simply
// drops it.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/ports.h"
#include "core/settings.h"

namespace quillet {

struct ListEntry {
    const char* text;
    int32_t value;
};

// The lists in their order on screen. Each output offers only what its
// writer takes, so no choice can make every conversion fail.
//
// WAV to MP3: the MPEG audio rates, 48 kHz down to 8 kHz, and for a rate the
// Layer III bitrates of its MPEG version that the encoder honours: MPEG-1
// (32, 44.1 and 48 kHz) "320 Kbps" ... "32 Kbps", MPEG-2 (16, 22.05 and
// 24 kHz) "160 Kbps" ... "8 Kbps", MPEG-2.5 (8, 11.025 and 12 kHz)
// "64 Kbps" ... "8 Kbps". The bitrate list follows the chosen rate.
std::span<const ListEntry> mp3FrequencyEntries();  // "48 KHz" ... "8 KHz"
std::vector<ListEntry> mp3BitrateEntries(int32_t hz);
// MP3 to WAV: the PCM writer's rates, 48 kHz down to 6 kHz.
std::span<const ListEntry> wavFrequencyEntries();  // "48 KHz" ... "6 KHz"
std::span<const ListEntry> channelEntries();       // "STEREO", "MONO"
std::span<const ListEntry> sampleWidthEntries();   // "8_BIT", "16_BIT"

// Stored values the lists no longer offer. A rate or bitrate that an
// earlier list offered (96, 88.2 or 6 kHz for MP3, 320 kbit/s at 22.05 kHz)
// becomes the nearest offered one (the higher of two equally near); any
// other value the fallback, 44.1 kHz or 128 kbit/s (64 kbit/s where 128 is
// not offered).
int32_t offeredMp3Frequency(int32_t hz);
int32_t offeredWavFrequency(int32_t hz);
// 'hz' is an offered MP3 rate (offeredMp3Frequency's result).
int32_t offeredMp3Bitrate(int32_t hz, int32_t kbps);
// The bitrate offered at 'hz' nearest to 'kbps' (the higher of two equally
// near): what the bitrate list keeps when the rate changes.
int32_t nearestMp3Bitrate(int32_t hz, int32_t kbps);

// The target formats of a conversion with the stored values mapped as above;
// channels stereo unless mono is stored, 16 bits unless 8 are.
Mp3Target offeredMp3Target(const AppSettings& settings);
PcmTarget offeredPcmTarget(const AppSettings& settings);

inline constexpr const char* kOptionsText =
    "Select the quality of output files. The higher bitrate means highter quality but with a larger "
    "file size. ";

// What the dialog's controls hold: flags, swatch colour, folder edits and
// the selected entry text of each list.
struct OptionsForm {
    bool playInACycle = false, playAfterConvert = false, promptBeforeOverwrite = false, openDirAfterConvert = false;
    uint32_t fontColor = 0;
    std::string waveDir, mp3Dir;
    std::string bitRate1, frequency1, channels1;  // WAV to MP3
    std::string bitRate2, frequency2, channels2;  // MP3 to WAV
};

// The form for the current settings: each list selects the entry of its
// value, mapped as above when no longer offered, or its fallback
// ("128 Kbps", "44.1 KHz", "STEREO", "16_BIT").
OptionsForm optionsFormFor(const AppSettings& settings);

enum class FolderKind { Wave, Mp3 };
// Browse: opens the folder picker with its title; a chosen folder goes into
// the form with a final "/" (a root "/" stays as it is). False on Cancel.
bool browseFolder(OptionsForm& form, FolderKind kind, Dialogs& dialogs);
// The colour swatch: the picker's colour goes into the form. False on Cancel.
bool pickFontColour(OptionsForm& form, Dialogs& dialogs);

// OK: stores the form into the settings and writes all thirteen keys. List
// texts that match no entry keep the old value; rates and bitrates are then
// mapped as above, so what is stored is always offered; a folder that cannot be
// entered is replaced by its default folder after the message
// text::kFolderMissing (once per folder). Folders typed without a final "/"
// get one. The caller then asks the main window to repaint
// (MainController::onSettingsChanged).
void applyOptions(const OptionsForm& form, AppSettings& settings, const DataFolder& data, Dialogs& dialogs);

}  // namespace quillet
