// Apartments, object creation through the registry or beside the program,
// library unloading, and the registration helpers of component libraries.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "qoro/com_registry.h"
#include "qoro/com_server.h"

namespace fs = std::filesystem;

namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();
using ClassFromProgIdFn = HRESULT (*)(const char*, CLSID*);

struct Library {
    std::string path;
    void* handle = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
    ClassFromProgIdFn classFromProgId = nullptr;  // optional
};

// The runtime's shared tables; objects may live on different threads.
struct Runtime {
    std::mutex mutex;
    std::vector<Library> loaded;
    std::vector<std::string> knownNames{"libQoroAudioFile.so", "libQoroAudioInformation.so"};
};

Runtime& runtime() {
    static Runtime instance;  // libraries stay loaded at exit: objects may outlive main
    return instance;
}

thread_local int apartmentCount = 0;
// Threads with an apartment open. A library is unloaded only while no other
// thread has one: another thread may still be running the library's code
// (returning from the Release that let go of its last object).
std::atomic<int> openApartments{0};

// Loads (or finds loaded) a component library. Caller holds the mutex.
const Library* loadLibrary(Runtime& rt, const std::string& path) {
    std::error_code ec;
    const std::string canonical = fs::weakly_canonical(path, ec).string();
    const std::string& key = ec ? path : canonical;
    for (const Library& lib : rt.loaded)
        if (lib.path == key) return &lib;
    void* handle = ::dlopen(key.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    Library lib;
    lib.path = key;
    lib.handle = handle;
    lib.getClassObject = reinterpret_cast<GetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    lib.canUnloadNow = reinterpret_cast<CanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    lib.classFromProgId = reinterpret_cast<ClassFromProgIdFn>(::dlsym(handle, "QoroClassFromProgID"));
    if (!lib.getClassObject) {
        ::dlclose(handle);
        return nullptr;
    }
    rt.loaded.push_back(lib);
    return &rt.loaded.back();
}

fs::path programFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

fs::path runtimeFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&runtimeFolder), &info) && info.dli_fname) {
        std::error_code ec;
        const fs::path p = fs::weakly_canonical(info.dli_fname, ec);
        return (ec ? fs::path(info.dli_fname) : p).parent_path();
    }
    return {};
}

HRESULT classObjectFrom(const Library* lib, REFCLSID clsid, REFIID riid, void** ppv) {
    if (!lib) return CO_E_DLLNOTFOUND;
    return lib->getClassObject(clsid, riid, ppv);
}

// Offers each known component library found where unregistered components may
// live to 'tryLibrary' until it returns true: beside the program, beside this
// runtime, and in the "qoro" folder beside this runtime (an installed tree:
// <libdir>/libqorocom.so.1 with the components in <libdir>/qoro/). Caller
// holds the mutex.
template <class Try>
void forEachUnregisteredLibrary(Runtime& rt, Try tryLibrary) {
    const fs::path runtimeDir = runtimeFolder();
    std::vector<fs::path> folders{programFolder(), runtimeDir};
    if (!runtimeDir.empty()) folders.push_back(runtimeDir / "qoro");
    for (size_t i = 0; i < folders.size(); ++i) {
        if (folders[i].empty() || std::find(folders.begin(), folders.begin() + i, folders[i]) != folders.begin() + i)
            continue;
        const std::vector<std::string> names = rt.knownNames;
        for (const std::string& name : names) {
            const fs::path candidate = folders[i] / name;
            std::error_code ec;
            if (!fs::exists(candidate, ec)) continue;
            if (const Library* lib = loadLibrary(rt, candidate.string()); lib && tryLibrary(*lib)) return;
        }
    }
}

}  // namespace

namespace qoro::com {

void addKnownLibrary(std::string_view fileName) {
    Runtime& rt = runtime();
    std::lock_guard lock(rt.mutex);
    if (std::find(rt.knownNames.begin(), rt.knownNames.end(), fileName) == rt.knownNames.end())
        rt.knownNames.emplace_back(fileName);
}

namespace {

std::string clsidKey(const GUID& clsid) { return "CLSID\\" + toString(clsid); }

}  // namespace

HRESULT registerServer(std::span<const ClassEntry> classes, const void* addressInModule) {
    Dl_info info{};
    if (!addressInModule || !::dladdr(addressInModule, &info) || !info.dli_fname) return SELFREG_E_CLASS;
    std::error_code ec;
    fs::path library = fs::weakly_canonical(fs::absolute(info.dli_fname, ec), ec);
    if (ec) library = info.dli_fname;
    HRESULT hr = registry::update([&](registry::Hive& hive) {
        for (const ClassEntry& c : classes) {
            if (!c.clsid) continue;
            const std::string clsid = toString(*c.clsid);
            const std::string key = clsidKey(*c.clsid);
            hive.setValue(key, "", c.description ? c.description : "");
            hive.setValue(key + "\\InprocServer32", "", library.string());
            hive.setValue(key + "\\InprocServer32", "ThreadingModel",
                          c.threadingModel ? c.threadingModel : "Apartment");
            if (c.progId) hive.setValue(key + "\\ProgID", "", c.progId);
            if (c.versionIndependentProgId)
                hive.setValue(key + "\\VersionIndependentProgID", "", c.versionIndependentProgId);
            if (c.typeLib) hive.setValue(key + "\\TypeLib", "", toString(*c.typeLib));
            for (const auto& [sub, value] : c.extraKeys) hive.setValue(key + "\\" + sub, "", value);
            for (const char* progId : {c.progId, c.versionIndependentProgId}) {
                if (!progId || !*progId) continue;
                hive.setValue(progId, "", c.description ? c.description : "");
                hive.setValue(std::string(progId) + "\\CLSID", "", clsid);
            }
            if (c.progId && c.versionIndependentProgId)
                hive.setValue(std::string(c.versionIndependentProgId) + "\\CurVer", "", c.progId);
            if (c.typeLib) {
                const std::string lib =
                    "TypeLib\\" + toString(*c.typeLib) + "\\" + (c.typeLibVersion ? c.typeLibVersion : "1.0");
                hive.setValue(lib, "", c.description ? c.description : "");
                hive.setValue(lib + "\\0\\linux", "", library.string());
            }
        }
    });
    return FAILED(hr) ? SELFREG_E_CLASS : S_OK;
}

HRESULT classFromProgId(std::span<const ClassEntry> classes, const char* progId, CLSID* clsid) {
    if (!progId || !clsid) return E_INVALIDARG;
    const registry::CaseLess less;
    const std::string_view name(progId);
    for (const ClassEntry& c : classes) {
        if (!c.clsid) continue;
        for (const char* own : {c.progId, c.versionIndependentProgId}) {
            if (own && *own && !less(name, own) && !less(own, name)) {
                *clsid = *c.clsid;
                return S_OK;
            }
        }
    }
    return CO_E_CLASSSTRING;
}

HRESULT unregisterServer(std::span<const ClassEntry> classes) {
    HRESULT hr = registry::update([&](registry::Hive& hive) {
        for (const ClassEntry& c : classes) {
            if (!c.clsid) continue;
            const std::string clsid = toString(*c.clsid);
            for (const char* progId : {c.progId, c.versionIndependentProgId}) {
                if (!progId || !*progId) continue;
                // Only a ProgID that still names this class is removed.
                auto target = hive.value(std::string(progId) + "\\CLSID");
                if (target && registry::CaseLess{}(*target, clsid) == registry::CaseLess{}(clsid, *target))
                    hive.removeTree(progId);
            }
            hive.removeTree(clsidKey(*c.clsid));
            if (c.typeLib) hive.removeTree("TypeLib\\" + toString(*c.typeLib));
        }
    });
    return FAILED(hr) ? SELFREG_E_CLASS : S_OK;
}

}  // namespace qoro::com

extern "C" {

HRESULT CoInitialize(void*) {
    if (++apartmentCount > 1) return S_FALSE;
    openApartments.fetch_add(1, std::memory_order_acq_rel);
    return S_OK;
}

HRESULT CoInitializeEx(void* reserved, DWORD) { return CoInitialize(reserved); }

void CoUninitialize() {
    if (apartmentCount > 0 && --apartmentCount == 0) {
        openApartments.fetch_sub(1, std::memory_order_acq_rel);
        CoFreeUnusedLibraries();
    }
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    Runtime& rt = runtime();
    std::lock_guard lock(rt.mutex);

    // The registered library first.
    if (auto path = qoro::com::registry::inprocServer(clsid)) {
        std::error_code ec;
        if (!path->empty() && fs::exists(*path, ec)) {
            HRESULT hr = classObjectFrom(loadLibrary(rt, *path), clsid, riid, ppv);
            if (SUCCEEDED(hr)) return hr;
        }
    }
    // Then the known component libraries where unregistered ones may live.
    HRESULT found = REGDB_E_CLASSNOTREG;
    forEachUnregisteredLibrary(rt, [&](const Library& lib) {
        HRESULT hr = classObjectFrom(&lib, clsid, riid, ppv);
        if (SUCCEEDED(hr)) found = hr;
        return SUCCEEDED(hr);
    });
    return found;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    if (openApartments.load(std::memory_order_acquire) > (apartmentCount > 0 ? 1 : 0)) return;
    Runtime& rt = runtime();
    std::lock_guard lock(rt.mutex);
    for (auto it = rt.loaded.begin(); it != rt.loaded.end();) {
        if (it->canUnloadNow && it->canUnloadNow() == S_OK) {
            ::dlclose(it->handle);
            it = rt.loaded.erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (!progId || !clsid) return E_INVALIDARG;
    *clsid = GUID_NULL;
    size_t n = 0;
    while (progId[n] && n < 256) ++n;
    const std::string name = qoro::com::toUtf8(std::u16string_view(progId, n));
    if (name.empty() || name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    if (auto text = qoro::com::registry::value(name + "\\CLSID"); text && qoro::com::parseGuid(*text, *clsid))
        return S_OK;
    *clsid = GUID_NULL;
    // Not registered: ask the component libraries the runtime can find.
    Runtime& rt = runtime();
    std::lock_guard lock(rt.mutex);
    bool found = false;
    forEachUnregisteredLibrary(rt, [&](const Library& lib) {
        found = lib.classFromProgId && lib.classFromProgId(name.c_str(), clsid) == S_OK;
        return found;
    });
    if (found) return S_OK;
    *clsid = GUID_NULL;
    return CO_E_CLASSSTRING;
}

}  // extern "C"
