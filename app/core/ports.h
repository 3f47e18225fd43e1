// The ports: what the program's logic needs from its user interface. The Qt
// front end implements them; tests and the headless runner have their own.
// All calls happen on the user-interface thread; every dialog is modal and
// returns when the user has answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/settings.h"

namespace quillet {

// What an OK/Cancel question is about, so a front end without a user (the
// headless runner) can answer it from the settings. A window shows them all
// alike.
enum class Question { StartConversion, Quit };

// The answers to "the target exists, overwrite it?"; the "to all" answers
// stand for the rest of the run.
enum class OverwriteAnswer { Yes, YesToAll, No, NoToAll };

// How targets that would collide are settled before a run: the later ones
// numbered ("x (2).wav"), skipped, or the run not started.
enum class CollisionChoice { Number, Skip, Cancel };

// The end of a run, for its summary dialog.
struct RunSummary {
    std::string headline;               // "12 converted, 2 failed"
    std::vector<std::string> failures;  // "path: why", one per failed or cut-short file
    std::string outputFolder;
};

// Where a row stands in the current or last run.
enum class RowState { Plain, Waiting, Converting, Done, Failed, Skipped, Cancelled };

// Message boxes and the standard pickers.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Information icon, OK button.
    virtual void information(const std::string& text) = 0;
    // Question icon, OK and Cancel buttons; true only for OK.
    virtual bool askOkCancel(const std::string& text, Question about) = 0;
    // Yes, Yes to all, No and No to all.
    virtual OverwriteAnswer askOverwrite(const std::string& text) = 0;
    // The collisions in words, one per line, and the choice among them.
    virtual CollisionChoice resolveCollisions(const std::string& text, const std::vector<std::string>& collisions) = 0;
    // The end of a run: the counts, the failures with their reasons, and a
    // way to the output folder.
    virtual void showSummary(const RunSummary& summary) = 0;
    // Open-file dialog with multiple selection; filter as "mp3 files(*.mp3)|*.mp3||".
    // Nothing when cancelled; otherwise the full paths in the dialog's order.
    virtual std::optional<std::vector<std::string>> openFiles(const std::string& filter) = 0;
    // Folder picker offering file-system folders only; nothing when cancelled.
    virtual std::optional<std::string> pickFolder(const std::string& title) = 0;
    // Colour picker starting at a 0x00BBGGRR colour; nothing when cancelled.
    virtual std::optional<uint32_t> pickColour(uint32_t initial) = 0;
};

// The desktop's "open" verb for folders and documents.
class Shell {
public:
    virtual ~Shell() = default;
    virtual void open(const std::string& path, bool maximised) = 0;
};

// The file grid on screen: five text columns (check mark, number, title,
// duration, path), rows numbered from 1. The core keeps the rows; the view
// only shows them and reports clicks to MainController::onCellClicked.
class GridView {
public:
    virtual ~GridView() = default;
    virtual void setRowCount(size_t rows) = 0;
    // Shows the five cells of a row; row is 1-based.
    virtual void setRow(size_t row, const std::vector<std::string>& cells) = 0;
    // Background and text colour (0x00BBGGRR); applied again on every repaint.
    virtual void setColours(uint32_t background, uint32_t text) = 0;
    // A row's place in a run; detail says why it failed or was skipped, or
    // how far it has come.
    virtual void setRowState(size_t row, RowState state, const std::string& detail) = 0;
};

// The main window: info labels, time display, mode buttons, window commands.
class MainView {
public:
    virtual ~MainView() = default;
    virtual void setNameLabel(const std::string& text) = 0;
    virtual void setDurationLabel(const std::string& text) = 0;
    virtual void setBitrateLabel(const std::string& text) = 0;    // kbit/s
    virtual void setFrequencyLabel(const std::string& text) = 0;  // kHz
    virtual void setTimeDisplay(const std::string& text) = 0;     // "mm:ss"
    // The two mode buttons take the look of the mode (icons 257/258 or 259/260).
    virtual void showMode(ConversionMode mode) = 0;
    // A conversion run started: the front end calls MainController::onRunTick
    // a few times a second (about ten) until runEnded, and disables the
    // controls that would act on the run; Cancel stays.
    virtual void runStarted() = 0;
    virtual void runEnded() = 0;
    // Files finished of all, and how far the newest started file has come (0..1).
    virtual void showProgress(size_t filesDone, size_t files, double currentShare) = 0;
    virtual void minimise() = 0;
    // Ends the program's event loop.
    virtual void closeProgram() = 0;
};

// The preview player. open() starts the file at once. The player reports the
// end of a file by calling MainController::onEndOfFile on this thread.
class MediaPlayer {
public:
    enum State { Other = 0, Paused = 1, Playing = 2 };
    virtual ~MediaPlayer() = default;
    virtual void open(const std::string& path) = 0;
    virtual void play() = 0;  // resume after a pause
    virtual void pause() = 0;
    virtual void stop() = 0;
    virtual int playState() = 0;    // State
    virtual double position() = 0;  // seconds
};

// A repeating timer; each tick calls MainController::onTimer.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void start(int intervalMs) = 0;
};

// Progress of a conversion run, for a front end that reports it as text (the
// headless runner). Windows follow the labels instead.
struct FileResult {
    std::string source, target;
    enum Outcome { Converted, Partial, Failed, Skipped, Cancelled } outcome = Converted;
    int64_t frames = 0;  // sample frames written
    std::string reason;  // why it failed or was skipped, for the record
};
class BatchListener {
public:
    virtual ~BatchListener() = default;
    virtual void fileStarted(size_t row, const std::string& source, const std::string& target) = 0;
    virtual void fileFinished(const FileResult& result) = 0;
};

// The ports of one main window, all required except the listener.
struct Ports {
    Dialogs& dialogs;
    Shell& shell;
    GridView& grid;
    MainView& view;
    MediaPlayer& player;
    Timer& timer;
    BatchListener* listener = nullptr;
};

}  // namespace quillet
