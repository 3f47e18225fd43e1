#include "core/file_grid.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/time_text.h"
#include "profile/profile.h"

namespace quillet {

namespace {

// The identity of a file as a stat gives it, to tell whether the list file
// is still the one the last save wrote.
struct FileStamp {
    unsigned long long device = 0, inode = 0;
    long long size = -1, mtimeNs = 0;
};

bool stampOf(const std::string& file, FileStamp& stamp) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

}  // namespace

bool hasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

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
    saved_ = {};
    std::ifstream in(listFile, std::ios::binary);
    if (!in) {
        // Only a missing list is created: one that exists but cannot be read
        // is left for the user to look at.
        struct stat st {};
        if (::lstat(listFile.c_str(), &st) != 0 && errno == ENOENT) qoro::profile::replaceFile(listFile, "0\r\n");
        return;
    }
    bool countLine = true;
    for (std::string line; std::getline(in, line);) {
        if (countLine) {  // line 1: the writer's count, see above
            countLine = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || hasControlCharacter(line)) continue;
        std::string path = trimSpaces(line.substr(1));
        if (path.empty()) continue;
        GridRow row;
        row.cell(kColCheck) = trimSpaces(line.substr(0, 1));
        row.cell(kColNumber) = std::to_string(rows_.size() + 1);
        row.cell(kColPath) = std::move(path);
        fillFacts(row, mode, readFacts(info, row.cell(kColPath)));
        rows_.push_back(std::move(row));
    }
}

std::string FileGrid::listText() const {
    std::string body;
    size_t count = 0;
    for (const GridRow& row : rows_) {
        const std::string path = trimSpaces(row.cell(kColPath));
        // Rows never hold such paths (load and addFiles keep them out); the
        // check keeps the file's rows whole whatever happens.
        if (path.empty() || hasControlCharacter(path)) continue;
        const std::string mark = trimSpaces(row.cell(kColCheck));
        body += mark == "." ? '.' : ' ';
        body += path;
        body += "\r\n";
        ++count;
    }
    return std::to_string(count) + "\r\n" + body;
}

bool FileGrid::save(const std::string& listFile) const {
    const std::string text = listText();
    FileStamp now;
    if (saved_.file == listFile && saved_.text == text && stampOf(listFile, now) && now.device == saved_.device &&
        now.inode == saved_.inode && now.size == saved_.size && now.mtimeNs == saved_.mtimeNs)
        return true;
    saved_ = {};
    if (!qoro::profile::replaceFile(listFile, text)) return false;
    if (stampOf(listFile, now)) saved_ = {listFile, text, now.device, now.inode, now.size, now.mtimeNs};
    return true;
}

void FileGrid::trimAll() {
    for (GridRow& row : rows_)
        for (std::string& cell : row.cells) cell = trimSpaces(cell);
}

void FileGrid::renumber() {
    for (size_t i = 0; i < rows_.size(); ++i) rows_[i].cell(kColNumber) = std::to_string(i + 1);
}

FileGrid::AddResult FileGrid::addFiles(const std::vector<std::string>& paths, ConversionMode mode,
                                       IAudioInformation* info) {
    trimAll();
    std::unordered_set<std::string> known;
    for (const GridRow& row : rows_) known.insert(row.cell(kColPath));
    AddResult result;
    for (const std::string& chosen : paths) {
        if (hasControlCharacter(chosen)) {
            result.refused.push_back(chosen);
            continue;
        }
        std::string path = trimSpaces(chosen);
        if (path.empty() || !known.insert(path).second) continue;
        GridRow row;
        row.cell(kColCheck).assign(1, '.');
        row.cell(kColNumber) = std::to_string(rows_.size() + 1);
        row.cell(kColPath) = path;
        fillFacts(row, mode, readFacts(info, path));
        rows_.push_back(std::move(row));
        ++result.added;
    }
    return result;
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

bool FileGrid::removeRow(size_t row) {
    if (row < 1 || row > rows_.size()) return false;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row - 1));
    renumber();
    return true;
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
