#include "psycho_model2.h"

namespace qoro::mp2enc {

struct PsychoModel2::State {
    int sampleRate = 44100;
};

PsychoModel2::PsychoModel2(int sampleRate) : s_(std::make_unique<State>()) { s_->sampleRate = sampleRate; }
PsychoModel2::~PsychoModel2() = default;

void PsychoModel2::analyse(const float* /*samples1152*/, float smrDb[32]) {
    for (int sb = 0; sb < 32; ++sb) smrDb[sb] = 30.0f;
}

}  // namespace qoro::mp2enc
