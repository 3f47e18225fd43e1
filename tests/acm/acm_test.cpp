// The codec manager without outside tools: suggestions, names, refusals of bad
// records, stream sizes against what convert produces, the chooser hook, and
// damaged blocks.
#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

using namespace acm;
using acmtest::recordBytes;

namespace {

std::vector<uint8_t> imaRecord(uint32_t rate, uint16_t ch, uint16_t align) {
    const uint16_t spb = static_cast<uint16_t>((align - 4 * ch) * 8 / (4 * ch) + 1);
    return recordBytes(WAVEFORMATEX{WAVE_FORMAT_IMA_ADPCM, ch, rate, rate * align / spb, align, 4, 0},
                       {static_cast<uint8_t>(spb & 0xFF), static_cast<uint8_t>(spb >> 8)});
}

std::vector<uint8_t> msRecord(uint32_t rate, uint16_t ch, uint16_t align, uint16_t coefCount = 7) {
    const uint16_t spb = static_cast<uint16_t>((align - 7 * ch) * 8 / (4 * ch) + 2);
    std::vector<uint8_t> extra = {static_cast<uint8_t>(spb & 0xFF), static_cast<uint8_t>(spb >> 8),
                                  static_cast<uint8_t>(coefCount), 0};
    for (int i = 0; i < 7; ++i)
        for (int16_t v : {kMsAdpcmStandardCoefficients[i].iCoef1, kMsAdpcmStandardCoefficients[i].iCoef2}) {
            extra.push_back(static_cast<uint8_t>(v & 0xFF));
            extra.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
    return recordBytes(WAVEFORMATEX{WAVE_FORMAT_ADPCM, ch, rate, rate * align / spb, align, 4, 0}, extra);
}

std::vector<uint8_t> gsmRecord(uint32_t rate) {
    return recordBytes(WAVEFORMATEX{WAVE_FORMAT_GSM610, 1, rate, rate * 65 / 320, 65, 0, 0}, {0x40, 0x01});
}

std::vector<uint8_t> mp3Record(uint32_t rate, uint16_t ch, uint32_t kbps) {
    MPEGLAYER3WAVEFORMAT m{};
    m.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3, ch, rate, kbps * 125, 1, 0, 12};
    m.wID = 1;
    m.fdwFlags = 2;
    m.nBlockSize = static_cast<uint16_t>(rate >= 32000 ? kbps * 144000 / rate : kbps * 72000 / rate);
    m.nFramesPerBlock = 1;
    m.nCodecDelay = 1393;
    auto b = asBytes(m);
    return {b.begin(), b.end()};
}

std::vector<uint8_t> g711Record(uint16_t tag, uint32_t rate, uint16_t ch) {
    return recordBytes(WAVEFORMATEX{tag, ch, rate, rate * ch, ch, 8, 0});
}

// Every standard record each driver offers, plus the raw table's layouts.
std::vector<std::vector<uint8_t>> allStandardRecords() {
    std::vector<std::vector<uint8_t>> all;
    for (DriverId id : drivers()) {
        Driver d;
        EXPECT_EQ(d.open(id), Result::Ok);
        for (auto& f : d.formats()) all.push_back(f);
    }
    return all;
}

}  // namespace

TEST(AcmRecords, WaveFormatLayouts) {
    EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
    EXPECT_EQ(sizeof(MPEGLAYER3WAVEFORMAT), 30u);
    const WAVEFORMATEX pcm = makePcmFormat(44100, 2, 16);
    EXPECT_EQ(pcm.nBlockAlign, 4);
    EXPECT_EQ(pcm.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(recordSize(pcm), 16u);
    EXPECT_GE(maxFormatSize(), 50u);  // Microsoft ADPCM with its seven coefficient pairs
}

TEST(AcmSuggest, PcmFormsOfEveryDriver) {
    WAVEFORMATEX out{};
    const WAVEFORMATEX pcm8 = makePcmFormat(22050, 2, 8);
    ASSERT_EQ(suggestPcm(asBytes(pcm8), out), Result::Ok);
    EXPECT_EQ(out.wBitsPerSample, 8);  // PCM stays as it is
    EXPECT_EQ(out.nBlockAlign, 2);

    struct Case {
        std::vector<uint8_t> rec;
        uint32_t rate;
        uint16_t ch;
    };
    for (const Case& c :
         {Case{g711Record(WAVE_FORMAT_ALAW, 8000, 1), 8000, 1}, Case{g711Record(WAVE_FORMAT_MULAW, 44100, 2), 44100, 2},
          Case{imaRecord(22050, 2, 1024), 22050, 2}, Case{msRecord(11025, 1, 256), 11025, 1},
          Case{gsmRecord(8000), 8000, 1}, Case{mp3Record(22050, 2, 64), 22050, 2}}) {
        ASSERT_EQ(suggestPcm(c.rec, out), Result::Ok);
        EXPECT_EQ(out.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(out.wBitsPerSample, 16);
        EXPECT_EQ(out.nSamplesPerSec, c.rate);
        EXPECT_EQ(out.nChannels, c.ch);
        EXPECT_EQ(out.nBlockAlign, 2 * c.ch);
        EXPECT_EQ(out.nAvgBytesPerSec, 2u * c.ch * c.rate);
    }
    // TrueSpeech, the Mobile Voice and ALF2CD tags have no driver here.
    for (uint16_t tag : {uint16_t{34}, uint16_t{25}, uint16_t{8132}, WAVE_FORMAT_MPEG}) {
        const auto rec = recordBytes(WAVEFORMATEX{tag, 1, 8000, 1067, 32, 1, 0});
        EXPECT_EQ(suggestPcm(rec, out), Result::BadFormat) << tag;
        EXPECT_EQ(Stream::query(rec, asBytes(makePcmFormat(8000, 1, 16))), Result::BadFormat);
    }
}

TEST(AcmNames, TagAndFormatNames) {
    EXPECT_EQ(describe(asBytes(makePcmFormat(44100, 2, 16))), "PCM 44,100 kHz, 16 Bit, Stereo");
    EXPECT_EQ(describe(asBytes(makePcmFormat(8000, 1, 8))), "PCM 8,000 kHz, 8 Bit, Mono");
    EXPECT_EQ(describe(g711Record(WAVE_FORMAT_ALAW, 8000, 1)), "CCITT A-Law 8,000 kHz, 8 Bit, Mono");
    EXPECT_EQ(describe(g711Record(WAVE_FORMAT_MULAW, 11025, 2)), "CCITT u-Law 11,025 kHz, 8 Bit, Stereo");
    EXPECT_EQ(describe(imaRecord(22050, 1, 512)), "IMA ADPCM 22,050 kHz, 4 Bit, Mono");
    EXPECT_EQ(describe(msRecord(44100, 2, 2048)), "Microsoft ADPCM 44,100 kHz, 4 Bit, Stereo");
    EXPECT_EQ(describe(gsmRecord(8000)), "GSM 6.10 8,000 kHz, Mono");
    EXPECT_EQ(describe(mp3Record(44100, 2, 128)), "MPEG Layer-3 128 kBit/s, 44,100 Hz, Stereo");
    EXPECT_EQ(describe(mp3Record(8000, 1, 8)), "MPEG Layer-3 8 kBit/s, 8,000 Hz, Mono");
    EXPECT_EQ(describe(recordBytes(WAVEFORMATEX{34, 1, 8000, 1067, 32, 1, 0})), "");

    // The driver a stream names answers for its own tag only.
    Stream s;
    ASSERT_EQ(s.open(imaRecord(8000, 1, 256), asBytes(makePcmFormat(8000, 1, 16))), Result::Ok);
    Driver d;
    ASSERT_EQ(d.open(s.driverId()), Result::Ok);
    FormatTagDetails tag;
    ASSERT_EQ(d.formatTagDetails(WAVE_FORMAT_IMA_ADPCM, tag), Result::Ok);
    EXPECT_EQ(tag.name, "IMA ADPCM");
    EXPECT_EQ(d.formatTagDetails(WAVE_FORMAT_PCM, tag), Result::BadFormat);
    FormatDetails details;
    EXPECT_EQ(d.formatDetails(asBytes(makePcmFormat(8000, 1, 16)), details), Result::BadFormat);
    EXPECT_EQ(driverForTag(WAVE_FORMAT_IMA_ADPCM), s.driverId());
    Driver none;
    EXPECT_EQ(none.open(DriverId{}), Result::InvalidParam);
    EXPECT_EQ(none.open(DriverId{999}), Result::InvalidParam);
    // A PCM record passed as 16 bytes is named.
    const WAVEFORMATEX pcm = makePcmFormat(48000, 1, 16);
    EXPECT_EQ(formatDetails(asBytes(pcm).first(16), details), Result::Ok);
    EXPECT_EQ(details.name, "48,000 kHz, 16 Bit, Mono");
}

TEST(AcmRefusals, DamagedRecordsAreRefused) {
    const WAVEFORMATEX pcmRecord = makePcmFormat(8000, 1, 16);
    const auto pcm = asBytes(pcmRecord);
    WAVEFORMATEX out{};
    auto refused = [&](const std::vector<uint8_t>& rec) {
        return suggestPcm(rec, out) != Result::Ok && Stream::query(rec, pcm) != Result::Ok;
    };
    auto alaw = g711Record(WAVE_FORMAT_ALAW, 8000, 1);
    EXPECT_FALSE(refused(alaw));
    auto zeroChannels = alaw;
    zeroChannels[2] = 0;
    EXPECT_TRUE(refused(zeroChannels));
    auto zeroAlign = imaRecord(8000, 1, 256);
    zeroAlign[12] = zeroAlign[13] = 0;
    EXPECT_TRUE(refused(zeroAlign));
    EXPECT_TRUE(refused(g711Record(WAVE_FORMAT_ALAW, 0, 1)));
    EXPECT_TRUE(refused(g711Record(WAVE_FORMAT_ALAW, 50000000, 1)));
    EXPECT_TRUE(refused(g711Record(WAVE_FORMAT_MULAW, 8000, 3)));
    // Extra size beyond the buffer.
    auto ima = imaRecord(8000, 1, 256);
    ima.pop_back();
    EXPECT_TRUE(refused(ima));
    EXPECT_TRUE(refused(std::vector<uint8_t>(10, 0)));
    // Samples per block that do not match the block layout.
    auto imaBad = imaRecord(8000, 1, 256);
    imaBad[18] = 0x10;
    EXPECT_TRUE(refused(imaBad));
    EXPECT_TRUE(refused(imaRecord(8000, 2, 260)));  // not whole 8-byte groups
    // A coefficient table that does not fit: 8 pairs announced, 7 present.
    EXPECT_FALSE(refused(msRecord(8000, 1, 256)));
    EXPECT_TRUE(refused(msRecord(8000, 1, 256, 8)));
    EXPECT_TRUE(refused(msRecord(8000, 1, 256, 0)));
    EXPECT_TRUE(refused(msRecord(8000, 2, 10)));  // smaller than its header
    // GSM is mono with 65-byte blocks only.
    auto gsmStereo = gsmRecord(8000);
    gsmStereo[2] = 2;
    EXPECT_TRUE(refused(gsmStereo));
    // MPEG Layer-3: rates outside the MPEG set, or the 12 extra bytes missing.
    EXPECT_TRUE(refused(mp3Record(44000, 2, 128)));
    auto mp3Short = mp3Record(44100, 2, 128);
    mp3Short[16] = 0;
    mp3Short.resize(18);
    EXPECT_TRUE(refused(mp3Short));
    // The encoder takes Layer-3 bitrates only; 160 kbit/s does not exist below 32 kHz... but 144 does.
    EXPECT_EQ(Stream::query(pcm, mp3Record(8000, 1, 144)), Result::Ok);
    EXPECT_EQ(Stream::query(asBytes(makePcmFormat(44100, 2, 16)), mp3Record(44100, 2, 144)), Result::BadFormat);
    // Streams only between a codec and its own PCM form, or PCM and PCM at one rate.
    EXPECT_EQ(Stream::query(imaRecord(8000, 1, 256), g711Record(WAVE_FORMAT_ALAW, 8000, 1)), Result::BadFormat);
    EXPECT_EQ(Stream::query(imaRecord(8000, 1, 256), asBytes(makePcmFormat(8000, 2, 16))), Result::BadFormat);
    EXPECT_EQ(Stream::query(pcm, asBytes(makePcmFormat(11025, 1, 16))), Result::BadFormat);
    // A stream that is not open does nothing.
    Stream closed;
    size_t n = 7;
    EXPECT_EQ(closed.size(100, Direction::SourceToDestination, n), Result::InvalidParam);
    EXPECT_EQ(n, 0u);
    uint8_t b[4] = {};
    EXPECT_EQ(closed.convert(b, b).status, Result::InvalidParam);
}

TEST(AcmPcm, WidthAndChannelConversion) {
    const WAVEFORMATEX s8 = makePcmFormat(22050, 2, 8), d16 = makePcmFormat(22050, 1, 16);
    Stream s;
    ASSERT_EQ(s.open(asBytes(s8), asBytes(d16)), Result::Ok);
    const std::vector<uint8_t> in = {0x80, 0x80, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x40};  // odd tail
    std::vector<uint8_t> out(16);
    const Conversion c = s.convert(in, out);
    EXPECT_EQ(c.sourceUsed, 8u);
    EXPECT_EQ(c.destinationUsed, 8u);
    const auto v = acmtest::toSamples({out.begin(), out.begin() + 8});
    EXPECT_EQ(v, (std::vector<int16_t>{0, (127 * 256 - 128 * 256) / 2, 127 * 256, (-128 * 256 - 127 * 256) / 2}));
    // And back: mono 16 to stereo 8.
    Stream back;
    ASSERT_EQ(back.open(asBytes(d16), asBytes(s8)), Result::Ok);
    const auto in16 = acmtest::toBytes({-32768, -255, 255, 32767});
    std::vector<uint8_t> out8(8);
    EXPECT_EQ(back.convert(in16, out8).destinationUsed, 8u);
    EXPECT_EQ(out8, (std::vector<uint8_t>{0, 0, 128, 128, 128, 128, 255, 255}));
}

// For every driver and every standard record: the size queries agree with what
// convert produces for whole blocks, both directions.
TEST(AcmSizes, QueriesAgreeWithConvert) {
    const auto signal = qoro::test::testSignal(48000, 2, 48000);
    for (const auto& rec : allStandardRecords()) {
        WAVEFORMATEX h{}, pcm{};
        readHeader(rec, h);
        ASSERT_EQ(suggestPcm(rec, pcm), Result::Ok);
        if (h.wFormatTag == WAVE_FORMAT_PCM) continue;
        SCOPED_TRACE(describe(rec));
        // Encode: 3.5 blocks worth of PCM.
        Stream enc;
        ASSERT_EQ(enc.open(asBytes(pcm), rec), Result::Ok);
        size_t pcmBlock = 0, codedBlock = 0;
        ASSERT_EQ(enc.size(1, Direction::DestinationToSource, pcmBlock), Result::Ok);
        ASSERT_GT(pcmBlock, 0u);
        std::vector<uint8_t> in = acmtest::toBytes(signal);
        // Three whole blocks and, where a block holds more than one frame, half a block.
        const size_t half = pcmBlock / 2 / pcm.nBlockAlign * pcm.nBlockAlign;
        in.resize(3 * pcmBlock + half);
        size_t expect = 0;
        ASSERT_EQ(enc.size(in.size(), Direction::SourceToDestination, expect), Result::Ok);
        std::vector<uint8_t> coded(expect + 1024);
        const Conversion c = enc.convert(in, coded);
        ASSERT_EQ(c.status, Result::Ok);
        const bool mp3 = h.wFormatTag == WAVE_FORMAT_MPEGLAYER3;
        if (mp3) {
            EXPECT_LE(c.destinationUsed, expect);
            EXPECT_EQ(c.sourceUsed, 3 * pcmBlock);
            continue;  // the Layer-3 coder holds frames back; covered by the interop tests
        }
        EXPECT_EQ(c.sourceUsed, 3 * pcmBlock);
        EXPECT_EQ(c.destinationUsed, expect);
        codedBlock = expect / 3;
        EXPECT_EQ(codedBlock, h.nBlockAlign);
        size_t back = 0;
        ASSERT_EQ(enc.size(c.destinationUsed, Direction::DestinationToSource, back), Result::Ok);
        EXPECT_EQ(back, c.sourceUsed);
        // The final call takes the half block, padded.
        std::vector<uint8_t> tail(codedBlock);
        const Conversion e = enc.convert(std::span(in).subspan(c.sourceUsed), tail, true);
        EXPECT_EQ(e.sourceUsed, half);
        EXPECT_EQ(e.destinationUsed, half ? codedBlock : 0);

        // Decode the three blocks plus a stray byte (when a block is longer).
        Stream dec;
        ASSERT_EQ(dec.open(rec, asBytes(pcm)), Result::Ok);
        std::vector<uint8_t> src(coded.begin(),
                                 coded.begin() + static_cast<std::ptrdiff_t>(c.destinationUsed + (codedBlock > 1)));
        ASSERT_EQ(dec.size(src.size(), Direction::SourceToDestination, expect), Result::Ok);
        std::vector<uint8_t> pcmOut(expect);
        const Conversion d = dec.convert(src, pcmOut);
        EXPECT_EQ(d.sourceUsed, 3 * codedBlock);
        EXPECT_EQ(d.destinationUsed, expect);
        EXPECT_EQ(expect, 3 * pcmBlock);
        ASSERT_EQ(dec.size(expect - 1, Direction::DestinationToSource, back), Result::Ok);
        EXPECT_EQ(back, 3 * codedBlock);
        // Less than one block: nothing.
        ASSERT_EQ(dec.size(codedBlock - 1, Direction::SourceToDestination, expect), Result::Ok);
        EXPECT_EQ(expect, 0u);
    }
}

TEST(AcmChooser, HookDecides) {
    std::vector<uint8_t> buffer(180);
    size_t used = 99;
    setFormatChooser({});
    EXPECT_EQ(chooseFormat("Choose Format WAV file", buffer, used), Result::Cancelled);
    EXPECT_EQ(used, 0u);
    std::string seenTitle;
    setFormatChooser([&](const std::string& title, std::vector<uint8_t>&) {
        seenTitle = title;
        return false;
    });
    EXPECT_EQ(chooseFormat("Choose Format WAV file", buffer, used), Result::Cancelled);
    EXPECT_EQ(seenTitle, "Choose Format WAV file");
    const auto ms = msRecord(22050, 1, 512);
    setFormatChooser([&](const std::string&, std::vector<uint8_t>& chosen) {
        chosen = ms;
        return true;
    });
    ASSERT_EQ(chooseFormat("t", buffer, used), Result::Ok);
    EXPECT_EQ(used, ms.size());
    EXPECT_TRUE(std::equal(ms.begin(), ms.end(), buffer.begin()));
    std::vector<uint8_t> small(20);
    EXPECT_EQ(chooseFormat("t", small, used), Result::InvalidParam);
    setFormatChooser([](const std::string&, std::vector<uint8_t>& chosen) {
        chosen = recordBytes(WAVEFORMATEX{34, 1, 8000, 1067, 32, 1, 0});
        return true;
    });
    EXPECT_EQ(chooseFormat("t", buffer, used), Result::BadFormat);
    setFormatChooser({});
}

// Random bytes through every decoder: whole blocks in, whole blocks out, and
// nothing read or written out of bounds (the sanitizer build checks that).
TEST(AcmDamage, RandomBlocksDecodeSafely) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(70000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    for (const auto& rec : allStandardRecords()) {
        WAVEFORMATEX pcm{};
        ASSERT_EQ(suggestPcm(rec, pcm), Result::Ok);
        Stream s;
        ASSERT_EQ(s.open(rec, asBytes(pcm)), Result::Ok);
        const auto out = acmtest::convertAll(s, noise, 4096, true);
        EXPECT_EQ(out.size() % pcm.nBlockAlign, 0u);
    }
    // A Microsoft ADPCM block naming a predictor beyond the table.
    Stream s;
    const auto ms = msRecord(8000, 1, 256);
    ASSERT_EQ(s.open(ms, asBytes(makePcmFormat(8000, 1, 16))), Result::Ok);
    std::vector<uint8_t> block(256, 0x77);
    block[0] = 200;
    std::vector<uint8_t> out(1000);
    const Conversion c = s.convert(block, out);
    EXPECT_EQ(c.sourceUsed, 256u);
    EXPECT_EQ(c.destinationUsed, 1000u);
}

// Microsoft ADPCM takes its coefficient pairs from the file. With the most
// negative 16-bit values as coefficients and as the block's samples, the sum
// of the prediction, 2 x (-32768 x -32768) = 2^31, is beyond 32 bits before
// its division by 256 (it once wrapped, and the block decoded to the
// opposite rail; the sanitizer build called it undefined). Exact arithmetic,
// then the clamp, gives the values below (worked out by hand, and by an
// exact model in Python); valid files decode as before (the interop tests
// compare them with sox and ffmpeg).
TEST(AcmDamage, ExtremeMsAdpcmCoefficientsCannotOverflow) {
    struct Case {
        int16_t coef1, coef2, sample1, sample2;
        uint8_t firstNibbles;  // two nibbles, high first
        int16_t expected[2];   // the first two samples the nibbles rebuild
    };
    const Case cases[] = {
        // 2^23 - 8 x 16, clamped to 32767; the step grows to 48; then
        // (32767 x -32768 - 32768 x -32768) / 256 = 128, - 8 x 48 = -256.
        {-32768, -32768, -32768, -32768, 0x88, {32767, -256}},
        // The other extremes stay within 32 bits: -8388352 + 7 x 16, clamped, twice.
        {32767, 32767, -32768, -32768, 0x77, {-32768, -32768}},
        // -8388352 clamped; then (-32768 x -32768 + 32767 x 32767) / 256 = 8388351, clamped.
        {-32768, 32767, 32767, -32768, 0x00, {-32768, 32767}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.coef1 << "," << c.coef2 << " " << c.sample1 << "," << c.sample2);
        const uint16_t align = 256, spb = (align - 7) * 2 + 2;
        std::vector<uint8_t> extra = {static_cast<uint8_t>(spb & 0xFF), static_cast<uint8_t>(spb >> 8), 1, 0};
        for (int16_t v : {c.coef1, c.coef2}) {
            extra.push_back(static_cast<uint8_t>(v & 0xFF));
            extra.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
        const auto rec = recordBytes(WAVEFORMATEX{WAVE_FORMAT_ADPCM, 1, 8000, 8000 * align / spb, align, 4, 0}, extra);
        std::vector<uint8_t> block(align, c.firstNibbles);
        block[0] = 0;                 // the one coefficient pair
        block[1] = 16, block[2] = 0;  // delta
        block[3] = static_cast<uint8_t>(c.sample1 & 0xFF), block[4] = static_cast<uint8_t>((c.sample1 >> 8) & 0xFF);
        block[5] = static_cast<uint8_t>(c.sample2 & 0xFF), block[6] = static_cast<uint8_t>((c.sample2 >> 8) & 0xFF);
        const auto pcm = acmtest::decode(rec, block);
        ASSERT_EQ(pcm.size(), spb);
        EXPECT_EQ(pcm[0], c.sample2);  // the header's samples come first, oldest first
        EXPECT_EQ(pcm[1], c.sample1);
        EXPECT_EQ(pcm[2], c.expected[0]);
        EXPECT_EQ(pcm[3], c.expected[1]);
    }
}

// A Layer-3 stream at another rate than its record says gives no samples,
// and the decoding library says nothing on the host's stderr about it.
TEST(AcmDamage, Layer3StreamAtAnotherRateIsRefusedQuietly) {
    const auto signal = qoro::test::testSignal(44100, 2, 44100);
    const auto rec = mp3Record(44100, 2, 128);
    WAVEFORMATEX pcm{};
    ASSERT_EQ(suggestPcm(rec, pcm), Result::Ok);
    Stream enc;
    ASSERT_EQ(enc.open(asBytes(pcm), rec), Result::Ok);
    const std::vector<uint8_t> in = acmtest::toBytes(signal);
    std::vector<uint8_t> coded(in.size());
    const Conversion c = enc.convert(in, coded, true);
    ASSERT_EQ(c.status, Result::Ok);
    ASSERT_GT(c.destinationUsed, 4000u);
    coded.resize(c.destinationUsed);

    auto decode = [&](const std::vector<uint8_t>& record, std::string& printed) {
        WAVEFORMATEX out{};
        EXPECT_EQ(suggestPcm(record, out), Result::Ok);
        Stream dec;
        EXPECT_EQ(dec.open(record, asBytes(out)), Result::Ok);
        std::vector<uint8_t> samples(coded.size() * 16);
        fflush(stderr);
        const int saved = dup(2);
        FILE* capture = tmpfile();
        dup2(fileno(capture), 2);
        const Conversion d = dec.convert(coded, samples, true);
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        printed.assign(static_cast<size_t>(ftell(capture)), '\0');
        rewind(capture);
        printed.resize(fread(printed.data(), 1, printed.size(), capture));
        fclose(capture);
        return d.destinationUsed;
    };
    std::string printed;
    EXPECT_GT(decode(rec, printed), 44100u);  // the record that fits decodes
    EXPECT_EQ(printed, "");
    EXPECT_EQ(decode(mp3Record(22050, 2, 64), printed), 0u);
    EXPECT_EQ(printed, "");
}
