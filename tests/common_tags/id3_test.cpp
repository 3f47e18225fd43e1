// Genre table, ID3v1 and ID3v2 over bytes: layouts, the three ID3v1 reading
// rules, every ID3v2 version's frame layout, the 2.3 form of 2.2 and 2.4
// frames, which frames the object manages, hostile tags, and the in-place and
// rebuilt writes with their failures.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "genre/genre.h"
#include "id3_fixtures.h"
#include "replace/replace.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "test_support.h"

namespace tags = qoro::tags;
namespace genre = qoro::genre;
namespace replace = qoro::replace;
using namespace qoro::test;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string syncsafe(uint32_t v) {
    return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F),
            static_cast<char>((v >> 7) & 0x7F), static_cast<char>(v & 0x7F)};
}

// Frames as each version stores them.
std::string frame22(std::string_view id, std::string_view body) {
    const auto n = static_cast<uint32_t>(body.size());
    return std::string(id) + std::string{static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)} +
           std::string(body);
}
std::string frame23(std::string_view id, std::string_view body, uint16_t flags = 0) {
    return std::string(id) + be32(static_cast<uint32_t>(body.size())) +
           std::string{static_cast<char>(flags >> 8), static_cast<char>(flags)} + std::string(body);
}
std::string frame24(std::string_view id, std::string_view body, uint16_t flags = 0) {
    return std::string(id) + syncsafe(static_cast<uint32_t>(body.size())) +
           std::string{static_cast<char>(flags >> 8), static_cast<char>(flags)} + std::string(body);
}
std::string tagOf(int version, std::string_view frames, uint8_t flags = 0, std::string_view padding = {}) {
    const auto size = static_cast<uint32_t>(frames.size() + padding.size());
    return std::string("ID3") + static_cast<char>(version) + '\0' + static_cast<char>(flags) + syncsafe(size) +
           std::string(frames) + std::string(padding);
}
std::string text0(std::string_view s) { return std::string(1, '\0') + std::string(s); }
std::string text3(std::string_view s) { return std::string(1, '\3') + std::string(s); }
// UTF-16LE with mark, for ASCII texts.
std::string utf16(std::string_view s) {
    std::string out = "\xFF\xFE";
    for (char c : s) out += std::string{c, '\0'};
    return out;
}

tags::Id3v2Tag parsed(const std::string& tag) {
    auto t = tags::parseId3v2(bytesOf(tag));
    EXPECT_TRUE(t);
    return t ? *t : tags::Id3v2Tag{};
}

tags::TagRecord recordOf(const tags::Id3v2Tag& t) {
    tags::TagRecord r;
    t.applyTo(r);
    return r;
}

const tags::Id3v2RawFrame* find(const std::vector<tags::Id3v2RawFrame>& frames, std::string_view id, int nth = 0) {
    for (const auto& f : frames)
        if (f.id == id && nth-- == 0) return &f;
    return nullptr;
}

std::vector<std::string> ids(const std::vector<tags::Id3v2RawFrame>& frames) {
    std::vector<std::string> out;
    for (const auto& f : frames) out.push_back(f.id);
    return out;
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

// --- ID3v1 -------------------------------------------------------------------

TEST(Id3v1, TheThreeReadingRules) {
    tags::Id3v1Block b{};
    std::memcpy(b.data(), "TAGTitle  ", 10);
    std::memcpy(b.data() + 33, "Art\0junk  ", 10);  // a zero inside the field
    std::memcpy(b.data() + 63, "Caf\xE9  ", 6);     // ISO-8859-1
    std::memcpy(b.data() + 93, "1999", 4);
    std::string comment(30, 'c');
    std::memcpy(b.data() + 97, comment.data(), 30);
    b[125] = 0;
    b[126] = 7;
    b[127] = 200;

    auto info = tags::parseId3v1(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "Title");
    EXPECT_EQ(info->artist, "Art");
    EXPECT_EQ(info->album, "Café");
    EXPECT_EQ(info->year, 1999);
    EXPECT_EQ(info->track, 7);
    EXPECT_EQ(info->comment, std::string(28, 'c'));
    tags::TagRecord r;
    r.composer = "gone";
    info->applyTo(r);
    EXPECT_EQ(r.genre, 12);  // 200 is a negative signed byte
    EXPECT_EQ(r.track, 7);
    EXPECT_TRUE(r.composer.empty());

    // The decoder: fields up to their first zero, trailing blanks cut, the
    // comment always the 30-byte field (here ending at byte 125's zero).
    auto dec = tags::parseId3v1(b, tags::Id3v1Reading::Decoder);
    EXPECT_EQ(dec->title, "Title");
    EXPECT_EQ(dec->artist, "Art");
    EXPECT_EQ(dec->yearText, "1999");
    EXPECT_EQ(dec->track, 0);
    EXPECT_EQ(dec->comment, std::string(28, 'c'));
    // The MPEG Plus reader keeps blanks.
    auto mpc = tags::parseId3v1(b, tags::Id3v1Reading::MpegPlus);
    EXPECT_EQ(mpc->title, "Title  ");
    EXPECT_EQ(mpc->album, "Café  ");
    EXPECT_EQ(mpc->track, 7);

    // Bytes 125 and 126 both zero: no track; the MPEG Plus rule still takes
    // the ID3v1.1 form with track 0.
    b[126] = 0;
    EXPECT_EQ(tags::parseId3v1(b)->track, 0);
    EXPECT_EQ(tags::parseId3v1(b)->comment, std::string(28, 'c'));
    EXPECT_EQ(tags::parseId3v1(b, tags::Id3v1Reading::MpegPlus)->track, 0);
    // Byte 125 not zero: a 30-byte comment for everyone.
    b[125] = 'd';
    b[126] = 'e';
    for (auto rule : {tags::Id3v1Reading::Information, tags::Id3v1Reading::Decoder, tags::Id3v1Reading::MpegPlus})
        EXPECT_EQ(tags::parseId3v1(b, rule)->comment, std::string(28, 'c') + "de");
    b[127] = 255;
    tags::parseId3v1(b)->applyTo(r);
    EXPECT_EQ(r.genre, 12);
    b[0] = 'X';
    EXPECT_FALSE(tags::parseId3v1(b));
    EXPECT_FALSE(tags::parseId3v1(b, tags::Id3v1Reading::MpegPlus));
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
    EXPECT_EQ(b[39], 0);         // trailing blanks not written
    EXPECT_EQ(b[63 + 3], 0xE9);  // é in ISO-8859-1
    EXPECT_EQ(b[93], 0);  // no year: none written
    EXPECT_EQ(b[94], 0);
    EXPECT_EQ(b[124], 'x');
    EXPECT_EQ(b[125], 0);
    EXPECT_EQ(b[126], 2);
    EXPECT_EQ(b[127], 255);
    r.genre = 255;  // no genre of the table: none
    r.year = 123456;
    r.title = "日本";
    b = tags::buildId3v1(r);
    EXPECT_EQ(b[127], 255);
    tags::setGenreIndex(r, 12);  // "Other" when put
    EXPECT_EQ(tags::buildId3v1(r)[127], 12);
    r.genreText = "Klezmer";
    EXPECT_EQ(tags::buildId3v1(r)[127], 255);
    EXPECT_EQ(std::string(b.begin() + 93, b.begin() + 97), "1234");
    EXPECT_EQ(std::string(b.begin() + 3, b.begin() + 6), std::string("??\0", 3));
    EXPECT_EQ(tags::parseId3v1(tags::buildId3v1(r))->album, "Café");

    // The MPEG Plus form: blanks kept, ID3v1.0 when there is no track, read
    // back by the MPEG Plus rule.
    r.track = 0;
    r.title = "Title ";
    auto m = tags::buildId3v1Mpc(r);
    EXPECT_EQ(m[127], 255);  // low byte of 255
    EXPECT_EQ(m[126], 'x');
    auto mt = tags::parseId3v1(m, tags::Id3v1Reading::MpegPlus);
    EXPECT_EQ(mt->title, "Title ");
    EXPECT_EQ(mt->comment, std::string(30, 'x'));
    EXPECT_EQ(mt->yearText, "1234");
}

TEST(Id3v1, WritesInPlaceOnceAndFfprobeReadsIt) {
    QORO_REQUIRE_TOOLS("lame", "ffprobe");
    TempDir dir;
    const fs::path file = id3::lameMp3(dir, "a.mp3");
    const Bytes audio = readBytes(file);
    tags::TagRecord r;
    r.title = "First";
    r.artist = "Müller";
    r.genre = 17;
    r.track = 3;
    r.year = 2001;
    ASSERT_FALSE(tags::writeId3v1(file.string(), r));
    EXPECT_EQ(fs::file_size(file), audio.size() + 128);
    r.title = "Second";
    ASSERT_FALSE(tags::writeId3v1(file.string(), r));
    const Bytes b = readBytes(file);
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
    const std::string out =
        run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string())).output;
    EXPECT_NE(out.find("title=Second"), std::string::npos) << out;
    // ffprobe takes ID3v1 bytes as UTF-8, so the single ISO-8859-1 byte of ü
    // shows as a replacement character.
    EXPECT_NE(out.find("artist=M\xEF\xBF\xBDller"), std::string::npos) << out;
    EXPECT_NE(out.find("genre=Rock"), std::string::npos) << out;

    const std::error_code missing = tags::writeId3v1((dir / "missing.mp3").string(), r);
    EXPECT_EQ(missing, std::errc::no_such_file_or_directory) << missing.message();
    EXPECT_FALSE(fs::exists(dir / "missing.mp3"));
    EXPECT_EQ(tags::writeId3v1(dir.path().string(), r), std::errc::is_a_directory);
    writeBytes(dir / "short", bytesOf("TAG"));
    EXPECT_FALSE(tags::readId3v1((dir / "short").string()));
}

TEST(Id3v1, UnchangedFieldsKeepTheirStoredBytes) {
    TempDir dir;
    // A tag other programs wrote: blank-padded fields, the 1.0 form with a
    // 30-character comment, a genre byte beyond the table.
    tags::Id3v1Block old{};
    std::memcpy(old.data(), "TAG", 3);
    std::memset(old.data() + 3, ' ', 90);
    std::memcpy(old.data() + 3, "Title", 5);
    std::memcpy(old.data() + 33, "Artist", 6);
    std::memcpy(old.data() + 63, "Album", 5);
    std::memcpy(old.data() + 93, "1987", 4);
    std::memset(old.data() + 97, 'c', 30);
    old[127] = 200;
    Bytes file(1000, 0x55);
    file.insert(file.end(), old.begin(), old.end());
    writeBytes(dir / "a.mp3", file);

    tags::TagRecord r;
    tags::readId3v1((dir / "a.mp3").string())->applyTo(r);
    ASSERT_EQ(r.genre, 12);
    // Putting every property back changes nothing.
    ASSERT_FALSE(tags::writeId3v1((dir / "a.mp3").string(), r));
    EXPECT_EQ(readBytes(dir / "a.mp3"), file);
    // One change: only that field is new.
    r.artist = "Other";
    ASSERT_FALSE(tags::writeId3v1((dir / "a.mp3").string(), r));
    const Bytes after = readBytes(dir / "a.mp3");
    ASSERT_EQ(after.size(), file.size());
    size_t differing = 0;
    for (size_t i = 0; i < file.size(); ++i)
        if (after[i] != file[i]) {
            ++differing;
            EXPECT_TRUE(i >= 1000 + 33 && i < 1000 + 63) << i;
        }
    EXPECT_GT(differing, 0u);
    EXPECT_EQ(tags::readId3v1((dir / "a.mp3").string())->artist, "Other");

    // The MPEG Plus writer keeps a track its reader does not take.
    old[125] = 0;
    old[126] = 9;
    file.resize(1000);
    file.insert(file.end(), old.begin(), old.end());
    writeBytes(dir / "b.mpc", file);
    tags::TagRecord m;
    auto mt = tags::parseId3v1(old, tags::Id3v1Reading::MpegPlus);
    m.title = mt->title;
    m.artist = mt->artist;
    m.album = "New album";
    m.comments = mt->comment;
    m.year = mt->year;
    m.genre = 12;
    ASSERT_FALSE(tags::writeId3v1Mpc((dir / "b.mpc").string(), m));
    const Bytes b = readBytes(dir / "b.mpc");
    EXPECT_EQ(b[1000 + 126], 9);
    EXPECT_EQ(b[1000 + 127], 200);
    EXPECT_EQ(
        tags::parseId3v1(std::span<const uint8_t, 128>(b.data() + 1000, 128), tags::Id3v1Reading::MpegPlus)->album,
        "New album");
}

TEST(Id3v1, AFailedAppendIsCutBack) {
    TempDir dir;
    const Bytes audio(5000, 0x33);
    writeBytes(dir / "a.mp3", audio);
    tags::TagRecord r;
    r.title = "Never";
    // Room for 40 of the 128 bytes, as on a disk that fills up.
    const std::string result =
        id3::writeWithFileSizeLimit(audio.size() + 40, [&] { return tags::writeId3v1((dir / "a.mp3").string(), r); });
    EXPECT_EQ(result, std::to_string(EFBIG) + " " + std::generic_category().message(EFBIG));
    EXPECT_EQ(readBytes(dir / "a.mp3"), audio);
}

// --- ID3v2: sizes and headers -------------------------------------------------

TEST(Id3v2, HeaderSizesAndStackedTags) {
    const std::string v3 = tagOf(3, frame23("TIT2", text0("A")));
    EXPECT_EQ(*tags::id3v2TotalSize(bytesOf(v3)), v3.size());
    // A 2.4 footer adds ten bytes to what the header states.
    const std::string v4 = tagOf(4, frame24("TIT2", text0("B")), 0x10) + "3DI" + std::string(7, '\0');
    EXPECT_EQ(*tags::id3v2TotalSize(bytesOf(v4)), v4.size());
    EXPECT_EQ(*tags::id3v2TotalSize(bytesOf(tagOf(2, frame22("TT2", text0("C"))))), 10 + 8u);
    // Not a tag: version 5, a revision of 0xFF, a size byte with its top bit.
    for (std::string bad : {std::string("ID3\x05\0\0\0\0\0\x01", 10), std::string("ID3\x03\xFF\0\0\0\0\x01", 10),
                            std::string("ID3\x03\0\0\0\x80\0\x01", 10), std::string("ID3\x03\0\0", 7)})
        EXPECT_FALSE(tags::id3v2TotalSize(bytesOf(bad)));

    // Tags one after another, then audio.
    const std::string audio(700, '\xFB');
    const Bytes file = bytesOf(v3 + v4 + v3 + audio);
    auto readAt = [&](uint64_t at, uint8_t* d, size_t n) {
        const size_t k = at < file.size() ? std::min<size_t>(n, file.size() - at) : 0;
        std::memcpy(d, file.data() + at, k);
        return k;
    };
    EXPECT_EQ(tags::id3v2LeadingSize(readAt, file.size()), 2 * v3.size() + v4.size());
    EXPECT_EQ(id3::tagsEnd(file), 2 * v3.size() + v4.size());
    // A tag reaching beyond the file: it is not counted, unless the caller
    // takes everything to the end as tag.
    const Bytes truncated = bytesOf(v3 + tagOf(3, std::string(100, 'x')).substr(0, 50));
    auto readShort = [&](uint64_t at, uint8_t* d, size_t n) {
        const size_t k = at < truncated.size() ? std::min<size_t>(n, truncated.size() - at) : 0;
        std::memcpy(d, truncated.data() + at, k);
        return k;
    };
    EXPECT_EQ(tags::id3v2LeadingSize(readShort, truncated.size()), v3.size());
    EXPECT_EQ(tags::id3v2LeadingSize(readShort, truncated.size(), true), truncated.size());

    TempDir dir;
    writeBytes(dir / "t.mp3", truncated);
    EXPECT_EQ(tags::id3v2LeadingSize((dir / "t.mp3").string()), v3.size());
    EXPECT_EQ(*tags::id3v2TotalSize((dir / "t.mp3").string()), v3.size());
    EXPECT_EQ(tags::id3v2LeadingSize((dir / "none.mp3").string()), 0u);
}

// --- ID3v2: reading ----------------------------------------------------------------

TEST(Id3v2, ReadsEveryVersionsLayout) {
    // 2.2: three-letter frames, 3-byte sizes.
    auto t2 = parsed(tagOf(2, frame22("TT2", text0("Two")) + frame22("TP1", "\x01" + utf16("Ann")) +
                                  frame22("TYE", text0("1999")) + frame22("TRK", text0("4/9")) +
                                  frame22("COM", std::string("\0eng\0Hello", 10)) + frame22("TCO", text0("(8)"))));
    EXPECT_EQ(t2.version, 2);
    auto r = recordOf(t2);
    EXPECT_EQ(r.title, "Two");
    EXPECT_EQ(r.artist, "Ann");
    EXPECT_EQ(r.year, 1999);
    EXPECT_EQ(r.track, 4);
    EXPECT_EQ(r.comments, "Hello");
    EXPECT_EQ(r.genre, 8);

    // 2.4: syncsafe sizes (a 300-byte frame), UTF-8, values separated by
    // zeros, the recording time, the genre as a bare number.
    const std::string longTitle(299, 'L');
    auto t4 =
        parsed(tagOf(4, frame24("TIT2", text3(longTitle)) + frame24("TPE1", text3(std::string("Ann\0Bob\0", 8))) +
                            frame24("TDRC", text3("2011-03-04")) + frame24("TCON", text3(std::string("13\0Rock", 7))) +
                            frame24("TALB", text3("Gr\xC3\xBC\xC3\x9F"
                                                  "e"))));
    r = recordOf(t4);
    EXPECT_EQ(r.title, longTitle);
    EXPECT_EQ(r.artist, "Ann; Bob");
    EXPECT_EQ(r.year, 2011);
    EXPECT_EQ(r.genre, 13);
    EXPECT_EQ(r.album, "Grüße");

    // 2.4 as iTunes writes it: plain 32-bit frame sizes.
    auto itunes = parsed(tagOf(4, frame23("TIT2", text0(longTitle)) + frame23("TPE1", text0("Plain"))));
    r = recordOf(itunes);
    EXPECT_EQ(r.title, longTitle);
    EXPECT_EQ(r.artist, "Plain");

    // 2.4 frame unsynchronisation with a data length indicator; a footer.
    const std::string stored = std::string("\0T\xFF\x00\xE0x", 6);
    auto unsync = parsed(tagOf(4, frame24("TIT2", syncsafe(5) + stored, 0x0003), 0x10) + "3DI" + std::string(7, '\0'));
    ASSERT_EQ(unsync.frames.size(), 1u);
    EXPECT_EQ(str(unsync.frames[0].body), syncsafe(5) + std::string("\0T\xFF\xE0x", 5));
    EXPECT_EQ(recordOf(unsync).title, "T\xC3\xBF\xC3\xA0x");  // ÿà, the bytes FF E0 as ISO-8859-1

    // 2.3: UTF-16 with marks of both orders, UTF-16BE, repeated frames joined.
    auto t3 =
        parsed(tagOf(3, frame23("TIT2", "\x01" + utf16("LE")) + frame23("TPE1", std::string("\x01\xFE\xFF\0B\0E", 7)) +
                            frame23("TPE1", std::string("\x02\0B\0E\0b\0e", 9)) + frame23("TCOM", text0("X")) +
                            frame23("TCOM", text0("Y"))));
    r = recordOf(t3);
    EXPECT_EQ(r.title, "LE");
    EXPECT_EQ(r.artist, "BE; BEbe");
    EXPECT_EQ(r.composer, "X; Y");
}

TEST(Id3v2, TheCommentShownAndTheUrl) {
    const std::string itunes = frame23("COMM", std::string("\0engiTunNORM\0 0000A 0000B", 25));
    const std::string deu = frame23("COMM", std::string("\0deu\0Deutsch", 12));
    const std::string eng = frame23("COMM", std::string("\x01"
                                                        "eng",
                                                        4) +
                                                utf16("") + std::string(2, '\0') + utf16("English"));
    // Only a machine comment: no comment.
    EXPECT_EQ(recordOf(parsed(tagOf(3, itunes))).comments, "");
    // An empty description in any language; "eng" before the others.
    EXPECT_EQ(recordOf(parsed(tagOf(3, itunes + deu))).comments, "Deutsch");
    EXPECT_EQ(recordOf(parsed(tagOf(3, itunes + deu + eng))).comments, "English");
    // Clearing the comment removes every frame that could read as it; the
    // machine comment stays. A new comment replaces only the one shown.
    const auto old = parsed(tagOf(3, itunes + deu + eng));
    for (const std::string& comment : {std::string(), std::string("New")}) {
        tags::TagRecord r = recordOf(old);
        r.comments = comment;
        const auto rebuilt = parsed(str(tags::buildId3v2(r, old)));
        EXPECT_EQ(recordOf(rebuilt).comments, comment);
        size_t comms = 0;
        for (const auto& f : rebuilt.frames) comms += f.id == "COMM";
        EXPECT_EQ(comms, comment.empty() ? 1u : 3u) << comment;
    }
    // The URL with an empty description.
    const std::string urls =
        frame23("WXXX", std::string("\0home\0http://a/", 15)) + frame23("WXXX", std::string("\0\0http://b/", 11));
    EXPECT_EQ(recordOf(parsed(tagOf(3, urls))).url, "http://b/");
}

TEST(Id3v2, TconRules) {
    EXPECT_EQ(tags::genreFromTcon("(13)"), 13);
    EXPECT_EQ(tags::genreFromTcon("13"), 13);
    EXPECT_EQ(tags::genreFromTcon("Pop"), 13);
    EXPECT_EQ(tags::genreFromTcon("pop"), 12);
    EXPECT_EQ(tags::genreFromTcon("(200)Foo"), 148);
    EXPECT_EQ(tags::genreFromTcon("200"), 148);
    EXPECT_EQ(tags::genreFromTcon("(RX)"), 0);
    EXPECT_EQ(tags::genreFromTcon("(17)Rock"), 17);
    EXPECT_EQ(tags::genreFromTcon("("), 12);
    EXPECT_EQ(tags::genreFromTcon("Chillwave"), 12);
    tags::Id3v2Tag t;
    t.text(tags::Id3v2Frame::TCON) = "(200)Foo";
    t.text(tags::Id3v2Frame::TRCK) = "3/12";
    t.text(tags::Id3v2Frame::TYER) = "1987";
    tags::TagRecord r;
    t.applyTo(r);
    EXPECT_EQ(r.genre, 12);
    EXPECT_EQ(r.track, 3);
    EXPECT_EQ(r.year, 1987);
    // Several values: the first one counts.
    EXPECT_EQ(recordOf(parsed(tagOf(4, frame24("TCON", text3(std::string("Chillwave\0Rock", 14)))))).genre, 12);
    EXPECT_EQ(recordOf(parsed(tagOf(4, frame24("TCON", text3(std::string("Rock\0Chillwave", 14)))))).genre, 17);
}

TEST(Id3v2, HostileTagsAndUnsynchronisation) {
    const std::string audio(300, '\xFB');
    // Size beyond the bytes: no tag.
    std::string frames = frame23("TIT2", std::string("\0Title", 6));
    std::string whole = tagOf(3, frames);
    whole[9] = 100;
    EXPECT_FALSE(tags::parseId3v2(bytesOf(whole)));
    // A frame claiming gigabytes ends the walk; frames before it are kept.
    frames = frame23("TPE1", std::string("\0Art", 4)) + "TIT2" + be32(0x7FFFFFF0) + std::string(4, '\0');
    auto t = parsed(tagOf(3, frames) + audio);
    EXPECT_EQ(t.text(tags::Id3v2Frame::TPE1), "Art");
    EXPECT_EQ(t.text(tags::Id3v2Frame::TIT2), "");
    // Frames beyond the stated tag size are audio, not tag.
    t = parsed(tagOf(3, frame23("TPE1", text0("Art"))) + frame23("TIT2", text0("Audio")) + audio);
    EXPECT_EQ(t.text(tags::Id3v2Frame::TIT2), "");
    // An empty frame is passed over, and padding ends the walk.
    t = parsed(tagOf(3, frame23("TALB", "") + frame23("TIT2", text0("After")), 0, std::string(20, '\0')));
    EXPECT_EQ(t.text(tags::Id3v2Frame::TIT2), "After");
    EXPECT_EQ(t.frames.size(), 1u);
    // Tag unsynchronisation: FF 00 in the stored bytes reads as FF.
    std::string unsynced = frame23("COMM", std::string("\0eng\0\xFF\x00text", 11));
    unsynced[7] = 10;  // the frame's own size counts the bytes without the inserted zero
    t = parsed(tagOf(3, unsynced, 0x80));
    EXPECT_EQ(t.text(tags::Id3v2Frame::COMM), "ÿtext");
    // Extended headers (2.3: size without itself; 2.4: syncsafe, with itself).
    t = parsed(tagOf(3, std::string("\0\0\0\x06", 4) + std::string(6, '\0') + frame23("TALB", text0("Alb")), 0x40));
    EXPECT_EQ(t.text(tags::Id3v2Frame::TALB), "Alb");
    t = parsed(tagOf(4, syncsafe(6) + std::string("\x01\0", 2) + frame24("TALB", text0("Alb4")), 0x40));
    EXPECT_EQ(t.text(tags::Id3v2Frame::TALB), "Alb4");
    // An extended header larger than the tag: no frames, still a tag.
    t = parsed(tagOf(3, std::string("\0\0\x10\0", 4) + frame23("TALB", text0("Alb")), 0x40));
    EXPECT_TRUE(t.frames.empty());
    // Compressed and encrypted frames are kept, not read.
    t = parsed(tagOf(3, frame23("TIT2", be32(100) + "zlibdata", 0x0080) +
                            frame23("TPE1", "\x80" + text0("enc"), 0x0040) +
                            frame23("TALB", "\x07" + text0("Grouped"), 0x0020)));
    EXPECT_EQ(t.frames.size(), 3u);
    EXPECT_EQ(t.text(tags::Id3v2Frame::TIT2), "");
    EXPECT_EQ(t.text(tags::Id3v2Frame::TPE1), "");
    EXPECT_EQ(t.text(tags::Id3v2Frame::TALB), "Grouped");
    // A compressed 2.2 tag holds nothing readable.
    EXPECT_TRUE(parsed(tagOf(2, frame22("TT2", text0("X")), 0x40)).frames.empty());

    // Random damage to a full tag: never a crash, never a read beyond it.
    tags::TagRecord r;
    r.title = "Title";
    r.artist = "Artist";
    r.comments = "Comments here";
    r.url = "http://x";
    for (int version : {2, 3, 4}) {
        Bytes good = tags::buildId3v2(r);
        good[3] = static_cast<uint8_t>(version);
        good.insert(good.end(), audio.begin(), audio.end());
        std::mt19937 rng(99 + version);
        for (int round = 0; round < 500; ++round) {
            Bytes b = good;
            for (int e = 0, n = 1 + rng() % 6; e < n; ++e) b[rng() % 90] = static_cast<uint8_t>(rng());
            if (rng() % 4 == 0) b.resize(rng() % b.size());
            if (auto m = tags::parseId3v2(b)) {
                EXPECT_LE(m->totalSize, b.size());
                EXPECT_LE(m->framesAsV23().size(), m->frames.size() + 2);
                (void)tags::buildId3v2(r, *m);
            }
        }
    }
}

// --- ID3v2: the 2.3 form ------------------------------------------------------------

TEST(Id3v2, FramesOfVersion24InTheirVersion23Form) {
    const std::string apic =
        text3("image/png") + std::string("\0\x03", 2) + "Caf\xC3\xA9" + std::string(1, '\0') + "\x89PNGdata";
    auto t = parsed(tagOf(4, frame24("TIT2",
                                     text3("Gr\xC3\xBC\xC3\x9F"
                                           "e"),
                                     0x4000) +
                                 frame24("TDRC", text3("2011-03-04T10:05")) + frame24("TDOR", text3("1999-01-02")) +
                                 frame24("TIPL", text3(std::string("producer\0Pat\0", 13))) +
                                 frame24("TMCL", text3(std::string("piano\0Ann", 9))) + frame24("APIC", apic) +
                                 frame24("TSOP", text3("Sort")) +
                                 frame24("TXXX", "\x40" + text3(std::string("desc\0val", 8)), 0x0040) +
                                 frame24("TCOM", "\x09" + syncsafe(50) + "compressed", 0x0049)));
    const auto v23 = t.framesAsV23();
    // (an original date of more than its year keeps "TDOR" beside "TORY")
    EXPECT_EQ(ids(v23), (std::vector<std::string>{"TIT2", "TYER", "TDAT", "TIME", "TORY", "TDOR", "IPLS", "APIC", "TSOP",
                                                  "TXXX", "TCOM"}));
    // UTF-8 becomes UTF-16 with mark; the tag-alter flag moves to its 2.3 place.
    EXPECT_EQ(str(find(v23, "TIT2")->body), std::string("\x01\xFF\xFEG\0r\0\xFC\0\xDF\0"
                                                        "e\0",
                                                        13));
    EXPECT_EQ(find(v23, "TIT2")->flags, 0x8000);
    EXPECT_EQ(str(find(v23, "TYER")->body), text0("2011"));
    EXPECT_EQ(str(find(v23, "TDAT")->body), text0("0403"));
    EXPECT_EQ(str(find(v23, "TIME")->body), text0("1005"));
    EXPECT_EQ(str(find(v23, "TORY")->body), text0("1999"));
    EXPECT_EQ(str(find(v23, "IPLS")->body), std::string("\0producer\0Pat\0piano\0Ann\0", 24));
    // A picture: the description re-encoded, the MIME type and data untouched.
    EXPECT_EQ(str(find(v23, "APIC")->body), std::string("\x01image/png\0\x03", 12) +
                                                std::string("\xFF\xFE"
                                                            "C\0a\0f\0\xE9\0\0\0",
                                                            12) +
                                                "\x89PNGdata");
    // Grouping: the group byte stays in front, the flag moves.
    EXPECT_EQ(find(v23, "TXXX")->flags, 0x0020);
    EXPECT_EQ(find(v23, "TXXX")->body[0], 0x40);
    // Compressed: the data length indicator becomes the 2.3 decompressed
    // size, ahead of the group byte; the data stays as it is.
    EXPECT_EQ(find(v23, "TCOM")->flags, 0x00A0);
    EXPECT_EQ(str(find(v23, "TCOM")->body), be32(50) + "\x09" + "compressed");
    EXPECT_EQ(recordOf(t).year, 2011);
    EXPECT_EQ(recordOf(t).title, "Grüße");
}

TEST(Id3v2, FramesOfVersion22InTheirVersion23Form) {
    auto t =
        parsed(tagOf(2, frame22("TT2", text0("T")) +
                            frame22("PIC", std::string("\0JPG\x03"
                                                       "Cover\0",
                                                       11) +
                                               "\xFF\xD8jpeg") +
                            frame22("PIC", std::string("\0GIF\x00\0", 6) + "GIF8") + frame22("LNK", "TT2http://x/") +
                            frame22("CRM", "owner\0x") + frame22("XYZ", "unknown") + frame22("TCP", text0("1")) +
                            frame22("ULT", std::string("\0eng\0words", 10))));
    const auto v23 = t.framesAsV23();
    EXPECT_EQ(ids(v23), (std::vector<std::string>{"TIT2", "APIC", "APIC", "LINK", "TCMP", "USLT"}));
    EXPECT_EQ(str(find(v23, "APIC")->body), std::string("\0image/jpeg\0\x03"
                                                        "Cover\0",
                                                        19) +
                                                "\xFF\xD8jpeg");
    EXPECT_EQ(str(find(v23, "APIC", 1)->body), std::string("\0image/gif\0\0\0", 13) + "GIF8");
    EXPECT_EQ(str(find(v23, "LINK")->body), "TIT2http://x/");
    EXPECT_EQ(str(find(v23, "USLT")->body), std::string("\0eng\0words", 10));
}

// --- ID3v2: writing ----------------------------------------------------------------

TEST(Id3v2, LayoutOfANewTag) {
    tags::TagRecord r;
    r.title = "A";
    auto tag = tags::buildId3v2(r);  // no genre: no "TCON"
    ASSERT_EQ(tag.size(), 10u + 12);
    EXPECT_EQ(std::string(tag.begin(), tag.begin() + 10), std::string("ID3\x03\0\0\0\0\0\x0c", 10));
    EXPECT_EQ(std::string(tag.begin() + 10, tag.begin() + 22), std::string("TIT2\0\0\0\x02\0\0\0A", 12));
    tags::setGenreIndex(r, 12);
    tag = tags::buildId3v2(r);
    EXPECT_EQ(std::string(tag.begin() + 22, tag.end()), std::string("TCON\0\0\0\x0a\0\0\0(12)Other", 20));
    r.genreText = "Klezmer";  // free text as it is
    tag = tags::buildId3v2(r);
    EXPECT_EQ(std::string(tag.begin() + 33, tag.end()), "Klezmer");
    r.genreText.clear();
    r.genre = genre::kDefault;

    // Frames of 20000 bytes in all: size groups 0, 1, 28, 32.
    r.title.clear();
    r.comments = std::string(20000 - 15, 'c');
    tag = tags::buildId3v2(r);
    EXPECT_EQ(tag[6], 0);
    EXPECT_EQ(tag[7], 1);
    EXPECT_EQ(tag[8], 28);
    EXPECT_EQ(tag[9], 32);
    EXPECT_EQ(tag.size(), 20010u);

    // Text beyond ISO-8859-1 is UTF-16 with mark; the URL stays ISO-8859-1.
    r = {};
    r.artist = "日本";
    r.url = "http://ü/";
    r.comments = "Ω";
    auto t = *tags::parseId3v2(tags::buildId3v2(r));
    EXPECT_EQ(str(find(t.frames, "TPE1")->body), std::string("\x01\xFF\xFE\xE5\x65\x2C\x67", 7));
    EXPECT_EQ(str(find(t.frames, "WXXX")->body), std::string("\0\0http://\xFC/", 11));
    EXPECT_EQ(str(find(t.frames, "COMM")->body), std::string("\x01"
                                                             "eng\xFF\xFE\0\0\xFF\xFE\xA9\x03",
                                                             12));
    EXPECT_EQ(recordOf(t), r);
}

TEST(Id3v2, ReplacingKeepsWhatIsNotChanged) {
    const std::string commItunes = frame23("COMM", std::string("\0engiTunNORM\0 0000A", 19));
    const std::string commDeu = frame23("COMM", std::string("\0deu\0Kommentar", 14));
    const std::string apic =
        frame23("APIC", std::string("\0image/jpeg\0\x03\0", 14) + std::string(3000, '\xAB'), 0x2000);
    const std::string old =
        tagOf(3,
              frame23("TPOS", text0("1/2")) + frame23("TRCK", text0("3/12")) + frame23("TIT2", text0("Old")) +
                  commItunes + frame23("TCON", text0("Chillwave")) + apic + frame23("TPE1", std::string("\0A\0B", 4)) +
                  commDeu + frame23("TYER", text0("2011")) + frame23("TDAT", text0("0403")),
              0, std::string(500, '\0'));
    const tags::Id3v2Tag tag = parsed(old);
    tags::TagRecord r = recordOf(tag);
    EXPECT_EQ(r.artist, "A; B");
    EXPECT_EQ(r.comments, "Kommentar");
    EXPECT_EQ(r.genre, 12);

    // Everything put back: the same frames, managed ones first, no padding.
    auto same = *tags::parseId3v2(tags::buildId3v2(r, tag));
    EXPECT_EQ(ids(same.frames), (std::vector<std::string>{"TIT2", "TPE1", "TRCK", "TYER", "TDAT", "TCON", "COMM",
                                                          "TPOS", "COMM", "APIC"}));
    for (const auto& f : tag.frames) {
        const int nth = f.id == "COMM" && f.body[1] == 'e' ? 1 : 0;  // the shown comment moves first
        ASSERT_TRUE(find(same.frames, f.id, nth)) << f.id;
        EXPECT_EQ(*find(same.frames, f.id, nth), f) << f.id;
    }
    EXPECT_EQ(same.totalSize, old.size() - 500);

    // A new title and comment: those frames only; the comment keeps its language.
    r.title = "New";
    r.comments = "Neu";
    auto changed = *tags::parseId3v2(tags::buildId3v2(r, tag));
    EXPECT_EQ(str(find(changed.frames, "TIT2")->body), text0("New"));
    EXPECT_EQ(str(find(changed.frames, "COMM")->body), std::string("\0deu\0Neu", 8));
    EXPECT_EQ(*find(changed.frames, "COMM", 1), *find(tag.frames, "COMM"));  // iTunNORM
    EXPECT_EQ(*find(changed.frames, "TRCK"), *find(tag.frames, "TRCK"));
    EXPECT_EQ(*find(changed.frames, "TCON"), *find(tag.frames, "TCON"));
    EXPECT_EQ(*find(changed.frames, "APIC"), *find(tag.frames, "APIC"));
    EXPECT_EQ(changed.frames.size(), tag.frames.size());

    // Changed numbers and genre are written as one plain value (the track
    // keeps its total); an emptied field loses its frame.
    r.track = 4;
    tags::setGenreIndex(r, 17);
    r.artist.clear();
    auto numbers = *tags::parseId3v2(tags::buildId3v2(r, tag));
    EXPECT_EQ(str(find(numbers.frames, "TRCK")->body), text0("4/12"));
    EXPECT_EQ(str(find(numbers.frames, "TCON")->body), text0("(17)Rock"));
    EXPECT_FALSE(find(numbers.frames, "TPE1"));
    const tags::TagRecord back = recordOf(numbers);
    for (const auto& f : tags::kFields) EXPECT_EQ(tags::fieldText(back, f.field), tags::fieldText(r, f.field)) << f.name;
}

TEST(Id3v2, StackedTagsBecomeOne) {
    // What an older writer left: a new 2.3 tag in front of the 2.4 tag it
    // could not read.
    const std::string front = tagOf(3, frame23("TIT2", text0("Front")) + frame23("TCON", text0("(12)Other")));
    const std::string behind = tagOf(4, frame24("TIT2", text3("Behind")) + frame24("TPE1", text3("Hidden artist")) +
                                            frame24("APIC", text0("image/png") + std::string("\0\x03\0", 3) + "PNG") +
                                            frame24("TPOS", text3("2/2")));
    const std::string audio(2000, '\xFB');
    TempDir dir;
    writeBytes(dir / "s.mp3", bytesOf(front + behind + audio));
    tags::TagRecord r = recordOf(*tags::readId3v2((dir / "s.mp3").string()));
    EXPECT_EQ(r.title, "Front");
    r.title = "Title";
    ASSERT_FALSE(tags::writeId3v2((dir / "s.mp3").string(), r));
    const Bytes after = readBytes(dir / "s.mp3");
    EXPECT_EQ(id3::tagCount(after), 1);
    EXPECT_EQ(str(Bytes(after.begin() + static_cast<long>(id3::tagsEnd(after)), after.end())), audio);
    auto t = *tags::readId3v2((dir / "s.mp3").string());
    EXPECT_EQ(t.version, 3);
    // The frames only the tag behind held come along; its managed ones do not.
    EXPECT_EQ(ids(t.frames), (std::vector<std::string>{"TIT2", "TCON", "APIC", "TPOS"}));
    EXPECT_EQ(recordOf(t), r);
}

TEST(Id3v2, RebuildFailuresLeaveTheFileAlone) {
    TempDir dir;
    const auto noTemporary = [&] {
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (replace::isTemporaryName(e.path().filename().string())) return false;
        return true;
    };
    tags::TagRecord r;
    r.title = "X";
    std::error_code ec = tags::writeId3v2((dir / "missing.mp3").string(), r);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
    EXPECT_FALSE(fs::exists(dir / "missing.mp3"));
    EXPECT_TRUE(noTemporary());
    ec = tags::writeId3v2((dir / "no-folder" / "a.mp3").string(), r);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
    EXPECT_EQ(tags::writeId3v2(dir.path().string(), r), std::errc::is_a_directory);

    // The disk fills while the new file is written (a tag that does not fit
    // the old one's place): the error comes back, the file is as it was and
    // no temporary is left.
    r.title = "Longer than the old one";
    const std::string old = tagOf(3, frame23("TIT2", text0("Old")));
    Bytes file = bytesOf(old);
    file.resize(60000, 0x55);
    writeBytes(dir / "full.mp3", file);
    const std::string result =
        id3::writeWithFileSizeLimit(30000, [&] { return tags::writeId3v2((dir / "full.mp3").string(), r); });
    EXPECT_EQ(result, std::to_string(EFBIG) + " " + std::generic_category().message(EFBIG));
    EXPECT_EQ(readBytes(dir / "full.mp3"), file);
    EXPECT_TRUE(noTemporary());

    // The user's "path~" (an editor's backup) is left as it is; mode kept; a
    // link stays a link and its target gets the tag.
    const Bytes audio(1000, 0x55);
    writeBytes(dir / "b.mp3", audio);
    writeBytes(dir / "b.mp3~", bytesOf("backup"));
    ::chmod((dir / "b.mp3").c_str(), 0640);
    ASSERT_FALSE(tags::writeId3v2((dir / "b.mp3").string(), r));
    EXPECT_EQ(readBytes(dir / "b.mp3~"), bytesOf("backup"));
    EXPECT_TRUE(noTemporary());
    struct stat st {};
    ASSERT_EQ(::stat((dir / "b.mp3").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    fs::create_symlink("b.mp3", dir / "link.mp3");
    r.title = "Through the link";
    ASSERT_FALSE(tags::writeId3v2((dir / "link.mp3").string(), r));
    EXPECT_TRUE(fs::is_symlink(dir / "link.mp3"));
    EXPECT_EQ(recordOf(*tags::readId3v2((dir / "b.mp3").string())).title, "Through the link");
    const Bytes b = readBytes(dir / "b.mp3");
    EXPECT_EQ(Bytes(b.begin() + static_cast<long>(id3::tagsEnd(b)), b.end()), audio);
}
