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

}  // namespace

std::optional<DeepEncoding> deepEncodingOf(uint16_t formatTag, uint16_t bitsPerSample) {
    constexpr uint16_t kPcm = 1, kFloat = 3;
    if (formatTag == kPcm && bitsPerSample == 24) return DeepEncoding::Int24;
    if (formatTag == kPcm && bitsPerSample == 32) return DeepEncoding::Int32;
    if (formatTag == kFloat && bitsPerSample == 32) return DeepEncoding::Float32;
    if (formatTag == kFloat && bitsPerSample == 64) return DeepEncoding::Float64;
    return std::nullopt;
}

namespace {

// The W bytes of a sample, in either byte order, as the low bits of a word
// (constant widths: the compiler makes one load of it).
template <size_t W, bool Big>
uint64_t load(const uint8_t* p) {
    uint64_t v = 0;
    for (size_t b = 0; b < W; ++b) v |= uint64_t{p[Big ? W - 1 - b : b]} << (8 * b);
    return v;
}

// Sample i of `in` in 16-bit steps, unrounded.
template <bool Big>
double deepValue(DeepEncoding encoding, const uint8_t* in, size_t i) {
    switch (encoding) {
    case DeepEncoding::Int24:
        // Sign-extend the 24 bits from the top of a 32-bit word.
        return (static_cast<int32_t>(static_cast<uint32_t>(load<3, Big>(in + 3 * i)) << 8) >> 8) * (1.0 / 256);
    case DeepEncoding::Int32:
        return static_cast<int32_t>(static_cast<uint32_t>(load<4, Big>(in + 4 * i))) * (1.0 / 65536);
    case DeepEncoding::Float32: {
        const uint32_t bits = static_cast<uint32_t>(load<4, Big>(in + 4 * i));
        float x;
        std::memcpy(&x, &bits, 4);
        return std::isnan(x) ? 0.0 : x * 32768.0;
    }
    case DeepEncoding::Float64: {
        const uint64_t bits = load<8, Big>(in + 8 * i);
        double x;
        std::memcpy(&x, &bits, 8);
        return std::isnan(x) ? 0.0 : x * 32768.0;
    }
    }
    return 0.0;
}

// Rounded half away from zero and clipped. Inside the 16-bit range v + 0.5
// is exact in a double, so truncating it rounds as std::round does, without
// a call per sample.
inline int16_t rounded16(double v) {
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(v >= 0 ? static_cast<int32_t>(v + 0.5) : -static_cast<int32_t>(0.5 - v));
}

template <bool Big>
void narrow(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out) {
    switch (encoding) {
    case DeepEncoding::Int24:
        for (size_t i = 0; i < count; ++i, in += 3) {
            // Sign-extend the 24 bits from the top of a 32-bit word.
            const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(load<3, Big>(in)) << 8) >> 8;
            out[i] = clip16(roundedShift(v, 8));
        }
        break;
    case DeepEncoding::Int32:
        for (size_t i = 0; i < count; ++i, in += 4)
            out[i] = clip16(roundedShift(static_cast<int32_t>(static_cast<uint32_t>(load<4, Big>(in))), 16));
        break;
    case DeepEncoding::Float32:
        if constexpr (!Big) {
            // Decoders' floats, the common case: straight from memory.
            for (size_t i = 0; i < count; ++i, in += 4) {
                float x;
                std::memcpy(&x, in, 4);
                out[i] = x == x ? rounded16(x * 32768.0) : 0;
            }
            break;
        }
        [[fallthrough]];
    case DeepEncoding::Float64:
        for (size_t i = 0; i < count; ++i) out[i] = rounded16(deepValue<Big>(encoding, in, i));
        break;
    }
}

template <bool Big>
void narrowDithered(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out, TpdfDither& dither) {
    for (size_t i = 0; i < count; ++i) out[i] = rounded16(deepValue<Big>(encoding, in, i) + dither.next());
}

}  // namespace

void narrowTo16(DeepEncoding encoding, const uint8_t* in, size_t count, int16_t* out, ByteOrder order,
                TpdfDither* dither) {
    const bool big = order == ByteOrder::Big;
    if (dither)
        big ? narrowDithered<true>(encoding, in, count, out, *dither)
            : narrowDithered<false>(encoding, in, count, out, *dither);
    else
        big ? narrow<true>(encoding, in, count, out) : narrow<false>(encoding, in, count, out);
}

void widenToFloat(DeepEncoding encoding, const uint8_t* in, size_t count, float* out, ByteOrder order) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(order == ByteOrder::Big ? deepValue<true>(encoding, in, i)
                                                            : deepValue<false>(encoding, in, i));
}

}  // namespace qoro::audiofile
