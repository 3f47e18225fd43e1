#include "core/settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>

#include "core/data_folder.h"
#include "profile/profile.h"

namespace profile = qoro::profile;

namespace quillet {

namespace {

constexpr const char* kSection = "Settings";
constexpr const char* kMissing = "Wrong directory";
constexpr size_t kFolderBuffer = 260;
constexpr size_t kNumberBuffer = 20;

int32_t readNumber(const char* key, const std::string& file) {
    return leadingNumber(profile::getString(kSection, key, kMissing, kNumberBuffer, file));
}

void replaceZero(int32_t& value, int32_t fallback) {
    if (value == 0) value = fallback;
}

}  // namespace

std::string DataFolder::optionFile() const { return root + kOptionFile; }
std::string DataFolder::defaultWaveDir() const { return defaultOutputBase(root) + kWaveFolderName; }
std::string DataFolder::defaultMp3Dir() const { return defaultOutputBase(root) + kMp3FolderName; }
std::string DataFolder::listFile(ConversionMode mode) const {
    return root + (mode == ConversionMode::Mp3ToWav ? "mp3towav.log" : "wavtomp3.log");
}
std::string DataFolder::helpFile() const { return root + kHelpFile; }

int32_t leadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

void ensureDefaultFolders(const DataFolder& folder) {
    // Beside the data the parent exists; in the music folder "Quillet/" (and
    // the music folder itself) may not yet.
    for (const std::string& dir : {folder.defaultWaveDir(), folder.defaultMp3Dir()}) {
        if (canEnterFolder(dir)) continue;
        if (dir.rfind(folder.root, 0) == 0)
            createFolder(dir);
        else
            createFolders(dir);
    }
}

AppSettings loadSettings(const DataFolder& folder) {
    const std::string file = folder.optionFile();
    AppSettings s;
    s.WaveDir = profile::getString(kSection, "WaveDir", kMissing, kFolderBuffer, file);
    s.Mp3Dir = profile::getString(kSection, "Mp3Dir", kMissing, kFolderBuffer, file);
    s.PlayInACycle = readNumber("PlayInACycle", file);
    s.PlayAfterConvert = readNumber("PlayAfterConvert", file);
    s.PromptBeforeOverwrite = readNumber("PromptBeforeOverwrite", file);
    s.OpenDirAfterConvert = readNumber("OpenDirAfterConvert", file);
    s.FontColor = static_cast<uint32_t>(readNumber("FontColor", file));
    s.BitRate1 = readNumber("BitRate1", file);
    s.BitRate2 = readNumber("BitRate2", file);
    s.Frequency1 = readNumber("Frequency1", file);
    s.Frequency2 = readNumber("Frequency2", file);
    s.Channels1 = readNumber("Channels1", file);
    s.Channels2 = readNumber("Channels2", file);
    replaceZero(s.BitRate1, 128);
    replaceZero(s.BitRate2, 16);
    replaceZero(s.Frequency1, 44100);
    replaceZero(s.Frequency2, 44100);
    replaceZero(s.Channels1, 2);
    replaceZero(s.Channels2, 2);
    if (!canEnterFolder(s.WaveDir)) {
        s.WaveDir = folder.defaultWaveDir();
        profile::writeString(kSection, "WaveDir", s.WaveDir, file);
    }
    if (!canEnterFolder(s.Mp3Dir)) {
        s.Mp3Dir = folder.defaultMp3Dir();
        profile::writeString(kSection, "Mp3Dir", s.Mp3Dir, file);
    }
    return s;
}

bool saveSettings(const AppSettings& s, const DataFolder& folder) {
    const std::string file = folder.optionFile();
    auto flag = [](int32_t v) { return std::string(v != 0 ? "1" : "0"); };
    auto number = [](int32_t v) { return std::to_string(v); };
    bool ok = true;
    ok &= profile::writeString(kSection, "PlayInACycle", flag(s.PlayInACycle), file);
    ok &= profile::writeString(kSection, "PlayAfterConvert", flag(s.PlayAfterConvert), file);
    ok &= profile::writeString(kSection, "PromptBeforeOverwrite", flag(s.PromptBeforeOverwrite), file);
    ok &= profile::writeString(kSection, "OpenDirAfterConvert", flag(s.OpenDirAfterConvert), file);
    ok &= profile::writeString(kSection, "FontColor", number(static_cast<int32_t>(s.FontColor)), file);
    ok &= profile::writeString(kSection, "BitRate1", number(s.BitRate1), file);
    ok &= profile::writeString(kSection, "Frequency1", number(s.Frequency1), file);
    ok &= profile::writeString(kSection, "Channels1", number(s.Channels1), file);
    ok &= profile::writeString(kSection, "BitRate2", number(s.BitRate2), file);
    ok &= profile::writeString(kSection, "Frequency2", number(s.Frequency2), file);
    ok &= profile::writeString(kSection, "Channels2", number(s.Channels2), file);
    ok &= profile::writeString(kSection, "WaveDir", s.WaveDir, file);
    ok &= profile::writeString(kSection, "Mp3Dir", s.Mp3Dir, file);
    return ok;
}

}  // namespace quillet
