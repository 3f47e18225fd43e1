#include "convert/downmix.h"

#include <bit>
#include <cmath>

namespace qoro::audiofile {

namespace {

// WAVE_FORMAT_EXTENSIBLE speaker bits.
enum Speaker : uint32_t {
    kFrontLeft = 0x1,
    kFrontRight = 0x2,
    kFrontCentre = 0x4,
    kLowFrequency = 0x8,
    kBackLeft = 0x10,
    kBackRight = 0x20,
    kFrontLeftOfCentre = 0x40,
    kFrontRightOfCentre = 0x80,
    kBackCentre = 0x100,
    kSideLeft = 0x200,
    kSideRight = 0x400,
};

constexpr float kMinus3dB = 0.70710678f;

// Left and right gains of one speaker before the rows are scaled.
std::array<float, 2> speakerGains(uint32_t speaker) {
    switch (speaker) {
    case kFrontLeft:
    case kFrontLeftOfCentre: return {1.0f, 0.0f};
    case kFrontRight:
    case kFrontRightOfCentre: return {0.0f, 1.0f};
    case kBackLeft:
    case kSideLeft: return {kMinus3dB, 0.0f};
    case kBackRight:
    case kSideRight: return {0.0f, kMinus3dB};
    case kLowFrequency: return {0.0f, 0.0f};
    default: return {kMinus3dB, kMinus3dB};  // centres, and the top speakers
    }
}

}  // namespace

uint32_t StereoDownmix::usualMask(int channels) {
    switch (channels) {
    case 1: return kFrontCentre;
    case 2: return kFrontLeft | kFrontRight;
    case 3: return kFrontLeft | kFrontRight | kFrontCentre;
    case 4: return kFrontLeft | kFrontRight | kBackLeft | kBackRight;
    case 5: return kFrontLeft | kFrontRight | kFrontCentre | kBackLeft | kBackRight;
    case 6: return kFrontLeft | kFrontRight | kFrontCentre | kLowFrequency | kBackLeft | kBackRight;
    case 7: return kFrontLeft | kFrontRight | kFrontCentre | kLowFrequency | kBackCentre | kSideLeft | kSideRight;
    case 8:
        return kFrontLeft | kFrontRight | kFrontCentre | kLowFrequency | kBackLeft | kBackRight | kSideLeft |
               kSideRight;
    default: return 0;
    }
}

StereoDownmix::StereoDownmix(int channels, uint32_t mask) : channels_(channels) {
    if (channels_ < 1 || channels_ > kMaxChannels) channels_ = 0;
    if (std::popcount(mask) != channels_) mask = usualMask(channels_);
    layout_ = mask & kLowFrequency ? std::to_string(channels_ - 1) + ".1" : std::to_string(channels_) + " channels";
    // Channels take the mask's bits from the lowest up.
    for (int c = 0; c < channels_; ++c) {
        const uint32_t speaker = mask & (~mask + 1);
        mask &= mask - 1;
        const auto g = speakerGains(speaker);
        gains_[0][c] = g[0];
        gains_[1][c] = g[1];
    }
    for (auto& row : gains_) {
        float sum = 0.0f;
        for (int c = 0; c < channels_; ++c) sum += row[c];
        if (sum > 0.0f)
            for (int c = 0; c < channels_; ++c) row[c] /= sum;
    }
}

void StereoDownmix::mix(const float* in, size_t frames, int16_t* out, TpdfDither* dither) const {
    const int n = channels_;
    for (size_t f = 0; f < frames; ++f, in += n) {
        float left = 0.0f, right = 0.0f;
        for (int c = 0; c < n; ++c) {
            left += gains_[0][c] * in[c];
            right += gains_[1][c] * in[c];
        }
        if (dither) {
            left += static_cast<float>(dither->next());
            right += static_cast<float>(dither->next());
        }
        // A convex sum of samples in range stays in range; rounding or
        // dither at the very top is the one way out, and is clipped.
        *out++ = static_cast<int16_t>(std::lrint(std::fmin(32767.0f, std::fmax(-32768.0f, left))));
        *out++ = static_cast<int16_t>(std::lrint(std::fmin(32767.0f, std::fmax(-32768.0f, right))));
    }
}

}  // namespace qoro::audiofile
