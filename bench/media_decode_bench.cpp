// Reading an M4A (AAC-LC, 5 minutes, 44.1 kHz stereo, 192 kbit/s) through the
// AudioFile object and the media plug-in (OpenFile + ReadFile in 0.1 s
// blocks, one thread) beside ffmpeg decoding it to 16-bit samples
// (-threads 1 -f s16le to /dev/null) in the same run; then a 24-bit ALAC
// file the same way. Prints the medians of five runs and their ratios.
//
//   build/bin/media_decode_bench [file.m4a ...]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
namespace b = qoro::bench;

// The material: ffmpeg's AAC and ALAC of sox's synthetic chord, cached in
// the temp folder.
std::vector<std::string> material() {
    const fs::path dir = fs::temp_directory_path() / "qoro-media-decode-bench";
    fs::create_directories(dir);
    const std::string wav = (dir / "chord.wav").string();
    const std::string aac = (dir / "chord_aac_192k.m4a").string(), alac = (dir / "chord_alac_24bit.m4a").string();
    if (!fs::exists(aac) || !fs::exists(alac)) {
        std::printf("making 5-minute AAC and 24-bit ALAC files with sox and ffmpeg...\n");
        if (!b::shell("sox -n -r 44100 -c 2 -b 24 '" + wav + "' synth 300 sine 220-660 sine 331 sine 1607 "
                      "remix 1,2v0.7 2,3v0.7 gain -6") ||
            !b::shell("ffmpeg -v error -y -i '" + wav + "' -c:a aac -b:a 192k '" + aac + "'") ||
            !b::shell("ffmpeg -v error -y -i '" + wav + "' -c:a alac '" + alac + "'"))
            return {};
        fs::remove(wav);
    }
    return {aac, alac};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty()) files = material();
    if (files.empty()) {
        std::fprintf(stderr, "could not make the material\n");
        return 1;
    }
    CoInitialize(nullptr);
    for (const std::string& file : files) {
        std::vector<double> ours, ffmpeg;
        long frames = 0;
        for (int run = 0; run < 5; ++run) {
            const double o = b::timeReadThrough(file, 0, frames);
            const double f = b::timeCommand("ffmpeg -loglevel error -threads 1 -i '" + file + "' -f s16le -y /dev/null");
            if (o < 0 || f < 0) {
                std::fprintf(stderr, "%s: could not be read (is the media plug-in built?)\n", file.c_str());
                return 1;
            }
            ours.push_back(o);
            ffmpeg.push_back(f);
        }
        const double o = b::median(ours), f = b::median(ffmpeg);
        std::printf("%s: %ld frames\n  ReadFile %.3f s   ffmpeg -f s16le %.3f s   ratio ours/ffmpeg = %.3f\n",
                    fs::path(file).filename().c_str(), frames, o, f, o / f);
    }
    CoUninitialize();
    return 0;
}
