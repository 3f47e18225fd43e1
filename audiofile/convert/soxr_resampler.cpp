#include "convert/soxr_resampler.h"

#include <soxr.h>

#include <algorithm>

#include "convert/pcm_converter.h"

namespace qoro::audiofile {

namespace {

template <typename Sample>
constexpr soxr_datatype_t kSoxrType = SOXR_INT16_I;
template <>
constexpr soxr_datatype_t kSoxrType<float> = SOXR_FLOAT32_I;

}  // namespace

template <typename Sample>
BasicSoxrResampler<Sample>::~BasicSoxrResampler() {
    release();
}

template <typename Sample>
void BasicSoxrResampler<Sample>::release() {
    if (handle_) soxr_delete(handle_);
    handle_ = nullptr;
}

template <typename Sample>
bool BasicSoxrResampler<Sample>::setup(uint32_t from, uint32_t to, int channels) {
    release();
    from_ = to_ = 0;
    channels_ = 0;
    if (from == 0 || to == 0 || channels < 1 || std::max(from, to) / std::min(from, to) > kMaxRatio) return false;
    // The same type in and out; 16-bit output is rounded, not dithered, so
    // the same input always gives the same samples.
    soxr_io_spec_t io = soxr_io_spec(kSoxrType<Sample>, kSoxrType<Sample>);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    handle_ = soxr_create(from, to, static_cast<unsigned>(channels), &error, &io, &quality, &runtime);
    if (error || !handle_) {
        release();
        return false;
    }
    from_ = from;
    to_ = to;
    channels_ = channels;
    restartAt(0);
    return true;
}

template <typename Sample>
void BasicSoxrResampler<Sample>::restartAt(uint64_t frame) {
    if (handle_) soxr_clear(handle_);
    in_ = frame;
    out_ = PcmConverter::outFrames(frame, from_, to_);
    held_.clear();
}

template <typename Sample>
uint64_t BasicSoxrResampler<Sample>::owed() const {
    if (!handle_) return 0;
    const uint64_t total = PcmConverter::outFrames(in_, from_, to_);
    return total > out_ ? total - out_ : 0;
}

template <typename Sample>
size_t BasicSoxrResampler<Sample>::run(const Sample* in, size_t frames, std::vector<Sample>& out, uint64_t limit) {
    const auto ch = static_cast<size_t>(channels_);
    const size_t start = out.size();
    // What an earlier call held back comes first; the library writes straight
    // after it, into the caller's vector.
    out.insert(out.end(), held_.begin(), held_.end());
    held_.clear();
    size_t used = 0;
    for (;;) {
        // Room for what this input gives, and some for what the filter held.
        const size_t left = frames - used;
        const size_t room = static_cast<size_t>(static_cast<double>(left) * to_ / from_) + 1024;
        const size_t old = out.size();
        out.resize(old + room * ch);
        size_t idone = 0, odone = 0;
        const soxr_error_t error =
            soxr_process(handle_, in ? in + used * ch : nullptr, left, &idone, out.data() + old, room, &odone);
        out.resize(old + odone * ch);
        used += idone;
        if (error) break;
        if (in ? used >= frames && odone < room : odone == 0) break;
        if (in && idone == 0 && odone == 0) break;
    }
    // Hand out what is ready, up to the limit; any surplus waits.
    const size_t ready = (out.size() - start) / ch;
    const size_t give = static_cast<size_t>(std::min<uint64_t>(ready, limit));
    const auto cut = out.begin() + static_cast<std::ptrdiff_t>(start + give * ch);
    held_.assign(cut, out.end());
    out.erase(cut, out.end());
    out_ += give;
    return give;
}

template <typename Sample>
size_t BasicSoxrResampler<Sample>::process(const Sample* in, size_t frames, std::vector<Sample>& out) {
    if (!handle_ || frames == 0) return 0;
    in_ += frames;
    return run(in, frames, out, owed());
}

template <typename Sample>
size_t BasicSoxrResampler<Sample>::drain(std::vector<Sample>& out) {
    if (!handle_) return 0;
    const uint64_t owe = owed();
    size_t given = run(nullptr, 0, out, owe);
    // The library's own count may fall short of the rounded one by a frame:
    // the stream still ends on the length its input promises.
    if (given < owe) {
        const size_t pad = static_cast<size_t>(owe - given) * static_cast<size_t>(channels_);
        out.insert(out.end(), pad, Sample{0});
        out_ += owe - given;
        given = static_cast<size_t>(owe);
    }
    held_.clear();
    soxr_clear(handle_);
    return given;
}

template class BasicSoxrResampler<int16_t>;
template class BasicSoxrResampler<float>;

}  // namespace qoro::audiofile
