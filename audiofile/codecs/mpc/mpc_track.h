// MPEG Plus (Musepack) files, stream versions 4 to 7, as read-only containers
// of the AudioFile engine: decoded to 44100 Hz stereo 16-bit PCM.
#pragma once

#include <memory>

#include "engine/containers.h"

namespace qoro::audiofile {

int16_t openMpc(const OpenRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
