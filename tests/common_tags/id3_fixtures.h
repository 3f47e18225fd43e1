// Rich MP3 files for the ID3 suites, made the way users' files are made: lame
// encodes, mutagen (or our own small writer, for version 2.2, which mutagen
// does not write) tags, ffmpeg draws the cover. And mutagen's view of a tag,
// to compare two files the way an outside program sees them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "test_support.h"

namespace qoro::test::id3 {

// An MP3 of 'seconds' of a stereo test signal, encoded by lame at 128 kbit/s
// (so it begins with lame's "Info" frame). Needs sox-free tools only: lame.
fs::path lameMp3(const TempDir& dir, const std::string& name, double seconds = 2.0);

// A JPEG of about 30 KB drawn by ffmpeg.
fs::path coverJpeg(const TempDir& dir);

// A PNG of 160x120 drawn by ffmpeg.
fs::path pngCover(const TempDir& dir);

// A copy of 'audio' tagged by mutagen with version 'version' (3 or 4): TIT2
// "Old Title", TPE1 with two values, TALB, TRCK "3/12", TCON "Chillwave",
// TDRC "2011-03-04", APIC (the cover), TXXX, USLT, POPM, PRIV, GEOB, UFID,
// TPOS, COMM "eng" and "deu" with empty descriptions, an iTunNORM COMM, TSOP,
// WXXX, and an ID3v1 tag at the end. Fails the test when mutagen fails.
fs::path mutagenTagged(const fs::path& audio, const fs::path& out, int version, const fs::path& cover);

// A copy of 'audio' with a version 2.2 tag written by our own small writer:
// TT2, TP1 (UTF-16), TAL, TRK "3/12", TYE, TCO "(17)", COM in two languages
// and an iTunNORM one, PIC (JPG, the cover), TXX, ULT, POP, UFI, TPA, GEO,
// and one frame 2.3 has no counterpart for ("CRM").
fs::path ownV22Tagged(const fs::path& audio, const fs::path& out, const fs::path& cover);

// mutagen's view of the difference of two files' ID3v2 tags after both are
// turned into version 2.3 frames (mutagen's update_to_v23): one line
// "DIFF <key>: <before> | <after>" per frame that differs (text encodings
// left out of the comparison), then "VERSION <a> <b>", "FRAMES <a> <b>"
// (how many frames each has).
std::string mutagenDiff(const fs::path& before, const fs::path& after);

// One frame as mutagen reads it ("TIT2" -> "['New']"), after update_to_v23.
std::string mutagenFrame(const fs::path& file, const std::string& key);

// mutagen's reading of a file's user texts and pictures: "TXXX <desc>=<values
// joined by |>" lines, then "APIC <type> <mime> <desc>" lines; the bytes of
// picture n go to the file "<pictures>.<n>".
std::string mutagenExtras(const fs::path& file, const fs::path& pictures);

// Where the audio begins: after every ID3v2 tag the bytes begin with (our own
// count from the headers, independent of the code under test).
size_t tagsEnd(const std::vector<uint8_t>& bytes);
// How many ID3v2 headers stand one after another at the start.
int tagCount(const std::vector<uint8_t>& bytes);

// Runs 'write' in a child process whose files may not grow beyond 'limit'
// bytes, as on a full disk; the error it returned ("<value> <message>"), or
// "crashed".
std::string writeWithFileSizeLimit(uint64_t limit, const std::function<std::error_code()>& write);

}  // namespace qoro::test::id3
