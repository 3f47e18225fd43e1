// MPEG audio bitrates: the one table of the kbit/s a frame header's bitrate
// index stands for, and the lookups built on it. It lives here, at the
// bottom, because the Layer-3 codec driver checks record bitrates against it;
// the frame header code, the writers and the information component above
// take it from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace acm {

// Rows: MPEG-2, MPEG-1, MPEG-2.5 (the frame header's version numbering);
// columns by layer code (0 reserved, 1 Layer III, 2 Layer II, 3 Layer I);
// then by bitrate index (0 "free format" and 15 "bad" are 0). MPEG-2.5
// shares the MPEG-2 figures.
inline constexpr int16_t kMpegBitrateKbps[3][4][16] = {
    {
        {0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    },
    {
        {0},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    },
    {
        {0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    },
};

// Row numbers of the table.
inline constexpr int kMpeg2Row = 0;
inline constexpr int kMpeg1Row = 1;
// Layer codes of the table.
inline constexpr int kLayer3Code = 1;
inline constexpr int kLayer2Code = 2;

// The bitrate index (1..14) of `kbps` in a row and layer, -1 when the row and
// layer have no such bitrate.
constexpr int mpegBitrateIndex(int row, int layerCode, long kbps) {
    if (row < 0 || row > 2 || layerCode < 1 || layerCode > 3 || kbps <= 0) return -1;
    for (int i = 1; i < 15; ++i)
        if (kMpegBitrateKbps[row][layerCode][i] == kbps) return i;
    return -1;
}

// MPEG-1 Layer II pairs each bitrate with the channel modes it may carry:
// indices 1, 2, 3 and 5 (32, 48, 56 and 80 kbit/s) only a single channel,
// 11 and above (224 kbit/s up) only two.
constexpr bool mpeg1Layer2Allows(int bitrateIndex, bool singleChannel) {
    const bool singleOnly = bitrateIndex == 1 || bitrateIndex == 2 || bitrateIndex == 3 || bitrateIndex == 5;
    return singleChannel ? bitrateIndex < 11 : !singleOnly;
}

namespace detail {
constexpr bool rowTakes(int row, int layerCode, int channels, int index) {
    if (kMpegBitrateKbps[row][layerCode][index] == 0) return false;
    return channels == 0 || row != kMpeg1Row || layerCode != kLayer2Code || mpeg1Layer2Allows(index, channels == 1);
}
constexpr size_t countRow(int row, int layerCode, int channels) {
    size_t n = 0;
    for (int i = 1; i < 15; ++i) n += rowTakes(row, layerCode, channels, i) ? 1 : 0;
    return n;
}
constexpr bool anyVersionTakes(int layerCode, long kbps) {
    return mpegBitrateIndex(kMpeg1Row, layerCode, kbps) > 0 || mpegBitrateIndex(kMpeg2Row, layerCode, kbps) > 0;
}
constexpr size_t countAnyVersion(int layerCode) {
    size_t n = 0;
    for (long k = 1; k <= 448; ++k) n += anyVersionTakes(layerCode, k) ? 1 : 0;
    return n;
}
}  // namespace detail

// The bitrates a layer has in MPEG-1 or MPEG-2, ascending and each once: what
// a writer of that layer offers.
template <int LayerCode>
constexpr auto mpegLayerBitrates() {
    std::array<long, detail::countAnyVersion(LayerCode)> out{};
    size_t n = 0;
    for (long k = 1; k <= 448; ++k)
        if (detail::anyVersionTakes(LayerCode, k)) out[n++] = k;
    return out;
}

// The bitrates of one row and layer, ascending; given a channel count (1 or
// 2), MPEG-1 Layer II keeps only those it pairs with that many channels.
template <int Row, int LayerCode, int Channels = 0>
constexpr auto mpegRowBitrates() {
    std::array<long, detail::countRow(Row, LayerCode, Channels)> out{};
    size_t n = 0;
    for (int i = 1; i < 15; ++i)
        if (detail::rowTakes(Row, LayerCode, Channels, i)) out[n++] = kMpegBitrateKbps[Row][LayerCode][i];
    return out;
}

}  // namespace acm
