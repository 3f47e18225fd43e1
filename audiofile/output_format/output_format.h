// Output format selection: what each SetFormat* method of AudioFile builds,
// checks and stores, and every format description text the component shows.
//
// The AudioFile object keeps a FormatState (the full wave format record, the
// PCM form fed to or read from the codec, the format type, Bitrate and the
// description) and an OutputSettings (the per-codec settings the engine reads
// when a file is created or opened). It checks its Status (BUSY) and clears
// the last error itself, then calls one function per method:
//
//   qoro::audiofile::FormatState fmt = qoro::audiofile::FormatState::initial();
//   qoro::audiofile::OutputSettings out;
//   long blockAlign = qoro::audiofile::setFormatPcm(fmt, 22050, 1, 16);   // 2
//   // fmt.type == WAV, fmt.bitrate == 352800,
//   // fmt.description == "PCM 22,050 kHz, 16 Bit, Mono" (the codec manager's names)
//   blockAlign = qoro::audiofile::setFormatPcm(fmt, 12345, 1, 16);        // 0, fmt unchanged
//
// A function that returns 0 has changed nothing (the MP3 and MP2 settings are
// the exception: they are stored without validation, as the methods say).
// Formats described by the codec manager are confirmed through it first: a
// PCM form must exist, a conversion stream to it must open, and its driver
// must name both the format tag and the format.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "acm/wave_format.h"
#include "codecs/mp3enc/mp3_settings.h"

namespace qoro::audiofile {

// The full wave format record of a file: a WAVEFORMATEX followed by its extra
// bytes (at most 162), zero-filled behind the record.
inline constexpr size_t kFullFormatSize = 180;

// Sample rates a file's PCM form may have.
inline constexpr uint32_t kMinPcmRate = 1000;
inline constexpr uint32_t kMaxPcmRate = 384000;
using FullFormat = std::array<uint8_t, kFullFormatSize>;

// The record as bytes: 16 for PCM, 18 + cbSize (bounded by the buffer) else.
std::span<const uint8_t> recordBytes(const FullFormat& full);
// The WAVEFORMATEX header of the buffer.
acm::WAVEFORMATEX headerOf(const FullFormat& full);
// A full-format buffer holding `record` (truncated to the buffer, rest zero).
FullFormat toFullFormat(std::span<const uint8_t> record);

struct Mp2Settings {
    int16_t mode = 2;       // 1 mono, 2 stereo, 3 joint stereo, 4 dual channel
    int32_t bitrate = 128;  // kbit/s
    int32_t frequency = 44100;
};

struct OggSettings {
    int32_t nominalBitrate = 128;  // kbit/s
    int32_t frequency = 44100;
    int16_t channels = 2;
    int32_t minBitrate = -1;
    int32_t maxBitrate = -1;
    int16_t quality = -1;  // hundredths, -1 = use the bitrates
};

struct FlacSettings {
    int32_t frequency = 44100;
    int16_t channels = 2;  // 1 to 8, in WAV order
    int16_t level = 5;     // compression level, 0 (fastest) to 8 (smallest)
    int16_t bits = 16;     // 16 or 24
};

// M4A through the media plug-in: AAC-LC at a bitrate, or ALAC at 16 or 24 bits.
struct M4aSettings {
    int32_t frequency = 44100;
    int16_t channels = 2;     // 1 to 8, in WAV order
    int32_t bitrate = 256;    // AAC: kbit/s
    int16_t bits = 16;        // ALAC: 16 or 24
};

struct OpusSettings {
    int16_t channels = 2;
    int32_t bitrate = 128;   // kbit/s
    int16_t complexity = 10; // 0 (fastest) to 10 (best)
};

struct RawSettings {
    int32_t frequency = 44100;
    int16_t bits = 16;
    int16_t channels = 2;
    int32_t compression = 1;  // RawTypeCompressConstants, PCM
};

// The per-codec output settings an AudioFile hands its engine at open and
// create (MP3 settings live in their own record, shared with the
// AudioFileLameMp3Encoder object).
struct OutputSettings {
    Mp2Settings mp2;
    OggSettings ogg;
    FlacSettings flac;
    OpusSettings opus;
    M4aSettings aac;   // FormatType M4A
    M4aSettings alac;  // FormatType ALAC
    RawSettings raw;
    int32_t voxFrequency = 8000;
    int16_t g726Bits = 4;
    int32_t g726Frequency = 8000;
    int16_t g723Bits = 3;
    int32_t g723Frequency = 8000;
    int32_t g721Frequency = 8000;
};

// The output-format part of an AudioFile's state.
struct FormatState {
    FullFormat full{};         // the file's own record
    acm::WAVEFORMATEX file{};  // its PCM form
    int32_t type = 1;          // FormatTypeConstants (WAV)
    int32_t bitrate = 0;       // bits per second
    std::string description;   // FormatString

    // PCM 44100 Hz, 2 channels, 16 bits; the full format a copy of it; the
    // description from the codec manager; Bitrate 0.
    static FormatState initial();
};

// ---------------------------------------------------------------------------
// The SetFormat* methods. Each returns BlockAlign (0 = refused).

long setFormatPcm(FormatState& state, long frequency, long channels, long bitsPerSample);
// WAV samples of 16, 24 or 32 bits (integers) or 32-bit floats, 1 to 8
// channels, 1000 to 384000 Hz.
long setFormatPcmKind(FormatState& state, long frequency, long channels, int bits, bool isFloat);
long setFormatAlaw(FormatState& state, long frequency, long channels);
long setFormatUlaw(FormatState& state, long frequency, long channels);
long setFormatAdpcm(FormatState& state, long frequency, long channels);
long setFormatGsm(FormatState& state, long frequency);
long setFormatDsp(FormatState& state);
long setFormatMobileVoice(FormatState& state, long frequency);
long setFormatAlf2cd(FormatState& state, long bitrate);
// Derives the file format from the raw format (the full format stays).
long setFormatRaw(FormatState& state, OutputSettings& settings, long typeCompress, long frequency, long channels,
                  long bitsPerSample);
// `encoderChoice` is the AudioFile's Mp3TypeEncoder (it shapes the description).
long setFormatMp3(FormatState& state, Mp3Settings& mp3, long encoderChoice, long frequency, long bitrate,
                  long channels);
long setFormatMp2(FormatState& state, OutputSettings& settings, long frequency, long bitrate, long mode);
long setFormatOggVorbis(FormatState& state, OutputSettings& settings, long frequency, long channels,
                        long nominalBitrate, long minBitrate, long maxBitrate, long quality);
// AAC-LC in M4A: the MPEG-4 rates (7350 to 96000 Hz), 1 to 8 channels
// (not 7), 8 to 512 kbit/s per channel.
inline constexpr long kAacRates[] = {7350, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000};
long setFormatAac(FormatState& state, OutputSettings& settings, long frequency, long channels, long bitrate);
// ALAC in M4A: 1000 to 384000 Hz, 1 to 8 channels, 16 or 24 bits.
long setFormatAlac(FormatState& state, OutputSettings& settings, long frequency, long channels, long bits);
// The rates Ogg Vorbis is written at through setFormatVorbis.
inline constexpr long kVorbisRates[] = {44100, 48000};
// Ogg Vorbis as setFormatOggVorbis sets it, at the rate (kVorbisRates) and
// channels (1 or 2) asked for; 0 for any other.
long setFormatVorbis(FormatState& state, OutputSettings& settings, long frequency, long channels,
                     long nominalBitrate, long minBitrate, long maxBitrate, long quality);
// 16-bit FLAC at 1000 to 384000 Hz in 1 or 2 channels, level 0 to 8; the
// file format and full format stay as they are (the file is PCM inside).
long setFormatFlac(FormatState& state, OutputSettings& settings, long frequency, long channels, long level);
// The same at 16 or 24 bits in 1 to 8 channels.
long setFormatFlacBits(FormatState& state, OutputSettings& settings, long frequency, long channels, long bits,
                       long level);
// Opus at 48000 Hz in 1 to 8 channels, 6 to 510 kbit/s, complexity 0 to 10;
// the file format and full format stay as they are.
long setFormatOpus(FormatState& state, OutputSettings& settings, long channels, long bitrate, long complexity);
long setFormatVox(FormatState& state, OutputSettings& settings, long frequency);
// The G.72x methods keep the format type: CreateFile names the type.
long setFormatG721(FormatState& state, OutputSettings& settings, long frequency);
long setFormatG723(FormatState& state, OutputSettings& settings, long frequency, long bitrate);
long setFormatG726(FormatState& state, OutputSettings& settings, long frequency, long bitrate);

// SetFormatFromMenu: the codec manager's format chooser, titled
// "Choose Format WAV file". `error` is what the object stores as its last
// error, `fired` the code its Error event carries (both NOERRORS when the
// chooser was cancelled, which is silent).
struct MenuChoice {
    long blockAlign = 0;
    long error = 0;
    long fired = 0;
};
MenuChoice setFormatFromMenu(FormatState& state);

// SetFormatLikeSample, last step, after the engine opened the sample: takes
// over its full format, PCM form and description (and for MP3 its frequency,
// bitrate in kbit/s and channels into the MP3 settings). The PCM form is
// derived again from the full format; returns its block alignment.
struct SampleFormat {
    std::span<const uint8_t> full;                           // the sample's record
    std::string description;                                 // the engine's description of it
    long mp3Frequency = 0, mp3Bitrate = 0, mp3Channels = 0;  // MP3 samples
};
long adoptSampleFormat(FormatState& state, Mp3Settings& mp3, long type, const SampleFormat& sample);

// ---------------------------------------------------------------------------
// Records and texts, shared with the engine.

// The raw sample file format for the raw settings (compression kind f, c, b),
// or false when the table has no entry for them.
bool buildRawFormat(long typeCompress, long frequency, long channels, long bitsPerSample, FullFormat& out);

// Tag name + " " + format name through the driver that converts the record to
// PCM; empty when the codec manager knows no such names.
std::string codecDescription(std::span<const uint8_t> record);

std::string mp2Description(const Mp2Settings& mp2);
std::string oggDescription(const OggSettings& ogg);
std::string flacDescription(const FlacSettings& flac);
std::string opusDescription(const OpusSettings& opus);
// "AAC LC 44100 Hz; Stereo; 256 Kbps", "ALAC 96000 Hz; 6 Channels; 24 Bit"
std::string aacDescription(const M4aSettings& aac);
std::string alacDescription(const M4aSettings& alac);
std::string voxDescription(long frequency);
std::string g721Description(long frequency);
std::string g723Description(long frequency, long bits);
std::string g726Description(long frequency, long bits);

// Descriptions the engine writes when it has opened or created a file.
enum class DescribedKind { Wav, Mp3ThroughAcm, Vox, Raw, Avi, G726, G721, G723 };
// The kinds described through the codec manager: empty when it cannot name
// the full format (whatever the kind).
std::string describeOpenedFile(DescribedKind kind, std::span<const uint8_t> full, long frequency, long bits);
std::string describeOggFile(long frequency, long channels, long nominalBitrate);
// A FLAC file opened for reading: its rate, channels and sample depth.
std::string describeFlacFile(long frequency, long channels, long bits);
// An Opus file opened for reading: its channels and the rate its encoder was fed.
std::string describeOpusFile(long channels, long inputRate);
std::string describeMp2File(long frequency, long mode, long bitrate);
// version: the MPEG version number as printed before ".0"; mode 1 mono,
// 2 stereo, 3 joint stereo, 4 dual.
std::string describeMpegFile(long version, long layer, long frequency, long mode, long bitrate);
struct MpcDescription {
    long streamVersion = 7;
    long profile = 2;  // 0 thumb .. 4 insane
    long frequency = 44100;
    long vbrMethod = -1;
    long bitrate = 0, maxBitrate = 0, abrBitrate = 0;
    bool variableBitrate = false;
};
std::string describeMpcFile(const MpcDescription& mpc);

}  // namespace qoro::audiofile
