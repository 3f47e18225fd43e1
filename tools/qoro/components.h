// Thin helpers over the component runtime for qoro: one apartment per thread,
// creating the objects and reading their properties. Errors are named and put
// in words by the client library (client/errors.h).
// qoro reaches the components only through CoCreateInstance and the public
// interfaces, like any outside client.
#pragma once

#include <string>
#include <vector>

#include "client/errors.h"
#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"

namespace qoro::cli {

using com::Bstr;
using com::ComPtr;

// CoInitialize/CoUninitialize for the lifetime of the object (one per thread).
class Apartment {
public:
    Apartment() { CoInitialize(nullptr); }
    ~Apartment() { CoUninitialize(); }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
};

// A new AudioFile / AudioInformation object; empty when the component is
// missing (the HRESULT goes to *hr when asked).
ComPtr<IAudioFile> createAudioFile(HRESULT* hr = nullptr);
ComPtr<IAudioInformation> createAudioInformation(HRESULT* hr = nullptr);
// The components' lists of the types of file they know ("QoroAudioFile.Formats",
// "QoroAudioInformation.Formats"); empty when the component is missing. qoro
// reads them once, through formats() (formats.h).
ComPtr<IAudioFileFormats> createAudioFileFormats();
ComPtr<IAudioInformationFormats> createAudioInformationFormats();

using client::errorName;
using client::errorWords;

LONG lastError(IAudioFile* file);

// Text helpers over BSTR getters.
template <class T, class Getter>
std::string getText(T* object, Getter getter) {
    Bstr text;
    (object->*getter)(text.put());
    return text.utf8();
}

}  // namespace qoro::cli
