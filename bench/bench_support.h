// What the benchmark drivers share: wall-clock and CPU timing, running a
// reference tool, synthetic material, and the converter's copy loops between
// two AudioFile objects (16-bit blocks, and deep sample arrays).
#pragma once

#include <sys/resource.h>

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

// What a shell command printed on its standard output.
inline std::string commandOutput(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
    }
    return text;
}

// CPU seconds (user and system) used so far by this process (RUSAGE_SELF)
// or by the children it has waited for, the tools that shell() ran and their
// own children (RUSAGE_CHILDREN). On a loaded machine the difference of two
// readings varies less than wall-clock time.
inline double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// A stereo WAV at `rate` Hz that sox synthesises with `synth` (its synth
// effect and any after it), the samples as sox's output options `encoding`
// give them ("-b 16", "-e floating-point -b 32"): made once, cached in the
// temp folder as `fileName`. Empty when sox fails.
inline std::string synthesisedMaterial(const std::string& fileName, long rate, const std::string& encoding,
                                       const std::string& synth) {
    const std::filesystem::path wav = std::filesystem::temp_directory_path() / fileName;
    if (std::filesystem::exists(wav)) return wav.string();
    std::printf("making %s with sox\n", wav.c_str());
    // Made under another name first, so that an interrupted run leaves no
    // short file to be taken for the material.
    const std::string part = wav.string() + ".part.wav";
    if (!shell("sox -V1 -R -r " + std::to_string(rate) + " -n " + encoding + " -c 2 '" + part + "' " + synth))
        return {};
    std::error_code ec;
    std::filesystem::rename(part, wav, ec);
    return ec ? std::string() : wav.string();
}

// The material of the FLAC and Opus benchmarks: the WAV named as the first
// argument, else five minutes of sox's synthetic chord with pink noise at
// 48 kHz, 16-bit stereo (made once, cached in the temp folder). Empty when
// sox fails.
inline std::string fiveMinuteMaterial(int argc, char** argv) {
    if (argc > 1) return argv[1];
    return synthesisedMaterial("qoro_flac_bench_5min_48k.wav", 48000, "-b 16",
                               "synth 300 sine 220 sine 331 pinknoise tremolo 3 40 gain -n -3");
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

// The two AudioFile objects of a copy, created through the runtime; both
// files are closed and both objects released when it goes.
template <class I>
class CopyPair {
public:
    explicit CopyPair(const IID& iid) {
        for (I** f : {&src, &dst})
            if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, iid,
                                        reinterpret_cast<void**>(f))))
                *f = nullptr;
    }
    ~CopyPair() {
        close();
        for (I* f : {src, dst})
            if (f) f->Release();
    }
    CopyPair(const CopyPair&) = delete;
    CopyPair& operator=(const CopyPair&) = delete;

    // `in` opened (then `prepare` on the source), `out` created as `type`
    // after `setFormat` chose its output format (false stops the copy).
    bool start(const std::string& in, const std::string& out, LONG type, const std::function<bool(I*)>& setFormat,
               const std::function<void(I*)>& prepare = {}) {
        if (!src || !dst) return false;
        BSTR inName = com::bstrFromUtf8(in);
        src->OpenFile(inName, DEFAULT, READ);
        SysFreeString(inName);
        if (fine(src) && prepare) prepare(src);
        if (!fine(src)) return false;
        const bool chosen = setFormat(dst);
        BSTR outName = com::bstrFromUtf8(out);
        dst->CreateFile(outName, type);
        SysFreeString(outName);
        return chosen && fine(dst);
    }
    void close() {
        for (I* f : {src, dst})
            if (f) f->CloseFile();
    }
    static bool fine(I* f) {
        LONG err = 0;
        f->get_LastErrorNum(&err);
        return err == NOERRORS;
    }

    I* src = nullptr;
    I* dst = nullptr;
};

// One block through `read` and `write`: the elements it held (0 at the end).
template <class Read, class Write>
LONG copyBlock(Read&& read, Write&& write) {
    SAFEARRAY* block = nullptr;
    read(&block);
    LONG upper = -1;
    SafeArrayGetUBound(block, 1, &upper);
    if (upper >= 0) write(&block);
    SafeArrayDestroy(block);
    return upper + 1;
}

// The copy loop of the converter: `in` opened by one AudioFile, `out` created
// as `type` by another after `setFormat` chose its output format (false stops
// the copy), the target's array format set to the source's, then ReadFile /
// WriteFile in 0.1 s blocks. Counts the sample frames copied into `frames`.
inline bool copyThroughAudioFile(const std::string& in, const std::string& out, LONG type,
                                 const std::function<bool(IAudioFile*)>& setFormat, long* frames = nullptr) {
    CopyPair<IAudioFile> pair(IID_IAudioFile);
    long copied = 0;
    bool ok = pair.start(in, out, type, setFormat);
    if (ok) {
        LONG rate = 0, channels = 0;
        pair.src->get_ArrayFrequency(&rate);
        pair.src->get_ArrayChannels(&channels);
        pair.dst->SetFormatArray(rate, channels);
        while (const LONG n = copyBlock([&](SAFEARRAY** b) { pair.src->ReadFile(rate / 10, b); },
                                        [&](SAFEARRAY** b) { pair.dst->WriteFile(b); }))
            copied += n / channels;
        ok = pair.fine(pair.dst);
    }
    if (frames) *frames = copied;
    return ok;
}

// A deep array format of IAudioFile3: SetFormatArrayKind's arguments.
struct SampleArray {
    LONG rate = 44100;
    LONG channels = 2;
    LONG kind = SAMPLE_INT16;
};

// The deep copy loop of the converter: `in` opened by one AudioFile and read
// as `array` (SetFormatArrayKind), `out` created as `type` by another after
// `setFormat` chose its output format (false stops the copy), the target's
// array format the same, then ReadSamples / WriteSamples in 0.1 s blocks and
// CloseFile. Counts the sample frames copied into `frames`.
inline bool copySamplesThroughAudioFile(const std::string& in, const std::string& out, LONG type,
                                        const SampleArray& array,
                                        const std::function<bool(IAudioFile3*)>& setFormat,
                                        LONGLONG* frames = nullptr) {
    using Pair = CopyPair<IAudioFile3>;
    Pair pair(IID_IAudioFile3);
    LONGLONG copied = 0;
    const auto asArray = [&](IAudioFile3* f) { f->SetFormatArrayKind(array.rate, array.channels, array.kind); };
    bool ok = pair.start(in, out, type, setFormat, asArray);
    if (ok) {
        asArray(pair.dst);
        ok = Pair::fine(pair.dst);
    }
    while (ok) {
        const LONG n = copyBlock([&](SAFEARRAY** b) { pair.src->ReadSamples(array.rate / 10, b); },
                                 [&](SAFEARRAY** b) { pair.dst->WriteSamples(b); });
        if (n == 0) {
            ok = Pair::fine(pair.src);
            break;
        }
        copied += n / array.channels;
        ok = Pair::fine(pair.dst);
    }
    pair.close();
    ok = ok && Pair::fine(pair.dst);
    if (frames) *frames = copied;
    return ok;
}

}  // namespace qoro::bench
