// WAV to MP3 end to end through the AudioFile component: SetFormatMP3,
// CreateFile(".mp3", MP3), WriteFile in 0.1 s blocks, CloseFile. Skipped while
// the component has no MP3 writer (CreateFile answers FORMATNOTSUPPORT).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio_file_session.h"
#include "mp3_check.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace t = qoro::test;
using qoro::com::Bstr;
using namespace mp3check;

namespace {

class Mp3ComponentTest : public t::AudioFileSession {
protected:
    // Creates the file; false (and a skip) while the component cannot write MP3.
    bool create(const t::fs::path& path) {
        Bstr name(path.string());
        af->CreateFile(name.get(), MP3);
        return err() != FORMATNOTSUPPORT;
    }
    void writeBlocks(const std::vector<int16_t>& pcm, size_t block) { writeAll(pcm, block); }
};

}  // namespace

TEST_F(Mp3ComponentTest, WavToMp3At128MatchesTheLameTool) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "lame");
    t::TempDir dir;
    const int rate = 44100;
    const auto pcm = t::testSignal(rate, 2, rate * 3);
    LONG align = 0;
    ASSERT_EQ(af->SetFormatMP3(rate, 128, 2, &align), S_OK);
    ASSERT_EQ(af->put_Mp3TypeEncoder(LAME), S_OK);
    const auto path = dir / "out.mp3";
    ASSERT_TRUE(create(path)) << "the component could not create an MP3";
    ASSERT_EQ(err(), 0);
    writeBlocks(pcm, 4410 * 2);
    ASSERT_EQ(af->CloseFile(), S_OK);

    const Probe info = probe(path);
    EXPECT_EQ(info.rate, "44100");
    EXPECT_EQ(info.channels, "2");
    EXPECT_EQ(info.bitrate, "128000");
    const auto bytes = t::readBytes(path);
    const auto fr = frames(bytes);
    ASSERT_GT(fr.size(), 100u);
    const Tag tag = tagOf(bytes, fr.front());
    EXPECT_TRUE(tag.present);
    EXPECT_EQ(tag.frameCount, fr.size() - 1);
    const auto decoded = decodeFfmpeg(path, dir / "out.raw");
    EXPECT_NEAR(double(decoded.size()), double(pcm.size()), 2.0 * 1152);

    // The lame tool on the same input with the component's settings
    // (stereo type SIMPLY, no low-pass filter, quality 5).
    t::writeWav16(dir / "in.wav", rate, 2, pcm);
    ASSERT_EQ(t::run("lame --quiet -b 128 -q 5 -m s --lowpass -1 " + t::shellQuote((dir / "in.wav").string()) + " " +
                     t::shellQuote((dir / "ref.mp3").string()))
                  .exitCode,
              0);
    const auto reference = decodeFfmpeg(dir / "ref.mp3", dir / "ref.raw");
    const double mine = t::snrDb(pcm, decoded);
    const double theirs = t::snrDb(pcm, reference);
    EXPECT_GT(mine, 10.0);
    EXPECT_NEAR(mine, theirs, 0.1) << "ours " << mine << " dB, lame " << theirs << " dB";
}

TEST_F(Mp3ComponentTest, CodecManagerPathAndItsRefusal) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "lame");
    t::TempDir dir;
    LONG align = 0;
    ASSERT_EQ(af->SetFormatMP3(44100, 128, 2, &align), S_OK);
    ASSERT_EQ(af->put_Mp3TypeEncoder(ACM_DRIVER_IN), S_OK);
    const auto path = dir / "acm.mp3";
    ASSERT_TRUE(create(path)) << "the component could not create an MP3";
    ASSERT_EQ(err(), 0);
    const auto pcm = t::testSignal(44100, 2, 44100);
    writeBlocks(pcm, 4410 * 2);
    ASSERT_EQ(af->CloseFile(), S_OK);
    const auto bytes = t::readBytes(path);
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0xFF, 0xFB, 0x90, 0x04}));
    const Probe info = probe(path);
    EXPECT_EQ(info.rate, "44100");
    const auto decoded = decodeFfmpeg(path, dir / "acm.raw");
    EXPECT_GE(decoded.size() + 1152u * 2, pcm.size());

    ASSERT_EQ(af->SetFormatMP3(44100, 160, 2, &align), S_OK);
    Bstr name((dir / "refused.mp3").string());
    af->CreateFile(name.get(), MP3);
    EXPECT_EQ(err(), FORMATFILE);
    EXPECT_FALSE(t::fs::exists(dir / "refused.mp3"));
}

TEST_F(Mp3ComponentTest, ReadWriteOnMp3IsRefused) {
    t::TempDir dir;
    t::writeBytes(dir / "x.mp3", std::vector<uint8_t>(4096, 0));
    Bstr name((dir / "x.mp3").string());
    af->OpenFile(name.get(), MP3, READWRITE);
    EXPECT_EQ(err(), INVALIDOPERATION);
}
