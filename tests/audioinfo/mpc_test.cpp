// The MPEG Plus header reader and the MPEG Plus facts, description and tag.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "fixtures.h"
#include "io/file_rewrite.h"
#include "mpc/mpc_stream.h"
#include "readers/readers.h"
#include "tags/fields.h"
#include "tags/id3v1.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

std::vector<uint8_t> sv7(uint32_t frames, uint32_t word2, uint8_t version = 7) {
    std::vector<uint8_t> b(64, 0);
    std::memcpy(b.data(), "MP+", 3);
    b[3] = version;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(frames >> (8 * i));
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<uint8_t>(word2 >> (8 * i));
    return b;
}

TEST(MpcHeader, VersionsAndRules) {
    auto h = mpc::parseMpcHeader(sv7(10000, 0x00A00000));  // bit 23 set, profile 2
    ASSERT_TRUE(h);
    EXPECT_EQ(h->streamVersion, 7);
    EXPECT_EQ(h->profile, 2);
    EXPECT_EQ(h->firstFrameByte, 24u);
    EXPECT_EQ(h->firstFrameBit, 8);
    EXPECT_EQ(mpc::parseMpcHeader(sv7(10, 0x00200000))->profile, mpc::kNoProfile);  // bit 23 clear
    EXPECT_FALSE(mpc::parseMpcHeader(sv7(10, 0, 0x17)));
    EXPECT_FALSE(mpc::parseMpcHeader(sv7(10, 0x80000000)));  // intensity stereo

    // Version 5: 9-bit bitrate, reserved, M/S, 10-bit version, 5-bit band, 6-bit block size.
    const uint32_t v5 = (5u << 11) | (31u << 6) | 1u;
    std::vector<uint8_t> b(12, 0);
    auto put = [&](uint32_t w, uint32_t frames) {
        for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(w >> (8 * i));
        for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(frames >> (8 * i));
    };
    put(v5, 1010);
    ASSERT_TRUE(mpc::parseMpcHeader(b));
    EXPECT_EQ(mpc::parseMpcHeader(b)->frames, 1009u);
    EXPECT_EQ(mpc::parseMpcHeader(b)->profile, mpc::kNoProfile);
    put(v5 | (128u << 23), 1010);  // a bitrate in the header
    EXPECT_FALSE(mpc::parseMpcHeader(b));
    put((v5 & ~63u) | 2u, 1010);  // block size 2
    EXPECT_FALSE(mpc::parseMpcHeader(b));
}

TEST(MpcHeader, SampleFiles) {
    mpc::MpcStreamInfo info;
    ASSERT_TRUE(mpc::readStreamInfo(testdata("mpc/click.mpc"), info));
    EXPECT_EQ(info.header.streamVersion, 7);
    EXPECT_EQ(info.header.frames, 3u);
    EXPECT_EQ(info.durationMs(), 78);
    EXPECT_TRUE(info.bitrateComputed);
    ASSERT_TRUE(mpc::readStreamInfo(testdata("mpc/full-tagged.mpc"), info));
    EXPECT_EQ(info.header.frames, 39u);
    ASSERT_TRUE(mpc::readStreamInfo(testdata("mpc/sv4_header.mpc"), info));
    EXPECT_EQ(info.header.streamVersion, 4);
    ASSERT_TRUE(mpc::readStreamInfo(testdata("mpc/sv5_header.mpc"), info));
    EXPECT_EQ(info.header.streamVersion, 5);
    EXPECT_FALSE(mpc::readStreamInfo(testdata("mpc/sv8_header.mpc"), info));
    EXPECT_FALSE(mpc::readStreamInfo(testdata("mpc/almostempty.mpc"), info));
}

TEST(MpcReader, FactsDescriptionAndDuration) {
    TempDir dir;
    auto b = sv7(10000, 0x00A00000);
    b.resize(4000000, 0x11);
    writeBytes(dir / "a.mpc", b);
    Facts f;
    tags::TagRecord t;
    tags::TagExtras x;
    ASSERT_TRUE(readMpc(dir / "a.mpc", f, t, x));
    EXPECT_EQ(f.duration, 261224);
    EXPECT_EQ(f.frequency, 44100);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samples, 10000 * 1152);
    EXPECT_EQ(f.size, 4000000);
    const int kbps = static_cast<int>(4000000.0 * 8 / (10000 * 1152 / 44.1));
    EXPECT_EQ(f.bitrate, kbps);
    EXPECT_EQ(f.description, "MPEG Plus SV-7 standard 44,100 kHz; 44100; " + std::to_string(kbps) + " Kbps; VBR");
}

// mutagen's reading of a file's APEv2 tag: "key=value" per text value,
// "key=<n bytes>" for other items; "none" without a tag.
constexpr const char* kMutagenApe = R"(
import sys, mutagen.apev2 as a
try: t = a.APEv2(sys.argv[1])
except a.error: print('none'); sys.exit()
for k, v in t.items():
    for x in (list(v) if v.kind == a.TEXT else ['<%d bytes>' % len(v.value)]): print('%s=%s' % (k, x))
)";

std::string mutagenApe(const fs::path& file) { return python(kMutagenApe, {file.string()}).output; }

// The APEv2 tag's size by its footer, header included (read here, apart
// from the code under test); 0 without one.
uint64_t apeSize(const std::vector<uint8_t>& b, uint64_t end) {
    if (end < 32 || std::memcmp(&b[end - 32], "APETAGEX", 8) != 0) return 0;
    uint32_t size = 0, flags = 0;
    std::memcpy(&size, &b[end - 20], 4);
    std::memcpy(&flags, &b[end - 12], 4);
    return size + ((flags >> 31) ? 32 : 0);
}

TEST(MpcTags, ReadAsMutagenReads) {
    QORO_REQUIRE_MUTAGEN();
    const auto file = testdata("mpc/full-tagged.mpc");
    Facts f;
    tags::TagRecord t;
    tags::TagExtras x;
    ASSERT_TRUE(readMpc(file, f, t, x));
    // mutagen's first value of each key, and what was read here by the same names.
    std::map<std::string, std::string> m, here;
    std::istringstream lines(mutagenApe(file));
    for (std::string line; std::getline(lines, line);)
        m.emplace(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    for (const tags::TagField& field : x.fields) here.emplace(field.name, field.value);
    const std::pair<std::string, std::string> properties[] = {
        {"Title", t.title},       {"Artist", t.artist},
        {"Album", t.album},       {"Comment", t.comments},
        {"Composer", t.composer}, {"Genre", t.genreText},
        {"year", t.date},         {"Track", "0" + std::to_string(t.track) + "/" + here["TOTALTRACKS"]}};
    for (const auto& [key, value] : properties) EXPECT_EQ(m[key], value) << key;
    // Beyond the properties: map names, and other keys as stored.
    const std::pair<const char*, const char*> mapped[] = {{"MUSICBRAINZ_TRACKID", "musicbrainz_trackid"},
                                                          {"DISCNUMBER", "disc"},
                                                          {"TOTALDISCS", "disctotal"},
                                                          {"LYRICS", "lyrics"},
                                                          {"publisher", "publisher"}};
    for (const auto& [name, key] : mapped) EXPECT_EQ(here[name], m[key]) << name;
    // The rate is the stream's, without the tag at its end.
    const auto bytes = readBytes(file);
    const double ms = 39 * 1152 / 44.1;
    EXPECT_EQ(f.bitrate, static_cast<int>(double(bytes.size() - apeSize(bytes, bytes.size())) * 8 / ms));
    EXPECT_EQ(f.size, static_cast<int32_t>(bytes.size()));
}

// Written over each tail a file may have: APEv2 only, read back here and by
// mutagen; an ID3v1 tag the file has stays last with the new values, none
// is added; a Lyrics3 tag stays between; the audio stays as it was.
TEST(MpcTags, WrittenAsApeReadAlikeByMutagen) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const auto audio = readBytes(testdata("mpc/click.mpc"));
    std::vector<uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAGOld title", 12);
    id3v1[127] = 255;
    const std::string lyrics = "LYRICSBEGININD0000210000021LYRICS200";
    struct Case {
        const char* name;
        bool mutagenApe, lyrics3, id3v1;
    };
    for (const Case& c : {Case{"bare", false, false, false}, Case{"ID3v1", false, false, true},
                          Case{"mutagen APEv2, Lyrics3, ID3v1", true, true, true}}) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "c.mpc";
        writeBytes(path, audio);
        if (c.mutagenApe) {
            ASSERT_EQ(
                python("import sys, mutagen.apev2 as a\nt = a.APEv2()\nt['Title'] = 'Old'\n"
                       "t['Blob'] = a.APEValue(b'\\x00\\x01', a.BINARY)\nt['Custom'] = 'kept'\nt.save(sys.argv[1])",
                       {path.string()})
                    .exitCode,
                0);
        }
        auto file = readBytes(path);
        if (c.lyrics3) file.insert(file.end(), lyrics.begin(), lyrics.end());
        if (c.id3v1) file.insert(file.end(), id3v1.begin(), id3v1.end());
        writeBytes(path, file);

        tags::TagRecord t;
        tags::TagExtras x;
        Facts f;
        ASSERT_TRUE(readMpc(path, f, t, x));
        EXPECT_EQ(t.title, c.mutagenApe ? "Old" : c.id3v1 ? "Old title" : "");
        tags::setFieldValues(t, tags::Field::Title, {"Café"});
        tags::setFieldValues(t, tags::Field::Artist, {"One", "Two"});
        tags::setFieldText(t, tags::Field::Year, "2004-05-06");
        t.track = 3;
        tags::TagChanges changes;
        changes.fields = {{"TOTALTRACKS", "12"}, {"ALBUMARTIST", "Band"}};
        changes.pictures = {tags::TagPicture{3, "image/jpeg", "", {0xFF, 0xD8, 0xFF, 0xE0}}};
        ASSERT_FALSE(writeMpcTag(path, t, changes));
        const auto once = readBytes(path);
        ASSERT_FALSE(writeMpcTag(path, t, changes));
        EXPECT_EQ(readBytes(path), once);

        const std::string m = mutagenApe(path);
        for (const char* line : {"Title=Café\n", "Artist=One\nArtist=Two\n", "Year=2004-05-06\n", "Track=3/12\n",
                                 "Album Artist=Band\n", "Cover Art (Front)=<14 bytes>\n"})
            EXPECT_NE(m.find(line), std::string::npos) << line << m;
        EXPECT_EQ(m.find("Genre"), std::string::npos) << m;  // none was held: none is written
        if (c.mutagenApe) {                                  // the other items kept, the changed one in its place
            EXPECT_NE(m.find("Blob=<2 bytes>\nTitle=Café\nCustom=kept\n"), std::string::npos) << m;
        }
        // The audio, then the tags in their order.
        ASSERT_GE(once.size(), audio.size());
        EXPECT_TRUE(std::equal(audio.begin(), audio.end(), once.begin()));
        uint64_t end = once.size();
        const bool endsWithId3v1 = std::memcmp(&once[end - 128], "TAG", 3) == 0;
        EXPECT_EQ(endsWithId3v1, c.id3v1);
        if (c.id3v1) {
            const auto v1 = tags::readId3v1(path.string(), tags::Id3v1Reading::MpegPlus);
            ASSERT_TRUE(v1);
            EXPECT_EQ(v1->title, "Café");
            EXPECT_EQ(v1->year, 2004);
            EXPECT_EQ(v1->track, 3);
            end -= 128;
        }
        if (c.lyrics3) {
            EXPECT_EQ(std::string(once.end() - 128 - lyrics.size(), once.end() - 128), lyrics);
            end -= lyrics.size();
        }
        EXPECT_EQ(end - apeSize(once, end), audio.size());

        ASSERT_TRUE(readMpc(path, f, t, x));
        EXPECT_EQ(f.duration, 78);
    }
    // Not an MPEG Plus stream: nothing written, and the caller is told.
    tags::TagRecord t;
    t.title = "x";
    writeBytes(dir / "x.mpc", std::vector<uint8_t>(300, 1));
    EXPECT_EQ(writeMpcTag(dir / "x.mpc", t, {}), io::make_error_code(io::Error::Damaged));
    EXPECT_EQ(fs::file_size(dir / "x.mpc"), 300u);
    EXPECT_EQ(writeMpcTag(dir / "gone.mpc", t, {}), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(dir / "gone.mpc"));
    // A damaged APEv2 tag is left as it is.
    auto damaged = readBytes(testdata("mpc/full-tagged.mpc"));
    damaged[damaged.size() - 16] += 1;  // one item more than the tag holds
    writeBytes(dir / "d.mpc", damaged);
    tags::TagRecord r;
    tags::TagExtras rx;
    Facts f;
    ASSERT_TRUE(readMpc(dir / "d.mpc", f, r, rx));
    EXPECT_EQ(writeMpcTag(dir / "d.mpc", t, {}), io::make_error_code(io::Error::Damaged));
    EXPECT_EQ(readBytes(dir / "d.mpc"), damaged);
}

TEST(MpcReader, Id3v2TagsInFrontOfTheStream) {
    TempDir dir;
    const auto plain = readBytes(testdata("mpc/full-tagged.mpc"));
    mpc::MpcStreamInfo a;
    ASSERT_TRUE(mpc::readStreamInfo(testdata("mpc/full-tagged.mpc"), a));
    // A 2.3 tag with a 30000-byte frame, then a 2.4 tag.
    std::string frames = std::string("PRIV\0\0\x75\x30\0\0", 10) + std::string(30000, '\xAB');
    std::vector<uint8_t> tagged = {'I', 'D', '3', 3, 0, 0, 0, 1, 0x6A, 0x3A};  // 30010 bytes of frames
    tagged.insert(tagged.end(), frames.begin(), frames.end());
    const std::vector<uint8_t> v24 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    tagged.insert(tagged.end(), v24.begin(), v24.end());
    tagged.insert(tagged.end(), plain.begin(), plain.end());
    writeBytes(dir / "t.mpc", tagged);
    mpc::MpcStreamInfo b;
    ASSERT_TRUE(mpc::readStreamInfo(dir / "t.mpc", b));
    EXPECT_EQ(b.audioStart, 30030u);
    EXPECT_EQ(b.header.frames, a.header.frames);
    EXPECT_EQ(b.header.streamVersion, a.header.streamVersion);
    EXPECT_EQ(b.audioBytes, a.audioBytes);
    EXPECT_EQ(b.bitrateKbps, a.bitrateKbps);
    EXPECT_EQ(b.id3v1.has_value(), a.id3v1.has_value());
    EXPECT_EQ(probeMpc(dir / "t.mpc"), 1);
    Facts fa, fb;
    tags::TagRecord ta, tb;
    tags::TagExtras xa, xb;
    ASSERT_TRUE(readMpc(testdata("mpc/full-tagged.mpc"), fa, ta, xa));
    ASSERT_TRUE(readMpc(dir / "t.mpc", fb, tb, xb));
    EXPECT_EQ(fb.description, fa.description);
    EXPECT_EQ(fb.duration, fa.duration);
    EXPECT_EQ(tb, ta);
    EXPECT_EQ(xb, xa);
    // A tag that claims more than the file holds is no tag: no stream either.
    tagged[7] = 0x7F;
    writeBytes(dir / "u.mpc", tagged);
    EXPECT_FALSE(mpc::readStreamInfo(dir / "u.mpc", b));
}

}  // namespace
}  // namespace qoro::audioinfo
