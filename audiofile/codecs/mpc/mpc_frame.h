// One frame of an MPEG Plus stream: parsing (resolutions, mid/side flags,
// scale-factor transmission, scale factors, quantised samples) for stream
// versions 7 and 4 to 6, and requantisation into subband samples.
#pragma once

#include <cstdint>

#include "mpc_bitbuffer.h"

namespace qoro::mpc {

inline constexpr int kBands = 32;
inline constexpr int kSlots = 36;  // subband samples per band and frame

// What a frame carries, and the state carried from frame to frame (the last
// scale factor of every band and channel).
struct FrameState {
    int streamVersion = 7;
    int maxBand = 31;
    bool msStereo = false;

    int res[2][kBands] = {};
    bool ms[kBands] = {};
    int scfi[2][kBands] = {};
    int scf[2][kBands][3] = {};  // scf[..][..][2] is carried to the next frame
    int32_t q[2][kBands][kSlots] = {};
    uint32_t noiseSeed = 0x12345678u;

    // Back to the state before the first frame.
    void reset();
};

// Parses the frame body (after its 20-bit length) into 'st'. Returns the
// number of bands (highest used band + 1).
int parseFrame(BitBuffer& bits, FrameState& st);

// Requantises the parsed frame into subband samples at full scale 1.0,
// including mid/side to left/right: out[ch][slot][band], times 'gain'.
void requantise(const FrameState& st, float gain, float (*out)[kSlots][kBands]);

}  // namespace qoro::mpc
