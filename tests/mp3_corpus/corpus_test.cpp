// The corpus read through the components as a client does: AudioFile's
// OpenFile and ReadFile with the array format at the stream's own rate and
// channels, AudioInformation's facts, seeking, one object opened on many
// files, batches, round trips through qoro, and MPEG audio inside RIFF WAVE.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "corpus.h"
#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"
#include "test_support.h"

namespace t = qoro::test;
namespace corpus = qoro::test::corpus;
namespace fs = std::filesystem;
using qoro::com::Bstr;
using qoro::com::ComPtr;

namespace {

class Mp3Corpus : public t::AudioFileAndInfoSession {
protected:
    void SetUp() override {
        AudioFileAndInfoSession::SetUp();
        dir = corpus::folder();
        ASSERT_FALSE(dir.empty()) << "the corpus could not be made";
    }

    // Opens a file for reading with the decoder choice given; the error number.
    LONG openWith(IAudioFile* file, const fs::path& path, LONG decoder = X_AUDIO, LONG type = DEFAULT) {
        file->CloseFile();
        file->put_Mp3TypeDecoder(decoder);
        Bstr name(path.string());
        EXPECT_EQ(file->OpenFile(name.get(), type, READ), S_OK);
        LONG e = 1;
        file->get_LastErrorNum(&e);
        return e;
    }
    // Everything ReadFile gives, in 0.1 s blocks as the converter asks.
    static std::vector<int16_t> readAllOf(IAudioFile* file) {
        LONG rate = 0;
        file->get_ArrayFrequency(&rate);
        return t::readAllFrom(file, std::max<LONG>(rate / 10, 1));
    }
    static std::vector<int16_t> readSome(IAudioFile* file, LONG frames) { return t::readOnce(file, frames); }
    static LONG get(IAudioFile* file, HRESULT (IAudioFile::*g)(LONG*)) {
        LONG v = -12345;
        EXPECT_EQ((file->*g)(&v), S_OK);
        return v;
    }

    // The facts AudioInformation reports, with fast or full analysis.
    struct Facts {
        LONG samples = -1, duration = -1, rate = -1, channels = -1, tag = -1;
        SHORT type = -1;
    };
    Facts infoOf(const fs::path& path, bool fast) {
        info->put_mp3FastAnalysis(fast ? TRUE : FALSE);
        Bstr name(path.string());
        EXPECT_EQ(info->GetAudioInformation(name.get()), S_OK);
        Facts f;
        info->get_infoSamples(&f.samples);
        info->get_infoDuration(&f.duration);
        info->get_infoFrequency(&f.rate);
        info->get_infoChannels(&f.channels);
        info->get_infoFormatTag(&f.tag);
        info->get_infoType(&f.type);
        return f;
    }

    // The checks every corpus file passes through one decoder choice.
    void checkReading(const corpus::Entry& e, LONG decoder) {
        SCOPED_TRACE(e.name + (decoder == ACM_DRIVER_OUT ? " through the codec manager" : ""));
        const corpus::Decoded want = corpus::expected(e);
        ASSERT_GT(want.frames(), 0u);
        ASSERT_EQ(openWith(af.get(), dir / e.name, decoder), NOERRORS);
        EXPECT_EQ(get(af.get(), &IAudioFile::get_ArrayFrequency), want.rate);
        EXPECT_EQ(get(af.get(), &IAudioFile::get_ArrayChannels), want.channels);
        const LONG announced = get(af.get(), &IAudioFile::get_nSamples);
        const LONG duration = get(af.get(), &IAudioFile::get_Duration);
        const auto ours = readAllOf(af.get());
        const size_t frames = ours.size() / size_t(want.channels);
        EXPECT_EQ(frames, want.frames()) << "frames delivered against mpg123's";
        EXPECT_EQ(size_t(announced), frames) << "nSamples against the frames delivered";
        EXPECT_EQ(duration, LONG(uint64_t(frames) * 1000 / uint64_t(want.rate)));
        const t::Difference d = t::compare(ours, want.samples);
        EXPECT_EQ(d.compared, std::min(ours.size(), want.samples.size()));
        EXPECT_LE(d.maxAbs, 1) << "at lag 0";
        // And nothing after the end.
        EXPECT_TRUE(readSome(af.get(), 1000).empty());
    }

    fs::path dir;
};

// Every file, read through the built-in decoder: exactly mpg123's length,
// within one LSB at lag 0, and nSamples is what comes.
TEST_F(Mp3Corpus, ReadFileMatchesMpg123) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    for (const corpus::Entry& e : corpus::entries()) checkReading(e, X_AUDIO);
}

// The same through the codec manager (Layer III only; Layer II is always
// the built-in decoder's): the same timeline.
TEST_F(Mp3Corpus, CodecManagerPathMatchesMpg123) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    for (const corpus::Entry& e : corpus::entries()) {
        if (!e.layer3) continue;
        checkReading(e, ACM_DRIVER_OUT);
        EXPECT_EQ(get(af.get(), &IAudioFile::get_Mp3TypeDecoder), ACM_DRIVER_OUT);
    }
}

// AudioInformation reports the decoder's sample count and duration: always
// with the full analysis; with the fast one exactly when the stream counts
// its frames believably, else within 1 %.
TEST_F(Mp3Corpus, AudioInformationAgreesWithTheDecoder) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    for (const corpus::Entry& e : corpus::entries()) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(openWith(af.get(), dir / e.name), NOERRORS);
        const LONG samples = get(af.get(), &IAudioFile::get_nSamples);
        const LONG duration = get(af.get(), &IAudioFile::get_Duration);
        af->CloseFile();
        const corpus::Decoded want = corpus::expected(e);
        const Facts full = infoOf(dir / e.name, false);
        EXPECT_EQ(full.type, 2);
        EXPECT_EQ(full.samples, samples);
        EXPECT_EQ(full.duration, duration);
        EXPECT_EQ(full.rate, want.rate);
        EXPECT_EQ(full.channels, want.channels);
        const Facts fast = infoOf(dir / e.name, true);
        EXPECT_NEAR(double(fast.samples), double(samples), 0.01 * samples);
        EXPECT_NEAR(double(fast.duration), double(duration), 0.01 * duration);
        EXPECT_EQ(fast.rate, want.rate);
    }
    // Files whose information frame counts their frames give the exact
    // answer without a walk (and those cut short with one).
    for (const char* name :
         {"lame_cbr128.mp3", "lame_vbr_v2.mp3", "lame_mpeg2_vbr_24k.mp3", "ffmpeg_cbr192.mp3", "ffmpeg_vbr_q4.mp3",
          "mutagen_tagged.mp3", "lame_free400.mp3", "writer_vbri.mp3", "writer_damaged_lame.mp3",
          "writer_ffmpeg_crc.mp3", "mutagen_ape_lyrics3.mp3", "writer_cut.mp3", "writer_cut_tagged.mp3"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(openWith(af.get(), dir / name), NOERRORS);
        const LONG samples = get(af.get(), &IAudioFile::get_nSamples);
        af->CloseFile();
        EXPECT_EQ(infoOf(dir / name, true).samples, samples);
    }
}

// SeekFile(k) then ReadFile gives the slice of a full read that starts at k:
// at the music's first samples (decoded sample D + 529 of the stream), around
// frame edges of the decoded stream, and near the end, through both decoders.
TEST_F(Mp3Corpus, SeekingLandsOnTheSampleAsked) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    struct Case {
        const char* name;
        int skip;  // where the music starts in the decoded stream
        int spf;
    };
    const Case cases[] = {{"lame_cbr128.mp3", 1105, 1152},   {"lame_vbr_v2.mp3", 1105, 1152},
                          {"lame_mpeg2_22k.mp3", 1105, 576}, {"lame_40kbps.mp3", 1105, 576},
                          {"lame_free400.mp3", 1105, 1152},  {"ffmpeg_layer2_22k.mp2", 0, 1152},
                          {"writer_junk.mp3", 0, 1152},      {"lame_mpeg25_8k_mono.mp3", 0, 576}};
    for (const Case& c : cases) {
        const corpus::Entry& e = corpus::entry(c.name);
        const int channels = corpus::expected(e).channels;
        for (LONG decoder : {X_AUDIO, ACM_DRIVER_OUT}) {
            if (decoder == ACM_DRIVER_OUT && !e.layer3) continue;
            SCOPED_TRACE(std::string(c.name) + (decoder == ACM_DRIVER_OUT ? " (codec manager)" : ""));
            ASSERT_EQ(openWith(af.get(), dir / e.name, decoder), NOERRORS);
            // Below 52 kbit/s Layer III goes to the codec manager whatever the choice.
            const bool throughCodecManager = get(af.get(), &IAudioFile::get_Mp3TypeDecoder) == ACM_DRIVER_OUT;
            const auto all = readAllOf(af.get());
            const long n = long(all.size()) / channels;
            ASSERT_GT(n, 4000);
            std::vector<long> targets = {0, 1, 2, 3, n - 1, n - 700};
            for (int frame = 1; frame <= 4; ++frame) {
                const long edge = long(frame) * c.spf - c.skip;  // a frame edge of the decoded stream
                for (long k : {edge - 1, edge, edge + 1})
                    if (k >= 0) targets.push_back(k);
            }
            targets.push_back(n / 2);
            for (long k : targets) {
                LONG now = -1;
                ASSERT_EQ(af->SeekFile(k, BEGIN_POS, &now), S_OK);
                EXPECT_EQ(now, k);
                const auto got = readSome(af.get(), 1500);
                const long expect = std::min<long>(1500, n - k);
                ASSERT_EQ(long(got.size()), expect * channels) << "at " << k;
                const std::vector<int16_t> slice(all.begin() + k * channels, all.begin() + (k + expect) * channels);
                if (!throughCodecManager) {
                    // The same decoder in the same state: the same samples.
                    EXPECT_TRUE(got == slice) << "at " << k;
                } else {
                    // The codec manager's decoder restarted: its rounding may
                    // differ by one.
                    EXPECT_LE(t::compare(got, slice).maxAbs, 1) << "at " << k;
                }
            }
            // From the end, and relative to where reading stands.
            LONG now = -1;
            af->SeekFile(0, END_POS, &now);
            EXPECT_EQ(now, n);
            EXPECT_TRUE(readSome(af.get(), 100).empty());
            af->SeekFile(10, BEGIN_POS, &now);
            af->SeekFile(20, CURRENT_POS, &now);
            EXPECT_EQ(now, 30);
            const auto got = readSome(af.get(), 10);
            ASSERT_EQ(got.size(), size_t(10 * channels));
            EXPECT_LE(
                t::compare(got, std::vector<int16_t>(all.begin() + 30 * channels, all.begin() + 40 * channels)).maxAbs,
                throughCodecManager ? 1 : 0);
        }
    }
}

// One AudioFile object opened on every file in turn gives for each exactly
// what a fresh object gives: nothing of a file (its decoder, its analysis,
// the codec manager's stream, a forced switch to it) reaches the next.
TEST_F(Mp3Corpus, OneObjectManyFilesAsFreshObjects) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    const char* order[] = {"writer_vbri.mp3", "writer_damaged_lame.mp3", "writer_lying_xing.mp3",
                           "lame_40kbps.mp3", "lame_vbr_v2.mp3",         "writer_free_layer2.mp2",
                           "lame_cbr128.mp3", "lame_mpeg25_8k_mono.mp3", "lame_notag.mp3"};
    for (const char* name : order) {
        SCOPED_TRACE(name);
        ASSERT_EQ(openWith(af.get(), dir / name), NOERRORS);
        const LONG n = get(af.get(), &IAudioFile::get_nSamples);
        const auto reused = readAllOf(af.get());
        af->CloseFile();
        // Below 52 kbit/s the codec manager took the file; the choice is the
        // caller's again once it is closed.
        EXPECT_EQ(get(af.get(), &IAudioFile::get_Mp3TypeDecoder), X_AUDIO);

        ComPtr<IAudioFile> fresh;
        ASSERT_EQ(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, fresh.putVoid()),
                  S_OK);
        ASSERT_EQ(openWith(fresh.get(), dir / name), NOERRORS);
        EXPECT_EQ(get(fresh.get(), &IAudioFile::get_nSamples), n);
        const auto alone = readAllOf(fresh.get());
        fresh->CloseFile();
        EXPECT_EQ(reused.size(), alone.size());
        EXPECT_TRUE(reused == alone);
    }
}

// A batch of files with VBRI, damaged and lying headers and a low bitrate
// converted by one qoro run (one job: one object) gives the plain file's
// WAV exactly as converting it alone does.
TEST_F(Mp3Corpus, BatchConversionCarriesNothingBetweenFiles) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    t::TempDir out;
    std::string batch = t::shellQuote(t::binPath("qoro").string()) + " convert -j 1 --no-tags --to wav -o " +
                        t::shellQuote((out / "batch").string());
    for (const char* name : {"writer_vbri.mp3", "writer_damaged_lame.mp3", "writer_lying_xing.mp3", "lame_40kbps.mp3",
                             "writer_junk.mp3", "lame_cbr128.mp3"})
        batch += " " + t::shellQuote((dir / name).string());
    const t::CommandResult b = t::run(batch);
    ASSERT_EQ(b.exitCode, 0) << b.output;
    const t::CommandResult alone =
        t::run(t::shellQuote(t::binPath("qoro").string()) + " convert --no-tags --to wav -o " +
               t::shellQuote((out / "alone").string()) + " " + t::shellQuote((dir / "lame_cbr128.mp3").string()));
    ASSERT_EQ(alone.exitCode, 0) << alone.output;
    const auto a = t::readBytes(out / "batch" / "lame_cbr128.wav");
    const auto c = t::readBytes(out / "alone" / "lame_cbr128.wav");
    ASSERT_GT(a.size(), 44u);
    EXPECT_TRUE(a == c);
    // And every WAV of the batch holds its file's music.
    for (const char* name : {"writer_vbri", "writer_damaged_lame", "writer_lying_xing", "lame_40kbps"}) {
        const corpus::Decoded want = corpus::expected(corpus::entry(std::string(name) + ".mp3"));
        ASSERT_EQ(openWith(af.get(), out / "batch" / (std::string(name) + ".wav")), NOERRORS) << name;
        const auto pcm = readAllOf(af.get());
        EXPECT_EQ(pcm.size(), want.samples.size()) << name;
        EXPECT_LE(t::compare(pcm, want.samples).maxAbs, 1) << name;
    }
}

// The lag (in sample frames, within +-range) at which b's first channel best
// matches a's, by normalised cross-correlation over a stretch of a.
long bestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int channels, long range) {
    const long n = long(a.size()) / channels, m = long(b.size()) / channels;
    const long from = n / 3, len = 8192;
    long best = 0;
    double bestScore = -2;
    for (long lag = -range; lag <= range; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (long i = from; i < from + len && i < n; ++i) {
            const long j = i + lag;
            if (j < 0 || j >= m) continue;
            const double x = a[size_t(i * channels)], y = b[size_t(j * channels)];
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

// WAV -> MP3 -> WAV through qoro and the encoder library (which writes the
// LAME tag) returns the original length, lined up at lag 0.
TEST_F(Mp3Corpus, RoundTripThroughQoroKeepsLengthAndTiming) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    const std::string qoro = t::shellQuote(t::binPath("qoro").string());
    for (int rate : {44100, 48000}) {
        SCOPED_TRACE(rate);
        t::TempDir tmp;
        const int frames = rate * 3 / 2 + 123;  // not a whole number of frames
        const auto original = t::testSignal(rate, 2, frames);
        t::writeWav16(tmp / "in.wav", rate, 2, original);
        const t::CommandResult enc = t::run(qoro + " convert " + t::shellQuote((tmp / "in.wav").string()) + " -o " +
                                            t::shellQuote((tmp / "mid.mp3").string()));
        ASSERT_EQ(enc.exitCode, 0) << enc.output;
        const t::CommandResult dec = t::run(qoro + " convert " + t::shellQuote((tmp / "mid.mp3").string()) + " -o " +
                                            t::shellQuote((tmp / "out.wav").string()));
        ASSERT_EQ(dec.exitCode, 0) << dec.output;
        ASSERT_EQ(openWith(af.get(), tmp / "out.wav"), NOERRORS);
        const auto back = readAllOf(af.get());
        EXPECT_EQ(back.size(), original.size()) << "frames back " << back.size() / 2 << " of " << frames;
        EXPECT_EQ(bestLag(original, back, 2, 3000), 0);
        // mpg123 agrees on what the MP3 holds.
        ASSERT_EQ(t::run("mpg123 -q -s " + t::shellQuote((tmp / "mid.mp3").string()) + " > " +
                         t::shellQuote((tmp / "ref.raw").string()))
                      .exitCode,
                  0);
        const auto ref = t::readPcm16(tmp / "ref.raw");
        EXPECT_EQ(ref.size(), back.size());
        EXPECT_LE(t::compare(back, ref).maxAbs, 1);
    }
}

// MPEG audio inside RIFF WAVE, as ffmpeg writes it (format tag 85 for Layer
// III, 80 for Layer II): the "data" chunk's stream in full, whichever
// decoder reads it, with the file's facts; AudioInformation agrees.
TEST_F(Mp3Corpus, MpegInsideWave) {
    QORO_REQUIRE_TOOLS("ffmpeg", "mpg123");
    t::TempDir tmp;
    const auto src = tmp / "src.wav";
    t::writeWav16(src, 44100, 2, t::testSignal(44100, 2, 44100 * 2));
    struct Case {
        const char* name;
        const char* codec;
        LONG tag;
    };
    for (const Case& c : {Case{"l3.wav", "-c:a libmp3lame -b:a 128k", 85}, Case{"l2.wav", "-c:a mp2 -b:a 192k", 80}}) {
        SCOPED_TRACE(c.name);
        const auto wav = tmp / c.name;
        ASSERT_EQ(t::run("ffmpeg -nostdin -v error -y -i " + t::shellQuote(src.string()) + " " + c.codec + " " +
                         t::shellQuote(wav.string()))
                      .exitCode,
                  0);
        // The oracle: mpg123 on the "data" chunk's bytes.
        const auto bytes = t::readBytes(wav);
        size_t p = 12, dataAt = 0, dataSize = 0;
        while (p + 8 <= bytes.size()) {
            const uint32_t size = uint32_t(bytes[p + 4]) | uint32_t(bytes[p + 5]) << 8 | uint32_t(bytes[p + 6]) << 16 |
                                  uint32_t(bytes[p + 7]) << 24;
            if (std::memcmp(&bytes[p], "data", 4) == 0) {
                dataAt = p + 8;
                dataSize = std::min<size_t>(size, bytes.size() - dataAt);
                break;
            }
            p += 8 + size + (size & 1);
        }
        ASSERT_GT(dataAt, 0u);
        ASSERT_EQ(bytes[20] | bytes[21] << 8, c.tag);
        t::writeBytes(tmp / "data.mp3",
                      std::vector<uint8_t>(bytes.begin() + long(dataAt), bytes.begin() + long(dataAt + dataSize)));
        ASSERT_EQ(t::run("mpg123 -q -s " + t::shellQuote((tmp / "data.mp3").string()) + " > " +
                         t::shellQuote((tmp / "data.raw").string()))
                      .exitCode,
                  0);
        const auto want = t::readPcm16(tmp / "data.raw");
        ASSERT_GT(want.size(), 44100u * 2);
        for (LONG decoder : {X_AUDIO, ACM_DRIVER_OUT}) {
            SCOPED_TRACE(decoder);
            ASSERT_EQ(openWith(af.get(), wav, decoder), NOERRORS);
            EXPECT_EQ(get(af.get(), &IAudioFile::get_FormatTag), c.tag);
            EXPECT_EQ(get(af.get(), &IAudioFile::get_ArrayFrequency), 44100);
            const LONG n = get(af.get(), &IAudioFile::get_nSamples);
            const LONG ms = get(af.get(), &IAudioFile::get_Duration);
            const auto ours = readAllOf(af.get());
            EXPECT_EQ(ours.size(), want.size());
            EXPECT_EQ(size_t(n) * 2, ours.size());
            EXPECT_LE(t::compare(ours, want).maxAbs, 1);
            af->CloseFile();
            for (bool fast : {true, false}) {
                const Facts f = infoOf(wav, fast);
                EXPECT_EQ(f.type, 1);
                EXPECT_EQ(f.tag, c.tag);
                EXPECT_EQ(f.samples, n);
                EXPECT_EQ(f.duration, ms);
                EXPECT_EQ(f.rate, 44100);
                EXPECT_EQ(f.channels, 2);
            }
        }
    }
}

// A file that holds no audio at all does not open: FORMATFILE, never
// success with nothing to read.
TEST_F(Mp3Corpus, FilesWithoutAudioAreRefused) {
    QORO_REQUIRE_TOOLS("lame", "ffmpeg", "mpg123");
    t::TempDir tmp;
    t::writeBytes(tmp / "text.mp3", std::vector<uint8_t>(20000, 'x'));
    // The information frame of a real file without the frames behind it,
    // and the ID3v2 tag of a real file without its stream.
    const auto cbr = t::readBytes(dir / "lame_cbr128.mp3");
    t::writeBytes(tmp / "info-only.mp3", std::vector<uint8_t>(cbr.begin(), cbr.begin() + 417));
    const auto tagged = t::readBytes(dir / "mutagen_tagged.mp3");
    const size_t tagSize =
        10 + (size_t(tagged[6]) << 21 | size_t(tagged[7]) << 14 | size_t(tagged[8]) << 7 | tagged[9]);
    ASSERT_GT(tagged.size(), tagSize);
    t::writeBytes(tmp / "tag-only.mp3", std::vector<uint8_t>(tagged.begin(), tagged.begin() + long(tagSize)));
    for (const char* name : {"text.mp3", "info-only.mp3", "tag-only.mp3"}) {
        SCOPED_TRACE(name);
        for (LONG type : {LONG(DEFAULT), LONG(MP3)})
            EXPECT_EQ(openWith(af.get(), tmp / name, X_AUDIO, type), FORMATFILE);
        const Facts f = infoOf(tmp / name, false);
        EXPECT_EQ(f.samples, 0);
        EXPECT_EQ(f.duration, 0);
    }
}

}  // namespace
