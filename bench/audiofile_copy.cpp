// Copies a 10-minute 44.1 kHz stereo 16-bit WAV into an 8-bit 22.05 kHz mono
// WAV through two AudioFile objects (ReadFile / WriteFile in 0.1 s blocks) and
// times it beside sox doing the same conversion, with its default and its
// quick rate converter. Then converts a 1-hour file the same way in a child
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

#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// The copy loop of the converter: source opened, target created with the
// output format, array format of the target set to the source's.
bool copyThroughComponent(const std::string& in, const std::string& out, long* frames) {
    IAudioFile* src = nullptr;
    IAudioFile* dst = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&src))) ||
        FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&dst)))) {
        std::fprintf(stderr, "cannot create AudioFile objects\n");
        return false;
    }
    BSTR inName = qoro::com::bstrFromUtf8(in);
    BSTR outName = qoro::com::bstrFromUtf8(out);
    LONG err = 0, blockAlign = 0, rate = 0, channels = 0;
    src->OpenFile(inName, DEFAULT, READ);
    src->get_LastErrorNum(&err);
    bool ok = err == NOERRORS;
    if (ok) {
        dst->SetFormatPCM(22050, 1, 8, &blockAlign);
        dst->CreateFile(outName, DEFAULT);
        dst->get_LastErrorNum(&err);
        ok = err == NOERRORS && blockAlign == 1;
    }
    if (ok) {
        src->get_ArrayFrequency(&rate);
        src->get_ArrayChannels(&channels);
        dst->SetFormatArray(rate, channels);
        *frames = 0;
        for (;;) {
            SAFEARRAY* block = nullptr;
            src->ReadFile(rate / 10, &block);
            LONG upper = -1;
            SafeArrayGetUBound(block, 1, &upper);
            if (upper < 0) {
                SafeArrayDestroy(block);
                break;
            }
            dst->WriteFile(&block);
            SafeArrayDestroy(block);
            *frames += (upper + 1) / channels;
        }
        dst->get_LastErrorNum(&err);
        ok = err == NOERRORS;
    }
    src->CloseFile();
    dst->CloseFile();
    SysFreeString(inName);
    SysFreeString(outName);
    src->Release();
    dst->Release();
    return ok;
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
    std::printf("  sox (default rate):                         %7.3f s   ratio ours/sox    %.2f\n", soxTime,
                oursTime / soxTime);
    std::printf("  sox rate -q:                                %7.3f s   ratio ours/sox -q %.2f\n", soxQuickTime,
                oursTime / soxQuickTime);

    // Streaming: the peak memory of a 1-hour conversion stays that of a short one.
    fs::remove(in);
    if (!shell("sox -n -r 44100 -c 2 -b 16 " + hour + " synth 3600 sine 440 vol 0.3")) return 1;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        long f = 0;
        const long before = peakRssKb();
        const bool ok = copyThroughComponent(hour, ours, &f);
        std::printf("1 hour copy: %s, %ld frames; peak RSS %ld kB (%ld kB before the copy)\n", ok ? "ok" : "FAILED",
                    f, peakRssKb(), before);
        std::fflush(stdout);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove_all(work);
    CoUninitialize();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
