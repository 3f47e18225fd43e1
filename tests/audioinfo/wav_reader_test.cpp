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

Facts wavFacts(const fs::path& path) {
    Facts f;
    tags::TagRecord t;
    tags::CueList cues;
    EXPECT_TRUE(readWav(path, f, t, cues)) << path.filename();
    return f;
}

struct DeepFile {
    const char* name;
    const char* make;  // writes OUT
    int storedTag;     // the format tag as stored
    bool isFloat;
};

class WavDeepSamples : public ::testing::TestWithParam<DeepFile> {};

// What DAWs, sox and ffmpeg write beyond 16 bits: 24- and 32-bit integers,
// 32- and 64-bit floats, plain or WAVE_FORMAT_EXTENSIBLE, and more channels
// than the codec manager takes. Rate, channels, bits, sample frames and
// duration as soxi gives them, the bitrate and duration as ffprobe's.
TEST_P(WavDeepSamples, FactsMatchSoxiAndFfprobe) {
    QORO_REQUIRE_TOOLS("sox", "soxi", "ffmpeg", "ffprobe");
    const DeepFile c = GetParam();
    TempDir dir;
    const auto path = dir / (std::string(c.name) + ".wav");
    std::string cmd = c.make;
    cmd.replace(cmd.find("OUT"), 3, shellQuote(path.string()));
    ASSERT_TRUE(info::make(cmd));
    const auto bytes = readBytes(path);
    ASSERT_GT(bytes.size(), 44u);
    EXPECT_EQ(bytes[20] | bytes[21] << 8, c.storedTag);
    const Facts f = wavFacts(path);
    EXPECT_EQ(f.formatTag, c.storedTag);
    EXPECT_EQ(f.bitsPerSample, info::soxi("-b", path));
    EXPECT_EQ(f.frequency, info::soxi("-r", path));
    EXPECT_EQ(f.channels, info::soxi("-c", path));
    EXPECT_EQ(f.samples, info::soxi("-s", path));
    EXPECT_NEAR(f.duration, info::soxi("-D", path) * 1000.0, 0.5);
    const auto p = info::probe(path);
    EXPECT_EQ(f.bitrate, static_cast<int>(info::number(p, "bit_rate")));
    EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 0.5);
    const std::string kind = c.isFloat ? "IEEE Float " : "PCM ";
    EXPECT_EQ(f.description.rfind(kind, 0), 0u) << f.description;
    EXPECT_NE(f.description.find(" " + std::to_string(f.bitsPerSample) + " Bit, "), std::string::npos) << f.description;
    EXPECT_EQ(probeWav(path), 1);
}

#define QORO_SINE "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate="
INSTANTIATE_TEST_SUITE_P(
    Writers, WavDeepSamples,
    ::testing::Values(
        DeepFile{"sox_s24", "sox -n -r 48000 -c 2 -b 24 OUT synth 2 sine 440", 0xFFFE, false},
        DeepFile{"sox_s32", "sox -n -r 44100 -c 2 -b 32 -e signed OUT synth 1.5 sine 440", 0xFFFE, false},
        DeepFile{"sox_f32_mono", "sox -n -r 44100 -c 1 -b 32 -e float OUT synth 1.5 sine 440", 3, true},
        DeepFile{"sox_f64", "sox -n -r 22050 -c 2 -b 64 -e float OUT synth 1.25 sine 440", 3, true},
        DeepFile{"sox_f32_12_channels", "sox -n -r 16000 -c 12 -b 32 -e float OUT synth 0.5 sine 300", 3, true},
        DeepFile{"sox_s16_10_channels", "sox -n -r 8000 -c 10 -b 16 OUT synth 0.5 sine 300", 0xFFFE, false},
        DeepFile{"ffmpeg_s24_8_channels", QORO_SINE "44100:duration=1 -ac 8 -c:a pcm_s24le OUT", 0xFFFE, false},
        DeepFile{"ffmpeg_s32", QORO_SINE "44100:duration=1 -ac 2 -c:a pcm_s32le OUT", 0xFFFE, false},
        DeepFile{"ffmpeg_f32", QORO_SINE "44100:duration=1 -ac 2 -c:a pcm_f32le OUT", 0xFFFE, true},
        DeepFile{"ffmpeg_f64_mono", QORO_SINE "32000:duration=0.7 -ac 1 -c:a pcm_f64le OUT", 0xFFFE, true}),
    [](const ::testing::TestParamInfo<DeepFile>& p) { return std::string(p.param.name); });
#undef QORO_SINE

// An extensible file with 20 valid bits in 24-bit containers, which sox
// refuses to open, reports the container's 24 bits, as ffprobe does, and
// the same frames as the file it was made from.
TEST(WavReader, PaddedExtensibleSamplesReportTheContainerBits) {
    QORO_REQUIRE_TOOLS("sox", "soxi", "ffprobe");
    TempDir dir;
    const auto src = dir / "s24.wav", padded = dir / "valid20.wav";
    ASSERT_TRUE(info::make("sox -n -r 48000 -c 2 -b 24 " + shellQuote(src.string()) + " synth 2 sine 440"));
    auto bytes = readBytes(src);
    ASSERT_EQ(bytes[20] | bytes[21] << 8, 0xFFFE);
    ASSERT_EQ(bytes[36] | bytes[37] << 8, 22);  // cbSize of the extensible record
    bytes[38] = 20;
    bytes[39] = 0;  // wValidBitsPerSample
    writeBytes(padded, bytes);
    EXPECT_LT(info::soxi("-b", padded), 0) << "sox now reads padded samples: take its bits as the reference";
    const Facts f = wavFacts(padded);
    const auto p = info::probe(padded);
    const CommandResult bits = run("ffprobe -v error -show_entries stream=bits_per_sample -of default=nw=1:nk=1 " +
                                   shellQuote(padded.string()));
    EXPECT_EQ(f.bitsPerSample, std::atoi(bits.output.c_str()));
    EXPECT_EQ(f.bitsPerSample, 24);
    EXPECT_EQ(f.bitrate, static_cast<int>(info::number(p, "bit_rate")));
    EXPECT_EQ(f.samples, 96000);
    EXPECT_EQ(f.samples, wavFacts(src).samples);
    EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 0.5);
}

// Files beyond 2 and 4 GiB, as sparse files: every size inside is 64-bit,
// the sample count and duration are those of the bytes the file holds (as
// ffprobe reads them: a streamed file's 0xFFFFFFFF sizes and a "data" size
// beyond the end give way to the file's length), the size fact saturates.
TEST(WavReader, FilesBeyondTwoGibibytesKeepTheirDuration) {
    QORO_REQUIRE_TOOLS("ffprobe");
    TempDir dir;
    struct Case {
        const char* name;
        uint32_t rate;
        uint16_t channels, bits;
        uint32_t riffSize, dataSize;
        uint64_t length, ds64Data;
        uint64_t frames;  // what the file holds
    };
    constexpr uint64_t GiB = uint64_t{1} << 30;
    const Case cases[] = {
        // 3 GiB of 16-bit stereo at 44.1 kHz: about 5 h 4 min.
        {"three_gib", 44100, 2, 16, static_cast<uint32_t>(36 + 3 * GiB), static_cast<uint32_t>(3 * GiB), 44 + 3 * GiB,
         0, 3 * GiB / 4},
        // Written to a pipe: both sizes 0xFFFFFFFF, 5 GiB in the file.
        {"streamed_five_gib", 48000, 2, 16, 0xFFFFFFFFu, 0xFFFFFFFFu, 5 * GiB, 0, (5 * GiB - 44) / 4},
        // A "data" size of 3.75 GiB in a file cut at 2.5 GiB.
        {"cut_short", 44100, 2, 16, 0xF0000024u, 0xF0000000u, 44 + 5 * GiB / 2, 0, 5 * GiB / 2 / 4},
        // "RF64" of 6 GiB.
        {"rf64_six_gib", 96000, 2, 16, 0xFFFFFFFFu, 0xFFFFFFFFu, 80 + 6 * GiB, 6 * GiB, 6 * GiB / 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / (std::string(c.name) + ".wav");
        info::writeSparseWav(path, c.rate, c.channels, c.bits, c.riffSize, c.dataSize, c.length, c.ds64Data);
        ASSERT_EQ(fs::file_size(path), c.length);
        const Facts f = wavFacts(path);
        EXPECT_EQ(f.samples, static_cast<int32_t>(c.frames));
        EXPECT_EQ(f.duration, std::llround(c.frames * 1000.0 / c.rate));
        EXPECT_EQ(f.size, INT32_MAX);
        EXPECT_EQ(f.frequency, static_cast<int32_t>(c.rate));
        EXPECT_EQ(f.channels, c.channels);
        EXPECT_EQ(f.bitrate, static_cast<int32_t>(c.rate * c.channels * c.bits));
        const auto p = info::probe(path);
        EXPECT_NEAR(f.duration, info::number(p, "duration") * 1000.0, 0.5);
        EXPECT_EQ(probeWav(path), 1);
    }
    // 8-bit mono at 8 kHz in 20 GiB: 21,474,836,480 frames, 31 days; both
    // counts saturate rather than wrap.
    const auto huge = dir / "huge.wav";
    info::writeSparseWav(huge, 8000, 1, 8, 0xFFFFFFFFu, 0xFFFFFFFFu, 80 + 20 * GiB, 20 * GiB);
    const Facts f = wavFacts(huge);
    EXPECT_EQ(f.samples, INT32_MAX);
    EXPECT_EQ(f.duration, INT32_MAX);
    EXPECT_EQ(f.size, INT32_MAX);
    EXPECT_NEAR(info::number(info::probe(huge), "duration"), 20.0 * GiB / 8000, 1.0);
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
