#include "tags/text.h"

#include <algorithm>
#include <climits>

namespace qoro::tags::text {

namespace {

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr uint32_t kInvalid = 0xFFFFFFFF;

// Decodes one UTF-8 character at s[i], advancing i; kInvalid (one byte
// consumed) for a malformed sequence.
uint32_t nextUtf8(std::string_view s, size_t& i) {
    auto b0 = static_cast<uint8_t>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        ++i;
        return kInvalid;
    }
    if (i + static_cast<size_t>(extra) >= s.size()) {
        ++i;
        return kInvalid;
    }
    for (int k = 1; k <= extra; ++k) {
        auto b = static_cast<uint8_t>(s[i + static_cast<size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kInvalid;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kInvalid;
    }
    i += static_cast<size_t>(extra) + 1;
    return cp;
}

}  // namespace

std::string latin1ToUtf8(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (char c : latin1) appendUtf8(out, static_cast<uint8_t>(c));
    return out;
}

std::string utf8ToLatin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = nextUtf8(utf8, i);
        out += (cp <= 0xFF) ? static_cast<char>(cp) : '?';
    }
    return out;
}

bool fitsLatin1(std::string_view utf8) {
    for (size_t i = 0; i < utf8.size();)
        if (nextUtf8(utf8, i) > 0xFF) return false;
    return true;
}

bool isUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();)
        if (nextUtf8(bytes, i) == kInvalid) return false;
    return true;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    size_t i = 0;
    if (bytes.size() >= 2) {
        auto b0 = static_cast<uint8_t>(bytes[0]), b1 = static_cast<uint8_t>(bytes[1]);
        if (b0 == 0xFF && b1 == 0xFE) {
            bigEndian = false;
            i = 2;
        } else if (b0 == 0xFE && b1 == 0xFF) {
            bigEndian = true;
            i = 2;
        }
    }
    auto unitAt = [&](size_t at) -> uint32_t {
        auto a = static_cast<uint8_t>(bytes[at]), b = static_cast<uint8_t>(bytes[at + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    std::string out;
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
            uint32_t lo = unitAt(i + 2);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

std::string utf8ToUtf16WithBom(std::string_view utf8) {
    std::string out = "\xFF\xFE";
    auto unit = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = nextUtf8(utf8, i);
        if (cp == kInvalid) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

std::string fromStored(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    return isUtf8(bytes) ? std::string(bytes) : latin1ToUtf8(bytes);
}

int leadingNumber(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        n = std::min<long long>(n * 10 + (s[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    if (negative) n = -n;
    return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::pair<std::string, std::string> numberAndTotal(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return {std::string(text), {}};
    return {std::string(text.substr(0, slash)), std::string(text.substr(slash + 1))};
}

}  // namespace qoro::tags::text
