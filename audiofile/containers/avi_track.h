// The sound track of an AVI file as a container of the AudioFile engine: the
// first "auds" stream, read through the AVI file layer (platform/avifile).
// PCM goes straight to the engine; other formats are decoded through the
// codec manager. Positions count bytes from the start of the stream; AVI
// files are read only.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openAvi(const OpenRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
