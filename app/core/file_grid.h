// The file grid of the current mode and its list file.
//
// Five text cells per row: 1 check mark ("." checked, empty not), 2 row
// number, 3 title, 4 duration text, 5 full path. Rows are numbered from 1 and
// the grid has no size limit.
//
// List file ("mp3towav.log" / "wavtomp3.log"), lines ended by CR LF:
//   line 1: the number of rows in decimal
//   then per row: "." or " " immediately followed by the full path.
// Number, title and duration are rebuilt from the file itself on loading.
//
// One line is one row, whatever line 1 says: the grid never holds a path
// with a control character (a byte below 0x20, or DEL), so no path can add
// or split rows, and a damaged count never adds blank rows.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "core/components.h"
#include "core/settings.h"

namespace quillet {

inline constexpr int kColCheck = 1, kColNumber = 2, kColTitle = 3, kColDuration = 4, kColPath = 5;

struct GridRow {
    std::array<std::string, 5> cells;
    const std::string& cell(int column) const { return cells[static_cast<size_t>(column - 1)]; }
    std::string& cell(int column) { return cells[static_cast<size_t>(column - 1)]; }
    bool checked() const { return cells[0] == "."; }
};

// Trims leading and trailing space characters (only ' ').
std::string trimSpaces(const std::string& text);

// True when the text holds a byte below 0x20 or DEL (0x7F): such a name
// cannot be a row of a list file.
bool hasControlCharacter(const std::string& text);

// The part of a path after its last "/".
std::string fileNamePart(const std::string& path);

// Column 3 and 4 of a file: in Mp3ToWav the tag title, or the file name when
// the title is blank; in WavToMp3 always the file name. Duration as time text.
void fillFacts(GridRow& row, ConversionMode mode, const FileFacts& facts);

class FileGrid {
public:
    size_t rowCount() const { return rows_.size(); }
    // 1-based; row must lie in 1..rowCount.
    const GridRow& row(size_t row) const { return rows_[row - 1]; }
    const std::vector<GridRow>& rows() const { return rows_; }
    bool anyChecked() const;

    // Loads the mode's list file; when it does not exist it is created
    // holding "0" (one that exists but cannot be read is left alone). Each
    // listed path is analysed through info for columns 3, 4.
    // The rows are the path lines the file holds, in order: the count in
    // line 1 is the writer's and is not trusted (a count larger than the
    // lines adds nothing, a smaller one drops nothing). Lines without a path
    // and lines holding a control character are left out.
    void load(const std::string& listFile, ConversionMode mode, IAudioInformation* info);
    // Writes the list file anew: a temporary file beside it, flushed to the
    // disk, renamed over it, so the old list stays whole until the new one
    // is. Writing the text the file already holds from the last save is
    // skipped. False when it could not be written.
    bool save(const std::string& listFile) const;
    // The list file's text for the current rows.
    std::string listText() const;

    // Adds the paths not yet in the grid (exact, case-sensitive comparison of
    // the trimmed paths), checked, numbered, with their facts. A path holding
    // a control character is not added: it comes back in 'refused', as
    // given, for the caller to name in a message.
    struct AddResult {
        size_t added = 0;
        std::vector<std::string> refused;
    };
    AddResult addFiles(const std::vector<std::string>& paths, ConversionMode mode, IAudioInformation* info);
    void checkAll();
    void uncheckAll();
    void removeChecked();    // and renumbers from 1
    void removeUnchecked();  // and renumbers from 1
    // Removes one row and renumbers; false when there is no such row.
    bool removeRow(size_t row);
    void clear() { rows_.clear(); }
    // A click on a row: a blank mark becomes ".", anything else blank.
    // Out-of-range rows are ignored. Returns true when the row changed.
    bool toggle(size_t row);

private:
    void trimAll();
    void renumber();
    std::vector<GridRow> rows_;

    // What the last successful save wrote, and the file it left, so that
    // saving an unchanged grid again costs one stat.
    struct Saved {
        std::string file, text;
        unsigned long long device = 0, inode = 0;
        long long size = -1, mtimeNs = 0;
    };
    mutable Saved saved_;
};

}  // namespace quillet
