// MPEG audio frame decoder: Layers I, II and III of MPEG-1, MPEG-2 (LSF) and
// MPEG-2.5, turning one complete frame at a time into 16-bit PCM or into the
// synthesis filter bank's own 32-bit floats (full scale 1.0, neither rounded
// nor clipped; the 16-bit samples are those floats rounded and clipped).
//
// The decoder keeps what must survive from frame to frame: the Layer III bit
// reservoir, the IMDCT overlap and the polyphase synthesis history. Call
// reset() after a seek. The decoder is not thread-safe; use one per stream.
#pragma once

#include "mpeg/mpeg_header.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qoro::mpeg {

class MpegFrameDecoder {
public:
    // Largest output of one frame, in samples (1152 per channel, two channels).
    static constexpr int kMaxSamples = 1152 * 2;
    // Largest frame we accept (Layer II at 384 kbit/s and 32 kHz is 1728 bytes;
    // Layer I at 448 kbit/s and 32 kHz is 672 bytes).
    static constexpr int kMaxFrameBytes = 2048;

    MpegFrameDecoder();
    ~MpegFrameDecoder();
    MpegFrameDecoder(const MpegFrameDecoder&) = delete;
    MpegFrameDecoder& operator=(const MpegFrameDecoder&) = delete;

    // Forgets the bit reservoir, the overlap and the synthesis history.
    void reset();

    // Decodes one frame. 'frame' holds the whole frame, header included;
    // 'size' is its length (mpegFrameLength() of a valid header; for a
    // free-format frame the distance to the next one). 'out'
    // receives mpegSamplesPerFrame(h) samples per channel, interleaved when
    // the frame has two channels. Returns the samples per channel, or -1 on a
    // fault in the frame's data (the output then holds what could be decoded,
    // silence elsewhere, and the decoder stays usable). A Layer III frame whose main data begins before the
    // bytes held in the reservoir is output as silence (not a fault).
    int decodeFrame(const MpegFrameHeader& h, const uint8_t* frame, size_t size, int16_t* out);
    // The same into floats. Either form may follow the other from frame to
    // frame: what the decoder keeps between frames does not depend on it.
    int decodeFrame(const MpegFrameHeader& h, const uint8_t* frame, size_t size, float* out);

    struct State;

private:
    template <class Sample>
    int decodeInto(const MpegFrameHeader& h, const uint8_t* frame, size_t size, Sample* out);

    std::unique_ptr<State> s_;
};

}  // namespace qoro::mpeg
