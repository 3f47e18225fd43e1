// What both components know about AIFF and AIFF-C files: the "COMM" chunk
// (channels, frames, sample size, the 80-bit extended sample rate and, in
// AIFF-C, the compression type and name), the sample encodings we read, and
// the "SSND" chunk's header. The chunks themselves are walked with riff::File
// (a "FORM" file has big-endian sizes).
//
//   #include "aiff/aiff.h"          (target qoro_common_aiff)
//
//   aiff::Comm comm;
//   if (!aiff::parseComm(bytesOfComm, form.formType == aiff::kAifc, comm)) ...  // damaged
//   auto enc = aiff::encodingOf(comm);   // nullopt: a compression we do not decode
//   uint32_t frameBytes = aiff::frameBytes(comm);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "riff/riff.h"

namespace qoro::aiff {

// Form types and chunk ids.
inline constexpr riff::FourCC kAiff = riff::fourcc("AIFF");
inline constexpr riff::FourCC kAifc = riff::fourcc("AIFC");
inline constexpr riff::FourCC kComm = riff::fourcc("COMM");
inline constexpr riff::FourCC kSsnd = riff::fourcc("SSND");
inline constexpr riff::FourCC kFver = riff::fourcc("FVER");
// Core Audio's channel layout: which speaker each channel feeds.
inline constexpr riff::FourCC kChan = riff::fourcc("CHAN");

// AIFF-C compression types whose samples we read.
inline constexpr riff::FourCC kNone = riff::fourcc("NONE");  // big-endian two's complement
inline constexpr riff::FourCC kTwos = riff::fourcc("twos");  // the same
inline constexpr riff::FourCC kSowt = riff::fourcc("sowt");  // little-endian two's complement
inline constexpr riff::FourCC kRaw = riff::fourcc("raw ");   // 8-bit offset binary (unsigned)
inline constexpr riff::FourCC kFl32 = riff::fourcc("fl32");  // big-endian IEEE float
inline constexpr riff::FourCC kFL32 = riff::fourcc("FL32");
inline constexpr riff::FourCC kFl64 = riff::fourcc("fl64");  // big-endian IEEE double
inline constexpr riff::FourCC kFL64 = riff::fourcc("FL64");

// Bytes of a plain AIFF "COMM" chunk; an AIFF-C one adds the compression type
// and a Pascal-string name. The frame count lies at kCommFramesOffset.
inline constexpr size_t kCommSize = 18;
inline constexpr size_t kAifcCommMinSize = 22;
inline constexpr size_t kCommFramesOffset = 2;
// "SSND" starts with offset and blockSize (4 bytes each); the samples follow
// after `offset` further bytes.
inline constexpr size_t kSoundHeaderSize = 8;

// The "COMM" chunk.
struct Comm {
    uint16_t channels = 0;
    uint32_t frames = 0;               // sample frames
    uint16_t bits = 0;                 // sample size as stored (for floats: as the writer put it)
    double rate = 0;                   // frames per second
    riff::FourCC compression = kNone;  // kNone for plain AIFF
    std::string compressionName;       // AIFF-C's Pascal string, as stored (Latin-1 / Mac Roman)
    bool aifc = false;                 // an "AIFC" form
};

// How the samples are stored. Integers are left-justified in
// bytesPerSample(); floats are big-endian.
enum class Encoding { BigEndianInt, LittleEndianInt, Float32, Float64, OffsetBinary8 };

// The encoding of comm's samples; nullopt for a compression we do not decode
// (ima4, ulaw, alaw, MAC3/MAC6, ...) or an integer sample size outside 1..32
// ("raw " only of 8 bits). Plain AIFF is BigEndianInt.
std::optional<Encoding> encodingOf(const Comm& comm);

// Bytes of one sample of one channel (1..8), and of one frame; 0 when comm
// has no encoding we decode.
uint32_t bytesPerSample(const Comm& comm);
uint32_t frameBytes(const Comm& comm);

// Reads a "COMM" chunk's data (aifc: the form type is "AIFC"). False when it
// is too short or holds what no file can: channels 0, a sample rate that is
// not finite and > 0, an integer sample size outside 1..32. An unknown
// compression type is not a failure (see encodingOf). An AIFF-C "COMM" cut
// short after the 18 bytes of AIFF is taken as not compressed.
bool parseComm(std::span<const uint8_t> data, bool aifc, Comm& out);

// Bytes of a "COMM" chunk for comm: 18 for AIFF, for AIFF-C the compression
// type and its name follow (the Pascal string padded to an even length).
std::vector<uint8_t> makeComm(const Comm& comm);

// The "SSND" chunk's header.
struct SoundHeader {
    uint32_t offset = 0;     // bytes between the header and the first sample frame
    uint32_t blockSize = 0;  // alignment the writer used; 0 for none
};
// False when data holds fewer than kSoundHeaderSize bytes.
bool parseSoundHeader(std::span<const uint8_t> data, SoundHeader& out);

// A "CHAN" chunk's speakers as WAV's channel mask, when it names them by a
// bitmap (layout tag "use channel bitmap", whose bits are WAV's) or by a
// layout whose channels stand in WAV's order (ffmpeg's "MPEG 5.1 A");
// nullopt for any other layout or a chunk of fewer than 12 bytes.
std::optional<uint32_t> parseChanBitmap(std::span<const uint8_t> data);
// A "CHAN" chunk naming the channels by WAV's channel mask (12 bytes).
std::vector<uint8_t> makeChan(uint32_t mask);

// The 80-bit IEEE 754 extended-precision number (big-endian: sign and
// 15-bit exponent, then a 64-bit mantissa with explicit integer bit) of the
// sample rate. Exact for every integer rate. fromExtended gives +-infinity for
// an exponent of all ones (NaN when the mantissa says so) and 0 for zero.
double fromExtended(const uint8_t (&b)[10]);
void toExtended(double value, uint8_t (&b)[10]);

// Big-endian numbers as AIFF stores them.
inline uint16_t readBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t readBE32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void writeBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void writeBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace qoro::aiff
