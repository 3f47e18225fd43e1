#include "core/file_types.h"

#include <map>

#include "core/components.h"

namespace quillet {

namespace {

struct Named {
    std::string extension;
    std::string name;
};

// Every type the component lists, asked once.
const std::map<LONG, Named>& listed() {
    static const std::map<LONG, Named> types = [] {
        std::map<LONG, Named> all;
        ComApartment apartment;
        qoro::com::ComPtr<IAudioFileFormats> formats;
        CoCreateInstance(CLSID_AudioFileFormats, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFileFormats,
                         formats.putVoid());
        LONG count = 0;
        if (!formats || FAILED(formats->get_Count(&count))) return all;
        for (LONG i = 0; i < count; ++i) {
            LONG type = 0;
            qoro::com::Bstr extensions, name;
            if (FAILED(formats->FormatType(i, &type)) || type == 0) continue;
            formats->Extensions(i, 1, extensions.put());
            formats->Name(i, name.put());
            const std::string written = extensions.utf8();
            all[type] = {written.empty() ? std::string() : "." + written.substr(0, written.find(' ')), name.utf8()};
        }
        return all;
    }();
    return types;
}

const Named& named(LONG formatType) {
    static const Named none;
    const auto& all = listed();
    const auto it = all.find(formatType);
    return it == all.end() ? none : it->second;
}

}  // namespace

ModeTypes modeTypes(ConversionMode mode) {
    return mode == ConversionMode::Mp3ToWav ? ModeTypes{MP3, WAV} : ModeTypes{WAV, MP3};
}

const std::string& usualExtension(LONG formatType) { return named(formatType).extension; }
const std::string& typeName(LONG formatType) { return named(formatType).name; }

}  // namespace quillet
