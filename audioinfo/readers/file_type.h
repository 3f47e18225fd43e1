// File types of the information component (the infoType values). Which
// extensions choose each, and everything else about a type, is in the
// table of types (object/info_types.h).
#pragma once

#include <cstdint>
#include <string_view>

namespace qoro::audioinfo {

enum class FileType : int16_t {
    Unknown = 0,
    Wav = 1,
    Mpeg = 2,
    OggVorbis = 3,
    MpegPlus = 4,
    Avi = 5,
    Flac = 6,
    Opus = 7,
    Aiff = 8,
};

}  // namespace qoro::audioinfo
