// APEv2 tags, as Musepack, WavPack and Monkey's Audio files end with.
//
//   tags::FileTails t = tags::findTails(path);                 // tags/tails.h
//   auto tag = tags::ape::readTag(readAt, t.ape);              // nullopt: none, or damaged
//   tags::ape::applyTo(*tag, record, extras);                  // properties and extras
//   tags::ape::Tag after = tags::ape::updated(*tag, record, changes);
//   auto bytes = tags::ape::serialize(after);                  // header, items, footer
//
// A tag is a 32-byte header (optional), its items and a 32-byte footer. Each
// item is a 32-bit little-endian value size, 32-bit flags (bits 1-2 the kind:
// UTF-8 text, binary, external link), a key of printable ASCII ending with a
// zero byte, and the value. A text value holds several values separated by
// zero bytes. Keys compare ignoring case. Version 1000 tags (no header, text
// only) are read as well; tags are written as version 2000 with a header.
//
// The properties and mapped fields have the keys of the field map
// (tags/fields.h): "Title", "Artist", "Album", "Comment", "Copyright",
// "Composer", "EncodedBy", "Year" (the full date), "Genre" (free text),
// "Track" ("3/12": the track and TOTALTRACKS), "Disc" ("1/2": DISCNUMBER and
// TOTALDISCS), "Album Artist" ... An item named by a map name ("DATE",
// "albumartist") is read as that field where the field's own key is absent.
// Binary items "Cover Art (Front)" etc. (a file name, a zero byte, the image)
// are the pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v2.h"  // ReadAtFn
#include "tags/tag_record.h"
#include "tags/tails.h"

namespace qoro::tags::ape {

// The header and the footer of a tag are alike: 32 bytes beginning "APETAGEX".
inline constexpr size_t kFrameSize = 32;
// Tag flags.
inline constexpr uint32_t kHasHeader = 0x80000000u;
inline constexpr uint32_t kHasNoFooter = 0x40000000u;
inline constexpr uint32_t kIsHeader = 0x20000000u;
// The largest tag read (items and footer).
inline constexpr uint32_t kMaxTagSize = 1u << 28;

struct Frame {
    uint32_t version = 0;  // 1000 or 2000
    uint32_t size = 0;     // items and footer, not the header
    uint32_t itemCount = 0;
    uint32_t flags = 0;  // tag flags (version 2000; 0 for 1000)

    bool hasHeader() const { return version >= 2000 && (flags & kHasHeader) != 0; }
    bool isHeader() const { return version >= 2000 && (flags & kIsHeader) != 0; }
    // The whole tag: header (when it has one), items, footer.
    uint64_t totalSize() const { return uint64_t(size) + (hasHeader() ? kFrameSize : 0); }
};

// The header or footer at the start of 'bytes' (at least 32 of them): nullopt
// unless it begins "APETAGEX" with version 1000 or 2000, a size of at least
// 32 and no more items than that size can hold.
std::optional<Frame> parseFrame(std::span<const uint8_t> bytes);

enum class ItemKind { Text = 0, Binary = 1, Link = 2, Reserved = 3 };

struct Item {
    std::string key;             // as stored
    uint32_t flags = 0;          // as stored: bit 0 read-only, bits 1-2 the kind
    std::vector<uint8_t> value;  // as stored

    ItemKind kind() const { return static_cast<ItemKind>((flags >> 1) & 3); }
    // The values of a text item, split at the zero bytes (a value that is
    // not UTF-8 is read as ISO-8859-1).
    std::vector<std::string> texts() const;
    bool operator==(const Item&) const = default;
};

struct Tag {
    uint32_t version = 2000;
    std::vector<Item> items;  // in stored order

    // The first item of a key, ignoring case; nullptr when there is none.
    const Item* find(std::string_view key) const;
    bool operator==(const Tag&) const = default;
};

// True for a key a tag may hold: 2 to 255 characters 0x20 to 0x7E, none of
// "ID3", "TAG", "OggS" and "MP+" (ignoring case).
bool isValidKey(std::string_view key);

// The tag in 'bytes', which end with its footer (a header before the items
// may be there or not). nullopt when the footer is missing or any item
// reaches beyond the items.
std::optional<Tag> parse(std::span<const uint8_t> bytes);
// The tag of a range findTails gave; nullopt when the range is empty, larger
// than kMaxTagSize, cannot be read or does not parse.
std::optional<Tag> readTag(const ReadAtFn& readAt, const ByteRange& range);
// Header, items and footer, version 2000; nullopt when the tag would exceed
// kMaxTagSize.
std::optional<std::vector<uint8_t>> serialize(const Tag& tag);

// The key of the pictures of an ID3v2 picture kind ("Cover Art (Front)" for
// 3), "" for a kind outside 0..20; and the kind of a key (-1 for none).
std::string_view pictureKey(int kind);
int pictureKind(std::string_view key);

// Fills the properties of record from the tag (fields the tag does not
// hold stay as they are) and appends what it holds beyond them to extras:
// mapped fields under their map name, other text items under their key,
// one entry per value; cover art items as pictures.
void applyTo(const Tag& tag, TagRecord& record, TagExtras& extras);

// The tag after writing record and changes over 'old': a property whose
// value is what reading 'old' gives keeps its stored items; a changed one,
// and every field change (by map name or key) and picture change, replaces
// the items it names by one item in the place of the first (at the end when
// there was none), or removes them. Every other item stays, in order.
Tag updated(const Tag& old, const TagRecord& record, const TagChanges& changes);

}  // namespace qoro::tags::ape
