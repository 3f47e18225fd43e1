// User text fields ("TXXX") and pictures ("APIC", 2.2 "PIC") of ID3v2 tags:
// read in every text encoding and version, and changed on write, as mutagen
// (the outside view) reads them afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "id3_fixtures.h"
#include "tags/fields.h"
#include "tags/id3v2.h"

namespace qoro::tags {
namespace {

using namespace qoro::test;
using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

// --- tags built by hand, apart from the code under test --------------------------

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string syncsafe(uint32_t v) {
    return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F),
            static_cast<char>((v >> 7) & 0x7F), static_cast<char>(v & 0x7F)};
}
// UTF-16 of ASCII/Latin-1 text (one code unit per byte), with a byte-order mark.
std::string utf16le(const std::string& latin1, bool bom = true) {
    std::string s = bom ? std::string("\xFF\xFE", 2) : std::string();
    for (char c : latin1) s += c, s += '\0';
    return s;
}
std::string utf16be(const std::string& latin1) {
    std::string s;
    for (char c : latin1) s += '\0', s += c;
    return s;
}
const std::string z1(1, '\0'), z2(2, '\0');

Bytes tag(int version, const std::vector<std::pair<std::string, std::string>>& frames) {
    std::string body;
    for (const auto& [id, content] : frames) {
        if (version == 2) {
            const auto n = static_cast<uint32_t>(content.size());
            body += id + std::string{static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
        } else {
            body += id + (version == 4 ? syncsafe(static_cast<uint32_t>(content.size()))
                                       : be32(static_cast<uint32_t>(content.size())));
            body += z2;  // flags
        }
        body += content;
    }
    const std::string all =
        "ID3" + std::string{static_cast<char>(version), 0, 0} + syncsafe(static_cast<uint32_t>(body.size())) + body;
    return Bytes(all.begin(), all.end());
}

TEST(Id3v2Extras, UserTextInEveryEncodingAndVersion) {
    // 2.3: ISO-8859-1, and UTF-16 with two values (the second without its mark).
    const auto v23 =
        parseId3v2(tag(3, {
                              {"TIT2", z1 + "Title"},
                              {"TXXX", z1 + "Caf\xE9" + z1 + "Cr\xE8me"},
                              {"TXXX", "\x01" + utf16le("Two") + z2 + utf16le("a") + z2 + utf16le("b", false)},
                              {"TXXX", z1 + "Empty" + z1},
                          }));
    ASSERT_TRUE(v23);
    const TagExtras e3 = v23->extras();
    // Several values stay apart; a frame without a value gives none.
    ASSERT_EQ(e3.fields.size(), 3u);
    EXPECT_EQ(e3.fields[0], (TagField{"Café", "Crème"}));
    EXPECT_EQ(e3.fields[1], (TagField{"Two", "a"}));
    EXPECT_EQ(e3.fields[2], (TagField{"Two", "b"}));
    EXPECT_TRUE(e3.pictures.empty());

    // 2.4: UTF-16BE and UTF-8 (several values separated by a zero).
    const auto v24 = parseId3v2(tag(4, {
                                           {"TXXX", "\x02" + utf16be("BE") + z2 + utf16be("big")},
                                           {"TXXX",
                                            "\x03"
                                            "Stimmung\0ruhig \xE2\x9C\x93\0laut"s},
                                       }));
    ASSERT_TRUE(v24);
    const TagExtras e4 = v24->extras();
    ASSERT_EQ(e4.fields.size(), 3u);
    EXPECT_EQ(e4.fields[0], (TagField{"BE", "big"}));
    EXPECT_EQ(e4.fields[1], (TagField{"Stimmung", "ruhig \u2713"}));
    EXPECT_EQ(e4.fields[2], (TagField{"Stimmung", "laut"}));

    // 2.2: "TXX" and "PIC" with its three-letter image formats.
    const std::string png = "\x89PNG\r\n\x1A\n-png-bytes";
    const auto v22 = parseId3v2(tag(2, {
                                           {"TXX", z1 + "Catalog" + z1 + "CAT-42"},
                                           {"PIC", z1 + "PNG" + "\x03" + "Front" + z1 + png},
                                           {"PIC", z1 + "JPG" + "\x04" + z1 + "jpeg-bytes"},
                                       }));
    ASSERT_TRUE(v22);
    const TagExtras e2 = v22->extras();
    ASSERT_EQ(e2.fields.size(), 1u);
    EXPECT_EQ(e2.fields[0], (TagField{"Catalog", "CAT-42"}));
    ASSERT_EQ(e2.pictures.size(), 2u);
    EXPECT_EQ(e2.pictures[0].kind, 3);
    EXPECT_EQ(e2.pictures[0].mimeType, "image/png");
    EXPECT_EQ(e2.pictures[0].description, "Front");
    EXPECT_EQ(e2.pictures[0].data, Bytes(png.begin(), png.end()));
    EXPECT_EQ(e2.pictures[1].kind, 4);
    EXPECT_EQ(e2.pictures[1].mimeType, "image/jpeg");
    EXPECT_EQ(std::string(e2.pictures[1].data.begin(), e2.pictures[1].data.end()), "jpeg-bytes");
}

TEST(Id3v2Extras, DamagedFramesGiveNothingAndNeverCrash) {
    const auto t =
        parseId3v2(tag(3, {
                              {"TXXX", std::string(1, '\x01')},                     // encoding only
                              {"APIC", z1 + "image/png"},                           // no terminator
                              {"APIC", z1 + "image/png" + z1 + "\x03" + "no end"},  // description unterminated
                              {"APIC", "\x01" + std::string("image/png") + z1 + "\x03" + "\xFF"},  // odd UTF-16
                          }));
    ASSERT_TRUE(t);
    const TagExtras e = t->extras();
    EXPECT_TRUE(e.pictures.empty());
    EXPECT_TRUE(e.fields.empty());
}

TEST(Id3v2Extras, ChangesReplaceAddAndRemoveInPlace) {
    const auto old = parseId3v2(tag(3, {
                                           {"TXXX", z1 + "A" + z1 + "1"},
                                           {"TPE2", z1 + "Band"},
                                           {"TXXX", z1 + "B" + z1 + "2"},
                                           {"TXXX", z1 + "A" + z1 + "again"},
                                           {"APIC", z1 + "image/jpeg" + z1 + "\x03" + z1 + "old"},
                                           {"APIC", z1 + "image/jpeg" + z1 + "\x04" + z1 + "back"},
                                       }));
    ASSERT_TRUE(old);
    TagRecord record;
    old->applyTo(record);
    TagChanges changes;
    changes.fields = {{"A", "first"}, {"A", "\u00c4nderung"}, {"B", ""}, {"New", "n"}};
    changes.pictures = {{.kind = 3, .mimeType = "image/png", .description = "", .data = {1, 2, 3}},
                        {.kind = 4, .mimeType = "", .description = "", .data = {}}};
    const Bytes built = buildId3v2(record, *old, {}, changes);
    const auto back = parseId3v2(built);
    ASSERT_TRUE(back);
    std::vector<std::string> ids;
    for (const auto& f : back->frames) ids.push_back(f.id);
    // "A" in the place of its first frame, "B" gone, the new field at the end.
    EXPECT_EQ(ids, (std::vector<std::string>{"TXXX", "TPE2", "APIC", "TXXX"}));
    const TagExtras e = back->extras();
    ASSERT_EQ(e.fields.size(), 3u);
    EXPECT_EQ(e.fields[0], (TagField{"A", "\u00c4nderung"}));
    EXPECT_EQ(e.fields[1], (TagField{"ALBUMARTIST", "Band"}));  // "TPE2" by its map name
    EXPECT_EQ(e.fields[2], (TagField{"New", "n"}));
    ASSERT_EQ(e.pictures.size(), 1u);
    EXPECT_EQ(e.pictures[0].mimeType, "image/png");
    EXPECT_EQ(e.pictures[0].data, (Bytes{1, 2, 3}));
    // No changes: the same tag as before this work.
    EXPECT_EQ(buildId3v2(record, *old, {}, {}), buildId3v2(record, *old));
}

TEST(Id3v2Extras, MappedFramesDatesTotalsAndEarlierNames) {
    // 2.4 time stamps whole, "3/12" and "1/2" with their totals, "TXXX"
    // frames earlier versions named by map names as their fields.
    const auto v24 = parseId3v2(tag(4, {
                                           {"TDRC", z1 + "2021-06-01"},
                                           {"TDOR", z1 + "2019-03-04"},
                                           {"TRCK", z1 + "3/12"},
                                           {"TPOS", z1 + "1/2"},
                                           {"TMOO", z1 + "calm"},
                                           {"TXXX", z1 + "ALBUMARTIST" + z1 + "Band"},
                                           {"TXXX", z1 + "musicbrainz album id" + z1 + "mb"},
                                           {"TCON", z1 + "(17)" + z1 + "Klezmer"},
                                       }));
    ASSERT_TRUE(v24);
    TagRecord r;
    v24->applyTo(r);
    EXPECT_EQ(fieldText(r, Field::Year), "2021-06-01");
    EXPECT_EQ(r.year, 2021);
    EXPECT_EQ(r.track, 3);
    EXPECT_EQ(fieldValues(r, Field::Genre), (std::vector<std::string>{"Rock", "Klezmer"}));
    const TagExtras e = v24->extras();
    const std::vector<TagField> want = {{"TOTALTRACKS", "12"}, {"ORIGINALDATE", "2019-03-04"},
                                        {"DISCNUMBER", "1"},   {"TOTALDISCS", "2"},
                                        {"MOOD", "calm"},      {"ALBUMARTIST", "Band"},
                                        {"MUSICBRAINZ_ALBUMID", "mb"}};
    EXPECT_EQ(e.fields, want);
    // Rewritten as version 2.3: the date in "TYER" and "TDAT", the earlier
    // "TXXX:ALBUMARTIST" in "TPE2", nothing of the fields lost.
    const auto v23 = parseId3v2(buildId3v2(r, *v24));
    ASSERT_TRUE(v23);
    std::vector<std::string> ids;
    for (const auto& f : v23->frames) ids.push_back(f.id);
    for (const char* id : {"TYER", "TDAT", "TPE2", "TRCK", "TPOS"})
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 1) << id;
    TagRecord again;
    v23->applyTo(again);
    EXPECT_EQ(again, r);
    // ("TDOR" stays beside "TORY": the whole original date survives)
    EXPECT_EQ(v23->extras().fields, want);
}

// --- files tagged by mutagen -----------------------------------------------------

class Id3v2ExtrasFiles : public ::testing::TestWithParam<int> {};

TEST_P(Id3v2ExtrasFiles, ReadAsMutagenWroteThem) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path cover = id3::coverJpeg(dir);
    const fs::path mp3 = id3::lameMp3(dir, "plain.mp3");
    const fs::path tagged = GetParam() == 2 ? id3::ownV22Tagged(mp3, dir / "t.mp3", cover)
                                            : id3::mutagenTagged(mp3, dir / "t.mp3", GetParam(), cover);
    const auto t = readId3v2(tagged.string());
    ASSERT_TRUE(t);
    const TagExtras e = t->extras();
    const TagField wanted =
        GetParam() == 2 ? TagField{"Catalog", "CAT-42"} : TagField{"MUSICBRAINZ_ALBUMID", "f00d-beef"};
    EXPECT_EQ(std::count(e.fields.begin(), e.fields.end(), wanted), 1);
    ASSERT_EQ(e.pictures.size(), 1u);
    EXPECT_EQ(e.pictures[0].kind, 3);
    EXPECT_EQ(e.pictures[0].mimeType, "image/jpeg");
    EXPECT_EQ(e.pictures[0].description, "Cover");
    EXPECT_EQ(e.pictures[0].data, readBytes(cover));
}

INSTANTIATE_TEST_SUITE_P(Versions, Id3v2ExtrasFiles, ::testing::Values(2, 3, 4));

// mutagen writes versions 2.3 and 2.4.
class Id3v2ExtrasWrites : public ::testing::TestWithParam<int> {};

TEST_P(Id3v2ExtrasWrites, ChangesAsMutagenReadsThem) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path cover = id3::coverJpeg(dir);
    const fs::path png = id3::pngCover(dir);
    const fs::path mp3 = id3::lameMp3(dir, "plain.mp3");
    const fs::path before = id3::mutagenTagged(mp3, dir / "before.mp3", GetParam(), cover);
    const fs::path after = dir / "after.mp3";
    fs::copy_file(before, after);
    TagRecord record;
    readId3v2(before.string())->applyTo(record);

    // Replaced, added (beyond ISO-8859-1), and a new front cover.
    TagChanges changes;
    changes.fields = {{"MusicBrainz Album Id", "c0ffee-42"}, {"Stimmung", "ruhig \u2713"}};
    changes.pictures = {{.kind = 3, .mimeType = "image/png", .description = "Neu", .data = readBytes(png)}};
    const std::error_code ec = writeId3v2(after.string(), record, changes);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(id3::mutagenExtras(after, dir / "pic"),
              "TXXX MusicBrainz Album Id=c0ffee-42\nTXXX Stimmung=ruhig \u2713\nAPIC 3 image/png Neu\n");
    EXPECT_EQ(readBytes(dir / "pic.0"), readBytes(png));
    // Every other frame as it was.
    const std::string diff = id3::mutagenDiff(before, after);
    EXPECT_NE(diff.find("DIFF APIC:Cover: "), std::string::npos) << diff;
    EXPECT_NE(diff.find("DIFF APIC:Neu: "), std::string::npos) << diff;
    EXPECT_NE(diff.find("DIFF TXXX:MusicBrainz Album Id: "), std::string::npos) << diff;
    EXPECT_NE(diff.find("DIFF TXXX:Stimmung: "), std::string::npos) << diff;
    size_t lines = 0;
    for (size_t at = 0; (at = diff.find("DIFF ", at)) != std::string::npos; at += 5) ++lines;
    EXPECT_EQ(lines, 4u) << diff;
    // The audio after the tag is untouched.
    const Bytes a = readBytes(before), b = readBytes(after);
    EXPECT_TRUE(std::equal(a.begin() + static_cast<long>(id3::tagsEnd(a)), a.end(),
                           b.begin() + static_cast<long>(id3::tagsEnd(b)), b.end()));

    // Removing both: mutagen finds neither, and nothing else changed.
    const fs::path removed = dir / "removed.mp3";
    fs::copy_file(before, removed);
    TagChanges remove;
    remove.fields = {{"MusicBrainz Album Id", ""}};
    remove.pictures = {{.kind = 3, .mimeType = "", .description = "", .data = {}}};
    ASSERT_FALSE(writeId3v2(removed.string(), record, remove));
    EXPECT_EQ(id3::mutagenExtras(removed, dir / "none"), "");
    const std::string diff2 = id3::mutagenDiff(before, removed);
    size_t lines2 = 0;
    for (size_t at = 0; (at = diff2.find("DIFF ", at)) != std::string::npos; at += 5) ++lines2;
    EXPECT_EQ(lines2, 2u) << diff2;
}

INSTANTIATE_TEST_SUITE_P(Versions, Id3v2ExtrasWrites, ::testing::Values(3, 4));

TEST(Id3v2Extras, NewTagOnAnUntaggedFileHoldsTheChanges) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path mp3 = id3::lameMp3(dir, "plain.mp3");
    const Bytes audio = readBytes(mp3);
    TagRecord record;
    record.title = "T";
    TagChanges changes;
    changes.fields = {{"Key", "Value"}};
    changes.pictures = {{.kind = 3, .mimeType = "image/jpeg", .description = "", .data = {0xFF, 0xD8, 0xFF, 0xE0}}};
    ASSERT_FALSE(writeId3v2(mp3.string(), record, changes));
    EXPECT_EQ(id3::mutagenExtras(mp3, dir / "p"), "TXXX Key=Value\nAPIC 3 image/jpeg \n");
    EXPECT_EQ(readBytes(dir / "p.0"), (Bytes{0xFF, 0xD8, 0xFF, 0xE0}));
    const Bytes now = readBytes(mp3);
    EXPECT_TRUE(std::equal(now.begin() + static_cast<long>(id3::tagsEnd(now)), now.end(), audio.begin(), audio.end()));
}

}  // namespace
}  // namespace qoro::tags
