// lame_enc.so, loaded by name from the bin folder as the audio file component
// loads it, encoding test signals at many settings. Results are checked in
// the frame headers and side information of the stream, with ffprobe/ffmpeg,
// and against the lame command-line tool at the same settings.
#include "lame_enc.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace qoro::test;

struct Library {
    void* handle = nullptr;
    BEINITSTREAM init = nullptr;
    BEENCODECHUNK encode = nullptr;
    BEDEINITSTREAM deinit = nullptr;
    BECLOSESTREAM close = nullptr;
    BEVERSION version = nullptr;
    BEWRITEVBRHEADER writeHeader = nullptr;
    BEENCODECHUNKFLOAT encodeFloat = nullptr;

    Library() {
        handle = dlopen(binPath("lame_enc.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        init = reinterpret_cast<BEINITSTREAM>(dlsym(handle, TEXT_BEINITSTREAM));
        encode = reinterpret_cast<BEENCODECHUNK>(dlsym(handle, TEXT_BEENCODECHUNK));
        deinit = reinterpret_cast<BEDEINITSTREAM>(dlsym(handle, TEXT_BEDEINITSTREAM));
        close = reinterpret_cast<BECLOSESTREAM>(dlsym(handle, TEXT_BECLOSESTREAM));
        version = reinterpret_cast<BEVERSION>(dlsym(handle, TEXT_BEVERSION));
        writeHeader = reinterpret_cast<BEWRITEVBRHEADER>(dlsym(handle, TEXT_BEWRITEVBRHEADER));
        encodeFloat = reinterpret_cast<BEENCODECHUNKFLOAT>(dlsym(handle, TEXT_BEENCODECHUNKFLOAT));
    }
    ~Library() {
        if (handle) dlclose(handle);
    }
    bool complete() const { return init && encode && deinit && close && version && writeHeader; }
};

Library& lib() {
    static Library library;
    return library;
}

// A record as the audio file component fills it: CBR, encoder's filters.
BE_CONFIG record(uint32_t rate, int mode, uint32_t kbps) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = 1;
    c.dwStructSize = 337;
    c.dwSampleRate = rate;
    c.nMode = mode;
    c.dwBitrate = kbps;
    c.dwMpegVersion = rate >= 32000 ? BE_MPEG1 : BE_MPEG2;
    c.nVbrMethod = BE_VBR_METHOD_NONE;
    c.nVBRQuality = 7;
    c.nQuality = 5;
    return c;
}

struct Encoded {
    BE_ERR initError = 1, deinitError = 1, headerError = 1;
    uint32_t chunkSamples = 0, outputSize = 0;
    fs::path file;
};

// Encodes the samples in chunks of the size the stream asks for (the last one
// shorter), writes the output to 'file' and, when the record asks for it, the
// tag frame afterwards.
Encoded encodeFile(const BE_CONFIG& c, const std::vector<int16_t>& pcm, const fs::path& file) {
    Encoded r;
    r.file = file;
    HBE_STREAM stream = 0;
    r.initError = lib().init(&c, &r.chunkSamples, &r.outputSize, &stream);
    if (r.initError != BE_ERR_SUCCESSFUL) return r;
    std::vector<uint8_t> out(r.outputSize), mp3;
    for (size_t pos = 0; pos < pcm.size(); pos += r.chunkSamples) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(r.chunkSamples, pcm.size() - pos));
        uint32_t bytes = 0;
        EXPECT_EQ(lib().encode(stream, n, pcm.data() + pos, out.data(), &bytes), BE_ERR_SUCCESSFUL);
        EXPECT_LE(bytes, r.outputSize);
        mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
    }
    uint32_t bytes = 0;
    r.deinitError = lib().deinit(stream, out.data(), &bytes);
    mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
    EXPECT_EQ(lib().close(stream), BE_ERR_SUCCESSFUL);
    writeBytes(file, mp3);
    if (c.bWriteVBRHeader) r.headerError = lib().writeHeader(file.c_str());
    return r;
}

// --- reading the stream back ----------------------------------------------

struct Frame {
    int version = 0;  // 1, 2, or 25 for MPEG-2.5
    bool crc = false;
    int kbps = 0;
    int rate = 0;
    int mode = 0;  // 0 stereo, 1 joint, 2 dual, 3 mono
    int modeExt = 0;
    int emphasis = 0;
    size_t offset = 0, size = 0;
    bool tag = false;  // the Xing/Info frame
    int mainDataBegin = 0;
    bool shortBlocks = false;
};

class Bits {
public:
    Bits(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    int get(int count) {
        int v = 0;
        for (int i = 0; i < count; ++i, ++pos_) {
            size_t byte = pos_ / 8;
            int bit = byte < n_ ? (p_[byte] >> (7 - pos_ % 8)) & 1 : 0;
            v = (v << 1) | bit;
        }
        return v;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

// Walks the Layer III frames from the start of the file.
std::vector<Frame> frames(const fs::path& file) {
    static const int kbps1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int kbps2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const int rates1[] = {44100, 48000, 32000, 0};
    auto d = readBytes(file);
    std::vector<Frame> result;
    size_t pos = 0;
    while (pos + 4 <= d.size()) {
        const uint8_t* h = &d[pos];
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || ((h[1] >> 1) & 3) != 1) break;
        Frame f;
        int v = (h[1] >> 3) & 3;
        f.version = v == 3 ? 1 : v == 2 ? 2 : 25;
        f.crc = !(h[1] & 1);
        f.kbps = (f.version == 1 ? kbps1 : kbps2)[h[2] >> 4];
        int rateIndex = (h[2] >> 2) & 3;
        f.rate = rates1[rateIndex] / (f.version == 1 ? 1 : f.version == 2 ? 2 : 4);
        int padding = (h[2] >> 1) & 1;
        f.mode = h[3] >> 6;
        f.modeExt = (h[3] >> 4) & 3;
        f.emphasis = h[3] & 3;
        if (!f.kbps || !f.rate) break;
        f.size = static_cast<size_t>((f.version == 1 ? 144 : 72) * f.kbps * 1000 / f.rate + padding);
        f.offset = pos;
        if (pos + f.size > d.size()) break;
        const int channels = f.mode == 3 ? 1 : 2;
        const size_t side = 4 + (f.crc ? 2 : 0);
        for (size_t i = pos + side; i + 4 <= pos + std::min<size_t>(f.size, 64); ++i)
            if (!std::memcmp(&d[i], "Xing", 4) || !std::memcmp(&d[i], "Info", 4)) f.tag = true;
        Bits b(&d[pos + side], f.size - side);
        const int granules = f.version == 1 ? 2 : 1;
        f.mainDataBegin = b.get(f.version == 1 ? 9 : 8);
        b.get(f.version == 1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));
        if (f.version == 1) b.get(4 * channels);
        for (int gr = 0; gr < granules; ++gr)
            for (int ch = 0; ch < channels; ++ch) {
                b.get(12 + 9 + 8);
                b.get(f.version == 1 ? 4 : 9);
                if (b.get(1)) {  // window switching
                    if (b.get(2) == 2) f.shortBlocks = true;
                    b.get(1 + 10 + 9);
                } else {
                    b.get(15 + 4 + 3);
                }
                b.get(f.version == 1 ? 3 : 2);
            }
        result.push_back(f);
        pos += f.size;
    }
    return result;
}

std::vector<Frame> audioFrames(const fs::path& file) {
    auto all = frames(file);
    std::erase_if(all, [](const Frame& f) { return f.tag; });
    return all;
}

struct Probe {
    int rate = 0, channels = 0;
    long bitRate = 0;
};

Probe ffprobe(const fs::path& file) {
    auto r = run(
        "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,bit_rate -of default=nw=1 " +
        shellQuote(file.string()));
    Probe p;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0]))) continue;
        if (key == "sample_rate") p.rate = std::stoi(value);
        if (key == "channels") p.channels = std::stoi(value);
        if (key == "bit_rate") p.bitRate = std::stol(value);
    }
    return p;
}

// Decodes with ffmpeg (which trims encoder delay and padding by the LAME tag).
std::vector<int16_t> decode(const fs::path& file, const std::string& extra = "") {
    fs::path raw = file;
    raw += ".raw";
    auto r = run("ffmpeg -v error -y " + extra + " -i " + shellQuote(file.string()) + " -f s16le " +
                 shellQuote(raw.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readPcm16(raw);
}

// SNR of the decode against the input, after finding the decoder delay.
double alignedSnr(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded, int channels) {
    const size_t from = input.size() / 4, len = 4096 * static_cast<size_t>(channels);
    std::vector<int16_t> window(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(from + len));
    long best = 0;
    double bestSnr = -1e9;
    for (long frame = 0; frame <= 1800; ++frame) {
        long offset = static_cast<long>(from) + frame * channels;
        double s = snrDb(window, decoded, offset);
        if (s > bestSnr) bestSnr = s, best = frame * channels;
    }
    return snrDb(input, decoded, best);
}

// Our SNR against the command-line tool's at the same settings, in dB.
void expectSnrLikeCli(const std::vector<int16_t>& input, const std::vector<int16_t>& ours,
                      const std::vector<int16_t>& cli, int channels, double floorDb) {
    double a = alignedSnr(input, ours, channels), b = alignedSnr(input, cli, channels);
    std::printf("    SNR ours %.2f dB, lame tool %.2f dB\n", a, b);
    EXPECT_GT(a, floorDb);
    EXPECT_NEAR(a, b, 1.0);
}

// Encodes raw 16-bit input with the lame command-line tool.
fs::path lameCli(const TempDir& dir, const std::vector<int16_t>& pcm, int rate, const std::string& options) {
    fs::path raw = dir / "cli-in.raw", mp3 = dir / "cli.mp3";
    writePcm16(raw, pcm);
    std::ostringstream kHz;
    kHz << rate / 1000.0;
    auto r = run("lame --quiet -r -s " + kHz.str() + " --bitwidth 16 --signed --little-endian " + options + " " +
                 shellQuote(raw.string()) + " " + shellQuote(mp3.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return mp3;
}

// A tone of the given frequencies on every channel.
std::vector<int16_t> tones(int rate, int channels, int frames, std::initializer_list<double> freqs) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        double v = 0;
        for (double f : freqs) v += 0.3 * std::sin(2 * M_PI * f * i / rate);
        for (int c = 0; c < channels; ++c) s[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(v * 32767);
    }
    return s;
}

// Power of one frequency in the first channel (Goertzel).
double power(const std::vector<int16_t>& s, int channels, int rate, double freq) {
    double coeff = 2 * std::cos(2 * M_PI * freq / rate), q1 = 0, q2 = 0;
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i += static_cast<size_t>(channels), ++n) {
        double q0 = coeff * q1 - q2 + s[i];
        q2 = q1;
        q1 = q0;
    }
    return (q1 * q1 + q2 * q2 - q1 * q2 * coeff) / (static_cast<double>(n) * n);
}

class LameEnc : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib().handle) << dlerror();
        ASSERT_TRUE(lib().complete());
        QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe", "lame");
    }
    TempDir dir;
};

// --- settings that show in the stream -------------------------------------

TEST_F(LameEnc, CbrStereo44kMatchesTheCommandLineTool) {
    const int rate = 44100, n = rate * 2;
    auto pcm = testSignal(rate, 2, n);
    auto c = record(rate, BE_MP3_MODE_STEREO, 128);
    c.bWriteVBRHeader = 1;
    auto e = encodeFile(c, pcm, dir / "cbr.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.chunkSamples, 2304u);
    EXPECT_EQ(e.outputSize, 2880u + 7200u);
    EXPECT_EQ(e.deinitError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.headerError, BE_ERR_SUCCESSFUL);

    auto all = frames(e.file);
    ASSERT_GT(all.size(), 2u);
    EXPECT_TRUE(all.front().tag);
    size_t total = 0;
    for (const auto& f : all) total += f.size;
    EXPECT_EQ(total, fs::file_size(e.file)) << "nothing but frames";
    for (const auto& f : audioFrames(e.file)) {
        EXPECT_EQ(f.version, 1);
        EXPECT_EQ(f.kbps, 128);
        EXPECT_EQ(f.mode, 0);
        EXPECT_FALSE(f.crc);
        EXPECT_EQ(f.emphasis, 0);
    }
    auto p = ffprobe(e.file);
    EXPECT_EQ(p.rate, rate);
    EXPECT_EQ(p.channels, 2);
    EXPECT_EQ(p.bitRate, 128000);

    auto ours = decode(e.file);
    EXPECT_EQ(ours.size(), pcm.size()) << "the Info frame gives the exact length";
    auto cli = decode(lameCli(dir, pcm, rate, "-m s -b 128 --cbr -q 5"));
    expectSnrLikeCli(pcm, ours, cli, 2, 15.0);
}

// The float entry: 16-bit samples given as floats make the very same stream
// (mono and stereo); values that are not numbers, or far beyond full scale,
// encode as valid frames instead of stopping the encoder.
TEST_F(LameEnc, FloatSamplesEncodeAsTheir16BitValues) {
    ASSERT_NE(lib().encodeFloat, nullptr);
    for (const int mode : {BE_MP3_MODE_STEREO, BE_MP3_MODE_MONO}) {
        const int channels = mode == BE_MP3_MODE_MONO ? 1 : 2;
        auto pcm = testSignal(44100, channels, 44100);
        const auto c = record(44100, mode, 128);
        const auto ints = encodeFile(c, pcm, dir / "ints.mp3");
        ASSERT_EQ(ints.initError, BE_ERR_SUCCESSFUL);
        auto encodeFloats = [&](const std::vector<float>& samples) {
            HBE_STREAM stream = 0;
            uint32_t chunk = 0, room = 0;
            EXPECT_EQ(lib().init(&c, &chunk, &room, &stream), BE_ERR_SUCCESSFUL);
            std::vector<uint8_t> out(room), mp3;
            for (size_t pos = 0; pos < samples.size(); pos += chunk) {
                const auto n = static_cast<uint32_t>(std::min<size_t>(chunk, samples.size() - pos));
                uint32_t bytes = 0;
                EXPECT_EQ(lib().encodeFloat(stream, n, samples.data() + pos, out.data(), &bytes), BE_ERR_SUCCESSFUL);
                mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
            }
            uint32_t bytes = 0;
            EXPECT_EQ(lib().deinit(stream, out.data(), &bytes), BE_ERR_SUCCESSFUL);
            mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
            EXPECT_EQ(lib().close(stream), BE_ERR_SUCCESSFUL);
            return mp3;
        };
        std::vector<float> floats(pcm.size());
        for (size_t i = 0; i < pcm.size(); ++i) floats[i] = float(pcm[i]) / 32768.0f;
        EXPECT_TRUE(encodeFloats(floats) == readBytes(ints.file)) << channels << " channels";
        for (size_t i = 0; i < floats.size(); i += 97)
            floats[i] = i % 3 == 0 ? std::nanf("") : i % 3 == 1 ? INFINITY : 1e30f;
        writeBytes(dir / "odd.mp3", encodeFloats(floats));
        EXPECT_GT(audioFrames(dir / "odd.mp3").size(), 30u);
    }
}

TEST_F(LameEnc, MonoMpeg2At22kWithoutTag) {
    const int rate = 22050, n = rate * 2;
    auto pcm = testSignal(rate, 1, n);
    auto c = record(rate, BE_MP3_MODE_MONO, 64);
    auto e = encodeFile(c, pcm, dir / "mono.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.chunkSamples, 576u);
    auto all = frames(e.file);
    ASSERT_FALSE(all.empty());
    EXPECT_FALSE(all.front().tag);
    for (const auto& f : all) {
        EXPECT_EQ(f.version, 2);
        EXPECT_EQ(f.rate, rate);
        EXPECT_EQ(f.mode, 3);
        EXPECT_EQ(f.kbps, 64);
    }
    auto p = ffprobe(e.file);
    EXPECT_EQ(p.rate, rate);
    EXPECT_EQ(p.channels, 1);
    auto ours = decode(e.file);
    // No tag: the decode carries the encoder delay and the last frame's padding.
    EXPECT_GE(ours.size(), pcm.size());
    EXPECT_LE(ours.size(), pcm.size() + 3 * 576);
    EXPECT_EQ(ours.size(), all.size() * 576);
    auto cli = decode(lameCli(dir, pcm, rate, "-m m -b 64 --cbr -q 5 -t"));
    expectSnrLikeCli(pcm, ours, cli, 1, 10.0);
}

TEST_F(LameEnc, VbrNewWithHeaderGivesExactLength) {
    const int rate = 44100, n = rate * 3 + 123;
    auto pcm = testSignal(rate, 2, n);
    // Louder in the middle second, so the bitrate has something to follow.
    for (size_t i = pcm.size() / 3; i < 2 * pcm.size() / 3; ++i) pcm[i] = static_cast<int16_t>(pcm[i] / 8);
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 32);
    c.bEnableVBR = 1;
    c.nVbrMethod = BE_VBR_METHOD_NEW;
    c.nVBRQuality = 4;
    c.dwMaxBitrate = 320;
    c.bWriteVBRHeader = 1;
    auto e = encodeFile(c, pcm, dir / "vbr.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.headerError, BE_ERR_SUCCESSFUL);
    auto all = frames(e.file);
    ASSERT_FALSE(all.empty());
    ASSERT_TRUE(all.front().tag);
    auto head = readBytes(e.file);
    EXPECT_NE(std::search(head.begin(), head.begin() + 64, "Xing", "Xing" + 4), head.begin() + 64);
    std::set<int> rates;
    for (const auto& f : audioFrames(e.file)) {
        rates.insert(f.kbps);
        EXPECT_EQ(f.mode, 1);
    }
    EXPECT_GT(rates.size(), 2u) << "variable bitrate";

    auto ours = decode(e.file);
    EXPECT_EQ(ours.size(), pcm.size());
    auto cli = decode(lameCli(dir, pcm, rate, "-V 4 -b 32 -B 320 -m j -q 5"));
    expectSnrLikeCli(pcm, ours, cli, 2, 10.0);
    EXPECT_NEAR(static_cast<double>(fs::file_size(e.file)), static_cast<double>(fs::file_size(dir / "cli.mp3")),
                0.05 * static_cast<double>(fs::file_size(dir / "cli.mp3")));
}

TEST_F(LameEnc, VbrOldAndPresetsEncode) {
    const int rate = 44100, n = rate;
    auto pcm = testSignal(rate, 2, n);
    struct Case {
        int method, preset;
        uint32_t kbps;
        int quality;
        int lowpass;
    };
    // VBR old alone, then the preset records the settings object produces.
    for (Case k : {Case{BE_VBR_METHOD_OLD, 0, 32, 2, 0}, Case{BE_VBR_METHOD_OLD, BE_PRESET_R3MIX, 96, 1, 19500},
                   Case{BE_VBR_METHOD_OLD, BE_PRESET_STANDARD, 128, 1, 19000},
                   Case{BE_VBR_METHOD_OLD, BE_PRESET_EXTREME, 128, 1, 19500},
                   Case{BE_VBR_METHOD_OLD, BE_PRESET_INSANE, 320, 1, 20500}}) {
        SCOPED_TRACE(k.preset);
        auto c = record(rate, BE_MP3_MODE_JSTEREO, k.kbps);
        c.bEnableVBR = 1;
        c.nVbrMethod = k.method;
        c.nPreset = k.preset;
        c.nVBRQuality = k.quality;
        c.dwMaxBitrate = 320;
        c.nLowpassFreq = k.lowpass;
        c.nHighpassFreq = -1;
        c.nQuality = 2;
        c.bWriteVBRHeader = 1;
        auto e = encodeFile(c, pcm, dir / "preset.mp3");
        ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
        EXPECT_EQ(e.headerError, BE_ERR_SUCCESSFUL);
        auto audio = audioFrames(e.file);
        ASSERT_FALSE(audio.empty());
        for (const auto& f : audio) EXPECT_GE(f.kbps, static_cast<int>(k.kbps));
        auto ours = decode(e.file);
        EXPECT_EQ(ours.size(), pcm.size());
        EXPECT_GT(alignedSnr(pcm, ours, 2), 15.0);
    }
}

TEST_F(LameEnc, AbrFollowsItsMeanBitrate) {
    const int rate = 44100, n = rate * 3;
    auto pcm = testSignal(rate, 2, n);
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 32);
    c.bEnableVBR = 1;
    c.nVbrMethod = BE_VBR_METHOD_ABR;
    c.dwVbrAbr = 160;
    c.bWriteVBRHeader = 1;
    auto e = encodeFile(c, pcm, dir / "abr.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    auto audio = audioFrames(e.file);
    ASSERT_FALSE(audio.empty());
    double mean = 0;
    for (const auto& f : audio) mean += f.kbps;
    mean /= static_cast<double>(audio.size());
    EXPECT_NEAR(mean, 160.0, 25.0);
    auto ours = decode(e.file);
    EXPECT_EQ(ours.size(), pcm.size());
    auto cli = decode(lameCli(dir, pcm, rate, "--abr 160 -b 32 -m j -q 5"));
    expectSnrLikeCli(pcm, ours, cli, 2, 10.0);

    // The same mean given in bit/s.
    c.dwVbrAbr = 160000;
    auto e2 = encodeFile(c, pcm, dir / "abr2.mp3");
    ASSERT_EQ(e2.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(readBytes(e.file), readBytes(e2.file));
}

TEST_F(LameEnc, StereoModesShowInTheFrames) {
    const int rate = 44100, n = rate / 2;
    auto pcm = testSignal(rate, 2, n);
    struct Case {
        int mode;
        int headerMode;
        const char* cli;
    };
    for (Case k : {Case{BE_MP3_MODE_JSTEREO, 1, "-m j"}, Case{BE_MP3_MODE_FORCED_MS, 1, "-m f"},
                   Case{BE_MP3_MODE_DUALCHANNEL, 2, "-m d"}}) {
        SCOPED_TRACE(k.mode);
        auto c = record(rate, k.mode, 160);
        auto e = encodeFile(c, pcm, dir / "mode.mp3");
        ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
        auto audio = audioFrames(e.file);
        ASSERT_FALSE(audio.empty());
        int ms = 0;
        for (const auto& f : audio) {
            EXPECT_EQ(f.mode, k.headerMode);
            if (f.mode == 1 && (f.modeExt & 2)) ++ms;
        }
        if (k.mode == BE_MP3_MODE_FORCED_MS) {
            EXPECT_EQ(ms, static_cast<int>(audio.size())) << "mid/side everywhere";
        }
        EXPECT_EQ(ffprobe(e.file).channels, 2);
        auto ours = decode(e.file);
        auto cli = decode(lameCli(dir, pcm, rate, std::string(k.cli) + " -b 160 --cbr -q 5 -t"));
        expectSnrLikeCli(pcm, ours, cli, 2, 10.0);
    }
}

TEST_F(LameEnc, CrcAndEmphasisFlags) {
    const int rate = 48000;
    auto pcm = testSignal(rate, 2, rate);
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 192);
    c.bCRC = 1;
    c.dwEmphasis = 1;
    c.bWriteVBRHeader = 1;
    auto e = encodeFile(c, pcm, dir / "crc.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.headerError, BE_ERR_SUCCESSFUL);
    auto all = frames(e.file);
    ASSERT_GT(all.size(), 10u);
    for (const auto& f : all) {
        EXPECT_TRUE(f.crc);
        EXPECT_EQ(f.emphasis, 1);
        EXPECT_EQ(f.rate, rate);
    }
    // The checksums are right: a checking decoder stops at the first bad one.
    auto checked = decode(e.file, "-err_detect crccheck+explode -xerror");
    EXPECT_EQ(checked.size(), pcm.size());

    c.bCRC = 0;
    c.dwEmphasis = 3;
    auto e2 = encodeFile(c, pcm, dir / "ccitt.mp3");
    ASSERT_EQ(e2.initError, BE_ERR_SUCCESSFUL);
    for (const auto& f : frames(e2.file)) {
        EXPECT_FALSE(f.crc);
        EXPECT_EQ(f.emphasis, 3);
    }
}

TEST_F(LameEnc, LowPassAndHighPassFilters) {
    const int rate = 44100;
    auto pcm = tones(rate, 2, rate, {440.0, 8000.0});
    auto encodeWith = [&](int lowpass, int highpass, const char* name) {
        auto c = record(rate, BE_MP3_MODE_JSTEREO, 192);
        c.nLowpassFreq = lowpass;
        c.nHighpassFreq = highpass;
        auto e = encodeFile(c, pcm, dir / name);
        EXPECT_EQ(e.initError, BE_ERR_SUCCESSFUL);
        return decode(e.file);
    };
    auto open = encodeWith(-1, -1, "open.mp3");
    auto low = encodeWith(5000, -1, "low.mp3");
    auto high = encodeWith(-1, 2000, "high.mp3");
    auto db = [](double a, double b) { return 10 * std::log10(a / b); };
    EXPECT_NEAR(db(power(open, 2, rate, 8000), power(pcm, 2, rate, 8000)), 0.0, 1.0);
    EXPECT_NEAR(db(power(open, 2, rate, 440), power(pcm, 2, rate, 440)), 0.0, 1.0);
    EXPECT_LT(db(power(low, 2, rate, 8000), power(open, 2, rate, 8000)), -30.0);
    EXPECT_NEAR(db(power(low, 2, rate, 440), power(open, 2, rate, 440)), 0.0, 1.0);
    EXPECT_LT(db(power(high, 2, rate, 440), power(open, 2, rate, 440)), -30.0);
    EXPECT_NEAR(db(power(high, 2, rate, 8000), power(open, 2, rate, 8000)), 0.0, 1.0);
}

TEST_F(LameEnc, ReservoirShortBlocksAndBitrateBounds) {
    const int rate = 44100, n = rate * 2;
    // Clicks over a tone, then a stretch of digital silence.
    auto pcm = tones(rate, 2, n, {330.0});
    for (int i = 0; i < n; ++i) {
        if (i > n * 3 / 4)
            pcm[2 * i] = pcm[2 * i + 1] = 0;
        else if (i % 11025 < 40)
            pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(i % 2 ? 30000 : -30000);
    }
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 128);
    auto plain = encodeFile(c, pcm, dir / "plain.mp3");
    ASSERT_EQ(plain.initError, BE_ERR_SUCCESSFUL);
    auto count = [](const std::vector<Frame>& fs, auto pred) { return std::count_if(fs.begin(), fs.end(), pred); };
    auto plainFrames = audioFrames(plain.file);
    EXPECT_GT(count(plainFrames, [](const Frame& f) { return f.mainDataBegin > 0; }), 0);
    EXPECT_GT(count(plainFrames, [](const Frame& f) { return f.shortBlocks; }), 0);

    c.bNoRes = 1;
    c.bNoShortBlocks = 1;
    auto strict = encodeFile(c, pcm, dir / "strict.mp3");
    ASSERT_EQ(strict.initError, BE_ERR_SUCCESSFUL);
    auto strictFrames = audioFrames(strict.file);
    EXPECT_EQ(count(strictFrames, [](const Frame& f) { return f.mainDataBegin > 0; }), 0);
    EXPECT_EQ(count(strictFrames, [](const Frame& f) { return f.shortBlocks; }), 0);
    EXPECT_EQ(decode(strict.file).size(), decode(plain.file).size());

    // VBR between 128 and 160: silence may drop below the minimum unless it is enforced.
    auto v = record(rate, BE_MP3_MODE_JSTEREO, 128);
    v.bEnableVBR = 1;
    v.nVbrMethod = BE_VBR_METHOD_NEW;
    v.nVBRQuality = 2;
    v.dwMaxBitrate = 160;
    auto soft = audioFrames(encodeFile(v, pcm, dir / "soft.mp3").file);
    v.bEnforceMinBitrate = 1;
    auto hard = audioFrames(encodeFile(v, pcm, dir / "hard.mp3").file);
    ASSERT_FALSE(soft.empty());
    ASSERT_FALSE(hard.empty());
    EXPECT_GT(count(soft, [](const Frame& f) { return f.kbps < 128; }), 0);
    EXPECT_EQ(count(hard, [](const Frame& f) { return f.kbps < 128; }), 0);
    for (const auto& f : soft) EXPECT_LE(f.kbps, 160);
    for (const auto& f : hard) EXPECT_LE(f.kbps, 160);
}

TEST_F(LameEnc, ResamplingAndTuningFlags) {
    const int rate = 44100;
    auto pcm = testSignal(rate, 2, rate);
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 64);
    c.dwReSampleRate = 22050;
    c.dwMpegVersion = BE_MPEG2;
    auto e = encodeFile(c, pcm, dir / "resampled.mp3");
    ASSERT_EQ(e.initError, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(e.chunkSamples, 1152u) << "one MPEG-2 frame";
    EXPECT_EQ(e.outputSize, static_cast<uint32_t>(1.25 * 1152 + 7200));
    auto p = ffprobe(e.file);
    EXPECT_EQ(p.rate, 22050);
    auto decoded = decode(e.file);
    EXPECT_NEAR(static_cast<double>(decoded.size()), pcm.size() / 2.0, 3 * 1152.0);

    // Switching the absolute threshold off and the encoder quality change
    // what the encoder decides; the other tuning flags are taken and encode.
    auto base = readBytes(encodeFile(record(rate, BE_MP3_MODE_JSTEREO, 128), pcm, dir / "base.mp3").file);
    auto noAth = record(rate, BE_MP3_MODE_JSTEREO, 128);
    noAth.nAthMode = BE_ATH_NONE;
    EXPECT_NE(readBytes(encodeFile(noAth, pcm, dir / "noath.mp3").file), base);
    auto q = record(rate, BE_MP3_MODE_JSTEREO, 128);
    q.nQuality = 0;
    EXPECT_NE(readBytes(encodeFile(q, pcm, dir / "q0.mp3").file), base);
    for (int i = 0; i < 4; ++i) {
        auto t = record(rate, BE_MP3_MODE_JSTEREO, 128);
        if (i == 0) t.nAthMode = BE_ATH_ONLY;
        if (i == 1) t.nAthMode = BE_ATH_SHORT;
        if (i == 2) t.bStrictIso = 1;
        if (i == 3) t.bBlockTypeControl = 1;
        auto r = encodeFile(t, pcm, dir / "flag.mp3");
        ASSERT_EQ(r.initError, BE_ERR_SUCCESSFUL) << i;
        EXPECT_GT(alignedSnr(pcm, decode(r.file), 2), 15.0) << i;
    }
}

// --- refusals and handles ---------------------------------------------------

TEST_F(LameEnc, BadRecordsAreRefused) {
    uint32_t samples = 7, size = 7;
    HBE_STREAM h = 99;
    auto good = record(44100, BE_MP3_MODE_STEREO, 128);
    EXPECT_EQ(lib().init(nullptr, &samples, &size, &h), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().init(&good, nullptr, &size, &h), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().init(&good, &samples, nullptr, &h), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().init(&good, &samples, &size, nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);

    struct Case {
        const char* what;
        void (*spoil)(BE_CONFIG&);
        BE_ERR expected;
    };
    const Case cases[] = {
        {"old MP3 kind", [](BE_CONFIG& c) { c.dwConfig = BE_CONFIG_MP3; }, BE_ERR_INVALID_FORMAT},
        {"unknown kind", [](BE_CONFIG& c) { c.dwConfig = 257; }, BE_ERR_INVALID_FORMAT},
        {"short record", [](BE_CONFIG& c) { c.dwStructSize = 336; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"version 0", [](BE_CONFIG& c) { c.dwStructVersion = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"rate 44000", [](BE_CONFIG& c) { c.dwSampleRate = 44000; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"rate 0", [](BE_CONFIG& c) { c.dwSampleRate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"resample 12345", [](BE_CONFIG& c) { c.dwReSampleRate = 12345; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"MPEG-2 at 44.1k", [](BE_CONFIG& c) { c.dwMpegVersion = BE_MPEG2; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"mode 5", [](BE_CONFIG& c) { c.nMode = 5; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"mode -1", [](BE_CONFIG& c) { c.nMode = -1; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"CBR 100", [](BE_CONFIG& c) { c.dwBitrate = 100; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"CBR 0", [](BE_CONFIG& c) { c.dwBitrate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"CBR 16 in MPEG-1", [](BE_CONFIG& c) { c.dwBitrate = 16; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"CBR 192 in MPEG-2",
         [](BE_CONFIG& c) { c.dwSampleRate = 22050, c.dwMpegVersion = BE_MPEG2, c.dwBitrate = 192; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"emphasis 2", [](BE_CONFIG& c) { c.dwEmphasis = 2; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"quality 10", [](BE_CONFIG& c) { c.nQuality = 10; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"ATH mode 4", [](BE_CONFIG& c) { c.nAthMode = 4; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"low-pass -2", [](BE_CONFIG& c) { c.nLowpassFreq = -2; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"VBR quality 12", [](BE_CONFIG& c) { c.bEnableVBR = 1, c.nVBRQuality = 12; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"VBR method 5", [](BE_CONFIG& c) { c.bEnableVBR = 1, c.nVbrMethod = 5; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"ABR without mean", [](BE_CONFIG& c) { c.bEnableVBR = 1, c.nVbrMethod = BE_VBR_METHOD_ABR; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
    };
    for (const auto& k : cases) {
        auto c = good;
        k.spoil(c);
        samples = size = 7;
        h = 99;
        EXPECT_EQ(lib().init(&c, &samples, &size, &h), k.expected) << k.what;
        EXPECT_EQ(samples, 7u) << k.what;
        EXPECT_EQ(h, 99u) << k.what;
    }
    // A record shorter than its head claims is never read past its head.
    uint32_t head[3] = {BE_CONFIG_LAME, 1, 12};
    EXPECT_EQ(lib().init(reinterpret_cast<const BE_CONFIG*>(head), &samples, &size, &h),
              BE_ERR_INVALID_FORMAT_PARAMETERS);

    // Every valid rate starts; VBR bounds beyond the version's table are the encoder's to clamp.
    for (uint32_t rate : {8000u, 11025u, 12000u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u}) {
        auto c = record(rate, BE_MP3_MODE_JSTEREO, rate >= 32000 ? 32 : 8);
        c.bEnableVBR = 1;
        c.dwMaxBitrate = 320;
        ASSERT_EQ(lib().init(&c, &samples, &size, &h), BE_ERR_SUCCESSFUL) << rate;
        EXPECT_EQ(samples, rate >= 32000 ? 2304u : 1152u);
        EXPECT_EQ(lib().close(h), BE_ERR_SUCCESSFUL);
    }
}

TEST_F(LameEnc, BadCallsOnStreamsAreRefused) {
    auto c = record(44100, BE_MP3_MODE_STEREO, 128);
    uint32_t samples = 0, size = 0, bytes = 77;
    HBE_STREAM h = 0;
    ASSERT_EQ(lib().init(&c, &samples, &size, &h), BE_ERR_SUCCESSFUL);
    EXPECT_NE(h, 0u);
    std::vector<int16_t> pcm(samples + 2, 1000);
    std::vector<uint8_t> out(size);

    EXPECT_EQ(lib().encode(h + 1000, samples, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(lib().encode(0, samples, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(lib().encode(h, samples, nullptr, out.data(), &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().encode(h, samples, pcm.data(), nullptr, &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().encode(h, samples, pcm.data(), out.data(), nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().encode(h, samples + 2, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().encode(h, 3, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS) << "half a frame";
    EXPECT_EQ(lib().encode(h, 0, nullptr, nullptr, &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(lib().encode(h, samples, pcm.data(), out.data(), &bytes), BE_ERR_SUCCESSFUL);

    EXPECT_EQ(lib().deinit(h + 1000, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(lib().deinit(h, nullptr, &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().deinit(h, out.data(), nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);
    ASSERT_EQ(lib().deinit(h, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(lib().deinit(h, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(bytes, 0u) << "a second flush has nothing left";
    EXPECT_EQ(lib().encode(h, samples, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE) << "finished";

    EXPECT_EQ(lib().close(h), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(lib().close(h), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(lib().encode(h, samples, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(lib().writeHeader(nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(lib().writeHeader(""), BE_ERR_INVALID_FORMAT_PARAMETERS);

    BE_VERSION v;
    std::memset(&v, 0xAB, sizeof v);
    lib().version(&v);
    lib().version(nullptr);
    EXPECT_EQ(v.byDLLMajorVersion, 1);
    EXPECT_EQ(v.byMajorVersion, 3);
    EXPECT_GE(v.byMinorVersion, 99);
    EXPECT_GE(v.wYear, 2024);
    EXPECT_LT(std::strlen(v.zHomepage), sizeof v.zHomepage);
    EXPECT_NE(std::string(v.zHomepage).find("lame"), std::string::npos);
}

TEST_F(LameEnc, TagIsWrittenOnlyIntoItsOwnStream) {
    const int rate = 44100;
    auto pcm = testSignal(rate, 2, rate);
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 128);
    c.bWriteVBRHeader = 1;
    // Encodes whole chunks into 'file'; the tag is left to the caller.
    auto run = [&](const fs::path& file) {
        uint32_t samples = 0, size = 0, bytes = 0;
        HBE_STREAM h = 0;
        EXPECT_EQ(lib().init(&c, &samples, &size, &h), BE_ERR_SUCCESSFUL);
        std::vector<uint8_t> out(size), mp3;
        for (size_t pos = 0; pos + samples <= pcm.size(); pos += samples) {
            EXPECT_EQ(lib().encode(h, samples, pcm.data() + pos, out.data(), &bytes), BE_ERR_SUCCESSFUL);
            mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
        }
        EXPECT_EQ(lib().deinit(h, out.data(), &bytes), BE_ERR_SUCCESSFUL);
        mp3.insert(mp3.end(), out.begin(), out.begin() + bytes);
        EXPECT_EQ(lib().close(h), BE_ERR_SUCCESSFUL);
        writeBytes(file, mp3);
        return mp3;
    };
    auto mp3 = run(dir / "a.mp3");

    // Missing, foreign, truncated and grown files are left alone.
    EXPECT_NE(lib().writeHeader((dir / "missing.mp3").c_str()), BE_ERR_SUCCESSFUL);
    std::vector<uint8_t> foreign(mp3.size(), 0x55);
    writeBytes(dir / "foreign.mp3", foreign);
    EXPECT_EQ(lib().writeHeader((dir / "foreign.mp3").c_str()), BE_ERR_INVALID_FORMAT);
    EXPECT_EQ(readBytes(dir / "foreign.mp3"), foreign);
    std::vector<uint8_t> truncated(mp3.begin(), mp3.end() - 100);
    writeBytes(dir / "truncated.mp3", truncated);
    EXPECT_EQ(lib().writeHeader((dir / "truncated.mp3").c_str()), BE_ERR_INVALID_FORMAT);
    EXPECT_EQ(readBytes(dir / "truncated.mp3"), truncated);
    EXPECT_NE(lib().writeHeader(dir.path().c_str()), BE_ERR_SUCCESSFUL) << "a folder";

    // Behind an ID3v2 tag the frame is still found.
    std::vector<uint8_t> tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
    tagged.resize(30, 0);
    tagged.insert(tagged.end(), mp3.begin(), mp3.end());
    writeBytes(dir / "tagged.mp3", tagged);
    ASSERT_EQ(lib().writeHeader((dir / "tagged.mp3").c_str()), BE_ERR_SUCCESSFUL);
    auto written = readBytes(dir / "tagged.mp3");
    ASSERT_EQ(written.size(), tagged.size());
    EXPECT_TRUE(std::equal(written.begin(), written.begin() + 30, tagged.begin()));
    EXPECT_EQ(std::string(written.begin() + 30 + 36, written.begin() + 30 + 40), "Info");
    EXPECT_EQ(lib().writeHeader((dir / "a.mp3").c_str()), BE_ERR_INVALID_HANDLE) << "the tag went to the first taker";

    // Two threads finishing streams at once each get their own tag.
    std::vector<BE_ERR> results(2, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            auto file = dir / ("thread" + std::to_string(t) + ".mp3");
            run(file);
            results[static_cast<size_t>(t)] = lib().writeHeader(file.c_str());
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(results[0], BE_ERR_SUCCESSFUL);
    EXPECT_EQ(results[1], BE_ERR_SUCCESSFUL);
    EXPECT_EQ(readBytes(dir / "thread0.mp3"), readBytes(dir / "thread1.mp3"));
    EXPECT_EQ(decode(dir / "thread0.mp3").size(), pcm.size() / 2304 * 2304);
}

TEST_F(LameEnc, InterleavedStreamsDoNotShareState) {
    const int rate = 32000;
    auto a = testSignal(rate, 2, rate / 2);
    auto b = tones(rate, 2, rate / 2, {1000.0});
    auto c = record(rate, BE_MP3_MODE_JSTEREO, 96);
    auto alone = [&](const std::vector<int16_t>& pcm, const char* name) {
        return readBytes(encodeFile(c, pcm, dir / name).file);
    };
    auto soloA = alone(a, "a.mp3"), soloB = alone(b, "b.mp3");

    uint32_t samples = 0, size = 0, bytes = 0;
    HBE_STREAM ha = 0, hb = 0;
    ASSERT_EQ(lib().init(&c, &samples, &size, &ha), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(lib().init(&c, &samples, &size, &hb), BE_ERR_SUCCESSFUL);
    EXPECT_NE(ha, hb);
    std::vector<uint8_t> out(size), outA, outB;
    for (size_t pos = 0; pos < a.size(); pos += samples) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(samples, a.size() - pos));
        ASSERT_EQ(lib().encode(ha, n, a.data() + pos, out.data(), &bytes), BE_ERR_SUCCESSFUL);
        outA.insert(outA.end(), out.begin(), out.begin() + bytes);
        ASSERT_EQ(lib().encode(hb, n, b.data() + pos, out.data(), &bytes), BE_ERR_SUCCESSFUL);
        outB.insert(outB.end(), out.begin(), out.begin() + bytes);
    }
    ASSERT_EQ(lib().deinit(hb, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    outB.insert(outB.end(), out.begin(), out.begin() + bytes);
    ASSERT_EQ(lib().deinit(ha, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    outA.insert(outA.end(), out.begin(), out.begin() + bytes);
    EXPECT_EQ(lib().close(ha), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(lib().close(hb), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(outA, soloA);
    EXPECT_EQ(outB, soloB);

    // Handles are reused safely and the table has a limit.
    std::vector<HBE_STREAM> open;
    BE_ERR last = BE_ERR_SUCCESSFUL;
    for (int i = 0; i < 400 && last == BE_ERR_SUCCESSFUL; ++i) {
        HBE_STREAM h = 0;
        last = lib().init(&c, &samples, &size, &h);
        if (last == BE_ERR_SUCCESSFUL) open.push_back(h);
    }
    EXPECT_EQ(last, BE_ERR_NO_MORE_HANDLES);
    EXPECT_EQ(std::set<HBE_STREAM>(open.begin(), open.end()).size(), open.size());
    for (HBE_STREAM h : open) EXPECT_EQ(lib().close(h), BE_ERR_SUCCESSFUL);
}

}  // namespace
