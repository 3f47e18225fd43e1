// Ogg header sections of streams carrying Vorbis comments: the page reader,
// the section walk, the last granule position and the header rewrite.
#include "readers/ogg_pages.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>

namespace qoro::audioinfo::ogg {

namespace {

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

// Sets the checksum of a whole page.
void setChecksum(std::vector<uint8_t>& page, size_t headerLength) {
    ogg_page og{};
    og.header = page.data();
    og.header_len = static_cast<long>(headerLength);
    og.body = page.data() + headerLength;
    og.body_len = static_cast<long>(page.size() - headerLength);
    ogg_page_checksum_set(&og);
}

// libogg's packet-to-page framing of one stream.
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

}  // namespace

int64_t Page::granule() const {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[6 + i];
    return static_cast<int64_t>(v);
}

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

std::error_code readHeaders(io::Reader& in, int count, Headers& h) {
    std::optional<Page> first = nextPage(in, 0, kFirstPageWithin);
    if (!first || !first->bos() || count < 1) return damaged();
    h.firstPage = first->offset;
    h.serial = first->serial();
    h.packets.assign(static_cast<size_t>(count), {});
    int got = 0;
    uint64_t headerBytes = 0;
    std::vector<uint8_t> partial;
    std::optional<Page> page = std::move(first);
    while (got < count) {
        if (!page) return damaged();  // cut short, or a damaged page among the headers
        const bool ours = page->serial() == h.serial;
        headerBytes += page->bytes.size();
        if (headerBytes > kMaxHeaderBytes) return damaged();
        if (ours) {
            // A page continuing a packet exactly when one is open.
            if (page->continued() != !partial.empty()) return damaged();
            size_t bodyAt = page->headerLength;
            for (size_t i = 0; i < page->segments(); ++i) {
                if (got == count) return damaged();  // audio data on the last header's page
                const uint8_t n = page->lacing(i);
                partial.insert(partial.end(), page->bytes.begin() + static_cast<std::ptrdiff_t>(bodyAt),
                               page->bytes.begin() + static_cast<std::ptrdiff_t>(bodyAt + n));
                bodyAt += n;
                if (n < 255) {
                    h.packets[static_cast<size_t>(got++)] = std::move(partial);
                    partial.clear();
                }
            }
            if (got < count && page->eos()) return damaged();
            if (got == count) {
                if (!partial.empty()) return damaged();
                h.end = page->end();
                h.lastSequence = page->sequence();
                h.eosOnLast = page->eos();
            }
        }
        const uint64_t at = page->end();
        h.pages.push_back({std::move(*page), ours});
        if (got < count)
            page = pageAt(in, at);
        else
            page.reset();
    }
    return {};
}

std::optional<Page> lastPage(io::Reader& in, uint64_t from, const std::function<bool(const Page&)>& accept) {
    // Backwards through the file in windows, the last page taken in the
    // latest window that has one.
    constexpr uint64_t kWindow = 65536;
    std::vector<uint8_t> window;
    for (uint64_t end = in.size(); end > from;) {
        const uint64_t start = end - from > kWindow ? end - kWindow : from;
        window.resize(static_cast<size_t>(end - start + 3));
        const size_t n = in.readAt(start, window.data(), window.size());
        std::optional<Page> found;
        for (size_t i = 0; i + 4 <= n && start + i < end; ++i) {
            if (std::memcmp(window.data() + i, "OggS", 4) != 0) continue;
            std::optional<Page> p = pageAt(in, start + i);
            if (!p) continue;
            i += p->bytes.size() - 1;
            if (accept(*p)) found = std::move(p);
        }
        if (found) return found;
        end = start;
    }
    return std::nullopt;
}

std::optional<int64_t> lastGranule(io::Reader& in, uint32_t serial, uint64_t from) {
    const std::optional<Page> p =
        lastPage(in, from, [serial](const Page& page) { return page.serial() == serial && page.granule() != -1; });
    if (!p) return std::nullopt;
    return p->granule();
}

std::error_code rewriteHeaders(io::Reader& in, const std::string& path, const Headers& h,
                               std::vector<std::vector<uint8_t>> packets) {
    if (packets.empty() || h.pages.empty()) return damaged();
    uint64_t total = 0;
    for (const auto& p : packets) total += p.size();
    if (total > kMaxHeaderBytes) return make_error_code(io::Error::TooLarge);

    // The new header pages: the first packet alone, then the others, the
    // last page ending with the last packet.
    StreamState os(static_cast<int>(h.serial));
    if (!os.ok()) return damaged();
    os.add(packets[0], 0, true, h.eosOnLast && packets.size() == 1);
    const std::vector<std::vector<uint8_t>> firstPages = os.flush();
    for (size_t i = 1; i < packets.size(); ++i)
        os.add(packets[i], static_cast<int>(i), false, h.eosOnLast && i + 1 == packets.size());
    const std::vector<std::vector<uint8_t>> restPages = os.flush();
    const auto newCount = static_cast<uint32_t>(firstPages.size() + restPages.size());
    // What the stream's later pages' sequence numbers move by.
    const uint32_t shift = newCount - (h.lastSequence + 1);

    io::Rewrite out(path);
    if (!out.ok()) return out.error();
    out.copyFrom(in.fd(), 0, h.firstPage);
    bool firstDone = false;
    for (const Headers::Entry& e : h.pages) {
        if (!e.ours) {
            out.write(e.page.bytes);
        } else if (!firstDone) {
            for (const auto& p : firstPages) out.write(p);
            firstDone = true;
        }
        if (e.ours && e.page.end() == h.end)
            for (const auto& p : restPages) out.write(p);
    }

    // The pages after the headers, as they are; the stream's own pages up to
    // its end take their new sequence numbers.
    uint64_t at = h.end;
    bool streamEnded = h.eosOnLast;
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

}  // namespace qoro::audioinfo::ogg
