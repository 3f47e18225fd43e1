// One file of every kind in the signature probe's table, for the suites that
// check how the probe and both components treat files of each kind. Made the
// way users' files are made (ffmpeg, python's zipfile) where a tool writes
// the kind, laid out from the kind's published header where none does (DSD,
// Musepack SV8, PDF).
#pragma once

#include <string>
#include <vector>

#include "probe/signature.h"
#include "test_support.h"

namespace qoro::test {

struct KindFile {
    probe::Kind kind;
    fs::path path;
    std::string madeBy;  // "ffmpeg -c:a alac", "header bytes"
};

// The files in 'dir' (made when missing): at least one per row of probe::kinds() (two codecs of
// one container, such as AAC and ALAC in MP4, give two). A tool that fails
// fails the test.
std::vector<KindFile> makeKindFiles(const fs::path& dir);

// A copy of 'file' in 'dir' under 'name'.
fs::path copyAs(const fs::path& file, const fs::path& dir, const std::string& name);

}  // namespace qoro::test
