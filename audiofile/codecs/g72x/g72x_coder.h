// The ITU-T G.726 ADPCM algorithm on linear samples: the 2-, 3-, 4- and 5-bit
// coders (G.726 at 16, 24, 32 and 40 kbit/s; G.721 is the 4-bit coder, G.723
// the 3- and 5-bit ones). The encoder codes the 16-bit sample shifted right
// by 2 (the algorithm's 14-bit input); the decoder returns its reconstructed
// signal shifted left by 2, saturated to 16 bits. No A-law or mu-law paths,
// no synchronous coding adjustment.
//
// Packed files carry the codes least significant bit first: each code goes
// into the lowest free bits of the current byte, and a code that does not fit
// continues at bit 0 of the next byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qoro::audiofile::g72x {

// The adaptive state of one coder, with the widths and scales of the
// algorithm's fixed-point description: yl is the locked scale factor (19
// bits), dq and sr hold past values in the 11-bit floating format (sign,
// 4-bit exponent, 6-bit mantissa); pk holds the signs of the last two partial
// signals.
struct G72xState {
    int32_t yl = 34816;
    int16_t yu = 544;
    int16_t dms = 0;
    int16_t dml = 0;
    int16_t ap = 0;
    int16_t a[2] = {0, 0};
    int16_t b[6] = {0, 0, 0, 0, 0, 0};
    int16_t pk[2] = {0, 0};
    int16_t dq[6] = {32, 32, 32, 32, 32, 32};
    int16_t sr[2] = {32, 32};
    int8_t td = 0;
};

inline void resetG72x(G72xState& s) { s = G72xState{}; }

// Per-code coders for a width of 2 to 5 bits. encode returns the code in the
// low `bits` bits; decode takes the low `bits` bits of `code`.
unsigned g72xEncodeCode(G72xState& s, int bits, int16_t sample);
int16_t g72xDecodeCode(G72xState& s, int bits, unsigned code);

inline unsigned g721Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 4, v); }
inline int16_t g721Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 4, c); }
inline unsigned g723_24Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 3, v); }
inline int16_t g723_24Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 3, c); }
inline unsigned g723_40Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 5, v); }
inline int16_t g723_40Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 5, c); }
inline unsigned g726_16Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 2, v); }
inline int16_t g726_16Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 2, c); }
inline unsigned g726_24Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 3, v); }
inline int16_t g726_24Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 3, c); }
inline unsigned g726_32Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 4, v); }
inline int16_t g726_32Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 4, c); }
inline unsigned g726_40Encode(G72xState& s, int16_t v) { return g72xEncodeCode(s, 5, v); }
inline int16_t g726_40Decode(G72xState& s, unsigned c) { return g72xDecodeCode(s, 5, c); }

// Codes of a packed stream not yet written because they do not fill a byte.
struct BitCarry {
    uint32_t bits = 0;
    int count = 0;
};

// Number of whole codes `bytes` packed bytes hold.
inline uint64_t g72xCodesIn(uint64_t bytes, int bits) { return bytes * 8 / static_cast<uint64_t>(bits); }

// Decodes every whole code of `packed`, unpacking from bit 0 of its first
// byte, into samples at `out` (room for g72xCodesIn(packed.size(), bits)).
// Returns the bytes of PCM written (2 per sample).
size_t g72xDecode(G72xState& s, int bits, std::span<const uint8_t> packed, int16_t* out);

// Encodes samples and packs their codes behind those in `carry`; whole bytes
// go to `out` (room for (carry.count + samples.size() × bits) / 8 bytes), the
// bits of a partly filled last byte stay in `carry` for the next call.
// Returns the bytes written.
size_t g72xEncode(G72xState& s, int bits, std::span<const int16_t> samples, BitCarry& carry, uint8_t* out);

}  // namespace qoro::audiofile::g72x
