// The state the main window, the batch conversion and playback share: mode,
// settings, grid, playback's row cursor and direction, and the four busy
// flags.
#pragma once

#include <cstddef>
#include <functional>

#include "core/components.h"
#include "core/file_grid.h"
#include "core/messages.h"
#include "core/ports.h"
#include "core/settings.h"

namespace quillet {

struct Session {
    Session(Ports p, Components c, DataFolder d) : ports(p), components(std::move(c)), data(std::move(d)) {}

    Ports ports;
    Components components;
    DataFolder data;
    AppSettings settings;
    FileGrid grid;
    ConversionMode mode = ConversionMode::Mp3ToWav;

    // The objects each conversion worker makes for itself, and how many
    // workers a run has (0: one per processor).
    std::function<Components()> makeWorkerParts = createComponents;
    int workers = 0;
    // Called on a worker after each block it converted: a point where tests
    // and benchmarks may hold the worker while they look at the
    // user-interface thread. Set before a run starts.
    std::function<void()> afterEachBlock;
    // Called on a worker when the last file of a run has finished, so that a
    // front end need not wait for its next look (thread-safe on its side).
    std::function<void()> wakeAtRunEnd;

    // Playback's row cursor: 1-based; 0 and values above the row count lie
    // outside the list (moving back from 0 wraps to a huge value, which is
    // outside as well). Conversion runs take every checked row and leave it
    // alone.
    size_t currentRow = 1;
    bool forward = true;  // play direction
    bool mp3Playing = false, mp3Converting = false, wavPlaying = false, wavConverting = false;

    bool& playing(ConversionMode m) { return m == ConversionMode::Mp3ToWav ? mp3Playing : wavPlaying; }
    bool& converting(ConversionMode m) { return m == ConversionMode::Mp3ToWav ? mp3Converting : wavConverting; }
    bool playing() { return playing(mode); }
    bool converting() { return converting(mode); }
    size_t rowCount() const { return grid.rowCount(); }
    bool cursorInList() const { return currentRow >= 1 && currentRow <= grid.rowCount(); }
    void stepCursor() { currentRow = forward ? currentRow + 1 : currentRow - 1; }

    // Labels back to their idle texts: title in the name label, "00:00".
    void resetLabels() {
        MainView& v = ports.view;
        v.setBitrateLabel("");
        v.setFrequencyLabel("");
        v.setNameLabel(text::kTitle);
        v.setDurationLabel("");
        v.setTimeDisplay("00:00");
    }

    // Name and duration labels of a row about to be converted or played.
    void showRowLabels(const GridRow& row) {
        ports.view.setNameLabel(row.cell(kColNumber) + ". " + row.cell(kColTitle));
        ports.view.setDurationLabel(row.cell(kColDuration));
    }

    // Bitrate (kbit/s) and frequency (kHz) labels from the info object,
    // truncated: 44100 Hz shows 44.
    void showFactLabels(const std::string& path) {
        const FileFacts facts = readFacts(components.info.get(), path);
        ports.view.setBitrateLabel(std::to_string(facts.bitrate / 1000));
        ports.view.setFrequencyLabel(std::to_string(facts.frequency / 1000));
    }

    // Pushes the whole grid to the view.
    void showGrid() {
        ports.grid.setRowCount(grid.rowCount());
        for (size_t r = 1; r <= grid.rowCount(); ++r)
            ports.grid.setRow(r, {grid.row(r).cells.begin(), grid.row(r).cells.end()});
    }
};

}  // namespace quillet
