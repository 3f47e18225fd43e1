// The MPEG reader as the engine drives it: facts handed to the object, the
// expected length, whole-frame reading, seeking by time, the description, the
// switch to the codec manager, and MPEG audio inside RIFF WAVE files.
#include "mpeg_track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "mpeg/mpeg_header.h"
#include "mpeg_file_decoder.h"
#include "qoro/AudioFile.h"
#include "conformance_streams.h"
#include "test_support.h"

using namespace qoro::audiofile;
namespace t = qoro::test;

namespace {

struct Opened {
    int16_t status = 0;
    std::unique_ptr<Track> track;
};

Opened openAs(const std::string& path, int32_t decoder = X_AUDIO, bool readWrite = false,
              bool inWave = false) {
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
    void SetUp() override {
        QORO_REQUIRE_TOOLS("lame", "ffmpeg");
    }
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

    // The expected length comes from the stream (an Info frame here): it is
    // the decoded length, in whole sample frames.
    const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(dir / "j.mp3"));
    const int64_t frames = shape.frames;
    const int spf = shape.samplesPerFrame, channels = shape.channels;
    const auto pcm = drain(*o.track, 17640);
    EXPECT_EQ(o.track->decodedLength() % 4, 0u);
    EXPECT_NEAR(double(o.track->decodedLength()), double(pcm.size() * 2), 2.0 * 1152 * 4);
    // mpg123 and we agree on every frame but the Info frame, which decodes
    // to silence here.
    EXPECT_EQ(int64_t(pcm.size()), frames * spf * channels);
}

TEST_F(MpegTrackTest, DescriptionOfMpeg25MonoAndLayer2) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 16 -m m {in} {out}", 8000, 1, 1.0, "m.mp3"));
    auto o = openAs((dir / "m.mp3").string(), X_AUDIO);
    ASSERT_EQ(o.status, 0);
    // 16 kbit/s is below the 52 kbit/s switch: read through the codec manager.
    EXPECT_EQ(o.track->kind(), ContainerKind::MpegThroughAcm);
    EXPECT_EQ(o.track->describe(), "MPEG 3.0 layer-3: 8,000 kHz; Mono; 16 Kbps; ");

    ASSERT_TRUE(encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 32k -ac 1 -f mp2 {out}", 22050, 1,
                       1.0, "l2.mp2"));
    auto l2 = openAs((dir / "l2.mp2").string(), ACM_DRIVER_OUT);
    ASSERT_EQ(l2.status, 0);
    // Layer II is always the built-in decoder, at any bitrate and choice.
    EXPECT_EQ(l2.track->kind(), ContainerKind::Mpeg);
    EXPECT_EQ(l2.track->describe(), "MPEG 2.0 layer-2: 22,050 kHz; Mono; 32 Kbps; ");
}

// Reading takes whole frames: a request of one frame's bytes gives one frame,
// one byte more gives two.
TEST_F(MpegTrackTest, ReadsWholeFrames) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 128 -m s {in} {out}", 44100, 2, 1.0, "s.mp3"));
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
}

// Seeking by time: back to 0 repeats the output; a time past the end is the
// end; a time inside lands on the frame the byte offset maps to.
TEST_F(MpegTrackTest, SeeksByTime) {
    ASSERT_TRUE(encode(dir, "lame --quiet -b 128 {in} {out}", 44100, 2, 3.0, "c.mp3"));
    auto o = openAs((dir / "c.mp3").string());
    ASSERT_EQ(o.status, 0);
    const auto all = drain(*o.track, 17640);
    ASSERT_GT(all.size(), 44100u * 2 * 2);

    SeekRequest rq;
    rq.file = rq.array = o.track->fileFormat();
    SeekResult res;
    rq.targetArrayBytes = 0;
    ASSERT_EQ(o.track->seek(rq, res), 0);
    EXPECT_EQ(res.fileBytes, 0u);
    const auto again = drain(*o.track, 17640);
    ASSERT_EQ(again.size(), all.size());
    EXPECT_TRUE(std::equal(again.begin(), again.end(), all.begin()));

    // One second in: the output continues as a frame of the full decode
    // (after the bit reservoir refills), within a frame of the target.
    rq.targetArrayBytes = 44100 * 4;
    ASSERT_EQ(o.track->seek(rq, res), 0);
    EXPECT_EQ(res.fileBytes, 44100u * 4);
    EXPECT_TRUE(res.arrayKnown);
    std::vector<uint8_t> bytes;
    while (bytes.size() < 4608 * 6 && o.track->decode(4608, bytes) > 0) {}
    ASSERT_EQ(bytes.size(), 4608u * 6);
    std::vector<int16_t> part(bytes.size() / 2);
    std::memcpy(part.data(), bytes.data(), bytes.size());
    // Compare the last frame read with every frame-aligned place near 1 s.
    const std::vector<int16_t> last(part.end() - 2304, part.end());
    bool found = false;
    for (long frame = 30; frame < 50 && !found; ++frame) {
        const long at = frame * 2304;
        if (size_t(at + 2304) > all.size()) break;
        const t::Difference d = t::compare(last, std::vector<int16_t>(all.begin() + at, all.begin() + at + 2304));
        found = d.maxAbs <= 1;
    }
    EXPECT_TRUE(found) << "the frame after a seek is not a frame of the stream near the target";

    rq.targetArrayBytes = uint64_t(all.size()) * 2 * 4;
    ASSERT_EQ(o.track->seek(rq, res), 0);
    std::vector<uint8_t> tail;
    o.track->decode(4608, tail);
    EXPECT_LE(tail.size(), 4608u);
}

// The codec manager path: chosen with ACM_DRIVER_OUT, or forced for Layer III
// below 52 kbit/s. Its output matches the built-in decoder's.
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

    // Against the built-in decoder (same frames, no gapless trimming).
    {
        qoro::mpeg::MpegFileDecoder builtIn;
        ASSERT_EQ(builtIn.open((dir / "low.mp3").string()), 0);
        std::vector<int16_t> ref(1u << 20);
        size_t used = 0;
        for (size_t n; (n = builtIn.read(ref.data() + used / 2, ref.size() * 2 - used)) > 0;) used += n;
        ref.resize(used / 2);
        const auto shape = qoro::mpeg::testing::measureStream(t::readBytes(dir / "low.mp3"));
        const int64_t frames = shape.frames;
        const int spf = shape.samplesPerFrame, channels = shape.channels;
        // Every frame comes out (the Info frame as silence in both).
        EXPECT_NEAR(double(acmPcm.size()), double(frames * spf * channels), double(spf * channels));
        long best = 0;
        double bestRms = 1e9;
        for (long shift = -1152 * 2; shift <= 1152 * 2; shift += 2) {
            const t::Difference d = t::compare(ref, acmPcm, shift);
            if (d.rms < bestRms) bestRms = d.rms, best = shift;
        }
        const t::Difference d = t::compare(ref, acmPcm, best);
        EXPECT_LE(d.maxAbs, 2) << "shift " << best;
        EXPECT_LE(d.rms, 0.5);
    }
}

// RIFF WAVE files whose data is MPEG audio decode like the bare stream.
TEST_F(MpegTrackTest, MpegInsideWave) {
    ASSERT_TRUE(encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 128k {out}", 44100, 2, 1.0,
                       "l2.wav"));
    ASSERT_TRUE(encode(dir, "ffmpeg -loglevel error -y -i {in} -c:a mp2 -b:a 128k -f mp2 {out}", 44100, 2, 1.0,
                       "l2.mp2"));
    const auto wav = t::readBytes(dir / "l2.wav");
    ASSERT_GT(wav.size(), 22u);
    ASSERT_EQ(wav[20] | (wav[21] << 8), 80);  // WAVE_FORMAT_MPEG
    auto inWave = openAs((dir / "l2.wav").string(), X_AUDIO, false, true);
    ASSERT_EQ(inWave.status, 0);
    EXPECT_EQ(inWave.track->kind(), ContainerKind::Mpeg);
    auto bare = openAs((dir / "l2.mp2").string());
    ASSERT_EQ(bare.status, 0);
    const auto a = drain(*inWave.track, 17640);
    const auto b = drain(*bare.track, 17640);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));
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
