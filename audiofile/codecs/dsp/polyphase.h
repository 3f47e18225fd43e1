// The polyphase filter banks of MPEG audio, shared by the MPEG audio and
// MPEG Plus decoders (synthesis) and the Layer II encoder (analysis). Both
// work on one channel, 32 samples at a time, and keep their history between
// calls; neither allocates.
#pragma once

#include <cstdint>

namespace qoro::dsp {

// Synthesis: 32 subband samples in (full scale 1.0), 32 PCM samples out.
class PolyphaseSynthesis {
public:
    void reset();
    // Writes 32 samples to out[0], out[stride], ... rounded to nearest and
    // clipped to 16 bits.
    void run(const float* subbands, int16_t* out, int stride);
    // The same into 32 consecutive samples.
    void filter(const float* subbands, int16_t* pcm);

private:
    alignas(32) float v_[16][64] = {};
    int pos_ = 0;
};

// Both channels' 32 samples, interleaved into 64 (left first).
void synthesizeStereo(PolyphaseSynthesis& left, PolyphaseSynthesis& right, const float* l, const float* r,
                      int16_t* out);

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
