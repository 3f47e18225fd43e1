// qoro loudness on files made the way users make them (lame, flac, oggenc,
// opusenc, a Musepack file of someone else's, tags of other programs added
// by mutagen), read back by mutagen: the ReplayGain and R128 fields in their
// formats, once each after any number of runs, no RVA2 frames, the Opus
// header's gain kept; albums by folder; files that fail.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "cli_support.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

// What mutagen reads of each file, and what qoro's JSON said of it:
//   FILE field NAME COUNT VALUE   ReplayGain and R128 fields (names in capitals)
//   FILE rva2 N                   RVA2 frames of an MP3
//   FILE title TEXT               the title other programs wrote
//   FILE opusgain N               the output gain of an Opus header
//   FILE lufs X / album X         qoro --json's loudness of the file and its album
constexpr const char* kRead = R"(
import json, struct, sys
from mutagen import apev2, id3
from mutagen.flac import FLAC
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

report = json.load(open(sys.argv[1]))
for entry in report:
    path = entry["file"]
    name = path.rsplit("/", 1)[-1]
    if entry.get("lufs") is not None: print(name, "lufs", entry["lufs"])
    if entry.get("album"): print(name, "album", entry["album"]["lufs"])
    fields = {}
    def add(key, values):
        key = key.upper()
        if key.startswith("REPLAYGAIN_") or key.startswith("R128_"):
            fields.setdefault(key, []).extend(str(v) for v in values)
    if name.endswith(".mp3"):
        tag = id3.ID3(path)
        for frame in tag.getall("TXXX"): add(frame.desc, frame.text)
        print(name, "rva2", len(tag.getall("RVA2")))
        print(name, "title", tag["TIT2"].text[0] if "TIT2" in tag else "")
    elif name.endswith(".mpc"):
        tag = apev2.APEv2(path)
        for key, value in tag.items(): add(key, list(value))
        print(name, "title", str(tag.get("Title", "")))
    else:
        f = {".flac": FLAC, ".ogg": OggVorbis, ".opus": OggOpus}[name[name.rfind("."):]](path)
        for key, value in list.__iter__(f.tags): add(key, [value])  # the comments as stored, one by one
        print(name, "title", (f.tags.get("TITLE") or [""])[0])
        if name.endswith(".opus"):
            data = open(path, "rb").read()
            at = data.find(b"OpusHead")
            print(name, "opusgain", struct.unpack("<h", data[at + 16:at + 18])[0])
    for key, values in sorted(fields.items()):
        print(name, "field", key, len(values), values[0])
)";

// An Opus header's output gain set to -512 (-2 dB) and a title, an RVA2
// frame and a lower-case ReplayGain frame in the MP3 (as some taggers write
// them), ReplayGain twice over in the FLAC file.
constexpr const char* kPrepare = R"(
import struct, sys
from mutagen import id3
from mutagen.flac import FLAC
from mutagen.ogg import OggPage
folder = sys.argv[1]
tag = id3.ID3()
tag.add(id3.TIT2(encoding=3, text=["Song"]))
tag.add(id3.RVA2(desc="track", channel=1, gain=-3.5, peak=0.9))
tag.add(id3.RVA2(desc="album", channel=1, gain=-4.0, peak=0.95))
tag.add(id3.TXXX(encoding=3, desc="replaygain_track_gain", text=["-3.50 dB"]))
tag.save(folder + "/a.mp3")
f = FLAC(folder + "/b.flac")
f["TITLE"] = "Song"
f["REPLAYGAIN_TRACK_GAIN"] = ["+1.00 dB", "+2.00 dB"]
f.save()
with open(folder + "/d.opus", "r+b") as fh:
    page = OggPage(fh)
    head = page.packets[0]
    page.packets = [head[:16] + struct.pack("<h", -512) + head[18:]]
    fh.seek(0)
    fh.write(page.write())
)";

struct Read {
    std::map<std::string, std::string> facts;                   // "FILE what" -> value
    std::map<std::string, std::pair<int, std::string>> fields;  // "FILE NAME" -> count, first value
};

Read readBack(const fs::path& report) {
    const auto r = t::python(kRead, {report.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    Read read;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string file, what;
        words >> file >> what;
        if (what == "field") {
            std::string name, value;
            int count = 0;
            words >> name >> count >> std::ws;
            std::getline(words, value);
            read.fields[file + " " + name] = {count, value};
        } else {
            std::string value;
            std::getline(words >> std::ws, value);
            read.facts[file + " " + what] = value;
        }
    }
    return read;
}

class QoroLoudness : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(t::binPath("qoro"))) << "qoro is not built";
        QORO_REQUIRE_TOOLS("sox", "lame", "flac", "oggenc", "opusenc");
        QORO_REQUIRE_MUTAGEN();
    }
    // A chord with noise 'db' below full scale, as a 44.1 kHz stereo WAV.
    void makeWav(const fs::path& file, int db, double seconds = 6) {
        const auto r = t::run("sox -V1 -R -n -r 44100 -c 2 -b 16 " + q(file) + " synth " + std::to_string(seconds) +
                              " sine 220 sine 331 pinknoise tremolo 3 40 gain -n " + std::to_string(-db));
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    // qoro loudness --json with its report in 'report'; the output is what
    // it said on its standard error.
    t::CommandResult loudness(const std::string& args, const fs::path& report) {
        return t::run("{ " + q(t::binPath("qoro")) + " loudness --json " + args + " > " + q(report) + "; }");
    }
    t::TempDir dir;
};

TEST_F(QoroLoudness, WritesTheFieldsPlayersReadOnceEachInEveryFormat) {
    for (auto [name, db] : {std::pair{"a", 6}, {"b", 14}, {"c", 9}, {"d", 18}})
        makeWav(dir / (name + std::string(".wav")), db);
    const std::string in = "cd " + q(dir.path()) + " && ";
    ASSERT_EQ(t::run(in + "lame --quiet -b 160 a.wav a.mp3 && flac -s -o b.flac b.wav && "
                          "oggenc -Q -c REPLAYGAIN_TRACK_PEAK=0.5 -o c.ogg c.wav && "
                          "opusenc --quiet --comment 'REPLAYGAIN_TRACK_GAIN=+1.00 dB' --comment R128_TRACK_GAIN=0 "
                          "d.wav d.opus")
                  .exitCode,
              0);
    fs::copy_file(t::testdata("mpc/full-tagged.mpc"), dir / "e.mpc");  // silent, with a full APEv2 tag
    const auto prepared = t::python(kPrepare, {dir.path().string()});
    ASSERT_EQ(prepared.exitCode, 0) << prepared.output;

    const std::string files = q(dir / "a.mp3") + " " + q(dir / "b.flac") + " " + q(dir / "c.ogg") + " " +
                              q(dir / "d.opus") + " " + q(dir / "e.mpc");
    const std::string replayGain[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN",
                                      "REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_REFERENCE_LOUDNESS"};
    std::map<std::string, std::pair<int, std::string>> first;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        const auto r = loudness("--write --album -j 2 " + files, dir / "report.json");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const Read read = readBack(dir / "report.json");
        auto field = [&](const std::string& file, const std::string& name) {
            const auto it = read.fields.find(file + " " + name);
            return it == read.fields.end() ? std::pair<int, std::string>{0, ""} : it->second;
        };
        auto fact = [&](const std::string& key) {
            const auto it = read.facts.find(key);
            return it == read.facts.end() ? std::string() : it->second;
        };
        const std::string albumLufs = fact("a.mp3 album");
        ASSERT_FALSE(albumLufs.empty()) << r.output;
        for (const char* file : {"a.mp3", "b.flac", "c.ogg", "e.mpc"}) {
            SCOPED_TRACE(file);
            for (const std::string& name : replayGain) {
                const auto [count, value] = field(file, name);
                // The silent Musepack file gets no track gain.
                const bool wanted = !(std::string(file) == "e.mpc" && name == "REPLAYGAIN_TRACK_GAIN");
                EXPECT_EQ(count, wanted ? 1 : 0) << name << " " << value;
                if (!wanted) continue;
                const std::regex format = name.ends_with("GAIN")   ? std::regex(R"([+-]\d+\.\d\d dB)")
                                          : name.ends_with("PEAK") ? std::regex(R"(\d\.\d{6})")
                                                                   : std::regex(R"(-18\.00 LUFS)");
                EXPECT_TRUE(std::regex_match(value, format)) << name << " " << value;
            }
            // The gains are those of the loudness qoro reports, to -18 LUFS.
            EXPECT_EQ(fact(std::string(file) + " album"), albumLufs);
            EXPECT_NEAR(std::stod(field(file, "REPLAYGAIN_ALBUM_GAIN").second), -18 - std::stod(albumLufs), 0.006);
            if (std::string(file) != "e.mpc") {
                EXPECT_NEAR(std::stod(field(file, "REPLAYGAIN_TRACK_GAIN").second),
                            -18 - std::stod(fact(std::string(file) + " lufs")), 0.006);
            }
            EXPECT_EQ(fact(std::string(file) + " title"), std::string(file) == "e.mpc" ? "full"
                                                          : file[0] == 'c'             ? ""
                                                                                       : "Song");
        }
        EXPECT_EQ(fact("e.mpc lufs"), "");  // silent
        EXPECT_EQ(fact("a.mp3 rva2"), "0");

        // Opus: R128 integers of 1/256 dB to -23 LUFS, over the header's
        // own -2 dB (which the loudness measured already carries).
        for (const std::string& name : replayGain) EXPECT_EQ(field("d.opus", name).first, 0) << name;
        EXPECT_EQ(fact("d.opus opusgain"), "-512");
        for (auto [name, lufs] : {std::pair{"R128_TRACK_GAIN", fact("d.opus lufs")}, {"R128_ALBUM_GAIN", albumLufs}}) {
            const auto [count, value] = field("d.opus", name);
            EXPECT_EQ(count, 1) << name;
            ASSERT_TRUE(std::regex_match(value, std::regex(R"(-?\d+)"))) << name << " " << value;
            EXPECT_NEAR(std::stoi(value), 256 * (-23 - std::stod(lufs)), 2.0) << name;
        }
        // Quieter than the album, louder than the album: the track gains tell them apart.
        EXPECT_GT(std::stod(field("b.flac", "REPLAYGAIN_TRACK_GAIN").second),
                  std::stod(field("a.mp3", "REPLAYGAIN_TRACK_GAIN").second) + 5);
        if (run == 0)
            first = read.fields;
        else
            EXPECT_EQ(read.fields, first);  // measured again: the same values, in place of the old
    }

    // The table: every file once, the Musepack file silent.
    const auto table = t::cli::runQoro("loudness --album " + files);
    ASSERT_EQ(table.exitCode, 0) << table.output;
    std::istringstream lines(table.output);
    std::string line;
    std::getline(lines, line);
    EXPECT_NE(line.find("LUFS"), std::string::npos) << line;
    int rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        if (line.ends_with("e.mpc")) {
            EXPECT_EQ(line.find("silent"), line.find_first_not_of(' ')) << line;
        }
    }
    EXPECT_EQ(rows, 5) << table.output;
}

TEST_F(QoroLoudness, AlbumsAreFoldersAndFailuresAreReported) {
    // Two albums of two tracks, far apart in loudness; a third folder with
    // a file that is no audio.
    for (const char* folder : {"loud", "quiet", "broken"}) fs::create_directories(dir / folder);
    makeWav(dir / "loud/1.wav", 3);
    makeWav(dir / "loud/2.wav", 8, 4);
    makeWav(dir / "quiet/1.wav", 20);
    makeWav(dir / "quiet/2.wav", 26, 4);
    makeWav(dir / "broken/1.wav", 10);
    t::writeBytes(dir / "broken/2.mp3", std::vector<uint8_t>(3000, 0x11));
    const fs::path report = dir / "report.json";

    auto r = loudness("--album -R " + q(dir / "loud") + " " + q(dir / "quiet") + " " + q(dir / "broken"), report);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    const auto read = t::python(R"(
import json, sys
for e in json.load(open(sys.argv[1])):
    album = e.get("album")
    print(e["file"].split("/")[-2] + "/" + e["file"].split("/")[-1], e.get("lufs"), album["lufs"] if album else None,
          "error" if "error" in e else "ok")
)",
                                {report.string()});
    ASSERT_EQ(read.exitCode, 0) << read.output << r.output;
    std::map<std::string, std::array<std::string, 3>> rows;
    std::istringstream in(read.output);
    for (std::string file, lufs, album, status; in >> file >> lufs >> album >> status;)
        rows[file] = {lufs, album, status};
    ASSERT_EQ(rows.size(), 6u) << read.output;
    EXPECT_EQ(rows["loud/1.wav"][1], rows["loud/2.wav"][1]);
    EXPECT_EQ(rows["quiet/1.wav"][1], rows["quiet/2.wav"][1]);
    EXPECT_GT(std::stod(rows["loud/1.wav"][1]), std::stod(rows["quiet/1.wav"][1]) + 10);
    // The album lies between its tracks and is no average of them.
    for (const char* album : {"loud", "quiet"}) {
        const double a = std::stod(rows[album + std::string("/1.wav")][0]),
                     b = std::stod(rows[album + std::string("/2.wav")][0]);
        const double together = std::stod(rows[album + std::string("/1.wav")][1]);
        EXPECT_GT(together, std::min(a, b));
        EXPECT_LT(together, std::max(a, b));
    }
    // An album with a file that failed gets no album values.
    EXPECT_EQ(rows["broken/1.wav"][1], "None");
    EXPECT_EQ(rows["broken/1.wav"][2], "ok");
    EXPECT_EQ(rows["broken/2.mp3"][2], "error");

    // One kind of failure each: its exit status and the words that say why.
    fs::copy_file(dir / "loud/1.wav", dir / "take.wav");
    t::writeBytes(dir / "notes.txt", {'h', 'i'});
    struct Case {
        std::string args;
        int exit;
        std::string words;
    } cases[] = {
        {"--write " + q(dir / "take.wav"), 1, "cannot hold REPLAYGAIN_TRACK_GAIN"},  // RIFF INFO
        {q(dir / "missing.flac"), 1, "No such file or directory"},
        {q(dir / "notes.txt"), 1, "no audio file qoro reads"},
        {q(dir / "loud"), 1, "is a folder"},
        {"--loud " + q(dir / "take.wav"), 2, "unknown option"},
        {"-j 0 " + q(dir / "take.wav"), 2, "invalid number of jobs"},
        {"", 2, "name the files"},
    };
    for (const Case& c : cases) {
        r = t::cli::runQoro("loudness " + c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.words), std::string::npos) << c.args << "\n" << r.output;
    }
    // The WAV file was left as it was.
    EXPECT_EQ(t::readBytes(dir / "take.wav"), t::readBytes(dir / "loud/1.wav"));
}

}  // namespace
