#include "readers/file_type.h"

#include <string>

#include "readers/facts.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>
#include <memory>

namespace qoro::audioinfo {

int32_t mulDiv(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return -1;
    // 128-bit intermediate: no product of two 64-bit values overflows.
    const __int128 p = static_cast<__int128>(a) * b;
    __int128 q = p / c;
    const __int128 r = p % c;
    const __int128 absR = r < 0 ? -r : r;
    const __int128 absC = c < 0 ? -static_cast<__int128>(c) : c;
    if (2 * absR >= absC) q += ((p < 0) != (c < 0)) ? -1 : 1;
    if (q > std::numeric_limits<int32_t>::max() || q < std::numeric_limits<int32_t>::min()) return -1;
    return static_cast<int32_t>(q);
}

int64_t fileLength(const std::string& path) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
    if (!f) return -1;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return -1;
    const long n = std::ftell(f.get());
    return n < 0 ? -1 : n;
}

}  // namespace qoro::audioinfo
