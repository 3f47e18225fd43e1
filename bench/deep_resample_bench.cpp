// Float resampling through the AudioFile object beside sox, one thread each,
// on a 5-minute 32-bit float stereo 44.1 kHz WAV:
//   ours  the file opened by one AudioFile and read as a 48 kHz float array
//         (SetFormatArrayKind: the float path through libsoxr), written by
//         another to a 48 kHz float WAV (SetFormatPCMKind), ReadSamples /
//         WriteSamples in 0.1 s blocks, both closed
//   sox   sox -D in -e floating-point -b 32 out rate -v 48000
// Five runs of each, taken in turn; the medians of their wall-clock and CPU
// times and the ratios are printed (goal: ours/sox <= 1.0 in wall-clock
// time), and the lengths of the two outputs, which must agree within a
// frame. Exits 1 when a step fails, the lengths disagree or the goal is
// missed.
//
// Material: tones with pink and brown noise, a tremolo on them, that sox
// makes once (cached in the temp folder).
//
//   build/bin/deep_resample_bench
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using qoro::bench::Clock;
using qoro::bench::cpuSeconds;
using qoro::bench::median;
using qoro::bench::seconds;

constexpr LONG kSourceRate = 44100;
constexpr LONG kTargetRate = 48000;
constexpr int kRuns = 5;

// Wall-clock and CPU seconds of one run.
struct Timing {
    double wall = -1.0;
    double cpu = -1.0;
};

Timing timeOurs(const std::string& in, const std::string& out) {
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    const bool ok = qoro::bench::copySamplesThroughAudioFile(
        in, out, DEFAULT, {kTargetRate, 2, SAMPLE_FLOAT32}, [](IAudioFile3* dst) {
            LONG blockAlign = 0;
            dst->SetFormatPCMKind(kTargetRate, 2, SAMPLE_FLOAT32, &blockAlign);
            return blockAlign == 8;
        });
    if (!ok) return {};
    return {seconds(t0), cpuSeconds(RUSAGE_SELF) - cpu0};
}

Timing timeSox(const std::string& in, const std::string& out) {
    const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    const double wall = qoro::bench::timeCommand("sox --single-threaded -V1 -D '" + in +
                                                 "' -e floating-point -b 32 '" + out + "' rate -v " +
                                                 std::to_string(kTargetRate));
    if (wall < 0) return {};
    return {wall, cpuSeconds(RUSAGE_CHILDREN) - cpu0};
}

// Sample frames of a sound file as soxi counts them; -1 when it cannot.
long long framesOf(const std::string& path) {
    const std::string text = qoro::bench::commandOutput("soxi -s '" + path + "' 2>/dev/null");
    return text.empty() ? -1 : std::atoll(text.c_str());
}

}  // namespace

int main() {
    // One thread each: sox and any library that would start threads.
    setenv("OMP_NUM_THREADS", "1", 1);
    const std::string in = qoro::bench::synthesisedMaterial(
        "qoro_deep_resample_bench_5min_44k_float.wav", kSourceRate, "-e floating-point -b 32",
        "synth 300 sine 220 sine 277 sine mix 330 sine mix 440 sine mix 1760 pinknoise mix brownnoise mix "
        "tremolo 3 40 gain -n -3");
    if (in.empty()) return 1;
    const fs::path work = fs::temp_directory_path() / "qoro_deep_resample_bench";
    fs::create_directories(work);
    const std::string ours = (work / "ours.wav").string();
    const std::string theirs = (work / "sox.wav").string();

    CoInitialize(nullptr);
    std::vector<double> ourWall, ourCpu, soxWall, soxCpu;
    for (int run = 0; run < kRuns; ++run) {
        // Each side writes a new file, as a converter does.
        fs::remove(ours);
        const Timing o = timeOurs(in, ours);
        fs::remove(theirs);
        const Timing s = timeSox(in, theirs);
        if (o.wall < 0 || s.wall < 0) {
            std::fprintf(stderr, "%s failed\n", o.wall < 0 ? "our copy" : "sox");
            return 1;
        }
        ourWall.push_back(o.wall);
        ourCpu.push_back(o.cpu);
        soxWall.push_back(s.wall);
        soxCpu.push_back(s.cpu);
    }
    CoUninitialize();

    const long long inFrames = framesOf(in), ourFrames = framesOf(ours), soxFrames = framesOf(theirs);
    // round(frames x target / source rate), halves up
    const long long expected = (inFrames * kTargetRate * 2 + kSourceRate) / (2 * kSourceRate);
    const bool lengthsAgree = inFrames > 0 && ourFrames > 0 && std::llabs(ourFrames - soxFrames) <= 1;
    const double ratio = median(ourWall) / median(soxWall);

    std::printf("material: %s (%lld frames, 44.1 kHz stereo 32-bit float)\n", in.c_str(), inFrames);
    std::printf("44.1 -> 48 kHz stereo float, medians of %d runs, one thread each (goal: ratio <= 1.0)\n", kRuns);
    std::printf("  AudioFile ReadSamples/WriteSamples, 0.1 s blocks: %7.3f s   (CPU %.3f s)\n", median(ourWall),
                median(ourCpu));
    std::printf("  sox -D rate -v:                                   %7.3f s   ratio ours/sox     %.3f\n",
                median(soxWall), ratio);
    std::printf("  sox CPU time:                                     %7.3f s   ratio ours/sox CPU %.3f\n",
                median(soxCpu), median(ourCpu) / median(soxCpu));
    std::printf("lengths: ours %lld frames, sox %lld frames (%lld expected): %s\n", ourFrames, soxFrames, expected,
                lengthsAgree ? "agree within 1" : "DIFFER");
    const bool ok = lengthsAgree && ratio <= 1.0;
    std::printf("%s\n", ok ? "all goals met" : "a goal is missed");
    fs::remove_all(work);
    return ok ? 0 : 1;
}
