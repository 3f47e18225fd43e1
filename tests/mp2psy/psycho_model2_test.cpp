// Psychoacoustic model 2 of the Layer II encoder: the real FFT against a plain
// DFT, subband levels against a plain DFT of the same stretch of input, and
// the signal-to-mask ratios of tones, noise, silence and hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "psycho_model2.h"
#include "test_support.h"

namespace {

using qoro::mp2enc::PsychoModel2;
using qoro::mp2enc::RealFft;

constexpr int kFrame = 1152;
constexpr int kRates[] = {16000, 22050, 24000, 32000, 44100, 48000};

struct FrameResult {
    float smr[32];
    PsychoModel2::Subbands bands;
};

// Feeds whole frames of 'signal' (padded with zeros) through a fresh model.
std::vector<FrameResult> analyseAll(int rate, const std::vector<float>& signal) {
    PsychoModel2 model(rate);
    size_t frames = (signal.size() + kFrame - 1) / kFrame;
    std::vector<float> padded(signal);
    padded.resize(frames * kFrame, 0.0f);
    std::vector<FrameResult> out(frames);
    for (size_t f = 0; f < frames; ++f) {
        model.analyse(padded.data() + f * kFrame, out[f].smr);
        out[f].bands = model.lastSubbands();
    }
    return out;
}

std::vector<float> makeSignal(size_t length, const std::function<float(size_t)>& at) {
    std::vector<float> s(length);
    for (size_t i = 0; i < length; ++i) s[i] = at(i);
    return s;
}

std::vector<float> tone(int rate, double hz, double dbfs, size_t length, size_t start = 0) {
    double amp = 32768.0 * std::pow(10.0, dbfs / 20.0);
    return makeSignal(length, [=](size_t i) {
        return i < start ? 0.0f : static_cast<float>(amp * std::sin(2.0 * M_PI * hz * double(i - start) / rate));
    });
}

std::vector<float> whiteNoise(size_t length, double amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    return makeSignal(length, [&](size_t) { return static_cast<float>(u(rng)); });
}

int subbandOf(int rate, double hz) { return static_cast<int>(hz / (rate / 64.0)); }

int argmax(const float* v, int n) { return static_cast<int>(std::max_element(v, v + n) - v); }

// ---------------------------------------------------------------------------

TEST(RealFft, MatchesPlainDftAtEverySmallSize) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
    for (int logm = 0; logm <= 12; ++logm) {
        RealFft fft(logm);
        ASSERT_TRUE(fft.valid());
        const int n = fft.size();
        ASSERT_EQ(n, 1 << logm);
        std::vector<float> x(n), re(n / 2 + 1), im(n / 2 + 1);
        for (float& v : x) v = u(rng);
        fft.transform(x.data(), re.data(), im.data());
        double worst = 0.0, scale = 0.0;
        for (int k = 0; k <= n / 2; ++k) {
            std::complex<double> sum = 0.0;
            for (int i = 0; i < n; ++i) sum += double(x[i]) * std::polar(1.0, -2.0 * M_PI * double(k) * i / n);
            worst = std::max(worst, std::abs(sum - std::complex<double>(re[k], im[k])));
            scale = std::max(scale, std::abs(sum));
        }
        EXPECT_LT(worst, 1e-5 * scale + 1e-3) << "logm " << logm;
    }
}

TEST(RealFft, RefusesSizesOutOfRange) {
    EXPECT_FALSE(RealFft(26).valid());
    EXPECT_FALSE(RealFft(-1).valid());
    EXPECT_TRUE(RealFft(0).valid());

    EXPECT_EQ(RealFft::log2Size(1), 0);
    EXPECT_EQ(RealFft::log2Size(1024), 10);
    EXPECT_EQ(RealFft::log2Size(1L << 25), 25);
    EXPECT_EQ(RealFft::log2Size(1000), -1);
    EXPECT_EQ(RealFft::log2Size(0), -1);
    EXPECT_EQ(RealFft::log2Size(1L << 26), -1);
}

// The subband levels must be those of a Hann-windowed 1024-point DFT over
// the stretch the filter bank's output of the frame describes: 176 samples of
// the previous frame and the first 848 of this one.
TEST(PsychoModel2, SubbandLevelsMatchPlainDftOfTheAlignedWindow) {
    const int rate = 44100;
    std::vector<int16_t> pcm = qoro::test::testSignal(rate, 1, 6 * kFrame, 0.7);
    std::vector<float> x(pcm.begin(), pcm.end());
    std::vector<FrameResult> got = analyseAll(rate, x);

    const double fullScale = 3.0 * 32768.0 * 32768.0 * 1024.0 * 1024.0 / 32.0;  // 96 dB
    for (int frame : {1, 4}) {
        long start = long(frame) * kFrame - 176;
        std::vector<double> lineEnergy(512);
        for (int k = 0; k < 512; ++k) {
            std::complex<double> sum = 0.0;
            for (int i = 0; i < 1024; ++i) {
                double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * (i + 0.5) / 1024.0);
                sum += x[start + i] * w * std::polar(1.0, -2.0 * M_PI * double(k) * i / 1024.0);
            }
            lineEnergy[k] = std::norm(sum);
        }
        for (int n = 0; n < 32; ++n) {
            double e = 0.0;
            for (int k = 16 * n; k < 16 * n + 16; ++k) e += lineEnergy[k];
            double db = 96.0 + 10.0 * std::log10(e / fullScale);
            EXPECT_NEAR(got[frame].bands.energyDb[n], db, 0.05) << "frame " << frame << " subband " << n;
        }
    }
}

TEST(PsychoModel2, ToneIsLoudInItsSubbandAndFarBandsAreMasked) {
    const int rate = 44100;
    std::vector<FrameResult> r = analyseAll(rate, tone(rate, 1000.0, -10.0, 8 * kFrame));
    const FrameResult& last = r.back();
    const int band = subbandOf(rate, 1000.0);
    ASSERT_EQ(band, 1);
    // -10 dBFS is 86 dB on the model's scale, and nearly all of it is in one subband.
    EXPECT_NEAR(last.bands.energyDb[band], 86.0, 0.3);
    EXPECT_GT(last.smr[band], 40.0f);
    EXPECT_EQ(argmax(last.smr, 32), band);
    for (int n = 5; n < 32; ++n) EXPECT_LT(last.smr[n], 0.0f) << "subband " << n;
    // A steady sinusoid is predictable from frame to frame.
    EXPECT_GT(last.bands.tonality[band], 0.9f);
}

TEST(PsychoModel2, WhiteNoiseAsksForLittleEverywhereAtEveryRate) {
    for (int rate : kRates) {
        std::vector<FrameResult> r = analyseAll(rate, whiteNoise(8 * kFrame, 0.3 * 32768.0, 11));
        std::vector<FrameResult> t = analyseAll(rate, tone(rate, 1000.0, -10.0, 8 * kFrame));
        const FrameResult& noise = r.back();
        std::vector<float> audible;
        for (int n = 0; n < 32; ++n) {
            EXPECT_LT(noise.smr[n], 35.0f) << rate << " Hz, subband " << n;
            EXPECT_LT(noise.bands.tonality[n], 0.2f) << rate << " Hz, subband " << n;
            if ((n + 1) * rate / 64.0 < 12000.0) audible.push_back(noise.smr[n]);
        }
        std::sort(audible.begin(), audible.end());
        float median = audible[audible.size() / 2];
        EXPECT_LT(median, 12.0f) << rate << " Hz";
        EXPECT_GT(median, 0.0f) << rate << " Hz: loud noise must still be coded";
        int band = subbandOf(rate, 1000.0);
        EXPECT_GT(t.back().smr[band], median + 30.0f) << rate << " Hz";
    }
}

TEST(PsychoModel2, SilenceIsBelowTheThresholdOfHearingEverywhere) {
    for (int rate : kRates) {
        std::vector<FrameResult> r = analyseAll(rate, std::vector<float>(4 * kFrame, 0.0f));
        for (const FrameResult& f : r)
            for (int n = 0; n < 32; ++n) {
                EXPECT_LE(f.smr[n], -60.0f) << rate << " Hz, subband " << n;
                EXPECT_GE(f.smr[n], -100.0f);
            }
    }
}

TEST(PsychoModel2, ToneSubbandFollowsItsFrequencyAtEveryRate) {
    for (int rate : kRates) {
        for (int band : {0, 3, 8, 14, 20, 27}) {
            double hz = (band + 0.5) * rate / 64.0;
            if (hz > 14000.0) continue;
            std::vector<FrameResult> r = analyseAll(rate, tone(rate, hz, -20.0, 5 * kFrame));
            EXPECT_EQ(argmax(r.back().smr, 32), band) << rate << " Hz, " << hz << " Hz";
            EXPECT_GT(r.back().smr[band], 20.0f) << rate << " Hz, " << hz << " Hz";
        }
    }
}

// A short burst must be seen in the frame whose subband samples carry it: the
// analysis filter block completing with sample 32j + 31 describes the input
// around 32j + 31 - 256.
TEST(PsychoModel2, BurstIsSeenInTheFrameOfTheFilterBankThatCarriesIt) {
    const int rate = 44100;
    const double hz = 5000.0;
    const int band = subbandOf(rate, hz);
    for (int offset : {0, 150, 335, 520, 700, 1050, 1120}) {
        const long centre = 2L * kFrame + offset;
        const int length = 128;
        std::vector<float> x(7 * kFrame, 0.0f);
        for (int i = 0; i < length; ++i) {
            double env = 0.5 - 0.5 * std::cos(2.0 * M_PI * (i + 0.5) / length);
            long at = centre - length / 2 + i;
            x[at] = static_cast<float>(20000.0 * env * std::sin(2.0 * M_PI * hz * at / rate));
        }
        long block = std::lround((centre - 31 + 256) / 32.0);
        int expected = static_cast<int>(block / 36);

        std::vector<FrameResult> r = analyseAll(rate, x);
        int seen = 0;
        for (int f = 1; f < int(r.size()); ++f)
            if (r[f].bands.energyDb[band] > r[seen].bands.energyDb[band]) seen = f;
        EXPECT_EQ(seen, expected) << "burst centred at frame offset " << offset;
        EXPECT_GT(r[expected].smr[band], 0.0f) << "burst centred at frame offset " << offset;
    }
}

TEST(PsychoModel2, ToneAfterSilenceAppearsInTheFrameThatStartsIt) {
    const int rate = 32000;
    const double hz = 2500.0;
    const int band = subbandOf(rate, hz);
    std::vector<FrameResult> r = analyseAll(rate, tone(rate, hz, -6.0, 6 * kFrame, 3 * kFrame + 200));
    for (int f = 0; f < 3; ++f) EXPECT_LT(r[f].smr[band], -50.0f) << "frame " << f;
    EXPECT_GT(r[3].smr[band], 20.0f);
    EXPECT_GT(r[5].smr[band], 20.0f);
}

// A quiet tone a Bark above a loud one is masked by it; the same tone alone
// is not. The loud tone sits far enough from the subband edge that its window
// leakage hardly adds to the quiet tone's subband.
TEST(PsychoModel2, LoudToneMasksAQuietOneAboveIt) {
    const int rate = 48000;
    const double loudHz = 3400.0, quietHz = 4150.0;  // subbands 4 and 5
    const int quietBand = subbandOf(rate, quietHz);
    ASSERT_EQ(subbandOf(rate, loudHz) + 1, quietBand);
    std::vector<float> quiet = tone(rate, quietHz, -60.0, 6 * kFrame);
    std::vector<float> both = tone(rate, loudHz, -6.0, 6 * kFrame);
    for (size_t i = 0; i < both.size(); ++i) both[i] += quiet[i];
    FrameResult alone = analyseAll(rate, quiet).back();
    FrameResult masked = analyseAll(rate, both).back();
    EXPECT_NEAR(masked.bands.energyDb[quietBand], alone.bands.energyDb[quietBand], 1.0);
    EXPECT_GT(masked.bands.thresholdDb[quietBand], alone.bands.thresholdDb[quietBand] + 10.0f);
    EXPECT_GT(alone.smr[quietBand], 20.0f);
    EXPECT_LT(masked.smr[quietBand], alone.smr[quietBand] - 10.0f);
}

TEST(PsychoModel2, HostileInputGivesFiniteBoundedRepeatableRatios) {
    const int rate = 22050;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> wild(-1e9f, 1e9f);
    std::vector<std::vector<float>> inputs = {
        makeSignal(3 * kFrame, [](size_t i) { return (i / 50) % 2 ? 32767.0f : -32768.0f; }),
        makeSignal(3 * kFrame, [](size_t) { return 32767.0f; }),
        makeSignal(3 * kFrame, [](size_t i) { return i % 2 ? 1e30f : -1e30f; }),
        makeSignal(3 * kFrame, [](size_t i) { return i % 3 ? HUGE_VALF : -HUGE_VALF; }),
        makeSignal(3 * kFrame, [&](size_t) { return wild(rng); }),
        makeSignal(3 * kFrame, [](size_t i) { return i == 500 ? 32767.0f : 0.0f; }),
    };
    for (size_t k = 0; k < inputs.size(); ++k) {
        std::vector<float> x = inputs[k];
        x.resize(x.size() + 3 * kFrame, 0.0f);  // and back to silence
        std::vector<FrameResult> a = analyseAll(rate, x);
        std::vector<FrameResult> b = analyseAll(rate, x);
        for (size_t f = 0; f < a.size(); ++f) {
            EXPECT_EQ(std::memcmp(a[f].smr, b[f].smr, sizeof a[f].smr), 0) << "input " << k;
            for (int n = 0; n < 32; ++n) {
                ASSERT_TRUE(std::isfinite(a[f].smr[n])) << "input " << k << " frame " << f;
                EXPECT_LE(std::fabs(a[f].smr[n]), 100.0f);
                EXPECT_TRUE(std::isfinite(a[f].bands.energyDb[n]));
                EXPECT_TRUE(std::isfinite(a[f].bands.thresholdDb[n]));
            }
        }
        // Nothing of the wild frames lingers once the input is silent.
        for (int n = 0; n < 32; ++n) EXPECT_LE(a.back().smr[n], -60.0f) << "input " << k;
    }
}

}  // namespace
