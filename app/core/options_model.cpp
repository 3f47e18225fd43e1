#include "core/options_model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

#include "core/data_folder.h"
#include "core/messages.h"

namespace quillet {

namespace {

// Every bitrate and rate the lists have offered, in their order on screen:
// stored values among them still have a nearest offered entry, and the
// entry texts are read through them.
constexpr std::array<ListEntry, 17> kAllBitrates = {{{"320 Kbps", 320},
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
constexpr std::array<ListEntry, 12> kAllFrequencies = {{{"96 KHz", 96000},
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
// The MP3 encoder's rates (MPEG-1, 2 and 2.5) and the PCM writer's.
const std::span<const ListEntry> kMp3Frequencies = std::span(kAllFrequencies).subspan(2, 9);
const std::span<const ListEntry> kWavFrequencies = std::span(kAllFrequencies).subspan(2, 10);
// Layer III bitrates: MPEG-1 from 32 to 320 kbit/s, MPEG-2 from 8 to 160
// (144, which only MPEG-2 takes, has never been in the list). MPEG-2.5 has
// the same table, but the encoder makes 64 kbit/s of anything above, so the
// list stops there.
const std::span<const ListEntry> kMpeg1Bitrates = std::span(kAllBitrates).subspan(0, 14);
const std::span<const ListEntry> kMpeg2Bitrates = std::span(kAllBitrates).subspan(4, 13);
const std::span<const ListEntry> kMpeg25Bitrates = std::span(kAllBitrates).subspan(9, 8);
constexpr int32_t kFallbackFrequency = 44100;
constexpr int32_t kFallbackBitrate = 128;

std::span<const ListEntry> mp3Bitrates(int32_t hz) {
    return hz >= 32000 ? kMpeg1Bitrates : hz >= 16000 ? kMpeg2Bitrates : kMpeg25Bitrates;
}

bool offers(std::span<const ListEntry> entries, int32_t value) {
    return std::any_of(entries.begin(), entries.end(), [value](const ListEntry& e) { return e.value == value; });
}

// The entry nearest to 'value'; of two equally near, the higher.
int32_t nearestValue(std::span<const ListEntry> entries, int32_t value) {
    int32_t best = entries.front().value;
    for (const ListEntry& e : entries) {
        const int64_t d = std::abs(int64_t(e.value) - value), bestD = std::abs(int64_t(best) - value);
        if (d < bestD || (d == bestD && e.value > best)) best = e.value;
    }
    return best;
}

// Offered: itself; offered before: the nearest offered; otherwise the
// fallback, or the offered value nearest to it.
int32_t offeredValue(std::span<const ListEntry> offered, std::span<const ListEntry> all, int32_t value,
                     int32_t fallback) {
    if (offers(offered, value)) return value;
    return nearestValue(offered, offers(all, value) ? value : fallback);
}

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

std::span<const ListEntry> mp3FrequencyEntries() { return kMp3Frequencies; }
std::vector<ListEntry> mp3BitrateEntries(int32_t hz) {
    const auto entries = mp3Bitrates(hz);
    return {entries.begin(), entries.end()};
}
std::span<const ListEntry> wavFrequencyEntries() { return kWavFrequencies; }
std::span<const ListEntry> channelEntries() { return kChannels; }
std::span<const ListEntry> sampleWidthEntries() { return kSampleWidths; }

int32_t offeredMp3Frequency(int32_t hz) {
    return offeredValue(kMp3Frequencies, kAllFrequencies, hz, kFallbackFrequency);
}
int32_t offeredWavFrequency(int32_t hz) {
    return offeredValue(kWavFrequencies, kAllFrequencies, hz, kFallbackFrequency);
}
int32_t offeredMp3Bitrate(int32_t hz, int32_t kbps) {
    return offeredValue(mp3Bitrates(hz), kAllBitrates, kbps, kFallbackBitrate);
}
int32_t nearestMp3Bitrate(int32_t hz, int32_t kbps) { return nearestValue(mp3Bitrates(hz), kbps); }

Mp3Target offeredMp3Target(const AppSettings& s) {
    const int32_t hz = offeredMp3Frequency(s.Frequency1);
    return {hz, offeredMp3Bitrate(hz, s.BitRate1), s.Channels1 == 1 ? 1 : 2};
}

PcmTarget offeredPcmTarget(const AppSettings& s) {
    return {offeredWavFrequency(s.Frequency2), s.Channels2 == 1 ? 1 : 2, s.BitRate2 == 8 ? 8 : 16};
}

OptionsForm optionsFormFor(const AppSettings& s) {
    OptionsForm f;
    f.playInACycle = s.PlayInACycle != 0;
    f.playAfterConvert = s.PlayAfterConvert != 0;
    f.promptBeforeOverwrite = s.PromptBeforeOverwrite != 0;
    f.openDirAfterConvert = s.OpenDirAfterConvert != 0;
    f.fontColor = s.FontColor;
    f.waveDir = s.WaveDir;
    f.mp3Dir = s.Mp3Dir;
    const Mp3Target mp3 = offeredMp3Target(s);
    f.bitRate1 = entryText(kAllBitrates, mp3.bitrate, "128 Kbps");
    f.frequency1 = entryText(kAllFrequencies, mp3.frequency, "44.1 KHz");
    f.channels1 = s.Channels1 == 1 ? "MONO" : "STEREO";
    f.bitRate2 = s.BitRate2 == 8 ? "8_BIT" : "16_BIT";
    f.frequency2 = entryText(kAllFrequencies, offeredWavFrequency(s.Frequency2), "44.1 KHz");
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
    s.Frequency1 = offeredMp3Frequency(entryValue(kAllFrequencies, form.frequency1, s.Frequency1));
    s.BitRate1 = offeredMp3Bitrate(s.Frequency1, entryValue(kAllBitrates, form.bitRate1, s.BitRate1));
    s.Channels1 = entryValue(kChannels, form.channels1, s.Channels1);
    s.BitRate2 = entryValue(kSampleWidths, form.bitRate2, s.BitRate2);
    s.Frequency2 = offeredWavFrequency(entryValue(kAllFrequencies, form.frequency2, s.Frequency2));
    s.Channels2 = entryValue(kChannels, form.channels2, s.Channels2);
    s.WaveDir = checkedFolder(form.waveDir, data.defaultWaveDir(), dialogs);
    s.Mp3Dir = checkedFolder(form.mp3Dir, data.defaultMp3Dir(), dialogs);
    saveSettings(s, data);
}

}  // namespace quillet
