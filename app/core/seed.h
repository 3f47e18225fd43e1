// First-use samples: a few short pieces synthesised here, written through the
// audio file component as WAV and MP3 files into "<data folder>/Samples/", and
// entered, checked, into the list files of both modes. A list file that
// already exists is never touched, so this only ever acts on a fresh data
// folder.
#pragma once

#include <iosfwd>

#include "core/components.h"
#include "core/settings.h"

namespace quillet {

// Writes the samples and the missing list files. Returns the number of files
// written; the component runtime must be initialised.
int seedSamples(const DataFolder& data, std::ostream& out);

}  // namespace quillet
