// AIFF and AIFF-C in the information component: facts of files from sox and
// ffmpeg against ffprobe and soxi, tags as ffmpeg (text chunks) and mutagen
// (the "ID3 " chunk) write them, our tag rewrite as ffprobe, mutagen and sox
// see it, and damaged files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "../common_tags/id3_fixtures.h"
#include "fixtures.h"
#include "readers/aiff_reader.h"
#include "tags/fields.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

struct Read {
    bool ok = false;
    Facts facts;
    tags::TagRecord tags;
    tags::TagExtras extras;
};

Read readBack(const fs::path& path) {
    Read r;
    r.ok = readAiff(path.string(), r.facts, r.tags, r.extras);
    return r;
}

// The chunks of a FORM file by our own count: id and data, in order.
using Chunks = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
Chunks chunksOf(const std::vector<uint8_t>& b) {
    Chunks out;
    for (size_t at = 12; at + 8 <= b.size();) {
        const size_t size = size_t{b[at + 4]} << 24 | size_t{b[at + 5]} << 16 | size_t{b[at + 6]} << 8 | b[at + 7];
        if (at + 8 + size > b.size()) break;
        out.push_back({std::string(b.begin() + at, b.begin() + at + 4),
                       std::vector<uint8_t>(b.begin() + at + 8, b.begin() + at + 8 + size)});
        at += 8 + size + (size & 1);
    }
    return out;
}
// Renames every chunk of one id (hides it from other readers).
void renameChunks(std::vector<uint8_t>& b, const std::string& from, const char* to) {
    for (size_t at = 12; at + 8 <= b.size();) {
        const size_t size = size_t{b[at + 4]} << 24 | size_t{b[at + 5]} << 16 | size_t{b[at + 6]} << 8 | b[at + 7];
        if (std::string(b.begin() + at, b.begin() + at + 4) == from) std::copy_n(to, 4, b.begin() + at);
        at += 8 + size + (size & 1);
    }
}
std::string textOf(const Chunks& chunks, const std::string& id) {
    for (const auto& [name, data] : chunks)
        if (name == id) return std::string(data.begin(), std::find(data.begin(), data.end(), 0));  // to a NUL
    return "<none>";
}

// The samples sox decodes, as raw bytes of its native encoding.
std::vector<uint8_t> soxSamples(const fs::path& file, const fs::path& out) {
    EXPECT_TRUE(info::make("sox -V1 " + shellQuote(file.string()) + " -t raw " + shellQuote(out.string())));
    return readBytes(out);
}

// mutagen's reading of a file's "ID3 " chunk: "KEY=value" per frame (after
// update_to_v23), pictures as "APIC:<desc>=<mime> <bytes>".
std::string mutagenAiff(const fs::path& file) {
    const auto r = python(R"(
import sys
from mutagen.aiff import AIFF
f = AIFF(sys.argv[1])
if f.tags is None:
    print('NO TAG'); sys.exit(0)
f.tags.update_to_v23()
for k in sorted(f.tags.keys()):
    v = f.tags[k]
    if k.startswith('APIC'):
        print('%s=%s %d' % (k, v.mime, len(v.data)))
    else:
        print('%s=%s' % (k, '|'.join(str(t) for t in v.text) if hasattr(v, 'text') else v))
)",
                          {file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

// Adds an ID3v2.4 tag to an AIFF with mutagen: TIT2, TPE1, TALB, a TXXX, a
// private frame and a front cover.
void mutagenTag(const fs::path& file, const fs::path& cover) {
    const auto r = python(R"(
import sys
from mutagen.aiff import AIFF
from mutagen.id3 import TIT2, TPE1, TALB, TXXX, PRIV, APIC
f = AIFF(sys.argv[1])
f.add_tags()
f.tags.add(TIT2(encoding=3, text=['ID3 Title']))
f.tags.add(TPE1(encoding=3, text=['ID3 Artist']))
f.tags.add(TALB(encoding=1, text=['Album']))
f.tags.add(TXXX(encoding=3, desc='MOOD', text=['calm']))
f.tags.add(PRIV(owner='org.example', data=b'\x00\x01\x02'))
f.tags.add(APIC(encoding=0, mime='image/png', type=3, desc='front', data=open(sys.argv[2], 'rb').read()))
f.save()
)",
                          {file.string(), cover.string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
}

struct Made {
    const char* name;
    const char* make;  // writes OUT
    int formatTag;
};

class AiffFacts : public ::testing::TestWithParam<Made> {};

// Rate, channels, bitrate, duration and sample frames as ffprobe gives them,
// bits as soxi (ffprobe for the doubles sox does not read).
TEST_P(AiffFacts, MatchFfprobe) {
    QORO_REQUIRE_TOOLS("sox", "soxi", "ffmpeg", "ffprobe");
    const Made c = GetParam();
    TempDir dir;
    const auto path = dir / (std::string(c.name) + ".aif");
    std::string cmd = c.make;
    cmd.replace(cmd.find("OUT"), 3, shellQuote(path.string()));
    ASSERT_TRUE(info::make(cmd));
    EXPECT_EQ(probeAiff(path.string()), 1);
    const Read r = readBack(path);
    ASSERT_TRUE(r.ok);
    const auto p = info::probe(path);
    EXPECT_EQ(r.facts.frequency, info::number(p, "sample_rate"));
    EXPECT_EQ(r.facts.channels, info::number(p, "channels"));
    EXPECT_EQ(r.facts.bitrate, info::number(p, "bit_rate"));
    EXPECT_NEAR(r.facts.duration, info::number(p, "duration") * 1000.0, 1.0);
    EXPECT_EQ(r.facts.samples, std::lround(info::number(p, "duration") * r.facts.frequency));
    if (c.formatTag == 3 && r.facts.bitsPerSample == 64)
        EXPECT_EQ(r.facts.bitrate, r.facts.frequency * r.facts.channels * 64);
    else
        EXPECT_EQ(r.facts.bitsPerSample, info::soxi("-b", path));
    EXPECT_EQ(r.facts.formatTag, c.formatTag);
    EXPECT_EQ(r.facts.size, static_cast<int32_t>(fs::file_size(path)));
    EXPECT_FALSE(r.facts.description.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, AiffFacts,
    ::testing::Values(
        Made{"sox_s16_44100_stereo", "sox -n -r 44100 -c 2 -b 16 -t aiff OUT synth 1.5 sine 440", 1},
        Made{"sox_s24_48000_mono", "sox -n -r 48000 -c 1 -b 24 -t aiff OUT synth 0.7 sine 440", 1},
        Made{"sox_s32_96000", "sox -n -r 96000 -c 2 -b 32 -t aiff OUT synth 0.3 sine 440", 1},
        Made{"sox_s8_11025", "sox -n -r 11025 -c 1 -b 8 -t aiff OUT synth 0.3001 sine 300", 1},
        Made{"ffmpeg_sowt_22050",
             "ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=22050:d=1.1 -c:a pcm_s16le -f aiff OUT", 1},
        Made{"ffmpeg_s24_88200",
             "ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=88200:d=0.4 -ac 3 -c:a pcm_s24be -f aiff OUT", 1},
        Made{"ffmpeg_fl32_32000",
             "ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=32000:d=0.9 -c:a pcm_f32be -f aiff OUT", 3},
        Made{"ffmpeg_fl64_8000",
             "ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=8000:d=0.5 -c:a pcm_f64be -f aiff OUT", 3}),
    [](const ::testing::TestParamInfo<Made>& p) { return std::string(p.param.name); });

// A real file: beets' full.aiff (16-bit mono, an iTunes-style ID3v2.4 chunk
// after "SSND").
TEST(AiffTags, BeetsFileReadsWithFfprobesFactsAndMutagensFrames) {
    QORO_REQUIRE_TOOLS("ffprobe");
    QORO_REQUIRE_MUTAGEN();
    const fs::path path = testdata("beets/full.aiff");
    const Read r = readBack(path);
    ASSERT_TRUE(r.ok);
    const auto p = info::probe(path);
    EXPECT_EQ(r.facts.frequency, info::number(p, "sample_rate"));
    EXPECT_EQ(r.facts.channels, info::number(p, "channels"));
    EXPECT_EQ(r.facts.bitrate, info::number(p, "bit_rate"));
    EXPECT_EQ(r.facts.samples, std::lround(info::number(p, "duration") * r.facts.frequency));
    EXPECT_EQ(r.tags.title, p.at("tag:title"));
    EXPECT_EQ(r.tags.artist, p.at("tag:artist"));
    EXPECT_EQ(r.tags.album, p.at("tag:album"));
    EXPECT_EQ(r.tags.composer, p.at("tag:composer"));
    EXPECT_EQ(r.tags.year, std::stoi(p.at("tag:date")));
    const std::string m = mutagenAiff(path);
    // Every field is a frame mutagen reads: a mapped one in its own frame
    // (TPE2 as ALBUMARTIST, "TXXX:MusicBrainz Album Id" as MUSICBRAINZ_ALBUMID).
    size_t mapped = 0;
    for (const auto& f : r.extras.fields) {
        const tags::MappedField* k = tags::mappedField(f.name);
        const std::string key = k ? std::string(k->id3v2) : "TXXX:" + f.name;
        EXPECT_NE(m.find(key.substr(0, 4)), std::string::npos) << f.name;
        if (key != "USLT") {  // lyrics print apart
            EXPECT_NE(m.find(f.value), std::string::npos) << f.name;
        }
        mapped += k != nullptr;
    }
    EXPECT_GE(mapped, 7u);
}

// ffmpeg writes "NAME", "AUTH", "ANNO" and "(c) " (UTF-8, as it stores
// them); mutagen adds an "ID3 " chunk whose fields win over them.
TEST(AiffTags, TextChunksAndTheId3ChunkAreRead) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const auto path = dir / "ff.aiff";
    ASSERT_TRUE(
        info::make("ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=44100:d=0.5 -metadata 'title=Tïtle' "
                   "-metadata author=Writer -metadata comment=Notes -metadata 'copyright=(C) Us' " +
                   shellQuote(path.string())));
    const Chunks before = chunksOf(readBytes(path));
    for (const char* id : {"NAME", "AUTH", "ANNO", "(c) "}) EXPECT_NE(textOf(before, id), "<none>") << id;
    const auto p = info::probe(path);
    Read r = readBack(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.tags.title, p.at("tag:title"));
    EXPECT_EQ(r.tags.artist, p.at("tag:author"));
    EXPECT_EQ(r.tags.comments, p.at("tag:comment"));
    EXPECT_EQ(r.tags.copyright, p.at("tag:copyright"));
    EXPECT_TRUE(r.extras.fields.empty());

    mutagenTag(path, id3::pngCover(dir));
    const auto cover = readBytes(dir / "cover.png");
    r = readBack(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.tags.title, "ID3 Title");
    EXPECT_EQ(r.tags.artist, "ID3 Artist");
    EXPECT_EQ(r.tags.album, "Album");
    EXPECT_EQ(r.tags.comments, "Notes");    // "ANNO": the tag has no comment
    EXPECT_EQ(r.tags.copyright, "(C) Us");  // "(c) "
    EXPECT_EQ(r.extras.fields, (std::vector<tags::TagField>{{"MOOD", "calm"}}));
    ASSERT_EQ(r.extras.pictures.size(), 1u);
    EXPECT_EQ(r.extras.pictures[0].data, cover);
    EXPECT_EQ(r.extras.pictures[0].description, "front");
}

// Our rewrite: ffprobe reads the text chunks, mutagen the ID3 chunk, with the
// values set; the frames we do not manage, the cover, every other chunk and
// the samples stay; a write that changes nothing leaves the file alone.
TEST(AiffTags, WrittenTagsReadByFfprobeMutagenAndSox) {
    QORO_REQUIRE_TOOLS("sox", "ffmpeg", "ffprobe");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const auto path = dir / "song.aiff";
    ASSERT_TRUE(
        info::make("ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=22050:d=0.5 -ac 2 -c:a pcm_s16be "
                   "-metadata title=Old -metadata author=Writer -metadata comment=Notes " +
                   shellQuote(path.string())));
    // An application chunk of odd size before the samples, as DAWs write.
    auto bytes = readBytes(path);
    const std::vector<uint8_t> appl = {'A', 'P', 'P', 'L', 0, 0, 0, 5, 'q', 'o', 'r', 'o', '!', 0};
    bytes.insert(bytes.begin() + 12, appl.begin(), appl.end());
    const uint32_t form = static_cast<uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(form >> (24 - 8 * i));
    writeBytes(path, bytes);
    mutagenTag(path, id3::pngCover(dir));
    const auto samples = soxSamples(path, dir / "before.raw");
    const Chunks before = chunksOf(readBytes(path));
    const Read was = readBack(path);
    ASSERT_TRUE(was.ok);

    tags::TagRecord set = was.tags;
    set.title = "New Title";
    set.artist = "Ar\xc3\xa9";  // fits Latin-1
    set.comments = "Line";
    set.copyright = "2024 Us";
    set.year = 1999;
    tags::TagChanges changes;
    changes.fields = {{"MOOD", "loud"}};
    ASSERT_FALSE(writeAiffTags(path.string(), set, changes));

    const Read now = readBack(path);
    ASSERT_TRUE(now.ok);
    EXPECT_EQ(now.facts.size, static_cast<int32_t>(fs::file_size(path)));
    Facts stream = now.facts;
    stream.size = was.facts.size;
    EXPECT_EQ(stream, was.facts);
    EXPECT_EQ(now.tags, set);
    EXPECT_EQ(now.extras.fields, (std::vector<tags::TagField>{{"MOOD", "loud"}}));
    EXPECT_EQ(now.extras.pictures, was.extras.pictures);
    EXPECT_EQ(soxSamples(path, dir / "after.raw"), samples);

    // mutagen: the new values, the private frame and the cover kept.
    const std::string m = mutagenAiff(path);
    for (const char* line : {"TIT2=New Title\n", "TPE1=Ar\xc3\xa9\n", "TALB=Album\n", "TCOP=2024 Us\n", "TYER=1999\n",
                             "TXXX:MOOD=loud\n", "PRIV:org.example", "APIC:front=image/png "})
        EXPECT_NE(m.find(line), std::string::npos) << line << " in\n" << m;
    // The text chunks, Latin-1 as the format stores text; ffprobe reads them
    // when the ID3 chunk is hidden from it.
    auto after = readBytes(path);
    const Chunks chunks = chunksOf(after);
    EXPECT_EQ(textOf(chunks, "NAME"), "New Title");
    EXPECT_EQ(textOf(chunks, "AUTH"), "Ar\xe9");
    const auto hidden = dir / "hidden.aiff";
    renameChunks(after, "ID3 ", "XID3");
    writeBytes(hidden, after);
    const auto p = info::probe(hidden);
    EXPECT_EQ(p.count("tag:title") ? p.at("tag:title") : "", "New Title");
    EXPECT_EQ(p.count("tag:comment") ? p.at("tag:comment") : "", "Line");
    EXPECT_EQ(p.count("tag:copyright") ? p.at("tag:copyright") : "", "2024 Us");

    // Every other chunk byte for byte and in order.
    auto others = [](const Chunks& all) {
        Chunks kept;
        for (const auto& c : all)
            if (c.first != "NAME" && c.first != "AUTH" && c.first != "ANNO" && c.first != "(c) " && c.first != "ID3 ")
                kept.push_back(c);
        return kept;
    };
    EXPECT_EQ(others(chunks), others(before));
    EXPECT_EQ(others(chunks).size(), 3u);  // APPL, COMM, SSND

    // Nothing to change: the file is not touched (same inode, same bytes).
    struct stat st1 {
    }, st2{};
    ASSERT_EQ(::stat(path.c_str(), &st1), 0);
    const auto once = readBytes(path);
    ASSERT_FALSE(writeAiffTags(path.string(), set, changes));
    ASSERT_EQ(::stat(path.c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);
    EXPECT_EQ(readBytes(path), once);
}

// Values the text chunks cannot hold go to the ID3 chunk alone; an empty
// value removes a field from both.
TEST(AiffTags, ValuesBeyondLatin1AndEmptyValues) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    QORO_REQUIRE_MUTAGEN();
    TempDir dir;
    const auto path = dir / "plain.aiff";
    ASSERT_TRUE(
        info::make("ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=8000:d=0.2 -c:a pcm_s8 "
                   "-metadata title=Old -metadata author=Writer -metadata copyright=C " +
                   shellQuote(path.string())));
    const Read was = readBack(path);
    ASSERT_TRUE(was.ok);
    tags::TagRecord set = was.tags;
    set.title = "\xe6\x9b\xb2 Song";  // beyond Latin-1
    set.artist.clear();
    ASSERT_FALSE(writeAiffTags(path.string(), set, {}));
    const Chunks chunks = chunksOf(readBytes(path));
    EXPECT_EQ(textOf(chunks, "NAME"), "<none>");
    EXPECT_EQ(textOf(chunks, "AUTH"), "<none>");
    EXPECT_EQ(textOf(chunks, "(c) "), "C");  // unchanged: as stored
    EXPECT_EQ(readBack(path).tags, set);
    const std::string m = mutagenAiff(path);
    EXPECT_NE(m.find("TIT2=\xe6\x9b\xb2 Song\n"), std::string::npos) << m;
    EXPECT_EQ(m.find("TPE1"), std::string::npos) << m;
}

// An ID3v2 tag in a chunk named "id3 " is read too; the rewrite leaves one
// "ID3 " chunk in its place.
TEST(AiffTags, LowerCaseId3ChunkIsReadAndReplaced) {
    QORO_REQUIRE_TOOLS("sox");
    TempDir dir;
    const auto path = dir / "lower.aiff";
    ASSERT_TRUE(info::make("sox -n -r 8000 -c 1 -b 16 -t aiff " + shellQuote(path.string()) + " synth 0.1 sine 440"));
    auto bytes = readBytes(path);
    const std::vector<uint8_t> chunk = {'i', 'd', '3', ' ', 0,   0, 0, 26, 'I', 'D', '3', 3, 0,   0,   0,   0,   0,
                                        16,  'T', 'I', 'T', '2', 0, 0, 0,  6,   0,   0,   0, 'L', 'o', 'w', 'e', 'r'};
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    const auto form = static_cast<uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(form >> (24 - 8 * i));
    writeBytes(path, bytes);
    Read r = readBack(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.tags.title, "Lower");
    r.tags.title = "Upper";
    ASSERT_FALSE(writeAiffTags(path.string(), r.tags, {}));
    std::string ids;
    for (const auto& c : chunksOf(readBytes(path))) ids += c.first + ",";
    EXPECT_EQ(ids, "COMT,COMM,NAME,SSND,ID3 ,");
    EXPECT_EQ(readBack(path).tags.title, "Upper");
}

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    int probe;      // probeAiff
    int samples;    // what readAiff counts; -1: not read
    bool writable;  // writeAiffTags
};

class AiffDamaged : public ::testing::TestWithParam<Damage> {};

// Files that are not whole AIFFs: nothing crashes, a refused write leaves the
// file as it was, and what is read is what the file holds.
TEST_P(AiffDamaged, ReadAsFarAsHeldAndNeverHalfWritten) {
    QORO_REQUIRE_TOOLS("sox");
    const Damage c = GetParam();
    TempDir dir;
    const auto path = dir / "d.aiff";
    ASSERT_TRUE(info::make("sox -n --comment '' -r 8000 -c 1 -b 16 -t aiff " + shellQuote(path.string()) +
                           " synth 0.1 sine 440"));
    auto bytes = readBytes(path);
    c.edit(bytes);
    writeBytes(path, bytes);
    EXPECT_EQ(probeAiff(path.string()), c.probe);
    const Read r = readBack(path);
    EXPECT_EQ(r.ok ? r.facts.samples : -1, c.samples);
    tags::TagRecord set = r.tags;
    set.title = "T";
    const std::error_code ec = writeAiffTags(path.string(), set, {});
    EXPECT_EQ(!ec, c.writable) << ec.message();
    if (ec) {
        EXPECT_EQ(readBytes(path), bytes);
    } else {
        EXPECT_EQ(textOf(chunksOf(readBytes(path)), "NAME"), "T");
    }
}

void setBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

INSTANTIATE_TEST_SUITE_P(
    Files, AiffDamaged,
    ::testing::Values(
        // sox: FORM, COMM (18 bytes) at 12, SSND at 38 with 800 frames (1600 bytes).
        Damage{"cut_in_the_samples", [](auto& b) { b.resize(b.size() - 601); }, 1, 499, false},
        Damage{"form_size_beyond_the_file", [](auto& b) { setBe32(b, 4, 0x7FFFFFF0); }, 1, 800, true},
        Damage{"ssnd_size_beyond_the_file", [](auto& b) { setBe32(b, 42, 0xFFFFFFF0); }, 1, 800, false},
        Damage{"ssnd_offset_beyond_the_chunk", [](auto& b) { setBe32(b, 46, 0xFFFFFF00); }, 1, 0, true},
        Damage{"comm_cut_short", [](auto& b) { setBe32(b, 16, 10); }, 1, -1, false},
        Damage{"no_channels", [](auto& b) { b[20] = b[21] = 0; }, 1, -1, false},
        Damage{"rate_zero", [](auto& b) { std::fill(b.begin() + 28, b.begin() + 38, 0); }, 1, -1, false},
        Damage{"no_comm", [](auto& b) { std::copy_n("JUNK", 4, b.begin() + 12); }, 1, -1, false},
        Damage{"compressed",
               [](auto& b) {
                   std::copy_n("AIFC", 4, b.begin() + 8);
                   setBe32(b, 16, 24);
                   const uint8_t ima[6] = {'i', 'm', 'a', '4', 0, 0};
                   b.insert(b.begin() + 38, ima, ima + 6);
                   setBe32(b, 4, static_cast<uint32_t>(b.size() - 8));
               },
               1, -1, true},
        Damage{"riff_wave", [](auto& b) { std::copy_n("RIFF", 4, b.begin()); }, 0, -1, false},
        Damage{"header_only", [](auto& b) { b.resize(12); }, 1, -1, false},
        Damage{"empty", [](auto& b) { b.clear(); }, 0, -1, false}),
    [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

TEST(AiffDamaged, MissingFile) {
    TempDir dir;
    EXPECT_EQ(probeAiff((dir / "none.aiff").string()), -2);
    EXPECT_FALSE(readBack(dir / "none.aiff").ok);
    EXPECT_TRUE(writeAiffTags((dir / "none.aiff").string(), {}, {}));
}

}  // namespace
}  // namespace qoro::audioinfo
