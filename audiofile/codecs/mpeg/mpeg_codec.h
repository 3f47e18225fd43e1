// The MPEG audio codec behind the decoder context: stream analysis at open
// (ID3v2 skip, first header, "Xing"/"Lame"/"VBRI" header and seek table),
// frame search with look-ahead confirmation, frame decoding, the running
// bitrate/duration estimate and the mapping between play positions and
// byte offsets.
#pragma once

#include "mpeg_frame_decoder.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace qoro::mpeg {

// What the codec needs from its surroundings: the input bytes and the
// stream's property list.
class MpegCodecHost {
public:
    virtual ~MpegCodecHost() = default;
    // Bytes read (0 at end of input, negative on an input error).
    virtual long read(void* buffer, long bytes) = 0;
    virtual int seek(int64_t offset) = 0;
    virtual int64_t position() const = 0;
    virtual int64_t size() const = 0;
    virtual void setIntProperty(const char* name, int value) = 0;
};

// Stream facts the codec reports (the decoder context's stream status).
struct MpegStreamStatus {
    enum : uint32_t { kInfoChanged = 1, kFormatChanged = 2, kRateChanged = 4 };
    uint32_t changeFlags = 0;
    int durationMs = 0;
    int sampleRate = 0;
    int bitrateKbps = 0;
    int channels = 0;
};

// What the analysis at open found.
struct MpegStreamInfo {
    int level = 0;       // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;       // 1, 2 or 3
    int mode = 0;        // 0..3 as in the header
    int channels = 0;
    int sampleRate = 0;
    int bitrateKbps = 0;
    int64_t durationMs = 0;
    bool vbrHeader = false;
    int64_t vbrFrames = 0;  // frame count of a "Xing"/"Lame"/"VBRI" header
    std::optional<std::array<uint8_t, 100>> seekTable;
};

class MpegCodec {
public:
    // Largest output of one frame in bytes (1152 samples x 2 channels x 2 bytes).
    static constexpr int kMaxOutputBytes = 4608;
    static constexpr int kDecodeFault = -700;
    static constexpr int kEndOfInput = -514;

    MpegCodec();

    // Clears the decoding state (reservoir, synthesis, read-ahead header),
    // the position bookkeeping and the in-sync flag.
    void reset();

    // Analysis at open. Returns true and fills the status when the stream
    // starts with a valid header; false leaves the status untouched.
    bool analyse(MpegCodecHost& host, MpegStreamStatus& status);

    // Decodes the next confirmed frame into 'out' (interleaved 16-bit).
    // Returns 0 and the samples per channel and channel count, kEndOfInput
    // at the end of the input, kDecodeFault when the frame's data was
    // faulty (the next call goes on with the following frame), or an input
    // error.
    int decode(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
               int& channels);

    // Byte offset -> play fraction.
    double offsetToFraction(int64_t offset) const;
    // Play fraction -> file fraction (seek table interpolation, ID3v2 offset).
    double fractionToFileFraction(double fraction) const;
    // The input was moved to 'offset': resets decoding and records it.
    void seekNotify(int64_t offset);

    const MpegStreamInfo& info() const { return info_; }
    int64_t tagSize() const { return tagSize_; }
    int64_t streamSize() const { return streamSize_; }
    uint64_t samplesSinceReset() const { return samplesDecoded_; }

private:
    bool readFrame(MpegCodecHost& host, MpegFrameHeader& h, int& length, int& status);
    void updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, MpegStreamStatus& status);

    MpegFrameDecoder decoder_;
    uint8_t frame_[MpegFrameDecoder::kMaxFrameBytes] = {};

    MpegStreamInfo info_;
    int64_t streamSize_ = 0;   // S
    int64_t tagSize_ = 0;      // T
    int64_t seekOffset_ = 0;   // U
    uint64_t samplesDecoded_ = 0;  // N
    int64_t average_ = 0;      // smoothed bitrate, 22.10 fixed point
    int lastLevel_ = -1, lastLayer_ = -1, lastMode_ = -1, lastRate_ = 0, lastKbps_ = 0;

    bool inSync_ = false;
    bool haveAhead_ = false;
    uint32_t ahead_ = 0;
};

}  // namespace qoro::mpeg
