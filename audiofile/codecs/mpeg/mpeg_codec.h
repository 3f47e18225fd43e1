// The MPEG audio codec behind MpegFileDecoder: stream analysis at open
// (ID3v2 skip, the walk over every frame, the information frame with its
// "Xing"/"Info"/LAME/"VBRI" header and seek table), frame decoding, the
// stream's facts with the running bitrate estimate, and the mapping of a
// play time to an input offset for streams decoded as they come.
//
// On an input that can seek, the analysis walks the whole stream once
// (common/mpeg/frame_walk.h) and keeps every audio frame's place. Decoding
// then takes exactly those frames: the information frame is left out, and
// of the decoded samples only the music is output (where a trusted LAME tag
// places it, else every sample of every audio frame). The length is known
// before the first frame is decoded, and a seek lands on the sample asked
// for. On an input that cannot seek (or a stream too changeable for an
// index), frames are found by the same search as they come, the information
// frame is left out and every other frame is output whole.
#pragma once

#include "mpeg/frame_walk.h"
#include "mpeg_frame_decoder.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qoro::mpeg {

// What the codec needs from its surroundings: the input's bytes.
class MpegCodecHost {
public:
    virtual ~MpegCodecHost() = default;
    // Bytes read (0 at end of input, negative on an input error).
    virtual long read(void* buffer, long bytes) = 0;
    virtual int seek(int64_t offset) = 0;
    virtual int64_t position() const = 0;
    virtual int64_t size() const = 0;
    // The stretch of the input that holds the stream, when the input says
    // (MPEG audio inside another container); otherwise the whole input less
    // its leading ID3v2 tags and the APEv2, Lyrics3 and ID3v1 tags it ends
    // with.
    virtual std::optional<StreamRegion> streamRegion() const { return std::nullopt; }
};

// The stream's facts as the codec reports them: the analysis sets them, and
// every frame decoded afterwards keeps them current (except in a stream
// whose information frame counts its frames: there they stay the
// analysis's). On an input read as it comes they come from the frames, the
// bitrate is a running average and the duration an estimate.
struct MpegStreamStatus {
    int level = 0;  // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5 (of the latest frame)
    int layer = 0;  // 1, 2 or 3
    int mode = 0;   // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int sampleRate = 0;
    int channels = 0;  // the output's: the first frame's, whatever later frames hold
    int bitrateKbps = 0;
    int durationMs = 0;
};

// What the analysis at open found.
struct MpegStreamInfo {
    int level = 0;  // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;  // 1, 2 or 3
    int mode = 0;   // 0..3 as in the header
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
    // Largest output of one frame in samples (1152 per channel, two
    // channels) and in bytes of 16-bit samples.
    static constexpr int kMaxOutputSamples = MpegFrameDecoder::kMaxSamples;
    static constexpr int kMaxOutputBytes = kMaxOutputSamples * 2;
    // What decode() returns for a frame with faulty data, and at the end of
    // the music (the decoder's codes of the same meaning, mpeg_file_decoder.h).
    static constexpr int kDecodeFault = -700;
    static constexpr int kEndOfInput = -514;

    MpegCodec();
    ~MpegCodec();

    // Analysis at open (on an input that can seek). Returns true and fills
    // the status when the stream holds an audio frame. False leaves the
    // status untouched: either the stream holds no audio frame (decoding
    // finds nothing) or it is too changeable for an index (decoding takes
    // its frames as they come, from the start of the audio).
    bool analyse(MpegCodecHost& host, MpegStreamStatus& status);

    // Decodes the next frame that holds music into 'out' (interleaved 16-bit
    // samples or floats, kMaxOutputSamples of room, the stream's channel
    // count): its music samples, from the first. Returns 0 and the samples
    // per channel and channel count, kEndOfInput at the end of the music,
    // kDecodeFault when the frame's data was faulty (its output is there,
    // silent where it could not be decoded; the next call goes on with the
    // following frame), or an input error. Calls may change the form from
    // frame to frame.
    template <class Sample>
    int decode(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel, int& channels);

    // Positions decoding so that the next sample output is music sample
    // 'sample' (the end of the music when it lies beyond). Needs the
    // analysis; returns false without it.
    bool seekToSample(uint64_t sample);

    // Fraction of the play time -> fraction of the input (interpolated in
    // the information frame's seek table when there is one, the stream's
    // region placed in the input).
    double fractionToFileFraction(double fraction) const;
    // The input was moved to 'offset': resets decoding and records it.
    // After the analysis decoding continues with the first frame from that
    // offset on.
    void seekNotify(int64_t offset);

    const MpegStreamInfo& info() const { return info_; }
    // Where the stream's region begins in the input (after a file's leading
    // tags) and how many bytes it has.
    int64_t streamBegin() const { return streamBegin_; }
    int64_t streamBytes() const { return streamBytes_; }
    // The walk's findings; indexed() is false before a successful analysis.
    bool indexed() const { return indexed_; }
    const StreamLayout& layout() const { return layout_; }
    // Music samples (per channel) of the stream; 0 without the analysis.
    uint64_t musicLength() const { return indexed_ ? layout_.length : 0; }

private:
    struct Sequential;

    template <class Sample>
    int decodeIndexed(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel,
                      int& channels);
    template <class Sample>
    int decodeSequential(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel,
                         int& channels);
    // Decodes frame_ (length bytes) into out with the stream's channel count;
    // the samples per channel, or -1 after a fault (output still valid).
    template <class Sample>
    int decodeFrameBytes(int length, Sample* out);
    void startAt(uint64_t frame, uint64_t firstOutputSample);
    // Brings the status to the frame just decoded: its header's facts, the
    // running bitrate and, on an input read as it comes, the duration.
    void updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, int samples, MpegStreamStatus& status);

    MpegFrameDecoder decoder_;
    uint8_t frame_[MpegFrameDecoder::kMaxFrameBytes] = {};
    // Output of the frames decoded only to bring the decoder to a seek's
    // state (the same whatever the form of the output).
    int16_t scratch_[MpegFrameDecoder::kMaxSamples] = {};

    MpegStreamInfo info_;
    int64_t streamBegin_ = 0;           // input offset of the stream's region
    int64_t streamBytes_ = 0;           // its length
    int64_t restartOffset_ = 0;         // input offset decoding last started from (a seek's target)
    uint64_t samplesSinceRestart_ = 0;  // samples per channel decoded since then
    int64_t averageKbps_ = 0;           // running average of the frames' bitrates (fixed point)
    int lastKbps_ = 0;                  // the previous frame's bitrate

    // After the analysis: the frames, the music within their samples and
    // where decoding stands.
    bool indexed_ = false;
    StreamLayout layout_;
    int streamChannels_ = 0;
    uint64_t nextFrame_ = 0;   // the audio frame decoded next
    uint64_t outputFrom_ = 0;  // decoded samples before this one are not output
    uint64_t outputEnd_ = 0;   // nor those from this one on

    // Without it: the frame search over the input as it comes.
    std::unique_ptr<Sequential> sequential_;
};

}  // namespace qoro::mpeg
