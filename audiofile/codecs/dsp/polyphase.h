// The polyphase filter banks of MPEG audio, shared by the MPEG audio and
// MPEG Plus decoders (synthesis) and the Layer II encoder (analysis). Both
// work on one channel, 32 samples at a time, and keep their history between
// calls; neither allocates.
#pragma once

#include <cmath>
#include <cstdint>

namespace qoro::dsp {

// The 16-bit sample of a synthesis output in 16-bit units: rounded to
// nearest (the processor's mode), clipped, NaN as 0. A float output times
// 32768 gives the same sample the 16-bit output holds.
inline int16_t roundToPcm16(float x) {
    if (x >= 32767.0f) return 32767;
    if (!(x > -32768.0f)) return x != x ? 0 : -32768;  // NaN never reaches the conversion
    return int16_t(std::lrintf(x));
}

// Synthesis: 32 subband samples in (full scale 1.0), 32 PCM samples out.
class PolyphaseSynthesis {
public:
    void reset();
    // Writes 32 samples to out[0], out[stride], ... rounded to nearest and
    // clipped to 16 bits.
    void run(const float* subbands, int16_t* out, int stride);
    // The same into 32 consecutive samples.
    void filter(const float* subbands, int16_t* pcm);
    // The samples as the filter bank makes them, at full scale 1.0: neither
    // rounded nor clipped.
    void run(const float* subbands, float* out, int stride);

private:
    // The 32 outputs in 16-bit units into f[0 .. 31] (f has room for 36).
    void window(const float* subbands, float* f);

    alignas(32) float v_[16][64] = {};
    int pos_ = 0;
};

// Both channels' 32 samples, interleaved into 64 (left first).
void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r,
                      int16_t* out);
void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r, float* out);

// Analysis: 32 PCM samples in, one sample of each of the 32 subbands out
// (full scale 1.0 for input at full scale 1.0).
class PolyphaseAnalysis {
public:
    PolyphaseAnalysis();
    // `in` holds 32 samples in time order; `out` receives subbands 0..31.
    void run(const float* in, float* out);

private:
    // History, newest sample first from pos_: X[k] = buf_[pos_ + k], k < 512.
    alignas(32) float buf_[2048] = {};
    int pos_ = 2048 - 512;
};

}  // namespace qoro::dsp
