#include "tags/tails.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "io/file_reader.h"
#include "tags/apev2.h"

namespace qoro::tags {

namespace {

constexpr uint64_t kId3v1Bytes = 128;
constexpr std::string_view kLyricsBegin = "LYRICSBEGIN";
constexpr std::string_view kLyrics200 = "LYRICS200";
constexpr std::string_view kLyricsEnd = "LYRICSEND";
// Lyrics3 v1 holds at most 5100 bytes of lyrics between its markers.
constexpr uint64_t kLyrics1Max = 5100;

bool readExact(const ReadAtFn& readAt, uint64_t offset, void* data, size_t size) {
    return readAt(offset, static_cast<uint8_t*>(data), size) == size;
}

bool holds(const uint8_t* p, std::string_view s) { return std::memcmp(p, s.data(), s.size()) == 0; }

// The APEv2 tag whose footer ends at 'end', header included when it is there.
std::optional<ByteRange> apeEndingAt(const ReadAtFn& readAt, uint64_t end) {
    std::array<uint8_t, ape::kFrameSize> b{};
    if (end < b.size() || !readExact(readAt, end - b.size(), b.data(), b.size())) return std::nullopt;
    const std::optional<ape::Frame> footer = ape::parseFrame(b);
    if (!footer || footer->isHeader() || footer->size > end) return std::nullopt;
    ByteRange r{end - footer->size, footer->size};
    if (footer->hasHeader() && r.offset >= ape::kFrameSize &&
        readExact(readAt, r.offset - ape::kFrameSize, b.data(), b.size())) {
        const std::optional<ape::Frame> header = ape::parseFrame(b);
        // A header that says it is one, of the same tag; without it the
        // items still begin where the footer's size says.
        if (header && header->isHeader() && header->size == footer->size) {
            r.offset -= ape::kFrameSize;
            r.size += ape::kFrameSize;
        }
    }
    return r;
}

// The Lyrics3 tag (version 2, else 1) ending at 'end'.
std::optional<ByteRange> lyrics3EndingAt(const ReadAtFn& readAt, uint64_t end) {
    std::array<uint8_t, 15> b{};
    if (end >= 15 + kLyricsBegin.size() && readExact(readAt, end - 15, b.data(), b.size()) &&
        holds(b.data() + 6, kLyrics200)) {
        uint64_t size = 0;  // from "LYRICSBEGIN" to the size field
        for (size_t i = 0; i < 6; ++i) {
            if (b[i] < '0' || b[i] > '9') return std::nullopt;
            size = size * 10 + (b[i] - '0');
        }
        if (size < kLyricsBegin.size() || size + 15 > end) return std::nullopt;
        const uint64_t begin = end - 15 - size;
        if (!readExact(readAt, begin, b.data(), kLyricsBegin.size()) || !holds(b.data(), kLyricsBegin))
            return std::nullopt;
        return ByteRange{begin, size + 15};
    }
    if (end < kLyricsBegin.size() + kLyricsEnd.size() ||
        !readExact(readAt, end - kLyricsEnd.size(), b.data(), kLyricsEnd.size()) || !holds(b.data(), kLyricsEnd))
        return std::nullopt;
    // Version 1 has no size: its begin marker within the longest lyrics it holds.
    const uint64_t last = end - kLyricsEnd.size();
    const uint64_t span = std::min<uint64_t>(last, kLyrics1Max + kLyricsBegin.size());
    std::vector<uint8_t> window(span);
    if (!readExact(readAt, last - span, window.data(), window.size())) return std::nullopt;
    const std::string_view w(reinterpret_cast<const char*>(window.data()), window.size());
    const size_t at = w.find(kLyricsBegin);
    if (at == std::string_view::npos) return std::nullopt;
    const uint64_t begin = last - span + at;
    return ByteRange{begin, end - begin};
}

}  // namespace

FileTails findTails(const ReadAtFn& readAt, uint64_t fileSize) {
    FileTails t;
    uint64_t end = fileSize;
    std::array<uint8_t, 3> tag{};
    // An ID3v1 tag is the last 128 bytes when they begin "TAG", unless they
    // end an APEv2 tag whose items read (they may hold "TAG" there; an ID3v1
    // tag's last bytes are its comment and genre, no footer).
    if (fileSize >= kId3v1Bytes && readExact(readAt, fileSize - kId3v1Bytes, tag.data(), tag.size()) &&
        holds(tag.data(), "TAG")) {
        const std::optional<ByteRange> ape = apeEndingAt(readAt, fileSize);
        const std::optional<ape::Tag> whole = ape ? ape::readTag(readAt, *ape) : std::nullopt;
        if (!whole || whole->items.empty()) {
            t.id3v1 = {fileSize - kId3v1Bytes, kId3v1Bytes};
            end = t.id3v1.offset;
        }
    }
    if (auto lyrics = lyrics3EndingAt(readAt, end)) {
        t.lyrics3 = *lyrics;
        end = lyrics->offset;
    }
    if (auto ape = apeEndingAt(readAt, end)) {
        t.ape = *ape;
        end = ape->offset;
    }
    t.contentEnd = end;
    return t;
}

FileTails findTails(const std::string& path) {
    io::Reader in(path, io::Reader::Accept::RegularFiles);
    if (!in.ok()) return {};
    return findTails([&in](uint64_t at, uint8_t* data, size_t n) { return in.readAt(at, data, n); }, in.size());
}

}  // namespace qoro::tags
