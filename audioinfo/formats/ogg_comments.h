// Rewriting the comment header of an Ogg Vorbis file.
//
//   audioinfo::writeOggComments(path, tags);   // through "path.ogg"
//
// The identification and setup headers and every audio packet are kept as
// they are; the comment header is replaced by the record's comments ("Album",
// "Title", "Artist", "Comment", "Copyright", "Genre", "Composer", "URL",
// "EncodedBy", "Date", "TrackNumber", each when it has a value) followed by
// the file's other comments, under the file's own vendor string.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tags/tag_record.h"

namespace qoro::audioinfo {

// The "NAME=value" comments the record gives, in writing order.
std::vector<std::string> vorbisCommentsOf(const tags::TagRecord& tags);

// Copies the Ogg Vorbis stream of 'in' to 'out' with a new comment header
// holding 'comments' and then the comments of the file whose names are not
// among those the record sets. False when the input has no Vorbis stream at
// its start, its headers are damaged or cut short, or a write fails.
bool rewriteVorbisComments(std::FILE* in, std::FILE* out, const std::vector<std::string>& comments);

// Rewrites the file through the temporary "path.ogg", which replaces the file
// only when it was written completely. On failure the file stays untouched
// and the temporary is removed.
bool writeOggComments(const std::string& path, const tags::TagRecord& tags);

}  // namespace qoro::audioinfo
