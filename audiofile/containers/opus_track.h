// Ogg Opus files as containers of the AudioFile engine: read through
// libopusfile, written through libopusenc. Opus decodes at 48000 Hz: a read
// file's PCM form is 16-bit 48000 Hz in its channels (files of more than two
// channels, or links of different channel counts, are mixed down to stereo),
// with the encoder's delay (pre-skip) and the trimmed end left out, the
// header's output gain applied and no dither; the length is the stream's
// sample count, seeks are by sample. Asked for its samples as they are
// (useNative), it hands on the decoder's 32-bit floats in the file's own
// channels, up to 8 in WAV order (surround streams carry Vorbis order); a
// chained file whose links differ in channel count, or channels of no known
// layout, come as a float stereo mix. Created at 48000 Hz in the object's
// Opus channels (1 or 2 from 16-bit samples; 3 to 8 as a surround stream,
// channel mapping family 1, from floats in WAV order), bitrate (kbit/s) and
// complexity. Not READWRITE.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t openOpus(const OpenRequest& request, std::unique_ptr<Track>& track);
int16_t createOpus(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
