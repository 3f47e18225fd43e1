// File types of the information component and the extension that selects
// each: the part of the path after its last ".", compared in lower case.
#pragma once

#include <cstdint>
#include <string_view>

namespace qoro::audioinfo {

enum class FileType : int16_t {
    Unknown = 0,
    Wav = 1,        // "wav"
    Mpeg = 2,       // "mp3", "mp2", "mp1", "mpeg"
    OggVorbis = 3,  // "ogg"
    MpegPlus = 4,   // "mpc", "mp+"
    Avi = 5,        // "avi"
    Flac = 6,       // "flac"
    Opus = 7,       // "opus"
};

// A path without "." or ending in "." has no extension: Unknown.
FileType classifyExtension(std::string_view path);

}  // namespace qoro::audioinfo
