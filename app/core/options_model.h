// The Options dialog's rules, without the dialog: the entries of its lists,
// what it shows for the current settings, Browse, and what OK stores. The
// front end keeps an OptionsForm while the dialog is open; Cancel simply
// drops it.
#pragma once

#include <span>
#include <string>

#include "core/ports.h"
#include "core/settings.h"

namespace quillet {

struct ListEntry {
    const char* text;
    int32_t value;
};

// The lists in their order on screen.
std::span<const ListEntry> bitrateEntries();      // "320 Kbps" ... "8 Kbps"
std::span<const ListEntry> frequencyEntries();    // "96 KHz" ... "6 KHz"
std::span<const ListEntry> channelEntries();      // "STEREO", "MONO"
std::span<const ListEntry> sampleWidthEntries();  // "8_BIT", "16_BIT"

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
// value, or its fallback ("128 Kbps", "44.1 KHz", "STEREO", "16_BIT").
OptionsForm optionsFormFor(const AppSettings& settings);

enum class FolderKind { Wave, Mp3 };
// Browse: opens the folder picker with its title; a chosen folder goes into
// the form with a final "/" (a root "/" stays as it is). False on Cancel.
bool browseFolder(OptionsForm& form, FolderKind kind, Dialogs& dialogs);
// The colour swatch: the picker's colour goes into the form. False on Cancel.
bool pickFontColour(OptionsForm& form, Dialogs& dialogs);

// OK: stores the form into the settings and writes all thirteen keys. List
// texts that match no entry keep the old value; a folder that cannot be
// entered is replaced by its default folder after the message
// text::kFolderMissing (once per folder). Folders typed without a final "/"
// get one. The caller then asks the main window to repaint
// (MainController::onSettingsChanged).
void applyOptions(const OptionsForm& form, AppSettings& settings, const DataFolder& data, Dialogs& dialogs);

}  // namespace quillet
