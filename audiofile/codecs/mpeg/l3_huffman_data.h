// Raw Layer III Huffman code tables; the decoder builds its lookup tables
// from these once.
#pragma once

#include <cstdint>

namespace qoro::mpeg::detail {

struct HuffmanSource {
    const uint16_t* codes;   // code word per symbol (right-aligned)
    const uint8_t* lengths;  // code length per symbol
    int size;                // big values: symbols per row (table is size x size); count1: 16
    int linbits;
};

// Indexed by table_select (0..31). Entries 0, 4 and 14 have no codes.
extern const HuffmanSource kBigValueSources[32];
// Count1 tables A (0) and B (1).
extern const HuffmanSource kCount1Sources[2];

}  // namespace qoro::mpeg::detail
