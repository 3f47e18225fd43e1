// MPEG audio Layer II files written by the built-in encoder, as containers of
// the AudioFile engine (write only).
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t createMp2(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
