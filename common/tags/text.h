// Text conversions between the UTF-8 held in memory and the encodings tags
// store: ISO-8859-1 (ID3v1, ID3v2 encoding 0), UTF-16 (ID3v2 encodings 1 and
// 2), and free-form bytes of RIFF chunks (UTF-8, or an older single-byte text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace qoro::tags::text {

// ISO-8859-1 bytes to UTF-8.
std::string latin1ToUtf8(std::string_view latin1);
// UTF-8 to ISO-8859-1; characters beyond U+00FF and malformed bytes become '?'.
std::string utf8ToLatin1(std::string_view utf8);
// True when every character of the UTF-8 text fits in ISO-8859-1.
bool fitsLatin1(std::string_view utf8);
// UTF-16 bytes to UTF-8. bigEndian gives the byte order unless a byte-order
// mark at the start says otherwise (the mark is dropped). Unpaired
// surrogates become U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian);
// UTF-8 to UTF-16LE bytes preceded by the byte-order mark FF FE.
std::string utf8ToUtf16WithBom(std::string_view utf8);
// True when the bytes are well-formed UTF-8.
bool isUtf8(std::string_view bytes);
// Text as stored in a RIFF chunk: up to the first zero byte; kept as it is
// when it is UTF-8, else read as ISO-8859-1.
std::string fromStored(std::string_view bytes);
// Texts equal but for the case of ASCII letters (tag keys, field names).
bool sameIgnoringCase(std::string_view a, std::string_view b);
// The leading decimal number of a text (blanks and one sign allowed first),
// 0 when there is none; saturates at the int range.
int leadingNumber(std::string_view text);
// "3/12": the number and the total ("" where a part is missing).
std::pair<std::string, std::string> numberAndTotal(std::string_view text);

}  // namespace qoro::tags::text
