// RIFF INFO, "DISP" and cue points: the written layout, round trips, the cue
// list's order and cursor, hostile files, and ffprobe/ffmpeg cross-checks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <random>
#include <system_error>

#include "riff_test_util.h"
#include "tags/wav_info.h"
#include "test_support.h"

namespace tags = qoro::tags;
using namespace qoro::test;
using riffutil::le32;

namespace {

std::string str(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

// A WAV whose chunks after "fmt " are given as raw bytes (header + content).
void writeRaw(const fs::path& file, const std::string& chunks) {
    std::string fmt("fmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 24);
    std::string body = "WAVE" + fmt + chunks;
    uint32_t n = static_cast<uint32_t>(body.size());
    std::string all = "RIFF" + std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + body;
    writeBytes(file, std::vector<uint8_t>(all.begin(), all.end()));
}

using riffutil::chunk;
using riffutil::u32;

}  // namespace

TEST(CueList, OrderCursorAndDeletion) {
    tags::CueList l;
    EXPECT_EQ(l.count(), 0);
    l.remove();  // nothing to delete
    EXPECT_EQ(l.count(), 0);
    l.insert({.position = 300});
    l.insert({.position = 100});
    l.insert({.position = 200});
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l.number(), 2);
    EXPECT_EQ(l.cues()[0].position, 100u);
    EXPECT_EQ(l.cues()[2].position, 300u);
    l.select(3);
    l.setPosition(50);
    EXPECT_EQ(l.number(), 3);
    EXPECT_EQ(l.current()->position, 200u);
    EXPECT_EQ(l.cues()[0].position, 50u);
    l.select(10);
    EXPECT_EQ(l.number(), 3);
    l.select(0);
    EXPECT_EQ(l.number(), 1);
    // Equal positions: before the others, except right after an equal first cue.
    l.insert({.position = 100, .label = "second 100"});
    EXPECT_EQ(l.number(), 2);
    l.insert({.position = 50, .label = "after first"});
    EXPECT_EQ(l.number(), 2);
    // Delete the last: cursor on the new last.
    l.select(100);
    l.remove();
    EXPECT_EQ(l.count(), 4);
    EXPECT_EQ(l.number(), 4);
    l.select(2);
    l.remove();  // the following cue takes number 2
    EXPECT_EQ(l.number(), 2);
    EXPECT_EQ(l.current()->label, "second 100");
    while (!l.empty()) l.remove();
    EXPECT_EQ(l.number(), 0);
    EXPECT_EQ(l.current(), nullptr);
}

TEST(WavInfo, WrittenLayoutAndRoundTrip) {
    TempDir dir;
    fs::path file = dir / "t.wav";
    auto samples = testSignal(8000, 1, 1001);
    writeWav16(file, 8000, 1, samples);
    auto before = readBytes(file);
    tags::TagRecord r;
    r.title = "T";
    r.album = "A";
    r.genre = 13;
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, {}));
    auto b = readBytes(file);
    size_t at = 44 + 2002;
    EXPECT_TRUE(std::equal(before.begin() + 8, before.begin() + static_cast<long>(at), b.begin() + 8));
    EXPECT_EQ(str(b, at, 4), "LIST");
    EXPECT_EQ(str(b, at + 8, 4), "INFO");
    EXPECT_EQ(str(b, at + 12, 4), "INAM");
    EXPECT_EQ(le32(b, at + 16), 2u);
    EXPECT_EQ(str(b, at + 20, 2), std::string("A\0", 2));
    EXPECT_EQ(str(b, at + 22, 4), "IPRD");
    EXPECT_EQ(le32(b, at + 26), 2u);
    EXPECT_EQ(str(b, at + 30, 2), std::string("A\0", 2));
    EXPECT_EQ(str(b, at + 32, 4), "IGNR");
    EXPECT_EQ(le32(b, at + 36), 4u);
    EXPECT_EQ(str(b, at + 40, 4), std::string("Pop\0", 4));
    size_t disp = at + 8 + le32(b, at + 4);
    EXPECT_EQ(str(b, disp, 4), "DISP");
    EXPECT_EQ(le32(b, disp + 4), 6u);
    EXPECT_EQ(le32(b, disp + 8), 1u);
    EXPECT_EQ(str(b, disp + 12, 2), std::string("T\0", 2));
    EXPECT_EQ(le32(b, 4), b.size() - 8);

    tags::TagRecord got;
    tags::CueList cues;
    tags::WavChunks chunks;
    ASSERT_TRUE(tags::readWavInfo(file.string(), got, cues, &chunks));
    EXPECT_EQ(got, r);
    EXPECT_TRUE(chunks.hasData);
    EXPECT_EQ(chunks.dataSize, 2002u);
    EXPECT_EQ(chunks.dataOffset, 44u);
    ASSERT_EQ(chunks.format.size(), 18u);
    EXPECT_EQ(chunks.format[0], 1);

    // Everything, twice (the second write replaces the first in place).
    r.artist = "Artiste é";
    r.comments = "Comment";
    r.copyright = "Copy";
    r.composer = "Composer";
    r.url = "http://u";
    r.encodedBy = "Enc";
    r.year = 2002;
    r.track = 11;
    r.genre = 17;
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, {}));
    r.album = "Album 2";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, {}));
    got = {};
    ASSERT_TRUE(tags::readWavInfo(file.string(), got, cues, nullptr));
    EXPECT_EQ(got, r);
    auto data = readBytes(file);
    EXPECT_TRUE(std::equal(before.begin() + 44, before.end(), data.begin() + 44));

    if (requireTool("ffprobe")) {
        auto out =
            run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string())).output;
        // ffprobe takes "INAM" for the title: the album of our files.
        for (const char* want : {"title=Album 2", "album=Album 2", "artist=Artiste é", "comment=Comment",
                                 "copyright=Copy", "genre=Rock", "encoder=Enc", "date=2002", "track=11"})
            EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
        auto dur = run("ffprobe -v error -count_packets -show_entries stream=duration_ts -of csv=p=0 " +
                       shellQuote(file.string()));
        EXPECT_NE(dur.output.find("1001"), std::string::npos) << dur.output;
    }

    // Year 0 and track 0 write no "ICRD"/"ITRK".
    r.year = 0;
    r.track = 0;
    writeWav16(file, 8000, 1, samples);
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, {}));
    auto text = readBytes(file);
    std::string all(text.begin(), text.end());
    EXPECT_EQ(all.find("ICRD"), std::string::npos);
    EXPECT_EQ(all.find("ITRK"), std::string::npos);
    EXPECT_NE(all.find("ICMS"), std::string::npos);
}

TEST(WavInfo, CuesWrittenInOrderAndReadBack) {
    TempDir dir;
    fs::path file = dir / "c.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 500));
    tags::CueList cues;
    cues.insert({.position = 300, .length = 10, .label = "three"});
    cues.insert({.position = 100, .label = "one", .note = "n1"});
    cues.insert(
        {.position = 200, .language = 9, .country = 44, .dialect = 1, .codePage = 1252, .label = "two", .text = "t2"});
    ASSERT_WRITES(tags::writeWavInfo(file.string(), {}, cues));
    auto b = readBytes(file);
    std::string all(b.begin(), b.end());
    size_t cue = all.find("cue ");
    ASSERT_NE(cue, std::string::npos);
    EXPECT_EQ(le32(b, cue + 8), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(le32(b, cue + 12 + 24 * i), i + 1);
        EXPECT_EQ(le32(b, cue + 16 + 24 * i), 100 * (i + 1));
        EXPECT_EQ(str(b, cue + 20 + 24 * i, 4), "data");
        EXPECT_EQ(le32(b, cue + 32 + 24 * i), 100 * (i + 1));
    }
    size_t labl = all.find(std::string("labl\x08\0\0\0\x02\0\0\0two\0", 16));
    EXPECT_NE(labl, std::string::npos);
    EXPECT_NE(all.find("adtl"), std::string::npos);

    tags::TagRecord r;
    tags::CueList back;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, back, nullptr));
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back.cues(), cues.cues());
}

TEST(WavInfo, ReadingRulesOnCraftedFiles) {
    TempDir dir;
    fs::path file = dir / "x.wav";
    std::string info = "INFO" + chunk("IGNR", std::string("rock\0", 5)) +
                       chunk("ICRD", std::string("2002-05-01\0", 11)) + chunk("INAM", std::string("Old\0", 4)) +
                       chunk("INAM", std::string("New\0", 4)) +
                       chunk("IART", "caf\xE9");  // not UTF-8: read as ISO-8859-1
    // Two cue records while the count says 5; an adtl entry for cue 7.
    std::string cueContent = u32(5) + u32(1) + u32(40) + "data" + u32(0) + u32(0) + u32(40) + u32(2) + u32(20) +
                             "data" + u32(0) + u32(0) + u32(20);
    std::string adtl = "adtl" + chunk("labl", u32(7) + std::string("late\0", 5)) + chunk("note", u32(1) + "first");
    writeRaw(file, chunk("LIST", info) + chunk("cue ", cueContent) + chunk("LIST", adtl) +
                       chunk("DISP", u32(1) + std::string("Title\0", 6)) + chunk("data", std::string(10, '\0')));
    tags::TagRecord r;
    tags::CueList cues;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, nullptr));
    EXPECT_EQ(r.genre, 17);
    EXPECT_EQ(r.year, 2002);
    EXPECT_EQ(r.album, "New");
    EXPECT_EQ(r.artist, "café");
    EXPECT_EQ(r.title, "Title");
    ASSERT_EQ(cues.size(), 2u);
    EXPECT_EQ(cues.cues()[0].position, 20u);
    // Numbers select in file order (40, 20), before the sort: number 1 is
    // the cue at 40, number 7 clamps to the second, the cue at 20.
    EXPECT_EQ(cues.cues()[1].note, "first");
    EXPECT_EQ(cues.cues()[0].label, "late");
    EXPECT_EQ(cues.cues()[0].note, "");

    info = "INFO" + chunk("IGNR", std::string("Rockabilly\0", 11));
    writeRaw(file, chunk("LIST", info) + chunk("data", "ab"));
    r = {};
    r.genre = 3;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, nullptr));
    EXPECT_EQ(r.genre, 12);

    // Not a WAV, or a missing file: failure.
    writeBytes(file, std::vector<uint8_t>(100, 'x'));
    EXPECT_FALSE(tags::readWavInfo(file.string(), r, cues, nullptr));
    EXPECT_FALSE(tags::readWavInfo((dir / "none.wav").string(), r, cues, nullptr));
    EXPECT_EQ(tags::writeWavInfo((dir / "none.wav").string(), r, cues), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(dir / "none.wav"));
}

// Sizes and counts from the file never make reading keep more than it can
// use: the records a "cue " chunk holds (at most 65536 of them), and at most
// 4096 INFO entries of kinds the object does not manage.
TEST(WavInfo, CountsFromTheFileAreBounded) {
    TempDir dir;
    const fs::path file = dir / "many.wav";
    std::string records;
    for (uint32_t i = 0; i < 70000; ++i) records += u32(i + 1) + u32(i) + "data" + u32(0) + u32(0) + u32(i);
    std::string entries;
    for (int i = 0; i < 5000; ++i) entries += chunk("IXYZ", "v");
    writeRaw(file, chunk("data", "ab") + chunk("cue ", u32(0xFFFFFFFF) + records) + chunk("LIST", "INFO" + entries));
    tags::TagRecord r;
    tags::CueList cues;
    tags::WavChunks chunks;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, &chunks));
    EXPECT_EQ(cues.size(), 65536u);
    EXPECT_EQ(cues.cues().back().position, 65535u);
    EXPECT_EQ(chunks.otherInfo.size(), 4096u);
    // A title change keeps the cue chunk as it is, all 70000 records.
    r.title = "many";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, cues));
    const auto v = riffutil::listChunks(readBytes(file));
    ASSERT_EQ(riffutil::chunksOf(v, "cue ").size(), 1u);
    EXPECT_EQ(riffutil::chunksOf(v, "cue ")[0].size, 4 + records.size());
    EXPECT_EQ(riffutil::subChunks(riffutil::chunksOf(v, "LIST", "INFO")[0]).size(), 5000u);
}

TEST(WavInfo, ReadsTagsFfmpegWrites) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    TempDir dir;
    writeWav16(dir / "a.wav", 8000, 2, testSignal(8000, 2, 800));
    const fs::path file = dir / "b.wav";
    auto res = run("ffmpeg -v error -y -i " + shellQuote((dir / "a.wav").string()) +
                   " -c copy -metadata title='Ein Grüß' -metadata album=Platte -metadata artist=Someone "
                   "-metadata genre=Klezmer -metadata date=1984-05-06 " +
                   shellQuote(file.string()));
    ASSERT_EQ(res.exitCode, 0) << res.output;
    tags::TagRecord r;
    tags::CueList cues;
    tags::WavChunks chunks;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, &chunks));
    // "INAM" is the title and "IPRD" the album, as ffmpeg means them; the
    // genre and the date as held.
    EXPECT_EQ(r.title, "Ein Grüß");
    EXPECT_EQ(r.album, "Platte");
    EXPECT_EQ(r.artist, "Someone");
    EXPECT_EQ(r.genreText, "Klezmer");
    EXPECT_EQ(r.date, "1984-05-06");
    EXPECT_EQ(r.year, 1984);
    EXPECT_EQ(chunks.dataSize, 3200u);

    // An edit: in the file itself, the audio where it was; the title in
    // "DISP", the album in "INAM" and "IPRD", and ffprobe reads the rest.
    const auto data = riffutil::chunksOf(riffutil::listChunks(readBytes(file)), "data").at(0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    r.artist = "Someone Else";
    tags::setFieldText(r, tags::Field::Year, "2003-04-05");
    ASSERT_WRITES(tags::writeWavInfo(file.string(), r, cues));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    const auto v = riffutil::listChunks(readBytes(file));
    const auto moved = riffutil::chunksOf(v, "data").at(0);
    EXPECT_EQ(moved.offset, data.offset);
    EXPECT_TRUE(moved.bytes == data.bytes);
    ASSERT_EQ(riffutil::chunksOf(v, "LIST", "INFO").size(), 1u);
    tags::TagRecord back;
    ASSERT_TRUE(tags::readWavInfo(file.string(), back, cues, nullptr));
    EXPECT_EQ(back, r);
    const auto out = run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string()));
    for (const char* want : {"album=Platte", "artist=Someone Else", "genre=Klezmer", "date=2003-04-05"})
        EXPECT_NE(out.output.find(want), std::string::npos) << want << "\n" << out.output;
}

// What "INAM", "IPRD" and "DISP" mean: ffmpeg's and other programs' files
// have no "DISP" and the title in "INAM"; ours have the title in "DISP" and
// the album in "INAM" (and since, "IPRD"). Of several lists the later wins.
// Written: the title in "DISP" (an empty one while there is an album, so
// that "INAM" keeps meaning the album), the album in "INAM" and "IPRD".
TEST(WavInfo, TitleAndAlbumAsEachWriterMeansThem) {
    TempDir dir;
    const fs::path file = dir / "n.wav";
    auto text = [](const char* s) { return std::string(s) + '\0'; };
    auto disp = [&](const char* s) { return chunk("DISP", u32(1) + text(s)); };
    const std::string data = chunk("data", std::string(10, '\0'));
    struct Read {
        std::string chunks;
        const char* title;
        const char* album;
    };
    const Read reads[] = {
        {chunk("LIST", "INFO" + chunk("INAM", text("T")) + chunk("IPRD", text("A"))) + data, "T", "A"},
        {chunk("LIST", "INFO" + chunk("INAM", text("T"))) + data, "T", ""},
        {chunk("LIST", "INFO" + chunk("INAM", text("A"))) + disp("T") + data, "T", "A"},
        {chunk("LIST", "INFO" + chunk("INAM", text("X")) + chunk("IPRD", text("A"))) + disp("T") + data, "T", "A"},
        {disp("") + chunk("LIST", "INFO" + chunk("INAM", text("A"))) + data, "", "A"},
        {chunk("DISP", u32(8) + "picture") + chunk("LIST", "INFO" + chunk("INAM", text("T"))) + data, "T", ""},
        {chunk("LIST", "INFO" + chunk("INAM", text("T")) + chunk("IPRD", text("Old"))) + data +
             chunk("LIST", "INFO" + chunk("IPRD", text("New"))),
         "T", "New"},
    };
    for (const Read& c : reads) {
        writeRaw(file, c.chunks);
        tags::TagRecord r;
        tags::CueList cues;
        ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, nullptr));
        EXPECT_EQ(r.title, c.title) << c.chunks;
        EXPECT_EQ(r.album, c.album) << c.chunks;
    }

    struct Write {
        const char* title;
        const char* album;
        std::string info;  // the ids written, in order
        std::optional<std::string> disp;
    };
    const Write writes[] = {
        {"T", "A", "IART INAM IPRD", "T"},
        {"", "A", "IART INAM IPRD", ""},
        {"T", "", "IART", "T"},
        {"", "", "IART", std::nullopt},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(std::string(w.title) + "/" + w.album);
        writeWav16(file, 8000, 1, testSignal(8000, 1, 100));
        tags::TagRecord r;
        r.title = w.title;
        r.album = w.album;
        r.artist = "R";
        ASSERT_WRITES(tags::writeWavInfo(file.string(), r, {}));
        const auto v = riffutil::listChunks(readBytes(file));
        std::string ids;
        for (const auto& e : riffutil::subChunks(riffutil::chunksOf(v, "LIST", "INFO").at(0))) {
            ids += (ids.empty() ? "" : " ") + e.id;
            if (e.id == "INAM" || e.id == "IPRD") {
                EXPECT_EQ(e.content(), text(w.album));
            }
        }
        EXPECT_EQ(ids, w.info);  // no genre, date or track invented
        const auto dispChunks = riffutil::chunksOf(v, "DISP");
        ASSERT_EQ(dispChunks.size(), w.disp ? 1u : 0u);
        if (w.disp) {
            EXPECT_EQ(dispChunks[0].content(), u32(1) + text(w.disp->c_str()));
        }
        tags::TagRecord back;
        tags::CueList cues;
        ASSERT_TRUE(tags::readWavInfo(file.string(), back, cues, nullptr));
        EXPECT_EQ(back, r);
        if (requireTool("ffprobe")) {
            const auto out =
                run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string()));
            EXPECT_NE(out.output.find("artist=R"), std::string::npos) << out.output;
            EXPECT_EQ(out.output.find("album=" + std::string(w.album) + "\n") != std::string::npos, *w.album != 0)
                << out.output;
        }
    }

    // Files libFuzzer found: the title in "INAM" and the album only in the
    // "id3 " chunk (one value, two values); our album in an "INAM" without
    // its zero. Written, the album stays where it was read from ("INAM" goes
    // when the album comes from the "id3 " chunk) or goes to "INAM" and
    // "IPRD" alike, so that the file reads as written and writing again
    // changes nothing.
    auto id3Album = [](const std::string& values) {
        const std::string frame =
            "TALB" + u32(0).substr(0, 3) + char(values.size() + 1) + std::string(2, '\0') + '\0' + values;
        return chunk("id3 ", "ID3" + std::string("\x03\0\0\0\0\0", 6) + char(frame.size()) + frame);
    };
    for (const std::string& chunks :
         {chunk("LIST", "INFO" + chunk("INAM", text("T"))) + data + id3Album("A2"),
          chunk("LIST", "INFO" + chunk("INAM", text("T"))) + data + id3Album(std::string("A4\0B4", 5)),
          chunk("LIST", "INFO" + chunk("INAM", "A3")) + disp("T") + data}) {
        writeRaw(file, chunks);
        tags::TagRecord r;
        tags::CueList cues;
        ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, nullptr));
        EXPECT_EQ(r.album.substr(0, 1), "A");
        r.title = "New";
        ASSERT_WRITES(tags::writeWavInfo(file.string(), r, cues));
        tags::TagRecord back;
        ASSERT_TRUE(tags::readWavInfo(file.string(), back, cues, nullptr));
        EXPECT_EQ(back, r) << back.album;
        const auto once = readBytes(file);
        ASSERT_WRITES(tags::writeWavInfo(file.string(), r, cues));
        EXPECT_EQ(readBytes(file), once) << chunks;
    }
}

TEST(WavInfo, HostileFilesNeverCrashAndWritesLeaveValidFiles) {
    TempDir dir;
    fs::path file = dir / "h.wav";
    // "data" claiming more than the file holds: nothing is written.
    writeRaw(file, chunk("data", std::string(10, '\0')));
    auto b = readBytes(file);
    b[b.size() - 14] = 0xFF;  // data size high byte
    b[b.size() - 13] = 0x7F;
    writeBytes(file, b);
    tags::TagRecord r;
    r.title = "x";
    EXPECT_TRUE(tags::writeWavInfo(file.string(), r, {}));
    EXPECT_EQ(readBytes(file), b);

    // Mutations of a file with every kind of chunk: reading and writing never
    // crash; a write either leaves the file as it was or makes a valid RIFF
    // whose "data" chunk holds the same samples and which reads back as
    // written.
    fs::path good = dir / "g.wav";
    writeWav16(good, 8000, 1, testSignal(8000, 1, 200));
    tags::TagRecord full;
    full.title = "Title";
    full.artist = "Artist";
    full.year = 2000;
    tags::CueList cues;
    cues.insert({.position = 5, .label = "a", .note = "b", .text = "c"});
    cues.insert({.position = 9, .label = "d"});
    ASSERT_WRITES(tags::writeWavInfo(good.string(), full, cues));
    auto base = readBytes(good);
    const std::string samples(base.begin() + 44, base.begin() + 444);
    std::mt19937 rng(5);
    int written = 0;
    for (int round = 0; round < 400; ++round) {
        auto m = base;
        for (int e = 0, n = 1 + rng() % 6; e < n; ++e) {
            size_t at = rng() % 3 ? 44 + 400 + rng() % (m.size() - 444) : rng() % 40;
            m[at] = static_cast<uint8_t>(rng() % 3 ? rng() : 0xFF);
        }
        if (rng() % 5 == 0) m.resize(444 + rng() % (m.size() - 444));
        if (rng() % 7 == 0) m.insert(m.end(), rng() % 40, static_cast<uint8_t>(rng()));
        writeBytes(file, m);
        tags::TagRecord got;
        tags::CueList gotCues;
        tags::readWavInfo(file.string(), got, gotCues, nullptr);
        EXPECT_LE(gotCues.size(), m.size() / 24);
        tags::TagRecord want = got;
        want.title = "Another title";
        const std::error_code ec = tags::writeWavInfo(file.string(), want, cues);
        auto after = readBytes(file);
        if (ec) {
            EXPECT_EQ(after, m) << round << ": " << ec.message();
            continue;
        }
        ++written;
        const auto v = riffutil::listChunks(after);
        ASSERT_TRUE(v.riff) << round;
        EXPECT_EQ(v.riffSize, after.size() - 8) << round;
        EXPECT_EQ(v.end, after.size()) << round;
        EXPECT_EQ(riffutil::chunksOf(v, "LIST", "INFO").size(), 1u) << round;
        const auto data = riffutil::chunksOf(v, "data");
        ASSERT_FALSE(data.empty()) << round;
        EXPECT_EQ(data[0].content(), std::string(m.begin() + 44, m.begin() + 444)) << round;
        tags::TagRecord back;
        tags::CueList backCues;
        ASSERT_TRUE(tags::readWavInfo(file.string(), back, backCues, nullptr)) << round;
        EXPECT_EQ(back, want) << round;
        EXPECT_EQ(backCues.cues(), cues.cues()) << round;
    }
    EXPECT_GT(written, 100);
}
