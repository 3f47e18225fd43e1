#include "core/data_folder.h"

#include <cstdlib>
#include <filesystem>
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
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && xdg[0] == '/')
        base = xdg;
    else if (const char* user = std::getenv("HOME"); user && *user)
        base = std::string(user) + "/.config";
    else
        base = "/tmp";
    std::error_code ec;
    const fs::path folder = fs::path(base) / "quillet";
    fs::create_directories(folder, ec);
    return withTrailingSlash(folder.string());
}

}  // namespace quillet
