// Vorbis comment lists as FLAC, Ogg Vorbis and Opus hold them: which
// comments the properties own, the fields and pictures beyond them, the
// changes a caller asks for, and the picture record of FLAC ("PICTURE"
// blocks, and base64 in "METADATA_BLOCK_PICTURE" comments).
//
//   vorbis::CommentBlock block;
//   size_t end = 0;
//   if (vorbis::parseCommentBlock(bytes, at, block, end)) {
//       vorbis::collectExtras(block.comments, extras);
//       auto after = vorbis::commentsAfter(block.comments, record, changes, true);
//   }
//
// The property rule: the comment names of the property fields ("Album",
// "Title", "Artist", "Comment", "Copyright", "Genre", "Composer", "URL",
// "EncodedBy", "Date", "TrackNumber", compared ignoring case).
//
//   tags::TagRecord t;
//   audioinfo::applyVorbisComments(entries, t);          // "ARTIST=A", "artist=B" -> "A; B"
//
// Writing changes only the comments of the properties whose value differs
// from what reading the comments gives: those are replaced by one comment
// each, at the place of the first one they replace (new ones at the end, in
// the order above); every other comment stays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tags/fields.h"
#include "tags/tag_record.h"

namespace qoro::audioinfo {

// Takes the properties from Vorbis comments ("NAME=value", names compared
// ignoring case): the texts from every comment of their name, joined with
// "; " in file order; the genre from the first "GENRE" (its name in the genre
// table, ignoring case, else 12); year and track from the leading number of
// the first "DATE" and "TRACKNUMBER". Properties without a comment are left
// as they are.
void applyVorbisComments(std::span<const std::string> comments, tags::TagRecord& record);

// The comments after writing 'record' over 'comments' (see the top of this
// file).
std::vector<std::string> updatedVorbisComments(const std::vector<std::string>& comments, const tags::TagRecord& record);

}  // namespace qoro::audioinfo

namespace qoro::audioinfo::vorbis {

// The comment name of the pictures held as comments.
inline constexpr std::string_view kPictureName = "METADATA_BLOCK_PICTURE";

// The most comments one list may hold.
inline constexpr uint32_t kMaxComments = 1u << 20;

// The vendor string and the comments of a comment header ("NAME=value" each).
struct CommentBlock {
    std::string vendor;
    std::vector<std::string> comments;
};

// Reads a comment list at 'at': the vendor's 32-bit little-endian length and
// bytes, the count, each comment's length and bytes. 'end' is where it
// stops. False when a length runs past the bytes or the count is beyond
// kMaxComments.
bool parseCommentBlock(std::span<const uint8_t> bytes, size_t at, CommentBlock& block, size_t& end);
// The bytes of a comment list, appended to 'out'.
void appendCommentBlock(std::vector<uint8_t>& out, const CommentBlock& block);

// The name of a comment (before its first '='; the whole text when it has none).
std::string_view nameOf(std::string_view comment);
// Names compared as Vorbis comments compare them: ASCII letters ignoring case.
bool sameName(std::string_view a, std::string_view b);
// True when a property reads and writes comments of this name.
bool isPropertyName(std::string_view name);
// The property field comments of this name hold ("title", "DATE"), nullopt
// for any other name.
std::optional<tags::Field> fieldOfName(std::string_view name);
// A name a comment may carry: printable ASCII (0x20 to 0x7D) without '=', not empty.
bool isValidName(std::string_view name);

// What the properties do not own: every other comment as a field (its name
// as stored, in file order) and every picture comment that decodes.
// Appended to 'extras'.
void collectExtras(std::span<const std::string> comments, tags::TagExtras& extras);

// The comments after writing: the properties by updatedVorbisComments, then
// each field change (a value replaces every comment of the name by one at
// the place of the first, new ones at the end; an empty value removes
// them), then, when 'picturesAsComments', each picture change the same way
// on "METADATA_BLOCK_PICTURE" comments of its kind. std::errc::invalid_argument
// for a field name a comment cannot carry (nothing is changed then).
std::error_code commentsAfter(const std::vector<std::string>& comments, const tags::TagRecord& record,
                              const tags::TagChanges& changes, bool picturesAsComments,
                              std::vector<std::string>& out);

// --- Pictures ------------------------------------------------------------------
// The body of a FLAC "PICTURE" block (big-endian): kind, MIME type length and
// text, description length and UTF-8 text, width, height, depth, colours,
// data length and bytes. nullopt when a length runs past the body.
std::optional<tags::TagPicture> parsePicture(std::span<const uint8_t> body);
// The kind of a picture body (its first word), nullopt when too short.
std::optional<int> pictureKind(std::span<const uint8_t> body);
// The body for a picture; width, height and depth from a PNG or JPEG
// picture's own header, else 0.
std::vector<uint8_t> pictureBody(const tags::TagPicture& picture);

// The channels in the FLAC and Opus descriptions: "Mono", "Stereo", "6 channels".
std::string channelText(int channels);

// Base64 with padding (RFC 4648); decoding refuses any other character.
std::string base64Encode(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

// Applies picture changes to a sequence of items: a change with data
// replaces every item of its kind by make(change) at the place of the first
// (added at the end when there is none); one without data removes them.
// kindOf(item) gives the kind of an item that is a picture, else nullopt.
template <class T, class KindOf, class Make>
void applyPictureChanges(std::vector<T>& items, std::span<const tags::TagPicture> changes, KindOf kindOf,
                         Make make) {
    for (const tags::TagPicture& change : changes) {
        std::vector<T> out;
        out.reserve(items.size() + 1);
        bool placed = change.data.empty();
        for (T& item : items) {
            const std::optional<int> kind = kindOf(item);
            if (!kind || *kind != change.kind) {
                out.push_back(std::move(item));
            } else if (!placed) {
                out.push_back(make(change));
                placed = true;
            }
        }
        if (!placed) out.push_back(make(change));
        items = std::move(out);
    }
}

}  // namespace qoro::audioinfo::vorbis
