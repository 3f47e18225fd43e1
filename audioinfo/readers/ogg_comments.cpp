// Vorbis comments: the reading rules, and the comment header rewrite, which
// re-frames only the header pages and carries every later page over as it is.
#include "readers/ogg_comments.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "genre/genre.h"
#include "io/file_rewrite.h"
#include "tags/text.h"

namespace qoro::audioinfo {

namespace {

// The properties, in the order new comments are added, with the names
// written for them.
enum Field {
    kAlbum,
    kTitle,
    kArtist,
    kComment,
    kCopyright,
    kGenre,
    kComposer,
    kUrl,
    kEncodedBy,
    kDate,
    kTrack,
    kFieldCount
};
constexpr const char* kNames[kFieldCount] = {"Album",    "Title", "Artist",    "Comment", "Copyright",  "Genre",
                                             "Composer", "URL",   "EncodedBy", "Date",    "TrackNumber"};

std::string* textOf(tags::TagRecord& r, Field f) {
    switch (f) {
    case kAlbum: return &r.album;
    case kTitle: return &r.title;
    case kArtist: return &r.artist;
    case kComment: return &r.comments;
    case kCopyright: return &r.copyright;
    case kComposer: return &r.composer;
    case kUrl: return &r.url;
    case kEncodedBy: return &r.encodedBy;
    default: return nullptr;
    }
}

bool sameField(const tags::TagRecord& a, const tags::TagRecord& b, Field f) {
    switch (f) {
    case kGenre: return a.genre == b.genre;
    case kDate: return a.year == b.year;
    case kTrack: return a.track == b.track;
    default: return *textOf(const_cast<tags::TagRecord&>(a), f) == *textOf(const_cast<tags::TagRecord&>(b), f);
    }
}

// The comment a property is written as, or nullopt when it writes none.
std::optional<std::string> commentOf(const tags::TagRecord& r, Field f) {
    std::string value;
    switch (f) {
    case kGenre:
        if (!genre::isValid(r.genre)) return std::nullopt;
        value = genre::toString(r.genre);
        break;
    case kDate:
        if (r.year <= 0) return std::nullopt;
        value = std::to_string(r.year);
        break;
    case kTrack:
        if (r.track <= 0) return std::nullopt;
        value = std::to_string(r.track);
        break;
    default: value = *textOf(const_cast<tags::TagRecord&>(r), f); break;
    }
    if (value.empty()) return std::nullopt;
    return std::string(kNames[f]) + "=" + value;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The property a comment belongs to (kFieldCount: none), and where its value begins.
Field fieldOf(std::string_view comment, size_t& valueAt) {
    const size_t eq = comment.find('=');
    if (eq == std::string_view::npos) return kFieldCount;
    valueAt = eq + 1;
    const std::string_view name = comment.substr(0, eq);
    for (int f = 0; f < kFieldCount; ++f) {
        const std::string_view want = kNames[f];
        if (want.size() == name.size() &&
            std::equal(name.begin(), name.end(), want.begin(), [](char a, char b) { return upper(a) == upper(b); }))
            return static_cast<Field>(f);
    }
    return kFieldCount;
}

// --- Ogg pages -----------------------------------------------------------------

constexpr size_t kPageHeader = 27;
constexpr uint64_t kFirstPageWithin = 4096;
// The most the three header packets may hold together (cover pictures
// included); a larger header section is taken as damaged.
constexpr uint64_t kMaxHeaderBytes = 128u << 20;
// The most comments a comment header may hold for a rewrite.
constexpr uint32_t kMaxComments = 1u << 20;

struct Page {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;  // header and body
    size_t headerLength = 0;

    uint8_t flags() const { return bytes[5]; }
    bool continued() const { return flags() & 0x01; }
    bool bos() const { return flags() & 0x02; }
    bool eos() const { return flags() & 0x04; }
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

// Sets the checksum of a whole page.
void setChecksum(std::vector<uint8_t>& page, size_t headerLength) {
    ogg_page og{};
    og.header = page.data();
    og.header_len = static_cast<long>(headerLength);
    og.body = page.data() + headerLength;
    og.body_len = static_cast<long>(page.size() - headerLength);
    ogg_page_checksum_set(&og);
}

// The page at 'offset' when one stands there whole, with a right checksum.
std::optional<Page> pageAt(io::Reader& in, uint64_t offset) {
    uint8_t h[kPageHeader + 255];
    if (offset >= in.size() || in.size() - offset < kPageHeader || in.readAt(offset, h, kPageHeader) != kPageHeader)
        return std::nullopt;
    if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return std::nullopt;
    const size_t segments = h[26];
    if (in.readAt(offset + kPageHeader, h + kPageHeader, segments) != segments) return std::nullopt;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += h[kPageHeader + i];
    Page p;
    p.offset = offset;
    p.headerLength = kPageHeader + segments;
    if (in.size() - offset < p.headerLength + body) return std::nullopt;
    p.bytes.resize(p.headerLength + body);
    std::memcpy(p.bytes.data(), h, p.headerLength);
    if (in.readAt(offset + p.headerLength, p.bytes.data() + p.headerLength, body) != body) return std::nullopt;
    std::vector<uint8_t> check = p.bytes;
    setChecksum(check, p.headerLength);
    if (!std::equal(check.begin() + 22, check.begin() + 26, p.bytes.begin() + 22)) return std::nullopt;
    return p;
}

// The next whole page at or after 'from' and before 'limit'.
std::optional<Page> nextPage(io::Reader& in, uint64_t from, uint64_t limit) {
    uint8_t block[4096 + 3];
    limit = std::min(limit, in.size());
    for (uint64_t at = from; at < limit;) {
        const size_t n = in.readAt(at, block, sizeof block);
        if (n < 4) return std::nullopt;
        for (size_t i = 0; i + 4 <= n && at + i < limit; ++i)
            if (std::memcmp(block + i, "OggS", 4) == 0)
                if (auto p = pageAt(in, at + i)) return p;
        at += n - 3;
    }
    return std::nullopt;
}

uint32_t readLe32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}

void appendLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The vendor string and comments of a comment header packet.
bool parseCommentPacket(const std::vector<uint8_t>& p, std::string& vendor, std::vector<std::string>& comments) {
    if (p.size() < 7 + 4 || p[0] != 3 || std::memcmp(p.data() + 1, "vorbis", 6) != 0) return false;
    size_t at = 7;
    auto take = [&](std::string& out) {
        if (p.size() - at < 4) return false;
        const uint32_t n = readLe32(p, at);
        at += 4;
        if (p.size() - at < n) return false;
        out.assign(reinterpret_cast<const char*>(p.data() + at), n);
        at += n;
        return true;
    };
    if (!take(vendor) || p.size() - at < 4) return false;
    const uint32_t count = readLe32(p, at);
    at += 4;
    if (count > (p.size() - at) / 4 || count > kMaxComments) return false;
    comments.resize(count);
    for (std::string& c : comments)
        if (!take(c)) return false;
    return at < p.size() && (p[at] & 1);  // the framing bit
}

std::vector<uint8_t> commentPacket(const std::string& vendor, const std::vector<std::string>& comments) {
    std::vector<uint8_t> b = {3, 'v', 'o', 'r', 'b', 'i', 's'};
    appendLe32(b, static_cast<uint32_t>(vendor.size()));
    b.insert(b.end(), vendor.begin(), vendor.end());
    appendLe32(b, static_cast<uint32_t>(comments.size()));
    for (const std::string& c : comments) {
        appendLe32(b, static_cast<uint32_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
    b.push_back(1);  // framing bit
    return b;
}

// libvorbis's checks of the three header packets.
class HeaderCheck {
public:
    HeaderCheck() {
        vorbis_info_init(&info_);
        vorbis_comment_init(&comment_);
    }
    ~HeaderCheck() {
        vorbis_comment_clear(&comment_);
        vorbis_info_clear(&info_);
    }
    HeaderCheck(const HeaderCheck&) = delete;
    HeaderCheck& operator=(const HeaderCheck&) = delete;

    bool accepts(std::vector<uint8_t>& packet, int number) {
        ogg_packet op{};
        op.packet = packet.data();
        op.bytes = static_cast<long>(packet.size());
        op.b_o_s = number == 0;
        op.packetno = number;
        return vorbis_synthesis_headerin(&info_, &comment_, &op) == 0;
    }

private:
    vorbis_info info_;
    vorbis_comment comment_;
};

class StreamState {
public:
    explicit StreamState(int serial) { ok_ = ogg_stream_init(&os_, serial) == 0; }
    ~StreamState() {
        if (ok_) ogg_stream_clear(&os_);
    }
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
    bool ok() const { return ok_; }

    void add(std::vector<uint8_t>& packet, int number, bool bos, bool eos) {
        ogg_packet op{};
        op.packet = packet.data();
        op.bytes = static_cast<long>(packet.size());
        op.b_o_s = bos;
        op.e_o_s = eos;
        op.granulepos = 0;
        op.packetno = number;
        ogg_stream_packetin(&os_, &op);
    }
    // Every page the packets given so far make, the last one ending with the
    // last packet.
    std::vector<std::vector<uint8_t>> flush() {
        std::vector<std::vector<uint8_t>> pages;
        ogg_page og;
        while (ogg_stream_flush(&os_, &og) != 0) {
            std::vector<uint8_t> p(og.header, og.header + og.header_len);
            p.insert(p.end(), og.body, og.body + og.body_len);
            pages.push_back(std::move(p));
        }
        return pages;
    }

private:
    ogg_stream_state os_{};
    bool ok_ = false;
};

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

// The file's header section as it stands.
struct Headers {
    uint64_t firstPage = 0;  // offset of the identification header's page
    uint32_t serial = 0;
    std::vector<uint8_t> packets[3];
    // Pages of the section in file order; 'ours' false for other streams'.
    struct Entry {
        Page page;
        bool ours;
    };
    std::vector<Entry> pages;
    uint64_t end = 0;  // just after the page the setup header ends on
    uint32_t setupSequence = 0;
    bool eosOnSetup = false;  // the stream ends with its headers
};

std::error_code readHeaders(io::Reader& in, Headers& h) {
    std::optional<Page> first = nextPage(in, 0, kFirstPageWithin);
    if (!first) return damaged();
    h.firstPage = first->offset;
    h.serial = first->serial();
    int got = 0;
    uint64_t headerBytes = 0;
    std::vector<uint8_t> partial;
    uint64_t at = first->offset;
    std::optional<Page> page = std::move(first);
    while (got < 3) {
        if (!page) return damaged();  // cut short, or a damaged page among the headers
        const bool ours = page->serial() == h.serial;
        headerBytes += page->bytes.size();
        if (headerBytes > kMaxHeaderBytes) return damaged();
        if (ours) {
            // A page continuing a packet exactly when one is open.
            if (page->continued() != !partial.empty()) return damaged();
            size_t bodyAt = page->headerLength;
            for (size_t i = 0; i < page->segments(); ++i) {
                if (got == 3) return damaged();  // audio data on the setup header's page
                const uint8_t n = page->lacing(i);
                partial.insert(partial.end(), page->bytes.begin() + static_cast<std::ptrdiff_t>(bodyAt),
                               page->bytes.begin() + static_cast<std::ptrdiff_t>(bodyAt + n));
                bodyAt += n;
                if (n < 255) {
                    h.packets[got++] = std::move(partial);
                    partial.clear();
                }
            }
            if (got < 3 && page->eos()) return damaged();
            if (got == 3) {
                if (!partial.empty()) return damaged();
                h.end = page->end();
                h.setupSequence = page->sequence();
                h.eosOnSetup = page->eos();
            }
        }
        at = page->end();
        h.pages.push_back({std::move(*page), ours});
        if (got < 3) page = pageAt(in, at);
    }
    HeaderCheck check;
    for (int i = 0; i < 3; ++i)
        if (!check.accepts(h.packets[i], i)) return damaged();
    return {};
}

}  // namespace

void applyVorbisComments(std::span<const std::string> comments, tags::TagRecord& record) {
    bool seen[kFieldCount] = {};
    for (const std::string& c : comments) {
        size_t valueAt = 0;
        const Field f = fieldOf(c, valueAt);
        if (f == kFieldCount) continue;
        const std::string_view value = std::string_view(c).substr(valueAt);
        if (std::string* text = textOf(record, f)) {
            if (seen[f])
                *text += "; ";
            else
                text->clear();
            *text += value;
        } else if (!seen[f]) {
            if (f == kGenre) {
                const int index = genre::findIgnoringCase(value);
                record.genre = index >= 0 ? index : genre::kDefault;
            } else if (f == kDate) {
                record.year = tags::text::leadingNumber(value);
            } else {
                record.track = tags::text::leadingNumber(value);
            }
        }
        seen[f] = true;
    }
}

std::vector<std::string> updatedVorbisComments(const std::vector<std::string>& comments,
                                               const tags::TagRecord& record) {
    tags::TagRecord now;
    applyVorbisComments(comments, now);
    // Each comment, or nullopt when it goes.
    std::vector<std::optional<std::string>> out(comments.begin(), comments.end());
    std::vector<std::string> added;
    for (int f = 0; f < kFieldCount; ++f) {
        const auto field = static_cast<Field>(f);
        if (sameField(now, record, field)) continue;
        std::optional<std::string> replacement = commentOf(record, field);
        for (size_t i = 0; i < comments.size(); ++i) {
            size_t valueAt = 0;
            if (fieldOf(comments[i], valueAt) != field) continue;
            out[i] = std::move(replacement);  // the first takes the new value, the others go
            replacement.reset();
        }
        if (replacement) added.push_back(std::move(*replacement));
    }
    std::vector<std::string> result;
    for (auto& c : out)
        if (c) result.push_back(std::move(*c));
    result.insert(result.end(), added.begin(), added.end());
    return result;
}

std::error_code writeOggComments(const std::string& path, const tags::TagRecord& tags) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    Headers h;
    if (auto ec = readHeaders(in, h)) return ec;
    std::string vendor;
    std::vector<std::string> comments;
    if (!parseCommentPacket(h.packets[1], vendor, comments)) return damaged();
    std::vector<uint8_t> newComment = commentPacket(vendor, updatedVorbisComments(comments, tags));

    // The new header pages: the identification header alone, then the
    // comment and setup headers, the last page ending with the setup header.
    StreamState os(static_cast<int>(h.serial));
    if (!os.ok()) return damaged();
    os.add(h.packets[0], 0, true, false);
    const std::vector<std::vector<uint8_t>> idPages = os.flush();
    os.add(newComment, 1, false, false);
    os.add(h.packets[2], 2, false, h.eosOnSetup);
    const std::vector<std::vector<uint8_t>> restPages = os.flush();
    const uint32_t newCount = static_cast<uint32_t>(idPages.size() + restPages.size());
    // What the stream's later pages' sequence numbers move by.
    const uint32_t shift = newCount - (h.setupSequence + 1);

    io::Rewrite out(path);
    if (!out.ok()) return out.error();
    out.copyFrom(in.fd(), 0, h.firstPage);
    bool firstDone = false;
    for (const Headers::Entry& e : h.pages) {
        if (!e.ours) {
            out.write(e.page.bytes);
        } else if (!firstDone) {
            for (const auto& p : idPages) out.write(p);
            firstDone = true;
        }
        if (e.ours && e.page.end() == h.end)
            for (const auto& p : restPages) out.write(p);
    }

    // The pages after the headers, as they are; the stream's own pages up to
    // its end take their new sequence numbers.
    uint64_t at = h.end;
    bool streamEnded = h.eosOnSetup;
    while (out.ok() && at < in.size() && shift != 0 && !streamEnded) {
        std::optional<Page> p = pageAt(in, at);
        if (!p) {
            // Bytes that are no page: carried over up to the next page.
            p = nextPage(in, at + 1, in.size());
            const uint64_t next = p ? p->offset : in.size();
            out.copyFrom(in.fd(), at, next - at);
            at = next;
            continue;
        }
        if (p->serial() == h.serial) {
            const uint32_t seq = p->sequence() + shift;
            for (int i = 0; i < 4; ++i) p->bytes[18 + i] = static_cast<uint8_t>(seq >> (8 * i));
            setChecksum(p->bytes, p->headerLength);
            streamEnded = p->eos();
        }
        out.write(p->bytes);
        at = p->end();
    }
    if (at < in.size()) out.copyFrom(in.fd(), at, in.size() - at);
    return out.commit();
}

}  // namespace qoro::audioinfo
