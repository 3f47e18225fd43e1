// A file that cannot be finished is not a finished file: when the writes a
// CloseFile makes (the header patched, the last block encoded, the buffers
// written) fail, CloseFile reports FILEACCESS through LastErrorNum with the
// system's reason as error information, and the file is closed anyway.
// The failures are real ones: the fail_io shim lets the writes made before
// the close through and refuses everything after them with ENOSPC.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace t = qoro::test;

namespace {

struct Probe {
    long create = 1, write = 1, size = -1, close = 1, hr = 1, status = -1;
    std::string createCause, cause, output;
};

// The value after "key=" in the probe's line (up to the next blank, or to the
// end of the line for the last field).
std::string field(const std::string& line, const std::string& key, bool toEnd = false) {
    const size_t at = line.find(key + "=");
    if (at == std::string::npos) return {};
    const size_t from = at + key.size() + 1;
    const size_t end = toEnd ? line.find('\n', from) : line.find(' ', from);
    return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

Probe probe(const std::string& kind, const t::fs::path& out, const std::string& environment = "") {
    const auto r = t::run(environment + " " + t::shellQuote(t::binPath("audiofile_close_probe").string()) + " " + kind +
                          " " + t::shellQuote(out.string()));
    Probe p;
    p.output = r.output;
    const size_t line = r.output.find("create=");
    if (r.exitCode != 0 || line == std::string::npos) {
        ADD_FAILURE() << kind << ": " << r.output;
        return p;
    }
    const std::string text = r.output.substr(line);
    const size_t open = text.find('('), close = text.find(") write=");
    p.create = std::stol(field(text, "create"));
    if (open != std::string::npos && close != std::string::npos)
        p.createCause = text.substr(open + 1, close - open - 1);
    p.write = std::stol(field(text, "write"));
    p.size = std::stol(field(text, "size"));
    p.close = std::stol(field(text, "close"));
    p.hr = std::stol(field(text, "hr"));
    p.status = std::stol(field(text, "status"));
    p.cause = field(text, "cause", true);
    return p;
}

std::string shim() {
    return "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" +
           t::shellQuote(t::binPath("libqoro_fail_io.so").string());
}

// The bytes a probe writes before its close, undisturbed.
long bytesBeforeClose(const std::string& kind, const t::fs::path& out) {
    const Probe whole = probe(kind, out);
    EXPECT_EQ(whole.create, 0) << whole.output;
    EXPECT_EQ(whole.write, 0) << whole.output;
    EXPECT_EQ(whole.close, 0) << whole.output;
    EXPECT_EQ(whole.cause, "") << whole.output;
    EXPECT_GT(whole.size, 0) << whole.output;
    return whole.size;
}

void expectCloseFailure(const Probe& p, const std::string& cause) {
    EXPECT_EQ(p.create, 0) << p.output;
    EXPECT_EQ(p.write, 0) << p.output;
    EXPECT_EQ(p.close, -18) << p.output;  // FILEACCESS
    EXPECT_EQ(p.cause, cause) << p.output;
    EXPECT_EQ(p.hr, 0) << "failures travel through LastErrorNum, as every member's do";
    EXPECT_EQ(p.status, 0) << "closed anyway";
}

// The disk fills up exactly where the writes before the close end: the WAV
// header patch, and for Microsoft ADPCM also the last block, cannot be
// written (once reported as success: a WAV whose header says nothing).
TEST(CloseFailure, AWavWhoseHeaderCannotBePatchedIsAFailureWithItsCause) {
    ASSERT_TRUE(t::fs::exists(t::binPath("libqoro_fail_io.so")));
    t::TempDir dir;
    for (const char* kind : {"wav", "adpcm"}) {
        SCOPED_TRACE(kind);
        const auto out = dir / (std::string("out.") + kind);
        const long size = bytesBeforeClose(kind, out);
        expectCloseFailure(probe(kind, out, "QORO_FAIL_WRITE_AFTER=" + std::to_string(size) + " " + shim()),
                           "No space left on device");
    }
}

// The encoders that write through the C library's streams: what they still
// hold at the close (the last frames, the end-of-stream page, the buffered
// codes) cannot be written past the file size reached before it.
TEST(CloseFailure, EncodersWhoseLastBytesCannotBeWrittenFailWithTheCause) {
    t::TempDir dir;
    for (const char* kind : {"vox", "mp3", "mp2", "ogg", "adpcm"}) {
        SCOPED_TRACE(kind);
        const auto out = dir / (std::string("out.") + kind);
        bytesBeforeClose(kind, out);
        expectCloseFailure(probe(kind, out, "QORO_PROBE_LIMIT_AT_CLOSE=1"), "File too large");
    }
}

TEST(CloseFailure, NothingLeftToWriteIsNoFailureAndACreateSaysWhy) {
    ASSERT_TRUE(t::fs::exists(t::binPath("libqoro_fail_io.so")));
    t::TempDir dir;
    // A raw file holds every sample once its writes are done: its close
    // writes nothing, so the same full disk costs it nothing.
    const Probe whole = probe("raw", dir / "out.raw");
    ASSERT_EQ(whole.close, 0) << whole.output;
    const Probe full =
        probe("raw", dir / "out.raw", "QORO_FAIL_WRITE_AFTER=" + std::to_string(whole.size) + " " + shim());
    EXPECT_EQ(full.close, 0) << full.output;
    EXPECT_EQ(full.cause, "");
    // A disk full from the first byte: the WAV header cannot be written,
    // the create fails with the reason and leaves no file.
    const Probe none = probe("wav", dir / "none.wav", "QORO_FAIL_WRITE_AFTER=0 " + shim());
    EXPECT_EQ(none.create, -18) << none.output;
    EXPECT_EQ(none.createCause, "No space left on device") << none.output;
    EXPECT_FALSE(t::fs::exists(dir / "none.wav"));
    // A folder that is not there.
    const Probe nowhere = probe("wav", dir / "no-such-folder" / "x.wav");
    EXPECT_EQ(nowhere.create, -18) << nowhere.output;
    EXPECT_EQ(nowhere.createCause, "No such file or directory") << nowhere.output;
}

}  // namespace
