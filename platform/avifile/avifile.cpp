#include "avifile/avifile.h"

#include <algorithm>
#include <cstring>

namespace qoro::avifile {

namespace {

constexpr riff::FourCC kAvi = riff::fourcc("AVI ");
constexpr riff::FourCC kHdrl = riff::fourcc("hdrl");
constexpr riff::FourCC kStrl = riff::fourcc("strl");
constexpr riff::FourCC kStrh = riff::fourcc("strh");
constexpr riff::FourCC kStrf = riff::fourcc("strf");
constexpr riff::FourCC kMovi = riff::fourcc("movi");
constexpr riff::FourCC kRec = riff::fourcc("rec ");
constexpr riff::FourCC kIdx1 = riff::fourcc("idx1");

// A stream's format record is a few dozen bytes; anything this large is not one.
constexpr uint32_t kMaxFormatBytes = 64 * 1024;
// Header lists nest one level (hdrl > strl); "movi" may hold "rec " lists.
constexpr int kMaxMoviDepth = 2;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// The stream number of a data chunk id ("01wb" -> 1), or -1.
int streamNumberOf(riff::FourCC id) {
    const char a = char(id & 0xFF), b = char((id >> 8) & 0xFF);
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
}

}  // namespace

bool File::open(const std::string& path) {
    close();
    auto file = std::make_shared<riff::File>();
    if (file->open(path, riff::Mode::Read) != riff::Status::Ok) return false;
    riff::Chunk form;
    form.formType = kAvi;
    if (file->descend(form, nullptr, riff::Find::Riff) != riff::Status::Ok) return false;
    file_ = file;
    path_ = path;
    const uint64_t fileSize = file->size();
    riff::Chunk ck;
    while (file->descend(ck, &form, riff::Find::Next) == riff::Status::Ok) {
        if (ck.dataEnd() > fileSize && ck.id != riff::kList) break;  // a lying size: stop here
        if (ck.id == riff::kList && ck.formType == kHdrl) {
            walkHeaderList(ck);
        } else if (ck.id == riff::kList && ck.formType == kMovi) {
            movi_ = ck;
            haveMovi_ = true;
            moviOffset_ = ck.dataOffset;
        } else if (ck.id == kIdx1 && !haveIndex_) {
            const uint64_t bytes = std::min<uint64_t>(ck.size, fileSize - std::min(fileSize, ck.dataOffset));
            const size_t entries = static_cast<size_t>(bytes / 16);
            std::vector<uint8_t> raw(entries * 16);
            if (file->readExact(raw.data(), raw.size())) {
                index_.reserve(entries);
                for (size_t i = 0; i < entries; ++i) {
                    const uint8_t* e = &raw[i * 16];
                    index_.push_back({le32(e), le32(e + 8), le32(e + 12)});
                }
                haveIndex_ = true;
            }
        }
        if (file->ascend(ck) != riff::Status::Ok) break;
        if (ck.nextOffset() >= fileSize) break;
    }
    if (streams_.empty()) {
        close();
        return false;
    }
    return true;
}

void File::walkHeaderList(const riff::Chunk& hdrl) {
    riff::File& f = *file_;
    riff::Chunk ck;
    while (f.descend(ck, &hdrl, riff::Find::Next) == riff::Status::Ok) {
        if (!ck.endsWithin(hdrl)) break;
        if (ck.id == riff::kList && ck.formType == kStrl) {
            StreamEntry entry;
            bool haveHeader = false;
            riff::Chunk sub;
            while (f.descend(sub, &ck, riff::Find::Next) == riff::Status::Ok) {
                if (!sub.endsWithin(ck)) break;
                if (sub.id == kStrh && sub.size >= 48) {
                    uint8_t h[56] = {};
                    const size_t n = std::min<size_t>(sub.size, sizeof h);
                    if (f.readExact(h, n)) {
                        StreamInfo& s = entry.info;
                        s.type = le32(h);
                        s.handler = le32(h + 4);
                        s.flags = le32(h + 8);
                        s.priority = le16(h + 12);
                        s.language = le16(h + 14);
                        s.initialFrames = le32(h + 16);
                        s.scale = le32(h + 20);
                        s.rate = le32(h + 24);
                        s.start = le32(h + 28);
                        s.length = le32(h + 32);
                        s.suggestedBufferSize = le32(h + 36);
                        s.quality = le32(h + 40);
                        s.sampleSize = le32(h + 44);
                        haveHeader = true;
                    }
                } else if (sub.id == kStrf && sub.size <= kMaxFormatBytes) {
                    std::vector<uint8_t> fmt(sub.size);
                    if (f.readExact(fmt.data(), fmt.size())) entry.format = std::move(fmt);
                }
                if (f.ascend(sub) != riff::Status::Ok) break;
            }
            if (haveHeader) streams_.push_back(std::move(entry));
        }
        if (f.ascend(ck) != riff::Status::Ok) break;
    }
}

void File::walkMovi(const riff::Chunk& list, std::vector<IndexEntry>& out, uint64_t base, int depth) const {
    riff::File& f = *file_;
    f.seek(static_cast<int64_t>(list.dataOffset + 4));
    riff::Chunk ck;
    while (f.descend(ck, &list, riff::Find::Next) == riff::Status::Ok) {
        if (!ck.endsWithin(list)) break;
        if (ck.id == riff::kList && ck.formType == kRec && depth < kMaxMoviDepth) {
            walkMovi(ck, out, base, depth + 1);
            f.seek(static_cast<int64_t>(ck.dataOffset));  // back inside this list for ascend()
        } else {
            // The same form as an "idx1" entry: offset of the chunk header from base.
            const uint64_t rel = ck.dataOffset - 8 - base;
            if (rel <= UINT32_MAX) out.push_back({ck.id, static_cast<uint32_t>(rel), ck.size});
        }
        if (f.ascend(ck) != riff::Status::Ok) break;
    }
}

std::optional<Stream> File::stream(riff::FourCC type, size_t index) const {
    if (!file_) return std::nullopt;
    size_t number = 0;
    size_t seen = 0;
    for (; number < streams_.size(); ++number) {
        if (type != 0 && streams_[number].info.type != type) continue;
        if (seen++ == index) break;
    }
    if (number >= streams_.size() || number > 99) return std::nullopt;

    Stream s;
    s.path_ = path_;
    s.info_ = streams_[number].info;
    s.format_ = streams_[number].format;
    s.file_ = file_;

    riff::File& f = *file_;
    const uint64_t fileSize = f.size();
    std::vector<IndexEntry> entries;
    uint64_t base = moviOffset_;
    if (haveIndex_ && !index_.empty()) {
        entries = index_;
        // "idx1" offsets count from the "movi" list type in most files, from
        // the start of the file in some: look where the first entry points.
        const IndexEntry& first = index_.front();
        uint8_t id[4] = {};
        bool relative = false;
        if (f.seek(static_cast<int64_t>(moviOffset_ + first.offset)) >= 0 && f.readExact(id, 4))
            relative = le32(id) == first.id;
        if (!relative) base = 0;
    } else if (haveMovi_) {
        walkMovi(movi_, entries, base, 0);
    }

    for (const IndexEntry& e : entries) {
        if (streamNumberOf(e.id) != static_cast<int>(number)) continue;
        const char kind0 = char((e.id >> 16) & 0xFF), kind1 = char((e.id >> 24) & 0xFF);
        if (kind0 == 'p' && kind1 == 'c') continue;  // palette change, not data
        const uint64_t data = base + e.offset + 8;
        if (data > fileSize || e.size > fileSize - data) continue;  // beyond the file
        s.chunks_.push_back({data, e.size, s.totalBytes_});
        s.totalBytes_ += e.size;
    }
    return s;
}

void File::close() {
    file_.reset();
    streams_.clear();
    index_.clear();
    haveIndex_ = false;
    haveMovi_ = false;
    moviOffset_ = 0;
    path_.clear();
}

int64_t Stream::read(uint64_t start, uint64_t samples, std::span<uint8_t> out, size_t* bytesRead) {
    if (bytesRead) *bytesRead = 0;
    if (!file_) return -1;
    riff::File& f = *file_;
    size_t written = 0;
    if (info_.sampleSize == 0) {
        // One sample per chunk: whole chunks while they fit.
        uint64_t done = 0;
        for (uint64_t k = start; k < chunks_.size() && done < samples; ++k, ++done) {
            const ChunkRef& c = chunks_[k];
            if (c.size > out.size() - written) break;
            if (f.seek(static_cast<int64_t>(c.offset)) < 0 || !f.readExact(out.data() + written, c.size)) return -1;
            written += c.size;
        }
        if (bytesRead) *bytesRead = written;
        return static_cast<int64_t>(done);
    }
    const uint64_t unit = info_.sampleSize;
    const uint64_t available = totalBytes_ / unit;
    if (start >= available) return 0;
    const uint64_t count = std::min({samples, available - start, static_cast<uint64_t>(out.size()) / unit});
    const int64_t got = readBytes(start * unit, out.first(static_cast<size_t>(count * unit)));
    if (got < 0) return -1;
    if (bytesRead) *bytesRead = static_cast<size_t>(got);
    return got / static_cast<int64_t>(unit);
}

int64_t Stream::readBytes(uint64_t offset, std::span<uint8_t> out) {
    if (!file_) return -1;
    if (offset >= totalBytes_) return 0;
    riff::File& f = *file_;
    uint64_t pos = offset;
    const uint64_t end = offset + std::min<uint64_t>(out.size(), totalBytes_ - offset);
    size_t written = 0;
    // The chunk holding byte 'pos'.
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), pos,
                               [](uint64_t p, const ChunkRef& c) { return p < c.firstByte; });
    if (it != chunks_.begin()) --it;
    while (pos < end && it != chunks_.end()) {
        const uint64_t within = pos - it->firstByte;
        const uint64_t take = std::min<uint64_t>(it->size - within, end - pos);
        if (f.seek(static_cast<int64_t>(it->offset + within)) < 0 ||
            !f.readExact(out.data() + written, static_cast<size_t>(take)))
            return -1;
        written += static_cast<size_t>(take);
        pos += take;
        ++it;
    }
    return static_cast<int64_t>(written);
}

}  // namespace qoro::avifile
