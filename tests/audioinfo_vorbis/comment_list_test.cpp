// The comment list rules shared by FLAC, Ogg Vorbis and Opus: which
// comments are fields beyond the properties, how changes land, and the
// picture record and its base64 form, checked against Python's base64 and
// mutagen's picture writer.
#include <gtest/gtest.h>

#include <random>

#include "readers/ogg_comments.h"
#include "tags/vorbis_comments.h"
#include "test_support.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

// The record reading the comments gives: writing it back changes no property.
tags::TagRecord recordOf(const std::vector<std::string>& comments) {
    tags::TagRecord r;
    applyVorbisComments(comments, r);
    return r;
}

std::vector<std::string> after(const std::vector<std::string>& comments, const tags::TagChanges& changes,
                               std::error_code* error = nullptr) {
    std::vector<std::string> out = {"untouched"};
    const std::error_code ec = vorbis::commentsAfter(comments, recordOf(comments), changes, true, out);
    if (error) *error = ec;
    return out;
}

TEST(CommentList, ExtrasAreTheFieldsNoPropertyOwnsInFileOrder) {
    const std::vector<std::string> comments = {"TITLE=t",      "mood=calm", "Artist=a", "REPLAYGAIN_TRACK_GAIN=-3.1 dB",
                                               "no equals",    "MOOD=warm", "date=2001", "EMPTY=",
                                               "TrackNumber=3"};
    tags::TagExtras extras;
    vorbis::collectExtras(comments, extras);
    // Mapped fields by their map names; the total of "3/12" apart.
    const std::vector<tags::TagField> want = {
        {"MOOD", "calm"}, {"REPLAYGAIN_TRACK_GAIN", "-3.1 dB"}, {"MOOD", "warm"}, {"EMPTY", ""}};
    EXPECT_EQ(extras.fields, want);
    EXPECT_TRUE(extras.pictures.empty());
    for (const char* owned : {"album", "TITLE", "Artist", "comment", "copyright", "genre", "composer", "url",
                              "encodedby", "date", "tracknumber"})
        EXPECT_TRUE(vorbis::isPropertyName(owned)) << owned;
    for (const char* other : {"ALBUMARTIST", "DISCNUMBER", "TITLES", "", "DESCRIPTION"})
        EXPECT_FALSE(vorbis::isPropertyName(other)) << other;
}

TEST(CommentList, FieldChangesReplaceAtTheFirstPlaceRemoveAndAppend) {
    const std::vector<std::string> comments = {"TITLE=t", "MOOD=a", "X=1", "mood=b", "Y=2", "y=3"};
    tags::TagChanges c;
    c.fields = {{"Mood", "calm"}, {"NEW", "v"}, {"Y", ""}, {"ABSENT", ""}};
    EXPECT_EQ(after(comments, c), (std::vector<std::string>{"TITLE=t", "MOOD=calm", "X=1", "NEW=v"}));

    // Later entries win; a removal followed by a value adds at the end.
    c.fields = {{"X", "first"}, {"x", "second"}, {"TITLE", ""}, {"Z", "z"}, {"Z", ""}};
    EXPECT_EQ(after(comments, c), (std::vector<std::string>{"MOOD=a", "x=second", "mood=b", "Y=2", "y=3"}));

    // Values may hold '=', new lines and any UTF-8.
    c.fields = {{"LYRICS", "a=b\nЖ"}};
    EXPECT_EQ(after({}, c), (std::vector<std::string>{"LYRICS=a=b\nЖ"}));
}

TEST(CommentList, NamesACommentCannotCarryAreRefused) {
    for (const std::string& bad : std::vector<std::string>{"A=B", "", "TAB\tNAME", "DEL\x7F", "\xC3\xA9", "~"}) {
        tags::TagChanges c;
        c.fields = {{"GOOD", "1"}, {bad, "v"}};
        std::error_code ec;
        const auto out = after({"KEEP=1"}, c, &ec);
        EXPECT_EQ(ec, std::errc::invalid_argument) << bad;
        EXPECT_EQ(out, std::vector<std::string>{"untouched"}) << bad;
    }
    EXPECT_TRUE(vorbis::isValidName(" !<>}ABC_1"));
}

TEST(CommentList, PropertiesAndFieldsTogether) {
    const std::vector<std::string> comments = {"Title=old", "MOOD=a", "TITLE=older"};
    tags::TagRecord r = recordOf(comments);
    r.title = "new";
    r.year = 2020;
    tags::TagChanges c;
    c.fields = {{"MOOD", "b"}};
    std::vector<std::string> out;
    ASSERT_FALSE(vorbis::commentsAfter(comments, r, c, false, out));
    EXPECT_EQ(out, (std::vector<std::string>{"Title=new", "MOOD=b", "Date=2020"}));
}

// A picture comment as mutagen writes it.
std::string mutagenPictureComment(int kind, const std::string& mime, const std::string& desc,
                                  const std::vector<uint8_t>& data, const TempDir& dir) {
    const auto file = dir / "data.bin";
    writeBytes(file, data);
    const CommandResult r = python(R"(
import sys, base64
from mutagen.flac import Picture
p = Picture()
p.type = int(sys.argv[1]); p.mime = sys.argv[2]; p.desc = sys.argv[3]
p.data = open(sys.argv[4], 'rb').read()
sys.stdout.write('METADATA_BLOCK_PICTURE=' + base64.b64encode(p.write()).decode('ascii'))
)",
                                   {std::to_string(kind), mime, desc, file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

TEST(CommentList, PictureCommentsAsMutagenWritesThem) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const std::vector<uint8_t> front = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0, 255};
    const std::vector<uint8_t> back = {0x89, 'P', 'N', 'G', 9, 8, 7};
    const std::vector<std::string> comments = {
        "TITLE=t", mutagenPictureComment(3, "image/jpeg", "Front ü", front, dir), "MOOD=m",
        mutagenPictureComment(4, "image/png", "", back, dir), "METADATA_BLOCK_PICTURE=not base64!"};
    tags::TagExtras extras;
    vorbis::collectExtras(comments, extras);
    ASSERT_EQ(extras.pictures.size(), 2u);
    EXPECT_EQ(extras.pictures[0], (tags::TagPicture{3, "image/jpeg", "Front ü", front}));
    EXPECT_EQ(extras.pictures[1], (tags::TagPicture{4, "image/png", "", back}));
    // Pictures are no text fields, whether they decode or not.
    EXPECT_EQ(extras.fields, (std::vector<tags::TagField>{{"MOOD", "m"}}));

    // A new front cover takes the old one's place; the back cover goes; a
    // picture that does not decode stays as it is; a new kind comes last.
    tags::TagChanges c;
    c.pictures = {{3, "image/png", "new", back}, {4, "", "", {}}, {8, "image/jpeg", "", front}};
    const auto out = after(comments, c);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0], "TITLE=t");
    EXPECT_EQ(out[2], "MOOD=m");
    EXPECT_EQ(out[3], "METADATA_BLOCK_PICTURE=not base64!");
    tags::TagExtras now;
    vorbis::collectExtras(out, now);
    ASSERT_EQ(now.pictures.size(), 2u);
    EXPECT_EQ(now.pictures[0], (tags::TagPicture{3, "image/png", "new", back}));
    EXPECT_EQ(now.pictures[1], (tags::TagPicture{8, "image/jpeg", "", front}));
    // Our encoding of a picture is the one mutagen writes (no image header
    // to measure in these bytes, so width, height and depth are 0 in both).
    EXPECT_EQ(out[1], mutagenPictureComment(3, "image/png", "new", back, dir));
}

TEST(CommentList, Base64AgainstPython) {
    std::mt19937 random(7);
    for (size_t length : {0, 1, 2, 3, 4, 5, 6, 100, 1001}) {
        std::vector<uint8_t> bytes(length);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        TempDir dir;
        writeBytes(dir / "b", bytes);
        const CommandResult r = python(
            "import sys, base64; sys.stdout.write(base64.b64encode(open(sys.argv[1], 'rb').read()).decode())",
            {(dir / "b").string()});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(vorbis::base64Encode(bytes), r.output) << length;
        EXPECT_EQ(vorbis::base64Decode(r.output), bytes) << length;
    }
    for (const char* bad : {"A", "AB", "ABC", "AB=C", "A===", "=AAA", "AA==AAAA", "AA*A", "AA A", "AAAA\n"})
        EXPECT_FALSE(vorbis::base64Decode(bad)) << bad;
}

TEST(CommentList, PictureRecordsCutShortAreRefused) {
    const tags::TagPicture p{3, "image/jpeg", "d", {1, 2, 3, 4, 5}};
    const std::vector<uint8_t> body = vorbis::pictureBody(p);
    EXPECT_EQ(vorbis::parsePicture(body), p);
    for (size_t cut = 0; cut < body.size(); ++cut)
        EXPECT_FALSE(vorbis::parsePicture(std::span(body).first(cut))) << cut;
    // A length field claiming more than there is, at each of the three lengths.
    for (size_t at : {size_t{4}, size_t{4 + 4 + 10}, body.size() - 5 - 4}) {
        std::vector<uint8_t> b = body;
        b[at] = 0x7F;
        EXPECT_FALSE(vorbis::parsePicture(b)) << at;
    }
}

}  // namespace
}  // namespace qoro::audioinfo
