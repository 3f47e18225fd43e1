// MP3 reading through the AudioFile object: OpenFile(MP3) + ReadFile in 0.1 s
// blocks, single thread, against mpg123 and ffmpeg decoding the same file to
// /dev/null in the same run. Prints the time ratios. The timing includes
// OpenFile, whose analysis walks every frame of the file; that part is also
// timed alone, on the file and on a 100 MB stream made of copies of it.
//
// Material: the file given as the first argument, else a 5-minute 128 kbit/s
// joint-stereo MP3 that lame makes from sox's synthetic chord (cached in the
// temp folder).
//
//   build/bin/mpeg_readfile_bench [file.mp3]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double timeCommand(const std::string& cmd) {
    const auto t0 = Clock::now();
    const int rc = std::system(cmd.c_str());
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return rc == 0 ? s : -1.0;
}

// Seconds for OpenFile and CloseFile alone (the analysis, the frame walk
// included), or a negative value on failure.
double timeOpen(const std::string& path, long* samplesOut) {
    IAudioFile* af = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&af))))
        return -1.0;
    BSTR name = qoro::com::bstrFromUtf8(path);
    const auto t0 = Clock::now();
    af->OpenFile(name, MP3, READ);
    LONG err = 0, samples = 0;
    af->get_LastErrorNum(&err);
    af->get_nSamples(&samples);
    af->CloseFile();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    SysFreeString(name);
    af->Release();
    *samplesOut = samples;
    return err == NOERRORS ? s : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mp3;
    if (argc > 1) {
        mp3 = argv[1];
    } else {
        const fs::path dir = fs::temp_directory_path() / "qoro-mpeg-readfile-bench";
        fs::create_directories(dir);
        mp3 = (dir / "bench_128k_joint.mp3").string();
        if (!fs::exists(mp3)) {
            std::printf("making a 5-minute 128 kbit/s joint-stereo MP3 with sox and lame...\n");
            const std::string wav = (dir / "bench.wav").string();
            const std::string make = "sox -n -r 44100 -c 2 -b 16 '" + wav +
                                     "' synth 300 sine 220-660 sine 331 sine 1607 remix 1,2v0.7 2,3v0.7 "
                                     "gain -6 && lame --quiet -b 128 -m j '" +
                                     wav + "' '" + mp3 + "'";
            if (std::system(make.c_str()) != 0) {
                std::fprintf(stderr, "could not make the material\n");
                return 1;
            }
            fs::remove(wav);
        }
    }
    CoInitialize(nullptr);
    const int runs = 3;
    double ours = 1e9, mpg123 = 1e9, ffmpeg = 1e9;
    long frames = 0;
    for (int r = 0; r < runs; ++r) {
        const double o = qoro::bench::timeReadThrough(mp3, MP3, frames);
        if (o < 0) return 1;
        ours = std::min(ours, o);
        const double m = timeCommand("mpg123 -q -s '" + mp3 + "' > /dev/null");
        if (m > 0) mpg123 = std::min(mpg123, m);
        const double f = timeCommand("ffmpeg -loglevel error -threads 1 -i '" + mp3 + "' -f s16le -y /dev/null");
        if (f > 0) ffmpeg = std::min(ffmpeg, f);
    }
    // The analysis alone, on the file and on 100 MB of it.
    const fs::path big = fs::temp_directory_path() / "qoro-mpeg-readfile-bench" / "walk_100mb.mp3";
    if (!fs::exists(big) || fs::file_size(big) < 100u * 1000 * 1000) {
        fs::create_directories(big.parent_path());
        std::string cat = "cat";
        const uintmax_t one = fs::file_size(mp3);
        for (uintmax_t have = 0; have < 100u * 1000 * 1000; have += one) cat += " '" + mp3 + "'";
        std::system((cat + " > '" + big.string() + "'").c_str());
    }
    double open = 1e9, openBig = 1e9;
    long samples = 0, bigSamples = 0;
    for (int r = 0; r < runs; ++r) {
        open = std::min(open, timeOpen(mp3, &samples));
        openBig = std::min(openBig, timeOpen(big.string(), &bigSamples));
    }
    CoUninitialize();
    std::printf("file: %s (%ld sample frames read through ReadFile)\n", mp3.c_str(), frames);
    std::printf("ReadFile %.3f s   (OpenFile alone %.4f s, nSamples %ld)\n", ours, open, samples);
    std::printf("mpg123   %.3f s   ratio ours/mpg123 = %.3f\n", mpg123, ours / mpg123);
    std::printf("ffmpeg   %.3f s   ratio ours/ffmpeg = %.3f\n", ffmpeg, ours / ffmpeg);
    std::printf("OpenFile of %.0f MB: %.4f s (nSamples %ld)\n", double(fs::file_size(big)) / 1e6, openBig, bigSamples);
    return 0;
}
