// The telephony formats end to end through the AudioFile object: SetFormat*,
// CreateFile + WriteFile + CloseFile, then OpenFile + ReadFile + SeekFile,
// checked against the coders themselves and against sox and ffmpeg. Skipped
// while the engine's container table has no entry for the type.
#include <cstdio>

#include "audio_file_session.h"
#include "telephony_codec.h"
#include "test_support.h"

namespace qt = qoro::test;
using qoro::audiofile::g72x::TelephonyCodec;

namespace {

struct Case {
    const char* name;
    LONG type;
    LONG bitrateConstant;  // G723/G726 bitrate constant
    TelephonyCodec::Format format;
    int bits;
};

class TelephonyThroughAudioFile : public qt::AudioFileSession, public ::testing::WithParamInterface<Case> {
protected:
    void setFormat() {
        const Case c = GetParam();
        LONG ba = 0;
        switch (c.type) {
        case VOX: af->SetFormatVOX(8000, &ba); break;
        case G721: af->SetFormatG721(8000, &ba); break;
        case G723: af->SetFormatG723(8000, c.bitrateConstant, &ba); break;
        default: af->SetFormatG726(8000, c.bitrateConstant, &ba); break;
        }
        ASSERT_NE(ba, 0);
    }
    qt::TempDir dir_;
};

TEST_P(TelephonyThroughAudioFile, WritesReadsAndSeeks) {
    const Case c = GetParam();
    const auto path = (dir_ / "t.bin").string();
    setFormat();
    const auto signal = qt::testSignal(8000, 1, 8000, 0.4);
    ASSERT_TRUE(create(path, c.type)) << c.name << " cannot be opened or created through the engine";
    ASSERT_EQ(err(), NOERRORS);
    writeAll(signal, 333);
    af->CloseFile();

    TelephonyCodec codec(c.format, c.bits);
    std::vector<uint8_t> pcm(signal.size() * 2), codes;
    std::memcpy(pcm.data(), signal.data(), pcm.size());
    codec.encode(pcm.data(), pcm.size(), codes);
    const auto file = qt::readBytes(dir_ / "t.bin");
    EXPECT_EQ(file, codes);

    setFormat();
    ASSERT_TRUE(open(path, c.type));
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 8000);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
    std::vector<uint8_t> expectBytes;
    TelephonyCodec fresh(c.format, c.bits);
    fresh.decode(file, expectBytes);
    std::vector<int16_t> expect(expectBytes.size() / 2);
    std::memcpy(expect.data(), expectBytes.data(), expectBytes.size());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), static_cast<LONG>(expect.size()));
    const auto got = readAll(777);
    EXPECT_EQ(got, expect);
    std::printf("%s: %zu bytes, SNR %.2f dB\n", c.name, file.size(), qt::snrDb(signal, got));

    // Seek to the middle: a whole unit at or before it.
    const LONG at = seek(4001);
    EXPECT_LE(at, 4001);
    EXPECT_GT(at, 4001 - 40);
    EXPECT_EQ(readAll(1000).size(), expect.size() - static_cast<size_t>(at));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TelephonyThroughAudioFile,
                         ::testing::Values(Case{"Vox", VOX, 0, TelephonyCodec::Format::Vox, 4},
                                           Case{"G721", G721, 0, TelephonyCodec::Format::G721, 4},
                                           Case{"G723_3", G723, G723_24_KBPS, TelephonyCodec::Format::G723, 3},
                                           Case{"G723_5", G723, G723_40_KBPS, TelephonyCodec::Format::G723, 5},
                                           Case{"G726_2", G726, G726_16_KBPS, TelephonyCodec::Format::G726, 2},
                                           Case{"G726_3", G726, G726_24_KBPS, TelephonyCodec::Format::G726, 3},
                                           Case{"G726_4", G726, G726_32_KBPS, TelephonyCodec::Format::G726, 4},
                                           Case{"G726_5", G726, G726_40_KBPS, TelephonyCodec::Format::G726, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

class TelephonyFiles : public qt::AudioFileSession {
protected:
    qt::TempDir dir_;
};

// sox decodes our VOX file (without the 1/32 leak: judged by SNR against
// the original), and ffmpeg our 32 kbit/s G.726 file.
TEST_F(TelephonyFiles, ReferenceToolsDecodeWhatTheObjectWrites) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    const auto signal = qt::testSignal(8000, 1, 8000, 0.4);
    LONG ba = 0;
    af->SetFormatVOX(8000, &ba);
    ASSERT_TRUE(create((dir_ / "a.vox").string(), VOX)) << "cannot be opened or created through the engine";
    writeAll(signal, 800);
    af->CloseFile();
    ASSERT_EQ(qt::run("sox -t vox -r 8000 -c 1 " + qt::shellQuote((dir_ / "a.vox").string()) +
                      " -t raw -e signed -b 16 " + qt::shellQuote((dir_ / "a.raw").string()))
                  .exitCode,
              0);
    const auto bySox = qt::readPcm16(dir_ / "a.raw");
    EXPECT_EQ(bySox.size(), signal.size());
    EXPECT_GT(qt::snrDb(signal, bySox), 10.0);

    af->SetFormatG726(8000, G726_32_KBPS, &ba);
    ASSERT_TRUE(create((dir_ / "a.g726").string(), G726));
    writeAll(signal, 800);
    af->CloseFile();
    ASSERT_EQ(
        qt::run("ffmpeg -v error -y -f g726le -code_size 4 -ar 8000 -i " + qt::shellQuote((dir_ / "a.g726").string()) +
                " -f s16le " + qt::shellQuote((dir_ / "b.raw").string()))
            .exitCode,
        0);
    const auto byFfmpeg = qt::readPcm16(dir_ / "b.raw");
    EXPECT_EQ(byFfmpeg.size(), signal.size());
    EXPECT_GT(qt::snrDb(signal, byFfmpeg), 20.0);
}

// READWRITE keeps an existing file's codes (the object overwrites in place
// from the start, it does not empty the file).
TEST_F(TelephonyFiles, ReadWriteDoesNotEmptyTheFile) {
    std::vector<uint8_t> codes(4000);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 37);
    qt::writeBytes(dir_ / "rw.vox", codes);
    LONG ba = 0;
    af->SetFormatVOX(8000, &ba);
    ASSERT_TRUE(open((dir_ / "rw.vox").string(), VOX, READWRITE)) << "cannot be opened or created through the engine";
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 8000);
    af->CloseFile();
    EXPECT_EQ(qt::readBytes(dir_ / "rw.vox"), codes);
}

}  // namespace
