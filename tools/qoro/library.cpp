#include "library.h"

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

#include "replace/replace.h"

namespace qoro::cli {

namespace {

// The extensions a folder walk takes (lower case, without the dot). A new
// container the components learn to read is one more line here.
constexpr std::array<std::string_view, 9> kLibraryExtensions = {
    "wav",   // RIFF WAVE, any sample format the component reads
    "flac",  // FLAC
    "opus",  // Ogg Opus
    "mp3",   // MPEG audio, all three layers
    "mp2",  "mp1",
    "ogg",  // Ogg Vorbis
    "mpc",  // MPEG Plus
    "mp+",
};

// Every extension AudioFile opens by name: the library's, and the kinds
// that carry no format of their own (raw samples, VOX, G.72x, GSM), AVI
// sound tracks, WMA (refused with its cause) and DSS speech.
constexpr std::array<std::string_view, 22> kOpenedExtensions = {
    "wav", "flac", "opus", "mp3", "mp2",   "mp1",  "mpeg", "ogg",  "mpc", "mp+", "vox",
    "pcm", "raw",  "dat",  "gsm", "adpcm", "g721", "g723", "g726", "avi", "wma", "dss",
};

// Audio formats people keep that the components do not read (yet).
constexpr std::array<std::string_view, 26> kUnreadAudioExtensions = {
    "m4a", "m4b", "m4p", "m4r", "mp4", "aac", "adts", "aif", "aiff", "aifc", "ape", "wv",  "tta",
    "dsf", "dff", "au",  "snd", "asf", "ac3", "eac3", "ec3", "mka",  "oga",  "spx", "caf", "shn",
};

template <size_t N>
bool listed(const std::array<std::string_view, N>& list, const std::string& ext) {
    return !ext.empty() && std::find(list.begin(), list.end(), ext) != list.end();
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A folder's identity, for finding links that lead back into the walk.
using Identity = std::pair<dev_t, ino_t>;

std::optional<Identity> identityOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

class Walker {
public:
    // 'output': the -o folder (empty when none), never walked into: the
    // outputs of this run, or of other shards running at the same time.
    Walker(std::vector<Source>& sources, WalkReport& report, const std::string& output)
        : sources_(sources), report_(report) {
        if (output.empty()) return;
        outputId_ = identityOf(output);
        outputPath_ = normalPath(output);
    }

    // Walks 'folder'; its files go below 'mirror' under -o.
    void walk(const fs::path& folder, const fs::path& mirror) {
        std::vector<Identity> chain;
        if (auto id = identityOf(folder)) chain.push_back(*id);
        visit(folder, {}, mirror, chain);
    }

private:
    void visit(const fs::path& folder, const fs::path& relative, const fs::path& mirror, std::vector<Identity>& chain) {
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        std::vector<std::string> names;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) names.push_back(it->path().filename().native());
        if (ec) {
            report_.unreadable.push_back(folder.native() + ": cannot read the folder: " + ec.message());
            return;
        }
        std::sort(names.begin(), names.end());  // byte order, the same on every machine
        for (const auto& name : names) {
            if (name.empty() || name[0] == '.') continue;  // hidden, and running conversions' temporaries
            const fs::path path = folder / name;
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0) {
                // A broken link with an audio name is a source that fails
                // with its cause; anything else is not ours to mention.
                if (isLibraryAudio(path)) add(path, relative / name, mirror);
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                const Identity id{st.st_dev, st.st_ino};
                if ((outputId_ && id == *outputId_) || (!outputPath_.empty() && normalPath(path) == outputPath_))
                    continue;
                if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
                    report_.notes.push_back(path.native() + ": leads back into a folder above it; not followed");
                    continue;
                }
                chain.push_back(id);
                visit(path, relative / name, mirror, chain);
                chain.pop_back();
            } else if (S_ISREG(st.st_mode)) {
                if (isLibraryAudio(path))
                    add(path, relative / name, mirror);
                else if (isUnreadAudio(path))
                    report_.unsupported.push_back(LeftFile{path, (relative / name).native(), false});
                else if (!isCoverImage(name))
                    report_.others.push_back(LeftFile{path, (relative / name).native(), false});
            }
        }
    }

    void add(const fs::path& path, const fs::path& relative, const fs::path& mirror) {
        sources_.push_back(Source{path, (mirror / relative).parent_path(), relative.native(), true});
    }

    // Absolute, without "." and ".." and without a final "/"; a folder that
    // does not exist yet (another shard may make it any moment) is known by it.
    static fs::path normalPath(const fs::path& path) {
        std::error_code ec;
        fs::path normal = fs::absolute(path, ec).lexically_normal();
        if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path())
            normal = normal.parent_path();
        return normal;
    }

    std::vector<Source>& sources_;
    WalkReport& report_;
    std::optional<Identity> outputId_;
    fs::path outputPath_;
};

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

std::string extensionOf(const fs::path& file) {
    std::string ext = lowered(file.extension().native());
    return ext.size() < 2 ? std::string() : ext.substr(1);
}

bool isLibraryAudio(const fs::path& file) { return listed(kLibraryExtensions, extensionOf(file)); }
bool componentsOpen(const fs::path& file) { return listed(kOpenedExtensions, extensionOf(file)); }
bool isUnreadAudio(const fs::path& file) {
    const std::string ext = extensionOf(file);
    // WMA is opened, and refused with its cause; a walk counts it here.
    return ext == "wma" || listed(kUnreadAudioExtensions, ext);
}

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

bool splitFileList(const std::string& text, std::vector<std::string>& entries, std::string& error) {
    const char separator = text.find('\0') != std::string::npos ? '\0' : '\n';
    size_t start = 0;
    size_t number = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        ++number;
        if (end == start) {
            error = "entry " + std::to_string(number) + " of the list is empty";
            return false;
        }
        entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool readFileList(const std::string& list, std::vector<std::string>& entries, std::string& error) {
    std::string text;
    FILE* file = list == "-" ? stdin : std::fopen(list.c_str(), "rb");
    if (!file) {
        error = "cannot read the list " + list + ": " + std::strerror(errno);
        return false;
    }
    std::array<char, 65536> buffer{};
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) text.append(buffer.data(), got);
    const bool failed = std::ferror(file) != 0;
    const int readError = errno;
    if (file != stdin) std::fclose(file);
    if (failed) {
        error = "cannot read the list " + (list == "-" ? std::string("on standard input") : list) + ": " +
                std::strerror(readError);
        return false;
    }
    if (!splitFileList(text, entries, error)) {
        error = (list == "-" ? std::string("standard input") : list) + ": " + error;
        return false;
    }
    return true;
}

fs::path mirrorOf(const std::string& entry) {
    fs::path normal = fs::path(entry).lexically_normal();
    const bool climbs = !normal.empty() && *normal.begin() == "..";
    if (normal.is_absolute() || climbs) {
        std::error_code ec;
        fs::path absolute = fs::absolute(entry, ec);
        normal = (ec ? fs::path(entry) : absolute).lexically_normal().relative_path();
    }
    if (normal == ".") return {};
    // "a/b/" normalises to "a/b/": the folder itself.
    if (!normal.empty() && !normal.has_filename()) normal = normal.parent_path();
    return normal;
}

bool gatherSources(const ConvertOptions& o, std::vector<Source>& sources, WalkReport& report,
                   std::vector<std::string>& problems) {
    Walker walker(sources, report, o.output);
    std::error_code ec;
    auto folderRefused = [&](const std::string& name) {
        problems.push_back(name + ": is a folder (-R converts the audio files it holds)");
    };
    for (const auto& input : o.inputs) {
        if (fs::is_directory(input, ec)) {
            if (o.recursive)
                walker.walk(input, {});
            else
                folderRefused(input);
        } else if (o.from || componentsOpen(input)) {
            sources.push_back(Source{input, {}, input, o.recursive});
        } else {
            report.unsupported.push_back(LeftFile{input, input, true});
        }
    }
    if (o.filesFrom) {
        std::vector<std::string> entries;
        std::string error;
        if (!readFileList(*o.filesFrom, entries, error)) {
            problems.push_back(error);
            return false;
        }
        for (const auto& entry : entries) {
            const fs::path mirror = mirrorOf(entry);
            if (fs::is_directory(entry, ec)) {
                if (o.recursive)
                    walker.walk(entry, mirror);
                else
                    folderRefused(entry);
            } else if (o.from || componentsOpen(entry)) {
                sources.push_back(Source{entry, mirror.parent_path(), entry, o.recursive});
            } else {
                report.unsupported.push_back(LeftFile{entry, entry, true});
            }
        }
    }
    return problems.empty();
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

std::vector<CoverCopy> planCovers(const std::vector<Job>& jobs, std::vector<std::string>& notes) {
    // Each pair of source and target folders once, in the jobs' order.
    std::vector<std::pair<fs::path, fs::path>> folders;
    std::set<std::pair<fs::path, fs::path>> seen;
    for (const auto& job : jobs) {
        if (!job.library || !job.ownShard) continue;
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
        fs::directory_iterator it(source, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().native();
            std::error_code fe;
            if (isCoverImage(name) && fs::is_regular_file(it->path(), fe)) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
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
