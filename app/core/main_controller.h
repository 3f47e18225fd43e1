// The main window's logic: start-up, the file grid commands, mode switches,
// busy checks, quit, and the entry points of conversion and playback.
//
// A front end builds its ports, the components (createComponents) and the
// data folder (resolveDataFolder), then:
//
//   MainController app(ports, createComponents(), DataFolder{resolveDataFolder()});
//   app.start();                       // settings, grid colours, list file, timer
//   // buttons:  app.onAddFiles(), app.onConvert(), app.onPlay(), ...
//   // a run:    app.onRunTick() ~10 times a second between the view's
//   //           runStarted() and runEnded(); app.onCancel()
//   // grid:     app.onCellClicked(column, row)
//   // player:   app.onEndOfFile();   timer: app.onTimer()
//   // Options:  OptionsModel over app.settings(), then app.onSettingsChanged()
//   // close:    if (app.onQuit()) ... the view's closeProgram() was called
#pragma once

#include <memory>
#include <string>

#include "core/batch_converter.h"
#include "core/playback.h"
#include "core/session.h"

namespace quillet {

inline constexpr uint32_t kPanelColour = 0xA75D19;  // grid and label background
inline constexpr uint32_t kLabelTextColour = 0x00FFCC;
inline constexpr int kTimerIntervalMs = 1000;

class MainController {
public:
    MainController(Ports ports, Components components, DataFolder data);

    // Start-up: default folders, settings, grid colours, idle labels, the
    // Mp3ToWav look, the mp3towav list file, the one-second timer.
    void start();

    // Grid commands; each (except a cell click) refuses while busy.
    void onAddFiles();
    void onCheckAll();
    void onClearSelected();
    void onClearUnselected();
    void onClearAll();
    void onUnselectAll();
    void onCellClicked(int column, size_t row);
    // The Delete key on a row.
    void onRemoveRow(size_t row);
    // Files and folders dropped on the grid: the mode's audio files among
    // them, folders searched through.
    void onDropFiles(const std::vector<std::string>& paths);
    void onSwitchMode(ConversionMode mode);

    void onConvert() { converter_.onConvert(); }
    void onCancel() { converter_.onCancel(); }
    // A few times a second while a run lasts (MainView::runStarted).
    void onRunTick() { converter_.onRunTick(); }
    bool runActive() const { return converter_.running(); }
    void onPlay() { playback_.play(); }
    void onPause() { playback_.pause(); }
    void onStop() { playback_.stop(); }
    void onStepBack() { playback_.stepBack(); }
    void onStepForward() { playback_.stepForward(); }
    void onEndOfFile() { playback_.onEndOfFile(); }
    void onTimer() { playback_.onTimer(); }

    // Asks; on OK cancels a run (its unfinished files leave nothing behind),
    // saves the current list file, empties the grid and closes the program.
    // True when the program is closing.
    bool onQuit();
    void onHelp();
    void onMinimise() { s_.ports.view.minimise(); }
    // After the Options dialog's OK: the grid takes the new text colour.
    void onSettingsChanged();

    // The end-of-item step of the current mode: playback branch while
    // playing, otherwise only the idle labels (a conversion run takes its own
    // end-of-item steps inside onConvert).
    void endOfItem() { playback_.endOfItem(); }

    // Loads the list file of a mode without saving the current one (start-up
    // and the headless runner).
    void loadMode(ConversionMode mode);

    AppSettings& settings() { return s_.settings; }
    const FileGrid& grid() const { return s_.grid; }
    ConversionMode mode() const { return s_.mode; }
    const DataFolder& dataFolder() const { return s_.data; }
    Session& session() { return s_; }
    BatchConverter& converter() { return converter_; }

private:
    // Shows the busy message of the first set flag; true when busy.
    bool refuseWhenBusy();
    void gridChanged();
    // Adds files to the grid; names it cannot list are named in a message.
    void addPaths(const std::vector<std::string>& paths);

    Session s_;
    PlaybackController playback_;
    BatchConverter converter_;
};

}  // namespace quillet
