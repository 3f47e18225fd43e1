// M4A files written through the media plug-in (platform/media): AAC-LC at a
// bitrate (FormatType M4A) or ALAC at 16 or 24 bits (FormatType ALAC), in 1
// to 8 channels in WAV order.
//
// AAC takes 16-bit samples, or floats when the arrays are deeper
// (writeFloats); ALAC its own depth. When the plug-in has written the
// audio and its index, the file is finished here: "moov" moved before the
// audio with 4 KiB of "free" room after it for tags, and for AAC the
// encoder's priming and padding stated in an iTunSMPB item as well as in
// the edit list, so that players of either kind play exactly the samples
// written. Without the plug-in, creating such a file is refused with the
// package to install.
#pragma once

#include <memory>

#include "containers/containers.h"

namespace qoro::audiofile {

int16_t createAac(const CreateRequest& request, std::unique_ptr<Track>& track);
int16_t createAlac(const CreateRequest& request, std::unique_ptr<Track>& track);

}  // namespace qoro::audiofile
