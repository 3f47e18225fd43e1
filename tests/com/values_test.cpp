// BSTR, UTF-8/UTF-16, GUID text, SAFEARRAY and VARIANT coercion.
#include <gtest/gtest.h>

#include <random>

#include "qoro/com.h"
#include "qoro/com_server.h"

namespace {

using qoro::com::Bstr;

TEST(Bstr, RoundTripsNonAsciiTextThroughUtf8) {
    const std::string text = "Größe – 日本語 🎵 Ωmega";
    Bstr b(text);
    ASSERT_NE(b.get(), nullptr);
    // 🎵 is one code point outside the BMP: a surrogate pair.
    EXPECT_EQ(b.length(), qoro::com::toUtf16(text).size());
    EXPECT_EQ(b.view().substr(0, 5), u"Größe");
    EXPECT_EQ(b.utf8(), text);
    EXPECT_EQ(SysStringByteLen(b.get()), b.length() * 2);
    EXPECT_EQ(b.get()[b.length()], 0);
}

TEST(Bstr, LengthPrefixKeepsEmbeddedZerosAndNullIsEmpty) {
    const char16_t raw[] = {u'a', 0, u'b'};
    BSTR b = SysAllocStringLen(raw, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    EXPECT_TRUE(SysReAllocString(&b, u"xyz!"));
    EXPECT_EQ(SysStringLen(b), 4u);
    SysFreeString(b);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(qoro::com::utf8FromBstr(nullptr), "");
    SysFreeString(nullptr);
    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(zeroed[0], 0);
    EXPECT_EQ(SysStringLen(zeroed), 4u);
    SysFreeString(zeroed);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFF0u), nullptr);  // refused, not wrapped around
}

// Bytes that are not UTF-8 (a file name written in Latin-1, a sequence cut
// short) travel as one lone surrogate U+DC80-DCFF per byte and come back as
// the same bytes; the expected UTF-16 is what Python's "surrogateescape"
// decoding gives for the same bytes.
TEST(Utf, BytesThatAreNotUtf8TravelAsLoneSurrogatesAndComeBack) {
    struct Case {
        std::string bytes;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"a\xFF"
         "b",
         u"a\xDCFF"
         "b"},
        {"caf\xE9.wav", u"caf\xDCE9.wav"},  // Latin-1
        {"\xE2\x82", u"\xDCE2\xDC82"},      // truncated sequence
        {"\xE2\x82"
         "x\xE2\x82\xAC",
         u"\xDCE2\xDC82x\u20AC"},                           // then a whole one
        {"\xC0\xAF", u"\xDCC0\xDCAF"},                      // overlong
        {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // beyond U+10FFFF
        {"\x80\xBF", u"\xDC80\xDCBF"},                      // continuation bytes alone
        {"\xF0\x9F\x8E\xB5\xFF", u"\U0001F3B5\xDCFF"},      // a pair, then a stray byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(qoro::com::toUtf16(c.bytes), c.utf16);
        EXPECT_EQ(qoro::com::toUtf8(c.utf16), c.bytes);
        Bstr b(c.bytes);
        EXPECT_EQ(b.utf8(), c.bytes);
    }
}

TEST(Utf, EveryByteStringRoundTripsAndValidTextStaysValid) {
    // Random byte strings, weighted towards the bytes UTF-8 is made of, so
    // that valid, cut and overlong sequences all occur.
    std::mt19937 rng(19);
    const uint8_t alphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0xA0, 0xBF, 0xC0, 0xC2,
                                0xDF, 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    size_t valid = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string bytes(rng() % 12, '\0');
        for (char& ch : bytes) ch = static_cast<char>(alphabet[rng() % sizeof alphabet]);
        const std::u16string wide = qoro::com::toUtf16(bytes);
        ASSERT_EQ(qoro::com::toUtf8(wide), bytes);
        // Surrogates come only in pairs or as U+DC80-DCFF.
        bool lone = false;
        for (size_t i = 0; i < wide.size(); ++i) {
            const char16_t u = wide[i];
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
                ++i;
            else if (u >= 0xDC80 && u <= 0xDCFF)
                lone = true;
            else
                ASSERT_FALSE(u >= 0xD800 && u <= 0xDFFF) << "a surrogate that stands for nothing";
        }
        if (!lone) ++valid;
    }
    EXPECT_GT(valid, 1000u);  // the sample holds valid text too, not only stray bytes
}

TEST(Utf, LoneSurrogatesOfOtherCallersBecomeReplacementCharacters) {
    // Only U+DC80-DCFF stand for bytes; other lone surrogates cannot come
    // from UTF-8 and are replaced.
    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC41, u'z', 0xDBFF};
    EXPECT_EQ(qoro::com::toUtf8(std::u16string_view(lone, 6)), "x\xEF\xBF\xBDy\xEF\xBF\xBDz\xEF\xBF\xBD");
    const char16_t escaped[] = {0xDC80, 0xDCFF};
    EXPECT_EQ(qoro::com::toUtf8(std::u16string_view(escaped, 2)), "\x80\xFF");
}

TEST(Guid, TextFormRoundTripsAndComparesByValue) {
    constexpr GUID g = qoro::com::guid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
    static_assert(g == IID_IConnectionPointContainer);
    EXPECT_EQ(qoro::com::toString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(IID_IConnectionPoint, text, 39), 39);
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, IID_IConnectionPoint);
    EXPECT_NE(back, IID_IConnectionPointContainer);
    EXPECT_TRUE(IID_IUnknown < IID_IClassFactory);
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 38), 0);  // too small
    EXPECT_EQ(CLSIDFromString(u"{B196B284-BAB4-101A-B69C-00AA00341D0}", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{B196B284-BAB4-101A-B69C-00AA00341DZ7}", &back), CO_E_CLASSSTRING);
}

TEST(SafeArray, CreateRedimBoundsAndLocking) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I2, 0, 4);
    ASSERT_NE(a, nullptr);
    LONG lo = -1, hi = -1;
    EXPECT_EQ(SafeArrayGetLBound(a, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(a, 1, &hi), S_OK);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 3);
    EXPECT_EQ(SafeArrayGetUBound(a, 2, &hi), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
    EXPECT_EQ(vt, VT_I2);
    EXPECT_EQ(SafeArrayGetElemsize(a), 2u);

    SHORT* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(a, reinterpret_cast<void**>(&data)), S_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(data[i], 0);  // zero-initialised
    for (int i = 0; i < 4; ++i) data[i] = static_cast<SHORT>(-1000 * (i + 1));
    SAFEARRAYBOUND grow{6, 0};
    EXPECT_EQ(SafeArrayRedim(a, &grow), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(a), E_UNEXPECTED);

    ASSERT_EQ(SafeArrayRedim(a, &grow), S_OK);
    SafeArrayGetUBound(a, 1, &hi);
    EXPECT_EQ(hi, 5);
    SafeArrayAccessData(a, reinterpret_cast<void**>(&data));
    EXPECT_EQ(data[3], -4000);  // kept
    EXPECT_EQ(data[5], 0);      // new elements are zero
    SafeArrayUnaccessData(a);

    SAFEARRAYBOUND empty{0, 0};
    ASSERT_EQ(SafeArrayRedim(a, &empty), S_OK);
    SafeArrayGetUBound(a, 1, &hi);
    EXPECT_EQ(hi, -1);  // an empty vector from 0
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);

    EXPECT_EQ(SafeArrayCreateVector(VT_I2, 0, 0x7FFFFFFFu), nullptr);  // beyond the size limit
    EXPECT_EQ(SafeArrayCreateVector(static_cast<VARTYPE>(36), 0, 1), nullptr);
}

TEST(SafeArray, OwningElementsAreReleasedAndCopiedDeeply) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 1, 2);
    BSTR* items = nullptr;
    SafeArrayAccessData(a, reinterpret_cast<void**>(&items));
    items[0] = SysAllocString(u"one");
    items[1] = SysAllocString(u"two");
    SafeArrayUnaccessData(a);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(a, &copy), S_OK);
    LONG lo = 0;
    SafeArrayGetLBound(copy, 1, &lo);
    EXPECT_EQ(lo, 1);
    SafeArrayDestroy(a);  // the copy's strings are its own
    SafeArrayAccessData(copy, reinterpret_cast<void**>(&items));
    EXPECT_EQ(qoro::com::view(items[1]), u"two");
    SafeArrayUnaccessData(copy);
    SAFEARRAYBOUND shrink{1, 1};
    EXPECT_EQ(SafeArrayRedim(copy, &shrink), S_OK);  // frees "two" (ASan checks)
    SafeArrayDestroy(copy);
}

VARIANT coerce(VARIANT in, VARTYPE vt, HRESULT* hr) {
    VARIANT out;
    VariantInit(&out);
    *hr = VariantChangeType(&out, &in, 0, vt);
    return out;
}

VARIANT realVariant(double d) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

VARIANT textVariant(const char16_t* s) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}

TEST(Variant, NumbersCoerceWithBankersRoundingAndOverflowChecks) {
    HRESULT hr;
    EXPECT_EQ(coerce(realVariant(2.5), VT_I4, &hr).lVal, 2);
    EXPECT_EQ(coerce(realVariant(3.5), VT_I4, &hr).lVal, 4);
    EXPECT_EQ(coerce(realVariant(-2.5), VT_I2, &hr).iVal, -2);
    EXPECT_EQ(coerce(realVariant(32767.4), VT_I2, &hr).iVal, 32767);
    EXPECT_EQ(hr, S_OK);
    coerce(realVariant(32767.5), VT_I2, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_I4;
    big.lVal = 70000;
    coerce(big, VT_I2, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    big.lVal = -1;
    coerce(big, VT_UI1, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    big.lVal = 5;
    VARIANT b = coerce(big, VT_BOOL, &hr);
    EXPECT_EQ(b.vt, VT_BOOL);
    EXPECT_EQ(b.boolVal, VARIANT_TRUE);
    EXPECT_EQ(coerce(b, VT_I4, &hr).lVal, -1);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(coerce(empty, VT_I4, &hr).lVal, 0);
    EXPECT_EQ(hr, S_OK);
    VARIANT null = empty;
    null.vt = VT_NULL;
    coerce(null, VT_I4, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
}

TEST(Variant, TextParsesAndFormats) {
    HRESULT hr;
    VARIANT t = textVariant(u" 42 ");
    EXPECT_EQ(coerce(t, VT_I4, &hr).lVal, 42);
    VariantClear(&t);
    t = textVariant(u"2.5");
    EXPECT_EQ(coerce(t, VT_I4, &hr).lVal, 2);
    EXPECT_DOUBLE_EQ(coerce(t, VT_R8, &hr).dblVal, 2.5);
    VariantClear(&t);
    t = textVariant(u"&H7FFF");
    EXPECT_EQ(coerce(t, VT_I2, &hr).iVal, 0x7FFF);
    VariantClear(&t);
    t = textVariant(u"True");
    EXPECT_EQ(coerce(t, VT_BOOL, &hr).boolVal, VARIANT_TRUE);
    coerce(t, VT_I4, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    VariantClear(&t);
    t = textVariant(u"12abc");
    coerce(t, VT_I4, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    VariantClear(&t);
    t = textVariant(u"1e999");
    coerce(t, VT_R8, &hr);
    EXPECT_NE(hr, S_OK);
    VariantClear(&t);

    VARIANT s = coerce(realVariant(0.1), VT_BSTR, &hr);
    EXPECT_EQ(qoro::com::utf8FromBstr(s.bstrVal), "0.1");
    VariantClear(&s);
    s = coerce(realVariant(1e20), VT_BSTR, &hr);
    EXPECT_EQ(qoro::com::utf8FromBstr(s.bstrVal), "1E+20");
    VariantClear(&s);
    VARIANT n;
    VariantInit(&n);
    n.vt = VT_I2;
    n.iVal = -123;
    s = coerce(n, VT_BSTR, &hr);
    EXPECT_EQ(qoro::com::utf8FromBstr(s.bstrVal), "-123");
    VariantClear(&s);
}

TEST(Variant, ByReferenceSourcesAndInPlaceChange) {
    LONG target = 1234;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    HRESULT hr;
    VARIANT s = coerce(ref, VT_BSTR, &hr);
    EXPECT_EQ(qoro::com::utf8FromBstr(s.bstrVal), "1234");
    // dest == src: the string is replaced by its number, the old string freed.
    ASSERT_EQ(VariantChangeType(&s, &s, 0, VT_I2), S_OK);
    EXPECT_EQ(s.vt, VT_I2);
    EXPECT_EQ(s.iVal, 1234);

    VARIANT text = textVariant(u"copy me");
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
    EXPECT_NE(copy.bstrVal, text.bstrVal);
    VariantClear(&text);
    EXPECT_EQ(qoro::com::view(copy.bstrVal), u"copy me");
    VariantClear(&copy);
    EXPECT_EQ(copy.vt, VT_EMPTY);
}

}  // namespace
