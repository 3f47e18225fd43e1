// Where the program keeps its files: OPTION.INI, the two list files, the
// default output folders "Wave Files/" and "Mp3 Files/" and the help file.
//
// The data folder is the folder of the running program when that folder is
// writable (portable use, the build tree, an unpacked package) and is not the
// folder the programs are installed into (root may write to /usr/bin, but an
// installed program keeps its files with the user), otherwise
// $XDG_CONFIG_HOME/quillet/ (~/.config/quillet/ by default). QUILLET_HOME
// overrides both. Every folder text handed around by the core ends in "/".
//
// The default output folders sit in the data folder, except for an installed
// program (its data folder is the user's config folder): they go into the
// user's music folder, "$XDG_MUSIC_DIR/Quillet/Wave Files/" and
// ".../Quillet/Mp3 Files/", where the user finds them.
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

// The user's config folder for Quillet, "$XDG_CONFIG_HOME/quillet/" (an
// absolute XDG_CONFIG_HOME only), else "$HOME/.config/quillet/"; empty when
// neither is set.
std::string userConfigFolder();

// The user's music folder, ending in "/": XDG_MUSIC_DIR when the environment
// holds an absolute one, else its line in the user's
// "$XDG_CONFIG_HOME/user-dirs.dirs" (XDG_MUSIC_DIR="$HOME/Music", "$HOME"
// expanded), else "$HOME/Music/". Empty when HOME is not set either.
std::string userMusicFolder();

// Where the default output folders of the data folder 'dataRoot' go, ending
// in "/": the music folder's "Quillet/" when 'dataRoot' is the user's config
// folder and the music folder is known, otherwise 'dataRoot' itself.
std::string defaultOutputBase(const std::string& dataRoot);

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

// Creates the folder and any missing parents. Failure is silent.
void createFolders(const std::string& folder);

// "folder/" for "folder"; the empty text stays empty.
std::string withTrailingSlash(std::string folder);

}  // namespace quillet
