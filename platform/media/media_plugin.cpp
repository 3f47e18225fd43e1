#include "media/media_plugin.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace qoro::media {

namespace {

struct Loaded {
    const qoro_media_api* api = nullptr;
    std::string absence;
};

bool keptFromLoading() {
    const char* v = std::getenv("QORO_NO_GPL_PLUGINS");
    return v && *v && std::strcmp(v, "0") != 0;
}

// The folder of the library this code is linked into, with its "/".
std::string ownFolder() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<const void*>(&ownFolder), &info) || !info.dli_fname) return {};
    const std::string own = info.dli_fname;
    const size_t slash = own.rfind('/');
    return slash == std::string::npos ? std::string() : own.substr(0, slash + 1);
}

Loaded load() {
    Loaded out;
    const std::string missing = "the package " + std::string(kPackage) + ", which is not installed";
    if (keptFromLoading()) {
        out.absence = "the package " + std::string(kPackage) + ", which QORO_NO_GPL_PLUGINS=1 keeps from loading";
        return out;
    }
    const std::string path = ownFolder() + std::string(kFileName);
    // Loaded for good: the table it hands out lives as long as the process.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        out.absence = missing;
        return out;
    }
    const auto entry = reinterpret_cast<qoro_media_entry_fn>(::dlsym(handle, QORO_MEDIA_ENTRY));
    const qoro_media_api* api = entry ? entry() : nullptr;
    // A plug-in of the first tables reads but does not write (writes() says so).
    if (!api || api->abi != QORO_MEDIA_ABI || api->size < offsetof(qoro_media_api, create)) {
        out.absence = "the package " + std::string(kPackage) + " in a version these components cannot use";
        return out;
    }
    out.api = api;
    return out;
}

const Loaded& loaded() {
    static const Loaded once = load();
    return once;
}

}  // namespace

const qoro_media_api* plugin() { return loaded().api; }

const std::string& absence() { return loaded().absence; }

bool writes() { return plugin() && plugin()->size >= sizeof(qoro_media_api); }

std::string writeRefusal(std::string_view filesOfKind) {
    if (plugin() && !writes()) return "writing " + std::string(filesOfKind) + " needs a newer " + std::string(kPackage);
    return "writing " + std::string(filesOfKind) + " needs " + absence();
}

Writer Writer::create(const std::string& path, const qoro_media_encoding& encoding, std::string& why,
                      std::string_view filesOfKind) {
    Writer w;
    if (!writes()) {
        why = writeRefusal(filesOfKind);
        return w;
    }
    char error[512] = {};
    const qoro_media_api* api = plugin();
    qoro_media_writer* handle = api->create(path.c_str(), &encoding, error, sizeof error);
    if (!handle) {
        why = error[0] ? error : "the file cannot be created";
        return w;
    }
    w.api_ = api;
    w.handle_ = std::unique_ptr<qoro_media_writer, Closer>(handle, Closer{api});
    return w;
}

std::string refusal(std::string_view filesOfKind) {
    return "reading " + std::string(filesOfKind) + " needs " + absence();
}

std::string codecName(const qoro_media_facts& facts) {
    struct Name {
        std::string_view codec, name;
    };
    static constexpr Name kNames[] = {
        {"aac", "AAC"},           {"aac_latm", "AAC"},          {"alac", "ALAC"},
        {"wavpack", "WavPack"},   {"ape", "Monkey's Audio"},    {"tta", "TTA"},
        {"flac", "FLAC"},         {"wmav1", "WMA"},             {"wmav2", "WMA"},
        {"wmapro", "WMA Pro"},    {"wmalossless", "WMA Lossless"}, {"ac3", "AC-3"},
        {"eac3", "E-AC-3"},       {"opus", "Opus"},             {"vorbis", "Vorbis"},
        {"mp3", "MPEG Layer-3"},  {"mpc8", "Musepack SV8"},     {"mpc7", "Musepack SV7"},
    };
    const std::string_view codec(facts.codec);
    std::string name;
    for (const Name& n : kNames)
        if (n.codec == codec) name = n.name;
    if (name.empty() && codec.starts_with("dsd_")) name = "DSD";
    if (name.empty()) name = facts.codec_title[0] ? facts.codec_title : facts.codec;
    // AAC's profile tells LC from HE-AAC; other codecs' profiles say little.
    if (name == "AAC" && facts.profile[0]) name.append(" ").append(facts.profile);
    return name;
}

std::string describe(const qoro_media_facts& facts, long rate) {
    std::string text = codecName(facts) + " " + std::to_string(rate > 0 ? rate : facts.rate) + " Hz; ";
    text += facts.channels == 1   ? "Mono"
            : facts.channels == 2 ? "Stereo"
                                  : std::to_string(facts.channels) + " Channels";
    if (facts.lossless && facts.bits > 0)
        text += "; " + std::to_string(facts.bits) + " Bit";
    else if (facts.bitrate > 0)
        text += "; " + std::to_string((facts.bitrate + 500) / 1000) + " Kbps";
    return text;
}

File File::open(const std::string& path, std::string& why, std::string_view filesOfKind) {
    File f;
    const qoro_media_api* api = plugin();
    if (!api) {
        why = refusal(filesOfKind);
        return f;
    }
    char error[512] = {};
    qoro_media* m = api->open(path.c_str(), error, sizeof error);
    if (!m) {
        why = error[0] ? error : "the file cannot be read";
        return f;
    }
    f.api_ = api;
    f.handle_ = std::unique_ptr<qoro_media, Closer>(m, Closer{api});
    return f;
}

bool File::tag(int index, std::string_view& key, std::string_view& value) const {
    const char* k = nullptr;
    const char* v = nullptr;
    if (!api_->tag(handle_.get(), index, &k, &v)) return false;
    key = k ? k : "";
    value = v ? v : "";
    return true;
}

bool File::picture(int index, std::string_view& data, std::string_view& mime) const {
    const uint8_t* d = nullptr;
    size_t n = 0;
    const char* m = nullptr;
    if (!api_->picture(handle_.get(), index, &d, &n, &m)) return false;
    data = std::string_view(reinterpret_cast<const char*>(d), d ? n : 0);
    mime = m ? m : "";
    return true;
}

}  // namespace qoro::media
