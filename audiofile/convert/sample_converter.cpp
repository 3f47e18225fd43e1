#include "convert/sample_converter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "convert/deep_samples.h"
#include "convert/downmix.h"
#include "convert/pcm_converter.h"
#include "convert/soxr_resampler.h"

namespace qoro::audiofile {

// Files and arrays alike hold little-endian samples: on such a host a float
// is carried by copying its bytes.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 768000;
constexpr int kMaxChannels = 8;
// Frames the float path converts at a time on either side of the resampler:
// its buffers stay small enough for the cache, however long the block.
constexpr size_t kChunkFrames = 4096;
// A position no stream reaches (186 years at 768 kHz): every count stays
// far from overflowing, whatever a caller passes to continueAt.
constexpr uint64_t kMaxStreamFrame = uint64_t{1} << 52;

// ---------------------------------------------------------------------------
// Sample layouts

// The file's layouts (U8, S16, S24 packed in three bytes, S32, F32) and the
// array's (S16, S24In32: 24 bits in a 32-bit word, S32, F32).
enum class Form : uint8_t { U8, S16, S24, S24In32, S32, F32 };

constexpr size_t bytesOf(Form f) {
    switch (f) {
    case Form::U8: return 1;
    case Form::S16: return 2;
    case Form::S24: return 3;
    default: return 4;
    }
}

// Bits of the value (for F32 those of the word).
constexpr int bitsOf(Form f) {
    switch (f) {
    case Form::U8: return 8;
    case Form::S16: return 16;
    case Form::S24:
    case Form::S24In32: return 24;
    default: return 32;
    }
}

constexpr int32_t lowestOf(Form f) { return static_cast<int32_t>(-(int64_t{1} << (bitsOf(f) - 1))); }
constexpr int32_t highestOf(Form f) { return static_cast<int32_t>((int64_t{1} << (bitsOf(f) - 1)) - 1); }

std::optional<Form> fileForm(const WAVEFORMATEX& f) {
    if (f.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT)
        return f.wBitsPerSample == 32 ? std::optional(Form::F32) : std::nullopt;
    if (f.wFormatTag != acm::WAVE_FORMAT_PCM) return std::nullopt;
    switch (f.wBitsPerSample) {
    case 8: return Form::U8;
    case 16: return Form::S16;
    case 24: return Form::S24;
    case 32: return Form::S32;
    default: return std::nullopt;
    }
}

std::optional<Form> arrayForm(SampleKind k) {
    switch (k) {
    case SampleKind::Int16: return Form::S16;
    case SampleKind::Int24: return Form::S24In32;
    case SampleKind::Int32: return Form::S32;
    case SampleKind::Float32: return Form::F32;
    }
    return std::nullopt;  // a value outside the enumeration
}

// An integer sample, signed (8-bit samples are stored 128 above their value).
// An Int24 array word beyond 24 bits is held to the 24-bit range.
template <Form F>
int32_t loadInt(const uint8_t* p) {
    if constexpr (F == Form::U8) {
        return int32_t{p[0]} - 128;
    } else if constexpr (F == Form::S16) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else if constexpr (F == Form::S24) {
        // The three bytes at the top of a word, shifted down with their sign.
        return static_cast<int32_t>(uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24) >> 8;
    } else {
        int32_t v;
        std::memcpy(&v, p, 4);
        if constexpr (F == Form::S24In32) v = std::clamp(v, lowestOf(F), highestOf(F));
        return v;
    }
}

template <Form F>
void storeInt(uint8_t* p, int32_t v) {
    if constexpr (F == Form::U8) {
        p[0] = static_cast<uint8_t>(v + 128);
    } else if constexpr (F == Form::S16) {
        const auto s = static_cast<int16_t>(v);
        std::memcpy(p, &s, 2);
    } else if constexpr (F == Form::S24) {
        const auto u = static_cast<uint32_t>(v);
        p[0] = static_cast<uint8_t>(u);
        p[1] = static_cast<uint8_t>(u >> 8);
        p[2] = static_cast<uint8_t>(u >> 16);
    } else {
        std::memcpy(p, &v, 4);
    }
}

// Int24 array words beyond 24 bits: they are clipped as they are read.
uint64_t outside24(const uint8_t* in, size_t count) {
    uint64_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t v;
        std::memcpy(&v, in + 4 * i, 4);
        n += v < lowestOf(Form::S24In32) || v > highestOf(Form::S24In32);
    }
    return n;
}

// ---------------------------------------------------------------------------
// Rounding

int32_t clipped(int64_t v, int32_t lo, int32_t hi, uint64_t& clips) {
    if (v > hi) {
        ++clips;
        return hi;
    }
    if (v < lo) {
        ++clips;
        return lo;
    }
    return static_cast<int32_t>(v);
}

// A value in target steps, rounded half away from zero and clipped to
// lo ... hi; NaN becomes 0. Values that round beyond the range are held
// before they are converted to an integer, which could overflow.
int32_t quantised(double v, int32_t lo, int32_t hi, uint64_t& clips) {
    if (v != v) return 0;
    if (v >= hi + 0.5) {
        ++clips;
        return hi;
    }
    if (v <= lo - 0.5) {
        ++clips;
        return lo;
    }
    const auto t = static_cast<int64_t>(v);          // toward zero
    const double rest = v - static_cast<double>(t);  // exact
    return static_cast<int32_t>(t + (rest >= 0.5) - (rest <= -0.5));
}

// ---------------------------------------------------------------------------
// Conversions, one tight loop for each pair of layouts

// Integer samples to another integer depth: shifted up exactly, or down by
// rounding half away from zero (after the dither, with one) and clipping.
// Returns the samples clipped.
template <Form S, Form D>
uint64_t convertInts(const uint8_t* in, size_t count, uint8_t* out, TpdfDither* dither) {
    constexpr int shift = bitsOf(D) - bitsOf(S);
    constexpr size_t sb = bytesOf(S), db = bytesOf(D);
    if constexpr (S == D && S != Form::S24In32) {
        std::memcpy(out, in, count * sb);
        return 0;
    } else if constexpr (shift >= 0) {
        constexpr int32_t factor = int32_t{1} << shift;  // a product, so negative values shift too
        for (size_t i = 0; i < count; ++i) storeInt<D>(out + i * db, loadInt<S>(in + i * sb) * factor);
        return 0;
    } else {
        constexpr int drop = -shift;
        constexpr int32_t lo = lowestOf(D), hi = highestOf(D);
        uint64_t clips = 0;
        if (dither) {
            constexpr double step = 1.0 / static_cast<double>(int64_t{1} << drop);
            for (size_t i = 0; i < count; ++i)
                storeInt<D>(out + i * db, quantised(loadInt<S>(in + i * sb) * step + dither->next(), lo, hi, clips));
        } else {
            constexpr int64_t half = int64_t{1} << (drop - 1);
            for (size_t i = 0; i < count; ++i) {
                const int64_t v = loadInt<S>(in + i * sb);
                const int64_t r = v >= 0 ? (v + half) >> drop : -((-v + half) >> drop);
                storeInt<D>(out + i * db, clipped(r, lo, hi, clips));
            }
        }
        return clips;
    }
}

// Samples as floats, full scale at +-1.0: integers divided by 2^(bits-1),
// exactly up to 24 bits. `finite`: NaN and infinities become 0, where they
// would spread through a mix or the resampler's filter.
template <Form S>
void decode(const uint8_t* in, size_t count, float* out, bool finite) {
    if constexpr (S == Form::F32) {
        std::memcpy(out, in, count * sizeof(float));
        if (finite)
            for (size_t i = 0; i < count; ++i) out[i] = std::isfinite(out[i]) ? out[i] : 0.0f;
    } else {
        constexpr float scale = 1.0f / static_cast<float>(int64_t{1} << (bitsOf(S) - 1));
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(loadInt<S>(in + i * bytesOf(S))) * scale;
    }
}

// Floats in the target layout: copied, or times 2^(bits-1), rounded and
// clipped (after the dither, with one). Returns the samples clipped.
template <Form D>
uint64_t encode(const float* in, size_t count, uint8_t* out, TpdfDither* dither) {
    if constexpr (D == Form::F32) {
        std::memcpy(out, in, count * sizeof(float));
        return 0;
    } else {
        constexpr double scale = static_cast<double>(int64_t{1} << (bitsOf(D) - 1));
        constexpr int32_t lo = lowestOf(D), hi = highestOf(D);
        constexpr size_t db = bytesOf(D);
        uint64_t clips = 0;
        if (dither) {
            for (size_t i = 0; i < count; ++i)
                storeInt<D>(out + i * db, quantised(in[i] * scale + dither->next(), lo, hi, clips));
        } else {
            for (size_t i = 0; i < count; ++i) storeInt<D>(out + i * db, quantised(in[i] * scale, lo, hi, clips));
        }
        return clips;
    }
}

using IntsFn = uint64_t (*)(const uint8_t*, size_t, uint8_t*, TpdfDither*);
using DecodeFn = void (*)(const uint8_t*, size_t, float*, bool);
using EncodeFn = uint64_t (*)(const float*, size_t, uint8_t*, TpdfDither*);

template <Form S>
IntsFn intsFrom(Form d) {
    switch (d) {
    case Form::U8: return &convertInts<S, Form::U8>;
    case Form::S16: return &convertInts<S, Form::S16>;
    case Form::S24: return &convertInts<S, Form::S24>;
    case Form::S24In32: return &convertInts<S, Form::S24In32>;
    case Form::S32: return &convertInts<S, Form::S32>;
    case Form::F32: return nullptr;
    }
    return nullptr;
}

// The integer loop between two integer layouts; nullptr when either is float.
IntsFn intsBetween(Form s, Form d) {
    switch (s) {
    case Form::U8: return intsFrom<Form::U8>(d);
    case Form::S16: return intsFrom<Form::S16>(d);
    case Form::S24: return intsFrom<Form::S24>(d);
    case Form::S24In32: return intsFrom<Form::S24In32>(d);
    case Form::S32: return intsFrom<Form::S32>(d);
    case Form::F32: return nullptr;
    }
    return nullptr;
}

DecodeFn decoderOf(Form f) {
    switch (f) {
    case Form::U8: return &decode<Form::U8>;
    case Form::S16: return &decode<Form::S16>;
    case Form::S24: return &decode<Form::S24>;
    case Form::S24In32: return &decode<Form::S24In32>;
    case Form::S32: return &decode<Form::S32>;
    case Form::F32: return &decode<Form::F32>;
    }
    return nullptr;
}

EncodeFn encoderOf(Form f) {
    switch (f) {
    case Form::U8: return &encode<Form::U8>;
    case Form::S16: return &encode<Form::S16>;
    case Form::S24: return &encode<Form::S24>;
    case Form::S24In32: return &encode<Form::S24In32>;
    case Form::S32: return &encode<Form::S32>;
    case Form::F32: return &encode<Form::F32>;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Channel mixing

// Output channel o is the sum over input channels c of gain[o][c] x input c.
struct ChannelMix {
    int in = 1, out = 1;
    bool identity = true;
    // Every output is one input at unit gain, or silence: values pass exactly.
    bool placement = true;
    std::array<std::array<float, kMaxChannels>, kMaxChannels> gain{};
};

ChannelMix identityMix(int channels) {
    ChannelMix m;
    m.in = m.out = channels;
    for (int c = 0; c < channels; ++c) m.gain[c][c] = 1.0f;
    return m;
}

// The mapping of the header: fold-down to stereo (and through it to mono)
// for 3 to 8 channels, the mean for stereo to mono, mono into left and
// right, and otherwise each channel in its place.
ChannelMix channelMix(int in, int out, uint32_t mask) {
    if (in == out) return identityMix(in);
    ChannelMix m;
    m.in = in;
    m.out = out;
    m.identity = false;
    m.placement = false;
    if (in >= 3 && out <= 2) {
        const StereoDownmix fold(in, mask);
        for (int c = 0; c < in; ++c) {
            if (out == 2) {
                m.gain[0][c] = fold.gain(0, c);
                m.gain[1][c] = fold.gain(1, c);
            } else {
                m.gain[0][c] = 0.5f * (fold.gain(0, c) + fold.gain(1, c));
            }
        }
    } else if (in == 2 && out == 1) {
        m.gain[0][0] = m.gain[0][1] = 0.5f;
    } else if (in == 1) {
        m.gain[0][0] = m.gain[1][0] = 1.0f;
        m.placement = true;
    } else {
        // More channels keep each in its place, the new ones silent; fewer
        // (other than one or two) keep the first ones.
        for (int c = 0; c < std::min(in, out); ++c) m.gain[c][c] = 1.0f;
        m.placement = true;
    }
    return m;
}

template <int In>
void mixFrames(const ChannelMix& m, const float* in, size_t frames, float* out) {
    const int outCh = m.out;
    for (size_t f = 0; f < frames; ++f, in += In, out += outCh)
        for (int o = 0; o < outCh; ++o) {
            float sum = 0.0f;
            for (int c = 0; c < In; ++c) sum += m.gain[o][c] * in[c];
            out[o] = sum;
        }
}

void mix(const ChannelMix& m, const float* in, size_t frames, float* out) {
    switch (m.in) {
    case 1: return mixFrames<1>(m, in, frames, out);
    case 2: return mixFrames<2>(m, in, frames, out);
    case 3: return mixFrames<3>(m, in, frames, out);
    case 4: return mixFrames<4>(m, in, frames, out);
    case 5: return mixFrames<5>(m, in, frames, out);
    case 6: return mixFrames<6>(m, in, frames, out);
    case 7: return mixFrames<7>(m, in, frames, out);
    default: return mixFrames<8>(m, in, frames, out);
    }
}

template <typename T>
T* grown(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// One side of a conversion.
struct End {
    Form form;
    int channels;
    uint32_t rate;
};

// Whether every value reaches the target unchanged, so that dither would
// only add noise: integers widened exactly (by shifts, or through a float,
// which holds 24 bits), at the same rate, each channel moved whole.
bool passesWhole(const End& from, const End& to, const ChannelMix& mix, bool byShifts) {
    const bool ints = from.form != Form::F32 && to.form != Form::F32;
    return ints && bitsOf(to.form) >= bitsOf(from.form) && from.rate == to.rate && mix.placement &&
           (byShifts || bitsOf(from.form) <= 24);
}

// ---------------------------------------------------------------------------
// One direction of conversion (file to array, or array to file), with its
// stream counts, its resampler and its scratch buffers.

class SampleRoute {
public:
    void configure(const End& from, const End& to, uint32_t mask, bool dither);
    void restartAt(uint64_t frame);
    size_t outBytesFor(size_t inBytes) const;
    size_t convert(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity, uint64_t& clips);
    size_t drain(std::vector<uint8_t>& out, uint64_t& clips);

private:
    size_t convertFloats(const uint8_t* src, size_t frames, uint8_t* dst, size_t capacity, uint64_t& clips);
    // Mixes frames of the resampler's channels to the target's and encodes
    // them into dst (no more than `room` bytes); returns the bytes written.
    size_t emit(const float* in, size_t frames, uint8_t* dst, size_t room, uint64_t& clips);
    bool resamplerReady();
    size_t chunkFrames() const;
    TpdfDither* dither() { return dithers_ ? &dither_ : nullptr; }

    End from_{}, to_{};
    size_t inFrameBytes_ = 0, outFrameBytes_ = 0;
    bool resamples_ = false;
    IntsFn ints_ = nullptr;  // same rate and channels, integers both sides
    DecodeFn decode_ = nullptr;
    EncodeFn encode_ = nullptr;
    bool finiteOnly_ = false;
    bool dithers_ = false;
    bool checks24_ = false;  // Int24 words may be out of range
    // Around the resampler the mix comes first when it lowers the channel
    // count and after it when it raises it, so the filter runs on the fewer.
    ChannelMix before_, after_;
    int filterChannels_ = 1;
    std::unique_ptr<SoxrFloatResampler> resampler_;  // made on first use
    TpdfDither dither_;

    uint64_t framesIn_ = 0;   // input frames of the stream so far
    uint64_t framesOut_ = 0;  // output frames handed out

    std::vector<float> decoded_, mixed_, resampled_, remixed_;
};

void SampleRoute::configure(const End& from, const End& to, uint32_t mask, bool dither) {
    from_ = from;
    to_ = to;
    inFrameBytes_ = bytesOf(from.form) * static_cast<size_t>(from.channels);
    outFrameBytes_ = bytesOf(to.form) * static_cast<size_t>(to.channels);
    resamples_ = from.rate != to.rate;
    const ChannelMix all = channelMix(from.channels, to.channels, mask);
    ints_ = !resamples_ && all.identity ? intsBetween(from.form, to.form) : nullptr;
    decode_ = decoderOf(from.form);
    encode_ = encoderOf(to.form);
    finiteOnly_ = resamples_ || !all.identity;
    checks24_ = from.form == Form::S24In32;

    const bool mixAfter = resamples_ && to.channels > from.channels;
    before_ = mixAfter ? identityMix(from.channels) : all;
    after_ = mixAfter ? all : identityMix(to.channels);
    filterChannels_ = mixAfter ? from.channels : to.channels;

    dithers_ = dither && to.form != Form::F32 && !passesWhole(from, to, all, ints_ != nullptr);

    if (!resamples_ || (resampler_ && !resampler_->matches(from.rate, to.rate, filterChannels_))) resampler_.reset();
    restartAt(0);
}

void SampleRoute::restartAt(uint64_t frame) {
    frame = std::min(frame, kMaxStreamFrame);
    framesIn_ = frame;
    framesOut_ = PcmConverter::outFrames(frame, from_.rate, to_.rate);
    if (resampler_ && resampler_->ready()) resampler_->restartAt(frame);
    dither_ = TpdfDither{};  // the same stream always gives the same samples
}

size_t SampleRoute::outBytesFor(size_t inBytes) const {
    if (inFrameBytes_ == 0) return 0;
    const uint64_t frames = inBytes / inFrameBytes_;
    if (frames > kMaxStreamFrame) return SIZE_MAX;  // no buffer holds that much
    const uint64_t out = PcmConverter::outFrames(framesIn_ + frames, from_.rate, to_.rate) - framesOut_;
    return out > SIZE_MAX / outFrameBytes_ ? SIZE_MAX : static_cast<size_t>(out) * outFrameBytes_;
}

size_t SampleRoute::chunkFrames() const {
    // Input frames whose output fills about one chunk.
    const uint64_t frames = uint64_t{kChunkFrames} * from_.rate / to_.rate;
    return static_cast<size_t>(std::clamp<uint64_t>(frames, 1, kChunkFrames));
}

bool SampleRoute::resamplerReady() {
    if (!resampler_) resampler_ = std::make_unique<SoxrFloatResampler>();
    if (resampler_->matches(from_.rate, to_.rate, filterChannels_)) return true;
    if (!resampler_->setup(from_.rate, to_.rate, filterChannels_)) return false;
    resampler_->restartAt(framesIn_);
    return true;
}

size_t SampleRoute::convert(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity, uint64_t& clips) {
    if (!src || !dst || inFrameBytes_ == 0) return 0;
    const size_t frames = bytes / inFrameBytes_;
    const size_t need = outBytesFor(bytes);
    if (frames == 0 || need > capacity) return 0;
    if (resamples_ && !resamplerReady()) return 0;
    const size_t samples = frames * static_cast<size_t>(from_.channels);
    if (checks24_) clips += outside24(src, samples);

    size_t written = 0;
    if (ints_) {
        clips += ints_(src, samples, dst, dither());
        written = need;
    } else {
        written = convertFloats(src, frames, dst, capacity, clips);
    }
    framesIn_ += frames;
    framesOut_ += written / outFrameBytes_;
    return written;
}

size_t SampleRoute::convertFloats(const uint8_t* src, size_t frames, uint8_t* dst, size_t capacity, uint64_t& clips) {
    const auto inCh = static_cast<size_t>(from_.channels);
    const size_t step = chunkFrames();
    size_t written = 0;
    for (size_t at = 0; at < frames; at += step) {
        const size_t n = std::min(step, frames - at);
        float* decoded = grown(decoded_, n * inCh);
        decode_(src + at * inFrameBytes_, n * inCh, decoded, finiteOnly_);
        const float* cur = decoded;
        if (!before_.identity) {
            float* mixed = grown(mixed_, n * static_cast<size_t>(before_.out));
            mix(before_, cur, n, mixed);
            cur = mixed;
        }
        size_t ready = n;
        if (resamples_) {
            resampled_.clear();
            ready = resampler_->process(cur, n, resampled_);
            cur = resampled_.data();
        }
        written += emit(cur, ready, dst + written, capacity - written, clips);
    }
    return written;
}

size_t SampleRoute::emit(const float* in, size_t frames, uint8_t* dst, size_t room, uint64_t& clips) {
    // The counts keep every block within the room announced; this only
    // guards the caller's buffer.
    frames = std::min(frames, room / outFrameBytes_);
    const auto midCh = static_cast<size_t>(filterChannels_);
    const auto outCh = static_cast<size_t>(to_.channels);
    for (size_t at = 0; at < frames; at += kChunkFrames) {
        const size_t n = std::min(kChunkFrames, frames - at);
        const float* cur = in + at * midCh;
        if (!after_.identity) {
            float* mixed = grown(remixed_, n * outCh);
            mix(after_, cur, n, mixed);
            cur = mixed;
        }
        clips += encode_(cur, n * outCh, dst + at * outFrameBytes_, dither());
    }
    return frames * outFrameBytes_;
}

size_t SampleRoute::drain(std::vector<uint8_t>& out, uint64_t& clips) {
    if (!resamples_ || !resampler_ || !resampler_->ready()) return 0;
    resampled_.clear();
    const size_t frames = resampler_->drain(resampled_);
    const size_t old = out.size();
    out.resize(old + frames * outFrameBytes_);
    const size_t bytes = emit(resampled_.data(), frames, out.data() + old, frames * outFrameBytes_, clips);
    framesOut_ += frames;
    return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------

struct SampleConverter::State {
    bool valid = false;
    bool lags = false;
    SampleRoute reading;  // file -> array
    SampleRoute writing;  // array -> file
    uint64_t clips = 0;
};

WAVEFORMATEX ArrayFormat::record() const {
    WAVEFORMATEX w{};
    w.wFormatTag = kind == SampleKind::Float32 ? acm::WAVE_FORMAT_IEEE_FLOAT : acm::WAVE_FORMAT_PCM;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * bytesPerArraySample(kind));
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = kind == SampleKind::Int16 ? 16 : 32;
    return w;
}

SampleConverter::SampleConverter() : s_(std::make_unique<State>()) {}
SampleConverter::~SampleConverter() = default;

bool SampleConverter::setFormats(const WAVEFORMATEX& file, const ArrayFormat& array, const ConversionOptions& options) {
    State& s = *s_;
    s.valid = s.lags = false;
    s.clips = 0;
    auto usable = [](int channels, uint32_t rate) {
        return channels >= 1 && channels <= kMaxChannels && rate >= kMinRate && rate <= kMaxRate;
    };
    const auto fileSide = fileForm(file);
    const auto arraySide = arrayForm(array.kind);
    if (!fileSide || !arraySide || !usable(file.nChannels, file.nSamplesPerSec) || !usable(array.channels, array.rate))
        return false;
    const uint32_t high = std::max(file.nSamplesPerSec, array.rate), low = std::min(file.nSamplesPerSec, array.rate);
    if (high / low > SoxrFloatResampler::kMaxRatio) return false;

    const End f{*fileSide, file.nChannels, file.nSamplesPerSec};
    const End a{*arraySide, array.channels, array.rate};
    s.reading.configure(f, a, options.channelMask, options.dither);
    // The mask names the file's channels: an array folded down on its way
    // to the file has the usual layout of its count.
    s.writing.configure(a, f, 0, options.dither);
    s.valid = true;
    s.lags = f.rate != a.rate;
    return true;
}

bool SampleConverter::converts() const { return s_->valid; }
bool SampleConverter::lags() const { return s_->lags; }

void SampleConverter::reset() { continueAt(0); }

void SampleConverter::continueAt(uint64_t frame) {
    if (!s_->valid) return;
    s_->reading.restartAt(frame);
    s_->writing.restartAt(frame);
}

size_t SampleConverter::arrayBytesFor(size_t fileBytes) const {
    return s_->valid ? s_->reading.outBytesFor(fileBytes) : 0;
}

size_t SampleConverter::fileBytesFor(size_t arrayBytes) const {
    return s_->valid ? s_->writing.outBytesFor(arrayBytes) : 0;
}

size_t SampleConverter::toArray(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
    return s_->valid ? s_->reading.convert(src, bytes, dst, capacity, s_->clips) : 0;
}

size_t SampleConverter::toFile(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
    return s_->valid ? s_->writing.convert(src, bytes, dst, capacity, s_->clips) : 0;
}

size_t SampleConverter::drainToArray(std::vector<uint8_t>& out) {
    return s_->valid ? s_->reading.drain(out, s_->clips) : 0;
}

size_t SampleConverter::drainToFile(std::vector<uint8_t>& out) {
    return s_->valid ? s_->writing.drain(out, s_->clips) : 0;
}

uint64_t SampleConverter::clipped() const { return s_->clips; }

}  // namespace qoro::audiofile
