#include "tags/mp4_tags.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "genre/genre.h"
#include "io/file_reader.h"
#include "tags/fields.h"
#include "tags/text.h"

namespace qoro::tags::mp4 {

namespace {

constexpr std::string_view kFreeform = "----";
constexpr std::string_view kSmpbKey = "----:com.apple.iTunes:iTunSMPB";
// Top-level boxes looked at before giving up on finding "moov": a file of
// fragments holds many, but "moov" comes before them.
constexpr int kMaxTopLevelBoxes = 1 << 16;
// Children of "moov" and "udta" looked at (tracks, user data).
constexpr int kMaxChildren = 1 << 12;

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

bool isType(const uint8_t* p, std::string_view type) { return std::memcmp(p, type.data(), 4) == 0; }

// (The box header reader is declared in the header: the writer walks boxes too.)
using Header = BoxHeader;
using Fit = BoxFit;

// The first child of a type among the boxes of [begin, end) of a file.
// Sets 'damaged' when a box on the way is laid out badly.
std::optional<ByteRange> findChild(const ReadAtFn& readAt, uint64_t begin, uint64_t end, std::string_view type,
                                   bool& damaged, uint32_t* headerSize = nullptr) {
    uint64_t at = begin;
    for (int n = 0; n < kMaxChildren && at < end; ++n) {
        Header h;
        const Fit fit = readBoxHeaderAt(readAt, at, end, h);
        if (fit == Fit::Short) {
            // Up to 7 bytes of padding may end a parent.
            damaged = damaged || end - at >= 8;
            return std::nullopt;
        }
        if (fit == Fit::Beyond) damaged = true;
        if (h.is(type)) {
            if (headerSize) *headerSize = h.headerSize;
            return ByteRange{at, h.size};
        }
        if (fit == Fit::Beyond) return std::nullopt;
        at += h.size;
    }
    return std::nullopt;
}

std::string_view textOf(std::span<const uint8_t> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// A text atom's value: UTF-8 (ISO-8859-1 when it is not) or UTF-16 big
// endian, up to the first zero.
std::optional<std::string> textValue(const Data& d) {
    const std::string_view v = textOf(d.value);
    switch (d.type) {
    case kUtf8:
    case kUtf8Sort:
    case kImplicit: {
        const std::string_view cut = v.substr(0, v.find('\0'));
        // An implicit value is a text only when it reads as one.
        if (d.type == kImplicit &&
            (cut.size() != v.size() || !text::isUtf8(cut) || std::any_of(cut.begin(), cut.end(), [](char c) {
                 return uint8_t(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
             })))
            return std::nullopt;
        return text::isUtf8(cut) ? std::string(cut) : text::latin1ToUtf8(cut);
    }
    case kUtf16:
    case kUtf16Sort: {
        std::string s = text::utf16ToUtf8(v.substr(0, v.size() & ~size_t{1}), true);
        s.resize(std::min(s.size(), s.find('\0')));
        return s;
    }
    default: return std::nullopt;
    }
}

// A big-endian integer of 1 to 8 bytes, signed or not.
std::optional<std::string> integerValue(const Data& d) {
    const size_t n = d.value.size();
    if (n == 0 || n > 8) return std::nullopt;
    uint64_t u = 0;
    for (uint8_t b : d.value) u = u << 8 | b;
    if (d.type == kSignedInt && n < 8 && (d.value[0] & 0x80)) u |= ~uint64_t{0} << (8 * n);
    if (d.type == kSignedInt) return std::to_string(static_cast<int64_t>(u));
    return std::to_string(u);
}

// The number and the total of a "trkn" or "disk" value: 2 bytes of padding,
// the number, the total (absent in some short "disk" values).
std::optional<std::pair<unsigned, unsigned>> numberAndTotal(const Data& d) {
    if (d.type != kImplicit || d.value.size() < 4) return std::nullopt;
    const unsigned number = unsigned(d.value[2]) << 8 | d.value[3];
    const unsigned total = d.value.size() >= 6 ? unsigned(d.value[4]) << 8 | d.value[5] : 0;
    return std::pair{number, total};
}

bool isNumberPair(std::string_view key) { return key == "trkn" || key == "disk"; }

// The items whose implicit values are integers.
bool isIntegerKey(std::string_view key) {
    for (std::string_view k :
         {"cpil", "pgap", "pcst", "shwm", "tmpo", "gnre", "\u00A9mvi", "\u00A9mvc", "stik", "rtng",
          "hdvd", "tvsn", "tves", "akID", "atID", "cnID", "geID",      "plID",      "sfID", "cmID"})
        if (key == k) return true;
    return false;
}

// The parts of a freeform item: its "mean" and "name" atoms (full boxes).
struct Freeform {
    std::optional<std::string> mean, name;
};

std::string mimeOf(const Data& d) {
    switch (d.type) {
    case kJpeg: return "image/jpeg";
    case kPng: return "image/png";
    case kGif: return "image/gif";
    case kBmp: return "image/bmp";
    default: break;
    }
    const std::string_view v = textOf(d.value);
    if (v.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
    if (v.starts_with("\x89PNG")) return "image/png";
    if (v.starts_with("GIF8")) return "image/gif";
    if (v.starts_with("BM")) return "image/bmp";
    return {};
}

}  // namespace

bool isPrintableKey(std::string_view key) {
    if (key.empty() || !text::isUtf8(key)) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        const uint8_t c = uint8_t(key[i]);
        // C0 controls, DEL, and the C1 controls U+0080..U+009F (C2 80..C2 9F).
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && i + 1 < key.size() && uint8_t(key[i + 1]) < 0xA0)) return false;
    }
    return true;
}

bool BoxHeader::is(std::string_view t) const { return isType(type.data(), t); }

BoxFit readBoxHeader(std::span<const uint8_t> bytes, uint64_t room, BoxHeader& h) {
    if (bytes.size() < 8 || room < 8) return Fit::Short;
    std::copy_n(bytes.data() + 4, 4, h.type.begin());
    const uint32_t size = be32(bytes.data());
    h.headerSize = 8;
    if (size == 1) {
        if (bytes.size() < 16 || room < 16) return Fit::Short;
        h.headerSize = 16;
        h.size = be64(bytes.data() + 8);
    } else {
        h.size = size == 0 ? room : size;
    }
    if (h.size < h.headerSize) return Fit::Short;
    if (h.size > room) {
        h.size = room;
        return Fit::Beyond;
    }
    return Fit::Ok;
}

BoxFit readBoxHeaderAt(const ReadAtFn& readAt, uint64_t offset, uint64_t end, BoxHeader& h) {
    if (offset >= end) return Fit::Short;
    uint8_t buf[16];
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buf, end - offset));
    const size_t got = readAt(offset, buf, want);
    return readBoxHeader({buf, got}, end - offset, h);
}

std::string keyOfName(std::span<const uint8_t, 4> name) { return text::latin1ToUtf8(textOf(name)); }

std::optional<std::array<uint8_t, 4>> nameOfKey(std::string_view key) {
    if (key.starts_with(kFreeform) && key.size() > 4) return std::nullopt;
    if (!text::isUtf8(key) || !text::fitsLatin1(key)) return std::nullopt;
    const std::string latin1 = text::utf8ToLatin1(key);
    if (latin1.size() != 4) return std::nullopt;
    std::array<uint8_t, 4> out{};
    std::copy_n(latin1.begin(), 4, out.begin());
    return out;
}

std::vector<std::string> Item::texts() const {
    std::vector<std::string> out;
    const bool pair = isNumberPair(key), integer = isIntegerKey(key);
    for (const Data& d : data) {
        std::optional<std::string> v;
        if (pair) {
            if (const auto nt = numberAndTotal(d); nt && nt->first)
                v = std::to_string(nt->first) + (nt->second ? "/" + std::to_string(nt->second) : "");
        } else if (d.type == kSignedInt || d.type == kUnsignedInt || (d.type == kImplicit && integer)) {
            v = integerValue(d);
        } else {
            v = textValue(d);
        }
        if (v) out.push_back(std::move(*v));
    }
    return out;
}

const Item* Tag::find(std::string_view key) const {
    const bool freeform = key.starts_with("----:");
    for (const Item& item : items)
        if (freeform ? text::sameIgnoringCase(item.key, key) : item.key == key) return &item;
    return nullptr;
}

std::optional<Gapless> parseSmpb(std::string_view t) {
    std::vector<uint64_t> words;
    size_t at = 0;
    while (words.size() < 4) {
        at = t.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos) break;
        const size_t end = std::min(t.size(), t.find_first_of(" \t\r\n", at));
        const std::string_view w = t.substr(at, end - at);
        if (w.size() > 16) return std::nullopt;
        uint64_t v = 0;
        for (char c : w) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return std::nullopt;
            v = v << 4 | uint64_t(digit);
        }
        words.push_back(v);
        at = end;
    }
    if (words.size() < 4 || words[1] > UINT32_MAX || words[2] > UINT32_MAX) return std::nullopt;
    return Gapless{uint32_t(words[1]), uint32_t(words[2]), words[3]};
}

std::optional<Gapless> Tag::gapless() const {
    const Item* item = find(kSmpbKey);
    if (!item) return std::nullopt;
    for (const Data& d : item->data)
        if (const auto t = textValue(d)) return parseSmpb(*t);
    return std::nullopt;
}

std::vector<Item> parseItems(std::span<const uint8_t> contents, uint64_t fileOffset, bool& damaged) {
    std::vector<Item> items;
    size_t at = 0;
    while (at < contents.size()) {
        Header h;
        const Fit fit = readBoxHeader(contents.subspan(at), contents.size() - at, h);
        if (fit != Fit::Ok) {
            // Zero bytes of padding may end the list.
            const auto rest = contents.subspan(at);
            damaged = damaged || std::any_of(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; });
            break;
        }
        const auto atom = contents.subspan(at, static_cast<size_t>(h.size));
        Item item;
        item.at = {fileOffset + at, h.size};
        const bool freeform = h.is(kFreeform);
        Freeform parts;
        // The item's atoms.
        size_t in = h.headerSize;
        while (in < atom.size()) {
            Header c;
            if (readBoxHeader(atom.subspan(in), atom.size() - in, c) != Fit::Ok) {
                damaged = true;
                break;
            }
            const auto child = atom.subspan(in, static_cast<size_t>(c.size));
            const auto body = child.subspan(c.headerSize);
            if (c.is("data")) {
                if (body.size() < 8) {
                    damaged = true;
                } else {
                    Data d;
                    d.type = be32(body.data()) & 0xFFFFFF;
                    d.locale = be32(body.data() + 4);
                    d.value.assign(body.begin() + 8, body.end());
                    item.data.push_back(std::move(d));
                }
            } else if (freeform && (c.is("mean") || c.is("name"))) {
                // A full box: version and flags, then the text.
                std::optional<std::string>& part = c.is("mean") ? parts.mean : parts.name;
                if (body.size() < 4)
                    damaged = true;
                else if (!part)
                    part = std::string(textOf(body.subspan(4)));
            }
            in += child.size();
        }
        if (freeform && parts.mean && parts.name)
            item.key = "----:" + *parts.mean + ":" + *parts.name;
        else
            item.key = keyOfName(std::span<const uint8_t, 4>(h.type));
        if (!mappedFieldOfMp4(item.key) && item.key != "covr") item.raw.assign(atom.begin(), atom.end());
        items.push_back(std::move(item));
        at += atom.size();
    }
    return items;
}

std::optional<Tag> readTag(const ReadAtFn& readAt, uint64_t fileSize) {
    Header first;
    if (readBoxHeaderAt(readAt, 0, fileSize, first) == Fit::Short) return std::nullopt;
    if (!first.is("ftyp") && !first.is("moov") && !first.is("mdat") && !first.is("free") && !first.is("skip") &&
        !first.is("wide"))
        return std::nullopt;

    Tag tag;
    Layout& l = tag.layout;
    // The top-level boxes up to "moov".
    uint64_t at = 0;
    uint32_t headerSize = 8;  // of the box last found
    for (int n = 0; n < kMaxTopLevelBoxes && at < fileSize; ++n) {
        Header h;
        const Fit fit = readBoxHeaderAt(readAt, at, fileSize, h);
        if (fit == Fit::Short) {
            tag.damaged = fileSize - at >= 8;
            break;
        }
        // A file cut short: what it holds of "moov" is read.
        if (fit == Fit::Beyond) tag.damaged = true;
        if (h.is("moov")) {
            l.moov = {at, h.size};
            headerSize = h.headerSize;
            break;
        }
        if (fit == Fit::Beyond) break;
        at += h.size;
    }
    if (l.moov.empty()) return tag;

    // No recursion: the path to the items is fixed, each box found among
    // the children of the one before it.
    auto inside = [&headerSize](const ByteRange& r) { return r.offset + headerSize; };
    const auto udta = findChild(readAt, inside(l.moov), l.moov.end(), "udta", tag.damaged, &headerSize);
    if (!udta) return tag;
    l.udta = *udta;
    const auto meta = findChild(readAt, inside(l.udta), l.udta.end(), "meta", tag.damaged, &headerSize);
    if (!meta) return tag;
    l.meta = *meta;
    if (l.meta.size > kMaxTagSize) {
        tag.damaged = true;
        return tag;
    }
    // The whole "meta" box: its size lies within the file, checked above.
    std::vector<uint8_t> bytes(static_cast<size_t>(l.meta.size));
    const size_t got = readAt(l.meta.offset, bytes.data(), bytes.size());
    if (got < bytes.size()) {
        tag.damaged = true;
        bytes.resize(got);
    }
    if (bytes.size() < headerSize) return tag;
    std::span<const uint8_t> body = std::span<const uint8_t>(bytes).subspan(headerSize);
    // A full box begins with version 0 and no flags, where a plain box
    // begins with the size of its first child, never 0.
    size_t skip = 0;
    if (body.size() >= 4 && be32(body.data()) == 0) {
        skip = 4;
    } else {
        l.metaHasVersion = false;
    }
    body = body.subspan(std::min(skip, body.size()));
    const uint64_t bodyAt = l.meta.offset + headerSize + skip;
    size_t in = 0;
    for (int n = 0; n < kMaxChildren && in < body.size(); ++n) {
        Header h;
        const Fit fit = readBoxHeader(body.subspan(in), body.size() - in, h);
        if (fit == Fit::Short) {
            tag.damaged = tag.damaged || body.size() - in >= 8;
            break;
        }
        if (fit == Fit::Beyond) tag.damaged = true;
        if (h.is("ilst")) {
            l.ilst = {bodyAt + in, h.size};
            tag.items = parseItems(body.subspan(in + h.headerSize, static_cast<size_t>(h.size - h.headerSize)),
                                   l.ilst.offset + h.headerSize, tag.damaged);
            break;
        }
        in += static_cast<size_t>(h.size);
    }
    return tag;
}

std::optional<Tag> readTag(const std::string& path) {
    io::Reader in(path, io::Reader::Accept::RegularFiles);
    if (!in.ok()) return std::nullopt;
    return readTag([&in](uint64_t at, uint8_t* data, size_t n) { return in.readAt(at, data, n); }, in.size());
}

void applyTo(const Tag& tag, TagRecord& record, TagExtras& extras) {
    const MappedField& genre = mappedFieldOf(Field::Genre);
    std::vector<const MappedField*> seen;
    auto firstOf = [&seen](const MappedField* m) {
        if (std::find(seen.begin(), seen.end(), m) != seen.end()) return false;
        seen.push_back(m);
        return true;
    };
    const bool hasTextGenre = tag.find(genre.mp4) != nullptr;
    auto extra = [&extras](std::string_view name, std::string value) {
        extras.fields.push_back({std::string(name), std::move(value)});
    };
    for (const Item& item : tag.items) {
        if (item.key == "covr") {
            for (const Data& d : item.data) {
                if (d.value.empty()) continue;
                TagPicture p;
                p.kind = 3;
                p.mimeType = mimeOf(d);
                p.data = d.value;
                extras.pictures.push_back(std::move(p));
            }
            continue;
        }
        const MappedField* m = mappedFieldOfMp4(item.key);
        if (!m) {
            if (text::sameIgnoringCase(item.key, kSmpbKey) || !isPrintableKey(item.key)) continue;
            for (std::string& v : item.texts())
                if (!v.empty()) extra(item.key, std::move(v));
            continue;
        }
        if (item.key == "gnre") {
            // The ID3v1 genre index + 1, where no genre text is.
            if (hasTextGenre || !firstOf(m)) continue;
            for (const Data& d : item.data) {
                // Read unsigned: a negative or huge value is no index.
                if (d.value.empty() || d.value.size() > 8) continue;
                uint64_t u = 0;
                for (uint8_t b : d.value) u = u << 8 | b;
                const int index = u >= 1 && u <= 256 ? int(u) - 1 : -1;
                if (genre::isValid(index)) {
                    setGenreIndex(record, index);
                    break;
                }
            }
            continue;
        }
        if (!firstOf(m)) continue;
        if (isNumberPair(item.key)) {
            const bool track = item.key == "trkn";
            for (const Data& d : item.data) {
                const auto nt = numberAndTotal(d);
                if (!nt) continue;
                if (nt->first) {
                    if (track)
                        setFieldText(record, Field::Track, std::to_string(nt->first));
                    else
                        extra("DISCNUMBER", std::to_string(nt->first));
                }
                if (nt->second) extra(track ? "TOTALTRACKS" : "TOTALDISCS", std::to_string(nt->second));
                break;
            }
            continue;
        }
        std::vector<std::string> values = item.texts();
        std::erase(values, std::string());
        if (values.empty()) continue;
        if (m->property) {
            setFieldValues(record, *m->property, values);
            continue;
        }
        for (std::string& v : values) extra(m->name, std::move(v));
    }
}

}  // namespace qoro::tags::mp4
