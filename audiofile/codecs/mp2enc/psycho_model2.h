// Psychoacoustic model 2 of the Layer II encoder (ISO/IEC 11172-3 annex D):
// signal-to-mask ratios per subband from a 1024-point spectrum of each
// channel's input, one model per channel.
#pragma once

#include <memory>

namespace qoro::mp2enc {

class PsychoModel2 {
public:
    // sampleRate: 16000, 22050, 24000, 32000, 44100 or 48000.
    explicit PsychoModel2(int sampleRate);
    ~PsychoModel2();
    PsychoModel2(const PsychoModel2&) = delete;
    PsychoModel2& operator=(const PsychoModel2&) = delete;

    // Takes the 1152 new samples of this channel for the frame (the samples
    // the analysis filter bank gets, at 16-bit scale: +-32768) and returns the
    // signal-to-mask ratio in dB of each of the 32 subbands. The model keeps
    // the history it needs and aligns its window with the filter bank.
    void analyse(const float* samples1152, float smrDb[32]);

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace qoro::mp2enc
