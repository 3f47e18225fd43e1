// Writing MP3 files for the AudioFile engine (container type MP3).
//
// createMp3 is the table's creator: it binds the encoder library and takes
// the library path when the library is complete and the settings choose it
// (Mp3TypeEncoder LAME), otherwise the codec manager's Layer-3 encoder.
// Either track takes PCM in any amount and keeps partial encoder chunks until
// more data or the close comes.
//
//   std::unique_ptr<Track> track;
//   if (createMp3(request, track) == status::kOk) {
//       track->encode(pcm, bytes);   // 16-bit PCM at the MP3 rate and channels
//       track->finish(frames);       // flush, close, VBR header when due
//   }
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "codecs/mp3enc/lame_enc/lame_enc.h"
#include "codecs/mp3enc/lame_library.h"
#include "containers/containers.h"

namespace qoro::audiofile {

// The table's creator for type MP3 (binds lame_enc.so from the default places).
int16_t createMp3(const CreateRequest& request, std::unique_ptr<Track>& track);

// The same with a given binding (nullptr or an incomplete one: the codec
// manager path).
int16_t createMp3With(const CreateRequest& request, std::shared_ptr<const LameLibrary> library,
                      std::unique_ptr<Track>& track);

// The encoder library's configuration record for a settings record.
BE_CONFIG lameConfigFor(const Mp3Settings& settings);

// Whether a VBR header may be written at this frequency (never at 11025,
// 12000 and 22050 Hz).
bool vbrHeaderAllowedAt(long frequency);

// The codec manager path's MPEG Layer-3 record for a settings record.
acm::MPEGLAYER3WAVEFORMAT layer3FormatFor(const Mp3Settings& settings);

// The four bytes that start a file on the codec manager path, or kFormatFile
// when the rate or the bitrate has no header form.
int16_t layer3FirstHeader(const acm::MPEGLAYER3WAVEFORMAT& format, std::array<uint8_t, 4>& header);

}  // namespace qoro::audiofile
