// Writing the iTunes-style tags of MP4 files: the "ilst" item list inside
// moov/udta/meta (tags/mp4_tags.h reads it).
//
//   if (auto ec = tags::mp4::writeTag(path, record, changes)) ...   // a tag edit
//   tags::mp4::writeItems(path, {tags::mp4::smpbItem(g)}, {.moovFirst = true});
//
// A new item list goes where the old one was when it fits there with the
// "free" boxes after it (the rest stays a "free" box); otherwise "moov" is
// built anew with padding after the list, every other box kept as it was,
// and every chunk offset of every track ("stco", "co64") moved with the data
// it points at. Files of fragments ("moof", "mvex") and tags that could not
// be read whole are refused: nothing is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tags/mp4_tags.h"
#include "tags/tag_record.h"

namespace qoro::tags::mp4 {

// The largest "moov" box built anew in memory.
inline constexpr uint64_t kMaxMoovSize = uint64_t{1} << 28;
// The largest padding after a list built anew.
inline constexpr uint32_t kMaxPadding = uint32_t{1} << 24;

// Fills Item::raw of every item of the tag from the file, so that the items
// no change names are written back byte for byte (those the reader left
// empty would otherwise be built anew from their values). An item that
// cannot be read keeps an empty raw.
void keepStored(Tag& tag, const ReadAtFn& readAt);

// The key a field change of this name writes: the field map's key of a map
// name or of an MP4 key, a freeform key ("----:mean:name") as it is, four
// ISO-8859-1 characters beginning with "\u00A9" as an item of that name;
// any other name as "----:com.apple.iTunes:" and the name. nullopt for
// names no item may carry: "covr" (the pictures), "iTunSMPB" (the encoder's
// gapless values), a freeform key without its mean or name, an empty or
// non-UTF-8 name, one with control characters.
std::optional<std::string> keyOfField(std::string_view name);

// The items after writing record and changes over 'old': a property whose
// value is what reading 'old' gives keeps its stored items; a changed one,
// every field change and the front cover replace the items they name by one
// item in the place of the first (at the end when there was none), or
// remove them. Genre is written as "\u00A9gen" (a "gnre" goes with it);
// track and disc as "trkn" and "disk" with their totals; "cpil", "tmpo" and
// the other numbers as integers. Every other item stays as it was, in order.
// Pictures of other kinds than 3 have no place in an MP4 tag.
std::vector<Item> updated(const Tag& old, const TagRecord& record, const TagChanges& changes);

// The whole "ilst" box of the items: an item's raw bytes when it has them,
// else its atoms built from its key and values.
std::vector<uint8_t> serializeIlst(const std::vector<Item>& items);

// "----:com.apple.iTunes:iTunSMPB" as iTunes lays it out: twelve words in
// upper-case hexadecimal, each after a space (the second the priming, the
// third the padding, the fourth the length in 16 digits, the others zero).
Item smpbItem(const Gapless& gapless);

struct RewriteOptions {
    // Puts "moov" before the media data (after "ftyp"), with a "free" box
    // of 'padding' bytes after it, when it lies after them.
    bool moovFirst = false;
    // The bytes of the "free" box after a list built anew (its header
    // included; 0 for none, at least 8, at most kMaxPadding).
    uint32_t padding = 4096;
};

// Bytes written over the file at an offset.
struct Patch {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

// One piece of a new file: a range of the old file, or bytes of its own.
struct Piece {
    ByteRange copy;  // empty: the bytes below
    std::vector<uint8_t> bytes;

    uint64_t size() const { return copy.empty() ? bytes.size() : copy.size; }
};

// How the file changes: in place (patches, in order; the file keeps its
// size; none when nothing changes) or as a new file of pieces.
struct Plan {
    bool inPlace = true;
    std::vector<Patch> patches;
    std::vector<Piece> pieces;

    // The size of the new file.
    uint64_t newSize(uint64_t oldSize) const;
};

// The plan that puts 'newIlst' (a whole "ilst" box) in the place of the
// tag's list in the file 'readAt' reads; nullopt when it cannot be done
// safely: a damaged tag, no "moov", a file of fragments, a box on the way
// that cannot be read whole, a chunk offset into no data the new file keeps.
std::optional<Plan> planRewrite(const ReadAtFn& readAt, uint64_t fileSize, const Tag& old,
                                std::span<const uint8_t> newIlst, const RewriteOptions& options = {});

// Puts exactly these items into the file as its "ilst": in place (only the
// bytes that change are written) or through a new file. io::Error::Damaged
// for a file that is no MP4 file or one the plan refuses.
std::error_code writeItems(const std::string& path, const std::vector<Item>& items, const RewriteOptions& options = {});
// Reads the file's tag, applies the record and the changes (updated) and
// writes the items; nothing is written when nothing changes.
std::error_code writeTag(const std::string& path, const TagRecord& record, const TagChanges& changes);

}  // namespace qoro::tags::mp4
