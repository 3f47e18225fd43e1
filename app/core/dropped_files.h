// Files and folders dropped on the grid, narrowed to the audio files of a
// mode: the ones named directly, and those found in the named folders and
// all their subfolders.
#pragma once

#include <string>
#include <vector>

#include "core/settings.h"

namespace quillet {

// True when the file name ends in the mode's extension, in any letter case:
// ".mp3" for Mp3ToWav, ".wav" for WavToMp3. A name that is only the
// extension (".mp3") does not count.
bool isAudioFileOf(const std::string& path, ConversionMode mode);

// The mode's audio files among 'paths', in order: a regular file of the
// mode's kind as given; a folder replaced by the files of that kind it holds,
// its entries in byte order of their names and each subfolder walked where
// it stands. Links are followed, but no folder is walked twice (so link
// loops end); folders that cannot be read are passed over; everything else
// (other files, missing paths, devices, pipes) is left out. A file that comes
// up again, under any name (a link, "a//b"), is listed once, under the first.
std::vector<std::string> audioFilesIn(const std::vector<std::string>& paths, ConversionMode mode);

}  // namespace quillet
