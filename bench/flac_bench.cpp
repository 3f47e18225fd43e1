// FLAC through the AudioFile object beside the flac tool, on a 5-minute
// 48 kHz 16-bit stereo file:
//   decode  OpenFile + ReadFile in 0.1 s blocks       vs  flac -d -c > /dev/null
//   encode  WAV read by one AudioFile, written as      vs  flac -5 (WAV in, FLAC out)
//           level-5 FLAC (MD5 in STREAMINFO) by another
// Each side runs three times in the same run; the medians and their ratios
// are printed (goals: decode <= 1.0x, encode <= 1.1x the tool), and the sizes
// of the two level-5 files (goal: within 5 %). Our file must pass "flac -t"
// and carry an MD5 signature. Exits 1 when a step fails or a goal is missed.
//
// Material: the WAV given as the first argument, else sox's synthetic chord
// with pink noise (made once, cached in the temp folder).
//
//   build/bin/flac_bench [file.wav]
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

double timeEncode(const std::string& wav, const std::string& flac) {
    const auto t0 = Clock::now();
    const bool ok = qoro::bench::copyThroughAudioFile(wav, flac, FLAC, [](IAudioFile* out) {
        IAudioFile2* out2 = nullptr;
        if (FAILED(out->QueryInterface(IID_IAudioFile2, reinterpret_cast<void**>(&out2)))) return false;
        LONG align = 0;
        out2->SetFormatFLAC(48000, 2, 5, &align);
        out2->Release();
        return align == 4;
    });
    return ok ? seconds(t0) : -1.0;
}

std::string output(const std::string& cmd) {
    std::string text;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) text += buf;
        pclose(p);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path tmp = fs::temp_directory_path();
    const std::string wav = qoro::bench::fiveMinuteMaterial(argc, argv);
    if (wav.empty()) return 1;
    const std::string work = (tmp / "qoro_flac_bench").string();
    fs::create_directories(work);
    const std::string toolFlac = work + "/tool.flac";
    const std::string ourFlac = work + "/ours.flac";

    CoInitialize(nullptr);
    std::vector<double> toolEnc, ourEnc, toolDec, ourDec;
    long frames = 0;
    for (int run = 0; run < 3; ++run) {
        toolEnc.push_back(timeCommand("flac -5 -s -f -o '" + toolFlac + "' '" + wav + "'"));
        ourEnc.push_back(timeEncode(wav, ourFlac));
        toolDec.push_back(timeCommand("flac -d -s -f -c '" + toolFlac + "' > /dev/null"));
        ourDec.push_back(qoro::bench::timeReadThrough(toolFlac, DEFAULT, frames));
    }
    CoUninitialize();
    for (const auto* v : {&toolEnc, &ourEnc, &toolDec, &ourDec})
        if (*std::min_element(v->begin(), v->end()) < 0) {
            std::fprintf(stderr, "a step failed\n");
            return 1;
        }

    const bool tested = shell("flac -t -s '" + ourFlac + "'");
    std::string md5 = output("metaflac --show-md5sum '" + ourFlac + "'");
    if (!md5.empty() && md5.back() == '\n') md5.pop_back();
    const double toolSize = static_cast<double>(fs::file_size(toolFlac));
    const double ourSize = static_cast<double>(fs::file_size(ourFlac));
    const double sizeDiff = (ourSize - toolSize) / toolSize * 100.0;
    const double decRatio = median(ourDec) / median(toolDec);
    const double encRatio = median(ourEnc) / median(toolEnc);

    std::printf("material: %s, %ld sample frames decoded\n", wav.c_str(), frames);
    std::printf("decode  ours %.3f s   flac -d %.3f s   ratio %.2f (goal <= 1.0)\n", median(ourDec), median(toolDec),
                decRatio);
    std::printf("encode  ours %.3f s   flac -5 %.3f s   ratio %.2f (goal <= 1.1)\n", median(ourEnc), median(toolEnc),
                encRatio);
    std::printf("size    ours %.0f B   flac -5 %.0f B   %+.2f %% (goal within 5 %%)\n", ourSize, toolSize, sizeDiff);
    std::printf("ours: flac -t %s, MD5 %s\n", tested ? "passed" : "FAILED", md5.c_str());
    const bool md5Set = md5.size() == 32 && md5 != std::string(32, '0');
    const bool ok = tested && md5Set && decRatio <= 1.0 && encRatio <= 1.1 && sizeDiff <= 5.0 && sizeDiff >= -5.0;
    std::printf("%s\n", ok ? "all goals met" : "a goal is missed");
    return ok ? 0 : 1;
}
