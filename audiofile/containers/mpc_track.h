// MPEG Plus (Musepack) files, stream versions 4 to 7, as read-only containers
// of the AudioFile engine: decoded to 44100 Hz stereo 16-bit PCM.
//
// Every frame yields 1152 sample frames (4608 bytes) except the first, which
// drops the synthesis delay and yields 671 (2684 bytes). The PCM length of a
// stream of n frames is therefore n x 4608 - 1924 bytes, and frame k >= 1
// starts at PCM byte k x 4608 - 1924.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

// Opener of type MPC (READ only). A file that cannot be read reports
// FILEACCESS; one that is not an MPEG Plus stream of versions 4 to 7 reports
// FORMATFILE. Version 8 streams are read through the media plug-in.
int16_t openMpc(const OpenRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
