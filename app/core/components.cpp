#include "core/components.h"

namespace quillet {

using qoro::com::Bstr;

Components createComponents() {
    Components c;
    CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, c.source.putVoid());
    CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, c.target.putVoid());
    CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation, c.info.putVoid());
    return c;
}

FileFacts readFacts(IAudioInformation* info, const std::string& path) {
    FileFacts facts;
    if (!info) return facts;
    // An MP3's title from its ID3v2 tag, else from its ID3v1 tag.
    Bstr name(path);
    info->put_mp3TagInfoVersion(2);
    info->GetAudioInformation(name.get());
    Bstr title;
    info->get_infoTitle(title.put());
    SHORT type = 0;
    info->get_infoType(&type);
    if (type == 2 && title.utf8().empty()) {  // infoType 2: MPEG audio
        info->put_mp3TagInfoVersion(1);
        info->GetAudioInformation(name.get());
        info->get_infoTitle(title.put());
    }
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
