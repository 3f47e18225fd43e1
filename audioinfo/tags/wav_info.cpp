#include "tags/wav_info.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "riff/riff.h"
#include "tags/text.h"

namespace qoro::tags {

namespace {

using riff::fourcc;
using riff::Status;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void putLe16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8); }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int cueNumber(uint32_t stored) { return stored > INT_MAX ? INT_MAX : static_cast<int>(stored); }

class Walker {
public:
    Walker(riff::File& f, TagRecord& record, CueList& cues, WavChunks& chunks)
        : f_(f), record_(record), cues_(cues), chunks_(chunks) {}

    // Walks the chunks of the form; false when a handled chunk cannot be read.
    bool walkForm(const riff::Chunk& form) {
        riff::Chunk ck;
        while (f_.descend(ck, &form) == Status::Ok && ck.endsWithin(form)) {
            if (!handle(ck)) return false;
            if (f_.ascend(ck) != Status::Ok) break;
        }
        return true;
    }

private:
    // The whole content of a chunk; false when the file holds less.
    bool content(const riff::Chunk& ck, std::string& out) {
        if (ck.dataEnd() > f_.size()) return false;
        out.resize(ck.size);
        return f_.readExact(out.data(), ck.size);
    }

    bool handle(const riff::Chunk& ck) {
        if (ck.id == fourcc("fmt ")) return readFormat(ck);
        if (ck.id == fourcc("data")) {
            chunks_.hasData = true;
            chunks_.dataSize = ck.size;
            chunks_.dataOffset = ck.dataOffset;
            return true;
        }
        if (ck.id == fourcc("fact")) {
            uint8_t v[4];
            if (ck.size < 4 || !f_.readExact(v, 4)) return false;
            chunks_.hasFact = true;
            chunks_.factValue = le32(v);
            return true;
        }
        if (ck.id == fourcc("DISP")) {
            std::string c;
            if (!content(ck, c)) return false;
            record_.title = c.size() > 4 ? text::fromStored(std::string_view(c).substr(4)) : std::string();
            return true;
        }
        if (ck.id == fourcc("cue ")) return readCues(ck);
        if (ck.id == riff::kList && ck.formType == fourcc("INFO")) return walkList(ck, &Walker::infoEntry);
        if (ck.id == riff::kList && ck.formType == fourcc("adtl")) return walkList(ck, &Walker::adtlEntry);
        return true;
    }

    bool walkList(const riff::Chunk& list, bool (Walker::*entry)(const riff::Chunk&)) {
        riff::Chunk sub;
        while (f_.descend(sub, &list) == Status::Ok && sub.endsWithin(list)) {
            if (!(this->*entry)(sub)) return false;
            if (f_.ascend(sub) != Status::Ok) break;
        }
        return true;
    }

    bool readFormat(const riff::Chunk& ck) {
        uint8_t head[18] = {};
        size_t have = std::min<uint32_t>(ck.size, 18);
        if (!f_.readExact(head, have)) return false;
        uint16_t tag = le16(head);
        size_t extra = (tag == 1 || tag == 6 || tag == 7) ? 0 : le16(head + 16);
        extra = std::min<size_t>({extra, kMaxFormatExtra, ck.size > 18 ? static_cast<size_t>(ck.size - 18) : size_t(0)});
        putLe16(head + 16, static_cast<uint16_t>(extra));
        chunks_.format.assign(head, head + 18);
        chunks_.format.resize(18 + extra);
        return f_.readExact(chunks_.format.data() + 18, extra);
    }

    bool readCues(const riff::Chunk& ck) {
        uint8_t n[4];
        if (ck.size < 4) return true;
        if (!f_.readExact(n, 4)) return false;
        // Only the records the chunk holds, whatever the count promises.
        uint32_t count = std::min<uint32_t>(le32(n), (ck.size - 4) / 24);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t rec[24];
            if (!f_.readExact(rec, 24)) return false;
            Cue cue;
            cue.position = le32(rec + 4);
            cues_.appendAfterCurrent(std::move(cue));
        }
        return true;
    }

    bool infoEntry(const riff::Chunk& sub) {
        std::string* target = nullptr;
        switch (sub.id) {
        case fourcc("IART"): target = &record_.artist; break;
        case fourcc("ICMT"): target = &record_.comments; break;
        case fourcc("ICOP"): target = &record_.copyright; break;
        case fourcc("INAM"): target = &record_.album; break;
        case fourcc("ISFT"): target = &record_.encodedBy; break;
        case fourcc("ICMS"): target = &record_.composer; break;
        case fourcc("IURL"): target = &record_.url; break;
        case fourcc("IGNR"): case fourcc("ICRD"): case fourcc("ITRK"): break;
        default: return true;
        }
        std::string c;
        if (!content(sub, c)) return false;
        std::string value = text::fromStored(c);
        if (target) {
            *target = std::move(value);
        } else if (sub.id == fourcc("IGNR")) {
            int g = genre::findIgnoringCase(value);
            record_.genre = g >= 0 ? g : genre::kDefault;
        } else if (sub.id == fourcc("ICRD")) {
            record_.year = text::leadingNumber(value);
        } else {
            record_.track = text::leadingNumber(value);
        }
        return true;
    }

    bool adtlEntry(const riff::Chunk& sub) {
        bool labl = sub.id == fourcc("labl"), note = sub.id == fourcc("note"), ltxt = sub.id == fourcc("ltxt");
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

    riff::File& f_;
    TagRecord& record_;
    CueList& cues_;
    WavChunks& chunks_;
};

// Writes a chunk with the given content; false on a failed write.
bool writeChunk(riff::File& f, riff::FourCC id, std::string_view content) {
    riff::Chunk ck;
    ck.id = id;
    return f.createChunk(ck) == Status::Ok && f.writeExact(content.data(), content.size()) &&
           f.ascend(ck) == Status::Ok;
}

// Text up to its first zero, with a terminating zero.
std::string zeroTerminated(const std::string& s) { return std::string(s.c_str()) + '\0'; }

std::string le32Bytes(uint32_t v) {
    uint8_t b[4];
    putLe32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}

std::string le16Bytes(uint16_t v) {
    uint8_t b[2];
    putLe16(b, v);
    return std::string(reinterpret_cast<char*>(b), 2);
}

bool writeChunks(riff::File& f, const TagRecord& r, const CueList& cues) {
    riff::Chunk info;
    info.formType = fourcc("INFO");
    if (f.createChunk(info, riff::Create::List) != Status::Ok) return false;
    auto entry = [&](riff::FourCC id, const std::string& value) {
        return value.empty() || value[0] == '\0' || writeChunk(f, id, zeroTerminated(value));
    };
    bool ok = entry(fourcc("IART"), r.artist) && entry(fourcc("ICMT"), r.comments) &&
              entry(fourcc("ICOP"), r.copyright) && entry(fourcc("INAM"), r.album) &&
              (!genre::isValid(r.genre) || entry(fourcc("IGNR"), std::string(genre::toString(r.genre)))) &&
              entry(fourcc("ISFT"), r.encodedBy) && entry(fourcc("ICMS"), r.composer) &&
              entry(fourcc("IURL"), r.url) && (r.track <= 0 || entry(fourcc("ITRK"), std::to_string(r.track))) &&
              (r.year <= 0 || entry(fourcc("ICRD"), std::to_string(r.year)));
    if (!ok || f.ascend(info) != Status::Ok) return false;

    if (!r.title.empty() && r.title[0] != '\0' && !writeChunk(f, fourcc("DISP"), le32Bytes(1) + zeroTerminated(r.title)))
        return false;

    if (cues.empty()) return true;
    const auto& list = cues.cues();
    std::string cueContent = le32Bytes(static_cast<uint32_t>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
        cueContent += le32Bytes(static_cast<uint32_t>(i + 1)) + le32Bytes(list[i].position) + "data" + le32Bytes(0) +
                      le32Bytes(0) + le32Bytes(list[i].position);
    }
    if (!writeChunk(f, fourcc("cue "), cueContent)) return false;
    riff::Chunk adtl;
    adtl.formType = fourcc("adtl");
    if (f.createChunk(adtl, riff::Create::List) != Status::Ok) return false;
    for (size_t i = 0; i < list.size(); ++i) {
        const Cue& c = list[i];
        std::string ltxt = le32Bytes(static_cast<uint32_t>(i + 1)) + le32Bytes(c.length) + "rgn " +
                           le16Bytes(c.country) + le16Bytes(c.language) + le16Bytes(c.dialect) +
                           le16Bytes(c.codePage);
        if (!c.text.empty() && c.text[0] != '\0') ltxt += zeroTerminated(c.text);
        if (!writeChunk(f, fourcc("ltxt"), ltxt)) return false;
    }
    for (size_t i = 0; i < list.size(); ++i)
        if (!list[i].note.empty() && list[i].note[0] != '\0' &&
            !writeChunk(f, fourcc("note"), le32Bytes(static_cast<uint32_t>(i + 1)) + zeroTerminated(list[i].note)))
            return false;
    for (size_t i = 0; i < list.size(); ++i)
        if (!list[i].label.empty() && list[i].label[0] != '\0' &&
            !writeChunk(f, fourcc("labl"), le32Bytes(static_cast<uint32_t>(i + 1)) + zeroTerminated(list[i].label)))
            return false;
    return f.ascend(adtl) == Status::Ok;
}

}  // namespace

bool readWavInfo(const std::string& path, TagRecord& record, CueList& cues, WavChunks* chunks) {
    riff::File f;
    if (f.open(path, riff::Mode::Read) != Status::Ok) return false;
    riff::Chunk form;
    form.formType = fourcc("WAVE");
    if (f.descend(form, nullptr, riff::Find::Riff) != Status::Ok) return false;
    WavChunks local;
    Walker walker(f, record, cues, chunks ? *chunks : local);
    bool ok = walker.walkForm(form);
    cues.sort();
    return ok;
}

bool writeWavInfo(const std::string& path, const TagRecord& record, const CueList& cues) {
    riff::File f;
    if (f.open(path, riff::Mode::ReadWrite) != Status::Ok) return false;
    riff::Chunk form;
    form.formType = fourcc("WAVE");
    if (f.descend(form, nullptr, riff::Find::Riff) != Status::Ok) return false;
    riff::Chunk data;
    data.id = fourcc("data");
    if (f.descend(data, &form, riff::Find::Chunk) != Status::Ok) return false;
    // A "data" chunk that claims more than the file holds: writing after it
    // would grow the file to the claimed size. Leave such a file alone.
    if (data.dataEnd() > f.size()) return false;
    if (f.ascend(data) != Status::Ok) return false;
    bool ok = writeChunks(f, record, cues);
    if (ok) {
        form.dirty = true;
        ok = f.ascend(form) == Status::Ok;
    }
    return f.close() == Status::Ok && ok;
}

}  // namespace qoro::tags
