// The descriptive tags of one file as the AudioInformation object holds them.
// Texts are UTF-8.
#pragma once

#include <string>

#include "genre/genre.h"

namespace qoro::tags {

struct TagRecord {
    std::string title;            // infoTitle
    std::string artist;           // infoArtist
    std::string album;            // infoAlbum
    std::string comments;         // infoComments
    std::string copyright;        // infoCopyright
    std::string composer;         // infoComposer
    std::string url;              // infoURL
    std::string encodedBy;        // infoEncodedBy
    int year = 0;                 // infoYear, 0 = none
    int genre = genre::kDefault;  // infoGenre, index into the genre table
    int track = 0;                // infoTrack, 0 = none

    bool operator==(const TagRecord&) const = default;
};

}  // namespace qoro::tags
