// The MPEG audio reader as the AudioFile engine sees it: the openers that plug
// MPEG files (type MP3, every layer) and RIFF WAVE files whose data is MPEG
// audio into the engine's container table.
//
// Layer I/II/III streams are decoded by the built-in decoder (container kind
// Mpeg). A Layer III stream opened for reading goes through the codec
// manager's Layer-3 driver instead (kind MpegThroughAcm) when the decoder
// choice is ACM_DRIVER_OUT or when its bitrate is below 52 kbit/s.
//
// Both paths deliver the same timeline: the stream's frames as the analysis
// at open found them, without the information frame, and of their samples
// the music (trimmed by a trusted LAME tag). The length is exact before the
// first read, and a seek lands on the sample asked for.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

// Opener of type MP3 (MPEG audio of every layer; the stream lies after the
// file's leading ID3v2 tags and before the APEv2, Lyrics3 and ID3v1 tags it
// ends with).
int16_t openMpeg(const OpenRequest& request, std::unique_ptr<Track>& track);

// The same for a WAV file the WAV reader hands over (format tag 80 or 85):
// the stream is the "data" chunk's bytes (dataOffset, dataSize), `stored`
// the file's "fmt " record, which stays the file's full format.
int16_t openMpegInWave(const OpenRequest& request, uint64_t dataOffset, uint64_t dataSize, const FullFormat& stored,
                       std::unique_ptr<Track>& track);
// The opener of the container table's entry for MPEG in RIFF WAVE: finds
// the "data" chunk itself.
int16_t openMpegInWave(const OpenRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
