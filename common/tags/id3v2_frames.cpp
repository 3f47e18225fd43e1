#include "tags/id3v2_frames.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "tags/text.h"

namespace qoro::tags::id3v2 {

namespace {

// Version 2.2 identifiers and their version 2.3 counterparts (the published
// table, and the frames iTunes writes in 2.2 tags).
// clang-format off
constexpr std::array<std::pair<std::string_view, std::string_view>, 71> kV22Ids = {{
    {"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"}, {"CRA", "AENC"}, {"ETC", "ETCO"}, {"EQU", "EQUA"},
    {"GEO", "GEOB"}, {"IPL", "IPLS"}, {"LNK", "LINK"}, {"MCI", "MCDI"}, {"MLL", "MLLT"}, {"PIC", "APIC"},
    {"POP", "POPM"}, {"REV", "RVRB"}, {"RVA", "RVAD"}, {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"},
    {"TBP", "TBPM"}, {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCR", "TCOP"}, {"TDA", "TDAT"}, {"TDY", "TDLY"},
    {"TEN", "TENC"}, {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"}, {"TLA", "TLAN"}, {"TLE", "TLEN"},
    {"TMT", "TMED"}, {"TOA", "TOPE"}, {"TOF", "TOFN"}, {"TOL", "TOLY"}, {"TOR", "TORY"}, {"TOT", "TOAL"},
    {"TP1", "TPE1"}, {"TP2", "TPE2"}, {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TPA", "TPOS"}, {"TPB", "TPUB"},
    {"TRC", "TSRC"}, {"TRD", "TRDA"}, {"TRK", "TRCK"}, {"TSI", "TSIZ"}, {"TSS", "TSSE"}, {"TT1", "TIT1"},
    {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"}, {"UFI", "UFID"},
    {"ULT", "USLT"}, {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"}, {"WCM", "WCOM"}, {"WCP", "WCOP"},
    {"WPB", "WPUB"}, {"WXX", "WXXX"},
    // iTunes
    {"TCP", "TCMP"}, {"TS2", "TSO2"}, {"TSA", "TSOA"}, {"TSC", "TSOC"}, {"TSP", "TSOP"}, {"TST", "TSOT"},
    {"GP1", "GRP1"}, {"MVN", "MVNM"}, {"MVI", "MVIN"},
}};
// clang-format on

std::string_view view(const std::vector<uint8_t>& b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

std::vector<uint8_t> bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The layout of the content of frames that hold encoded strings, as steps:
// 'E' the encoding byte, a digit that many bytes as they are, 'Z' an
// ISO-8859-1 string with its zero, 'S' one encoded string with its
// terminator, 'L' encoded strings to the end, 'Y' encoded strings each
// followed by a 4-byte time stamp, to the end, 'R' the remaining bytes.
std::string_view layoutOf(std::string_view id) {
    if (id == "TXXX") return "ESL";
    if (id == "WXXX") return "ESR";
    if (id == "COMM" || id == "USLT") return "E3SL";
    if (id == "APIC") return "EZ1SR";
    if (id == "GEOB") return "EZSSR";
    if (id == "IPLS") return "EL";
    if (id == "USER") return "E3L";
    if (id == "SYLT") return "E32SY";
    if (id == "OWNE") return "EZ8L";
    if (id == "COMR") return "EZ8Z1SSZR";
    if (!id.empty() && id[0] == 'T') return "EL";
    return {};
}

void appendUtf16(std::string& out, std::string_view utf8) { out += encodeString(utf8, kUtf16); }

// The content with its strings in UTF-16 with byte-order mark when they are
// UTF-8 or UTF-16BE (encodings a version 2.3 tag does not have). Content
// that does not follow its frame's layout is returned as it is.
std::string toUtf16(std::string_view id, std::string_view content) {
    const std::string_view layout = layoutOf(id);
    if (layout.empty() || content.empty()) return std::string(content);
    const auto enc = static_cast<uint8_t>(content[0]);
    if (enc != kUtf8 && enc != kUtf16Be) return std::string(content);
    bool bigEndian = enc == kUtf16Be;
    std::string out(1, static_cast<char>(kUtf16));
    std::string_view rest = content.substr(1);
    const std::string zz(2, '\0');
    for (char step : layout.substr(1)) {
        if (step >= '1' && step <= '9') {
            const auto n = static_cast<size_t>(step - '0');
            if (rest.size() < n) return std::string(content);
            out += rest.substr(0, n);
            rest.remove_prefix(n);
        } else if (step == 'Z') {
            const size_t z = rest.find('\0');
            if (z == std::string_view::npos) return std::string(content);
            out += rest.substr(0, z + 1);
            rest.remove_prefix(z + 1);
        } else if (step == 'S') {
            const Piece p = nextString(rest, enc);
            if (!p.terminated) return std::string(content);
            appendUtf16(out, decodeString(p.text, enc, bigEndian));
            out += zz;
            rest = p.rest;
        } else if (step == 'L') {
            while (!rest.empty()) {
                const Piece p = nextString(rest, enc);
                appendUtf16(out, decodeString(p.text, enc, bigEndian));
                if (p.terminated) out += zz;
                rest = p.rest;
            }
        } else if (step == 'Y') {
            while (!rest.empty()) {
                const Piece p = nextString(rest, enc);
                if (!p.terminated || p.rest.size() < 4) return std::string(content);
                appendUtf16(out, decodeString(p.text, enc, bigEndian));
                out += zz;
                out += p.rest.substr(0, 4);
                rest = p.rest.substr(4);
            }
        } else if (step == 'R') {
            out += rest;
            rest = {};
        }
    }
    return out;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// A 2.4 frame in its 2.3 form: flags moved to their 2.3 places, the bytes a
// flag adds reordered (2.3: decompressed size, encryption method, group;
// 2.4: group, encryption method, data length), the data length indicator
// dropped unless the frame is compressed, text re-encoded. nullopt for a
// frame too short for what its flags say, or compressed without a length.
std::optional<Id3v2RawFrame> frameFromV24(const Id3v2RawFrame& f) {
    const uint16_t fl = f.flags;
    const bool group = fl & 0x0040, compressed = fl & 0x0008, encrypted = fl & 0x0004, length = fl & 0x0001;
    const std::vector<uint8_t>& b = f.body;
    size_t pos = 0;
    uint8_t groupId = 0, method = 0;
    uint32_t decompressed = 0;
    if (group) {
        if (b.size() < pos + 1) return std::nullopt;
        groupId = b[pos++];
    }
    if (encrypted) {
        if (b.size() < pos + 1) return std::nullopt;
        method = b[pos++];
    }
    if (length) {
        if (b.size() < pos + 4) return std::nullopt;
        const uint8_t* p = b.data() + pos;
        decompressed = ((p[0] | p[1] | p[2] | p[3]) & 0x80)
                           ? be32(p)
                           : (uint32_t{p[0]} << 21 | uint32_t{p[1]} << 14 | uint32_t{p[2]} << 7 | p[3]);
        pos += 4;
    }
    if (compressed && !length) return std::nullopt;
    Id3v2RawFrame out;
    out.id = f.id;
    out.flags = static_cast<uint16_t>(((fl & 0x7000) << 1) | (compressed ? 0x80 : 0) | (encrypted ? 0x40 : 0) |
                                      (group ? 0x20 : 0));
    if (compressed) {
        for (int s = 24; s >= 0; s -= 8) out.body.push_back(static_cast<uint8_t>(decompressed >> s));
    }
    if (encrypted) out.body.push_back(method);
    if (group) out.body.push_back(groupId);
    const std::string_view data(reinterpret_cast<const char*>(b.data()) + pos, b.size() - pos);
    if (compressed || encrypted)
        out.body.insert(out.body.end(), data.begin(), data.end());
    else {
        const std::string text = toUtf16(f.id, data);
        out.body.insert(out.body.end(), text.begin(), text.end());
    }
    return out;
}

// The content of a text frame holding the values, each with its terminator
// but the last: ISO-8859-1 when all fit, else UTF-16 with byte-order mark.
std::vector<uint8_t> textContent(const std::vector<std::string>& values, bool terminateLast = false) {
    bool latin = true;
    for (const auto& v : values) latin = latin && text::fitsLatin1(v);
    const uint8_t enc = latin ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    for (size_t i = 0; i < values.size(); ++i) {
        c += encodeString(values[i], enc);
        if (i + 1 < values.size() || terminateLast) c += terminator(enc);
    }
    return bytes(c);
}

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The parts of an ID3v2.4 time stamp "yyyy-MM-ddTHH:mm:ss" that are there.
struct Stamp {
    std::string year, month, day, hour, minute;
};
Stamp parseStamp(std::string_view s) {
    Stamp t;
    auto part = [&](size_t at, size_t n, char before) -> std::string {
        if (at > 0 && (s.size() <= at - 1 || s[at - 1] != before)) return {};
        if (s.size() < at + n || !allDigits(s.substr(at, n))) return {};
        return std::string(s.substr(at, n));
    };
    t.year = part(0, 4, 0);
    if (t.year.empty()) return t;
    t.month = part(5, 2, '-');
    if (t.month.empty()) return t;
    t.day = part(8, 2, '-');
    if (t.day.empty()) return t;
    t.hour = part(11, 2, 'T');
    if (t.hour.empty()) return t;
    t.minute = part(14, 2, ':');
    return t;
}

Id3v2RawFrame textFrame(std::string_view id, uint16_t flags, const std::vector<std::string>& values) {
    Id3v2RawFrame f;
    f.id = std::string(id);
    f.flags = flags;
    f.body = textContent(values);
    return f;
}

bool plainV23(const Id3v2RawFrame& f) { return (f.flags & 0x00E0) == 0; }

std::vector<Id3v2RawFrame> fromV22(const std::vector<Id3v2RawFrame>& frames) {
    std::vector<Id3v2RawFrame> out;
    for (const auto& f : frames) {
        const std::string_view id = idFromV22(f.id);
        if (id.empty()) continue;
        Id3v2RawFrame g;
        g.id = std::string(id);
        if (id == "APIC") {
            // encoding, 3-letter image format, picture type, description, data
            if (f.body.size() < 5) continue;
            std::string format(reinterpret_cast<const char*>(f.body.data()) + 1, 3);
            while (!format.empty() && (format.back() == '\0' || format.back() == ' ')) format.pop_back();
            std::string upper = format;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            std::string mime;
            if (upper == "JPG")
                mime = "image/jpeg";
            else if (upper == "PNG")
                mime = "image/png";
            else if (upper == "-->")
                mime = "-->";
            else {
                mime = "image/";
                for (char c : format) mime += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            g.body.push_back(f.body[0]);
            g.body.insert(g.body.end(), mime.begin(), mime.end());
            g.body.push_back(0);
            g.body.insert(g.body.end(), f.body.begin() + 4, f.body.end());
        } else if (id == "LINK") {
            // the frame linked to, by its identifier, then the address
            if (f.body.size() < 3) continue;
            const std::string_view linked =
                idFromV22(std::string_view(reinterpret_cast<const char*>(f.body.data()), 3));
            if (linked.empty()) continue;
            g.body.assign(linked.begin(), linked.end());
            g.body.insert(g.body.end(), f.body.begin() + 3, f.body.end());
        } else {
            g.body = f.body;
        }
        out.push_back(std::move(g));
    }
    return out;
}

std::vector<Id3v2RawFrame> fromV24(const std::vector<Id3v2RawFrame>& frames) {
    auto has = [&](std::string_view id) {
        return std::any_of(frames.begin(), frames.end(), [&](const Id3v2RawFrame& f) { return f.id == id; });
    };
    // A counterpart the tag already has is not made twice.
    bool hasTyer = has("TYER"), hasTdat = has("TDAT"), hasTime = has("TIME"), hasTory = has("TORY");
    const bool hasIpls = has("IPLS");
    std::vector<Id3v2RawFrame> out;
    bool peopleDone = false;
    for (const auto& original : frames) {
        std::optional<Id3v2RawFrame> c = frameFromV24(original);
        if (!c) continue;
        const uint16_t status = c->flags & 0xE000;
        // A time stamp goes into the frames of 2.3; one that holds more than
        // they do ("2021-06", seconds) stays beside them as well.
        if (c->id == "TDRC" && plainV23(*c) && !hasTyer) {
            const auto values = textValues(view(c->body));
            if (!values.empty()) {
                const Stamp t = parseStamp(values[0]);
                out.push_back(textFrame("TYER", status, {t.year.empty() ? values[0] : t.year}));
                hasTyer = true;
                std::string held = t.year.empty() ? values[0] : t.year;
                if (!t.day.empty() && !hasTdat) {
                    out.push_back(textFrame("TDAT", status, {t.day + t.month}));
                    hasTdat = true;
                    held += "-" + t.month + "-" + t.day;
                }
                if (!t.minute.empty() && !hasTime) {
                    out.push_back(textFrame("TIME", status, {t.hour + t.minute}));
                    hasTime = true;
                    held += "T" + t.hour + ":" + t.minute;
                }
                if (held != values[0] || values.size() > 1) out.push_back(std::move(*c));
                continue;
            }
        }
        if (c->id == "TDOR" && plainV23(*c) && !hasTory) {
            const auto values = textValues(view(c->body));
            if (!values.empty() && !parseStamp(values[0]).year.empty()) {
                out.push_back(textFrame("TORY", status, {parseStamp(values[0]).year}));
                hasTory = true;
                if (values[0] != parseStamp(values[0]).year || values.size() > 1) out.push_back(std::move(*c));
                continue;
            }
        }
        if ((c->id == "TIPL" || c->id == "TMCL") && plainV23(*c) && !hasIpls) {
            if (peopleDone) continue;
            // Both lists become one "IPLS" where the first of them stood.
            std::vector<std::string> people;
            uint16_t flags = status;
            bool plain = true;
            for (const auto& other : frames) {
                if (other.id != "TIPL" && other.id != "TMCL") continue;
                std::optional<Id3v2RawFrame> o = frameFromV24(other);
                if (!o || !plainV23(*o)) {
                    plain = false;
                    break;
                }
                std::string_view content = view(o->body);
                if (content.empty()) continue;
                std::vector<std::string> values = decodeList(content.substr(1), static_cast<uint8_t>(content[0]));
                people.insert(people.end(), values.begin(), values.end());
            }
            if (plain) {
                peopleDone = true;
                Id3v2RawFrame ipls;
                ipls.id = "IPLS";
                ipls.flags = flags;
                ipls.body = textContent(people, true);
                out.push_back(std::move(ipls));
                continue;
            }
        }
        out.push_back(std::move(*c));
    }
    return out;
}

}  // namespace

Piece nextString(std::string_view b, uint8_t encoding) {
    if (encoding == kUtf16 || encoding == kUtf16Be) {
        for (size_t i = 0; i + 1 < b.size(); i += 2)
            if (b[i] == 0 && b[i + 1] == 0) return {b.substr(0, i), b.substr(i + 2), true};
        return {b, {}, false};
    }
    const size_t z = b.find('\0');
    if (z == std::string_view::npos) return {b, {}, false};
    return {b.substr(0, z), b.substr(z + 1), true};
}

std::string decodeString(std::string_view b, uint8_t encoding, bool& bigEndian) {
    switch (encoding) {
    case kUtf16:
    case kUtf16Be:
        if (b.size() >= 2) {
            const auto b0 = static_cast<uint8_t>(b[0]), b1 = static_cast<uint8_t>(b[1]);
            if (b0 == 0xFF && b1 == 0xFE)
                bigEndian = false, b.remove_prefix(2);
            else if (b0 == 0xFE && b1 == 0xFF)
                bigEndian = true, b.remove_prefix(2);
        }
        return text::utf16ToUtf8(b, bigEndian);
    case kUtf8: return text::fromStored(b);
    default: return text::latin1ToUtf8(b);
    }
}

std::string decodeString(std::string_view b, uint8_t encoding) {
    bool bigEndian = encoding == kUtf16Be;
    return decodeString(b, encoding, bigEndian);
}

std::vector<std::string> decodeList(std::string_view b, uint8_t encoding) {
    std::vector<std::string> out;
    bool bigEndian = encoding == kUtf16Be;
    while (!b.empty()) {
        const Piece p = nextString(b, encoding);
        out.push_back(decodeString(p.text, encoding, bigEndian));
        b = p.rest;
    }
    return out;
}

std::string encodeString(std::string_view utf8, uint8_t encoding) {
    switch (encoding) {
    case kUtf16: return text::utf8ToUtf16WithBom(utf8);
    case kUtf8: return std::string(utf8);
    default: return text::utf8ToLatin1(utf8);
    }
}

std::string terminator(uint8_t encoding) {
    return encoding == kUtf16 || encoding == kUtf16Be ? std::string(2, '\0') : std::string(1, '\0');
}

std::optional<std::string_view> plainContent(const Id3v2RawFrame& f) {
    if (f.flags & 0x00C0) return std::nullopt;  // compressed or encrypted
    std::string_view c = view(f.body);
    if (f.flags & 0x0020) {  // group identifier
        if (c.empty()) return std::nullopt;
        c.remove_prefix(1);
    }
    return c;
}

std::vector<std::string> textValues(std::string_view content) {
    if (content.empty()) return {};
    std::vector<std::string> values = decodeList(content.substr(1), static_cast<uint8_t>(content[0]));
    while (!values.empty() && values.back().empty()) values.pop_back();
    return values;
}

std::optional<Described> readComment(std::string_view c) {
    if (c.size() < 4) return std::nullopt;
    const auto enc = static_cast<uint8_t>(c[0]);
    Described d;
    d.language = std::string(c.substr(1, 3));
    bool bigEndian = enc == kUtf16Be;
    const Piece desc = nextString(c.substr(4), enc);
    d.description = decodeString(desc.text, enc, bigEndian);
    d.text = decodeString(nextString(desc.rest, enc).text, enc, bigEndian);
    return d;
}

std::optional<Described> readUserUrl(std::string_view c) {
    if (c.empty()) return std::nullopt;
    const auto enc = static_cast<uint8_t>(c[0]);
    Described d;
    const Piece desc = nextString(c.substr(1), enc);
    d.description = decodeString(desc.text, enc);
    d.text = decodeString(nextString(desc.rest, kLatin1).text, kLatin1);  // the address is ISO-8859-1
    return d;
}

std::optional<UserText> readUserTextValues(std::string_view c) {
    if (c.empty()) return std::nullopt;
    const auto enc = static_cast<uint8_t>(c[0]);
    bool bigEndian = enc == kUtf16Be;
    const Piece desc = nextString(c.substr(1), enc);
    UserText u;
    u.description = decodeString(desc.text, enc, bigEndian);
    std::string_view rest = desc.rest;
    while (!rest.empty()) {
        const Piece p = nextString(rest, enc);
        u.values.push_back(decodeString(p.text, enc, bigEndian));
        rest = p.rest;
    }
    while (!u.values.empty() && u.values.back().empty()) u.values.pop_back();
    return u;
}

std::optional<TagField> readUserText(std::string_view c) {
    auto u = readUserTextValues(c);
    if (!u) return std::nullopt;
    TagField field;
    field.name = std::move(u->description);
    for (size_t i = 0; i < u->values.size(); ++i) field.value += (i ? "; " : "") + u->values[i];
    return field;
}

std::optional<FileId> readFileId(std::string_view c) {
    const size_t z = c.find('\0');
    if (z == std::string_view::npos) return std::nullopt;
    return FileId{text::latin1ToUtf8(c.substr(0, z)), std::string(c.substr(z + 1))};
}

std::string readUrl(std::string_view c) { return decodeString(nextString(c, kLatin1).text, kLatin1); }

std::optional<TagPicture> readPicture(std::string_view c) {
    if (c.empty()) return std::nullopt;
    const auto enc = static_cast<uint8_t>(c[0]);
    std::string_view rest = c.substr(1);
    const size_t z = rest.find('\0');
    if (z == std::string_view::npos || z + 1 >= rest.size()) return std::nullopt;
    TagPicture picture;
    picture.mimeType = text::latin1ToUtf8(rest.substr(0, z));
    picture.kind = static_cast<uint8_t>(rest[z + 1]);
    const Piece desc = nextString(rest.substr(z + 2), enc);
    if (!desc.terminated) return std::nullopt;
    picture.description = decodeString(desc.text, enc);
    picture.data.assign(desc.rest.begin(), desc.rest.end());
    return picture;
}

Id3v2RawFrame userTextFrame(std::string_view description, std::string_view value) {
    const uint8_t enc = text::fitsLatin1(description) && text::fitsLatin1(value) ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    c += encodeString(description, enc) + terminator(enc);
    c += encodeString(value, enc);
    Id3v2RawFrame f;
    f.id = "TXXX";
    f.body = bytes(c);
    return f;
}

Id3v2RawFrame pictureFrame(const TagPicture& picture) {
    const uint8_t enc = text::fitsLatin1(picture.description) ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    c += text::utf8ToLatin1(picture.mimeType);
    c += '\0';
    c += static_cast<char>(static_cast<uint8_t>(picture.kind));
    c += encodeString(picture.description, enc) + terminator(enc);
    Id3v2RawFrame f;
    f.id = "APIC";
    f.body = bytes(c);
    f.body.insert(f.body.end(), picture.data.begin(), picture.data.end());
    return f;
}

Id3v2RawFrame userTextFrame(std::string_view description, const std::vector<std::string>& values) {
    bool latin = text::fitsLatin1(description);
    for (const auto& v : values) latin = latin && text::fitsLatin1(v);
    const uint8_t enc = latin ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    c += encodeString(description, enc) + terminator(enc);
    for (size_t i = 0; i < values.size(); ++i) c += (i ? terminator(enc) : std::string()) + encodeString(values[i], enc);
    Id3v2RawFrame f;
    f.id = "TXXX";
    f.body = bytes(c);
    return f;
}

Id3v2RawFrame textValuesFrame(std::string_view id, const std::vector<std::string>& values) {
    return textFrame(id, 0, values);
}

Id3v2RawFrame describedFrame(std::string_view id, std::string_view utf8, std::string_view language) {
    const uint8_t enc = text::fitsLatin1(utf8) ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    std::string lang(language.substr(0, 3));
    lang.resize(3, ' ');
    c += lang;
    c += encodeString("", enc) + terminator(enc);  // empty description
    c += encodeString(utf8, enc);
    Id3v2RawFrame f;
    f.id = std::string(id);
    f.body = bytes(c);
    return f;
}

Id3v2RawFrame fileIdFrame(std::string_view owner, std::string_view identifier) {
    Id3v2RawFrame f;
    f.id = "UFID";
    f.body = bytes(text::utf8ToLatin1(owner) + std::string(1, '\0') + std::string(identifier));
    return f;
}

Id3v2RawFrame urlFrame(std::string_view id, std::string_view url) {
    Id3v2RawFrame f;
    f.id = std::string(id);
    f.body = bytes(text::utf8ToLatin1(url));
    return f;
}

Id3v2RawFrame managedFrame(Id3v2Frame frame, std::string_view utf8, std::string_view language) {
    Id3v2RawFrame f;
    f.id = std::string(id3v2FrameId(frame));
    const bool latin = frame == Id3v2Frame::WXXX || text::fitsLatin1(utf8);
    const uint8_t enc = latin ? kLatin1 : kUtf16;
    std::string c(1, static_cast<char>(enc));
    if (frame == Id3v2Frame::COMM) {
        std::string lang(language.substr(0, 3));
        lang.resize(3, ' ');
        c += lang;
        c += encodeString("", enc) + terminator(enc);  // empty description
    } else if (frame == Id3v2Frame::WXXX) {
        c += '\0';  // empty description
    }
    c += encodeString(utf8, enc);
    f.body = bytes(c);
    return f;
}

std::string_view idFromV22(std::string_view id) {
    for (const auto& [from, to] : kV22Ids)
        if (from == id) return to;
    return {};
}

std::vector<Id3v2RawFrame> toV23(int version, const std::vector<Id3v2RawFrame>& frames) {
    if (version == 2) return fromV22(frames);
    if (version == 4) return fromV24(frames);
    return frames;
}

void appendV23(std::vector<uint8_t>& out, const Id3v2RawFrame& f) {
    const auto size = static_cast<uint32_t>(f.body.size());
    out.insert(out.end(), f.id.begin(), f.id.end());
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(size >> s));
    out.push_back(static_cast<uint8_t>(f.flags >> 8));
    out.push_back(static_cast<uint8_t>(f.flags));
    out.insert(out.end(), f.body.begin(), f.body.end());
}

}  // namespace qoro::tags::id3v2
