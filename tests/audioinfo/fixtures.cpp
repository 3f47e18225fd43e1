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

}  // namespace qoro::test::info
