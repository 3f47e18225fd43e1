#include "core/time_text.h"

#include <cstdio>

namespace quillet {

std::string timeText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const int64_t h = seconds / 3600, m = (seconds % 3600) / 60, s = seconds % 60;
    char text[40];
    if (h > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(h), static_cast<long long>(m),
                      static_cast<long long>(s));
    else
        std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(m), static_cast<long long>(s));
    return text;
}

}  // namespace quillet
