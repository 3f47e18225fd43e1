// The rewrite of an Ogg Vorbis file's comment header.
//
//   if (auto ec = audioinfo::writeOggComments(path, t, changes)) ...   // rebuilt through "path~"
//
// The comments after the write are those of tags/vorbis_comments.h
// (updatedVorbisComments, then the caller's changes): only the comments of
// the properties whose value differs from what reading the file gives are
// replaced, a field change by its name, a picture change as a
// "METADATA_BLOCK_PICTURE" comment of its kind. Every
// other comment, the vendor string, the identification and setup headers
// and every audio page stay as they were; only the page sequence numbers
// (and so the checksums) of the stream's later pages change when the new
// comment header needs another number of pages. A write that would change
// nothing leaves the file untouched.
#pragma once

#include <string>
#include <system_error>

#include "tags/tag_record.h"
#include "tags/vorbis_comments.h"

namespace qoro::audioinfo {

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
