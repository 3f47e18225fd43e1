// FLAC files as containers of the AudioFile engine, through libFLAC.
// Read: 4- to 32-bit samples at 1000 to 384000 Hz in one or two channels,
// as 16-bit PCM (8-bit and shallower as 8-bit PCM, deeper than 16 bits
// narrowed as the 24- and 32-bit WAV reader narrows them), the length from
// STREAMINFO (counted as read when the stream leaves it unknown), seeks by
// sample number. Created as 16-bit FLAC at the object's FLAC settings (rate,
// channels, compression level) with the MD5 signature of the samples in
// STREAMINFO. Not READWRITE.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openFlac(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createFlac(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
