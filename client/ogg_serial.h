// The stream serial number of a finished Ogg file (Ogg Vorbis, Opus), set
// by the client so that the same conversion gives the same bytes: encoders
// pick their own (libopusenc a random one), and a random serial makes two
// runs of one conversion differ.
//
// The file is walked page by page first: every page must be whole, carry a
// correct checksum and belong to one plain logical stream (one serial, the
// first page alone marked as the stream's beginning, the last alone as its
// end, page numbers counting up by one, nothing after the last page).
// Anything else is left exactly as it was written. Then each page's serial
// and checksum are rewritten in place, 12 bytes a page.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qoro::client {

// Ogg's page checksum: CRC-32 with the polynomial 0x04C11DB7, initial value
// 0, no reflection and no final inversion, over the page with its checksum
// field taken as zero.
uint32_t oggPageCrc(std::span<const uint8_t> page);

enum class SerialStamp {
    Stamped,        // every page carries the serial now
    NotOneStream,   // not one plain logical stream: left as it was ('cause' says why)
    Failed,         // the file could not be read or written ('cause'); it may be half-stamped
};

SerialStamp stampOggSerial(const std::string& path, uint32_t serial, std::string& cause);

// The serial number of an output, from its path relative to where the run
// writes (the low and high halves of its FNV-1a hash, 64 bits, folded).
uint32_t oggSerialOf(std::string_view relativePath);

}  // namespace qoro::client
