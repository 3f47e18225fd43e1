// Error information objects and the per-thread slot they travel in (the
// Automation way of telling a caller why a call failed).
#include <cerrno>
#include <new>
#include <string>

#include "qoro/com.h"

namespace {

// IErrorInfo and ICreateErrorInfo over five fields.
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo)
            *ppv = static_cast<IErrorInfo*>(this);
        else if (riid == IID_ICreateErrorInfo)
            *ppv = static_cast<ICreateErrorInfo*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetGUID(GUID* p) override { return p ? (*p = guid_, S_OK) : E_POINTER; }
    HRESULT GetSource(BSTR* p) override { return copy(source_, p); }
    HRESULT GetDescription(BSTR* p) override { return copy(description_, p); }
    HRESULT GetHelpFile(BSTR* p) override { return copy(helpFile_, p); }
    HRESULT GetHelpContext(DWORD* p) override { return p ? (*p = helpContext_, S_OK) : E_POINTER; }

    HRESULT SetGUID(REFGUID g) override { return guid_ = g, S_OK; }
    HRESULT SetSource(LPOLESTR s) override { return assign(source_, s); }
    HRESULT SetDescription(LPOLESTR s) override { return assign(description_, s); }
    HRESULT SetHelpFile(LPOLESTR s) override { return assign(helpFile_, s); }
    HRESULT SetHelpContext(DWORD c) override { return helpContext_ = c, S_OK; }

private:
    ~ErrorInfo() = default;
    static HRESULT copy(const std::u16string& text, BSTR* out) {
        if (!out) return E_POINTER;
        *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    static HRESULT assign(std::u16string& field, LPOLESTR text) {
        field = text ? std::u16string(text) : std::u16string();
        return S_OK;
    }
    ULONG refs_ = 1;
    GUID guid_ = GUID_NULL;
    std::u16string source_, description_, helpFile_;
    DWORD helpContext_ = 0;
};

// This thread's error information, released when the thread ends.
struct Slot {
    IErrorInfo* info = nullptr;
    ~Slot() { reset(nullptr); }
    void reset(IErrorInfo* next) {
        if (info) info->Release();
        info = next;
    }
};
thread_local Slot slot;

}  // namespace

extern "C" {

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) ErrorInfo;
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* info) {
    if (info) info->AddRef();
    slot.reset(info);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** out) {
    if (!out) return E_POINTER;
    *out = slot.info;  // the slot's reference goes to the caller
    slot.info = nullptr;
    return *out ? S_OK : S_FALSE;
}

}  // extern "C"

namespace qoro::com {

HRESULT reportError(HRESULT hr, REFIID iid, std::string_view source, std::string_view description) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return hr;
    std::u16string text = toUtf16(source);
    create->SetSource(text.data());
    text = toUtf16(description);
    create->SetDescription(text.data());
    create->SetGUID(iid);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

HRESULT hresultFromErrno(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT: return HRESULT_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY: return E_ACCESSDENIED;
    case ENOENT: return HRESULT_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return HRESULT_PATH_NOT_FOUND;
    case EIO: return HRESULT_WRITE_FAULT;
    case ENOMEM: return E_OUTOFMEMORY;
    default: return E_FAIL;
    }
}

std::string takeErrorDescription() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return {};
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::string out = utf8FromBstr(text);
    SysFreeString(text);
    info->Release();
    return out;
}

}  // namespace qoro::com
