// The Ogg Vorbis container driven the way the engine drives it: length and
// reading against oggdec, seeks by sample number from every origin, creating
// with the object's settings (quality, managed bitrates), an empty file still
// a valid stream, the found settings handed to the object, bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "containers/ogg_track.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

namespace qa = qoro::audiofile;
namespace qt = qoro::test;

namespace {

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& b) {
    std::vector<int16_t> s(b.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
    return s;
}

// Reads like the engine: `step` bytes at a time until the track has no more.
std::vector<uint8_t> readAll(qa::Track& t, uint64_t step) {
    std::vector<uint8_t> out;
    for (int guard = 0; guard < 100000 && t.sourceLeft() > 0; ++guard) {
        const int32_t n = t.decode(std::min(t.sourceFor(step), t.sourceLeft()), out);
        EXPECT_GE(n, 0);
        if (n <= 0) break;
    }
    return out;
}

class OggTrack : public ::testing::Test {
protected:
    void SetUp() override { QORO_REQUIRE_TOOLS("oggenc", "oggdec", "ogginfo"); }
    std::string q(const std::string& name) const { return qt::shellQuote((dir_ / name).string()); }
    std::string p(const std::string& name) const { return (dir_ / name).string(); }
    void sh(const std::string& cmd) {
        const auto r = qt::run(cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    }
    std::vector<int16_t> oggdec(const std::string& name) {
        sh("oggdec -Q -R -o " + q(name + ".raw") + " " + q(name));
        return qt::readPcm16(dir_ / (name + ".raw"));
    }
    std::unique_ptr<qa::Track> open(const std::string& name) {
        std::unique_ptr<qa::Track> t;
        EXPECT_EQ(qa::openOgg({p(name), OGG, false, &settings_}, t), qa::status::kOk);
        return t;
    }
    // Creates `name` from `pcm` written in pieces of `piece` frames (the
    // encoder takes floats, as the engine widens 16-bit samples for it).
    void write(const std::string& name, const std::vector<int16_t>& pcm, size_t piece) {
        std::unique_ptr<qa::Track> t;
        ASSERT_EQ(qa::createOgg({p(name), OGG, &settings_}, t), qa::status::kOk);
        ASSERT_EQ(t->fileFormat().wFormatTag, 3);  // IEEE float
        std::vector<uint8_t> bytes(pcm.size() * 4);
        for (size_t i = 0; i < pcm.size(); ++i) {
            const float v = float(pcm[i]) / 32768.0f;
            std::memcpy(bytes.data() + 4 * i, &v, 4);
        }
        const size_t block = t->fileFormat().nBlockAlign;
        for (size_t at = 0; at < bytes.size(); at += piece * block)
            ASSERT_EQ(t->encode(bytes.data() + at, std::min(piece * block, bytes.size() - at)), qa::status::kOk);
        ASSERT_EQ(t->finish(pcm.size() / t->fileFormat().nChannels), qa::status::kOk);
    }

    qt::TempDir dir_;
    qa::EngineSettings settings_;
};

TEST_F(OggTrack, OggencFilesReadToOggdecsSamplesAndSeekFromEveryOrigin) {
    struct Case {
        int rate, channels;
        const char* quality;
    };
    for (const Case c : {Case{44100, 2, "5"}, Case{22050, 1, "0"}, Case{48000, 2, "9"}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, q" + c.quality);
        const auto signal = qt::testSignal(c.rate, c.channels, c.rate * 3 / 2);
        qt::writeWav16(dir_ / "in.wav", c.rate, c.channels, signal);
        sh("oggenc -Q -q " + std::string(c.quality) + " -o " + q("in.ogg") + " " + q("in.wav"));
        const auto ref = oggdec("in.ogg");
        auto t = open("in.ogg");
        ASSERT_TRUE(t);
        const auto& f = t->fileFormat();
        EXPECT_EQ(f.nSamplesPerSec, static_cast<uint32_t>(c.rate));
        EXPECT_EQ(f.nChannels, c.channels);
        EXPECT_EQ(t->decodedLength(), ref.size() * 2);
        qa::OutputSettings found;
        qa::Mp3Settings mp3;
        t->reportFoundSettings(mp3, found);
        EXPECT_EQ(found.ogg.frequency, c.rate);
        EXPECT_EQ(found.ogg.channels, c.channels);
        EXPECT_GT(found.ogg.nominalBitrate, 0);
        EXPECT_NE(t->describe().find("Ogg Vorbis"), std::string::npos);

        const auto all = samplesOf(readAll(*t, 10000));
        ASSERT_EQ(all.size(), ref.size());
        const auto d = qt::compare(ref, all);
        EXPECT_LE(d.maxAbs, 1);

        // To the middle: the same samples as from the start.
        const uint64_t block = f.nBlockAlign;
        const uint64_t mid = t->decodedLength() / 2 / block * block;
        qa::SeekResult sr;
        ASSERT_EQ(t->seek({mid, 0, false, f, f}, sr), qa::status::kOk);
        EXPECT_EQ(sr.fileBytes, mid);
        const auto tail = samplesOf(readAll(*t, 4096));
        ASSERT_EQ(tail.size(), ref.size() - mid / 2);
        EXPECT_LE(qt::compare(std::vector<int16_t>(ref.begin() + static_cast<long>(mid / 2), ref.end()), tail).maxAbs,
                  1);
        // Near the end; past the end is the end; before the start is refused.
        ASSERT_EQ(t->seek({t->decodedLength() - 60 * block, 0, false, f, f}, sr), qa::status::kOk);
        EXPECT_EQ(sr.fileBytes, t->decodedLength() - 60 * block);
        EXPECT_EQ(readAll(*t, 100000).size(), 60 * block);
        ASSERT_EQ(t->seek({t->decodedLength() + block, 0, false, f, f}, sr), qa::status::kOk);
        EXPECT_EQ(sr.fileBytes, t->decodedLength());
        EXPECT_LT(t->seek({0, 0, true, f, f}, sr), 0);
        ASSERT_EQ(t->finish(0), qa::status::kOk);
    }
}

TEST_F(OggTrack, CreatedFilesDecodeToTheirLengthWithSerialZero) {
    struct Case {
        int rate, channels, quality, nominal;
    };
    for (const Case c : {Case{44100, 2, 500, 128}, Case{22050, 1, -1, 64}, Case{44100, 1, 0, 128}}) {
        SCOPED_TRACE(c.quality);
        settings_.output.ogg.frequency = c.rate;
        settings_.output.ogg.channels = static_cast<int16_t>(c.channels);
        settings_.output.ogg.quality = static_cast<int16_t>(c.quality);
        settings_.output.ogg.nominalBitrate = c.nominal;
        const auto signal = qt::testSignal(c.rate, c.channels, c.rate + 777);
        write("out.ogg", signal, 1000);
        const auto decoded = oggdec("out.ogg");
        EXPECT_EQ(decoded.size(), signal.size());
        EXPECT_GT(qt::snrDb(signal, decoded), 12.0);
        const auto info = qt::run("ogginfo " + q("out.ogg"));
        EXPECT_EQ(info.exitCode, 0) << info.output;
        EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("serial: 00000000"), std::string::npos) << info.output;
        // Read back through our own track: the length we wrote.
        auto t = open("out.ogg");
        ASSERT_TRUE(t);
        EXPECT_EQ(t->decodedLength(), signal.size() * 2);
        if (c.quality < 0) {
            qa::OutputSettings found;
            qa::Mp3Settings mp3;
            t->reportFoundSettings(mp3, found);
            EXPECT_EQ(found.ogg.nominalBitrate, c.nominal);
        }
    }
}

TEST_F(OggTrack, AFileClosedWithoutSamplesIsAValidStream) {
    write("empty.ogg", {}, 1);
    const auto info = qt::run("ogginfo " + q("empty.ogg"));
    EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;
    EXPECT_TRUE(oggdec("empty.ogg").empty());
    auto t = open("empty.ogg");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->decodedLength(), 0u);
    EXPECT_TRUE(readAll(*t, 4096).empty());
}

TEST_F(OggTrack, BadInputFailsCleanly) {
    std::unique_ptr<qa::Track> t;
    EXPECT_EQ(qa::openOgg({p("missing.ogg"), OGG, false, &settings_}, t), qa::status::kFileAccess);
    qt::writeBytes(dir_ / "junk.ogg", std::vector<uint8_t>(5000, 0x4f));
    EXPECT_EQ(qa::openOgg({p("junk.ogg"), OGG, false, &settings_}, t), qa::status::kFormatNotSupport);
    EXPECT_EQ(qa::openOgg({p("junk.ogg"), OGG, true, &settings_}, t), qa::status::kInvalidOperation);
    EXPECT_FALSE(t);
    settings_.output.ogg.channels = 9;
    EXPECT_EQ(qa::createOgg({p("nine.ogg"), OGG, &settings_}, t), qa::status::kFormatNotSupport);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "nine.ogg"));

    // A file cut short and one with damaged pages in the middle: shorter
    // reads, never more than the stream holds, no crash.
    settings_.output.ogg.channels = 2;
    const auto signal = qt::testSignal(44100, 2, 44100 * 2);
    write("good.ogg", signal, 4096);
    auto bytes = qt::readBytes(dir_ / "good.ogg");
    qt::writeBytes(dir_ / "cut.ogg",
                   std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2)));
    for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 3000; i += 7) bytes[i] ^= 0x5a;
    qt::writeBytes(dir_ / "holes.ogg", bytes);
    for (const char* name : {"cut.ogg", "holes.ogg"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<qa::Track> r;
        ASSERT_EQ(qa::openOgg({p(name), OGG, false, &settings_}, r), qa::status::kOk);
        const auto got = readAll(*r, 8192);
        EXPECT_GT(got.size(), 0u);
        EXPECT_LE(got.size(), signal.size() * 2 + 8192);
        EXPECT_EQ(got.size() % 4, 0u);
    }
}

}  // namespace
