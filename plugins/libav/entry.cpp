// The one symbol qoro-libav.so exports.
#include "libav_media.h"

extern "C" __attribute__((visibility("default"))) const qoro_media_api* qoro_media_entry(void) {
    return qoro::libav::api();
}
