#include "containers/containers.h"

#include "containers/avi_track.h"
#include "containers/flac_track.h"
#include "containers/mp2_writer.h"
#include "containers/mp3_writer.h"
#include "containers/mpc_track.h"
#include "containers/mpeg_track.h"
#include "containers/ogg_track.h"
#include "containers/opus_track.h"
#include "containers/telephony_track.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

// Readers and writers by format type. Types whose codec is not part of the
// component yet have empty slots and report FORMATNOTSUPPORT; types without a
// reader-writer pair cannot be opened with READWRITE.
constexpr ContainerEntry kContainers[] = {
    {WAV, openWav, createWav, true},     {MP3, openMpeg, createMp3, false},  // MPEG reader; MP3 encoder paths
    {VOX, openVox, createVox, true},                                         // Dialogic ADPCM
    {RAW, openRaw, createRaw, true},     {G726, openG726, createG726, true},
    {OGG, openOgg, createOgg, false},  // Ogg Vorbis
    {G721, openG721, createG721, true},  {G723, openG723, createG723, true},
    {AVI, openAvi, nullptr, false},       // sound tracks of AVI files: read only
    {MPC, openMpc, nullptr, false},       // MPEG Plus: read only
    {MP2, openSpeech, createMp2, false},  // reads ".dss" speech files, writes Layer II
    {FLAC, openFlac, createFlac, false},
    {OPUS, openOpus, createOpus, false},
};

}  // namespace

const Opener kMpegInWaveOpener = openMpegInWave;

const ContainerEntry* findContainer(long formatType) {
    for (const auto& entry : kContainers)
        if (entry.formatType == formatType) return &entry;
    return nullptr;
}

}  // namespace qoro::audiofile
