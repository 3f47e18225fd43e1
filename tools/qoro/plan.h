// Planning a run of qoro convert in proportion to its share. The list of
// files is read entry by entry, never whole; paths are worked out as text;
// a file's shard is chosen from its key before anything is asked of the
// file system. What every shard must agree on (two sources for one output,
// an output onto a source) is decided from the text alone, keeping a 128-bit
// hash of each output; the current folder and the output folder are looked
// up once. Only this shard's own files are looked at (does the output exist,
// is it older), so a shard of a large list costs its share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "library.h"

namespace qoro::cli {

// A path made normal as text: "." parts and empty parts dropped, "x/.."
// taken away; an absolute path keeps its "/", ".." above a relative start
// stay; a final "/" goes. Nothing is empty: the current folder is ".".
std::string normalText(std::string_view path);

// The entries of a --files-from list, read block by block. They are
// separated by NUL bytes when a NUL comes within the first 64 KiB (as find
// -print0 writes them; no path is that long), else by newlines. A final
// separator ends the last entry; an empty entry anywhere else, or a NUL in
// a list of lines, is refused.
class FileList {
public:
    FileList() = default;
    ~FileList();
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    // "-" reads standard input.
    bool open(const std::string& name, std::string& error);
    // The next entry: false at the end of the list, or on an error ('error' says which).
    bool next(std::string& entry, std::string& error);
    // The number of the entry last returned, from 1.
    size_t number() const { return number_; }

private:
    bool fill(std::string& error);
    std::string shownName() const { return name_ == "-" ? "standard input" : name_; }

    std::string name_;
    int fd_ = -1;
    std::vector<char> buffer_;
    size_t at_ = 0, end_ = 0;
    bool eof_ = false, decided_ = false;
    char separator_ = '\n';
    size_t number_ = 0;
};

struct Plan {
    std::vector<Job> jobs;   // this share's files in the order found, up to date ones included
    WalkReport walk;         // what walks left or could not read, in this share
    size_t otherShards = 0;  // files planned for the other shares
};

// Plans the run: the sources named on the command line, in the list and
// found by -R walks, their outputs, and this share's jobs. Refuses (false,
// one message per problem) outputs that collide with each other or with a
// source, folders named without -R, a list that cannot be read, and
// existing outputs of this share unless --overwrite, --skip-existing or
// --update.
bool planRun(const ConvertOptions& options, Plan& plan, std::vector<std::string>& problems);

}  // namespace qoro::cli
