// The information frame that encoders put first in an MPEG audio stream: a
// "Xing" header (VBR streams; LAME writes "Info" for CBR ones and some old
// versions wrote "Lame"), often followed by LAME's encoder tag, or a "VBRI"
// header (Fraunhofer encoders). The frame is a valid frame whose audio is
// silence; it is metadata, not music, and players leave it out.
//
//   const auto info = qoro::mpeg::parseInfoFrame(firstFrameBytes);
//   if (info && info->lame) { ... info->lame->encoderDelay ... }
//
// Every field is read from the bytes given; nothing is read past their end.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qoro::mpeg {

enum class InfoFrameKind {
    Xing,  // "Xing" or "Lame"
    Info,  // "Info": LAME's tag of a constant-bitrate stream
    Vbri,  // "VBRI"
};

// LAME's encoder tag behind a "Xing"/"Info" header.
struct LameTag {
    std::string encoder;  // the 9 bytes as stored, e.g. "LAME3.100" or "Lavc59.37"
    int revision = 0;     // high nibble of the revision/method byte
    int vbrMethod = 0;    // low nibble
    int lowpassHz = 0;
    int encoderDelay = 0;      // samples the encoder put before the music (12 bits)
    int padding = 0;           // samples it appended after the music (12 bits)
    uint32_t musicLength = 0;  // bytes from the information frame to the last audio frame
    uint16_t musicCrc = 0;
    uint16_t tagCrc = 0;  // as stored
    // The stored CRC equals the CRC-16 of the frame's bytes before it. Some
    // encoders store one that does not (ffmpeg 6): the stream's frame count
    // decides whether the tag is taken (frame_walk.h), not this.
    bool crcMatches = false;
};

struct InfoFrame {
    InfoFrameKind kind = InfoFrameKind::Xing;
    int offset = 0;  // of the four identifying bytes within the frame
    // False when the frame ends before the fields the header names: the
    // frame is still an information frame, the missing fields are absent.
    bool complete = true;

    // "Xing"/"Info": each field is there when its flag is set.
    std::optional<uint32_t> frames;  // audio frames of the stream, this frame left out
    std::optional<uint32_t> bytes;   // bytes of the stream, this frame included
    std::optional<std::array<uint8_t, 100>> toc;
    std::optional<uint32_t> quality;
    std::optional<LameTag> lame;

    // "VBRI" (frames and bytes above are filled as well).
    int vbriVersion = 0;
    int vbriDelay = 0;
    int vbriQuality = 0;
    int vbriTocEntries = 0;
};

// Where the header of a "Xing"/"Info" frame stands: after the Layer III side
// information of the frame's version and mode (21 or 36 bytes into an MPEG-1
// frame, 13 or 21 into others). A "VBRI" header always stands 36 bytes in.
constexpr int kVbriOffset = 36;

// Parses the frame whose bytes (header first) 'frame' holds: nullopt when it
// is not an information frame.
std::optional<InfoFrame> parseInfoFrame(std::span<const uint8_t> frame);

// CRC-16 with the polynomial 0x8005 in reflected form (0xA001), as LAME's
// tag uses it for its own bytes.
uint16_t crc16Reflected(std::span<const uint8_t> bytes, uint16_t crc = 0);

}  // namespace qoro::mpeg
