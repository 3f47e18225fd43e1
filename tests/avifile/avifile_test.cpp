// The AVI stand-in: stream lookup by type, stream header and format, samples
// read by number through the index or the "movi" list, hostile files.
#include <gtest/gtest.h>

#include <cstring>

#include "avifile/avifile.h"
#include "test_support.h"

namespace qoro::avifile {
namespace {

using namespace qoro::test;

// A 16-bit mono PCM sound track of 'seconds' with a video stream first.
fs::path makeAvi(const TempDir& dir, const std::string& name, bool withVideo) {
    const auto wav = dir / "src.wav";
    writeWav16(wav, 16000, 1, testSignal(16000, 1, 16000));
    const auto avi = dir / name;
    std::string cmd = "ffmpeg -nostdin -v error -y ";
    if (withVideo) cmd += "-f lavfi -i testsrc=size=32x32:rate=5:duration=1 ";
    cmd += "-i " + shellQuote(wav.string()) + (withVideo ? " -c:v mjpeg" : "") + " -c:a pcm_s16le " +
           shellQuote(avi.string());
    EXPECT_EQ(run(cmd).exitCode, 0) << cmd;
    return avi;
}

std::vector<uint8_t> samplesOf(const fs::path& wav) {
    const auto b = readBytes(wav);
    return std::vector<uint8_t>(b.begin() + 44, b.end());
}

TEST(AviFile, AudioStreamAfterVideoReadsTheSourceSamples) {
    TempDir dir;
    const auto avi = makeAvi(dir, "av.avi", true);
    File f;
    ASSERT_TRUE(f.open(avi));
    EXPECT_EQ(f.streamCount(), 2u);
    auto audio = f.stream(kStreamTypeAudio, 0);
    ASSERT_TRUE(audio);
    EXPECT_FALSE(f.stream(kStreamTypeAudio, 1));
    EXPECT_TRUE(f.stream(kStreamTypeVideo, 0));
    EXPECT_EQ(audio->info().length, 16000u);
    EXPECT_EQ(audio->info().sampleSize, 2u);
    EXPECT_EQ(audio->info().rate / audio->info().scale, 16000u);
    ASSERT_GE(audio->format().size(), 16u);
    EXPECT_EQ(audio->format()[0], 1);  // PCM

    const auto expected = samplesOf(dir / "src.wav");
    std::vector<uint8_t> all(expected.size() + 100);
    size_t bytes = 0;
    EXPECT_EQ(audio->read(0, 1u << 30, all, &bytes), 16000);
    all.resize(bytes);
    EXPECT_EQ(all, expected);
    // From the middle, across chunk boundaries, and past the end.
    std::vector<uint8_t> part(2 * 5000);
    EXPECT_EQ(audio->read(7777, 5000, part), 5000);
    EXPECT_EQ(0, std::memcmp(part.data(), expected.data() + 2 * 7777, part.size()));
    EXPECT_EQ(audio->read(15990, 100, part), 10);
    EXPECT_EQ(audio->read(16000, 100, part), 0);
}

TEST(AviFile, WithoutIndexTheMoviListIsWalked) {
    TempDir dir;
    const auto avi = makeAvi(dir, "a.avi", false);
    auto bytes = readBytes(avi);
    // Rename "idx1" so that it is no index any more.
    for (size_t i = 0; i + 4 <= bytes.size(); ++i)
        if (std::memcmp(&bytes[i], "idx1", 4) == 0) std::memcpy(&bytes[i], "junk", 4);
    writeBytes(dir / "noindex.avi", bytes);
    File f;
    ASSERT_TRUE(f.open(dir / "noindex.avi"));
    auto audio = f.stream(kStreamTypeAudio, 0);
    ASSERT_TRUE(audio);
    std::vector<uint8_t> all(40000);
    size_t got = 0;
    EXPECT_EQ(audio->read(0, 16000, all, &got), 16000);
    all.resize(got);
    EXPECT_EQ(all, samplesOf(dir / "src.wav"));
}

TEST(AviFile, HostileFilesFailCleanly) {
    TempDir dir;
    const auto avi = makeAvi(dir, "a.avi", false);
    const auto good = readBytes(avi);
    File f;
    EXPECT_FALSE(f.open(dir / "missing.avi"));
    writeBytes(dir / "wav.avi", readBytes(dir / "src.wav"));
    EXPECT_FALSE(f.open(dir / "wav.avi"));
    // Cut at every 97th byte, and with sizes overwritten by huge values.
    for (size_t cut = 0; cut < good.size(); cut += 97) {
        writeBytes(dir / "cut.avi", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
        if (f.open(dir / "cut.avi")) {
            if (auto s = f.stream(kStreamTypeAudio, 0)) {
                std::vector<uint8_t> buf(4096);
                EXPECT_GE(s->read(0, 2048, buf), 0);
            }
        }
    }
    for (size_t at = 4; at + 4 < 400; at += 4) {
        auto bad = good;
        std::memset(&bad[at], 0xFF, 4);
        writeBytes(dir / "bad.avi", bad);
        if (f.open(dir / "bad.avi"))
            if (auto s = f.stream(kStreamTypeAudio, 0)) {
                std::vector<uint8_t> buf(4096);
                s->read(0, 2048, buf);
            }
    }
}

}  // namespace
}  // namespace qoro::avifile
