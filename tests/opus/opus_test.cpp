// Ogg Opus through the AudioFile object (created through the component
// runtime, driven through IAudioFile2 and IAudioFile3), judged by opus-tools:
// a file opusenc makes reads at 48000 Hz with exactly as many samples as
// opusdec gives (the encoder's delay and the trimmed end left out) and the
// same sound within 40 dB; what the object writes passes opusinfo and decodes
// to the length that was written; seeks land on the sample asked for;
// damaged and foreign files are refused with their cause, without a crash.
// Surround (3 to 8 channels): files of sox tones, one frequency a channel,
// keep every tone in its WAV-order channel through our writer (opusdec the
// judge) and through our reader of opusenc's files, whose floats are
// opusdec's.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"
#include "fourier.h"
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
template <class Sample>
double snrDb(const std::vector<Sample>& reference, const std::vector<Sample>& got) {
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

// 32-bit float samples of a headerless file.
std::vector<float> readFloats(const t::fs::path& raw) {
    const std::vector<uint8_t> bytes = t::readBytes(raw);
    std::vector<float> v(bytes.size() / sizeof(float));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}

// A WAV's samples as sox reads them, in floats, in the file's channel order.
std::vector<float> wavFloats(const t::fs::path& wav) {
    const t::fs::path raw = wav.string() + ".f32";
    mustRun("sox -V1 " + q(wav) + " -t f32 " + q(raw));
    return readFloats(raw);
}

// What opusdec decodes as floats into a WAV file, in that file's channel
// order (WAV order: opusdec puts surround streams' channels in their WAV
// places).
std::vector<float> opusdecFloats(const t::fs::path& opus) {
    const t::fs::path wav = opus.string() + ".dec.wav";
    mustRun("opusdec --quiet --float " + q(opus) + " " + q(wav));
    return wavFloats(wav);
}

// The tone the tone files carry in WAV-order channel c.
double toneOf(int c) { return 100.0 * (c + 1); }

constexpr size_t kSpectrumSize = 16384;  // 2.9 Hz bins at 48000 Hz

// The power spectrum of channel c of interleaved samples, from 0.1 s on
// (empty when the samples are too short).
std::vector<double> spectrumOf(const std::vector<float>& samples, int channels, int c) {
    constexpr size_t from = 4800;
    std::vector<double> x;
    for (size_t i = static_cast<size_t>(c); i < samples.size(); i += static_cast<size_t>(channels))
        x.push_back(samples[i]);
    if (x.size() < from + kSpectrumSize) return {};
    return t::powerSpectrum(x, from, kSpectrumSize, 12.0);
}

size_t peakBin(const std::vector<double>& p) {
    return static_cast<size_t>(std::max_element(p.begin(), p.end()) - p.begin());
}
double hzOf(size_t bin) { return double(bin) * 48000 / kSpectrumSize; }

// The strongest bin within three of `hz`.
double powerNear(const std::vector<double>& p, double hz) {
    const auto at = static_cast<size_t>(std::lround(hz * kSpectrumSize / 48000));
    return *std::max_element(p.begin() + static_cast<long>(at - 3), p.begin() + static_cast<long>(at + 4));
}

// Channel c's strongest frequency is its own tone, and the tones of the
// other channels lie at least `marginDb` below it there.
void expectToneInPlace(const std::vector<float>& samples, int channels, int c, double marginDb) {
    SCOPED_TRACE("channel " + std::to_string(c));
    const std::vector<double> p = spectrumOf(samples, channels, c);
    ASSERT_FALSE(p.empty());
    const size_t peak = peakBin(p);
    EXPECT_NEAR(hzOf(peak), toneOf(c), 3.0);
    for (int other = 0; other < channels; ++other) {
        if (other == c) continue;
        EXPECT_LT(t::dB(powerNear(p, toneOf(other)) / p[peak]), -marginDb) << "tone of " << other;
    }
}

void expectTonesInPlace(const std::vector<float>& samples, int channels, double marginDb) {
    for (int c = 0; c < channels; ++c) expectToneInPlace(samples, channels, c, marginDb);
}

class OpusTest : public t::AudioFileSession {
protected:
    void SetUp() override {
        AudioFileSession::SetUp();
        ASSERT_EQ(af.as(IID_IAudioFile2, af2), S_OK);
        ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    }
    void TearDown() override {
        af2.reset();
        af3.reset();
        AudioFileSession::TearDown();
    }

    // A 16-bit WAV of sox tones at 48000 Hz: toneOf(c) in channel c, in the
    // usual WAV layout of the count, each `gainDb` below full scale.
    t::fs::path toneWav(const std::string& name, int channels, double seconds, int gainDb = 3) {
        const t::fs::path wav = dir / (name + ".wav");
        std::string tones;
        for (int c = 0; c < channels; ++c) tones += " sine " + std::to_string(static_cast<int>(toneOf(c)));
        mustRun("sox -D -R -n -r 48000 -c " + std::to_string(channels) + " -b 16 " + q(wav) + " synth " +
                std::to_string(seconds) + tones + " gain -" + std::to_string(gainDb));
        return wav;
    }

    // The array as floats in the file's channels (the samples as they are).
    void floatArray(int channels) {
        ASSERT_EQ(af3->SetFormatArrayKind(48000, channels, SAMPLE_FLOAT32), S_OK);
        ASSERT_EQ(err(), NOERRORS) << errorText();
    }
    LONGLONG position() {
        LONGLONG at = -1;
        EXPECT_EQ(af3->get_Position(&at), S_OK);
        return at;
    }

    // ReadSamples of float arrays, `frames` at a time, up to `most` frames.
    std::vector<float> readSamples(LONGLONG frames, LONGLONG most = LLONG_MAX) {
        std::vector<float> all;
        LONG channels = 0;
        af->get_ArrayChannels(&channels);
        for (LONGLONG done = 0; done < most;) {
            SAFEARRAY* sa = nullptr;
            EXPECT_EQ(af3->ReadSamples(std::min(frames, most - done), &sa), S_OK);
            if (!sa) break;
            LONG ub = -1;
            SafeArrayGetUBound(sa, 1, &ub);
            void* data = nullptr;
            SafeArrayAccessData(sa, &data);
            all.insert(all.end(), static_cast<float*>(data), static_cast<float*>(data) + (ub + 1));
            SafeArrayUnaccessData(sa);
            SafeArrayDestroy(sa);
            if (ub < 0) break;
            done += (ub + 1) / std::max<LONG>(channels, 1);
        }
        return all;
    }
    void writeSamples(const std::vector<float>& samples, size_t piece) {
        for (size_t at = 0; at < samples.size(); at += piece) {
            const size_t n = std::min(piece, samples.size() - at);
            SAFEARRAY* sa = SafeArrayCreateVector(VT_R4, 0, static_cast<ULONG>(n));
            void* data = nullptr;
            SafeArrayAccessData(sa, &data);
            std::memcpy(data, samples.data() + at, n * sizeof(float));
            SafeArrayUnaccessData(sa);
            EXPECT_EQ(af3->WriteSamples(&sa), S_OK);
            EXPECT_EQ(err(), NOERRORS) << errorText();
            SafeArrayDestroy(sa);
        }
    }
    // Writes float samples to a surround Opus file (3 to 8 channels).
    void writeSurround(const t::fs::path& path, int channels, LONG bitrate, const std::vector<float>& samples) {
        ASSERT_EQ(setFormatOpus(channels, bitrate, 10), channels * 4);
        ASSERT_TRUE(create(path.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        floatArray(channels);
        writeSamples(samples, 3001 * static_cast<size_t>(channels));
        ASSERT_EQ(af->CloseFile(), S_OK);
        ASSERT_EQ(err(), NOERRORS) << errorText();
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
    ComPtr<IAudioFile3> af3;
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
        // The file's own channels, though the 16-bit array folds 5.1 to stereo.
        EXPECT_NE(text.utf8().find(c.channels == 6 ? "6 Channels" : channels == 1 ? "Mono" : "Stereo"),
                  std::string::npos)
            << text.utf8();

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

// A file with no samples at all is still a whole Opus file, in stereo and
// in 7.1 at the lowest and highest bitrate: opusinfo takes it, and it reads
// as empty.
TEST_F(OpusTest, AnEmptyFileIsAWholeStream) {
    QORO_REQUIRE_TOOLS("opusinfo");
    struct Case {
        LONG channels, bitrate;
    };
    for (const Case c : {Case{2, 96}, Case{8, 6}, Case{8, 510}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " ch, " + std::to_string(c.bitrate) + " kbit/s");
        const t::fs::path path = dir / ("empty" + std::to_string(c.channels) + "_" + std::to_string(c.bitrate) + ".opus");
        ASSERT_GT(setFormatOpus(c.channels, c.bitrate, 10), 0);
        ASSERT_TRUE(create(path.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        ASSERT_EQ(af->CloseFile(), S_OK);
        EXPECT_EQ(err(), NOERRORS) << errorText();
        const std::string info = mustRun("opusinfo " + q(path));
        EXPECT_NE(info.find("Channels: " + std::to_string(c.channels)), std::string::npos) << info;
        ASSERT_TRUE(open(path.string()));
        EXPECT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0);
        EXPECT_TRUE(readAll().empty());
        af->CloseFile();
    }
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

// Float arrays reach the encoder as they are in mono and stereo too, not
// narrowed to 16 bits first: a sine beyond full scale comes back beyond it,
// nothing clipped on the way.
TEST_F(OpusTest, DeepStereoArraysReachTheEncoderAsFloats) {
    QORO_REQUIRE_TOOLS("opusdec");
    ASSERT_EQ(setFormatOpus(2, 192, 10), 4);
    const t::fs::path path = dir / "loud.opus";
    ASSERT_TRUE(create(path.string()));
    floatArray(2);
    std::vector<float> samples(2 * 48000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(1.5 * std::sin(2 * M_PI * 440.0 * double(i / 2) / 48000.0));
    writeSamples(samples, 3001 * 2);
    LONGLONG clipped = -1;
    ASSERT_EQ(af3->get_ClippedSamples(&clipped), S_OK);
    EXPECT_EQ(clipped, 0);
    ASSERT_EQ(af->CloseFile(), S_OK);
    ASSERT_EQ(err(), NOERRORS) << errorText();
    // (opusdec limits its output to full scale: the decoder's own floats)
    ASSERT_TRUE(open(path.string()));
    floatArray(2);
    float peak = 0;
    for (float v : readSamples(4096)) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 1.35f);
}

// SetFormatOpus checks its arguments (INVALIDPARAM, nothing chosen) and
// describes what it chose; the ".opus" extension picks the type.
TEST_F(OpusTest, FormatChoices) {
    for (const LONG channels : {0, 9}) {
        EXPECT_EQ(setFormatOpus(channels, 128, 10), 0);
        EXPECT_EQ(err(), INVALIDPARAM);
    }
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
    // Surround goes in as floats.
    EXPECT_EQ(setFormatOpus(6, 510, 10), 6 * 4);
    EXPECT_EQ(err(), NOERRORS);
    ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "Opus 48000 Hz; 6 Channels; 510 Kbps; Complexity 10");

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
    af->CloseFile();

    // The same damage to a 5.1 file read as floats in its own channels:
    // never more than the stream's length.
    const std::vector<uint8_t> six = t::readBytes(toolOpus("six", 48000, 6, 4.0));
    std::vector<uint8_t> sixFlipped = six;
    for (size_t i = 400; i < sixFlipped.size(); i += 997) sixFlipped[i] ^= 0x41;
    struct Damage {
        const char* name;
        std::vector<uint8_t> bytes;
        bool cut;
    };
    for (const Damage& d : {Damage{"six-cut.opus", {six.begin(), six.begin() + static_cast<long>(six.size() / 2)}, true},
                            Damage{"six-flipped.opus", sixFlipped, false}}) {
        SCOPED_TRACE(d.name);
        t::writeBytes(dir / d.name, d.bytes);
        if (!open((dir / d.name).string()) || err() != NOERRORS) {
            EXPECT_FALSE(errorText().empty());
            continue;
        }
        floatArray(6);
        LONGLONG frames = -1;
        af3->get_nFrames(&frames);
        const std::vector<float> got = readSamples(4096);
        EXPECT_LE(static_cast<LONGLONG>(got.size()), frames * 6);
        // What is left of a file cut short is a whole stream of its own length.
        if (d.cut) {
            EXPECT_GT(got.size(), 48000u * 6);
            EXPECT_EQ(static_cast<LONGLONG>(got.size()), frames * 6);
            EXPECT_EQ(err(), NOERRORS) << errorText();
        }
        af->CloseFile();
    }
}

// --- surround ---------------------------------------------------------------

// The layouts a surround Opus file can have, with the bitrate ours is written
// at (enough for the tones to stay apart by far).
struct Layout {
    int channels;
    LONG bitrate;
};
constexpr Layout kLayouts[] = {{3, 192}, {5, 320}, {6, 384}, {7, 448}, {8, 510}};

std::string nameOf(const Layout& l) { return std::to_string(l.channels) + "ch"; }

// Tones this far below full scale (dB) mix to stereo without reaching
// full scale, where libopusfile's 16-bit samples are soft-clipped (and its
// floats are not).
constexpr int kBelowClipping = 12;

// Float tones in every channel, written through the object: opusinfo finds
// a surround stream (mapping family 1) of the channels, opusdec decodes the
// length written with each tone in the WAV-order channel it was written to.
TEST_F(OpusTest, SurroundWrittenFromFloatsKeepsEachToneInItsChannel) {
    QORO_REQUIRE_TOOLS("sox", "opusinfo", "opusdec");
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(nameOf(l));
        const std::vector<float> samples = wavFloats(toneWav("tones" + nameOf(l), l.channels, 1.0));
        ASSERT_EQ(samples.size(), 48000u * static_cast<size_t>(l.channels));
        const t::fs::path opus = dir / ("ours" + nameOf(l) + ".opus");
        writeSurround(opus, l.channels, l.bitrate, samples);

        const std::string info = mustRun("opusinfo " + q(opus));
        EXPECT_NE(info.find("Channels: " + std::to_string(l.channels)), std::string::npos) << info;
        EXPECT_NE(info.find("Channel Mapping Family: 1"), std::string::npos) << info;
        const std::vector<float> decoded = opusdecFloats(opus);
        EXPECT_EQ(decoded.size(), samples.size());
        expectTonesInPlace(decoded, l.channels, 20.0);
    }
}

// opusenc's files of sox tones (mono and stereo too), read as they are: the
// decoder's floats in the file's channels, as opusdec decodes them (its own
// decode of the same stream, so within float rounding), every tone in its
// WAV-order channel. The old 16-bit interface keeps its stereo view, and
// the file, lossy, counts as 16-bit where a depth is chosen.
TEST_F(OpusTest, ToolFilesReadAsTheyAreInWavOrder) {
    QORO_REQUIRE_TOOLS("sox", "opusenc", "opusdec");
    for (const int channels : {1, 2, 3, 5, 6, 7, 8}) {
        SCOPED_TRACE(std::to_string(channels) + " ch");
        const std::string name = "tool" + std::to_string(channels);
        const t::fs::path opus = dir / (name + ".opus");
        mustRun("opusenc --quiet --bitrate 500 " + q(toneWav(name, channels, 1.0)) + " " + q(opus));
        const std::vector<float> reference = opusdecFloats(opus);

        ASSERT_TRUE(open(opus.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        LONG fileChannels = 0, kind = -1;
        af3->get_FileChannels(&fileChannels);
        af3->get_FileSampleKind(&kind);
        EXPECT_EQ(fileChannels, channels);
        EXPECT_EQ(kind, SAMPLE_INT16);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), std::min(channels, 2));
        floatArray(channels);
        LONGLONG frames = -1;
        af3->get_nFrames(&frames);
        EXPECT_EQ(frames, static_cast<LONGLONG>(reference.size()) / channels);
        const std::vector<float> got = readSamples(1111);
        ASSERT_EQ(got.size(), reference.size());
        EXPECT_GE(snrDb(reference, got), 100.0);
        expectTonesInPlace(got, channels, 20.0);
        af->CloseFile();
    }
}

// Switching between the 16-bit stereo view and the floats in the middle of
// a 5.1 file keeps the frame: what follows a switch is what a read of that
// form alone has at that frame.
TEST_F(OpusTest, SwitchingFormsKeepsTheFrame) {
    QORO_REQUIRE_TOOLS("sox", "opusenc", "opusdec");
    const t::fs::path opus = dir / "switch.opus";
    mustRun("opusenc --quiet " + q(toneWav("switch", 6, 1.0, kBelowClipping)) + " " + q(opus));
    const std::vector<float> floats = opusdecFloats(opus);
    ASSERT_TRUE(open(opus.string()));
    const std::vector<int16_t> stereo = readAll(4096);
    ASSERT_EQ(stereo.size(), floats.size() / 6 * 2);
    af->CloseFile();

    ASSERT_TRUE(open(opus.string()));
    const std::vector<int16_t> head = t::readOnce(af.get(), 1003);
    ASSERT_EQ(head.size(), 1003u * 2);
    floatArray(6);
    EXPECT_EQ(position(), 1003);
    const std::vector<float> middle = readSamples(500, 2000);
    ASSERT_EQ(middle.size(), 2000u * 6);
    EXPECT_GE(snrDb(std::vector<float>(floats.begin() + 1003 * 6, floats.begin() + 3003 * 6), middle), 100.0);
    ASSERT_EQ(af3->SetFormatArrayKind(48000, 2, SAMPLE_INT16), S_OK);
    EXPECT_EQ(position(), 3003);
    const std::vector<int16_t> rest = readAll(4096);
    EXPECT_EQ(rest, std::vector<int16_t>(stereo.begin() + 3003 * 2, stereo.end()));
}

// A chained file of a 5.1 link and a stereo link has no one layout: its
// floats come as the stereo mix the 16-bit view has (within its rounding),
// over both links.
TEST_F(OpusTest, ChainedLinksOfDifferentChannelsComeAsAFloatStereoMix) {
    QORO_REQUIRE_TOOLS("sox", "opusenc");
    const t::fs::path surround = dir / "link1.opus", stereo = dir / "link2.opus", chained = dir / "chained.opus";
    mustRun("opusenc --quiet --serial 1 " + q(toneWav("link1", 6, 0.7, kBelowClipping)) + " " + q(surround));
    mustRun("opusenc --quiet --serial 2 " + q(toneWav("link2", 2, 0.5, kBelowClipping)) + " " + q(stereo));
    mustRun("cat " + q(surround) + " " + q(stereo) + " > " + q(chained));
    ASSERT_TRUE(open(chained.string()));
    ASSERT_EQ(err(), NOERRORS) << errorText();
    const std::vector<int16_t> mix = readAll(4096);
    ASSERT_EQ(mix.size(), (33600u + 24000u) * 2);
    af->CloseFile();

    ASSERT_TRUE(open(chained.string()));
    LONG fileChannels = 0;
    af3->get_FileChannels(&fileChannels);
    EXPECT_EQ(fileChannels, 2);
    floatArray(2);
    const std::vector<float> got = readSamples(4096);
    ASSERT_EQ(got.size(), mix.size());
    float worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(got[i] * 32768 - mix[i]));
    EXPECT_LE(worst, 0.5f);
}

// Samples no sound has in the left channel of 5.1 floats: NaN and
// infinities are written as silence, samples of 10^30 and more as the
// loudest the encoder takes; either way opusdec decodes the whole length,
// finite, and the other channels keep their tones (the right one shares
// the left's stream).
TEST_F(OpusTest, SurroundSamplesBeyondSoundKeepTheStreamWhole) {
    QORO_REQUIRE_TOOLS("sox", "opusdec");
    struct Case {
        const char* name;
        float odd, even;  // the left channel's samples in odd and even frames
        bool silent;
    };
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();
    const std::vector<float> tones = wavFloats(toneWav("beyond", 6, 1.0));
    ASSERT_EQ(tones.size(), 48000u * 6);
    for (const Case c : {Case{"no numbers", kNaN, -kInf, true}, Case{"far beyond full scale", 1e30f, -3e38f, false}}) {
        SCOPED_TRACE(c.name);
        std::vector<float> samples = tones;
        for (size_t i = 0; i < samples.size(); i += 6) samples[i] = (i / 6) % 2 ? c.odd : c.even;
        const t::fs::path opus = dir / (std::string(c.silent ? "nan" : "loud") + ".opus");
        writeSurround(opus, 6, 384, samples);
        const std::vector<float> decoded = opusdecFloats(opus);
        ASSERT_EQ(decoded.size(), samples.size());
        ASSERT_TRUE(std::all_of(decoded.begin(), decoded.end(), [](float v) { return std::isfinite(v); }));
        double left = 0;
        for (size_t i = 0; i < decoded.size(); i += 6) left += double(decoded[i]) * decoded[i];
        if (c.silent) {
            EXPECT_LT(t::dB(left / 48000), -60.0);
        }
        for (int ch = 1; ch < 6; ++ch) expectToneInPlace(decoded, 6, ch, 20.0);
    }
}

}  // namespace
