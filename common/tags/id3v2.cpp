#include "tags/id3v2.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "tags/text.h"

namespace qoro::tags {

namespace {

constexpr std::array<std::string_view, kId3v2FrameCount> kFrameIds = {
    "TIT2", "TPE1", "TALB", "TRCK", "TYER", "TCON", "COMM", "TCOM", "WXXX", "TENC", "TCOP"};

// Longest text kept from one frame; the rest of a larger frame is skipped.
constexpr uint32_t kMaxFrameText = 1u << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct Header {
    uint8_t flags = 0;
    uint32_t totalSize = 0;
};

std::optional<Header> readHeader(std::FILE* f) {
    uint8_t h[10];
    if (std::fread(h, 1, 10, f) != 10) return std::nullopt;
    if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] != 3) return std::nullopt;
    struct stat st {};
    if (::fstat(::fileno(f), &st) != 0) return std::nullopt;
    uint64_t total = uint64_t{h[6]} * 2097152 + uint64_t{h[7]} * 16384 + uint64_t{h[8]} * 128 + h[9] + 10;
    if (total > static_cast<uint64_t>(st.st_size)) return std::nullopt;
    return Header{h[5], static_cast<uint32_t>(total)};
}

// Reads the bytes of a tag up to its end, undoing unsynchronisation (FF 00 ->
// FF) when the tag says it was applied.
class TagReader {
public:
    TagReader(std::FILE* f, uint32_t end, bool unsync) : f_(f), end_(end), unsync_(unsync) {}
    uint64_t position() const { return pos_; }
    uint64_t remaining() const { return end_ > pos_ ? end_ - pos_ : 0; }

    int get() {
        for (;;) {
            if (pos_ >= end_) return EOF;
            int c = std::fgetc(f_);
            if (c == EOF) return EOF;
            ++pos_;
            bool skip = unsync_ && prevFF_ && c == 0;
            prevFF_ = c == 0xFF;
            if (!skip) return c;
        }
    }
    // Reads n logical bytes; false at the end of the tag or the file.
    bool read(uint8_t* out, size_t n) {
        if (!unsync_) {
            if (n > remaining() || std::fread(out, 1, n, f_) != n) return false;
            pos_ += n;
            return true;
        }
        for (size_t i = 0; i < n; ++i) {
            int c = get();
            if (c == EOF) return false;
            out[i] = static_cast<uint8_t>(c);
        }
        return true;
    }
    bool skip(uint64_t n) {
        if (!unsync_) {
            if (n > remaining() || std::fseek(f_, static_cast<long>(pos_ + n), SEEK_SET) != 0) return false;
            pos_ += n;
            return true;
        }
        for (uint64_t i = 0; i < n; ++i)
            if (get() == EOF) return false;
        return true;
    }

private:
    std::FILE* f_;
    uint64_t end_;
    bool unsync_;
    uint64_t pos_ = 10;
    bool prevFF_ = false;
};

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Length of a string in the given encoding up to its terminator (exclusive),
// and the length with the terminator.
std::pair<size_t, size_t> terminated(std::string_view s, uint8_t encoding) {
    if (encoding == 1 || encoding == 2) {
        for (size_t i = 0; i + 1 < s.size(); i += 2)
            if (s[i] == 0 && s[i + 1] == 0) return {i, i + 2};
        return {s.size(), s.size()};
    }
    size_t z = s.find('\0');
    return z == std::string_view::npos ? std::pair{s.size(), s.size()} : std::pair{z, z + 1};
}

std::string decode(std::string_view s, uint8_t encoding) {
    s = s.substr(0, terminated(s, encoding).first);
    switch (encoding) {
    case 1: return text::utf16ToUtf8(s, false);
    case 2: return text::utf16ToUtf8(s, true);
    case 3: return text::fromStored(s);
    default: return text::latin1ToUtf8(s);
    }
}

// The text of a known frame's content.
std::string frameText(Id3v2Frame frame, std::string_view c) {
    if (c.empty()) return {};
    auto enc = static_cast<uint8_t>(c[0]);
    c.remove_prefix(1);
    if (frame == Id3v2Frame::COMM) {
        if (c.size() < 3) return {};
        c.remove_prefix(3);  // language
        c.remove_prefix(terminated(c, enc).second);  // description
        return decode(c, enc);
    }
    if (frame == Id3v2Frame::WXXX) {
        c.remove_prefix(terminated(c, enc).second);  // description
        return decode(c, 0);  // the URL itself is always ISO-8859-1
    }
    return decode(c, enc);
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void append(std::vector<uint8_t>& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

bool writeAll(int fd, const uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::write(fd, data + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

std::string_view id3v2FrameId(Id3v2Frame frame) { return kFrameIds[static_cast<size_t>(frame)]; }

void Id3v2Tag::applyTo(TagRecord& r) const {
    r.title = text(Id3v2Frame::TIT2);
    r.artist = text(Id3v2Frame::TPE1);
    r.album = text(Id3v2Frame::TALB);
    r.comments = text(Id3v2Frame::COMM);
    r.composer = text(Id3v2Frame::TCOM);
    r.url = text(Id3v2Frame::WXXX);
    r.encodedBy = text(Id3v2Frame::TENC);
    r.copyright = text(Id3v2Frame::TCOP);
    r.year = text::leadingNumber(text(Id3v2Frame::TYER));
    r.track = text::leadingNumber(text(Id3v2Frame::TRCK));
    int g = genreFromTcon(text(Id3v2Frame::TCON));
    r.genre = genre::isValid(g) ? g : genre::kDefault;
}

std::optional<uint32_t> id3v2TotalSize(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    auto h = readHeader(f.get());
    if (!h) return std::nullopt;
    return h->totalSize;
}

std::optional<Id3v2Tag> readId3v2(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    auto h = readHeader(f.get());
    if (!h) return std::nullopt;
    Id3v2Tag tag;
    tag.totalSize = h->totalSize;
    TagReader in(f.get(), h->totalSize, (h->flags & 0x80) != 0);
    if (h->flags & 0x40) {  // extended header: its size, then that many bytes
        uint8_t size[4];
        if (!in.read(size, 4) || !in.skip(be32(size))) return tag;
    }
    // Frames lie within the tag; a frame that would reach beyond it, or a
    // size of 0 (padding), ends the walk.
    while (in.remaining() >= 10) {
        uint8_t fh[10];
        if (!in.read(fh, 10)) break;
        uint32_t size = be32(fh + 4);
        if (size < 1 || size > in.remaining()) break;
        std::string_view id(reinterpret_cast<const char*>(fh), 4);
        size_t known = kId3v2FrameCount;
        for (size_t i = 0; i < kId3v2FrameCount; ++i)
            if (kFrameIds[i] == id) known = i;
        bool compressedOrEncrypted = (fh[9] & 0xC0) != 0;
        if (known == kId3v2FrameCount || compressedOrEncrypted) {
            if (!in.skip(size)) break;
            continue;
        }
        uint32_t keep = std::min(size, kMaxFrameText);
        std::string content(keep, '\0');
        if (!in.read(reinterpret_cast<uint8_t*>(content.data()), keep) || !in.skip(size - keep)) break;
        std::string_view c = content;
        if (fh[9] & 0x20) c.remove_prefix(std::min<size_t>(1, c.size()));  // group identifier
        tag.frames[known] = frameText(static_cast<Id3v2Frame>(known), c);
    }
    return tag;
}

int genreFromTcon(std::string_view t) {
    if (!t.empty() && t[0] == '(' &&
        ((t.size() > 2 && t[2] == ')') || (t.size() > 3 && t[3] == ')') || (t.size() > 4 && t[4] == ')'))) {
        std::string_view inside = t.substr(1, t.find(')') - 1);
        int n = (!inside.empty() && inside[0] >= '0' && inside[0] <= '9') ? text::leadingNumber(inside) : 0;
        return std::min(n, 148);
    }
    int i = genre::findExact(t);
    return i >= 0 ? i : genre::kDefault;
}

std::vector<uint8_t> buildId3v2(const TagRecord& r) {
    std::array<std::string, kId3v2FrameCount> texts = {
        r.title,
        r.artist,
        r.album,
        r.track > 0 ? std::to_string(r.track) : std::string(),
        r.year > 0 ? std::to_string(r.year) : std::string(),
        // An index outside the table has no name: it is written as "Other".
        "(" + std::to_string(genre::isValid(r.genre) ? r.genre : genre::kDefault) + ")" +
            std::string(genre::toString(r.genre)),
        r.comments,
        r.composer,
        r.url,
        r.encodedBy,
        r.copyright,
    };
    std::vector<uint8_t> frames;
    for (size_t i = 0; i < kId3v2FrameCount; ++i) {
        const std::string& t = texts[i];
        if (t.empty()) continue;
        auto frame = static_cast<Id3v2Frame>(i);
        bool latin = frame == Id3v2Frame::WXXX || text::fitsLatin1(t);
        std::string content;
        content += static_cast<char>(latin ? 0 : 1);
        if (frame == Id3v2Frame::COMM) content += latin ? std::string("eng\0", 4) : std::string("eng\xFF\xFE\0\0", 7);
        if (frame == Id3v2Frame::WXXX) content += '\0';
        content += latin ? text::utf8ToLatin1(t) : text::utf8ToUtf16WithBom(t);
        append(frames, kFrameIds[i]);
        putBe32(frames, static_cast<uint32_t>(content.size()));
        frames.push_back(0);
        frames.push_back(0);
        append(frames, content);
    }
    if (frames.size() >= (1u << 28)) return {};
    auto size = static_cast<uint32_t>(frames.size());
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0,
                                static_cast<uint8_t>((size >> 21) & 0x7F), static_cast<uint8_t>((size >> 14) & 0x7F),
                                static_cast<uint8_t>((size >> 7) & 0x7F), static_cast<uint8_t>(size & 0x7F)};
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}

bool writeId3v2(const std::string& path, const TagRecord& record) {
    namespace fs = std::filesystem;
    std::vector<uint8_t> tag = buildId3v2(record);
    if (tag.empty()) return false;
    std::error_code ec;
    fs::path target = fs::is_symlink(path, ec) ? fs::canonical(path, ec) : fs::path(path);
    if (ec) return false;

    FilePtr src(std::fopen(target.c_str(), "rb"));
    if (!src) return false;
    struct stat st {};
    if (::fstat(::fileno(src.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    uint32_t audioStart = 0;
    if (auto h = readHeader(src.get())) audioStart = h->totalSize;
    if (std::fseek(src.get(), static_cast<long>(audioStart), SEEK_SET) != 0) return false;

    std::string temp = target.string() + "~";
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, tag.data(), tag.size());
    std::vector<uint8_t> block(1 << 16);
    uint64_t copied = 0;
    while (ok) {
        size_t n = std::fread(block.data(), 1, block.size(), src.get());
        if (n == 0) break;
        ok = writeAll(fd, block.data(), n);
        copied += n;
    }
    ok = ok && !std::ferror(src.get()) && copied == static_cast<uint64_t>(st.st_size) - audioStart;
    ok = ok && ::fchmod(fd, st.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    src.reset();
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace qoro::tags
