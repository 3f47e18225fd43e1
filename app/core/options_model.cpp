#include "core/options_model.h"

#include <array>
#include <cctype>

#include "core/data_folder.h"
#include "core/messages.h"

namespace quillet {

namespace {

constexpr std::array<ListEntry, 17> kBitrates = {{{"320 Kbps", 320},
                                                  {"256 Kbps", 256},
                                                  {"224 Kbps", 224},
                                                  {"192 Kbps", 192},
                                                  {"160 Kbps", 160},
                                                  {"128 Kbps", 128},
                                                  {"112 Kbps", 112},
                                                  {"96 Kbps", 96},
                                                  {"80 Kbps", 80},
                                                  {"64 Kbps", 64},
                                                  {"56 Kbps", 56},
                                                  {"48 Kbps", 48},
                                                  {"40 Kbps", 40},
                                                  {"32 Kbps", 32},
                                                  {"24 Kbps", 24},
                                                  {"16 Kbps", 16},
                                                  {"8 Kbps", 8}}};
constexpr std::array<ListEntry, 12> kFrequencies = {{{"96 KHz", 96000},
                                                     {"88.2 KHz", 88200},
                                                     {"48 KHz", 48000},
                                                     {"44.1 KHz", 44100},
                                                     {"32 KHz", 32000},
                                                     {"24 KHz", 24000},
                                                     {"22.05 KHz", 22050},
                                                     {"16 KHz", 16000},
                                                     {"12 KHz", 12000},
                                                     {"11.025 KHz", 11025},
                                                     {"8 KHz", 8000},
                                                     {"6 KHz", 6000}}};
constexpr std::array<ListEntry, 2> kChannels = {{{"STEREO", 2}, {"MONO", 1}}};
constexpr std::array<ListEntry, 2> kSampleWidths = {{{"8_BIT", 8}, {"16_BIT", 16}}};

std::string entryText(std::span<const ListEntry> entries, int32_t value, const char* fallback) {
    for (const ListEntry& e : entries)
        if (e.value == value) return e.text;
    return fallback;
}

// The value of an exactly matching entry text; the old value otherwise.
int32_t entryValue(std::span<const ListEntry> entries, const std::string& text, int32_t old) {
    for (const ListEntry& e : entries)
        if (text == e.text) return e.value;
    return old;
}

std::string checkedFolder(std::string folder, const std::string& fallback, Dialogs& dialogs) {
    folder = withTrailingSlash(std::move(folder));
    if (canEnterFolder(folder)) return folder;
    dialogs.information(text::kFolderMissing);
    return fallback;
}

}  // namespace

std::span<const ListEntry> bitrateEntries() { return kBitrates; }
std::span<const ListEntry> frequencyEntries() { return kFrequencies; }
std::span<const ListEntry> channelEntries() { return kChannels; }
std::span<const ListEntry> sampleWidthEntries() { return kSampleWidths; }

OptionsForm optionsFormFor(const AppSettings& s) {
    OptionsForm f;
    f.playInACycle = s.PlayInACycle != 0;
    f.playAfterConvert = s.PlayAfterConvert != 0;
    f.promptBeforeOverwrite = s.PromptBeforeOverwrite != 0;
    f.openDirAfterConvert = s.OpenDirAfterConvert != 0;
    f.fontColor = s.FontColor;
    f.waveDir = s.WaveDir;
    f.mp3Dir = s.Mp3Dir;
    f.bitRate1 = entryText(kBitrates, s.BitRate1, "128 Kbps");
    f.frequency1 = entryText(kFrequencies, s.Frequency1, "44.1 KHz");
    f.channels1 = s.Channels1 == 1 ? "MONO" : "STEREO";
    f.bitRate2 = s.BitRate2 == 8 ? "8_BIT" : "16_BIT";
    f.frequency2 = entryText(kFrequencies, s.Frequency2, "44.1 KHz");
    f.channels2 = s.Channels2 == 1 ? "MONO" : "STEREO";
    return f;
}

bool browseFolder(OptionsForm& form, FolderKind kind, Dialogs& dialogs) {
    const auto chosen =
        dialogs.pickFolder(kind == FolderKind::Wave ? text::kWaveFolderPickerTitle : text::kMp3FolderPickerTitle);
    if (!chosen) return false;
    std::string folder = *chosen;
    if (folder.size() > 1 && folder.back() != '/') folder += '/';
    (kind == FolderKind::Wave ? form.waveDir : form.mp3Dir) = folder;
    return true;
}

bool pickFontColour(OptionsForm& form, Dialogs& dialogs) {
    const auto colour = dialogs.pickColour(form.fontColor);
    if (!colour) return false;
    form.fontColor = *colour;
    return true;
}

void applyOptions(const OptionsForm& form, AppSettings& s, const DataFolder& data, Dialogs& dialogs) {
    s.PlayInACycle = form.playInACycle ? 1 : 0;
    s.PlayAfterConvert = form.playAfterConvert ? 1 : 0;
    s.PromptBeforeOverwrite = form.promptBeforeOverwrite ? 1 : 0;
    s.OpenDirAfterConvert = form.openDirAfterConvert ? 1 : 0;
    s.FontColor = form.fontColor;
    s.BitRate1 = entryValue(kBitrates, form.bitRate1, s.BitRate1);
    s.Frequency1 = entryValue(kFrequencies, form.frequency1, s.Frequency1);
    s.Channels1 = entryValue(kChannels, form.channels1, s.Channels1);
    s.BitRate2 = entryValue(kSampleWidths, form.bitRate2, s.BitRate2);
    s.Frequency2 = entryValue(kFrequencies, form.frequency2, s.Frequency2);
    s.Channels2 = entryValue(kChannels, form.channels2, s.Channels2);
    s.WaveDir = checkedFolder(form.waveDir, data.defaultWaveDir(), dialogs);
    s.Mp3Dir = checkedFolder(form.mp3Dir, data.defaultMp3Dir(), dialogs);
    saveSettings(s, data);
}

}  // namespace quillet
