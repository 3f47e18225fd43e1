// Reading an MPEG audio file (Layers I-III) to 16-bit PCM through the
// built-in decoder: what the AudioFile engine calls.
//
//   qoro::mpeg::MpegFileDecoder mp3;
//   if (mp3.open("song.mp3") == 0) {
//       const auto& f = mp3.facts();           // rate, channels, layer, ...
//       std::vector<int16_t> pcm(f.sampleRate / 10 * f.channels + 2304);
//       size_t bytes;
//       while ((bytes = mp3.read(pcm.data(), pcm.size() * 2)) > 0) { ... }
//       mp3.seekMs(30000);
//   }
#pragma once

#include "mpeg_decoder_context.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qoro::mpeg {

struct MpegFileFacts {
    int sampleRate = 0;
    int channels = 0;       // 1 or 2
    int level = 0;          // 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;          // 1, 2 or 3
    int mode = 0;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrateKbps = 0;
    int durationMs = 0;
    bool vbrHeader = false;
    int64_t fileSize = 0;   // bytes
    int64_t frameCount = 0; // from a VBR header, else estimated from size and bitrate
    uint64_t expectedPcmBytes = 0;
};

class MpegFileDecoder {
public:
    // The caller's buffer must always offer at least this many bytes.
    static constexpr size_t kMinReadBytes = MpegCodec::kMaxOutputBytes;

    MpegFileDecoder();
    ~MpegFileDecoder();
    MpegFileDecoder(const MpegFileDecoder&) = delete;
    MpegFileDecoder& operator=(const MpegFileDecoder&) = delete;

    // Opens and analyses the file ("-" reads standard input). Returns 0 or a
    // negative decoder code; any failure leaves the decoder closed.
    int open(const std::string& path);
    bool isOpen() const { return context_ != nullptr; }
    void close();

    const MpegFileFacts& facts() const { return facts_; }

    // Decodes whole frames into 'out' while the play position is below the
    // end and at least kMinReadBytes of room remain (less room than that
    // from the start reads nothing).
    // Stops early on a decoding fault or the end of input. Returns the bytes
    // written (0 at the end).
    size_t read(int16_t* out, size_t roomBytes);

    // Seeks to a PCM byte offset (of the 16-bit output), or to milliseconds.
    int seekPcmBytes(uint64_t offset);
    int seekMs(int64_t ms);

    // Byte position in the input file.
    int64_t inputPosition() const;
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

    std::unique_ptr<MpegDecoderContext> context_;
    MpegFileFacts facts_;
    int64_t vbrFrames_ = 0;
};

}  // namespace qoro::mpeg
