// Ogg Vorbis end to end through the AudioFile object: SetFormatOggVorbis +
// CreateFile + WriteFile + CloseFile checked by oggdec and ogginfo; oggenc
// files opened, read and sought to the samples oggdec gives. Skipped while
// the engine's container table has no entry for OGG.
#include "audio_file_session.h"
#include "test_support.h"

namespace qt = qoro::test;

namespace {

class OggThroughAudioFile : public qt::AudioFileSession {
protected:
    void SetUp() override {
        QORO_REQUIRE_TOOLS("oggenc", "oggdec", "ogginfo");
        AudioFileSession::SetUp();
    }
    std::string q(const std::string& name) const { return qt::shellQuote((dir_ / name).string()); }
    std::vector<int16_t> oggdec(const std::string& name) {
        EXPECT_EQ(qt::run("oggdec -Q -R -o " + q(name + ".raw") + " " + q(name)).exitCode, 0);
        return qt::readPcm16(dir_ / (name + ".raw"));
    }
    qt::TempDir dir_;
};

TEST_F(OggThroughAudioFile, CreatedFilesDecodeToTheLengthWritten) {
    const auto signal = qt::testSignal(44100, 2, 44100 + 123);
    LONG ba = 0;
    af->SetFormatOggVorbis(44100, 2, OGG_128_KBPS, OGG_NONE, OGG_NONE, 400, &ba);
    ASSERT_NE(ba, 0);
    ASSERT_TRUE(create((dir_ / "w.ogg").string(), OGG)) << "cannot be opened or created through the engine";
    ASSERT_EQ(err(), NOERRORS);
    writeAll(signal, 2 * 1000 + 2);
    af->CloseFile();
    const auto decoded = oggdec("w.ogg");
    EXPECT_EQ(decoded.size(), signal.size());
    EXPECT_GT(qt::snrDb(signal, decoded), 12.0);
    const auto info = qt::run("ogginfo " + q("w.ogg"));
    EXPECT_EQ(info.exitCode, 0) << info.output;

    // An empty file is still a valid stream.
    af->SetFormatOggVorbis(44100, 2, OGG_128_KBPS, OGG_NONE, OGG_NONE, -1, &ba);
    ASSERT_TRUE(create((dir_ / "e.ogg").string(), OGG));
    af->CloseFile();
    EXPECT_TRUE(oggdec("e.ogg").empty());
    EXPECT_EQ(qt::run("ogginfo " + q("e.ogg")).output.find("rror"), std::string::npos);
}

TEST_F(OggThroughAudioFile, OggencFilesReadAndSeekToOggdecsSamples) {
    qt::writeWav16(dir_ / "in.wav", 22050, 1, qt::testSignal(22050, 1, 30000));
    ASSERT_EQ(qt::run("oggenc -Q -q 3 -o " + q("in.ogg") + " " + q("in.wav")).exitCode, 0);
    const auto ref = oggdec("in.ogg");
    ASSERT_TRUE(open((dir_ / "in.ogg").string(), OGG)) << "cannot be opened or created through the engine";
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 22050);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), static_cast<LONG>(ref.size()));
    const auto all = readAll(4410);
    ASSERT_EQ(all.size(), ref.size());
    EXPECT_LE(qt::compare(ref, all).maxAbs, 1);
    EXPECT_EQ(seek(15000), 15000);
    const auto tail = readAll(1000);
    ASSERT_EQ(tail.size(), ref.size() - 15000);
    EXPECT_LE(qt::compare(std::vector<int16_t>(ref.begin() + 15000, ref.end()), tail).maxAbs, 1);
    af->CloseFile();
    // Ogg Vorbis files are never opened for writing.
    open((dir_ / "in.ogg").string(), OGG, READWRITE);
    EXPECT_EQ(err(), INVALIDOPERATION);
}

}  // namespace
