#include "fixtures.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qoro::test::info {

bool make(const std::string& command) {
    const CommandResult r = run(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
    return r.exitCode == 0;
}

bool ffmpegSine(const fs::path& out, double seconds, int rate, int channels, const std::string& args) {
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=" << rate << ":duration=" << seconds
        << "' -ac " << channels << " " << args << " " << shellQuote(out.string());
    return make(cmd.str());
}

std::map<std::string, std::string> probe(const fs::path& file) {
    const CommandResult r =
        run("ffprobe -v error -select_streams a:0 -show_entries "
            "stream=sample_rate,channels,duration,bit_rate,codec_name:stream_tags:"
            "format=duration,bit_rate,size:format_tags -of default=nw=1 " +
            shellQuote(file.string()));
    std::map<std::string, std::string> out;
    std::istringstream in(r.output);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // The format's duration and bitrate come after the stream's.
        if (out.count(key) && (key == "duration" || key == "bit_rate")) key = "format." + key;
        out[key] = line.substr(eq + 1);
    }
    return out;
}

double number(const std::map<std::string, std::string>& entries, const std::string& key) {
    auto it = entries.find(key);
    if (it == entries.end() || it->second == "N/A") return -1.0;
    return std::stod(it->second);
}

double soxi(const std::string& option, const fs::path& file) {
    const CommandResult r = run("soxi " + option + " " + shellQuote(file.string()));
    if (r.exitCode != 0) return -1;
    // The number is the last line (warnings come before it).
    std::string last = r.output.substr(0, r.output.find_last_not_of('\n') + 1);
    last = last.substr(last.find_last_of('\n') + 1);
    char* end = nullptr;
    const double v = std::strtod(last.c_str(), &end);
    return end != last.c_str() ? v : -1;
}

void writeSparseWav(const fs::path& path, uint32_t rate, uint16_t channels, uint16_t bits, uint32_t riffSize,
                    uint32_t dataSize, uint64_t length, uint64_t ds64Data) {
    std::vector<uint8_t> b;
    auto u16 = [&b](uint32_t v) {
        for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u32 = [&b](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u64 = [&](uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    };
    auto id = [&b](const char* four) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(four[i]));
    };
    id(ds64Data ? "RF64" : "RIFF");
    u32(riffSize);
    id("WAVE");
    if (ds64Data) {
        id("ds64");
        u32(28);
        u64(length - 8);
        u64(ds64Data);
        u64(ds64Data / (channels * bits / 8));
        u32(0);
    }
    id("fmt ");
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * bits / 8);
    u16(channels * bits / 8);
    u16(bits);
    id("data");
    u32(dataSize);
    writeBytes(path, b);
    fs::resize_file(path, length);
}

}  // namespace qoro::test::info
