// The signature probe: every kind of its table found in files made the way
// users' files are made (behind ID3v2 tags too), frame syncs that count only
// when the next frame follows, files this system reads that are no kind of
// the table, and cut, damaged and unreadable files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <set>

#include "kind_files.h"
#include "probe/signature.h"
#include "test_support.h"

namespace t = qoro::test;
namespace probe = qoro::probe;
using probe::Kind;

namespace {

std::string nameOf(Kind kind) { return kind == Kind::None ? "no kind" : std::string(probe::info(kind)->name); }

// An ID3v2 tag of 'version' with a body of 'body' padding bytes (and a
// footer when asked, version 4).
std::vector<uint8_t> id3v2(int version, uint32_t body, bool footer = false) {
    std::vector<uint8_t> tag = {
        'I', 'D', '3', static_cast<uint8_t>(version), 0, static_cast<uint8_t>(footer ? 0x10 : 0)};
    for (int shift : {21, 14, 7, 0}) tag.push_back(static_cast<uint8_t>((body >> shift) & 0x7F));
    tag.insert(tag.end(), body, 0);
    if (footer) {
        tag.insert(tag.end(), tag.begin(), tag.begin() + 10);
        std::copy_n("3DI", 3, tag.end() - 10);
    }
    return tag;
}

std::vector<uint8_t> joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Kinds a cut-short file of 'kind' may show: none, or the kind itself (an
// Ogg page cut before its first packet is still Ogg).
bool mayShowWhenCut(Kind kind, Kind shown) {
    if (shown == Kind::None || shown == kind) return true;
    const bool ogg =
        kind == Kind::OggVorbis || kind == Kind::OggOpus || kind == Kind::OggFlac || kind == Kind::OggSpeex;
    return ogg && shown == Kind::Ogg;
}

class ProbeFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new t::TempDir;
        files_ = new std::vector<t::KindFile>(t::makeKindFiles(dir_->path()));
    }
    static void TearDownTestSuite() {
        delete files_;
        delete dir_;
    }
    static t::TempDir* dir_;
    static std::vector<t::KindFile>* files_;
};
t::TempDir* ProbeFiles::dir_ = nullptr;
std::vector<t::KindFile>* ProbeFiles::files_ = nullptr;

}  // namespace

TEST(Probe, TheTableHasOneWholeRowPerKind) {
    std::set<std::string_view> extensions;
    size_t index = 1;
    for (const probe::KindInfo& row : probe::kinds()) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(static_cast<size_t>(row.kind), index++);
        EXPECT_EQ(probe::info(row.kind), &row);
        EXPECT_TRUE(row.name.starts_with("a ") || row.name.starts_with("an ")) << "words for a message";
        ASSERT_NE(row.matches, nullptr);
        for (std::string_view ext : row.extensions) {
            EXPECT_TRUE(extensions.insert(ext).second) << ext << " belongs to two rows";
            EXPECT_TRUE(!ext.empty() && std::none_of(ext.begin(), ext.end(), [](char c) {
                return c == '.' || (c >= 'A' && c <= 'Z');
            })) << ext;
        }
        const std::string refused = probe::refusal(row.kind);
        EXPECT_EQ(refused,
                  std::string(row.name) + (row.audio ? ": this format is not supported" : ", not an audio file"));
        EXPECT_EQ(probe::refusal(row.kind, "a WAV file"),
                  row.audio ? std::string(row.name) + ", not a WAV file" : refused);
    }
    EXPECT_EQ(probe::info(Kind::None), nullptr);
    EXPECT_EQ(probe::refusal(Kind::None), "");
    EXPECT_EQ(probe::refusal(Kind::Mp4), "an MP4/AAC file: this format is not supported");
    EXPECT_EQ(probe::refusal(Kind::Jpeg, "an MPEG audio file"), "a JPEG image, not an audio file");
}

// Every row is found in real files, by name and in memory, and behind one or
// more ID3v2 tags (2.3, and 2.4 with its footer).
TEST_F(ProbeFiles, EveryKindIsFoundInItsFiles) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    std::set<Kind> covered;
    for (const t::KindFile& f : *files_) {
        SCOPED_TRACE(f.path.filename().string() + " (" + f.madeBy + ")");
        covered.insert(f.kind);
        const auto bytes = t::readBytes(f.path);
        EXPECT_EQ(nameOf(probe::identify(f.path.string())), nameOf(f.kind));
        EXPECT_EQ(nameOf(probe::identify(bytes)), nameOf(f.kind));
        const auto tagged = joined(joined(id3v2(3, 300), id3v2(4, 17, true)), bytes);
        EXPECT_EQ(nameOf(probe::identify(tagged)), nameOf(f.kind));
    }
    for (const probe::KindInfo& row : probe::kinds()) EXPECT_TRUE(covered.count(row.kind)) << row.name << ": no file";
}

// The formats this system reads, as the reference tools write them, are no
// kind of the table: they open as they always did.
TEST(Probe, FilesThisSystemReadsAreNoKindOfTheTable) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox", "lame");
    t::TempDir dir;
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.3 -ac 2 ";
    struct Case {
        const char* name;
        std::string command;
    } cases[] = {
        {"tone.wav", "ffmpeg -v error -y " + tone + "OUT"},
        {"rf64.wav", "ffmpeg -v error -y " + tone + "-rf64 always OUT"},
        {"tone.mp3", "ffmpeg -v error -y " + tone + "-c:a libmp3lame -id3v2_version 3 -metadata title=T OUT"},
        {"tone.mp2", "ffmpeg -v error -y " + tone + "-c:a mp2 OUT"},
        {"tone.raw", "sox -n -r 8000 -c 1 -b 16 -e signed -t raw OUT synth 0.2 sine 300"},
        {"tone.vox", "sox -n -r 8000 -c 1 -t vox OUT synth 0.2 sine 300"},
        {"tone.ul", "sox -n -r 8000 -c 1 -t ul OUT synth 0.2 sine 300"},
        {"lame.mp3", "sox -n -r 44100 -c 2 -t wav - synth 0.3 sine 440 | lame --quiet --tt Title - OUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const t::fs::path out = dir / c.name;
        std::string command = c.command;
        command.replace(command.find("OUT"), 3, t::shellQuote(out.string()));
        const auto r = t::run(command);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(nameOf(probe::identify(out.string())), nameOf(Kind::None));
    }
    // MPEG audio in a RIFF "RMP3" form, as old Windows tools saved it.
    const auto mp3 = t::readBytes(dir / "lame.mp3");
    std::vector<uint8_t> rmp3 = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'P', '3', 'd', 'a', 't', 'a', 0, 0, 0, 0};
    rmp3.insert(rmp3.end(), mp3.begin(), mp3.end());
    EXPECT_EQ(nameOf(probe::identify(rmp3)), nameOf(Kind::None));
    for (const char* sample : {"mpc/click.mpc", "mpc/full-tagged.mpc", "mpc/sv4_header.mpc"})
        EXPECT_EQ(nameOf(probe::identify(t::testdata(sample).string())), nameOf(Kind::None)) << sample;
}

// AC-3, E-AC-3 and ADTS AAC by ffmpeg at every sample-rate family: the next
// frame is where the header says (or the file ends there). Raw samples that
// begin with the syncs, and frames that are cut or not followed by one, are
// no match.
TEST(Probe, FrameSyncsCountOnlyWhenTheNextFrameFollows) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    t::TempDir dir;
    struct Stream {
        const char* codec;
        int rate;
        int kbps;
        Kind kind;
    } streams[] = {
        {"ac3", 48000, 192, Kind::Ac3},  {"ac3", 44100, 192, Kind::Ac3},  {"ac3", 44100, 32, Kind::Ac3},
        {"ac3", 32000, 640, Kind::Ac3},  {"ac3", 48000, 64, Kind::Ac3},   {"eac3", 48000, 96, Kind::Ac3},
        {"eac3", 44100, 192, Kind::Ac3}, {"aac", 44100, 128, Kind::Adts}, {"aac", 8000, 24, Kind::Adts},
        {"aac", 96000, 256, Kind::Adts},
    };
    for (const Stream& s : streams) {
        SCOPED_TRACE(testing::Message() << s.codec << " " << s.rate << " Hz " << s.kbps << " kbit/s");
        const t::fs::path out = dir / (std::string(s.codec) + ".bin");
        const auto r =
            t::run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(s.rate) +
                   ":duration=0.5 -ac 2 -c:a " + s.codec + " -b:a " + std::to_string(s.kbps) + "k -f " +
                   (s.kind == Kind::Adts ? "adts " : std::string(s.codec) + " ") + t::shellQuote(out.string()));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto bytes = t::readBytes(out);
        EXPECT_EQ(nameOf(probe::identify(bytes)), nameOf(s.kind));
        // The first frame's end: where ffprobe finds the second packet.
        const auto positions = t::run("ffprobe -v error -select_streams a:0 -show_entries packet=pos -of csv=p=0 " +
                                      t::shellQuote(out.string()));
        ASSERT_EQ(positions.exitCode, 0) << positions.output;
        const size_t end = std::stoul(positions.output.substr(positions.output.find('\n') + 1));
        ASSERT_GT(end, 6u);
        ASSERT_LT(end + 1, bytes.size());
        const std::vector<uint8_t> one(bytes.begin(), bytes.begin() + static_cast<long>(end));
        EXPECT_EQ(nameOf(probe::identify(one)), nameOf(s.kind)) << "one frame, the whole file";
        auto longer = one;
        longer.push_back(0);
        EXPECT_EQ(nameOf(probe::identify(longer)), nameOf(Kind::None)) << "one frame and a byte";
        auto broken = bytes;
        broken[end] ^= 0x40;
        EXPECT_EQ(nameOf(probe::identify(broken)), nameOf(Kind::None)) << "no sync where the next frame begins";
    }

    // ADTS with CRC (FF F0, FF F8): a 9-byte header, two frames of 20 bytes.
    for (uint8_t second : {0xF0, 0xF8}) {
        std::vector<uint8_t> frame = {0xFF, second, 0x50, 0x80, 0x02, 0x9F, 0xFC, 0x00, 0x00};
        frame.resize(20, 0x21);
        EXPECT_EQ(nameOf(probe::identify(joined(frame, frame))), nameOf(Kind::Adts));
    }

    // Raw 16-bit samples that begin with the sync bytes, whatever follows
    // (longer than any one frame, as raw files of a second or more are).
    std::mt19937 rng(30);
    const std::vector<std::vector<uint8_t>> syncs = {
        {0x0B, 0x77}, {0xFF, 0xF1}, {0xFF, 0xF9}, {0xFF, 0xF0}, {0xFF, 0xF8}};
    for (const auto& sync : syncs) {
        int named = 0;
        for (int n = 0; n < 2000; ++n) {
            std::vector<uint8_t> raw(8192 + rng() % 32768);
            for (auto& b : raw) b = static_cast<uint8_t>(rng());
            std::copy(sync.begin(), sync.end(), raw.begin());
            named += probe::identify(raw) != Kind::None;
        }
        EXPECT_EQ(named, 0) << "raw samples beginning with " << int(sync[0]) << " " << int(sync[1]);
    }
}

// Tags in a row are passed over; a tag that runs past the end of the file,
// or more tags in a row than any writer makes, end the search.
TEST(Probe, LeadingId3v2TagsArePassedOver) {
    const std::vector<uint8_t> flac = {'f', 'L', 'a', 'C', 0, 0, 0, 34};
    std::vector<uint8_t> many;
    for (int i = 0; i < 8; ++i) many = joined(many, id3v2(i % 2 ? 4 : 3, 5, i % 2 == 1));
    EXPECT_EQ(nameOf(probe::identify(joined(many, flac))), nameOf(Kind::Flac));
    EXPECT_EQ(nameOf(probe::identify(joined(id3v2(2, 1000), flac))), nameOf(Kind::Flac));

    auto past = joined(id3v2(3, 4), flac);
    past[9] = 0x7F;  // the tag claims more than the file holds
    EXPECT_EQ(nameOf(probe::identify(past)), nameOf(Kind::None));
    auto badSize = joined(id3v2(3, 4), flac);
    badSize[8] = 0x80;  // not syncsafe: no tag, and "ID3" is no kind
    EXPECT_EQ(nameOf(probe::identify(badSize)), nameOf(Kind::None));

    std::vector<uint8_t> endless;
    for (int i = 0; i < 5000; ++i) endless = joined(endless, id3v2(3, 0));
    EXPECT_EQ(nameOf(probe::identify(joined(endless, flac))), nameOf(Kind::None));
}

// Every cut of each file's first bytes names its kind or none (never
// another), and damaged frame headers are no match.
TEST_F(ProbeFiles, CutAndDamagedHeadersNeverNameAnotherKind) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    for (const t::KindFile& f : *files_) {
        SCOPED_TRACE(f.path.filename().string());
        const auto bytes = t::readBytes(f.path);
        for (size_t cut = 0; cut <= std::min<size_t>(bytes.size(), 400); ++cut) {
            const Kind shown = probe::identify(std::span<const uint8_t>(bytes.data(), cut));
            EXPECT_TRUE(mayShowWhenCut(f.kind, shown)) << cut << " bytes: " << nameOf(shown);
        }
        // Damaged first bytes: whatever is named, nothing goes wrong.
        for (size_t at = 0; at < std::min<size_t>(bytes.size(), 64); ++at) {
            auto damaged = bytes;
            damaged[at] ^= 0xFF;
            probe::identify(damaged);
        }
    }

    struct Hostile {
        const char* what;
        std::vector<uint8_t> header;
    } hostile[] = {
        {"AC-3 sample rate code 3", {0x0B, 0x77, 0, 0, 0xC8, 0x40}},
        {"AC-3 frame size code 38", {0x0B, 0x77, 0, 0, 0x26, 0x40}},
        {"E-AC-3 stream type 3", {0x0B, 0x77, 0xC0, 0x10, 0x00, 0x80}},
        {"E-AC-3 rate codes 3 and 3", {0x0B, 0x77, 0x00, 0x10, 0xF0, 0x80}},
        {"AC-3 bsid 17", {0x0B, 0x77, 0, 0, 0x08, 0x88}},
        {"ADTS rate index 13", {0xFF, 0xF1, 0x74, 0x80, 0x02, 0x9F, 0xFC}},
        {"ADTS length below its header", {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xDF, 0xFC}},
        {"ADTS length 0", {0xFF, 0xF1, 0x50, 0x80, 0x00, 0x1F, 0xFC}},
    };
    for (const Hostile& h : hostile) {
        // The header repeated where any length could point: still no match.
        std::vector<uint8_t> stream;
        for (int i = 0; i < 400; ++i) stream = joined(stream, h.header);
        EXPECT_EQ(nameOf(probe::identify(stream)), nameOf(Kind::None)) << h.what;
    }
}

// What cannot be read is no kind, and a pipe without a writer is not waited on.
TEST(Probe, FilesThatCannotBeReadAreNoKind) {
    t::TempDir dir;
    t::writeBytes(dir / "empty", {});
    t::fs::create_directory(dir / "folder.flac");
    ASSERT_EQ(::mkfifo((dir / "pipe.flac").c_str(), 0600), 0);
    for (const char* name : {"missing.flac", "empty", "folder.flac", "pipe.flac"}) {
        probe::FileSource source((dir / name).string());
        EXPECT_EQ(source.size(), 0u) << name;
        EXPECT_EQ(nameOf(probe::identify((dir / name).string())), nameOf(Kind::None)) << name;
    }
}
