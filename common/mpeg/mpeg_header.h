// MPEG audio frame header (MPEG-1, MPEG-2 LSF and MPEG-2.5; Layers I, II, III).
//
// A frame starts with a 32-bit big-endian word; unpackMpegHeader() splits it
// into the twelve fields below. Table rows are chosen by `version`:
// 0 = MPEG-2, 1 = MPEG-1, 2 = MPEG-2.5 (3 never passes the validity rule).
#pragma once

#include <cstdint>

#include "acm/mpeg_bitrates.h"

namespace qoro::mpeg {

struct MpegFrameHeader {
    int32_t version = 0;        // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5, 3 invalid
    int32_t layer = 0;          // layer code: 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int32_t protection = 0;     // 0: a 16-bit CRC word follows the header
    int32_t bitrateIndex = 0;   // 0..15
    int32_t samplingIndex = 0;  // 0..3
    int32_t padding = 0;
    int32_t privateBit = 0;
    int32_t mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int32_t modeExtension = 0;
    int32_t copyright = 0;
    int32_t original = 0;
    int32_t emphasis = 0;
};

// Bitrates in kbit/s, [row][layer code][bitrate index]; row = version.
using ::acm::kMpegBitrateKbps;
// Sample rates in Hz, [row][sampling index].
extern const int32_t kMpegSampleRate[3][4];

// True when the top 11 bits of the word are all ones.
constexpr bool hasMpegSync(uint32_t word) { return (word & 0xFFE00000u) == 0xFFE00000u; }

// Reads four bytes as a big-endian word.
constexpr uint32_t readMpegWord(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

MpegFrameHeader unpackMpegHeader(uint32_t word);
// The 32-bit header word of the fields (sync included): the inverse of
// unpackMpegHeader for fields in their ranges.
uint32_t packMpegHeader(const MpegFrameHeader& h);

// The validity rule: free format, reserved layer, padding outside sampling
// index 0, reserved sampling index, forbidden MPEG-1 Layer II bitrate/mode
// pairs and MPEG-2.5 outside Layer III are refused.
bool isValidMpegHeader(const MpegFrameHeader& h);

// Free format: bitrate index 0, a frame length the header does not state
// (the stream's frames are as long as the distance from one sync word to
// the next).
constexpr bool isFreeFormat(const MpegFrameHeader& h) { return h.bitrateIndex == 0; }
// The validity rule with free-format headers accepted as well.
bool isValidMpegHeaderOrFree(const MpegFrameHeader& h);
// Bytes of one padding slot: 4 for Layer I, 1 for Layers II and III.
constexpr int mpegSlotBytes(const MpegFrameHeader& h) { return h.layer == 3 ? 4 : 1; }
// The bytes the padding bit adds to a frame (0 without it; the validity
// rule lets it through only at sampling index 0).
constexpr int mpegPaddingBytes(const MpegFrameHeader& h) { return h.padding ? mpegSlotBytes(h) : 0; }

// 1, 2 or 3 (from the layer code).
constexpr int mpegLayerNumber(const MpegFrameHeader& h) { return 4 - h.layer; }
// 1 MPEG-1, 2 MPEG-2, 0 MPEG-2.5.
constexpr int mpegLevel(const MpegFrameHeader& h) { return 2 - h.version; }
constexpr int mpegChannels(const MpegFrameHeader& h) { return h.mode == 3 ? 1 : 2; }

// The following require a header that passed isValidMpegHeader().
int mpegBitrateKbps(const MpegFrameHeader& h);
int mpegSampleRate(const MpegFrameHeader& h);
// Whole frame in bytes, header included (0 for a free-format header).
int mpegFrameLength(const MpegFrameHeader& h);
// Samples per channel: 384, 1152 or 576.
int mpegSamplesPerFrame(const MpegFrameHeader& h);
// Layer III side information length in bytes (without the CRC word).
int mpegSideInfoLength(const MpegFrameHeader& h);

}  // namespace qoro::mpeg
