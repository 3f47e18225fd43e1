// Streaming rate conversion of interleaved samples through libsoxr at very
// high quality: 16-bit integers (SoxrResampler, for rates the block
// converter of pcm_converter.h is not made for: anything outside 6000 ...
// 48000 Hz) and 32-bit floats (SoxrFloatResampler, for sample_converter.h).
//
// The filter's delay neither costs nor adds samples: the output is aligned
// with the input (no leading silence), lags behind it while the stream runs,
// and drain() at the end of the stream gives the rest, so that N input frames
// give exactly round(N x to / from) output frames (halves rounded up), however
// the stream was cut into blocks.
//
//   qoro::audiofile::SoxrResampler r;
//   if (!r.setup(96000, 44100, 2)) ...            // the library refused the rates
//   std::vector<int16_t> out;
//   r.process(block.data(), block.size() / 2, out); // appends what is ready
//   r.drain(out);                                   // end of stream: the rest
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct soxr;

namespace qoro::audiofile {

// Sample is int16_t (16 bits in and out, rounded without dither) or float
// (full scale at +-1.0, values beyond it kept).
template <typename Sample>
class BasicSoxrResampler {
public:
    BasicSoxrResampler() = default;
    ~BasicSoxrResampler();
    BasicSoxrResampler(const BasicSoxrResampler&) = delete;
    BasicSoxrResampler& operator=(const BasicSoxrResampler&) = delete;

    // Rates further apart than this take the library minutes per second of
    // sound, or never finish: they are refused.
    static constexpr uint32_t kMaxRatio = 1024;

    // A resampler from `from` to `to` Hz for `channels` interleaved channels;
    // false (and no resampler) for rates more than kMaxRatio apart or when
    // the library cannot make one.
    bool setup(uint32_t from, uint32_t to, int channels);
    bool ready() const { return handle_ != nullptr; }
    bool matches(uint32_t from, uint32_t to, int channels) const {
        return handle_ && from == from_ && to == to_ && channels == channels_;
    }
    // Forgets the stream (the resampler stays set up): the next input is the
    // start of a new one, as if `frame` input frames had gone before it.
    void restartAt(uint64_t frame = 0);

    // Resamples `frames` frames and appends the output frames that are ready
    // to `out`; returns their number (never more than the stream so far
    // rounds to).
    size_t process(const Sample* in, size_t frames, std::vector<Sample>& out);
    // Ends the stream: appends the frames still owed to it, so that the
    // stream's output is round(input x to / from) frames; returns their number.
    size_t drain(std::vector<Sample>& out);
    // Frames drain() would give now.
    uint64_t owed() const;

    uint64_t framesIn() const { return in_; }
    uint64_t framesOut() const { return out_; }

private:
    // Runs the library over `frames` input frames (nullptr: flush) and
    // appends at most `limit` output frames to out (surplus is held back).
    size_t run(const Sample* in, size_t frames, std::vector<Sample>& out, uint64_t limit);
    void release();

    soxr* handle_ = nullptr;
    uint32_t from_ = 0, to_ = 0;
    int channels_ = 0;
    uint64_t in_ = 0;           // input frames of the stream (counted from restartAt)
    uint64_t out_ = 0;          // output frames handed out
    std::vector<Sample> held_;  // the library's output beyond the limit, not yet handed out
};

using SoxrResampler = BasicSoxrResampler<int16_t>;
using SoxrFloatResampler = BasicSoxrResampler<float>;

extern template class BasicSoxrResampler<int16_t>;
extern template class BasicSoxrResampler<float>;

}  // namespace qoro::audiofile
