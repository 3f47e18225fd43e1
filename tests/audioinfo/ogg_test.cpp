// Ogg Vorbis facts and comments, and the comment rewrite through "path~".
#include <gtest/gtest.h>

#include "fixtures.h"
#include "io/file_rewrite.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

fs::path encodeOgg(const TempDir& dir, const std::string& extra) {
    const auto wav = dir / "in.wav";
    writeWav16(wav, 44100, 2, testSignal(44100, 2, 44100 * 3));
    const auto ogg = dir / "a.ogg";
    info::make("oggenc -Q -b 128 " + extra + " -o " + shellQuote(ogg.string()) + " " + shellQuote(wav.string()));
    return ogg;
}

TEST(OggReader, FactsAndComments) {
    TempDir dir;
    const auto ogg = encodeOgg(dir, "-c GENRE=rock -c TRACKNUMBER=4/9 -c DATE=2002-05-01 -t 'Ünïcode' -a Artist");
    Facts f;
    tags::TagRecord t;
    ASSERT_TRUE(readOgg(ogg, f, t));
    const auto p = info::probe(ogg);
    EXPECT_EQ(f.bitrate, 128);
    EXPECT_EQ(f.description, "Ogg Vorbis 44100 Hz; Stereo; 128 Kbps; ");
    EXPECT_EQ(f.formatTag, 1);
    EXPECT_EQ(f.samples, 44100 * 3);
    EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 1.0);
    EXPECT_EQ(f.size, static_cast<int32_t>(fs::file_size(ogg)));
    EXPECT_EQ(t.genre, 17);
    EXPECT_EQ(t.track, 4);
    EXPECT_EQ(t.year, 2002);
    EXPECT_EQ(t.title, "Ünïcode");
    EXPECT_EQ(t.artist, "Artist");
    EXPECT_EQ(probeOgg(ogg), 1);
    EXPECT_EQ(probeOgg(dir / "in.wav"), 0);
}

TEST(OggComments, RewriteKeepsTheAudioAndOtherComments) {
    TempDir dir;
    const auto ogg = encodeOgg(dir, "-c REPLAYGAIN_TRACK_GAIN=-3.2 -t Old");
    const auto before = dir / "before.raw";
    info::make("ffmpeg -nostdin -v error -i " + shellQuote(ogg.string()) + " -f s16le " + shellQuote(before.string()));

    tags::TagRecord t;
    t.title = "Ключ";
    t.genre = 147;
    t.url = "http://example.org/";
    t.year = 1999;
    t.track = 7;
    ASSERT_FALSE(writeOggComments(ogg, t));
    EXPECT_FALSE(fs::exists(dir / "a.ogg~"));

    const CommandResult list = run("vorbiscomment -l " + shellQuote(ogg.string()));
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.output.find("Title=Ключ"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("Genre=SynthPop"), std::string::npos);
    EXPECT_NE(list.output.find("URL=http://example.org/"), std::string::npos);
    EXPECT_EQ(list.output.find("Composer="), std::string::npos);
    EXPECT_NE(list.output.find("REPLAYGAIN_TRACK_GAIN=-3.2"), std::string::npos);
    EXPECT_EQ(list.output.find("=Old"), std::string::npos);
    const auto p = info::probe(ogg);
    EXPECT_EQ(p.at("tag:title"), "Ключ");
    EXPECT_EQ(p.at("tag:date"), "1999");

    const auto after = dir / "after.raw";
    info::make("ffmpeg -nostdin -v error -i " + shellQuote(ogg.string()) + " -f s16le " + shellQuote(after.string()));
    EXPECT_EQ(readBytes(before), readBytes(after));

    Facts f;
    tags::TagRecord back;
    ASSERT_TRUE(readOgg(ogg, f, back));
    EXPECT_EQ(back.title, "Ключ");
    EXPECT_EQ(back.genre, 147);
    EXPECT_EQ(back.track, 7);
    EXPECT_EQ(f.samples, 44100 * 3);
}

TEST(OggComments, FailureLeavesTheFileUntouched) {
    TempDir dir;
    const auto fake = dir / "fake.ogg";
    std::vector<uint8_t> bytes(10000, 0x5A);
    writeBytes(fake, bytes);
    EXPECT_EQ(writeOggComments(fake, tags::TagRecord{}), io::Error::Damaged);
    EXPECT_EQ(readBytes(fake), bytes);
    EXPECT_FALSE(fs::exists(dir / "fake.ogg~"));

    // A stream cut inside its headers.
    const auto ogg = encodeOgg(dir, "");
    auto whole = readBytes(ogg);
    whole.resize(200);
    writeBytes(fake, whole);
    EXPECT_EQ(writeOggComments(fake, tags::TagRecord{}), io::Error::Damaged);
    EXPECT_EQ(readBytes(fake), whole);
}

}  // namespace
}  // namespace qoro::audioinfo
