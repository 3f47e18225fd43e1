#include "tags/apev2.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "tags/fields.h"
#include "tags/text.h"

namespace qoro::tags::ape {

namespace {

constexpr char kPreamble[8] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'};
// The smallest item: value size, flags, a one-character key and its zero.
constexpr uint32_t kSmallestItem = 4 + 4 + 1 + 1;
constexpr uint32_t kBinaryFlags = uint32_t(ItemKind::Binary) << 1;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Keys compare ignoring case.
bool sameKey(std::string_view a, std::string_view b) { return text::sameIgnoringCase(a, b); }

std::string asUtf8(std::string_view bytes) {
    return text::isUtf8(bytes) ? std::string(bytes) : text::latin1ToUtf8(bytes);
}

// The ID3v2 picture kinds by the names of their cover art items.
constexpr std::array<std::string_view, 21> kPictureKeys = {
    "Cover Art (Other)",
    "Cover Art (Icon)",
    "Cover Art (Other Icon)",
    "Cover Art (Front)",
    "Cover Art (Back)",
    "Cover Art (Leaflet)",
    "Cover Art (Media)",
    "Cover Art (Lead Artist)",
    "Cover Art (Artist)",
    "Cover Art (Conductor)",
    "Cover Art (Band)",
    "Cover Art (Composer)",
    "Cover Art (Lyricist)",
    "Cover Art (Recording Location)",
    "Cover Art (During Recording)",
    "Cover Art (During Performance)",
    "Cover Art (Video Capture)",
    "Cover Art (Fish)",
    "Cover Art (Illustration)",
    "Cover Art (Band Logotype)",
    "Cover Art (Publisher Logotype)",
};

struct ImageType {
    std::string_view mime, extension, magic;
    size_t magicAt = 0;
};
constexpr ImageType kImageTypes[] = {
    {"image/jpeg", ".jpg", "\xFF\xD8\xFF"}, {"image/png", ".png", "\x89PNG"},
    {"image/gif", ".gif", "GIF8"},          {"image/bmp", ".bmp", "BM"},
    {"image/webp", ".webp", "WEBP", 8},
};

std::string mimeOf(std::span<const uint8_t> data, std::string_view name) {
    const std::string_view d(reinterpret_cast<const char*>(data.data()), data.size());
    for (const ImageType& t : kImageTypes)
        if (d.size() >= t.magicAt + t.magic.size() && d.substr(t.magicAt, t.magic.size()) == t.magic)
            return std::string(t.mime);
    const size_t dot = name.rfind('.');
    const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
    if (sameKey(ext, ".jpeg")) return "image/jpeg";
    for (const ImageType& t : kImageTypes)
        if (sameKey(ext, t.extension)) return std::string(t.mime);
    return {};
}

std::string fileNameFor(const TagPicture& p) {
    std::string name = p.description.substr(0, p.description.find('\0'));
    if (!name.empty()) return name;
    name = "cover";
    for (const ImageType& t : kImageTypes)
        if (sameKey(p.mimeType, t.mime)) name += t.extension;
    return name;
}

const MappedField& mapped(std::string_view name) { return *mappedField(name); }

// The field a text item of this key holds.
const MappedField* fieldOfKey(std::string_view key) { return mappedFieldOfApe(key); }

// The mapped field a field change names: a map name, else an APEv2 key.
const MappedField* fieldOfChange(std::string_view name) {
    const MappedField* m = mappedField(name);
    return m ? m : mappedFieldOfApe(name);
}

// What reading a tag gives of one field: the values of the item that holds
// it (its own key first, else the first item named by a map name).
struct Reading {
    const MappedField* field = nullptr;
    std::vector<std::string> values;
    size_t item = 0;
    bool own = false;  // under the field's own key
};

// Every mapped field the text items of a tag hold, by the rule above.
std::vector<Reading> readings(const Tag& tag) {
    std::vector<Reading> out;
    auto offer = [&out](const MappedField* f, std::vector<std::string> values, size_t item, bool own) {
        auto it = std::find_if(out.begin(), out.end(), [f](const Reading& r) { return r.field == f; });
        if (it == out.end())
            out.push_back({f, std::move(values), item, own});
        else if (own && !it->own)
            *it = {f, std::move(values), item, own};
    };
    const MappedField& trackNumber = mapped("TRACKNUMBER");
    const MappedField& discNumber = mapped("DISCNUMBER");
    for (size_t i = 0; i < tag.items.size(); ++i) {
        const Item& item = tag.items[i];
        if (item.kind() != ItemKind::Text || !isValidKey(item.key)) continue;
        const MappedField* f = fieldOfKey(item.key);
        if (!f) continue;
        std::vector<std::string> values = item.texts();
        std::erase(values, std::string());
        if (values.empty()) continue;
        const bool own = sameKey(item.key, f->ape);
        if (f == &trackNumber || f == &discNumber) {
            // One number and its total.
            auto [number, total] = text::numberAndTotal(values.front());
            const MappedField* totalField = mappedField(f == &trackNumber ? "TOTALTRACKS" : "TOTALDISCS");
            if (!number.empty()) offer(f, {number}, i, own);
            if (!total.empty()) offer(totalField, {total}, i, own && sameKey(item.key, totalField->ape));
            continue;
        }
        offer(f, std::move(values), i, own);
    }
    return out;
}

}  // namespace

std::optional<Frame> parseFrame(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFrameSize || std::memcmp(bytes.data(), kPreamble, sizeof kPreamble) != 0) return std::nullopt;
    Frame f;
    f.version = le32(bytes.data() + 8);
    f.size = le32(bytes.data() + 12);
    f.itemCount = le32(bytes.data() + 16);
    f.flags = le32(bytes.data() + 20);
    if (f.version != 1000 && f.version != 2000) return std::nullopt;
    if (f.version == 1000) f.flags = 0;
    if (f.size < kFrameSize || f.itemCount > (f.size - kFrameSize) / kSmallestItem) return std::nullopt;
    return f;
}

std::vector<std::string> Item::texts() const {
    std::vector<std::string> out;
    const std::string_view v(reinterpret_cast<const char*>(value.data()), value.size());
    size_t at = 0;
    while (true) {
        const size_t zero = v.find('\0', at);
        out.push_back(asUtf8(v.substr(at, zero == std::string_view::npos ? std::string_view::npos : zero - at)));
        if (zero == std::string_view::npos) break;
        at = zero + 1;
    }
    return out;
}

const Item* Tag::find(std::string_view key) const {
    for (const Item& item : items)
        if (sameKey(item.key, key)) return &item;
    return nullptr;
}

bool isValidKey(std::string_view key) {
    if (key.size() < 2 || key.size() > 255) return false;
    for (char c : key)
        if (c < 0x20 || c > 0x7E) return false;
    for (std::string_view reserved : {"ID3", "TAG", "OggS", "MP+"})
        if (sameKey(key, reserved)) return false;
    return true;
}

std::optional<Tag> parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFrameSize) return std::nullopt;
    const std::optional<Frame> footer = parseFrame(bytes.last(kFrameSize));
    if (!footer || footer->isHeader() || footer->size > bytes.size()) return std::nullopt;
    const std::span<const uint8_t> items = bytes.subspan(bytes.size() - footer->size, footer->size - kFrameSize);
    Tag tag;
    tag.version = footer->version;
    tag.items.reserve(footer->itemCount);
    size_t at = 0;
    for (uint32_t i = 0; i < footer->itemCount; ++i) {
        if (items.size() - at < 8) return std::nullopt;
        Item item;
        const uint32_t valueSize = le32(items.data() + at);
        item.flags = le32(items.data() + at + 4);
        at += 8;
        // The key: up to 255 characters and the zero that ends it.
        const size_t keyEnd = std::min<size_t>(items.size(), at + 256);
        const auto zero = std::find(items.begin() + at, items.begin() + keyEnd, uint8_t{0});
        if (zero == items.begin() + keyEnd || zero == items.begin() + at) return std::nullopt;
        item.key.assign(items.begin() + at, zero);
        at = static_cast<size_t>(zero - items.begin()) + 1;
        if (valueSize > items.size() - at) return std::nullopt;
        item.value.assign(items.begin() + at, items.begin() + at + valueSize);
        at += valueSize;
        tag.items.push_back(std::move(item));
    }
    return tag;
}

std::optional<Tag> readTag(const ReadAtFn& readAt, const ByteRange& range) {
    if (range.empty() || range.size > kMaxTagSize + kFrameSize) return std::nullopt;
    std::vector<uint8_t> bytes(static_cast<size_t>(range.size));
    if (readAt(range.offset, bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
    return parse(bytes);
}

std::optional<std::vector<uint8_t>> serialize(const Tag& tag) {
    uint64_t size = kFrameSize;
    for (const Item& item : tag.items) size += 8 + item.key.size() + 1 + item.value.size();
    if (size > kMaxTagSize) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(size) + kFrameSize);
    auto frame = [&](uint32_t flags) {
        out.insert(out.end(), std::begin(kPreamble), std::end(kPreamble));
        putLe32(out, 2000);
        putLe32(out, static_cast<uint32_t>(size));
        putLe32(out, static_cast<uint32_t>(tag.items.size()));
        putLe32(out, flags);
        out.insert(out.end(), 8, 0);
    };
    frame(kHasHeader | kIsHeader);
    for (const Item& item : tag.items) {
        putLe32(out, static_cast<uint32_t>(item.value.size()));
        putLe32(out, item.flags);
        out.insert(out.end(), item.key.begin(), item.key.end());
        out.push_back(0);
        out.insert(out.end(), item.value.begin(), item.value.end());
    }
    frame(kHasHeader);
    return out;
}

std::string_view pictureKey(int kind) {
    return kind >= 0 && kind < int(kPictureKeys.size()) ? kPictureKeys[size_t(kind)] : std::string_view();
}

int pictureKind(std::string_view key) {
    for (size_t i = 0; i < kPictureKeys.size(); ++i)
        if (sameKey(key, kPictureKeys[i])) return int(i);
    return -1;
}

void applyTo(const Tag& tag, TagRecord& record, TagExtras& extras) {
    const std::vector<Reading> read = readings(tag);
    for (const Reading& r : read)
        if (r.field->property) setFieldValues(record, *r.field->property, r.values);
    for (size_t i = 0; i < tag.items.size(); ++i) {
        const Item& item = tag.items[i];
        if (item.kind() == ItemKind::Binary) {
            const int kind = pictureKind(item.key);
            if (kind < 0) continue;
            const auto zero = std::find(item.value.begin(), item.value.end(), uint8_t{0});
            TagPicture p;
            p.kind = kind;
            if (zero != item.value.end()) {
                p.description = asUtf8(std::string_view(reinterpret_cast<const char*>(item.value.data()),
                                                        static_cast<size_t>(zero - item.value.begin())));
                p.data.assign(zero + 1, item.value.end());
            } else {
                p.data = item.value;
            }
            p.mimeType = mimeOf(p.data, p.description);
            extras.pictures.push_back(std::move(p));
            continue;
        }
        if (item.kind() != ItemKind::Text || !isValidKey(item.key)) continue;
        if (!fieldOfKey(item.key)) {
            for (std::string& v : item.texts())
                if (!v.empty()) extras.fields.push_back({item.key, std::move(v)});
            continue;
        }
        for (const Reading& r : read)
            if (r.item == i && !r.field->property)
                for (const std::string& v : r.values) extras.fields.push_back({std::string(r.field->name), v});
    }
}

namespace {

// One replacement: the items it names give way to one new item (or none).
struct Replacement {
    std::string key;                            // the key written
    std::vector<const MappedField*> fields;     // names the text items of these fields
    bool byKey = false;                         // names the items of its key
    std::optional<std::vector<uint8_t>> value;  // nullopt: the items are removed
    uint32_t flags = 0;
    bool placed = false;

    Replacement(std::string key, std::vector<const MappedField*> fields, bool byKey,
                std::optional<std::vector<uint8_t>> value, uint32_t flags = 0)
        : key(std::move(key)), fields(std::move(fields)), byKey(byKey), value(std::move(value)), flags(flags) {}

    bool names(const Item& item) const {
        if (byKey) return sameKey(item.key, key);
        const MappedField* f = isValidKey(item.key) ? fieldOfKey(item.key) : nullptr;
        return f && std::find(fields.begin(), fields.end(), f) != fields.end();
    }
};

std::optional<std::vector<uint8_t>> textValue(const std::vector<std::string>& values) {
    std::vector<uint8_t> out;
    bool any = false;
    for (const std::string& v : values) {
        const std::string_view cut = std::string_view(v).substr(0, v.find('\0'));
        if (cut.empty()) continue;
        if (any) out.push_back(0);
        out.insert(out.end(), cut.begin(), cut.end());
        any = true;
    }
    if (!any) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> textValue(const std::string& v) { return textValue(std::vector{v}); }

// The value a number field and its total give ("3/12"); none without a number.
std::optional<std::vector<uint8_t>> numberValue(const std::string& number, const std::string& total) {
    if (number.empty() || number == "0") return std::nullopt;
    return textValue(total.empty() ? number : number + "/" + total);
}

}  // namespace

Tag updated(const Tag& old, const TagRecord& record, const TagChanges& changes) {
    TagRecord was;
    TagExtras wasExtras;
    applyTo(old, was, wasExtras);
    const std::vector<Reading> read = readings(old);
    auto readValue = [&read](const MappedField& f) {
        for (const Reading& r : read)
            if (r.field == &f) return r.values.front();
        return std::string();
    };

    // Field changes that name a property set it; the numbers and totals of
    // "Track" and "Disc" are gathered; later changes win.
    TagRecord now = record;
    const MappedField& trackNumber = mapped("TRACKNUMBER");
    const MappedField& totalTracks = mapped("TOTALTRACKS");
    const MappedField& discNumber = mapped("DISCNUMBER");
    const MappedField& totalDiscs = mapped("TOTALDISCS");
    std::vector<Replacement> out;
    auto put = [&out](Replacement r) {
        auto same = std::find_if(out.begin(), out.end(), [&r](const Replacement& o) { return sameKey(o.key, r.key); });
        if (same == out.end())
            out.push_back(std::move(r));
        else
            *same = std::move(r);
    };
    std::vector<Replacement> fieldChanges;
    NumberChanges numbers;
    for (const FieldChange& c : changes.fields) {
        const MappedField* f = fieldOfChange(c.name);
        if (numbers.take(f, c, now)) continue;
        if (f && !f->ape.empty()) {
            fieldChanges.emplace_back(std::string(f->ape), std::vector{f}, false, textValue(c.values));
        } else if (isValidKey(c.name) && pictureKind(c.name) < 0) {
            fieldChanges.emplace_back(c.name, std::vector<const MappedField*>{}, true, textValue(c.values));
        }
    }
    const auto& [trackTotal, disc, discTotal] = numbers;

    // The properties in their fixed order, then the numbers, the other
    // fields and the pictures.
    for (const FieldInfo& info : kFields) {
        const MappedField& f = mappedFieldOf(info.field);
        if (info.field == Field::Track || f.ape.empty() || sameField(was, now, info.field)) continue;
        put(Replacement(std::string(f.ape), {&f}, false, textValue(fieldValues(now, info.field))));
    }
    if (!sameField(was, now, Field::Track) || trackTotal) {
        Replacement r(std::string(trackNumber.ape), {&trackNumber}, false, std::nullopt);
        if (trackTotal) r.fields.push_back(&totalTracks);
        r.value = numberValue(fieldText(now, Field::Track), trackTotal.value_or(readValue(totalTracks)));
        put(std::move(r));
    }
    if (disc || discTotal) {
        Replacement r(std::string(discNumber.ape), {&discNumber}, false, std::nullopt);
        if (discTotal) r.fields.push_back(&totalDiscs);
        r.value = numberValue(disc.value_or(readValue(discNumber)), discTotal.value_or(readValue(totalDiscs)));
        put(std::move(r));
    }
    for (Replacement& r : fieldChanges) put(std::move(r));
    for (const TagPicture& p : changes.pictures) {
        const std::string_view key = pictureKey(p.kind);
        if (key.empty()) continue;
        Replacement r(std::string(key), {}, true, std::nullopt, kBinaryFlags);
        if (!p.data.empty()) {
            const std::string name = fileNameFor(p);
            r.value.emplace(name.begin(), name.end());
            r.value->push_back(0);
            r.value->insert(r.value->end(), p.data.begin(), p.data.end());
        }
        put(std::move(r));
    }

    Tag tag;
    tag.version = 2000;
    for (const Item& item : old.items) {
        auto r = std::find_if(out.begin(), out.end(), [&item](const Replacement& o) { return o.names(item); });
        if (r == out.end()) {
            tag.items.push_back(item);
            continue;
        }
        if (r->placed) continue;
        r->placed = true;
        // A field keeps its key as stored; a key the caller named is written as named.
        if (r->value)
            tag.items.push_back({!r->byKey && sameKey(item.key, r->key) ? item.key : r->key, r->flags, *r->value});
    }
    for (const Replacement& r : out)
        if (!r.placed && r.value) tag.items.push_back({r.key, r.flags, *r.value});
    return tag;
}

}  // namespace qoro::tags::ape
