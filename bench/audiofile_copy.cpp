// Copies a 10-minute 44.1 kHz stereo 16-bit WAV into an 8-bit 22.05 kHz mono
// WAV through two AudioFile objects (ReadFile / WriteFile in 0.1 s blocks) and
// times it beside sox doing the same conversion, with its default and its
// quick rate converter; then the same file to 48 kHz with ResampleQuality 1
// (IAudioFile3) beside sox's very high quality rate, one thread each. Then
// converts a 1-hour file the same way in a child
// process and reports that process's peak resident memory.
//
//   build/bin/audiofile_copy_bench [work folder]      (default: /tmp)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using qoro::bench::Clock;
using qoro::bench::seconds;
using qoro::bench::shell;

// The converter's copy to 8-bit 22.05 kHz mono.
bool copyThroughComponent(const std::string& in, const std::string& out, long* frames) {
    return qoro::bench::copyThroughAudioFile(
        in, out, DEFAULT,
        [](IAudioFile* dst) {
            LONG blockAlign = 0;
            dst->SetFormatPCM(22050, 1, 8, &blockAlign);
            return blockAlign == 1;
        },
        frames);
}

// The quality-mode copy to 16-bit 48 kHz stereo.
bool copyAtQuality(const std::string& in, const std::string& out) {
    return qoro::bench::copyThroughAudioFile(in, out, DEFAULT, [](IAudioFile* dst) {
        IAudioFile3* third = nullptr;
        if (FAILED(dst->QueryInterface(IID_IAudioFile3, reinterpret_cast<void**>(&third)))) return false;
        third->put_ResampleQuality(1);
        third->Release();
        LONG blockAlign = 0;
        dst->SetFormatPCM(48000, 2, 16, &blockAlign);
        return blockAlign == 4;
    });
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path work = fs::path(argc > 1 ? argv[1] : "/tmp") / ("qoro-copy-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string in = (work / "in10min.wav").string();
    const std::string hour = (work / "in1hour.wav").string();
    const std::string ours = (work / "ours.wav").string();
    const std::string theirs = (work / "sox.wav").string();
    CoInitialize(nullptr);

    // Material: a swept sine with noise, so the rate converter has work to do.
    if (!shell("sox -n -r 44100 -c 2 -b 16 " + in + " synth 600 sine 100-15000 whitenoise vol 0.3")) return 1;

    long frames = 0;
    auto start = Clock::now();
    if (!copyThroughComponent(in, ours, &frames)) return 1;
    const double oursTime = seconds(start);

    start = Clock::now();
    shell("sox " + in + " -r 22050 -c 1 -b 8 " + theirs);
    const double soxTime = seconds(start);
    start = Clock::now();
    shell("sox " + in + " -r 22050 -c 1 -b 8 " + theirs + " rate -q");
    const double soxQuickTime = seconds(start);

    std::printf("10 min 44.1 kHz stereo 16-bit -> 22.05 kHz mono 8-bit (%ld frames written)\n", frames);
    std::printf("  AudioFile ReadFile/WriteFile, 0.1 s blocks: %7.3f s\n", oursTime);
    std::printf("  sox (default rate):                         %7.3f s   ratio ours/sox    %.3f\n", soxTime,
                oursTime / soxTime);
    std::printf("  sox rate -q:                                %7.3f s   ratio ours/sox -q %.3f\n", soxQuickTime,
                oursTime / soxQuickTime);

    start = Clock::now();
    if (!copyAtQuality(in, ours)) return 1;
    const double qualityTime = seconds(start);
    start = Clock::now();
    shell("sox --single-threaded " + in + " -r 48000 " + theirs + " rate -v");
    const double soxVeryHighTime = seconds(start);
    std::printf("10 min 44.1 -> 48 kHz stereo 16-bit, ResampleQuality 1: %7.3f s\n", qualityTime);
    std::printf("  sox rate -v, one thread:                    %7.3f s   ratio ours/sox -v %.3f\n", soxVeryHighTime,
                qualityTime / soxVeryHighTime);

    // Streaming: the peak memory of a 1-hour conversion stays that of a short one.
    fs::remove(in);
    if (!shell("sox -n -r 44100 -c 2 -b 16 " + hour + " synth 3600 sine 440 vol 0.3")) return 1;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        long f = 0;
        const long before = peakRssKb();
        const bool ok = copyThroughComponent(hour, ours, &f);
        std::printf("1 hour copy: %s, %ld frames; peak RSS %ld kB (%ld kB before the copy)\n", ok ? "ok" : "FAILED", f,
                    peakRssKb(), before);
        std::fflush(stdout);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove_all(work);
    CoUninitialize();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
