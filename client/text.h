// File names and texts made safe to show. Linux file names are bytes; those
// that are not UTF-8 (and the control characters) are shown as \xNN escapes,
// never replaced, so what is printed still tells the bytes apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qoro::client {

// The length of the well-formed UTF-8 sequence that starts at text[at] (1 to
// 4), or 0 when the byte there does not start one (stray continuation byte,
// overlong form, UTF-16 surrogate, beyond U+10FFFF, cut short).
size_t utf8SequenceLength(std::string_view text, size_t at);

// Whether the whole text is well-formed UTF-8.
bool isUtf8(std::string_view text);

// The text with every byte that is not part of a well-formed UTF-8 sequence,
// and every control character (below 0x20, and 0x7F), written as \xNN (two
// upper-case hexadecimal digits); the rest unchanged.
std::string printable(std::string_view text);

}  // namespace qoro::client
