#include "tags/id3v1.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "tags/text.h"

namespace qoro::tags {

namespace {

constexpr size_t kTitle = 3, kArtist = 33, kAlbum = 63, kYear = 93, kComment = 97, kGenre = 127;

std::string_view field(const Id3v1Block& b, size_t at, size_t len) {
    return std::string_view(reinterpret_cast<const char*>(b.data()) + at, len);
}

std::string trimmedField(const Id3v1Block& b, size_t at, size_t len) {
    std::string_view f = field(b, at, len);
    while (!f.empty() && (f.back() == ' ' || f.back() == '\0')) f.remove_suffix(1);
    return text::latin1ToUtf8(f);
}

std::string storedField(const Id3v1Block& b, size_t at, size_t len) {
    std::string_view f = field(b, at, len);
    return text::latin1ToUtf8(f.substr(0, f.find('\0')));
}

bool hasTag(const Id3v1Block& b) { return b[0] == 'T' && b[1] == 'A' && b[2] == 'G'; }

// Up to len characters of UTF-8 text as ISO-8859-1 into the block.
void putField(Id3v1Block& b, size_t at, size_t len, const std::string& utf8, bool trimBlanks) {
    std::string latin = text::utf8ToLatin1(utf8);
    if (latin.size() > len) latin.resize(len);
    if (trimBlanks)
        while (!latin.empty() && latin.back() == ' ') latin.pop_back();
    std::memcpy(b.data() + at, latin.data(), latin.size());
}

void putYear(Id3v1Block& b, int year) {
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%d", year);
    std::memcpy(b.data() + kYear, digits, static_cast<size_t>(std::min(n, 4)));
}

bool preadAll(int fd, uint8_t* data, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, data + done, n - done, at + static_cast<off_t>(done));
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool pwriteAll(int fd, const uint8_t* data, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd, data + done, n - done, at + static_cast<off_t>(done));
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

void Id3v1Tag::applyTo(TagRecord& record) const {
    record.title = title;
    record.artist = artist;
    record.album = album;
    record.comments = comment;
    record.year = year;
    record.track = track < 1 ? 0 : track;
    record.genre = genre::isValid(genre) ? genre : genre::kDefault;
    record.composer.clear();
    record.url.clear();
    record.encodedBy.clear();
    record.copyright.clear();
}

std::optional<Id3v1Tag> parseId3v1(const Id3v1Block& b) {
    if (!hasTag(b)) return std::nullopt;
    Id3v1Tag tag;
    tag.title = trimmedField(b, kTitle, 30);
    tag.artist = trimmedField(b, kArtist, 30);
    tag.album = trimmedField(b, kAlbum, 30);
    tag.yearText = storedField(b, kYear, 4);
    tag.year = text::leadingNumber(field(b, kYear, 4));
    if (b[125] == 0 && b[126] != 0) {
        tag.comment = trimmedField(b, kComment, 28);
        tag.track = b[126];
    } else {
        tag.comment = trimmedField(b, kComment, 30);
    }
    tag.genre = static_cast<int8_t>(b[kGenre]);
    return tag;
}

std::optional<Id3v1Tag> readId3v1(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    Id3v1Block block{};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(kId3v1Size) &&
              preadAll(fd, block.data(), block.size(), st.st_size - static_cast<off_t>(kId3v1Size));
    ::close(fd);
    if (!ok) return std::nullopt;
    return parseId3v1(block);
}

Id3v1Block buildId3v1(const TagRecord& r) {
    Id3v1Block b{};
    b[0] = 'T', b[1] = 'A', b[2] = 'G';
    putField(b, kTitle, 30, r.title, true);
    putField(b, kArtist, 30, r.artist, true);
    putField(b, kAlbum, 30, r.album, true);
    putYear(b, r.year);
    putField(b, kComment, 28, r.comments, true);
    b[125] = 0;
    b[126] = static_cast<uint8_t>(r.track & 0xFF);
    b[kGenre] = static_cast<uint8_t>((r.genre % 255) & 0xFF);
    return b;
}

Id3v1Block buildId3v1Mpc(const TagRecord& r) {
    Id3v1Block b{};
    b[0] = 'T', b[1] = 'A', b[2] = 'G';
    putField(b, kTitle, 30, r.title, false);
    putField(b, kArtist, 30, r.artist, false);
    putField(b, kAlbum, 30, r.album, false);
    putYear(b, r.year);
    if (r.track != 0) {
        putField(b, kComment, 28, r.comments, false);
        b[125] = 0;
        b[126] = static_cast<uint8_t>(r.track & 0xFF);
    } else {
        putField(b, kComment, 30, r.comments, false);
    }
    b[kGenre] = static_cast<uint8_t>(r.genre & 0xFF);
    return b;
}

bool writeId3v1Block(const std::string& path, const Id3v1Block& block) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        off_t at = st.st_size;
        Id3v1Block last{};
        if (st.st_size >= static_cast<off_t>(kId3v1Size) &&
            preadAll(fd, last.data(), last.size(), st.st_size - static_cast<off_t>(kId3v1Size)) && hasTag(last))
            at = st.st_size - static_cast<off_t>(kId3v1Size);
        ok = pwriteAll(fd, block.data(), block.size(), at);
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace qoro::tags
