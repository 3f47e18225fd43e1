// A small component used by the runtime's tests: a calculator object with a
// dual interface and one event interface, exercising every kind of member the
// dispatch tables support.
#pragma once

#include <string>

#include "qoro/com_server.h"

// {5F0B6C1E-2C53-4C8A-9E43-7A1D0C2B9F11}
inline constexpr CLSID CLSID_TestCalc = qoro::com::guid("{5F0B6C1E-2C53-4C8A-9E43-7A1D0C2B9F11}");
inline constexpr IID IID_ITestCalc = qoro::com::guid("{5F0B6C1E-2C53-4C8A-9E43-7A1D0C2B9F12}");
inline constexpr IID DIID__ITestCalcEvents = qoro::com::guid("{5F0B6C1E-2C53-4C8A-9E43-7A1D0C2B9F13}");
inline constexpr GUID LIBID_TestCalc = qoro::com::guid("{5F0B6C1E-2C53-4C8A-9E43-7A1D0C2B9F14}");
inline constexpr const char* PROGID_TestCalc = "QoroTest.Calc.1";
inline constexpr const char* PROGID_TestCalc_VI = "QoroTest.Calc";

struct ITestCalc : public IDispatch {
    virtual HRESULT Add(LONG a, LONG b, LONG c, LONG* result) = 0;  // c optional (100)
    virtual HRESULT Describe(BSTR text, SHORT count, double scale, VARIANT extra, BSTR* result) = 0;
    virtual HRESULT get_Level(LONG* value) = 0;
    virtual HRESULT put_Level(LONG value) = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* value) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL value) = 0;
    virtual HRESULT Sum(SAFEARRAY** samples, LONG* result) = 0;  // array by reference
    virtual HRESULT Make(LONG count, SAFEARRAY** samples) = 0;   // array as retval
    virtual HRESULT Fail(LONG code) = 0;
    virtual HRESULT Raise(LONG code, BSTR text) = 0;  // fires Changed(code, text)
    virtual HRESULT get_Self(ITestCalc** value) = 0;
    virtual HRESULT Scale(SHORT value, SHORT* result) = 0;  // 16-bit overflow checks
};

namespace testcalc {

namespace dispid {
inline constexpr DISPID Add = 1, Describe = 2, Level = 3, Enabled = 4, Sum = 5, Make = 6, Fail = 7, Raise = 8, Self = 9,
                        Scale = 10;
inline constexpr DISPID Changed = 1;  // event
}  // namespace dispid

namespace {

class Calc : public qoro::com::Object<Calc, qoro::com::Iface<ITestCalc, IID_ITestCalc>,
                                      qoro::com::Events<DIID__ITestCalcEvents>> {
public:
    static const qoro::com::DispatchTable& dispatchTable() {
        using namespace qoro::com;
        static const DispatchTable table{
            method<&ITestCalc::Add>(dispid::Add, u"Add", {required(), required(), optional(100)}),
            method<&ITestCalc::Describe>(dispid::Describe, u"Describe",
                                         {required(), optional(1), optional(1.5), optional()}),
            propget<&ITestCalc::get_Level>(dispid::Level, u"Level"),
            propput<&ITestCalc::put_Level>(dispid::Level, u"Level"),
            propget<&ITestCalc::get_Enabled>(dispid::Enabled, u"Enabled").returns(VT_BOOL),
            propput<&ITestCalc::put_Enabled>(dispid::Enabled, u"Enabled", required(VT_BOOL)),
            method<&ITestCalc::Sum>(dispid::Sum, u"Sum", {required()}),
            method<&ITestCalc::Make>(dispid::Make, u"Make", {required()}),
            method<&ITestCalc::Fail>(dispid::Fail, u"Fail"),
            method<&ITestCalc::Raise>(dispid::Raise, u"Raise", {required(), optional(u"none")}),
            propget<&ITestCalc::get_Self>(dispid::Self, u"Self"),
            method<&ITestCalc::Scale>(dispid::Scale, u"Scale"),
        };
        return table;
    }

    HRESULT Add(LONG a, LONG b, LONG c, LONG* result) override {
        if (!result) return E_POINTER;
        *result = a + b + c;
        return S_OK;
    }
    HRESULT Describe(BSTR text, SHORT count, double scale, VARIANT extra, BSTR* result) override {
        if (!result) return E_POINTER;
        std::string out = qoro::com::utf8FromBstr(text) + "|" + std::to_string(count) + "|" +
                          std::to_string(static_cast<int>(scale * 100)) + "|";
        if (extra.vt == VT_ERROR && extra.scode == DISP_E_PARAMNOTFOUND)
            out += "missing";
        else
            out += "vt" + std::to_string(extra.vt);
        *result = qoro::com::bstrFromUtf8(out);
        return S_OK;
    }
    HRESULT get_Level(LONG* value) override {
        if (!value) return E_POINTER;
        *value = level_;
        return S_OK;
    }
    HRESULT put_Level(LONG value) override {
        level_ = value;
        return S_OK;
    }
    HRESULT get_Enabled(VARIANT_BOOL* value) override {
        if (!value) return E_POINTER;
        *value = enabled_;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL value) override {
        enabled_ = value;
        return S_OK;
    }
    HRESULT Sum(SAFEARRAY** samples, LONG* result) override {
        if (!samples || !result) return E_POINTER;
        *result = 0;
        if (!*samples) return S_OK;
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(*samples, 1, &lo);
        SafeArrayGetUBound(*samples, 1, &hi);
        void* data = nullptr;
        SafeArrayAccessData(*samples, &data);
        for (LONG i = 0; i <= hi - lo; ++i) *result += static_cast<SHORT*>(data)[i];
        SafeArrayUnaccessData(*samples);
        return S_OK;
    }
    HRESULT Make(LONG count, SAFEARRAY** samples) override {
        if (!samples) return E_POINTER;
        *samples = SafeArrayCreateVector(VT_I2, 0, count < 0 ? 0 : static_cast<ULONG>(count));
        if (!*samples) return E_OUTOFMEMORY;
        void* data = nullptr;
        SafeArrayAccessData(*samples, &data);
        for (LONG i = 0; i < count; ++i) static_cast<SHORT*>(data)[i] = static_cast<SHORT>(i * 3);
        SafeArrayUnaccessData(*samples);
        return S_OK;
    }
    HRESULT Fail(LONG code) override { return static_cast<HRESULT>(code); }
    HRESULT Raise(LONG code, BSTR text) override {
        fire(dispid::Changed, code, qoro::com::view(text));
        return S_OK;
    }
    HRESULT get_Self(ITestCalc** value) override {
        if (!value) return E_POINTER;
        AddRef();
        *value = this;
        return S_OK;
    }
    HRESULT Scale(SHORT value, SHORT* result) override {
        if (!result) return E_POINTER;
        *result = static_cast<SHORT>(value * 2);
        return S_OK;
    }

private:
    LONG level_ = 7;
    VARIANT_BOOL enabled_ = VARIANT_FALSE;
};

}  // namespace

}  // namespace testcalc
