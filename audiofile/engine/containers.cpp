#include "engine/containers.h"

#include "codecs/mp3enc/mp3_writer.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

namespace {

// Readers and writers by format type. Types whose codec is not part of the
// component yet have empty slots and report FORMATNOTSUPPORT; types without a
// reader-writer pair cannot be opened with READWRITE.
constexpr ContainerEntry kContainers[] = {
    {WAV, openWav, createWav, true},
    {MP3, nullptr, createMp3, false},  // MPEG reader; MP3 encoder paths
    {VOX, nullptr, nullptr, true},    // Dialogic ADPCM
    {RAW, openRaw, createRaw, true},
    {G726, nullptr, nullptr, true},
    {OGG, nullptr, nullptr, false},   // Ogg Vorbis
    {G721, nullptr, nullptr, true},
    {G723, nullptr, nullptr, true},
    {AVI, nullptr, nullptr, false},   // sound tracks of AVI files: read only
    {MPC, nullptr, nullptr, false},   // MPEG Plus: read only
    {MP2, openSpeech, nullptr, false},  // reads ".dss" speech files, writes Layer II
};

}  // namespace

const Opener kMpegInWaveOpener = nullptr;

const ContainerEntry* findContainer(long formatType) {
    for (const auto& entry : kContainers)
        if (entry.formatType == formatType) return &entry;
    return nullptr;
}

}  // namespace qoro::audiofile
