#include "containers/containers.h"

#include <algorithm>

#include "acm/mpeg_bitrates.h"
#include "acm/wave_format.h"
#include "containers/aiff_track.h"
#include "containers/avi_track.h"
#include "containers/flac_track.h"
#include "containers/m4a_writer.h"
#include "containers/media_track.h"
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

using E = std::string_view;
using K = probe::Kind;

// Extensions: what OpenFile and CreateFile with DEFAULT choose each type by.
// ".mp2" opens as MPEG audio (any layer) but creates Layer II; ".dss" speech
// files open through the Layer II row, which has no reader of its own.
constexpr E kWavExt[] = {"wav"};
constexpr E kMpegOpenExt[] = {"mp3", "mp2", "mp1", "mpeg"};
constexpr E kMp3Ext[] = {"mp3"};
constexpr E kVoxExt[] = {"vox"};
constexpr E kRawExt[] = {"raw", "pcm", "dat", "gsm", "adpcm"};
constexpr E kG726Ext[] = {"g726"};
constexpr E kOggExt[] = {"ogg"};
constexpr E kG721Ext[] = {"g721"};
constexpr E kG723Ext[] = {"g723"};
constexpr E kAviExt[] = {"avi"};
constexpr E kMpcExt[] = {"mpc", "mp+"};
constexpr E kWmaExt[] = {"wma"};
constexpr E kDssExt[] = {"dss"};
constexpr E kMp2Ext[] = {"mp2"};
constexpr E kFlacExt[] = {"flac"};
constexpr E kOpusExt[] = {"opus"};
constexpr E kAiffExt[] = {"aiff", "aif", "aifc"};
constexpr E kM4aExt[] = {"m4a", "m4b", "mp4"};
constexpr E kM4aCreateExt[] = {"m4a"};
constexpr E kWavPackExt[] = {"wv"};
constexpr E kApeExt[] = {"ape"};
constexpr E kTtaExt[] = {"tta"};
constexpr E kDsdExt[] = {"dsf", "dff"};
constexpr E kMatroskaExt[] = {"mka", "mkv", "webm"};
constexpr E kAc3Ext[] = {"ac3", "eac3", "ec3"};
constexpr E kAdtsExt[] = {"aac", "adts"};
constexpr E kOggFlacExt[] = {"oga"};

// Signatures each reader reads. Ogg streams whose codec the probe cannot
// name are left to both Ogg readers to judge.
constexpr K kFlacKinds[] = {K::Flac};
constexpr K kOggKinds[] = {K::OggVorbis, K::Ogg};
constexpr K kOpusKinds[] = {K::OggOpus, K::Ogg};
constexpr K kAviKinds[] = {K::Avi};
constexpr K kAiffKinds[] = {K::Aiff};
constexpr K kMpcKinds[] = {K::Musepack8};  // SV8, through the media plug-in
constexpr K kWmaKinds[] = {K::Asf};
constexpr K kM4aKinds[] = {K::Mp4};
constexpr K kWavPackKinds[] = {K::WavPack};
constexpr K kApeKinds[] = {K::MonkeysAudio};
constexpr K kTtaKinds[] = {K::Tta};
constexpr K kDsdKinds[] = {K::Dsf, K::Dsdiff};
constexpr K kMatroskaKinds[] = {K::Matroska};
constexpr K kAc3Kinds[] = {K::Ac3};
constexpr K kAdtsKinds[] = {K::Adts};
constexpr K kOggFlacKinds[] = {K::OggFlac};

// Writer limits: plain-sample writers take every rate a PCM form may have,
// VOX the codec manager's PCM rates, the MP3 encoders the MPEG-1, MPEG-2
// and MPEG-2.5 rates, Layer II the MPEG-1 and MPEG-2 ones; bitrates in
// kbit/s.
constexpr long kPcmDepths[] = {8, 16};
constexpr long kWavDepths[] = {8, 16, 24, 32};
constexpr long kFlacDepths[] = {16, 24};
constexpr long kMpegRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr long kMp2Rates[] = {16000, 22050, 24000, 32000, 44100, 48000};
// The Layer III and Layer II bitrates of MPEG-1 and MPEG-2 together.
constexpr auto kMp3Bitrates = acm::mpegLayerBitrates<acm::kLayer3Code>();
constexpr auto kMp2Bitrates = acm::mpegLayerBitrates<acm::kLayer2Code>();
static_assert(kMp3Bitrates.size() == 18 && kMp3Bitrates.front() == 8 && kMp3Bitrates.back() == 320);
static_assert(kMp2Bitrates.size() == 19 && kMp2Bitrates.front() == 8 && kMp2Bitrates.back() == 384);
constexpr long kOpusRates[] = {48000};
constexpr long kAlacDepths[] = {16, 24};
constexpr long kG726Bitrates[] = {16, 24, 32, 40};
constexpr long kG723Bitrates[] = {24, 40};

constexpr WriterLimits kWavWriter{.minRate = kMinPcmRate,
                                  .maxRate = kMaxPcmRate,
                                  .maxChannels = 8,
                                  .depths = kWavDepths,
                                  .floats = true};
constexpr WriterLimits kAiffWriter{
    .minRate = kMinPcmRate, .maxRate = kMaxPcmRate, .maxChannels = 8, .depths = kWavDepths, .floats = true};
constexpr WriterLimits kRawWriter{
    .minRate = kMinPcmRate, .maxRate = kMaxPcmRate, .maxChannels = 2, .depths = kPcmDepths};
constexpr WriterLimits kTelephonyWriter{.minRate = 1, .maxRate = 1000000, .maxChannels = 1};

// FormatTag: the record's own, or a number the type has always reported.
long recordTag(const FullFormat& full) { return tagOf(full); }
long rawTag(const FullFormat& full) { return tagOf(full) + 30000L; }
template <long Tag>
long fixedTag(const FullFormat&) {
    return Tag;
}

// Bitrates the settings decide (bit/s).
long g726Bitrate(const OutputSettings& o, bool) { return o.g726Bits * 8; }
long g721Bitrate(const OutputSettings&, bool) { return 32; }
long g723Bitrate(const OutputSettings& o, bool) { return o.g723Bits * 8; }
long opusBitrate(const OutputSettings& o, bool) { return o.opus.bitrate * 1000L; }  // the file's average
long voxBitrate(const OutputSettings&, bool creating) { return creating ? 12 : -1; }

// Rows in FormatTypeConstants order. Types whose codec is not part of the
// component have empty slots and report FORMATNOTSUPPORT; types without a
// reader-writer pair cannot be opened with READWRITE.
// clang-format off
constexpr ContainerEntry kContainers[] = {
    {WAV, "wav", "WAV", "a WAV file", kWavExt, kWavExt, {}, openWav, createWav, true, true, kWavWriter, recordTag},
    {MP3, "mp3", "MP3", "an MPEG audio file", kMpegOpenExt, kMp3Ext, {}, openMpeg, createMp3, false, true,
     {.rates = kMpegRates, .maxChannels = 2, .bitrates = kMp3Bitrates}, fixedTag<85>},
    {VOX, "vox", "VOX", "a Dialogic VOX file", kVoxExt, kVoxExt, {}, openVox, createVox, true, false,
     {.rates = acm::kPcmRates, .maxChannels = 1}, fixedTag<23>, voxBitrate},
    {RAW, "raw", "raw samples", "a raw sample file", kRawExt, kRawExt, {}, openRaw, createRaw, true, false,
     kRawWriter, rawTag},
    {G726, "g726", "G.726", "a G.726 file", kG726Ext, kG726Ext, {}, openG726, createG726, true, false,
     {.minRate = 1, .maxRate = 1000000, .maxChannels = 1, .bitrates = kG726Bitrates}, fixedTag<100>, g726Bitrate},
    {OGG, "ogg", "Ogg Vorbis", "an Ogg Vorbis file", kOggExt, kOggExt, kOggKinds, openOgg, createOgg, false, true,
     {.rates = kVorbisRates, .maxChannels = 8, .minBitrate = 45, .maxBitrate = 500}},
    {G721, "g721", "G.721", "a G.721 file", kG721Ext, kG721Ext, {}, openG721, createG721, true, false,
     kTelephonyWriter, nullptr, g721Bitrate},
    {G723, "g723", "G.723", "a G.723 file", kG723Ext, kG723Ext, {}, openG723, createG723, true, false,
     {.minRate = 1, .maxRate = 1000000, .maxChannels = 1, .bitrates = kG723Bitrates}, nullptr, g723Bitrate},
    {AVI, "avi", "AVI", "an AVI file", kAviExt, {}, kAviKinds, openAvi, nullptr, false, false, {}},
    {MPC, "mpc", "MPEG Plus", "an MPEG Plus file", kMpcExt, {}, kMpcKinds, openMpc, nullptr, false, true, {}},
    {WMA, "wma", "Windows Media Audio", "a Windows Media file", kWmaExt, kWmaExt, kWmaKinds, openMedia, nullptr,
     false, true, {}},
    {MP2, "mp2", "MP2", "a DSS speech file", kDssExt, kMp2Ext, {}, openSpeech, createMp2, false, false,
     {.rates = kMp2Rates, .maxChannels = 2, .bitrates = kMp2Bitrates}, fixedTag<80>},
    {FLAC, "flac", "FLAC", "a FLAC file", kFlacExt, kFlacExt, kFlacKinds, openFlac, createFlac, false, true,
     {.minRate = 1000, .maxRate = 384000, .maxChannels = 8, .depths = kFlacDepths}},
    {OPUS, "opus", "Opus", "an Ogg Opus file", kOpusExt, kOpusExt, kOpusKinds, openOpus, createOpus, false,
     true, {.rates = kOpusRates, .maxChannels = 8, .minBitrate = 6, .maxBitrate = 510}, nullptr, opusBitrate},
    {AIFF, "aiff", "AIFF", "an AIFF file", kAiffExt, kAiffExt, kAiffKinds, openAiff, createAiff, false, true,
     kAiffWriter},
    {M4A, "m4a", "M4A", "an MP4 audio file", kM4aExt, kM4aCreateExt, kM4aKinds, openMedia, createAac, false, true,
     {.rates = kAacRates, .maxChannels = 8, .minBitrate = 8, .maxBitrate = 512}},
    {WAVPACK, "wv", "WavPack", "a WavPack file", kWavPackExt, {}, kWavPackKinds, openMedia, nullptr, false, true, {}},
    {APE, "ape", "Monkey's Audio", "a Monkey's Audio file", kApeExt, {}, kApeKinds, openMedia, nullptr, false, true,
     {}},
    {TTA, "tta", "TTA", "a TTA file", kTtaExt, {}, kTtaKinds, openMedia, nullptr, false, true, {}},
    {DSD, "dsd", "DSD", "a DSD file", kDsdExt, {}, kDsdKinds, openMedia, nullptr, false, true, {}},
    {MATROSKA, "mka", "Matroska audio", "a Matroska file", kMatroskaExt, {}, kMatroskaKinds, openMedia, nullptr,
     false, true, {}},
    {AC3, "ac3", "AC-3", "an AC-3 file", kAc3Ext, {}, kAc3Kinds, openMedia, nullptr, false, true, {}},
    {ADTS, "aac", "ADTS AAC", "an ADTS AAC file", kAdtsExt, {}, kAdtsKinds, openMedia, nullptr, false, true, {}},
    {OGGFLAC, "oga", "Ogg FLAC", "an Ogg FLAC file", kOggFlacExt, {}, kOggFlacKinds, openMedia, nullptr, false, true,
     {}},
    // Only written, when asked by type (".m4a" creates AAC); M4A reads its files.
    {ALAC, "alac", "ALAC", "an MP4 audio file", {}, kM4aCreateExt, {}, nullptr, createAlac, false, false,
     {.minRate = kMinPcmRate, .maxRate = kMaxPcmRate, .maxChannels = 8, .depths = kAlacDepths}},
};
// clang-format on

// The extension of the file-name part, lower-cased, without the dot ("" when none).
std::string extensionOf(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot < start) return {};
    std::string ext = name.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

}  // namespace

const Opener kMpegInWaveOpener = openMpegInWave;

std::span<const ContainerEntry> containers() { return kContainers; }

const ContainerEntry* findContainer(long formatType) {
    for (const auto& entry : kContainers)
        if (entry.formatType == formatType) return &entry;
    return nullptr;
}

long typeForName(const std::string& name, bool forCreate) {
    const std::string ext = extensionOf(name);
    if (ext.empty()) return RAW;
    for (const auto& entry : kContainers) {
        const auto& extensions = forCreate ? entry.createExtensions : entry.openExtensions;
        if (std::find(extensions.begin(), extensions.end(), ext) != extensions.end()) return entry.formatType;
    }
    return RAW;
}

bool readsKind(const ContainerEntry& entry, probe::Kind kind) {
    return entry.open && std::find(entry.kinds.begin(), entry.kinds.end(), kind) != entry.kinds.end();
}

LikeSampleType likeSampleKind(const std::string& fileName) {
    const std::string ext = extensionOf(fileName);
    if (ext.empty()) return {0, FILEACCESS};
    for (const long type : {WAV, MP3})
        if (ext == findContainer(type)->createExtensions.front()) return {type, NOERRORS};
    return {0, FORMATFILE};
}

bool anyReadsKind(probe::Kind kind) {
    return std::any_of(std::begin(kContainers), std::end(kContainers),
                       [kind](const ContainerEntry& e) { return readsKind(e, kind); });
}

}  // namespace qoro::audiofile
