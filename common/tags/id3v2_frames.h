// The insides of ID3v2 frames: encoded strings, the text of the frames the
// object manages, and the translation of 2.2 and 2.4 frames into version 2.3.
// Used by the tag reader and writer (tags/id3v2.h); the functions here work on
// one frame at a time and never read outside the bytes they are given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tags/id3v2.h"

namespace qoro::tags::id3v2 {

// Text encodings: 0 ISO-8859-1, 1 UTF-16 with byte-order mark, 2 UTF-16BE,
// 3 UTF-8. Any other byte is read as ISO-8859-1.
inline constexpr uint8_t kLatin1 = 0, kUtf16 = 1, kUtf16Be = 2, kUtf8 = 3;

// The bytes of one string in an encoding, up to its terminator (one zero
// byte, or two at an even offset for UTF-16), and the bytes after the
// terminator. 'terminated' is false when the string runs to the end.
struct Piece {
    std::string_view text;
    std::string_view rest;
    bool terminated = false;
};
Piece nextString(std::string_view bytes, uint8_t encoding);

// Decodes the bytes of one string (without terminator) to UTF-8. For UTF-16
// a byte-order mark decides the order; without one 'bigEndian' does, and is
// updated to what the mark said (values after the first may omit the mark).
std::string decodeString(std::string_view bytes, uint8_t encoding, bool& bigEndian);
std::string decodeString(std::string_view bytes, uint8_t encoding);
// Every string of a list that runs to the end of the bytes; a terminator at
// the very end does not start another value.
std::vector<std::string> decodeList(std::string_view bytes, uint8_t encoding);

// UTF-8 text in an encoding (UTF-16 always with its mark), no terminator.
std::string encodeString(std::string_view utf8, uint8_t encoding);
std::string terminator(uint8_t encoding);

// The content of a frame in its version 2.3 form without the bytes a flag
// adds before it (group identifier); nullopt when the frame is compressed
// or encrypted.
std::optional<std::string_view> plainContent(const Id3v2RawFrame& frame);

// The values of a text frame ("T..." but "TXXX") in its 2.3 form.
std::vector<std::string> textValues(std::string_view content);

// A comment frame ("COMM") or URL frame with description ("WXXX").
struct Described {
    std::string language;     // three bytes ("COMM" only)
    std::string description;  // UTF-8
    std::string text;         // UTF-8: the comment, or the URL
};
std::optional<Described> readComment(std::string_view content);
std::optional<Described> readUserUrl(std::string_view content);

// A user text frame ("TXXX"): its description and its values joined with
// "; " (UTF-8). nullopt for content without an encoding byte.
std::optional<TagField> readUserText(std::string_view content);
// The same with the values apart (NUL-separated in the frame).
struct UserText {
    std::string description;
    std::vector<std::string> values;
};
std::optional<UserText> readUserTextValues(std::string_view content);
// A unique file identifier ("UFID"): the owner, then the identifier's bytes.
struct FileId {
    std::string owner;
    std::string identifier;
};
std::optional<FileId> readFileId(std::string_view content);
// A URL frame ("WOAR", "WCOM", ...; not "WXXX"): the address, ISO-8859-1.
std::string readUrl(std::string_view content);
// A picture frame ("APIC" in its 2.3 form): picture type, MIME type,
// description and the image bytes. nullopt for content cut short before the
// image data.
std::optional<TagPicture> readPicture(std::string_view content);

// A version 2.3 "TXXX" frame (ISO-8859-1 when description and value fit,
// else UTF-16 with byte-order mark).
Id3v2RawFrame userTextFrame(std::string_view description, std::string_view value);
// The same with several values, NUL-separated.
Id3v2RawFrame userTextFrame(std::string_view description, const std::vector<std::string>& values);
// A text frame ("TPE2") of several values, NUL-separated: ISO-8859-1 when all
// fit, else UTF-16 with byte-order mark.
Id3v2RawFrame textValuesFrame(std::string_view id, const std::vector<std::string>& values);
// A comment-like frame ("COMM", "USLT") with an empty description.
Id3v2RawFrame describedFrame(std::string_view id, std::string_view utf8, std::string_view language = "eng");
Id3v2RawFrame fileIdFrame(std::string_view owner, std::string_view identifier);
Id3v2RawFrame urlFrame(std::string_view id, std::string_view url);
// A version 2.3 "APIC" frame of a picture (MIME type as ISO-8859-1,
// description encoded as for "TXXX").
Id3v2RawFrame pictureFrame(const TagPicture& picture);

// A version 2.3 frame of one managed value. Text is ISO-8859-1 when it fits,
// else UTF-16 with byte-order mark; "WXXX" always ISO-8859-1 with an empty
// description; "COMM" in 'language' with an empty description.
Id3v2RawFrame managedFrame(Id3v2Frame frame, std::string_view utf8, std::string_view language = "eng");

// The four-letter identifier of a version 2.2 frame, empty when 2.3 has none.
std::string_view idFromV22(std::string_view id);

// The frames of a tag of the given version in their 2.3 form (see
// Id3v2Tag::framesAsV23).
std::vector<Id3v2RawFrame> toV23(int version, const std::vector<Id3v2RawFrame>& frames);

// A frame as it is stored in a version 2.3 tag: header and content.
void appendV23(std::vector<uint8_t>& out, const Id3v2RawFrame& frame);

}  // namespace qoro::tags::id3v2
