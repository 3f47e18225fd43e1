// Psychoacoustic model 2 of the Layer II encoder (ISO/IEC 11172-3 annex D):
// signal-to-mask ratios per subband from a 1024-point spectrum of each
// channel's input, one model per channel.
#pragma once

#include <memory>
#include <vector>

namespace qoro::mp2enc {

// Real-input FFT of 2^logm points (0 <= logm <= 25), twiddle and bit-reversal
// tables built once in the constructor. Forward transform without scaling:
// X[k] = sum x[n] e^(-2 pi i k n / N), k = 0 .. N/2.
class RealFft {
public:
    // log2 of a transform size; -1 when the size is not a power of two in
    // 1 .. 2^25.
    static int log2Size(long size);

    // An out-of-range logm leaves the object invalid (transform() then does
    // nothing). Tables that cannot be allocated throw std::bad_alloc: no
    // object is made, and what was allocated is freed.
    explicit RealFft(int logm);
    bool valid() const { return size_ > 0; }
    int size() const { return size_; }

    // in: size() samples; re, im: size()/2 + 1 values each.
    void transform(const float* in, float* re, float* im) const;

private:
    void complexFft(float* re, float* im) const;  // in place, size_/2 points

    int size_ = 0;
    int half_ = 0;
    std::vector<unsigned> bitrev_;        // permutation of the half-size transform
    std::vector<float> twRe_, twIm_;      // per-stage twiddles, stages packed end to end
    std::vector<float> postRe_, postIm_;  // e^(-2 pi i k / N) for the real split
    mutable std::vector<float> workRe_, workIm_;
};

class PsychoModel2 {
public:
    // sampleRate: 16000, 22050, 24000, 32000, 44100 or 48000 (the tables are
    // worked out for any rate from 8000 to 96000; others are taken as 44100).
    // Throws std::bad_alloc (leaving nothing behind) when its tables cannot
    // be allocated.
    explicit PsychoModel2(int sampleRate);
    ~PsychoModel2();
    PsychoModel2(const PsychoModel2&) = delete;
    PsychoModel2& operator=(const PsychoModel2&) = delete;

    // Takes the 1152 new samples of this channel for the frame (the samples
    // the analysis filter bank gets, at 16-bit scale: +-32768) and returns the
    // signal-to-mask ratio in dB of each of the 32 subbands. The model keeps
    // the history it needs and aligns its window with the filter bank.
    void analyse(const float* samples1152, float smrDb[32]);

    // What the last analyse() saw, per subband, for tuning and tests. Levels
    // are in dB with a full-scale sine (amplitude 32768) at 96 dB; tonality
    // runs from 0 (noise) to 1 (pure tone), weighted by the lines' energy.
    struct Subbands {
        float energyDb[32];
        float thresholdDb[32];
        float tonality[32];
    };
    const Subbands& lastSubbands() const;

    int partitionCount() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace qoro::mp2enc
