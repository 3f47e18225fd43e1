// Ogg Vorbis and Opus streams of more than two channels (Opus: channel
// mapping family 1) carry their channels in the Vorbis order; the engine's
// samples are in WAV order, the order of the speaker bits.
//
//   count  Vorbis order                     WAV order
//   3      L C R                            L R C
//   5      L C R BL BR                      L R C BL BR
//   6      L C R BL BR LFE                  L R C LFE BL BR
//   7      L C R SL SR BC LFE               L R C LFE BC SL SR
//   8      L C R SL SR BL BR LFE            L R C LFE BL BR SL SR
//
// 1, 2 and 4 channels are the same in both.
#pragma once

#include <array>
#include <cstddef>

namespace qoro::audiofile {

inline constexpr int kMaxVorbisOrderChannels = 8;

// The Vorbis-order channel that holds WAV channel `wav` of a stream of
// `channels` (1 to 8; other counts are kept as they are).
constexpr int vorbisChannelOf(int channels, int wav) {
    constexpr std::array<std::array<int, 8>, 9> kVorbisOf{{
        {},
        {0},
        {0, 1},
        {0, 2, 1},
        {0, 1, 2, 3},
        {0, 2, 1, 3, 4},
        {0, 2, 1, 5, 3, 4},
        {0, 2, 1, 6, 5, 3, 4},
        {0, 2, 1, 7, 5, 6, 3, 4},
    }};
    if (channels < 1 || channels > kMaxVorbisOrderChannels || wav < 0 || wav >= channels) return wav;
    return kVorbisOf[static_cast<size_t>(channels)][static_cast<size_t>(wav)];
}

}  // namespace qoro::audiofile
