// AIFF and AIFF-C facts from "COMM" and "SSND", tags from the text chunks
// ("NAME", "AUTH", "ANNO", "(c) ") and the "ID3 " chunk, and the rewrite of
// those chunks. The form is walked with riff::File (big-endian sizes).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "acm/acm.h"
#include "aiff/aiff.h"
#include "io/file_rewrite.h"
#include "readers/aiff_reader.h"
#include "riff/riff.h"
#include "tags/id3v2.h"
#include "tags/text.h"

namespace qoro::audioinfo {

namespace {

constexpr riff::FourCC kName = riff::fourcc("NAME");
constexpr riff::FourCC kAuth = riff::fourcc("AUTH");
constexpr riff::FourCC kAnno = riff::fourcc("ANNO");
constexpr riff::FourCC kCopyright = riff::fourcc("(c) ");
// The ID3v2 tag: "ID3 " as mutagen and ffmpeg write it, "id3 " as some
// other writers do.
constexpr riff::FourCC kId3 = riff::fourcc("ID3 ");
constexpr riff::FourCC kId3Lower = riff::fourcc("id3 ");
// More chunks than any real file holds: a form claiming more is damaged.
constexpr size_t kMaxChunks = 1u << 16;
// The longest text read from one text chunk (a longer one is cut there).
constexpr uint32_t kMaxText = 1u << 20;
// More than any "COMM" holds: AIFF-C's adds a type and a Pascal string.
constexpr uint32_t kMaxComm = aiff::kAifcCommMinSize + 256;

std::error_code damaged() { return make_error_code(io::Error::Damaged); }

bool isId3(riff::FourCC id) { return id == kId3 || id == kId3Lower; }

// The text chunks and the property each one carries, in the order new ones
// are written.
struct TextChunk {
    riff::FourCC id;
    std::string tags::TagRecord::*field;
};
constexpr TextChunk kTextChunks[] = {{kName, &tags::TagRecord::title},
                                     {kAuth, &tags::TagRecord::artist},
                                     {kCopyright, &tags::TagRecord::copyright},
                                     {kAnno, &tags::TagRecord::comments}};

// One chunk of the form as stored.
struct Stored {
    riff::FourCC id = 0;
    uint64_t offset = 0;  // of its 8-byte header
    uint32_t size = 0;    // of its data
    uint64_t body() const { return offset + 8; }
    uint64_t end() const { return body() + size; }
};

// What the form holds, as far as the file holds it.
struct Aiff {
    uint64_t fileSize = 0;
    riff::FourCC formType = 0;
    uint64_t formEnd = 0;             // where the form's stated size ends it (may lie beyond the file)
    std::vector<Stored> chunks;       // in file order; the last one may be cut short
    bool whole = true;                // every chunk ends within the form and the file
    aiff::Comm comm;                  // the first "COMM"
    uint64_t soundBytes = 0;          // bytes of sample frames the first "SSND" holds
    tags::TagRecord texts;            // what the text chunks say
    std::vector<tags::Id3v2Tag> id3;  // the tags of the "ID3 " chunks, in file order
    std::vector<size_t> id3Chunks;    // the index in 'chunks' of each

    // Just after the last chunk walked (its pad byte included when the file
    // holds it).
    uint64_t chunksEnd() const {
        if (chunks.empty()) return 12;
        const Stored& last = chunks.back();
        return std::min(fileSize, last.end() + (last.size & 1u));
    }
};

bool readAt(riff::File& f, uint64_t offset, void* data, size_t n) {
    return f.seek(static_cast<int64_t>(offset)) == static_cast<int64_t>(offset) && f.readExact(data, n);
}

// The bytes of a chunk the file holds, at most 'limit' of them.
std::vector<uint8_t> bodyOf(riff::File& f, const Stored& c, uint64_t limit) {
    const uint64_t held = std::min<uint64_t>(c.end(), f.size()) - std::min<uint64_t>(c.body(), f.size());
    std::vector<uint8_t> body(static_cast<size_t>(std::min(held, limit)));
    if (!readAt(f, c.body(), body.data(), body.size())) body.clear();
    return body;
}

// The ID3v2 tag an "ID3 " chunk begins with; nullopt when there is none or
// it reaches beyond the chunk.
std::optional<tags::Id3v2Tag> id3Of(riff::File& f, const Stored& c) {
    uint8_t h[tags::kId3v2HeaderSize];
    if (c.size < sizeof h || c.end() > f.size() || !readAt(f, c.body(), h, sizeof h)) return std::nullopt;
    const auto total = tags::id3v2TotalSize(h);
    if (!total || *total > c.size) return std::nullopt;
    return tags::parseId3v2(bodyOf(f, c, *total));
}

// The form the file begins with ("FORM" of type "AIFF" or "AIFC"), its
// chunks, "COMM", the samples "SSND" holds, the text chunks and the "ID3 "
// chunks (every one when 'allId3', else the first). nullopt when the file
// is no such form or has no readable "COMM".
std::optional<Aiff> readForm(riff::File& f, bool allId3) {
    riff::Chunk form;
    if (f.seek(0) != 0 || f.descend(form, nullptr, riff::Find::Next) != riff::Status::Ok || form.id != riff::kForm ||
        (form.formType != aiff::kAiff && form.formType != aiff::kAifc))
        return std::nullopt;
    Aiff a;
    a.fileSize = f.size();
    a.formType = form.formType;
    a.formEnd = form.dataEnd();
    riff::Chunk ck;
    while (f.descend(ck, &form, riff::Find::Next) == riff::Status::Ok) {
        if (a.chunks.size() >= kMaxChunks) return std::nullopt;
        a.chunks.push_back({ck.id, ck.dataOffset - 8, ck.size});
        if (!ck.endsWithin(form) || ck.dataEnd() > f.size()) {
            a.whole = false;  // cut short: nothing after it is a chunk
            break;
        }
        if (f.ascend(ck) != riff::Status::Ok) break;
    }

    bool comm = false, sound = false;
    std::vector<std::string> notes;
    for (size_t i = 0; i < a.chunks.size(); ++i) {
        const Stored& c = a.chunks[i];
        if (c.id == aiff::kComm && !comm) {
            const auto body = bodyOf(f, c, kMaxComm);
            if (body.size() != std::min(c.size, kMaxComm) || !aiff::parseComm(body, a.formType == aiff::kAifc, a.comm))
                return std::nullopt;
            comm = true;
        } else if (c.id == aiff::kSsnd && !sound) {
            // The samples follow the header and its offset, up to the end of
            // the chunk or of the file, whichever comes first.
            sound = true;
            const auto head = bodyOf(f, c, aiff::kSoundHeaderSize);
            aiff::SoundHeader h;
            if (!aiff::parseSoundHeader(head, h)) continue;
            const uint64_t start = c.body() + aiff::kSoundHeaderSize + h.offset;
            const uint64_t end = std::min<uint64_t>(c.end(), a.fileSize);
            a.soundBytes = end > start ? end - start : 0;
        } else if (isId3(c.id) && (allId3 || a.id3.empty())) {
            if (auto tag = id3Of(f, c)) {
                a.id3.push_back(std::move(*tag));
                a.id3Chunks.push_back(i);
            }
        } else {
            for (const TextChunk& t : kTextChunks) {
                if (c.id != t.id) continue;
                const auto body = bodyOf(f, c, kMaxText);
                std::string text = tags::text::fromStored({reinterpret_cast<const char*>(body.data()), body.size()});
                // "ANNO" may repeat: the comments are joined, as repeated
                // values of other formats are; the others take their first.
                if (t.id == kAnno) {
                    if (!text.empty()) notes.push_back(std::move(text));
                } else if ((a.texts.*t.field).empty()) {
                    a.texts.*t.field = std::move(text);
                }
            }
        }
    }
    if (!comm) return std::nullopt;
    for (size_t i = 0; i < notes.size(); ++i) a.texts.comments += (i ? "; " : "") + notes[i];
    return a;
}

// The tags as reading gives them: the text chunks, then the first ID3v2
// tag, whose fields win where both hold one.
tags::TagRecord tagsOf(const Aiff& a) {
    tags::TagRecord r = a.texts;
    if (a.id3.empty()) return r;
    tags::TagRecord id3;
    a.id3.front().applyTo(id3);
    for (auto field :
         {&tags::TagRecord::title, &tags::TagRecord::artist, &tags::TagRecord::album, &tags::TagRecord::comments,
          &tags::TagRecord::copyright, &tags::TagRecord::composer, &tags::TagRecord::url, &tags::TagRecord::encodedBy})
        if (!(id3.*field).empty()) r.*field = id3.*field;
    if (id3.year != 0) r.year = id3.year;
    if (id3.track != 0) r.track = id3.track;
    r.genre = id3.genre;
    return r;
}

// One chunk of the new form: a stored one carried over, or a new one.
struct Entry {
    riff::FourCC id = 0;
    const Stored* stored = nullptr;
    std::vector<uint8_t> body;
    uint64_t size() const { return stored ? stored->size : body.size(); }
};

void putBe32(uint8_t* p, uint64_t v) { aiff::writeBE32(p, static_cast<uint32_t>(v)); }

}  // namespace

bool readAiff(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras) {
    riff::File f;
    if (f.open(path, riff::Mode::Read) != riff::Status::Ok) return false;
    const std::optional<Aiff> a = readForm(f, false);
    if (!a) return false;
    const aiff::Comm& c = a->comm;
    const std::optional<aiff::Encoding> encoding = aiff::encodingOf(c);
    if (!encoding || aiff::frameBytes(c) == 0) return false;  // compressed samples
    // The 80-bit rate to the nearest whole Hz, as ffprobe reports it.
    const double rate = std::floor(c.rate + 0.5);
    if (!(rate >= 1 && rate <= INT32_MAX)) return false;
    const auto hz = static_cast<uint32_t>(rate);
    const bool isFloat = *encoding == aiff::Encoding::Float32 || *encoding == aiff::Encoding::Float64;
    const uint32_t bits = aiff::bytesPerSample(c) * 8;
    const uint64_t frames = std::min<uint64_t>(c.frames, a->soundBytes / aiff::frameBytes(c));

    facts.formatTag = isFloat ? acm::WAVE_FORMAT_IEEE_FLOAT : acm::WAVE_FORMAT_PCM;
    facts.frequency = static_cast<int32_t>(hz);
    facts.channels = c.channels;
    facts.bitsPerSample = static_cast<int32_t>(bits);
    facts.bitrate = saturated32(uint64_t{hz} * c.channels * bits);
    facts.samples = saturated32(frames);
    const int32_t ms = mulDiv(static_cast<int64_t>(frames), 1000, hz);
    facts.duration = ms >= 0 ? ms : INT32_MAX;
    facts.size = sizeFact(static_cast<int64_t>(a->fileSize));
    // Named as the wave format record of the same samples is.
    acm::WAVEFORMATEX record = acm::makePcmFormat(hz, c.channels, static_cast<uint16_t>(bits));
    if (isFloat) record.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    facts.description = acm::describe(acm::asBytes(record));

    tags = tagsOf(*a);
    extras = a->id3.empty() ? tags::TagExtras{} : a->id3.front().extras();
    return true;
}

int probeAiff(const std::string& path) {
    riff::File f;
    if (f.open(path, riff::Mode::Read) != riff::Status::Ok) return -2;
    riff::Chunk form;
    const bool found = f.descend(form, nullptr, riff::Find::Next) == riff::Status::Ok && form.id == riff::kForm &&
                       (form.formType == aiff::kAiff || form.formType == aiff::kAifc);
    return found ? 1 : 0;
}

std::error_code writeAiffTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    std::optional<Aiff> a;
    {
        riff::File f;
        if (f.open(path, riff::Mode::Read) != riff::Status::Ok) return damaged();
        a = readForm(f, true);
    }
    if (!a || !a->whole || a->fileSize != in.size()) return damaged();
    const tags::TagRecord was = tagsOf(*a);
    if (tags == was && changes.empty()) return {};

    // The ID3v2 tag: built as the MPEG writer builds it (managed frames whose
    // value is unchanged keep their stored bytes, every other frame and
    // picture stays, the frames of further "ID3 " chunks are carried over),
    // and written only when it says something new.
    const bool propertiesChanged = !(tags == was);
    std::optional<std::vector<uint8_t>> id3;
    if (a->id3.empty()) {
        auto fresh = tags::buildId3v2(tags, changes);
        if (propertiesChanged || fresh != tags::buildId3v2(tags)) id3 = std::move(fresh);
    } else {
        const auto stacked = std::span(a->id3).subspan(1);
        auto rebuilt = tags::buildId3v2(tags, a->id3.front(), stacked, changes);
        if (propertiesChanged || rebuilt != tags::buildId3v2(tags, a->id3.front(), stacked)) id3 = std::move(rebuilt);
    }
    if (id3 && id3->empty()) return make_error_code(io::Error::TooLarge);

    // The text chunks of changed properties. The format's text is ASCII (in
    // practice read as Latin-1): a value Latin-1 holds is written in it; a
    // value it cannot hold is left out of the text chunks rather than
    // written with stand-ins, since a reader of those chunks alone would
    // show the stand-ins as the value. The ID3v2 tag holds every value in
    // full, and it is what reading takes first.
    struct NewText {
        riff::FourCC id;
        bool replace = false;
        std::optional<std::vector<uint8_t>> body;  // none: no chunk of this id
        bool placed = false;
    };
    std::vector<NewText> texts;
    for (const TextChunk& t : kTextChunks) {
        NewText n;
        n.id = t.id;
        const std::string& value = tags.*t.field;
        n.replace = value != was.*t.field;
        if (n.replace && !value.empty() && tags::text::fitsLatin1(value)) {
            const std::string latin1 = tags::text::utf8ToLatin1(value);
            n.body = std::vector<uint8_t>(latin1.begin(), latin1.end());
        }
        texts.push_back(std::move(n));
    }

    // The chunks in their order, each changed one in the place of the first
    // of its kind; new text chunks after "COMM", a new "ID3 " chunk at the end.
    std::vector<Entry> plan;
    bool id3Placed = false, changed = false;
    size_t afterComm = 0;
    for (size_t i = 0; i < a->chunks.size(); ++i) {
        const Stored& c = a->chunks[i];
        auto text = std::find_if(texts.begin(), texts.end(), [&](const NewText& t) { return t.id == c.id; });
        if (text != texts.end() && text->replace) {
            changed = true;
            if (text->body && !text->placed) plan.push_back({c.id, nullptr, *text->body});
            text->placed = true;
        } else if (id3 && std::find(a->id3Chunks.begin(), a->id3Chunks.end(), i) != a->id3Chunks.end()) {
            // (an "ID3 " chunk that holds no readable tag stays as it is)
            changed = true;
            if (!id3Placed) plan.push_back({kId3, nullptr, *id3});
            id3Placed = true;
        } else {
            plan.push_back({c.id, &c, {}});
            if (c.id == aiff::kComm && afterComm == 0) afterComm = plan.size();
        }
    }
    for (const NewText& t : texts) {
        if (t.placed || !t.body) continue;
        plan.insert(plan.begin() + static_cast<std::ptrdiff_t>(afterComm++), {t.id, nullptr, *t.body});
        changed = true;
    }
    if (id3 && !id3Placed) {
        plan.push_back({kId3, nullptr, *id3});
        changed = true;
    }
    if (!changed) return {};

    // Bytes after the last chunk stay where they are: inside the form as far
    // as its stated size covered them, after it otherwise.
    const uint64_t chunksEnd = a->chunksEnd();
    const uint64_t tailInside =
        std::min(a->formEnd, a->fileSize) > chunksEnd ? std::min(a->formEnd, a->fileSize) - chunksEnd : 0;
    uint64_t formSize = 4 + tailInside;
    for (const Entry& e : plan) formSize += 8 + e.size() + (e.size() & 1u);
    if (formSize > UINT32_MAX) return make_error_code(io::Error::TooLarge);

    io::Rewrite out(path);
    if (!out.ok()) return out.error();
    uint8_t header[12] = {'F', 'O', 'R', 'M'};
    putBe32(header + 4, formSize);
    std::memcpy(header + 8, "AIFF", 4);
    if (a->formType == aiff::kAifc) std::memcpy(header + 8, "AIFC", 4);
    out.write(header, 12);
    static constexpr uint8_t kPad = 0;
    for (const Entry& e : plan) {
        if (e.stored) {
            // Header and data as stored; the pad byte too, unless the file
            // ended before it.
            out.copyFrom(in.fd(), e.stored->offset, 8 + uint64_t{e.stored->size});
            if (e.stored->size & 1u) {
                if (e.stored->end() < a->fileSize)
                    out.copyFrom(in.fd(), e.stored->end(), 1);
                else
                    out.write(&kPad, 1);
            }
            continue;
        }
        std::memcpy(header, riff::fourCCToString(e.id).data(), 4);
        putBe32(header + 4, e.body.size());
        out.write(header, 8);
        out.write(e.body);
        if (e.body.size() & 1u) out.write(&kPad, 1);
    }
    if (chunksEnd < a->fileSize) out.copyFrom(in.fd(), chunksEnd);
    return out.commit();
}

}  // namespace qoro::audioinfo
