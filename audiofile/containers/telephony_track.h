// The headerless telephony files (VOX, G.721, G.723, G.726) as containers of
// the AudioFile engine: a bare stream of codes read, written and positioned
// through one TelephonyCodec. The rate and code width come from the object's
// output settings; the PCM form is 16-bit mono at that rate.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openVox(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createVox(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t openG721(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createG721(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t openG723(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createG723(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t openG726(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createG726(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
