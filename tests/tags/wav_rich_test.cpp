// WAV files as users have them (ffmpeg and sox output, 24-bit and
// extensible formats, INFO entries we do not manage, chunks after "data",
// an "id3 " chunk with cover art written by mutagen, odd-sized chunks, the
// remainders of older tag writes) through writeWavInfo: one change, and
// everything else stays as ffmpeg, mutagen and our own chunk lister see it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <system_error>

#include "io/file_rewrite.h"
#include "riff_test_util.h"
#include "tags/wav_info.h"
#include "test_support.h"

namespace tags = qoro::tags;
using namespace qoro::test;
using namespace qoro::test::riffutil;

namespace {

// mutagen adds an ID3v2.4 tag in an "id3 " chunk: cover art and frames the
// object does not manage.
const char* kAddId3 = R"(
import sys
from mutagen.wave import WAVE
from mutagen.id3 import APIC, TXXX, USLT, POPM, PRIV, COMM, TIT2, TALB, TCON, UFID
f = WAVE(sys.argv[1])
cover = open(sys.argv[2], 'rb').read()
f.add_tags()
t = f.tags
t.add(TIT2(encoding=3, text='Id3 Title'))
t.add(TALB(encoding=3, text='Id3 Album'))
t.add(TCON(encoding=3, text='Chillwave'))
t.add(COMM(encoding=3, lang='eng', desc='', text='Id3 comment'))
t.add(COMM(encoding=1, lang='deu', desc='', text='Kommentar'))
t.add(COMM(encoding=0, lang='eng', desc='iTunNORM', text=' 0000044E 00000000'))
t.add(TXXX(encoding=3, desc='MOOD', text='calm'))
t.add(USLT(encoding=3, lang='eng', desc='', text='la la la'))
t.add(POPM(email='someone@example.org', rating=196, count=3))
t.add(PRIV(owner='example.org', data=b'\x00\x01\x02'))
t.add(UFID(owner='http://example.org', data=b'id-1234'))
t.add(APIC(encoding=3, mime='image/jpeg', type=3, desc='Cover', data=cover))
f.save()
)";

// mutagen's view of the "id3 " chunk: its frames and the audio it finds.
const char* kDumpId3 = R"(
import sys, hashlib
from mutagen.wave import WAVE
f = WAVE(sys.argv[1])
frames = sorted(repr(v) for v in f.tags.values()) if f.tags is not None else []
print(len(frames), hashlib.md5('\n'.join(frames).encode()).hexdigest(), round(f.info.length, 4), f.info.bits_per_sample)
for k in sorted(f.tags.keys() if f.tags is not None else []): print(k)
)";

std::string id3View(const fs::path& file) { return mutagen(kDumpId3, {file.string()}); }

void make(const std::string& command) {
    const CommandResult r = run(command);
    ASSERT_EQ(r.exitCode, 0) << command << "\n" << r.output;
}

// A cover picture of about 30 KB, as a camera or a shop would give one.
fs::path cover(const TempDir& dir) {
    const fs::path jpeg = dir / "cover.jpg";
    if (!fs::exists(jpeg))
        make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=560x420 -frames:v 1 -q:v 2 " +
             shellQuote(jpeg.string()));
    return jpeg;
}

void addId3Chunk(const TempDir& dir, const fs::path& file) { mutagen(kAddId3, {file.string(), cover(dir).string()}); }

uint64_t inode(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

tags::TagRecord read(const fs::path& file, tags::CueList* cues = nullptr) {
    tags::TagRecord r;
    tags::CueList local;
    EXPECT_TRUE(tags::readWavInfo(file.string(), r, cues ? *cues : local));
    return r;
}

// INFO entries of every INFO list, in file order.
std::vector<Chunk> infoEntries(const RiffView& v) {
    std::vector<Chunk> out;
    for (const Chunk& l : chunksOf(v, "LIST", "INFO"))
        for (const Chunk& e : subChunks(l)) out.push_back(e);
    return out;
}

bool managed(const std::string& id) {
    for (const char* m : {"IART", "ICMT", "ICOP", "INAM", "IPRD", "IGNR", "ISFT", "ICMS", "IURL", "ITRK", "ICRD"})
        if (id == m) return true;
    return false;
}

std::vector<std::string> unmanagedEntries(const RiffView& v) {
    std::vector<std::string> out;
    for (const Chunk& e : infoEntries(v))
        if (!managed(e.id)) out.push_back(e.bytes);
    return out;
}

std::string joinIds(const std::vector<Chunk>& chunks) {
    std::string s;
    for (const Chunk& c : chunks) s += "[" + c.id + (c.type.empty() ? "" : "/" + c.type) + "]";
    return s;
}

// After a change of the title: a valid RIFF, one INFO list, the other
// chunks as they were, mutagen's and ffmpeg's views unchanged, and the file
// reads back as written.
void expectOnlyTheTitleChanged(const fs::path& file, const Bytes& before, const tags::TagRecord& want,
                               const std::string& id3Before, const std::string& md5Before) {
    SCOPED_TRACE(want.title.substr(0, 40));
    const Bytes after = readBytes(file);
    const RiffView a = listChunks(after), b = listChunks(before);
    ASSERT_TRUE(a.riff);
    EXPECT_EQ(a.riffSize, after.size() - 8);
    EXPECT_EQ(a.end, after.size()) << "bytes after the last chunk";
    EXPECT_EQ(chunksOf(a, "LIST", "INFO").size(), 1u) << joinIds(a.chunks);
    EXPECT_LE(chunksOf(a, "DISP").size(), 1u);
    const auto otherA = otherChunks(a), otherB = otherChunks(b);
    EXPECT_EQ(joinIds(otherA), joinIds(otherB));
    for (size_t i = 0; i < std::min(otherA.size(), otherB.size()); ++i)
        EXPECT_TRUE(otherA[i].bytes == otherB[i].bytes) << otherA[i].id << " changed";
    EXPECT_EQ(unmanagedEntries(a), unmanagedEntries(b));
    EXPECT_EQ(id3View(file), id3Before);
    EXPECT_EQ(audioMd5(file), md5Before);
    EXPECT_EQ(read(file), want);
}

// A title change, then titles that grow and shrink the tag chunks.
void changeTitles(const fs::path& file) {
    const Bytes original = readBytes(file);
    const std::string id3 = id3View(file), md5 = audioMd5(file);
    const tags::TagRecord start = read(file);
    for (const std::string& title : {std::string("New Title"), std::string(300, 'L'), std::string("x"),
                                     std::string("Mid-length title"), std::string(), std::string("Last")}) {
        tags::TagRecord want = start;
        want.title = title;
        ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
        expectOnlyTheTitleChanged(file, original, want, id3, md5);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// A 24-bit extensible WAV from ffmpeg with INFO entries (managed and not)
// before "data", a "smpl" and an odd-sized chunk after it, and mutagen's
// "id3 " chunk at the end.
fs::path ffmpegRichWav(const TempDir& dir) {
    const fs::path plain = dir / "plain.wav", tagged = dir / "tagged.wav";
    make(
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -ac 2 "
        "-c:a pcm_s24le " +
        shellQuote(plain.string()));
    make("ffmpeg -nostdin -v error -y -i " + shellQuote(plain.string()) +
         " -c copy -metadata title='Info Title' -metadata artist='Info Artist' -metadata album='Info Album' "
         "-metadata date=2002-05-01 -metadata IENG='An Engineer' -metadata IKEY='key; words' "
         "-metadata ISRC=Source " +
         shellQuote(tagged.string()));
    const std::string smpl = chunk("smpl", u32(0) + u32(0) + u32(20833) + u32(60) + u32(0) + u32(0) + u32(0) + u32(1) +
                                               u32(0) + u32(0) + u32(0) + u32(100) + u32(2000) + u32(0) + u32(0));
    writeBytes(tagged, withChunks(readBytes(tagged), "", smpl + chunk("xtra", "odd")));
    addId3Chunk(dir, tagged);
    return tagged;
}

}  // namespace

TEST(RichWav, FfmpegExtensibleWithInfoSmplAndId3Chunk) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path file = ffmpegRichWav(dir);
    const RiffView v = listChunks(readBytes(file));
    ASSERT_EQ(joinIds(v.chunks), "[fmt ][LIST/INFO][data][smpl][xtra][id3 ]");
    EXPECT_EQ(chunksOf(v, "fmt ")[0].content().substr(0, 2), u16(0xFFFE));  // extensible

    // Reading: INFO first, the "id3 " chunk for the rest.
    tags::WavChunks chunks;
    tags::CueList cues;
    tags::TagRecord r;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, &chunks));
    EXPECT_EQ(r.title, "Info Title");  // no "DISP": "INAM", before TIT2
    EXPECT_EQ(r.album, "Info Album");  // "IPRD" before TALB
    EXPECT_EQ(r.artist, "Info Artist");
    EXPECT_EQ(r.year, 2002);               // "ICRD" 2002-05-01
    EXPECT_EQ(r.comments, "Id3 comment");  // the COMM with an empty description, "eng" first
    EXPECT_EQ(r.genre, 12);                // "Chillwave" is no genre of the table
    std::vector<std::string> other;
    for (const auto& e : chunks.otherInfo) other.push_back(e.id);
    EXPECT_EQ(other, (std::vector<std::string>{"IENG", "IKEY", "ISRC"}));  // ffmpeg's order

    changeTitles(file);

    // The date entry stays as stored while the year is unchanged.
    const RiffView after = listChunks(readBytes(file));
    bool date = false;
    for (const Chunk& e : infoEntries(after)) date |= e.id == "ICRD" && e.content() == std::string("2002-05-01\0", 11);
    EXPECT_TRUE(date);
}

TEST(RichWav, SoxTwentyFourBitWithChunksAfterDataOnly) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path file = dir / "s.wav";
    make("sox -n -r 44100 -c 2 -b 24 " + shellQuote(file.string()) + " synth 1 sine 440");
    writeBytes(file,
               withChunks(readBytes(file), "", chunk("xtra", std::string("12345", 5)) + chunk("iXML", "<BWFXML/>")));
    addId3Chunk(dir, file);
    const Bytes before = readBytes(file);
    ASSERT_EQ(joinIds(listChunks(before).chunks), "[fmt ][fact][data][xtra][iXML][id3 ]");
    const std::string id3 = id3View(file), md5 = audioMd5(file);
    tags::TagRecord want = read(file);
    EXPECT_EQ(want.album, "Id3 Album");
    want.title = "Sox title";
    want.composer = "Composer";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    // The new chunks go right after "data".
    EXPECT_EQ(joinIds(listChunks(readBytes(file)).chunks), "[fmt ][fact][data][LIST/INFO][DISP][xtra][iXML][id3 ]");
    expectOnlyTheTitleChanged(file, before, want, id3, md5);
    changeTitles(file);
}

TEST(RichWav, TagChunksBeforeAndAfterDataAndAStaleTailBecomeOne) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    TempDir dir;
    const fs::path file = dir / "old.wav";
    writeWav16(file, 22050, 2, testSignal(22050, 2, 2205));
    // An INFO list before "data" (with entries we do not manage), then what an
    // older writer appended after "data": a second INFO list, "DISP", cues,
    // and the stale remainder of a longer tag beyond the RIFF end.
    const std::string first =
        list("INFO", chunk("IPRD", std::string("Old album\0", 10)) + chunk("IENG", std::string("Eng\0", 4)) +
                         chunk("ICRD", std::string("1990\0", 5)));
    const std::string second =
        list("INFO", chunk("IPRD", std::string("New album\0", 10)) + chunk("IKEY", std::string("kw\0", 3)) +
                         chunk("ICRD", std::string("1999-01-01\0", 11)));
    const std::string cue = chunk("cue ", u32(1) + u32(1) + u32(300) + "data" + u32(0) + u32(0) + u32(300));
    const std::string adtl =
        list("adtl", chunk("labl", u32(1) + std::string("Verse\0", 6)) + chunk("file", u32(1) + "med " + "xyz"));
    Bytes bytes = withChunks(readBytes(file), first,
                             second + chunk("DISP", u32(1) + std::string("Old title\0", 10)) + cue + adtl);
    const std::string stale = "ISFT" + u32(15) + "stale tag text";
    bytes.insert(bytes.end(), stale.begin(), stale.end());
    writeBytes(file, bytes);
    const std::string md5 = audioMd5(file);
    const uint64_t node = inode(file);

    tags::CueList cues;
    tags::TagRecord want = read(file, &cues);
    EXPECT_EQ(want.album, "New album");
    EXPECT_EQ(want.date, "1999-01-01");
    EXPECT_EQ(want.title, "Old title");
    ASSERT_EQ(cues.size(), 1u);
    EXPECT_EQ(cues.cues()[0].label, "Verse");
    want.title = "Merged";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, cues));

    const Bytes after = readBytes(file);
    const RiffView v = listChunks(after);
    EXPECT_EQ(v.riffSize, after.size() - 8);
    EXPECT_EQ(v.end, after.size());
    // One of each, where the last ones stood (they end the form, so they may
    // grow); the first list is now filler of its size, so nothing moved.
    EXPECT_EQ(inode(file), node);
    EXPECT_EQ(joinIds(v.chunks), "[fmt ][JUNK][data][LIST/INFO][DISP][cue ][LIST/adtl]");
    EXPECT_EQ(chunksOf(v, "JUNK")[0].bytes.size(), first.size());
    std::string ids;
    for (const Chunk& e : infoEntries(v)) ids += e.id + "=" + e.content().c_str() + ";";
    EXPECT_EQ(ids, "IENG=Eng;IPRD=New album;IKEY=kw;ICRD=1999-01-01;INAM=New album;");
    // The older list's values are gone for ffprobe too.
    const std::string probe =
        run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + shellQuote(file.string())).output;
    EXPECT_NE(probe.find("album=New album"), std::string::npos) << probe;
    EXPECT_NE(probe.find("date=1999-01-01"), std::string::npos) << probe;
    EXPECT_EQ(probe.find("Old album"), std::string::npos) << probe;
    // Unchanged cues keep their bytes; the "file" entry stays.
    EXPECT_EQ(chunksOf(v, "cue ")[0].bytes, cue);
    EXPECT_EQ(chunksOf(v, "LIST", "adtl")[0].bytes, adtl);
    EXPECT_EQ(audioMd5(file), md5);
    tags::CueList backCues;
    EXPECT_EQ(read(file, &backCues), want);
    EXPECT_EQ(backCues.cues(), cues.cues());

    // A changed cue list is written anew; associated data of other kinds stays.
    cues.insert({.position = 100, .label = "Intro"});
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, cues));
    const RiffView w = listChunks(readBytes(file));
    ASSERT_EQ(chunksOf(w, "LIST", "adtl").size(), 1u);
    std::string sub;
    for (const Chunk& e : subChunks(chunksOf(w, "LIST", "adtl")[0])) sub += e.id + ";";
    EXPECT_EQ(sub, "ltxt;ltxt;labl;labl;file;");
    backCues.clear();
    read(file, &backCues);
    EXPECT_EQ(backCues.cues(), cues.cues());
    EXPECT_EQ(audioMd5(file), md5);
}

TEST(RichWav, BytesAfterTheRiffThatAreNoTagRemainderAreKept) {
    TempDir dir;
    const fs::path file = dir / "v1.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 800));
    // An ID3v1 tag some taggers append after the RIFF form.
    std::string v1 = "TAG" + std::string("Song title").append(20, '\0') + std::string(94, '\0') + '\x11';
    ASSERT_EQ(v1.size(), 128u);
    Bytes bytes = readBytes(file);
    bytes.insert(bytes.end(), v1.begin(), v1.end());
    writeBytes(file, bytes);
    tags::TagRecord want = read(file);
    want.title = "T";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    const Bytes after = readBytes(file);
    const RiffView v = listChunks(after);
    EXPECT_EQ(v.riffSize, after.size() - 8);
    EXPECT_EQ(joinIds(v.chunks), "[fmt ][data][LIST/INFO][DISP][JUNK]");
    EXPECT_EQ(std::string(after.end() - 128, after.end()), v1);  // still the last 128 bytes
    EXPECT_EQ(read(file), want);
    // ... and stays through later writes.
    for (const char* title : {"", "A much longer title than before", "T"}) {
        want.title = title;
        ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
        const Bytes again = readBytes(file);
        EXPECT_EQ(std::string(again.end() - 128, again.end()), v1);
        EXPECT_EQ(listChunks(again).riffSize, again.size() - 8);
        EXPECT_EQ(read(file), want);
    }

    // Zeros after the form carry nothing: they go.
    writeWav16(file, 8000, 1, testSignal(8000, 1, 801));
    bytes = readBytes(file);
    bytes.resize(bytes.size() + 6, 0);
    writeBytes(file, bytes);
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(listChunks(readBytes(file)).end, fs::file_size(file));
    EXPECT_EQ(joinIds(listChunks(readBytes(file)).chunks), "[fmt ][data][LIST/INFO][DISP]");

    // So do zeros in a "JUNK" chunk after the form (libFuzzer found this
    // one): kept after the new tags, the next write took it for the tags'
    // filler and dropped it, changing the file though nothing had changed.
    writeWav16(file, 8000, 1, testSignal(8000, 1, 802));
    bytes = readBytes(file);
    const std::string filler = chunk("JUNK", std::string(6, '\0'));
    bytes.insert(bytes.end(), filler.begin(), filler.end());
    writeBytes(file, bytes);
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    const Bytes once = readBytes(file);
    EXPECT_EQ(listChunks(once).end, once.size());
    EXPECT_EQ(joinIds(listChunks(once).chunks), "[fmt ][data][LIST/INFO][DISP]");
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(readBytes(file), once);
}

TEST(RichWav, OddChunksAndMissingPadBytes) {
    TempDir dir;
    const fs::path file = dir / "odd.wav";
    // Mono 8-bit: an odd "data" chunk as the last chunk without its pad byte.
    Bytes bytes = wave({chunk("fmt ", u16(1) + u16(1) + u32(8000) + u32(8000) + u16(1) + u16(8)),
                        chunk("data", std::string(801, '\x80'))});
    bytes.pop_back();
    bytes[4] = static_cast<uint8_t>(bytes.size() - 8);
    bytes[5] = static_cast<uint8_t>((bytes.size() - 8) >> 8);
    writeBytes(file, bytes);
    tags::TagRecord want = read(file);
    want.title = "Odd";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    const Bytes after = readBytes(file);
    const RiffView v = listChunks(after);
    EXPECT_EQ(v.riffSize, after.size() - 8);
    EXPECT_EQ(joinIds(v.chunks), "[fmt ][data][LIST/INFO][DISP]");
    EXPECT_EQ(after[8 + 4 + 24 + 8 + 801], 0);  // the pad byte now there
    EXPECT_EQ(read(file), want);
    tags::WavChunks c;
    tags::CueList cues;
    tags::TagRecord r;
    ASSERT_TRUE(tags::readWavInfo(file.string(), r, cues, &c));
    EXPECT_EQ(c.dataSize, 801u);
}

TEST(RichWav, StreamedAndRf64FilesAreRefusedUntouched) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    const fs::path plain = dir / "p.wav", streamed = dir / "streamed.wav", rf64 = dir / "rf.wav";
    writeWav16(plain, 44100, 2, testSignal(44100, 2, 4410));
    make("ffmpeg -nostdin -v error -i " + shellQuote(plain.string()) + " -f wav - > " + shellQuote(streamed.string()));
    make("ffmpeg -nostdin -v error -i " + shellQuote(plain.string()) + " -rf64 always " + shellQuote(rf64.string()));
    for (const fs::path& f : {streamed, rf64}) {
        const Bytes before = readBytes(f);
        tags::TagRecord r;
        r.title = "x";
        EXPECT_EQ(tags::writeWavInfo(f.string(), r, {}), qoro::io::Error::Damaged) << f;
        EXPECT_EQ(readBytes(f), before) << f;
        EXPECT_FALSE(fs::exists(f.string() + "~"));
    }
}

TEST(RichWav, ClearingAPropertyTheId3ChunkHoldsHidesIt) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const fs::path file = dir / "c.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 400));
    addId3Chunk(dir, file);
    const std::string id3 = id3View(file);
    tags::TagRecord want = read(file);
    ASSERT_EQ(want.title, "Id3 Title");
    ASSERT_EQ(want.album, "Id3 Album");
    want.title.clear();
    want.album.clear();
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(read(file), want);
    EXPECT_EQ(id3View(file), id3);  // the chunk itself is the user's and stays
    // Unchanged fields that come from the "id3 " chunk write nothing.
    const RiffView v = listChunks(readBytes(file));
    for (const Chunk& e : infoEntries(v)) EXPECT_TRUE(e.id == "IPRD") << e.id;
}

TEST(RichWav, InPlaceWhereItFitsElseAtTheEnd) {
    TempDir dir;
    const fs::path file = dir / "p.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 4000));
    Bytes bytes = withChunks(readBytes(file), list("INFO", chunk("IART", std::string(40, 'a') + '\0')),
                             chunk("smpl", std::string(36, '\0')));
    writeBytes(file, bytes);
    const uint64_t node = inode(file);
    tags::TagRecord want = read(file);
    // Shorter: the same place, the rest a "JUNK" chunk; the file keeps its size.
    want.artist = "b";
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(inode(file), node);
    EXPECT_EQ(fs::file_size(file), bytes.size());
    EXPECT_EQ(joinIds(listChunks(readBytes(file)).chunks), "[fmt ][LIST/INFO][JUNK][data][smpl]");
    EXPECT_EQ(read(file), want);
    // Longer again, within the old place: the "JUNK" is taken back.
    want.artist = std::string(30, 'c');
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(inode(file), node);
    EXPECT_EQ(read(file), want);
    // Longer than the place: at the end of the form, the old place filler.
    want.artist = std::string(100, 'd');
    const std::string samples = chunksOf(listChunks(readBytes(file)), "data")[0].bytes;
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(inode(file), node);
    const RiffView v = listChunks(readBytes(file));
    EXPECT_EQ(joinIds(v.chunks), "[fmt ][JUNK][data][smpl][LIST/INFO]");
    EXPECT_EQ(chunksOf(v, "data")[0].bytes, samples);
    EXPECT_EQ(read(file), want);
    // Nothing changed: nothing moves.
    const Bytes same = readBytes(file);
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(readBytes(file), same);
}

TEST(RichWav, ZeroFillerAfterDataTakesTheTagsAndAgainChangesNothing) {
    TempDir dir;
    const fs::path file = dir / "f.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 400));
    // A file without tags whose "data" is followed by a filler of zeros:
    // the tags go into the filler, in the file itself.
    writeBytes(file, withChunks(readBytes(file), "",
                                chunk("JUNK", std::string(200, '\0')) + chunk("smpl", std::string(36, '\0'))));
    const uint64_t node = inode(file);
    const auto size = fs::file_size(file);
    tags::TagRecord want = read(file);
    want.title = "Into the filler";
    want.year = 1999;
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(inode(file), node);
    EXPECT_EQ(fs::file_size(file), size);
    EXPECT_EQ(joinIds(listChunks(readBytes(file)).chunks), "[fmt ][data][LIST/INFO][DISP][JUNK][smpl]");
    EXPECT_EQ(read(file), want);
    const Bytes once = readBytes(file);
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, {}));
    EXPECT_EQ(readBytes(file), once);

    // The damaged file libFuzzer found: its RIFF size runs past the end and
    // it ends with an empty "JUNK" chunk after "data". The first write puts
    // the tags in the place of that chunk; writing the same again changes
    // nothing (it used to drop the "JUNK" chunk only then).
    writeWav16(file, 8000, 1, testSignal(8000, 1, 40));
    Bytes damaged = withChunks(readBytes(file), "", chunk("JUNK", ""));
    damaged[4] = 0xA0;
    damaged[5] = 0x0F;
    writeBytes(file, damaged);
    tags::CueList cues;
    cues.insert({.position = 7, .label = "seven"});
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, cues));
    const Bytes first = readBytes(file);
    const RiffView v = listChunks(first);
    EXPECT_EQ(v.riffSize, first.size() - 8);
    EXPECT_EQ(joinIds(v.chunks), "[fmt ][data][LIST/INFO][DISP][cue ][LIST/adtl]");
    ASSERT_WRITES(tags::writeWavInfo(file.string(), want, cues));
    EXPECT_EQ(readBytes(file), first);
}

TEST(RichWav, FailuresLeaveTheFileAsItWas) {
    TempDir dir;
    tags::TagRecord r;
    r.title = std::string(5000, 't');
    // Missing file, missing folder.
    EXPECT_EQ(tags::writeWavInfo((dir / "none.wav").string(), r, {}), std::errc::no_such_file_or_directory);
    EXPECT_EQ(tags::writeWavInfo((dir / "no" / "x.wav").string(), r, {}), std::errc::no_such_file_or_directory);
    EXPECT_TRUE(fs::is_empty(dir.path()));

    // A full disk while growing the file in place (no chunk after "data")...
    const fs::path file = dir / "f.wav";
    writeWav16(file, 8000, 1, testSignal(8000, 1, 4000));
    const Bytes before = readBytes(file);
    std::error_code ec;
    withFileSizeLimit(before.size() + 100, [&] { ec = tags::writeWavInfo(file.string(), r, {}); });
    EXPECT_TRUE(ec);
    EXPECT_FALSE(ec.message().empty());
    EXPECT_EQ(readBytes(file), before);

    // ... and while rebuilding it (a chunk after "data").
    const Bytes withSmpl = withChunks(before, "", chunk("smpl", std::string(36, '\0')));
    writeBytes(file, withSmpl);
    withFileSizeLimit(withSmpl.size() + 100, [&] { ec = tags::writeWavInfo(file.string(), r, {}); });
    EXPECT_TRUE(ec);
    EXPECT_EQ(readBytes(file), withSmpl);
    EXPECT_FALSE(fs::exists(file.string() + "~"));
    EXPECT_EQ(fs::directory_iterator(dir.path())->path(), file);

    // A rebuild keeps the mode, and a symbolic link stays a link to the
    // rewritten file.
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const fs::path link = dir / "link.wav";
    fs::create_symlink(file.filename(), link);
    ASSERT_WRITES(tags::writeWavInfo(link.string(), r, {}));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    EXPECT_EQ(read(file).title, r.title);
    EXPECT_FALSE(fs::exists(file.string() + "~"));
}
