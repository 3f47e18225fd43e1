#include "probe/signature.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "tags/id3v2.h"

namespace qoro::probe {

// --- byte sources ------------------------------------------------------------------

size_t MemorySource::readAt(uint64_t offset, uint8_t* out, size_t n) const {
    if (offset >= bytes_.size()) return 0;
    const size_t k = std::min<uint64_t>(n, bytes_.size() - offset);
    std::memcpy(out, bytes_.data() + offset, k);
    return k;
}

FileSource::FileSource(const std::string& path) : file_(path, io::Reader::Accept::RegularFiles) {}

size_t FileSource::readAt(uint64_t offset, uint8_t* out, size_t n) const {
    return offset < file_.size() ? file_.readAt(offset, out, n) : 0;
}

namespace {

// --- signature tests -------------------------------------------------------------------

template <size_t N>
bool has(const Window& w, size_t at, const char (&magic)[N]) {
    constexpr size_t n = N - 1;  // without the terminating NUL
    return w.bytes.size() >= at + n && std::memcmp(w.bytes.data() + at, magic, n) == 0;
}

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// A box of at least its own 8-byte header, or 1 (a 64-bit size follows) or
// 0 (to the end of the file).
bool isMp4(const Window& w) {
    if (!has(w, 4, "ftyp")) return false;
    const uint32_t size = be32(w.bytes.data());
    return size == 0 || size == 1 || size >= 8;
}

bool isAiff(const Window& w) { return has(w, 0, "FORM") && (has(w, 8, "AIFF") || has(w, 8, "AIFC")); }

// The first packet of the first page of an Ogg stream begins with 'magic'.
template <size_t N>
bool oggFirstPacket(const Window& w, const char (&magic)[N]) {
    constexpr size_t kPageHeader = 27;
    if (!has(w, 0, "OggS") || w.bytes.size() < kPageHeader || w.bytes[4] != 0) return false;
    const size_t packet = kPageHeader + w.bytes[26];  // after the segment table
    return has(w, packet, magic);
}

bool isOggVorbis(const Window& w) { return oggFirstPacket(w, "\x01vorbis"); }
bool isOggOpus(const Window& w) { return oggFirstPacket(w, "OpusHead"); }
bool isOggFlac(const Window& w) { return oggFirstPacket(w, "\177FLAC"); }
bool isOggSpeex(const Window& w) { return oggFirstPacket(w, "Speex   "); }

// A RIFF form other than a WAVE ("AVI " has a row of its own before this
// one). MPEG audio in a RIFF form ("RMP3") is left to the MPEG readers, which
// find its frames behind the header.
bool isRiffOther(const Window& w) {
    return has(w, 0, "RIFF") && w.bytes.size() >= 12 && !has(w, 8, "WAVE") && !has(w, 8, "RMP3");
}

// The stream continues at 'next': a sync there whose header 'frameBytes'
// accepts, or the end of the file exactly (a stream of one frame).
template <class FrameBytes>
bool continuesAt(const Window& w, uint64_t next, FrameBytes frameBytes) {
    const uint64_t size = w.source.size();
    if (next == size) return true;
    if (next > size) return false;
    uint8_t h[8] = {};
    const size_t got = w.source.readAt(next, h, sizeof h);
    return frameBytes(std::span<const uint8_t>(h, got)).has_value();
}

// Bitrates (kbit/s) of the AC-3 frame size codes, two codes per rate.
constexpr uint16_t kAc3Kbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                   192, 224, 256, 320, 384, 448, 512, 576, 640};

// The length of the AC-3 or E-AC-3 sync frame whose header begins 'h'.
std::optional<uint32_t> ac3FrameBytes(std::span<const uint8_t> h) {
    if (h.size() < 6 || h[0] != 0x0B || h[1] != 0x77) return std::nullopt;
    const unsigned bsid = h[5] >> 3;
    const unsigned fscod = h[4] >> 6;
    if (bsid <= 10) {  // AC-3 (9 and 10: the half- and quarter-rate forms)
        const unsigned code = h[4] & 0x3F;
        if (fscod == 3 || code >= 38) return std::nullopt;
        const uint32_t kbps = kAc3Kbps[code / 2];
        // 1536 samples a frame, counted in 16-bit words: 2 x kbps at 48 kHz,
        // 3 x kbps at 32 kHz; at 44.1 kHz rounded down, and one word more
        // for the odd codes.
        uint32_t words = 0;
        switch (fscod) {
        case 0: words = 2 * kbps; break;
        case 1: words = kbps * 96000 / 44100 + (code & 1); break;
        default: words = 3 * kbps; break;
        }
        return 2 * words;
    }
    if (bsid <= 16) {  // E-AC-3: the frame states its size in words, less one
        const unsigned streamType = h[2] >> 6;
        const unsigned fscod2 = (h[4] >> 4) & 3;
        if (streamType == 3 || (fscod == 3 && fscod2 == 3)) return std::nullopt;
        const uint32_t words = ((uint32_t{h[2]} & 7) << 8 | h[3]) + 1;
        if (words < 3) return std::nullopt;  // no room for the header itself
        return 2 * words;
    }
    return std::nullopt;
}

bool isAc3(const Window& w) {
    const auto bytes = ac3FrameBytes(w.bytes);
    return bytes && continuesAt(w, w.offset + *bytes, ac3FrameBytes);
}

// The length of the ADTS frame whose header begins 'h' (FF F0, F1, F8, F9:
// MPEG-4 or MPEG-2 AAC, with or without CRC).
std::optional<uint32_t> adtsFrameBytes(std::span<const uint8_t> h) {
    if (h.size() < 6 || h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return std::nullopt;
    const unsigned rateIndex = (h[2] >> 2) & 0x0F;
    if (rateIndex >= 13) return std::nullopt;
    const uint32_t length = (uint32_t{h[3]} & 3) << 11 | uint32_t{h[4]} << 3 | h[5] >> 5;
    const uint32_t header = (h[1] & 1) ? 7 : 9;  // protection_absent: no CRC
    if (length < header) return std::nullopt;
    return length;
}

bool isAdts(const Window& w) {
    const auto bytes = adtsFrameBytes(w.bytes);
    if (!bytes) return false;
    // The next frame keeps the MPEG version and the sampling rate.
    return continuesAt(w, w.offset + *bytes, [&w](std::span<const uint8_t> h) -> std::optional<uint32_t> {
        const auto next = adtsFrameBytes(h);
        if (!next || ((h[1] ^ w.bytes[1]) & 0x08) != 0 || ((h[2] ^ w.bytes[2]) & 0x3C) != 0) return std::nullopt;
        return next;
    });
}

// Start of image, then a marker (or a fill byte before one).
bool isJpeg(const Window& w) { return has(w, 0, "\xFF\xD8\xFF") && (w.bytes.size() < 4 || w.bytes[3] >= 0xC0); }

bool isAsf(const Window& w) { return has(w, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"); }

// --- the table ---------------------------------------------------------------------------

using E = std::string_view;
constexpr E kMp4Ext[] = {"m4a", "mp4", "m4b", "m4p", "m4r", "m4v", "mov", "3gp", "3g2"};
constexpr E kAiffExt[] = {"aiff", "aif", "aifc"};
constexpr E kApeExt[] = {"ape"};
constexpr E kWavPackExt[] = {"wv"};
constexpr E kFlacExt[] = {"flac"};
constexpr E kVorbisExt[] = {"ogg"};
constexpr E kOpusExt[] = {"opus"};
constexpr E kOggFlacExt[] = {"oga"};
constexpr E kSpeexExt[] = {"spx"};
constexpr E kOggExt[] = {"ogv", "ogx", "ogm"};
constexpr E kMpcExt[] = {"mpc"};
constexpr E kTtaExt[] = {"tta"};
constexpr E kDsfExt[] = {"dsf"};
constexpr E kDffExt[] = {"dff"};
constexpr E kAuExt[] = {"au", "snd"};
constexpr E kAsfExt[] = {"wma", "asf", "wmv"};
constexpr E kAviExt[] = {"avi"};
constexpr E kAc3Ext[] = {"ac3", "eac3", "ec3"};
constexpr E kAdtsExt[] = {"aac", "adts"};
constexpr E kMatroskaExt[] = {"mka", "mkv", "webm"};
constexpr E kJpegExt[] = {"jpg", "jpeg", "jpe"};
constexpr E kPngExt[] = {"png"};
constexpr E kGifExt[] = {"gif"};
constexpr E kPdfExt[] = {"pdf"};
constexpr E kZipExt[] = {"zip"};

constexpr KindInfo kKinds[] = {
    {Kind::Mp4, "an MP4/AAC file", true, kMp4Ext, isMp4},
    {Kind::Aiff, "an AIFF file", true, kAiffExt, isAiff},
    {Kind::MonkeysAudio, "a Monkey's Audio file", true, kApeExt, [](const Window& w) { return has(w, 0, "MAC "); }},
    {Kind::WavPack, "a WavPack file", true, kWavPackExt, [](const Window& w) { return has(w, 0, "wvpk"); }},
    {Kind::Flac, "a FLAC file", true, kFlacExt, [](const Window& w) { return has(w, 0, "fLaC"); }},
    {Kind::OggVorbis, "an Ogg Vorbis file", true, kVorbisExt, isOggVorbis},
    {Kind::OggOpus, "an Ogg Opus file", true, kOpusExt, isOggOpus},
    {Kind::OggFlac, "an Ogg FLAC file", true, kOggFlacExt, isOggFlac},
    {Kind::OggSpeex, "an Ogg Speex file", true, kSpeexExt, isOggSpeex},
    {Kind::Ogg, "an Ogg file", true, kOggExt, [](const Window& w) { return has(w, 0, "OggS"); }},
    {Kind::Musepack8, "a Musepack SV8 file", true, kMpcExt, [](const Window& w) { return has(w, 0, "MPCK"); }},
    {Kind::Tta, "a TTA file", true, kTtaExt, [](const Window& w) { return has(w, 0, "TTA1"); }},
    {Kind::Dsf, "a DSF file", true, kDsfExt, [](const Window& w) { return has(w, 0, "DSD "); }},
    {Kind::Dsdiff, "a DSDIFF file", true, kDffExt, [](const Window& w) { return has(w, 0, "FRM8"); }},
    {Kind::SunAu, "a Sun/NeXT audio file", true, kAuExt, [](const Window& w) { return has(w, 0, ".snd"); }},
    {Kind::Asf, "a WMA/ASF file", true, kAsfExt, isAsf},
    {Kind::Avi, "an AVI file", true, kAviExt, [](const Window& w) { return has(w, 0, "RIFF") && has(w, 8, "AVI "); }},
    {Kind::RiffOther, "a RIFF file of another kind", true, {}, isRiffOther},
    {Kind::Ac3, "an AC-3 file", true, kAc3Ext, isAc3},
    {Kind::Adts, "an ADTS AAC file", true, kAdtsExt, isAdts},
    {Kind::Matroska, "a Matroska file", true, kMatroskaExt, [](const Window& w) { return has(w, 0, "\x1A\x45\xDF\xA3"); }},
    {Kind::Jpeg, "a JPEG image", false, kJpegExt, isJpeg},
    {Kind::Png, "a PNG image", false, kPngExt, [](const Window& w) { return has(w, 0, "\x89PNG\r\n\x1A\n"); }},
    {Kind::Gif, "a GIF image", false, kGifExt,
     [](const Window& w) { return has(w, 0, "GIF87a") || has(w, 0, "GIF89a"); }},
    {Kind::Pdf, "a PDF document", false, kPdfExt, [](const Window& w) { return has(w, 0, "%PDF-"); }},
    {Kind::Zip, "a ZIP archive", false, kZipExt, [](const Window& w) { return has(w, 0, "PK\x03\x04"); }},
};

constexpr bool rowsFollowTheKinds() {
    for (size_t i = 0; i < std::size(kKinds); ++i)
        if (static_cast<size_t>(kKinds[i].kind) != i + 1) return false;
    return true;
}
static_assert(rowsFollowTheKinds(), "one row per kind, in the order of Kind");

}  // namespace

std::span<const KindInfo> kinds() { return kKinds; }

const KindInfo* info(Kind kind) {
    const size_t i = static_cast<size_t>(kind);
    return i >= 1 && i <= std::size(kKinds) ? &kKinds[i - 1] : nullptr;
}

Kind identify(const ByteSource& source) {
    const uint64_t size = source.size();
    const uint64_t start = tags::id3v2LeadingSize(
        [&source](uint64_t at, uint8_t* out, size_t n) { return source.readAt(at, out, n); }, size);
    uint8_t head[kMaxRead];
    const size_t got = source.readAt(start, head, sizeof head);
    const Window window{std::span<const uint8_t>(head, got), source, start};
    for (const KindInfo& row : kKinds)
        if (row.matches(window)) return row.kind;
    return Kind::None;
}

Kind identify(std::span<const uint8_t> bytes) { return identify(MemorySource(bytes)); }

Kind identify(const std::string& path) { return identify(FileSource(path)); }

std::string refusal(Kind kind, std::string_view readAs) {
    const KindInfo* row = info(kind);
    if (!row) return {};
    std::string words(row->name);
    if (!row->audio)
        words += ", not an audio file";
    else if (!readAs.empty())
        words.append(", not ").append(readAs);
    else
        words += ": this format is not supported";
    return words;
}

}  // namespace qoro::probe
