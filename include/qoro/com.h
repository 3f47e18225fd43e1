// The component runtime: our stand-in for COM and OLE Automation.
//
// Client code written for the Windows originals ports by changing its includes:
// the types, codes, interfaces and functions below keep their Windows names and
// shapes (HRESULT, BSTR, VARIANT with vt/lVal/bstrVal/..., 1-D SAFEARRAY,
// IUnknown, IDispatch, IClassFactory, connection points, CoCreateInstance).
// Everything is implemented in libqorocom.so; memory handed across modules
// (BSTRs, SAFEARRAYs) is allocated and freed only there, so a caller frees what
// a component returned with SysFreeString / SafeArrayDestroy / VariantClear.
//
//   CoInitialize(nullptr);
//   IAudioInformation* info = nullptr;
//   if (SUCCEEDED(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER,
//                                  IID_IAudioInformation, reinterpret_cast<void**>(&info)))) {
//       BSTR path = qoro::com::bstrFromUtf8("song.mp3");
//       info->GetAudioInformation(path);
//       SysFreeString(path);
//       info->Release();
//   }
//   CoUninitialize();
//
// "ANSI" text is UTF-8 here; toUtf16/toUtf8 and the BSTR helpers at the end
// convert at the interface. ComPtr and Bstr are small owning wrappers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#define QORO_COM_API __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Fixed-width types.

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int32_t BOOL;  // non-zero is true
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef float FLOAT;
typedef double DOUBLE;
typedef int16_t VARIANT_BOOL;
typedef LONG DISPID;
typedef LONG SCODE;
typedef DWORD LCID;
typedef double DATE;
typedef USHORT VARTYPE;

typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;  // length-prefixed, zero-terminated UTF-16

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// ---------------------------------------------------------------------------
// Result codes.

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

#define QORO_HR(x) static_cast<HRESULT>(static_cast<uint32_t>(x))
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = QORO_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = QORO_HR(0x80004002);
inline constexpr HRESULT E_POINTER = QORO_HR(0x80004003);
inline constexpr HRESULT E_ABORT = QORO_HR(0x80004004);
inline constexpr HRESULT E_FAIL = QORO_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = QORO_HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = QORO_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = QORO_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = QORO_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = QORO_HR(0x80070057);
// Failures of the file system, as HRESULT_FROM_WIN32 gives them.
inline constexpr HRESULT HRESULT_FILE_NOT_FOUND = QORO_HR(0x80070002);  // ERROR_FILE_NOT_FOUND
inline constexpr HRESULT HRESULT_PATH_NOT_FOUND = QORO_HR(0x80070003);  // ERROR_PATH_NOT_FOUND
inline constexpr HRESULT HRESULT_WRITE_FAULT = QORO_HR(0x8007001D);     // ERROR_WRITE_FAULT
inline constexpr HRESULT HRESULT_READ_FAULT = QORO_HR(0x8007001E);      // ERROR_READ_FAULT
inline constexpr HRESULT HRESULT_DISK_FULL = QORO_HR(0x80070070);       // ERROR_DISK_FULL
inline constexpr HRESULT HRESULT_BAD_FORMAT = QORO_HR(0x8007000B);      // ERROR_BAD_FORMAT
inline constexpr HRESULT CLASS_E_NOAGGREGATION = QORO_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = QORO_HR(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = QORO_HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = QORO_HR(0x80040151);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = QORO_HR(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = QORO_HR(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = QORO_HR(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = QORO_HR(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = QORO_HR(0x800401F9);
inline constexpr HRESULT SELFREG_E_TYPELIB = QORO_HR(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = QORO_HR(0x80040201);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = QORO_HR(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = QORO_HR(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = QORO_HR(0x80040202);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = QORO_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = QORO_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = QORO_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = QORO_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = QORO_HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = QORO_HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = QORO_HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = QORO_HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = QORO_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = QORO_HR(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = QORO_HR(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = QORO_HR(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = QORO_HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = QORO_HR(0x8002000F);
inline constexpr HRESULT DISP_E_BADCALLEE = QORO_HR(0x80020010);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = QORO_HR(0x80020011);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = QORO_HR(0x8002802B);
#undef QORO_HR

// ---------------------------------------------------------------------------
// GUIDs.

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
constexpr bool operator<(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
}
inline constexpr bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline constexpr bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

// ---------------------------------------------------------------------------
// VARIANT and SAFEARRAY.

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// VariantChangeType flags.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// Only one-dimensional arrays are created. The element type is kept by the
// runtime (SafeArrayGetVartype).
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

struct IUnknown;
struct IDispatch;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        INT* pintVal;
        UINT* puintVal;
    };
};
typedef VARIANT VARIANTARG;

struct DISPPARAMS {
    VARIANTARG* rgvarg;          // arguments in reverse order
    DISPID* rgdispidNamedArgs;   // ids of the named arguments (first cNamedArgs of rgvarg)
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// ---------------------------------------------------------------------------
// Interfaces. Plain abstract classes; the slot order is the Windows one.

struct ITypeInfo;
struct IEnumConnectionPoints;
struct IEnumConnections;
struct IConnectionPoint;

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};

struct IDispatch : public IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                  DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;
};

struct IClassFactory : public IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

struct IConnectionPointContainer : public IUnknown {
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

struct IConnectionPoint : public IUnknown {
    virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;
};

// Rich error information, set by an object on the thread that called it and
// taken by the caller after a failing HRESULT (SetErrorInfo / GetErrorInfo).
struct IErrorInfo : public IUnknown {
    virtual HRESULT GetGUID(GUID* pGUID) = 0;
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;
};

struct ICreateErrorInfo : public IUnknown {
    virtual HRESULT SetGUID(REFGUID rguid) = 0;
    virtual HRESULT SetSource(LPOLESTR szSource) = 0;
    virtual HRESULT SetDescription(LPOLESTR szDescription) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR szHelpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD dwHelpContext) = 0;
};

// An object that sets error information says so for its interfaces.
struct ISupportErrorInfo : public IUnknown {
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// ---------------------------------------------------------------------------
// Functions (libqorocom.so).

extern "C" {

// BSTR
QORO_COM_API BSTR SysAllocString(const OLECHAR* psz);
QORO_COM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);  // strIn may be null: zeroed
QORO_COM_API BSTR SysAllocStringByteLen(const char* psz, UINT len);
QORO_COM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
QORO_COM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
QORO_COM_API void SysFreeString(BSTR bstrString);
QORO_COM_API UINT SysStringLen(BSTR pbstr);
QORO_COM_API UINT SysStringByteLen(BSTR bstr);

// VARIANT
QORO_COM_API void VariantInit(VARIANTARG* pvarg);
QORO_COM_API HRESULT VariantClear(VARIANTARG* pvarg);
QORO_COM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
QORO_COM_API HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// Coerces src (by value or by reference) to vt, as Automation does: integer
// widths with overflow checks, doubles rounded half to even, booleans as 0/-1,
// text parsed and formatted. dest may be src.
QORO_COM_API HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                       USHORT wFlags, VARTYPE vt);

// SAFEARRAY (one dimension)
QORO_COM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
QORO_COM_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
QORO_COM_API HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
QORO_COM_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
QORO_COM_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
QORO_COM_API UINT SafeArrayGetDim(SAFEARRAY* psa);
QORO_COM_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
QORO_COM_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
QORO_COM_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
QORO_COM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
QORO_COM_API HRESULT SafeArrayLock(SAFEARRAY* psa);
QORO_COM_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);
QORO_COM_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
QORO_COM_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);

// GUID text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
QORO_COM_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
QORO_COM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
QORO_COM_API HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);

// Apartments are counters: one object is used by one thread at a time.
QORO_COM_API HRESULT CoInitialize(void* pvReserved);
QORO_COM_API HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
QORO_COM_API void CoUninitialize();

// Registry first; an unregistered class is looked for in the known component
// libraries beside the calling program and beside libqorocom.so.
QORO_COM_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                      REFIID riid, void** ppv);
QORO_COM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved,
                                      REFIID riid, void** ppv);
// Unloads every loaded component library whose DllCanUnloadNow says S_OK.
QORO_COM_API void CoFreeUnusedLibraries();
QORO_COM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);

// Error information, one slot per thread. SetErrorInfo replaces it (null
// clears it); GetErrorInfo hands it over and clears the slot: S_OK, or
// S_FALSE with null when there is none.
QORO_COM_API HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
QORO_COM_API HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
QORO_COM_API HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

}  // extern "C"

// ---------------------------------------------------------------------------
// C++ helpers.

namespace qoro::com {

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional) at compile
// time or run time. Returns false on malformed text.
constexpr bool parseGuid(std::string_view text, GUID& out) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return false;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    uint8_t bytes[16] = {};
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
            if (text[pos] != '-') return false;
            ++pos;
        }
        int hi = hex(text[pos]), lo = hex(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    out.Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    out.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    out.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) out.Data4[i] = bytes[8 + i];
    return true;
}

namespace detail {
// Not constexpr on purpose: malformed text in a constant expression fails to compile.
inline GUID malformedGuidText() { return GUID_NULL; }
}  // namespace detail

// A GUID from its text form, e.g. constexpr GUID g = guid("{...}"); GUID_NULL
// at run time when the text is malformed.
constexpr GUID guid(std::string_view text) {
    GUID g{};
    if (!parseGuid(text, g)) return detail::malformedGuidText();
    return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
QORO_COM_API std::string toString(const GUID& g);

// UTF-8 <-> UTF-16, lossless for file names: each byte that is not part of
// valid UTF-8 travels as one U+DC80-U+DCFF and comes back as that byte;
// other unpaired surrogates from UTF-16 become U+FFFD.
QORO_COM_API std::u16string toUtf16(std::string_view utf8);
QORO_COM_API std::string toUtf8(std::u16string_view utf16);
// A new BSTR from UTF-8 text (null when out of memory).
QORO_COM_API BSTR bstrFromUtf8(std::string_view utf8);
// The UTF-8 text of a BSTR (a null BSTR is the empty string).
QORO_COM_API std::string utf8FromBstr(BSTR b);
inline std::u16string_view view(BSTR b) { return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view(); }

// Adds a library file name to the names CoCreateInstance tries beside the
// program when a class is not registered (libQoroAudioFile.so and
// libQoroAudioInformation.so are always tried).
QORO_COM_API void addKnownLibrary(std::string_view fileName);

// Sets this thread's error information: the failing interface, the source
// (a ProgID) and a description of the cause, in UTF-8. Returns 'hr', so a
// member can end with "return reportError(...);".
QORO_COM_API HRESULT reportError(HRESULT hr, REFIID iid, std::string_view source, std::string_view description);

// The HRESULT for a system error number (ENOSPC gives the disk-full code,
// EACCES access denied, ENOENT file not found, ...); E_FAIL when none fits.
QORO_COM_API HRESULT hresultFromErrno(int error);

// Takes this thread's error information: its description in UTF-8, empty
// when there is none.
QORO_COM_API std::string takeErrorDescription();

// An owning interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T* p, bool addRef = true) : p_(p) {
        if (p_ && addRef) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(const ComPtr& o) {
        ComPtr(o).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).swap(*this);
        return *this;
    }
    void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    // Takes over a reference the caller already owns.
    static ComPtr adopt(T* p) { return ComPtr(p, false); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* detach() { return std::exchange(p_, nullptr); }
    // For out-parameters: releases what is held and returns the slot.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    template <class U>
    HRESULT as(REFIID iid, ComPtr<U>& out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(iid, out.putVoid());
    }

private:
    T* p_ = nullptr;
};

// An owning BSTR.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit Bstr(std::string_view utf8) : b_(bstrFromUtf8(utf8)) {}
    explicit Bstr(const char* utf8) : Bstr(std::string_view(utf8)) {}
    explicit Bstr(const char16_t* s) : b_(SysAllocString(s)) {}
    Bstr(const Bstr& o) : b_(o.b_ ? SysAllocStringLen(o.b_, SysStringLen(o.b_)) : nullptr) {}
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { SysFreeString(b_); }
    static Bstr adopt(BSTR b) {
        Bstr r;
        r.b_ = b;
        return r;
    }
    BSTR get() const { return b_; }
    BSTR* put() {
        SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    BSTR detach() { return std::exchange(b_, nullptr); }
    UINT length() const { return SysStringLen(b_); }
    std::u16string_view view() const { return qoro::com::view(b_); }
    std::string utf8() const { return utf8FromBstr(b_); }

private:
    BSTR b_ = nullptr;
};

}  // namespace qoro::com
