// Stereo from 3 to 8 channels, as ITU-R BS.775 folds them down: front left
// and right at full gain, the centre and every surround at -3 dB into both
// sides or into their own side, the low-frequency channel dropped; each
// output row then scaled so that its gains sum to 1, so that no frame can
// clip.
//
// Channels come in WAV order (the order of the speaker bits of
// WAVE_FORMAT_EXTENSIBLE, which FLAC shares); without a channel mask the
// usual layout of the count is taken: 3 L R C, 4 L R BL BR, 5 L R C BL BR,
// 6 L R C LFE BL BR (5.1), 7 L R C LFE BC SL SR (6.1), 8 L R C LFE BL BR SL
// SR (7.1).
//
//   StereoDownmix mix(6);
//   mix.mix(samples, frames, stereo);   // samples: 6 floats a frame, in 16-bit units
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "convert/deep_samples.h"

namespace qoro::audiofile {

class StereoDownmix {
public:
    static constexpr int kMaxChannels = 8;

    // `mask`: the speaker bits of the channels; 0, or a mask naming another
    // number of channels, takes the usual layout of `channels` (3 to 8).
    explicit StereoDownmix(int channels, uint32_t mask = 0);

    int channels() const { return channels_; }
    // The layout in words: "5.1", "7.1", "4 channels".
    const std::string& layout() const { return layout_; }
    // The gain of input channel c in the left (side 0) or right output.
    float gain(int side, int c) const { return gains_[side][c]; }

    // Mixes `frames` interleaved frames (channels() samples each, full
    // scale at +-32768) into interleaved 16-bit stereo, rounded to nearest
    // (after the dither's offset, with one).
    void mix(const float* in, size_t frames, int16_t* out, TpdfDither* dither = nullptr) const;

    // The usual speaker bits of a channel count (0 outside 1 ... 8).
    static uint32_t usualMask(int channels);

private:
    int channels_ = 0;
    std::array<std::array<float, kMaxChannels>, 2> gains_{};
    std::string layout_;
};

}  // namespace qoro::audiofile
