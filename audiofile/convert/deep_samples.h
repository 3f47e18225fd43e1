// Samples deeper than 16 bits, as WAV files from DAWs and sox carry them
// (24- and 32-bit integers, 32- and 64-bit floats, packed; little-endian,
// or big-endian as in AIFF), narrowed to the 16-bit array format: rounded
// half away from zero and clipped, without dither or with triangular (TPDF)
// dither of one 16-bit step either way.
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

// Triangular dither: the sum of two independent uniform values of one
// 16-bit step, so from -1 to +1 step, zero on average. A fixed seed makes
// every narrowing of the same samples the same.
class TpdfDither {
public:
    explicit TpdfDither(uint32_t seed = 0x2545F491u) : state_(seed != 0 ? seed : 1) {}
    // The next offset, in 16-bit steps.
    double next() { return uniform() - uniform(); }

private:
    double uniform() {
        // xorshift32
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) * (1.0 / 4294967296.0);
    }
    uint32_t state_;
};

// Narrows 'count' samples at 'in' to 'out'. Floats are full scale at 1.0
// (times 32768); NaN becomes 0. With `dither`, each sample is offset by the
// dither before it is rounded.
void narrowTo16(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out,
                ByteOrder order = ByteOrder::Little, TpdfDither* dither = nullptr);

// The same samples as floats in 16-bit steps (full scale at +-32768), for
// mixing before they are rounded: exact for 24-bit integers.
void widenToFloat(DeepEncoding encoding, const uint8_t* in, size_t count, float* out,
                  ByteOrder order = ByteOrder::Little);

}  // namespace qoro::audiofile
