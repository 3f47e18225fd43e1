// What the engine harnesses (audiofile_fuzz and its variants, opus_fuzz)
// share: the statuses a bad file may give, and reading through the engine
// while checking that every read delivers whole array frames.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"

namespace qoro::fuzz {

// Array bytes read in one go, and the most one input may deliver.
inline constexpr uint64_t kEngineStep = 8192;
inline constexpr uint64_t kMostDelivered = uint64_t{8} << 20;

// A failure the engine may report for a damaged or foreign file.
inline bool knownEngineStatus(int64_t st) {
    namespace status = audiofile::status;
    return st == status::kFormatFile || st == status::kFormatNotSupport || st == status::kAcmDriver ||
           st == status::kFileAccess || st == status::kInvalidOperation || st == status::kMemory;
}

// Reads up to `reads` times, to the end or kMostDelivered; the array bytes
// delivered.
inline uint64_t readSome(audiofile::Engine& e, uint64_t reads = UINT64_MAX) {
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    uint64_t delivered = 0;
    std::vector<uint8_t> out;
    for (uint64_t i = 0; i < reads && delivered < kMostDelivered; ++i) {
        const uint64_t want = e.arrayBytesFor(kEngineStep);
        if (want == 0) break;
        out.clear();
        const int64_t got = e.read(want, out);
        if (got < 0) {
            require(knownEngineStatus(got));
            break;
        }
        require(static_cast<uint64_t>(got) == out.size() && frame != 0 && out.size() % frame == 0);
        if (got == 0) break;
        delivered += static_cast<uint64_t>(got);
    }
    return delivered;
}

}  // namespace qoro::fuzz
