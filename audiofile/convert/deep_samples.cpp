#include "convert/deep_samples.h"

#include <cmath>
#include <cstring>

namespace qoro::audiofile {

namespace {

int16_t clip16(int64_t v) { return static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// v / 2^shift, rounded half away from zero.
int64_t roundedShift(int64_t v, int shift) {
    const int64_t half = int64_t{1} << (shift - 1);
    return v >= 0 ? (v + half) >> shift : -((-v + half) >> shift);
}

int16_t fromFloat(double x) {
    if (std::isnan(x)) return 0;
    const double scaled = x * 32768.0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<int16_t>(std::round(scaled));  // half away from zero
}

}  // namespace

std::optional<DeepEncoding> deepEncodingOf(uint16_t formatTag, uint16_t bitsPerSample) {
    constexpr uint16_t kPcm = 1, kFloat = 3;
    if (formatTag == kPcm && bitsPerSample == 24) return DeepEncoding::Int24;
    if (formatTag == kPcm && bitsPerSample == 32) return DeepEncoding::Int32;
    if (formatTag == kFloat && bitsPerSample == 32) return DeepEncoding::Float32;
    if (formatTag == kFloat && bitsPerSample == 64) return DeepEncoding::Float64;
    return std::nullopt;
}

void narrowTo16(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out) {
    switch (encoding) {
    case DeepEncoding::Int24:
        for (size_t i = 0; i < count; ++i, in += 3) {
            // Sign-extend the 24 bits from the top of a 32-bit word.
            const int32_t v =
                static_cast<int32_t>(uint32_t{in[0]} << 8 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 24) >> 8;
            out[i] = clip16(roundedShift(v, 8));
        }
        break;
    case DeepEncoding::Int32:
        for (size_t i = 0; i < count; ++i, in += 4) {
            const int32_t v = static_cast<int32_t>(uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 |
                                                   uint32_t{in[3]} << 24);
            out[i] = clip16(roundedShift(v, 16));
        }
        break;
    case DeepEncoding::Float32:
        for (size_t i = 0; i < count; ++i, in += 4) {
            float x;
            std::memcpy(&x, in, 4);
            out[i] = fromFloat(x);
        }
        break;
    case DeepEncoding::Float64:
        for (size_t i = 0; i < count; ++i, in += 8) {
            double x;
            std::memcpy(&x, in, 8);
            out[i] = fromFloat(x);
        }
        break;
    }
}

}  // namespace qoro::audiofile
