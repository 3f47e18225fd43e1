// The component registry file (stand-in for HKEY_CLASSES_ROOT).
#include "qoro/com_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qoro::com::registry {

namespace {

constexpr std::string_view kHeader = "QORO REGISTRY 1";
constexpr std::uintmax_t kMaxFileSize = 16u << 20;  // anything larger is not ours

// Key and value names match without regard to ASCII case, whatever locale
// the host program set (a locale's folding of single bytes would split the
// bytes of UTF-8 names inconsistently).
constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted string at s[pos]; advances pos past it.
bool unquote(std::string_view s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= s.size()) return false;
            c = s[pos];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += c;
        }
    }
    return false;
}

// Keys are stored without leading, trailing or doubled backslashes.
std::string normalKey(std::string_view key) {
    std::string out;
    for (char c : key) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

// Key names are at most 255 characters, as in the system registry; keys are
// at most 64 levels deep (ours are four), which keeps a damaged file from
// costing time and memory with the square of a key's length.
constexpr size_t kMaxKeyNameLength = 255;
constexpr int kMaxKeyDepth = 64;

bool validKey(std::string_view key) {
    if (key.empty()) return false;
    int depth = 1;
    size_t nameLength = 0;
    for (char c : key) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '[' || c == ']') return false;
        if (c == '\\') {
            if (++depth > kMaxKeyDepth) return false;
            nameLength = 0;
        } else if (++nameLength > kMaxKeyNameLength) {
            return false;
        }
    }
    return true;
}

bool hasPrefix(std::string_view key, std::string_view prefix) {
    if (key.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(key[i]) != lower(prefix[i])) return false;
    return true;
}

// 'key' is 'parent' or lies below it.
bool startsWithKey(std::string_view key, std::string_view parent) {
    return hasPrefix(key, parent) && (key.size() == parent.size() || key[parent.size()] == '\\');
}

class FileLock {
public:
    explicit FileLock(const std::filesystem::path& p) : fd_(::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_;
};

}  // namespace

bool CaseLess::operator()(std::string_view a, std::string_view b) const {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    // Key paths share long prefixes: skip the identical bytes eight at a time.
    for (uint64_t x = 0, y = 0; i + 8 <= n; i += 8) {
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) break;
    }
    for (; i < n; ++i) {
        const char x = lower(a[i]), y = lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

std::optional<std::string> Hive::value(std::string_view key, std::string_view name) const {
    auto k = keys_.find(normalKey(key));
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end()) return std::nullopt;
    return v->second;
}

bool Hive::hasKey(std::string_view key) const { return keys_.count(normalKey(key)) != 0; }

void Hive::createKey(std::string_view key) {
    const std::string k = normalKey(key);
    if (!validKey(k)) return;
    for (size_t pos = k.find('\\'); pos != std::string::npos; pos = k.find('\\', pos + 1)) keys_[k.substr(0, pos)];
    keys_[k];
}

void Hive::setValue(std::string_view key, std::string_view name, std::string_view value) {
    const std::string k = normalKey(key);
    if (!validKey(k)) return;
    createKey(k);
    keys_[k][std::string(name)] = std::string(value);
}

void Hive::removeTree(std::string_view key) {
    const std::string k = normalKey(key);
    if (k.empty()) return;
    // Keys sharing the prefix are contiguous; only the key and those below it go.
    for (auto it = keys_.lower_bound(k); it != keys_.end() && hasPrefix(it->first, k);) {
        if (startsWithKey(it->first, k))
            it = keys_.erase(it);
        else
            ++it;
    }
}

std::vector<std::string> Hive::subKeys(std::string_view key) const {
    const std::string k = normalKey(key);
    std::vector<std::string> out;
    for (auto it = keys_.upper_bound(k); it != keys_.end() && hasPrefix(it->first, k); ++it) {
        if (!startsWithKey(it->first, k)) continue;
        std::string_view rest = std::string_view(it->first).substr(k.size() + 1);
        if (rest.find('\\') == std::string_view::npos) out.emplace_back(rest);
    }
    return out;
}

std::string Hive::serialize() const {
    std::string out(kHeader);
    out += "\n";
    for (const auto& [key, values] : keys_) {
        out += "\n[" + key + "]\n";
        for (const auto& [name, value] : values)
            out += (name.empty() ? std::string("@") : quote(name)) + "=" + quote(value) + "\n";
    }
    return out;
}

bool Hive::parse(std::string_view text) {
    keys_.clear();
    std::istringstream in{std::string(text)};
    std::string line;
    if (!std::getline(in, line) || line.rfind(kHeader, 0) != 0) return false;
    std::string current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.rfind(']');
            current.clear();
            if (close == std::string::npos) continue;
            const std::string key = normalKey(std::string_view(line).substr(1, close - 1));
            if (!validKey(key)) continue;
            current = key;
            createKey(current);
            continue;
        }
        if (current.empty()) continue;
        std::string name, value;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!unquote(line, pos, name)) {
            continue;  // a damaged line is skipped
        }
        if (pos >= line.size() || line[pos] != '=') continue;
        ++pos;
        if (!unquote(line, pos, value)) continue;
        keys_[current][name] = value;
    }
    return true;
}

std::filesystem::path file() {
    if (const char* p = std::getenv("QORO_REGISTRY"); p && *p) return p;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::filesystem::path(x) / "qoro" / "registry";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "share" / "qoro" / "registry";
}

namespace {

Hive loadFrom(const std::filesystem::path& p) {
    Hive hive;
    std::error_code ec;
    const auto size = std::filesystem::file_size(p, ec);
    if (ec || size > kMaxFileSize) return hive;
    std::ifstream in(p, std::ios::binary);
    if (!in) return hive;
    std::string text(static_cast<size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    hive.parse(text);
    return hive;
}

}  // namespace

Hive load() { return loadFrom(file()); }

HRESULT update(const std::function<void(Hive&)>& edit) {
    const std::filesystem::path target = file();
    std::error_code ec;
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
    std::filesystem::path lockPath = target;
    lockPath += ".lock";
    FileLock lock(lockPath);
    if (!lock.locked()) return REGDB_E_WRITEREGDB;

    Hive hive = loadFrom(target);
    edit(hive);
    const std::string text = hive.serialize();

    std::filesystem::path temp = target;
    temp += ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            std::filesystem::remove(temp, ec);
            return REGDB_E_WRITEREGDB;
        }
    }
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return REGDB_E_WRITEREGDB;
    }
    return S_OK;
}

std::optional<std::string> value(std::string_view key, std::string_view name) { return load().value(key, name); }

std::optional<std::string> inprocServer(REFCLSID clsid) {
    return value("CLSID\\" + toString(clsid) + "\\InprocServer32");
}

}  // namespace qoro::com::registry
