// Facts of a stored WAVE format record through the codec manager, shared by
// the WAV and AVI readers.
#pragma once

#include <cstdint>
#include <span>

#include "acm/acm.h"
#include "readers/facts.h"

namespace qoro::audioinfo {

// Sets tag, rate, channels, bits and bitrate from the record and its PCM
// equivalent, then sample frames, duration and the description through a
// conversion stream for 'storedBytes' bytes of stored data. False when the
// manager has no PCM equivalent for the record (nothing set then). Without a
// conversion stream the sample count is storedBytes and the description
// stays empty.
bool factsFromRecord(std::span<const uint8_t> record, uint64_t storedBytes, Facts& facts);

}  // namespace qoro::audioinfo
