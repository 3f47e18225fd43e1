// qoro on the files of a music library the media plug-in reads: the tagged
// files of other people's tools in tests/data/beets shown by qoro info and
// converted with their tags; without the plug-in, each refused with the
// package to install.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cli_support.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

// ffprobe's duration and tags (names lower case) of a file.
struct Probed {
    double duration = 0;
    std::map<std::string, std::string> tags;
};
Probed probed(const fs::path& file) {
    Probed p;
    const auto r = t::run("ffprobe -v error -show_entries format=duration:format_tags:stream_tags "
                          "-of default=noprint_wrappers=1 " + q(file));
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "duration") p.duration = std::atof(value.c_str());
        if (key.rfind("TAG:", 0) != 0) continue;
        key = key.substr(4);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        p.tags[key] = value;
    }
    return p;
}

// What a command printed; a failure of the test when it fails.
std::string sh(const std::string& command) {
    const auto r = t::run(command);
    EXPECT_EQ(r.exitCode, 0) << command << ": " << r.output;
    return r.output;
}

// The value qoro info shows for a label ("duration:" gives "00:01.000 (1000 ms)").
std::string shown(const std::string& output, const std::string& label) {
    const size_t at = output.find("  " + label + ":");
    if (at == std::string::npos) return {};
    const size_t start = output.find_first_not_of(' ', at + label.size() + 3);
    return output.substr(start, output.find('\n', start) - start);
}

struct BeetsFile {
    const char* name;
    long durationMs;  // the music's length
};

// Each lasts one second of 44.1 kHz music (the AAC file says so in its
// iTunSMPB item: 2112 frames of priming and 892 of padding around 44100),
// but the DSF file: 56448 bytes of DSD128 a channel, 80 ms (its header
// counts them as bits, 10 ms; ffmpeg decodes them all).
constexpr BeetsFile kBeets[] = {
    {"full.m4a", 1000}, {"full.alac.m4a", 1000}, {"full.ape", 1000}, {"full.wv", 1000}, {"full.dsf", 80},
};

}  // namespace

TEST(QoroMedia, TaggedFilesOfOtherToolsShowAndConvertWithTheirTags) {
    QORO_REQUIRE_TOOLS("ffprobe");
    t::TempDir dir;
    for (const BeetsFile& b : kBeets) {
        SCOPED_TRACE(b.name);
        const fs::path file = t::testdata(std::string("beets/") + b.name);
        const auto info = t::cli::runQoro("info " + q(file));
        ASSERT_EQ(info.exitCode, 0) << info.output;
        EXPECT_EQ(shown(info.output, "title"), "full") << info.output;
        EXPECT_EQ(shown(info.output, "artist"), "the artist");
        EXPECT_EQ(shown(info.output, "album"), "the album");
        EXPECT_NE(shown(info.output, "duration").find("(" + std::to_string(b.durationMs) + " ms)"), std::string::npos)
            << info.output;
        for (const char* to : {"mp3", "flac"}) {
            const fs::path out = dir / b.name / to;
            const auto r = t::cli::runQoro(std::string("convert --to ") + to + " -o " + q(out) + " " + q(file));
            ASSERT_EQ(r.exitCode, 0) << r.output;
            const fs::path made = out / (file.stem().string() + "." + to);
            const Probed p = probed(made);
            EXPECT_EQ(p.tags.count("title") ? p.tags.at("title") : "", "full") << made;
            EXPECT_EQ(p.tags.count("artist") ? p.tags.at("artist") : "", "the artist") << made;
            EXPECT_EQ(p.tags.count("album") ? p.tags.at("album") : "", "the album") << made;
            // MP3 frames round the end up; FLAC keeps it to the sample.
            EXPECT_NEAR(p.duration * 1000, b.durationMs, std::string(to) == "mp3" ? 60 : 1) << made;
        }
    }
}

// A WMA file Debian's ffmpeg cannot read either (its header objects are
// damaged) is refused with a cause, not read as noise.
TEST(QoroMedia, DamagedWmaIsRefusedWithACause) {
    const auto r = t::cli::runQoro("info " + q(t::testdata("beets/full.wma")));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("a WMA/ASF file that cannot be read"), std::string::npos) << r.output;
}

// Kept from loading, the plug-in reads and writes nothing: every such file is
// refused with the package that brings it, and exit status 1.
TEST(QoroMedia, WithoutThePluginFilesAreRefusedNamingThePackage) {
    t::TempDir dir;
    for (const BeetsFile& b : kBeets) {
        SCOPED_TRACE(b.name);
        const fs::path file = t::testdata(std::string("beets/") + b.name);
        for (const std::string& command : {"info " + q(file), "convert --to wav -o " + q(dir.path()) + " " + q(file)}) {
            const auto r = t::run("QORO_NO_GPL_PLUGINS=1 " + t::shellQuote(t::binPath("qoro").string()) + " " + command);
            EXPECT_EQ(r.exitCode, 1) << r.output;
            EXPECT_NE(r.output.find("needs the package quillet-libav"), std::string::npos) << r.output;
        }
    }
    // Nor is M4A written.
    const fs::path wav = dir / "tone.wav";
    t::writeWav16(wav, 44100, 2, t::testSignal(44100, 2, 4410));
    for (const char* to : {"m4a", "alac"}) {
        const auto r = t::run("QORO_NO_GPL_PLUGINS=1 " + t::shellQuote(t::binPath("qoro").string()) + " convert --to " +
                              to + " -o " + q(dir / "out") + " " + q(wav));
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find("writing M4A files needs the package quillet-libav"), std::string::npos) << r.output;
    }
    fs::remove(wav);
    std::error_code ec;
    fs::remove(dir / "out", ec);  // an empty folder at most
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// An M4A as iTunes-minded taggers leave it (mutagen: two artists, an album
// artist, a MusicBrainz id, a PNG cover) converts into MP3, FLAC and M4A
// with all of it, and so does the FLAC into ALAC; a WavPack file's APEv2 tag is edited in place of the old one
// and its audio left as it was.
TEST(QoroMedia, Mp4ItemsAndCoversCarryAndApeTagsOfWavPackAreEdited) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    QORO_REQUIRE_MUTAGEN();
    t::TempDir dir;
    const fs::path wav = dir / "tone.wav", m4a = dir / "tagged.m4a", cover = dir / "cover.png";
    sh("sox -n -r 44100 -c 2 " + q(wav) + " synth 0.5 sine 440");
    sh("ffmpeg -v error -y -i " + q(wav) + " -c:a aac " + q(m4a));
    sh("ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=1:duration=1 -frames:v 1 " + q(cover));
    const auto tagged = t::python(
        "import sys\nfrom mutagen.mp4 import MP4, MP4Cover\nf = MP4(sys.argv[1])\n"
        "f['\\xa9nam'] = 'Song'; f['\\xa9ART'] = ['A', 'B']; f['aART'] = 'Band'\n"
        "f['----:com.apple.iTunes:MusicBrainz Album Id'] = b'abc-123'\n"
        "f['covr'] = [MP4Cover(open(sys.argv[2], 'rb').read(), MP4Cover.FORMAT_PNG)]\nf.save()\n",
        {m4a.string(), cover.string()});
    ASSERT_EQ(tagged.exitCode, 0) << tagged.output;
    const std::string read =
        "import sys, mutagen\nf = mutagen.File(sys.argv[1])\n"
        "pics = getattr(f, 'pictures', None) or [f.tags[k] for k in f.tags.keys() if k.startswith('APIC')]\n"
        "if pics: print(len(pics), pics[0].mime)\n"
        "if hasattr(f.tags, 'getall'):\n"
        "    print(f.tags['TIT2'], f.tags['TPE1'].text, f.tags['TPE2'], f.tags['TXXX:MusicBrainz Album Id'])\n"
        "elif 'covr' in f.tags:\n"
        "    pics = f.tags['covr']\n"
        "    print(len(pics), 'image/png' if pics[0].imageformat == 14 else 'image/jpeg')\n"
        "    print(f.tags['\\xa9nam'][0], f.tags['\\xa9ART'], f.tags['aART'][0],\n"
        "          f.tags['----:com.apple.iTunes:MusicBrainz Album Id'][0].decode())\n"
        "else:\n"
        "    print(f['title'][0], f['artist'], f['albumartist'][0], f['musicbrainz_albumid'][0])\n";
    // Out of M4A, into M4A again, and from FLAC into M4A.
    const std::pair<const char*, fs::path> conversions[] = {
        {"mp3", m4a}, {"flac", m4a}, {"m4a", m4a}, {"alac", dir / "flac" / "tagged.flac"}};
    for (const auto& [to, from] : conversions) {
        SCOPED_TRACE(to);
        const fs::path out = dir / to / (std::string("tagged.") + (to == std::string("alac") ? "m4a" : to));
        const auto r = t::cli::runQoro(std::string("convert --to ") + to + " -o " + q(out) + " " + q(from));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto got = t::python(read, {out.string()});
        EXPECT_EQ(got.output, "1 image/png\nSong ['A', 'B'] Band abc-123\n");
    }

    const fs::path wv = dir / "full.wv";
    fs::copy_file(t::testdata("beets/full.wv"), wv);
    const auto before = sh("ffmpeg -v error -i " + q(wv) + " -f s16le - | md5sum");
    const auto r = t::cli::runQoro("tag --title New --set ALBUMARTIST=Band " + q(wv));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto got = t::python("import sys\nfrom mutagen.apev2 import APEv2\nt = APEv2(sys.argv[1])\n"
                               "print(t['Title'], t['Album Artist'], t['Artist'])\n",
                               {wv.string()});
    EXPECT_EQ(got.output, "New Band the artist\n");
    EXPECT_EQ(sh("ffmpeg -v error -i " + q(wv) + " -f s16le - | md5sum"), before);
}
