// qoro convert and qoro tag against mutagen's view of files tagged with every
// field of the cross-format map (tests/qoro_cli/mapped_tags.py): every source
// kind into every tagged target, and edits that change only what they name.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "cli_support.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

t::CommandResult qoro(const std::string& args) { return t::cli::runQoro(args); }

// tests/qoro_cli/mapped_tags.py (mutagen) with Debian's python3.
t::CommandResult mappedTags(const std::string& args) {
    return t::run("/usr/bin/python3 " + q(fs::path(QORO_SOURCE_DIR) / "tests/qoro_cli/mapped_tags.py") + " " + args);
}

// The lines of mapped_tags.py read: "NAME=value", "COVER=...", "ID3V1:TITLE=...".
std::set<std::string> readTags(const fs::path& file) {
    const auto r = mappedTags("read " + q(file));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::set<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

struct Kind {
    const char* kind;  // mapped_tags.py make KIND
    const char* file;
    const char* make;  // the audio from the test signal (IN); "" for a copy of a ready file
};

// Every kind mapped_tags.py tags: MP3 by lame (ID3v2.3 and 2.4), FLAC, Ogg
// Vorbis and Opus by their encoders, Musepack (stream version 7, APEv2), and
// a WAV that ffmpeg tags in RIFF INFO.
constexpr Kind kKinds[] = {
    {"id3v23", "id3v23.mp3", "lame --quiet -b 128 IN OUT"},
    {"id3v24", "id3v24.mp3", "lame --quiet -b 128 IN OUT"},
    {"flac", "flac.flac", "flac -s -o OUT IN"},
    {"ogg", "ogg.ogg", "oggenc -Q -o OUT IN"},
    {"opus", "opus.opus", "opusenc --quiet IN OUT"},
    {"ape", "ape.mpc", ""},
    {"wav", "wav.wav", ""},
};

class QoroTags : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(t::binPath("qoro"))) << "qoro is not built";
        ASSERT_TRUE(fs::exists(t::binPath("libQoroAudioInformation.so"))) << "QoroAudioInformation is not built";
        QORO_REQUIRE_TOOLS("lame", "flac", "oggenc", "opusenc", "ffmpeg", "ffprobe");
        QORO_REQUIRE_MUTAGEN();
        t::writeWav16(pcm(), 44100, 2, t::testSignal(44100, 2, 44100));
    }
    fs::path pcm() const { return dir / "signal.wav"; }

    // A file of the kind tagged by mapped_tags.py make, in 'folder'.
    fs::path make(const Kind& k, const fs::path& folder) {
        fs::create_directories(folder);
        const fs::path file = folder / k.file;
        if (*k.make)
            EXPECT_EQ(t::run(t::withPaths(k.make, pcm(), file)).exitCode, 0) << k.make;
        else
            fs::copy_file(std::string(k.kind) == "ape" ? t::testdata("mpc/click.mpc") : pcm(), file);
        const auto r = mappedTags(std::string("make ") + k.kind + " " + q(file));
        EXPECT_EQ(r.exitCode, 0) << k.kind << ": " << r.output;
        return file;
    }

    t::TempDir dir;
};

// Each source converted into each tagged target: mutagen (ffprobe for WAV)
// reads in the target every field both formats hold with the source's
// values, several values apart, dates whole, totals kept, the cover's bytes;
// no encoder field of the source. mapped_tags.py check says what differs.
TEST_F(QoroTags, EveryMappedFieldTravelsIntoEveryTaggedFormat) {
    std::vector<fs::path> sources;
    std::string names;
    for (const Kind& k : kKinds) {
        sources.push_back(make(k, dir / "src"));
        names += " " + q(sources.back());
    }
    if (HasFailure()) return;
    const char* targets[] = {"mp3", "flac", "ogg", "opus", "wav"};
    for (const char* to : targets) {
        const auto r = qoro(std::string("convert -j 2 --to ") + to + " -o " + q(dir / to) + names);
        EXPECT_EQ(r.exitCode, 0) << to << ": " << r.output;
    }
    // One report line per source and per cell, "cell KIND EXT COMPARED WRONG",
    // the fields not as wanted on tab-indented lines after it.
    std::map<std::string, std::pair<int, std::string>> cells;
    for (size_t i = 0; i < sources.size(); ++i) {
        std::string args = std::string("check ") + kKinds[i].kind + " " + q(sources[i]);
        for (const char* to : targets) args += " " + q(dir / to / sources[i].filename().replace_extension(to));
        const auto r = mappedTags(args);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        std::istringstream in(r.output);
        std::string cell;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] == '\t') {
                cells[cell].second += line + "\n";
                continue;
            }
            std::istringstream words(line);
            std::string what, kind, ext;
            int compared = 0;
            words >> what >> kind;
            if (what == "cell") words >> ext;
            words >> compared;
            cell = what == "cell" ? kind + " -> " + ext : "source " + kind;
            cells[cell].first = compared;
        }
    }
    EXPECT_EQ(cells.size(), std::size(kKinds) * (std::size(targets) + 1));
    for (const auto& [cell, result] : cells) {
        EXPECT_GT(result.first, 0) << cell << ": nothing compared";
        EXPECT_TRUE(result.second.empty()) << cell << ":\n" << result.second;
    }
}

// qoro tag changes what it names and nothing else, in every kind of tag:
// no genre for a file without one, both tags of an MP3 that has both (an
// ID3v1 tag keeping what a new ID3v2 tag does not name), no
// ID3v1 tag added to a Musepack file, fields set by map name (several values
// by repeating the name) or removed, free-text genres; a field the format
// cannot hold is refused before anything is written.
TEST_F(QoroTags, TagEditsChangeOnlyWhatTheyName) {
    constexpr Kind kPlainMp3{"", "plain.mp3", "lame --quiet -b 128 IN OUT"};
    constexpr Kind kBothMp3{"", "both.mp3", "lame --quiet -b 128 --add-id3v2 --tt Old --ta Someone IN OUT"};
    constexpr Kind kPlainFlac{"", "plain.flac", "flac -s -o OUT IN"};
    constexpr Kind kV1Mp3{"", "v1.mp3", "lame --quiet -b 128 --id3v1-only --tt Old --ta Someone IN OUT"};
    const std::string edit =
        "--set 'ALBUMARTIST=New Band' --set ARTISTS=Ann --set artists=Bo --remove LYRICS "
        "--genre 'Nu Klezmer'";
    const std::vector<std::string> edited = {"ALBUMARTIST=New Band", "ARTISTS=Ann",        "ARTISTS=Bo",
                                             "GENRE=Nu Klezmer",     "TITLE=Matrix Title", "DATE=2021-06-01",
                                             "TRACKNUMBER=3",        "TOTALTRACKS=12",     "ARTIST=Second Artist"};
    struct Case {
        const Kind* kind;  // mapped_tags.py make KIND, or audio alone ("" kind)
        std::string options;
        std::vector<std::string> present;
        std::vector<std::string> absent;  // prefixes no line may have
        int exitCode = 0;
    } cases[] = {
        {&kPlainMp3, "--title X", {"TITLE=X"}, {"GENRE=", "ID3V1:"}},
        {&kBothMp3, "--title 'New Title'", {"TITLE=New Title", "ID3V1:TITLE=New Title", "ARTIST=Someone"}, {"GENRE="}},
        {&kPlainFlac, "--title X", {"TITLE=X"}, {"GENRE="}},
        // A first ID3v2 tag beside an ID3v1 tag: the ID3v1 fields stay.
        {&kV1Mp3, "--id3v2 --set MOOD=Calm", {"MOOD=Calm", "ID3V1:TITLE=Old"}, {}},
        {&kKinds[5], "--title 'New Title'", {"TITLE=New Title", "ALBUMARTIST=Various Artists"}, {"ID3V1:"}},
        {&kKinds[0], edit, edited, {"LYRICS=", "ARTISTS=First"}},
        {&kKinds[1], edit, edited, {"LYRICS=", "ARTISTS=First"}},
        {&kKinds[2], edit, edited, {"LYRICS=", "ARTISTS=First"}},
        {&kKinds[4], edit, edited, {"LYRICS=", "ARTISTS=First"}},
        {&kKinds[5], edit, edited, {"LYRICS=", "ARTISTS=First"}},
        {&kKinds[6], "--set ALBUMARTIST=X --title Y", {}, {}, 2},
    };
    int n = 0;
    fs::path editedFlac;
    for (const Case& c : cases) {
        const fs::path folder = dir / std::to_string(n++);
        fs::path file;
        if (*c.kind->kind) {
            file = make(*c.kind, folder);
        } else {
            fs::create_directories(folder);
            file = folder / c.kind->file;
            EXPECT_EQ(t::run(t::withPaths(c.kind->make, pcm(), file)).exitCode, 0);
        }
        if (c.kind == &kKinds[2]) editedFlac = file;
        const std::string what = file.filename().string() + " " + c.options;
        const auto before = t::readBytes(file);
        const auto r = qoro("tag " + q(file) + " " + c.options);
        EXPECT_EQ(r.exitCode, c.exitCode) << what << ": " << r.output;
        if (c.exitCode != 0) {
            EXPECT_TRUE(t::readBytes(file) == before) << what << ": the file changed";
            continue;
        }
        const auto lines = readTags(file);
        for (const auto& line : c.present) EXPECT_EQ(lines.count(line), 1u) << what << ": no " << line;
        for (const auto& prefix : c.absent)
            for (const auto& line : lines) EXPECT_NE(line.rfind(prefix, 0), 0u) << what << ": " << line;
    }

    // A conversion invents nothing either: the title alone travels.
    const fs::path titled = dir / "0" / kPlainMp3.file;
    for (const char* to : {"flac", "mp3"}) {
        const auto r = qoro(std::string("convert --to ") + to + " -o " + q(dir / "plain" / to) + " " + q(titled));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto lines = readTags(dir / "plain" / to / fs::path(titled.filename()).replace_extension(to));
        EXPECT_EQ(lines, std::set<std::string>{"TITLE=X"}) << to;
    }

    // qoro info gives the fields by map name, several values apart: one line
    // each, and in JSON an array (one value stays a string).
    const fs::path& flac = editedFlac;
    auto r = qoro("info " + q(flac));
    EXPECT_NE(r.output.find("  ARTISTS:       Ann\n                 Bo\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("  artist:        First Artist\n                 Second Artist\n"), std::string::npos);
    EXPECT_NE(r.output.find("  ALBUMARTIST:   New Band\n"), std::string::npos) << r.output;
    r = t::run(q(t::binPath("qoro")) + " info --json " + q(flac) +
               " | /usr/bin/python3 -c 'import json,sys\nx = json.load(sys.stdin)[0]\n"
               "f = {e[\"name\"]: e[\"value\"] for e in x[\"fields\"]}\n"
               "print(f[\"ARTISTS\"], f[\"ALBUMARTIST\"], x[\"tags\"][\"artist\"], x[\"tags\"][\"title\"], "
               "x[\"tags\"][\"date\"], x[\"tags\"][\"genreText\"])'");
    EXPECT_EQ(r.output,
              "['Ann', 'Bo'] New Band ['First Artist', 'Second Artist'] Matrix Title 2021-06-01 Nu Klezmer\n");
}

// qoro tag on an M4A ffmpeg made and mutagen tagged (a cover, the track,
// the album artist, a MusicBrainz id, an item of another mean, one we do not
// map): mutagen reads what the edit names and every other item as before,
// and ffmpeg the same audio. Fields go by map name, by MP4 key and by a name
// of the user's own.
TEST_F(QoroTags, M4aEditsChangeOnlyWhatTheyName) {
    constexpr const char* kTag = R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
f = MP4(sys.argv[1])
t = f.tags
t['\xa9nam'] = ['Old']
t['\xa9ART'] = ['Someone']
t['aART'] = ['The Band']
t['trkn'] = [(3, 12)]
t['covr'] = [MP4Cover(b'\x89PNG\r\n\x1a\n' + bytes(300), MP4Cover.FORMAT_PNG)]
t['----:com.apple.iTunes:MusicBrainz Track Id'] = [MP4FreeForm(b'8b882575-08a5-4452-a7a7-cbb8a1531f9e')]
t['----:org.example:Custom'] = [MP4FreeForm(b'kept')]
t['\xa9xyz'] = ['unmapped']
f.save()
)";
    // "key=value" per value, covers by their bytes' hash.
    constexpr const char* kDump = R"(
import sys, hashlib
from mutagen.mp4 import MP4
for k, vs in sorted(MP4(sys.argv[1]).tags.items()):
    for v in vs:
        print('%r=%r' % (k, hashlib.sha1(bytes(v)).hexdigest() if k == 'covr' else v))
)";
    auto dump = [&](const fs::path& f) {
        const auto r = t::python(kDump, {f.string()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        std::set<std::string> lines;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);) lines.insert(line);
        return lines;
    };
    auto decoded = [](const fs::path& f) {
        return t::run("ffmpeg -v error -i " + q(f) + " -f s16le - | sha1sum").output;
    };
    const fs::path file = dir / "m4a" / "song.m4a";
    fs::create_directories(file.parent_path());
    ASSERT_EQ(t::run("ffmpeg -v error -y -i " + q(pcm()) + " -c:a aac " + q(file)).exitCode, 0);
    ASSERT_EQ(t::python(kTag, {file.string()}).exitCode, 0);
    const std::string audio = decoded(file);
    struct Case {
        std::string options;
        std::set<std::string> gone, added;
    } cases[] = {
        {"--title X", {"'\u00A9nam'='Old'"}, {"'\u00A9nam'='X'"}},
        {"--set '\u00A9ART=By Key' --set '----:com.apple.iTunes:MOOD=calm' --set 'My Field=mine' --remove "
         "ALBUMARTIST",
         {"'\u00A9ART'='Someone'", "'aART'='The Band'"},
         {"'\u00A9ART'='By Key'", "'----:com.apple.iTunes:MOOD'=MP4FreeForm(b'calm', <AtomDataType.UTF8: 1>)",
          "'----:com.apple.iTunes:My Field'=MP4FreeForm(b'mine', <AtomDataType.UTF8: 1>)"}},
    };
    for (const Case& c : cases) {
        const auto before = dump(file);
        const auto r = qoro("tag " + q(file) + " " + c.options);
        ASSERT_EQ(r.exitCode, 0) << c.options << ": " << r.output;
        std::set<std::string> want = before;
        for (const auto& line : c.gone) EXPECT_EQ(want.erase(line), 1u) << line;
        want.insert(c.added.begin(), c.added.end());
        EXPECT_EQ(dump(file), want) << c.options;
        EXPECT_EQ(decoded(file), audio) << c.options;
    }
}

}  // namespace
