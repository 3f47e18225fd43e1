// MP4 "ilst" tags: files made by ffmpeg (AAC and ALAC) and tagged by mutagen
// read as mutagen reads them, iTunes' files, the values of every atom type,
// and damaged boxes giving what precedes the damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "tags/fields.h"
#include "tags/mp4_tags.h"
#include "tag_bytes.h"
#include "test_support.h"

namespace qoro::tags {
namespace {

using namespace qoro::test;
using namespace qoro::tags::testing;
using namespace std::string_view_literals;

std::optional<mp4::Tag> tagOf(const Bytes& b) { return mp4::readTag(readerOf(b), b.size()); }

std::vector<std::string> fieldsOf(const TagExtras& x, const std::string& name) {
    std::vector<std::string> out;
    for (const TagField& f : x.fields)
        if (f.name == name) out.push_back(f.value);
    return out;
}

std::vector<std::string> keysOf(const std::vector<mp4::Item>& items) {
    std::vector<std::string> out;
    for (const mp4::Item& i : items) out.push_back(i.key);
    return out;
}

// --- Against mutagen ---------------------------------------------------------------

// Tags a file made by ffmpeg (which writes its own "\xA9too"). mutagen cannot
// write "gnre": the "numbered" file gets a two-character item "gnrx" turned
// into "gnre" of genre 18 (Rock, ID3v1 index 17) in place.
constexpr const char* kMutagenTag = R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
path, genre = sys.argv[1], sys.argv[2]
f = MP4(path)
t = f.tags
t['\xa9nam'] = ['T\u00eftle']
t['\xa9ART'] = ['Artist One', 'Artist Two']
t['\xa9alb'] = ['Album']
t['aART'] = ['The Band']
t['\xa9day'] = ['2021-06-01']
t['\xa9cmt'] = ['line one\nline two']
t['trkn'] = [(3, 12)]
t['disk'] = [(1, 2)]
t['cpil'] = True
t['tmpo'] = [120]
t['soar'] = ['Artist, The']
t['----:com.apple.iTunes:MusicBrainz Album Id'] = [MP4FreeForm(b'9e873859-8aa4-4790-b985-5a953e8ef628')]
t['----:com.apple.iTunes:MusicBrainz Track Id'] = [MP4FreeForm(b'8b882575-08a5-4452-a7a7-cbb8a1531f9e')]
t['----:com.apple.iTunes:replaygain_track_gain'] = [MP4FreeForm(b'-6.50 dB')]
t['----:org.example:Custom'] = [MP4FreeForm(b'one'), MP4FreeForm(b'two')]
t['\xa9xyz'] = ['unmapped']
t['covr'] = [MP4Cover(b'\xff\xd8\xff\xe0jpeg', MP4Cover.FORMAT_JPEG),
             MP4Cover(b'\x89PNG\r\n\x1a\npng', MP4Cover.FORMAT_PNG)]
if genre == 'text':
    t['\xa9gen'] = ['Klezmer']
else:
    t['gnrx'] = ['\x00\x12']
f.save()
if genre != 'text':
    b = open(path, 'rb').read()
    old = b'gnrx\x00\x00\x00\x12data\x00\x00\x00\x01'
    assert b.count(old) == 1
    open(path, 'wb').write(b.replace(old, b'gnre\x00\x00\x00\x12data\x00\x00\x00\x00'))
)";

// mutagen's reading: "key value" per value, both as UTF-8 in hex; numbers in
// decimal, "trkn" and "disk" as "3/12", covers as "jpeg:" or "png:" and
// their bytes in hex.
constexpr const char* kMutagenDump = R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
for k, vs in MP4(sys.argv[1]).tags.items():
    for v in (vs if isinstance(vs, list) else [vs]):
        if isinstance(v, MP4Cover):
            s = ('jpeg:' if v.imageformat == MP4Cover.FORMAT_JPEG else 'png:') + bytes(v).hex()
        elif isinstance(v, MP4FreeForm): s = bytes(v).decode('utf-8')
        elif isinstance(v, tuple): s = '%d/%d' % v if v[1] else '%d' % v[0]
        elif isinstance(v, bool): s = str(int(v))
        else: s = str(v)
        print(k.encode('utf-8').hex(), s.encode('utf-8').hex())
)";

Dump mutagenDump(const fs::path& file) { return testing::mutagenDump(kMutagenDump, file); }

// The files, made once: AAC with a genre text, ALAC with a numbered genre.
struct Made {
    std::string name, codec, genre;
    fs::path path;
    Dump dump;
};

class Mp4Files : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<TempDir>();
        made = {{"aac", "aac", "text", {}, {}}, {"alac", "alac", "numbered", {}, {}}};
        for (Made& m : made) {
            m.path = *dir / (m.name + ".m4a");
            const CommandResult f = run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 -c:a " + m.codec +
                                        " " + shellQuote(m.path.string()));
            if (f.exitCode != 0) continue;
            if (python(kMutagenTag, {m.path.string(), m.genre}).exitCode == 0) m.dump = mutagenDump(m.path);
        }
    }
    static void TearDownTestSuite() { dir.reset(); }
    void SetUp() override {
        QORO_REQUIRE_TOOLS("ffmpeg");
        QORO_REQUIRE_MUTAGEN();
        for (const Made& m : made) ASSERT_FALSE(m.dump.empty()) << m.name << ": ffmpeg or mutagen failed";
    }
    static inline std::unique_ptr<TempDir> dir;
    static inline std::vector<Made> made;
};

TEST_F(Mp4Files, ReadAsMutagenReads) {
    for (const Made& m : made) {
        SCOPED_TRACE(m.name);
        const auto tag = mp4::readTag(m.path.string());
        ASSERT_TRUE(tag);
        EXPECT_FALSE(tag->damaged);
        // Every item mutagen reads, value for value (mutagen gives "gnre" as
        // the genre's name).
        for (auto it = m.dump.begin(); it != m.dump.end(); it = m.dump.upper_bound(it->first)) {
            if (it->first == "covr" || (m.genre != "text" && it->first == "\u00A9gen")) continue;
            const mp4::Item* item = tag->find(it->first);
            ASSERT_TRUE(item) << it->first;
            EXPECT_EQ(item->texts(), valuesOf(m.dump, it->first)) << it->first;
        }
        TagRecord r;
        TagExtras x;
        mp4::applyTo(*tag, r, x);
        EXPECT_EQ(r.title, valuesOf(m.dump, "\u00A9nam").at(0));
        EXPECT_EQ(fieldValues(r, Field::Artist), valuesOf(m.dump, "\u00A9ART"));
        EXPECT_EQ(r.artist, "Artist One; Artist Two");
        EXPECT_EQ(r.album, "Album");
        EXPECT_EQ(r.comments, valuesOf(m.dump, "\u00A9cmt").at(0));
        EXPECT_EQ(r.date, "2021-06-01");
        EXPECT_EQ(r.year, 2021);
        EXPECT_EQ(r.track, 3);
        EXPECT_EQ(r.encodedBy, valuesOf(m.dump, "\u00A9too").at(0));
        EXPECT_EQ(fieldText(r, Field::Genre), valuesOf(m.dump, "\u00A9gen").at(0));
        EXPECT_EQ(r.genre, m.genre == "text" ? genre::kDefault : 17);
        const std::map<std::string, std::vector<std::string>> want = {
            {"TOTALTRACKS", {"12"}},
            {"DISCNUMBER", {"1"}},
            {"TOTALDISCS", {"2"}},
            {"ALBUMARTIST", valuesOf(m.dump, "aART")},
            {"COMPILATION", {"1"}},
            {"BPM", {"120"}},
            {"ARTISTSORT", valuesOf(m.dump, "soar")},
            {"MUSICBRAINZ_ALBUMID", valuesOf(m.dump, "----:com.apple.iTunes:MusicBrainz Album Id")},
            {"MUSICBRAINZ_TRACKID", valuesOf(m.dump, "----:com.apple.iTunes:MusicBrainz Track Id")},
            {"REPLAYGAIN_TRACK_GAIN", {"-6.50 dB"}},
            {"----:org.example:Custom", {"one", "two"}},
            {"\u00A9xyz", {"unmapped"}},
        };
        size_t count = 0;
        for (const auto& [name, values] : want) {
            EXPECT_EQ(fieldsOf(x, name), values) << name;
            count += values.size();
        }
        EXPECT_EQ(x.fields.size(), count);
        // The covers, in order, as front covers of their image types.
        const std::vector<std::string> covers = valuesOf(m.dump, "covr");
        ASSERT_EQ(x.pictures.size(), covers.size());
        for (size_t i = 0; i < covers.size(); ++i) {
            EXPECT_EQ(x.pictures[i].kind, 3);
            EXPECT_EQ(x.pictures[i].mimeType + ":" + hexOf(x.pictures[i].data), "image/" + covers[i]);
        }
        // The items a writer keeps as they are: those the map does not name.
        for (const mp4::Item& item : tag->items)
            EXPECT_EQ(item.raw.empty(), mappedFieldOfMp4(item.key) || item.key == "covr") << item.key;
    }
}

// iTunes' files from beets' test data.
TEST(Mp4Tags, ItunesFiles) {
    struct Case {
        const char* file;
        std::optional<mp4::Gapless> gapless;
    };
    const Case cases[] = {{"beets/full.m4a", mp4::Gapless{2112, 892, 44100}}, {"beets/full.alac.m4a", std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto tag = mp4::readTag(testdata(c.file).string());
        ASSERT_TRUE(tag);
        EXPECT_FALSE(tag->damaged);
        EXPECT_EQ(tag->gapless(), c.gapless);
        TagRecord r;
        TagExtras x;
        mp4::applyTo(*tag, r, x);
        EXPECT_EQ(r.title, "full");
        EXPECT_EQ(r.artist, "the artist");
        EXPECT_EQ(r.album, "the album");
        EXPECT_EQ(r.composer, "the composer");
        EXPECT_EQ(r.comments, "the comments");
        EXPECT_EQ(r.genreText, "the genre");
        EXPECT_EQ(r.year, 2001);
        EXPECT_EQ(r.track, 2);
        for (auto [name, value] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"TOTALTRACKS", "3"},
                 {"DISCNUMBER", "4"},
                 {"TOTALDISCS", "5"},
                 {"COMPILATION", "1"},
                 {"LYRICS", "the lyrics"},
                 {"GROUPING", "the grouping"},
                 {"ALBUMARTIST", "the album artist"},
                 {"LABEL", "the label"},  // stored as "Label"
                 {"----:com.apple.iTunes:publisher", "the label"},
                 {"MUSICBRAINZ_ALBUMID", "9e873859-8aa4-4790-b985-5a953e8ef628"},
                 {"MUSICBRAINZ_RELEASETRACKID", "c29f3a57-b439-46fd-a2e2-93776b1371e0"},
                 {"GAPLESS", "0"},
                 {"BPM", "6"},
             })
            EXPECT_EQ(fieldsOf(x, name), std::vector<std::string>{value}) << name;
        // The encoder's gapless values stay with this file.
        EXPECT_TRUE(fieldsOf(x, "----:com.apple.iTunes:iTunSMPB").empty());
    }
}

Bytes box(std::string_view type, const Bytes& contents) {
    Bytes b;
    put32(b, uint32_t(8 + contents.size()));
    b.insert(b.end(), type.begin(), type.end());
    b.insert(b.end(), contents.begin(), contents.end());
    return b;
}

Bytes data(uint32_t type, const Bytes& value) {
    Bytes c;
    put32(c, type);
    put32(c, 0);
    c.insert(c.end(), value.begin(), value.end());
    return box("data", c);
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A file of the given items: ftyp, moov/udta/meta (a full box, or
// QuickTime's plain one)/hdlr+ilst, then mdat.
Bytes fileOf(const Bytes& items, bool metaVersion = true) {
    const Bytes meta = box("meta", (metaVersion ? Bytes(4, 0) : Bytes()) + box("hdlr", Bytes(25, 0)) +
                                       box("ilst", items) + box("free", Bytes(16, 0)));
    return box("ftyp", bytesOf("M4A \0\0\0\0"sv)) + box("moov", box("mvhd", Bytes(100, 0)) + box("udta", meta)) +
           box("mdat", Bytes(64, 0x55));
}

TEST(Mp4Tags, AtomValues) {
    struct Case {
        const char* name;
        Bytes item;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"UTF-8, up to its zero", box("\xA9nam", data(1, bytesOf("ab\0cd"sv))), {"ab"}},
        {"ISO-8859-1 where it is not UTF-8", box("\xA9nam", data(1, {0xE4})), {"\xC3\xA4"}},
        {"UTF-16", box("\xA9nam", data(2, {0, 'h', 0, 0xE9, 0xD8, 0x3D, 0xDE, 0x00})), {"h\xC3\xA9\xF0\x9F\x98\x80"}},
        {"several values",
         box("\xA9"
             "ART",
             data(1, {'a'}) + data(1, {'b'})),
         {"a", "b"}},
        {"signed of 1 byte", box("tmpo", data(21, {0xFF})), {"-1"}},
        {"signed of 3 bytes", box("tmpo", data(21, {0x80, 0, 0})), {"-8388608"}},
        {"signed of 8 bytes", box("tmpo", data(21, Bytes(8, 0xFF))), {"-1"}},
        {"unsigned of 4 bytes", box("tmpo", data(22, {0xFF, 0xFF, 0xFF, 0xFF})), {"4294967295"}},
        {"implicit integer", box("cpil", data(0, {1})), {"1"}},
        {"integer of 9 bytes: none", box("tmpo", data(21, Bytes(9, 1))), {}},
        {"track without total", box("trkn", data(0, {0, 0, 0, 7, 0, 0, 0, 0})), {"7"}},
        {"disc of 4 bytes", box("disk", data(0, {0, 0, 0, 2})), {"2"}},
        {"track 0: none", box("trkn", data(0, {0, 0, 0, 0, 0, 9})), {}},
        {"picture: no text", box("covr", data(13, {0xFF, 0xD8})), {}},
        {"implicit binary: no text", box("\xA9nam", data(0, {'a', 0, 'b'})), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tag = tagOf(fileOf(c.item));
        ASSERT_TRUE(tag);
        ASSERT_EQ(tag->items.size(), 1u);
        EXPECT_FALSE(tag->damaged);
        EXPECT_EQ(tag->items[0].texts(), c.texts);
    }
    // A numbered genre is the ID3v1 index + 1; others are none.
    for (auto [value, index] : std::initializer_list<std::pair<Bytes, int>>{
             {{0, 18}, 17}, {{1}, 0}, {{0}, -1}, {{0x80, 0, 0, 0}, -1}, {Bytes(8, 0xFF), -1}, {Bytes(9, 0), -1}}) {
        TagRecord r;
        TagExtras x;
        mp4::applyTo(*tagOf(fileOf(box("gnre", data(0, value)))), r, x);
        EXPECT_EQ(hasGenre(r) ? r.genre : -1, index) << hexOf(value);
    }
}

TEST(Mp4Tags, KeysAndLayout) {
    // The byte 0xA9 is "\u00A9"; freeform names compare ignoring case.
    const uint8_t day[4] = {0xA9, 'd', 'a', 'y'};
    EXPECT_EQ(mp4::keyOfName(day), "\u00A9day");
    EXPECT_EQ(mappedFieldOfMp4(mp4::keyOfName(day))->name, "DATE");
    EXPECT_EQ((mp4::nameOfKey("\u00A9day")), (std::array<uint8_t, 4>{0xA9, 'd', 'a', 'y'}));
    EXPECT_FALSE(mp4::nameOfKey("\u00A9da"));
    EXPECT_FALSE(mp4::nameOfKey("----:com.apple.iTunes:MOOD"));
    EXPECT_EQ(mappedFieldOfMp4("----:COM.APPLE.ITUNES:mood")->name, "MOOD");
    EXPECT_EQ(mappedFieldOfMp4("gnre")->name, "GENRE");
    EXPECT_FALSE(mappedFieldOfMp4("\u00A9NAM"));
    for (const MappedField& m : mappedFields())
        EXPECT_TRUE(m.mp4.empty() || m.mp4.starts_with("----:com.apple.iTunes:") || mp4::nameOfKey(m.mp4)) << m.name;

    // "meta" with and without its version; a last box of size 0 runs to the
    // end; a 64-bit size; a freeform item without its name keeps its type.
    const Bytes items = box("\xA9nam", data(1, bytesOf("T"))) +
                        box("----", box("mean", Bytes(4, 0) + bytesOf("org.x")) + data(1, bytesOf("v")));
    for (bool version : {true, false}) {
        SCOPED_TRACE(version);
        const Bytes file = fileOf(items, version);
        const auto tag = tagOf(file);
        ASSERT_TRUE(tag);
        EXPECT_FALSE(tag->damaged);
        EXPECT_EQ(tag->layout.metaHasVersion, version);
        EXPECT_EQ(keysOf(tag->items), (std::vector<std::string>{"\u00A9nam", "----"}));
        const mp4::Item& first = tag->items[0];
        EXPECT_EQ(std::string(file.begin() + long(first.at.offset) + 4, file.begin() + long(first.at.offset) + 8),
                  "\xA9nam");
        EXPECT_EQ(tag->layout.ilst.end(), tag->items[1].at.end());
    }
    Bytes file = fileOf(items);
    const size_t moov = 8 + 8;      // after "ftyp"
    file.resize(file.size() - 72);  // no "mdat": "moov" ends the file
    std::fill_n(file.begin() + moov, 4, 0);
    EXPECT_EQ(tagOf(file)->items.size(), 2u);
    Bytes wide = file;
    const Bytes large = {0, 0, 0, 1, 'm', 'o', 'o', 'v', 0, 0, 0, 0, 0, 0, 0, 0};
    wide.erase(wide.begin() + moov, wide.begin() + moov + 8);
    wide.insert(wide.begin() + moov, large.begin(), large.end());
    for (int i = 0; i < 8; ++i) wide[moov + 8 + i] = uint8_t((wide.size() - moov) >> (56 - 8 * i));
    EXPECT_EQ(tagOf(wide)->items.size(), 2u);
    // No MP4 file; an MP4 file without tags.
    EXPECT_FALSE(tagOf(bytesOf("ID3\x04\0\0\0\0\0\0"sv)));
    EXPECT_FALSE(tagOf({}));
    EXPECT_TRUE(tagOf(box("ftyp", bytesOf("M4A "))));
    EXPECT_TRUE(tagOf(box("ftyp", bytesOf("M4A ")))->items.empty());
}

// Damage leaves what precedes it; a read never goes beyond the file.
TEST(Mp4Tags, DamagedBoxes) {
    const Bytes items = box("\xA9nam", data(1, bytesOf("T"))) +
                        box("\xA9"
                            "ART",
                            data(1, bytesOf("A"))) +
                        box("\xA9"
                            "alb",
                            data(1, bytesOf("B")));
    const Bytes good = fileOf(items);
    const auto intact = tagOf(good);
    ASSERT_TRUE(intact && intact->items.size() == 3);
    const mp4::Layout l = intact->layout;
    const uint64_t second = intact->items[1].at.offset;
    auto setSize = [](Bytes& b, uint64_t at, uint32_t size) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(size >> (24 - 8 * i));
    };
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        size_t items;  // those read
    };
    const Case cases[] = {
        {"file cut in the second item", [&](Bytes& b) { b.resize(second + 12); }, 1},
        {"file cut after the list", [&](Bytes& b) { b.resize(l.ilst.end() + 3); }, 3},
        {"second item beyond the list", [&](Bytes& b) { setSize(b, second, 0x1000); }, 1},
        {"second item shorter than its header", [&](Bytes& b) { setSize(b, second, 7); }, 1},
        {"data atom beyond its item", [&](Bytes& b) { setSize(b, second + 8, 0x100); }, 3},
        {"data atom without its type", [&](Bytes& b) { setSize(b, second + 8, 12); }, 3},
        // (The "free" box behind it is then read as a fourth item.)
        {"list beyond its parent", [&](Bytes& b) { setSize(b, l.ilst.offset, 0x7FFFFFF0); }, 4},
        {"meta beyond the file", [&](Bytes& b) { setSize(b, l.meta.offset, 0xFFFFFFF0); }, 3},
        {"moov of 2^64 - 1 bytes",
         [&](Bytes& b) {
             setSize(b, l.moov.offset, 1);
             b.insert(b.begin() + long(l.moov.offset) + 8, 8, 0xFF);
         },
         3},
        {"udta shorter than its header", [&](Bytes& b) { setSize(b, l.udta.offset, 3); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.damage(b);
        const auto tag = tagOf(b);
        ASSERT_TRUE(tag);
        EXPECT_TRUE(tag->damaged);
        ASSERT_EQ(tag->items.size(), c.items);
        for (size_t i = 0; i < std::min<size_t>(c.items, 3); ++i) EXPECT_EQ(tag->items[i].key, intact->items[i].key);
    }
}

}  // namespace
}  // namespace qoro::tags
