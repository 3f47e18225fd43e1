// What the MP3 tests look at in a written file: its frames walked header by
// header, the Xing/Info tag, and the reference tools' view of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace mp3check {

namespace t = qoro::test;

struct Frame {
    size_t offset = 0;
    size_t length = 0;
    int kbps = 0;
    int rate = 0;
    int channels = 0;
    bool mpeg1 = false;
};

// Decodes one Layer III header at p (4 bytes); false when it is none.
inline bool parseHeader(const uint8_t* p, Frame& f) {
    static const int kMpeg1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1};
    static const int kMpeg2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1};
    static const int kRates[] = {44100, 48000, 32000, -1};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int version = (p[1] >> 3) & 3;
    if (version == 1 || ((p[1] >> 1) & 3) != 1) return false;
    const int bi = p[2] >> 4;
    const int ri = (p[2] >> 2) & 3;
    if (bi == 0 || bi == 15 || ri == 3) return false;
    f.mpeg1 = version == 3;
    f.kbps = f.mpeg1 ? kMpeg1[bi] : kMpeg2[bi];
    f.rate = kRates[ri] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    f.channels = (p[3] >> 6) == 3 ? 1 : 2;
    const int pad = (p[2] >> 1) & 1;
    f.length = static_cast<size_t>((f.mpeg1 ? 144000 : 72000) * f.kbps / f.rate + pad);
    return true;
}

// Walks the frames from `start`; stops at the first byte that is no header.
inline std::vector<Frame> frames(const std::vector<uint8_t>& b, size_t start = 0) {
    std::vector<Frame> out;
    size_t pos = start;
    Frame f;
    while (pos + 4 <= b.size() && parseHeader(b.data() + pos, f)) {
        f.offset = pos;
        out.push_back(f);
        pos += f.length;
    }
    return out;
}

struct Tag {
    bool present = false;
    std::string id;           // "Xing" or "Info"
    uint32_t frameCount = 0;  // when the tag carries it
    bool hasFrameCount = false;
};

// The Xing/Info tag in the first frame, after the side information.
inline Tag tagOf(const std::vector<uint8_t>& b, const Frame& first) {
    Tag tag;
    const size_t side = first.mpeg1 ? (first.channels == 1 ? 17 : 32) : (first.channels == 1 ? 9 : 17);
    const size_t at = first.offset + 4 + side;
    if (at + 12 > b.size()) return tag;
    const std::string id(reinterpret_cast<const char*>(b.data() + at), 4);
    if (id != "Xing" && id != "Info") return tag;
    tag.present = true;
    tag.id = id;
    const uint32_t flags = (uint32_t{b[at + 4]} << 24) | (uint32_t{b[at + 5]} << 16) | (b[at + 6] << 8) | b[at + 7];
    if (flags & 1) {
        tag.hasFrameCount = true;
        tag.frameCount = (uint32_t{b[at + 8]} << 24) | (uint32_t{b[at + 9]} << 16) | (b[at + 10] << 8) | b[at + 11];
    }
    return tag;
}

struct Probe {
    std::string rate, channels, bitrate;
};

// ffprobe's view of the first audio stream, in one call.
inline Probe probe(const t::fs::path& file) {
    auto r = t::run(
        "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,bit_rate"
        " -of default=nw=1 " +
        t::shellQuote(file.string()));
    Probe p;
    size_t pos = 0;
    while (pos < r.output.size()) {
        size_t end = r.output.find('\n', pos);
        if (end == std::string::npos) end = r.output.size();
        const std::string line = r.output.substr(pos, end - pos);
        pos = end + 1;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "sample_rate") p.rate = value;
        if (key == "channels") p.channels = value;
        if (key == "bit_rate") p.bitrate = value;
    }
    return p;
}

// SNR of `decoded` against `original` at the sample offset (within
// `maxOffset`, in steps of `channels`) where a window of them agrees best.
inline double alignedSnr(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded, int channels,
                         long maxOffset) {
    const size_t start = std::min<size_t>(original.size() / 4, 20000), window = 8192;
    if (original.size() < start + window) return t::snrDb(original, decoded);
    const std::vector<int16_t> part(original.begin() + long(start), original.begin() + long(start + window));
    long best = 0;
    double bestSnr = -1e9;
    for (long off = 0; off <= maxOffset; off += channels) {
        if (decoded.size() < start + window + size_t(off)) break;
        const std::vector<int16_t> other(decoded.begin() + long(start) + off,
                                         decoded.begin() + long(start + window) + off);
        const double snr = t::snrDb(part, other);
        if (snr > bestSnr) bestSnr = snr, best = off;
    }
    return t::snrDb(original, decoded, best);
}

// The file decoded by ffmpeg to interleaved 16-bit samples (gapless when a LAME tag says so).
inline std::vector<int16_t> decodeFfmpeg(const t::fs::path& file, const t::fs::path& scratch) {
    auto r = t::run("ffmpeg -v error -y -i " + t::shellQuote(file.string()) + " -f s16le -acodec pcm_s16le " +
                    t::shellQuote(scratch.string()));
    if (r.exitCode != 0) return {};
    return t::readPcm16(scratch);
}

inline std::vector<int16_t> decodeMpg123(const t::fs::path& file, const t::fs::path& scratch) {
    auto r = t::run("mpg123 -q -s " + t::shellQuote(file.string()) + " > " + t::shellQuote(scratch.string()));
    if (r.exitCode != 0) return {};
    return t::readPcm16(scratch);
}

}  // namespace mp3check
