#include "profile/profile.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "replace/replace.h"

namespace qoro::profile {

namespace {

namespace fs = std::filesystem;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// One line of the file: [begin, end) is the text without its line break,
// next is where the following line starts.
struct Line {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
};

enum class Kind { Other, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;   // section or key name
    std::string_view value;  // value of a key line (trimmed, quotes kept)
};

std::vector<Line> splitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    // Skip a UTF-8 byte-order mark; it stays in the file untouched.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        Line line;
        line.begin = pos;
        if (nl == std::string::npos) {
            line.end = line.next = text.size();
        } else {
            line.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
            line.next = nl + 1;
        }
        lines.push_back(line);
        pos = line.next;
    }
    return lines;
}

Parsed parse(std::string_view raw) {
    Parsed p;
    std::string_view s = trim(raw);
    if (s.empty() || s.front() == ';' || s.front() == '#') return p;
    if (s.front() == '[') {
        s.remove_prefix(1);
        size_t close = s.find(']');
        p.kind = Kind::Section;
        p.name = trim(close == std::string_view::npos ? s : s.substr(0, close));
        return p;
    }
    size_t eq = s.find('=');
    if (eq == std::string_view::npos) return p;
    p.name = trim(s.substr(0, eq));
    if (p.name.empty()) return p;
    p.kind = Kind::Key;
    p.value = trim(s.substr(eq + 1));
    return p;
}

std::optional<std::string> readWhole(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

// Where a section and a key stand in the file.
struct Location {
    bool sectionFound = false;
    size_t sectionLine = 0;    // index of the "[section]" line
    size_t lastInSection = 0;  // last non-blank line of the section (the header if none)
    bool keyFound = false;
    size_t keyLine = 0;
    std::string_view value;
};

// Names are compared without the blanks around them, as the file's are.
Location locate(const std::string& text, const std::vector<Line>& lines, std::string_view section,
                std::string_view key) {
    section = trim(section);
    key = trim(key);
    Location loc;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view raw(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
        Parsed p = parse(raw);
        if (p.kind == Kind::Section) {
            if (inside) break;  // only the first matching section counts
            if (sameName(p.name, section)) {
                inside = true;
                loc.sectionFound = true;
                loc.sectionLine = loc.lastInSection = i;
            }
            continue;
        }
        if (!inside) continue;
        if (!trim(raw).empty()) loc.lastInSection = i;
        if (p.kind == Kind::Key && !loc.keyFound && sameName(p.name, key)) {
            loc.keyFound = true;
            loc.keyLine = i;
            loc.value = p.value;
        }
    }
    return loc;
}

std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

std::string lineBreakOf(const std::vector<Line>& lines) {
    if (!lines.empty() && lines[0].next > lines[0].end + 1) return "\r\n";
    return "\n";
}

}  // namespace

std::optional<std::string> find(std::string_view section, std::string_view key, const std::string& file) {
    std::optional<std::string> text = readWhole(file);
    if (!text) return std::nullopt;
    std::vector<Line> lines = splitLines(*text);
    Location loc = locate(*text, lines, section, key);
    if (!loc.keyFound) return std::nullopt;
    return std::string(unquote(loc.value));
}

size_t getString(std::string_view section, std::string_view key, std::string_view defaultText, char* buffer,
                 size_t size, const std::string& file) {
    if (buffer == nullptr || size == 0) return 0;
    std::optional<std::string> value = find(section, key, file);
    std::string_view chosen;
    if (value) {
        chosen = *value;
    } else {
        chosen = defaultText;
        while (!chosen.empty() && isBlank(chosen.back())) chosen.remove_suffix(1);
    }
    size_t n = std::min(chosen.size(), size - 1);
    std::memcpy(buffer, chosen.data(), n);
    buffer[n] = '\0';
    return n;
}

std::string getString(std::string_view section, std::string_view key, std::string_view defaultText, size_t size,
                      const std::string& file) {
    if (size == 0) return {};
    std::string out(size, '\0');
    out.resize(getString(section, key, defaultText, out.data(), size, file));
    return out;
}

int getInt(std::string_view section, std::string_view key, int defaultValue, const std::string& file) {
    std::optional<std::string> value = find(section, key, file);
    if (!value) return defaultValue;
    std::string_view s = *value;
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    long long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        n = std::min<long long>(n * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    if (negative) n = -n;
    return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

bool writeString(std::string_view section, std::string_view key, std::string_view value, const std::string& file) {
    if (trim(section).empty() || trim(key).empty()) return false;
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) return false;
    if (section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos) return false;
    std::string_view k = trim(key);
    if (k.front() == '[' || k.front() == ';' || k.front() == '#') return false;

    std::error_code ec;
    bool exists = fs::exists(fs::path(file), ec);
    std::optional<std::string> old = readWhole(file);
    if (!old && exists) return false;  // there but unreadable: leave it alone
    std::string text = old.value_or(std::string());
    std::vector<Line> lines = splitLines(text);
    std::string eol = lineBreakOf(lines);
    Location loc = locate(text, lines, section, key);
    std::string entry = std::string(k) + "=" + std::string(value);

    std::string out;
    if (loc.keyFound) {
        const Line& line = lines[loc.keyLine];
        out = text.substr(0, line.begin) + entry + text.substr(line.end);
    } else if (loc.sectionFound) {
        const Line& line = lines[loc.lastInSection];
        out = text.substr(0, line.next);
        if (line.next == line.end) out += eol;  // the last line had no line break
        out += entry + eol + text.substr(line.next);
    } else {
        out = text;
        if (!out.empty() && out.back() != '\n') out += eol;
        if (!lines.empty() &&
            !trim(std::string_view(text.data() + lines.back().begin, lines.back().end - lines.back().begin)).empty())
            out += eol;
        out += "[" + std::string(trim(section)) + "]" + eol + entry + eol;
    }
    if (old && out == *old) return true;
    return replaceFile(file, out);
}

bool removeKey(std::string_view section, std::string_view key, const std::string& file) {
    std::optional<std::string> old = readWhole(file);
    if (!old) {
        std::error_code ec;
        return !fs::exists(fs::path(file), ec);
    }
    std::vector<Line> lines = splitLines(*old);
    Location loc = locate(*old, lines, section, key);
    if (!loc.keyFound) return true;
    const Line& line = lines[loc.keyLine];
    std::string out = old->substr(0, line.begin) + old->substr(line.next);
    return replaceFile(file, out);
}

bool replaceFile(const std::string& file, const std::string& text) {
    // Only a file is replaced: a folder or a device of that name stays.
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
    replace::Temporary out{fs::path(file)};
    out.write(text.data(), text.size());
    return !out.commit();
}

}  // namespace qoro::profile
