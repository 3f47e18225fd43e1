#include "mpeg/layer2_tables.h"

#include <cmath>
#include <initializer_list>
#include <utility>

namespace qoro::mpeg {
namespace {

// Quantisation levels per allocation code, one row per class of subbands.
const uint16_t kRowA[16] = {0, 3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
const uint16_t kRowB[16] = {0, 3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535};
const uint16_t kRowC[16] = {0, 3, 5, 7, 9, 15, 31, 65535};
const uint16_t kRowD[16] = {0, 3, 5, 65535};
const uint16_t kRowE[16] = {0, 3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
const uint16_t kRowF[16] = {0, 3, 5, 9, 15, 31, 63, 127};
const uint16_t kRowG[16] = {0, 3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383};
const uint16_t kRowH[16] = {0, 3, 5, 9};

Layer2AllocTable makeTable(int sblimit, std::initializer_list<std::pair<int, const uint16_t*>> bands) {
    // bands: (last subband + 1, row); the field width follows from the row.
    Layer2AllocTable t{};
    t.sblimit = sblimit;
    int sb = 0;
    for (const auto& [end, row] : bands) {
        int nb = 2;
        if (row == kRowA || row == kRowB || row == kRowE || row == kRowG)
            nb = 4;
        else if (row == kRowC || row == kRowF)
            nb = 3;
        for (; sb < end; ++sb) {
            t.nbal[sb] = uint8_t(nb);
            t.levels[sb] = row;
        }
    }
    return t;
}

struct AllocTables {
    Layer2AllocTable a = makeTable(27, {{3, kRowA}, {11, kRowB}, {23, kRowC}, {27, kRowD}});
    Layer2AllocTable b = makeTable(30, {{3, kRowA}, {11, kRowB}, {23, kRowC}, {30, kRowD}});
    Layer2AllocTable c = makeTable(8, {{2, kRowE}, {8, kRowF}});
    Layer2AllocTable d = makeTable(12, {{2, kRowE}, {12, kRowF}});
    Layer2AllocTable lsf = makeTable(30, {{4, kRowG}, {11, kRowF}, {30, kRowH}});
};

// Window D[0..256]; D is symmetric about 256 and changes sign every 64 taps.
const int32_t kWindowHalf[257] = {
    0,     -1,    -1,    -1,    -1,    -1,    -1,    -2,    -2,    -2,    -2,    -3,    -3,    -4,    -4,    -5,
    -5,    -6,    -7,    -7,    -8,    -9,    -10,   -11,   -13,   -14,   -16,   -17,   -19,   -21,   -24,   -26,
    -29,   -31,   -35,   -38,   -41,   -45,   -49,   -53,   -58,   -63,   -68,   -73,   -79,   -85,   -91,   -97,
    -104,  -111,  -117,  -125,  -132,  -139,  -147,  -154,  -161,  -169,  -176,  -183,  -190,  -196,  -202,  -208,
    -213,  -218,  -222,  -225,  -227,  -228,  -228,  -227,  -224,  -221,  -215,  -208,  -200,  -189,  -177,  -163,
    -146,  -127,  -106,  -83,   -57,   -29,   2,     36,    72,    111,   153,   197,   244,   294,   347,   401,
    459,   519,   581,   645,   711,   779,   848,   919,   991,   1064,  1137,  1210,  1283,  1356,  1428,  1498,
    1567,  1634,  1698,  1759,  1817,  1870,  1919,  1962,  2001,  2032,  2057,  2075,  2085,  2087,  2080,  2063,
    2037,  2000,  1952,  1893,  1822,  1739,  1644,  1535,  1414,  1280,  1131,  970,   794,   605,   402,   185,
    -45,   -288,  -545,  -814,  -1095, -1388, -1692, -2006, -2330, -2663, -3004, -3351, -3705, -4063, -4425, -4788,
    -5153, -5517, -5879, -6237, -6589, -6935, -7271, -7597, -7910, -8209, -8491, -8755, -8998, -9219, -9416, -9585,
    -9727, -9838, -9916, -9959, -9966, -9935, -9863, -9750, -9592, -9389, -9139, -8840, -8492, -8092, -7640, -7134,
    -6574, -5959, -5288, -4561, -3776, -2935, -2037, -1082, -70,   998,   2122,  3300,  4533,  5818,  7154,  8540,
    9975,  11455, 12980, 14548, 16155, 17799, 19478, 21189, 22929, 24694, 26482, 28289, 30112, 31947, 33791, 35640,
    37489, 39336, 41176, 43006, 44821, 46617, 48390, 50137, 51853, 53534, 55178, 56778, 58333, 59838, 61289, 62684,
    64019, 65290, 66494, 67629, 68692, 69679, 70590, 71420, 72169, 72835, 73415, 73908, 74313, 74630, 74856, 74992,
    75038};

}  // namespace

const Layer2AllocTable& layer2AllocTable(int version, int samplingIndex, int bitrateKbps, int channels) {
    static const AllocTables t;
    if (version != 1) return t.lsf;
    const int perChannel = bitrateKbps / (channels > 1 ? 2 : 1);
    if (perChannel <= 48) return samplingIndex == 2 ? t.d : t.c;
    if (perChannel <= 80) return t.a;
    return samplingIndex == 1 ? t.a : t.b;
}

int layer2CodeBits(int levels) {
    switch (levels) {
    case 3: return 5;
    case 5: return 7;
    case 9: return 10;
    default: {
        int n = 0;
        while ((1 << n) - 1 < levels) ++n;
        return n;
    }
    }
}

int32_t polyphaseWindow(int i) {
    if (i < 0 || i > 511) return 0;
    const int32_t base = i <= 256 ? kWindowHalf[i] : kWindowHalf[512 - i];
    return ((i >> 6) & 1) ? -base : base;
}

const float* polyphaseDctScales(int n) {
    struct Scales {
        float s32[16], s16[8], s8[4], s4[2], s2[1];
        Scales() {
            auto fill = [](float* out, int size) {
                for (int k = 0; k < size / 2; ++k) out[k] = float(0.5 / std::cos((2 * k + 1) * M_PI / (2.0 * size)));
            };
            fill(s32, 32);
            fill(s16, 16);
            fill(s8, 8);
            fill(s4, 4);
            fill(s2, 2);
        }
    };
    static const Scales t;
    switch (n) {
    case 32: return t.s32;
    case 16: return t.s16;
    case 8: return t.s8;
    case 4: return t.s4;
    default: return t.s2;
    }
}

}  // namespace qoro::mpeg
