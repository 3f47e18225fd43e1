#include "core/data_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace quillet {

std::string withTrailingSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string programFileFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);  // GetModuleFileName
    if (ec || exe.empty()) return {};
    return withTrailingSlash(exe.parent_path().string());
}

bool canEnterFolder(const std::string& folder) {
    if (folder.empty()) return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::access(folder.c_str(), X_OK) == 0;  // what SetCurrentDirectory needs
}

void createFolder(const std::string& folder) {
    if (!folder.empty()) ::mkdir(folder.c_str(), 0777);
}

void createFolders(const std::string& folder) {
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);
}

static bool writableFolder(const std::string& folder) {
    return canEnterFolder(folder) && ::access(folder.c_str(), W_OK) == 0;
}

// The folder with its links resolved and without a trailing "/" (as given
// when it cannot be resolved).
static fs::path resolvedFolder(const std::string& folder) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(fs::path(folder), ec);
    if (ec) resolved = fs::path(folder).lexically_normal();
    if (!resolved.has_filename() && resolved.has_parent_path() && resolved != resolved.root_path())
        resolved = resolved.parent_path();
    return resolved;
}

bool isInstalledProgramFolder(const std::string& folder, const std::string& installedFolders) {
    if (folder.empty()) return false;
    const fs::path own = resolvedFolder(folder);
    size_t start = 0;
    while (start <= installedFolders.size()) {
        size_t end = installedFolders.find(':', start);
        if (end == std::string::npos) end = installedFolders.size();
        const std::string installed = installedFolders.substr(start, end - start);
        if (!installed.empty() && installed[0] == '/' && resolvedFolder(installed) == own) return true;
        start = end + 1;
    }
    return false;
}

// The folder user configuration goes in: an absolute XDG_CONFIG_HOME, else
// "$HOME/.config"; empty when neither is set.
static std::string configBase() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config";
    return {};
}

std::string userConfigFolder() {
    const std::string base = configBase();
    return base.empty() ? std::string() : withTrailingSlash(base) + "quillet/";
}

// The value of the XDG_MUSIC_DIR line of a user-dirs.dirs file: the last
// such line counts (the file is a shell fragment). The quoted value is either
// absolute or "$HOME" followed by "/..." ; backslashes escape the next
// character. Empty when the file has no usable line.
static std::string musicDirFromUserDirs(const std::string& file, const std::string& home) {
    std::ifstream in(file, std::ios::binary);
    std::string found;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] == '#') continue;
        static constexpr std::string_view kKey = "XDG_MUSIC_DIR=";
        if (line.compare(at, kKey.size(), kKey) != 0) continue;
        at += kKey.size();
        if (at >= line.size() || line[at] != '"') continue;
        std::string value;
        bool closed = false;
        for (size_t i = at + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[++i];
            } else if (line[i] == '"') {
                closed = true;
                break;
            } else {
                value += line[i];
            }
        }
        if (!closed) continue;
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
            if (home.empty()) continue;
            value = home + value.substr(5);
        } else if (value.empty() || value[0] != '/') {
            continue;
        }
        found = value;
    }
    return found;
}

std::string userMusicFolder() {
    if (const char* music = std::getenv("XDG_MUSIC_DIR"); music && music[0] == '/') return withTrailingSlash(music);
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) home = h;
    if (const std::string base = configBase(); !base.empty()) {
        const std::string music = musicDirFromUserDirs(withTrailingSlash(base) + "user-dirs.dirs", home);
        if (!music.empty()) return withTrailingSlash(music);
    }
    return home.empty() ? std::string() : withTrailingSlash(home) + "Music/";
}

std::string defaultOutputBase(const std::string& dataRoot) {
    const std::string config = userConfigFolder();
    if (dataRoot.empty() || config.empty() || resolvedFolder(dataRoot) != resolvedFolder(config)) return dataRoot;
    const std::string music = userMusicFolder();
    return music.empty() ? dataRoot : music + "Quillet/";
}

std::string resolveDataFolder() {
#ifdef QUILLET_INSTALLED_BINDIRS
    return resolveDataFolder(programFileFolder(), QUILLET_INSTALLED_BINDIRS);
#else
    return resolveDataFolder(programFileFolder(), std::string());
#endif
}

std::string resolveDataFolder(const std::string& programFolder, const std::string& installedFolders) {
    if (const char* home = std::getenv("QUILLET_HOME"); home && *home) {
        std::error_code ec;
        fs::create_directories(home, ec);
        return withTrailingSlash(home);
    }
    if (!programFolder.empty() && writableFolder(programFolder) &&
        !isInstalledProgramFolder(programFolder, installedFolders))
        return withTrailingSlash(programFolder);
    std::string base = configBase();
    if (base.empty()) base = "/tmp";
    std::error_code ec;
    const fs::path folder = fs::path(base) / "quillet";
    fs::create_directories(folder, ec);
    return withTrailingSlash(folder.string());
}

}  // namespace quillet
