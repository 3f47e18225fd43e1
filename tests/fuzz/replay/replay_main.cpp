// The driver that replaces libFuzzer for replaying stored inputs: runs a
// harness's LLVMFuzzerTestOneInput once on every file named on the command
// line or found in a folder named there (sorted by name, folders that do not
// exist are passed over). A harness stops the program on a broken property,
// and the sanitizers of the build report what they find, so the program
// exits 0 only when every input ran clean.
//
//   id3_fuzz_replay tests/fuzz/regressions/id3_fuzz tests/fuzz/seeds/id3_fuzz
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            for (const auto& entry : fs::directory_iterator(p, ec))
                if (entry.is_regular_file(ec)) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(p, ec)) {
            inputs.push_back(p);
        } else if (fs::exists(p, ec)) {
            std::fprintf(stderr, "%s: not a file or folder\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "%s: cannot be read\n", p.c_str());
            return 2;
        }
        std::fprintf(stderr, "running %s (%zu bytes)\n", p.c_str(), bytes.size());
        // A copy of exactly the input's size, so a read past it is caught.
        std::vector<uint8_t> exact(bytes);
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(exact.empty() ? &none : exact.data(), exact.size());
    }
    std::fprintf(stderr, "%zu inputs ran\n", inputs.size());
    return 0;
}
