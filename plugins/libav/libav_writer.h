// The writing members of the plug-in's table (media/qoro_media.h).
#pragma once

#include "media/qoro_media.h"

namespace qoro::libav {

qoro_media_writer* createWriter(const char* path, const qoro_media_encoding* encoding, char* error,
                                size_t errorSize);
int writeFrames(qoro_media_writer* w, int sample, const void* in, long frames);
int finishWriter(qoro_media_writer* w, qoro_media_written* written);
void closeWriter(qoro_media_writer* w);
const char* writerError(const qoro_media_writer* w);

}  // namespace qoro::libav
