// Genre table, ID3v1 and ID3v2.3: layouts, edge cases, hostile tags, the
// rebuild through "path~", and cross-checks with ffmpeg/ffprobe.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "genre/genre.h"
#include "mpc/mpc_stream.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "test_support.h"

namespace tags = qoro::tags;
namespace genre = qoro::genre;
using namespace qoro::test;

namespace {

std::vector<uint8_t> bytesOf(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A short MP3 made by lame (no tags of its own), or plain bytes without lame.
std::vector<uint8_t> makeAudio(const TempDir& dir) {
    if (requireTool("lame")) {
        writeWav16(dir / "src.wav", 44100, 1, testSignal(44100, 1, 11025));
        auto r = run("lame --quiet -b 64 " + shellQuote((dir / "src.wav").string()) + " " +
                     shellQuote((dir / "src.mp3").string()));
        if (r.exitCode == 0) return readBytes(dir / "src.mp3");
    }
    std::vector<uint8_t> b(5000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
    return b;
}

std::string ffprobeTags(const fs::path& file) {
    return run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string())).output;
}

}  // namespace

TEST(Genre, TableAndLookups) {
    EXPECT_EQ(genre::toString(-1), "Other");
    EXPECT_EQ(genre::toString(148), "Other");
    EXPECT_EQ(genre::toString(147), "SynthPop");
    EXPECT_EQ(genre::toString(0), "Blues");
    EXPECT_EQ(genre::toString(99), "Acoustic ");
    EXPECT_EQ(genre::findIgnoringCase("rock"), 17);
    EXPECT_EQ(genre::findIgnoringCase("Rockabilly"), -1);
    EXPECT_EQ(genre::findExact("Pop"), 13);
    EXPECT_EQ(genre::findExact("pop"), -1);
    for (int i = 0; i < genre::kCount; ++i) EXPECT_EQ(genre::findExact(genre::toString(i)), i) << i;
}

TEST(Id3v1, ParsesBothFormsAndMapsGenre) {
    tags::Id3v1Block b{};
    std::memcpy(b.data(), "TAGTitle  ", 10);
    std::memcpy(b.data() + 93, "1999", 4);
    std::string comment(30, 'c');
    std::memcpy(b.data() + 97, comment.data(), 30);
    b[125] = 0;
    b[126] = 7;
    b[127] = 200;
    auto t = tags::parseId3v1(b);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->title, "Title");
    EXPECT_EQ(t->year, 1999);
    EXPECT_EQ(t->track, 7);
    EXPECT_EQ(t->comment, std::string(28, 'c'));
    tags::TagRecord r;
    r.composer = "gone";
    t->applyTo(r);
    EXPECT_EQ(r.genre, 12);  // 200 is a negative signed byte
    EXPECT_EQ(r.track, 7);
    EXPECT_TRUE(r.composer.empty());
    b[126] = 0;  // both zero: the full comment, no track
    t = tags::parseId3v1(b);
    EXPECT_EQ(t->track, 0);
    EXPECT_EQ(t->comment, std::string(28, 'c'));  // bytes 125/126 are zero
    b[127] = 255;
    tags::parseId3v1(b)->applyTo(r);
    EXPECT_EQ(r.genre, 12);
    b[0] = 'X';
    EXPECT_FALSE(tags::parseId3v1(b));
}

TEST(Id3v1, BuildsTheWrittenForms) {
    tags::TagRecord r;
    r.title = std::string(35, 'T');
    r.artist = "Artist   ";
    r.album = "Café";
    r.comments = std::string(30, 'x');
    r.year = 0;
    r.track = 258;
    r.genre = -1;
    auto b = tags::buildId3v1(r);
    EXPECT_EQ(std::string(b.begin() + 3, b.begin() + 33), std::string(30, 'T'));
    EXPECT_EQ(std::string(b.begin() + 33, b.begin() + 39), std::string("Artist"));
    EXPECT_EQ(b[39], 0);  // trailing blanks not written
    EXPECT_EQ(b[63 + 3], 0xE9);  // é in ISO-8859-1
    EXPECT_EQ(b[93], '0');
    EXPECT_EQ(b[94], 0);
    EXPECT_EQ(b[124], 'x');
    EXPECT_EQ(b[125], 0);
    EXPECT_EQ(b[126], 2);
    EXPECT_EQ(b[127], 255);
    r.genre = 255;
    r.year = 123456;
    r.title = "日本";
    b = tags::buildId3v1(r);
    EXPECT_EQ(b[127], 0);
    EXPECT_EQ(std::string(b.begin() + 93, b.begin() + 97), "1234");
    EXPECT_EQ(std::string(b.begin() + 3, b.begin() + 6), std::string("??\0", 3));
    auto back = tags::parseId3v1(tags::buildId3v1(r));
    EXPECT_EQ(back->album, "Café");

    // The MPEG Plus form: blanks kept, ID3v1.0 when there is no track.
    r.track = 0;
    r.title = "Title ";
    auto m = tags::buildId3v1Mpc(r);
    EXPECT_EQ(m[127], 255);  // low byte of 255
    EXPECT_EQ(m[126], 'x');
    // ... read back by the MPEG Plus stream reader.
    auto mt = qoro::mpc::parseMpcId3v1(std::span<const uint8_t, 128>(m));
    EXPECT_EQ(mt->title, "Title ");
    EXPECT_EQ(mt->comment, std::string(30, 'x'));
    EXPECT_EQ(mt->year, "1234");
}

TEST(Id3v1, WritesInPlaceOnceAndFfprobeReadsIt) {
    TempDir dir;
    auto audio = makeAudio(dir);
    fs::path file = dir / "a.mp3";
    writeBytes(file, audio);
    tags::TagRecord r;
    r.title = "First";
    r.artist = "Müller";
    r.genre = 17;
    r.track = 3;
    r.year = 2001;
    ASSERT_TRUE(tags::writeId3v1(file.string(), r));
    EXPECT_EQ(fs::file_size(file), audio.size() + 128);
    r.title = "Second";
    ASSERT_TRUE(tags::writeId3v1(file.string(), r));
    auto b = readBytes(file);
    ASSERT_EQ(b.size(), audio.size() + 128);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), b.begin()));
    auto t = tags::readId3v1(file.string());
    ASSERT_TRUE(t);
    tags::TagRecord got;
    t->applyTo(got);
    EXPECT_EQ(got.title, "Second");
    EXPECT_EQ(got.artist, "Müller");
    EXPECT_EQ(got.genre, 17);
    EXPECT_EQ(got.track, 3);
    EXPECT_EQ(got.year, 2001);
    if (requireTool("ffprobe") && requireTool("lame")) {
        std::string out = ffprobeTags(file);
        EXPECT_NE(out.find("title=Second"), std::string::npos) << out;
        // ffprobe takes ID3v1 bytes as UTF-8, so the single ISO-8859-1 byte
        // of ü shows as a replacement character.
        EXPECT_NE(out.find("artist=M\xEF\xBF\xBDller"), std::string::npos) << out;
        EXPECT_NE(out.find("genre=Rock"), std::string::npos) << out;
    }
    EXPECT_FALSE(tags::writeId3v1((dir / "missing.mp3").string(), r));
    EXPECT_FALSE(fs::exists(dir / "missing.mp3"));
    writeBytes(dir / "short", bytesOf("TAG"));
    EXPECT_FALSE(tags::readId3v1((dir / "short").string()));
}

TEST(Id3v2, LayoutOfTheWrittenTag) {
    tags::TagRecord r;
    r.title = "A";
    auto tag = tags::buildId3v2(r);
    ASSERT_EQ(tag.size(), 10u + 32);
    EXPECT_EQ(std::string(tag.begin(), tag.begin() + 10), std::string("ID3\x03\0\0\0\0\0\x20", 10));
    EXPECT_EQ(std::string(tag.begin() + 10, tag.begin() + 22), std::string("TIT2\0\0\0\x02\0\0\0A", 12));
    EXPECT_EQ(std::string(tag.begin() + 22, tag.end()), std::string("TCON\0\0\0\x0a\0\0\0(12)Other", 20));

    // Frames of 20000 bytes in all: size groups 0, 1, 28, 32.
    r.title.clear();
    r.comments = std::string(20000 - 20 - 15, 'c');
    tag = tags::buildId3v2(r);
    EXPECT_EQ(tag[6], 0);
    EXPECT_EQ(tag[7], 1);
    EXPECT_EQ(tag[8], 28);
    EXPECT_EQ(tag[9], 32);
    EXPECT_EQ(tag.size(), 20010u);
}

TEST(Id3v2, TconRules) {
    EXPECT_EQ(tags::genreFromTcon("(13)"), 13);
    EXPECT_EQ(tags::genreFromTcon("Pop"), 13);
    EXPECT_EQ(tags::genreFromTcon("pop"), 12);
    EXPECT_EQ(tags::genreFromTcon("(200)Foo"), 148);
    EXPECT_EQ(tags::genreFromTcon("(RX)"), 0);
    EXPECT_EQ(tags::genreFromTcon("(17)Rock"), 17);
    EXPECT_EQ(tags::genreFromTcon("("), 12);
    tags::Id3v2Tag t;
    t.text(tags::Id3v2Frame::TCON) = "(200)Foo";
    t.text(tags::Id3v2Frame::TRCK) = "3/12";
    t.text(tags::Id3v2Frame::TYER) = "1987";
    tags::TagRecord r;
    t.applyTo(r);
    EXPECT_EQ(r.genre, 12);
    EXPECT_EQ(r.track, 3);
    EXPECT_EQ(r.year, 1987);
}

TEST(Id3v2, RoundTripKeepsAudioAndReplacesOnlyVersion3) {
    TempDir dir;
    auto audio = makeAudio(dir);
    fs::path file = dir / "a.mp3";
    writeBytes(file, audio);
    tags::TagRecord r;
    r.title = "Grüße 日本";
    r.artist = "Artist";
    r.album = "Album";
    r.comments = "Comment";
    r.composer = "Composer";
    r.url = "http://example.org/";
    r.encodedBy = "Quillet";
    r.copyright = "(c) me";
    r.year = 1999;
    r.track = 4;
    r.genre = 32;
    ASSERT_TRUE(tags::writeId3v2(file.string(), r));
    r.album = "Album, again";
    ASSERT_TRUE(tags::writeId3v2(file.string(), r));
    EXPECT_FALSE(fs::exists(file.string() + "~"));
    auto total = tags::id3v2TotalSize(file.string());
    ASSERT_TRUE(total);
    auto b = readBytes(file);
    ASSERT_EQ(b.size(), *total + audio.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), b.begin() + *total));
    auto t = tags::readId3v2(file.string());
    ASSERT_TRUE(t);
    tags::TagRecord got;
    t->applyTo(got);
    EXPECT_EQ(got, r);

    if (requireTool("ffprobe") && audio.size() != 5000) {
        std::string out = ffprobeTags(file);
        for (const char* want : {"title=Grüße 日本", "artist=Artist", "album=Album, again", "comment=Comment",
                                 "composer=Composer", "encoded_by=Quillet", "copyright=(c) me", "track=4",
                                 "genre=Classical", "date=1999"})
            EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    }

    // An ID3v2.4 tag is not read, and the new tag goes in front of it.
    std::vector<uint8_t> v4 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 12};
    auto f4 = bytesOf(std::string("TIT2\0\0\0\x02\0\0\0X", 12));
    v4.insert(v4.end(), f4.begin(), f4.end());
    std::vector<uint8_t> withV4 = v4;
    withV4.insert(withV4.end(), audio.begin(), audio.end());
    writeBytes(dir / "v4.mp3", withV4);
    EXPECT_FALSE(tags::readId3v2((dir / "v4.mp3").string()));
    ASSERT_TRUE(tags::writeId3v2((dir / "v4.mp3").string(), r));
    auto after = readBytes(dir / "v4.mp3");
    auto t3 = *tags::id3v2TotalSize((dir / "v4.mp3").string());
    EXPECT_TRUE(std::equal(withV4.begin(), withV4.end(), after.begin() + t3));
}

TEST(Id3v2, ReadsTagsFfmpegWrites) {
    QORO_REQUIRE_TOOLS("ffmpeg", "lame");
    TempDir dir;
    writeBytes(dir / "a.mp3", makeAudio(dir));
    auto res = run("ffmpeg -v error -y -i " + shellQuote((dir / "a.mp3").string()) +
                   " -c copy -id3v2_version 3 -metadata title='Ünïcode 音楽' -metadata artist=Plain"
                   " -metadata genre=Jazz -metadata track=5/9 " +
                   shellQuote((dir / "b.mp3").string()));
    ASSERT_EQ(res.exitCode, 0) << res.output;
    auto t = tags::readId3v2((dir / "b.mp3").string());
    ASSERT_TRUE(t);
    tags::TagRecord r;
    t->applyTo(r);
    EXPECT_EQ(r.title, "Ünïcode 音楽");
    EXPECT_EQ(r.artist, "Plain");
    EXPECT_EQ(r.genre, 8);
    EXPECT_EQ(r.track, 5);
}

TEST(Id3v2, HostileTagsAndUnsynchronisation) {
    TempDir dir;
    fs::path file = dir / "h.mp3";
    auto frame = [](std::string id, std::string content, uint32_t size) {
        std::string f = id;
        f += static_cast<char>(size >> 24);
        f += static_cast<char>(size >> 16);
        f += static_cast<char>(size >> 8);
        f += static_cast<char>(size);
        f += std::string(2, '\0');
        return f + content;
    };
    auto tagOf = [](std::string frames, uint8_t flags, size_t statedSize) {
        std::string h = "ID3";
        h += '\x03';
        h += '\0';
        h += static_cast<char>(flags);
        h += static_cast<char>((statedSize >> 21) & 0x7F);
        h += static_cast<char>((statedSize >> 14) & 0x7F);
        h += static_cast<char>((statedSize >> 7) & 0x7F);
        h += static_cast<char>(statedSize & 0x7F);
        return h + frames;
    };
    std::string audio(300, '\xFB');
    // Size beyond the file: no tag.
    std::string frames = frame("TIT2", std::string("\0Title", 6), 6);
    writeBytes(file, bytesOf(tagOf(frames, 0, 100000) + audio));
    EXPECT_FALSE(tags::readId3v2(file.string()));
    // A frame claiming gigabytes ends the walk; frames before it are kept.
    frames = frame("TPE1", std::string("\0Art", 4), 4) + frame("TIT2", std::string("\0T", 2), 0x7FFFFFF0);
    writeBytes(file, bytesOf(tagOf(frames, 0, frames.size()) + audio));
    auto t = tags::readId3v2(file.string());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->text(tags::Id3v2Frame::TPE1), "Art");
    EXPECT_EQ(t->text(tags::Id3v2Frame::TIT2), "");
    // Frames beyond the stated tag size are audio, not tag.
    frames = frame("TPE1", std::string("\0Art", 4), 4);
    std::string after = frame("TIT2", std::string("\0Audio", 6), 6);
    writeBytes(file, bytesOf(tagOf(frames, 0, frames.size()) + after + audio));
    EXPECT_EQ(tags::readId3v2(file.string())->text(tags::Id3v2Frame::TIT2), "");
    // Unsynchronisation: FF 00 in the stored bytes reads as FF; COMM with a
    // description skips it.
    std::string comm = frame("COMM", std::string("\0engdesc\0\xFF\x00text", 15), 14);
    writeBytes(file, bytesOf(tagOf(comm, 0x80, comm.size()) + audio));
    t = tags::readId3v2(file.string());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->text(tags::Id3v2Frame::COMM), "ÿtext");
    // Extended header is skipped.
    std::string ext = std::string("\0\0\0\x06", 4) + std::string(6, '\0');
    frames = ext + frame("TALB", std::string("\0Alb", 4), 4);
    writeBytes(file, bytesOf(tagOf(frames, 0x40, frames.size()) + audio));
    EXPECT_EQ(tags::readId3v2(file.string())->text(tags::Id3v2Frame::TALB), "Alb");

    // Random mutations of a full tag: never a crash.
    tags::TagRecord r;
    r.title = "Title";
    r.artist = "Artist";
    r.comments = "Comments here";
    r.url = "http://x";
    auto good = tags::buildId3v2(r);
    good.insert(good.end(), audio.begin(), audio.end());
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        auto b = good;
        for (int e = 0, n = 1 + rng() % 6; e < n; ++e) b[rng() % 80] = static_cast<uint8_t>(rng());
        b[3] = 3;
        if (rng() % 4 == 0) b.resize(rng() % b.size());
        writeBytes(file, b);
        auto m = tags::readId3v2(file.string());
        if (m) {
            EXPECT_LE(m->totalSize, b.size());
        }
    }
}

TEST(Id3v2, FailedRebuildLeavesTheFileAlone) {
    TempDir dir;
    tags::TagRecord r;
    r.title = "X";
    EXPECT_FALSE(tags::writeId3v2((dir / "missing.mp3").string(), r));
    EXPECT_FALSE(fs::exists(dir / "missing.mp3"));
    EXPECT_FALSE(fs::exists(dir / "missing.mp3~"));
    fs::path ro = dir / "ro";
    fs::create_directory(ro);
    std::vector<uint8_t> audio(1000, 0x55);
    writeBytes(ro / "a.mp3", audio);
    ::chmod(ro.c_str(), 0555);
    if (::access(ro.c_str(), W_OK) != 0) {  // not root
        EXPECT_FALSE(tags::writeId3v2((ro / "a.mp3").string(), r));
        EXPECT_EQ(readBytes(ro / "a.mp3"), audio);
    }
    ::chmod(ro.c_str(), 0755);
    // A stale "path~" is replaced, and the file keeps its permissions.
    writeBytes(dir / "b.mp3", audio);
    writeBytes(dir / "b.mp3~", bytesOf("stale"));
    ::chmod((dir / "b.mp3").c_str(), 0640);
    ASSERT_TRUE(tags::writeId3v2((dir / "b.mp3").string(), r));
    EXPECT_FALSE(fs::exists(dir / "b.mp3~"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "b.mp3").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
