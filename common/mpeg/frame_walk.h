// Finding the frames of an MPEG audio stream, and the walk over all of them
// that gives a stream its exact length. The decoder and the information
// component both use it, so what one counts the other decodes.
//
//   qoro::mpeg::ReadAt readAt = ...;                  // pread-like access to the file
//   const auto region = qoro::mpeg::audioRegion(readAt, fileSize);
//   const auto layout = qoro::mpeg::walkStream(readAt, region, {.keepIndex = true});
//   if (layout.hasAudio()) { ... layout.length ... layout.frameAt(i) ... }
//
// How frames are found (the same for the walk and for decoding a stream
// from its start):
//   - four bytes with the 11 sync bits that form a valid header (free format
//     included) start a candidate; anything else moves the search on by one
//     byte;
//   - a candidate found while searching counts only when a valid header
//     follows right behind it (or the input ends there); otherwise the search
//     goes on one byte after it. Once a frame counted, the next one is
//     expected right behind it without that check, until something else
//     stands there;
//   - a frame is as long as its header says; a free-format frame as far as
//     the next header of the same stream; a frame the input cuts short ends
//     the stream.
// The stream's last frame, cut short where the tags behind it begin (a file
// cut off and tagged afterwards), is read whole as players read it: the
// bytes it lacks, which the tags stand in, decode as zeros. A last frame the
// file itself cuts short is left out, as mpg123 leaves it out.
// The first frame may be an information frame ("Xing", "Info", "VBRI"): it is
// not audio. When it carries a LAME tag whose frame count F is the number of
// audio frames found (the frame the file cuts short counted), the tag's
// encoder delay D and padding P say where the music lies: of the decoded
// samples, those from D + 529 (the Layer III decoder delay) on, F x spf -
// D - P of them (fewer when the stream ends first). The tag's CRC is not
// asked then: encoders write tags whose CRC fails (ffmpeg 6), and players
// take them all the same. A tag whose CRC matches is taken as well when it
// counts more frames than a file that ends within a frame holds: a file
// that lost its end (a download cut off).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "mpeg/info_frame.h"
#include "mpeg/mpeg_header.h"

namespace qoro::mpeg {

// Reads up to n bytes at an absolute offset of the input: the count read, 0
// at the end, negative on an input error.
using ReadAt = std::function<long(uint64_t offset, uint8_t* data, size_t n)>;

// The longest frame taken (header included): every bitrate of the tables at
// every rate fits, and free-format streams up to that length.
constexpr int kMaxMpegFrameBytes = 2048;
// Layer III decoder delay in samples: the synthesis and overlap latency of a
// decoder, which the LAME tag's delay does not count.
constexpr int kLayer3DecoderDelay = 529;

// Sequential reading with look-ahead over a stretch [begin, end) of an input.
class ByteWindow {
public:
    ByteWindow(ReadAt readAt, uint64_t begin, uint64_t end, size_t capacity = 64 * 1024);

    // Makes up to n bytes from the current position available (fewer only at
    // the end of the stretch or on an error) and returns how many are.
    size_t need(size_t n);
    const uint8_t* data() const { return buffer_.data() + start_; }
    // Moves the position on by n bytes (past the end of the stretch at most).
    void skip(uint64_t n);
    uint64_t offset() const { return offset_; }
    uint64_t end() const { return end_; }
    bool failed() const { return failed_; }
    // Continues at another offset of the stretch.
    void moveTo(uint64_t offset);

private:
    ReadAt readAt_;
    uint64_t offset_;  // input offset of data()
    uint64_t end_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // buffer index of the current position
    size_t valid_ = 0;  // buffer bytes from start_ on that hold input
    bool failed_ = false;
};

struct ScannedFrame {
    uint64_t offset = 0;  // of the header
    uint32_t word = 0;    // the header word
    MpegFrameHeader header;
    int length = 0;  // bytes, header included
};

// The length of the free-format frame whose header begins 'bytes': the
// distance to the next header of the same stream (same sync, version, layer,
// protection, bitrate index and sampling index), confirmed by the header
// after that one when 'bytes' reaches it. 0 when none lies within
// kMaxMpegFrameBytes.
int freeFormatFrameLength(std::span<const uint8_t> bytes);

// The frame search over a window.
class FrameScanner {
public:
    explicit FrameScanner(ByteWindow& in) : in_(in) {}

    // Finds the next frame from the window's position. On success the window
    // stands at the frame's header with the whole frame available
    // (in.need(length) == length); the caller moves past it. False at the
    // end of the input (or on an input error: in.failed()).
    bool next(ScannedFrame& frame);
    // Forgets the sync (after the window was moved).
    void reset() { inSync_ = false; }
    // Searches no further than a frame starting at this input offset.
    void setSearchLimit(uint64_t lastStart) { lastStart_ = lastStart; }
    // After next() returned false: the frame that followed the ones before
    // it but ran past the end of the input (its header and length), if any.
    const ScannedFrame* cutShort() const { return hasCut_ ? &cut_ : nullptr; }

private:
    int freeFormatLength(const MpegFrameHeader& h, uint32_t word);

    ByteWindow& in_;
    ScannedFrame cut_;
    bool hasCut_ = false;
    bool inSync_ = false;
    uint64_t lastStart_ = UINT64_MAX;
    uint32_t freeSignature_ = 0;
    int freeBase_ = 0;
};

// The stretch of a file that holds the stream: after the ID3v2 tags it
// begins with (a tag claiming more than the file takes all of it), before
// the APEv2, Lyrics3 and ID3v1 tags it ends with (tags/tails.h). No byte
// outside it is decoded.
struct StreamRegion {
    uint64_t begin = 0;
    uint64_t end = 0;
    // Where the tags behind the stream end (the file's end), or 0 when
    // nothing but the stream is known to lie behind 'end'. A last frame
    // that runs from the stream into those tags is taken (see above).
    uint64_t tagsEnd = 0;
};
StreamRegion audioRegion(const ReadAt& readAt, uint64_t fileSize);

// The most frames whose places a walk keeps (8 bytes each): about 120 hours
// of MPEG-1 audio. A longer stream, or one that changes its samples per
// frame too often, is decoded as it comes instead.
constexpr uint64_t kMaxIndexedFrames = uint64_t(1) << 24;
constexpr size_t kMaxSegments = size_t(1) << 16;

struct WalkOptions {
    bool keepIndex = false;                // keep every audio frame's place (for decoding)
    uint64_t maxAudioFrames = UINT64_MAX;  // stop after this many audio frames
    uint64_t searchLimit = UINT64_MAX;     // no frame within this many bytes: no stream
};

struct StreamLayout {
    StreamRegion region;
    bool walkedToEnd = false;   // every frame was counted (not stopped by maxAudioFrames)
    bool failed = false;        // the input could not be read to the end
    bool indexDropped = false;  // keepIndex asked, but the stream is beyond what an index keeps

    // The information frame the stream begins with, if any.
    std::optional<InfoFrame> info;
    uint64_t infoOffset = 0;
    int infoLength = 0;

    // The audio frames.
    uint64_t frameCount = 0;
    MpegFrameHeader firstHeader;  // of the first audio frame
    uint64_t firstOffset = 0;
    int firstLength = 0;
    uint64_t audioBytes = 0;              // bytes of the audio frames
    int lowestKbps = 0, highestKbps = 0;  // over the audio frames (free format: from their length)
    uint64_t decodedSamples = 0;          // samples per channel that decoding every audio frame gives
    // The last audio frame ran into the tags behind the stream: its bytes
    // from region.end on (this many) decode as zeros.
    int filledBytes = 0;
    // The samples of a last frame the file cuts short: not an audio frame,
    // but one its LAME tag counts.
    int droppedSamples = 0;

    // The music within the decoded samples: 'length' samples from 'skip' on.
    uint64_t skip = 0;
    uint64_t length = 0;
    bool gapless = false;  // a trusted LAME tag placed it

    // Places of the audio frames (with keepIndex): offset and length.
    struct Frame {
        uint64_t offset;
        int length;
    };
    Frame frameAt(uint64_t i) const { return {index_[i] >> 16, int(index_[i] & 0xFFFF)}; }
    // The frame holding decoded sample s (s < decodedSamples) and the sample
    // that frame starts with.
    uint64_t frameOfSample(uint64_t s, uint64_t& frameStart) const;
    uint64_t firstSampleOf(uint64_t frame) const;
    int samplesOf(uint64_t frame) const;
    // The frame to start decoding at so that frame 'frame' and those after
    // it come out as when decoding from the start: the frame before it
    // (synthesis history, Layer III overlap) and, for Layer III, frames
    // holding the main data that frame may look back to.
    uint64_t warmUpStart(uint64_t frame) const;
    bool hasIndex() const { return !index_.empty(); }

    bool hasAudio() const { return frameCount > 0 && length > 0; }
    int sampleRate() const { return frameCount ? mpegSampleRate(firstHeader) : 0; }
    int channels() const { return frameCount ? mpegChannels(firstHeader) : 0; }

    // Stretches of equal samples per frame (one for nearly every stream).
    struct Segment {
        uint64_t firstFrame;
        uint64_t firstSample;
        int samplesPerFrame;
    };
    std::vector<Segment> segments;
    std::vector<uint64_t> index_;
};

// Walks the stream in the region from its first frame.
StreamLayout walkStream(const ReadAt& readAt, StreamRegion region, const WalkOptions& options = {});

// Places the music from the layout's frames: by the LAME tag when it is
// trusted (a Layer III stream, a tag whose frame count equals frameCount,
// or frameCount + 1 when the file cut a last frame short, or more with a
// matching CRC when the stream ends within a frame), otherwise all of
// decodedSamples. Sets skip, length and gapless.
void placeMusic(StreamLayout& layout);

// The bitrate in kbit/s of a frame (free format: from its length).
int frameKbps(const MpegFrameHeader& h, int length);
// The average bitrate in kbit/s (rounded) of 'bytes' that decode to
// 'samples' samples per channel at 'rate'; 0 when there are none.
int averageKbps(uint64_t bytes, uint64_t samples, int rate);

}  // namespace qoro::mpeg
