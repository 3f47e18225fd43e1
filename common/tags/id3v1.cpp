#include "tags/id3v1.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>

#include "io/file_rewrite.h"
#include "tags/fields.h"
#include "tags/text.h"

namespace qoro::tags {

namespace {

constexpr size_t kTitle = 3, kArtist = 33, kAlbum = 63, kYear = 93, kComment = 97, kGenre = 127;

using Block = std::span<const uint8_t, kId3v1Size>;

std::string_view field(Block b, size_t at, size_t len) {
    return std::string_view(reinterpret_cast<const char*>(b.data()) + at, len);
}

std::string_view upToZero(std::string_view f) { return f.substr(0, f.find('\0')); }

std::string_view withoutTrailing(std::string_view f, bool zerosToo) {
    while (!f.empty() && (f.back() == ' ' || (zerosToo && f.back() == '\0'))) f.remove_suffix(1);
    return f;
}

// One field by a reading rule, as UTF-8.
std::string fieldText(Block b, size_t at, size_t len, Id3v1Reading rule) {
    std::string_view f = field(b, at, len);
    switch (rule) {
    case Id3v1Reading::Information: f = upToZero(withoutTrailing(f, true)); break;
    case Id3v1Reading::Decoder: f = withoutTrailing(upToZero(f), false); break;
    case Id3v1Reading::MpegPlus: f = upToZero(f); break;
    }
    return text::latin1ToUtf8(f);
}

bool hasTag(Block b) { return b[0] == 'T' && b[1] == 'A' && b[2] == 'G'; }

// Up to len characters of UTF-8 text as ISO-8859-1 into the block.
void putField(Id3v1Block& b, size_t at, size_t len, const std::string& utf8, bool trimBlanks) {
    std::string latin = text::utf8ToLatin1(utf8);
    if (latin.size() > len) latin.resize(len);
    if (trimBlanks)
        while (!latin.empty() && latin.back() == ' ') latin.pop_back();
    std::memcpy(b.data() + at, latin.data(), latin.size());
}

// No year (0) leaves the field empty.
void putYear(Id3v1Block& b, int year) {
    if (year == 0) return;
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%d", year);
    std::memcpy(b.data() + kYear, digits, static_cast<size_t>(std::min(n, 4)));
}

// Where the stored tag gives the value the record holds, its bytes stay.
void keepUnchanged(Id3v1Block& fresh, const Id3v1Block& old, const TagRecord& was, const TagRecord& r) {
    auto keep = [&](size_t at, size_t len) { std::copy_n(old.begin() + at, len, fresh.begin() + at); };
    if (r.title == was.title) keep(kTitle, 30);
    if (r.artist == was.artist) keep(kArtist, 30);
    if (r.album == was.album) keep(kAlbum, 30);
    if (r.year == was.year) keep(kYear, 4);
    if (r.comments == was.comments && r.track == was.track) keep(kComment, 30);
    if (fieldText(r, Field::Genre) == fieldText(was, Field::Genre)) keep(kGenre, 1);
}

// The genre byte: the table index of the record's genre, 255 (none) for a
// record without one or with a genre the table does not hold.
uint8_t genreByte(const TagRecord& r, bool mpegPlus) {
    if (!hasGenre(r)) return 0xFF;
    if (!r.genreText.empty() && genre::findIgnoringCase(r.genreText) < 0) return 0xFF;
    return static_cast<uint8_t>(mpegPlus ? (r.genre & 0xFF) : ((r.genre % 255) & 0xFF));
}

// The genre of a stored byte: a table index, or none.
void putGenre(TagRecord& r, int stored) {
    if (genre::isValid(stored))
        setGenreIndex(r, stored);
    else
        r.genre = genre::kDefault, r.genreText.clear();
}

// Writes the block 'make' forms from the tag the file ends with (if any):
// over that tag, or appended.
std::error_code writeBlock(const std::string& path,
                           const std::function<Id3v1Block(const std::optional<Id3v1Block>&)>& make) {
    io::InPlace file(path);
    if (!file.ok()) return file.error();
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0) return {errno, std::system_category()};
    if (S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    if (!S_ISREG(st.st_mode)) return io::make_error_code(io::Error::Damaged);
    const uint64_t size = file.originalSize();
    std::optional<Id3v1Block> old;
    if (size >= kId3v1Size) {
        Id3v1Block last{};
        if (file.readAt(size - kId3v1Size, last.data(), last.size()) != last.size())
            return std::make_error_code(std::errc::io_error);
        if (hasTag(last)) old = last;
    }
    const Id3v1Block block = make(old);
    file.writeAt(old ? size - kId3v1Size : size, block);
    return file.commit();
}

}  // namespace

void Id3v1Tag::applyTo(TagRecord& record) const {
    record.title = title;
    record.artist = artist;
    record.album = album;
    record.comments = comment;
    setYear(record, year);
    record.track = track < 1 ? 0 : track;
    putGenre(record, genre);
    record.composer.clear();
    record.url.clear();
    record.encodedBy.clear();
    record.copyright.clear();
}

void Id3v1Tag::applyMpegPlusTo(TagRecord& r) const {
    r.title = title;
    r.artist = artist;
    r.album = album;
    r.comments = comment;
    setYear(r, year);
    putGenre(r, genre);
}

std::optional<Id3v1Tag> parseId3v1(Block b, Id3v1Reading rule) {
    if (!hasTag(b)) return std::nullopt;
    Id3v1Tag tag;
    tag.title = fieldText(b, kTitle, 30, rule);
    tag.artist = fieldText(b, kArtist, 30, rule);
    tag.album = fieldText(b, kAlbum, 30, rule);
    tag.yearText = fieldText(b, kYear, 4, rule);
    tag.year = text::leadingNumber(upToZero(field(b, kYear, 4)));
    const bool v11 = rule == Id3v1Reading::Information ? (b[125] == 0 && b[126] != 0)
                     : rule == Id3v1Reading::MpegPlus  ? b[125] == 0
                                                       : false;
    if (v11) {
        tag.comment = fieldText(b, kComment, 28, rule);
        tag.track = b[126];
    } else {
        tag.comment = fieldText(b, kComment, 30, rule);
    }
    tag.genre = static_cast<int8_t>(b[kGenre]);
    return tag;
}

std::optional<Id3v1Tag> readId3v1(const std::string& path, Id3v1Reading rule) {
    io::Reader in(path);
    Id3v1Block block{};
    if (!in.ok() || in.size() < kId3v1Size ||
        in.readAt(in.size() - kId3v1Size, block.data(), block.size()) != block.size())
        return std::nullopt;
    return parseId3v1(block, rule);
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
    b[kGenre] = genreByte(r, false);
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
    b[kGenre] = genreByte(r, true);
    return b;
}

std::error_code writeId3v1(const std::string& path, const TagRecord& record) {
    return writeBlock(path, [&](const std::optional<Id3v1Block>& old) {
        Id3v1Block fresh = buildId3v1(record);
        if (old) {
            TagRecord was;
            parseId3v1(*old)->applyTo(was);
            keepUnchanged(fresh, *old, was, record);
        }
        return fresh;
    });
}

std::error_code writeId3v1Mpc(const std::string& path, const TagRecord& record) {
    return writeBlock(path, [&](const std::optional<Id3v1Block>& old) {
        Id3v1Block fresh = buildId3v1Mpc(record);
        if (old) {
            // What the MPEG Plus reader gives: no track, composer and the rest empty.
            const Id3v1Tag t = *parseId3v1(*old, Id3v1Reading::MpegPlus);
            TagRecord was;
            t.applyMpegPlusTo(was);
            keepUnchanged(fresh, *old, was, record);
        }
        return fresh;
    });
}

}  // namespace qoro::tags
