#include "lame_library.h"

#include <dlfcn.h>

namespace qoro::audiofile {

namespace {
template <typename F>
F resolve(void* handle, const char* name) {
    return reinterpret_cast<F>(::dlsym(handle, name));
}
}  // namespace

std::shared_ptr<const LameLibrary> LameLibrary::bind(const std::vector<std::string>& candidates) {
    std::shared_ptr<LameLibrary> lib(new LameLibrary());
    for (const std::string& name : candidates) {
        if (name.empty()) continue;
        lib->handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib->handle_) {
            lib->path_ = name;
            break;
        }
    }
    if (!lib->handle_) return lib;
    lib->initStream = resolve<BEINITSTREAM>(lib->handle_, TEXT_BEINITSTREAM);
    lib->encodeChunk = resolve<BEENCODECHUNK>(lib->handle_, TEXT_BEENCODECHUNK);
    lib->deinitStream = resolve<BEDEINITSTREAM>(lib->handle_, TEXT_BEDEINITSTREAM);
    lib->closeStream = resolve<BECLOSESTREAM>(lib->handle_, TEXT_BECLOSESTREAM);
    lib->version = resolve<BEVERSION>(lib->handle_, TEXT_BEVERSION);
    lib->writeVbrHeader = resolve<BEWRITEVBRHEADER>(lib->handle_, TEXT_BEWRITEVBRHEADER);
    lib->encodeChunkFloat = resolve<BEENCODECHUNKFLOAT>(lib->handle_, TEXT_BEENCODECHUNKFLOAT);
    if (lib->available()) {
        BE_VERSION v{};
        lib->version(&v);
    }
    return lib;
}

std::vector<std::string> LameLibrary::defaultCandidates() {
    std::vector<std::string> out;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&LameLibrary::defaultCandidates), &info) && info.dli_fname) {
        std::string own = info.dli_fname;
        const auto slash = own.rfind('/');
        // A bare name means the main program: no folder of our own to look in.
        if (slash != std::string::npos) out.push_back(own.substr(0, slash + 1) + "lame_enc.so");
    }
    out.emplace_back("lame_enc.so");
    return out;
}

LameLibrary::~LameLibrary() {
    if (handle_) ::dlclose(handle_);
}

bool LameLibrary::available() const {
    return handle_ && initStream && encodeChunk && deinitStream && closeStream && version;
}

}  // namespace qoro::audiofile
