// Everything the AudioFile object does, without the automation plumbing: its
// state (Status, last error, output settings, array format, leftover bytes),
// the state machine around the file engine, error translation and reporting,
// and the sample-array algorithms. The COM class (audio_file.h) forwards each
// IAudioFile member here and turns the results into automation values.
//
//   struct Sink : qoro::audiofile::ErrorSink { void fireError(long code) override {...} } sink;
//   qoro::audiofile::AudioFileCore af(&sink);
//   af.openFile("in.wav", DEFAULT, READ);
//   std::vector<int16_t> block;  VectorArray out(block);
//   af.readFile(4410, out);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/mp3enc/mp3_settings.h"
#include "engine/engine.h"

namespace qoro::audiofile {

// Receives the Error event, fired synchronously from inside a failing call,
// with the cause of the failure in words ("No such file or directory", "the
// file is empty", "No space left on device") for the caller's error
// information.
class ErrorSink {
public:
    virtual void fireError(long code, const std::string& cause) = 0;

protected:
    ~ErrorSink() = default;
};

// The sample array a read fills: allocated once with the wanted element
// count, then shrunk to what came.
class SampleArray {
public:
    // Room for `elements` samples (all zero); nullptr when it cannot be had.
    virtual int16_t* allocate(size_t elements) = 0;
    virtual void shrink(size_t elements) = 0;

protected:
    ~SampleArray() = default;
};

// The array a deep read fills, as bytes: allocated once, then shrunk.
class ByteArray {
public:
    virtual uint8_t* allocate(size_t bytes) = 0;
    virtual void shrink(size_t bytes) = 0;

protected:
    ~ByteArray() = default;
};

// A SampleArray over a std::vector (tests, internal callers).
class VectorArray final : public SampleArray {
public:
    explicit VectorArray(std::vector<int16_t>& v) : v_(v) {}
    int16_t* allocate(size_t elements) override {
        v_.assign(elements, 0);
        return v_.data();
    }
    void shrink(size_t elements) override { v_.resize(std::min(elements, v_.size())); }

private:
    std::vector<int16_t>& v_;
};


class AudioFileCore final : public Mp3SettingsOwner {
public:
    explicit AudioFileCore(ErrorSink* sink = nullptr);
    ~AudioFileCore();
    AudioFileCore(const AudioFileCore&) = delete;
    AudioFileCore& operator=(const AudioFileCore&) = delete;

    void setErrorSink(ErrorSink* sink) { sink_ = sink; }

    // --- files ---------------------------------------------------------------
    void openFile(const std::string& name, long formatType, long flag);
    // Closes the file. A file written to that cannot be finished (its last
    // bytes encoded and stored, its header patched, its buffers written at
    // the close) reports the failure (FILEACCESS with the system's reason):
    // what is on disk is not the whole file. It is closed in any case.
    void closeFile();
    // The same without reporting anything (the object is going away).
    void closeQuietly();
    // A member ran out of memory (std::bad_alloc reached the interface):
    // MEMORY is reported and no read stays marked as running.
    void reportOutOfMemory();
    void createFile(const std::string& name, long formatType);
    // Writes `count` interleaved samples in the array format.
    void writeFile(const int16_t* samples, long count);
    void readFile(long nSamples, SampleArray& out);
    long seekFile(long nSamples, long origin);
    // The same in the array's sample kind (count samples, not bytes) and in
    // 64-bit frame counts.
    void writeSamples(const void* samples, size_t count);
    void readSamples(int64_t nFrames, ByteArray& out);
    int64_t seekFrames(int64_t nFrames, long origin);

    // --- properties ------------------------------------------------------------
    long nSamples() const;
    int64_t nFrames() const;
    int64_t position() const;
    long arraySampleKind() const { return static_cast<long>(engine_.arrayKind()); }
    int64_t clippedSamples() const { return static_cast<int64_t>(engine_.clippedSamples()); }
    long fileChannels() const { return isOpen() ? engine_.ownFormat().nChannels : 0; }
    // The SampleKindConstants value that holds the file's samples without loss.
    long fileSampleKind() const;
    long frequency() const { return static_cast<long>(fmt_.file.nSamplesPerSec); }
    short status() const { return static_cast<short>(state()); }
    long nChannels() const { return fmt_.file.nChannels; }
    const std::string& formatString() const { return fmt_.description; }
    long bitsPerSample() const { return fmt_.file.wBitsPerSample == 8 ? 8 : 16; }
    long bitrate() const { return fmt_.bitrate; }
    long duration() const;
    long lastError() const { return lastError_; }
    long arrayChannels() const { return arrayFormat_.nChannels; }
    long arrayFrequency() const { return static_cast<long>(arrayFormat_.nSamplesPerSec); }
    long formatTag() const;
    long g723Bitrate() const;
    long g726Bitrate() const;
    long rawTypeCompress() const { return output_.raw.compression; }
    long formatType() const { return fmt_.type; }

    // 0: rates of the PCM table through the block converter; 1: every rate
    // change through libsoxr. Taken at the next open, create or array format.
    long resampleQuality() const { return resampleQuality_; }
    // Dither where deeper samples are rounded to 16 bits: 0 none, 1 TPDF;
    // taken by the next OpenFile or CreateFile.
    long dither() const { return dither_; }
    void setDither(long dither);
    // INVALIDPARAM for a value other than 0 and 1.
    void setResampleQuality(long quality);

    bool fastMp3Analysis() const { return fastMp3Analysis_; }
    void setFastMp3Analysis(bool on) { fastMp3Analysis_ = on; }
    // The WMA codec component is an outside component this system does not
    // ship; it is never present.
    bool wmaFormatEnabled() const { return false; }
    void setWmaFormatEnabled(bool) {}
    long mp3TypeEncoder() const { return mp3Encoder_; }
    void setMp3TypeEncoder(long v) { mp3Encoder_ = static_cast<int16_t>(v); }
    // The decoder choice: the caller's, except while a file is open that
    // had to go to the codec manager (Layer III below 52 kbit/s), which
    // reads ACM_DRIVER_OUT until it is closed.
    long mp3TypeDecoder() const { return mp3Decoder_; }
    void setMp3TypeDecoder(long v) { mp3Decoder_ = mp3DecoderChoice_ = static_cast<int16_t>(v); }

    // --- output formats ----------------------------------------------------------
    long setFormatMP3(long frequency, long bitrate, long channels);
    long setFormatRAW(long typeCompress, long frequency, long channels, long bits);
    long setFormatADPCM(long frequency, long channels);
    long setFormatGSM(long frequency);
    long setFormatVOX(long frequency);
    long setFormatPCM(long frequency, long channels, long bits);
    void setFormatArray(long frequency, long channels);
    void setFormatArrayKind(long frequency, long channels, long kind);
    long setFormatPCMKind(long frequency, long channels, long kind);
    long setFormatFLACBits(long frequency, long channels, long bits, long level);
    long setFormatAAC(long frequency, long channels, long bitrate);
    long setFormatALAC(long frequency, long channels, long bits);
    long setFormatFromMenu();
    long setFormatLikeSample(const std::string& name);
    long setFormatDSP();
    long setFormatALAW(long frequency, long channels);
    long setFormatALF2CD(long bitrate);
    long setFormatG723(long frequency, long bitrate);
    long setFormatULAW(long frequency, long channels);
    long setFormatG726(long frequency, long bitrate);
    long setFormatMobileVoice(long frequency);
    long setFormatOggVorbis(long frequency, long channels, long nominal, long minimum, long maximum, long quality);
    long setFormatG721(long frequency);
    long setFormatWMA(long profile);
    long setFormatMP2(long frequency, long bitrate, long channels);
    // IAudioFile2: FLAC and Opus (INVALIDPARAM for arguments out of range).
    long setFormatFLAC(long frequency, long channels, long level);
    long setFormatOpus(long channels, long bitrate, long complexity);
    long setFormatVorbis(long frequency, long channels, long nominal, long minimum, long maximum, long quality);

    // --- Mp3SettingsOwner --------------------------------------------------------
    Mp3Settings& mp3Settings() override { return mp3_; }
    void mp3SettingsChanged() override;

    // Format types chosen from a file name's extension.
    static long typeForOpen(const std::string& name);
    static long typeForCreate(const std::string& name);

private:
    // The Bitrate property of a file of the type just opened or created: what
    // the settings decide for the type, else the record's byte rate x 8.
    int32_t bitrateOf(long type, bool creating, const FullFormat& full) const;
    // Stores and fires an error code, with its cause in words (words for
    // the code when none is given).
    void report(long code, const std::string& cause = {});
    // An engine status as an ErrorConstants value, stored and fired with
    // the engine's cause (or the given one: another engine's).
    void reportEngine(int status);
    void reportEngine(int status, const std::string& cause);
    // Closes the engine's file; the status of finishing a written file.
    int16_t finishFile();
    // The common start of every SetFormat*: BUSY when a file is open.
    bool formatCallAllowed();
    // A setting of 0 or 1: true when `value` is one (the last error cleared),
    // else INVALIDPARAM with `refusal`.
    bool takeSwitch(long value, const char* refusal);
    // Everything the engine takes before an open or create.
    EngineSettings engineSettings() const;
    // Reads and writes in array bytes (the 16-bit and deep members alike).
    void readFrames(uint64_t frames, ByteArray& out);
    void writeBytes(const uint8_t* bytes, size_t n);
    // Opens `name` with a separate engine and takes over its formats
    // (SetFormatLikeSample).
    long adoptSample(const std::string& name, long type);

    using FileState = Engine::FileState;
    FileState state() const { return engine_.state(); }
    bool isOpen() const { return state() != FileState::Closed; }
    bool isReading() const { return state() == FileState::Reading || state() == FileState::ReadingWriting; }
    bool isWriting() const { return state() == FileState::Writing || state() == FileState::ReadingWriting; }

    ErrorSink* sink_ = nullptr;
    Engine engine_;

    long lastError_ = 0;
    bool reading_ = false;

    WAVEFORMATEX arrayFormat_{};
    // Full file format, file format, current type, Bitrate, description.
    FormatState fmt_;

    std::vector<uint8_t> leftover_;
    std::vector<uint8_t> scratch_;

    OutputSettings output_;
    Mp3Settings mp3_;
    int16_t mp3Encoder_ = 2;        // LAME
    int16_t mp3Decoder_ = 2;        // X_AUDIO; what the property reads
    int16_t mp3DecoderChoice_ = 2;  // what the caller set
    bool fastMp3Analysis_ = false;
    int32_t resampleQuality_ = 0;
    int32_t dither_ = 0;
};

}  // namespace qoro::audiofile
