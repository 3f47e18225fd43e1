#include "tags/wav_info.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "io/file_rewrite.h"
#include "riff/riff.h"
#include "tags/fields.h"
#include "tags/id3v2.h"
#include "tags/text.h"

namespace qoro::tags {

namespace {

using riff::fourcc;
using riff::FourCC;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint32_t le32(std::string_view s) { return le32(reinterpret_cast<const uint8_t*>(s.data())); }
void putLe16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8); }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int cueNumber(uint32_t stored) { return stored > INT_MAX ? INT_MAX : static_cast<int>(stored); }

// The most read from one chunk whose content is text; a longer chunk keeps
// only its beginning (texts end at their first zero byte anyway).
constexpr uint64_t kMaxTextChunk = 64u << 20;
// The largest "id3 " chunk read: the biggest tag ID3v2 can describe
// (header, 28-bit body, footer).
constexpr uint64_t kMaxId3Chunk = 10 + (uint64_t{1} << 28) + 10;
// The most the tag chunks of a file (INFO, DISP, cue, adtl) may hold for a
// rewrite, each entry counted with what keeping it costs; beyond that the
// file is taken as damaged.
constexpr uint64_t kMaxTagChunks = 64u << 20;
constexpr uint64_t kEntryCost = 64;
// The most cue points read from a file, and INFO entries of other kinds
// remembered.
constexpr uint32_t kMaxCues = 1u << 16;
constexpr size_t kMaxOtherInfo = 4096;

using FieldSet = std::array<bool, kFieldCount>;

// The RIFF "INFO" ids of the property fields as they are written, in that
// order. "INAM" names the title in files without a "DISP" chunk (as other
// programs write it); ours hold the title in "DISP" and the album in both
// "INAM" and "IPRD", the track in both "ITRK" and "IPRT".
struct InfoField {
    FourCC id;
    Field field;
};
constexpr FourCC kInam = fourcc("INAM");
constexpr FourCC kIprd = fourcc("IPRD");
constexpr InfoField kInfoFields[] = {
    {fourcc("IART"), Field::Artist},
    {fourcc("ICMT"), Field::Comments},
    {fourcc("ICOP"), Field::Copyright},
    {kInam, Field::Album},
    {kIprd, Field::Album},
    {fourcc("IGNR"), Field::Genre},
    {fourcc("ISFT"), Field::EncodedBy},
    {fourcc("ICMS"), Field::Composer},
    {fourcc("IURL"), Field::Url},
    {fourcc("ITRK"), Field::Track},
    {fourcc("IPRT"), Field::Track},  // ffmpeg's name of the track
    {fourcc("ICRD"), Field::Year},
};
constexpr size_t kInfoFieldCount = std::size(kInfoFields);

const InfoField* infoField(FourCC id) {
    for (const InfoField& f : kInfoFields)
        if (f.id == id) return &f;
    return nullptr;
}

size_t infoFieldIndex(const InfoField& f) { return static_cast<size_t>(&f - kInfoFields); }

// A "DISP" chunk holds the title when its type is 1 (text); other kinds
// (pictures, ...) are not the title.
bool isTextDisp(std::string_view firstBytes) { return firstBytes.size() < 4 || le32(firstBytes) == 1; }

// --- bytes of a file -----------------------------------------------------------

// Random access to the bytes of a file, on disk or in memory.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    virtual size_t readAt(uint64_t offset, void* data, size_t n) const = 0;

    bool readExact(uint64_t offset, void* data, size_t n) const {
        if (n == 0) return true;
        if (offset > size() || n > size() - offset) return false;
        return readAt(offset, data, n) == n;
    }
    // 'n' bytes at 'offset'; false when the file holds fewer.
    bool bytes(uint64_t offset, uint64_t n, std::string& out) const {
        if (offset > size() || n > size() - offset) return false;
        out.resize(static_cast<size_t>(n));
        return readExact(offset, out.data(), out.size());
    }
};

class FileSource final : public Source {
public:
    explicit FileSource(const io::Reader& reader) : reader_(reader) {}
    uint64_t size() const override { return reader_.size(); }
    size_t readAt(uint64_t offset, void* data, size_t n) const override { return reader_.readAt(offset, data, n); }

private:
    const io::Reader& reader_;
};

class MemorySource final : public Source {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    size_t readAt(uint64_t offset, void* data, size_t n) const override {
        if (offset >= bytes_.size()) return 0;
        n = std::min<size_t>(n, bytes_.size() - static_cast<size_t>(offset));
        std::memcpy(data, bytes_.data() + offset, n);
        return n;
    }

private:
    std::span<const uint8_t> bytes_;
};

// --- reading -------------------------------------------------------------------

// A chunk header as the walk finds it.
struct Head {
    FourCC id = 0;
    uint32_t size = 0;
    FourCC type = 0;          // form or list type of "RIFF"/"LIST"
    uint64_t dataOffset = 0;  // just after the 8-byte header (the type of a list)
    uint64_t dataEnd() const { return dataOffset + size; }
    uint64_t next() const { return dataOffset + size + (size & 1u); }
    bool endsWithin(const Head& parent) const { return dataEnd() <= parent.dataEnd(); }
};

// What reading found, beyond the record and the cues.
struct ReadState {
    FieldSet hasField{};  // properties set by an INFO entry or "DISP"
    FieldSet fromId3{};   // properties the "id3 " chunk has a value for
    // The INFO id each property was read from (0: none, or "DISP").
    std::array<FourCC, kFieldCount> source{};
};

// The walk of the RIFF form: every chunk in turn; the walk ends where no
// further chunk header is found or a chunk would end beyond the form.
class Walker {
public:
    Walker(const Source& src, TagRecord& record, CueList& cues, WavChunks& chunks, ReadState& state)
        : src_(src), record_(record), cues_(cues), chunks_(chunks), state_(state) {}

    bool walkFile() {
        // The RIFF "WAVE" form: the first top-level chunk of that kind. An
        // "RF64" form (sizes beyond 4 GiB) is read the same way; its
        // "ds64" chunk is passed over.
        Head form;
        for (uint64_t pos = 0;; pos = form.next()) {
            if (!headAt(pos, src_.size(), form)) return false;
            if ((form.id == riff::kRiff || form.id == riff::kRf64) && form.type == fourcc("WAVE")) break;
        }
        Head ck;
        for (uint64_t pos = form.dataOffset + 4; headAt(pos, form.dataEnd(), ck) && ck.endsWithin(form);
             pos = ck.next())
            if (!handle(ck)) return false;
        takeNames();
        if (id3Size_ > 0) takeId3();
        return true;
    }

private:
    // The chunk header at 'pos' when it lies before 'end' and in the file.
    bool headAt(uint64_t pos, uint64_t end, Head& h) const {
        if (pos > end || end - pos < 8) return false;
        uint8_t b[8];
        if (!src_.readExact(pos, b, 8)) return false;
        h = Head{le32(b), le32(b + 4), 0, pos + 8};
        if (h.id == riff::kRiff || h.id == riff::kList || h.id == riff::kRf64) {
            uint8_t t[4];
            if (!src_.readExact(pos + 8, t, 4)) return false;
            h.type = le32(t);
        }
        return true;
    }

    // The content of a chunk (at most kMaxTextChunk bytes of it); false
    // when the file holds less than the chunk claims.
    bool content(const Head& ck, std::string& out) const {
        if (ck.dataEnd() > src_.size()) return false;
        return src_.bytes(ck.dataOffset, std::min<uint64_t>(ck.size, kMaxTextChunk), out);
    }

    bool handle(const Head& ck) {
        if (ck.id == fourcc("fmt ")) return readFormat(ck);
        if (ck.id == fourcc("data")) {
            chunks_.hasData = true;
            chunks_.dataSize = ck.size;
            chunks_.dataOffset = ck.dataOffset;
            return true;
        }
        if (ck.id == fourcc("fact")) {
            uint8_t v[4];
            if (ck.size < 4 || !src_.readExact(ck.dataOffset, v, 4)) return false;
            chunks_.hasFact = true;
            chunks_.factValue = le32(v);
            return true;
        }
        if (ck.id == fourcc("DISP")) {
            std::string c;
            if (!content(ck, c)) return false;
            if (!isTextDisp(c)) return true;
            record_.title = c.size() > 4 ? text::fromStored(std::string_view(c).substr(4)) : std::string();
            state_.hasField[fieldIndex(Field::Title)] = true;
            textDisp_ = true;
            return true;
        }
        if (ck.id == fourcc("id3 ") || ck.id == fourcc("ID3 ")) {
            // The first one is the file's tag; it is read after the walk.
            if (id3Size_ == 0 && ck.size > 0 && ck.size <= kMaxId3Chunk && ck.dataEnd() <= src_.size()) {
                id3Offset_ = ck.dataOffset;
                id3Size_ = ck.size;
            }
            return true;
        }
        if (ck.id == fourcc("cue ")) return readCues(ck);
        if (ck.id == riff::kList && ck.type == fourcc("INFO")) return walkList(ck, &Walker::infoEntry);
        if (ck.id == riff::kList && ck.type == fourcc("adtl")) return walkList(ck, &Walker::adtlEntry);
        return true;
    }

    bool walkList(const Head& list, bool (Walker::*entry)(const Head&)) {
        Head sub;
        for (uint64_t pos = list.dataOffset + 4; headAt(pos, list.dataEnd(), sub) && sub.endsWithin(list);
             pos = sub.next())
            if (!(this->*entry)(sub)) return false;
        return true;
    }

    bool readFormat(const Head& ck) {
        uint8_t head[18] = {};
        const size_t have = std::min<uint32_t>(ck.size, 18);
        if (!src_.readExact(ck.dataOffset, head, have)) return false;
        const uint16_t tag = le16(head);
        size_t extra = (tag == 1 || tag == 6 || tag == 7) ? 0 : le16(head + 16);
        extra =
            std::min<size_t>({extra, kMaxFormatExtra, ck.size > 18 ? static_cast<size_t>(ck.size - 18) : size_t(0)});
        putLe16(head + 16, static_cast<uint16_t>(extra));
        chunks_.format.assign(head, head + 18);
        chunks_.format.resize(18 + extra);
        return src_.readExact(ck.dataOffset + 18, chunks_.format.data() + 18, extra);
    }

    bool readCues(const Head& ck) {
        uint8_t n[4];
        if (ck.size < 4) return true;
        if (!src_.readExact(ck.dataOffset, n, 4)) return false;
        // Only the records the chunk holds, whatever the count promises.
        const uint32_t room = cues_.size() >= kMaxCues ? 0 : kMaxCues - static_cast<uint32_t>(cues_.size());
        const uint32_t count = std::min({le32(n), (ck.size - 4) / 24, room});
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t rec[24];
            if (!src_.readExact(ck.dataOffset + 4 + 24 * uint64_t{i}, rec, 24)) return false;
            Cue cue;
            cue.position = le32(rec + 4);
            cues_.appendAfterCurrent(std::move(cue));
        }
        return true;
    }

    bool infoEntry(const Head& sub) {
        const InfoField* field = infoField(sub.id);
        if (!field) {
            std::string c;
            if (chunks_.otherInfo.size() < kMaxOtherInfo && content(sub, c))
                chunks_.otherInfo.push_back({riff::fourCCToString(sub.id), std::move(c)});
            return true;
        }
        std::string c;
        if (!content(sub, c)) return false;
        if (sub.id == kInam || sub.id == kIprd) {
            // What they name depends on the whole form: taken after the walk.
            (sub.id == kInam ? inam_ : iprd_) = text::fromStored(c);
            return true;
        }
        state_.hasField[fieldIndex(field->field)] = true;
        state_.source[fieldIndex(field->field)] = sub.id;
        setFieldText(record_, field->field, text::fromStored(c));
        return true;
    }

    // "IPRD" is the album; "INAM" the title in a form without a "DISP" text
    // (as other programs write them), else the album when there is no "IPRD".
    void takeNames() {
        auto take = [&](Field f, FourCC id, const std::string& text) {
            state_.hasField[fieldIndex(f)] = true;
            state_.source[fieldIndex(f)] = id;
            setFieldText(record_, f, text);
        };
        if (inam_ && !textDisp_) take(Field::Title, kInam, *inam_);
        if (iprd_)
            take(Field::Album, kIprd, *iprd_);
        else if (inam_ && textDisp_)
            take(Field::Album, kInam, *inam_);
    }

    bool adtlEntry(const Head& sub) {
        const bool labl = sub.id == fourcc("labl"), note = sub.id == fourcc("note"), ltxt = sub.id == fourcc("ltxt");
        if (!labl && !note && !ltxt) return true;
        if (sub.size < (ltxt ? 20u : 4u)) return true;  // too short to name a cue
        std::string c;
        if (!content(sub, c)) return false;
        const auto* p = reinterpret_cast<const uint8_t*>(c.data());
        cues_.select(cueNumber(le32(p)));
        Cue* cue = cues_.current();
        if (!cue) return true;
        if (ltxt) {
            cue->length = le32(p + 4);
            cue->country = le16(p + 12);
            cue->language = le16(p + 14);
            cue->dialect = le16(p + 16);
            cue->codePage = le16(p + 18);
            cue->text = text::fromStored(std::string_view(c).substr(20));
        } else {
            (labl ? cue->label : cue->note) = text::fromStored(std::string_view(c).substr(4));
        }
        return true;
    }

    // The properties no INFO entry or "DISP" gave, from the "id3 " chunk's tag.
    void takeId3() {
        std::string bytes;
        if (!src_.bytes(id3Offset_, id3Size_, bytes)) return;
        const auto tag = parseId3v2(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        if (!tag) return;
        TagRecord fromTag;
        tag->applyTo(fromTag);
        for (const FieldInfo& f : kFields) {
            if (tag->text(id3v2FrameOf(f.field)).empty()) continue;
            state_.fromId3[fieldIndex(f.field)] = true;
            if (!state_.hasField[fieldIndex(f.field)]) copyField(record_, fromTag, f.field);
        }
    }

    const Source& src_;
    TagRecord& record_;
    CueList& cues_;
    WavChunks& chunks_;
    ReadState& state_;
    uint64_t id3Offset_ = 0;
    uint64_t id3Size_ = 0;
    bool textDisp_ = false;                   // a "DISP" chunk holding text was seen
    std::optional<std::string> inam_, iprd_;  // the last of each
};

bool readFrom(const Source& src, TagRecord& record, CueList& cues, WavChunks& chunks, ReadState& state) {
    Walker walker(src, record, cues, chunks, state);
    const bool ok = walker.walkFile();
    cues.sort();
    return ok;
}

// --- the layout of a file to rewrite -------------------------------------------

enum class Kind { Other, Info, Adtl, Cue, Disp, Junk /* zeros only */, Data };

// A top-level chunk of the form, as it stands in the file.
struct TopChunk {
    uint64_t offset = 0;  // of the header
    FourCC id = 0;
    uint32_t size = 0;
    bool padMissing = false;  // odd size and the file ends before the pad byte
    Kind kind = Kind::Other;
    uint64_t dataOffset() const { return offset + 8; }
    uint64_t dataEnd() const { return offset + 8 + size; }
    uint64_t end() const { return dataEnd() + ((size & 1u) && !padMissing ? 1 : 0); }
    bool isTag() const { return kind == Kind::Info || kind == Kind::Adtl || kind == Kind::Cue || kind == Kind::Disp; }
};

struct Layout {
    uint64_t fileSize = 0;
    std::vector<TopChunk> chunks;
    uint64_t tailStart = 0;  // bytes from here to the end of the file follow the last chunk
};

bool allZero(const Source& src, uint64_t from, uint64_t to) {
    uint8_t block[4096];
    for (uint64_t at = from; at < to;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof block, to - at));
        if (!src.readExact(at, block, n)) return false;
        if (std::any_of(block, block + n, [](uint8_t b) { return b != 0; })) return false;
        at += n;
    }
    return true;
}

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

// The chunks of the RIFF "WAVE" form at the start of the file, every one of
// them whole: a chunk reaching beyond the file or the form makes the file
// one we do not rewrite.
std::error_code walkLayout(const Source& src, Layout& out) {
    out.fileSize = src.size();
    uint8_t h[12];
    if (!src.readExact(0, h, 12) || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0)
        return damaged();
    const uint64_t riffEnd = 8 + uint64_t{le32(h + 4)};
    const uint64_t bound = std::min(riffEnd, out.fileSize);
    uint64_t pos = 12;
    while (pos + 8 <= bound) {
        uint8_t b[12];
        if (!src.readExact(pos, b, 8)) return damaged();
        TopChunk c;
        c.offset = pos;
        c.id = le32(b);
        c.size = le32(b + 4);
        if (c.dataEnd() > out.fileSize || c.dataEnd() > riffEnd) return damaged();
        if ((c.size & 1u) && c.dataEnd() == out.fileSize) c.padMissing = true;
        if (c.id == riff::kList && c.size >= 4) {
            if (!src.readExact(c.dataOffset(), b + 8, 4)) return damaged();
            if (le32(b + 8) == fourcc("INFO")) c.kind = Kind::Info;
            if (le32(b + 8) == fourcc("adtl")) c.kind = Kind::Adtl;
        } else if (c.id == fourcc("cue ")) {
            c.kind = Kind::Cue;
        } else if (c.id == fourcc("DISP")) {
            std::string first;
            if (!src.bytes(c.dataOffset(), std::min<uint32_t>(c.size, 4), first)) return damaged();
            if (isTextDisp(first)) c.kind = Kind::Disp;
        } else if (c.id == fourcc("JUNK") && allZero(src, c.dataOffset(), c.dataEnd())) {
            c.kind = Kind::Junk;  // filler; a "JUNK" chunk with something in it is kept as it is
        } else if (c.id == fourcc("data")) {
            c.kind = Kind::Data;
        }
        out.chunks.push_back(c);
        pos = c.end();
    }
    out.tailStart = std::min(pos, out.fileSize);
    return {};
}

// --- building the new chunks ---------------------------------------------------

void appendLe32(std::string& s, uint32_t v) {
    uint8_t b[4];
    putLe32(b, v);
    s.append(reinterpret_cast<char*>(b), 4);
}
void appendLe16(std::string& s, uint16_t v) {
    uint8_t b[2];
    putLe16(b, v);
    s.append(reinterpret_cast<char*>(b), 2);
}

// A whole chunk: header, content and pad byte.
std::string chunkBytes(FourCC id, std::string_view content) {
    std::string c;
    appendLe32(c, id);
    appendLe32(c, static_cast<uint32_t>(content.size()));
    c.append(content);
    if (content.size() & 1u) c += '\0';
    return c;
}

std::string listBytes(FourCC type, std::string_view entries) {
    std::string content;
    appendLe32(content, type);
    content.append(entries);
    return chunkBytes(riff::kList, content);
}

// Text up to its first zero, with a terminating zero.
std::string zeroTerminated(const std::string& s) { return std::string(s.c_str()) + '\0'; }

// The content a property is written with, or nullopt when it writes none.
std::optional<std::string> infoContent(const TagRecord& r, Field f) {
    const auto t = writtenText(r, f);
    if (!t || (*t)[0] == '\0') return std::nullopt;
    return zeroTerminated(*t);
}

// A sub-chunk of a list as it stands, pad byte included (a missing one added).
struct SubChunk {
    FourCC id = 0;
    std::string bytes;  // header, content, pad
};

// The sub-chunks of a list chunk, walked as reading walks them.
std::error_code subChunks(const Source& src, const TopChunk& list, std::vector<SubChunk>& out, uint64_t& budget) {
    for (uint64_t pos = list.dataOffset() + 4; pos + 8 <= list.dataEnd();) {
        uint8_t b[8];
        if (!src.readExact(pos, b, 8)) return damaged();
        const uint32_t size = le32(b + 4);
        const uint64_t dataEnd = pos + 8 + size;
        if (dataEnd > list.dataEnd()) break;
        if (size + 8 + kEntryCost > budget) return damaged();
        budget -= size + 8 + kEntryCost;
        SubChunk s;
        s.id = le32(b);
        if (!src.bytes(pos, 8 + uint64_t{size}, s.bytes)) return damaged();
        if (size & 1u) s.bytes += '\0';  // the pad byte carries nothing
        out.push_back(std::move(s));
        pos = dataEnd + (size & 1u);
    }
    return {};
}

// Everything the rewrite needs: the new "LIST" "INFO", "DISP", "cue " and
// "LIST" "adtl" as one block of bytes.
std::error_code buildTagBlock(const Source& src, const Layout& layout, const TagRecord& now, const CueList& cuesNow,
                              const ReadState& state, const TagRecord& record, const CueList& cues,
                              const TagChanges& changes, std::string& block) {
    uint64_t budget = kMaxTagChunks;
    std::vector<SubChunk> info, adtl;
    const TopChunk* lastDisp = nullptr;
    std::vector<const TopChunk*> cueChunks, adtlLists;
    bool adtlBeforeCue = false;
    for (const TopChunk& c : layout.chunks) {
        switch (c.kind) {
        case Kind::Info:
            if (auto ec = subChunks(src, c, info, budget)) return ec;
            break;
        case Kind::Adtl:
            if (cueChunks.empty()) adtlBeforeCue = true;
            adtlLists.push_back(&c);
            if (auto ec = subChunks(src, c, adtl, budget)) return ec;
            break;
        case Kind::Cue: cueChunks.push_back(&c); break;
        case Kind::Disp: lastDisp = &c; break;
        default: break;
        }
    }

    // "LIST" "INFO": every entry in its place, the entries of a property id
    // (the last one; earlier ones of its id go) kept as stored while the
    // property they are written for is unchanged and they are what reading
    // took for it (or say the same), else written anew; the property ids the file had no entry
    // of after them, in the order of writing, for a changed property, one
    // read from the INFO list or written by another id (so that "IPRD" joins
    // an "INAM" album).
    auto newEntry = [&](const InfoField& f) -> std::string {
        if (auto content = infoContent(record, f.field)) return chunkBytes(f.id, *content);
        // An empty entry, so that the "id3 " chunk's value no longer shows
        // ("IPRD" does it for the album: an empty "INAM" would need a "DISP").
        if (state.fromId3[fieldIndex(f.field)] && f.id != kInam) return chunkBytes(f.id, std::string(1, '\0'));
        return {};
    };
    constexpr size_t kNone = SIZE_MAX;
    std::array<size_t, kInfoFieldCount> last;  // the last entry of each property id
    last.fill(kNone);
    for (size_t i = 0; i < info.size(); ++i)
        if (const InfoField* f = infoField(info[i].id)) last[infoFieldIndex(*f)] = i;
    std::vector<SubChunk> kept;
    for (size_t i = 0; i < info.size(); ++i) {
        const InfoField* f = infoField(info[i].id);
        if (!f) {
            kept.push_back(info[i]);
        } else if (last[infoFieldIndex(*f)] == i) {
            // (The other id of the album keeps its bytes too while they say
            // the same.) An entry that meant another property ("INAM" as the
            // title) goes while its property is unchanged and comes from the
            // "id3 " chunk or nowhere.
            const std::string_view bytes = info[i].bytes;
            const bool same = sameField(now, record, f->field);
            const bool asStored =
                same && (state.source[fieldIndex(f->field)] == f->id ||
                         text::fromStored(bytes.substr(8, le32(bytes.substr(4)))) == fieldText(record, f->field));
            const bool elsewhere = same && !state.hasField[fieldIndex(f->field)];
            kept.push_back({f->id, asStored ? info[i].bytes : elsewhere ? std::string() : newEntry(*f)});
        }
    }
    FieldSet written{};  // properties an entry is written for
    for (const SubChunk& c : kept)
        if (const InfoField* f = infoField(c.id); f && !c.bytes.empty()) written[fieldIndex(f->field)] = true;
    for (const InfoField& f : kInfoFields) {
        const size_t k = fieldIndex(f.field);
        if (last[infoFieldIndex(f)] == kNone && (!sameField(now, record, f.field) || state.hasField[k] || written[k]))
            kept.push_back({f.id, newEntry(f)});
    }
    // The items set by name (a map name stands for its RIFF id): each
    // replaces every item of its id by one, its values joined, in the place
    // of the first of them (at the end when there was none), or removes them.
    for (const FieldChange& change : changes.fields) {
        std::string name = change.name;
        if (const MappedField* m = mappedField(change.name); m && !m->riff.empty()) name = m->riff;
        if (!isInfoItemId(name) || isPropertyInfoId(name)) continue;
        const FourCC id = riff::makeFourCC(name[0], name[1], name[2], name[3]);
        std::vector<SubChunk> next;
        bool placed = false;
        for (SubChunk& c : kept) {
            if (c.id != id) {
                next.push_back(std::move(c));
                continue;
            }
            if (!placed && !change.values.empty())
                next.push_back({id, chunkBytes(id, zeroTerminated(change.joined()))});
            placed = true;
        }
        if (!placed && !change.values.empty()) next.push_back({id, chunkBytes(id, zeroTerminated(change.joined()))});
        kept = std::move(next);
    }
    std::string entries;
    bool inam = false;  // an "INAM" is written: a "DISP" must say the title
    for (const SubChunk& c : kept) {
        entries += c.bytes;
        inam = inam || (c.id == kInam && !c.bytes.empty());
    }
    block = listBytes(fourcc("INFO"), entries);

    // "DISP": the title (empty when there is none, while "INAM" is written
    // or the "id3 " chunk's title is to be hidden).
    const bool sameTitle = sameField(now, record, Field::Title);
    auto disp = [&](const std::string& title) {
        std::string content;
        appendLe32(content, 1);
        block += chunkBytes(fourcc("DISP"), content + zeroTerminated(title));
    };
    if (sameTitle && lastDisp) {
        std::string bytes;
        if (lastDisp->size > budget || !src.bytes(lastDisp->offset, 8 + uint64_t{lastDisp->size}, bytes))
            return damaged();
        if (lastDisp->size & 1u) bytes += '\0';
        block += bytes;
    } else if (sameTitle && !state.hasField[fieldIndex(Field::Title)] && !inam) {
        // Unchanged, and from the "id3 " chunk or none: nothing to write.
    } else if (!record.title.empty() && record.title[0] != '\0') {
        disp(record.title);
    } else if (inam || state.fromId3[fieldIndex(Field::Title)]) {
        disp("");
    }

    // "cue " and "LIST" "adtl": kept as they are when the list is the one
    // reading gives and they stand as one pair in reading order.
    if (cues.cues() == cuesNow.cues() && cueChunks.size() <= 1 && adtlLists.size() <= 1 &&
        !(adtlBeforeCue && !cueChunks.empty())) {
        for (const TopChunk* c :
             {cueChunks.empty() ? nullptr : cueChunks[0], adtlLists.empty() ? nullptr : adtlLists[0]}) {
            if (!c) continue;
            std::string bytes;
            if (c->size > budget || !src.bytes(c->offset, 8 + uint64_t{c->size}, bytes)) return damaged();
            if (c->size & 1u) bytes += '\0';
            block += bytes;
        }
        return {};
    }
    const auto& list = cues.cues();
    if (!list.empty()) {
        std::string content;
        appendLe32(content, static_cast<uint32_t>(list.size()));
        for (size_t i = 0; i < list.size(); ++i) {
            appendLe32(content, static_cast<uint32_t>(i + 1));
            appendLe32(content, list[i].position);
            content += "data";
            appendLe32(content, 0);
            appendLe32(content, 0);
            appendLe32(content, list[i].position);
        }
        block += chunkBytes(fourcc("cue "), content);
    }
    std::string sub;
    for (size_t i = 0; i < list.size(); ++i) {
        const Cue& c = list[i];
        std::string ltxt;
        appendLe32(ltxt, static_cast<uint32_t>(i + 1));
        appendLe32(ltxt, c.length);
        ltxt += "rgn ";
        appendLe16(ltxt, c.country);
        appendLe16(ltxt, c.language);
        appendLe16(ltxt, c.dialect);
        appendLe16(ltxt, c.codePage);
        if (!c.text.empty() && c.text[0] != '\0') ltxt += zeroTerminated(c.text);
        sub += chunkBytes(fourcc("ltxt"), ltxt);
    }
    for (bool labels : {false, true})
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string& s = labels ? list[i].label : list[i].note;
            if (s.empty() || s[0] == '\0') continue;
            std::string content;
            appendLe32(content, static_cast<uint32_t>(i + 1));
            sub += chunkBytes(labels ? fourcc("labl") : fourcc("note"), content + zeroTerminated(s));
        }
    // Associated data of other kinds stays.
    for (const SubChunk& s : adtl)
        if (s.id != fourcc("labl") && s.id != fourcc("note") && s.id != fourcc("ltxt")) sub += s.bytes;
    if (!sub.empty()) block += listBytes(fourcc("adtl"), sub);
    return {};
}

// --- the plan of the new file ---------------------------------------------------

// The new file as pieces: ranges of the old file and new bytes.
struct Piece {
    bool copy = false;
    uint64_t from = 0;    // copy: offset in the old file
    uint64_t length = 0;  // copy: byte count
    std::string bytes;    // new bytes
    uint64_t size() const { return copy ? length : bytes.size(); }
};

struct Plan {
    std::vector<Piece> pieces;
    uint64_t size = 0;

    void copy(uint64_t from, uint64_t length) {
        if (length == 0) return;
        if (!pieces.empty() && pieces.back().copy && pieces.back().from + pieces.back().length == from) {
            pieces.back().length += length;
        } else {
            pieces.push_back({true, from, length, {}});
        }
        size += length;
    }
    void add(std::string bytes) {
        if (bytes.empty()) return;
        size += bytes.size();
        pieces.push_back({false, 0, 0, std::move(bytes)});
    }
    // True when every copied range stays at its offset: the change can be
    // made in the file itself.
    bool inPlace() const {
        uint64_t at = 0;
        for (const Piece& p : pieces) {
            if (p.copy && p.from != at) return false;
            at += p.size();
        }
        return true;
    }
};

// Chunks reading looks at: bytes after the form that hold one of them are
// not taken into the form as chunks.
bool readingLooksAt(FourCC id, const Source& src, uint64_t offset) {
    if (id == fourcc("fmt ") || id == fourcc("data") || id == fourcc("fact") || id == fourcc("DISP") ||
        id == fourcc("cue ") || id == fourcc("id3 ") || id == fourcc("ID3 ") || id == riff::kRiff)
        return true;
    if (id != riff::kList) return false;
    uint8_t t[4];
    return !src.readExact(offset + 8, t, 4) || le32(t) == fourcc("INFO") || le32(t) == fourcc("adtl");
}

// True when the bytes from 'from' to the end of the file are whole chunks
// that reading would not look at (the last one may lack its pad byte:
// 'padMissing' says so; 'onlyFiller' that every one is a "JUNK" chunk of
// zeros).
bool wholeOtherChunks(const Source& src, uint64_t from, bool& padMissing, bool& onlyFiller) {
    const uint64_t end = src.size();
    uint64_t pos = from;
    padMissing = false;
    onlyFiller = true;
    while (pos < end) {
        uint8_t b[8];
        if (end - pos < 8 || !src.readExact(pos, b, 8)) return false;
        const uint32_t id = le32(b);
        for (int i = 0; i < 4; ++i)
            if (b[i] < 0x20 || b[i] > 0x7E) return false;
        const uint64_t dataEnd = pos + 8 + le32(b + 4);
        if (dataEnd > end || readingLooksAt(id, src, pos)) return false;
        onlyFiller = onlyFiller && id == fourcc("JUNK") && allZero(src, pos + 8, dataEnd);
        padMissing = (le32(b + 4) & 1u) && dataEnd == end;
        pos = dataEnd + (le32(b + 4) & 1u);
    }
    return true;
}

std::error_code makePlan(const Source& src, const Layout& layout, const std::string& block, Plan& plan) {
    const auto& chunks = layout.chunks;
    const auto data =
        std::find_if(chunks.begin(), chunks.end(), [](const TopChunk& c) { return c.kind == Kind::Data; });
    if (data == chunks.end()) return damaged();
    const bool hadTags = std::any_of(chunks.begin(), chunks.end(), [](const TopChunk& c) { return c.isTag(); });
    // The places of the tags: each tag chunk with the tag and "JUNK" chunks
    // right after it; in a file without tags, the "JUNK" chunks right after
    // "data" (the tags go there, as a later write would put them).
    using It = std::vector<TopChunk>::const_iterator;
    struct Slot {
        It begin, end;
        uint64_t bytes() const { return (end - 1)->end() - begin->offset; }
    };
    std::vector<Slot> slots;
    for (It it = chunks.begin(); it != chunks.end();) {
        if (!it->isTag() && !(!hadTags && it == data + 1 && it->kind == Kind::Junk)) {
            ++it;
            continue;
        }
        Slot slot{it, it};
        while (slot.end != chunks.end() && (slot.end->isTag() || slot.end->kind == Kind::Junk)) ++slot.end;
        slots.push_back(slot);
        it = slot.end;
    }
    // The new chunks go into the first place they fit in (leaving no more
    // than the tags may hold to fill), or that ends the form (where they may
    // grow).
    const Slot* slot = nullptr;
    for (const Slot& s : slots) {
        const bool fits =
            block.size() == s.bytes() || (block.size() + 8 <= s.bytes() && s.bytes() - block.size() <= kMaxTagChunks);
        if (fits || s.end == chunks.end()) {
            slot = &s;
            break;
        }
    }
    const bool slotAtEnd = slot && slot->end == chunks.end();
    const It firstTag = slots.empty() ? chunks.end() : slots.front().begin;
    const It slotEnd = slots.empty() ? chunks.end() : slots.front().end;

    // Bytes after the last chunk: the remainder of an earlier tag write
    // (the form ends with tag chunks) and zeros, bare or as "JUNK" filler,
    // go; chunks reading does not look at are taken as they are; anything
    // else is kept inside a "JUNK" chunk. (Filler kept after the tags would
    // be taken into their place by the next write, which would then change
    // the file though nothing else changed.)
    enum class Tail { None, Drop, Chunks, Junk } tail = Tail::None;
    bool tailPadMissing = false, tailOnlyFiller = false;
    if (layout.tailStart < layout.fileSize) {
        const bool endsWithTags = (hadTags && slotAtEnd) || (!chunks.empty() && chunks.back().isTag());
        if (endsWithTags || allZero(src, layout.tailStart, layout.fileSize))
            tail = Tail::Drop;
        else if (wholeOtherChunks(src, layout.tailStart, tailPadMissing, tailOnlyFiller))
            tail = tailOnlyFiller ? Tail::Drop : Tail::Chunks;
        else
            tail = Tail::Junk;
    }

    // Where no place takes them they go at the end of the form, unless bytes
    // kept from after it (a "JUNK" chunk holding them, or still outside)
    // must stay last. Either way every other place of tags becomes one
    // "JUNK" chunk of its size, so that nothing moves. Else the file is
    // rebuilt with them in the place of the first ones.
    const bool atEnd =
        !slot && hadTags && (tail == Tail::None || tail == Tail::Drop) && chunks.back().id != fourcc("JUNK");
    uint64_t blanked = 0;
    for (const Slot& s : slots)
        if (&s != slot) blanked += s.bytes();
    const bool blank = (slot || atEnd) && blanked <= kMaxTagChunks;
    if (!blank) slot = nullptr;
    std::vector<const Slot*> slotAt(chunks.size(), nullptr);
    for (const Slot& s : slots)
        for (It it = s.begin; it != s.end; ++it) slotAt[static_cast<size_t>(it - chunks.begin())] = &s;

    plan.add(std::string(12, '\0'));  // the RIFF header, filled in below
    bool needPad = false;             // a chunk without its pad byte was copied
    auto add = [&](std::string bytes) {
        if (needPad) plan.add(std::string(1, '\0'));
        needPad = false;
        plan.add(std::move(bytes));
    };
    auto copy = [&](uint64_t from, uint64_t length) {
        if (needPad) plan.add(std::string(1, '\0'));
        needPad = false;
        plan.copy(from, length);
    };
    for (auto it = chunks.begin(); it != chunks.end(); ++it) {
        if (slot && it >= slot->begin && it < slot->end) {
            if (it != slot->begin) continue;
            std::string bytes = block;
            if (!slotAtEnd && block.size() < slot->bytes()) {
                // The rest of the place becomes a "JUNK" chunk.
                bytes += chunkBytes(fourcc("JUNK"), std::string(slot->bytes() - block.size() - 8, '\0'));
            }
            add(std::move(bytes));
            continue;
        }
        if (const Slot* other = slotAt[static_cast<size_t>(it - chunks.begin())]; blank && other) {
            if (it != other->begin) continue;
            std::string junk;
            appendLe32(junk, fourcc("JUNK"));
            appendLe32(junk, static_cast<uint32_t>(other->bytes() - 8));
            junk.resize(static_cast<size_t>(other->bytes()), '\0');
            add(std::move(junk));
            needPad = (other->end - 1)->padMissing;
            continue;
        }
        if (!blank && firstTag != chunks.end() && (it->isTag() || (it >= firstTag && it < slotEnd))) {
            if (it == firstTag) add(block);
            continue;
        }
        copy(it->offset, it->end() - it->offset);
        needPad = it->padMissing;
        if (it == data && firstTag == chunks.end()) add(block);
    }
    if (blank && !slot) add(block);
    switch (tail) {
    case Tail::None:
    case Tail::Drop: break;
    case Tail::Chunks:
        copy(layout.tailStart, layout.fileSize - layout.tailStart);
        needPad = tailPadMissing;
        break;
    case Tail::Junk: {
        const uint64_t n = layout.fileSize - layout.tailStart;
        if (n > 0xFFFFFFFFu) return make_error_code(io::Error::TooLarge);
        std::string header;
        appendLe32(header, fourcc("JUNK"));
        appendLe32(header, static_cast<uint32_t>(n));
        add(std::move(header));
        copy(layout.tailStart, n);
        needPad = (n & 1u) != 0;
        break;
    }
    }
    if (needPad) plan.add(std::string(1, '\0'));

    if (plan.size - 8 > 0xFFFFFFFFu) return make_error_code(io::Error::TooLarge);
    std::string& header = plan.pieces.front().bytes;
    header.clear();
    header += "RIFF";
    appendLe32(header, static_cast<uint32_t>(plan.size - 8));
    header += "WAVE";
    return {};
}

// Reads the file as GetAudioInformation does and plans the new file.
std::error_code planRewrite(const Source& src, const TagRecord& record, const CueList& cues, const TagChanges& changes,
                            Plan& plan) {
    Layout layout;
    if (auto ec = walkLayout(src, layout)) return ec;
    TagRecord now;
    CueList cuesNow;
    WavChunks chunks;
    ReadState state;
    if (!readFrom(src, now, cuesNow, chunks, state)) return damaged();
    std::string block;
    if (auto ec = buildTagBlock(src, layout, now, cuesNow, state, record, cues, changes, block)) return ec;
    return makePlan(src, layout, block, plan);
}

// Puts back bytes an in-place change overwrote, after it failed.
void restore(int fd, const std::vector<std::pair<uint64_t, std::string>>& saved) {
    for (const auto& [offset, bytes] : saved) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    [[maybe_unused]] int ignored = ::fsync(fd);
}

// Makes the change in the file itself: the new bytes past the old end first
// (a full disk fails there, before anything of the file has changed), then
// those within it, then the new length. On a failure the old bytes are put
// back and the file is cut back to its old length.
std::error_code applyInPlace(const std::string& path, const Source& src, const Plan& plan) {
    io::InPlace file(path);
    if (!file.ok()) return file.error();
    const uint64_t oldSize = src.size();
    if (file.originalSize() != oldSize) return make_error_code(std::errc::resource_unavailable_try_again);

    std::vector<std::pair<uint64_t, std::string>> saved;
    uint64_t at = 0;
    for (const Piece& p : plan.pieces) {
        if (!p.copy && at < oldSize) {
            std::string old;
            if (!src.bytes(at, std::min<uint64_t>(p.bytes.size(), oldSize - at), old)) return damaged();
            if (old != std::string_view(p.bytes).substr(0, old.size())) saved.emplace_back(at, std::move(old));
        }
        at += p.size();
    }
    if (plan.size < oldSize) {
        std::string old;
        if (!src.bytes(plan.size, oldSize - plan.size, old)) return damaged();
        saved.emplace_back(plan.size, std::move(old));
    }

    for (bool beyond : {true, false}) {
        at = 0;
        for (const Piece& p : plan.pieces) {
            const uint64_t start = at;
            at += p.size();
            if (p.copy) continue;
            const uint64_t from = beyond ? std::max(start, oldSize) : start;
            const uint64_t to = beyond ? at : std::min(at, oldSize);
            if (from >= to) continue;
            const std::string_view part = std::string_view(p.bytes).substr(from - start, to - from);
            if (!beyond) {
                std::string old;
                if (src.bytes(from, part.size(), old) && old == part) continue;  // already so
            }
            if (!file.writeAt(from, part.data(), part.size())) break;
        }
        if (!file.ok()) break;
    }
    if (file.ok() && plan.size < oldSize) file.truncate(plan.size);
    if (!file.ok()) {
        restore(file.fd(), saved);
        return file.commit();  // reports the failure and cuts the file back
    }
    if (auto ec = file.commit()) {
        restore(file.fd(), saved);
        return ec;
    }
    return {};
}

// Builds the new file beside the old one and renames it over it.
std::error_code applyRebuild(const std::string& path, io::Reader& in, const Plan& plan) {
    io::Rewrite out(path);
    if (!out.ok()) return out.error();
    for (const Piece& p : plan.pieces) {
        const bool ok = p.copy ? out.copyFrom(in.fd(), p.from, p.length) : out.write(p.bytes.data(), p.bytes.size());
        if (!ok) break;
    }
    return out.commit();
}

// The largest share of a file an in-place change saves to undo itself;
// a larger change rebuilds the file instead.
constexpr uint64_t kMaxSavedBytes = 64u << 20;

uint64_t overwritten(const Plan& plan, uint64_t oldSize) {
    uint64_t n = 0, at = 0;
    for (const Piece& p : plan.pieces) {
        if (!p.copy && at < oldSize) n += std::min<uint64_t>(p.size(), oldSize - at);
        at += p.size();
    }
    return n + (plan.size < oldSize ? oldSize - plan.size : 0);
}

}  // namespace

bool isInfoItemId(std::string_view name) {
    return name.size() == 4 && std::all_of(name.begin(), name.end(),
                                           [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

namespace {
const InfoField* infoFieldNamed(std::string_view name) {
    return isInfoItemId(name) ? infoField(riff::makeFourCC(name[0], name[1], name[2], name[3])) : nullptr;
}
}  // namespace

bool isPropertyInfoId(std::string_view name) { return infoFieldNamed(name) != nullptr; }

std::string infoPropertyValue(const TagRecord& record, std::string_view id) {
    const InfoField* f = infoFieldNamed(id);
    if (!f) return {};
    const auto content = infoContent(record, f->field);
    return content ? std::string(content->c_str()) : std::string();
}

bool setInfoProperty(TagRecord& record, std::string_view id, std::string_view value) {
    const InfoField* f = infoFieldNamed(id);
    if (!f) return false;
    setFieldText(record, f->field, value);
    return true;
}

std::optional<Field> infoIdField(std::string_view id) {
    const InfoField* f = infoFieldNamed(id);
    return f ? std::optional(f->field) : std::nullopt;
}

bool readWavInfo(const std::string& path, TagRecord& record, CueList& cues, WavChunks* chunks) {
    const io::Reader reader(path);
    return reader.ok() && readWavInfo(reader, record, cues, chunks);
}

bool readWavInfo(const io::Reader& reader, TagRecord& record, CueList& cues, WavChunks* chunks) {
    FileSource src(reader);
    WavChunks local;
    ReadState state;
    return readFrom(src, record, cues, chunks ? *chunks : local, state);
}

bool parseWavInfo(std::span<const uint8_t> file, TagRecord& record, CueList& cues, WavChunks* chunks) {
    MemorySource src(file);
    WavChunks local;
    ReadState state;
    return readFrom(src, record, cues, chunks ? *chunks : local, state);
}

std::error_code writeWavInfo(const std::string& path, const TagRecord& record, const CueList& cues,
                             const TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    FileSource src(in);
    Plan plan;
    if (auto ec = planRewrite(src, record, cues, changes, plan)) return ec;
    if (plan.inPlace() && overwritten(plan, src.size()) <= kMaxSavedBytes) return applyInPlace(path, src, plan);
    return applyRebuild(path, in, plan);
}

std::error_code rewriteWavInfo(std::span<const uint8_t> file, const TagRecord& record, const CueList& cues,
                               std::vector<uint8_t>& out, const TagChanges& changes) {
    MemorySource src(file);
    Plan plan;
    if (auto ec = planRewrite(src, record, cues, changes, plan)) return ec;
    out.clear();
    out.reserve(plan.size);
    for (const Piece& p : plan.pieces) {
        if (p.copy)
            out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(p.from),
                       file.begin() + static_cast<std::ptrdiff_t>(p.from + p.length));
        else
            out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    }
    return {};
}

}  // namespace qoro::tags
