// A small program that replaces one file through replace::Temporary, for the
// tests that make the system fail under the fail_io shim:
//
//   replace_probe TARGET TEXT     -> exit 0, or 1 and the failure in words
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "replace/replace.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: replace_probe TARGET TEXT\n");
        return 2;
    }
    qoro::replace::Temporary out{std::filesystem::path(argv[1])};
    out.write(argv[2], std::strlen(argv[2]));
    if (const std::error_code ec = out.commit()) {
        std::printf("%s\n", ec.message().c_str());
        return 1;
    }
    return 0;
}
