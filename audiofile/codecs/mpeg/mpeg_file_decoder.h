// Reading an MPEG audio file (Layers I-III) to 16-bit PCM, or to the
// synthesis filter bank's 32-bit floats (full scale 1.0, overs kept), through
// the built-in decoder: what the AudioFile engine calls. One object per file
// holds the input, the codec and the stream's facts; each call decodes into
// the caller's buffer, and nothing is allocated per frame. Reads of either
// form may follow each other: the timeline is the same.
//
//   qoro::mpeg::MpegFileDecoder mp3;
//   if (mp3.open("song.mp3") == 0) {
//       const auto& f = mp3.facts();           // rate, channels, layer, ...
//       std::vector<int16_t> pcm(f.sampleRate / 10 * f.channels + 2304);
//       size_t bytes;
//       while ((bytes = mp3.read(pcm.data(), pcm.size() * 2)) > 0) { ... }
//       mp3.seekSample(44100);                  // music sample 44100, exactly
//   }
//
// The length is exact: the analysis at open walks every frame, so
// expectedPcmBytes is what reading from the start to the end delivers (the
// music the stream holds, without its information frame and, when a
// trusted LAME tag says so, without the encoder's delay and padding).
//
// Standard input ("-") and a stream too long for an index are decoded as
// they come instead: their facts are estimates kept current by reading, and
// the frame decoded at open is held and delivered first.
#pragma once

#include "mpeg_codec.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qoro::mpeg {

// What the decoder's calls return when they fail (0 is success).
enum MpegDecoderError : int {
    kMpegErrInvalidParameter = -102,  // an empty file name
    kMpegErrInternal = -103,          // nothing open, or a seek the input cannot make
    kMpegErrCannotOpenInput = -500,   // the file cannot be opened, or a read failed
    kMpegErrPermissionDenied = -504,
    kMpegErrFileNotFound = -513,
    kMpegErrEndOfInput = -514,     // the end of the music
    kMpegErrFrameDecoding = -700,  // a frame with faulty data (its output is there)
};

// The ID3v1 tag at the end of a file whose name ends in ".mp3", each field
// up to its first zero with trailing blanks removed (the comment always the
// 30-byte field).
struct MpegId3v1 {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;
    std::string comment;
    std::string genre;  // the genre's name; empty past the first 80 genres
};

struct MpegFileFacts {
    int sampleRate = 0;
    int channels = 0;  // 1 or 2
    int level = 0;     // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;     // 1, 2 or 3
    int mode = 0;      // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrateKbps = 0;
    int durationMs = 0;             // of the music, truncated
    bool vbrHeader = false;         // an information frame counts the stream's frames
    int64_t fileSize = 0;           // bytes
    int64_t frameCount = 0;         // audio frames (an estimate on an input that cannot seek)
    uint64_t samples = 0;           // music samples per channel
    uint64_t expectedPcmBytes = 0;  // samples x channels x 2 (16-bit samples)
};

class MpegFileDecoder {
public:
    // The caller's buffer must always offer at least this many bytes (of
    // 16-bit samples; twice as many for floats).
    static constexpr size_t kMinReadBytes = MpegCodec::kMaxOutputBytes;
    static constexpr size_t kMinFloatReadBytes = MpegCodec::kMaxOutputSamples * sizeof(float);

    MpegFileDecoder();
    ~MpegFileDecoder();
    MpegFileDecoder(const MpegFileDecoder&) = delete;
    MpegFileDecoder& operator=(const MpegFileDecoder&) = delete;

    // Opens and analyses the file ("-" reads standard input) and decodes its
    // first frame of music. 'region', when given, is the stretch of the file
    // that holds the stream (MPEG audio in a RIFF WAVE "data" chunk).
    // Returns 0 or an MpegDecoderError (a file without a frame of music is
    // kMpegErrEndOfInput, a faulty first frame kMpegErrFrameDecoding); any
    // failure leaves the decoder closed.
    int open(const std::string& path, std::optional<StreamRegion> region = std::nullopt);
    bool isOpen() const { return codec_ != nullptr; }
    void close();

    const MpegFileFacts& facts() const { return facts_; }
    // The file's ID3v1 tag (read only for names ending in ".mp3").
    const std::optional<MpegId3v1>& id3v1() const { return id3v1_; }

    // Decodes the next frame that holds music into 'out' (kMinReadBytes of
    // room, interleaved; kMinFloatReadBytes for floats): 0 with its music
    // samples per channel and the channel count, kMpegErrFrameDecoding when
    // its data was faulty (the output is there, silent where it could not be
    // decoded), kMpegErrEndOfInput at the end of the music, or an input
    // error.
    int decodeFrame(int16_t* out, int& samplesPerChannel, int& channels);
    int decodeFrame(float* out, int& samplesPerChannel, int& channels);

    // Decodes frames into 'out' while at least kMinReadBytes (for floats
    // kMinFloatReadBytes) of room remain (less room than that from the start
    // reads nothing), until the end of the music or an input error. A frame
    // with faulty data keeps its place (silent where it could not be
    // decoded). Returns the bytes written (0 at the end).
    size_t read(int16_t* out, size_t roomBytes);
    size_t read(float* out, size_t roomBytes);

    // Seeks to a sample of the music (exactly), to a PCM byte offset of the
    // 16-bit output, or to milliseconds.
    int seekSample(uint64_t sample);
    int seekPcmBytes(uint64_t offset);
    int seekMs(int64_t ms);

    // The frames the analysis found (null when the stream is decoded as it
    // comes).
    const StreamLayout* layout() const;

    // True when a stream opened for reading should rather be handed to the
    // system's Layer III codec: Layer III below 52 kbit/s.
    static bool prefersSystemCodec(int layer, int bitrateKbps, bool openedForRead) {
        return openedForRead && layer == 3 && bitrateKbps < 52;
    }

private:
    class FileInput;

    void refreshFacts();
    // Moves the held first frame to 'out'; its sample count per channel.
    int takeHeld(int16_t* out, int& channels);
    int takeHeld(float* out, int& channels);
    template <class Sample>
    int decodeFrameInto(Sample* out, int& samplesPerChannel, int& channels);
    template <class Sample>
    size_t readInto(Sample* out, size_t roomBytes);
    bool indexed() const { return codec_ && codec_->indexed(); }

    std::unique_ptr<FileInput> input_;
    std::unique_ptr<MpegCodec> codec_;
    MpegStreamStatus status_;
    MpegFileFacts facts_;
    std::optional<MpegId3v1> id3v1_;
    // A stream decoded as it comes: the first frame's music, decoded at
    // open (as floats, which give its 16-bit samples too), until the first
    // read delivers it.
    std::array<float, MpegCodec::kMaxOutputSamples> held_{};
    int heldSamples_ = 0;  // per channel
    int heldChannels_ = 0;
};

}  // namespace qoro::mpeg
