// The iTunes-style tags of MP4 files (M4A, M4B, MP4): the "ilst" item list
// inside moov/udta/meta.
//
//   auto tag = tags::mp4::readTag(path);                 // nullopt: no MP4 file
//   tags::mp4::applyTo(*tag, record, extras);            // properties and extras
//   if (auto g = tag->gapless()) ...                     // g->priming, g->padding, g->length
//
// An MP4 file is a sequence of boxes: a 32-bit big-endian size (the header
// included; 1: a 64-bit size follows the type; 0: the box runs to the end of
// its parent), a four-byte type, the contents. "meta" is a full box (a
// version and flags word before its children), though QuickTime writes it
// without one. Each child of "ilst" is an item named by its type (the byte
// 0xA9 included, as "\xA9nam"): "data" atoms holding its values (a type
// indicator, a locale and the value), one value each; a freeform item
// ("----") names itself by a "mean" and a "name" atom before them.
//
// Items hold their values by type indicator: 1 UTF-8, 2 UTF-16 (big endian),
// 13 JPEG, 14 PNG, 27 BMP, 12 GIF, 21 a signed and 22 an unsigned big-endian
// integer of 1 to 8 bytes, 0 implicit (the binary number and total of "trkn"
// and "disk": 2 bytes of padding, 2 of the number, 2 of the total).
//
// Keys are those of the field map (tags/fields.h, MappedField::mp4): the
// item's four bytes read as ISO-8859-1 and held as UTF-8 ("\u00A9nam"), a
// freeform item's "----:" mean ":" name ("----:com.apple.iTunes:MOOD").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v2.h"  // ReadAtFn
#include "tags/tag_record.h"
#include "tags/tails.h"  // ByteRange

namespace qoro::tags::mp4 {

// The largest "meta" box read whole (its items and their pictures).
inline constexpr uint64_t kMaxTagSize = uint64_t{1} << 28;

// Type indicators of "data" atoms.
inline constexpr uint32_t kImplicit = 0;
inline constexpr uint32_t kUtf8 = 1;
inline constexpr uint32_t kUtf16 = 2;
inline constexpr uint32_t kUtf8Sort = 4;
inline constexpr uint32_t kUtf16Sort = 5;
inline constexpr uint32_t kGif = 12;
inline constexpr uint32_t kJpeg = 13;
inline constexpr uint32_t kPng = 14;
inline constexpr uint32_t kSignedInt = 21;
inline constexpr uint32_t kUnsignedInt = 22;
inline constexpr uint32_t kBmp = 27;

// One "data" atom.
struct Data {
    uint32_t type = kImplicit;  // the type indicator (the low 24 bits of the word after the atom's header)
    uint32_t locale = 0;
    std::vector<uint8_t> value;

    bool operator==(const Data&) const = default;
};

struct Item {
    std::string key;         // as MappedField::mp4 spells it
    std::vector<Data> data;  // in stored order
    ByteRange at;            // the item atom in the file, header included
    // The item atom as stored, for the items a writer cannot rebuild from
    // the record and the extras: those the field map does not name, but
    // for the pictures ("covr"). Empty for the others (until a writer's
    // keepStored, tags/mp4_write.h, fills it for every item).
    std::vector<uint8_t> raw;

    // The item's values as texts: its text atoms (UTF-8 or UTF-16, each up
    // to a zero), its integers in decimal, a "trkn" or "disk" number as
    // "3/12" ("3" without a total). Atoms of other types give none.
    std::vector<std::string> texts() const;
};

// Where the boxes that lead to the items lie; empty ranges for those the
// file lacks.
struct Layout {
    ByteRange moov, udta, meta, ilst;
    bool metaHasVersion = true;  // "meta" as a full box (false: QuickTime's plain box)
};

// The gapless playback values of iTunes' "iTunSMPB" item: the samples of
// encoder delay before the audio, the padding after it, and the length of
// the audio in samples.
struct Gapless {
    uint32_t priming = 0, padding = 0;
    uint64_t length = 0;

    bool operator==(const Gapless&) const = default;
};

struct Tag {
    std::vector<Item> items;  // in stored order
    Layout layout;
    // Some of the boxes could not be read (a size beyond its parent or the
    // file, a box too short for its header): the items are those before the
    // damage. A writer must not rebuild a damaged tag.
    bool damaged = false;

    // The first item of a key (freeform names ignoring case); nullptr when
    // there is none.
    const Item* find(std::string_view key) const;
    // The values of "----:com.apple.iTunes:iTunSMPB"; nullopt without it or
    // when it is not laid out as iTunes writes it.
    std::optional<Gapless> gapless() const;
};

// One box header: its type, the size of the header (8, or 16 after a size
// of 1) and the whole box's size (a size of 0 gives the rest of the parent).
struct BoxHeader {
    std::array<uint8_t, 4> type{};
    uint32_t headerSize = 8;
    uint64_t size = 0;

    bool is(std::string_view t) const;
};

// How a box header fits its parent. Beyond: the box claims more than the
// parent holds (its size is then clamped to it); Short: no box can be read
// there.
enum class BoxFit { Ok, Short, Beyond };

// The header of the box at the start of 'bytes' within 'room' bytes (the
// rest of its parent).
BoxFit readBoxHeader(std::span<const uint8_t> bytes, uint64_t room, BoxHeader& h);
// The box header at 'offset' of a file, within a parent ending at 'end'.
BoxFit readBoxHeaderAt(const ReadAtFn& readAt, uint64_t offset, uint64_t end, BoxHeader& h);

// The key of an item atom's four-byte name: its bytes read as ISO-8859-1.
std::string keyOfName(std::span<const uint8_t, 4> name);
// The four-byte name of a key that is not freeform; nullopt when the key
// is not four ISO-8859-1 characters.
std::optional<std::array<uint8_t, 4>> nameOfKey(std::string_view key);

// A key other formats can carry: UTF-8 without control characters.
bool isPrintableKey(std::string_view key);

// The items of an "ilst" box's contents (after its header); 'fileOffset'
// is where those contents lie in the file. Sets 'damaged' when an item
// reaches beyond the contents or is laid out badly; the items before it are
// kept.
std::vector<Item> parseItems(std::span<const uint8_t> contents, uint64_t fileOffset, bool& damaged);
// The tag of an MP4 file: nullopt unless the file begins with an MP4 box
// ("ftyp", or "moov", "mdat", "free", "skip", "wide" of older QuickTime
// files); a tag without items when the file has none.
std::optional<Tag> readTag(const ReadAtFn& readAt, uint64_t fileSize);
std::optional<Tag> readTag(const std::string& path);
// The values of an "iTunSMPB" text: hexadecimal words, the second the
// priming, the third the padding, the fourth the length.
std::optional<Gapless> parseSmpb(std::string_view text);

// Fills the properties of record from the tag (fields the tag does not
// hold stay as they are) and appends what it holds beyond them to extras:
// mapped fields under their map name (the track and disc totals of "trkn"
// and "disk" as TOTALTRACKS and TOTALDISCS, "gnre" as the genre where no
// "\u00A9gen" is), other items with texts under their key, one entry per value;
// "covr" pictures as front covers (kind 3). "iTunSMPB" is left out: it
// describes this file's encoding (see Tag::gapless).
void applyTo(const Tag& tag, TagRecord& record, TagExtras& extras);

}  // namespace qoro::tags::mp4
