/* The C interface between the components and a media plug-in: a library
 * loaded at run time that opens, describes and decodes the files of a music
 * library the components have no reader of their own for (M4A with AAC or
 * ALAC, WavPack, Monkey's Audio, TTA, Musepack SV8, Ogg FLAC, WMA, DSD,
 * Matroska/WebM audio, AC-3/E-AC-3, ADTS AAC).
 *
 * A plug-in exports one function, qoro_media_entry, that returns its table of
 * functions. The table only grows: a caller checks `abi` and uses no member
 * beyond `size`. Everything is plain C so that the plug-in may be built with
 * other libraries (and another licence) than the components.
 *
 *   const qoro_media_api* api = entry();
 *   char why[256];
 *   qoro_media* m = api->open("song.m4a", why, sizeof why);
 *   if (!m) ... why: "the file holds no audio stream"
 *   const qoro_media_facts* f = api->facts(m);
 *   float buf[4096 * 2];
 *   long n = api->read(m, QORO_MEDIA_F32, buf, 4096);   frames; 0 at the end
 *   api->close(m);
 *
 * Decoded samples are interleaved in the order of the channel mask's bits
 * (the WAVE speaker order) and end exactly where the music ends: encoder
 * delay and padding that the file states (MP4 edit lists and iTunSMPB,
 * Opus pre-skip, skip-sample side data) are taken off.
 *
 * A plug-in may also write: `create` makes an MP4 file of AAC or ALAC from
 * interleaved samples (WAVE speaker order), its "moov" box after the audio,
 * an edit list giving the exact length and the encoder's priming:
 *
 *   qoro_media_encoding e = {sizeof e, "aac", 44100, 2, 0x3, 0, 0, 256000};
 *   qoro_media_writer* w = api->create("out.m4a", &e, why, sizeof why);
 *   api->write(w, QORO_MEDIA_F32, samples, frames);     0, or -1: writer_error(w)
 *   qoro_media_written done = {sizeof done};
 *   api->finish(w, &done);                              done.priming, done.padding
 *   api->close_writer(w);
 *
 * One opened file is used by one thread at a time; different files may be
 * used on different threads at once. */
#ifndef QORO_MEDIA_H
#define QORO_MEDIA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QORO_MEDIA_ABI 1
#define QORO_MEDIA_ENTRY "qoro_media_entry"

typedef struct qoro_media qoro_media; /* one open file */

/* Sample kinds of qoro_media_api.read. */
enum qoro_media_sample {
    QORO_MEDIA_S16 = 1, /* int16_t */
    QORO_MEDIA_S32 = 2, /* int32_t, full scale at 2^31 (24-bit samples in the top bits) */
    QORO_MEDIA_F32 = 3  /* float, full scale at 1.0 */
};

typedef struct qoro_media_facts {
    uint32_t size;         /* sizeof(qoro_media_facts) of the plug-in */
    int32_t rate;          /* Hz of the decoded samples (DSD: its PCM rate, the bit rate / 8) */
    int32_t channels;      /* 1 to 8 */
    uint32_t channel_mask; /* WAVE speaker bits of the channels; 0 when the file names none */
    int32_t bits;          /* bits per sample the file stores (lossless codecs), 0 for lossy ones */
    int32_t sample;        /* the qoro_media_sample that holds every decoded sample exactly */
    int32_t lossless;      /* 1 when the codec is lossless (ALAC, WavPack, FLAC, ...) */
    int32_t reserved;
    int64_t frames;        /* sample frames the decode gives, exactly; -1 when unknown */
    int64_t bitrate;       /* bit/s of the audio stream (or of the file); 0 when unknown */
    double duration;       /* seconds: frames / rate, or the container's own when frames is -1 */
    char codec[32];        /* the decoder's short name: "aac", "alac", "wavpack", "dsd_lsbf_planar" */
    char codec_title[96];  /* for people: "AAC (Advanced Audio Coding)" */
    char container[32];    /* the demuxer's short name: "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm" */
    char profile[32];      /* the codec profile when it has one ("LC", "HE-AAC"), else "" */
} qoro_media_facts;

typedef struct qoro_media_writer qoro_media_writer; /* one file being written */

/* What a writer encodes. */
typedef struct qoro_media_encoding {
    uint32_t size;         /* sizeof(qoro_media_encoding) of the caller */
    char codec[16];        /* "aac" (AAC-LC) or "alac" */
    int32_t rate;          /* Hz */
    int32_t channels;      /* 1 to 8 */
    uint32_t channel_mask; /* WAVE speaker bits of the channels; 0: the usual ones of the count */
    int32_t bits;          /* ALAC: 16 or 24 bits stored; AAC: 0 */
    int32_t reserved;
    int64_t bitrate;       /* AAC: bit/s; ALAC: 0 */
} qoro_media_encoding;

/* What a finished writer wrote, for gapless playback data (iTunSMPB). */
typedef struct qoro_media_written {
    uint32_t size;     /* sizeof(qoro_media_written) of the caller */
    int32_t priming;   /* samples of encoder delay before the music */
    int32_t padding;   /* samples after it, to the end of the last packet */
    int32_t reserved;
    int64_t frames;    /* sample frames of music written */
    int64_t packets;   /* encoded packets */
} qoro_media_written;

typedef struct qoro_media_api {
    uint32_t abi;  /* QORO_MEDIA_ABI */
    uint32_t size; /* sizeof(qoro_media_api) of the plug-in */
    /* The plug-in's name and version for people: "qoro-libav 1.0 (libavformat 59.27.100, ...)". */
    const char* (*version)(void);

    /* Opens a file and reads its headers (and, where the container does not
     * count its samples, walks its packets without decoding them). NULL on
     * failure, with the cause in `error` (NUL-terminated, cut to errorSize):
     * "the file holds no audio stream", "no decoder for the codec 'xyz'". */
    qoro_media* (*open)(const char* path, char* error, size_t errorSize);
    void (*close)(qoro_media* m);
    const qoro_media_facts* (*facts)(const qoro_media* m);

    /* The container's tags as the plug-in's libraries name them ("title",
     * "artist", "WM/AlbumArtist", "ARTIST"): entry `index` from 0, both
     * strings UTF-8 and owned by the file. 0 past the last one. */
    int (*tag)(const qoro_media* m, int index, const char** key, const char** value);
    /* Embedded pictures (ASF "WM/Picture", Matroska attachments, attached
     * picture streams): entry `index` from 0, its bytes and MIME type owned
     * by the file. 0 past the last one. */
    int (*picture)(const qoro_media* m, int index, const uint8_t** data, size_t* bytes, const char** mime);

    /* Decodes up to `frames` sample frames into `out` as `sample` kind. The
     * frames given (0 at the end), or -1 on a failure whose cause error()
     * tells; reading may go on after a damaged packet. */
    long (*read)(qoro_media* m, int sample, void* out, long frames);
    /* Goes to sample frame `frame` (0 to facts->frames), exactly: the next
     * read starts there. 0, or -1 with the cause in error(). */
    int (*seek)(qoro_media* m, int64_t frame);
    /* The cause of the last failure in words, "" when none. */
    const char* (*error)(const qoro_media* m);

    /* ---- writing (a table of `size` beyond this point has them) ---- */

    /* Sets up the encoder and creates the file at `path` (truncated). NULL
     * on failure, with the cause in `error`; a refused encoding creates no
     * file. */
    qoro_media_writer* (*create)(const char* path, const qoro_media_encoding* encoding, char* error,
                                 size_t errorSize);
    /* Encodes `frames` interleaved sample frames of `sample` kind (any kind
     * for any codec: floats beyond full scale are clipped for ALAC, 24-bit
     * ALAC takes the top 24 bits of S32). 0, or -1 with the cause in
     * writer_error(); a writer that failed refuses everything after. */
    int (*write)(qoro_media_writer* w, int sample, const void* in, long frames);
    /* Encodes what is left, writes the last packets and the "moov" box, and
     * closes the file (not flushed to the disk: the caller, who lays the
     * file out again and publishes it, does that once). 0 and `written`
     * filled, or -1 with the cause. */
    int (*finish)(qoro_media_writer* w, qoro_media_written* written);
    /* Frees the writer (a file not finished is left as it is: the caller
     * removes it). */
    void (*close_writer)(qoro_media_writer* w);
    const char* (*writer_error)(const qoro_media_writer* w);
} qoro_media_api;

typedef const qoro_media_api* (*qoro_media_entry_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* QORO_MEDIA_H */
