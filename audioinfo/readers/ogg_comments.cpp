// The Ogg Vorbis comment header rewrite: the header section is checked by
// libvorbis, the comment packet rebuilt from the properties and the changes,
// and only the header pages re-framed.
#include "readers/ogg_comments.h"

#include <vorbis/codec.h>

#include <cstring>

#include "io/file_rewrite.h"
#include "readers/ogg_pages.h"
#include "tags/vorbis_comments.h"

namespace qoro::audioinfo {

namespace {

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

// The vendor string and comments of a comment header packet.
bool parseCommentPacket(const std::vector<uint8_t>& p, vorbis::CommentBlock& block) {
    if (p.size() < 7 || p[0] != 3 || std::memcmp(p.data() + 1, "vorbis", 6) != 0) return false;
    size_t end = 0;
    if (!vorbis::parseCommentBlock(p, 7, block, end)) return false;
    return end < p.size() && (p[end] & 1);  // the framing bit
}

std::vector<uint8_t> commentPacket(const vorbis::CommentBlock& block) {
    std::vector<uint8_t> b = {3, 'v', 'o', 'r', 'b', 'i', 's'};
    vorbis::appendCommentBlock(b, block);
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

}  // namespace

std::error_code writeOggComments(const std::string& path, const tags::TagRecord& tags,
                                 const tags::TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    ogg::Headers h;
    if (auto ec = ogg::readHeaders(in, 3, h)) return ec;
    {
        HeaderCheck check;
        for (int i = 0; i < 3; ++i)
            if (!check.accepts(h.packets[static_cast<size_t>(i)], i)) return damaged();
    }
    vorbis::CommentBlock block;
    if (!parseCommentPacket(h.packets[1], block)) return damaged();
    std::vector<std::string> comments;
    if (auto ec = vorbis::commentsAfter(block.comments, tags, changes, true, comments)) return ec;
    block.comments = std::move(comments);
    std::vector<uint8_t> packet = commentPacket(block);
    if (packet == h.packets[1]) return {};  // nothing changes
    return ogg::rewriteHeaders(in, path, h, {h.packets[0], std::move(packet), h.packets[2]});
}

}  // namespace qoro::audioinfo
