// Ogg Opus facts and comments: our own walk over the Ogg pages ("OpusHead",
// "OpusTags", the last granule position), and the "OpusTags" rewrite.
#include <algorithm>
#include <cstring>

#include "io/file_rewrite.h"
#include "readers/ogg_comments.h"
#include "readers/ogg_pages.h"
#include "readers/readers.h"
#include "tags/vorbis_comments.h"

namespace qoro::audioinfo {

namespace {

// Opus decodes at 48 kHz whatever rate went into the encoder; granule
// positions count 48 kHz sample frames.
constexpr int32_t kOpusRate = 48000;
constexpr int32_t kOpusFormatTag = 0x704F;

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

struct OpusHead {
    int version = 0;
    int channels = 0;
    uint32_t preSkip = 0;
    uint32_t inputRate = 0;
    int gain = 0;  // Q7.8 dB
    int mapping = 0;
};

uint32_t le16(const std::vector<uint8_t>& b, size_t at) { return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8); }
uint32_t le32(const std::vector<uint8_t>& b, size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }

// The identification header: magic, a version this layout covers (major
// version 0), channels, and a channel mapping that fits the channels.
bool parseOpusHead(const std::vector<uint8_t>& p, OpusHead& h) {
    if (p.size() < 19 || std::memcmp(p.data(), "OpusHead", 8) != 0) return false;
    h.version = p[8];
    h.channels = p[9];
    h.preSkip = le16(p, 10);
    h.inputRate = le32(p, 12);
    h.gain = static_cast<int16_t>(le16(p, 16));
    h.mapping = p[18];
    if ((h.version >> 4) != 0 || h.channels == 0) return false;
    if (h.mapping == 0) return h.channels <= 2;
    if (p.size() < 21 + static_cast<size_t>(h.channels)) return false;
    const int streams = p[19], coupled = p[20];
    if (streams == 0 || coupled > streams || streams + coupled > 255) return false;
    for (int i = 0; i < h.channels; ++i) {
        const int index = p[21 + static_cast<size_t>(i)];
        if (index != 255 && index >= streams + coupled) return false;
    }
    return true;
}

// The comment header: magic, the comment list, and what follows it (binary
// data when its first byte has the low bit set, else padding).
bool parseOpusTags(const std::vector<uint8_t>& p, vorbis::CommentBlock& block, size_t& end) {
    return p.size() >= 8 && std::memcmp(p.data(), "OpusTags", 8) == 0 && vorbis::parseCommentBlock(p, 8, block, end);
}

// The header section of an Opus file: both packets checked.
std::error_code readOpusHeaders(io::Reader& in, ogg::Headers& h, OpusHead& head, vorbis::CommentBlock& block,
                                size_t& tagsEnd) {
    if (auto ec = ogg::readHeaders(in, 2, h)) return ec;
    if (!parseOpusHead(h.packets[0], head) || !parseOpusTags(h.packets[1], block, tagsEnd)) return damaged();
    return {};
}

// The length in 48 kHz frames: the last granule position less the pre-skip,
// summed over the links of a chained file (Opus streams one after another,
// each beginning with its own "OpusHead").
int64_t opusLength(io::Reader& in, const ogg::Headers& h, const OpusHead& head) {
    auto length = [](int64_t last, uint32_t preSkip) { return last > int64_t{preSkip} ? last - preSkip : 0; };
    // Usually the file's last page is the stream's own: one link.
    const std::optional<ogg::Page> last = ogg::lastPage(in, h.end, [](const ogg::Page&) { return true; });
    if (!last || last->serial() == h.serial) {
        const std::optional<int64_t> granule = ogg::lastGranule(in, h.serial, h.end);
        return granule ? length(*granule, head.preSkip) : 0;
    }
    // Otherwise a walk over every page.
    struct Link {
        uint32_t serial;
        uint32_t preSkip;
        int64_t last = -1;
    };
    std::vector<Link> links = {{h.serial, head.preSkip}};
    for (uint64_t at = h.end; at < in.size();) {
        std::optional<ogg::Page> p = ogg::pageAt(in, at);
        if (!p) p = ogg::nextPage(in, at + 1, in.size());
        if (!p) break;
        OpusHead next;
        if (p->bos()) {
            const std::vector<uint8_t> body(p->bytes.begin() + static_cast<std::ptrdiff_t>(p->headerLength),
                                            p->bytes.end());
            if (parseOpusHead(body, next)) links.push_back({p->serial(), next.preSkip});
        } else if (p->serial() == links.back().serial && p->granule() != -1) {
            links.back().last = p->granule();
        }
        at = p->end();
    }
    int64_t total = 0;
    for (const Link& l : links) total += std::min(length(l.last, l.preSkip), INT64_MAX - total);
    return total;
}

}  // namespace

bool readOpus(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras) {
    io::Reader in(path);
    if (!in.ok()) return false;
    ogg::Headers h;
    OpusHead head;
    vorbis::CommentBlock block;
    size_t tagsEnd = 0;
    if (readOpusHeaders(in, h, head, block, tagsEnd)) return false;

    const int64_t samples = opusLength(in, h, head);
    facts.size = saturated32(in.size());
    facts.frequency = kOpusRate;
    facts.channels = head.channels;
    facts.bitsPerSample = 16;
    facts.formatTag = kOpusFormatTag;
    facts.samples = saturated32(static_cast<uint64_t>(samples));
    const int32_t ms = mulDiv(samples, 1000, kOpusRate);
    facts.duration = ms >= 0 ? ms : samples > 0 ? INT32_MAX : 0;
    if (samples > 0) {
        const auto bps = static_cast<unsigned __int128>(in.size()) * 8 * kOpusRate / static_cast<uint64_t>(samples);
        facts.bitrate = bps > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bps);
    } else {
        facts.bitrate = 0;
    }
    facts.description = "Opus " + std::to_string(kOpusRate) + " Hz, " + vorbis::channelText(head.channels);

    applyVorbisComments(block.comments, tags);
    vorbis::collectExtras(block.comments, extras);
    return true;
}

int probeOpus(const std::string& path) {
    io::Reader in(path);
    if (!in.ok()) return -2;
    const std::optional<ogg::Page> first = ogg::nextPage(in, 0, ogg::kFirstPageWithin);
    if (!first || !first->bos() || first->bytes.size() - first->headerLength < 8) return 0;
    return std::memcmp(first->bytes.data() + first->headerLength, "OpusHead", 8) == 0 ? 1 : 0;
}

std::error_code writeOpusTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    ogg::Headers h;
    OpusHead head;
    vorbis::CommentBlock block;
    size_t tagsEnd = 0;
    if (auto ec = readOpusHeaders(in, h, head, block, tagsEnd)) return ec;
    std::vector<std::string> comments;
    if (auto ec = vorbis::commentsAfter(block.comments, tags, changes, true, comments)) return ec;
    block.comments = std::move(comments);

    const std::vector<uint8_t>& old = h.packets[1];
    std::vector<uint8_t> packet = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    vorbis::appendCommentBlock(packet, block);
    const bool binary = tagsEnd < old.size() && (old[tagsEnd] & 1);
    if (binary) {
        // Data of the application that wrote it: kept as it is.
        packet.insert(packet.end(), old.begin() + static_cast<std::ptrdiff_t>(tagsEnd), old.end());
    } else if (tagsEnd < old.size() && packet.size() < old.size()) {
        // Padding: as much as keeps the packet's size, so its pages keep their layout.
        packet.resize(old.size(), 0);
    }
    if (packet == old) return {};  // nothing changes
    return ogg::rewriteHeaders(in, path, h, {h.packets[0], std::move(packet)});
}

}  // namespace qoro::audioinfo
