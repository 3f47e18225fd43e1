// Preview playback: plays the checked rows of the current mode one after the
// other through the media player, walking the shared row cursor in the play
// direction, optionally wrapping around (PlayInACycle), and shows the
// position once a second.
#pragma once

#include "core/session.h"

namespace quillet {

class PlaybackController {
public:
    explicit PlaybackController(Session& session) : s_(session) {}

    void play();   // Play button, end of an item, end of a conversion run
    void pause();  // pauses a playing file, resumes a paused one
    void stop();
    void stepBack();     // "Preview" button
    void stepForward();  // Next button
    // End of the current item while the mode's playing flag is set: next row
    // in the play direction, or the end of the walk.
    void endOfItem();
    void onEndOfFile();  // the player finished the file
    void onTimer();      // once a second

private:
    Session& s_;
};

}  // namespace quillet
