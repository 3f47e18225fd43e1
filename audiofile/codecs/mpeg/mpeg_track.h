// The MPEG audio reader as the AudioFile engine sees it: the openers that plug
// MPEG files (type MP3, every layer) and RIFF WAVE files whose data is MPEG
// audio into the engine's container table.
//
// Layer I/II/III streams are decoded by the built-in decoder (container kind
// Mpeg). A Layer III stream opened for reading goes through the codec
// manager's Layer-3 driver instead (kind MpegThroughAcm) when the decoder
// choice is ACM_DRIVER_OUT or when its bitrate is below 52 kbit/s.
#pragma once

#include <memory>

#include "engine/containers.h"

namespace qoro::audiofile {

// Opener of type MP3 (and of WAV files whose data is MPEG audio: the decoder
// finds the first frame behind the RIFF header by its frame search).
int16_t openMpeg(const OpenRequest& request, std::unique_ptr<Track>& track);

// The same for a WAV file the WAV reader hands over (tag 80, or 85 with
// ACM_DRIVER_OUT).
int16_t openMpegInWave(const OpenRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
