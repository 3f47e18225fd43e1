#include "core/playback.h"

#include <cmath>

#include "core/time_text.h"

namespace quillet {

// The play step, as a loop: unchecked rows move the cursor in the play
// direction; leaving the list sets it back to row 1 and, when cycling, goes
// on from there. A checked row always exists inside the loop, so a cycling
// walk finds one.
void PlaybackController::play() {
    const ConversionMode mode = s_.mode;
    Dialogs& dialogs = s_.ports.dialogs;
    if (s_.converting(mode)) {
        dialogs.information(text::converting(mode));
        return;
    }
    if (!s_.grid.anyChecked()) {
        dialogs.information(text::noCheckedToPlay(mode));
        return;
    }
    for (;;) {
        if (!s_.cursorInList()) {
            s_.currentRow = 1;
            s_.forward = true;
            if (s_.settings.PlayInACycle != 0) continue;
            s_.playing(mode) = false;
            return;
        }
        const GridRow& row = s_.grid.row(s_.currentRow);
        if (!row.checked()) {
            s_.stepCursor();
            continue;
        }
        const std::string path = trimSpaces(row.cell(kColPath));
        if (path.empty()) return;
        s_.showRowLabels(row);
        s_.showFactLabels(path);
        MediaPlayer& player = s_.ports.player;
        if (player.playState() == MediaPlayer::Paused) {
            s_.forward = true;
            player.play();
        } else {
            player.open(path);
        }
        s_.playing(mode) = true;
        return;
    }
}

void PlaybackController::pause() {
    const ConversionMode mode = s_.mode;
    if (s_.converting(mode)) {
        s_.ports.dialogs.information(text::convertingOnPause(mode));
        return;
    }
    MediaPlayer& player = s_.ports.player;
    const int state = player.playState();
    if (state == MediaPlayer::Playing)
        player.pause();
    else if (state == MediaPlayer::Paused)
        player.play();
}

void PlaybackController::stop() {
    const ConversionMode mode = s_.mode;
    if (s_.converting(mode)) s_.ports.dialogs.information(text::convertingOnStop(mode));
    if (!s_.playing(mode)) return;
    s_.playing(mode) = false;
    s_.ports.player.stop();
    s_.currentRow = 1;
    s_.resetLabels();
}

void PlaybackController::stepBack() {
    const ConversionMode mode = s_.mode;
    s_.forward = false;
    if (s_.converting(mode)) {
        s_.ports.dialogs.information(text::converting(mode));
        return;
    }
    if (s_.currentRow != 0 && s_.playing(mode)) {
        s_.ports.player.stop();
        endOfItem();
    }
}

void PlaybackController::stepForward() {
    const ConversionMode mode = s_.mode;
    if (s_.converting(mode)) {
        s_.ports.dialogs.information(text::convertingOnNext(mode));
        return;
    }
    s_.forward = true;
    if (s_.cursorInList() && s_.playing(mode)) {
        s_.ports.player.stop();
        endOfItem();
    }
}

void PlaybackController::endOfItem() {
    const ConversionMode mode = s_.mode;
    if (!s_.playing(mode)) {
        if (!s_.converting(mode)) s_.resetLabels();
        return;
    }
    s_.resetLabels();
    s_.stepCursor();
    if (!s_.cursorInList()) {
        s_.forward = true;
        if (s_.settings.PlayInACycle == 0) {
            s_.playing(mode) = false;
            return;
        }
    }
    play();
}

void PlaybackController::onEndOfFile() { endOfItem(); }

void PlaybackController::onTimer() {
    if (!s_.playing(s_.mode)) return;
    MediaPlayer& player = s_.ports.player;
    if (player.playState() != MediaPlayer::Playing) return;
    const double position = player.position();
    const int64_t seconds =
        std::isfinite(position) && position > 0 ? static_cast<int64_t>(std::fmin(position, 1e12)) : 0;
    s_.ports.view.setTimeDisplay(timeText(seconds));
}

}  // namespace quillet
