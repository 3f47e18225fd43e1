#include "aiff/aiff.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qoro::aiff {

namespace {

bool isFloat32(riff::FourCC c) { return c == kFl32 || c == kFL32; }
bool isFloat64(riff::FourCC c) { return c == kFl64 || c == kFL64; }
// Compressions whose samples are integers of the stored sample size.
bool isInteger(riff::FourCC c) { return c == kNone || c == kTwos || c == kSowt || c == kRaw; }

riff::FourCC fourCCAt(const uint8_t* p) { return riff::makeFourCC(p[0], p[1], p[2], p[3]); }

}  // namespace

std::optional<Encoding> encodingOf(const Comm& comm) {
    const riff::FourCC c = comm.aifc ? comm.compression : kNone;
    if (isFloat32(c)) return Encoding::Float32;
    if (isFloat64(c)) return Encoding::Float64;
    if (!isInteger(c) || comm.bits < 1 || comm.bits > 32) return std::nullopt;
    if (c == kRaw) {
        if (comm.bits != 8) return std::nullopt;
        return Encoding::OffsetBinary8;
    }
    return c == kSowt ? Encoding::LittleEndianInt : Encoding::BigEndianInt;
}

uint32_t bytesPerSample(const Comm& comm) {
    const auto enc = encodingOf(comm);
    if (!enc) return 0;
    switch (*enc) {
    case Encoding::Float32: return 4;
    case Encoding::Float64: return 8;
    case Encoding::OffsetBinary8: return 1;
    default: return (comm.bits + 7u) / 8u;
    }
}

uint32_t frameBytes(const Comm& comm) { return bytesPerSample(comm) * comm.channels; }

bool parseComm(std::span<const uint8_t> data, bool aifc, Comm& out) {
    if (data.size() < kCommSize) return false;
    const uint8_t* p = data.data();
    Comm c;
    c.aifc = aifc;
    c.channels = readBE16(p);
    c.frames = readBE32(p + kCommFramesOffset);
    c.bits = readBE16(p + 6);
    uint8_t ext[10];
    std::copy(p + 8, p + 18, ext);
    c.rate = fromExtended(ext);
    if (aifc && data.size() >= kAifcCommMinSize) {
        c.compression = fourCCAt(p + 18);
        if (data.size() > kAifcCommMinSize) {
            // The name is a Pascal string; a length beyond the chunk keeps what is there.
            const size_t len = std::min<size_t>(p[22], data.size() - kAifcCommMinSize - 1);
            c.compressionName.assign(reinterpret_cast<const char*>(p + 23), len);
        }
    }
    if (c.channels == 0 || !std::isfinite(c.rate) || c.rate <= 0) return false;
    if (isInteger(c.compression) && (c.bits < 1 || c.bits > 32)) return false;
    out = std::move(c);
    return true;
}

std::vector<uint8_t> makeComm(const Comm& comm) {
    std::vector<uint8_t> out(kCommSize);
    writeBE16(out.data(), comm.channels);
    writeBE32(out.data() + kCommFramesOffset, comm.frames);
    writeBE16(out.data() + 6, comm.bits);
    uint8_t ext[10];
    toExtended(comm.rate, ext);
    std::copy(ext, ext + 10, out.begin() + 8);
    if (comm.aifc) {
        const riff::FourCC c = comm.compression;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(c >> (8 * i)));
        const size_t len = std::min<size_t>(comm.compressionName.size(), 255);
        out.push_back(static_cast<uint8_t>(len));
        out.insert(out.end(), comm.compressionName.begin(), comm.compressionName.begin() + len);
        if ((len + 1) % 2) out.push_back(0);  // a Pascal string's count and text take an even length
    }
    return out;
}

bool parseSoundHeader(std::span<const uint8_t> data, SoundHeader& out) {
    if (data.size() < kSoundHeaderSize) return false;
    out.offset = readBE32(data.data());
    out.blockSize = readBE32(data.data() + 4);
    return true;
}

double fromExtended(const uint8_t (&b)[10]) {
    const bool negative = (b[0] & 0x80) != 0;
    const int exponent = ((b[0] & 0x7F) << 8) | b[1];
    uint64_t mantissa = 0;
    for (int i = 2; i < 10; ++i) mantissa = (mantissa << 8) | b[i];
    double value;
    if (exponent == 0x7FFF) {
        // Infinity has nothing but the integer bit in the mantissa.
        value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::quiet_NaN();
    } else {
        // value = mantissa * 2^(exponent - bias - 63); denormals use the smallest exponent.
        const int e = (exponent == 0 ? 1 : exponent) - 16383 - 63;
        value = std::ldexp(static_cast<double>(mantissa), e);
    }
    return negative ? -value : value;
}

void toExtended(double value, uint8_t (&b)[10]) {
    std::fill(b, b + 10, 0);
    const uint8_t sign = std::signbit(value) ? 0x80 : 0x00;
    int exponent = 0;
    uint64_t mantissa = 0;
    if (std::isnan(value)) {
        exponent = 0x7FFF;
        mantissa = 0xC000000000000000ull;
    } else if (std::isinf(value)) {
        exponent = 0x7FFF;
        mantissa = 0x8000000000000000ull;
    } else if (value != 0) {
        int e = 0;
        const double f = std::frexp(std::fabs(value), &e);  // f in [0.5, 1): 53 bits shift into 64 exactly
        mantissa = static_cast<uint64_t>(std::ldexp(f, 64));
        exponent = e - 1 + 16383;
    }
    b[0] = static_cast<uint8_t>(sign | ((exponent >> 8) & 0x7F));
    b[1] = static_cast<uint8_t>(exponent);
    for (int i = 0; i < 8; ++i) b[2 + i] = static_cast<uint8_t>(mantissa >> (56 - 8 * i));
}

// kAudioChannelLayoutTag_UseChannelBitmap: the bitmap says it all, no
// channel descriptions follow.
constexpr uint32_t kUseChannelBitmap = 1u << 16;

// Layout tags (number << 16 | channels) whose channels stand in WAV's
// order, with their speakers as WAV's mask (Core Audio's MPEG layouts "A").
struct NamedLayout {
    uint32_t tag;
    uint32_t mask;
};
constexpr NamedLayout kWavOrderLayouts[] = {
    {100u << 16 | 1, 0x4},    // mono: C
    {101u << 16 | 2, 0x3},    // stereo: L R
    {113u << 16 | 3, 0x7},    // MPEG 3.0 A: L R C
    {108u << 16 | 4, 0x33},   // quadraphonic: L R Ls Rs
    {117u << 16 | 5, 0x37},   // MPEG 5.0 A: L R C Ls Rs
    {121u << 16 | 6, 0x3F},   // MPEG 5.1 A: L R C LFE Ls Rs
    {125u << 16 | 7, 0x13F},  // MPEG 6.1 A: L R C LFE Ls Rs Cs
    {128u << 16 | 8, 0x63F},  // MPEG 7.1 C: L R C LFE Ls Rs Rls Rrs
};

std::optional<uint32_t> parseChanBitmap(std::span<const uint8_t> data) {
    if (data.size() < 12) return std::nullopt;
    const uint32_t tag = readBE32(data.data());
    if (tag == kUseChannelBitmap) return readBE32(data.data() + 4);
    for (const NamedLayout& l : kWavOrderLayouts)
        if (l.tag == tag) return l.mask;
    return std::nullopt;
}

std::vector<uint8_t> makeChan(uint32_t mask) {
    std::vector<uint8_t> out(12, 0);
    writeBE32(out.data(), kUseChannelBitmap);
    writeBE32(out.data() + 4, mask);
    return out;  // no channel descriptions
}

}  // namespace qoro::aiff
