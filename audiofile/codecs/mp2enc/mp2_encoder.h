// The MPEG audio Layer II encoder: MPEG-1 at 32, 44.1 and 48 kHz and MPEG-2
// LSF at 16, 22.05 and 24 kHz, every channel mode. One Mp2Encoder holds up to
// ten independent encoder instances; each turns frames of 1152 samples per
// channel into Layer II frames with a CRC word.
//
// Nothing here writes to the host's standard streams: a refusal is a result
// code, and lastMessage() says what was refused ("SmpFrqIndex: 11025 is not
// a legal sample rate"). An instance is made whole or not at all: when
// memory runs out while it is built, create reports kNoMemory and nothing of
// it is left.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qoro::mp2enc {

namespace detail {
struct EncoderInstance;
}  // namespace detail

// What a caller chooses for one instance.
struct Mp2Options {
    int32_t sampleRate = 44100;  // Hz
    int32_t mode = 0;            // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int32_t bitrateKbps = 128;
    int32_t psychoModel = 2;  // 0 fixed ratios; 1 and 2 the spectral model
    bool errorProtection = true;
    bool padding = true;
    int32_t privateBit = 0;
    int32_t copyright = 0;
    int32_t original = 0;
    int32_t emphasis = 0;
};

// What create hands back.
struct Mp2Instance {
    int32_t number = -1;
    int32_t samplesPerCall = 0;    // 1152 x channels, interleaved
    int32_t outputBufferSize = 0;  // bytes the caller provides for one frame
};

class Mp2Encoder {
public:
    static constexpr int kMaxInstances = 10;
    static constexpr int kOutputBufferSize = 16000;
    static constexpr int kSamplesPerFrame = 1152;

    // create results
    static constexpr int kOk = 0;
    static constexpr int kBadSampleRate = 2;
    static constexpr int kTooManyInstances = 3;
    static constexpr int kBadSettings = 4;  // bitrate, mode or model not usable
    static constexpr int kNoMemory = 7;     // the instance's tables could not be allocated
    // encode/close results
    static constexpr int kBadInstance = 5;
    static constexpr int kBufferTooSmall = 6;

    Mp2Encoder();
    ~Mp2Encoder();
    Mp2Encoder(const Mp2Encoder&) = delete;
    Mp2Encoder& operator=(const Mp2Encoder&) = delete;

    int createInstance(const Mp2Options& options, Mp2Instance& created);

    // Encodes one frame from `sampleCount` interleaved samples (fewer than
    // samplesPerCall are padded with silence, more are ignored) into `out`.
    int encodeFrame(int instance, int sampleCount, const int16_t* samples, uint8_t* out, size_t outSize,
                    int& bytesWritten);

    int closeInstance(int instance);

    int liveInstances() const;

    // What the last call that failed refused, in words; empty after a call
    // that succeeded.
    const std::string& lastMessage() const { return message_; }

    // "stereo", "j-stereo", "dual-ch", "single-ch"; "MPEG-1", "MPEG-2 LSF".
    static const char* modeName(int mode);
    static const char* versionName(int version);

private:
    // Records the message of a refusal and returns its result code.
    int refuse(int code, std::string message);

    std::array<std::unique_ptr<detail::EncoderInstance>, kMaxInstances> instances_;
    std::string message_;
};

}  // namespace qoro::mp2enc
