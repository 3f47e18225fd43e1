// qoro converts sources of any rate, 1000 to 384000 Hz, to every common target
// at the rate its defaults choose, without relabelling: each output lasts as
// long as its source (within one frame of the target's coding), at the rate
// the target type takes for that source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace t = qoro::test;
namespace fs = std::filesystem;

namespace {

using t::cli::q;

bool isOneOf(long rate, std::initializer_list<long> rates) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

// The rates a type keeps; any other rate goes to 44100 Hz when it is a
// multiple of 11025 Hz, else to 48000 Hz.
long keptOrFamily(long rate, std::initializer_list<long> kept) {
    if (isOneOf(rate, kept)) return rate;
    return rate % 11025 == 0 ? 44100 : 48000;
}

// The rate each target type takes for a source rate.
long wavRate(long r) { return r; }
long mp3Rate(long r) { return keptOrFamily(r, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}); }
long opusRate(long) { return 48000; }
long oggRate(long r) { return keptOrFamily(r, {44100, 48000}); }

struct Target {
    const char* type;
    long (*rate)(long sourceRate);
    long frame;  // samples of one coded frame at the output rate (1 for PCM)
    long delay;  // encoder delay a file may leave to its decoder (MP3 without a LAME header)
};

const Target kTargets[] = {
    {"wav", wavRate, 1, 0},     {"flac", wavRate, 1, 0},  {"mp3", mp3Rate, 1152, 576 + 529},
    {"opus", opusRate, 960, 0}, {"ogg", oggRate, 2048, 0},
};

struct Shape {
    long rate = 0;
    double seconds = 0;  // duration without the coder's leading delay
};

// ffprobe's rate and duration of every file in a folder.
// The duration counts from the first sample the decoder presents (MP3: after
// the encoder delay its header states) and, for Opus, without the pre-skip.
std::map<std::string, Shape> probeFolder(const fs::path& folder) {
    // two at a time; each line is written at once
    const auto r = t::run("cd " + q(folder) +
                          " && ls | xargs -P 2 -I{} sh -c 'echo \"$0 $(ffprobe -v error "
                          "-select_streams a:0 -show_entries stream=sample_rate,start_time:format=duration "
                          "-of default=nw=1:nk=1 \"$0\" | tr \"\\n\" \" \")\"' {}");
    std::map<std::string, Shape> shapes;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, start;
        Shape s;
        double duration = 0;
        if (!(fields >> name >> s.rate >> start >> duration)) continue;
        s.seconds = duration - (start == "N/A" ? 0.0 : std::atof(start.c_str()));
        if (name.ends_with(".opus")) {
            // OpusHead: the pre-skip, 48 kHz samples, ten bytes after the magic
            const auto bytes = t::readBytes(folder / name);
            const std::string text(bytes.begin(), bytes.end());
            const size_t head = text.find("OpusHead");
            if (head != std::string::npos && head + 12 <= bytes.size())
                s.seconds -= (bytes[head + 10] | (bytes[head + 11] << 8)) / 48000.0;
        }
        shapes[fs::path(name).stem().string()] = s;
    }
    return shapes;
}

TEST(QoroRates, EveryRateConvertsWithoutRelabelling) {
    QORO_REQUIRE_TOOLS("sox", "ffprobe");
    t::TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src);
    std::string sources;
    const std::string make = "sox -n -c 2 -r ";
    for (long rate :
         {1000, 7999, 8000, 11025, 22050, 32000, 44100, 48000, 64000, 88200, 96000, 176400, 192000, 384000}) {
        const fs::path file = src / ("s" + std::to_string(rate) + ".wav");
        const auto r = t::run(make + std::to_string(rate) + " -b 16 " + q(file) + " synth 0.37 sine 100 vol 0.5");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        sources += " " + q(file);
    }
    // a 24-bit FLAC as hi-res libraries hold them
    const fs::path deep = src / "deep96k.flac";
    auto r = t::run(make + "96000 -b 24 " + q(deep) + " synth 0.37 sine 1000 vol 0.5");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    sources += " " + q(deep);
    const auto given = probeFolder(src);
    ASSERT_EQ(given.size(), 15u);

    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.type);
        const fs::path out = dir / target.type;
        r = t::cli::runQoro(std::string("convert -j 2 --to ") + target.type + " -o " + q(out) + sources);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto made = probeFolder(out);
        EXPECT_EQ(made.size(), given.size());
        for (const auto& [name, source] : given) {
            const auto it = made.find(name);
            ASSERT_NE(it, made.end()) << name;
            const Shape& output = it->second;
            EXPECT_EQ(output.rate, target.rate(source.rate)) << name;
            // one frame of the coding (and the delay a decoder may not know
            // of), and one sample either way for the rounding
            const double tolerance =
                double(target.frame + target.delay + 1) / double(output.rate) + 1.0 / double(source.rate);
            EXPECT_NEAR(output.seconds, source.seconds, tolerance) << name << " at " << output.rate << " Hz";
        }
    }
}

}  // namespace
