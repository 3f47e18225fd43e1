// Dialogic ADPCM ("VOX"): 4-bit codes over a 12-bit signal, 49 step sizes,
// two codes per byte with the first sample in the high nibble. The decoder
// lets the previous value leak by 1/32 per sample, which keeps a long run of
// small codes from drifting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qoro::audiofile::g72x {

// The coder state: predicted value x (-2048..2047) and step index i (0..48).
struct VoxCoderState {
    int16_t x = 0;
    int16_t i = 0;
};

inline void resetVox(VoxCoderState& s) { s = VoxCoderState{}; }

// One code (low four bits of `code`) to one 16-bit sample.
int16_t voxDecodeCode(VoxCoderState& s, unsigned code);
// One 16-bit sample to one 4-bit code; the state follows the decoder.
unsigned voxEncodeSample(VoxCoderState& s, int16_t sample);

// Decodes every byte of `codes` into two samples at `out` (room for
// 2 × codes.size() samples). Returns the bytes of PCM written (4 per byte).
size_t voxDecode(VoxCoderState& s, std::span<const uint8_t> codes, int16_t* out);

// Encodes samples in pairs into bytes at `out` (room for samples.size() / 2
// bytes); an odd last sample is not coded. Returns the bytes written.
size_t voxEncode(VoxCoderState& s, std::span<const int16_t> samples, uint8_t* out);

}  // namespace qoro::audiofile::g72x
