#include "convert/pcm_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace qoro::audiofile {

namespace {

constexpr int kSmoothing = 500;         // samples blended at the end of each block
constexpr double kShelfGainDb = -40.0;  // stop-band level of the rate filter
constexpr uint32_t kMaxRate = 1'000'000;

inline int16_t load16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))); }

inline void store16(uint8_t* p, int32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xff);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xff);
}

inline int16_t clamp16(double v) {
    // Truncation toward zero, then saturation.
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

template <typename T>
T* ensure(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

bool usablePcm(const WAVEFORMATEX& f) {
    return f.wFormatTag == 1 && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           (f.nChannels == 1 || f.nChannels == 2) && f.nSamplesPerSec >= 1 && f.nSamplesPerSec <= kMaxRate;
}

// Mixes `frames` frames of `inCh` channels to `outCh` channels and stores them
// as 16-bit or (narrowed) 8-bit samples.
template <int InCh, int OutCh, int Bits>
void emit(const int16_t* in, size_t frames, uint8_t* dst) {
    auto put = [&dst](int32_t s) {
        if constexpr (Bits == 8) {
            *dst++ = static_cast<uint8_t>(s / 256 + 128);
        } else {
            store16(dst, s);
            dst += 2;
        }
    };
    for (size_t f = 0; f < frames; ++f) {
        if constexpr (InCh == OutCh) {
            for (int c = 0; c < InCh; ++c) put(in[f * InCh + c]);
        } else if constexpr (InCh == 1) {
            put(in[f]);
            put(in[f]);
        } else {
            put((int32_t{in[2 * f]} + int32_t{in[2 * f + 1]}) / 2);
        }
    }
}

template <int Bits>
void emitBits(const int16_t* in, size_t frames, int inCh, int outCh, uint8_t* dst) {
    if (inCh == 1 && outCh == 1)
        emit<1, 1, Bits>(in, frames, dst);
    else if (inCh == 1)
        emit<1, 2, Bits>(in, frames, dst);
    else if (outCh == 1)
        emit<2, 1, Bits>(in, frames, dst);
    else
        emit<2, 2, Bits>(in, frames, dst);
}

}  // namespace

uint64_t convertByteCount(uint64_t count, const WAVEFORMATEX& from, const WAVEFORMATEX& to) {
    if (from.nBlockAlign == 0 || from.nSamplesPerSec == 0 || to.nSamplesPerSec == 0) return 0;
    const uint64_t frames = PcmConverter::outFrames(count / from.nBlockAlign, from.nSamplesPerSec, to.nSamplesPerSec);
    const unsigned __int128 bytes = static_cast<unsigned __int128>(frames) * to.nBlockAlign;
    return bytes > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(bytes);
}

Biquad Biquad::highShelf(double fs, double f0, double gainDb, double slope) {
    const double A = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * f0 / fs;
    const double cw = std::cos(w0);
    const double alpha = std::sin(w0) / 2.0 * std::sqrt((A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0);
    const double sa = 2.0 * std::sqrt(A) * alpha;

    const double b0 = A * ((A + 1.0) + (A - 1.0) * cw + sa);
    const double b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cw);
    const double b2 = A * ((A + 1.0) + (A - 1.0) * cw - sa);
    const double a0 = (A + 1.0) - (A - 1.0) * cw + sa;
    const double a1 = 2.0 * ((A - 1.0) - (A + 1.0) * cw);
    const double a2 = (A + 1.0) - (A - 1.0) * cw - sa;

    Biquad q;
    q.b0 = b0 / a0;
    q.b1 = b1 / a0;
    q.b2 = b2 / a0;
    q.a1 = a1 / a0;
    q.a2 = a2 / a0;
    return q;
}

bool PcmConverter::setFormats(const WAVEFORMATEX& file, const WAVEFORMATEX& array, bool quality) {
    valid_ = usablePcm(file) && usablePcm(array) && array.wBitsPerSample == 16;
    if (!valid_) return false;
    fileRate_ = file.nSamplesPerSec;
    arrayRate_ = array.nSamplesPerSec;
    fileChannels_ = file.nChannels;
    arrayChannels_ = array.nChannels;
    fileBits_ = file.wBitsPerSample;
    same_ = fileRate_ == arrayRate_ && fileChannels_ == arrayChannels_ && fileBits_ == 16;
    highQuality_ = needsHighQuality(fileRate_, arrayRate_, quality);

    if (fileRate_ != arrayRate_) {
        const double high = std::max(fileRate_, arrayRate_);
        const double corner = std::min(fileRate_, arrayRate_) / 2.0;
        filter_[0] = filter_[1] = Biquad::highShelf(high, corner, kShelfGainDb, 1.0);
    } else {
        filter_[0] = filter_[1] = Biquad{};
    }
    reset();
    return true;
}

void PcmConverter::reset() {
    for (auto& f : filter_) f.clearState();
    last_ = {0, 0};
    framesIn_ = framesOut_ = 0;
    if (soxr_.ready()) soxr_.restartAt(0);
}

void PcmConverter::continueReadingAt(uint64_t frame) {
    framesIn_ = frame;
    framesOut_ = outFrames(frame, fileRate_, arrayRate_);
    if (soxr_.ready()) soxr_.restartAt(frame);
}

bool PcmConverter::needsHighQuality(uint32_t from, uint32_t to, bool quality) {
    auto inTable = [](uint32_t rate) {
        return std::find(std::begin(acm::kPcmRates), std::end(acm::kPcmRates), static_cast<long>(rate)) !=
               std::end(acm::kPcmRates);
    };
    // Beyond a ratio of 1024 (only rates below 1000 Hz get there) the very
    // high quality filters take minutes per second of sound, or never finish:
    // such streams keep the block converter.
    const uint32_t high = std::max(from, to), low = std::min(from, to);
    if (low == 0 || high / low > SoxrResampler::kMaxRatio) return false;
    return from != to && (quality || !inTable(from) || !inTable(to));
}

uint64_t PcmConverter::outFrames(uint64_t frames, uint32_t from, uint32_t to) {
    if (from == to) return frames;
    // round(frames * to / from), halves rounded up
    const unsigned __int128 num = static_cast<unsigned __int128>(frames) * to * 2 + from;
    const unsigned __int128 out = num / (static_cast<unsigned __int128>(from) * 2);
    return out > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(out);
}

size_t PcmConverter::nextOutFrames(size_t frames, uint32_t from, uint32_t to) const {
    if (from == to) return frames;
    return static_cast<size_t>(outFrames(framesIn_ + frames, from, to) - framesOut_);
}

size_t PcmConverter::arrayBytesFor(size_t fileBytes) const {
    if (!valid_) return 0;
    const size_t frames = fileBytes / (static_cast<size_t>(fileChannels_) * fileBits_ / 8);
    return nextOutFrames(frames, fileRate_, arrayRate_) * arrayChannels_ * 2;
}

size_t PcmConverter::fileBytesFor(size_t arrayBytes) const {
    if (!valid_) return 0;
    const size_t frames = arrayBytes / (static_cast<size_t>(arrayChannels_) * 2);
    return nextOutFrames(frames, arrayRate_, fileRate_) * fileChannels_ * fileBits_ / 8;
}

size_t PcmConverter::toArray(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
    const size_t need = arrayBytesFor(bytes);
    if (!valid_ || need > capacity) return 0;
    const size_t fc = static_cast<size_t>(fileChannels_);
    const size_t frames = bytes / (fc * fileBits_ / 8);
    if (frames == 0) return 0;
    if (same_) {
        std::memcpy(dst, src, need);
        return need;
    }

    int16_t* w = ensure(work_, frames * fc);
    if (fileBits_ == 8) {
        for (size_t i = 0; i < frames * fc; ++i) w[i] = static_cast<int16_t>((src[i] - 128) * 256);
    } else {
        for (size_t i = 0; i < frames * fc; ++i) w[i] = load16(src + 2 * i);
    }

    const int16_t* cur = w;
    size_t curFrames = frames;
    if (fileRate_ != arrayRate_) {
        curFrames = resample(w, frames, fileChannels_, fileRate_, arrayRate_);
        cur = out_.data();
    }
    emitBits<16>(cur, curFrames, fileChannels_, arrayChannels_, dst);
    return curFrames * static_cast<size_t>(arrayChannels_) * 2;
}

size_t PcmConverter::toFile(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
    const size_t need = fileBytesFor(bytes);
    if (!valid_ || need > capacity) return 0;
    const size_t ac = static_cast<size_t>(arrayChannels_);
    const size_t frames = bytes / (ac * 2);
    if (frames == 0) return 0;
    if (same_) {
        std::memcpy(dst, src, need);
        return need;
    }

    int16_t* w = ensure(work_, frames * ac);
    for (size_t i = 0; i < frames * ac; ++i) w[i] = load16(src + 2 * i);

    const int16_t* cur = w;
    size_t curFrames = frames;
    if (fileRate_ != arrayRate_) {
        curFrames = resample(w, frames, arrayChannels_, arrayRate_, fileRate_);
        cur = out_.data();
    }
    if (fileBits_ == 8)
        emitBits<8>(cur, curFrames, arrayChannels_, fileChannels_, dst);
    else
        emitBits<16>(cur, curFrames, arrayChannels_, fileChannels_, dst);
    return curFrames * static_cast<size_t>(fileChannels_) * fileBits_ / 8;
}

size_t PcmConverter::drainToArray(std::vector<uint8_t>& out) { return drain(out, fileChannels_, arrayChannels_, 16); }

size_t PcmConverter::drainToFile(std::vector<uint8_t>& out) {
    return drain(out, arrayChannels_, fileChannels_, fileBits_);
}

size_t PcmConverter::drain(std::vector<uint8_t>& out, int inChannels, int outChannels, int outBits) {
    if (!lags() || !soxr_.ready()) return 0;
    out_.clear();
    const size_t frames = soxr_.drain(out_);
    framesOut_ += frames;
    const size_t bytes = frames * static_cast<size_t>(outChannels) * static_cast<size_t>(outBits) / 8;
    const size_t old = out.size();
    out.resize(old + bytes);
    if (outBits == 8)
        emitBits<8>(out_.data(), frames, inChannels, outChannels, out.data() + old);
    else
        emitBits<16>(out_.data(), frames, inChannels, outChannels, out.data() + old);
    return bytes;
}

size_t PcmConverter::resample(const int16_t* in, size_t frames, int channels, uint32_t from, uint32_t to) {
    if (highQuality_) {
        if (!soxr_.matches(from, to, channels)) {
            if (!soxr_.setup(from, to, channels)) return 0;
            soxr_.restartAt(framesIn_);
        }
        out_.clear();
        const size_t got = soxr_.process(in, frames, out_);
        framesIn_ += frames;
        framesOut_ += got;
        return got;
    }
    const size_t n = nextOutFrames(frames, from, to);
    int16_t* out = ensure(out_, n * static_cast<size_t>(channels));
    if (frames == 0) return 0;
    framesIn_ += frames;
    framesOut_ += n;
    if (channels == 1)
        resampleBlock<1>(in, frames, out, n, from, to);
    else
        resampleBlock<2>(in, frames, out, n, from, to);
    return n;
}

// Runs the rate filter over a block (state carried in filter_), then brings
// each channel back into 16 bits: a channel whose filtered peak exceeds 32767
// is scaled down as a whole, and every value is truncated. In and out may be
// the same buffer.
template <int C>
void PcmConverter::filterBlock(const int16_t* in, size_t frames, int16_t* out) {
    Biquad f[C];
    for (int c = 0; c < C; ++c) f[c] = filter_[c];
    const std::array<Biquad, 2> start = filter_;

    // Filtering in place reads from a copy of the block.
    const int16_t* src = in;
    if (in == out) {
        int16_t* copy = ensure(scratch_, frames * C);
        std::memcpy(copy, in, frames * C * sizeof(int16_t));
        src = copy;
    }

    // First pass: filter and truncate, watching the peak.
    double peak[C] = {};
    for (size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < C; ++c) {
            const double v = f[c].step(src[i * C + c]);
            peak[c] = std::max(peak[c], std::fabs(v));
            out[i * C + c] = clamp16(v);
        }
    }
    bool over = false;
    for (int c = 0; c < C; ++c) over = over || peak[c] > 32767.0;
    if (!over) {
        for (int c = 0; c < C; ++c) filter_[c] = f[c];
        return;
    }

    // A channel went over full scale: run the same filter again from the
    // block's starting state, scaling that channel's block as a whole.
    double scale[C];
    for (int c = 0; c < C; ++c) {
        f[c] = start[c];
        scale[c] = peak[c] > 32767.0 ? 32767.0 / peak[c] : 1.0;
    }
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < C; ++c) {
            const double v = f[c].step(src[i * C + c]);
            out[i * C + c] = clamp16(peak[c] > 32767.0 ? v * scale[c] : v);
        }
    for (int c = 0; c < C; ++c) filter_[c] = f[c];
}

template <int C>
void PcmConverter::resampleBlock(const int16_t* in, size_t frames, int16_t* out, size_t n, uint32_t from, uint32_t to) {
    const int16_t* src = in;
    if (to < from) {
        int16_t* f = ensure(filtered_, frames * C);
        filterBlock<C>(in, frames, f);
        src = f;
    }

    // Time is counted in units of 1 / (a * b) seconds of the reduced ratio, so
    // input q sits at q * b and output r at r * a.
    const uint32_t g = std::gcd(from, to);
    const int64_t a = from / g;
    const int64_t b = to / g;
    const double bd = static_cast<double>(b);
    const int64_t count = static_cast<int64_t>(frames);
    const std::array<int32_t, 2> prev = last_;

    // Straight line between x0 (at the input before) and x1, `num` units of b
    // past x0; truncated toward zero.
    auto line = [b, bd](int32_t x0, int32_t x1, int64_t num) -> int16_t {
        if (num == b) return static_cast<int16_t>(x1);
        const int64_t v = int64_t{x0} * (b - num) + int64_t{x1} * num;
        return static_cast<int16_t>(static_cast<int32_t>(static_cast<double>(v) / bd));
    };

    size_t r = 0;
    int64_t q = 0, qb = 0;  // qb = q * b
    int64_t pos = 0;
    for (; r < n; ++r, pos += a) {
        while (qb < pos) {  // first input not earlier than the output
            ++q;
            qb += b;
        }
        if (q >= count) break;
        const int64_t num = pos - (q - 1) * b;
        for (int c = 0; c < C; ++c) {
            const int32_t x0 = q > 0 ? src[(q - 1) * C + c] : prev[c];
            out[r * C + c] = line(x0, src[q * C + c], num);
        }
    }
    // Outputs that fall after the last input hold it; the smoothing below
    // pulls the block end onto it anyway.
    for (; r < n; ++r)
        for (int c = 0; c < C; ++c) out[r * C + c] = src[(count - 1) * C + c];

    for (int c = 0; c < C; ++c) last_[c] = src[(count - 1) * C + c];

    // Block-end smoothing: blend the tail into the same interpolation run
    // backwards from the last input, so the block ends on that sample.
    const size_t m = std::min<size_t>({static_cast<size_t>(kSmoothing), n, frames});
    const double md = static_cast<double>(m);
    for (size_t k = 0; k < m; ++k) {
        const int64_t t = (count - 1) * b - static_cast<int64_t>(k) * a;
        // q = ceil(t / b); t > -b always, so q >= 0
        const int64_t qk = t >= 0 ? (t + b - 1) / b : 0;
        const int64_t num = t - (qk - 1) * b;
        const double w = static_cast<double>(k) / md;
        const size_t idx = (n - 1 - k) * C;
        for (int c = 0; c < C; ++c) {
            const int32_t x0 = qk > 0 ? src[(qk - 1) * C + c] : prev[c];
            const int16_t back = line(x0, src[qk * C + c], num);
            out[idx + c] = clamp16(out[idx + c] * w + back * (1.0 - w));
        }
    }

    if (from < to) filterBlock<C>(out, n, out);
}

}  // namespace qoro::audiofile
