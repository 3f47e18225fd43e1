// IAudioInformation2 on the object: fields and pictures of MP3 files tagged
// by mutagen and of WAV files tagged by ffmpeg, read, changed and written as
// mutagen and ffprobe see them afterwards, and the writes the file type
// cannot hold refused with the file left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../common_tags/id3_fixtures.h"
#include "fixtures.h"
#include "object/audio_information.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;
using com::Bstr;
using Bytes = std::vector<uint8_t>;

// A VARIANT holding a byte array (freed by the caller with VariantClear).
VARIANT byteArray(const Bytes& bytes) {
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* p = nullptr;
    SafeArrayAccessData(a, &p);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(p));
    SafeArrayUnaccessData(a);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = a;
    return v;
}

Bytes bytesOf(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1)) return {};
    LONG low = 0, high = -1;
    SafeArrayGetLBound(v.parray, 1, &low);
    SafeArrayGetUBound(v.parray, 1, &high);
    void* p = nullptr;
    SafeArrayAccessData(v.parray, &p);
    Bytes out(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + (high - low + 1));
    SafeArrayUnaccessData(v.parray);
    return out;
}

size_t diffLines(const std::string& diff) {
    size_t n = 0;
    for (size_t at = 0; (at = diff.find("DIFF ", at)) != std::string::npos; at += 5) ++n;
    return n;
}

class FieldsObject : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(com::createInstance<AudioInformationObject>(IID_IAudioInformation2, reinterpret_cast<void**>(&info)),
                  S_OK);
    }
    void TearDown() override {
        if (info) info->Release();
    }
    void get(const fs::path& p) { info->GetAudioInformation(Bstr(p.string()).get()); }
    HRESULT set(const fs::path& p) { return info->SetAudioInformation(Bstr(p.string()).get()); }
    std::string field(const std::string& name) {
        BSTR b = nullptr;
        EXPECT_EQ(info->GetField(Bstr(name).get(), &b), S_OK);
        return Bstr::adopt(b).utf8();
    }
    HRESULT setField(const std::string& name, const std::string& value) {
        return info->SetField(Bstr(name).get(), Bstr(value).get());
    }
    std::vector<std::string> names() {
        VARIANT v;
        VariantInit(&v);
        EXPECT_EQ(info->GetFieldNames(&v), S_OK);
        return texts(v);
    }
    std::vector<std::string> values(const std::string& name) {
        VARIANT v;
        VariantInit(&v);
        IAudioInformation3* third = nullptr;
        EXPECT_EQ(info->QueryInterface(IID_IAudioInformation3, reinterpret_cast<void**>(&third)), S_OK);
        EXPECT_EQ(third->GetFieldValues(Bstr(name).get(), &v), S_OK);
        third->Release();
        return texts(v);
    }
    HRESULT setValues(const std::string& name, const std::vector<std::string>& list) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_BSTR;
        v.parray = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(list.size()));
        void* p = nullptr;
        SafeArrayAccessData(v.parray, &p);
        for (size_t i = 0; i < list.size(); ++i) static_cast<BSTR*>(p)[i] = com::bstrFromUtf8(list[i]);
        SafeArrayUnaccessData(v.parray);
        IAudioInformation3* third = nullptr;
        EXPECT_EQ(info->QueryInterface(IID_IAudioInformation3, reinterpret_cast<void**>(&third)), S_OK);
        const HRESULT hr = third->SetFieldValues(Bstr(name).get(), v);
        third->Release();
        VariantClear(&v);
        return hr;
    }
    // The texts of a VT_ARRAY | VT_BSTR (cleared).
    static std::vector<std::string> texts(VARIANT& v) {
        std::vector<std::string> out;
        EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
        if (v.vt != (VT_ARRAY | VT_BSTR)) return out;
        LONG low = 0, high = -1;
        SafeArrayGetLBound(v.parray, 1, &low);
        SafeArrayGetUBound(v.parray, 1, &high);
        void* p = nullptr;
        SafeArrayAccessData(v.parray, &p);
        for (LONG i = 0; i <= high - low; ++i) out.push_back(com::utf8FromBstr(static_cast<BSTR*>(p)[i]));
        SafeArrayUnaccessData(v.parray);
        VariantClear(&v);
        return out;
    }
    // The picture of a kind: its MIME type and bytes.
    std::pair<std::string, Bytes> picture(SHORT kind) {
        BSTR mime = nullptr;
        VARIANT data;
        VariantInit(&data);
        EXPECT_EQ(info->GetPicture(kind, &mime, &data), S_OK);
        std::pair<std::string, Bytes> out{Bstr::adopt(mime).utf8(), bytesOf(data)};
        if (out.second.empty()) {
            EXPECT_EQ(data.vt, VT_EMPTY);
        }
        VariantClear(&data);
        return out;
    }
    HRESULT setPicture(SHORT kind, const std::string& mime, const Bytes& bytes) {
        VARIANT v = byteArray(bytes);
        const HRESULT hr = info->SetPicture(kind, Bstr(mime).get(), v);
        VariantClear(&v);
        return hr;
    }
    IAudioInformation2* info = nullptr;
};

TEST_F(FieldsObject, OneObjectBehindBothInterfaces) {
    IAudioInformation* older = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_IAudioInformation, reinterpret_cast<void**>(&older)), S_OK);
    IAudioInformation2* newer = nullptr;
    ASSERT_EQ(older->QueryInterface(IID_IAudioInformation2, reinterpret_cast<void**>(&newer)), S_OK);
    EXPECT_EQ(newer, info);
    IUnknown *a = nullptr, *b = nullptr;
    older->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    info->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a, b);
    // The state is one: a property set through the old interface shows in the new one.
    older->put_infoTitle(Bstr("Shared").get());
    BSTR t = nullptr;
    info->get_infoTitle(&t);
    EXPECT_EQ(Bstr::adopt(t).utf8(), "Shared");
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IAudioInformation2), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IAudioInformation), S_OK);
    for (IUnknown* u :
         {static_cast<IUnknown*>(older), static_cast<IUnknown*>(newer), a, b, static_cast<IUnknown*>(support)})
        u->Release();
    // A new object holds no fields or pictures.
    EXPECT_EQ(names(), std::vector<std::string>{});
    EXPECT_EQ(field("anything"), "");
    EXPECT_EQ(picture(3).first, "");
    EXPECT_EQ(setField("", "x"), E_INVALIDARG);
}

TEST_F(FieldsObject, Mp3UserTextAndCoverRoundTripAsMutagenReadsThem) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path cover = id3::coverJpeg(dir);
    const fs::path png = id3::pngCover(dir);
    const fs::path before = id3::mutagenTagged(id3::lameMp3(dir, "plain.mp3"), dir / "before.mp3", 4, cover);
    const fs::path mp3 = dir / "song.mp3";
    fs::copy_file(before, mp3);
    info->put_mp3TagInfoVersion(2);
    get(mp3);
    // Mapped frames by their map names ("TPOS" 1/2 as the disc and its total),
    // and a mapped "TXXX" by its description in any letter case too.
    const auto listed = names();
    for (const char* n : {"MUSICBRAINZ_ALBUMID", "DISCNUMBER", "TOTALDISCS", "LYRICS", "MUSICBRAINZ_TRACKID"})
        EXPECT_EQ(std::count(listed.begin(), listed.end(), n), 1) << n;
    EXPECT_EQ(field("MusicBrainz Album Id"), "f00d-beef");
    EXPECT_EQ(field("musicbrainz album id"), "f00d-beef");
    EXPECT_EQ(field("musicbrainz_albumid"), "f00d-beef");
    EXPECT_EQ(field("Not there"), "");
    EXPECT_EQ(picture(3), (std::pair<std::string, Bytes>{"image/jpeg", readBytes(cover)}));
    EXPECT_EQ(picture(4), (std::pair<std::string, Bytes>{"", {}}));

    EXPECT_EQ(setField("MusicBrainz Album Id", "c0ffee"), S_OK);
    EXPECT_EQ(setField("Stimmung", "ruhig \u2713"), S_OK);
    EXPECT_EQ(setPicture(3, "", readBytes(png)), S_OK);  // the MIME type from the bytes
    // The state shows what was set before it is written.
    EXPECT_EQ(field("MUSICBRAINZ_ALBUMID"), "c0ffee");
    const auto now = names();
    EXPECT_EQ(std::count(now.begin(), now.end(), "MUSICBRAINZ_ALBUMID"), 1);
    EXPECT_EQ(now.back(), "Stimmung");
    EXPECT_EQ(picture(3), (std::pair<std::string, Bytes>{"image/png", readBytes(png)}));
    ASSERT_EQ(set(mp3), S_OK);
    EXPECT_EQ(id3::mutagenExtras(mp3, dir / "pic"),
              "TXXX MusicBrainz Album Id=c0ffee\nTXXX Stimmung=ruhig \u2713\nAPIC 3 image/png \n");
    EXPECT_EQ(readBytes(dir / "pic.0"), readBytes(png));
    // Only those frames changed: the old cover and field went, the new ones
    // came (and the ID3v1 tag holds the comment now, which mutagen shows as
    // "ID3v1 Comment").
    const std::string diff = id3::mutagenDiff(before, mp3);
    EXPECT_EQ(diffLines(diff), 5u) << diff;
    EXPECT_NE(diff.find("COMM:ID3v1 Comment"), std::string::npos) << diff;
    // Written once: a second write changes nothing more.
    const Bytes once = readBytes(mp3);
    ASSERT_EQ(set(mp3), S_OK);
    EXPECT_EQ(readBytes(mp3), once);

    // Read back by a new reading; then removed.
    get(mp3);
    EXPECT_EQ(field("Stimmung"), "ruhig \u2713");
    EXPECT_EQ(picture(3).second, readBytes(png));
    EXPECT_EQ(setField("Stimmung", ""), S_OK);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(info->SetPicture(3, nullptr, empty), S_OK);
    EXPECT_EQ(picture(3).first, "");
    ASSERT_EQ(set(mp3), S_OK);
    EXPECT_EQ(id3::mutagenExtras(mp3, dir / "gone"), "TXXX MusicBrainz Album Id=c0ffee\n");
}

// IAudioInformation3: several values stay apart, mapped fields go into the
// frames other tools read, and nothing is made up (no genre, no year).
TEST_F(FieldsObject, SeveralValuesAndMappedFramesAsMutagenReadsThem) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path mp3 = id3::lameMp3(dir, "plain.mp3");
    info->put_mp3TagInfoVersion(2);
    get(mp3);
    EXPECT_EQ(field("GENRE"), "");
    EXPECT_EQ(values("ARTIST"), std::vector<std::string>{});
    info->put_infoTitle(Bstr("Only a title").get());
    ASSERT_EQ(set(mp3), S_OK);
    EXPECT_EQ(id3::mutagenFrame(mp3, "TCON"), "-");
    EXPECT_EQ(id3::mutagenFrame(mp3, "TYER"), "-");

    ASSERT_EQ(setValues("ARTIST", {"A", "B"}), S_OK);
    ASSERT_EQ(setValues("albumartist", {"Band"}), S_OK);
    ASSERT_EQ(setValues("TOTALTRACKS", {"12"}), S_OK);
    info->put_infoTrack(3);
    ASSERT_EQ(setValues("DATE", {"2021-06-01"}), S_OK);
    ASSERT_EQ(setValues("MUSICBRAINZ_TRACKID", {"rec-id"}), S_OK);
    ASSERT_EQ(setValues("GENRE", {"Klezmer", "JRock"}), S_OK);
    ASSERT_EQ(setValues("DISCNUMBER", {"1"}), S_OK);
    ASSERT_EQ(setValues("TOTALDISCS", {"2"}), S_OK);
    EXPECT_EQ(values("ARTIST"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(field("ARTIST"), "A; B");
    ASSERT_EQ(set(mp3), S_OK);
    const std::vector<std::pair<std::string, std::string>> frames = {
        {"TPE1", "['A', 'B']"},   {"TPE2", "['Band']"}, {"TRCK", "['3/12']"},
        {"TYER", "['2021']"},     {"TDAT", "['0106']"}, {"TCON", "['Klezmer', 'JRock']"},
        {"TPOS", "['1/2']"},      {"TXXX:ALBUMARTIST", "-"},
        {"UFID:http://musicbrainz.org", "UFID(owner='http://musicbrainz.org', data=b'rec-id')"},
    };
    for (const auto& [key, wanted] : frames) EXPECT_EQ(id3::mutagenFrame(mp3, key), wanted) << key;
    get(mp3);
    EXPECT_EQ(values("GENRE"), (std::vector<std::string>{"Klezmer", "JRock"}));
    EXPECT_EQ(values("DATE"), std::vector<std::string>{"2021-06-01"});
    EXPECT_EQ(values("TOTALTRACKS"), std::vector<std::string>{"12"});
    SHORT genre = 0;
    info->get_infoGenre(&genre);
    EXPECT_EQ(genre, 12);
    info->put_infoGenre(genre);  // the same index keeps the free text
    EXPECT_EQ(field("GENRE"), "Klezmer; JRock");
}

TEST_F(FieldsObject, WritesTheFileTypeCannotHoldAreRefusedAndWriteNothing) {
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path mp3 = id3::mutagenTagged(id3::lameMp3(dir, "plain.mp3"), dir / "song.mp3", 3, id3::coverJpeg(dir));
    const Bytes mp3Bytes = readBytes(mp3);
    auto cause = [] { return com::takeErrorDescription(); };

    // ID3v1 holds neither fields beyond the properties nor pictures.
    get(mp3);  // mp3TagInfoVersion 1
    info->put_infoTitle(Bstr("Would be written").get());
    EXPECT_EQ(setField("Key", "Value"), S_OK);
    EXPECT_TRUE(FAILED(set(mp3)));
    EXPECT_NE(cause().find("ID3v1"), std::string::npos);
    EXPECT_EQ(readBytes(mp3), mp3Bytes);
    get(mp3);
    EXPECT_EQ(setPicture(3, "image/jpeg", {0xFF, 0xD8, 0xFF}), S_OK);
    EXPECT_TRUE(FAILED(set(mp3)));
    EXPECT_EQ(readBytes(mp3), mp3Bytes);

    // WAV: RIFF INFO holds no pictures; its fields are named by INFO ids.
    const fs::path wav = dir / "a.wav";
    writeWav16(wav, 8000, 1, std::vector<int16_t>(800, 0));
    const Bytes wavBytes = readBytes(wav);
    get(wav);
    EXPECT_EQ(setPicture(3, "image/png", {1, 2, 3}), S_OK);
    EXPECT_TRUE(FAILED(set(wav)));
    EXPECT_NE(cause().find("pictures"), std::string::npos);
    EXPECT_EQ(readBytes(wav), wavBytes);
    get(wav);
    EXPECT_EQ(setField("Not an id", "x"), E_INVALIDARG);
    EXPECT_NE(cause().find("RIFF INFO id"), std::string::npos);
    EXPECT_EQ(setField("itch", "x"), E_INVALIDARG);
    // A field set on an MP3 and written into a WAV by name.
    get(mp3);
    info->put_mp3TagInfoVersion(2);
    EXPECT_EQ(setField("Long description", "x"), S_OK);
    EXPECT_TRUE(FAILED(set(wav)));
    EXPECT_EQ(readBytes(wav), wavBytes);
    info->put_mp3TagInfoVersion(1);

    // An APEv2 item key is printable ASCII.
    const fs::path mpc = dir / "click.mpc";
    fs::copy_file(testdata("mpc/click.mpc"), mpc);
    const Bytes mpcBytes = readBytes(mpc);
    get(mpc);
    EXPECT_EQ(setField("K\u00e9y", "x"), E_INVALIDARG);
    EXPECT_NE(cause().find("APEv2"), std::string::npos);
    EXPECT_EQ(readBytes(mpc), mpcBytes);

    // Bad pictures are refused when set.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = com::bstrFromUtf8("not bytes");
    EXPECT_EQ(info->SetPicture(3, Bstr("image/png").get(), text), E_INVALIDARG);
    VariantClear(&text);
    EXPECT_EQ(setPicture(21, "image/png", {1}), E_INVALIDARG);
    EXPECT_EQ(setPicture(-1, "image/png", {1}), E_INVALIDARG);
}

TEST_F(FieldsObject, WavInfoItemsByIdAndThePropertiesIds) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    TempDir dir;
    const fs::path wav = dir / "in.wav";
    ASSERT_TRUE(
        info::make("ffmpeg -v error -y -f lavfi -i sine=d=0.5 -metadata ITCH=Tech -metadata IKEY=kw "
                   "-metadata IENG=Engineer -metadata title=Name " +
                   shellQuote(wav.string())));
    const std::string md5Before = run("ffmpeg -v error -i " + shellQuote(wav.string()) + " -f md5 -").output;
    get(wav);
    EXPECT_EQ(names(), (std::vector<std::string>{"IENG", "IKEY", "ITCH"}));
    EXPECT_EQ(field("ITCH"), "Tech");
    // An ffmpeg WAV's "INAM" is its title (it has no "DISP"); as an id
    // "INAM" is the album property, "ISFT" the encoded-by property.
    EXPECT_EQ(field("TITLE"), "Name");
    EXPECT_EQ(field("INAM"), "");
    EXPECT_EQ(field("ISFT"), info::probe(wav)["tag:encoder"]);
    EXPECT_EQ(setField("INAM", "Other album"), S_OK);
    BSTR album = nullptr;
    info->get_infoAlbum(&album);
    EXPECT_EQ(Bstr::adopt(album).utf8(), "Other album");
    EXPECT_EQ(setField("ICRD", "2001-02-03"), S_OK);
    LONG year = 0;
    info->get_infoYear(&year);
    EXPECT_EQ(year, 2001);
    EXPECT_EQ(setField("ITCH", "Technik \u00e4"), S_OK);
    EXPECT_EQ(setField("IKEY", ""), S_OK);
    EXPECT_EQ(setField("ISBJ", "Subject"), S_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"IENG", "ITCH", "ISBJ"}));
    ASSERT_EQ(set(wav), S_OK);
    auto probed = info::probe(wav);
    EXPECT_EQ(probed["tag:encoded_by"], "Technik \u00e4");  // ffprobe's name for "ITCH"
    EXPECT_EQ(probed["tag:title"], "Other album");          // and for "INAM"
    EXPECT_EQ(probed["tag:isbj"], "Subject");
    EXPECT_EQ(probed["tag:ieng"], "Engineer");
    EXPECT_EQ(probed.count("tag:ikey"), 0u);
    EXPECT_EQ(run("ffmpeg -v error -i " + shellQuote(wav.string()) + " -f md5 -").output, md5Before);
    get(wav);
    EXPECT_EQ(names(), (std::vector<std::string>{"IENG", "ITCH", "ISBJ"}));
    EXPECT_EQ(field("ISBJ"), "Subject");
}

// mutagen's reading of a FLAC or Ogg Opus file's comments and pictures:
// "NAME=value" lines (names in upper case, sorted), then "PICTURE <type>
// <mime>" lines; the bytes of picture n go to "<pictures>.<n>".
const char* const kMutagenVorbis = R"PY(
import sys, base64
from mutagen.flac import FLAC, Picture
from mutagen.oggopus import OggOpus
path, out = sys.argv[1], sys.argv[2]
if path.endswith(".flac"):
    f = FLAC(path)
    pictures = f.pictures
else:
    f = OggOpus(path)
    pictures = [Picture(base64.b64decode(p)) for p in f.get("metadata_block_picture", [])]
for k, v in sorted((k.upper(), v) for k, vs in f.tags.items() for v in vs if k.upper() != "METADATA_BLOCK_PICTURE"):
    print("%s=%s" % (k, v))
for n, p in enumerate(pictures):
    print("PICTURE %d %s" % (p.type, p.mime))
    open("%s.%d" % (out, n), "wb").write(p.data)
)PY";

// FLAC and Ogg Opus: Vorbis comment names (ignoring case), the names the
// properties own read and set as the properties, pictures as "PICTURE"
// blocks and "METADATA_BLOCK_PICTURE" comments.
class VorbisFields : public FieldsObject, public ::testing::WithParamInterface<std::string> {};

TEST_P(VorbisFields, FieldsAndCoverRoundTripAsMutagenReadsThem) {
    QORO_REQUIRE_MUTAGEN();
    const bool flac = GetParam() == "flac";
    if (flac) {
        QORO_REQUIRE_TOOLS("flac", "metaflac");
    } else {
        QORO_REQUIRE_TOOLS("opusenc", "opusinfo");
    }
    TempDir dir;
    const fs::path cover = id3::coverJpeg(dir);
    const fs::path png = id3::pngCover(dir);
    const fs::path wav = dir / "in.wav";
    writeWav16(wav, 48000, 2, testSignal(48000, 2, 48000));
    const fs::path file = dir / ("song." + GetParam());
    if (flac)
        ASSERT_TRUE(info::make("flac -s -o " + shellQuote(file.string()) + " " + shellQuote(wav.string()) +
                               " && metaflac --set-tag=TITLE=Old --set-tag=Mood=calm --set-tag=MOOD=quiet "
                               "--set-tag=Label=L --import-picture-from=" +
                               shellQuote(cover.string()) + " " + shellQuote(file.string())));
    else
        ASSERT_TRUE(
            info::make("opusenc --quiet --title Old --comment Mood=calm --comment MOOD=quiet --comment Label=L "
                       "--picture " +
                       shellQuote(cover.string()) + " " + shellQuote(wav.string()) + " " + shellQuote(file.string())));
    BOOL yes = FALSE;
    EXPECT_EQ(info->IsInfoSupport(Bstr(file.string()).get(), &yes), S_OK);
    EXPECT_TRUE(yes);
    // Found by its content under a name that says nothing.
    fs::copy_file(file, dir / "unnamed.bin");
    yes = FALSE;
    EXPECT_EQ(info->IsAudioFile(Bstr((dir / "unnamed.bin").string()).get(), &yes), S_OK);
    EXPECT_TRUE(yes);
    get(file);
    SHORT type = 0;
    info->get_infoType(&type);
    EXPECT_EQ(type, flac ? 6 : 7);
    EXPECT_EQ(field("title"), "Old");
    EXPECT_EQ(field("mood"), "calm; quiet");
    const auto listed = names();
    // A mapped field by its map name, once for both spellings.
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "MOOD"), 1);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "Mood"), 0);
    EXPECT_EQ(picture(3), (std::pair<std::string, Bytes>{"image/jpeg", readBytes(cover)}));

    EXPECT_EQ(setField("TITLE", "New title"), S_OK);
    BSTR title = nullptr;
    info->get_infoTitle(&title);
    EXPECT_EQ(Bstr::adopt(title).utf8(), "New title");
    EXPECT_EQ(setField("mood", "lively \u2713"), S_OK);
    EXPECT_EQ(setField("LABEL", ""), S_OK);
    EXPECT_EQ(setField("Bad=Name", "x"), E_INVALIDARG);
    EXPECT_EQ(setPicture(3, "image/png", readBytes(png)), S_OK);
    ASSERT_EQ(set(file), S_OK) << com::takeErrorDescription();
    const auto r = python(kMutagenVorbis, {file.string(), (dir / "pic").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("MOOD=lively \u2713\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("MOOD=calm"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("LABEL="), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("TITLE=New title\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("PICTURE 3 image/png\n"), std::string::npos) << r.output;
    EXPECT_EQ(readBytes(dir / "pic.0"), readBytes(png));
    // The audio is intact as its own tools check it.
    if (flac)
        EXPECT_TRUE(info::make("flac -s -t " + shellQuote(file.string())));
    else
        EXPECT_TRUE(info::make("opusinfo " + shellQuote(file.string()) + " > /dev/null"));
    get(file);
    EXPECT_EQ(field("MOOD"), "lively \u2713");
    EXPECT_EQ(picture(3).second, readBytes(png));

    // A field named while the record held an MP3 ("TXXX" descriptions) and
    // written here under a name the properties own sets that property.
    get(dir / "none.mp3");
    EXPECT_EQ(setField("ALBUM", "From elsewhere"), S_OK);
    ASSERT_EQ(set(file), S_OK);
    get(file);
    BSTR album = nullptr;
    info->get_infoAlbum(&album);
    EXPECT_EQ(Bstr::adopt(album).utf8(), "From elsewhere");
    EXPECT_EQ(field("MOOD"), "lively \u2713");
}

INSTANTIATE_TEST_SUITE_P(Types, VorbisFields, ::testing::Values("flac", "opus"));

}  // namespace
}  // namespace qoro::audioinfo
