// The technical facts of one audio file as the AudioInformation object
// reports them, and the small arithmetic helpers the readers share.
#pragma once

#include <cstdint>
#include <string>

namespace qoro::audioinfo {

struct Facts {
    int32_t frequency = 0;  // Hz
    int32_t bitrate = 0;    // bit/s (WAV, MPEG, AVI, FLAC, Opus) or kbit/s (Ogg Vorbis, MPEG Plus)
    int32_t duration = 0;   // ms
    int32_t size = 0;       // bytes (the length; 2147483647 for any longer file, -1 when it cannot be opened)
    int32_t samples = 0;    // sample frames (at most 2147483647)
    int32_t channels = 0;
    int32_t bitsPerSample = 0;
    int32_t formatTag = 0;    // WAVE format tag; 0 MPEG audio and MPEG Plus, 1 Ogg Vorbis,
                              // 0xF1AC FLAC, 0x704F Opus
    std::string description;  // one-line format description

    bool operator==(const Facts&) const = default;
};

// a x b / c rounded half away from zero, as the Windows MulDiv does; -1 when
// c is 0 or the result does not fit 32 bits.
int32_t mulDiv(int64_t a, int64_t b, int64_t c);

// The low 32 bits of a length, as a signed value.
inline int32_t low32(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// A count as a 32-bit fact: 2147483647 for any larger one, never a value
// that wrapped (a 3 GiB file is not -1073741780 bytes long).
inline int32_t saturated32(uint64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

// The size fact of a file of `length` bytes (fileLength): -1 when it cannot
// be opened, the length saturated otherwise.
inline int32_t sizeFact(int64_t length) { return length < 0 ? -1 : saturated32(static_cast<uint64_t>(length)); }

// Length of a file in bytes, or -1 when it cannot be opened for reading.
int64_t fileLength(const std::string& path);

}  // namespace qoro::audioinfo
