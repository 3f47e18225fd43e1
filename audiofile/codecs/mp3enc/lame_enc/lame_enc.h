/* lame_enc: the MP3 encoder library the audio file component loads at run time.
 *
 * A small C interface over libmp3lame, in the shape of the classic "lame_enc.dll"
 * encoder library: start a stream from a configuration record, feed it chunks of
 * 16-bit samples, flush, close, and finally put the VBR/Info tag frame into the
 * finished file by name.
 *
 * Typical use:
 *   BE_CONFIG cfg = {};  fill in the LAME record (kind BE_CONFIG_LAME)
 *   beInitStream(&cfg, &samples, &outSize, &stream);
 *   while (...) beEncodeChunk(stream, n <= samples, pcm, out, &outBytes);
 *   beDeinitStream(stream, out, &outBytes);
 *   beCloseStream(stream);
 *   close the file, then beWriteVBRHeader(path) when the record asked for a tag.
 *
 * Every entry point validates its arguments and reports failures through its
 * BE_ERR result; none of them throws or aborts on bad input.
 */
#ifndef QORO_LAME_ENC_H
#define QORO_LAME_ENC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BE_EXPORT __attribute__((visibility("default")))
#else
#define BE_EXPORT
#endif

typedef uint32_t BE_ERR;
typedef uint32_t HBE_STREAM; /* stream handle; 0 is never a live stream */

/* Results. */
#define BE_ERR_SUCCESSFUL 0x00000000u
#define BE_ERR_INVALID_FORMAT 0x00000001u            /* unknown record kind */
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x00000002u /* bad argument or setting */
#define BE_ERR_NO_MORE_HANDLES 0x00000003u           /* too many live streams */
#define BE_ERR_INVALID_HANDLE 0x00000004u            /* not a live stream, or nothing to finish */
#define BE_ERR_BUFFER_TOO_SMALL 0x00000005u          /* the encoder needed more output room */

/* Record kinds (dwConfig). Only the LAME record is understood. */
#define BE_CONFIG_MP3 0u
#define BE_CONFIG_LAME 256u

#define BE_LAME_STRUCT_VERSION 1u
#define BE_LAME_STRUCT_SIZE 337u

/* nMode */
#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3
#define BE_MP3_MODE_FORCED_MS 4 /* joint stereo, mid/side in every frame */

/* dwMpegVersion */
#define BE_MPEG1 1u
#define BE_MPEG2 2u /* MPEG-2 and MPEG-2.5 sample rates */

/* nPreset */
#define BE_PRESET_NONE 0
#define BE_PRESET_R3MIX 4
#define BE_PRESET_STANDARD 11000
#define BE_PRESET_EXTREME 12000
#define BE_PRESET_INSANE 13000

/* nVbrMethod */
#define BE_VBR_METHOD_NONE (-1)
#define BE_VBR_METHOD_DEFAULT 0
#define BE_VBR_METHOD_OLD 1
#define BE_VBR_METHOD_NEW 2
#define BE_VBR_METHOD_MTRH 3
#define BE_VBR_METHOD_ABR 4

/* nAthMode */
#define BE_ATH_DEFAULT 0
#define BE_ATH_ONLY 1  /* psychoacoustics from the absolute threshold only */
#define BE_ATH_NONE 2  /* absolute threshold of hearing switched off */
#define BE_ATH_SHORT 3 /* absolute threshold only for short blocks */

#pragma pack(push, 1)

/* The LAME configuration record: 337 bytes, little-endian, every byte not
 * named here zero. Booleans are 32-bit, any non-zero value is "on". */
typedef struct BE_CONFIG {
    uint32_t dwConfig;           /*   0: BE_CONFIG_LAME */
    uint32_t dwStructVersion;    /*   4: BE_LAME_STRUCT_VERSION */
    uint32_t dwStructSize;       /*   8: BE_LAME_STRUCT_SIZE */
    uint32_t dwSampleRate;       /*  12: input rate, an MPEG audio rate (Hz) */
    uint32_t dwReSampleRate;     /*  16: output rate, 0 = same as input */
    int32_t nMode;               /*  20: BE_MP3_MODE_*; mono means one input channel */
    uint32_t dwBitrate;          /*  24: CBR bitrate, or the VBR/ABR minimum (kbit/s) */
    uint32_t dwMaxBitrate;       /*  28: VBR maximum (kbit/s), 0 = encoder's choice */
    int32_t nPreset;             /*  32: BE_PRESET_* */
    uint32_t dwMpegVersion;      /*  36: BE_MPEG1 or BE_MPEG2, must agree with the output rate */
    uint32_t dwReserved40;       /*  40 */
    uint32_t dwEmphasis;         /*  44: 0 none, 1 50/15 us, 3 CCITT J.17 */
    uint32_t dwReserved48;       /*  48 */
    uint32_t bCRC;               /*  52: error protection */
    uint32_t dwReserved56;       /*  56 */
    uint32_t dwReserved60;       /*  60 */
    uint32_t bWriteVBRHeader;    /*  64: reserve the first frame for the Xing/Info tag */
    uint32_t bEnableVBR;         /*  68: VBR or ABR instead of CBR */
    int32_t nVBRQuality;         /*  72: 0 (best) to 9 */
    uint32_t dwVbrAbr;           /*  76: ABR mean bitrate (kbit/s; values >= 1000 are read as bit/s) */
    int32_t nVbrMethod;          /*  80: BE_VBR_METHOD_* */
    uint32_t bNoRes;             /*  84: no bit reservoir */
    uint32_t bBlockTypeControl;  /* 88: channels may use different block types */
    uint32_t bNoShortBlocks;     /*  92 */
    uint32_t bStrictIso;         /*  96 */
    uint32_t bEnforceMinBitrate; /* 100: VBR never goes below dwBitrate, not even in silence */
    int32_t nLowpassFreq;        /* 104: Hz; -1 no filter, 0 encoder's choice */
    int32_t nHighpassFreq;       /* 108: Hz; -1 no filter, 0 encoder's choice */
    int32_t nLowpassWidth;       /* 112: Hz; 0 encoder's choice */
    int32_t nHighpassWidth;      /* 116: Hz; 0 encoder's choice */
    int16_t nAthMode;            /* 120: BE_ATH_* */
    int16_t nQuality;            /* 122: encoder quality, 0 (best) to 9 */
    uint8_t btReserved[BE_LAME_STRUCT_SIZE - 124];
} BE_CONFIG, *PBE_CONFIG;

/* Version record filled by beVersion. */
typedef struct BE_VERSION {
    uint8_t byDLLMajorVersion; /* this library */
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion; /* the LAME engine inside */
    uint8_t byMinorVersion;
    uint8_t byDay; /* release date of this library */
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[129]; /* NUL-terminated */
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
} BE_VERSION, *PBE_VERSION;

#pragma pack(pop)

#define BE_VERSION_SIZE 265u

#ifdef __cplusplus
#define BE_STATIC_ASSERT static_assert
#else
#define BE_STATIC_ASSERT _Static_assert
#endif
BE_STATIC_ASSERT(sizeof(BE_CONFIG) == BE_LAME_STRUCT_SIZE, "BE_CONFIG is 337 bytes");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwConfig) == 0, "dwConfig");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwStructVersion) == 4, "dwStructVersion");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwStructSize) == 8, "dwStructSize");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwSampleRate) == 12, "dwSampleRate");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwReSampleRate) == 16, "dwReSampleRate");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nMode) == 20, "nMode");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwBitrate) == 24, "dwBitrate");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwMaxBitrate) == 28, "dwMaxBitrate");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nPreset) == 32, "nPreset");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwMpegVersion) == 36, "dwMpegVersion");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwReserved40) == 40, "dwReserved40");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwEmphasis) == 44, "dwEmphasis");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwReserved48) == 48, "dwReserved48");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bCRC) == 52, "bCRC");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwReserved56) == 56, "dwReserved56");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwReserved60) == 60, "dwReserved60");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bWriteVBRHeader) == 64, "bWriteVBRHeader");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bEnableVBR) == 68, "bEnableVBR");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nVBRQuality) == 72, "nVBRQuality");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, dwVbrAbr) == 76, "dwVbrAbr");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nVbrMethod) == 80, "nVbrMethod");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bNoRes) == 84, "bNoRes");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bBlockTypeControl) == 88, "bBlockTypeControl");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bNoShortBlocks) == 92, "bNoShortBlocks");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bStrictIso) == 96, "bStrictIso");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, bEnforceMinBitrate) == 100, "bEnforceMinBitrate");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nLowpassFreq) == 104, "nLowpassFreq");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nHighpassFreq) == 108, "nHighpassFreq");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nLowpassWidth) == 112, "nLowpassWidth");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nHighpassWidth) == 116, "nHighpassWidth");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nAthMode) == 120, "nAthMode");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, nQuality) == 122, "nQuality");
BE_STATIC_ASSERT(offsetof(BE_CONFIG, btReserved) == 124, "btReserved");
BE_STATIC_ASSERT(sizeof(BE_VERSION) == BE_VERSION_SIZE, "BE_VERSION is 265 bytes");
BE_STATIC_ASSERT(offsetof(BE_VERSION, wYear) == 6, "wYear");
BE_STATIC_ASSERT(offsetof(BE_VERSION, zHomepage) == 8, "zHomepage");
BE_STATIC_ASSERT(offsetof(BE_VERSION, byAlphaLevel) == 137, "byAlphaLevel");
#undef BE_STATIC_ASSERT

/* Starts a stream. On success *dwSamples is the largest sample count one
 * beEncodeChunk call takes (16-bit values over all channels: one MPEG frame,
 * 1152 or 576 per channel), *dwBufferSize the output room every call needs
 * (bytes), and *phbeStream the new stream. */
BE_EXPORT BE_ERR beInitStream(const BE_CONFIG* pbeConfig, uint32_t* dwSamples, uint32_t* dwBufferSize,
                              HBE_STREAM* phbeStream);

/* Encodes nSamples 16-bit samples (interleaved left/right for two channels;
 * nSamples counts all of them, so it is even for two channels and at most
 * *dwSamples of beInitStream). pOutput has room for *dwBufferSize bytes;
 * *pdwOutput receives the bytes produced, possibly 0. */
BE_EXPORT BE_ERR beEncodeChunk(HBE_STREAM hbeStream, uint32_t nSamples, const int16_t* pSamples, uint8_t* pOutput,
                               uint32_t* pdwOutput);

/* The same for 32-bit float samples, full scale at +-1.0 (the encoder's own
 * precision: a 16-bit value v given as v / 32768 encodes exactly as by
 * beEncodeChunk). Values beyond full scale are taken up to 4 times full
 * scale; values that are not numbers count as silence. */
BE_EXPORT BE_ERR beEncodeChunkFloat(HBE_STREAM hbeStream, uint32_t nSamples, const float* pSamples,
                                    uint8_t* pOutput, uint32_t* pdwOutput);

/* Flushes the last frames into pOutput (room for *dwBufferSize bytes). When
 * the record asked for a VBR header, its final tag frame is kept for
 * beWriteVBRHeader. A second call produces nothing. */
BE_EXPORT BE_ERR beDeinitStream(HBE_STREAM hbeStream, uint8_t* pOutput, uint32_t* pdwOutput);

/* Frees the stream; the handle is dead afterwards. */
BE_EXPORT BE_ERR beCloseStream(HBE_STREAM hbeStream);

/* Fills the version record. */
BE_EXPORT void beVersion(BE_VERSION* pbeVersion);

/* Writes the tag frame of the stream most recently finished by
 * beDeinitStream (on this thread, else the one that fits the file) over the
 * placeholder frame at the start of the named file (after an ID3v2 tag, if
 * any). The file is changed only when its first frame is that placeholder
 * and its length matches the stream. */
BE_EXPORT BE_ERR beWriteVBRHeader(const char* lpszFileName);

/* Entry point types, for binding by name at run time. */
typedef BE_ERR (*BEINITSTREAM)(const BE_CONFIG*, uint32_t*, uint32_t*, HBE_STREAM*);
typedef BE_ERR (*BEENCODECHUNK)(HBE_STREAM, uint32_t, const int16_t*, uint8_t*, uint32_t*);
typedef BE_ERR (*BEENCODECHUNKFLOAT)(HBE_STREAM, uint32_t, const float*, uint8_t*, uint32_t*);
typedef BE_ERR (*BEDEINITSTREAM)(HBE_STREAM, uint8_t*, uint32_t*);
typedef BE_ERR (*BECLOSESTREAM)(HBE_STREAM);
typedef void (*BEVERSION)(BE_VERSION*);
typedef BE_ERR (*BEWRITEVBRHEADER)(const char*);

#define TEXT_BEINITSTREAM "beInitStream"
#define TEXT_BEENCODECHUNK "beEncodeChunk"
#define TEXT_BEENCODECHUNKFLOAT "beEncodeChunkFloat"
#define TEXT_BEDEINITSTREAM "beDeinitStream"
#define TEXT_BECLOSESTREAM "beCloseStream"
#define TEXT_BEVERSION "beVersion"
#define TEXT_BEWRITEVBRHEADER "beWriteVBRHeader"

#ifdef __cplusplus
}
#endif

#endif /* QORO_LAME_ENC_H */
