// APEv2 tags and the tags files end with: the tails in every order, damaged
// sizes, and tags written by mutagen read (and rewritten) as mutagen reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "tags/apev2.h"
#include "tags/fields.h"
#include "tags/tails.h"
#include "tag_bytes.h"
#include "test_support.h"

namespace qoro::tags {
namespace {

using namespace qoro::test;
using namespace qoro::tags::testing;

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes apeTag(std::vector<ape::Item> items) { return *ape::serialize(ape::Tag{2000, std::move(items)}); }
ape::Item text(std::string key, std::string_view value) { return {std::move(key), 0, bytesOf(value)}; }

const Bytes kAudio(3000, 0x55);
const Bytes kApe = apeTag({text("Title", "T"), text("Artist", "A")});
const Bytes kLyrics2 = [] {
    const std::string body = "LYRICSBEGININD0000211";  // an "IND" field of 2 bytes
    char size[7];
    std::snprintf(size, sizeof size, "%06zu", body.size());
    return bytesOf(body + size + "LYRICS200");
}();
const Bytes kLyrics1 = bytesOf("LYRICSBEGINsome words hereLYRICSEND");
const Bytes kId3v1 = [] {
    Bytes b(128, 0);
    std::memcpy(b.data(), "TAGTitle", 8);
    return b;
}();

TEST(Tails, EveryOrderOfPresence) {
    struct Case {
        const char* name;
        bool ape;
        const Bytes* lyrics;
        bool id3v1;
    };
    const Case cases[] = {
        {"none", false, nullptr, false},           {"ape", true, nullptr, false},
        {"ape+id3v1", true, nullptr, true},        {"ape+lyrics2+id3v1", true, &kLyrics2, true},
        {"lyrics2+id3v1", false, &kLyrics2, true}, {"ape+lyrics1+id3v1", true, &kLyrics1, true},
        {"id3v1", false, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = kAudio;
        FileTails want;
        auto add = [&file](ByteRange& r, const Bytes& bytes) {
            r = {file.size(), bytes.size()};
            append(file, bytes);
        };
        if (c.ape) add(want.ape, kApe);
        if (c.lyrics) add(want.lyrics3, *c.lyrics);
        if (c.id3v1) add(want.id3v1, kId3v1);
        const FileTails got = findTails(readerOf(file), file.size());
        EXPECT_EQ(got.contentEnd, kAudio.size());
        for (auto [g, w] : std::initializer_list<std::pair<ByteRange, ByteRange>>{
                 {got.ape, want.ape}, {got.lyrics3, want.lyrics3}, {got.id3v1, want.id3v1}}) {
            EXPECT_EQ(g.offset, w.offset);
            EXPECT_EQ(g.size, w.size);
        }
        if (!c.ape) continue;
        const auto tag = ape::readTag(readerOf(file), got.ape);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->items.size(), 2u);
    }
    // By name; a file that cannot be read has no tails.
    TempDir dir;
    Bytes file = kAudio;
    append(file, kApe);
    append(file, kId3v1);
    writeBytes(dir / "f.bin", file);
    EXPECT_EQ(findTails((dir / "f.bin").string()).contentEnd, kAudio.size());
    EXPECT_EQ(findTails((dir / "none.bin").string()).contentEnd, 0u);
    EXPECT_TRUE(findTails(dir.path().string()).ape.empty());
}

TEST(Tails, DamagedOrImplausibleNotTaken) {
    auto le32 = [](Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;  // on audio + APE + Lyrics3 v2 + ID3v1
        uint64_t contentEnd;                 // what is taken as audio
    };
    const uint64_t apeAt = kAudio.size(), lyricsAt = apeAt + kApe.size(), id3At = lyricsAt + kLyrics2.size();
    const size_t footer = id3At - kLyrics2.size() - 32;
    const Case cases[] = {
        {"intact", [](Bytes&) {}, apeAt},
        {"APE size beyond the file", [&](Bytes& b) { le32(b, footer + 12, uint32_t(b.size())); }, lyricsAt},
        {"APE item count beyond its size", [&](Bytes& b) { le32(b, footer + 16, 1000); }, lyricsAt},
        {"APE version 3000", [&](Bytes& b) { le32(b, footer + 8, 3000); }, lyricsAt},
        {"APE header missing: items still taken", [&](Bytes& b) { b[apeAt] = 'X'; }, apeAt + 32},
        {"Lyrics3 size beyond the file", [&](Bytes& b) { std::memcpy(&b[id3At - 15], "999999", 6); }, id3At},
        {"Lyrics3 size not digits", [&](Bytes& b) { b[id3At - 12] = 'x'; }, id3At},
        {"Lyrics3 begin marker missing", [&](Bytes& b) { b[lyricsAt] = 'X'; }, id3At},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = kAudio;
        for (const Bytes* tail : {&kApe, &kLyrics2, &kId3v1}) append(file, *tail);
        c.damage(file);
        const FileTails t = findTails(readerOf(file), file.size());
        EXPECT_EQ(t.contentEnd, c.contentEnd);
        EXPECT_EQ(t.id3v1.offset, id3At);
    }
    // An APE tag that ends the file is no ID3v1 tag, even where its last
    // 128 bytes begin with "TAG".
    Bytes file = kAudio;
    Bytes ape = apeTag({text("Comment", std::string(200, 'c'))});
    std::memcpy(&ape[ape.size() - 128], "TAG", 3);
    append(file, ape);
    const FileTails t = findTails(readerOf(file), file.size());
    EXPECT_TRUE(t.id3v1.empty());
    EXPECT_EQ(t.ape.offset, kAudio.size());
    // An ID3v1 tag whose comment ends like an APEv2 footer (of a size the
    // file holds) stays an ID3v1 tag.
    Bytes fake = kId3v1;
    std::copy_n(apeTag({}).end() - 32, 32, fake.end() - 32);
    fake[fake.size() - 20] = 100;
    file = kAudio;
    append(file, kApe);
    append(file, fake);
    EXPECT_EQ(findTails(readerOf(file), file.size()).id3v1.offset, kAudio.size() + kApe.size());
    // Short files and reads that fail take nothing.
    for (size_t n : {0, 1, 31, 127}) EXPECT_EQ(findTails(readerOf(Bytes(n, 'T')), n).contentEnd, n);
    EXPECT_EQ(findTails([](uint64_t, uint8_t*, size_t) { return size_t{0}; }, 5000).contentEnd, 5000u);
}

TEST(Apev2, DamagedItemsRefused) {
    const Bytes good = apeTag({text("Title", "T"), text("Genre", "G")});
    ASSERT_TRUE(ape::parse(good));
    const size_t item = 32;  // the first item, after the header
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"value size beyond the items", [](Bytes& b) { b[item] = 0xFF; }},
        {"value size of 4 GiB", [](Bytes& b) { std::memset(&b[item], 0xFF, 4); }},
        {"key without its zero", [](Bytes& b) { std::fill(b.begin() + item + 8, b.end() - 32, uint8_t{'k'}); }},
        {"empty key", [](Bytes& b) { b[item + 8] = 0; }},
        {"more items than there are", [](Bytes& b) { b[b.size() - 16] = 3; }},
        {"no footer", [](Bytes& b) { b[b.size() - 32] = 'X'; }},
        {"footer size beyond the bytes", [](Bytes& b) { b[b.size() - 19] = 0x10; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.damage(b);
        EXPECT_FALSE(ape::parse(b));
    }
    EXPECT_FALSE(ape::readTag(readerOf(good), {0, good.size() + 1}));  // reads short
    EXPECT_FALSE(ape::readTag(readerOf(good), {0, uint64_t{1} << 40}));
}

TEST(Apev2, Keys) {
    for (std::string_view ok : {"Ab", "Cover Art (Front)", "~ }"}) EXPECT_TRUE(ape::isValidKey(ok)) << ok;
    EXPECT_TRUE(ape::isValidKey(std::string(255, 'k')));
    for (std::string_view bad : {"A", "TAG", "id3", "oggs", "MP+", "Tab\tKey", "Del\x7F", "Gr\xC3\xBC\xC3\x9F"})
        EXPECT_FALSE(ape::isValidKey(bad)) << bad;
    EXPECT_FALSE(ape::isValidKey(std::string(256, 'k')));
}

// --- Against mutagen ---------------------------------------------------------------

// Tags a file of plain bytes with mutagen: several text values, the numbers
// with totals, mapped and unknown keys, binary and link items, covers.
constexpr const char* kMutagenTag = R"(
import sys, mutagen.apev2 as a
t = a.APEv2()
t['Title'] = ['One', 'Two']
t['Artist'] = '\u00c4rtist'
t['Year'] = '2021-06-01'
t['Genre'] = 'Klezmer'
t['Track'] = '3/12'
t['Disc'] = '1/2'
t['Album Artist'] = 'The Band'
t['MUSICBRAINZ_ALBUMID'] = '9e873859-8aa4-4790-b985-5a953e8ef628'
t['Mood Color'] = ['blue', 'green']
t['Blob'] = a.APEValue(b'\x00\x01\x02', a.BINARY)
t['Homepage'] = a.APEValue('http://example.org/', a.EXTERNAL)
t['Cover Art (Front)'] = a.APEValue(b'front.png\x00\x89PNG\r\n\x1a\nfront', a.BINARY)
t['Cover Art (Back)'] = a.APEValue(b'back.jpg\x00\xff\xd8\xff\xe0back', a.BINARY)
t['Cover Art (Weird)'] = a.APEValue(b'w.jpg\x00\xff\xd8\xff', a.BINARY)
t.save(sys.argv[1])
)";

// mutagen's reading: one line "key<TAB>kind<TAB>value" per text value, the
// value of other items in hex.
constexpr const char* kMutagenDump = R"(
import sys, mutagen.apev2 as a
for k, v in a.APEv2(sys.argv[1]).items():
    vals = list(v) if v.kind == a.TEXT else [v.value.hex() if v.kind == a.BINARY else v.value.encode().hex()]
    for x in vals: print('%s\t%d\t%s' % (k, v.kind, x))
)";

using Dump = std::multimap<std::string, std::pair<int, std::string>>;

Dump mutagenDump(const fs::path& file) {
    const CommandResult r = python(kMutagenDump, {file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    Dump d;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        if (b != std::string::npos) d.insert({line.substr(0, a), {std::stoi(line.substr(a + 1)), line.substr(b + 1)}});
    }
    return d;
}

std::vector<std::string> textsOf(const Dump& d, const std::string& key) {
    std::vector<std::string> out;
    for (auto [it, end] = d.equal_range(key); it != end; ++it) out.push_back(it->second.second);
    return out;
}

std::vector<std::string> fieldsOf(const TagExtras& x, const std::string& name) {
    std::vector<std::string> out;
    for (const TagField& f : x.fields)
        if (f.name == name) out.push_back(f.value);
    return out;
}

struct MutagenFile : ::testing::Test {
    void SetUp() override {
        QORO_REQUIRE_MUTAGEN();
        path = dir / "tagged.bin";
        writeBytes(path, kAudio);
        const CommandResult r = python(kMutagenTag, {path.string()});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        dump = mutagenDump(path);
        const Bytes file = readBytes(path);
        const FileTails t = findTails(readerOf(file), file.size());
        ASSERT_EQ(t.contentEnd, kAudio.size());
        auto parsed = ape::readTag(readerOf(file), t.ape);
        ASSERT_TRUE(parsed);
        tag = *parsed;
        ape::applyTo(tag, record, extras);
    }
    // The file with its tag replaced by 'after', and mutagen's reading of it.
    Dump rewritten(const ape::Tag& after) {
        Bytes file = kAudio;
        append(file, *ape::serialize(after));
        writeBytes(dir / "after.bin", file);
        return mutagenDump(dir / "after.bin");
    }
    TempDir dir;
    fs::path path;
    Dump dump;
    ape::Tag tag;
    TagRecord record;
    TagExtras extras;
};

TEST_F(MutagenFile, ReadsAsMutagenReads) {
    EXPECT_EQ(fieldValues(record, Field::Title), textsOf(dump, "Title"));
    EXPECT_EQ(record.title, "One; Two");
    EXPECT_EQ(std::vector{record.artist}, textsOf(dump, "Artist"));
    EXPECT_EQ(std::vector{record.date}, textsOf(dump, "Year"));
    EXPECT_EQ(record.year, 2021);
    EXPECT_EQ(std::vector{record.genreText}, textsOf(dump, "Genre"));
    EXPECT_EQ(std::to_string(record.track) + "/" + fieldsOf(extras, "TOTALTRACKS").at(0), textsOf(dump, "Track").at(0));
    EXPECT_EQ(fieldsOf(extras, "DISCNUMBER").at(0) + "/" + fieldsOf(extras, "TOTALDISCS").at(0),
              textsOf(dump, "Disc").at(0));
    EXPECT_EQ(fieldsOf(extras, "ALBUMARTIST"), textsOf(dump, "Album Artist"));
    EXPECT_EQ(fieldsOf(extras, "MUSICBRAINZ_ALBUMID"), textsOf(dump, "MUSICBRAINZ_ALBUMID"));
    EXPECT_EQ(fieldsOf(extras, "Mood Color"), textsOf(dump, "Mood Color"));
    // Binary and link items are no fields; the two covers named as ID3v2
    // names its kinds are pictures, the third stays an item.
    EXPECT_TRUE(fieldsOf(extras, "Blob").empty());
    EXPECT_TRUE(fieldsOf(extras, "Homepage").empty());
    EXPECT_EQ(extras.fields.size(), 7u);
    ASSERT_EQ(extras.pictures.size(), 2u);
    for (const TagPicture& p : extras.pictures) {
        const std::string key = p.kind == 3 ? "Cover Art (Front)" : "Cover Art (Back)";
        EXPECT_EQ(hexOf(bytesOf(p.description + '\0')) + hexOf(p.data), textsOf(dump, key).at(0));
        EXPECT_EQ(p.mimeType, p.kind == 3 ? "image/png" : "image/jpeg");
    }
}

TEST_F(MutagenFile, RewriteKeepsWhatItDoesNotChange) {
    // Writing what was read changes nothing.
    EXPECT_EQ(ape::updated(tag, record, {}).items, tag.items);

    TagRecord r = record;
    setFieldValues(r, Field::Artist, {"New", "Two"});
    setYear(r, 1999);
    r.track = 4;
    TagChanges changes;
    changes.fields = {
        {"TOTALDISCS", "3"}, {"ALBUMARTIST", ""}, {"Mood Color", std::vector<std::string>{"red"}}, {"New Key", "v"}};
    TagPicture front;
    front.kind = 3;  // no data: removed
    TagPicture leaflet{5, "image/png", "", bytesOf("\x89PNG leaflet")};
    changes.pictures = {front, leaflet};
    const ape::Tag after = ape::updated(tag, r, changes);
    const Dump d = rewritten(after);
    EXPECT_EQ(textsOf(d, "Artist"), (std::vector<std::string>{"New", "Two"}));
    EXPECT_EQ(textsOf(d, "Year"), std::vector<std::string>{"1999"});
    EXPECT_EQ(textsOf(d, "Track"), std::vector<std::string>{"4/12"});
    EXPECT_EQ(textsOf(d, "Disc"), std::vector<std::string>{"1/3"});
    EXPECT_EQ(textsOf(d, "Mood Color"), std::vector<std::string>{"red"});
    EXPECT_EQ(textsOf(d, "New Key"), std::vector<std::string>{"v"});
    EXPECT_EQ(d.count("Album Artist") + d.count("Cover Art (Front)"), 0u);
    EXPECT_EQ(textsOf(d, "Cover Art (Leaflet)"),
              std::vector<std::string>{hexOf(bytesOf(std::string("cover.png") + '\0' + "\x89PNG leaflet"))});
    // Everything else as it was: the same values, the same bytes, the same order.
    for (const char* key :
         {"Title", "Genre", "MUSICBRAINZ_ALBUMID", "Blob", "Homepage", "Cover Art (Back)", "Cover Art (Weird)"})
        EXPECT_EQ(textsOf(d, key), textsOf(dump, key)) << key;
    auto position = [](const ape::Tag& t, std::string_view key) {
        for (size_t i = 0; i < t.items.size(); ++i)
            if (t.items[i].key == key) return i;
        return t.items.size();
    };
    EXPECT_EQ(position(after, "Artist"), position(tag, "Artist"));
    EXPECT_LT(position(after, "Blob"), position(after, "New Key"));
}

// Items named by map names instead of their keys ("DATE", "tracknumber", as
// other programs write them) are read where the own key is absent, and are
// replaced with it when the field changes.
TEST(Apev2, ItemsNamedByMapNames) {
    const ape::Tag tag{
        2000,
        {text("DATE", "1990"), text("Year", "2001"), text("tracknumber", "5/9"), text("albumartist", "AA"),
         text("totaltracks", "10"), text("publisher", "P"), text("my key", "old")}};
    TagRecord r;
    TagExtras x;
    ape::applyTo(tag, r, x);
    EXPECT_EQ(r.year, 2001);
    EXPECT_EQ(r.track, 5);
    EXPECT_EQ(fieldsOf(x, "TOTALTRACKS"), std::vector<std::string>{"9"});
    EXPECT_EQ(fieldsOf(x, "ALBUMARTIST"), std::vector<std::string>{"AA"});
    EXPECT_EQ(fieldsOf(x, "publisher"), std::vector<std::string>{"P"});
    setYear(r, 2002);
    r.track = 6;
    // A key named in another letter case: the item in its place, named as asked.
    const ape::Tag after = ape::updated(tag, r, {{{"TOTALTRACKS", "11"}, {"My Key", "new"}}, {}});
    std::vector<std::string> keys;
    for (const ape::Item& i : after.items) keys.push_back(i.key + "=" + std::string(i.value.begin(), i.value.end()));
    EXPECT_EQ(keys,
              (std::vector<std::string>{"Year=2002", "Track=6/11", "albumartist=AA", "publisher=P", "My Key=new"}));
}

}  // namespace
}  // namespace qoro::tags
