// The MPEG reader as the engine drives it: facts handed to the object, the
// expected length, whole-frame reading, seeking by time, the description, the
// switch to the codec manager, and MPEG audio inside RIFF WAVE files.
#include "containers/mpeg_track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "conformance_streams.h"
#include "mpeg/mpeg_header.h"
#include "mpeg_file_decoder.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

using namespace qoro::audiofile;
namespace t = qoro::test;

namespace {

struct Opened {
    int16_t status = 0;
    std::unique_ptr<Track> track;
};

Opened openAs(const std::string& path, int32_t decoder = X_AUDIO, bool readWrite = false, bool inWave = false) {
    EngineSettings settings;
    settings.mp3Decoder = decoder;
    OpenRequest request{path, MP3, readWrite, &settings};
    Opened o;
    o.status = inWave ? openMpegInWave(request, o.track) : openMpeg(request, o.track);
    return o;
}

// Drives a track as the engine's read does: whole source units per call.
std::vector<int16_t> drain(Track& track, uint64_t arrayBytesPerCall) {
    std::vector<uint8_t> bytes;
    for (int guard = 0; guard < 100000; ++guard) {
        const uint64_t left = track.sourceLeft();
        if (left == 0) break;
        const uint64_t unit = std::max<uint64_t>(track.sourceUnit(), 1);
        uint64_t s = track.sourceFor(arrayBytesPerCall);
        s = std::max(unit, s - s % unit);
        const int32_t n = track.decode(std::min(s, left), bytes);
        if (n <= 0) break;
    }
    std::vector<int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    return pcm;
}

bool encode(const t::TempDir& dir, const std::string& command, int rate, int channels, double seconds,
            const std::string& out) {
    const auto wav = dir / "src.wav";
    t::writeWav16(wav, rate, channels, t::testSignal(rate, channels, int(rate * seconds)));
    std::string cmd = command;
    cmd.replace(cmd.find("{in}"), 4, t::shellQuote(wav.string()));
    cmd.replace(cmd.find("{out}"), 5, t::shellQuote((dir / out).string()));
    return t::run(cmd).exitCode == 0;
}

class MpegTrackTest : public ::testing::Test {
protected:
    void SetUp() override { QORO_REQUIRE_TOOLS("lame", "ffmpeg"); }
    t::TempDir dir;
};

// Conformance streams through the track: the decoder's accuracy survives the
// engine's way of asking (0.1 s worth per call), and the length is exact.
TEST(MpegTrackConformance, LengthAndAccuracyThroughTheTrack) {
    for (const char* name : {"l1-fl1", "l1-fl8", "l2-fl10", "l2-fl16", "l3-compl", "l3-si_huff", "M2L3_compl24"}) {
        SCOPED_TRACE(name);
        const auto bit = t::testdata(std::string("mpeg/") + name + ".bit");
        const auto ref = t::readPcm16(t::testdata(std::string("mpeg/") + name + ".pcm"));
        const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(bit));
        const int64_t frames = shape.frames;
        const int spf = shape.samplesPerFrame, channels = shape.channels;
        ASSERT_GT(frames, 0);
        auto o = openAs(bit.string());
        ASSERT_EQ(o.status, 0);
        ASSERT_EQ(o.track->kind(), ContainerKind::Mpeg);
        const auto& f = o.track->fileFormat();
        EXPECT_EQ(f.wFormatTag, 1);
        EXPECT_EQ(f.wBitsPerSample, 16);
        EXPECT_EQ(f.nChannels, channels);
        const auto pcm = drain(*o.track, f.nSamplesPerSec / 10 * f.nBlockAlign);
        EXPECT_EQ(int64_t(pcm.size()), frames * spf * channels);
        const t::Difference d = t::compare(pcm, ref);
        EXPECT_GT(d.compared, pcm.size() * 9 / 10);
        EXPECT_LE(d.maxAbs, 1);
        EXPECT_LE(d.rms, 0.289);
        // Once at the end, the track stays there.
        std::vector<uint8_t> more;
        EXPECT_EQ(o.track->sourceLeft(), 0u);
        EXPECT_EQ(o.track->decode(4608, more), 0);
    }
}

TEST_F(MpegTrackTest, FactsLengthAndDescription) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 128 -m j {in} {out}", 44100, 2, 2.0, "j.mp3"));
    auto o = openAs((dir / "j.mp3").string());
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(o.track->kind(), ContainerKind::Mpeg);
    EXPECT_EQ(o.track->describe(), "MPEG 1.0 layer-3: 44,100 kHz; Joint Stereo; 128 Kbps; ");
    Mp3Settings mp3;
    mp3.bitrate = 1;
    mp3.frequency = 1;
    mp3.channels = 1;
    OutputSettings out;
    o.track->reportFoundSettings(mp3, out);
    EXPECT_EQ(mp3.bitrate, 128);
    EXPECT_EQ(mp3.frequency, 44100);
    EXPECT_EQ(mp3.channels, 2);

    // The length is known at open and exact: lame's tag says where the
    // music lies, so it is the 2 s that went in, every one of them read.
    EXPECT_EQ(o.track->decodedLength(), 88200u * 4);
    const auto pcm = drain(*o.track, 17640);
    EXPECT_EQ(pcm.size() * 2, o.track->decodedLength());
    EXPECT_EQ(o.track->sourceLeft(), 0u);
}

TEST_F(MpegTrackTest, DescriptionOfMpeg25MonoAndLayer2) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 16 -m m {in} {out}", 8000, 1, 1.0, "m.mp3"));
    auto o = openAs((dir / "m.mp3").string(), X_AUDIO);
    ASSERT_EQ(o.status, 0);
    // 16 kbit/s is below the 52 kbit/s switch: read through the codec manager.
    EXPECT_EQ(o.track->kind(), ContainerKind::MpegThroughAcm);
    EXPECT_EQ(o.track->describe(), "MPEG 3.0 layer-3: 8,000 kHz; Mono; 16 Kbps; ");

    ASSERT_TRUE(
        encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 32k -ac 1 -f mp2 {out}", 22050, 1, 1.0, "l2.mp2"));
    auto l2 = openAs((dir / "l2.mp2").string(), ACM_DRIVER_OUT);
    ASSERT_EQ(l2.status, 0);
    // Layer II is always the built-in decoder, at any bitrate and choice.
    EXPECT_EQ(l2.track->kind(), ContainerKind::Mpeg);
    EXPECT_EQ(l2.track->describe(), "MPEG 2.0 layer-2: 22,050 kHz; Mono; 32 Kbps; ");
}

// Reading takes whole frames: a request of one frame's bytes gives one frame,
// one byte more gives two (a stream without a tag: every frame whole).
TEST_F(MpegTrackTest, ReadsWholeFrames) {
    ASSERT_TRUE(encode(dir, "lame --quiet -t -b 128 -m s {in} {out}", 44100, 2, 1.0, "s.mp3"));
    auto o = openAs((dir / "s.mp3").string());
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(o.track->sourceUnit(), 4u * 1152u);
    std::vector<uint8_t> out;
    EXPECT_EQ(o.track->decode(4608, out), 4608);
    EXPECT_EQ(o.track->decode(4609, out), 9216);
    EXPECT_EQ(o.track->decode(9216, out), 9216);
    EXPECT_EQ(out.size(), 4608u * 5);
    // Source and decoded amounts are counted alike.
    EXPECT_EQ(o.track->sourceFor(12345), 12345u);
    EXPECT_EQ(o.track->decodedFor(12345), 12345u);
    const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(dir / "s.mp3"));
    EXPECT_EQ(o.track->decodedLength(), uint64_t(shape.frames) * 1152u * 4u);

    // As floats (useNative) between two reads: the counts in the float
    // form, and reading goes on with the next frame, the 16-bit samples
    // before rounding.
    o.track->useNative(true);
    EXPECT_EQ(o.track->fileFormat().wFormatTag, acm::WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(o.track->sourceUnit(), 8u * 1152u);
    EXPECT_EQ(o.track->decodedLength(), uint64_t(shape.frames) * 1152u * 8u);
    std::vector<uint8_t> floats;
    EXPECT_EQ(o.track->decode(9216, floats), 9216);
    EXPECT_EQ(o.track->sourceLeft(), o.track->decodedLength() - 6u * 9216u);
    auto narrow = openAs((dir / "s.mp3").string());
    const auto pcm = drain(*narrow.track, 4608 * 6);
    ASSERT_GE(pcm.size(), 6u * 2304u);
    for (size_t i = 0; i < 2304; ++i) {
        float x = 0;
        std::memcpy(&x, floats.data() + 4 * i, 4);
        ASSERT_EQ(std::clamp(std::lrint(x * 32768.0f), -32768L, 32767L), pcm[5 * 2304 + i]) << i;
    }
}

// Seeking lands on the sample asked for: the output from there is the same
// slice of a full decode, at the music's start, at frame edges and inside
// frames; a target past the end is the end.
TEST_F(MpegTrackTest, SeeksToTheSample) {
    ASSERT_TRUE(encode(dir, "lame --quiet -V 4 {in} {out}", 44100, 2, 3.0, "c.mp3"));
    auto o = openAs((dir / "c.mp3").string());
    ASSERT_EQ(o.status, 0);
    const auto all = drain(*o.track, 17640);
    ASSERT_EQ(all.size(), 44100u * 3 * 2);

    SeekRequest rq;
    rq.file = rq.array = o.track->fileFormat();
    for (uint64_t k : {0, 1, 47, 48, 49, 1199, 1200, 1201, 44100, 100000, 132299}) {
        SeekResult res;
        rq.arrayBytes = k * 4;
        ASSERT_EQ(o.track->seek(rq, res), 0) << k;
        EXPECT_EQ(res.fileBytes, k * 4) << k;
        EXPECT_TRUE(res.arrayKnown);
        EXPECT_EQ(res.arrayBytes, k * 4) << k;
        std::vector<uint8_t> bytes;
        while (bytes.size() < 4000 * 4 && o.track->decode(4608, bytes) > 0) {}
        const size_t n = std::min<size_t>(bytes.size() / 2, all.size() - k * 2);
        ASSERT_EQ(n, std::min<size_t>(bytes.size() / 2, all.size() - k * 2));
        ASSERT_GT(n, 0u) << k;
        std::vector<int16_t> part(n);
        std::memcpy(part.data(), bytes.data(), n * 2);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + long(k * 2))) << k;
    }
    SeekResult res;
    rq.arrayBytes = uint64_t(all.size()) * 2 + 4000;
    ASSERT_EQ(o.track->seek(rq, res), 0);
    EXPECT_EQ(res.arrayBytes, uint64_t(all.size()) * 2);
    std::vector<uint8_t> tail;
    EXPECT_EQ(o.track->decode(4608, tail), 0);
}

// The codec manager path: chosen with ACM_DRIVER_OUT, or forced for Layer III
// below 52 kbit/s. Its timeline is the built-in decoder's: the same length,
// the same samples within one LSB at lag 0.
TEST_F(MpegTrackTest, CodecManagerPath) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 48 {in} {out}", 44100, 2, 2.0, "low.mp3"));
    auto viaAcm = openAs((dir / "low.mp3").string(), X_AUDIO);
    ASSERT_EQ(viaAcm.status, 0);
    EXPECT_EQ(viaAcm.track->kind(), ContainerKind::MpegThroughAcm);
    Mp3Settings mp3;
    OutputSettings out;
    viaAcm.track->reportFoundSettings(mp3, out);
    EXPECT_EQ(mp3.bitrate, 48);
    // The codec manager gets an MPEG Layer-3 record: tag 85, the stream's
    // byte rate, codec delay 1393; the file format is its 16-bit PCM form.
    const auto& full = viaAcm.track->fullFormat();
    EXPECT_EQ(tagOf(full), 85);
    EXPECT_EQ(headerOf(full).nAvgBytesPerSec, 48u * 125u);
    EXPECT_EQ(headerOf(full).cbSize, 12);
    EXPECT_EQ(viaAcm.track->fileFormat().wFormatTag, 1);
    EXPECT_EQ(viaAcm.track->fileFormat().nBlockAlign, 4);
    const auto acmPcm = drain(*viaAcm.track, 17640);

    ASSERT_TRUE(encode(dir, "lame --quiet -b 56 {in} {out}", 44100, 2, 2.0, "at56.mp3"));
    EXPECT_EQ(openAs((dir / "at56.mp3").string(), X_AUDIO).track->kind(), ContainerKind::Mpeg);
    auto chosen = openAs((dir / "at56.mp3").string(), ACM_DRIVER_OUT);
    ASSERT_EQ(chosen.status, 0);
    EXPECT_EQ(chosen.track->kind(), ContainerKind::MpegThroughAcm);

    // Against the built-in decoder.
    qoro::mpeg::MpegFileDecoder builtIn;
    ASSERT_EQ(builtIn.open((dir / "low.mp3").string()), 0);
    std::vector<int16_t> ref(1u << 20);
    size_t used = 0;
    for (size_t n; (n = builtIn.read(ref.data() + used / 2, ref.size() * 2 - used)) > 0;) used += n;
    ref.resize(used / 2);
    EXPECT_EQ(acmPcm.size() * 2, viaAcm.track->decodedLength());
    EXPECT_EQ(acmPcm.size(), ref.size());
    const t::Difference d = t::compare(ref, acmPcm);
    EXPECT_EQ(d.compared, ref.size());
    EXPECT_LE(d.maxAbs, 1);
}

// RIFF WAVE files whose data is MPEG audio decode like the bare stream, and
// keep their own format record.
TEST_F(MpegTrackTest, MpegInsideWave) {
    ASSERT_TRUE(encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 128k {out}", 44100, 2, 1.0, "l2.wav"));
    ASSERT_TRUE(
        encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 128k -f mp2 {out}", 44100, 2, 1.0, "l2.mp2"));
    const auto wav = t::readBytes(dir / "l2.wav");
    ASSERT_GT(wav.size(), 22u);
    ASSERT_EQ(wav[20] | (wav[21] << 8), 80);  // WAVE_FORMAT_MPEG
    for (int32_t decoder : {X_AUDIO, ACM_DRIVER_OUT}) {
        auto inWave = openAs((dir / "l2.wav").string(), decoder, false, true);
        ASSERT_EQ(inWave.status, 0);
        EXPECT_EQ(inWave.track->kind(), ContainerKind::Mpeg);  // Layer II: always the built-in decoder
        EXPECT_EQ(tagOf(inWave.track->fullFormat()), 80);
        auto bare = openAs((dir / "l2.mp2").string());
        ASSERT_EQ(bare.status, 0);
        const auto a = drain(*inWave.track, 17640);
        const auto b = drain(*bare.track, 17640);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));
        EXPECT_EQ(inWave.track->decodedLength(), a.size() * 2);
    }

    // Layer III in tag 85: the built-in decoder by default, the codec
    // manager when chosen; the same music either way.
    ASSERT_TRUE(
        encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a libmp3lame -b:a 128k {out}", 44100, 2, 1.0, "l3.wav"));
    auto builtIn = openAs((dir / "l3.wav").string(), X_AUDIO, false, true);
    ASSERT_EQ(builtIn.status, 0);
    EXPECT_EQ(builtIn.track->kind(), ContainerKind::Mpeg);
    EXPECT_EQ(tagOf(builtIn.track->fullFormat()), 85);
    auto manager = openAs((dir / "l3.wav").string(), ACM_DRIVER_OUT, false, true);
    ASSERT_EQ(manager.status, 0);
    EXPECT_EQ(manager.track->kind(), ContainerKind::MpegThroughAcm);
    const auto x = drain(*builtIn.track, 17640);
    const auto y = drain(*manager.track, 17640);
    EXPECT_EQ(x.size(), y.size());
    EXPECT_LE(t::compare(x, y).maxAbs, 1);
}

// Files that are not MPEG audio, or hardly any, fail the open with
// FORMATFILE or decode what is there; nothing crashes.
TEST(MpegTrackHostile, NotMpegAndTruncated) {
    t::TempDir dir;
    t::writeBytes(dir / "text.mp3", std::vector<uint8_t>(5000, 'x'));
    EXPECT_EQ(openAs((dir / "text.mp3").string()).status, status::kFormatFile);
    EXPECT_EQ(openAs((dir / "missing.mp3").string()).status, status::kFormatFile);
    t::writeBytes(dir / "empty.mp3", {});
    EXPECT_EQ(openAs((dir / "empty.mp3").string()).status, status::kFormatFile);

    auto bytes = t::readBytes(t::testdata("mpeg/l3-compl.bit"));
    for (size_t cut : {size_t(5), size_t(700), bytes.size() / 3}) {
        t::writeBytes(dir / "cut.mp3", std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
        auto o = openAs((dir / "cut.mp3").string());
        if (o.status != 0) continue;
        const auto pcm = drain(*o.track, 4608);
        EXPECT_LE(pcm.size(), (cut / 96 + 2) * 2304);
    }
}

}  // namespace
