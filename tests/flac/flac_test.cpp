// FLAC through the AudioFile object (created through the component runtime,
// driven through IAudioFile2), judged by the reference tools: what "flac"
// makes of sox's signals reads exactly as "flac -d" decodes it (24-bit
// samples narrowed by the component's own rounding step, and within one step
// of sox's narrowing); what the component writes passes "flac -t", decodes to
// exactly the samples written and carries their MD5 signature; seeks land on
// the sample asked for; files it cannot take are refused with their cause.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "convert/deep_samples.h"
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

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// A test signal from sox at the given depth: two sines and some noise, so
// that every bit of the samples is used (sox dithers nothing it writes here).
void soxSignal(const t::fs::path& wav, int rate, int channels, int bits, double seconds) {
    mustRun("sox -D -R -r " + std::to_string(rate) + " -n -c " + std::to_string(channels) + " -b " +
            std::to_string(bits) + " " + q(wav) + " synth " + std::to_string(seconds) +
            " sine 440 sine 1234 whitenoise gain -n -3");
}

// The samples "flac -d" decodes, as raw little-endian signed integers of the
// file's own depth, one value per sample.
std::vector<int32_t> flacDecoded(const t::fs::path& flac, int bits) {
    const t::fs::path raw = flac.string() + ".raw";
    mustRun("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " + q(raw) + " " + q(flac));
    const std::vector<uint8_t> bytes = t::readBytes(raw);
    const size_t width = static_cast<size_t>((bits + 7) / 8);
    std::vector<int32_t> out(bytes.size() / width);
    for (size_t i = 0; i < out.size(); ++i) {
        uint32_t v = 0;
        for (size_t b = 0; b < width; ++b) v |= uint32_t{bytes[i * width + b]} << (8 * b);
        const int shift = 32 - static_cast<int>(width) * 8;
        out[i] = static_cast<int32_t>(v << shift) >> shift;
    }
    return out;
}

// Reference 16-bit samples of a flac-decoded stream: 16-bit as they are,
// 8-bit scaled by 256, 24- and 32-bit through the component's narrowing step.
std::vector<int16_t> reference16(const std::vector<int32_t>& decoded, int bits) {
    std::vector<int16_t> out(decoded.size());
    if (bits == 24 || bits == 32) {
        const size_t width = static_cast<size_t>(bits / 8);
        std::vector<uint8_t> packed(decoded.size() * width);
        for (size_t i = 0; i < decoded.size(); ++i)
            for (size_t b = 0; b < width; ++b)
                packed[i * width + b] = static_cast<uint8_t>(static_cast<uint32_t>(decoded[i]) >> (8 * b));
        qoro::audiofile::narrowTo16(
            bits == 24 ? qoro::audiofile::DeepEncoding::Int24 : qoro::audiofile::DeepEncoding::Int32, packed.data(),
            decoded.size(), out.data());
    } else {
        for (size_t i = 0; i < decoded.size(); ++i)
            out[i] = static_cast<int16_t>(bits == 8 ? decoded[i] * 256 : decoded[i]);
    }
    return out;
}

// IAudioFile2 is IAudioFile slot for slot, its two members after the last
// one; its identifier is its own and fixed.
TEST(AudioFile2Layout, NewMembersFollowTheOldSlots) {
    const long last = qoro::test::vtableSlot(&IAudioFile::get_Mp3LameEncoder);
    EXPECT_EQ(qoro::test::vtableSlot(&IAudioFile2::get_Mp3LameEncoder), last);
    EXPECT_EQ(qoro::test::vtableSlot(&IAudioFile2::OpenFile), qoro::test::vtableSlot(&IAudioFile::OpenFile));
    EXPECT_EQ(qoro::test::vtableSlot(&IAudioFile2::SetFormatFLAC), last + 1);
    EXPECT_EQ(qoro::test::vtableSlot(&IAudioFile2::SetFormatOpus), last + 2);
    EXPECT_EQ(IID_IAudioFile2, qoro::com::guid("{9E7ADB6D-2DF0-40EA-864E-A3049B5AF275}"));
    for (const GUID& other : {IID_IAudioFile, CLSID_AudioFile, LIBID_QoroAudioFile, DIID__IAudioFileEvents,
                              IID_IAudioFileLameMp3Encoder, CLSID_AudioFileLameMp3Encoder, IID_IDispatch})
        EXPECT_NE(IID_IAudioFile2, other);
    EXPECT_EQ(FLAC, 13);
    EXPECT_EQ(OPUS, 14);
    EXPECT_EQ(qoro::dispid::AudioFile::SetFormatFLAC, 74);
    EXPECT_EQ(qoro::dispid::AudioFile::SetFormatOpus, 75);
}

class FlacTest : public t::AudioFileSession {
protected:
    void SetUp() override {
        AudioFileSession::SetUp();
        ASSERT_EQ(af.as(IID_IAudioFile2, af2), S_OK);
    }
    void TearDown() override {
        af2.reset();
        AudioFileSession::TearDown();
    }

    // A FLAC file made by the flac tool from a sox signal.
    t::fs::path toolFlac(const std::string& name, int rate, int channels, int bits, double seconds,
                         const std::string& options = "") {
        const t::fs::path wav = dir / (name + ".wav");
        const t::fs::path flac = dir / (name + ".flac");
        soxSignal(wav, rate, channels, bits, seconds);
        mustRun("flac -s -f " + options + " -o " + q(flac) + " " + q(wav));
        return flac;
    }

    LONG setFormatFlac(LONG rate, LONG channels, LONG level) {
        LONG align = -1;
        EXPECT_EQ(af2->SetFormatFLAC(rate, channels, level, &align), S_OK);
        return align;
    }

    // Writes `samples` into a new FLAC file through the object.
    void writeFlac(const t::fs::path& path, LONG rate, LONG channels, LONG level, const std::vector<int16_t>& samples,
                   size_t piece = 3001) {
        ASSERT_EQ(setFormatFlac(rate, channels, level), channels * 2);
        ASSERT_EQ(err(), NOERRORS);
        ASSERT_TRUE(create(path.string()));
        ASSERT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), rate);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), channels);
        writeAll(samples, piece - piece % static_cast<size_t>(channels) + static_cast<size_t>(channels) - 1);
        ASSERT_EQ(af->CloseFile(), S_OK);
        ASSERT_EQ(err(), NOERRORS) << errorText();
    }

    t::TempDir dir;
    ComPtr<IAudioFile2> af2;
};

struct ToolFile {
    int rate;
    int channels;
    int bits;
};

class FlacToolFiles : public FlacTest, public ::testing::WithParamInterface<ToolFile> {};

// Files of the flac tool read exactly as "flac -d" decodes them: 16-bit
// bit-exact, 8-bit scaled to 16 as 8-bit WAV files are, 24- and 32-bit
// narrowed by the deep WAV reader's rounding step (24-bit also within one
// step of sox's own narrowing of the same file). The length, rate, channels
// and depth are the file's own; reads of odd sizes join up without a gap.
TEST_P(FlacToolFiles, ReadExactlyAsFlacDecodesThem) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    const ToolFile f = GetParam();
    const double seconds = 1.7;
    const t::fs::path flac = toolFlac("tool", f.rate, f.channels, f.bits, seconds);
    const std::vector<int32_t> decoded = flacDecoded(flac, f.bits);
    const long frames = static_cast<long>(decoded.size()) / f.channels;
    ASSERT_GT(frames, f.rate);
    const std::vector<int16_t> expected = reference16(decoded, f.bits);

    ASSERT_TRUE(open(flac.string()));
    ASSERT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), frames);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), f.rate);
    EXPECT_EQ(prop(&IAudioFile::get_nChannels), f.channels);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), f.rate);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), f.channels);
    EXPECT_EQ(prop(&IAudioFile::get_BitsPerSample), f.bits == 8 ? 8 : 16);
    EXPECT_EQ(prop(&IAudioFile::get_Duration), frames * 1000L / f.rate);
    Bstr text;
    ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
    EXPECT_NE(text.utf8().find("FLAC"), std::string::npos) << text.utf8();

    const std::vector<int16_t> got = readAll(1237);
    EXPECT_EQ(err(), NOERRORS) << errorText();
    ASSERT_EQ(got.size(), expected.size());
    const t::Difference d = t::compare(expected, got);
    EXPECT_EQ(d.maxAbs, 0) << "rms " << d.rms;
    EXPECT_TRUE(got == expected);

    if (f.bits == 24) {
        // sox's own narrowing without dither: the same values within one step.
        const t::fs::path raw = dir / "sox16.raw";
        mustRun("sox -D " + q(flac) + " -t raw -e signed -b 16 -L " + q(raw));
        const std::vector<int16_t> sox = t::readPcm16(raw);
        ASSERT_EQ(sox.size(), got.size());
        EXPECT_LE(t::compare(sox, got).maxAbs, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, FlacToolFiles,
                         ::testing::Values(ToolFile{44100, 1, 16}, ToolFile{44100, 2, 16}, ToolFile{96000, 2, 16},
                                           ToolFile{96000, 1, 24}, ToolFile{44100, 2, 24}, ToolFile{96000, 2, 24},
                                           ToolFile{22050, 1, 8}, ToolFile{48000, 2, 8}, ToolFile{48000, 2, 32}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) + "bit_" + std::to_string(info.param.rate) + "Hz_" +
                                    (info.param.channels == 1 ? "mono" : "stereo");
                         });

// What the object writes is a FLAC file the flac tool accepts ("flac -t"),
// decodes to exactly the samples written, with STREAMINFO's length, rate,
// channels and 16 bits, and the MD5 signature of those samples; a higher
// level makes a smaller file; the object reads its own files back exactly.
// Files of more than two channels (a different tone in each) read as the
// ITU-R BS.775 stereo fold-down of their samples: left = (FL + 0.7071 (C +
// the left surrounds)) / the sum of those gains, LFE left out; WAV files from
// sox (WAVE_FORMAT_EXTENSIBLE) as FLAC files from the flac tool.
TEST_F(FlacTest, MoreChannelsFoldDownToStereo) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    constexpr double h = 0.70710678;
    struct Layout {
        int channels;
        std::vector<double> left, right;  // gains before scaling
    };
    const Layout layouts[] = {
        {3, {1, 0, h}, {0, 1, h}},
        {6, {1, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h}},
        {8, {1, 0, h, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h, 0, h}},
    };
    for (const Layout& l : layouts)
        for (const char* type : {"flac", "wav"}) {
            SCOPED_TRACE(std::to_string(l.channels) + " channels, " + type);
            const std::string name = "ch" + std::to_string(l.channels);
            const t::fs::path wav = dir / (name + ".wav"), flac = dir / (name + ".flac");
            std::string tones;
            for (int c = 0; c < l.channels; ++c) tones += " sine " + std::to_string(300 + 211 * c);
            mustRun("sox -D -R -r 48000 -n -c " + std::to_string(l.channels) + " -b 24 " + q(wav) +
                    " synth 0.5" + tones + " gain -2");
            mustRun("flac -s -f --channel-map=none -o " + q(flac) + " " + q(wav));
            const std::vector<int32_t> in = flacDecoded(flac, 24);

            ASSERT_TRUE(open((std::string(type) == "wav" ? wav : flac).string()));
            ASSERT_EQ(err(), NOERRORS) << errorText();
            // The file's PCM form is the stereo it is read as; its text tells the channels.
            EXPECT_EQ(prop(&IAudioFile::get_nChannels), 2);
            EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 2);
            Bstr text;
            ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
            EXPECT_NE(text.utf8().find(std::to_string(l.channels)), std::string::npos) << text.utf8();
            const std::vector<int16_t> got = readAll(1237);
            EXPECT_EQ(err(), NOERRORS) << errorText();
            ASSERT_EQ(got.size(), in.size() / static_cast<size_t>(l.channels) * 2);
            double sumLeft = 0, sumRight = 0;
            for (int c = 0; c < l.channels; ++c) sumLeft += l.left[c], sumRight += l.right[c];
            int worst = 0;
            for (size_t f = 0; f < got.size() / 2; ++f) {
                double left = 0, right = 0;
                for (int c = 0; c < l.channels; ++c) {
                    const double v = in[f * static_cast<size_t>(l.channels) + static_cast<size_t>(c)] / 256.0;
                    left += l.left[c] * v;
                    right += l.right[c] * v;
                }
                worst = std::max({worst, std::abs(got[2 * f] - static_cast<int>(std::lround(left / sumLeft))),
                                  std::abs(got[2 * f + 1] - static_cast<int>(std::lround(right / sumRight)))});
            }
            EXPECT_LE(worst, 1);
            ASSERT_EQ(af->CloseFile(), S_OK);
        }
}

TEST_F(FlacTest, WrittenFilesPassTheFlacToolAndDecodeToWhatWasWritten) {
    QORO_REQUIRE_TOOLS("flac", "metaflac", "md5sum");
    struct Case {
        LONG rate, channels, level;
    };
    uintmax_t sizeAtLevel[9] = {};
    for (const Case c :
         {Case{44100, 2, 5}, Case{22050, 1, 5}, Case{48000, 2, 0}, Case{48000, 2, 8}, Case{96000, 2, 5}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch, level " +
                     std::to_string(c.level));
        const int frames = c.rate * 2 + 777;
        const std::vector<int16_t> samples = t::testSignal(c.rate, c.channels, frames, 0.7);
        const t::fs::path path = dir / ("out" + std::to_string(c.rate) + "_" + std::to_string(c.level) + ".flac");
        writeFlac(path, c.rate, c.channels, c.level, samples);
        if (c.rate == 48000) sizeAtLevel[c.level] = t::fs::file_size(path);

        mustRun("flac -t -s -w " + q(path));
        const std::vector<int32_t> decoded = flacDecoded(path, 16);
        ASSERT_EQ(decoded.size(), samples.size());
        EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), samples.begin()));

        const std::string facts = mustRun(
            "metaflac --show-total-samples --show-sample-rate --show-channels "
            "--show-bps --show-md5sum " +
            q(path));
        const t::fs::path raw = dir / "written.raw";
        t::writePcm16(raw, samples);
        const std::string md5 = mustRun("md5sum < " + q(raw)).substr(0, 32);
        EXPECT_EQ(facts, std::to_string(frames) + "\n" + std::to_string(c.rate) + "\n" + std::to_string(c.channels) +
                             "\n16\n" + md5 + "\n");
        EXPECT_NE(md5, std::string(32, '0'));

        ASSERT_TRUE(open(path.string()));
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), frames);
        EXPECT_TRUE(readAll(4096) == samples);
        EXPECT_EQ(err(), NOERRORS) << errorText();
        af->CloseFile();
    }
    EXPECT_LT(sizeAtLevel[8], sizeAtLevel[0]);
}

// A file with nothing written is still a valid FLAC stream of no samples.
TEST_F(FlacTest, AnEmptyWrittenFileIsValid) {
    QORO_REQUIRE_TOOLS("flac", "metaflac");
    const t::fs::path path = dir / "empty.flac";
    writeFlac(path, 44100, 2, 5, {});
    mustRun("flac -t -s " + q(path));
    EXPECT_EQ(trimmed(mustRun("metaflac --show-total-samples " + q(path))), "0");
    ASSERT_TRUE(open(path.string()));
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_TRUE(readAll().empty());
    EXPECT_EQ(err(), NOERRORS);
}

// Written at another array format: the engine converts to the FLAC format
// chosen, and the file holds that format.
TEST_F(FlacTest, SamplesInAnotherArrayFormatAreConvertedToTheFileFormat) {
    QORO_REQUIRE_TOOLS("flac", "metaflac");
    const t::fs::path path = dir / "mono.flac";
    ASSERT_EQ(setFormatFlac(44100, 1, 5), 2);
    ASSERT_TRUE(create(path.string()));
    ASSERT_EQ(af->SetFormatArray(44100, 2), S_OK);
    std::vector<int16_t> stereo;
    for (int i = 0; i < 10000; ++i) {
        stereo.push_back(static_cast<int16_t>(i));
        stereo.push_back(static_cast<int16_t>(i + 2));
    }
    writeAll(stereo, 1000);
    af->CloseFile();
    ASSERT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(trimmed(mustRun("metaflac --show-channels --show-total-samples " + q(path))), "1\n10000");
    const std::vector<int32_t> decoded = flacDecoded(path, 16);
    ASSERT_EQ(decoded.size(), 10000u);
    for (int i = 0; i < 10000; i += 997) EXPECT_NEAR(decoded[i], i + 1, 1) << i;
}

// Seeks by sample number land exactly where asked, from every origin, in a
// file of the flac tool (4096-sample blocks, with a seek table) and in one
// the object wrote (no seek table); seeking back after reading to the end
// works, and seeking to the end leaves nothing to read.
TEST_F(FlacTest, SeeksLandOnTheSampleAskedFor) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    const t::fs::path tool = toolFlac("seek", 44100, 2, 16, 3.0);
    const std::vector<int16_t> toolSamples = reference16(flacDecoded(tool, 16), 16);
    const t::fs::path ours = dir / "ours.flac";
    const std::vector<int16_t> ourSamples = t::testSignal(48000, 2, 150000);
    writeFlac(ours, 48000, 2, 5, ourSamples);

    for (const auto& [path, all] : {std::pair{tool, toolSamples}, std::pair{ours, ourSamples}}) {
        SCOPED_TRACE(path.filename().string());
        const LONG frames = static_cast<LONG>(all.size() / 2);
        ASSERT_TRUE(open(path.string()));
        ASSERT_EQ(prop(&IAudioFile::get_nSamples), frames);
        auto expectAt = [&](LONG at, LONG n) {
            const std::vector<int16_t> got = t::readOnce(af.get(), n);
            const LONG have = std::min(n, frames - at);
            ASSERT_EQ(got.size(), static_cast<size_t>(have) * 2) << "at " << at;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin() + at * 2)) << "at " << at;
        };
        for (LONG at : std::initializer_list<LONG>{0, 1, 4095, 4096, 4097, 12345, 100000, frames - 100, frames - 1}) {
            EXPECT_EQ(seek(at), at);
            EXPECT_EQ(err(), NOERRORS) << errorText();
            expectAt(at, 500);
        }
        // From the current position and from the end.
        EXPECT_EQ(seek(1000), 1000);
        EXPECT_EQ(seek(2345, CURRENT_POS), 3345);
        expectAt(3345, 700);
        EXPECT_EQ(seek(5000, END_POS), frames - 5000);
        expectAt(frames - 5000, 900);
        // To the end, then after reading everything, back again.
        EXPECT_EQ(seek(frames), frames);
        EXPECT_TRUE(t::readOnce(af.get(), 100).empty());
        EXPECT_EQ(err(), NOERRORS);
        EXPECT_EQ(seek(77), 77);
        EXPECT_EQ(readAll(3000).size(), static_cast<size_t>(frames - 77) * 2);
        EXPECT_EQ(seek(20000), 20000);
        expectAt(20000, 333);
        af->CloseFile();
    }
}

// A stream that does not state its length (the flac tool writing to a pipe
// leaves STREAMINFO's count at 0): every sample is read, and nSamples counts
// what was read.
TEST_F(FlacTest, AStreamWithoutItsLengthIsCountedAsRead) {
    QORO_REQUIRE_TOOLS("flac", "metaflac");
    const std::vector<int16_t> samples = t::testSignal(44100, 2, 300001);
    const t::fs::path raw = dir / "in.raw";
    t::writePcm16(raw, samples);
    const t::fs::path path = dir / "piped.flac";
    mustRun(
        "flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=44100 "
        "-c - < " +
        q(raw) + " | cat > " + q(path));
    ASSERT_EQ(trimmed(mustRun("metaflac --show-total-samples " + q(path))), "0");

    ASSERT_TRUE(open(path.string()));
    ASSERT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0);
    const std::vector<int16_t> got = readAll(50000);
    EXPECT_EQ(err(), NOERRORS) << errorText();
    EXPECT_TRUE(got == samples) << got.size() << " of " << samples.size();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 300001);
    // Seeks by sample number still work.
    EXPECT_EQ(seek(123456), 123456);
    const std::vector<int16_t> block = t::readOnce(af.get(), 10);
    ASSERT_EQ(block.size(), 20u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), samples.begin() + 123456 * 2));
}

// Files the component cannot take are refused with their cause: no FLAC at
// all or an empty file (FORMATFILE), READWRITE (INVALIDOPERATION).
TEST_F(FlacTest, FilesItCannotTakeAreRefusedWithTheirCause) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    const t::fs::path garbage = dir / "garbage.flac";
    std::vector<uint8_t> noise(100000);
    std::mt19937 rng(7);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    t::writeBytes(garbage, noise);
    open(garbage.string());
    EXPECT_EQ(err(), FORMATFILE) << errorText();
    EXPECT_FALSE(errorText().empty());

    // "fLaC" and then no STREAMINFO worth the name.
    std::vector<uint8_t> bogus = {'f', 'L', 'a', 'C', 0x80, 0x00, 0x00, 0x05, 1, 2, 3, 4, 5};
    t::writeBytes(garbage, bogus);
    open(garbage.string());
    EXPECT_EQ(err(), FORMATFILE) << errorText();

    t::writeBytes(garbage, {});
    open(garbage.string());
    EXPECT_EQ(err(), FORMATFILE);
    EXPECT_EQ(errorText(), "the file is empty");

    const t::fs::path good = toolFlac("good", 8000, 1, 16, 0.3);
    open(good.string(), DEFAULT, READWRITE);
    EXPECT_EQ(err(), INVALIDOPERATION);
    // A name in capitals is still FLAC.
    const t::fs::path upper = dir / "GOOD.FLAC";
    t::fs::copy_file(good, upper);
    ASSERT_TRUE(open(upper.string()));
    EXPECT_EQ(err(), NOERRORS) << errorText();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 2400);
}

// Damaged streams fail cleanly: the samples before the damage come out as
// "flac -d" gives them, the read that reaches the damage reports FORMATFILE
// with its cause, and nothing crashes; reading on after the report goes on
// from the next good frame.
TEST_F(FlacTest, DamagedStreamsFailCleanly) {
    QORO_REQUIRE_TOOLS("flac", "sox");
    const t::fs::path good = toolFlac("whole", 44100, 2, 16, 2.0);
    const std::vector<int16_t> all = reference16(flacDecoded(good, 16), 16);
    const std::vector<uint8_t> bytes = t::readBytes(good);

    auto readUntilError = [&](std::vector<int16_t>& got) {
        std::string cause;
        for (int guard = 0; guard < 10000; ++guard) {
            const std::vector<int16_t> block = t::readOnce(af.get(), 1000);
            if (err() != NOERRORS) {
                cause = errorText();
                break;
            }
            if (block.empty()) break;
            got.insert(got.end(), block.begin(), block.end());
        }
        return cause;
    };

    {  // cut short in the middle of a frame
        SCOPED_TRACE("truncated");
        const t::fs::path cut = dir / "cut.flac";
        t::writeBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2)));
        ASSERT_TRUE(open(cut.string()));
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), static_cast<LONG>(all.size() / 2));
        std::vector<int16_t> got;
        const std::string cause = readUntilError(got);
        EXPECT_EQ(err(), FORMATFILE);
        EXPECT_NE(cause.find("cut short"), std::string::npos) << cause;
        EXPECT_EQ(cause.find("damaged:"), std::string::npos) << cause;
        EXPECT_GT(got.size(), all.size() / 4);
        EXPECT_LT(got.size(), all.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
        // After the report the end is the end.
        EXPECT_TRUE(t::readOnce(af.get(), 1000).empty());
        af->CloseFile();
    }
    {  // garbage over a stretch in the middle
        SCOPED_TRACE("overwritten");
        std::vector<uint8_t> broken = bytes;
        std::mt19937 rng(11);
        const size_t from = broken.size() / 2;
        for (size_t i = from; i < from + 3000; ++i) broken[i] = static_cast<uint8_t>(rng());
        const t::fs::path bad = dir / "bad.flac";
        t::writeBytes(bad, broken);
        ASSERT_TRUE(open(bad.string()));
        std::vector<int16_t> got;
        const std::string cause = readUntilError(got);
        EXPECT_EQ(err(), FORMATFILE);
        EXPECT_NE(cause.find("damaged"), std::string::npos) << cause;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
        EXPECT_LT(got.size(), all.size());
        // Reading on: later frames still come, the file never more than it holds.
        const std::vector<int16_t> rest = readAll(5000);
        EXPECT_GT(rest.size(), 0u);
        EXPECT_LE(got.size() + rest.size(), all.size());
        af->CloseFile();
    }
    {  // every byte after the header random, at many seeds: no crash, no hang
        SCOPED_TRACE("random frames");
        for (unsigned seed = 0; seed < 20; ++seed) {
            std::vector<uint8_t> broken(bytes.begin(), bytes.begin() + 8300);
            std::mt19937 rng(seed);
            for (int i = 0; i < 20000; ++i) broken.push_back(static_cast<uint8_t>(rng()));
            const t::fs::path bad = dir / "random.flac";
            t::writeBytes(bad, broken);
            open(bad.string());
            const std::vector<int16_t> got = readAll(4096);
            EXPECT_LE(got.size(), all.size());
            af->CloseFile();
        }
    }
}

// Writing where it cannot: no such folder (FILEACCESS with the system's
// reason, nothing made), a device that takes no bytes (the header cannot be
// written; the device is left alone), a file that may grow no further (the
// write that meets the limit reports it, later writes and the close again).
TEST_F(FlacTest, CreateAndWriteFailuresAreReported) {
    ASSERT_EQ(setFormatFlac(44100, 2, 5), 4);
    create((dir / "no" / "such" / "x.flac").string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(errorText(), "No such file or directory");
    SHORT st = -1;
    af->get_Status(&st);
    EXPECT_EQ(st, 0);

    struct stat full {};
    ASSERT_EQ(stat("/dev/full", &full), 0) << "/dev/full is missing";
    create("/dev/full", FLAC);
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(errorText(), "No space left on device");
    af->get_Status(&st);
    EXPECT_EQ(st, 0);
    ASSERT_EQ(stat("/dev/full", &full), 0);
    EXPECT_TRUE(S_ISCHR(full.st_mode));

    const t::fs::path path = dir / "limited.flac";
    const std::vector<int16_t> samples = t::testSignal(44100, 2, 100000);
    SAFEARRAY* sa = t::sampleArray(samples);
    {
        // Files of this process may not grow beyond 64 KiB for a while.
        const t::FileSizeLimit limit(64 * 1024);
        create(path.string());
        ASSERT_EQ(err(), NOERRORS) << errorText();
        EXPECT_EQ(af->WriteFile(&sa), S_OK);
        EXPECT_EQ(err(), FILEACCESS);
        EXPECT_EQ(errorText(), "File too large");
        EXPECT_EQ(af->WriteFile(&sa), S_OK);
        EXPECT_EQ(err(), FILEACCESS);
        EXPECT_EQ(af->CloseFile(), S_OK);
        EXPECT_EQ(err(), FILEACCESS);
        EXPECT_EQ(errorText(), "File too large");
    }
    SafeArrayDestroy(sa);
    af->get_Status(&st);
    EXPECT_EQ(st, 0);
}

// SetFormatFLAC checks its arguments and the Status.
TEST_F(FlacTest, FormatChoices) {
    EXPECT_EQ(setFormatFlac(44100, 3, 5), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatFlac(500, 1, 5), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatFlac(44100, 2, 9), 0);
    EXPECT_EQ(err(), INVALIDPARAM);
    EXPECT_EQ(setFormatFlac(8000, 1, 0), 2);
    EXPECT_EQ(err(), NOERRORS);
    Bstr text;
    ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "FLAC 8000 Hz; Mono; 16 Bit; Level 0");

    // BUSY while a file is open.
    ASSERT_TRUE(create((dir / "busy.flac").string()));
    EXPECT_EQ(setFormatFlac(44100, 2, 5), 0);
    EXPECT_EQ(err(), BUSY);
}

// IAudioFile2 is the same object as IAudioFile (the old interface's members
// work through either), and IDispatch finds the new members by name at
// DISPIDs above every old one, with their defaults for missing arguments.
TEST_F(FlacTest, TheNewInterfaceThroughQueryInterfaceAndIDispatch) {
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(af.as(IID_IUnknown, a), S_OK);
    ASSERT_EQ(af2.as(IID_IUnknown, b), S_OK);
    EXPECT_EQ(a.get(), b.get());
    ComPtr<IAudioFile> old;
    ASSERT_EQ(af2.as(IID_IAudioFile, old), S_OK);
    LONG align = 0;
    EXPECT_EQ(old->SetFormatPCM(8000, 1, 16, &align), S_OK);
    EXPECT_EQ(align, 2);

    ComPtr<IDispatch> disp;
    ASSERT_EQ(af2.as(IID_IDispatch, disp), S_OK);
    auto idOf = [&](const char16_t* name) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << qoro::com::toUtf8(name);
        return id;
    };
    DISPID highestOld = 0;
    for (const char16_t* name : {u"OpenFile",
                                 u"CloseFile",
                                 u"CreateFile",
                                 u"WriteFile",
                                 u"ReadFile",
                                 u"SeekFile",
                                 u"nSamples",
                                 u"Frequency",
                                 u"Status",
                                 u"nChannels",
                                 u"FormatString",
                                 u"BitsPerSample",
                                 u"Bitrate",
                                 u"Duration",
                                 u"LastErrorNum",
                                 u"ArrayChannels",
                                 u"ArrayFrequency",
                                 u"FormatTag",
                                 u"G723Bitrate",
                                 u"G726Bitrate",
                                 u"RawTypeCompress",
                                 u"SetFormatMP3",
                                 u"SetFormatRAW",
                                 u"SetFormatADPCM",
                                 u"SetFormatGSM",
                                 u"SetFormatVOX",
                                 u"SetFormatPCM",
                                 u"SetFormatArray",
                                 u"SetFormatFromMenu",
                                 u"SetFormatLikeSample",
                                 u"SetFormatDSP",
                                 u"SetFormatALAW",
                                 u"SetFormatALF2CD",
                                 u"SetFormatG723",
                                 u"SetFormatULAW",
                                 u"SetFormatG726",
                                 u"SetFormatMobileVoice",
                                 u"SetFormatOggVorbis",
                                 u"SetFormatG721",
                                 u"SetFormatWMA",
                                 u"SetFormatMP2",
                                 u"FastMP3Analysis",
                                 u"WmaFormatEnabled",
                                 u"Mp3TypeEncoder",
                                 u"Mp3TypeDecoder",
                                 u"Mp3LameEncoder"})
        highestOld = std::max(highestOld, idOf(name));
    EXPECT_EQ(highestOld, 73);
    const DISPID flac = idOf(u"setformatflac");
    const DISPID opus = idOf(u"SetFormatOpus");
    EXPECT_GT(flac, highestOld);
    EXPECT_GT(opus, highestOld);
    EXPECT_NE(flac, opus);

    // SetFormatFLAC(22050) by name: two channels and level 5 by default.
    VARIANT rate;
    VariantInit(&rate);
    rate.vt = VT_I4;
    rate.lVal = 22050;
    DISPPARAMS one{&rate, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(disp->Invoke(flac, IID_NULL, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 4);
    Bstr text;
    ASSERT_EQ(af->get_FormatString(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "FLAC 22050 Hz; Stereo; 16 Bit; Level 5");
}

}  // namespace
