// Objects: reference counting, QueryInterface rules, the table-driven
// IDispatch and connection-point events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_calc.h"

namespace {

using qoro::com::ComPtr;

ComPtr<ITestCalc> newCalc() {
    ComPtr<ITestCalc> calc;
    EXPECT_EQ(qoro::com::createInstance<testcalc::Calc>(IID_ITestCalc, calc.putVoid()), S_OK);
    return calc;
}

TEST(Object, QueryInterfaceFollowsTheRules) {
    ComPtr<ITestCalc> calc = newCalc();
    ASSERT_TRUE(calc);
    const long before = qoro::com::moduleLocks();
    EXPECT_GE(before, 1);
    EXPECT_EQ(qoro::com::canUnloadNow(), S_FALSE);

    // Identity: every interface gives the same IUnknown.
    ComPtr<IUnknown> unk1, unk2;
    ASSERT_EQ(calc->QueryInterface(IID_IUnknown, unk1.putVoid()), S_OK);
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(calc->QueryInterface(IID_IConnectionPointContainer, cpc.putVoid()), S_OK);
    ASSERT_EQ(cpc->QueryInterface(IID_IUnknown, unk2.putVoid()), S_OK);
    EXPECT_EQ(unk1.get(), unk2.get());
    // Symmetry and transitivity.
    ComPtr<IDispatch> disp;
    ASSERT_EQ(cpc->QueryInterface(IID_IDispatch, disp.putVoid()), S_OK);
    ComPtr<ITestCalc> back;
    ASSERT_EQ(disp->QueryInterface(IID_ITestCalc, back.putVoid()), S_OK);
    EXPECT_EQ(back.get(), calc.get());
    ComPtr<IConnectionPointContainer> cpc2;
    ASSERT_EQ(back->QueryInterface(IID_IConnectionPointContainer, cpc2.putVoid()), S_OK);
    EXPECT_EQ(cpc2.get(), cpc.get());
    // Unknown interfaces.
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(calc->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(calc->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST(Object, ReferenceCountsAndModuleCount) {
    const long base = qoro::com::moduleLocks();
    ITestCalc* raw = nullptr;
    ASSERT_EQ(qoro::com::createInstance<testcalc::Calc>(IID_ITestCalc, reinterpret_cast<void**>(&raw)), S_OK);
    EXPECT_EQ(qoro::com::moduleLocks(), base + 1);
    EXPECT_EQ(raw->AddRef(), 2u);
    EXPECT_EQ(raw->Release(), 1u);
    // A connection point shares the object's count.
    IConnectionPointContainer* cpc = nullptr;
    raw->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID__ITestCalcEvents, &cp), S_OK);
    IConnectionPoint* none = cp;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    cpc->Release();
    EXPECT_EQ(raw->Release(), 1u);  // the connection point still holds the object
    EXPECT_EQ(qoro::com::moduleLocks(), base + 1);
    EXPECT_EQ(cp->Release(), 0u);
    EXPECT_EQ(qoro::com::moduleLocks(), base);
}

// Invoke helper: arguments given left to right, stored in reverse.
struct Call {
    HRESULT hr = E_FAIL;
    VARIANT result{};
    UINT argErr = 12345;
    EXCEPINFO excep{};
    ~Call() { VariantClear(&result); }
};

VARIANT i4(LONG v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT i2(SHORT v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_I2;
    r.iVal = v;
    return r;
}
VARIANT r8(double v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
}
VARIANT boolean(bool v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BOOL;
    r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}
VARIANT text(const char16_t* s) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocString(s);
    return r;
}
VARIANT missing() {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_ERROR;
    r.scode = DISP_E_PARAMNOTFOUND;
    return r;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        calc = newCalc();
        ASSERT_EQ(calc->QueryInterface(IID_IDispatch, disp.putVoid()), S_OK);
    }
    DISPID id(const char16_t* name) {
        std::u16string copy(name);
        LPOLESTR names[] = {copy.data()};
        DISPID out = 99;
        disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &out);
        return out;
    }
    void invoke(Call& c, DISPID member, WORD flags, std::vector<VARIANT> args, bool put = false) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS dp{reversed.empty() ? nullptr : reversed.data(), put ? &named : nullptr,
                      static_cast<UINT>(reversed.size()), put ? 1u : 0u};
        c.hr = disp->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, &c.result, &c.excep, &c.argErr);
        for (VARIANT& v : args) VariantClear(&v);
    }
    ComPtr<ITestCalc> calc;
    ComPtr<IDispatch> disp;
};

TEST_F(DispatchTest, NamesResolveWithoutRegardToCase) {
    EXPECT_EQ(id(u"add"), testcalc::dispid::Add);
    EXPECT_EQ(id(u"DESCRIBE"), testcalc::dispid::Describe);
    EXPECT_EQ(id(u"Level"), testcalc::dispid::Level);
    std::u16string bad = u"Subtract";
    LPOLESTR names[] = {bad.data()};
    DISPID out = 0;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &out), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(out, DISPID_UNKNOWN);
    UINT count = 9;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(DispatchTest, OptionalArgumentsTakeTheirDefaults) {
    Call omitted, passedMissing, given;
    invoke(omitted, testcalc::dispid::Add, DISPATCH_METHOD, {i4(2), i4(3)});
    ASSERT_EQ(omitted.hr, S_OK);
    EXPECT_EQ(omitted.result.vt, VT_I4);
    EXPECT_EQ(omitted.result.lVal, 105);
    invoke(passedMissing, testcalc::dispid::Add, DISPATCH_METHOD, {i4(2), i4(3), missing()});
    EXPECT_EQ(passedMissing.result.lVal, 105);
    invoke(given, testcalc::dispid::Add, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {i4(2), i4(3), i4(-5)});
    EXPECT_EQ(given.result.lVal, 0);

    Call d1, d2;
    invoke(d1, testcalc::dispid::Describe, DISPATCH_METHOD, {text(u"Ü")});
    ASSERT_EQ(d1.hr, S_OK);
    ASSERT_EQ(d1.result.vt, VT_BSTR);
    EXPECT_EQ(qoro::com::utf8FromBstr(d1.result.bstrVal), "Ü|1|150|missing");
    invoke(d2, testcalc::dispid::Describe, DISPATCH_METHOD, {text(u"x"), missing(), r8(0.25), i2(4)});
    EXPECT_EQ(qoro::com::utf8FromBstr(d2.result.bstrVal), "x|1|25|vt2");
}

TEST_F(DispatchTest, ArgumentsAreCoercedAsAutomationDoes) {
    Call c;
    // a as text, b as a double rounded half to even, c as a boolean (-1).
    invoke(c, testcalc::dispid::Add, DISPATCH_METHOD, {text(u"40"), r8(2.5), boolean(true)});
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.result.lVal, 41);
    Call d;
    invoke(d, testcalc::dispid::Describe, DISPATCH_METHOD, {i4(-17), text(u"3")});
    EXPECT_EQ(qoro::com::utf8FromBstr(d.result.bstrVal), "-17|3|150|missing");
    // A reference to a VARIANT is looked through.
    VARIANT inner = i2(9);
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    Call e;
    invoke(e, testcalc::dispid::Add, DISPATCH_METHOD, {ref, i4(1), i4(0)});
    EXPECT_EQ(e.result.lVal, 10);
}

TEST_F(DispatchTest, PropertiesGetAndPut) {
    Call get1, put, get2;
    invoke(get1, testcalc::dispid::Level, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(get1.result.lVal, 7);
    invoke(put, testcalc::dispid::Level, DISPATCH_PROPERTYPUT, {text(u"  -12 ")}, true);
    ASSERT_EQ(put.hr, S_OK);
    EXPECT_EQ(put.result.vt, VT_EMPTY);
    invoke(get2, testcalc::dispid::Level, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(get2.result.lVal, -12);
    LONG direct = 0;
    calc->get_Level(&direct);
    EXPECT_EQ(direct, -12);

    Call putBool, getBool;
    invoke(putBool, testcalc::dispid::Enabled, DISPATCH_PROPERTYPUT, {i4(5)}, true);  // any non-zero: true
    ASSERT_EQ(putBool.hr, S_OK);
    invoke(getBool, testcalc::dispid::Enabled, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(getBool.result.vt, VT_BOOL);
    EXPECT_EQ(getBool.result.boolVal, VARIANT_TRUE);
}

TEST_F(DispatchTest, SampleArraysByValueByReferenceAndAsResult) {
    Call made;
    invoke(made, testcalc::dispid::Make, DISPATCH_METHOD, {i4(5)});
    ASSERT_EQ(made.hr, S_OK);
    ASSERT_EQ(made.result.vt, VT_ARRAY | VT_I2);
    LONG hi = 0;
    SafeArrayGetUBound(made.result.parray, 1, &hi);
    EXPECT_EQ(hi, 4);

    // By value: the caller's array stays the caller's.
    VARIANT byValue = made.result;
    Call sum1;
    std::vector<VARIANT> reversed{byValue};
    DISPPARAMS dp{reversed.data(), nullptr, 1, 0};
    sum1.hr = disp->Invoke(testcalc::dispid::Sum, IID_NULL, 0, DISPATCH_METHOD, &dp, &sum1.result, nullptr, nullptr);
    ASSERT_EQ(sum1.hr, S_OK);
    EXPECT_EQ(sum1.result.lVal, 0 + 3 + 6 + 9 + 12);

    // By reference.
    SAFEARRAY* array = made.result.parray;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_ARRAY | VT_I2;
    byRef.pparray = &array;
    Call sum2;
    DISPPARAMS dp2{&byRef, nullptr, 1, 0};
    sum2.hr = disp->Invoke(testcalc::dispid::Sum, IID_NULL, 0, DISPATCH_METHOD, &dp2, &sum2.result, nullptr, nullptr);
    EXPECT_EQ(sum2.result.lVal, 30);

    // Any other type does not match.
    Call wrong;
    invoke(wrong, testcalc::dispid::Sum, DISPATCH_METHOD, {i4(1)});
    EXPECT_EQ(wrong.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(wrong.argErr, 0u);

    // A result nobody asked for is freed (ASan would see a leak).
    VARIANT arg = i4(3);
    DISPPARAMS dp3{&arg, nullptr, 1, 0};
    EXPECT_EQ(disp->Invoke(testcalc::dispid::Make, IID_NULL, 0, DISPATCH_METHOD, &dp3, nullptr, nullptr, nullptr),
              S_OK);
}

TEST_F(DispatchTest, InterfaceResultsComeBackCounted) {
    Call self;
    invoke(self, testcalc::dispid::Self, DISPATCH_PROPERTYGET, {});
    ASSERT_EQ(self.hr, S_OK);
    ASSERT_EQ(self.result.vt, VT_DISPATCH);
    EXPECT_EQ(self.result.pdispVal, disp.get());
}

TEST_F(DispatchTest, ErrorsAreReported) {
    Call unknownMember;
    invoke(unknownMember, 4242, DISPATCH_METHOD, {});
    EXPECT_EQ(unknownMember.hr, DISP_E_MEMBERNOTFOUND);
    Call wrongKind;  // Level has no method form
    invoke(wrongKind, testcalc::dispid::Level, DISPATCH_METHOD, {});
    EXPECT_EQ(wrongKind.hr, DISP_E_MEMBERNOTFOUND);
    Call putOnMethod;
    invoke(putOnMethod, testcalc::dispid::Add, DISPATCH_PROPERTYPUT, {i4(1)}, true);
    EXPECT_EQ(putOnMethod.hr, DISP_E_MEMBERNOTFOUND);

    Call tooFew, tooMany, notOptional;
    invoke(tooFew, testcalc::dispid::Add, DISPATCH_METHOD, {i4(1)});
    EXPECT_EQ(tooFew.hr, DISP_E_BADPARAMCOUNT);
    invoke(tooMany, testcalc::dispid::Add, DISPATCH_METHOD, {i4(1), i4(2), i4(3), i4(4)});
    EXPECT_EQ(tooMany.hr, DISP_E_BADPARAMCOUNT);
    invoke(notOptional, testcalc::dispid::Add, DISPATCH_METHOD, {i4(1), missing()});
    EXPECT_EQ(notOptional.hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(notOptional.argErr, 0u);

    Call mismatch;  // the second argument (rgvarg index 1 of 3) is not a number
    invoke(mismatch, testcalc::dispid::Add, DISPATCH_METHOD, {i4(1), text(u"many"), i4(3)});
    EXPECT_EQ(mismatch.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(mismatch.argErr, 1u);

    Call overflow;
    invoke(overflow, testcalc::dispid::Scale, DISPATCH_METHOD, {i4(40000)});
    EXPECT_EQ(overflow.hr, DISP_E_OVERFLOW);
    EXPECT_EQ(overflow.argErr, 0u);

    Call failing;
    invoke(failing, testcalc::dispid::Fail, DISPATCH_METHOD, {i4(static_cast<LONG>(E_ACCESSDENIED))});
    EXPECT_EQ(failing.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(failing.excep.scode, E_ACCESSDENIED);
    Call fine;
    invoke(fine, testcalc::dispid::Fail, DISPATCH_METHOD, {i4(0)});
    EXPECT_EQ(fine.hr, S_OK);
}

// An event sink written by hand, as a client would.
class Sink : public IDispatch {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            AddRef();
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* dp, VARIANT*, EXCEPINFO*, UINT*) override {
        EXPECT_EQ(flags, DISPATCH_METHOD);
        std::string line = std::to_string(id) + ":";
        for (UINT i = dp->cArgs; i-- > 0;) {  // left to right
            const VARIANT& v = dp->rgvarg[i];
            line += v.vt == VT_BSTR ? qoro::com::utf8FromBstr(v.bstrVal) : std::to_string(v.lVal);
            line += ",";
        }
        events.push_back(line);
        return S_OK;
    }
    ULONG refs = 1;
    std::vector<std::string> events;
};

TEST_F(DispatchTest, EventsReachAdvisedSinksUntilUnadvised) {
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(calc->QueryInterface(IID_IConnectionPointContainer, cpc.putVoid()), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID__ITestCalcEvents, cp.put()), S_OK);
    IID iid{};
    cp->GetConnectionInterface(&iid);
    EXPECT_EQ(iid, DIID__ITestCalcEvents);

    Sink a, b;
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(cp->Advise(&a, &ca), S_OK);
    ASSERT_EQ(cp->Advise(&b, &cb), S_OK);
    EXPECT_NE(ca, cb);
    EXPECT_EQ(a.refs, 2u);  // the connection holds the sink

    BSTR note = SysAllocString(u"größer");
    calc->Raise(-18, note);
    SysFreeString(note);
    ASSERT_EQ(a.events.size(), 1u);
    EXPECT_EQ(a.events[0], "1:-18,größer,");
    EXPECT_EQ(b.events, a.events);

    // Through IDispatch, with the optional text left off.
    Call raised;
    invoke(raised, testcalc::dispid::Raise, DISPATCH_METHOD, {i4(3)});
    EXPECT_EQ(a.events.back(), "1:3,none,");

    EXPECT_EQ(cp->Unadvise(ca), S_OK);
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(cp->Unadvise(ca), CONNECT_E_NOCONNECTION);
    calc->Raise(5, nullptr);
    EXPECT_EQ(a.events.size(), 2u);  // no longer delivered
    EXPECT_EQ(b.events.size(), 3u);
    EXPECT_EQ(b.events.back(), "1:5,,");
    EXPECT_EQ(cp->Advise(nullptr, &ca), E_POINTER);
    cp->Unadvise(cb);
    EXPECT_EQ(b.refs, 1u);
}

}  // namespace
