// Code tables and quantiser constants of the MPEG Plus format. The values are
// the format's published data, transcribed in this file's own layout.
#include "mpc_tables.h"

#include <array>
#include <cmath>
#include <vector>

namespace qoro::mpc::tables {
namespace {

// --- Stream version 7 ------------------------------------------------------

constexpr Code kSv7Resolution[10] = {
    {0x5C, 8}, {0x2F, 7}, {0x0A, 5}, {0x04, 4}, {0x00, 2}, {0x01, 1}, {0x03, 3}, {0x16, 6}, {0xBB, 9}, {0xBA, 9},
};

constexpr Code kSv7Scfi[4] = {{0x2, 3}, {0x1, 1}, {0x3, 3}, {0x0, 2}};

constexpr Code kSv7ScaleDiff[16] = {
    {0x20, 6}, {0x04, 5}, {0x11, 5}, {0x1E, 5}, {0x0D, 4}, {0x00, 3}, {0x03, 3}, {0x09, 4},
    {0x05, 3}, {0x02, 3}, {0x0E, 4}, {0x03, 4}, {0x1F, 5}, {0x05, 5}, {0x21, 6}, {0x0C, 4},
};

// Resolution 1: 27 code words for three samples (-1..1 each).
constexpr Code kSv7Q1a[27] = {
    {0x0036, 6}, {0x0009, 5}, {0x0020, 6}, {0x0005, 5}, {0x000A, 4}, {0x0007, 5}, {0x0034, 6}, {0x0000, 5}, {0x0023, 6},
    {0x000A, 5}, {0x0006, 4}, {0x0004, 5}, {0x000B, 4}, {0x0007, 3}, {0x000C, 4}, {0x0003, 5}, {0x0007, 4}, {0x000B, 5},
    {0x0022, 6}, {0x0001, 5}, {0x0035, 6}, {0x0006, 5}, {0x0009, 4}, {0x0002, 5}, {0x0021, 6}, {0x0008, 5}, {0x0037, 6},
};
constexpr Code kSv7Q1b[27] = {
    {0x0067, 8}, {0x003E, 7}, {0x00E1, 9}, {0x0037, 7}, {0x0003, 4}, {0x0034, 7}, {0x0065, 8}, {0x003C, 7}, {0x00E3, 9},
    {0x0018, 6}, {0x0000, 4}, {0x003D, 7}, {0x0004, 4}, {0x0001, 1}, {0x0005, 4}, {0x003F, 7}, {0x0001, 4}, {0x003B, 7},
    {0x00E2, 9}, {0x0039, 7}, {0x0064, 8}, {0x0035, 7}, {0x0002, 4}, {0x0036, 7}, {0x00E0, 9}, {0x003A, 7}, {0x0066, 8},
};
// Resolution 2: 25 code words for two samples (-2..2 each).
constexpr Code kSv7Q2a[25] = {
    {0x0059, 7}, {0x002F, 6}, {0x000F, 5}, {0x0000, 5}, {0x005B, 7}, {0x0004, 5}, {0x0006, 4}, {0x000D, 4}, {0x0004, 4},
    {0x0005, 5}, {0x0014, 5}, {0x000C, 4}, {0x0004, 3}, {0x000F, 4}, {0x000E, 5}, {0x0003, 5}, {0x0003, 4}, {0x000E, 4},
    {0x0005, 4}, {0x0001, 5}, {0x005A, 7}, {0x0002, 5}, {0x0015, 5}, {0x002E, 6}, {0x0058, 7},
};
constexpr Code kSv7Q2b[25] = {
    {0x0399, 10}, {0x0071, 7}, {0x0033, 6}, {0x00E7, 8},  {0x039A, 10}, {0x0068, 7}, {0x001E, 5},
    {0x0000, 3},  {0x001D, 5}, {0x0069, 7}, {0x0032, 6},  {0x0001, 3},  {0x0002, 2}, {0x0003, 3},
    {0x0031, 6},  {0x006B, 7}, {0x001B, 5}, {0x0002, 3},  {0x001F, 5},  {0x0070, 7}, {0x0398, 10},
    {0x006A, 7},  {0x0030, 6}, {0x0072, 7}, {0x039B, 10},
};
constexpr Code kSv7Q3a[7] = {{0x000C, 4}, {0x0004, 3}, {0x0000, 2}, {0x0001, 2}, {0x0007, 3}, {0x0005, 3}, {0x000D, 4}};
constexpr Code kSv7Q3b[7] = {{0x0004, 5}, {0x0003, 4}, {0x0002, 2}, {0x0003, 2}, {0x0001, 2}, {0x0000, 3}, {0x0005, 5}};
constexpr Code kSv7Q4a[9] = {{0x0005, 4}, {0x0000, 3}, {0x0004, 3}, {0x0006, 3}, {0x0007, 3},
                             {0x0005, 3}, {0x0003, 3}, {0x0001, 3}, {0x0004, 4}};
constexpr Code kSv7Q4b[9] = {{0x0009, 5}, {0x000C, 4}, {0x0003, 3}, {0x0000, 2}, {0x0002, 2},
                             {0x0007, 3}, {0x000D, 4}, {0x0005, 4}, {0x0008, 5}};
constexpr Code kSv7Q5a[15] = {
    {0x0039, 6}, {0x0017, 5}, {0x0008, 4}, {0x000A, 4}, {0x000D, 4}, {0x0000, 3}, {0x0002, 3}, {0x0003, 3},
    {0x0001, 3}, {0x000F, 4}, {0x000C, 4}, {0x0009, 4}, {0x001D, 5}, {0x0016, 5}, {0x0038, 6},
};
constexpr Code kSv7Q5b[15] = {
    {0x00E5, 8}, {0x0038, 6}, {0x0007, 5}, {0x0002, 4}, {0x0000, 3}, {0x0003, 3}, {0x0005, 3}, {0x0006, 3},
    {0x0004, 3}, {0x0002, 3}, {0x000F, 4}, {0x001D, 5}, {0x0006, 5}, {0x0073, 7}, {0x00E4, 8},
};
constexpr Code kSv7Q6a[31] = {
    {0x0041, 7}, {0x0006, 6}, {0x002C, 6}, {0x002D, 6}, {0x003B, 6}, {0x000D, 5}, {0x0011, 5}, {0x0013, 5},
    {0x0017, 5}, {0x0015, 5}, {0x001A, 5}, {0x001E, 5}, {0x0000, 4}, {0x0002, 4}, {0x0005, 4}, {0x0007, 4},
    {0x0003, 4}, {0x0004, 4}, {0x001F, 5}, {0x001C, 5}, {0x0019, 5}, {0x001B, 5}, {0x0018, 5}, {0x0014, 5},
    {0x0012, 5}, {0x000C, 5}, {0x0002, 5}, {0x003A, 6}, {0x0021, 6}, {0x0007, 6}, {0x0040, 7},
};
constexpr Code kSv7Q6b[31] = {
    {0x1948, 13}, {0x194A, 13}, {0x0328, 10}, {0x0195, 9}, {0x00CB, 8},  {0x0066, 7},  {0x0031, 6},  {0x0009, 5},
    {0x000F, 5},  {0x001F, 5},  {0x0002, 4},  {0x0006, 4}, {0x0008, 4},  {0x000B, 4},  {0x000D, 4},  {0x0000, 3},
    {0x000E, 4},  {0x000A, 4},  {0x0009, 4},  {0x0005, 4}, {0x0003, 4},  {0x001E, 5},  {0x000E, 5},  {0x0008, 5},
    {0x0030, 6},  {0x0067, 7},  {0x00C9, 8},  {0x00C8, 8}, {0x0653, 11}, {0x1949, 13}, {0x194B, 13},
};
constexpr Code kSv7Q7a[63] = {
    {0x0067, 8}, {0x0099, 8}, {0x00B5, 8}, {0x00E9, 8}, {0x0040, 7}, {0x0041, 7}, {0x004D, 7}, {0x0051, 7}, {0x005B, 7},
    {0x0071, 7}, {0x0070, 7}, {0x0018, 6}, {0x001D, 6}, {0x0023, 6}, {0x0025, 6}, {0x0029, 6}, {0x002C, 6}, {0x002E, 6},
    {0x0033, 6}, {0x0031, 6}, {0x0036, 6}, {0x0037, 6}, {0x0039, 6}, {0x003C, 6}, {0x0000, 5}, {0x0002, 5}, {0x000A, 5},
    {0x0005, 5}, {0x0009, 5}, {0x0006, 5}, {0x000D, 5}, {0x0007, 5}, {0x000B, 5}, {0x000F, 5}, {0x0008, 5}, {0x0004, 5},
    {0x0003, 5}, {0x0001, 5}, {0x003F, 6}, {0x003E, 6}, {0x003D, 6}, {0x0035, 6}, {0x003B, 6}, {0x0034, 6}, {0x0030, 6},
    {0x002F, 6}, {0x002B, 6}, {0x002A, 6}, {0x0027, 6}, {0x0024, 6}, {0x0021, 6}, {0x001C, 6}, {0x0075, 7}, {0x0065, 7},
    {0x0064, 7}, {0x0050, 7}, {0x0045, 7}, {0x0044, 7}, {0x0032, 7}, {0x00E8, 8}, {0x00B4, 8}, {0x0098, 8}, {0x0066, 8},
};
constexpr Code kSv7Q7b[63] = {
    {0x37A4, 14}, {0x37AD, 14}, {0x37A6, 14}, {0x37AE, 14}, {0x0DEA, 12}, {0x02F0, 10}, {0x02F1, 10}, {0x00A0, 9},
    {0x00A2, 9},  {0x01BC, 9},  {0x007A, 8},  {0x00DF, 8},  {0x003C, 7},  {0x0049, 7},  {0x006E, 7},  {0x000E, 6},
    {0x0018, 6},  {0x0019, 6},  {0x0022, 6},  {0x0025, 6},  {0x0036, 6},  {0x0003, 5},  {0x0009, 5},  {0x000B, 5},
    {0x0010, 5},  {0x0013, 5},  {0x0015, 5},  {0x0018, 5},  {0x001A, 5},  {0x001D, 5},  {0x001F, 5},  {0x0002, 4},
    {0x0000, 4},  {0x001E, 5},  {0x001C, 5},  {0x0019, 5},  {0x0016, 5},  {0x0014, 5},  {0x000E, 5},  {0x000D, 5},
    {0x0008, 5},  {0x0006, 5},  {0x0002, 5},  {0x002E, 6},  {0x0023, 6},  {0x001F, 6},  {0x0015, 6},  {0x000F, 6},
    {0x005F, 7},  {0x0048, 7},  {0x0029, 7},  {0x00BD, 8},  {0x007B, 8},  {0x0179, 9},  {0x00A1, 9},  {0x037B, 10},
    {0x0147, 10}, {0x0146, 10}, {0x0DE8, 12}, {0x37AF, 14}, {0x37A7, 14}, {0x37AC, 14}, {0x37A5, 14},
};

// --- Stream versions 4 to 6 ------------------------------------------------

constexpr Code kSv46ScfiBundle[8] = {{11, 6}, {7, 5}, {6, 5}, {1, 2}, {4, 5}, {0, 3}, {10, 6}, {1, 1}};

constexpr Code kSv46RegionA[16] = {
    {2, 3},   {1, 1},   {0, 2},    {15, 5},   {29, 6},    {13, 5},    {12, 5},    {57, 7},
    {113, 8}, {225, 9}, {449, 10}, {897, 11}, {1793, 12}, {3585, 13}, {7169, 14}, {7168, 14},
};
constexpr Code kSv46RegionB[8] = {{1, 2}, {1, 1}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {0, 7}};
constexpr Code kSv46RegionC[4] = {{1, 1}, {1, 2}, {1, 3}, {0, 3}};

constexpr Code kSv46ScaleDiff[13] = {
    {20, 6}, {11, 5}, {4, 4}, {24, 5}, {11, 4}, {4, 3}, {0, 2}, {7, 3}, {3, 3}, {13, 4}, {10, 4}, {25, 5}, {21, 6},
};

constexpr Code kSv46Q1[3] = {{1, 2}, {1, 1}, {0, 2}};
constexpr Code kSv46Q2[5] = {{4, 3}, {0, 2}, {3, 2}, {1, 2}, {5, 3}};
constexpr Code kSv46Q3[7] = {{17, 5}, {5, 3}, {1, 2}, {3, 2}, {0, 2}, {9, 4}, {16, 5}};
constexpr Code kSv46Q4[9] = {{5, 4}, {14, 4}, {3, 3}, {5, 3}, {0, 2}, {6, 3}, {4, 3}, {15, 4}, {4, 4}};
constexpr Code kSv46Q5[15] = {
    {57, 6}, {23, 5}, {29, 5}, {3, 4},  {13, 4}, {15, 4}, {2, 3},  {4, 3},
    {3, 3},  {0, 3},  {12, 4}, {10, 4}, {2, 4},  {22, 5}, {56, 6},
};
constexpr Code kSv46Q6[31] = {
    {8, 7},  {88, 7}, {40, 6}, {5, 6},  {45, 6}, {56, 6}, {9, 5},  {23, 5}, {24, 5}, {27, 5}, {29, 5},
    {31, 5}, {3, 4},  {2, 4},  {7, 4},  {9, 4},  {8, 4},  {5, 4},  {6, 4},  {0, 4},  {30, 5}, {26, 5},
    {25, 5}, {21, 5}, {3, 5},  {57, 6}, {41, 6}, {17, 6}, {16, 6}, {89, 7}, {9, 7},
};
constexpr Code kSv46Q7[63] = {
    {17, 8},  {151, 8}, {212, 8}, {9, 7},  {80, 7},  {10, 7},  {11, 7},  {63, 7},  {89, 7},  {97, 7}, {107, 7},
    {126, 7}, {18, 6},  {36, 6},  {38, 6}, {42, 6},  {43, 6},  {45, 6},  {51, 6},  {50, 6},  {56, 6}, {57, 6},
    {60, 6},  {61, 6},  {6, 5},   {0, 5},  {8, 5},   {7, 5},   {14, 5},  {10, 5},  {17, 5},  {11, 5}, {16, 5},
    {5, 5},   {13, 5},  {4, 5},   {12, 5}, {1, 5},   {3, 5},   {62, 6},  {59, 6},  {55, 6},  {54, 6}, {49, 6},
    {52, 6},  {47, 6},  {46, 6},  {41, 6}, {39, 6},  {30, 6},  {19, 6},  {117, 7}, {116, 7}, {96, 7}, {88, 7},
    {74, 7},  {62, 7},  {254, 8}, {81, 7}, {255, 8}, {213, 8}, {150, 8}, {16, 8},
};

// Resolutions of the index values of the three band regions.
constexpr int8_t kSv46RegionResolutions[3][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17},
    {0, 1, 2, 3, 4, 5, 6, 17},
    {0, 1, 2, 17},
};

int regionOf(int band) { return band <= 10 ? 0 : band <= 22 ? 1 : 2; }

// Symbol offsets of the sample tables and raw sample codes, resolution 0..17.
constexpr int kSampleOffset[18] = {0, 1, 2, 3, 4, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767};

template <size_t N>
constexpr CodeTable table(const Code (&codes)[N], int offset) {
    return CodeTable{std::span<const Code>(codes, N), offset};
}

// Every code table with its lookup decoder, built once.
struct Registry {
    enum : int {
        kRes7,
        kScfi7,
        kDscf7,
        kQ7 = kDscf7 + 1,  // 14 sample tables
        kRegionA = kQ7 + 14,
        kRegionB,
        kRegionC,
        kBundle46,
        kDscf46,
        kQ46,  // 7 sample tables
        kCount = kQ46 + 7
    };
    std::array<CodeTable, kCount> tables;
    std::array<Lookup, kCount> lookups;
    std::vector<int16_t> symbols[kCount];
    std::vector<uint8_t> lengths[kCount];
    float scf[256];

    Registry() {
        tables[kRes7] = table(kSv7Resolution, 5);
        tables[kScfi7] = table(kSv7Scfi, 0);
        tables[kDscf7] = table(kSv7ScaleDiff, 7);
        const CodeTable q7[14] = {
            table(kSv7Q1a, 0),  table(kSv7Q1b, 0),  table(kSv7Q2a, 0),  table(kSv7Q2b, 0),  table(kSv7Q3a, 3),
            table(kSv7Q3b, 3),  table(kSv7Q4a, 4),  table(kSv7Q4b, 4),  table(kSv7Q5a, 7),  table(kSv7Q5b, 7),
            table(kSv7Q6a, 15), table(kSv7Q6b, 15), table(kSv7Q7a, 31), table(kSv7Q7b, 31),
        };
        for (int i = 0; i < 14; ++i) tables[kQ7 + i] = q7[i];
        tables[kRegionA] = table(kSv46RegionA, 0);
        tables[kRegionB] = table(kSv46RegionB, 0);
        tables[kRegionC] = table(kSv46RegionC, 0);
        tables[kBundle46] = table(kSv46ScfiBundle, 0);
        tables[kDscf46] = table(kSv46ScaleDiff, 6);
        const CodeTable q46[7] = {
            table(kSv46Q1, 1), table(kSv46Q2, 2),  table(kSv46Q3, 3),  table(kSv46Q4, 4),
            table(kSv46Q5, 7), table(kSv46Q6, 15), table(kSv46Q7, 31),
        };
        for (int i = 0; i < 7; ++i) tables[kQ46 + i] = q46[i];

        for (int t = 0; t < kCount; ++t) build(t);

        // Scale factors: index 1 is 1.0, each index step 100/63 dB lower.
        for (int i = 0; i < 256; ++i) {
            const int index = int(int8_t(uint8_t(i)));
            scf[i] = float(std::pow(10.0, -5.0 * double(index - 1) / 63.0));
        }
    }

    void build(int t) {
        int maxLength = 0;
        for (const Code& c : tables[t].codes) maxLength = std::max<int>(maxLength, c.length);
        const size_t size = size_t(1) << maxLength;
        symbols[t].assign(size, 0);
        lengths[t].assign(size, 0);
        for (size_t i = 0; i < tables[t].codes.size(); ++i) {
            const Code& c = tables[t].codes[i];
            const int spare = maxLength - c.length;
            const size_t first = size_t(c.bits) << spare;
            for (size_t j = 0; j < (size_t(1) << spare); ++j) {
                symbols[t][first + j] = int16_t(int(i) - tables[t].offset);
                lengths[t][first + j] = c.length;
            }
        }
        lookups[t] = Lookup{maxLength, symbols[t].data(), lengths[t].data()};
    }
};

const Registry& registry() {
    static const Registry r;
    return r;
}

}  // namespace

const CodeTable& sv7Resolution() { return registry().tables[Registry::kRes7]; }
const CodeTable& sv7Scfi() { return registry().tables[Registry::kScfi7]; }
const CodeTable& sv7ScaleDiff() { return registry().tables[Registry::kDscf7]; }
const CodeTable& sv7Samples(int resolution, int choice) {
    return registry().tables[Registry::kQ7 + 2 * (resolution - 1) + (choice & 1)];
}

const CodeTable& sv46ResolutionIndex(int band) { return registry().tables[Registry::kRegionA + regionOf(band)]; }
int sv46Resolution(int band, int index) {
    const int region = regionOf(band);
    const int count = region == 0 ? 16 : region == 1 ? 8 : 4;
    return index >= 0 && index < count ? kSv46RegionResolutions[region][index] : 0;
}
const CodeTable& sv46ScfiBundle() { return registry().tables[Registry::kBundle46]; }
const CodeTable& sv46ScaleDiff() { return registry().tables[Registry::kDscf46]; }
const CodeTable& sv46Samples(int resolution) { return registry().tables[Registry::kQ46 + resolution - 1]; }

int sampleOffset(int resolution) { return resolution >= 0 && resolution <= 17 ? kSampleOffset[resolution] : 0; }

float stepSize(int resolution) {
    static constexpr float kSteps[19] = {
        110.852097f,  // -1: noise, 32768 / RMS of the noise values (+-510 in steps of 4)
        65536.0f,     // 0 (carries no samples)
        21845.333333333332f,
        13107.2f,
        9362.285714285713f,
        7281.777777777777f,
        4369.066666666666f,
        2114.064516129032f,
        1040.253968253968f,
        516.031496062992f,
        257.003921568627f,
        128.250489236790f,
        64.062561094819f,
        32.015632633121f,
        16.003907203907f,
        8.000976681723f,
        4.000244155527f,
        2.000061037018f,
        1.000015259022f,
    };
    return resolution >= -1 && resolution <= 17 ? kSteps[resolution + 1] : 0.0f;
}

float scaleFactor(int scf) { return registry().scf[uint8_t(scf)]; }

const Lookup& lookup(const CodeTable& table) {
    const Registry& r = registry();
    return r.lookups[size_t(&table - r.tables.data())];
}

}  // namespace qoro::mpc::tables
