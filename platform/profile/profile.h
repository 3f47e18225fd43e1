// Initialisation files ("OPTION.INI"): our stand-in for the Windows
// private-profile functions.
//
//   #include "profile/profile.h"          (target qoro_profile)
//
//   char dir[260];
//   profile::getString("Settings", "WaveDir", "Wrong directory", dir, sizeof dir, iniPath);
//   profile::writeString("Settings", "WaveDir", "/home/me/Wave Files/", iniPath);
//
// File layout: "[section]" lines open sections; "key=value" lines inside them
// hold values. Section and key names compare without regard to ASCII case;
// blanks around names and values are ignored, and a value enclosed in a pair
// of double quotes is read without them. Lines starting with ';' or '#' and
// lines without '=' are comments. The first matching section and, in it, the
// first matching key count.
//
// Writes change one line (or add one) and keep every other line of the file
// byte for byte; they go through a temporary file beside the file that then
// replaces it (replace::Temporary), so a failure never leaves a half-written
// file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qoro::profile {

// GetPrivateProfileStringA: copies the value of key in section (or, when the
// key or the file is missing, defaultText without its trailing blanks) into
// buffer, truncated to size - 1 characters and zero-terminated. Returns the
// number of characters copied, without the terminating zero. A size of 0
// copies nothing and returns 0.
size_t getString(std::string_view section, std::string_view key, std::string_view defaultText, char* buffer,
                 size_t size, const std::string& file);

// The same as a string: at most size - 1 characters of the value or default.
std::string getString(std::string_view section, std::string_view key, std::string_view defaultText, size_t size,
                      const std::string& file);

// The value itself, or nothing when the key (or the file) is missing.
std::optional<std::string> find(std::string_view section, std::string_view key, const std::string& file);

// GetPrivateProfileIntA: the leading decimal number of the value (blanks and
// one sign allowed in front), 0 when the value starts with no digit, and
// defaultValue when the key is missing. Values beyond 32 bits saturate.
int getInt(std::string_view section, std::string_view key, int defaultValue, const std::string& file);

// WritePrivateProfileStringA: sets key in section to value, creating the file
// and the section when missing. Names must be non-empty, free of line breaks,
// a key may not contain '=' nor a section ']'; values may not hold line
// breaks. False when refused or when the file cannot be written (it is then
// left as it was).
bool writeString(std::string_view section, std::string_view key, std::string_view value, const std::string& file);

// WritePrivateProfileStringA with a null value: removes key from section.
// True when the key is gone afterwards (also when it never was there).
bool removeKey(std::string_view section, std::string_view key, const std::string& file);

// Replaces a whole file with text: a new file beside it (the old one's mode
// and owner, or 0666 less the umask) is on the disk before it is renamed into
// place, and the rename is made durable. A link is followed, so it stays a
// link; anything but a file of that name is left alone. On failure the old
// file is untouched and no temporary file is left.
bool replaceFile(const std::string& file, const std::string& text);

}  // namespace qoro::profile
