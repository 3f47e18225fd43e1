// Polyphase analysis filter bank of the MPEG audio encoder: 32 PCM samples in,
// one sample of each of the 32 subbands out (full scale 1.0 for input at
// full scale 1.0).
#pragma once

namespace qoro::mp2enc {

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

}  // namespace qoro::mp2enc
