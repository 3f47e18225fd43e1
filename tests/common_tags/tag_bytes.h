// What the tag tests share: files as byte vectors, read through a ReadAtFn
// as the tag readers read files; texts in hexadecimal both ways; mutagen's
// view of a file as (key, value) pairs printed in hexadecimal by a script.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v2.h"  // ReadAtFn
#include "test_support.h"

namespace qoro::tags::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A reader over bytes that stay where they are while it is used.
inline ReadAtFn readerOf(const Bytes& b) {
    return [&b](uint64_t at, uint8_t* data, size_t n) -> size_t {
        if (at >= b.size()) return 0;
        const size_t got = std::min<size_t>(n, b.size() - at);
        std::memcpy(data, b.data() + at, got);
        return got;
    };
}

// A 32-bit big-endian number appended.
inline void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

inline std::string hexOf(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) s += {digits[x >> 4], digits[x & 15]};
    return s;
}

inline std::string unhex(const std::string& h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2) s += char(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

// What a mutagen script printed of a file: one "key value" line per value,
// both in hexadecimal.
using Dump = std::multimap<std::string, std::string>;

inline Dump mutagenDump(const char* script, const std::filesystem::path& file) {
    const qoro::test::CommandResult r = qoro::test::python(script, {file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    Dump d;
    std::istringstream in(r.output);
    for (std::string k, v; in >> k >> v;) d.insert({unhex(k), unhex(v)});
    return d;
}

inline std::vector<std::string> valuesOf(const Dump& d, const std::string& key) {
    std::vector<std::string> out;
    for (auto [it, end] = d.equal_range(key); it != end; ++it) out.push_back(it->second);
    return out;
}

}  // namespace qoro::tags::testing
