// Sample conversion for the deep array format: between a file's PCM form at
// any depth (8-bit unsigned, 16-, 24- and 32-bit signed integers packed
// little-endian, 32-bit IEEE floats; 1 to 8 channels in WAV order; any rate)
// and an array of 16-bit, 24-bit, 32-bit integer or 32-bit float samples of
// its own rate and channel count.
//
//   file -> array: widen to float, mix to the array's channels, resample
//                  (libsoxr, very high quality), then round to the array's
//                  kind;
//   array -> file: the same the other way, rounded to the file's depth.
//
// Where nothing but the container of the value changes (same rate and
// channels, the target at least as deep as the source: 16 -> 24 bits,
// 24 -> 32, float -> float) the samples are carried exactly, by integer
// shifts or copies, never through float: a 24-bit file read as Int24 and
// written back is bit-identical. Where a value must lose precision (an
// integer target shallower than the source, or anything mixed or
// resampled into an integer target) it is rounded half away from zero,
// after TPDF dither of one target step either way when dither is asked
// for, and clipped to the target's range; clipped() counts the clipped
// samples. Channels only moved whole (mono into left and right, a count
// grown) lose nothing up to 24 bits and get no dither. Float targets keep
// values beyond full scale. Integers become floats as value / 2^(bits-1)
// and floats integers as value x 2^(bits-1).
// Where floats are mixed or resampled, NaN and infinities become 0 (the
// filter would spread them); a float rounded to an integer turns NaN into 0.
// An Int24 array word beyond 24 bits is clipped (and counted) as it is read.
//
// Channels: equal counts are carried as they are; 3 to 8 channels to
// stereo are folded down as ITU-R BS.775 does (downmix.h), to mono through
// that stereo; stereo to mono is the mean of the two; mono to more channels
// goes into the first two (left and right); any other growth keeps each
// channel in its place and leaves the rest silent, and any other reduction
// keeps the first channels. Around the resampler the mix comes first when
// it lowers the channel count and after it when it raises it, so the filter
// runs on the fewer channels. The channel mask describes the file's channels
// when they are folded down on reading; an array folded down on writing has
// the usual layout of its count.
//
// The rate converter lags as SoxrResampler does: a block gives at most what
// arrayBytesFor / fileBytesFor announce, and the drain calls at the end of
// the stream give the rest, so N input frames give exactly
// round(N x to / from) output frames (halves rounded up).
//
//   qoro::audiofile::SampleConverter conv;
//   conv.setFormats(fileFormat, {96000, 2, SampleKind::Float32}, {});
//   std::vector<uint8_t> out(conv.arrayBytesFor(in.size()));
//   size_t produced = conv.toArray(in.data(), in.size(), out.data(), out.size());
//   conv.drainToArray(out);   // at the end of the stream
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "acm/wave_format.h"

namespace qoro::audiofile {

using acm::WAVEFORMATEX;

// The sample kinds of the deep array format. Int24 samples are 32-bit
// integers holding the 24-bit value right-justified (-8388608 ... 8388607);
// Float32 is full scale at +-1.0.
enum class SampleKind : int32_t { Int16 = 0, Int24 = 1, Int32 = 2, Float32 = 3 };

// Bytes one array sample takes: 2 for Int16, else 4.
constexpr size_t bytesPerArraySample(SampleKind k) { return k == SampleKind::Int16 ? 2 : 4; }

struct ArrayFormat {
    uint32_t rate = 44100;
    uint16_t channels = 2;  // 1 ... 8
    SampleKind kind = SampleKind::Int16;

    // The format as a record for byte counting (convertByteCount): rate,
    // channels, nBlockAlign = channels x bytesPerArraySample, byte rate;
    // tag PCM (IEEE float for Float32), wBitsPerSample 16 or 32.
    WAVEFORMATEX record() const;
};

struct ConversionOptions {
    bool dither = false;       // TPDF dither where a value loses precision
    uint32_t channelMask = 0;  // speaker bits of the file's channels (0: the usual ones)
};

class SampleConverter {
public:
    SampleConverter();
    ~SampleConverter();
    SampleConverter(const SampleConverter&) = delete;
    SampleConverter& operator=(const SampleConverter&) = delete;

    // The file format must be PCM (tag 1: 8, 16, 24 or 32 bits) or IEEE
    // float (tag 3: 32 bits) with 1 to 8 channels and a rate from 1000 to
    // 768000 Hz; the array 1 to 8 channels and a rate in that range, no more
    // than 1024 times apart from the file's. Otherwise nothing is converted
    // (false, and converts() is false). Clears the stream state and the
    // clip count.
    bool setFormats(const WAVEFORMATEX& file, const ArrayFormat& array, const ConversionOptions& options);

    // Whether setFormats accepted the formats (identical ones are copied).
    bool converts() const;
    // Whether the rates differ (and a resampler lags behind its input).
    bool lags() const;

    // Forgets the stream: the next input is the start of a new one (the
    // formats and the clip count stay).
    void reset();
    // The same, with the next input counted as frame `frame` of the stream
    // (after a seek), so that lengths still round as for the whole stream.
    void continueAt(uint64_t frame);

    // Exact number of bytes the next toArray / toFile produces for that many
    // input bytes (a trailing partial frame is ignored), when the rates are
    // equal; with a resampler at most that many (the rest comes later, or
    // from the drain).
    size_t arrayBytesFor(size_t fileBytes) const;
    size_t fileBytesFor(size_t arrayBytes) const;

    // Converts whole frames of `src` and writes the result to `dst` (room for
    // `capacity` bytes, at least what arrayBytesFor / fileBytesFor gave).
    // Returns the bytes written (0 when capacity is short).
    size_t toArray(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity);
    size_t toFile(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity);
    // End of the stream: appends what the resampler still owes; returns the
    // bytes appended (0 without a resampler).
    size_t drainToArray(std::vector<uint8_t>& out);
    size_t drainToFile(std::vector<uint8_t>& out);

    // Samples clipped since setFormats, in either direction.
    uint64_t clipped() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace qoro::audiofile
