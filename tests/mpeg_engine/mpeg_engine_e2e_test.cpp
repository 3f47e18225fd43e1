// MPEG reading end to end through the AudioFile object: OpenFile with type MP3,
// ReadFile in 0.1 s blocks with the array format equal to the stream's, against
// the conformance references (lame/ffmpeg files against mpg123: tests/mp3_corpus).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "audio_file_session.h"
#include "conformance_streams.h"
#include "mpeg/mpeg_header.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::Bstr;

namespace {

class MpegThroughAudioFile : public t::AudioFileSession {
protected:
    // Opens as MP3; false (and the test skipped) while the MPEG reader is not
    // in the engine's container table.
    bool open(const std::string& path, LONG decoder = X_AUDIO) {
        af->put_Mp3TypeDecoder(decoder);
        Bstr name(path);
        EXPECT_EQ(af->OpenFile(name.get(), MP3, READ), S_OK);
        if (err() == FORMATNOTSUPPORT) return false;
        EXPECT_EQ(err(), NOERRORS) << path;
        return err() == NOERRORS;
    }
    // Reads the whole file in 0.1 s blocks, as the converter does.
    std::vector<int16_t> readAll() {
        return AudioFileSession::readAll(std::max<LONG>(prop(&IAudioFile::get_ArrayFrequency) / 10, 1));
    }
};

using qoro::mpeg::testing::ConformanceStream;

class Conformance : public MpegThroughAudioFile, public ::testing::WithParamInterface<ConformanceStream> {};

// Every Layer I, II and III conformance stream: max |diff| <= 1, RMS <= 0.289,
// length = frames x samples per frame.
TEST_P(Conformance, MatchesReference) {
    const ConformanceStream s = GetParam();
    const auto bit = t::testdata(std::string("mpeg/") + s.name + ".bit");
    const auto ref = t::readPcm16(t::testdata(std::string("mpeg/") + s.name + ".pcm"));
    const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(bit));
    const int64_t frames = shape.frames;
    const int spf = shape.samplesPerFrame, channels = shape.channels, rate = shape.rate;
    ASSERT_GT(frames, 0);
    ASSERT_TRUE(open(bit.string())) << "cannot be opened or created through the engine";
    ASSERT_EQ(prop(&IAudioFile::get_ArrayFrequency), rate);
    ASSERT_EQ(prop(&IAudioFile::get_ArrayChannels), channels);
    const LONG announced = prop(&IAudioFile::get_nSamples);
    const auto ours = readAll();
    EXPECT_EQ(int64_t(ours.size()), frames * spf * channels);
    EXPECT_EQ(int64_t(ours.size()), int64_t(announced) * channels);
    const long skip = long(s.leadingFramesMissingInReference) * spf * channels;
    ASSERT_GT(long(ours.size()), skip);
    const std::vector<int16_t> aligned(ours.begin() + skip, ours.end());
    const t::Difference d = t::compare(aligned, ref);
    EXPECT_GT(d.compared, aligned.size() * 9 / 10);
    EXPECT_LE(d.maxAbs, 1);
    EXPECT_LE(d.rms, 0.289);
    // mpg123 gives the same samples, as many of them.
    t::TempDir tmp;
    if (!t::requireTool("mpg123")) return;
    ASSERT_EQ(t::run("mpg123 -q -s " + t::shellQuote(bit.string()) + " > " + t::shellQuote((tmp / "ref.raw").string()))
                  .exitCode,
              0);
    const auto player = t::readPcm16(tmp / "ref.raw");
    EXPECT_EQ(player.size(), ours.size());
    EXPECT_LE(t::compare(ours, player).maxAbs, 1);
}

INSTANTIATE_TEST_SUITE_P(Streams, Conformance, ::testing::ValuesIn(qoro::mpeg::testing::kConformanceStreams),
                         qoro::mpeg::testing::ConformanceStreamName());

TEST_F(MpegThroughAudioFile, IllegalStreamsReadWithoutHarm) {
    for (const char* name : {"ILL2_center2", "ILL2_dual", "ILL2_dynx22", "ILL2_layer3", "ILL2_mono", "ILL2_overalloc1",
                             "ILL2_overalloc2", "ILL2_scf63", "ILL2_wrongcrc", "ILL4_ext_id1", "ILL4_sync",
                             "ILL4_wrong_length1", "ILL4_wrong_length2", "ILL4_wrongcrc"}) {
        const auto path = t::testdata(std::string("mpeg/") + name + ".bit");
        af->CloseFile();
        Bstr bname(path.string());
        af->OpenFile(bname.get(), MP3, READ);
        ASSERT_NE(err(), FORMATNOTSUPPORT) << name;
        if (err() != NOERRORS) continue;
        const auto pcm = readAll();
        EXPECT_LE(pcm.size(), t::readBytes(path).size() * 2304 / 48 + 2304) << name;
    }
}

// Files lame and ffmpeg write are compared with mpg123 in tests/mp3_corpus.

// Through IAudioFile3 the synthesis's floats, before rounding, for the files
// lame and ffmpeg make (the LAME tag's trimming, VBR, MPEG-2 and 2.5, mono,
// Layer II, a clipped loud master): as many frames as the 16-bit read, each
// the 16-bit sample before rounding and clipping, the overs kept, within
// 1e-5 of mpg123's floats (which trims as we do), and a seek lands on the
// same float as reading there. A stream read through the codec manager
// (Layer III below 52 kbit/s) gives its 16-bit samples as floats.
TEST_F(MpegThroughAudioFile, FloatArraysAreTheSamplesBeforeRounding) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    for (const auto& c : qoro::mpeg::testing::kMadeStreams) {
        SCOPED_TRACE(c.name);
        t::TempDir dir;
        const auto path = dir / "made.mp3";
        t::writeWav16(dir / "in.wav", c.rate, c.channels, t::testSignal(c.rate, c.channels, c.rate * 2, c.amplitude));
        t::mustRun(qoro::mpeg::testing::commandFor(c, (dir / "in.wav").string(), path.string()));
        af->CloseFile();
        ASSERT_TRUE(open(path.string()));
        const std::vector<int16_t> narrow = readAll();
        af->CloseFile();
        ASSERT_TRUE(open(path.string()));
        LONG decoder = X_AUDIO;
        af->get_Mp3TypeDecoder(&decoder);
        const bool builtIn = decoder == X_AUDIO;
        qoro::com::ComPtr<IAudioFile3> af3;
        ASSERT_EQ(af->QueryInterface(IID_IAudioFile3, af3.putVoid()), S_OK);
        ASSERT_EQ(af3->SetFormatArrayKind(c.rate, c.channels, SAMPLE_FLOAT32), S_OK);
        LONGLONG frames = 0;
        ASSERT_EQ(af3->get_nFrames(&frames), S_OK);
        EXPECT_EQ(size_t(frames) * size_t(c.channels), narrow.size());
        auto floatsFrom = [&](LONGLONG block, size_t most) {
            std::vector<float> all;
            for (SAFEARRAY* sa = nullptr; all.size() < most && af3->ReadSamples(block, &sa) == S_OK && sa;) {
                LONG last = -1;
                float* data = nullptr;
                SafeArrayGetUBound(sa, 1, &last);
                SafeArrayAccessData(sa, reinterpret_cast<void**>(&data));
                all.insert(all.end(), data, data + last + 1);
                SafeArrayUnaccessData(sa);
                SafeArrayDestroy(std::exchange(sa, nullptr));
                if (last < 0) break;
            }
            return all;
        };
        const std::vector<float> wide = floatsFrom(777, SIZE_MAX);
        ASSERT_EQ(wide.size(), narrow.size());
        size_t between = 0, beyond = 0;
        for (size_t i = 0; i < wide.size(); ++i) {
            const float x = wide[i] * 32768.0f;
            ASSERT_EQ(std::clamp(std::lrint(x), -32768L, 32767L), narrow[i]) << i;
            between += std::fabs(x - std::nearbyint(x)) > 0.01f;
            beyond += std::fabs(wide[i]) > 1.0f;
        }
        EXPECT_EQ(between > wide.size() / 2, builtIn) << between;
        EXPECT_EQ(beyond > 0, builtIn && c.amplitude > 1.0) << beyond;

        t::mustRun("mpg123 -q -e f32 -s " + t::shellQuote(path.string()) + " > " +
                   t::shellQuote((dir / "ref.f32").string()));
        const auto bytes = t::readBytes(dir / "ref.f32");
        ASSERT_EQ(bytes.size(), wide.size() * sizeof(float));
        double maxDiff = 0;
        for (size_t i = 0; i < wide.size(); ++i) {
            float r = 0;
            std::memcpy(&r, bytes.data() + i * sizeof(float), sizeof r);
            maxDiff = std::max(maxDiff, double(std::fabs(wide[i] - r)));
        }
        EXPECT_LE(maxDiff, builtIn ? 1e-5 : 0.5 / 32768 + 1e-6);

        LONGLONG at = -1;
        ASSERT_EQ(af3->SeekFrames(5000, BEGIN_POS, &at), S_OK);
        ASSERT_EQ(at, 5000);
        const size_t from = 5000 * size_t(c.channels);
        const std::vector<float> after = floatsFrom(100, 200);
        ASSERT_GE(after.size(), 200u);
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + 200, wide.begin() + long(from)));
    }
}

// Below 52 kbit/s Layer III goes to the codec manager, and the decoder choice
// reads ACM_DRIVER_OUT afterwards; the audio still comes out whole.
TEST_F(MpegThroughAudioFile, LowBitrateLayer3UsesCodecManager) {
    QORO_REQUIRE_TOOLS("lame", "mpg123");
    t::TempDir dir;
    t::writeWav16(dir / "in.wav", 44100, 2, t::testSignal(44100, 2, 44100));
    ASSERT_EQ(t::run("lame --quiet -b 48 " + t::shellQuote((dir / "in.wav").string()) + " " +
                     t::shellQuote((dir / "low.mp3").string()))
                  .exitCode,
              0);
    ASSERT_TRUE(open((dir / "low.mp3").string(), X_AUDIO)) << "cannot be opened or created through the engine";
    // lame may lower the rate for 48 kbit/s; its tag gives the music, as
    // mpg123 plays it.
    const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(dir / "low.mp3"));
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), shape.rate);
    const LONG n = prop(&IAudioFile::get_nSamples);
    const auto pcm = readAll();
    EXPECT_EQ(pcm.size(), size_t(n) * size_t(shape.channels));
    ASSERT_EQ(t::run("mpg123 -q -s " + t::shellQuote((dir / "low.mp3").string()) + " > " +
                     t::shellQuote((dir / "ref.raw").string()))
                  .exitCode,
              0);
    const auto ref = t::readPcm16(dir / "ref.raw");
    EXPECT_EQ(pcm.size(), ref.size());
    EXPECT_LE(t::compare(pcm, ref).maxAbs, 1);
    LONG d = X_AUDIO;
    af->get_Mp3TypeDecoder(&d);
    EXPECT_EQ(d, ACM_DRIVER_OUT) << "the choice reads the codec manager while the file is open";
    af->CloseFile();
    af->get_Mp3TypeDecoder(&d);
    EXPECT_EQ(d, X_AUDIO) << "and the caller's choice again once it is closed";
}

// Seeking by time through SeekFile: position reported as asked; END_POS - 0
// gives nSamples.
TEST_F(MpegThroughAudioFile, SeekFile) {
    const auto bit = t::testdata("mpeg/l3-compl.bit");
    ASSERT_TRUE(open(bit.string())) << "cannot be opened or created through the engine";
    LONG n = 0;
    af->get_nSamples(&n);
    EXPECT_GT(n, 0);
    LONG pos = -1;
    ASSERT_EQ(af->SeekFile(1000, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(pos, 1000);
    ASSERT_EQ(af->SeekFile(0, END_POS, &pos), S_OK);
    EXPECT_EQ(pos, n);
    ASSERT_EQ(af->SeekFile(0, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(pos, 0);
    const auto all = readAll();
    // nSamples is exact: what reading from the start delivers.
    EXPECT_EQ(all.size(), size_t(n) * size_t(prop(&IAudioFile::get_ArrayChannels)));
}

}  // namespace
