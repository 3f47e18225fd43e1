// WAV facts against ffprobe and the codec manager's names.
#include <gtest/gtest.h>

#include <cmath>

#include "acm/acm.h"
#include "fixtures.h"
#include "formats/readers.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

TEST(WavReader, PcmFactsFromTheDataChunk) {
    TempDir dir;
    const auto path = dir / "ten.wav";
    writeWav16(path, 44100, 2, std::vector<int16_t>(441000 * 2, 0));  // data: 1,764,000 bytes
    Facts f;
    tags::TagRecord t;
    tags::CueList cues;
    ASSERT_TRUE(readWav(path, f, t, cues));
    EXPECT_EQ(f.samples, 441000);
    EXPECT_EQ(f.duration, 10000);
    EXPECT_EQ(f.bitrate, 1411200);
    EXPECT_EQ(f.formatTag, 1);
    EXPECT_EQ(f.bitsPerSample, 16);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.frequency, 44100);
    EXPECT_EQ(f.size, 1764044);
    const acm::WAVEFORMATEX pcm = acm::makePcmFormat(44100, 2, 16);
    EXPECT_EQ(f.description, acm::describe(acm::asBytes(pcm)));
    EXPECT_EQ(f.description.rfind("PCM ", 0), 0u) << f.description;
}

struct Codec {
    const char* name;
    int rate;
    int channels;
    int formatTag;
    int bits;  // of the PCM equivalent
};

class WavCodecs : public ::testing::TestWithParam<Codec> {};

// Rate, channels, duration and bitrate of compressed WAV files against ffprobe;
// rate, channels and bits are those of the PCM equivalent.
TEST_P(WavCodecs, FactsMatchFfprobe) {
    const Codec c = GetParam();
    TempDir dir;
    const auto path = dir / "coded.wav";
    ASSERT_TRUE(info::ffmpegSine(path, 3.0, c.rate, c.channels, std::string("-c:a ") + c.name));
    Facts f;
    tags::TagRecord t;
    tags::CueList cues;
    ASSERT_TRUE(readWav(path, f, t, cues));
    const auto p = info::probe(path);
    EXPECT_EQ(f.formatTag, c.formatTag);
    EXPECT_EQ(f.frequency, static_cast<int>(info::number(p, "sample_rate")));
    EXPECT_EQ(f.channels, static_cast<int>(info::number(p, "channels")));
    EXPECT_EQ(f.bitsPerSample, c.bits);
    EXPECT_EQ(f.bitrate, static_cast<int>(info::number(p, "bit_rate")));
    // Whole coded blocks only: within one block (at most 2048 samples) of ffprobe.
    const double ms = info::number(p, "duration") * 1000.0;
    EXPECT_NEAR(f.duration, ms, 2048.0 * 1000.0 / c.rate + 1) << c.name;
    EXPECT_NEAR(f.samples, std::lround(ms * c.rate / 1000.0), 2048) << c.name;
    EXPECT_FALSE(f.description.empty());
}

INSTANTIATE_TEST_SUITE_P(Codecs, WavCodecs,
                         ::testing::Values(Codec{"pcm_alaw", 8000, 1, 6, 16}, Codec{"pcm_mulaw", 8000, 2, 7, 16},
                                           Codec{"adpcm_ima_wav", 22050, 1, 17, 16},
                                           Codec{"adpcm_ms", 22050, 2, 2, 16}, Codec{"gsm_ms", 8000, 1, 49, 16},
                                           Codec{"pcm_u8", 11025, 1, 1, 8}),
                         [](const ::testing::TestParamInfo<Codec>& p) { return std::string(p.param.name); });

// What DAWs and converters write beyond 16-bit stereo: WAVE_FORMAT_EXTENSIBLE
// with 24 bits or more than two channels, chunks after "data".
TEST(WavReader, ExtensibleAndTwentyFourBitFilesMatchFfprobe) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox", "ffprobe");
    TempDir dir;
    const auto sox24 = dir / "sox24.wav", ff24 = dir / "ff24.wav", six = dir / "six.wav";
    ASSERT_TRUE(info::make("sox -n -r 48000 -c 2 -b 24 " + shellQuote(sox24.string()) + " synth 2 sine 440"));
    ASSERT_TRUE(info::ffmpegSine(ff24, 2.0, 96000, 2, "-c:a pcm_s24le"));
    ASSERT_TRUE(info::ffmpegSine(six, 1.0, 44100, 6, "-c:a pcm_s16le"));
    for (const auto& path : {sox24, ff24, six}) {
        SCOPED_TRACE(path.filename().string());
        const auto bytes = readBytes(path);
        ASSERT_GT(bytes.size(), 22u);
        EXPECT_EQ(bytes[20] | (bytes[21] << 8), 0xFFFE);  // extensible
        Facts f;
        tags::TagRecord t;
        tags::CueList cues;
        ASSERT_TRUE(readWav(path, f, t, cues));
        const auto p = info::probe(path);
        EXPECT_EQ(f.frequency, static_cast<int>(info::number(p, "sample_rate")));
        EXPECT_EQ(f.channels, static_cast<int>(info::number(p, "channels")));
        EXPECT_EQ(f.bitrate, static_cast<int>(info::number(p, "bit_rate")));
        EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 1.0);
        EXPECT_EQ(f.formatTag, 0xFFFE);
        EXPECT_EQ(f.samples, std::lround(info::number(p, "duration") * f.frequency)) << f.description;
    }
}

TEST(WavReader, FormatWithoutADriverIsNotReadable) {
    TempDir dir;
    const auto path = dir / "truespeech.wav";
    writeWav16(path, 8000, 1, std::vector<int16_t>(800, 0));
    auto bytes = readBytes(path);
    bytes[20] = 0x22;  // format tag 34: no driver installed
    writeBytes(path, bytes);
    Facts f;
    tags::TagRecord t;
    tags::CueList cues;
    EXPECT_FALSE(readWav(path, f, t, cues));
}

TEST(WavReader, ProbeTellsRiffWaveFromOtherFiles) {
    TempDir dir;
    writeWav16(dir / "a.wav", 8000, 1, std::vector<int16_t>(80, 0));
    writeBytes(dir / "b.wav", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '});
    EXPECT_EQ(probeWav(dir / "a.wav"), 1);
    EXPECT_EQ(probeWav(dir / "b.wav"), 0);
    EXPECT_EQ(probeWav(dir / "missing.wav"), -2);
}

}  // namespace
}  // namespace qoro::audioinfo
