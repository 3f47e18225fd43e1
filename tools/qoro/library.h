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

// Whether AudioFile opens files of this extension by name (any letter case).
// Anything else it would read as raw samples, which only --from asks for.
bool componentsOpen(const fs::path& file);

// Whether the extension is that of an audio format the components do not
// read (m4a, ape, wv, ...): such files are counted as not converted rather
// than passed over as other files.
bool isUnreadAudio(const fs::path& file);

// Why a file the components do not open by its name is not read, by its
// extension: "the .m4a format is not supported", "a .txt file is no audio
// file qoro reads", "no extension tells its kind".
std::string unopenedKindCause(const fs::path& file);

// The extension of a file name, lower case and without its dot ("" when none).
std::string extensionOf(const fs::path& file);

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

// A file that is not converted because of its kind.
struct LeftFile {
    fs::path path;
    std::string shardKey;  // as a source's; files of other shards are not counted
    bool named = false;    // named on the command line or in the list, not found by a walk
};

// What gathering the sources found besides them.
struct WalkReport {
    std::vector<std::string> unreadable;  // folders that could not be read (skipped)
    std::vector<std::string> notes;       // links leading back into their own folders (not followed)
    std::vector<LeftFile> unsupported;    // audio files of kinds the components do not read
    std::vector<LeftFile> others;         // walked files that are neither audio nor copied covers
};

// The sources of a run: files named on the command line and in the list,
// and with -R the audio files of the folders among them, walked in sorted
// order. A walked file's output goes under -o at its path relative to the
// folder walked (for a listed folder, below that folder's own mirrored
// path); its shard key is that relative path. A file named directly goes
// into -o itself (command line) or at its mirrored path (list) and its shard
// key is its name as given. Names beginning with "." and the output folder
// are passed over. Without -R a folder is refused ('problems'). A named file
// that the components do not open by its extension is no source unless
// --from describes it: it goes to 'report.unsupported'; a walk puts audio
// files of other kinds there and every other file in 'report.others'.
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

// Copies a cover image through the safe replace: a temporary file in the
// target folder, renamed into place when complete, so a reader never sees
// half a copy and processes copying the same image at once cannot disturb
// each other. An identical
// copy is left alone; a different file is replaced with --overwrite, or
// with --update when the source is newer, and kept otherwise.
CoverResult copyCover(const CoverCopy& cover, const ConvertOptions& options, std::string& cause);

}  // namespace qoro::cli
