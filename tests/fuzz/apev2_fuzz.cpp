// libFuzzer harness for the tags files end with: findTails over the input as
// a file, the APEv2 tag it finds (and the input itself as a tag), the record
// and extras read from it, and its rewrite in memory. Besides "no crash, no
// read outside the input", it checks: the tails lie in file order within the
// file; a tag rebuilt unchanged keeps every item; a tag written with changes
// reads back with them and keeps every other item; the file rebuilt around
// the new tag has the same audio and the same tails behind it.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tags/apev2.h"
#include "tags/fields.h"
#include "tags/tails.h"

namespace tags = qoro::tags;
namespace ape = qoro::tags::ape;

namespace {

using qoro::fuzz::require;

tags::ReadAtFn readerOf(std::span<const uint8_t> b) { return qoro::fuzz::memoryReader(b); }

void checkTails(const tags::FileTails& t, uint64_t size) {
    uint64_t at = t.contentEnd;
    for (const tags::ByteRange* r : {&t.ape, &t.lyrics3, &t.id3v1}) {
        if (r->empty()) continue;
        require(r->offset == at && r->end() <= size);
        at = r->end();
    }
    require(at == size);
    if (!t.id3v1.empty()) require(t.id3v1.size == 128);
}

bool sameKey(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y)); });
}

bool holds(const tags::TagExtras& x, const std::string& name, const std::string& value) {
    return std::any_of(x.fields.begin(), x.fields.end(),
                       [&](const tags::TagField& f) { return f.name == name && f.value == value; });
}

void checkTag(const ape::Tag& tag) {
    tags::TagRecord record;
    tags::TagExtras extras;
    ape::applyTo(tag, record, extras);
    // Stored and parsed again: the same items.
    const auto bytes = ape::serialize(tag);
    require(bytes.has_value());
    const auto again = ape::parse(*bytes);
    require(again && again->items == tag.items);
    // Written with what was read: nothing changes.
    require(ape::updated(tag, record, {}).items == tag.items);

    // Written with changes: they read back, the items they do not name stay.
    tags::TagRecord changed = record;
    tags::setFieldValues(changed, tags::Field::Title, {"Fuzz", "Title"});
    changed.track = 7;
    tags::TagChanges changes;
    changes.fields = {{"Fuzz Key", "v\xC3\xA4lue"}, {"DISCNUMBER", "2"}, {"TOTALDISCS", "9"}};
    changes.pictures = {{.kind = 4, .mimeType = "image/png", .description = "b.png", .data = {0x89, 'P', 'N', 'G'}}};
    const ape::Tag after = ape::updated(tag, changed, changes);
    const auto written = ape::serialize(after);
    require(written.has_value());
    const auto back = ape::parse(*written);
    require(back && back->items == after.items);
    tags::TagRecord r;
    tags::TagExtras x;
    ape::applyTo(*back, r, x);
    require(r.title == "Fuzz; Title" && r.track == 7);
    require(holds(x, "Fuzz Key", "v\xC3\xA4lue") && holds(x, "DISCNUMBER", "2") && holds(x, "TOTALDISCS", "9"));
    require(std::count_if(x.pictures.begin(), x.pictures.end(), [&](const tags::TagPicture& p) {
                return p.kind == 4 && p.data == changes.pictures[0].data;
            }) == 1);
    for (const ape::Item& item : tag.items) {
        if (!ape::isValidKey(item.key) || tags::mappedFieldOfApe(item.key) || ape::pictureKind(item.key) >= 0 ||
            sameKey(item.key, "Fuzz Key"))
            continue;
        require(std::find(after.items.begin(), after.items.end(), item) != after.items.end());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const tags::FileTails t = tags::findTails(readerOf(bytes), size);
    checkTails(t, size);

    if (const auto tag = ape::parse(bytes)) checkTag(*tag);
    if (t.ape.empty()) return 0;
    const auto tag = ape::readTag(readerOf(bytes), t.ape);
    if (!tag) return 0;
    checkTag(*tag);

    // The file rebuilt around a changed tag: the audio, the tag, the rest.
    tags::TagRecord record;
    record.title = "Rebuilt";
    const auto tagBytes = ape::serialize(ape::updated(*tag, record, {}));
    require(tagBytes.has_value());
    std::vector<uint8_t> file(data, data + t.contentEnd);
    file.insert(file.end(), tagBytes->begin(), tagBytes->end());
    file.insert(file.end(), data + t.ape.end(), data + size);
    const tags::FileTails u = tags::findTails(readerOf(file), file.size());
    checkTails(u, file.size());
    // Unless the layout was ambiguous: a Lyrics3 v1 tag has no size (its
    // begin marker is searched for, and may then be found in the new tag's
    // bytes), and an ID3v1 tag may end in bytes laid out as an APEv2 footer
    // (whose size may reach into the new tag and then fit).
    const bool sized = t.lyrics3.empty() || std::memcmp(data + t.lyrics3.end() - 9, "LYRICS200", 9) == 0;
    const bool footerLike = !t.id3v1.empty() && std::memcmp(data + size - 32, "APETAGEX", 8) == 0;
    if (!sized || footerLike) return 0;
    require(u.contentEnd == t.contentEnd && u.ape.size == tagBytes->size());
    require(u.lyrics3.size == t.lyrics3.size && u.id3v1.size == t.id3v1.size);
    return 0;
}
