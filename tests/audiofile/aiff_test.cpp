// AIFF and AIFF-C through the file engine: files from sox, ffmpeg and other
// people's tools read as sox reads them, in the 16-bit form and as they
// are; our files of every depth read back by sox and ffmpeg; damaged or
// hostile headers.
#include <gtest/gtest.h>

#include <algorithm>
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

// Makes file number `index` in `dir` by a command of the tables below, `{}`
// standing for its name without the extension that follows: sox commands
// get two sines, ffmpeg commands run quietly, `{loud}` is a stereo source
// beyond full scale for ffmpeg ("{loud}48000'": at 48 kHz). Empty, with a
// test failure, when the tool failed.
t::fs::path makeFile(std::string cmd, const t::TempDir& dir, int index) {
    const bool sox = cmd.rfind("sox", 0) == 0;
    if (size_t at = cmd.find("{loud}"); at != std::string::npos)
        cmd.replace(at, 6, "-f lavfi -i 'aevalsrc=1.1*sin(2*PI*440*t)|0.5*sin(2*PI*997*t):d=0.7:s=");
    const size_t at = cmd.find("{}");
    const auto file = dir / ("in" + std::to_string(index) + cmd.substr(at + 2));
    cmd.replace(at, cmd.size() - at, t::shellQuote(file.string()));
    if (sox)
        cmd += " synth 0.7 sine 440 sine 997 vol 0.9";
    else
        cmd.insert(6, " -v error -y");
    const auto r = t::run(cmd);
    EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.output;
    return r.exitCode == 0 ? file : t::fs::path();
}

// Up to `frames` array frames from the position (all there are by default),
// as bytes.
std::vector<uint8_t> readFrames(Engine& e, uint64_t frames = UINT64_MAX) {
    std::vector<uint8_t> bytes;
    const uint64_t block = e.arrayFormat().nBlockAlign;
    for (uint64_t done = 0; done < frames;) {
        const uint64_t b = e.arrayBytesFor(std::min<uint64_t>(frames - done, 3001) * block);
        const int64_t got = b ? e.read(b, bytes) : 0;
        EXPECT_GE(got, 0);
        if (got <= 0) break;
        done += static_cast<uint64_t>(got) / block;
    }
    return bytes;
}

// 32-bit samples as sox and ffmpeg decode to them, as an array of `kind`
// holds them (Int24 right-justified); `toArray` false goes the other way.
std::vector<uint8_t> justified(std::vector<uint8_t> bytes, SampleKind kind, bool toArray) {
    return kind == SampleKind::Int24 ? t::justified24(std::move(bytes), !toArray) : bytes;
}

}  // namespace

// Files of every sample encoding, rate and channel count we read, made by
// sox and ffmpeg, and one from another library's test data, read in the
// 16-bit form. 8- and 16-bit samples must be what sox decodes; deeper ones,
// or more than two channels, what our WAV reader makes of the same samples
// in a WAV (ffmpeg copies them over unchanged). Also: the
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
    const Case cases[] = {
        {"sox -D -n -r 44100 -c 1 -b 16 {}.aiff", "", ""},
        {"sox -D -n -r 22050 -c 2 -b 16 {}.aiff", "", ""},
        {"sox -D -n -r 11025 -c 2 -b 8 {}.aiff", "", ""},
        {"sox -D -n -r 96000 -c 2 -b 24 {}.aiff", "", "pcm_s24le"},
        {"sox -D -n -r 48000 -c 1 -b 32 {}.aiff", "", "pcm_s32le"},
        {"sox -D -n -r 44100 -c 2 -e floating-point -b 32 {}.aifc", "", "pcm_f32le"},
        {"sox -D -n -r 48000 -c 6 -b 16 {}.aiff", "", "pcm_s16le"},  // folded down to stereo
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
        const t::fs::path file = *c.make ? makeFile(c.make, dir, index++) : t::testdata(c.data);
        if (file.empty()) continue;
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

// Deep, float and many-channel files read as they are (the deep array
// format): the samples the reference decodes them to in the array's kind,
// the same frame after a switch from the 16-bit form a third of the way
// in, and the file's own depth and channels as its own form. (The object's tests
// read further AIFF kinds so: 24- and 32-bit, "sowt", "fl32", 6 channels.)
TEST(Aiff, ReadsSamplesAsTheyAre) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    struct Case {
        const char* make;    // as in ReadsWhatSoxReads
        const char* decode;  // decodes IN to raw samples of the kind in OUT
        SampleKind kind;
        uint16_t ownBits;  // of the file's own form (32 for floats)
    };
    const Case cases[] = {
        {"ffmpeg {loud}48000' -c:a pcm_f64be {}.aifc", "ffmpeg -v error -y -i IN -f f32le OUT", SampleKind::Float32,
         32},
        {"sox -D -n -r 22050 -c 3 -b 8 {}.aiff", "sox -D IN -t s16 OUT", SampleKind::Int16, 8},
        {"ffmpeg -f lavfi -i sine=f=440:r=44100:d=0.7 -ac 8 -c:a pcm_s24be {}.aiff", "sox -D IN -t s32 OUT",
         SampleKind::Int24, 24},
        {"ffmpeg -f lavfi -i sine=f=440:r=22050:d=0.7 -ac 2 -c:a pcm_s32be {}.aiff", "sox -D IN -t s32 OUT",
         SampleKind::Int32, 32},
    };
    t::TempDir dir;
    int index = 0;
    for (const Case& c : cases) {
        const t::fs::path file = makeFile(c.make, dir, index++);
        if (file.empty()) continue;
        SCOPED_TRACE(c.make);
        std::string cmd = c.decode;
        const auto raw = dir / "reference.raw";
        cmd.replace(cmd.find("IN"), 2, t::shellQuote(file.string()));
        cmd.replace(cmd.find("OUT"), 3, t::shellQuote(raw.string()));
        ASSERT_EQ(t::run(cmd).exitCode, 0) << cmd;
        const auto expected = justified(t::readBytes(raw), c.kind, true);

        Engine e;
        ASSERT_EQ(e.open(file.string(), AIFF, READ), 0) << e.cause();
        const WAVEFORMATEX own = e.ownFormat();
        EXPECT_EQ(own.wBitsPerSample, c.ownBits);
        EXPECT_EQ(own.wFormatTag, c.kind == SampleKind::Float32 ? acm::WAVE_FORMAT_IEEE_FLOAT : acm::WAVE_FORMAT_PCM);
        const uint64_t third = e.totalLength() / e.arrayFormat().nBlockAlign / 3;
        ASSERT_EQ(readFrames(e, third).size(), third * e.arrayFormat().nBlockAlign);
        e.setArrayFormat(own.nSamplesPerSec, own.nChannels, c.kind);
        const uint64_t frame = e.arrayFormat().nBlockAlign;
        EXPECT_EQ(e.totalLength(), expected.size());
        EXPECT_EQ(e.position(), third * frame);
        const auto rest = readFrames(e);
        ASSERT_EQ(rest.size() + third * frame, expected.size());
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), expected.begin() + static_cast<long>(third * frame)));
        ASSERT_EQ(e.seek(0, SeekOrigin::Begin), 0);
        EXPECT_EQ(readFrames(e), expected);
    }
}

// Our 24-bit, 32-bit and float files (floats as AIFF-C "fl32"), mono and
// stereo, of an odd number of frames (24-bit mono needs its pad byte): sox
// and ffmpeg decode the samples we wrote, ffprobe names their depth, and we
// read them back as they are.
TEST(Aiff, DeepFilesReadBySoxAndFfmpeg) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe");
    struct Case {
        SampleKind kind;
        uint16_t bits;
        const char* codec;  // as ffprobe names it
    };
    const Case cases[] = {{SampleKind::Int24, 24, "pcm_s24be"},
                          {SampleKind::Int32, 32, "pcm_s32be"},
                          {SampleKind::Float32, 32, "pcm_f32be"}};
    constexpr uint32_t kRate = 48000, kFrames = 4411;
    t::TempDir dir;
    const auto path = dir / "ours.aiff", raw = dir / "decoded.raw";
    for (const Case& c : cases) {
        for (uint16_t channels : {1, 2, 6}) {
            SCOPED_TRACE(std::string(c.codec) + ", " + std::to_string(channels) + " channels");
            const bool floats = c.kind == SampleKind::Float32;
            // Every bit of the depth in use: a loud sine, the low bits of each sample set apart.
            std::vector<uint8_t> written(size_t{kFrames} * channels * 4);
            for (size_t i = 0; i < written.size() / 4; ++i) {
                const double x = 0.9 * std::sin(0.0123 * double(i) * (1 + i % channels));
                int32_t v = static_cast<int32_t>(std::lround(x * (c.bits == 24 ? 0x7FFFFF : 0x7FFFFFFF))) ^
                            static_cast<int32_t>(i % 7);
                if (floats) {
                    const auto f = static_cast<float>(x + 1e-7 * double(i % 7));
                    std::memcpy(&v, &f, 4);
                }
                std::memcpy(written.data() + 4 * i, &v, 4);
            }
            {
                Engine e;
                EngineSettings s;
                WAVEFORMATEX w = acm::makePcmFormat(kRate, channels, c.bits);
                if (floats) w.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
                s.full = fullFormatOf(w);
                e.setSettings(s);
                ASSERT_EQ(e.create(path.string(), AIFF), 0) << e.cause();
                e.setArrayFormat(kRate, channels, c.kind);
                for (size_t at = 0; at < written.size(); at += 4000 * channels) {
                    const size_t n = std::min<size_t>(4000 * channels, written.size() - at);
                    ASSERT_EQ(e.write(written.data() + at, n), static_cast<int64_t>(n));
                }
                ASSERT_EQ(e.close(), 0) << e.cause();
            }
            const auto b = t::readBytes(path);
            EXPECT_EQ(aiff::readBE32(b.data() + 4), b.size() - 8);
            // "FORM", ("FVER", the AIFF-C "COMM" naming "fl32" or) the AIFF
            // "COMM", the speakers in "CHAN" beyond stereo, "SSND".
            const size_t data = size_t{kFrames} * channels * c.bits / 8;
            EXPECT_EQ(b.size(), 12 + (floats ? 12 + 52 : 26) + (channels > 2 ? 20 : 0) + 16 + data + data % 2);

            const std::string in = t::shellQuote(path.string()), out = t::shellQuote(raw.string());
            const auto ff = "ffmpeg -v error -y -i " + in + (floats ? " -f f32le " : " -f s32le ") + out;
            ASSERT_EQ(t::run(ff).exitCode, 0);
            EXPECT_EQ(justified(t::readBytes(raw), c.kind, true), written);
            if (!floats) {  // (sox carries floats through 32-bit integers)
                ASSERT_EQ(t::run("sox -D " + in + " -t s32 " + out).exitCode, 0);
                EXPECT_EQ(justified(t::readBytes(raw), c.kind, true), written);
            }
            EXPECT_EQ(soxFrames(path), kFrames);
            const auto probe = t::run("ffprobe -v error -show_entries stream=codec_name,bits_per_sample,channels,"
                                      "duration_ts -of csv=p=0 " + in);
            EXPECT_EQ(probe.output, std::string(c.codec) + "," + std::to_string(channels) + "," +
                                        std::to_string(c.bits) + "," + std::to_string(kFrames) + "\n");
            if (channels == 6)
                EXPECT_EQ(t::run("ffprobe -v error -show_entries stream=channel_layout -of csv=p=0 " + in).output,
                          "5.1\n");

            Engine e;
            ASSERT_EQ(e.open(path.string(), AIFF, READ), 0) << e.cause();
            e.setArrayFormat(kRate, channels, c.kind);
            EXPECT_EQ(readFrames(e), written);
        }
    }
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
        {"nine channels", [](File& f) { f.comm.channels = 9; }, kRefused, status::kFormatNotSupport},
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
