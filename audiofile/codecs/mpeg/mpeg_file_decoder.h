// Reading an MPEG audio file (Layers I-III) to 16-bit PCM through the
// built-in decoder: what the AudioFile engine calls.
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
#pragma once

#include "mpeg_decoder_context.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qoro::mpeg {

struct MpegFileFacts {
    int sampleRate = 0;
    int channels = 0;       // 1 or 2
    int level = 0;          // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;          // 1, 2 or 3
    int mode = 0;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrateKbps = 0;
    int durationMs = 0;     // of the music, truncated
    bool vbrHeader = false; // an information frame counts the stream's frames
    int64_t fileSize = 0;   // bytes
    int64_t frameCount = 0; // audio frames (an estimate on an input that cannot seek)
    uint64_t samples = 0;   // music samples per channel
    uint64_t expectedPcmBytes = 0;  // samples x channels x 2
};

class MpegFileDecoder {
public:
    // The caller's buffer must always offer at least this many bytes.
    static constexpr size_t kMinReadBytes = MpegCodec::kMaxOutputBytes;

    MpegFileDecoder();
    ~MpegFileDecoder();
    MpegFileDecoder(const MpegFileDecoder&) = delete;
    MpegFileDecoder& operator=(const MpegFileDecoder&) = delete;

    // Opens and analyses the file ("-" reads standard input). 'region', when
    // given, is the stretch of the file that holds the stream (MPEG audio in
    // a RIFF WAVE "data" chunk). Returns 0 or a negative decoder code (a
    // file without a frame of music is kMpegErrEndOfInput); any failure
    // leaves the decoder closed.
    int open(const std::string& path, std::optional<StreamRegion> region = std::nullopt);
    bool isOpen() const { return context_ != nullptr; }
    void close();

    const MpegFileFacts& facts() const { return facts_; }

    // Decodes frames into 'out' while at least kMinReadBytes of room remain
    // (less room than that from the start reads nothing), until the end of
    // the music or an input error. A frame with faulty data keeps its place
    // (silent where it could not be decoded). Returns the bytes written (0 at
    // the end).
    size_t read(int16_t* out, size_t roomBytes);

    // Seeks to a sample of the music (exactly), to a PCM byte offset of the
    // 16-bit output, or to milliseconds.
    int seekSample(uint64_t sample);
    int seekPcmBytes(uint64_t offset);
    int seekMs(int64_t ms);

    // Byte position in the input file.
    int64_t inputPosition() const;
    // The frames the analysis found (null on an input that cannot seek).
    const StreamLayout* layout() const;
    // String property of the stream ("id3/title", ...); empty when absent.
    std::string streamProperty(const std::string& name) const;
    MpegDecoderContext* context() { return context_.get(); }

    // True when a stream opened for reading should rather be handed to the
    // system's Layer III codec: Layer III below 52 kbit/s.
    static bool prefersSystemCodec(int layer, int bitrateKbps, bool openedForRead)
    {
        return openedForRead && layer == 3 && bitrateKbps < 52;
    }

private:
    void refreshFacts();

    bool indexed() const;

    std::unique_ptr<MpegDecoderContext> context_;
    MpegFileFacts facts_;
};

}  // namespace qoro::mpeg
