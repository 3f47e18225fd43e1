#include "id3_fixtures.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace qoro::test::id3 {

namespace {

const char* const kMutagenTag = R"PY(
import sys, shutil
from mutagen.id3 import (ID3, TIT2, TPE1, TALB, TRCK, TCON, TDRC, APIC, TXXX, USLT, POPM, PRIV,
                         GEOB, UFID, TPOS, COMM, TSOP, WXXX)
audio, out, version, cover = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
shutil.copy(audio, out)
t = ID3()
t.add(TIT2(encoding=3, text="Old Title"))
t.add(TPE1(encoding=3, text=["Artist One", "Artist Tw\u00f6"]))
t.add(TALB(encoding=3, text="Album \u2713"))
t.add(TRCK(encoding=3, text="3/12"))
t.add(TCON(encoding=3, text="Chillwave"))
t.add(TDRC(encoding=3, text="2011-03-04"))
t.add(APIC(encoding=3, mime="image/jpeg", type=3, desc="Cover", data=open(cover, "rb").read()))
t.add(TXXX(encoding=3, desc="MusicBrainz Album Id", text="f00d-beef"))
t.add(USLT(encoding=3, lang="eng", desc="", text="la la la\nsecond line"))
t.add(POPM(email="user@example.org", rating=196, count=7))
t.add(PRIV(owner="WM/MediaClassPrimaryID", data=b"\x01\x02\x03\xff\x00"))
t.add(GEOB(encoding=3, mime="application/octet-stream", filename="notes.bin", desc="Notes", data=b"\x00\x01binary"))
t.add(UFID(owner="http://musicbrainz.org", data=b"abc-123"))
t.add(TPOS(encoding=3, text="1/2"))
t.add(COMM(encoding=3, lang="eng", desc="", text="English comment"))
t.add(COMM(encoding=3, lang="deu", desc="", text="Deutscher Kommentar \u00e4"))
t.add(COMM(encoding=0, lang="eng", desc="iTunNORM", text=" 00000A2B 00000B3C 00001234 00002345"))
t.add(TSOP(encoding=3, text="One, Artist"))
t.add(WXXX(encoding=0, desc="", url="http://example.org/artist"))
t.save(out, v2_version=version, v1=2)
)PY";

// Version 2.2 as its published layout has it: 3-letter identifiers, 3-byte
// sizes, no frame flags.
const char* const kOwnV22 = R"PY(
import sys
audio, out, cover = sys.argv[1], sys.argv[2], sys.argv[3]
def frame(fid, body):
    return fid.encode() + len(body).to_bytes(3, "big") + body
def latin(fid, text):
    return frame(fid, b"\x00" + text.encode("latin-1"))
def utf16(fid, text):
    return frame(fid, b"\x01" + text.encode("utf-16"))
frames = [
    latin("TT2", "Old Title"),
    utf16("TP1", "Artist Tw\u00f6 \u2713"),
    latin("TAL", "Album"),
    latin("TRK", "3/12"),
    latin("TYE", "1999"),
    latin("TCO", "(17)"),
    frame("COM", b"\x00eng\x00English comment"),
    frame("COM", b"\x01deu" + "".encode("utf-16") + b"\x00\x00" + "Kommentar \u00e4".encode("utf-16")),
    frame("COM", b"\x00engiTunNORM\x00 00000A2B 00000B3C"),
    frame("PIC", b"\x00JPG\x03Cover\x00" + open(cover, "rb").read()),
    frame("TXX", b"\x00Catalog\x00CAT-42"),
    frame("ULT", b"\x00eng\x00words\nmore words"),
    frame("POP", b"user@example.org\x00\xc4\x00\x00\x00\x07"),
    frame("UFI", b"http://musicbrainz.org\x00abc-123"),
    latin("TPA", "1/2"),
    frame("GEO", b"\x00application/octet-stream\x00notes.bin\x00Notes\x00\x00\x01binary"),
    frame("CRM", b"owner@example.org\x00explanation\x00encrypted"),
]
body = b"".join(frames)
n = len(body)
header = b"ID3\x02\x00\x00" + bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
with open(out, "wb") as f:
    f.write(header + body + open(audio, "rb").read())
)PY";

const char* const kMutagenDiff = R"PY(
import sys, re
from mutagen.id3 import ID3
def view(path):
    t = ID3(path)
    version = "%d.%d" % t.version[:2]
    t.update_to_v23()
    return version, {k: re.sub(r"encoding=<Encoding\.\w+: \d+>, ?", "", repr(f)) for k, f in t.items()}
va, a = view(sys.argv[1])
vb, b = view(sys.argv[2])
for k in sorted(set(a) | set(b)):
    if a.get(k) != b.get(k):
        print("DIFF %s: %s | %s" % (k, a.get(k, "-")[:200], b.get(k, "-")[:200]))
print("VERSION %s %s" % (va, vb))
print("FRAMES %d %d" % (len(a), len(b)))
)PY";

const char* const kMutagenFrame = R"PY(
import sys
from mutagen.id3 import ID3
t = ID3(sys.argv[1])
t.update_to_v23()
f = t.get(sys.argv[2])
print("-" if f is None else repr(f.text if hasattr(f, "text") else f), end="")
)PY";

const char* const kMutagenExtras = R"PY(
import sys
from mutagen.id3 import ID3
t = ID3(sys.argv[1])
for f in t.getall("TXXX"):
    print("TXXX %s=%s" % (f.desc, "|".join(f.text)))
for n, f in enumerate(t.getall("APIC")):
    print("APIC %d %s %s" % (f.type, f.mime, f.desc))
    open("%s.%d" % (sys.argv[2], n), "wb").write(f.data)
)PY";

size_t syncsafe(const uint8_t* p) { return (size_t{p[0]} << 21) | (size_t{p[1]} << 14) | (size_t{p[2]} << 7) | p[3]; }

}  // namespace

fs::path lameMp3(const TempDir& dir, const std::string& name, double seconds) {
    const fs::path wav = dir / (name + ".wav");
    const fs::path mp3 = dir / name;
    writeWav16(wav, 44100, 2, testSignal(44100, 2, static_cast<int>(44100 * seconds)));
    const auto r = run("lame --quiet -b 128 " + shellQuote(wav.string()) + " " + shellQuote(mp3.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return mp3;
}

fs::path coverJpeg(const TempDir& dir) {
    const fs::path jpg = dir / "cover.jpg";
    const auto r =
        run("ffmpeg -v error -y -f lavfi -i testsrc2=size=640x480 -frames:v 1 -q:v 2 " + shellQuote(jpg.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return jpg;
}

fs::path pngCover(const TempDir& dir) {
    const fs::path png = dir / "cover.png";
    const auto r = run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120 -frames:v 1 " + shellQuote(png.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return png;
}

std::string mutagenExtras(const fs::path& file, const fs::path& pictures) {
    const auto r = python(kMutagenExtras, {file.string(), pictures.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

fs::path mutagenTagged(const fs::path& audio, const fs::path& out, int version, const fs::path& cover) {
    const auto r = python(kMutagenTag, {audio.string(), out.string(), std::to_string(version), cover.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return out;
}

fs::path ownV22Tagged(const fs::path& audio, const fs::path& out, const fs::path& cover) {
    const auto r = python(kOwnV22, {audio.string(), out.string(), cover.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return out;
}

std::string mutagenDiff(const fs::path& before, const fs::path& after) {
    const auto r = python(kMutagenDiff, {before.string(), after.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

std::string mutagenFrame(const fs::path& file, const std::string& key) {
    const auto r = python(kMutagenFrame, {file.string(), key});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

size_t tagsEnd(const std::vector<uint8_t>& b) {
    size_t pos = 0;
    while (b.size() - pos >= 10 && std::memcmp(b.data() + pos, "ID3", 3) == 0) {
        size_t total = 10 + syncsafe(b.data() + pos + 6);
        if (b[pos + 3] == 4 && (b[pos + 5] & 0x10)) total += 10;
        if (total > b.size() - pos) break;
        pos += total;
    }
    return pos;
}

int tagCount(const std::vector<uint8_t>& b) {
    int n = 0;
    size_t pos = 0;
    while (b.size() - pos >= 10 && std::memcmp(b.data() + pos, "ID3", 3) == 0) {
        ++n;
        size_t total = 10 + syncsafe(b.data() + pos + 6);
        if (b[pos + 3] == 4 && (b[pos + 5] & 0x10)) total += 10;
        if (total > b.size() - pos) break;
        pos += total;
    }
    return n;
}

std::string writeWithFileSizeLimit(uint64_t limit, const std::function<std::error_code()>& write) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        const std::error_code ec = write();
        const std::string text = std::to_string(ec.value()) + " " + (ec ? ec.message() : std::string("ok"));
        [[maybe_unused]] ssize_t n = ::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "crashed";
    return text;
}

}  // namespace qoro::test::id3
