// AAC-LC at 256 kbit/s through the AudioFile object and the media plug-in (a
// WAV read by one AudioFile, written as M4A by another, in 0.1 s blocks, the
// file finished with "moov" first and its gapless item) beside ffmpeg's own
// "-c:a aac -b:a 256k" on one thread, on a 5-minute 48 kHz 16-bit stereo
// file. Each side runs three times in the same run; prints the medians, their
// ratio (goal: <= 1.05x ffmpeg) and both files' sizes. Exits 1 when a step
// fails or the goal is missed.
//
//   build/bin/m4a_encode_bench [file.wav]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace {

namespace fs = std::filesystem;
namespace b = qoro::bench;

constexpr double kGoal = 1.05;

double timeEncode(const std::string& wav, const std::string& m4a) {
    const auto t0 = b::Clock::now();
    const bool ok = b::copyThroughAudioFile(wav, m4a, M4A, [](IAudioFile* out) {
        IAudioFile4* out4 = nullptr;
        if (FAILED(out->QueryInterface(IID_IAudioFile4, reinterpret_cast<void**>(&out4)))) return false;
        LONG align = 0;
        out4->SetFormatAAC(48000, 2, 256, &align);
        out4->Release();
        return align == 4;
    });
    return ok ? b::seconds(t0) : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string wav = b::fiveMinuteMaterial(argc, argv);
    if (wav.empty()) return 1;
    const fs::path work = fs::temp_directory_path() / "qoro_m4a_bench";
    fs::create_directories(work);
    const std::string ours = (work / "ours.m4a").string(), tool = (work / "tool.m4a").string();

    CoInitialize(nullptr);
    std::vector<double> ourTimes, toolTimes;
    for (int run = 0; run < 3; ++run) {
        const double o = timeEncode(wav, ours);
        const double f = b::timeCommand("ffmpeg -loglevel error -threads 1 -y -i '" + wav +
                                        "' -c:a aac -b:a 256k '" + tool + "'");
        if (o < 0 || f < 0) {
            std::fprintf(stderr, "encoding failed (is the media plug-in built?)\n");
            return 1;
        }
        ourTimes.push_back(o);
        toolTimes.push_back(f);
    }
    CoUninitialize();
    const double o = b::median(ourTimes), f = b::median(toolTimes), ratio = o / f;
    std::printf("AAC 256 kbit/s of %s\n  ours %.3f s (%ju bytes)   ffmpeg -c:a aac %.3f s (%ju bytes)\n"
                "  ratio ours/ffmpeg = %.3f (goal <= %.2f)\n",
                fs::path(wav).filename().c_str(), o, static_cast<uintmax_t>(fs::file_size(ours)), f,
                static_cast<uintmax_t>(fs::file_size(tool)), ratio, kGoal);
    return ratio <= kGoal ? 0 : 1;
}
