// qoro convert on catalogues: the same conversion gives the same bytes (Ogg
// serials from the output's name, pages ogginfo and opusinfo accept), the
// serial stamp leaves any file that is not one plain stream as it was, the
// --report lines count every planned file of a share once and agree with the
// summary and the exit status, --dry-run writes nothing, and collisions in a
// list are refused from its text alike in every shard.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_support.h"
#include "client/ogg_serial.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;
namespace qc = ::qoro::client;

namespace {

using t::cli::q;

t::CommandResult qoro(const std::string& args) { return t::cli::runQoro(args); }

uint32_t le32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The stream serial of every page, walked by the page sizes.
std::vector<uint32_t> pageSerials(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> serials;
    for (size_t at = 0; at + 27 <= bytes.size();) {
        size_t length = 27 + bytes[at + 26];
        if (at + length > bytes.size()) break;
        for (size_t i = 0; i < bytes[at + 26]; ++i) length += bytes[at + 27 + i];
        serials.push_back(le32At(bytes, at + 14));
        at += length;
    }
    return serials;
}

class QoroCatalogue : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(t::binPath("qoro"))) << "qoro is not built"; }

    fs::path wav(const fs::path& file, double seconds = 1.0) {
        fs::create_directories(file.parent_path());
        t::writeWav16(file, 44100, 2, t::testSignal(44100, 2, static_cast<int>(44100 * seconds)));
        return file;
    }

    t::TempDir dir;
};

// Opus (libopusenc picks a random serial) and Ogg Vorbis: two runs give
// equal bytes; every page carries the serial of the output's relative path;
// the reference tools check every page.
TEST_F(QoroCatalogue, SameConversionGivesSameBytes) {
    QORO_REQUIRE_TOOLS("opusinfo", "ogginfo");
    wav(dir / "in/a/song.wav");
    for (const auto& [type, checker] : {std::pair{"opus", "opusinfo"}, std::pair{"ogg", "ogginfo"}}) {
        SCOPED_TRACE(type);
        for (const char* out : {"one", "two"}) {
            auto r = qoro("convert -R " + q(dir / "in") + " --to " + type + " -o " + q(dir / out / type));
            ASSERT_EQ(r.exitCode, 0) << r.output;
        }
        const fs::path name = fs::path("a") / (std::string("song.") + type);
        const auto first = t::readBytes(dir / "one" / type / name);
        EXPECT_EQ(first, t::readBytes(dir / "two" / type / name));
        const auto serials = pageSerials(first);
        ASSERT_GE(serials.size(), 3u);
        for (uint32_t serial : serials) EXPECT_EQ(serial, qc::oggSerialOf(name.string()));
        auto c = t::run(std::string(checker) + " " + q(dir / "one" / type / name));
        EXPECT_EQ(c.exitCode, 0) << c.output;
        EXPECT_EQ(c.output.find("WARNING"), std::string::npos) << c.output;
    }
}

// Only one plain logical stream is stamped; anything else stays byte for
// byte as written.
TEST_F(QoroCatalogue, SerialStampLeavesOtherFilesAsTheyWere) {
    QORO_REQUIRE_TOOLS("opusenc", "ogginfo");
    wav(dir / "a.wav", 0.5);
    auto r = t::run("opusenc --quiet " + q(dir / "a.wav") + " " + q(dir / "a.opus"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto good = t::readBytes(dir / "a.opus");
    const auto serials = pageSerials(good);
    ASSERT_GE(serials.size(), 3u);
    const size_t second = good.size() / 2;  // inside some page's data
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases{{"two streams chained", good}, {"a changed byte", good}, {"cut short", good},
                            {"no Ogg file", std::vector<uint8_t>(4000, 0x4f)}};
    cases[0].bytes.insert(cases[0].bytes.end(), good.begin(), good.end());
    cases[1].bytes[second] ^= 0x20;
    cases[2].bytes.resize(good.size() - 7);
    for (const auto& c : cases) {
        const fs::path file = dir / "case.opus";
        t::writeBytes(file, c.bytes);
        std::string cause;
        EXPECT_EQ(qc::stampOggSerial(file.string(), 0x12345678, cause), qc::SerialStamp::NotOneStream) << c.name;
        EXPECT_FALSE(cause.empty()) << c.name;
        EXPECT_EQ(t::readBytes(file), c.bytes) << c.name;
    }
    // The plain stream: every page restamped, checksums right, nothing else changed.
    std::string cause;
    ASSERT_EQ(qc::stampOggSerial((dir / "a.opus").string(), 0x12345678, cause), qc::SerialStamp::Stamped) << cause;
    const auto stamped = t::readBytes(dir / "a.opus");
    ASSERT_EQ(stamped.size(), good.size());
    EXPECT_EQ(pageSerials(stamped), std::vector<uint32_t>(serials.size(), 0x12345678u));
    size_t changed = 0;
    for (size_t i = 0; i < good.size(); ++i) changed += good[i] != stamped[i];
    EXPECT_LE(changed, serials.size() * 8);
    r = t::run("ogginfo " + q(dir / "a.opus"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("serial: 12345678"), std::string::npos) << r.output;
}

// One line per planned file of the share (converted, failed, not converted,
// up to date), each parsed by jq; the counts agree with the summary object,
// the summary line and the exit status; the report is renamed when complete.
TEST_F(QoroCatalogue, ReportCountsEveryPlannedFileOnce) {
    QORO_REQUIRE_TOOLS("jq");
    for (const char* name : {"a/1.wav", "a/2.wav", "b/3.wav"}) wav(dir / "in" / name, 0.3);
    t::writeBytes(dir / "in/b/broken.wav", std::vector<uint8_t>(3000, 0x5a));
    t::writeBytes(dir / "in/b/x.au", std::vector<uint8_t>(3000, 0x11));
    const std::string run = "convert -R " + q(dir / "in") + " --to flac -o " + q(dir / "out") + " --update -j 2 ";
    const fs::path report = dir / "report.jsonl";

    // A dry run plans, prints and writes nothing.
    auto r = qoro(run + "--dry-run");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("4 to convert"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out"));

    const auto jq = [&](const std::string& filter) {
        auto x = t::run("jq -r -s " + q(filter) + " " + q(report));
        EXPECT_EQ(x.exitCode, 0) << x.output;
        return x.output;
    };
    const std::pair<int, const char*> runs[] = {
        {3, "converted=3 failed=1 not converted=1 up to date=0"},
        {0, "converted=0 failed=1 not converted=1 up to date=3"},
    };
    for (const auto& [converted, statuses] : runs) {
        r = qoro(run + "--report " + q(report));
        EXPECT_EQ(r.exitCode, 1) << r.output;
        ASSERT_TRUE(fs::exists(report)) << r.output;
        EXPECT_FALSE(fs::exists(dir / "report.jsonl.partial"));
        EXPECT_EQ(jq("map(select(.summary | not)) | \"converted=\\(map(select(.status == \"converted\")) | length) "
                     "failed=\\(map(select(.status == \"failed\")) | length) not converted=\\(map(select(.status == "
                     "\"not converted\")) | length) up to date=\\(map(select(.status == \"up to date\")) | length)\""),
                  std::string(statuses) + "\n");
        EXPECT_EQ(jq("map(select(.summary | not) | .source) | unique | length"), "5\n");
        EXPECT_EQ(jq(".[-1] | \"\\(.summary) \\(.converted) \\(.failed) \\(.notConverted) \\(.upToDate) \\(.exitStatus)\""),
                  "true " + std::to_string(converted) + " 1 1 " + std::to_string(3 - converted) + " " +
                      std::to_string(r.exitCode) + "\n");
        EXPECT_NE(r.output.find(std::to_string(converted) + " converted, 0 skipped, 1 failed"), std::string::npos)
            << r.output;
    }
    // Bytes written are the outputs' sizes.
    r = qoro("convert -R " + q(dir / "in") + " --to flac -o " + q(dir / "out") + " --overwrite --report " + q(report));
    EXPECT_EQ(jq("map(select(.status == \"converted\") | .bytesWritten) | add"),
              std::to_string(fs::file_size(dir / "out/a/1.flac") + fs::file_size(dir / "out/a/2.flac") +
                             fs::file_size(dir / "out/b/3.flac")) +
                  "\n");
}

// Two list entries with one output are refused by every shard, from the
// text alone (the files need not exist), naming both; entries read from
// standard input are named by number. A NUL in a list of lines is refused.
TEST_F(QoroCatalogue, ListCollisionsAreRefusedAlikeInEveryShard) {
    const std::string list = "music/a/x.wav\nmusic/b/y.wav\nmusic/./a/x.ogg\n";
    t::writeBytes(dir / "list", std::vector<uint8_t>(list.begin(), list.end()));
    const std::string cd = "cd " + q(dir.path()) + " && " + q(t::binPath("qoro")) + " convert --to mp3 -o out ";
    for (const char* shard : {"0/2", "1/2"}) {
        auto r = t::run(cd + "--files-from list --shard " + shard);
        EXPECT_EQ(r.exitCode, 2) << shard << ": " << r.output;
        EXPECT_NE(r.output.find("out/music/a/x.mp3: output of both music/a/x.wav and music/./a/x.ogg"),
                  std::string::npos)
            << shard << ": " << r.output;
    }
    auto r = t::run("cd " + q(dir.path()) + " && printf " + q(list) + " | " + q(t::binPath("qoro")) +
                    " convert --to mp3 -o out --files-from -");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("entry 1 of the list and entry 3 of the list: one output for both"), std::string::npos)
        << r.output;
    // Lines are lines when no NUL comes in the first 64 KiB: 8000 of them, then one with a NUL.
    std::string lines;
    for (int i = 0; i < 8000; ++i) lines += "f" + std::to_string(10000 + i) + ".wav\n";
    lines += std::string("b\0.wav\n", 7);
    t::writeBytes(dir / "nul-list", std::vector<uint8_t>(lines.begin(), lines.end()));
    r = t::run(cd + "--files-from nul-list");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("entry 8001 of the list holds a NUL byte"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
