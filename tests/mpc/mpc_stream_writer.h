// A test-only writer of MPEG Plus streams (stream versions 4 to 7) from known
// frame contents, with the decoder's code tables, and the PCM such frames must
// decode to (their dequantised subband values through the synthesis filter
// bank), computed independently of the decoder's frame code.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace qoro::mpc::testing {

struct FrameContent {
    int res[2][32] = {};
    bool ms[32] = {};
    int scfi[2][32] = {};
    int scf[2][32][3] = {};
    int q[2][32][36] = {};
};

struct StreamShape {
    int version = 7;
    int maxBand = 31;
    bool msStereo = true;
    uint16_t peak = 0;  // version 7 only
};

class StreamWriter {
public:
    explicit StreamWriter(const StreamShape& shape);
    // Appends a frame. 'padBits' zero bits follow the frame and are counted
    // by its length field (a length that does not match the frame).
    void addFrame(const FrameContent& frame, int padBits = 0);
    // The whole file: header (with 'headerFrames', or the number of frames
    // added when negative) and frames.
    std::vector<uint8_t> bytes(long headerFrames = -1) const;
    // Bit offset of frame i's length field in the file.
    uint64_t frameStart(size_t i) const { return starts_[i]; }

private:
    StreamShape shape_;
    std::vector<uint8_t> frames_;  // one byte per bit
    std::vector<uint64_t> starts_;
    int lastScf_[2][32] = {};
};

// Random frame content that the version can carry: resolutions the format can
// code, scale factors 20..63 (no clipping), consistent with their
// transmission index. No noise bands unless 'noise'.
FrameContent randomFrame(std::mt19937& rng, const StreamShape& shape, bool noise = false);

// The PCM the frames decode to (noise bands excepted), interleaved stereo,
// the first frame's 481 delay samples dropped.
std::vector<int16_t> expectedPcm(const StreamShape& shape, const std::vector<FrameContent>& frames);

}  // namespace qoro::mpc::testing
