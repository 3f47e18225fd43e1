// Ogg Opus files as containers of the AudioFile engine: read through
// libopusfile, written through libopusenc. Opus decodes at 48000 Hz: a read
// file's PCM form is 16-bit 48000 Hz in its channels (files of more than two
// channels, or links of different channel counts, are mixed down to stereo),
// with the encoder's delay (pre-skip) and the trimmed end left out, the
// header's output gain applied and no dither; the length is the stream's
// sample count, seeks are by sample. Created at 48000 Hz in the object's
// Opus channels, bitrate (kbit/s) and complexity. Not READWRITE.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openOpus(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createOpus(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
