// Ogg Opus facts, tags, fields and pictures from files made by opusenc and
// mutagen, and the "OpusTags" rewrite, judged by opusinfo, opusdec, ffprobe
// and mutagen.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "fixtures.h"
#include "io/file_rewrite.h"
#include "readers/readers.h"
#include "tags/vorbis_comments.h"
#include "vorbis_fixtures.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;
using qoro::test::vfix::lines;
using qoro::test::vfix::mutagenView;

fs::path encodeOpus(const TempDir& dir, const fs::path& wav, const std::string& name, const std::string& args = "") {
    const fs::path out = dir / name;
    info::make("opusenc --quiet " + args + " " + shellQuote(wav.string()) + " " + shellQuote(out.string()));
    return out;
}

struct OpusInfo {
    std::string output;
    long preSkip = -1;
    long channels = -1;
    double lengthMs = -1;
    double kbps = -1;
    std::vector<std::string> comments;
};
OpusInfo opusinfo(const fs::path& file) {
    OpusInfo i;
    const CommandResult r = run("opusinfo " + shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    i.output = r.output;
    bool inComments = false;
    std::smatch m;
    for (const std::string& line : lines(r.output)) {
        if (line.find("User comments section follows") != std::string::npos) {
            inComments = true;
            continue;
        }
        if (inComments && !line.empty() && line[0] == '\t') {
            i.comments.push_back(line.substr(1));
            continue;
        }
        inComments = false;
        if (std::regex_search(line, m, std::regex("Pre-skip: (\\d+)"))) i.preSkip = std::stol(m[1]);
        if (std::regex_search(line, m, std::regex("Channels: (\\d+)"))) i.channels = std::stol(m[1]);
        if (std::regex_search(line, m, std::regex("Playback length: (\\d+)m:([0-9.]+)s")))
            i.lengthMs = (std::stod(m[1]) * 60 + std::stod(m[2])) * 1000;
        if (std::regex_search(line, m, std::regex("Average bitrate: ([0-9.]+) kbit/s"))) i.kbps = std::stod(m[1]);
    }
    return i;
}

// opusinfo finds nothing to warn about.
void expectClean(const OpusInfo& i) {
    EXPECT_EQ(i.output.find("WARNING"), std::string::npos) << i.output;
    EXPECT_EQ(i.output.find("ERROR"), std::string::npos) << i.output;
}

// The samples opusdec decodes, as WAV bytes (no dither: the same input decodes the same).
std::vector<uint8_t> decoded(const TempDir& dir, const fs::path& opus) {
    const fs::path wav = dir / "decoded.wav";
    info::make("opusdec --quiet --no-dither " + shellQuote(opus.string()) + " " + shellQuote(wav.string()));
    return readBytes(wav);
}

using qoro::test::vfix::Read;
Read readIt(const fs::path& file) { return qoro::test::vfix::readWith(readOpus, file); }

TEST(OpusReader, FactsAgreeWithOpusinfoAndFfprobe) {
    QORO_REQUIRE_TOOLS("opusenc", "opusinfo", "ffprobe", "sox");
    TempDir dir;
    struct Case {
        std::string wav;  // sox arguments making the source
        std::string opus;
        std::string description;
    };
    const Case cases[] = {
        {"-r 44100 -c 2", "--bitrate 96", "Opus 48000 Hz, Stereo"},
        {"-r 16000 -c 1", "--bitrate 24 --framesize 60", "Opus 48000 Hz, Mono"},
        {"-r 48000 -c 6", "", "Opus 48000 Hz, 6 channels"},
    };
    for (const Case& c : cases) {
        const fs::path wav = dir / "in.wav";
        info::make("sox -n " + c.wav + " -b 16 " + shellQuote(wav.string()) + " synth 3.217 sine 440 sine 1000");
        const fs::path opus = encodeOpus(dir, wav, "a.opus", c.opus);
        const Read r = readIt(opus);
        ASSERT_TRUE(r.ok) << c.wav;
        const OpusInfo i = opusinfo(opus);
        const auto p = info::probe(opus);
        const CommandResult ts = run("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " +
                                     shellQuote(opus.string()));
        // ffprobe's stream length is the last granule position (pre-skip included).
        EXPECT_EQ(r.facts.samples, std::stol(ts.output) - i.preSkip) << c.wav;
        EXPECT_NEAR(r.facts.duration, i.lengthMs, 1.0) << c.wav;
        EXPECT_NEAR(r.facts.bitrate, i.kbps * 1000, 50.0) << c.wav;
        EXPECT_EQ(r.facts.channels, i.channels) << c.wav;
        EXPECT_EQ(r.facts.frequency, info::number(p, "sample_rate"));
        EXPECT_EQ(r.facts.frequency, 48000);
        EXPECT_EQ(r.facts.bitsPerSample, 16);
        EXPECT_EQ(r.facts.formatTag, 0x704F);
        EXPECT_EQ(r.facts.size, static_cast<int32_t>(fs::file_size(opus)));
        EXPECT_EQ(r.facts.description, c.description);
        EXPECT_EQ(probeOpus(opus), 1);
        EXPECT_EQ(probeOpus(wav), 0);
    }
    EXPECT_EQ(probeOpus(dir / "absent.opus"), -2);
}

// The sample frames opusdec decodes at 48 kHz (pre-skip and end trimming honoured).
long decodedFrames(const TempDir& dir, const fs::path& opus, int channels) {
    const fs::path raw = dir / "frames.raw";
    info::make("opusdec --quiet --no-dither --rate 48000 --force-wav " + shellQuote(opus.string()) + " " +
               shellQuote(raw.string()));
    return static_cast<long>((fs::file_size(raw) - 44) / (2 * static_cast<uintmax_t>(channels)));
}

TEST(OpusReader, ChainedStreamsCountEveryLink) {
    QORO_REQUIRE_TOOLS("opusenc", "opusdec", "opusinfo", "sox");
    TempDir dir;
    const fs::path a = encodeOpus(dir, vfix::makeWav(dir, "a.wav", 44100, 2, 3.3), "a.opus");
    const fs::path b = encodeOpus(dir, vfix::makeWav(dir, "b.wav", 48000, 2, 1.234), "b.opus", "--title Second");
    const fs::path chain = dir / "chain.opus";
    auto bytes = readBytes(a);
    const auto second = readBytes(b);
    bytes.insert(bytes.end(), second.begin(), second.end());
    writeBytes(chain, bytes);
    const Read one = readIt(a);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.facts.samples, decodedFrames(dir, a, 2));
    const Read r = readIt(chain);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.facts.samples, decodedFrames(dir, chain, 2));
    EXPECT_GT(r.facts.samples, one.facts.samples);
    EXPECT_NEAR(r.facts.duration, r.facts.samples / 48.0, 1.0);
    EXPECT_EQ(r.tags.title, "");  // the first link's comments
    // Rewriting the first link's comments leaves the second link whole.
    tags::TagRecord t;
    t.title = "First";
    ASSERT_FALSE(writeOpusTags(chain, t, {}));
    const OpusInfo i = opusinfo(chain);
    expectClean(i);
    EXPECT_EQ(readIt(chain).facts.samples, r.facts.samples);
    EXPECT_NE(i.output.find("title=Second"), std::string::npos) << i.output;
}

TEST(OpusReader, TagsFieldsAndPicturesAsOpusencWroteThem) {
    QORO_REQUIRE_TOOLS("opusenc", "opusinfo", "ffmpeg");
    TempDir dir;
    const fs::path png = vfix::makePicture(dir, "cover.png", 64, 48);
    const fs::path opus =
        encodeOpus(dir, vfix::makeWav(dir, "in.wav", 48000, 2, 1.0), "a.opus",
                   "--title Tïtle --artist One --comment artist=Two --comment MOOD=calm --comment GENRE=rock "
                   "--comment TRACKNUMBER=3/12 --date 2003 '--picture=3|image/png|Front||" + png.string() + "'");
    const Read r = readIt(opus);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.tags.title, "Tïtle");
    EXPECT_EQ(r.tags.artist, "One; Two");
    EXPECT_EQ(r.tags.genre, 17);
    EXPECT_EQ(r.tags.track, 3);
    EXPECT_EQ(r.tags.year, 2003);
    // The fields: what opusinfo lists, less the properties and the picture.
    std::vector<tags::TagField> want;
    for (const std::string& c : opusinfo(opus).comments) {
        const std::string name = c.substr(0, c.find('='));
        if (!vorbis::isPropertyName(name) && name != "METADATA_BLOCK_PICTURE")
            want.push_back({vfix::mapName(name), c.substr(c.find('=') + 1)});
    }
    ASSERT_GE(want.size(), 2u);  // ENCODER, MOOD
    want.push_back({"TOTALTRACKS", "12"});  // of TRACKNUMBER=3/12
    EXPECT_EQ(r.extras.fields, want);
    ASSERT_EQ(r.extras.pictures.size(), 1u);
    EXPECT_EQ(r.extras.pictures[0], (tags::TagPicture{3, "image/png", "Front", readBytes(png)}));
}

TEST(OpusWrite, RoundTripThroughOpusinfoOpusdecAndMutagen) {
    QORO_REQUIRE_TOOLS("opusenc", "opusinfo", "opusdec", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path png = vfix::makePicture(dir, "cover.png", 64, 48);
    const fs::path opus = encodeOpus(dir, vfix::makeWav(dir, "in.wav", 44100, 2, 4.0), "a.opus",
                                     "--title Old --comment MOOD=calm --comment mood=warm --comment LABEL=x");
    const auto audio = decoded(dir, opus);
    const vfix::MutagenView before = mutagenView(dir, opus);
    ASSERT_TRUE(before.ok) << before.output;
    const auto sizeBefore = fs::file_size(opus);

    // A small change fits in the padding opusenc left: the pages keep their
    // layout. The title takes the old one's place by the name the property
    // writes.
    Read r = readIt(opus);
    r.tags.title = "Ключ";
    tags::TagChanges c;
    c.fields = {{"MOOD", "bright"}, {"LABEL", ""}, {"NEW", "n"}};
    ASSERT_FALSE(writeOpusTags(opus, r.tags, c));
    EXPECT_FALSE(fs::exists(dir / "a.opus~"));
    EXPECT_EQ(fs::file_size(opus), sizeBefore);
    expectClean(opusinfo(opus));
    EXPECT_EQ(decoded(dir, opus), audio);
    vfix::MutagenView now = mutagenView(dir, opus);
    EXPECT_EQ(now.vendor, before.vendor);
    ASSERT_FALSE(before.comments.empty());
    EXPECT_EQ(now.comments, (std::vector<std::string>{before.comments[0], "Title=Ключ", "MOOD=bright", "NEW=n"}))
        << now.output;

    // A cover larger than a page: the header takes more pages, the later pages
    // are numbered anew, the audio is the same.
    std::vector<uint8_t> big = readBytes(png);
    std::vector<uint8_t> jpeg = readBytes(vfix::makePicture(dir, "big.jpg", 640, 480, true));
    ASSERT_GT(jpeg.size(), 70000u);
    c = {};
    c.pictures = {{3, "image/jpeg", "Front", jpeg}, {4, "image/png", "", big}};
    ASSERT_FALSE(writeOpusTags(opus, r.tags, c));
    const OpusInfo info = opusinfo(opus);
    expectClean(info);
    EXPECT_EQ(decoded(dir, opus), audio);
    now = mutagenView(dir, opus);
    ASSERT_EQ(now.pictures.size(), 2u) << now.output;
    EXPECT_EQ(now.pictures[0], c.pictures[0]);
    EXPECT_EQ(now.pictures[1], c.pictures[1]);
    EXPECT_EQ(now.dimensions, "640x480x24 64x48x24");
    const Read back = readIt(opus);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.tags, r.tags);
    EXPECT_EQ(back.extras.pictures, c.pictures);
    EXPECT_EQ(back.facts.samples, r.facts.samples);

    // And removed again.
    c.pictures = {{3, "", "", {}}, {4, "", "", {}}};
    ASSERT_FALSE(writeOpusTags(opus, r.tags, c));
    expectClean(opusinfo(opus));
    EXPECT_EQ(decoded(dir, opus), audio);
    EXPECT_TRUE(mutagenView(dir, opus).pictures.empty());
}

TEST(OpusWrite, BinaryDataAfterTheCommentsIsKept) {
    QORO_REQUIRE_TOOLS("opusenc", "opusinfo", "opusdec");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path opus = encodeOpus(dir, vfix::makeWav(dir, "in.wav", 48000, 1, 1.0), "a.opus", "--title Old");
    // mutagen re-frames the comment header with binary data after the comments
    // (first byte with the low bit set); mutagen keeps such data as its _pad_data.
    const char* kAppend = R"(
import sys
from mutagen.ogg import OggPage
with open(sys.argv[1], 'r+b') as f:
    pages = [OggPage(f), OggPage(f)]
    packets = OggPage.to_packets(pages[1:])
    packets[0] = packets[0].rstrip(b'\0') + b'\x01binary\x00data'
    OggPage.replace(f, pages[1:], OggPage.from_packets(packets, pages[1].sequence))
)";
    const char* kTail = R"(
import sys
from mutagen.oggopus import OggOpus
t = OggOpus(sys.argv[1]).tags
sys.stdout.write(t._pad_data.hex() + ' ' + t['title'][0])
)";
    ASSERT_EQ(python(kAppend, {opus.string()}).exitCode, 0);
    const auto audio = decoded(dir, opus);
    ASSERT_EQ(python(kTail, {opus.string()}).output, "0162696e6172790064617461 Old");
    Read r = readIt(opus);
    ASSERT_TRUE(r.ok);
    r.tags.title = "New";
    ASSERT_FALSE(writeOpusTags(opus, r.tags, {}));
    EXPECT_EQ(python(kTail, {opus.string()}).output, "0162696e6172790064617461 New");
    expectClean(opusinfo(opus));
    EXPECT_EQ(decoded(dir, opus), audio);
}

TEST(OpusWrite, NothingToChangeLeavesTheFileAlone) {
    QORO_REQUIRE_TOOLS("opusenc");
    TempDir dir;
    const fs::path opus = encodeOpus(dir, vfix::makeWav(dir, "in.wav", 48000, 2, 1.0), "a.opus", "--title T");
    const auto bytes = readBytes(opus);
    struct stat st {};
    ASSERT_EQ(::stat(opus.c_str(), &st), 0);
    Read r = readIt(opus);
    tags::TagChanges c;
    c.fields = {{"ABSENT", ""}};
    c.pictures = {{3, "", "", {}}};
    ASSERT_FALSE(writeOpusTags(opus, r.tags, c));
    EXPECT_EQ(readBytes(opus), bytes);
    struct stat after {};
    ASSERT_EQ(::stat(opus.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, st.st_ino);
}

TEST(OpusWrite, DamagedAndOtherFilesAreRefusedAndLeftAsTheyWere) {
    QORO_REQUIRE_TOOLS("opusenc", "oggenc");
    TempDir dir;
    const fs::path wav = vfix::makeWav(dir, "in.wav", 48000, 2, 1.0);
    const fs::path opus = encodeOpus(dir, wav, "a.opus", "--title T");
    const auto whole = readBytes(opus);
    const fs::path bad = dir / "bad.opus";
    tags::TagRecord t;
    t.title = "x";
    auto refused = [&](const std::vector<uint8_t>& bytes, const std::string& what) {
        writeBytes(bad, bytes);
        Facts facts;
        tags::TagRecord tags;
        tags::TagExtras extras;
        EXPECT_FALSE(readOpus(bad, facts, tags, extras)) << what;
        EXPECT_EQ(writeOpusTags(bad, t, {}), io::Error::Damaged) << what;
        EXPECT_EQ(readBytes(bad), bytes) << what;
        EXPECT_FALSE(fs::exists(dir / "bad.opus~")) << what;
    };
    for (size_t cut : {size_t{10}, size_t{40}, size_t{60}, size_t{100}, size_t{300}})
        refused(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)),
                "cut at " + std::to_string(cut));
    // A changed byte in the header pages: the page checksum no longer holds.
    std::vector<uint8_t> b = whole;
    b[40] ^= 0x20;
    refused(b, "checksum");
    refused(std::vector<uint8_t>(3000, 0x4F), "no Ogg");
    // An Ogg Vorbis file is no Opus file.
    const fs::path ogg = dir / "a.ogg";
    info::make("oggenc -Q -o " + shellQuote(ogg.string()) + " " + shellQuote(wav.string()));
    refused(readBytes(ogg), "Vorbis");
    EXPECT_EQ(probeOpus(ogg), 0);
    EXPECT_EQ(writeOpusTags(dir / "absent.opus", t, {}), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace qoro::audioinfo
