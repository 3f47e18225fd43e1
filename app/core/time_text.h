// The time text of the time display, the duration column and the playback
// position: "mm:ss", or "h:mm:ss" once there are hours.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

// 0 -> "00:00", 247 -> "04:07", 3725 -> "1:02:05". Negative input counts as 0.
std::string timeText(int64_t seconds);

}  // namespace quillet
