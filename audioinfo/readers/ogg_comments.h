// Vorbis comments: how the information component reads them, and the
// rewrite of an Ogg Vorbis file's comment header.
//
//   tags::TagRecord t;
//   audioinfo::applyVorbisComments(entries, t);          // "ARTIST=A", "artist=B" -> "A; B"
//   if (auto ec = audioinfo::writeOggComments(path, t, changes)) ...   // rebuilt through "path~"
//
// Writing changes only the comments of the properties whose value differs
// from what reading the file gives: those are replaced by one comment each
// ("Album", "Title", "Artist", "Comment", "Copyright", "Genre", "Composer",
// "URL", "EncodedBy", "Date", "TrackNumber"), at the place of the first one
// they replace (new ones at the end). Then the caller's changes
// (tags::TagChanges) land the same way: a field by its name, a picture as a
// "METADATA_BLOCK_PICTURE" comment of its kind (vorbis_comments.h). Every
// other comment, the vendor string, the identification and setup headers
// and every audio page stay as they were; only the page sequence numbers
// (and so the checksums) of the stream's later pages change when the new
// comment header needs another number of pages. A write that would change
// nothing leaves the file untouched.
#pragma once

#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "tags/tag_record.h"

namespace qoro::audioinfo {

// Takes the properties from Vorbis comments ("NAME=value", names compared
// ignoring case): the texts from every comment of their name, joined with
// "; " in file order; the genre from the first "GENRE" (its name in the genre
// table, ignoring case, else 12); year and track from the leading number of
// the first "DATE" and "TRACKNUMBER". Properties without a comment are left
// as they are.
void applyVorbisComments(std::span<const std::string> comments, tags::TagRecord& record);

// The comments after writing 'record' over a file holding 'comments' (see
// the top of this file).
std::vector<std::string> updatedVorbisComments(const std::vector<std::string>& comments, const tags::TagRecord& record);

// Rewrites the file's comment header through "path~", which replaces the
// file only when it was written completely (mode, owner and symbolic links
// kept). The error, or none: io::Error::Damaged when the file does not start
// with a whole Ogg Vorbis header section (the first page within the first
// 4096 bytes, three valid header packets, the setup header ending its page),
// io::Error::TooLarge when the new header would pass 128 MiB,
// std::errc::invalid_argument for a field name no comment can carry, else
// the system's error. On failure the file is left as it was.
std::error_code writeOggComments(const std::string& path, const tags::TagRecord& tags,
                                 const tags::TagChanges& changes = {});

}  // namespace qoro::audioinfo
