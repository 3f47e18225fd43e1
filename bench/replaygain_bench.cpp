// qoro convert FLAC -> MP3 with --replaygain album (no true peak) beside the
// same conversion without it: four 60-second 44.1 kHz stereo FLAC files (one
// album), one job at a time (-j 1), each variant run five times in turn in
// the same run. Prints the medians and their ratio (goal: <= 1.10); exits 1
// when a run fails or the goal is missed. The measured conversion meters the
// encoder's input and decodes each MP3 once for its peak.
//
//   build/bin/replaygain_bench [file.flac ...]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
namespace b = qoro::bench;

constexpr double kGoal = 1.10;

std::vector<std::string> material() {
    const fs::path dir = fs::temp_directory_path() / "qoro-replaygain-bench";
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (int i = 1; i <= 4; ++i) {
        const fs::path flac = dir / ("track" + std::to_string(i) + ".flac");
        if (!fs::exists(flac) &&
            !b::shell("sox -V1 -R -n -r 44100 -c 2 -b 16 '" + flac.string() + ".part.flac' synth 60 pinknoise sine " +
                      std::to_string(220 * i) + " tremolo 3 40 gain -" + std::to_string(3 * i) + " && mv '" +
                      flac.string() + ".part.flac' '" + flac.string() + "'"))
            return {};
        files.push_back(flac.string());
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty()) files = material();
    if (files.empty()) return 1;
    const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
    const fs::path out = fs::temp_directory_path() / "qoro-replaygain-bench-out";
    std::string inputs;
    for (const auto& f : files) inputs += " '" + f + "'";
    auto command = [&](const std::string& extra) {
        return "'" + (bin / "qoro").string() + "' convert -j 1 -f --to mp3" + extra + " -o '" + out.string() + "'" +
               inputs + " > /dev/null 2>&1";
    };
    std::vector<double> plain, gained;
    for (int run = 0; run < 5; ++run) {
        const double p = b::timeCommand(command(""));
        const double g = b::timeCommand(command(" --replaygain album"));
        if (p < 0 || g < 0) {
            std::fprintf(stderr, "a conversion failed\n");
            return 1;
        }
        plain.push_back(p);
        gained.push_back(g);
    }
    const double p = b::median(plain), g = b::median(gained), ratio = g / p;
    std::printf("FLAC -> MP3 of %zu files\n  without --replaygain %.3f s   with --replaygain album %.3f s\n"
                "  ratio = %.3f (goal <= %.2f)\n",
                files.size(), p, g, ratio, kGoal);
    return ratio <= kGoal ? 0 : 1;
}
