#include "tags/cue_list.h"

#include <algorithm>

namespace qoro::tags {

void CueList::clear() {
    cues_.clear();
    index_ = 0;
    current_ = false;
}

void CueList::select(int n) {
    if (cues_.empty()) return;
    n = std::clamp(n, 1, static_cast<int>(cues_.size()));
    index_ = static_cast<size_t>(n - 1);
    current_ = true;
}

void CueList::insert(Cue cue) {
    size_t at = 0;
    if (!cues_.empty() && cue.position >= cues_.front().position) {
        size_t i = 0;
        while (i + 1 < cues_.size() && cues_[i + 1].position < cue.position) ++i;
        at = i + 1;
    }
    cues_.insert(cues_.begin() + static_cast<std::ptrdiff_t>(at), std::move(cue));
    index_ = at;
    current_ = true;
}

void CueList::remove() {
    if (!current_) return;
    cues_.erase(cues_.begin() + static_cast<std::ptrdiff_t>(index_));
    if (cues_.empty()) {
        clear();
    } else if (index_ >= cues_.size()) {
        index_ = cues_.size() - 1;
    }
}

void CueList::appendAfterCurrent(Cue cue) {
    size_t at = current_ ? index_ + 1 : cues_.size();
    cues_.insert(cues_.begin() + static_cast<std::ptrdiff_t>(at), std::move(cue));
    index_ = at;
    current_ = true;
}

void CueList::setPosition(uint32_t position) {
    if (!current_) return;
    cues_[index_].position = position;
    sort();
}

void CueList::sort() {
    std::stable_sort(cues_.begin(), cues_.end(), [](const Cue& a, const Cue& b) { return a.position < b.position; });
}

}  // namespace qoro::tags
