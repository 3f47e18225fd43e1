// The media plug-in's table (media/qoro_media.h) over libavformat and
// libavcodec; the library exports it as qoro_media_entry.
#pragma once

#include "media/qoro_media.h"

namespace qoro::libav {

const qoro_media_api* api();

}  // namespace qoro::libav
