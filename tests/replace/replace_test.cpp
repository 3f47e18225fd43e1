// The safe replace: the temporaries' names, what a commit keeps of the old
// file (mode, owner, links, a name of 250 bytes), Keep, failures that leave
// nothing behind, stale temporaries, and io::Rewrite on top of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>

#include "io/file_rewrite.h"
#include "replace/replace.h"
#include "test_support.h"

namespace qoro::replace {
namespace {

namespace fs = std::filesystem;
namespace t = qoro::test;

std::string slurp(const fs::path& file) {
    const auto bytes = t::readBytes(file);
    return std::string(bytes.begin(), bytes.end());
}

void spit(const fs::path& file, const std::string& text) { t::writeBytes(file, {text.begin(), text.end()}); }

std::error_code sys(int value) { return {value, std::system_category()}; }

// The names in a folder, sorted.
std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> list;
    for (const auto& e : fs::directory_iterator(folder)) list.push_back(e.path().filename().string());
    std::sort(list.begin(), list.end());
    return list;
}

bool anyTemporary(const fs::path& folder) {
    const auto list = names(folder);
    return std::any_of(list.begin(), list.end(), [](const std::string& n) { return isTemporaryName(n); });
}

struct stat statOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return st;
}

void setMtime(const fs::path& file, time_t when) {
    const timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::lutimes(file.c_str(), times), 0) << file;
}

// Runs 'check' as an unprivileged user when the tests run as root (who may
// write any file), in a child process; its exit status.
int asUser(const std::function<int()>& check) {
    if (::geteuid() != 0) return check();
    const pid_t child = ::fork();
    if (child == 0) _exit(::setgid(65534) == 0 && ::setuid(65534) == 0 ? check() : 99);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(TemporaryName, HasItsOwnFormWhateverTheTarget) {
    t::TempDir dir;
    const std::string longest(255, 'n');  // NAME_MAX
    std::vector<std::string> made;
    for (const std::string& target : {std::string("song.flac"), std::string(".hidden"), longest}) {
        Temporary tmp(dir / target);
        ASSERT_TRUE(tmp.ok()) << tmp.error().message();
        const std::string name = tmp.path().filename().string();
        EXPECT_TRUE(isTemporaryName(name)) << name;
        EXPECT_EQ(tmp.path().parent_path(), dir.path());
        EXPECT_LE(name.size(), 48u) << name;
        EXPECT_EQ(statOf(tmp.path()).st_mode & 07777, 0600u);
        made.push_back(name);
    }
    EXPECT_NE(made[0], made[1]) << "a random part in every name";
    // An extension for programs that go by it, when it is one.
    const struct {
        const char* given;
        const char* ending;
    } extensions[] = {{".flac", ".tmp.flac"},
                      {".MP+", ".tmp.MP+"},
                      {"", ".tmp"},
                      {".fl ac", ".tmp"},
                      {"flac", ".tmp"},
                      {".", ".tmp"},
                      {".w\xC3\xA4v", ".tmp"},
                      {".abcdefghijklmnopq", ".tmp"}};
    for (const auto& e : extensions) {
        Temporary tmp(dir / "song", e.given);
        const std::string name = tmp.path().filename().string();
        EXPECT_TRUE(name.ends_with(e.ending) && name.find(".tmp") == name.size() - std::strlen(e.ending)) << name;
        EXPECT_TRUE(isTemporaryName(name)) << name;
    }
    EXPECT_FALSE(anyTemporary(dir.path())) << "dropped when not committed";

    const struct {
        const char* name;
        bool ours;
    } cases[] = {
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp", true},
        {".qoro-00000000-1-ffffffffffffffff.tmp", true},
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp.flac", true},
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp.", false},
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp.fl ac", false},
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp.flac~", false},
        {".qoro-1a2b3c4d-4294967296-0123456789abcdef.tmp", false},
        {".song.qoro-1-2.wav", false},
        {"x.tmp", false},
        {"song.flac~", false},
        {"qoro-1a2b3c4d-4711-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-4711-0123456789abcdef.tmp~", false},
        {".qoro-1A2B3C4D-4711-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4-4711-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d--0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-0-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-047-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-4x1-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-12345678901-0123456789abcdef.tmp", false},
        {".qoro-1a2b3c4d-4711-0123456789abcde.tmp", false},
        {".qoro-1a2b3c4d-4711-0123456789abcdefa.tmp", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isTemporaryName(c.name), c.ours) << c.name;
}

// A commit: the new content under the target's name, with the old file's
// mode and owner (a new file: 0666 less the umask), through any chain of
// links (they stay links), for names up to the longest a folder takes.
TEST(Temporary, CommitKeepsModeOwnerAndLinks) {
    t::TempDir dir;
    const bool root = ::geteuid() == 0;
    const std::string longName = std::string(246, 'x') + ".wav";  // 250 bytes
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> arrange;
        const char* given;  // the name replaced
        std::string real;   // the file that gets the content
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    const uid_t me = ::geteuid();
    const gid_t myGroup = ::getegid();
    const std::vector<Case> cases = {
        {"new file", [](const fs::path&) {}, "new.ini", "new.ini", 0640, me, myGroup},
        {"existing file",
         [root](const fs::path& d) {
             spit(d / "old.ini", "old");
             ::chmod((d / "old.ini").c_str(), 0604);
             if (root) {
                 ASSERT_EQ(::chown((d / "old.ini").c_str(), 1234, 5678), 0);
             }
         },
         "old.ini", "old.ini", 0604, root ? 1234u : me, root ? 5678u : myGroup},
        {"chain of relative links",
         [](const fs::path& d) {
             fs::create_directory(d / "real");
             spit(d / "real/song.wav", "old");
             ::chmod((d / "real/song.wav").c_str(), 0612);
             fs::create_symlink("real/song.wav", d / "link1");
             fs::create_symlink("link1", d / "link2");
         },
         "link2", "real/song.wav", 0612, me, myGroup},
        {"dangling link", [](const fs::path& d) { fs::create_symlink("made.wav", d / "dangling"); }, "dangling",
         "made.wav", 0640, me, myGroup},
        {"name of 250 bytes",
         [&](const fs::path& d) {
             spit(d / longName, "old");
             ::chmod((d / longName).c_str(), 0606);
         },
         longName.c_str(), longName, 0606, me, myGroup},
    };
    const mode_t saved = ::umask(027);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path d = dir / c.what;
        fs::create_directory(d);
        c.arrange(d);
        Temporary tmp(d / c.given);
        ASSERT_TRUE(tmp.ok()) << tmp.error().message();
        ASSERT_TRUE(tmp.write(std::string_view("new content").data(), 11));
        EXPECT_EQ(tmp.size(), 11u);
        ASSERT_EQ(tmp.commit(), std::error_code()) << tmp.error().message();
        EXPECT_EQ(slurp(d / c.real), "new content");
        const struct stat st = statOf(d / c.real);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_gid, c.gid);
        if (std::string(c.given) != c.real) {
            EXPECT_TRUE(fs::is_symlink(d / c.given)) << "the link stays a link";
        }
        EXPECT_FALSE(anyTemporary(d));
    }
    ::umask(saved);
}

// Keep never touches an existing target; a failure anywhere leaves the
// target as it was and no temporary behind.
TEST(Temporary, KeepAndFailuresLeaveTheTargetAndNoTemporary) {
    t::TempDir dir;
    const fs::path target = dir / "song.wav";
    const fs::path source = dir / "source";
    spit(source, "0123456789");
    const int sourceFd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(sourceFd, 0);
    struct Case {
        const char* what;
        std::function<std::error_code(Temporary&)> act;  // the commit's result, or the failure before it
        std::error_code expected;
    };
    const std::vector<Case> cases = {
        {"Keep over an existing target", [](Temporary& t) { return t.commit(Temporary::Existing::Keep); }, sys(EEXIST)},
        {"the caller's failure",
         [](Temporary& t) {
             t.fail(sys(EINVAL));
             t.fail(sys(EIO));  // the first one is kept
             return t.commit();
         },
         sys(EINVAL)},
        {"a source shorter than asked",
         [sourceFd](Temporary& t) {
             EXPECT_TRUE(t.copyFrom(sourceFd, 2, 5));
             EXPECT_EQ(t.size(), 8u);
             EXPECT_FALSE(t.copyFrom(sourceFd, 8, 5));
             return t.commit();
         },
         sys(ENODATA)},
        {"a folder in the target's place",
         [&](Temporary& t) {
             fs::remove(target);
             fs::create_directory(target);
             return t.commit();
         },
         sys(EISDIR)},
        {"never committed", [](Temporary&) { return std::error_code(); }, std::error_code()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(target);
        spit(target, "old");
        {
            Temporary tmp(target);
            ASSERT_TRUE(tmp.ok());
            tmp.write(std::string_view("new").data(), 3);
            EXPECT_EQ(c.act(tmp), c.expected);
            EXPECT_EQ(tmp.error(), c.expected);
        }
        if (fs::is_regular_file(target)) {
            EXPECT_EQ(slurp(target), "old");
        }
        EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"song.wav", "source"}));
    }
    ::close(sourceFd);

    // Keep on a new name works; a folder that is not there fails at once.
    fs::remove_all(target);
    Temporary fresh(target);
    fresh.write(std::string_view("new").data(), 3);
    EXPECT_EQ(fresh.commit(Temporary::Existing::Keep), std::error_code());
    EXPECT_EQ(slurp(target), "new");
    Temporary nowhere(dir / "missing" / "song.wav");
    EXPECT_EQ(nowhere.error(), sys(ENOENT));
    EXPECT_FALSE(nowhere.write(std::string_view("x").data(), 1));
    EXPECT_EQ(nowhere.commit(), sys(ENOENT));
}

// The finished temporary rewritten by name (a tag rewrite puts a new file
// under the temporary's name): the commit puts that file in place.
TEST(Temporary, CommitTakesTheFileTheNameHoldsThen) {
    t::TempDir dir;
    spit(dir / "song.flac", "old");
    ::chmod((dir / "song.flac").c_str(), 0640);
    Temporary tmp(dir / "song.flac");
    tmp.write(std::string_view("first").data(), 5);
    {
        io::Rewrite tags(tmp.path());
        tags.write(std::string_view("tagged").data(), 6);
        ASSERT_EQ(tags.commit(), std::error_code());
    }
    ASSERT_EQ(tmp.commit(), std::error_code());
    EXPECT_EQ(slurp(dir / "song.flac"), "tagged");
    EXPECT_EQ(statOf(dir / "song.flac").st_mode & 07777, 0640u);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"song.flac"});
}

// Real failures of the system (the fail_io shim): a full disk, a flush and
// a rename that fail. The target keeps its content; no temporary is left.
TEST(Temporary, SystemFailuresLeaveTheTargetAndNoTemporary) {
    const fs::path shim = t::binPath("libqoro_fail_io.so");
    ASSERT_TRUE(fs::exists(shim));
    t::TempDir dir;
    const fs::path target = dir / "OPTION.INI";
    const struct {
        const char* env;
        const char* cause;
    } failures[] = {{"QORO_FAIL_WRITE_AFTER=2", "No space left on device"},
                    {"QORO_FAIL_FSYNC=1", "Input/output error"},
                    {"QORO_FAIL_RENAME=1", "Invalid cross-device link"},
                    {"", ""}};
    for (const auto& f : failures) {
        SCOPED_TRACE(f.env);
        spit(target, "old");
        const t::CommandResult r =
            t::run(std::string(f.env) + " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" +
                   t::shellQuote(shim.string()) + " " + t::shellQuote(t::binPath("replace_probe").string()) + " " +
                   t::shellQuote(target.string()) + " new");
        const bool fails = *f.cause != '\0';
        EXPECT_EQ(r.exitCode, fails ? 1 : 0) << r.output;
        EXPECT_EQ(r.output, fails ? std::string(f.cause) + "\n" : "");
        EXPECT_EQ(slurp(target), fails ? "old" : "new");
        EXPECT_EQ(names(dir.path()), std::vector<std::string>{"OPTION.INI"});
    }
}

// Stale temporaries: this host's whose process is gone or whose pid a
// younger process now holds, and anyone's older than a day. Nothing else.
TEST(RemoveStale, RemovesOnlyTemporariesNobodyWillFinish) {
    t::TempDir dir;
    std::string host;
    {
        Temporary mine(dir / "x");
        host = mine.path().filename().string().substr(6, 8);
    }
    std::string otherHost = host;
    otherHost[0] = otherHost[0] == '0' ? '1' : '0';
    const pid_t child = ::fork();
    if (child == 0) _exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string dead = std::to_string(child), live = std::to_string(::getpid());
    const auto name = [](const std::string& h, const std::string& pid) {
        return ".qoro-" + h + "-" + pid + "-0123456789abcdef.tmp";
    };
    const time_t now = std::time(nullptr);
    const struct {
        std::string name;
        time_t age;
        bool removed;
        bool folder = false;
    } cases[] = {
        {name(host, dead), 0, true},
        {name(otherHost, live), 25 * 3600, true},
        {name(host, live), 3600, true},  // our pid, written before we started
        {name(host, live), 0, false},
        {name(otherHost, dead), 0, false},
        {".song.qoro-1-2.wav", 48 * 3600, false},
        {"x.tmp", 48 * 3600, false},
        {name(host, dead) + "~", 48 * 3600, false},
        {name(otherHost, "1"), 48 * 3600, false, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const fs::path sub = dir / std::to_string(i);
        fs::create_directory(sub);
        const fs::path file = sub / cases[i].name;
        if (cases[i].folder)
            fs::create_directory(file);
        else
            spit(file, "part");
        setMtime(file, now - cases[i].age);
        EXPECT_EQ(removeStale(sub), cases[i].removed ? 1u : 0u) << cases[i].name;
        EXPECT_EQ(fs::exists(file), !cases[i].removed) << cases[i].name;
    }
    EXPECT_EQ(removeStale(dir / "missing"), 0u);
}

// io::Rewrite is a Temporary with the read-only refusal: "song.flac~" (the
// user's backup) is never touched, a read-only file is refused, a source
// shorter than it said is Damaged.
TEST(Rewrite, KeepsTheUsersBackupAndRefusesReadOnlyFiles) {
    t::TempDir dir;
    const fs::path song = dir / "song.flac", backup = dir / "song.flac~";
    spit(song, "old song");
    spit(backup, "my backup");
    {
        io::Rewrite out(song);
        out.write(std::string_view("new song").data(), 8);
        EXPECT_EQ(out.size(), 8u);
        ASSERT_EQ(out.commit(), std::error_code());
    }
    EXPECT_EQ(slurp(song), "new song");
    EXPECT_EQ(slurp(backup), "my backup");
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"song.flac", "song.flac~"}));
    {
        io::Reader in(song);
        io::Rewrite out(song);
        EXPECT_FALSE(out.copyFrom(in.fd(), 4, 100));
        EXPECT_EQ(out.error(), io::make_error_code(io::Error::Damaged));
        EXPECT_EQ(out.commit(), io::make_error_code(io::Error::Damaged));
    }
    EXPECT_EQ(slurp(song), "new song");

    // A file its owner made read-only, in a folder they may write.
    const fs::path own = dir / "own";
    fs::create_directory(own);
    ::chmod(dir.path().c_str(), 0711);
    spit(own / "ro.flac", "kept");
    ::chmod((own / "ro.flac").c_str(), 0444);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown((own / "ro.flac").c_str(), 65534, 65534), 0);
    }
    const int status = asUser([&] {
        io::Rewrite out(own / "ro.flac");
        out.write(std::string_view("new").data(), 3);
        return out.commit() == std::errc::permission_denied ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slurp(own / "ro.flac"), "kept");
    EXPECT_EQ(names(own), std::vector<std::string>{"ro.flac"});
}

// io::overwrite changes the file itself (inode, hard links, a symbolic link
// kept), and only when the file is still the one read, as long as it was and
// holding the bytes the new ones were made from.
TEST(Overwrite, ChangesOnlyTheFileThatWasRead) {
    t::TempDir dir;
    const fs::path song = dir / "song.mp3", link = dir / "link.mp3", hard = dir / "hard.mp3";
    const std::string newHead = "0123XY6789";
    auto bytes = [](std::string_view s) { return std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
    struct Case {
        const char* what;
        std::function<void()> meanwhile;  // done between reading and writing
        std::string result;               // what the name then holds
        std::error_code ec;
    };
    const Case cases[] = {
        {"nothing", [] {}, "0123XY6789 audio", {}},
        {"grown", [&] { spit(song, "0123456789 audio+"); }, "0123456789 audio+", io::Error::Changed},
        {"other bytes", [&] { spit(song, "0123456780 audio"); }, "0123456780 audio", io::Error::Changed},
        {"another file",
         [&] {
             spit(dir / "new", "0123456789 audio");
             fs::rename(dir / "new", song);
         },
         "0123456789 audio", io::Error::Changed},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove(hard, ignored);
        fs::remove(link, ignored);
        spit(song, "0123456789 audio");
        fs::create_hard_link(song, hard);
        fs::create_symlink("song.mp3", link);
        const ino_t inode = statOf(song).st_ino;
        io::Reader in(link);
        c.meanwhile();
        EXPECT_EQ(io::overwrite(link, in, 0, bytes("0123456789"), bytes(newHead)), c.ec) << c.what;
        EXPECT_EQ(slurp(song), c.result) << c.what;
        EXPECT_TRUE(fs::is_symlink(link)) << c.what;
        if (!c.ec) {
            EXPECT_EQ(statOf(song).st_ino, inode);
            EXPECT_EQ(slurp(hard), c.result);
        }
    }
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"hard.mp3", "link.mp3", "song.mp3"}));
}

}  // namespace
}  // namespace qoro::replace
