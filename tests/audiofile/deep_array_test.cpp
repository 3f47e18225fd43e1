// The deep array format of IAudioFile3: WAVs of 16, 24 and 32 bits, floats
// and many channels from sox and ffmpeg read as they are (never through 16
// bits), copied to WAVs of their own kind bit for bit, counted in 64 bits;
// what reference tools decode of the WAVs we write.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::ComPtr;

namespace {

// One kind of deep file: how sox or ffmpeg makes it, and how the reference
// decodes it to raw samples of the array's kind.
struct DeepCase {
    const char* name;
    const char* make;    // makes IN (rate, channels, samples from the case)
    const char* decode;  // decodes IN to OUT as raw samples of the kind
    LONG kind;
    int rate, channels;
    const char* ext = "wav";
};

const DeepCase kCases[] = {
    {"s24_96k_stereo", "sox -D -R -n -r 96000 -c 2 -b 24 IN synth 0.3 sine 1000 sine 1717 gain -3",
     "sox -D IN -t s32 OUT", SAMPLE_INT24, 96000, 2},
    {"s32_48k_mono", "sox -D -R -n -r 48000 -c 1 -b 32 IN synth 0.3 sine 440 gain -1",
     "sox -D IN -t s32 OUT", SAMPLE_INT32, 48000, 1},
    {"f32_44k_stereo_beyond_full_scale",
     "sox -D -R -n -r 44100 -c 2 -b 16 -e signed IN.src.wav synth 0.3 sine 440 sine 660 && "
     "ffmpeg -v error -y -i IN.src.wav -af volume=1.5 -c:a pcm_f32le IN",
     "ffmpeg -v error -y -i IN -f f32le OUT", SAMPLE_FLOAT32, 44100, 2},
    {"s16_6ch_extensible", "sox -D -R -n -r 48000 -c 6 -b 16 IN synth 0.3 sine 100 sine 200 sine 300 sine 400 "
                           "sine 500 sine 600 gain -3",
     "sox -D IN -t s16 OUT", SAMPLE_INT16, 48000, 6},
    {"s24_8ch_from_ffmpeg",
     "sox -D -R -n -r 44100 -c 8 -b 24 IN.src.wav synth 0.2 sine 100 sine 200 sine 300 sine 400 sine 500 "
     "sine 600 sine 700 sine 800 gain -3 && ffmpeg -v error -y -i IN.src.wav -c:a pcm_s24le IN",
     "sox -D IN -t s32 OUT", SAMPLE_INT24, 44100, 8},
    {"flac_s24_96k_stereo",
     "sox -D -R -n -r 96000 -c 2 -b 24 IN.src.wav synth 0.3 sine 1000 sine 1717 gain -3 && "
     "flac -s -f --no-padding -o IN IN.src.wav",
     "sox -D IN -t s32 OUT", SAMPLE_INT24, 96000, 2, "flac"},
    {"flac_s16_5_1", "sox -D -R -n -r 48000 -c 6 -b 16 IN.src.wav synth 0.3 sine 100 sine 200 sine 300 sine 400 "
                     "sine 500 sine 600 gain -3 && flac -s -f -o IN IN.src.wav",
     "sox -D IN -t s16 OUT", SAMPLE_INT16, 48000, 6, "flac"},
    {"aiff_s24_96k_stereo", "sox -D -R -n -r 96000 -c 2 -b 24 IN synth 0.3 sine 1000 sine 1717 gain -3",
     "sox -D IN -t s32 OUT", SAMPLE_INT24, 96000, 2, "aiff"},
    {"aiff_s32_48k_mono", "sox -D -R -n -r 48000 -c 1 -b 32 IN synth 0.3 sine 440 gain -1",
     "sox -D IN -t s32 OUT", SAMPLE_INT32, 48000, 1, "aiff"},
    {"aifc_f32_beyond_full_scale",
     "sox -D -R -n -r 44100 -c 2 -b 16 -e signed IN.src.wav synth 0.3 sine 440 sine 660 && "
     "ffmpeg -v error -y -i IN.src.wav -af volume=1.5 -c:a pcm_f32be IN",
     "ffmpeg -v error -y -i IN -f f32le OUT", SAMPLE_FLOAT32, 44100, 2, "aifc"},
    {"aiff_s16_6ch", "sox -D -R -n -r 48000 -c 6 -b 16 IN synth 0.3 sine 100 sine 200 sine 300 sine 400 "
                     "sine 500 sine 600 gain -3",
     "sox -D IN -t s16 OUT", SAMPLE_INT16, 48000, 6, "aiff"},
    {"aifc_sowt_6ch_from_ffmpeg",
     "sox -D -R -n -r 44100 -c 6 -b 16 IN.src.wav synth 0.3 sine 100 sine 200 sine 300 sine 400 sine 500 "
     "sine 600 gain -3 && ffmpeg -v error -y -i IN.src.wav -c:a pcm_s16le IN",
     "sox -D IN -t s16 OUT", SAMPLE_INT16, 44100, 6, "aifc"},
};

void PrintTo(const DeepCase& c, std::ostream* os) { *os << c.name; }

using t::withPaths;

size_t elementSize(LONG kind) { return kind == SAMPLE_INT16 ? 2 : 4; }

// The raw reference as the array holds it: sox's s32 is left-justified, the
// array's Int24 right-justified.
std::vector<uint8_t> asArrayBytes(std::vector<uint8_t> raw, LONG kind) {
    return kind == SAMPLE_INT24 ? t::justified24(std::move(raw)) : raw;
}

class DeepArray : public t::AudioFileSession, public ::testing::WithParamInterface<DeepCase> {
protected:
    void SetUp() override {
        AudioFileSession::SetUp();
        ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    }
    void TearDown() override {
        af3.reset();
        AudioFileSession::TearDown();
    }

    // Every sample ReadSamples gives, `frames` at a time, as bytes.
    std::vector<uint8_t> readSamples(LONGLONG frames, VARTYPE expected) {
        return t::readSamplesFrom(af3.get(), frames, expected);
    }

    void writeSamples(const std::vector<uint8_t>& bytes, VARTYPE vt, size_t element, size_t piece) {
        for (size_t at = 0; at < bytes.size(); at += piece * element) {
            const size_t n = std::min(piece, (bytes.size() - at) / element);
            SAFEARRAY* sa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(n));
            void* data = nullptr;
            SafeArrayAccessData(sa, &data);
            std::memcpy(data, bytes.data() + at, n * element);
            SafeArrayUnaccessData(sa);
            EXPECT_EQ(af3->WriteSamples(&sa), S_OK);
            EXPECT_EQ(err(), NOERRORS);
            SafeArrayDestroy(sa);
        }
    }

    LONGLONG frames64() {
        LONGLONG n = -1;
        EXPECT_EQ(af3->get_nFrames(&n), S_OK);
        return n;
    }

    ComPtr<IAudioFile3> af3;
    t::TempDir dir;
};

}  // namespace

// Read as the reference decodes it, seek and read the rest, and copy to a
// WAV of the same kind that the reference decodes to the same samples.
TEST_P(DeepArray, ReadsExactlyAndCopiesBitForBit) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe", "flac");
    const DeepCase& c = GetParam();
    const VARTYPE vt = c.kind == SAMPLE_INT16 ? VT_I2 : c.kind == SAMPLE_FLOAT32 ? VT_R4 : VT_I4;
    const size_t element = elementSize(c.kind), frame = element * static_cast<size_t>(c.channels);
    const auto in = (dir / (std::string("in.") + c.ext)).string(), ref = (dir / "ref.raw").string();
    t::mustRun(withPaths(c.make, in, ref));
    t::mustRun(withPaths(c.decode, in, ref));
    const auto expected = asArrayBytes(t::readBytes(ref), c.kind);
    ASSERT_GT(expected.size(), 0u);

    ASSERT_TRUE(open(in));
    ASSERT_EQ(err(), NOERRORS);
    LONG channels = 0, kind = -1;
    af3->get_FileChannels(&channels);
    af3->get_FileSampleKind(&kind);
    EXPECT_EQ(channels, c.channels);
    EXPECT_EQ(kind, c.kind);
    // The old interface keeps its 16-bit stereo view of the file.
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), std::min(c.channels, 2));
    EXPECT_EQ(af3->SetFormatArrayKind(c.rate, c.channels, c.kind), S_OK);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(frames64(), static_cast<LONGLONG>(expected.size() / frame));
    EXPECT_EQ(readSamples(1000, vt), expected);
    // The old ReadFile does not hand out deeper samples as 16-bit ones.
    if (c.kind != SAMPLE_INT16) {
        EXPECT_TRUE(t::readOnce(af.get(), 100).empty());
        EXPECT_EQ(err(), INVALIDPARAM);
    }
    const LONGLONG middle = frames64() / 2;
    LONGLONG at = -1;
    EXPECT_EQ(af3->SeekFrames(middle, BEGIN_POS, &at), S_OK);
    EXPECT_EQ(at, middle);
    EXPECT_EQ(readSamples(777, vt),
              std::vector<uint8_t>(expected.begin() + static_cast<long>(middle * frame), expected.end()));
    af->CloseFile();

    // A copy of the same kind.
    const auto out = (dir / "out.wav").string(), back = (dir / "back.raw").string();
    LONG ba = 0;
    ASSERT_EQ(af3->SetFormatPCMKind(c.rate, c.channels, c.kind, &ba), S_OK);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(static_cast<size_t>(ba), (c.kind == SAMPLE_INT24 ? 3 : element) * size_t(c.channels));
    ASSERT_TRUE(create(out));
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(af3->SetFormatArrayKind(c.rate, c.channels, c.kind), S_OK);
    writeSamples(expected, vt, element, 3001);
    af->CloseFile();
    EXPECT_EQ(err(), NOERRORS);
    LONGLONG clipped = -1;
    af3->get_ClippedSamples(&clipped);
    t::mustRun(withPaths(c.decode, out, back));
    EXPECT_EQ(asArrayBytes(t::readBytes(back), c.kind), expected);
    const std::string probe = t::mustRun("ffprobe -v error -show_entries stream=channels,sample_rate,bits_per_sample "
                                         "-of default=nw=1 " + t::shellQuote(out));
    EXPECT_NE(probe.find("channels=" + std::to_string(c.channels)), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=" + std::to_string(c.rate)), std::string::npos) << probe;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DeepArray, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A float array beyond full scale written to 24-bit samples is clipped, and
// counted; an array of another element type is not taken for samples.
using DeepWrite = t::AudioFileSession;

TEST_F(DeepWrite, FloatsBeyondFullScaleClipAndAreCounted) {
    QORO_REQUIRE_TOOLS("sox");
    t::TempDir dir;
    ComPtr<IAudioFile3> af3;
    ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    LONG ba = 0;
    ASSERT_EQ(af3->SetFormatPCMKind(48000, 1, SAMPLE_INT24, &ba), S_OK);
    const auto out = (dir / "clip.wav").string();
    ASSERT_TRUE(create(out));
    ASSERT_EQ(af3->SetFormatArrayKind(48000, 1, SAMPLE_FLOAT32), S_OK);
    std::vector<float> ramp(4800);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = -1.5f + 3.0f * float(i) / float(ramp.size());
    SAFEARRAY* sa = SafeArrayCreateVector(VT_R4, 0, static_cast<ULONG>(ramp.size()));
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    std::memcpy(data, ramp.data(), ramp.size() * 4);
    SafeArrayUnaccessData(sa);
    // An array of the wrong element type is not taken for samples.
    SAFEARRAY* wrong = SafeArrayCreateVector(VT_I2, 0, 10);
    EXPECT_EQ(af3->WriteSamples(&wrong), S_OK);
    SafeArrayDestroy(wrong);
    EXPECT_EQ(af3->WriteSamples(&sa), S_OK);
    SafeArrayDestroy(sa);
    EXPECT_EQ(err(), NOERRORS);
    LONGLONG clipped = 0;
    af3->get_ClippedSamples(&clipped);
    size_t beyond = 0;
    for (float v : ramp) beyond += v >= 1.0f || v < -1.0f;
    EXPECT_NEAR(double(clipped), double(beyond), 2.0);
    af->CloseFile();
    const auto raw = (dir / "clip.raw").string();
    t::mustRun("sox -D " + t::shellQuote(out) + " -t s32 " + t::shellQuote(raw));
    const auto bytes = t::readBytes(raw);
    ASSERT_EQ(bytes.size(), ramp.size() * 4);
    int32_t first, last;
    std::memcpy(&first, bytes.data(), 4);
    std::memcpy(&last, bytes.data() + bytes.size() - 4, 4);
    EXPECT_EQ(first >> 8, -8388608);
    EXPECT_EQ(last >> 8, 8388607);
}
