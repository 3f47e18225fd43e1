// The media plug-in over libavformat/libavcodec/libavutil 5.1.
//
// Opening reads the headers (avformat_find_stream_info), picks the best audio
// stream, discards every other stream but attached pictures, and walks the
// audio packets once without decoding them to count the sample frames the
// decode gives: packet durations, less the skip-sample side data at either
// end and the packets the demuxer marks as discarded. MP4 then caps the count
// by its edit list's length and by an iTunSMPB tag's stated length, which end
// the music before the padding of the last packet.
//
// Reading decodes (send_packet/receive_frame; libavcodec takes the priming
// off as the side data says) and converts whatever sample format the decoder
// gives to the kind asked for, interleaved, with the same arithmetic as
// libswresample, so that the samples equal ffmpeg's own "-f s16le", "-f
// s32le" and "-f f32le" output. Seeking goes back in the demuxer, flushes the
// decoder and decodes up to the target, placing frames by their timestamps.
//
// Files are reached through our own AVIOContext over a descriptor, and the
// demuxers may open nothing else (no protocols, no nested URLs, no
// playlists): a file cannot make the plug-in read other files or the network.
#include "libav_media.h"

#include "libav_common.h"
#include "libav_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qoro::libav {

namespace {

constexpr int kMaxChannels = 8;
constexpr int kIoBuffer = 64 * 1024;

// The demuxers a file may be read with: the formats of a music library.
// Everything that would open further files or URLs (playlists, concat, image
// sequences) is left out.
constexpr const char* kDemuxers =
    "mov,matroska,ogg,asf,wv,tta,ape,dsf,ac3,eac3,aac,mpc,mpc8,flac,mp3,wav,w64,aiff,caf,iff,au,oma,wsd,dff";

// ---- the file behind an AVIOContext ----

struct Source {
    int fd = -1;
    int64_t size = 0;
    int64_t pos = 0;
};

int sourceRead(void* opaque, uint8_t* buf, int size) {
    auto* s = static_cast<Source*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(s->fd, buf, static_cast<size_t>(size), s->pos);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        if (n == 0) return AVERROR_EOF;
        s->pos += n;
        return static_cast<int>(n);
    }
}

int64_t sourceSeek(void* opaque, int64_t offset, int whence) {
    auto* s = static_cast<Source*>(opaque);
    return seekIn(s->pos, s->size, offset, whence);
}

// Nested opens (MP4 data references, playlists, ...) are refused.
int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// ---- sample conversion, with libswresample's arithmetic ----

template <class Out>
struct To;

template <>
struct To<int16_t> {
    static int16_t u8(uint8_t v) { return static_cast<int16_t>((v - 0x80) * 256); }
    static int16_t s16(int16_t v) { return v; }
    static int16_t s32(int32_t v) { return static_cast<int16_t>(v >> 16); }
    static int16_t s64(int64_t v) { return static_cast<int16_t>(v >> 48); }
    static int16_t flt(float v) {
        const long r = std::lrintf(v * static_cast<float>(1 << 15));
        return static_cast<int16_t>(std::clamp<long>(r, -32768, 32767));
    }
    static int16_t dbl(double v) {
        const long r = std::lrint(v * static_cast<double>(1 << 15));
        return static_cast<int16_t>(std::clamp<long>(r, -32768, 32767));
    }
};

template <>
struct To<int32_t> {
    static int32_t u8(uint8_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v - 0x80) << 24); }
    static int32_t s16(int16_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 16); }
    static int32_t s32(int32_t v) { return v; }
    static int32_t s64(int64_t v) { return static_cast<int32_t>(v >> 32); }
    static int32_t flt(float v) {
        const long long r = std::llrintf(v * static_cast<float>(1U << 31));
        return static_cast<int32_t>(std::clamp<long long>(r, INT32_MIN, INT32_MAX));
    }
    static int32_t dbl(double v) {
        const long long r = std::llrint(v * static_cast<double>(1U << 31));
        return static_cast<int32_t>(std::clamp<long long>(r, INT32_MIN, INT32_MAX));
    }
};

template <>
struct To<float> {
    static float u8(uint8_t v) { return (v - 0x80) * (1.0f / (1 << 7)); }
    static float s16(int16_t v) { return v * (1.0f / (1 << 15)); }
    static float s32(int32_t v) { return static_cast<float>(v) * (1.0f / static_cast<float>(1U << 31)); }
    static float s64(int64_t v) { return static_cast<float>(static_cast<double>(v) * (1.0 / 9223372036854775808.0)); }
    static float flt(float v) { return v; }
    static float dbl(double v) { return static_cast<float>(v); }
};

// Converts `count` frames from `first` on of one decoded frame to `out`,
// interleaved.
template <class Out, class In, Out (*conv)(In)>
void convertFrames(const AVFrame* f, int channels, bool planar, int first, int count, Out* out) {
    if (planar) {
        for (int c = 0; c < channels; ++c) {
            const In* in = reinterpret_cast<const In*>(f->extended_data[c]) + first;
            Out* o = out + c;
            for (int i = 0; i < count; ++i, o += channels) *o = conv(in[i]);
        }
    } else {
        const In* in = reinterpret_cast<const In*>(f->extended_data[0]) + static_cast<ptrdiff_t>(first) * channels;
        const ptrdiff_t n = static_cast<ptrdiff_t>(count) * channels;
        for (ptrdiff_t i = 0; i < n; ++i) out[i] = conv(in[i]);
    }
}

template <class Out>
bool convertAs(const AVFrame* f, int channels, int first, int count, Out* out) {
    const auto fmt = static_cast<AVSampleFormat>(f->format);
    const bool planar = av_sample_fmt_is_planar(fmt) != 0;
    switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_U8: convertFrames<Out, uint8_t, To<Out>::u8>(f, channels, planar, first, count, out); return true;
        case AV_SAMPLE_FMT_S16: convertFrames<Out, int16_t, To<Out>::s16>(f, channels, planar, first, count, out); return true;
        case AV_SAMPLE_FMT_S32: convertFrames<Out, int32_t, To<Out>::s32>(f, channels, planar, first, count, out); return true;
        case AV_SAMPLE_FMT_S64: convertFrames<Out, int64_t, To<Out>::s64>(f, channels, planar, first, count, out); return true;
        case AV_SAMPLE_FMT_FLT: convertFrames<Out, float, To<Out>::flt>(f, channels, planar, first, count, out); return true;
        case AV_SAMPLE_FMT_DBL: convertFrames<Out, double, To<Out>::dbl>(f, channels, planar, first, count, out); return true;
        default: return false;
    }
}

// Whether a decoded frame holds what it says: a sample format we convert,
// a buffer per plane, each long enough for its samples.
bool frameUsable(const AVFrame* f, int channels) {
    const auto fmt = static_cast<AVSampleFormat>(f->format);
    if (f->nb_samples < 0 || fmt <= AV_SAMPLE_FMT_NONE || fmt >= AV_SAMPLE_FMT_NB || !f->extended_data) return false;
    const bool planar = av_sample_fmt_is_planar(fmt) != 0;
    const int64_t plane = static_cast<int64_t>(f->nb_samples) * av_get_bytes_per_sample(fmt) * (planar ? 1 : channels);
    if (plane > f->linesize[0]) return false;
    for (int c = 0; c < (planar ? channels : 1); ++c)
        if (!f->extended_data[c]) return false;
    return true;
}

size_t bytesOf(int sample) { return sample == QORO_MEDIA_S16 ? 2 : 4; }

// ---- small helpers over the file's facts ----

const char* pictureMime(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_MJPEG: return "image/jpeg";
        case AV_CODEC_ID_PNG: return "image/png";
        case AV_CODEC_ID_BMP: return "image/bmp";
        case AV_CODEC_ID_GIF: return "image/gif";
        case AV_CODEC_ID_WEBP: return "image/webp";
        case AV_CODEC_ID_TIFF: return "image/tiff";
        default: return "application/octet-stream";
    }
}

// The stated length of an iTunSMPB tag (" 00000000 00000840 0000037C
// 000000000000AC44 ..."): the fourth hex field; -1 when there is none.
int64_t itunesLength(const char* text) {
    if (!text) return -1;
    std::string_view s(text);
    int field = 0;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t j = i;
        uint64_t v = 0;
        while (j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j]))) {
            if (v >> 60) return -1;
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[j])));
            v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
            ++j;
        }
        if (j == i) return -1;
        if (field == 3) return v > 0 && v <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(v) : -1;
        ++field;
        i = j;
    }
    return -1;
}

// Samples of an Opus packet at 48 kHz from its table-of-contents byte
// (RFC 6716, 3.1); 0 for a packet too short to say.
int64_t opusSamples(const uint8_t* p, int size) {
    if (!p || size < 1) return 0;
    const int config = p[0] >> 3;
    int per;  // samples per frame at 48 kHz
    if (config < 12) per = (const int[]){480, 960, 1920, 2880}[config & 3];
    else if (config < 16) per = (config & 1) ? 960 : 480;
    else per = 120 << (config & 3);
    int frames;
    switch (p[0] & 3) {
        case 0: frames = 1; break;
        case 3:
            if (size < 2) return 0;
            frames = p[1] & 0x3F;
            break;
        default: frames = 2;
    }
    return static_cast<int64_t>(per) * frames;
}

// Samples of an AC-3 or E-AC-3 frame from its header (syncword 0x0B77):
// 1536 for AC-3 (bsid up to 10); for E-AC-3, 256 per audio block, whose
// number numblkscod gives (always 6 when fscod is 3).
int64_t ac3Samples(const uint8_t* p, int size) {
    if (!p || size < 6 || p[0] != 0x0B || p[1] != 0x77) return 0;
    const int bsid = p[5] >> 3;
    if (bsid <= 10) return 1536;
    if (bsid > 16) return 0;
    const int fscod = p[4] >> 6;
    const int numblkscod = fscod == 3 ? 3 : (p[4] >> 4) & 3;
    return 256 * (const int[]){1, 2, 3, 6}[numblkscod];
}

// The pre-skip an "OpusHead" states, 0 without one.
int64_t opusPreSkip(const AVCodecParameters* par) {
    if (!par->extradata || par->extradata_size < 19 || std::memcmp(par->extradata, "OpusHead", 8) != 0) return 0;
    return AV_RL16(par->extradata + 10);
}

// WMA v1/v2 frame length in samples, from the rate and version.
int64_t wmaFrameLength(AVCodecID id, int rate) {
    const bool v1 = id == AV_CODEC_ID_WMAV1;
    if (rate <= 16000) return 512;
    if (rate <= 22050 || (rate <= 32000 && v1)) return 1024;
    if (rate <= 48000) return 2048;
    return 4096;
}

// Whether a WMA v1/v2 stream packs frames into superframes (the bit
// reservoir), whose frame counts the packets alone do not make exact.
bool wmaReservoir(const AVCodecParameters* par) {
    const int at = par->codec_id == AV_CODEC_ID_WMAV1 ? 2 : 4;
    if (!par->extradata || par->extradata_size < at + 2) return true;
    return (AV_RL16(par->extradata + at) & 0x0002) != 0;
}

// Bits per sample a WavPack block header states ("wvpk", flags at 24: bytes
// per sample - 1 in bits 0-1, the shift of unused low bits in bits 13-17).
int wavpackBits(const uint8_t* p, int size) {
    if (!p || size < 32 || std::memcmp(p, "wvpk", 4) != 0) return 0;
    const uint32_t flags = AV_RL32(p + 24);
    if (flags & 0x80) return 32;  // float samples
    const int bits = static_cast<int>(((flags & 3) + 1) * 8 - ((flags >> 13) & 0x1F));
    return bits > 0 ? bits : 0;
}

bool isLossyOnly(const AVCodecDescriptor* d) {
    return !d || !(d->props & AV_CODEC_PROP_LOSSLESS);
}

}  // namespace

}  // namespace qoro::libav

// ---- one open file ----

struct qoro_media {
    struct Picture {
        std::vector<uint8_t> bytes;
        std::string mime;
    };

    qoro::libav::Source source;
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    const AVCodec* codec = nullptr;
    AVStream* st = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    int index = -1;

    qoro_media_facts facts{};
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<Picture> pictures;
    std::string error;

    // Where decoding stands: `pos` is the next sample frame read() gives;
    // the current decoded frame holds samples from `offset` on.
    int64_t pos = 0;
    int offset = 0;
    bool haveFrame = false;
    bool drained = false;    // the end was sent to the decoder
    bool finished = false;   // the decoder has given its last frame
    bool pendingFailure = false;
    // The timestamp (stream time base) of sample frame 0, and whether the
    // decode has confirmed it; frames after a seek are placed by it.
    int64_t zeroPts = 0;
    bool zeroKnown = false;
    int64_t firstPacketPts = AV_NOPTS_VALUE;
    bool exactPts = false;
    // After a seek: the frames before `target` are dropped.
    bool placing = false;
    int64_t target = 0;

    ~qoro_media() {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (source.fd >= 0) ::close(source.fd);
    }
};

namespace qoro::libav {

namespace {

bool fail(qoro_media* m, std::string cause) {
    m->error = std::move(cause);
    return false;
}


int64_t toSamples(const qoro_media* m, int64_t ts) {
    return av_rescale_q(ts, m->st->time_base, AVRational{1, m->facts.rate});
}

int64_t toPts(const qoro_media* m, int64_t samples) {
    return av_rescale_q(samples, AVRational{1, m->facts.rate}, m->st->time_base);
}

bool openDemuxer(qoro_media* m, const char* path) {
    m->source.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (m->source.fd < 0) return fail(m, std::string("the file cannot be opened: ") + std::strerror(errno));
    struct stat info {};
    if (::fstat(m->source.fd, &info) != 0 || !S_ISREG(info.st_mode)) return fail(m, "the path is not a regular file");
    m->source.size = info.st_size;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    if (!buffer) return fail(m, "out of memory");
    m->io = avio_alloc_context(buffer, kIoBuffer, 0, &m->source, sourceRead, nullptr, sourceSeek);
    if (!m->io) {
        av_free(buffer);
        return fail(m, "out of memory");
    }
    m->fmt = avformat_alloc_context();
    if (!m->fmt) return fail(m, "out of memory");
    m->fmt->pb = m->io;
    m->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    m->fmt->io_open = refuseOpen;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    clearLog();
    const int r = avformat_open_input(&m->fmt, path, nullptr, &options);
    av_dict_free(&options);
    if (r < 0) {
        // avformat_open_input frees the context on failure.
        m->fmt = nullptr;
        return fail(m, r == AVERROR_INVALIDDATA ? "the file is not of a kind the plug-in reads, or is damaged"
                                                : causeOf("the file cannot be read", r));
    }
    const int s = avformat_find_stream_info(m->fmt, nullptr);
    if (s < 0) return fail(m, causeOf("the file's streams cannot be read", s));
    return true;
}

// A fresh decoder for the stream: as at the start of the file, with the
// priming some decoders take off by themselves (Opus pre-skip) still to come.
bool startDecoder(qoro_media* m) {
    avcodec_free_context(&m->dec);
    m->dec = avcodec_alloc_context3(m->codec);
    if (!m->dec) return fail(m, "out of memory");
    if (avcodec_parameters_to_context(m->dec, m->st->codecpar) < 0) return fail(m, "the codec's parameters cannot be used");
    m->dec->pkt_timebase = m->st->time_base;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "threads", "1", 0);
    clearLog();
    const int r = avcodec_open2(m->dec, m->codec, &options);
    av_dict_free(&options);
    if (r < 0) return fail(m, causeOf(std::string("the decoder '") + m->codec->name + "' cannot start", r));
    return true;
}

bool openDecoder(qoro_media* m) {
    const AVCodec* codec = nullptr;
    const int best = av_find_best_stream(m->fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (best == AVERROR_STREAM_NOT_FOUND) return fail(m, "the file holds no audio stream");
    if (best < 0 || !codec) {
        int any = -1;
        for (unsigned i = 0; i < m->fmt->nb_streams; ++i)
            if (m->fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) any = static_cast<int>(i);
        if (any < 0) return fail(m, "the file holds no audio stream");
        const char* name = avcodec_get_name(m->fmt->streams[any]->codecpar->codec_id);
        return fail(m, std::string("no decoder for the codec '") + (name ? name : "?") + "'");
    }
    m->index = best;
    m->st = m->fmt->streams[best];
    const AVCodecParameters* par = m->st->codecpar;
    const int channels = par->ch_layout.nb_channels;
    if (channels < 1) return fail(m, "the audio stream names no channels");
    if (channels > kMaxChannels)
        return fail(m, "the audio stream has " + std::to_string(channels) + " channels; at most 8 are read");
    if (par->sample_rate <= 0) return fail(m, "the audio stream names no sample rate");

    // Only the audio stream and the pictures are read.
    for (unsigned i = 0; i < m->fmt->nb_streams; ++i) {
        AVStream* s = m->fmt->streams[i];
        if (static_cast<int>(i) != best && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) s->discard = AVDISCARD_ALL;
    }

    m->codec = codec;
    if (!startDecoder(m)) return false;
    if (m->dec->ch_layout.nb_channels != channels)
        return fail(m, "the decoder gives another number of channels than the file names");
    m->pkt = av_packet_alloc();
    m->frame = av_frame_alloc();
    if (!m->pkt || !m->frame) return fail(m, "out of memory");
    return true;
}

void collectTags(qoro_media* m) {
    for (const AVDictionary* d : {static_cast<const AVDictionary*>(m->fmt->metadata),
                                  static_cast<const AVDictionary*>(m->st->metadata)}) {
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX)))
            if (e->key && e->value) m->tags.emplace_back(e->key, e->value);
    }
}

void collectPictures(qoro_media* m) {
    for (unsigned i = 0; i < m->fmt->nb_streams; ++i) {
        const AVStream* s = m->fmt->streams[i];
        if (s->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            const AVPacket& p = s->attached_pic;
            if (!p.data || p.size <= 0) continue;
            m->pictures.push_back({std::vector<uint8_t>(p.data, p.data + p.size), pictureMime(s->codecpar->codec_id)});
        } else if (s->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT && s->codecpar->extradata &&
                   s->codecpar->extradata_size > 0) {
            const AVDictionaryEntry* mime = av_dict_get(s->metadata, "mimetype", nullptr, 0);
            if (!mime || !mime->value || std::strncmp(mime->value, "image/", 6) != 0) continue;
            const uint8_t* b = s->codecpar->extradata;
            m->pictures.push_back({std::vector<uint8_t>(b, b + s->codecpar->extradata_size), mime->value});
        }
    }
}

void describe(qoro_media* m) {
    qoro_media_facts& f = m->facts;
    const AVCodecParameters* par = m->st->codecpar;
    f.size = sizeof(qoro_media_facts);
    f.rate = par->sample_rate;
    f.channels = par->ch_layout.nb_channels;
    f.channel_mask = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                         ? static_cast<uint32_t>(par->ch_layout.u.mask & 0xFFFFFFFFu)
                         : 0;
    const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
    const bool dsd = par->codec_id >= AV_CODEC_ID_DSD_LSBF && par->codec_id <= AV_CODEC_ID_DSD_MSBF_PLANAR;
    f.lossless = !dsd && !isLossyOnly(d);
    auto sfmt = static_cast<AVSampleFormat>(par->format);
    if (sfmt == AV_SAMPLE_FMT_NONE) sfmt = m->dec->sample_fmt;
    const AVSampleFormat packed = av_get_packed_sample_fmt(sfmt);
    const bool floating = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
    if (f.lossless) {
        int bits = par->bits_per_raw_sample > 0 ? par->bits_per_raw_sample : m->dec->bits_per_raw_sample;
        if (bits <= 0) bits = av_get_bytes_per_sample(sfmt) * 8;
        f.bits = std::clamp(bits, 0, 64);
        f.sample = floating ? QORO_MEDIA_F32 : (f.bits > 0 && f.bits <= 16 ? QORO_MEDIA_S16 : QORO_MEDIA_S32);
    } else {
        f.bits = 0;
        f.sample = QORO_MEDIA_F32;
    }
    copyText(f.codec, sizeof f.codec, d && d->name ? d->name : avcodec_get_name(par->codec_id));
    copyText(f.codec_title, sizeof f.codec_title, d && d->long_name ? d->long_name : f.codec);
    copyText(f.container, sizeof f.container, m->fmt->iformat->name);
    const char* profile = avcodec_profile_name(par->codec_id, par->profile);
    copyText(f.profile, sizeof f.profile, profile ? profile : "");
    f.bitrate = par->bit_rate > 0 ? par->bit_rate : (m->fmt->bit_rate > 0 ? m->fmt->bit_rate : 0);
}

// Goes back to the first packet of the file for decoding from frame 0.
bool rewind(qoro_media* m) {
    int r = -1;
    if (m->firstPacketPts != AV_NOPTS_VALUE) r = av_seek_frame(m->fmt, m->index, m->firstPacketPts, AVSEEK_FLAG_BACKWARD);
    if (r < 0) r = av_seek_frame(m->fmt, m->index, std::numeric_limits<int64_t>::min() / 2, AVSEEK_FLAG_BACKWARD);
    if (r < 0) r = avformat_seek_file(m->fmt, m->index, std::numeric_limits<int64_t>::min(), 0, 0, 0);
    if (r < 0) r = av_seek_frame(m->fmt, -1, 0, AVSEEK_FLAG_BYTE);
    if (r < 0) return fail(m, causeOf("the file cannot be read again from its start", r));
    av_frame_unref(m->frame);
    if (!startDecoder(m)) return false;
    m->pos = 0;
    m->haveFrame = false;
    m->drained = m->finished = false;
    m->placing = false;
    return true;
}

int nextFrame(qoro_media* m);

// Counts the frames the decode gives by walking the packets, then rewinds.
// Durations come from the packets themselves where the container's are
// coarse (Matroska and ASF count milliseconds): Opus tables of contents,
// the Vorbis block sizes, WMA frames, DSD bytes.
bool count(qoro_media* m) {
    const AVCodecParameters* par = m->st->codecpar;
    const AVCodecID id = par->codec_id;
    const AVRational tb = m->st->time_base;
    const bool exactBase = tb.num == 1 && tb.den > 0 && tb.den % m->facts.rate == 0;
    const bool dsd = id >= AV_CODEC_ID_DSD_LSBF && id <= AV_CODEC_ID_DSD_MSBF_PLANAR;
    const bool wma = id == AV_CODEC_ID_WMAV1 || id == AV_CODEC_ID_WMAV2;
    const int64_t wmaFrame = wma ? wmaFrameLength(id, m->facts.rate) : 0;
    AVVorbisParseContext* vorbis =
        id == AV_CODEC_ID_VORBIS && par->extradata ? av_vorbis_parse_init(par->extradata, par->extradata_size) : nullptr;

    int64_t total = 0;
    bool known = !(wma && (wmaReservoir(par) || par->block_align <= 0));
    bool first = true;
    bool startSkipSeen = false;
    int64_t firstPts = AV_NOPTS_VALUE;
    int64_t lead = 0;  // samples before frame 0: discarded packets and priming
    bool leading = true;
    // Every packet takes at least a byte of the file, so the walk ends.
    const int64_t limit = m->source.size + 1024;
    int64_t packets = 0;
    for (;;) {
        const int r = av_read_frame(m->fmt, m->pkt);
        if (r < 0) break;
        if (++packets > limit) {
            av_packet_unref(m->pkt);
            known = false;
            break;
        }
        if (m->pkt->stream_index != m->index) {
            av_packet_unref(m->pkt);
            continue;
        }
        const AVPacket* p = m->pkt;
        int64_t d = 0;
        if (id == AV_CODEC_ID_OPUS) {
            d = opusSamples(p->data, p->size);
        } else if (vorbis) {
            d = std::max(0, av_vorbis_parse_frame(vorbis, p->data, p->size));
        } else if (!exactBase && (id == AV_CODEC_ID_AC3 || id == AV_CODEC_ID_EAC3)) {
            d = ac3Samples(p->data, p->size);
        } else if (dsd) {
            d = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), p->size);
        } else if (wma) {
            d = par->block_align > 0 ? (p->size / par->block_align) * wmaFrame : 0;
        } else if (p->duration > 0) {
            d = toSamples(m, p->duration);
            // A coarse time base must give whole samples.
            if (!exactBase && av_rescale_q(d, AVRational{1, m->facts.rate}, tb) != p->duration) {
                const int fixed = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), p->size);
                if (fixed > 0) d = fixed;
                else known = false;
            }
        }
        if (d <= 0 && !(vorbis || wma)) known = false;
        if (first) {
            firstPts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
            if (m->facts.bits > 0 && id == AV_CODEC_ID_WAVPACK) {
                const int bits = wavpackBits(p->data, p->size);
                if (bits > 0) {
                    m->facts.bits = bits;
                    if (m->facts.sample != QORO_MEDIA_F32) m->facts.sample = bits <= 16 ? QORO_MEDIA_S16 : QORO_MEDIA_S32;
                }
            }
            // The first Vorbis packet and the first WMA frame only prime the
            // decoder's overlap: they give no samples.
            if (vorbis) {
                lead += d;
                d = 0;
            } else if (wma && d > 0) {
                lead += wmaFrame;
                d -= wmaFrame;
            }
        }
        if (p->flags & AV_PKT_FLAG_DISCARD) {
            if (leading) lead += d;
            d = 0;
        } else {
            size_t n = 0;
            const uint8_t* skip = av_packet_get_side_data(p, AV_PKT_DATA_SKIP_SAMPLES, &n);
            if (skip && n >= 10) {
                const int64_t start = static_cast<int64_t>(AV_RL32(skip));
                const int64_t end = static_cast<int64_t>(AV_RL32(skip + 4));
                if (start > 0) startSkipSeen = true;
                const int64_t cut = std::min(d, start);
                if (leading) lead += cut;
                d -= cut;
                d -= std::min(d, end);
            }
            if (d > 0) leading = false;
        }
        first = false;
        total += d;
        av_packet_unref(m->pkt);
    }
    av_vorbis_parse_free(&vorbis);
    // Opus decoders take the header's pre-skip off unless the container
    // already says what to skip.
    if (id == AV_CODEC_ID_OPUS && !startSkipSeen) {
        const int64_t preSkip = opusPreSkip(par);
        total = std::max<int64_t>(0, total - preSkip);
        lead += preSkip;
    }
    if (first || !known) total = -1;

    const std::string_view demuxer(m->fmt->iformat->name);
    // Monkey's Audio, WavPack and TTA headers count their samples.
    if (total < 0 && (demuxer == "ape" || demuxer == "wv" || demuxer == "tta") && m->st->duration > 0 &&
        tb.num == 1 && tb.den == m->facts.rate)
        total = m->st->duration;
    // MP4 ends the music before the last packet's padding: the edit list's
    // length (the stream's duration, in samples) and iTunSMPB say where.
    if (total > 0 && demuxer.starts_with("mov")) {
        if (m->st->duration > 0 && tb.num == 1 && tb.den == m->facts.rate) total = std::min(total, m->st->duration);
        const AVDictionaryEntry* smpb = av_dict_get(m->fmt->metadata, "iTunSMPB", nullptr, 0);
        if (!smpb) smpb = av_dict_get(m->st->metadata, "iTunSMPB", nullptr, 0);
        const int64_t stated = itunesLength(smpb ? smpb->value : nullptr);
        if (stated > 0) total = std::min(total, stated);
    }
    m->facts.frames = total;
    m->firstPacketPts = firstPts;
    // Frames are placed by their timestamps after a seek only where a
    // timestamp names a sample exactly and the container stores timestamps
    // (raw AAC and AC-3 streams only estimate them after a seek from the bit
    // rate); elsewhere seeks decode from the start.
    m->exactPts = exactBase && (demuxer.starts_with("mov") || demuxer == "ogg" || demuxer == "wv" || demuxer == "tta" ||
                                demuxer == "ape" || demuxer == "dsf");
    if (firstPts != AV_NOPTS_VALUE) m->zeroPts = firstPts + toPts(m, lead);
    m->zeroKnown = false;
    if (!rewind(m)) return false;
    // The first frame tells where frame 0 lies (and that the decoder works);
    // it is kept for the first read.
    const int r = nextFrame(m);
    if (r > 0) {
        const int64_t pts = m->frame->pts != AV_NOPTS_VALUE ? m->frame->pts : m->frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE) {
            m->zeroPts = pts;
            m->zeroKnown = true;
        }
        m->offset = 0;
        m->haveFrame = m->frame->nb_samples > 0 && m->frame->ch_layout.nb_channels == m->facts.channels &&
                       frameUsable(m->frame, m->facts.channels);
        if (!m->haveFrame) av_frame_unref(m->frame);
    } else if (r < 0) {
        m->pendingFailure = true;
    } else if (m->facts.frames != 0) {
        return fail(m, "the audio stream decodes to no samples (a damaged or unsupported stream)");
    }
    if (!m->exactPts) m->zeroKnown = false;
    return true;
}

// ---- decoding ----

// Makes the decoder give the next frame: 1, 0 at the end, -1 on damage
// (m->error says what).
int nextFrame(qoro_media* m) {
    for (;;) {
        int r = avcodec_receive_frame(m->dec, m->frame);
        if (r == 0) {
            if (m->frame->ch_layout.nb_channels == m->facts.channels && frameUsable(m->frame, m->facts.channels))
                return 1;
            av_frame_unref(m->frame);
            m->error = "a damaged audio packet: the decoder gave a frame of another layout";
            return -1;
        }
        if (r == AVERROR_EOF) {
            m->finished = true;
            return 0;
        }
        if (r != AVERROR(EAGAIN)) {
            m->error = causeOf("a damaged audio packet", r);
            return -1;
        }
        if (m->drained) {
            m->finished = true;
            return 0;
        }
        // Feed the next packet of the audio stream.
        for (;;) {
            clearLog();
            r = av_read_frame(m->fmt, m->pkt);
            if (r < 0) {
                m->drained = true;
                avcodec_send_packet(m->dec, nullptr);
                break;
            }
            if (m->pkt->stream_index != m->index) {
                av_packet_unref(m->pkt);
                continue;
            }
            r = avcodec_send_packet(m->dec, m->pkt);
            av_packet_unref(m->pkt);
            if (r < 0 && r != AVERROR(EAGAIN)) {
                m->error = causeOf("a damaged audio packet", r);
                return -1;
            }
            break;
        }
    }
}

// Takes a new decoded frame into use: after a seek, places it by its
// timestamp and drops what lies before the target. False when it is wholly
// dropped.
bool takeFrame(qoro_media* m) {
    m->offset = 0;
    const int64_t pts = m->frame->pts != AV_NOPTS_VALUE ? m->frame->pts : m->frame->best_effort_timestamp;
    if (m->pos == 0 && !m->placing && pts != AV_NOPTS_VALUE && !m->zeroKnown && m->exactPts) {
        m->zeroPts = pts;
        m->zeroKnown = true;
    }
    if (!m->placing) return m->frame->nb_samples > 0;
    const int64_t at = pts != AV_NOPTS_VALUE && m->zeroKnown ? toSamples(m, pts - m->zeroPts) : m->pos;
    m->pos = at;
    if (at + m->frame->nb_samples <= m->target) {
        m->pos = at + m->frame->nb_samples;
        return false;
    }
    m->offset = static_cast<int>(std::max<int64_t>(0, m->target - at));
    m->pos = at + m->offset;
    m->placing = false;
    return m->offset < m->frame->nb_samples;
}

long readFrames(qoro_media* m, int sample, void* out, long want) {
    if (!out || want < 0 || (sample != QORO_MEDIA_S16 && sample != QORO_MEDIA_S32 && sample != QORO_MEDIA_F32)) {
        m->error = "read: unknown sample kind or no buffer";
        return -1;
    }
    if (m->pendingFailure) {
        m->pendingFailure = false;
        return -1;
    }
    if (m->facts.frames >= 0) want = static_cast<long>(std::min<int64_t>(want, std::max<int64_t>(0, m->facts.frames - m->pos)));
    auto* bytes = static_cast<uint8_t*>(out);
    const size_t frameBytes = bytesOf(sample) * static_cast<size_t>(m->facts.channels);
    long got = 0;
    while (got < want) {
        if (!m->haveFrame) {
            if (m->finished) break;
            const int r = nextFrame(m);
            if (r < 0) {
                if (got > 0) {
                    m->pendingFailure = true;
                    return got;
                }
                return -1;
            }
            if (r == 0) break;
            if (m->frame->ch_layout.nb_channels != m->facts.channels || !frameUsable(m->frame, m->facts.channels)) {
                av_frame_unref(m->frame);
                m->error = "a damaged audio packet: the decoder gave a frame of another layout";
                if (got > 0) {
                    m->pendingFailure = true;
                    return got;
                }
                return -1;
            }
            m->haveFrame = takeFrame(m);
            if (!m->haveFrame) {
                av_frame_unref(m->frame);
                continue;
            }
        }
        const int n = static_cast<int>(std::min<int64_t>(want - got, m->frame->nb_samples - m->offset));
        void* to = bytes + static_cast<size_t>(got) * frameBytes;
        bool ok = false;
        if (sample == QORO_MEDIA_S16) ok = convertAs(m->frame, m->facts.channels, m->offset, n, static_cast<int16_t*>(to));
        else if (sample == QORO_MEDIA_S32) ok = convertAs(m->frame, m->facts.channels, m->offset, n, static_cast<int32_t*>(to));
        else ok = convertAs(m->frame, m->facts.channels, m->offset, n, static_cast<float*>(to));
        if (!ok) {
            m->error = "the decoder gives samples of a kind the plug-in cannot convert";
            av_frame_unref(m->frame);
            m->haveFrame = false;
            return got > 0 ? got : -1;
        }
        got += n;
        m->pos += n;
        m->offset += n;
        if (m->offset >= m->frame->nb_samples) {
            av_frame_unref(m->frame);
            m->haveFrame = false;
        }
    }
    return got;
}

// Decodes from where the demuxer now stands, dropping frames before
// `target`; fails when the first frame lies beyond it.
int placeAt(qoro_media* m, int64_t target) {
    avcodec_flush_buffers(m->dec);
    av_frame_unref(m->frame);
    m->haveFrame = false;
    m->drained = m->finished = false;
    m->pendingFailure = false;
    m->placing = true;
    m->target = target;
    m->pos = -1;
    for (int damaged = 0;;) {
        const int r = nextFrame(m);
        if (r < 0) {
            if (++damaged > 64) return -1;
            continue;
        }
        if (r == 0) {
            // The end came before the target.
            m->placing = false;
            m->pos = target;
            return 0;
        }
        if (m->pos == -1) {
            const int64_t pts = m->frame->pts != AV_NOPTS_VALUE ? m->frame->pts : m->frame->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE || !m->zeroKnown) return 1;  // cannot be placed
            if (toSamples(m, pts - m->zeroPts) > target) return 1;  // landed too late
        }
        m->haveFrame = takeFrame(m);
        if (m->haveFrame) return 0;
        av_frame_unref(m->frame);
    }
}

int seekTo(qoro_media* m, int64_t frame) {
    if (frame < 0 || (m->facts.frames >= 0 && frame > m->facts.frames)) {
        m->error = "seek: the frame lies outside the file";
        return -1;
    }
    m->error.clear();
    // Decoders need the packets before a point to give its samples exactly:
    // MDCT codecs overlap frames, and some state runs longer. Back off by a
    // pre-roll, and further when the demuxer lands late.
    const int64_t base = std::max<int64_t>(m->dec->frame_size > 0 ? m->dec->frame_size : 1024, 1024);
    if (m->zeroKnown && m->exactPts) {
        for (int64_t preroll : {2 * base, 8 * base, 64 * base}) {
            if (frame - preroll <= 0) break;
            const int64_t ts = m->zeroPts + toPts(m, frame - preroll);
            if (av_seek_frame(m->fmt, m->index, ts, AVSEEK_FLAG_BACKWARD) < 0) break;
            const int r = placeAt(m, frame);
            if (r == 0) return 0;
            if (r < 0) break;
        }
    }
    // From the start: always exact.
    if (!rewind(m)) return -1;
    if (frame == 0) return 0;
    m->placing = true;
    m->target = frame;
    m->pos = 0;
    m->zeroKnown = false;
    while (m->placing) {
        const int r = nextFrame(m);
        if (r < 0) continue;
        if (r == 0) {
            m->placing = false;
            m->pos = frame;
            break;
        }
        // Counted by position: samples from frame 0 on.
        const int64_t pts = m->frame->pts != AV_NOPTS_VALUE ? m->frame->pts : m->frame->best_effort_timestamp;
        if (!m->zeroKnown && m->exactPts && pts != AV_NOPTS_VALUE && m->pos == 0) {
            m->zeroPts = pts;
            m->zeroKnown = true;
        }
        const int64_t at = m->pos;
        if (at + m->frame->nb_samples <= frame) {
            m->pos = at + m->frame->nb_samples;
            av_frame_unref(m->frame);
            continue;
        }
        m->offset = static_cast<int>(frame - at);
        m->pos = frame;
        m->placing = false;
        m->haveFrame = true;
    }
    return 0;
}

// ---- the table ----

const char* version() {
    static const std::string text = [] {
        auto v = [](unsigned x) {
            return std::to_string(AV_VERSION_MAJOR(x)) + "." + std::to_string(AV_VERSION_MINOR(x)) + "." +
                   std::to_string(AV_VERSION_MICRO(x));
        };
        return "qoro-libav 1.0 (libavformat " + v(avformat_version()) + ", libavcodec " + v(avcodec_version()) +
               ", libavutil " + v(avutil_version()) + ")";
    }();
    return text.c_str();
}

qoro_media* openFile(const char* path, char* error, size_t errorSize) {
    setUpLibav();
    copyText(error, errorSize, "");
    if (!path || !*path) {
        copyText(error, errorSize, "no file named");
        return nullptr;
    }
    auto* m = new (std::nothrow) qoro_media;
    if (!m) {
        copyText(error, errorSize, "out of memory");
        return nullptr;
    }
    if (!openDemuxer(m, path) || !openDecoder(m)) {
        copyText(error, errorSize, m->error);
        delete m;
        return nullptr;
    }
    describe(m);
    collectTags(m);
    collectPictures(m);
    if (!count(m)) {
        copyText(error, errorSize, m->error);
        delete m;
        return nullptr;
    }
    m->facts.duration = m->facts.frames >= 0 ? static_cast<double>(m->facts.frames) / m->facts.rate
                        : m->fmt->duration > 0 ? static_cast<double>(m->fmt->duration) / AV_TIME_BASE
                                               : 0.0;
    // A damaged first packet is told by the first read.
    if (!m->pendingFailure) m->error.clear();
    return m;
}

void closeFile(qoro_media* m) { delete m; }

const qoro_media_facts* factsOf(const qoro_media* m) { return m ? &m->facts : nullptr; }

int tagOf(const qoro_media* m, int index, const char** key, const char** value) {
    if (!m || index < 0 || static_cast<size_t>(index) >= m->tags.size()) return 0;
    if (key) *key = m->tags[static_cast<size_t>(index)].first.c_str();
    if (value) *value = m->tags[static_cast<size_t>(index)].second.c_str();
    return 1;
}

int pictureOf(const qoro_media* m, int index, const uint8_t** data, size_t* bytes, const char** mime) {
    if (!m || index < 0 || static_cast<size_t>(index) >= m->pictures.size()) return 0;
    const auto& p = m->pictures[static_cast<size_t>(index)];
    if (data) *data = p.bytes.data();
    if (bytes) *bytes = p.bytes.size();
    if (mime) *mime = p.mime.c_str();
    return 1;
}

long readOf(qoro_media* m, int sample, void* out, long frames) {
    if (!m) return -1;
    clearLog();
    return readFrames(m, sample, out, frames);
}

int seekOf(qoro_media* m, int64_t frame) {
    if (!m) return -1;
    clearLog();
    return seekTo(m, frame);
}

const char* errorOf(const qoro_media* m) { return m ? m->error.c_str() : "no file"; }

constexpr qoro_media_api kApi = {
    QORO_MEDIA_ABI, sizeof(qoro_media_api), version, openFile, closeFile, factsOf, tagOf, pictureOf,
    readOf,         seekOf,                 errorOf,  createWriter, writeFrames, finishWriter, closeWriter,
    writerError,
};

}  // namespace

const qoro_media_api* api() { return &kApi; }

}  // namespace qoro::libav
