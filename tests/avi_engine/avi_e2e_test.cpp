// AVI sound tracks end to end through the AudioFile object: ffmpeg-made AVIs
// with PCM and ADPCM sound read to the samples ffmpeg decodes; an AVI
// without sound fails with FORMATFILE; no AVI is ever created; a stream
// header whose sample size cannot be right costs no memory and reads what
// ffmpeg reads. Skipped while the engine's container table has no entry for
// AVI.
#include <sys/resource.h>

#include <cstring>

#include "audio_file_session.h"
#include "test_support.h"

namespace qt = qoro::test;

namespace {

class AviThroughAudioFile : public qt::AudioFileSession {
protected:
    void SetUp() override {
        QORO_REQUIRE_TOOLS("ffmpeg");
        AudioFileSession::SetUp();
    }
    std::string q(const std::string& name) const { return qt::shellQuote((dir_ / name).string()); }
    void sh(const std::string& cmd) {
        const auto r = qt::run(cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    }
    qt::TempDir dir_;
};

TEST_F(AviThroughAudioFile, PcmAndAdpcmSoundReadAsFfmpegDecodesIt) {
    qt::writeWav16(dir_ / "mono.wav", 22050, 1, qt::testSignal(22050, 1, 22050));
    qt::writeWav16(dir_ / "stereo.wav", 22050, 2, qt::testSignal(22050, 2, 22050));
    struct Case {
        const char* codec;
        const char* wav;
        LONG channels;
    };
    for (const Case c : {Case{"pcm_s16le", "mono.wav", 1}, Case{"adpcm_ima_wav", "stereo.wav", 2},
                         Case{"adpcm_ms", "stereo.wav", 2}}) {
        SCOPED_TRACE(c.codec);
        const std::string name = std::string(c.codec) + ".avi";
        sh("ffmpeg -v error -y -f lavfi -i color=c=black:s=16x16:r=5 -i " + q(c.wav) + " -shortest -c:v mjpeg -c:a " +
           c.codec + " " + q(name));
        sh("ffmpeg -v error -y -i " + q(name) + " -map 0:a:0 -f s16le " + q(name + ".raw"));
        const auto ref = qt::readPcm16(dir_ / (name + ".raw"));
        ASSERT_TRUE(open((dir_ / name).string(), AVI)) << "cannot be opened or created through the engine";
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 22050);
        EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), c.channels);
        EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 65535);
        const auto got = readAll(2205);
        EXPECT_EQ(static_cast<LONG>(got.size()) / c.channels, prop(&IAudioFile::get_nSamples));
        ASSERT_LE(got.size(), ref.size());
        EXPECT_GE(got.size() + 4096, ref.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), ref.begin()));
        if (c.channels == 1) {
            EXPECT_EQ(got.size(), 22050u);  // the stream length
        }
        af->CloseFile();
    }
}

TEST_F(AviThroughAudioFile, NoSoundNoWritingNoReadWrite) {
    sh("ffmpeg -v error -y -f lavfi -i color=c=black:s=16x16:r=5 -t 1 -c:v mjpeg " + q("video.avi"));
    ASSERT_TRUE(open((dir_ / "video.avi").string(), AVI)) << "cannot be opened or created through the engine";
    EXPECT_EQ(err(), FORMATFILE);
    create((dir_ / "new.avi").string(), AVI);
    EXPECT_NE(err(), NOERRORS);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "new.avi"));
    open((dir_ / "video.avi").string(), AVI, READWRITE);
    EXPECT_NE(err(), NOERRORS);
}

// The sample size of the sound stream's "strh" header: found by the header's
// "auds" type and replaced.
void setSampleSize(std::vector<uint8_t>& avi, uint32_t size) {
    for (size_t at = 0; at + 56 <= avi.size(); ++at) {
        if (std::memcmp(&avi[at], "strh", 4) != 0 || std::memcmp(&avi[at + 8], "auds", 4) != 0) continue;
        for (int i = 0; i < 4; ++i) avi[at + 8 + 44 + size_t(i)] = uint8_t(size >> (8 * i));
        return;
    }
    ADD_FAILURE() << "no sound stream header";
}

long peakResidentKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A sample size of 3.75 GiB or 1 GiB in a stream of 17640 bytes once made
// every read set aside (and zero) that much, then deliver nothing while the
// length announced came from the chunks. Such a size is no sample: the
// stream is read in blocks of the format, as ffmpeg reads it, and reading
// costs what the samples need.
TEST_F(AviThroughAudioFile, ImpossibleSampleSizesCostNoMemoryAndReadTheStream) {
    qt::writeWav16(dir_ / "stereo.wav", 22050, 2, qt::testSignal(22050, 2, 4410));
    sh("ffmpeg -v error -y -f lavfi -i color=c=black:s=16x16:r=5 -i " + q("stereo.wav") +
       " -shortest -c:v mjpeg -c:a pcm_s16le " + q("good.avi"));
    const auto good = qt::readBytes(dir_ / "good.avi");
    for (const uint32_t size : {0xF0000000u, 0x40000000u, 0x10000u, 17644u}) {
        SCOPED_TRACE(size);
        auto bytes = good;
        setSampleSize(bytes, size);
        const std::string name = "lying.avi";
        qt::writeBytes(dir_ / name, bytes);
        sh("ffmpeg -v error -y -i " + q(name) + " -map 0:a:0 -f s16le " + q(name + ".raw"));
        const auto ref = qt::readPcm16(dir_ / (name + ".raw"));
        ASSERT_EQ(ref.size(), 4410u * 2);

        const long before = peakResidentKiB();
        ASSERT_TRUE(open((dir_ / name).string(), AVI));
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 4410);
        const auto got = readAll(1000);
        EXPECT_EQ(got, ref);
        af->CloseFile();
        EXPECT_LT(peakResidentKiB() - before, 64 * 1024) << "KiB more at the peak";
    }
}

}  // namespace
