// The files the media plug-in reads: facts from the plug-in (headers or a
// walk over the packets, never a decode), tags from our own readers where
// the format's tag is one we keep (APEv2 at the end of WavPack, Monkey's
// Audio, TTA and Musepack SV8 files, the "ilst" items of MP4 files, the
// ID3v2 tag of DSF files), else from
// the container's metadata as the plug-in gives it, under the field map's
// names.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string_view>

#include "io/file_rewrite.h"
#include "media/media_plugin.h"
#include "probe/signature.h"
#include "readers/readers.h"
#include "tags/apev2.h"
#include "tags/fields.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "tags/mp4_tags.h"
#include "tags/tails.h"
#include "tags/text.h"
#include "tags/vorbis_comments.h"

namespace qoro::audioinfo {

namespace {

tags::ReadAtFn readerOf(const io::Reader& in) {
    return [&in](uint64_t at, uint8_t* data, size_t n) { return in.readAt(at, data, n); };
}

// WAVE format tags of the codecs that have one.
int32_t formatTagOf(std::string_view codec) {
    struct Tag {
        std::string_view codec;
        int32_t tag;
    };
    static constexpr Tag kTags[] = {{"aac", 0x00FF},   {"wmav1", 0x0160},       {"wmav2", 0x0161},
                                    {"wmapro", 0x0162}, {"wmalossless", 0x0163}, {"ac3", 0x2000},
                                    {"wavpack", 0x5756}, {"flac", 0xF1AC},        {"opus", 0x704F}};
    for (const Tag& t : kTags)
        if (t.codec == codec) return t.tag;
    return 0;
}

// The field map's name of a key as FFmpeg's libraries give container
// metadata: their own generic names ("album_artist") and the ASF names
// ("WM/AlbumArtist", "MusicBrainz/Track Id"); "" for a key to keep as it
// stands (Matroska and Vorbis names are the map's already).
std::string_view mapNameOf(std::string_view key) {
    struct Name {
        std::string_view key, name;
    };
    static constexpr Name kNames[] = {
        {"title", "TITLE"},
        {"artist", "ARTIST"},
        {"album", "ALBUM"},
        {"album_artist", "ALBUMARTIST"},
        {"comment", "COMMENT"},
        {"composer", "COMPOSER"},
        {"copyright", "COPYRIGHT"},
        {"date", "DATE"},
        {"genre", "GENRE"},
        {"track", "TRACKNUMBER"},
        {"disc", "DISCNUMBER"},
        {"encoder", "ENCODER"},
        {"encoded_by", "ENCODEDBY"},
        {"performer", "PERFORMER"},
        {"publisher", "LABEL"},
        {"lyrics", "LYRICS"},
        {"language", "LANGUAGE"},
        {"grouping", "GROUPING"},
        {"compilation", "COMPILATION"},
        {"Author", "ARTIST"},
        {"Description", "COMMENT"},
        {"WM/AlbumTitle", "ALBUM"},
        {"WM/AlbumArtist", "ALBUMARTIST"},
        {"WM/Year", "DATE"},
        {"WM/Genre", "GENRE"},
        {"WM/TrackNumber", "TRACKNUMBER"},
        {"WM/PartOfSet", "DISCNUMBER"},
        {"WM/Composer", "COMPOSER"},
        {"WM/Conductor", "CONDUCTOR"},
        {"WM/Publisher", "LABEL"},
        {"WM/Lyrics", "LYRICS"},
        {"WM/BeatsPerMinute", "BPM"},
        {"WM/ContentGroupDescription", "GROUPING"},
        {"WM/EncodedBy", "ENCODEDBY"},
        {"WM/ISRC", "ISRC"},
        {"WM/Mood", "MOOD"},
        {"WM/IsCompilation", "COMPILATION"},
        {"WM/SubTitle", "SUBTITLE"},
        {"WM/Writer", "LYRICIST"},
        {"MusicBrainz/Track Id", "MUSICBRAINZ_TRACKID"},
        {"MusicBrainz/Album Id", "MUSICBRAINZ_ALBUMID"},
        {"MusicBrainz/Artist Id", "MUSICBRAINZ_ARTISTID"},
        {"MusicBrainz/Album Artist Id", "MUSICBRAINZ_ALBUMARTISTID"},
        {"MusicBrainz/Release Group Id", "MUSICBRAINZ_RELEASEGROUPID"},
    };
    for (const Name& n : kNames)
        if (tags::text::sameIgnoringCase(n.key, key)) return n.name;
    return {};
}

// The container's metadata as Vorbis comments: "2/12" of a track or disc
// becomes the number and its total; keys of the libraries' own (the
// container's brand, its creation time) are left out.
std::vector<std::string> commentsOf(const media::File& file) {
    std::vector<std::string> comments;
    std::string_view key, value;
    for (int i = 0; file.tag(i, key, value); ++i) {
        if (value.empty() || key.empty()) continue;
        if (key == "major_brand" || key == "minor_version" || key == "compatible_brands" ||
            key == "creation_time" || key == "handler_name" || key == "vendor_id")
            continue;
        std::string name(mapNameOf(key));
        if (name.empty()) name = key;
        if (name.find('=') != std::string::npos) continue;
        const size_t slash = value.find('/');
        if ((name == "TRACKNUMBER" || name == "DISCNUMBER") && slash != std::string_view::npos) {
            comments.push_back(name + "=" + std::string(value.substr(0, slash)));
            const std::string_view total = value.substr(slash + 1);
            if (!total.empty()) comments.push_back((name == "TRACKNUMBER" ? "TRACKTOTAL=" : "DISCTOTAL=") + std::string(total));
            continue;
        }
        comments.push_back(name + "=" + std::string(value));
    }
    return comments;
}

void takeContainerTags(const media::File& file, tags::TagRecord& record, tags::TagExtras& extras) {
    const std::vector<std::string> comments = commentsOf(file);
    applyVorbisComments(comments, record);
    vorbis::collectExtras(comments, extras);
    std::string_view data, mime;
    for (int i = 0; file.picture(i, data, mime); ++i) {
        tags::TagPicture p;
        p.mimeType = mime;
        p.data.assign(data.begin(), data.end());
        extras.pictures.push_back(std::move(p));
    }
}

// The APEv2 tag at the end of the file; false when it has none (or one that
// cannot be read).
bool takeApeTags(const std::string& path, tags::TagRecord& record, tags::TagExtras& extras) {
    io::Reader in(path);
    if (!in.ok()) return false;
    const tags::FileTails tails = tags::findTails(readerOf(in), in.size());
    if (tails.ape.empty()) return false;
    const auto tag = tags::ape::readTag(readerOf(in), tails.ape);
    if (!tag) return false;
    tags::ape::applyTo(*tag, record, extras);
    return true;
}

// A DSF file's ID3v2 tag: where the 64-bit pointer at byte 20 of its "DSD "
// chunk says.
bool takeDsfTags(const std::string& path, tags::TagRecord& record, tags::TagExtras& extras) {
    io::Reader in(path);
    uint8_t head[28] = {};
    if (!in.ok() || in.readAt(0, head, sizeof head) != sizeof head || std::memcmp(head, "DSD ", 4) != 0) return false;
    uint64_t at = 0;
    for (int i = 7; i >= 0; --i) at = at << 8 | head[20 + i];
    if (at == 0 || at >= in.size() || in.size() - at < tags::kId3v2HeaderSize) return false;
    uint8_t h[tags::kId3v2HeaderSize];
    if (in.readAt(at, h, sizeof h) != sizeof h) return false;
    const auto total = tags::id3v2TotalSize(h);
    if (!total || *total > in.size() - at) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(*total));
    if (in.readAt(at, bytes.data(), bytes.size()) != bytes.size()) return false;
    const auto tag = tags::parseId3v2(bytes);
    if (!tag) return false;
    tag->applyTo(record);
    tags::TagExtras more = tag->extras();
    extras.fields.insert(extras.fields.end(), more.fields.begin(), more.fields.end());
    extras.pictures.insert(extras.pictures.end(), more.pictures.begin(), more.pictures.end());
    return true;
}

}  // namespace

bool readMedia(const std::string& path, const MediaRead& how, Facts& facts, tags::TagRecord& tags,
               tags::TagExtras& extras, std::string* cause) {
    std::string why;
    const media::File file = media::File::open(path, why, how.files);
    if (!file) {
        if (cause) *cause = media::plugin() ? std::string(how.inWords) + " that cannot be read: " + why : why;
        return false;
    }
    const qoro_media_facts& f = file.facts();
    facts.frequency = f.rate;
    facts.channels = f.channels;
    facts.bitsPerSample = f.lossless && f.bits > 0 ? f.bits : 16;
    facts.formatTag = formatTagOf(f.codec);
    facts.bitrate = saturated32(static_cast<uint64_t>(std::max<int64_t>(f.bitrate, 0)));
    facts.size = sizeFact(fileLength(path));
    if (f.frames >= 0) {
        facts.samples = saturated32(static_cast<uint64_t>(f.frames));
        facts.duration = saturated32((static_cast<uint64_t>(f.frames) * 1000 + static_cast<uint64_t>(f.rate) / 2) /
                                     static_cast<uint64_t>(f.rate));
    } else if (f.duration > 0) {
        facts.duration = saturated32(static_cast<uint64_t>(std::llround(f.duration * 1000)));
        facts.samples = saturated32(static_cast<uint64_t>(std::llround(f.duration * f.rate)));
    }
    facts.description = media::describe(f);

    bool own = false;
    switch (how.tags) {
    case MediaTags::Ape: own = takeApeTags(path, tags, extras); break;
    case MediaTags::Dsf: own = takeDsfTags(path, tags, extras); break;
    case MediaTags::Mp4:
        // The items are the file's tags even when there are none: what the
        // container names beside them would come back as items on a write.
        if (const auto tag = tags::mp4::readTag(path)) {
            tags::mp4::applyTo(*tag, tags, extras);
            own = true;
        }
        break;
    case MediaTags::Container: break;
    }
    if (!own) takeContainerTags(file, tags, extras);
    return true;
}

bool mediaStream(const std::string& path) {
    if (!media::plugin()) return true;
    std::string why;
    return static_cast<bool>(media::File::open(path, why));
}

std::error_code writeApeTail(const std::string& path, const tags::TagRecord& record, const tags::TagChanges& changes) {
    io::Reader in(path);
    if (!in.ok()) return in.error();
    const tags::FileTails tails = tags::findTails(readerOf(in), in.size());
    std::optional<tags::ape::Tag> old;
    if (!tails.ape.empty()) {
        // A tag that cannot be read is left as it is rather than replaced.
        old = tags::ape::readTag(readerOf(in), tails.ape);
        if (!old) return io::make_error_code(io::Error::Damaged);
    }
    const tags::ape::Tag after = tags::ape::updated(old.value_or(tags::ape::Tag{}), record, changes);
    if (after.items == (old ? old->items : std::vector<tags::ape::Item>{})) {
        if (old) return {};  // nothing changes
    } else {
        // The audio, the new tag, then whatever followed the old one
        // (Lyrics3, ID3v1), built beside the file and put in its place.
        std::vector<uint8_t> bytes;
        if (!after.items.empty()) {
            auto serialized = tags::ape::serialize(after);
            if (!serialized) return io::make_error_code(io::Error::TooLarge);
            bytes = std::move(*serialized);
        }
        io::Rewrite out(path);
        out.copyFrom(in.fd(), 0, tails.contentEnd);
        out.write(bytes);
        out.copyFrom(in.fd(), tails.contentEnd + tails.ape.size);
        if (auto ec = out.commit()) return ec;
    }
    if (tails.id3v1.empty()) return {};
    // The ID3v1 tag the file has stays last, with the values the APEv2 tag
    // now gives.
    tags::TagRecord values;
    tags::TagExtras ignored;
    tags::ape::applyTo(after, values, ignored);
    return tags::writeId3v1Mpc(path, values);
}

}  // namespace qoro::audioinfo
