#include "vox_coder.h"

#include <algorithm>
#include <array>

namespace qoro::audiofile::g72x {

namespace {

constexpr std::array<int16_t, 49> kStep = {16,  17,  19,  21,  23,  25,   28,   31,   34,   37,  41,  45,  50,
                                           55,  60,  66,  73,  80,  88,   97,   107,  118,  130, 143, 157, 173,
                                           190, 209, 230, 253, 279, 307,  337,  371,  408,  449, 494, 544, 598,
                                           658, 724, 796, 876, 963, 1060, 1166, 1282, 1408, 1552};

// Step index change by the magnitude bits of a code.
constexpr std::array<int8_t, 8> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8};

}  // namespace

int16_t voxDecodeCode(VoxCoderState& s, unsigned code) {
    code &= 15;
    const int step = kStep[static_cast<size_t>(s.i)];
    int d = step / 8;
    if (code & 1) d += step / 4;
    if (code & 2) d += step / 2;
    if (code & 4) d += step;
    if (code & 8) d = -d;
    const int x = s.x + d - s.x / 32;  // C++ division truncates toward zero, as the leak wants
    s.x = static_cast<int16_t>(std::clamp(x, -2048, 2047));
    s.i = static_cast<int16_t>(std::clamp(s.i + kIndexAdjust[code & 7], 0, 48));
    return static_cast<int16_t>(s.x * 16);
}

unsigned voxEncodeSample(VoxCoderState& s, int16_t sample) {
    const int e = sample / 16;
    const int step = kStep[static_cast<size_t>(s.i)];
    const int diff = e - s.x;
    int m = diff < 0 ? -diff : diff;
    unsigned code = diff < 0 ? 8 : 0;
    if (m >= step) {
        code |= 4;
        m -= step;
    }
    if (m >= step / 2) {
        code |= 2;
        m -= step / 2;
    }
    if (m >= step / 4) code |= 1;
    voxDecodeCode(s, code);
    return code;
}

size_t voxDecode(VoxCoderState& s, std::span<const uint8_t> codes, int16_t* out) {
    for (const uint8_t byte : codes) {
        *out++ = voxDecodeCode(s, byte >> 4);
        *out++ = voxDecodeCode(s, byte & 15);
    }
    return codes.size() * 4;
}

size_t voxEncode(VoxCoderState& s, std::span<const int16_t> samples, uint8_t* out) {
    const size_t bytes = samples.size() / 2;
    for (size_t k = 0; k < bytes; ++k) {
        const unsigned high = voxEncodeSample(s, samples[2 * k]);
        const unsigned low = voxEncodeSample(s, samples[2 * k + 1]);
        out[k] = static_cast<uint8_t>(high << 4 | low);
    }
    return bytes;
}

}  // namespace qoro::audiofile::g72x
