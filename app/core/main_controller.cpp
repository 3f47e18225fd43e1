#include "core/main_controller.h"

#include "core/dropped_files.h"
#include "core/help_file.h"

namespace quillet {

MainController::MainController(Ports ports, Components components, DataFolder data)
    : s_(ports, std::move(components), std::move(data)), playback_(s_), converter_(s_, playback_) {}

void MainController::start() {
    ensureDefaultFolders(s_.data);
    ensureHelpFile(s_.data);
    s_.settings = loadSettings(s_.data);
    s_.ports.grid.setColours(kPanelColour, s_.settings.FontColor);
    s_.resetLabels();
    s_.ports.view.showMode(ConversionMode::Mp3ToWav);
    s_.mp3Playing = s_.mp3Converting = s_.wavPlaying = s_.wavConverting = false;
    s_.currentRow = 1;
    s_.forward = true;
    loadMode(ConversionMode::Mp3ToWav);
    s_.ports.timer.start(kTimerIntervalMs);
}

void MainController::loadMode(ConversionMode mode) {
    s_.mode = mode;
    s_.grid.load(s_.data.listFile(mode), mode, s_.components.info.get());
    s_.showGrid();
}

bool MainController::refuseWhenBusy() {
    std::string message;
    if (s_.mp3Playing)
        message = text::playing(ConversionMode::Mp3ToWav);
    else if (s_.mp3Converting)
        message = text::converting(ConversionMode::Mp3ToWav);
    else if (s_.wavPlaying)
        message = text::playing(ConversionMode::WavToMp3);
    else if (s_.wavConverting)
        message = text::converting(ConversionMode::WavToMp3);
    else
        return false;
    s_.ports.dialogs.information(message);
    return true;
}

void MainController::onAddFiles() {
    if (refuseWhenBusy()) return;
    const auto chosen = s_.ports.dialogs.openFiles(text::openFileFilter(s_.mode));
    if (!chosen) return;
    addPaths(*chosen);
}

void MainController::onDropFiles(const std::vector<std::string>& paths) {
    if (refuseWhenBusy()) return;
    addPaths(audioFilesIn(paths, s_.mode));
}

void MainController::addPaths(const std::vector<std::string>& paths) {
    const FileGrid::AddResult added = s_.grid.addFiles(paths, s_.mode, s_.components.info.get());
    if (added.added > 0) gridChanged();
    if (!added.refused.empty()) s_.ports.dialogs.information(text::refusedNames(added.refused));
}

void MainController::onCheckAll() {
    if (refuseWhenBusy()) return;
    s_.grid.checkAll();
    gridChanged();
}

void MainController::onClearSelected() {
    if (refuseWhenBusy()) return;
    s_.grid.removeChecked();
    s_.currentRow = 1;
    gridChanged();
}

void MainController::onClearUnselected() {
    if (refuseWhenBusy()) return;
    s_.grid.removeUnchecked();
    gridChanged();
}

void MainController::onRemoveRow(size_t row) {
    if (refuseWhenBusy()) return;
    if (!s_.grid.removeRow(row)) return;
    if (s_.currentRow > row) --s_.currentRow;
    gridChanged();
}

void MainController::onClearAll() {
    if (refuseWhenBusy()) return;
    s_.grid.clear();
    gridChanged();
}

void MainController::onUnselectAll() {
    if (refuseWhenBusy()) return;
    s_.grid.uncheckAll();
    gridChanged();
}

void MainController::onCellClicked(int /*column*/, size_t row) {
    if (!s_.grid.toggle(row)) return;
    const GridRow& r = s_.grid.row(row);
    s_.ports.grid.setRow(row, {r.cells.begin(), r.cells.end()});
    s_.grid.save(s_.data.listFile(s_.mode));
}

// Every change reaches the list file at once, so a session that ends without
// Exit (a logout, a crash) loses nothing.
void MainController::gridChanged() {
    s_.showGrid();
    s_.grid.save(s_.data.listFile(s_.mode));
}

void MainController::onSwitchMode(ConversionMode mode) {
    if (refuseWhenBusy()) return;
    if (mode == s_.mode) return;
    s_.ports.view.showMode(mode);
    s_.grid.save(s_.data.listFile(s_.mode));
    s_.grid.clear();
    s_.showGrid();
    loadMode(mode);
}

bool MainController::onQuit() {
    if (!s_.ports.dialogs.askOkCancel(text::confirmQuit(), Question::Quit)) return false;
    converter_.abandon();
    s_.grid.save(s_.data.listFile(s_.mode));
    s_.grid.clear();
    s_.ports.grid.setRowCount(0);
    s_.ports.view.closeProgram();
    return true;
}

void MainController::onHelp() { s_.ports.shell.open(s_.data.helpFile(), true); }

void MainController::onSettingsChanged() { s_.ports.grid.setColours(kPanelColour, s_.settings.FontColor); }

}  // namespace quillet
