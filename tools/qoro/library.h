// qoro convert on whole music libraries: which files a folder walk takes,
// the --files-from list, mirroring folders under -o, cover images beside the
// outputs, and folders made safely while other processes make them too.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "convert.h"

namespace qoro::cli {

namespace fs = std::filesystem;

// Whether a folder walk takes the file: its extension (any letter case) is
// one of the kinds the components read and that carry their own format
// (raw sample files, G.72x and VOX streams do not, so they are never guessed
// from a folder).
bool isLibraryAudio(const fs::path& file);

// Whether a file name is a cover image that travels with its folder's
// outputs: cover.jpg, folder.jpg, front.* (any letter case).
bool isCoverImage(const std::string& name);

// Splits the text of a list of files: at NUL bytes when it holds one, else
// at newlines. A final empty entry (the list's last separator) is dropped;
// any other empty entry is refused ('error' says which).
bool splitFileList(const std::string& text, std::vector<std::string>& entries, std::string& error);

// Reads and splits the list named by --files-from ("-": standard input).
bool readFileList(const std::string& list, std::vector<std::string>& entries, std::string& error);

// Where a listed path goes under -o: a relative path that stays below the
// current folder as it is (normalised); an absolute one, or one that climbs
// above the current folder, as its absolute path without the leading "/".
fs::path mirrorOf(const std::string& entry);

// What gathering the sources found besides them.
struct WalkReport {
    std::vector<std::string> unreadable;  // folders that could not be read (skipped)
    std::vector<std::string> notes;       // links leading back into their own folders (not followed)
};

// The sources of a run: files named on the command line and in the list,
// and with -R the audio files of the folders among them, walked in sorted
// order. A walked file's output goes under -o at its path relative to the
// folder walked (for a listed folder, below that folder's own mirrored
// path); its shard key is that relative path. A file named directly goes
// into -o itself (command line) or at its mirrored path (list) and its shard
// key is its name as given. Names beginning with "." and the output folder
// are passed over. Without -R a folder is refused ('problems').
bool gatherSources(const ConvertOptions& options, std::vector<Source>& sources, WalkReport& report,
                   std::vector<std::string>& problems);

// Makes 'folder' and every missing folder above it. A folder that another
// process makes at the same moment is as good as one made here.
bool makeFolders(const fs::path& folder, std::string& cause);

// A cover image and its place beside the outputs of its folder.
struct CoverCopy {
    fs::path source;
    fs::path target;
};

// The cover images to copy for this process's jobs from walked (-R)
// folders, one per target name. Outputs beside their sources need none.
// Two different images for one target name: neither is copied, and 'notes'
// says why.
std::vector<CoverCopy> planCovers(const std::vector<Job>& jobs, std::vector<std::string>& notes);

enum class CoverResult {
    Copied,     // a new copy, or a replaced one
    Identical,  // an identical copy was there and was left alone
    Kept,       // a different file is there and was kept (see 'cause')
    Failed,     // could not be copied ('cause')
};

// Copies a cover image through a temporary file in the target folder that
// is renamed into place, so a reader never sees half a copy and processes
// copying the same image at once cannot disturb each other. An identical
// copy is left alone; a different file is replaced with --overwrite, or
// with --update when the source is newer, and kept otherwise.
CoverResult copyCover(const CoverCopy& cover, const ConvertOptions& options, unsigned serial, std::string& cause);

}  // namespace qoro::cli
