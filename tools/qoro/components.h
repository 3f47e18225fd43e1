// Thin helpers over the component runtime for qoro: one apartment per thread,
// creating the objects, owning what they hand back, and naming their errors.
// qoro reaches the components only through CoCreateInstance and the public
// interfaces, like any outside client.
#pragma once

#include <memory>
#include <string>
#include <vector>

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

struct SafeArrayDeleter {
    void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
using SampleArray = std::unique_ptr<SAFEARRAY, SafeArrayDeleter>;

// Number of elements of a one-dimensional array (0 for none).
long elementCount(SAFEARRAY* array);

// A new AudioFile / AudioInformation object; empty when the component is
// missing (the HRESULT goes to *hr when asked).
ComPtr<IAudioFile> createAudioFile(HRESULT* hr = nullptr);
ComPtr<IAudioInformation> createAudioInformation(HRESULT* hr = nullptr);

// "FORMATFILE", "FILEACCESS", ... for an ErrorConstants value.
std::string errorName(LONG code);
// A short explanation of the same code ("not a file of its type", ...).
std::string errorText(LONG code);

LONG lastError(IAudioFile* file);

// Text helpers over BSTR getters.
template <class T, class Getter>
std::string getText(T* object, Getter getter) {
    Bstr text;
    (object->*getter)(text.put());
    return text.utf8();
}

}  // namespace qoro::cli
