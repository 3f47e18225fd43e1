#include "components.h"

namespace qoro::cli {

ComPtr<IAudioFile> createAudioFile(HRESULT* hr) {
    ComPtr<IAudioFile> file;
    HRESULT result = CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, file.putVoid());
    if (hr) *hr = result;
    if (FAILED(result)) file.reset();
    return file;
}

ComPtr<IAudioInformation> createAudioInformation(HRESULT* hr) {
    ComPtr<IAudioInformation> info;
    HRESULT result =
        CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation, info.putVoid());
    if (hr) *hr = result;
    if (FAILED(result)) info.reset();
    return info;
}

ComPtr<IAudioFileFormats> createAudioFileFormats() {
    ComPtr<IAudioFileFormats> formats;
    if (FAILED(CoCreateInstance(CLSID_AudioFileFormats, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFileFormats,
                                formats.putVoid())))
        formats.reset();
    return formats;
}

ComPtr<IAudioInformationFormats> createAudioInformationFormats() {
    ComPtr<IAudioInformationFormats> formats;
    if (FAILED(CoCreateInstance(CLSID_AudioInformationFormats, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IAudioInformationFormats, formats.putVoid())))
        formats.reset();
    return formats;
}

LONG lastError(IAudioFile* file) {
    LONG code = NOERRORS;
    file->get_LastErrorNum(&code);
    return code;
}

}  // namespace qoro::cli
