// The MP3 encoder library lame_enc.so, bound at run time by name.
//
//   auto lib = LameLibrary::bind(LameLibrary::defaultCandidates());
//   if (lib->available()) lib->initStream(&config, &samples, &outSize, &stream);
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "lame_enc/lame_enc.h"

namespace qoro::audiofile {

class LameLibrary {
public:
    // Loads the first candidate that opens and resolves the six entry points.
    // Never fails: a missing or incomplete library is simply not available.
    // beVersion is called once when the library is complete.
    static std::shared_ptr<const LameLibrary> bind(const std::vector<std::string>& candidates);

    // The library beside the component (the folder of the shared object that
    // holds this code), then "lame_enc.so" by plain name.
    static std::vector<std::string> defaultCandidates();

    ~LameLibrary();
    LameLibrary(const LameLibrary&) = delete;
    LameLibrary& operator=(const LameLibrary&) = delete;

    // True when the library loaded and beInitStream, beEncodeChunk,
    // beDeinitStream, beCloseStream and beVersion resolved.
    bool available() const;
    const std::string& loadedFrom() const { return path_; }

    BEINITSTREAM initStream = nullptr;
    BEENCODECHUNK encodeChunk = nullptr;
    BEDEINITSTREAM deinitStream = nullptr;
    BECLOSESTREAM closeStream = nullptr;
    BEVERSION version = nullptr;
    BEWRITEVBRHEADER writeVbrHeader = nullptr;      // optional
    BEENCODECHUNKFLOAT encodeChunkFloat = nullptr;  // optional: an older library takes 16-bit samples only

private:
    LameLibrary() = default;
    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace qoro::audiofile
