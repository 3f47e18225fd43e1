// Samples deeper than 16 bits, as WAV files from DAWs and sox carry them
// (24- and 32-bit integers, 32- and 64-bit floats, packed; little-endian,
// or big-endian as in AIFF), narrowed to the 16-bit array format: rounded half away from zero
// and clipped, without dither.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qoro::audiofile {

enum class DeepEncoding { Int24, Int32, Float32, Float64 };
enum class ByteOrder { Little, Big };

// The encoding of a PCM (format tag 1) or IEEE float (format tag 3) record
// of these depths, or nullopt for any other.
std::optional<DeepEncoding> deepEncodingOf(uint16_t formatTag, uint16_t bitsPerSample);

// Bytes one sample takes.
constexpr size_t bytesPerSample(DeepEncoding e) {
    switch (e) {
    case DeepEncoding::Int24: return 3;
    case DeepEncoding::Int32:
    case DeepEncoding::Float32: return 4;
    case DeepEncoding::Float64: return 8;
    }
    return 0;
}

// Narrows 'count' samples at 'in' to 'out'. Floats are full scale at 1.0
// (times 32768); NaN becomes 0.
void narrowTo16(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out,
                ByteOrder order = ByteOrder::Little);

}  // namespace qoro::audiofile
