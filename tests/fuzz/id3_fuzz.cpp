// libFuzzer harness for the tag parsers: ID3v2 (every version, the 2.3 form
// of its frames, the writer's merge over a hostile tag), the ID3v2 size and
// skip counts, and the three ID3v1 reading rules. Besides "no crash, no read
// outside the input", it checks what must hold for any input: sizes within
// the input, and a tag rebuilt from what was read reads back the same; the
// user text fields and pictures survive a rebuild, and changes to them come
// out as set.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "fuzz_support.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace tags = qoro::tags;

namespace {

using qoro::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);

    if (const auto total = tags::id3v2TotalSize(bytes)) require(*total >= tags::kId3v2HeaderSize);
    const auto readAt = [&](uint64_t at, uint8_t* out, size_t n) -> size_t {
        if (at >= size) return 0;
        const size_t k = std::min<size_t>(n, size - static_cast<size_t>(at));
        std::memcpy(out, data + at, k);
        return k;
    };
    require(tags::id3v2LeadingSize(readAt, size) <= size);
    require(tags::id3v2LeadingSize(readAt, size, true) <= size);

    if (const auto tag = tags::parseId3v2(bytes)) {
        require(tag->totalSize <= size);
        tags::TagRecord record;
        tag->applyTo(record);
        for (const auto& f : tag->framesAsV23()) require(f.id.size() == 4);
        // Everything put back: the same values come out again.
        const auto same = tags::buildId3v2(record, *tag);
        if (!same.empty()) {
            const auto again = tags::parseId3v2(same);
            require(again.has_value() && again->version == 3 && again->totalSize == same.size());
            tags::TagRecord back;
            again->applyTo(back);
            require(back == record);
        }
        // The fields and pictures as read survive the rebuild; a field and a
        // picture set come out as set, in the place of those they replace.
        const tags::TagExtras extras = tag->extras();
        if (!same.empty()) require(tags::parseId3v2(same)->extras() == extras);
        tags::TagChanges changes;
        changes.fields = {{"Fuzz field", "v\xC3\xA4lue"}};
        changes.pictures = {{.kind = 3, .mimeType = "image/png", .description = "d", .data = {1, 2, 3}}};
        if (!extras.fields.empty()) changes.fields.push_back({extras.fields.front().name, ""});
        const auto withChanges = tags::buildId3v2(record, *tag, {}, changes);
        if (!withChanges.empty()) {
            const auto again = tags::parseId3v2(withChanges);
            require(again.has_value());
            const tags::TagExtras e = again->extras();
            size_t covers = 0;
            for (const auto& p : e.pictures)
                if (p.kind == 3) ++covers, require(p.data == changes.pictures[0].data && p.mimeType == "image/png");
            require(covers == 1);
            size_t named = 0;
            for (const auto& f : e.fields) {
                if (f.name == "Fuzz field") ++named, require(f.value == "v\xC3\xA4lue");
                if (changes.fields.size() > 1) require(f.name != changes.fields[1].name);
            }
            require(named == (changes.fields.size() > 1 && changes.fields[1].name == "Fuzz field" ? 0u : 1u));
        }
        // One value changed: that value comes out, the others stay.
        record.title = "Fuzz title \xC3\xA9";
        record.genre = 17;
        const auto changed = tags::buildId3v2(record, *tag);
        if (!changed.empty()) {
            const auto again = tags::parseId3v2(changed);
            require(again.has_value());
            tags::TagRecord back;
            again->applyTo(back);
            require(back == record);
        }
    }

    if (size >= tags::kId3v1Size) {
        const std::span<const uint8_t, tags::kId3v1Size> block(data, tags::kId3v1Size);
        for (auto rule : {tags::Id3v1Reading::Information, tags::Id3v1Reading::Decoder, tags::Id3v1Reading::MpegPlus})
            if (const auto t = tags::parseId3v1(block, rule)) require(t->title.size() <= 60 && t->comment.size() <= 60);
    }
    return 0;
}
