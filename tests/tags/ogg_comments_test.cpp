// Ogg Vorbis files tagged the way users tag them (oggenc, then mutagen with
// repeated fields, dates, "3/12" track numbers and a cover picture) through
// writeOggComments: only what changed changes, as mutagen, ogginfo, ffmpeg
// and our own page lister see it.
#include <gtest/gtest.h>

#include <sstream>
#include <system_error>

#include "io/file_rewrite.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "riff_test_util.h"
#include "test_support.h"

namespace audioinfo = qoro::audioinfo;
namespace tags = qoro::tags;
using namespace qoro::test;
using namespace qoro::test::riffutil;

namespace {

const char* kTagOgg = R"(
import sys, base64
from mutagen.oggvorbis import OggVorbis
from mutagen.flac import Picture
f = OggVorbis(sys.argv[1])
p = Picture()
p.type = 3
p.desc = 'Cover'
p.width = p.height = 100
p.depth = 24
p.mime = 'image/jpeg'
p.data = open(sys.argv[2], 'rb').read()
f['TITLE'] = ['Old title']
f['ARTIST'] = ['First Artist', 'Second Artist']
f['DATE'] = ['2011-03-04']
f['TRACKNUMBER'] = ['3/12']
f['GENRE'] = ['Rock', 'Chillwave']
f['MOOD'] = ['calm']
f['METADATA_BLOCK_PICTURE'] = [base64.b64encode(p.write()).decode('ascii')]
f.save()
)";

// mutagen's view: the vendor, then every comment in order (long values as a digest).
const char* kDumpOgg = R"(
import sys, hashlib
from mutagen.oggvorbis import OggVorbis
f = OggVorbis(sys.argv[1])
print('vendor', f.tags.vendor)
print('length', round(f.info.length, 3), f.info.sample_rate, f.info.channels)
for k, v in list.__iter__(f.tags):
    print(k.upper(), v if len(v) < 200 else hashlib.md5(v.encode()).hexdigest())
)";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// mutagen's view without the comments of one name.
std::vector<std::string> viewWithout(const fs::path& file, const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& l : lines(mutagen(kDumpOgg, {file.string()})))
        if (l.rfind(name + " ", 0) != 0) out.push_back(l);
    return out;
}

std::vector<std::string> valuesOf(const fs::path& file, const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& l : lines(mutagen(kDumpOgg, {file.string()})))
        if (l.rfind(name + " ", 0) == 0) out.push_back(l.substr(name.size() + 1));
    return out;
}

fs::path taggedOgg(const TempDir& dir) {
    const fs::path wav = dir / "in.wav", ogg = dir / "a.ogg";
    writeWav16(wav, 44100, 2, testSignal(44100, 2, 44100 * 3));
    const CommandResult r = run("oggenc -Q -q 3 -o " + shellQuote(ogg.string()) + " " + shellQuote(wav.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const fs::path jpeg = dir / "cover.jpg";
    const CommandResult c = run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=560x420 -frames:v 1 -q:v 2 " +
                                shellQuote(jpeg.string()));
    EXPECT_EQ(c.exitCode, 0) << c.output;
    mutagen(kTagOgg, {ogg.string(), jpeg.string()});
    return ogg;
}

// The stream's pages: checksums right, sequence numbers 0, 1, 2, ... and
// the pages after the headers the same as 'before' but for their numbers.
void expectSameAudioPages(const fs::path& file, const Bytes& before) {
    std::vector<OggPage> a, b;
    ASSERT_TRUE(listPages(readBytes(file), a));
    ASSERT_TRUE(listPages(before, b));
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(a[i].checksumOk) << "page " << i;
        EXPECT_EQ(a[i].sequence, i) << "page " << i;
    }
    const size_t ha = headerPageCount(a), hb = headerPageCount(b);
    ASSERT_EQ(a.size() - ha, b.size() - hb);
    for (size_t i = 0; i < a.size() - ha; ++i) {
        const OggPage &x = a[ha + i], &y = b[hb + i];
        EXPECT_TRUE(x.granule == y.granule && x.flags == y.flags && x.serial == y.serial && x.lacing == y.lacing &&
                    x.body == y.body)
            << "audio page " << i;
    }
    EXPECT_EQ(a[0].serial, b[0].serial);
    const CommandResult info = run("ogginfo " + shellQuote(file.string()));
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_EQ(info.output.find("arning"), std::string::npos) << info.output;
    EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;
}

tags::TagRecord readTags(const fs::path& file) {
    audioinfo::Facts f;
    tags::TagRecord t;
    EXPECT_TRUE(audioinfo::readOgg(file, f, t));
    return t;
}

}  // namespace

TEST(OggCommentsRich, ReadingJoinsRepeatedFields) {
    QORO_REQUIRE_TOOLS("oggenc", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const tags::TagRecord t = readTags(taggedOgg(dir));
    EXPECT_EQ(t.artist, "First Artist; Second Artist");
    EXPECT_EQ(t.title, "Old title");
    EXPECT_EQ(t.year, 2011);
    EXPECT_EQ(t.track, 3);
    EXPECT_EQ(t.genre, 17);  // the first GENRE
}

TEST(OggCommentsRich, TitleChangeKeepsEveryOtherCommentAndThePages) {
    QORO_REQUIRE_TOOLS("oggenc", "ogginfo", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path ogg = taggedOgg(dir);
    const Bytes original = readBytes(ogg);
    const std::vector<std::string> others = viewWithout(ogg, "TITLE");
    const std::string md5 = audioMd5(ogg);
    const tags::TagRecord start = readTags(ogg);
    std::vector<OggPage> pages;
    ASSERT_TRUE(listPages(original, pages));
    size_t headerPages = headerPageCount(pages);
    int samePageCount = 0, otherPageCount = 0;

    // Titles that keep, grow and shrink the header section.
    for (const std::string& title :
         {std::string("New Title"), std::string(20000, 'T'), std::string("Short"), std::string()}) {
        SCOPED_TRACE(title.size());
        tags::TagRecord want = start;
        want.title = title;
        ASSERT_FALSE(audioinfo::writeOggComments(ogg, want));
        EXPECT_FALSE(fs::exists(ogg.string() + "~"));
        EXPECT_EQ(viewWithout(ogg, "TITLE"), others);
        const std::vector<std::string> titles = valuesOf(ogg, "TITLE");
        ASSERT_EQ(titles.size(), title.empty() ? 0u : 1u);
        if (!title.empty() && title.size() < 200) {
            EXPECT_EQ(titles[0], title);
        }
        EXPECT_EQ(readTags(ogg), want);
        expectSameAudioPages(ogg, original);
        EXPECT_EQ(audioMd5(ogg), md5);
        if (HasFatalFailure()) return;
        std::vector<OggPage> pages;
        listPages(readBytes(ogg), pages);
        (headerPageCount(pages) == headerPages ? samePageCount : otherPageCount) += 1;
        headerPages = headerPageCount(pages);
    }
    // Both ways were taken: audio pages carried over as they are, and
    // renumbered after a header section of another number of pages.
    EXPECT_GT(samePageCount, 0);
    EXPECT_GT(otherPageCount, 0);
}

TEST(OggCommentsRich, ChangedFieldsAreWrittenAsOneValue) {
    QORO_REQUIRE_TOOLS("oggenc", "ogginfo", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path ogg = taggedOgg(dir);
    const Bytes original = readBytes(ogg);
    tags::TagRecord want = readTags(ogg);
    want.artist = "Only One";
    want.year = 2012;
    want.composer = "Composer";
    ASSERT_FALSE(audioinfo::writeOggComments(ogg, want));
    EXPECT_EQ(valuesOf(ogg, "ARTIST"), std::vector<std::string>{"Only One"});
    EXPECT_EQ(valuesOf(ogg, "DATE"), std::vector<std::string>{"2012"});
    EXPECT_EQ(valuesOf(ogg, "COMPOSER"), std::vector<std::string>{"Composer"});
    // Unchanged: as stored.
    EXPECT_EQ(valuesOf(ogg, "TRACKNUMBER"), std::vector<std::string>{"3/12"});
    EXPECT_EQ(valuesOf(ogg, "GENRE"), (std::vector<std::string>{"Rock", "Chillwave"}));
    EXPECT_EQ(valuesOf(ogg, "MOOD"), std::vector<std::string>{"calm"});
    EXPECT_EQ(readTags(ogg), want);
    expectSameAudioPages(ogg, original);
}

TEST(OggCommentsRich, CommentListRules) {
    const std::vector<std::string> file = {"title=Old",        "ARTIST=A",       "MOOD=calm",      "artist=B",
                                           "TRACKNUMBER=3/12", "no equals sign", "DATE=2011-03-04"};
    tags::TagRecord r;
    audioinfo::applyVorbisComments(file, r);
    EXPECT_EQ(r.artist, "A; B");
    EXPECT_EQ(r.track, 3);
    EXPECT_EQ(r.year, 2011);
    EXPECT_EQ(audioinfo::updatedVorbisComments(file, r), file);  // nothing changed
    r.artist = "C";
    r.title.clear();
    r.url = "U";
    r.genre = 200;  // no name: writes nothing, and there was none
    EXPECT_EQ(audioinfo::updatedVorbisComments(file, r),
              (std::vector<std::string>{"Artist=C", "MOOD=calm", "TRACKNUMBER=3/12", "no equals sign",
                                        "DATE=2011-03-04", "URL=U"}));
    // A new file's comments, in the order of writing.
    tags::TagRecord t;
    t.album = "A";
    t.url = "U";
    t.genre = 147;
    t.track = 2;
    t.year = 1999;
    EXPECT_EQ(audioinfo::updatedVorbisComments({}, t),
              (std::vector<std::string>{"Album=A", "Genre=SynthPop", "URL=U", "Date=1999", "TrackNumber=2"}));
}

TEST(OggCommentsRich, FailuresLeaveTheFileAsItWas) {
    QORO_REQUIRE_TOOLS("oggenc", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    tags::TagRecord t;
    EXPECT_EQ(audioinfo::writeOggComments(dir / "none.ogg", t), std::errc::no_such_file_or_directory);
    EXPECT_EQ(audioinfo::writeOggComments(dir / "no" / "x.ogg", t), std::errc::no_such_file_or_directory);

    const fs::path ogg = taggedOgg(dir);
    const Bytes before = readBytes(ogg);
    t = readTags(ogg);
    t.title = "x";
    std::error_code ec;
    withFileSizeLimit(before.size() / 2, [&] { ec = audioinfo::writeOggComments(ogg, t); });
    EXPECT_TRUE(ec);
    EXPECT_EQ(readBytes(ogg), before);
    EXPECT_FALSE(fs::exists(ogg.string() + "~"));

    // A symbolic link stays a link to the rewritten file, which keeps its mode.
    fs::permissions(ogg, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const fs::path link = dir / "link.ogg";
    fs::create_symlink(ogg.filename(), link);
    ASSERT_FALSE(audioinfo::writeOggComments(link, t));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::status(ogg).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(readTags(ogg).title, "x");

    // Not Ogg Vorbis, or cut inside its headers: damaged, and untouched.
    Bytes cut(before.begin(), before.begin() + 6000);
    writeBytes(ogg, cut);
    EXPECT_EQ(audioinfo::writeOggComments(ogg, t), qoro::io::Error::Damaged);
    EXPECT_EQ(readBytes(ogg), cut);
    EXPECT_FALSE(fs::exists(ogg.string() + "~"));
}
