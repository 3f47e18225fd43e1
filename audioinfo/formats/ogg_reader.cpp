// Ogg Vorbis facts and comments through libvorbisfile.
#include <vorbis/vorbisfile.h>

#include <cstdio>

#include "formats/readers.h"
#include "genre/genre.h"
#include "tags/text.h"

namespace qoro::audioinfo {

namespace {

// An open vorbisfile stream, cleared (which closes its file) on every path.
class VorbisFile {
public:
    bool open(const std::string& path) {
        open_ = ov_fopen(path.c_str(), &vf_) == 0;
        return open_;
    }
    ~VorbisFile() {
        if (open_) ov_clear(&vf_);
    }
    OggVorbis_File* get() { return &vf_; }

private:
    OggVorbis_File vf_{};
    bool open_ = false;
};

// The first comment of that name (names compared ignoring case), or null.
const char* comment(vorbis_comment* vc, const char* name) {
    return vorbis_comment_query(vc, name, 0);
}

void takeComments(vorbis_comment* vc, tags::TagRecord& t) {
    if (const char* v = comment(vc, "album")) t.album = v;
    if (const char* v = comment(vc, "copyright")) t.copyright = v;
    if (const char* v = comment(vc, "title")) t.title = v;
    if (const char* v = comment(vc, "artist")) t.artist = v;
    if (const char* v = comment(vc, "genre")) {
        const int index = genre::findIgnoringCase(v);
        t.genre = index >= 0 ? index : genre::kDefault;
    }
    if (const char* v = comment(vc, "date")) t.year = tags::text::leadingNumber(v);
    if (const char* v = comment(vc, "tracknumber")) t.track = tags::text::leadingNumber(v);
    if (const char* v = comment(vc, "comment")) t.comments = v;
    if (const char* v = comment(vc, "composer")) t.composer = v;
    if (const char* v = comment(vc, "encodedby")) t.encodedBy = v;
    if (const char* v = comment(vc, "url")) t.url = v;
}

}  // namespace

bool readOgg(const std::string& path, Facts& facts, tags::TagRecord& tags) {
    const int64_t length = fileLength(path);
    if (length < 0) return false;
    VorbisFile vf;
    if (!vf.open(path)) return false;
    vorbis_info* vi = ov_info(vf.get(), 0);
    if (!vi || vi->rate <= 0) return false;

    facts.size = low32(static_cast<uint64_t>(length));
    facts.frequency = static_cast<int32_t>(vi->rate);
    facts.channels = vi->channels;
    facts.bitrate = static_cast<int32_t>(vi->bitrate_nominal / 1000);
    facts.formatTag = 1;
    facts.bitsPerSample = 16;
    const ogg_int64_t total = ov_pcm_total(vf.get(), -1);
    const int64_t samples = total > 0 ? total : 0;
    facts.samples = low32(static_cast<uint64_t>(samples));
    const int32_t ms = mulDiv(samples, 1000, vi->rate);
    facts.duration = ms < 0 ? 0 : ms;
    facts.description = "Ogg Vorbis " + std::to_string(vi->rate) + (vi->channels == 1 ? " Hz; Mono; " : " Hz; Stereo; ") +
                        std::to_string(facts.bitrate) + " Kbps; ";

    if (vorbis_comment* vc = ov_comment(vf.get(), 0)) takeComments(vc, tags);
    return true;
}

int probeOgg(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    OggVorbis_File vf{};
    if (ov_test(f, &vf, nullptr, 0) != 0) {
        std::fclose(f);  // vorbisfile leaves the file to us when it refuses it
        return 0;
    }
    ov_clear(&vf);  // closes f
    return 1;
}

}  // namespace qoro::audioinfo
