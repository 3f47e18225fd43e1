#include "ogg_file_state.h"

#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qoro::audiofile::ogg {

namespace {

constexpr long kReadFrames = 1024;     // frames asked of the library per read call
constexpr size_t kWriteFrames = 4096;  // frames handed to the analysis per step
constexpr int kMaxHoles = 4096;        // holes skipped in one read before giving up

long toBps(int kbps) { return kbps < 0 ? -1 : static_cast<long>(kbps) * 1000; }

}  // namespace

EncoderSetup encoderSetupFor(const OggEncoderParams& p) {
    EncoderSetup s;
    if (p.quality >= 0) {
        s.managed = false;
        s.quality = static_cast<float>(std::min(p.quality, 1000)) * 0.001f;
        return s;
    }
    s.nominalBps = toBps(p.nominalKbps);
    s.minBps = p.minKbps < 0 ? s.nominalBps : toBps(p.minKbps);
    s.maxBps = p.maxKbps < 0 ? s.nominalBps : toBps(p.maxKbps);
    return s;
}

OggFileState::~OggFileState() { close(); }

// --- reading ----------------------------------------------------------------

int OggFileState::openRead(const std::string& path) {
    close();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return status::kFileAccess;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return status::kFileAccess;
    }
    fileBytes_ = static_cast<uint64_t>(size);
    vf_ = {};
    if (ov_open(f, &vf_, nullptr, 0) < 0) {  // on failure the file stays ours to close
        std::fclose(f);
        return status::kFormatNotSupport;
    }
    const vorbis_info* info = ov_info(&vf_, 0);
    if (info == nullptr || info->channels < 1 || info->rate < 1) {
        ov_clear(&vf_);
        return status::kFormatNotSupport;
    }
    mode_ = Mode::Reading;
    channels_ = info->channels;
    rate_ = info->rate;
    nominalKbps_ = info->bitrate_nominal > 0 ? info->bitrate_nominal / 1000 : 0;
    const ogg_int64_t total = ov_pcm_total(&vf_, -1);
    totalFrames_ = total > 0 ? static_cast<uint64_t>(total) : 0;
    return status::kOk;
}

size_t OggFileState::read(uint8_t* dst, size_t bytes) {
    if (mode_ != Mode::Reading || dst == nullptr) return 0;
    const size_t align = static_cast<size_t>(blockAlign());
    bytes -= bytes % align;
    size_t filled = 0;
    int holes = 0;
    while (filled < bytes) {
        const size_t want = std::min(static_cast<size_t>(kReadFrames) * align, bytes - filled);
        int link = 0;
        const long got = ov_read(&vf_, reinterpret_cast<char*>(dst + filled), static_cast<int>(want), 0, 2, 1, &link);
        if (got == 0) break;  // end of the stream
        if (got < 0) {
            if (got == OV_HOLE && ++holes < kMaxHoles) continue;  // lost or corrupt data: go on behind it
            break;
        }
        // A chained link with another channel count cannot continue this
        // interleaving; the stream ends for us there.
        const vorbis_info* info = ov_info(&vf_, link);
        if (info == nullptr || info->channels != channels_) break;
        filled += static_cast<size_t>(got);
    }
    return filled;
}

size_t OggFileState::readFloat(uint8_t* dst, size_t bytes, int (*channelOf)(int channels, int i)) {
    if (mode_ != Mode::Reading || dst == nullptr) return 0;
    const size_t align = 4 * static_cast<size_t>(channels_);
    const size_t frames = bytes / align;
    size_t filled = 0;
    int holes = 0;
    while (filled < frames) {
        float** pcm = nullptr;
        int link = 0;
        const int want = static_cast<int>(std::min<size_t>(kReadFrames, frames - filled));
        const long got = ov_read_float(&vf_, &pcm, want, &link);
        if (got == 0) break;
        if (got < 0) {
            if (got == OV_HOLE && ++holes < kMaxHoles) continue;
            break;
        }
        const vorbis_info* info = ov_info(&vf_, link);
        if (info == nullptr || info->channels != channels_) break;
        for (int c = 0; c < channels_; ++c) {
            const float* from = pcm[channelOf(channels_, c)];
            uint8_t* to = dst + filled * align + 4 * static_cast<size_t>(c);
            for (long i = 0; i < got; ++i, to += align) std::memcpy(to, from + i, 4);
        }
        filled += static_cast<size_t>(got);
    }
    return filled * align;
}

int OggFileState::seekFrame(uint64_t frame) {
    if (mode_ != Mode::Reading) return status::kFileAccess;
    frame = std::min(frame, totalFrames_);
    if (ov_pcm_seek(&vf_, static_cast<ogg_int64_t>(frame)) != 0) return status::kFileAccess;
    return status::kOk;
}

uint64_t OggFileState::filePosition() {
    if (mode_ != Mode::Reading) return 0;
    const ogg_int64_t pos = ov_raw_tell(&vf_);
    return pos > 0 ? static_cast<uint64_t>(pos) : 0;
}

uint64_t OggFileState::framePosition() {
    if (mode_ != Mode::Reading) return 0;
    const ogg_int64_t pos = ov_pcm_tell(&vf_);
    return pos > 0 ? static_cast<uint64_t>(pos) : 0;
}

// --- writing ----------------------------------------------------------------

int OggFileState::create(const std::string& path, const OggEncoderParams& params) {
    close();
    vorbis_info_init(&vi_);
    const EncoderSetup setup = encoderSetupFor(params);
    const int ret = setup.managed ? vorbis_encode_init(&vi_, params.channels, params.rate, setup.maxBps,
                                                       setup.nominalBps, setup.minBps)
                                  : vorbis_encode_init_vbr(&vi_, params.channels, params.rate, setup.quality);
    if (ret != 0) {
        vorbis_info_clear(&vi_);
        return status::kFormatNotSupport;
    }
    error_ = 0;
    out_ = std::fopen(path.c_str(), "wb");
    if (out_ == nullptr) {
        error_ = errno;
        vorbis_info_clear(&vi_);
        return status::kFileAccess;
    }
    vorbis_comment_init(&vc_);
    vorbis_analysis_init(&vd_, &vi_);
    vorbis_block_init(&vd_, &vb_);
    ogg_stream_init(&os_, 0);
    mode_ = Mode::Writing;
    eosWritten_ = false;
    channels_ = vi_.channels;
    rate_ = vi_.rate;
    nominalKbps_ = vi_.bitrate_nominal > 0 ? vi_.bitrate_nominal / 1000 : 0;

    ogg_packet header, comments, codebooks;
    vorbis_analysis_headerout(&vd_, &vc_, &header, &comments, &codebooks);
    ogg_stream_packetin(&os_, &header);
    ogg_stream_packetin(&os_, &comments);
    ogg_stream_packetin(&os_, &codebooks);
    ogg_page page;
    while (ogg_stream_flush(&os_, &page) != 0) {
        if (!writePage(page)) {
            eosWritten_ = true;  // nothing more goes into this file
            close();
            return status::kPageWrite;
        }
    }
    return status::kOk;
}

bool OggFileState::writePage(const ogg_page& page) {
    const size_t head = static_cast<size_t>(page.header_len);
    const size_t body = static_cast<size_t>(page.body_len);
    if (std::fwrite(page.header, 1, head, out_) == head && std::fwrite(page.body, 1, body, out_) == body) return true;
    if (error_ == 0) error_ = errno;
    return false;
}

long OggFileState::encodeAvailable() {
    long written = 0;
    while (vorbis_analysis_blockout(&vd_, &vb_) == 1) {
        vorbis_analysis(&vb_, nullptr);
        vorbis_bitrate_addblock(&vb_);
        ogg_packet packet;
        while (vorbis_bitrate_flushpacket(&vd_, &packet) == 1) {
            ogg_stream_packetin(&os_, &packet);
            ogg_page page;
            while (!eosWritten_ && ogg_stream_pageout(&os_, &page) != 0) {
                if (!writePage(page)) return status::kPageWrite;
                written += page.header_len + page.body_len;
                if (ogg_page_eos(&page) != 0) eosWritten_ = true;
            }
        }
    }
    return written;
}

template <class Put>
long OggFileState::encodeFrames(size_t frames, Put&& put) {
    long written = 0;
    while (frames > 0) {
        const size_t n = std::min(frames, kWriteFrames);
        float** buffer = vorbis_analysis_buffer(&vd_, static_cast<int>(n));
        for (size_t i = 0; i < n; ++i) put(buffer, i);
        vorbis_analysis_wrote(&vd_, static_cast<int>(n));
        const long w = encodeAvailable();
        if (w < 0) return w;
        written += w;
        frames -= n;
    }
    return written;
}

long OggFileState::write(const uint8_t* pcm, size_t bytes) {
    if (mode_ != Mode::Writing) return status::kFileAccess;
    if (channels_ != 1 && channels_ != 2) return 0;
    if (pcm == nullptr || eosWritten_) return 0;
    return encodeFrames(bytes / 2 / static_cast<size_t>(channels_), [&](float** buffer, size_t i) {
        for (int c = 0; c < channels_; ++c, pcm += 2)
            buffer[c][i] = static_cast<float>(static_cast<int16_t>(pcm[0] | pcm[1] << 8)) * (1.0f / 32768.0f);
    });
}

long OggFileState::writeFloat(const uint8_t* samples, size_t bytes, int (*channelOf)(int channels, int i)) {
    if (mode_ != Mode::Writing) return status::kFileAccess;
    if (samples == nullptr || eosWritten_ || channels_ < 1) return 0;
    return encodeFrames(bytes / 4 / static_cast<size_t>(channels_), [&](float** buffer, size_t i) {
        for (int c = 0; c < channels_; ++c, samples += 4) std::memcpy(&buffer[channelOf(channels_, c)][i], samples, 4);
    });
}

int OggFileState::close() {
    int result = status::kOk;
    if (mode_ == Mode::Reading) {
        ov_clear(&vf_);  // closes the file as well
    } else if (mode_ == Mode::Writing) {
        if (!eosWritten_) {
            vorbis_analysis_wrote(&vd_, 0);  // end of the stream
            if (encodeAvailable() < 0) result = status::kPageWrite;
            ogg_page page;
            while (result == status::kOk && !eosWritten_ && ogg_stream_flush(&os_, &page) != 0) {
                if (!writePage(page)) result = status::kPageWrite;
                if (ogg_page_eos(&page) != 0) eosWritten_ = true;
            }
        }
        ogg_stream_clear(&os_);
        vorbis_block_clear(&vb_);
        vorbis_dsp_clear(&vd_);
        vorbis_comment_clear(&vc_);
        vorbis_info_clear(&vi_);
        if (std::fclose(out_) != 0 && result == status::kOk) {
            if (error_ == 0) error_ = errno;
            result = status::kFileAccess;
        }
        out_ = nullptr;
    }
    mode_ = Mode::Closed;
    channels_ = 0;
    rate_ = 0;
    nominalKbps_ = 0;
    fileBytes_ = 0;
    totalFrames_ = 0;
    return result;
}

}  // namespace qoro::audiofile::ogg
