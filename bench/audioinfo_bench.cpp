// GetAudioInformation's MPEG reader against ffprobe on the same files.
//   audioinfo_bench [files=1000] [ffprobe-files=100]
// Prints the time per file of both and their ratio, then the time of a full
// analysis (every frame) of a 100 MB MP3.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "readers/readers.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int probed = argc > 2 ? std::atoi(argv[2]) : 100;
    const fs::path dir = fs::temp_directory_path() / ("qoro-info-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path seed = dir / "seed.mp3";
    if (!sh("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=44100:duration=30' -ac 2 "
            "-c:a libmp3lame -b:a 128k -id3v2_version 3 -metadata title=Bench " +
            seed.string())) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        const fs::path p = dir / ("f" + std::to_string(i) + ".mp3");
        fs::copy_file(seed, p, fs::copy_options::overwrite_existing);
        paths.push_back(p.string());
    }

    auto t0 = Clock::now();
    long long totalMs = 0;
    for (const auto& p : paths) {
        qoro::audioinfo::Facts f;
        qoro::tags::TagRecord t;
        qoro::audioinfo::readMpeg(p, {.fastAnalysis = true, .tagKind = 2}, f, t);
        totalMs += f.duration;
    }
    const double ours = seconds(t0) / files;

    t0 = Clock::now();
    for (int i = 0; i < probed && i < files; ++i)
        sh("ffprobe -v error -show_entries stream=sample_rate,channels,duration,bit_rate:format_tags -of "
           "default=nw=1 " +
           paths[i] + " > /dev/null");
    const double theirs = seconds(t0) / std::min(probed, files);
    std::printf("fast analysis: %d files, %.1f us/file (total %lld ms of audio); ffprobe %.1f us/file; ratio %.1fx\n",
                files, ours * 1e6, totalMs, theirs * 1e6, theirs / ours);

    // A 100 MB stream: the seed's frames repeated.
    const fs::path big = dir / "big.mp3";
    {
        std::ifstream in(seed, std::ios::binary);
        std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream out(big, std::ios::binary);
        for (size_t written = 0; written < 100u * 1000 * 1000; written += data.size())
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    t0 = Clock::now();
    qoro::audioinfo::Facts f;
    qoro::tags::TagRecord t;
    qoro::audioinfo::readMpeg(big.string(), {.fastAnalysis = false, .tagKind = 1}, f, t);
    std::printf("full analysis of %.0f MB: %.3f s (duration %d ms, %s)\n", fs::file_size(big) / 1e6, seconds(t0),
                f.duration, f.description.c_str());
    fs::remove_all(dir);
    return 0;
}
