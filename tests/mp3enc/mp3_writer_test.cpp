// The engine's MP3 tracks driven as the engine drives them: created from a
// request, fed PCM in uneven pieces, finished. Both paths: the encoder library
// (lame_enc.so from the build) and the codec manager's Layer-3 encoder (the
// library missing or not chosen). Output checked with ffprobe, ffmpeg, mpg123
// and the lame command-line tool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "containers/mp3_writer.h"
#include "mp3_check.h"
#include "qoro/AudioFile.h"

namespace t = qoro::test;
namespace af = qoro::audiofile;
namespace st = qoro::audiofile::status;
using namespace mp3check;

namespace {

std::shared_ptr<const af::LameLibrary> library() {
    static auto lib = af::LameLibrary::bind({QORO_LAME_ENC_SO});
    return lib;
}

std::shared_ptr<const af::LameLibrary> missingLibrary() {
    return af::LameLibrary::bind({"/nonexistent/folder/lame_enc.so"});
}

af::EngineSettings settingsFor(long rate, long kbps, int channels, long encoder = LAME) {
    af::EngineSettings s;
    af::setFormatMp3(s.mp3, rate, kbps, channels);
    s.mp3.normalise();
    s.mp3Encoder = static_cast<int32_t>(encoder);
    return s;
}

// Writes `pcm` through a freshly created track in uneven pieces, as the
// engine hands over whatever WriteFile brought; returns the finish status.
int16_t writeThrough(const af::EngineSettings& settings, std::shared_ptr<const af::LameLibrary> lib,
                     const t::fs::path& path, const std::vector<int16_t>& pcm, int channels) {
    std::unique_ptr<af::Track> track;
    af::CreateRequest request{path.string(), MP3, &settings};
    const int16_t created = af::createMp3With(request, std::move(lib), track);
    EXPECT_EQ(created, st::kOk);
    if (created != st::kOk || !track) return created;
    // The encoder takes floats where the library has the entry for them, as
    // the engine widens 16-bit samples for it.
    const bool floats = track->fileFormat().wFormatTag == 3;
    std::vector<uint8_t> wide(pcm.size() * (floats ? 4 : 2));
    for (size_t i = 0; i < pcm.size(); ++i) {
        const float f = float(pcm[i]) / 32768.0f;
        if (floats)
            std::memcpy(wide.data() + 4 * i, &f, 4);
        else
            std::memcpy(wide.data() + 2 * i, &pcm[i], 2);
    }
    const auto* bytes = wide.data();
    const size_t frameBytes = size_t(channels) * (floats ? 4 : 2);
    const size_t total = wide.size();
    size_t pos = 0;
    size_t step = 1000 * frameBytes + frameBytes * 7;
    while (pos < total) {
        const size_t n = std::min(step, total - pos);
        EXPECT_EQ(track->encode(bytes + pos, n), st::kOk);
        pos += n;
        step = step == 1 * frameBytes ? 4410 * frameBytes : step / 3 + frameBytes;  // uneven sizes
        if (step < frameBytes) step = frameBytes;
    }
    return track->finish(total / frameBytes);
}

}  // namespace

// --- the configuration record and the codec-manager format ------------------

TEST(Mp3Config, RecordCarriesTheSettings) {
    af::Mp3Settings s;
    s.frequency = 48000;
    s.channels = 2;
    s.bitrate = 160;
    s.stereoType = FORCEDJOINTSTEREO;
    s.maxVbrBitrate = 256;
    s.vbrMethod = VBR_DEFAULT;
    s.vbrQuality = 3;
    s.encoderQuality = 2;
    s.errorProtection = 1;
    s.emphasis = 1;
    s.noBitReservoir = 1;
    s.strictIsoCompliance = 1;
    s.lowPassFrequency = 16000;
    s.highPassFrequency = 80;
    s.lowPassWidth = 900;
    s.athMode = 2;
    s.presetMode = 3;
    const BE_CONFIG c = af::lameConfigFor(s);
    uint8_t raw[sizeof(BE_CONFIG)];
    std::memcpy(raw, &c, sizeof raw);
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, raw + at, 4);
        return v;
    };
    auto i16 = [&](size_t at) {
        int16_t v;
        std::memcpy(&v, raw + at, 2);
        return v;
    };
    EXPECT_EQ(u32(0), 256u);
    EXPECT_EQ(u32(4), 1u);
    EXPECT_EQ(u32(8), 337u);
    EXPECT_EQ(u32(12), 48000u);
    EXPECT_EQ(u32(20), 4u);
    EXPECT_EQ(u32(24), 160u);
    EXPECT_EQ(u32(28), 256u);
    EXPECT_EQ(u32(32), 12000u);
    EXPECT_EQ(u32(36), 1u);
    EXPECT_EQ(u32(44), 1u);
    EXPECT_EQ(u32(52), 1u);
    EXPECT_EQ(u32(64), 1u);
    EXPECT_EQ(u32(68), 1u);
    EXPECT_EQ(u32(72), 3u);
    EXPECT_EQ(u32(76), 0u);
    EXPECT_EQ(u32(80), 0u);
    EXPECT_EQ(u32(84), 1u);
    EXPECT_EQ(u32(96), 1u);
    EXPECT_EQ(static_cast<int32_t>(u32(104)), 16000);
    EXPECT_EQ(static_cast<int32_t>(u32(108)), 80);
    EXPECT_EQ(u32(112), 900u);
    EXPECT_EQ(i16(120), 2);
    EXPECT_EQ(i16(122), 2);
    for (size_t i = 124; i < sizeof raw; ++i) ASSERT_EQ(raw[i], 0) << i;
    for (size_t at : {16u, 40u, 48u, 56u, 60u}) EXPECT_EQ(u32(at), 0u) << at;
}

TEST(Mp3Config, ModesPresetsAbrAndVbrHeaderRules) {
    af::Mp3Settings s;
    s.channels = 1;
    EXPECT_EQ(af::lameConfigFor(s).nMode, BE_MP3_MODE_MONO);
    s.channels = 2;
    const std::pair<int16_t, int32_t> modes[] = {
        {SIMPLY, 0}, {JOINTSTEREO, 1}, {FORCEDJOINTSTEREO, 4}, {DUALCHANNEL, 2}};
    for (auto [type, mode] : modes) {
        s.stereoType = type;
        EXPECT_EQ(af::lameConfigFor(s).nMode, mode) << type;
    }
    const std::pair<int16_t, int32_t> presets[] = {{0, 0}, {1, 4}, {2, 11000}, {3, 12000}, {4, 13000}};
    for (auto [mode, code] : presets) {
        s.presetMode = mode;
        EXPECT_EQ(af::lameConfigFor(s).nPreset, code) << mode;
    }
    s.presetMode = 0;
    // ABR: no maximum, the ABR bitrate at offset 76; VBR enabled.
    s.vbrMethod = VBR_ABR;
    s.abrBitrate = 160;
    s.maxVbrBitrate = 256;
    BE_CONFIG c = af::lameConfigFor(s);
    EXPECT_EQ(c.dwMaxBitrate, 0u);
    EXPECT_EQ(c.dwVbrAbr, 160u);
    EXPECT_EQ(c.bEnableVBR, 1u);
    EXPECT_EQ(c.nVbrMethod, 4);
    s.vbrMethod = VBR_NONE;
    c = af::lameConfigFor(s);
    EXPECT_EQ(c.bEnableVBR, 0u);
    EXPECT_EQ(c.dwVbrAbr, 0u);
    EXPECT_EQ(c.nVbrMethod, -1);
    // The VBR header is never asked for at 11025, 12000 and 22050 Hz.
    s.writeVbrHeader = 1;
    for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L}) {
        s.frequency = static_cast<int32_t>(rate);
        c = af::lameConfigFor(s);
        const bool allowed = rate != 11025 && rate != 12000 && rate != 22050;
        EXPECT_EQ(c.bWriteVBRHeader, allowed ? 1u : 0u) << rate;
        EXPECT_EQ(af::vbrHeaderAllowedAt(rate), allowed);
        EXPECT_EQ(c.dwMpegVersion, rate >= 32000 ? 1u : 2u) << rate;
    }
}

TEST(Mp3Config, PresetsAndCommandLinesReachTheRecord) {
    // Presets 1..11 and 101..105 change the record the library receives.
    for (int preset : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 101, 102, 103, 104, 105}) {
        af::Mp3Settings s;
        s.applyPreset(preset);
        const BE_CONFIG c = af::lameConfigFor(s);
        EXPECT_EQ(c.dwBitrate, static_cast<uint32_t>(s.bitrate)) << preset;
        EXPECT_EQ(c.dwSampleRate, static_cast<uint32_t>(s.frequency)) << preset;
        EXPECT_EQ(c.nVbrMethod, s.vbrMethod) << preset;
        EXPECT_EQ(c.bEnableVBR, s.vbrMethod >= 0 ? 1u : 0u) << preset;
        EXPECT_EQ(c.nQuality, s.encoderQuality) << preset;
    }
    af::Mp3Settings s;
    ASSERT_TRUE(s.applyCommandLine("-b 192 -m j --abr 160"));
    BE_CONFIG c = af::lameConfigFor(s);
    EXPECT_EQ(c.dwBitrate, 192u);
    EXPECT_EQ(c.nMode, BE_MP3_MODE_JSTEREO);
    EXPECT_EQ(c.nVbrMethod, BE_VBR_METHOD_ABR);
    EXPECT_EQ(c.dwVbrAbr, 192u);  // raised to at least the bitrate
    EXPECT_EQ(c.dwMaxBitrate, 0u);
}

TEST(Mp3Config, Layer3RecordAndFirstHeader) {
    af::Mp3Settings s;
    af::setFormatMp3(s, 44100, 128, 2);
    acm::MPEGLAYER3WAVEFORMAT f = af::layer3FormatFor(s);
    EXPECT_EQ(f.wfx.wFormatTag, 85);
    EXPECT_EQ(f.wfx.nChannels, 2);
    EXPECT_EQ(f.wfx.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.wfx.nAvgBytesPerSec, 16000u);
    EXPECT_EQ(f.wfx.nBlockAlign, 1);
    EXPECT_EQ(f.wfx.wBitsPerSample, 0);
    EXPECT_EQ(f.wfx.cbSize, 12);
    EXPECT_EQ(f.wID, 1);
    EXPECT_EQ(f.fdwFlags, 2u);
    EXPECT_EQ(f.nBlockSize, 417);
    EXPECT_EQ(f.nFramesPerBlock, 1);
    EXPECT_EQ(f.nCodecDelay, 1393);
    std::array<uint8_t, 4> h{};
    ASSERT_EQ(af::layer3FirstHeader(f, h), st::kOk);
    EXPECT_EQ(h, (std::array<uint8_t, 4>{0xFF, 0xFB, 0x90, 0x04}));

    // Half the block below 32 kHz; MPEG-2 table; mono channel mode.
    af::setFormatMp3(s, 22050, 64, 1);
    f = af::layer3FormatFor(s);
    EXPECT_EQ(f.nBlockSize, 64 * 144000 / 22050 / 2);
    ASSERT_EQ(af::layer3FirstHeader(f, h), st::kOk);
    EXPECT_EQ(h, (std::array<uint8_t, 4>{0xFF, 0xF3, 0x80, 0xC4}));
    af::setFormatMp3(s, 8000, 8, 1);
    ASSERT_EQ(af::layer3FirstHeader(af::layer3FormatFor(s), h), st::kOk);
    EXPECT_EQ(h, (std::array<uint8_t, 4>{0xFF, 0xE3, 0x18, 0xC4}));
    af::setFormatMp3(s, 48000, 32, 2);
    ASSERT_EQ(af::layer3FirstHeader(af::layer3FormatFor(s), h), st::kOk);
    EXPECT_EQ(h, (std::array<uint8_t, 4>{0xFF, 0xFB, 0x14, 0x04}));
    // More than two channels become two.
    af::setFormatMp3(s, 44100, 128, 6);
    EXPECT_EQ(af::layer3FormatFor(s).wfx.nChannels, 2);

    // Refusals: bitrates outside the list, 8-24 kbit/s at MPEG-1 rates, odd rates.
    for (auto [rate, kbps] : {std::pair{44100L, 160L},
                              {44100L, 320L},
                              {44100L, 8L},
                              {48000L, 24L},
                              {22050L, 144L},
                              {44000L, 128L},
                              {96000L, 128L}}) {
        af::setFormatMp3(s, rate, kbps, 2);
        EXPECT_EQ(af::layer3FirstHeader(af::layer3FormatFor(s), h), st::kFormatFile) << rate << " " << kbps;
    }
}

TEST(Mp3Binding, MissingOrIncompleteLibraryIsNotAvailable) {
    EXPECT_FALSE(missingLibrary()->available());
    // A library without the entry points (the C library itself).
    EXPECT_FALSE(af::LameLibrary::bind({"libm.so.6"})->available());
    auto lib = library();
    ASSERT_TRUE(lib->available()) << QORO_LAME_ENC_SO;
    EXPECT_NE(lib->writeVbrHeader, nullptr);
    // The default places: beside the program (bin folder), then by plain name.
    const auto candidates = af::LameLibrary::defaultCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates.back(), "lame_enc.so");
    EXPECT_EQ(t::fs::path(candidates.front()).filename(), "lame_enc.so");
    EXPECT_TRUE(af::LameLibrary::bind(candidates)->available());
}

// --- the encoder library path ------------------------------------------------

TEST(Mp3LamePath, CbrStereoMatchesTheLameToolAndIsExact) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "mpg123", "lame");
    t::TempDir dir;
    const int rate = 44100;
    const auto pcm = t::testSignal(rate, 2, rate);
    auto s = settingsFor(rate, 128, 2);
    s.mp3.stereoType = JOINTSTEREO;
    s.mp3.lowPassFrequency = 0;  // the encoder's own choice, as the tool makes it
    const auto mine = dir / "mine.mp3";
    ASSERT_EQ(writeThrough(s, library(), mine, pcm, 2), st::kOk);

    const auto bytes = t::readBytes(mine);
    const auto fr = frames(bytes);
    ASSERT_GT(fr.size(), 35u);
    EXPECT_EQ(fr.back().offset + fr.back().length, bytes.size());  // nothing but frames
    for (const Frame& f : fr) {
        ASSERT_EQ(f.kbps, 128);
        ASSERT_EQ(f.rate, rate);
    }
    const Tag tag = tagOf(bytes, fr.front());
    ASSERT_TRUE(tag.present);
    EXPECT_EQ(tag.id, "Info");
    ASSERT_TRUE(tag.hasFrameCount);
    EXPECT_EQ(tag.frameCount, fr.size() - 1);

    const Probe info = probe(mine);
    EXPECT_EQ(info.rate, "44100");
    EXPECT_EQ(info.channels, "2");
    EXPECT_EQ(info.bitrate, "128000");

    // Gapless decoding (the Info tag's delay and padding) gives the length written.
    const auto decoded = decodeFfmpeg(mine, dir / "mine.raw");
    EXPECT_NEAR(double(decoded.size()), double(pcm.size()), 2.0 * 1152);
    const auto viaMpg123 = decodeMpg123(mine, dir / "mine2.raw");
    EXPECT_NEAR(double(viaMpg123.size()), double(pcm.size()), 2.0 * 1152);

    // The lame tool with the same settings on the same input: joint stereo
    // with the encoder's low-pass, and the component's defaults (simple
    // stereo, no low-pass filter).
    t::writeWav16(dir / "in.wav", rate, 2, pcm);
    auto defaults = settingsFor(rate, 128, 2);
    const auto mineDefaults = dir / "defaults.mp3";
    ASSERT_EQ(writeThrough(defaults, library(), mineDefaults, pcm, 2), st::kOk);
    const std::pair<t::fs::path, std::string> cases[] = {{mine, "-m j"}, {mineDefaults, "-m s --lowpass -1"}};
    for (const auto& [ours, options] : cases) {
        const auto theirs = dir / "theirs.mp3";
        ASSERT_EQ(t::run("lame --quiet -b 128 -q 5 " + options + " " + t::shellQuote((dir / "in.wav").string()) + " " +
                         t::shellQuote(theirs.string()))
                      .exitCode,
                  0);
        const auto reference = decodeFfmpeg(theirs, dir / "theirs.raw");
        const double snrMine = t::snrDb(pcm, decodeFfmpeg(ours, dir / "ours.raw"));
        const double snrTheirs = t::snrDb(pcm, reference);
        EXPECT_GT(snrMine, 10.0);
        EXPECT_NEAR(snrMine, snrTheirs, 0.1) << options << ": ours " << snrMine << " dB, lame " << snrTheirs << " dB";
        std::printf("[ snr      ] lame %s: ours %.3f dB, lame tool %.3f dB\n", options.c_str(), snrMine, snrTheirs);
    }
}

TEST(Mp3LamePath, VbrAndAbrCarryAValidXingTag) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "mpg123");
    t::TempDir dir;
    const int rate = 44100;
    const auto pcm = t::testSignal(rate, 2, rate);
    for (int16_t method : {int16_t(VBR_DEFAULT), int16_t(VBR_ABR)}) {
        auto s = settingsFor(rate, 32, 2);
        s.mp3.vbrMethod = method;
        s.mp3.abrBitrate = 160;
        s.mp3.maxVbrBitrate = 320;
        s.mp3.normalise();
        const auto path = dir / ("vbr" + std::to_string(method) + ".mp3");
        ASSERT_EQ(writeThrough(s, library(), path, pcm, 2), st::kOk);
        const auto bytes = t::readBytes(path);
        const auto fr = frames(bytes);
        ASSERT_GT(fr.size(), 30u);
        EXPECT_EQ(fr.back().offset + fr.back().length, bytes.size());
        const Tag tag = tagOf(bytes, fr.front());
        ASSERT_TRUE(tag.present) << method;
        EXPECT_EQ(tag.id, "Xing");
        ASSERT_TRUE(tag.hasFrameCount);
        EXPECT_EQ(tag.frameCount, fr.size() - 1);
        int lo = 1000, hi = 0;
        for (size_t i = 1; i < fr.size(); ++i) lo = std::min(lo, fr[i].kbps), hi = std::max(hi, fr[i].kbps);
        EXPECT_LT(lo, hi) << "bitrate varies";
        const auto decoded = decodeFfmpeg(path, dir / "vbr.raw");
        EXPECT_NEAR(double(decoded.size()), double(pcm.size()), 2.0 * 1152);
        EXPECT_GT(t::snrDb(pcm, decoded), 10.0);
    }
}

TEST(Mp3LamePath, MonoLowRatesAndNoVbrHeaderAt22050) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "mpg123");
    t::TempDir dir;
    for (auto [rate, kbps, channels] : {std::tuple{22050, 64, 2}, {16000, 64, 1}, {48000, 96, 1}}) {
        const auto pcm = t::testSignal(rate, channels, rate);
        auto s = settingsFor(rate, kbps, channels);
        s.mp3.writeVbrHeader = 1;
        const auto path = dir / ("r" + std::to_string(rate) + ".mp3");
        ASSERT_EQ(writeThrough(s, library(), path, pcm, channels), st::kOk);
        const auto bytes = t::readBytes(path);
        const auto fr = frames(bytes);
        ASSERT_FALSE(fr.empty());
        EXPECT_EQ(fr.front().rate, rate);
        EXPECT_EQ(fr.front().channels, channels);
        EXPECT_EQ(tagOf(bytes, fr.front()).present, rate != 22050) << rate;
        const Probe info = probe(path);
        EXPECT_EQ(info.rate, std::to_string(rate));
        EXPECT_EQ(info.channels, std::to_string(channels));
        const auto decoded = decodeMpg123(path, dir / "r.raw");
        // Without the tag the decoder keeps the encoder's delay and padding.
        EXPECT_GE(decoded.size() + 2u * 1152u * unsigned(channels), pcm.size());
        EXPECT_LE(decoded.size(), pcm.size() + 4u * 1152u * unsigned(channels));
    }
}

TEST(Mp3LamePath, ShortWriteIsNotDropped) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "mpg123");
    t::TempDir dir;
    // Less than one encoder chunk, and a tail short of a chunk after whole ones.
    for (int frames : {1000, 1152 * 5 + 300}) {
        const auto pcm = t::testSignal(44100, 2, frames, 0.7);
        const auto path = dir / "short.mp3";
        ASSERT_EQ(writeThrough(settingsFor(44100, 128, 2), library(), path, pcm, 2), st::kOk);
        const auto decoded = decodeFfmpeg(path, dir / "short.raw");
        EXPECT_NEAR(double(decoded.size()), double(pcm.size()), 64.0) << frames;
    }
}

TEST(Mp3LamePath, FailuresLeaveNoFileAndReportTheirStatus) {
    t::TempDir dir;
    std::unique_ptr<af::Track> track;
    // The library refuses the rate: FORMATNOTSUPPORT, and no file.
    auto bad = settingsFor(44000, 128, 2);
    af::CreateRequest request{(dir / "bad.mp3").string(), MP3, &bad};
    EXPECT_EQ(af::createMp3With(request, library(), track), st::kFormatNotSupport);
    EXPECT_FALSE(t::fs::exists(dir / "bad.mp3"));
    EXPECT_EQ(track, nullptr);
    // A folder that does not exist: FILEACCESS on both paths.
    auto good = settingsFor(44100, 128, 2);
    af::CreateRequest nowhere{(dir / "no" / "such.mp3").string(), MP3, &good};
    EXPECT_EQ(af::createMp3With(nowhere, library(), track), st::kFileAccess);
    EXPECT_EQ(af::createMp3With(nowhere, nullptr, track), st::kFileAccess);
    // A settings record without channels.
    auto none = settingsFor(44100, 128, 2);
    none.mp3.channels = 0;
    af::CreateRequest zero{(dir / "zero.mp3").string(), MP3, &none};
    EXPECT_EQ(af::createMp3With(zero, library(), track), st::kFormatNotSupport);
    EXPECT_FALSE(t::fs::exists(dir / "zero.mp3"));
}

TEST(Mp3LamePath, TrackDescribesItselfAndRefusesToRead) {
    t::TempDir dir;
    auto s = settingsFor(44100, 128, 2);
    std::unique_ptr<af::Track> track;
    af::CreateRequest request{(dir / "d.mp3").string(), MP3, &s};
    ASSERT_EQ(af::createMp3With(request, library(), track), st::kOk);
    EXPECT_EQ(track->kind(), af::ContainerKind::Mpeg);
    EXPECT_EQ(af::tagOf(track->fullFormat()), 85);
    // the library's float entry takes the samples
    EXPECT_EQ(track->fileFormat().wFormatTag, 3);
    EXPECT_EQ(track->fileFormat().nSamplesPerSec, 44100u);
    EXPECT_EQ(track->fileFormat().nChannels, 2);
    EXPECT_EQ(track->fileFormat().wBitsPerSample, 32);
    EXPECT_EQ(track->describe(), af::mp3Description(s.mp3, LAME));
    std::vector<uint8_t> out;
    EXPECT_EQ(track->decode(4096, out), 0);
    EXPECT_EQ(track->finish(0), st::kOk);
    EXPECT_EQ(track->encode(out.data(), 0), st::kFileAccess);  // finished
}

// --- the codec manager path --------------------------------------------------

TEST(Mp3AcmPath, MissingLibraryFallsBackAndStartsWithTheHeader) {
    QORO_REQUIRE_TOOLS("ffprobe", "ffmpeg", "mpg123");
    t::TempDir dir;
    const int rate = 44100;
    const auto pcm = t::testSignal(rate, 2, rate * 2);
    const auto path = dir / "acm.mp3";
    // LAME chosen, but the library is missing: the codec manager encodes.
    ASSERT_EQ(writeThrough(settingsFor(rate, 128, 2, LAME), missingLibrary(), path, pcm, 2), st::kOk);
    const auto bytes = t::readBytes(path);
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0xFF, 0xFB, 0x90, 0x04}));
    const auto fr = frames(bytes, 4);
    ASSERT_GT(fr.size(), 50u);
    for (const Frame& f : fr) ASSERT_EQ(f.kbps, 128);
    const Probe info = probe(path);
    EXPECT_EQ(info.rate, "44100");
    EXPECT_EQ(info.channels, "2");
    for (auto decoded : {decodeFfmpeg(path, dir / "a.raw"), decodeMpg123(path, dir / "b.raw")}) {
        EXPECT_GE(decoded.size() + 1152u * 2, pcm.size());
        EXPECT_LE(decoded.size(), pcm.size() + 4u * 1152 * 2);
        // Aligned where the signal agrees best, within the encoder's delay.
        EXPECT_GT(alignedSnr(pcm, decoded, 2, 6000), 10.0);
    }
}

TEST(Mp3AcmPath, ChosenEvenWithTheLibraryAndRefusesOtherBitrates) {
    t::TempDir dir;
    std::unique_ptr<af::Track> track;
    auto s = settingsFor(44100, 128, 2, ACM_DRIVER_IN);
    af::CreateRequest request{(dir / "c.mp3").string(), MP3, &s};
    ASSERT_EQ(af::createMp3With(request, library(), track), st::kOk);
    EXPECT_EQ(track->describe(), af::mp3Description(s.mp3, ACM_DRIVER_IN));
    EXPECT_EQ(af::tagOf(track->fullFormat()), 85);
    EXPECT_EQ(af::recordBytes(track->fullFormat()).size(), 30u);
    EXPECT_EQ(track->finish(0), st::kOk);
    const auto bytes = t::readBytes(dir / "c.mp3");
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes[1], 0xFB);

    auto s160 = settingsFor(44100, 160, 2, ACM_DRIVER_IN);
    af::CreateRequest refused{(dir / "r.mp3").string(), MP3, &s160};
    track.reset();
    EXPECT_EQ(af::createMp3With(refused, library(), track), st::kFormatFile);
    EXPECT_EQ(af::createMp3With(refused, nullptr, track), st::kFormatFile);
    EXPECT_FALSE(t::fs::exists(dir / "r.mp3"));
}
