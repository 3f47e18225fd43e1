// MP2 writing through the AudioFile component: SetFormatMP2, CreateFile of
// type MP2, WriteFile in 0.1 s blocks, CloseFile; the file as ffprobe,
// ffmpeg and our decoder see it.
#include <gtest/gtest.h>

#include <filesystem>

#include "audio_file_session.h"
#include "mp2_check.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace qoro::test {
namespace {

class Mp2ComponentTest : public AudioFileSession {
protected:
    std::string formatString() {
        BSTR b = nullptr;
        EXPECT_EQ(af->get_FormatString(&b), S_OK);
        const std::string s = com::utf8FromBstr(b);
        SysFreeString(b);
        return s;
    }
    // ffprobe's rate, channels and bit rate of the first audio stream.
    std::string probe(const fs::path& file) {
        return run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,bit_rate "
                   "-of csv=p=0 " +
                   shellQuote(file.string()))
            .output;
    }
};

TEST_F(Mp2ComponentTest, StereoFileKeepsThePartialLastFrame) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg");
    TempDir dir;
    const int rate = 44100;
    const int frames = rate * 2 + 1234;  // not a whole number of MPEG frames
    const auto pcm = testSignal(rate, 2, frames, 0.4);
    LONG align = 0;
    ASSERT_EQ(af->SetFormatMP2(rate, 128, 2, &align), S_OK);
    const fs::path path = dir / "out.mp2";
    ASSERT_TRUE(create(path.string(), MP2));
    ASSERT_EQ(err(), 0);
    EXPECT_EQ(formatString(), "MPEG2 44,100 kHz; Stereo; 128 Kbps; ");
    writeAll(pcm, 4410 * 2);
    EXPECT_EQ(err(), 0);
    ASSERT_EQ(af->CloseFile(), S_OK);
    EXPECT_EQ(err(), 0);

    EXPECT_EQ(probe(path), "44100,2,128000\n");
    const auto bytes = readBytes(path);
    const auto headers = mp2Headers(bytes);  // nothing but frames
    // The partial last frame, and silence until the filter banks' delay of
    // 481 samples has passed.
    const size_t expectedFrames = (size_t(frames) + 481 + 1151) / 1152;
    EXPECT_EQ(headers.size(), expectedFrames);
    const auto decoded = decodeWith("ffmpeg", path, dir / "out.raw");
    EXPECT_EQ(decoded.size(), expectedFrames * 1152 * 2);
    // Every written sample is in the file, the tail included.
    ASSERT_GE(decoded.size(), pcm.size() + 481 * 2);
    EXPECT_GT(snrDb(pcm, decoded, 481 * 2), 20.0);
    const std::vector<int16_t> tail(pcm.end() - 1000 * 2, pcm.end());
    const std::vector<int16_t> decodedTail(decoded.begin() + long(pcm.size()) - 1000 * 2 + 481 * 2,
                                           decoded.begin() + long(pcm.size()) + 481 * 2);
    EXPECT_GT(snrDb(tail, decodedTail), 15.0);
}

TEST_F(Mp2ComponentTest, MonoAndJointStereoAtLowRates) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg");
    TempDir dir;
    struct Case {
        LONG rate, kbps;
        SHORT mode;
        const char* probed;
        int mpegMode;
    };
    const Case cases[] = {{22050, 64, 1, "22050,1,64000\n", 3},
                          {24000, 96, 3, "24000,2,96000\n", 1},
                          {32000, 192, 4, "32000,2,192000\n", 2},
                          {48000, 160, 2, "48000,2,160000\n", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.probed);
        LONG align = 0;
        ASSERT_EQ(af->SetFormatMP2(c.rate, c.kbps, c.mode, &align), S_OK);
        const fs::path path = dir / "low.mp2";
        ASSERT_TRUE(create(path.string(), MP2));
        // The caller's array format is stereo 44.1 kHz: the engine converts.
        ASSERT_EQ(af->SetFormatArray(44100, 2), S_OK);
        writeAll(testSignal(44100, 2, 44100, 0.4), 4410 * 2);
        ASSERT_EQ(af->CloseFile(), S_OK);
        EXPECT_EQ(err(), 0);
        EXPECT_EQ(probe(path), c.probed);
        const auto headers = mp2Headers(readBytes(path));
        ASSERT_FALSE(headers.empty());
        EXPECT_EQ(headers[0].mode, c.mpegMode);
        const auto crc =
            run("ffmpeg -v error -err_detect crccheck+explode -i " + shellQuote(path.string()) + " -f null - 2>&1");
        EXPECT_EQ(crc.exitCode, 0);
        EXPECT_EQ(crc.output, "");
    }
}

// The encoder's refusal is the caller's to show: the error information
// carries it, the host's standard error gets nothing.
TEST_F(Mp2ComponentTest, RefusedSettingsLeaveNoFile) {
    TempDir dir;
    const struct {
        LONG rate, kbps;
        const char* cause;
    } refused[] = {{11025, 64, "SmpFrqIndex: 11025 is not a legal sample rate"},
                   {44100, 100, "BitrateIndex: 100 (HEADER 1) is not a legal bitrate"},
                   {22050, 320, "BitrateIndex: 320 (HEADER 0) is not a legal bitrate"}};
    for (const auto& r : refused) {
        LONG align = 0;
        ASSERT_EQ(af->SetFormatMP2(r.rate, r.kbps, 2, &align), S_OK);
        const fs::path path = dir / "refused.mp2";
        testing::internal::CaptureStderr();
        com::Bstr name(path.string());
        EXPECT_EQ(af->CreateFile(name.get(), MP2), S_OK);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err(), FORMATNOTSUPPORT);
        EXPECT_EQ(com::takeErrorDescription(), r.cause);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(said, "");
    }
}

}  // namespace
}  // namespace qoro::test
