// What the benchmark drivers share: wall-clock timing, running a reference
// tool, and the converter's copy loop between two AudioFile objects.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace qoro::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

inline bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds a shell command took, or a negative value when it failed.
inline double timeCommand(const std::string& command) {
    const auto t0 = Clock::now();
    return shell(command) ? seconds(t0) : -1.0;
}

// The material of the FLAC and Opus benchmarks: the WAV named as the first
// argument, else five minutes of sox's synthetic chord with pink noise at
// 48 kHz, 16-bit stereo (made once, cached in the temp folder). Empty when
// sox fails.
inline std::string fiveMinuteMaterial(int argc, char** argv) {
    if (argc > 1) return argv[1];
    const std::string wav =
        (std::filesystem::temp_directory_path() / "qoro_flac_bench_5min_48k.wav").string();
    if (std::filesystem::exists(wav)) return wav;
    std::printf("making %s with sox\n", wav.c_str());
    if (!shell("sox -V1 -R -r 48000 -n -b 16 -c 2 '" + wav +
               "' synth 300 sine 220 sine 331 pinknoise tremolo 3 40 gain -n -3"))
        return {};
    return wav;
}

// OpenFile (as `type`) and ReadFile in 0.1 s blocks to the end, as a player
// or converter reads: the seconds it took, or a negative value on failure.
// Counts the sample frames read into `frames`.
inline double timeReadThrough(const std::string& path, LONG type, long& frames) {
    frames = 0;
    const auto t0 = Clock::now();
    IAudioFile* af = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&af))))
        return -1.0;
    BSTR name = qoro::com::bstrFromUtf8(path);
    LONG err = 0, rate = 0, channels = 0;
    af->OpenFile(name, type, READ);
    SysFreeString(name);
    af->get_LastErrorNum(&err);
    if (err == NOERRORS) {
        af->get_ArrayFrequency(&rate);
        af->get_ArrayChannels(&channels);
        for (;;) {
            SAFEARRAY* sa = nullptr;
            af->ReadFile(rate / 10, &sa);
            if (!sa) break;
            LONG ub = -1;
            SafeArrayGetUBound(sa, 1, &ub);
            SafeArrayDestroy(sa);
            if (ub < 0) break;
            frames += (ub + 1) / channels;
        }
        af->get_LastErrorNum(&err);
    }
    af->CloseFile();
    af->Release();
    return err == NOERRORS ? seconds(t0) : -1.0;
}

// The copy loop of the converter: `in` opened by one AudioFile, `out` created
// as `type` by another after `setFormat` chose its output format (false stops
// the copy), the target's array format set to the source's, then ReadFile /
// WriteFile in 0.1 s blocks. Counts the sample frames copied into `frames`.
inline bool copyThroughAudioFile(const std::string& in, const std::string& out, LONG type,
                                 const std::function<bool(IAudioFile*)>& setFormat, long* frames = nullptr) {
    IAudioFile* src = nullptr;
    IAudioFile* dst = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&src))))
        return false;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile,
                                reinterpret_cast<void**>(&dst)))) {
        src->Release();
        return false;
    }
    BSTR inName = com::bstrFromUtf8(in);
    BSTR outName = com::bstrFromUtf8(out);
    LONG err = 0, rate = 0, channels = 0;
    long copied = 0;
    src->OpenFile(inName, DEFAULT, READ);
    src->get_LastErrorNum(&err);
    bool ok = err == NOERRORS;
    if (ok) {
        ok = setFormat(dst);
        dst->CreateFile(outName, type);
        dst->get_LastErrorNum(&err);
        ok = ok && err == NOERRORS;
    }
    if (ok) {
        src->get_ArrayFrequency(&rate);
        src->get_ArrayChannels(&channels);
        dst->SetFormatArray(rate, channels);
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
            copied += (upper + 1) / channels;
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
    if (frames) *frames = copied;
    return ok;
}

}  // namespace qoro::bench
