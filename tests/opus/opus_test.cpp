// Ogg Opus through the AudioFile object (created through the component
// runtime, driven through IAudioFile2), judged by opus-tools: a file opusenc
// makes reads at 48000 Hz with exactly as many samples as opusdec gives
// (the encoder's delay and the trimmed end left out) and the same sound
// within 40 dB; what the object writes passes opusinfo and decodes to the
// length that was written; seeks land on the sample asked for; damaged and
// foreign files are refused with their cause, without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::Bstr;
using qoro::com::ComPtr;
using qoro::test::errorText;
using qoro::test::mustRun;

namespace {

std::string q(const t::fs::path& p) { return t::shellQuote(p.string()); }

// Signal-to-noise ratio of `got` against `reference` in dB (the common
// length; a perfect match is 200).
double snrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& got) {
    const size_t n = std::min(reference.size(), got.size());
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i) {
        const double r = reference[i], d = r - got[i];
        signal += r * r;
        noise += d * d;
    }
    if (noise == 0) return 200;
    return 10 * std::log10(signal / noise);
}

// What opusdec decodes, at 48000 Hz without dither, as 16-bit samples.
std::vector<int16_t> opusdecSamples(const t::fs::path& opus) {
    const t::fs::path raw = opus.string() + ".raw";
    mustRun("opusdec --quiet --rate 48000 --no-dither " + q(opus) + " " + q(raw));
    return t::readPcm16(raw);
}

class OpusTest : public t::AudioFileSession {
protected:
    void SetUp() override {
        AudioFileSession::SetUp();
        ASSERT_EQ(af.as(IID_IAudioFile2, af2), S_OK);
    }
    void TearDown() override {
        af2.reset();
        AudioFileSession::TearDown();
    }

    // An Opus file made by opusenc from a sox signal (two sines and noise).
    t::fs::path toolOpus(const std::string& name, int rate, int channels, double seconds,
                         const std::string& options = "") {
        const t::fs::path wav = dir / (name + ".wav");
        const t::fs::path opus = dir / (name + ".opus");
        mustRun("sox -D -R -r " + std::to_string(rate) + " -n -c " + std::to_string(channels) + " -b 16 " + q(wav) +
                " synth " + std::to_string(seconds) + " sine 440 sine 1234 pinknoise gain -n -6");
        mustRun("opusenc --quiet " + options + " " + q(wav) + " " + q(opus));
        return opus;
    }

    LONG setFormatOpus(LONG channels, LONG bitrate, LONG complexity) {
        LONG align = -1;
        EXPECT_EQ(af2->SetFormatOpus(channels, bitrate, complexity, &align), S_OK);
        return align;
    }

    void writeOpus(const t::fs::path& path, LONG channels, LONG bitrate, LONG complexity,
                   const std::vector<int16_t>& samples) {
        ASSERT_EQ(setFormatOpus(channels, bitrate, complexity), channels * 2);
        ASSERT_EQ(err(), NOERRORS);
        ASSERT_TRUE(create(path.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 48000);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), channels);
        writeAll(samples, 4099 * static_cast<size_t>(channels));
        ASSERT_EQ(af->CloseFile(), S_OK);
        ASSERT_EQ(err(), NOERRORS) << errorText();
    }

    t::TempDir dir;
    ComPtr<IAudioFile2> af2;
};

// opusenc's files, fed at 44100, 48000 and 16000 Hz in mono, stereo and 5.1:
// read at 48000 Hz, the length exactly opusdec's (pre-skip and end trimming
// honoured), the samples within 40 dB of opusdec's decode (the same decoder,
// rounded without dither on both sides), 5.1 mixed down to stereo.
TEST_F(OpusTest, ToolFilesReadAtTheirExactLengthAndSoundAsOpusdecDecodesThem) {
    QORO_REQUIRE_TOOLS("sox", "opusenc", "opusdec");
    struct Case {
        int rate, channels;
    };
    for (const Case c : {Case{44100, 2}, Case{48000, 1}, Case{16000, 2}, Case{48000, 6}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
        const t::fs::path opus =
            toolOpus("tool" + std::to_string(c.rate) + "_" + std::to_string(c.channels), c.rate, c.channels, 2.3);
        const std::vector<int16_t> reference = opusdecSamples(opus);
        const int channels = c.channels == 6 ? 2 : c.channels;
        const long frames = static_cast<long>(reference.size()) / (c.channels == 6 ? 6 : channels);
        // 2.3 s of the source's rate, at 48 kHz.
        EXPECT_NEAR(frames, 2.3 * 48000, 1);

        ASSERT_TRUE(open(opus.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), frames);
        EXPECT_EQ(prop(&IAudioFile::get_Frequency), 48000);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 48000);
        EXPECT_EQ(prop(&IAudioFile::get_nChannels), channels);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), channels);
        EXPECT_EQ(prop(&IAudioFile::get_Duration), frames * 1000 / 48000);
        Bstr text;
        ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
        EXPECT_NE(text.utf8().find("Opus"), std::string::npos) << text.utf8();

        const std::vector<int16_t> got = readAll(1237);
        EXPECT_EQ(err(), NOERRORS) << errorText();
        ASSERT_EQ(static_cast<long>(got.size()), frames * channels);
        if (c.channels != 6) {
            EXPECT_GE(snrDb(reference, got), 40.0);
        }
        ASSERT_EQ(af->CloseFile(), S_OK);
    }
}

// What the object writes: opusinfo accepts it, opusdec decodes exactly as
// many samples as were written (at every complexity, mono and stereo), it
// sounds like the source, and a higher bitrate makes a bigger file. The
// object reads its own files at the same length and within 40 dB of
// opusdec.
TEST_F(OpusTest, WrittenFilesPassOpusinfoAndKeepTheirLength) {
    QORO_REQUIRE_TOOLS("opusinfo", "opusdec");
    struct Case {
        LONG channels, bitrate, complexity;
    };
    uintmax_t sizeAt[2] = {};
    for (const Case c : {Case{2, 128, 10}, Case{1, 64, 5}, Case{2, 48, 0}, Case{2, 256, 10}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " ch, " + std::to_string(c.bitrate) + " kbit/s, complexity " +
                     std::to_string(c.complexity));
        const int frames = 48000 * 2 + 777;
        const std::vector<int16_t> samples = t::testSignal(48000, c.channels, frames, 0.6);
        const t::fs::path path = dir / ("out" + std::to_string(c.channels) + "_" + std::to_string(c.bitrate) + ".opus");
        writeOpus(path, c.channels, c.bitrate, c.complexity, samples);
        if (c.channels == 2 && c.complexity == 10) sizeAt[c.bitrate == 256] = t::fs::file_size(path);

        const std::string info = mustRun("opusinfo " + q(path));
        EXPECT_NE(info.find("Channels: " + std::to_string(c.channels)), std::string::npos) << info;
        const std::vector<int16_t> decoded = opusdecSamples(path);
        ASSERT_EQ(decoded.size(), samples.size());
        EXPECT_GE(snrDb(samples, decoded), c.bitrate >= 64 ? 15.0 : 8.0);

        ASSERT_TRUE(open(path.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), frames);
        const std::vector<int16_t> got = readAll(4000);
        ASSERT_EQ(got.size(), samples.size());
        EXPECT_GE(snrDb(decoded, got), 40.0);
        ASSERT_EQ(af->CloseFile(), S_OK);
    }
    EXPECT_GT(sizeAt[1], sizeAt[0] * 3 / 2);
}

// A file with no samples at all is still a whole Opus file: opusinfo takes
// it, and it reads as empty.
TEST_F(OpusTest, AnEmptyFileIsAWholeStream) {
    QORO_REQUIRE_TOOLS("opusinfo");
    const t::fs::path path = dir / "empty.opus";
    ASSERT_EQ(setFormatOpus(2, 96, 10), 4);
    ASSERT_TRUE(create(path.string()));
    ASSERT_EQ(af->CloseFile(), S_OK);
    EXPECT_EQ(err(), NOERRORS) << errorText();
    mustRun("opusinfo " + q(path));
    ASSERT_TRUE(open(path.string()));
    EXPECT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0);
    EXPECT_TRUE(readAll().empty());
}

// Seeks by sample land where a whole decode has that sample, from the
// start, the current place and the end; the end itself reads nothing.
TEST_F(OpusTest, SeeksLandOnTheSampleAskedFor) {
    QORO_REQUIRE_TOOLS("sox", "opusenc");
    const t::fs::path opus = toolOpus("seek", 48000, 2, 3.0);
    ASSERT_TRUE(open(opus.string()));
    const std::vector<int16_t> whole = readAll(4096);
    const LONG frames = prop(&IAudioFile::get_nSamples);
    ASSERT_EQ(static_cast<LONG>(whole.size()), frames * 2);
    for (const LONG at : {LONG{0}, LONG{1}, LONG{48000}, LONG{100003}, frames - 5}) {
        SCOPED_TRACE(at);
        EXPECT_EQ(seek(at), at);
        const std::vector<int16_t> piece = t::readOnce(af.get(), 600);
        const size_t n = std::min<size_t>(piece.size(), whole.size() - static_cast<size_t>(at) * 2);
        ASSERT_GT(n, 0u);
        // After a seek the decoder starts over from 80 ms earlier and its
        // state differs a little from the whole decode's: the piece matches
        // best exactly at the sample asked for, and well.
        const std::vector<int16_t> got(piece.begin(), piece.begin() + static_cast<long>(n));
        auto snrAt = [&](long shift) {
            const long from = std::clamp<long>(at * 2 + shift * 2, 0, static_cast<long>(whole.size() - n));
            return snrDb(std::vector<int16_t>(whole.begin() + from, whole.begin() + from + static_cast<long>(n)), got);
        };
        const double here = snrAt(0);
        EXPECT_GE(here, 12.0);
        for (long shift = -40; shift <= 40; ++shift) {
            if (shift != 0 && at + shift >= 0 && at + shift + 600 <= frames) {
                EXPECT_LT(snrAt(shift), here) << shift;
            }
        }
    }
    EXPECT_EQ(seek(100, END_POS), frames - 100);
    EXPECT_EQ(seek(0, END_POS), frames);
    EXPECT_TRUE(t::readOnce(af.get(), 100).empty());
}

// SetFormatOpus checks its arguments (INVALIDPARAM, nothing chosen) and
// describes what it chose; the ".opus" extension picks the type.
TEST_F(OpusTest, FormatChoices) {
    EXPECT_EQ(setFormatOpus(3, 128, 10), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatOpus(2, 5, 10), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatOpus(2, 511, 10), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatOpus(2, 128, 11), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatOpus(1, 6, 0), 2);
    EXPECT_EQ(err(), NOERRORS);
    Bstr text;
    ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "Opus 48000 Hz; Mono; 6 Kbps; Complexity 0");

    ASSERT_TRUE(create((dir / "busy.opus").string()));
    EXPECT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(setFormatOpus(2, 128, 10), 0);
    EXPECT_EQ(err(), BUSY);
}

// Writing where it cannot: no such folder (FILEACCESS with the system's
// reason, nothing made); a file that may grow no further: the call that
// meets the limit reports it with the system's words, and so do the later
// writes and the close.
TEST_F(OpusTest, CreateAndWriteFailuresAreReported) {
    ASSERT_EQ(setFormatOpus(2, 128, 10), 4);
    create((dir / "no" / "such" / "x.opus").string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(errorText(), "No such file or directory");

    const std::vector<int16_t> samples = t::testSignal(48000, 2, 96000);
    const t::FileSizeLimit limit(16 * 1024);
    ASSERT_TRUE(create((dir / "limited.opus").string()));
    ASSERT_EQ(err(), NOERRORS) << errorText();
    LONG first = NOERRORS;
    for (int i = 0; i < 4 && first == NOERRORS; ++i) {
        SAFEARRAY* sa = t::sampleArray(samples);
        EXPECT_EQ(af->WriteFile(&sa), S_OK);
        SafeArrayDestroy(sa);
        first = err();
    }
    EXPECT_EQ(first, FILEACCESS);
    EXPECT_EQ(errorText(), "File too large");
    EXPECT_EQ(af->CloseFile(), S_OK);
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(errorText(), "File too large");
}

// Files that are not Opus, or damaged ones, are refused or read up to the
// damage with its cause; nothing crashes, and a cut-short file says so.
TEST_F(OpusTest, DamagedAndForeignFilesAreRefusedWithTheirCause) {
    QORO_REQUIRE_TOOLS("sox", "opusenc", "oggenc");
    // Not Ogg at all, and an Ogg Vorbis file named .opus.
    const t::fs::path junk = dir / "junk.opus";
    t::writeBytes(junk, std::vector<uint8_t>(5000, 0x5a));
    open(junk.string());
    EXPECT_EQ(err(), FORMATFILE);
    EXPECT_FALSE(errorText().empty());
    const t::fs::path wav = dir / "v.wav";
    mustRun("sox -n -r 44100 -c 2 -b 16 " + q(wav) + " synth 1 sine 440");
    const t::fs::path vorbis = dir / "vorbis.opus";
    mustRun("oggenc --quiet -o " + q(vorbis) + " " + q(wav));
    open(vorbis.string());
    EXPECT_EQ(err(), FORMATFILE);
    EXPECT_EQ(errorText(), "an Ogg Vorbis file, not an Ogg Opus file");

    // Cut short: what is there reads, and the missing end is reported.
    const t::fs::path opus = toolOpus("cut", 48000, 2, 4.0);
    const std::vector<uint8_t> bytes = t::readBytes(opus);
    const t::fs::path cut = dir / "cut-short.opus";
    t::writeBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2)));
    if (open(cut.string()) && err() == NOERRORS) {
        const std::vector<int16_t> got = readAll(4096);
        EXPECT_GT(got.size(), 48000u * 2);
        EXPECT_LT(got.size(), 48000u * 2 * 4);
    } else {
        EXPECT_FALSE(errorText().empty());
    }
    af->CloseFile();

    // Bytes flipped all through the audio pages: reading never crashes and
    // never gives more than the stream's length.
    std::vector<uint8_t> flipped = bytes;
    for (size_t i = 400; i < flipped.size(); i += 997) flipped[i] ^= 0x41;
    const t::fs::path damaged = dir / "damaged.opus";
    t::writeBytes(damaged, flipped);
    if (open(damaged.string()) && err() == NOERRORS) {
        const LONG frames = prop(&IAudioFile::get_nSamples);
        const std::vector<int16_t> got = readAll(4096);
        EXPECT_LE(static_cast<LONG>(got.size()), frames * 2);
    }
}

}  // namespace
