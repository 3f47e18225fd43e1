// The technical facts of one audio file as the AudioInformation object
// reports them, and the small arithmetic helpers the readers share.
#pragma once

#include <cstdint>
#include <string>

namespace qoro::audioinfo {

struct Facts {
    int32_t frequency = 0;  // Hz
    int32_t bitrate = 0;    // bit/s (WAV, MPEG, AVI) or kbit/s (Ogg Vorbis, MPEG Plus)
    int32_t duration = 0;   // ms
    int32_t size = 0;       // bytes (low 32 bits of the length)
    int32_t samples = 0;    // sample frames
    int32_t channels = 0;
    int32_t bitsPerSample = 0;
    int32_t formatTag = 0;    // WAVE format tag; 0 MPEG audio and MPEG Plus, 1 Ogg Vorbis
    std::string description;  // one-line format description

    bool operator==(const Facts&) const = default;
};

// a x b / c rounded half away from zero, as the Windows MulDiv does; -1 when
// c is 0 or the result does not fit 32 bits.
int32_t mulDiv(int64_t a, int64_t b, int64_t c);

// The low 32 bits of a length, as a signed value.
inline int32_t low32(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// Length of a file in bytes, or -1 when it cannot be opened for reading.
int64_t fileLength(const std::string& path);

}  // namespace qoro::audioinfo
