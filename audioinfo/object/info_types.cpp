#include "object/info_types.h"

#include <algorithm>

#include "io/file_rewrite.h"
#include "readers/aiff_reader.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "tags/fields.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "tags/mp4_write.h"
#include "tags/wav_info.h"

namespace qoro::audioinfo {

namespace {

using E = std::string_view;
using K = probe::Kind;

constexpr E kWavExt[] = {"wav"};
constexpr E kMpegExt[] = {"mp3", "mp2", "mp1", "mpeg"};
constexpr E kOggExt[] = {"ogg"};
constexpr E kMpcExt[] = {"mpc", "mp+"};
constexpr E kAviExt[] = {"avi"};
constexpr E kFlacExt[] = {"flac"};
constexpr E kOpusExt[] = {"opus"};
constexpr E kAiffExt[] = {"aiff", "aif", "aifc"};
constexpr E kM4aExt[] = {"m4a", "m4b", "mp4"};
constexpr E kWavPackExt[] = {"wv"};
constexpr E kApeExt[] = {"ape"};
constexpr E kTtaExt[] = {"tta"};
constexpr E kDsdExt[] = {"dsf", "dff"};
constexpr E kMatroskaExt[] = {"mka", "mkv", "webm"};
constexpr E kAc3Ext[] = {"ac3", "eac3", "ec3"};
constexpr E kAdtsExt[] = {"aac", "adts"};
constexpr E kOggFlacExt[] = {"oga"};
constexpr E kWmaExt[] = {"wma"};

// Ogg streams whose codec the probe cannot name are left to both Ogg readers.
constexpr K kOggKinds[] = {K::OggVorbis, K::Ogg};
constexpr K kOpusKinds[] = {K::OggOpus, K::Ogg};
constexpr K kFlacKinds[] = {K::Flac};
constexpr K kAviKinds[] = {K::Avi};
constexpr K kAiffKinds[] = {K::Aiff};
constexpr K kMpcKinds[] = {K::Musepack8};  // version 8, through the media plug-in
constexpr K kM4aKinds[] = {K::Mp4};
constexpr K kWavPackKinds[] = {K::WavPack};
constexpr K kApeKinds[] = {K::MonkeysAudio};
constexpr K kTtaKinds[] = {K::Tta};
constexpr K kDsdKinds[] = {K::Dsf, K::Dsdiff};
constexpr K kMatroskaKinds[] = {K::Matroska};
constexpr K kAc3Kinds[] = {K::Ac3};
constexpr K kAdtsKinds[] = {K::Adts};
constexpr K kOggFlacKinds[] = {K::OggFlac};
constexpr K kWmaKinds[] = {K::Asf};

// The types the media plug-in reads: the signature decides (the plug-in
// is asked nothing until a file is read).
template <const auto& Kinds>
int probeKinds(const std::string& path) {
    const K kind = probe::identify(path);
    return std::find(std::begin(Kinds), std::end(Kinds), kind) != std::end(Kinds) ? 1 : 0;
}
template <const MediaRead& How>
bool readMediaType(const ReadRequest& r) {
    return readMedia(r.path, How, r.facts, r.tags, r.extras, r.cause);
}
// An APEv2 tag goes only into a stream of the type.
template <const auto& Kinds>
std::error_code writeApeType(const WriteRequest& w) {
    if (probeKinds<Kinds>(w.path) != 1 || !mediaStream(w.path)) return io::make_error_code(io::Error::Damaged);
    return writeApeTail(w.path, w.tags, w.changes);
}

constexpr MediaRead kM4aRead{"M4A files", "an MP4 audio file", MediaTags::Mp4};
constexpr MediaRead kWavPackRead{"WavPack files", "a WavPack file", MediaTags::Ape};
constexpr MediaRead kApeRead{"Monkey's Audio files", "a Monkey's Audio file", MediaTags::Ape};
constexpr MediaRead kTtaRead{"TTA files", "a TTA file", MediaTags::Ape};
constexpr MediaRead kDsdRead{"DSD files", "a DSD file", MediaTags::Dsf};
constexpr MediaRead kMatroskaRead{"Matroska files", "a Matroska file"};
constexpr MediaRead kAc3Read{"AC-3 files", "an AC-3 file"};
constexpr MediaRead kAdtsRead{"ADTS AAC files", "an ADTS AAC file"};
constexpr MediaRead kOggFlacRead{"Ogg FLAC files", "an Ogg FLAC file"};
constexpr MediaRead kWmaRead{"WMA files", "a WMA file"};

bool readWavType(const ReadRequest& r) { return readWav(r.path, r.facts, r.tags, r.cues, &r.extras); }
bool readMpegType(const ReadRequest& r) {
    return readMpeg(r.path, {.fastAnalysis = r.fastAnalysis, .tagKind = r.tagVersion}, r.facts, r.tags, &r.extras) ==
           MpegRead::Ok;
}
bool readOggType(const ReadRequest& r) { return readOgg(r.path, r.facts, r.tags, &r.extras); }
bool readMpcType(const ReadRequest& r) { return readMpc(r.path, r.facts, r.tags, r.extras, r.cause); }
bool readAviType(const ReadRequest& r) { return readAvi(r.path, r.facts); }
bool readFlacType(const ReadRequest& r) { return readFlac(r.path, r.facts, r.tags, r.extras); }
bool readOpusType(const ReadRequest& r) { return readOpus(r.path, r.facts, r.tags, r.extras); }
bool readAiffType(const ReadRequest& r) { return readAiff(r.path, r.facts, r.tags, r.extras); }

std::error_code writeWavType(const WriteRequest& w) { return tags::writeWavInfo(w.path, w.tags, w.cues, w.changes); }
// An ID3v2 write updates an ID3v1 tag the file ends with, so both hold the
// same; a file without one gets none. What the record leaves empty (a
// record read from a file with no ID3v2 tag yet) the ID3v1 tag keeps.
std::error_code writeMpegType(const WriteRequest& w) {
    if (w.tagVersion != 2) return tags::writeId3v1(w.path, w.tags);
    if (auto ec = tags::writeId3v2(w.path, w.tags, w.changes)) return ec;
    const auto v1 = tags::readId3v1(w.path);
    if (!v1) return {};
    tags::TagRecord old, now = w.tags;
    v1->applyTo(old);
    for (std::string tags::TagRecord::*text : {&tags::TagRecord::title, &tags::TagRecord::artist,
                                                &tags::TagRecord::album, &tags::TagRecord::comments})
        if ((now.*text).empty()) now.*text = old.*text;
    if (now.year == 0) now.year = old.year;
    if (now.track == 0) now.track = old.track;
    if (!tags::hasGenre(now)) {
        now.genre = old.genre;
        now.genreText = old.genreText;
    }
    return tags::writeId3v1(w.path, now);
}
std::error_code writeOggType(const WriteRequest& w) { return writeOggComments(w.path, w.tags, w.changes); }
std::error_code writeMpcType(const WriteRequest& w) { return writeMpcTag(w.path, w.tags, w.changes); }
std::error_code writeFlacType(const WriteRequest& w) { return writeFlacTags(w.path, w.tags, w.changes); }
std::error_code writeOpusType(const WriteRequest& w) { return writeOpusTags(w.path, w.tags, w.changes); }
std::error_code writeAiffType(const WriteRequest& w) { return writeAiffTags(w.path, w.tags, w.changes); }
// The items go only into an MP4 file whose tag could be read whole.
std::error_code writeM4aType(const WriteRequest& w) {
    if (probeKinds<kM4aKinds>(w.path) != 1) return io::make_error_code(io::Error::Damaged);
    return tags::mp4::writeTag(w.path, w.tags, w.changes);
}

// clang-format off
constexpr InfoTypeEntry kTypes[] = {
    {FileType::Wav, "wav", "WAV", "a WAV file", kWavExt, {}, probeWav, readWavType, false,
     "a WAV file whose sound format is not supported or whose chunks are damaged", writeWavType, TagScheme::RiffInfo,
     true},
    {FileType::Mpeg, "mpeg", "MPEG audio", "an MPEG audio file", kMpegExt, {}, probeMpeg, readMpegType, true, {},
     writeMpegType, TagScheme::Id3, true},
    {FileType::OggVorbis, "ogg", "Ogg Vorbis", "an Ogg Vorbis file", kOggExt, kOggKinds, probeOgg, readOggType, false,
     {}, writeOggType, TagScheme::Vorbis, true},
    {FileType::MpegPlus, "mpc", "MPEG Plus", "an MPEG Plus file", kMpcExt, kMpcKinds, probeMpc, readMpcType, false, {},
     writeMpcType, TagScheme::Ape, true},
    {FileType::Flac, "flac", "FLAC", "a FLAC file", kFlacExt, kFlacKinds, probeFlac, readFlacType, false, {},
     writeFlacType, TagScheme::Vorbis, true},
    {FileType::Opus, "opus", "Ogg Opus", "an Ogg Opus file", kOpusExt, kOpusKinds, probeOpus, readOpusType, false, {},
     writeOpusType, TagScheme::Vorbis, true},
    {FileType::Aiff, "aiff", "AIFF", "an AIFF file", kAiffExt, kAiffKinds, probeAiff, readAiffType, false, {},
     writeAiffType, TagScheme::Id3v2, true},
    {FileType::M4a, "m4a", "M4A", "an MP4 audio file", kM4aExt, kM4aKinds, probeKinds<kM4aKinds>,
     readMediaType<kM4aRead>, false, {}, writeM4aType, TagScheme::Mp4, true},
    {FileType::WavPack, "wv", "WavPack", "a WavPack file", kWavPackExt, kWavPackKinds, probeKinds<kWavPackKinds>,
     readMediaType<kWavPackRead>, false, {}, writeApeType<kWavPackKinds>, TagScheme::Ape, true},
    {FileType::MonkeysAudio, "ape", "Monkey's Audio", "a Monkey's Audio file", kApeExt, kApeKinds,
     probeKinds<kApeKinds>, readMediaType<kApeRead>, false, {}, writeApeType<kApeKinds>, TagScheme::Ape, true},
    {FileType::Tta, "tta", "TTA", "a TTA file", kTtaExt, kTtaKinds, probeKinds<kTtaKinds>, readMediaType<kTtaRead>,
     false, {}, writeApeType<kTtaKinds>, TagScheme::Ape, true},
    {FileType::Dsd, "dsd", "DSD", "a DSD file", kDsdExt, kDsdKinds, probeKinds<kDsdKinds>, readMediaType<kDsdRead>,
     false, {}, nullptr, TagScheme::Id3v2, true},
    {FileType::Matroska, "mka", "Matroska audio", "a Matroska file", kMatroskaExt, kMatroskaKinds,
     probeKinds<kMatroskaKinds>, readMediaType<kMatroskaRead>, false, {}, nullptr, TagScheme::Container, true},
    {FileType::Ac3, "ac3", "AC-3", "an AC-3 file", kAc3Ext, kAc3Kinds, probeKinds<kAc3Kinds>, readMediaType<kAc3Read>,
     false, {}, nullptr, TagScheme::Container, true},
    {FileType::Adts, "aac", "ADTS AAC", "an ADTS AAC file", kAdtsExt, kAdtsKinds, probeKinds<kAdtsKinds>,
     readMediaType<kAdtsRead>, false, {}, nullptr, TagScheme::Container, true},
    {FileType::OggFlac, "oga", "Ogg FLAC", "an Ogg FLAC file", kOggFlacExt, kOggFlacKinds, probeKinds<kOggFlacKinds>,
     readMediaType<kOggFlacRead>, false, {}, nullptr, TagScheme::Container, true},
    {FileType::Wma, "wma", "WMA", "a WMA file", kWmaExt, kWmaKinds, probeKinds<kWmaKinds>, readMediaType<kWmaRead>,
     false, {}, nullptr, TagScheme::Container, true},
    {FileType::Avi, "avi", "AVI", "an AVI file", kAviExt, kAviKinds, probeAvi, readAviType, true, {}, nullptr,
     TagScheme::None, false},
};
// clang-format on

}  // namespace

std::span<const InfoTypeEntry> infoTypes() { return kTypes; }

const InfoTypeEntry* infoTypeEntry(FileType type) {
    for (const InfoTypeEntry& entry : kTypes)
        if (entry.type == type) return &entry;
    return nullptr;
}

FileType typeOfName(std::string_view path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == path.size()) return FileType::Unknown;
    std::string ext(path.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const InfoTypeEntry& entry : kTypes)
        if (std::find(entry.extensions.begin(), entry.extensions.end(), ext) != entry.extensions.end())
            return entry.type;
    return FileType::Unknown;
}

bool readsKind(const InfoTypeEntry& entry, probe::Kind kind) {
    return std::find(entry.kinds.begin(), entry.kinds.end(), kind) != entry.kinds.end();
}

bool anyReadsKind(probe::Kind kind) {
    return std::any_of(std::begin(kTypes), std::end(kTypes),
                       [kind](const InfoTypeEntry& e) { return readsKind(e, kind); });
}

std::string_view schemeName(TagScheme scheme) {
    switch (scheme) {
    case TagScheme::None: return "";
    case TagScheme::RiffInfo: return "RIFF INFO";
    case TagScheme::Id3: return "ID3v1 or ID3v2";
    case TagScheme::Id3v1: return "ID3v1";
    case TagScheme::Vorbis: return "Vorbis comments";
    case TagScheme::Id3v2: return "ID3v2";
    case TagScheme::Ape: return "APEv2";
    case TagScheme::Mp4: return "MP4 items";
    case TagScheme::Container: return "container metadata";
    }
    return "";
}

}  // namespace qoro::audioinfo
