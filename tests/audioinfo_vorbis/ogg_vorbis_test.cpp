// Ogg Vorbis fields and pictures beyond the properties: read as mutagen
// wrote them, and written by the comment rewrite, judged by ogginfo,
// vorbiscomment, mutagen and the decoded audio.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "tags/vorbis_comments.h"
#include "vorbis_fixtures.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;
using qoro::test::vfix::lines;
using qoro::test::vfix::mutagenView;

fs::path taggedOgg(const TempDir& dir, tags::TagPicture& front, tags::TagPicture& back) {
    const fs::path ogg = dir / "a.ogg";
    info::make("oggenc -Q -q 2 -t Old -c MOOD=calm -c REPLAYGAIN_TRACK_GAIN=-1.5 -o " + shellQuote(ogg.string()) + " " +
               shellQuote(vfix::makeWav(dir, "in.wav", 44100, 2, 3.0).string()));
    front = {3, "image/png", "Front", readBytes(vfix::makePicture(dir, "f.png", 64, 48))};
    back = {4, "image/jpeg", "Back ü", readBytes(vfix::makePicture(dir, "b.jpg", 32, 16))};
    vfix::mutagenTagOgg(ogg, {front, back}, {"mood=warm", "DISCNUMBER=2"});
    return ogg;
}

std::vector<uint8_t> decoded(const TempDir& dir, const fs::path& ogg) {
    const fs::path raw = dir / "decoded.raw";
    info::make("ffmpeg -nostdin -v error -y -i " + shellQuote(ogg.string()) + " -f s16le " + shellQuote(raw.string()));
    return readBytes(raw);
}

void expectOgginfoClean(const fs::path& ogg) {
    const CommandResult r = run("ogginfo " + shellQuote(ogg.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("WARNING"), std::string::npos) << r.output;
}

TEST(OggVorbisExtras, FieldsAndPicturesAsMutagenWroteThem) {
    QORO_REQUIRE_TOOLS("oggenc", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    tags::TagPicture front, back;
    const fs::path ogg = taggedOgg(dir, front, back);
    Facts f;
    tags::TagRecord t;
    tags::TagExtras extras;
    ASSERT_TRUE(readOgg(ogg, f, t, &extras));
    EXPECT_EQ(t.title, "Old");
    std::vector<tags::TagField> want;
    for (const std::string& c : mutagenView(dir, ogg).comments) {
        const std::string name = c.substr(0, c.find('='));
        if (!vorbis::isPropertyName(name)) want.push_back({vfix::mapName(name), c.substr(c.find('=') + 1)});
    }
    ASSERT_EQ(want.size(), 4u);  // MOOD, REPLAYGAIN_TRACK_GAIN, mood (as MOOD), DISCNUMBER
    EXPECT_EQ(extras.fields, want);
    EXPECT_EQ(extras.pictures, (std::vector<tags::TagPicture>{front, back}));
    // Without 'extras' the reader reads as before.
    tags::TagRecord t2;
    ASSERT_TRUE(readOgg(ogg, f, t2));
    EXPECT_EQ(t2, t);
}

TEST(OggVorbisExtras, ChangesRoundTripThroughOgginfoAndMutagen) {
    QORO_REQUIRE_TOOLS("oggenc", "ogginfo", "vorbiscomment", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    tags::TagPicture front, back;
    const fs::path ogg = taggedOgg(dir, front, back);
    const auto audio = decoded(dir, ogg);
    const vfix::MutagenView before = mutagenView(dir, ogg);
    ASSERT_TRUE(before.ok) << before.output;
    ASSERT_EQ(before.comments, (std::vector<std::string>{"MOOD=calm", "REPLAYGAIN_TRACK_GAIN=-1.5", "title=Old",
                                                         "mood=warm", "DISCNUMBER=2"}));

    Facts f;
    tags::TagRecord t;
    tags::TagExtras extras;
    ASSERT_TRUE(readOgg(ogg, f, t, &extras));
    t.artist = "Someone";
    tags::TagChanges c;
    c.fields = {{"MOOD", "bright"}, {"DISCNUMBER", ""}, {"LABEL", "Ours"}};
    // A front cover of 200 KB: the comment header spans several pages now.
    const tags::TagPicture bigFront{3, "image/jpeg", "Big",
                                    readBytes(vfix::makePicture(dir, "big.jpg", 1280, 960, true))};
    ASSERT_GT(bigFront.data.size(), 150000u);
    c.pictures = {bigFront, {4, "", "", {}}, {6, "image/png", "", front.data}};
    ASSERT_FALSE(writeOggComments(ogg, t, c));
    expectOgginfoClean(ogg);
    EXPECT_EQ(decoded(dir, ogg), audio);
    const vfix::MutagenView now = mutagenView(dir, ogg);
    EXPECT_EQ(now.vendor, before.vendor);
    EXPECT_EQ(now.comments, (std::vector<std::string>{"MOOD=bright", "REPLAYGAIN_TRACK_GAIN=-1.5", "title=Old",
                                                      "Artist=Someone", "LABEL=Ours"}))
        << now.output;
    EXPECT_EQ(now.pictures, (std::vector<tags::TagPicture>{bigFront, {6, "image/png", "", front.data}}));
    EXPECT_EQ(now.dimensions, "1280x960x24 64x48x24");
    const CommandResult list = run("vorbiscomment -l " + shellQuote(ogg.string()));
    EXPECT_NE(list.output.find("LABEL=Ours"), std::string::npos) << list.output;

    Facts f2;
    tags::TagRecord t2;
    tags::TagExtras back2;
    ASSERT_TRUE(readOgg(ogg, f2, t2, &back2));
    EXPECT_EQ(t2, t);
    f2.size = f.size;  // the file grew by the picture
    EXPECT_EQ(f2, f);
    EXPECT_EQ(back2.pictures, now.pictures);
}

}  // namespace
}  // namespace qoro::audioinfo
