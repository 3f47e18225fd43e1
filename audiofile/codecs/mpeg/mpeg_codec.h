// The MPEG audio codec behind the decoder context: stream analysis at open
// (ID3v2 skip, the walk over every frame, the information frame with its
// "Xing"/"Info"/LAME/"VBRI" header and seek table), frame decoding, the
// running bitrate estimate and the mapping between play positions and byte
// offsets.
//
// On an input that can seek, the analysis walks the whole stream once
// (common/mpeg/frame_walk.h) and keeps every audio frame's place. Decoding
// then takes exactly those frames: the information frame is left out, and
// of the decoded samples only the music is output (where a trusted LAME tag
// places it, else every sample of every audio frame). The length is known
// before the first frame is decoded, and a seek lands on the sample asked
// for. On an input that cannot seek, frames are found by the same search as
// they come, the information frame is left out and every other frame is
// output whole.
#pragma once

#include "mpeg_frame_decoder.h"
#include "mpeg/frame_walk.h"

#include <array>
#include <cstdint>
#include <memory>
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
    // The stretch of the input that holds the stream, when the input says
    // (MPEG audio inside another container); otherwise the whole input less
    // its leading ID3v2 and trailing ID3v1/APEv2 tags.
    virtual std::optional<StreamRegion> streamRegion() const { return std::nullopt; }
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
    bool vbrHeader = false;  // the stream begins with an information frame that counts its frames
    int64_t vbrFrames = 0;   // its frame count
    std::optional<std::array<uint8_t, 100>> seekTable;
};

class MpegCodec {
public:
    // Largest output of one frame in bytes (1152 samples x 2 channels x 2 bytes).
    static constexpr int kMaxOutputBytes = 4608;
    static constexpr int kDecodeFault = -700;
    static constexpr int kEndOfInput = -514;

    MpegCodec();
    ~MpegCodec();

    // Clears the decoding state (reservoir, synthesis, the frame search) and
    // the position bookkeeping; decoding starts again at the beginning of
    // the music.
    void reset();

    // Analysis at open (on an input that can seek). Returns true and fills
    // the status when the stream holds an audio frame; false leaves the
    // status untouched, and decoding then finds nothing.
    bool analyse(MpegCodecHost& host, MpegStreamStatus& status);

    // Decodes the next frame that holds music into 'out' (interleaved 16-bit,
    // the stream's channel count): its music samples, from the first.
    // Returns 0 and the samples per channel and channel count, kEndOfInput
    // at the end of the music, kDecodeFault when the frame's data was faulty
    // (its output is there, silent where it could not be decoded; the next
    // call goes on with the following frame), or an input error.
    int decode(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
               int& channels);

    // Starts decoding again from the beginning of the music (the analysis
    // is kept).
    void restart();

    // Positions decoding so that the next sample output is music sample
    // 'sample' (the end of the music when it lies beyond). Needs the
    // analysis; returns false without it.
    bool seekToSample(uint64_t sample);

    // Byte offset -> play fraction.
    double offsetToFraction(int64_t offset) const;
    // Play fraction -> file fraction (seek table interpolation, ID3v2 offset).
    double fractionToFileFraction(double fraction) const;
    // The input was moved to 'offset': resets decoding and records it.
    // After the analysis decoding continues with the first frame from that
    // offset on.
    void seekNotify(int64_t offset);

    const MpegStreamInfo& info() const { return info_; }
    int64_t tagSize() const { return tagSize_; }
    int64_t streamSize() const { return streamSize_; }
    uint64_t samplesSinceReset() const { return samplesDecoded_; }
    // The walk's findings; indexed() is false before a successful analysis.
    bool indexed() const { return indexed_; }
    const StreamLayout& layout() const { return layout_; }
    // Music samples (per channel) of the stream; 0 without the analysis.
    uint64_t musicLength() const { return indexed_ ? layout_.length : 0; }

private:
    struct Sequential;

    int decodeIndexed(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
                      int& channels);
    int decodeSequential(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
                         int& channels);
    // Decodes frame_ (length bytes) into out with the stream's channel count;
    // the samples per channel, or -1 after a fault (output still valid).
    int decodeFrameBytes(int length, int16_t* out);
    void startAt(uint64_t frame, uint64_t firstOutputSample);
    void updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, int samples, MpegStreamStatus& status);

    MpegFrameDecoder decoder_;
    uint8_t frame_[MpegFrameDecoder::kMaxFrameBytes] = {};
    int16_t scratch_[MpegFrameDecoder::kMaxSamples] = {};

    MpegStreamInfo info_;
    int64_t streamSize_ = 0;   // S
    int64_t tagSize_ = 0;      // T
    int64_t seekOffset_ = 0;   // U
    uint64_t samplesDecoded_ = 0;  // N
    int64_t average_ = 0;      // smoothed bitrate, 22.10 fixed point
    int lastLevel_ = -1, lastLayer_ = -1, lastMode_ = -1, lastRate_ = 0, lastKbps_ = 0;

    // After the analysis: the frames, the music within their samples and
    // where decoding stands.
    bool indexed_ = false;
    StreamLayout layout_;
    int streamChannels_ = 0;
    uint64_t nextFrame_ = 0;    // the audio frame decoded next
    uint64_t outputFrom_ = 0;   // decoded samples before this one are not output
    uint64_t outputEnd_ = 0;    // nor those from this one on

    // Without it: the frame search over the input as it comes.
    std::unique_ptr<Sequential> sequential_;
};

}  // namespace qoro::mpeg
