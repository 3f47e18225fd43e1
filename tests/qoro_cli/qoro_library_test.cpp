// qoro convert on whole libraries: a mixed tree mirrored as MP3s with the
// tags mutagen reads and the cover images beside them, --update, lists of
// files (NUL- and newline-separated, from a file or standard input), shards
// run at the same time, collisions and usage errors refused before anything
// is written, links that lead back into the tree, unreadable folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "cli_support.h"
#include "shard.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;
namespace qc = ::qoro::cli;

namespace {

using t::cli::q;

t::CommandResult qoro(const std::string& args) { return t::cli::runQoro(args); }

// tests/qoro_cli/library_tags.py (mutagen) with Debian's python3.
t::CommandResult libraryTags(const std::string& args) {
    return t::run("/usr/bin/python3 " + q(fs::path(QORO_SOURCE_DIR) / "tests/qoro_cli/library_tags.py") + " " + args);
}

// Every file below 'root' (links and folders not listed), by relative path.
std::set<std::string> filesBelow(const fs::path& root) {
    std::set<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file()) files.insert(fs::relative(it->path(), root).string());
    return files;
}

std::map<std::string, fs::file_time_type> timesBelow(const fs::path& root) {
    std::map<std::string, fs::file_time_type> times;
    for (const auto& name : filesBelow(root)) times[name] = fs::last_write_time(root / name);
    return times;
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// The number in "N <word>" of qoro's summary line ("3 converted"), -1 when absent.
long countOf(const std::string& output, const std::string& word) {
    const size_t at = output.find(" " + word);
    if (at == std::string::npos) return -1;
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(output[start - 1]))) --start;
    return start == at ? -1 : std::stol(output.substr(start, at - start));
}

// The sources named on qoro's "ok" lines.
std::vector<std::string> convertedSources(const std::string& output) {
    std::vector<std::string> sources;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ok      ", 0) == 0) sources.push_back(line.substr(8, line.find(" -> ") - 8));
    return sources;
}

class QoroCliLibrary : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(t::binPath("qoro"))) << "qoro is not built";
        ASSERT_TRUE(fs::exists(t::binPath("libQoroAudioInformation.so"))) << "QoroAudioInformation is not built";
    }

    fs::path src() const { return dir / "src"; }

    // A 16-bit WAV of a test signal.
    fs::path wav(const fs::path& file, int rate = 22050, int channels = 1, double seconds = 0.5) {
        fs::create_directories(file.parent_path());
        t::writeWav16(file, rate, channels, t::testSignal(rate, channels, static_cast<int>(rate * seconds)));
        return file;
    }

    // A music library as people keep them: a 24-bit WAV tagged in RIFF INFO,
    // a plain WAV, an MP3 by lame tagged by mutagen with a front cover and
    // frames no converter manages, an Ogg Vorbis file by oggenc with comments
    // and a picture block, a FLAC file by flac tagged by metaflac with fields
    // of its own and a PICTURE block, an Opus file by opusenc with a picture
    // comment, cover images in three spellings, a text file and a hidden
    // folder.
    void makeLibrary() {
        QORO_REQUIRE_TOOLS("sox", "lame", "oggenc", "flac", "metaflac", "opusenc", "sha256sum");
        QORO_REQUIRE_MUTAGEN();
        const fs::path album = src() / "Artist A/Album 1";
        fs::create_directories(album);
        auto r =
            t::run("sox -n -r 44100 -c 2 -b 24 " + q(album / "01 Deep.wav") + " synth 1 sine 440 sine 660 vol 0.5");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        r = qoro("tag " + q(album / "01 Deep.wav") +
                 " --title 'Deep Title' --artist 'Wav Artist' --album 'Wav Album' --track 7");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        wav(album / "05 Plain.wav", 44100, 2, 1.0);
        t::writeBytes(album / "cover.jpg", randomBytes(3000, 1));
        t::writeBytes(album / "liner notes.txt", {'h', 'i', '\n'});

        const fs::path artistB = src() / "Artist B";
        fs::create_directories(artistB);
        fs::path pcm = wav(dir / "scratch/tone.wav", 44100, 2, 1.0);
        r = t::run("lame --quiet -b 128 " + q(pcm) + " " + q(artistB / "02 Lame.mp3"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(dir / "scratch/front-mp3.jpg", randomBytes(5000, 2));
        r = libraryTags("mp3 " + q(artistB / "02 Lame.mp3") + " 'Lame Title' 'Mp3 Artist' 'Mp3 Album' 2 " +
                        q(dir / "scratch/front-mp3.jpg"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(artistB / "front.png", randomBytes(700, 3));

        const fs::path night = artistB / "Live/Night";
        fs::create_directories(night);
        r = t::run("oggenc -Q -t 'Vorbis Title' -a 'Ogg Artist' -l 'Ogg Album' -N 3 -o " + q(night / "03 Vorbis.ogg") +
                   " " + q(pcm));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(dir / "scratch/front-ogg.jpg", randomBytes(4000, 4));
        r = libraryTags("ogg-picture " + q(night / "03 Vorbis.ogg") + " " + q(dir / "scratch/front-ogg.jpg"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(night / "Folder.JPG", randomBytes(900, 5));
        wav(src() / ".hidden/04 Hidden.wav");

        const fs::path artistC = src() / "Artist C";
        fs::create_directories(artistC);
        r = t::run("flac -s -o " + q(artistC / "06 Flac.flac") + " " + q(pcm));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(dir / "scratch/front-flac.png", randomBytes(6000, 6));
        r = t::run(
            "metaflac --set-tag='TITLE=Flac Title' --set-tag='ARTIST=Flac Artist' --set-tag='ALBUM=Flac Album' "
            "--set-tag=TRACKNUMBER=6 --set-tag='ALBUMARTIST=Various Artists' "
            "--set-tag=MUSICBRAINZ_TRACKID=0b1f4e9e-93f1-4b4e-9d0e-4f6c3d7c2a11 "
            "--import-picture-from=" +
            q("3|image/png||1x1x24|" + (dir / "scratch/front-flac.png").string()) + " " + q(artistC / "06 Flac.flac"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        r = t::run(
            "opusenc --quiet --title 'Opus Title' --artist 'Opus Artist' --album 'Opus Album' "
            "--comment TRACKNUMBER=7 --comment 'ALBUMARTIST=Opus Band' " +
            q(pcm) + " " + q(artistC / "07 Opus.opus"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        t::writeBytes(dir / "scratch/front-opus.jpg", randomBytes(2500, 7));
        r = libraryTags("ogg-picture " + q(artistC / "07 Opus.opus") + " " + q(dir / "scratch/front-opus.jpg"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    const std::set<std::string> kMirrored = {
        "Artist A/Album 1/01 Deep.mp3",
        "Artist A/Album 1/05 Plain.mp3",
        "Artist A/Album 1/cover.jpg",
        "Artist B/02 Lame.mp3",
        "Artist B/front.png",
        "Artist B/Live/Night/03 Vorbis.mp3",
        "Artist B/Live/Night/Folder.JPG",
        "Artist C/06 Flac.mp3",
        "Artist C/07 Opus.mp3",
    };

    t::TempDir dir;
};

TEST_F(QoroCliLibrary, TreeOfMixedSourcesBecomesAMirroredTreeOfMp3sWithTagsAndCovers) {
    makeLibrary();
    if (HasFailure()) return;
    auto r = qoro("convert -R " + q(src()) + " -o " + q(dir / "out") + " --to mp3 -j 2");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(filesBelow(dir / "out"), kMirrored) << r.output;
    EXPECT_EQ(countOf(r.output, "converted"), 6) << r.output;
    EXPECT_EQ(countOf(r.output, "covers copied"), 3) << r.output;

    // Each output is a whole MP3 of the source's length (ffprobe; the covers are no real images).
    QORO_REQUIRE_TOOLS("ffprobe");
    for (const auto& name : kMirrored) {
        if (fs::path(name).extension() != ".mp3") continue;
        auto p =
            t::run("ffprobe -v quiet -select_streams a -show_entries stream=codec_name:format=duration -of csv=p=0 " +
                   q(dir / "out" / name));
        EXPECT_EQ(p.output.substr(0, 3), "mp3") << name << ": " << p.output;
        const double seconds = std::atof(p.output.substr(p.output.find('\n') + 1).c_str());
        EXPECT_NEAR(seconds, 1.0, 0.08) << name;
    }

    // Cover images byte for byte; the text file and the hidden folder stay behind.
    for (const char* cover : {"Artist A/Album 1/cover.jpg", "Artist B/front.png", "Artist B/Live/Night/Folder.JPG"})
        EXPECT_EQ(t::readBytes(dir / "out" / cover), t::readBytes(src() / cover)) << cover;

    // mutagen reads the same title, artist, album, track and front cover
    // (APIC bytes against the source's APIC, FLAC PICTURE block or
    // METADATA_BLOCK_PICTURE) from each MP3 as from its source (the WAV's
    // RIFF INFO, which mutagen does not read, holds what qoro tag wrote).
    auto read = [](const fs::path& file) {
        auto x = libraryTags("read " + q(file));
        EXPECT_EQ(x.exitCode, 0) << x.output;
        return x.output.substr(0, x.output.find('\n'));
    };
    auto fields = [](const fs::path& file) {
        auto x = libraryTags("fields " + q(file));
        EXPECT_EQ(x.exitCode, 0) << x.output;
        return x.output;
    };
    auto cover = [](const fs::path& file) { return t::run("sha256sum " + q(file)).output.substr(0, 64); };
    const std::string night = "Artist B/Live/Night/03 Vorbis";
    EXPECT_EQ(read(src() / "Artist B/02 Lame.mp3"),
              "Lame Title\tMp3 Artist\tMp3 Album\t2\t" + cover(dir / "scratch/front-mp3.jpg"));
    EXPECT_EQ(read(dir / "out/Artist B/02 Lame.mp3"), read(src() / "Artist B/02 Lame.mp3"));
    EXPECT_EQ(read(src() / (night + ".ogg")),
              "Vorbis Title\tOgg Artist\tOgg Album\t3\t" + cover(dir / "scratch/front-ogg.jpg"));
    EXPECT_EQ(read(dir / "out" / (night + ".mp3")), read(src() / (night + ".ogg")));
    EXPECT_EQ(read(src() / "Artist C/06 Flac.flac"),
              "Flac Title\tFlac Artist\tFlac Album\t6\t" + cover(dir / "scratch/front-flac.png"));
    EXPECT_EQ(read(dir / "out/Artist C/06 Flac.mp3"), read(src() / "Artist C/06 Flac.flac"));
    EXPECT_EQ(read(src() / "Artist C/07 Opus.opus"),
              "Opus Title\tOpus Artist\tOpus Album\t7\t" + cover(dir / "scratch/front-opus.jpg"));
    EXPECT_EQ(read(dir / "out/Artist C/07 Opus.mp3"), read(src() / "Artist C/07 Opus.opus"));
    EXPECT_EQ(read(dir / "out/Artist A/Album 1/01 Deep.mp3"), "Deep Title\tWav Artist\tWav Album\t7\t-");
    EXPECT_EQ(read(dir / "out/Artist A/Album 1/05 Plain.mp3"), "\t\t\t\t-");

    // Fields beyond those travel in the frames the map gives them (FLAC and
    // Opus comments into TPE2 and UFID; opusenc's ENCODER stays behind), the
    // MP3's own TXXX frame as it was and its track total in TRCK.
    EXPECT_EQ(fields(dir / "out/Artist B/02 Lame.mp3"), "TOTALTRACKS=12\nTXXX:CATALOG=QX-0042\n");
    EXPECT_EQ(fields(dir / "out/Artist C/06 Flac.mp3"), fields(src() / "Artist C/06 Flac.flac"));
    EXPECT_EQ(fields(src() / "Artist C/06 Flac.flac"),
              "ALBUMARTIST=Various Artists\nMUSICBRAINZ_TRACKID=0b1f4e9e-93f1-4b4e-9d0e-4f6c3d7c2a11\n");
    EXPECT_EQ(fields(dir / "out/Artist C/07 Opus.mp3"), "ALBUMARTIST=Opus Band\n");
}

// And back: the MP3s converted to FLAC and Opus hold the fields and the
// cover again as Vorbis comments and pictures, as mutagen reads them.
TEST_F(QoroCliLibrary, FieldsAndCoverTravelBackIntoFlacAndOpus) {
    makeLibrary();
    if (HasFailure()) return;
    auto r = qoro("convert -R " + q(src() / "Artist C") + " -o " + q(dir / "mp3") + " --to mp3");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto original = libraryTags("read " + q(src() / "Artist C/06 Flac.flac"));
    const auto originalFields = libraryTags("fields " + q(src() / "Artist C/06 Flac.flac"));
    for (const char* to : {"flac", "opus"}) {
        SCOPED_TRACE(to);
        const fs::path out = dir / to;
        r = qoro("convert -R " + q(dir / "mp3") + " -o " + q(out) + " --to " + to);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const fs::path back = out / (std::string("06 Flac.") + to);
        EXPECT_EQ(libraryTags("read " + q(back)).output, original.output);
        EXPECT_EQ(libraryTags("fields " + q(back)).output, originalFields.output);
    }
}

// info shows the fields beyond the properties and the front cover; --json
// lists them in file order with the cover's type and length.
TEST_F(QoroCliLibrary, InfoListsTheOtherFieldsAndTheFrontCover) {
    makeLibrary();
    if (HasFailure()) return;
    const fs::path flac = src() / "Artist C/06 Flac.flac";
    auto r = qoro("info " + q(flac));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("  ALBUMARTIST:   Various Artists\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("  front cover:   image/png, 6000 bytes\n"), std::string::npos) << r.output;
    r = t::run(q(t::binPath("qoro")) + " info --json " + q(flac) + " " + q(src() / "Artist B/02 Lame.mp3") + " " +
               q(src() / "Artist A/Album 1/05 Plain.wav") +
               " | /usr/bin/python3 -c 'import json,sys\nfor x in json.load(sys.stdin): "
               "print([(f[\"name\"], f[\"value\"]) for f in x[\"fields\"]], x[\"frontCover\"])'");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output,
              "[('ALBUMARTIST', 'Various Artists'), ('MUSICBRAINZ_TRACKID', '0b1f4e9e-93f1-4b4e-9d0e-4f6c3d7c2a11')] "
              "{'mimeType': 'image/png', 'bytes': 6000}\n"
              "[('TOTALTRACKS', '12'), ('CATALOG', 'QX-0042')] {'mimeType': 'image/jpeg', 'bytes': 5000}\n"
              "[] None\n");
}

TEST_F(QoroCliLibrary, UpdateConvertsOnlyWhatIsMissingOrOlder) {
    makeLibrary();
    if (HasFailure()) return;
    const std::string command = "convert -R " + q(src()) + " -o " + q(dir / "out") + " --to mp3 --update";
    auto r = qoro(command);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(countOf(r.output, "converted"), 6) << r.output;
    const auto first = timesBelow(dir / "out");
    ASSERT_EQ(first.size(), kMirrored.size());

    // Nothing changed: nothing converted, no output touched (covers included).
    r = qoro(command);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(countOf(r.output, "converted"), 0) << r.output;
    EXPECT_EQ(countOf(r.output, "up to date"), 6) << r.output;
    EXPECT_EQ(countOf(r.output, "covers copied"), 0) << r.output;
    EXPECT_EQ(timesBelow(dir / "out"), first);

    // One source changed after its output, one output gone: those two only.
    const fs::path changed = src() / "Artist B/02 Lame.mp3";
    fs::last_write_time(changed, first.at("Artist B/02 Lame.mp3") + std::chrono::seconds(5));
    fs::remove(dir / "out/Artist A/Album 1/05 Plain.mp3");
    r = qoro(command);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(countOf(r.output, "converted"), 2) << r.output;
    EXPECT_EQ(countOf(r.output, "up to date"), 4) << r.output;
    const auto after = timesBelow(dir / "out");
    for (const auto& [name, time] : first) {
        const bool redone = name == "Artist B/02 Lame.mp3" || name == "Artist A/Album 1/05 Plain.mp3";
        ASSERT_TRUE(after.count(name)) << name;
        if (redone)
            EXPECT_GT(after.at(name), time) << name;
        else
            EXPECT_EQ(after.at(name), time) << name;
    }
}

TEST_F(QoroCliLibrary, FilesFromListsSeparatedByNulOrNewlineFromAFileOrStandardInput) {
    wav(dir / "in/odd\nname.wav");
    wav(dir / "in/b.wav");
    wav(dir / "in/sub/c.wav");
    t::writeBytes(dir / "in/sub/cover.jpg", randomBytes(100, 6));
    const std::string cd = "cd " + q(dir.path()) + " && ";
    const std::string run = q(t::binPath("qoro")) + " convert --to wav --rate 8000 ";

    // NUL-separated (as find -print0 writes it): a name holding a newline;
    // relative entries are mirrored under -o as given.
    const std::string nul("in/odd\nname.wav\0./in/sub/c.wav\0", 31);
    t::writeBytes(dir / "list0", std::vector<uint8_t>(nul.begin(), nul.end()));
    auto r = t::run(cd + run + "--files-from list0 -o out1");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(filesBelow(dir / "out1"), (std::set<std::string>{"in/odd\nname.wav", "in/sub/c.wav"}));

    // Newline-separated from standard input; an absolute entry goes below
    // -o at its absolute path. Without -R no cover travels.
    const fs::path absolute = fs::absolute(dir / "in/sub/c.wav");
    r = t::run(cd + "printf '%s\\n%s\\n' in/b.wav " + q(absolute) + " | " + run + "--files-from - -o out2");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(filesBelow(dir / "out2"),
              (std::set<std::string>{"in/b.wav", absolute.relative_path().lexically_normal().string()}));

    // With -R a listed folder is walked, and its covers travel.
    r = t::run(cd + "printf 'in\\n' | " + run + "-R --files-from - -o out3");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(filesBelow(dir / "out3"),
              (std::set<std::string>{"in/odd\nname.wav", "in/b.wav", "in/sub/c.wav", "in/sub/cover.jpg"}));
    for (const auto& name : filesBelow(dir / "out3"))
        if (name != "in/sub/cover.jpg" && t::requireTool("ffprobe")) {
            auto p = t::run("ffprobe -v error -show_entries stream=sample_rate,duration -of csv=p=0 " +
                            q(dir / "out3" / name));
            EXPECT_EQ(p.output, "8000,0.500000\n") << name;
        }

    // A folder listed without -R, an empty entry inside the list, a list
    // that cannot be read: refused, nothing written.
    r = t::run(cd + "printf 'in\\n' | " + run + "--files-from - -o out4");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("in: is a folder"), std::string::npos) << r.output;
    r = t::run(cd + "printf 'in/b.wav\\n\\nin/sub/c.wav\\n' | " + run + "--files-from - -o out4");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("entry 2 of the list is empty"), std::string::npos) << r.output;
    r = t::run(cd + run + "--files-from no-such-list -o out4");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("cannot read the list no-such-list: No such file or directory"), std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(dir / "out4"));
}

TEST(QoroCliShard, HashIsFnv1a64AndShardsAreCheckedWholly) {
    // Published FNV-1a test vectors.
    EXPECT_EQ(qc::fnv1a64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(qc::fnv1a64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(qc::fnv1a64("foobar"), 0x85944171f73967e8ull);
    // A UTF-8 name hashes its bytes, each taken as 0-255 (worked out with
    // Python's integers from the definition).
    EXPECT_EQ(qc::fnv1a64("disc/\xc3\xa9.wav"), 0x210c35730159174dull);

    // Shares of a library's names are even: 100,000 names over 1000 shards
    // (100 expected each) give none below 50 or above 160.
    std::vector<int> sizes(1000);
    for (int i = 0; i < 100000; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "music/Artist %d/Album %d/%02d Track %d.wav", i / 100, i / 10 % 10,
                      i % 10 + 1, i);
        ++sizes[qc::Shard::of(name, 1000)];
    }
    EXPECT_GE(*std::min_element(sizes.begin(), sizes.end()), 50);
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), 160);

    auto shard = qc::parseShard("2/3");
    ASSERT_TRUE(shard);
    EXPECT_EQ(shard->index, 2u);
    EXPECT_EQ(shard->count, 3u);
    for (const char* bad :
         {"3/3", "x", "1/0", "-1/3", "1/", "/3", "1/3/", " 1/3", "1/ 3", "+1/3", "99999999999999999999/3"})
        EXPECT_FALSE(qc::parseShard(bad)) << bad;
}

TEST_F(QoroCliLibrary, ShardsRunTogetherConvertEveryFileExactlyOnce) {
    std::set<std::string> expected;
    for (int folder = 0; folder < 4; ++folder) {
        const std::string name = "disc " + std::to_string(folder);
        for (int track = 0; track < 4; ++track) {
            const std::string file = name + "/sub/t" + std::to_string(track) + ".wav";
            wav(src() / file, 8000, 1, 0.25 + 0.05 * track);
            expected.insert(file);
        }
        t::writeBytes(src() / name / "sub/cover.jpg", randomBytes(2000, 10 + folder));
        expected.insert(name + "/sub/cover.jpg");
    }
    const std::string common = "convert -R " + q(src()) + " --to wav --rate 11025 -j 1 ";
    auto whole = qoro(common + "-o " + q(dir / "whole"));
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    ASSERT_EQ(filesBelow(dir / "whole"), expected);

    // Three processes at once on one tree and one output folder.
    std::string script;
    for (int k = 0; k < 3; ++k)
        script += "(" + q(t::binPath("qoro")) + " " + common + "--shard " + std::to_string(k) + "/3 -o " +
                  q(dir / "out") + " > " + q(dir / ("log" + std::to_string(k))) + " 2>&1; echo $? > " +
                  q(dir / ("rc" + std::to_string(k))) + ") & ";
    auto r = t::run(script + "wait");
    ASSERT_EQ(r.exitCode, 0) << r.output;

    std::map<std::string, int> converted;  // relative source path -> times
    long total = 0;
    for (int k = 0; k < 3; ++k) {
        const auto rc = t::readBytes(dir / ("rc" + std::to_string(k)));
        const auto bytes = t::readBytes(dir / ("log" + std::to_string(k)));
        const std::string log(bytes.begin(), bytes.end());
        EXPECT_EQ(std::string(rc.begin(), rc.end()), "0\n") << log;
        for (const auto& source : convertedSources(log)) {
            const std::string relative = fs::relative(source, src()).string();
            ++converted[relative];
            const auto share = static_cast<uint64_t>((static_cast<unsigned __int128>(qc::fnv1a64(relative)) * 3) >> 64);
            EXPECT_EQ(share, static_cast<uint64_t>(k)) << relative << " in shard " << k;
        }
        total += countOf(log, "converted");
        EXPECT_EQ(countOf(log, "converted") + countOf(log, "in other shards"), 16) << log;
    }
    EXPECT_EQ(total, 16);
    EXPECT_EQ(converted.size(), 16u);
    for (const auto& [name, times] : converted) EXPECT_EQ(times, 1) << name;
    // The union is the unsharded run, byte for byte, and no temporary is left.
    EXPECT_EQ(filesBelow(dir / "out"), expected);
    for (const auto& name : expected)
        EXPECT_EQ(t::readBytes(dir / "out" / name), t::readBytes(dir / "whole" / name)) << name;
}

TEST_F(QoroCliLibrary, TwoSourcesForOneTargetAreRefusedBeforeAnythingIsWritten) {
    QORO_REQUIRE_TOOLS("oggenc");
    fs::path pcm = wav(src() / "x/a.wav", 44100, 2, 0.5);
    auto r = t::run("oggenc -Q -o " + q(src() / "x/a.ogg") + " " + q(pcm));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    wav(src() / "x/b.wav");
    t::writeBytes(src() / "x/cover.jpg", randomBytes(100, 7));
    r = qoro("convert -R " + q(src()) + " -o " + q(dir / "out") + " --to mp3");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("a.mp3: output of both"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out")) << "nothing written, not b.mp3, not the cover, not the folder";
    // Every shard refuses, also the one that holds only one of the two.
    for (const char* shard : {"0/2", "1/2"}) {
        r = qoro("convert -R " + q(src()) + " -o " + q(dir / "out") + " --to mp3 --shard " + shard);
        EXPECT_EQ(r.exitCode, 2) << shard << ": " << r.output;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(QoroCliLibrary, UsageErrorsWriteNothing) {
    wav(src() / "a.wav");
    const std::string tail = " -R " + q(src()) + " --to wav -o " + q(dir / "out");
    const std::pair<const char*, const char*> cases[] = {
        {"--update -f", "--update excludes --overwrite"},
        {"--update --skip-existing", "--update excludes --skip-existing"},
        {"--shard 3/3", "invalid --shard 3/3"},
        {"--shard x", "invalid --shard x"},
        {"--shard 1/0", "invalid --shard 1/0"},
        {"--from raw:44100:2:16", "--from describes the files named"},
        {"--from raw:44100:3:16", "1 or 2 channels"},
        {"--from wav", "raw:RATE:CHANNELS:BITS"},
        {"--files-from", "needs a value"},
    };
    for (const auto& [options, message] : cases) {
        auto r = qoro("convert" + tail + " " + options);  // last, so --files-from lacks its value
        EXPECT_EQ(r.exitCode, 2) << options << ": " << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << options << ": " << r.output;
    }
    // A folder without -R.
    auto r = qoro("convert " + q(src()) + " --to wav -o " + q(dir / "out"));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// What a walk leaves is counted: audio of formats not read by extension, in
// the order met, and other files apart; --verbose names each. They fail
// nothing; an unsupported file named on the command line does. A type read
// is taken by each of its extensions (AIFF by .aif, .aiff and .aifc).
TEST_F(QoroCliLibrary, FilesLeftForTheirKindAreCountedAndNamedFilesFail) {
    QORO_REQUIRE_TOOLS("sox");
    wav(src() / "a/1.wav");
    fs::create_directories(src() / "b");
    for (const auto& [name, kind] : {std::pair{"a/5.aif", "aiff"}, {"b/6.aiff", "aiff"}, {"b/7.AIFC", "aifc"}}) {
        const auto r = t::run(std::string("sox -n -r 22050 -c 1 -b 16 -t ") + kind + " " + q(src() / name) +
                              " synth 0.2 sine 440");
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    t::writeBytes(src() / "a/2.au", randomBytes(4000, 8));
    t::writeBytes(src() / "b/3.spx", randomBytes(4000, 9));
    t::writeBytes(src() / "b/4.AU", randomBytes(4000, 10));
    t::writeBytes(src() / "b/notes.txt", {'h', 'i', '\n'});
    t::writeBytes(src() / "b/cover.jpg", randomBytes(100, 11));
    auto r = qoro("convert -R -v " + q(src()) + " --to wav -o " + q(dir / "out"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("4 converted, 0 skipped, 0 failed, 3 not converted: unsupported format (au 2, spx 1)"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(countOf(r.output, "other files"), 1) << r.output;
    for (const char* name : {"a/2.au", "b/3.spx", "b/4.AU"})
        EXPECT_NE(r.output.find("not converted  " + (src() / name).string() + ": unsupported format"),
                  std::string::npos)
            << name << ": " << r.output;
    EXPECT_NE(r.output.find("passed over  " + (src() / "b/notes.txt").string()), std::string::npos) << r.output;
    EXPECT_EQ(filesBelow(dir / "out"),
              (std::set<std::string>{"a/1.wav", "a/5.wav", "b/6.wav", "b/7.wav", "b/cover.jpg"}));

    // Named: a failure with its cause, and the others are converted.
    r = qoro("convert " + q(src() / "a/2.au") + " " + q(src() / "a/1.wav") + " --to wav -o " + q(dir / "named"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("FAILED  " + (src() / "a/2.au").string() + ": "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 converted, 0 skipped, 0 failed, 1 not converted: unsupported format (au 1)"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(filesBelow(dir / "named"), (std::set<std::string>{"1.wav"}));
}

TEST_F(QoroCliLibrary, LinksBackIntoTheTreeAreNotFollowedAndUnreadableFoldersAreReported) {
    wav(src() / "a/x.wav");
    fs::create_directory_symlink("..", src() / "a/loop");  // back to src
    fs::create_directory_symlink("a", src() / "link");     // a second way to a: followed
    wav(src() / "locked/y.wav");
    wav(src() / "open/z.wav");
    fs::permissions(src() / "locked", fs::perms::none);
    // Permissions do not stop root: run qoro as nobody then.
    std::string prefix;
    if (::geteuid() == 0) {
        QORO_REQUIRE_TOOLS("setpriv");
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        fs::permissions(dir.path(), fs::perms::all);
        for (const char* d : {"src", "src/a", "src/open"}) fs::permissions(dir / d, fs::perms::all);
    }
    auto r = t::run(prefix + q(t::binPath("qoro")) + " convert -R " + q(src()) + " --to wav -o " + q(dir / "out"));
    fs::permissions(src() / "locked", fs::perms::owner_all);
    EXPECT_EQ(r.exitCode, 1) << "a folder left out is a failure: " << r.output;
    EXPECT_NE(r.output.find((src() / "locked").string() + ": cannot read the folder: Permission denied; skipped"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("loop: leads back into a folder above it; not followed"), std::string::npos) << r.output;
    EXPECT_EQ(filesBelow(dir / "out"), (std::set<std::string>{"a/x.wav", "link/x.wav", "open/z.wav"})) << r.output;
    EXPECT_EQ(countOf(r.output, "folders unreadable"), 1) << r.output;
}

}  // namespace

namespace {

// ffmpeg's integrated loudness (its ebur128 filter, one decimal) of files
// played one after another.
// Runs a command that must succeed.
void sh(const std::string& command) {
    const auto r = t::run(command);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.output;
}

double ffmpegLoudness(const std::vector<fs::path>& files) {
    std::string inputs, pads;
    for (size_t i = 0; i < files.size(); ++i) {
        inputs += " -i " + q(files[i]);
        pads += "[" + std::to_string(i) + ":a]";
    }
    const auto r = t::run("ffmpeg -nostats -hide_banner" + inputs + " -filter_complex '" + pads +
                          "concat=n=" + std::to_string(files.size()) + ":v=0:a=1,ebur128' -f null - 2>&1");
    const size_t at = r.output.rfind(" I:");
    return at == std::string::npos ? 0.0 : std::atof(r.output.c_str() + at + 3);
}

// The values of the loudness fields of each file, as mutagen reads them
// ("name=value" per value; TXXX frames by their description).
std::map<std::string, std::vector<std::string>> gainsOf(const fs::path& file) {
    const auto r = t::python(
        "import sys, mutagen\nf = mutagen.File(sys.argv[1])\n"
        "for k, v in f.tags.items():\n"
        "    k = k[5:] if k.startswith('TXXX:') else k\n"
        "    if 'REPLAYGAIN' in k.upper() or 'R128' in k.upper():\n"
        "        for x in (v.text if hasattr(v, 'text') else v): print(k.upper() + '=' + str(x))\n",
        {file.string()});
    std::map<std::string, std::vector<std::string>> out;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        if (const size_t eq = line.find('='); eq != std::string::npos)
            out[line.substr(0, eq)].push_back(line.substr(eq + 1));
    return out;
}

double gainValue(const std::map<std::string, std::vector<std::string>>& g, const std::string& name) {
    const auto found = g.find(name);
    return found == g.end() || found->second.size() != 1 ? 999.0 : std::atof(found->second.front().c_str());
}

}  // namespace

// --replaygain album: each track's gain is ffmpeg's loudness of it to -18
// LUFS, the album's that of its tracks played together (three tracks more
// than 1 LU apart); FLAC and MP3 carry REPLAYGAIN_*, Opus R128_* integers to
// -23 LUFS and no REPLAYGAIN_*; a second run leaves one value of each.
TEST_F(QoroCliLibrary, ReplayGainMeasuresTracksAndAlbumsAsFfmpegDoes) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    const std::vector<std::pair<std::string, std::string>> tracks = {
        {"A/1.wav", "pinknoise gain -12"}, {"A/2.wav", "sine 440 gain -20"}, {"A/3.wav", "pinknoise gain -28"},
        {"B/4.wav", "sine 1000 gain -9"}};
    for (const auto& [name, synth] : tracks) {
        fs::create_directories((src() / name).parent_path());
        sh("sox -D -R -n -r 44100 -c 2 -b 16 " + q(src() / name) + " synth 4 " + synth);
    }
    const std::vector<fs::path> albumA = {src() / "A/1.wav", src() / "A/2.wav", src() / "A/3.wav"};
    const double albumLoudness = ffmpegLoudness(albumA);
    for (const char* to : {"flac", "mp3", "opus"}) {
        SCOPED_TRACE(to);
        for (int run = 0; run < 2; ++run) {
            const auto r = t::cli::runQoro("convert -R " + q(src()) + " --to " + to + " --replaygain album -f -o " + q(dir / to));
            ASSERT_EQ(r.exitCode, 0) << r.output;
            EXPECT_NE(r.output.find("2 albums tagged"), std::string::npos) << r.output;
        }
        const bool opus = std::string(to) == "opus";
        for (const auto& [name, synth] : tracks) {
            SCOPED_TRACE(name);
            const fs::path out = (dir / to / name).replace_extension(to);
            const auto g = gainsOf(out);
            const double track = ffmpegLoudness({src() / name});
            const double album = name[0] == 'A' ? albumLoudness : track;
            if (opus) {
                EXPECT_EQ(g.size(), 2u);  // R128_TRACK_GAIN and R128_ALBUM_GAIN only
                EXPECT_NEAR(gainValue(g, "R128_TRACK_GAIN") / 256, -23 - track, 0.15);
                EXPECT_NEAR(gainValue(g, "R128_ALBUM_GAIN") / 256, -23 - album, 0.15);
                continue;
            }
            EXPECT_EQ(g.size(), 5u);
            EXPECT_NEAR(gainValue(g, "REPLAYGAIN_TRACK_GAIN"), -18 - track, 0.15);
            EXPECT_NEAR(gainValue(g, "REPLAYGAIN_ALBUM_GAIN"), -18 - album, 0.15);
            EXPECT_EQ(g.at("REPLAYGAIN_REFERENCE_LOUDNESS"), std::vector<std::string>{"-18.00 LUFS"});
            const std::string peak = g.at("REPLAYGAIN_TRACK_PEAK").front();
            EXPECT_EQ(peak.size(), 8u) << peak;  // "0.123456"
        }
    }
}

// An album stays in one shard (its folder is hashed); with --update a
// changed track has the whole album measured again, the tracks up to date
// decoded and their album values rewritten; an album with a failed track
// gets no album values.
TEST_F(QoroCliLibrary, ReplayGainAlbumsStayWholeAcrossShardsUpdatesAndFailures) {
    QORO_REQUIRE_TOOLS("sox");
    QORO_REQUIRE_MUTAGEN();
    for (int folder = 0; folder < 3; ++folder)
        for (int track = 0; track < 3; ++track) {
            const fs::path file = src() / ("disc " + std::to_string(folder)) / ("t" + std::to_string(track) + ".wav");
            fs::create_directories(file.parent_path());
            sh("sox -D -R -n -r 22050 -c 1 -b 16 " + q(file) + " synth 2 pinknoise gain -" +
                       std::to_string(10 + 6 * track + folder));
        }
    const std::string common = "convert -R " + q(src()) + " --to flac --replaygain album -o " + q(dir / "out");
    std::map<std::string, int> shardOf;  // folder -> shard
    for (int k = 0; k < 2; ++k) {
        const auto r = t::cli::runQoro(common + " --shard " + std::to_string(k) + "/2");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        for (const auto& source : convertedSources(r.output)) {
            const std::string folder = fs::path(source).parent_path().filename().string();
            EXPECT_EQ(shardOf.try_emplace(folder, k).first->second, k) << source;
        }
    }
    ASSERT_EQ(filesBelow(dir / "out").size(), 9u);
    const fs::path kept = dir / "out/disc 1/t0.flac";
    const double before = gainValue(gainsOf(kept), "REPLAYGAIN_ALBUM_GAIN");
    // A louder third track: the album's gain moves for the tracks not converted again.
    sh("sox -D -R -n -r 22050 -c 1 -b 16 " + q(src() / "disc 1/t2.wav") + " synth 2 pinknoise gain -3");
    fs::last_write_time(src() / "disc 1/t2.wav", fs::file_time_type::clock::now() + std::chrono::seconds(5));
    auto r = t::cli::runQoro(common + " --update");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(convertedSources(r.output).size(), 1u) << r.output;
    const auto now = gainsOf(kept);
    EXPECT_LT(gainValue(now, "REPLAYGAIN_ALBUM_GAIN"), before - 1.0);
    EXPECT_EQ(gainValue(now, "REPLAYGAIN_ALBUM_GAIN"), gainValue(gainsOf(dir / "out/disc 1/t2.flac"), "REPLAYGAIN_ALBUM_GAIN"));

    // A damaged track: the album's other tracks keep their own gains only.
    t::writeBytes(src() / "disc 2/t1.wav", randomBytes(3000, 7));
    r = t::cli::runQoro(common + " -f");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    const auto other = gainsOf(dir / "out/disc 2/t0.flac");
    EXPECT_EQ(other.count("REPLAYGAIN_TRACK_GAIN"), 1u);
    EXPECT_EQ(other.count("REPLAYGAIN_ALBUM_GAIN"), 0u) << r.output;
}
