// Files read through the media plug-in (platform/media): M4A (AAC, ALAC),
// WavPack, Monkey's Audio, TTA, DSD, Matroska/WebM audio, AC-3, ADTS AAC,
// Ogg FLAC, WMA and Musepack SV8. Their samples come as the plug-in decodes
// them, exactly as long as the music (encoder delay and padding off): in the
// 16-bit stereo file format by default, as they are with useNative (16-,
// 24- or 32-bit integers for lossless codecs, 32-bit floats for lossy ones,
// up to 8 channels in WAV order). DSD is brought from its PCM rate to 88200
// Hz (96000 Hz for the 48 kHz family) through libsoxr. Seeks are exact.
// Read-only; without the plug-in every such file is refused with the
// package to install.
#pragma once

#include <memory>
#include <string_view>

#include "containers/containers.h"

namespace qoro::audiofile {

// The opener of every type whose files the plug-in reads; the type's row
// gives the words of its refusals.
int16_t openMedia(const OpenRequest& request, std::unique_ptr<Track>& track);

// The words of refusals: "reading <files> needs the package ...", "<inWords>
// that cannot be read: ...".
struct MediaWords {
    std::string_view files;    // "Musepack SV8 files"
    std::string_view inWords;  // "a Musepack SV8 file"
};
int16_t openMediaAs(const OpenRequest& request, const MediaWords& words, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
