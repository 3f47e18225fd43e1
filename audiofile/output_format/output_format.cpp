#include "output_format/output_format.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>

#include "acm/acm.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

using acm::WAVEFORMATEX;

std::string textf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string textf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n <= 0) return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

bool oneOf(long value, std::span<const long> set) { return std::find(set.begin(), set.end(), value) != set.end(); }

// Multiplies into a 32-bit figure without overflowing.
int32_t saturated(long long value) { return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX)); }

void put16(FullFormat& f, size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v & 0xff);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(FullFormat& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

FullFormat header(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t bytesPerSecond, uint16_t blockAlign,
                  uint16_t bits, uint16_t extra) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nAvgBytesPerSec = bytesPerSecond;
    w.nBlockAlign = blockAlign;
    w.wBitsPerSample = bits;
    w.cbSize = extra;
    FullFormat f{};
    std::memcpy(f.data(), &w, sizeof w);
    return f;
}

WAVEFORMATEX pcmCopy(const WAVEFORMATEX& h) {
    WAVEFORMATEX p = h;
    p.cbSize = 0;
    return p;
}

// The PCM form of a record: the record itself when it is PCM, else the codec
// manager's suggestion.
bool pcmFormOf(std::span<const uint8_t> record, WAVEFORMATEX& pcm) {
    WAVEFORMATEX h{};
    if (!acm::readHeader(record, h)) return false;
    if (h.wFormatTag == acm::WAVE_FORMAT_PCM) {
        pcm = pcmCopy(h);
        return true;
    }
    return acm::suggestPcm(record, pcm) == acm::Result::Ok;
}

// Confirms a record through the codec manager: a PCM form exists, a
// conversion stream from the record to it opens, and the stream's driver
// names the format tag and the format. Gives the PCM form and the names.
bool confirm(std::span<const uint8_t> record, WAVEFORMATEX& pcm, std::string& names) {
    WAVEFORMATEX h{};
    if (!acm::readHeader(record, h) || !pcmFormOf(record, pcm)) return false;
    acm::DriverId id;
    {
        acm::Stream stream;
        if (stream.open(record, acm::asBytes(pcm)) != acm::Result::Ok) return false;
        id = stream.driverId();
    }
    acm::Driver driver;
    if (driver.open(id) != acm::Result::Ok) return false;
    acm::FormatTagDetails tag;
    acm::FormatDetails format;
    if (driver.formatTagDetails(h.wFormatTag, tag) != acm::Result::Ok) return false;
    if (driver.formatDetails(record, format) != acm::Result::Ok) return false;
    names = tag.name + " " + format.name;
    return true;
}

// The common ending of the codec-manager-described formats.
long acceptWav(FormatState& state, const FullFormat& built) {
    const auto record = recordBytes(built);
    WAVEFORMATEX pcm{};
    std::string names;
    if (!confirm(record, pcm, names)) return 0;
    const WAVEFORMATEX h = headerOf(built);
    state.full = built;
    state.file = pcm;
    state.type = WAV;
    state.bitrate = saturated(static_cast<long long>(h.nAvgBytesPerSec) * 8);
    state.description = names;
    return h.nBlockAlign;
}

// ADPCM figures by rate: index 0 8000, 1 11025, 2 22050, 3 44100.
int adpcmRateIndex(long frequency) {
    switch (frequency) {
    case 8000: return 0;
    case 11025: return 1;
    case 22050: return 2;
    case 44100: return 3;
    default: return -1;
    }
}

constexpr uint16_t kAdpcmBlock[4] = {256, 256, 512, 1024};  // per channel

bool buildMsAdpcm(long frequency, long channels, FullFormat& out) {
    const int i = adpcmRateIndex(frequency);
    if (i < 0 || (channels != 1 && channels != 2)) return false;
    static constexpr uint32_t kMono[4] = {4096, 5644, 11155, 22179};
    static constexpr uint32_t kStereo[4] = {8152, 11289, 22311, 44359};
    static constexpr uint16_t kSamples[4] = {500, 500, 1012, 2036};
    const auto c = static_cast<uint16_t>(channels);
    out = header(acm::WAVE_FORMAT_ADPCM, c, static_cast<uint32_t>(frequency), c == 1 ? kMono[i] : kStereo[i],
                 static_cast<uint16_t>(kAdpcmBlock[i] * c), 4, 32);
    put16(out, 18, kSamples[i]);
    put16(out, 20, 7);
    size_t at = 22;
    for (const auto& pair : acm::kMsAdpcmStandardCoefficients) {
        put16(out, at, static_cast<uint16_t>(pair.iCoef1));
        put16(out, at + 2, static_cast<uint16_t>(pair.iCoef2));
        at += 4;
    }
    return true;
}

bool buildImaAdpcm(long frequency, long channels, FullFormat& out) {
    const int i = adpcmRateIndex(frequency);
    if (i < 0 || (channels != 1 && channels != 2)) return false;
    static constexpr uint32_t kBytes[4] = {4055, 5588, 11100, 22125};  // per channel
    static constexpr uint16_t kSamples[4] = {505, 505, 1017, 2041};
    const auto c = static_cast<uint16_t>(channels);
    out = header(acm::WAVE_FORMAT_IMA_ADPCM, c, static_cast<uint32_t>(frequency), kBytes[i] * c,
                 static_cast<uint16_t>(kAdpcmBlock[i] * c), 4, 2);
    put16(out, 18, kSamples[i]);
    return true;
}

bool buildGsm(long frequency, FullFormat& out) {
    const int i = adpcmRateIndex(frequency);
    if (i < 0) return false;
    static constexpr uint32_t kBytes[4] = {1625, 2239, 4478, 8957};
    out = header(acm::WAVE_FORMAT_GSM610, 1, static_cast<uint32_t>(frequency), kBytes[i], 65, 0, 2);
    put16(out, 18, 320);
    return true;
}

bool buildG711(uint16_t tag, long frequency, long channels, FullFormat& out) {
    if (frequency <= 0 || frequency > 1'000'000 || (channels != 1 && channels != 2)) return false;
    const auto c = static_cast<uint16_t>(channels);
    const auto f = static_cast<uint32_t>(frequency);
    out = header(tag, c, f, f * c, c, 8, 0);
    return true;
}

bool buildPcm(long frequency, long channels, long bits, FullFormat& out) {
    if (frequency <= 0 || frequency > 1'000'000 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16))
        return false;
    const WAVEFORMATEX w = acm::makePcmFormat(static_cast<uint32_t>(frequency), static_cast<uint16_t>(channels),
                                              static_cast<uint16_t>(bits));
    out = FullFormat{};
    std::memcpy(out.data(), &w, sizeof w);
    return true;
}

const char* modeName(long mode) {
    switch (mode) {
    case 1: return "Mono";
    case 3: return "Joint Stereo";
    case 4: return "Dual Stereo";
    default: return "Stereo";
    }
}

std::string lower(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

std::span<const uint8_t> recordBytes(const FullFormat& full) {
    const WAVEFORMATEX h = headerOf(full);
    if (h.wFormatTag == acm::WAVE_FORMAT_PCM) return {full.data(), 16};
    const size_t extra = std::min<size_t>(h.cbSize, kFullFormatSize - sizeof(WAVEFORMATEX));
    return {full.data(), sizeof(WAVEFORMATEX) + extra};
}

WAVEFORMATEX headerOf(const FullFormat& full) {
    WAVEFORMATEX h{};
    std::memcpy(&h, full.data(), sizeof h);
    return h;
}

FullFormat toFullFormat(std::span<const uint8_t> record) {
    FullFormat f{};
    std::memcpy(f.data(), record.data(), std::min(record.size(), f.size()));
    // A PCM record may come as 16 bytes: its extra size is then 0.
    if (record.size() < sizeof(WAVEFORMATEX)) put16(f, 16, 0);
    return f;
}

bool buildRawFormat(long typeCompress, long frequency, long channels, long bitsPerSample, FullFormat& out) {
    switch (typeCompress) {
    case PCM: return buildPcm(frequency, channels, bitsPerSample, out);
    case ALAW: return buildG711(acm::WAVE_FORMAT_ALAW, frequency, channels, out);
    case ULAW: return buildG711(acm::WAVE_FORMAT_MULAW, frequency, channels, out);
    case GSM: return buildGsm(frequency, out);
    case IMA_ADPCM: return buildImaAdpcm(frequency, channels, out);
    case MS_ADPCM: return buildMsAdpcm(frequency, channels, out);
    default: return false;
    }
}

FormatState FormatState::initial() {
    FormatState s;
    s.file = acm::makePcmFormat(44100, 2, 16);
    s.full = toFullFormat(acm::asBytes(s.file));
    s.type = WAV;
    s.bitrate = 0;
    s.description = codecDescription(recordBytes(s.full));
    return s;
}

// ---------------------------------------------------------------------------
// Formats confirmed through the codec manager

namespace {
using acm::kCoderRates;
using acm::kPcmRates;
}  // namespace

// Plain samples are written at any rate a file's PCM form may have, so that
// a 96 kHz source is kept at 96 kHz rather than resampled to a table rate.
long setFormatPcm(FormatState& state, long frequency, long channels, long bitsPerSample) {
    FullFormat f;
    if (frequency < kMinPcmRate || frequency > kMaxPcmRate || !buildPcm(frequency, channels, bitsPerSample, f))
        return 0;
    return acceptWav(state, f);
}

long setFormatPcmKind(FormatState& state, long frequency, long channels, int bits, bool isFloat) {
    if (frequency < kMinPcmRate || frequency > kMaxPcmRate || channels < 1 || channels > 8 ||
        (isFloat ? bits != 32 : bits != 16 && bits != 24 && bits != 32))
        return 0;
    WAVEFORMATEX w = acm::makePcmFormat(static_cast<uint32_t>(frequency), static_cast<uint16_t>(channels),
                                        static_cast<uint16_t>(bits));
    if (isFloat) w.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    // 16-bit stereo and mono are the codec manager's own PCM.
    if (!isFloat && bits == 16 && channels <= 2) return setFormatPcm(state, frequency, channels, bits);
    state.full = FullFormat{};
    std::memcpy(state.full.data(), &w, sizeof w);
    state.file = w;
    state.type = WAV;
    state.bitrate = saturated(static_cast<long long>(w.nAvgBytesPerSec) * 8);
    state.description = acm::describe(recordBytes(state.full));
    return w.nBlockAlign;
}

long setFormatAlaw(FormatState& state, long frequency, long channels) {
    FullFormat f;
    if (!oneOf(frequency, kCoderRates) || !buildG711(acm::WAVE_FORMAT_ALAW, frequency, channels, f)) return 0;
    return acceptWav(state, f);
}

long setFormatUlaw(FormatState& state, long frequency, long channels) {
    FullFormat f;
    if (!oneOf(frequency, kCoderRates) || !buildG711(acm::WAVE_FORMAT_MULAW, frequency, channels, f)) return 0;
    return acceptWav(state, f);
}

long setFormatAdpcm(FormatState& state, long frequency, long channels) {
    FullFormat f;
    if (!buildMsAdpcm(frequency, channels, f)) return 0;
    return acceptWav(state, f);
}

long setFormatGsm(FormatState& state, long frequency) {
    FullFormat f;
    if (!buildGsm(frequency, f)) return 0;
    return acceptWav(state, f);
}

long setFormatDsp(FormatState& state) {
    // DSP Group TrueSpeech: revision 1, 240 samples per block.
    FullFormat f = header(acm::WAVE_FORMAT_DSPGROUP_TRUESPEECH, 1, 8000, 1067, 32, 1, 32);
    put16(f, 18, 1);
    put16(f, 20, 240);
    return acceptWav(state, f);
}

long setFormatMobileVoice(FormatState& state, long frequency) {
    if (frequency != 8000 && frequency != 16000) return 0;
    const bool wide = frequency == 16000;
    FullFormat f = header(25, 1, static_cast<uint32_t>(frequency), 300, 72, 0, 22);
    put16(f, 18, wide ? 16384 : 8192);
    put16(f, 20, wide ? 266 : 10);
    put32(f, 22, 576);
    return acceptWav(state, f);
}

long setFormatAlf2cd(FormatState& state, long bitrate) {
    static constexpr uint16_t kBlock[4] = {2972, 3716, 4460, 5944};
    static constexpr uint32_t kBytes[4] = {31998, 40008, 48019, 63996};
    if (bitrate < ALF2CD_256_KBPS || bitrate > ALF2CD_512_KBPS) return 0;
    const auto i = static_cast<size_t>(bitrate - 1);
    FullFormat f = header(8132, 2, 44100, kBytes[i], kBlock[i], 0, 2);
    put16(f, 18, static_cast<uint16_t>(bitrate - 1));
    return acceptWav(state, f);
}

long setFormatRaw(FormatState& state, OutputSettings& settings, long typeCompress, long frequency, long channels,
                  long bitsPerSample) {
    FullFormat f;
    if (!buildRawFormat(typeCompress, frequency, channels, bitsPerSample, f)) return 0;
    WAVEFORMATEX pcm{};
    std::string names;
    if (!confirm(recordBytes(f), pcm, names)) return 0;
    const WAVEFORMATEX h = headerOf(f);
    settings.raw.compression = static_cast<int32_t>(typeCompress);
    settings.raw.frequency = static_cast<int32_t>(frequency);
    settings.raw.channels = static_cast<int16_t>(channels);
    settings.raw.bits = static_cast<int16_t>(bitsPerSample);
    state.file = pcm;
    state.type = RAW;
    state.bitrate = saturated(static_cast<long long>(h.nAvgBytesPerSec) * 8);
    state.description = "RAW: " + names;
    return h.nBlockAlign;
}

// ---------------------------------------------------------------------------
// Formats with codecs of their own

long setFormatMp3(FormatState& state, Mp3Settings& mp3, long encoderChoice, long frequency, long bitrate,
                  long channels) {
    audiofile::setFormatMp3(mp3, frequency, bitrate, channels);
    state.description = describeMp3(mp3, encoderChoice);
    state.type = MP3;
    state.bitrate = saturated(static_cast<long long>(mp3.bitrate) * 1000);
    return 1152;
}

long setFormatMp2(FormatState& state, OutputSettings& settings, long frequency, long bitrate, long mode) {
    settings.mp2.frequency = saturated(frequency);
    settings.mp2.bitrate = bitrate == 0 ? 128 : saturated(bitrate);
    settings.mp2.mode = static_cast<int16_t>(std::clamp(mode, 1L, 4L));
    state.description = mp2Description(settings.mp2);
    state.type = MP2;
    state.bitrate = saturated(static_cast<long long>(settings.mp2.bitrate) * 1000);
    return 1152;
}

long setFormatOggVorbis(FormatState& state, OutputSettings& settings, long /*frequency*/, long /*channels*/,
                        long nominalBitrate, long minBitrate, long maxBitrate, long quality) {
    OggSettings& ogg = settings.ogg;
    ogg.frequency = 44100;
    ogg.channels = 2;
    ogg.minBitrate = saturated(minBitrate);
    ogg.maxBitrate = saturated(maxBitrate);
    long nominal = nominalBitrate;
    if (nominal <= 0) nominal = minBitrate;
    if (nominal <= 0) nominal = maxBitrate;
    if (nominal <= 0) nominal = 128;
    ogg.nominalBitrate = saturated(nominal);
    ogg.quality = static_cast<int16_t>(std::clamp(quality, -32768L, 1000L));
    state.description = oggDescription(ogg);
    state.type = OGG;
    state.bitrate = saturated(static_cast<long long>(ogg.nominalBitrate) * 1000);
    return 1024;
}

long setFormatVorbis(FormatState& state, OutputSettings& settings, long frequency, long channels,
                     long nominalBitrate, long minBitrate, long maxBitrate, long quality) {
    if (!oneOf(frequency, kVorbisRates) || channels < 1 || channels > 8) return 0;
    const long blockAlign =
        setFormatOggVorbis(state, settings, frequency, channels, nominalBitrate, minBitrate, maxBitrate, quality);
    settings.ogg.frequency = static_cast<int32_t>(frequency);
    settings.ogg.channels = static_cast<int16_t>(channels);
    state.description = oggDescription(settings.ogg);
    return blockAlign;
}

long setFormatFlac(FormatState& state, OutputSettings& settings, long frequency, long channels, long level) {
    if (channels != 1 && channels != 2) return 0;
    return setFormatFlacBits(state, settings, frequency, channels, 16, level);
}

long setFormatFlacBits(FormatState& state, OutputSettings& settings, long frequency, long channels, long bits,
                       long level) {
    if (frequency < 1000 || frequency > 384000 || channels < 1 || channels > 8 || (bits != 16 && bits != 24) ||
        level < 0 || level > 8)
        return 0;
    FlacSettings& flac = settings.flac;
    flac.frequency = static_cast<int32_t>(frequency);
    flac.channels = static_cast<int16_t>(channels);
    flac.level = static_cast<int16_t>(level);
    flac.bits = static_cast<int16_t>(bits);
    state.description = flacDescription(flac);
    state.type = FLAC;
    // What goes in: the compressed rate is known only once the file is written.
    state.bitrate = saturated(static_cast<long long>(frequency) * channels * bits);
    return channels * bits / 8;
}

long setFormatOpus(FormatState& state, OutputSettings& settings, long channels, long bitrate, long complexity) {
    if (channels < 1 || channels > 8 || bitrate < 6 || bitrate > 510 || complexity < 0 || complexity > 10)
        return 0;
    OpusSettings& opus = settings.opus;
    opus.channels = static_cast<int16_t>(channels);
    opus.bitrate = static_cast<int32_t>(bitrate);
    opus.complexity = static_cast<int16_t>(complexity);
    state.description = opusDescription(opus);
    state.type = OPUS;
    state.bitrate = saturated(static_cast<long long>(bitrate) * 1000);
    // What goes in: 16-bit samples for mono and stereo, floats for surround.
    return channels * (channels <= 2 ? 2 : 4);
}

long setFormatAac(FormatState& state, OutputSettings& settings, long frequency, long channels, long bitrate) {
    if (!oneOf(frequency, kAacRates) || channels < 1 || channels > 8 || channels == 7 || bitrate < 8 ||
        bitrate > 512 * channels)
        return 0;
    M4aSettings& aac = settings.aac;
    aac.frequency = static_cast<int32_t>(frequency);
    aac.channels = static_cast<int16_t>(channels);
    aac.bitrate = static_cast<int32_t>(bitrate);
    state.description = aacDescription(aac);
    state.type = M4A;
    state.bitrate = saturated(static_cast<long long>(bitrate) * 1000);
    // What goes in: 16-bit samples (floats when the arrays are deeper).
    return channels * 2;
}

long setFormatAlac(FormatState& state, OutputSettings& settings, long frequency, long channels, long bits) {
    if (frequency < 1000 || frequency > 384000 || channels < 1 || channels > 8 || (bits != 16 && bits != 24)) return 0;
    M4aSettings& alac = settings.alac;
    alac.frequency = static_cast<int32_t>(frequency);
    alac.channels = static_cast<int16_t>(channels);
    alac.bits = static_cast<int16_t>(bits);
    state.description = alacDescription(alac);
    state.type = ALAC;
    state.bitrate = saturated(static_cast<long long>(frequency) * channels * bits);
    return channels * bits / 8;
}

long setFormatVox(FormatState& state, OutputSettings& settings, long frequency) {
    if (!oneOf(frequency, kPcmRates)) return 0;
    settings.voxFrequency = static_cast<int32_t>(frequency);
    state.file = acm::makePcmFormat(static_cast<uint32_t>(frequency), 1, 8);
    state.type = VOX;
    state.bitrate = static_cast<int32_t>(frequency * 4);
    state.description = voxDescription(frequency);
    return 1;
}

// The telephony coders run at any positive rate; a rate of zero or below
// would leave them nothing to run at.
long setFormatG721(FormatState& state, OutputSettings& settings, long frequency) {
    if (frequency <= 0 || frequency > 1'000'000) return 0;
    settings.g721Frequency = static_cast<int32_t>(frequency);
    state.description = g721Description(frequency);
    return 1;
}

long setFormatG723(FormatState& state, OutputSettings& settings, long frequency, long bitrate) {
    if (frequency <= 0 || frequency > 1'000'000) return 0;
    if (bitrate == G723_24_KBPS)
        settings.g723Bits = 3;
    else if (bitrate == G723_40_KBPS)
        settings.g723Bits = 5;
    settings.g723Frequency = static_cast<int32_t>(frequency);
    state.description = g723Description(frequency, settings.g723Bits);
    return settings.g723Bits;
}

long setFormatG726(FormatState& state, OutputSettings& settings, long frequency, long bitrate) {
    // G.726 codes 2 to 5 bits per sample; other bitrate values name no coder.
    if (frequency <= 0 || frequency > 1'000'000) return 0;
    if (bitrate < G726_16_KBPS || bitrate > G726_40_KBPS) return 0;
    settings.g726Bits = static_cast<int16_t>(bitrate + 1);
    settings.g726Frequency = static_cast<int32_t>(frequency);
    state.file = acm::makePcmFormat(8000, 1, 16);
    state.description = g726Description(frequency, settings.g726Bits);
    return bitrate;
}

// ---------------------------------------------------------------------------
// Chooser and sample

MenuChoice setFormatFromMenu(FormatState& state) {
    FullFormat chosen{};
    size_t used = 0;
    if (acm::chooseFormat("Choose Format WAV file", chosen, used) != acm::Result::Ok) return {};
    const std::span<const uint8_t> record(chosen.data(), std::min(used, chosen.size()));
    WAVEFORMATEX pcm{};
    if (!pcmFormOf(record, pcm)) return {0, FORMATNOTSUPPORT, FORMATNOTSUPPORT};
    if (pcm.wBitsPerSample == 8) pcm = acm::makePcmFormat(pcm.nSamplesPerSec, pcm.nChannels, 16);
    {
        acm::Stream test;
        if (test.open(acm::asBytes(pcm), record) != acm::Result::Ok) return {0, FORMATNOTSUPPORT, ACMDRIVER};
    }
    const FullFormat full = toFullFormat(record);
    const WAVEFORMATEX h = headerOf(full);
    state.full = full;
    state.file = pcm;
    state.description = codecDescription(recordBytes(full));
    state.type = WAV;
    state.bitrate = saturated(static_cast<long long>(h.nAvgBytesPerSec) * 8);
    return {h.nBlockAlign, NOERRORS, NOERRORS};
}

long adoptSampleFormat(FormatState& state, Mp3Settings& mp3, long type, const SampleFormat& sample) {
    if (sample.full.size() < 16) return 0;
    const FullFormat full = toFullFormat(sample.full);
    WAVEFORMATEX pcm{};
    if (!pcmFormOf(recordBytes(full), pcm)) return 0;
    const WAVEFORMATEX h = headerOf(full);
    if (type == MP3) {
        mp3.frequency = saturated(sample.mp3Frequency);
        mp3.bitrate = static_cast<int16_t>(std::clamp(sample.mp3Bitrate, 0L, 32767L));
        mp3.channels = static_cast<int16_t>(std::clamp(sample.mp3Channels, 0L, 32767L));
    }
    state.full = full;
    state.file = pcm;
    state.description = sample.description;
    state.type = static_cast<int32_t>(type);
    state.bitrate = saturated(static_cast<long long>(h.nAvgBytesPerSec) * 8);
    return h.nBlockAlign;
}

// ---------------------------------------------------------------------------
// Texts

std::string codecDescription(std::span<const uint8_t> record) { return acm::describe(record); }

std::string mp2Description(const Mp2Settings& mp2) {
    static constexpr const char* kModes[] = {"Mono;", "Stereo; ", "Joint Stereo; ", "Dual Stereo; "};
    std::string text = "MP2 " + frequencyWithComma(mp2.frequency) + " kHz; ";
    if (mp2.mode >= 1 && mp2.mode <= 4) text += kModes[mp2.mode - 1];
    return textf("%s %d Kbps; ", text.c_str(), static_cast<int>(mp2.bitrate));
}

std::string oggDescription(const OggSettings& ogg) {
    std::string text =
        textf("Ogg Vorbis %d Hz; %s;", static_cast<int>(ogg.frequency), ogg.channels == 1 ? "Mono" : "Stereo");
    if (ogg.quality < 0) {
        if (ogg.minBitrate > 0 && ogg.maxBitrate > 0)
            text = textf("%s %d-%d Kbps;", text.c_str(), static_cast<int>(ogg.minBitrate),
                         static_cast<int>(ogg.maxBitrate));
        else if (ogg.nominalBitrate > 0)
            text = textf("%s %d Kbps;", text.c_str(), static_cast<int>(ogg.nominalBitrate));
    } else {
        text = textf("%s Quality - %.2f ;", text.c_str(), ogg.quality / 100.0);
    }
    return text;
}

namespace {
std::string channelWords(int channels) {
    return channels == 1 ? "Mono" : channels == 2 ? "Stereo" : std::to_string(channels) + " Channels";
}
}  // namespace

std::string flacDescription(const FlacSettings& flac) {
    const std::string channels = channelWords(flac.channels);
    return textf("FLAC %d Hz; %s; %d Bit; Level %d", static_cast<int>(flac.frequency), channels.c_str(),
                 static_cast<int>(flac.bits), static_cast<int>(flac.level));
}

std::string aacDescription(const M4aSettings& aac) {
    return textf("AAC LC %d Hz; %s; %d Kbps", static_cast<int>(aac.frequency), channelWords(aac.channels).c_str(),
                 static_cast<int>(aac.bitrate));
}

std::string alacDescription(const M4aSettings& alac) {
    return textf("ALAC %d Hz; %s; %d Bit", static_cast<int>(alac.frequency), channelWords(alac.channels).c_str(),
                 static_cast<int>(alac.bits));
}

std::string opusDescription(const OpusSettings& opus) {
    const std::string channels = channelWords(opus.channels);
    return textf("Opus 48000 Hz; %s; %d Kbps; Complexity %d", channels.c_str(), static_cast<int>(opus.bitrate),
                 static_cast<int>(opus.complexity));
}

std::string voxDescription(long frequency) {
    return "Dialogic ADPCM " + frequencyWithComma(frequency) + " kHz; Mono; 4 Bit";
}

std::string g721Description(long frequency) {
    return textf("CCITT G.721 ADPCM %ld kHz; Mono; 4 Bit; %ld Kbps", frequency, frequency * 4 / 1000);
}

std::string g723Description(long frequency, long bits) {
    return textf("CCITT G.723 ADPCM %ld kHz; Mono; %ld Bit; %ld Kbps", frequency, bits, bits * frequency / 1000);
}

std::string g726Description(long frequency, long bits) {
    return textf("CCITT G.726 ADPCM %ld kHz; Mono; %ld Bit; %ld Kbps", frequency, bits, bits * frequency / 1000);
}

std::string describeOpenedFile(DescribedKind kind, std::span<const uint8_t> full, long frequency, long bits) {
    const std::string names = codecDescription(full);
    if (names.empty()) return {};
    switch (kind) {
    case DescribedKind::Vox: return "Dialogic ADPCM: " + frequencyWithComma(frequency) + " kHz; 4 Bit";
    case DescribedKind::G726: return g726Description(frequency, bits);
    case DescribedKind::G721: return g721Description(frequency);
    case DescribedKind::G723: return g723Description(frequency, bits);
    case DescribedKind::Raw: return "RAW: " + names;
    case DescribedKind::Avi: return "AVI: " + names;
    case DescribedKind::Wav:
    case DescribedKind::Mp3ThroughAcm: return names;
    }
    return names;
}

std::string describeOggFile(long frequency, long channels, long nominalBitrate) {
    return textf("%s %ld Hz; %s; %ld Kbps; ", "Ogg Vorbis ", frequency, channels == 1 ? "Mono" : "Stereo",
                 nominalBitrate);
}

std::string describeFlacFile(long frequency, long channels, long bits) {
    if (channels > 2) return textf("FLAC %ld Hz; %ld Channels; %ld Bit", frequency, channels, bits);
    return textf("FLAC %ld Hz; %s; %ld Bit", frequency, channels == 1 ? "Mono" : "Stereo", bits);
}

std::string describeOpusFile(long channels, long inputRate) {
    std::string text = channels > 2 ? textf("Opus 48000 Hz; %ld Channels", channels)
                                    : textf("Opus 48000 Hz; %s", channels == 1 ? "Mono" : "Stereo");
    if (inputRate > 0 && inputRate != 48000) text += textf("; from %ld Hz", inputRate);
    return text;
}

std::string describeMp2File(long frequency, long mode, long bitrate) {
    const std::string text = "MPEG2 " + frequencyWithComma(frequency) + " kHz; " + modeName(mode);
    return textf("%s; %ld Kbps; ", text.c_str(), bitrate);
}

std::string describeMpegFile(long version, long layer, long frequency, long mode, long bitrate) {
    std::string text = textf("%s %ld.0 layer-%ld: ", "MPEG", version, layer);
    text += frequencyWithComma(frequency) + " kHz;";
    return textf("%s %s; %ld Kbps; ", text.c_str(), modeName(mode), bitrate);
}

std::string describeMpcFile(const MpcDescription& mpc) {
    static constexpr const char* kProfiles[] = {"thumb ", "radio ", "standard ", "xtreme ", "insane "};
    std::string text = textf("%s Plus SV-%ld ", "MPEG", mpc.streamVersion);
    text += mpc.profile >= 0 && mpc.profile <= 4 ? kProfiles[mpc.profile] : "n.a. ";
    text += frequencyWithComma(mpc.frequency) + " kHz;";
    if (mpc.vbrMethod < 0 || mpc.vbrMethod > 3 || mpc.bitrate == mpc.maxBitrate) {
        if (mpc.vbrMethod == VBR_ABR)
            text = textf("%s ABR %ld Kbps; ", text.c_str(), mpc.abrBitrate);
        else
            text = textf("%s %ld Kbps; ", text.c_str(), mpc.bitrate);
    } else {
        text = textf("%s %ld-%ld Kbps; ", text.c_str(), mpc.bitrate, mpc.maxBitrate);
    }
    if (mpc.variableBitrate) text += "VBR";
    return text;
}

}  // namespace qoro::audiofile
