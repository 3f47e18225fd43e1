// Decoding speed of the built-in MPEG decoder against mpg123 and ffmpeg.
//
// Material: a 5-minute 128 kbit/s joint-stereo MP3 made by lame from a
// synthetic signal (or the file given as the first argument). Ours decodes
// to 16-bit PCM in 0.1 s blocks, single thread, as the AudioFile read loop
// does; the reference tools decode the same file to /dev/null.
#include "mpeg_file_decoder.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void writeWav(const fs::path& file, int rate, int channels, int seconds) {
    const uint32_t frames = uint32_t(rate) * uint32_t(seconds);
    const uint32_t dataBytes = frames * uint32_t(channels) * 2;
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(uint16_t(channels));
    u32(uint32_t(rate));
    u32(uint32_t(rate * channels * 2));
    u16(uint16_t(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    std::vector<int16_t> block(size_t(rate) * size_t(channels));
    uint32_t seed = 12345;
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < rate; ++i) {
            const double t = double(s) + double(i) / rate;
            // A chord that moves, some noise: keeps every coding tool busy.
            const double f = 220.0 * (1.0 + 0.5 * std::sin(0.05 * t));
            for (int c = 0; c < channels; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const double noise = (double(seed >> 8) / double(1u << 24) - 0.5) * 0.05;
                const double v = 0.3 * std::sin(2 * M_PI * f * t * (1 + 0.01 * c)) +
                                 0.2 * std::sin(2 * M_PI * 3.01 * f * t) + 0.1 * std::sin(2 * M_PI * 7.3 * f * t) +
                                 noise;
                block[size_t(i) * size_t(channels) + size_t(c)] = int16_t(std::lround(v * 32767.0 * 0.8));
            }
        }
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size() * 2));
    }
}

double timeCommand(const std::string& cmd) {
    const auto t0 = Clock::now();
    const int rc = std::system(cmd.c_str());
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return rc == 0 ? s : -1.0;
}

double timeOurs(const std::string& path, uint64_t* bytesOut) {
    const auto t0 = Clock::now();
    qoro::mpeg::MpegFileDecoder dec;
    if (dec.open(path) != 0) return -1.0;
    const auto& f = dec.facts();
    const size_t room = std::max<size_t>(size_t(f.sampleRate / 10) * 2 * size_t(f.channels),
                                         qoro::mpeg::MpegFileDecoder::kMinReadBytes);
    std::vector<int16_t> block(room / 2);
    uint64_t total = 0;
    while (const size_t n = dec.read(block.data(), room)) total += n;
    *bytesOut = total;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string mp3;
    fs::path dir = fs::temp_directory_path() / "qoro-mpeg-bench";
    if (argc > 1) {
        mp3 = argv[1];
    } else {
        fs::create_directories(dir);
        mp3 = (dir / "bench_128k_joint.mp3").string();
        if (!fs::exists(mp3)) {
            const auto wav = dir / "bench.wav";
            std::printf("making a 5-minute 128 kbit/s joint-stereo MP3 with lame...\n");
            writeWav(wav, 44100, 2, 300);
            if (std::system(("lame --quiet -b 128 -m j '" + wav.string() + "' '" + mp3 + "'").c_str()) != 0) {
                std::fprintf(stderr, "lame failed\n");
                return 1;
            }
            fs::remove(wav);
        }
    }
    const int runs = 3;
    double ours = 1e9, mpg123 = 1e9, ffmpeg = 1e9;
    uint64_t bytes = 0;
    for (int r = 0; r < runs; ++r) {
        ours = std::min(ours, timeOurs(mp3, &bytes));
        const double m = timeCommand("mpg123 -q -s '" + mp3 + "' > /dev/null");
        if (m > 0) mpg123 = std::min(mpg123, m);
        const double f = timeCommand("ffmpeg -loglevel error -threads 1 -i '" + mp3 + "' -f s16le -y /dev/null");
        if (f > 0) ffmpeg = std::min(ffmpeg, f);
    }
    std::printf("file: %s (%.1f s of audio decoded)\n", mp3.c_str(), double(bytes) / (44100.0 * 4));
    std::printf("ours   %.3f s\n", ours);
    std::printf("mpg123 %.3f s   ratio ours/mpg123 = %.2f\n", mpg123, ours / mpg123);
    std::printf("ffmpeg %.3f s   ratio ours/ffmpeg = %.2f\n", ffmpeg, ours / ffmpeg);
    return 0;
}
