// BSTR allocation, GUID text form and the UTF-8 / UTF-16 conversions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "qoro/com.h"

namespace {

// A BSTR is preceded by its length in bytes (32 bits) and followed by a
// zero character.
constexpr size_t kPrefix = sizeof(uint32_t);
constexpr UINT kMaxChars = (std::numeric_limits<uint32_t>::max() - 16) / 2;

BSTR allocate(UINT chars) {
    if (chars > kMaxChars) return nullptr;
    const size_t bytes = kPrefix + size_t(chars) * 2 + 2;
    auto* block = static_cast<uint8_t*>(std::malloc(bytes));
    if (!block) return nullptr;
    const uint32_t byteLen = chars * 2;
    std::memcpy(block, &byteLen, kPrefix);
    auto* text = reinterpret_cast<OLECHAR*>(block + kPrefix);
    text[chars] = 0;
    return text;
}

uint8_t* blockOf(BSTR b) { return reinterpret_cast<uint8_t*>(b) - kPrefix; }

size_t length(const OLECHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    const size_t n = length(psz);
    if (n > kMaxChars) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(n));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    BSTR b = allocate(ui);
    if (!b) return nullptr;
    if (strIn)
        std::memcpy(b, strIn, size_t(ui) * 2);
    else
        std::memset(b, 0, size_t(ui) * 2);
    return b;
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    if (len > kMaxChars * 2) return nullptr;
    BSTR b = allocate((len + 1) / 2);
    if (!b) return nullptr;
    const uint32_t byteLen = len;
    std::memcpy(blockOf(b), &byteLen, kPrefix);
    auto* bytes = reinterpret_cast<uint8_t*>(b);
    if (psz)
        std::memcpy(bytes, psz, len);
    else
        std::memset(bytes, 0, len);
    bytes[len] = 0;  // the buffer holds at least len + 2 bytes
    bytes[len + 1] = 0;
    return b;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr) return FALSE;
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!psz) {
        if (!pbstr) return FALSE;
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(length(psz)));
}

void SysFreeString(BSTR b) {
    if (b) std::free(blockOf(b));
}

UINT SysStringByteLen(BSTR b) {
    if (!b) return 0;
    uint32_t byteLen;
    std::memcpy(&byteLen, blockOf(b), kPrefix);
    return byteLen;
}

UINT SysStringLen(BSTR b) { return SysStringByteLen(b) / 2; }

INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
    const std::string text = qoro::com::toString(rguid);
    if (!lpsz || cchMax < static_cast<INT>(text.size() + 1)) return 0;
    for (size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
    lpsz[text.size()] = 0;
    return static_cast<INT>(text.size() + 1);
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
    if (!lpsz || !pclsid) return E_INVALIDARG;
    std::string ascii;
    for (size_t i = 0; lpsz[i] && i < 64; ++i) ascii += lpsz[i] < 0x80 ? static_cast<char>(lpsz[i]) : '?';
    if (!qoro::com::parseGuid(ascii, *pclsid)) {
        *pclsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    HRESULT hr = CLSIDFromString(lpsz, lpiid);
    return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}

}  // extern "C"

namespace qoro::com {

std::string toString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// Text that is not valid UTF-8 (a file name in another encoding, bytes cut
// in the middle of a character) travels without loss: each byte that is not
// part of a valid sequence becomes one lone low surrogate, U+DC80 + (byte -
// 0x80), and toUtf8 turns such a surrogate back into that byte. Valid UTF-8,
// the encoded surrogates U+D800-DFFF excepted (they are invalid in UTF-8 and
// are carried byte by byte too), is converted as it stands.
std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<uint8_t>(s[i]);
        if (b0 < 0x80) {
            out += static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        size_t need = 0;
        char32_t c = 0, min = 0;
        if ((b0 & 0xE0) == 0xC0)
            need = 1, c = b0 & 0x1F, min = 0x80;
        else if ((b0 & 0xF0) == 0xE0)
            need = 2, c = b0 & 0x0F, min = 0x800;
        else if ((b0 & 0xF8) == 0xF0)
            need = 3, c = b0 & 0x07, min = 0x10000;
        size_t got = 0;
        while (need != 0 && got < need && i + 1 + got < s.size() &&
               (static_cast<uint8_t>(s[i + 1 + got]) & 0xC0) == 0x80) {
            c = (c << 6) | (static_cast<uint8_t>(s[i + 1 + got]) & 0x3F);
            ++got;
        }
        if (need == 0 || got < need || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += static_cast<char16_t>(0xDC00 + b0);  // this byte alone; the next starts afresh
            ++i;
            continue;
        }
        i += 1 + need;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// The reverse of toUtf16: a surrogate pair is one character, a lone
// surrogate U+DC80-DCFF the byte it stands for. Any other lone surrogate
// (which no UTF-8 text yields) becomes U+FFFD.
std::string toUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00);  // a byte carried through
            continue;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // unpaired surrogate
        }
        appendUtf8(out, c);
    }
    return out;
}

BSTR bstrFromUtf8(std::string_view utf8) {
    const std::u16string wide = toUtf16(utf8);
    if (wide.size() > kMaxChars) return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string utf8FromBstr(BSTR b) { return toUtf8(view(b)); }

}  // namespace qoro::com
