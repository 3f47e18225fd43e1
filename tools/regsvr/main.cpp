// qoro-regsvr [-u] LIBRARY: registers (or, with -u, unregisters) the classes of
// an in-process component library in the component registry.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "qoro/com.h"
#include "qoro/com_registry.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: qoro-regsvr [-u] LIBRARY\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    const char* library = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "/u") == 0)
            unregister = true;
        else if (argv[i][0] == '-' && argv[i][1])
            return usage();
        else if (!library)
            library = argv[i];
        else
            return usage();
    }
    if (!library) return usage();

    // A path is taken as given (made absolute), so the registry records where
    // the library really is.
    std::error_code ec;
    std::filesystem::path path(library);
    if (std::filesystem::exists(path, ec)) path = std::filesystem::absolute(path, ec);
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "qoro-regsvr: cannot load %s: %s\n", library, ::dlerror());
        return 1;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto fn = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, entry));
    if (!fn) {
        std::fprintf(stderr, "qoro-regsvr: %s has no %s\n", library, entry);
        ::dlclose(handle);
        return 1;
    }
    const HRESULT hr = fn();
    ::dlclose(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "qoro-regsvr: %s failed with 0x%08X (registry %s)\n", entry, static_cast<unsigned>(hr),
                     qoro::com::registry::file().c_str());
        return 1;
    }
    std::printf("%s: %s succeeded (registry %s)\n", library, entry, qoro::com::registry::file().c_str());
    return 0;
}
