// Encodes 5 minutes of 44.1 kHz stereo to 192 kbit/s MPEG Layer II through
// the AudioFile component (SetFormatMP2, CreateFile of type MP2, WriteFile in
// 0.1 s blocks) and times it beside "ffmpeg -threads 1 -c:a mp2 -b:a 192k" on
// the same samples in the same run.
//
//   build/bin/mp2_encode_bench [work folder]      (default: /tmp)
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using qoro::bench::Clock;
using qoro::bench::seconds;
using qoro::bench::shell;

// Harmonic notes changing every half second over a pseudo-random noise floor.
std::vector<int16_t> material(int rate, int frames) {
    std::vector<int16_t> pcm(size_t(frames) * 2);
    uint32_t seed = 1;
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double f = 110.0 * std::pow(2.0, double((i / (rate / 2)) % 24) / 12.0);
        double x = 0.0;
        for (int h = 1; h <= 8; ++h) x += std::sin(2 * M_PI * f * h * t) / h;
        seed = seed * 1664525u + 1013904223u;
        const double noise = (double(seed >> 16) / 65536.0 - 0.5) * 0.05;
        pcm[size_t(i) * 2] = int16_t(std::lrint((0.25 * x + noise) * 32767));
        pcm[size_t(i) * 2 + 1] = int16_t(std::lrint((0.2 * x - noise) * 32767));
    }
    return pcm;
}

bool throughComponent(const std::vector<int16_t>& pcm, const std::string& out) {
    IAudioFile* dst = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&dst))))
        return false;
    BSTR name = qoro::com::bstrFromUtf8(out);
    LONG err = 0, align = 0;
    dst->SetFormatMP2(44100, 192, 2, &align);
    dst->CreateFile(name, MP2);
    dst->get_LastErrorNum(&err);
    bool ok = err == NOERRORS;
    const size_t block = 4410 * 2;
    for (size_t at = 0; ok && at < pcm.size(); at += block) {
        const size_t n = std::min(block, pcm.size() - at);
        SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, ULONG(n));
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        std::memcpy(data, pcm.data() + at, n * 2);
        SafeArrayUnaccessData(sa);
        dst->WriteFile(&sa);
        SafeArrayDestroy(sa);
        dst->get_LastErrorNum(&err);
        ok = err == NOERRORS;
    }
    dst->CloseFile();
    SysFreeString(name);
    dst->Release();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp");
    const std::string tag = std::to_string(getpid());
    const fs::path raw = work / ("mp2bench_in_" + tag + ".raw");
    const fs::path ours = work / ("mp2bench_ours_" + tag + ".mp2");
    const fs::path theirs = work / ("mp2bench_ffmpeg_" + tag + ".mp2");
    const auto pcm = material(44100, 44100 * 300);
    {
        std::ofstream f(raw, std::ios::binary);
        f.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
    }

    CoInitialize(nullptr);
    auto start = Clock::now();
    const bool ok = throughComponent(pcm, ours.string());
    const double ourTime = seconds(start);
    CoUninitialize();

    start = Clock::now();
    const std::string cmd = "ffmpeg -v error -y -threads 1 -f s16le -ar 44100 -ac 2 -i " + raw.string() +
                            " -threads 1 -c:a mp2 -b:a 192k " + theirs.string();
    const bool ffOk = shell(cmd);
    const double ffTime = seconds(start);

    std::printf("5 min 44.1 kHz stereo to 192 kbit/s MP2\n");
    std::printf("  AudioFile WriteFile: %.3f s (%s, %lld bytes)\n", ourTime, ok ? "ok" : "FAILED",
                ok ? (long long)fs::file_size(ours) : 0LL);
    std::printf("  ffmpeg -c:a mp2:     %.3f s (%s, %lld bytes)\n", ffTime, ffOk ? "ok" : "FAILED",
                ffOk ? (long long)fs::file_size(theirs) : 0LL);
    if (ok && ffOk && ffTime > 0) std::printf("  ratio ours / ffmpeg: %.2f\n", ourTime / ffTime);
    std::error_code ec;
    fs::remove(raw, ec);
    fs::remove(ours, ec);
    fs::remove(theirs, ec);
    return ok && ffOk ? 0 : 1;
}
