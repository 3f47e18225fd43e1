// One open audio file as the engine sees it: a container with a codec that
// turns its bytes into PCM in the file format (the PCM form of the file) and
// back. Every container kind (RIFF WAVE, raw, MPEG, VOX/G.72x, Ogg Vorbis,
// AVI, MPEG Plus, Layer II, FLAC, Opus, AIFF) is one Track implementation; the engine above it
// does the counting, the conversion to and from the 16-bit array format, and
// never looks inside the container.
//
// Amounts are in bytes. "Source" bytes are container bytes (compressed data),
// "decoded" or "file" bytes are PCM in the track's file format.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "acm/acm.h"
#include "acm/wave_format.h"
#include "convert/deep_samples.h"
#include "convert/pcm_converter.h"
#include "output_format/output_format.h"

namespace qoro::audiofile {

using acm::WAVEFORMATEX;

// Statuses of the engine and its tracks (negative on failure). The object maps
// them one-to-one onto the ErrorConstants of the same value.
namespace status {
inline constexpr int16_t kOk = 0;
inline constexpr int16_t kMemory = -11;            // an allocation the file needs failed
inline constexpr int16_t kFormatFile = -12;        // the container is not what the type says
inline constexpr int16_t kFormatNotSupport = -13;  // no decoder, PCM form or encoder
inline constexpr int16_t kAcmDriver = -17;         // a conversion stream failed
inline constexpr int16_t kFileAccess = -18;        // open, create, read, seek or write failed
inline constexpr int16_t kInvalidOperation = -19;  // the type cannot be used that way
}  // namespace status

// Container kinds, as the engine numbers them.
enum class ContainerKind : int32_t {
    None = -1,
    RiffWave = 0,
    Mpeg = 1,
    Vox = 2,
    Raw = 3,
    G726 = 4,
    MpegThroughAcm = 5,
    OggVorbis = 6,
    G721 = 7,
    G723 = 8,
    Avi = 9,
    MpegPlus = 10,
    MpegLayer2 = 11,
    Flac = 12,
    Opus = 13,
    Speech = 15,  // ".dss" files: opened and measured, no decoder
    Aiff = 16,    // AIFF and AIFF-C
    Media = 17,   // read through the media plug-in
};

// A header-only record (PCM, A-law, mu-law) in a full-format buffer.
inline FullFormat fullFormatOf(const WAVEFORMATEX& w) {
    WAVEFORMATEX h = w;
    h.cbSize = 0;
    return toFullFormat(acm::asBytes(h));
}

inline uint16_t tagOf(const FullFormat& full) { return headerOf(full).wFormatTag; }

// 16-bit PCM with the rate and channels of `w` (block alignment and byte rate
// derived): what a file format looks like as an array format.
inline WAVEFORMATEX widenedTo16(const WAVEFORMATEX& w) { return acm::makePcmFormat(w.nSamplesPerSec, w.nChannels, 16); }

// 32-bit float samples (full scale +-1.0) of a rate and channels.
inline WAVEFORMATEX floatFormOf(uint32_t rate, uint16_t channels) {
    WAVEFORMATEX w = acm::makePcmFormat(rate, channels, 32);
    w.wFormatTag = acm::WAVE_FORMAT_IEEE_FLOAT;
    return w;
}
// A PCM form the array conversion can take: 8 or 16 bits, mono or stereo.
inline bool usablePcm(const WAVEFORMATEX& w) {
    return w.wFormatTag == acm::WAVE_FORMAT_PCM && (w.nChannels == 1 || w.nChannels == 2) &&
           (w.wBitsPerSample == 8 || w.wBitsPerSample == 16) && w.nSamplesPerSec >= kMinPcmRate &&
           w.nSamplesPerSec <= kMaxPcmRate;
}

// The PCM form the codec manager decodes a compressed record into, when the
// array conversion can take it; FORMATNOTSUPPORT otherwise.
inline int16_t suggestedPcmForm(const FullFormat& full, WAVEFORMATEX& pcm) {
    pcm = {};
    if (acm::suggestPcm(recordBytes(full), pcm) != acm::Result::Ok || !usablePcm(pcm)) return status::kFormatNotSupport;
    return status::kOk;
}

// Decodes `source` through a codec-manager stream and appends the whole
// sample frames (of `blockAlign` bytes) it yields to `out`. Returns the bytes
// appended, 0 when the source holds only a partial block, or a negative
// status; `sourceUsed` is how much of the source the stream took (source it
// left is read again next time).
inline int32_t decodeThroughStream(acm::Stream& stream, std::span<const uint8_t> source, uint16_t blockAlign,
                                   std::vector<uint8_t>& out, size_t& sourceUsed) {
    sourceUsed = 0;
    size_t room = 0;
    if (stream.size(source.size(), acm::Direction::SourceToDestination, room) != acm::Result::Ok)
        return status::kAcmDriver;
    if (room == 0) return 0;
    const size_t old = out.size();
    out.resize(old + room + 1024);
    const acm::Conversion c = stream.convert(source, std::span<uint8_t>(out.data() + old, room + 1024));
    if (c.status != acm::Result::Ok) {
        out.resize(old);
        return status::kAcmDriver;
    }
    const size_t produced = c.destinationUsed - c.destinationUsed % blockAlign;
    out.resize(old + produced);
    sourceUsed = c.sourceUsed;
    return static_cast<int32_t>(produced);
}

// The system's words for an error number, as a track reports a failed
// fopen, fwrite or fclose: systemCause(errno) is "No space left on device".
// Empty for 0.
inline std::string systemCause(int error) { return error != 0 ? std::system_category().message(error) : std::string(); }

enum class SeekOrigin { Current = 1, End = 2, Begin = 3 };

// Where a seek of `offset` from `origin` lands, with `here` the current
// position and `length` the end, all in one unit; not clamped to the length.
// Empty for a point before the start.
inline std::optional<uint64_t> seekTarget(SeekOrigin origin, uint64_t offset, uint64_t here, uint64_t length) {
    switch (origin) {
    case SeekOrigin::Current: return here + offset;
    case SeekOrigin::End: return offset <= length ? std::optional<uint64_t>(length - offset) : std::nullopt;
    case SeekOrigin::Begin: return offset;
    }
    return uint64_t{0};
}

// A seek as the engine hands it to a track: the position the caller wants,
// made absolute by the engine and not yet clamped to the track's length.
// Containers addressed by bytes use the file bytes; decoders that seek by
// sample number or time use the array bytes.
struct SeekRequest {
    uint64_t fileBytes = 0;    // the target in file-format bytes
    uint64_t arrayBytes = 0;   // the same target in array bytes
    bool beforeStart = false;  // a seek back from the end past the start (fileBytes is then 0)
    // Aligned as the records' own fields need (WAVEFORMATEX is packed): its
    // members may be bound to references.
    alignas(8) WAVEFORMATEX file{};
    alignas(8) WAVEFORMATEX array{};
    bool backFromEnd = false;  // counted back from the end (see Track::blockFor)
};

struct SeekResult {
    uint64_t fileBytes = 0;   // new position in file-format bytes
    bool arrayKnown = false;  // set when the track fixed the array position itself
    uint64_t arrayBytes = 0;
};

class Track {
public:
    virtual ~Track() = default;

    ContainerKind kind() const { return kind_; }
    const FullFormat& fullFormat() const { return full_; }
    const WAVEFORMATEX& fileFormat() const { return file_; }

    // --- reading ------------------------------------------------------------
    // Decoded length of the whole file in file-format bytes.
    virtual uint64_t decodedLength() const = 0;
    // False for a stream that does not state its length (decodedLength() is
    // then 0): the engine counts the length as it reads.
    virtual bool lengthKnown() const { return true; }
    // The same length in array-format bytes (readers whose counting differs,
    // such as the telephony coders, override this).
    virtual uint64_t arrayLength(const WAVEFORMATEX& array) const {
        return convertByteCount(decodedLength(), file_, array);
    }
    // Readers that find encoder settings in the file (MPEG bitrate, rate and
    // channels; Ogg Vorbis nominal bitrate, ...) hand them to the object here.
    virtual void reportFoundSettings(Mp3Settings& /*mp3*/, OutputSettings& /*output*/) const {}
    // Source bytes that decode into `fileBytes` (the size query, destination
    // to source) and file bytes that `sourceBytes` decode into (source to
    // destination).
    virtual uint64_t sourceFor(uint64_t fileBytes) const = 0;
    virtual uint64_t decodedFor(uint64_t sourceBytes) const = 0;
    // Step in which source amounts are rounded and grown.
    virtual uint64_t sourceUnit() const { return 1; }
    // Source bytes not yet read (an upper bound for decoders that read the
    // file themselves).
    virtual uint64_t sourceLeft() const = 0;
    // Reads up to `sourceBytes` of the container (bounded by what is left)
    // and appends the decoded file-format bytes to `out`. Returns the number
    // appended (0 at the end), or a negative status.
    virtual int32_t decode(uint64_t sourceBytes, std::vector<uint8_t>& out) = 0;
    virtual int16_t seek(const SeekRequest& request, SeekResult& result) = 0;

    // --- writing ------------------------------------------------------------
    // Encodes and writes `bytes` of file-format PCM (whole frames). Partial
    // codec blocks are kept by the track until more data or finish() comes.
    // Returns 0 or a negative status.
    virtual int16_t encode(const uint8_t* pcm, size_t bytes) = 0;

    // Closes the file: trailers, header patch-up. `framesWritten` counts the
    // sample frames the caller wrote (array format). The track is unusable
    // afterwards.
    virtual int16_t finish(uint64_t framesWritten) = 0;

    // The format description the engine shows for this file.
    virtual std::string describe() const = 0;

    // Whether samples deeper than 16 bits (or folded down from more than two
    // channels) get TPDF dither when they are rounded to the 16-bit file
    // format.
    void setDither(bool on) {
        if (on)
            dither_.emplace();
        else
            dither_.reset();
    }

    // Samples deeper than 16 bits or in more than two channels reach the
    // engine narrowed and folded down to 16-bit stereo unless it asks for
    // them as they are: with useNative(true) fileFormat() is their own PCM
    // form (16-, 24- or 32-bit integers or 32-bit floats, packed
    // little-endian; up to 8 channels in WAV order), and every count, read
    // and seek is in that form. Tracks that have no other form ignore it.
    virtual void useNative(bool /*on*/) {}
    // A writer whose encoder takes floats: while nothing is written, the
    // engine asks for them when its arrays are deeper than 16 bits (on), and
    // fileFormat() is then the float form. Writers without one ignore it.
    virtual void writeFloats(bool /*on*/) {}
    // The file's samples as they are: the file format useNative(true) gives
    // (the file format itself for tracks that have no other form).
    const WAVEFORMATEX& ownForm() const { return ownForm_.nChannels ? ownForm_ : file_; }
    // A lossy decoder's own form is its output's precision, not samples the
    // file stores: such a file counts as 16-bit where a depth is chosen.
    bool lossy() const { return lossy_; }
    // The speaker bits of the file's channels (WAVE_FORMAT_EXTENSIBLE's
    // channel mask), 0 when the file names none.
    uint32_t channelMask() const { return channelMask_; }

    // The cause of the last failure in words, when the track knows it (the
    // system's reason for a failed read, write or close: "No space left on
    // device"); empty otherwise.
    const std::string& cause() const { return cause_; }

protected:
    // The container position of a block start (blocks of `block` source
    // bytes) for decoded byte `fileBytes`, as codecs decode from whole blocks
    // only: a seek moves whole blocks away from its origin, so a target
    // inside a block goes to the next block's start, or, counted back from
    // the end, to its own block's start. Streams without fixed blocks take the
    // size query as it stands.
    uint64_t blockFor(uint64_t fileBytes, uint64_t block, bool backFromEnd) const {
        const uint64_t perBlock = block > 1 ? decodedFor(block) : 0;
        if (!perBlock) return sourceFor(fileBytes);
        const uint64_t blocks = backFromEnd ? fileBytes / perBlock : (fileBytes + perBlock - 1) / perBlock;
        return blocks * block;
    }

    // Records the cause of a failure and returns its status.
    int16_t failWith(int16_t st, std::string cause) {
        cause_ = std::move(cause);
        return st;
    }

    // The dither of this file's narrowing, or nullptr for none.
    TpdfDither* dither() { return dither_ ? &*dither_ : nullptr; }

    std::string cause_;
    ContainerKind kind_ = ContainerKind::None;
    FullFormat full_{};
    WAVEFORMATEX file_{};
    std::optional<TpdfDither> dither_;
    uint32_t channelMask_ = 0;
    WAVEFORMATEX ownForm_{};  // set by tracks that narrow or fold down
    bool lossy_ = false;
};

// Writers of encoded streams that are never read back (MP3 and Layer II
// encoders): the reading half is empty and seeking is refused.
class WriteOnlyTrack : public Track {
public:
    uint64_t decodedLength() const override { return 0; }
    uint64_t sourceFor(uint64_t) const override { return 0; }
    uint64_t decodedFor(uint64_t) const override { return 0; }
    uint64_t sourceLeft() const override { return 0; }
    int32_t decode(uint64_t, std::vector<uint8_t>&) override { return 0; }
    int16_t seek(const SeekRequest&, SeekResult&) override { return status::kInvalidOperation; }
};

}  // namespace qoro::audiofile
