// The batch conversion: turns every checked row of the grid into a new file
// in the mode's output folder. The Convert command asks, plans the targets
// (collisions and existing files settled with the user before anything is
// written) and starts a ConversionRun; the front end then calls onRunTick a
// few times a second, which shows the workers' news: row states, labels,
// progress, and at the end the summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/conversion_run.h"
#include "core/ports.h"
#include "core/session.h"

namespace quillet {

class PlaybackController;

// The target file name for a source path: the part after the last "/", with
// every ".mp3" (any letter case) replaced by ".wav" in Mp3ToWav, or every
// ".wav" by ".mp3" in WavToMp3.
std::string targetName(const std::string& sourcePath, ConversionMode mode);

// "x (2).wav" for "x.wav", number 2; the number goes before the extension.
std::string numberedName(const std::string& path, int number);

// The targets of a run, settled: which rows collide (two sources with one
// target, or a target that is one of the sources) and what becomes of them.
struct RunPlan {
    std::vector<RunJob> jobs;          // to convert, in row order
    std::vector<FileResult> settled;   // skipped or failed before the run
    std::vector<std::string> clashes;  // the collisions found, in words
};

// Plans the checked rows of the grid into 'folder' (ends in "/"): a row
// whose path is empty fails; a target that another row's target or any
// row's source already claims collides. 'number' settles collisions by
// numbering, otherwise they are skipped. Targets are compared as absolute,
// normalised paths (and as the same file on disk for sources).
RunPlan planRun(const FileGrid& grid, ConversionMode mode, const std::string& folder, bool number);

class BatchConverter {
public:
    BatchConverter(Session& session, PlaybackController& playback);
    ~BatchConverter();

    // The Convert command: asks, plans and starts the run; returns at once.
    void onConvert();
    // The Cancel command: the run stops after the current block of each file.
    void onCancel();
    // Takes the workers' news and shows it; ends the run when all is done.
    void onRunTick();
    bool running() const { return run_ != nullptr; }
    // Cancels and waits, without a summary (the program is closing).
    void abandon();
    // Shows news until the run has ended (the headless runner, tests).
    void waitForRun(std::chrono::milliseconds tick = std::chrono::milliseconds(100));

    // Converts one file in the current mode through two objects. The target
    // appears only when it is complete (or, for a source that fails part-way,
    // holds all that could be read); the reason of a failure is in words.
    FileResult convertFile(const Components& parts, const RunJob& job,
                           const std::function<void(const qoro::client::Progress&)>& progress,
                           const std::atomic<bool>& cancel) const;

    // Results of the last run, in row order (skipped rows included).
    const std::vector<FileResult>& results() const { return results_; }
    bool lastRunHadFailures() const;

private:
    // Existing targets, asked about when the settings say so; the ones not
    // to be replaced move to the settled results.
    void askAboutExistingTargets(RunPlan& plan);
    void show(const ConversionRun::News& news);
    void endRun();
    void record(FileResult result, size_t row);

    Session& s_;
    PlaybackController& playback_;
    std::unique_ptr<ConversionRun> run_;
    ConversionMode runMode_ = ConversionMode::Mp3ToWav;
    PcmTarget pcm_;  // the run's output format, fixed when it starts
    Mp3Target mp3_;
    std::vector<FileResult> results_;
    std::vector<size_t> resultRows_;
    size_t filesDone_ = 0, files_ = 0;
    size_t shownJob_ = SIZE_MAX;  // the file the labels show
};

}  // namespace quillet
