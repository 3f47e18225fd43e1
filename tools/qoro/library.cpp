#include "library.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "formats.h"
#include "replace/replace.h"

namespace qoro::cli {

namespace {

bool listed(const ExtensionSet& set, const std::string& ext) { return !ext.empty() && set.count(ext) > 0; }

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Joins a folder and a name as text ("a" + "b" = "a/b", "/" + "b" = "/b").
std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool sameBytes(const fs::path& a, const fs::path& b) {
    std::error_code ea, eb;
    const auto sizeA = fs::file_size(a, ea), sizeB = fs::file_size(b, eb);
    if (ea || eb || sizeA != sizeB) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::array<char, 65536> ba{}, bb{};
    while (fa && fb) {
        fa.read(ba.data(), ba.size());
        fb.read(bb.data(), bb.size());
        if (fa.gcount() != fb.gcount()) return false;
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    }
    return fa.eof() && fb.eof();
}

}  // namespace

std::string extensionOfText(std::string_view path) {
    // From the text of the name: no parts of the path are made.
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size() || name == "..") return {};
    return lowered(std::string(name.substr(dot + 1)));
}

std::string extensionOf(const fs::path& file) { return extensionOfText(file.native()); }

// What the components say of each extension (formats.h): a walk takes the
// types marked as music; AudioFile opens every type it reads by name; sound
// of the kinds it knows but does not read is counted as not converted.
bool isLibraryAudio(const fs::path& file) { return listed(formats().walked, extensionOf(file)); }
bool componentsOpen(const fs::path& file) { return componentsOpenText(file.native()); }
bool componentsOpenText(std::string_view path) { return listed(formats().opened, extensionOfText(path)); }
bool isUnreadAudio(const fs::path& file) { return listed(formats().unread, extensionOf(file)); }

std::string unopenedKindCause(const fs::path& file) {
    const std::string ext = extensionOf(file);
    if (ext.empty()) return "no extension tells its kind";
    if (isUnreadAudio(file)) return "the ." + ext + " format is not supported";
    return "a ." + ext + " file is no audio file qoro reads";
}

bool isCoverImage(const std::string& name) {
    const std::string key = lowered(name);
    return key == "cover.jpg" || key == "folder.jpg" || (key.size() > 6 && key.compare(0, 6, "front.") == 0);
}

void FolderWalk::walk(const std::string& folder, const std::string& absolute) {
    std::vector<Identity> chain;
    visit(folder, absolute, {}, chain);
}

void FolderWalk::visit(const std::string& folder, const std::string& absolute, const std::string& relative,
                       std::vector<Identity>& chain) {
    // The folder is opened once: its identity and every name with its kind.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat self {};
    if (fd < 0 || ::fstat(fd, &self) != 0) {
        report_.unreadable.push_back(folder + ": cannot read the folder: " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return;
    }
    const Identity id{self.st_dev, self.st_ino};
    if (outputId_ && id == *outputId_) {  // the outputs, reached through a link
        ::close(fd);
        return;
    }
    if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
        report_.notes.push_back(folder + ": leads back into a folder above it; not followed");
        ::close(fd);
        return;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        report_.unreadable.push_back(folder + ": cannot read the folder: " + std::strerror(errno));
        ::close(fd);
        return;
    }
    std::vector<std::pair<std::string, unsigned char>> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;  // hidden, and running conversions' temporaries
        entries.emplace_back(entry->d_name, entry->d_type);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        report_.unreadable.push_back(folder + ": cannot read the folder: " + std::strerror(readError));
        return;
    }
    std::sort(entries.begin(), entries.end());  // byte order, the same on every machine
    std::vector<std::string>& covers = report_.covers[folder];
    chain.push_back(id);
    for (auto& [name, type] : entries) {
        const std::string path = joined(folder, name);
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0) {
                // A broken link with an audio name is a source that fails
                // with its cause; anything else is not ours to mention.
                if (isLibraryAudio(name)) found_(path, joined(relative, name), Found::Audio);
                continue;
            }
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const std::string inside = joined(absolute, name);
            if (!outputAbsolute_.empty() && inside == outputAbsolute_) continue;
            visit(path, inside, joined(relative, name), chain);
        } else if (type == DT_REG) {
            if (isLibraryAudio(name))
                found_(path, joined(relative, name), Found::Audio);
            else if (isUnreadAudio(name))
                found_(path, joined(relative, name), Found::Unread);
            else if (isCoverImage(name))
                covers.push_back(name);
            else
                found_(path, joined(relative, name), Found::Other);
        }
    }
    chain.pop_back();
}

bool makeFolders(const fs::path& folder, std::string& cause) {
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (part.empty() || part == "/" || part == "." || part == "..") continue;
        if (::mkdir(partial.c_str(), 0777) == 0 || errno == EEXIST) continue;
        // Some file systems refuse to make what exists with another error.
        const int error = errno;
        struct stat st {};
        if (::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        cause = partial.native() + ": " + std::strerror(error);
        return false;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        cause = folder.native() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        cause = folder.native() + ": not a folder";
        return false;
    }
    return true;
}

std::vector<CoverCopy> planCovers(const std::vector<Job>& jobs, const WalkReport& walk,
                                  std::vector<std::string>& notes) {
    // Each pair of source and target folders once, in the jobs' order.
    std::vector<std::pair<fs::path, fs::path>> folders;
    std::set<std::pair<fs::path, fs::path>> seen;
    for (const auto& job : jobs) {
        if (!job.library) continue;
        auto pair = std::make_pair(job.source.parent_path(), job.target.parent_path());
        if (seen.insert(pair).second) folders.push_back(std::move(pair));
    }
    std::map<fs::path, CoverCopy> byTarget;
    std::set<fs::path> contested;
    std::vector<fs::path> order;
    for (const auto& [from, to] : folders) {
        const fs::path source = from.empty() ? fs::path(".") : from;
        const fs::path target = to.empty() ? fs::path(".") : to;
        std::error_code ec;
        if (fs::equivalent(source, target, ec)) continue;  // outputs beside their sources
        std::vector<std::string> names;
        if (auto walked = walk.covers.find(from.native()); walked != walk.covers.end()) {
            names = walked->second;  // in byte order already
        } else {
            // A file named with -R: its folder was not walked.
            fs::directory_iterator it(source, ec);
            for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
                const std::string name = it->path().filename().native();
                std::error_code fe;
                if (isCoverImage(name) && fs::is_regular_file(it->path(), fe)) names.push_back(name);
            }
            std::sort(names.begin(), names.end());
        }
        for (const auto& name : names) {
            CoverCopy copy{from / name, to / name};
            auto [it2, fresh] = byTarget.emplace(copy.target, copy);
            if (fresh) {
                order.push_back(copy.target);
            } else if (!sameBytes(it2->second.source, copy.source) && contested.insert(copy.target).second) {
                notes.push_back(copy.target.native() + ": not copied, " + it2->second.source.native() + " and " +
                                copy.source.native() + " differ");
            }
        }
    }
    std::vector<CoverCopy> covers;
    for (const auto& target : order)
        if (!contested.count(target)) covers.push_back(byTarget.at(target));
    return covers;
}

CoverResult copyCover(const CoverCopy& cover, const ConvertOptions& o, std::string& cause) {
    std::error_code ec;
    bool replacing = false;
    if (fs::exists(cover.target, ec)) {
        if (sameBytes(cover.source, cover.target)) return CoverResult::Identical;
        std::error_code se, te;
        const bool newer = fs::last_write_time(cover.source, se) > fs::last_write_time(cover.target, te);
        if (fs::is_directory(cover.target, ec)) {
            cause = "a folder of that name is in the way";
            return CoverResult::Kept;
        }
        if (!o.overwrite && !(o.update && !se && !te && newer)) {
            cause = o.update ? "a different file is there and is newer"
                             : "a different file is there (--overwrite replaces it)";
            return CoverResult::Kept;
        }
        replacing = true;
    }
    // The copy is made under a temporary name no other process uses and
    // renamed into place: a reader never sees half a copy.
    const int in = ::open(cover.source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        cause = std::string("cannot read it: ") + std::strerror(errno);
        return CoverResult::Failed;
    }
    replace::Temporary copy(cover.target);
    copy.copyFrom(in, 0);
    ::close(in);
    using Existing = replace::Temporary::Existing;
    if (const std::error_code failure = copy.commit(replacing ? Existing::Replace : Existing::Keep)) {
        // Another process put the same image there first: as good as ours.
        const bool appeared = failure == std::errc::file_exists;
        if (appeared && sameBytes(cover.source, cover.target)) return CoverResult::Identical;
        cause = appeared ? "a file of that name appeared meanwhile and was kept" : failure.message();
        return CoverResult::Failed;
    }
    return CoverResult::Copied;
}

}  // namespace qoro::cli
