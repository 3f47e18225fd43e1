// The per-format readers of the information component and the content probes
// behind its Is...File tests.
//
//   audioinfo::Facts facts; tags::TagRecord tags; tags::CueList cues;
//   if (!audioinfo::readWav(path, facts, tags, cues)) ...          // not a readable WAV
//   audioinfo::readMpeg(path, {.fastAnalysis = true, .tagKind = 1}, facts, tags);
//
// Readers open, read and close their file and fill only their outputs. Those
// that report failure (WAV, Ogg Vorbis, MPEG Plus) may leave the outputs partly
// filled; the caller resets its state. Every size read from a file is checked
// against the file.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

#include "readers/facts.h"
#include "tags/cue_list.h"
#include "tags/tag_record.h"

namespace qoro::audioinfo {

// --- WAV --------------------------------------------------------------------
// Facts from "fmt " and "data" through the codec manager (the PCM equivalent
// gives rate, channels and bits; the stored record gives tag and bitrate; the
// description is the manager's tag name and format name), tags from "LIST"
// "INFO" and "DISP" (and an "id3 " chunk for what they lack), cues from "cue "
// and "LIST" "adtl". Samples stored as they sound but deeper than 16 bits
// (24- and 32-bit integers, 32- and 64-bit floats, plain or
// WAVE_FORMAT_EXTENSIBLE), and 8/16-bit ones the manager does not take, are
// counted from their layout: the file's own bits (an extensible record's
// container bits, as ffprobe and sox report them), bitrate = rate x channels
// x bits. The samples are the bytes the file holds (a streamed or cut-short
// file's "data" runs to its end, "RF64" sizes are 64-bit); counts and the
// size beyond 32 bits saturate at 2147483647. False when the file is not a
// readable RIFF "WAVE" or its samples are neither stored as they sound nor
// known to the manager.
// The "INFO" items the properties do not own go to 'extras' when it is given
// (named by their chunk id).
bool readWav(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::CueList& cues,
             tags::TagExtras* extras = nullptr);
// 1 when the file holds a RIFF "WAVE" form, 0 when not, -2 when it cannot be opened.
int probeWav(const std::string& path);

// --- MPEG audio -------------------------------------------------------------
struct MpegOptions {
    // Fast: the length from the frame count of the stream's information
    // frame ("Xing", "Info", "VBRI"), or from its bytes when its first frames
    // share one bitrate (within a frame or two); a stream that neither counts
    // its frames nor keeps one bitrate is walked in full. Full: a walk over
    // every frame, the lowest and highest bitrate.
    bool fastAnalysis = true;
    int tagKind = 1;  // 1 ID3v1, 2 ID3v2
};
enum class MpegRead {
    Ok,          // facts (and tags) set
    NoHeader,    // no stream found (no frame, or frames that are no stream): only the size is set
    CannotOpen,  // the size is -1
};
// The MPEG analyser: frames found as the decoder finds them (the first within
// 204800 bytes after the ID3v2 tags for the fast analysis), the information
// frame and its LAME tag, the ID3 tags (ID3v2 of any version). Duration and
// sample count are those of the music the decoder delivers.
// The ID3v2 "TXXX" frames (named by their description) and "APIC" pictures go
// to 'extras' when it is given and the tag read is ID3v2.
MpegRead readMpeg(const std::string& path, const MpegOptions& options, Facts& facts, tags::TagRecord& tags,
                  tags::TagExtras* extras = nullptr);
// The layer (3 or 2) of a confirmed Layer III or II stream: a first header
// within the first 20481 bytes after the ID3v2 tags the file begins with (of
// any size), and a second one about a frame length later. 0 otherwise.
int probeMpeg(const std::string& path);

// The MPEG description text, e.g. "MPEG 1.0 layer-3: 44,100 kHz Stereo;  128 Kbps; ".
// versionNumber 1, 2 or 3 (MPEG-2.5); channelCode 1 mono, 2 stereo, 3 joint stereo.
std::string mpegDescription(int versionNumber, int layer, int rate, int channelCode, int bitrate, int lowest,
                            int highest);

// --- Ogg Vorbis ---------------------------------------------------------------
// Facts from the first logical stream (bitrate in kbit/s) and the Vorbis
// comments (applyVorbisComments: several values of one name joined with "; ").
// The fields the properties do not own and the pictures ("METADATA_BLOCK_PICTURE")
// go to 'extras' when it is given.
bool readOgg(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras* extras = nullptr);
// 1 when libvorbisfile accepts the file as an Ogg Vorbis stream, else 0.
int probeOgg(const std::string& path);

// --- MPEG Plus --------------------------------------------------------------
// Facts from the stream header (bitrate in kbit/s), tags from its APEv2 tag
// (from an ID3v1 tag when it has none). Stream version 8 files are read
// through the media plug-in (readMedia; the bitrate in kbit/s too).
bool readMpc(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras,
             std::string* cause = nullptr);
// 1 when the MPEG Plus reader accepts the file (or it is of version 8), else 0.
int probeMpc(const std::string& path);
// Writes the APEv2 tag at the end of an MPEG Plus file (an ID3v1 tag after
// it stays last and is updated; none is added). Nothing is written when the
// file is not an MPEG Plus stream or its APEv2 tag is damaged
// (io::Error::Damaged), or the reason it cannot be opened. The first
// failure, or none.
std::error_code writeMpcTag(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes);

// --- AVI ----------------------------------------------------------------------
// Facts of the first audio stream. Facts set before a failing step stay set.
bool readAvi(const std::string& path, Facts& facts);
// 1 when the file opens as an AVI with an audio stream, else -1.
int probeAvi(const std::string& path);

// --- FLAC -------------------------------------------------------------------
// Facts from "STREAMINFO" (bitrate in bit/s over the whole file), tags from
// the "VORBIS_COMMENT" block by the Vorbis comment rules, extras from it and
// from every "PICTURE" block. False when the file is not a readable FLAC
// stream (a leading ID3v2 tag is passed over).
bool readFlac(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras);
// 1 when the file holds a FLAC stream, 0 when not, -2 when it cannot be opened.
int probeFlac(const std::string& path);
// Rewrites the comment and picture blocks: in place when the new ones and a
// padding block fill the old blocks' place (inode and links kept), else
// through the safe replace with 4096 bytes of padding; the audio frames and
// every other block stay as they are. Only the properties whose value
// differs from what reading the file gives, and the changes, are written; a
// write that changes nothing leaves the file alone.
std::error_code writeFlacTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes);

// --- Ogg Opus -----------------------------------------------------------------
// Facts from "OpusHead" and the last granule position (48 kHz clock, pre-skip
// taken off; the rate fact is 48000, the rate Opus decodes at; chained
// streams add up), tags and extras from "OpusTags" as for Ogg Vorbis.
bool readOpus(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras);
// 1 when the file's first Ogg stream is Opus, 0 when not, -2 when it cannot be opened.
int probeOpus(const std::string& path);
// Rewrites the "OpusTags" packet as writeOggComments does for Vorbis.
std::error_code writeOpusTags(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes);

// --- Files the media plug-in reads -------------------------------------------
// Where the tags of such a file are read from.
enum class MediaTags {
    Container,  // the container's metadata as the plug-in gives it (WMA, Matroska, Ogg FLAC, ...)
    Ape,        // an APEv2 tag at the end (WavPack, Monkey's Audio, TTA, Musepack SV8)
    Mp4,        // the MP4 "ilst" items, by our own reader
    Dsf,        // the ID3v2 tag a DSF file points to
};
struct MediaRead {
    std::string_view files;    // for refusals: "M4A files"
    std::string_view inWords;  // "an MP4 audio file"
    MediaTags tags = MediaTags::Container;
};
// Facts from the plug-in: rate, channels, bits of lossless codecs (16
// otherwise), bitrate in bit/s, the exact sample count and the duration of
// the music (encoder delay and padding off), the WAVE format tag of codecs
// that have one, a description ("AAC LC 44100 Hz; Stereo; 128 Kbps"). Tags
// from 'how.tags' (the container's metadata when the file has no tag of
// that kind). False when the plug-in is absent or cannot read the file, with
// the cause in *cause ("reading M4A files needs the package quillet-libav,
// which is not installed").
bool readMedia(const std::string& path, const MediaRead& how, Facts& facts, tags::TagRecord& tags,
               tags::TagExtras& extras, std::string* cause = nullptr);
// Writes the APEv2 tag at the end of a file (before a Lyrics3 or ID3v1 tag
// it ends with; the ID3v1 tag is updated), as writeMpcTag does.
std::error_code writeApeTail(const std::string& path, const tags::TagRecord& tags, const tags::TagChanges& changes);
// False when the media plug-in cannot read the file: no tag is written into
// what is no stream (without the plug-in, the signature alone decides).
bool mediaStream(const std::string& path);

}  // namespace qoro::audioinfo
