#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qoro::test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qoro-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool haveTool(const std::string& program) {
    return run("command -v " + shellQuote(program) + " >/dev/null").exitCode == 0;
}

bool requireTool(const std::string& program) {
    if (haveTool(program)) return true;
    ADD_FAILURE() << "reference tool '" << program << "' is not installed (bash scripts/setup.sh installs it)";
    return false;
}

std::string missingTool(std::initializer_list<const char*> programs) {
    for (const char* program : programs)
        if (!haveTool(program)) return program;
    return {};
}

CommandResult python(const std::string& script, const std::vector<std::string>& args) {
    std::string command = "/usr/bin/python3 -c " + shellQuote(script);
    for (const std::string& a : args) command += " " + shellQuote(a);
    return run(command);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string withPaths(std::string command, const fs::path& in, const fs::path& out) {
    for (size_t at; (at = command.find("IN")) != std::string::npos;) command.replace(at, 2, shellQuote(in.string()));
    for (size_t at; (at = command.find("OUT")) != std::string::npos;) command.replace(at, 3, shellQuote(out.string()));
    return command;
}

std::vector<uint8_t> justified24(std::vector<uint8_t> bytes, bool left) {
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        int32_t v;
        std::memcpy(&v, bytes.data() + i, 4);
        v = left ? static_cast<int32_t>(static_cast<uint32_t>(v) << 8) : v >> 8;
        std::memcpy(bytes.data() + i, &v, 4);
    }
    return bytes;
}

std::vector<uint8_t> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<int16_t> readPcm16(const fs::path& file) {
    auto bytes = readBytes(file);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

void writePcm16(const fs::path& file, const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(samples[i] & 0xff);
        bytes[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xff);
    }
    writeBytes(file, bytes);
}

fs::path testdata(const std::string& relative) {
    const fs::path file = fs::path(QORO_TESTDATA_DIR) / relative;
    std::error_code ec;
    if (!fs::exists(file, ec)) ADD_FAILURE() << "test data file missing: " << file.string();
    return file;
}

fs::path binPath(const std::string& name) { return fs::path(QORO_BIN_DIR) / name; }

std::vector<int16_t> testSignal(int rate, int channels, int frames, double amplitude) {
    std::vector<int16_t> samples(static_cast<size_t>(frames) * channels);
    std::mt19937 noise(12345);
    std::uniform_real_distribution<double> jitter(-0.02, 0.02);
    for (int i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / rate;
        for (int c = 0; c < channels; ++c) {
            double v = 0.6 * std::sin(2 * M_PI * (440.0 + 110.0 * c) * t) + 0.3 * std::sin(2 * M_PI * 1234.5 * t) +
                       jitter(noise);
            samples[static_cast<size_t>(i) * channels + c] =
                static_cast<int16_t>(std::lround(std::clamp(v * amplitude, -1.0, 1.0) * 32767.0));
        }
    }
    return samples;
}

void writeWav16(const fs::path& file, int rate, int channels, const std::vector<int16_t>& samples) {
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out(44 + dataBytes);
    size_t at = 0;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at++] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto put16 = [&](uint16_t v) {
        out[at++] = static_cast<uint8_t>(v);
        out[at++] = static_cast<uint8_t>(v >> 8);
    };
    auto tag = [&](const char* t) {
        for (int i = 0; i < 4; ++i) out[at++] = static_cast<uint8_t>(t[i]);
    };
    tag("RIFF");
    put32(36 + dataBytes);
    tag("WAVE");
    tag("fmt ");
    put32(16);
    put16(1);
    put16(static_cast<uint16_t>(channels));
    put32(static_cast<uint32_t>(rate));
    put32(static_cast<uint32_t>(rate * channels * 2));
    put16(static_cast<uint16_t>(channels * 2));
    put16(16);
    tag("data");
    put32(dataBytes);
    for (int16_t s : samples) put16(static_cast<uint16_t>(s));
    writeBytes(file, out);
}

Difference compare(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long offset) {
    Difference d;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        long j = static_cast<long>(i) + offset;
        if (j < 0) continue;
        if (static_cast<size_t>(j) >= b.size()) break;
        int diff = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[static_cast<size_t>(j)]));
        d.maxAbs = std::max(d.maxAbs, diff);
        sum += static_cast<double>(diff) * diff;
        ++d.compared;
    }
    d.rms = d.compared ? std::sqrt(sum / static_cast<double>(d.compared)) : 0.0;
    return d;
}

double snrDb(const std::vector<int16_t>& original, const std::vector<int16_t>& degraded, long offset) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < original.size(); ++i) {
        long j = static_cast<long>(i) + offset;
        if (j < 0) continue;
        if (static_cast<size_t>(j) >= degraded.size()) break;
        double s = original[i];
        double e = s - degraded[static_cast<size_t>(j)];
        signal += s * s;
        noise += e * e;
    }
    if (noise == 0) return 200.0;
    return 10.0 * std::log10(signal / noise);
}

}  // namespace qoro::test
