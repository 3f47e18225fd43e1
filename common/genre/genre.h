// The genre table of ID3 tags (index 0..147), shared by ID3v1/ID3v2, RIFF
// "IGNR" and Vorbis "genre" handling.
//
//   #include "genre/genre.h"        (target qoro_common_genre)
//   qoro::genre::toString(17)              -> "Rock"
//   qoro::genre::findIgnoringCase("rock")  -> 17
#pragma once

#include <string_view>

namespace qoro::genre {

inline constexpr int kCount = 148;
// Index used wherever a genre is unknown: "Other".
inline constexpr int kDefault = 12;

// The name at index (0..kCount-1); any other index gives the name of kDefault.
std::string_view toString(int index);

// True for 0..kCount-1.
constexpr bool isValid(int index) { return index >= 0 && index < kCount; }

// The first index whose name equals text exactly (case-sensitive), or -1.
int findExact(std::string_view text);

// The first index whose name equals text without regard to ASCII case, or -1.
int findIgnoringCase(std::string_view text);

}  // namespace qoro::genre
