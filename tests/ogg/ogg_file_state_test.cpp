#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "ogg_file_state.h"
#include "test_support.h"

using namespace qoro::audiofile::ogg;
namespace qt = qoro::test;

namespace {

struct PageInfo {
    uint32_t serial;
    uint8_t flags;
};

// Walks the pages of an Ogg file: serial numbers and header flags.
std::vector<PageInfo> pagesOf(const std::vector<uint8_t>& f) {
    std::vector<PageInfo> pages;
    size_t at = 0;
    while (at + 27 <= f.size() && std::memcmp(&f[at], "OggS", 4) == 0) {
        const uint8_t segments = f[at + 26];
        if (at + 27 + segments > f.size()) break;
        size_t body = 0;
        for (int k = 0; k < segments; ++k) body += f[at + 27 + static_cast<size_t>(k)];
        uint32_t serial;
        std::memcpy(&serial, &f[at + 14], 4);
        pages.push_back({serial, f[at + 5]});
        at += 27 + segments + body;
    }
    return pages;
}

class Ogg : public ::testing::Test {
protected:
    void SetUp() override { QORO_REQUIRE_TOOLS("oggenc", "oggdec", "ogginfo"); }
    std::string q(const std::string& name) const { return qt::shellQuote((dir_ / name).string()); }
    void sh(const std::string& cmd) {
        const auto r = qt::run(cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    }
    // oggdec's samples of a file.
    std::vector<int16_t> oggdec(const std::string& name) {
        sh("oggdec -Q -R -o " + q(name + ".raw") + " " + q(name));
        return qt::readPcm16(dir_ / (name + ".raw"));
    }
    std::vector<int16_t> readAll(OggFileState& ogg, size_t step) {
        std::vector<int16_t> all;
        std::vector<uint8_t> buf(step);
        for (;;) {
            const size_t got = ogg.read(buf.data(), buf.size());
            if (got == 0) break;
            const size_t at = all.size();
            all.resize(at + got / 2);
            std::memcpy(all.data() + at, buf.data(), got);
        }
        return all;
    }
    // Writes `signal` through our encoder in uneven pieces.
    void encode(const std::string& name, const OggEncoderParams& p, const std::vector<int16_t>& signal) {
        OggFileState ogg;
        ASSERT_EQ(ogg.create((dir_ / name).string(), p), 0);
        const auto* bytes = reinterpret_cast<const uint8_t*>(signal.data());
        const size_t total = signal.size() * 2, frame = 2 * static_cast<size_t>(p.channels);
        size_t at = 0, piece = 777 * frame;
        while (at < total) {
            const size_t n = std::min(piece, total - at);
            ASSERT_GE(ogg.write(bytes + at, n), 0);
            at += n;
            piece = piece * 3 % (9000 * frame) + frame;
        }
        ASSERT_EQ(ogg.close(), 0);
    }
    // `empty`: libvorbis ends a stream without audio with one empty packet at
    // granule 0, which ogginfo flags as a warning; everything else must pass.
    void expectValidStream(const std::string& name, bool empty = false) {
        const auto r = qt::run("ogginfo " + q(name));
        if (empty) {
            EXPECT_NE(r.output.find("Logical stream 1 ended"), std::string::npos) << r.output;
            return expectPages(name);
        }
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output.find("WARNING"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
        expectPages(name);
    }
    void expectPages(const std::string& name) {
        const auto pages = pagesOf(qt::readBytes(dir_ / name));
        ASSERT_GE(pages.size(), 3u);
        for (const auto& p : pages) EXPECT_EQ(p.serial, 0u);
        EXPECT_TRUE(pages.back().flags & 4) << "last page carries end of stream";
    }

    qt::TempDir dir_;
};

}  // namespace

TEST(OggSetup, QualityAndManagedBitrates) {
    OggEncoderParams p;
    p.quality = 500;
    EncoderSetup s = encoderSetupFor(p);
    EXPECT_FALSE(s.managed);
    EXPECT_FLOAT_EQ(s.quality, 0.5f);
    p.quality = 1400;
    EXPECT_FLOAT_EQ(encoderSetupFor(p).quality, 1.0f);
    p.quality = -1;
    p.nominalKbps = 128;
    s = encoderSetupFor(p);
    EXPECT_TRUE(s.managed);
    EXPECT_EQ(s.maxBps, 128000);
    EXPECT_EQ(s.nominalBps, 128000);
    EXPECT_EQ(s.minBps, 128000);
    p.minKbps = 96;
    p.maxKbps = 160;
    s = encoderSetupFor(p);
    EXPECT_EQ(s.minBps, 96000);
    EXPECT_EQ(s.maxBps, 160000);
}

TEST_F(Ogg, WrittenFilesDecodeToTheLengthWritten) {
    struct Case {
        int rate, channels, quality, nominal;
    } cases[] = {{44100, 2, 500, 128}, {22050, 1, 100, 64}, {44100, 2, -1, 128}, {48000, 1, -1, 96}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "w" + std::to_string(n++) + ".ogg";
        SCOPED_TRACE(name);
        OggEncoderParams p;
        p.rate = c.rate;
        p.channels = c.channels;
        p.quality = c.quality;
        p.nominalKbps = c.nominal;
        const int frames = c.rate * 3 / 2;
        const auto signal = qt::testSignal(c.rate, c.channels, frames, 0.5);
        encode(name, p, signal);
        expectValidStream(name);
        const auto decoded = oggdec(name);
        EXPECT_EQ(decoded.size(), signal.size());
        const double snr = qt::snrDb(signal, decoded);
        EXPECT_GT(snr, 10.0);
        std::printf("%s: %d Hz, %d ch, quality %d, nominal %d: %zu bytes, SNR %.1f dB\n", name.c_str(), c.rate,
                    c.channels, c.quality, c.nominal, qt::readBytes(dir_ / name).size(), snr);
        if (c.quality < 0) {
            const auto info = qt::run("ogginfo " + q(name));
            EXPECT_NE(info.output.find("Nominal bitrate: " + std::to_string(c.nominal) + ".0"), std::string::npos)
                << info.output;
        }
        // Our reader agrees on the facts.
        OggFileState r;
        ASSERT_EQ(r.openRead((dir_ / name).string()), 0);
        EXPECT_EQ(r.channels(), c.channels);
        EXPECT_EQ(r.rate(), c.rate);
        EXPECT_EQ(r.totalFrames(), static_cast<uint64_t>(frames));
    }
}

TEST_F(Ogg, FileClosedWithoutSamplesIsAValidEmptyStream) {
    {
        OggFileState ogg;
        OggEncoderParams p;
        ASSERT_EQ(ogg.create((dir_ / "empty.ogg").string(), p), 0);
        EXPECT_EQ(ogg.close(), 0);
    }
    expectValidStream("empty.ogg", true);
    EXPECT_TRUE(oggdec("empty.ogg").empty());
    OggFileState r;
    ASSERT_EQ(r.openRead((dir_ / "empty.ogg").string()), 0);
    EXPECT_EQ(r.totalFrames(), 0u);
    uint8_t buf[64];
    EXPECT_EQ(r.read(buf, sizeof buf), 0u);
}

TEST_F(Ogg, OggencFilesReadLikeOggdecIncludingAfterASeek) {
    struct Case {
        int rate, channels;
        const char* quality;
    } cases[] = {{44100, 2, "5"}, {22050, 1, "0"}, {48000, 2, "9"}, {8000, 1, "3"}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "e" + std::to_string(n++) + ".ogg";
        SCOPED_TRACE(name);
        const int frames = c.rate * 2 + 123;
        qt::writeWav16(dir_ / "in.wav", c.rate, c.channels, qt::testSignal(c.rate, c.channels, frames, 0.6));
        sh("oggenc -Q -q " + std::string(c.quality) + " -o " + q(name) + " " + q("in.wav"));
        const auto reference = oggdec(name);

        OggFileState ogg;
        ASSERT_EQ(ogg.openRead((dir_ / name).string()), 0);
        EXPECT_EQ(ogg.totalFrames() * static_cast<uint64_t>(c.channels), reference.size());
        EXPECT_EQ(ogg.fileBytes(), qt::readBytes(dir_ / name).size());
        const auto all = readAll(ogg, 10000 - 10000 % ogg.blockAlign());
        ASSERT_EQ(all.size(), reference.size());
        EXPECT_LE(qt::compare(reference, all).maxAbs, 1);

        const uint64_t middle = ogg.totalFrames() / 2 + 17;
        ASSERT_EQ(ogg.seekFrame(middle), 0);
        EXPECT_EQ(ogg.framePosition(), middle);
        EXPECT_GT(ogg.filePosition(), 0u);
        std::vector<uint8_t> buf(4096 * static_cast<size_t>(ogg.blockAlign()));
        const size_t got = ogg.read(buf.data(), buf.size());
        ASSERT_EQ(got, buf.size());
        std::vector<int16_t> after(got / 2);
        std::memcpy(after.data(), buf.data(), got);
        const std::vector<int16_t> expected(
            reference.begin() + static_cast<long>(middle) * c.channels,
            reference.begin() + static_cast<long>(middle) * c.channels + static_cast<long>(after.size()));
        EXPECT_LE(qt::compare(expected, after).maxAbs, 1);
        // Past the end: clamped, nothing more to read.
        EXPECT_EQ(ogg.seekFrame(ogg.totalFrames() + 1000), 0);
        EXPECT_EQ(ogg.read(buf.data(), buf.size()), 0u);
    }
}

TEST_F(Ogg, LargeReadsAreFilledAndPartialFramesNotReturned) {
    qt::writeWav16(dir_ / "in.wav", 44100, 2, qt::testSignal(44100, 2, 20000, 0.5));
    sh("oggenc -Q -q 4 -o " + q("s.ogg") + " " + q("in.wav"));
    OggFileState ogg;
    ASSERT_EQ(ogg.openRead((dir_ / "s.ogg").string()), 0);
    std::vector<uint8_t> buf(200000);
    EXPECT_EQ(ogg.read(buf.data(), 10000), 10000u);
    EXPECT_EQ(ogg.read(buf.data(), 10003), 10000u);  // whole frames only
    EXPECT_EQ(ogg.read(buf.data(), 3), 0u);
    EXPECT_EQ(ogg.read(buf.data(), buf.size()), 20000u * 4 - 20000u);
    EXPECT_EQ(ogg.read(buf.data(), buf.size()), 0u);
}

TEST_F(Ogg, RefusalsAndDamagedFiles) {
    OggFileState ogg;
    EXPECT_EQ(ogg.openRead((dir_ / "missing.ogg").string()), status::kFileAccess);
    qt::writeBytes(dir_ / "noise.ogg", std::vector<uint8_t>(5000, 0x4f));
    EXPECT_EQ(ogg.openRead((dir_ / "noise.ogg").string()), status::kFormatNotSupport);
    EXPECT_EQ(ogg.read(nullptr, 100), 0u);
    EXPECT_EQ(ogg.write(nullptr, 100), status::kFileAccess);

    OggEncoderParams p;
    EXPECT_EQ(ogg.create((dir_ / "no" / "such" / "dir.ogg").string(), p), status::kFileAccess);
    // Parameters the encoder refuses leave an existing file alone.
    qt::writeBytes(dir_ / "keep.ogg", {1, 2, 3});
    p.rate = 1;
    EXPECT_EQ(ogg.create((dir_ / "keep.ogg").string(), p), status::kFormatNotSupport);
    EXPECT_EQ(qt::readBytes(dir_ / "keep.ogg").size(), 3u);

    // A stream with damage in the middle: reading skips the hole and goes on.
    qt::writeWav16(dir_ / "in.wav", 44100, 2, qt::testSignal(44100, 2, 88200, 0.5));
    sh("oggenc -Q -q 3 -o " + q("good.ogg") + " " + q("in.wav"));
    auto bytes = qt::readBytes(dir_ / "good.ogg");
    for (size_t k = bytes.size() / 2; k < bytes.size() / 2 + 3000; ++k) bytes[k] ^= 0x5a;
    qt::writeBytes(dir_ / "hole.ogg", bytes);
    ASSERT_EQ(ogg.openRead((dir_ / "hole.ogg").string()), 0);
    const auto all = readAll(ogg, 40000);
    EXPECT_GT(all.size(), 88200u * 2 * 3 / 5);  // well beyond the part before the damage
    EXPECT_LE(all.size(), 88200u * 2);

    // Truncated: a shorter read, never a failure.
    bytes = qt::readBytes(dir_ / "good.ogg");
    bytes.resize(bytes.size() * 2 / 5);
    qt::writeBytes(dir_ / "cut.ogg", bytes);
    ASSERT_EQ(ogg.openRead((dir_ / "cut.ogg").string()), 0);
    const auto part = readAll(ogg, 40000);
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), 88200u * 2 / 2);

    // A chained file whose links differ in channel count: the first link's
    // interleaving is never mixed with the other's.
    qt::writeWav16(dir_ / "mono.wav", 44100, 1, qt::testSignal(44100, 1, 10000, 0.5));
    sh("oggenc -Q -q 3 -s 17 -o " + q("mono.ogg") + " " + q("mono.wav"));
    sh("cat " + q("mono.ogg") + " " + q("good.ogg") + " > " + q("chain.ogg"));
    ASSERT_EQ(ogg.openRead((dir_ / "chain.ogg").string()), 0);
    EXPECT_EQ(ogg.channels(), 1);
    EXPECT_LE(readAll(ogg, 8192).size(), 10000u);
    EXPECT_EQ(ogg.close(), 0);
}
