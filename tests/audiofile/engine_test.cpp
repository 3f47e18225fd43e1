// The file engine: WAV and raw containers, the codec-manager path, counting,
// seeking and hostile headers. Reference files come from ffmpeg and sox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "containers/containers.h"
#include "engine/engine.h"
#include "engine_support.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

using namespace qoro::audiofile;
namespace t = qoro::test;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

using t::pcmSettings;
using t::readAll;

// What ffmpeg decodes a file to, as 16-bit samples at the file's own rate and channels.
std::vector<int16_t> ffmpegDecode(const t::fs::path& in, const t::TempDir& dir, const std::string& extra = "") {
    const auto out = dir / "ref.s16";
    auto r = t::run("ffmpeg -v error -y " + extra + " -i " + t::shellQuote(in.string()) + " -f s16le " +
                    t::shellQuote(out.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return t::readPcm16(out);
}

// Puts a "LIST"/"INFO" chunk with an odd-sized comment (so a pad byte
// follows) in front of the "data" chunk.
void insertListBeforeData(const t::fs::path& file) {
    auto b = t::readBytes(file);
    auto at = std::search(b.begin(), b.end(), "data", "data" + 4);
    ASSERT_NE(at, b.end());
    const std::string text = "made by sox";  // 11 bytes + NUL = 12; "ISFT" odd below
    std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 9, 0, 0, 0};
    list.insert(list.end(), text.begin(), text.begin() + 9);
    list.push_back(0);  // pad byte
    putLe32(list, 4, static_cast<uint32_t>(list.size() - 8));
    b.insert(at, list.begin(), list.end());
    putLe32(b, 4, le32(b, 4) + static_cast<uint32_t>(list.size()));
    t::writeBytes(file, b);
}

void writeAll(Engine& e, const std::vector<int16_t>& samples, size_t chunkElements) {
    for (size_t at = 0; at < samples.size(); at += chunkElements) {
        const size_t n = std::min(chunkElements, samples.size() - at);
        ASSERT_EQ(e.write(reinterpret_cast<const uint8_t*>(samples.data() + at), n * 2), static_cast<int64_t>(n * 2));
    }
}

}  // namespace

TEST(Engine, CreatedPcmWavHasPatchedSizesAndFact) {
    t::TempDir dir;
    const auto path = dir / "out.wav";
    Engine e;
    e.setSettings(pcmSettings(8000, 1, 16));
    ASSERT_EQ(e.create(path.string(), WAV), 0);
    const auto signal = t::testSignal(8000, 1, 1000);
    writeAll(e, signal, 333);
    EXPECT_EQ(e.totalLength(), 2000u);
    ASSERT_EQ(e.close(), 0);

    const auto b = t::readBytes(path);
    ASSERT_EQ(b.size(), 12u + 26 + 12 + 8 + 2000);
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    EXPECT_EQ(le32(b, 4), b.size() - 8);
    EXPECT_EQ(std::memcmp(b.data() + 12, "fmt ", 4), 0);
    EXPECT_EQ(le32(b, 16), 18u);
    EXPECT_EQ(std::memcmp(b.data() + 38, "fact", 4), 0);
    EXPECT_EQ(le32(b, 46), 1000u);
    EXPECT_EQ(std::memcmp(b.data() + 50, "data", 4), 0);
    EXPECT_EQ(le32(b, 54), 2000u);

    Engine r;
    ASSERT_EQ(r.open(path.string(), WAV, READ), 0);
    EXPECT_EQ(r.totalLength(), 2000u);
    EXPECT_EQ(readAll(r, 100), signal);
}

TEST(Engine, ReadsReferenceFilesSampleExact) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    t::TempDir dir;
    const auto src = dir / "src.wav";
    t::writeWav16(src, 48000, 2, t::testSignal(48000, 2, 4800));
    struct Case {
        int rate, channels, bits;
        bool sox;
    };
    const Case cases[] = {{6000, 1, 8, false}, {8000, 2, 16, true},   {11025, 1, 16, false}, {22050, 2, 8, true},
                          {32000, 1, 8, true}, {44100, 2, 16, false}, {48000, 1, 16, true},  {16000, 2, 8, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz " << c.channels << " ch " << c.bits << " bit"
                                        << (c.sox ? " sox" : " ffmpeg"));
        const auto file = dir / "ref.wav";
        std::string cmd;
        if (c.sox) {
            cmd = "sox -D " + t::shellQuote(src.string()) + " -r " + std::to_string(c.rate) + " -c " +
                  std::to_string(c.channels) + " -b " + std::to_string(c.bits) + " " + t::shellQuote(file.string());
        } else {
            // ffmpeg writes a "LIST"/"INFO" chunk (ISFT) before "data".
            cmd = "ffmpeg -v error -y -i " + t::shellQuote(src.string()) + " -ar " + std::to_string(c.rate) + " -ac " +
                  std::to_string(c.channels) + " -c:a " + (c.bits == 8 ? "pcm_u8 " : "pcm_s16le ") +
                  t::shellQuote(file.string());
        }
        auto r = t::run(cmd);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        if (c.sox) insertListBeforeData(file);  // sox writes none of its own
        const auto bytes = t::readBytes(file);
        ASSERT_NE(std::search(bytes.begin(), bytes.end(), "LIST", "LIST" + 4), bytes.end());

        Engine e;
        ASSERT_EQ(e.open(file.string(), WAV, READ), 0);
        EXPECT_EQ(+e.fileFormat().nSamplesPerSec, static_cast<uint32_t>(c.rate));
        EXPECT_EQ(+e.fileFormat().wBitsPerSample, c.bits);
        const auto ours = readAll(e, static_cast<uint64_t>(c.rate / 10));
        const auto ref = ffmpegDecode(file, dir);
        ASSERT_EQ(ours.size(), ref.size());
        EXPECT_EQ(ours, ref);
        EXPECT_EQ(e.totalLength(), ref.size() * 2);
    }
}

TEST(Engine, PcmHeaderWithWrongAlignmentIsRecomputed) {
    t::TempDir dir;
    const auto path = dir / "lying.wav";
    const auto signal = t::testSignal(11025, 2, 500);
    t::writeWav16(path, 11025, 2, signal);
    auto b = t::readBytes(path);
    putLe32(b, 28, 12345);  // byte rate
    b[32] = 7;              // block alignment
    b[33] = 0;
    t::writeBytes(path, b);
    Engine e;
    ASSERT_EQ(e.open(path.string(), WAV, READ), 0);
    EXPECT_EQ(+e.fileFormat().nBlockAlign, 4);
    EXPECT_EQ(+e.fileFormat().nAvgBytesPerSec, 44100u);
    EXPECT_EQ(readAll(e), signal);
}

TEST(Engine, ExtensiblePcmReadsAsPcm) {
    t::TempDir dir;
    const auto plain = dir / "plain.wav";
    const auto signal = t::testSignal(32000, 2, 640);
    t::writeWav16(plain, 32000, 2, signal);
    auto b = t::readBytes(plain);
    // "fmt " grows from 16 to 40 bytes: tag 0xFFFE, cbSize 22, valid bits,
    // channel mask, and the PCM sub-format GUID.
    std::vector<uint8_t> ext = {22, 0, 16,   0, 3,    0, 0, 0,    1, 0,    0,    0,
                                0,  0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
    b.insert(b.begin() + 36, ext.begin(), ext.end());
    b[20] = 0xFE;
    b[21] = 0xFF;
    putLe32(b, 16, 40);
    putLe32(b, 4, le32(b, 4) + 24);
    const auto path = dir / "ext.wav";
    t::writeBytes(path, b);
    Engine e;
    ASSERT_EQ(e.open(path.string(), WAV, READ), 0);
    EXPECT_EQ(tagOf(e.fullFormat()), acm::WAVE_FORMAT_PCM);
    EXPECT_EQ(readAll(e), signal);
}

TEST(Engine, HostileHeadersFailCleanly) {
    t::TempDir dir;
    const auto good = dir / "good.wav";
    t::writeWav16(good, 8000, 1, t::testSignal(8000, 1, 800));
    const auto base = t::readBytes(good);
    const auto path = dir / "bad.wav";
    auto expectOpen = [&](const std::vector<uint8_t>& bytes, int16_t expected) {
        t::writeBytes(path, bytes);
        Engine e;
        EXPECT_EQ(e.open(path.string(), WAV, READ), expected);
    };

    // Not RIFF at all; empty; "fmt " too short; no "data".
    expectOpen({'O', 'g', 'g', 'S', 0, 0, 0, 0, 0, 0, 0, 0}, status::kFormatFile);
    expectOpen({}, status::kFormatFile);
    {
        auto b = base;
        putLe32(b, 16, 8);
        expectOpen(b, status::kFormatFile);
    }
    {
        auto b = base;
        std::memcpy(b.data() + 36, "junk", 4);
        expectOpen(b, status::kFormatFile);
    }
    // A compressed "fmt " whose extra size exceeds the 180-byte record.
    {
        std::vector<uint8_t> b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
        std::vector<uint8_t> fmt(18 + 200, 0);
        fmt[0] = 2;  // Microsoft ADPCM
        fmt[2] = 1;
        fmt[4] = 0x40;
        fmt[5] = 0x1f;
        fmt[12] = 0;
        fmt[13] = 1;
        fmt[14] = 4;
        fmt[16] = 200;
        b.resize(20);
        putLe32(b, 16, static_cast<uint32_t>(fmt.size()));
        b.insert(b.end(), fmt.begin(), fmt.end());
        const uint8_t data[8] = {'d', 'a', 't', 'a', 0, 0, 0, 0};
        b.insert(b.end(), data, data + 8);
        putLe32(b, 4, static_cast<uint32_t>(b.size() - 8));
        expectOpen(b, status::kFormatFile);
    }
    // PCM with more channels than a fold-down to stereo takes.
    {
        auto b = base;
        b[22] = 9;
        expectOpen(b, status::kFormatNotSupport);
    }
    // Missing file.
    {
        Engine e;
        EXPECT_EQ(e.open((dir / "absent.wav").string(), WAV, READ), status::kFileAccess);
    }
    // A "data" size far beyond the file (and a RIFF size to match): the file
    // is read as far as it goes.
    {
        auto b = base;
        putLe32(b, 4, 0x7FFFFFF0);
        putLe32(b, 40, 0x7FFFFF00);
        t::writeBytes(path, b);
        Engine e;
        ASSERT_EQ(e.open(path.string(), WAV, READ), 0);
        EXPECT_EQ(e.totalLength(), 1600u);
        EXPECT_EQ(readAll(e).size(), 800u);
    }
    // Random damage never crashes and never reads beyond what is there.
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        auto b = base;
        const int hits = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < hits; ++k) b[rng() % 60] = static_cast<uint8_t>(rng());
        if (rng() % 4 == 0) b.resize(rng() % b.size());
        t::writeBytes(path, b);
        Engine e;
        if (e.open(path.string(), WAV, READ) == 0) {
            const auto got = readAll(e, 97);
            EXPECT_LE(got.size() * 2, e.totalLength() + 4);
        }
    }
}

TEST(Engine, SeekAndCounts) {
    t::TempDir dir;
    const auto path = dir / "s.wav";
    const auto signal = t::testSignal(22050, 2, 2205);
    t::writeWav16(path, 22050, 2, signal);
    Engine e;
    ASSERT_EQ(e.open(path.string(), WAV, READ), 0);
    EXPECT_EQ(e.seek(0, SeekOrigin::End), 0);
    EXPECT_EQ(e.position(), 2205u * 4);
    EXPECT_EQ(e.seek(10 * 4, SeekOrigin::Begin), 0);
    EXPECT_EQ(e.position(), 40u);
    std::vector<uint8_t> bytes;
    ASSERT_GT(e.read(e.arrayBytesFor(8), bytes), 0);
    int16_t first[4];
    std::memcpy(first, bytes.data(), 8);
    EXPECT_EQ(first[0], signal[20]);
    EXPECT_EQ(first[3], signal[23]);
    EXPECT_EQ(e.seek(5 * 4, SeekOrigin::Current), 0);
    EXPECT_EQ(e.position(), (10u + 2 + 5) * 4);
    EXPECT_EQ(e.seek(100 * 4, SeekOrigin::End), 0);
    EXPECT_EQ(e.position(), (2205u - 100) * 4);
    EXPECT_EQ(e.seek(5000 * 4, SeekOrigin::End), status::kFileAccess);  // before the start
    EXPECT_EQ(e.position(), (2205u - 100) * 4);

    // Half the rate in the array: the length halves (1102.5 frames round up),
    // and reading from the start delivers exactly that.
    e.setArrayFormat(11025, 2);
    EXPECT_EQ(e.totalLength(), 1103u * 4);
    ASSERT_EQ(e.seek(0, SeekOrigin::Begin), 0);
    uint64_t delivered = 0;
    for (std::vector<uint8_t> block; e.read(e.arrayBytesFor(1000), block) > 0; block.clear()) delivered += block.size();
    EXPECT_EQ(delivered, e.totalLength());
}

TEST(Engine, RawFilesUseTheRawSettings) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    t::TempDir dir;
    const auto src = dir / "src.wav";
    t::writeWav16(src, 22050, 2, t::testSignal(22050, 2, 22050));
    // Microsoft ADPCM, 22050 Hz stereo: 1024-byte blocks of 1012 samples, as ffmpeg writes them.
    const auto ms = dir / "ms.wav";
    auto r =
        t::run("ffmpeg -v error -y -i " + t::shellQuote(src.string()) + " -c:a adpcm_ms " + t::shellQuote(ms.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Engine w;
    ASSERT_EQ(w.open(ms.string(), WAV, READ), 0);
    EXPECT_EQ(+headerOf(w.fullFormat()).nBlockAlign, 1024);
    const auto viaWav = readAll(w);
    const auto ref = ffmpegDecode(ms, dir);
    EXPECT_EQ(viaWav, ref);

    // The same blocks as a headerless file.
    const auto bytes = t::readBytes(ms);
    auto at = std::search(bytes.begin(), bytes.end(), "data", "data" + 4);
    ASSERT_NE(at, bytes.end());
    const size_t off = static_cast<size_t>(at - bytes.begin()) + 8;
    const auto raw = dir / "ms.raw";
    t::writeBytes(raw, std::vector<uint8_t>(bytes.begin() + static_cast<long>(off),
                                            bytes.begin() + static_cast<long>(off + le32(bytes, off - 4))));
    EngineSettings s;
    s.output.raw = {22050, 16, 2, MS_ADPCM};
    Engine e;
    e.setSettings(s);
    ASSERT_EQ(e.open(raw.string(), RAW, READ), 0);
    EXPECT_EQ(e.kind(), ContainerKind::Raw);
    const WAVEFORMATEX h = headerOf(e.fullFormat());
    EXPECT_EQ(+h.nBlockAlign, 1024);
    EXPECT_EQ(e.fullFormat()[18] | e.fullFormat()[19] << 8, 1012);
    EXPECT_EQ(e.description().rfind("RAW: ", 0), 0u);
    EXPECT_EQ(readAll(e, 2205), ref);

    // Raw PCM written and read back with the same settings.
    const auto pcm = dir / "out.pcm";
    s.output.raw = {8000, 8, 1, PCM};
    Engine c;
    c.setSettings(s);
    ASSERT_EQ(c.create(pcm.string(), RAW), 0);
    std::vector<int16_t> ramp(256);
    for (int i = 0; i < 256; ++i) ramp[i] = static_cast<int16_t>((i - 128) * 256);
    writeAll(c, ramp, 100);
    ASSERT_EQ(c.close(), 0);
    EXPECT_EQ(t::readBytes(pcm).size(), 256u);
    Engine rd;
    rd.setSettings(s);
    ASSERT_EQ(rd.open(pcm.string(), RAW, READ), 0);
    EXPECT_EQ(readAll(rd), ramp);

    // A trailing byte short of a frame, read at a rate the resampler delays:
    // what it holds back still comes out once only that byte is left.
    auto odd = t::readBytes(pcm);
    odd.push_back(0x80);
    t::writeBytes(pcm, odd);
    Engine lag;
    s.output.raw = {8000, 16, 1, PCM};
    lag.setSettings(s);
    ASSERT_EQ(lag.open(pcm.string(), RAW, READ), 0);
    lag.setArrayFormat(96000, 1);
    EXPECT_EQ(readAll(lag, 1u << 20).size(), 128u * 12);
}

TEST(Engine, CompressedWavRoundTripsOpenInReferenceTools) {
    QORO_REQUIRE_TOOLS("ffprobe", "soxi");
    t::TempDir dir;
    struct Case {
        int compression, rate, channels;
        const char* codec;  // ffprobe's codec name
    };
    const Case cases[] = {
        {ALAW, 8000, 1, "pcm_alaw"},      {ULAW, 22050, 2, "pcm_mulaw"}, {IMA_ADPCM, 11025, 1, "adpcm_ima_wav"},
        {MS_ADPCM, 44100, 2, "adpcm_ms"}, {GSM, 8000, 1, "gsm_ms"},      {PCM, 44100, 2, "pcm_s16le"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        EngineSettings s;
        ASSERT_TRUE(buildRawFormat(c.compression, c.rate, c.channels, 16, s.full));
        const auto path = dir / "out.wav";
        Engine e;
        e.setSettings(s);
        ASSERT_EQ(e.create(path.string(), WAV), 0);
        const int frames = c.rate;  // one second, written in 0.1 s blocks plus an odd tail
        const auto signal = t::testSignal(c.rate, c.channels, frames);
        writeAll(e, signal, static_cast<size_t>(c.rate / 10 * c.channels) + 2);
        ASSERT_EQ(e.close(), 0);

        auto probe = t::run(
            "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,duration_ts"
            " -of default=nw=1 " +
            t::shellQuote(path.string()));
        ASSERT_EQ(probe.exitCode, 0) << probe.output;
        EXPECT_NE(probe.output.find(std::string("codec_name=") + c.codec), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("sample_rate=" + std::to_string(c.rate)), std::string::npos);
        EXPECT_NE(probe.output.find("channels=" + std::to_string(c.channels)), std::string::npos);
        const auto soxi = t::run("soxi " + t::shellQuote(path.string()) + " 2>&1");
        EXPECT_NE(soxi.output.find("Sample Rate    : " + std::to_string(c.rate)), std::string::npos) << soxi.output;
        EXPECT_NE(soxi.output.find("Channels       : " + std::to_string(c.channels)), std::string::npos);
        // Decoded length: every written frame, plus at most one padded codec block.
        const auto decoded = ffmpegDecode(path, dir);
        const size_t got = decoded.size() / static_cast<size_t>(c.channels);
        EXPECT_GE(got, static_cast<size_t>(frames));
        EXPECT_LE(got, static_cast<size_t>(frames) + 2048);
        // Our own reader decodes what our writer wrote.
        Engine r;
        ASSERT_EQ(r.open(path.string(), WAV, READ), 0);
        const auto back = readAll(r);
        EXPECT_EQ(back.size(), decoded.size());
        EXPECT_GT(t::snrDb(signal, back), c.compression == GSM ? 5.0 : 12.0);
        // A seek moves whole codec blocks away from its origin: one frame in
        // from the start lands at or after that frame, one frame back from
        // the end at or before it.
        const uint64_t frame = 2u * static_cast<uint64_t>(c.channels);
        ASSERT_EQ(r.seek(frame, SeekOrigin::Begin), 0);
        EXPECT_GE(r.position(), frame);
        ASSERT_EQ(r.seek(frame, SeekOrigin::End), 0);
        EXPECT_LE(r.position(), r.totalLength() - frame);
    }
}

namespace {

// sox's own 16-bit version of a file, without dither.
std::vector<int16_t> soxSixteen(const std::filesystem::path& wav, const std::filesystem::path& raw) {
    const auto r =
        t::run("sox -D " + t::shellQuote(wav.string()) + " -t raw -e signed -b 16 " + t::shellQuote(raw.string()));
    EXPECT_EQ(r.exitCode, 0);
    return t::readPcm16(raw);
}

}  // namespace

// WAVs as DAWs and sox write them, 24- and 32-bit integer and 32- and 64-bit
// float, plain and WAVE_FORMAT_EXTENSIBLE: read narrowed to 16 bits within
// one step of sox without dither, seekable, and read only.
TEST(Engine, DeepWavsReadNarrowedWithinAStepOfSox) {
    QORO_REQUIRE_TOOLS("sox");
    t::TempDir dir;
    const auto wav = dir / "deep.wav", raw = dir / "ref.raw";
    for (const char* depth :
         {"-e signed -b 24", "-e signed -b 32", "-e floating-point -b 32", "-e floating-point -b 64"}) {
        for (const char* type : {"wav", "wavpcm"}) {  // sox: extensible, plain
            SCOPED_TRACE(std::string(depth) + " -t " + type);
            ASSERT_EQ(t::run(std::string("sox -D -n -r 44100 -c 2 ") + depth + " -t " + type + " " +
                             t::shellQuote(wav.string()) + " synth 1.5 sine 440 sine 997 vol 0.8")
                          .exitCode,
                      0);
            const auto reference = soxSixteen(wav, raw);
            ASSERT_EQ(reference.size(), 2u * 66150);

            Engine e;
            ASSERT_EQ(e.open(wav.string(), WAV, READ), 0) << e.cause();
            EXPECT_EQ(e.fileFormat().wBitsPerSample, 16);
            EXPECT_EQ(e.totalLength(), 4u * 66150);
            const auto ours = readAll(e, 1000);
            ASSERT_EQ(ours.size(), reference.size());
            int worst = 0;
            for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - reference[i]));
            EXPECT_LE(worst, 1);

            // A seek lands on the frame asked for.
            ASSERT_EQ(e.seek(4u * 30001, SeekOrigin::Begin), 0);
            const auto tail = readAll(e, 777);
            ASSERT_EQ(tail.size(), ours.size() - 2u * 30001);
            EXPECT_TRUE(std::equal(tail.begin(), tail.end(), ours.begin() + 2 * 30001));
            e.close();

            Engine rw;
            EXPECT_LT(rw.open(wav.string(), WAV, READWRITE), 0);
        }
    }
}

TEST(LikeSample, KindFromTheExtension) {
    EXPECT_EQ(likeSampleKind("/music/Take.WAV").type, WAV);
    EXPECT_EQ(likeSampleKind("song.Mp3").type, MP3);
    EXPECT_EQ(likeSampleKind("song.mp3").error, NOERRORS);
    EXPECT_EQ(likeSampleKind("song.ogg").error, FORMATFILE);
    EXPECT_EQ(likeSampleKind("song.wav.bak").error, FORMATFILE);
    EXPECT_EQ(likeSampleKind("noextension").error, FILEACCESS);
    EXPECT_EQ(likeSampleKind("trailing.").error, FILEACCESS);
    EXPECT_EQ(likeSampleKind("").error, FILEACCESS);
}
