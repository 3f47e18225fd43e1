// What the reading and the writing halves of the plug-in share: libav set up
// once per process, its log kept quiet, and libav's and our failures in words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qoro::libav {

// Once per process: libav's log kept from the terminal (its last error line
// kept per thread, see lastLog), its allocations bounded.
void setUpLibav();

// The last error line libav logged on this thread ("" after clearLog).
const std::string& lastLog();
void clearLog();

// libav's words for an AVERROR code.
std::string averror(int code);
// "<what>: <libav's last error line, or the code in words>".
std::string causeOf(std::string_view what, int code);

// An AVIOContext's seek over a file of `size` bytes read or written at
// `pos`: the new position (AVSEEK_SIZE: the size), or an AVERROR.
int64_t seekIn(int64_t& pos, int64_t size, int64_t offset, int whence);

// Copies a text into a caller's buffer of `size` bytes, cut and NUL-terminated.
void copyText(char* to, size_t size, std::string_view from);

}  // namespace qoro::libav
