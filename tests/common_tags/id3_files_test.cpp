// ID3v2 on files as users have them: lame MP3s tagged by mutagen (2.3, 2.4),
// by ffmpeg, and with a 2.2 tag, carrying cover art, lyrics, ratings, private
// and binary frames, comments in two languages and iTunes' machine comment.
// One change through the writer must leave everything else as mutagen reads
// it, one 2.3 tag at the start and the audio bytes as they were; the decoder
// must skip such tags.
#include <gtest/gtest.h>

#include <regex>

#include "id3_fixtures.h"
#include "mpeg_file_decoder.h"
#include "tags/id3v2.h"
#include "test_support.h"

namespace tags = qoro::tags;
using namespace qoro::test;
using Bytes = std::vector<uint8_t>;

namespace {

tags::TagRecord readRecord(const fs::path& file) {
    tags::TagRecord r;
    auto t = tags::readId3v2(file.string());
    EXPECT_TRUE(t) << file;
    if (t) t->applyTo(r);
    return r;
}

Bytes afterTags(const Bytes& b) { return Bytes(b.begin() + static_cast<long>(id3::tagsEnd(b)), b.end()); }

// The "DIFF" lines of mutagen's comparison.
std::vector<std::string> differences(const std::string& report) {
    std::vector<std::string> out;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("DIFF ", 0) == 0) out.push_back(line);
    return out;
}

std::vector<int16_t> decodeAll(const fs::path& file, int* durationMs = nullptr) {
    qoro::mpeg::MpegFileDecoder dec;
    EXPECT_EQ(dec.open(file.string()), 0) << file;
    if (durationMs) *durationMs = dec.facts().durationMs;
    std::vector<int16_t> pcm, buf(8 * 4608);
    while (const size_t n = dec.read(buf.data(), buf.size() * 2))
        pcm.insert(pcm.end(), buf.begin(), buf.begin() + long(n / 2));
    return pcm;
}

struct RichFiles {
    TempDir dir;
    fs::path audio, cover;
    RichFiles() {
        audio = id3::lameMp3(dir, "plain.mp3");
        cover = id3::coverJpeg(dir);
    }
    fs::path tagged(int version, const std::string& name) {
        const fs::path out = dir / name;
        if (version == 2)
            id3::ownV22Tagged(audio, out, cover);
        else
            id3::mutagenTagged(audio, out, version, cover);
        return out;
    }
};

}  // namespace

class RichTag : public ::testing::TestWithParam<int> {};

TEST_P(RichTag, ATitleChangeKeepsEverythingElse) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    const int version = GetParam();
    RichFiles files;
    const fs::path original = files.tagged(version, "original.mp3");
    const fs::path file = files.dir / "changed.mp3";
    fs::copy_file(original, file);
    const Bytes before = readBytes(file);
    ASSERT_GT(id3::tagsEnd(before), 28000u);  // the cover is in the tag

    // What reading gives.
    auto tag = tags::readId3v2(file.string());
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->version, version);
    tags::TagRecord r;
    tag->applyTo(r);
    EXPECT_EQ(r.title, "Old Title");
    EXPECT_EQ(r.track, 3);
    EXPECT_EQ(r.comments, "English comment");
    if (version == 2) {
        EXPECT_EQ(r.artist, "Artist Twö ✓");
        EXPECT_EQ(r.year, 1999);
        EXPECT_EQ(r.genre, 17);
    } else {
        // mutagen joins the two artists with "/" in 2.3 and a zero in 2.4.
        EXPECT_EQ(r.artist, version == 3 ? "Artist One/Artist Twö" : "Artist One; Artist Twö");
        EXPECT_EQ(r.album, "Album ✓");
        EXPECT_EQ(r.year, 2011);
        EXPECT_EQ(r.genre, 12);  // "Chillwave"
        EXPECT_EQ(r.url, "http://example.org/artist");
    }

    // The caller puts every property back, the title changed.
    r.title = "New Title";
    ASSERT_FALSE(tags::writeId3v2(file.string(), r));
    const Bytes after = readBytes(file);
    EXPECT_EQ(id3::tagCount(after), 1);
    EXPECT_EQ(after[3], 3);
    EXPECT_EQ(afterTags(after), afterTags(before));  // audio and the ID3v1 tag at the end

    const std::string report = id3::mutagenDiff(original, file);
    EXPECT_EQ(differences(report),
              std::vector<std::string>{"DIFF TIT2: TIT2(text=['Old Title']) | TIT2(text=['New Title'])"})
        << report;
    EXPECT_NE(report.find("VERSION 2." + std::to_string(version) + " 2.3"), std::string::npos) << report;
    std::smatch frames;
    ASSERT_TRUE(std::regex_search(report, frames, std::regex("FRAMES (\\d+) (\\d+)"))) << report;
    EXPECT_EQ(frames[1], frames[2]) << report;
    EXPECT_EQ(std::stoi(frames[2]), version == 2 ? 16 : 19) << report;

    // Our reader sees the record that was written; writing it once more
    // changes no byte.
    EXPECT_EQ(readRecord(file), r);
    ASSERT_FALSE(tags::writeId3v2(file.string(), r));
    EXPECT_EQ(readBytes(file), after);
}

INSTANTIATE_TEST_SUITE_P(Versions, RichTag, ::testing::Values(2, 3, 4),
                         [](const auto& info) { return "Id3v2_" + std::to_string(info.param); });

TEST(RichTagChanges, CommentGenreAndArtistAreWrittenAnewAlone) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    RichFiles files;
    const fs::path original = files.tagged(4, "original.mp3");
    const fs::path file = files.dir / "changed.mp3";
    fs::copy_file(original, file);
    tags::TagRecord r = readRecord(file);
    r.comments = "Neuer Kommentar ü";
    tags::setGenreIndex(r, 17);
    r.artist = "Solo";
    ASSERT_FALSE(tags::writeId3v2(file.string(), r));
    const std::string report = id3::mutagenDiff(original, file);
    const auto diff = differences(report);
    ASSERT_EQ(diff.size(), 3u) << report;
    EXPECT_EQ(diff[0],
              "DIFF COMM::eng: COMM(lang='eng', desc='', text=['English comment']) | "
              "COMM(lang='eng', desc='', text=['Neuer Kommentar ü'])");
    EXPECT_EQ(diff[1], "DIFF TCON: TCON(text=['Chillwave']) | TCON(text=['Rock'])");  // mutagen's reading of "(17)Rock"
    EXPECT_EQ(diff[2], "DIFF TPE1: TPE1(text=['Artist One', 'Artist Twö']) | TPE1(text=['Solo'])");
    const tags::TagRecord back = readRecord(file);
    for (const auto& f : tags::kFields) EXPECT_EQ(tags::fieldText(back, f.field), tags::fieldText(r, f.field)) << f.name;
    // The other comments are there as they were.
    EXPECT_EQ(id3::mutagenFrame(file, "COMM::deu"), "['Deutscher Kommentar ä']");
    EXPECT_EQ(id3::mutagenFrame(file, "COMM:iTunNORM:eng"), "[' 00000A2B 00000B3C 00001234 00002345']");
}

TEST(FfmpegTags, Version24ReadAndReplaced) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    writeWav16(dir / "src.wav", 44100, 2, testSignal(44100, 2, 44100));
    const fs::path file = dir / "ffmpeg.mp3";
    // ffmpeg's defaults: ID3v2.4 with UTF-8 text where needed.
    const auto res = run("ffmpeg -v error -y -i " + shellQuote((dir / "src.wav").string()) +
                         " -metadata title='Ünïcode 音楽' -metadata artist='Some Artist' -metadata album=Album"
                         " -metadata date=2020 -metadata track=5/10 -metadata genre=Jazz -c:a libmp3lame -b:a 128k " +
                         shellQuote(file.string()));
    ASSERT_EQ(res.exitCode, 0) << res.output;
    auto tag = tags::readId3v2(file.string());
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->version, 4);
    tags::TagRecord r = readRecord(file);
    EXPECT_EQ(r.title, "Ünïcode 音楽");
    EXPECT_EQ(r.artist, "Some Artist");
    EXPECT_EQ(r.album, "Album");
    EXPECT_EQ(r.year, 2020);
    EXPECT_EQ(r.track, 5);
    EXPECT_EQ(r.genre, 8);

    fs::copy_file(file, dir / "original.mp3");
    const Bytes before = readBytes(file);
    r.title = "Plain";
    ASSERT_FALSE(tags::writeId3v2(file.string(), r));
    const Bytes after = readBytes(file);
    EXPECT_EQ(id3::tagCount(after), 1);
    EXPECT_EQ(afterTags(after), afterTags(before));
    const std::string report = id3::mutagenDiff(dir / "original.mp3", file);
    EXPECT_EQ(differences(report),
              std::vector<std::string>{"DIFF TIT2: TIT2(text=['Ünïcode 音楽']) | TIT2(text=['Plain'])"})
        << report;
    // ffprobe reads the new tag and the stream as before.
    const std::string probe = run("ffprobe -v error -show_entries format_tags=title,artist,track -of default=nw=1 " +
                                  shellQuote(file.string()))
                                  .output;
    EXPECT_NE(probe.find("title=Plain"), std::string::npos) << probe;
    EXPECT_NE(probe.find("artist=Some Artist"), std::string::npos) << probe;
    EXPECT_NE(probe.find("track=5/10"), std::string::npos) << probe;
}

TEST(DecoderAndTags, LargeAndStackedTagsAreSkipped) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    QORO_REQUIRE_MUTAGEN();
    RichFiles files;
    // Without the ID3v1 tag at the end, which the decoder counts as stream.
    auto withoutId3v1 = [](const fs::path& f) {
        Bytes b = readBytes(f);
        EXPECT_EQ(std::string(b.end() - 128, b.end() - 125), "TAG");
        b.resize(b.size() - 128);
        return b;
    };
    Bytes rich = withoutId3v1(files.tagged(3, "rich.mp3"));
    writeBytes(files.dir / "rich.mp3", rich);
    ASSERT_GT(id3::tagsEnd(rich), 28000u);
    // A 2.4 tag stacked behind the 2.3 one, as older writers left files.
    const Bytes v24 = withoutId3v1(files.tagged(4, "v24.mp3"));
    Bytes stacked = rich;
    stacked.insert(stacked.begin() + static_cast<long>(id3::tagsEnd(rich)), v24.begin(),
                   v24.begin() + static_cast<long>(id3::tagsEnd(v24)));
    writeBytes(files.dir / "stacked.mp3", stacked);
    ASSERT_EQ(id3::tagCount(stacked), 2);

    int plainMs = 0, richMs = 0, stackedMs = 0;
    const auto plain = decodeAll(files.audio, &plainMs);
    ASSERT_EQ(plain.size(), 44100u * 2 * 2);  // gapless: exactly the 2 s of stereo lame was given
    EXPECT_EQ(decodeAll(files.dir / "rich.mp3", &richMs), plain);
    EXPECT_EQ(decodeAll(files.dir / "stacked.mp3", &stackedMs), plain);
    EXPECT_EQ(richMs, plainMs);
    EXPECT_EQ(stackedMs, plainMs);
    // mpg123 decodes as many samples from the tagged file as from the plain one.
    auto count = [&](const fs::path& f) {
        const auto out = files.dir / "out.raw";
        const auto r = run("mpg123 -q -s " + shellQuote(f.string()) + " > " + shellQuote(out.string()));
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return fs::file_size(out);
    };
    EXPECT_EQ(count(files.dir / "rich.mp3"), count(files.audio));
    EXPECT_EQ(count(files.audio), 44100u * 2 * 2 * 2);  // lame's gapless information: exactly 2 s
}
