// Opus through the AudioFile object beside opus-tools, on a 5-minute 48 kHz
// 16-bit stereo file:
//   encode  WAV read by one AudioFile, written as      vs  opusenc --bitrate 128 --comp 10
//           Opus at 128 kbit/s, complexity 10 by another
//   decode  OpenFile + ReadFile in 0.1 s blocks       vs  opusdec --rate 48000 > /dev/null
// Each side runs three times in the same run; the medians and their ratios
// are printed (goal: encode <= 1.1x opusenc; the decode ratio is shown for
// information), with both files' sizes. Our file must pass opusinfo.
// Exits 1 when a step fails or the goal is missed.
//
// Material: the WAV given as the first argument, else sox's synthetic chord
// with pink noise (made once, cached in the temp folder; the FLAC benchmark
// uses the same file).
//
//   build/bin/opus_bench [file.wav]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace {

namespace fs = std::filesystem;
using qoro::bench::Clock;
using qoro::bench::seconds;
using qoro::bench::median;
using qoro::bench::shell;
using qoro::bench::timeCommand;

double timeEncode(const std::string& wav, const std::string& opus) {
    const auto t0 = Clock::now();
    const bool ok = qoro::bench::copyThroughAudioFile(wav, opus, OPUS, [](IAudioFile* out) {
        IAudioFile2* out2 = nullptr;
        if (FAILED(out->QueryInterface(IID_IAudioFile2, reinterpret_cast<void**>(&out2)))) return false;
        LONG align = 0;
        out2->SetFormatOpus(2, 128, 10, &align);
        out2->Release();
        return align == 4;
    });
    return ok ? seconds(t0) : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path tmp = fs::temp_directory_path();
    const std::string wav = qoro::bench::fiveMinuteMaterial(argc, argv);
    if (wav.empty()) return 1;
    const std::string work = (tmp / "qoro_opus_bench").string();
    fs::create_directories(work);
    const std::string toolOpus = work + "/tool.opus";
    const std::string ourOpus = work + "/ours.opus";

    CoInitialize(nullptr);
    std::vector<double> toolEnc, ourEnc, toolDec, ourDec;
    long frames = 0;
    for (int run = 0; run < 3; ++run) {
        toolEnc.push_back(timeCommand("opusenc --quiet --bitrate 128 --comp 10 '" + wav + "' '" + toolOpus + "'"));
        ourEnc.push_back(timeEncode(wav, ourOpus));
        toolDec.push_back(timeCommand("opusdec --quiet --rate 48000 '" + toolOpus + "' - > /dev/null"));
        ourDec.push_back(qoro::bench::timeReadThrough(toolOpus, DEFAULT, frames));
    }
    CoUninitialize();
    for (const auto* v : {&toolEnc, &ourEnc, &toolDec, &ourDec})
        if (*std::min_element(v->begin(), v->end()) < 0) {
            std::fprintf(stderr, "a step failed\n");
            return 1;
        }

    const bool accepted = shell("opusinfo '" + ourOpus + "' > /dev/null");
    const double encRatio = median(ourEnc) / median(toolEnc);
    const double decRatio = median(ourDec) / median(toolDec);
    std::printf("material: %s, %ld sample frames decoded\n", wav.c_str(), frames);
    std::printf("encode  ours %.3f s   opusenc %.3f s   ratio %.2f (goal <= 1.1)\n", median(ourEnc), median(toolEnc),
                encRatio);
    std::printf("decode  ours %.3f s   opusdec %.3f s   ratio %.2f\n", median(ourDec), median(toolDec), decRatio);
    std::printf("size    ours %ju B   opusenc %ju B\n", static_cast<uintmax_t>(fs::file_size(ourOpus)),
                static_cast<uintmax_t>(fs::file_size(toolOpus)));
    std::printf("ours: opusinfo %s\n", accepted ? "accepted it" : "REFUSED it");
    const bool ok = accepted && encRatio <= 1.1;
    std::printf("%s\n", ok ? "all goals met" : "a goal is missed");
    return ok ? 0 : 1;
}
