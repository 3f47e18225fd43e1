// MPEG Plus (Musepack) stream header, stream versions 4 to 7, and the tags
// the file ends with (APEv2, Lyrics3, ID3v1: tags/tails.h). ID3v2 tags in
// front of the stream are passed over; the stream is what lies between them
// and the tags at the end.
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

#include "tags/id3v1.h"
#include "tags/tails.h"

namespace qoro::mpc {

// Profile index reported for stream versions 4 to 6 and for version 7 files
// without a profile.
inline constexpr int kNoProfile = 6;
// "thumb", "radio", "standard", "xtreme", "insane" for 0..4, else "n.a.".
const char* profileName(int profile);

struct MpcHeader {
    int streamVersion = 0;     // 4..7
    int profile = kNoProfile;  // 0..7 (6 for versions 4 to 6)
    uint32_t frames = 0;       // frame count (one less than stored for versions 4 and 5)
    int headerBitrate = 0;     // the 9-bit field of versions 4 to 6 (always 0 when accepted); 0 for 7
    bool msStereo = false;
    int maxBand = 0;
    uint16_t peak = 0;  // version 7 peak level, 0 otherwise
    // Where the first frame starts: byte offset of its 32-bit word and the bit
    // within that word (0 = most significant).
    uint32_t firstFrameByte = 0;
    int firstFrameBit = 0;
    // The bytes the header is read from (24 for version 7, 12 for the
    // others): no tag at the end may start within them.
    uint32_t headerBytes = 0;
};

// Parses the first bytes of a stream (at least 24 for version 7, 12 for the
// others). nullopt for a header that breaks a rule or an unsupported version.
std::optional<MpcHeader> parseMpcHeader(std::span<const uint8_t> start);

// What the reader reports about a file.
struct MpcStreamInfo {
    MpcHeader header;
    uint64_t fileSize = 0;    // the file's length in bytes
    uint64_t audioStart = 0;  // where the stream begins: after any ID3v2 tags
    uint64_t audioBytes = 0;  // the stream: from audioStart to the first tag at the end
    // The tags at the end, found after the stream's start (a tag reaching
    // into the stream's header is none).
    tags::FileTails tails;
    int bitrateKbps = 0;           // the header's bitrate, or computed
    bool bitrateComputed = false;  // the bitrate is the average over the file
    // The tag at the end, read by the MPEG Plus rule (fields as stored up to
    // their first zero, blanks kept; ID3v1.1 whenever byte 125 is 0).
    std::optional<tags::Id3v1Tag> id3v1;

    // truncate(frames x 1152 / 44.1)
    int64_t durationMs() const;
};

// Opens and parses a file: header, the tags at the end, the ID3v1 tag, bitrate. False when the file
// cannot be read or is not an MPEG Plus stream of versions 4 to 7.
bool readStreamInfo(const std::string& path, MpcStreamInfo& info);

}  // namespace qoro::mpc
