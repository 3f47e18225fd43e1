// AIFF and AIFF-C files as containers of the AudioFile engine.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openAiff(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createAiff(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
