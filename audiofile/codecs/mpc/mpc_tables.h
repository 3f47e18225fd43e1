// The code tables and quantiser constants of the MPEG Plus format, stream
// versions 4 to 7, and the lookup decoders built from them.
//
// Every code table lists, for each symbol index 0..n-1, its code word (right
// aligned) and its length in bits. The symbol value is the index minus the
// table's offset. The tables are shared by the decoder and by anything that
// has to write such streams.
#pragma once

#include <cstdint>
#include <span>

namespace qoro::mpc::tables {

struct Code {
    uint16_t bits;
    uint8_t length;
};

struct CodeTable {
    std::span<const Code> codes;
    int offset;  // symbol value = index - offset
};

// --- Stream version 7 ------------------------------------------------------
// Resolution difference of a band against the band below; the value 4 is an
// escape followed by a 4-bit resolution.
const CodeTable& sv7Resolution();
// Scale-factor transmission index, 0..3.
const CodeTable& sv7Scfi();
// Scale-factor difference against the previous one; 8 is an escape followed
// by a 6-bit scale factor.
const CodeTable& sv7ScaleDiff();
// Quantised samples of resolutions 1..7, two alternative tables each (chosen
// by one bit per band). Resolution 1 codes three samples per code word,
// resolution 2 two.
const CodeTable& sv7Samples(int resolution, int choice);

// --- Stream versions 4 to 6 ------------------------------------------------
// Resolution index of band 'band' (three regions: 0-10, 11-22, 23-31),
// mapped to a resolution through sv46Resolution().
const CodeTable& sv46ResolutionIndex(int band);
int sv46Resolution(int band, int index);
// Scale-factor transmission index and difference flag in one code word:
// value = scfi * 2 + flag.
const CodeTable& sv46ScfiBundle();
// Scale-factor difference, -6..6.
const CodeTable& sv46ScaleDiff();
// Quantised samples of resolutions 1..7, one sample per code word.
const CodeTable& sv46Samples(int resolution);

// --- Requantisation -------------------------------------------------------
// Offset of the raw sample codes of resolutions 8..17 (and the symbol offset
// of the sample tables of resolutions 1..7): (levels - 1) / 2, rounded down.
int sampleOffset(int resolution);
// Step of resolution -1..17 in 1/32768 of the scale factor: 65536 / levels;
// resolution -1 (noise) gives the step that makes the noise's level that of
// the scale factor.
float stepSize(int resolution);
// Scale factor of index 'scf', wrapped to -128..127: 1.0 at index 1, each
// step 100/63 dB lower.
float scaleFactor(int scf);

// A table-driven decoder of one code table: peek 'maxLength' bits, look up
// the symbol and the number of bits it used.
struct Lookup {
    int maxLength = 0;
    const int16_t* symbol = nullptr;  // 1 << maxLength entries
    const uint8_t* length = nullptr;  // 0 marks bits that start no code word
};
const Lookup& lookup(const CodeTable& table);

}  // namespace qoro::mpc::tables
