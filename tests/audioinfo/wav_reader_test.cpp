// WAV facts against ffprobe and the codec manager's names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "acm/acm.h"
#include "fixtures.h"
#include "readers/readers.h"

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
                                           Codec{"adpcm_ima_wav", 22050, 1, 17, 16}, Codec{"adpcm_ms", 22050, 2, 2, 16},
                                           Codec{"gsm_ms", 8000, 1, 49, 16}, Codec{"pcm_u8", 11025, 1, 1, 8}),
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

// Files whose sizes do not describe them: written to a pipe (ffmpeg: sizes
// 0xFFFFFFFF; sox: sizes promising 2 GiB), cut short, "RF64". Their sample
// count is what the file holds, as ffmpeg decodes it (whole blocks only for
// block codecs), and the duration follows from it.
TEST(WavReader, StreamedAndCutShortFilesCountTheSamplesTheyHold) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    TempDir dir;
    const auto src = dir / "src.wav";
    writeWav16(src, 48000, 2, testSignal(48000, 2, 36001));
    const std::string in = shellQuote(src.string());
    struct Case {
        const char* name;
        std::string pipeline;  // writes the file to stdout
        int channels;
        bool blockCodec;
        long cutAt;  // bytes of samples kept, 0 for the whole file
    };
    const Case cases[] = {
        {"ffmpeg_s16", "ffmpeg -v error -i " + in + " -f wav -", 2, false, 0},
        {"ffmpeg_s24_extensible", "ffmpeg -v error -i " + in + " -c:a pcm_s24le -f wav -", 2, false, 0},
        {"ffmpeg_six_channels", "ffmpeg -v error -i " + in + " -ac 6 -f wav -", 6, false, 0},
        {"sox_s24", "sox -V1 " + in + " -t s16 - | sox -V1 -t s16 -r 48000 -c 2 - -b 24 -t wav -", 2, false, 0},
        {"ffmpeg_rf64", "ffmpeg -v error -i " + in + " -rf64 always -y rf.wav && cat rf.wav", 2, false, 0},
        {"sox_cut", "sox -V1 " + in + " -t wav -", 2, false, 4 * 20000 + 3},
        {"ffmpeg_ima_cut", "ffmpeg -v error -i " + in + " -c:a adpcm_ima_wav -f wav -", 2, true, 4096 * 3 + 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / (std::string(c.name) + ".wav");
        ASSERT_TRUE(info::make("cd " + shellQuote(dir.path().string()) + " && " + c.pipeline + " | cat > " +
                               shellQuote(file.string())));
        if (c.cutAt > 0) {
            auto bytes = readBytes(file);
            const auto at = std::search(bytes.begin() + 12, bytes.end(), "data", "data" + 4);
            ASSERT_NE(at, bytes.end());
            bytes.resize(static_cast<size_t>(at - bytes.begin()) + 8 + static_cast<size_t>(c.cutAt));
            writeBytes(file, bytes);
        }
        const auto decoded = dir / "ref.s16";
        // A cut inside a frame makes ffmpeg report the partial packet it drops.
        run("ffmpeg -v error -y -i " + shellQuote(file.string()) + " -f s16le " + shellQuote(decoded.string()));
        long frames = static_cast<long>(readPcm16(decoded).size()) / c.channels;
        EXPECT_GT(frames, 0);
        if (c.blockCodec) {  // ffmpeg decodes the partial block too; only whole blocks count
            const auto bytes = readBytes(file);
            const int block = bytes[32] | bytes[33] << 8, perBlock = bytes[38] | bytes[39] << 8;
            frames = c.cutAt / block * perBlock;
        }
        Facts f;
        tags::TagRecord t;
        tags::CueList cues;
        ASSERT_TRUE(readWav(file, f, t, cues));
        EXPECT_EQ(f.samples, frames);
        EXPECT_EQ(f.channels, c.channels);
        EXPECT_EQ(f.frequency, 48000);
        EXPECT_EQ(f.duration, std::lround(frames * 1000.0 / 48000));
        EXPECT_EQ(f.size, static_cast<int32_t>(fs::file_size(file)));
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
