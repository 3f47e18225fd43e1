// Building blocks for in-process components on top of the component runtime.
//
// An object is a class deriving from Object<Self, entries...>, which gives it
// reference counting and QueryInterface for IUnknown, IDispatch (through the
// first dual interface), the listed interfaces, and, with Events<...>,
// IConnectionPointContainer. IDispatch comes from a table of members: each
// entry binds a DISPID and a name to a vtable member, with its argument
// defaults; GetIDsOfNames and Invoke work from the table alone.
//
//   class AudioFileObject
//       : public qoro::com::Object<AudioFileObject,
//                                  qoro::com::Iface<IAudioFile, IID_IAudioFile>,
//                                  qoro::com::Events<DIID__IAudioFileEvents>> {
//   public:
//       static const qoro::com::DispatchTable& dispatchTable() {
//           using namespace qoro::com;
//           static const DispatchTable table{
//               method<&IAudioFile::OpenFile>(1, u"OpenFile", {required(), optional(0L), optional(1L)}),
//               method<&IAudioFile::ReadFile>(5, u"ReadFile", {required()}),   // last pointer = retval
//               method<&IAudioFile::WriteFile>(4, u"WriteFile", {required()}), // SAFEARRAY** in, by reference
//               propget<&IAudioFile::get_LastErrorNum>(19, u"LastErrorNum"),
//               propput<&IAudioFile::put_FastMP3Analysis>(60, u"FastMP3Analysis"),
//           };
//           return table;
//       }
//       HRESULT OpenFile(BSTR name, LONG type, LONG flag) override { ...; fire(1, LONG(-18)); ... }
//       ...
//   };
//
//   // the component module: its classes and the four exports
//   static std::span<const qoro::com::ClassEntry> classes() {
//       static const qoro::com::ClassEntry list[] = {{
//           .clsid = &CLSID_AudioFile, .create = &qoro::com::createInstance<AudioFileObject>,
//           .description = "AudioFile Class", .progId = "QoroAudioFile.AudioFile.1",
//           .versionIndependentProgId = "QoroAudioFile.AudioFile", .typeLib = &LIBID_QoroAudioFile,
//       }};
//       return list;
//   }
//   QORO_COM_MODULE_EXPORTS(classes)
//
// Argument lists: for method<> the list holds one entry per input parameter;
// when it is one shorter than the parameter list, the last parameter is the
// [out, retval]. Without a list every parameter is a required input, except a
// trailing pointer to a value (number, enum, BSTR, VARIANT, interface pointer)
// which is the [out, retval]. propget<> returns its last parameter; propput<>
// takes the value as its last parameter (named DISPID_PROPERTYPUT).
// required(VT_BOOL) / .returns(VT_BOOL) make a SHORT travel as VARIANT_BOOL.
//
// Coercion follows Automation: integer widths with overflow checks, doubles
// rounded half to even, booleans as 0 / -1, text parsed and formatted. The
// sample array is accepted as VT_ARRAY|VT_I2 by value or VT_BYREF|VT_ARRAY|VT_I2.
// Optional arguments may be left off (fewer cArgs) or passed as VT_ERROR /
// DISP_E_PARAMNOTFOUND; they take their defaults. A failing member HRESULT is
// reported as DISP_E_EXCEPTION with EXCEPINFO::scode set.
#pragma once

#include <array>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "qoro/com.h"

// What belongs to the module that includes this header (each component keeps
// its own object count) is hidden from other modules.
#define QORO_COM_LOCAL __attribute__((visibility("hidden")))

namespace qoro::com {

// ---------------------------------------------------------------------------
// Module lock count (objects alive + LockServer locks) of this library.

namespace detail {
QORO_COM_LOCAL inline std::atomic<long> moduleLockCount{0};
}
QORO_COM_LOCAL inline void moduleLock() { detail::moduleLockCount.fetch_add(1, std::memory_order_relaxed); }
QORO_COM_LOCAL inline void moduleUnlock() { detail::moduleLockCount.fetch_sub(1, std::memory_order_acq_rel); }
QORO_COM_LOCAL inline long moduleLocks() { return detail::moduleLockCount.load(std::memory_order_acquire); }
// DllCanUnloadNow.
QORO_COM_LOCAL inline HRESULT canUnloadNow() { return moduleLocks() == 0 ? S_OK : S_FALSE; }

// ---------------------------------------------------------------------------
// Dispatch tables.

// One argument of a member: required, or optional with a default.
struct ArgSpec {
    bool optional = false;
    VARTYPE coerceTo = VT_EMPTY;  // VT_EMPTY: from the C++ parameter type
    VARTYPE defaultVt = VT_ERROR; // VT_ERROR: passed as "missing"
    LONGLONG defaultInt = 0;
    double defaultReal = 0.0;
    std::u16string defaultText;
};

inline ArgSpec required(VARTYPE coerceTo = VT_EMPTY) {
    ArgSpec a;
    a.coerceTo = coerceTo;
    return a;
}
// Optional without a default: a VARIANT parameter receives the "missing"
// marker (VT_ERROR / DISP_E_PARAMNOTFOUND), a number 0, a BSTR null.
inline ArgSpec optional() {
    ArgSpec a;
    a.optional = true;
    return a;
}
template <class T>
ArgSpec optional(T value, VARTYPE coerceTo = VT_EMPTY) {
    ArgSpec a;
    a.optional = true;
    a.coerceTo = coerceTo;
    if constexpr (std::is_same_v<T, bool>) {
        a.defaultVt = VT_BOOL;
        a.defaultInt = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        a.defaultVt = VT_I8;
        a.defaultInt = static_cast<LONGLONG>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        a.defaultVt = VT_R8;
        a.defaultReal = static_cast<double>(value);
    } else if constexpr (std::is_convertible_v<T, std::u16string_view>) {
        a.defaultVt = VT_BSTR;
        a.defaultText = std::u16string(std::u16string_view(value));
    } else if constexpr (std::is_convertible_v<T, std::string_view>) {
        a.defaultVt = VT_BSTR;
        a.defaultText = toUtf16(std::string_view(value));
    } else {
        static_assert(sizeof(T) == 0, "unsupported default value type");
    }
    return a;
}

// What a thunk receives: the input arguments in parameter order (never null),
// their specs, and where the result goes.
struct CallArgs {
    VARIANT* const* in = nullptr;
    const ArgSpec* specs = nullptr;
    VARIANT* result = nullptr;     // may be null
    VARTYPE resultVt = VT_EMPTY;   // VT_EMPTY: from the C++ type
    UINT failedParam = 0;          // set when an argument cannot be converted
    HRESULT calleeResult = S_OK;
};
using Thunk = HRESULT (*)(void* self, CallArgs& call);

enum class MemberKind : WORD { Method = DISPATCH_METHOD, PropGet = DISPATCH_PROPERTYGET, PropPut = DISPATCH_PROPERTYPUT };

struct Member {
    DISPID id = DISPID_UNKNOWN;
    std::u16string name;
    MemberKind kind = MemberKind::Method;
    Thunk thunk = nullptr;
    std::vector<ArgSpec> args;  // input parameters
    bool hasResult = false;
    VARTYPE resultVt = VT_EMPTY;
    // Coerces the [out, retval] value to vt (e.g. VT_BOOL for a VARIANT_BOOL).
    Member&& returns(VARTYPE vt) && {
        resultVt = vt;
        return std::move(*this);
    }
};

class QORO_COM_API DispatchTable {
public:
    DispatchTable(std::initializer_list<Member> members);
    // The member for an id and a DISPATCH_* flag set (null when none).
    const Member* find(DISPID id, WORD flags) const;
    bool hasId(DISPID id) const;
    // Case-insensitive; DISPID_UNKNOWN when unknown.
    DISPID idOf(std::u16string_view name) const;
    const std::vector<Member>& members() const { return members_; }

private:
    std::vector<Member> members_;
};

// The generic IDispatch members, working from a table. 'self' is the
// interface pointer the table's members belong to.
QORO_COM_API HRESULT dispatchGetIDsOfNames(const DispatchTable& table, LPOLESTR* names, UINT count,
                                           DISPID* ids);
QORO_COM_API HRESULT dispatchInvoke(const DispatchTable& table, void* self, DISPID id, WORD flags,
                                    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                    UINT* argErr);

namespace detail {

template <class T>
struct MemFn;
template <class C, class... P>
struct MemFn<HRESULT (C::*)(P...)> {
    using Class = C;
    using Params = std::tuple<P...>;
    static constexpr size_t arity = sizeof...(P);
};

template <class T>
constexpr VARTYPE vtOf() {
    if constexpr (std::is_same_v<T, bool>) return VT_BOOL;
    else if constexpr (std::is_enum_v<T>) return VT_I4;
    else if constexpr (std::is_floating_point_v<T>) return sizeof(T) == 4 ? VT_R4 : VT_R8;
    else if constexpr (std::is_signed_v<T>)
        return sizeof(T) == 1 ? VT_I1 : sizeof(T) == 2 ? VT_I2 : sizeof(T) == 4 ? VT_I4 : VT_I8;
    else
        return sizeof(T) == 1 ? VT_UI1 : sizeof(T) == 2 ? VT_UI2 : sizeof(T) == 4 ? VT_UI4 : VT_UI8;
}

inline bool isMissing(const VARIANT* v) {
    return v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND;
}

// A VARIANT by reference to a VARIANT is looked through.
inline VARIANT* unwrap(VARIANT* v) {
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    return v;
}

QORO_COM_API LONGLONG integerOf(const VARIANT& v);  // v already coerced to an integer or bool type
QORO_COM_API double realOf(const VARIANT& v);       // v already coerced to VT_R4 / VT_R8
// Writes vt and the field of vt: an integer type (or VT_BOOL) from i, VT_R4 /
// VT_R8 from d.
QORO_COM_API void storeNumber(VARIANT* out, VARTYPE vt, LONGLONG i, double d);
// A number in the VARIANT type of its C++ type.
template <class T>
void storeValue(VARIANT* out, T value) {
    if constexpr (std::is_enum_v<T>) storeNumber(out, VT_I4, static_cast<LONGLONG>(value), 0.0);
    else if constexpr (std::is_floating_point_v<T>) storeNumber(out, vtOf<T>(), 0, static_cast<double>(value));
    else storeNumber(out, vtOf<T>(), static_cast<LONGLONG>(value), 0.0);
}

template <class T>
constexpr bool isInterfacePtr = std::is_pointer_v<T> && std::is_base_of_v<IUnknown, std::remove_pointer_t<T>>;

// Input conversions, one per parameter type.
template <class T, class = void>
struct InArg {
    static_assert(sizeof(T) == 0, "parameter type not supported by the dispatch table");
};

template <class T>
struct InArg<T, std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>>> {
    T value{};
    HRESULT load(VARIANT* v, const ArgSpec& argSpec) {
        v = unwrap(v);
        if (isMissing(v)) return S_OK;  // optional without default: zero
        VARTYPE target = argSpec.coerceTo != VT_EMPTY ? argSpec.coerceTo : vtOf<T>();
        VARIANT tmp;
        VariantInit(&tmp);
        HRESULT hr = VariantChangeType(&tmp, v, 0, target);
        if (FAILED(hr)) return hr;
        if (target == VT_R4 || target == VT_R8) value = static_cast<T>(realOf(tmp));
        else value = static_cast<T>(integerOf(tmp));
        return S_OK;
    }
    T get() { return value; }
};

template <>
struct InArg<BSTR> {
    VARIANT owned{};  // VT_EMPTY unless a coercion made a new string
    BSTR value = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec&) {
        v = unwrap(v);
        if (isMissing(v)) return S_OK;
        if (v->vt == VT_BSTR) {
            value = v->bstrVal;
            return S_OK;
        }
        if (v->vt == (VT_BYREF | VT_BSTR)) {
            value = v->pbstrVal ? *v->pbstrVal : nullptr;
            return S_OK;
        }
        HRESULT hr = VariantChangeType(&owned, v, 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        value = owned.bstrVal;
        return S_OK;
    }
    BSTR get() { return value; }
    ~InArg() { VariantClear(&owned); }
};

template <>
struct InArg<VARIANT> {
    VARIANT value{};
    HRESULT load(VARIANT* v, const ArgSpec&) {
        value = *unwrap(v);  // borrowed, as a by-value VARIANT is
        return S_OK;
    }
    VARIANT get() { return value; }
};

template <>
struct InArg<VARIANT*> {
    VARIANT* value = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec&) {
        value = v;
        return S_OK;
    }
    VARIANT* get() { return value; }
};

inline VARTYPE arrayType(const ArgSpec& argSpec) {
    return argSpec.coerceTo != VT_EMPTY ? static_cast<VARTYPE>(argSpec.coerceTo | VT_ARRAY) : static_cast<VARTYPE>(VT_ARRAY | VT_I2);
}

template <>
struct InArg<SAFEARRAY*> {
    SAFEARRAY* value = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec& argSpec) {
        v = unwrap(v);
        const VARTYPE want = arrayType(argSpec);
        if (v->vt == want) value = v->parray;
        else if (v->vt == (want | VT_BYREF)) value = v->pparray ? *v->pparray : nullptr;
        else return DISP_E_TYPEMISMATCH;
        return S_OK;
    }
    SAFEARRAY* get() { return value; }
};

template <>
struct InArg<SAFEARRAY**> {
    SAFEARRAY* local = nullptr;
    SAFEARRAY** value = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec& argSpec) {
        v = unwrap(v);
        const VARTYPE want = arrayType(argSpec);
        if (v->vt == (want | VT_BYREF) && v->pparray) {
            value = v->pparray;
        } else if (v->vt == want) {
            local = v->parray;
            value = &local;
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }
    SAFEARRAY** get() { return value; }
};

// An [out] text ahead of the [out, retval] result (GetPicture's MIME type)
// through IDispatch: a BSTR by reference (its old text freed), a VARIANT by
// reference (cleared, then given the text), or left off.
template <>
struct InArg<BSTR*> {
    BSTR local = nullptr;
    BSTR* value = nullptr;
    VARIANT* target = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec&) {
        if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal) {
            SysFreeString(*v->pbstrVal);
            *v->pbstrVal = nullptr;
            value = v->pbstrVal;
            return S_OK;
        }
        value = &local;
        if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) {
            target = unwrap(v);
            VariantClear(target);
            return S_OK;
        }
        return isMissing(v) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    BSTR* get() { return value; }
    ~InArg() {
        if (target) {
            target->vt = VT_BSTR;
            target->bstrVal = local ? local : SysAllocString(u"");
        } else if (value == &local) {
            SysFreeString(local);
        }
    }
};

template <class T>
struct InArg<T, std::enable_if_t<isInterfacePtr<T>>> {
    T value = nullptr;
    HRESULT load(VARIANT* v, const ArgSpec&) {
        v = unwrap(v);
        IUnknown* unk = nullptr;
        if (v->vt == VT_EMPTY || v->vt == VT_NULL || isMissing(v)) return S_OK;
        if (v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) unk = v->punkVal;
        else if (v->vt == (VT_BYREF | VT_UNKNOWN) || v->vt == (VT_BYREF | VT_DISPATCH))
            unk = v->ppunkVal ? *v->ppunkVal : nullptr;
        else return DISP_E_TYPEMISMATCH;
        if (!unk) return S_OK;
        using I = std::remove_pointer_t<T>;
        if constexpr (std::is_same_v<I, IUnknown>) {
            value = unk;
        } else if constexpr (std::is_same_v<I, IDispatch>) {
            if (v->vt & VT_DISPATCH && (v->vt & VT_TYPEMASK) == VT_DISPATCH) {
                value = static_cast<IDispatch*>(unk);
            } else {
                IDispatch* d = nullptr;
                if (FAILED(unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) return DISP_E_TYPEMISMATCH;
                d->Release();  // the caller's reference keeps it alive during the call
                value = d;
            }
        } else {
            static_assert(sizeof(I) == 0, "only IUnknown* and IDispatch* parameters are supported");
        }
        return S_OK;
    }
    T get() { return value; }
};

// [out, retval] conversions.
template <class T, class = void>
struct OutArg {
    static_assert(sizeof(T) == 0, "result type not supported by the dispatch table");
};

template <class T>
struct OutArg<T, std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>>> {
    T value{};
    T* ptr() { return &value; }
    void store(VARIANT* out, VARTYPE vt) {
        if (!out) return;
        storeValue(out, value);
        if (vt != VT_EMPTY && vt != out->vt) VariantChangeType(out, out, 0, vt);
    }
};

template <>
struct OutArg<BSTR> {
    BSTR value = nullptr;
    BSTR* ptr() { return &value; }
    void store(VARIANT* out, VARTYPE) {
        if (!out) {
            SysFreeString(value);
            return;
        }
        out->vt = VT_BSTR;
        out->bstrVal = value;
    }
};

template <>
struct OutArg<VARIANT> {
    VARIANT value{};
    VARIANT* ptr() { return &value; }
    void store(VARIANT* out, VARTYPE) {
        if (!out) {
            VariantClear(&value);
            return;
        }
        *out = value;
    }
};

template <>
struct OutArg<SAFEARRAY*> {
    SAFEARRAY* value = nullptr;
    SAFEARRAY** ptr() { return &value; }
    void store(VARIANT* out, VARTYPE vt) {
        if (!out) {
            SafeArrayDestroy(value);
            return;
        }
        VARTYPE elem = VT_I2;
        if (vt != VT_EMPTY) elem = static_cast<VARTYPE>(vt & VT_TYPEMASK);
        if (value) SafeArrayGetVartype(value, &elem);
        out->vt = static_cast<VARTYPE>(VT_ARRAY | elem);
        out->parray = value;
    }
};

template <class T>
struct OutArg<T, std::enable_if_t<isInterfacePtr<T>>> {
    T value = nullptr;
    T* ptr() { return &value; }
    void store(VARIANT* out, VARTYPE) {
        if (!out) {
            if (value) value->Release();
            return;
        }
        if constexpr (std::is_base_of_v<IDispatch, std::remove_pointer_t<T>>) {
            out->vt = VT_DISPATCH;
            out->pdispVal = static_cast<IDispatch*>(value);
        } else {
            out->vt = VT_UNKNOWN;
            out->punkVal = static_cast<IUnknown*>(value);
        }
    }
};

template <class P>
constexpr bool isRetvalType() {
    if constexpr (!std::is_pointer_v<P>) return false;
    else {
        using T = std::remove_pointer_t<P>;
        return std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_same_v<T, BSTR> ||
               std::is_same_v<T, VARIANT> || isInterfacePtr<T>;
    }
}

template <auto F, bool Retval, size_t... I>
HRESULT callWith(void* self, CallArgs& call, std::index_sequence<I...>) {
    using Fn = MemFn<decltype(F)>;
    using Params = typename Fn::Params;
    auto* obj = static_cast<typename Fn::Class*>(self);
    std::tuple<InArg<std::tuple_element_t<I, Params>>...> ins;
    HRESULT hr = S_OK;
    const bool loaded = ([&] {
        hr = std::get<I>(ins).load(call.in[I], call.specs[I]);
        if (FAILED(hr)) call.failedParam = static_cast<UINT>(I);
        return SUCCEEDED(hr);
    }() && ...);
    if (!loaded) return hr;
    if constexpr (Retval) {
        using R = std::remove_pointer_t<std::tuple_element_t<Fn::arity - 1, Params>>;
        OutArg<R> out;
        call.calleeResult = (obj->*F)(std::get<I>(ins).get()..., out.ptr());
        out.store(call.result, call.resultVt);
    } else {
        call.calleeResult = (obj->*F)(std::get<I>(ins).get()...);
    }
    return S_OK;
}

template <auto F, bool Retval>
HRESULT thunk(void* self, CallArgs& call) {
    constexpr size_t inputs = MemFn<decltype(F)>::arity - (Retval ? 1 : 0);
    return callWith<F, Retval>(self, call, std::make_index_sequence<inputs>{});
}

template <auto F>
constexpr bool lastIsRetval() {
    using Fn = MemFn<decltype(F)>;
    if constexpr (Fn::arity == 0) return false;
    else return isRetvalType<std::tuple_element_t<Fn::arity - 1, typename Fn::Params>>();
}

template <auto F, bool Retval>
Member makeMember(DISPID id, std::u16string_view name, MemberKind kind, std::vector<ArgSpec> args) {
    constexpr size_t inputs = MemFn<decltype(F)>::arity - (Retval ? 1 : 0);
    args.resize(inputs);  // only ever grows a list built from the parameter count
    Member m;
    m.id = id;
    m.name = std::u16string(name);
    m.kind = kind;
    m.thunk = &thunk<F, Retval>;
    m.args = std::move(args);
    m.hasResult = Retval;
    return m;
}

}  // namespace detail

template <auto F>
Member method(DISPID id, std::u16string_view name) {
    constexpr bool retval = detail::lastIsRetval<F>();
    constexpr size_t inputs = detail::MemFn<decltype(F)>::arity - (retval ? 1 : 0);
    return detail::makeMember<F, retval>(id, name, MemberKind::Method, std::vector<ArgSpec>(inputs));
}
template <auto F, size_t N>
Member method(DISPID id, std::u16string_view name, const ArgSpec (&args)[N]) {
    constexpr size_t arity = detail::MemFn<decltype(F)>::arity;
    static_assert(N == arity || N + 1 == arity, "one argument entry per input parameter (plus an optional retval)");
    return detail::makeMember<F, N + 1 == arity>(id, name, MemberKind::Method,
                                                 std::vector<ArgSpec>(args, args + N));
}
template <auto F>
Member propget(DISPID id, std::u16string_view name) {
    constexpr size_t arity = detail::MemFn<decltype(F)>::arity;
    static_assert(arity >= 1, "a property get returns its last parameter");
    return detail::makeMember<F, true>(id, name, MemberKind::PropGet, std::vector<ArgSpec>(arity - 1));
}
template <auto F>
Member propput(DISPID id, std::u16string_view name, ArgSpec value = required()) {
    constexpr size_t arity = detail::MemFn<decltype(F)>::arity;
    static_assert(arity >= 1, "a property put takes the value as its last parameter");
    std::vector<ArgSpec> args(arity);
    args.back() = std::move(value);
    return detail::makeMember<F, false>(id, name, MemberKind::PropPut, std::move(args));
}

// ---------------------------------------------------------------------------
// Connection points.

// One outgoing (event) interface of an object: the sinks advised to it.
// Reference counting goes to the owning container.
class QORO_COM_API ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer& owner, const IID& iid);
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT Unadvise(DWORD cookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    const IID& iid() const { return iid_; }
    size_t connections() const;
    // Calls every sink's Invoke(id, DISPATCH_METHOD) synchronously; the
    // arguments are in DISPPARAMS order (last argument first).
    void fire(DISPID id, VARIANT* reversedArgs, UINT count);

private:
    IConnectionPointContainer& owner_;
    IID iid_;
    mutable std::mutex mutex_;
    std::vector<std::pair<DWORD, IDispatch*>> sinks_;
    DWORD nextCookie_ = 1;
};

namespace detail {
// Event arguments as VARIANTs (text is copied into a new BSTR).
template <class T>
VARIANT toVariant(const T& value) {
    VARIANT r;
    VariantInit(&r);
    if constexpr (std::is_same_v<T, VARIANT>) {
        VariantCopy(&r, &value);
    } else if constexpr (std::is_same_v<T, bool>) {
        r.vt = VT_BOOL;
        r.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else if constexpr (std::is_enum_v<T>) {
        r.vt = VT_I4;
        r.lVal = static_cast<LONG>(value);
    } else if constexpr (std::is_arithmetic_v<T>) {
        storeValue(&r, value);
    } else if constexpr (std::is_convertible_v<const T&, std::u16string_view>) {
        std::u16string_view text(value);
        r.vt = VT_BSTR;
        r.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        r.vt = VT_BSTR;
        r.bstrVal = bstrFromUtf8(std::string_view(value));
    } else {
        static_assert(sizeof(T) == 0, "unsupported event argument type");
    }
    return r;
}
}  // namespace detail

// IConnectionPointContainer for the listed event interfaces (the first one is
// the default source). List it among an Object's entries.
template <const IID&... EventIids>
class Events : public IConnectionPointContainer {
public:
    using type = Events;
    using interface = IConnectionPointContainer;
    static bool matches(REFIID riid) { return riid == IID_IConnectionPointContainer; }

    Events() : points_{{ConnectionPoint(*this, EventIids)...}} {}
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (!ppCP) return E_POINTER;
        *ppCP = nullptr;
        for (auto& p : points_) {
            if (p.iid() == riid) {
                p.AddRef();
                *ppCP = &p;
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }

    ConnectionPoint& connectionPoint(size_t index = 0) { return points_[index]; }

    // Fires event 'id' of the first event interface to every advised sink.
    template <class... A>
    void fire(DISPID id, const A&... args) {
        fireOn(points_[0], id, args...);
    }
    template <class... A>
    void fireOn(ConnectionPoint& point, DISPID id, const A&... args) {
        if (point.connections() == 0) return;
        std::array<VARIANT, sizeof...(A) == 0 ? 1 : sizeof...(A)> v{};
        if constexpr (sizeof...(A) > 0) {
            size_t i = sizeof...(A);
            ((v[--i] = detail::toVariant(args)), ...);
        }
        point.fire(id, v.data(), static_cast<UINT>(sizeof...(A)));
        for (size_t i = 0; i < sizeof...(A); ++i) VariantClear(&v[i]);
    }

private:
    std::array<ConnectionPoint, sizeof...(EventIids)> points_;
};

// ---------------------------------------------------------------------------
// Objects.

// An interface an Object implements, answered to QueryInterface(id).
template <class I, const IID& Id>
struct Iface {
    using type = I;
    using interface = I;
    static bool matches(REFIID riid) { return riid == Id; }
};

namespace detail {
template <class D>
concept HasDispatchTable = requires { { D::dispatchTable() } -> std::convertible_to<const DispatchTable&>; };

template <class... E>
struct FirstDual;
template <>
struct FirstDual<> {
    using type = void;
};
template <class E, class... Rest>
struct FirstDual<E, Rest...> {
    using type = std::conditional_t<std::is_base_of_v<IDispatch, typename E::interface>, typename E::interface,
                                    typename FirstDual<Rest...>::type>;
};
}  // namespace detail

// Reference counting, QueryInterface and (with a dispatchTable()) IDispatch
// for Derived. Objects are made with createInstance / make and destroyed by
// their last Release.
template <class Derived, class... Entries>
class Object : public Entries::type... {
public:
    using Dual = typename detail::FirstDual<Entries...>::type;

    Object() { moduleLock(); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        IUnknown* found = nullptr;
        if (riid == IID_IUnknown) {
            found = identity();
        } else if constexpr (!std::is_void_v<Dual>) {
            if (riid == IID_IDispatch) found = static_cast<Dual*>(this);
        }
        if (!found)
            ((found = found ? found
                            : (Entries::matches(riid)
                                   ? static_cast<IUnknown*>(static_cast<typename Entries::interface*>(
                                         static_cast<typename Entries::type*>(this)))
                                   : nullptr)),
             ...);
        if (!found) return static_cast<Derived*>(this)->queryExtra(riid, ppv);
        found->AddRef();
        *ppv = found;
        return S_OK;
    }
    ULONG AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

    // IDispatch from the table, when Derived has one.
    HRESULT GetTypeInfoCount(UINT* pctinfo) {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
        if (ppTInfo) *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
        if constexpr (detail::HasDispatchTable<Derived>)
            return dispatchGetIDsOfNames(Derived::dispatchTable(), names, count, ids);
        else
            return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* argErr) {
        if constexpr (detail::HasDispatchTable<Derived> && !std::is_void_v<Dual>)
            return dispatchInvoke(Derived::dispatchTable(), static_cast<Dual*>(this), id, flags, params,
                                  result, excep, argErr);
        else
            return E_NOTIMPL;
    }

    // The IUnknown that stands for the object's identity.
    IUnknown* identity() {
        using First = std::tuple_element_t<0, std::tuple<Entries...>>;
        return static_cast<typename First::interface*>(static_cast<typename First::type*>(this));
    }

protected:
    virtual ~Object() { moduleUnlock(); }
    // Override in Derived to answer more interfaces.
    HRESULT queryExtra(REFIID, void**) { return E_NOINTERFACE; }

private:
    std::atomic<ULONG> refs_{0};
};

// Creates a T and asks it for riid (E_OUTOFMEMORY when it cannot be made).
template <class T, class... A>
HRESULT createInstance(REFIID riid, void** ppv, A&&... args) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    T* object = nullptr;
    try {
        object = new T(std::forward<A>(args)...);  // owned by its reference count from here on
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    object->AddRef();
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
// Creates a T and holds it (null when it cannot be made).
template <class T, class... A>
ComPtr<T> make(A&&... args) {
    T* object = nullptr;
    try {
        object = new T(std::forward<A>(args)...);  // owned by its reference count from here on
    } catch (...) {
        return {};
    }
    return ComPtr<T>(object);
}

// ---------------------------------------------------------------------------
// Class factories and the four exports of a component library.

// How a class is made and registered.
struct ClassEntry {
    const CLSID* clsid = nullptr;
    HRESULT (*create)(REFIID riid, void** ppv) = nullptr;  // e.g. &createInstance<MyObject>
    const char* description = "";               // default value of CLSID\{clsid}
    const char* progId = nullptr;               // "Library.Class.1"
    const char* versionIndependentProgId = nullptr;  // "Library.Class"
    const GUID* typeLib = nullptr;              // LIBID
    const char* typeLibVersion = "1.0";
    const char* threadingModel = "Apartment";
    // Extra keys below CLSID\{clsid} with their default values, e.g.
    // {"Programmable", ""}, {"Control", ""}, {"MiscStatus", "0"}.
    std::vector<std::pair<std::string, std::string>> extraKeys;
};

// IClassFactory over a ClassEntry's create function.
class QORO_COM_LOCAL ClassFactory : public Object<ClassFactory, Iface<IClassFactory, IID_IClassFactory>> {
public:
    explicit ClassFactory(HRESULT (*create)(REFIID, void**)) : create_(create) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) moduleLock();
        else moduleUnlock();
        return S_OK;
    }

private:
    HRESULT (*create_)(REFIID, void**);
};

// DllGetClassObject.
QORO_COM_LOCAL inline HRESULT getClassObject(std::span<const ClassEntry> classes, REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& c : classes)
        if (c.clsid && *c.clsid == clsid && c.create) return createInstance<ClassFactory>(riid, ppv, c.create);
    return CLASS_E_CLASSNOTAVAILABLE;
}

// DllRegisterServer / DllUnregisterServer: writes (removes) for each class
// CLSID\{clsid} (description, InprocServer32 = this library's path found from
// 'addressInModule', ThreadingModel, ProgID, VersionIndependentProgID,
// TypeLib, extra keys), the ProgID and version-independent ProgID keys
// (-> CLSID, CurVer) and TypeLib\{libid}\version.
QORO_COM_API HRESULT registerServer(std::span<const ClassEntry> classes, const void* addressInModule);
QORO_COM_API HRESULT unregisterServer(std::span<const ClassEntry> classes);

// QoroClassFromProgID: the class one of 'classes' is named by, its ProgID or
// version-independent ProgID in any case. Lets the runtime resolve names of
// components that were never registered. S_OK, or CO_E_CLASSSTRING.
QORO_COM_API HRESULT classFromProgId(std::span<const ClassEntry> classes, const char* progId, CLSID* clsid);

}  // namespace qoro::com


// Defines DllGetClassObject, DllCanUnloadNow, DllRegisterServer,
// DllUnregisterServer and QoroClassFromProgID for the classes a function
// returns (as a std::span<const qoro::com::ClassEntry>).
#define QORO_COM_MODULE_EXPORTS(classesFunction)                                                     \
    extern "C" QORO_COM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {    \
        return ::qoro::com::getClassObject(classesFunction(), rclsid, riid, ppv);                    \
    }                                                                                                \
    extern "C" QORO_COM_API HRESULT DllCanUnloadNow() { return ::qoro::com::canUnloadNow(); }        \
    extern "C" QORO_COM_API HRESULT DllRegisterServer() {                                            \
        return ::qoro::com::registerServer(classesFunction(), reinterpret_cast<const void*>(&DllRegisterServer)); \
    }                                                                                                \
    extern "C" QORO_COM_API HRESULT DllUnregisterServer() {                                          \
        return ::qoro::com::unregisterServer(classesFunction());                                     \
    }                                                                                                \
    extern "C" QORO_COM_API HRESULT QoroClassFromProgID(const char* progId, CLSID* clsid) {          \
        return ::qoro::com::classFromProgId(classesFunction(), progId, clsid);                       \
    }
