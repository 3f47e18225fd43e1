#include "riff_test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>

namespace qoro::test::riffutil {

uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}

std::string u32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string u16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }

std::string chunk(const std::string& id, const std::string& content) {
    std::string c = id + u32(static_cast<uint32_t>(content.size())) + content;
    if (content.size() & 1) c += '\0';
    return c;
}

std::string list(const std::string& type, const std::string& entries) { return chunk("LIST", type + entries); }

RiffView listChunks(const Bytes& file) {
    RiffView v;
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0)
        return v;
    v.riff = true;
    v.riffSize = le32(file, 4);
    uint64_t pos = 12;
    while (pos + 8 <= file.size()) {
        Chunk c;
        c.offset = pos;
        c.id.assign(file.begin() + static_cast<long>(pos), file.begin() + static_cast<long>(pos + 4));
        c.size = le32(file, pos + 4);
        const uint64_t end = pos + 8 + c.size + (c.size & 1);
        if (pos + 8 + c.size > file.size()) break;
        c.bytes.assign(file.begin() + static_cast<long>(pos),
                       file.begin() + static_cast<long>(std::min<uint64_t>(end, file.size())));
        if (c.id == "LIST" && c.size >= 4) c.type = c.bytes.substr(8, 4);
        v.chunks.push_back(c);
        pos = end;
    }
    v.end = std::min<uint64_t>(pos, file.size());
    return v;
}

std::vector<Chunk> subChunks(const Chunk& l) {
    std::vector<Chunk> out;
    const std::string c = l.content();
    for (size_t pos = 4; pos + 8 <= c.size();) {
        Chunk s;
        s.offset = pos;
        s.id = c.substr(pos, 4);
        s.size = le32(Bytes(c.begin() + static_cast<long>(pos + 4), c.begin() + static_cast<long>(pos + 8)), 0);
        if (pos + 8 + s.size > c.size()) break;
        s.bytes = c.substr(pos, 8 + s.size + (s.size & 1));
        out.push_back(s);
        pos += 8 + s.size + (s.size & 1);
    }
    return out;
}

std::vector<Chunk> chunksOf(const RiffView& v, const std::string& id, const std::string& type) {
    std::vector<Chunk> out;
    for (const Chunk& c : v.chunks)
        if (c.id == id && (type.empty() || c.type == type)) out.push_back(c);
    return out;
}

std::vector<Chunk> otherChunks(const RiffView& v) {
    std::vector<Chunk> out;
    for (const Chunk& c : v.chunks) {
        const bool textDisp = c.id == "DISP" && (c.size < 4 || c.content().substr(0, 4) == u32(1));
        const bool filler = c.id == "JUNK" && c.content().find_first_not_of('\0') == std::string::npos;
        if ((c.id == "LIST" && (c.type == "INFO" || c.type == "adtl")) || c.id == "cue " || textDisp || filler)
            continue;
        out.push_back(c);
    }
    return out;
}

Bytes wave(const std::vector<std::string>& chunks) {
    std::string body = "WAVE";
    for (const std::string& c : chunks) body += c;
    const std::string all = "RIFF" + u32(static_cast<uint32_t>(body.size())) + body;
    return Bytes(all.begin(), all.end());
}

Bytes withChunks(const Bytes& file, const std::string& before, const std::string& after) {
    const RiffView v = listChunks(file);
    std::vector<std::string> chunks;
    for (const Chunk& c : v.chunks) {
        if (c.id == "data") chunks.push_back(before);
        chunks.push_back(c.bytes);
    }
    chunks.push_back(after);
    return wave(chunks);
}

namespace {

uint32_t oggCrc(uint32_t crc, const uint8_t* data, size_t n) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            table[i] = r;
        }
        ready = true;
    }
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) & 0xFF) ^ data[i]];
    return crc;
}

}  // namespace

bool listPages(const Bytes& file, std::vector<OggPage>& pages) {
    size_t pos = 0;
    while (pos < file.size()) {
        if (file.size() - pos < 27 || std::memcmp(file.data() + pos, "OggS", 4) != 0) return false;
        OggPage p;
        p.flags = file[pos + 5];
        uint64_t g = 0;
        for (int i = 7; i >= 0; --i) g = (g << 8) | file[pos + 6 + static_cast<size_t>(i)];
        p.granule = static_cast<int64_t>(g);
        p.serial = le32(file, pos + 14);
        p.sequence = le32(file, pos + 18);
        const size_t segments = file[pos + 26];
        if (file.size() - pos < 27 + segments) return false;
        p.lacing.assign(file.begin() + static_cast<long>(pos + 27),
                        file.begin() + static_cast<long>(pos + 27 + segments));
        size_t body = 0;
        for (unsigned char l : p.lacing) body += l;
        const size_t total = 27 + segments + body;
        if (file.size() - pos < total) return false;
        p.body.assign(file.begin() + static_cast<long>(pos + 27 + segments),
                      file.begin() + static_cast<long>(pos + total));
        const uint8_t zeros[4] = {};
        uint32_t crc = oggCrc(0, file.data() + pos, 22);  // the checksum field counts as zeros
        crc = oggCrc(crc, zeros, 4);
        crc = oggCrc(crc, file.data() + pos + 26, total - 26);
        p.checksumOk = crc == le32(file, pos + 22);
        pages.push_back(std::move(p));
        pos += total;
    }
    return true;
}

size_t headerPageCount(const std::vector<OggPage>& pages) {
    int packets = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        for (unsigned char l : pages[i].lacing)
            if (l < 255) ++packets;
        if (packets >= 3) return i + 1;
    }
    return pages.size();
}

void withFileSizeLimit(uint64_t limit, const std::function<void()>& fn) {
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit lower = old;
    lower.rlim_cur = static_cast<rlim_t>(limit);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0);
    fn();
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
}

std::string mutagen(const std::string& script, const std::vector<std::string>& args) {
    const CommandResult r = python(script, args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

std::string audioMd5(const std::filesystem::path& file) {
    const CommandResult r = run("ffmpeg -nostdin -v error -i " + shellQuote(file.string()) + " -map 0:a -f md5 -");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const size_t at = r.output.find("MD5=");
    EXPECT_NE(at, std::string::npos) << r.output;
    return at == std::string::npos ? r.output : r.output.substr(at);
}

}  // namespace qoro::test::riffutil
