// The telephony coders as a file engine drives them. A headerless VOX,
// G.721, G.723 or G.726 file is a bare stream of codes; its PCM form is
// 16-bit mono at a rate the caller configured (nothing in the file says it).
// This class owns the coder state of one open file and does the byte
// arithmetic between the file ("source" bytes) and its PCM form ("PCM"
// bytes, 2 per sample):
//
//   TelephonyCodec codec(TelephonyCodec::Format::G726, 2);   // 16 kbit/s
//   codec.decodedFor(1000);           // 8000 PCM bytes
//   std::vector<uint8_t> pcm;
//   codec.decode(fileBytes, pcm);     // appends the decoded samples
//   codec.encode(pcmBytes, n, codes); // appends whole code bytes
//
// Reading hands decode() source amounts in whole units (sourceUnit()), so a
// code never straddles two calls. Writing keeps the codes of a partly filled
// byte (and the odd sample of a VOX pair) for the next call; what is still
// pending when the file is closed is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "g72x_coder.h"
#include "vox_coder.h"

namespace qoro::audiofile::g72x {

class TelephonyCodec {
public:
    enum class Format { Vox, G721, G723, G726 };

    // `bits` is the code width for G.723 (3 or 5) and G.726 (2 to 5); VOX and
    // G.721 always use 4. An unusable width leaves the codec invalid.
    TelephonyCodec(Format format, int bits);

    bool valid() const { return bits_ != 0; }
    Format format() const { return format_; }
    int bits() const { return bits_; }

    // Back to the initial coder state (file opened or created); forgets
    // pending write data.
    void reset();

    // PCM bytes the whole codes in `sourceBytes` decode into.
    uint64_t decodedFor(uint64_t sourceBytes) const;
    // Source bytes holding the codes of `pcmBytes` (rounded down to whole
    // units).
    uint64_t sourceFor(uint64_t pcmBytes) const;
    // Smallest source amount holding a whole number of codes: 1 byte, or
    // 3 and 5 bytes for 3- and 5-bit codes.
    uint64_t sourceUnit() const { return bits_ == 3 || bits_ == 5 ? static_cast<uint64_t>(bits_) : 1; }

    // A seek to PCM byte `pcmOffset`: returns the file offset to read from
    // next (whole units); the PCM position that matches is
    // decodedFor(returned offset). The Dialogic state starts afresh at every
    // seek; the G.72x state carries on.
    uint64_t seekTo(uint64_t pcmOffset);

    // Decodes `source` (from the first bit of its first byte) and appends
    // the PCM bytes (little-endian 16-bit). Returns the number appended.
    size_t decode(std::span<const uint8_t> source, std::vector<uint8_t>& pcm);

    // Encodes `bytes` of PCM (16-bit little-endian, mono; an odd last byte is
    // ignored) and appends the code bytes that are complete. Returns the
    // number appended.
    size_t encode(const uint8_t* pcm, size_t bytes, std::vector<uint8_t>& codes);

    // Samples given to encode() whose codes are not written yet.
    size_t pendingSamples() const;

private:
    Format format_;
    int bits_ = 0;
    VoxCoderState vox_;
    G72xState g72x_;
    BitCarry carry_;
    bool haveOddSample_ = false;  // VOX: first sample of an incomplete pair
    int16_t oddSample_ = 0;
    std::vector<int16_t> scratch_;
};

}  // namespace qoro::audiofile::g72x
