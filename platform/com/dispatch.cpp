// The table-driven IDispatch and the connection points of event sources.
#include <algorithm>
#include <cstring>
#include <vector>

#include "qoro/com_server.h"

namespace qoro::com {

namespace {

char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool sameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::u16string_view nameView(const OLECHAR* s) {
    if (!s) return {};
    size_t n = 0;
    while (s[n] && n < 4096) ++n;
    return {s, n};
}

// Owns the VARIANTs made for defaults during one call.
struct Defaults {
    std::vector<VARIANT> values;
    explicit Defaults(size_t n) { values.reserve(n); }
    ~Defaults() {
        for (VARIANT& v : values) VariantClear(&v);
    }
    VARIANT* make(const ArgSpec& argSpec) {
        VARIANT v;
        VariantInit(&v);
        switch (argSpec.defaultVt) {
        case VT_BOOL:
        case VT_I8: detail::storeNumber(&v, argSpec.defaultVt, argSpec.defaultInt, 0.0); break;
        case VT_R8: detail::storeNumber(&v, VT_R8, 0, argSpec.defaultReal); break;
        case VT_BSTR:
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocStringLen(argSpec.defaultText.data(), static_cast<UINT>(argSpec.defaultText.size()));
            break;
        default: v.vt = VT_ERROR; v.scode = DISP_E_PARAMNOTFOUND;
        }
        values.push_back(v);
        return &values.back();
    }
};

}  // namespace

DispatchTable::DispatchTable(std::initializer_list<Member> members) : members_(members) {}

const Member* DispatchTable::find(DISPID id, WORD flags) const {
    const Member* get = nullptr;
    const Member* call = nullptr;
    const Member* put = nullptr;
    for (const Member& m : members_) {
        if (m.id != id) continue;
        if (m.kind == MemberKind::Method)
            call = &m;
        else if (m.kind == MemberKind::PropGet)
            get = &m;
        else
            put = &m;
    }
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return put;
    if ((flags & DISPATCH_METHOD) && call) return call;
    if ((flags & DISPATCH_PROPERTYGET) && get) return get;
    return nullptr;
}

bool DispatchTable::hasId(DISPID id) const {
    return std::any_of(members_.begin(), members_.end(), [id](const Member& m) { return m.id == id; });
}

DISPID DispatchTable::idOf(std::u16string_view name) const {
    for (const Member& m : members_)
        if (sameName(m.name, name)) return m.id;
    return DISPID_UNKNOWN;
}

HRESULT dispatchGetIDsOfNames(const DispatchTable& table, LPOLESTR* names, UINT count, DISPID* ids) {
    if (!names || !ids) return E_INVALIDARG;
    if (count == 0) return S_OK;
    HRESULT hr = S_OK;
    ids[0] = table.idOf(nameView(names[0]));
    if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    // Parameter names are not known: named arguments are not supported.
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT dispatchInvoke(const DispatchTable& table, void* self, DISPID id, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    const Member* member = table.find(id, flags);
    if (!member) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    if (params->cArgs && !params->rgvarg) return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;

    if (member->kind == MemberKind::PropPut) {
        // The value travels as the one named argument DISPID_PROPERTYPUT (rgvarg[0]).
        if (params->cNamedArgs > 1 || (params->cNamedArgs == 1 && (!params->rgdispidNamedArgs ||
                                                                   params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)))
            return DISP_E_NONAMEDARGS;
    } else if (params->cNamedArgs) {
        return DISP_E_NONAMEDARGS;
    }

    const size_t inputs = member->args.size();
    const UINT given = params->cArgs;
    if (given > inputs) return DISP_E_BADPARAMCOUNT;

    Defaults defaults(inputs);
    std::vector<VARIANT*> in(inputs, nullptr);
    for (size_t i = 0; i < inputs; ++i) {
        const ArgSpec& argSpec = member->args[i];
        VARIANT* arg = nullptr;
        if (i < given) {
            arg = &params->rgvarg[given - 1 - i];
            if (detail::isMissing(detail::unwrap(arg))) {
                if (!argSpec.optional) {
                    if (argErr) *argErr = static_cast<UINT>(given - 1 - i);
                    return DISP_E_PARAMNOTOPTIONAL;
                }
                arg = nullptr;
            }
        } else if (!argSpec.optional) {
            return DISP_E_BADPARAMCOUNT;
        }
        in[i] = arg ? arg : defaults.make(argSpec);
    }

    if (result) VariantInit(result);
    CallArgs call;
    call.in = in.data();
    call.specs = member->args.data();
    call.result = member->hasResult ? result : nullptr;
    call.resultVt = member->resultVt;
    HRESULT hr = member->thunk(self, call);
    if (FAILED(hr)) {
        if (argErr && call.failedParam < given) *argErr = given - 1 - call.failedParam;
        return hr;
    }
    if (FAILED(call.calleeResult)) {
        if (excep) {
            std::memset(excep, 0, sizeof *excep);
            excep->scode = call.calleeResult;
            // The member's error information, as a script sees it; it also
            // stays set for a caller that asks GetErrorInfo.
            IErrorInfo* info = nullptr;
            if (GetErrorInfo(0, &info) == S_OK && info) {
                info->GetSource(&excep->bstrSource);
                info->GetDescription(&excep->bstrDescription);
                SetErrorInfo(0, info);
                info->Release();
            }
        }
        return DISP_E_EXCEPTION;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& owner, const IID& iid) : owner_(owner), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() {
    for (auto& [cookie, sink] : sinks_) sink->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IConnectionPoint*>(this);
    return S_OK;
}

ULONG ConnectionPoint::AddRef() { return owner_.AddRef(); }
ULONG ConnectionPoint::Release() { return owner_.Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) return E_POINTER;
    owner_.AddRef();
    *ppCPC = &owner_;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    // A sink answers the event interface itself or, for a dispinterface, IDispatch.
    void* p = nullptr;
    if (FAILED(sink->QueryInterface(iid_, &p)) || !p) {
        p = nullptr;
        if (FAILED(sink->QueryInterface(IID_IDispatch, &p)) || !p) return CONNECT_E_CANNOTCONNECT;
    }
    std::lock_guard lock(mutex_);
    if (nextCookie_ == 0) ++nextCookie_;
    *cookie = nextCookie_++;
    sinks_.emplace_back(*cookie, static_cast<IDispatch*>(p));
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    IDispatch* sink = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(sinks_.begin(), sinks_.end(), [cookie](const auto& s) { return s.first == cookie; });
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        sink = it->second;
        sinks_.erase(it);
    }
    sink->Release();  // outside the lock: the sink may call back
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return E_NOTIMPL;
}

size_t ConnectionPoint::connections() const {
    std::lock_guard lock(mutex_);
    return sinks_.size();
}

void ConnectionPoint::fire(DISPID id, VARIANT* reversedArgs, UINT count) {
    std::vector<IDispatch*> targets;
    {
        std::lock_guard lock(mutex_);
        targets.reserve(sinks_.size());
        for (auto& [cookie, sink] : sinks_) {
            sink->AddRef();
            targets.push_back(sink);
        }
    }
    for (IDispatch* sink : targets) {
        // Each sink gets its own copy, so one sink cannot change what the next sees.
        std::vector<VARIANT> args(count);
        for (UINT i = 0; i < count; ++i) {
            VariantInit(&args[i]);
            VariantCopy(&args[i], &reversedArgs[i]);
        }
        DISPPARAMS dp{count ? args.data() : nullptr, nullptr, count, 0};
        VARIANT result;
        VariantInit(&result);
        sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
        VariantClear(&result);
        for (VARIANT& v : args) VariantClear(&v);
        sink->Release();
    }
}

}  // namespace qoro::com
