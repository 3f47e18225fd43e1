// M4A written through the media plug-in (qoro convert --to m4a / alac over
// the AudioFile object): exactly as long as the source for ffprobe, for our
// reader and in iTunSMPB, at lag 0 for both decoders (ffmpeg's at most one
// AAC frame longer), ALAC bit-exact at 16 and 24 bits in 2 and 6 channels,
// "moov" before the audio with 4 KiB of room after it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;
using qoro::com::ComPtr;

namespace {

struct WriteCase {
    const char* name;
    const char* to;  // qoro's --to
    int rate, channels, bits;
    bool lossless;
};

constexpr int kFrames = 77777;  // no whole number of AAC or ALAC frames

const WriteCase kCases[] = {
    {"aac_stereo", "m4a", 44100, 2, 16, false},
    {"aac_mono_48k", "m4a", 48000, 1, 16, false},
    {"alac_16", "alac", 44100, 2, 16, true},
    {"alac_24_96k", "alac", 96000, 2, 24, true},
    {"alac_24_5_1", "alac", 48000, 6, 24, true},
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

std::string q(const fs::path& p) { return t::shellQuote(p.string()); }

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The top-level boxes of an MP4 file: types and sizes in order.
std::vector<std::pair<std::string, uint64_t>> topBoxes(const std::vector<uint8_t>& b) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (uint64_t at = 0; at + 8 <= b.size();) {
        uint64_t size = be32(&b[at]);
        if (size == 1 && at + 16 <= b.size()) size = uint64_t(be32(&b[at + 8])) << 32 | be32(&b[at + 12]);
        if (size == 0) size = b.size() - at;
        if (size < 8) break;
        out.emplace_back(std::string(reinterpret_cast<const char*>(&b[at + 4]), 4), size);
        at += size;
    }
    return out;
}

// The offset (in frames, within +-range) at which b best matches a on the
// first channel: b[i + lag] against a[i].
long bestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int channels, long range) {
    long best = 0;
    double bestError = -1;
    const size_t from = 8192, count = 8192;
    for (long lag = -range; lag <= range; ++lag) {
        double e = 0;
        for (size_t i = from; i < from + count; ++i) {
            const double d = a[i * channels] - double(b[(long(i) + lag) * channels]);
            e += d * d;
        }
        if (bestError < 0 || e < bestError) bestError = e, best = lag;
    }
    return best;
}

class M4aWrite : public t::AudioFileSession, public ::testing::WithParamInterface<WriteCase> {
protected:
    t::TempDir dir;
};

}  // namespace

TEST_P(M4aWrite, IsAsLongAsTheSourceAtLagZeroForEveryDecoder) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe");
    const WriteCase& c = GetParam();
    const fs::path src = dir / "src.wav", out = dir / "out.m4a", ref = dir / "ref.raw", ff = dir / "ff.raw";
    std::string synth = " synth " + std::to_string(kFrames) + "s sine 300-3000 sine 555";
    if (c.channels == 6) synth += " sine 700 sine 900 sine 80 sine 1500";
    t::mustRun("sox -D -R -r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels) + " -n -b " +
               std::to_string(c.bits) + " " + q(src) + synth + " gain -6");
    const auto made = t::run(t::shellQuote(t::binPath("qoro").string()) + " convert " + q(src) + " --to " + c.to +
                             " -o " + q(out));
    ASSERT_EQ(made.exitCode, 0) << made.output;

    // ffprobe: the codec, and the edit list's length in samples.
    const auto probed = t::mustRun("ffprobe -v error -show_entries stream=codec_name,duration_ts,channels "
                                   "-of default=nw=1:nk=1 " + q(out));
    EXPECT_EQ(probed, std::string(c.lossless ? "alac" : "aac") + "\n" + std::to_string(c.channels) + "\n" +
                          std::to_string(kFrames) + "\n");
    const auto boxes = topBoxes(t::readBytes(out));
    ASSERT_GE(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].first, "ftyp");
    EXPECT_EQ(boxes[1].first, "moov");
    EXPECT_EQ(boxes[2], (std::pair<std::string, uint64_t>{"free", 4096}));
    EXPECT_EQ(boxes.back().first, "mdat");

    if (c.lossless) {
        // Bit-exact in our reader and in ffmpeg.
        t::mustRun("ffmpeg -v error -y -i " + q(src) + " -f s32le " + q(ref));
        t::mustRun("ffmpeg -v error -y -i " + q(out) + " -f s32le " + q(ff));
        const auto expected = t::readBytes(ref);
        EXPECT_EQ(t::readBytes(ff), expected);
        ASSERT_TRUE(open(out.string()));
        ComPtr<IAudioFile3> af3;
        ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
        ASSERT_EQ(af3->SetFormatArrayKind(c.rate, c.channels, SAMPLE_INT32), S_OK);
        EXPECT_EQ(t::readSamplesFrom(af3.get(), 4000, VT_I4), expected);
        return;
    }
    // AAC: our reader gives the source's length at lag 0; ffmpeg (5.1 trims
    // the priming by the edit list, not the end) at lag 0, at most one frame
    // longer; both within the codec's noise of the source.
    t::mustRun("ffmpeg -v error -y -i " + q(src) + " -f s16le " + q(ref));
    t::mustRun("ffmpeg -v error -y -i " + q(out) + " -f s16le " + q(ff));
    const auto source = t::readPcm16(ref), fromFfmpeg = t::readPcm16(ff);
    ASSERT_TRUE(open(out.string()));
    const auto ours = readAll(4096);
    ASSERT_EQ(ours.size(), source.size());
    EXPECT_EQ(bestLag(source, ours, c.channels, 64), 0);
    EXPECT_GT(t::snrDb(source, ours), 25.0);
    ASSERT_GE(fromFfmpeg.size(), source.size());
    EXPECT_LE(fromFfmpeg.size(), source.size() + 1024u * c.channels);
    EXPECT_EQ(bestLag(source, fromFfmpeg, c.channels, 64), 0);
    // iTunSMPB states the same length.
    const auto smpb = t::run("/usr/bin/python3 -c \"import mutagen.mp4 as m, sys; "
                             "print(m.MP4(sys.argv[1])['----:com.apple.iTunes:iTunSMPB'][0].decode().split()[3])\" " +
                             q(out));
    ASSERT_EQ(smpb.exitCode, 0) << smpb.output;
    EXPECT_EQ(std::stoull(smpb.output, nullptr, 16), uint64_t(kFrames));
}

INSTANTIATE_TEST_SUITE_P(Kinds, M4aWrite, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A source of no samples makes no M4A: MP4 muxers leave out a track without
// samples, and a file without its audio track is no audio file.
TEST(M4aWriteEmpty, NoSamplesIsAFailureAndLeavesNoFile) {
    t::TempDir dir;
    const fs::path wav = dir / "empty.wav", out = dir / "out.m4a";
    t::writeWav16(wav, 44100, 2, {});
    const auto r = t::run(t::shellQuote(t::binPath("qoro").string()) + " convert " + q(wav) + " -o " + q(out));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("an M4A file cannot hold no samples"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out));
}
