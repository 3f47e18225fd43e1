// The audio components as the program uses them: two AudioFile objects (one
// reads each source, one writes each target) and one AudioInformation object,
// all created through CoCreateInstance and kept for the program's life. A
// component that could not be created is simply missing (null).
#pragma once

#include <cstdint>
#include <string>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"

namespace quillet {

struct Components {
    qoro::com::ComPtr<IAudioFile> source;
    qoro::com::ComPtr<IAudioFile> target;
    qoro::com::ComPtr<IAudioInformation> info;
};

// Creates the three objects by class identifier. Call after CoInitialize.
Components createComponents();

// What the grid and the labels show of a file.
struct FileFacts {
    std::string title;       // infoTitle (UTF-8)
    int64_t durationMs = 0;  // infoDuration
    int64_t bitrate = 0;     // infoBitrate, bit/s
    int64_t frequency = 0;   // infoFrequency, Hz
};

// GetAudioInformation(path) followed by the property reads; zero facts and
// an empty title when the object is missing or the analysis fails.
FileFacts readFacts(IAudioInformation* info, const std::string& path);

// Keeps CoInitialize/CoUninitialize paired for a scope.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

}  // namespace quillet
