#include "core/file_grid.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_set>

#include <unistd.h>

#include "core/time_text.h"

namespace quillet {

namespace {

// Rows a list file may declare beyond the paths it holds: the old grid held
// 200 rows, so padding never takes a grid past that size. Keeps a damaged
// count from allocating without end.
constexpr size_t kMaxPaddedRows = 200;

}  // namespace

std::string trimSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string fileNamePart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void fillFacts(GridRow& row, ConversionMode mode, const FileFacts& facts) {
    const std::string& path = row.cell(kColPath);
    if (mode == ConversionMode::Mp3ToWav && !trimSpaces(facts.title).empty())
        row.cell(kColTitle) = facts.title;
    else
        row.cell(kColTitle) = fileNamePart(path);
    row.cell(kColDuration) = timeText(facts.durationMs / 1000);
}

bool FileGrid::anyChecked() const {
    return std::any_of(rows_.begin(), rows_.end(), [](const GridRow& r) { return r.checked(); });
}

void FileGrid::load(const std::string& listFile, ConversionMode mode, IAudioInformation* info) {
    rows_.clear();
    std::ifstream in(listFile, std::ios::binary);
    if (!in) {
        {
            std::ofstream create(listFile, std::ios::binary | std::ios::trunc);
            create << "0\r\n";
        }
        return;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    if (lines.empty()) return;
    const int32_t declared = leadingNumber(lines[0]);
    if (declared <= 0) return;
    const size_t listed = lines.size() - 1;
    size_t count = static_cast<size_t>(declared);
    if (count > listed) count = std::max(listed, std::min(count, kMaxPaddedRows));
    rows_.resize(count);
    for (size_t i = 0; i < count && i < listed; ++i) {
        const std::string& line = lines[i + 1];
        GridRow& row = rows_[i];
        row.cell(kColCheck) = trimSpaces(line.substr(0, std::min<size_t>(1, line.size())));
        row.cell(kColNumber) = std::to_string(i + 1);
        row.cell(kColPath) = line.size() > 1 ? line.substr(1) : std::string();
        fillFacts(row, mode, readFacts(info, row.cell(kColPath)));
    }
}

std::string FileGrid::listText() const {
    std::string text = std::to_string(rows_.size()) + "\r\n";
    for (const GridRow& row : rows_) {
        const std::string mark = trimSpaces(row.cell(kColCheck));
        text += mark.empty() ? std::string(" ") : mark;
        text += trimSpaces(row.cell(kColPath));
        text += "\r\n";
    }
    return text;
}

bool FileGrid::save(const std::string& listFile) const {
    const std::string temp = listFile + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        const std::string text = listText();
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), listFile.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

void FileGrid::trimAll() {
    for (GridRow& row : rows_)
        for (std::string& cell : row.cells) cell = trimSpaces(cell);
}

void FileGrid::renumber() {
    for (size_t i = 0; i < rows_.size(); ++i) rows_[i].cell(kColNumber) = std::to_string(i + 1);
}

size_t FileGrid::addFiles(const std::vector<std::string>& paths, ConversionMode mode, IAudioInformation* info) {
    trimAll();
    std::unordered_set<std::string> known;
    for (const GridRow& row : rows_) known.insert(row.cell(kColPath));
    size_t added = 0;
    for (const std::string& chosen : paths) {
        std::string path = trimSpaces(chosen);
        if (!known.insert(path).second) continue;
        GridRow row;
        row.cell(kColCheck) = ".";
        row.cell(kColNumber) = std::to_string(rows_.size() + 1);
        row.cell(kColPath) = path;
        fillFacts(row, mode, readFacts(info, path));
        rows_.push_back(std::move(row));
        ++added;
    }
    return added;
}

void FileGrid::checkAll() {
    trimAll();
    for (GridRow& row : rows_) row.cell(kColCheck).assign(1, '.');
}

void FileGrid::uncheckAll() {
    trimAll();
    for (GridRow& row : rows_) row.cell(kColCheck).clear();
}

void FileGrid::removeChecked() {
    trimAll();
    std::erase_if(rows_, [](const GridRow& r) { return r.checked(); });
    renumber();
}

void FileGrid::removeUnchecked() {
    trimAll();
    std::erase_if(rows_, [](const GridRow& r) { return !r.checked(); });
    renumber();
}

bool FileGrid::toggle(size_t row) {
    if (row < 1 || row > rows_.size()) return false;
    std::string& mark = rows_[row - 1].cell(kColCheck);
    if (trimSpaces(mark).empty())
        mark.assign(1, '.');
    else
        mark.clear();
    return true;
}

}  // namespace quillet
