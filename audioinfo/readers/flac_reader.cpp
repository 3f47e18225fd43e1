// FLAC facts and tags from the metadata blocks (our own walk; no decoder is
// needed for them), and the rewrite of the comment and picture blocks.
#include <algorithm>
#include <array>
#include <cstring>

#include "io/file_rewrite.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "tags/vorbis_comments.h"

namespace qoro::audioinfo {

namespace {

constexpr int32_t kFlacFormatTag = 0xF1AC;
enum BlockType { kStreamInfo = 0, kPadding = 1, kVorbisComment = 4, kPicture = 6, kInvalidType = 127 };
constexpr uint32_t kStreamInfoLength = 34;
// A block's length is 24 bits.
constexpr uint32_t kMaxBlockLength = 0xFFFFFF;
// More blocks than any real file holds: a file claiming more is damaged.
constexpr size_t kMaxBlocks = 1u << 16;
// The padding left for later changes when the blocks no longer fit their place.
constexpr uint32_t kNewPadding = 4096;
// Blocks that fit their old place are written there when that place is at
// most this large (it is held twice in memory); larger ones are copied.
constexpr uint64_t kMaxInPlace = uint64_t{64} << 20;
// Written as the vendor of a comment block made where there was none.
constexpr const char* kVendor = "Quillet";

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

struct Block {
    int type = 0;
    uint64_t offset = 0;  // of its 4-byte header
    uint32_t length = 0;  // of its body
    uint64_t body() const { return offset + 4; }
};

struct Layout {
    uint64_t magic = 0;  // offset of "fLaC"
    uint64_t audio = 0;  // just after the last block
    std::vector<Block> blocks;
};

// Where "fLaC" should stand: after the ID3v2 tags the file begins with.
uint64_t afterId3v2(io::Reader& in) {
    uint64_t at = 0;
    for (int i = 0; i < 16; ++i) {
        uint8_t h[10];
        if (in.readAt(at, h, 10) != 10 || std::memcmp(h, "ID3", 3) != 0) break;
        if ((h[6] | h[7] | h[8] | h[9]) & 0x80) break;  // not a synchsafe size
        const uint64_t size = (uint64_t{h[6]} << 21) | (uint64_t{h[7]} << 14) | (uint64_t{h[8]} << 7) | h[9];
        const uint64_t total = 10 + size + ((h[5] & 0x10) ? 10 : 0);
        if (in.size() - at < total) break;
        at += total;
    }
    return at;
}

// The blocks, each whole within the file, "STREAMINFO" first and only there.
std::optional<Layout> readLayout(io::Reader& in) {
    Layout l;
    l.magic = afterId3v2(in);
    uint8_t magic[4];
    if (in.readAt(l.magic, magic, 4) != 4 || std::memcmp(magic, "fLaC", 4) != 0) return std::nullopt;
    uint64_t at = l.magic + 4;
    for (bool last = false; !last;) {
        uint8_t h[4];
        if (in.readAt(at, h, 4) != 4 || l.blocks.size() >= kMaxBlocks) return std::nullopt;
        last = h[0] & 0x80;
        Block b;
        b.type = h[0] & 0x7F;
        b.offset = at;
        b.length = (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
        if (b.type == kInvalidType || in.size() - at - 4 < b.length) return std::nullopt;
        if ((b.type == kStreamInfo) != l.blocks.empty()) return std::nullopt;
        if (b.type == kStreamInfo && b.length != kStreamInfoLength) return std::nullopt;
        l.blocks.push_back(b);
        at += 4 + uint64_t{b.length};
    }
    l.audio = at;
    return l;
}

std::optional<std::vector<uint8_t>> bodyOf(io::Reader& in, const Block& b) {
    std::vector<uint8_t> body(b.length);
    if (in.readAt(b.body(), body.data(), body.size()) != body.size()) return std::nullopt;
    return body;
}

// A comment block's vendor and comments (FLAC's has no framing bit).
bool parseComments(const std::vector<uint8_t>& body, vorbis::CommentBlock& block) {
    size_t end = 0;
    return vorbis::parseCommentBlock(body, 0, block, end);
}

struct StreamInfo {
    uint32_t rate = 0;
    int channels = 0;
    int bits = 0;
    uint64_t samples = 0;  // 0: not known
};

std::optional<StreamInfo> readStreamInfo(io::Reader& in, const Layout& l) {
    uint8_t b[kStreamInfoLength];
    if (in.readAt(l.blocks[0].body(), b, sizeof b) != sizeof b) return std::nullopt;
    StreamInfo s;
    s.rate = (uint32_t{b[10]} << 12) | (uint32_t{b[11]} << 4) | (b[12] >> 4);
    s.channels = ((b[12] >> 1) & 7) + 1;
    s.bits = (((b[12] & 1) << 4) | (b[13] >> 4)) + 1;
    s.samples = (uint64_t{b[13] & 0x0Fu} << 32) | (uint64_t{b[14]} << 24) | (uint64_t{b[15]} << 16) |
                (uint64_t{b[16]} << 8) | b[17];
    if (s.rate == 0) return std::nullopt;  // invalid in a stream's information
    return s;
}

// True when the file holds 'body' at 'offset'.
bool sameAsStored(io::Reader& in, uint64_t offset, const std::vector<uint8_t>& body) {
    uint8_t block[1 << 16];
    for (size_t done = 0; done < body.size();) {
        const size_t n = std::min(sizeof block, body.size() - done);
        if (in.readAt(offset + done, block, n) != n || std::memcmp(block, body.data() + done, n) != 0) return false;
        done += n;
    }
    return true;
}

// The 4-byte header of a block.
std::array<uint8_t, 4> blockHeader(int type, uint64_t length, bool last) {
    return {static_cast<uint8_t>(type | (last ? 0x80 : 0)), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

// One block of the new metadata: a stored one carried over, or a new body.
struct Entry {
    int type = 0;
    const Block* stored = nullptr;
    std::vector<uint8_t> body;
    std::optional<int> kind;  // of a picture
    uint64_t length() const { return stored ? stored->length : body.size(); }
};

}  // namespace

bool readFlac(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras) {
    io::Reader in(path);
    if (!in.ok()) return false;
    const std::optional<Layout> layout = readLayout(in);
    if (!layout) return false;
    const std::optional<StreamInfo> info = readStreamInfo(in, *layout);
    if (!info) return false;

    facts.size = saturated32(in.size());
    facts.frequency = static_cast<int32_t>(info->rate);
    facts.channels = info->channels;
    facts.bitsPerSample = info->bits;
    facts.formatTag = kFlacFormatTag;
    facts.samples = saturated32(info->samples);
    const int32_t ms = mulDiv(static_cast<int64_t>(info->samples), 1000, info->rate);
    facts.duration = ms >= 0 ? ms : info->samples > 0 ? INT32_MAX : 0;
    if (info->samples > 0) {
        const auto bps = static_cast<unsigned __int128>(in.size()) * 8 * info->rate / info->samples;
        facts.bitrate = bps > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bps);
    } else {
        facts.bitrate = 0;
    }
    facts.description = "FLAC " + std::to_string(info->bits) + " bit, " + std::to_string(info->rate) + " Hz, " +
                        vorbis::channelText(info->channels);

    bool commentsSeen = false;
    for (const Block& b : layout->blocks) {
        if (b.type == kVorbisComment && !commentsSeen) {
            commentsSeen = true;  // a stream has one; any other is not read
            vorbis::CommentBlock block;
            const auto body = bodyOf(in, b);
            if (body && parseComments(*body, block)) {
                applyVorbisComments(block.comments, tags);
                vorbis::collectExtras(block.comments, extras);
            }
        } else if (b.type == kPicture) {
            if (const auto body = bodyOf(in, b))
                if (auto picture = vorbis::parsePicture(*body)) extras.pictures.push_back(std::move(*picture));
        }
    }
    return true;
}

int probeFlac(const std::string& path) {
    io::Reader in(path);
    if (!in.ok()) return -2;
    const uint64_t at = afterId3v2(in);
    uint8_t b[8];
    if (in.readAt(at, b, 8) != 8 || std::memcmp(b, "fLaC", 4) != 0) return 0;
    return (b[4] & 0x7F) == kStreamInfo && b[5] == 0 && b[6] == 0 && b[7] == kStreamInfoLength ? 1 : 0;
}

std::error_code writeFlacTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    const std::optional<Layout> layout = readLayout(in);
    if (!layout || !readStreamInfo(in, *layout)) return damaged();

    // The blocks as they stand, padding left out (it is made anew).
    std::vector<Entry> plan;
    for (const Block& b : layout->blocks) {
        if (b.type == kPadding) continue;
        Entry e{b.type, &b, {}, std::nullopt};
        if (b.type == kPicture) {
            uint8_t kind[4];
            if (b.length >= 4 && in.readAt(b.body(), kind, 4) == 4) e.kind = vorbis::pictureKind(kind);
        }
        plan.push_back(std::move(e));
    }
    const std::vector<Entry> before = [&] {
        std::vector<Entry> copy;
        for (const Entry& e : plan) copy.push_back({e.type, e.stored, {}, e.kind});
        return copy;
    }();

    // The comments: the first comment block is the stream's.
    const auto comments = std::find_if(plan.begin(), plan.end(), [](const Entry& e) { return e.type == kVorbisComment; });
    vorbis::CommentBlock block;
    block.vendor = kVendor;
    std::optional<std::vector<uint8_t>> oldBody;
    if (comments != plan.end()) {
        oldBody = bodyOf(in, *comments->stored);
        if (!oldBody || !parseComments(*oldBody, block)) return damaged();
    }
    std::vector<std::string> list;
    if (auto ec = vorbis::commentsAfter(block.comments, tags, changes, false, list)) return ec;
    block.comments = std::move(list);
    std::vector<uint8_t> newBody;
    vorbis::appendCommentBlock(newBody, block);
    if (comments != plan.end()) {
        if (newBody != *oldBody) {
            comments->stored = nullptr;
            comments->body = std::move(newBody);
        }
    } else if (!block.comments.empty()) {
        plan.insert(plan.begin() + 1, Entry{kVorbisComment, nullptr, std::move(newBody), std::nullopt});
    }

    vorbis::applyPictureChanges(
        plan, changes.pictures, [](const Entry& e) { return e.type == kPicture ? e.kind : std::nullopt; },
        [](const tags::TagPicture& p) { return Entry{kPicture, nullptr, vorbis::pictureBody(p), p.kind}; });

    // Nothing to do when every block is what the file holds.
    bool changed = plan.size() != before.size();
    for (size_t i = 0; !changed && i < plan.size(); ++i) {
        const Entry& e = plan[i];
        const Entry& was = before[i];
        if (e.stored == was.stored) continue;
        changed = e.stored || e.type != was.type || e.body.size() != was.stored->length ||
                  !sameAsStored(in, was.stored->body(), e.body);
    }
    if (!changed) return {};

    uint64_t length = 0;
    for (const Entry& e : plan) {
        if (e.length() > kMaxBlockLength) return make_error_code(io::Error::TooLarge);
        length += 4 + e.length();
    }
    // Padding fills the place the old blocks took when the new ones fit in it,
    // so that the audio stays where it was; then only that place is written,
    // in the file itself.
    const uint64_t start = layout->magic + 4;
    const uint64_t place = layout->audio - start;
    std::optional<uint32_t> padding;
    bool fits = true;
    if (length + 4 <= place && place - length - 4 <= kMaxBlockLength) {
        padding = static_cast<uint32_t>(place - length - 4);
    } else if (length != place) {
        padding = kNewPadding;
        fits = false;
    }
    if (fits && place <= kMaxInPlace) {
        std::vector<uint8_t> old(static_cast<size_t>(place));
        if (in.readAt(start, old.data(), old.size()) != old.size()) return damaged();
        std::vector<uint8_t> region;
        region.reserve(old.size());
        for (size_t i = 0; i < plan.size(); ++i) {
            const Entry& e = plan[i];
            const auto h = blockHeader(e.type, e.length(), i + 1 == plan.size() && !padding);
            region.insert(region.end(), h.begin(), h.end());
            if (e.stored) {
                const auto body = old.begin() + static_cast<std::ptrdiff_t>(e.stored->body() - start);
                region.insert(region.end(), body, body + e.stored->length);
            } else {
                region.insert(region.end(), e.body.begin(), e.body.end());
            }
        }
        if (padding) {
            const auto h = blockHeader(kPadding, *padding, true);
            region.insert(region.end(), h.begin(), h.end());
            region.resize(region.size() + *padding, 0);
        }
        return io::overwrite(path, in, start, old, region);
    }

    io::Rewrite out(path);
    if (!out.ok()) return out.error();
    out.copyFrom(in.fd(), 0, start);
    for (size_t i = 0; i < plan.size(); ++i) {
        const Entry& e = plan[i];
        out.write(blockHeader(e.type, e.length(), i + 1 == plan.size() && !padding));
        if (e.stored)
            out.copyFrom(in.fd(), e.stored->body(), e.stored->length);
        else
            out.write(e.body);
    }
    if (padding) {
        out.write(blockHeader(kPadding, *padding, true));
        const std::vector<uint8_t> zeros(std::min<uint32_t>(*padding, 1u << 16), 0);
        for (uint32_t left = *padding; left > 0 && out.ok();) {
            const auto n = std::min<uint32_t>(left, static_cast<uint32_t>(zeros.size()));
            out.write(zeros.data(), n);
            left -= n;
        }
    }
    out.copyFrom(in.fd(), layout->audio);
    return out.commit();
}

}  // namespace qoro::audioinfo
