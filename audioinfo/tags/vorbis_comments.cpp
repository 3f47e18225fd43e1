// Vorbis comment lists: the property rule (one table of the names the
// properties read and write), the fields and pictures beyond it, the changes
// of a write, and FLAC's picture record.
#include "tags/vorbis_comments.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "tags/fields.h"
#include "tags/text.h"

namespace qoro::audioinfo {

namespace {

// The comment names of the property fields (compared ignoring case), in the
// order new comments are added, each written as it stands here.
struct NamedField {
    std::string_view name;
    tags::Field field;
};
constexpr NamedField kNames[] = {
    {"Album", tags::Field::Album},         {"Title", tags::Field::Title},
    {"Artist", tags::Field::Artist},       {"Comment", tags::Field::Comments},
    {"Copyright", tags::Field::Copyright}, {"Genre", tags::Field::Genre},
    {"Composer", tags::Field::Composer},   {"URL", tags::Field::Url},
    {"EncodedBy", tags::Field::EncodedBy}, {"Date", tags::Field::Year},
    {"TrackNumber", tags::Field::Track},
};

// The entry of a comment name, nullptr for a name no property reads.
const NamedField* namedField(std::string_view name) {
    for (const NamedField& n : kNames)
        if (vorbis::sameName(name, n.name)) return &n;
    return nullptr;
}

// The entry a comment belongs to (nullptr: none), and where its value begins.
const NamedField* fieldOf(std::string_view comment, size_t& valueAt) {
    const size_t eq = comment.find('=');
    if (eq == std::string_view::npos) return nullptr;
    valueAt = eq + 1;
    return namedField(comment.substr(0, eq));
}

}  // namespace

void applyVorbisComments(std::span<const std::string> comments, tags::TagRecord& record) {
    std::array<std::vector<std::string>, tags::kFieldCount> values;
    for (const std::string& c : comments) {
        size_t valueAt = 0;
        const NamedField* n = fieldOf(c, valueAt);
        if (n) values[tags::fieldIndex(n->field)].push_back(c.substr(valueAt));
    }
    for (const NamedField& n : kNames) {
        const auto& v = values[tags::fieldIndex(n.field)];
        if (!v.empty()) tags::setFieldValues(record, n.field, v);
    }
}

std::vector<std::string> updatedVorbisComments(const std::vector<std::string>& comments,
                                               const tags::TagRecord& record) {
    tags::TagRecord now;
    applyVorbisComments(comments, now);
    // Each comment, or nullopt when it goes; a replaced one may become several.
    std::vector<std::optional<std::vector<std::string>>> out;
    out.reserve(comments.size());
    for (const std::string& c : comments) out.emplace_back(std::vector<std::string>{c});
    std::vector<std::string> added;
    for (const NamedField& n : kNames) {
        if (tags::sameField(now, record, n.field)) continue;
        // One comment per value: the first takes the place of the first old
        // one, the others follow it; the other old ones go.
        std::vector<std::string> replacement;
        for (const std::string& v : tags::fieldValues(record, n.field)) replacement.push_back(std::string(n.name) + "=" + v);
        bool placed = false;
        std::vector<size_t> firstAt;
        for (size_t i = 0; i < comments.size(); ++i) {
            size_t valueAt = 0;
            if (fieldOf(comments[i], valueAt) != &n) continue;
            out[i].reset();
            if (!placed) firstAt.push_back(i);
            placed = true;
        }
        if (!firstAt.empty() && !replacement.empty()) {
            out[firstAt.front()] = std::move(replacement);
        } else {
            added.insert(added.end(), replacement.begin(), replacement.end());
        }
    }
    std::vector<std::string> result;
    for (auto& c : out)
        if (c) result.insert(result.end(), c->begin(), c->end());
    result.insert(result.end(), added.begin(), added.end());
    return result;
}

namespace vorbis {

namespace {

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}
uint32_t be32(std::span<const uint8_t> b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | uint32_t{b[at + 3]};
}
void appendLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void appendBe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The kind of a picture comment, nullopt for any other comment or one that
// does not decode.
std::optional<int> commentPictureKind(const std::string& comment) {
    const size_t eq = comment.find('=');
    if (eq == std::string::npos || !sameName(std::string_view(comment).substr(0, eq), kPictureName))
        return std::nullopt;
    const auto body = base64Decode(std::string_view(comment).substr(eq + 1));
    if (!body || !parsePicture(*body)) return std::nullopt;
    return pictureKind(*body);
}

// Width, height and bits per pixel from a PNG "IHDR" or a JPEG frame header.
struct ImageSize {
    uint32_t width = 0, height = 0, depth = 0;
};
ImageSize imageSize(std::span<const uint8_t> d) {
    ImageSize s;
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (d.size() >= 29 && std::memcmp(d.data(), kPng, 8) == 0 && std::memcmp(d.data() + 12, "IHDR", 4) == 0) {
        s.width = be32(d, 16);
        s.height = be32(d, 20);
        const uint32_t bits = d[24];
        switch (d[25]) {  // colour type: samples per pixel
        case 0: s.depth = bits; break;
        case 2: s.depth = bits * 3; break;
        case 3: s.depth = bits; break;
        case 4: s.depth = bits * 2; break;
        case 6: s.depth = bits * 4; break;
        default: break;
        }
        return s;
    }
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return s;
    for (size_t at = 2; at + 4 <= d.size();) {
        if (d[at] != 0xFF) return s;
        const uint8_t marker = d[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        const size_t length = (size_t{d[at + 2]} << 8) | d[at + 3];
        if (length < 2 || d.size() - at - 2 < length) return s;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && length >= 8) {
            s.depth = uint32_t{d[at + 4]} * d[at + 9];
            s.height = (uint32_t{d[at + 5]} << 8) | d[at + 6];
            s.width = (uint32_t{d[at + 7]} << 8) | d[at + 8];
            return s;
        }
        if (marker == 0xDA) return s;  // the scan begins: no frame header before it
        at += 2 + length;
    }
    return s;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool parseCommentBlock(std::span<const uint8_t> p, size_t at, CommentBlock& block, size_t& end) {
    if (at > p.size()) return false;
    auto take = [&](std::string& out) {
        if (p.size() - at < 4) return false;
        const uint32_t n = le32(p, at);
        at += 4;
        if (p.size() - at < n) return false;
        out.assign(reinterpret_cast<const char*>(p.data() + at), n);
        at += n;
        return true;
    };
    if (!take(block.vendor) || p.size() - at < 4) return false;
    const uint32_t count = le32(p, at);
    at += 4;
    if (count > (p.size() - at) / 4 || count > kMaxComments) return false;
    block.comments.assign(count, std::string());
    for (std::string& c : block.comments)
        if (!take(c)) return false;
    end = at;
    return true;
}

void appendCommentBlock(std::vector<uint8_t>& b, const CommentBlock& block) {
    appendLe32(b, static_cast<uint32_t>(block.vendor.size()));
    b.insert(b.end(), block.vendor.begin(), block.vendor.end());
    appendLe32(b, static_cast<uint32_t>(block.comments.size()));
    for (const std::string& c : block.comments) {
        appendLe32(b, static_cast<uint32_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
}

std::string_view nameOf(std::string_view comment) { return comment.substr(0, comment.find('=')); }

bool sameName(std::string_view a, std::string_view b) { return tags::text::sameIgnoringCase(a, b); }

std::optional<tags::Field> fieldOfName(std::string_view name) {
    const NamedField* n = namedField(name);
    return n ? std::optional(n->field) : std::nullopt;
}

bool isPropertyName(std::string_view name) { return namedField(name) != nullptr; }

bool isValidName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u <= 0x7D && c != '=';
    });
}

void collectExtras(std::span<const std::string> comments, tags::TagExtras& extras) {
    const size_t first = extras.fields.size();
    bool totalTracks = false, totalDiscs = false;
    std::string trackNumber;
    for (const std::string& c : comments) {
        const size_t eq = c.find('=');
        if (eq == std::string::npos) continue;  // no comment at all: nothing to carry
        const std::string_view name = std::string_view(c).substr(0, eq);
        const std::string value = c.substr(eq + 1);
        if (isPropertyName(name)) {
            if (sameName(name, "TRACKNUMBER") && trackNumber.empty()) trackNumber = value;
            continue;
        }
        if (sameName(name, kPictureName)) {
            if (const auto body = base64Decode(value))
                if (auto picture = parsePicture(*body)) extras.pictures.push_back(std::move(*picture));
            continue;
        }
        // Mapped fields by their map names; TRACKTOTAL and TOTALTRACKS (and
        // the two names of the disc total) are one field, often written twice.
        const tags::MappedField* m = tags::mappedField(name);
        if (!m || m->property) {
            extras.fields.push_back({std::string(name), value});
            continue;
        }
        const std::string mapped(m->name);
        if (!m->vorbisAlso.empty() &&
            std::any_of(extras.fields.begin() + static_cast<std::ptrdiff_t>(first), extras.fields.end(),
                        [&](const tags::TagField& f) { return f.name == mapped && f.value == value; }))
            continue;
        totalTracks = totalTracks || mapped == "TOTALTRACKS";
        totalDiscs = totalDiscs || mapped == "TOTALDISCS";
        extras.fields.push_back({mapped, value});
    }
    // "3/12" in TRACKNUMBER and "1/2" in DISCNUMBER hold the totals too.
    auto totalOf = [](const std::string& v) { return v.find('/') == std::string::npos ? std::string() : v.substr(v.find('/') + 1); };
    if (!totalTracks && !totalOf(trackNumber).empty()) extras.fields.push_back({"TOTALTRACKS", totalOf(trackNumber)});
    if (!totalDiscs)
        for (size_t i = first; i < extras.fields.size(); ++i)
            if (extras.fields[i].name == "DISCNUMBER" && !totalOf(extras.fields[i].value).empty()) {
                const std::string total = totalOf(extras.fields[i].value);
                extras.fields[i].value.resize(extras.fields[i].value.find('/'));
                extras.fields.push_back({"TOTALDISCS", total});
                break;
            }
}

std::error_code commentsAfter(const std::vector<std::string>& comments, const tags::TagRecord& record,
                              const tags::TagChanges& changes, bool picturesAsComments,
                              std::vector<std::string>& out) {
    for (const tags::FieldChange& f : changes.fields)
        if (!isValidName(f.name)) return std::make_error_code(std::errc::invalid_argument);
    std::vector<std::string> list = updatedVorbisComments(comments, record);
    for (const tags::FieldChange& change : changes.fields) {
        // A mapped field goes under its map name (and its second name, where
        // players look for either) in place of any comment of either name.
        const tags::MappedField* m = tags::mappedField(change.name);
        if (m && m->property) m = nullptr;
        std::vector<std::string> names{m ? std::string(m->name) : change.name};
        if (m && !m->vorbisAlso.empty()) names.emplace_back(m->vorbisAlso);
        auto named = [&](std::string_view n) {
            return std::any_of(names.begin(), names.end(), [&](const std::string& x) { return sameName(n, x); });
        };
        std::vector<std::string> next;
        next.reserve(list.size() + change.values.size() * names.size());
        bool placed = change.values.empty();
        auto place = [&] {
            for (const std::string& name : names)
                for (const std::string& v : change.values) next.push_back(name + "=" + v);
            placed = true;
        };
        for (std::string& c : list) {
            if (!named(nameOf(c)))
                next.push_back(std::move(c));
            else if (!placed)
                place();
        }
        if (!placed) place();
        list = std::move(next);
    }
    if (picturesAsComments)
        applyPictureChanges(list, changes.pictures, commentPictureKind, [](const tags::TagPicture& p) {
            return std::string(kPictureName) + "=" + base64Encode(pictureBody(p));
        });
    out = std::move(list);
    return {};
}

std::optional<int> pictureKind(std::span<const uint8_t> body) {
    if (body.size() < 4) return std::nullopt;
    const uint32_t kind = be32(body, 0);
    if (kind > INT32_MAX) return std::nullopt;
    return static_cast<int>(kind);
}

std::optional<tags::TagPicture> parsePicture(std::span<const uint8_t> b) {
    size_t at = 0;
    auto word = [&](uint32_t& v) {
        if (b.size() - at < 4) return false;
        v = be32(b, at);
        at += 4;
        return true;
    };
    auto text = [&](std::string& out) {
        uint32_t n = 0;
        if (!word(n) || b.size() - at < n) return false;
        out.assign(reinterpret_cast<const char*>(b.data() + at), n);
        at += n;
        return true;
    };
    tags::TagPicture p;
    uint32_t kind = 0, skip = 0, length = 0;
    if (!word(kind) || kind > INT32_MAX || !text(p.mimeType) || !text(p.description)) return std::nullopt;
    for (int i = 0; i < 4; ++i)  // width, height, depth, colours
        if (!word(skip)) return std::nullopt;
    if (!word(length) || b.size() - at < length) return std::nullopt;
    p.kind = static_cast<int>(kind);
    p.data.assign(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + length));
    return p;
}

std::vector<uint8_t> pictureBody(const tags::TagPicture& p) {
    std::vector<uint8_t> b;
    b.reserve(32 + p.mimeType.size() + p.description.size() + p.data.size());
    appendBe32(b, static_cast<uint32_t>(p.kind));
    appendBe32(b, static_cast<uint32_t>(p.mimeType.size()));
    b.insert(b.end(), p.mimeType.begin(), p.mimeType.end());
    appendBe32(b, static_cast<uint32_t>(p.description.size()));
    b.insert(b.end(), p.description.begin(), p.description.end());
    const ImageSize size = imageSize(p.data);
    appendBe32(b, size.width);
    appendBe32(b, size.height);
    appendBe32(b, size.depth);
    appendBe32(b, 0);  // colours: only indexed pictures count them
    appendBe32(b, static_cast<uint32_t>(p.data.size()));
    b.insert(b.end(), p.data.begin(), p.data.end());
    return b;
}

std::string channelText(int channels) {
    return channels == 1 ? "Mono" : channels == 2 ? "Stereo" : std::to_string(channels) + " channels";
}

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (const size_t rest = bytes.size() - i; rest > 0) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) return std::nullopt;  // data after padding
            v[k] = base64Value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const uint32_t word = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out.push_back(static_cast<uint8_t>(word >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(word >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(word));
    }
    return out;
}

}  // namespace vorbis

}  // namespace qoro::audioinfo
