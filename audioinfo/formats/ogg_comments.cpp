// The Vorbis comment rewrite: headers re-framed with a new comment packet,
// audio packets copied with their granule positions.
#include "formats/ogg_comments.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "genre/genre.h"

namespace qoro::audioinfo {

namespace {

constexpr size_t kChunk = 4096;

// The names the record sets; comments of these names in the file are replaced.
constexpr const char* kManagedNames[] = {"ALBUM",     "TITLE",    "ARTIST", "COMMENT",   "COPYRIGHT",  "GENRE",
                                         "COMPOSER", "URL",      "ENCODEDBY", "DATE", "TRACKNUMBER"};

bool isManaged(const char* comment, int length) {
    const char* eq = static_cast<const char*>(std::memchr(comment, '=', static_cast<size_t>(length)));
    if (!eq) return false;
    const size_t n = static_cast<size_t>(eq - comment);
    for (const char* name : kManagedNames) {
        if (std::strlen(name) != n) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) {
            char c = comment[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            same = c == name[i];
        }
        if (same) return true;
    }
    return false;
}

// libogg/libvorbis working state, cleared on every path.
struct Codec {
    ogg_sync_state sync;
    ogg_stream_state in;
    ogg_stream_state out;
    vorbis_info info;
    vorbis_comment comment;
    bool inOpen = false;
    bool outOpen = false;
    Codec() {
        ogg_sync_init(&sync);
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }
    ~Codec() {
        if (inOpen) ogg_stream_clear(&in);
        if (outOpen) ogg_stream_clear(&out);
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
        ogg_sync_clear(&sync);
    }
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
};

// Feeds the next chunk of input into the sync layer; false at the end.
bool feed(std::FILE* in, ogg_sync_state& sync) {
    char* buffer = ogg_sync_buffer(&sync, kChunk);
    if (!buffer) return false;
    const size_t got = std::fread(buffer, 1, kChunk, in);
    ogg_sync_wrote(&sync, static_cast<long>(got));
    return got > 0;
}

bool writePage(std::FILE* out, const ogg_page& page) {
    return std::fwrite(page.header, 1, static_cast<size_t>(page.header_len), out) ==
               static_cast<size_t>(page.header_len) &&
           std::fwrite(page.body, 1, static_cast<size_t>(page.body_len), out) == static_cast<size_t>(page.body_len);
}

bool flushAll(std::FILE* out, ogg_stream_state& os) {
    ogg_page page;
    while (ogg_stream_flush(&os, &page) != 0)
        if (!writePage(out, page)) return false;
    return true;
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> commentPacket(const std::string& vendor, const std::vector<std::string>& comments) {
    std::vector<uint8_t> b = {3, 'v', 'o', 'r', 'b', 'i', 's'};
    put32(b, static_cast<uint32_t>(vendor.size()));
    b.insert(b.end(), vendor.begin(), vendor.end());
    put32(b, static_cast<uint32_t>(comments.size()));
    for (const std::string& c : comments) {
        put32(b, static_cast<uint32_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
    b.push_back(1);  // framing bit
    return b;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::vector<std::string> vorbisCommentsOf(const tags::TagRecord& t) {
    std::vector<std::string> c;
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty()) c.push_back(std::string(name) + "=" + value);
    };
    add("Album", t.album);
    add("Title", t.title);
    add("Artist", t.artist);
    add("Comment", t.comments);
    add("Copyright", t.copyright);
    if (genre::isValid(t.genre)) add("Genre", std::string(genre::toString(t.genre)));
    add("Composer", t.composer);
    add("URL", t.url);
    add("EncodedBy", t.encodedBy);
    if (t.year > 0) add("Date", std::to_string(t.year));
    if (t.track > 0) add("TrackNumber", std::to_string(t.track));
    return c;
}

bool rewriteVorbisComments(std::FILE* in, std::FILE* out, const std::vector<std::string>& comments) {
    Codec k;
    ogg_page page;
    // The first page must be within the first chunk.
    if (!feed(in, k.sync) || ogg_sync_pageout(&k.sync, &page) != 1) return false;
    const int serial = ogg_page_serialno(&page);
    if (ogg_stream_init(&k.in, serial) != 0) return false;
    k.inOpen = true;
    if (ogg_stream_pagein(&k.in, &page) != 0) return false;

    // The three header packets.
    std::vector<uint8_t> headers[3];
    int got = 0;
    bool eosSeen = ogg_page_eos(&page) != 0;
    while (got < 3) {
        ogg_packet op;
        const int r = ogg_stream_packetout(&k.in, &op);
        if (r < 0) return false;  // a hole in the header section
        if (r == 1) {
            if (vorbis_synthesis_headerin(&k.info, &k.comment, &op) != 0) return false;
            headers[got++].assign(op.packet, op.packet + op.bytes);
            continue;
        }
        // More pages of this stream, fetching input as needed.
        int p;
        while ((p = ogg_sync_pageout(&k.sync, &page)) != 1) {
            if (p == 0 && !feed(in, k.sync)) return false;  // cut short
        }
        if (ogg_page_serialno(&page) == serial) {
            if (ogg_stream_pagein(&k.in, &page) != 0) return false;
            eosSeen = eosSeen || ogg_page_eos(&page);
        }
    }

    // New comment set: the record's comments, then the file's others.
    std::vector<std::string> all = comments;
    for (int i = 0; i < k.comment.comments; ++i)
        if (!isManaged(k.comment.user_comments[i], k.comment.comment_lengths[i]))
            all.emplace_back(k.comment.user_comments[i], static_cast<size_t>(k.comment.comment_lengths[i]));
    std::vector<uint8_t> newComment = commentPacket(k.comment.vendor ? k.comment.vendor : "", all);

    if (ogg_stream_init(&k.out, serial) != 0) return false;
    k.outOpen = true;
    ogg_packet hp{};
    hp.packet = headers[0].data();
    hp.bytes = static_cast<long>(headers[0].size());
    hp.b_o_s = 1;
    hp.packetno = 0;
    ogg_stream_packetin(&k.out, &hp);
    if (!flushAll(out, k.out)) return false;
    hp = ogg_packet{};
    hp.packet = newComment.data();
    hp.bytes = static_cast<long>(newComment.size());
    hp.packetno = 1;
    ogg_stream_packetin(&k.out, &hp);
    hp = ogg_packet{};
    hp.packet = headers[2].data();
    hp.bytes = static_cast<long>(headers[2].size());
    hp.packetno = 2;
    ogg_stream_packetin(&k.out, &hp);
    if (!flushAll(out, k.out)) return false;

    // Audio packets with their granule positions.
    ogg_int64_t granule = 0;
    long lastBlock = 0;
    bool needFlush = false, needPageOut = false;
    bool inputEnded = false;
    for (;;) {
        ogg_packet op;
        const int r = ogg_stream_packetout(&k.in, &op);
        if (r == 1) {
            if (needFlush) {
                if (!flushAll(out, k.out)) return false;
            } else if (needPageOut) {
                ogg_page o;
                while (ogg_stream_pageout(&k.out, &o) != 0)
                    if (!writePage(out, o)) return false;
            }
            needFlush = needPageOut = false;
            const long block = vorbis_packet_blocksize(&k.info, &op);
            if (block > 0) {
                if (lastBlock > 0) granule += (lastBlock + block) / 4;
                lastBlock = block;
            }
            if (op.granulepos == -1) {
                op.granulepos = granule;
            } else if (granule > op.granulepos) {
                granule = op.granulepos;
                needFlush = true;
            } else {
                needPageOut = true;
            }
            ogg_stream_packetin(&k.out, &op);
            continue;
        }
        if (r < 0) continue;  // a hole in the data: carry on with what follows
        if (eosSeen || inputEnded) break;
        int p;
        while ((p = ogg_sync_pageout(&k.sync, &page)) != 1) {
            if (p == 0 && !feed(in, k.sync)) {
                inputEnded = true;
                break;
            }
        }
        if (inputEnded) continue;  // drain what the stream still holds
        if (ogg_page_serialno(&page) == serial) {
            if (ogg_stream_pagein(&k.in, &page) != 0) continue;
            eosSeen = ogg_page_eos(&page) != 0;
        }
    }
    if (!flushAll(out, k.out)) return false;

    // What follows the stream (further chained streams) is copied unchanged.
    while (ogg_sync_pageout(&k.sync, &page) == 1)
        if (!writePage(out, page)) return false;
    char buffer[kChunk];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        if (std::fwrite(buffer, 1, n, out) != n) return false;
    return !std::ferror(in);
}

bool writeOggComments(const std::string& path, const tags::TagRecord& tags) {
    const std::string temp = path + ".ogg";
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) return false;
    std::error_code ec;
    FilePtr out(std::fopen(temp.c_str(), "wb"));
    if (!out) return false;
    bool ok = rewriteVorbisComments(in.get(), out.get(), vorbisCommentsOf(tags));
    ok = std::fflush(out.get()) == 0 && ok;
    ok = std::fclose(out.release()) == 0 && ok;
    in.reset();
    if (ok) {
        std::filesystem::rename(temp, path, ec);  // replaces the file in one step
        ok = !ec;
    }
    if (!ok) std::filesystem::remove(temp, ec);
    return ok;
}

}  // namespace qoro::audioinfo
