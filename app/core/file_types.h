// The kinds of file each conversion mode reads and writes, named as the audio
// file component's table of types names them (QoroAudioFile.Formats): the
// program keeps no extensions of its own.
//
//   const ModeTypes t = modeTypes(ConversionMode::Mp3ToWav);   // {MP3, WAV}
//   usualExtension(t.source)                                   // ".mp3"
//   typeName(t.target)                                         // "wav"
#pragma once

#include <string>

#include "core/settings.h"
#include "qoro/AudioFile.h"

namespace quillet {

struct ModeTypes {
    LONG source;  // FormatTypeConstants
    LONG target;
};
ModeTypes modeTypes(ConversionMode mode);

// The extension files of a type are written with, dot included, and the
// type's short name, as the component lists them; empty when the component
// cannot be created.
const std::string& usualExtension(LONG formatType);
const std::string& typeName(LONG formatType);

}  // namespace quillet
