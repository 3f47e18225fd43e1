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
    std::array<std::vector<std::string>, kId3v2FrameCount> values;
    std::string commLanguage;  // of the comment shown
    // Every comment frame with an empty description: the read takes one of
    // them, so clearing the comment removes them all (else another one
    // would read as the comment afterwards). A new comment replaces the one
    // shown and stands before the others, so they stay.
    std::vector<size_t> commCandidates;
};

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "TYER", "TDAT" (DDMM) and "TIME" (HHMM) as one time stamp: "2021-06-01",
// "2021-06-01T10:30".
std::string dateOf(const std::string& year, const std::string& ddmm, const std::string& hhmm) {
    if (year.size() != 4 || !allDigits(year) || ddmm.size() != 4 || !allDigits(ddmm)) return year;
    std::string date = year + "-" + ddmm.substr(2, 2) + "-" + ddmm.substr(0, 2);
    if (hhmm.size() == 4 && allDigits(hhmm)) date += "T" + hhmm.substr(0, 2) + ":" + hhmm.substr(2, 2);
    return date;
}

Managed manage(const std::vector<Id3v2RawFrame>& frames) {
    Managed m;
    std::optional<size_t> commEnglish, commAny, url, tdat, time;
    std::optional<std::string> recorded;  // "TDRC": instead of "TYER", or beside it holding more
    std::optional<size_t> recordedAt;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Id3v2RawFrame& f = frames[i];
        const auto content = id3v2::plainContent(f);
        if (f.id == "COMM") {
            if (!content) continue;
            const auto c = id3v2::readComment(*content);
            if (!c || !c->description.empty()) continue;
            m.commCandidates.push_back(i);
            if (!commEnglish && text::sameIgnoringCase(c->language, "eng")) commEnglish = i;
            if (!commAny) commAny = i;
        } else if (f.id == "WXXX") {
            if (!content || url) continue;
            const auto u = id3v2::readUserUrl(*content);
            if (u && u->description.empty()) url = i;
        } else if (f.id == "TDRC") {
            if (!content || recorded) continue;
            const auto v = id3v2::textValues(*content);
            if (!v.empty()) recorded = v.front(), recordedAt = i;
        } else if (f.id == "TDAT") {
            if (!tdat) tdat = i;
        } else if (f.id == "TIME") {
            if (!time) time = i;
        } else {
            const size_t k = managedIndex(f.id);
            if (k >= kId3v2FrameCount) continue;
            m.members[k].push_back(i);
            if (content) {
                auto v = id3v2::textValues(*content);
                m.values[k].insert(m.values[k].end(), v.begin(), v.end());
            }
        }
    }
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        if (k == kComm || k == kWxxx) continue;
        m.texts[k] = k == kTcon ? (m.values[k].empty() ? std::string() : m.values[k].front()) : joinValues(m.values[k]);
    }
    // "TDRC" of the same year holds the whole time stamp.
    const bool fuller = recorded && !m.texts[kTyer].empty() && recorded->starts_with(m.texts[kTyer]);
    if (recorded && (m.texts[kTyer].empty() || fuller)) {
        m.texts[kTyer] = *recorded;
        m.members[kTyer].push_back(*recordedAt);
        tdat.reset(), time.reset();
        for (size_t i = 0; i < frames.size(); ++i)  // the day and time it holds
            if (frames[i].id == "TDAT" || frames[i].id == "TIME") m.members[kTyer].push_back(i);
    }
    if (tdat && !m.members[kTyer].empty()) {
        // The day and time belong to the year: they are one field.
        auto first = [&](std::optional<size_t> at) {
            if (!at) return std::string();
            m.members[kTyer].push_back(*at);
            const auto c = id3v2::plainContent(frames[*at]);
            const auto v = c ? id3v2::textValues(*c) : std::vector<std::string>{};
            return v.empty() ? std::string() : v.front();
        };
        const std::string day = first(tdat);
        m.texts[kTyer] = dateOf(m.texts[kTyer], day, first(time));
    }
    if (!m.texts[kTyer].empty()) m.values[kTyer] = {m.texts[kTyer]};
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
    for (size_t k : {kComm, kWxxx})
        if (!m.texts[k].empty()) m.values[k] = {m.texts[k]};
    return m;
}

// A "TCON" value as free text: a reference to the table by its number
// ("(17)", "17") as the genre's name, a refinement after it ("(17)Rocky")
// and any other text as it stands.
std::string genreTextOf(std::string_view t) {
    if (t.empty()) return {};
    if (t[0] == '(' && t.size() > 1 && t[1] != '(') {
        const size_t close = t.find(')');
        if (close != std::string_view::npos) {
            const std::string_view inside = t.substr(1, close - 1);
            const std::string_view refinement = t.substr(close + 1);
            if (!refinement.empty()) return std::string(refinement);
            if (inside == "RX") return "Remix";
            if (inside == "CR") return "Cover";
            if (allDigits(inside) && inside.size() <= 3 && genre::isValid(text::leadingNumber(inside)))
                return std::string(genre::toString(text::leadingNumber(inside)));
            return std::string(t);
        }
    }
    if (allDigits(t) && t.size() <= 3 && genre::isValid(text::leadingNumber(t)))
        return std::string(genre::toString(text::leadingNumber(t)));
    return std::string(t);
}

// A genre as "TCON" holds it: a name of the table refers to it ("(17)Rock"),
// any other text stands as it is.
std::string tconText(std::string_view genreName) {
    const int g = genre::findExact(genreName);
    return g >= 0 ? "(" + std::to_string(g) + ")" + std::string(genreName) : std::string(genreName);
}

// Frames of version 2.4 that version 2.3 holds in "TXXX" frames: read as
// their fields, replaced when the field is written.
constexpr std::pair<std::string_view, std::string_view> kV24Only[] = {{"TMOO", "MOOD"}, {"TSST", "DISCSUBTITLE"}};

const MappedField* v24OnlyField(std::string_view id) {
    for (const auto& [frame, name] : kV24Only)
        if (frame == id) return mappedField(name);
    return nullptr;
}

// The total of the first "TRCK" value ("3/12": 12), when it has one behind
// a track number (a total without its number is not written back).
std::string trackTotalOf(const std::vector<std::string>& trck) {
    if (trck.empty() || text::leadingNumber(trck.front()) <= 0) return {};
    return text::numberAndTotal(trck.front()).second;
}

// The values a managed field is written with: several where the record
// holds them apart, the genres as "TCON" refers to the table, the year
// alone ("TDAT" holds the day).
std::vector<std::string> managedValues(const TagRecord& r, size_t k) {
    const Field f = kFrames[k].field;
    std::vector<std::string> v = fieldValues(r, f);
    if (f == Field::Genre)
        for (auto& g : v) g = tconText(g);
    if (f == Field::Year && !v.empty()) v = {std::to_string(r.year)};
    return v;
}

// "TDAT" of a date "yyyy-MM-dd": "ddMM"; "" for any other date.
std::string dayOf(std::string_view date) {
    if (date.size() < 10 || date[4] != '-' || date[7] != '-' || !allDigits(date.substr(5, 2)) ||
        !allDigits(date.substr(8, 2)))
        return {};
    return std::string(date.substr(8, 2)) + std::string(date.substr(5, 2));
}

// "TIME" of a time stamp "yyyy-MM-ddTHH:mm": "HHmm"; "" without one.
std::string timeOf(std::string_view date) {
    if (dayOf(date).empty() || date.size() < 16 || date[10] != 'T' || date[13] != ':' ||
        !allDigits(date.substr(11, 2)) || !allDigits(date.substr(14, 2)))
        return {};
    return std::string(date.substr(11, 2)) + std::string(date.substr(14, 2));
}

// The frames a managed field is written as: one frame of its values, and a
// date's day in "TDAT" after "TYER"; the track with its total.
void appendManaged(std::vector<Id3v2RawFrame>& out, const TagRecord& r, size_t k, std::string_view language,
                   const std::string& trackTotal) {
    std::vector<std::string> v = managedValues(r, k);
    if (v.empty()) return;
    const auto frame = static_cast<Id3v2Frame>(k);
    if (frame == Id3v2Frame::COMM || frame == Id3v2Frame::WXXX) {
        out.push_back(id3v2::managedFrame(frame, joinValues(v), language));
        return;
    }
    if (frame == Id3v2Frame::TRCK && !trackTotal.empty()) v = {v.front() + "/" + trackTotal};
    out.push_back(v.size() == 1 ? id3v2::managedFrame(frame, v.front())
                                : id3v2::textValuesFrame(id3v2FrameId(frame), v));
    if (frame == Id3v2Frame::TYER) {
        // The day and time in "TDAT" and "TIME"; a date that holds more
        // than they do ("2021-06", seconds) keeps "TDRC" as well.
        const std::string date = fieldText(r, Field::Year);
        std::string held = v.front();
        if (const std::string day = dayOf(date); !day.empty()) {
            out.push_back(id3v2::textValuesFrame("TDAT", {day}));
            held = date.substr(0, 10);
            if (const std::string time = timeOf(date); !time.empty()) {
                out.push_back(id3v2::textValuesFrame("TIME", {time}));
                held = date.substr(0, 16);
            }
        }
        if (held != date) out.push_back(id3v2::textValuesFrame("TDRC", {date}));
    }
}

// The total of tracks the changes set, if they set one ("" removes it).
std::optional<std::string> totalTracksChange(const TagChanges& changes) {
    std::optional<std::string> total;
    for (const FieldChange& c : changes.fields) {
        const MappedField* m = mappedField(c.name);
        if (m && m->name == "TOTALTRACKS") total = c.values.empty() ? std::string() : c.values.front();
    }
    return total;
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
    Managed m = manage(tag.framesAsV23());
    tag.texts = std::move(m.texts);
    tag.values = std::move(m.values);
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
    auto add = [&extras](std::string_view name, const std::string& value) {
        if (!value.empty()) extras.fields.push_back({std::string(name), value});
    };
    const std::vector<Id3v2RawFrame> frames = framesAsV23();
    const Managed m = manage(frames);
    std::vector<bool> managed(frames.size(), false);
    for (const auto& members : m.members)
        for (size_t i : members) managed[i] = true;
    // What the managed frames hold beyond the properties first (a rebuilt
    // tag has them first): the total of "TRCK".
    add("TOTALTRACKS", trackTotalOf(values[static_cast<size_t>(Id3v2Frame::TRCK)]));
    for (size_t i = 0; i < frames.size(); ++i) {
        const Id3v2RawFrame& f = frames[i];
        const auto content = id3v2::plainContent(f);
        if (!content || managed[i]) continue;
        if (f.id == "APIC") {
            if (auto picture = id3v2::readPicture(*content)) extras.pictures.push_back(std::move(*picture));
        } else if (f.id == "TXXX") {
            auto u = id3v2::readUserTextValues(*content);
            if (!u) continue;
            const MappedField* mapped = mappedFieldOfId3v2("TXXX:" + u->description);
            const std::string name = mapped && !mapped->property ? std::string(mapped->name) : u->description;
            for (const auto& v : u->values) add(name, v);
        } else if (f.id == "USLT") {
            const auto lyrics = id3v2::readComment(*content);
            if (lyrics && lyrics->description.empty()) add("LYRICS", lyrics->text);
        } else if (f.id == "UFID") {
            const auto id = id3v2::readFileId(*content);
            const MappedField* mapped = id ? mappedFieldOfId3v2("UFID:" + id->owner) : nullptr;
            if (mapped) add(mapped->name, id->identifier);
        } else if (f.id == "TPOS") {
            const auto v = id3v2::textValues(*content);
            if (v.empty()) continue;
            const auto [number, total] = text::numberAndTotal(v.front());
            add("DISCNUMBER", number);
            add("TOTALDISCS", total);
        } else if (f.id == "TORY" || f.id == "TDOR") {
            // "TDOR" (kept beside "TORY" when it holds more than the year)
            // is the whole date.
            const auto v = id3v2::textValues(*content);
            if (v.empty()) continue;
            const auto at = std::find_if(extras.fields.begin(), extras.fields.end(),
                                         [](const TagField& x) { return x.name == "ORIGINALDATE"; });
            if (at == extras.fields.end())
                add("ORIGINALDATE", v.front());
            else if (f.id == "TDOR")
                at->value = v.front();
        } else if (f.id[0] == 'W' && f.id != "WXXX") {
            if (const MappedField* mapped = mappedFieldOfId3v2(f.id)) add(mapped->name, id3v2::readUrl(*content));
        } else if (f.id[0] == 'T') {
            const MappedField* mapped = mappedFieldOfId3v2(f.id);
            if (!mapped) mapped = v24OnlyField(f.id);
            if (!mapped || mapped->property) continue;
            for (const auto& v : id3v2::textValues(*content)) add(mapped->name, v);
        }
    }
    return extras;
}

namespace {

// The "TXXX" description of a user text frame, nullopt for other frames.
std::optional<std::string> userTextName(const Id3v2RawFrame& f, std::string_view content) {
    if (f.id != "TXXX") return std::nullopt;
    auto u = id3v2::readUserText(content);
    if (!u) return std::nullopt;
    return u->name;
}

// Whether a frame holds (part of) a mapped field: its own frame, or a "TXXX"
// frame named by its map name as earlier versions wrote it.
bool holdsMapped(const Id3v2RawFrame& f, std::string_view content, const MappedField& m) {
    const std::string_view key = m.id3v2;
    if (v24OnlyField(f.id) == &m) return true;
    if (const auto name = userTextName(f, content)) {
        if (text::sameIgnoringCase(*name, m.name)) return true;
        return key.starts_with("TXXX:") && text::sameIgnoringCase(*name, key.substr(5));
    }
    if (key.starts_with("UFID:")) {
        const auto id = f.id == "UFID" ? id3v2::readFileId(content) : std::nullopt;
        return id && id->owner == key.substr(5);
    }
    if (key == "USLT") {
        const auto lyrics = f.id == "USLT" ? id3v2::readComment(content) : std::nullopt;
        return lyrics && lyrics->description.empty();
    }
    if (key == "TDOR") return f.id == "TORY" || f.id == "TDOR";
    return f.id == key;
}

// The frames a mapped field's values are written as; 'frames' are those of
// the tag before (the disc keeps its total and the total its disc).
std::vector<Id3v2RawFrame> mappedFrames(const MappedField& m, const std::vector<std::string>& values,
                                        const std::vector<Id3v2RawFrame>& frames) {
    if (values.empty() && m.id3v2 != "TPOS") return {};
    const std::string_view key = m.id3v2;
    if (key.starts_with("TXXX:")) return {id3v2::userTextFrame(key.substr(5), values)};
    if (key.starts_with("UFID:")) return {id3v2::fileIdFrame(key.substr(5), values.front())};
    if (key == "USLT") return {id3v2::describedFrame("USLT", joinValues(values))};
    if (key == "TDOR") {
        // Version 2.3 has the year; a date that holds more keeps "TDOR" too.
        std::vector<Id3v2RawFrame> out{id3v2::textValuesFrame("TORY", {values.front().substr(0, 4)})};
        if (values.front().size() > 4) out.push_back(id3v2::textValuesFrame("TDOR", {values.front()}));
        return out;
    }
    if (key == "TPOS") {
        std::string number, total;
        for (const auto& f : frames)
            if (f.id == "TPOS")
                if (const auto c = id3v2::plainContent(f)) {
                    const auto v = id3v2::textValues(*c);
                    if (!v.empty()) std::tie(number, total) = text::numberAndTotal(v.front());
                    break;
                }
        (m.name == "TOTALDISCS" ? total : number) = values.empty() ? std::string() : values.front();
        if (number.empty()) return {};
        return {id3v2::textValuesFrame("TPOS", {total.empty() ? number : number + "/" + total})};
    }
    std::vector<Id3v2RawFrame> out;
    if (key[0] == 'W') {
        for (const auto& v : values) out.push_back(id3v2::urlFrame(key, v));
        return out;
    }
    return {id3v2::textValuesFrame(key, values)};
}

}  // namespace

void applyId3v2Changes(std::vector<Id3v2RawFrame>& frames, const TagChanges& changes) {
    // Replaces the frames 'named' picks by 'fresh' at the place of the first
    // of them (at the end when there was none).
    auto replace = [&frames](auto named, std::vector<Id3v2RawFrame> fresh) {
        std::vector<Id3v2RawFrame> out;
        out.reserve(frames.size() + fresh.size());
        bool placed = false;
        for (auto& f : frames) {
            const auto content = id3v2::plainContent(f);
            if (!content || !named(f, *content)) {
                out.push_back(std::move(f));
                continue;
            }
            if (!placed) out.insert(out.end(), fresh.begin(), fresh.end());
            placed = true;
        }
        if (!placed) out.insert(out.end(), fresh.begin(), fresh.end());
        frames = std::move(out);
    };
    for (const FieldChange& change : changes.fields) {
        const MappedField* m = mappedField(change.name);
        if (m && m->name == "TOTALTRACKS") continue;  // with the track, in "TRCK"
        if (m && !m->id3v2.empty() && !m->property) {
            std::vector<Id3v2RawFrame> fresh = mappedFrames(*m, change.values, frames);
            replace([m](const Id3v2RawFrame& f, std::string_view content) { return holdsMapped(f, content, *m); },
                    std::move(fresh));
            continue;
        }
        std::vector<Id3v2RawFrame> fresh;
        if (!change.values.empty()) fresh.push_back(id3v2::userTextFrame(change.name, change.values));
        replace(
            [&](const Id3v2RawFrame& f, std::string_view content) {
                const auto name = userTextName(f, content);
                return name && *name == change.name;
            },
            std::move(fresh));
    }
    // ReplayGain written as "TXXX" frames replaces the gains of the
    // relative volume frames ("RVA2", and "XRVA", its name in 2.3 tags of
    // some writers): a player that reads both would apply the old ones.
    const bool replayGain = std::any_of(changes.fields.begin(), changes.fields.end(), [](const FieldChange& c) {
        const MappedField* m = mappedField(c.name);
        return m && m->name.starts_with("REPLAYGAIN_") && !c.values.empty();
    });
    if (replayGain) std::erase_if(frames, [](const Id3v2RawFrame& f) { return f.id == "RVA2" || f.id == "XRVA"; });
    for (const TagPicture& change : changes.pictures) {
        std::vector<Id3v2RawFrame> fresh;
        if (!change.data.empty()) fresh.push_back(id3v2::pictureFrame(change));
        replace(
            [&](const Id3v2RawFrame& f, std::string_view content) {
                if (f.id != "APIC") return false;
                const auto picture = id3v2::readPicture(content);
                return picture && picture->kind == change.kind;
            },
            std::move(fresh));
    }
}

void Id3v2Tag::applyTo(TagRecord& r) const {
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        const Field f = kFrames[k].field;
        if (f == Field::Genre) {
            std::vector<std::string> genres;
            for (const auto& v : values[k])
                if (std::string g = genreTextOf(v); !g.empty()) genres.push_back(std::move(g));
            setFieldValues(r, f, genres);
        } else if (values[k].size() > 1) {
            setFieldValues(r, f, values[k]);
        } else {
            setFieldText(r, f, texts[k]);
        }
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
    const std::string total = totalTracksChange(changes).value_or(std::string());
    for (size_t k = 0; k < kId3v2FrameCount; ++k) appendManaged(frames, r, k, "eng", total);
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

    constexpr size_t kTrck = static_cast<size_t>(Id3v2Frame::TRCK);
    const std::string oldTotal = trackTotalOf(m.values[kTrck]);
    const std::optional<std::string> newTotal = totalTracksChange(changes);
    std::vector<Id3v2RawFrame> out;
    for (size_t k = 0; k < kId3v2FrameCount; ++k) {
        const bool totalChanged = k == kTrck && newTotal && *newTotal != oldTotal;
        if (sameValue(r, was, k) && !totalChanged) {
            for (size_t i : m.members[k]) out.push_back(frames[i]);
            continue;
        }
        const std::string language = k == kComm && !m.commLanguage.empty() ? m.commLanguage : std::string("eng");
        appendManaged(out, r, k, language, newTotal.value_or(oldTotal));
    }
    // "TXXX" frames earlier versions named by a map name ("ALBUMARTIST") go
    // into the field's own frame in the place of the first of them (every
    // value of them), unless the tag has that frame already. An original
    // date stays where it is: version 2.3 keeps only its year.
    TagChanges moved;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (managed[i]) continue;
        out.push_back(frames[i]);
        const auto content = id3v2::plainContent(frames[i]);
        const auto u = content && frames[i].id == "TXXX" ? id3v2::readUserTextValues(*content) : std::nullopt;
        const MappedField* mapped = u ? mappedField(u->description) : nullptr;
        if (!mapped || mapped->property || mapped->id3v2.empty() || mapped->id3v2.starts_with("TXXX:") ||
            mapped->id3v2 == "TDOR")
            continue;
        const bool own = std::any_of(frames.begin(), frames.end(), [&](const Id3v2RawFrame& f) {
            const auto c = id3v2::plainContent(f);
            return f.id != "TXXX" && c && holdsMapped(f, *c, *mapped);
        });
        if (own) continue;
        auto same = std::find_if(moved.fields.begin(), moved.fields.end(),
                                 [&](const FieldChange& c) { return c.name == mapped->name; });
        if (same == moved.fields.end()) same = moved.fields.insert(moved.fields.end(), FieldChange(std::string(mapped->name), std::vector<std::string>{}));
        same->values.insert(same->values.end(), u->values.begin(), u->values.end());
    }

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
    applyId3v2Changes(out, moved);
    applyId3v2Changes(out, changes);
    return assemble(out);
}

namespace {

// A tag built by assemble() padded with zero bytes to 'total' bytes (at
// least its own size), its header's size saying so.
std::vector<uint8_t> id3v2PaddedTo(std::vector<uint8_t> tag, size_t total) {
    const auto body = static_cast<uint32_t>(total - kId3v2HeaderSize);
    tag.resize(total, 0);
    tag[6] = static_cast<uint8_t>((body >> 21) & 0x7F);
    tag[7] = static_cast<uint8_t>((body >> 14) & 0x7F);
    tag[8] = static_cast<uint8_t>((body >> 7) & 0x7F);
    tag[9] = static_cast<uint8_t>(body & 0x7F);
    return tag;
}

}  // namespace

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
    std::vector<uint8_t> first;  // the first tag as stored
    bool firstHasFooter = false;
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
        if (tags.empty()) {
            first = std::move(bytes);
            firstHasFooter = h->hasFooter();
        }
        start += tag->totalSize;
        tags.push_back(std::move(*tag));
    }
    const std::vector<uint8_t> tag = tags.empty()
                                         ? buildId3v2(record, changes)
                                         : buildId3v2(record, tags.front(), std::span(tags).subspan(1), changes);
    if (tag.empty()) return io::make_error_code(io::Error::TooLarge);

    // One tag (no footer) with room for the new one: the new tag takes its
    // place, padded to its size, in the file itself.
    if (tags.size() == 1 && !firstHasFooter && tag.size() <= first.size())
        return io::overwrite(path, in, 0, first, id3v2PaddedTo(tag, first.size()));

    io::Rewrite out(path);
    out.write(tag);
    out.copyFrom(in.fd(), start, size - start);
    return out.commit();
}

}  // namespace qoro::tags
