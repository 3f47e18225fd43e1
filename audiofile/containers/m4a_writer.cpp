#include "containers/m4a_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "containers/settings.h"
#include "media/media_plugin.h"
#include "qoro/AudioFile.h"
#include "tags/mp4_write.h"

namespace qoro::audiofile {

namespace {

constexpr std::string_view kFiles = "M4A files";
// Room left after "moov" for tags written later in place.
constexpr uint32_t kTagRoom = 4096;
// Frames converted per call for 24-bit ALAC.
constexpr size_t kChunkFrames = 4096;

class M4aWriteTrack final : public WriteOnlyTrack {
public:
    M4aWriteTrack(const M4aSettings& settings, bool alac) : settings_(settings), alac_(alac) {
        kind_ = ContainerKind::Media;
    }

    // The settings and the plug-in are checked before the file is touched.
    int16_t start(const std::string& path) {
        const int channels = settings_.channels;
        const uint32_t rate = static_cast<uint32_t>(std::max<int32_t>(settings_.frequency, 0));
        const int bits = alac_ ? settings_.bits : 16;
        if (channels < 1 || channels > 8 || rate < kMinPcmRate || rate > kMaxPcmRate || (bits != 16 && bits != 24))
            return failWith(status::kFormatNotSupport, "the M4A settings are out of range");
        if (!media::writes()) return failWith(status::kFormatNotSupport, media::writeRefusal(kFiles));
        file_ = acm::makePcmFormat(rate, static_cast<uint16_t>(channels), static_cast<uint16_t>(bits));
        full_ = fullFormatOf(file_);
        if (bits > 16 || channels > 2) ownForm_ = file_;
        // AAC codes floats: many channels come as they are.
        if (!alac_ && channels > 2) file_ = ownForm_ = floatFormOf(rate, static_cast<uint16_t>(channels));

        qoro_media_encoding e{};
        e.size = sizeof e;
        std::strncpy(e.codec, alac_ ? "alac" : "aac", sizeof e.codec - 1);
        e.rate = static_cast<int32_t>(rate);
        e.channels = channels;
        e.bits = alac_ ? bits : 0;
        e.bitrate = alac_ ? 0 : int64_t{settings_.bitrate} * 1000;
        std::string why;
        writer_ = media::Writer::create(path, e, why, kFiles);
        if (!writer_) return failWith(status::kFormatNotSupport, why);
        path_ = path;
        return status::kOk;
    }

    void writeFloats(bool on) override {
        if (alac_ || wrote_ || settings_.channels > 2) return;
        const auto rate = file_.nSamplesPerSec;
        const auto channels = file_.nChannels;
        file_ = on ? floatFormOf(rate, channels) : acm::makePcmFormat(rate, channels, 16);
        ownForm_ = on ? file_ : WAVEFORMATEX{};
    }

    int16_t encode(const uint8_t* pcm, size_t bytes) override {
        if (failed_ || finished_) return failWith(status::kFileAccess, failed_ ? cause_ : "the file is closed");
        size_t frames = bytes / file_.nBlockAlign;
        wrote_ = wrote_ || frames > 0;
        if (file_.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT) return hand(QORO_MEDIA_F32, pcm, frames);
        if (file_.wBitsPerSample == 16) return hand(QORO_MEDIA_S16, pcm, frames);
        // 24-bit samples go as the top bits of 32.
        const size_t channels = file_.nChannels;
        while (frames > 0) {
            const size_t n = std::min(frames, kChunkFrames);
            wide_.resize(n * channels);
            for (size_t i = 0; i < n * channels; ++i, pcm += 3)
                wide_[i] = static_cast<int32_t>(static_cast<uint32_t>(pcm[0] << 8 | pcm[1] << 16 | pcm[2] << 24));
            if (const int16_t st = hand(QORO_MEDIA_S32, wide_.data(), n)) return st;
            frames -= n;
        }
        return status::kOk;
    }

    // The plug-in's last packets and index, then "moov" to the front with
    // the gapless item and room for tags.
    int16_t finish(uint64_t) override {
        if (failed_) return status::kFileAccess;
        if (std::exchange(finished_, true)) return failWith(status::kFileAccess, "the file is closed");
        qoro_media_written done{};
        done.size = sizeof done;
        if (!writer_.finish(done)) return failWith(status::kFileAccess, writer_.error());
        writer_ = {};
        // MP4 muxers leave out a track without samples: such a file holds no audio.
        if (done.frames == 0) return failWith(status::kFormatNotSupport, "an M4A file cannot hold no samples");
        std::vector<tags::mp4::Item> items;
        if (!alac_)
            items.push_back(tags::mp4::smpbItem({static_cast<uint32_t>(done.priming),
                                                 static_cast<uint32_t>(done.padding),
                                                 static_cast<uint64_t>(done.frames)}));
        if (auto ec = tags::mp4::writeItems(path_, items, {.moovFirst = true, .padding = kTagRoom}))
            return failWith(status::kFileAccess, "the finished M4A file cannot be laid out: " + ec.message());
        return status::kOk;
    }

    std::string describe() const override { return alac_ ? alacDescription(settings_) : aacDescription(settings_); }

private:
    int16_t hand(int sample, const void* in, size_t frames) {
        if (frames == 0 || writer_.write(sample, in, static_cast<long>(frames))) return status::kOk;
        failed_ = true;
        return failWith(status::kFileAccess, writer_.error());
    }

    M4aSettings settings_;
    bool alac_;
    media::Writer writer_;
    std::string path_;
    std::vector<int32_t> wide_;
    bool wrote_ = false;
    bool failed_ = false;
    bool finished_ = false;
};

template <bool Alac>
int16_t createM4a(const CreateRequest& request, std::unique_ptr<Track>& track) {
    if (!request.settings) return status::kFormatNotSupport;
    const OutputSettings& o = request.settings->output;
    auto t = std::make_unique<M4aWriteTrack>(Alac ? o.alac : o.aac, Alac);
    const int16_t st = t->start(request.path);
    if (st < 0) return refuse(request, st, t->cause());
    track = std::move(t);
    return status::kOk;
}

}  // namespace

int16_t createAac(const CreateRequest& request, std::unique_ptr<Track>& track) {
    return createM4a<false>(request, track);
}

int16_t createAlac(const CreateRequest& request, std::unique_ptr<Track>& track) {
    return createM4a<true>(request, track);
}

}  // namespace qoro::audiofile
