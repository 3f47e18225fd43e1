#include "mp3_settings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <vector>

#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

// One row of the preset table. Every preset clears the high-pass filter;
// fields a preset does not name keep their values.
struct Preset {
    int number;
    int32_t frequency;
    int16_t channels;
    int16_t stereoType;
    int16_t bitrate;
    int16_t encoderQuality;
    int16_t vbrMethod;
    int16_t maxVbrBitrate;
    int16_t vbrQuality;
    int32_t lowPassFrequency;
    int32_t lowPassWidth;
    bool noShortBlocks;
    Mp3PresetMode mode;
};

constexpr std::array<Preset, 16> kPresets{{
    {1, 8000, 1, 1, 8, 5, 0, 56, 6, 3200, 1000, false, Mp3PresetMode::None},          // phone
    {2, 11025, 1, 1, 8, 5, 0, 64, 5, 4800, 500, false, Mp3PresetMode::None},          // sw
    {3, 16000, 1, 1, 24, 5, 0, 160, 5, 7200, 500, false, Mp3PresetMode::None},        // am
    {4, 22050, 2, 2, 16, 5, 0, 128, 5, 9950, 880, false, Mp3PresetMode::None},        // fm
    {5, 32000, 1, 2, 32, 5, 0, 128, 5, 12300, 2000, true, Mp3PresetMode::None},       // voice
    {6, 44100, 2, 2, 64, 5, 0, 256, 4, 15000, 0, false, Mp3PresetMode::None},         // radio
    {7, 44100, 2, 2, 96, 5, 0, 320, 4, 18500, 2000, false, Mp3PresetMode::None},      // tape
    {8, 44100, 2, 2, 112, 2, 0, 320, 3, 20240, 2200, false, Mp3PresetMode::None},     // hifi
    {9, 44100, 2, 1, 128, 2, 0, 320, 2, -1, 0, false, Mp3PresetMode::None},           // cd
    {10, 44100, 2, 1, 160, 2, 0, 320, 0, -1, 0, false, Mp3PresetMode::None},          // studio
    {11, 44100, 2, 2, 96, 2, 3, 320, 1, 19500, 0, false, Mp3PresetMode::R3mix},       // r3mix
    {101, 44100, 2, 2, 128, 2, 2, 320, 1, 19000, 0, false, Mp3PresetMode::Standard},  // fast standard
    {102, 44100, 2, 2, 128, 2, 1, 320, 1, 19000, 0, false, Mp3PresetMode::Standard},  // standard
    {103, 44100, 2, 2, 128, 2, 2, 320, 1, 19500, 0, false, Mp3PresetMode::Extreme},   // fast extreme
    {104, 44100, 2, 2, 128, 2, 1, 320, 1, 19500, 0, false, Mp3PresetMode::Extreme},   // extreme
    {105, 44100, 2, 2, 320, 2, 1, 320, 1, 20500, 0, false, Mp3PresetMode::Insane},    // insane
}};

struct NamedPreset {
    std::string_view name;
    int number;
};

constexpr std::array<NamedPreset, 11> kPresetNames{{
    {"phone", 1},
    {"sw", 2},
    {"am", 3},
    {"fm", 4},
    {"voice", 5},
    {"radio", 6},
    {"tape", 7},
    {"hifi", 8},
    {"cd", 9},
    {"studio", 10},
    {"r3mix", 11},
}};

// "fast standard" and "fast extreme" hold a blank, so a command line (split at
// blanks) never reaches them; they are kept for completeness of the table.
constexpr std::array<NamedPreset, 5> kAltPresetNames{{
    {"fast standard", 101},
    {"standard", 102},
    {"fast extreme", 103},
    {"extreme", 104},
    {"insane", 105},
}};

// The command line is cut into at most this many tokens.
constexpr size_t kMaxTokens = 128;

template <typename T>
T clampTo(long long v) {
    return static_cast<T>(std::clamp<long long>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// An integer read from the leading decimal digits of a token (an optional
// sign in front, as the C library reads it); none gives 0. Saturates at the
// 32-bit range.
int32_t readInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL << 32);
    }
    return clampTo<int32_t>(negative ? -value : value);
}

// A decimal number read from the leading "[sign]digits[.digits]" of a token;
// none gives 0. No exponents, infinities or hexadecimal: a kilohertz value
// has no use for them.
double readDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    double value = 0.0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = std::min(value * 10.0 + (text[i] - '0'), 1e12);
    }
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && isDigit(text[i]); ++i, scale /= 10.0) {
            value += (text[i] - '0') * scale;
        }
    }
    return negative ? -value : value;
}

// Kilohertz to whole hertz, rounded, kept within the 32-bit field.
int32_t kilohertzToHertz(double khz) {
    const double hz = khz * 1000.0 + 0.5;
    return clampTo<int32_t>(static_cast<long long>(std::clamp(hz, -4.0e9, 4.0e9)));
}

std::vector<std::string_view> splitAtBlanks(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t start = 0;
    while (tokens.size() < kMaxTokens) {
        const size_t blank = line.find(' ', start);
        tokens.push_back(line.substr(start, blank == std::string_view::npos ? blank : blank - start));
        if (blank == std::string_view::npos) break;
        start = blank + 1;
    }
    return tokens;
}

}  // namespace

Mp3Settings Mp3Settings::afterReset() {
    Mp3Settings s;
    s.maxVbrBitrate = 128;
    return s;
}

void Mp3Settings::normalise() {
    abrBitrate = std::clamp<int16_t>(abrBitrate, 4, 310);
    maxVbrBitrate = std::max(maxVbrBitrate, bitrate);
    abrBitrate = std::max(abrBitrate, bitrate);
    vbrQuality = std::clamp<int16_t>(vbrQuality, 0, 9);
    encoderQuality = std::clamp<int16_t>(encoderQuality, 0, 9);
}

void Mp3Settings::applyPreset(int number) {
    const auto it =
        std::find_if(kPresets.begin(), kPresets.end(), [number](const Preset& p) { return p.number == number; });
    if (it == kPresets.end()) {
        reset();
    } else {
        const Preset& p = *it;
        frequency = p.frequency;
        channels = p.channels;
        stereoType = p.stereoType;
        bitrate = p.bitrate;
        encoderQuality = p.encoderQuality;
        vbrMethod = p.vbrMethod;
        maxVbrBitrate = p.maxVbrBitrate;
        vbrQuality = p.vbrQuality;
        lowPassFrequency = p.lowPassFrequency;
        lowPassWidth = p.lowPassWidth;
        highPassFrequency = -1;
        highPassWidth = 0;
        if (p.noShortBlocks) noShortBlocks = 1;
        presetMode = static_cast<int16_t>(p.mode);
    }
    normalise();
}

int presetByName(std::string_view name) {
    for (const auto& p : kPresetNames)
        if (p.name == name) return p.number;
    return 0;
}

int altPresetByName(std::string_view name) {
    for (const auto& p : kAltPresetNames)
        if (p.name == name) return p.number;
    return 0;
}

bool Mp3Settings::applyCommandLine(std::string_view line) {
    if (line.empty()) return false;
    const std::vector<std::string_view> tokens = splitAtBlanks(line);
    reset();

    size_t i = 0;
    // The token after the option, consumed; nullptr at the end of the line.
    auto value = [&]() -> const std::string_view* { return i + 1 < tokens.size() ? &tokens[++i] : nullptr; };
    // "--lowpass" and its kin: the field becomes 0, and a following token that
    // reads as a positive number is taken as kilohertz.
    auto filterValue = [&](int32_t& field) {
        field = 0;
        if (i + 1 < tokens.size()) {
            const double khz = readDecimal(tokens[i + 1]);
            if (khz > 0.0) {
                field = kilohertzToHertz(khz);
                ++i;
            }
        }
    };

    for (; i < tokens.size(); ++i) {
        const std::string_view t = tokens[i];
        if (t == "-b") {
            if (auto v = value()) bitrate = clampTo<int16_t>(readInteger(*v));
        } else if (t == "-B") {
            if (auto v = value()) maxVbrBitrate = clampTo<int16_t>(readInteger(*v));
        } else if (t == "-m") {
            if (auto v = value()) {
                if (*v == "m") {
                    channels = 1;
                } else if (*v == "s" || *v == "j" || *v == "f" || *v == "d") {
                    channels = 2;
                    stereoType = *v == "s"   ? SIMPLY
                                 : *v == "j" ? JOINTSTEREO
                                 : *v == "f" ? FORCEDJOINTSTEREO
                                             : DUALCHANNEL;
                }
            }
        } else if (t == "--abr") {
            if (auto v = value()) {
                vbrMethod = VBR_ABR;
                abrBitrate = clampTo<int16_t>(readInteger(*v));
            }
        } else if (t == "-f") {
            vbrQuality = 9;
            encoderQuality = 1;
        } else if (t == "-h") {
            vbrQuality = 0;
            encoderQuality = 3;
        } else if (t == "--comp") {
        } else if (t == "--r3mix") {
            applyPreset(11);
        } else if (t == "--preset") {
            if (auto v = value()) {
                vbrMethod = VBR_DEFAULT;
                if (const int p = presetByName(*v)) applyPreset(p);
            }
        } else if (t == "--alt-preset") {
            if (auto v = value()) {
                vbrMethod = VBR_DEFAULT;
                if (const int p = altPresetByName(*v)) applyPreset(p);
            }
        } else if (t == "-q") {
            if (auto v = value()) encoderQuality = clampTo<int16_t>(readInteger(*v));
        } else if (t == "-s") {
        } else if (t == "--resample") {
            if (auto v = value()) frequency = kilohertzToHertz(readDecimal(*v));
        } else if (t == "-t") {
            writeVbrHeader = 0;
        } else if (t == "-v") {
            if (auto v = value()) vbrQuality = clampTo<int16_t>(readInteger(*v));
        } else if (t == "--ath") {
            athMode = 1;
        } else if (t == "--noath") {
            athMode = 2;
        } else if (t == "--athshort") {
            athMode = 3;
        } else if (t == "-k") {
            lowPassFrequency = -1;
            highPassFrequency = -1;
        } else if (t == "--athlower" || t == "-a") {
        } else if (t == "-F") {
            enforceMinBitrate = 1;
        } else if (t == "-freeformat" || t == "-c" || t == "-o") {
        } else if (t == "-p") {
            errorProtection = 1;
        } else if (t == "-cwlimit") {
        } else if (t == "-e") {
            if (auto v = value()) emphasis = clampTo<int16_t>(readInteger(*v));
        } else if (t == "--highpass") {
            filterValue(highPassFrequency);
        } else if (t == "--highpass-width") {
            filterValue(highPassWidth);
        } else if (t == "--lowpass") {
            filterValue(lowPassFrequency);
        } else if (t == "--lowpass-width") {
            filterValue(lowPassWidth);
        } else if (t == "--nores") {
            noBitReservoir = 1;
        } else if (t == "-noshort") {
            noShortBlocks = 1;
        } else if (t == "--strictly-enforce-ISO") {
            strictIsoCompliance = 1;
        } else if (t == "-x") {
        } else if (t == "-d") {
            blockTypeControl = 1;
        } else if (t == "-vbr") {
            vbrMethod = VBR_DEFAULT;
        } else if (t == "--vbr-new") {
            vbrMethod = VBR_NEW;
        } else if (t == "--vbr-old") {
            vbrMethod = VBR_OLD;
        } else if (t == "--vbr-mtrh") {
            vbrMethod = VBR_MTRH;
        }
    }
    normalise();
    return true;
}

std::string frequencyWithComma(long hz) {
    std::string digits = std::to_string(hz);
    const size_t firstDigit = hz < 0 ? 1 : 0;
    if (digits.size() - firstDigit > 3) digits.insert(digits.size() - 3, 1, ',');
    return digits;
}

std::string mp3Description(const Mp3Settings& s, long encoderChoice) {
    std::string text = "MP3 " + frequencyWithComma(s.frequency) + " kHz; ";
    if (s.channels == 1) {
        text += "Mono;";
    } else if (s.channels == 2) {
        switch (s.stereoType) {
        case SIMPLY: text += "Stereo; "; break;
        case JOINTSTEREO: text += "Joint Stereo; "; break;
        case FORCEDJOINTSTEREO: text += "Forced Joint Stereo; "; break;
        case DUALCHANNEL: text += "Dual Stereo; "; break;
        default: break;
        }
    }
    char part[64];
    if (encoderChoice == LAME) {
        if (s.vbrMethod >= VBR_DEFAULT && s.vbrMethod <= VBR_MTRH && s.bitrate != s.maxVbrBitrate)
            std::snprintf(part, sizeof part, " %d-%d Kbps; ", s.bitrate, s.maxVbrBitrate);
        else if (s.vbrMethod == VBR_ABR)
            std::snprintf(part, sizeof part, " ABR %d Kbps; ", s.abrBitrate);
        else
            std::snprintf(part, sizeof part, " %d Kbps; ", s.bitrate);
        text += part;
    } else if (encoderChoice == ACM_DRIVER_IN) {
        std::snprintf(part, sizeof part, " %d Kbps; ", s.bitrate);
        text += part;
    }
    return text;
}

std::string describeMp3(Mp3Settings& settings, long encoderChoice) {
    settings.normalise();
    return mp3Description(settings, encoderChoice);
}

void setFormatMp3(Mp3Settings& settings, long frequency, long bitrate, long channels) {
    settings.frequency = clampTo<int32_t>(frequency);
    settings.bitrate = bitrate == 0 ? int16_t{128} : toField16(bitrate);
    settings.channels = toField16(channels);
    settings.presetMode = static_cast<int16_t>(Mp3PresetMode::None);
}

}  // namespace qoro::audiofile
