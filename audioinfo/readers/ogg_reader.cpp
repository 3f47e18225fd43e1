// Ogg Vorbis facts and comments through libvorbisfile.
#include <vorbis/vorbisfile.h>

#include <cstdio>
#include <vector>

#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "tags/vorbis_comments.h"

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

// The comments of the stream as "NAME=value" texts.
std::vector<std::string> commentsOf(const vorbis_comment& vc) {
    std::vector<std::string> out;
    for (int i = 0; i < vc.comments; ++i)
        if (vc.user_comments[i] && vc.comment_lengths[i] >= 0)
            out.emplace_back(vc.user_comments[i], static_cast<size_t>(vc.comment_lengths[i]));
    return out;
}

}  // namespace

bool readOgg(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras* extras) {
    const int64_t length = fileLength(path);
    if (length < 0) return false;
    VorbisFile vf;
    if (!vf.open(path)) return false;
    vorbis_info* vi = ov_info(vf.get(), 0);
    if (!vi || vi->rate <= 0) return false;

    facts.size = sizeFact(length);
    facts.frequency = static_cast<int32_t>(vi->rate);
    facts.channels = vi->channels;
    facts.bitrate = static_cast<int32_t>(vi->bitrate_nominal / 1000);
    facts.formatTag = 1;
    facts.bitsPerSample = 16;
    const ogg_int64_t total = ov_pcm_total(vf.get(), -1);
    const int64_t samples = total > 0 ? total : 0;
    facts.samples = saturated32(static_cast<uint64_t>(samples));
    const int32_t ms = mulDiv(samples, 1000, vi->rate);
    facts.duration = ms >= 0 ? ms : samples > 0 ? INT32_MAX : 0;  // longer than 24 days: saturated
    facts.description = "Ogg Vorbis " + std::to_string(vi->rate) +
                        (vi->channels == 1 ? " Hz; Mono; " : " Hz; Stereo; ") + std::to_string(facts.bitrate) +
                        " Kbps; ";

    if (vorbis_comment* vc = ov_comment(vf.get(), 0)) {
        const std::vector<std::string> comments = commentsOf(*vc);
        applyVorbisComments(comments, tags);
        if (extras) vorbis::collectExtras(comments, *extras);
    }
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
