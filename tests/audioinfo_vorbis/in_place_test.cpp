// Tag edits that fit the place the old tags took (FLAC metadata blocks with
// the padding flac leaves, an MP3's ID3v2 tag with the padding mutagen
// leaves) are written in the file itself: inode and hard links kept, the
// audio untouched, a few KiB written. Edits that do not fit go through the
// replace; a read-only file is refused either way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "fixtures.h"
#include "readers/readers.h"
#include "tags/id3v2.h"
#include "vorbis_fixtures.h"

namespace qoro::audioinfo {
namespace {

using namespace qoro::test;

fs::path flacFile(const TempDir& dir) {
    const fs::path wav = vfix::makeWav(dir, "in.wav", 44100, 2, 3.0);
    const fs::path out = dir / "song.flac";
    info::make("flac -s -f -T TITLE=Old -T ARTIST=Someone -o " + shellQuote(out.string()) + " " +
               shellQuote(wav.string()));
    return out;
}

fs::path mp3File(const TempDir& dir) {
    const fs::path wav = vfix::makeWav(dir, "in.wav", 44100, 2, 10.0);
    const fs::path out = dir / "song.mp3";
    info::make("lame --quiet -b 128 " + shellQuote(wav.string()) + " " + shellQuote(out.string()));
    const CommandResult r = python(R"(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TXXX
t = ID3()
t.add(TIT2(encoding=3, text='Old'))
t.add(TPE1(encoding=3, text='Someone'))
t.add(TXXX(encoding=3, desc='MOOD', text='calm'))
t.save(sys.argv[1])
)",
                                   {out.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return out;
}

std::error_code retitleFlac(const fs::path& file, const std::string& title) {
    vfix::Read r = vfix::readWith(readFlac, file);
    if (!r.ok) return std::make_error_code(std::errc::invalid_argument);
    r.tags.title = title;
    return writeFlacTags(file.string(), r.tags, {});
}

std::error_code retitleMp3(const fs::path& file, const std::string& title) {
    const auto tag = tags::readId3v2(file.string());
    if (!tag) return std::make_error_code(std::errc::invalid_argument);
    tags::TagRecord record;
    tag->applyTo(record);
    record.title = title;
    return tags::writeId3v2(file.string(), record);
}

std::string metaflacTitle(const fs::path& file) {
    const std::string out = run("metaflac --show-tag=TITLE " + shellQuote(file.string())).output;
    const size_t eq = out.find('=');
    return eq == std::string::npos ? "" : out.substr(eq + 1, out.find_last_not_of('\n') - eq);
}

std::string mutagenTitle(const fs::path& file) {
    const std::string out =
        python("import sys\nfrom mutagen.id3 import ID3\nprint(ID3(sys.argv[1])['TIT2'].text[0])", {file.string()})
            .output;
    return out.substr(0, out.find_last_not_of('\n') + 1);
}

// Where the audio begins, by our own walk of the headers: after the ID3v2
// tag, or after the last FLAC metadata block.
size_t audioStart(const std::vector<uint8_t>& b) {
    if (b.size() >= 10 && b[0] == 'I' && b[1] == 'D' && b[2] == '3')
        return 10 + ((size_t{b[6]} << 21) | (size_t{b[7]} << 14) | (size_t{b[8]} << 7) | b[9]);
    size_t at = 4;
    for (bool last = false; !last && at + 4 <= b.size();) {
        last = b[at] & 0x80;
        at += 4 + ((size_t{b[at + 1]} << 16) | (size_t{b[at + 2]} << 8) | b[at + 3]);
    }
    return at;
}

std::vector<uint8_t> audioOf(const std::vector<uint8_t>& b) {
    const size_t at = std::min(audioStart(b), b.size());
    return {b.begin() + static_cast<std::ptrdiff_t>(at), b.end()};
}

// Bytes this process has handed to write calls so far.
uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return 0;
}

ino_t inodeOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
}

struct Format {
    const char* name;
    fs::path (*make)(const TempDir&);
    std::error_code (*retitle)(const fs::path&, const std::string&);
    std::string (*toolTitle)(const fs::path&);  // as the reference tool reads it
};
const Format kFormats[] = {
    {"FLAC made by flac", flacFile, retitleFlac, metaflacTitle},
    {"MP3 tagged by mutagen", mp3File, retitleMp3, mutagenTitle},
};

// A file of the format with a hard link to it, and what it was.
struct Linked {
    fs::path file, link;
    std::vector<uint8_t> before;
    ino_t inode = 0;
};
Linked linkedFile(const Format& f, const TempDir& dir) {
    Linked l{f.make(dir), dir / "link", {}, 0};
    fs::create_hard_link(l.file, l.link);
    l.before = readBytes(l.file);
    l.inode = inodeOf(l.file);
    return l;
}

#define QORO_REQUIRE_IN_PLACE_TOOLS()                   \
    do {                                                \
        QORO_REQUIRE_TOOLS("flac", "metaflac", "lame"); \
        QORO_REQUIRE_MUTAGEN();                         \
    } while (0)

TEST(InPlace, AnEditThatFitsKeepsTheInodeTheLinksAndTheAudio) {
    QORO_REQUIRE_IN_PLACE_TOOLS();
    for (const Format& f : kFormats) {
        TempDir dir;
        const auto [file, link, before, inode] = linkedFile(f, dir);
        ASSERT_GT(before.size(), 2u * (64u << 10)) << f.name;  // a copy would be more than may be written

        const uint64_t written = bytesWritten();
        ASSERT_EQ(f.retitle(file, "A new title ✓"), std::error_code()) << f.name;
        EXPECT_LE(bytesWritten() - written, 64u << 10) << f.name;

        const auto after = readBytes(file);
        EXPECT_EQ(inodeOf(file), inode) << f.name;
        EXPECT_EQ(fs::hard_link_count(file), 2u) << f.name;
        EXPECT_EQ(readBytes(link), after) << f.name;
        EXPECT_EQ(after.size(), before.size()) << f.name;
        EXPECT_EQ(audioStart(after), audioStart(before)) << f.name;
        EXPECT_TRUE(audioOf(after) == audioOf(before)) << f.name;
        EXPECT_EQ(f.toolTitle(file), "A new title ✓") << f.name;

        // Once more with the same title: nothing at all is written.
        const uint64_t again = bytesWritten();
        ASSERT_EQ(f.retitle(file, "A new title ✓"), std::error_code()) << f.name;
        EXPECT_EQ(bytesWritten(), again) << f.name;
        EXPECT_TRUE(readBytes(file) == after) << f.name;
    }
}

TEST(InPlace, AnEditThatDoesNotFitGoesThroughTheReplace) {
    QORO_REQUIRE_IN_PLACE_TOOLS();
    const std::string title(20000, 'L');  // beyond flac's 8 KiB and mutagen's padding
    for (const Format& f : kFormats) {
        TempDir dir;
        const auto [file, link, before, inode] = linkedFile(f, dir);
        ASSERT_EQ(f.retitle(file, title), std::error_code()) << f.name;
        const auto after = readBytes(file);
        EXPECT_NE(inodeOf(file), inode) << f.name;
        EXPECT_TRUE(readBytes(link) == before) << f.name;  // the link keeps the old file
        EXPECT_GT(after.size(), before.size()) << f.name;
        EXPECT_TRUE(audioOf(after) == audioOf(before)) << f.name;
        EXPECT_EQ(f.toolTitle(file), title) << f.name;
    }
}

TEST(InPlace, AReadOnlyFileIsRefusedAndLeftAlone) {
    QORO_REQUIRE_IN_PLACE_TOOLS();
    for (const Format& f : kFormats) {
        TempDir dir;
        const fs::path file = f.make(dir);
        const auto before = readBytes(file);
        ::chmod(dir.path().c_str(), 0755);
        ::chmod(file.c_str(), 0444);
        // Root may write any file: the edit is made as an unprivileged user.
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(99);
            _exit(f.retitle(file, "Short") == std::errc::permission_denied ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << f.name << " status " << status;
        EXPECT_TRUE(readBytes(file) == before) << f.name;
    }
}

}  // namespace
}  // namespace qoro::audioinfo
