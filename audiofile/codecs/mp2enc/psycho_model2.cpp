// Psychoacoustic model 2 for Layer II: one 1024-point analysis per frame and
// channel, giving the signal-to-mask ratio of each of the 32 subbands.
//
// Per frame:
//   1. Hann-windowed spectrum r(w), phase f(w) of 1024 samples (lines 0..511).
//   2. Unpredictability c(w): distance of the spectrum from its polar
//      extrapolation out of the two previous frames (2 r1 - r2, 2 f1 - f2),
//      relative to r + |r_predicted|. Steady sinusoids give c ~ 0, noise c ~ 1.
//   3. Energy e(b) and weighted unpredictability c(b) per threshold-calculation
//      partition (about a third of a critical band; see the State constructor).
//   4. Both convolved with the spreading function; c/e gives the tonality
//      index tb = -0.299 - 0.43 ln(cb), held to 0..1.
//   5. Required SNR per partition: tb * TMN + (1 - tb) * NMT with
//      TMN = 14.5 + bark dB (tone masking noise) and NMT = 5.5 dB (noise
//      masking tone), at least minval; the spread energy, normalised by the
//      spreading function's total, lowered by that SNR is the partition's
//      masking threshold.
//   6. Threshold per line: the partition's threshold shared among its lines,
//      at least the absolute threshold of hearing at that line.
//   7. SMR per subband (16 lines each): energy of its lines against the lowest
//      line threshold times 16 (or the sum of the thresholds when the subband
//      lies inside one partition).
//
// All tables depend on the sample rate only and are built by the constructor;
// analyse() allocates nothing.
#include "psycho_model2.h"

#include <algorithm>
#include <cmath>

namespace qoro::mp2enc {

// ---------------------------------------------------------------------------
// Real FFT
// ---------------------------------------------------------------------------

namespace {
constexpr int kMinLogm = 0;
constexpr int kMaxLogm = 25;
constexpr double kPi = 3.14159265358979323846;

// One group of radix-2 butterflies: (a, b) -> (a + w b, a - w b). The halves
// never overlap, which lets the compiler vectorise the loop.
void butterflies(float* __restrict ar, float* __restrict ai, float* __restrict br, float* __restrict bi,
                 const float* __restrict wr, const float* __restrict wi, int h) {
    for (int k = 0; k < h; ++k) {
        float tr = br[k] * wr[k] - bi[k] * wi[k];
        float ti = br[k] * wi[k] + bi[k] * wr[k];
        br[k] = ar[k] - tr;
        bi[k] = ai[k] - ti;
        ar[k] += tr;
        ai[k] += ti;
    }
}
}  // namespace

int RealFft::log2Size(long size) {
    if (size >= 1 && size <= (1L << kMaxLogm) && (size & (size - 1)) == 0) {
        int logm = 0;
        while ((1L << logm) < size) ++logm;
        return logm;
    }
    return -1;
}

RealFft::RealFft(int logm) {
    if (logm < kMinLogm || logm > kMaxLogm) return;  // no transform of that size: invalid
    const int n = 1 << logm;
    if (n >= 4) {
        // The real transform of n points is a complex transform of n/2
        // points over the (even, odd) sample pairs, then one split pass.
        const int m = n / 2;
        int bits = logm - 1;
        bitrev_.resize(m);
        for (int i = 0; i < m; ++i) {
            unsigned r = 0;
            for (int b = 0; b < bits; ++b)
                if (i & (1 << b)) r |= 1u << (bits - 1 - b);
            bitrev_[i] = r;
        }
        twRe_.reserve(m);
        twIm_.reserve(m);
        for (int h = 1; h < m; h *= 2)
            for (int k = 0; k < h; ++k) {
                double a = -kPi * k / h;
                twRe_.push_back(static_cast<float>(std::cos(a)));
                twIm_.push_back(static_cast<float>(std::sin(a)));
            }
        postRe_.resize(m + 1);
        postIm_.resize(m + 1);
        for (int k = 0; k <= m; ++k) {
            double a = -2.0 * kPi * k / n;
            postRe_[k] = static_cast<float>(std::cos(a));
            postIm_[k] = static_cast<float>(std::sin(a));
        }
        workRe_.resize(m);
        workIm_.resize(m);
    }
    half_ = n / 2;
    size_ = n;
}

void RealFft::complexFft(float* re, float* im) const {
    // The input arrives in bit-reversed order (transform() stores it so).
    const int m = half_;
    // First stage without multiplications.
    for (int a = 0; a < m; a += 2) {
        float tr = re[a + 1], ti = im[a + 1];
        re[a + 1] = re[a] - tr;
        im[a + 1] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
    }
    // Second stage: the twiddles are 1 and -i.
    if (m >= 4) {
        for (int a = 0; a < m; a += 4) {
            float tr = re[a + 2], ti = im[a + 2];
            re[a + 2] = re[a] - tr;
            im[a + 2] = im[a] - ti;
            re[a] += tr;
            im[a] += ti;
            tr = im[a + 3];
            ti = -re[a + 3];
            re[a + 3] = re[a + 1] - tr;
            im[a + 3] = im[a + 1] - ti;
            re[a + 1] += tr;
            im[a + 1] += ti;
        }
    }
    const float* wr = twRe_.data() + 3;
    const float* wi = twIm_.data() + 3;
    for (int h = 4; h < m; h *= 2) {
        for (int start = 0; start < m; start += 2 * h) {
            butterflies(re + start, im + start, re + start + h, im + start + h, wr, wi, h);
        }
        wr += h;
        wi += h;
    }
}

void RealFft::transform(const float* in, float* re, float* im) const {
    if (size_ == 0) return;
    if (size_ == 1) {
        re[0] = in[0];
        im[0] = 0.0f;
        return;
    }
    if (size_ == 2) {
        re[0] = in[0] + in[1];
        re[1] = in[0] - in[1];
        im[0] = im[1] = 0.0f;
        return;
    }
    const int m = half_;
    float* zr = workRe_.data();
    float* zi = workIm_.data();
    const unsigned* rev = bitrev_.data();
    for (int i = 0; i < m; ++i) {
        zr[rev[i]] = in[2 * i];
        zi[rev[i]] = in[2 * i + 1];
    }
    complexFft(zr, zi);
    // X[k] = E[k] + W^k O[k], E = (Z[k] + conj Z[m-k]) / 2,
    // O = (Z[k] - conj Z[m-k]) / 2i; Z[m] is Z[0].
    re[0] = zr[0] + zi[0];
    im[0] = 0.0f;
    re[m] = zr[0] - zi[0];
    im[m] = 0.0f;
    const float* pr = postRe_.data();
    const float* pi = postIm_.data();
    for (int k = 1; k < m; ++k) {
        const int b = m - k;
        float er = 0.5f * (zr[k] + zr[b]);
        float ei = 0.5f * (zi[k] - zi[b]);
        float orr = 0.5f * (zi[k] + zi[b]);
        float oi = -0.5f * (zr[k] - zr[b]);
        re[k] = er + pr[k] * orr - pi[k] * oi;
        im[k] = ei + pr[k] * oi + pi[k] * orr;
    }
}

// ---------------------------------------------------------------------------
// Model tables
// ---------------------------------------------------------------------------

namespace {

constexpr int kFftLogm = 10;
constexpr int kFftSize = 1 << kFftLogm;  // 1024
constexpr int kLines = kFftSize / 2;     // lines 0..511 cover the 32 subbands
constexpr int kSubbands = 32;
constexpr int kLinesPerSubband = kLines / kSubbands;  // 16
constexpr int kFrame = 1152;

// Window alignment. The analysis filter bank's 512-tap window peaks 256
// samples behind the newest input sample, so the subband block that completes
// with new sample 32j + 31 (j = 0..35) describes the input around 32j - 225.
// The 36 blocks of a frame are therefore centred on new sample 335 of the
// frame. The 1024-sample window runs from 176 samples before the frame's
// first new sample to new sample 847, centred at 335.5: it needs the last 176
// samples of the previous frame and none of the next. With 1152 new samples
// per frame and a 1024-sample window, new samples 848..975 of each frame (the
// stretch around the boundary between two frames' filter-bank output) fall
// outside both windows; they are seen only through their neighbours.
constexpr int kHistory = 176;
constexpr int kFromFrame = kFftSize - kHistory;  // 848

// Levels: a full-scale sine (amplitude 32768) is 96 dB. Its energy summed
// over the lines of the Hann-windowed, unscaled transform is
// (A^2 / 4) * N * sum(w^2) = 3 A^2 N^2 / 32.
constexpr double kFullScaleDb = 96.0;
constexpr double kFullScaleEnergy = 3.0 * 32768.0 * 32768.0 * kFftSize * kFftSize / 32.0;

// Input beyond this is clipped before the transform so that no energy sum
// can overflow a float (a 16-bit source never comes near it).
constexpr float kInputLimit = 1.0e6f;

constexpr double kNmtDb = 5.5;          // noise masking tone
constexpr double kTmnBaseDb = 14.5;     // tone masking noise: 14.5 + bark
constexpr double kAthCeilingDb = 40.0;  // see absoluteThresholdDb
constexpr float kSmrLimitDb = 100.0f;

// Critical-band rate in Bark (Zwicker and Terhardt).
double bark(double hz) { return 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0)); }

// Threshold in quiet in dB SPL (Terhardt's fit of the measured curve). Above
// 14 kHz the fit climbs far faster than the thresholds young listeners show;
// it is held at 40 dB there, so high-frequency content a few tens of dB below
// full scale is still coded when the bitrate allows.
double absoluteThresholdDb(double hz) {
    double k = std::max(hz, 20.0) / 1000.0;
    double db = 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) + 1.0e-3 * k * k * k * k;
    return std::min(db, kAthCeilingDb);
}

// Least SNR a partition asks for, whatever its tonality: the lowest bands
// (long time constants, little frequency resolution of the ear) keep 24.5 dB,
// falling to none above about 15 Bark.
double minimumSnrDb(double z) {
    static constexpr double kBark[] = {0.0, 3.0, 5.0, 8.0, 10.0, 13.0, 15.0};
    static constexpr double kDb[] = {24.5, 24.5, 20.0, 12.0, 6.0, 3.0, 0.0};
    constexpr int n = sizeof(kBark) / sizeof(kBark[0]);
    if (z >= kBark[n - 1]) return kDb[n - 1];
    for (int i = 1; i < n; ++i)
        if (z < kBark[i]) return kDb[i - 1] + (kDb[i] - kDb[i - 1]) * (z - kBark[i - 1]) / (kBark[i] - kBark[i - 1]);
    return 0.0;
}

// Spreading function: how much of a masker at Bark i spreads into Bark j, as
// a power ratio (0 once it is more than 100 dB down). The distance is
// stretched threefold towards higher and by half towards lower frequencies
// before the Schroeder-style curve is applied.
double spreading(double i, double j) {
    double x = (j >= i) ? 3.0 * (j - i) : 1.5 * (j - i);
    double t = (x - 0.5) * (x - 0.5) - 2.0 * (x - 0.5);
    double z = 8.0 * std::min(t, 0.0);
    double y = 15.811389 + 7.5 * (x + 0.474) - 17.5 * std::sqrt(1.0 + (x + 0.474) * (x + 0.474));
    if (y < -100.0) return 0.0;
    return std::pow(10.0, (z + y) / 10.0);
}

}  // namespace

struct PsychoModel2::State {
    RealFft fft{kFftLogm};

    // Tables.
    float window[kFftSize];
    float absThr[kLines];  // energy per line
    int partOfLine[kLines];
    std::vector<int> partStart;   // first line of each partition, plus kLines
    std::vector<float> invLines;  // 1 / lines in the partition
    std::vector<float> tmnDb;     // per partition
    std::vector<float> minSnrDb;
    std::vector<float> spreadNorm;        // 1 / sum of the spreading into the partition
    std::vector<int> spreadLo, spreadHi;  // maskers with a non-zero share
    std::vector<float> spread;            // [maskee * parts + masker]
    int parts = 0;

    // History.
    float previous[kHistory] = {};
    float mag1[kLines] = {}, mag2[kLines] = {};
    float ph1Re[kLines], ph1Im[kLines], ph2Re[kLines], ph2Im[kLines];

    // Work buffers.
    float windowed[kFftSize];
    float re[kLines + 1], im[kLines + 1];
    float energy[kLines];
    float unpred[kLines];
    std::vector<float> eb, cb, tonal, thrPart;
    float lineThr[kLines];

    // The last frame's subband energies and masks; their levels in dB are
    // worked out only when asked for.
    double lastEnergy[kSubbands] = {}, lastMask[kSubbands] = {};
    float lastTonality[kSubbands] = {};
    Subbands report{};

    explicit State(int sampleRate);
};

PsychoModel2::State::State(int sampleRate) {
    double fs = (sampleRate >= 8000 && sampleRate <= 96000) ? sampleRate : 44100.0;
    double lineHz = fs / kFftSize;

    for (int i = 0; i < kFftSize; ++i)
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * (i + 0.5) / kFftSize));

    // Threshold-calculation partitions: lines are grouped by thirds of a Bark
    // (line w joins partition floor(3 z(w Hz))), so at low frequencies where a
    // line is wider than a third of a Bark every line is a partition of its
    // own. This gives 64 (16 kHz) to 73 (32 and 44.1 kHz) partitions; at
    // 44.1 kHz they run from single lines below 500 Hz to 78 lines above
    // 18 kHz, where the Bark scale flattens out.
    int prevIndex = -1;
    for (int w = 0; w < kLines; ++w) {
        int index = static_cast<int>(std::floor(3.0 * bark(w * lineHz)));
        if (w == 0 || index != prevIndex) partStart.push_back(w);
        prevIndex = index;
        partOfLine[w] = static_cast<int>(partStart.size()) - 1;
    }
    parts = static_cast<int>(partStart.size());
    partStart.push_back(kLines);

    std::vector<double> bval(parts);
    invLines.resize(parts);
    tmnDb.resize(parts);
    minSnrDb.resize(parts);
    for (int b = 0; b < parts; ++b) {
        int lo = partStart[b], hi = partStart[b + 1] - 1;
        bval[b] = bark(0.5 * (lo + hi) * lineHz);
        invLines[b] = 1.0f / static_cast<float>(hi - lo + 1);
        tmnDb[b] = static_cast<float>(kTmnBaseDb + bval[b]);
        minSnrDb[b] = static_cast<float>(minimumSnrDb(bval[b]));
    }

    spread.assign(static_cast<size_t>(parts) * parts, 0.0f);
    spreadNorm.resize(parts);
    spreadLo.resize(parts);
    spreadHi.resize(parts);
    for (int b = 0; b < parts; ++b) {
        double sum = 0.0;
        int lo = parts, hi = -1;
        for (int m = 0; m < parts; ++m) {
            double s = spreading(bval[m], bval[b]);
            spread[static_cast<size_t>(b) * parts + m] = static_cast<float>(s);
            sum += s;
            if (s > 0.0) {
                lo = std::min(lo, m);
                hi = std::max(hi, m);
            }
        }
        spreadLo[b] = lo;
        spreadHi[b] = hi;
        spreadNorm[b] = sum > 0.0 ? static_cast<float>(1.0 / sum) : 0.0f;
    }

    for (int w = 0; w < kLines; ++w) {
        double db = absoluteThresholdDb(w * lineHz);
        absThr[w] = static_cast<float>(kFullScaleEnergy * std::pow(10.0, (db - kFullScaleDb) / 10.0));
    }

    for (int w = 0; w < kLines; ++w) {
        ph1Re[w] = ph2Re[w] = 1.0f;
        ph1Im[w] = ph2Im[w] = 0.0f;
    }
    eb.resize(parts);
    cb.resize(parts);
    tonal.resize(parts);
    thrPart.resize(parts);
}

PsychoModel2::PsychoModel2(int sampleRate) : s_(std::make_unique<State>(sampleRate)) {}
PsychoModel2::~PsychoModel2() = default;

namespace {
inline float toDb(double energy) {
    return static_cast<float>(kFullScaleDb + 10.0 * std::log10(std::max(energy, 1.0e-3) / kFullScaleEnergy));
}

inline float sanitize(float x) {
    if (!(x == x)) return 0.0f;  // NaN
    return std::clamp(x, -kInputLimit, kInputLimit);
}
}  // namespace

const PsychoModel2::Subbands& PsychoModel2::lastSubbands() const {
    State& s = *s_;
    for (int n = 0; n < kSubbands; ++n) {
        s.report.energyDb[n] = toDb(s.lastEnergy[n]);
        s.report.thresholdDb[n] = toDb(s.lastMask[n]);
        s.report.tonality[n] = s.lastTonality[n];
    }
    return s.report;
}

int PsychoModel2::partitionCount() const { return s_->parts; }

void PsychoModel2::analyse(const float* samples1152, float smrDb[32]) {
    State& s = *s_;

    // 1. Windowed input: 176 samples of history, 848 of this frame.
    for (int i = 0; i < kHistory; ++i) s.windowed[i] = s.previous[i] * s.window[i];
    for (int i = 0; i < kFromFrame; ++i) s.windowed[kHistory + i] = sanitize(samples1152[i]) * s.window[kHistory + i];
    for (int i = 0; i < kHistory; ++i) s.previous[i] = sanitize(samples1152[kFrame - kHistory + i]);
    s.fft.transform(s.windowed, s.re, s.im);

    // 2. Energy and unpredictability per line. The predicted phase
    // 2 f1 - f2 is formed with unit phasors: u1 * u1 * conj(u2).
    const float* __restrict re = s.re;
    const float* __restrict im = s.im;
    float* __restrict energy = s.energy;
    float* __restrict unpred = s.unpred;
    float* __restrict mag1 = s.mag1;
    float* __restrict mag2 = s.mag2;
    float* __restrict ph1Re = s.ph1Re;
    float* __restrict ph1Im = s.ph1Im;
    float* __restrict ph2Re = s.ph2Re;
    float* __restrict ph2Im = s.ph2Im;
    for (int w = 0; w < kLines; ++w) {
        float xr = re[w], xi = im[w];
        float e = xr * xr + xi * xi;
        float r = std::sqrt(e);
        float rPred = 2.0f * mag1[w] - mag2[w];
        float u1r = ph1Re[w], u1i = ph1Im[w], u2r = ph2Re[w], u2i = ph2Im[w];
        float sqr = u1r * u1r - u1i * u1i, sqi = 2.0f * u1r * u1i;
        float pr = sqr * u2r + sqi * u2i;
        float pi = sqi * u2r - sqr * u2i;
        float dr = xr - rPred * pr, di = xi - rPred * pi;
        // A line that is zero now and was predicted zero has d = 0 and no
        // energy to weight it, so the tiny term only keeps 0 / 0 away.
        float c = std::sqrt(dr * dr + di * di) / (r + std::fabs(rPred) + 1.0e-30f);
        energy[w] = e;
        unpred[w] = c < 1.0f ? c : 1.0f;

        mag2[w] = mag1[w];
        ph2Re[w] = u1r;
        ph2Im[w] = u1i;
        mag1[w] = r;
        // A silent line keeps phase 0, as atan2(0, 0) would give.
        // (Written without branches so that the loop vectorises.)
        float live = r > 0.0f ? 1.0f : 0.0f;
        float inv = live / (r + 1.0e-30f);
        ph1Re[w] = xr * inv + (1.0f - live);
        ph1Im[w] = xi * inv;
    }

    // 3. Sums per partition.
    for (int b = 0; b < s.parts; ++b) {
        float e = 0.0f, c = 0.0f;
        for (int w = s.partStart[b]; w < s.partStart[b + 1]; ++w) {
            e += s.energy[w];
            c += s.energy[w] * s.unpred[w];
        }
        s.eb[b] = e;
        s.cb[b] = c;
    }

    // 4-5. Spreading, tonality, required SNR, threshold per partition.
    for (int b = 0; b < s.parts; ++b) {
        const float* row = s.spread.data() + static_cast<size_t>(b) * s.parts;
        float ecb = 0.0f, ct = 0.0f;
        for (int m = s.spreadLo[b]; m <= s.spreadHi[b]; ++m) {
            ecb += s.eb[m] * row[m];
            ct += s.cb[m] * row[m];
        }
        float tb = 0.0f;
        if (ecb > 0.0f) {
            float ratio = ct / ecb;
            tb = ratio > 1.0e-30f ? -0.299f - 0.43f * std::log(ratio) : 1.0f;
            tb = std::clamp(tb, 0.0f, 1.0f);
        }
        s.tonal[b] = tb;
        float snr = std::max(s.minSnrDb[b], tb * s.tmnDb[b] + (1.0f - tb) * static_cast<float>(kNmtDb));
        float bc = std::pow(10.0f, -0.1f * snr);
        s.thrPart[b] = ecb * s.spreadNorm[b] * bc * s.invLines[b];
    }

    // 6. Threshold per line.
    for (int w = 0; w < kLines; ++w) s.lineThr[w] = std::max(s.thrPart[s.partOfLine[w]], s.absThr[w]);

    // 7. Signal-to-mask ratio per subband.
    for (int n = 0; n < kSubbands; ++n) {
        int lo = n * kLinesPerSubband, hi = lo + kLinesPerSubband - 1;
        double e = 0.0, tonalSum = 0.0, thrSum = 0.0;
        float thrMin = s.lineThr[lo];
        for (int w = lo; w <= hi; ++w) {
            e += s.energy[w];
            tonalSum += static_cast<double>(s.energy[w]) * s.tonal[s.partOfLine[w]];
            thrSum += s.lineThr[w];
            thrMin = std::min(thrMin, s.lineThr[w]);
        }
        double mask = s.partOfLine[lo] == s.partOfLine[hi] ? thrSum : double(thrMin) * kLinesPerSubband;
        // The mask is at least the threshold in quiet, so the ratio is finite;
        // the energy floor keeps silence at a finite level.
        float ratio = static_cast<float>(std::max(e, 1.0e-3) / mask);
        smrDb[n] = std::clamp(10.0f * std::log10(ratio), -kSmrLimitDb, kSmrLimitDb);
        s.lastEnergy[n] = e;
        s.lastMask[n] = mask;
        s.lastTonality[n] = e > 0.0 ? static_cast<float>(tonalSum / e) : 0.0f;
    }
}

}  // namespace qoro::mp2enc
