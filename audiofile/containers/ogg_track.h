// Ogg Vorbis files as containers of the AudioFile engine: read through
// OggFileState (sample-exact length, bounded reads, seeks by sample number)
// and created with the object's Ogg Vorbis settings. Not READWRITE.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openOgg(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createOgg(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
