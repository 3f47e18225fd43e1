// Spreading one collection over many processes or machines: "--shard K/N"
// takes the files whose FNV-1a hash (64 bits) h of their path key gives
// K = floor(h x N / 2^64). The hash is fixed by its published definition, so
// every machine, whatever its byte order or build, agrees on which shard a
// file belongs to. Its high bits choose the shard: its low bits mix poorly
// (the lowest three follow the lowest three of each byte only), so "h mod N"
// with an even N gives shards of very different sizes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qoro::cli {

inline constexpr uint64_t kFnv64Offset = 0xcbf29ce484222325ull;
inline constexpr uint64_t kFnv64Prime = 0x100000001b3ull;

constexpr uint64_t fnv1a64(std::string_view bytes) {
    uint64_t hash = kFnv64Offset;
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnv64Prime;
    }
    return hash;
}

struct Shard {
    uint64_t index = 0;  // K
    uint64_t count = 1;  // N
    static uint64_t of(std::string_view key, uint64_t count) {
        return static_cast<uint64_t>((static_cast<unsigned __int128>(fnv1a64(key)) * count) >> 64);
    }
    bool holds(std::string_view key) const { return of(key, count) == index; }
};

// "K/N" with 0 <= K < N, both plain decimal numbers (no sign, no spaces).
inline std::optional<Shard> parseShard(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    auto number = [](std::string_view digits) -> std::optional<uint64_t> {
        if (digits.empty() || digits.size() > 18) return std::nullopt;
        uint64_t value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        return value;
    };
    auto k = number(text.substr(0, slash));
    auto n = number(text.substr(slash + 1));
    if (!k || !n || *n == 0 || *k >= *n) return std::nullopt;
    return Shard{*k, *n};
}

}  // namespace qoro::cli
