// The headless converter: "quillet --batch [mp3towav|wavtomp3]" converts the
// checked rows of the mode's list file (both modes in turn when none is
// named) with the stored settings and without windows. Questions are
// answered from the settings: the run itself is confirmed, an existing target
// is skipped when PromptBeforeOverwrite is on (replaced when it is off), and
// targets that would collide get numbered names ("x (2).wav").
// Progress and a summary go to the output stream; the exit status is 0 when
// every file converted, 1 when one failed or was cut short, 2 when the run
// could not start.
#pragma once

#include <iosfwd>
#include <string>

#include "core/settings.h"

namespace quillet {

// Runs the batch of one mode over the given data folder on 'workers'
// threads (0: one per processor; the caller has initialised the component
// runtime).
int runBatch(ConversionMode mode, const DataFolder& data, std::ostream& out, int workers = 0);

// The whole command line: "[--seed] --batch [-j N] [mp3towav|wavtomp3]" (the
// "--batch" may be left out; "--seed" first writes the sample files of a fresh
// data folder, see seed.h). Resolves the data folder, initialises the component runtime
// and runs the named mode, or both.
int runBatchCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace quillet
