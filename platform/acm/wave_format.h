// Wave format records as RIFF "fmt " chunks and the codec manager carry them:
// the 18-byte WAVEFORMATEX header, followed by cbSize format-specific bytes.
// Layouts are the Windows ones (packed, little-endian on disk and in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace acm {

// Format tags (WAVE_FORMAT_*).
inline constexpr uint16_t WAVE_FORMAT_UNKNOWN = 0;
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr uint16_t WAVE_FORMAT_ADPCM = 2;  // Microsoft ADPCM
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr uint16_t WAVE_FORMAT_ALAW = 6;
inline constexpr uint16_t WAVE_FORMAT_MULAW = 7;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 17;  // also WAVE_FORMAT_DVI_ADPCM
inline constexpr uint16_t WAVE_FORMAT_DVI_ADPCM = 17;
inline constexpr uint16_t WAVE_FORMAT_DSPGROUP_TRUESPEECH = 34;
inline constexpr uint16_t WAVE_FORMAT_GSM610 = 49;
inline constexpr uint16_t WAVE_FORMAT_MSNAUDIO = 50;
inline constexpr uint16_t WAVE_FORMAT_MPEG = 80;
inline constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 85;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The sample rates of the PCM formats offered for files and sample arrays:
// the telephone (8 kHz), CD (11.025 kHz) and 12 kHz families from 6 to
// 48 kHz.
inline constexpr long kPcmRates[] = {6000, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// The rates the A-law, u-law, ADPCM and GSM formats come in.
inline constexpr long kCoderRates[] = {8000, 11025, 22050, 44100};

#pragma pack(push, 1)

// WAVEFORMATEX: 18 bytes. For PCM only the first 16 bytes (PCMWAVEFORMAT) count.
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
static_assert(sizeof(WAVEFORMATEX) == 18);

// MPEGLAYER3WAVEFORMAT: 30 bytes (cbSize 12).
inline constexpr uint16_t MPEGLAYER3_WFX_EXTRA_BYTES = 12;
inline constexpr uint16_t MPEGLAYER3_ID_MPEG = 1;
inline constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ISO = 0;
inline constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ON = 1;
inline constexpr uint32_t MPEGLAYER3_FLAG_PADDING_OFF = 2;

struct MPEGLAYER3WAVEFORMAT {
    WAVEFORMATEX wfx;
    uint16_t wID;
    uint32_t fdwFlags;
    uint16_t nBlockSize;
    uint16_t nFramesPerBlock;
    uint16_t nCodecDelay;
};
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);

// Microsoft ADPCM: ADPCMWAVEFORMAT is the header, wSamplesPerBlock, wNumCoef and
// wNumCoef coefficient pairs (the standard table has 7: 32 extra bytes).
struct ADPCMCOEFSET {
    int16_t iCoef1;
    int16_t iCoef2;
};
static_assert(sizeof(ADPCMCOEFSET) == 4);

#pragma pack(pop)

// The seven standard Microsoft ADPCM coefficient pairs.
inline constexpr ADPCMCOEFSET kMsAdpcmStandardCoefficients[7] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                                                 {240, 0}, {460, -208}, {392, -232}};

// Size of a whole record: 16 for PCM (cbSize is not part of it), else 18 + cbSize.
inline size_t recordSize(const WAVEFORMATEX& wfx) {
    return wfx.wFormatTag == WAVE_FORMAT_PCM ? 16u : sizeof(WAVEFORMATEX) + wfx.cbSize;
}

// The bytes of a header-only record (a view: keep the record alive while it is used) (a PCM, A-law, mu-law record with
// cbSize 0, or any record whose extra bytes the callee does not need to see).
inline std::span<const uint8_t> asBytes(const WAVEFORMATEX& wfx) {
    return {reinterpret_cast<const uint8_t*>(&wfx), sizeof(WAVEFORMATEX)};
}
inline std::span<const uint8_t> asBytes(const MPEGLAYER3WAVEFORMAT& wfx) {
    return {reinterpret_cast<const uint8_t*>(&wfx), sizeof(MPEGLAYER3WAVEFORMAT)};
}

// Reads the header of a record held in a byte buffer (no alignment needed).
// A buffer shorter than 18 bytes but at least 16 yields cbSize 0.
// Returns false when fewer than 16 bytes are given.
inline bool readHeader(std::span<const uint8_t> record, WAVEFORMATEX& out) {
    if (record.size() < 16) return false;
    out = WAVEFORMATEX{};
    std::memcpy(&out, record.data(), record.size() < sizeof(out) ? 16 : sizeof(out));
    return true;
}

// A PCM record: block alignment and byte rate computed from the other fields.
inline WAVEFORMATEX makePcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(uint32_t{channels} * bits / 8);
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    w.cbSize = 0;
    return w;
}

}  // namespace acm
