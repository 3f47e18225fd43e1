#include "core/components.h"

namespace quillet {

using qoro::com::Bstr;

Components createComponents() {
    Components c;
    CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, c.source.putVoid());
    CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, c.target.putVoid());
    CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation,
                     c.info.putVoid());
    return c;
}

FileFacts readFacts(IAudioInformation* info, const std::string& path) {
    FileFacts facts;
    if (!info) return facts;
    Bstr name(path);
    info->GetAudioInformation(name.get());
    Bstr title;
    info->get_infoTitle(title.put());
    facts.title = title.utf8();
    LONG value = 0;
    if (SUCCEEDED(info->get_infoDuration(&value))) facts.durationMs = value;
    value = 0;
    if (SUCCEEDED(info->get_infoBitrate(&value))) facts.bitrate = value;
    value = 0;
    if (SUCCEEDED(info->get_infoFrequency(&value))) facts.frequency = value;
    return facts;
}

ComApartment::ComApartment() { CoInitialize(nullptr); }
ComApartment::~ComApartment() { CoUninitialize(); }

}  // namespace quillet
