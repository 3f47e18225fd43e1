// The information frame parser, the frame search, the stream layout (where
// the music lies) and the codec's analysis and read loop, on hand-built
// streams whose every byte the test decides.
#include "mpeg_file_decoder.h"
#include "mpeg_test_streams.h"
#include "test_support.h"

#include "genre/genre.h"
#include "mpeg/frame_walk.h"
#include "mpeg/info_frame.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

using namespace qoro::mpeg;
using namespace qoro::mpeg::testing;
namespace t = qoro::test;

namespace {

// Input held in memory, for driving the codec directly.
class MemoryHost : public MpegCodecHost {
public:
    explicit MemoryHost(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    long read(void* buffer, long n) override {
        const size_t count = std::min(size_t(n), bytes_.size() - std::min(pos_, bytes_.size()));
        std::memcpy(buffer, bytes_.data() + pos_, count);
        pos_ += count;
        return long(count);
    }
    int seek(int64_t offset) override {
        pos_ = size_t(std::min<int64_t>(offset, int64_t(bytes_.size())));
        return 0;
    }
    int64_t position() const override { return int64_t(pos_); }
    int64_t size() const override { return int64_t(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

ReadAt readerOf(const std::vector<uint8_t>& bytes) {
    return [&bytes](uint64_t at, uint8_t* data, size_t n) -> long {
        if (at >= bytes.size()) return 0;
        const size_t count = std::min<size_t>(n, bytes.size() - size_t(at));
        std::memcpy(data, bytes.data() + at, count);
        return long(count);
    };
}

// The layout of a stream held in memory, as a file: its tags left out.
StreamLayout layoutOf(const std::vector<uint8_t>& bytes, bool keepIndex = false) {
    const ReadAt r = readerOf(bytes);
    return walkStream(r, audioRegion(r, bytes.size()), {.keepIndex = keepIndex});
}

struct Analysed {
    bool found;
    MpegStreamStatus status;
    std::unique_ptr<MpegCodec> codec;
    std::unique_ptr<MemoryHost> host;
};

Analysed analyse(const std::vector<uint8_t>& bytes) {
    Analysed a{false, {}, std::make_unique<MpegCodec>(), std::make_unique<MemoryHost>(bytes)};
    a.found = a.codec->analyse(*a.host, a.status);
    return a;
}

// Decodes to the end; returns the samples per channel delivered and counts
// the calls that delivered some.
uint64_t decodeAll(MpegCodec& codec, MpegCodecHost& host, MpegStreamStatus& st, int* calls = nullptr) {
    std::vector<int16_t> out(2304);
    uint64_t total = 0;
    int spc = 0, ch = 0;
    for (int i = 0; i < 1000000; ++i) {
        const int rc = codec.decode(host, st, out.data(), spc, ch);
        if (rc == MpegCodec::kEndOfInput) break;
        total += uint64_t(spc);
        if (calls) ++*calls;
    }
    return total;
}

// A free-format Layer III frame (bitrate index 0) of 'length' bytes, the
// padding bit set when asked (one byte more).
std::vector<uint8_t> freeFrame(int length, bool padded) {
    std::vector<uint8_t> f(size_t(length + (padded ? 1 : 0)), 0);
    putWord(f, 0, 0xFFFB0000u | (padded ? 0x200u : 0u));
    return f;
}

// ------------------------------------------------------------ info frames

TEST(MpegInfoFrame, LameTagFieldsAndCrc) {
    const auto f = lameInfoFrame(kL3Joint128, "Info", 21, 9194, {576, 1566});
    const auto info = parseInfoFrame(f);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->kind, InfoFrameKind::Info);
    EXPECT_EQ(info->offset, 36);
    EXPECT_TRUE(info->complete);
    EXPECT_EQ(info->frames, 21u);
    EXPECT_EQ(info->bytes, 9194u);
    ASSERT_TRUE(info->toc);
    EXPECT_EQ((*info->toc)[50], 127);
    EXPECT_EQ(info->quality, 57u);
    ASSERT_TRUE(info->lame);
    EXPECT_EQ(info->lame->encoder, "LAME3.100");
    EXPECT_EQ(info->lame->encoderDelay, 576);
    EXPECT_EQ(info->lame->padding, 1566);
    EXPECT_EQ(info->lame->musicLength, 9194u);
    EXPECT_TRUE(info->lame->crcMatches);

    // The CRC guards every byte before it: a changed seek table entry or a
    // spoilt CRC field is caught.
    auto changed = f;
    changed[36 + 16 + 10] ^= 1;
    EXPECT_FALSE(parseInfoFrame(changed)->lame->crcMatches);
    EXPECT_FALSE(parseInfoFrame(lameInfoFrame(kL3Joint128, "Info", 21, 9194, {576, 1566, false}))->lame->crcMatches);

    // "Xing" is the same header for VBR streams, and so is "Lame".
    for (const char* id : {"Xing", "Lame"}) {
        const auto x = parseInfoFrame(lameInfoFrame(kL3Joint128, id, 7, 4000, {1105, 0}));
        ASSERT_TRUE(x) << id;
        EXPECT_EQ(x->kind, InfoFrameKind::Xing) << id;
        EXPECT_EQ(x->frames, 7u) << id;
        EXPECT_EQ(x->lame->encoderDelay, 1105) << id;
        EXPECT_EQ(x->lame->padding, 0) << id;
    }
}

TEST(MpegInfoFrame, PlacesBySideInformation) {
    // MPEG-2 mono: side information of 9 bytes, the header at 13.
    const auto x = parseInfoFrame(xingFrame(kLsfMono32, "Xing", 1, 500));
    ASSERT_TRUE(x);
    EXPECT_EQ(x->offset, 13);
    EXPECT_EQ(x->frames, 500u);
    EXPECT_FALSE(x->bytes);
    EXPECT_FALSE(x->lame);  // zeros behind the fields: no encoder tag
    // MPEG-1 stereo: 36.
    EXPECT_EQ(parseInfoFrame(xingFrame(kL3Stereo64, "Xing", 3, 10))->offset, 36);
    // At the other place it is not a header.
    auto wrong = frame(kLsfMono32);
    std::memcpy(&wrong[36], "Xing", 4);
    EXPECT_FALSE(parseInfoFrame(wrong));
}

TEST(MpegInfoFrame, VbriStandsAt36InEveryFrame) {
    const auto v = parseInfoFrame(vbriFrame(kLsfMono32, 500, 12345));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->kind, InfoFrameKind::Vbri);
    EXPECT_EQ(v->offset, 36);
    EXPECT_EQ(v->frames, 500u);
    EXPECT_EQ(v->bytes, 12345u);
    EXPECT_EQ(v->vbriVersion, 1);
    auto at13 = frame(kLsfMono32);
    std::memcpy(&at13[13], "VBRI", 4);
    EXPECT_FALSE(parseInfoFrame(at13));
}

TEST(MpegInfoFrame, ShortFramesAndAudioFrames) {
    // The fields the flags name do not fit: still an information frame,
    // without them.
    auto f = xingFrame(kL3Stereo64, "Xing", 7, 100);
    f.resize(60);
    const auto x = parseInfoFrame(f);
    ASSERT_TRUE(x);
    EXPECT_FALSE(x->complete);
    EXPECT_TRUE(x->frames);
    EXPECT_FALSE(x->toc);
    f.resize(42);  // the identifier, not the flags
    ASSERT_TRUE(parseInfoFrame(f));
    EXPECT_FALSE(parseInfoFrame(f)->frames);
    f.resize(38);  // not even the identifier
    EXPECT_FALSE(parseInfoFrame(f));
    EXPECT_FALSE(parseInfoFrame(frame(kL3Stereo64)));
    EXPECT_FALSE(parseInfoFrame(std::vector<uint8_t>(300, 0x55)));
    EXPECT_FALSE(parseInfoFrame(std::vector<uint8_t>{0xFF, 0xFB}));
}

// ------------------------------------------------------------ frame search

TEST(MpegFrameSearch, JunkBeforeAndBetweenFrames) {
    std::vector<uint8_t> junk = {0x00, 0xFF, 0xF0, 0x12, 0xFF, 0xFB, 0xFF, 0x34, 0x55};
    const auto bytes = junk + frames(kL3Stereo64, 5) + junk + frames(kL3Stereo64, 4);
    const auto layout = layoutOf(bytes, true);
    EXPECT_EQ(layout.frameCount, 9u);
    EXPECT_EQ(layout.firstOffset, junk.size());
    EXPECT_EQ(layout.frameAt(5).offset, junk.size() * 2 + 5 * 208);
    // Decoding the stream as it comes finds the same nine frames.
    MemoryHost host(bytes);
    MpegCodec codec;
    MpegStreamStatus st;
    EXPECT_EQ(decodeAll(codec, host, st), 9u * 1152u);
    EXPECT_EQ(st.sampleRate, 44100);  // the running estimate supplies the facts
    EXPECT_EQ(st.bitrateKbps, 64);
    EXPECT_EQ(st.channels, 2);
}

TEST(MpegFrameSearch, FalseHeaderDoesNotSwallowTheFramesBehindIt) {
    // A valid-looking header claiming 417 bytes, then real frames from byte 4
    // on: the false one is not confirmed at 417, and the search goes on one
    // byte after it rather than behind the frame it claimed.
    std::vector<uint8_t> bytes = {0xFF, 0xFB, 0x90, 0x40};
    bytes = bytes + frames(kL3Stereo64, 6);
    const auto layout = layoutOf(bytes);
    EXPECT_EQ(layout.frameCount, 6u);
    EXPECT_EQ(layout.firstOffset, 4u);
    // A sync word that is no valid header moves the search on by one byte.
    const auto ff = std::vector<uint8_t>{0xFF, 0xFF} + frames(kL3Stereo64, 3);
    EXPECT_EQ(layoutOf(ff).frameCount, 3u);
    EXPECT_EQ(layoutOf(ff).firstOffset, 2u);
}

TEST(MpegFrameSearch, UnconfirmedAndTruncatedFrames) {
    // A lone valid-looking header followed by junk is not a frame.
    EXPECT_EQ(layoutOf(frame(kL3Stereo64) + std::vector<uint8_t>{1, 2, 3, 4} + frames(kL3Stereo64, 3)).frameCount, 3u);
    // A last frame the file cuts short is not counted.
    auto cut = frames(kL3Stereo64, 4);
    cut.erase(cut.end() - 50, cut.end());
    EXPECT_EQ(layoutOf(cut).frameCount, 3u);
    // One whole frame that ends the file counts.
    EXPECT_EQ(layoutOf(frame(kL3Stereo64)).frameCount, 1u);
}

TEST(MpegFrameSearch, FreeFormatFramesAreAsLongAsTheDistanceToTheNext) {
    std::vector<uint8_t> bytes;
    const bool padding[] = {false, true, false, false, true, false, false};
    for (bool p : padding) bytes = bytes + freeFrame(300, p);
    const auto layout = layoutOf(bytes, true);
    ASSERT_EQ(layout.frameCount, 7u);
    EXPECT_TRUE(isFreeFormat(layout.firstHeader));
    uint64_t at = 0;
    for (uint64_t i = 0; i < 7; ++i) {
        EXPECT_EQ(layout.frameAt(i).offset, at) << i;
        EXPECT_EQ(layout.frameAt(i).length, padding[i] ? 301 : 300) << i;
        at += padding[i] ? 301 : 300;
    }
    EXPECT_EQ(layout.lowestKbps, 300 * 8 * 44100 / (1152 * 1000));
    EXPECT_EQ(freeFormatFrameLength(bytes), 300);
    // They decode (to silence), one frame's samples each.
    auto a = analyse(bytes);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), 7u * 1152u);
    // A free-format header with nothing like it behind is no frame.
    EXPECT_EQ(layoutOf(freeFrame(300, false) + std::vector<uint8_t>(2000, 0)).frameCount, 0u);
}

TEST(MpegFrameSearch, TagsAtTheEndAreNotAudio) {
    // An APEv2 tag whose binary item holds two headers a frame apart, then
    // a Lyrics3v2 block or none, then an ID3v1 tag: none is taken for frames.
    std::vector<uint8_t> item(600, 0);
    putWord(item, 10, kL3Stereo64);
    putWord(item, 10 + 208, kL3Stereo64);
    std::vector<uint8_t> footer(32, 0);
    std::memcpy(footer.data(), "APETAGEX", 8);
    footer[8] = 0xD0;
    footer[9] = 0x07;  // version 2000
    const uint32_t size = uint32_t(item.size() + 32);
    for (int i = 0; i < 4; ++i) footer[12 + size_t(i)] = uint8_t(size >> (8 * i));
    std::vector<uint8_t> id3v1(128, ' ');
    std::memcpy(id3v1.data(), "TAG", 3);
    const std::string lyrics = "LYRICSBEGININD00003110LYR00005hello000035LYRICS200";
    for (const std::string& between : {std::string(), lyrics}) {
        const auto bytes = frames(kL3Stereo64, 10) + item + footer +
                           std::vector<uint8_t>(between.begin(), between.end()) + id3v1;
        const ReadAt r = readerOf(bytes);
        const StreamRegion region = audioRegion(r, bytes.size());
        EXPECT_EQ(region.begin, 0u);
        EXPECT_EQ(region.end, 10u * 208u) << between;
        EXPECT_EQ(region.tagsEnd, bytes.size());
        EXPECT_EQ(layoutOf(bytes).frameCount, 10u) << between;
    }
    // Without the footer the same bytes would pass for frames.
    const auto untagged = frames(kL3Stereo64, 10) + item;
    EXPECT_EQ(layoutOf(untagged).frameCount, 12u);
}

// ------------------------------------------------------------ the music

// A LAME tag that counts the stream's frames places the music, whatever its
// CRC says. A last frame cut short is read whole when the tags behind the
// stream hold its missing bytes (they decode as zeros), and left out when
// the file ends first; the tag counts it either way. A stream that ends
// within a frame lost its end: a tag counting more frames is taken when its
// CRC matches.
TEST(MpegLayout, TrustedLameTagPlacesTheMusic) {
    const auto audio = frames(kL3Stereo64, 20);  // 208-byte frames
    const auto cutAt = [&audio](size_t bytes) { return std::vector<uint8_t>(audio.begin(), audio.begin() + long(bytes)); };
    std::vector<uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAG", 3);
    struct Case {
        const char* what;
        bool goodCrc;
        std::vector<uint8_t> audio;
        uint64_t frames;  // audio frames taken
        int filled, dropped;
        bool trusted;
    };
    const Case cases[] = {
        {"CRC matches", true, audio, 20, 0, 0, true},
        {"CRC spoilt", false, audio, 20, 0, 0, true},
        {"last frame cut off", true, cutAt(19 * 208 + 108), 19, 0, 1152, true},
        {"cut off, CRC spoilt", false, cutAt(19 * 208 + 108), 19, 0, 1152, true},
        {"cut off, then tagged", true, cutAt(19 * 208 + 108) + id3v1, 20, 100, 0, true},
        {"cut off, a shorter tag behind", true, cutAt(19 * 208 + 8) + id3v1, 19, 0, 1152, true},
        {"cut off mid-stream", true, cutAt(9 * 208 + 50), 9, 0, 1152, true},
        {"cut off mid-stream, then tagged", true, cutAt(9 * 208 + 150) + id3v1, 10, 58, 0, true},
        {"cut off mid-stream, CRC spoilt", false, cutAt(9 * 208 + 50), 9, 0, 1152, false},
        {"ends between frames short of the count", true, cutAt(9 * 208), 9, 0, 0, false},
    };
    for (const Case& c : cases) {
        const auto layout = layoutOf(lameInfoFrame(kL3Joint128, "Info", 20, 0, {576, 1000, c.goodCrc}) + c.audio, true);
        ASSERT_TRUE(layout.info) << c.what;
        EXPECT_EQ(layout.frameCount, c.frames) << c.what;  // the information frame is not audio
        EXPECT_EQ(layout.filledBytes, c.filled) << c.what;
        EXPECT_EQ(layout.droppedSamples, c.dropped) << c.what;
        EXPECT_EQ(layout.decodedSamples, c.frames * 1152u) << c.what;
        EXPECT_EQ(layout.frameAt(c.frames - 1).length, 208) << c.what;
        EXPECT_EQ(layout.gapless, c.trusted) << c.what;
        EXPECT_EQ(layout.skip, c.trusted ? 576u + 529u : 0u) << c.what;
        // The music ends 1000 - 529 samples before the tag's 20 frames end,
        // or with the stream when it ends first.
        EXPECT_EQ(layout.length,
                  c.trusted ? std::min<uint64_t>(20u * 1152u - 1000u + 529u, c.frames * 1152u) - 1105u
                            : c.frames * 1152u)
            << c.what;
    }
}

TEST(MpegLayout, PaddingShorterThanTheDecoderDelayEndsWithTheStream) {
    const auto layout = layoutOf(lameInfoFrame(kL3Joint128, "Info", 20, 0, {576, 100}) + frames(kL3Stereo64, 20));
    EXPECT_TRUE(layout.gapless);
    EXPECT_EQ(layout.skip, 1105u);
    EXPECT_EQ(layout.length, 20u * 1152u - 1105u);
}

TEST(MpegLayout, UntrustedTagsKeepEverySample) {
    const auto audio = frames(kL3Stereo64, 20);
    struct Case {
        const char* what;
        std::vector<uint8_t> first;
    };
    const Case cases[] = {
        {"frame count lies", lameInfoFrame(kL3Joint128, "Info", 25, 0, {576, 1000})},
        {"frame count lies, CRC spoilt", lameInfoFrame(kL3Joint128, "Info", 19, 0, {576, 1000, false})},
        {"frame count counts itself", lameInfoFrame(kL3Joint128, "Xing", 21, 0, {576, 1000})},
        {"no LAME tag", xingFrame(kL3Stereo64, "Xing", 1, 20)},
        {"zero frames", xingFrame(kL3Stereo64, "Xing", 1, 0)},
        {"absurd count", xingFrame(kL3Stereo64, "Xing", 3, 0xFFFFFFFFu)},
        {"VBRI", vbriFrame(kL3Stereo64, 20, 4160)},
    };
    for (const Case& c : cases) {
        const auto layout = layoutOf(c.first + audio);
        EXPECT_TRUE(layout.info) << c.what;
        EXPECT_EQ(layout.frameCount, 20u) << c.what;
        EXPECT_FALSE(layout.gapless) << c.what;
        EXPECT_EQ(layout.skip, 0u) << c.what;
        EXPECT_EQ(layout.length, 20u * 1152u) << c.what;
    }
    // Layer II streams have no Layer III decoder delay to trim.
    const uint32_t l2 = 0xFFFDA004u;  // MPEG-1 Layer II, 160 kbit/s, 44.1 kHz
    auto info = frame(l2);
    const auto tag = lameInfoFrame(kL3Joint128, "Info", 10, 0, {576, 1000});
    std::copy(tag.begin() + 4, tag.begin() + 190, info.begin() + 4);
    const uint16_t crc = lameTagCrc(info.data(), 190);  // a tag true to this frame
    info[190] = uint8_t(crc >> 8);
    info[191] = uint8_t(crc);
    ASSERT_TRUE(parseInfoFrame(info)->lame->crcMatches);
    const auto layout = layoutOf(info + frames(l2, 10));
    EXPECT_FALSE(layout.gapless);
    EXPECT_EQ(layout.length, 10u * 1152u);
}

TEST(MpegLayout, StreamsWithoutMusic) {
    EXPECT_FALSE(layoutOf(lameInfoFrame(kL3Joint128, "Info", 0, 0, {576, 1000})).hasAudio());
    EXPECT_FALSE(layoutOf(id3v2(3000)).hasAudio());
    EXPECT_FALSE(layoutOf(std::vector<uint8_t>(5000, 0xFF)).hasAudio());
    EXPECT_FALSE(layoutOf({}).hasAudio());
    // The tag says the music is shorter than the encoder's own delay.
    EXPECT_FALSE(layoutOf(lameInfoFrame(kL3Joint128, "Info", 1, 0, {1000, 1000}) + frame(kL3Stereo64)).hasAudio());
}

TEST(MpegLayout, SamplePositionsAcrossFramesOfDifferentLengths) {
    // MPEG-1 Layer III (1152 samples) followed by MPEG-2 frames (576).
    const auto bytes = frames(kL3Stereo64, 3) + frames(kLsfMono32, 4);
    const auto layout = layoutOf(bytes, true);
    ASSERT_EQ(layout.frameCount, 7u);
    EXPECT_EQ(layout.decodedSamples, 3u * 1152u + 4u * 576u);
    uint64_t start = 0;
    EXPECT_EQ(layout.frameOfSample(1152 * 3 + 600, start), 4u);
    EXPECT_EQ(start, 1152u * 3 + 576u);
    EXPECT_EQ(layout.firstSampleOf(6), 1152u * 3 + 3 * 576u);
    EXPECT_EQ(layout.samplesOf(2), 1152);
    EXPECT_EQ(layout.samplesOf(3), 576);
}

TEST(MpegLayout, StreamsTooChangeableForAnIndexAreDecodedAsTheyCome) {
    // MPEG-1 and MPEG-2 frames taking turns: more changes of the samples
    // per frame than an index keeps.
    const auto pair = frame(kL3Stereo64) + frame(kLsfMono32);
    std::vector<uint8_t> bytes;
    bytes.reserve(pair.size() * (kMaxSegments / 2 + 2));
    for (size_t i = 0; i < kMaxSegments / 2 + 1; ++i) bytes.insert(bytes.end(), pair.begin(), pair.end());
    const auto layout = layoutOf(bytes, true);
    EXPECT_TRUE(layout.indexDropped);
    EXPECT_FALSE(layout.hasIndex());
    EXPECT_EQ(layout.frameCount, uint64_t(kMaxSegments + 2));
    EXPECT_EQ(layout.decodedSamples, uint64_t(kMaxSegments / 2 + 1) * (1152 + 576));
    // The codec finds no index and reads the frames as they come.
    auto a = analyse(bytes);
    EXPECT_FALSE(a.found);
    EXPECT_FALSE(a.codec->indexed());
    std::vector<int16_t> out(2304);
    int spc = 0, ch = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(a.codec->decode(*a.host, a.status, out.data(), spc, ch), 0);
        EXPECT_EQ(spc, i % 2 ? 576 : 1152);
    }
}

// ------------------------------------------------------------ the codec

TEST(MpegAnalysis, CbrAfterId3v2) {
    // 4096 bytes of tag, then 4807 frames of 64 kbit/s audio and zeros.
    auto audio = frames(kL3Stereo64, 4807);
    audio.resize(1000000, 0);
    const auto a = analyse(id3v2(4086) + audio);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.codec->streamBegin(), 4096);
    EXPECT_EQ(a.codec->streamBytes(), 1000000);
    EXPECT_EQ(a.codec->musicLength(), 4807u * 1152u);
    EXPECT_EQ(a.status.durationMs, int(4807ull * 1152 * 1000 / 44100));
    EXPECT_EQ(a.status.bitrateKbps, 64);
    EXPECT_EQ(a.status.sampleRate, 44100);
    EXPECT_EQ(a.status.channels, 2);
    EXPECT_EQ(a.status.level, 1);
    EXPECT_EQ(a.status.layer, 3);
    EXPECT_EQ(a.status.mode, 0);
    EXPECT_EQ(a.host->position(), 4096);  // decoding starts at the audio data
}

TEST(MpegAnalysis, CountedStreamsReportTheWalkedLengthAndAverageBitrate) {
    for (const char* tag : {"Xing", "Lame"}) {
        // The header claims 1000 frames; 20 are there.
        const auto bytes = xingFrame(kL3Stereo64, tag, 1, 1000) + frames(kL3Stereo64, 20);
        auto a = analyse(bytes);
        ASSERT_TRUE(a.found) << tag;
        EXPECT_EQ(a.status.durationMs, 20 * 1152 * 1000 / 44100) << tag;
        EXPECT_EQ(a.status.bitrateKbps, 64) << tag;
        EXPECT_TRUE(a.codec->info().vbrHeader);
        EXPECT_EQ(a.codec->info().vbrFrames, 1000);
        EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), 20u * 1152u) << tag;
    }
}

TEST(MpegAnalysis, MusicDeliveredIsTheLengthAnnounced) {
    // The decoded output of the trusted layout, in calls of at most a frame:
    // the first call starts at sample D + 529 of the first frame.
    const auto bytes = lameInfoFrame(kL3Joint128, "Info", 12, 0, {576, 1600}) + frames(kL3Stereo64, 12);
    auto a = analyse(bytes);
    ASSERT_TRUE(a.found);
    const uint64_t length = 12u * 1152u - 576u - 1600u;
    EXPECT_EQ(a.codec->musicLength(), length);
    EXPECT_EQ(a.status.durationMs, int(length * 1000 / 44100));
    std::vector<int16_t> out(2304);
    int spc = 0, ch = 0;
    ASSERT_EQ(a.codec->decode(*a.host, a.status, out.data(), spc, ch), 0);
    EXPECT_EQ(spc, 1152 - 1105);
    EXPECT_EQ(ch, 2);
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status) + uint64_t(spc), length);
    // Back to the start, and to a sample in the middle: the rest comes out.
    ASSERT_TRUE(a.codec->seekToSample(0));
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), length);
    ASSERT_TRUE(a.codec->seekToSample(5000));
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), length - 5000);
    ASSERT_TRUE(a.codec->seekToSample(length + 10));
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), 0u);
}

TEST(MpegAnalysis, SeekTableInterpolation) {
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

TEST(MpegAnalysis, PositionMappingWithTag) {
    // The stream begins after 1000 bytes of tag and has 20800 bytes.
    const auto a = analyse(id3v2(990) + frames(kL3Stereo64, 100));
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.codec->streamBegin(), 1000);
    EXPECT_EQ(a.codec->streamBytes(), 20800);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.5), (0.5 * 20800 + 1000) / 21800.0);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.0), 1000 / 21800.0);
}

TEST(MpegAnalysis, LyingTagSizeTakesTheWholeInput) {
    auto bytes = id3v2(1u << 27, false) + frames(kL3Stereo64, 5);
    auto a = analyse(bytes);
    EXPECT_FALSE(a.found);
    EXPECT_EQ(a.codec->streamBegin(), int64_t(bytes.size()));
    EXPECT_EQ(a.codec->streamBytes(), 0);
    EXPECT_EQ(a.status.durationMs, 0);
    EXPECT_DOUBLE_EQ(a.codec->fractionToFileFraction(0.5), 0.5);
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), 0u);
}

TEST(MpegFrameSearch, InputReadAsItComesSkipsTheInformationFrame) {
    // Without the analysis (an input that cannot seek) the information
    // frame at the start is still not audio; every other frame comes whole.
    const auto bytes = lameInfoFrame(kL3Joint128, "Info", 6, 0, {576, 1000}) + frames(kL3Stereo64, 6);
    MemoryHost host(bytes);
    MpegCodec codec;
    MpegStreamStatus st;
    int calls = 0;
    EXPECT_EQ(decodeAll(codec, host, st, &calls), 6u * 1152u);
    EXPECT_EQ(calls, 6);
}

TEST(MpegFrameSearch, MainDataBeforeTheFileIsSilence) {
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

TEST(MpegFrameSearch, FramesOfAnotherChannelCountKeepTheStreamsCount) {
    // A stereo stream with mono frames in it: every frame gives two channels.
    const auto bytes = frames(kL3Stereo64, 2) + frames(0xFFFB50C0u, 2) + frames(kL3Stereo64, 2);
    auto a = analyse(bytes);
    ASSERT_TRUE(a.found);
    std::vector<int16_t> out(2304);
    int spc = 0, ch = 0;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(a.codec->decode(*a.host, a.status, out.data(), spc, ch), 0) << i;
        EXPECT_EQ(spc, 1152);
        EXPECT_EQ(ch, 2);
    }
}

TEST(MpegAnalysis, StatusFollowsTheFramesUnlessTheyAreCounted) {
    // Stereo 64 kbit/s frames, then joint stereo 128 kbit/s ones.
    const auto audio = frames(kL3Stereo64, 3) + frames(kL3Joint128, 3);
    auto a = analyse(audio);
    ASSERT_TRUE(a.found);
    EXPECT_EQ(a.status.mode, 0);
    EXPECT_EQ(a.status.bitrateKbps, 64);
    EXPECT_EQ(decodeAll(*a.codec, *a.host, a.status), 6u * 1152u);
    EXPECT_EQ(a.status.mode, 1);
    // The bitrate is a running average: on its way from 64 to 128.
    EXPECT_GT(a.status.bitrateKbps, 64);
    EXPECT_LT(a.status.bitrateKbps, 128);
    EXPECT_EQ(a.status.channels, 2);

    // An information frame that counts the frames: its analysis stands.
    auto counted = analyse(xingFrame(kL3Stereo64, "Xing", 1, 6) + audio);
    ASSERT_TRUE(counted.found);
    ASSERT_TRUE(counted.codec->info().vbrHeader);
    const MpegStreamStatus before = counted.status;
    EXPECT_EQ(decodeAll(*counted.codec, *counted.host, counted.status), 6u * 1152u);
    EXPECT_EQ(counted.status.mode, 0);
    EXPECT_EQ(counted.status.bitrateKbps, before.bitrateKbps);
    EXPECT_EQ(counted.status.durationMs, before.durationMs);

    // Read as it comes: the facts are the latest frame's, the channels the
    // first frame's.
    MemoryHost host(frames(kL3Stereo64, 2) + frames(kLsfMono32, 2));
    MpegCodec codec;
    MpegStreamStatus st;
    std::vector<int16_t> out(2304);
    int spc = 0, ch = 0;
    ASSERT_EQ(codec.decode(host, st, out.data(), spc, ch), 0);
    EXPECT_EQ(st.level, 1);
    EXPECT_EQ(st.sampleRate, 44100);
    EXPECT_EQ(decodeAll(codec, host, st), 1152u + 2u * 576u);
    EXPECT_EQ(st.level, 2);
    EXPECT_EQ(st.layer, 3);
    EXPECT_EQ(st.mode, 3);
    EXPECT_EQ(st.sampleRate, 22050);
    EXPECT_EQ(st.channels, 2);
}

// ------------------------------------------------------------ the file decoder

class MpegFileTest : public ::testing::Test {
protected:
    t::TempDir dir;
};

TEST_F(MpegFileTest, ReadRoomRules) {
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

// Everything read from an open decoder, as 16-bit samples.
std::vector<int16_t> readToEnd(MpegFileDecoder& dec) {
    std::vector<int16_t> all, buf(8 * MpegFileDecoder::kMinReadBytes / 2);
    while (const size_t n = dec.read(buf.data(), buf.size() * 2))
        all.insert(all.end(), buf.begin(), buf.begin() + n / 2);
    return all;
}

TEST_F(MpegFileTest, StreamsDecodedAsTheyComeKeepTheirFirstFrame) {
    // Standard input: the frame decoded at open cannot be read again, so it
    // is the first one delivered. A conformance stream (no information
    // frame) gives the same samples from its file and from standard input.
    const auto file = t::testdata("mpeg/l3-sin1k0db.bit");
    MpegFileDecoder fromFile;
    ASSERT_EQ(fromFile.open(file.string()), 0);
    const auto expected = readToEnd(fromFile);
    ASSERT_GT(expected.size(), 10000u);

    const int saved = ::dup(0);
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, 0), 0);
    ::close(fd);
    std::clearerr(stdin);
    MpegFileDecoder fromStdin;
    const int rc = fromStdin.open("-");
    const auto piped = rc == 0 ? readToEnd(fromStdin) : std::vector<int16_t>{};
    fromStdin.close();
    ::dup2(saved, 0);
    ::close(saved);
    std::clearerr(stdin);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(piped.size(), expected.size());
    EXPECT_TRUE(piped == expected);

    // A file too changeable for an index is read as it comes too: every
    // frame, the first included, one frame at a time as well.
    const auto pair = frame(kL3Stereo64) + frame(kLsfMono32);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < kMaxSegments / 2 + 1; ++i) bytes.insert(bytes.end(), pair.begin(), pair.end());
    const auto path = dir / "changeable.mp3";
    t::writeBytes(path, bytes);
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open(path.string()), 0);
    EXPECT_EQ(readToEnd(dec).size(), (kMaxSegments / 2 + 1) * (1152 + 576) * 2);
    ASSERT_EQ(dec.open(path.string()), 0);
    std::vector<int16_t> one(MpegFileDecoder::kMinReadBytes / 2);
    int spc = 0, ch = 0;
    ASSERT_EQ(dec.decodeFrame(one.data(), spc, ch), 0);
    EXPECT_EQ(spc, 1152);
    ASSERT_EQ(dec.decodeFrame(one.data(), spc, ch), 0);
    EXPECT_EQ(spc, 576);
}

TEST_F(MpegFileTest, FactsAndExactLength) {
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
    EXPECT_EQ(f.frameCount, 100);
    EXPECT_EQ(f.samples, 115200u);
    EXPECT_EQ(f.durationMs, 115200 * 1000 / 44100);
    EXPECT_EQ(f.fileSize, 20800);
    EXPECT_EQ(f.expectedPcmBytes, 115200u * 4);
    std::vector<int16_t> buf(1 << 20);
    size_t total = 0;
    while (const size_t n = dec.read(buf.data(), buf.size() * 2)) total += n;
    EXPECT_EQ(total, f.expectedPcmBytes);
}

TEST_F(MpegFileTest, SeeksLandOnTheSampleAsked) {
    const auto path = dir / "c.mp3";
    t::writeBytes(path, lameInfoFrame(kL3Joint128, "Info", 50, 0, {576, 1200}) + frames(kL3Stereo64, 50));
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open(path.string()), 0);
    const uint64_t length = 50u * 1152u - 576u - 1200u;
    ASSERT_EQ(dec.facts().samples, length);
    std::vector<int16_t> buf(1 << 20);
    auto rest = [&] {
        size_t total = 0;
        while (const size_t n = dec.read(buf.data(), buf.size() * 2)) total += n;
        return total;
    };
    for (uint64_t s : {uint64_t(0), uint64_t(1), uint64_t(47), uint64_t(48), uint64_t(1199), length - 1}) {
        EXPECT_EQ(dec.seekSample(s), 0);
        EXPECT_EQ(rest(), (length - s) * 4) << s;
    }
    EXPECT_EQ(dec.seekMs(10'000'000), 0);
    EXPECT_EQ(rest(), 0u);
    EXPECT_EQ(dec.seekPcmBytes(4000 * 4), 0);
    EXPECT_EQ(rest(), (length - 4000) * 4);
}

TEST_F(MpegFileTest, FilesWithoutMusicDoNotOpen) {
    t::writeBytes(dir / "info-only.mp3", lameInfoFrame(kL3Joint128, "Info", 0, 0, {576, 1000}));
    t::writeBytes(dir / "tag-only.mp3", id3v2(5000));
    t::writeBytes(dir / "text.mp3", std::vector<uint8_t>(5000, 'x'));
    t::writeBytes(dir / "empty.mp3", {});
    for (const char* name : {"info-only.mp3", "tag-only.mp3", "text.mp3", "empty.mp3", "missing.mp3"}) {
        MpegFileDecoder dec;
        EXPECT_LT(dec.open((dir / name).string()), 0) << name;
        EXPECT_FALSE(dec.isOpen()) << name;
    }
}

TEST_F(MpegFileTest, Id3v1OnlyForLowerCaseMp3Names) {
    std::vector<uint8_t> tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, "Title  ", 7);
    std::memcpy(tag.data() + 33, "Artist", 6);
    std::memcpy(tag.data() + 63, "Album ", 6);
    std::memcpy(tag.data() + 93, "1999", 4);
    std::memcpy(tag.data() + 97, "Note", 4);
    tag[127] = 40;
    const auto bytes = frames(kL3Stereo64, 5) + tag;
    for (const char* name : {"x.mp3", "x.MP3", "x.Mp3", "mp3"}) {
        t::writeBytes(dir / name, bytes);
        MpegFileDecoder dec;
        ASSERT_EQ(dec.open((dir / name).string()), 0) << name;
        const bool lower = std::string(name) == "x.mp3";
        ASSERT_EQ(dec.id3v1().has_value(), lower) << name;
        if (lower) {
            const MpegId3v1& v1 = *dec.id3v1();
            EXPECT_EQ(v1.title, "Title");
            EXPECT_EQ(v1.artist, "Artist");
            EXPECT_EQ(v1.album, "Album");
            EXPECT_EQ(v1.year, "1999");
            EXPECT_EQ(v1.comment, "Note");
            EXPECT_EQ(v1.genre, "AlternRock");
        }
        // The tag does not disturb decoding: five frames.
        std::vector<int16_t> buf(30000);
        size_t total = 0;
        while (const size_t n = dec.read(buf.data(), 60000)) total += n;
        EXPECT_EQ(total, 5u * 4608u) << name;
    }
    // Without a tag there is none; a closed decoder has none.
    t::writeBytes(dir / "untagged.mp3", frames(kL3Stereo64, 5));
    MpegFileDecoder dec;
    ASSERT_EQ(dec.open((dir / "x.mp3").string()), 0);
    ASSERT_EQ(dec.open((dir / "untagged.mp3").string()), 0);
    EXPECT_FALSE(dec.id3v1());
    ASSERT_EQ(dec.open((dir / "x.mp3").string()), 0);
    dec.close();
    EXPECT_FALSE(dec.id3v1());
}

TEST_F(MpegFileTest, Id3v1GenresByTheDecodersNames) {
    // The decoder names the first 80 genres, two of them its own way; past
    // them the tag has no genre name.
    const std::pair<uint8_t, std::string> cases[] = {
        {0, std::string(qoro::genre::toString(0))},   {17, "Rock"}, {40, "AlternRock"}, {64, "Native American"},
        {79, std::string(qoro::genre::toString(79))}, {80, ""},     {147, ""},          {255, ""}};
    for (const auto& [byte, name] : cases) {
        std::vector<uint8_t> tag(128, 0);
        std::memcpy(tag.data(), "TAG", 3);
        tag[127] = byte;
        const auto path = dir / ("g" + std::to_string(byte) + ".mp3");
        t::writeBytes(path, frames(kL3Stereo64, 2) + tag);
        MpegFileDecoder dec;
        ASSERT_EQ(dec.open(path.string()), 0) << int(byte);
        ASSERT_TRUE(dec.id3v1()) << int(byte);
        EXPECT_EQ(dec.id3v1()->genre, name) << int(byte);
        EXPECT_EQ(dec.id3v1()->title, "") << int(byte);
    }
}

// Errors, and decoding one frame at a time.
TEST_F(MpegFileTest, OpenErrorsAndFrameByFrame) {
    MpegFileDecoder dec;
    std::vector<int16_t> out(MpegFileDecoder::kMinReadBytes / 2);
    int spc = -1, ch = -1;
    EXPECT_EQ(dec.decodeFrame(out.data(), spc, ch), kMpegErrInternal);  // nothing open
    EXPECT_EQ(spc, 0);
    EXPECT_EQ(dec.seekMs(0), kMpegErrInternal);
    EXPECT_EQ(dec.read(out.data(), out.size() * 2), 0u);
    EXPECT_EQ(dec.open((dir / "missing.mp3").string()), kMpegErrFileNotFound);
    EXPECT_EQ(dec.open(""), kMpegErrInvalidParameter);
    t::writeBytes(dir / "nothing.mp3", std::vector<uint8_t>(3000, 0));
    EXPECT_EQ(dec.open((dir / "nothing.mp3").string()), kMpegErrEndOfInput);
    EXPECT_FALSE(dec.isOpen());

    const auto path = dir / "s.mp2";
    t::writeBytes(path, frames(kL3Stereo64, 3));
    ASSERT_EQ(dec.open(path.string()), 0);
    EXPECT_NE(dec.layout(), nullptr);
    EXPECT_EQ(dec.facts().fileSize, 3 * 208);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(dec.decodeFrame(out.data(), spc, ch), 0) << i;
        EXPECT_EQ(spc, 1152);
        EXPECT_EQ(ch, 2);
    }
    EXPECT_EQ(dec.decodeFrame(out.data(), spc, ch), kMpegErrEndOfInput);
    EXPECT_EQ(spc, 0);
    EXPECT_EQ(dec.seekMs(0), 0);
    EXPECT_EQ(dec.decodeFrame(out.data(), spc, ch), 0);
    EXPECT_EQ(spc, 1152);
    // Frame by frame and read() deliver the same samples.
    std::vector<int16_t> byRead(3 * 2304);
    ASSERT_EQ(dec.seekSample(0), 0);
    ASSERT_EQ(dec.read(byRead.data(), byRead.size() * 2), byRead.size() * 2);
    ASSERT_EQ(dec.seekSample(0), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(dec.decodeFrame(out.data(), spc, ch), 0);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 2304, byRead.begin() + i * 2304)) << i;
    }
}

TEST_F(MpegFileTest, SystemCodecSwitchBelow52Kbps) {
    EXPECT_TRUE(MpegFileDecoder::prefersSystemCodec(3, 48, true));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(3, 56, true));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(3, 48, false));
    EXPECT_FALSE(MpegFileDecoder::prefersSystemCodec(2, 32, true));
}

}  // namespace
