// What one call on an AudioFile object gave, taken the moment it returns,
// and the owners of what such calls hand back. Shared by the conversion
// routine and the loudness measurement.
//
//   clearErrorInfo();
//   const Outcome o = examine(file, file->OpenFile(name, DEFAULT, READ));
//   if (o.failed()) ... o.cause()
#pragma once

#include <memory>
#include <string>

#include "client/errors.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace qoro::client {

// Its HRESULT, the object's LastErrorNum after it and, when it failed, the
// description it left.
struct Outcome {
    HRESULT hr = S_OK;
    LONG code = NOERRORS;
    std::string description;
    bool failed() const { return FAILED(hr) || code < 0; }
    // The description, else the words of the HRESULT or of the code.
    std::string cause() const {
        if (!description.empty()) return description;
        if (std::string words = hresultWords(hr); !words.empty()) return words;
        if (code < 0) return errorWords(code);
        return "the call failed";
    }
};

// Looks at the result of a call that has just returned. The error
// information is taken before anything else is called on the object.
inline Outcome examine(IAudioFile* file, HRESULT hr) {
    Outcome o;
    o.hr = hr;
    o.description = qoro::com::takeErrorDescription();
    LONG code = NOERRORS;
    if (SUCCEEDED(file->get_LastErrorNum(&code))) o.code = code;
    if (!o.failed()) o.description.clear();
    return o;
}

struct SafeArrayDeleter {
    void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
// A sample array a ReadFile or ReadSamples handed back.
using SampleArray = std::unique_ptr<SAFEARRAY, SafeArrayDeleter>;

}  // namespace qoro::client
