#include "tags/id3v2.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>

#include "io/file_rewrite.h"
#include "tags/fields.h"
#include "tags/id3v2_frames.h"
#include "tags/text.h"

namespace qoro::tags {

namespace {

// The frames of the managed fields, in the order of Id3v2Frame (the order
// they are written).
struct FrameField {
    std::string_view id;
    Field field;
};
constexpr std::array<FrameField, kId3v2FrameCount> kFrames = {{
    {"TIT2", Field::Title},
    {"TPE1", Field::Artist},
    {"TALB", Field::Album},
    {"TRCK", Field::Track},
    {"TYER", Field::Year},
    {"TCON", Field::Genre},
    {"COMM", Field::Comments},
    {"TCOM", Field::Composer},
    {"WXXX", Field::Url},
    {"TENC", Field::EncodedBy},
    {"TCOP", Field::Copyright},
}};

// The managed frame of an identifier, kId3v2FrameCount for any other.
size_t managedIndex(std::string_view id) {
    size_t k = 0;
    while (k < kId3v2FrameCount && kFrames[k].id != id) ++k;
    return k;
}

constexpr size_t kComm = static_cast<size_t>(Id3v2Frame::COMM);
constexpr size_t kWxxx = static_cast<size_t>(Id3v2Frame::WXXX);
constexpr size_t kTcon = static_cast<size_t>(Id3v2Frame::TCON);
constexpr size_t kTyer = static_cast<size_t>(Id3v2Frame::TYER);

// Largest tag body the 28-bit size field can state.
constexpr uint64_t kMaxBody = (1u << 28) - 1;
// Tags standing one after another at the start of a file: a handful in real
// files; a file made of nothing but empty tags is not walked to its end.
constexpr size_t kMaxStackedTags = 256;

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t syncsafe(const uint8_t* p) {
    return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}

bool validId(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= '0' && p[i] <= '9'))) return false;
    return true;
}

// FF 00 back to FF.
std::vector<uint8_t> undoUnsync(std::span<const uint8_t> in) {
    std::vector<uint8_t> out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        if (in[i] == 0xFF && i + 1 < in.size() && in[i + 1] == 0) ++i;
    }
    return out;
}

// Reads the frames of a tag body (after any extended header). True when the
// walk ended where it should: at the end of the body or at padding.
bool walkFrames(std::span<const uint8_t> body, int version, bool syncsafeSizes, bool unsyncAll,
                std::vector<Id3v2RawFrame>& out) {
    const size_t headerSize = version == 2 ? 6 : 10;
    const size_t idSize = version == 2 ? 3 : 4;
    size_t pos = 0;
    for (;;) {
        if (pos == body.size() || body[pos] == 0) return true;  // the end, or padding
        if (body.size() - pos < headerSize) return false;
        const uint8_t* h = body.data() + pos;
        if (!validId(h, idSize)) return false;
        uint64_t size = 0;
        uint16_t flags = 0;
        if (version == 2) {
            size = be24(h + 3);
        } else {
            if (syncsafeSizes && ((h[4] | h[5] | h[6] | h[7]) & 0x80)) return false;
            size = syncsafeSizes ? syncsafe(h + 4) : be32(h + 4);
            flags = static_cast<uint16_t>(h[8] << 8 | h[9]);
        }
        pos += headerSize;
        if (size > body.size() - pos) return false;
        // A frame without content is not a frame; the walk goes on after it.
        if (size > 0) {
            Id3v2RawFrame f;
            f.id.assign(reinterpret_cast<const char*>(h), idSize);
            f.flags = flags;
            const auto data = body.subspan(pos, static_cast<size_t>(size));
            if (version == 4 && (unsyncAll || (flags & 0x0002))) {
                f.body = undoUnsync(data);
                f.flags &= static_cast<uint16_t>(~0x0002);
            } else {
                f.body.assign(data.begin(), data.end());
            }
            out.push_back(std::move(f));
        }
        pos += static_cast<size_t>(size);
    }
}

// Which frames of a tag (in their 2.3 form) carry the managed fields, and
// the values they give.
struct Managed {
    std::array<std::vector<size_t>, kId3v2FrameCount> members;
    std::array<std::string, kId3v2FrameCount> texts;
    std::string commLanguage;  // of the comment shown
    // Every comment frame with an empty description: the read takes one of
    // them, so clearing the comment removes them all (else another one
    // would read as the comment afterwards). A new comment replaces the one
    // shown and stands before the others, so they stay.
    std::vector<size_t> commCandidates;
};

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string joined(const std::vector<std::string>& values) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) out += (i ? "; " : "") + values[i];
    return out;
}

Managed manage(const std::vector<Id3v2RawFrame>& frames) {
    Managed m;
    std::array<std::vector<std::string>, kId3v2FrameCount> values;
    std::optional<size_t> commEnglish, commAny, url;
    std::optional<std::string> recorded;  // "TDRC" where a tag has it instead of "TYER"
    for (size_t i = 0; i < frames.size(); ++i) {
        const Id3v2RawFrame& f = frames[i];
        const auto content = id3v2::plainContent(f);
        if (f.id == "COMM") {
            if (!content) continue;
            const auto c = id3v2::readComment(*content);
            if (!c || !c->description.empty()) continue;
            m.commCandidates.push_back(i);
            if (!commEnglish && lowered(c->language) == "eng") commEnglish = i;
            if (!commAny) commAny = i;
        } else if (f.id == "WXXX") {
            if (!content || url) continue;
            const auto u = id3v2::readUserUrl(*content);
            if (u && u->description.empty()) url = i;
        } else if (f.id == "TDRC") {
            if (!content || recorded) continue;
            const auto v = id3v2::textValues(*content);
            if (!v.empty()) recorded = v.front();
        } else {
            const size_t k = managedIndex(f.id);
            if (k >= kId3v2FrameCount) continue;
            m.members[k].push_back(i);
            if (content) {
                auto v = id3v2::textValues(*content);
                values[k].insert(values[k].end(), v.begin(), v.end());
            }
        }
    }
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        if (k == kComm || k == kWxxx) continue;
        m.texts[k] = k == kTcon ? (values[k].empty() ? std::string() : values[k].front()) : joined(values[k]);
    }
    if (m.texts[kTyer].empty() && recorded) m.texts[kTyer] = *recorded;
    if (const auto comm = commEnglish ? commEnglish : commAny) {
        const auto c = id3v2::readComment(*id3v2::plainContent(frames[*comm]));
        m.members[kComm] = {*comm};
        m.texts[kComm] = c->text;
        m.commLanguage = c->language;
    }
    if (url) {
        m.members[kWxxx] = {*url};
        m.texts[kWxxx] = id3v2::readUserUrl(*id3v2::plainContent(frames[*url]))->text;
    }
    return m;
}

// The text a managed field is written with; the genre refers to the genre
// table ("(17)Rock"), an index outside it written as "Other".
std::string managedText(const TagRecord& r, size_t k) {
    const Field f = kFrames[k].field;
    if (f != Field::Genre) return fieldText(r, f);
    return "(" + std::to_string(genre::isValid(r.genre) ? r.genre : genre::kDefault) + ")" +
           std::string(genre::toString(r.genre));
}

bool sameValue(const TagRecord& a, const TagRecord& b, size_t k) { return sameField(a, b, kFrames[k].field); }

// Header and frames of a version 2.3 tag without padding; empty when the
// frames do not fit its size field.
std::vector<uint8_t> assemble(const std::vector<Id3v2RawFrame>& frames) {
    std::vector<uint8_t> tag(kId3v2HeaderSize, 0);
    for (const auto& f : frames) {
        if (f.id.size() != 4 || f.body.size() > kMaxBody) return {};
        id3v2::appendV23(tag, f);
        if (tag.size() - kId3v2HeaderSize > kMaxBody) return {};
    }
    const auto size = static_cast<uint32_t>(tag.size() - kId3v2HeaderSize);
    const uint8_t header[kId3v2HeaderSize] = {'I',
                                              'D',
                                              '3',
                                              3,
                                              0,
                                              0,
                                              static_cast<uint8_t>((size >> 21) & 0x7F),
                                              static_cast<uint8_t>((size >> 14) & 0x7F),
                                              static_cast<uint8_t>((size >> 7) & 0x7F),
                                              static_cast<uint8_t>(size & 0x7F)};
    std::copy(std::begin(header), std::end(header), tag.begin());
    return tag;
}

bool isManagedId(std::string_view id) { return managedIndex(id) < kId3v2FrameCount; }

}  // namespace

std::string_view id3v2FrameId(Id3v2Frame frame) { return kFrames[static_cast<size_t>(frame)].id; }

Id3v2Frame id3v2FrameOf(Field field) {
    size_t k = 0;
    while (k + 1 < kId3v2FrameCount && kFrames[k].field != field) ++k;
    return static_cast<Id3v2Frame>(k);
}

std::optional<Id3v2Header> parseId3v2Header(std::span<const uint8_t> b) {
    if (b.size() < kId3v2HeaderSize || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return std::nullopt;
    if (b[3] < 2 || b[3] > 4 || b[4] == 0xFF || ((b[6] | b[7] | b[8] | b[9]) & 0x80)) return std::nullopt;
    Id3v2Header h;
    h.version = b[3];
    h.revision = b[4];
    h.flags = b[5];
    h.bodySize = syncsafe(b.data() + 6);
    return h;
}

std::optional<uint64_t> id3v2TotalSize(std::span<const uint8_t> bytes) {
    const auto h = parseId3v2Header(bytes);
    if (!h) return std::nullopt;
    return h->totalSize();
}

std::optional<uint64_t> id3v2TotalSize(const std::string& path) {
    io::Reader in(path);
    uint8_t b[kId3v2HeaderSize];
    if (!in.ok() || in.readAt(0, b, sizeof b) != sizeof b) return std::nullopt;
    const auto total = id3v2TotalSize(b);
    if (!total || *total > in.size()) return std::nullopt;
    return total;
}

uint64_t id3v2LeadingSize(const ReadAtFn& readAt, uint64_t fileSize, bool clampToFile) {
    uint64_t pos = 0;
    for (size_t n = 0; n < kMaxStackedTags && fileSize - pos >= kId3v2HeaderSize; ++n) {
        uint8_t b[kId3v2HeaderSize];
        if (readAt(pos, b, sizeof b) != sizeof b) break;
        const auto h = parseId3v2Header(b);
        if (!h) break;
        if (h->totalSize() > fileSize - pos) {
            if (clampToFile) pos = fileSize;
            break;
        }
        pos += h->totalSize();
    }
    return pos;
}

uint64_t id3v2LeadingSize(const std::string& path) {
    io::Reader in(path);
    if (!in.ok()) return 0;
    return id3v2LeadingSize([&in](uint64_t at, uint8_t* d, size_t n) { return in.readAt(at, d, n); }, in.size());
}

std::optional<Id3v2Tag> parseId3v2(std::span<const uint8_t> bytes) {
    const auto h = parseId3v2Header(bytes);
    if (!h || h->totalSize() > bytes.size()) return std::nullopt;
    Id3v2Tag tag;
    tag.version = h->version;
    tag.totalSize = h->totalSize();
    std::span<const uint8_t> body = bytes.subspan(kId3v2HeaderSize, h->bodySize);
    const bool unsync = (h->flags & 0x80) != 0;
    std::vector<uint8_t> plain;
    if (h->version < 4 && unsync) {  // the whole tag, extended header included
        plain = undoUnsync(body);
        body = plain;
    }
    // A compressed 2.2 tag has no scheme anyone can read.
    bool frames = !(h->version == 2 && (h->flags & 0x40));
    if (frames && h->version >= 3 && (h->flags & 0x40)) {
        // Extended header: in 2.3 its size leaves out the size field, in 2.4
        // it counts the whole extended header (and is syncsafe).
        uint64_t skip = 0;
        if (body.size() >= 4) skip = h->version == 3 ? 4 + uint64_t{be32(body.data())} : syncsafe(body.data());
        if (skip < 4 || skip > body.size())
            frames = false;
        else
            body = body.subspan(static_cast<size_t>(skip));
    }
    if (frames) {
        if (h->version == 4) {
            // Some writers put plain 32-bit frame sizes in 2.4 tags: when the
            // syncsafe reading does not come out right and the plain one does,
            // the plain one is taken.
            if (!walkFrames(body, 4, true, unsync, tag.frames)) {
                std::vector<Id3v2RawFrame> plainSizes;
                if (walkFrames(body, 4, false, unsync, plainSizes)) tag.frames = std::move(plainSizes);
            }
        } else {
            walkFrames(body, h->version, false, false, tag.frames);
        }
    }
    tag.texts = manage(tag.framesAsV23()).texts;
    return tag;
}

std::optional<Id3v2Tag> readId3v2(const std::string& path) {
    io::Reader in(path);
    uint8_t b[kId3v2HeaderSize];
    if (!in.ok() || in.readAt(0, b, sizeof b) != sizeof b) return std::nullopt;
    const auto total = id3v2TotalSize(b);
    if (!total || *total > in.size()) return std::nullopt;
    std::vector<uint8_t> bytes(static_cast<size_t>(*total));
    if (in.readAt(0, bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
    return parseId3v2(bytes);
}

std::vector<Id3v2RawFrame> Id3v2Tag::framesAsV23() const { return id3v2::toV23(version, frames); }

TagExtras Id3v2Tag::extras() const {
    TagExtras extras;
    for (const Id3v2RawFrame& f : framesAsV23()) {
        if (f.id != "TXXX" && f.id != "APIC") continue;
        const auto content = id3v2::plainContent(f);
        if (!content) continue;
        if (f.id == "TXXX") {
            if (auto field = id3v2::readUserText(*content)) extras.fields.push_back(std::move(*field));
        } else if (auto picture = id3v2::readPicture(*content)) {
            extras.pictures.push_back(std::move(*picture));
        }
    }
    return extras;
}

void applyId3v2Changes(std::vector<Id3v2RawFrame>& frames, const TagChanges& changes) {
    // Replaces the frames 'named' picks by 'fresh' (when given) at the place
    // of the first of them.
    auto replace = [&frames](auto named, std::optional<Id3v2RawFrame> fresh) {
        std::vector<Id3v2RawFrame> out;
        out.reserve(frames.size() + 1);
        bool placed = false;
        for (auto& f : frames) {
            const auto content = id3v2::plainContent(f);
            if (!content || !named(f, *content)) {
                out.push_back(std::move(f));
                continue;
            }
            if (fresh && !placed) out.push_back(*fresh);
            placed = true;
        }
        if (fresh && !placed) out.push_back(std::move(*fresh));
        frames = std::move(out);
    };
    for (const TagField& change : changes.fields) {
        replace(
            [&](const Id3v2RawFrame& f, std::string_view content) {
                if (f.id != "TXXX") return false;
                const auto field = id3v2::readUserText(content);
                return field && field->name == change.name;
            },
            change.value.empty() ? std::nullopt : std::optional(id3v2::userTextFrame(change.name, change.value)));
    }
    for (const TagPicture& change : changes.pictures) {
        replace(
            [&](const Id3v2RawFrame& f, std::string_view content) {
                if (f.id != "APIC") return false;
                const auto picture = id3v2::readPicture(content);
                return picture && picture->kind == change.kind;
            },
            change.data.empty() ? std::nullopt : std::optional(id3v2::pictureFrame(change)));
    }
}

void Id3v2Tag::applyTo(TagRecord& r) const {
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        const Field f = kFrames[k].field;
        if (f != Field::Genre) {
            setFieldText(r, f, texts[k]);
            continue;
        }
        const int g = genreFromTcon(texts[k]);
        r.genre = genre::isValid(g) ? g : genre::kDefault;
    }
}

int genreFromTcon(std::string_view t) {
    if (!t.empty() && t[0] == '(' &&
        ((t.size() > 2 && t[2] == ')') || (t.size() > 3 && t[3] == ')') || (t.size() > 4 && t[4] == ')'))) {
        std::string_view inside = t.substr(1, t.find(')') - 1);
        int n = (!inside.empty() && inside[0] >= '0' && inside[0] <= '9') ? text::leadingNumber(inside) : 0;
        return std::min(n, 148);
    }
    // Version 2.4 refers to the table by the bare number.
    if (!t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::min(text::leadingNumber(t), 148);
    int i = genre::findExact(t);
    return i >= 0 ? i : genre::kDefault;
}

std::vector<uint8_t> buildId3v2(const TagRecord& r, const TagChanges& changes) {
    std::vector<Id3v2RawFrame> frames;
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        const std::string t = managedText(r, k);
        if (!t.empty()) frames.push_back(id3v2::managedFrame(static_cast<Id3v2Frame>(k), t));
    }
    applyId3v2Changes(frames, changes);
    return assemble(frames);
}

std::vector<uint8_t> buildId3v2(const TagRecord& r, const Id3v2Tag& old, std::span<const Id3v2Tag> stacked,
                                const TagChanges& changes) {
    const std::vector<Id3v2RawFrame> frames = old.framesAsV23();
    const Managed m = manage(frames);
    TagRecord was;
    old.applyTo(was);
    std::vector<bool> managed(frames.size(), false);
    for (const auto& members : m.members)
        for (size_t i : members) managed[i] = true;
    if (r.comments.empty() && !sameValue(r, was, kComm))
        for (size_t i : m.commCandidates) managed[i] = true;

    std::vector<Id3v2RawFrame> out;
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        if (sameValue(r, was, k)) {
            for (size_t i : m.members[k]) out.push_back(frames[i]);
            continue;
        }
        const std::string t = managedText(r, k);
        if (t.empty()) continue;
        const std::string language = k == kComm && !m.commLanguage.empty() ? m.commLanguage : std::string("eng");
        out.push_back(id3v2::managedFrame(static_cast<Id3v2Frame>(k), t, language));
    }
    for (size_t i = 0; i < frames.size(); ++i)
        if (!managed[i]) out.push_back(frames[i]);

    // Tags stacked behind the first one (left there by writers that put a new
    // tag in front of one they could not read): their frames of kinds the
    // new tag does not hold are carried over, so nothing of them is lost.
    std::set<std::string> present;
    for (const auto& f : out) present.insert(f.id);
    for (const Id3v2Tag& behind : stacked) {
        const std::set<std::string> before = present;
        for (auto& f : behind.framesAsV23()) {
            if (isManagedId(f.id) || before.count(f.id)) continue;
            present.insert(f.id);
            out.push_back(std::move(f));
        }
    }
    applyId3v2Changes(out, changes);
    return assemble(out);
}

std::error_code writeId3v2(const std::string& path, const TagRecord& record, const TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    struct stat st {};
    if (::fstat(in.fd(), &st) != 0) return {errno, std::system_category()};
    if (S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    if (!S_ISREG(st.st_mode)) return io::make_error_code(io::Error::Damaged);
    const uint64_t size = in.size();

    // Every tag the file begins with is replaced.
    std::vector<Id3v2Tag> tags;
    uint64_t start = 0;
    while (tags.size() < kMaxStackedTags) {
        uint8_t b[kId3v2HeaderSize];
        if (size - start < sizeof b || in.readAt(start, b, sizeof b) != sizeof b) break;
        const auto h = parseId3v2Header(b);
        if (!h || h->totalSize() > size - start) break;
        std::vector<uint8_t> bytes(static_cast<size_t>(h->totalSize()));
        if (in.readAt(start, bytes.data(), bytes.size()) != bytes.size())
            return std::make_error_code(std::errc::io_error);
        auto tag = parseId3v2(bytes);
        if (!tag) break;
        start += tag->totalSize;
        tags.push_back(std::move(*tag));
    }
    const std::vector<uint8_t> tag = tags.empty()
                                         ? buildId3v2(record, changes)
                                         : buildId3v2(record, tags.front(), std::span(tags).subspan(1), changes);
    if (tag.empty()) return io::make_error_code(io::Error::TooLarge);

    io::Rewrite out(path);
    out.write(tag);
    out.copyFrom(in.fd(), start, size - start);
    return out.commit();
}

}  // namespace qoro::tags
