// Tables shared by the Layer II decoder and encoder: the bit allocation
// tables (ISO/IEC 11172-3 tables 3-B.2a..d, ISO/IEC 13818-3 table B.1 for the
// low sample rates) and the 512-tap window of the polyphase filter banks.
#pragma once

#include <cstdint>

namespace qoro::mpeg {

// One Layer II allocation table: for each coded subband the width of its
// allocation field and the number of quantisation levels of each code.
struct Layer2AllocTable {
    int sblimit = 0;                  // subbands coded
    uint8_t nbal[32] = {};            // allocation field width (bits)
    const uint16_t* levels[32] = {};  // levels[sb][code]; 0 = not coded
};

// The table a frame uses: version 1 = MPEG-1 (chosen by sampling index and
// bitrate per channel), anything else = the single low-sample-rate table.
const Layer2AllocTable& layer2AllocTable(int version, int samplingIndex, int bitrateKbps, int channels);

// 3, 5 and 9 levels code three samples as one grouped code word.
inline bool layer2Grouped(int levels) { return levels == 3 || levels == 5 || levels == 9; }
// Bits of one code word at `levels` levels: the grouped word of three
// samples, or one sample's bits.
int layer2CodeBits(int levels);
// Number of bits one group of three samples takes at `levels` levels.
inline int layer2GroupBits(int levels) {
    return layer2Grouped(levels) ? layer2CodeBits(levels) : 3 * layer2CodeBits(levels);
}

// Synthesis window D[i] (i = 0..511) in units of 2^-16. The analysis window is
// C[i] = D[i] / 32.
int32_t polyphaseWindow(int i);

// The factors of the fast 32-point cosine transform both filter banks use
// (split into halves down to 2 points): 1 / (2 cos((2k + 1) pi / 2n)) for
// k < n / 2, n = 32, 16, 8, 4 or 2.
const float* polyphaseDctScales(int n);

}  // namespace qoro::mpeg
