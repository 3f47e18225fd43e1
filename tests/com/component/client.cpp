// A separate program that creates the test component through the runtime,
// as any client would:
//   qoro-com-test-client [--known LIBRARY] [--progid PROGID]
// prints "add=<Add(2, 3) by name>" and "unloaded=<0|1>", exit 0; on failure
// prints "hr=0x..." and exits 3.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "test_calc.h"

namespace {

int fail(const char* what, HRESULT hr) {
    std::printf("%s hr=0x%08X\n", what, static_cast<unsigned>(hr));
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    std::string known, progId;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--known") == 0)
            known = argv[i + 1];
        else if (std::strcmp(argv[i], "--progid") == 0)
            progId = argv[i + 1];
    }
    if (!known.empty()) qoro::com::addKnownLibrary(known);
    CoInitialize(nullptr);
    CLSID clsid = CLSID_TestCalc;
    if (!progId.empty()) {
        const std::u16string name = qoro::com::toUtf16(progId);
        HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
        if (FAILED(hr)) return fail("progid", hr);
    }
    IDispatch* calc = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&calc));
    if (FAILED(hr)) return fail("create", hr);

    OLECHAR name[] = u"ADD";
    LPOLESTR names[] = {name};
    DISPID id = DISPID_UNKNOWN;
    hr = calc->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return fail("names", hr);
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;  // b (arguments travel last first)
    args[0].lVal = 3;
    args[1].vt = VT_I2;  // a
    args[1].iVal = 2;
    DISPPARAMS dp{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    hr = calc->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
    if (FAILED(hr)) return fail("invoke", hr);
    std::printf("add=%d\n", static_cast<int>(result.lVal));
    calc->Release();
    CoUninitialize();  // unloads the library: nothing of it is alive any more
    void* still = ::dlopen("libQoroTestComponent.so", RTLD_NOW | RTLD_NOLOAD);
    std::printf("unloaded=%d\n", still ? 0 : 1);
    if (still) ::dlclose(still);
    return 0;
}
