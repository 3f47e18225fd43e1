// Stream analysis, frame search, the read loop and seeking, on hand-built
// streams.
#include "mpeg_file_decoder.h"
#include "mpeg_test_streams.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>

using namespace qoro::mpeg;
using namespace qoro::mpeg::testing;
namespace t = qoro::test;

namespace {

// Input held in memory, for driving the codec directly.
class MemoryHost : public MpegCodecHost {
public:
    explicit MemoryHost(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    long read(void* buffer, long n) override
    {
        const size_t count = std::min(size_t(n), bytes_.size() - std::min(pos_, bytes_.size()));
        std::memcpy(buffer, bytes_.data() + pos_, count);
        pos_ += count;
        return long(count);
    }
    int seek(int64_t offset) override
    {
        pos_ = size_t(std::min<int64_t>(offset, int64_t(bytes_.size())));
        return 0;
    }
    int64_t position() const override { return int64_t(pos_); }
    int64_t size() const override { return int64_t(bytes_.size()); }
    void setIntProperty(const char* name, int value) override { props[name] = value; }
    std::map<std::string, int> props;

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

struct Analysed {
    bool found;
    MpegStreamStatus status;
    std::unique_ptr<MpegCodec> codec;
    std::unique_ptr<MemoryHost> host;
};

Analysed analyse(const std::vector<uint8_t>& bytes)
{
    Analysed a{false, {}, std::make_unique<MpegCodec>(), std::make_unique<MemoryHost>(bytes)};
    a.found = a.codec->analyse(*a.host, a.status);
    return a;
}

// Decodes every frame the codec finds; returns the frame count.
int decodeFrames(MpegCodec& codec, MpegCodecHost& host, MpegStreamStatus& st, int limit = 100000)
{
    std::vector<int16_t> out(2304);
    int count = 0, spc = 0, ch = 0;
    for (int i = 0; i < limit; ++i) {
        const int rc = codec.decode(host, st, out.data(), spc, ch);
        if (rc == MpegCodec::kEndOfInput) break;
        ++count;
    }
    return count;
}

TEST(MpegAnalysis, CbrAfterId3v2)
{
    // 4096 bytes of tag, then exactly 1,000,000 bytes of 64 kbit/s audio.
    auto audio = frames(kL3Stereo64, 1000000 / 208);
    audio.resize(1000000, 0);
    const auto a = analyse(id3v2(4086) + audio);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.codec->tagSize(), 4096);
    EXPECT_EQ(a.codec->streamSize(), 1000000);
    EXPECT_EQ(a.status.durationMs, 125000);
    EXPECT_EQ(a.status.bitrateKbps, 64);
    EXPECT_EQ(a.status.sampleRate, 44100);
    EXPECT_EQ(a.status.channels, 2);
    EXPECT_EQ(a.host->props.at("mpeg/level"), 1);
    EXPECT_EQ(a.host->props.at("mpeg/layer"), 3);
    EXPECT_EQ(a.host->props.at("mpeg/mode"), 0);
    EXPECT_EQ(a.host->position(), 4096);  // decoding starts at the audio data
}

TEST(MpegAnalysis, XingAndLameFrameCounts)
{
    for (const char* tag : {"Xing", "Lame"}) {
        const auto bytes = xingFrame(kL3Stereo64, tag, 1, 1000) + frames(kL3Stereo64, 20);
        const auto a = analyse(bytes);
        ASSERT_TRUE(a.found) << tag;
        EXPECT_EQ(a.status.durationMs, 26122) << tag;  // 1152 * 1000 * 1000 / 44100
        EXPECT_EQ(a.status.bitrateKbps, int(int64_t(bytes.size()) / 26122 * 8)) << tag;
        EXPECT_TRUE(a.codec->info().vbrHeader);
    }
}

TEST(MpegAnalysis, VbriInLsfMonoIsAtOffset13)
{
    auto f = frame(kLsfMono32);
    std::memcpy(&f[13], "VBRI", 4);
    putWord(f, 13 + 14, 500);
    const auto a = analyse(f + frames(kLsfMono32, 10));
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.status.durationMs, 576 * 1000 * 500 / 22050);
    EXPECT_TRUE(a.codec->info().vbrHeader);
    EXPECT_EQ(a.status.channels, 1);
    EXPECT_EQ(a.host->props.at("mpeg/level"), 2);

    auto g = frame(kLsfMono32);  // the same header at 36 is not looked at
    std::memcpy(&g[36], "VBRI", 4);
    putWord(g, 36 + 14, 500);
    const auto b = analyse(g + frames(kLsfMono32, 10));
    EXPECT_FALSE(b.codec->info().vbrHeader);
}

TEST(MpegAnalysis, SeekTableInterpolation)
{
    uint8_t toc[100];
    for (int i = 0; i < 100; ++i) toc[i] = uint8_t(i * 2);  // 0, 2, ..., 198
    const auto a = analyse(xingFrame(kL3Stereo64, "Xing", 7, 100, toc) + frames(kL3Stereo64, 99));
    ASSERT_TRUE(a.found);
    ASSERT_TRUE(a.codec->info().seekTable.has_value());
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.0), 0.0);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.105), (20 + 0.5 * 2) / 256.0);
    // The last entry interpolates towards 256 (the end of the file).
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(1.0), 1.0);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.995), (198 + 0.5 * (256 - 198)) / 256.0);
}

TEST(MpegAnalysis, PositionMappingWithTag)
{
    const auto a = analyse(id3v2(990) + frames(kL3Stereo64, 100));  // T = 1000, S = 20800
    ASSERT_TRUE(a.found);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.5), (0.5 * 20800 + 1000) / 21800.0);
    EXPECT_DOUBLE_EQ(a.codec->offsetToFraction(1000 + 10400), 0.5);
    EXPECT_DOUBLE_EQ(a.codec->offsetToFraction(500), 0.0);
}

TEST(MpegAnalysis, LyingTagSizeClampsToInput)
{
    auto bytes = id3v2(1u << 27, false) + frames(kL3Stereo64, 5);
    const auto a = analyse(bytes);
    EXPECT_EQ(a.codec->tagSize(), int64_t(bytes.size()));
    EXPECT_EQ(a.codec->streamSize(), 0);
    EXPECT_EQ(a.status.durationMs, 0);
    EXPECT_DOUBLE_EQ(a.codec->offsetToFraction(100), 0.0);
}

TEST(MpegAnalysis, AbsurdXingCountsAndShortTables)
{
    const auto a = analyse(xingFrame(kL3Stereo64, "Xing", 1, 0xFFFFFFFFu) + frames(kL3Stereo64, 3));
    ASSERT_TRUE(a.found);
    EXPECT_GE(a.status.durationMs, 0);
    // A seek table that does not fit the bytes read: no result at all.
    const auto b = analyse(xingFrame(kLsfMono32, "Xing", 7, 10) + frames(kLsfMono32, 3));
    EXPECT_TRUE(b.found);  // 13 + 16 + 100 fits in 152
    auto big = frame(kL3Stereo64);
    std::memcpy(&big[36], "Xing", 4);
    putWord(big, 40, 7);
    const auto c = analyse(std::vector<uint8_t>(big.begin(), big.begin() + 100));
    EXPECT_FALSE(c.found);
    EXPECT_EQ(c.status.durationMs, 0);
}

TEST(MpegFrameSearch, JunkBeforeAndBetweenFrames)
{
    std::vector<uint8_t> junk = {0x00, 0xFF, 0xF0, 0x12, 0xFF, 0xFB, 0xFF, 0x34, 0x55};
    const auto bytes = junk + frames(kL3Stereo64, 5) + junk + frames(kL3Stereo64, 4);
    auto a = analyse(bytes);
    EXPECT_FALSE(a.found);  // no header at the start of the audio data
    a.host->seek(0);
    // The first frame after junk needs a confirming header; all nine are found.
    EXPECT_EQ(decodeFrames(*a.codec, *a.host, a.status), 9);
    EXPECT_EQ(a.status.sampleRate, 44100);  // the running estimate supplies the facts
    EXPECT_EQ(a.status.bitrateKbps, 64);
    EXPECT_EQ(a.status.channels, 2);
}

TEST(MpegFrameSearch, UnconfirmedFrameIsDropped)
{
    // A lone valid-looking header followed by junk is not a frame.
    const auto bytes = frame(kL3Stereo64) + std::vector<uint8_t>{1, 2, 3, 4} + frames(kL3Stereo64, 3);
    MemoryHost host(bytes);
    MpegCodec codec;
    MpegStreamStatus st;
    EXPECT_EQ(decodeFrames(codec, host, st), 3);
}

TEST(MpegFrameSearch, TruncatedLastFrameIsNotDecoded)
{
    auto bytes = frames(kL3Stereo64, 4);
    bytes.erase(bytes.end() - 50, bytes.end());
    MemoryHost host(bytes);
    MpegCodec codec;
    MpegStreamStatus st;
    EXPECT_EQ(decodeFrames(codec, host, st), 3);
}

TEST(MpegFrameSearch, MainDataBeforeTheFileIsSilence)
{
    auto f = frame(kL3Joint128);
    f[4] = 0xFF;  // main_data_begin = 511: more than the empty reservoir holds
    f[5] = 0x80;
    f[10] = 0x7F;  // some part2_3_length so the frame would decode something
    f[11] = 0xFF;
    const auto bytes = f + frames(kL3Joint128, 2);
    MemoryHost host(bytes);
    MpegCodec codec;
    MpegStreamStatus st;
    std::vector<int16_t> out(2304, 123);
    int spc = 0, ch = 0;
    ASSERT_EQ(codec.decode(host, st, out.data(), spc, ch), 0);
    EXPECT_EQ(spc, 1152);
    EXPECT_EQ(ch, 2);
    for (int16_t s : out) ASSERT_EQ(s, 0);
}

// Through the file decoder: the read loop's room rules, seeking, ID3v1.
class MpegFileTest : public ::testing::Test {
protected:
    t::TempDir dir;
};

TEST_F(MpegFileTest, ReadRoomRules)
{
    const auto path = dir / "a.mp3";
    t::writeBytes(path, frames(kL3Stereo64, 10));
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open(path.string()), 0);
    std::vector<int16_t> buf(20000);
    EXPECT_EQ(dec.read(buf.data(), 4608), 4608u);
    EXPECT_EQ(dec.read(buf.data(), 9215), 4608u);
    EXPECT_EQ(dec.read(buf.data(), 9216), 9216u);
    EXPECT_EQ(dec.read(buf.data(), 4607), 0u);  // less than one frame's room reads nothing
    size_t total = 4 * 4608;
    while (const size_t n = dec.read(buf.data(), 40000)) total += n;
    EXPECT_EQ(total, 10u * 4608u);
}

TEST_F(MpegFileTest, FactsAndExpectedLength)
{
    const auto path = dir / "b.mp3";
    t::writeBytes(path, frames(kL3Stereo64, 100));
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open(path.string()), 0);
    const MpegFileFacts& f = dec.facts();
    EXPECT_EQ(f.sampleRate, 44100);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.layer, 3);
    EXPECT_EQ(f.level, 1);
    EXPECT_EQ(f.bitrateKbps, 64);
    EXPECT_EQ(f.durationMs, 20800 / 8);
    EXPECT_EQ(f.fileSize, 20800);
    EXPECT_EQ(f.expectedPcmBytes, uint64_t(2600) * 44100 * 4 / 1000);
    EXPECT_EQ(dec.inputPosition(), 0);  // open leaves the input at the start
}

TEST_F(MpegFileTest, SeekBeyondTheEndPositionsAtTheEnd)
{
    const auto path = dir / "c.mp3";
    t::writeBytes(path, frames(kL3Stereo64, 50));
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open(path.string()), 0);
    EXPECT_EQ(dec.seekMs(10'000'000), 0);
    EXPECT_EQ(dec.inputPosition(), 50 * 208);
    std::vector<int16_t> buf(4608);
    EXPECT_EQ(dec.read(buf.data(), 9216), 0u);
    // Half way: whole frames from there to the end.
    EXPECT_EQ(dec.seekPcmBytes(dec.facts().expectedPcmBytes / 2), 0);
    EXPECT_NEAR(double(dec.inputPosition()), 25 * 208, 208);
    size_t total = 0;
    while (const size_t n = dec.read(buf.data(), 9216)) total += n;
    EXPECT_NEAR(double(total), 25 * 4608, 2 * 4608);
}

TEST_F(MpegFileTest, Id3v1OnlyForLowerCaseMp3Names)
{
    std::vector<uint8_t> tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, "Title  ", 7);
    std::memcpy(tag.data() + 33, "Artist", 6);
    std::memcpy(tag.data() + 93, "1999", 4);
    tag[127] = 40;
    const auto bytes = frames(kL3Stereo64, 5) + tag;
    for (const char* name : {"x.mp3", "x.MP3", "x.Mp3", "mp3"}) {
        t::writeBytes(dir / name, bytes);
        MpegFileDecoder dec;
        ASSERT_EQ(dec.open((dir / name).string()), 0) << name;
        const bool lower = std::string(name) == "x.mp3";
        EXPECT_EQ(dec.streamProperty("id3/title"), lower ? "Title" : "") << name;
        EXPECT_EQ(dec.streamProperty("id3/artist"), lower ? "Artist" : "") << name;
        EXPECT_EQ(dec.streamProperty("id3/year"), lower ? "1999" : "") << name;
        EXPECT_EQ(dec.streamProperty("id3/genre"), lower ? "AlternRock" : "") << name;
        // The tag does not disturb decoding: five frames.
        std::vector<int16_t> buf(30000);
        size_t total = 0;
        while (const size_t n = dec.read(buf.data(), 60000)) total += n;
        EXPECT_EQ(total, 5u * 4608u) << name;
    }
}

TEST_F(MpegFileTest, SystemCodecSwitchBelow52Kbps)
{
    EXPECT_TRUE(MpegFileDecoder::prefersSystemCodec(3, 48, true));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(3, 56, true));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(3, 48, false));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(2, 32, true));
}

}  // namespace
