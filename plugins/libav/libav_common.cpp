#include "libav_common.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qoro::libav {

namespace {

thread_local std::string tLastLog;

void logLine(void* avcl, int level, const char* fmt, va_list vl) {
    if (level > AV_LOG_ERROR) return;
    char line[512];
    int prefix = 0;
    va_list copy;
    va_copy(copy, vl);
    av_log_format_line2(avcl, level, fmt, copy, line, sizeof line, &prefix);
    va_end(copy);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) tLastLog = std::move(text);
}

// The largest single block libav may allocate. Some demuxers set aside what
// a size field of the file says before reading it (an APE tag item of 1.6
// GB in a 1 KB file); no part of a music file needs a block this large, the
// biggest being cover art and MP4 sample tables of tens of megabytes.
constexpr size_t kMaxAlloc = size_t{256} << 20;

}  // namespace

void setUpLibav() {
    static const bool once = [] {
        av_max_alloc(kMaxAlloc);
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(logLine);
        return true;
    }();
    (void)once;
}

const std::string& lastLog() { return tLastLog; }
void clearLog() { tLastLog.clear(); }

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string causeOf(std::string_view what, int code) {
    std::string text(what);
    text += ": ";
    text += tLastLog.empty() ? averror(code) : tLastLog;
    return text;
}

int64_t seekIn(int64_t& pos, int64_t size, int64_t offset, int whence) {
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return size;
    int64_t to = offset;
    if (whence == SEEK_CUR) to = pos + offset;
    else if (whence == SEEK_END) to = size + offset;
    else if (whence != SEEK_SET) return AVERROR(EINVAL);
    if (to < 0) return AVERROR(EINVAL);
    pos = to;
    return to;
}

void copyText(char* to, size_t size, std::string_view from) {
    if (!to || size == 0) return;
    const size_t n = std::min(size - 1, from.size());
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

}  // namespace qoro::libav
