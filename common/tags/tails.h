// The tags a file may end with: APEv2, Lyrics3 and ID3v1, found from the end.
//
//   tags::FileTails t = tags::findTails(path);
//   t.contentEnd;               // where the audio ends
//   if (!t.ape.empty()) ...     // t.ape.offset, t.ape.size
#pragma once

#include <cstdint>
#include <string>

#include "tags/id3v2.h"  // ReadAtFn

namespace qoro::tags {

struct ByteRange {
    uint64_t offset = 0, size = 0;
    bool empty() const { return size == 0; }
    uint64_t end() const { return offset + size; }
};

// The tags a file may end with, in file order: an APEv2 tag (header included
// when it has one), a Lyrics3 tag (v2 "LYRICSBEGIN".."LYRICS200" with its
// 6-digit size, or v1 "LYRICSBEGIN".."LYRICSEND"), an ID3v1 tag (the last 128
// bytes beginning "TAG"). Each may be absent; any order of presence works (APE
// alone, APE+ID3v1, APE+Lyrics3+ID3v1, Lyrics3+ID3v1, ID3v1 alone). A damaged
// or implausible tail (sizes beyond the file) is not taken.
struct FileTails {
    ByteRange ape, lyrics3, id3v1;
    uint64_t contentEnd = 0;  // where the first tail begins (file size when none): the end of the audio
};

FileTails findTails(const ReadAtFn& readAt, uint64_t fileSize);
// contentEnd 0 and no tails when the file cannot be read.
FileTails findTails(const std::string& path);

}  // namespace qoro::tags
