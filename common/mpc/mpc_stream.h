// MPEG Plus (Musepack) stream header, stream versions 4 to 7, and the ID3v1
// tag the reader finds at the end of the file.
//
//   #include "mpc/mpc_stream.h"        (target qoro_common_mpc)
//   mpc::MpcStreamInfo info;
//   if (mpc::readStreamInfo(path, info)) { info.frames, info.durationMs(), info.bitrateKbps ... }
//
// The file is a sequence of 32-bit little-endian words read as one bit stream,
// most significant bit of each word first. Version 7 files begin with "MP+"
// and a version byte; versions 4 to 6 carry their fields in the first words.
// Stream version 8 ("MPCK") and anything else is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qoro::mpc {

// Profile index reported for stream versions 4 to 6 and for version 7 files
// without a profile.
inline constexpr int kNoProfile = 6;
// "thumb", "radio", "standard", "xtreme", "insane" for 0..4, else "n.a.".
const char* profileName(int profile);

// The ID3v1 tag as this reader keeps it: the fields as stored (zero-terminated,
// blanks kept), raw ISO-8859-1 bytes.
struct MpcId3v1 {
    std::string title;    // 30 bytes
    std::string artist;   // 30
    std::string album;    // 30
    std::string year;     // 4
    std::string comment;  // 30, or 28 when byte 28 of the comment is 0
    int track = 0;        // comment byte 29 when comment byte 28 is 0
    uint8_t genre = 255;  // 255 when there is no tag
};

// Parses the last 128 bytes of a file; nullopt unless they begin with "TAG".
std::optional<MpcId3v1> parseMpcId3v1(std::span<const uint8_t, 128> block);

struct MpcHeader {
    int streamVersion = 0;     // 4..7
    int profile = kNoProfile;  // 0..7 (6 for versions 4 to 6)
    uint32_t frames = 0;       // frame count (one less than stored for versions 4 and 5)
    int headerBitrate = 0;     // the 9-bit field of versions 4 to 6 (always 0 when accepted); 0 for 7
    bool msStereo = false;
    int maxBand = 0;
    uint16_t peak = 0;         // version 7 peak level, 0 otherwise
    // Where the first frame starts: byte offset of its 32-bit word and the bit
    // within that word (0 = most significant).
    uint32_t firstFrameByte = 0;
    int firstFrameBit = 0;
};

// Parses the first bytes of a stream (at least 24 for version 7, 12 for the
// others). nullopt for a header that breaks a rule or an unsupported version.
std::optional<MpcHeader> parseMpcHeader(std::span<const uint8_t> start);

// What the reader reports about a file.
struct MpcStreamInfo {
    MpcHeader header;
    uint64_t fileSize = 0;        // the file's length in bytes
    uint64_t audioBytes = 0;      // fileSize without an ID3v1 tag at the end
    int bitrateKbps = 0;          // the header's bitrate, or computed
    bool bitrateComputed = false; // the bitrate is the average over the file
    std::optional<MpcId3v1> id3v1;

    // truncate(frames x 1152 / 44.1)
    int64_t durationMs() const;
};

// Opens and parses a file: header, ID3v1 tag, bitrate. False when the file
// cannot be read or is not an MPEG Plus stream of versions 4 to 7.
bool readStreamInfo(const std::string& path, MpcStreamInfo& info);

}  // namespace qoro::mpc
