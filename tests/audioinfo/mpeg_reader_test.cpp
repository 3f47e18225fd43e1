// The light-weight MPEG analyser: exact arithmetic on synthetic streams, and
// facts of encoded files against ffprobe and decoded lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "fixtures.h"
#include "readers/readers.h"
#include "tags/id3v2.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

void putWord(std::vector<uint8_t>& b, size_t at, uint32_t w) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(w >> (24 - 8 * i));
}

// MPEG-1 Layer III, 128 kbit/s, 44100 Hz, stereo, no CRC.
constexpr uint32_t kCbrHeader = 0xFFFB9000;

// An ID3v2 tag of the given version around frames already laid out for it.
std::vector<uint8_t> id3Tag(int version, const std::string& frames) {
    const auto n = static_cast<uint32_t>(frames.size());
    const uint8_t header[10] = {'I',
                                'D',
                                '3',
                                static_cast<uint8_t>(version),
                                0,
                                0,
                                static_cast<uint8_t>((n >> 21) & 0x7F),
                                static_cast<uint8_t>((n >> 14) & 0x7F),
                                static_cast<uint8_t>((n >> 7) & 0x7F),
                                static_cast<uint8_t>(n & 0x7F)};
    std::vector<uint8_t> t(sizeof header + frames.size());
    std::copy(std::begin(header), std::end(header), t.begin());
    std::copy(frames.begin(), frames.end(), t.begin() + sizeof header);
    return t;
}

std::vector<uint8_t> joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Facts readFast(const fs::path& path, tags::TagRecord* tagsOut = nullptr, int tagKind = 1) {
    Facts f;
    tags::TagRecord t;
    readMpeg(path, {.fastAnalysis = true, .tagKind = tagKind}, f, t);
    if (tagsOut) *tagsOut = t;
    return f;
}

// `count` frames of the header word, `length` bytes each (silent audio).
std::vector<uint8_t> frames(uint32_t header, int length, int count) {
    std::vector<uint8_t> b(static_cast<size_t>(length) * static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i) putWord(b, static_cast<size_t>(i) * static_cast<size_t>(length), header);
    return b;
}

Facts readFull(const fs::path& path) {
    Facts f;
    tags::TagRecord t;
    readMpeg(path, {.fastAnalysis = false, .tagKind = 1}, f, t);
    return f;
}

// A constant-bitrate stream without an information frame: the fast answer
// from its bytes, the full one from its frames, the same here; the ID3v1 tag
// at the end is not audio.
TEST(MpegReader, ConstantBitrateStreamWithoutFrameCount) {
    TempDir dir;
    const int n = 9570;  // 417-byte frames, about 4 MB
    auto b = frames(kCbrHeader, 417, n);
    std::vector<uint8_t> tag(128, 0);
    std::memcpy(tag.data(), "TAGTitle", 8);
    b.insert(b.end(), tag.begin(), tag.end());
    writeBytes(dir / "a.mp3", b);
    tags::TagRecord t;
    const Facts f = readFast(dir / "a.mp3", &t);
    EXPECT_EQ(f.samples, n * 1152);
    EXPECT_EQ(f.duration, static_cast<int32_t>(int64_t(n) * 1152 * 1000 / 44100));
    EXPECT_EQ(f.bitrate, 128000);
    EXPECT_EQ(f.frequency, 44100);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.size, static_cast<int32_t>(b.size()));
    EXPECT_EQ(f.description, "MPEG 1.0 layer-3: 44,100 kHz Stereo;  128 Kbps; ");
    EXPECT_EQ(t.title, "Title");
    EXPECT_EQ(readFull(dir / "a.mp3"), f);
}

// A stream that counts its frames: the length from the count (without a
// walk), the bitrate the average over its bytes. A count the stream's
// bytes cannot hold is not believed: the frames are walked.
TEST(MpegReader, FrameCountGivesLengthAndAverageBitrate) {
    TempDir dir;
    // 100 frames at 64 kbit/s, then 100 at 128 kbit/s, behind a "Xing"
    // frame counting them.
    constexpr uint32_t k64 = 0xFFFB5000;
    auto head = frames(kCbrHeader, 417, 1);
    std::memcpy(&head[36], "Xing", 4);  // after 32 bytes of MPEG-1 stereo side information
    head[36 + 7] = 1;                   // frame count present
    putWord(head, 36 + 8, 200);
    auto b = joined(joined(head, frames(k64, 208, 100)), frames(kCbrHeader, 417, 100));
    writeBytes(dir / "x.mp3", b);
    const Facts f = readFast(dir / "x.mp3");
    EXPECT_EQ(f.samples, 200 * 1152);
    EXPECT_EQ(f.duration, 200 * 1152 * 1000 / 44100);
    // (100 x 208 + 100 x 417) bytes in 200 frames of 1152 samples at 44.1 kHz.
    EXPECT_EQ(f.bitrate, static_cast<int32_t>(std::lround(62500.0 * 8 * 44100 / (200 * 1152 * 1000.0))) * 1000);
    EXPECT_EQ(readFull(dir / "x.mp3").samples, f.samples);

    putWord(b, 36 + 8, 2000);
    writeBytes(dir / "lie.mp3", b);
    EXPECT_EQ(readFast(dir / "lie.mp3").samples, 200 * 1152);
}

// Only the first header stands: one frame that nothing confirms is no stream.
TEST(MpegReader, LoneHeaderIsNoStream) {
    TempDir dir;
    std::vector<uint8_t> b(4000004, 0);
    putWord(b, 0, kCbrHeader);
    writeBytes(dir / "a.mp3", b);
    Facts f;
    tags::TagRecord t;
    EXPECT_EQ(readMpeg(dir / "a.mp3", {}, f, t), MpegRead::NoHeader);
    EXPECT_EQ(f.size, 4000004);
    EXPECT_EQ(f.duration, 0);
}

// Two frames that stand one behind the other in bytes that are no stream
// (random data holds such a pair now and then) are not a stream: no facts,
// neither the length of two frames nor one extrapolated over the file. A
// stream of two frames that is the whole file is one; three frames in a
// row are one wherever they stand.
TEST(MpegReader, ChanceFramePairIsNoStream) {
    TempDir dir;
    std::mt19937 rng(19);
    std::vector<uint8_t> noise(100000);
    for (auto& v : noise) v = static_cast<uint8_t>(rng());
    // No sync word of its own: only the frames planted below look like MPEG.
    for (size_t i = 0; i + 1 < noise.size(); ++i)
        if (noise[i] == 0xFF) noise[i + 1] &= 0x1F;
    // MPEG-1 Layer III at 320 kbit/s and 32000 Hz: frames of 1440 bytes.
    const uint32_t header = 0xFFFBE8C4;
    auto pair = noise;
    putWord(pair, 5000, header);
    putWord(pair, 5000 + 1440, header);
    writeBytes(dir / "pair.mp3", pair);
    for (bool fast : {true, false}) {
        Facts f;
        tags::TagRecord t;
        EXPECT_EQ(readMpeg(dir / "pair.mp3", {.fastAnalysis = fast, .tagKind = 1}, f, t), MpegRead::NoHeader);
        EXPECT_EQ(f.frequency, 0);
        EXPECT_EQ(f.duration, 0);
        EXPECT_EQ(f.size, 100000);
    }
    auto three = pair;
    putWord(three, 5000 + 2 * 1440, header);
    writeBytes(dir / "three.mp3", three);
    EXPECT_EQ(readFull(dir / "three.mp3").samples, 3 * 1152);

    writeBytes(dir / "two.mp3", frames(header, 1440, 2));
    const Facts two = readFast(dir / "two.mp3");
    EXPECT_EQ(two.frequency, 32000);
    EXPECT_EQ(two.samples, 2 * 1152);
}

// A stream of a few frames (lame's of a blip) followed by an APEv2 tag
// (mutagen) longer than a frame and a Lyrics3v2 block, with or without an
// ID3v1 tag: the tags are no part of the audio, so its frames run to the
// audio's end and are a stream; both analyses count mpg123's samples.
TEST(MpegReader, ShortStreamBeforeTheTagsItEndsWith) {
    QORO_REQUIRE_TOOLS("lame", "mpg123");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    writeWav16(dir / "blip.wav", 44100, 2, testSignal(44100, 2, 900));
    ASSERT_TRUE(info::make(withPaths("lame --quiet -b 128 IN OUT", dir / "blip.wav", dir / "blip.mp3")));
    ASSERT_EQ(python("from mutagen.apev2 import APEv2\nimport sys\nt = APEv2()\nt['Title'] = 'x'\n"
                     "t['Comment'] = 'y' * 600\nt.save(sys.argv[1])",
                     {(dir / "blip.mp3").string()})
                  .exitCode,
              0);
    const auto tagged = readBytes(dir / "blip.mp3");
    const std::string lyrics = "LYRICSBEGININD00003110LYR00005hello000035LYRICS200";
    std::vector<uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAGblip", 7);
    for (bool withId3v1 : {false, true}) {
        SCOPED_TRACE(withId3v1 ? "with ID3v1" : "without ID3v1");
        auto b = joined(tagged, std::vector<uint8_t>(lyrics.begin(), lyrics.end()));
        if (withId3v1) b = joined(b, id3v1);
        writeBytes(dir / "t.mp3", b);
        ASSERT_TRUE(info::make(withPaths("mpg123 -q -s IN > OUT", dir / "t.mp3", dir / "t.raw")));
        const auto want = static_cast<int32_t>(fs::file_size(dir / "t.raw") / 4);
        ASSERT_GT(want, 0);
        EXPECT_EQ(readFast(dir / "t.mp3").samples, want);
        EXPECT_EQ(readFull(dir / "t.mp3").samples, want);
    }
}

TEST(MpegReader, DescriptionTexts) {
    EXPECT_EQ(mpegDescription(1, 3, 44100, 2, 128, 128, 128), "MPEG 1.0 layer-3: 44,100 kHz Stereo;  128 Kbps; ");
    EXPECT_EQ(mpegDescription(3, 3, 8000, 1, 8, 8, 8), "MPEG 3.0 layer-3: 8,000 kHz Mono;  8 Kbps; ");
    EXPECT_EQ(mpegDescription(2, 2, 22050, 3, 96, 32, 160),
              "MPEG 2.0 layer-2: 22,050 kHz Joint Stereo;  32-160 Kbps;  ");
}

TEST(MpegReader, UnreadableAndHeaderlessFiles) {
    TempDir dir;
    Facts f;
    tags::TagRecord t;
    EXPECT_EQ(readMpeg(dir / "none.mp3", {}, f, t), MpegRead::CannotOpen);
    EXPECT_EQ(f.size, -1);
    writeBytes(dir / "zeros.mp3", std::vector<uint8_t>(300000, 0));
    f = Facts{};
    EXPECT_EQ(readMpeg(dir / "zeros.mp3", {}, f, t), MpegRead::NoHeader);
    EXPECT_EQ(f.size, 300000);
    EXPECT_EQ(f.duration, 0);
    EXPECT_TRUE(f.description.empty());
}

struct Encoded {
    const char* lameArgs;
    int rate;
    const char* descriptionStart;
    int layer;
};

class MpegEncoded : public ::testing::TestWithParam<Encoded> {};

// Fast analysis of CBR files lands within one frame of ffprobe's duration.
TEST_P(MpegEncoded, FastAnalysisMatchesFfprobe) {
    const Encoded e = GetParam();
    TempDir dir;
    const auto wav = dir / "in.wav";
    writeWav16(wav, e.rate, 2, testSignal(e.rate, 2, e.rate * 4));
    const auto mp3 = dir / "out.mp3";
    ASSERT_TRUE(info::make(std::string("lame --quiet -t ") + e.lameArgs + " " + shellQuote(wav.string()) + " " +
                           shellQuote(mp3.string())));
    const Facts f = readFast(mp3);
    const auto p = info::probe(mp3);
    EXPECT_EQ(f.frequency, static_cast<int>(info::number(p, "sample_rate")));
    EXPECT_EQ(f.channels, static_cast<int>(info::number(p, "channels")));
    EXPECT_EQ(f.bitrate, static_cast<int>(info::number(p, "bit_rate")));
    const double frameMs = (e.rate >= 32000 ? 1152.0 : 576.0) * 1000.0 / e.rate;
    EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, frameMs);
    EXPECT_EQ(f.description.rfind(e.descriptionStart, 0), 0u) << f.description;
    EXPECT_EQ(probeMpeg(mp3), e.layer);
}

INSTANTIATE_TEST_SUITE_P(
    Lame, MpegEncoded,
    ::testing::Values(Encoded{"-b 128 -m s", 44100, "MPEG 1.0 layer-3: 44,100 kHz Stereo; ", 3},
                      Encoded{"-b 128 -m j", 48000, "MPEG 1.0 layer-3: 48,000 kHz Joint Stereo; ", 3},
                      Encoded{"-b 64 -m s", 22050, "MPEG 2.0 layer-3: 22,050 kHz Stereo; ", 3},
                      Encoded{"-b 32 -m s", 11025, "MPEG 3.0 layer-3: 11,025 kHz Stereo; ", 3}),
    [](const ::testing::TestParamInfo<Encoded>& p) { return "Rate" + std::to_string(p.param.rate); });

TEST(MpegReader, LayerTwoFilesOfBothVersions) {
    for (int rate : {44100, 24000}) {
        TempDir dir;
        const auto mp2 = dir / "a.mp2";
        ASSERT_TRUE(info::ffmpegSine(mp2, 3.0, rate, 2, "-c:a mp2 -b:a 128k"));
        const Facts f = readFast(mp2);
        const auto p = info::probe(mp2);
        EXPECT_EQ(f.bitrate, 128000);
        EXPECT_EQ(f.frequency, rate);
        EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 1152000.0 / rate) << rate;
        EXPECT_EQ(probeMpeg(mp2), 2) << rate;
    }
}

// Full analysis of a VBR stream without "Xing": the frame walk against the
// decoded length, and the lowest-highest description.
TEST(MpegReader, FullAnalysisOfVariableBitrate) {
    TempDir dir;
    const auto wav = dir / "in.wav";
    writeWav16(wav, 44100, 2, testSignal(44100, 2, 44100 * 5, 0.8));
    const auto mp3 = dir / "vbr.mp3";
    ASSERT_TRUE(
        info::make("lame --quiet -t -V 0 -b 96 -B 320 " + shellQuote(wav.string()) + " " + shellQuote(mp3.string())));
    Facts f;
    tags::TagRecord t;
    ASSERT_EQ(readMpeg(mp3, {.fastAnalysis = false, .tagKind = 1}, f, t), MpegRead::Ok);
    const auto pcm = dir / "dec.raw";
    ASSERT_TRUE(info::make("ffmpeg -nostdin -v error -y -i " + shellQuote(mp3.string()) + " -f s16le " +
                           shellQuote(pcm.string())));
    const double decodedMs = static_cast<double>(fs::file_size(pcm)) / 4.0 / 44.1;
    EXPECT_NEAR(f.duration, decodedMs, 2 * 26.2);
    EXPECT_NEAR(f.samples, decodedMs * 44.1, 2 * 1152);
    const std::string& d = f.description;
    ASSERT_GE(d.size(), 7u);
    EXPECT_EQ(d.substr(d.size() - 7), "Kbps;  ") << d;
    EXPECT_NE(d.find('-'), std::string::npos) << d;
    EXPECT_GE(f.bitrate, 96000);
    EXPECT_LE(f.bitrate, 320000);
}

TEST(MpegProbe, SearchLimitsAndFrameLength) {
    TempDir dir;
    // Two CBR frames (417 bytes each) after a 20480-byte gap: still found.
    std::vector<uint8_t> b(20480 + 417 * 3, 0);
    putWord(b, 20480, kCbrHeader);
    putWord(b, 20480 + 417, kCbrHeader);
    writeBytes(dir / "late.mp3", b);
    EXPECT_EQ(probeMpeg(dir / "late.mp3"), 3);
    // One byte later it is out of reach.
    b.insert(b.begin(), 0);
    writeBytes(dir / "later.mp3", b);
    EXPECT_EQ(probeMpeg(dir / "later.mp3"), 0);
    // An unconfirmed header is not enough.
    std::vector<uint8_t> single(2000, 0);
    putWord(single, 0, kCbrHeader);
    writeBytes(dir / "single.mp3", single);
    EXPECT_EQ(probeMpeg(dir / "single.mp3"), 0);
    // MPEG-2.5 Layer II at 8000 Hz, 160 kbit/s claims 2880-byte frames.
    std::vector<uint8_t> big(8000, 0);
    putWord(big, 0, 0xFFE5E800);
    putWord(big, 2880, 0xFFE5E800);
    writeBytes(dir / "big.mp2", big);
    EXPECT_EQ(probeMpeg(dir / "big.mp2"), 0);
}

TEST(MpegReader, TagsOfTheChosenKindOnly) {
    TempDir dir;
    const auto mp3 = dir / "tagged.mp3";
    ASSERT_TRUE(info::ffmpegSine(mp3, 1.0, 44100, 2,
                                 "-c:a libmp3lame -b:a 128k -id3v2_version 3 -write_id3v1 1 "
                                 "-metadata title='Grüße' -metadata artist=Band -metadata track=3/12 "
                                 "-metadata date=2002 -metadata genre=Rock"));
    tags::TagRecord v2;
    const Facts f2 = readFast(mp3, &v2, 2);
    EXPECT_EQ(v2.title, "Grüße");
    EXPECT_EQ(v2.artist, "Band");
    EXPECT_EQ(v2.track, 3);
    EXPECT_EQ(v2.year, 2002);
    EXPECT_EQ(v2.genre, 17);
    tags::TagRecord v1;
    const Facts f1 = readFast(mp3, &v1, 1);
    EXPECT_EQ(v1.artist, "Band");
    EXPECT_EQ(v1.track, 3);
    EXPECT_EQ(v1.genre, 17);
    EXPECT_EQ(f1.frequency, 44100);
    // ffmpeg's LAME tag places the music: the second that went in.
    EXPECT_EQ(f1.duration, 1000);
    EXPECT_EQ(f2.duration, 1000);
    EXPECT_EQ(f2.samples, 44100);
}

TEST(MpegProbe, CoverArtAndStackedTagsBeforeTheAudio) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    const auto plain = dir / "plain.mp3";
    ASSERT_TRUE(info::ffmpegSine(plain, 2.0, 44100, 2, "-c:a libmp3lame -b:a 128k -id3v2_version 0"));
    ASSERT_TRUE(info::make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x480 -frames:v 1 -q:v 2 " +
                           shellQuote((dir / "cover.jpg").string())));
    // ffmpeg puts the cover into an ID3v2.3 tag as users' taggers do.
    const auto covered = dir / "covered.mp3";
    ASSERT_TRUE(info::make("ffmpeg -nostdin -v error -y -i " + shellQuote(plain.string()) + " -i " +
                           shellQuote((dir / "cover.jpg").string()) +
                           " -map 0:a -map 1:v -c copy -id3v2_version 3 -metadata title=Covered"
                           " -metadata:s:v comment='Cover (front)' " +
                           shellQuote(covered.string())));
    const auto tagSize = tags::id3v2TotalSize(covered.string());
    ASSERT_TRUE(tagSize);
    EXPECT_GT(*tagSize, 25000u);  // beyond the probe's 20 KB search

    EXPECT_EQ(probeMpeg(plain), 3);
    EXPECT_EQ(probeMpeg(covered), 3);
    tags::TagRecord t;
    const Facts a = readFast(plain);
    const Facts b = readFast(covered, &t, 2);
    EXPECT_EQ(t.title, "Covered");
    EXPECT_EQ(b.description, a.description);
    EXPECT_EQ(b.bitrate, a.bitrate);
    EXPECT_EQ(b.frequency, a.frequency);
    EXPECT_NEAR(b.duration, a.duration, 1);

    // More tags stacked in front (2.4 and 2.2): still the same stream.
    const auto stacked = dir / "stacked.mp3";
    const std::string v24frame = std::string(
        "TIT2\0\0\0\x04\0\0\x03"
        "Top",
        14);
    const std::string v22frame = std::string("TT2\0\0\x04\0Mid", 10);
    writeBytes(stacked, joined(joined(id3Tag(4, v24frame), id3Tag(2, v22frame)), readBytes(covered)));
    EXPECT_EQ(probeMpeg(stacked), 3);
    const Facts c = readFast(stacked, &t, 2);
    EXPECT_EQ(t.title, "Top");  // the first tag is the one read
    EXPECT_EQ(c.description, a.description);
    EXPECT_NEAR(c.duration, a.duration, 1);

    // The cover without audio after it: nothing inside the tag passes for a frame.
    auto tagOnly = readBytes(covered);
    tagOnly.resize(*tagSize);
    tagOnly.resize(*tagSize + 3000, 0);
    writeBytes(dir / "tag-only.mp3", tagOnly);
    EXPECT_EQ(probeMpeg(dir / "tag-only.mp3"), 0);
}

TEST(MpegReader, TagsOfEveryId3v2Version) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    // ffmpeg's own default: an ID3v2.4 tag.
    const auto v24 = dir / "v24.mp3";
    ASSERT_TRUE(info::ffmpegSine(v24, 1.0, 44100, 2,
                                 "-c:a libmp3lame -b:a 128k -metadata title='Tïtle 音' -metadata artist='Ärtist'"
                                 " -metadata date=2011-03-04 -metadata track=7/9"));
    const auto bytes = readBytes(v24);
    ASSERT_EQ(bytes[3], 4);
    tags::TagRecord t;
    const Facts f4 = readFast(v24, &t, 2);
    EXPECT_EQ(t.title, "Tïtle 音");
    EXPECT_EQ(t.artist, "Ärtist");
    EXPECT_EQ(t.year, 2011);
    EXPECT_EQ(t.track, 7);
    readFast(v24, &t, 1);  // no ID3v1 tag: nothing
    EXPECT_EQ(t.title, "");

    // The same stream behind a 2.2 tag (one UTF-16 frame).
    const auto v22 = dir / "v22.mp3";
    const std::string frames = std::string("TT2\0\0\x06\0Title", 12) + std::string(
                                                                           "TP1\0\0\x09\x01\xFF\xFE"
                                                                           "A\0r\0t\0",
                                                                           15);
    writeBytes(v22, joined(id3Tag(2, frames),
                           std::vector<uint8_t>(bytes.begin() + static_cast<long>(*tags::id3v2TotalSize(v24.string())),
                                                bytes.end())));
    const Facts f2 = readFast(v22, &t, 2);
    EXPECT_EQ(t.title, "Title");
    EXPECT_EQ(t.artist, "Art");
    EXPECT_EQ(f2.description, f4.description);
    EXPECT_NEAR(f2.duration, f4.duration, 2);
}

}  // namespace
}  // namespace qoro::audioinfo
