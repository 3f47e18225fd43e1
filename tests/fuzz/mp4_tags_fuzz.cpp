// libFuzzer harness for MP4 "ilst" tags: the input as a whole file (the box
// walk to moov/udta/meta/ilst) and as the contents of an "ilst" box, the
// record and extras read from the items. Besides "no crash, no read outside
// the input, no allocation beyond it", it checks: the boxes found nest
// within the file; the items lie one after another within their list; an
// item kept as stored is its bytes of the file; an item's four-byte key
// gives back its name.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "tags/fields.h"
#include "tags/mp4_tags.h"

namespace tags = qoro::tags;
namespace mp4 = qoro::tags::mp4;

namespace {

using qoro::fuzz::require;

tags::ReadAtFn readerOf(std::span<const uint8_t> b) { return qoro::fuzz::memoryReader(b); }

bool within(const tags::ByteRange& inner, const tags::ByteRange& outer) {
    return inner.offset >= outer.offset && inner.end() <= outer.end() && inner.end() >= inner.offset;
}

// Items one after another from 'begin', within 'end'; stored bytes as in the file.
void checkItems(const std::vector<mp4::Item>& items, uint64_t begin, uint64_t end, std::span<const uint8_t> file,
                uint64_t fileOffset) {
    uint64_t at = begin;
    for (const mp4::Item& item : items) {
        require(item.at.offset == at && item.at.size >= 8 && item.at.end() <= end);
        at = item.at.end();
        if (!item.raw.empty()) {
            require(item.raw.size() == item.at.size);
            require(std::equal(item.raw.begin(), item.raw.end(), file.begin() + (item.at.offset - fileOffset)));
        }
        if (!item.key.starts_with("----:")) {
            const auto name = mp4::nameOfKey(item.key);
            require(name && std::equal(name->begin(), name->end(), file.begin() + (item.at.offset - fileOffset) + 4));
        }
        (void)item.texts();
    }
}

void apply(const std::vector<mp4::Item>& items) {
    mp4::Tag tag;
    tag.items = items;
    tags::TagRecord record;
    tags::TagExtras extras;
    mp4::applyTo(tag, record, extras);
    for (const tags::TagField& f : extras.fields) require(!f.name.empty() && !f.value.empty());
    (void)tag.gapless();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    bool damaged = false;
    const std::vector<mp4::Item> items = mp4::parseItems(bytes, 0, damaged);
    checkItems(items, 0, size, bytes, 0);
    apply(items);

    const auto tag = mp4::readTag(readerOf(bytes), size);
    if (!tag) return 0;
    const mp4::Layout& l = tag->layout;
    const tags::ByteRange file{0, size};
    if (!l.moov.empty()) require(within(l.moov, file));
    if (!l.udta.empty()) require(within(l.udta, l.moov));
    if (!l.meta.empty()) require(within(l.meta, l.udta));
    if (!l.ilst.empty()) require(within(l.ilst, l.meta));
    if (tag->items.empty()) return 0;
    require(!l.ilst.empty());
    checkItems(tag->items, tag->items.front().at.offset, l.ilst.end(), bytes, 0);
    require(tag->items.front().at.offset >= l.ilst.offset + 8);
    apply(tag->items);
    return 0;
}
