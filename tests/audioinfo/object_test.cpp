// The AudioInformation object through its interface: state, classification,
// file-type tests, cue list members, and tag round trips checked by ffprobe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fixtures.h"
#include "kind_files.h"
#include "object/audio_information.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;
using com::Bstr;

class InfoObject : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(com::createInstance<AudioInformationObject>(IID_IAudioInformation, reinterpret_cast<void**>(&info)),
                  S_OK);
    }
    void TearDown() override {
        if (info) info->Release();
    }
    void get(const fs::path& p) { info->GetAudioInformation(Bstr(p.string()).get()); }
    void set(const fs::path& p) { info->SetAudioInformation(Bstr(p.string()).get()); }
    SHORT type() {
        SHORT t = -1;
        info->get_infoType(&t);
        return t;
    }
    LONG num(HRESULT (IAudioInformation::*getter)(LONG*)) {
        LONG v = -12345;
        EXPECT_EQ((info->*getter)(&v), S_OK);
        return v;
    }
    std::string str(HRESULT (IAudioInformation::*getter)(BSTR*)) {
        BSTR b = nullptr;
        EXPECT_EQ((info->*getter)(&b), S_OK);
        return Bstr::adopt(b).utf8();
    }
    bool yes(HRESULT (IAudioInformation::*test)(BSTR, BOOL*), const fs::path& p) {
        BOOL r = -1;
        EXPECT_EQ((info->*test)(Bstr(p.string()).get(), &r), S_OK);
        return r != FALSE;
    }
    IAudioInformation* info = nullptr;
};

TEST_F(InfoObject, DefaultsAndSimpleProperties) {
    SHORT s = 0;
    info->get_infoGenre(&s);
    EXPECT_EQ(s, 12);
    info->get_mp3TagInfoVersion(&s);
    EXPECT_EQ(s, 1);
    BOOL fast = FALSE;
    info->get_mp3FastAnalysis(&fast);
    EXPECT_TRUE(fast);
    for (SHORT in : {0, 5, 2, -3}) {
        info->put_mp3TagInfoVersion(in);
        info->get_mp3TagInfoVersion(&s);
        EXPECT_EQ(s, in <= 0 ? 1 : in > 2 ? 2 : in);
    }
    BSTR g = nullptr;
    info->GenreToString(-1, &g);
    EXPECT_EQ(Bstr::adopt(g).utf8(), "Other");
    info->GenreToString(148, &g);
    EXPECT_EQ(Bstr::adopt(g).utf8(), "Other");
    info->GenreToString(147, &g);
    EXPECT_EQ(Bstr::adopt(g).utf8(), "SynthPop");
    info->put_infoTitle(Bstr("x").get());
    info->put_infoTitle(nullptr);
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "");
    info->put_infoTitle(Bstr("Ünïcode title of some length").get());
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "Ünïcode title of some length");
    info->put_infoTitle(Bstr("").get());
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "");
    info->put_infoGenre(500);
    info->get_infoGenre(&s);
    EXPECT_EQ(s, 500);
}

TEST_F(InfoObject, ClassificationOfMissingFiles) {
    TempDir dir;
    get(dir / "SONG.MP3");
    EXPECT_EQ(type(), 2);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), -1);
    get(dir / "song.mp3.wav");
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 0);
    get(dir / "song.dat");
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), -1);
    info->GetAudioInformation(nullptr);
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), -1);
    writeBytes(dir / "noext", std::vector<uint8_t>(77, 0));
    get(dir / "noext");
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 77);
    writeBytes(dir / "dot.", std::vector<uint8_t>(5, 0));
    get(dir / "dot.");
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 5);
}

TEST_F(InfoObject, ContentTestsAndTheProbeChain) {
    TempDir dir;
    const auto wavAsMp3 = dir / "really.mp3";
    writeWav16(wavAsMp3, 8000, 1, std::vector<int16_t>(8000, 0));
    EXPECT_TRUE(yes(&IAudioInformation::IsWavFile, wavAsMp3));
    EXPECT_FALSE(yes(&IAudioInformation::IsMp3File, wavAsMp3));
    EXPECT_TRUE(yes(&IAudioInformation::IsAudioFile, wavAsMp3));
    EXPECT_EQ(type(), 2);
    EXPECT_FALSE(yes(&IAudioInformation::IsInfoSupport, wavAsMp3));
    get(wavAsMp3);
    EXPECT_EQ(type(), 2);  // read by the MPEG reader, which finds nothing
    EXPECT_EQ(num(&IAudioInformation::get_infoDuration), 0);

    const auto avi = dir / "a.avi";
    ASSERT_TRUE(info::ffmpegSine(avi, 1.0, 22050, 1, "-c:a pcm_s16le"));
    EXPECT_TRUE(yes(&IAudioInformation::IsAviFile, avi));
    EXPECT_FALSE(yes(&IAudioInformation::IsInfoSupport, avi));
    EXPECT_TRUE(yes(&IAudioInformation::IsAudioFile, avi));
    get(avi);
    EXPECT_EQ(type(), 5);
    EXPECT_EQ(num(&IAudioInformation::get_infoFrequency), 22050);
    EXPECT_EQ(num(&IAudioInformation::get_infoSamples), 22050);
    EXPECT_EQ(num(&IAudioInformation::get_infoDuration), 1000);
    EXPECT_EQ(num(&IAudioInformation::get_infoBitrate), 22050 * 16);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 44100);

    writeBytes(dir / "junk.bin", std::vector<uint8_t>(5000, 0x33));
    EXPECT_FALSE(yes(&IAudioInformation::IsAudioFile, dir / "junk.bin"));
    EXPECT_EQ(type(), 0);
    EXPECT_TRUE(yes(&IAudioInformation::IsMpPlusFile, testdata("mpc/click.mpc")));
}

// A file of a kind in the signature probe's table (from the table, so the
// kinds a later reader takes are answered by it): read under its usual name
// only when a reader here reads the kind; under the name of another type it
// is a file that type's reader cannot read (type 0, nothing but, for an
// unknown extension, its size), its cause names the kind, no tag is written
// into it, and it is an audio file exactly when some reader reads it.
TEST_F(InfoObject, FilesOfKindsTheirReaderDoesNotReadAreNotRead) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    for (const KindFile& f : makeKindFiles(dir.path())) {
        const probe::KindInfo& row = *probe::info(f.kind);
        SCOPED_TRACE(f.path.filename().string());
        get(f.path);
        const bool readable = type() != 0;
        com::takeErrorDescription();
        // A kind some reader here reads is an audio file (an A-law AIFF-C
        // whose samples are not read too), whatever its name.
        const bool audio = yes(&IAudioInformation::IsAudioFile, f.path);
        if (readable) EXPECT_TRUE(audio);
        for (const char* name : {"as.mp3", "as.wav", "as.mpc", "as.xyz"}) {
            SCOPED_TRACE(name);
            // Stream version 8 is the MPEG Plus type's own.
            if (f.kind == probe::Kind::Musepack8 && std::string_view(name) == "as.mpc") continue;
            const fs::path copy = copyAs(f.path, dir.path(), name);
            const bool unknown = std::string_view(name) == "as.xyz";
            get(copy);
            EXPECT_EQ(type(), 0);
            EXPECT_EQ(num(&IAudioInformation::get_infoFrequency), 0);
            EXPECT_EQ(num(&IAudioInformation::get_infoDuration), 0);
            EXPECT_EQ(num(&IAudioInformation::get_infoChannels), 0);
            EXPECT_EQ(num(&IAudioInformation::get_infoSize), unknown ? static_cast<LONG>(fs::file_size(copy)) : 0);
            const std::string cause = com::takeErrorDescription();
            if (!unknown || !row.audio) {
                EXPECT_TRUE(cause.starts_with(row.name)) << cause;
            }
            EXPECT_EQ(yes(&IAudioInformation::IsAudioFile, copy), audio);
            EXPECT_FALSE(yes(&IAudioInformation::IsInfoSupport, copy));
            if (unknown) continue;
            const auto before = readBytes(copy);
            info->put_infoTitle(Bstr("Title").get());
            set(copy);
            EXPECT_EQ(readBytes(copy), before) << "no tag written into it";
            EXPECT_TRUE(com::takeErrorDescription().starts_with("cannot write the tags: " + std::string(row.name)));
        }
    }
}

// Deep and float WAVs are WAVs to every test and read with their own bits;
// files beyond 2 GiB keep their duration, and infoSize saturates instead of
// wrapping to a negative or small length.
TEST_F(InfoObject, DeepAndLargeWavFiles) {
    QORO_REQUIRE_TOOLS("sox", "soxi");
    TempDir dir;
    const auto f64 = dir / "f64.wav";
    ASSERT_TRUE(info::make("sox -n -r 22050 -c 2 -b 64 -e float " + shellQuote(f64.string()) + " synth 1.25 sine 440"));
    for (auto test :
         {&IAudioInformation::IsWavFile, &IAudioInformation::IsAudioFile, &IAudioInformation::IsInfoSupport})
        EXPECT_TRUE(yes(test, f64));
    EXPECT_FALSE(yes(&IAudioInformation::IsMp3File, f64));
    get(f64);
    EXPECT_EQ(type(), 1);
    EXPECT_EQ(num(&IAudioInformation::get_infoBitsPerSample), 64);
    EXPECT_EQ(num(&IAudioInformation::get_infoFormatTag), 3);
    EXPECT_EQ(num(&IAudioInformation::get_infoFrequency), 22050);
    EXPECT_EQ(num(&IAudioInformation::get_infoChannels), 2);
    EXPECT_EQ(num(&IAudioInformation::get_infoBitrate), 22050 * 2 * 64);
    EXPECT_EQ(num(&IAudioInformation::get_infoSamples), info::soxi("-s", f64));
    EXPECT_EQ(num(&IAudioInformation::get_infoDuration), std::lround(info::soxi("-D", f64) * 1000));
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), static_cast<LONG>(fs::file_size(f64)));
    EXPECT_EQ(str(&IAudioInformation::get_infoFormatString), "IEEE Float 22,050 kHz, 64 Bit, Stereo");

    // 3 GiB of 16-bit stereo at 44.1 kHz (sparse).
    constexpr uint64_t kData = 0xC0000000u;
    const auto big = dir / "big.wav";
    info::writeSparseWav(big, 44100, 2, 16, static_cast<uint32_t>(kData + 36), static_cast<uint32_t>(kData),
                         kData + 44);
    EXPECT_TRUE(yes(&IAudioInformation::IsWavFile, big));
    get(big);
    EXPECT_EQ(type(), 1);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 2147483647);
    EXPECT_EQ(num(&IAudioInformation::get_infoSamples), info::soxi("-s", big));
    EXPECT_EQ(num(&IAudioInformation::get_infoDuration), std::lround(info::soxi("-D", big) * 1000));
    EXPECT_EQ(num(&IAudioInformation::get_infoBitrate), 1411200);
    // A file of no type read: its length, saturated too.
    fs::rename(big, dir / "big.dat");
    get(dir / "big.dat");
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(num(&IAudioInformation::get_infoSize), 2147483647);
}

TEST_F(InfoObject, CueOrderingAndCursor) {
    LONG v = -1;
    info->DeleteCue();
    EXPECT_EQ(num(&IAudioInformation::get_cueCount), 0);
    EXPECT_EQ(str(&IAudioInformation::get_cueLabel), "");
    EXPECT_EQ(num(&IAudioInformation::get_cuePosition), 0);
    info->put_cueNum(2);
    EXPECT_EQ(num(&IAudioInformation::get_cueNum), 0);

    info->InsertCue(300, 0, Bstr("c").get(), nullptr, nullptr, 0, 0, 0, 0);
    info->InsertCue(100, 0, Bstr("a").get(), nullptr, nullptr, 0, 0, 0, 0);
    info->InsertCue(200, 5, Bstr("b").get(), Bstr("n").get(), Bstr("t").get(), 1, 2, 3, 4);
    EXPECT_EQ(num(&IAudioInformation::get_cueCount), 3);
    EXPECT_EQ(num(&IAudioInformation::get_cueNum), 2);
    for (LONG n = 1; n <= 3; ++n) {
        info->put_cueNum(n);
        info->get_cuePosition(&v);
        EXPECT_EQ(v, n * 100);
    }
    info->put_cuePosition(50);  // on the third: re-sorted, the cursor keeps number 3
    EXPECT_EQ(num(&IAudioInformation::get_cueNum), 3);
    EXPECT_EQ(num(&IAudioInformation::get_cuePosition), 200);
    EXPECT_EQ(str(&IAudioInformation::get_cueLabel), "b");
    info->put_cueNum(10);
    EXPECT_EQ(num(&IAudioInformation::get_cueNum), 3);
    info->put_cueNum(0);
    EXPECT_EQ(num(&IAudioInformation::get_cuePosition), 50);
    info->put_cuePosition(-7);
    EXPECT_EQ(num(&IAudioInformation::get_cuePosition), 0);
    info->put_cueNum(3);
    info->DeleteCue();
    EXPECT_EQ(num(&IAudioInformation::get_cueCount), 2);
    EXPECT_EQ(num(&IAudioInformation::get_cueNum), 2);
}

TEST_F(InfoObject, WavTagsAndCuesRoundTrip) {
    TempDir dir;
    const auto wav = dir / "t.wav";
    writeWav16(wav, 44100, 2, testSignal(44100, 2, 4410));
    const auto audio = readBytes(wav);
    info->put_infoTitle(Bstr("Tïtle").get());
    info->put_infoAlbum(Bstr("Album").get());
    info->put_infoArtist(Bstr("Artist").get());
    info->put_infoComposer(Bstr("Composer").get());
    info->put_infoURL(Bstr("http://x/").get());
    info->put_infoYear(2002);
    info->put_infoTrack(5);
    info->put_infoGenre(17);
    info->InsertCue(300, 0, Bstr("three").get(), nullptr, nullptr, 0, 0, 0, 0);
    info->InsertCue(100, 10, Bstr("one").get(), Bstr("note").get(), Bstr("text").get(), 0, 0, 0, 0);
    set(wav);
    const auto written = readBytes(wav);
    ASSERT_GE(written.size(), audio.size());
    EXPECT_EQ(0, std::memcmp(written.data() + 44, audio.data() + 44, audio.size() - 44));

    const auto p = info::probe(wav);
    EXPECT_EQ(p.at("tag:title"), "Album");  // "INAM" carries the album
    EXPECT_EQ(p.at("tag:artist"), "Artist");
    EXPECT_EQ(p.at("tag:genre"), "Rock");
    EXPECT_EQ(p.at("tag:date"), "2002");
    EXPECT_EQ(p.at("tag:track"), "5");

    info->put_infoTitle(nullptr);
    get(wav);
    EXPECT_EQ(type(), 1);
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "Tïtle");
    EXPECT_EQ(str(&IAudioInformation::get_infoComposer), "Composer");
    EXPECT_EQ(str(&IAudioInformation::get_infoURL), "http://x/");
    EXPECT_EQ(num(&IAudioInformation::get_infoSamples), 4410);
    EXPECT_EQ(num(&IAudioInformation::get_cueCount), 2);
    info->put_cueNum(1);
    EXPECT_EQ(num(&IAudioInformation::get_cuePosition), 100);
    EXPECT_EQ(num(&IAudioInformation::get_cueLength), 10);
    EXPECT_EQ(str(&IAudioInformation::get_cueNote), "note");
    EXPECT_EQ(str(&IAudioInformation::get_cueText), "text");
    info->put_cueNum(2);
    EXPECT_EQ(str(&IAudioInformation::get_cueLabel), "three");
}

TEST_F(InfoObject, Id3v2WrittenAndReadByFfprobe) {
    TempDir dir;
    const auto mp3 = dir / "s.mp3";
    ASSERT_TRUE(info::ffmpegSine(mp3, 2.0, 44100, 2, "-c:a libmp3lame -b:a 128k -id3v2_version 0 -write_xing 0"));
    const auto audio = readBytes(mp3);
    info->put_mp3TagInfoVersion(2);
    info->put_infoTitle(Bstr("Заголовок").get());
    info->put_infoArtist(Bstr("Artist").get());
    info->put_infoAlbum(Bstr("Album").get());
    info->put_infoComments(Bstr("Comment").get());
    info->put_infoComposer(Bstr("Composer").get());
    info->put_infoEncodedBy(Bstr("Enc").get());
    info->put_infoCopyright(Bstr("(c)").get());
    info->put_infoYear(1998);
    info->put_infoTrack(4);
    info->put_infoGenre(13);
    set(mp3);
    set(mp3);  // twice: the second skips exactly the first tag
    EXPECT_FALSE(fs::exists(dir / "s.mp3~"));
    const auto tagged = readBytes(mp3);
    ASSERT_GT(tagged.size(), audio.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), tagged.end() - static_cast<long>(audio.size())));

    const auto p = info::probe(mp3);
    EXPECT_EQ(p.at("tag:title"), "Заголовок");
    EXPECT_EQ(p.at("tag:artist"), "Artist");
    EXPECT_EQ(p.at("tag:album"), "Album");
    EXPECT_EQ(p.at("tag:composer"), "Composer");
    EXPECT_EQ(p.at("tag:encoded_by"), "Enc");
    EXPECT_EQ(p.at("tag:copyright"), "(c)");
    EXPECT_EQ(p.at("tag:track"), "4");
    EXPECT_EQ(p.at("tag:date"), "1998");
    EXPECT_EQ(p.at("tag:genre"), "Pop");

    get(mp3);
    EXPECT_EQ(type(), 2);
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "Заголовок");
    SHORT g = 0;
    info->get_infoGenre(&g);
    EXPECT_EQ(g, 13);
    EXPECT_EQ(num(&IAudioInformation::get_infoYear), 1998);
    EXPECT_NEAR(num(&IAudioInformation::get_infoDuration), info::number(p, "duration") * 1000.0, 27);
}

TEST_F(InfoObject, OggCommentsThroughTheObject) {
    TempDir dir;
    const auto ogg = dir / "v.ogg";
    const auto wav = dir / "in.wav";
    writeWav16(wav, 44100, 2, testSignal(44100, 2, 44100));
    ASSERT_TRUE(info::make("oggenc -Q -b 128 -o " + shellQuote(ogg.string()) + " " + shellQuote(wav.string())));
    get(ogg);
    EXPECT_EQ(type(), 3);
    EXPECT_EQ(num(&IAudioInformation::get_infoBitrate), 128);
    info->put_infoComposer(Bstr("").get());
    info->put_infoURL(Bstr("http://u/").get());
    info->put_infoTitle(Bstr("Naïve").get());
    set(ogg);
    const CommandResult list = run("vorbiscomment -l " + shellQuote(ogg.string()));
    EXPECT_NE(list.output.find("URL=http://u/"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("Title=Naïve"), std::string::npos) << list.output;
    get(ogg);
    EXPECT_EQ(str(&IAudioInformation::get_infoTitle), "Naïve");
    EXPECT_EQ(num(&IAudioInformation::get_infoSamples), 44100);
}

}  // namespace
}  // namespace qoro::audioinfo
