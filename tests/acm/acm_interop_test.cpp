// Interop with ffmpeg: files ffmpeg writes decode through our streams to the
// samples ffmpeg decodes, and what our encoders write decodes in ffmpeg to the
// samples our decoders produce, with an SNR close to ffmpeg's own encoder.
#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qoro::test;
using namespace acmtest;

namespace {

struct CodecCase {
    const char* name;
    const char* ffEncoder;  // -c:a for encoding
    const char* ffDecoder;  // -c:a before -i for decoding ("" = default)
    int rate;
    int channels;
    bool bitExact;
};

void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

std::string ffDecodeArgs(const CodecCase& c) {
    return std::string(c.ffDecoder[0] ? std::string("-c:a ") + c.ffDecoder + " " : "");
}

// ffmpeg's decode of a WAV to 16-bit samples at the file's own rate and channels.
std::vector<int16_t> ffmpegDecode(const CodecCase& c, const fs::path& wav, const fs::path& raw) {
    const auto r = run("ffmpeg -v error -y " + ffDecodeArgs(c) + "-i " + shellQuote(wav.string()) + " -f s16le " +
                       shellQuote(raw.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readPcm16(raw);
}

// The offset of b against a (b[i + offset] ~ a[i]) with the smallest squared
// difference over a window in the middle of a.
long bestOffset(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long range, int channels) {
    const long window = 8192, start = static_cast<long>(a.size()) / 2 - window / 2;
    long best = 0;
    double bestSum = 1e300;
    for (long off = -range; off <= range; off += channels) {
        if (start + off < 0 || start + off + window > static_cast<long>(b.size()) || start < 0) continue;
        double sum = 0;
        for (long i = start; i < start + window; ++i) {
            const double d = double(a[static_cast<size_t>(i)]) - b[static_cast<size_t>(i + off)];
            sum += d * d;
        }
        if (sum < bestSum) {
            bestSum = sum;
            best = off;
        }
    }
    return best;
}

class AcmInterop : public ::testing::TestWithParam<CodecCase> {};

TEST_P(AcmInterop, DecodesFfmpegAndEncodesForFfmpeg) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const CodecCase c = GetParam();
    TempDir dir;
    const int frames = c.rate;  // one second
    const auto input = testSignal(c.rate, c.channels, frames, 0.5);
    writeWav16(dir / "in.wav", c.rate, c.channels, input);

    // ffmpeg encodes; both decode.
    auto r = run("ffmpeg -v error -y -i " + shellQuote((dir / "in.wav").string()) + " -c:a " + c.ffEncoder +
                 (std::string(c.name) == "mp3" ? " -b:a 128k" : "") + " " + shellQuote((dir / "ff.wav").string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const WavParts ff = readWav(dir / "ff.wav");
    ASSERT_FALSE(ff.format.empty());
    const auto ffDecoded = ffmpegDecode(c, dir / "ff.wav", dir / "ff.raw");
    const auto ourDecoded = decode(ff.format, ff.data);
    ASSERT_FALSE(ourDecoded.empty());
    if (c.bitExact) {
        EXPECT_EQ(ourDecoded.size(), ffDecoded.size());
        const Difference d = compare(ffDecoded, ourDecoded);
        EXPECT_EQ(d.maxAbs, 0) << "rms " << d.rms;
    } else {
        const long off = bestOffset(ffDecoded, ourDecoded, 2400 * c.channels, c.channels);
        const Difference d = compare(ffDecoded, ourDecoded, off);
        EXPECT_GT(d.compared, input.size() * 9 / 10);
        EXPECT_LE(d.rms, 4.0) << "offset " << off;
        EXPECT_LE(d.maxAbs, 64) << "offset " << off;
        std::printf("[ %s ] against ffmpeg's decoder: offset %ld, rms %.3f, max %d\n", c.name, off, d.rms, d.maxAbs);
    }
    const double ffSnr =
        snrDb(input, ffDecoded, c.bitExact ? 0 : bestOffset(input, ffDecoded, 2400 * c.channels, c.channels));

    // We encode with ffmpeg's record; ffmpeg and we decode it.
    const auto ourData = encode(ff.format, input);
    ASSERT_FALSE(ourData.empty());
    writeWav(dir / "ours.wav", ff.format, ourData);
    const auto ffOfOurs = ffmpegDecode(c, dir / "ours.wav", dir / "ours.raw");
    const auto ourOfOurs = decode(ff.format, ourData);
    if (c.bitExact) {
        EXPECT_EQ(ffOfOurs.size(), ourOfOurs.size());
        EXPECT_EQ(compare(ffOfOurs, ourOfOurs).maxAbs, 0);
    } else {
        const long off = bestOffset(ffOfOurs, ourOfOurs, 2400 * c.channels, c.channels);
        EXPECT_LE(compare(ffOfOurs, ourOfOurs, off).rms, 4.0);
    }
    const long ourOff = c.bitExact ? 0 : bestOffset(input, ourOfOurs, 2400 * c.channels, c.channels);
    const double ourSnr = snrDb(input, ourOfOurs, ourOff);
    EXPECT_GE(ourSnr, ffSnr - 1.0) << "ours " << ourSnr << " dB, ffmpeg " << ffSnr << " dB";
    EXPECT_GT(ourSnr, 5.0);
    std::printf("[ %s ] SNR ours %.2f dB, ffmpeg %.2f dB\n", c.name, ourSnr, ffSnr);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AcmInterop,
                         ::testing::Values(CodecCase{"alaw", "pcm_alaw", "", 8000, 1, true},
                                           CodecCase{"mulaw", "pcm_mulaw", "", 22050, 2, true},
                                           CodecCase{"ima", "adpcm_ima_wav", "", 22050, 2, true},
                                           CodecCase{"ima_mono", "adpcm_ima_wav", "", 8000, 1, true},
                                           CodecCase{"ms", "adpcm_ms", "", 11025, 2, true},
                                           CodecCase{"ms_mono", "adpcm_ms", "", 44100, 1, true},
                                           CodecCase{"gsm", "libgsm_ms", "libgsm_ms", 8000, 1, true},
                                           CodecCase{"mp3", "libmp3lame", "", 44100, 2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The layouts of the raw table (256/512/1024-byte blocks per channel) written
// by our encoders decode in ffmpeg to what we decode.
TEST(AcmInteropTable, OurStandardLayoutsDecodeInFfmpeg) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    int checked = 0;
    for (acm::DriverId id : acm::drivers()) {
        acm::Driver d;
        ASSERT_EQ(d.open(id), acm::Result::Ok);
        for (const auto& rec : d.formats()) {
            acm::WAVEFORMATEX h{};
            acm::readHeader(rec, h);
            if (h.wFormatTag != acm::WAVE_FORMAT_IMA_ADPCM && h.wFormatTag != acm::WAVE_FORMAT_ADPCM &&
                h.wFormatTag != acm::WAVE_FORMAT_GSM610)
                continue;
            if (h.wFormatTag == acm::WAVE_FORMAT_GSM610 && h.nSamplesPerSec != 8000) continue;
            SCOPED_TRACE(acm::describe(rec));
            const auto input =
                testSignal(static_cast<int>(h.nSamplesPerSec), h.nChannels, static_cast<int>(h.nSamplesPerSec / 4));
            const auto coded = encode(rec, input);
            writeWav(dir / "t.wav", rec, coded);
            const CodecCase c{"t",
                              "",
                              h.wFormatTag == acm::WAVE_FORMAT_GSM610 ? "libgsm_ms" : "",
                              static_cast<int>(h.nSamplesPerSec),
                              h.nChannels,
                              true};
            const auto theirs = ffmpegDecode(c, dir / "t.wav", dir / "t.raw");
            const auto ours = decode(rec, coded);
            EXPECT_EQ(theirs.size(), ours.size());
            EXPECT_EQ(compare(theirs, ours).maxAbs, 0);
            EXPECT_GT(snrDb(input, ours), 10.0);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 17);
}

}  // namespace
