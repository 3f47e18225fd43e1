// qoro loudness of MP3s against decoding them: eight 90-second 128 kbit/s
// MP3s measured by `qoro loudness -j 1` (a process: start-up and component
// loading included) beside our own decode of the same files through the
// AudioFile object (OpenFile + ReadFile in 0.1 s blocks, one thread), the
// same decode as the floats qoro loudness reads, and mpg123 -s > /dev/null
// (the reference decoder). Prints the ratios; the goal is qoro loudness <=
// 1.2 x mpg123 (exit 1 when missed). --album and --true-peak are timed too.
//
// Material: the MP3s given as arguments, else the eight that sox and lame
// make once (cached in the temp folder).
//
//   build/bin/loudness_bench [file.mp3 ...]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using namespace qoro::bench;

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// OpenFile and ReadSamples of floats in the file's channels in 0.1 s blocks,
// as qoro loudness reads: the seconds it took, or a negative value.
double timeReadFloats(const std::string& path) {
    const auto t0 = Clock::now();
    IAudioFile3* af = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile3,
                                reinterpret_cast<void**>(&af))))
        return -1.0;
    BSTR name = qoro::com::bstrFromUtf8(path);
    af->OpenFile(name, DEFAULT, READ);
    SysFreeString(name);
    LONG err = 0, rate = 0, channels = 0;
    af->get_LastErrorNum(&err);
    af->get_ArrayFrequency(&rate);
    af->get_FileChannels(&channels);
    if (err == NOERRORS && rate > 0 && SUCCEEDED(af->SetFormatArrayKind(rate, channels, SAMPLE_FLOAT32)))
        for (;;) {
            SAFEARRAY* sa = nullptr;
            af->ReadSamples(rate / 10, &sa);
            LONG ub = -1;
            if (sa) SafeArrayGetUBound(sa, 1, &ub);
            SafeArrayDestroy(sa);
            if (ub < 0) break;
        }
    af->get_LastErrorNum(&err);
    af->CloseFile();
    af->Release();
    return err == NOERRORS ? seconds(t0) : -1.0;
}

std::vector<std::string> material(int argc, char** argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (!files.empty()) return files;
    const std::string wav = synthesisedMaterial("qoro_loudness_bench_90s.wav", 44100, "-b 16",
                                                "synth 90 sine 220 sine 331 pinknoise tremolo 3 40 gain -n -3");
    if (wav.empty()) return {};
    const fs::path dir = fs::temp_directory_path() / "qoro-loudness-bench";
    fs::create_directories(dir);
    const std::string mp3 = (dir / "track.mp3").string();
    if (!fs::exists(mp3) && !shell("lame --quiet -b 128 " + quoted(wav) + " " + quoted(mp3 + ".part") + " && mv " +
                                   quoted(mp3 + ".part") + " " + quoted(mp3)))
        return {};
    for (int i = 1; i <= 8; ++i) {
        const fs::path copy = dir / ("track" + std::to_string(i) + ".mp3");
        if (!fs::exists(copy)) fs::copy_file(mp3, copy);
        files.push_back(copy.string());
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> files = material(argc, argv);
    if (files.empty()) {
        std::fprintf(stderr, "could not make the material (sox, lame)\n");
        return 1;
    }
    const fs::path qoro = fs::absolute(argv[0]).parent_path() / "qoro";
    std::string list;
    for (const auto& f : files) list += " " + quoted(f);
    CoInitialize(nullptr);

    constexpr int kRuns = 3;
    std::vector<double> decode, floats, mpg123, plain, album, truePeak;
    long frames = 0;
    for (int run = 0; run < kRuns; ++run) {
        double ours = 0, asFloats = 0, theirs = 0;
        for (const auto& f : files) {
            long n = 0;
            const double s = timeReadThrough(f, MP3, n);
            if (s < 0) {
                std::fprintf(stderr, "AudioFile cannot read %s\n", f.c_str());
                return 1;
            }
            ours += s;
            asFloats += timeReadFloats(f);
            frames += run == 0 ? n : 0;
            theirs += timeCommand("mpg123 -q -s " + quoted(f) + " > /dev/null");
        }
        decode.push_back(ours);
        floats.push_back(asFloats);
        mpg123.push_back(theirs);
        const std::string command = quoted(qoro.string()) + " loudness -j 1";
        plain.push_back(timeCommand(command + list + " > /dev/null"));
        album.push_back(timeCommand(command + " --album" + list + " > /dev/null"));
        truePeak.push_back(timeCommand(command + " --true-peak" + list + " > /dev/null"));
        if (plain.back() < 0 || album.back() < 0 || truePeak.back() < 0) {
            std::fprintf(stderr, "qoro loudness failed (%s)\n", qoro.c_str());
            return 1;
        }
    }
    CoUninitialize();

    const double audio = static_cast<double>(frames) / 44100.0;
    const double base = median(decode);
    std::printf("%zu MP3s, %.0f s of audio, median of %d runs, one thread each\n", files.size(), audio, kRuns);
    std::printf("  AudioFile decode (ReadFile)    %7.3f s  %6.0fx real time\n", base, audio / base);
    std::printf("  AudioFile floats (ReadSamples) %7.3f s  %6.0fx real time\n", median(floats), audio / median(floats));
    std::printf("  mpg123 -s > /dev/null          %7.3f s  %6.0fx real time\n", median(mpg123), audio / median(mpg123));
    std::printf("  qoro loudness                  %7.3f s  %6.0fx real time\n", median(plain), audio / median(plain));
    std::printf("  qoro loudness --album          %7.3f s\n", median(album));
    std::printf("  qoro loudness --true-peak      %7.3f s\n", median(truePeak));
    // The goal is against the reference decoder; against our own (faster)
    // one the ratio is bounded by libebur128's own speed, which the meter
    // thread overlaps with the decode but cannot beat.
    const double ratio = median(plain) / median(mpg123);
    std::printf("ratio qoro loudness / mpg123: %.3f (goal <= 1.2)\n", ratio);
    std::printf("ratio qoro loudness / AudioFile decode: %.3f (information)\n", median(plain) / base);
    std::printf("ratio qoro loudness --album / AudioFile decode: %.3f (information)\n", median(album) / base);
    return ratio <= 1.2 ? 0 : 1;
}
