// The MPEG Plus header reader and the MPEG Plus facts, description and tag.
#include <gtest/gtest.h>

#include <cstring>

#include "fixtures.h"
#include "io/file_rewrite.h"
#include "mpc/mpc_stream.h"
#include "readers/readers.h"

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
    ASSERT_TRUE(readMpc(dir / "a.mpc", f, t));
    EXPECT_EQ(f.duration, 261224);
    EXPECT_EQ(f.frequency, 44100);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samples, 10000 * 1152);
    EXPECT_EQ(f.size, 4000000);
    const int kbps = static_cast<int>(4000000.0 * 8 / (10000 * 1152 / 44.1));
    EXPECT_EQ(f.bitrate, kbps);
    EXPECT_EQ(f.description, "MPEG Plus SV-7 standard 44,100 kHz; 44100; " + std::to_string(kbps) + " Kbps; VBR");
}

TEST(MpcReader, Id3v1TagWrittenOnceAndReadBack) {
    TempDir dir;
    const auto path = dir / "c.mpc";
    fs::copy_file(testdata("mpc/click.mpc"), path);
    const auto size = fs::file_size(path);
    tags::TagRecord t;
    t.title = "Café";
    t.artist = "Someone";
    t.comments = "note";
    t.year = 2004;
    t.genre = 17;
    ASSERT_FALSE(writeMpcTag(path, t));
    ASSERT_FALSE(writeMpcTag(path, t));
    EXPECT_EQ(fs::file_size(path), size + 128);
    Facts f;
    tags::TagRecord back;
    ASSERT_TRUE(readMpc(path, f, back));
    EXPECT_EQ(back.title, "Café");
    EXPECT_EQ(back.artist, "Someone");
    EXPECT_EQ(back.comments, "note");
    EXPECT_EQ(back.year, 2004);
    EXPECT_EQ(back.genre, 17);
    EXPECT_EQ(f.size, static_cast<int32_t>(size + 128));
    EXPECT_EQ(f.duration, 78);
    // Not an MPEG Plus stream: nothing written, and the caller is told.
    writeBytes(dir / "x.mpc", std::vector<uint8_t>(300, 1));
    EXPECT_EQ(writeMpcTag(dir / "x.mpc", t), io::make_error_code(io::Error::Damaged));
    EXPECT_EQ(fs::file_size(dir / "x.mpc"), 300u);
    EXPECT_EQ(writeMpcTag(dir / "gone.mpc", t), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(dir / "gone.mpc"));
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
    ASSERT_TRUE(readMpc(testdata("mpc/full-tagged.mpc"), fa, ta));
    ASSERT_TRUE(readMpc(dir / "t.mpc", fb, tb));
    EXPECT_EQ(fb.description, fa.description);
    EXPECT_EQ(fb.duration, fa.duration);
    EXPECT_EQ(tb, ta);
    // A tag that claims more than the file holds is no tag: no stream either.
    tagged[7] = 0x7F;
    writeBytes(dir / "u.mpc", tagged);
    EXPECT_FALSE(mpc::readStreamInfo(dir / "u.mpc", b));
}

}  // namespace
}  // namespace qoro::audioinfo
