#include "components.h"

namespace qoro::cli {

long elementCount(SAFEARRAY* array) {
    if (!array || SafeArrayGetDim(array) != 1) return 0;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return 0;
    return upper >= lower ? static_cast<long>(upper) - lower + 1 : 0;
}

ComPtr<IAudioFile> createAudioFile(HRESULT* hr) {
    ComPtr<IAudioFile> file;
    HRESULT result = CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, file.putVoid());
    if (hr) *hr = result;
    if (FAILED(result)) file.reset();
    return file;
}

ComPtr<IAudioInformation> createAudioInformation(HRESULT* hr) {
    ComPtr<IAudioInformation> info;
    HRESULT result = CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation,
                                      info.putVoid());
    if (hr) *hr = result;
    if (FAILED(result)) info.reset();
    return info;
}

std::string errorName(LONG code) {
    switch (code) {
    case NOERRORS: return "NOERRORS";
    case BUSY: return "BUSY";
    case MEMORY: return "MEMORY";
    case FORMATFILE: return "FORMATFILE";
    case FORMATNOTSUPPORT: return "FORMATNOTSUPPORT";
    case OUTDRIVER: return "OUTDRIVER";
    case INPDRIVER: return "INPDRIVER";
    case MIXERDRIVER: return "MIXERDRIVER";
    case ACMDRIVER: return "ACMDRIVER";
    case FILEACCESS: return "FILEACCESS";
    case INVALIDOPERATION: return "INVALIDOPERATION";
    case INVALIDPARAM: return "INVALIDPARAM";
    case ASPIDRIVER: return "ASPIDRIVER";
    default: return "error " + std::to_string(code);
    }
}

std::string errorText(LONG code) {
    switch (code) {
    case MEMORY: return "out of memory";
    case FORMATFILE: return "the file is not what its type says";
    case FORMATNOTSUPPORT: return "this format is not supported";
    case ACMDRIVER: return "no codec converts this format";
    case FILEACCESS: return "the file cannot be read or written";
    case INVALIDPARAM: return "invalid parameter";
    case INVALIDOPERATION: return "invalid operation";
    case BUSY: return "the object is busy";
    default: return "failed";
    }
}

LONG lastError(IAudioFile* file) {
    LONG code = NOERRORS;
    file->get_LastErrorNum(&code);
    return code;
}

}  // namespace qoro::cli
