// The AIFF and AIFF-C reader of the information component, its content
// probe and its tag writer (as the readers of readers.h, for AIFF forms).
#pragma once

#include <string>
#include <system_error>

#include "readers/facts.h"
#include "tags/tag_record.h"

namespace qoro::audioinfo {

// Facts of an AIFF or AIFF-C form from "COMM" and "SSND": the 80-bit rate to
// the nearest Hz, the samples' container bits, the sample frames "COMM"
// counts as far as "SSND" holds them, bitrate = rate x channels x bits,
// format tag 1 for integers (big- or little-endian) and 3 for floats, and
// the description of the wave format record of the same samples. Tags from
// the text chunks ("NAME" title, "AUTH" artist, "(c) " copyright, every
// "ANNO" joined with "; " as comments; Latin-1 unless UTF-8) and from the
// first "ID3 " (or "id3 ") chunk read as the MPEG reader reads ID3v2, whose
// fields win where both hold one; its "TXXX" frames and pictures go to
// 'extras'. False when the file is not a FORM "AIFF"/"AIFC" with a readable
// "COMM", or its samples are compressed.
bool readAiff(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras);
// 1 when the file holds a FORM "AIFF" or "AIFC", 0 when not, -2 when it cannot be opened.
int probeAiff(const std::string& path);
// Rewrites the text chunks and the "ID3 " chunk (the file is rebuilt beside
// itself and put in its place): a changed property replaces its text chunks
// by one in the place of the first (a value beyond Latin-1 leaves it out; an
// empty value removes it) and goes into the ID3v2 tag, rebuilt as the MPEG
// writer builds it (unchanged frames, frames of other kinds and pictures
// kept; 'changes' as there) in the place of the first "ID3 " chunk, or at
// the end. New text chunks go after "COMM". Every other chunk stays byte for
// byte and in its order. Only the properties whose value differs from what
// reading gives, and the changes, are written; a write that changes nothing
// leaves the file alone. io::Error::Damaged, and nothing written, for a file
// that is not such a form or has a chunk cut short.
std::error_code writeAiffTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes);

}  // namespace qoro::audioinfo
