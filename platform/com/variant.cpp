// VARIANT life cycle and the Automation coercions (VariantChangeType).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "qoro/com.h"
#include "qoro/com_server.h"

namespace {

bool isInteger(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
    }
}

bool isNumeric(VARTYPE vt) { return isInteger(vt) || vt == VT_R4 || vt == VT_R8 || vt == VT_BOOL; }

// A number taken out of a VARIANT, kept exactly.
struct Number {
    enum Kind { Signed, Unsigned, Real } kind = Signed;
    LONGLONG s = 0;
    ULONGLONG u = 0;
    double d = 0.0;
};

Number numberOf(const VARIANT& v) {
    Number n;
    switch (v.vt) {
    case VT_UI8:
        n.kind = Number::Unsigned;
        n.u = v.ullVal;
        break;
    case VT_R4:
        n.kind = Number::Real;
        n.d = v.fltVal;
        break;
    case VT_R8:
        n.kind = Number::Real;
        n.d = v.dblVal;
        break;
    default: n.s = qoro::com::detail::integerOf(v); break;
    }
    return n;
}

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    const size_t a = s.find_first_not_of(ws);
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(ws);
    return s.substr(a, b - a + 1);
}

bool equalsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

// Text as a number: decimal integers exactly, anything else through strtod.
HRESULT parseNumber(BSTR text, Number& out) {
    const std::string s = trim(qoro::com::utf8FromBstr(text));
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {  // &H1F
        errno = 0;
        char* end = nullptr;
        const unsigned long long v = std::strtoull(s.c_str() + 2, &end, 16);
        if (*end || errno == ERANGE) return *end ? DISP_E_TYPEMISMATCH : DISP_E_OVERFLOW;
        out.kind = Number::Unsigned;
        out.u = v;
        return S_OK;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (!*end && errno != ERANGE) {
        out.kind = Number::Signed;
        out.s = v;
        return S_OK;
    }
    errno = 0;
    const double d = std::strtod(s.c_str(), &end);
    if (*end || std::isnan(d) || std::isinf(d)) return DISP_E_TYPEMISMATCH;
    if (errno == ERANGE && std::fabs(d) > 1.0) return DISP_E_OVERFLOW;
    out.kind = Number::Real;
    out.d = d;
    return S_OK;
}

struct Range {
    LONGLONG min;
    ULONGLONG max;
};

Range rangeOf(VARTYPE vt) {
    switch (vt) {
    case VT_I1: return {-128, 127};
    case VT_UI1: return {0, 255};
    case VT_I2: return {-32768, 32767};
    case VT_UI2: return {0, 65535};
    case VT_I4:
    case VT_INT: return {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    case VT_UI4:
    case VT_UINT: return {0, std::numeric_limits<uint32_t>::max()};
    case VT_I8: return {std::numeric_limits<int64_t>::min(), uint64_t(std::numeric_limits<int64_t>::max())};
    default: return {0, std::numeric_limits<uint64_t>::max()};  // VT_UI8
    }
}

// A number into an integer type: range checked, reals rounded half to even.
HRESULT toInteger(const Number& n, VARTYPE vt, VARIANT& out) {
    const Range r = rangeOf(vt);
    bool negative = false;
    ULONGLONG magnitude = 0;
    if (n.kind == Number::Real) {
        if (std::isnan(n.d)) return DISP_E_OVERFLOW;
        const double rounded = std::nearbyint(n.d);  // default rounding: half to even
        if (rounded >= 18446744073709551616.0 || rounded < -9223372036854775808.0) return DISP_E_OVERFLOW;
        negative = rounded < 0;
        magnitude = negative ? ULONGLONG(-(rounded + 1.0)) + 1 : ULONGLONG(rounded);
    } else if (n.kind == Number::Unsigned) {
        magnitude = n.u;
    } else {
        negative = n.s < 0;
        magnitude = negative ? ULONGLONG(-(n.s + 1)) + 1 : ULONGLONG(n.s);
    }
    if (negative) {
        if (magnitude > ULONGLONG(-(r.min + 1)) + 1 || (r.min == 0 && magnitude != 0)) return DISP_E_OVERFLOW;
    } else if (magnitude > r.max) {
        return DISP_E_OVERFLOW;
    }
    const LONGLONG value = negative ? -LONGLONG(magnitude - 1) - 1 : LONGLONG(magnitude);
    qoro::com::detail::storeNumber(&out, vt, value, 0.0);
    if (vt == VT_UI8) out.ullVal = magnitude;
    return S_OK;
}

double realOfNumber(const Number& n) {
    switch (n.kind) {
    case Number::Real: return n.d;
    case Number::Unsigned: return static_cast<double>(n.u);
    default: return static_cast<double>(n.s);
    }
}

std::string formatNumber(const VARIANT& v) {
    char buf[64];
    switch (v.vt) {
    case VT_R4: std::snprintf(buf, sizeof buf, "%.7G", double(v.fltVal)); break;
    case VT_R8: std::snprintf(buf, sizeof buf, "%.15G", v.dblVal); break;
    case VT_UI8: std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v.ullVal)); break;
    default: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(qoro::com::detail::integerOf(v))); break;
    }
    return buf;
}

HRESULT fromBool(bool b, VARTYPE vt, VARIANT& out) {
    if (vt == VT_BOOL || vt == VT_R4 || vt == VT_R8) {
        qoro::com::detail::storeNumber(&out, vt, b ? -1 : 0, b ? -1.0 : 0.0);
        return S_OK;
    }
    Number n;
    n.s = b ? -1 : 0;
    if (b && !(rangeOf(vt).min < 0)) {  // unsigned types take all bits set
        n.kind = Number::Unsigned;
        n.u = rangeOf(vt).max;
    }
    return toInteger(n, vt, out);
}

HRESULT numberTo(const Number& n, VARTYPE vt, VARIANT& out) {
    if (vt == VT_BOOL) {
        const bool b = n.kind == Number::Real ? n.d != 0.0 : n.kind == Number::Unsigned ? n.u != 0 : n.s != 0;
        qoro::com::detail::storeNumber(&out, VT_BOOL, b ? -1 : 0, 0.0);
        return S_OK;
    }
    if (vt == VT_R8) {
        qoro::com::detail::storeNumber(&out, VT_R8, 0, realOfNumber(n));
        return S_OK;
    }
    if (vt == VT_R4) {
        const double d = realOfNumber(n);
        if (std::fabs(d) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
        qoro::com::detail::storeNumber(&out, VT_R4, 0, d);
        return S_OK;
    }
    return toInteger(n, vt, out);
}

// Coerces a by-value VARIANT.
HRESULT changeType(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt) {
    if (in.vt == vt) return VariantCopy(&out, &in);
    if (vt == VT_EMPTY) return S_OK;
    if (in.vt == VT_NULL || in.vt == VT_ERROR || (in.vt & VT_ARRAY) || (vt & (VT_ARRAY | VT_BYREF)))
        return DISP_E_TYPEMISMATCH;
    if (isNumeric(vt)) {
        if (in.vt == VT_EMPTY) return numberTo(Number{}, vt, out);
        if (in.vt == VT_BOOL) return fromBool(in.boolVal != 0, vt, out);
        if (isNumeric(in.vt)) return numberTo(numberOf(in), vt, out);
        if (in.vt == VT_BSTR) {
            if (vt == VT_BOOL) {
                const std::string s = trim(qoro::com::utf8FromBstr(in.bstrVal));
                if (equalsNoCase(s, "true") || equalsNoCase(s, "#TRUE#")) return fromBool(true, vt, out);
                if (equalsNoCase(s, "false") || equalsNoCase(s, "#FALSE#")) return fromBool(false, vt, out);
            }
            Number n;
            HRESULT hr = parseNumber(in.bstrVal, n);
            if (FAILED(hr)) return hr;
            return numberTo(n, vt, out);
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_BSTR) {
        std::string text;
        if (in.vt == VT_EMPTY)
            text.clear();
        else if (in.vt == VT_BOOL)
            text = (flags & VARIANT_ALPHABOOL) ? (in.boolVal ? "True" : "False") : (in.boolVal ? "-1" : "0");
        else if (isNumeric(in.vt))
            text = formatNumber(in);
        else
            return DISP_E_TYPEMISMATCH;
        out.bstrVal = qoro::com::bstrFromUtf8(text);
        if (!out.bstrVal) return E_OUTOFMEMORY;
        out.vt = VT_BSTR;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (in.vt == VT_EMPTY) {
            out.vt = vt;
            out.punkVal = nullptr;
            return S_OK;
        }
        if ((in.vt != VT_UNKNOWN && in.vt != VT_DISPATCH) || !in.punkVal) return DISP_E_TYPEMISMATCH;
        void* p = nullptr;
        if (FAILED(in.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p)))
            return DISP_E_TYPEMISMATCH;
        out.vt = vt;
        out.punkVal = static_cast<IUnknown*>(p);
        return S_OK;
    }
    return DISP_E_BADVARTYPE;
}

}  // namespace

namespace qoro::com::detail {

LONGLONG integerOf(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return v.cVal;
    case VT_UI1: return v.bVal;
    case VT_I2: return v.iVal;
    case VT_UI2: return v.uiVal;
    case VT_I4: return v.lVal;
    case VT_UI4: return v.ulVal;
    case VT_I8: return v.llVal;
    case VT_UI8: return static_cast<LONGLONG>(v.ullVal);
    case VT_INT: return v.intVal;
    case VT_UINT: return v.uintVal;
    case VT_BOOL: return v.boolVal;
    case VT_ERROR: return v.scode;
    default: return 0;
    }
}

double realOf(const VARIANT& v) {
    if (v.vt == VT_R8) return v.dblVal;
    if (v.vt == VT_R4) return v.fltVal;
    return static_cast<double>(integerOf(v));
}

void storeNumber(VARIANT* out, VARTYPE vt, LONGLONG i, double d) {
    out->vt = vt;
    out->llVal = 0;
    switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(i); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(i); break;
    case VT_I2: out->iVal = static_cast<SHORT>(i); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(i); break;
    case VT_I4: out->lVal = static_cast<LONG>(i); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(i); break;
    case VT_I8: out->llVal = i; break;
    case VT_UI8: out->ullVal = static_cast<ULONGLONG>(i); break;
    case VT_INT: out->intVal = static_cast<INT>(i); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(i); break;
    case VT_BOOL: out->boolVal = i ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_R4: out->fltVal = static_cast<FLOAT>(d); break;
    case VT_R8: out->dblVal = d; break;
    case VT_ERROR: out->scode = static_cast<SCODE>(i); break;
    default: out->vt = VT_EMPTY; break;
    }
}

}  // namespace qoro::com::detail

extern "C" {

void VariantInit(VARIANTARG* v) {
    if (!v) return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* v) {
    if (!v) return E_INVALIDARG;
    if (!(v->vt & VT_BYREF)) {
        if (v->vt & VT_ARRAY) {
            if (v->parray) {
                HRESULT hr = SafeArrayDestroy(v->parray);
                if (FAILED(hr)) return hr;
            }
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if ((v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) && v->punkVal) {
            v->punkVal->Release();
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT copy = *src;
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            copy.parray = nullptr;
            if (src->parray) {
                HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
                if (FAILED(hr)) return hr;
            }
        } else if (src->vt == VT_BSTR && src->bstrVal) {
            copy.bstrVal =
                SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal), SysStringByteLen(src->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
            src->punkVal->AddRef();
        }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
    if (!src->byref) return E_INVALIDARG;
    const VARTYPE vt = static_cast<VARTYPE>(src->vt & ~VT_BYREF);
    VARIANT value;
    VariantInit(&value);
    value.vt = vt;
    if (vt & VT_ARRAY) {
        value.parray = *src->pparray;
    } else {
        switch (vt) {
        case VT_VARIANT: return VariantCopyInd(dest, src->pvarVal);
        case VT_I1:
        case VT_UI1: value.bVal = *src->pbVal; break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL: value.iVal = *src->piVal; break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4: value.lVal = *src->plVal; break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY: value.llVal = *src->pllVal; break;
        case VT_BSTR: value.bstrVal = *src->pbstrVal; break;
        case VT_UNKNOWN:
        case VT_DISPATCH: value.punkVal = *src->ppunkVal; break;
        default: return DISP_E_BADVARTYPE;
        }
    }
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);  // deep copy of the referenced value
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
    if (!dest || !src) return E_INVALIDARG;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopyInd(&value, src);
    if (FAILED(hr)) return hr;
    VARIANT result;
    VariantInit(&result);
    hr = changeType(result, value, flags, vt);
    VariantClear(&value);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    VariantClear(dest);
    *dest = result;
    return S_OK;
}

}  // extern "C"
