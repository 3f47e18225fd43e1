// The batch conversion: turns the checked rows of the grid into new files in
// the mode's output folder, one after the other, synchronously, through the
// source and target AudioFile objects and their sample-array interface.
#pragma once

#include <string>
#include <vector>

#include "core/ports.h"
#include "core/session.h"

namespace quillet {

class PlaybackController;

// The target file name for a source path: the part after the last "/", with
// every ".mp3" (any letter case) replaced by ".wav" in Mp3ToWav, or every
// ".wav" by ".mp3" in WavToMp3.
std::string targetName(const std::string& sourcePath, ConversionMode mode);

class BatchConverter {
public:
    BatchConverter(Session& session, PlaybackController& playback) : s_(session), playback_(playback) {}

    // The Convert command: asks, then converts every checked row from the
    // cursor on and returns when the run has ended.
    void onConvert();

    // Converts one file in the current mode through the two objects; the
    // copy loop moves the time display after every block. The target appears
    // only when it is complete (or, for a source that fails part-way, holds
    // all that could be read); the reason of a failure is in words.
    FileResult convertFile(const std::string& source, const std::string& target);

    // Results of the last run, in row order (skipped rows included).
    const std::vector<FileResult>& results() const { return results_; }
    bool lastRunHadFailures() const;

private:
    void run();
    // The row at the cursor; false when the cursor moved on without a file.
    bool convertRow();
    void endRun();
    void record(FileResult result);

    Session& s_;
    PlaybackController& playback_;
    std::vector<FileResult> results_;
    unsigned serial_ = 0;  // makes the temporary names of this program unique
};

}  // namespace quillet
