// AIFF and AIFF-C through the file engine: files from sox, ffmpeg and other
// people's tools read as sox reads them, our files read back by sox and
// ffmpeg, and damaged or hostile headers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "aiff/aiff.h"
#include "engine/engine.h"
#include "engine_support.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

using namespace qoro::audiofile;
namespace t = qoro::test;
namespace aiff = qoro::aiff;

namespace {

using t::pcmSettings;
using t::readAll;

// The samples the engine reads from a file of the type, or a failure.
std::vector<int16_t> engineRead(const t::fs::path& file, long type) {
    Engine e;
    EXPECT_EQ(e.open(file.string(), type, READ), 0) << file << ": " << e.cause();
    return readAll(e, 3001);
}

// What sox decodes a file to, 16-bit without dither.
std::vector<int16_t> soxSixteen(const t::fs::path& in, const t::TempDir& dir) {
    const auto out = dir / "sox.s16";
    const auto r = t::run("sox -D " + t::shellQuote(in.string()) + " -t s16 " + t::shellQuote(out.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return t::readPcm16(out);
}

std::vector<int16_t> ffmpegSixteen(const t::fs::path& in, const t::TempDir& dir) {
    const auto out = dir / "ffmpeg.s16";
    const auto r = t::run("ffmpeg -v error -y -i " + t::shellQuote(in.string()) + " -f s16le " +
                          t::shellQuote(out.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return t::readPcm16(out);
}

long soxFrames(const t::fs::path& in) { return std::atol(t::run("soxi -s " + t::shellQuote(in.string())).output.c_str()); }

}  // namespace

// Files of every sample encoding, rate and channel count we read, made by
// sox and ffmpeg, and one from another library's test data. 8- and 16-bit
// samples must be what sox decodes; deeper ones what our WAV reader makes of
// the same samples in a WAV (ffmpeg copies them over unchanged). Also: the
// length is the reference's, and a seek lands on the frame asked for.
TEST(Aiff, ReadsWhatSoxReads) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    struct Case {
        const char* make;     // command, {} for the output file; empty: the file is `data`
        const char* data;     // a file of tests/data
        // ffmpeg's codec for a WAV holding the same samples (sox would pass
        // floats through 32-bit integers); empty: compare with sox's 16
        // bits; "ffmpeg": with ffmpeg's (sox has no "raw ")
        const char* wavKeep;
    };
    const std::string sine = " synth 0.7 sine 440 sine 997 vol 0.9";
    const std::string loud = "-f lavfi -i 'aevalsrc=1.1*sin(2*PI*440*t)|0.5*sin(2*PI*997*t):d=0.7:s=";
    const Case cases[] = {
        {"sox -D -n -r 44100 -c 1 -b 16 {}.aiff", "", ""},
        {"sox -D -n -r 22050 -c 2 -b 16 {}.aiff", "", ""},
        {"sox -D -n -r 11025 -c 2 -b 8 {}.aiff", "", ""},
        {"sox -D -n -r 96000 -c 2 -b 24 {}.aiff", "", "pcm_s24le"},
        {"sox -D -n -r 48000 -c 1 -b 32 {}.aiff", "", "pcm_s32le"},
        {"sox -D -n -r 44100 -c 2 -e floating-point -b 32 {}.aifc", "", "pcm_f32le"},
        {"ffmpeg -f lavfi -i sine=f=440:r=48000:d=0.7 -ac 2 -c:a pcm_s16be {}.aiff", "", ""},
        {"ffmpeg -f lavfi -i sine=f=440:r=22050:d=0.7 -c:a pcm_s16le {}.aifc", "", ""},  // "sowt"
        {"ffmpeg -f lavfi -i sine=f=440:r=8000:d=0.7 -c:a pcm_u8 {}.aifc", "", "ffmpeg"},  // "raw "
        {"ffmpeg -f lavfi -i sine=f=440:r=44100:d=0.7 -c:a pcm_s24be {}.aiff", "", "pcm_s24le"},
        {"ffmpeg -f lavfi -i sine=f=440:r=22050:d=0.7 -ac 2 -c:a pcm_s32be {}.aiff", "", "pcm_s32le"},
        {"ffmpeg {loud}96000' -c:a pcm_f32be {}.aifc", "", "pcm_f32le"},
        {"ffmpeg {loud}48000' -c:a pcm_f64be {}.aifc", "", "pcm_f64le"},
        {"", "beets/full.aiff", ""},
    };
    t::TempDir dir;
    int index = 0;
    for (const Case& c : cases) {
        t::fs::path file;
        if (*c.make) {
            std::string cmd = c.make;
            const bool sox = cmd.rfind("sox", 0) == 0;
            if (size_t at = cmd.find("{loud}"); at != std::string::npos) cmd.replace(at, 6, loud);
            const size_t at = cmd.find("{}");
            file = dir / ("in" + std::to_string(index++) + cmd.substr(at + 2));
            cmd.replace(at, cmd.size() - at, t::shellQuote(file.string()));
            if (sox) cmd += sine;
            else cmd.insert(6, " -v error -y");
            const auto r = t::run(cmd);
            ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
        } else {
            file = t::testdata(c.data);
        }
        SCOPED_TRACE(file.filename().string() + " from: " + (*c.make ? c.make : c.data));

        std::vector<int16_t> reference;
        if (std::string(c.wavKeep) == "ffmpeg") {
            reference = ffmpegSixteen(file, dir);
        } else if (*c.wavKeep) {
            const auto wav = dir / "same.wav";
            ASSERT_EQ(t::run("ffmpeg -v error -y -i " + t::shellQuote(file.string()) + " -c:a " + c.wavKeep + " " +
                             t::shellQuote(wav.string()))
                          .exitCode,
                      0);
            reference = engineRead(wav, WAV);
        } else {
            reference = soxSixteen(file, dir);
        }
        Engine e;
        ASSERT_EQ(e.open(file.string(), AIFF, READ), 0) << e.cause();
        const uint64_t channels = e.fileFormat().nChannels;
        EXPECT_EQ(e.totalLength(), 2u * reference.size());
        EXPECT_FALSE(e.description().empty());
        const auto ours = readAll(e, 3001);
        ASSERT_EQ(ours.size(), reference.size());
        const auto d = t::compare(ours, reference);
        EXPECT_EQ(d.maxAbs, 0);

        const uint64_t frame = ours.size() / channels / 3;
        ASSERT_EQ(e.seek(frame * 2 * channels, SeekOrigin::Begin), 0);
        const auto tail = readAll(e, 777);
        ASSERT_EQ(tail.size(), ours.size() - frame * channels);
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), ours.begin() + frame * channels));
    }
}

// Our 8- and 16-bit files, mono and stereo, of an odd number of frames (so
// 8-bit mono needs its pad byte): sox and ffmpeg read the samples we read
// back, 16 bits exactly as written, and count the same frames.
TEST(Aiff, WrittenFilesReadBySoxAndFfmpeg) {
    QORO_REQUIRE_TOOLS("sox", "soxi", "ffmpeg", "ffprobe");
    t::TempDir dir;
    constexpr int kFrames = 4411;
    for (uint16_t bits : {8, 16}) {
        for (uint16_t channels : {1, 2}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(channels) + " channels");
            const auto path = dir / "ours.aiff";
            const auto signal = t::testSignal(22050, channels, kFrames);
            {
                Engine e;
                e.setSettings(pcmSettings(22050, channels, bits));
                ASSERT_EQ(e.create(path.string(), AIFF), 0) << e.cause();
                for (size_t at = 0; at < signal.size(); at += 1000 * channels) {
                    const size_t n = std::min<size_t>(1000 * channels, signal.size() - at);
                    ASSERT_EQ(e.write(reinterpret_cast<const uint8_t*>(signal.data() + at), n * 2),
                              static_cast<int64_t>(n * 2));
                }
                ASSERT_EQ(e.close(), 0) << e.cause();
            }
            const auto b = t::readBytes(path);
            const size_t data = static_cast<size_t>(kFrames) * channels * bits / 8;
            EXPECT_EQ(b.size(), 12 + 26 + 16 + data + data % 2);
            EXPECT_EQ(aiff::readBE32(b.data() + 4), b.size() - 8);

            const auto ours = engineRead(path, AIFF);
            ASSERT_EQ(ours.size(), signal.size());
            EXPECT_LE(t::compare(ours, signal).maxAbs, bits == 16 ? 0 : 255);
            EXPECT_EQ(t::compare(ours, soxSixteen(path, dir)).maxAbs, 0);
            const auto ff = ffmpegSixteen(path, dir);
            ASSERT_EQ(ff.size(), ours.size());
            EXPECT_EQ(t::compare(ours, ff).maxAbs, 0);
            EXPECT_EQ(soxFrames(path), kFrames);
            const auto probe = t::run("ffprobe -v error -show_entries stream=duration_ts,sample_rate -of csv=p=0 " +
                                      t::shellQuote(path.string()));
            EXPECT_EQ(probe.output, "22050," + std::to_string(kFrames) + "\n");
        }
    }
    // A format AIFF is not written in leaves no file.
    Engine e;
    EngineSettings alaw;
    WAVEFORMATEX w = acm::makePcmFormat(8000, 1, 8);
    w.wFormatTag = acm::WAVE_FORMAT_ALAW;
    alaw.full = fullFormatOf(w);
    e.setSettings(alaw);
    EXPECT_LT(e.create((dir / "alaw.aiff").string(), AIFF), 0);
    EXPECT_FALSE(t::fs::exists(dir / "alaw.aiff"));
}

// Damaged and hostile headers: refused, or read for what the file holds;
// never more. The base is a plain mono AIFF of 100 known frames.
TEST(Aiff, DamagedHeadersAreRefusedOrReadForWhatTheyHold) {
    constexpr uint32_t kFrames = 100;
    struct Chunk {
        std::string id;
        std::vector<uint8_t> data;
        uint32_t size = 0xFFFFFFFF;  // as stored; 0xFFFFFFFF: data's size
    };
    struct File {
        std::string formType = "AIFF";
        aiff::Comm comm{1, kFrames, 16, 8000.0, aiff::kNone, {}, false};
        uint32_t ssndOffset = 0;
        std::vector<Chunk> before, after;  // chunks around COMM and SSND
        bool ssndFirst = false;
        size_t cutTo = 0;  // keep this many bytes, 0: all
    };
    std::vector<int16_t> samples(kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) samples[i] = static_cast<int16_t>(i * 611 - 30000);
    auto build = [&](const File& f) {
        auto chunk = [](std::vector<uint8_t>& out, const Chunk& c) {
            out.insert(out.end(), c.id.begin(), c.id.end());
            uint8_t size[4];
            aiff::writeBE32(size, c.size != 0xFFFFFFFF ? c.size : static_cast<uint32_t>(c.data.size()));
            out.insert(out.end(), size, size + 4);
            out.insert(out.end(), c.data.begin(), c.data.end());
            if (c.data.size() % 2) out.push_back(0);
        };
        Chunk ssnd{"SSND", std::vector<uint8_t>(8 + f.ssndOffset, 0xAA)};
        aiff::writeBE32(ssnd.data.data(), f.ssndOffset);
        for (int16_t s : samples) {
            ssnd.data.push_back(static_cast<uint8_t>(s >> 8));
            ssnd.data.push_back(static_cast<uint8_t>(s));
        }
        Chunk comm{"COMM", aiff::makeComm(f.comm)};
        std::vector<uint8_t> out = {'F', 'O', 'R', 'M', 0, 0, 0, 0};
        out.insert(out.end(), f.formType.begin(), f.formType.end());
        for (const Chunk& c : f.before) chunk(out, c);
        chunk(out, f.ssndFirst ? ssnd : comm);
        for (const Chunk& c : f.after) chunk(out, c);
        chunk(out, f.ssndFirst ? comm : ssnd);
        aiff::writeBE32(out.data() + 4, static_cast<uint32_t>(out.size() - 8));
        if (f.cutTo) out.resize(f.cutTo);
        return out;
    };
    const size_t full = build(File{}).size();
    constexpr int kRefused = -1;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::function<void(File&)> damage;
        int frames;  // kRefused, or the frames read (the first ones of the base)
        int16_t status = 0;
    };
    const Case cases[] = {
        {"intact", [](File&) {}, kFrames},
        {"chunks in any order, odd sizes padded", [](File& f) {
             f.ssndFirst = true;
             f.before = {{"APPL", {'a', 'p', 'p', 'l', 1}}, {"MARK", {0, 0}}};
             f.after = {{"NAME", {'x', 'y', 'z'}}, {"ID3 ", std::vector<uint8_t>(11, 0)}, {"COMT", {0, 0}}};
         }, kFrames},
        {"the SSND offset is honoured", [](File& f) { f.ssndOffset = 6; }, kFrames},
        {"COMM promises more frames", [](File& f) { f.comm.frames = 0xFFFFFFFF; }, kFrames},
        {"COMM promises fewer frames", [](File& f) { f.comm.frames = 40; }, 40},
        {"cut short in the samples", [&](File& f) { f.cutTo = full - 2 * 41 - 1; }, kFrames - 42},
        {"AIFC whose COMM has no compression", [](File& f) { f.formType = "AIFC"; }, kFrames},
        {"cut short in the header", [](File& f) { f.cutTo = 30; }, kRefused},
        {"not an AIFF form", [](File& f) { f.formType = "AIFX"; }, kRefused},
        {"no COMM", [](File& f) { f.ssndFirst = true; f.cutTo = 12 + 8 + 8 + 2 * kFrames; }, kRefused},
        {"no channels", [](File& f) { f.comm.channels = 0; }, kRefused},
        {"no sample size", [](File& f) { f.comm.bits = 0; }, kRefused},
        {"40-bit samples", [](File& f) { f.comm.bits = 40; }, kRefused},
        {"rate 0", [](File& f) { f.comm.rate = 0; }, kRefused},
        {"infinite rate", [=](File& f) { f.comm.rate = kInf; }, kRefused},
        {"NaN rate", [](File& f) { f.comm.rate = std::nan(""); }, kRefused},
        {"rate beyond what is played", [](File& f) { f.comm.rate = 1e12; }, kRefused, status::kFormatNotSupport},
        {"three channels", [](File& f) { f.comm.channels = 3; }, kRefused, status::kFormatNotSupport},
        {"IMA ADPCM", [](File& f) {
             f.formType = "AIFC";
             f.comm.aifc = true;
             f.comm.compression = qoro::riff::fourcc("ima4");
             f.comm.compressionName = "IMA 4:1";
         }, kRefused, status::kFormatNotSupport},
        {"SSND offset beyond the chunk", [](File& f) { f.after = {{"SSND", {0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0}}}; },
         kRefused},
        {"SSND shorter than its header", [](File& f) { f.after = {{"SSND", {0, 0, 0, 0}}}; }, kRefused},
        {"a chunk before COMM reaching beyond the file", [](File& f) { f.before = {{"APPL", {1, 2}, 0xFFFFFFF0}}; },
         kRefused},
        {"COMM shorter than AIFF's", [](File& f) { f.before = {{"COMM", {0, 1, 0, 0}}}; }, kRefused},
    };
    t::TempDir dir;
    const auto path = dir / "damaged.aiff";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        File f;
        c.damage(f);
        t::writeBytes(path, build(f));
        Engine e;
        const int16_t st = e.open(path.string(), AIFF, READ);
        if (c.frames == kRefused) {
            EXPECT_LT(st, 0);
            if (c.status) {
                EXPECT_EQ(st, c.status);
                EXPECT_FALSE(e.cause().empty());
            }
            continue;
        }
        ASSERT_EQ(st, 0) << e.cause();
        EXPECT_EQ(e.totalLength(), 2u * c.frames);
        const auto got = readAll(e, 3001);
        ASSERT_EQ(got.size(), static_cast<size_t>(c.frames));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), samples.begin()));
    }
}
