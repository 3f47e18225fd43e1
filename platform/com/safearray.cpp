// One-dimensional SAFEARRAYs. The element type is kept in front of the
// descriptor; data lives in its own zero-initialised block.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "qoro/com.h"

namespace {

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;
constexpr size_t kMaxBytes = size_t(std::numeric_limits<int32_t>::max());

struct Block {
    VARTYPE vt;
    SAFEARRAY array;
};

Block* blockOf(SAFEARRAY* psa) {
    return reinterpret_cast<Block*>(reinterpret_cast<char*>(psa) - offsetof(Block, array));
}

ULONG elementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY: return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

USHORT featuresOf(VARTYPE vt) {
    USHORT f = FADF_HAVEVARTYPE;
    if (vt == VT_BSTR) f |= FADF_BSTR;
    if (vt == VT_UNKNOWN) f |= FADF_UNKNOWN;
    if (vt == VT_DISPATCH) f |= FADF_DISPATCH;
    if (vt == VT_VARIANT) f |= FADF_VARIANT;
    return f;
}

// Releases what elements [from, to) own.
void clearElements(SAFEARRAY* psa, VARTYPE vt, ULONG from, ULONG to) {
    if (!psa->pvData) return;
    for (ULONG i = from; i < to; ++i) {
        switch (vt) {
        case VT_BSTR: SysFreeString(static_cast<BSTR*>(psa->pvData)[i]); break;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* p = static_cast<IUnknown**>(psa->pvData)[i];
            if (p) p->Release();
            break;
        }
        case VT_VARIANT: VariantClear(&static_cast<VARIANT*>(psa->pvData)[i]); break;
        default: return;
        }
    }
}

bool sizeFits(ULONG count, ULONG elem) { return elem != 0 && size_t(count) <= kMaxBytes / elem; }

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG elem = elementSize(vt);
    if (!sizeFits(cElements, elem)) return nullptr;
    auto* block = static_cast<Block*>(std::calloc(1, sizeof(Block)));
    if (!block) return nullptr;
    block->vt = vt;
    SAFEARRAY* psa = &block->array;
    psa->cDims = 1;
    psa->fFeatures = featuresOf(vt);
    psa->cbElements = elem;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = lLbound;
    if (cElements) {
        psa->pvData = std::calloc(cElements, elem);
        if (!psa->pvData) {
            std::free(block);
            return nullptr;
        }
    }
    return psa;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (cDims != 1 || !rgsabound) return nullptr;  // only vectors are supported
    return SafeArrayCreateVector(vt, rgsabound[0].lLbound, rgsabound[0].cElements);
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* bound) {
    if (!psa || !bound) return E_INVALIDARG;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    const ULONG oldCount = psa->rgsabound[0].cElements;
    const ULONG newCount = bound->cElements;
    if (!sizeFits(newCount, psa->cbElements)) return E_OUTOFMEMORY;
    const VARTYPE vt = blockOf(psa)->vt;
    if (newCount == 0) {
        clearElements(psa, vt, 0, oldCount);
        std::free(psa->pvData);
        psa->pvData = nullptr;
    } else if (newCount != oldCount) {
        void* data = std::calloc(newCount, psa->cbElements);
        if (!data) return E_OUTOFMEMORY;
        const ULONG kept = newCount < oldCount ? newCount : oldCount;
        if (psa->pvData) std::memcpy(data, psa->pvData, size_t(kept) * psa->cbElements);
        clearElements(psa, vt, kept, oldCount);
        std::free(psa->pvData);
        psa->pvData = data;
    }
    psa->rgsabound[0].cElements = newCount;
    psa->rgsabound[0].lLbound = bound->lLbound;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plUbound = static_cast<LONG>(int64_t(psa->rgsabound[0].lLbound) + int64_t(psa->rgsabound[0].cElements) - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    *pvt = blockOf(psa)->vt;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    const VARTYPE vt = blockOf(psa)->vt;
    SAFEARRAY* copy = SafeArrayCreateVector(vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
    if (!copy) return E_OUTOFMEMORY;
    const ULONG n = psa->rgsabound[0].cElements;
    if (n && psa->pvData) {
        switch (vt) {
        case VT_BSTR:
            for (ULONG i = 0; i < n; ++i) {
                BSTR s = static_cast<BSTR*>(psa->pvData)[i];
                if (!s) continue;
                BSTR c = SysAllocStringLen(s, SysStringLen(s));
                if (!c) {
                    SafeArrayDestroy(copy);
                    return E_OUTOFMEMORY;
                }
                static_cast<BSTR*>(copy->pvData)[i] = c;
            }
            break;
        case VT_VARIANT:
            for (ULONG i = 0; i < n; ++i) {
                HRESULT hr =
                    VariantCopy(&static_cast<VARIANT*>(copy->pvData)[i], &static_cast<VARIANT*>(psa->pvData)[i]);
                if (FAILED(hr)) {
                    SafeArrayDestroy(copy);
                    return hr;
                }
            }
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            for (ULONG i = 0; i < n; ++i) {
                IUnknown* p = static_cast<IUnknown**>(psa->pvData)[i];
                if (p) p->AddRef();
                static_cast<IUnknown**>(copy->pvData)[i] = p;
            }
            break;
        default: std::memcpy(copy->pvData, psa->pvData, size_t(n) * psa->cbElements);
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    Block* block = blockOf(psa);
    clearElements(psa, block->vt, 0, psa->rgsabound[0].cElements);
    std::free(psa->pvData);
    std::free(block);
    return S_OK;
}

}  // extern "C"
