// The file engine an AudioFile owns: opens, creates and closes files of every
// type, and moves sample data between a file and the 16-bit array format the
// caller exchanges, converting sample width, channels and rate on the way.
//
//   Engine e;
//   e.setSettings(settings);                       // raw, telephony, MP3 ... settings
//   if (e.open("in.wav", WAV, READ) < 0) ...       // statuses are negative on failure
//   e.setArrayFormat(22050, 1);
//   std::vector<uint8_t> bytes;
//   uint64_t b = e.arrayBytesFor(4410 * 2);        // what the next read delivers
//   e.read(b, bytes);                              // appends array-format bytes
//   e.close();
//
// Every container kind is a Track (track.h) found through the container table
// (containers.h); the engine itself only counts, converts and dispatches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "containers/settings.h"
#include "containers/track.h"
#include "engine/array_conversion.h"

namespace qoro::audiofile {

class Engine {
public:
    // What the file is open for. The values are the Status an AudioFile
    // reports: 0 no file, 1 reading, 2 writing (created), 3 reading and
    // writing.
    enum class FileState : int16_t { Closed = 0, Reading = 1, Writing = 2, ReadingWriting = 3 };

    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Settings copied in by the object before open and create.
    void setSettings(const EngineSettings& settings) { settings_ = settings; }
    // Taken by the converters designed next (open, create, setArrayFormat).
    void setResampleQuality(int32_t quality) { settings_.resampleQuality = quality; }
    const EngineSettings& settings() const { return settings_; }

    // Opens an existing file; formatType is a FormatTypeConstants value other
    // than DEFAULT, flag READ (1) or READWRITE (2). A file already open is
    // closed first. A file whose signature names a kind of file the type
    // does not read is refused before its reader sees it: FORMATFILE when
    // another type reads the kind ("a FLAC file, not a WAV file"), else
    // FORMATNOTSUPPORT ("an MP4/AAC file: this format is not supported", "a
    // JPEG image, not an audio file").
    int16_t open(const std::string& path, long formatType, long flag);
    // Creates a file of that type with the settings handed over.
    int16_t create(const std::string& path, long formatType);
    // Closes the file (trailers, header patch-up). Harmless without a file.
    int16_t close();

    // The cause of the last failing call in words: the system's reason
    // ("No such file or directory", "No space left on device"), "the file
    // is empty", "not an audio file of this type", ... Empty after a call
    // that succeeded.
    const std::string& cause() const { return cause_; }

    FileState state() const { return state_; }
    bool isOpen() const { return track_ != nullptr; }
    ContainerKind kind() const { return track_ ? track_->kind() : ContainerKind::None; }

    // What the reader of the open file found of the encoder settings (MPEG
    // rate, bitrate and channels; Ogg Vorbis nominal bitrate, ...).
    void reportFoundSettings(Mp3Settings& mp3, OutputSettings& output) const;

    // The array format: 16-bit PCM as it has always been, or (for callers
    // of the deep interface) 24-bit, 32-bit or float samples in up to 8
    // channels; rate and channels must be plausible (the object checks the
    // accepted set). Re-derives the length and position of an open file and
    // designs the converters. A deep kind or more than two channels has the
    // file's samples read as they are, not narrowed to 16-bit stereo.
    void setArrayFormat(uint32_t rate, uint16_t channels, SampleKind kind = SampleKind::Int16);
    SampleKind arrayKind() const { return arrayKind_; }
    // Samples the converters had to clip (a float array beyond full scale
    // written to an integer file, a mix or resampling that overshoots).
    uint64_t clippedSamples() const { return toArray_.clipped() + toFile_.clipped(); }

    const WAVEFORMATEX& arrayFormat() const { return array_; }
    const WAVEFORMATEX& fileFormat() const { return file_; }
    // The file's samples as they are (deeper or in more channels than the
    // 16-bit stereo form a 16-bit array reads them in).
    const WAVEFORMATEX& ownFormat() const { return track_ ? track_->ownForm() : file_; }
    bool lossy() const { return track_ && track_->lossy(); }
    const FullFormat& fullFormat() const { return full_; }
    const std::string& description() const { return description_; }

    // Total length and current position in array-format bytes.
    uint64_t totalLength() const { return total_; }
    uint64_t position() const { return arrayPos_; }

    // How many array bytes the next read() delivers when at least `wanted`
    // are asked for (whole decoder units; may be more than wanted, fewer only
    // at the end of the file).
    uint64_t arrayBytesFor(uint64_t wanted) const;

    // Reads and converts: appends up to about `n` array-format bytes (as
    // arrayBytesFor promised) to `out`. Returns the number appended (0 at the
    // end of the data) or a negative status.
    int64_t read(uint64_t n, std::vector<uint8_t>& out);

    // Converts and writes whole sample frames of `n` array-format bytes.
    // Returns the bytes consumed (n rounded down to whole frames) or a
    // negative status.
    int64_t write(const uint8_t* data, uint64_t n);

    // Moves the read position by `arrayOffset` array bytes relative to the
    // origin. Returns a status; the new position is position().
    int16_t seek(uint64_t arrayOffset, SeekOrigin origin);

private:
    // What a failing call was doing, for the words of its cause.
    enum class Step { Open, Create, Read, Write, Seek, Close };
    // Records the cause of a failure (the track's, or words for the status)
    // and returns the status.
    int16_t failure(int16_t st, Step step, std::string cause = {});

    void resetCounters();
    void adoptTrack(std::unique_ptr<Track> track);
    void designConverters();
    // Has the track hand on its samples as they are (native) or narrowed to
    // 16-bit stereo, keeping the file position's frame.
    void takeFileForm(bool native);
    // Reads through a converter whose output lags behind its input (read()).
    int64_t readLagging(uint64_t source, std::vector<uint8_t>& out);
    // Hands what the writer's resampler still holds to the track; a status.
    int16_t drainWriter();
    // Source bytes to read so that at least `wanted` array bytes come out
    // (whole decoder units; bounded by what the container has left).
    uint64_t sourceForArray(uint64_t wanted) const;

    EngineSettings settings_;
    FileState state_ = FileState::Closed;
    std::unique_ptr<Track> track_;
    long formatType_ = 0;

    WAVEFORMATEX array_{};
    SampleKind arrayKind_ = SampleKind::Int16;
    WAVEFORMATEX file_{};
    FullFormat full_{};
    std::string description_;
    std::string cause_;

    uint64_t total_ = 0;      // array bytes
    uint64_t arrayPos_ = 0;   // array bytes
    uint64_t filePos_ = 0;    // file-format bytes
    uint64_t fileTotal_ = 0;  // file-format bytes written (writing)

    ArrayConversion toArray_;         // file format -> array format (reading)
    ArrayConversion toFile_;          // array format -> file format (writing)
    std::vector<uint8_t> decoded_;    // scratch: decoded file-format bytes
    std::vector<uint8_t> converted_;  // scratch: array bytes converted for the file
};

}  // namespace qoro::audiofile
