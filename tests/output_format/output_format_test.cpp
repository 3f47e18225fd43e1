// Output format selection: accepted sets and silent refusals, the records
// built for every format (block alignments, byte rates, extra bytes), what is
// stored for the codecs of our own, and the description texts.
#include "output_format/output_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "acm/acm.h"
#include "qoro/AudioFile.h"

namespace {

using namespace qoro::audiofile;

uint16_t at16(const FullFormat& f, size_t i) { return static_cast<uint16_t>(f[i] | (f[i + 1] << 8)); }

void expectSame(const FormatState& a, const FormatState& b) {
    EXPECT_EQ(a.full, b.full);
    EXPECT_EQ(0, std::memcmp(&a.file, &b.file, sizeof a.file));
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.bitrate, b.bitrate);
    EXPECT_EQ(a.description, b.description);
}

// A state that differs from the initial one in every field.
FormatState chosen() {
    FormatState s = FormatState::initial();
    EXPECT_EQ(setFormatPcm(s, 11025, 1, 8), 1);
    return s;
}

TEST(OutputFormat, InitialStateIsCdPcm) {
    const FormatState s = FormatState::initial();
    EXPECT_EQ(s.type, WAV);
    EXPECT_EQ(s.file.nSamplesPerSec, 44100u);
    EXPECT_EQ(s.file.nChannels, 2);
    EXPECT_EQ(s.file.wBitsPerSample, 16);
    EXPECT_EQ(s.file.nBlockAlign, 4);
    EXPECT_EQ(s.file.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(headerOf(s.full).wFormatTag, 1);
    EXPECT_EQ(s.description, acm::describe(recordBytes(s.full)));
    EXPECT_FALSE(s.description.empty());
}

TEST(OutputFormat, PcmAcceptsItsSetAndBuildsTheRecord) {
    for (long f : {1000, 6000, 8000, 11025, 12345, 22050, 44100, 48000, 96000, 176400, 384000})
        for (long c : {1, 2})
            for (long b : {8, 16}) {
                FormatState s = FormatState::initial();
                const long align = setFormatPcm(s, f, c, b);
                ASSERT_EQ(align, c * b / 8) << f << "/" << c << "/" << b;
                const auto h = headerOf(s.full);
                EXPECT_EQ(h.wFormatTag, 1);
                EXPECT_EQ(h.nSamplesPerSec, uint32_t(f));
                EXPECT_EQ(h.nAvgBytesPerSec, uint32_t(f * align));
                EXPECT_EQ(s.bitrate, f * align * 8);
                EXPECT_EQ(s.type, WAV);
                EXPECT_EQ(0, std::memcmp(&s.file, s.full.data(), 16));  // PCM form is the record
                EXPECT_EQ(s.description, acm::describe(recordBytes(s.full)));
            }
    FormatState s = FormatState::initial();
    EXPECT_EQ(setFormatPcm(s, 44100, 2, 16), 4);
    EXPECT_EQ(s.bitrate, 1411200);
}

TEST(OutputFormat, RefusalsChangeNothing) {
    const FormatState before = chosen();
    OutputSettings settings;
    const OutputSettings settingsBefore = settings;
    struct Refusal {
        const char* what;
        long result;
    };
    FormatState s = before;
    const Refusal refusals[] = {
        {"PCM 999 Hz", setFormatPcm(s, 999, 1, 16)},
        {"PCM 12 bits", setFormatPcm(s, 44100, 2, 12)},
        {"PCM 3 channels", setFormatPcm(s, 44100, 3, 16)},
        {"PCM 384001 Hz", setFormatPcm(s, 384001, 2, 16)},
        {"A-law 16 kHz", setFormatAlaw(s, 16000, 1)},
        {"u-law 0 channels", setFormatUlaw(s, 8000, 0)},
        {"ADPCM 48 kHz", setFormatAdpcm(s, 48000, 2)},
        {"GSM 16 kHz", setFormatGsm(s, 16000)},
        // no driver is installed for these
        {"TrueSpeech", setFormatDsp(s)},
        {"MobileVoice", setFormatMobileVoice(s, 8000)},
        {"MobileVoice 11 kHz", setFormatMobileVoice(s, 11025)},
        {"ALF2CD", setFormatAlf2cd(s, ALF2CD_384_KBPS)},
        {"ALF2CD 5", setFormatAlf2cd(s, 5)},
        {"RAW kind 7", setFormatRaw(s, settings, 7, 8000, 1, 16)},
        {"RAW PCM 0 Hz", setFormatRaw(s, settings, PCM, 0, 1, 16)},
        {"RAW IMA 48 kHz", setFormatRaw(s, settings, IMA_ADPCM, 48000, 1, 4)},
        {"VOX 9000", setFormatVox(s, settings, 9000)},
        {"G.726 bitrate 9", setFormatG726(s, settings, 8000, 9)},
        {"G.726 bitrate 0", setFormatG726(s, settings, 8000, 0)},
        {"G.721 0 Hz", setFormatG721(s, settings, 0)},
        {"G.723 -8000 Hz", setFormatG723(s, settings, -8000, 1)},
    };
    for (const auto& r : refusals) EXPECT_EQ(r.result, 0) << r.what;
    expectSame(s, before);
    EXPECT_EQ(settings.raw.frequency, settingsBefore.raw.frequency);
    EXPECT_EQ(settings.voxFrequency, settingsBefore.voxFrequency);
    EXPECT_EQ(settings.g726Bits, settingsBefore.g726Bits);
    EXPECT_EQ(settings.g721Frequency, settingsBefore.g721Frequency);
    EXPECT_EQ(settings.g723Frequency, settingsBefore.g723Frequency);
}

TEST(OutputFormat, G711RecordsAndTheirPcmForm) {
    for (auto [tag, fn] : {std::pair{uint16_t{6}, &setFormatAlaw}, {uint16_t{7}, &setFormatUlaw}})
        for (long f : {8000, 11025, 22050, 44100})
            for (long c : {1, 2}) {
                FormatState s = FormatState::initial();
                ASSERT_EQ(fn(s, f, c), c);
                const auto h = headerOf(s.full);
                EXPECT_EQ(h.wFormatTag, tag);
                EXPECT_EQ(h.wBitsPerSample, 8);
                EXPECT_EQ(h.nAvgBytesPerSec, uint32_t(f * c));
                EXPECT_EQ(h.cbSize, 0);
                // the encoder is fed 16-bit PCM at the same rate and channels
                EXPECT_EQ(s.file.wFormatTag, 1);
                EXPECT_EQ(s.file.nSamplesPerSec, uint32_t(f));
                EXPECT_EQ(s.file.nChannels, c);
                EXPECT_EQ(s.bitrate, f * c * 8);
                EXPECT_EQ(s.description.rfind(tag == 6 ? "CCITT A-Law " : "CCITT u-Law ", 0), 0u) << s.description;
            }
}

TEST(OutputFormat, MicrosoftAdpcmMatchesTheTable) {
    struct Row {
        long f;
        uint16_t block;
        uint32_t mono, stereo;
        uint16_t samples;
    } rows[] = {{8000, 256, 4096, 8152, 500},
                {11025, 256, 5644, 11289, 500},
                {22050, 512, 11155, 22311, 1012},
                {44100, 1024, 22179, 44359, 2036}};
    const int16_t coef[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
    for (const auto& r : rows)
        for (long c : {1, 2}) {
            FormatState s = FormatState::initial();
            ASSERT_EQ(setFormatAdpcm(s, r.f, c), r.block * c);
            const auto h = headerOf(s.full);
            EXPECT_EQ(h.wFormatTag, 2);
            EXPECT_EQ(h.wBitsPerSample, 4);
            EXPECT_EQ(h.nAvgBytesPerSec, c == 1 ? r.mono : r.stereo);
            EXPECT_EQ(s.bitrate, int32_t(h.nAvgBytesPerSec * 8));
            EXPECT_EQ(h.cbSize, 32);
            EXPECT_EQ(at16(s.full, 18), r.samples);
            EXPECT_EQ(at16(s.full, 20), 7);
            for (size_t i = 0; i < 7; ++i) {
                EXPECT_EQ(int16_t(at16(s.full, 22 + 4 * i)), coef[i][0]);
                EXPECT_EQ(int16_t(at16(s.full, 24 + 4 * i)), coef[i][1]);
            }
            EXPECT_EQ(s.file.wBitsPerSample, 16);
            EXPECT_EQ(s.description.rfind("Microsoft ADPCM ", 0), 0u) << s.description;
        }
}

TEST(OutputFormat, GsmAndRawRecordsMatchTheTable) {
    const std::pair<long, uint32_t> gsm[] = {{8000, 1625}, {11025, 2239}, {22050, 4478}, {44100, 8957}};
    for (auto [f, bytes] : gsm) {
        FormatState s = FormatState::initial();
        ASSERT_EQ(setFormatGsm(s, f), 65);
        const auto h = headerOf(s.full);
        EXPECT_EQ(h.wFormatTag, 49);
        EXPECT_EQ(h.nChannels, 1);
        EXPECT_EQ(h.nAvgBytesPerSec, bytes);
        EXPECT_EQ(h.cbSize, 2);
        EXPECT_EQ(at16(s.full, 18), 320);
    }

    struct Ima {
        long f;
        uint16_t block;
        uint32_t bytes;
        uint16_t samples;
    } ima[] = {{8000, 256, 4055, 505}, {11025, 256, 5588, 505}, {22050, 512, 11100, 1017}, {44100, 1024, 22125, 2041}};
    for (const auto& r : ima)
        for (long c : {1, 2}) {
            FullFormat f;
            ASSERT_TRUE(buildRawFormat(IMA_ADPCM, r.f, c, 4, f));
            const auto h = headerOf(f);
            EXPECT_EQ(h.wFormatTag, 17);
            EXPECT_EQ(h.nBlockAlign, r.block * c);
            EXPECT_EQ(h.nAvgBytesPerSec, r.bytes * c);
            EXPECT_EQ(at16(f, 18), r.samples);
        }

    // GSM is always mono, whatever the channels asked for
    FullFormat g;
    ASSERT_TRUE(buildRawFormat(GSM, 22050, 2, 16, g));
    EXPECT_EQ(headerOf(g).nChannels, 1);
    EXPECT_EQ(headerOf(g).nAvgBytesPerSec, 4478u);
    EXPECT_EQ(recordBytes(g).size(), 20u);

    // Microsoft ADPCM at 22050 Hz stereo: 1024-byte blocks of 1012 samples
    FullFormat ms;
    ASSERT_TRUE(buildRawFormat(MS_ADPCM, 22050, 2, 4, ms));
    EXPECT_EQ(headerOf(ms).nBlockAlign, 1024);
    EXPECT_EQ(at16(ms, 18), 1012);
    EXPECT_EQ(recordBytes(ms).size(), 50u);
}

TEST(OutputFormat, RawDerivesOnlyThePcmFormAndStoresTheSettings) {
    FormatState s = chosen();
    const FullFormat fullBefore = s.full;
    OutputSettings settings;
    ASSERT_EQ(setFormatRaw(s, settings, PCM, 22050, 1, 8), 1);
    EXPECT_EQ(s.full, fullBefore);  // the full format stays as it was
    EXPECT_EQ(s.type, RAW);
    EXPECT_EQ(s.file.nSamplesPerSec, 22050u);
    EXPECT_EQ(s.file.wBitsPerSample, 8);
    EXPECT_EQ(s.bitrate, 22050 * 8);
    EXPECT_EQ(s.description.rfind("RAW: PCM ", 0), 0u) << s.description;
    EXPECT_EQ(settings.raw.frequency, 22050);
    EXPECT_EQ(settings.raw.channels, 1);
    EXPECT_EQ(settings.raw.bits, 8);
    EXPECT_EQ(settings.raw.compression, PCM);

    ASSERT_EQ(setFormatRaw(s, settings, MS_ADPCM, 44100, 2, 4), 2048);
    EXPECT_EQ(s.bitrate, 44359 * 8);
    EXPECT_EQ(s.file.wBitsPerSample, 16);
    EXPECT_EQ(s.file.nChannels, 2);
    EXPECT_EQ(settings.raw.compression, MS_ADPCM);
    ASSERT_EQ(setFormatRaw(s, settings, ULAW, 8000, 1, 8), 1);
    EXPECT_EQ(s.description.rfind("RAW: CCITT u-Law ", 0), 0u) << s.description;
}

TEST(OutputFormat, Mp3AndMp2StoreWithoutValidation) {
    FormatState s = FormatState::initial();
    Mp3Settings mp3;
    ASSERT_EQ(setFormatMp3(s, mp3, LAME, 44100, 0, 2), 1152);
    EXPECT_EQ(mp3.bitrate, 128);
    EXPECT_EQ(s.bitrate, 128000);
    EXPECT_EQ(s.type, MP3);
    EXPECT_EQ(s.description, "MP3 44,100 kHz; Stereo;  128 Kbps; ");
    mp3.stereoType = JOINTSTEREO;
    ASSERT_EQ(setFormatMp3(s, mp3, LAME, 22050, 64, 1), 1152);
    EXPECT_EQ(s.description, "MP3 22,050 kHz; Mono; 64 Kbps; ");

    OutputSettings o;
    ASSERT_EQ(setFormatMp2(s, o, 44100, 0, 7), 1152);
    EXPECT_EQ(o.mp2.mode, 4);
    EXPECT_EQ(o.mp2.bitrate, 128);
    EXPECT_EQ(s.type, MP2);
    EXPECT_EQ(s.bitrate, 128000);
    EXPECT_EQ(s.description, "MP2 44,100 kHz; Dual Stereo;  128 Kbps; ");
    ASSERT_EQ(setFormatMp2(s, o, 48000, 192, -3), 1152);
    EXPECT_EQ(o.mp2.mode, 1);
    EXPECT_EQ(s.description, "MP2 48,000 kHz; Mono; 192 Kbps; ");
    ASSERT_EQ(setFormatMp2(s, o, 32000, 256, 3), 1152);
    EXPECT_EQ(s.description, "MP2 32,000 kHz; Joint Stereo;  256 Kbps; ");
}

TEST(OutputFormat, OggVorbisSettingsAndDescription) {
    FormatState s = FormatState::initial();
    OutputSettings o;
    ASSERT_EQ(setFormatOggVorbis(s, o, 22050, 1, 0, 96, 160, -1), 1024);
    EXPECT_EQ(o.ogg.frequency, 44100);
    EXPECT_EQ(o.ogg.channels, 2);
    EXPECT_EQ(o.ogg.nominalBitrate, 96);
    EXPECT_EQ(s.type, OGG);
    EXPECT_EQ(s.bitrate, 96000);
    EXPECT_EQ(s.description, "Ogg Vorbis 44100 Hz; Stereo; 96-160 Kbps;");

    ASSERT_EQ(setFormatOggVorbis(s, o, 44100, 2, 128, -1, -1, 500), 1024);
    EXPECT_EQ(s.description, "Ogg Vorbis 44100 Hz; Stereo; Quality - 5.00 ;");
    EXPECT_EQ(s.bitrate, 128000);
    ASSERT_EQ(setFormatOggVorbis(s, o, 44100, 2, 128, -1, -1, 2500), 1024);
    EXPECT_EQ(o.ogg.quality, 1000);
    // nominal falls back to the maximum, then to 128
    setFormatOggVorbis(s, o, 44100, 2, -1, -1, 192, -1);
    EXPECT_EQ(o.ogg.nominalBitrate, 192);
    EXPECT_EQ(s.description, "Ogg Vorbis 44100 Hz; Stereo; 192 Kbps;");
    setFormatOggVorbis(s, o, 44100, 2, 0, 0, 0, -1);
    EXPECT_EQ(o.ogg.nominalBitrate, 128);
    EXPECT_EQ(s.bitrate, 128000);
}

TEST(OutputFormat, VoxAndTelephonySettings) {
    FormatState s = FormatState::initial();
    OutputSettings o;
    ASSERT_EQ(setFormatVox(s, o, 8000), 1);
    EXPECT_EQ(s.description, "Dialogic ADPCM 8,000 kHz; Mono; 4 Bit");
    EXPECT_EQ(s.bitrate, 32000);
    EXPECT_EQ(s.type, VOX);
    EXPECT_EQ(s.file.nSamplesPerSec, 8000u);
    EXPECT_EQ(s.file.wBitsPerSample, 8);
    EXPECT_EQ(s.file.nBlockAlign, 1);
    EXPECT_EQ(s.file.nAvgBytesPerSec, 8000u);
    EXPECT_EQ(o.voxFrequency, 8000);

    // the G.72x methods leave type and Bitrate alone
    ASSERT_EQ(setFormatG726(s, o, 8000, G726_32_KBPS), 3);
    EXPECT_EQ(o.g726Bits, 4);
    EXPECT_EQ(s.description, "CCITT G.726 ADPCM 8000 kHz; Mono; 4 Bit; 32 Kbps");
    EXPECT_EQ(s.type, VOX);
    EXPECT_EQ(s.bitrate, 32000);
    EXPECT_EQ(s.file.wBitsPerSample, 16);
    ASSERT_EQ(setFormatG726(s, o, 8000, G726_16_KBPS), 1);
    EXPECT_EQ(s.description, "CCITT G.726 ADPCM 8000 kHz; Mono; 2 Bit; 16 Kbps");

    ASSERT_EQ(setFormatG723(s, o, 8000, G723_40_KBPS), 5);
    EXPECT_EQ(s.description, "CCITT G.723 ADPCM 8000 kHz; Mono; 5 Bit; 40 Kbps");
    ASSERT_EQ(setFormatG723(s, o, 16000, 77), 5);  // other values keep the bits
    EXPECT_EQ(o.g723Frequency, 16000);
    ASSERT_EQ(setFormatG723(s, o, 8000, G723_24_KBPS), 3);
    EXPECT_EQ(s.description, "CCITT G.723 ADPCM 8000 kHz; Mono; 3 Bit; 24 Kbps");

    ASSERT_EQ(setFormatG721(s, o, 11025), 1);
    EXPECT_EQ(o.g721Frequency, 11025);
    EXPECT_EQ(s.description, "CCITT G.721 ADPCM 11025 kHz; Mono; 4 Bit; 44 Kbps");
    EXPECT_EQ(s.type, VOX);
}

class FromMenu : public ::testing::Test {
protected:
    void TearDown() override { acm::setFormatChooser({}); }
    void choose(std::vector<uint8_t> record) {
        acm::setFormatChooser([record](const std::string& title, std::vector<uint8_t>& out) {
            EXPECT_EQ(title, "Choose Format WAV file");
            out = record;
            return true;
        });
    }
};

TEST_F(FromMenu, CancelledIsSilent) {
    FormatState s = chosen();
    const FormatState before = s;
    const MenuChoice c = setFormatFromMenu(s);
    EXPECT_EQ(c.blockAlign, 0);
    EXPECT_EQ(c.error, NOERRORS);
    EXPECT_EQ(c.fired, NOERRORS);
    expectSame(s, before);
}

TEST_F(FromMenu, ChosenFormatBecomesTheOutputFormat) {
    FullFormat ima;
    ASSERT_TRUE(buildRawFormat(IMA_ADPCM, 22050, 2, 4, ima));
    const auto rec = recordBytes(ima);
    choose({rec.begin(), rec.end()});
    FormatState s = FormatState::initial();
    const MenuChoice c = setFormatFromMenu(s);
    EXPECT_EQ(c.blockAlign, 1024);
    EXPECT_EQ(c.error, NOERRORS);
    EXPECT_EQ(s.full, ima);
    EXPECT_EQ(s.type, WAV);
    EXPECT_EQ(s.bitrate, 22200 * 8);
    EXPECT_EQ(s.file.wBitsPerSample, 16);
    EXPECT_EQ(s.description.rfind("IMA ADPCM ", 0), 0u) << s.description;

    // an 8-bit PCM choice is fed from a 16-bit PCM form
    const auto pcm8 = acm::makePcmFormat(11025, 1, 8);
    const auto b = acm::asBytes(pcm8);
    choose({b.begin(), b.end()});
    const MenuChoice c8 = setFormatFromMenu(s);
    EXPECT_EQ(c8.blockAlign, 1);
    EXPECT_EQ(headerOf(s.full).wBitsPerSample, 8);
    EXPECT_EQ(s.file.wBitsPerSample, 16);
    EXPECT_EQ(s.file.nBlockAlign, 2);
}

TEST(LikeSample, AdoptsTheSampleFormat) {
    FormatState s = FormatState::initial();
    Mp3Settings mp3;
    FullFormat gsm;
    ASSERT_TRUE(buildRawFormat(GSM, 8000, 1, 0, gsm));
    SampleFormat sample{recordBytes(gsm), "GSM 6.10 8,000 kHz, Mono", 0, 0, 0};
    ASSERT_EQ(adoptSampleFormat(s, mp3, WAV, sample), 65);
    EXPECT_EQ(s.full, gsm);
    EXPECT_EQ(s.file.wFormatTag, 1);
    EXPECT_EQ(s.file.nSamplesPerSec, 8000u);
    EXPECT_EQ(s.bitrate, 1625 * 8);
    EXPECT_EQ(s.description, "GSM 6.10 8,000 kHz, Mono");
    EXPECT_EQ(mp3.bitrate, 128);  // untouched for WAV samples

    acm::MPEGLAYER3WAVEFORMAT m{};
    m.wfx = {acm::WAVE_FORMAT_MPEGLAYER3, 2, 48000, 24000, 1, 0, acm::MPEGLAYER3_WFX_EXTRA_BYTES};
    m.wID = acm::MPEGLAYER3_ID_MPEG;
    m.nBlockSize = 576;
    m.nFramesPerBlock = 1;
    SampleFormat mpeg{acm::asBytes(m), "MPEG 1.0 layer-3: 48,000 kHz; Stereo; 192 Kbps; ", 48000, 192, 2};
    ASSERT_EQ(adoptSampleFormat(s, mp3, MP3, mpeg), 1);
    EXPECT_EQ(s.type, MP3);
    EXPECT_EQ(mp3.frequency, 48000);
    EXPECT_EQ(mp3.bitrate, 192);
    EXPECT_EQ(mp3.channels, 2);
    EXPECT_EQ(s.bitrate, 192000);
    EXPECT_EQ(s.file.nSamplesPerSec, 48000u);
    EXPECT_EQ(s.file.wBitsPerSample, 16);

    SampleFormat truncated{std::span<const uint8_t>(gsm.data(), 10), "", 0, 0, 0};
    const FormatState before = s;
    EXPECT_EQ(adoptSampleFormat(s, mp3, WAV, truncated), 0);
    expectSame(s, before);
}

TEST(Descriptions, EngineTexts) {
    EXPECT_EQ(describeOggFile(44100, 2, 128), "Ogg Vorbis  44100 Hz; Stereo; 128 Kbps; ");
    EXPECT_EQ(describeOggFile(22050, 1, 64), "Ogg Vorbis  22050 Hz; Mono; 64 Kbps; ");
    EXPECT_EQ(describeMp2File(44100, 3, 192), "MPEG2 44,100 kHz; Joint Stereo; 192 Kbps; ");
    EXPECT_EQ(describeMp2File(8000, 9, 8), "MPEG2 8,000 kHz; Stereo; 8 Kbps; ");
    EXPECT_EQ(describeMpegFile(1, 3, 44100, 3, 128), "MPEG 1.0 layer-3: 44,100 kHz; Joint Stereo; 128 Kbps; ");
    EXPECT_EQ(describeMpegFile(2, 2, 22050, 1, 64), "MPEG 2.0 layer-2: 22,050 kHz; Mono; 64 Kbps; ");

    MpcDescription mpc;
    mpc.bitrate = 180;
    mpc.variableBitrate = true;
    EXPECT_EQ(describeMpcFile(mpc), "MPEG Plus SV-7 standard 44,100 kHz; 180 Kbps; VBR");
    mpc.vbrMethod = 2;
    mpc.maxBitrate = 256;
    mpc.variableBitrate = false;
    EXPECT_EQ(describeMpcFile(mpc), "MPEG Plus SV-7 standard 44,100 kHz; 180-256 Kbps; ");
    mpc.vbrMethod = VBR_ABR;
    mpc.abrBitrate = 160;
    mpc.profile = 4;
    mpc.streamVersion = 8;
    EXPECT_EQ(describeMpcFile(mpc), "MPEG Plus SV-8 insane 44,100 kHz; ABR 160 Kbps; ");
    mpc.profile = 11;
    mpc.vbrMethod = 1;
    mpc.maxBitrate = 180;  // equal to the bitrate: a single figure
    EXPECT_EQ(describeMpcFile(mpc), "MPEG Plus SV-8 n.a. 44,100 kHz; 180 Kbps; ");
}

TEST(Descriptions, OpenedFilesThroughTheCodecManager) {
    FullFormat alaw;
    ASSERT_TRUE(buildRawFormat(ALAW, 8000, 1, 8, alaw));
    const auto rec = recordBytes(alaw);
    const std::string names = acm::describe(rec);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(describeOpenedFile(DescribedKind::Wav, rec, 8000, 8), names);
    EXPECT_EQ(describeOpenedFile(DescribedKind::Raw, rec, 8000, 8), "RAW: " + names);
    EXPECT_EQ(describeOpenedFile(DescribedKind::Avi, rec, 8000, 8), "AVI: " + names);
    EXPECT_EQ(describeOpenedFile(DescribedKind::Vox, rec, 6000, 4), "Dialogic ADPCM: 6,000 kHz; 4 Bit");
    EXPECT_EQ(describeOpenedFile(DescribedKind::G723, rec, 8000, 3),
              "CCITT G.723 ADPCM 8000 kHz; Mono; 3 Bit; 24 Kbps");

    // a record the codec manager cannot name leaves the description empty
    FullFormat unknown{};
    unknown[0] = 0x34;  // tag 0x1234
    unknown[1] = 0x12;
    EXPECT_EQ(describeOpenedFile(DescribedKind::Wav, recordBytes(unknown), 8000, 16), "");
    EXPECT_EQ(describeOpenedFile(DescribedKind::Vox, recordBytes(unknown), 8000, 4), "");
}

}  // namespace
