// FLAC facts, tags, fields and pictures from files made by flac, metaflac
// and mutagen, and the rewrite of the comment and picture blocks, judged by
// metaflac, flac -t, mutagen and the decoded audio.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fixtures.h"
#include "io/file_rewrite.h"
#include "readers/readers.h"
#include "vorbis_fixtures.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;
using qoro::test::vfix::lines;
using qoro::test::vfix::mutagenView;

fs::path encodeFlac(const TempDir& dir, const fs::path& wav, const std::string& name, const std::string& args = "") {
    const fs::path out = dir / name;
    info::make("flac -s -f " + args + " -o " + shellQuote(out.string()) + " " + shellQuote(wav.string()));
    return out;
}

std::string metaflac(const std::string& args, const fs::path& file) {
    const CommandResult r = run("metaflac " + args + " " + shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.output;
    return r.output;
}

long metaflacNumber(const std::string& option, const fs::path& file) {
    return std::stol(metaflac(option, file));
}

// The samples flac decodes, as raw bytes.
std::vector<uint8_t> decoded(const TempDir& dir, const fs::path& flac) {
    const fs::path raw = dir / "decoded.raw";
    info::make("flac -s -d -f --force-raw-format --endian=little --sign=signed -o " + shellQuote(raw.string()) + " " +
               shellQuote(flac.string()));
    return readBytes(raw);
}

bool flacTestPasses(const fs::path& file) {
    const CommandResult r = run("flac -s -t " + shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.exitCode == 0;
}

// The 4-byte-header + body sizes metaflac lists, as "TYPE:LENGTH" words.
std::string blockList(const fs::path& file) {
    std::string out, type;
    for (const std::string& line : lines(metaflac("--list", file))) {
        if (line.rfind("  type: ", 0) == 0) type = line.substr(8, line.find(' ', 8) - 8);
        if (line.rfind("  length: ", 0) == 0) out += (out.empty() ? "" : " ") + type + ":" + line.substr(10);
    }
    return out;
}

using qoro::test::vfix::Read;
Read readIt(const fs::path& file) { return qoro::test::vfix::readWith(readFlac, file); }

TEST(FlacReader, FactsAgreeWithMetaflacAndFfprobe) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffprobe", "sox");
    TempDir dir;
    struct Case {
        std::string wav;  // sox arguments making the source
        std::string description;
    };
    const Case cases[] = {
        {"-r 44100 -c 2 -b 16", "FLAC 16 bit, 44100 Hz, Stereo"},
        {"-r 96000 -c 1 -b 24", "FLAC 24 bit, 96000 Hz, Mono"},
        {"-r 8000 -c 1 -b 8", "FLAC 8 bit, 8000 Hz, Mono"},
        {"-r 48000 -c 6 -b 24", "FLAC 24 bit, 48000 Hz, 6 channels"},
    };
    for (const Case& c : cases) {
        const fs::path wav = dir / "in.wav";
        info::make("sox -n " + c.wav + " " + shellQuote(wav.string()) + " synth 2.345 sine 440 sine 1000 sine 3000");
        const fs::path flac = encodeFlac(dir, wav, "a.flac");
        const Read r = readIt(flac);
        ASSERT_TRUE(r.ok) << c.wav;
        const long samples = metaflacNumber("--show-total-samples", flac);
        const long rate = metaflacNumber("--show-sample-rate", flac);
        EXPECT_EQ(r.facts.samples, samples) << c.wav;
        EXPECT_EQ(r.facts.frequency, rate) << c.wav;
        EXPECT_EQ(r.facts.channels, metaflacNumber("--show-channels", flac)) << c.wav;
        EXPECT_EQ(r.facts.bitsPerSample, metaflacNumber("--show-bps", flac)) << c.wav;
        EXPECT_EQ(r.facts.formatTag, 0xF1AC);
        EXPECT_EQ(r.facts.size, static_cast<int32_t>(fs::file_size(flac)));
        EXPECT_EQ(r.facts.description, c.description);
        const auto p = info::probe(flac);
        EXPECT_NEAR(r.facts.duration, info::number(p, "format.duration") * 1000.0, 1.0) << c.wav;
        EXPECT_NEAR(r.facts.bitrate, info::number(p, "format.bit_rate"), 1.0) << c.wav;
        EXPECT_EQ(probeFlac(flac), 1);
        EXPECT_EQ(probeFlac(wav), 0);
    }
    EXPECT_EQ(probeFlac(dir / "absent.flac"), -2);
}

TEST(FlacReader, TagsFieldsAndPicturesAsMetaflacWroteThem) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    TempDir dir;
    const fs::path flac = encodeFlac(dir, vfix::makeWav(dir, "in.wav", 44100, 2, 1.0), "a.flac");
    const fs::path png = vfix::makePicture(dir, "cover.png", 64, 48);
    const fs::path jpg = vfix::makePicture(dir, "back.jpg", 32, 16);
    info::make("metaflac --remove-all-tags --set-tag=TITLE=Tïtle --set-tag=ARTIST=One --set-tag=MOOD=calm "
               "--set-tag=artist=Two --set-tag=GENRE=rock --set-tag=TRACKNUMBER=4/9 --set-tag=DATE=2002-05-01 "
               "--set-tag=REPLAYGAIN_TRACK_GAIN=-3.20 "
               "'--import-picture-from=3|image/png|Front cover||" + png.string() + "' "
               "'--import-picture-from=4|image/jpeg|||" + jpg.string() + "' " + shellQuote(flac.string()));
    const Read r = readIt(flac);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.tags.title, "Tïtle");
    EXPECT_EQ(r.tags.artist, "One; Two");
    EXPECT_EQ(r.tags.genre, 17);
    EXPECT_EQ(r.tags.track, 4);
    EXPECT_EQ(r.tags.year, 2002);
    EXPECT_EQ(r.extras.fields,
              (std::vector<tags::TagField>{{"MOOD", "calm"}, {"REPLAYGAIN_TRACK_GAIN", "-3.20"}, {"TOTALTRACKS", "9"}}));
    ASSERT_EQ(r.extras.pictures.size(), 2u);
    EXPECT_EQ(r.extras.pictures[0], (tags::TagPicture{3, "image/png", "Front cover", readBytes(png)}));
    EXPECT_EQ(r.extras.pictures[1], (tags::TagPicture{4, "image/jpeg", "", readBytes(jpg)}));

    // An ID3v2 tag before "fLaC" (as some taggers leave) is passed over.
    const fs::path withId3 = dir / "id3.flac";
    std::vector<uint8_t> bytes = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
    bytes.resize(30, 0);
    const auto whole = readBytes(flac);
    bytes.insert(bytes.end(), whole.begin(), whole.end());
    writeBytes(withId3, bytes);
    const Read again = readIt(withId3);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.tags, r.tags);
    EXPECT_EQ(again.extras, r.extras);
    EXPECT_EQ(probeFlac(withId3), 1);

    // Written through, the ID3v2 tag stays in front, byte for byte.
    tags::TagRecord t = again.tags;
    t.title = "New";
    ASSERT_FALSE(writeFlacTags(withId3, t, {}));
    const auto written = readBytes(withId3);
    ASSERT_GT(written.size(), 30u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 34, written.begin()));  // the tag and "fLaC"
    EXPECT_EQ(readIt(withId3).tags.title, "New");
    EXPECT_TRUE(flacTestPasses(withId3));
    EXPECT_EQ(decoded(dir, withId3), decoded(dir, flac));
}

// A FLAC file as users' files come: a seek table, an APPLICATION block
// (added by mutagen), comments of every sort and two pictures.
struct RichFlac {
    fs::path file, png, jpg;
    std::vector<uint8_t> audio;
};
RichFlac makeRichFlac(const TempDir& dir) {
    RichFlac f;
    f.file = encodeFlac(dir, vfix::makeWav(dir, "in.wav", 44100, 2, 2.0), "rich.flac", "-S 0.5s");
    f.png = vfix::makePicture(dir, "cover.png", 64, 48);
    f.jpg = vfix::makePicture(dir, "back.jpg", 32, 16);
    info::make("metaflac --set-tag=TITLE=Old --set-tag=ALBUM=Album --set-tag=MOOD=calm --set-tag=mood=warm "
               "--set-tag=REPLAYGAIN_TRACK_GAIN=-3.20 --set-tag=DISCNUMBER=1 "
               "'--import-picture-from=3|image/png|Front||" + f.png.string() + "' "
               "'--import-picture-from=4|image/jpeg|Back||" + f.jpg.string() + "' " + shellQuote(f.file.string()));
    const CommandResult r = python(R"(
import sys
from mutagen.flac import FLAC, MetadataBlock
f = FLAC(sys.argv[1])
b = MetadataBlock(b'qoro' + bytes(range(256)))
b.code = 2
f.metadata_blocks.insert(2, b)
f.save()
)",
                                   {f.file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    f.audio = decoded(dir, f.file);
    return f;
}

TEST(FlacWrite, RoundTripThroughMetaflacAndMutagen) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const RichFlac f = makeRichFlac(dir);
    const vfix::MutagenView before = mutagenView(dir, f.file);
    ASSERT_TRUE(before.ok) << before.output;
    const std::string applicationBefore = metaflac("--list --block-type=APPLICATION", f.file);
    const std::string seekBefore = metaflac("--list --block-type=SEEKTABLE", f.file);
    const auto sizeBefore = fs::file_size(f.file);

    Read r = readIt(f.file);
    ASSERT_TRUE(r.ok);
    r.tags.title = "Ключ";
    r.tags.year = 1999;
    tags::TagChanges c;
    c.fields = {{"MOOD", "bright"}, {"DISCNUMBER", ""}, {"LABEL", "Ours"}};
    const std::vector<uint8_t> newFront = readBytes(f.jpg);
    c.pictures = {{3, "image/jpeg", "New front", newFront}};
    ASSERT_FALSE(writeFlacTags(f.file, r.tags, c));
    EXPECT_FALSE(fs::exists(dir / "rich.flac~"));

    EXPECT_TRUE(flacTestPasses(f.file));
    EXPECT_EQ(decoded(dir, f.file), f.audio);
    // Every other block as it was; the comments changed where they stood.
    EXPECT_EQ(metaflac("--list --block-type=APPLICATION", f.file), applicationBefore);
    EXPECT_EQ(metaflac("--list --block-type=SEEKTABLE", f.file), seekBefore);
    const vfix::MutagenView now = mutagenView(dir, f.file);
    ASSERT_TRUE(now.ok) << now.output;
    EXPECT_EQ(now.vendor, before.vendor);
    // The title where the old one stood (by the name the properties write),
    // the new date after the comments, then the new field.
    const std::vector<std::string> want = {"Title=Ключ",  "ALBUM=Album", "MOOD=bright", "REPLAYGAIN_TRACK_GAIN=-3.20",
                                           "Date=1999", "LABEL=Ours"};
    EXPECT_EQ(now.comments, want) << now.output;
    EXPECT_EQ(lines(metaflac("--export-tags-to=-", f.file)), want);
    ASSERT_EQ(now.pictures.size(), 2u);
    EXPECT_EQ(now.pictures[0], (tags::TagPicture{3, "image/jpeg", "New front", newFront}));
    EXPECT_EQ(now.pictures[1], before.pictures[1]);
    // The new picture's size and depth are those metaflac finds in the same image.
    const fs::path check = dir / "check.flac";
    fs::copy_file(f.file, check);
    info::make("metaflac --remove --block-type=PICTURE " + shellQuote(check.string()));
    info::make("metaflac '--import-picture-from=3|image/jpeg|New front||" + f.jpg.string() + "' " +
               shellQuote(check.string()));
    const std::string backDimensions = before.dimensions.substr(before.dimensions.find(' ') + 1);
    EXPECT_EQ(now.dimensions, mutagenView(dir, check).dimensions + " " + backDimensions);
    // The new blocks fit in the old ones and the padding: the audio did not move.
    EXPECT_EQ(fs::file_size(f.file), sizeBefore);
    EXPECT_EQ(now.blocks, before.blocks);

    // What we wrote reads back as written.
    const Read back = readIt(f.file);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.tags, r.tags);
    EXPECT_EQ(back.extras.fields,
              (std::vector<tags::TagField>{{"MOOD", "bright"}, {"REPLAYGAIN_TRACK_GAIN", "-3.20"}, {"LABEL", "Ours"}}));
}

TEST(FlacWrite, GrowingPastThePaddingAndRemovingEverything) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const RichFlac f = makeRichFlac(dir);
    Read r = readIt(f.file);
    ASSERT_TRUE(r.ok);

    // A picture larger than the padding: the file grows, the audio stays whole.
    tags::TagChanges c;
    std::vector<uint8_t> big(100000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
    c.pictures = {{5, "application/octet-stream", "", big}};
    ASSERT_FALSE(writeFlacTags(f.file, r.tags, c));
    EXPECT_TRUE(flacTestPasses(f.file));
    EXPECT_EQ(decoded(dir, f.file), f.audio);
    vfix::MutagenView v = mutagenView(dir, f.file);
    ASSERT_EQ(v.pictures.size(), 3u) << v.output;
    EXPECT_EQ(v.pictures[2].data, big);
    EXPECT_EQ(v.blocks.back(), 1);  // padding at the end, made anew

    // Everything beyond the properties removed; the properties emptied.
    c = {};
    c.pictures = {{3, "", "", {}}, {4, "", "", {}}, {5, "", "", {}}};
    for (const tags::TagField& field : r.extras.fields) c.fields.push_back({field.name, ""});
    ASSERT_FALSE(writeFlacTags(f.file, tags::TagRecord{}, c));
    EXPECT_TRUE(flacTestPasses(f.file));
    EXPECT_EQ(decoded(dir, f.file), f.audio);
    v = mutagenView(dir, f.file);
    EXPECT_TRUE(v.pictures.empty());
    EXPECT_TRUE(v.comments.empty()) << v.output;
    EXPECT_EQ(blockList(f.file).find(" 6:"), std::string::npos) << blockList(f.file);
    EXPECT_NE(blockList(f.file).find(" 2:260"), std::string::npos) << blockList(f.file);
    const Read empty = readIt(f.file);
    EXPECT_EQ(empty.tags, tags::TagRecord{});
    EXPECT_EQ(empty.extras, tags::TagExtras{});
}

TEST(FlacWrite, AFileWithoutCommentsOrPaddingGetsThem) {
    QORO_REQUIRE_TOOLS("flac", "metaflac");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path flac = encodeFlac(dir, vfix::makeWav(dir, "in.wav", 22050, 1, 0.5), "bare.flac", "--no-padding");
    info::make("metaflac --remove --block-type=VORBIS_COMMENT,SEEKTABLE,PADDING --dont-use-padding " +
               shellQuote(flac.string()));
    ASSERT_EQ(blockList(flac), "0:34");
    const auto audio = decoded(dir, flac);
    tags::TagRecord t;
    t.artist = "Someone";
    tags::TagChanges c;
    c.fields = {{"ALBUMARTIST", "Band"}};
    ASSERT_FALSE(writeFlacTags(flac, t, c));
    EXPECT_TRUE(flacTestPasses(flac));
    EXPECT_EQ(decoded(dir, flac), audio);
    EXPECT_EQ(lines(metaflac("--export-tags-to=-", flac)), (std::vector<std::string>{"Artist=Someone", "ALBUMARTIST=Band"}));
    const std::string blocks = blockList(flac);
    EXPECT_EQ(blocks.substr(0, 7), "0:34 4:") << blocks;
    EXPECT_EQ(blocks.substr(blocks.size() - 7), " 1:4096") << blocks;
}

TEST(FlacWrite, NothingToChangeLeavesTheFileAlone) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    TempDir dir;
    const RichFlac f = makeRichFlac(dir);
    const auto bytes = readBytes(f.file);
    struct stat st {};
    ASSERT_EQ(::stat(f.file.c_str(), &st), 0);
    Read r = readIt(f.file);
    // Removing a field that is not there, putting the same front cover in
    // (its record made as metaflac makes it, size and depth included),
    // removing a kind of picture there is none of.
    tags::TagChanges c;
    c.fields = {{"ABSENT", ""}};
    c.pictures = {{3, "image/png", "Front", readBytes(f.png)}, {9, "", "", {}}};
    ASSERT_FALSE(writeFlacTags(f.file, r.tags, c));
    EXPECT_EQ(readBytes(f.file), bytes);
    struct stat after {};
    ASSERT_EQ(::stat(f.file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, st.st_ino);  // not even replaced by an equal copy
}

TEST(FlacWrite, DamagedFilesAreRefusedAndLeftAsTheyWere) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    TempDir dir;
    const RichFlac f = makeRichFlac(dir);
    const auto whole = readBytes(f.file);
    tags::TagRecord t;
    t.title = "x";
    const fs::path bad = dir / "bad.flac";
    auto refused = [&](const std::vector<uint8_t>& bytes, const std::string& what) {
        writeBytes(bad, bytes);
        Facts facts;
        tags::TagRecord tags;
        tags::TagExtras extras;
        EXPECT_FALSE(readFlac(bad, facts, tags, extras)) << what;
        EXPECT_EQ(writeFlacTags(bad, t, {}), io::Error::Damaged) << what;
        EXPECT_EQ(readBytes(bad), bytes) << what;
        EXPECT_FALSE(fs::exists(dir / "bad.flac~")) << what;
    };
    // Cut inside each of the first blocks (the last ones are the padding and audio).
    for (size_t cut : {size_t{3}, size_t{6}, size_t{20}, size_t{42}, size_t{100}, size_t{400}, size_t{2000}})
        refused(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)),
                "cut at " + std::to_string(cut));
    // A length past the end of the file, on the STREAMINFO and on the second block.
    std::vector<uint8_t> b = whole;
    b[5] = 0xFF;
    refused(b, "STREAMINFO length");
    b = whole;
    b[4 + 4 + 34 + 1] = 0xFF;
    refused(b, "second block's length");
    // No "last block" flag anywhere: the blocks run into the audio.
    b = whole;
    for (size_t at = 4; at + 4 < b.size();) {
        const size_t length = (size_t{b[at + 1]} << 16) | (size_t{b[at + 2]} << 8) | b[at + 3];
        const bool last = b[at] & 0x80;
        b[at] &= 0x7F;
        at += 4 + length;
        if (last) break;
    }
    refused(b, "no last flag");
    // The reserved block type 127, and a second STREAMINFO.
    b = whole;
    b[4 + 4 + 34] = (b[4 + 4 + 34] & 0x80) | 127;
    refused(b, "type 127");
    b = whole;
    b[4 + 4 + 34] = b[4 + 4 + 34] & 0x80;
    refused(b, "two STREAMINFO");
    // A comment block whose comment count runs past it: the facts are read,
    // the comments are not, and nothing is written.
    b = whole;
    size_t at = 4;
    while ((b[at] & 0x7F) != 4) at += 4 + ((size_t{b[at + 1]} << 16) | (size_t{b[at + 2]} << 8) | b[at + 3]);
    const size_t vendor = b[at + 4] | (size_t{b[at + 5]} << 8);
    b[at + 4 + 4 + vendor + 3] = 0x40;  // the count's top byte
    writeBytes(bad, b);
    Facts facts;
    tags::TagRecord tags;
    tags::TagExtras extras;
    EXPECT_TRUE(readFlac(bad, facts, tags, extras));
    EXPECT_EQ(facts.channels, 2);
    EXPECT_EQ(tags.title, "");
    EXPECT_EQ(extras.pictures.size(), 2u);
    EXPECT_EQ(writeFlacTags(bad, t, {}), io::Error::Damaged);
    EXPECT_EQ(readBytes(bad), b);
    // A file that is no FLAC at all.
    refused(std::vector<uint8_t>(5000, 0x5A), "no FLAC");
    EXPECT_EQ(writeFlacTags(dir / "absent.flac", t, {}), std::errc::no_such_file_or_directory);
}

TEST(FlacWrite, BadFieldNamesAndOversizedBlocksAreRefused) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "ffmpeg");
    TempDir dir;
    const RichFlac f = makeRichFlac(dir);
    const auto bytes = readBytes(f.file);
    tags::TagChanges c;
    c.fields = {{"A=B", "v"}};
    EXPECT_EQ(writeFlacTags(f.file, tags::TagRecord{}, c), std::errc::invalid_argument);
    EXPECT_EQ(readBytes(f.file), bytes);
    c = {};
    c.pictures = {{3, "image/jpeg", "", std::vector<uint8_t>(1u << 24, 1)}};
    EXPECT_EQ(writeFlacTags(f.file, tags::TagRecord{}, c), io::Error::TooLarge);
    EXPECT_EQ(readBytes(f.file), bytes);
    EXPECT_FALSE(fs::exists(dir / "rich.flac~"));
}

}  // namespace
}  // namespace qoro::audioinfo
