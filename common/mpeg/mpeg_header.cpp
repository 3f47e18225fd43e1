#include "mpeg/mpeg_header.h"

namespace qoro::mpeg {

const int32_t kMpegSampleRate[3][4] = {
    {22050, 24000, 16000, 0},
    {44100, 48000, 32000, 0},
    {11025, 12000, 8000, 0},
};

MpegFrameHeader unpackMpegHeader(uint32_t w) {
    MpegFrameHeader h;
    h.version = int32_t((w >> 19) & 1);
    if (((w >> 20) & 1) == 0) h.version += 2;
    h.layer = int32_t((w >> 17) & 3);
    h.protection = int32_t((w >> 16) & 1);
    h.bitrateIndex = int32_t((w >> 12) & 15);
    h.samplingIndex = int32_t((w >> 10) & 3);
    h.padding = int32_t((w >> 9) & 1);
    h.privateBit = int32_t((w >> 8) & 1);
    h.mode = int32_t((w >> 6) & 3);
    h.modeExtension = int32_t((w >> 4) & 3);
    h.copyright = int32_t((w >> 3) & 1);
    h.original = int32_t((w >> 2) & 1);
    h.emphasis = int32_t(w & 3);
    return h;
}

uint32_t packMpegHeader(const MpegFrameHeader& h) {
    auto field = [](int32_t v, int bits, int shift) { return (uint32_t(v) & ((1u << bits) - 1)) << shift; };
    // Eleven sync bits, then the version's two bits: MPEG-2.5 clears the first.
    const uint32_t w = 0xFFE00000u | (h.version < 2 ? 1u << 20 : 0u);
    return w | field(h.version, 1, 19) | field(h.layer, 2, 17) | field(h.protection, 1, 16) |
           field(h.bitrateIndex, 4, 12) | field(h.samplingIndex, 2, 10) | field(h.padding, 1, 9) |
           field(h.privateBit, 1, 8) | field(h.mode, 2, 6) | field(h.modeExtension, 2, 4) | field(h.copyright, 1, 3) |
           field(h.original, 1, 2) | field(h.emphasis, 2, 0);
}

bool isValidMpegHeader(const MpegFrameHeader& h) {
    if (h.bitrateIndex == 15 || h.bitrateIndex == 0) return false;
    if (h.layer == 0) return false;
    if (h.padding != 0 && h.samplingIndex != 0) return false;
    if (h.samplingIndex == 3) return false;
    if (h.version == 1 && h.layer == 2 && !acm::mpeg1Layer2Allows(h.bitrateIndex, h.mode == 3)) return false;
    if (h.version > 2 || h.version < 0) return false;
    if (h.version == 2 && h.layer != 1) return false;
    return true;
}

bool isValidMpegHeaderOrFree(const MpegFrameHeader& h) {
    if (h.bitrateIndex != 0) return isValidMpegHeader(h);
    // The same rule with the bitrate left out: free format has no bitrate
    // for the Layer II bitrate/mode pairs to forbid.
    MpegFrameHeader probe = h;
    probe.bitrateIndex = 1;
    if (probe.version == 1 && probe.layer == 2) probe.mode = 3;
    return isValidMpegHeader(probe);
}

int mpegBitrateKbps(const MpegFrameHeader& h) { return kMpegBitrateKbps[h.version][h.layer][h.bitrateIndex]; }

int mpegSampleRate(const MpegFrameHeader& h) { return kMpegSampleRate[h.version][h.samplingIndex]; }

int mpegFrameLength(const MpegFrameHeader& h) {
    const int kbps = mpegBitrateKbps(h);
    const int rate = mpegSampleRate(h);
    if (rate == 0 || kbps == 0) return 0;
    const bool pad = h.padding != 0 && h.samplingIndex == 0;
    if (h.layer == 3) return (12000 * kbps / rate) * 4 + (pad ? 4 : 0);
    int length = 144000 * kbps / rate;
    if (h.layer == 1 && h.version != 1) length /= 2;
    return length + (pad ? 1 : 0);
}

int mpegSamplesPerFrame(const MpegFrameHeader& h) {
    if (h.layer == 3) return 384;
    if (h.layer == 2) return 1152;
    return h.version == 1 ? 1152 : 576;
}

int mpegSideInfoLength(const MpegFrameHeader& h) {
    if (h.version == 1) return h.mode == 3 ? 17 : 32;
    return h.mode == 3 ? 9 : 17;
}

}  // namespace qoro::mpeg
