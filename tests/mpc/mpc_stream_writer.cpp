#include "mpc_stream_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "codecs/dsp/polyphase.h"
#include "mpc_tables.h"

namespace qoro::mpc::testing {
namespace {

namespace t = qoro::mpc::tables;

void putCode(const t::CodeTable& table, int symbol, std::vector<uint8_t>& out) {
    const t::Code& c = table.codes[size_t(symbol + table.offset)];
    for (int i = c.length - 1; i >= 0; --i) out.push_back(uint8_t((c.bits >> i) & 1));
}

void putBits(uint32_t value, int bits, std::vector<uint8_t>& out) {
    for (int i = bits - 1; i >= 0; --i) out.push_back(uint8_t((value >> i) & 1));
}

constexpr int kRegionA[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17};
constexpr int kRegionB[8] = {0, 1, 2, 3, 4, 5, 6, 17};
constexpr int kRegionC[4] = {0, 1, 2, 17};

int regionIndex(int band, int res) {
    const int* list = band <= 10 ? kRegionA : band <= 22 ? kRegionB : kRegionC;
    const int count = band <= 10 ? 16 : band <= 22 ? 8 : 4;
    for (int i = 0; i < count; ++i)
        if (list[i] == res) return i;
    return -1;
}

int levels(int res) { return res <= 4 ? 2 * res + 1 : (1 << (res - 1)) - 1; }
int maxQ(int res) { return (levels(res) - 1) / 2; }

// Scale factors of the transmission index: which of the three are sent.
bool sent(int scfi, int part) {
    switch (scfi) {
    case 0: return true;
    case 1: return part != 2;
    case 2: return part != 1;
    default: return part == 0;
    }
}

}  // namespace

StreamWriter::StreamWriter(const StreamShape& shape) : shape_(shape) {}

void StreamWriter::addFrame(const FrameContent& f, int padBits) {
    std::vector<uint8_t> body;
    const bool v7 = shape_.version == 7;
    int used = 0;
    for (int n = 0; n <= shape_.maxBand; ++n) {
        if (v7) {
            for (int ch = 0; ch < 2; ++ch) {
                const int r = f.res[ch][n];
                if (n == 0) {
                    putBits(uint32_t(r), 4, body);
                } else {
                    const int d = r - f.res[ch][n - 1];
                    if (d >= -5 && d <= 3) {
                        putCode(t::sv7Resolution(), d, body);
                    } else {
                        if (r < 0 || r > 15) throw std::invalid_argument("resolution cannot be coded");
                        putCode(t::sv7Resolution(), 4, body);
                        putBits(uint32_t(r), 4, body);
                    }
                }
            }
            if (f.res[0][n] || f.res[1][n]) {
                used = n + 1;
                if (shape_.msStereo) putBits(f.ms[n], 1, body);
            }
        } else {
            putCode(t::sv46ResolutionIndex(n), regionIndex(n, f.res[0][n]), body);
            if (shape_.msStereo) putBits(f.ms[n], 1, body);
            putCode(t::sv46ResolutionIndex(n), regionIndex(n, f.res[1][n]), body);
            if (f.res[0][n] || f.res[1][n]) used = n + 1;
        }
    }
    // Versions 4 to 6: differential scale factors when every step fits.
    bool diff[2][32] = {};
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) {
            if (!f.res[ch][n]) continue;
            if (v7) {
                putCode(t::sv7Scfi(), f.scfi[ch][n], body);
            } else {
                int prev = lastScf_[ch][n];
                bool fits = true;
                for (int p = 0; p < 3; ++p)
                    if (sent(f.scfi[ch][n], p)) {
                        fits = fits && std::abs(f.scf[ch][n][p] - prev) <= 6;
                        prev = f.scf[ch][n][p];
                    }
                diff[ch][n] = fits;
                putCode(t::sv46ScfiBundle(), f.scfi[ch][n] * 2 + (fits ? 1 : 0), body);
            }
        }
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) {
            if (!f.res[ch][n]) continue;
            int prev = lastScf_[ch][n];
            for (int p = 0; p < 3; ++p) {
                if (!sent(f.scfi[ch][n], p)) continue;
                const int v = f.scf[ch][n][p];
                const int d = v - prev;
                if (v7) {
                    if (d >= -7 && d <= 7) {
                        putCode(t::sv7ScaleDiff(), d, body);
                    } else {
                        putCode(t::sv7ScaleDiff(), 8, body);
                        putBits(uint32_t(v), 6, body);
                    }
                } else if (diff[ch][n]) {
                    putCode(t::sv46ScaleDiff(), d, body);
                } else {
                    putBits(uint32_t(v), 6, body);
                }
                prev = v;
            }
            lastScf_[ch][n] = f.scf[ch][n][2];
        }
    for (int n = 0; n < used; ++n)
        for (int ch = 0; ch < 2; ++ch) {
            const int r = f.res[ch][n];
            const int* q = f.q[ch][n];
            if (r <= 0) continue;
            if (r >= 8) {
                for (int k = 0; k < 36; ++k) putBits(uint32_t(q[k] + maxQ(r)), r - 1, body);
            } else if (v7) {
                putBits(0, 1, body);  // first of the two tables
                const t::CodeTable& table = t::sv7Samples(r, 0);
                if (r == 1) {
                    for (int k = 0; k < 36; k += 3)
                        putCode(table, (q[k] + 1) + 3 * (q[k + 1] + 1) + 9 * (q[k + 2] + 1), body);
                } else if (r == 2) {
                    for (int k = 0; k < 36; k += 2) putCode(table, (q[k] + 2) + 5 * (q[k + 1] + 2), body);
                } else {
                    for (int k = 0; k < 36; ++k) putCode(table, q[k], body);
                }
            } else {
                for (int k = 0; k < 36; ++k) putCode(t::sv46Samples(r), q[k], body);
            }
        }
    starts_.push_back(frames_.size());
    putBits(uint32_t(body.size() + size_t(padBits)), 20, frames_);
    frames_.insert(frames_.end(), body.begin(), body.end());
    for (int i = 0; i < padBits; ++i) frames_.push_back(0);
}

std::vector<uint8_t> StreamWriter::bytes(long headerFrames) const {
    const uint32_t frames = headerFrames < 0 ? uint32_t(starts_.size()) : uint32_t(headerFrames);
    std::vector<uint8_t> bits;
    if (shape_.version == 7) {
        putBits(0x072B504Du, 32, bits);  // "MP+", version 7
        putBits(frames, 32, bits);
        putBits((uint32_t(shape_.msStereo) << 30) | (uint32_t(shape_.maxBand) << 24) | shape_.peak, 32, bits);
        bits.insert(bits.end(), 32 * 3 + 8, uint8_t(0));
    } else {
        const uint32_t word0 = (uint32_t(shape_.msStereo) << 21) | (uint32_t(shape_.version) << 11) |
                               (uint32_t(shape_.maxBand) << 6) | 1u;  // block size 1
        putBits(word0, 32, bits);
        // Versions 4 and 5 store one frame more than they hold.
        const uint32_t stored = shape_.version < 6 ? frames + 1 : frames;
        putBits(stored, shape_.version == 4 ? 16 : 32, bits);
    }
    bits.insert(bits.end(), frames_.begin(), frames_.end());
    while (bits.size() % 32) bits.push_back(0);
    std::vector<uint8_t> out(bits.size() / 8);
    for (size_t w = 0; w < bits.size() / 32; ++w) {
        uint32_t v = 0;
        for (int i = 0; i < 32; ++i) v = (v << 1) | bits[w * 32 + size_t(i)];
        for (int b = 0; b < 4; ++b) out[w * 4 + size_t(b)] = uint8_t(v >> (8 * b));
    }
    return out;
}

FrameContent randomFrame(std::mt19937& rng, const StreamShape& shape, bool noise) {
    FrameContent f;
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int ch = 0; ch < 2; ++ch)
        for (int n = 0; n <= shape.maxBand; ++n) {
            int r = 0;
            if (shape.version == 7) {
                const int prev = n ? f.res[ch][n - 1] : 0;
                if (n == 0) {
                    r = uni(0, 15);
                } else if (uni(0, 3) == 0) {
                    r = uni(0, 15);  // escape
                } else {
                    r = std::min(17, prev + uni(-5, 3));
                }
                if (r < 0) r = noise ? -1 : 0;
                if (uni(0, 4) == 0) r = 0;
            } else {
                const int count = n <= 10 ? 16 : n <= 22 ? 8 : 4;
                const int* list = n <= 10 ? kRegionA : n <= 22 ? kRegionB : kRegionC;
                r = uni(0, 4) == 0 ? 0 : list[uni(0, count - 1)];
            }
            f.res[ch][n] = r;
            f.scfi[ch][n] = uni(0, 3);
            int s0 = uni(20, 63);
            int s1 = std::clamp(s0 + uni(-8, 8), 20, 63);
            int s2 = std::clamp(s1 + uni(-8, 8), 20, 63);
            switch (f.scfi[ch][n]) {
            case 1: s2 = s1; break;
            case 2: s1 = s0; break;
            case 3: s1 = s2 = s0; break;
            default: break;
            }
            f.scf[ch][n][0] = s0;
            f.scf[ch][n][1] = s1;
            f.scf[ch][n][2] = s2;
            if (r > 0)
                for (int k = 0; k < 36; ++k) f.q[ch][n][k] = uni(-maxQ(r), maxQ(r));
        }
    // Version 7 sends the flag of used bands only; versions 4 to 6 of every band.
    for (int n = 0; n <= shape.maxBand; ++n)
        f.ms[n] = shape.msStereo && (f.res[0][n] || f.res[1][n] || shape.version < 7) && uni(0, 1);
    return f;
}

std::vector<int16_t> expectedPcm(const StreamShape&, const std::vector<FrameContent>& frames) {
    qoro::dsp::PolyphaseSynthesis synth[2];
    std::vector<int16_t> pcm;
    std::vector<int16_t> block(1152 * 2);
    for (size_t i = 0; i < frames.size(); ++i) {
        const FrameContent& f = frames[i];
        float sb[2][36][32] = {};
        for (int n = 0; n < 32; ++n) {
            for (int ch = 0; ch < 2; ++ch) {
                const int r = f.res[ch][n];
                if (r <= 0) continue;
                for (int k = 0; k < 36; ++k) {
                    // A quantised value q of L levels stands for q * 2 / L of the
                    // scale factor; index 1 is full scale, each step 100/63 dB less.
                    const double scale = std::pow(10.0, -(100.0 / 63.0) * (f.scf[ch][n][k / 12] - 1) / 20.0);
                    sb[ch][k][n] = float(f.q[ch][n][k] * 2.0 / levels(r) * scale);
                }
            }
            if (f.ms[n])
                for (int k = 0; k < 36; ++k) {
                    const float m = sb[0][k][n], s = sb[1][k][n];
                    sb[0][k][n] = m + s;
                    sb[1][k][n] = m - s;
                }
        }
        for (int ch = 0; ch < 2; ++ch)
            for (int k = 0; k < 36; ++k) synth[ch].run(sb[ch][k], block.data() + k * 64 + ch, 2);
        pcm.insert(pcm.end(), block.begin() + (i == 0 ? 962 : 0), block.end());
    }
    return pcm;
}

}  // namespace qoro::mpc::testing
