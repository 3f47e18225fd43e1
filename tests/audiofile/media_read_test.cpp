// Files of a music library read through the media plug-in, by both
// components: the samples ffmpeg decodes, exactly as long as the music
// (encoder delay and padding off where the file states them), as deep
// arrays and as the 16-bit view, seeks, and the facts and tags the
// information component gives of them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::ComPtr;

namespace {

// One kind of file: how ffmpeg makes it from SRC (a sox tone of `frames`
// frames), the array kind its samples come in, and whether the file states
// its length exactly (else ffmpeg's own decode is the length).
struct MediaCase {
    const char* name;
    const char* make;
    const char* ext;
    LONG kind;
    int rate, channels;
    bool exact;  // the file's length is the source's
    bool lossless;
};

constexpr int kFrames = 57330;  // 1.3 s at 44.1 kHz: no whole number of any codec's frames

const MediaCase kCases[] = {
    {"aac_m4a", "ffmpeg -v error -y -i SRC -c:a aac -b:a 128k IN", "m4a", SAMPLE_FLOAT32, 44100, 2, true, false},
    {"alac_m4a", "ffmpeg -v error -y -i SRC -c:a alac IN", "m4a", SAMPLE_INT16, 44100, 2, true, true},
    {"alac_m4a_24bit", "ffmpeg -v error -y -i SRC24 -c:a alac IN", "m4a", SAMPLE_INT24, 44100, 2, true, true},
    {"wavpack", "ffmpeg -v error -y -i SRC -c:a wavpack IN", "wv", SAMPLE_INT16, 44100, 2, true, true},
    {"tta", "ffmpeg -v error -y -i SRC -c:a tta IN", "tta", SAMPLE_INT16, 44100, 2, true, true},
    {"ogg_flac", "ffmpeg -v error -y -i SRC -c:a flac -f ogg IN", "oga", SAMPLE_INT16, 44100, 2, true, true},
    {"wma_v2", "ffmpeg -v error -y -i SRC -c:a wmav2 -b:a 128k IN", "wma", SAMPLE_FLOAT32, 44100, 2, false, false},
    {"ac3", "ffmpeg -v error -y -i SRC -c:a ac3 IN", "ac3", SAMPLE_FLOAT32, 44100, 2, false, false},
    {"eac3_5_1", "ffmpeg -v error -y -i SRC6 -c:a eac3 IN", "eac3", SAMPLE_FLOAT32, 48000, 6, false, false},
    {"matroska_opus", "ffmpeg -v error -y -i SRC -c:a libopus -b:a 96k IN", "mka", SAMPLE_FLOAT32, 48000, 2, true,
     false},
    {"adts_aac", "ffmpeg -v error -y -i SRC -c:a aac -f adts IN", "aac", SAMPLE_FLOAT32, 44100, 2, false, false},
};

void PrintTo(const MediaCase& c, std::ostream* os) { *os << c.name; }

size_t elementSize(LONG kind) { return kind == SAMPLE_INT16 ? 2 : 4; }
VARTYPE vtOf(LONG kind) { return kind == SAMPLE_INT16 ? VT_I2 : kind == SAMPLE_FLOAT32 ? VT_R4 : VT_I4; }
const char* ffmpegFormat(LONG kind) { return kind == SAMPLE_INT16 ? "s16le" : kind == SAMPLE_FLOAT32 ? "f32le" : "s32le"; }

class MediaRead : public t::AudioFileAndInfoSession, public ::testing::WithParamInterface<MediaCase> {
protected:
    void SetUp() override {
        AudioFileAndInfoSession::SetUp();
        ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    }
    void TearDown() override {
        af3.reset();
        AudioFileAndInfoSession::TearDown();
    }

    // The sources: 16-bit stereo, 24-bit stereo and 16-bit 5.1 tones.
    void makeSources(int rate) {
        const std::string synth = " synth " + std::to_string(kFrames) + "s sine 440 sine 1234 gain -4";
        const std::string r = "sox -D -R -r " + std::to_string(rate);
        t::mustRun(r + " -c 2 -n -b 16 " + t::shellQuote((dir / "src.wav").string()) + synth);
        t::mustRun(r + " -c 2 -n -b 24 " + t::shellQuote((dir / "src24.wav").string()) + synth);
        t::mustRun(r + " -c 6 -n -b 16 " + t::shellQuote((dir / "src6.wav").string()) +
                   " synth " + std::to_string(kFrames) + "s sine 100 sine 200 sine 300 sine 400 sine 500 sine 600 gain -6");
    }
    std::string sources(std::string command) const {
        for (const auto& [word, file] : {std::pair{"SRC24", "src24.wav"}, {"SRC6", "src6.wav"}, {"SRC", "src.wav"}})
            for (size_t at; (at = command.find(word)) != std::string::npos;)
                command.replace(at, std::strlen(word), t::shellQuote((dir / file).string()));
        return command;
    }

    // Every sample ReadSamples gives, `frames` at a time, as bytes.
    std::vector<uint8_t> readSamples(LONGLONG frames, VARTYPE expected) {
        return t::readSamplesFrom(af3.get(), frames, expected);
    }
    LONGLONG frames64() {
        LONGLONG n = -1;
        EXPECT_EQ(af3->get_nFrames(&n), S_OK);
        return n;
    }
    LONG infoNumber(HRESULT (IAudioInformation::*get)(LONG*)) {
        LONG v = -1;
        EXPECT_EQ((info.get()->*get)(&v), S_OK);
        return v;
    }

    ComPtr<IAudioFile3> af3;
    t::TempDir dir;
};

}  // namespace

// Read as ffmpeg decodes it, as long as the music; the 16-bit view within a
// rounding step of ffmpeg's; a seek to the middle reads the rest exactly;
// the information component's facts agree with ffprobe's.
TEST_P(MediaRead, ReadsWhatFfmpegDecodesAsLongAsTheMusic) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe");
    const MediaCase& c = GetParam();
    makeSources(c.rate);
    const auto in = dir / (std::string("in.") + c.ext), ref = dir / "ref.raw", ref16 = dir / "ref16.raw";
    t::mustRun(t::withPaths(sources(c.make), in, ref));
    t::mustRun("ffmpeg -v error -y -i " + t::shellQuote(in.string()) + " -f " + ffmpegFormat(c.kind) + " " +
               t::shellQuote(ref.string()));
    t::mustRun("ffmpeg -v error -y -i " + t::shellQuote(in.string()) + " -f s16le " + t::shellQuote(ref16.string()));
    const size_t frame = elementSize(c.kind) * size_t(c.channels);
    auto expected = t::readBytes(ref);
    const size_t decoded = expected.size() / frame;
    const size_t length = c.exact ? size_t(kFrames) : decoded;
    ASSERT_GE(decoded, length);
    expected.resize(length * frame);
    if (c.kind == SAMPLE_INT24) expected = t::justified24(std::move(expected));

    ASSERT_TRUE(open(in.string())) << qoro::com::takeErrorDescription();
    ASSERT_EQ(err(), NOERRORS) << qoro::com::takeErrorDescription();
    LONG channels = 0;
    af3->get_FileChannels(&channels);
    EXPECT_EQ(channels, c.channels);
    EXPECT_EQ(af3->SetFormatArrayKind(c.rate, c.channels, c.kind), S_OK);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(frames64(), static_cast<LONGLONG>(length));
    EXPECT_EQ(readSamples(1000, vtOf(c.kind)), expected);
    const LONGLONG middle = static_cast<LONGLONG>(length / 2);
    LONGLONG at = -1;
    EXPECT_EQ(af3->SeekFrames(middle, BEGIN_POS, &at), S_OK);
    EXPECT_EQ(at, middle);
    const auto rest = readSamples(777, vtOf(c.kind));
    if (c.lossless) {
        EXPECT_EQ(rest, std::vector<uint8_t>(expected.begin() + static_cast<long>(middle * frame), expected.end()));
    } else {
        // A lossy decoder restarted before the point gives the same music
        // there, to within the codec's own noise (AAC's noise substitution
        // draws from a generator whose state a seek does not restore).
        ASSERT_EQ(rest.size(), expected.size() - size_t(middle) * frame);
        const float* a = reinterpret_cast<const float*>(rest.data());
        const float* b = reinterpret_cast<const float*>(expected.data() + middle * frame);
        double error = 0, signal = 0;
        for (size_t i = 0; i < rest.size() / 4; ++i) {
            error += (a[i] - b[i]) * double(a[i] - b[i]);
            signal += b[i] * double(b[i]);
        }
        EXPECT_LT(10 * std::log10(error / signal), -50.0) << "dB below the music";
    }
    af->CloseFile();

    // The 16-bit stereo view.
    ASSERT_TRUE(open(in.string()));
    const auto view = readAll(4096);
    const auto ref16Samples = t::readPcm16(ref16);
    const size_t viewChannels = std::min(c.channels, 2);
    ASSERT_EQ(view.size(), length * viewChannels);
    if (c.channels <= 2) {
        int worst = 0;
        for (size_t i = 0; i < view.size(); ++i) worst = std::max(worst, std::abs(view[i] - ref16Samples[i]));
        EXPECT_LE(worst, c.lossless && c.kind == SAMPLE_INT16 ? 0 : 1);  // deeper ones rounded
    }
    af->CloseFile();

    // The facts.
    qoro::com::Bstr name(in.string());
    info->GetAudioInformation(name.get());
    SHORT type = 0;
    info->get_infoType(&type);
    EXPECT_GT(type, 8) << qoro::com::takeErrorDescription();
    EXPECT_EQ(infoNumber(&IAudioInformation::get_infoFrequency), c.rate);
    EXPECT_EQ(infoNumber(&IAudioInformation::get_infoChannels), c.channels);
    EXPECT_EQ(infoNumber(&IAudioInformation::get_infoSamples), static_cast<LONG>(length));
    EXPECT_NEAR(infoNumber(&IAudioInformation::get_infoDuration), 1000.0 * double(length) / c.rate, 1.0);
    if (c.lossless && c.kind != SAMPLE_INT16) EXPECT_EQ(infoNumber(&IAudioInformation::get_infoBitsPerSample), 24);
    const auto probed = t::mustRun("ffprobe -v error -select_streams a -show_entries stream=bit_rate:format=bit_rate "
                                   "-of default=nw=1:nk=1 " + t::shellQuote(in.string()));
    long streamRate = 0, formatRate = 0;
    std::sscanf(probed.c_str(), "%ld %ld", &streamRate, &formatRate);
    if (streamRate <= 0) std::sscanf(probed.c_str(), "N/A %ld", &formatRate);
    const long bitrate = streamRate > 0 ? streamRate : formatRate;
    EXPECT_NEAR(infoNumber(&IAudioInformation::get_infoBitrate), bitrate, 1000) << probed;
}

INSTANTIATE_TEST_SUITE_P(Kinds, MediaRead, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// DSD from a test writer of ours (DSF, DSD64, a 1 kHz sine at half scale
// through a first-order sigma-delta modulator): read at 88200 Hz, as long as
// the header's count of bits says, with the sine at its level.
TEST_F(MediaRead, DsdIsReadAt88200HzWithItsLevel) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const auto dsf = dir / "sine.dsf";
    const auto made = t::python(R"(import math, struct, sys
rate, n, amp = 2822400, 705600, 0.5
acc, y, bits = 0.0, -1.0, bytearray(n // 8)
for i in range(n):
    acc += amp * math.sin(2 * math.pi * 1000 * i / rate) - y
    y = 1.0 if acc >= 0 else -1.0
    if y > 0: bits[i >> 3] |= 1 << (i & 7)
bits += bytes(-len(bits) % 4096)
data = b"".join(bits[b:b + 4096] * 2 for b in range(0, len(bits), 4096))
body = struct.pack("<4sQIIIIIIQII", b"fmt ", 52, 1, 0, 2, 2, rate, 1, n, 4096, 0)
body += struct.pack("<4sQ", b"data", 12 + len(data)) + data
open(sys.argv[1], "wb").write(struct.pack("<4sQQQ", b"DSD ", 28, 28 + len(body), 0) + body)
)",
                                {dsf.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    ASSERT_TRUE(open(dsf.string())) << qoro::com::takeErrorDescription();
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 88200);
    EXPECT_EQ(af3->SetFormatArrayKind(88200, 2, SAMPLE_FLOAT32), S_OK);
    EXPECT_EQ(frames64(), 22050);  // 705600 bits at 2822400 Hz: 0.25 s
    const auto bytes = readSamples(4096, VT_R4);
    ASSERT_EQ(bytes.size(), 22050u * 8);
    const float* x = reinterpret_cast<const float*>(bytes.data());
    // The sine's level over whole periods (after the filters settle).
    double re = 0, im = 0;
    const size_t from = 4410, to = 22050 - 4410;
    for (size_t i = from; i < to; ++i) {
        const double w = 2 * M_PI * 1000 * double(i) / 88200;
        re += x[2 * i] * std::cos(w);
        im += x[2 * i] * std::sin(w);
    }
    EXPECT_NEAR(20 * std::log10(2 * std::hypot(re, im) / double(to - from)), 20 * std::log10(0.5), 0.5);
}
