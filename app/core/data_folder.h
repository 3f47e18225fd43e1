// Where the program keeps its files: OPTION.INI, the two list files, the
// default output folders "Wave Files/" and "Mp3 Files/" and the help file.
//
// The data folder is the folder of the running program when that folder is
// writable (portable use, the build tree, an unpacked package) and is not the
// folder the programs are installed into (root may write to /usr/bin, but an
// installed program keeps its files with the user), otherwise
// $XDG_CONFIG_HOME/quillet/ (~/.config/quillet/ by default). QUILLET_HOME
// overrides both. Every folder text handed around by the core ends in "/".
#pragma once

#include <string>

namespace quillet {

inline constexpr const char* kOptionFile = "OPTION.INI";
inline constexpr const char* kWaveFolderName = "Wave Files/";
inline constexpr const char* kMp3FolderName = "Mp3 Files/";
inline constexpr const char* kHelpFile = "Quillet.html";

// The data folder as described above, created when missing, ending in "/".
std::string resolveDataFolder();

// The same for a program in 'programFolder' of a build whose programs are
// installed into 'installedFolders' (colon-separated).
std::string resolveDataFolder(const std::string& programFolder, const std::string& installedFolders);

// True when 'folder' names one of 'installedFolders' (colon-separated), both
// compared with their links resolved.
bool isInstalledProgramFolder(const std::string& folder, const std::string& installedFolders);

// The folder of the running program file, ending in "/" (empty when unknown).
std::string programFileFolder();

// True when the text names a folder the process could make its current
// folder (exists, is a folder, may be entered). Does not change the current
// folder.
bool canEnterFolder(const std::string& folder);

// Creates the folder (one level; the parent must exist). Failure is silent.
void createFolder(const std::string& folder);

// "folder/" for "folder"; the empty text stays empty.
std::string withTrailingSlash(std::string folder);

}  // namespace quillet
