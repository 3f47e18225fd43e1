// Encodes a 5-minute 44.1 kHz stereo WAV to 128 kbit/s CBR MP3 and times it
// beside "lame --quiet -b 128 -q 5" on the same file in the same run:
//   1. through the AudioFile component, ReadFile / WriteFile in 0.1 s blocks
//      (the batch converter's path; skipped while the component writes no MP3);
//   2. through the engine's MP3 track directly (WAV bytes in 0.1 s blocks).
//
//   build/bin/mp3_encode_bench [work folder]      (default: /tmp)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "containers/mp3_writer.h"

namespace {

namespace fs = std::filesystem;
namespace af = qoro::audiofile;
using qoro::bench::Clock;
using qoro::bench::seconds;
using qoro::bench::shell;

// 1: WAV opened by one AudioFile, MP3 created by another; false when the
// component cannot create MP3 files.
bool throughComponent(const std::string& in, const std::string& out) {
    return qoro::bench::copyThroughAudioFile(in, out, MP3, [](IAudioFile* dst) {
        LONG align = 0;
        dst->SetFormatMP3(44100, 128, 2, &align);
        return true;
    });
}

// 2: the track alone, fed the WAV's samples in 0.1 s blocks.
bool throughTrack(const std::string& in, const std::string& out) {
    std::ifstream f(in, std::ios::binary);
    std::vector<uint8_t> wav((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (wav.size() < 44) return false;
    af::EngineSettings settings;
    af::setFormatMp3(settings.mp3, 44100, 128, 2);
    std::unique_ptr<af::Track> track;
    af::CreateRequest request{out, MP3, &settings};
    if (af::createMp3(request, track) != af::status::kOk) return false;
    const size_t block = 4410 * 4;
    for (size_t pos = 44; pos < wav.size(); pos += block)
        if (track->encode(wav.data() + pos, std::min(block, wav.size() - pos)) != af::status::kOk) return false;
    return track->finish((wav.size() - 44) / 4) == af::status::kOk;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path work = fs::path(argc > 1 ? argv[1] : "/tmp") / ("qoro-mp3-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string in = (work / "in5min.wav").string();
    if (!shell("sox -n -r 44100 -c 2 -b 16 " + in + " synth 300 sine 100-15000 pinknoise vol 0.3")) return 1;
    CoInitialize(nullptr);

    auto start = Clock::now();
    if (!shell("lame --quiet -b 128 -q 5 " + in + " " + (work / "lame.mp3").string())) return 1;
    const double lameTime = seconds(start);
    std::printf("5 min 44.1 kHz stereo WAV -> MP3 128 kbit/s CBR\n");
    std::printf("  lame --quiet -b 128 -q 5:                     %7.3f s\n", lameTime);

    start = Clock::now();
    const bool component = throughComponent(in, (work / "component.mp3").string());
    const double componentTime = seconds(start);
    if (component)
        std::printf("  AudioFile ReadFile/WriteFile, 0.1 s blocks:   %7.3f s   ratio ours/lame %.3f\n", componentTime,
                    componentTime / lameTime);
    else
        std::printf("  AudioFile ReadFile/WriteFile: the component writes no MP3 yet\n");

    start = Clock::now();
    if (!throughTrack(in, (work / "track.mp3").string())) return 1;
    const double trackTime = seconds(start);
    std::printf("  engine MP3 track, 0.1 s blocks:               %7.3f s   ratio ours/lame %.3f\n", trackTime,
                trackTime / lameTime);
    CoUninitialize();
    fs::remove_all(work);
    return 0;
}
