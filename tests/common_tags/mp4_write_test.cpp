// MP4 "ilst" tags written by our own code: edits of ffmpeg's M4A files
// tagged by mutagen (mutagen's view of every other item unchanged, ffmpeg
// decoding the same samples, in place or with "moov" rebuilt and moved),
// fields written as mutagen reads them, iTunes' gapless item put into files
// as libavformat muxes them, and the plans of box layouts built by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "tags/fields.h"
#include "tags/mp4_tags.h"
#include "tags/mp4_write.h"
#include "tag_bytes.h"
#include "test_support.h"

namespace qoro::tags {
namespace {

using namespace qoro::test;
using namespace qoro::tags::testing;
using mp4::Item;
using namespace std::string_view_literals;

uint32_t be32(const Bytes& b, uint64_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The top-level boxes of a file: type and size, in order.
std::vector<std::pair<std::string, uint64_t>> topLevel(const Bytes& b) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (uint64_t at = 0; at + 8 <= b.size();) {
        mp4::BoxHeader h;
        if (mp4::readBoxHeaderAt(readerOf(b), at, b.size(), h) != mp4::BoxFit::Ok) break;
        out.emplace_back(std::string(h.type.begin(), h.type.end()), h.size);
        at += h.size;
    }
    return out;
}

uint64_t inodeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? uint64_t(st.st_ino) : 0;
}

// --- mutagen's view and ffmpeg's samples -------------------------------------------

// How users tag: a cover, the track, the album artist, a MusicBrainz id, an
// item we do not map and one of another mean.
constexpr const char* kMutagenTag = R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
f = MP4(sys.argv[1])
if f.tags is None: f.add_tags()
t = f.tags
t['\xa9nam'] = ['Old Title']
t['\xa9ART'] = ['Artist One', 'Artist Two']
t['aART'] = ['The Band']
t['trkn'] = [(3, 12)]
t['----:com.apple.iTunes:MusicBrainz Track Id'] = [MP4FreeForm(b'8b882575-08a5-4452-a7a7-cbb8a1531f9e')]
t['----:org.example:Custom'] = [MP4FreeForm(b'one'), MP4FreeForm(b'two')]
t['\xa9xyz'] = ['unmapped']
t['covr'] = [MP4Cover(open(sys.argv[2], 'rb').read(), MP4Cover.FORMAT_JPEG)]
f.save()
)";

// mutagen's reading: "key value" per value, both as UTF-8 in hex; numbers in
// decimal, "trkn" and "disk" as "3/12", covers as their format and bytes,
// freeform values as text with their data type.
constexpr const char* kMutagenDump = R"(
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
tags = MP4(sys.argv[1]).tags or {}
for k, vs in tags.items():
    for v in (vs if isinstance(vs, list) else [vs]):
        if isinstance(v, MP4Cover): s = '%d:%s' % (v.imageformat, bytes(v).hex())
        elif isinstance(v, MP4FreeForm): s = '%d:%s' % (v.dataformat, bytes(v).decode('utf-8'))
        elif isinstance(v, tuple): s = '%d/%d' % v
        elif isinstance(v, bool): s = 'bool:%d' % v
        else: s = str(v)
        print(k.encode('utf-8').hex(), s.encode('utf-8').hex())
)";

Dump mutagenDump(const fs::path& file) { return testing::mutagenDump(kMutagenDump, file); }

Dump without(Dump d, const std::string& key) {
    d.erase(key);
    return d;
}

// ffmpeg's decoding: the samples, and what it said besides.
struct Decoded {
    Bytes samples;
    CommandResult result;
};

Decoded decode(const fs::path& file) {
    const fs::path raw = file.string() + ".raw";
    Decoded d;
    d.result = run("ffmpeg -v error -y -i " + shellQuote(file.string()) + " -f s16le " + shellQuote(raw.string()));
    d.samples = readBytes(raw);
    fs::remove(raw);
    return d;
}

// The record reading the file gives.
TagRecord recordOf(const fs::path& file) {
    TagRecord r;
    TagExtras x;
    mp4::applyTo(*mp4::readTag(file.string()), r, x);
    return r;
}

// The files, made once: AAC with "moov" after the audio and before it.
class Mp4Edits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<TempDir>();
        // Covers ffmpeg decodes without a word.
        for (const char* cover : {"cover.jpg", "cover.png"})
            run("ffmpeg -v error -y -f lavfi -i color=c=red:s=16x16 -frames:v 1 " +
                shellQuote((*dir / cover).string()));
        for (auto [name, flags] : {std::pair{"end", ""}, std::pair{"faststart", "-movflags +faststart"}}) {
            const fs::path path = *dir / (std::string(name) + ".m4a");
            if (run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 -c:a aac " + std::string(flags) +
                    " " + shellQuote(path.string()))
                        .exitCode == 0 &&
                python(kMutagenTag, {path.string(), (*dir / "cover.jpg").string()}).exitCode == 0)
                made[name] = path;
        }
    }
    static void TearDownTestSuite() { dir.reset(); }
    void SetUp() override {
        QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
        QORO_REQUIRE_MUTAGEN();
        ASSERT_EQ(made.size(), 2u) << "ffmpeg or mutagen failed";
    }
    // A copy of a made file to change.
    fs::path copyOf(const std::string& name, const std::string& as) {
        const fs::path to = *dir / (as + ".m4a");
        fs::copy_file(made.at(name), to, fs::copy_options::overwrite_existing);
        return to;
    }
    static inline std::unique_ptr<TempDir> dir;
    static inline std::map<std::string, fs::path> made;
};

// A title edit keeps every other item and the audio: in place where the
// list fits mutagen's padding, else with "moov" rebuilt where it was (the
// chunk offsets moved when the audio follows it) or moved before the audio.
TEST_F(Mp4Edits, TitleEditsKeepEverythingElse) {
    const std::string longTitle(2048, 'L');
    struct Case {
        const char* name;
        const char* file;
        std::string title;
        bool moovFirst;
        bool inPlace;
    };
    const Case cases[] = {
        {"short title, moov at the end", "end", "New Title", false, true},
        {"short title, moov first", "faststart", "New Title", false, true},
        {"2 KB title, moov at the end", "end", longTitle, false, false},
        {"2 KB title, moov first: chunk offsets moved", "faststart", longTitle, false, false},
        {"moov moved before the audio", "end", "Moved", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = copyOf(c.file, c.name);
        const Dump before = mutagenDump(file);
        const Decoded audio = decode(file);
        ASSERT_EQ(audio.result.exitCode, 0) << audio.result.output;
        ASSERT_GT(audio.samples.size(), 40000u);
        const uint64_t inode = inodeOf(file), size = fs::file_size(file);
        const auto layoutBefore = topLevel(readBytes(file));

        TagRecord record = recordOf(file);
        record.title = c.title;
        if (c.moovFirst) {
            auto tag = *mp4::readTag(file.string());
            const Bytes bytes = readBytes(file);
            mp4::keepStored(tag, readerOf(bytes));
            ASSERT_FALSE(
                mp4::writeItems(file.string(), mp4::updated(tag, record, {}), {.moovFirst = true, .padding = 4096}));
        } else {
            ASSERT_FALSE(mp4::writeTag(file.string(), record, {}));
        }

        const Dump after = mutagenDump(file);
        EXPECT_EQ(valuesOf(after, "\u00A9nam"), std::vector<std::string>{c.title});
        EXPECT_EQ(without(after, "\u00A9nam"), without(before, "\u00A9nam"));
        const Decoded now = decode(file);
        EXPECT_EQ(now.result.exitCode, 0);
        EXPECT_EQ(now.result.output, "");
        EXPECT_TRUE(now.samples == audio.samples)
            << now.samples.size() << " bytes of samples, were " << audio.samples.size();
        EXPECT_EQ(inodeOf(file) == inode && fs::file_size(file) == size, c.inPlace);
        const auto layout = topLevel(readBytes(file));
        if (c.moovFirst) {
            ASSERT_GE(layout.size(), 4u);
            EXPECT_EQ(layout[0].first, "ftyp");
            EXPECT_EQ(layout[1].first, "moov");
            EXPECT_EQ(layout[2], (std::pair<std::string, uint64_t>{"free", 4096}));
            EXPECT_EQ(run("ffprobe -v error -show_format " + shellQuote(file.string()) + " > /dev/null").output, "");
        } else {
            // The top-level boxes in their order; "mdat" after a rebuilt
            // "moov" moved by its growth.
            ASSERT_EQ(layout.size(), layoutBefore.size());
            for (size_t i = 0; i < layout.size(); ++i) EXPECT_EQ(layout[i].first, layoutBefore[i].first);
        }
    }
}

// Every field the map gives an MP4 key, as mutagen reads it: texts, numbers
// with their totals, integers, covers by their image type, freeform items;
// several values as several atoms; a numbered genre replaced by the text.
TEST_F(Mp4Edits, FieldsAsMutagenReadsThem) {
    const fs::path file = copyOf("faststart", "fields");
    const Dump before = mutagenDump(file);
    TagRecord record = recordOf(file);
    setFieldValues(record, Field::Artist, {"Ann", "Bo"});
    setFieldText(record, Field::Genre, "Nu Klezmer");
    setFieldText(record, Field::Year, "2021-06-01");
    setFieldText(record, Field::Composer, "Comp");
    record.track = 4;
    const Bytes png = readBytes(*dir / "cover.png");
    TagChanges changes;
    changes.fields = {{"TOTALTRACKS", "13"},
                      {"DISCNUMBER", "1/2"},
                      {"COMPILATION", "1"},
                      {"BPM", "128"},
                      {"LYRICS", "la la"},
                      {"ALBUMARTIST", "Other Band"},
                      {"\u00A9xyz", ""},  // an item we do not map, removed by its key
                      {"MUSICBRAINZ_TRACKID", "0f0e"},
                      {"----:com.apple.iTunes:MOOD", std::vector<std::string>{"calm", "warm"}},
                      {"My Field", "mine"},
                      {"iTunSMPB", "not ours to set"}};
    changes.pictures = {{3, "image/png", "", png}};
    ASSERT_FALSE(mp4::writeTag(file.string(), record, changes));
    const Dump after = mutagenDump(file);
    const std::map<std::string, std::vector<std::string>> want = {
        {"\u00A9ART", {"Ann", "Bo"}},
        {"\u00A9gen", {"Nu Klezmer"}},
        {"\u00A9day", {"2021-06-01"}},
        {"\u00A9wrt", {"Comp"}},
        {"trkn", {"4/13"}},
        {"disk", {"1/2"}},
        {"cpil", {"bool:1"}},
        {"tmpo", {"128"}},
        {"\u00A9lyr", {"la la"}},
        {"aART", {"Other Band"}},
        {"\u00A9xyz", {}},
        {"gnre", {}},
        {"----:com.apple.iTunes:MusicBrainz Track Id", {"1:0f0e"}},
        {"----:com.apple.iTunes:MOOD", {"1:calm", "1:warm"}},
        {"----:com.apple.iTunes:My Field", {"1:mine"}},
        {"covr", {"14:" + hexOf(png)}},
    };
    Dump rest = after;
    for (const auto& [key, values] : want) {
        EXPECT_EQ(valuesOf(after, key), values) << key;
        rest.erase(key);
    }
    // The others as they were: the title, the custom freeform item.
    Dump old = before;
    for (const auto& [key, values] : want) old.erase(key);
    EXPECT_EQ(rest, old);
    EXPECT_EQ(valuesOf(after, "----:org.example:Custom"), (std::vector<std::string>{"1:one", "1:two"}));
    EXPECT_EQ(decode(file).result.output, "");
    // Nothing changes: nothing is written.
    const auto bytes = readBytes(file);
    ASSERT_FALSE(mp4::writeTag(file.string(), recordOf(file), {}));
    EXPECT_TRUE(readBytes(file) == bytes);
}

// The gapless item as the encoder's files get it: files libavformat muxed
// ("moov" at the end, no list; its 64-bit "mdat" too) with "moov" put first.
TEST_F(Mp4Edits, GaplessIntoMuxedFiles) {
    const Item item = mp4::smpbItem({2112, 572, 44100});
    ASSERT_EQ(item.data.size(), 1u);
    const std::string text(item.data[0].value.begin(), item.data[0].value.end());
    EXPECT_EQ(text.size(), 12u * 9 + 8);
    EXPECT_EQ(text.substr(0, 45), " 00000000 00000840 0000023C 000000000000AC44 ");
    // ffmpeg's own priming and padding: it decodes the same with them.
    struct Case {
        const char* codec;
        mp4::Gapless gapless;
    };
    for (const Case& c : {Case{"aac", {1024, 45 * 1024 - 1024 - 44100, 44100}}, Case{"alac", {0, 0, 44100}}})
        for (bool large : {false, true}) {
            const std::string codec = c.codec;
            SCOPED_TRACE(codec + (large ? ", 64-bit mdat" : ""));
            const fs::path file = *dir / (std::string("muxed-") + codec + (large ? "-large" : "") + ".m4a");
            ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 -c:a " + codec +
                          " -fflags +bitexact " + shellQuote(file.string()))
                          .exitCode,
                      0);
            if (large) {
                // As libavformat writes a file beyond 4 GiB: the "free" before
                // "mdat" taken by its 64-bit size, every offset as it was.
                Bytes b = readBytes(file);
                const auto top = topLevel(b);
                ASSERT_EQ(top[1].first, "free");
                ASSERT_EQ(top[2].first, "mdat");
                const uint64_t at = top[0].second, size = top[2].second + 8;
                const Bytes header = {0,
                                      0,
                                      0,
                                      1,
                                      'm',
                                      'd',
                                      'a',
                                      't',
                                      0,
                                      0,
                                      0,
                                      0,
                                      uint8_t(size >> 24),
                                      uint8_t(size >> 16),
                                      uint8_t(size >> 8),
                                      uint8_t(size)};
                std::copy(header.begin(), header.end(), b.begin() + long(at));
                writeBytes(file, b);
            }
            const Decoded audio = decode(file);
            ASSERT_EQ(audio.result.exitCode, 0) << audio.result.output;
            const Item smpb = mp4::smpbItem(c.gapless);
            ASSERT_FALSE(mp4::writeItems(file.string(), {smpb}, {.moovFirst = true, .padding = 4096}));
            const auto tag = mp4::readTag(file.string());
            ASSERT_TRUE(tag && !tag->damaged);
            EXPECT_EQ(tag->gapless(), c.gapless);
            EXPECT_EQ(
                valuesOf(mutagenDump(file), "----:com.apple.iTunes:iTunSMPB"),
                std::vector<std::string>{"1:" + std::string(smpb.data[0].value.begin(), smpb.data[0].value.end())});
            const auto layout = topLevel(readBytes(file));
            ASSERT_GE(layout.size(), 4u);
            EXPECT_EQ(layout[1].first, "moov");
            EXPECT_EQ(layout[2], (std::pair<std::string, uint64_t>{"free", 4096}));
            EXPECT_EQ(layout.back().first, "mdat");
            const Decoded now = decode(file);
            EXPECT_EQ(now.result.output, "");
            EXPECT_TRUE(now.samples == audio.samples);
        }
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes box(std::string_view type, const Bytes& contents) {
    Bytes b;
    put32(b, uint32_t(8 + contents.size()));
    return b + bytesOf(type) + contents;
}
Bytes fullBox(std::string_view type, const Bytes& contents) { return box(type, Bytes(4, 0) + contents); }
Bytes title(std::string_view t) {
    Bytes d;
    put32(d, 1);
    put32(d, 0);
    return box("\xA9nam", box("data", d + bytesOf(t)));
}
// A track whose chunk offsets are these.
Bytes trak(const std::vector<uint32_t>& offsets) {
    Bytes stco;
    put32(stco, uint32_t(offsets.size()));
    for (uint32_t o : offsets) put32(stco, o);
    return box("trak", box("mdia", box("minf", box("stbl", fullBox("stco", stco)))));
}

struct Parts {
    Bytes beforeMoov = {}, moovKids = {}, metaKids = {}, afterIlst = {}, afterMeta = {}, afterMoov = {};
    bool udta = true, meta = true, metaVersion = true;
};

// ftyp, [mdat], moov(mvhd, trak, udta(meta(..., ilst, ...))), [free], mdat:
// the track's one chunk at the first byte of the last "mdat".
Bytes fileOf(const Parts& p, const Bytes& ilst) {
    const size_t dataSize = 64;
    auto build = [&](uint32_t chunk) {
        const Bytes metaBody = p.metaKids + ilst + p.afterIlst;
        const Bytes meta = p.meta ? box("meta", (p.metaVersion ? Bytes(4, 0) : Bytes()) + metaBody) : Bytes();
        const Bytes udta = p.udta ? box("udta", meta + p.afterMeta) : Bytes();
        return box("ftyp", bytesOf("M4A \0\0\0\0"sv)) + p.beforeMoov +
               box("moov", box("mvhd", Bytes(100, 0)) + trak({chunk}) + p.moovKids + udta) + p.afterMoov +
               box("mdat", Bytes(dataSize, 0x55));
    };
    return build(uint32_t(build(0).size() - dataSize));
}

Bytes applied(const Bytes& old, const mp4::Plan& plan) {
    if (plan.inPlace) {
        Bytes b = old;
        for (const mp4::Patch& p : plan.patches) std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + long(p.offset));
        return b;
    }
    Bytes b;
    for (const mp4::Piece& p : plan.pieces)
        b = p.copy.empty() ? b + p.bytes
                           : b + Bytes(old.begin() + long(p.copy.offset), old.begin() + long(p.copy.end()));
    return b;
}

// The chunk offsets of the first track of a file (stco or co64).
std::vector<uint64_t> chunkOffsets(const Bytes& b) {
    std::vector<uint64_t> out;
    for (std::string_view type : {"stco"sv, "co64"sv}) {
        const auto at = std::search(b.begin(), b.end(), type.begin(), type.end());
        if (at == b.end()) continue;
        const uint64_t body = uint64_t(at - b.begin()) + 4;
        const bool wide = type == "co64";
        for (uint32_t i = 0; i < be32(b, body + 4); ++i) {
            const uint64_t e = body + 8 + i * (wide ? 8 : 4);
            out.push_back(wide ? uint64_t(be32(b, e)) << 32 | be32(b, e + 4) : be32(b, e));
        }
    }
    return out;
}

// The atoms of the values, and what an edit leaves alone.
TEST(Mp4Items, Updated) {
    Bytes smpbValue = bytesOf(" 00000000 00000840 00000000 0000000000000001");
    const Bytes items =
        box("gnre", box("data", Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 18})) +
        box("----", fullBox("mean", bytesOf("com.apple.iTunes")) + fullBox("name", bytesOf("iTunSMPB")) +
                        box("data", Bytes{0, 0, 0, 1, 0, 0, 0, 0} + smpbValue)) +
        box("\xA9too", box("data", Bytes{0, 0, 0, 1, 0, 0, 0, 0, 'L', 'a', 'v', 'f'})) + title("T");
    const Bytes file = box("ftyp", bytesOf("M4A ")) + box("moov", box("udta", fullBox("meta", box("ilst", items))));
    auto tag = *mp4::readTag(readerOf(file), file.size());
    mp4::keepStored(tag, readerOf(file));
    ASSERT_EQ(tag.items.size(), 4u);
    TagRecord record;
    TagExtras extras;
    mp4::applyTo(tag, record, extras);
    setFieldText(record, Field::Genre, "Klezmer");
    record.track = 3;
    TagChanges changes;
    changes.fields = {{"DISCNUMBER", "2/5"},
                      {"COMPILATION", "1"},
                      {"BPM", "99999"},
                      {"iTunSMPB", "x"},
                      {"----:com.apple.iTunes:iTunSMPB", "x"}};
    changes.pictures = {{3, "image/jpeg", "", {1, 2}}, {4, "image/png", "", {3}}};
    const auto now = mp4::updated(tag, record, changes);
    std::vector<std::string> keys;
    for (const Item& i : now) keys.push_back(i.key);
    // The genre text in the place of the number; kept items as stored; new ones after.
    EXPECT_EQ(keys, (std::vector<std::string>{"\u00A9gen", "----:com.apple.iTunes:iTunSMPB", "\u00A9too", "\u00A9nam",
                                              "trkn", "disk", "cpil", "tmpo", "covr"}));
    for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(now[i].raw == tag.items[i].raw) << keys[i];
    struct Want {
        size_t item;
        uint32_t type;
        Bytes value;
    };
    for (const Want& w : std::initializer_list<Want>{
             {0, 1, bytesOf("Klezmer")},
             {4, 0, {0, 0, 0, 3, 0, 0, 0, 0}},
             {5, 0, {0, 0, 0, 2, 0, 5}},
             {6, 21, {1}},
             {7, 21, {0x7F, 0xFF}},  // as much as a signed 16-bit number holds
             {8, 13, {1, 2}},
         }) {
        ASSERT_EQ(now[w.item].data.size(), 1u) << keys[w.item];
        EXPECT_EQ(now[w.item].data[0].type, w.type) << keys[w.item];
        EXPECT_TRUE(now[w.item].data[0].value == w.value) << keys[w.item];
    }
    // Built anew, the items read back as they were made.
    const Bytes ilst = mp4::serializeIlst(now);
    bool damaged = false;
    const auto back = mp4::parseItems(std::span(ilst).subspan(8), 0, damaged);
    EXPECT_FALSE(damaged);
    ASSERT_EQ(back.size(), now.size());
    for (size_t i = 0; i < now.size(); ++i) EXPECT_TRUE(back[i].data == now[i].data) << keys[i];
    // Names no item may carry.
    for (const char* name : {"covr", "iTunSMPB", "----:com.apple.iTunes:itunsmpb", "----:x", "----::y", "a\x01"})
        EXPECT_FALSE(mp4::keyOfField(name)) << name;
    EXPECT_EQ(mp4::keyOfField("MOOD"), "----:com.apple.iTunes:MOOD");
    EXPECT_EQ(mp4::keyOfField("\u00A9nam"), "\u00A9nam");
    EXPECT_EQ(mp4::keyOfField("replaygain_track_gain"), "----:com.apple.iTunes:replaygain_track_gain");
}

TEST(Mp4Plans, Layouts) {
    const Bytes hdlr = fullBox("hdlr", Bytes(25, 0));
    const Bytes oldIlst = box("ilst", title("Old"));
    const Bytes newIlst = box("ilst", title("A longer title"));  // 11 bytes more
    const Bytes free11 = box("free", Bytes(3, 0)), free16 = box("free", Bytes(8, 0));
    const Bytes free32 = box("free", Bytes(24, 0));
    struct Case {
        const char* name;
        Parts parts;
        bool moovFirst;
        bool inPlace;
        bool shifted;  // the data after "moov" moved
    };
    const Case cases[] = {
        {"free after the list in meta", {.metaKids = hdlr, .afterIlst = free32}, false, true, false},
        {"list filling its free box exactly", {.metaKids = hdlr, .afterIlst = free11}, false, true, false},
        {"a gap of 5 bytes: rebuilt", {.metaKids = hdlr, .afterIlst = free16}, false, false, true},
        {"grows into the free box after meta", {.metaKids = hdlr, .afterMeta = free32}, false, true, false},
        {"grows into a top-level free box", {.metaKids = hdlr, .afterMoov = free32}, false, true, false},
        {"free box not right after the list", {.metaKids = hdlr + free32 + hdlr}, false, false, true},
        {"moov after the data, moved first",
         {.beforeMoov = box("mdat", Bytes(40, 1)), .metaKids = hdlr},
         true,
         false,
         true},
        {"moov after the data, kept there",
         {.beforeMoov = box("mdat", Bytes(40, 1)), .metaKids = hdlr},
         false,
         false,
         true},
        {"QuickTime's meta without version, no hdlr", {.metaVersion = false}, false, false, true},
        {"no udta", {.udta = false}, false, false, true},
        {"no meta", {.meta = false}, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = fileOf(c.parts, oldIlst);
        const auto tag = mp4::readTag(readerOf(file), file.size());
        ASSERT_TRUE(tag && !tag->damaged);
        const auto plan =
            mp4::planRewrite(readerOf(file), file.size(), *tag, newIlst, {.moovFirst = c.moovFirst, .padding = 256});
        ASSERT_TRUE(plan);
        EXPECT_EQ(plan->inPlace, c.inPlace);
        const Bytes now = applied(file, *plan);
        EXPECT_EQ(now.size() == file.size(), c.inPlace);
        const auto reread = mp4::readTag(readerOf(now), now.size());
        ASSERT_TRUE(reread && !reread->damaged);
        ASSERT_EQ(reread->items.size(), 1u);
        EXPECT_EQ(reread->items[0].texts(), std::vector<std::string>{"A longer title"});
        EXPECT_EQ(reread->layout.metaHasVersion, c.parts.metaVersion);
        if (!c.inPlace) {
            EXPECT_NE(std::search(now.begin(), now.end(), "hdlr", "hdlr" + 4), now.end());
        }
        // The chunk still points at the data: the last "mdat"'s first byte.
        const auto offsets = chunkOffsets(now);
        ASSERT_EQ(offsets.size(), 1u);
        EXPECT_EQ(offsets[0], now.size() - 64);
        EXPECT_EQ(offsets[0] != chunkOffsets(file)[0], c.shifted);
        if (c.moovFirst) {
            EXPECT_EQ(topLevel(now)[1].first, "moov");
        }
        // The rest of the space a "free" box: the walk of the new file whole.
        uint64_t end = 0;
        for (const auto& [type, size] : topLevel(now)) end += size;
        EXPECT_EQ(end, now.size());
    }

    // What is refused: a damaged tag, fragments, two "moov" boxes.
    const Bytes good = fileOf({.metaKids = hdlr}, oldIlst);
    const auto tag = *mp4::readTag(readerOf(good), good.size());
    struct Refused {
        const char* name;
        Bytes file;
    };
    const Refused refused[] = {
        {"cut in the list", Bytes(good.begin(), good.begin() + long(tag.layout.ilst.offset + 12))},
        {"a track cut short",
         [&] {
             Bytes b = good;
             b[16 + 8 + 108 + 8 + 3] += 1;  // "mdia" (after ftyp, moov's header, mvhd, trak's header)
             return b;
         }()},
        {"fragments", good + box("moof", Bytes(8, 0))},
        {"fragments announced", fileOf({.moovKids = box("mvex", Bytes(8, 0)), .metaKids = hdlr}, oldIlst)},
        {"two moov boxes", good + box("moov", Bytes(8, 0))},
        {"a box beyond the file", good + Bytes{0, 0, 1, 0, 'f', 'r', 'e', 'e'}},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.name);
        const auto t = mp4::readTag(readerOf(r.file), r.file.size());
        ASSERT_TRUE(t);
        EXPECT_FALSE(mp4::planRewrite(readerOf(r.file), r.file.size(), *t, newIlst, {}));
    }
}

// A rebuilt "moov" before 4 GiB of data: the offsets that would overflow 32
// bits turn the "stco" into a "co64"; a 64-bit "moov" size stays 64-bit.
TEST(Mp4Plans, ChunkOffsetsBeyondFourGiB) {
    const uint64_t dataSize = (uint64_t{1} << 32) + 100;
    const Bytes ilst = box("ilst", title("T"));
    Bytes moovBody = box("mvhd", Bytes(100, 0));
    moovBody = moovBody + trak({0, 0}) + box("udta", fullBox("meta", fullBox("hdlr", Bytes(25, 0)) + ilst));
    Bytes moov = {0, 0, 0, 1, 'm', 'o', 'o', 'v'};
    const uint64_t moovSize = 16 + moovBody.size();
    for (int i = 7; i >= 0; --i) moov.push_back(uint8_t(moovSize >> (8 * i)));
    Bytes head = box("ftyp", bytesOf("M4A \0\0\0\0"sv)) + moov + moovBody;
    // "mdat" with a 64-bit size; two chunks: at its start and 40 bytes before 4 GiB.
    const uint64_t dataAt = head.size() + 16;
    const uint32_t chunks[] = {uint32_t(dataAt), uint32_t(UINT32_MAX - 40)};
    const size_t stco = size_t(std::search(head.begin(), head.end(), "stco", "stco" + 4) - head.begin());
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 4; ++i) head[stco + 12 + 4 * k + i] = uint8_t(chunks[k] >> (24 - 8 * i));
    head = head + Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't'};
    for (int i = 7; i >= 0; --i) head.push_back(uint8_t((dataSize + 16) >> (8 * i)));
    const uint64_t fileSize = head.size() + dataSize;
    // The data reads as zeros.
    const ReadAtFn readAt = [&](uint64_t at, uint8_t* out, size_t n) -> size_t {
        if (at >= fileSize) return 0;
        n = size_t(std::min<uint64_t>(n, fileSize - at));
        for (size_t i = 0; i < n; ++i) out[i] = at + i < head.size() ? head[at + i] : 0;
        return n;
    };
    const auto tag = mp4::readTag(readAt, fileSize);
    ASSERT_TRUE(tag && !tag->damaged);
    const auto plan = mp4::planRewrite(readAt, fileSize, *tag, box("ilst", title(std::string(100, 'x'))), {});
    ASSERT_TRUE(plan && !plan->inPlace);
    ASSERT_EQ(plan->pieces.size(), 3u);
    const Bytes& built = plan->pieces[1].bytes;
    EXPECT_EQ(built[3], 1) << "moov keeps its 64-bit size";
    const auto offsets = chunkOffsets(built);
    ASSERT_EQ(offsets.size(), 2u);
    EXPECT_NE(std::search(built.begin(), built.end(), "co64", "co64" + 4), built.end());
    // Each offset moved by the growth of "moov" before the data.
    const uint64_t growth = built.size() - moovSize;
    EXPECT_EQ(offsets[0], chunks[0] + growth);
    EXPECT_EQ(offsets[1], chunks[1] + growth);
    EXPECT_GT(offsets[1], uint64_t{UINT32_MAX});
    EXPECT_EQ(plan->newSize(fileSize), fileSize + growth);
}

}  // namespace
}  // namespace qoro::tags
