#include "tags/mp4_write.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "io/file_reader.h"
#include "io/file_rewrite.h"
#include "tags/fields.h"
#include "tags/text.h"

namespace qoro::tags::mp4 {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::string_view kFreeform = "----:";
constexpr std::string_view kItunes = "----:com.apple.iTunes:";
constexpr std::string_view kSmpbKey = "----:com.apple.iTunes:iTunSMPB";
// Top-level boxes walked; a file of more is most likely one of fragments.
constexpr size_t kMaxTopLevelBoxes = size_t{1} << 16;
// Children of one box walked, as many as the reader looks at.
constexpr size_t kMaxChildren = size_t{1} << 12;

// "meta"'s handler as iTunes writes it: version and flags, no predefined
// value, the handler type "mdir", "appl" and two zero words reserved, an
// empty name.
constexpr std::string_view kHdlr{"\0\0\0\x21hdlr\0\0\0\0\0\0\0\0mdirappl\0\0\0\0\0\0\0\0\0", 33};

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
void put64(Bytes& b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}
void append(Bytes& b, std::span<const uint8_t> more) { b.insert(b.end(), more.begin(), more.end()); }
void append(Bytes& b, std::string_view more) { b.insert(b.end(), more.begin(), more.end()); }

// A box being written: its header goes first, its size is set when it ends.
class BoxWriter {
public:
    BoxWriter(Bytes& out, std::span<const uint8_t> type, uint32_t headerSize = 8)
        : out_(out), at_(out.size()), large_(headerSize == 16) {
        put32(out, large_ ? 1 : 0);
        append(out, type.first(4));
        if (large_) put64(out, 0);
    }
    BoxWriter(Bytes& out, std::string_view type, uint32_t headerSize = 8)
        : BoxWriter(out, std::span(reinterpret_cast<const uint8_t*>(type.data()), 4), headerSize) {}
    // False when the box outgrew its 32-bit size.
    bool end() {
        const uint64_t size = out_.size() - at_;
        uint8_t* p = out_.data() + at_;
        if (large_) {
            for (int i = 0; i < 8; ++i) p[8 + i] = static_cast<uint8_t>(size >> (56 - 8 * i));
            return true;
        }
        if (size > UINT32_MAX) return false;
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
        return true;
    }

private:
    Bytes& out_;
    size_t at_;
    bool large_;
};

// A box as it is; one whose size said "to the end of the parent" gets its
// size, as other boxes may follow it now.
void keepBox(Bytes& out, std::span<const uint8_t> box) {
    const size_t at = out.size();
    append(out, box);
    if (box.size() >= 8 && be32(box.data()) == 0)
        for (int i = 0; i < 4; ++i) out[at + size_t(i)] = static_cast<uint8_t>(box.size() >> (24 - 8 * i));
}

// A "free" box of 'size' bytes (at least 8), its contents zero.
Bytes freeBox(uint32_t size) {
    Bytes b;
    put32(b, size);
    append(b, "free");
    b.resize(size, 0);
    return b;
}

// --- Items ------------------------------------------------------------------------

Data utf8Data(std::string_view text) { return {kUtf8, 0, Bytes(text.begin(), text.end())}; }

// The part of a value before a zero byte, as readers take it.
std::string_view cut(const std::string& v) { return std::string_view(v).substr(0, v.find('\0')); }

// The integer items and the bytes of their values (type 21, signed).
int integerWidth(std::string_view key) {
    for (auto [k, width] : std::initializer_list<std::pair<std::string_view, int>>{
             {"cpil", 1}, {"pgap", 1}, {"pcst", 1}, {"shwm", 1}, {"tmpo", 2}, {"\u00A9mvi", 2}, {"\u00A9mvc", 2}})
        if (key == k) return width;
    return 0;
}

Data integerData(int value, int width) {
    const int64_t top = (int64_t{1} << (8 * width - 1)) - 1;
    const int64_t v = std::clamp<int64_t>(value, 0, top);
    Data d{kSignedInt, 0, {}};
    for (int i = width - 1; i >= 0; --i) d.value.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return d;
}

// An item of a key holding values (text, or integers for the integer
// items); nullopt when no value is left.
std::optional<Item> valueItem(const std::string& key, const std::vector<std::string>& values) {
    Item item;
    item.key = key;
    const int width = integerWidth(key);
    for (const std::string& v : values) {
        if (cut(v).empty()) continue;
        item.data.push_back(width ? integerData(text::leadingNumber(v), width) : utf8Data(cut(v)));
    }
    if (item.data.empty()) return std::nullopt;
    return item;
}

// "trkn" (8 bytes) or "disk" (6): 2 bytes of padding, the number, the
// total, for "trkn" 2 more of padding; nullopt without either.
std::optional<Item> numberItem(const std::string& key, int number, int total) {
    number = std::clamp(number, 0, 0xFFFF);
    total = std::clamp(total, 0, 0xFFFF);
    if (number == 0 && total == 0) return std::nullopt;
    Data d{kImplicit, 0, {0, 0, uint8_t(number >> 8), uint8_t(number), uint8_t(total >> 8), uint8_t(total)}};
    if (key == "trkn") d.value.insert(d.value.end(), {0, 0});
    return Item{key, {std::move(d)}, {}, {}};
}

uint32_t pictureType(const TagPicture& p) {
    if (p.mimeType == "image/jpeg" || p.mimeType == "image/jpg") return kJpeg;
    if (p.mimeType == "image/png") return kPng;
    if (p.mimeType == "image/gif") return kGif;
    if (p.mimeType == "image/bmp") return kBmp;
    auto starts = [&p](std::string_view magic) {
        return p.data.size() >= magic.size() && std::equal(magic.begin(), magic.end(), p.data.begin());
    };
    if (starts("\xFF\xD8\xFF")) return kJpeg;
    if (starts("\x89PNG")) return kPng;
    if (starts("GIF8")) return kGif;
    if (starts("BM")) return kBmp;
    return kImplicit;
}

bool sameKey(std::string_view a, std::string_view b) {
    return a.starts_with(kFreeform) ? text::sameIgnoringCase(a, b) : a == b;
}

// The mean and name of a freeform key: "----:" mean ":" name, neither empty.
std::optional<std::pair<std::string_view, std::string_view>> freeformParts(std::string_view key) {
    if (!key.starts_with(kFreeform)) return std::nullopt;
    const std::string_view rest = key.substr(kFreeform.size());
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == rest.size()) return std::nullopt;
    return std::pair{rest.substr(0, colon), rest.substr(colon + 1)};
}

// One item atom: as stored when it was kept, else built from its key and values.
void appendItem(Bytes& out, const Item& item) {
    if (!item.raw.empty()) {
        keepBox(out, item.raw);
        return;
    }
    auto data = [&out, &item] {
        for (const Data& d : item.data) {
            BoxWriter atom(out, "data");
            put32(out, d.type & 0xFFFFFF);
            put32(out, d.locale);
            append(out, d.value);
            atom.end();
        }
    };
    if (const auto parts = freeformParts(item.key)) {
        BoxWriter atom(out, "----");
        for (auto [type, text] : {std::pair{"mean", parts->first}, std::pair{"name", parts->second}}) {
            BoxWriter part(out, type);
            put32(out, 0);
            append(out, text);
            part.end();
        }
        data();
        atom.end();
        return;
    }
    const auto name = nameOfKey(item.key);
    if (!name) return;  // no key an item atom can carry
    BoxWriter atom(out, *name);
    data();
    atom.end();
}

// What a tag edit does to the items of some keys: one item in the place of
// the first of them, or none.
struct Replacement {
    std::vector<std::string> keys;  // the keys it names
    std::optional<Item> item;       // nullopt: the items are removed
    bool placed = false;

    bool names(const Item& old) const {
        return std::any_of(keys.begin(), keys.end(), [&old](const std::string& k) { return sameKey(k, old.key); });
    }
};

// The values reading gave of a field beyond the properties.
std::string extraOf(const TagExtras& x, std::string_view name) {
    for (const TagField& f : x.fields)
        if (f.name == name) return f.value;
    return {};
}

}  // namespace

// --- The items of an edit --------------------------------------------------------------

void keepStored(Tag& tag, const ReadAtFn& readAt) {
    for (Item& item : tag.items) {
        if (!item.raw.empty() || item.at.size < 8 || item.at.size > kMaxTagSize) continue;
        Bytes b(static_cast<size_t>(item.at.size));
        if (readAt(item.at.offset, b.data(), b.size()) == b.size()) item.raw = std::move(b);
    }
}

std::optional<std::string> keyOfField(std::string_view name) {
    if (!isPrintableKey(name) || name == "covr") return std::nullopt;
    std::string key;
    if (const MappedField* m = mappedField(name)) {
        key = m->mp4.empty() ? std::string(kItunes) + std::string(m->name) : std::string(m->mp4);
    } else if (const MappedField* k = mappedFieldOfMp4(name)) {
        key = std::string(k->mp4);
    } else if (name.starts_with(kFreeform)) {
        if (!freeformParts(name)) return std::nullopt;
        key = std::string(name);
    } else if (name.starts_with("\u00A9") && nameOfKey(name)) {
        key = std::string(name);
    } else {
        key = std::string(kItunes) + std::string(name);
    }
    if (text::sameIgnoringCase(key, kSmpbKey)) return std::nullopt;
    return key;
}

std::vector<Item> updated(const Tag& old, const TagRecord& record, const TagChanges& changes) {
    TagRecord was;
    TagExtras wasExtras;
    applyTo(old, was, wasExtras);

    const MappedField& totalTracks = *mappedField("TOTALTRACKS");
    const MappedField& discNumber = *mappedField("DISCNUMBER");
    const MappedField& totalDiscs = *mappedField("TOTALDISCS");

    std::vector<Replacement> out;
    // Later changes of a key win over earlier ones.
    auto put = [&out](Replacement r) {
        auto same = std::find_if(out.begin(), out.end(),
                                 [&r](const Replacement& o) { return sameKey(o.keys.front(), r.keys.front()); });
        if (same == out.end())
            out.push_back(std::move(r));
        else
            *same = std::move(r);
    };

    // Field changes that name a property set it; the numbers and totals of
    // track and disc are gathered.
    TagRecord now = record;
    NumberChanges numbers;
    std::vector<Replacement> fieldChanges;
    for (const FieldChange& c : changes.fields) {
        const MappedField* f = mappedField(c.name);
        if (!f) f = mappedFieldOfMp4(c.name);
        if (numbers.take(f, c, now)) continue;
        // An item of the file named by its own key keeps that key.
        std::optional<std::string> key;
        if (!f && nameOfKey(c.name) && old.find(c.name))
            key = c.name;
        else
            key = keyOfField(c.name);
        if (key) fieldChanges.push_back({{*key}, valueItem(*key, c.values)});
    }
    const auto& [trackTotal, disc, discTotal] = numbers;

    // The properties, then the numbers, the other fields and the cover.
    for (const FieldInfo& info : kFields) {
        const MappedField& f = mappedFieldOf(info.field);
        if (info.field == Field::Track || f.mp4.empty() || sameField(was, now, info.field)) continue;
        const std::string key(f.mp4);
        Replacement r{{key}, valueItem(key, fieldValues(now, info.field))};
        // A genre is written as text; a numbered one goes with it.
        if (info.field == Field::Genre) r.keys.push_back("gnre");
        put(std::move(r));
    }
    if (!sameField(was, now, Field::Track) || trackTotal) {
        const int total = text::leadingNumber(trackTotal.value_or(extraOf(wasExtras, totalTracks.name)));
        put({{"trkn"}, numberItem("trkn", now.track, total)});
    }
    if (disc || discTotal) {
        const int number = text::leadingNumber(disc.value_or(extraOf(wasExtras, discNumber.name)));
        const int total = text::leadingNumber(discTotal.value_or(extraOf(wasExtras, totalDiscs.name)));
        put({{"disk"}, numberItem("disk", number, total)});
    }
    for (Replacement& r : fieldChanges) put(std::move(r));
    // Every cover of an MP4 tag is a front cover.
    for (const TagPicture& p : changes.pictures) {
        if (p.kind != 3) continue;
        Replacement r{{"covr"}, std::nullopt};
        if (!p.data.empty()) r.item = Item{"covr", {{pictureType(p), 0, p.data}}, {}, {}};
        put(std::move(r));
    }

    std::vector<Item> items;
    for (const Item& item : old.items) {
        auto r = std::find_if(out.begin(), out.end(), [&item](const Replacement& o) { return o.names(item); });
        if (r == out.end()) {
            items.push_back(item);
            continue;
        }
        if (r->placed) continue;
        r->placed = true;
        if (!r->item) continue;
        Item replacing = *r->item;
        // A freeform field keeps its key as stored ("Label" for LABEL).
        if (sameKey(replacing.key, item.key)) replacing.key = item.key;
        items.push_back(std::move(replacing));
    }
    for (const Replacement& r : out)
        if (!r.placed && r.item) items.push_back(*r.item);
    return items;
}

std::vector<uint8_t> serializeIlst(const std::vector<Item>& items) {
    Bytes out;
    BoxWriter ilst(out, "ilst");
    for (const Item& item : items) appendItem(out, item);
    ilst.end();
    return out;
}

Item smpbItem(const Gapless& g) {
    char text[160];
    std::snprintf(text, sizeof text, " 00000000 %08" PRIX32 " %08" PRIX32 " %016" PRIX64, g.priming, g.padding,
                  g.length);
    std::string value = text;
    for (int i = 0; i < 8; ++i) value += " 00000000";
    Item item;
    item.key = std::string(kSmpbKey);
    item.data.push_back(utf8Data(value));
    return item;
}

uint64_t Plan::newSize(uint64_t oldSize) const {
    if (inPlace) return oldSize;
    uint64_t size = 0;
    for (const Piece& p : pieces) size += p.size();
    return size;
}

// --- The rewrite plan -----------------------------------------------------------------

namespace {

bool isFree(const BoxHeader& h) { return h.is("free") || h.is("skip"); }

struct Box {
    uint64_t offset = 0;
    BoxHeader h;

    uint64_t end() const { return offset + h.size; }
    bool is(std::string_view t) const { return h.is(t); }
};

// The boxes of [begin, end) of a file, all whole; up to 7 bytes of padding
// may end them ('tail': where those begin). nullopt when a box is damaged.
std::optional<std::vector<Box>> walk(const ReadAtFn& readAt, uint64_t begin, uint64_t end, size_t limit,
                                     uint64_t* tail = nullptr) {
    std::vector<Box> boxes;
    uint64_t at = begin;
    while (at < end) {
        Box b{at, {}};
        const BoxFit fit = readBoxHeaderAt(readAt, at, end, b.h);
        if (fit == BoxFit::Short && end - at < 8) break;
        if (fit != BoxFit::Ok || boxes.size() == limit) return std::nullopt;
        boxes.push_back(b);
        at = b.end();
    }
    if (tail) *tail = at;
    return boxes;
}

// The same over bytes in memory (offsets within 'bytes').
std::optional<std::vector<Box>> walk(std::span<const uint8_t> bytes, uint64_t begin, uint64_t* tail) {
    std::vector<Box> boxes;
    uint64_t at = begin;
    while (at < bytes.size()) {
        Box b{at, {}};
        const BoxFit fit = readBoxHeader(bytes.subspan(static_cast<size_t>(at)), bytes.size() - at, b.h);
        if (fit == BoxFit::Short && bytes.size() - at < 8) break;
        if (fit != BoxFit::Ok || boxes.size() == kMaxChildren) return std::nullopt;
        boxes.push_back(b);
        at = b.end();
    }
    *tail = at;
    return boxes;
}

// Appends a patch of the bytes of 'now' that differ from 'was' (as long),
// from the first to the last that differ; none when all are alike.
void addPatch(Plan& plan, uint64_t offset, std::span<const uint8_t> was, std::span<const uint8_t> now) {
    size_t from = 0, to = now.size();
    while (from < to && was[from] == now[from]) ++from;
    while (to > from && was[to - 1] == now[to - 1]) --to;
    if (from < to) plan.patches.push_back({offset + from, Bytes(now.begin() + from, now.begin() + to)});
}

// A patch giving the box at 'box' a new size, in the form its header has;
// false when a 32-bit size cannot hold it.
bool resize(const ReadAtFn& readAt, const ByteRange& box, uint64_t size, Plan& plan) {
    uint8_t header[16];
    if (readAt(box.offset, header, sizeof header) < 8) return false;
    const bool large = be32(header) == 1;
    Bytes now;
    if (large)
        put64(now, size);
    else if (size <= UINT32_MAX)
        put32(now, static_cast<uint32_t>(size));
    else
        return false;
    addPatch(plan, box.offset + (large ? 8 : 0), std::span(header + (large ? 8 : 0), now.size()), now);
    return true;
}

// The plan that writes the list over [ilst, end) of the file: the old list
// and the "free" boxes after it, the rest of that space a "free" box; the
// parents that end before 'end' grow to it. nullopt when the list does not
// fit or leaves a gap no box can fill.
std::optional<Plan> fillSpace(const ReadAtFn& readAt, const Layout& l, std::span<const uint8_t> ilst, uint64_t end) {
    const uint64_t space = end - l.ilst.offset;
    if (space < ilst.size()) return std::nullopt;
    const uint64_t rest = space - ilst.size();
    if (rest != 0 && rest < 8) return std::nullopt;
    Plan plan;
    // Outermost first: each parent grown holds the "free" boxes that followed
    // it, so the file stays whole until the list itself is written.
    for (const ByteRange* parent : {&l.moov, &l.udta, &l.meta})
        if (parent->end() < end && !resize(readAt, *parent, parent->size + (end - parent->end()), plan))
            return std::nullopt;
    Bytes now(ilst.begin(), ilst.end());
    if (rest > UINT32_MAX) {
        put32(now, 1);
        append(now, "free");
        put64(now, rest);
    } else if (rest) {
        put32(now, static_cast<uint32_t>(rest));
        append(now, "free");
    }
    // What the old list held beyond is cleared (a removed cover leaves nothing behind).
    if (now.size() < l.ilst.size) now.resize(static_cast<size_t>(l.ilst.size), 0);
    Bytes was(now.size());
    if (readAt(l.ilst.offset, was.data(), was.size()) != was.size()) return std::nullopt;
    addPatch(plan, l.ilst.offset, was, now);
    return plan;
}

// In place: the list grows over the "free" boxes after it within "meta";
// when those reach the end of "meta", over those after "meta" within
// "udta"; then within "moov"; then over the top-level "free" boxes after
// "moov". The first of these spaces it fits is taken.
std::optional<Plan> inPlacePlan(const ReadAtFn& readAt, uint64_t fileSize, const Layout& l,
                                std::span<const uint8_t> ilst) {
    if (l.ilst.empty() || l.meta.empty() || l.udta.empty()) return std::nullopt;
    const ByteRange parents[] = {l.meta, l.udta, l.moov, {0, fileSize}};
    uint64_t end = l.ilst.end();
    for (const ByteRange& parent : parents) {
        while (end < parent.end()) {
            BoxHeader h;
            if (readBoxHeaderAt(readAt, end, parent.end(), h) != BoxFit::Ok || !isFree(h)) break;
            end += h.size;
        }
        if (auto plan = fillSpace(readAt, l, ilst, end)) return plan;
        if (end != parent.end()) break;
    }
    return std::nullopt;
}

// Where the pieces of the new file come from; the new "moov" is the piece
// 'moovPiece' (without its bytes while they are being made).
struct Arrangement {
    std::vector<Piece> pieces;
    size_t moovPiece = 0;

    void copy(uint64_t from, uint64_t to) {
        if (to <= from) return;
        if (!pieces.empty() && !pieces.back().copy.empty() && pieces.back().copy.end() == from)
            pieces.back().copy.size += to - from;
        else
            pieces.push_back({{from, to - from}, {}});
    }
    void moov() {
        moovPiece = pieces.size();
        pieces.emplace_back();
    }

    // Where a byte of the old file lies in the new one, for a new "moov" of
    // 'moovSize' bytes; the end of a piece copied maps to the end of its
    // copy. nullopt for the bytes the new file drops (the old "moov").
    std::optional<uint64_t> map(uint64_t offset, uint64_t moovSize) const {
        uint64_t at = 0;
        std::optional<uint64_t> atEnd;
        for (size_t i = 0; i < pieces.size(); ++i) {
            const Piece& p = pieces[i];
            const uint64_t size = i == moovPiece ? moovSize : p.size();
            if (!p.copy.empty()) {
                if (offset >= p.copy.offset && offset < p.copy.end()) return at + (offset - p.copy.offset);
                if (offset == p.copy.end()) atEnd = at + size;
            }
            at += size;
        }
        return atEnd;
    }
};

// "moov" in its place, or (moving) after "ftyp" with a "free" box of
// 'padding' bytes after it and then every other top-level box in its order.
Arrangement arrange(const std::vector<Box>& tops, uint64_t tail, uint64_t fileSize, size_t moov, bool move,
                    uint32_t padding) {
    Arrangement a;
    if (!move) {
        a.copy(0, tops[moov].offset);
        a.moov();
        a.copy(tops[moov].end(), fileSize);
        return a;
    }
    const auto ftyp = std::find_if(tops.begin(), tops.end(), [](const Box& b) { return b.is("ftyp"); });
    if (ftyp != tops.end()) a.copy(ftyp->offset, ftyp->end());
    a.moov();
    if (padding) a.pieces.push_back({{}, freeBox(padding)});
    for (size_t i = 0; i < tops.size(); ++i)
        if (i != moov && (ftyp == tops.end() || i != size_t(ftyp - tops.begin())))
            a.copy(tops[i].offset, tops[i].end());
    a.copy(tail, fileSize);
    return a;
}

// A new "moov" built from the old one (in memory): "udta"/"meta" hold the
// new list (made when missing), the chunk offsets of every track are moved
// by 'map', every other box is kept as it is.
class MoovBuilder {
public:
    MoovBuilder(std::span<const uint8_t> moov, uint64_t moovAt, const Layout& layout, std::span<const uint8_t> ilst,
                uint32_t padding)
        : moov_(moov), moovAt_(moovAt), layout_(layout), ilst_(ilst), padding_(padding) {}

    std::function<std::optional<uint64_t>(uint64_t)> map;
    // Offsets that overflow an "stco" turn it into a "co64" (else they are
    // cut: a first try for the size alone).
    bool widen = false;
    size_t widened() const { return wide_.size(); }

    std::optional<Bytes> build() {
        Bytes out;
        out.reserve(moov_.size() + ilst_.size() + padding_);
        BoxHeader h;
        if (readBoxHeader(moov_, moov_.size(), h) != BoxFit::Ok || h.size != moov_.size()) return std::nullopt;
        if (!container(moov_, {0, h}, out) || out.size() > kMaxMoovSize) return std::nullopt;
        return out;
    }

private:
    // The box 'b' of the old "moov" (its offset within it) with the
    // children on the way to the list and to the chunk offsets built anew:
    // moov/udta/meta/ilst, moov/trak/mdia/minf/stbl/stco or co64.
    bool container(std::span<const uint8_t> all, const Box& b, Bytes& out) {
        const auto bytes = all.subspan(static_cast<size_t>(b.offset), static_cast<size_t>(b.h.size));
        const bool isMeta = b.is("meta");
        const uint32_t skip = isMeta && layout_.metaHasVersion ? 4 : 0;
        if (bytes.size() < b.h.headerSize + skip) return false;
        uint64_t tail = 0;
        const auto kids = walk(bytes, b.h.headerSize + skip, &tail);
        if (!kids) return false;
        BoxWriter w(out, b.h.type, b.h.headerSize);
        append(out, bytes.subspan(b.h.headerSize, skip));
        if (isMeta && std::none_of(kids->begin(), kids->end(), [](const Box& k) { return k.is("hdlr"); }))
            append(out, kHdlr);
        bool placed = false, afterList = false;
        for (Box k : *kids) {
            const auto kid = bytes.subspan(static_cast<size_t>(k.offset), static_cast<size_t>(k.h.size));
            const uint64_t inFile = moovAt_ + b.offset + k.offset;
            k.offset += b.offset;
            // The old list's padding gives way to the new one's.
            if (afterList && isFree(k.h)) continue;
            afterList = false;
            const std::string_view on = onTheWay(b, k);
            bool ok = true;
            if (on == "list" && !placed) {
                list(out);
                placed = afterList = true;
            } else if (on == "tag" && !placed && (inFile == layout_.udta.offset || inFile == layout_.meta.offset)) {
                ok = container(all, k, out);
                placed = true;
            } else if (on == "track") {
                ok = container(all, k, out);
            } else if (on == "offsets") {
                ok = offsets(kid, k, out);
            } else {
                keepBox(out, kid);
            }
            if (!ok) return false;
        }
        if (!placed) {
            if (b.is("moov")) newBox(out, "udta");
            if (b.is("udta")) newBox(out, "meta");
            if (isMeta) list(out);
        }
        // The few bytes that end a box without being one stay at its end.
        append(out, bytes.subspan(static_cast<size_t>(tail)));
        return w.end();
    }

    // What a child is on the way to: "tag" (udta, meta), "list" (ilst),
    // "track" (trak, mdia, minf, stbl), "offsets" (stco, co64); "" for the
    // others.
    static std::string_view onTheWay(const Box& parent, const Box& kid) {
        static constexpr std::string_view kWay[][3] = {
            {"moov", "udta", "tag"},   {"udta", "meta", "tag"},     {"meta", "ilst", "list"},
            {"moov", "trak", "track"}, {"trak", "mdia", "track"},   {"mdia", "minf", "track"},
            {"minf", "stbl", "track"}, {"stbl", "stco", "offsets"}, {"stbl", "co64", "offsets"},
        };
        for (const auto& way : kWay)
            if (parent.is(way[0]) && kid.is(way[1])) return way[2];
        return {};
    }

    // A "udta" or "meta" where there was none: "meta" as a full box with
    // its handler.
    void newBox(Bytes& out, std::string_view type) {
        BoxWriter w(out, type);
        if (type == "udta") {
            newBox(out, "meta");
        } else {
            put32(out, 0);
            append(out, kHdlr);
            list(out);
        }
        w.end();
    }

    void list(Bytes& out) {
        append(out, ilst_);
        if (padding_) append(out, freeBox(padding_));
    }

    // A chunk offset table, its offsets moved.
    bool offsets(std::span<const uint8_t> bytes, const Box& b, Bytes& out) {
        const bool wide = b.is("co64");
        const auto body = bytes.subspan(b.h.headerSize);
        if (body.size() < 8) return false;
        const uint32_t count = be32(body.data() + 4);
        const size_t width = wide ? 8 : 4;
        if ((body.size() - 8) / width < count) return false;
        std::vector<uint64_t> moved(count);
        bool overflows = false;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = body.data() + 8 + size_t(i) * width;
            const auto to = map(wide ? be64(p) : be32(p));
            if (!to) return false;
            moved[i] = *to;
            overflows = overflows || *to > UINT32_MAX;
        }
        const bool widened = std::find(wide_.begin(), wide_.end(), b.offset) != wide_.end();
        if (!wide && widen && overflows && !widened) wide_.push_back(b.offset);
        const bool asWide = wide || widened || (widen && overflows);
        BoxWriter w(out, asWide ? "co64" : "stco", b.h.headerSize);
        append(out, body.first(4));  // version and flags
        put32(out, count);
        for (uint64_t v : moved) asWide ? put64(out, v) : put32(out, static_cast<uint32_t>(v));
        append(out, body.subspan(8 + size_t(count) * width));
        return w.end();
    }

    std::span<const uint8_t> moov_;
    uint64_t moovAt_;
    const Layout& layout_;
    std::span<const uint8_t> ilst_;
    uint32_t padding_;
    std::vector<uint64_t> wide_;  // the "stco" tables written as "co64", by offset within the old "moov"
};

std::optional<Plan> rebuildPlan(const ReadAtFn& readAt, uint64_t fileSize, const std::vector<Box>& tops, uint64_t tail,
                                size_t moov, const Layout& layout, std::span<const uint8_t> ilst,
                                const RewriteOptions& options, bool move) {
    const Box& box = tops[moov];
    if (box.h.size > kMaxMoovSize) return std::nullopt;
    Bytes old(static_cast<size_t>(box.h.size));
    if (readAt(box.offset, old.data(), old.size()) != old.size()) return std::nullopt;
    const uint32_t padding = options.padding ? std::clamp<uint32_t>(options.padding, 8, kMaxPadding) : 0;
    Arrangement a = arrange(tops, tail, fileSize, moov, move, padding);
    MoovBuilder builder(old, box.offset, layout, ilst, move ? 0 : padding);
    uint64_t moovSize = 0;
    builder.map = [&a, &moovSize](uint64_t offset) { return a.map(offset, moovSize); };
    // The size with every table as it is; then, while the size changes, the
    // offsets that size moves (an "stco" that overflows grows into a "co64",
    // moving them further).
    auto built = builder.build();
    builder.widen = true;
    for (size_t round = 0; built; ++round) {
        moovSize = built->size();
        built = builder.build();
        if (!built || built->size() == moovSize) break;
        if (round > builder.widened()) return std::nullopt;
    }
    if (!built) return std::nullopt;
    a.pieces[a.moovPiece].bytes = std::move(*built);
    Plan plan;
    plan.inPlace = false;
    plan.pieces = std::move(a.pieces);
    return plan;
}

}  // namespace

std::optional<Plan> planRewrite(const ReadAtFn& readAt, uint64_t fileSize, const Tag& old,
                                std::span<const uint8_t> newIlst, const RewriteOptions& options) {
    const Layout& l = old.layout;
    if (old.damaged || l.moov.empty()) return std::nullopt;
    uint64_t tail = 0;
    const auto tops = walk(readAt, 0, fileSize, kMaxTopLevelBoxes, &tail);
    if (!tops) return std::nullopt;
    size_t moov = tops->size();
    bool dataBefore = false;
    for (size_t i = 0; i < tops->size(); ++i) {
        const Box& b = (*tops)[i];
        if (b.is("moof")) return std::nullopt;
        if (b.is("moov")) {
            if (moov != tops->size()) return std::nullopt;  // which one would a player take?
            moov = i;
        } else if (b.is("mdat") && moov == tops->size()) {
            dataBefore = true;
        }
    }
    if (moov == tops->size() || (*tops)[moov].offset != l.moov.offset || (*tops)[moov].h.size != l.moov.size)
        return std::nullopt;
    const Box& m = (*tops)[moov];
    const auto kids = walk(readAt, m.offset + m.h.headerSize, m.end(), kMaxChildren);
    if (!kids || std::any_of(kids->begin(), kids->end(), [](const Box& k) { return k.is("mvex"); }))
        return std::nullopt;
    const bool move = options.moovFirst && dataBefore;
    if (!move)
        if (auto plan = inPlacePlan(readAt, fileSize, l, newIlst)) return plan;
    return rebuildPlan(readAt, fileSize, *tops, tail, moov, l, newIlst, options, move);
}

// --- Writing ---------------------------------------------------------------------------

namespace {

std::error_code damaged() { return io::make_error_code(io::Error::Damaged); }

ReadAtFn readerOf(const io::Reader& in) {
    return [&in](uint64_t at, uint8_t* data, size_t n) { return in.readAt(at, data, n); };
}

// The tag of the file 'in' reads; nullopt for no MP4 file or a damaged tag.
std::optional<Tag> readWhole(const io::Reader& in) {
    auto tag = readTag(readerOf(in), in.size());
    if (!tag || tag->damaged) return std::nullopt;
    return tag;
}

// Puts the items into the file 'in' reads (opened from 'path').
std::error_code write(const std::string& path, const io::Reader& in, const Tag& tag, const std::vector<Item>& items,
                      const RewriteOptions& options) {
    const Bytes ilst = serializeIlst(items);
    const auto plan = planRewrite(readerOf(in), in.size(), tag, ilst, options);
    if (!plan) return damaged();
    if (plan->inPlace) {
        // Each patch only where the file still holds what the plan was made from.
        for (const Patch& p : plan->patches) {
            Bytes was(p.bytes.size());
            if (in.readAt(p.offset, was.data(), was.size()) != was.size()) return damaged();
            if (auto ec = io::overwrite(path, in, p.offset, was, p.bytes)) return ec;
        }
        return {};
    }
    io::Rewrite out(path);
    for (const Piece& piece : plan->pieces) {
        if (!piece.copy.empty())
            out.copyFrom(in.fd(), piece.copy.offset, piece.copy.size);
        else
            out.write(piece.bytes);
    }
    return out.commit();
}

std::error_code openError(const io::Reader& in) { return in.error() ? in.error() : damaged(); }

}  // namespace

std::error_code writeItems(const std::string& path, const std::vector<Item>& items, const RewriteOptions& options) {
    io::Reader in(path, io::Reader::Accept::RegularFiles);
    if (!in.ok()) return openError(in);
    const auto tag = readWhole(in);
    if (!tag) return damaged();
    return write(path, in, *tag, items, options);
}

std::error_code writeTag(const std::string& path, const TagRecord& record, const TagChanges& changes) {
    io::Reader in(path, io::Reader::Accept::RegularFiles);
    if (!in.ok()) return openError(in);
    auto tag = readWhole(in);
    if (!tag) return damaged();
    keepStored(*tag, readerOf(in));
    const std::vector<Item> items = updated(*tag, record, changes);
    if (serializeIlst(items) == serializeIlst(tag->items)) return {};
    return write(path, in, *tag, items, {});
}

}  // namespace qoro::tags::mp4
