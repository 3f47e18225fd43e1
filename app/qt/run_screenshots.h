// Screenshots of a conversion run, for `quillet --screenshot`: a window over
// a scratch data folder converts three short WAVs (one of them damaged) to
// MP3; it is photographed while the second file is under way, and the
// summary dialog of the finished run is photographed too.
#pragma once

#include <QDir>

namespace quillet::qt {

// Writes run.png and summary.png into 'folder'; false when a picture could
// not be taken or saved.
bool saveRunScreenshots(const QDir& folder);

}  // namespace quillet::qt
