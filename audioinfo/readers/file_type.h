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
    // Read through the media plug-in (Musepack SV8 too, as MpegPlus).
    M4a = 9,
    WavPack = 10,
    MonkeysAudio = 11,
    Tta = 12,
    Dsd = 13,
    Matroska = 14,
    Ac3 = 15,
    Adts = 16,
    OggFlac = 17,
    Wma = 18,
};

}  // namespace qoro::audioinfo
