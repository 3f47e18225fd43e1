// The MPEG Plus (Musepack) decoder, stream versions 4 to 7: 44100 Hz,
// two channels, 16-bit PCM, 1152 sample frames per frame.
//
//   mpc::MpcDecoder dec;
//   if (dec.open(path) == 0) {
//       std::array<uint8_t, mpc::MpcDecoder::kFrameBytes> pcm;
//       while (int n = dec.decodeFrame(pcm.data())) { ... n bytes of interleaved PCM ... }
//   }
//
// The stream is read through a 32 KB bit buffer in two 16 KB halves; the
// header is parsed with the rules of common/mpc (mpc/mpc_stream.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mpc/mpc_stream.h"

namespace qoro::mpc {

class MpcDecoder {
public:
    static constexpr int kFrameSamples = 1152;                 // per channel
    static constexpr int kFrameBytes = kFrameSamples * 2 * 2;  // 4608
    // The first frame of a stream drops the synthesis delay and yields
    // 671 sample frames.
    static constexpr int kFirstFrameBytes = 2684;

    MpcDecoder();
    ~MpcDecoder();
    MpcDecoder(const MpcDecoder&) = delete;
    MpcDecoder& operator=(const MpcDecoder&) = delete;

    // Opens and parses a file; resets every decoder state. 0, or -1 when the
    // file cannot be read or is not a stream of versions 4 to 7.
    int open(const std::string& path);
    void close();

    // What the header reader reports (valid after a successful open).
    const MpcStreamInfo& info() const;

    // Decodes the next frame into `out` (room for kFrameBytes). Returns the
    // bytes produced: kFrameBytes, kFirstFrameBytes for the first frame, 0 at
    // the end of the stream (or at a damaged frame when skipping is off).
    // A damaged frame skipped is silence of the length the frame would have
    // had. The stream ends where the file's data ends, even before the
    // header's frame count.
    int decodeFrame(uint8_t* out);
    // The same as the filter bank makes the samples: 32-bit floats at full
    // scale 1.0, neither rounded nor clipped (room for kFrameSamples * 2);
    // the bytes produced, twice decodeFrame's.
    int decodeFrame(float* out);

    // Positions at the frame holding `ms`, rebuilding the state carried from
    // frame to frame and the synthesis filters, so that decoding goes on as
    // it would from the start; returns the position reached in ms. A damaged
    // frame on the way stops the seek at the frames reached.
    int64_t seekMs(int64_t ms);

    // Position in ms of the next frame: truncate(frames x 1152 / 44.1 + 0.5).
    int64_t positionMs() const;
    // Position in the file in bytes of the next frame's start (its bit
    // offset in the word stream / 8).
    uint64_t filePosition() const;

    // Off by default: the peak-based scale is applied only when switched on.
    void setClippingPrevention(bool on);
    // Positive by default: a damaged frame is output as silence and decoding
    // goes on at the next frame; 0 or less ends the stream there.
    void setSkipDamagedFrames(int skip);

    // What the decoding so far met (reset by open and seekMs).
    struct Stats {
        uint32_t damagedFrames = 0;  // frames replaced by silence or ending the stream
        uint32_t codedBands = 0;     // band-channels carrying samples, in decoded frames
        uint32_t noiseBands = 0;     // of those, band-channels of substituted noise
    };
    const Stats& stats() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace qoro::mpc
