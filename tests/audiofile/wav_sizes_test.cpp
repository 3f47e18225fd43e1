// WAV files whose stored sizes do not describe them, made the way users get
// them: written to a pipe by ffmpeg (sizes 0xFFFFFFFF) or by sox (sizes that
// promise 2 GiB, or that wrapped around 4 GiB), cut short by a download,
// "RF64" files, and files beyond 4 GiB. Each is read through the AudioFile
// and AudioInformation components (created through the component runtime)
// and compared with what ffmpeg and sox read from the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file_session.h"
#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::Bstr;
using qoro::com::ComPtr;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string q(const t::fs::path& p) { return t::shellQuote(p.string()); }

// Runs a shell pipeline that must succeed.
::testing::AssertionResult sh(const std::string& command) {
    const auto r = t::run(command);
    if (r.exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command << "\n" << r.output;
}

// Offset of the first "data" chunk's samples (the header as the tools wrote it).
size_t dataOffsetOf(const std::vector<uint8_t>& b) {
    for (size_t at = 12; at + 8 <= b.size();) {
        if (std::memcmp(b.data() + at, "data", 4) == 0) return at + 8;
        const uint32_t size = le32(b, at + 4);
        at += 8 + size + (size & 1u);
    }
    return 0;
}

// Block alignment stored in the first "fmt " chunk.
uint16_t blockAlignOf(const std::vector<uint8_t>& b) {
    for (size_t at = 12; at + 8 <= b.size();) {
        if (std::memcmp(b.data() + at, "fmt ", 4) == 0) return static_cast<uint16_t>(b[at + 20] | b[at + 21] << 8);
        const uint32_t size = le32(b, at + 4);
        at += 8 + size + (size & 1u);
    }
    return 0;
}

// What ffmpeg reads from a file, as 16-bit samples at the file's own rate and
// channels; `decoder` chooses its decoder ("-c:a libgsm_ms"). A file cut
// inside a sample frame makes ffmpeg exit with an error about the partial
// packet it drops, after writing everything before it.
std::vector<int16_t> ffmpegRead(const t::fs::path& file, const t::fs::path& out, const std::string& decoder = "",
                                bool cutShort = false) {
    const std::string command = "ffmpeg -v error -y " + decoder + " -i " + q(file) + " -f s16le " + q(out);
    if (cutShort) {
        t::fs::remove(out);
        t::run(command);
        EXPECT_TRUE(t::fs::exists(out)) << command;
    } else {
        EXPECT_TRUE(sh(command));
    }
    return t::readPcm16(out);
}

std::vector<int16_t> soxRead(const t::fs::path& file, const t::fs::path& out) {
    EXPECT_TRUE(sh("sox -V1 " + q(file) + " -t s16 " + q(out)));
    return t::readPcm16(out);
}

// The pipeline with its output reaching `file` through a pipe, so that the
// writer cannot seek back to its header.
std::string throughPipe(const std::string& pipeline, const t::fs::path& file) {
    return pipeline + " | cat > " + q(file);
}

std::vector<int16_t> prefix(const std::vector<int16_t>& v, size_t n) {
    return std::vector<int16_t>(v.begin(), v.begin() + static_cast<long>(std::min(n, v.size())));
}

class WavSizes : public t::AudioFileAndInfoSession {
protected:
    // Everything the AudioFile object delivers from a file, in its own format.
    struct Delivered {
        LONG error = 1;
        LONG nSamples = -1, duration = -1, rate = 0, channels = 0;
        std::vector<int16_t> samples;
        size_t frames() const { return channels > 0 ? samples.size() / static_cast<size_t>(channels) : 0; }
    };
    Delivered readThroughObject(const t::fs::path& file) {
        Delivered d;
        open(file.string(), WAV, READ);
        d.error = err();
        if (d.error != NOERRORS) return d;
        d.nSamples = prop(&IAudioFile::get_nSamples);
        d.duration = prop(&IAudioFile::get_Duration);
        d.rate = prop(&IAudioFile::get_ArrayFrequency);
        d.channels = prop(&IAudioFile::get_ArrayChannels);
        d.samples = readAll(4099);
        EXPECT_EQ(err(), NOERRORS);
        af->CloseFile();
        return d;
    }

    // Writes the samples through WriteFile; the error it left.
    LONG writeSamples(const std::vector<int16_t>& samples) {
        SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(samples.size()));
        void* p = nullptr;
        SafeArrayAccessData(sa, &p);
        std::memcpy(p, samples.data(), samples.size() * 2);
        SafeArrayUnaccessData(sa);
        EXPECT_EQ(af->WriteFile(&sa), S_OK);
        SafeArrayDestroy(sa);
        return err();
    }

    // Reads `file` through both components: the samples are `expected`, the
    // announced length is what ReadFile delivered, and AudioInformation
    // counts the same frames.
    Delivered expectRead(const t::fs::path& file, const std::vector<int16_t>& expected, int rate, int channels) {
        Delivered d = readThroughObject(file);
        EXPECT_EQ(d.error, NOERRORS);
        if (d.error != NOERRORS) return d;
        EXPECT_EQ(d.rate, rate);
        EXPECT_EQ(d.channels, channels);
        EXPECT_EQ(d.samples.size(), expected.size());
        EXPECT_TRUE(d.samples == expected)
            << "first difference at "
            << (std::mismatch(d.samples.begin(), d.samples.end(), expected.begin(), expected.end()).first -
                d.samples.begin());
        EXPECT_EQ(static_cast<size_t>(d.nSamples), d.frames());
        EXPECT_EQ(d.duration, static_cast<LONG>(d.frames() * 1000 / static_cast<size_t>(rate)));

        Bstr name(file.string());
        EXPECT_EQ(info->GetAudioInformation(name.get()), S_OK);
        SHORT type = 0;
        LONG samples = -1, duration = -1, size = -1;
        info->get_infoType(&type);
        info->get_infoSamples(&samples);
        info->get_infoDuration(&duration);
        info->get_infoSize(&size);
        EXPECT_EQ(type, 1);
        EXPECT_EQ(samples, d.nSamples) << "AudioInformation's sample count";
        EXPECT_NEAR(duration, d.duration, 1) << "AudioInformation's duration";
        EXPECT_EQ(static_cast<uint32_t>(size), static_cast<uint32_t>(t::fs::file_size(file)));
        return d;
    }

    t::TempDir dir;
};

}  // namespace

// PCM written to a pipe: ffmpeg leaves both sizes at 0xFFFFFFFF; sox writes
// 0x7FFFF000-ish sizes when its input has no length, and a "data" size of
// 0xFFFFFFFC with a RIFF size that wrapped to 32 when its input is itself a
// stream. Every tool reads such a file to its end; so do we.
TEST_F(WavSizes, PcmWrittenToPipesIsReadToTheEnd) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto stereo = dir / "stereo.wav", mono = dir / "mono.wav";
    const auto stereoSignal = t::testSignal(44100, 2, 66151);
    const auto monoSignal = t::testSignal(11025, 1, 11027);
    t::writeWav16(stereo, 44100, 2, stereoSignal);
    t::writeWav16(mono, 11025, 1, monoSignal);

    enum class Header { Unknown, Wrapped, Oversize };
    struct Case {
        const char* name;
        std::string pipeline;  // writes to the shell's stdout
        int rate, channels;
        bool sixteenBits;
        Header header;
        size_t extraFrames;  // beyond the source's
    };
    const Case cases[] = {
        {"ffmpeg_s16", "ffmpeg -v error -i " + q(stereo) + " -f wav -", 44100, 2, true, Header::Unknown, 0},
        {"ffmpeg_u8_odd", "ffmpeg -v error -i " + q(mono) + " -c:a pcm_u8 -f wav -", 11025, 1, false, Header::Unknown,
         0},
        {"sox_after_stream", "ffmpeg -v error -i " + q(stereo) + " -f wav - | sox -V1 -t wav - -t wav -", 44100, 2,
         true, Header::Wrapped, 0},
        {"sox_raw_s16", "sox -V1 " + q(stereo) + " -t s16 - | sox -V1 -t s16 -r 44100 -c 2 - -t wav -", 44100, 2, true,
         Header::Oversize, 0},
        // sox ends an odd "data" chunk with its pad byte even when it cannot
        // say where the chunk ends: every reader takes it as one more sample.
        {"sox_raw_u8", "sox -V1 " + q(mono) + " -t s16 - | sox -V1 -t s16 -r 11025 -c 1 - -b 8 -t wav -", 11025, 1,
         false, Header::Oversize, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / (std::string(c.name) + ".wav");
        ASSERT_TRUE(sh(throughPipe(c.pipeline, file)));
        const auto bytes = t::readBytes(file);
        const size_t data = dataOffsetOf(bytes);
        ASSERT_GT(data, 0u);
        // The file is what the case says it is.
        switch (c.header) {
        case Header::Unknown:
            EXPECT_EQ(le32(bytes, 4), 0xFFFFFFFFu);
            EXPECT_EQ(le32(bytes, data - 4), 0xFFFFFFFFu);
            break;
        case Header::Wrapped: EXPECT_LT(le32(bytes, 4) + 8u, data); break;
        case Header::Oversize: EXPECT_GT(le32(bytes, data - 4), bytes.size()); break;
        }

        const auto byFfmpeg = ffmpegRead(file, dir / "ff.s16");
        const auto bySox = soxRead(file, dir / "sox.s16");
        EXPECT_EQ(byFfmpeg.size(), bySox.size());
        const auto d = expectRead(file, byFfmpeg, c.rate, c.channels);
        EXPECT_TRUE(d.samples == bySox);
        if (c.sixteenBits) {
            EXPECT_TRUE(d.samples == (c.channels == 2 ? stereoSignal : monoSignal));
        }
        EXPECT_EQ(d.frames(), (c.channels == 2 ? 66151u : 11027u) + c.extraFrames);
    }
}

// Six channels at 16 or 24 bits (ffmpeg writes them as
// WAVE_FORMAT_EXTENSIBLE) read from a stream exactly as from a file, folded
// down to stereo, never judged by their sizes; AudioInformation reports them
// in full. Stereo at 24 bits is read, from a file or a stream, and gives back
// its 16-bit source exactly.
TEST_F(WavSizes, DeepAndSurroundStreamsReadAsTheirFiles) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const auto src = dir / "src.wav";
    const auto signal = t::testSignal(48000, 2, 4801);
    t::writeWav16(src, 48000, 2, signal);
    for (const bool piped : {false, true}) {
        SCOPED_TRACE(piped ? "24 bits, piped" : "24 bits, stored");
        const auto deep = dir / "deep.wav";
        const std::string make = "ffmpeg -v error -y -i " + q(src) + " -c:a pcm_s24le";
        ASSERT_TRUE(sh(piped ? throughPipe(make + " -f wav -", deep) : make + " " + q(deep)));
        expectRead(deep, signal, 48000, 2);
    }
    for (const std::string args : {"-ac 6", "-c:a pcm_s24le -ac 6"}) {
        SCOPED_TRACE(args);
        const auto piped = dir / "piped.wav", stored = dir / "stored.wav";
        ASSERT_TRUE(sh(throughPipe("ffmpeg -v error -i " + q(src) + " " + args + " -f wav -", piped)));
        ASSERT_TRUE(sh("ffmpeg -v error -y -i " + q(src) + " " + args + " " + q(stored)));
        const Delivered fromFile = readThroughObject(stored);
        EXPECT_EQ(fromFile.error, NOERRORS);
        EXPECT_EQ(fromFile.channels, 2);
        EXPECT_EQ(fromFile.frames(), 4801u);
        expectRead(piped, fromFile.samples, 48000, 2);
    }
}

// A download cut short keeps a header that promises the whole file: the
// samples are the whole sample frames that arrived (what ffmpeg and sox
// read), whether or not someone repaired the RIFF size.
TEST_F(WavSizes, CutShortFilesReadTheFramesThatArrived) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src = dir / "src.wav", whole = dir / "whole.wav";
    const auto signal = t::testSignal(48000, 2, 24000);
    t::writeWav16(src, 48000, 2, signal);
    ASSERT_TRUE(sh("sox -V1 " + q(src) + " " + q(whole)));
    const auto bytes = t::readBytes(whole);
    const size_t data = dataOffsetOf(bytes);
    ASSERT_GT(data, 0u);
    ASSERT_EQ(le32(bytes, data - 4), 24000u * 4);
    for (const size_t kept : {size_t{1}, size_t{4003}, size_t{24000 * 2 + 2}, size_t{24000 * 4 - 1}}) {
        for (const bool riffRepaired : {false, true}) {
            SCOPED_TRACE("data bytes " + std::to_string(kept) + (riffRepaired ? ", RIFF size repaired" : ""));
            auto cut = std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(data + kept));
            if (riffRepaired) putLe32(cut, 4, static_cast<uint32_t>(cut.size() - 8));
            const auto file = dir / "cut.wav";
            t::writeBytes(file, cut);
            const auto byFfmpeg = ffmpegRead(file, dir / "ff.s16", "", kept % 4 != 0);
            const auto bySox = soxRead(file, dir / "sox.s16");
            EXPECT_EQ(byFfmpeg.size(), kept / 4 * 2);
            const auto d = expectRead(file, prefix(signal, kept / 4 * 2), 48000, 2);
            EXPECT_TRUE(d.samples == byFfmpeg);
            EXPECT_TRUE(d.samples == bySox);
        }
    }
}

// With a "data" size of 0xFFFFFFFF nothing tells where the samples end: a
// chunk after them is read as samples, by ffmpeg, by sox and by us.
TEST_F(WavSizes, ChunksAfterDataOfUnknownSizeAreReadAsSamples) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src = dir / "src.wav", piped = dir / "piped.wav";
    t::writeWav16(src, 22050, 2, t::testSignal(22050, 2, 5000));
    ASSERT_TRUE(sh(throughPipe("ffmpeg -v error -i " + q(src) + " -f wav -", piped)));
    auto bytes = t::readBytes(piped);
    const std::string comment = "appended later";  // 14 bytes + NUL: odd, padded
    std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 15, 0, 0, 0};
    list.insert(list.end(), comment.begin(), comment.end());
    list.push_back(0);
    list.push_back(0);
    putLe32(list, 4, static_cast<uint32_t>(list.size() - 8));
    bytes.insert(bytes.end(), list.begin(), list.end());
    t::writeBytes(piped, bytes);

    const auto byFfmpeg = ffmpegRead(piped, dir / "ff.s16");
    const auto bySox = soxRead(piped, dir / "sox.s16");
    EXPECT_EQ(byFfmpeg.size(), (5000u * 4 + list.size()) / 4 * 2);
    EXPECT_TRUE(byFfmpeg == bySox);
    expectRead(piped, byFfmpeg, 22050, 2);
}

// An odd "data" size whose pad byte the file lacks, and chunks written after
// "data" (AudioInformation puts its tags there): the samples stay the same.
TEST_F(WavSizes, OddDataSizesAndChunksAfterData) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src = dir / "src.wav", eight = dir / "eight.wav";
    t::writeWav16(src, 11025, 1, t::testSignal(11025, 1, 11027));
    ASSERT_TRUE(sh("sox -V1 " + q(src) + " -b 8 " + q(eight)));
    auto bytes = t::readBytes(eight);
    const size_t data = dataOffsetOf(bytes);
    ASSERT_EQ(le32(bytes, data - 4), 11027u);
    ASSERT_EQ(bytes.size(), data + 11028);  // sox writes the pad byte
    const auto reference = ffmpegRead(eight, dir / "ref.s16");
    ASSERT_EQ(reference.size(), 11027u);

    {
        SCOPED_TRACE("pad byte missing, RIFF size still counting it");
        bytes.pop_back();
        const auto noPad = dir / "nopad.wav";
        t::writeBytes(noPad, bytes);
        EXPECT_TRUE(ffmpegRead(noPad, dir / "ff.s16") == reference);
        EXPECT_TRUE(soxRead(noPad, dir / "sox.s16") == reference);
        expectRead(noPad, reference, 11025, 1);
    }
    {
        SCOPED_TRACE("tags written after data");
        info->put_infoTitle(Bstr("Title after the samples").get());
        info->put_infoArtist(Bstr("Someone").get());
        EXPECT_EQ(info->SetAudioInformation(Bstr(eight.string()).get()), S_OK);
        const auto tagged = t::readBytes(eight);
        ASSERT_GT(tagged.size(), data + 11028);
        EXPECT_EQ(std::memcmp(tagged.data() + data + 11028, "LIST", 4), 0);
        EXPECT_TRUE(ffmpegRead(eight, dir / "ff.s16") == reference);
        expectRead(eight, reference, 11025, 1);
    }
}

// Compressed formats written to a pipe, whole and cut in the middle of a
// block. The codec manager decodes whole blocks only: a cut file yields every
// whole block and nothing of the partial one (ffmpeg and sox decode the
// partial block too; their samples before it are ours).
TEST_F(WavSizes, CompressedStreamsDecodeTheirWholeBlocks) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src22 = dir / "src22.wav", src8 = dir / "src8.wav";
    t::writeWav16(src22, 22050, 2, t::testSignal(22050, 2, 22050));
    t::writeWav16(src8, 8000, 1, t::testSignal(8000, 1, 12000));
    struct Case {
        const char* name;
        std::string pipeline;
        int rate, channels;
        std::string decoder;  // ffmpeg's decoder, where its default is not the same codec library
        bool soxExact;        // sox's ADPCM decoders round differently (IMA by up to 80, MS by up to 8)
    };
    auto ffPipe = [&](const t::fs::path& in, const std::string& args) {
        return "ffmpeg -v error -i " + q(in) + " " + args + " -f wav -";
    };
    auto soxPipe = [&](const t::fs::path& in, int rate, int channels, const std::string& args) {
        return "sox -V1 " + q(in) + " -t s16 - | sox -V1 -t s16 -r " + std::to_string(rate) + " -c " +
               std::to_string(channels) + " - " + args + " -t wav -";
    };
    const Case cases[] = {
        {"ffmpeg_ima", ffPipe(src22, "-c:a adpcm_ima_wav"), 22050, 2, "", false},
        {"ffmpeg_msadpcm", ffPipe(src22, "-c:a adpcm_ms"), 22050, 2, "", true},
        {"ffmpeg_alaw", ffPipe(src8, "-c:a pcm_alaw"), 8000, 1, "", true},
        {"ffmpeg_mulaw", ffPipe(src22, "-c:a pcm_mulaw"), 22050, 2, "", true},
        {"ffmpeg_gsm", ffPipe(src8, "-c:a libgsm_ms"), 8000, 1, "-c:a libgsm_ms", true},
        {"sox_ima", soxPipe(src22, 22050, 2, "-e ima-adpcm"), 22050, 2, "", false},
        {"sox_msadpcm", soxPipe(src8, 8000, 1, "-e ms-adpcm"), 8000, 1, "", false},
        {"sox_gsm", soxPipe(src8, 8000, 1, "-e gsm-full-rate"), 8000, 1, "-c:a libgsm_ms", true},
        {"sox_alaw", soxPipe(src22, 22050, 2, "-e a-law"), 22050, 2, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / (std::string(c.name) + ".wav");
        ASSERT_TRUE(sh(throughPipe(c.pipeline, file)));
        const auto bytes = t::readBytes(file);
        const size_t data = dataOffsetOf(bytes);
        const size_t block = blockAlignOf(bytes);
        ASSERT_GT(data, 0u);
        ASSERT_GT(block, 0u);
        EXPECT_GT(static_cast<uint64_t>(le32(bytes, data - 4)), bytes.size() - data);  // a size that promises more
        const size_t blocks = (bytes.size() - data) / block;
        ASSERT_EQ((bytes.size() - data) % block, 0u) << "the writer left a partial block";

        const auto whole = ffmpegRead(file, dir / "ff.s16", c.decoder);
        ASSERT_EQ(whole.size() % (blocks * c.channels), 0u);
        const size_t perBlock = whole.size() / c.channels / blocks;  // sample frames per block
        const auto d = expectRead(file, whole, c.rate, c.channels);
        const auto bySox = soxRead(file, dir / "sox.s16");
        EXPECT_EQ(bySox.size(), d.samples.size()) << "sox's length";
        if (c.soxExact) {
            EXPECT_TRUE(d.samples == bySox) << "sox's samples";
        }

        if (block < 2) continue;  // no partial blocks
        SCOPED_TRACE("cut after 2.5 blocks");
        const auto cutFile = dir / (std::string(c.name) + "_cut.wav");
        const size_t kept = 2 * block + block / 2 + 1;
        t::writeBytes(cutFile, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(data + kept)));
        const auto byFfmpeg = ffmpegRead(cutFile, dir / "ffcut.s16", c.decoder, true);
        const size_t expectedFrames = kept / block * perBlock;
        EXPECT_GE(byFfmpeg.size(), expectedFrames * c.channels);
        const auto cut = expectRead(cutFile, prefix(byFfmpeg, expectedFrames * c.channels), c.rate, c.channels);
        EXPECT_TRUE(cut.samples == prefix(whole, expectedFrames * c.channels));
    }
}

// "RF64": the sizes are in its "ds64" chunk. ffmpeg writes one to a pipe
// with the "ds64" sizes left at 0; ffmpeg and sox then read nothing, we read
// the samples the file holds.
TEST_F(WavSizes, Rf64FilesAreRead) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src = dir / "src.wav", rf64 = dir / "rf64.wav", piped = dir / "rf64piped.wav";
    const auto signal = t::testSignal(44100, 2, 30001);
    t::writeWav16(src, 44100, 2, signal);
    ASSERT_TRUE(sh("ffmpeg -v error -i " + q(src) + " -rf64 always -y " + q(rf64)));
    ASSERT_TRUE(sh(throughPipe("ffmpeg -v error -i " + q(src) + " -rf64 always -f wav -", piped)));
    for (const auto& file : {rf64, piped}) {
        const auto bytes = t::readBytes(file);
        ASSERT_EQ(std::memcmp(bytes.data(), "RF64", 4), 0);
        ASSERT_EQ(std::memcmp(bytes.data() + 12, "ds64", 4), 0);
    }
    const auto d = expectRead(rf64, signal, 44100, 2);
    EXPECT_TRUE(d.samples == ffmpegRead(rf64, dir / "ff.s16"));
    EXPECT_TRUE(d.samples == soxRead(rf64, dir / "sox.s16"));
    expectRead(piped, signal, 44100, 2);
}

// Opened for reading and writing, a file whose sizes do not describe it is
// left byte for byte as it was when nothing is written; once something is
// written, its sizes become what it holds when it is closed. An "RF64" file
// is overwritten in place only: writes beyond its samples are refused.
TEST_F(WavSizes, ReadWriteKeepsFilesWhole) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const auto src = dir / "src.wav";
    const auto signal = t::testSignal(22050, 2, 4000);
    t::writeWav16(src, 22050, 2, signal);
    const std::vector<int16_t> patch(2 * 50, 1234), tail(2 * 100, -4321);

    auto expectSizesOf = [&](const t::fs::path& file, size_t frames) {
        const auto b = t::readBytes(file);
        const size_t data = dataOffsetOf(b);
        EXPECT_EQ(b.size(), data + frames * 4);
        EXPECT_EQ(le32(b, 4), b.size() - 8);
        EXPECT_EQ(le32(b, data - 4), frames * 4);
    };

    struct Made {
        const char* name;
        std::string pipeline;
        bool append;  // else only overwritten
    };
    const Made streamed[] = {
        {"ffmpeg", "ffmpeg -v error -i " + q(src) + " -f wav -", true},
        {"sox_wrapped", "ffmpeg -v error -i " + q(src) + " -f wav - | sox -V1 -t wav - -t wav -", false},
    };
    for (const Made& m : streamed) {
        SCOPED_TRACE(m.name);
        const auto file = dir / (std::string(m.name) + ".wav");
        ASSERT_TRUE(sh(throughPipe(m.pipeline, file)));
        const auto before = t::readBytes(file);

        open(file.string(), WAV, READWRITE);
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 4000);
        af->CloseFile();
        EXPECT_TRUE(t::readBytes(file) == before) << "opened and closed without a write";

        open(file.string(), WAV, READWRITE);
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(seek(100), 100);
        EXPECT_EQ(writeSamples(patch), NOERRORS);
        if (m.append) {
            EXPECT_EQ(seek(0, END_POS), 4000);
            EXPECT_EQ(writeSamples(tail), NOERRORS);
        }
        const size_t frames = m.append ? 4100 : 4000;
        EXPECT_EQ(static_cast<size_t>(prop(&IAudioFile::get_nSamples)), frames);
        af->CloseFile();
        ASSERT_EQ(err(), NOERRORS);

        auto expected = signal;
        std::copy(patch.begin(), patch.end(), expected.begin() + 200);
        if (m.append) expected.insert(expected.end(), tail.begin(), tail.end());
        expectSizesOf(file, frames);
        EXPECT_TRUE(ffmpegRead(file, dir / "ff.s16") == expected);
        EXPECT_TRUE(soxRead(file, dir / "sox.s16") == expected);
        expectRead(file, expected, 22050, 2);
    }
    {
        SCOPED_TRACE("cut short inside a sample frame");
        const auto whole = dir / "whole.wav", file = dir / "cut.wav";
        ASSERT_TRUE(sh("sox -V1 " + q(src) + " " + q(whole)));
        auto b = t::readBytes(whole);
        const size_t data = dataOffsetOf(b);
        b.resize(data + 3000 * 4 + 3);
        t::writeBytes(file, b);
        open(file.string(), WAV, READWRITE);
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 3000);
        EXPECT_EQ(seek(0, END_POS), 3000);
        EXPECT_EQ(writeSamples(tail), NOERRORS);
        af->CloseFile();
        auto expected = prefix(signal, 3000 * 2);
        expected.insert(expected.end(), tail.begin(), tail.end());
        expectSizesOf(file, 3100);
        EXPECT_TRUE(ffmpegRead(file, dir / "ff.s16") == expected);
        expectRead(file, expected, 22050, 2);
    }
    {
        SCOPED_TRACE("RF64");
        const auto file = dir / "rf64.wav";
        ASSERT_TRUE(sh("ffmpeg -v error -i " + q(src) + " -rf64 always -y " + q(file)));
        const auto before = t::readBytes(file);
        open(file.string(), WAV, READWRITE);
        ASSERT_EQ(err(), NOERRORS);
        EXPECT_EQ(seek(100), 100);
        EXPECT_EQ(writeSamples(patch), NOERRORS);
        EXPECT_EQ(seek(0, END_POS), 4000);
        EXPECT_EQ(writeSamples(tail), FILEACCESS);
        af->CloseFile();
        const auto after = t::readBytes(file);
        ASSERT_EQ(after.size(), before.size());
        const size_t data = dataOffsetOf(before);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + static_cast<long>(data), after.begin()));
        auto expected = signal;
        std::copy(patch.begin(), patch.end(), expected.begin() + 200);
        EXPECT_TRUE(ffmpegRead(file, dir / "ff.s16") == expected);
        expectRead(file, expected, 22050, 2);
    }
}

// A stream beyond 4 GiB (ffmpeg's header, samples up to 5 GiB and a partial
// frame, kept sparse on disk): its length, its last frames, and the same
// count from AudioInformation.
TEST_F(WavSizes, StreamsBeyondFourGiB) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const auto src = dir / "src.wav", big = dir / "big.wav";
    t::writeWav16(src, 44100, 2, t::testSignal(44100, 2, 1000));
    ASSERT_TRUE(sh(throughPipe("ffmpeg -v error -i " + q(src) + " -f wav -", big)));
    const size_t data = dataOffsetOf(t::readBytes(big));
    const uint64_t size = (uint64_t{5} << 30) + 2;
    t::fs::resize_file(big, size);
    const uint64_t frames = (size - data) / 4;
    ASSERT_LT(frames, 0x7FFFFFFFu);

    open(big.string(), WAV, READ);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(static_cast<uint64_t>(prop(&IAudioFile::get_nSamples)), frames);
    const LONG duration = prop(&IAudioFile::get_Duration);
    EXPECT_EQ(static_cast<uint64_t>(duration), frames * 1000 / 44100);
    EXPECT_EQ(static_cast<uint64_t>(seek(static_cast<LONG>(frames - 10))), frames - 10);
    const auto last = readAll(64);
    EXPECT_EQ(last.size(), 20u);
    EXPECT_TRUE(std::all_of(last.begin(), last.end(), [](int16_t s) { return s == 0; }));
    EXPECT_EQ(seek(0), 0);
    EXPECT_EQ(t::readOnce(af.get(), 1000).size(), 2000u);
    af->CloseFile();

    EXPECT_EQ(info->GetAudioInformation(Bstr(big.string()).get()), S_OK);
    LONG samples = -1, infoDuration = -1;
    info->get_infoSamples(&samples);
    info->get_infoDuration(&infoDuration);
    EXPECT_EQ(static_cast<uint64_t>(samples), frames);
    EXPECT_NEAR(infoDuration, duration, 1);
}

// MP3 in WAV as ffmpeg writes it (a block alignment of 576 that MPEG frames
// do not keep to), whole and streamed: frames appended through the codec
// manager follow the frames already stored, byte for byte, and the file
// stays readable by ffmpeg and by us.
TEST_F(WavSizes, Mp3FramesAreAppendedAfterTheStoredOnes) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const auto src = dir / "src.wav";
    t::writeWav16(src, 22050, 1, t::testSignal(22050, 1, 22050));
    for (const bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "whole");
        const auto file = dir / (streamed ? "streamed.wav" : "whole.wav");
        const std::string encode = "ffmpeg -v error -i " + q(src) + " -c:a libmp3lame -b:a 32k";
        if (streamed) {
            ASSERT_TRUE(sh(throughPipe(encode + " -f wav -", file)));
        } else {
            ASSERT_TRUE(sh(encode + " -y " + q(file)));
        }
        const auto before = t::readBytes(file);
        const size_t data = dataOffsetOf(before);
        ASSERT_GT(blockAlignOf(before), 1u);
        const size_t decodedBefore = ffmpegRead(file, dir / "before.s16").size();

        open(file.string(), WAV, READWRITE);
        ASSERT_EQ(err(), NOERRORS);
        seek(0, END_POS);
        const auto tail = t::testSignal(22050, 1, 11025);
        EXPECT_EQ(writeSamples(tail), NOERRORS);
        af->CloseFile();
        ASSERT_EQ(err(), NOERRORS);

        const auto after = t::readBytes(file);
        ASSERT_GT(after.size(), before.size());
        EXPECT_TRUE(
            std::equal(before.begin() + static_cast<long>(data), before.end(), after.begin() + static_cast<long>(data)))
            << "the stored frames were overwritten";
        EXPECT_EQ(le32(after, 4), after.size() - 8);
        const uint32_t dataSize = le32(after, data - 4);
        EXPECT_EQ(dataSize + (dataSize & 1u), after.size() - data) << "the data size, with its pad byte";
        const size_t decodedAfter = ffmpegRead(file, dir / "after.s16").size();
        EXPECT_GE(decodedAfter, decodedBefore + tail.size() - 1152);
        EXPECT_LE(decodedAfter, decodedBefore + tail.size() + 2 * 1152);
        open(file.string(), WAV, READ);
        EXPECT_EQ(err(), NOERRORS);
        EXPECT_NEAR(prop(&IAudioFile::get_nSamples), static_cast<LONG>(decodedAfter), 2 * 1152);
        af->CloseFile();
    }
}
