// Ogg Vorbis files as the AudioFile engine reads and writes them, as 16-bit
// interleaved PCM. One OggFileState serves one open file, in one direction:
//
//   OggFileState ogg;
//   if (ogg.openRead(path) == 0) {
//       ogg.channels(); ogg.rate(); ogg.totalFrames();
//       ogg.read(buffer, bytes);       // bounded library calls, holes skipped
//       ogg.seekFrame(frame);
//   }
//   ogg.close();
//
//   OggEncoderParams p;  p.rate = 44100; p.channels = 2; p.quality = 500;
//   if (ogg.create(path, p) == 0) { ogg.write(pcm, bytes); ogg.close(); }
//
// Statuses are the engine's: 0, -13 (not Ogg Vorbis, or no encoder for the
// parameters), -18 (file cannot be opened, created or written), and -1 for a
// page that could not be written completely.
#pragma once

#include <vorbis/codec.h>
#include <vorbis/vorbisfile.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qoro::audiofile::ogg {

namespace status {
inline constexpr int kOk = 0;
inline constexpr int kPageWrite = -1;
inline constexpr int kFormatNotSupport = -13;
inline constexpr int kFileAccess = -18;
}  // namespace status

// What SetFormatOggVorbis chose. Bitrates in kbit/s (-1 = not set); quality
// in thousandths of the library's base quality (0..1000), negative for
// bitrate management.
struct OggEncoderParams {
    int rate = 44100;
    int channels = 2;
    int nominalKbps = 128;
    int minKbps = -1;
    int maxKbps = -1;
    int quality = -1;
};

// How vorbis_encode_init is called for `p` (bit/s; minimum and maximum
// default to the nominal rate), or the base quality for the VBR set-up.
struct EncoderSetup {
    bool managed = true;
    long maxBps = 0, nominalBps = 0, minBps = 0;
    float quality = 0.0f;
};
EncoderSetup encoderSetupFor(const OggEncoderParams& p);

class OggFileState {
public:
    OggFileState() = default;
    ~OggFileState();
    OggFileState(const OggFileState&) = delete;
    OggFileState& operator=(const OggFileState&) = delete;

    // --- reading ------------------------------------------------------------
    int openRead(const std::string& path);
    int channels() const { return channels_; }
    long rate() const { return rate_; }
    long nominalKbps() const { return nominalKbps_; }
    uint64_t fileBytes() const { return fileBytes_; }
    // Sample frames of the whole stream (all links).
    uint64_t totalFrames() const { return totalFrames_; }
    int blockAlign() const { return 2 * channels_; }
    // Fills up to `bytes` (rounded down to whole frames) with 16-bit
    // little-endian interleaved samples, asking the library for at most 1024
    // frames per call. Returns the bytes filled: fewer at the end of the
    // stream or after a read error. A hole in the data is skipped.
    size_t read(uint8_t* dst, size_t bytes);
    // The same as 32-bit floats (full scale +-1.0, as the decoder gives
    // them), 1 to 8 channels interleaved in the order `channelOf` gives:
    // output channel i is the stream's channel channelOf(channels, i).
    size_t readFloat(uint8_t* dst, size_t bytes, int (*channelOf)(int channels, int i));
    // Positions reading at sample frame `frame` (clamped to the end).
    int seekFrame(uint64_t frame);
    // Byte position in the file, and the frame that read() returns next.
    uint64_t filePosition();
    uint64_t framePosition();

    // --- writing ------------------------------------------------------------
    // The encoder is set up before the file is touched, so parameters the
    // library refuses leave an existing file as it was.
    int create(const std::string& path, const OggEncoderParams& params);
    // Encodes `bytes` of 16-bit interleaved PCM (whole frames, 1 or 2
    // channels). Returns the file bytes written, or -1 when a page could not
    // be written.
    long write(const uint8_t* pcm, size_t bytes);
    // Encodes interleaved 32-bit floats (whole frames); input channel i
    // becomes the stream's channel channelOf(channels, i).
    long writeFloat(const uint8_t* samples, size_t bytes, int (*channelOf)(int channels, int i));

    // Ends the stream of a created file (end-of-stream page) and releases
    // everything. Returns 0, or a failure of the final writes.
    int close();

    bool reading() const { return mode_ == Mode::Reading; }
    bool writing() const { return mode_ == Mode::Writing; }

    // The system error number (errno) of the first failed create, write or
    // close of the file being written; 0 when none failed or gave none.
    int error() const { return error_; }

private:
    enum class Mode { Closed, Reading, Writing };

    long encodeAvailable();  // analysis and page output; -1 on a short write
    // Fills the analysis buffer frame by frame through `put` and encodes.
    template <class Put>
    long encodeFrames(size_t frames, Put&& put);
    bool writePage(const ogg_page& page);

    Mode mode_ = Mode::Closed;
    int channels_ = 0;
    long rate_ = 0;
    long nominalKbps_ = 0;
    uint64_t fileBytes_ = 0;
    uint64_t totalFrames_ = 0;

    OggVorbis_File vf_{};

    std::FILE* out_ = nullptr;
    int error_ = 0;
    vorbis_info vi_{};
    vorbis_comment vc_{};
    vorbis_dsp_state vd_{};
    vorbis_block vb_{};
    ogg_stream_state os_{};
    bool eosWritten_ = false;
};

}  // namespace qoro::audiofile::ogg
