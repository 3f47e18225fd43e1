#include "client/text.h"

namespace qoro::client {

size_t utf8SequenceLength(std::string_view text, size_t at) {
    if (at >= text.size()) return 0;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead == 0xE0)
        length = 3, low = 0xA0;  // no overlong forms
    else if (lead == 0xED)
        length = 3, high = 0x9F;  // no surrogates
    else if (lead >= 0xE1 && lead <= 0xEF)
        length = 3;
    else if (lead == 0xF0)
        length = 4, low = 0x90;
    else if (lead == 0xF4)
        length = 4, high = 0x8F;  // up to U+10FFFF
    else if (lead >= 0xF1 && lead <= 0xF3)
        length = 4;
    else
        return 0;
    if (text.size() - at < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

bool isUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t n = utf8SequenceLength(text, at);
        if (n == 0) return false;
        at += n;
    }
    return true;
}

std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t n = utf8SequenceLength(text, at);
        const auto c = static_cast<unsigned char>(text[at]);
        if (n == 0 || c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++at;
        } else {
            out.append(text.substr(at, n));
            at += n;
        }
    }
    return out;
}

}  // namespace qoro::client
