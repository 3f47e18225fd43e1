// What the AudioFile object hands its engine before every open and create:
// the output settings the SetFormat* methods filled, the raw and telephony
// settings, the MP3 encoder and decoder choices, and the full wave format
// record the last SetFormat* built.
#pragma once

#include <cstdint>

#include "codecs/mp3enc/mp3_settings.h"
#include "containers/track.h"

namespace qoro::audiofile {

struct EngineSettings {
    OutputSettings output;  // raw, VOX, G.72x, MP2 and Ogg Vorbis settings
    Mp3Settings mp3;
    int32_t mp3Encoder = 2;                                            // Mp3EncoderConstants: LAME
    int32_t mp3Decoder = 2;                                            // Mp3DecoderConstants: X_AUDIO
    int32_t resampleQuality = 0;  // 1: every rate change through libsoxr (see PcmConverter)
    int32_t dither = 0;           // 1: TPDF dither where deeper samples are rounded to 16 bits
    FullFormat full = fullFormatOf(acm::makePcmFormat(44100, 2, 16));  // what the last SetFormat* built
};

}  // namespace qoro::audiofile
