// Sample conversion between the PCM form of a file (8 or 16 bits, mono or
// stereo, its own rate) and the 16-bit array format callers exchange.
//
//   file -> array: widen 8-bit samples, resample with the file's channel
//                  count, then mix to the array's channel count;
//   array -> file: resample with the array's channel count, mix to the
//                  file's channel count, then narrow to 8 bits if needed.
//
// The rate converter works block by block and channel by channel: a high-shelf
// biquad (-40 dB above half the lower rate) runs at the higher rate, before the
// interpolation when the rate goes down and after it when it goes up; output
// samples are straight-line interpolated; the last few hundred samples of each
// block are blended into a backwards interpolation so that every block ends
// exactly on its last input sample. The filter state and the last input sample
// are carried from block to block, per channel.
//
// When the rates differ and either lies outside 6000 ... 48000 Hz, or the
// caller asks for quality whatever the rates, the converter goes through
// libsoxr instead (soxr_resampler.h, made on first use
// for the direction used). Its output lags behind its input by the filter's
// delay (lags()): a block gives at most what arrayBytesFor / fileBytesFor
// announce, and the drain calls at the end of the stream give the rest.
//
//   qoro::audiofile::PcmConverter conv;
//   conv.setFormats(fileFormat, arrayFormat);          // e.g. 8-bit 22050 mono, 16-bit 44100 stereo
//   std::vector<uint8_t> out(conv.arrayBytesFor(in.size()));
//   size_t produced = conv.toArray(in.data(), in.size(), out.data(), out.size());
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "acm/wave_format.h"
#include "convert/soxr_resampler.h"

namespace qoro::audiofile {

using acm::WAVEFORMATEX;

// Byte count in format `to` that corresponds to `count` bytes in format `from`,
// counted in whole sample frames: the frames of `count` (a partial frame
// dropped), at a different rate round(frames x to.rate / from.rate) with
// halves rounded up (the rate converter's own count for a stream of that
// length), times the size of a `to` frame. A format without a frame size or
// rate gives 0.
uint64_t convertByteCount(uint64_t count, const WAVEFORMATEX& from, const WAVEFORMATEX& to);

// One biquad section, direct form I, with its state.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

    // High shelf of the Audio EQ Cookbook: corner f0 (Hz) at sampling rate fs,
    // shelf gain in dB, shelf slope S.
    static Biquad highShelf(double fs, double f0, double gainDb, double slope);

    double step(double x) {
        // The y1 term last: it is the only one waiting for the previous output.
        double y = (b0 * x + b1 * x1 + b2 * x2 - a2 * y2) - a1 * y1;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    void clearState() { x1 = x2 = y1 = y2 = 0.0; }
};

class PcmConverter {
public:
    // Both formats must be PCM with 8 or 16 bits, 1 or 2 channels and a rate
    // from 1 Hz to 1 MHz; otherwise nothing is converted (false). Setting the
    // formats designs the rate filters when the rates differ and clears the
    // carried state of both channels.
    // `quality`: every rate change goes through libsoxr (see lags()), not
    // only those the block converter is not made for.
    bool setFormats(const WAVEFORMATEX& file, const WAVEFORMATEX& array, bool quality = false);

    // Clears filter state and carried samples (the filters stay designed),
    // and counts the stream from its start again.
    void reset();

    // Reading goes on from file frame `frame` (after a seek): array frames
    // are counted as if every file frame before it had passed through here.
    void continueReadingAt(uint64_t frame);

    bool valid() const { return valid_; }
    // True when the two formats differ, so data has to pass through here.
    bool converts() const { return valid_ && !same_; }
    bool resamples() const { return valid_ && fileRate_ != arrayRate_; }
    // True when the rates go through libsoxr: output lags behind input, and
    // the end of a stream has to be drained.
    bool lags() const { return resamples() && highQuality_; }
    // Whether a rate change between these rates goes through libsoxr: either
    // rate outside the table of 6000 ... 48000 Hz the block converter is made
    // for (any two rates when `quality` is asked for), and the two no more
    // than 1024 times apart.
    static bool needsHighQuality(uint32_t from, uint32_t to, bool quality = false);

    // Exact number of bytes the next toArray / toFile produces for that many
    // input bytes (trailing bytes short of a whole frame are ignored). Across
    // a rate change each block yields what the stream so far rounds to, so a
    // stream gives the same number of frames however it is cut into blocks.
    // When the converter lags() this is the most the block can give.
    size_t arrayBytesFor(size_t fileBytes) const;
    size_t fileBytesFor(size_t arrayBytes) const;

    // Converts one block. `capacity` must hold arrayBytesFor(bytes) /
    // fileBytesFor(bytes); if it does not, nothing is converted and 0 is
    // returned. Returns the bytes written to dst. Source and destination must
    // not overlap.
    size_t toArray(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity);
    size_t toFile(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity);

    // End of the stream: appends what a lagging converter still owes it (the
    // stream then has exactly the frames it announced) to `out`; returns the
    // bytes appended (0 when nothing lags).
    size_t drainToArray(std::vector<uint8_t>& out);
    size_t drainToFile(std::vector<uint8_t>& out);

    // Frames at rate `to` for `frames` at rate `from`: round(frames x to /
    // from), halves rounded up (the one rounding rule of every count here).
    static uint64_t outFrames(uint64_t frames, uint32_t from, uint32_t to);

    // The last input sample carried for channel c (for tests and seeking).
    int carried(int channel) const { return last_[channel & 1]; }

private:
    // Resamples `frames` interleaved frames of `channels` channels from
    // rate `from` to rate `to` into out_ (returns the output frame count).
    size_t resample(const int16_t* in, size_t frames, int channels, uint32_t from, uint32_t to);
    template <int C>
    void resampleBlock(const int16_t* in, size_t frames, int16_t* out, size_t n, uint32_t from, uint32_t to);
    template <int C>
    void filterBlock(const int16_t* in, size_t frames, int16_t* out);

    // Output frames of the next `frames` input frames of the stream.
    size_t nextOutFrames(size_t frames, uint32_t from, uint32_t to) const;
    // Brings the frames the resampler still owes through mixing and width
    // conversion into out (appended).
    size_t drain(std::vector<uint8_t>& out, int inChannels, int outChannels, int outBits);

    bool valid_ = false;
    bool same_ = true;
    uint32_t fileRate_ = 0, arrayRate_ = 0;
    int fileChannels_ = 0, arrayChannels_ = 0;
    int fileBits_ = 16;
    bool highQuality_ = false;
    SoxrResampler soxr_;  // set up for the direction first used

    std::array<Biquad, 2> filter_{};
    std::array<int32_t, 2> last_{};
    uint64_t framesIn_ = 0;   // input frames of the stream so far
    uint64_t framesOut_ = 0;  // output frames they gave (outFrames of framesIn_)

    // Scratch storage, grown on demand and reused from block to block.
    std::vector<int16_t> work_;
    std::vector<int16_t> filtered_;
    std::vector<int16_t> out_;
    std::vector<int16_t> scratch_;
};

}  // namespace qoro::audiofile
