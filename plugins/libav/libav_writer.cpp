// The writing half of the media plug-in: AAC-LC (libavcodec's own encoder)
// and ALAC in an MP4 file made by libavformat's "ipod" muxer (the M4A brand).
//
// The muxer writes "moov" after the audio, with an edit list that starts the
// music after the encoder's priming and ends it at its last sample: the
// movie's time scale is the sample rate, so that the edit's length is the
// exact number of frames handed in. Files are written through our own
// AVIOContext over a descriptor (a name is a file, never a URL); the caller
// moves "moov" to the front afterwards, with its tags and room for more.
#include "libav_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "libav_common.h"

namespace {

constexpr int kIoBuffer = 64 * 1024;
constexpr int kMaxChannels = 8;

// The file behind the muxer's AVIOContext: written at `pos`, seekable.
struct Sink {
    int fd = -1;
    int64_t pos = 0;
    int64_t size = 0;
    int error = 0;  // the first errno of a failed write
};

int sinkWrite(void* opaque, uint8_t* buf, int size) {
    auto* s = static_cast<Sink*>(opaque);
    int64_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(s->fd, buf + done, static_cast<size_t>(size - done), s->pos + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            s->error = n < 0 ? errno : ENOSPC;
            return AVERROR(s->error);
        }
        done += n;
    }
    s->pos += done;
    s->size = std::max(s->size, s->pos);
    return size;
}

int64_t sinkSeek(void* opaque, int64_t offset, int whence) {
    auto* s = static_cast<Sink*>(opaque);
    return qoro::libav::seekIn(s->pos, s->size, offset, whence);
}

// The WAVE speaker bits a channel count has when a file names none.
uint64_t usualMask(int channels) {
    static constexpr uint64_t kMasks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    return channels >= 1 && channels <= kMaxChannels ? kMasks[channels] : 0;
}

}  // namespace

struct qoro_media_writer {
    Sink sink;
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* st = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* pkt = nullptr;
    int channels = 0;
    int bits = 0;                 // ALAC's stored bits; 0 for AAC
    int frameSize = 0;            // frames per encoder call
    int filled = 0;               // frames in `frame` so far
    int64_t pts = 0;
    int64_t frames = 0;
    int64_t packets = 0;
    bool started = false;         // the header is written
    bool failed = false;
    bool finished = false;
    std::string error;

    ~qoro_media_writer() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&enc);
        if (fmt) fmt->pb = nullptr;
        avformat_free_context(fmt);
        if (io) av_freep(&io->buffer);
        avio_context_free(&io);
        if (sink.fd >= 0) ::close(sink.fd);
    }
};

namespace qoro::libav {

namespace {

bool fail(qoro_media_writer* w, std::string cause) {
    w->failed = true;
    w->error = std::move(cause);
    return false;
}

// The cause of a failed muxer or encoder call: a failed write of ours in the
// system's words, else libav's.
bool failWith(qoro_media_writer* w, std::string_view what, int code) {
    if (w->sink.error) return fail(w, std::strerror(w->sink.error));
    return fail(w, causeOf(what, code));
}

// The channel layout the encoder is given: the file's speakers when the
// encoder takes them, else the encoder's own layout of that many channels
// (ALAC names 5.1 with side speakers, WAVE files mostly with back ones: the
// channels keep their order).
bool chooseLayout(const AVCodec* codec, int channels, uint64_t mask, AVChannelLayout& out) {
    if (!mask || av_popcount64(mask) != channels) mask = usualMask(channels);
    if (av_channel_layout_from_mask(&out, mask) < 0) return false;
    if (!codec->ch_layouts) return true;
    const AVChannelLayout* sameCount = nullptr;
    for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
        if (av_channel_layout_compare(l, &out) == 0) return true;
        if (!sameCount && l->nb_channels == channels) sameCount = l;
    }
    if (!sameCount) return false;
    av_channel_layout_uninit(&out);
    return av_channel_layout_copy(&out, sameCount) == 0;
}

bool supportsRate(const AVCodec* codec, int rate) {
    if (!codec->supported_samplerates) return true;
    for (const int* r = codec->supported_samplerates; *r; ++r)
        if (*r == rate) return true;
    return false;
}

bool setUpEncoder(qoro_media_writer* w, const qoro_media_encoding& e) {
    const std::string_view name(e.codec, strnlen(e.codec, sizeof e.codec));
    const bool aac = name == "aac";
    if (!aac && name != "alac") return fail(w, "no encoder for the codec '" + std::string(name) + "'");
    const AVCodec* codec = avcodec_find_encoder(aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_ALAC);
    if (!codec) return fail(w, "this libavcodec has no " + std::string(aac ? "AAC" : "ALAC") + " encoder");
    if (e.channels < 1 || e.channels > kMaxChannels) return fail(w, "1 to 8 channels are written");
    if (e.rate < 1 || !supportsRate(codec, e.rate))
        return fail(w, "the " + std::string(aac ? "AAC" : "ALAC") + " encoder takes no rate of " +
                           std::to_string(e.rate) + " Hz");
    if (!aac && e.bits != 16 && e.bits != 24) return fail(w, "ALAC is written with 16 or 24 bits");
    if (aac && (e.bitrate < 8000 || e.bitrate > 512000 * int64_t{e.channels}))
        return fail(w, "the AAC bitrate is out of range");

    w->enc = avcodec_alloc_context3(codec);
    if (!w->enc) return fail(w, "out of memory");
    AVCodecContext* c = w->enc;
    if (!chooseLayout(codec, e.channels, e.channel_mask, c->ch_layout))
        return fail(w, "the encoder takes no layout of " + std::to_string(e.channels) + " channels");
    c->sample_rate = e.rate;
    c->time_base = AVRational{1, e.rate};
    if (aac) {
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        c->bit_rate = e.bitrate;
        c->profile = FF_PROFILE_AAC_LOW;
    } else {
        c->sample_fmt = e.bits == 16 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P;
        c->bits_per_raw_sample = e.bits;
    }
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
    const int r = avcodec_open2(c, codec, nullptr);
    if (r < 0) return fail(w, causeOf("the encoder refused the settings", r));
    w->channels = e.channels;
    w->bits = aac ? 0 : e.bits;
    // A variable frame size (none of these two) would take any count.
    w->frameSize = c->frame_size > 0 ? c->frame_size : 4096;
    w->frame = av_frame_alloc();
    w->pkt = av_packet_alloc();
    if (!w->frame || !w->pkt) return fail(w, "out of memory");
    w->frame->format = c->sample_fmt;
    w->frame->nb_samples = w->frameSize;
    w->frame->sample_rate = c->sample_rate;
    if (av_channel_layout_copy(&w->frame->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(w->frame, 0) < 0)
        return fail(w, "out of memory");
    return true;
}

bool setUpMuxer(qoro_media_writer* w, const char* path) {
    const AVOutputFormat* format = av_guess_format("ipod", nullptr, nullptr);
    if (!format) return fail(w, "this libavformat has no MP4 muxer");
    if (avformat_alloc_output_context2(&w->fmt, format, nullptr, nullptr) < 0 || !w->fmt)
        return fail(w, "out of memory");
    w->fmt->flags |= AVFMT_FLAG_BITEXACT;  // no encoder tag of its own: the caller writes the tags
    w->st = avformat_new_stream(w->fmt, nullptr);
    if (!w->st || avcodec_parameters_from_context(w->st->codecpar, w->enc) < 0) return fail(w, "out of memory");
    w->st->time_base = w->enc->time_base;

    w->sink.fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (w->sink.fd < 0) return fail(w, std::strerror(errno));
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    w->io = buffer ? avio_alloc_context(buffer, kIoBuffer, 1, &w->sink, nullptr, sinkWrite, sinkSeek) : nullptr;
    if (!w->io) {
        av_free(buffer);
        return fail(w, "out of memory");
    }
    w->io->seekable = AVIO_SEEKABLE_NORMAL;
    w->fmt->pb = w->io;

    AVDictionary* options = nullptr;
    // The edit list in samples, not milliseconds: the length is exact.
    av_dict_set_int(&options, "movie_timescale", w->enc->sample_rate, 0);
    const int r = avformat_write_header(w->fmt, &options);
    av_dict_free(&options);
    if (r < 0) return failWith(w, "the MP4 header cannot be written", r);
    w->started = true;
    return true;
}

// Hands every packet the encoder has ready to the muxer.
bool drain(qoro_media_writer* w) {
    for (;;) {
        int r = avcodec_receive_packet(w->enc, w->pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return failWith(w, "the encoder failed", r);
        ++w->packets;
        w->pkt->stream_index = w->st->index;
        av_packet_rescale_ts(w->pkt, w->enc->time_base, w->st->time_base);
        r = av_write_frame(w->fmt, w->pkt);
        av_packet_unref(w->pkt);
        if (r < 0) return failWith(w, "the audio cannot be written", r);
    }
}

bool sendFrame(qoro_media_writer* w) {
    if (w->filled == 0) return true;
    w->frame->nb_samples = w->filled;
    w->frame->pts = w->pts;
    w->pts += w->filled;
    w->filled = 0;
    const int r = avcodec_send_frame(w->enc, w->frame);
    if (r < 0) return failWith(w, "the encoder failed", r);
    if (!drain(w)) return false;
    // The encoder may keep a reference to the buffer it was handed.
    if (av_frame_make_writable(w->frame) < 0) return fail(w, "out of memory");
    w->frame->nb_samples = w->frameSize;
    return true;
}

// One sample of the caller's kind as the encoder's: floats for AAC, 16-bit
// or 32-bit integers for ALAC (24-bit samples come in the top bits of 32).
template <class In>
void deinterleave(qoro_media_writer* w, const In* in, int count) {
    const int channels = w->channels;
    for (int c = 0; c < channels; ++c) {
        const In* from = in + c;
        uint8_t* plane = w->frame->extended_data[c];
        if (w->bits == 0) {
            float* out = reinterpret_cast<float*>(plane) + w->filled;
            for (int i = 0; i < count; ++i, from += channels) {
                if constexpr (std::is_same_v<In, float>) out[i] = *from;
                else if constexpr (std::is_same_v<In, int16_t>) out[i] = *from * (1.0f / (1 << 15));
                else out[i] = static_cast<float>(*from) * (1.0f / static_cast<float>(1U << 31));
            }
        } else if (w->bits == 16) {
            int16_t* out = reinterpret_cast<int16_t*>(plane) + w->filled;
            for (int i = 0; i < count; ++i, from += channels) {
                if constexpr (std::is_same_v<In, float>)
                    out[i] = static_cast<int16_t>(std::clamp(std::lrintf(*from * 32768.0f), -32768L, 32767L));
                else if constexpr (std::is_same_v<In, int16_t>) out[i] = *from;
                else out[i] = static_cast<int16_t>(*from >> 16);
            }
        } else {
            // libavcodec's ALAC takes 24-bit samples in the top bits of 32.
            int32_t* out = reinterpret_cast<int32_t*>(plane) + w->filled;
            for (int i = 0; i < count; ++i, from += channels) {
                int32_t v;
                if constexpr (std::is_same_v<In, float>)
                    v = static_cast<int32_t>(std::clamp(std::llrint(double(*from) * 8388608.0), -8388608LL, 8388607LL))
                        << 8;
                else if constexpr (std::is_same_v<In, int16_t>) v = static_cast<int32_t>(uint32_t(uint16_t(*from)) << 16);
                else v = static_cast<int32_t>(static_cast<uint32_t>(*from) & 0xFFFFFF00u);
                out[i] = v;
            }
        }
    }
}

template <class In>
bool writeAll(qoro_media_writer* w, const In* in, long frames) {
    while (frames > 0) {
        const int n = static_cast<int>(std::min<long>(frames, w->frameSize - w->filled));
        deinterleave(w, in, n);
        w->filled += n;
        w->frames += n;
        in += static_cast<ptrdiff_t>(n) * w->channels;
        frames -= n;
        if (w->filled == w->frameSize && !sendFrame(w)) return false;
    }
    return true;
}

}  // namespace

qoro_media_writer* createWriter(const char* path, const qoro_media_encoding* e, char* error, size_t errorSize) {
    setUpLibav();
    clearLog();
    copyText(error, errorSize, "");
    if (!path || !*path || !e || e->size < sizeof(qoro_media_encoding)) {
        copyText(error, errorSize, "no file or encoding named");
        return nullptr;
    }
    auto* w = new (std::nothrow) qoro_media_writer;
    if (!w) {
        copyText(error, errorSize, "out of memory");
        return nullptr;
    }
    if (!setUpEncoder(w, *e) || !setUpMuxer(w, path)) {
        copyText(error, errorSize, w->error);
        // A file this call created and could not start goes again.
        const bool made = w->sink.fd >= 0;
        delete w;
        if (made) ::unlink(path);
        return nullptr;
    }
    return w;
}

int writeFrames(qoro_media_writer* w, int sample, const void* in, long frames) {
    if (!w) return -1;
    if (w->failed) return -1;
    if (w->finished) return fail(w, "the file is finished"), -1;
    if (frames <= 0) return 0;
    clearLog();
    bool ok = false;
    switch (sample) {
    case QORO_MEDIA_S16: ok = writeAll(w, static_cast<const int16_t*>(in), frames); break;
    case QORO_MEDIA_S32: ok = writeAll(w, static_cast<const int32_t*>(in), frames); break;
    case QORO_MEDIA_F32: ok = writeAll(w, static_cast<const float*>(in), frames); break;
    default: return fail(w, "no such sample kind"), -1;
    }
    return ok ? 0 : -1;
}

int finishWriter(qoro_media_writer* w, qoro_media_written* out) {
    if (!w || w->failed) return -1;
    if (w->finished) return fail(w, "the file is finished"), -1;
    w->finished = true;
    clearLog();
    if (!sendFrame(w)) return -1;
    int r = avcodec_send_frame(w->enc, nullptr);
    if (r < 0) return failWith(w, "the encoder failed", r), -1;
    if (!drain(w)) return -1;
    r = av_write_trailer(w->fmt);
    if (r < 0 || w->sink.error) return failWith(w, "the MP4 index cannot be written", r), -1;
    avio_flush(w->io);
    if (w->sink.error) return fail(w, std::strerror(w->sink.error)), -1;
    if (::close(std::exchange(w->sink.fd, -1)) != 0) return fail(w, std::strerror(errno)), -1;
    if (out && out->size >= sizeof(qoro_media_written)) {
        const int64_t priming = std::max(0, w->enc->initial_padding);
        out->priming = static_cast<int32_t>(priming);
        out->frames = w->frames;
        out->packets = w->packets;
        const int64_t coded = w->packets * w->frameSize;
        out->padding = static_cast<int32_t>(std::max<int64_t>(0, coded - priming - w->frames));
    }
    return 0;
}

void closeWriter(qoro_media_writer* w) { delete w; }

const char* writerError(const qoro_media_writer* w) { return w ? w->error.c_str() : "no file"; }

}  // namespace qoro::libav
