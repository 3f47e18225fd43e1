// The cue points of a WAV file as the AudioInformation object edits them:
// cues ordered by position, and a cursor on the current cue with its 1-based
// number.
//
//   tags::CueList cues;
//   cues.insert({.position = 300});  cues.insert({.position = 100});
//   cues.select(2);                  // the cue at 300
//   cues.setPosition(50);            // re-sorts; the cursor keeps number 2
//   cues.remove();                   // DeleteCue
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qoro::tags {

struct Cue {
    uint32_t position = 0;  // sample frame, the sort key
    uint32_t length = 0;    // sample frames of the region ("ltxt")
    uint16_t language = 0;
    uint16_t country = 0;
    uint16_t dialect = 0;
    uint16_t codePage = 0;
    std::string label{};  // "labl", UTF-8
    std::string note{};   // "note"
    std::string text{};   // "ltxt"

    bool operator==(const Cue&) const = default;
};

class CueList {
public:
    const std::vector<Cue>& cues() const { return cues_; }
    size_t size() const { return cues_.size(); }
    bool empty() const { return cues_.empty(); }
    void clear();

    // cueCount: the number of cues when there is a current cue, else 0.
    int count() const { return current_ ? static_cast<int>(cues_.size()) : 0; }
    // cueNum: 1-based number of the current cue, 0 when there is none.
    int number() const { return current_ ? static_cast<int>(index_) + 1 : 0; }
    // The current cue, or nullptr.
    Cue* current() { return current_ ? &cues_[index_] : nullptr; }
    const Cue* current() const { return current_ ? &cues_[index_] : nullptr; }

    // Selects the n-th cue, n clamped to 1..size(); nothing on an empty list.
    void select(int n);
    // InsertCue: the cue goes before the cues of equal or higher position
    // (right after the first cue when that one has the same position) and
    // becomes current.
    void insert(Cue cue);
    // DeleteCue: removes the current cue; the one that followed it becomes
    // current, or the one before when it was the last.
    void remove();
    // Appends after the current cue (at the end when there is none) and makes
    // it current: the order of reading a file.
    void appendAfterCurrent(Cue cue);
    // cuePosition put: sets the current cue's position and re-sorts.
    void setPosition(uint32_t position);
    // Stable sort by position; the cursor keeps its number.
    void sort();

private:
    std::vector<Cue> cues_;
    size_t index_ = 0;
    bool current_ = false;
};

}  // namespace qoro::tags
