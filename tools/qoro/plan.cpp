#include "plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

namespace qoro::cli {

namespace {

constexpr size_t kBlock = 64 * 1024;      // read at a time; a NUL in the first one makes a NUL list
constexpr size_t kLongestEntry = 1 << 20;  // far beyond any path the system takes

// File systems that fold the letter case of names (statfs f_type).
constexpr long kMsdosMagic = 0x4d44;      // vfat, msdos
constexpr long kExfatMagic = 0x2011BAB0;  // exFAT

// FNV-1a, 128 bits: the key of an output or a source in the collision table.
struct Hash128 {
    uint64_t lo = 0, hi = 0;
};
Hash128 fnv1a128(std::string_view bytes) {
    using U128 = unsigned __int128;
    U128 hash = (static_cast<U128>(0x6c62272e07bb0142ull) << 64) | 0x62b821756295c58dull;
    const U128 prime = (static_cast<U128>(1) << 88) | 0x13b;
    static_assert(prime == (static_cast<U128>(1) << 88) + 0x13b);
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash = (hash << 88) + hash * 0x13b;  // hash * prime, the cheap way
    }
    return {static_cast<uint64_t>(hash), static_cast<uint64_t>(hash >> 64)};
}

// The outputs and sources of a run by the hash of their absolute path,
// appended as they come and sorted once at the end: equal hashes then stand
// together (a sort touches memory in order, where a table of a million
// entries would miss the cache at every look-up).
struct PathKey {
    uint64_t hi = 0, lo = 0;
    uint32_t origin = 0;  // who gives the output, or whose source it is
    uint8_t isSource = 0;
    bool operator<(const PathKey& o) const {
        if (hi != o.hi) return hi < o.hi;
        if (lo != o.lo) return lo < o.lo;
        if (isSource != o.isSource) return isSource < o.isSource;  // outputs first
        return origin < o.origin;
    }
    bool samePath(const PathKey& o) const { return hi == o.hi && lo == o.lo; }
};

std::string joined(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty()) return std::string(name);
    if (path.back() != '/') path += '/';
    path += name;
    return path;
}

std::string_view fileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "a/b/c.wav" -> "a/b", "c.wav" -> "", "/c.wav" -> "/".
std::string_view parentOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The name without its last extension, as std::filesystem has it.
std::string_view stemOf(std::string_view name) {
    if (name == "." || name == "..") return name;
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

void foldCase(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

constexpr uint32_t kListOrigin = 0x80000000u;  // an origin that is the list's entry number

class Planner {
public:
    Planner(const ConvertOptions& o, Plan& plan, std::vector<std::string>& problems)
        : o_(o), plan_(plan), problems_(problems) {}

    bool run() {
        if (!start()) return false;
        for (const auto& input : o_.inputs) fromCommandLine(input);
        if (o_.filesFrom && !fromList()) return false;
        if (stopped_) return false;
        checkOutputs();
        if (!problems_.empty()) return false;
        checkOwnOutputs();
        return problems_.empty();
    }

private:
    // The current folder and the output folder, once for the run.
    bool start() {
        char buffer[PATH_MAX];
        if (!::getcwd(buffer, sizeof buffer)) {
            problems_.push_back(std::string("cannot tell the current folder: ") + std::strerror(errno));
            return false;
        }
        cwd_ = buffer;
        outputIsFile_ = !o_.output.empty() && !outputNamesFolder(o_);
        if (o_.output.empty()) return true;
        outputLexical_ = absoluteText(o_.output);
        outputAbsolute_ = outputLexical_;
        struct stat st {};
        if (::stat(o_.output.c_str(), &st) == 0) {
            outputId_ = FolderWalk::Identity{st.st_dev, st.st_ino};
            if (char* real = ::realpath(o_.output.c_str(), nullptr)) {
                outputAbsolute_ = real;
                std::free(real);
            }
        }
        // Names compare case-folded where the outputs go to a file system
        // that folds them: the nearest folder that exists tells.
        std::string probe = outputIsFile_ ? std::string(parentOf(outputLexical_)) : outputLexical_;
        for (;;) {
            struct statfs fs {};
            if (::statfs(probe.c_str(), &fs) == 0) {
                fold_ = fs.f_type == kMsdosMagic || fs.f_type == kExfatMagic;
                break;
            }
            if (probe == "/" || probe.empty()) break;
            probe = std::string(parentOf(probe));
        }
        return true;
    }

    std::string absoluteText(std::string_view path) const {
        if (!path.empty() && path[0] == '/') return normalText(path);
        return normalText(joined(cwd_, path));
    }

    // Where a listed path goes under -o: a relative path that stays below
    // the current folder as it is (normal); an absolute one, or one that
    // climbs above the current folder, as its absolute path without the "/".
    std::string mirrorOf(std::string_view entry) const {
        std::string normal = normalText(entry);
        if (normal[0] == '/' || normal == ".." || normal.compare(0, 3, "../") == 0)
            normal = absoluteText(entry).substr(1);
        return normal == "." ? std::string() : normal;
    }

    bool ownShare(std::string_view key) const { return !o_.shard || o_.shard->holds(key); }

    uint32_t namedOrigin(const std::string& path) {
        names_.push_back({path, {}});
        return static_cast<uint32_t>(names_.size() - 1);
    }

    void folderRefused(const std::string& name) {
        problems_.push_back(name + ": is a folder (-R converts the audio files it holds)");
    }

    void fromCommandLine(const std::string& input) {
        std::error_code ec;
        if (fs::is_directory(input, ec)) {
            if (o_.recursive)
                walk(input, {});
            else
                folderRefused(input);
        } else if (o_.from || componentsOpen(input)) {
            offer(input, {}, input, o_.recursive, namedOrigin(input));
        } else if (ownShare(input)) {
            plan_.walk.unsupported.push_back(LeftFile{input, true});
        }
    }

    bool fromList() {
        FileList list;
        std::string error, entry;
        if (!list.open(*o_.filesFrom, error)) {
            problems_.push_back(error);
            return false;
        }
        while (!stopped_ && list.next(entry, error)) {
            // A name the components open is a file: taken as text. Anything
            // else (a folder to walk, a file of another kind) is looked at.
            const bool audio = o_.from || componentsOpenText(entry);
            if (!audio || entry.back() == '/') {
                struct stat st {};
                if (::stat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                    if (o_.recursive)
                        walk(entry, mirrorOf(entry));
                    else
                        folderRefused(entry);
                    continue;
                }
            }
            if (audio)
                offer(entry, parentOf(mirrorOf(entry)), entry, o_.recursive,
                      kListOrigin | static_cast<uint32_t>(list.number()));
            else if (ownShare(entry))
                plan_.walk.unsupported.push_back(LeftFile{entry, true});
        }
        if (!error.empty()) {
            problems_.push_back(error);
            return false;
        }
        return true;
    }

    void walk(std::string folder, const std::string& mirror) {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!walker_)
            walker_.emplace(plan_.walk, outputLexical_, outputId_,
                            [this](const std::string& path, const std::string& relative, Found kind) {
                                found(path, relative, kind);
                            });
        mirror_ = mirror;
        walker_->walk(folder, absoluteText(folder));
    }

    void found(const std::string& path, const std::string& relative, Found kind) {
        switch (kind) {
        case Found::Audio:
            offer(path, joined(mirror_, parentOf(relative)), relative, true, namedOrigin(path));
            break;
        case Found::Unread:
            if (ownShare(relative)) plan_.walk.unsupported.push_back(LeftFile{path, false});
            break;
        case Found::Other:
            if (ownShare(relative)) plan_.walk.others.push_back(LeftFile{path, false});
            break;
        }
    }

    // Where a source's output goes: its key (absolute, normal), its path
    // relative to where the run writes, and its name as the user gave the parts.
    struct Output {
        std::string key, relative;
        std::string folder, name;  // shown(): folder joined with name
        std::string shown() const { return joined(folder, name); }
    };
    Output outputOf(std::string_view path, std::string_view mirrorDir) const {
        Output out;
        out.name = stemOf(fileNameOf(path));
        out.name += '.';
        out.name += type_->extension;
        if (outputIsFile_) {
            out.key = absoluteText(o_.output);
            out.relative = fileNameOf(o_.output);
            out.name = o_.output;
        } else if (o_.output.empty()) {
            out.folder = parentOf(path);
            out.key = joined(parentOf(absoluteText(path)), out.name);
            out.relative = normalText(out.shown());
        } else {
            out.relative = joined(mirrorDir, out.name);
            out.key = joined(outputAbsolute_, out.relative);
            out.folder = o_.output;
            out.name = out.relative;
        }
        return out;
    }

    // One source: its output, the checks every shard makes, and a job when
    // it is this shard's.
    void offer(const std::string& path, std::string_view mirrorDir, std::string_view shardKey, bool library,
               uint32_t origin) {
        if (stopped_) return;
        if (!type_) {
            type_ = o_.to;
            if (!type_ && outputIsFile_) type_ = targetTypeByExtension(o_.output);
            if (!type_) {
                problems_.push_back(outputIsFile_ ? o_.output + ": cannot tell the output type from the name; use --to"
                                                  : "no output type: use --to, or -o with a file name");
                stopped_ = true;
                return;
            }
        }
        if (outputIsFile_ && ++sources_ > 1) {
            problems_.push_back(o_.output + ": not a folder, but there are several input files");
            stopped_ = true;
            return;
        }
        Output output = outputOf(path, mirrorDir);
        if (!(origin & kListOrigin)) names_[origin].second = output.shown();
        if (fold_) foldCase(output.key);
        const Hash128 hash = fnv1a128(output.key);
        keys_.push_back(PathKey{hash.hi, hash.lo, origin, 0});
        // A source can be an output only when its extension is the outputs'.
        std::string ext = extensionOfText(path);
        if (ext == type_->extension) {
            std::string sourceKey = absoluteText(path);
            if (fold_) foldCase(sourceKey);
            const Hash128 source = fnv1a128(sourceKey);
            keys_.push_back(PathKey{source.hi, source.lo, origin, 1});
        }
        // An album measured whole stays in one shard: its folder chooses.
        if (!ownShare(o_.replayGain == ConvertOptions::Gain::Album ? parentOf(shardKey) : shardKey)) {
            ++plan_.otherShards;
            return;
        }
        Job job;
        job.source = path;
        job.target = output.shown();
        job.outputKey = std::move(output.relative);
        job.type = *type_;
        job.library = library;
        plan_.jobs.push_back(std::move(job));
    }

    // The checks every shard makes alike, from the hashes alone: an output
    // of two sources, an output onto a source. The messages name the files:
    // list entries are read again from the list (not standard input: its
    // entries are named by number).
    void checkOutputs() {
        std::sort(keys_.begin(), keys_.end());
        struct Clash {
            uint32_t first, second;
            bool ontoSource;
        };
        std::vector<Clash> clashes;
        for (size_t i = 0; i < keys_.size();) {
            size_t end = i + 1;
            while (end < keys_.size() && keys_[end].samePath(keys_[i])) ++end;
            // Outputs sort before sources within one path.
            if (end - i > 1 && !keys_[i].isSource) {
                if (!keys_[i + 1].isSource)
                    clashes.push_back({keys_[i].origin, keys_[i + 1].origin, false});
                if (keys_[end - 1].isSource) clashes.push_back({keys_[i].origin, keys_[end - 1].origin, true});
            }
            i = end;
        }
        if (clashes.empty()) return;
        std::sort(clashes.begin(), clashes.end(), [](const Clash& a, const Clash& b) { return a.second < b.second; });
        std::map<uint32_t, std::pair<std::string, std::string>> entries;  // list entry -> source, output
        for (const auto& c : clashes)
            for (uint32_t origin : {c.first, c.second})
                if (origin & kListOrigin) entries[origin & ~kListOrigin];
        if (!entries.empty() && *o_.filesFrom != "-") {
            FileList list;
            std::string error, entry;
            if (list.open(*o_.filesFrom, error))
                while (list.number() < entries.rbegin()->first && list.next(entry, error))
                    if (auto it = entries.find(static_cast<uint32_t>(list.number())); it != entries.end())
                        it->second = {entry, outputOf(entry, parentOf(mirrorOf(entry))).shown()};
        }
        const auto named = [&](uint32_t origin) -> std::pair<std::string, std::string> {
            if (!(origin & kListOrigin)) return names_[origin];
            const auto& known = entries[origin & ~kListOrigin];
            if (!known.first.empty()) return known;
            return {"entry " + std::to_string(origin & ~kListOrigin) + " of the list", {}};
        };
        for (const auto& c : clashes) {
            const auto [first, output] = named(c.first);
            if (output.empty())  // standard input, read once
                problems_.push_back(first + " and " + named(c.second).first +
                                    (c.ontoSource ? ": an output onto a source" : ": one output for both"));
            else if (c.ontoSource)
                problems_.push_back(output + ": output would overwrite a source file");
            else
                problems_.push_back(output + ": output of both " + first + " and " + named(c.second).first);
        }
    }

    // This share's outputs that exist: refused, skipped, up to date or
    // replaced, as the options say. Two looks per file at most.
    void checkOwnOutputs() {
        for (auto& job : plan_.jobs) {
            struct stat target {};
            if (::stat(job.target.c_str(), &target) != 0) continue;
            if (S_ISDIR(target.st_mode) && (o_.overwrite || o_.update)) {
                problems_.push_back(job.target.native() + ": is a folder");
                continue;
            }
            struct stat source {};
            const bool sourceKnown = ::stat(job.source.c_str(), &source) == 0;
            if (sourceKnown && source.st_dev == target.st_dev && source.st_ino == target.st_ino) {
                problems_.push_back(job.target.native() + ": output would overwrite a source file");
                continue;
            }
            if (o_.update) {
                // Up to date when the output was written at or after the
                // source's last change; an unknown time converts again.
                const auto& s = source.st_mtim;
                const auto& t = target.st_mtim;
                const bool newer = t.tv_sec > s.tv_sec || (t.tv_sec == s.tv_sec && t.tv_nsec >= s.tv_nsec);
                if (sourceKnown && newer)
                    job.upToDate = true;
                else
                    job.replace = true;
            } else if (o_.skipExisting) {
                job.skip = true;
            } else if (!o_.overwrite) {
                problems_.push_back(job.target.native() + ": exists (use --overwrite, --skip-existing or --update)");
            }
        }
    }

    const ConvertOptions& o_;
    Plan& plan_;
    std::vector<std::string>& problems_;
    std::string cwd_, outputLexical_, outputAbsolute_;
    std::optional<FolderWalk::Identity> outputId_;
    bool outputIsFile_ = false, fold_ = false, stopped_ = false;
    std::optional<TargetType> type_;
    size_t sources_ = 0;
    std::vector<PathKey> keys_;
    std::vector<std::pair<std::string, std::string>> names_;  // sources named or walked and their outputs, by origin
    std::optional<FolderWalk> walker_;
    std::string mirror_;  // of the folder being walked
};

}  // namespace

namespace {

// Whether a path is normal already (the usual case): no empty, "." or ".."
// parts, and no final "/" ("/" itself is normal).
bool isNormal(std::string_view path) {
    if (path.empty()) return false;
    if (path == "/") return true;
    size_t start = path[0] == '/' ? 1 : 0;
    for (;;) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

}  // namespace

std::string normalText(std::string_view path) {
    if (isNormal(path)) return std::string(path);
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
            continue;
        }
        parts.push_back(part);
    }
    std::string text = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) text += '/';
        text += parts[i];
    }
    return text.empty() ? "." : text;
}

FileList::~FileList() {
    if (fd_ > STDIN_FILENO) ::close(fd_);
}

bool FileList::open(const std::string& name, std::string& error) {
    name_ = name;
    fd_ = name == "-" ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = "cannot read the list " + name + ": " + std::strerror(errno);
        return false;
    }
    buffer_.resize(kBlock);
    return true;
}

bool FileList::fill(std::string& error) {
    if (at_ > 0) {  // what is left of the last block to the front
        std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
        end_ -= at_;
        at_ = 0;
    }
    if (end_ == buffer_.size()) {
        if (buffer_.size() >= kLongestEntry) {
            error = shownName() + ": entry " + std::to_string(number_ + 1) + " of the list is too long for a path";
            return false;
        }
        buffer_.resize(buffer_.size() * 2);
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read the list " + (name_ == "-" ? std::string("on standard input") : name_) + ": " +
                    std::strerror(errno);
            return false;
        }
        if (got == 0) eof_ = true;
        end_ += static_cast<size_t>(got);
        return true;
    }
}

bool FileList::next(std::string& entry, std::string& error) {
    if (fd_ < 0) return false;
    while (!decided_) {  // NUL-separated when the first block holds a NUL
        if (end_ >= kBlock || eof_) {
            separator_ = std::memchr(buffer_.data(), '\0', end_) ? '\0' : '\n';
            decided_ = true;
        } else if (!fill(error)) {
            return false;
        }
    }
    for (;;) {
        const char* begin = buffer_.data() + at_;
        const void* found = std::memchr(begin, separator_, end_ - at_);
        if (found || (eof_ && at_ < end_)) {
            const char* stop = found ? static_cast<const char*>(found) : buffer_.data() + end_;
            entry.assign(begin, stop);
            at_ = static_cast<size_t>(stop - buffer_.data()) + (found ? 1 : 0);
            ++number_;
            if (entry.empty()) {
                error = shownName() + ": entry " + std::to_string(number_) + " of the list is empty";
                return false;
            }
            if (separator_ == '\n' && entry.find('\0') != std::string::npos) {
                error = shownName() + ": entry " + std::to_string(number_) + " of the list holds a NUL byte";
                return false;
            }
            return true;
        }
        if (eof_) return false;
        if (!fill(error)) return false;
    }
}

bool planRun(const ConvertOptions& options, Plan& plan, std::vector<std::string>& problems) {
    return Planner(options, plan, problems).run();
}

}  // namespace qoro::cli
