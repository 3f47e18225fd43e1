// qoro convert on whole music libraries: which files a folder walk takes,
// the folder walk, cover images beside the
// outputs, and folders made safely while other processes make them too.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert.h"

namespace qoro::cli {

namespace fs = std::filesystem;

// Whether a folder walk takes the file: its extension (any letter case) is
// one of a type AudioFile marks as walked (music that carries its own format;
// raw samples, G.72x and VOX streams and AVI films are never guessed from a
// folder).
bool isLibraryAudio(const fs::path& file);

// Whether a file name is a cover image that travels with its folder's
// outputs: cover.jpg, folder.jpg, front.* (any letter case).
bool isCoverImage(const std::string& name);

// Whether AudioFile opens files of this extension by name (any letter case).
// Anything else it would read as raw samples, which only --from asks for.
bool componentsOpen(const fs::path& file);
bool componentsOpenText(std::string_view path);  // the same, from the text of a path

// Whether the extension is that of sound the components know but do not
// read (m4a, ape, wv, ...): such files are counted as not converted rather
// than passed over as other files.
bool isUnreadAudio(const fs::path& file);

// Why a file the components do not open by its name is not read, by its
// extension: "the .m4a format is not supported", "a .txt file is no audio
// file qoro reads", "no extension tells its kind".
std::string unopenedKindCause(const fs::path& file);

// The extension of a file name, lower case and without its dot ("" when none).
std::string extensionOf(const fs::path& file);
std::string extensionOfText(std::string_view path);

// A file that is not converted because of its kind.
struct LeftFile {
    fs::path path;
    bool named = false;  // named on the command line or in the list, not found by a walk
};

// What gathering the sources found besides them, in this process's share.
struct WalkReport {
    std::vector<std::string> unreadable;  // folders that could not be read (skipped)
    std::vector<std::string> notes;       // links leading back into their own folders (not followed)
    std::vector<LeftFile> unsupported;    // audio files of kinds the components do not read
    std::vector<LeftFile> others;         // walked files that are neither audio nor copied covers
    // The cover images of every walked folder (by its path as walked), so
    // that planning the covers reads no folder a second time.
    std::unordered_map<std::string, std::vector<std::string>> covers;
};

// What a walk finds besides folders.
enum class Found {
    Audio,   // a file the walk takes (or a broken link with an audio name: it fails with its cause)
    Unread,  // audio of a format the components do not read
    Other,   // any other regular file but a cover image
};

// A -R walk: reads each folder once (its names and their kinds, from the
// folder itself), in byte order of the names, and hands each file to
// 'found' with its path and its path relative to the folder walked. Names
// beginning with "." are passed over, and so is the output folder. Only
// links and names of unknown kind are looked up one by one; a link that
// leads back into a folder above it is not followed (a note says so).
class FolderWalk {
public:
    using Identity = std::pair<dev_t, ino_t>;
    using Visit = std::function<void(const std::string& path, const std::string& relative, Found kind)>;
    // 'outputAbsolute': the -o folder as an absolute, normal path (empty when
    // none); 'outputId' its identity when it exists.
    FolderWalk(WalkReport& report, std::string outputAbsolute, std::optional<Identity> outputId, Visit found)
        : report_(report), outputAbsolute_(std::move(outputAbsolute)), outputId_(outputId), found_(std::move(found)) {}

    // Walks 'folder', whose absolute normal path is 'absolute'.
    void walk(const std::string& folder, const std::string& absolute);

private:
    void visit(const std::string& folder, const std::string& absolute, const std::string& relative,
               std::vector<Identity>& chain);

    WalkReport& report_;
    std::string outputAbsolute_;
    std::optional<Identity> outputId_;
    Visit found_;
};

// Makes 'folder' and every missing folder above it. A folder that another
// process makes at the same moment is as good as one made here.
bool makeFolders(const fs::path& folder, std::string& cause);

// A cover image and its place beside the outputs of its folder.
struct CoverCopy {
    fs::path source;
    fs::path target;
};

// The cover images to copy for this process's jobs from walked (-R)
// folders, one per target name; a folder the walk read is not read again. Outputs beside their sources need none.
// Two different images for one target name: neither is copied, and 'notes'
// says why.
std::vector<CoverCopy> planCovers(const std::vector<Job>& jobs, const WalkReport& walk, std::vector<std::string>& notes);

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
