#include "kind_files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qoro::test {

namespace {

// Big- and little-endian fields of the headers laid out by hand.
void putBe(std::vector<uint8_t>& b, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putLe(std::vector<uint8_t>& b, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put(std::vector<uint8_t>& b, const char* text) { b.insert(b.end(), text, text + std::strlen(text)); }

// A DSF file: "DSD " chunk, "fmt " chunk (DSD raw, 2.8224 MHz, stereo, 1 bit)
// and a "data" chunk of silence (0x69 bytes).
std::vector<uint8_t> dsf() {
    const uint64_t dataBytes = 2 * 4096;
    std::vector<uint8_t> b;
    put(b, "DSD ");
    putLe(b, 28, 8);
    putLe(b, 28 + 52 + 12 + dataBytes, 8);
    putLe(b, 0, 8);  // no metadata
    put(b, "fmt ");
    putLe(b, 52, 8);
    for (uint64_t v : {1, 0, 2, 2}) putLe(b, v, 4);  // version, DSD raw, channel type stereo, channels
    putLe(b, 2822400, 4);
    putLe(b, 1, 4);
    putLe(b, 4096 * 8, 8);  // sample count
    putLe(b, 4096, 4);      // block size per channel
    putLe(b, 0, 4);
    put(b, "data");
    putLe(b, 12 + dataBytes, 8);
    b.insert(b.end(), dataBytes, 0x69);
    return b;
}

// A DSDIFF file: "FRM8" form "DSD " with "FVER", "PROP" "SND " ("FS  ",
// "CHNL") and a "DSD " sound chunk.
std::vector<uint8_t> dsdiff() {
    std::vector<uint8_t> body;
    put(body, "DSD ");
    put(body, "FVER");
    putBe(body, 4, 8);
    putBe(body, 0x01050000, 4);
    put(body, "PROP");
    putBe(body, 4 + 12 + 4 + 12 + 2 + 8, 8);
    put(body, "SND ");
    put(body, "FS  ");
    putBe(body, 4, 8);
    putBe(body, 2822400, 4);
    put(body, "CHNL");
    putBe(body, 10, 8);
    putBe(body, 2, 2);
    put(body, "SLFTSRGT");
    put(body, "DSD ");
    putBe(body, 4096, 8);
    body.insert(body.end(), 4096, 0x69);
    std::vector<uint8_t> b;
    put(b, "FRM8");
    putBe(b, body.size(), 8);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// A Musepack SV8 stream's start: "MPCK", a stream header packet ("SH": CRC,
// version 8, sample count, rate and channels) and a replay-gain packet.
std::vector<uint8_t> musepack8() {
    std::vector<uint8_t> b;
    put(b, "MPCK");
    put(b, "SH");
    b.push_back(11);        // packet size, key and size included
    putBe(b, 0, 4);         // CRC
    b.push_back(8);         // stream version
    b.push_back(0x40);      // samples (one-byte varint)
    b.push_back(0);         // beginning silence
    b.push_back(0x10 | 1);  // 44.1 kHz, 2 channels - 1
    put(b, "RG");
    b.push_back(12);
    b.insert(b.end(), 9, 0);
    put(b, "SE");
    b.push_back(3);
    b.insert(b.end(), 4096, 0);
    return b;
}

// Monkey's Audio 3.99: "MAC ", version 3990 and the descriptor's sizes.
std::vector<uint8_t> monkeysAudio() {
    std::vector<uint8_t> b;
    put(b, "MAC ");
    putLe(b, 3990, 2);
    putLe(b, 0, 2);
    for (uint64_t v : {52, 24, 0, 4096, 0, 0, 0, 0}) putLe(b, v, 4);  // descriptor, header, seek table, frames ...
    b.insert(b.end(), 16, 0);                                         // MD5
    b.insert(b.end(), 4096, 0);
    return b;
}

std::vector<uint8_t> pdf() {
    std::vector<uint8_t> b;
    put(b, "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n");
    return b;
}

}  // namespace

fs::path copyAs(const fs::path& file, const fs::path& dir, const std::string& name) {
    const fs::path to = dir / name;
    fs::copy_file(file, to, fs::copy_options::overwrite_existing);
    return to;
}

std::vector<KindFile> makeKindFiles(const fs::path& dir) {
    using probe::Kind;
    fs::create_directories(dir);
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.3 -ac 2 ";
    const std::string picture = "-f lavfi -i testsrc=size=64x48:rate=5:duration=0.4 ";
    struct Made {
        Kind kind;
        const char* name;
        std::string args;  // input and codec
    };
    const Made made[] = {
        {Kind::Mp4, "aac.m4a", tone + "-c:a aac"},
        {Kind::Mp4, "alac.m4a", tone + "-c:a alac"},
        {Kind::Aiff, "pcm.aiff", tone + "-c:a pcm_s16be"},
        {Kind::Aiff, "alaw.aifc", tone + "-c:a pcm_alaw -f aiff"},  // written as "AIFC"
        {Kind::WavPack, "tone.wv", tone + "-c:a wavpack"},
        {Kind::Flac, "tone.flac", tone + "-c:a flac"},
        {Kind::OggVorbis, "tone.ogg", tone + "-c:a libvorbis"},
        {Kind::OggOpus, "tone.opus", tone + "-c:a libopus"},
        {Kind::OggFlac, "tone.oga", tone + "-c:a flac -f ogg"},
        {Kind::OggSpeex, "tone.spx", tone + "-ar 16000 -ac 1 -c:a libspeex"},
        {Kind::Ogg, "video.ogv", picture + "-c:v libtheora"},
        {Kind::Tta, "tone.tta", tone + "-c:a tta"},
        {Kind::SunAu, "tone.au", tone + "-c:a pcm_s16be"},
        {Kind::Asf, "tone.wma", tone + "-c:a wmav2"},
        {Kind::Avi, "tone.avi", tone + "-c:a pcm_s16le"},
        {Kind::RiffOther, "picture.webp", picture + "-frames:v 1 -c:v libwebp"},
        {Kind::Ac3, "tone.ac3", tone + "-c:a ac3"},
        {Kind::Ac3, "tone.eac3", tone + "-c:a eac3"},
        {Kind::Adts, "tone.aac", tone + "-c:a aac -f adts"},
        {Kind::Matroska, "tone.mka", tone + "-c:a libopus"},
        {Kind::Jpeg, "picture.jpg", picture + "-frames:v 1 -update 1"},
        {Kind::Png, "picture.png", picture + "-frames:v 1 -update 1"},
        {Kind::Gif, "picture.gif", picture + "-frames:v 1"},
    };
    std::vector<KindFile> files;
    for (const Made& m : made) {
        const fs::path out = dir / m.name;
        const CommandResult r = run("ffmpeg -v error -y " + m.args + " " + shellQuote(out.string()));
        EXPECT_EQ(r.exitCode, 0) << m.name << ": " << r.output;
        files.push_back({m.kind, out, "ffmpeg " + m.args});
    }
    const fs::path zip = dir / "notes.zip";
    const CommandResult z = python(
        "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    z.writestr('notes.txt', 'track list\\n' * 50)\n",
        {zip.string()});
    EXPECT_EQ(z.exitCode, 0) << z.output;
    files.push_back({Kind::Zip, zip, "python zipfile"});

    struct Laid {
        Kind kind;
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Laid laid[] = {
        {Kind::MonkeysAudio, "tone.ape", monkeysAudio()},
        {Kind::Musepack8, "tone.mpc", musepack8()},
        {Kind::Dsf, "tone.dsf", dsf()},
        {Kind::Dsdiff, "tone.dff", dsdiff()},
        {Kind::Pdf, "notes.pdf", pdf()},
    };
    for (const Laid& l : laid) {
        writeBytes(dir / l.name, l.bytes);
        files.push_back({l.kind, dir / l.name, "header bytes"});
    }
    return files;
}

}  // namespace qoro::test
