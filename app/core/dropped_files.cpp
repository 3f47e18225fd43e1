#include "core/dropped_files.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <sys/stat.h>

#include "core/file_types.h"

namespace quillet {

namespace {

struct Walk {
    ConversionMode mode;
    std::vector<std::string> found;
    std::set<std::pair<dev_t, ino_t>> listed;  // files listed so far
    std::set<std::pair<dev_t, ino_t>> walked;  // folders entered so far

    // A file is listed under the first name it comes up with.
    void addFile(const std::string& path, const struct stat& st) {
        if (listed.insert({st.st_dev, st.st_ino}).second) found.push_back(path);
    }

    // 'folder' has no trailing "/" (except the root itself, "/").
    void walkFolder(const std::string& folder, const struct stat& st) {
        if (!walked.insert({st.st_dev, st.st_ino}).second) return;
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return;
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        const std::string prefix = folder == "/" ? folder : folder + "/";
        for (const std::string& name : names) visit(prefix + name);
    }

    void visit(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode))
            walkFolder(path, st);
        else if (S_ISREG(st.st_mode) && isAudioFileOf(path, mode))
            addFile(path, st);
    }
};

// Trailing slashes off a folder name ("/" stays "/").
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

bool isAudioFileOf(const std::string& path, ConversionMode mode) {
    const std::string_view extension = usualExtension(modeTypes(mode).source);
    if (extension.empty()) return false;
    const size_t slash = path.find_last_of('/');
    const std::string_view name =
        slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    if (name.size() <= extension.size()) return false;
    const std::string_view tail = name.substr(name.size() - extension.size());
    return std::equal(tail.begin(), tail.end(), extension.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

std::vector<std::string> audioFilesIn(const std::vector<std::string>& paths, ConversionMode mode) {
    Walk walk{mode, {}, {}, {}};
    for (const std::string& path : paths) {
        if (path.empty()) continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            walk.walkFolder(withoutTrailingSlashes(path), st);
        else if (S_ISREG(st.st_mode) && isAudioFileOf(path, mode))
            walk.addFile(path, st);
    }
    return std::move(walk.found);
}

}  // namespace quillet
