// The header section of an Ogg stream whose comment header holds Vorbis
// comments (Ogg Vorbis: identification, comment and setup packets; Opus:
// "OpusHead" and "OpusTags"): finding and checking it page by page, the
// stream's last granule position, and the rewrite that re-frames only the
// header pages and carries every later page over as it is.
//
//   io::Reader in(path);
//   ogg::Headers h;
//   if (auto ec = ogg::readHeaders(in, 2, h)) ...      // io::Error::Damaged
//   ... h.packets[1] ...
//   ogg::rewriteHeaders(in, path, h, {h.packets[0], newTags});
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "io/file_rewrite.h"

namespace qoro::audioinfo::ogg {

inline constexpr size_t kPageHeader = 27;
// The first page must begin within this many bytes of the file's start.
inline constexpr uint64_t kFirstPageWithin = 4096;
// The most the header packets may hold together (cover pictures included); a
// larger header section is taken as damaged, and a rewrite that would make
// one is refused.
inline constexpr uint64_t kMaxHeaderBytes = 128u << 20;

struct Page {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;  // header and body
    size_t headerLength = 0;

    uint8_t flags() const { return bytes[5]; }
    bool continued() const { return flags() & 0x01; }
    bool bos() const { return flags() & 0x02; }
    bool eos() const { return flags() & 0x04; }
    int64_t granule() const;
    uint32_t serial() const { return le32(14); }
    uint32_t sequence() const { return le32(18); }
    size_t segments() const { return bytes[26]; }
    uint8_t lacing(size_t i) const { return bytes[kPageHeader + i]; }
    uint64_t end() const { return offset + bytes.size(); }
    uint32_t le32(size_t at) const {
        return uint32_t{bytes[at]} | (uint32_t{bytes[at + 1]} << 8) | (uint32_t{bytes[at + 2]} << 16) |
               (uint32_t{bytes[at + 3]} << 24);
    }
};

// The page at 'offset' when one stands there whole, with a right checksum.
std::optional<Page> pageAt(io::Reader& in, uint64_t offset);
// The next whole page at or after 'from' and before 'limit'.
std::optional<Page> nextPage(io::Reader& in, uint64_t from, uint64_t limit);

// The header section of the file's first stream, as it stands.
struct Headers {
    uint64_t firstPage = 0;  // offset of the first header's page
    uint32_t serial = 0;
    std::vector<std::vector<uint8_t>> packets;
    // Pages of the section in file order; 'ours' false for other streams'.
    struct Entry {
        Page page;
        bool ours;
    };
    std::vector<Entry> pages;
    uint64_t end = 0;  // just after the page the last header packet ends on
    uint32_t lastSequence = 0;
    bool eosOnLast = false;  // the stream ends with its headers
};

// The first 'count' packets of the first stream: its first page within
// kFirstPageWithin bytes, marked as the stream's first; every page of the
// section whole, each following the one before in the file, a page
// continuing a packet exactly when one is open; the last header packet
// ending its page.
// io::Error::Damaged otherwise. The packets' contents are not looked at.
std::error_code readHeaders(io::Reader& in, int count, Headers& h);

// The last whole page at or after 'from' that 'accept' takes, found from the
// end of the file backwards.
std::optional<Page> lastPage(io::Reader& in, uint64_t from, const std::function<bool(const Page&)>& accept);
// The last granule position of the stream 'serial' at or after 'from'
// (pages whose granule is -1 do not count), nullopt when no page has one.
std::optional<int64_t> lastGranule(io::Reader& in, uint32_t serial, uint64_t from);

// Rewrites the file through "path~" with new header packets: the first
// alone on its page, the others flushed together, the last ending its page.
// The pages of other streams among the headers and everything after the
// section stay as they are, except the stream's own later pages, whose
// sequence numbers (and checksums) move when the headers take another
// number of pages. io::Error::TooLarge when the packets exceed kMaxHeaderBytes.
std::error_code rewriteHeaders(io::Reader& in, const std::string& path, const Headers& h,
                               std::vector<std::vector<uint8_t>> packets);

}  // namespace qoro::audioinfo::ogg
