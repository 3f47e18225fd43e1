// MPEG Plus files end to end through the AudioFile object: OpenFile, ReadFile
// in blocks of any size, SeekFile, the properties and the format description,
// against ffmpeg's decoding of the same files. ffmpeg keeps the first 481
// sample frames of a stream (the synthesis delay) that we drop, so our sample
// i is ffmpeg's sample i + 481.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "audio_file_session.h"
#include "mpc/mpc_stream.h"
#include "test_support.h"

namespace qt = qoro::test;
namespace fs = std::filesystem;

namespace {

constexpr LONG kDelay = 481;  // sample frames the first frame drops
constexpr LONG kFrameSamples = 1152;

std::string sample(const std::string& name) { return qt::testdata("mpc/" + name).string(); }

// Bit positions at which the frames of a version 7 stream end (each frame is
// its 20-bit length followed by that many bits; the first starts at bit 200).
std::vector<uint64_t> frameEnds(const std::vector<uint8_t>& file, uint32_t frames) {
    auto bit = [&](uint64_t b) {
        const size_t byte = static_cast<size_t>(b / 32 * 4 + 3 - (b % 32) / 8);
        return byte < file.size() ? (file[byte] >> (7 - b % 8)) & 1 : 0;
    };
    std::vector<uint64_t> ends;
    uint64_t at = 200;
    for (uint32_t k = 0; k < frames; ++k) {
        uint32_t len = 0;
        for (int i = 0; i < 20; ++i) len = len << 1 | static_cast<uint32_t>(bit(at + i));
        at += 20 + len;
        ends.push_back(at);
    }
    return ends;
}

// A longer version 7 stream with real content: the header of `file` followed
// by its frames repeated `times` times (frames are not byte aligned, so they
// are copied bit by bit), the frame count patched.
std::vector<uint8_t> repeatFrames(const std::vector<uint8_t>& file, uint32_t frames, int times) {
    const auto ends = frameEnds(file, frames);
    auto bit = [&](uint64_t b) {
        const size_t byte = static_cast<size_t>(b / 32 * 4 + 3 - (b % 32) / 8);
        return byte < file.size() ? (file[byte] >> (7 - b % 8)) & 1 : 0;
    };
    std::vector<uint32_t> words;
    uint64_t n = 0;
    auto put = [&](int v) {
        if (n % 32 == 0) words.push_back(0);
        words.back() |= static_cast<uint32_t>(v) << (31 - n % 32);
        ++n;
    };
    for (uint64_t b = 0; b < 200; ++b) put(bit(b));
    for (int t = 0; t < times; ++t)
        for (uint64_t b = 200; b < ends.back(); ++b) put(bit(b));
    words[1] = frames * static_cast<uint32_t>(times);
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

class MpcThroughAudioFile : public qt::AudioFileSession {
protected:
    void SetUp() override {
        QORO_REQUIRE_TOOLS("ffmpeg");
        AudioFileSession::SetUp();
    }
    std::vector<int16_t> ffmpeg(const std::string& path, const std::string& extra = "") {
        const fs::path out = dir_ / "ffmpeg.raw";
        const auto r = qt::run("ffmpeg -v error -y -i " + qt::shellQuote(path) + " " + extra + " -f s16le " +
                               qt::shellQuote(out.string()));
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return qt::readPcm16(out);
    }
    SHORT status() {
        SHORT s = -1;
        af->get_Status(&s);
        return s;
    }
    std::string formatString() {
        BSTR s = nullptr;
        af->get_FormatString(&s);
        const std::string text = qoro::com::utf8FromBstr(s);
        SysFreeString(s);
        return text;
    }
    // Opens a file expected to be refused as not an MPEG Plus stream.
    void expectRefused(const std::string& path, LONG type = DEFAULT) {
        open(path, type);
        EXPECT_EQ(err(), FORMATFILE) << path;
        EXPECT_EQ(status(), 0) << path;
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0) << path;
        af->CloseFile();
    }
    // 60 frames of real content built from click.mpc's three.
    std::string longStream() { return copyOf("long.mpc", repeatFrames(qt::readBytes(sample("click.mpc")), 3, 20)); }
    std::string copyOf(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path p = dir_ / name;
        qt::writeBytes(p, bytes);
        return p.string();
    }
    qt::TempDir dir_;
};

TEST_F(MpcThroughAudioFile, DecodesLikeFfmpegWithoutTheSynthesisDelay) {
    const std::string built = longStream();
    for (const std::string& path : {sample("click.mpc"), sample("full-tagged.mpc"), built}) {
        SCOPED_TRACE(path);
        const auto ref = ffmpeg(path);
        ASSERT_EQ(ref.size() % (2 * kFrameSamples), 0u);
        const long frames = static_cast<long>(ref.size() / (2 * kFrameSamples));
        ASSERT_GT(frames, 0);
        const long expected = frames * kFrameSamples - kDelay;

        ASSERT_TRUE(open(path, DEFAULT));  // ".mpc" chooses MPC
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(status(), 1);
        EXPECT_EQ(prop(&IAudioFile::get_Frequency), 44100);
        EXPECT_EQ(prop(&IAudioFile::get_nChannels), 2);
        EXPECT_EQ(prop(&IAudioFile::get_BitsPerSample), 16);
        EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 1411200);  // of the PCM form
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), expected);
        EXPECT_EQ(prop(&IAudioFile::get_Duration), expected * 1000 / 44100);

        // 0.1 s blocks, as the converter reads.
        const auto ours = readAll(4410);
        EXPECT_EQ(err(), NOERRORS);
        ASSERT_EQ(static_cast<long>(ours.size()), 2 * expected);
        const auto d = qt::compare(ours, ref, 2 * kDelay);
        EXPECT_EQ(d.compared, ours.size());
        EXPECT_LE(d.maxAbs, 1);

        // The description names the version, profile and average bitrate; the
        // bitrate is the stream reader's: the stream's bytes (without the
        // tags the file ends with) over ffprobe's duration.
        qoro::mpc::MpcStreamInfo info;
        ASSERT_TRUE(qoro::mpc::readStreamInfo(path, info));
        const std::string text = formatString();
        EXPECT_EQ(text, "MPEG Plus SV-7 " + std::string(qoro::mpc::profileName(info.header.profile)) + " 44,100 kHz; " +
                            std::to_string(info.bitrateKbps) + " Kbps; VBR");
        const auto probe =
            qt::run("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + qt::shellQuote(path));
        EXPECT_NEAR(double(info.audioBytes) * 8 / std::atof(probe.output.c_str()) / 1000.0, info.bitrateKbps, 2.0);
        af->CloseFile();
    }
}

// Through IAudioFile3 the filter bank's floats, before rounding: the 16-bit
// samples are those floats rounded and clipped, the floats hold what lies
// between, and a seek lands on the same float as reading there.
TEST_F(MpcThroughAudioFile, FloatArraysAreTheSamplesBeforeRounding) {
    const std::string path = longStream();
    ASSERT_TRUE(open(path));
    const std::vector<int16_t> narrow = readAll(999);
    af->CloseFile();
    ASSERT_TRUE(open(path));
    qoro::com::ComPtr<IAudioFile3> af3;
    ASSERT_EQ(af->QueryInterface(IID_IAudioFile3, af3.putVoid()), S_OK);
    ASSERT_EQ(af3->SetFormatArrayKind(44100, 2, SAMPLE_FLOAT32), S_OK);
    auto readFloats = [&](LONGLONG frames) {
        std::vector<float> all;
        for (SAFEARRAY* sa = nullptr; SUCCEEDED(af3->ReadSamples(frames, &sa)) && sa; sa = nullptr) {
            LONG ub = -1;
            SafeArrayGetUBound(sa, 1, &ub);
            void* data = nullptr;
            SafeArrayAccessData(sa, &data);
            all.insert(all.end(), static_cast<float*>(data), static_cast<float*>(data) + ub + 1);
            SafeArrayUnaccessData(sa);
            SafeArrayDestroy(sa);
            if (ub < 0) break;
        }
        return all;
    };
    const std::vector<float> wide = readFloats(777);
    ASSERT_EQ(wide.size(), narrow.size());
    size_t between = 0;
    for (size_t i = 0; i < wide.size(); ++i) {
        const float x = wide[i] * 32768.0f;
        const long rounded = std::clamp(std::lrint(x), -32768L, 32767L);
        ASSERT_EQ(rounded, narrow[i]) << i;
        between += std::fabs(x - float(std::lrint(x))) > 0.01f;
    }
    EXPECT_GT(between, wide.size() / 2);
    LONGLONG at = -1;
    ASSERT_EQ(af3->SeekFrames(5000, BEGIN_POS, &at), S_OK);
    ASSERT_EQ(at, 5000);
    const std::vector<float> after = readFloats(100);
    ASSERT_GE(after.size(), 200u);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 200, wide.begin() + 10000));
}

TEST_F(MpcThroughAudioFile, AnyBlockSizeDeliversEverySampleOnce) {
    ASSERT_TRUE(open(longStream(), MPC));
    const auto whole = readAll(4410);
    ASSERT_FALSE(whole.empty());
    for (LONG block : {1, 671, 672, 1152, 4777, 100000}) {
        SCOPED_TRACE(block);
        EXPECT_EQ(seek(0), 0);
        const auto again = readAll(block);
        ASSERT_EQ(again.size(), whole.size());
        EXPECT_TRUE(again == whole);
    }
    // Past the end: empty arrays, no error, the length unchanged.
    EXPECT_TRUE(readAll(10).empty());
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples) * 2, static_cast<LONG>(whole.size()));
}

TEST_F(MpcThroughAudioFile, ConvertsToAnArrayFormatOfHalfTheRateInMono) {
    const std::string path = longStream();
    ASSERT_TRUE(open(path, MPC));
    const LONG full = prop(&IAudioFile::get_nSamples);
    const auto stereo = readAll(4410);
    af->SetFormatArray(22050, 1);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 22050);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
    const LONG half = prop(&IAudioFile::get_nSamples);
    EXPECT_NEAR(half, full / 2.0, 1.0);
    EXPECT_NEAR(prop(&IAudioFile::get_Duration), full * 1000.0 / 44100, 1.0);
    EXPECT_EQ(seek(0), 0);
    const auto mono = readAll(2205);
    EXPECT_NEAR(static_cast<double>(mono.size()), half, 4.0);

    // Against our own stereo decode mixed to mono and taken every other
    // sample, and against ffmpeg's conversion (the delay of 481 stereo frames
    // is 240.5 mono frames at the half rate: the better of 240 and 241).
    std::vector<int16_t> mixed;
    for (size_t i = 0; i + 1 < stereo.size(); i += 4)
        mixed.push_back(static_cast<int16_t>((stereo[i] + stereo[i + 1]) / 2));
    const auto ref = ffmpeg(path, "-ac 1 -ar 22050");
    const double own = qt::snrDb(mixed, mono);
    const double ff = std::max(qt::snrDb(mono, ref, 240), qt::snrDb(mono, ref, 241));
    std::printf("22050 Hz mono: SNR %.1f dB against our decimated stereo, %.1f dB against ffmpeg\n", own, ff);
    EXPECT_GT(own, 10.0);
    EXPECT_GT(ff, 10.0);
}

TEST_F(MpcThroughAudioFile, SeekingLandsOnTheSampleAndReadsWhatReadingFromTheStartGives) {
    ASSERT_TRUE(open(longStream(), MPC));
    const LONG total = prop(&IAudioFile::get_nSamples);
    const auto whole = readAll(4410);
    ASSERT_EQ(static_cast<LONG>(whole.size()), 2 * total);

    // To 0: the first frame's samples again, all of them.
    EXPECT_EQ(seek(0), 0);
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_TRUE(readAll(4410) == whole);

    for (LONG target : {total / 2, total / 3, total * 3 / 4, 1000, 1, kFrameSamples - kDelay - 1,
                        kFrameSamples - kDelay, 2 * kFrameSamples - kDelay + 1, total - 10, total}) {
        SCOPED_TRACE(target);
        const LONG at = seek(target);
        EXPECT_EQ(err(), NOERRORS);
        EXPECT_EQ(at, target);
        const auto rest = readAll(4410);
        ASSERT_EQ(static_cast<LONG>(rest.size()), 2 * (total - at));
        const std::vector<int16_t> from(whole.begin() + 2 * at, whole.end());
        EXPECT_EQ(qt::compare(from, rest).maxAbs, 0);
    }

    // From the end and relative to the position.
    EXPECT_EQ(seek(0, END_POS), total);
    EXPECT_TRUE(readAll(100).empty());
    const LONG a = seek(kFrameSamples * 4 - kDelay);
    EXPECT_EQ(a, kFrameSamples * 4 - kDelay);
    EXPECT_EQ(seek(kFrameSamples * 2, CURRENT_POS), a + kFrameSamples * 2);
    EXPECT_LE(qt::compare(std::vector<int16_t>(whole.begin() + 2 * (a + 2 * kFrameSamples), whole.end()), readAll(1000))
                  .maxAbs,
              1);
}

TEST_F(MpcThroughAudioFile, OlderStreamVersionsOpenAndReadToAnEnd) {
    for (const std::string name : {"sv4_header.mpc", "sv5_header.mpc"}) {
        SCOPED_TRACE(name);
        qoro::mpc::MpcStreamInfo info;
        ASSERT_TRUE(qoro::mpc::readStreamInfo(sample(name), info));
        ASSERT_TRUE(open(sample(name), DEFAULT));
        ASSERT_EQ(err(), NOERRORS);
        const std::string version = name.substr(2, 1);
        EXPECT_EQ(formatString().rfind("MPEG Plus SV-" + version + " n.a. 44,100 kHz; ", 0), 0u) << formatString();
        const LONG expected = info.header.frames ? static_cast<LONG>(info.header.frames) * kFrameSamples - kDelay : 0;
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), expected);
        // The headers promise more frames than the files hold.
        const auto got = readAll(4410);
        EXPECT_LE(static_cast<LONG>(got.size()), 2 * expected);
        EXPECT_EQ(err(), NOERRORS);
        std::printf("%s: %u frames, nSamples %d, read %zu sample frames, \"%s\"\n", name.c_str(), info.header.frames,
                    static_cast<int>(expected), got.size() / 2, formatString().c_str());
        EXPECT_EQ(seek(expected / 2), seek(expected / 2));  // no crash, the same answer twice
        readAll(4410);
        af->CloseFile();
    }
}

TEST_F(MpcThroughAudioFile, FilesThatAreNoStreamOfVersions4To7AreRefused) {
    // Stream version 8 is read through the media plug-in, which finds no
    // stream behind this header.
    open(sample("sv8_header.mpc"));
    EXPECT_EQ(err(), FORMATFILE);
    EXPECT_TRUE(qoro::test::errorText().starts_with("a Musepack SV8 file that cannot be read: ")) << qoro::test::errorText();
    EXPECT_EQ(status(), 0);
    af->CloseFile();
    expectRefused(sample("almostempty.mpc"));
    expectRefused(sample("almostempty.mpc"), MPC);

    auto click = qt::readBytes(sample("click.mpc"));
    ASSERT_GT(click.size(), 4u);
    click[3] = 0x17;
    expectRefused(copyOf("v17.mpc", click));
    click[3] = 0x08;
    expectRefused(copyOf("v8.mpc", click));

    std::mt19937 rng(11);
    std::vector<uint8_t> noise(5000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    expectRefused(copyOf("noise.mpc", noise));
    expectRefused(copyOf("empty.mp+", {}));

    open((dir_ / "absent.mpc").string(), DEFAULT);
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(status(), 0);

    // Read only.
    open(sample("click.mpc"), MPC, READWRITE);
    EXPECT_EQ(err(), INVALIDOPERATION);
    EXPECT_EQ(status(), 0);
    create((dir_ / "out.mpc").string(), MPC);
    EXPECT_EQ(err(), FORMATNOTSUPPORT);
    EXPECT_EQ(status(), 0);

    // The object still opens a good file afterwards.
    ASSERT_TRUE(open(sample("click.mpc"), MPC));
    EXPECT_EQ(err(), NOERRORS);
}

TEST_F(MpcThroughAudioFile, TruncatedAndDamagedFilesReadToAnEnd) {
    const auto bytes = qt::readBytes(sample("full-tagged.mpc"));
    ASSERT_TRUE(open(sample("full-tagged.mpc"), MPC));
    const LONG total = prop(&IAudioFile::get_nSamples);
    const auto whole = readAll(4410);
    af->CloseFile();
    const auto ends = frameEnds(bytes, static_cast<uint32_t>((total + kDelay) / kFrameSamples));

    for (size_t cut : {size_t{20}, size_t{24}, size_t{27}, size_t{40}, size_t{300}, size_t{1001}, size_t{1702},
                       size_t{2500}, bytes.size() - 129, bytes.size() - 128}) {
        SCOPED_TRACE(cut);
        const auto path =
            copyOf("cut.mpc", std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
        if (!open(path, MPC) || err() != NOERRORS) {
            EXPECT_EQ(err(), FORMATFILE);
            continue;
        }
        const auto got = readAll(4410);
        EXPECT_LE(static_cast<LONG>(got.size()), 2 * total);
        // The frames wholly inside the cut file (in whole 32-bit words) come
        // out as before.
        long intact = 0;
        while (intact < static_cast<long>(ends.size()) && ends[static_cast<size_t>(intact)] <= cut / 4 * 32) ++intact;
        const long keep = intact ? intact * kFrameSamples - kDelay : 0;
        ASSERT_GE(static_cast<long>(got.size()), 2 * keep);
        EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 2 * keep, got.begin()));
        seek(total / 2);
        readAll(1000);
        af->CloseFile();
    }

    // A stream of no frames: opens, is empty, seeks to 0.
    ASSERT_TRUE(open(copyOf("none.mpc", repeatFrames(qt::readBytes(sample("click.mpc")), 3, 0)), MPC));
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0);
    EXPECT_TRUE(readAll(4410).empty());
    EXPECT_EQ(seek(100), 0);
    af->CloseFile();

    // Damaged bytes behind the header: no crash, never more than the length.
    std::mt19937 rng(7);
    for (int round = 0; round < 8; ++round) {
        auto bad = bytes;
        for (int i = 0; i < 6; ++i)
            bad[28 + rng() % (bytes.size() - 28 - 128)] ^= static_cast<uint8_t>(1 + rng() % 255);
        ASSERT_TRUE(open(copyOf("bad.mpc", bad), MPC));
        EXPECT_LE(static_cast<LONG>(readAll(4410).size()), 2 * total);
        seek(total / 2);
        readAll(777);
        af->CloseFile();
    }
}

}  // namespace
