// Loudness as ReplayGain 2.0 and EBU R128 state it: a track's integrated
// loudness (ITU-R BS.1770-4, gated) and its peak, an album's loudness as
// that of all its tracks together, and the tag values players read.
//
//   qoro::client::loudness::Meter meter(44100, 2);
//   meter.addFloats(samples, frames);                 // as often as blocks come
//   const auto track = qoro::client::loudness::measured(meter);
//   const auto values = qoro::client::loudness::tagValues(track, std::nullopt, false);
//   if (std::string cause = qoro::client::loudness::writeTags(path, values); !cause.empty()) ...
//
// The meters are libebur128's. An album is measured from the meters of its
// tracks (the gated loudness of their blocks together, as if the tracks were
// one file), never as an average of the tracks' values.
#pragma once

#include <ebur128.h>

#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace qoro::client::loudness {

// ReplayGain 2.0 plays every track at -18 LUFS; Opus files (RFC 7845) state
// their gains against -23 LUFS, the EBU R128 programme level.
inline constexpr double kReplayGainReference = -18.0;
inline constexpr double kR128Reference = -23.0;
// Quieter than this a track is taken as silence and gets no gain.
inline constexpr double kSilence = -70.0;

struct Options {
    bool truePeak = false;  // the peak between the samples (4x oversampled), not only at them
    bool loudness = true;   // false: the peak alone (the decoded output of a lossy encoder)
};

// One track's meter: integrated loudness (EBU R128 / BS.1770-4) and its peak.
class Meter {
public:
    // Samples in WAVE channel order (the speaker bits' order: L R C LFE BL BR
    // SL SR); the LFE counts nothing and the surrounds 1.41 times, as
    // BS.1770 weighs them; one channel is a centre speaker.
    Meter(long rate, int channels, Options = {});
    // False when the meter could not be made (a rate or channel count
    // libebur128 refuses, no memory) or a block could not be taken.
    bool ok() const { return (state_ || (!options_.loudness && !options_.truePeak)) && channels_ > 0 && !failed_; }
    long rate() const { return rate_; }
    int channels() const { return channels_; }

    // Interleaved blocks: floats of full scale +-1.0, 16-bit integers, and
    // 32-bit integers holding 24 bits (right-justified) or 32.
    void addFloats(const float* interleaved, size_t frames);
    void addInt16(const int16_t* interleaved, size_t frames);
    void addInt32(const int32_t* interleaved, size_t frames, int bits);

    double integrated() const;                             // LUFS; -HUGE_VAL when below the gate
    double peak() const;                                   // linear: sample peak, or true peak with Options::truePeak
    ebur128_state* state() const { return state_.get(); }  // for the album

private:
    struct Destroy {
        void operator()(ebur128_state* s) const { ebur128_destroy(&s); }
    };
    void taken(int result);
    template <class T>
    void notePeaks(const T* interleaved, size_t frames, double fullScale);

    std::unique_ptr<ebur128_state, Destroy> state_;
    long rate_ = 0;
    int channels_ = 0;
    Options options_;
    bool failed_ = false;
    std::vector<double> peaks_;     // each channel's sample peak, 1.0 = full scale
    std::vector<int32_t> widened_;  // 24-bit samples moved to the top of 32 bits
};

// A meter run on a thread of its own: the blocks handed to it are copied
// and measured there while the caller decodes or encodes the next ones (at
// most a few seconds of them wait). finish() waits for the last block and
// gives the meter.
//
//   MeterThread metering(44100, 2);
//   metering.addFloats(samples, frames);      // returns at once
//   Meter meter = metering.finish();
class MeterThread {
public:
    MeterThread(long rate, int channels, Options = {});
    ~MeterThread();
    MeterThread(const MeterThread&) = delete;
    MeterThread& operator=(const MeterThread&) = delete;

    void addFloats(const float* interleaved, size_t frames) { hand(Kind::Floats, 0, interleaved, frames, 4); }
    void addInt16(const int16_t* interleaved, size_t frames) { hand(Kind::Int16, 0, interleaved, frames, 2); }
    void addInt32(const int32_t* interleaved, size_t frames, int bits) {
        hand(Kind::Int32, bits, interleaved, frames, 4);
    }
    Meter finish();

private:
    enum class Kind { Floats, Int16, Int32 };
    struct Block {
        Kind kind;
        int bits;
        size_t frames;
        std::vector<uint8_t> bytes;
    };
    void hand(Kind kind, int bits, const void* samples, size_t frames, size_t sampleSize);
    void run();

    Meter meter_;
    std::mutex mutex_;
    std::condition_variable waiting_;  // for blocks (the meter) or the end
    std::condition_variable room_;     // for room in the queue (the caller)
    std::deque<Block> blocks_;
    bool ended_ = false;
    std::thread thread_;
};

// What a meter (or an album of them) gives.
struct Measured {
    double lufs = -HUGE_VAL;                             // integrated loudness
    double peak = 0;                                     // linear, 1.0 = full scale
    bool silent() const { return !(lufs >= kSilence); }  // below -70 LUFS (or nothing measured)
};
Measured measured(const Meter&);

// The album: the gated loudness of all its tracks together
// (ebur128_loudness_global_multiple), peak = max. Meters that are missing or
// not ok count for nothing.
Measured album(std::span<const Meter* const> tracks);

// The gains a measurement asks for: to -18 LUFS in dB, and RFC 7845's Q7.8
// integer to -23 LUFS (round(256 * dB), clamped to -32768..32767).
double replayGainDb(const Measured&);
int r128Gain(const Measured&);

// A field and its value ("" = remove the field).
struct TagValue {
    std::string name, value;
    bool operator==(const TagValue&) const = default;
};

// The tag values, reference -18 LUFS (ReplayGain 2.0): gains "-7.52 dB"
// (sign always written), peaks "0.987654", "-18.00 LUFS"; the album pair
// only with an album. Opus (RFC 7845): R128_TRACK_GAIN / R128_ALBUM_GAIN as
// Q7.8 integers relative to -23 LUFS, and every REPLAYGAIN_* field removed.
// A silent track (or album) gets no gain: its gain field is removed.
std::vector<TagValue> tagValues(const Measured& track, const std::optional<Measured>& album, bool opus);

// Writes them through the AudioInformation object (IAudioInformation3
// SetFieldValues, then SetAudioInformation), replacing the values already
// there (never duplicated), and reads them back. An MPEG file's tag is
// ID3v2 ("TXXX" frames). Returns "" or the cause in words. The calling
// thread has entered an apartment (CoInitialize).
std::string writeTags(const std::string& path, const std::vector<TagValue>& values);

// Measures a whole file read through the AudioFile object as floats in its
// own channels (IAudioFile3 SetFormatArrayKind(rate, FileChannels,
// SAMPLE_FLOAT32), ReadSamples in 0.1 s blocks): nullopt and the cause in
// words on failure. The calling thread has entered an apartment.
std::optional<Meter> measureFile(const std::string& path, Options, std::string& cause);

}  // namespace qoro::client::loudness
