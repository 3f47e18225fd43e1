// The program's options: OPTION.INI, section "Settings", in the data folder.
//
// Read once at start-up (load), written only by the Options dialog's OK
// (save) and by the start-up repair of the two folder keys. Everything else
// reads the in-memory AppSettings.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

enum class ConversionMode { Mp3ToWav = 1, WavToMp3 = 2 };

struct AppSettings {
    std::string WaveDir;       // output folder of Mp3ToWav, ends in "/"
    std::string Mp3Dir;        // output folder of WavToMp3, ends in "/"
    int32_t PlayInACycle = 0;  // flags: non-zero = on
    int32_t PlayAfterConvert = 0;
    int32_t PromptBeforeOverwrite = 0;
    int32_t OpenDirAfterConvert = 0;
    uint32_t FontColor = 0;  // 0x00BBGGRR, grid text colour
    int32_t BitRate1 = 128;  // kbit/s, WavToMp3
    int32_t Frequency1 = 44100;
    int32_t Channels1 = 2;
    int32_t BitRate2 = 16;  // bits per sample, Mp3ToWav
    int32_t Frequency2 = 44100;
    int32_t Channels2 = 2;
};

// Folder layout of one data folder (ends in "/").
struct DataFolder {
    std::string root;
    std::string optionFile() const;  // root + "OPTION.INI"
    // The default output folders: "Wave Files/" and "Mp3 Files/" in the data
    // folder, or in the user's music folder for an installed program (see
    // defaultOutputBase in data_folder.h).
    std::string defaultWaveDir() const;
    std::string defaultMp3Dir() const;
    std::string listFile(ConversionMode mode) const;  // "mp3towav.log" / "wavtomp3.log"
    std::string helpFile() const;
};

// Creates the default output folders when they cannot be entered (with
// their parents when they lie outside the data folder).
void ensureDefaultFolders(const DataFolder& folder);

// Reads every key (missing ones take their defaults) and repairs the two
// folder keys, writing the default folder back when a key names no folder.
AppSettings loadSettings(const DataFolder& folder);

// Writes all thirteen keys, one key write each, in the stored order.
// False when a write failed.
bool saveSettings(const AppSettings& settings, const DataFolder& folder);

// The leading decimal number of a text (one sign allowed), 0 without digits;
// saturates at the 32-bit limits.
int32_t leadingNumber(const std::string& text);

// Target formats of one conversion (offeredPcmTarget and offeredMp3Target in
// options_model.h resolve them from the settings when a run starts).
struct PcmTarget {
    int32_t frequency, channels, bitsPerSample;
};
struct Mp3Target {
    int32_t frequency, bitrate, channels;
};

}  // namespace quillet
