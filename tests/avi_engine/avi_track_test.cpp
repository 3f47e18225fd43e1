// The AVI sound-track container driven the way the engine drives it: AVIs
// written by ffmpeg with PCM (16 and 8 bit), IMA and Microsoft ADPCM and MP3
// sound read to the samples ffmpeg decodes from the same stream; the same
// without an index; seeks by stream position; bad and lying files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "containers/avi_track.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

namespace qa = qoro::audiofile;
namespace qt = qoro::test;

namespace {

std::vector<uint8_t> readAll(qa::Track& t, uint64_t step) {
    std::vector<uint8_t> out;
    for (int guard = 0; guard < 100000 && t.sourceLeft() > 0; ++guard) {
        uint64_t s = std::max<uint64_t>(t.sourceFor(step), 1);
        s = std::min(s, t.sourceLeft());
        const int32_t n = t.decode(s, out);
        EXPECT_GE(n, 0);
        if (n <= 0) break;
    }
    return out;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& b) {
    std::vector<int16_t> s(b.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
    return s;
}

class AviTrack : public ::testing::Test {
protected:
    void SetUp() override {
        QORO_REQUIRE_TOOLS("ffmpeg");
        qt::writeWav16(dir_ / "in.wav", 22050, 2, qt::testSignal(22050, 2, 22050));
        qt::writeWav16(dir_ / "mono.wav", 22050, 1, qt::testSignal(22050, 1, 22050));
    }
    std::string q(const std::string& name) const { return qt::shellQuote((dir_ / name).string()); }
    std::string p(const std::string& name) const { return (dir_ / name).string(); }
    void sh(const std::string& cmd) {
        const auto r = qt::run(cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    }
    // A tiny video with the sound of `wav` in `codec`.
    void makeAvi(const std::string& name, const std::string& codec, const std::string& wav = "in.wav") {
        sh("ffmpeg -v error -y -f lavfi -i color=c=black:s=16x16:r=5 -i " + q(wav) + " -shortest -c:v mjpeg -c:a " +
           codec + " " + q(name));
    }
    // ffmpeg's decode of the sound stream, in `format` (s16le or u8).
    std::vector<uint8_t> ffmpegDecode(const std::string& name, const std::string& format = "s16le") {
        sh("ffmpeg -v error -y -i " + q(name) + " -map 0:a:0 -f " + format + " " + q(name + ".raw"));
        return qt::readBytes(dir_ / (name + ".raw"));
    }
    std::unique_ptr<qa::Track> open(const std::string& name, int16_t expect = qa::status::kOk) {
        std::unique_ptr<qa::Track> t;
        EXPECT_EQ(qa::openAvi({p(name), AVI, false, &settings_}, t), expect) << name;
        return t;
    }

    qt::TempDir dir_;
    qa::EngineSettings settings_;
};

TEST_F(AviTrack, PcmAndAdpcmReadExactlyAsFfmpegDecodesThem) {
    struct Case {
        const char* codec;
        const char* format;
        uint16_t tag;
        uint16_t bits;
    };
    for (const Case c : {Case{"pcm_s16le", "s16le", 1, 16}, Case{"pcm_u8", "u8", 1, 8},
                         Case{"adpcm_ima_wav", "s16le", 0x11, 16}, Case{"adpcm_ms", "s16le", 2, 16}}) {
        SCOPED_TRACE(c.codec);
        const std::string name = std::string(c.codec) + ".avi";
        makeAvi(name, c.codec);
        const auto ref = ffmpegDecode(name, c.format);
        auto t = open(name);
        ASSERT_TRUE(t);
        EXPECT_EQ(qa::tagOf(t->fullFormat()), c.tag);
        EXPECT_EQ(t->fileFormat().wBitsPerSample, c.bits);
        EXPECT_EQ(t->fileFormat().nChannels, 2);
        EXPECT_EQ(t->fileFormat().nSamplesPerSec, 22050u);
        EXPECT_EQ(t->describe().rfind("AVI: ", 0), 0u) << t->describe();
        // ADPCM: the last block may be partly filled; the stream's own length
        // in whole blocks is what both decoders deliver.
        const auto got = readAll(*t, 3000);
        EXPECT_EQ(got.size(), t->decodedLength());
        ASSERT_GE(ref.size(), got.size());
        EXPECT_GE(got.size() + 2 * 2048 * 4, ref.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), ref.begin())) << "first samples differ";

        // A seek to the middle (whole blocks) reads the matching samples.
        const uint64_t block = qa::headerOf(t->fullFormat()).nBlockAlign;
        qa::SeekResult sr;
        const uint64_t mid = t->decodedLength() / 2;
        ASSERT_EQ(t->seek({mid, 0, false, t->fileFormat(), t->fileFormat()}, sr), qa::status::kOk);
        // Within one block of the target (compressed sound: a block start).
        const uint64_t blockPcm = std::max<uint64_t>(t->decodedFor(block), 1);
        EXPECT_LT(sr.fileBytes > mid ? sr.fileBytes - mid : mid - sr.fileBytes, blockPcm + 1);
        if (c.tag != 1) {
            EXPECT_EQ(sr.fileBytes % blockPcm, 0u);
        }
        const auto tail = readAll(*t, 5000);
        EXPECT_EQ(sr.fileBytes + tail.size(), got.size());
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.begin() + static_cast<long>(sr.fileBytes)));
        ASSERT_EQ(t->seek({t->decodedLength(), 0, false, t->fileFormat(), t->fileFormat()}, sr), qa::status::kOk);
        EXPECT_TRUE(readAll(*t, 5000).empty());
        EXPECT_LT(t->encode(got.data(), 4), 0);  // read only
        EXPECT_EQ(t->finish(0), qa::status::kOk);
    }
}

TEST_F(AviTrack, MonoPcmLengthIsTheStreamLength) {
    makeAvi("mono.avi", "pcm_s16le", "mono.wav");
    auto t = open("mono.avi");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->fileFormat().nChannels, 1);
    EXPECT_EQ(t->decodedLength(), 22050u * 2);
    EXPECT_EQ(samplesOf(readAll(*t, 4410)), samplesOf(ffmpegDecode("mono.avi")));
}

TEST_F(AviTrack, WithoutAnIndexTheMoviListIsWalked) {
    makeAvi("a.avi", "adpcm_ima_wav");
    auto bytes = qt::readBytes(dir_ / "a.avi");
    const auto it = std::search(bytes.begin(), bytes.end(), std::begin("idx1"), std::end("idx1") - 1);
    ASSERT_NE(it, bytes.end());
    std::memcpy(&*it, "JUNK", 4);
    qt::writeBytes(dir_ / "noindex.avi", bytes);
    auto a = open("a.avi");
    auto b = open("noindex.avi");
    ASSERT_TRUE(a && b);
    const auto withIndex = readAll(*a, 7000);
    EXPECT_FALSE(withIndex.empty());
    EXPECT_EQ(readAll(*b, 7000), withIndex);
}

TEST_F(AviTrack, Mp3SoundDecodesThroughTheCodecManager) {
    makeAvi("mp3.avi", "libmp3lame -b:a 128k");
    const auto ref = samplesOf(ffmpegDecode("mp3.avi"));
    auto t = open("mp3.avi");
    ASSERT_TRUE(t) << "no Layer-3 driver";
    EXPECT_EQ(qa::tagOf(t->fullFormat()), 0x55);
    const auto got = samplesOf(readAll(*t, 8192));
    ASSERT_FALSE(got.empty());
    // Two decoders of the same frames: aligned, they agree closely.
    double best = -1e9;
    long bestOffset = 0;
    for (long off = -1200; off <= 1200; off += 2) {
        const double snr =
            off >= 0 ? qt::snrDb(ref, std::vector<int16_t>(
                                          got.begin() + std::min<long>(off, static_cast<long>(got.size())), got.end()))
                     : qt::snrDb(std::vector<int16_t>(ref.begin() + std::min<long>(-off, static_cast<long>(ref.size())),
                                                      ref.end()),
                                 got);
        if (snr > best) best = snr, bestOffset = off;
    }
    std::printf("MP3 in AVI: %zu samples (ffmpeg %zu), SNR against ffmpeg %.1f dB at offset %ld\n", got.size(),
                ref.size(), best, bestOffset);
    EXPECT_GT(best, 30.0);
    EXPECT_NEAR(static_cast<double>(got.size()), static_cast<double>(ref.size()), 2 * 1152 * 2 + 1200.0);
}

TEST_F(AviTrack, BadFilesFailCleanly) {
    std::unique_ptr<qa::Track> t;
    EXPECT_EQ(qa::openAvi({p("missing.avi"), AVI, false, &settings_}, t), qa::status::kFileAccess);
    qt::writeBytes(dir_ / "junk.avi", std::vector<uint8_t>(3000, 0x41));
    EXPECT_EQ(qa::openAvi({p("junk.avi"), AVI, false, &settings_}, t), qa::status::kFormatFile);
    sh("ffmpeg -v error -y -f lavfi -i color=c=black:s=16x16:r=5 -t 1 -c:v mjpeg " + q("video.avi"));
    EXPECT_EQ(qa::openAvi({p("video.avi"), AVI, false, &settings_}, t), qa::status::kFormatFile);
    EXPECT_FALSE(t);

    makeAvi("good.avi", "adpcm_ms");
    const auto good = qt::readBytes(dir_ / "good.avi");
    EXPECT_EQ(qa::openAvi({p("good.avi"), AVI, true, &settings_}, t), qa::status::kInvalidOperation);

    // Cut short: reads stop early. Index offsets pointing outside the file:
    // those chunks are not read. A zero block alignment: refused.
    auto expectSafe = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        SCOPED_TRACE(name);
        qt::writeBytes(dir_ / name, bytes);
        std::unique_ptr<qa::Track> r;
        if (qa::openAvi({p(name), AVI, false, &settings_}, r) != qa::status::kOk) return;
        const auto got = readAll(*r, 4096);
        EXPECT_LE(got.size(), r->decodedLength());
    };
    expectSafe("cut.avi", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(good.size() / 2)));
    auto lying = good;
    const auto idx = std::search(lying.begin(), lying.end(), std::begin("idx1"), std::end("idx1") - 1);
    ASSERT_NE(idx, lying.end());
    for (auto e = idx + 8; e + 16 <= lying.end(); e += 16) {
        const uint32_t far = 0x7ffffff0;
        std::memcpy(&*(e + 8), &far, 4);
    }
    expectSafe("lying.avi", lying);
    auto zero = good;
    const auto strf = std::search(zero.begin(), zero.end(), std::begin("strf"), std::end("strf") - 1,
                                  [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    // The second "strf" is the sound's (the first is the video's).
    const auto strf2 = std::search(strf + 4, zero.end(), std::begin("strf"), std::end("strf") - 1,
                                   [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    ASSERT_NE(strf2, zero.end());
    zero[static_cast<size_t>(strf2 - zero.begin()) + 8 + 12] = 0;  // nBlockAlign
    zero[static_cast<size_t>(strf2 - zero.begin()) + 8 + 13] = 0;
    qt::writeBytes(dir_ / "zero.avi", zero);
    EXPECT_EQ(qa::openAvi({p("zero.avi"), AVI, false, &settings_}, t), qa::status::kFormatFile);
    // Every prefix of a header: no crash, no out-of-bounds access.
    for (size_t n = 0; n < 600; n += 13)
        expectSafe("prefix.avi", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(n)));
}

}  // namespace
