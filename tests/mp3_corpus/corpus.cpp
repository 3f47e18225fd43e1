#include "corpus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "mpeg/mpeg_header.h"
#include "test_support.h"

namespace qoro::test::corpus {
namespace {

// Bumped whenever what the corpus holds changes.
constexpr const char* kVersion = "mp3-corpus 4";
constexpr double kSeconds = 1.5;

struct Maker {
    const char* name;
    const char* command;  // {in} source WAV, {out} the file
    int rate, channels;
    bool layer3;
};

// Files as the encoders make them.
const Maker kMakers[] = {
    {"lame_cbr128.mp3", "lame --quiet -b 128 -m j {in} {out}", 44100, 2, true},
    {"lame_vbr_v2.mp3", "lame --quiet -V 2 {in} {out}", 44100, 2, true},
    {"lame_abr96.mp3", "lame --quiet --abr 96 {in} {out}", 44100, 2, true},
    {"lame_mpeg2_22k.mp3", "lame --quiet -b 64 {in} {out}", 22050, 2, true},
    {"lame_mpeg2_vbr_24k.mp3", "lame --quiet -V 5 {in} {out}", 24000, 2, true},
    {"lame_mpeg25_8k_mono.mp3", "lame --quiet -b 16 -m m {in} {out}", 8000, 1, true},
    {"lame_mono_48k.mp3", "lame --quiet -b 96 -m m {in} {out}", 48000, 1, true},
    {"lame_40kbps.mp3", "lame --quiet -b 40 {in} {out}", 32000, 2, true},
    {"lame_notag.mp3", "lame --quiet -t -b 160 {in} {out}", 44100, 2, true},
    {"lame_crc.mp3", "lame --quiet -p -b 128 {in} {out}", 44100, 2, true},
    {"lame_free400.mp3", "lame --quiet --freeformat -b 400 {in} {out}", 44100, 2, true},
    {"ffmpeg_cbr192.mp3", "ffmpeg -nostdin -v error -y -i {in} -c:a libmp3lame -b:a 192k -f mp3 {out}", 44100, 2, true},
    {"ffmpeg_vbr_q4.mp3", "ffmpeg -nostdin -v error -y -i {in} -c:a libmp3lame -q:a 4 -f mp3 {out}", 44100, 2, true},
    {"ffmpeg_noxing.mp3", "ffmpeg -nostdin -v error -y -i {in} -c:a libmp3lame -b:a 128k -write_xing 0 -f mp3 {out}",
     44100, 2, true},
    {"ffmpeg_layer2_48k.mp2", "ffmpeg -nostdin -v error -y -i {in} -c:a mp2 -b:a 192k -f mp2 {out}", 48000, 2, false},
    {"ffmpeg_layer2_22k.mp2", "ffmpeg -nostdin -v error -y -i {in} -c:a mp2 -b:a 64k -f mp2 {out}", 22050, 2, false},
    // Only the oracle of a writer's file below.
    {"base_l3_320_48k.mp3", "lame --quiet -t -b 320 {in} {out}", 48000, 2, true},
};

// What mutagen writes into a copy of an encoder's file: an ID3v2.4 tag with
// a cover and frames nobody manages, an ID3v1 tag, and an APEv2 tag.
const char* kTagScript = R"(
import sys
from mutagen.id3 import ID3, APIC, TIT2, TPE1, TXXX, COMM
from mutagen.apev2 import APEv2
path = sys.argv[1]
tag = ID3()
tag.add(TIT2(encoding=3, text='Corpus'))
tag.add(TPE1(encoding=3, text='Band'))
tag.add(TXXX(encoding=3, desc='mood', text='calm'))
tag.add(COMM(encoding=3, lang='eng', desc='', text='made for the tests'))
tag.add(APIC(encoding=3, mime='image/png', type=3, desc='Cover', data=bytes(range(256)) * 160))
tag.save(path, v2_version=4, v1=2)
ape = APEv2()
ape['Title'] = 'Corpus'
ape['Artist'] = 'Band'
ape.save(path)
)";

// An APEv2 tag as mutagen writes it; with a second argument, a binary item
// holding bytes that look like MPEG frames (of that file).
const char* kApeScript = R"(
import sys
from mutagen.apev2 import APEv2, APEValue, BINARY
ape = APEv2()
ape['Title'] = 'Tails'
if len(sys.argv) > 2:
    frames = open(sys.argv[2], 'rb').read()
    ape['Cover Art (Front)'] = APEValue(b'cover.jpg\0' + frames[len(frames) // 3:len(frames) // 3 + 6000], BINARY)
ape.save(sys.argv[1])
)";

// A Lyrics3v2 block: fields of a three-letter id and a 5-digit size, the
// 6-digit size of everything from "LYRICSBEGIN" on, "LYRICS200".
std::vector<uint8_t> lyrics3v2() {
    std::string lyrics;
    for (int line = 0; line < 12; ++line) lyrics += "[00:0" + std::to_string(line % 10) + "]la la la la la\r\n";
    char size[8];
    std::snprintf(size, sizeof size, "%05zu", lyrics.size());
    const std::string body = "LYRICSBEGIN" "IND00003110" "LYR" + std::string(size) + lyrics + "ETT00005Tails";
    std::snprintf(size, sizeof size, "%06zu", body.size());
    const std::string block = body + size + "LYRICS200";
    return std::vector<uint8_t>(block.begin(), block.end());
}

std::vector<uint8_t> id3v1Tag() {
    std::vector<uint8_t> t(128, 0);
    std::memcpy(t.data(), "TAGTails", 8);
    t[127] = 12;
    return t;
}

std::string replaced(std::string command, const fs::path& in, const fs::path& out) {
    command.replace(command.find("{in}"), 4, shellQuote(in.string()));
    command.replace(command.find("{out}"), 5, shellQuote(out.string()));
    return command;
}

// The frames of an MPEG file as (offset, length), after a leading ID3v2 tag,
// read header to header (no junk, fixed bitrates): a walker of the test's
// own for the writer.
struct Frames {
    size_t start = 0;
    std::vector<std::pair<size_t, size_t>> list;
};
Frames framesOf(const std::vector<uint8_t>& b) {
    Frames f;
    if (b.size() >= 10 && std::memcmp(b.data(), "ID3", 3) == 0)
        f.start = 10 + (size_t(b[6]) << 21 | size_t(b[7]) << 14 | size_t(b[8]) << 7 | b[9]);
    size_t p = f.start;
    while (p + 4 <= b.size()) {
        const uint32_t w = mpeg::readMpegWord(&b[p]);
        const mpeg::MpegFrameHeader h = mpeg::unpackMpegHeader(w);
        if (!mpeg::hasMpegSync(w) || !mpeg::isValidMpegHeader(h)) break;
        const size_t len = size_t(mpeg::mpegFrameLength(h));
        if (p + len > b.size()) break;
        f.list.emplace_back(p, len);
        p += len;
    }
    return f;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& b, size_t from, size_t to) {
    return std::vector<uint8_t>(b.begin() + long(from), b.begin() + long(to));
}

uint16_t tagCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// The audio frames of a file whose first frame is its information frame.
std::vector<uint8_t> withoutInfoFrame(const std::vector<uint8_t>& b) {
    const Frames f = framesOf(b);
    return slice(b, f.list.at(1).first, f.list.back().first + f.list.back().second);
}

bool makeWriterFiles(const fs::path& dir) {
    // "VBRI": a Fraunhofer header in front of lame's untagged frames.
    {
        const auto base = readBytes(dir / "lame_notag.mp3");
        const Frames f = framesOf(base);
        std::vector<uint8_t> vbri(f.list[0].second, 0);
        std::copy(base.begin(), base.begin() + 4, vbri.begin());
        vbri[2] &= 0xFD;  // no padding
        vbri.resize(size_t(mpeg::mpegFrameLength(mpeg::unpackMpegHeader(mpeg::readMpegWord(vbri.data())))), 0);
        std::memcpy(&vbri[36], "VBRI", 4);
        vbri[41] = 1;
        const uint32_t frames = uint32_t(f.list.size());
        const uint32_t bytes = uint32_t(base.size() + vbri.size());
        for (int i = 0; i < 4; ++i) {
            vbri[46 + size_t(i)] = uint8_t(bytes >> (24 - 8 * i));
            vbri[50 + size_t(i)] = uint8_t(frames >> (24 - 8 * i));
        }
        vbri.insert(vbri.end(), base.begin(), base.end());
        writeBytes(dir / "writer_vbri.mp3", vbri);
    }
    // LAME tags whose CRC does not match (a byte of lame's damaged; the
    // CRC of ffmpeg's spoilt, as ffmpeg 6 stores it), and one whose CRC
    // matches a frame count that lies (three times the frames).
    {
        auto b = readBytes(dir / "lame_cbr128.mp3");
        b[36 + 120 + 10] ^= 0x5A;  // the lowpass byte
        writeBytes(dir / "writer_damaged_lame.mp3", b);
        b = readBytes(dir / "ffmpeg_vbr_q4.mp3");
        b.at(framesOf(b).start + 36 + 120 + 35) ^= 0xA5;
        writeBytes(dir / "writer_ffmpeg_crc.mp3", b);
    }
    {
        auto b = readBytes(dir / "lame_vbr_v2.mp3");
        writeBytes(dir / "base_vbr_v2_frames.mp3", withoutInfoFrame(b));
        const uint32_t frames = mpeg::readMpegWord(&b[36 + 8]) * 3;
        for (int i = 0; i < 4; ++i) b[44 + size_t(i)] = uint8_t(frames >> (24 - 8 * i));
        const uint16_t crc = tagCrc(b.data(), 36 + 120 + 34);
        b[36 + 120 + 34] = uint8_t(crc >> 8);
        b[36 + 120 + 35] = uint8_t(crc);
        writeBytes(dir / "writer_lying_xing.mp3", b);
    }
    // A trusted LAME tag whose padding is shorter than the decoder delay:
    // the music ends with the stream.
    {
        auto b = readBytes(dir / "lame_cbr128.mp3");
        const size_t tag = 36 + 120;
        const uint32_t delay = uint32_t(b[tag + 21]) << 4 | b[tag + 22] >> 4;
        const uint32_t both = delay << 12 | 100;
        b[tag + 21] = uint8_t(both >> 16);
        b[tag + 22] = uint8_t(both >> 8);
        b[tag + 23] = uint8_t(both);
        const uint16_t crc = tagCrc(b.data(), tag + 34);
        b[tag + 34] = uint8_t(crc >> 8);
        b[tag + 35] = uint8_t(crc);
        writeBytes(dir / "writer_short_padding.mp3", b);
    }
    // Free format: constant-length frames of a fixed-bitrate stream with the
    // bitrate index cleared (48 kHz: no padding, every frame alike).
    for (const auto& [from, to] :
         {std::pair<const char*, const char*>{"ffmpeg_layer2_48k.mp2", "writer_free_layer2.mp2"},
          {"base_l3_320_48k.mp3", "writer_free_layer3.mp3"}}) {
        auto b = readBytes(dir / from);
        const Frames f = framesOf(b);
        if (f.list.size() < 10) return false;
        for (const auto& [at, len] : f.list) b[at + 2] &= 0x0F;
        writeBytes(dir / to, b);
    }
    // Junk: sync-like bytes before the stream, and bytes between frames.
    {
        const auto base = readBytes(dir / "lame_notag.mp3");
        const Frames f = framesOf(base);
        std::mt19937 rng(7);
        auto junk = [&](size_t n) {
            std::vector<uint8_t> j(n);
            for (auto& v : j) v = uint8_t(rng() % 0xFE);
            return j;
        };
        std::vector<uint8_t> out = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
        out.resize(30, 0);
        auto lead = junk(700);
        const uint8_t falseHeader[] = {0xFF, 0xFB, 0x90, 0x64};  // 417 bytes claimed, never confirmed
        std::memcpy(&lead[100], falseHeader, 4);
        std::memcpy(&lead[640], falseHeader, 4);
        out.insert(out.end(), lead.begin(), lead.end());
        for (size_t i = 0; i < f.list.size(); ++i) {
            const auto [at, len] = f.list[i];
            out.insert(out.end(), base.begin() + long(at), base.begin() + long(at + len));
            if (i % 7 == 6) {
                const auto between = junk(37);
                out.insert(out.end(), between.begin(), between.end());
            }
        }
        writeBytes(dir / "writer_junk.mp3", out);
    }
    // Tails: APEv2 (mutagen, with an item like frames) and Lyrics3v2 behind a
    // whole stream; a stream cut off within its last frame; and one cut off
    // within a frame mid-stream (a download cut short), then tagged with
    // APEv2, Lyrics3v2 and ID3v1, whose bytes complete that frame. mpg123
    // reads those tag bytes into the frame (and counts what we count): the
    // tagged file's oracle is the file with its tags' bytes zeroed, the
    // frame as we read it.
    {
        const auto withTails = [&dir](const char* name, const std::vector<std::string>& ape,
                                      const std::vector<uint8_t>& stream, bool id3v1) {
            writeBytes(dir / name, stream);
            if (python(kApeScript, ape).exitCode != 0) return std::vector<uint8_t>{};
            auto b = readBytes(dir / name);
            const auto lyrics = lyrics3v2();
            b.insert(b.end(), lyrics.begin(), lyrics.end());
            if (id3v1) {
                const auto v1 = id3v1Tag();
                b.insert(b.end(), v1.begin(), v1.end());
            }
            writeBytes(dir / name, b);
            return b;
        };
        const auto vbr = (dir / "lame_vbr_v2.mp3").string();
        if (withTails("mutagen_ape_lyrics3.mp3", {(dir / "mutagen_ape_lyrics3.mp3").string(), vbr}, readBytes(vbr),
                      false)
                .empty())
            return false;
        const auto base = readBytes(dir / "lame_cbr128.mp3");
        const Frames f = framesOf(base);
        const auto last = f.list.back();
        writeBytes(dir / "writer_cut.mp3", slice(base, 0, last.first + last.second / 2));
        const auto within = f.list.at(f.list.size() * 2 / 3);
        const auto cut = slice(base, 0, within.first + within.second / 4);
        auto tagged = withTails("writer_cut_tagged.mp3", {(dir / "writer_cut_tagged.mp3").string()}, cut, true);
        if (tagged.size() < within.first + within.second) return false;
        std::fill(tagged.begin() + long(cut.size()), tagged.end(), uint8_t{0});
        writeBytes(dir / "base_cut_zeroed.mp3", tagged);
    }
    return true;
}

bool make(const fs::path& dir) {
    std::map<std::pair<int, int>, fs::path> sources;
    for (const Maker& m : kMakers) {
        auto& src = sources[{m.rate, m.channels}];
        if (src.empty()) {
            src = dir / ("source_" + std::to_string(m.rate) + "_" + std::to_string(m.channels) + ".wav");
            writeWav16(src, m.rate, m.channels, testSignal(m.rate, m.channels, int(m.rate * kSeconds)));
        }
        const CommandResult r = run(replaced(m.command, src, dir / m.name));
        if (r.exitCode != 0) {
            ADD_FAILURE() << m.name << ": " << r.output;
            return false;
        }
    }
    fs::copy_file(dir / "lame_vbr_v2.mp3", dir / "mutagen_tagged.mp3", fs::copy_options::overwrite_existing);
    const CommandResult tagged = python(kTagScript, {(dir / "mutagen_tagged.mp3").string()});
    if (tagged.exitCode != 0) {
        ADD_FAILURE() << "mutagen: " << tagged.output;
        return false;
    }
    if (!makeWriterFiles(dir)) {
        ADD_FAILURE() << "the test writer could not make its files";
        return false;
    }
    for (const Entry& e : entries()) {
        const fs::path pcm = dir / (e.oracle + ".mpg123.raw");
        if (fs::exists(pcm)) continue;
        const CommandResult r =
            run("mpg123 -q -s " + shellQuote((dir / e.oracle).string()) + " > " + shellQuote(pcm.string()));
        if (r.exitCode != 0) {
            ADD_FAILURE() << "mpg123 " << e.oracle << ": " << r.output;
            return false;
        }
    }
    std::ofstream(dir / "complete") << kVersion;
    return true;
}

}  // namespace

const std::vector<Entry>& entries() {
    static const std::vector<Entry> list = [] {
        std::vector<Entry> v;
        for (const Maker& m : kMakers)
            if (std::strncmp(m.name, "base_", 5) != 0) v.push_back({m.name, m.name, m.layer3, false});
        v.push_back({"mutagen_tagged.mp3", "lame_vbr_v2.mp3", true, false});
        v.push_back({"writer_vbri.mp3", "lame_notag.mp3", true, true});
        // Players take a LAME tag whose CRC fails when its frame count fits.
        v.push_back({"writer_damaged_lame.mp3", "writer_damaged_lame.mp3", true, true});
        v.push_back({"writer_ffmpeg_crc.mp3", "writer_ffmpeg_crc.mp3", true, true});
        v.push_back({"writer_lying_xing.mp3", "base_vbr_v2_frames.mp3", true, true});
        v.push_back({"writer_free_layer2.mp2", "ffmpeg_layer2_48k.mp2", false, true});
        v.push_back({"writer_free_layer3.mp3", "base_l3_320_48k.mp3", true, true});
        v.push_back({"writer_junk.mp3", "lame_notag.mp3", true, true});
        // mpg123 places its music as the tag says: its own oracle.
        v.push_back({"writer_short_padding.mp3", "writer_short_padding.mp3", true, true});
        v.push_back({"mutagen_ape_lyrics3.mp3", "lame_vbr_v2.mp3", true, false});
        v.push_back({"writer_cut.mp3", "writer_cut.mp3", true, true});
        v.push_back({"writer_cut_tagged.mp3", "base_cut_zeroed.mp3", true, true});
        return v;
    }();
    return list;
}

const Entry& entry(const std::string& name) {
    for (const Entry& e : entries())
        if (e.name == name) return e;
    throw std::runtime_error("no corpus entry " + name);
}

fs::path folder() {
    const std::string missing = missingTool({"lame", "ffmpeg", "mpg123"});
    if (!missing.empty()) {
        ADD_FAILURE() << "reference tool '" << missing << "' is not installed (bash scripts/setup.sh installs it)";
        return {};
    }
    static fs::path made;
    if (!made.empty()) return made;
    const fs::path dir = fs::path(QORO_BIN_DIR).parent_path() / "tests" / "mp3-corpus";
    fs::create_directories(dir);
    // One process makes it; the others wait for it (ctest runs cases in
    // parallel processes).
    const int lock = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << dir;
        if (lock >= 0) ::close(lock);
        return {};
    }
    std::string stamp;
    std::getline(std::ifstream(dir / "complete"), stamp);
    bool ok = stamp == kVersion;
    if (!ok) {
        std::error_code ec;
        fs::remove(dir / "complete", ec);
        for (const auto& f : fs::directory_iterator(dir))
            if (f.path().filename() != ".lock") fs::remove(f.path(), ec);
        ok = make(dir);
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
    if (!ok) return {};
    made = dir;
    return made;
}

Decoded expected(const Entry& e) {
    Decoded d;
    const fs::path dir = folder();
    if (dir.empty()) return d;
    d.samples = readPcm16(dir / (e.oracle + ".mpg123.raw"));
    const auto bytes = readBytes(dir / e.oracle);
    const Frames f = framesOf(bytes);
    if (f.start + 4 <= bytes.size()) {
        // The oracles begin with a frame (free format too).
        const auto h = mpeg::unpackMpegHeader(mpeg::readMpegWord(&bytes[f.start]));
        d.rate = mpeg::mpegSampleRate(h);
        d.channels = mpeg::mpegChannels(h);
    }
    return d;
}

}  // namespace qoro::test::corpus
