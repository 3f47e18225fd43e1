// The MP3 encoder settings of an AudioFile: the record itself, its presets,
// its normalisation, the LAME-style command-line parser and the MP3 format
// description text.
//
// An AudioFile owns one Mp3Settings; its AudioFileLameMp3Encoder object edits
// that record through the Mp3SettingsOwner interface, and the engine copies it
// when an MP3 file is created.
//
//   qoro::audiofile::Mp3Settings s;                 // construction defaults
//   s.applyCommandLine("-b 192 -m j --abr 160");     // resets, parses, normalises
//   std::string text = qoro::audiofile::describeMp3(s, LAME);
//   // "MP3 44,100 kHz; Joint Stereo;  ABR 192 Kbps; "
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qoro::audiofile {

// Preset modes, handed to the encoder library as its preset code.
enum class Mp3PresetMode : int16_t { None = 0, R3mix = 1, Standard = 2, Extreme = 3, Insane = 4 };

// Fields in the order of the record; widths as the encoder library receives them.
struct Mp3Settings {
    int16_t channels = 2;
    int16_t bitrate = 128;        // kbit/s
    int32_t frequency = 44100;    // Hz
    int16_t stereoType = 1;       // Mp3LameTypeStereoConstants
    int16_t maxVbrBitrate = 192;  // kbit/s
    int16_t encoderQuality = 5;   // 0 (best) .. 9
    int16_t vbrQuality = 7;       // 0 (best) .. 9
    int16_t vbrMethod = -1;       // Mp3LameMethodConstants
    int16_t abrBitrate = 128;     // kbit/s
    int16_t errorProtection = 0;
    int16_t writeVbrHeader = 1;
    int16_t noBitReservoir = 0;
    int16_t blockTypeControl = 0;
    int16_t noShortBlocks = 0;
    int16_t strictIsoCompliance = 0;
    int16_t enforceMinBitrate = 0;
    int32_t lowPassFrequency = -1;   // Hz, -1 = none
    int32_t highPassFrequency = -1;  // Hz, -1 = none
    int32_t lowPassWidth = 0;        // Hz
    int32_t highPassWidth = 0;       // Hz
    int16_t athMode = 0;
    int16_t emphasis = 0;
    int16_t presetMode = 0;  // Mp3PresetMode

    bool operator==(const Mp3Settings&) const = default;

    // The record as a reset leaves it (differs from construction in the
    // maximum VBR bitrate: 128 instead of 192).
    static Mp3Settings afterReset();

    void reset() { *this = afterReset(); }

    // ABR bitrate clamped to 4..310; maximum VBR bitrate and ABR bitrate
    // raised to at least the bitrate; VBR and encoder quality clamped to 0..9.
    void normalise();

    // Applies a numbered preset (1..11, 101..105) and normalises; any other
    // number resets the whole record first (and then normalises).
    void applyPreset(int preset);

    // Parses a LAME-style command line: resets the record, applies the options
    // it recognises, normalises. An empty line changes nothing and returns
    // false; otherwise returns true.
    bool applyCommandLine(std::string_view commandLine);
};

// A 32-bit value stored into a 16-bit field of the record, saturated.
inline int16_t toField16(long v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// Preset numbers by name, as the command line names them; 0 when unknown.
int presetByName(std::string_view name);
int altPresetByName(std::string_view name);

// "44,100": the frequency's decimal digits with a comma before the last three.
std::string frequencyWithComma(long hz);

// The MP3 format description for the settings as they stand, with the
// encoder choice (Mp3EncoderConstants) deciding the bitrate part.
std::string mp3Description(const Mp3Settings& settings, long encoderChoice);

// What SetFormatMP3 and every settings change do: normalise, then describe.
std::string describeMp3(Mp3Settings& settings, long encoderChoice);

// Stores what SetFormatMP3 accepts (no validation; bitrate 0 becomes 128) and
// clears the preset mode. The caller then describes the settings.
void setFormatMp3(Mp3Settings& settings, long frequency, long bitrate, long channels);

// Reached by the AudioFileLameMp3Encoder object: the AudioFile that owns the
// settings record.
class Mp3SettingsOwner {
public:
    virtual Mp3Settings& mp3Settings() = 0;
    // The settings were normalised after a change that affects the format
    // description: rebuild it (describeMp3 with the current encoder choice).
    virtual void mp3SettingsChanged() = 0;

protected:
    ~Mp3SettingsOwner() = default;
};

}  // namespace qoro::audiofile
